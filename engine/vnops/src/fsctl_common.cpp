#include "fsctl_common.h"

#include "kelcache/cache.h"
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

}  // namespace kelvnops
