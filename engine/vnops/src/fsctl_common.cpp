#include "fsctl_common.h"

#include "kelcache/cache.h"

namespace kelvnops {

NodeLockGuard::NodeLockGuard(mdcudfsr_cache_node* node) : node_(node) {
  if (node_) mdcudfsr_cache_lock_node(node_, MDCUDFSR_WAIT_FOREVER);
}
NodeLockGuard::~NodeLockGuard() {
  if (node_) mdcudfsr_cache_unlock_node(node_);
}

}  // namespace kelvnops
