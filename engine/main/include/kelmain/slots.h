// The operation table handed to the interface library's request loop, the
// slots it holds, and the small helpers the slots share.
//
// A slot is in the table only once every engine part it calls is built;
// until then its entry is null, which the interface library answers with
// 19 (no device).
#pragma once

#include "kel/fsops.h"
#include "kelhost/kern_types.h"

#include <cstdint>

namespace kelmain {

// The static table; main hands a copy of it to the request loop.
const FileSystemOperations& operation_table();

// Slot 6: a file-system control request on the volume root; before any
// mount only the privilege requests (0), the mount information and the
// device information (from the drive layer) are answered, others get 2.
int Fsctl(unsigned code, void* data);
// Slot 25: the medium type byte Initialise read.
int GetMediumType();

// The argument record of the vnode ioctl operation.
struct VnopIoctlArgs {
  vnodeop_desc* a_desc;
  vnode_t a_vp;
  std::uint32_t a_command;
  void* a_data;
  int a_fflag;
  vfs_context_t a_context;
};
static_assert(sizeof(VnopIoctlArgs) == 48, "ioctl argument record");

// The vnode ioctl operation through the resolved pointer; 22 when it is not
// resolved or the vnode is null.
int vnode_ioctl(vnode_t vp, std::uint32_t command, void* data, int flags, vfs_context_t context);

// Code with the parameter-length bits below 128 bytes cleared.
constexpr std::uint32_t mask_fsctl_length(std::uint32_t code) { return code & 0xFF80FFFFu; }

// Track information as the slots use it.
struct TrackInformation {
  std::uint32_t current_track_id;
  std::uint32_t maximum_track_id;
  std::uint32_t next_writable_block;
  std::uint32_t blocks_per_track;
};
// Asks the running interface for the track information (0xC0107016, which
// comes back through the Fsctl slot): words 1, 0, 2 and 3 of the answer, in
// this order. The request's result; the record is set only on success.
int qvutil_get_volume_track_information(TrackInformation* out);
// Whether a medium type is rewritable.
bool qvutil_is_rewritable_medium(std::uint8_t type);

// File-system control codes the slots answer or send.
constexpr std::uint32_t kFsctlEnterPrivileged = 0x20007000u;
constexpr std::uint32_t kFsctlLeavePrivileged = 0x20007001u;
constexpr std::uint32_t kFsctlRegisterPrivileged = 0x20007007u;
constexpr std::uint32_t kFsctlMountInformation = 0x40107014u;
constexpr std::uint32_t kFsctlDeviceInformation = 0x404C7013u;
constexpr std::uint32_t kFsctlTrackInformation = 0xC0107016u;

// The packed device information the Fsctl slot hands out before a mount.
constexpr std::size_t kDeviceInformationBytes = 76;

}  // namespace kelmain
