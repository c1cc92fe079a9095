// Setting up the write-cluster list and reading the cluster of a block.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "udf/udf_names.h"
#include "vfs_log.h"

#include <cstring>

namespace {
constexpr std::uint32_t kClusterBytes = 0x10000;

// The drive buffer's data, copied into the mount's cluster image.
int read_cluster(mdcudfsr_mount* mnt, std::uint32_t lsn, vfs_context_t ctx) {
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  int err = mdcudfsr_disc_change(mnt, SLOT_KEEP_LOADED, 1, ctx, 1);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  buf_t bp = nullptr;
  err = buf_meta_bread(mnt->devvp, lsn, static_cast<int>(kClusterBytes), nullptr, &bp);
  if (err || !bp) {
    VFS_LOG(KEL_LOG_ERR, "buf_meta_bread failed. err=%d\n", err ? err : 5);
    if (bp) buf_brelse(bp);
    return err ? err : KEL_EIO;
  }
  mnt->cluster_read_image.assign(kClusterBytes, 0);
  std::memcpy(mnt->cluster_read_image.data(), reinterpret_cast<const void*>(buf_dataptr(bp)), kClusterBytes);
  buf_brelse(bp);
  return 0;
}
}  // namespace

int mdcudfsr_init_clusters(mdcudfsr_mount* mnt) {
  if (!mnt || mnt->logical_sector_size == 0) return KEL_EINVAL;
  const std::uint32_t need = kClusterBytes / mnt->logical_sector_size;
  if (need > 32) {
    VFS_LOG(KEL_LOG_ERR, "not enough bits in dirty_sector mask (need=%d, got=%d)\n", static_cast<int>(need), 32);
    return KEL_EINVAL;
  }
  mnt->cluster_sectors = need;
  return 0;
}

int mdcudfsr_read_cluster_with_lbn(mdcudfsr_mount* mnt, vfs_context_t ctx, uint8_t** buffer, mdcudfsr_lbn_addr addr,
                                   int, void*, int, uint32_t* byte_offset) {
  if (!mnt || !buffer || !byte_offset || mnt->logical_block_size == 0) return KEL_EINVAL;
  *buffer = nullptr;
  const std::uint32_t per_cluster = kClusterBytes / mnt->logical_block_size;
  if (per_cluster == 0 || addr.part > MDCUDFSR_PARTITION_PHYSICAL) return KEL_EINVAL;
  const std::uint32_t first = addr.lbn - addr.lbn % per_cluster;
  const std::uint32_t lsn = mdcudfsr_lbn2lsn(mnt, static_cast<uint16_t>(addr.part), first, nullptr);
  if (lsn == MDCUDFSR_INVALID_LSN) return KEL_EINVAL;
  const std::uint32_t offset = (addr.lbn - first) * mnt->logical_block_size;
  VFS_LOG(KEL_LOG_DEBG, "start: lbn=%u lsn=%u from lbn=%u (offset=%u) len=%u\n", first, lsn, addr.lbn, offset,
          kClusterBytes);
  const int err = read_cluster(mnt, lsn, ctx);
  if (err) return err;
  *buffer = mnt->cluster_read_image.data();
  *byte_offset = offset;
  return 0;
}
