// Volume items and settings of the file-system controls: the filter's mount
// information, reserved creations, the file-system version, the size figures,
// protection from change and the volume's settings.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"

#include "fsctl_common.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_volume_attr.h"

#include <mutex>

using namespace kelvnops;

int mdcudfsr_mdcfsctrl_notify_filter_mount_information(mdcudfsr_mount* mnt, MDCFS_FILTER_MOUNT_INFORMATION* rec,
                                                      vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("mount_info");
  mdcudfsr_update_mntinfo_mntstatus(mnt, rec->MountStatus, 1, ctx);
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, rec->WriteProtectReasonFlags, 1, ctx);
  const MDCFS_MOUNT_INFORMATION& mi = mnt->mntinfo;
  if (mi.WriteProtectReasonFlags && mi.WriteProtectReasonFlags != MNTINFO_UNSET)
    mdcudfsr_set_readonly_mount(mnt, mi.MountStatus, static_cast<int>(mi.WriteProtectReasonFlags), ctx);
  mdcudfsr_send_mntinfo(mnt, ctx);
  {
    std::lock_guard<std::mutex> lk(mnt->filter_mutex);
    mnt->filter_notified = 1;
  }
  mnt->filter_cond.notify_all();
  return 0;
}

int mdcudfsr_mdcfsctrl_reserve_file_creation(mdcudfsr_mount* mnt, MDCFS_RESERVE_FILE_CREATION* rec,
                                            vfs_context_t) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("reserve_info");
  mdcudfsr_cache_lock_udf_obj_creation(mnt, MDCUDFSR_WAIT_FOREVER);
  std::uint32_t free_count = 0;
  const int ferr = mdcudfsr_cache_get_free_object_count(mnt, 0, &free_count);
  if (ferr) VN_LOGK(KEL_LOG_INFO, "failed to get free object count with status=%d\n", ferr);
  const std::uint64_t wanted = std::uint64_t{rec->NumberOfFiles} + rec->NumberOfDirectories;
  int err = KEL_ENOSPC;
  if (free_count >= wanted) err = mdcudfsr_cache_set_reserved_object_count(mnt, rec->NumberOfFiles,
                                                                          rec->NumberOfDirectories);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  mdcudfsr_cache_unlock_udf_obj_creation(mnt);
  return err;
}

int mdcudfsr_mdcfsctrl_get_volume_fs_version(mdcudfsr_mount* mnt, MDCFS_VOLUME_FS_VERSION* rec, vfs_context_t) {
  if (!mnt || !rec) return KEL_EINVAL;
  rec->ClientVersion = mnt->fs_version;
  rec->EngineVersion = MDCUDFSR_ENGINE_FS_VERSION;
  return 0;
}

int mdcudfsr_mdcfsctrl_set_volume_fs_version(mdcudfsr_mount* mnt, std::uint8_t* rec, vfs_context_t ctx) {
  if (!mnt || !rec) return KEL_EINVAL;
  mnt->fs_version = *rec;
  const int err = mdcudfsr_update_session(mnt, ctx, MDCUDFSR_SESSION_OPEN);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_get_statfs_sizeinfo(mdcudfsr_mount* mnt, MDCFS_STATFS_SIZEINFO* rec, vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("statfs_sizeinfo");
  std::uint32_t total = 0, free_blocks = 0;
  const int err = mdcudfsr_get_volume_size_info(mnt, ctx, &total, &free_blocks, nullptr, nullptr, 0);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  rec->BlockSize = mnt->logical_block_size;
  rec->Reserved1 = 0x10000;
  rec->TotalBlocks = total;
  rec->FreeBlocks = free_blocks;
  rec->Reserved2 = free_blocks;
  return 0;
}

// ---------------------------------------------------------------- protection

namespace {

int flush_for_protection(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->flush_policy = 1;
  const int err = mnt->is_rewritable ? mdcudfsr_flush_metadata_and_descriptor_re(mnt, 1, 1, 0, ctx, 0, 0)
                                     : mdcudfsr_flush_metadata_and_descriptor(mnt, 1, 1, 0, ctx, 0);
  mnt->flush_policy = 0;
  if (mnt->delay_guard) mdcudfsr_system_guard_disc_change(mnt, ctx);
  return err;
}

}  // namespace

int mdcudfsr_mdcfsctrl_protect_volume_from_change(mdcudfsr_mount* mnt, void*, vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  const std::int64_t pid = vfs_context_pid(ctx);
  if (mnt->protecting_pid && mnt->protecting_pid != pid) {
    VN_LOGK(KEL_LOG_ERR, "PROTECT_VOLUME_FROM_CHANGE is called but another process protected.\n");
    return 1;
  }
  if (mnt->privileged_mode) {
    VN_LOGK(KEL_LOG_ERR, "PROTECT_VOLUME_FROM_CHANGE is called but PRIVILEGED_MODE.\n");
    return 1;
  }
  if (vfs_flags(mnt->mp) & MNT_RDONLY) {
    VN_LOGK(KEL_LOG_INFO, "Volume is already read only.\n");
    return 0;
  }
  if (int err = flush_for_protection(mnt, ctx)) {
    VN_LOGK(KEL_LOG_ERR, "flush_metadata_and_descriptor error. err = %d\n", err);
    return err;
  }
  const std::uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags;
  if (reasons && reasons != MNTINFO_UNSET) {
    VN_LOGK(KEL_LOG_INFO, "Volume is already read only.\n");
    return 0;
  }
  mdcudfsr_set_readonly_mount(mnt, mnt->mntinfo.MountStatus, static_cast<int>(MDCUDFSR_WRPROT_PROTECTED), ctx);
  mnt->protecting_pid = pid;
  return 0;
}

int mdcudfsr_mdcfsctrl_disable_qlicon_setting(mdcudfsr_mount* mnt, void* rec, vfs_context_t) {
  if (!rec) return refuse("disable_qlicon");
  if (!mnt) return refuse("mdcudfsrmp");
  mnt->quicklook_refusal = 0;
  return 0;
}

int mdcudfsr_mdcfsctrl_prevent_slaccess_setting(mdcudfsr_mount* mnt, void* rec, vfs_context_t) {
  if (!rec) return refuse("prevent_slaccess");
  if (!mnt) return refuse("mdcudfsrmp");
  mnt->mds_refusal = 0;
  return 0;
}

int mdcudfsr_mdcfsctrl_get_cachefile_state(mdcudfsr_mount* mnt, std::int32_t* rec, vfs_context_t) {
  if (!rec) {
    VN_LOGK(KEL_LOG_ERR, "cachefile_state NULL status EINVAL \n");
    return KEL_EINVAL;
  }
  if (!mnt) {
    *rec = -1;
    VN_LOGK(KEL_LOG_ERR, "mdcudfsrmp NULL %d \n", -1);
    return 0;
  }
  *rec = mnt->cachefile_state;
  return 0;
}
