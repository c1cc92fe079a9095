// The metadata flush passes: every dirty entry and directory is placed in
// the metadata file first, the file grows by exactly the blocks placed, and
// then everything is written through the write clusters. A pass that fails
// after its placement leaves the volume as it found it: the metadata file
// gets its old extents and lengths back and what the pass placed is marked
// for a new placement, so that the next pass (the caller's repeat after a
// defect, or a later flush) writes it again.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"

#include "kelagent/metacache.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_fsd.h"
#include "udf/udf_metadata.h"

using namespace kelcache;

int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* counter,
                                                 int update);

namespace {

constexpr uint64_t kCacheBase = 0x100000;

uint32_t round32(uint32_t v) { return (v + 31) & ~31u; }

// How far a pass has changed the volume, and so what a failure undoes.
enum class Reach {
  nothing,  // no entry placed yet: nothing to undo
  placed,   // entries and directories placed (some perhaps written): placed again
  grown,    // the metadata file grew as well: its extents and lengths come back
};

// The metadata file and its mirror as they were before the pass grew them.
struct MetadataFile {
  mdcudfsr_extent_list main, mirror;
  uint64_t main_len = 0, mirr_len = 0;
  uint32_t main_start = 0, mirr_start = 0;
  MetadataFile() {
    mdcudfsr_extent_list_init(&main);
    mdcudfsr_extent_list_init(&mirror);
  }
  ~MetadataFile() {
    mdcudfsr_extent_list_free(&main);
    mdcudfsr_extent_list_free(&mirror);
  }
  MetadataFile(const MetadataFile&) = delete;
  MetadataFile& operator=(const MetadataFile&) = delete;
};

// State of one pass.
struct Pass {
  Pass(mdcudfsr_mount* mount, vfs_context_t context, int exclude_flag, int keep_flag, bool full_pass)
      : m(mount), ctx(context), exclude(exclude_flag), keep(keep_flag), full(full_pass) {}
  mdcudfsr_mount* m;
  vfs_context_t ctx;
  int exclude, keep;
  bool full;             // the full pass (labels of the recovery lines)
  uint32_t base = 0;     // the metadata file's length in blocks before the pass
  uint32_t replace = 0;  // replacement count the writing pass starts with
  uint32_t counter = 0;  // allocation cursor the placement started at
  uint32_t replaced = 0; // replacement count the placement reached
  uint32_t placed = 0;   // blocks the placement added past base (the growth of the metadata file)
  int64_t failed_extent = -1;
  Reach reach = Reach::nothing;
  MetadataFile before;   // kept once the pass grows the metadata file
  int defect = 0;        // a write met a defect: the caller repeats the pass
};

uint32_t file_blocks(const mdcudfsr_mount* m) {
  const uint64_t b = m->logical_block_size;
  return static_cast<uint32_t>(
      (mdcudfsr_extent_list_get_selected_length(&m->part[MDCUDFSR_PARTITION_METADATA].list, 0) + b - 1) / b);
}

// A placement from the start of the metadata file.
// Two blocks are reserved for the file set descriptor and its terminator,
// which the writing pass rewrites (also with the reserve flag: without them
// every entry would be written two blocks past its place).
void start_full(Pass& p) {
  mdcudfsr_mount* m = p.m;
  mdcudfsr_clear_all_clusters(m);
  m->metadata_block_count = 2;
  m->replace_blk_count = 0;
  p.base = 0;
  p.replace = 0;
  p.counter = m->metadata_block_count;
}

// Placement pass from the root: the blocks placed (p.placed) and the
// defect-free range they go to.
int place(Pass& p) {
  mdcudfsr_mount* m = p.m;
  if (p.reach == Reach::nothing) p.reach = Reach::placed;
  m->metadata_allocating = 1;
  const uint32_t suspended = m->cache_mirroring_suspended;
  m->cache_mirroring_suspended = 1;
  int err = mdcudfsr_cache_flush_node_sub(m->root_node, p.ctx, p.exclude, p.keep);
  m->cache_mirroring_suspended = suspended;
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    m->metadata_allocating = 0;
    return err;
  }
  p.placed = m->metadata_block_count - p.base;
  p.replaced = m->replace_blk_count;
  if (m->is_rewritable && p.placed) {
    // The defect routine reports a moved address in the next writable
    // address; the metadata file then grows from there.
    uint32_t changed = 0;
    const uint32_t before = m->next_writable_address;
    const int found = mdcudfsr_find_defect_and_change_NWA(m, p.ctx, m->metadata_nwa, round32(p.placed), &changed);
    const uint32_t moved = m->next_writable_address;
    m->next_writable_address = before;
    if (found != 0) {
      CACHE_LOG(ERR, "Failed to find defect or change NWA. \n");
      m->metadata_allocating = 0;
      return found;
    }
    if (changed) {
      m->metadata_nwa = moved;
      CACHE_LOG(WARN, "Hit defect and change NWA for Metadata Extent New NWA is 0x%x \n", m->metadata_nwa);
    }
  }
  m->metadata_allocating = 0;
  return 0;
}

// Copies every extent of `from` into the empty list `to`; 0 or 12.
int copy_extents(const mdcudfsr_extent_list& from, mdcudfsr_extent_list* to) {
  for (const mdcudfsr_extent_entry* e = from.first; e; e = e->next) {
    const int err = mdcudfsr_extent_list_add(to, e, 0);
    if (err) return err;
  }
  return 0;
}

// The metadata file as it is, kept before the pass first grows it.
int keep_metadata_file(Pass& p) {
  mdcudfsr_mount* m = p.m;
  MetadataFile& f = p.before;
  f.main_len = m->metadata_main_partition_length;
  f.mirr_len = m->metadata_mirr_partition_length;
  f.main_start = m->part[MDCUDFSR_PARTITION_METADATA].start_sector;
  f.mirr_start = m->part[MDCUDFSR_PARTITION_MIRROR].start_sector;
  int err = copy_extents(m->part[MDCUDFSR_PARTITION_METADATA].list, &f.main);
  if (!err) err = copy_extents(m->part[MDCUDFSR_PARTITION_MIRROR].list, &f.mirror);
  if (err) CACHE_LOG(ERR, "err=%d\n", err);
  return err;
}

// Grows the metadata file by the blocks placed (p.placed). On a rewritable medium the new
// extent starts at the metadata write address (the relocation takes the
// next writable address).
int grow(Pass& p) {
  mdcudfsr_mount* m = p.m;
  if (p.reach != Reach::grown) {
    const int kept = keep_metadata_file(p);
    if (kept) return kept;
    p.reach = Reach::grown;
  }
  mdcudfsr_relocation_info info{};
  const uint32_t nwa = m->next_writable_address;
  if (m->is_rewritable) m->next_writable_address = m->metadata_nwa;
  const int err = mdcudfsr_relocate_metadata_file(m, p.placed, m->flushAllMetadata ? 1 : 0, &info, p.ctx);
  m->next_writable_address = nwa;
  if (err) CACHE_LOG(WARN, "Failed to realocate Metadata File Extent with status %d. \n", err);
  return err;
}

// The management cache file keeps only what a full rewrite stages.
int truncate_cache(Pass& p) {
  mdcudfsr_mount* m = p.m;
  if (!m->flushAllMetadata || m->fsmanage_handle == -1) return 0;
  uint32_t cache_err = 0;
  int err = mdcudfsr_metacache_file_truncate(m, m->fsmanage_handle, kCacheBase, &cache_err);
  if (!err && cache_err) {
    CACHE_LOG(ERR, "mdcudfsr_metacache_file_truncate success but cache truncate err(%d)\n", cache_err);
    err = KEL_EINVAL;
  }
  if (err) CACHE_LOG(ERR, "FsCacheFile truncate failed. err = %d cache_err = %d\n", err, cache_err);
  return err;
}

// The writing pass: the same blocks handed out again, the file set
// descriptor, the entries and directories.
int write_pass(Pass& p) {
  mdcudfsr_mount* m = p.m;
  // The descriptor writer takes the two blocks reserved before the
  // placement's first entry, so the entries get the same blocks again.
  const bool fsd = m->flushAllMetadata || m->reserve_mode;
  m->metadata_block_count = p.counter - (fsd ? 2 : 0);
  m->replace_blk_count = p.replace;
  int err = 0;
  if (fsd) {
    m->fsd.rootdir_icb.loc = lb_addr{m->root_node->udf_data->efe_loc, 0};
    m->fsd.rootdir_icb.len = m->logical_block_size;
    if ((err = mdcudfsr_flush_file_set_desc(m, &m->fsd, p.ctx)) != 0) {
      CACHE_LOG(ERR, "err=%d\n", err);
      return err;
    }
  }
  // Staging writes nothing to the disc: a failure here is no defect.
  if ((err = mdcudfsr_cache_flush_node_sub(m->root_node, p.ctx, p.exclude, p.keep)) != 0) CACHE_LOG(ERR, "err=%d\n", err);
  return err;
}

// Where the new extent starts, in the numbering of the extents.
int locate_new_extent(Pass& p, uint32_t* nwa) {
  mdcudfsr_mount* m = p.m;
  if (m->is_rewritable) {
    *nwa = m->metadata_nwa;
  } else {
    const int err = mdcudfsr_read_track_information(m, 1, nwa, nullptr, nullptr, p.ctx, 0);
    if (err) {
      CACHE_LOG(ERR, "read_track_information fail %d \n", err);
      return err;
    }
  }
  const uint32_t base = m->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  p.failed_extent = *nwa >= base ? int64_t{*nwa - base} : -1;
  return 0;
}

// The staged blocks to the disc.
int write_out(Pass& p, uint32_t nwa) {
  mdcudfsr_mount* m = p.m;
  int err;
  if (m->flushAllMetadata && m->fsmanage_handle != -1) {
    uint32_t blocks = 0;
    err = mdcudfsr_cache_full_flush_from_cachefile(m, p.ctx, m->fsd_loc, &p.defect, &blocks);
    if (err) CACHE_LOG(WARN, "Failed to flush buffer from fscachefile with status %d. \n", err);
    return err;
  }
  if ((err = mdcudfsr_zero_fill_free_metadata_blocks(m, p.ctx)) != 0) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  const mdcudfsr_cluster_track track{0, nwa, 0};
  int verify_failed = 0;
  err = mdcudfsr_flush_all_clusters(m, 0, p.ctx, &track, &verify_failed, nullptr);
  if (err) {
    CACHE_LOG(WARN, "Failed to flush all clusters with status %d. \n", err);
    p.defect = 1;
  }
  return err;
}

// Puts one list and its length back as they were before the pass.
void restore_list(mdcudfsr_partition_entry& part, mdcudfsr_extent_list& kept, uint64_t len, uint32_t start,
                  uint64_t* length) {
  mdcudfsr_extent_list_free(&part.list);
  part.list = kept;
  mdcudfsr_extent_list_init(&kept);
  mdcudfsr_extent_list_rebuild_index(&part.list);
  part.start_sector = start;
  *length = part.length = len;
}

// The metadata file without the extents the pass added (those at the failed
// address), with its old lengths.
void restore_metadata_file(Pass& p) {
  mdcudfsr_mount* m = p.m;
  MetadataFile& f = p.before;
  restore_list(m->part[MDCUDFSR_PARTITION_METADATA], f.main, f.main_len, f.main_start,
               &m->metadata_main_partition_length);
  CACHE_LOG(WARN, " Metadata Extent flush faild. Erased duplicate address(%s). 0x%x metadata_main_partition_length. 0x%llx\n",
            p.full ? "All.Main" : "Main", static_cast<uint32_t>(p.failed_extent),
            static_cast<unsigned long long>(f.main_len));
  restore_list(m->part[MDCUDFSR_PARTITION_MIRROR], f.mirror, f.mirr_len, f.mirr_start,
               &m->metadata_mirr_partition_length);
  CACHE_LOG(WARN, " Metadata Extent flush faild. Erased duplicate address(%s). 0x%x metadata_mirr_partition_length. 0x%llx\n",
            p.full ? "All.Mirror" : "Mirror", static_cast<uint32_t>(p.failed_extent),
            static_cast<unsigned long long>(f.mirr_len));
}

// Every failure after the placement began comes here: the volume is left as
// the pass found it (nothing it staged is written later), with what the
// pass placed marked for a new placement. A write that met a defect also
// refreshes a rewritable medium's defect information, and the caller
// repeats the pass.
void undo(Pass& p) {
  mdcudfsr_mount* m = p.m;
  if (p.reach == Reach::nothing) return;
  if (p.defect && m->is_rewritable) {
    uint32_t counter = 0;
    mdcudfsr_mdcfsctrl_get_defect_report_counter(m, p.ctx, &counter, 1);
    CACHE_LOG(WARN, "Metadata Extent flush failed. update defect bitmap.\n");
  }
  mdcudfsr_clear_all_clusters(m);
  if (p.reach == Reach::grown) restore_metadata_file(p);
  m->replace_blk_count = p.replace;
  mdcudfsr_cache_dirty_node_for_defect(m->root_node);
  if (p.defect)
    CACHE_LOG(WARN, p.full ? "Metadata extent flush failed. retry:%d\n" : "Metadata Extent flush failed. retry:%d\n", 1);
}

// Everything after the metadata file grew by the blocks placed (p.placed).
int grow_and_write(Pass& p, int* wrote) {
  mdcudfsr_mount* m = p.m;
  int err = 0;
  if ((err = truncate_cache(p)) != 0) return err;
  if ((err = write_pass(p)) != 0) return err;
  // Every entry the placement moved is one block the remap takes out.
  m->replace_blk_count = p.replaced;
  if (p.full) {
    m->metadata_mirr_partition_length = m->metadata_main_partition_length;
  } else {
    const uint64_t cut = uint64_t{p.m->logical_block_size} * m->replace_blk_count;
    m->metadata_main_partition_length -= cut < m->metadata_main_partition_length ? cut : 0;
    m->part[MDCUDFSR_PARTITION_METADATA].length = m->metadata_main_partition_length;
    m->metadata_mirr_partition_length = m->part[MDCUDFSR_PARTITION_MIRROR].length = m->metadata_main_partition_length;
  }
  uint32_t nwa = 0;
  if ((err = locate_new_extent(p, &nwa)) != 0) return err;
  if ((err = write_out(p, nwa)) != 0) return err;
  if (wrote) *wrote = 1;
  if (p.full) m->replace_blk_count = 0;
  return 0;
}

int finish(Pass& p, int err, uint32_t* out_blocks, int* defect_hit) {
  mdcudfsr_mount* m = p.m;
  m->metadata_allocating = 0;
  if (err) {
    undo(p);
    if (p.defect && defect_hit) *defect_hit = 1;
  } else if (p.placed && !p.keep) {
    kelcache::placement_written(m->root_node);
  }
  if (out_blocks) *out_blocks = round32(p.placed);
  if (!err && m->is_rewritable) m->metadata_nwa += round32(p.placed);
  CACHE_LOG(DEBG, "err=%d", err);
  return err;
}

// Everything after a placement pass.
int after_placement(Pass& p, int* wrote) {
  mdcudfsr_mount* m = p.m;
  if (p.placed == 0) {
    CACHE_LOG(WARN, "metadata expand size is zero\n");
    return 0;
  }
  CACHE_LOG(INFO, "metadata expand size:%d\n", p.placed);
  int err = grow(p);
  if (err) return err;
  if (!p.full && !m->flushAllMetadata) {
    uint32_t need = 0;
    mdcudfsr_cache_check_metadata_aed(m, 0, &need, 0);
    if (round32(p.placed) > 0x80000) {
      CACHE_LOG(NOTI, "Metadata AD is over 0x%x\n", round32(p.placed));
      need = 1;
    }
    if (need) {
      CACHE_LOG(WARN, "metadata efe is over change flush all\n");
      m->flushAllMetadata = 1;
      p.full = true;
      start_full(p);
      if ((err = place(p)) != 0 || (err = grow(p)) != 0) return err;
    }
  }
  return grow_and_write(p, wrote);
}

}  // namespace

int mdcudfsr_cache_flush(mdcudfsr_mount* m, vfs_context_t ctx, int* wrote, uint32_t* out_blocks, int exclude,
                         int* defect_hit, int keep) {
  if (wrote) *wrote = 0;
  if (!m || !m->root_node || !m->root_node->udf_data) return KEL_EINVAL;
  Pass p(m, ctx, exclude, keep, false);
  uint32_t need = 0;
  if (mdcudfsr_cache_check_metadata_aed(m, 1, &need, 0) == 0 && need) {
    CACHE_LOG(WARN, "metadata efe is over change flush all\n");
    m->flushAllMetadata = 1;
  }
  if (m->flushAllMetadata) {
    m->metadata_block_count = 2;
    m->replace_blk_count = 0;
    p.base = 0;
  } else {
    p.base = file_blocks(m);
    m->metadata_block_count = p.base + (m->reserve_mode ? 2 : 0);
    m->replace_blk_count = m->reserve_mode ? 2 : 0;
  }
  p.replace = m->replace_blk_count;
  p.counter = m->metadata_block_count;
  m->remap_count = 0;  // the remap after this pass counts its own moves
  int err = place(p);
  if (!err) err = after_placement(p, wrote);
  return finish(p, err, out_blocks, defect_hit);
}

int mdcudfsr_cache_flush_full(mdcudfsr_mount* m, vfs_context_t ctx, uint32_t* out_blocks, int exclude,
                              int* defect_hit, int keep) {
  if (!m || !m->root_node || !m->root_node->udf_data) return KEL_EINVAL;
  if (!m->flushAllMetadata) {
    CACHE_LOG(WARN, "flushAllMetadata != TRUE \n");
    return 0;
  }
  CACHE_LOG(WARN, "metadata efe is over change flush all\n");
  Pass p(m, ctx, exclude, keep, true);
  start_full(p);
  m->remap_count = 0;
  int err = place(p);
  if (!err) err = after_placement(p, nullptr);
  return finish(p, err, out_blocks, defect_hit);
}
