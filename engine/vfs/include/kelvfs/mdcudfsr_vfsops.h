// Volume operations called by the host layer through the operation table.
#pragma once

#include "kelhost/kern_types.h"

// Always 0; a privileged caller before the filter was notified is counted.
int mdcudfsr_vfsop_start(mount_t mp, int flags, vfs_context_t ctx);
// Mounts the volume of the loaded cartridge. 0 (read/write or read-only), or
// an error; a volume that cannot be mounted is unmounted with force first.
int mdcudfsr_vfsop_mount(mount_t mp, vnode_t devvp, const void* args, vfs_context_t ctx);
// 0 and the root vnode, or 22 with a null vnode.
int mdcudfsr_vfsop_root(mount_t mp, vnode_t* vpp, vfs_context_t ctx);
// Bit 0x1 of mntflags is force. 0 (also without a mount record), 16 when
// refused, or the error of a channel step.
int mdcudfsr_vfsop_unmount(mount_t mp, int mntflags, vfs_context_t ctx);

// The volume operation table: thirteen slots, the empty ones null.
struct vfs_attr;
struct mdcudfsr_vfsops {
  int (*vfs_mount)(mount_t, vnode_t, const void*, vfs_context_t);
  int (*vfs_start)(mount_t, int, vfs_context_t);
  int (*vfs_unmount)(mount_t, int, vfs_context_t);
  int (*vfs_root)(mount_t, vnode_t*, vfs_context_t);
  void* vfs_quotactl;
  int (*vfs_getattr)(mount_t, vfs_attr*, vfs_context_t);
  int (*vfs_sync)(mount_t, int, vfs_context_t);
  void* vfs_vget;
  void* vfs_fhtovp;
  void* vfs_vptofh;
  void* vfs_init;
  void* vfs_sysctl;
  int (*vfs_setattr)(mount_t, vfs_attr*, vfs_context_t);
};
static_assert(sizeof(mdcudfsr_vfsops) == 13 * sizeof(void*), "thirteen slots");

extern const mdcudfsr_vfsops mdcudfsr_vfsops_table;
