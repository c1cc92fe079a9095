// Volume root and unmount: the root vnode, then stopping the threads, the
// last flush, closing both agent channels and freeing the mount record.
#include "drive/device_control.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_calls.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "udf/udf_lvid.h"
#include "kelvnops/mdcudfsr_backtrack.h"
#include "kelvnops/mdcudfsr_process.h"
#include "vfs_log.h"

#include <mutex>

namespace {

constexpr std::uint32_t kCloseWaitMs = 5000;

mdcudfsr_mount* record_of(mount_t mp) { return static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp)); }

unsigned tid32() { return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pthread_self())); }

// One agent channel: marked for freeing, told to unmount, waited for.
struct Channel {
  mdc_channel* dev;
  int (*mark)(mdc_channel*);
  int (*notify)(mdcudfsr_mount*);
  int (*wait)(mdc_channel*, std::uint32_t);
  const char* mark_name;
  const char* wait_name;
};

// 0 when the channel is closed (or force went past its failures); else the
// error that ends the unmount. The agents are threads of this process: a
// wait that runs out is logged and the unmount goes on.
int close_channel(mdcudfsr_mount* mnt, const Channel& c, bool force, vfs_context_t ctx) {
  int err = c.mark(c.dev);
  if (err) {
    if (!force) return err;
    VFS_LOG(KEL_LOG_WARN, "%s() return status(%d). MNT_FORCE is specified, so continue unmounting process...\n",
            c.mark_name, err);
  }
  if (mdcudfsr_user_layer_block(mnt, vfs_context_pid(ctx))) return KEL_EINVAL;
  err = c.notify(mnt);
  if (err && !force) return err;
  err = c.wait(c.dev, kCloseWaitMs);
  if (err)
    VFS_LOG(KEL_LOG_WARN, "%s() return status(%d). MNT_FORCE is specified, so continue unmounting process...\n",
            c.wait_name, err);
  return 0;
}

int vfam_notify(mdcudfsr_mount* mnt) { return mdcudfsr_vfam_unmount(mnt); }

// Closes the cache file and both channels.
int close_channels(mdcudfsr_mount* mnt, bool force, vfs_context_t ctx) {
  if (mnt->fsmanage_handle != -1) {
    const int err = mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
    if (err) VFS_LOG(KEL_LOG_WARN, "mdcudfsr_metacache_file_close failed err=%d\n", err);
    mnt->fsmanage_handle = -1;
  }
  if (mnt->vfamdev && mdcudfsr_vfamdev_is_opened(mnt->vfamdev)) {
    const Channel c{mnt->vfamdev, mdcudfsr_vfamdev_mark_will_free, vfam_notify, mdcudfsr_vfamdev_wait_close,
                    "mdcudfsr_vfamdev_mark_will_free", "mdcudfsr_vfamdev_wait_close"};
    if (const int err = close_channel(mnt, c, force, ctx)) return err;
  }
  if (mnt->metacachedev && mdcudfsr_metacache_is_opened(mnt->metacachedev)) {
    if (mnt->local_cache_handles[0] != -1) mdcudfsr_cache_local_fs_cache_del(mnt, 1);
    const Channel c{mnt->metacachedev, mdcudfsr_metacache_mark_will_free, mdcudfsr_metacache_unmount,
                    mdcudfsr_metacache_wait_close, "mdcudfsr_metacache_mark_will_free",
                    "mdcudfsr_metacache_wait_close"};
    if (const int err = close_channel(mnt, c, force, ctx)) return err;
  }
  return 0;
}

// The metadata flush of a changed volume; 0 or its error.
int last_flush(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt->metadata_changed) return 0;
  mnt->flush_policy = 1;
  const int err = mnt->is_rewritable ? mdcudfsr_flush_metadata_and_descriptor_re(mnt, 1, 1, 0, ctx, 0, 0)
                                     : mdcudfsr_flush_metadata_and_descriptor(mnt, 1, 1, 0, ctx, 0);
  mnt->flush_policy = 0;
  if (err) VFS_LOG(KEL_LOG_ERR, "Metadata flush triggered by timer... failed with err=%d\n", err);
  return err;
}

// A refused unmount: the volume stays mounted.
int refuse(mdcudfsr_mount* mnt, int err) {
  VFS_LOG(KEL_LOG_ERR, "err=%d\n", err);
  mnt->unmounting = 0;
  mnt->total_blocks = 0;
  mnt->free_blocks = 0;
  mnt->size_unknown = 0;
  mdcudfsr_log_unmount(mnt, err);
  return err;
}

// The mount record detached and the drive told of the unmount.
void tear_down(mount_t mp, mdcudfsr_mount* mnt, vfs_context_t ctx) {
  vfs_setfsprivate(mp, nullptr);
  if (!(mnt->mount_ext_flags & 0x20)) {
    std::uint32_t mode = mnt->mntinfo.AccessMode;
    VNOP_IOCTL(mnt->devvp, PXOIOSETBEFOREACCESSMODE, reinterpret_cast<char*>(&mode), 0, ctx);
  }
  std::uint32_t unmounted = 1;
  VNOP_IOCTL(mnt->devvp, PXOIONOTIFYUNMOUNT, reinterpret_cast<char*>(&unmounted), 0, ctx);
  // Between mounts the drive serves others too (the drive utility library
  // finalises and backtracks through its own connection): the next mount
  // reads the medium as it is, not the command cache of this one.
  VNOP_IOCTL(mnt->devvp, PXOIOCACHECLEAR, nullptr, 0, ctx);
  if (mnt->vfamdev) mdcudfsr_vfamdev_free(mnt->vfamdev);
  if (mnt->metacachedev) mdcudfsr_metacache_free(mnt->metacachedev);
  mnt->vfamdev = nullptr;
  mnt->metacachedev = nullptr;
  mdcudfsr_cache_term(mnt);
  mnt->unmounting = 0;
  mdcudfsr_log_unmount(mnt, 0);
  delete[] mnt->watch_ring;
  mnt->watch_ring = nullptr;
  VFS_LOG(KEL_LOG_INFO, "[%.16s](tid=%08x) %s:%d mountpoint: 0x%08x (0x%08x)\n\n",
          mnt->volume_name[0] ? mnt->volume_name : "UNKNOWN", tid32(), "mdcudfsr_vfsop_unmount", __LINE__,
          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(mp)),
          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(mnt)));
  delete mnt;
}

}  // namespace

int mdcudfsr_vfsop_root(mount_t mp, vnode_t* vpp, vfs_context_t ctx) {
  VFS_ENTER();
  if (vpp) *vpp = nullptr;
  mdcudfsr_mount* mnt = record_of(mp);
  if (!mnt || !vpp) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", mnt ? "vpp" : "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_privileged_process(mnt, vfs_context_pid(ctx)) && !mnt->filter_notified)
    ++mnt->privileged_call_count;
  {
    std::lock_guard<std::mutex> lk(mnt->root_mutex);
    *vpp = mdcudfsr_cache_get_vnode(mnt, nullptr, nullptr, ctx, 0);
  }
  const int err = *vpp ? 0 : KEL_EINVAL;
  if (*vpp) mnt->root_vnode = *vpp;
  VFS_EXIT(err);
  return err;
}

int mdcudfsr_vfsop_unmount(mount_t mp, int mntflags, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = record_of(mp);
  VFS_LOG(KEL_LOG_INFO, "[%.16s](tid=%08x) %s:%d mntflags=0x%08x\n",
          mnt && mnt->volume_name[0] ? mnt->volume_name : "UNKNOWN", tid32(), __func__, __LINE__,
          static_cast<unsigned>(mntflags));
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return 0;
  }
  bool force = (mntflags & 0x1) != 0;
  mnt->unmounting = 1;
  const bool tied = !(mnt->mount_ext_flags & (0x2 | 0x40)) && !mnt->filter_notified;
  if (!force && (tied || mnt->vfam_mode || mnt->packed_flush_busy)) return refuse(mnt, KEL_EBUSY);
  mdcudfsr_cluster_read_buff_umount();
  mdcudfsr_backtrack_thread_join(mnt);
  (void)mdcudfsr_restore_lvid(mnt, ctx);
  if (last_flush(mnt, ctx)) force = true;
  if (const int err = close_channels(mnt, force, ctx)) return refuse(mnt, err);
  tear_down(mp, mnt, ctx);
  return 0;
}
