// The VFAM agent's open and last close of the vfamdev channel, as seen by
// the mount. Kept apart from the requests: it needs only the mount record
// and the logger.
#include "agent_log.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_mount.h"

using namespace kelagent;

int mdcudfsr_vfam_start(mdcudfsr_mount* mp) {
  if (!mp) return 0;
  std::lock_guard<std::mutex> g(mp->vfam_lock);
  mp->mount_ext_flags &= ~MDCUDFSR_MNT_AGENT_STOPPED;
  return 0;
}

int mdcudfsr_vfam_stop(mdcudfsr_mount* mp) {
  if (!mp || !mp->vfamdev) return 0;
  {
    std::lock_guard<std::mutex> g(mp->vfam_lock);
    if (!(mp->mount_ext_flags & MDCUDFSR_MNT_AGENT_STOPPED) && mp->vfamdev->status != VFAMDEV_WILL_FREE)
      KELC_LOG(kLogErr, "VFAM User Agent stopped unexpectedly\n");
    mp->mount_ext_flags |= MDCUDFSR_MNT_AGENT_STOPPED;
    mp->vfam_mounted = 0;
  }
  mp->vfam_cv.notify_all();
  return 0;
}
