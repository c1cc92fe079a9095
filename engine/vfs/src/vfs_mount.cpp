// The volume mount: set-up, the file-system phase, then the final flush,
// the version flag, the published record and the decision whether the
// volume stays mounted.
#include "drive/device_control.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelhost/kern.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_calls.h"
#include "kelvfs/mdcudfsr_mount_fs.h"
#include "kelvfs/mdcudfsr_mount_setup.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "drive/cm_data.h"
#include "udf/udf_byte_order.h"
#include "udf/udf_names.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"
#include "vfs_log.h"
#include "vfs_mount_internal.h"

#include <cstring>

namespace {

// The immediate flush after a reformat, a new track or an
// auto-format.
void flush_now(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->lvid_open = 0;
  mnt->flush_policy = 1;
  const int err = mnt->is_rewritable ? mdcudfsr_flush_metadata_and_descriptor_re(mnt, 1, 1, 0, ctx, 0, 1)
                                     : mdcudfsr_flush_metadata_and_descriptor(mnt, 1, 1, 0, ctx, 1);
  mnt->flush_policy = 0;
  if (err) VFS_LOG(KEL_LOG_ERR, "set lvid integrity type failed, closing (Status:%d)\n", err);
}

// A mounted volume settled: a stale cache file deleted, the modes logged, the
// read buffer set up, an immediate flush where due.
int settle_mounted(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const std::uint32_t f = mnt->mount_ext_flags;
  if (mnt->fs_cache_mode != 1 && !(f & (kRollback | kRollbackPoint)) && mnt->current_disc != mnt->cm_last_written_slot) {
    VFS_LOG(KEL_LOG_WARN, "Different value CM(%d) and lastwrittenslot(%d). Delete FScache.\n",
            static_cast<int>(mnt->cm_last_written_slot), static_cast<int>(mnt->current_disc));
    mdcudfsr_metacache_fsmanage_delete(mnt, nullptr);
  }
  if (mnt->is_rewritable && (f & kRollback)) mnt->mntinfo.WriteProtectReasonFlags &= ~WRPROT_WORN_OUT;
  const int volume_type = mnt->mntinfo.VolumeTypeAndInformationVersion >> 4;
  VFS_LOG(KEL_LOG_INFO, "VolumeType %d\n", volume_type);
  const bool parity = volume_type == 0;
  const bool large = mnt->medium_type == 0xF1 || mnt->medium_type == 0xF2;
  VFS_LOG(KEL_LOG_INFO,
          "parity mode %s. verify mode %s. WriteClusterBlocks=%d. ParityInClusterBlocks=%d. DiscFullMargin=%d.\n",
          parity ? "on" : "off", mnt->verify_mode ? "on" : "off", parity ? 0x10200 : 0x4000, parity ? 512 : 0,
          large ? 0x180000 : 0x80000);
  int err = mdcudfsr_cluster_read_buff_mount(mnt, mnt->product_id);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_cluster_read_buf_mount err = %d\n", err);
    return err;
  }
  std::uint32_t flag[3] = {0, 0, 1};
  ioctl(mnt, PXOIOGETAUTOFORMATTEDFLAG, flag, ctx);
  if (flag[0] || mnt->reformatted || mnt->new_track) flush_now(mnt, ctx);
  mnt->mounting_pid = vfs_context_pid(ctx);
  return 0;
}

#define FSFV_LOG(level, ...) \
  KEL_LOG_AS("mdcudfsr_set_historical_minimum_fsfv", (level), KEL_MOD_CORE, KEL_MARK_NOTE, __VA_ARGS__)

bool version_above_403f(std::uint8_t high, std::uint8_t low) { return high > 0x40 || (high == 0x40 && low > 0x3F); }

// The historical minimum version of an entry that carries 80 bytes of extended attributes: byte 290
// of its block.
void fsfv_from_block(mdcudfsr_mount* mnt, std::uint32_t lbn, vfs_context_t ctx) {
  std::uint8_t* buf = nullptr;
  std::uint32_t off = 0;
  int err = mdcudfsr_read_cluster_with_lbn(mnt, ctx, &buf, mdcudfsr_lbn_addr{lbn, MDCUDFSR_PARTITION_PHYSICAL}, 0,
                                           nullptr, 0, &off);
  if (!err && (!buf || off > MDCUDFSR_IMAGE_SIZE - 2048)) err = KEL_EIO;
  if (!err) {
    desc_tag tag{};
    std::memcpy(&tag, buf + off, sizeof tag);
    if (le16toh(tag.id) != 266) err = KEL_EINVAL;
  }
  if (err) {
    FSFV_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return;
  }
  mnt->historical_min_fsfv = buf[off + 290];
}

// The historical minimum file-system version: from the application for a
// new volume, from the cartridge memory, or from the partition's entry.
void set_historical_minimum_fsfv(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mnt->mount_ext_flags & 0xC00A0u) {
    const std::uint32_t v = get_application_version();
    mnt->historical_min_fsfv = version_above_403f(static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v));
    return;
  }
  if (mnt->disc_status == 2) {
    std::uint8_t record[MDCUDFSR_CM_RECORD_SIZE] = {};
    const int err = mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 0, ctx, 1);
    if (err) FSFV_LOG(KEL_LOG_ERR, "READ ATTRIBUTE failed. err = %d\n", err);
    else mnt->historical_min_fsfv = record[cm_attr::k1500Value + cm1500::kVersion];
    return;
  }
  const mdcudfsr_partition_entry& e = mnt->part[mnt->part[0].length ? 0 : 1];
  if (e.efe.l_ea != 80) {
    const std::uint8_t* s = e.efe.imp_id.id_suffix;
    mnt->historical_min_fsfv = version_above_403f(s[6], s[7]);
    return;
  }
  fsfv_from_block(mnt, e.efe_block, ctx);
}

// The name of the volume for the log line.
void volume_label(mdcudfsr_mount* mnt, char* out, std::size_t size) {
  std::memset(out, 0, size);
  std::uint8_t utf8[VFSATTR_VOL_NAME_SIZE + 1] = {};
  std::uint64_t len = VFSATTR_VOL_NAME_SIZE;
  const std::uint8_t* id = mnt->fsd.logvol_id;
  int err = mdcudfsr_unicode_udf2utf8(id, id[127] < 127 ? id[127] : 127, utf8, &len);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Compression Unicode to UTF8 failed err:%d\n", err);
    return;
  }
  std::size_t n = 0;
  if ((err = utf8_normalizestr(utf8, static_cast<std::size_t>(len), reinterpret_cast<std::uint8_t*>(out), &n,
                               size - 1, 0)) != 0) {
    VFS_LOG(KEL_LOG_ERR, "utf8_normalizestr to NFC failed err:%d\n", err);
    std::memset(out, 0, size);
    return;
  }
  out[n] = 0;
}

void format_line(mdcudfsr_mount* mnt) {
  const timestamp& f = mnt->vds.pvd.time;
  const regid& fi = mnt->vds.pvd.imp_id;
  const timestamp& l = mnt->lvid.recording_date_time;
  regid li{};
  const std::uint32_t parts = mnt->lvid.num_partitions;
  if (parts <= (2048 - sizeof(logvol_integrity_desc) - sizeof(regid)) / 8)
    li = udf_order::lvid_imp_use(mnt->lvid, parts)->imp_use_id;
  auto zone = [](const timestamp& t) {
    const int z = t.type_tz & 0xFFF;
    return z & 0x800 ? z - 0x1000 : z;
  };
  VFS_LOG(KEL_LOG_INFO,
          "Fmt: %04d/%02d/%02d %02d:%02d:%02d(TTZ=%d:%d) OS=%02d/%02d AppVer=0x%02x%02x LastRec: %04d/%02d/%02d "
          "%02d:%02d:%02d(TTZ=%d:%d) OS=%02d/%02d AppVer=0x%02x%02x\n",
          f.year, f.month, f.day, f.hour, f.minute, f.second, f.type_tz >> 12, zone(f), fi.id_suffix[0],
          fi.id_suffix[1], fi.id_suffix[6], fi.id_suffix[7], l.year, l.month, l.day, l.hour, l.minute, l.second,
          l.type_tz >> 12, zone(l), li.id_suffix[0], li.id_suffix[1], li.id_suffix[6], li.id_suffix[7]);
}

// The mount's closing log lines: slot, medium identity, serial, volume name;
// the medium's unique id is kept.
void final_record(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::uint32_t si[4] = {};
  int err = ioctl(mnt, PXOIOCGETSLOTINFO, si, ctx);
  if (err) VFS_LOG(KEL_LOG_ERR, "PXOIOCGETSLOTINFO failed. err = %d\n", err);
  struct {
    std::uint8_t id[16];
    std::uint32_t length;
  } uid{{}, 14};
  if ((err = ioctl(mnt, PXOIOGETMEDIUMUNIQUEID, &uid, ctx)) != 0)
    VFS_LOG(KEL_LOG_ERR, "Slot:%d Get Medium Unique ID from INQUIRY failed. err = %d \n", static_cast<int>(si[0]), err);
  char serial[33] = {};
  if ((err = ioctl(mnt, PXOIOGETMEDIUMSERIALNUM, serial, ctx)) != 0)
    VFS_LOG(KEL_LOG_ERR, "failed to read attribute[ID:0401H]. err=%d\n", err);
  for (int i = 31; i >= 0 && (serial[i] == ' ' || serial[i] == 0); --i) serial[i] = 0;
  char label[VFSATTR_VOL_NAME_SIZE + 1];
  volume_label(mnt, label, sizeof label);
  const std::uint8_t* u = uid.id;
  VFS_LOG(KEL_LOG_INFO,
          "Mount Slot:%d. MediumUniqueID:%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x "
          "MediumSerialNumber:%s VolumeName:%s\n",
          static_cast<int>(si[0]), u[0], u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12],
          u[13], serial, label);
  format_line(mnt);
  std::memcpy(mnt->medium_unique_id, uid.id, sizeof mnt->medium_unique_id);
}

// A volume that is not mountable: unmounted with force.
int give_up(mount_t mp, mdcudfsr_mount* mnt, int err, vfs_context_t ctx) {
  if (mnt->fs_cache_mode != 1 && mnt->pending_error_report) mdcudfsr_report_error(mnt, 0, ctx);
  VFS_LOG(KEL_LOG_ERR, "force unmount\n");
  // An agent that has not opened its channel yet gives up its open, so that
  // it does not take a later mount's channel.
  if (!mnt->metacachedev || !mdcudfsr_metacache_is_opened(mnt->metacachedev)) FsCacheAgent_stop_unopened();
  if (err == 0 && mnt->mntinfo.AccessMode == 2) {
    const std::uint32_t old_status = mnt->mntinfo.MountStatus, old_reasons = mnt->mntinfo.WriteProtectReasonFlags;
    mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_DRIVER_ERROR, 0x80000u);
    mdcudfsr_send_mntinfo(mnt, ctx);
    VFS_LOG(KEL_LOG_ERR,
            "No error in RawMount. Mountstatus:0x%x->0x%x,WriteProtectReasonFlags:0x%x->0x%x\n", old_status,
            mnt->mntinfo.MountStatus, old_reasons, mnt->mntinfo.WriteProtectReasonFlags);
    err = KEL_EINVAL;
  }
  mdcudfsr_vfsop_unmount(mp, 1, ctx);
  return err == KEL_EROFS ? 0 : err;
}

// A rewritable volume whose discs keep no block beyond their reserve can
// take nothing: it is not reported writable but read-only, as a cartridge
// with no room left is (WRPROT_WORN_OUT).
void refuse_writes_without_capacity(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt->is_rewritable || mdcudfsr_rewritable_has_capacity(mnt) || (vfs_flags(mnt->mp) & MNT_RDONLY)) return;
  VFS_LOG(KEL_LOG_ERR, "no capacity beyond the reserve of each slot. Read Only\n");
  mdcudfsr_set_readonly_mount(mnt, 0, WRPROT_WORN_OUT, ctx);
}

// The mount completed: writes refused without capacity, the volume's size
// read (skipped for a rollback without edit).
int complete(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->mount_completed = 1;
  refuse_writes_without_capacity(mnt, ctx);
  if ((mnt->mount_ext_flags & (kRollback | kNoEdit)) == (kRollback | kNoEdit)) {
    VFS_LOG(KEL_LOG_INFO, "Skip get volume size. slot=%d\n", static_cast<int>(mnt->loaded_slot));
    return 0;
  }
  std::uint32_t total = 0, free_blocks = 0;
  const int err = mdcudfsr_get_volume_size_info(mnt, ctx, &total, &free_blocks, nullptr, nullptr, 1);
  if (err) {
    mnt->size_unknown = 1;
    VFS_LOG(KEL_LOG_ERR, "Get volume size information err.[%d] \n", err);
    return err;
  }
  mnt->total_blocks = total;
  mnt->free_blocks = free_blocks;
  mnt->size_unknown = 0;
  return 0;
}

// A mount that gives up with an error is published as not mountable
// (access mode 2), whatever status an earlier step left with access mode 0.
void mark_not_mountable(mdcudfsr_mount* mnt) {
  const MDCFS_MOUNT_INFORMATION& mi = mnt->mntinfo;
  if (mi.AccessMode == 2) return;
  mdcudfsr_set_mntinfo_state_silent(mnt, 2, mi.MountStatus ? mi.MountStatus : MNTSTATUS_UNKNOWN_VOLUME,
                                    mi.WriteProtectReasonFlags | WRPROT_READONLY);
}

// The end of a mount, successful or not: settle, log and publish the mount
// information, then complete or give up.
int finish(mount_t mp, mdcudfsr_mount* mnt, int err, bool phase2_ran, vfs_context_t ctx) {
  if (phase2_ran && err && err != KEL_EROFS) VFS_LOG(KEL_LOG_ERR, "Failed to do mount fs(%08X)\n", static_cast<unsigned>(err));
  if (phase2_ran && (!err || err == KEL_EROFS)) {
    const int e = settle_mounted(mnt, ctx);
    if (e) err = e;
    set_historical_minimum_fsfv(mnt, ctx);
    final_record(mnt, ctx);
  }
  if (err && err != KEL_EROFS && mnt->mntinfo.MountStatus == 0) mdcudfsr_update_mntinfo_with_error(mnt, err, ctx);
  if (err && err != KEL_EROFS) mark_not_mountable(mnt);
  mdcudfsr_send_mntinfo(mnt, ctx);
  mdcudfsr_set_volume_name(mnt, ctx);
  mdcudfsr_log_mount(mnt);
  mnt->mounting = 0;
  if (mnt->mntinfo.AccessMode != 0 || (err && err != KEL_EROFS)) return give_up(mp, mnt, err, ctx);
  if (err == KEL_EROFS) VFS_LOG(KEL_LOG_INFO, "[%.16s](tid=%08x) %s:%d err=%d\n", mnt->volume_name[0] ? mnt->volume_name : "UNKNOWN",
                         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pthread_self())), __func__, __LINE__,
                         err);
  return complete(mnt, ctx);
}

}  // namespace

int mdcudfsr_vfsop_mount(mount_t mp, vnode_t devvp, const void* args, vfs_context_t ctx) {
  VFS_ENTER();
  int err = mdcudfsr_mount_setup(mp, devvp, args, ctx);
  auto* mnt = static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp));
  if (!mnt) {
    if (err) FsCacheAgent_stop_unopened();
    VFS_EXIT(err);
    return err;
  }
  bool phase2 = false;
  if (!err) {
    mdcudfsr_mount_fs_state state;
    err = mdcudfsr_do_mount_fs(mnt, ctx, &state);
    phase2 = true;
  }
  err = finish(mp, mnt, err, phase2, ctx);
  VFS_EXIT(err);
  return err;
}
