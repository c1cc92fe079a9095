// Writes of volume structures on the last written disc, under the slot lock.
#include "udf_io.h"

#include "kelhost/kern_errno.h"

#include <cstring>
#include <mutex>

namespace udf_io {

int load_last_written(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 0);
  if (err) UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
  return err;
}

int write_on_last_written(mdcudfsr_mount* mnt, const uint8_t* data, uint32_t loc, uint32_t size, vfs_context_t ctx,
                          udf_log::Module module, const char* write_fail_fmt) {
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  if (const int err = load_last_written(mnt, ctx)) return err;
  // The image fills the whole buffer: nothing of the disc is read for it.
  buf_t bp = buf_getblk(mnt->devvp, loc, static_cast<int>(size), 0, 0, kBufOpWrite);
  if (!bp) return KEL_EIO;
  buf_setflags(bp, kBufFlagWrite);
  std::memcpy(buf_bytes(bp), data, size);
  if (is_f2(mnt)) {
    ReserveRange r{loc, size / mnt->logical_sector_size};
    if (const int err = VNOP_IOCTL(mnt->devvp, kIoctlReserveWriteRange, reinterpret_cast<char*>(&r), 0, ctx)) {
      UDF_LOG(ERR, "reserve write failed. status=%d\n", err);
      (void)mdcudfsr_sync_drive_cache(mnt, ctx);
      buf_brelse(bp);
      return err;
    }
  }
  const int err = buf_bwrite(bp);
  (void)VNOP_IOCTL(mnt->devvp, kIoctlForgetDiscInfo, nullptr, 0, ctx);
  if (err) {
    (void)mdcudfsr_sync_drive_cache(mnt, ctx);
    LogPrint(udf_log::ERR, module, udf_log::MSG, __func__, __LINE__, udf_log::tid(), write_fail_fmt, err);
  }
  return err;
}

int sync_last_written(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  int err = load_last_written(mnt, ctx);
  if (!err && (err = mdcudfsr_sync_drive_cache(mnt, ctx)) != 0) UDF_LOG(ERR, "sync chace is failed.(%d)\n", err);
  return err;
}

int verify_on_last_written(mdcudfsr_mount* mnt, uint32_t loc, uint32_t size, vfs_context_t ctx) {
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  const uint32_t ss = mnt->logical_sector_size;
  int err = load_last_written(mnt, ctx);
  if (!err && (err = mdcudfsr_verify_range(mnt->devvp, loc, (size + ss - 1) / ss, ctx, mnt)) != 0)
    UDF_LOG(ERR, "verify range is failed.(%d)\n", err);
  return err;
}

}  // namespace udf_io
