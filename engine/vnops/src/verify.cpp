// Verifying written ranges and emptying the drive's write cache.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_verify.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_neighbour_calls.h"
#include "vnops_log.h"

int mdcudfsr_verify_range(vnode_t devvp, uint32_t lsn, uint32_t count, vfs_context_t ctx, mdcudfsr_mount* mnt) {
  if (lsn == MDCUDFSR_INVALID_LSN) {
    VN_LOG(KEL_LOG_ERR, "Invalid LSN(%d)", static_cast<int>(lsn));
    return KEL_EINVAL;
  }
  // The request carries a 16-bit count.
  if (count == 0 || count > 0xFFFF) {
    VN_LOG(KEL_LOG_ERR, "Invalid Block Length (%d).\n", static_cast<int>(count));
    return KEL_EINVAL;
  }
  VN_LOG(KEL_LOG_INFO, "Drive verify type\n");
  if (mnt && mnt->verify_mode == 1) return 0;
  VN_LOG(KEL_LOG_INFO, "verify start lsn:0x%x len:%d verify mode:%d\n", lsn, static_cast<int>(count), 0);
  pxo_verify_range_t v{lsn, static_cast<std::uint16_t>(count), 0};
  const int err = VNOP_IOCTL(devvp, PXOIOVERIFYRANGE, reinterpret_cast<char*>(&v), 0, ctx);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_sync_drive_cache(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  const int err = VNOP_IOCTL(mnt->devvp, DKIOCSYNCHRONIZECACHE, nullptr, 0, ctx);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  mnt->sync_owed = err ? 1 : 0;
  return err;
}
