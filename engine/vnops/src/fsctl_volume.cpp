// Volume items and settings of the file-system controls, and the per-file
// options.
#include "kelvnops/mdcudfsr_fsctl_volume.h"

#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "fsctl_common.h"
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_names.h"

#include <cstring>
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
  int err = 28;
  if (free_count >= wanted) err = mdcudfsr_cache_set_reserved_object_count(mnt, rec->NumberOfFiles,
                                                                          rec->NumberOfDirectories);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  mdcudfsr_cache_unlock_udf_obj_creation(mnt);
  return err;
}

int mdcudfsr_mdcfsctrl_get_volume_fs_version(mdcudfsr_mount* mnt, MDCFS_VOLUME_FS_VERSION* rec, vfs_context_t) {
  if (!mnt || !rec) return 22;
  rec->ClientVersion = mnt->fs_version;
  rec->EngineVersion = MDCUDFSR_ENGINE_FS_VERSION;
  return 0;
}

int mdcudfsr_mdcfsctrl_set_volume_fs_version(mdcudfsr_mount* mnt, std::uint8_t* rec, vfs_context_t ctx) {
  if (!mnt || !rec) return 22;
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

// ---------------------------------------------------------------- volume label

namespace {

bool forbidden_label_char(std::uint16_t c) {
  if (c < 32) return true;
  return c < 256 && std::strchr("\"*/:<>?\\|\x7F", static_cast<int>(c)) != nullptr;
}

// 22 for a name the label refuses.
int check_label(const std::uint16_t* units, std::uint32_t count) {
  char shown[64] = {};
  for (std::uint32_t i = 0; i < count && i < 63; ++i) shown[i] = static_cast<char>(units[i] < 128 ? units[i] : '?');
  if (units[0] == '.') {
    VN_LOGK(KEL_LOG_ERR, "invalid string '%s'\n", shown);
    return 22;
  }
  for (std::uint32_t i = 0; i < count && units[i]; ++i) {
    if (!forbidden_label_char(units[i])) continue;
    VN_LOGK(KEL_LOG_ERR, "file name '%s' contains '%c'(%0x)\n", shown, static_cast<char>(units[i]),
            static_cast<unsigned>(units[i]));
    return 22;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_set_logical_volume_identifier(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec,
                                                    vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("volume_label");
  if (!rec->NameLen) return refuse("volume_label->NameLen");
  std::uint16_t units[64] = {};
  std::memcpy(units, rec->Name, rec->NameLen < 128 ? rec->NameLen : 128);
  const std::uint32_t count = rec->NameLen > 126 ? 63 : rec->NameLen / 2u;
  if (int err = check_label(units, count)) return err;
  std::uint8_t dstring[128] = {};
  std::uint32_t len = 127;
  if (int err = mdcudfsr_unicode_utf162udf(units, static_cast<std::int32_t>(count), dstring, &len)) {
    VN_LOGK(KEL_LOG_ERR, "unicode compression err=%d\n", err);
    return err;
  }
  if (len > 127) return 22;
  dstring[127] = static_cast<std::uint8_t>(len);
  std::memcpy(mnt->vds.lvd.logvol_id, dstring, 128);
  std::memcpy(mnt->fsd.logvol_id, dstring, 128);
  std::memcpy(mnt->logvol_id, dstring, 128);
  mnt->logvol_id_len = len;
  mdcudfsr_set_volume_name(mnt, ctx);
  if (int err = open_session_for_change(mnt, ctx)) return err;
  mnt->label_changed = 1;
  return 0;
}

namespace {

// The label kept in attribute 0803h; false when the attributes cannot be read.
bool label_from_cm(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec, vfs_context_t ctx) {
  pxo_attribute_data_t cm{};
  if (mdcudfsr_read_attribute(mnt, &cm, sizeof cm, 1, 1, ctx, 0)) return false;
  const auto* at = reinterpret_cast<const std::uint8_t*>(&cm) + cm_attr::kOffsets[3] + 5;
  std::memset(rec, 0, sizeof *rec);
  std::uint32_t n = 0;
  for (; n < 63; ++n) {
    std::uint16_t u = 0;
    std::memcpy(&u, at + 2 * n, 2);
    if (!u) break;
    rec->Name[n] = u;
  }
  rec->NameLen = static_cast<std::uint8_t>(2 * n);
  return true;
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_logical_volume_identifier(mdcudfsr_mount* mnt, MDCFS_VOLUME_LABEL* rec,
                                                    vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("volume_label");
  if (label_from_cm(mnt, rec, ctx)) return 0;
  VN_LOGK(KEL_LOG_WARN, "could not read Logical Volume ID from CM. read from FSD.\n");
  const std::uint8_t* id = mnt->vds.lvd.logvol_id;
  const std::uint32_t len = id[127] < 127 ? id[127] : 127;
  std::uint16_t units[128] = {};
  const std::uint32_t n = len ? mdcudfsr_cs0_to_unicode(len, id, units) : 0;
  if (n == 0xFFFFFFFFu) {
    VN_LOGK(KEL_LOG_ERR, "could not uncompress unicode - invalid compressionID=%d", id[0]);
    return 22;
  }
  std::memset(rec, 0, sizeof *rec);
  const std::uint32_t bytes = 2 * n < 126 ? 2 * n : 126;
  std::memcpy(rec->Name, units, bytes);
  rec->NameLen = static_cast<std::uint8_t>(bytes);
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
    return 22;
  }
  if (!mnt) {
    *rec = -1;
    VN_LOGK(KEL_LOG_ERR, "mdcudfsrmp NULL %d \n", -1);
    return 0;
  }
  *rec = mnt->cachefile_state;
  return 0;
}

// ---------------------------------------------------------------- cartridge status

int mdcudfsr_mdcfsctrl_get_cartridge_svg_status(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t) {
  if (!mnt || !rec) return 22;
  *rec = mnt->svg_status ? 1 : 0;
  return 0;
}

namespace {

// The status byte of a finalized disc goes to the cartridge memory, written
// with the drive's forced-command switch on.
int write_svg_status_to_cm(mdcudfsr_mount* mnt, std::uint8_t value, vfs_context_t ctx) {
  pxo_attribute_data_t cm{};
  int err = mdcudfsr_read_attribute(mnt, &cm, sizeof cm, 1, 1, ctx, 0);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", err);
    return 5;
  }
  reinterpret_cast<std::uint8_t*>(&cm)[cm_attr::k1500Value + MDCUDFSR_CM_SVG_STATUS_AT] = value;
  mnt->attr_update_mask |= 0x080;
  set_cartridge_svg_flg(true);
  err = mdcudfsr_write_attribute(mnt, &cm, sizeof cm, 1, ctx, 0);
  set_cartridge_svg_flg(false);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "Failed to WRITE ATTRIBUTE err =  %d. \n", err);
    return 5;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_set_cartridge_svg_status(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx) {
  if (!mnt || !rec) return 22;
  mnt->svg_status = *rec ? 1 : 0;
  const std::uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags;
  if (reasons == MNTINFO_UNSET || !(reasons & WRPROT_FINALIZED) || mdcudfsr_is_rewritable_medium(mnt->medium_type))
    return 0;
  return write_svg_status_to_cm(mnt, mnt->svg_status, ctx);
}

int mdcudfsr_mdcfsctrl_get_performance(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("defect_position");
  std::uint32_t sector = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, *rec, nullptr);
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOCGETPERFORMANCE, reinterpret_cast<char*>(&sector), 0, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  const std::uint32_t start = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  *rec = (sector == 0xFFFFFFFFu || sector < start) ? 0xFFFFFFFFu : sector - start;
  return 0;
}

// ---------------------------------------------------------------- file codes

int mdcudfsr_mdcfsctrl_set_file_control_option(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                               vfs_context_t) {
  if (!mnt || !node || !rec) return 22;
  if (!node->proxy) {
    VN_LOGK(KEL_LOG_INFO, "SET FILE CONTROL OPTION is invalid \n");
    return 22;
  }
  std::uint32_t options = *rec;
  if (mnt->medium_type == 0xF1 || mnt->medium_type == 0xF2) options &= ~0x30000u;
  const int err = mdcudfsr_vfam_ioctl(node, VFAM_IOCTL_MASKED_CODE, &options);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_invalidate_cache(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                        vfs_context_t) {
  if (!mnt || !node || !rec) return 22;
  if (!(node->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "( mdcudfsrcnp->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL )");
    return 22;
  }
  return mdcudfsr_cache_invalidate_cache(node, static_cast<int>(*rec));
}

int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_mount*, mdcudfsr_cache_node* node, std::uint32_t* rec,
                                           vfs_context_t) {
  if (!node || !rec) return 22;
  return mdcudfsr_mdcfsctrl_set_file_visibility(node, *rec ? 1 : 0);
}

int mdcudfsr_mdcfsctrl_move_directory(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void* rec, vfs_context_t ctx) {
  if (!mnt || !node || !rec) return 22;
  const char* name = static_cast<const char*>(rec);
  if (strnlen(name, MDCFS_MOVE_NAME_SIZE) == MDCFS_MOVE_NAME_SIZE) {
    VN_LOGK(KEL_LOG_ERR, "new name is not terminated\n");
    return 22;
  }
  const char* path = name + MDCFS_MOVE_NAME_SIZE;
  if (strnlen(path, MDCFS_MOVE_PATH_BOUND) == MDCFS_MOVE_PATH_BOUND) {
    VN_LOGK(KEL_LOG_ERR, "destination path is longer than %u bytes\n", MDCFS_MOVE_PATH_BOUND - 1);
    return 36;
  }
  VN_LOGK(KEL_LOG_INFO, "node=%s -> %s/%s", mdcudfsr_node_name(node), path, name);
  return mdcudfsr_vnop_move(mnt, node, path, name, ctx);
}
