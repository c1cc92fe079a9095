// Visibility of a node: an invisible node is listed only for the privileged
// process. Kept apart so that the node cache links it alone.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"

#include "kelcache/cache_node.h"

int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible) {
  if (!node) return KEL_EINVAL;
  if (visible) node->attributes &= ~MDCUDFSR_NODE_ATTR_INVISIBLE;
  else node->attributes |= MDCUDFSR_NODE_ATTR_INVISIBLE;
  return 0;
}
