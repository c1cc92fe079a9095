// Volume start.
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvnops/mdcudfsr_process.h"
#include "vfs_log.h"

int mdcudfsr_vfsop_start(mount_t mp, int, vfs_context_t ctx) {
  VFS_ENTER();
  auto* mnt = static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp));
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return 0;
  }
  if (mdcudfsr_is_privileged_process(mnt, vfs_context_pid(ctx)) && !mnt->filter_notified)
    ++mnt->privileged_call_count;
  VFS_EXIT(0);
  return 0;
}
