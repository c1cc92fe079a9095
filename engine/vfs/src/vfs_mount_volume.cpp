// The file-system phase of the mount after the volume read: partitions, node
// cache, descriptor rewrite, resources, object limit, cartridge memory,
// file-system attributes, defect map, next track and cache disposal.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mount_fs.h"

#include "drive/device_control.h"
#include "kel/debug.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelcache/cache_flush.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_calls.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_volume_info.h"
#include "udf/udf_extent.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"
#include "vfs_log.h"
#include "vfs_mount_internal.h"

#include <cstring>
#include <mutex>

namespace {

using State = mdcudfsr_mount_fs_state;

constexpr int kRetries = 9;

bool rewritable_set(std::uint32_t t) {
  for (std::uint32_t m : {0x53u, 0x57u, 0xC3u, 0xD3u, 0xE2u, 0xE4u, 0xE6u, 0xE8u})
    if (t == m) return true;
  return false;
}

// With the file-system cache and no disc loaded, the media facts
// come from the cache; a write-once disc without OPC data is loaded.
int read_cached_media(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  if (mnt->fs_cache_mode != 1 || mnt->loaded_slot != 0xFF) return 0;
  int err = mdcudfsr_metacache_read_mediainfo(mnt, nullptr);
  if (err) {
    s.cache_failed = true;
    return err;
  }
  if (rewritable_set(mnt->medium_type)) return 0;
  std::uint8_t unsupported = 0;
  std::uint16_t opc = 0;
  if ((err = ioctl(mnt, PXOIOCGETWRITEUNSUPPORT, &unsupported, ctx)) != 0) return err;
  if ((err = ioctl(mnt, PXOIOCGETOPCRESOURCEDATA, &opc, ctx)) != 0) return err;
  if (opc != 0xFFFF || unsupported) return 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    ioctl(mnt, PXOIOCACHECLEAR, nullptr, ctx);
    err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 1);
  }
  if (err) {
    FS_LOG(KEL_LOG_ERR, "Failed to load slot with status %d. \n", err);
    mnt->fs_cache_mode = 0;
    return err;
  }
  return ioctl(mnt, PXOIOCGETOPCRESOURCEDATA, &opc, ctx);
}

// The raw outcome of the cartridge-memory retry of the partitions.
int partitions_raw(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  MDCFS_MOUNT_INFORMATION copy{};
  mdcudfsr_mdcfsctrl_get_volume_mount_information(mnt, &copy, ctx);
  mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_UNREADABLE, copy.WriteProtectReasonFlags | 0x80000u);
  return KEL_EINVAL;
}

// The metadata file location from the cartridge memory's position
// word, when it names the last written slot and lies inside the partition.
int retry_from_cartridge_memory(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  std::uint8_t record[MDCUDFSR_CM_RECORD_SIZE] = {};
  const int aerr = mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 1, ctx, 1);
  if (aerr) {
    FS_LOG(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", aerr);
    return partitions_raw(mnt, ctx);
  }
  std::uint32_t word = 0;
  std::memcpy(&word, record + kAttributeVuviOffset, sizeof word);
  FS_LOG(KEL_LOG_WARN, "Failed to init partitions. Retry using the value in cartridge memory. Location=0x%x\n",
         word);
  const std::uint32_t slot = mdcudfsr_vuvi_slot(word);
  if (slot != mnt->current_disc) {
    FS_LOG(KEL_LOG_ERR, "Inconsistent Slot Number. lastwrittenslot=%d VUVI=%d\n",
           static_cast<int>(mnt->current_disc), static_cast<int>(slot));
    return partitions_raw(mnt, ctx);
  }
  const std::uint32_t fe = mdcudfsr_vuvi_fe_location(word);
  auto& md = mnt->vds.pmap.type2_metadata;
  if (fe < 4096 || std::uint64_t{fe} - 4096 + 16 >= mnt->vds.pd.part_len) return partitions_raw(mnt, ctx);
  md.file_loc = fe - 4096;
  md.mirror_file_loc = fe - 4096 + 16;
  mnt->metadata_file_loc = md.file_loc;
  mnt->metadata_mirror_loc = md.mirror_file_loc;
  if (mnt->is_rewritable) {
    mnt->vds.pd.phd.unalloc_space_bitmap = short_ad{0, 0};
    mnt->vds.pd.phd.freed_space_bitmap = short_ad{0, 0};
    md.bitmap_file_loc = 0;
    mdcudfsr_set_nwa_from_vds(mnt, ctx);
  }
  mnt->mntinfo.WriteProtectReasonFlags &= ~0x80000u;
  mnt->mntinfo.AccessMode = 0;
  mnt->mntinfo.MountStatus = 0;
  s.rewrite_descriptors = true;
  return mdcudfsr_init_partitions(mnt, ctx, 0, 0);
}

// The partitions, from the rollback point or the descriptors.
int set_up_partitions(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  const bool from_cache = mnt->fs_cache_mode == 1;
  int err;
  // A rollback point is mounted from its own metadata file entry whatever
  // operation status the integrity descriptor records (the engine's flushes
  // write 1) and whatever mount status a failed mount of the latest state
  // left: that failure is what a rollback mount on error answers.
  if (mnt->rollback_present) {
    mnt->mntinfo.MountStatus = 0;
    err = mdcudfsr_init_partitions_rollback(mnt, ctx, 1);
    if (err && err != KEL_EROFS) err = mdcudfsr_init_partitions_rollback(mnt, ctx, 0);
  } else {
    // What is read from the disc is copied into the management cache file
    // while that file is open.
    err = mdcudfsr_init_partitions(mnt, ctx, from_cache ? 1 : 0, !from_cache && mnt->fsmanage_handle != -1 ? 1 : 0);
    if (err && err != KEL_EROFS) {
      if (from_cache) s.cache_failed = true;
      err = retry_from_cartridge_memory(mnt, s, ctx);
      if (err == KEL_EINVAL && mnt->mntinfo.AccessMode == 2) return KEL_EINVAL;
    }
  }
  if (err == KEL_EROFS) {
    s.read_only = true;
    return 0;
  }
  if (err) FS_LOG(KEL_LOG_ERR, "Failed to init partitions.\n");
  return err;
}

// The rollback point's mount information and the node cache.
int set_up_node_cache(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  if (mnt->rollback_present) {
    mnt->mntinfo.AccessMode = 0;
    mnt->mntinfo.MediumType = static_cast<std::uint8_t>(mnt->medium_type);
    mnt->mntinfo.VolumeStatus = static_cast<std::uint8_t>((mnt->mntinfo.VolumeStatus & 0x6B) | 0x84);
  }
  // A management cache file made by this mount takes its copy of the
  // metadata file now; later flushes keep that copy current.
  const int cache_new = mnt->fs_cache_created && mnt->fsmanage_handle != -1 ? 1 : 0;
  const int err = mdcudfsr_cache_init(mnt, ctx, mnt->fs_cache_mode == 1 ? 1 : 0, cache_new);
  s.cache_ready = err == 0 || err == KEL_EROFS;
  if (err == KEL_EROFS) {
    s.read_only = true;
    return 0;
  }
  if (err) {
    FS_LOG(KEL_LOG_ERR, "Failed to init cache.\n");
    if (mnt->fs_cache_mode == 1) s.cache_failed = true;
  }
  return err;
}

// The descriptors go back to the disc and into the cache file,
// unless the cartridge is write-protected.
int rewrite_descriptors(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  if (!s.rewrite_descriptors) return 0;
  // A mount at a rollback point shows an earlier state: descriptors
  // written now would carry that point's metadata location and make the
  // earlier state the volume's latest, losing every later file.
  if (mnt->rollback_present) return 0;
  const bool rollback_elsewhere = (mnt->mount_ext_flags & kRollback) && mnt->loaded_slot != mnt->current_disc;
  if (rollback_elsewhere) return 0;
  std::uint8_t ms[12] = {};
  if (const int err = ioctl(mnt, PXOIOMECHANISMSTATUS, ms, ctx)) {
    FS_LOG(KEL_LOG_ERR, "failed MechanismStatus.\n");
    return err;
  }
  if (ms[9] & 0x1) {
    FS_LOG(KEL_LOG_WARN, "failed to flush vds and fscache file \n");
    return 0;
  }
  int err = 0;
  for (int attempt = 0; attempt <= kRetries; ++attempt) {
    std::uint32_t skipped = 0;
    err = mnt->is_rewritable ? mdcudfsr_flush_vds_re(mnt, &skipped, ctx, 0) : mdcudfsr_flush_vds(mnt, &skipped, ctx, 0);
    if (!err) break;
    FS_LOG(KEL_LOG_WARN, "failed to flush vds.. %d \n", err);
  }
  if (err) {
    FS_LOG(KEL_LOG_ERR, "failed to write vds.\n");
    return err;
  }
  err = mnt->is_rewritable ? mdcudfsr_flush_descriptor_to_fscache_file_re(mnt, ctx)
                           : mdcudfsr_flush_descriptor_to_fscache_file(mnt, ctx);
  if (err) {
    FS_LOG(KEL_LOG_ERR, "failed to write fs cache file.\n");
    return err;
  }
  mnt->disk_data_mode = 1;
  return 0;
}

// The media resources of the mounted volume checked (not for a rollback point).
void check_resources(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const std::uint32_t f = mnt->mount_ext_flags;
  if (f & kRollbackPoint) {
    std::int32_t sufficient = 1;
    mdcudfsr_check_media_resources(mnt, 1, ctx, &sufficient);
  } else if ((f & (kRollback | kNoEdit)) == (kRollback | kNoEdit)) {
    FS_LOG(KEL_LOG_INFO, "Skip get volume size. slot=%d\n", static_cast<int>(mnt->loaded_slot));
  } else {
    mdcudfsr_check_media_resources(mnt, 1, ctx, nullptr);
  }
}

#define LIMIT_LOG(level, ...) \
  KEL_LOG_AS("mdcudfsr_check_object_limit", (level), KEL_MOD_CORE, KEL_MARK_NOTE, __VA_ARGS__)

// The file and folder counts against the volume's object limits.
int check_object_limit(mdcudfsr_mount* mnt, State& s, vfs_context_t) {
  std::uint32_t files = 0, dirs = 0, max_files = 0, max_dirs = 0;
  mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  const std::uint64_t objects = std::uint64_t{files} + dirs;
  if (mdcudfsr_cache_get_max_object_count(mnt, files, &max_files, &max_dirs) == 30 || objects > max_files)
    s.read_only = true;
  const int r = mdcudfsr_object_limit_check(mnt->medium_type, mnt->mntinfo.VolumeTypeAndInformationVersion >> 4,
                                            objects);
  if (r == 0) return 0;
  if ((mnt->mount_ext_flags & 0x80020u) == 0x80020u) {
    mnt->mntinfo.AccessMode = 0;
    mnt->mntinfo.MountStatus = MNTSTATUS_OBJECT_LIMIT;
    return 0;
  }
  if (r == KEL_EINVAL) {
    LIMIT_LOG(KEL_LOG_ERR, "mdcudfsr_check_object_limit() returned: %d\n", r);
    return KEL_EINVAL;
  }
  s.read_only = true;
  return 0;
}

// The cartridge memory read for the mount; a protected one makes it read-only.
int cartridge_memory(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  int readonly = 0;
  int err = mdcudfsr_read_write_attribute_for_mount(mnt, &readonly, ctx);
  if (readonly) s.read_only = true;
  if (err) return err;
  err = mdcudfsr_metacache_ajust_for_mount(mnt, nullptr, mnt->fs_cache_mode == 1, mnt->fs_cache_created != 0);
  if (err) FS_LOG(KEL_LOG_ERR, "metacache write vuvi failed. status=%d\n", err);
  return err;
}

#define ATTR_LOG(level, ...) \
  KEL_LOG_AS("mdcudfsr_init_fs_attributes", (level), KEL_MOD_CORE, KEL_MARK_NOTE, __VA_ARGS__)

// Write-protect reasons other than none and unset make it read-only.
void init_fs_attributes(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  const std::uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags;
  if (reasons != 0 && reasons != MNTINFO_UNSET) s.read_only = true;
  mdcudfsr_init_attr_cache(mnt);
  vfsstatfs* st = vfs_statfs(mnt->mp);
  if (st) {
    st->f_bsize = mnt->attr_cache.f_bsize;
    st->f_iosize = mnt->attr_cache.f_iosize;
    st->f_blocks = mnt->attr_cache.f_blocks;
    st->f_bfree = mnt->attr_cache.f_bfree;
    st->f_bavail = mnt->attr_cache.f_bavail;
    st->f_bused = mnt->attr_cache.f_bused;
    st->f_files = mnt->attr_cache.f_files;
    st->f_ffree = mnt->attr_cache.f_ffree;
  }
  vfs_setflags(mnt->mp, 0x10201000u | (s.read_only ? MNT_RDONLY : 0u));
  ATTR_LOG(KEL_LOG_INFO, "mount flags=0x%08x\n", static_cast<unsigned>(vfs_flags(mnt->mp)));
  if (s.read_only) mdcudfsr_print_alarmcode(mnt->devvp, ctx);
}

// The defect map and the media information of the loaded disc.
int defect_map_and_media_info(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mnt->loaded_slot == 0xFF) return 0;
  int err = 0;
  if (mnt->is_rewritable && (err = mdcudfsr_make_defect_map(mnt, ctx, 1)) != 0) {
    FS_LOG(KEL_LOG_ERR, "can't make defect map. err = %d\n", err);
    return err;
  }
  if (mnt->fs_cache_created && (err = mdcudfsr_metacache_write_mediainfo(mnt, nullptr)) != 0) return err;
  return 0;
}

// A move to the next track the mount found due (not for a rollback).
int next_track(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  if (!s.next_track || (mnt->mount_ext_flags & (kRollback | kRollbackPoint))) return 0;
  const std::uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags;
  if (reasons) {
    FS_LOG(KEL_LOG_WARN, "WriteProtectReasonFlags exists!![0x%x] skip stride.\n", reasons);
    s.read_only = true;
    return 0;
  }
  int changed = 0;
  const int err = mdcudfsr_mdcfsctrl_mount_next_track(mnt, ctx, &changed);
  if (err == KEL_ENOTSUP && (vfs_flags(mnt->mp) & MNT_RDONLY)) {
    // The next disc holds no format of this system's and was left as it
    // was: the volume stays on the discs before it, read-only, and what
    // they hold can be read.
    FS_LOG(KEL_LOG_ERR, "the next disc was refused; the volume is mounted read-only. err = %d\n", err);
    if (changed) mnt->current_disc -= 1;
    s.read_only = true;
    return 0;
  }
  if (err) {
    FS_LOG(KEL_LOG_ERR, "failed to mdcudfsr_mdcfsctrl_mount_next_track. err = %d\n", err);
    return err;
  }
  mnt->new_track = 1;
  mnt->disk_data_mode = 1;
  return 0;
}

void delete_fs_cache(mdcudfsr_mount* mnt) {
  if (mnt->fsmanage_handle != -1) {
    mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
    mnt->fsmanage_handle = -1;
  }
  mdcudfsr_metacache_fsmanage_delete(mnt, nullptr);
}

// The file-system cache deleted where the settings or a failure ask for it.
void dispose_fs_cache(mdcudfsr_mount* mnt, int err) {
  const bool failed = err != 0 && err != KEL_EROFS;
  if (CheckFsCacheDeleteLevel(2) || (failed && CheckFsCacheDeleteLevel(1)) || mnt->delete_cache)
    delete_fs_cache(mnt);
}

// The outcome: a read-only volume answers 30; a failure on data from the
// cache deletes the cache and leaves the volume raw.
int end_phase(mdcudfsr_mount* mnt, State& s, int err) {
  if (!err && s.read_only) err = KEL_EROFS;
  if (err && err != KEL_EROFS && s.cache_failed) {
    delete_fs_cache(mnt);
    mnt->mntinfo.VolumeStatus = 0;
    mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_CACHE_FAILED, mnt->mntinfo.WriteProtectReasonFlags | 0x100u);
  }
  if (!err || err == KEL_EROFS)
    FS_LOG(KEL_LOG_INFO, "[%.16s](tid=%08x) %s:%d mp=0x%08x flags=0x%08x\n", mnt->volume_name[0] ? mnt->volume_name : "UNKNOWN",
           static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pthread_self())), "mdcudfsr_do_mount_fs", __LINE__,
           static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(mnt->mp)), mnt->mount_ext_flags);
  return err;
}

int after_volume_read(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  int err = set_up_partitions(mnt, s, ctx);
  if (!err) err = set_up_node_cache(mnt, s, ctx);
  if (!err) err = rewrite_descriptors(mnt, s, ctx);
  if (err) return err;
  check_resources(mnt, ctx);
  if ((err = check_object_limit(mnt, s, ctx)) != 0) return err;
  if ((err = cartridge_memory(mnt, s, ctx)) != 0) return err;
  init_fs_attributes(mnt, s, ctx);
  if ((err = defect_map_and_media_info(mnt, ctx)) != 0) return err;
  return next_track(mnt, s, ctx);
}

}  // namespace

int mdcudfsr_object_limit_check(uint32_t medium_type, uint32_t volume_type, uint64_t objects) {
  struct Row {
    std::uint32_t writable, mountable, writable_other, mountable_other;
  };
  Row row{};
  switch (medium_type) {
    case 0x51: case 0x52: row = {5000, 8000, 5000, 8000}; break;
    case 0x53: row = {60000, 60000, 60000, 60000}; break;
    case 0x55: case 0x56: case 0x57: case 0x59: case 0x5A: case 0x5B: row = {6000, 8000, 6000, 8000}; break;
    case 0xD2: row = {20000, 20000, 20000, 20000}; break;
    case 0xE1: case 0xE2: case 0xE3: case 0xE4: case 0xE5: case 0xE6: case 0xE7: case 0xE8:
      row = {60000, 60000, 240000, 240000};
      break;
    case 0xF1: row = {480000, 480000, 480000, 480000}; break;
    case 0xF2: row = {800000, 800000, 240000, 240000}; break;
    default: return KEL_EINVAL;
  }
  const std::uint64_t writable = volume_type == 0 ? row.writable : row.writable_other;
  const std::uint64_t mountable = volume_type == 0 ? row.mountable : row.mountable_other;
  if (objects <= writable) return 0;
  return objects > mountable ? KEL_EINVAL : KEL_EROFS;
}

namespace {

int read_and_set_up(mdcudfsr_mount* mnt, State& s, vfs_context_t ctx) {
  int err = read_cached_media(mnt, s, ctx);
  if (!err) {
    err = mdcudfsr_mount_read_volume(mnt, ctx, &s);
    if (err && err != KEL_EROFS && mnt->fs_cache_mode == 1 && mnt->mntinfo.AccessMode != 2) s.cache_failed = true;
  }
  if (err == KEL_EROFS) {
    s.read_only = true;
    err = 0;
  }
  if (!err) err = after_volume_read(mnt, s, ctx);
  return err;
}

// A file-system cache whose data failed is no part of the volume: it is
// deleted, and what it gave (mount information, partitions, nodes) is
// forgotten, so that the volume is read again from the disc.
void forget_failed_cache(mdcudfsr_mount* mnt, State& s, const MDCFS_MOUNT_INFORMATION& before) {
  FS_LOG(KEL_LOG_WARN, "FS cache data does not match the disc. Delete FScache and mount from the disc.\n");
  delete_fs_cache(mnt);
  mnt->fs_cache_mode = 0;
  mnt->fs_cache_created = 0;
  mnt->disk_data_mode = 1;
  mnt->lvid_open = 0;
  mdcudfsr_cache_term(mnt);
  for (auto& p : mnt->part) mdcudfsr_extent_list_remove_all(&p.list);
  mnt->mntinfo = before;
  s = State{};
}

}  // namespace

int mdcudfsr_do_mount_fs(mdcudfsr_mount* mnt, vfs_context_t ctx, mdcudfsr_mount_fs_state* state) {
  if (!mnt || !state) return KEL_EINVAL;
  State& s = *state;
  const MDCFS_MOUNT_INFORMATION before = mnt->mntinfo;
  int err = read_and_set_up(mnt, s, ctx);
  if (err && err != KEL_EROFS && s.cache_failed) {
    forget_failed_cache(mnt, s, before);
    err = read_and_set_up(mnt, s, ctx);
  }
  dispose_fs_cache(mnt, err);
  return end_phase(mnt, s, err);
}
