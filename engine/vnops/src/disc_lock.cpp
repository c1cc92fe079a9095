// The disc lock around drive transfers and the limited-access mode's checks.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_process.h"

#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "kelhost/log.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"
#include "vnops_log.h"

int mdcudfsr_vnop_disc_lock(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mnt == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  const std::int64_t pid = vfs_context_pid(ctx);
  std::unique_lock<std::mutex> lk(mnt->disc_lock_mutex);
  while (mnt->exclusive_io_mode == 1 && mnt->exclusive_io_pid != pid) {
    const std::uint64_t deadline = platform::clock().now_ms() + 60000;
    platform::clock().wait_until(lk, mnt->disc_lock_cond, deadline);
    if (platform::clock().now_ms() >= deadline) VN_LOG(KEL_LOG_WARN, "pthread_cond_timedwait err %d\n", 60);
  }
  mnt->slot_mutex.lock();
  mnt->disc_lock_owner.store(KEL_THREAD_ID());
  return 0;
}

int mdcudfsr_vnop_disc_unlock(mdcudfsr_mount* mnt, vfs_context_t) {
  if (mnt == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  mnt->disc_lock_owner.store(0);
  mnt->slot_mutex.unlock();
  return 0;
}

bool mdcudfsr_check_limited_access_mode_owner(std::int64_t* owner, proc_t* handle, int clear) {
  proc_t p = proc_find(static_cast<int>(*owner));
  const bool alive = p != nullptr && p == *handle && proc_exiting(p) == 0;
  if (p) proc_rele(p);
  if (!alive && clear) {
    KEL_LOG_AS(__func__, KEL_LOG_NOTI, KEL_MOD_KELC, KEL_MARK_NOTE, "EXIT_LIMITTED_ACCESS_MODE by PID=%08x\n",
               static_cast<unsigned>(*owner));
    *owner = 0;
    *handle = nullptr;
  }
  return alive;
}

namespace {
bool same_process(std::int64_t owner, proc_t handle, int pid) {
  proc_t p = proc_find(pid);
  if (p == nullptr) return false;
  const bool same = pid == owner && p == handle;
  proc_rele(p);
  return same;
}
}  // namespace

bool mdcudfsr_is_limited_access_mode_owner(std::int64_t* owner, proc_t* handle, kel_pid_t pid) {
  proc_t p = proc_find(pid);
  if (p == nullptr) return false;
  proc_rele(p);
  if (same_process(*owner, *handle, pid)) return true;
  return same_process(*owner, *handle, proc_ppid(pid));
}

bool mdcudfsr_pass_limited_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid) {
  std::lock_guard<std::mutex> lk(mnt->limited_access_mutex);
  if (mnt->limited_access_owner == 0) return true;
  if (!mdcudfsr_check_limited_access_mode_owner(&mnt->limited_access_owner, &mnt->limited_access_handle, 1))
    return true;
  if (mdcudfsr_is_limited_access_mode_owner(&mnt->limited_access_owner, &mnt->limited_access_handle, pid))
    return true;
  return mnt->vfamdev != nullptr && mdcudfsr_vfamdev_get_agent_pid(mnt->vfamdev) == pid;
}
