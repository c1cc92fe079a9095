#include "fsctl_common.h"

#include "kelcache/cache.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_names.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"

namespace kelvnops {

int open_session_for_change(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mdcudfsr_update_vol_last_modification_time(mnt);
  const int err = mdcudfsr_update_session(mnt, ctx, MDCUDFSR_SESSION_OPEN);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  mdcudfsr_update_vol_last_partial_flush_time(mnt);
  return 0;
}

NodeLockGuard::NodeLockGuard(mdcudfsr_cache_node* node) : node_(node) {
  if (node_) mdcudfsr_cache_lock_node(node_, MDCUDFSR_WAIT_FOREVER);
}
NodeLockGuard::~NodeLockGuard() {
  if (node_) mdcudfsr_cache_unlock_node(node_);
}

// Fills out[0..count) from the extents; *extents counts them all.
int collect_space_entries(mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, MDCFS_SPACE_ENTRY* out,
                          std::uint32_t count, std::uint32_t* extents, std::uint64_t* total) {
  const std::uint32_t bs = mnt->logical_block_size ? mnt->logical_block_size : 2048;
  std::uint32_t i = 0;
  std::uint64_t sum = 0;
  for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next, ++i) {
    const std::uint32_t len = EXTENT_LENGTH(e->extent.len);
    if (e->next && len % bs) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", 22);
      return KEL_EINVAL;
    }
    if (mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, e->extent.loc.lb_num, nullptr) == MDCUDFSR_INVALID_LSN) {
      VN_LOGK(KEL_LOG_ERR, "%s\n", "lsn != INVALID_LSN");
      return KEL_EINVAL;
    }
    sum += len;
    if (i < count) {
      out[i].ZoneId = static_cast<std::int32_t>(e->extent.loc.part_num) - 1;
      out[i].BlockOffset = static_cast<std::int32_t>(e->extent.loc.lb_num);
      out[i].NumberOfBlocks = static_cast<std::int32_t>((len + bs - 1) / bs);
    }
  }
  *extents = i;
  if (total) *total = sum;
  return 0;
}

}  // namespace kelvnops
