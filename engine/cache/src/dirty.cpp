// Dirty marks of nodes, and file sizes set in the cache.
#include "cache_internal.h"

#include "kelhost/kern_errno.h"
#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"

using namespace kelcache;

int mdcudfsr_cache_set_dirty(mdcudfsr_cache_node* n) {
  if (!n) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  n->cache_dirty = 1;
  mdcudfsr_cache_unlock_node(n);
  return 0;
}

int mdcudfsr_cache_set_parent_dirty(mdcudfsr_cache_node* n) {
  if (!n) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  n->cache_dirty = 1;
  if (mdcudfsr_cache_node* p = mdcudfsr_parent(n)) p->cache_dirty = 1;
  mdcudfsr_cache_unlock_node(n);
  return 0;
}

int mdcudfsr_cache_trunc_extent(mdcudfsr_extent_list* list, uint64_t bytes) {
  const auto held = mdcudfsr_extent_list_hold(list);
  while (bytes && list->last) {
    mdcudfsr_extent_entry* e = list->last;
    const uint32_t len = EXTENT_LENGTH(e->extent.len);
    if (bytes < len) {
      e->extent.len = EXTENT_MAKE(len - static_cast<uint32_t>(bytes), EXTENT_FLAGS(e->extent.len));
      break;
    }
    bytes -= len;
    mdcudfsr_extent_list_remove_entry(list, e);
  }
  mdcudfsr_extent_list_rebuild_index(list);
  return 0;
}

namespace {

// On-disc and proxy nodes: the size must lie within the allocated extents;
// a smaller one cuts the extents down to it.
int set_entry_size(mdcudfsr_cache_node* n, uint64_t size) {
  mdcudfsr_udf_data* d = n->udf_data;
  if (!d) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrcnp->udf_data");
    return KEL_EINVAL;
  }
  // One state of the list from the allocated length to the recorded one.
  const auto held = mdcudfsr_extent_list_hold(&d->extents);
  const uint64_t allocated = mdcudfsr_extent_list_get_selected_length(&d->extents, 1);
  if (size > allocated) {
    CACHE_LOG(ERR, "can not expand file size without ruvoctrl.\n");
    return KEL_EINVAL;
  }
  if (size < allocated) mdcudfsr_cache_trunc_extent(&d->extents, allocated - size);
  const uint32_t b = n->mdcudfsrmp->logical_block_size ? n->mdcudfsrmp->logical_block_size : 2048;
  const uint64_t recorded = mdcudfsr_extent_list_get_selected_length(&d->extents, 2);
  d->efe.logblks_rec = (recorded + b - 1) / b;
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d num_recorded_blks=%d\n", volume_name(n->mdcudfsrmp), tid32(), __func__,
              __LINE__, static_cast<int>(d->efe.logblks_rec));
  d->efe.inf_len = size;
  d->efe.object_size = size;
  timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(n->mdcudfsrmp, &now, &d->efe.attrtime);
  return 0;
}

}  // namespace

int mdcudfsr_cache_set_file_size(mdcudfsr_cache_node* n, uint64_t size) {
  CACHE_LOG(INFO, "size=%lld", static_cast<long long>(size));
  if (!n || !n->mdcudfsrmp) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_dir(n)) {
    CACHE_LOG(ERR, "%s\n", "!( mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR )");
    return KEL_EISDIR;
  }
  if ((n->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION) && size > mdcudfsr_cache_get_file_size(n)) {
    CACHE_LOG(ERR, "this file is manual allocation file.\n");
    return KEL_EINVAL;
  }
  if (n->kind == MDCUDFSR_NODE_UDF || n->kind == MDCUDFSR_NODE_PROXY) {
    const int err = set_entry_size(n, size);
    if (err) return err;
  } else if (n->kind == MDCUDFSR_NODE_VIRTUAL || n->kind == MDCUDFSR_NODE_MASTER) {
    if (!n->vfam_data || (n->mdcudfsrmp->mount_ext_flags & 0x08)) {
      n->recorded_length = size;
      return 0;
    }
    n->vfam_data->file_size = static_cast<int64_t>(size);
  } else {
    n->recorded_length = size;
    return 0;
  }
  if (n->vp) {
    mdcudfsr_cache_unlock_node(n);
    ubc_setsize(n->vp, static_cast<off64_kel_t>(size));
    mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  }
  n->recorded_length = size;
  return 0;
}
