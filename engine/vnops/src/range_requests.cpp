// Reserved and written ranges, the drive's write cache and write-verify mode.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_range_requests.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kel/mdcfs.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_verify.h"
#include "udf/udf_names.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>

namespace {

constexpr std::uint32_t kRub = 32;  // rewritable write unit

// The range's first sector; 22 for a zone or range outside the volume.
int range_lsn(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* e, const char* zone_line, std::uint32_t* lsn) {
  if (static_cast<std::uint32_t>(e->ZoneId) >= mnt->num_discs) {
    VN_LOGK(KEL_LOG_ERR, zone_line, e->ZoneId);
    return KEL_EINVAL;
  }
  std::uint64_t available = 0;
  *lsn = mdcudfsr_lbn2lsn(mnt, 2, static_cast<std::uint32_t>(e->BlockOffset), &available);
  if (*lsn == MDCUDFSR_INVALID_LSN) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "lsn != INVALID_LSN");
    return KEL_EINVAL;
  }
  if (e->NumberOfBlocks <= 0 ||
      static_cast<std::uint64_t>(e->NumberOfBlocks) * mnt->logical_block_size > available) {
    VN_LOGK(KEL_LOG_ERR, "Invalid Block Length (%d).\n", e->NumberOfBlocks);
    return KEL_EINVAL;
  }
  return 0;
}

int load_zone(mdcudfsr_mount* mnt, std::uint32_t zone, vfs_context_t ctx) {
  const int err = mdcudfsr_disc_change(mnt, zone, 0, ctx, 0);
  if (err) VN_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
  return err;
}

void advance_rewritable_nwa(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* e) {
  const std::uint32_t at = static_cast<std::uint32_t>(e->BlockOffset) + 4096;
  const std::uint32_t n = static_cast<std::uint32_t>(e->NumberOfBlocks);
  if (at != mnt->next_writable_address)
    VN_LOG(KEL_LOG_WARN, "Reserve Write Range Offset is not equal Offset:[0x%X] NWA:[0x%08X]\n",
           static_cast<std::uint32_t>(e->BlockOffset), mnt->next_writable_address);
  if (n % kRub) VN_LOG(KEL_LOG_WARN, "Reserve Write Range Blocks is not RUB Blks=%d\n", e->NumberOfBlocks);
  mnt->next_writable_address = at + (n + kRub - 1) / kRub * kRub;
}

bool privileged_caller(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mdcudfsr_is_privileged_process(mnt, vfs_context_pid(ctx))) return true;
  VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsr_is_privileged_process( mdcudfsrmp, vfs_context_pid( context ) )");
  return false;
}

bool exclusive_io(mdcudfsr_mount* mnt) {
  if (!mnt->exclusive_io_mode) return false;
  VN_LOGK(KEL_LOG_ERR, "%s\n", "!mdcudfsrmp->exclusive_io_mode");
  return true;
}

}  // namespace

int mdcudfsr_mdcfsctrl_reserve_write_range(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* e, vfs_context_t ctx) {
  if (!mnt || !e) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "space_entry != NULL");
    return KEL_EINVAL;
  }
  std::uint32_t lsn = 0;
  if (int err = range_lsn(mnt, e, "Illegal Zone Id (%d)\n", &lsn)) return err;
  if (mnt->is_rewritable) {
    std::uint32_t moved = 0;
    const int err = mdcudfsr_find_defect_and_change_NWA(mnt, ctx, lsn, static_cast<std::uint32_t>(e->NumberOfBlocks),
                                                        &moved);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "Failed to find defect or change NWA. \n");
      return err;
    }
    if (moved) {
      VN_LOG(KEL_LOG_WARN, "Hit defect and change NWA for Reserve Write Range New NWA is 0x%x \n",
             mnt->next_writable_address);
      return KEL_EINVAL;
    }
  }
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    if (int err = load_zone(mnt, static_cast<std::uint32_t>(e->ZoneId), ctx)) return err;
    pxo_reserve_write_t rq{lsn, static_cast<std::uint32_t>(e->NumberOfBlocks)};
    if (int err = VNOP_IOCTL(mnt->devvp, PXOIOCRESERVEWRITERANGE, reinterpret_cast<char*>(&rq), 0, ctx)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
  }
  if (mnt->is_rewritable) advance_rewritable_nwa(mnt, e);
  return 0;
}

int mdcudfsr_mdcfsctrl_verify_range(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* e, vfs_context_t ctx) {
  if (!mnt || !e) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "space_entry != NULL");
    return KEL_EINVAL;
  }
  std::uint32_t lsn = 0;
  if (int err = range_lsn(mnt, e, "Invalid Zone Id (%d).\n", &lsn)) return err;
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  if (int err = load_zone(mnt, static_cast<std::uint32_t>(e->ZoneId), ctx)) return err;
  if (mnt->verify_mode == 0) {
    VN_LOG(KEL_LOG_INFO, "verify write mode off but call verify fsctl \n");
    return 0;
  }
  const int err = mdcudfsr_verify_range(mnt->devvp, lsn, static_cast<std::uint32_t>(e->NumberOfBlocks), ctx, mnt);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_scan_range(mdcudfsr_mount* mnt, mdcfs_scan_range* r) {
  if (!mnt || !r) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "mdcfs_scan_range");
    return KEL_EINVAL;
  }
  if (r->ZoneId >= mnt->num_discs) {
    VN_LOGK(KEL_LOG_ERR, "Illegal Zone Id (%d)\n", static_cast<int>(r->ZoneId));
    return KEL_EINVAL;
  }
  r->Result = 0xF0;
  std::memset(r->Cleared, 0, sizeof r->Cleared);
  return 0;
}

int mdcudfsr_mdcfsctrl_sync_drive_cache(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  int err = mdcudfsr_flush_all_node_cluster(mnt, ctx);
  if (!err) err = mdcudfsr_sync_drive_cache(mnt, ctx);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_set_write_verify_mode(mdcudfsr_mount* mnt, std::uint32_t mode, vfs_context_t ctx) {
  const std::uint32_t want = mode != 0 ? 1 : 0;
  if (want == mnt->verify_mode) return 0;
  const std::uint32_t old = mnt->verify_mode;
  mnt->verify_mode = want;
  int failed = 0;
  const int status = mdcudfsr_devsupio_set_reallocation(mnt, ctx, &failed);
  if (status && failed) {
    VN_LOG(KEL_LOG_ERR, "failed to set reallocation control status=%d\n", status);
    mnt->verify_mode = old;
  }
  return status;
}

int mdcudfsr_mdcfsctrl_set_write_verify_mode(mdcudfsr_mount* mnt, const std::uint32_t* mode, vfs_context_t ctx) {
  if (!mnt || !mode) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "verifymode");
    return KEL_EINVAL;
  }
  // The drive of these media verifies by itself whatever the setting.
  if (mnt->medium_type == 0xF1 || mnt->medium_type == 0xF2 || mnt->medium_type == 0xE5) return 0;
  if (!privileged_caller(mnt, ctx) || exclusive_io(mnt)) return 1;
  if (mnt->is_temp_verify_mode) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!mdcudfsrmp->is_temp_verify_mode");
    return 1;
  }
  if ((*mode != 0 ? 1u : 0u) == mnt->verify_mode) return 0;
  const int err = mdcudfsr_set_write_verify_mode(mnt, *mode, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  mnt->is_temp_verify_mode = 1;
  return 0;
}

int mdcudfsr_mdcfsctrl_reset_write_verify_mode(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  if (!privileged_caller(mnt, ctx) || exclusive_io(mnt)) return 1;
  if (!mnt->is_temp_verify_mode) return 0;
  const int err = mdcudfsr_set_write_verify_mode(mnt, mnt->verify_mode ? 0 : 1, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  mnt->is_temp_verify_mode = 0;
  return 0;
}
