// Writing a metadata image staged in the file-system management cache file
// to the disc in reserved, synced and verified batches of 64 KiB units.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelagent/metacache.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_verify.h"
#include "udf/udf_names.h"
#include "udf/udf_neighbour_calls.h"

#include <algorithm>
#include <mutex>

using namespace kelcache;

namespace {

constexpr uint32_t kUnit = 0x10000;
constexpr uint32_t kBatch = 512;
constexpr uint64_t kCacheBase = 0x100000;
constexpr uint32_t kLastWritten = 0xFF;

struct Staged {
  mdcudfsr_mount* m;
  vfs_context_t ctx;
  uint8_t* buf;
  uint32_t per_unit;  // sectors of a unit
};

bool checks_nwa(const mdcudfsr_mount* m) {
  return m->medium_type == 0xF1 || m->medium_type == 0xF2 || m->medium_type == 0xE5;
}

int load_last(mdcudfsr_mount* m, vfs_context_t ctx) {
  const int err = mdcudfsr_disc_change(m, kLastWritten, 0, ctx, 0);
  if (err) CACHE_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
  return err;
}

// The drive's address must be the batch start; then the batch is reserved.
int reserve(Staged& s, uint32_t start, uint32_t blocks, int* defect) {
  uint32_t nwa = 0;
  int err = mdcudfsr_read_track_information(s.m, 1, &nwa, nullptr, nullptr, s.ctx, 0);
  if (err) {
    CACHE_LOG(ERR, "read_track_information fail %d \n", err);
    *defect = 1;
    return err;
  }
  if (nwa != start) {
    CACHE_LOG(ERR, "NWA(%x) is invalid. Expected is %x.\n", nwa, start);
    *defect = 1;
    return KEL_EFAULT;
  }
  pxo_reserve_write_t r{start, blocks};
  if ((err = VNOP_IOCTL(s.m->devvp, PXOIOCRESERVEWRITERANGE, reinterpret_cast<char*>(&r), 0, s.ctx)) != 0) {
    CACHE_LOG(ERR, "reserve write failed. status=%d\n", err);
    mdcudfsr_sync_drive_cache(s.m, s.ctx);
    *defect = 1;
  }
  return err;
}

// One unit read from the cache file and written synchronously.
int write_unit(Staged& s, uint32_t unit, uint32_t sector, int* defect) {
  std::lock_guard<std::mutex> lk(s.m->slot_mutex);
  int err = load_last(s.m, s.ctx);
  if (err) return err;
  buf_t bp = buf_getblk(s.m->devvp, sector, kUnit, 0, 0, 0);
  if (!bp) {
    CACHE_LOG(ERR, "Failed to buf_getblk.\n");
    *defect = 1;
    return KEL_EIO;
  }
  uint32_t done = 0, cache_err = 0;
  err = mdcudfsr_metacache_file_read(s.m, s.m->fsmanage_handle, kCacheBase + uint64_t{kUnit} * unit, kUnit,
                                     reinterpret_cast<void*>(buf_dataptr(bp)), &done, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Read Stream Directory FID data failed from Fs Local Cache. err = %d cache_err = %d\n", err,
              cache_err);
    buf_brelse(bp);
    *defect = 1;
    return err ? err : KEL_EIO;
  }
  err = buf_bwrite(bp);
  VNOP_IOCTL(s.m->devvp, PXOIOCACHECLEAR, nullptr, 0, s.ctx);
  if (err) {
    CACHE_LOG(ERR, "Failed to buf_bwrite.\n");
    mdcudfsr_sync_drive_cache(s.m, s.ctx);
    *defect = 1;
  }
  return err;
}

int sync_and_verify(Staged& s, uint32_t start, uint32_t blocks, int* defect) {
  std::lock_guard<std::mutex> lk(s.m->slot_mutex);
  int err = load_last(s.m, s.ctx);
  if (!err && (err = mdcudfsr_sync_drive_cache(s.m, s.ctx)) != 0) {
    CACHE_LOG(ERR, "Failed to sync cache with status %d. \n", err);
    *defect = 1;
  }
  if (!err) err = load_last(s.m, s.ctx);
  for (uint32_t done = 0; !err && done < blocks;) {
    const uint32_t piece = std::min(blocks - done, MDCUDFSR_VERIFY_PIECE);
    if ((err = mdcudfsr_verify_range(s.m->devvp, start + done, piece, s.ctx, s.m)) != 0) {
      CACHE_LOG(ERR, "Failed to verify range with status %d. \n", err);
      *defect = 1;
    }
    done += piece;
  }
  return err;
}

}  // namespace

int mdcudfsr_cache_full_flush_from_cachefile(mdcudfsr_mount* m, vfs_context_t ctx, uint32_t start_block,
                                             int* defect_hit, uint32_t* out_blocks) {
  int sink = 0;
  int* defect = defect_hit ? defect_hit : &sink;
  if (out_blocks) *out_blocks = 0;
  if (!m || m->logical_sector_size == 0 || m->fsmanage_handle == -1) return KEL_EINVAL;
  const uint64_t units64 = (m->metadata_main_partition_length + kUnit - 1) / kUnit;
  if (units64 > 0xFFFFFFFFull / kUnit) return KEL_EINVAL;
  const uint32_t units = static_cast<uint32_t>(units64);
  Staged s{m, ctx, nullptr, kUnit / m->logical_sector_size};
  const uint32_t first = mdcudfsr_lbn2lsn(m, MDCUDFSR_PARTITION_METADATA, start_block, nullptr);
  if (first == MDCUDFSR_INVALID_LSN) return KEL_EINVAL;
  uint32_t sector = first / s.per_unit * s.per_unit;
  int err = 0;
  uint32_t begun = 0;
  for (uint32_t unit = 0; unit < units && !err;) {
    const uint32_t n = std::min(kBatch, units - unit);
    const uint32_t blocks = n * s.per_unit, start = sector;
    begun += blocks;
    if (checks_nwa(m)) err = reserve(s, start, blocks, defect);
    for (uint32_t i = 0; i < n && !err; ++i, ++unit, sector += s.per_unit) err = write_unit(s, unit, sector, defect);
    if (!err) err = sync_and_verify(s, start, blocks, defect);
  }
  if (out_blocks) *out_blocks = begun;
  return err;
}
