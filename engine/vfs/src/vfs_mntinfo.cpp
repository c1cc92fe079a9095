// The mount information record: state changes, publishing and error reports.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mntinfo.h"

#include "drive/device_control.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "vfs_log.h"

#include <cstring>


namespace {

bool status_unset_or_zero(std::uint32_t s) { return s == 0 || s == MNTINFO_UNSET; }

void remember_state(mdcudfsr_mount* mnt) { mnt->mntinfo_prev = mnt->mntinfo; }

bool state_changed(const mdcudfsr_mount* mnt) {
  const auto& a = mnt->mntinfo;
  const auto& b = mnt->mntinfo_prev;
  return a.MountStatus != b.MountStatus || a.WriteProtectReasonFlags != b.WriteProtectReasonFlags ||
         a.AccessMode != b.AccessMode;
}

}  // namespace

void mdcudfsr_init_mntinfo(mdcudfsr_mount* mnt) {
  VFS_ENTER();
  if (!mnt) return;
  mnt->mntinfo.MountStatus = 0;
  mnt->mntinfo.WriteProtectReasonFlags = 0;
  mnt->mntinfo.AccessMode = 0;
  mnt->mntinfo_overwrite = 1;
  std::memset(&mnt->mntinfo_prev, 0, 8);
  std::memcpy(reinterpret_cast<std::uint8_t*>(&mnt->mntinfo_prev) + 8,
              reinterpret_cast<const std::uint8_t*>(&mnt->mntinfo) + 8, 8);
  VFS_EXIT(0);
}

void mdcudfsr_set_mntinfo_wrprot_reason(mdcudfsr_mount* mnt, uint32_t reasons, int keep, vfs_context_t ctx) {
  VFS_ENTER();
  if (!mnt) return;
  auto& mi = mnt->mntinfo;
  if (status_unset_or_zero(mi.MountStatus)) mi.AccessMode = 0;
  if (keep && mi.WriteProtectReasonFlags != MNTINFO_UNSET) {
    mi.WriteProtectReasonFlags |= reasons;
    if (!mnt->mounting && state_changed(mnt)) mdcudfsr_log_state(mnt, ctx);
  } else {
    mi.WriteProtectReasonFlags = reasons;
  }
  remember_state(mnt);
  VFS_EXIT(0);
}

uint32_t mdcudfsr_update_mntinfo(mdcudfsr_mount* mnt, uint32_t mount_status, vfs_context_t ctx) {
  VFS_ENTER();
  auto& mi = mnt->mntinfo;
  switch (mount_status) {
    case 0:
      mi.AccessMode = 0;
      break;
    case MNTSTATUS_INVALID_MEDIUM:
      mdcudfsr_set_mntinfo_wrprot_reason(mnt, 0x200u, 1, ctx);
      mi.AccessMode = 0;
      break;
    case 0x80000300u: case MNTSTATUS_CACHE_FAILED: case MNTSTATUS_AD_LENGTH: case 0x80020000u: case 0x80040000u:
      mdcudfsr_set_mntinfo_wrprot_reason(mnt, 0x80000u, 1, ctx);
      mi.AccessMode = 2;
      break;
    case MNTSTATUS_DRIVER_ERROR: case MNTSTATUS_DRIVE_ERROR: case MNTSTATUS_EMPTY: case MNTSTATUS_UNREADABLE:
    case MNTSTATUS_OBJECT_LIMIT: case MNTSTATUS_UNKNOWN_VOLUME: case 0x80010000u: case 0x80030000u:
      mi.AccessMode = 2;
      break;
    default:
      VFS_LOG(KEL_LOG_WARN, "unrecognised mount status (%d), defaulting to 'driver error'\n",
              static_cast<int>(mount_status));
      mount_status = MNTSTATUS_DRIVER_ERROR;
      break;
  }
  VFS_EXIT(0);
  return mount_status;
}

void mdcudfsr_update_mntinfo_mntstatus(mdcudfsr_mount* mnt, uint32_t mount_status, int overwrite,
                                       vfs_context_t ctx) {
  VFS_ENTER();
  if (!mnt) return;
  if (status_unset_or_zero(mnt->mntinfo.MountStatus) || (mount_status != 0 && mnt->mntinfo_overwrite)) {
    const uint32_t stored = mdcudfsr_update_mntinfo(mnt, mount_status, ctx);
    mnt->mntinfo_overwrite = overwrite;
    mnt->mntinfo.MountStatus = stored;
  }
  VFS_EXIT(0);
}

void mdcudfsr_update_mntinfo_with_error(mdcudfsr_mount* mnt, int error, vfs_context_t ctx) {
  VFS_ENTER();
  if (!mnt) return;
  std::uint32_t status = MNTINFO_UNSET;  // unset: no status change
  std::uint32_t reasons = 0;
  switch (error) {
    case 0: status = 0; break;
    case 2: case 22: status = MNTSTATUS_UNKNOWN_VOLUME; reasons = 0x80000u; break;
    case 30: reasons = 0x80000u; break;
    case 5: status = MNTSTATUS_DRIVE_ERROR; reasons = WRPROT_DRIVE_ERROR; break;
    case 12: case 95: status = MNTSTATUS_DRIVER_ERROR; reasons = 0x80000u; break;
    case 27: break;
    default:
      VFS_LOG(KEL_LOG_WARN, "unrecognised error (%d), defaulting to 'unknown volume'\n", error);
      status = MNTSTATUS_UNKNOWN_VOLUME;
      break;
  }
  if (status != MNTINFO_UNSET) mdcudfsr_update_mntinfo_mntstatus(mnt, status, 1, ctx);
  if (reasons) mdcudfsr_set_mntinfo_wrprot_reason(mnt, reasons, 1, ctx);
  VFS_EXIT(0);
}

void mdcudfsr_set_mntinfo_state_silent(mdcudfsr_mount* mnt, uint32_t access_state, uint32_t mount_status,
                                       uint32_t wrprot_reasons) {
  if (!mnt) return;
  mnt->mntinfo.AccessMode = access_state;
  mnt->mntinfo.MountStatus = mount_status;
  mnt->mntinfo.WriteProtectReasonFlags = wrprot_reasons;
}

void mdcudfsr_set_mntinfo_state(mdcudfsr_mount* mnt, uint32_t access_state, uint32_t mount_status,
                                uint32_t wrprot_reasons) {
  if (!mnt) return;
  mdcudfsr_set_mntinfo_state_silent(mnt, access_state, mount_status, wrprot_reasons);
  mnt->pending_error_report = 1;
}

int mdcudfsr_send_mntinfo(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VFS_ENTER();
  if (!mnt) return KEL_EINVAL;
  const bool exempt = (mnt->mount_ext_flags & 0x2u) != 0;
  int err = 0;
  if (!mnt->mount_completed || (!exempt && !mnt->filter_notified) ||
      mnt->mntinfo.WriteProtectReasonFlags == WRPROT_WORN_OUT) {
    MDCFS_MOUNT_INFORMATION copy = mnt->mntinfo;
    err = VNOP_IOCTL(mnt->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&copy), 0, ctx);
  }
  VFS_EXIT(err);
  return err;
}

int mdcudfsr_mntinfo_is_readonly(mdcudfsr_mount* mnt) {
  VFS_ENTER();
  if (!mnt || mnt->mntinfo.WriteProtectReasonFlags == MNTINFO_UNSET) return 0;
  return (vfs_flags(mnt->mp) & MNT_RDONLY) ? 1 : 0;
}

int mdcudfsr_readonly_error(const mdcudfsr_mount* mnt) {
  const std::uint32_t reasons = mnt ? mnt->mntinfo.WriteProtectReasonFlags : 0;
  return reasons != MNTINFO_UNSET && (reasons & WRPROT_DRIVE_ERROR) ? KEL_EIO : KEL_EROFS;
}

int mdcudfsr_mntinfo_is_mountable(mdcudfsr_mount* mnt) {
  VFS_ENTER();
  return mnt && mnt->mntinfo.AccessMode == 0 ? 1 : 0;
}

void mdcudfsr_report_error(mdcudfsr_mount* mnt, int kind, vfs_context_t ctx) {
  VFS_ENTER();
  if (!mnt) return;
  if (kind < 0 || kind > 2) {
    VFS_LOG(KEL_LOG_ERR, "Unknown error info [0x%02x]", static_cast<unsigned>(kind));
    return;
  }
  std::uint8_t type = static_cast<std::uint8_t>(kind);
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOCREPORTERROR, reinterpret_cast<char*>(&type), 0, ctx);
  VFS_EXIT(err);
}

void mdcudfsr_set_readonly_mount(mdcudfsr_mount* mnt, uint32_t mount_status, int flag, vfs_context_t ctx) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return;
  }
  if (!(vfs_flags(mnt->mp) & MNT_RDONLY)) mdcudfsr_print_alarmcode(mnt->devvp, ctx);
  auto& mi = mnt->mntinfo;
  const auto reasons = static_cast<std::uint32_t>(flag);
  mi.WriteProtectReasonFlags = mi.WriteProtectReasonFlags == MNTINFO_UNSET ? reasons
                                                                           : (mi.WriteProtectReasonFlags | reasons);
  mi.MountStatus = mount_status;
  vfs_setflags(mnt->mp, MNT_RDONLY);
  MDCFS_MOUNT_INFORMATION copy = mi;
  VNOP_IOCTL(mnt->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&copy), 0, ctx);
}
