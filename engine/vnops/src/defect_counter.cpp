// The drive's write-fail counter, and the rebuild of the defect map on
// rewritable media when it moved.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_defect_counter.h"

#include "drive/device_control.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_neighbour_calls.h"
#include "vnops_log.h"

// Rebuilds the drive's defect map (rewritable media).
int mdcudfsr_make_defect_map(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount);

int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* counter,
                                                 int force) {
  if (!mnt || !counter) {
    VN_LOG(KEL_LOG_ERR, "%s\n", mnt ? "counter" : "mdcudfsrmp");
    return KEL_EINVAL;
  }
  std::uint32_t value = 0;
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOCGETWRITEFAILCNT, reinterpret_cast<char*>(&value), 0, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  *counter = value;
  int result = 0;
  if (mdcudfsr_is_rewritable_medium(mnt->medium_type) && (force || value != mnt->defect_report_counter_seen)) {
    result = mdcudfsr_make_defect_map(mnt, ctx, 0);
    if (result) VN_LOG(KEL_LOG_ERR, "can't make defect map. err = %d\n", result);
  }
  mnt->defect_report_counter_seen = value;
  return result;
}
