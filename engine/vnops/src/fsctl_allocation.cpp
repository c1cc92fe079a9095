// Manual allocation controls: the writer chooses the space of a file and
// hands it to the engine as space entries; the engine keeps them as the
// file's extents.
#include "kelvnops/mdcudfsr_fsctl_allocation.h"

#include "fsctl_common.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_lvid.h"
#include "udf/udf_names.h"

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
    return 22;
  }
  if (mdcudfsr_is_dir(node)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR )");
    return 21;
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
    *err = 12;
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
  if (!mnt || !s) return 22;
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
  if (!mnt || !s) return 22;
  if (int err = check_kind_file_or_proxy(node)) return err;
  if (node->udf_data->efe.icbtag.file_type == UDF_FILE_TYPE_249) s->FileAttributes = 1;
  if (node->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION) s->Control = 1;
  s->Options = node->udf_data->efe.perm;
  return 0;
}

int mdcudfsr_mdcfsctrl_get_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                           MDCFS_SPACE_ENTRIES_BUFFER* b, vfs_context_t) {
  if (!mnt || !b) return 22;
  if (int err = check_kind_file_or_proxy(node)) return err;
  const mdcudfsr_extent_list* list = &node->udf_data->extents;
  // A proxy's writes record blocks in this list under the proxy's lock.
  const auto held = mdcudfsr_extent_list_hold(list);
  if (!b->SpaceEntries) {
    b->TotalSpaceCount = mdcudfsr_extent_list_get_count(list);
    VN_LOGK(KEL_LOG_DEBG, "TotalSpaceCount=%d\n", static_cast<int>(b->TotalSpaceCount));
    return 0;
  }
  if (!b->TotalSpaceCount) return 14;  // no source to copy from
  const std::uint32_t count = b->TotalSpaceCount;
  const std::uint32_t bytes = mdcudfsr_array_bytes(count, sizeof(MDCFS_SPACE_ENTRY));
  auto* buf = bytes ? static_cast<MDCFS_SPACE_ENTRY*>(OSMalloc(bytes, nullptr)) : nullptr;
  if (!buf) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "buf");
    return 12;
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
    if (count < extents) err = 105;
  }
  OSFree(buf, bytes, nullptr);
  return err;
}

namespace {

// Appends one space entry as extents of at most MDCUDFSR_MANUAL_EXTENT_MAX
// bytes; the file grows by its bytes.
int add_one_entry(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, const MDCFS_SPACE_ENTRY& s) {
  std::int32_t type = 0;
  const std::uint32_t zone = static_cast<std::uint32_t>(s.ZoneId);
  if (int err = mdcudfsr_get_adtype_from_zoneid(mnt, zone, &type)) return err;
  const std::uint32_t bs = block_size(mnt);
  const std::uint64_t bytes = std::uint64_t{bs} * static_cast<std::uint32_t>(s.NumberOfBlocks);
  std::uint64_t done = 0;
  while (done < bytes) {
    const std::uint64_t piece = bytes - done < MDCUDFSR_MANUAL_EXTENT_MAX ? bytes - done : MDCUDFSR_MANUAL_EXTENT_MAX;
    const std::uint32_t lbn = static_cast<std::uint32_t>(s.BlockOffset) + static_cast<std::uint32_t>(done / bs);
    if (int err = append_extent(&node->udf_data->extents, zone, lbn, static_cast<std::uint32_t>(piece), type)) {
      return err;
    }
    done += piece;
  }
  extended_file_entry& efe = node->udf_data->efe;
  efe.inf_len = (efe.inf_len + bytes + bs - 1) / bs * bs;
  efe.object_size = efe.inf_len;
  reset_proxy_bytes(node);
  return 0;
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
  if (!mnt || !b) return 22;
  if (int err = check_file(node, true)) return err;
  if (!b->TotalSpaceCount) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcfs_space_entries_buf->TotalSpaceCount");
    return 22;
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
  if (node->master && first_part != mnt->current_disc + 1) node->master->multi_disc = 1;
  for (std::uint32_t i = 0; i < b->TotalSpaceCount && !err; ++i) err = add_one_entry(mnt, node, entries[i]);
  OSFree(entries, bytes, nullptr);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
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
  if (!mnt || !r) return 22;
  if (int err = check_file(node, true)) return err;
  std::int32_t type = 0;
  const std::uint32_t zone = static_cast<std::uint32_t>(r->NewSpace.ZoneId);
  int err = mdcudfsr_get_adtype_from_zoneid(mnt, zone, &type);
  mdcudfsr_extent_list fresh{};
  mdcudfsr_extent_list_init(&fresh);
  const std::uint32_t new_len =
      static_cast<std::uint32_t>(std::uint64_t{block_size(mnt)} * static_cast<std::uint32_t>(r->NewSpace.NumberOfBlocks));
  std::uint32_t i = 0;
  for (const mdcudfsr_extent_entry* e = node->udf_data->extents.first; e && !err; e = e->next, ++i) {
    if (i != r->ExtentIndex) {
      err = append_copy(&fresh, e->extent);
    } else if (EXTENT_LENGTH(e->extent.len) != EXTENT_LENGTH(new_len)) {
      VN_LOGK(KEL_LOG_ERR, "%s\n", "EXTENT_LENGTH( eep->extent.len ) == EXTENT_LENGTH( entry.extent.len )");
      err = 22;
    } else {
      err = append_extent(&fresh, zone, static_cast<std::uint32_t>(r->NewSpace.BlockOffset),
                          EXTENT_LENGTH(e->extent.len), type);
    }
  }
  if (!err) {
    mdcudfsr_extent_list_free(&node->udf_data->extents);
    node->udf_data->extents = fresh;
    mdcudfsr_extent_list_rebuild_index(&node->udf_data->extents);
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
    extended_file_entry& efe = m.node->udf_data->efe;
    if (efe.inf_len < last * bs) {
      efe.inf_len = last * bs;
      efe.object_size = efe.inf_len;
      reset_proxy_bytes(m.node);
    }
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
  if (!mnt || !r) return 22;
  RangeMove m{mnt, node, r->FileBlockOffset, static_cast<std::uint32_t>(r->NewSpace.NumberOfBlocks),
              static_cast<std::uint32_t>(r->NewSpace.ZoneId), 0, static_cast<std::uint32_t>(r->NewSpace.BlockOffset)};
  if (int err = mdcudfsr_get_adtype_from_zoneid(mnt, m.zone, &m.type)) return err;
  if (int err = check_file(node, true)) return err;
  const std::uint32_t bs = block_size(mnt);
  if (m.count == 0 || std::uint64_t{m.count} * bs > EXTENT_LENGTH_MASK) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", 22);
    return 22;
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
    err = 22;
  }
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    mdcudfsr_extent_list_free(&fresh);
    return err;
  }
  mdcudfsr_extent_list_free(&node->udf_data->extents);
  node->udf_data->extents = fresh;
  mdcudfsr_extent_list_rebuild_index(&node->udf_data->extents);
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
    return 22;
  }
  if (!blocks || !node) return 22;
  const int err = mdcudfsr_cache_set_file_size(node, std::uint64_t{*blocks} * mnt->logical_sector_size);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// ---------------------------------------------------------------- rebuild

namespace {

// Drops the first entry of the pending-rebuild list (the privileged open
// list), clearing its node's link to it.
void drop_first_entry(mdcudfsr_mount* mnt) {
  mdcudfsr_proxy_write_entry* e = mnt->proxy_write_first;
  if (e->node && e->node->write_list_entry == e) {
    mdcudfsr_privileged_open_list_remove(mnt, e->node);
    return;
  }
  mnt->proxy_write_first = e->next;
  if (e->next) e->next->prev = nullptr;
  else mnt->proxy_write_last = nullptr;
  OSFree(e, sizeof *e, nullptr);
}

void clear_pending_when_empty(mdcudfsr_mount* mnt) {
  if (!mnt->proxy_write_first) mnt->vfam_mode = 0;
}

// Step 4-5: the node's extents become the record's entries.
int replace_extents(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n, const MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER* r) {
  int err = mdcudfsr_extent_list_remove_all(&n->udf_data->extents);
  if (err) return err;
  extended_file_entry& efe = n->udf_data->efe;
  if (r->FileSize >= 0) {
    VN_LOGK(KEL_LOG_INFO, "FileSize changed from %d to %d.\n", static_cast<int>(efe.inf_len),
            static_cast<int>(r->FileSize));
    efe.inf_len = efe.object_size = static_cast<std::uint64_t>(r->FileSize);
  }
  if (!r->TotalSpaceCount) return 0;
  std::uint32_t bytes = 0;
  MDCFS_SPACE_ENTRY* entries = copy_entries_in(reinterpret_cast<std::uintptr_t>(r->SpaceEntries), r->TotalSpaceCount,
                                               &bytes, &err);
  if (!entries) return err;
  std::uint64_t remaining = efe.inf_len;
  const std::uint32_t bs = block_size(mnt);
  for (std::uint32_t i = 0; i < r->TotalSpaceCount && !err; ++i) {
    const MDCFS_SPACE_ENTRY& s = entries[i];
    VN_LOGK(KEL_LOG_DEBG, "%d: %d/%d/%d\n", static_cast<int>(i), s.ZoneId, s.BlockOffset, s.NumberOfBlocks);
    const std::uint64_t room = std::uint64_t{bs} * static_cast<std::uint32_t>(s.NumberOfBlocks);
    const std::uint64_t len = remaining < room ? remaining : room;
    if (len > EXTENT_LENGTH_MASK) err = 22;
    else err = append_extent(&n->udf_data->extents, static_cast<std::uint32_t>(s.ZoneId),
                             static_cast<std::uint32_t>(s.BlockOffset), static_cast<std::uint32_t>(len), 0);
    remaining -= len;
  }
  OSFree(entries, bytes, nullptr);
  return err;
}

// Steps 6-7.
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

// Step 9: on F2h media a file keeps its parity as parity information; the
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
  if (!n->udf_data) return 2;
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
  if (!mnt || !r) return 22;
  VN_LOGK(KEL_LOG_INFO, "index=%llx stream=%x size=%lld count=%d\n", static_cast<unsigned long long>(r->FileIndex),
          r->StreamIndex, static_cast<long long>(r->FileSize), static_cast<int>(r->TotalSpaceCount));
  if (r->TotalSpaceCount && !mdcudfsr_array_bytes(r->TotalSpaceCount, sizeof(MDCFS_SPACE_ENTRY))) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "buf");
    return 12;
  }
  while (mnt->proxy_write_first && mnt->proxy_write_first->unique_id < r->FileIndex) drop_first_entry(mnt);
  mdcudfsr_proxy_write_entry* e = mnt->proxy_write_first;
  if (!e) {
    mnt->vfam_mode = 0;
    return 0;
  }
  if (e->unique_id > r->FileIndex || !e->node) return 2;
  mdcudfsr_cache_node* file = e->node->master ? e->node->master : e->node;
  mdcudfsr_cache_node* target = r->StreamIndex ? mdcudfsr_cnp(file->parity_node) : file;
  if (!target) return 2;
  mdcudfsr_cache_lock_node(target, MDCUDFSR_WAIT_FOREVER);
  const int err = rebuild_node(mnt, target, r);
  if (!err && !target->parity_node) drop_first_entry(mnt);
  if (!err) parity_info_from_parity_file(mnt, target);
  mdcudfsr_cache_unlock_node(target);
  clear_pending_when_empty(mnt);
  return err;
}
