// Placing and writing the entries of nodes and the contents of directories,
// and the walk over a tree that flushes every node in it.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"

#include "kelagent/metacache.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_efe.h"
#include "udf/udf_metadata.h"
#include "udf/udf_write_efe.h"

#include <cstring>

using namespace kelcache;

namespace {

constexpr uint64_t kUnit = 0x10000;
constexpr uint64_t kCacheBase = 0x100000;
constexpr uint32_t kPermKeep = 0xFFFF;
constexpr uint32_t kEfeSize = sizeof(extended_file_entry);

uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }
bool allocating(const mdcudfsr_mount* m) { return m->metadata_allocating != 0; }

// Whether the node's entry carries a stream directory: a parity node, or on
// F2h the parity information that stands for it after the directory scan.
bool owns_stream(mdcudfsr_cache_node* n) {
  return n->parity_node || mdcudfsr_cache_parity_info_enabled_decision(n);
}

int write_entry_with(mdcudfsr_mount* m, mdcudfsr_cache_node* n, vfs_context_t ctx);

// Writes the node's entry with its extent list and a new AED list. A file
// whose parity lives only as parity information gets a temporary parity
// node for the write, so its stream directory is written with the entry
// (else the entry would name the stream directory's old place, which a full
// rewrite gives to another entry); the information then takes the new
// places back from that node.
int write_entry(mdcudfsr_mount* m, mdcudfsr_cache_node* n, vfs_context_t ctx) {
  if (!mdcudfsr_cache_parity_info_enabled_decision(n)) return write_entry_with(m, n, ctx);
  mdcudfsr_cache_node* parity = nullptr;
  int err = mdcudfsr_cache_temporary_parity_creating_or_deletion(n, &parity, 0);
  if (err) return err;
  n->parity_node = parity;
  err = write_entry_with(m, n, ctx);
  n->parity_node = nullptr;
  const int back = mdcudfsr_cache_temporary_parity_creating_or_deletion(n, &parity, 1);
  return err ? err : back;
}

int write_entry_with(mdcudfsr_mount* m, mdcudfsr_cache_node* n, vfs_context_t ctx) {
  mdcudfsr_udf_data* d = n->udf_data;
  if (d->aed_info) {
    CACHE_LOG(ERR, "%s\n", "!mdcudfsrcnp->udf_data->aed_info");
    return KEL_EINVAL;
  }
  mdcudfsr_efe_write w{};
  w.part = MDCUDFSR_PARTITION_METADATA;
  w.efe_loc = d->efe_loc;
  w.phys_block = d->write_lbn;
  w.perm_word = kPermKeep;
  w.efe = &d->efe;
  w.list = &d->extents;
  w.aed_info = &d->aed_info;
  w.node = n;
  w.prev_loc = -1;
  return mdcudfsr_flush_extended_file_entry(m, &w, ctx);
}

// Rewrites the directory's kept data structure for the pattern chosen, and
// adds the new extent.
int place_dir_extent(mdcudfsr_mount* m, mdcudfsr_udf_data* d, uint32_t block, uint64_t bytes) {
  mdcudfsr_extent_list& l = d->extents;
  const uint32_t p = d->write_pattern;
  if (p == 0) mdcudfsr_extent_list_remove_all(&l);
  else if ((p == 1 || p == 3 || p == 4 || p == 6) && l.last) mdcudfsr_extent_list_remove_entry(&l, l.last);
  else if ((p == 2 || p == 7) && l.last) {
    const uint64_t len = EXTENT_LENGTH(l.last->extent.len);
    l.last->extent.len = EXTENT_MAKE(static_cast<uint32_t>(round_up(len, kUnit) - kUnit), EXTENT_FLAGS_RECORDED);
  }
  mdcudfsr_extent_entry e;
  e.extent.len = EXTENT_MAKE(static_cast<uint32_t>(bytes), EXTENT_FLAGS_RECORDED);
  e.extent.loc = lb_addr{m->flushAllMetadata ? block : block - m->replace_blk_count, MDCUDFSR_PARTITION_METADATA};
  const int err = mdcudfsr_extent_list_add(&l, &e, 0);
  mdcudfsr_extent_list_rebuild_index(&l);
  if (!err) d->dir_start = e.extent.loc.lb_num;
  return err;
}

// A directory's contents inside its entry.
int flush_dir_in_icb(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, uint64_t size, int skip, vfs_context_t ctx) {
  mdcudfsr_udf_data* d = dir->udf_data;
  if (allocating(m)) {
    mdcudfsr_extent_list_remove_all(&d->extents);
    d->dir_prev_start = MDCUDFSR_INVALID_LBN;
    return 0;
  }
  const uint32_t len = static_cast<uint32_t>(round_up(size ? size : 1, m->logical_sector_size));
  auto* buf = static_cast<uint8_t*>(cache_alloc(len));
  if (!buf) {
    CACHE_LOG(ERR, "can't allocate dir memory.size=%d\n", len);
    return KEL_ENOMEM;
  }
  int err = mdcudfsr_cache_write_directory(m, buf, len, dir, d->efe_loc, skip, 0);
  d->efe.inf_len = d->efe.object_size = size;
  d->efe.logblks_rec = 0;
  if (!err)
    err = mdcudfsr_flush_extended_file_entry_in_icb(m, MDCUDFSR_PARTITION_METADATA, d->efe_loc, d->write_lbn,
                                                    kPermKeep, &d->efe, nullptr, buf, static_cast<uint32_t>(size),
                                                    ctx);
  cache_free(buf, len);
  return err;
}

// Mirrors directory blocks into the management cache file. With `only`
// (the cache file holds the whole metadata image) a failure is returned.
int mirror_to_cache(mdcudfsr_mount* m, const uint8_t* data, uint32_t bytes, uint32_t block, bool only,
                    vfs_context_t ctx) {
  uint32_t done = 0, cache_err = 0;
  const uint64_t off = kCacheBase + uint64_t{m->logical_block_size} * block;
  const int err = mdcudfsr_metacache_file_write(m, m->fsmanage_handle, off, bytes, data, &done, &cache_err);
  if (!err && !cache_err) return 0;
  if (only && !err)
    CACHE_LOG(ERR, "mdcudfsr_metacache_file_write success. but cache err:%d \n", cache_err);
  else if (only)
    CACHE_LOG(ERR, " Failed to write fs manage cache. err = %d\n", err);
  else
    CACHE_LOG(ERR, " Failed to write fs manage cache. err = %d cache_err = %d\n", err, cache_err);
  mdcudfsr_drop_fsmanage_cache(m, ctx);
  return only ? (err ? err : KEL_EINVAL) : 0;
}

// Writes the directory bytes from `off` to their blocks.
int write_dir_bytes(mdcudfsr_mount* m, const uint8_t* buf, uint64_t off, uint64_t bytes, uint32_t block,
                    uint32_t dir_start, vfs_context_t ctx) {
  if (allocating(m)) return 0;
  const uint32_t len = static_cast<uint32_t>(round_up(bytes, m->logical_block_size));
  if (m->flushAllMetadata && m->fsmanage_handle != -1) return mirror_to_cache(m, buf + off, len, dir_start, true, ctx);
  const int err = mdcudfsr_write_logical_blocks(m, MDCUDFSR_PARTITION_METADATA, block, buf + off, len, ctx);
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  if (m->fsmanage_handle != -1) mirror_to_cache(m, buf + off, len, dir_start, false, ctx);
  return 0;
}

// Builds the directory's image (its data starting at block `start`) and
// writes its bytes from `off` on to `block`.
int write_dir_image(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, uint64_t size, uint64_t off, uint64_t bytes,
                    uint32_t block, uint32_t start, int skip, vfs_context_t ctx) {
  const uint32_t len = static_cast<uint32_t>(round_up(size, m->logical_block_size));
  auto* buf = static_cast<uint8_t*>(cache_alloc(len));
  if (!buf) {
    CACHE_LOG(ERR, "can't allocate dir memory.size=%d\n", len);
    return KEL_ENOMEM;
  }
  int err = mdcudfsr_cache_write_directory(m, buf, len, dir, start, skip, static_cast<uint32_t>(off));
  if (!err) err = write_dir_bytes(m, buf, off, bytes, block, dir->udf_data->dir_start, ctx);
  cache_free(buf, len);
  return err;
}

// A directory's contents in blocks of their own.
int flush_dir_in_blocks(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, uint64_t size, uint32_t room, int skip,
                        vfs_context_t ctx) {
  mdcudfsr_udf_data* d = dir->udf_data;
  const uint32_t b = m->logical_block_size;
  uint64_t bytes = 0;
  if (allocating(m)) {
    d->write_pattern = static_cast<uint32_t>(
        mdcudfsr_cache_decide_fid_write_pattern(b, m->flushAllMetadata, d, dir->dir_dirty, size, room, &bytes));
  } else {
    bytes = d->extents.last ? EXTENT_LENGTH(d->extents.last->extent.len) : 0;
  }
  if (bytes == 0 || bytes > size || bytes > 0x3FFFFFFFu - b) {
    CACHE_LOG(ERR, "dir write size invalid. size=%lld bytes=%lld\n", static_cast<long long>(size),
              static_cast<long long>(bytes));
    return KEL_EINVAL;
  }
  const uint32_t block = mdcudfsr_allocate_metadata_blocks(m, static_cast<uint32_t>(round_up(bytes, b) / b));
  if (block == MDCUDFSR_INVALID_LBN) {
    CACHE_LOG(ERR, "%s\n", "dir_lbn != INVALID_LBN");
    return KEL_ENOSPC;
  }
  if (allocating(m)) {
    const int err = place_dir_extent(m, d, block, bytes);
    if (err) return err;
  }
  const uint64_t off = size - bytes;
  const uint32_t start = d->dir_start - (d->write_pattern > 1 ? static_cast<uint32_t>(off / b) : 0);
  d->efe.inf_len = d->efe.object_size = size;
  d->efe.logblks_rec = round_up(size, b) / b;
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d buf_size=%d num_recorded_blks=%d\n", volume_name(m), tid32(), __func__,
              __LINE__, static_cast<int>(size), static_cast<int>(d->efe.logblks_rec));
  // The placing pass writes no directory bytes: the image is built only
  // when it is written.
  const int err = allocating(m) ? 0 : write_dir_image(m, dir, size, off, bytes, block, start, skip, ctx);
  return err ? err : write_entry(m, dir, ctx);
}

}  // namespace

int mdcudfsr_cache_flush_dir_node(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, vfs_context_t ctx, int skip) {
  CACHE_LOG(DEBG, "dir_node=0x%08x name=%s", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dir)), name_of(dir));
  if (!m || !dir || !dir->udf_data) return KEL_EINVAL;
  mdcudfsr_udf_data* d = dir->udf_data;
  d->efe.link_cnt = static_cast<uint16_t>(d->nlink >= 0xFFFF ? 0xFFFF : d->nlink);
  const uint64_t size = mdcudfsr_cache_calc_dir_size(dir, skip);
  if (size == ~uint64_t{0} || size > 0x3FFFFFFFu) return KEL_EINVAL;
  const uint32_t b = m->logical_block_size;
  const uint32_t room = b > kEfeSize + d->efe.l_ea ? b - d->efe.l_ea - kEfeSize : 0;
  int err;
  if (size < room) {
    err = flush_dir_in_icb(m, dir, size, skip, ctx);
  } else {
    if (d->aed_info) {
      CACHE_LOG(ERR, "%s\n", "!mdcudfsrcnp->udf_data->aed_info");
      return KEL_EINVAL;
    }
    err = flush_dir_in_blocks(m, dir, size, room, skip, ctx);
  }
  if (!err && !allocating(m)) dir->dir_dirty = 0;
  CACHE_LOG(DEBG, "err=%d", err);
  return err;
}

namespace {

// Whether the node flush writes the node at all.
bool skip_node(mdcudfsr_cache_node* n, int exclude, int* result) {
  *result = 0;
  if (n->write_list_entry) {
    if (exclude) {
      if (mdcudfsr_cache_node* p = mdcudfsr_parent(n)) p->cache_dirty = 1;
      if (n->udf_data) n->udf_data->efe_loc = n->udf_data->std_loc = MDCUDFSR_INVALID_LBN;
    }
    return true;
  }
  if (n->kind == MDCUDFSR_NODE_VIRTUAL) {
    CACHE_LOG(DEBG, "[%s] Not Flush\n", name_of(n));
    return true;
  }
  if (n->stream_owner) {
    CACHE_LOG(DEBG, "[%s] Parity file is skip\n", name_of(n));
    return true;
  }
  if (!n->udf_data) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp->udf_data");
    *result = KEL_EINVAL;
    return true;
  }
  if (n->kind == MDCUDFSR_NODE_MASTER && n->cache_dirty && exclude) {
    CACHE_LOG(INFO, "[%s] stride file is skip lbn:0x%x\n", name_of(n), n->udf_data->efe_loc);
    // A full rewrite lays every entry out anew (on a new disc, from the
    // metadata file's first block): the left-out entry's old place now
    // belongs to another entry, so its own flush places it as a new one.
    if (n->mdcudfsrmp && n->mdcudfsrmp->flushAllMetadata)
      n->udf_data->efe_loc = n->udf_data->std_loc = MDCUDFSR_INVALID_LBN;
    return true;
  }
  return n->kind != MDCUDFSR_NODE_UDF && n->kind != MDCUDFSR_NODE_MASTER;
}

// The entry's place.
int place_entry(mdcudfsr_mount* m, mdcudfsr_cache_node* n, int keep) {
  mdcudfsr_udf_data* d = n->udf_data;
  if (!m->flushAllMetadata && !n->cache_dirty) return 0;
  if (d->aed_info) {
    mdcudfsr_free_aed_info(d->aed_info);
    d->aed_info = nullptr;
  }
  const uint32_t lbn = mdcudfsr_allocate_metadata_blocks(m, 1);
  if (lbn == MDCUDFSR_INVALID_LBN) {
    CACHE_LOG(ERR, "%s\n", "lbn != INVALID_LBN");
    return KEL_ENOSPC;
  }
  if (m->flushAllMetadata) {
    d->efe_loc = d->replace_efe_loc = d->write_lbn = lbn;
    d->remap_pending = 0;
    // A full rewrite lays the stream directory out anew after the entry:
    // its old place is no replacement (it would count blocks the remap then
    // takes out of the file, and the entry would point at the old place).
    if (owns_stream(n)) d->std_loc = d->replace_std_loc = MDCUDFSR_INVALID_LBN;
    if (!keep) d->partial_flag = d->first_placement = 0;
    CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d [%s]allocate logical block for EFE=%d\n", volume_name(m), tid32(),
                __func__, __LINE__, name_of(n), lbn);
    return 0;
  }
  if (!allocating(m)) return 0;
  if (d->efe_loc == MDCUDFSR_INVALID_LBN) {
    d->replace_efe_loc = MDCUDFSR_INVALID_LBN;
    d->replace_std_loc = d->std_loc;
    d->write_lbn = lbn;
    d->efe_loc = lbn - m->replace_blk_count;
    d->first_placement = 1;
    CACHE_LOG(DEBG, "[%s] 1 set logical block info replace_efe_loc:%d write_lbn:%d efe_loc=%d\n", name_of(n),
              d->replace_efe_loc, d->write_lbn, d->efe_loc);
  } else {
    d->replace_efe_loc = d->write_lbn = lbn;
    // A written stream directory moves too: the entry writer then counts
    // its two blocks in this pass, before later entries take their places.
    if (owns_stream(n) && d->std_loc != MDCUDFSR_INVALID_LBN) d->replace_std_loc = d->std_loc;
    d->remap_pending = 1;
    ++m->replace_blk_count;
    CACHE_LOG(DEBG, "[%s] 2 set logical block info replace_efe_loc:%d write_lbn:%d efe_loc=%d\n", name_of(n),
              d->replace_efe_loc, d->write_lbn, d->efe_loc);
    CACHE_LOG(DEBG, "[%s][5]replace blk count[%d]\n", name_of(n), m->replace_blk_count);
  }
  d->partial_flag = 1;
  return 0;
}

}  // namespace

int mdcudfsr_cache_flush_node(mdcudfsr_cache_node* n, vfs_context_t ctx, int exclude, int keep) {
  CACHE_LOG(DEBG, "(%s)", name_of(n));
  mdcudfsr_mount* m = n ? n->mdcudfsrmp : nullptr;
  if (!m) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_inactive(n)) return 0;
  int err = 0;
  if (skip_node(n, exclude, &err)) return err;
  mdcudfsr_udf_data* d = n->udf_data;
  if ((err = place_entry(m, n, keep)) != 0) return err;
  CACHE_LOG(DEBG, "[%s] replace_efe_loc:%d write_lbn:%d efe_loc=%d\n", name_of(n), d->replace_efe_loc, d->write_lbn,
            d->efe_loc);
  if (mdcudfsr_is_dir(n)) {
    if (!allocating(m) && !keep) d->flush_pending = 0;
    if (!allocating(m)) d->flush_pending2 = 0;
    return 0;
  }
  if (n->cache_dirty || m->flushAllMetadata) {
    CACHE_LOG(DEBG, "call flush_extended_file_entry [%s] replace_efe_loc:%d write_lbn:%d efe_loc=%d partial_flag %d \n",
              name_of(n), d->replace_efe_loc, d->write_lbn, d->efe_loc, d->partial_flag);
    if ((err = write_entry(m, n, ctx)) != 0) {
      CACHE_LOG(ERR, "err=%d\n", err);
      return err;
    }
  }
  if (!allocating(m)) {
    if (!keep) n->cache_dirty = d->flush_pending = 0;
    d->flush_pending2 = 0;
  }
  CACHE_LOG(DEBG, "err=%d", 0);
  return 0;
}

namespace {

// Flushes one directory's entry and, when needed, its contents.
int flush_dir(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, vfs_context_t ctx, int exclude, int keep) {
  int err = mdcudfsr_cache_flush_node(dir, ctx, exclude, keep);
  if (err) {
    CACHE_LOG(ERR, "mdcudfsr_cache_flush_node failed err:%d\n", err);
    return err;
  }
  if (!dir->udf_data || mdcudfsr_is_inactive(dir) || dir->kind != MDCUDFSR_NODE_UDF || dir->write_list_entry)
    return 0;
  if (dir->cache_dirty || m->flushAllMetadata) {
    if ((err = mdcudfsr_cache_flush_dir_node(m, dir, ctx, exclude)) != 0) {
      CACHE_LOG(ERR, "mdcudfsr_cache_flush_dir_node failed err:%d\n", err);
      return err;
    }
  }
  if (!allocating(m) && !keep) dir->cache_dirty = 0;
  return 0;
}

// Whether the node flush would leave a file as it is and write nothing: in
// an incremental pass, an entry neither dirty nor in the write list, with
// nothing pending. The walk passes such a file by.
bool untouched(const mdcudfsr_mount* m, const mdcudfsr_cache_node* n) {
  const mdcudfsr_udf_data* d = n->udf_data;
  return !m->flushAllMetadata && !n->cache_dirty && !n->write_list_entry && d && !d->flush_pending &&
         !d->flush_pending2;
}

}  // namespace

int mdcudfsr_cache_flush_node_sub(mdcudfsr_cache_node* start, vfs_context_t ctx, int exclude, int keep) {
  mdcudfsr_mount* m = start ? start->mdcudfsrmp : nullptr;
  if (!m) return KEL_EINVAL;
  mdcudfsr_dirstack stack;
  if (mdcudfsr_dirstack_init(&stack)) {
    CACHE_LOG(ERR, "drstack init error\n");
    return KEL_ENOMEM;
  }
  int err = 0;
  mdcudfsr_dirstack_push(&stack, start, 0);
  err = flush_dir(m, start, ctx, exclude, keep);
  if (!err && !allocating(m) && start->udf_data) start->udf_data->flush_pending2 = 0;
  const uint32_t limit = mdcudfsr_dirstack_limit(m);
  while (!err) {
    mdcudfsr_cache_node* dir = mdcudfsr_dirstack_pop(&stack);
    if (!dir) break;
    for (mdcudfsr_cache_node* c = uid_first(dir); c && !err; c = uid_next(c)) {
      if (mdcudfsr_is_dir(c)) {
        const uint32_t r = mdcudfsr_dirstack_push(&stack, c, 0);
        if (r > limit) {
          CACHE_LOG(ERR, "dirstack insert error. err:%d\n", stack.error);
          err = stack.error ? stack.error : 24;
          break;
        }
        err = flush_dir(m, c, ctx, exclude, keep);
      } else if (!untouched(m, c) && (err = mdcudfsr_cache_flush_node(c, ctx, exclude, keep)) != 0) {
        CACHE_LOG(ERR, "mdcudfsr_cache_flush_node failed err:%d\n", err);
      }
    }
    if (!err && !allocating(m) && dir->udf_data) dir->udf_data->flush_pending2 = 0;
  }
  mdcudfsr_dirstack_free(&stack);
  return err;
}

namespace {

// Calls `visit` for the node and every node below it.
template <class Visit>
void for_subtree(mdcudfsr_cache_node* node, Visit visit) {
  if (!node) return;
  visit(node);
  if (!mdcudfsr_is_dir(node)) return;
  for (mdcudfsr_cache_node* n = mdcudfsr_cache_get_next_node(node->mdcudfsrmp, node, node, 1); n;
       n = mdcudfsr_cache_get_next_node(node->mdcudfsrmp, n, node, 1))
    visit(n);
}

}  // namespace

// A node the failed pass placed is placed again; one that had no place
// before loses it. A directory is written whole: the placement already
// changed its extent list for the pattern it chose.
void mdcudfsr_cache_dirty_node_for_defect(mdcudfsr_cache_node* node) {
  for_subtree(node, [](mdcudfsr_cache_node* n) {
    mdcudfsr_udf_data* d = n->udf_data;
    if (!d || !d->partial_flag) return;
    n->cache_dirty = 1;
    if (mdcudfsr_is_dir(n)) n->dir_dirty = 2;
    if (d->first_placement) d->efe_loc = d->std_loc = MDCUDFSR_INVALID_LBN;
  });
}

void kelcache::placement_written(mdcudfsr_cache_node* root) {
  for_subtree(root, [](mdcudfsr_cache_node* n) {
    if (n->udf_data) n->udf_data->partial_flag = n->udf_data->first_placement = 0;
  });
}

uint32_t mdcudfsr_cache_count_cache_dirty(mdcudfsr_cache_node* node) {
  uint32_t count = 0;
  for_subtree(node, [&count](mdcudfsr_cache_node* n) {
    if (n->cache_dirty && !n->stream_owner) ++count;
  });
  return count;
}

int mdcudfsr_cache_set_dirty_to_root(mdcudfsr_cache_node* node) {
  if (!node) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  for (mdcudfsr_cache_node* n = node; n; n = mdcudfsr_parent(n)) {
    mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
    n->cache_dirty = 1;
    mdcudfsr_cache_unlock_node(n);
  }
  return 0;
}
