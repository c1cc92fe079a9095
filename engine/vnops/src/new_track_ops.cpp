// New track: the four operations, the flushes before the disc change and
// the steps after it.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_new_track.h"

#include "drive/device_control.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_process.h"
#include "new_track_steps.h"
#include "platform/sync.h"
#include "udf/udf_lvid.h"
#include "udf/udf_vds_flush.h"
#include "vnops_log.h"

namespace new_track {
namespace {

constexpr std::uint8_t kPolicyPartial = 1, kPolicyFull = 2;

// The record the sync's per-vnode callback takes (fsync, wait and recycle).
struct IterateRecord {
  vfs_context_t ctx;
  int fsync, waitfor, recycle, count, result;
};

bool lvid_closed(const mdcudfsr_mount* mnt) { return (mnt->lvid.integrity_type & 1) != 0; }

// Create and commit: vnodes synced, nodes locked, objects
// taken (create), the partial flush. 0, or the exit's status.
int sync_and_lock(Run& r, bool* skipped) {
  IterateRecord rec{r.ctx, 1, 1, 1, 0, 0};
  vnode_iterate(r.mnt->mp, 0x100, mdcudfsr_vnode_iterate_cb, &rec);
  if (rec.result) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", rec.result);
    return rec.result;
  }
  VN_LOG(KEL_LOG_INFO, "vnode_iterate count %d\n", rec.count);
  if (int err = mdcudfsr_cache_lock_all_nodes(r.mnt, 0xFFFFFFFFu)) {
    VN_LOG(KEL_LOG_INFO, "mdcudfsr_cache_lock_all_nodes() seems to be timed out.status=%d\n", err);
    return err;
  }
  r.locked = true;
  // No file opened for writing waits for an allocation rebuild here: one
  // object is held back for the new track's descriptors.
  if (r.kind == Kind::create) r.taken = 1, __atomic_sub_fetch(&r.mnt->nfiles, r.taken, __ATOMIC_SEQ_CST);
  r.mnt->flush_policy = kPolicyPartial;
  int skip = 0;
  if (int err = track_flush(r, 0, &skip)) {
    VN_LOG(KEL_LOG_ERR, "Partial flush failed. err = %d\n", err);
    return fail(r, err);
  }
  *skipped = skip != 0;
  return 0;
}

// A full flush with resources to spare, else the descriptors
// marked write-protected.
int full_or_protect(Run& r) {
  std::int32_t sufficient = 1;
  if (int err = mdcudfsr_check_media_resources(r.mnt, 0, r.ctx, &sufficient)) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return fail(r, err);
  }
  if (!sufficient) {
    write_protected_vds(r);
    return 0;
  }
  r.mnt->flush_policy = kPolicyFull;
  int skip = 0;
  if (int err = track_flush(r, 1, &skip)) {
    VN_LOG(KEL_LOG_ERR, "Full flush failed. err = %d\n", err);
    return fail(r, err);
  }
  if (skip) VN_LOG(KEL_LOG_ERR, "Full flush failed. -- skip\n");
  return 0;
}

int before_change_create(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (r.kind == Kind::commit && lvid_closed(mnt)) {
    mdcudfsr_update_vol_last_modification_time(mnt);
    if (int err = mdcudfsr_update_session(mnt, r.ctx, MDCUDFSR_SESSION_OPEN))
      VN_LOG(KEL_LOG_ERR, "update_session LvidOpen fail %d \n", err);
    mdcudfsr_update_vol_last_partial_flush_time(mnt);
  }
  r.unlink_vds = !mdcudfsr_counters_below_limit(mnt);
  r.saved_policy = mnt->flush_policy;
  platform::clock().sleep_ms(1000);
  bool skipped = false;
  if (int err = sync_and_lock(r, &skipped)) return release(r, err);
  if (skipped) {
    VN_LOG(KEL_LOG_ERR, "Partial flush failed. -- skip\n");
    mdcudfsr_update_session(mnt, r.ctx, MDCUDFSR_SESSION_CLOSE);
  } else if (int err = full_or_protect(r)) {
    return err;
  }
  if (mnt->delay_guard && !mnt->privileged_mode) return release(r, KEL_EINVAL);
  return 0;
}

int before_change_write(Run& r) {
  r.unlink_vds = !mdcudfsr_counters_below_limit(r.mnt);
  r.saved_policy = r.mnt->flush_policy;
  r.mnt->flush_policy = kPolicyPartial;
  int skip = 0;
  if (int err = track_flush(r, 0, &skip)) {
    VN_LOG(KEL_LOG_ERR, "Partial flush failed. err = %d\n", err);
    return fail(r, err);
  }
  if (skip) {
    VN_LOG(KEL_LOG_ERR, "Partial flush failed. -- skip\n");
  } else {
    r.mnt->flush_policy = kPolicyFull;
    if (int err = track_flush(r, 1, &skip)) {
      VN_LOG(KEL_LOG_ERR, "Full flush failed. err = %d\n", err);
      return fail(r, err);
    }
    if (skip) VN_LOG(KEL_LOG_ERR, "Full flush failed. -- skip\n");
  }
  return r.mnt->delay_guard ? KEL_EINVAL : 0;
}

int before_change_mount(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  r.saved_policy = mnt->flush_policy;
  if (lvid_closed(mnt)) {
    if (mdcudfsr_update_session(mnt, r.ctx, MDCUDFSR_SESSION_OPEN) != 0) return 0;
  } else {
    std::int32_t sufficient = 0;
    if (mdcudfsr_check_media_resources(mnt, 0, r.ctx, &sufficient) == 0 && sufficient) {
      mnt->flush_policy = kPolicyFull;
      int skip = 0;
      if (int err = track_flush(r, 1, &skip)) {
        VN_LOG(KEL_LOG_WARN, "Full flush failed. err = %d\n", err);
        return fail(r, err);
      }
      if (skip) VN_LOG(KEL_LOG_ERR, "Full flush failed. -- skip\n");
    }
  }
  if (mnt->vds.lvd.domain_id.id_suffix[2] & 0x2)
    mdcudfsr_update_session(mnt, r.ctx, MDCUDFSR_SESSION_CLOSE);
  else
    write_protected_vds(r);
  return 0;
}

int run(Run& r) {
  if (int err = first_checks(r)) return err;
  if (r.kind == Kind::write_next && r.mnt->local_cache_handles[0] != -1) mdcudfsr_cache_local_fs_cache_del(r.mnt, 0);
  if (int err = clear_vuvi(r)) return err;
  int err = r.kind == Kind::write_next   ? before_change_write(r)
            : r.kind == Kind::mount_next ? before_change_mount(r)
                                         : before_change_create(r);
  if (err) return err;
  // A drive failure in the flush before the change turned the volume
  // read-only: the next disc is not begun, as a volume that can write
  // nothing more would leave it with descriptors linked to no tree.
  if (r.kind != Kind::mount_next && is_read_only(r.mnt)) {
    VN_LOG(KEL_LOG_ERR, "the volume turned read-only before the disc change\n");
    return release(r, KEL_EROFS);
  }
  if ((err = switch_disc(r)) != 0) return err;
  return finish(r);
}

}  // namespace

int finish(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (r.kind == Kind::commit) {
    mdcudfsr_update_vol_last_modification_time(mnt);
    if (int err = mdcudfsr_update_session(mnt, r.ctx, MDCUDFSR_SESSION_OPEN)) {
      VN_LOG(KEL_LOG_ERR, "update_session Failed. err = %d\n", err);
      return fail(r, err);
    }
    mdcudfsr_update_vol_last_partial_flush_time(mnt);
  }
  if (r.unlink_vds && r.kind != Kind::mount_next) {
    if (int err = mdcudfsr_unlink_vds(mnt, r.ctx)) {
      VN_LOG(KEL_LOG_ERR, "mdcudfsr_vds_unlink Failed. err = %d\n", err);
      return fail(r, err);
    }
  }
  if (int err = mdcudfsr_check_media_resources(mnt, r.kind == Kind::mount_next ? 1 : 0, r.ctx, nullptr)) {
    VN_LOG(KEL_LOG_ERR, "CheckMediaResources Error. err = %d\n", err);
    return fail(r, err);
  }
  mnt->flush_policy = r.saved_policy;
  return release(r, 0);
}

}  // namespace new_track

using new_track::Kind;
using new_track::Run;

int mdcudfsr_mdcfsctrl_create_new_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int commit) {
  if (!mnt) return KEL_EINVAL;
  Run r{mnt, ctx, commit ? Kind::commit : Kind::create};
  VN_LOGK(KEL_LOG_NOTI, "%s", new_track::start_line(r.kind));
  if (!commit && mnt->privileged_pid == 0) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->privileged_pid");
    return KEL_EINVAL;
  }
  if (!commit && !mdcudfsr_is_privileged_process(mnt, vfs_context_pid(ctx))) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsr_is_privileged_process( mdcudfsrmp, vfs_context_pid(vfs_context) )");
    return 1;
  }
  const int err = new_track::run(r);
  if (!err) VN_LOGK(KEL_LOG_NOTI, commit ? "End Commit New Track\n" : "End Create New Track\n");
  return err;
}

int mdcudfsr_mdcfsctrl_commit_new_track(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  if (mnt->privileged_mode && !mdcudfsr_is_privileged_process(mnt, vfs_context_pid(ctx))) {
    VN_LOGK(KEL_LOG_ERR, "this process is not privileged mode return EINVAL \n");
    return KEL_EINVAL;
  }
  const int err = mdcudfsr_mdcfsctrl_create_new_track(mnt, ctx, 1);
  if (err) VN_LOGK(KEL_LOG_ERR, "create new track is err:%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_write_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  Run r{mnt, ctx, Kind::write_next};
  return new_track::run(r);
}

int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int* changed) {
  if (changed) *changed = 0;
  if (!mnt) return KEL_EINVAL;
  Run r{mnt, ctx, Kind::mount_next};
  const int err = new_track::run(r);
  if (changed) *changed = r.changed ? 1 : 0;
  return err;
}
