// Write clusters: writing staged clusters to the disc, one cluster for a
// descriptor or all of them in ascending order in reserved, synced and
// verified batches.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_clusters.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_verify.h"
#include "udf/udf_neighbour_calls.h"
#include "vfs_log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

bool checks_nwa(const mdcudfsr_mount* mnt) {
  return mnt->medium_type == 0xE5 || mnt->medium_type == 0xF1 || mnt->medium_type == 0xF2;
}

// A drive status taken as the result of a step: a negative one is a failure
// (5) too, never success.
int as_failure(int status) { return status < 0 ? KEL_EIO : status; }

void unlink_entry(mdcudfsr_mount* mnt, cluster_entry* e) {
  *e->prev = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else
    mnt->cluster_last = e->prev;
  --mnt->cluster_count;
}

// The block buffer of a cluster: the whole image when every sector is dirty,
// else zeros with the dirty sectors at their places.
int get_cluster_buf(mdcudfsr_mount* mnt, const cluster_entry* e, buf_t* out) {
  const std::uint32_t s = mnt->cluster_sectors, z = mnt->logical_sector_size;
  buf_t bp = buf_getblk(mnt->devvp, static_cast<daddr64_t>(e->cluster) * s, MDCUDFSR_CLUSTER_BYTES, 0, 0, 2);
  if (!bp) VFS_LOG(KEL_LOG_ERR, "buf_getblk returned null pointer\n");
  std::unique_ptr<std::uint8_t[]> image(bp ? new (std::nothrow) std::uint8_t[MDCUDFSR_CLUSTER_BYTES] : nullptr);
  if (bp && !image) VFS_LOG(KEL_LOG_ERR, "failed to allocate memory for Cluster buffer\n");
  std::uint32_t len = 0, cache_err = 0;
  int err = image ? mdcudfsr_metacache_file_read(mnt, mnt->local_cache_handles[0], e->staging_offset,
                                                 MDCUDFSR_CLUSTER_BYTES, image.get(), &len, &cache_err)
                  : KEL_EIO;
  if (image && (err || cache_err || len != MDCUDFSR_CLUSTER_BYTES)) {
    VFS_LOG(KEL_LOG_ERR, "Read Cluster buffer failed from Fs Local Cache. err = %d cache_err = %d\n", err,
            cache_err);
    err = KEL_EIO;
  }
  if (err) {
    if (bp) buf_brelse(bp);
    VFS_LOGK(KEL_LOG_ERR, "Failed to get cluster buffer.\n");
    return KEL_EIO;
  }
  auto* dst = reinterpret_cast<std::uint8_t*>(buf_dataptr(bp));
  const std::uint32_t all = s >= 32 ? 0xFFFFFFFFu : (1u << s) - 1;
  if (e->dirty == all) {
    std::memcpy(dst, image.get(), MDCUDFSR_CLUSTER_BYTES);
  } else {
    std::memset(dst, 0, MDCUDFSR_CLUSTER_BYTES);
    for (std::uint32_t i = 0; i < s; ++i)
      if (e->dirty & (1u << i)) std::memcpy(dst + i * z, image.get() + i * z, z);
  }
  *out = bp;
  return 0;
}

// Loads the last written slot under the slot mutex held by the caller.
int load_last_written(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 0);
  if (err) VFS_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
  return err;
}

int write_loaded(mdcudfsr_mount* mnt, buf_t bp, vfs_context_t ctx) {
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  const int err = load_last_written(mnt, ctx);
  if (err) {
    buf_brelse(bp);
    return err;
  }
  const int werr = buf_bwrite(bp);
  (void)VNOP_IOCTL(mnt->devvp, PXOIOCACHECLEAR, nullptr, 0, ctx);
  if (werr) (void)mdcudfsr_sync_drive_cache(mnt, ctx);
  return as_failure(werr);
}

// The drive's next writable address must be `expected`; then the range is reserved.
int check_and_reserve(mdcudfsr_mount* mnt, std::uint32_t expected, std::uint32_t blocks, vfs_context_t ctx,
                      bool reserve_failure_ends) {
  std::uint32_t nwa = 0;
  int err = mdcudfsr_read_track_information(mnt, 1, &nwa, nullptr, nullptr, ctx, 1);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "read_track_information fail %d \n", err);
    return as_failure(err);
  }
  if (nwa != expected) {
    VFS_LOG(KEL_LOG_ERR, "NWA(%x) is invalid. Expected is %x.\n", nwa, expected);
    return KEL_EFAULT;
  }
  pxo_reserve_write_t r{expected, blocks};
  err = VNOP_IOCTL(mnt->devvp, PXOIOCRESERVEWRITERANGE, reinterpret_cast<char*>(&r), 0, ctx);
  if (!err) return 0;
  VFS_LOG(KEL_LOG_ERR, "reserve write failed. status=%d\n", err);
  (void)mdcudfsr_sync_drive_cache(mnt, ctx);
  if (!reserve_failure_ends) {
    VFS_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return 0;
  }
  return as_failure(err);
}

// Sync, then verify the batch's blocks in pieces of at most 0x4000; each
// under the slot mutex with the last written slot loaded.
int sync_and_verify(mdcudfsr_mount* mnt, std::uint32_t start, std::uint32_t blocks, vfs_context_t ctx,
                    int* verify_failed) {
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    int err = load_last_written(mnt, ctx);
    if (err) return as_failure(err);
    err = mdcudfsr_sync_drive_cache(mnt, ctx);
    if (err) {
      *verify_failed = 1;
      VFS_LOG(KEL_LOG_ERR, "Failed to sync cache with status %d. \n", err);
      return as_failure(err);
    }
  }
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  int err = load_last_written(mnt, ctx);
  if (err) return as_failure(err);
  for (std::uint32_t done = 0; done < blocks;) {
    const std::uint32_t piece = std::min(blocks - done, MDCUDFSR_VERIFY_PIECE);
    err = mdcudfsr_verify_range(mnt->devvp, start + done, piece, ctx, mnt);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "Failed to verify range with status %d. \n", err);
      *verify_failed = 1;
      return as_failure(err);
    }
    done += piece;
  }
  return 0;
}

// Writes one batch of sorted entries at `start`; 0 or the largest error.
int write_batch(mdcudfsr_mount* mnt, cluster_entry* const* batch, std::uint32_t n, std::uint32_t start,
                std::uint32_t blocks, int buffer_flag, vfs_context_t ctx) {
  if (checks_nwa(mnt)) {
    const int err = check_and_reserve(mnt, start, blocks, ctx, true);
    if (err) return err;
  }
  int worst = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const int err = mdcudfsr_flush_cluster_entry(mnt, batch[i], buffer_flag, ctx);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "flush returned: %d\n", err);
      worst = std::max(worst, as_failure(err));
    }
  }
  return worst;
}

// The entries in ascending cluster order; 22 when the list and its count disagree.
int sorted_entries(mdcudfsr_mount* mnt, std::vector<cluster_entry*>& out) {
  for (cluster_entry* e = mnt->cluster_head; e; e = e->next) {
    VFS_LOG(KEL_LOG_DEBG, "cl: %d\n", e->cluster);
    out.push_back(e);
  }
  if (out.size() != mnt->cluster_count) {
    VFS_LOG(KEL_LOG_ERR, "number of elements disagrees with cluster buffer list entry count\n");
    mdcudfsr_clear_all_clusters(mnt);
    return KEL_EINVAL;
  }
  std::make_heap(out.begin(), out.end(),
                 [](const cluster_entry* a, const cluster_entry* b) { return mdcudfsr_compare_cluster_entry(a, b) < 0; });
  std::sort_heap(out.begin(), out.end(),
                 [](const cluster_entry* a, const cluster_entry* b) { return mdcudfsr_compare_cluster_entry(a, b) < 0; });
  return 0;
}

}  // namespace

int mdcudfsr_flush_cluster_entry(mdcudfsr_mount* mnt, cluster_entry* e, int buffer_flag, vfs_context_t ctx) {
  int err = 0;
  if (e->dirty) {
    buf_t bp = nullptr;
    err = get_cluster_buf(mnt, e, &bp);
    if (!err) {
      if (buffer_flag == 1) buf_setflags(bp, 0x4);
      err = write_loaded(mnt, bp, ctx);
    }
  }
  unlink_entry(mnt, e);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "err=%d", err);
    VFS_LOG(KEL_LOG_ERR, "cluster entry: cl=%d dirty=0x%08x\n\n", e->cluster, e->dirty);
  }
  mdcudfsr_cluster_entry_destroy(e);
  return err;
}

int mdcudfsr_flush_cluster_buffer(mdcudfsr_mount* mnt, uint32_t lsn, int buffer_flag, vfs_context_t ctx) {
  if (!mnt || mnt->cluster_sectors == 0) return KEL_EINVAL;
  const std::uint32_t s = mnt->cluster_sectors;
  const std::uint32_t c = lsn - lsn % s;
  cluster_entry* e = mdcudfsr_cluster_buffer_find(mnt->cluster_head, static_cast<std::int32_t>(c / s));
  if (!e) {
    VFS_LOG(KEL_LOG_ERR, "cluster buffer not prepared in advance (starting lsn=%d)\n", static_cast<int>(c));
    return KEL_EINVAL;
  }
  if (checks_nwa(mnt)) {
    const int err = check_and_reserve(mnt, c, 32, ctx, false);
    if (err) return err;
  }
  const int err = mdcudfsr_flush_cluster_entry(mnt, e, buffer_flag, ctx);
  if (err) VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_flush_all_clusters(mdcudfsr_mount* mnt, int buffer_flag, vfs_context_t ctx,
                                const mdcudfsr_cluster_track* track, int* verify_failed, uint32_t* blocks_written) {
  if (!mnt || !track || mnt->logical_block_size == 0 || mnt->logical_block_size > MDCUDFSR_CLUSTER_BYTES) return KEL_EINVAL;
  int failed_sink = 0;
  int* vf = verify_failed ? verify_failed : &failed_sink;
  if (mnt->cluster_count == 0) {
    VFS_LOG(KEL_LOG_ERR, "cle_array buffer size is err\n");
    return KEL_EINVAL;
  }
  std::vector<cluster_entry*> cle;
  int err = sorted_entries(mnt, cle);
  if (err) return err;
  const std::uint32_t per_cluster = MDCUDFSR_CLUSTER_BYTES / mnt->logical_block_size;
  std::uint32_t written = 0, under_way = 0;
  for (std::size_t first = 0; first < cle.size() && !err; first += MDCUDFSR_CLUSTER_BATCH) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(MDCUDFSR_CLUSTER_BATCH, cle.size() - first));
    under_way = n * per_cluster;
    const std::uint32_t start = track->start_lsn + written;
    err = write_batch(mnt, cle.data() + first, n, start, under_way, buffer_flag, ctx);
    if (err) {
      *vf = 1;
      VFS_LOG(KEL_LOG_ERR, "cluster flush failed. status=%d\n", err);
      break;
    }
    err = sync_and_verify(mnt, start, under_way, ctx, vf);
    if (!err) {
      written += under_way;
      under_way = 0;
    }
  }
  if (blocks_written) *blocks_written = written + under_way;
  if (err) mdcudfsr_clear_all_clusters(mnt);
  return err;
}
