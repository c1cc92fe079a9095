// The privileged, exclusive I/O, limited-access and exclusive allocation
// modes.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_modes.h"

#include "drive/device_control.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_backtrack.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_volume_dirty.h"
#include "vnops_log.h"

#include <mutex>

namespace {

int pid_of(std::int64_t pid) { return static_cast<int>(pid); }

// The registered process still holds the mode and is alive: another caller
// may not take its place.
bool held_by_living(mdcudfsr_mount* mnt) {
  return mnt->privileged_mode && mdcudfsr_is_process_existing(static_cast<kel_pid_t>(mnt->privileged_pid.load()));
}

// Clears the exclusive I/O mode under the disc-lock mutex, then wakes every
// waiter of the disc lock.
void end_exclusive_io(mdcudfsr_mount* mnt) {
  {
    std::lock_guard<std::mutex> g(mnt->disc_lock_mutex);
    mnt->exclusive_io_pid = 0;
    mnt->exclusive_io_mode = 0;
  }
  mnt->disc_lock_cond.notify_all();
}

// One metadata flush of the medium's kind, the node locks waited for
// without limit.
int flush_volume(mdcudfsr_mount* mnt, int second, vfs_context_t ctx) {
  return mnt->is_rewritable ? mdcudfsr_flush_metadata_and_descriptor_re(mnt, 1, second, 0, ctx, 0, 0)
                            : mdcudfsr_flush_metadata_and_descriptor(mnt, 1, second, 0, ctx, 0);
}

void log_failure(int err) {
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
}

int exit_postpone(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VN_LOGK(KEL_LOG_WARN, "postpone__start\n");
  int err = 0;
  if (mnt->delay_guard) {
    mnt->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
    err = flush_volume(mnt, 1, ctx);
    mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
    mdcudfsr_system_guard_disc_change(mnt, ctx);
  } else {
    mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
    mdcudfsr_update_vol_last_partial_flush_time(mnt);
  }
  VN_LOGK(KEL_LOG_WARN, "postpone__end\n");
  return err;
}

int exit_partial(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VN_LOGK(KEL_LOG_WARN, "partial__start\n");
  mnt->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
  int err = 0;
  if (!mnt->delay_guard) {
    err = flush_volume(mnt, 0, ctx);
    if (!mnt->delay_guard) mdcudfsr_update_vol_last_partial_flush_time(mnt);
  }
  if (mnt->delay_guard) {
    err = flush_volume(mnt, 1, ctx);
    mdcudfsr_system_guard_disc_change(mnt, ctx);
  }
  mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
  log_failure(err);
  VN_LOGK(KEL_LOG_WARN, "partial__end\n");
  return err;
}

int exit_full(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VN_LOGK(KEL_LOG_WARN, "full_flush__start\n");
  mnt->flush_policy = MDCUDFSR_FLUSH_FULL;
  const int err = flush_volume(mnt, 1, ctx);
  if (mnt->delay_guard) mdcudfsr_system_guard_disc_change(mnt, ctx);
  mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
  if (err == 0) {
    const int del = VNOP_IOCTL(mnt->devvp, PXOIODELETEROLLBACKPOINT, nullptr, 0, ctx);
    if (del) VN_LOGK(KEL_LOG_ERR, "delete rollback point err=%d\n", del);
  }
  log_failure(err);
  VN_LOGK(KEL_LOG_WARN, "full_flush__end\n");
  return err;
}

int exit_close(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VN_LOGK(KEL_LOG_WARN, "close__start\n");
  mnt->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
  const int err = flush_volume(mnt, 1, ctx);
  if (mnt->delay_guard) mdcudfsr_system_guard_disc_change(mnt, ctx);
  mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
  log_failure(err);
  VN_LOGK(KEL_LOG_WARN, "close__end\n");
  return err;
}

// Rollback and all erase on write-once media: refused after clearing the
// policy.
int exit_backtrack_write_once(mdcudfsr_mount* mnt, unsigned policy) {
  const bool rollback = policy == MDCUDFSR_FLUSH_ROLLBACK;
  VN_LOGK(KEL_LOG_WARN, rollback ? "backtrack__start\n" : "backtrack_to_initial__start\n");
  VN_LOGK(KEL_LOG_ERR, rollback ? "WO is not backtrack for rollback\n" : "WO is not backtrack for all erase\n");
  mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
  log_failure(95);
  VN_LOGK(KEL_LOG_WARN, rollback ? "backtrack__end\n" : "backtrack_to_initial__end\n");
  return KEL_ENOTSUP;
}

// The flush the pending policy asks for; `so_far` when the policy asks for
// nothing this build serves.
int run_pending_policy(mdcudfsr_mount* mnt, vfs_context_t ctx, int so_far) {
  const unsigned policy = mnt->flush_policy;
  switch (policy) {
    case MDCUDFSR_FLUSH_POSTPONE: {
      const bool flushes = mnt->delay_guard != 0;
      const int err = exit_postpone(mnt, ctx);
      return flushes ? err : so_far;
    }
    case MDCUDFSR_FLUSH_PARTIAL:
      return exit_partial(mnt, ctx);
    case MDCUDFSR_FLUSH_FULL:
      return exit_full(mnt, ctx);
    case MDCUDFSR_FLUSH_CLOSE:
      return exit_close(mnt, ctx);
    case MDCUDFSR_FLUSH_ROLLBACK:
    case MDCUDFSR_FLUSH_ALL_ERASE:
      if (!mnt->is_rewritable) return exit_backtrack_write_once(mnt, policy);
      // The backtrack thread runs the rollback; the exit returns at once.
      return mdcudfsr_privileged_exit_backtrack(mnt, static_cast<unsigned char>(policy), ctx);
    case MDCUDFSR_FLUSH_INITIALIZE:
      return mdcudfsr_privileged_exit_initialize(mnt, ctx);
    default:
      return so_far;
  }
}

// The exit sequence for the registered process (`pid`), past its checks.
int leave_privileged_mode(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mdcudfsr_mdcfsctrl_exit_exclusive_allocation_mode(mnt, static_cast<kel_pid_t>(mnt->privileged_pid.load()), nullptr);
  mdcudfsr_cache_set_reserved_object_count(mnt, 0, 0);
  if (mnt->exclusive_io_mode) end_exclusive_io(mnt);
  int err = mdcudfsr_mdcfsctrl_reset_write_verify_mode(mnt, ctx);
  mdcudfsr_privileged_open_list_clear(mnt);
  err = run_pending_policy(mnt, ctx, err);
  if (mnt->privileged_mode.exchange(0)) VN_LOGK(KEL_LOG_WARN, "EXIT_PRIVILEGED_MODE flag trun off\n");
  return err;
}

}  // namespace

int mdcudfsr_mdcfsctrl_register_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid, vfs_context_t ctx) {
  if (mnt->privileged_pid && !mnt->privileged_mode) {
    mnt->privileged_pid = pid;
    return 0;
  }
  if (mnt->privileged_pid && mnt->privileged_mode &&
      !mdcudfsr_is_process_existing(static_cast<kel_pid_t>(mnt->privileged_pid.load())))
    leave_privileged_mode(mnt, ctx);
  if (mnt->privileged_mode && !mdcudfsr_is_privileged_process(mnt, pid) && held_by_living(mnt)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n",
            "!mdcudfsrmp->privileged_mode || mdcudfsr_is_privileged_process( mdcudfsrmp, pid ) || "
            "!mdcudfsr_is_process_existing( mdcudfsrmp->privileged_pid )");
    return 1;
  }
  mnt->privileged_pid = pid;
  return 0;
}

int mdcudfsr_mdcfsctrl_enter_privileged_mode(mdcudfsr_mount* mnt, kel_pid_t pid) {
  int err = 0;
  if (!mnt->privileged_pid) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->privileged_pid");
    err = KEL_EINVAL;
  } else if (!mdcudfsr_is_privileged_process(mnt, pid)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsr_is_privileged_process( mdcudfsrmp, pid )");
    err = 1;
  } else if (held_by_living(mnt)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n",
            "!mdcudfsrmp->privileged_mode || !mdcudfsr_is_process_existing( mdcudfsrmp->privileged_pid )");
    err = 1;
  } else {
    mnt->privileged_mode = 1;
    mnt->is_temp_verify_mode = 0;
  }
  VN_LOGK(KEL_LOG_WARN, "ENTER_PRIVILEGED_MODE by PID=%08x (Status=%08x)\n", pid, err);
  return err;
}

int mdcudfsr_mdcfsctrl_exit_privileged_mode(mdcudfsr_mount* mnt, kel_pid_t pid, vfs_context_t ctx) {
  VN_LOGK(KEL_LOG_DEBG, "pid=%08x", pid);
  int err = 0;
  if (!mnt->privileged_mode) {
    err = 0;
  } else if (!mdcudfsr_is_privileged_process(mnt, pid) &&
             mdcudfsr_is_process_existing(static_cast<kel_pid_t>(mnt->privileged_pid.load()))) {
    VN_LOGK(KEL_LOG_ERR, "%s\n",
            "mdcudfsr_is_privileged_process( mdcudfsrmp, pid ) || "
            "!mdcudfsr_is_process_existing( mdcudfsrmp->privileged_pid )");
    err = 1;
  } else {
    err = leave_privileged_mode(mnt, ctx);
  }
  VN_LOGK(KEL_LOG_WARN, "EXIT_PRIVILEGED_MODE by PID=%08x (Status=%08x)\n", pid, err);
  return err;
}

int mdcudfsr_mdcfsctrl_enter_exclusive_io_mode(mdcudfsr_mount* mnt, kel_pid_t pid) {
  if (!mnt->privileged_pid) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->privileged_pid");
    return KEL_EINVAL;
  }
  if (!mdcudfsr_is_privileged_process(mnt, pid)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsr_is_privileged_process( mdcudfsrmp, pid )");
    return 1;
  }
  {
    std::lock_guard<std::mutex> g(mnt->disc_lock_mutex);
    mnt->exclusive_io_pid = pid;
    mnt->exclusive_io_mode = 1;
  }
  VN_LOGK(KEL_LOG_INFO, "[MDCFSCTL_ENTER_EXCLUSIVE_IO_MODE_BASE] start\n");
  return 0;
}

int mdcudfsr_mdcfsctrl_exit_exclusive_io_mode(mdcudfsr_mount* mnt, kel_pid_t) {
  bool woke = false;
  {
    std::lock_guard<std::mutex> g(mnt->disc_lock_mutex);
    if (mnt->exclusive_io_mode) {
      if (!mdcudfsr_is_process_existing(static_cast<kel_pid_t>(mnt->privileged_pid.load())))
        VN_LOGK(KEL_LOG_WARN, "privileged process is not exists\n");
      mnt->exclusive_io_pid = 0;
      mnt->exclusive_io_mode = 0;
      woke = true;
    }
  }
  if (woke) mnt->disc_lock_cond.notify_all();
  VN_LOGK(KEL_LOG_INFO, "[MDCFSCTL_EXIT_EXCLUSIVE_IO_MODE_BASE] start\n");
  return 0;
}

int mdcudfsr_mdcfsctrl_enter_limitted_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid) {
  if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (mnt->privileged_mode && !mdcudfsr_is_privileged_process(mnt, pid)) return 1;
  const int locked = mdcudfsr_cache_lock_all_nodes(mnt, 500);
  if (locked) {
    VN_LOGK(KEL_LOG_ERR, "mdcudfsr_cache_lock_all_nodes() seems to be timed out.status=%d\n", locked);
    return KEL_EBUSY;
  }
  int err = 0;
  {
    std::lock_guard<std::mutex> g(mnt->limited_access_mutex);
    if (mnt->limited_access_owner &&
        mdcudfsr_check_limited_access_mode_owner(&mnt->limited_access_owner, &mnt->limited_access_handle, 0)) {
      if (!mdcudfsr_is_limited_access_mode_owner(&mnt->limited_access_owner, &mnt->limited_access_handle, pid)) err = KEL_EBUSY;
    } else if (proc_t p = proc_find(pid)) {
      VN_LOGK(KEL_LOG_NOTI, "ENTER_LIMITTED_ACCESS_MODE by PID=%08x\n", pid);
      mnt->limited_access_owner = pid;
      mnt->limited_access_handle = p;
      proc_rele(p);
    } else {
      err = KEL_EINVAL;
    }
  }
  mdcudfsr_cache_unlock_all_nodes(mnt);
  return err;
}

int mdcudfsr_mdcfsctrl_exit_limitted_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid) {
  if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  std::lock_guard<std::mutex> g(mnt->limited_access_mutex);
  if (!mnt->limited_access_owner) return 0;
  if (mdcudfsr_check_limited_access_mode_owner(&mnt->limited_access_owner, &mnt->limited_access_handle, 0) &&
      !mdcudfsr_is_limited_access_mode_owner(&mnt->limited_access_owner, &mnt->limited_access_handle, pid))
    return KEL_EINVAL;
  VN_LOGK(KEL_LOG_NOTI, "EXIT_LIMITTED_ACCESS_MODE by PID=%08x\n", pid_of(mnt->limited_access_owner));
  mnt->limited_access_owner = 0;
  mnt->limited_access_handle = nullptr;
  return 0;
}

int mdcudfsr_mdcfsctrl_enter_exclusive_allocation_mode(mdcudfsr_mount*, kel_pid_t pid, void* data) {
  VN_LOGK(KEL_LOG_DEBG, "pid=%08x", pid);
  if (!data) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "circular_rec_offset");
    return KEL_EINVAL;
  }
  return 0;
}

int mdcudfsr_mdcfsctrl_exit_exclusive_allocation_mode(mdcudfsr_mount*, kel_pid_t pid, void*) {
  VN_LOGK(KEL_LOG_DEBG, "pid=%08x", pid);
  return KEL_EINVAL;
}
