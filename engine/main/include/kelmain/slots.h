// The operation table handed to the interface library's request loop, the
// slots it holds, and the small helpers the slots share.
//
// Every slot answers an errno-style value (GetMediumType the medium type).
// A file handle is the engine's vnode; paths are absolute UTF-8 with "/".
#pragma once

#include "kel/fsops.h"
#include "kelhost/kern_types.h"
#include "kelvnops/mdcudfsr_ioctl.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace kelmain {

// The static table; main hands a copy of it to the request loop.
const FileSystemOperations& operation_table();

// Volume slots.
int Mount(std::uint32_t flags);
int MountDefault();
int Unmount(bool force);
int Format(bool backtrack, bool keep);
int FsInfo(PKELFS_VOLUME_INFO info);
int Flush(bool full);
int MountRollback(unsigned slot, unsigned metadata_fe_lsn, unsigned fsd_lsn);
// File slots.
int GetPathInfo(const char* path, unsigned max_extents, PKELFS_OBJECT_INFO info);
int CreateFile(const char* folder, const char* name, std::size_t name_size, char* name_out, void** handle);
int OpenFile(const char* path, int mode, void** handle);
int CloseFile(void* handle, bool dummy);
int FileIoctl(void* handle, unsigned code, void* data);
int GetInfo(void* handle, unsigned max_extents, PKELFS_OBJECT_INFO info);
int ReadData(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done);
int WriteData(void* handle, const void* buffer, std::uint64_t offset, unsigned length, int* done);
int SetAttributes(void* handle, int mode);
int SetFileTimes(void* handle, const timespec* created, const timespec* accessed, const timespec* modified);
int SetFileSize(void* handle, std::uint64_t size);
// Name-space slots.
int Rename(const char* old_folder, const char* old_name, const char* new_folder, const char* new_name);
int RenameDir(const char* old_folder, const char* old_name, const char* new_folder, const char* new_name);
int DeleteFile(const char* folder, const char* name);
int DeleteDirectory(const char* folder, const char* name);
int CreateDirectory(const char* folder, const char* name, bool hidden);
std::int64_t ReadDirectory(void* context, std::uint64_t user, const char* path, pfnReadDirectoryCallback callback);

// Mount flags of the three mounts.
constexpr std::uint32_t kMountDefaultFlags = 0x202;
constexpr std::uint32_t kMountFormatFlags = 0x242;
constexpr std::uint32_t kMountRollbackFlags = 0xE2;

// Slot 6: a file-system control request on the volume root; before any
// mount only the privilege requests (0), the mount information and the
// device information (from the drive layer) are answered, others get 2.
int Fsctl(unsigned code, void* data);
// Slot 25: the medium type byte Initialise read.
int GetMediumType();

// The argument record of the vnode ioctl operation.
using VnopIoctlArgs = vnop_ioctl_args;

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
// The node's name, or null without an active node.
const char* qvutil_get_vfs_name(vnode_t vp);
// The node's extended object id (a proxy's is its master's unique id) when
// non-zero, else its unique id; -1 without an active node.
int qvutil_get_object_id(vnode_t vp);
// slot x blocks_per_slot + the disc address of the metadata-partition
// block, whose address part is 0xFFFFFFFF when the block has none.
std::uint64_t qvutil_cartridge_block_number(vnode_t vp, std::uint32_t slot, std::uint32_t block,
                                            std::uint32_t blocks_per_slot);
// Sets or clears the hidden bit 0x8000 of the node's file flags.
void qvutil_update_hidden_flag(vnode_t vp, bool hidden);

// File-system control codes the slots answer or send.
constexpr std::uint32_t kFsctlEnterPrivileged = 0x20007000u;
constexpr std::uint32_t kFsctlLeavePrivileged = 0x20007001u;
constexpr std::uint32_t kFsctlRegisterPrivileged = 0x20007007u;
constexpr std::uint32_t kFsctlMountInformation = 0x40107014u;
constexpr std::uint32_t kFsctlDeviceInformation = 0x404C7013u;
constexpr std::uint32_t kFsctlTrackInformation = 0xC0107016u;
constexpr std::uint32_t kFsctlObjectCounts = 0xC0087010u;
constexpr std::uint32_t kFsctlAllDelete = 0x8004700Eu;
constexpr std::uint32_t kFsctlBacktrackProgress = 0x4008704Du;
constexpr std::uint32_t kIoctlVolumeIdentity = 0x40007050u;
constexpr std::uint32_t kIoctlLastFileIndex = 0x40007057u;
constexpr std::uint32_t kIoctlFileAllocation = 0xC1007082u;
constexpr std::uint32_t kIoctlStoredName = 0xC1007049u;
constexpr std::uint32_t kIoctlDummyClose = 0x2000704Au;
constexpr std::uint32_t kIoctlSetVisibility = 0x800070A1u;

// The mount information record (16 bytes).
struct MountInformation {
  std::uint32_t mount_status;
  std::uint32_t write_protect_reason_flags;
  std::uint32_t access_mode;
  std::uint8_t medium_type;
  std::uint8_t volume_status;
  std::uint8_t reserved[2];
};
static_assert(sizeof(MountInformation) == 16, "mount information");
// Ready: bit 0x80 set and the low four bits 1.
constexpr bool volume_ready(std::uint8_t status) { return (status & 0x80) && (status & 0x0F) == 1; }
// The write-protect status code FsInfo reports for the reason flags.
std::uint32_t write_protect_status(std::uint32_t flags);

// The packed device information the Fsctl slot hands out before a mount.
constexpr std::size_t kDeviceInformationBytes = 76;

}  // namespace kelmain
