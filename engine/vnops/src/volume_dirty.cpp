// Volume dirty marking, the all-erase flush and the volume buffer flush.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_volume_dirty.h"

#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/scsi_service.h"
#include "kelagent/metacache.h"
#include "kelagent/vfam_client.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_backtrack.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_track_requests.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>

namespace {

constexpr std::uint32_t kNoEdit = 0x40;
constexpr std::uint32_t kRollbackRequested = 0x20;
constexpr std::uint32_t kV = cm_attr::k1500Value;
constexpr std::uint64_t kFlushWindowUs = 5000000;

template <class T>
void put(std::uint8_t* record, std::uint32_t at, T v) {
  std::memcpy(record + at, &v, sizeof v);
}
template <class T>
T get(const std::uint8_t* record, std::uint32_t at) {
  T v;
  std::memcpy(&v, record + at, sizeof v);
  return v;
}

int refuse(mdcudfsr_mount* mnt, int err) {
  mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
  return err;
}

void drop_fs_cache(mdcudfsr_mount* mnt) {
  mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
  mnt->fsmanage_handle = -1;
  mdcudfsr_metacache_fsmanage_delete(mnt, mnt->root_node);
}

// The 1500h rollback fields for policy 4 (rollback point) or 5 (initial state).
int write_rollback_data(mdcudfsr_mount* mnt, std::uint8_t policy, std::uint8_t volume_type, vfs_context_t ctx) {
  std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE];
  if (mdcudfsr_read_attribute(mnt, r, sizeof r, 1, 0, ctx, 0) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Failed to READ ATTRIBUTE for rollback data err =  %d. \n", 5);
    return KEL_EIO;
  }
  if (policy == MDCUDFSR_FLUSH_ALL_ERASE) {
    r[kV + 28] = volume_type ? 1 : 0;
    put<std::uint16_t>(r, kV + cm1500::kRollbackVsn, 1);
    put<std::uint64_t>(r, kV + cm1500::kRollbackAddress, 0);
  } else {
    put<std::uint16_t>(r, kV + cm1500::kRollbackVsn, mnt->vds.pvd.vds_num);
    put<std::uint64_t>(r, kV + cm1500::kRollbackAddress,
                       std::uint64_t{mnt->rollback_fe_lsn} << 32 | mnt->rollback_fsd_lsn);
  }
  put<std::uint32_t>(r, kV + cm1500::kPosition, 0xFFFFFFFFu);
  mnt->attr_update_mask |= 0x080;  // the writer recomputes the check value
  if (mdcudfsr_write_attribute(mnt, r, sizeof r, 1, ctx, 0) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Failed to WRITE ATTRIBUTE for rollback data err =  %d. \n", 5);
    return KEL_EIO;
  }
  return 0;
}

int finalize_check(mdcudfsr_mount* mnt, std::uint8_t policy, vfs_context_t ctx) {
  const bool check = !mnt->is_rewritable && (policy == MDCUDFSR_FLUSH_INITIALIZE ||
                                             (policy == MDCUDFSR_FLUSH_FULL && (mnt->mount_ext_flags & kRollbackRequested)));
  if (!check) return 0;
  const int err = mdcudfsr_check_finalize_disc(mnt, ctx);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

}  // namespace

int mdcudfsr_mdcfsctrl_mark_volume_dirty(mdcudfsr_mount* mnt, const mdcfs_mark_volume_dirty* record,
                                         vfs_context_t ctx) {
  if (!mnt || !record) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "mark_volume_dirty");
    return KEL_EINVAL;
  }
  const std::uint8_t policy = record->FsFlushPolicy;
  if (policy >= MDCUDFSR_FLUSH_FULL && policy <= MDCUDFSR_FLUSH_ALL_ERASE) {
    mnt->mount_ext_flags |= kNoEdit;
    drop_fs_cache(mnt);
  }
  if (policy > MDCUDFSR_FLUSH_CLOSE) {
    VN_LOGK(KEL_LOG_ERR, "Illegal Flush Plicy(%d)", policy);
    return refuse(mnt, KEL_EINVAL);
  }
  if (policy > mnt->flush_policy) mnt->flush_policy = policy;
  if (int err = finalize_check(mnt, policy, ctx)) return refuse(mnt, err);
  if (policy == MDCUDFSR_FLUSH_ALL_ERASE || policy == MDCUDFSR_FLUSH_ROLLBACK) {
    if (policy == MDCUDFSR_FLUSH_ALL_ERASE) VN_LOG(KEL_LOG_WARN, record->VolumeType ? "VolumeType 1\n" : "VolumeType 0\n");
    if (int err = write_rollback_data(mnt, policy, record->VolumeType, ctx)) return refuse(mnt, err);
  }
  if (mnt->current_disc != mnt->loaded_slot)
    mdcudfsr_change_disc_and_refresh_data(
        mnt, ctx, policy == MDCUDFSR_FLUSH_FULL && (mnt->mount_ext_flags & kRollbackRequested) ? 1 : 0);
  if (int err = mdcudfsr_update_session_Ex(mnt, ctx, MDCUDFSR_SESSION_OPEN)) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return refuse(mnt, err);
  }
  if (policy == MDCUDFSR_FLUSH_PARTIAL && mdcudfsr_counters_below_limit(mnt)) {
    if (int err = mdcudfsr_unlink_vds(mnt, ctx)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return refuse(mnt, err);
    }
  }
  return 0;
}

namespace {

void send_all_erase(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  pxo_auto_format_request_t rq{};
  std::memcpy(&rq.request_time, mnt->vds.pvd.volset_id + 1, 8);
  rq.all_erase = 1;
  rq.request_serial = mnt->avdp.tag.serial_num;
  rq.all_erase_nwa = mnt->is_rewritable ? mnt->next_writable_address : 0;
  const std::uint32_t access = mnt->mntinfo.AccessMode;
  std::memcpy(rq.all_erase_info.bytes, &access, 4);
  rq.attribute_data = reinterpret_cast<std::uintptr_t>(mnt->attr_record + MDCUDFSR_CM_CACHE_OFFSET);
  rq.volume_type = static_cast<std::uint8_t>(mnt->mntinfo.VolumeTypeAndInformationVersion >> 4);
  rq.drive_verify = mnt->verify_mode;
  if (int err = VNOP_IOCTL(mnt->devvp, PXOIOAUTOFORMATREQUEST, reinterpret_cast<char*>(&rq), 0, ctx))
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
}

// The descriptors of the erased disc read again; the first failure.
int reread_structures(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  int err = mnt->is_rewritable ? mdcudfsr_read_avdp_RE(mnt, ctx, 0, 0, nullptr)
                               : mdcudfsr_read_vds(mnt, ctx, 1, 0, 0, nullptr);
  std::uint32_t soft = 0;
  if (!err) err = mdcudfsr_check_vds_structure(mnt, &soft, ctx);
  if (err && err != KEL_EROFS) return err;
  if (mnt->vds.lvd.lb_size) mnt->logical_block_size = mnt->vds.lvd.lb_size;
  buf_invalidateblks(mnt->devvp, 0, 0, 0);
  err = mdcudfsr_read_lvid(mnt, ctx, 1, 0, 0, 0);
  if (!err) err = mdcudfsr_check_lvid_structure(mnt, ctx);
  if (err && err != KEL_EROFS) return err;
  return mdcudfsr_start_stop_unit(mnt->devvp, 0, ctx);
}

// 1501h-1504h of the erased volume.
int update_capacity_attributes(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE];
  if (mdcudfsr_read_attribute(mnt, r, sizeof r, 1, 0, ctx, 0) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", 5);
    return KEL_EIO;
  }
  std::uint32_t total = 0, free_blocks = 0;
  mdcudfsr_get_volume_size_info(mnt, ctx, &total, &free_blocks, nullptr, nullptr, 0);
  const std::uint64_t bs = mnt->logical_block_size;
  const struct {
    int index;
    std::uint64_t value;
    std::uint32_t bit;
  } u64s[] = {{8, total * bs, 0x100}, {9, free_blocks * bs, 0x200}};
  for (const auto& f : u64s) {
    const std::uint32_t at = cm_attr::kOffsets[f.index] + 5;
    if (get<std::uint64_t>(r, at) == f.value) continue;
    put<std::uint64_t>(r, at, f.value);
    mnt->attr_update_mask |= f.bit;
  }
  const std::uint32_t at1503 = cm_attr::kOffsets[10] + 5, at1504 = cm_attr::kOffsets[11] + 5;
  if (get<std::uint32_t>(r, at1503) != 0) put<std::uint32_t>(r, at1503, 0), mnt->attr_update_mask |= 0x400;
  if (get<std::uint32_t>(r, at1504) != 1) put<std::uint32_t>(r, at1504, 1), mnt->attr_update_mask |= 0x800;
  if (mdcudfsr_write_attribute(mnt, r, sizeof r, 1, ctx, 0) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Failed to WRITE ATTRIBUTE for rollback data err =  %d. \n", 5);
    return KEL_EIO;
  }
  return 0;
}

}  // namespace

int mdcudfsr_flush_all_erase(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  const bool was_open = !(mnt->lvid.integrity_type & 1);
  int result = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    result = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 0);
    if (result)
      VN_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", result);
    else
      send_all_erase(mnt, ctx);
  }
  if (!result) result = reread_structures(mnt, ctx);
  if (!result) result = update_capacity_attributes(mnt, ctx);
  if (!result) result = mdcudfsr_check_media_resources(mnt, 0, ctx, nullptr);
  if (result) VN_LOGK(KEL_LOG_ERR, "err=%d\n", result);
  if (was_open) {
    std::uint32_t zero = 0;
    VNOP_IOCTL(mnt->devvp, PXOIONOP107, reinterpret_cast<char*>(&zero), 0, ctx);
  }
  return result;
}

int mdcudfsr_privileged_exit_initialize(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->flush_policy = MDCUDFSR_FLUSH_INITIALIZE;
  int err = mdcudfsr_flush_all_erase(mnt, ctx);
  if (!err && mnt->is_rewritable) err = mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mnt, ctx);
  std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE];
  if (!err) err = mdcudfsr_read_attribute(mnt, r, sizeof r, 1, 0, ctx, 0);
  if (!err) {
    const std::uint32_t word = mdcudfsr_vuvi_encode(mnt->current_disc, mnt->metadata_file_loc);
    if (get<std::uint32_t>(r, kV + cm1500::kPosition) != word) {
      put<std::uint32_t>(r, kV + cm1500::kPosition, word);
      mnt->attr_update_mask |= 0x080;
    }
    err = mdcudfsr_write_attribute(mnt, r, sizeof r, 1, ctx, 0);
  }
  mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
  return err;
}

int mdcudfsr_mdcfsctrl_flush_volume_buffers(mdcudfsr_mount* mnt, const std::uint32_t* record, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  if (mdcudfsr_check_vfamuseragent_for_node(mnt) == 0) return 0;
  const std::uint32_t flags = record ? *record : 0;
  VN_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_flush_buffers flags=%d\n", static_cast<int>(flags));
  mnt->packed_flush_busy = 1;
  int r = mdcudfsr_vfam_flush_buffers(mnt, flags);
  mnt->packed_flush_busy = 0;
  VN_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_flush_buffers ret=%d\n", r);
  if (r != KEL_ENOINFO) {
    if (r) VN_LOG(KEL_LOG_ERR, "Metadata flush triggered by FSCTL... failed with err=%d\n", r);
    return r;
  }
  timespec ts{};
  nanotime(&ts);
  const std::uint64_t now = static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000);
  bool busy = mnt->privileged_mode || mnt->flush_state == 2 || mnt->packed_flush_busy || mnt->backtrack_thread;
  if (!busy && !(flags & 1)) busy = now - mnt->last_partial_flush_time < kFlushWindowUs;
  if (busy) return KEL_EBUSY;
  r = 0;
  if (mnt->metadata_changed) {
    mnt->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
    r = mnt->is_rewritable ? mdcudfsr_flush_metadata_and_descriptor_re(mnt, 1, 1, 0, ctx, 0, 0)
                           : mdcudfsr_flush_metadata_and_descriptor(mnt, 1, 1, 0, ctx, 0);
    mnt->flush_policy = MDCUDFSR_FLUSH_POSTPONE;
    if (mnt->delay_guard) mdcudfsr_system_guard_disc_change(mnt, ctx);
    if (r) VN_LOG(KEL_LOG_ERR, "Metadata flush triggered by FSCTL... failed with err=%d\n", r);
  }
  VN_LOG(KEL_LOG_INFO, "err=%d", r);
  return r;
}
