// Metadata partition (see udf_metadata.h).
#include "kelcache/cache.h"
#include "kelcache/cache_flush.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_metadata.h"
#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf_io.h"
#include "udf_log.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace udf_io;

namespace {

constexpr uint32_t kIoctlSlotQuery = 0x800155EAu;
constexpr uint32_t kSlotKeepLoaded = 153;
constexpr uint32_t kChunk = 0x10000;

const char* vol_name(const mdcudfsr_mount* mnt) { return mnt->volume_name[0] ? mnt->volume_name : "UNKNOWN"; }

void clear_remap_pending(mdcudfsr_udf_node_fields* n) {
  if (!n->udf_data) return;
  n->udf_data->remap_pending = 0;
}

void drop_replacements(mdcudfsr_udf_node_fields* n) {
  if (!n->udf_data) return;
  n->udf_data->remap_pending = 0;
  n->udf_data->replace_efe_loc = MDCUDFSR_INVALID_LBN;
  n->udf_data->replace_std_loc = MDCUDFSR_INVALID_LBN;
}

uint32_t batch_size(const mdcudfsr_mount* mnt) { return mnt->format_level >= 0x10 ? 500 : 100; }

// A new pair of lists built beside the mount's, swapped in only when whole.
struct NewLists {
  mdcudfsr_extent_list main, mirror;
  NewLists() {
    mdcudfsr_extent_list_init(&main);
    mdcudfsr_extent_list_init(&mirror);
  }
  ~NewLists() {
    mdcudfsr_extent_list_free(&main);
    mdcudfsr_extent_list_free(&mirror);
  }
  int add(uint32_t lbn, uint32_t blocks, uint32_t b) {
    if (!blocks) return 0;
    return mdcudfsr_add_metadata_extent_list(&main, &mirror, lbn, blocks * b, b);
  }
  void install(mdcudfsr_mount* mnt) {
    mdcudfsr_extent_list_free(&mnt->part[0].list);
    mdcudfsr_extent_list_free(&mnt->part[1].list);
    mnt->part[0].list = main;
    mnt->part[1].list = mirror;
    mdcudfsr_extent_list_init(&main);
    mdcudfsr_extent_list_init(&mirror);
  }
};

enum class RemapResult { Done, SizeOver, Error };

// Metadata block `m` comes to be backed by the physical block now backing
// metadata block `t`, and block `t` leaves the file: every later metadata
// block moves down by one. The walk goes over the extents in file order and
// splits the ones holding m or t.
RemapResult remap_block(mdcudfsr_mount* mnt, uint32_t m, uint32_t t, int* err) {
  const uint32_t b = mnt->logical_block_size;
  const mdcudfsr_extent_list* cur = &mnt->part[0].list;
  const uint32_t q = mdcudfsr_offset2lbn(mnt, cur, uint64_t{t} * b, nullptr);
  const uint32_t p = mdcudfsr_offset2lbn(mnt, cur, uint64_t{m} * b, nullptr);
  // Both blocks must lie inside the metadata file: a block beyond it has no
  // physical block to hand over or to take.
  if (q == MDCUDFSR_INVALID_LBN || p == MDCUDFSR_INVALID_LBN) {
    UDF_LOG(ERR, "remap block out of the metadata file. block=%u replacement=%u\n", m, t);
    *err = KEL_EINVAL;
    return RemapResult::Error;
  }
  NewLists out;
  uint32_t whole = 0;
  uint64_t pos = 0;  // metadata block at which the extent starts
  for (const mdcudfsr_extent_entry* x = cur->first; x; x = x->next) {
    const uint32_t blocks = (EXTENT_LENGTH(x->extent.len) + b - 1) / b;
    const uint32_t lbn = x->extent.loc.lb_num;
    const bool has_m = m >= pos && m < pos + blocks;
    const bool has_t = t >= pos && t < pos + blocks;
    if (!has_m && !has_t) {
      if ((*err = out.add(lbn, blocks, b)) != 0) return RemapResult::Error;
      if (++whole % batch_size(mnt) == 0) {
        uint32_t full_main = 0, full_mirror = 0;
        mdcudfsr_cache_check_metadata_aed_newlist(mnt, &out.main, 0, &full_main, 0);
        if (!full_main) mdcudfsr_cache_check_metadata_aed_newlist(mnt, &out.mirror, 0, &full_mirror, 0);
        if (full_main || full_mirror) {
          UDF_LOG(WARN, "size over \n");
          return RemapResult::SizeOver;
        }
      }
    } else {
      if (has_t && blocks == 1 && !has_m) UDF_LOG(INFO, "target list equal source list\n");
      // Walk the blocks of the extent in runs cut at m and t.
      uint32_t run_start = 0;
      for (uint32_t i = 0; i <= blocks; ++i) {
        const uint64_t at = pos + i;
        const bool cut = i == blocks || (has_m && at == m) || (has_t && at == t);
        if (!cut) continue;
        if ((*err = out.add(lbn + run_start, i - run_start, b)) != 0) return RemapResult::Error;
        if (i < blocks && has_m && at == m && (*err = out.add(q, 1, b)) != 0) return RemapResult::Error;
        run_start = i + 1;
      }
    }
    pos += blocks;
  }
  out.install(mnt);
  ++mnt->remap_count;
  return RemapResult::Done;
}

}  // namespace

uint32_t mdcudfsr_dirstack_limit(const mdcudfsr_mount* mnt) {
  if (mnt->format_level >= 0x10) return 240000;
  if (mnt->medium_type == 0xF2) return 800000;
  if (mnt->medium_type == 0xF1) return 480000;
  return 60000;
}

int mdcudfsr_add_metadata_extent_list(mdcudfsr_extent_list* main, mdcudfsr_extent_list* mirror, uint32_t lbn,
                                      uint32_t length, uint32_t b) {
  mdcudfsr_extent_entry e;
  e.extent.len = EXTENT_MAKE(length, EXTENT_FLAGS_RECORDED);
  e.extent.loc.lb_num = lbn;
  e.extent.loc.part_num = MDCUDFSR_PARTITION_PHYSICAL;
  int err = mdcudfsr_extent_list_add(main, &e, b);
  if (err) {
    UDF_LOG(ERR, "metadata main entry failed lbn:0x%X size:%d\n", lbn, length);
    return err;
  }
  err = mdcudfsr_extent_list_add(mirror, &e, b);
  if (err) UDF_LOG(ERR, "metadata mirror entry failed lbn:0x%X size:%d\n", lbn, length);
  return err;
}

uint32_t mdcudfsr_allocate_metadata_blocks(mdcudfsr_mount* mnt, uint32_t count) {
  const uint32_t first = mnt->metadata_block_count;
  if (first == MDCUDFSR_INVALID_LBN) return first;
  mnt->metadata_block_count = first + count;
  return first;
}

int mdcudfsr_relocate_metadata_file(mdcudfsr_mount* mnt, uint32_t blocks, int restart, mdcudfsr_relocation_info* info,
                                    vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  const uint32_t b = mnt->logical_block_size;
  blocks = (blocks + 31) & ~31u;
  uint32_t nwa = 0, second = 0;
  int err;
  if (mnt->is_rewritable) {
    err = mdcudfsr_read_track_information_re(mnt, 1, &nwa, &second, nullptr);
  } else {
    char arg = 3;
    if (VNOP_IOCTL(mnt->devvp, kIoctlSlotQuery, &arg, 0, ctx) != 0) {
      std::lock_guard<std::mutex> lk(mnt->slot_mutex);
      err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 0);
      if (err) {
        UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
        return err;
      }
      err = mdcudfsr_read_track_information(mnt, 1, &nwa, &second, nullptr, ctx, 1);
    } else {
      err = mdcudfsr_read_track_information(mnt, 1, &nwa, &second, nullptr, ctx, 1);
    }
  }
  if (err) {
    UDF_TRACE_EXIT_ERR(err);
    return err;
  }
  // The new extents start at the next writable address: it must lie in the
  // physical partition, with room for all of them, before anything changes.
  const uint32_t part_start = mnt->part[2].start_sector;
  const uint64_t part_blocks = mnt->part[2].length / b;
  if (nwa < part_start || uint64_t{nwa - part_start} + blocks > part_blocks) {
    UDF_LOG(ERR, "next writable address 0x%x is out of the partition 0x%x:0x%llx\n", nwa, part_start,
            static_cast<unsigned long long>(part_blocks));
    UDF_TRACE_EXIT_ERR(22);
    return KEL_EINVAL;
  }
  uint64_t current = mnt->part[0].length;
  if (restart) {
    if ((err = mdcudfsr_extent_list_remove_all(&mnt->part[0].list)) != 0) {
      UDF_LOGM(ERR, KELC, "Failed to clear Metadata Main Exntent List with err(%d)", err);
      return err;
    }
    if ((err = mdcudfsr_extent_list_remove_all(&mnt->part[1].list)) != 0) {
      UDF_LOGM(ERR, KELC, "Failed to clear Metadata Mirror Exntent List err(%d)", err);
      return err;
    }
    mnt->part[0].start_sector = mnt->part[1].start_sector = nwa;
    current = 0;
  }
  mnt->part[0].length = mnt->part[1].length = current + uint64_t{blocks} * b;
  mnt->metadata_main_partition_length = mnt->metadata_mirr_partition_length = mnt->part[0].length;
  uint32_t lbn = nwa - part_start;
  const uint32_t max_blocks = (0x40000000u - b) / b;
  for (uint32_t left = blocks; left;) {
    const uint32_t n = left < max_blocks ? left : max_blocks;
    UDF_LOG(DEBG, "new_extent.extent.loc.lb_num=%u\n", lbn);
    UDF_LOG(DEBG, "new_extent.extent.len=%u\n", n * b);
    err = mdcudfsr_add_metadata_extent_list(&mnt->part[0].list, &mnt->part[1].list, lbn, n * b, b);
    if (err) return err;
    if (mdcudfsr_debug_level_check(0, 1, 0))
      UDF_LOG(WARN, "[%s](tid=%08x) %s:%d MBLOX meta partition start=%d length=%llu\n", vol_name(mnt),
              static_cast<uint32_t>(udf_log::tid()), __func__, __LINE__, lbn,
              static_cast<unsigned long long>(uint64_t{n} * b));
    lbn += n;
    left -= n;
  }
  if (info) *info = mdcudfsr_relocation_info{0, nwa, blocks};
  UDF_TRACE_EXIT_ERR(0);
  return 0;
}

int mdcudfsr_find_and_chk_matadata_extent_list(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* n, uint32_t m,
                                               uint32_t r, int skip_kind4, uint32_t* size_over, int keep_flags) {
  if (n->kind == MDCUDFSR_NODE_VIRTUAL) {
    UDF_LOG(INFO, "Virtual File type is not partial flush :%s\n", mdcudfsr_node_name(n));
    return 0;
  }
  if (n->kind == MDCUDFSR_NODE_MASTER && skip_kind4) {
    UDF_LOG(INFO, "stride File type is not partial flush :%s lbn:0x%x\n", mdcudfsr_node_name(n), m);
    if (n->udf_data && mdcudfsr_node_file_type(n) != UDF_FILE_TYPE_DIRECTORY) {
      n->udf_data->efe_loc = MDCUDFSR_INVALID_LBN;
      n->udf_data->std_loc = MDCUDFSR_INVALID_LBN;
    }
    return 0;
  }
  if (r == MDCUDFSR_INVALID_LBN) {
    drop_replacements(n);
    return 0;
  }
  if (mnt->remap_off) {
    clear_remap_pending(n);
    return 0;
  }
  if (!n->udf_data || !n->udf_data->remap_pending) return 0;
  if (!mnt->part[0].list.first) {
    UDF_LOG(INFO, "metadata list entry failed\n");
    return KEL_EINVAL;
  }
  int err = 0;
  const uint32_t target = r - mnt->remap_count;
  switch (remap_block(mnt, m, target, &err)) {
    case RemapResult::SizeOver:
      drop_replacements(n);
      if (size_over) *size_over = 1;
      return 0;
    case RemapResult::Error:
      UDF_LOGM(ERR, KELC, "err=%d\n", err);
      return err;
    case RemapResult::Done:
      break;
  }
  if (!keep_flags) clear_remap_pending(n);
  return 0;
}

int mdcudfsr_rebuild_metadata_extent_list_ex(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* start, int skip_kind4,
                                             uint32_t* size_over) {
  if (!mnt) {
    UDF_LOGM(ERR, KELC, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (!start || !start->udf_data) return KEL_EINVAL;
  std::vector<mdcudfsr_udf_node_fields*> stack;
  const uint32_t limit = mdcudfsr_dirstack_limit(mnt);
  uint32_t over = 0;
  auto remap = [&](mdcudfsr_udf_node_fields* n, uint32_t m, uint32_t r, int keep) -> int {
    const int err = mdcudfsr_find_and_chk_matadata_extent_list(mnt, n, m, r, skip_kind4, &over, keep);
    if (err) {
      UDF_LOG(ERR, "[%s] find_and_chk_matadata_extent_list fail %d \n", mdcudfsr_node_name(n), err);
      UDF_LOG(ERR, "err=%d\n", err);
    }
    return err;
  };
  stack.push_back(start);
  int err = remap(start, start->udf_data->efe_loc, start->udf_data->replace_efe_loc, 0);
  if (err || over) {
    if (size_over) *size_over = over;
    return err;
  }
  while (!stack.empty()) {
    mdcudfsr_udf_node_fields* dir = stack.back();
    stack.pop_back();
    for (mdcudfsr_udf_node_fields* c = dir->uid_first; c; c = c->uid_next) {
      mdcudfsr_udf_data* d = c->udf_data;
      if (!d) continue;
      if (mdcudfsr_node_file_type(c) == UDF_FILE_TYPE_DIRECTORY) {
        if (stack.size() + 1 > limit) {
          UDF_LOG(ERR, "dirstack insert error\n");
          return KEL_EINVAL;
        }
        stack.push_back(c);
        err = remap(c, d->efe_loc, d->replace_efe_loc, 0);
      } else if (d->efe.stream_directory_icb.len == 0) {
        UDF_LOG(INFO, "[%s] 2 child_node->udf_data->efe_loc %d child_node->udf_data->replace_efe_loc %d \n", mdcudfsr_node_name(c),
                d->efe_loc, d->replace_efe_loc);
        err = remap(c, d->efe_loc, d->replace_efe_loc, 0);
      } else {
        UDF_LOG(INFO, "[%s] 1 child_node->udf_data->efe_loc %d child_node->udf_data->replace_efe_loc %d \n", mdcudfsr_node_name(c),
                d->efe_loc, d->replace_efe_loc);
        err = remap(c, d->efe_loc, d->replace_efe_loc, 1);
        if (!err && !over && d->replace_std_loc != MDCUDFSR_INVALID_LBN) {
          UDF_LOG(INFO, "[%s] child_node->std_loc %d child_node->replace_std_loc %d \n", mdcudfsr_node_name(c), d->std_loc,
                  d->replace_std_loc);
          const uint32_t std_loc = d->std_loc, rep = d->replace_std_loc;
          err = remap(c, std_loc, rep, 1);
          if (!err && !over) err = remap(c, std_loc + 1, rep + 1, 0);
        }
        if (dir->kind != MDCUDFSR_NODE_VIRTUAL) clear_remap_pending(c);
      }
      if (err || over) {
        if (size_over) *size_over = over;
        return err;
      }
    }
  }
  return 0;
}

int mdcudfsr_rebuild_metadata_extent_list_for_fsd(mdcudfsr_mount* mnt, uint32_t* size_over) {
  const uint32_t d = mnt->fsd_new_loc;
  UDF_LOG(INFO, "src lbn:0x%x dest lbn:0x%x\n", 0, d);
  if (!mnt->part[0].list.first || d == MDCUDFSR_INVALID_LBN) return 0;
  // Blocks 0 and 1 (descriptor and terminator) come to be backed by the new
  // copies at d and d + 1, which leave their own places.
  for (uint32_t i = 0; i < 2; ++i) {
    int err = 0;
    // After the first move block d + 1 has moved down to d.
    const RemapResult r = remap_block(mnt, i, d, &err);
    if (r == RemapResult::SizeOver) {
      if (size_over) *size_over = 1;
      return 0;
    }
    if (r == RemapResult::Error) {
      UDF_LOGM(ERR, KELC, "err=%d\n", err);
      return err;
    }
  }
  return 0;
}

namespace {

// One extent of the metadata file: its first block in the physical
// partition, its offset in the file and its size in bytes.
struct FileExtent {
  uint32_t lbn;
  uint64_t offset;
  uint32_t size;
};

// The extents of `list` in block order, so that the disc is read forwards.
std::vector<FileExtent> extents_by_block(const mdcudfsr_extent_list* list) {
  std::vector<FileExtent> table;
  uint64_t off = 0;
  for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next) {
    table.push_back({e->extent.loc.lb_num, off, EXTENT_LENGTH(e->extent.len)});
    UDF_LOG(INFO, "lbn:0x%x size:%d offset:0x%x\n", e->extent.loc.lb_num, EXTENT_LENGTH(e->extent.len),
            static_cast<uint32_t>(off));
    off += EXTENT_LENGTH(e->extent.len);
  }
  for (size_t i = 0; i < table.size(); ++i)
    for (size_t j = i + 1; j < table.size(); ++j)
      if (table[j].lbn < table[i].lbn) {
        UDF_LOG(INFO, "sort lbn1:0x%x to lbn2:0x%x\n", table[i].lbn, table[j].lbn);
        std::swap(table[i], table[j]);
      }
  return table;
}

// The copy of the metadata file from the disc into a cache file, chunk by
// chunk. Each chunk's write goes to the cache agent while the next chunk is
// read from the disc; its answer is taken before anything else is decided,
// so that a failed write still ends the copy before another write is sent.
class MetadataCopy {
 public:
  // `list` is the copy read; the other one backs a block that does not read.
  MetadataCopy(mdcudfsr_mount* mnt, vfs_context_t ctx, int selector, const mdcudfsr_extent_list* list)
      : mnt_(mnt),
        ctx_(ctx),
        list_(list),
        other_(list == &mnt->part[0].list ? &mnt->part[1].list : &mnt->part[0].list),
        selector_(selector),
        // Selector 1: the management cache file, which keeps its copy of the
        // metadata image 0x100000 bytes in.
        handle_(selector ? mnt->fsmanage_handle : mnt->local_cache_handles[0]),
        base_(selector ? MDC_METADATA_OFFSET : 0),
        chunk_(zalloc(kChunk)) {}
  ~MetadataCopy() { zfree(chunk_); }
  MetadataCopy(const MetadataCopy&) = delete;
  MetadataCopy& operator=(const MetadataCopy&) = delete;

  int run(const std::vector<FileExtent>& table) {
    if (!chunk_) {
      UDF_LOG(ERR, "no memory for metadata local buffer\n");
      return KEL_ENOMEM;
    }
    int result = 0;
    for (size_t i = 0; i < table.size() && !result; ++i) result = copy_extent(table[i]);
    if (pending_len_) {
      const int werr = take_write();
      if (!result) result = werr;
    }
    return result;
  }

 private:
  static constexpr int kDamaged = 5;

  int copy_extent(const FileExtent& x) {
    const uint32_t lsn = mdcudfsr_lbn2lsn(mnt_, MDCUDFSR_PARTITION_PHYSICAL, x.lbn, nullptr);
    if (lsn == MDCUDFSR_INVALID_LSN) {
      UDF_LOG(ERR, "invalid lsn 0x%x lbn:0x%x \n", lsn, x.lbn);
      return KEL_EINVAL;
    }
    const uint32_t chunks = (x.size + kChunk - 1) / kChunk;
    for (uint32_t c = 0; c < chunks; ++c) {
      const uint32_t len = c + 1 < chunks ? kChunk : x.size - c * kChunk;
      if (c + 1 == chunks) UDF_LOG(INFO, "Last roop !!\n");
      const uint64_t offset = x.offset + uint64_t{c} * kChunk;
      const int err = read_chunk(lsn + c * (kChunk / mnt_->logical_sector_size), offset, len);
      int result = pending_len_ ? take_write() : 0;
      if (!result && err) {
        // The copy is incomplete: it must not stay behind as a valid cache.
        drop_copy();
        result = err;
      }
      if (!result) result = send_write(base_ + offset, len);
      if (result) return result;
    }
    return 0;
  }

  // One chunk of `len` bytes at `lsn` (metadata file offset `offset`) into
  // the buffer, under the slot lock. 0, the slot load's error, or kDamaged.
  // A chunk that does not read is read again one disc cluster at a time
  // (the drive reads whole clusters), and a cluster that does not read is
  // taken from the other copy of the metadata file.
  int read_chunk(uint32_t lsn, uint64_t offset, uint32_t len) {
    std::lock_guard<std::mutex> lk(mnt_->slot_mutex);
    const int err = mdcudfsr_disc_change(mnt_, kSlotKeepLoaded, 0, ctx_, 0);
    if (err) {
      UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
      return err;
    }
    const int rerr = read_into(lsn, len, chunk_);
    if (!rerr) return 0;
    UDF_LOG(ERR, "Metadata Extent Read err[%d][LSN:0x%x]. read again by cluster \n", rerr, lsn);
    const uint32_t ss = mnt_->logical_sector_size;
    for (uint32_t done = 0; done < len;) {
      const uint32_t at = lsn + done / ss;
      const uint32_t n = std::min(len - done, to_cluster_end(at));
      if (read_into(at, n, chunk_ + done) != 0 && !from_other_copy(offset + done, n, chunk_ + done)) {
        damaged_ = true;
        return kDamaged;
      }
      done += n;
    }
    return 0;
  }

  // Bytes from `lsn` to the end of its disc cluster.
  uint32_t to_cluster_end(uint32_t lsn) const {
    const uint32_t ss = mnt_->logical_sector_size, per = kChunk / ss;
    return (per - lsn % per) * ss;
  }

  // The disc block the other copy of the metadata file gives for file
  // offset `offset`, and the bytes its extent holds from there; invalid
  // when that copy names the same physical block, which has nothing else
  // to give.
  uint32_t other_copy_lsn(uint64_t offset, uint64_t* left) const {
    const uint32_t main = mdcudfsr_offset2lbn(mnt_, list_, offset, nullptr);
    const uint32_t mirror = mdcudfsr_offset2lbn(mnt_, other_, offset, left);
    if (mirror == MDCUDFSR_INVALID_LBN || mirror == main) return MDCUDFSR_INVALID_LSN;
    return mdcudfsr_lbn2lsn(mnt_, MDCUDFSR_PARTITION_PHYSICAL, mirror, nullptr);
  }

  // `len` bytes at metadata file offset `offset` from the other copy of the
  // metadata file (UDF 2.50 keeps the mirror file for a metadata block that
  // does not read); false when a block reads there neither. A salvage mount
  // takes such a block as 0xFF.
  bool from_other_copy(uint64_t offset, uint32_t len, uint8_t* out) {
    for (uint32_t done = 0; done < len;) {
      const unsigned long long at = offset + done;
      uint64_t left = 0;
      const uint32_t lsn = other_copy_lsn(at, &left);
      uint32_t n = std::min(len - done, mnt_->logical_block_size);
      int err = kDamaged;
      if (lsn != MDCUDFSR_INVALID_LSN) {
        n = static_cast<uint32_t>(std::min<uint64_t>({len - done, left, to_cluster_end(lsn)}));
        err = read_into(lsn, n, out + done);
      }
      if (err && !mdcudfsr_salvage_flags(mnt_->mount_ext_flags)) {
        UDF_LOG(ERR, "Metadata Mirror Read err[%d][offset:0x%llx]\n", err, at);
        return false;
      }
      if (err) {
        UDF_LOG(ERR, "Metadata Extent Read err[%d][offset:0x%llx]. fill 0xFF data \n", err, at);
        std::memset(out + done, 0xFF, n);
      } else {
        UDF_LOG(WARN, "metadata at offset 0x%llx read from the mirror file [LSN:0x%x]\n", at, lsn);
      }
      done += n;
    }
    return true;
  }

  // `len` bytes at `lsn` into `out`; 0 or the read's error.
  int read_into(uint32_t lsn, uint32_t len, uint8_t* out) {
    buf_t bp = nullptr;
    const int err = buf_meta_bread(mnt_->devvp, lsn, static_cast<int>(len), nullptr, &bp);
    if (!err && bp) std::memcpy(out, buf_bytes(bp), len);
    if (bp) buf_brelse(bp);
    return err ? err : (bp ? 0 : KEL_ENOMEM);
  }

  // The copy made so far deleted; a block that read in neither copy of the
  // metadata file also makes the volume unreadable for this mount.
  void drop_copy() {
    if (damaged_) {
      UDF_LOG(ERR, "metadata block unreadable in the metadata file and its mirror. metadata is damaged\n");
      mdcudfsr_set_mntinfo_state(mnt_, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE,
                                 mnt_->mntinfo.WriteProtectReasonFlags | WRPROT_READONLY);
    }
    if (selector_) {
      mdcudfsr_drop_fsmanage_cache(mnt_, ctx_);
      return;
    }
    mdcudfsr_metacache_file_close(mnt_, handle_);
    mnt_->local_cache_handles[0] = -1;
    uint32_t cache_err = 0;
    mdcudfsr_metacache_file_delete(mnt_, mnt_->local_cache_name[0], &cache_err);
  }

  int send_write(uint64_t at, uint32_t len) {
    const int werr = mdcudfsr_metacache_file_write_begin(mnt_, handle_, at, len, chunk_, &pending_);
    if (werr) {
      UDF_LOG(ERR, "file buffer write failed err:%d cache_err:%d\n", werr, 0);
      return werr;
    }
    pending_len_ = len;
    return 0;
  }

  int take_write() {
    uint32_t written = 0, cache_err = 0;
    const uint32_t len = pending_len_;
    pending_len_ = 0;
    const int werr = mdcudfsr_metacache_file_write_end(mnt_, &pending_, &written, &cache_err);
    if (werr) {
      UDF_LOG(ERR, "file buffer write failed err:%d cache_err:%d\n", werr, cache_err);
      return werr;
    }
    if (cache_err) {
      UDF_LOG(ERR, "mdcudfsr_metacache_file_write success but cache write err(%d)\n", cache_err);
      return KEL_EINVAL;
    }
    if (written != len) UDF_LOG(WARN, "Write Size is different befoer:%d after:%d\n", len, written);
    return 0;
  }

  mdcudfsr_mount* mnt_;
  vfs_context_t ctx_;
  const mdcudfsr_extent_list* list_;
  const mdcudfsr_extent_list* other_;
  int selector_;
  int32_t handle_;
  uint64_t base_;
  uint8_t* chunk_;
  mdc_pending_write pending_;
  uint32_t pending_len_ = 0;
  bool damaged_ = false;
};

}  // namespace

int mdcudfsr_read_metadata_file(mdcudfsr_mount* mnt, vfs_context_t ctx, int selector) {
  UDF_TRACE_ENTRY();
  const mdcudfsr_extent_list* list = mnt->part[0].length ? &mnt->part[0].list : &mnt->part[1].list;
  if (!list->first) {
    UDF_LOG(ERR, "metadtata extent list is not entry\n");
    return KEL_EINVAL;
  }
  const int result = MetadataCopy(mnt, ctx, selector, list).run(extents_by_block(list));
  buf_invalidateblks(mnt->devvp, 0, 0, 0);
  UDF_TRACE_EXIT_ERR(result);
  return result;
}

int mdcudfsr_zero_fill_free_metadata_blocks(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  const uint64_t size_blocks = mnt->part[0].length / b;
  uint32_t lbn = mnt->metadata_block_count;
  if (lbn == MDCUDFSR_INVALID_LBN || lbn >= size_blocks) return 0;
  // The tail may span several extents: each run of the physical partition
  // is zeroed on its own.
  while (lbn < size_blocks) {
    uint64_t avail = 0;
    const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_METADATA, lbn, &avail);
    UDF_LOG(INFO, "metadata_write_start_lbn 0x%x lbn 0x%x lsn 0x%x\n", mnt->metadata_block_count, lbn, lsn);
    if (lsn == MDCUDFSR_INVALID_LSN || avail < b) {
      UDF_LOGM(ERR, KELC, "err=%d\n", 22);
      return KEL_EINVAL;
    }
    uint64_t run = avail / b;
    if (run > size_blocks - lbn) run = size_blocks - lbn;
    const int err = mdcudfsr_zero_write_cluster_buffer(mnt, ctx, 1, lsn, static_cast<uint32_t>(run));
    if (err) {
      UDF_LOGM(ERR, KELC, "err=%d\n", err);
      return err;
    }
    lbn += static_cast<uint32_t>(run);
  }
  return 0;
}
