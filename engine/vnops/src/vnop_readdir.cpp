// Directory listing, symbolic-link targets, pathconf and the operator event
// line of failed operations.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_event_log.h"

#include <cstring>
#include <vector>

int mdcudfsr_vnop_readdir(void* a) {
  auto* ap = static_cast<vnop_readdir_args*>(a);
  vn_frame f{"vnop_readdir", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  VN_LOG(KEL_LOG_DEBG, "[vnop_readdir] [%s] type:%d\n", mdcudfsr_node_name(f.cnp), f.cnp->kind);
  if (!vn_mount_noedit(f.mnt)) {
    if (int err = mdcudfsr_wait_vfam_mounted(f.mnt, f.cnp, f.ctx)) {
      VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
      return vn_leave(f, err);
    }
  }
  if (!(ap->a_flags & VNODE_READDIR_EXTENDED)) {
    VN_LOG(KEL_LOG_ERR, "VNODE_READDIR_EXTENDED flag not set.\n");
    return vn_leave(f, KEL_EINVAL);
  }
  int count = 0;
  int err = mdcudfsr_cache_enumerate_children(f.cnp, ap->a_uio, &count, f.ctx);
  if (ap->a_numdirent) *ap->a_numdirent = count;
  if (ap->a_eofflag) *ap->a_eofflag = err == KEL_EINPROGRESS ? 0 : 1;
  if (err == KEL_EINPROGRESS) err = 0;
  return vn_leave(f, err);
}

int mdcudfsr_vnop_readlink(void* a) {
  auto* ap = static_cast<vnop_readlink_args*>(a);
  if (ap->a_uio == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "ap->a_uio");
    return KEL_ENOMEM;
  }
  mdcudfsr_cache_node* n = ap->a_vp ? mdcudfsr_cache_get_node(ap->a_vp, 0) : nullptr;
  // Only a symbolic link has a target to give.
  if (n == nullptr || n->symlink_target == nullptr) return KEL_EINVAL;
  const std::size_t len = std::strlen(n->symlink_target);
  if (uio_resid(ap->a_uio) < static_cast<std::int64_t>(len)) {
    VN_LOG(KEL_LOG_ERR, "Symlink size is too large at buffer.\n");
    return KEL_ENAMELIMIT;
  }
  return uiomove(n->symlink_target, static_cast<int>(len), ap->a_uio);
}

int mdcudfsr_vnop_pathconf(void* a) {
  auto* ap = static_cast<vnop_pathconf_args*>(a);
  VN_LOG(KEL_LOG_ERR, "ap->a_name is invalid.(%d)\n", ap->a_name);
  return KEL_EINVAL;
}

void mdcudfsr_vnop_print_errlog(mdcudfsr_cache_node* parent, int error, const char* name, const char* message,
                                vfs_context_t ctx) {
  if (parent == nullptr || parent->mdcudfsrmp == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent");
    return;
  }
  mdcudfsr_mount* mnt = parent->mdcudfsrmp;
  char mount_path[261] = {};
  int len = sizeof mount_path;
  if (mnt->root_vnode == nullptr || vn_getpath(mnt->root_vnode, mount_path, &len) != 0) return;
  if (parent == mnt->root_node) {
    mdcudfsr_log_print(mnt, 3, error, ctx, "%s %s/%s", message, mount_path, name);
    return;
  }
  const std::uint32_t plen = mdcudfsr_cache_get_full_path_len(parent);
  if (plen == 0) return;
  std::vector<char> path(plen, '\0');
  if (mdcudfsr_cache_get_path(parent, path.data(), plen) != 0) return;
  mdcudfsr_log_print(mnt, 3, error, ctx, "%s %s%s/%s", message, mount_path, path.data(), name);
}
