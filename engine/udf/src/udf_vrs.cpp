// Volume recognition sequence: check at mount and repair.
#include "udf/udf_vrs.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cstring>

namespace {

constexpr uint32_t kSector = 2048;
constexpr uint16_t kEnd = 0xFFFF;
// An entry below 256 is one byte of that value; 256 or more is that many zeros.
constexpr uint16_t kTemplate[] = {
    0, 'B', 'E', 'A', '0', '1', 1, 2041,  // sector 16
    0, 'N', 'S', 'R', '0', '3', 1, 2041,  // sector 17
    0, 'T', 'E', 'A', '0', '1', 1, 2041,  // sector 18
    kEnd,
};

bool other_slot_on_rollback(const mdcudfsr_mount* mnt) {
  return (mnt->mount_ext_flags & (MNT_EXT_ROLLBACK_REQUESTED | MNT_EXT_ROLLBACK_MOUNT)) != 0 &&
         mnt->loaded_slot != SLOT_LAST_WRITTEN && mnt->loaded_slot != mnt->current_disc;
}

}  // namespace

void mdcudfsr_vrs_fill_template(uint8_t* dst) {
  size_t pos = 0;
  for (const uint16_t* e = kTemplate; *e != kEnd; ++e) {
    if (*e < 256) {
      dst[pos++] = static_cast<uint8_t>(*e);
    } else {
      std::memset(dst + pos, 0, *e);
      pos += *e;
    }
  }
}

int mdcudfsr_vrs_matches_template(const uint8_t* src) {
  size_t pos = 0;
  for (const uint16_t* e = kTemplate; *e != kEnd; ++e) {
    if (*e < 256) {
      if (src[pos++] != *e) return 0;
    } else {
      for (uint16_t i = 0; i < *e; ++i)
        if (src[pos++] != 0) return 0;
    }
  }
  return 1;
}

int mdcudfsr_repair_vrs(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  using namespace udf_io;
  if (other_slot_on_rollback(mnt)) return 0;
  const uint32_t size = unit_size(mnt);
  std::unique_lock<std::mutex> lk(mnt->slot_mutex);
  int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 1);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  uint32_t failed = 0;
  buf_t bp = nullptr;
  for (;;) {
    if (!bp) {
      bp = buf_getblk(mnt->devvp, 0, static_cast<int>(size), 0, 0, kBufOpMetadata);
      if (!bp) return KEL_EIO;
      std::memset(buf_bytes(bp), 0, size);
      mdcudfsr_vrs_fill_template(buf_bytes(bp) + 16 * mnt->logical_sector_size);
    }
    if (is_f2(mnt)) {
      ReserveRange r{0, kUnitF2 / mnt->logical_sector_size};
      err = VNOP_IOCTL(mnt->devvp, kIoctlReserveWriteRange, reinterpret_cast<char*>(&r), 0, ctx);
      if (err) {
        UDF_LOG(ERR, "reserve write failed. status=%d\n", err);
        (void)mdcudfsr_sync_drive_cache(mnt, ctx);
        if (++failed <= kMaxWriteRetry) continue;
        lk.unlock();
        buf_brelse(bp);
        return err;
      }
    }
    err = buf_bwrite(bp);
    bp = nullptr;
    if (!err) {
      const int serr = mdcudfsr_sync_drive_cache(mnt, ctx);
      if (!serr) return 0;
      UDF_LOG(ERR, "Failed to sync cache err = %d. \n", serr);
      if (++failed <= kMaxWriteRetry) continue;
      return serr;
    }
    UDF_LOG(ERR, "Failed to write. err = %d. \n", err);
    const int serr = mdcudfsr_sync_drive_cache(mnt, ctx);
    if (serr) {
      UDF_LOG(ERR, "Failed to sync cache err = %d. \n", serr);
      if (++failed <= kMaxWriteRetry) continue;
      return serr;
    }
    if (++failed <= kMaxWriteRetry) continue;
    return err;
  }
}

namespace {

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// The check of both medium classes; on rewritable media an all-zero
// sequence is reported as an unformatted medium (9).
int check_vrs(mdcudfsr_mount* mnt, vfs_context_t ctx, bool rewritable) {
  UDF_TRACE_ENTRY();
  int result = 0;
  buf_t bp = nullptr;
  {
    std::unique_lock<std::mutex> lk(mnt->slot_mutex);
    result = mdcudfsr_disc_change(mnt, SLOT_KEEP_LOADED, 1, ctx, 1);
    if (result) {
      UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", result);
    } else {
      const int rerr = buf_meta_bread(mnt->devvp, 16, static_cast<int>(3 * kSector), nullptr, &bp);
      lk.unlock();
      if (rerr) {
        if (bp) buf_brelse(bp);
        bp = nullptr;
        const int rep = mdcudfsr_repair_vrs(mnt, ctx);
        if (rep == 0) {
          result = KEL_ENOENT;
        } else {
          UDF_LOG(WARN, "mdcudfsr_repair_vrs() returned: %d\n", rep);
          result = rep;
        }
      } else {
        const uint8_t* data = udf_io::buf_bytes(bp);
        result = mdcudfsr_vrs_matches_template(data) ? 0 : KEL_EINVAL;
        if (result && rewritable && all_zero(data, 3 * kSector)) result = KEL_EBADF;
        buf_brelse(bp);
      }
    }
  }
  if (result == KEL_ENOENT) {
    UDF_LOGM(ERR, KELC, "cannot read VRS. \n");
    mnt->mntinfo.MountStatus = MNTINFO_STRUCTURE_UNREADABLE;
    mnt->mntinfo.WriteProtectReasonFlags |= WRPROT_READONLY;
  } else if (result == KEL_EBADF) {
    UDF_LOGM(ERR, KELC, "Unformatted VRS. \n");
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_NOT_FORMATTED, WRPROT_READONLY);
  } else if (result != 0) {
    UDF_LOGM(ERR, KELC, "Invalid VRS. \n");
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_ANCHOR_INVALID, WRPROT_READONLY);
  }
  return result;
}

}  // namespace

int mdcudfsr_check_vrs(mdcudfsr_mount* mnt, vfs_context_t ctx) { return check_vrs(mnt, ctx, false); }
int mdcudfsr_check_vrs_RE(mdcudfsr_mount* mnt, vfs_context_t ctx) { return check_vrs(mnt, ctx, true); }

int mdcudfsr_flush_vrs_RE(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  using namespace udf_io;
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 1, ctx, 1);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  buf_t bp = buf_getblk(mnt->devvp, 0, static_cast<int>(kUnit), 0, 0, kBufOpMetadata);
  if (!bp) {
    UDF_LOGM(ERR, KELC, "%s\n", "wbp");
    return KEL_EIO;
  }
  std::memset(buf_bytes(bp), 0, kUnit);
  mdcudfsr_vrs_fill_template(buf_bytes(bp) + 16 * mnt->logical_sector_size);
  err = buf_bwrite(bp);
  if (err) UDF_LOG(ERR, "buf_bwrite is failed err=%d\n", err);
  (void)mdcudfsr_sync_drive_cache(mnt, ctx);
  return err;
}
