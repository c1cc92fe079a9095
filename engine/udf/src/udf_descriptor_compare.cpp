// Comparison of a descriptor image with what the medium already holds.
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf/udf_vds_flush.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cstring>

using namespace udf_io;

int mdcudfsr_is_writing_descriptor_exist(mdcudfsr_mount* mnt, const uint8_t* image, uint32_t first_block,
                                         uint32_t count, uint32_t* identical, vfs_context_t ctx) {
  if (!identical) {
    UDF_LOG(ERR, "is_exist is NULL\n");
    return KEL_EINVAL;
  }
  *identical = 0;
  const uint32_t bs = mnt->logical_block_size;
  const size_t total = static_cast<size_t>(count) * bs;
  uint8_t* disk = zalloc(total ? total : 1);
  if (!disk) {
    UDF_LOG(ERR, "can't allocate buf.\n");
    return KEL_ENOMEM;
  }
  int err;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 1, ctx, 0);
    // After a failed SYNCHRONIZE CACHE only a good one makes what is read
    // what the medium holds: without it the image is written again.
    if (!err && mnt->sync_owed) err = mdcudfsr_sync_drive_cache(mnt, ctx);
    if (!err) {
      buf_t bp = nullptr;
      err = buf_meta_bread(mnt->devvp, first_block, static_cast<int>(total), nullptr, &bp);
      if (!err) std::memcpy(disk, buf_bytes(bp), total);
      if (bp) buf_brelse(bp);
    }
  }
  if (err) {
    UDF_LOG(ERR, "Failed to read img\n");
    zfree(disk);
    return err;
  }
  bool same = true;
  for (uint32_t b = 0; b < count && same; ++b) {
    const uint8_t* n = image + static_cast<size_t>(b) * bs;
    uint8_t* d = disk + static_cast<size_t>(b) * bs;
    d[4] = n[4];
    std::memcpy(d + 8, n + 8, 2);
    uint16_t id;
    std::memcpy(&id, n, 2);
    id = mdcudfsr_le16_to_host(id);
    auto keep = [&](size_t off, size_t len) {
      if (off + len <= bs) std::memcpy(d + off, n + off, len);
    };
    switch (id) {
      case TAG_ID_PVD:
        keep(offsetof(pri_vol_desc, time), sizeof(timestamp));
        break;
      case TAG_ID_LVID:
        keep(offsetof(logvol_integrity_desc, recording_date_time), sizeof(timestamp));
        break;
      case TAG_ID_FE:
        keep(offsetof(file_entry, atime), 3 * sizeof(timestamp));
        break;
      case TAG_ID_EFE:
        keep(offsetof(extended_file_entry, atime), 4 * sizeof(timestamp));
        break;
      default:
        break;
    }
    same = std::memcmp(d, n, bs) == 0;
  }
  zfree(disk);
  if (same) *identical = 1;
  return 0;
}
