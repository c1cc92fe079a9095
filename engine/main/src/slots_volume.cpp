// Volume slots: mount, unmount, format, flush, rollback mount.
#include "kelhost/kern_errno.h"
#include "slot_calls.h"

#include "kel/config.h"
#include "kelagent/fscache_agent.h"
#include "kelmain/engine_main.h"
#include "kelvfs/mdcudfsr_mount_setup.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "platform/sync.h"
#include "platform/thread_start.h"
#include "udf/udf_mount.h"

#include <pthread.h>

#include <cstring>

namespace kelmain {
namespace {

constexpr const char* kMountFn = "int Mount(uint32_t)";
constexpr const char* kFormatFn = "int Format(bool, bool)";
constexpr const char* kMetadataFolder = "/$QuorvelData";

mdcudfsr_mount* mount_record() { return static_cast<mdcudfsr_mount*>(kel_global_mount()->mnt_data); }

// Before a mount: the cache-agent thread, detached; it ends on its stop
// request. It holds a ticket, so that a mount failing before its channel
// exists stops it (the volume mount's stop of unopened agents).
int start_agent() {
  FsCacheAgentStart* start = FsCacheAgent_new_start(process_state().argv);
  if (start == nullptr) return KEL_ENOMEM;
  pthread_t thread;
  const int err = platform::create_thread(&thread, nullptr, fscache_ticketed_handler_start, start);
  if (err == 0)
    pthread_detach(thread);
  else
    delete start;
  return err;
}

// The volume mount, start and root; a failure after the volume mounted
// unmounts it with force.
int mount_volume(std::uint32_t flags, vfs_context* ctx) {
  mount* mp = kel_global_mount();
  *mp = mount{};
  std::shared_ptr<vnode> devvp = kel_make_vnode(mp, nullptr, 0, 0);
  kel_tree_make_root(devvp);
  mdcudfsr_mount_args args{};
  args.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
  args.flags = flags;
  args.metadata_check = 1000;
  if (const int err = mdcudfsr_vfsop_mount(mp, devvp.get(), &args, ctx)) {
    SLOT_LOG(kMountFn, KEL_LOG_ERR, "mount failed %d\n", err);
    return err;  // the volume mount stopped the agent it had no channel for
  }
  if (const int err = mdcudfsr_vfsop_start(mp, 0, ctx)) {
    SLOT_LOG(kMountFn, KEL_LOG_ERR, "start failed %d\n", err);
    mdcudfsr_vfsop_unmount(mp, 1, ctx);
    return err;
  }
  vnode_t root = nullptr;
  const int err = mdcudfsr_vfsop_root(mp, &root, ctx);
  if (err) {
    SLOT_LOG(kMountFn, KEL_LOG_ERR, "failed to lookup root folder");
    mdcudfsr_vfsop_unmount(mp, 1, ctx);
  } else {
    SLOT_LOG(kMountFn, KEL_LOG_INFO, "lookup root folder succeeded");
  }
  return err;
}

int get_mount_information(MountInformation* mi) { return Fsctl(kFsctlMountInformation, mi); }

struct ObjectCounts {
  std::uint32_t files;
  std::uint32_t directories;
};
static_assert(sizeof(ObjectCounts) == 8);
// Empty: no file, and no folder but the metadata folder at the root. The
// folder count leaves the root out, so the one folder allowed must be that
// folder; any other one is left for the deletion.
bool empty_volume(const ObjectCounts& c) {
  if (c.files != 0 || c.directories > 1) return false;
  if (c.directories == 0) return true;
  KELFS_OBJECT_INFO info{};
  return GetPathInfo(kMetadataFolder, 0, &info) == 0 && info.Type == 1;
}

int unmount_twice(int result) {
  Unmount(true);
  Unmount(true);
  return result;
}

// Format: whether the deletion may go on.
int deletion_gate(const MountInformation& mi, bool rewritable, bool* backtrack) {
  const std::uint32_t wp = mi.write_protect_reason_flags;
  const bool ready = volume_ready(mi.volume_status);
  const bool allowed = rewritable ? (wp & ~(0x80000u | 0x800u)) == 0 : (wp == 0 || wp == 0x80000u) && ready;
  if (!allowed) {
    SLOT_LOG(kFormatFn, KEL_LOG_ERR,
             "mount status cannot all delete MountStatus=0x%08X,WriteProtectReasonFlags=0x%08X,AccessMode=0x%08X,"
             "MediumType=0x%02X,VolumeStatus=0x%02X",
             mi.mount_status, wp, mi.access_mode, mi.medium_type, mi.volume_status);
    return KEL_EROFS;
  }
  if (!rewritable) *backtrack = false;
  if (rewritable && !*backtrack && ((wp & 0x800u) || !ready)) {
    SLOT_LOG(kFormatFn, KEL_LOG_ERR, "WORN_OUT_MEDIA but backtrack is not specified. WriteProtectReasonFlags=0x%08X",
             wp);
    return KEL_EROFS;
  }
  return 0;
}

// Format: the all-delete request inside the privileged mode.
int request_all_delete(bool backtrack, bool keep) {
  if (const int err = Fsctl(kFsctlRegisterPrivileged, nullptr)) return err;
  if (const int err = Fsctl(kFsctlEnterPrivileged, nullptr)) return err;
  std::uint8_t request[4] = {static_cast<std::uint8_t>(backtrack ? 5 : 3), static_cast<std::uint8_t>(keep ? 0 : 16),
                             0, 0};
  const int err = Fsctl(kFsctlAllDelete, request);
  const int left = Fsctl(kFsctlLeavePrivileged, nullptr);
  return err != 0 ? err : left;
}

// Format: polls the backtrack every 100 ms until its status leaves 1.
// Bounded: a status that stays 1 for an hour of the process clock gives 5.
int wait_backtrack() {
  constexpr std::uint64_t kPollMs = 100, kLimitMs = 3600ull * 1000;
  for (std::uint64_t waited = 0;; waited += kPollMs) {
    std::uint8_t progress[8] = {};
    if (const int err = Fsctl(kFsctlBacktrackProgress, progress)) return err;
    const std::uint8_t status = progress[0] == 0 ? 1 : progress[0];
    if (status == 3) return KEL_EIO;
    if (status != 1) return 0;
    if (waited >= kLimitMs) {
      SLOT_LOG(kFormatFn, KEL_LOG_ERR, "backtrack did not end in %llu ms", static_cast<unsigned long long>(kLimitMs));
      return KEL_EIO;
    }
    platform::clock().sleep_ms(kPollMs);
  }
}

// Format: the checks on the volume mounted again after the deletion.
int check_after_delete() {
  MountInformation mi{};
  if (const int err = get_mount_information(&mi)) return err;
  SLOT_LOG(kFormatFn, KEL_LOG_INFO,
           "getMountInformation MountStatus=0x%08X, WriteProtectReasonFlags=0x%08X, AccessMode=0x%08X, "
           "MediumType=0x%02X, VolumeStatus=0x%02X",
           mi.mount_status, mi.write_protect_reason_flags, mi.access_mode, mi.medium_type, mi.volume_status);
  if (!volume_ready(mi.volume_status) || mi.mount_status != 0 || mi.access_mode != 0) {
    SLOT_LOG(kFormatFn, KEL_LOG_ERR,
             "illegal mount status after all delete MountStatus=0x%08X,WriteProtectReasonFlags=0x%08X,AccessMode=0x%08X,"
             "MediumType=0x%02X,VolumeStatus=0x%02X",
             mi.mount_status, mi.write_protect_reason_flags, mi.access_mode, mi.medium_type, mi.volume_status);
    return KEL_EINVAL;
  }
  ObjectCounts counts{};
  if (const int err = Fsctl(kFsctlObjectCounts, &counts)) return err;
  if (empty_volume(counts)) return -1;  // the caller unmounts normally
  SLOT_LOG(kFormatFn, KEL_LOG_ERR, "NumberOfFiles=%u NumberOfDirectories=%u", counts.files, counts.directories);
  return KEL_EINVAL;
}

// Format: deletes everything on a volume that holds something.
int delete_all(bool backtrack, bool keep) {
  MountInformation mi{};
  if (const int err = get_mount_information(&mi)) return unmount_twice(err);
  const bool rewritable = qvutil_is_rewritable_medium(mi.medium_type);
  if (const int err = deletion_gate(mi, rewritable, &backtrack)) return unmount_twice(err);
  if (const int err = request_all_delete(backtrack, keep)) return unmount_twice(err);
  if (backtrack) {
    if (const int err = wait_backtrack()) return unmount_twice(err);
  }
  int err = Unmount(false);
  if (err == 0) err = Mount(kMountFormatFlags);
  if (err) Unmount(true);
  return err;
}

}  // namespace

int Mount(std::uint32_t flags) {
  if (kel_global_mount()->mnt_data != nullptr) {
    SLOT_LOG(kMountFn, KEL_LOG_ERR, "mount failed %d\n", 16);
    return KEL_EBUSY;  // a volume is mounted: never mount over it
  }
  if (const int err = start_agent()) return err;
  vfs_context ctx = slot::caller_context();
  return mount_volume(flags, &ctx);
}

int MountDefault() { return Mount(kMountDefaultFlags); }

int Unmount(bool force) {
  vfs_context ctx = slot::caller_context();
  const int err = mdcudfsr_vfsop_unmount(kel_global_mount(), force ? 1 : 0, &ctx);
  // The nodes behind the path tree left with the volume: no path resolves
  // until the next mount builds a new tree.
  if (kel_global_mount()->mnt_data == nullptr) kel_tree_set_root(nullptr);
  return err;
}

int Format(bool backtrack, bool keep) {
  if (const int err = Mount(kMountFormatFlags)) {
    Unmount(true);
    return err;
  }
  ObjectCounts counts{};
  if (const int err = Fsctl(kFsctlObjectCounts, &counts)) {
    Unmount(true);
    return err;
  }
  if (!empty_volume(counts)) {
    if (const int err = delete_all(backtrack, keep)) return err;
  }
  const int checked = check_after_delete();
  if (checked == -1) return Unmount(false);
  Unmount(true);
  return checked;
}

int Flush(bool full) {
  if (full) {
    for (std::uint32_t code : {kFsctlRegisterPrivileged, kFsctlEnterPrivileged, kFsctlLeavePrivileged}) {
      if (const int err = Fsctl(code, nullptr)) return err;
    }
    // A read-only mount writes nothing: only its own changes count there.
    mdcudfsr_mount* mnt = mount_record();
    if (mnt && !(vfs_flags(mnt->mp) & MNT_RDONLY)) mnt->metadata_changed = 1;
  }
  vfs_context ctx = slot::caller_context();
  return mdcudfsr_vfsop_sync(kel_global_mount(), 1, &ctx);
}

int MountRollback(unsigned slot, unsigned metadata_fe_lsn, unsigned fsd_lsn) {
  const std::pair<const char*, std::uint32_t> values[] = {{"Rollback Slot Number", slot},
                                                          {"Rollback Metadata FE LSN", metadata_fe_lsn},
                                                          {"Rollback FSD LSN", fsd_lsn},
                                                          {"Access Mode", 0}};
  for (const auto& [name, value] : values) {
    int written = 0;
    config_set_uint32(0, nullptr, name, value, &written);
    if (written == -1) return KEL_EINVAL;
  }
  int err = Mount(kMountRollbackFlags);
  if (err) return err;
  ObjectCounts counts{};
  err = Fsctl(kFsctlObjectCounts, &counts);
  if (err == 0 && !empty_volume(counts)) {
    MountInformation mi{};
    err = get_mount_information(&mi);
  }
  return err;
}

}  // namespace kelmain
