// The integrity session.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_session.h"

#include "drive/device_control.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_volume_info.h"
#include "udf/udf_lvid.h"
#include "vfs_log.h"

namespace {

constexpr std::uint8_t kSessionOpen = 0x10;
constexpr std::uint32_t kMntExtSessionOnReadOnly = 0x10;
constexpr std::uint8_t kPolicyAllErase = 5;

void send_session_state(mdcudfsr_mount* mnt, std::uint32_t open, vfs_context_t ctx) {
  (void)VNOP_IOCTL(mnt->devvp, PXOIONOP107, reinterpret_cast<char*>(&open), 0, ctx);
}

struct Outcome {
  int result = 0;      // what the step gave
  int open_err = 0;    // the opening failure, if any
  bool close_lvid_failed = false;  // a close's descriptor write failed and ended the call
  bool done = false;   // returned at once
};

Outcome open_session(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  Outcome o;
  const int err = mdcudfsr_set_lvid_integrity_type(mnt, 0, 1, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "set lvid integrity type failed, opening (error:%d)\n", err);
    o.result = o.open_err = err;
    if (mnt->system_guard) {
      o.done = true;
      return o;
    }
  }
  mdcudfsr_volume_status(mnt).fetch_or(kSessionOpen);
  mnt->lvid_open = 1;
  // Writes follow: the sizes cached at mount go stale and are computed
  // afresh from the next writable address on every request.
  mnt->size_unknown = 1;
  send_session_state(mnt, 1, ctx);
  return o;
}

// A close whose descriptor write failed leaves the session open on the
// disc: it ends at once with that error, the state kept as it is.
Outcome close_session(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  Outcome o;
  int err = mdcudfsr_set_lvid_integrity_type(mnt, 1, 1, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "set lvid integrity type failed, closing (error:%d)\n", err);
    o.result = err;
    o.done = o.close_lvid_failed = true;
    return o;
  }
  mdcudfsr_volume_status(mnt).fetch_and(static_cast<std::uint8_t>(~kSessionOpen));
  send_session_state(mnt, 0, ctx);
  std::int32_t sufficient = 1;
  err = mdcudfsr_check_media_resources(mnt, 0, ctx, &sufficient);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "media resources check failed. (error:%d)\n", err);
    o.result = err;
    o.done = true;
    return o;
  }
  if (!sufficient && mnt->num_discs && mnt->current_disc >= mnt->num_discs - 1) {
    VFS_LOG(KEL_LOG_WARN, "LastWrittenSlot is Over slot:[%d] \n", static_cast<int>(mnt->current_disc));
    VFS_LOG(KEL_LOG_WARN, "do read only mount\n");
    mdcudfsr_set_readonly_mount(mnt, 0, WRPROT_WORN_OUT, ctx);
  }
  return o;
}

// The volume filter learns the new session bit through the mount
// information; when that cannot be read only the session bit keeps what it
// had before or has now, the other status bits stay.
int publish(mdcudfsr_mount* mnt, std::uint8_t old, vfs_context_t ctx) {
  MDCFS_MOUNT_INFORMATION mi{};
  const int err = mdcudfsr_mdcfsctrl_get_volume_mount_information(mnt, &mi, ctx);
  const std::uint8_t now = mdcudfsr_volume_status(mnt).load();
  if (err) {
    // The session bit stays set if it was set before or is now.
    mdcudfsr_volume_status(mnt).fetch_or(static_cast<std::uint8_t>(old & kSessionOpen));
    return err;
  }
  mi.VolumeStatus = static_cast<std::uint8_t>((mi.VolumeStatus & ~kSessionOpen) | (now & kSessionOpen));
  (void)VNOP_IOCTL(mnt->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, ctx);
  return 0;
}

int update(mdcudfsr_mount* mnt, vfs_context_t ctx, int mode, bool ex) {
  VFS_ENTER();
  if (!mnt) return KEL_EINVAL;
  if ((vfs_flags(mnt->mp) & MNT_RDONLY) && !(mnt->mount_ext_flags & kMntExtSessionOnReadOnly) &&
      mnt->flush_policy != kPolicyAllErase) {
    VFS_LOG(KEL_LOG_INFO, "attempt to update readonly session\n");
    return KEL_EROFS;
  }
  const std::uint8_t old = mdcudfsr_volume_status(mnt).load();
  Outcome o;
  if (mode & MDCUDFSR_SESSION_OPEN)
    o = open_session(mnt, ctx);
  else if (mode & MDCUDFSR_SESSION_CLOSE)
    o = close_session(mnt, ctx);
  else
    return 0;
  if (o.done) return ex && o.close_lvid_failed ? 0 : o.result;
  if (!((old ^ mdcudfsr_volume_status(mnt).load()) & kSessionOpen)) return o.result;
  const int err = publish(mnt, old, ctx);
  if (err) return err;
  return ex ? o.open_err : 0;
}

}  // namespace

int mdcudfsr_update_session(mdcudfsr_mount* mnt, vfs_context_t ctx, int mode) { return update(mnt, ctx, mode, false); }

int mdcudfsr_update_session_Ex(mdcudfsr_mount* mnt, vfs_context_t ctx, int mode) {
  return update(mnt, ctx, mode, true);
}
