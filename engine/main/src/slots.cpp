// The operation table and the slots that are built.
#include "kelmain/slots.h"

#include "kelhost/kern_errno.h"
#include "slot_calls.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "kel/entry.h"
#include "kelhost/log.h"
#include "kelhost/vnode.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelmain/engine_main.h"
#include "platform/sync.h"
#include "udf/udf_names.h"

#include <cstring>

namespace kelmain {
namespace {


constexpr const char* kNoActiveNode = "mdcudfsrcnp && mdcudfsrcnp->status!=MDCUDFSR_NODE_STATUS_INACTIVE";

mdcudfsr_cache_node* node_of(vnode_t vp) { return vp ? static_cast<mdcudfsr_cache_node*>(vp->v_data) : nullptr; }

// Runs read on the node locked, when it is there and active; false (logged)
// otherwise.
template <class Read>
bool with_active_node(vnode_t vp, const char* function, Read read) {
  mdcudfsr_cache_node* n = node_of(vp);
  if (n && mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER) == 0) {
    const bool active = !mdcudfsr_is_inactive(n);
    if (active) read(n);
    mdcudfsr_cache_unlock_node(n);
    if (active) return true;
  }
  KEL_LOG_AS(function, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE, "%s", kNoActiveNode);
  return false;
}

// The drive layer's device information, packed into the caller's record.
int device_information(void* data) {
  if (data == nullptr) return KEL_EINVAL;
  std::uint8_t raw[80] = {};
  vfs_context ctx = slot::caller_context();
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
      vfs_context ctx = slot::caller_context();
      return VNOP_IOCTL(nullptr, PXOIOGETMOUNTINFO, static_cast<char*>(data), 0, &ctx);
    }
    case kFsctlDeviceInformation:
      return device_information(data);
    default:
      return KEL_ENOENT;
  }
}

}  // namespace

int vnode_ioctl(vnode_t vp, std::uint32_t command, void* data, int flags, vfs_context_t context) {
  if (vp == nullptr || kel_vnops.ioctl == nullptr) return KEL_EINVAL;
  VnopIoctlArgs args{nullptr, vp, command, data, flags, context};
  return kel_vnops.ioctl(&args);
}

int Fsctl(unsigned code, void* data) {
  vfs_context ctx = slot::caller_context();
  EntryPtr root = get_entry("/", &ctx);
  if (root) return vnode_ioctl(root->vn.get(), mask_fsctl_length(code), data, 0, &ctx);
  return fsctl_unmounted(code, data);
}

int GetMediumType() { return process_state().medium_type; }

int qvutil_get_volume_track_information(TrackInformation* out) {
  if (out == nullptr) return KEL_EINVAL;
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

const char* qvutil_get_vfs_name(vnode_t vp) {
  const char* name = nullptr;
  if (!with_active_node(vp, "qvutil_get_vfs_name", [&](mdcudfsr_cache_node* n) { name = n->vfs_name; })) return nullptr;
  return name;
}

int qvutil_get_object_id(vnode_t vp) {
  std::uint64_t id = 0;
  const bool found = with_active_node(vp, "qvutil_get_object_id", [&](mdcudfsr_cache_node* n) {
    // A proxy's extended object id is its master's unique id.
    const std::uint64_t extended = n->master ? mdcudfsr_node_unique_id(n->master) : 0;
    id = extended ? extended : mdcudfsr_node_unique_id(n);
  });
  return found ? static_cast<int>(static_cast<std::uint32_t>(id)) : -1;
}

std::uint64_t qvutil_cartridge_block_number(vnode_t vp, std::uint32_t slot, std::uint32_t block,
                                            std::uint32_t blocks_per_slot) {
  mdcudfsr_cache_node* n = node_of(vp);
  const std::uint32_t lsn = n && n->mdcudfsrmp ? mdcudfsr_lbn2lsn(n->mdcudfsrmp, 2, block, nullptr) : 0xFFFFFFFFu;
  return static_cast<std::uint64_t>(slot) * blocks_per_slot + lsn;
}

void qvutil_update_hidden_flag(vnode_t vp, bool hidden) {
  mdcudfsr_cache_node* n = node_of(vp);
  if (n == nullptr) return;
  if (hidden) n->file_flags |= 0x8000u;
  else n->file_flags &= ~0x8000u;
}

const FileSystemOperations& operation_table() {
  static const FileSystemOperations table = [] {
    FileSystemOperations t{};
    t.LogMessage = ::LogMessage;
    t.MountDefault = MountDefault;
    t.Unmount = Unmount;
    t.Format = Format;
    t.FsInfo = FsInfo;
    t.Flush = Flush;
    t.Fsctl = Fsctl;
    t.GetPathInfo = GetPathInfo;
    t.CreateFile = CreateFile;
    t.OpenFile = OpenFile;
    t.CloseFile = CloseFile;
    t.FileIoctl = FileIoctl;
    t.GetInfo = GetInfo;
    t.ReadData = ReadData;
    t.WriteData = WriteData;
    t.SetAttributes = SetAttributes;
    t.SetFileTimes = SetFileTimes;
    t.SetFileSize = SetFileSize;
    t.Rename = Rename;
    t.DeleteFile = DeleteFile;
    t.CreateDirectory = CreateDirectory;
    t.RenameDir = RenameDir;
    t.DeleteDirectory = DeleteDirectory;
    t.ReadDirectory = ReadDirectory;
    t.MountRollback = MountRollback;
    t.GetMediumType = GetMediumType;
    return t;
  }();
  return table;
}

}  // namespace kelmain
