// The common frame of the vnode operations.
#include "vnop_frame.h"

#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"

int vn_enter(vn_frame& f, bool lock) {
  f.cnp = f.vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(f.vp)) : nullptr;
  f.pid = vfs_context_pid(f.ctx);
  if (mdcudfsr_debug_level_check(3, 1, 21))
    VN_LOG(KEL_LOG_WARN, "********Enter [%s vnode=%p mdcudfsr_cache_node=%p name=%s attr=0x%08x](pid=%d tid=%08x)********\n",
           f.op, static_cast<void*>(f.vp), static_cast<void*>(f.cnp),
           f.cnp && f.cnp->vfs_name ? f.cnp->vfs_name : "(null)", f.cnp ? f.cnp->attributes : 0u, f.pid,
           static_cast<unsigned>(KEL_THREAD_ID()));
  f.cnp = f.vp ? mdcudfsr_cache_get_node(f.vp, lock ? 1 : 0) : nullptr;
  f.locked = f.cnp != nullptr && lock;
  if (f.cnp == nullptr || mdcudfsr_is_inactive(f.cnp)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp && mdcudfsrcnp->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    if (f.locked) mdcudfsr_cache_unlock_node(f.cnp);
    f.locked = false;
    f.cnp = nullptr;
    return KEL_ENOENT;
  }
  f.mnt = f.cnp->mdcudfsrmp;
  if (f.mnt == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    if (f.locked) mdcudfsr_cache_unlock_node(f.cnp);
    f.locked = false;
    return KEL_EINVAL;
  }
  return 0;
}

int vn_leave(vn_frame& f, int err) {
  if (f.locked) mdcudfsr_cache_unlock_node(f.cnp);
  f.locked = false;
  KEL_LOG_AS(f.op, KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_EXIT, "err=%d", err);
  return err;
}

bool vn_mount_readonly(const mdcudfsr_mount* mnt) { return (vfs_flags(mnt->mp) & MNT_RDONLY) != 0; }
bool vn_mount_noedit(const mdcudfsr_mount* mnt) { return (mnt->mount_ext_flags & MDCUDFSR_MNT_NOEDIT) != 0; }

int vn_refuse_modify(vn_frame& f) {
  if (vn_mount_readonly(f.mnt)) {
    KEL_LOG_AS(f.op, KEL_LOG_NOTI, KEL_MOD_FUSE, KEL_MARK_NOTE, "[%s] read only mount mode\n", f.op);
    return mdcudfsr_readonly_error(f.mnt);
  }
  if (!mdcudfsr_pass_limited_access_mode(f.mnt, f.pid)) {
    KEL_LOG_AS(f.op, KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_NOTE, "[%s] not operation for limited access mode\n", f.op);
    mdcudfsr_vnop_print_errlog(mdcudfsr_parent(f.cnp), 16, mdcudfsr_node_name(f.cnp),
                               "The volume is used exclusively. File:", f.ctx);
    return KEL_EBUSY;
  }
  if (vn_mount_noedit(f.mnt)) {
    KEL_LOG_AS(f.op, KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_NOTE, "[%s] not operation for noedit mode\n", f.op);
    return 1;
  }
  return 0;
}
