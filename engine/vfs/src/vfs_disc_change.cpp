// Loading a disc of the cartridge and the guard that limits the rate of
// disc changes.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_disc_change.h"

#include "drive/device_control.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "vfs_log.h"
#include "vfs_mount_internal.h"

#include <cstring>


namespace {

constexpr std::uint32_t kMntNoEdit = 0x40;
constexpr std::uint32_t kVerifyBlockingReasons = 0x000E7F03u;
constexpr std::uint32_t kSlotMismatch = 0x80000u;

struct SlotInfo {
  std::uint32_t current;
  std::uint32_t last_written;
  std::uint8_t unused[8];
};
static_assert(sizeof(SlotInfo) == 16);

#pragma pack(push, 1)
struct ReallocControl {
  std::uint32_t start;
  std::uint32_t length;
  std::uint32_t zero[2];
  std::uint8_t fvwre;
  std::uint8_t fvwrd;
  std::uint8_t pad[2];
};
#pragma pack(pop)
static_assert(sizeof(ReallocControl) == 20);

struct UniqueIdRequest {
  std::uint8_t id[16];
  std::uint32_t length;
};
static_assert(sizeof(UniqueIdRequest) == 20);

void log_statistics(mdcudfsr_mount* mnt, std::uint32_t n, std::uint64_t stamp, std::uint64_t now) {
  KEL_LOG_AS("mdcudfsr_check_disc_change_num", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
             "DiscChangeNumTotal %d. ChngWtchTick(sec) %lld. CurrentTick(sec) %lld. WtchSmpls * WtchSteps = %d. "
             "DscChngWtchIvalSec %d\n",
             static_cast<int>(n), static_cast<long long>(stamp / 1000000000u),
             static_cast<long long>(now / 1000000000u), static_cast<int>(mnt->WtchSmpls * mnt->WtchSteps),
             static_cast<int>(mnt->DscChngWtchIvalSec));
}

// The guard trips: delay guard while unflushed state is held, else the
// system guard at once. 1 when the system guard was started.
int trip_guard(mdcudfsr_mount* mnt, vfs_context_t ctx, std::uint32_t n, std::uint64_t stamp, std::uint64_t now) {
  mnt->delay_guard = 1;
  if (mnt->privileged_mode || (mnt->integrity_written && (mdcudfsr_volume_status(mnt).load() & 0x10))) {
    KEL_LOG_AS("mdcudfsr_check_disc_change_num", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "Change disk system delay guard mode.\n");
    log_statistics(mnt, n, stamp, now);
    return 0;
  }
  KEL_LOG_AS("mdcudfsr_check_disc_change_num", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
             "Change disk system emergency guard mode.\n");
  log_statistics(mnt, n, stamp, now);
  mdcudfsr_system_guard_disc_change(mnt, ctx);
  return 1;
}

}  // namespace

int mdcudfsr_check_disc_change_num(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VFS_ENTER();
  int value = 0;
  const std::uint32_t smpls = mnt->WtchSmpls;
  const std::uint32_t steps = mnt->WtchSteps;
  if ((mnt->mount_ext_flags & kMntNoEdit) || mnt->delay_guard ||
      (mnt->mntinfo.WriteProtectReasonFlags & WRPROT_NO_COUNTING) || !mnt->watch_ring || smpls == 0 ||
      steps == 0) {
    VFS_EXIT(value);
    return value;
  }
  const std::uint32_t n = ++mnt->DiscChangeNumTotal;
  std::uint64_t now = 0;
  if (n == 1) {
    mnt->watch_ring[0] = getTickNsGnrc(&now);
    if (smpls == 1 && steps > 1) mnt->watch_ring[1] = now;
  } else if (n % smpls == 0) {
    const std::uint32_t k = n / smpls;
    if (k < steps) {
      mnt->watch_ring[k] = getTickNsGnrc(&now);
    } else {
      const std::uint32_t i = k % steps;
      getTickNsGnrc(&now);
      const std::uint64_t elapsed = (now - mnt->watch_ring[i]) / 1000000000u;
      if (elapsed >= mnt->DscChngWtchIvalSec)
        mnt->watch_ring[i] = now;
      else
        value = trip_guard(mnt, ctx, n, mnt->watch_ring[i], now);
    }
  }
  VFS_EXIT(value);
  return value;
}

void mdcudfsr_system_guard_disc_change(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  VFS_ENTER();
  if (!mnt) return;
  mdcudfsr_set_readonly_mount(mnt, MNTSTATUS_SYSTEM_GUARD, WRPROT_DRIVE_ERROR, ctx);
  mnt->mntinfo.VolumeStatus = 0;
  VFS_LOG(KEL_LOG_ERR, "disk change system guard mode start.\n");
  mnt->system_guard = 1;
}

int mdcudfsr_devsupio_set_reallocation(mdcudfsr_mount* mnt, vfs_context_t ctx, int* failed) {
  VFS_ENTER();
  if (mnt->mntinfo.WriteProtectReasonFlags & kVerifyBlockingReasons) return 0;
  ReallocControl rc{};
  const bool re = mnt->is_rewritable != 0;
  rc.start = re ? 4096 : 0;
  rc.length = re ? (mnt->num_sectors > 0x1120u ? mnt->num_sectors - 0x1120u : 0) : mnt->num_sectors;
  rc.fvwre = re ? 1 : 0;
  rc.fvwrd = mnt->verify_mode ? 1 : 0;
  const int err = ioctl(mnt, PXOIOSETREALLOCCONTROL, &rc, ctx);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "SET REALLOC CTL fail :%d \n", err);
    if (failed) *failed = 1;
    VFS_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  VFS_LOGK(KEL_LOG_WARN,
           rc.fvwrd ? "Drive Verify ON(=AUTO) Length:%x Fvwre:%x Fvwrd:%x\n"
                    : "Drive Verify OFF(=Manual) Length:%x Fvwre:%x Fvwrd:%x\n",
           rc.length, rc.fvwre, rc.fvwrd);
  return 0;
}

namespace {

// A failed load, mechanism status or write-verify setting outside mounting
// makes the volume read-only and reports the error to the drive.
int fail_not_mounting(mdcudfsr_mount* mnt, std::uint32_t slot, int err, vfs_context_t ctx) {
  KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_WARN, KEL_MOD_CORE, KEL_MARK_NOTE,
             "Slot:%d disc load failed without mounting set readonly status Status = %d \n",
             static_cast<int>(slot), err);
  mdcudfsr_set_readonly_mount(mnt, MNTSTATUS_DRIVE_ERROR, WRPROT_DRIVE_ERROR, ctx);
  mdcudfsr_report_error(mnt, 0, ctx);
  return err;
}

void read_unique_id(mdcudfsr_mount* mnt, std::uint32_t from, std::uint32_t slot, vfs_context_t ctx) {
  UniqueIdRequest req{};
  req.length = 14;
  const int err = ioctl(mnt, PXOIOGETMEDIUMUNIQUEID, &req, ctx);
  if (err) {
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "Slot:%d Get Medium Unique ID from INQUIRY failed. err = %d \n", static_cast<int>(slot), err);
    return;
  }
  const std::uint8_t* u = req.id;
  KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_WARN, KEL_MOD_KELC, KEL_MARK_NOTE,
             "DISC CHANGE:%d -> %d Success. DiscChangeTotalNum:%d MediumUniqueID:%02d%02d%02d%02d%02d%02d%02d%02d"
             "%02d%02d%02d%02d%02d%02d\n",
             static_cast<int>(from), static_cast<int>(slot), static_cast<int>(mnt->DiscChangeNumTotal), u[0], u[1],
             u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13]);
  std::memcpy(mnt->medium_unique_id, u, 14);
}

// Steps after the slot is confirmed: slot information, write verify, unique
// id, write protect, medium type and readiness.
int refresh_disc(mdcudfsr_mount* mnt, std::uint32_t slot, const std::uint8_t* ms, int invalidate, vfs_context_t ctx,
                 int on_mount, int counted) {
  const std::uint32_t from = mnt->loaded_slot;
  mnt->loaded_slot = slot;
  SlotInfo si{slot, mnt->current_disc, {}};
  int err = ioctl(mnt, PXOIOCSETSLOTINFO, &si, ctx);
  if (err) {
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "PXOIOCSETSLOTINFO Failed. err = %d\n", err);
    return err;
  }
  int failed = 0;
  err = mdcudfsr_devsupio_set_reallocation(mnt, ctx, &failed);
  if (err && failed) {
    if (!on_mount) return fail_not_mounting(mnt, slot, err, ctx);
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "MODE SELECT(20H) failed on mounting err = %d \n", err);
    return err;
  }
  read_unique_id(mnt, from, slot, ctx);
  if (ms[9] & 0x01) {
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_CARTRIDGE_SWITCH, 1, ctx);
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_WARN, KEL_MOD_CORE, KEL_MARK_NOTE,
               "Slot:%d disc mechanism status write protected. CWP = %X\n", static_cast<int>(slot), ms[9]);
  }
  std::uint8_t type[4] = {};
  ioctl(mnt, PXOIOGETMEDIUMTYPE, type, ctx);
  if (type[0] != static_cast<std::uint8_t>(mnt->medium_type)) {
    mnt->mntinfo.MountStatus = MNTSTATUS_DRIVE_ERROR;
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "Slot:%d media type invalid. (DEVICE = %X:%X)\n", static_cast<int>(slot), mnt->medium_type, type[0]);
    return KEL_EINVAL;
  }
  std::uint8_t tur[100] = {};
  const std::uint32_t one = 1, timeout = 20000;
  std::memcpy(tur, &one, 4);
  std::memcpy(tur + 4, &timeout, 4);
  tur[24] = 10;
  err = ioctl(mnt, PXOIOCSCSIPASSTHROUGH, tur, ctx);
  if (err) {
    mnt->mntinfo.MountStatus = MNTSTATUS_DRIVE_ERROR;
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "Slot:%d TEST UNIT READY failed. err = %d\n", static_cast<int>(slot), err);
    return err;
  }
  if (invalidate) buf_invalidateblks(mnt->devvp, 0, 0, 0);
  return counted;
}

int load_and_check(mdcudfsr_mount* mnt, std::uint32_t slot, int invalidate, vfs_context_t ctx, int on_mount) {
  std::uint8_t load = static_cast<std::uint8_t>(slot);
  int err = ioctl(mnt, PXOIONEXTSLOTLOAD, &load, ctx);
  if (err) {
    if (!on_mount) return fail_not_mounting(mnt, slot, err, ctx);
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "Slot:%d disc load failed on mounting err = %d \n", static_cast<int>(slot), err);
    return err;
  }
  const int counted = on_mount ? 0 : mdcudfsr_check_disc_change_num(mnt, ctx);
  std::uint8_t ms[12] = {};
  err = ioctl(mnt, PXOIOMECHANISMSTATUS, ms, ctx);
  if (err) {
    if (!on_mount) return fail_not_mounting(mnt, slot, err, ctx);
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE,
               "MECHANISMSTATUS failed on mounting err = %d \n", err);
    return err;
  }
  const std::uint32_t reported = (ms[0] | (ms[1] << 5)) & 0xFFu;
  if ((ms[0] & 0xE0) || reported != slot) {
    mnt->mntinfo.WriteProtectReasonFlags |= kSlotMismatch;
    mnt->mntinfo.MountStatus = MNTSTATUS_DRIVE_ERROR;
    KEL_LOG_AS("mdcudfsr_disc_change", KEL_LOG_ERR, KEL_MOD_CORE, KEL_MARK_NOTE, "No Match Slot Number. \n");
    return KEL_EINVAL;
  }
  return refresh_disc(mnt, slot, ms, invalidate, ctx, on_mount, counted);
}

}  // namespace

int mdcudfsr_disc_change(mdcudfsr_mount* mnt, uint32_t slot_code, int invalidate, vfs_context_t ctx, int on_mount) {
  VFS_ENTER();
  if (!mnt) return KEL_EINVAL;
  const int pid = static_cast<int>(vfs_context_pid(ctx));
  char name[128] = {};
  proc_name(pid, name, sizeof name);
  std::uint32_t slot = slot_code & 0xFFu;
  int result = 0;
  if (slot == SLOT_KEEP_LOADED) {
    VFS_EXIT(0);
    return 0;
  }
  if (slot == SLOT_LAST_WRITTEN) slot = mnt->current_disc & 0xFFu;
  if (mnt->loaded_slot == slot) {
    VFS_LOG(KEL_LOG_INFO, "not change slot\n");
  } else if (mnt->system_guard) {
    VFS_LOGK(KEL_LOG_WARN, "disc change system guard. stop disc change\n");
    result = KEL_EINVAL;
  } else {
    VFS_LOGK(KEL_LOG_WARN, "DISC CHANGE:%d -> %d Process=%s pid=%d\n", static_cast<int>(mnt->loaded_slot),
             static_cast<int>(slot), name, pid);
    result = load_and_check(mnt, slot, invalidate, ctx, on_mount);
  }
  VFS_EXIT(result);
  return result;
}
