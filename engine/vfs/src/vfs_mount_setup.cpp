// The first phase of the volume mount: arguments, mount record, drive facts.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_mount_setup.h"

#include "drive/device_control.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_volume_info.h"
#include "vfs_log.h"
#include "vfs_mount_internal.h"

#include <cstring>
#include <mutex>
#include <new>

namespace {

constexpr std::uint32_t kFlagAdded = 0x8;
constexpr std::uint32_t kVerify = 0x200, kKeepFormat = 0x400;
constexpr std::uint32_t kAgentWaitMs = 30000;  // for the agent to open its channel

bool starts(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

bool qmr_changer(const char* product) {
  for (const char* m : {"QMR-T300A", "QMR-T300B", "QMR-T400A", "QMR-T400B"})
    if (starts(product, m)) return true;
  return false;
}

int record_for(mount_t mp, vnode_t devvp, const mdcudfsr_mount_args& a, mdcudfsr_mount** out) {
  mdcudfsr_debug_level_set(a.debug_level);
  auto* mnt = new (std::nothrow) mdcudfsr_mount();
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "Failed to allocate mdcudfsr mount struct. \n");
    return KEL_ENOMEM;
  }
  vfs_setfsprivate(mp, mnt);
  mnt->mp = mp;
  mnt->devvp = devvp;
  mnt->mount_arg_word = a.arg_word;
  mnt->mount_ext_flags = a.flags;
  mnt->metadata_check_value = a.metadata_check;
  mnt->DscChngWtchIvalSec = a.watch_interval_sec;
  mnt->fsmanage_handle = -1;
  mnt->fs_cache_mode = -1;
  mnt->mounting = 1;
  *out = mnt;
  return 0;
}

// The number of slots from the mechanism status.
int read_mechanism(mdcudfsr_mount* mnt, const mdcudfsr_mount_args& a, vfs_context_t ctx) {
  std::uint8_t ms[12] = {};
  const int err = ioctl(mnt, PXOIOMECHANISMSTATUS, ms, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "MECHANISMSTATUS failed on mounting err = %d \n", err);
    return err;
  }
  mnt->num_discs = ms[5];
  mnt->flush_interval = a.flush_interval_sec;
  mnt->vfam_wait_step_sec = a.vfam_answer_wait;
  vnode_ref(mnt->devvp);
  return 0;
}

// The cache-agent channel, opened by the agent within 30 seconds.
int open_agent_channel(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->metacachedev = mdcudfsr_metacache_alloc(mnt);
  if (!mnt->metacachedev) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->metacachedev");
    return KEL_EINVAL;
  }
  struct {
    std::uint32_t length;
    const char* name;
  } dev{static_cast<std::uint32_t>(std::strlen(mnt->metacachedev->name) + 1), mnt->metacachedev->name};
  ioctl(mnt, PXOIOSETDEVNAMEFORCACHEAGENT, &dev, ctx);
  if (mdcudfsr_metacache_wait_open(mnt->metacachedev, kAgentWaitMs) == 0) return 0;
  VFS_LOG(KEL_LOG_ERR, "Not open fscache device. time out.\n");
  return KEL_EINVAL;
}

// Whether the file-system cache is used.
void choose_cache_mode(mdcudfsr_mount* mnt) {
  if (mnt->mount_ext_flags & (kRollback | kNoEdit | kRollbackPoint)) {
    mdcudfsr_metacache_fsmanage_delete(mnt, nullptr);
    mnt->disk_data_mode = 1;
    mnt->fs_cache_mode = 0;
    return;
  }
  std::uint32_t use = 0, created = 0;
  if (mdcudfsr_metacache_fsmanage_open(mnt, nullptr, &use, &created) != 0) use = created = 0;
  if (use) {
    VFS_LOG(KEL_LOG_INFO, "Mount Use FS cache data\n");
    mnt->disk_data_mode = 0;
  } else {
    VFS_LOG(KEL_LOG_INFO, created ? "Mount use Disk data and FS Cache data are newly created.\n"
                                  : "Mount use Disk data. Not FS Cache Mode.\n");
    mnt->disk_data_mode = 1;
  }
  mnt->fs_cache_mode = use ? 1 : 0;
  mnt->fs_cache_created = !use && created && mnt->fsmanage_handle != -1 ? 1 : 0;
}

// Drive model, verify mode and the disc-change guard.
int set_up_guard(mdcudfsr_mount* mnt, const mdcudfsr_mount_args& a, vfs_context_t ctx) {
  std::uint8_t dev[MDCFS_DEVICE_INFORMATION_SIZE];
  const int err = mdcudfsr_mdcfsctrl_get_device_information(mnt, dev, ctx);
  if (err) return err;
  std::memcpy(mnt->product_id, dev + 8, 16);
  const bool qmr = qmr_changer(mnt->product_id);
  mnt->verify_mode = qmr || (mnt->mount_ext_flags & kVerify) ? 1 : 0;
  VFS_LOG(KEL_LOG_INFO, mnt->verify_mode ? "verify mode on\n" : "verify mode off\n");
  const std::uint32_t samples = qmr ? a.watch_samples_qmr : a.watch_samples;
  const std::uint32_t steps = qmr ? a.watch_steps_qmr : a.watch_steps;
  mnt->WtchSmpls = samples ? samples : 10;
  mnt->WtchSteps = steps ? steps : (qmr ? 6 : 10);
  mnt->watch_ring = new (std::nothrow) std::uint64_t[mnt->WtchSteps]();
  if (!mnt->watch_ring) {
    VFS_LOG(KEL_LOG_ERR, "failed allocate memory.\n");
    return KEL_ENOMEM;
  }
  return 0;
}

// A copy that still holds the outcome of an earlier mount of this process
// that ended raw on a failed file-system cache: that cache was deleted, so
// its raw state ends with that mount, and so do the reasons it added (both
// together; the drive layer keeps its own reasons when it refused them).
void forget_failed_cache_mount(MDCFS_MOUNT_INFORMATION& copy) {
  if (copy.MountStatus != MNTSTATUS_CACHE_FAILED) return;
  VFS_LOG(KEL_LOG_INFO, "previous mount from the FS cache failed; reasons 0x%x\n", copy.WriteProtectReasonFlags);
  copy.MountStatus = 0;
  copy.AccessMode = 0;
  constexpr std::uint32_t added = WRPROT_CACHE_FAILED | WRPROT_READONLY;
  if ((copy.WriteProtectReasonFlags & added) == added) copy.WriteProtectReasonFlags &= ~added;
}

// The drive layer's copy of the mount information seeds ours.
int seed_mount_information(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mdcudfsr_init_mntinfo(mnt);
  MDCFS_MOUNT_INFORMATION copy{};
  mdcudfsr_mdcfsctrl_get_volume_mount_information(mnt, &copy, ctx);
  forget_failed_cache_mount(copy);
  if (copy.AccessMode == 2) {
    VFS_LOG(KEL_LOG_WARN, "Set RawMount.\n");
    mdcudfsr_set_mntinfo_state_silent(mnt, 2, copy.MountStatus, copy.WriteProtectReasonFlags);
    return KEL_EINVAL;
  }
  std::uint32_t status = copy.MountStatus;
  status = (status >= MNTSTATUS_DRIVER_ERROR && status <= MNTSTATUS_SYSTEM_GUARD) ? 0 : (status & ~3u);
  mnt->mntinfo.MountStatus = status;
  mnt->mntinfo.VolumeTypeAndInformationVersion = copy.VolumeTypeAndInformationVersion;
  std::uint32_t reasons = copy.WriteProtectReasonFlags;
  if (reasons & WRPROT_ROLLBACK) reasons &= ~(WRPROT_ROLLBACK | 0x80000u);
  reasons &= ~WRPROT_NO_COUNTING;
  std::uint64_t page = 0;
  if (ioctl(mnt, PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE, &page, ctx) != 0) reasons |= 0x200u;
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, reasons, 0, ctx);
  std::uint32_t mounted = 0;
  ioctl(mnt, PXOIONOTIFYUNMOUNT, &mounted, ctx);
  return 0;
}

// The log name and the supported drives.
int check_drive(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::uint8_t dev[MDCFS_DEVICE_INFORMATION_SIZE];
  const int err = mdcudfsr_mdcfsctrl_get_device_information(mnt, dev, ctx);
  if (err) return err;
  std::memcpy(mnt->volume_name, dev + 28, 16);
  char vendor[9] = {}, product[17] = {};
  std::memcpy(vendor, dev, 8);
  std::memcpy(product, dev + 8, 16);
  if (std::memcmp(vendor, "TARN", 5) != 0) {
    VFS_LOG(KEL_LOG_ERR, "unsupport Vendor ID[%s] err:%d \n", vendor, 95);
    return KEL_ENOTSUP;
  }
  for (const char* p : {"PXO-U2", "QMR-T10A", "QMR-T20A", "QMR-T20B"})
    if (starts(product, p)) return 0;
  if (qmr_changer(product)) return 0;
  VFS_LOG(KEL_LOG_ERR, "unsupport Product ID[%s] err:%d \n", product, 95);
  return KEL_ENOTSUP;
}

bool valid_medium(std::uint32_t t) { return (t >= 0xE1 && t <= 0xE8) || t == 0xF1 || t == 0xF2 || t == 0x53; }
bool rewritable(std::uint32_t t) { return t == 0xE2 || t == 0xE4 || t == 0xE6 || t == 0xE8 || t == 0x53; }

// Sector geometry, clusters and the medium.
int read_geometry_and_medium(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::uint32_t size = 0;
  std::uint64_t count = 0;
  int err = ioctl(mnt, DKIOCGETBLOCKSIZE, &size, ctx);
  if (!err) err = ioctl(mnt, DKIOCGETBLOCKCOUNT, &count, ctx);
  if (err) return err;
  if (size == 0 || size > 0x10000) return KEL_EINVAL;
  mnt->logical_sector_size = size;
  mnt->num_sectors = static_cast<std::uint32_t>(count);
  if ((err = mdcudfsr_init_clusters(mnt)) != 0) {
    VFS_LOG(KEL_LOG_ERR, "cluster list failed to initialise (error=%d)\n", err);
    return err;
  }
  VFS_LOG(KEL_LOG_INFO, "mdcudfsrmp->logical_sector_size=%u\n", size);
  VFS_LOG(KEL_LOG_INFO, "mdcudfsrmp->num_logical_sectors=%u\n", mnt->num_sectors);
  std::uint8_t type = 0;
  if ((err = ioctl(mnt, PXOIOGETMEDIUMTYPE, &type, ctx)) != 0) return err;
  mnt->medium_type = type;
  mnt->mntinfo.MediumType = type;
  if (!valid_medium(type)) {
    VFS_LOG(KEL_LOG_ERR, "Invalid Media Type %08X. RawMount. \n", static_cast<unsigned>(type));
    mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_INVALID_MEDIUM, 0x200u);
    return KEL_EINVAL;
  }
  mnt->is_rewritable = rewritable(type) ? 1 : 0;
  std::strncpy(mnt->parity_id, type == 0xF2 ? "*ECC_Parity_V100_N=516_K=512" : "*ECC_Parity_V100_N=2064_K=2048",
               sizeof mnt->parity_id - 1);
  const std::string product(mnt->product_id);
  if ((product == "QMR-T400A" || product == "QMR-T400B") && type != 0xF1 && type != 0xF2) {
    VFS_LOG(KEL_LOG_WARN, "Gen1 Cartridge is Unrecordable for Gen3 Drive.\n");
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, 0x200u, 1, ctx);
  }
  return 0;
}

// A rewritable disc the drive layer must reformat.
int reformat_if_needed(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt->is_rewritable) return 0;
  std::uint32_t rec[2] = {0, mnt->verify_mode};
  ioctl(mnt, PXOIOREFORMAT, rec, ctx);
  if (rec[0]) {
    mnt->mntinfo.WriteProtectReasonFlags = 0;
    mnt->mntinfo.MountStatus = 0;
    mnt->mount_ext_flags &= ~kKeepFormat;
    mnt->reformatted = 1;
    mnt->disk_data_mode = 1;
  }
  int started = 0;
  const int err = mdcudfsr_backtrack_delete_info(mnt, ctx, &started);
  if (err) VFS_LOG(KEL_LOG_ERR, "check BackTrackInfo Failed.");
  return err;
}

}  // namespace

namespace {

// The VFAM channel and its name in the argument record.
int open_vfam_channel(mdcudfsr_mount* mnt, const void* args) {
  mnt->vfamdev = mdcudfsr_vfamdev_alloc(mnt);
  if (!mnt->vfamdev) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->vfamdev");
    return KEL_EINVAL;
  }
  VFS_LOG(KEL_LOG_INFO, "( uint32_t )vfamdev_name=%08x\n",
          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(mnt->vfamdev->name)));
  char* out = static_cast<char*>(const_cast<void*>(args)) + offsetof(mdcudfsr_mount_args, vfam_device_name);
  const std::size_t n = strnlen(mnt->vfamdev->name, sizeof mnt->vfamdev->name);
  return copyout(mnt->vfamdev->name, out, n < 1023 ? n + 1 : 1024);
}

// The drive's write verify, unless a reformat already set it.
int set_reallocation(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mnt->reformatted) {
    VFS_LOG(KEL_LOG_INFO, "needless Reallocation Control \n");
    return 0;
  }
  std::uint32_t rec[3] = {0, 0, 0};
  ioctl(mnt, PXOIOGETAUTOFORMATTEDFLAG, rec, ctx);
  if (rec[0]) {
    VFS_LOG(KEL_LOG_INFO, "isFormatted needless Reallocation Control \n");
    return 0;
  }
  VFS_LOG(KEL_LOG_INFO, "Reallocation Control \n");
  const int err = mdcudfsr_devsupio_set_reallocation(mnt, ctx, nullptr);
  if (err) VFS_LOG(KEL_LOG_ERR, "Set Reallocation Control is failed err:%d\n", err);
  return err;
}

// Current, last written and cartridge-memory slots.
int read_slots(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::uint32_t si[4] = {};
  int err = ioctl(mnt, PXOIOCGETSLOTINFO, si, ctx);
  if (err) return err;
  mnt->loaded_slot = si[0];
  mnt->current_disc = si[1];
  mnt->cm_last_written_slot = si[3];
  // Flag 0x2 is in every mount the host makes (0x202, 0x242, 0xE2): it
  // does not skip the correction, or no mount would ever make it; the
  // rollback flags do.
  if (si[0] == 0xFF || si[0] == si[1] || (mnt->mount_ext_flags & ~0x34Au)) return 0;
  if (si[1] != si[3])
    VFS_LOG(KEL_LOG_WARN, "lastwrittenslot to CM(%d) is not equal to lud_lastwrittenslot(%d) \n",
            static_cast<int>(si[3]), static_cast<int>(si[1]));
  ioctl(mnt, PXOIOLASTWRITTENSLOT, nullptr, ctx);
  if ((err = ioctl(mnt, PXOIOCGETSLOTINFO, si, ctx)) != 0) return err;
  mnt->loaded_slot = si[0];
  mnt->current_disc = si[0];
  return 0;
}

// The rollback point and the load of its slot.
int load_rollback_slot(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const std::uint32_t f = mnt->mount_ext_flags;
  if (!(f & (kRollback | kRollbackPoint))) {
    mnt->mntinfo.WriteProtectReasonFlags &= ~WRPROT_ROLLBACK;
    return 0;
  }
  std::uint32_t point[3] = {};
  const std::uint32_t code = (f & kRollback) ? PXOIOGETROLLBACKPOINT : PXOIOGETROLLBACKPOINT2;
  if (ioctl(mnt, code, point, ctx) == 0 && (point[0] | point[1] | point[2])) {
    mnt->rollback_slot = point[0];
    mnt->rollback_fe_lsn = point[1];
    mnt->rollback_fsd_lsn = point[2];
    mnt->rollback_present = 1;
    mnt->reserve_mode = code == PXOIOGETROLLBACKPOINT2 ? 1 : 0;
  }
  if (mnt->rollback_slot == mnt->loaded_slot) return 0;
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  const int err = mdcudfsr_disc_change(mnt, mnt->rollback_slot, 0, ctx, 1);
  if (err) VFS_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
  return err;
}

int set_up(mdcudfsr_mount* mnt, const mdcudfsr_mount_args& a, const void* args, vfs_context_t ctx) {
  int err = read_mechanism(mnt, a, ctx);
  if (!err) err = open_agent_channel(mnt, ctx);
  if (err) return err;
  mnt->mount_ext_flags |= kFlagAdded;
  VFS_LOG(KEL_LOG_INFO, "mount ext flags = 0x%08x\n", mnt->mount_ext_flags);
  choose_cache_mode(mnt);
  if ((err = set_up_guard(mnt, a, ctx)) != 0) return err;
  // Also a mount from the cache asks for the last written slot: the changer
  // may hold another disc, or the last written one may be a new track that
  // was never finished (the engine died while making it), which the drive
  // layer passes over for the slot before it.
  if (!(mnt->mount_ext_flags & (kRollback | kRollbackPoint))) {
    std::uint8_t verify = static_cast<std::uint8_t>(mnt->verify_mode);
    ioctl(mnt, PXOIOMOUNTLASTSLOT, &verify, ctx);
  }
  if ((err = seed_mount_information(mnt, ctx)) != 0) return err;
  if ((err = check_drive(mnt, ctx)) != 0) return err;
  if ((err = read_geometry_and_medium(mnt, ctx)) != 0) return err;
  if ((err = reformat_if_needed(mnt, ctx)) != 0) return err;
  mdcudfsr_update_vol_last_modification_time(mnt);
  if ((err = open_vfam_channel(mnt, args)) != 0) return err;
  if ((err = set_reallocation(mnt, ctx)) != 0) return err;
  if ((err = read_slots(mnt, ctx)) != 0) return err;
  return load_rollback_slot(mnt, ctx);
}

}  // namespace

int mdcudfsr_mount_setup(mount_t mp, vnode_t devvp, const void* args, vfs_context_t ctx) {
  VFS_LOG(KEL_LOG_INFO, "Mount start\n");
  mdcudfsr_mount_args a{};
  int err = copyin(args, &a, sizeof a);
  if (err) return err;
  if (a.magic != MDCUDFSR_MOUNT_ARGS_MAGIC) {
    VFS_LOG(KEL_LOG_ERR, "mount args magic is invalid.%08x shouled be %08x\n", a.magic, MDCUDFSR_MOUNT_ARGS_MAGIC);
    return KEL_EINVAL;
  }
  mdcudfsr_mount* mnt = nullptr;
  if ((err = record_for(mp, devvp, a, &mnt)) != 0) return err;
  return set_up(mnt, a, args, ctx);
}

void mdcudfsr_mount_record_free(mount_t mp) {
  auto* mnt = static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp));
  if (!mnt) return;
  vfs_setfsprivate(mp, nullptr);
  if (mnt->vfamdev) mdcudfsr_vfamdev_free(mnt->vfamdev);
  if (mnt->metacachedev) mdcudfsr_metacache_free(mnt->metacachedev);
  delete[] mnt->watch_ring;
  delete mnt;
}
