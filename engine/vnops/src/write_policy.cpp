// Write policy, media write protection and volume identification.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_write_policy.h"

#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kel/mdcfs.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_vds_rules.h"
#include "vnops_log.h"

#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kVerifyFlag = 0x200;
constexpr std::uint32_t kDefaultReserve = 0x4200;  // 528 units of 32 blocks
constexpr std::uint32_t kMinCluster = 0x4000;

std::uint32_t cluster_from(std::uint32_t blocks) {
  const std::uint32_t v = blocks & ~0x3000u;
  return v < kMinCluster ? kMinCluster : v;
}

std::uint32_t last_disc_margin(std::uint32_t medium_type) {
  return medium_type == 0xF2 ? 0x400000u : medium_type == 0xF1 ? 0x300000u : 0x80000u;
}

int media_protect(mdcudfsr_mount* mnt, std::uint8_t on, vfs_context_t ctx) {
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOMEDIAPROTECT, reinterpret_cast<char*>(&on), 0, ctx);
  if (err) VN_LOGK(KEL_LOG_ERR, "write attribute failed. err = %d\n", err);
  return err;
}

mdcudfsr_policy_pages read_pages(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mdcudfsr_policy_pages p{};
  pxo_read_write_block_size_mode_page_t bs{};
  p.block_page_err = VNOP_IOCTL(mnt->devvp, PXOIOGETREADWRITEBLOCKSIZEMODEPAGE, reinterpret_cast<char*>(&bs), 0, ctx);
  if (p.block_page_err) {
    VN_LOG(KEL_LOG_INFO, "PXOIOGETREADWRITEBLOCKSIZEMODEPAGE failed. status=%d\n", p.block_page_err);
  } else {
    p.reserve_write_size = bs.reserve_write_block_size;
    p.read_write_size = bs.read_write_block_size;
  }
  pxo_read_write_error_recovery_parameters_mode_page_t rp{};
  p.recovery_page_err =
      VNOP_IOCTL(mnt->devvp, PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE, reinterpret_cast<char*>(&rp), 0, ctx);
  if (p.recovery_page_err)
    VN_LOG(KEL_LOG_INFO, "PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE failed. status=%d\n", p.recovery_page_err);
  else
    p.threshold = rp.threshold;
  return p;
}

}  // namespace

int mdcudfsr_compute_write_policy(const mdcudfsr_policy_pages& pg, int volume_type, std::uint32_t medium_type,
                                  MDCFS_WRITE_POLICY_INFORMATION* info) {
  MDCFS_WRITE_POLICY_INFORMATION w{};
  if (!pg.block_page_err && pg.read_write_size != 0) {
    w.OptimalReadWriteBlocks = std::uint32_t{pg.read_write_size} * 32;
    w.ReserveWriteBlocks = pg.reserve_write_size < 528 ? kDefaultReserve : std::uint32_t{pg.reserve_write_size} * 32;
  } else {
    VN_LOG(KEL_LOG_NOTI,
           "Get Read Write Block Size failed. Set default param. ReadWriteBlockSize(0x%x) ReserveWriteBlockSize(0x%x)\n",
           1, 528);
    w.OptimalReadWriteBlocks = 32;
    w.ReserveWriteBlocks = kDefaultReserve;
  }
  const bool adr = medium_type == 0xF1 || medium_type == 0xF2;
  if (volume_type == 0) {
    VN_LOG(KEL_LOG_INFO, "VOLTYPE_0\n");
    w.WriteClusterBlocks = 0x10200;
    w.ParityInClusterBlocks = 512;
    w.DiscFullMarginBlocks = adr ? 0x180000u : 0x80000u;
    w.ModeFlags |= 0x2;
  } else {
    VN_LOG(KEL_LOG_INFO, "VOLTYPE_1\n");
    w.WriteClusterBlocks = cluster_from(w.ReserveWriteBlocks);
    w.ParityInClusterBlocks = 0;
    w.DiscFullMarginBlocks = 0x80000;
  }
  w.DiscFullMarginBlocksForLastDisc = last_disc_margin(medium_type);
  int result = 0;
  if (pg.recovery_page_err) {
    VN_LOG(KEL_LOG_NOTI,
           "Get Read Write Error_Recovery_Parameters failed. Set default param. "
           "ReadWriteErrorReportingThresholdLength(0x%x) \n",
           0);
    w.ErrorReportingWindowBlocks = 0;
    result = pg.recovery_page_err;
  } else {
    w.ErrorReportingWindowBlocks = pg.threshold;
    if (pg.threshold != 0 && w.ReserveWriteBlocks >= pg.threshold) {
      w.ReserveWriteBlocks = pg.threshold / 2;
      if (volume_type != 0) w.WriteClusterBlocks = cluster_from(pg.threshold / 2 - w.ParityInClusterBlocks);
    }
  }
  *info = w;
  return result;
}

int mdcudfsr_mdcfsctrl_get_write_policy_info(mdcudfsr_mount* mnt, MDCFS_WRITE_POLICY_INFORMATION* info,
                                             vfs_context_t ctx) {
  if (!mnt || !info) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "write_policy_info");
    return KEL_EINVAL;
  }
  const mdcudfsr_policy_pages pages = read_pages(mnt, ctx);
  const int volume_type = (mnt->mntinfo.VolumeTypeAndInformationVersion >> 4) == 0 ? 0 : 1;
  const int result = mdcudfsr_compute_write_policy(pages, volume_type, mnt->medium_type, info);
  mnt->rw_unit_bytes = info->OptimalReadWriteBlocks * mnt->logical_block_size;
  if (mnt->mount_ext_flags & kVerifyFlag) {
    VN_LOG(KEL_LOG_INFO, "verify mode on\n");
    info->ModeFlags |= 0x1;
  } else {
    VN_LOG(KEL_LOG_INFO, "verify mode off\n");
  }
  return result;
}

int mdcudfsr_mdcfsctrl_disable_media_write(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  const int err = media_protect(mnt, 1, ctx);
  if (err) return err;
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_CM_PROTECTED, 1, ctx);
  VN_LOG(KEL_LOG_INFO, "write protect reson flag:0x%08x\n", mnt->mntinfo.WriteProtectReasonFlags);
  return 0;
}

int mdcudfsr_mdcfsctrl_enable_media_write(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  const int err = media_protect(mnt, 0, ctx);
  if (err) return err;
  mnt->mntinfo.WriteProtectReasonFlags &= ~WRPROT_CM_PROTECTED;
  VN_LOG(KEL_LOG_INFO, "write protect reson flag:0x%08x\n", mnt->mntinfo.WriteProtectReasonFlags);
  return 0;
}

int mdcudfsr_mdcfsctrl_get_volume_set_identify(mdcudfsr_mount* mnt, void* record) {
  if (!mnt || !record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "identify_info");
    return KEL_EINVAL;
  }
  std::memcpy(record, mnt->vds.pvd.volset_id, sizeof mnt->vds.pvd.volset_id);
  return 0;
}

int mdcudfsr_mdcfsctrl_get_volume_set_identify_string(mdcudfsr_mount* mnt, mdcfs_volset_identify_string* record) {
  if (!mnt || !record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "identify_string_info");
    return KEL_EINVAL;
  }
  constexpr std::size_t kMax = 512;
  std::vector<std::uint8_t> utf8(kMax + 1, 0), nfc(kMax + 1, 0);
  const std::uint8_t* id = mnt->vds.pvd.volset_id;
  std::uint64_t len = kMax;
  int err = mdcudfsr_unicode_udf2utf8(id, id[127] < 127 ? id[127] : 127, utf8.data(), &len);
  std::size_t n = 0;
  if (!err) {
    err = utf8_normalizestr(utf8.data(), static_cast<std::size_t>(len), nfc.data(), &n, kMax, 0);
    if (err) VN_LOG(KEL_LOG_ERR, "utf8_normalizestr to NFC failed err:%d\n", err);
  }
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  if (record->BufferLength == 0) {
    record->BufferLength = static_cast<std::uint32_t>(n + 1);
    return 0;
  }
  // The string and its NUL, never more: a shorter buffer would lose the last
  // character, a longer one would be filled from past the string.
  if (record->BufferLength < n + 1) {
    VN_LOGK(KEL_LOG_ERR, "BufferLength is too small\n");
    return KEL_EINVAL;
  }
  nfc[n] = 0;
  err = copyout(nfc.data(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(record->Buffer)), n + 1);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_get_volume_identify_info(mdcudfsr_mount* mnt, mdcfs_vol_identify_info* record,
                                                vfs_context_t ctx) {
  if (!mnt || !record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "vol_identify_info");
    return KEL_EINVAL;
  }
  mdcfs_vol_identify_info r{};
  std::memcpy(r.VolumeSetId, mnt->vds.pvd.volset_id + 17, sizeof r.VolumeSetId);
  r.TagSerialNumber = mnt->avdp.tag.serial_num;
  const std::uint32_t init_time =
      mdcudfsr_timevalue_ascii2int(reinterpret_cast<const char*>(mnt->vds.pvd.volset_id + 1), 8);
  std::uint8_t cm[MDCUDFSR_CM_RECORD_SIZE];
  int err = 0;
  {
    // Asked at every request: read again from the drive only when its state
    // may have changed since the last read.
    const KeptCartridgeMemoryReads kept;
    // A query: an unreadable cartridge memory must not switch the volume read-only.
    err = mdcudfsr_read_attribute(mnt, cm, sizeof cm, 1, 1, ctx, 1);
  }
  if (!err) {
    r.InitializationTime = init_time;
    std::memcpy(&r.PositionWord, cm + cm_attr::k1500Value + cm1500::kPosition, 4);
  } else {
    VN_LOG(KEL_LOG_WARN, "read attribute is failed Status:%d\n", err);
    if (init_time != 0) {
      r.InitializationTime = init_time;
      r.PositionWord = mdcudfsr_vuvi_encode(mnt->current_disc, mnt->metadata_file_loc);
    } else {
      VN_LOG(KEL_LOG_ERR, "read attribute is failed and PVD VOLUME INITIALIZATION TIME err \n");
    }
  }
  *record = r;
  return err;
}
