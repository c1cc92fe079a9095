// Write clusters: the entry list and the staging of data and zeros into the
// cluster images kept in the local cache file.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_clusters.h"

#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_names.h"
#include "vfs_log.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// The cluster image of an entry, read from or written to the cache file.
int image_io(mdcudfsr_mount* mnt, const cluster_entry* e, std::uint8_t* image, bool write) {
  std::uint32_t len = 0, cache_err = 0;
  const std::int32_t h = mnt->local_cache_handles[0];
  int err = write ? mdcudfsr_metacache_file_write(mnt, h, e->staging_offset, MDCUDFSR_CLUSTER_BYTES, image, &len,
                                                  &cache_err)
                  : mdcudfsr_metacache_file_read(mnt, h, e->staging_offset, MDCUDFSR_CLUSTER_BYTES, image, &len,
                                                 &cache_err);
  if (!err && cache_err) err = KEL_EIO;
  if (!err && len != MDCUDFSR_CLUSTER_BYTES && write) err = KEL_EIO;
  if (err) {
    if (write)
      VFS_LOG(KEL_LOG_ERR, "mdcudfsr_metacache_file_write error %d cache_err %d\n", err, cache_err);
    else
      VFS_LOG(KEL_LOG_ERR, "Read Cluster buffer failed from Fs Local Cache. err = %d cache_err = %d\n", err,
              cache_err);
  }
  return err;
}

// The entry of the cluster that starts at `first_lsn`, made when missing.
int entry_for(mdcudfsr_mount* mnt, std::uint32_t first_lsn, int sync, cluster_entry** out) {
  const auto cl = static_cast<std::int32_t>(first_lsn / mnt->cluster_sectors);
  *out = mdcudfsr_cluster_buffer_find(mnt->cluster_head, cl);
  if (*out) return 0;
  const int err = mdcudfsr_cluster_buffer_create(mnt, first_lsn, cl, sync, out);
  if (err) VFS_LOG(KEL_LOG_ERR, "cluster buffer create failed (error=%d)\n", err);
  return err;
}

std::unique_ptr<std::uint8_t[]> work_buffer() {
  std::unique_ptr<std::uint8_t[]> b(new (std::nothrow) std::uint8_t[MDCUDFSR_CLUSTER_BYTES]());
  if (!b) VFS_LOG(KEL_LOG_ERR, "failed to allocate memory for Cluster buffer\n");
  return b;
}

// Copies `sectors` sectors of data (the last one possibly short) into the
// image of one cluster at sector index `first`.
void copy_sectors(mdcudfsr_mount* mnt, cluster_entry* e, std::uint8_t* image, std::uint32_t first,
                  std::uint32_t sectors, const std::uint8_t* data, std::uint32_t bytes) {
  const std::uint32_t z = mnt->logical_sector_size;
  for (std::uint32_t k = 0; k < sectors; ++k) {
    const std::uint32_t bit = 1u << (first + k);
    if (e->dirty & bit)
      VFS_LOG(KEL_LOG_DEBG, "sector(bit=0x%08x) at lsn=%d (in cluster=%d) already dirty, overwriting\n", bit,
              static_cast<int>(e->cluster * mnt->cluster_sectors + first + k), e->cluster);
    e->dirty |= bit;
    const std::uint32_t n = bytes - k * z < z ? bytes - k * z : z;
    std::uint8_t* dst = image + static_cast<std::size_t>(first + k) * z;
    std::memcpy(dst, data + static_cast<std::size_t>(k) * z, n);
    if (n < z) std::memset(dst + n, 0, z - n);
  }
}

// The cluster list is set up and sectors [lsn, lsn + sectors) are addressable.
bool staging_ready(const mdcudfsr_mount* mnt, std::uint32_t lsn, std::uint64_t sectors) {
  if (!mnt || mnt->cluster_sectors == 0 || mnt->cluster_sectors > 32 ||
      mnt->logical_sector_size * mnt->cluster_sectors != MDCUDFSR_CLUSTER_BYTES)
    return false;
  if (static_cast<std::uint64_t>(lsn) + sectors + mnt->cluster_sectors > 0xFFFFFFFFull) {
    VFS_LOG(KEL_LOG_ERR, "sector range out of bounds. lsn=%u sectors=%llu\n", lsn,
            static_cast<unsigned long long>(sectors));
    return false;
  }
  return true;
}

}  // namespace

cluster_entry* mdcudfsr_cluster_buffer_find(cluster_entry* head, std::int32_t cluster) {
  for (cluster_entry* e = head; e; e = e->next)
    if (e->cluster == cluster) return e;
  return nullptr;
}

int mdcudfsr_cluster_buffer_create(mdcudfsr_mount* mnt, std::uint32_t first_lsn, std::int32_t cluster, int sync,
                                   cluster_entry** out) {
  auto* e = new (std::nothrow) cluster_entry;
  if (!e) {
    VFS_LOG(KEL_LOG_ERR, "out of memory for cluster entry\n");
    return KEL_ENOSPC;
  }
  e->cluster = cluster;
  e->sync = sync;
  e->staging_offset = mnt->cluster_next_offset;
  e->prev = mnt->cluster_last;
  *mnt->cluster_last = e;
  mnt->cluster_last = &e->next;
  ++mnt->cluster_count;
  VFS_LOG(KEL_LOG_DEBG, "cluster entry: cl=%d lsn=%d sync=%d\n", cluster, static_cast<int>(first_lsn), sync);
  mnt->cluster_next_offset += MDCUDFSR_CLUSTER_BYTES;
  *out = e;
  return 0;
}

void mdcudfsr_cluster_entry_destroy(cluster_entry* e) { delete e; }

int mdcudfsr_compare_cluster_entry(const cluster_entry* a, const cluster_entry* b) {
  const std::int64_t d = static_cast<std::int64_t>(a->cluster) - b->cluster;
  if (d < INT32_MIN) {
    VFS_LOG(KEL_LOG_ERR, "underflow!\n");
    return -1;
  }
  if (d > INT32_MAX) {
    VFS_LOG(KEL_LOG_ERR, "overflow!\n");
    return 1;
  }
  return static_cast<int>(d);
}

int mdcudfsr_clear_all_clusters(mdcudfsr_mount* mnt) {
  while (cluster_entry* e = mnt->cluster_head) {
    mnt->cluster_head = e->next;
    delete e;
  }
  mnt->cluster_last = &mnt->cluster_head;
  mnt->cluster_count = 0;
  return 0;
}

int mdcudfsr_write_logical_blocks(mdcudfsr_mount* mnt, uint16_t part_ref, uint32_t lbn, const void* buffer,
                                  uint32_t bytes, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  if (mnt->metadata_allocating == 1) return 0;
  const std::uint32_t lsn = mdcudfsr_lbn2lsn(mnt, part_ref, lbn, nullptr);
  VFS_LOG(KEL_LOG_DEBG, "partition:%d :: lbn:%d -> lsn:%d (bytesize:%d)\n", part_ref, static_cast<int>(lbn),
          static_cast<int>(lsn), static_cast<int>(bytes));
  if (lsn == MDCUDFSR_INVALID_LSN) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "lsn != INVALID_LSN");
    return KEL_EINVAL;
  }
  const int err = mdcudfsr_write_cluster_buffer(mnt, ctx, 1, lsn, buffer, bytes);
  if (err) VFS_LOG(KEL_LOG_ERR, "failed to write cluster buffer.lsn=%d, err=%d\n", static_cast<int>(lsn), err);
  return err;
}

int mdcudfsr_write_cluster_buffer(mdcudfsr_mount* mnt, vfs_context_t, int sync, uint32_t lsn, const void* buffer,
                                  uint32_t bytes) {
  if (bytes == 0) return 0;
  if (!buffer || !staging_ready(mnt, lsn, bytes / 512 + 1)) return KEL_EINVAL;
  const std::uint32_t s = mnt->cluster_sectors, z = mnt->logical_sector_size;
  const auto* data = static_cast<const std::uint8_t*>(buffer);
  while (bytes) {
    const std::uint32_t c = lsn - lsn % s;
    const std::uint32_t want = bytes / z + (bytes % z ? 1 : 0);
    const std::uint32_t n = want < s + c - lsn ? want : s + c - lsn;
    VFS_LOG(KEL_LOG_DEBG, "start=%d lsn=%d sectors=%d\n", static_cast<int>(c), static_cast<int>(lsn),
            static_cast<int>(n));
    cluster_entry* e = nullptr;
    int err = entry_for(mnt, c, sync, &e);
    if (err) return err;
    auto image = work_buffer();
    if (!image) return KEL_ENOMEM;
    if ((err = image_io(mnt, e, image.get(), false)) != 0) return err;
    VFS_LOG(KEL_LOG_DEBG, "cluster entry: cl=%d dirty=0x%08x\n", e->cluster, e->dirty);
    const std::uint32_t here = n * z < bytes ? n * z : bytes;
    copy_sectors(mnt, e, image.get(), lsn - c, n, data, here);
    if ((err = image_io(mnt, e, image.get(), true)) != 0) return err;
    VFS_LOG(KEL_LOG_DEBG, "cluster entry: cl=%d dirty=0x%08x\n", e->cluster, e->dirty);
    data += here;
    bytes -= here;
    lsn = c + s;
  }
  return 0;
}

int mdcudfsr_zero_write_cluster_buffer(mdcudfsr_mount* mnt, vfs_context_t, int sync, uint32_t lsn, uint32_t count) {
  if (count == 0) return 0;
  if (!staging_ready(mnt, lsn, count)) return KEL_EINVAL;
  const std::uint32_t s = mnt->cluster_sectors, z = mnt->logical_sector_size;
  while (count) {
    const std::uint32_t c = lsn - lsn % s;
    const std::uint32_t m = count < s + c - lsn ? count : s + c - lsn;
    VFS_LOG(KEL_LOG_DEBG, "start=%d lsn=%d sectors=%d\n", static_cast<int>(c), static_cast<int>(lsn),
            static_cast<int>(m));
    cluster_entry* e = nullptr;
    int err = entry_for(mnt, c, sync, &e);
    if (err) return err;
    auto image = work_buffer();
    if (!image) return KEL_ENOMEM;
    if ((err = image_io(mnt, e, image.get(), false)) != 0) return err;
    const std::uint32_t first = lsn - c;
    VFS_LOG(KEL_LOG_DEBG, "cluster entry: cl=%d start=%d lsn=%d dirty=0x%08x sectors=%d\n", e->cluster,
            static_cast<int>(c), static_cast<int>(lsn), e->dirty, static_cast<int>(m));
    const std::uint32_t bits = (m >= 32 ? 0xFFFFFFFFu : ((1u << m) - 1)) << first;
    if (e->dirty & bits)
      VFS_LOG(KEL_LOG_DEBG, "sector (in cluster=%d) dirty(0x%08x) new(0x%08x), overwriting\n", e->cluster, e->dirty,
              bits);
    e->dirty |= bits;
    std::memset(image.get() + static_cast<std::size_t>(first) * z, 0, static_cast<std::size_t>(m) * z);
    if ((err = image_io(mnt, e, image.get(), true)) != 0) return err;
    VFS_LOG(KEL_LOG_DEBG, "cluster entry: cl=%d dirty=0x%08x\n", e->cluster, e->dirty);
    count -= m;
    lsn = c + s;
  }
  return 0;
}
