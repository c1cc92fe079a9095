// The backtrack thread, its progress and the reload with refresh.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_backtrack.h"

#include "drive/device_control.h"
#include "drive/scsi_service_re.h"
#include "kelhost/gnrc.h"
#include "kelvfs/mdcudfsr_defect.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_rules.h"
#include "vnops_log.h"

#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

void thread_body(void* argument, std::uint64_t, ...) {
  mdcudfsr_backtrack_routine(static_cast<mdcudfsr_mount*>(argument));
}

mdcudfsr_thread_t thread_of(mdcudfsr_mount* mnt) { return static_cast<mdcudfsr_thread_t>(mnt->backtrack_thread); }

}  // namespace

int mdcudfsr_backtrack_thread_start(mdcudfsr_mount* mnt) {
  if (!mnt) return KEL_EINVAL;
  std::lock_guard<std::mutex> lk(mnt->backtrack_mutex);
  if (!mnt->backtrack_thread) mnt->backtrack_thread = mdcudfsr_thread_create(thread_body, mnt);
  if (!mnt->backtrack_thread) {
    VN_LOGK(KEL_LOG_ERR, "allocating backtrack thread is failed\n");
    return KEL_ENOMEM;
  }
  if (mdcudfsr_thread_start(thread_of(mnt)) != 0) {
    VN_LOGK(KEL_LOG_ERR, "backtrack thread is already running.\n");
    return KEL_EINVAL;
  }
  // The body clears the mark under this mutex, so it cannot end before this.
  mnt->backtrack_running = 1;
  return 0;
}

void mdcudfsr_backtrack_routine(mdcudfsr_mount* mnt) {
  if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return;
  }
  pxo_backtrack_request_t rq{mnt->flush_policy, 0, 0, mnt->verify_mode};
  int result = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    result = VNOP_IOCTL(mnt->devvp, PXOIOBACKTRACKSTART, reinterpret_cast<char*>(&rq), 0, nullptr);
  }
  if (result) VN_LOGK(KEL_LOG_ERR, "PXOIOBACKTRACKSTART err:%d\n", result);
  mnt->flush_policy = 0;
  if (!(mnt->lvid.integrity_type & 1)) {
    std::uint32_t zero = 0;
    VNOP_IOCTL(mnt->devvp, PXOIONOP107, reinterpret_cast<char*>(&zero), 0, nullptr);
  }
  mnt->metadata_changed = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->backtrack_mutex);
    mnt->backtrack_running = 0;
    mnt->backtrack_cond.notify_all();
  }
  VN_LOGK(KEL_LOG_NOTI, "mdcudfsr_backtrack_routine end status:%d\n", result);
}

void mdcudfsr_backtrack_thread_join(mdcudfsr_mount* mnt) {
  if (!mnt || !mnt->backtrack_thread) return;
  VN_LOGK(KEL_LOG_NOTI, "mdcudfsr_backtrack_routine end check \n");
  {
    std::unique_lock<std::mutex> lk(mnt->backtrack_mutex);
    mnt->backtrack_cond.wait(lk, [mnt] { return mnt->backtrack_running == 0; });
  }
  mdcudfsr_thread_destroy(thread_of(mnt));
  mnt->backtrack_thread = nullptr;
}

int mdcudfsr_reset_backtrack_information(vnode_t devvp) {
  return VNOP_IOCTL(devvp, PXOIORESETBACKTRACKINFO, nullptr, 0, nullptr);
}

int mdcudfsr_mdcfsctrl_get_backtrack_info(mdcudfsr_mount* mnt, void* out, vfs_context_t ctx) {
  if (!mnt || !out) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "backtrack_info");
    return KEL_EINVAL;
  }
  pxo_backtrack_progress_t p{};
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOGETBACKTRACKINFO, reinterpret_cast<char*>(&p), 0, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  std::memcpy(out, &p, sizeof p);
  return 0;
}

void mdcudfsr_change_disc_and_refresh_data(mdcudfsr_mount* mnt, vfs_context_t ctx, int refresh) {
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    if (int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 0)) {
      VN_LOGK(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
      return;
    }
  }
  if (mnt->is_rewritable) mdcudfsr_make_defect_map(mnt, ctx, 0);
  if (!refresh) return;
  if (mnt->is_rewritable) {
    mdcudfsr_read_avdp_RE(mnt, ctx, 0, 0, nullptr);
  } else {
    mdcudfsr_read_avdp(mnt, ctx, 0, 0, nullptr);
    mdcudfsr_read_vds(mnt, ctx, 1, 0, 0, nullptr);
  }
  std::uint32_t soft = 0;
  mdcudfsr_check_vds_structure(mnt, &soft, ctx);
  mdcudfsr_read_lvid(mnt, ctx, 1, 0, 0, 0);
}

int mdcudfsr_privileged_exit_backtrack(mdcudfsr_mount* mnt, std::uint8_t policy, vfs_context_t) {
  if (!mnt->is_rewritable) {
    VN_LOGK(KEL_LOG_ERR, policy == 4 ? "WO is not backtrack for rollback\n" : "WO is not backtrack for all erase\n");
    mnt->flush_policy = 0;
    return KEL_ENOTSUP;
  }
  // The policy stays: the thread hands it to the drive.
  mnt->flush_policy = policy;
  mdcudfsr_reset_backtrack_information(mnt->devvp);
  return mdcudfsr_backtrack_thread_start(mnt);
}
