// Steps shared by the metadata and descriptor flushes.
#include "kelhost/kern_errno.h"
#include "vfs_flush_internal.h"

#include "drive/device_control.h"
#include "kelcache/cache.h"
#include "kelcache/cache_counts.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_verify.h"
#include "udf/udf_lvid.h"
#include "udf/udf_names.h"
#include "udf/udf_write_efe.h"
#include "vfs_log.h"

#include <cstring>
#include <memory>
#include <vector>

namespace vfs_flush {

namespace {

// Offsets of the cartridge-memory record (values converted to host order).
constexpr std::size_t kLabel = 72;
constexpr std::size_t kLabelBytes = 160;
constexpr std::size_t kPosition = 353;
constexpr std::size_t kUniqueId = 357;
constexpr std::size_t kCapacity = 430;
constexpr std::size_t kFree = 443;
constexpr std::size_t kFiles = 456;
constexpr std::size_t kDirs = 465;

template <class T>
void update(std::uint8_t* rec, std::size_t off, T value, std::uint32_t bit, mdcudfsr_mount* mnt) {
  T old{};
  std::memcpy(&old, rec + off, sizeof old);
  if (old == value) return;
  std::memcpy(rec + off, &value, sizeof value);
  mnt->attr_update_mask |= bit;
}

// The label as UCS-2, zero-padded; 12 or 22 on a failed conversion.
int update_label(mdcudfsr_mount* mnt, std::uint8_t* rec) {
  const std::uint8_t* id = mnt->vds.lvd.logvol_id;
  const std::uint32_t len = id[127];
  if (len > 127) return KEL_EINVAL;
  if (len && id[0] != 8 && id[0] != 16) {
    VFS_LOG(KEL_LOG_ERR, "could not uncompress unicode - invalid compressionID=%d", id[0]);
    return KEL_EINVAL;
  }
  std::vector<std::uint16_t> text(len + 1, 0);
  const std::uint32_t chars = len ? mdcudfsr_cs0_to_unicode(len, id, text.data()) : 0;
  std::uint8_t label[kLabelBytes] = {};
  std::memcpy(label, text.data(), std::min<std::size_t>(chars * 2u, kLabelBytes));
  if (std::memcmp(rec + kLabel, label, kLabelBytes) != 0) {
    std::memcpy(rec + kLabel, label, kLabelBytes);
    mnt->attr_update_mask |= 0x8;
  }
  return 0;
}

}  // namespace

void begin(Frame& f) {
  nanotime(&f.start);
  f.readonly = (vfs_flags(f.mnt->mp) & MNT_RDONLY) != 0;
  f.found_state = f.mnt->flush_state;
  f.mnt->flush_state = 2;
}

int early_exit(Frame& f, int err) {
  mdcudfsr_cache_local_fs_cache_del(f.mnt, 0);
  if (f.locked) mdcudfsr_cache_unlock_all_nodes(f.mnt);
  f.locked = false;
  f.mnt->flush_state = f.found_state;
  VFS_EXIT(err);
  return err;
}

void finish(Frame& f, int err) {
  mdcudfsr_cache_local_fs_cache_del(f.mnt, 0);
  if (err == 0)
    f.mnt->flush_state = 0;
  else if (f.mnt->flush_state == 2)
    f.mnt->flush_state = 1;
  f.mnt->last_partial_flush_time = 0;
  if (f.locked) mdcudfsr_cache_unlock_all_nodes(f.mnt);
  f.locked = false;
}

void readonly_switch(mdcudfsr_mount* mnt, int err, vfs_context_t ctx) {
  VFS_LOG(KEL_LOG_WARN, "Metadata flush failed. set readonly. status = %d \n", err);
  mdcudfsr_set_readonly_mount(mnt, 0x80000002u, 1, ctx);
  mdcudfsr_report_error(mnt, 0, ctx);
}

int visit_vnodes(Frame& f) {
  int count = 0;
  const int err = mdcudfsr_visit_vnodes(f.mnt, f.ctx, f.readonly ? 0 : 1, 1, &count);
  if (err)
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  else
    VFS_LOG(KEL_LOG_INFO, "vnode_iterate count %d\n", count);
  return err;
}

int lock_nodes(Frame& f, int flags) {
  const int err = mdcudfsr_cache_lock_all_nodes(f.mnt, (flags & MDCUDFSR_FLUSHF_WAIT) ? 0xFFFFFFFFu : 500u);
  if (err) {
    VFS_LOG(KEL_LOG_INFO, "mdcudfsr_cache_lock_all_nodes() seems to be timed out.status=%d\n", err);
    return err;
  }
  f.locked = true;
  return 0;
}

int read_nwa(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, uint32_t* nwa) {
  std::uint8_t sel = INFO_TRACK;
  int err = 0;
  if (VNOP_IOCTL(mnt->devvp, PXOIOCACHECHECK, reinterpret_cast<char*>(&sel), 0, ctx) != 0) {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, on_mount);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
      return err;
    }
    err = mdcudfsr_read_track_information(mnt, 1, nwa, nullptr, nullptr, ctx, 0);
  } else {
    err = mdcudfsr_read_track_information(mnt, 1, nwa, nullptr, nullptr, ctx, 0);
  }
  if (err) VFS_LOGK(KEL_LOG_WARN, "failed to read track info with status %d. \n", err);
  return err;
}

uint32_t remaining_sectors(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount) {
  uint32_t remaining = 0;
  const int err = mdcudfsr_ask_loaded(mnt, INFO_TRACK, ctx, on_mount, [&] {
    return mnt->is_rewritable ? mdcudfsr_read_track_information_re(mnt, 1, nullptr, &remaining, nullptr)
                              : mdcudfsr_read_track_information(mnt, 1, nullptr, &remaining, nullptr, ctx, 1);
  });
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "read_track_information fail %d \n", err);
    return 0;
  }
  if (remaining == 0) VFS_LOG(KEL_LOG_ERR, "remain_sector_size = 0 \n");
  return remaining;
}

// Rewritable media grow the metadata file at its own write address. The
// mount sets only the volume's next writable address, so the metadata one
// starts there, and the entries and bitmaps that follow the pass go behind
// the blocks it wrote.
static void metadata_nwa_from_volume(mdcudfsr_mount* mnt) {
  if (mnt->is_rewritable && mnt->metadata_nwa < mnt->next_writable_address)
    mnt->metadata_nwa = mnt->next_writable_address;
}
static void volume_nwa_from_metadata(mdcudfsr_mount* mnt) {
  if (mnt->is_rewritable && mnt->next_writable_address < mnt->metadata_nwa)
    mnt->next_writable_address = mnt->metadata_nwa;
}

// The attempts of one node-cache pass.
static int node_cache_attempts(mdcudfsr_mount* mnt, vfs_context_t ctx, int* wrote, int option, int last, bool full,
                               int on_mount) {
  int err = 0;
  metadata_nwa_from_volume(mnt);
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    int retryable = 0;
    err = full ? mdcudfsr_cache_flush_full(mnt, ctx, nullptr, option, &retryable, last)
               : mdcudfsr_cache_flush(mnt, ctx, wrote, nullptr, option, &retryable, last);
    if (!err) {
      VFS_LOGK(KEL_LOG_WARN, "success to metadata extent with status %d. retry:%d\n", 0, attempt);
      volume_nwa_from_metadata(mnt);
      return 0;
    }
    if (!retryable) {
      VFS_LOGK(KEL_LOG_NOTI, "failed to metadata extent with status %d. retry:%d\n", err, attempt);
      return err;
    }
    if (remaining_sectors(mnt, ctx, on_mount) == 0) return err;
    VFS_LOGK(KEL_LOG_WARN, "failed to metadata extent with status %d. retry:%d\n", err, attempt);
  }
  return err;
}

void choose_full_layout(mdcudfsr_mount* mnt) {
  mnt->flushAllMetadata = mnt->flush_policy == 2 || mnt->full_rewrite_owed ? 1 : 0;
}

int node_cache_pass(mdcudfsr_mount* mnt, vfs_context_t ctx, int* wrote, int option, int last, bool full,
                    int on_mount) {
  const int err = node_cache_attempts(mnt, ctx, wrote, option, last, full, on_mount);
  if (mnt->flushAllMetadata) mnt->full_rewrite_owed = err ? 1 : 0;
  return err;
}

int place_entries(mdcudfsr_mount* mnt, uint32_t nwa, uint32_t* main_loc, uint32_t* mirror_loc) {
  const uint32_t start = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  const std::uint64_t blocks = mnt->partition_blocks ? mnt->partition_blocks : mnt->vds.pd.part_len;
  *main_loc = nwa >= start ? nwa - start : MDCUDFSR_INVALID_LBN;
  *mirror_loc = nwa + 16u >= start && nwa <= 0xFFFFFFFFu - 16u ? nwa + 16u - start : MDCUDFSR_INVALID_LBN;
  // Both entries must lie inside the partition, or they would be written
  // before it or past its end.
  if (*main_loc == MDCUDFSR_INVALID_LBN || *mirror_loc == MDCUDFSR_INVALID_LBN ||
      (blocks && *mirror_loc >= blocks)) {
    VFS_LOG(KEL_LOG_ERR, "invalid metadata entry location NWA=0x%x start=0x%x\n", nwa, start);
    return KEL_EINVAL;
  }
  return 0;
}

int stage_entries(mdcudfsr_mount* mnt, vfs_context_t ctx, const uint32_t prev[2], int* which) {
  const uint32_t lbs = mnt->logical_block_size ? mnt->logical_block_size : 2048;
  timespec now{};
  nanotime(&now);
  for (int i = 0; i < 2; ++i) {
    mdcudfsr_partition_entry& e = mnt->part[i];
    const std::uint64_t sum = mdcudfsr_extent_list_get_selected_length(&e.list, 0);
    e.efe.inf_len = e.efe.object_size = sum;
    e.length = sum;
    e.efe.logblks_rec = (sum + lbs - 1) / lbs;
    mdcudfsr_timespec2udftime_local(mnt, &now, &e.efe.mtime);
    e.efe.atime = e.efe.attrtime = e.efe.mtime;
    const uint32_t loc = i == 0 ? mnt->metadata_file_loc : mnt->metadata_mirror_loc;
    // Rewritable media write the entry at its sector directly.
    const uint32_t sector =
        mnt->is_rewritable ? loc + mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector : 0xFFFFFFFFu;
    mdcudfsr_efe_write w{2, loc, loc, 0xFFFF, &e.efe, nullptr, &e.list, nullptr, sector, nullptr,
                         prev[i] == MDCUDFSR_INVALID_LBN ? -1 : static_cast<int64_t>(prev[i]), i};
    const int err = mdcudfsr_flush_extended_file_entry(mnt, &w, ctx);
    if (err) {
      *which = i;
      return err;
    }
    e.efe_block = loc;
  }
  return 0;
}

int sync_and_verify(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, uint32_t lsn) {
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, on_mount);
    if (!err) err = mdcudfsr_sync_drive_cache(mnt, ctx);
    if (err) {
      VFS_LOG(KEL_LOG_WARN, "failed to sync cache with status %d. \n", err);
      return err;
    }
  }
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, on_mount);
  if (!err) err = mdcudfsr_verify_range(mnt->devvp, lsn, 32, ctx, mnt);
  if (err)
    VFS_LOG(KEL_LOG_WARN, "failed to verify range with status %d. Lsn=%d,LenSects=%d\n", err, static_cast<int>(lsn),
            32);
  return err;
}

void entries_recorded(mdcudfsr_mount* mnt) {
  mnt->vds.pd.phd.unalloc_space_bitmap = short_ad{0, 0};
  mnt->vds.pmap.type2_metadata.alloc_unit_size = mnt->part[MDCUDFSR_PARTITION_METADATA].alloc_unit_size;
}

int refresh_attributes(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, int* write_err) {
  *write_err = 0;
  std::vector<std::uint8_t> rec(MDCUDFSR_CM_RECORD_SIZE, 0);
  int err = mdcudfsr_read_attribute(mnt, rec.data(), MDCUDFSR_CM_RECORD_SIZE, 1, 0, ctx, on_mount);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "READ ATTRIBUTE failed on metadata flush err = %d\n", err);
    return 0;
  }
  err = update_label(mnt, rec.data());
  if (err) return err;
  uint32_t files = 0, dirs = 0;
  mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  update<std::uint32_t>(rec.data(), kFiles, files, 0x400, mnt);
  update<std::uint32_t>(rec.data(), kDirs, dirs, 0x800, mnt);
  uint32_t total = 0, free_blocks = 0;
  if (mdcudfsr_get_volume_size_info(mnt, ctx, &total, &free_blocks, nullptr, nullptr, on_mount) == 0) {
    const std::uint64_t bs = mnt->logical_block_size;
    update<std::uint64_t>(rec.data(), kCapacity, total * bs, 0x100, mnt);
    update<std::uint64_t>(rec.data(), kFree, free_blocks * bs, 0x200, mnt);
  }
  const uint32_t position = ((mnt->metadata_file_loc * 2u + 0x2000u) >> 6) | (mnt->current_disc << 26);
  update<std::uint32_t>(rec.data(), kPosition, position, 0x80, mnt);
  update<std::uint32_t>(rec.data(), kUniqueId, static_cast<uint32_t>(mnt->next_unique_id), 0x80, mnt);
  *write_err = mdcudfsr_write_attribute(mnt, rec.data(), MDCUDFSR_CM_RECORD_SIZE, 1, ctx, on_mount);
  if (*write_err) VFS_LOG(KEL_LOG_ERR, "WRITE ATTRIBUTE failed on metadata flush err = %d\n", *write_err);
  return 0;
}

bool open_flush(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mdcudfsr_get_lvid_integrity_type(mnt) & 1) {
    VFS_LOG(KEL_LOG_INFO, "LVID is already closed.\n");
    return false;
  }
  const int err = mdcudfsr_update_session(mnt, ctx, 4);
  if (err) VFS_LOG(KEL_LOG_ERR, "failed to update lvid with Status=%d\n", err);
  VFS_LOGK(KEL_LOG_WARN, "Metadata and Descriptor Flush Start\n");
  mdcudfsr_clear_all_clusters(mnt);
  return true;
}

bool may_move_track(const mdcudfsr_mount* mnt) {
  if (mnt->current_disc + 1 >= mnt->num_discs) return false;
  if (!mnt->track_move_running) return true;
  VFS_LOG(KEL_LOG_WARN, "flush inside a move to the next track stays on slot %d\n",
          static_cast<int>(mnt->current_disc));
  return false;
}

int move_track(mdcudfsr_mount* mnt, vfs_context_t ctx, bool write_next) {
  mnt->track_move_running = 1;
  const int err = write_next ? mdcudfsr_mdcfsctrl_write_next_track(mnt, ctx)
                             : mdcudfsr_mdcfsctrl_mount_next_track(mnt, ctx, nullptr);
  mnt->track_move_running = 0;
  return err;
}

void log_elapsed(const Frame& f) {
  timespec end{};
  nanotime(&end);
  long sec = end.tv_sec - f.start.tv_sec;
  long nsec = end.tv_nsec - f.start.tv_nsec;
  if (nsec < 0) {
    --sec;
    nsec += 1000000000L;
  }
  VFS_LOG(KEL_LOG_DEBG, "( uint32_t )end.tv_sec=%u\n", static_cast<uint32_t>(sec));
  VFS_LOG(KEL_LOG_DEBG, "( uint32_t )end.tv_nsec=%u\n", static_cast<uint32_t>(nsec));
}

}  // namespace vfs_flush
