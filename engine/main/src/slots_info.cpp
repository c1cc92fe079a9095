// Information slots: FsInfo, GetPathInfo and GetInfo.
#include "kelhost/kern_errno.h"
#include "slot_calls.h"

#include "kel/mdcfs.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "udf/udf_mount.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace kelmain {
namespace {

constexpr const char* kFsInfoFn = "int FsInfo(PKELFS_VOLUME_INFO)";
constexpr const char* kGetInfoFn = "int GetInfo(void*, unsigned int, PKELFS_OBJECT_INFO)";
constexpr std::uint64_t kGetInfoMask = 0x1007652;

KELFS_TIME to_record(const timespec& t) {
  return KELFS_TIME{static_cast<std::int64_t>(t.tv_sec), static_cast<std::uint32_t>(t.tv_nsec), 0};
}

// The text after the first blank of the identity's 32 bytes, up to its last
// non-blank character, at most 16 bytes.
void medium_guid(const std::uint8_t* identity, std::uint8_t* out) {
  int last = 31;
  while (last >= 0 && identity[last] == ' ') --last;
  int blank = 0;
  while (blank < last && identity[blank] != ' ') ++blank;
  if (blank >= last) return;
  const int length = std::min(16, last - blank);
  std::memcpy(out, identity + blank + 1, static_cast<std::size_t>(length));
}

std::uint32_t low32(std::uint64_t v) { return static_cast<std::uint32_t>(v); }

// FsInfo: the volume attributes.
int fill_volume_attributes(PKELFS_VOLUME_INFO info, vfs_context* ctx) {
  char name[VFSATTR_VOL_NAME_SIZE + 1] = {};  // 260 bytes and a terminator the engine never overwrites
  vfs_attr attr{};
  attr.f_active = VFSATTR_VOL_NAME;
  attr.f_vol_name = name;
  if (const int err = mdcudfsr_vfsop_getattr(kel_global_mount(), &attr, ctx)) return err;
  info->ObjectCount = low32(attr.f_objcount);
  info->FileCount = low32(attr.f_filecount);
  info->DirectoryCount = low32(attr.f_dircount);
  info->MaxObjectCount = low32(attr.f_maxobjcount);
  info->BlockSize = attr.f_bsize;
  info->IOSize = low32(attr.f_iosize);
  info->TotalBlocks = low32(attr.f_blocks);
  info->FreeBlocks = low32(attr.f_bfree);
  info->AvailableBlocks = low32(attr.f_bavail);
  info->UsedBlocks = low32(attr.f_bused);
  info->FilesFree = low32(attr.f_ffree);
  info->CreationTime = to_record(attr.f_create_time);
  strlcpy(info->VolumeName, name, 260);
  return 0;
}

// FsInfo: identity and last file index through the root.
int fill_root_controls(PKELFS_VOLUME_INFO info, vnode_t root, vfs_context* ctx) {
  std::uint8_t identity[44] = {};  // the engine writes 44 bytes; the record's first 40 are used
  if (const int err = vnode_ioctl(root, kIoctlVolumeIdentity, identity, 0, ctx)) {
    SLOT_LOG(kFsInfoFn, KEL_LOG_ERR, "failed to get volume identity information");
    return err;
  }
  SLOT_LOG(kFsInfoFn, KEL_LOG_INFO, "get volume identity information succeeded");
  medium_guid(identity, info->MediumGUID);
  std::memcpy(&info->VolumeInitializationCount, identity + 32, 4);
  std::memcpy(&info->VolumeInitializationId, identity + 36, 4);
  if (const int err = fill_volume_attributes(info, ctx)) return err;
  std::uint64_t last_index = 0;  // the engine writes eight bytes
  if (const int err = vnode_ioctl(root, kIoctlLastFileIndex, &last_index, 0, ctx)) {
    SLOT_LOG(kFsInfoFn, KEL_LOG_ERR, "failed to get last file index");
    return err;
  }
  SLOT_LOG(kFsInfoFn, KEL_LOG_INFO, "get last file index succeeded");
  info->LastFileIndex = low32(last_index);
  return 0;
}

// FsInfo: mount information, track information, the dirty word.
int fill_mount_state(PKELFS_VOLUME_INFO info, vnode_t root) {
  MountInformation mi{};
  if (const int err = Fsctl(kFsctlMountInformation, &mi)) return err;
  info->VolumeType = mi.reserved[0] >> 4;
  info->ParityRatio = 0;
  info->WriteProtectReason = write_protect_status(mi.write_protect_reason_flags);
  TrackInformation track{};
  if (const int err = qvutil_get_volume_track_information(&track)) return err;
  info->CurrentTrackId = track.current_track_id;
  info->MaximumTrackId = track.maximum_track_id;
  info->PartitionStart = low32(qvutil_cartridge_block_number(root, 0, 0, track.blocks_per_track));
  info->NextWritableBlock = track.next_writable_block;
  info->NumberOfBlocksPerTrack = track.blocks_per_track;
  auto* mnt = static_cast<mdcudfsr_mount*>(kel_global_mount()->mnt_data);
  // The state bit, inverted: 1 while a flush has something to save (the
  // mount's metadata-changed mark). The writer thread opens the integrity
  // session and sets the mark under the integrity descriptor's lock.
  bool changed = false;
  if (mnt) {
    std::lock_guard<mdcudfsr_owned_mutex> lk(mnt->lvid_mutex);
    changed = mnt->metadata_changed != 0;
  }
  info->Dirty = changed ? 1 : 0;
  return 0;
}

// GetInfo's space entries, count known: reads the extents and fills max entries.
int fill_extents(vnode_t vp, unsigned max, std::uint32_t count, PKELFS_OBJECT_INFO info, vfs_context* ctx) {
  std::vector<MDCFS_SPACE_ENTRY> entries(count);
  MDCFS_SPACE_ENTRIES_BUFFER request{};
  request.SpaceEntries = reinterpret_cast<std::uintptr_t>(entries.data());
  request.TotalSpaceCount = count;
  if (const int err = vnode_ioctl(vp, kIoctlFileAllocation, &request, 0, ctx)) {
    SLOT_LOG(kGetInfoFn, KEL_LOG_ERR, "failed to get space entries");
    return err;
  }
  SLOT_LOG(kGetInfoFn, KEL_LOG_INFO, "get space entries succeeded");
  TrackInformation track{};
  if (const int err = qvutil_get_volume_track_information(&track)) {
    SLOT_LOG(kGetInfoFn, KEL_LOG_ERR, "failed to get volume track infomation");
    return err;
  }
  info->SpaceEntries.Count = count;
  KELFS_SPACE_ENTRY* out = info->SpaceEntries.Entries;
  for (unsigned i = 0; i < max; ++i) {
    out[i] = KELFS_SPACE_ENTRY{};
    if (i >= count) continue;
    const MDCFS_SPACE_ENTRY& e = entries[i];
    const auto slot = e.ZoneId == -1 ? track.current_track_id : static_cast<std::uint32_t>(e.ZoneId);
    const auto block = static_cast<std::uint32_t>(e.BlockOffset);
    const std::uint64_t base = static_cast<std::uint64_t>(slot) * track.blocks_per_track;
    const std::uint64_t number = qvutil_cartridge_block_number(vp, slot, block, track.blocks_per_track);
    if (number - base == 0xFFFFFFFFu) return KEL_EIO;  // the block has no disc address
    out[i].BlockNumber = number;
    out[i].NumberOfBlocks = static_cast<std::uint32_t>(e.NumberOfBlocks);
  }
  return 0;
}

// GetInfo's space entries: their count first, then the entries.
int space_entries(vnode_t vp, unsigned max, PKELFS_OBJECT_INFO info, vfs_context* ctx) {
  MDCFS_SPACE_ENTRIES_BUFFER probe{};
  if (vnode_ioctl(vp, kIoctlFileAllocation, &probe, 0, ctx) != 0) {
    SLOT_LOG(kGetInfoFn, KEL_LOG_ERR, "failed to get space entries");
    return 0;
  }
  if (probe.TotalSpaceCount == 0) {
    SLOT_LOG(kGetInfoFn, KEL_LOG_INFO, "get space entries succeeded");
    return 0;
  }
  return fill_extents(vp, max, probe.TotalSpaceCount, info, ctx);
}

void fill_attributes(vnode_t vp, const vnode_attr& va, PKELFS_OBJECT_INFO info) {
  info->Flags = va.va_flags;
  info->ObjectID = static_cast<std::uint32_t>(qvutil_get_object_id(vp));
  info->Mode = va.va_mode;
  info->Links = low32(va.va_nlink);
  info->Size = va.va_data_size;
  info->Type = vp->v_type == VDIR ? 1 : 2;
  info->CreationTime = to_record(va.va_create_time);
  info->ModificationTime = to_record(va.va_modify_time);
  info->AccessTime = to_record(va.va_access_time);
  info->IOSize = va.va_iosize;
}

}  // namespace

std::uint32_t write_protect_status(std::uint32_t flags) {
  static constexpr std::pair<std::uint32_t, std::uint32_t> kRows[] = {
      {0x1, 0xC0002F44},      {0x2, 0xC0002F45},      {0x100, 0xC0002F46},    {0x200, 0xC0002F47},
      {0x400, 0x80002F48},    {0x1000, 0xC0002F4A},   {0x2000, 0x80002F4B},   {0x4000, 0xC0002F4C},
      {0x20000, 0x80002F4D},  {0x40000, 0x80002F4E},  {0x80000, 0xC0002F4F},  {0x100000, 0xC0002F50},
      {0x800, 0xC0002F49}};
  for (const auto& [bit, code] : kRows)
    if (flags & bit) return code;
  return flags ? 0xC0002F76u : 0u;
}

int FsInfo(PKELFS_VOLUME_INFO info) {
  if (info == nullptr) return KEL_EINVAL;
  std::memset(info, 0, sizeof(*info));
  vfs_context ctx = slot::caller_context();
  vnode_t root = nullptr;
  if (const int err = mdcudfsr_vfsop_root(kel_global_mount(), &root, &ctx)) {
    SLOT_LOG(kFsInfoFn, KEL_LOG_ERR, "failed to lookup root folder");
    return err;
  }
  if (const int err = fill_root_controls(info, root, &ctx)) return err;
  return fill_mount_state(info, root);
}

int GetInfo(void* handle, unsigned max_extents, PKELFS_OBJECT_INFO info) {
  auto* vp = static_cast<vnode_t>(handle);
  if (vp == nullptr || info == nullptr) return KEL_EINVAL;
  vfs_context ctx = slot::caller_context();
  vnode_attr va{};
  va.va_active = kGetInfoMask;
  if (const int err = slot::vn_getattr(vp, &va, &ctx)) return err;
  info->SpaceEntries.Count = 0;
  const int result = max_extents ? space_entries(vp, max_extents, info, &ctx) : 0;
  const char* name = qvutil_get_vfs_name(vp);
  if (name) {
    std::strncpy(info->ObjectName, name, sizeof(info->ObjectName) - 1);
    info->ObjectName[sizeof(info->ObjectName) - 1] = 0;
  } else {
    std::memset(info->ObjectName, 0, sizeof(info->ObjectName));
  }
  fill_attributes(vp, va, info);
  return result;
}

int GetPathInfo(const char* path, unsigned max_extents, PKELFS_OBJECT_INFO info) {
  vfs_context ctx = slot::caller_context();
  EntryPtr entry = slot::resolve(path, &ctx);
  if (!entry) return KEL_ENOENT;
  if (info == nullptr) return 0;
  return GetInfo(entry->vn.get(), max_extents, info);
}

}  // namespace kelmain
