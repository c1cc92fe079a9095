// Manual allocation controls: the writer chooses the space of a file and
// hands it to the engine as space entries; the engine keeps them as the
// file's extents.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_allocation.h"

#include "fsctl_common.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_lvid.h"
#include "udf/udf_names.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

using namespace kelvnops;

std::uint32_t mdcudfsr_array_bytes(std::uint64_t count, std::uint64_t size) {
  const std::uint64_t bytes = count * size;  // both below 2^32: no overflow
  if (count == 0 || count > 0xFFFFFFFFu || size > 0xFFFFFFFFu || bytes > 0xFFFFFFFFu) return 0;
  return static_cast<std::uint32_t>(bytes);
}

namespace {

std::uint32_t block_size(const mdcudfsr_mount* mnt) {
  return mnt->logical_block_size ? mnt->logical_block_size : 2048;
}

std::uint32_t blocks_of(std::uint32_t bytes, std::uint32_t bs) { return (bytes + bs - 1) / bs; }

// The checks shared by customize, add, replace and reallocate.
int check_file(mdcudfsr_cache_node* node, bool manual) {
  if (int err = check_kind_file_or_proxy(node)) return err;
  if (manual && !(node->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_dir(node)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR )");
    return KEL_EISDIR;
  }
  return 0;
}

void set_attrtime_now(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(mnt, &now, &node->udf_data->efe.attrtime);
}

// Logical blocks recorded = the extents' total rounded up to blocks.
void update_recorded_blocks(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  const std::uint32_t bs = block_size(mnt);
  const std::uint64_t total = mdcudfsr_extent_list_get_selected_length(&node->udf_data->extents, 0);
  node->udf_data->efe.logblks_rec = (total + bs - 1) / bs;
}

int append_extent(mdcudfsr_extent_list* list, std::uint32_t zone, std::uint32_t lbn, std::uint32_t bytes,
                  std::int32_t type) {
  mdcudfsr_extent_entry e{};
  e.extent.len = EXTENT_MAKE(bytes, static_cast<std::uint32_t>(type));
  e.extent.loc.lb_num = lbn;
  e.extent.loc.part_num = static_cast<std::uint16_t>(zone + 1);
  return mdcudfsr_extent_list_add(list, &e, 0);
}

// A space entry lies on a valid zone and, with all its blocks (counted in
// 64 bits), inside the physical partition, where every zone's blocks are
// numbered; *type gets the zone's descriptor type. 22 otherwise.
int check_entry(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY& s, std::int32_t* type) {
  if (int err = mdcudfsr_get_adtype_from_zoneid(mnt, static_cast<std::uint32_t>(s.ZoneId), type)) return err;
  std::uint64_t available = 0;
  const std::uint32_t lbn = static_cast<std::uint32_t>(s.BlockOffset);
  if (mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, lbn, &available) == MDCUDFSR_INVALID_LSN) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "lsn != INVALID_LSN");
    return KEL_EINVAL;
  }
  if (std::uint64_t{static_cast<std::uint32_t>(s.NumberOfBlocks)} * block_size(mnt) > available) {
    VN_LOGK(KEL_LOG_ERR, "Invalid Block Length (%d).\n", s.NumberOfBlocks);
    return KEL_EINVAL;
  }
  return 0;
}

int check_entries(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* s, std::uint32_t count) {
  std::int32_t type = 0;
  for (std::uint32_t i = 0; i < count; ++i)
    if (int err = check_entry(mnt, s[i], &type)) return err;
  return 0;
}

// `bytes` from block `lbn` of a zone as extents of at most
// MDCUDFSR_MANUAL_EXTENT_MAX bytes, each starting where the one before ended.
int append_pieces(mdcudfsr_mount* mnt, mdcudfsr_extent_list* list, std::uint32_t zone, std::uint32_t lbn,
                  std::uint64_t bytes, std::int32_t type) {
  const std::uint32_t bs = block_size(mnt);
  for (std::uint64_t done = 0; done < bytes;) {
    const std::uint64_t piece = std::min<std::uint64_t>(bytes - done, MDCUDFSR_MANUAL_EXTENT_MAX);
    const auto at = static_cast<std::uint32_t>(lbn + done / bs);  // checked inside the partition
    if (int err = append_extent(list, zone, at, static_cast<std::uint32_t>(piece), type)) return err;
    done += piece;
  }
  return 0;
}

// Takes the extents appended after `keep` (null: all) off again.
void drop_extents_after(mdcudfsr_extent_list* list, const mdcudfsr_extent_entry* keep) {
  while (list->last && list->last != keep) mdcudfsr_extent_list_remove_entry(list, list->last);
}

// The node's extents become `fresh`.
void take_extents(mdcudfsr_cache_node* node, mdcudfsr_extent_list* fresh) {
  mdcudfsr_extent_list_free(&node->udf_data->extents);
  node->udf_data->extents = *fresh;
  mdcudfsr_extent_list_rebuild_index(&node->udf_data->extents);
}

int append_copy(mdcudfsr_extent_list* list, const long_ad& ad) {
  mdcudfsr_extent_entry e{};
  e.extent = ad;
  return mdcudfsr_extent_list_add(list, &e, 0);
}

// The master's count of bytes appended through its proxies starts again.
void reset_proxy_bytes(mdcudfsr_cache_node* node) {
  if (node->master) node->master->write_total = 0;
}

// Copies the caller's entries in; nullptr with *err set on failure.
MDCFS_SPACE_ENTRY* copy_entries_in(std::uint64_t address, std::uint32_t count, std::uint32_t* bytes, int* err) {
  *bytes = mdcudfsr_array_bytes(count, sizeof(MDCFS_SPACE_ENTRY));
  auto* buf = *bytes ? static_cast<MDCFS_SPACE_ENTRY*>(OSMalloc(*bytes, nullptr)) : nullptr;
  if (!buf) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "buf");
    *err = KEL_ENOMEM;
    return nullptr;
  }
  *err = copyin(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), buf, *bytes);
  if (*err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", *err);
    OSFree(buf, *bytes, nullptr);
    return nullptr;
  }
  return buf;
}

}  // namespace

int mdcudfsr_mdcfsctrl_customize_file_setting(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                              MDCFS_CUSTOM_FILE_SETTING* s, vfs_context_t) {
  if (!mnt || !s) return KEL_EINVAL;
  if (int err = check_file(node, false)) return err;
  VN_LOGK(KEL_LOG_INFO, "FileAttributes=0x%08x Control=0x%08x Options=0x%08x\n", s->FileAttributes, s->Control,
          s->Options);
  extended_file_entry& efe = node->udf_data->efe;
  efe.icbtag.file_type = (s->FileAttributes & 1) ? UDF_FILE_TYPE_249 : UDF_FILE_TYPE_REGULAR;
  if (s->Control & 1) node->attributes |= MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION;
  else node->attributes &= ~MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION;
  efe.perm = s->Options;
  if (!node->master) return 0;
  const int err = mdcudfsr_cache_set_dirty(node->master);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_query_custom_file_setting(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                                 MDCFS_CUSTOM_FILE_SETTING* s, vfs_context_t) {
  if (!mnt || !s) return KEL_EINVAL;
  if (int err = check_kind_file_or_proxy(node)) return err;
  if (node->udf_data->efe.icbtag.file_type == UDF_FILE_TYPE_249) s->FileAttributes = 1;
  if (node->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION) s->Control = 1;
  s->Options = node->udf_data->efe.perm;
  return 0;
}

int mdcudfsr_mdcfsctrl_get_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                           MDCFS_SPACE_ENTRIES_BUFFER* b, vfs_context_t) {
  if (!mnt || !b) return KEL_EINVAL;
  if (int err = check_kind_file_or_proxy(node)) return err;
  const mdcudfsr_extent_list* list = &node->udf_data->extents;
  // A proxy's writes record blocks in this list under the proxy's lock.
  const auto held = mdcudfsr_extent_list_hold(list);
  if (!b->SpaceEntries) {
    b->TotalSpaceCount = mdcudfsr_extent_list_get_count(list);
    VN_LOGK(KEL_LOG_DEBG, "TotalSpaceCount=%d\n", static_cast<int>(b->TotalSpaceCount));
    return 0;
  }
  if (!b->TotalSpaceCount) return KEL_EFAULT;  // no source to copy from
  const std::uint32_t count = b->TotalSpaceCount;
  const std::uint32_t bytes = mdcudfsr_array_bytes(count, sizeof(MDCFS_SPACE_ENTRY));
  auto* buf = bytes ? static_cast<MDCFS_SPACE_ENTRY*>(OSMalloc(bytes, nullptr)) : nullptr;
  if (!buf) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "buf");
    return KEL_ENOMEM;
  }
  std::memset(buf, 0, bytes);
  std::uint32_t extents = 0;
  int err = collect_space_entries(mnt, list, buf, count, &extents, nullptr);
  if (!err) err = copyout(buf, reinterpret_cast<void*>(static_cast<std::uintptr_t>(b->SpaceEntries)), bytes);
  if (!err) {
    VN_LOGK(KEL_LOG_DEBG, "TotalSpaceCount=%d\n", static_cast<int>(count));
    for (std::uint32_t i = 0; i < count && i < extents; ++i)
      VN_LOGK(KEL_LOG_DEBG, "%d: %d/%d/%d\n", static_cast<int>(i), buf[i].ZoneId, buf[i].BlockOffset,
              buf[i].NumberOfBlocks);
    if (count < extents) err = KEL_ENOBUFS;
  }
  OSFree(buf, bytes, nullptr);
  return err;
}

namespace {

// Appends every entry's blocks to the node's extents, all or none.
int append_entries(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, const MDCFS_SPACE_ENTRY* s, std::uint32_t count,
                   std::uint64_t* bytes) {
  mdcudfsr_extent_list* list = &node->udf_data->extents;
  const mdcudfsr_extent_entry* keep = list->last;
  *bytes = 0;
  int err = 0;
  for (std::uint32_t i = 0; i < count && !err; ++i) {
    std::int32_t type = 0;
    const auto zone = static_cast<std::uint32_t>(s[i].ZoneId);
    const std::uint64_t n = std::uint64_t{block_size(mnt)} * static_cast<std::uint32_t>(s[i].NumberOfBlocks);
    err = mdcudfsr_get_adtype_from_zoneid(mnt, zone, &type);
    if (!err) err = append_pieces(mnt, list, zone, static_cast<std::uint32_t>(s[i].BlockOffset), n, type);
    *bytes += n;
  }
  if (err) drop_extents_after(list, keep);
  return err;
}

// The file takes the mount's next unique id, re-keyed in its parent.
void renew_unique_id(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node) {
  mdcudfsr_cache_node* parent = mdcudfsr_parent(node);
  if (parent) {
    parent->uid_root = mdcudfsr_avl_delete(parent, parent->uid_root, node, node->objid);
    mdcudfsr_remove_list_by_unique_id(parent, node);
  }
  node->udf_data->efe.unique_id = mdcudfsr_get_next_unique_id(mnt);
  node->objid = node->udf_data->efe.unique_id;
  if (!parent) return;
  mdcudfsr_insert_list_by_unique_id(parent, node);
  parent->uid_root = mdcudfsr_avl_insert(parent, parent->uid_root, node, node->objid, 1);
  mdcudfsr_cache_set_dirty(parent);
}

// The page cache learns the new size; the node lock is let go meanwhile.
void tell_page_cache(mdcudfsr_cache_node* node) {
  if (!node->vp) return;
  const off64_kel_t size = static_cast<off64_kel_t>(node->udf_data->efe.inf_len);
  mdcudfsr_cache_unlock_node(node);
  const int r = ubc_setsize(node->vp, size);
  VN_LOGK(KEL_LOG_DEBG, "(tid=%08x) %s:%d ubc_setsize(0x%08x)=%lld\n", tid32(), __func__, __LINE__, r,
          static_cast<long long>(size));
  mdcudfsr_cache_lock_node(node, MDCUDFSR_WAIT_FOREVER);
}

}  // namespace

int mdcudfsr_mdcfsctrl_add_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                           MDCFS_SPACE_ENTRIES_BUFFER* b, vfs_context_t) {
  if (!mnt || !b) return KEL_EINVAL;
  if (int err = check_file(node, true)) return err;
  if (!b->TotalSpaceCount) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcfs_space_entries_buf->TotalSpaceCount");
    return KEL_EINVAL;
  }
  std::uint32_t bytes = 0;
  int err = 0;
  MDCFS_SPACE_ENTRY* entries = copy_entries_in(b->SpaceEntries, b->TotalSpaceCount, &bytes, &err);
  if (!entries) return err;
  extended_file_entry& efe = node->udf_data->efe;
  const bool new_uid = efe.inf_len == 0 && !mdcudfsr_cache_is_dollar_proxyfile(node) &&
                       mnt->next_unique_id != efe.unique_id + 1;
  const mdcudfsr_extent_entry* first = node->udf_data->extents.first;
  const std::uint32_t first_part = first ? first->extent.loc.part_num : static_cast<std::uint32_t>(entries[0].ZoneId) + 1;
  // Every entry is checked before the first is appended: a refusal leaves
  // the file as it was.
  std::uint64_t added = 0;
  err = check_entries(mnt, entries, b->TotalSpaceCount);
  if (!err) err = append_entries(mnt, node, entries, b->TotalSpaceCount, &added);
  OSFree(entries, bytes, nullptr);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  if (node->master && first_part != mnt->current_disc + 1) node->master->multi_disc = 1;
  const std::uint32_t bs = block_size(mnt);
  efe.inf_len = (efe.inf_len + added + bs - 1) / bs * bs;
  efe.object_size = efe.inf_len;
  reset_proxy_bytes(node);
  // A proxy shares its master's entry: the master is the file re-keyed.
  mdcudfsr_cache_node* file = node->master ? node->master : node;
  if (new_uid && !file->parity_info) renew_unique_id(mnt, file);
  set_attrtime_now(mnt, node);
  update_recorded_blocks(mnt, node);
  tell_page_cache(node);
  if (!node->master) return 0;
  err = mdcudfsr_cache_set_dirty(node->master);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  node->master->last_disc = mnt->current_disc + 1;
  return err;
}

int mdcudfsr_mdcfsctrl_replace_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                               MDCFS_REPLACE_FILE_ALLOCATION* r, vfs_context_t) {
  if (!mnt || !r) return KEL_EINVAL;
  if (int err = check_file(node, true)) return err;
  std::int32_t type = 0;
  const std::uint32_t zone = static_cast<std::uint32_t>(r->NewSpace.ZoneId);
  int err = check_entry(mnt, r->NewSpace, &type);
  mdcudfsr_extent_list fresh{};
  mdcudfsr_extent_list_init(&fresh);
  const std::uint64_t new_len = std::uint64_t{block_size(mnt)} * static_cast<std::uint32_t>(r->NewSpace.NumberOfBlocks);
  std::uint32_t i = 0;
  for (const mdcudfsr_extent_entry* e = node->udf_data->extents.first; e && !err; e = e->next, ++i) {
    if (i != r->ExtentIndex) {
      err = append_copy(&fresh, e->extent);
    } else if (EXTENT_LENGTH(e->extent.len) != new_len) {
      VN_LOGK(KEL_LOG_ERR, "%s\n", "EXTENT_LENGTH( eep->extent.len ) == EXTENT_LENGTH( entry.extent.len )");
      err = KEL_EINVAL;
    } else {
      err = append_extent(&fresh, zone, static_cast<std::uint32_t>(r->NewSpace.BlockOffset),
                          EXTENT_LENGTH(e->extent.len), type);
    }
  }
  if (!err && r->ExtentIndex >= i) {
    VN_LOGK(KEL_LOG_ERR, "extent index %u lies beyond the file's %u extents\n", r->ExtentIndex, i);
    err = KEL_EINVAL;
  }
  if (!err) {
    take_extents(node, &fresh);
    update_recorded_blocks(mnt, node);
    set_attrtime_now(mnt, node);
  } else {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    mdcudfsr_extent_list_free(&fresh);
  }
  if (node->master) {
    const int derr = mdcudfsr_cache_set_dirty(node->master);
    if (derr) VN_LOGK(KEL_LOG_ERR, "err=%d\n", derr);
    if (!err) err = derr;
  }
  return err;
}

namespace {

struct RangeMove {
  mdcudfsr_mount* mnt;
  mdcudfsr_cache_node* node;
  std::uint32_t first, count, zone;
  std::int32_t type;
  std::uint32_t lbn;
  bool placed = false;
};

// One extent of the old list, [start, end) in file blocks, into the new list.
int move_extent(RangeMove& m, mdcudfsr_extent_list* out, const long_ad& ad, std::uint32_t start, std::uint32_t end) {
  const std::uint32_t bs = block_size(m.mnt);
  const std::uint64_t last = std::uint64_t{m.first} + m.count;
  if (end <= m.first || start >= last) return append_copy(out, ad);
  const std::uint32_t type = EXTENT_FLAGS(ad.len);
  if (start < m.first) {
    long_ad head = ad;
    head.len = EXTENT_MAKE((m.first - start) * bs, type);
    if (int err = append_copy(out, head)) return err;
  }
  if (m.first >= start && m.first < end) {
    off64_kel_t resid = 0;
    const off64_kel_t at = static_cast<off64_kel_t>(std::uint64_t{m.first} * bs);
    if (m.node->vp) {
      const int r = ubc_msync(m.node->vp, at, at + 0x10000, &resid, 0);
      if (r) VN_LOGK(KEL_LOG_ERR, "ubc_msync err=%d replace_offset=%lld\n", r, static_cast<long long>(at));
    }
    if (int err = append_extent(out, m.zone, m.lbn, m.count * bs, m.type)) return err;
    m.placed = true;
  }
  if (last < end) {
    long_ad tail = ad;
    tail.len = EXTENT_MAKE(static_cast<std::uint32_t>((end - last) * bs), type);
    tail.loc.lb_num = ad.loc.lb_num + static_cast<std::uint32_t>(last - start);
    if (int err = append_copy(out, tail)) return err;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_replace_file_range(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                          MDCFS_REALLOCATE_FILE_RANGE* r, vfs_context_t) {
  if (!mnt || !r) return KEL_EINVAL;
  RangeMove m{mnt, node, r->FileBlockOffset, static_cast<std::uint32_t>(r->NewSpace.NumberOfBlocks),
              static_cast<std::uint32_t>(r->NewSpace.ZoneId), 0, static_cast<std::uint32_t>(r->NewSpace.BlockOffset)};
  if (int err = mdcudfsr_get_adtype_from_zoneid(mnt, m.zone, &m.type)) return err;
  if (int err = check_file(node, true)) return err;
  if (int err = check_entry(mnt, r->NewSpace, &m.type)) return err;
  const std::uint32_t bs = block_size(mnt);
  if (m.count == 0 || std::uint64_t{m.count} * bs > EXTENT_LENGTH_MASK) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", 22);
    return KEL_EINVAL;
  }
  mdcudfsr_extent_list fresh{};
  mdcudfsr_extent_list_init(&fresh);
  int err = 0;
  std::uint32_t start = 0;
  for (const mdcudfsr_extent_entry* e = node->udf_data->extents.first; e && !err; e = e->next) {
    const std::uint32_t end = start + blocks_of(EXTENT_LENGTH(e->extent.len), bs);
    err = move_extent(m, &fresh, e->extent, start, end);
    start = end;
  }
  if (!err && !m.placed) {
    VN_LOGK(KEL_LOG_ERR, "first block %u lies beyond the file's extents\n", m.first);
    err = KEL_EINVAL;
  }
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    mdcudfsr_extent_list_free(&fresh);
    return err;
  }
  take_extents(node, &fresh);
  // A range that reaches past the end of the file makes it longer.
  extended_file_entry& efe = node->udf_data->efe;
  const std::uint64_t end = (std::uint64_t{m.first} + m.count) * bs;
  if (efe.inf_len < end) {
    efe.inf_len = efe.object_size = end;
    reset_proxy_bytes(node);
  }
  update_recorded_blocks(mnt, node);
  set_attrtime_now(mnt, node);
  if (!node->master) return 0;
  err = mdcudfsr_cache_set_dirty(node->master);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_delete_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                              std::uint32_t* blocks, vfs_context_t) {
  if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (!blocks || !node) return KEL_EINVAL;
  const int err = mdcudfsr_cache_set_file_size(node, std::uint64_t{*blocks} * mnt->logical_sector_size);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// ---------------------------------------------------------------- rebuild

namespace {

// The record's entries as extents of the size `size`: each entry gives
// min(what is left of the size, its blocks), long ones cut as add cuts
// them. Every entry is checked first; nothing of the node changes here.
int build_extents(mdcudfsr_mount* mnt, const MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER* r, std::uint64_t size,
                  mdcudfsr_extent_list* out) {
  if (!r->TotalSpaceCount) return 0;
  std::uint32_t bytes = 0;
  int err = 0;
  MDCFS_SPACE_ENTRY* entries = copy_entries_in(reinterpret_cast<std::uintptr_t>(r->SpaceEntries), r->TotalSpaceCount,
                                               &bytes, &err);
  if (!entries) return err;
  err = check_entries(mnt, entries, r->TotalSpaceCount);
  std::uint64_t remaining = size;
  for (std::uint32_t i = 0; i < r->TotalSpaceCount && !err; ++i) {
    const MDCFS_SPACE_ENTRY& s = entries[i];
    VN_LOGK(KEL_LOG_DEBG, "%d: %d/%d/%d\n", static_cast<int>(i), s.ZoneId, s.BlockOffset, s.NumberOfBlocks);
    const std::uint64_t room = std::uint64_t{block_size(mnt)} * static_cast<std::uint32_t>(s.NumberOfBlocks);
    const std::uint64_t len = std::min(remaining, room);
    err = append_pieces(mnt, out, static_cast<std::uint32_t>(s.ZoneId), static_cast<std::uint32_t>(s.BlockOffset), len,
                        EXTENT_FLAGS_RECORDED);
    remaining -= len;
  }
  OSFree(entries, bytes, nullptr);
  return err;
}

// The node's extents and size become the record's, all or none.
int replace_extents(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n, const MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER* r) {
  extended_file_entry& efe = n->udf_data->efe;
  const std::uint64_t size = r->FileSize >= 0 ? static_cast<std::uint64_t>(r->FileSize) : efe.inf_len;
  mdcudfsr_extent_list fresh{};
  mdcudfsr_extent_list_init(&fresh);
  if (int err = build_extents(mnt, r, size, &fresh)) {
    mdcudfsr_extent_list_free(&fresh);
    return err;
  }
  take_extents(n, &fresh);
  if (r->FileSize >= 0) {
    VN_LOGK(KEL_LOG_INFO, "FileSize changed from %d to %d.\n", static_cast<int>(efe.inf_len),
            static_cast<int>(r->FileSize));
    efe.inf_len = efe.object_size = size;
  }
  return 0;
}

// What a rebuilt node takes on besides its extents: the page cache's size,
// its recorded blocks and length, its zone map, the dirty mark and the slot.
void finish_rebuilt_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n, bool stream) {
  n->write_total = 0;
  set_attrtime_now(mnt, n);
  const std::uint64_t size = n->udf_data->efe.inf_len;
  if (n->vp) {
    const int r = ubc_setsize(n->vp, static_cast<off64_kel_t>(size));
    VN_LOGK(KEL_LOG_DEBG, "(tid=%08x) %s:%d ubc_setsize(0x%08x)=%lld\n", tid32(), __func__, __LINE__, r,
            static_cast<long long>(size));
    off64_kel_t resid = 0;
    ubc_msync(n->vp, 0, static_cast<off64_kel_t>(ubc_getsize(n->vp)), &resid, 0);
  }
  update_recorded_blocks(mnt, n);
  n->recorded_length = size;
  if (n->vfam_data) n->vfam_data->file_size = static_cast<std::int64_t>(size);
  if (!stream) mdcudfsr_cache_update_zoneid_map(n);
  mdcudfsr_cache_set_dirty(n);
  n->last_disc = mnt->current_disc + 1;
}

// On F2h media a file keeps its parity as parity information; the
// information is taken again from its parity file, whose node goes.
void parity_info_from_parity_file(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n) {
  if (mnt->medium_type != 0xF2 || n->kind != MDCUDFSR_NODE_UDF || !n->parity_info || !n->parity_node) return;
  mdcudfsr_cache_node* parity = mdcudfsr_cnp(n->parity_node);
  const int err = mdcudfsr_cache_parity_info_creating_from_parity(mnt, mdcudfsr_parent(n), &parity, &n->parity_info, 1);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return;
  }
  n->parity_node = parity;
}

int rebuild_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n, const MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER* r) {
  if (!n->udf_data) return KEL_ENOENT;
  int err = replace_extents(mnt, n, r);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  finish_rebuilt_node(mnt, n, r->StreamIndex != 0);
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_rebuild_file_allocation(mdcudfsr_mount* mnt, MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER* r,
                                               vfs_context_t) {
  if (!mnt || !r) return KEL_EINVAL;
  VN_LOGK(KEL_LOG_INFO, "index=%llx stream=%x size=%lld count=%d\n", static_cast<unsigned long long>(r->FileIndex),
          r->StreamIndex, static_cast<long long>(r->FileSize), static_cast<int>(r->TotalSpaceCount));
  if (r->TotalSpaceCount && !mdcudfsr_array_bytes(r->TotalSpaceCount, sizeof(MDCFS_SPACE_ENTRY))) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "buf");
    return KEL_ENOMEM;
  }
  mdcudfsr_cache_node* listed = nullptr;
  if (int err = mdcudfsr_privileged_open_list_first_from(mnt, r->FileIndex, &listed)) return err;
  if (!listed) return 0;
  mdcudfsr_cache_node* file = listed->master ? listed->master : listed;
  mdcudfsr_cache_node* target = r->StreamIndex ? mdcudfsr_cnp(file->parity_node) : file;
  if (!target) return KEL_ENOENT;
  mdcudfsr_cache_lock_node(target, MDCUDFSR_WAIT_FOREVER);
  // The list is let go while the node lock is waited for: a remove may
  // have taken the file off meanwhile.
  const int err = mdcudfsr_privileged_open_list_has(mnt, listed) ? rebuild_node(mnt, target, r) : KEL_ENOENT;
  const bool done = !err && !target->parity_node;
  if (!err) parity_info_from_parity_file(mnt, target);
  mdcudfsr_cache_unlock_node(target);
  mdcudfsr_privileged_open_list_settle(mnt, done ? listed : nullptr);
  return err;
}
