// The operation table and the slots that are built.
#include "kelmain/slots.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "kel/entry.h"
#include "kelhost/log.h"
#include "kelhost/vnode.h"
#include "kelmain/engine_main.h"
#include "platform/sync.h"

#include <cstring>

namespace kelmain {
namespace {

vfs_context caller_context() { return vfs_context{static_cast<std::uint64_t>(GetCurrentProcessId())}; }

// The drive layer's device information, packed into the caller's record.
int device_information(void* data) {
  if (data == nullptr) return 22;
  std::uint8_t raw[80] = {};
  vfs_context ctx = caller_context();
  const int err = VNOP_IOCTL(nullptr, PXOIOGETDEVINFO, reinterpret_cast<char*>(raw), 0, &ctx);
  if (err != 0) return err;
  struct Piece {
    std::size_t to, from, length;
  };
  static constexpr Piece kPieces[] = {{0, 0, 8},   {8, 9, 8},   {16, 17, 8}, {24, 26, 4},
                                      {28, 31, 8}, {36, 39, 8}, {44, 48, 32}};
  auto* out = static_cast<std::uint8_t*>(data);
  for (const Piece& p : kPieces) std::memcpy(out + p.to, raw + p.from, p.length);
  return 0;
}

// Fsctl while no volume root exists.
int fsctl_unmounted(unsigned code, void* data) {
  switch (code) {
    case kFsctlEnterPrivileged:
    case kFsctlLeavePrivileged:
    case kFsctlRegisterPrivileged:
      return 0;
    case kFsctlMountInformation: {
      vfs_context ctx = caller_context();
      return VNOP_IOCTL(nullptr, PXOIOGETMOUNTINFO, static_cast<char*>(data), 0, &ctx);
    }
    case kFsctlDeviceInformation:
      return device_information(data);
    default:
      return 2;
  }
}

}  // namespace

int vnode_ioctl(vnode_t vp, std::uint32_t command, void* data, int flags, vfs_context_t context) {
  if (vp == nullptr || kel_vnops.ioctl == nullptr) return 22;
  VnopIoctlArgs args{nullptr, vp, command, data, flags, context};
  return kel_vnops.ioctl(&args);
}

int Fsctl(unsigned code, void* data) {
  vfs_context ctx = caller_context();
  EntryPtr root = get_entry("/", &ctx);
  if (root) return vnode_ioctl(root->vn.get(), mask_fsctl_length(code), data, 0, &ctx);
  return fsctl_unmounted(code, data);
}

int GetMediumType() { return process_state().medium_type; }

int qvutil_get_volume_track_information(TrackInformation* out) {
  if (out == nullptr) return 22;
  std::uint32_t words[4] = {};
  const int err = quorvel_fsctl(kFsctlTrackInformation, words);
  if (err != 0) return err;
  *out = TrackInformation{words[1], words[0], words[2], words[3]};
  return 0;
}

bool qvutil_is_rewritable_medium(std::uint8_t type) {
  switch (type) {
    case 0x53: case 0x57: case 0xC3: case 0xD3: case 0xE2: case 0xE4: case 0xE6: case 0xE8:
      return true;
    default:
      return false;
  }
}

const FileSystemOperations& operation_table() {
  static const FileSystemOperations table = [] {
    FileSystemOperations t{};
    t.LogMessage = ::LogMessage;
    t.Fsctl = Fsctl;
    t.GetMediumType = GetMediumType;
    return t;
  }();
  return table;
}

}  // namespace kelmain
