// The per-file controls: the control option, the virtual cache, visibility
// and moving a directory.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"

#include "fsctl_common.h"
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_namespace.h"

#include <cstring>

using namespace kelvnops;

int mdcudfsr_mdcfsctrl_set_file_control_option(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                               vfs_context_t) {
  if (!mnt || !node || !rec) return KEL_EINVAL;
  if (!node->proxy) {
    VN_LOGK(KEL_LOG_INFO, "SET FILE CONTROL OPTION is invalid \n");
    return KEL_EINVAL;
  }
  std::uint32_t options = *rec;
  if (mnt->medium_type == 0xF1 || mnt->medium_type == 0xF2) options &= ~0x30000u;
  const int err = mdcudfsr_vfam_ioctl(node, VFAM_IOCTL_MASKED_CODE, &options);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_invalidate_cache(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                        vfs_context_t) {
  if (!mnt || !node || !rec) return KEL_EINVAL;
  if (!(node->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "( mdcudfsrcnp->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL )");
    return KEL_EINVAL;
  }
  return mdcudfsr_cache_invalidate_cache(node, static_cast<int>(*rec));
}

int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_mount*, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                           vfs_context_t) {
  if (!node || !rec) return KEL_EINVAL;
  return mdcudfsr_mdcfsctrl_set_file_visibility(node, *rec ? 1 : 0);
}

int mdcudfsr_mdcfsctrl_move_directory(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void* rec, vfs_context_t ctx) {
  if (!mnt || !node || !rec) return KEL_EINVAL;
  const char* name = static_cast<const char*>(rec);
  if (strnlen(name, MDCFS_MOVE_NAME_SIZE) == MDCFS_MOVE_NAME_SIZE) {
    VN_LOGK(KEL_LOG_ERR, "new name is not terminated\n");
    return KEL_EINVAL;
  }
  const char* path = name + MDCFS_MOVE_NAME_SIZE;
  if (strnlen(path, MDCFS_MOVE_PATH_BOUND) == MDCFS_MOVE_PATH_BOUND) {
    VN_LOGK(KEL_LOG_ERR, "destination path is longer than %u bytes\n", MDCFS_MOVE_PATH_BOUND - 1);
    return KEL_ENAMELIMIT;
  }
  VN_LOGK(KEL_LOG_INFO, "node=%s -> %s/%s", mdcudfsr_node_name(node), path, name);
  return mdcudfsr_vnop_move(mnt, node, path, name, ctx);
}
