// Track, write-resource and disc-usage information, and the finalize check.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_track_requests.h"

#include "drive/device_control.h"
#include "kel/mdcfs.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_lvid.h"
#include "vnops_log.h"

#include <mutex>

namespace {

constexpr std::uint32_t kDiscComplete = 2;

int null_mount() {
  VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
  return KEL_EINVAL;
}

// The track of the loaded rule's disc; *asked tells a failed read from a failed load.
int read_track_one(mdcudfsr_mount* mnt, vfs_context_t ctx, std::uint32_t* nwa, std::int32_t* size) {
  if (mnt->is_rewritable) {
    std::uint32_t moved = 0;
    const int err = mdcudfsr_find_defect_and_change_NWA(mnt, ctx, mnt->next_writable_address, 32, &moved);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "Failed to find defect or change NWA. \n");
      return err;
    }
    if (moved) VN_LOG(KEL_LOG_WARN, "Hit defect and change NWA, New NWA = 0x%x\n", mnt->next_writable_address);
    const int r = mdcudfsr_read_track_information_re(mnt, 1, nwa, nullptr, size);
    if (r) VN_LOG(KEL_LOG_ERR, "Failed to read track with status %d.\n", r);
    return r;
  }
  bool asked = false;
  int r = mdcudfsr_ask_loaded(mnt, INFO_TRACK, ctx, 0, [&] {
    asked = true;
    return mdcudfsr_read_track_information(mnt, 1, nwa, nullptr, size, ctx, 1);
  });
  if (r && asked) {
    VN_LOG(KEL_LOG_ERR, "Failed to read track information err=%d. \n", r);
    VN_LOG(KEL_LOG_ERR, "Failed to read track with status %d.\n", r);
    r = KEL_EIO;
  }
  return r;
}

std::uint32_t usage_state(const mdcudfsr_mount* mnt, std::uint64_t free_bytes, bool sufficient) {
  if (mnt->mntinfo.WriteProtectReasonFlags & ~WRPROT_READONLY) return 2;
  if (mnt->current_disc + 1 < mnt->num_discs) {
    const bool adr = mnt->medium_type == 0xF1 || mnt->medium_type == 0xF2;
    const std::uint64_t low = adr ? 0xC0000000ull : 0x40000000ull;
    return free_bytes < low || !sufficient ? 1 : 0;
  }
  return free_bytes == 0 || !sufficient ? 2 : 0;
}

int disc_status_loaded(mdcudfsr_mount* mnt, vfs_context_t ctx, std::int32_t* status) {
  const int err = mdcudfsr_ask_loaded(mnt, INFO_DISC_STATUS, ctx, 0, [&] {
    return mdcudfsr_read_disc_information(mnt->devvp, status, nullptr, nullptr, nullptr, ctx);
  });
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int lvid_recording(mdcudfsr_mount* mnt, vfs_context_t ctx, bool* recording) {
  const int err = mdcudfsr_read_lvid(mnt, ctx, 1, 0, 0, 0);
  if (err) return err;
  std::uint32_t n = mnt->lvid.num_partitions;
  if (n > MDCUDFSR_MAX_PARTITIONS) n = MDCUDFSR_MAX_PARTITIONS;
  *recording = (mdcudfsr_lvid_imp_use(&mnt->lvid, n)->imp_use_id.id_suffix[4] & 0x0F) == 1;
  return 0;
}

// Write-once media whose loaded disc gave no integrity descriptor: slot 0
// holds the volume's first one.
int check_slot_zero(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::uint8_t sel = INFO_DISC_STATUS;
  if (VNOP_IOCTL(mnt->devvp, PXOIOCACHECHECK, reinterpret_cast<char*>(&sel), 0, ctx) != 0) {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    if (int err = mdcudfsr_disc_change(mnt, 0, 0, ctx, 0)) {
      VN_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
      return err;
    }
  }
  std::int32_t status = 0;
  if (int err = mdcudfsr_read_disc_information(mnt->devvp, &status, nullptr, nullptr, nullptr, ctx)) return err;
  if (status == static_cast<std::int32_t>(kDiscComplete)) return KEL_EINVAL;
  bool recording = false;
  if (int err = lvid_recording(mnt, ctx, &recording)) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  if (recording) return 0;
  VN_LOG(KEL_LOG_ERR, "Lvid operational status not recording.\n");
  return KEL_EINVAL;
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_volume_track_information(mdcudfsr_mount* mnt, MDCFS_VOLUME_TRACK_INFORMATION* record,
                                                    vfs_context_t ctx) {
  if (!mnt) return null_mount();
  if (!record) return KEL_EINVAL;
  std::uint32_t slots[4] = {};
  if (VNOP_IOCTL(mnt->devvp, PXOIOCGETSLOTINFO, reinterpret_cast<char*>(slots), 0, ctx) != 0)
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
  std::uint32_t nwa = 0;
  std::int32_t size = 0;
  const int err = read_track_one(mnt, ctx, &nwa, &size);
  if (err) return err;
  // The loading rule reads the last written slot's track: that slot is named.
  const std::uint32_t start = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  record->MaxCreatableTrackCount = mnt->num_discs;
  record->TrackId = mnt->current_disc;
  record->NextWritableBlockOffset = nwa >= start ? nwa - start : 0xFFFFFFFFu;
  const auto blocks = static_cast<std::uint32_t>(size);
  record->NumberOfBlocks = mnt->is_rewritable ? blocks : (blocks > start ? blocks - start : 0);
  return 0;
}

int mdcudfsr_mdcfsctrl_get_volume_track_write_resource_information(mdcudfsr_mount* mnt,
                                                                   MDCFS_TRACK_WRITE_RESOURCE_INFORMATION* record,
                                                                   vfs_context_t ctx) {
  if (!mnt) return null_mount();
  if (!record) return KEL_EINVAL;
  std::uint32_t entries = 0, updates = 0;
  std::uint16_t opc = 0;
  int err = 0;
  if (mnt->is_rewritable) {
    std::int32_t e = 0, u = 0;
    err = mdcudfsr_read_disc_information_re(mnt, mnt->devvp, nullptr, nullptr, &e, &u);
    entries = static_cast<std::uint32_t>(e), updates = static_cast<std::uint32_t>(u), opc = 128;
  } else {
    err = mdcudfsr_ask_loaded(mnt, INFO_DEFECT_RESOURCES, ctx, 0, [&] {
      return mdcudfsr_read_disc_information(mnt->devvp, nullptr, nullptr, &entries, &updates, ctx);
    });
    if (!err)
      err = mdcudfsr_ask_loaded(mnt, INFO_OPC, ctx, 0, [&] { return mdcudfsr_get_opc_resource_count(mnt->devvp, &opc, ctx); });
  }
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  record->TrackId = mnt->current_disc;
  record->OpcResourceCount = opc;
  record->RemainingPowReallocationMapEntries = entries;
  record->NumberOfRemainingPowUpdates = updates;
  return 0;
}

int mdcudfsr_mdcfsctrl_get_disc_usage_info(mdcudfsr_mount* mnt, MDCFS_DISC_USAGE_INFO* record, vfs_context_t ctx) {
  if (!mnt) return null_mount();
  if (!record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "disc_usage_info");
    return KEL_EINVAL;
  }
  record->TotalNumberOfDiscs = static_cast<std::uint8_t>(mnt->num_discs);
  record->CurrentDiscIndex = static_cast<std::uint8_t>(mnt->loaded_slot);
  record->LastWrittenDiscIndex = static_cast<std::uint8_t>(mnt->current_disc);
  std::int32_t sufficient = 1;
  int err = mdcudfsr_check_media_resources(mnt, 0, ctx, &sufficient);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "Check media resources err.[%d] \n", err);
    return err;
  }
  std::uint32_t per_slot = 0, current_free = 0;
  err = mdcudfsr_get_volume_size_info(mnt, ctx, nullptr, nullptr, &per_slot, &current_free, 0);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "Get volume size information err.[%d] \n", err);
    return err;
  }
  const std::uint64_t bs = mnt->logical_block_size;
  record->TotalSize = per_slot * bs;
  record->RemainingSize = current_free * bs;
  record->Condition = static_cast<std::uint8_t>(usage_state(mnt, record->RemainingSize, sufficient != 0));
  return 0;
}

int mdcudfsr_check_finalize_disc(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return null_mount();
  VN_LOG(KEL_LOG_INFO, "ALL Erase check finalize disc \n");
  if (!mnt->is_rewritable) {
    std::int32_t status = 0;
    if (int err = disc_status_loaded(mnt, ctx, &status)) return err;
    if (status == static_cast<std::int32_t>(kDiscComplete)) return KEL_EINVAL;
  }
  bool recording = false;
  const int err = lvid_recording(mnt, ctx, &recording);
  if (!err) return recording ? 0 : KEL_EINVAL;
  if (mnt->loaded_slot == 0) return err;
  if (mnt->is_rewritable) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  return check_slot_zero(mnt, ctx);
}
