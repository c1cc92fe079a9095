// Volume sync: its gates, then the metadata flush under the root node's lock.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_sync.h"

#include "kelagent/mdc_channel.h"
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_process.h"
#include "udf/udf_lvid.h"
#include "vfs_log.h"

#include <strings.h>

namespace {

constexpr std::uint32_t kMntAgentFree = 0x2 | 0x20000;

// The walk's record.
struct IterateRecord {
  vfs_context_t ctx;
  int fsync;
  int waitfor;
  int recycle;
  int count;
  int result;
};

std::uint64_t now_us() {
  timespec ts{};
  nanotime(&ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000);
}

// Marks and clocks that end a sync without a flush: 16 busy, 0 nothing to do,
// -1 go on.
int gates(mdcudfsr_mount* mnt, const char* name) {
  if (mnt->privileged_mode) {
    VFS_LOG(KEL_LOG_INFO, "privileged_mode, busy %s\n", name);
    return KEL_EBUSY;
  }
  if (mnt->flush_state == 2) {
    VFS_LOG(KEL_LOG_INFO, "already syncing, busy %s\n", name);
    return KEL_EBUSY;
  }
  if (mnt->last_partial_flush_time == 0) {
    VFS_LOG(KEL_LOG_DEBG, "flushtime is 0. flushPolicy=%d\n", mnt->flush_policy);
    return 0;
  }
  if (now_us() - mnt->last_partial_flush_time < std::uint64_t{mnt->flush_interval} * 1000000u) {
    VFS_LOG(KEL_LOG_DEBG, "flushtime < %d Sec. no metadata flush\n", 5);
    return 0;
  }
  if (mnt->backtrack_thread) {
    VFS_LOG(KEL_LOG_INFO, " backtrack is no flush\n");
    return 0;
  }
  return -1;
}

// The VFAM part: 16, 0 (no metadata flush) or -1 (go on).
int vfam_part(mdcudfsr_mount* mnt, const char* name) {
  const bool exempt = mdcudfsr_check_vfamuseragent_for_node(mnt) == 0;
  if (!mnt->vfam_mode) return exempt ? -1 : 0;
  if (strcasecmp(name, "umount") == 0) return KEL_EBUSY;
  if (!exempt) return 0;
  VFS_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_flush_buffers flags=%d\n", 0);
  mnt->packed_flush_busy = 1;
  const int r = mdcudfsr_vfam_flush_buffers(mnt, 0u);
  mnt->packed_flush_busy = 0;
  VFS_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_flush_buffers ret=%d\n", r);
  return r == 0 || r == KEL_EBUSY ? 0 : -1;
}

int flush_metadata(mdcudfsr_mount* mnt, const char* name, vfs_context_t ctx) {
  mdcudfsr_cache_node* root = mnt->root_node;
  if (!root) {
    VFS_LOG(KEL_LOG_ERR, "rootnode is NULL %s\n", name);
    return 0;
  }
  int err = mdcudfsr_cache_lock_node(root, 1000);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "lock rootnode err=%d %s\n", err, name);
    return err;
  }
  mnt->flush_policy = 1;
  err = mnt->is_rewritable ? mdcudfsr_flush_metadata_and_descriptor_re(mnt, 1, 1, 0, ctx, 0, 0)
                           : mdcudfsr_flush_metadata_and_descriptor(mnt, 1, 1, 0, ctx, 0);
  mnt->flush_policy = 0;
  if (mnt->delay_guard) mdcudfsr_system_guard_disc_change(mnt, ctx);
  mdcudfsr_cache_unlock_node(root);
  if (err) VFS_LOG(KEL_LOG_ERR, "Metadata flush triggered by timer... failed with err=%d\n", err);
  return err;
}

}  // namespace

int mdcudfsr_check_vfamuseragent() {
  VFS_LOG(KEL_LOG_WARN, "VFAM User Agent stop unexpected\n");
  return 1;
}

int mdcudfsr_check_vfamuseragent_for_node(mdcudfsr_mount* mnt) {
  if (mnt->mount_ext_flags & kMntAgentFree) return 0;
  if (mnt->vfamdev && mnt->vfamdev->status.load() == VFAMDEV_WILL_FREE) return 0;
  return mdcudfsr_check_vfamuseragent();
}

int mdcudfsr_vfsop_sync(mount_t mp, int waitfor, vfs_context_t ctx) {
  auto* mnt = static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp));
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  VFS_LOG(KEL_LOG_DEBG, "waitfor=%u\n", static_cast<unsigned>(waitfor));
  char name[128] = {};
  proc_name(static_cast<int>(vfs_context_pid(ctx)), name, 127);
  if (mnt->integrity_busy) {
    VFS_LOG(KEL_LOG_INFO, "set lvid integrity type, busy %s\n", name);
    return KEL_EBUSY;
  }
  if (mnt->packed_flush_busy) {
    VFS_LOG(KEL_LOG_INFO, "packed flush, busy %s\n", name);
    return KEL_EBUSY;
  }
  int r = vfam_part(mnt, name);
  if (r >= 0) return r;
  if (mdcudfsr_is_privileged_process(mnt, vfs_context_pid(ctx)) && !mnt->filter_notified)
    ++mnt->privileged_call_count;
  // A descriptor a failed write may have lost is written again first: no
  // Sync answers success while the medium may hold none.
  if (const int e = mdcudfsr_restore_lvid(mnt, ctx)) return e;
  if ((vfs_flags(mnt->mp) & MNT_RDONLY) && (mnt->flush_state == 1 || mnt->metadata_changed)) {
    // The last flush failed and protected the volume, or a change was made
    // before a drive fault protected it (a failed write of the cartridge
    // memory at the change's start): what it left is not on the disc, and
    // no flush of this mount can write it.
    VFS_LOG(KEL_LOG_ERR, "unsaved changes, volume read-only. reasons=0x%x %s\n",
            mnt->mntinfo.WriteProtectReasonFlags, name);
    return mdcudfsr_readonly_error(mnt);
  }
  r = gates(mnt, name);
  if (r >= 0) return r;
  if (!mnt->metadata_changed) return 0;
  return flush_metadata(mnt, name, ctx);
}

int mdcudfsr_vnode_iterate_cb(vnode_t vp, void* arg) {
  auto* rec = static_cast<IterateRecord*>(arg);
  int err = 0;
  if (rec->fsync) err = VNOP_FSYNC(vp, rec->waitfor, rec->ctx);
  if (rec->recycle) {
    auto* node = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp));
    if (node && mdcudfsr_is_inactive(node)) vnode_recycle(vp);
  }
  ++rec->count;
  rec->result = err;
  return 0;  // continue
}

int mdcudfsr_visit_vnodes(mdcudfsr_mount* mnt, vfs_context_t ctx, int fsync, int recycle, int* count) {
  IterateRecord rec{ctx, fsync, 1, recycle, 0, 0};
  vnode_iterate(mnt->mp, 0x100, mdcudfsr_vnode_iterate_cb, &rec);
  if (count) *count = rec.count;
  return rec.result;
}

int mdcudfsr_flush_all_node_cluster(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  IterateRecord rec{ctx, 1, 1, 0, 0, 0};
  vnode_iterate(mnt->mp, 256, mdcudfsr_vnode_iterate_cb, &rec);
  if (rec.result) VFS_LOG(KEL_LOG_ERR, "err=%d\n", rec.result);
  return rec.result;
}
