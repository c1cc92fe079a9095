// The mount's reading of the volume: disc status, cartridge write protect,
// recognition sequence, anchors, descriptor sequences and the integrity
// descriptor.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mount_fs.h"

#include "drive/device_control.h"
#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_rules.h"
#include "udf/udf_vrs.h"
#include "vfs_log.h"
#include "vfs_mount_internal.h"

#include <mutex>

namespace {

using State = mdcudfsr_mount_fs_state;

void go_read_only(mdcudfsr_mount* mnt, State& s, std::uint32_t reason, vfs_context_t ctx) {
  s.read_only = true;
  if (reason) mdcudfsr_set_mntinfo_wrprot_reason(mnt, reason, 1, ctx);
}

// Disc status and last track.
int read_disc_status(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mnt->is_rewritable) {
    mnt->disc_status = 1;
    mnt->last_track = 1;
    return 0;
  }
  std::int32_t status = 0, tracks = 0;
  std::uint8_t selector = INFO_DISC_STATUS;
  if (VNOP_IOCTL(mnt->devvp, PXOIOCACHECHECK, reinterpret_cast<char*>(&selector), 0, ctx) != 0) {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    const int err = mdcudfsr_disc_change(mnt, SLOT_KEEP_LOADED, 0, ctx, 1);
    if (err) {
      FS_LOG(KEL_LOG_ERR, "Failed to load slot with status %d. \n", err);
      return err;
    }
  }
  const int err = mdcudfsr_read_disc_information(mnt->devvp, &status, &tracks, nullptr, nullptr, ctx);
  if (err) return err;
  mnt->disc_status = status;
  mnt->last_track = static_cast<std::uint32_t>(tracks);
  return 0;
}

// Cartridge write protect, empty and reserved discs, finalized
// discs and track counts.
int judge_disc(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  std::uint32_t cm_protected = 0;
  if (VNOP_IOCTL(mnt->devvp, PXOIOCMWRITEPROTECT, reinterpret_cast<char*>(&cm_protected), 0, ctx) == 0 &&
      cm_protected)
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_CM_PROTECTED, 1, ctx);
  else
    mnt->mntinfo.WriteProtectReasonFlags &= ~WRPROT_CM_PROTECTED;
  if (mnt->disc_status == 0) {
    FS_LOG(KEL_LOG_WARN, "Empty Disc.\n");
    FS_LOG(KEL_LOG_WARN, "media_status = MDCFS_MEDIA_STATUS_EMPTY. Set RawMount.\n");
    mdcudfsr_set_mntinfo_state_silent(mnt, 2, MNTSTATUS_EMPTY, 0x80000u);
    return KEL_EINVAL;
  }
  if (mnt->disc_status == 3) {
    FS_LOG(KEL_LOG_ERR, "Invalid Media Status(Reserved Value).\n");
    mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_INVALID_MEDIUM, 0x200u);
    return KEL_EINVAL;
  }
  if (mnt->is_rewritable) return 0;
  if (mnt->disc_status == 2) {
    FS_LOG(KEL_LOG_WARN, "Finalized Disc, Read Only\n");
    go_read_only(mnt, s, WRPROT_FINALIZED, ctx);
  } else if (mnt->last_track != 2 && mnt->last_track != 3) {
    FS_LOG(KEL_LOG_WARN, "Track num(%d) failed, Read Only\n", static_cast<int>(mnt->last_track));
    go_read_only(mnt, s, 0x80000u, ctx);
  }
  return 0;
}

// The write-once recognition sequence: 22 restores the mount
// information and repairs the sequence while no reason forbids writing.
int check_write_once_vrs(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const MDCFS_MOUNT_INFORMATION before = mnt->mntinfo;
  const int err = mdcudfsr_check_vrs(mnt, ctx);
  if (err == 0) return 0;
  if (err == KEL_ENOENT) {
    FS_LOG(KEL_LOG_WARN, "mdcudfsr_check_vrs() returned: %d\n", err);
    return 0;
  }
  if (err != KEL_EINVAL) return err;
  mnt->mntinfo = before;
  if (mnt->mntinfo.WriteProtectReasonFlags == 0) {
    FS_LOG(KEL_LOG_WARN, "Faild to parse VRS. Start Repairing VRS.\n");
    const int repaired = mdcudfsr_repair_vrs(mnt, ctx);
    if (repaired) FS_LOG(KEL_LOG_WARN, "mdcudfsr_repair_vrs() returned: %d\n", repaired);
  }
  return 0;
}

int check_recognition(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  int err = mdcudfsr_check_zerofillarea(mnt, ctx);
  if (err == KEL_ENOENT) FS_LOG(KEL_LOG_WARN, "mdcudfsr_check_zerofillarea() returned: %d\n", err);
  else if (err) return err;
  if (!mnt->is_rewritable) return check_write_once_vrs(mnt, ctx);
  err = mdcudfsr_check_vrs_RE(mnt, ctx);
  if (err == KEL_ENOENT || (err && err != KEL_ENOENT)) FS_LOG(KEL_LOG_WARN, "mdcudfsr_check_vrs_RE() returned: %d\n", err);
  return err == KEL_ENOENT ? 0 : err;
}

// Anchors and sequences; a sequence error read from the disc keeps
// the mount information as it was and goes on.
// A management cache file made by this mount takes a copy of what is read
// from the disc (the readers drop the file when the copy fails).
int read_anchor(mdcudfsr_mount* mnt, bool from_cache, State& s, vfs_context_t ctx) {
  const int cache = from_cache ? 1 : 0;
  std::uint32_t mirror = !from_cache && mnt->fs_cache_created && mnt->fsmanage_handle != -1 ? 1 : 0;
  if (mnt->is_rewritable) {
    const int err = mdcudfsr_read_avdp_RE(mnt, ctx, 1, cache, &mirror);
    if (err == KEL_EROFS && from_cache) s.read_only = true;
    return err;
  }
  int err = mdcudfsr_read_avdp(mnt, ctx, 1, cache, &mirror);
  if (err) return err;
  const MDCFS_MOUNT_INFORMATION before = mnt->mntinfo;
  err = mdcudfsr_read_vds(mnt, ctx, 0, 1, cache, &mirror);
  // A repair of a torn copy the drive failed to write or sync is no
  // success: the mount fails with the drive's error, as a failed write of
  // the integrity descriptor at mount does.
  if (err == KEL_EIO) return err;
  if (err && !from_cache) {
    mnt->mntinfo = before;
    return 0;
  }
  return err;
}

// Descriptor rules, block size and the integrity descriptor.
int check_descriptors(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  std::uint32_t soft = 0, relinked = 0;
  int err = mdcudfsr_check_vds_structure_for_mount(mnt, &soft, &relinked, ctx);
  if (err == KEL_EROFS) {
    FS_LOG(KEL_LOG_WARN, "be read only with status=%d\n", err);
    s.read_only = true;
  } else if (err) {
    return err;
  }
  s.rewrite_descriptors = relinked != 0;
  s.next_track = soft != 0;
  // The volume type is the volume's own mark, kept in the high nibble of
  // the mount information's byte 14 (the drive layer keeps its information
  // version in the low nibble).
  const std::uint8_t volume_type = mnt->format_level == 0x12 ? 1 : 0;
  mnt->mntinfo.VolumeTypeAndInformationVersion =
      static_cast<std::uint8_t>((mnt->mntinfo.VolumeTypeAndInformationVersion & 0x0F) | volume_type << 4);
  mnt->logical_block_size = mnt->vds.lvd.lb_size;
  if (mnt->logical_block_size == 0 || mnt->logical_block_size > 0x10000) return KEL_EINVAL;
  if ((err = mdcudfsr_read_lvid(mnt, ctx, 0, 1, 0, 0)) != 0) {
    FS_LOG(KEL_LOG_ERR, "Failed to Read LVID.\n");
    return err;
  }
  const bool open = mdcudfsr_get_lvid_integrity_type(mnt) == 0;
  if (open) FS_LOG(KEL_LOG_INFO, "type of LVID is Open Integrity Descripter.\n");
  err = mdcudfsr_check_lvid_structure(mnt, ctx);
  if (err == KEL_EROFS) {
    s.read_only = true;
  } else if (err) {
    FS_LOG(KEL_LOG_ERR, "Failed to Parse LVID.\n");
    return err;
  }
  std::uint32_t auto_formatted[3] = {0, 0, 0};
  VNOP_IOCTL(mnt->devvp, PXOIOGETAUTOFORMATTEDFLAG, reinterpret_cast<char*>(auto_formatted), 0, ctx);
  if (open && !auto_formatted[0]) {
    FS_LOG(KEL_LOG_INFO, "LVID open.\n");
    mnt->lvid_open = 1;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mount_read_volume(mdcudfsr_mount* mnt, vfs_context_t ctx, mdcudfsr_mount_fs_state* state) {
  if (!mnt || !state) return KEL_EINVAL;
  State& s = *state;
  const bool cache = mnt->fs_cache_mode == 1;
  int err = read_disc_status(mnt, ctx);
  if (!err) err = judge_disc(mnt, s, ctx);
  if (!err && !cache) err = check_recognition(mnt, ctx);
  if (err) return err;
  err = read_anchor(mnt, cache, s, ctx);
  if (!err) err = check_descriptors(mnt, s, ctx);
  // Descriptors from the cache that fail condemn the cache, whatever state
  // their check left in the mount information.
  if (err && err != KEL_EROFS && cache) s.cache_failed = true;
  if (err) return err;
  return s.read_only ? KEL_EROFS : 0;
}
