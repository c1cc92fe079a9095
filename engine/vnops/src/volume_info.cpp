// Device and mount information, and the rollback check at mount.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_volume_info.h"

#include "drive/device_control.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>
#include <vector>

int mdcudfsr_mdcfsctrl_get_device_information(mdcudfsr_mount* mnt, void* record, vfs_context_t ctx) {
  if (!record) return KEL_EINVAL;
  auto* out = static_cast<std::uint8_t*>(record);
  std::memset(out, 0, MDCFS_DEVICE_INFORMATION_SIZE);
  if (!mnt) {
    VN_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  std::uint8_t dev[80] = {};
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOGETDEVINFO, reinterpret_cast<char*>(dev), 0, ctx);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  // Each text field of the drive's record is followed by a NUL that the
  // caller's record leaves out.
  static const struct {
    int from, length;
  } kFields[] = {{0, 8}, {9, 16}, {26, 4}, {31, 16}, {48, 32}};
  std::size_t at = 0;
  for (const auto& f : kFields) {
    std::memcpy(out + at, dev + f.from, static_cast<std::size_t>(f.length));
    at += static_cast<std::size_t>(f.length);
  }
  return 0;
}

int mdcudfsr_mdcfsctrl_get_volume_mount_information(mdcudfsr_mount* mnt, MDCFS_MOUNT_INFORMATION* record,
                                                    vfs_context_t ctx) {
  if (!mnt) {
    VN_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  return VNOP_IOCTL(mnt->devvp, PXOIOGETMOUNTINFO, reinterpret_cast<char*>(record), 0, ctx);
}

namespace {
#pragma pack(push, 1)
struct BacktrackStart {
  std::uint8_t policy;
  std::uint32_t option1;
  std::uint32_t option2;
  std::uint32_t verify;
};
#pragma pack(pop)
static_assert(sizeof(BacktrackStart) == 13);
}  // namespace

int mdcudfsr_backtrack_delete_info(mdcudfsr_mount* mnt, vfs_context_t ctx, int* started) {
  if (!mnt) return KEL_EINVAL;
  std::vector<std::uint8_t> attr(140, 0);
  std::uint8_t request[88] = {};
  const std::uint16_t id = 0x1500, reply_size = 140;
  const std::uint64_t reply = reinterpret_cast<std::uintptr_t>(attr.data());
  std::memcpy(request, &id, 2);
  std::memcpy(request + 2, &reply_size, 2);
  std::memcpy(request + 5, &reply, 8);
  const int read = VNOP_IOCTL(mnt->devvp, PXOIOREADATTRIBUTE, reinterpret_cast<char*>(request), 0, ctx);
  if (read) {
    mnt->mntinfo.WriteProtectReasonFlags |= 0x4000u;
    VN_LOG(KEL_LOG_WARN, "read attribute failed. do read only mount\n");
    return 0;
  }
  const std::uint16_t sequence = static_cast<std::uint16_t>(attr[51] << 8 | attr[52]);
  std::uint64_t address = 0;
  for (int i = 53; i <= 60; ++i) address = address << 8 | attr[static_cast<std::size_t>(i)];
  if (sequence == 0 || address != ~0ull) return 0;
  BacktrackStart bt{4, 1, 1, mnt->verify_mode};
  int err = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    err = VNOP_IOCTL(mnt->devvp, PXOIOBACKTRACKSTART, reinterpret_cast<char*>(&bt), 0, ctx);
  }
  if (err)
    VN_LOG(KEL_LOG_ERR, "PXOIOBACKTRACKSTART err:%d\n", err);
  else if (started)
    *started = 1;
  return err;
}
