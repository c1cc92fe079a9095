// The operation table between the engine program and the interface library,
// and the records its slots fill. The slot order and the record layouts are
// part of the interface between the two deliverables: do not reorder.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

extern "C" {

#pragma pack(push, 1)

// A time of the object records: seconds since 1970 and nanoseconds.
struct KELFS_TIME {
  std::int64_t Seconds;
  std::uint32_t Nanoseconds;
  std::uint32_t Reserved;
};
static_assert(sizeof(KELFS_TIME) == 16, "KELFS_TIME is 16 bytes");

// One allocation extent of an object.
struct KELFS_SPACE_ENTRY {
  std::uint64_t BlockNumber;
  std::uint32_t NumberOfBlocks;
  std::uint32_t Reserved;
};
static_assert(sizeof(KELFS_SPACE_ENTRY) == 16, "KELFS_SPACE_ENTRY is 16 bytes");

// The extent list: the count, then the entries from byte 8.
struct KELFS_SPACE_ENTRIES {
  std::uint32_t Count;
  std::uint32_t Reserved;
  KELFS_SPACE_ENTRY Entries[1];  // as many as the caller asked for
};
static_assert(sizeof(KELFS_SPACE_ENTRIES) == 24, "KELFS_SPACE_ENTRIES header");

// Object information (GetPathInfo, GetInfo, ReadDirectory). 4208 bytes with
// one extent; callers that ask for n extents allocate 4192 + 16 * n bytes.
struct KELFS_OBJECT_INFO {
  char ObjectName[4096];  // NUL-terminated UTF-8
  std::uint32_t Flags;
  std::uint32_t ObjectID;
  std::uint32_t Mode;
  std::uint32_t Links;
  std::uint64_t Size;
  std::int32_t Type;  // 1 folder, 2 other object (listing: 2 file, 0 other)
  std::uint32_t Reserved1;
  KELFS_TIME CreationTime;
  KELFS_TIME ModificationTime;
  KELFS_TIME AccessTime;
  std::uint32_t IOSize;
  std::uint32_t Reserved2;
  KELFS_SPACE_ENTRIES SpaceEntries;
};
using PKELFS_OBJECT_INFO = KELFS_OBJECT_INFO*;
static_assert(sizeof(KELFS_OBJECT_INFO) == 4208, "KELFS_OBJECT_INFO is 4208 bytes");
static_assert(offsetof(KELFS_OBJECT_INFO, Flags) == 4096);
static_assert(offsetof(KELFS_OBJECT_INFO, Size) == 4112);
static_assert(offsetof(KELFS_OBJECT_INFO, Type) == 4120);
static_assert(offsetof(KELFS_OBJECT_INFO, CreationTime) == 4128);
static_assert(offsetof(KELFS_OBJECT_INFO, ModificationTime) == 4144);
static_assert(offsetof(KELFS_OBJECT_INFO, AccessTime) == 4160);
static_assert(offsetof(KELFS_OBJECT_INFO, IOSize) == 4176);
static_assert(offsetof(KELFS_OBJECT_INFO, SpaceEntries) == 4184);

// Bytes of an object record with room for n extents (n >= 1).
constexpr std::size_t KelObjectInfoSize(std::uint32_t n) {
  return offsetof(KELFS_OBJECT_INFO, SpaceEntries.Entries) + sizeof(KELFS_SPACE_ENTRY) * (n ? n : 1);
}

// Volume information (FsInfo), 4312 bytes.
struct KELFS_VOLUME_INFO {
  std::uint32_t VolumeInitializationId;
  std::uint32_t VolumeInitializationCount;
  std::uint32_t VolumeType;
  std::uint32_t ParityRatio;
  std::uint32_t ObjectCount;
  std::uint32_t FileCount;
  std::uint32_t DirectoryCount;
  std::uint32_t MaxObjectCount;
  std::uint32_t BlockSize;
  std::uint32_t IOSize;
  std::uint32_t TotalBlocks;
  std::uint32_t FreeBlocks;
  std::uint32_t AvailableBlocks;
  std::uint32_t UsedBlocks;
  std::uint32_t FilesFree;
  std::uint32_t Dirty;
  std::uint32_t CurrentTrackId;
  std::uint32_t MaximumTrackId;
  std::uint32_t PartitionStart;
  std::uint32_t NextWritableBlock;
  std::uint32_t NumberOfBlocksPerTrack;
  std::uint32_t LastFileIndex;
  std::uint32_t WriteProtectReason;
  std::uint32_t Reserved1;
  KELFS_TIME CreationTime;
  KELFS_TIME ModificationTime;
  KELFS_TIME AccessTime;
  KELFS_TIME BackupTime;
  std::uint8_t MediumGUID[16];
  char VolumeName[4096];
  std::uint8_t Reserved2[40];
};
using PKELFS_VOLUME_INFO = KELFS_VOLUME_INFO*;
static_assert(sizeof(KELFS_VOLUME_INFO) == 4312, "KELFS_VOLUME_INFO is 4312 bytes");
static_assert(offsetof(KELFS_VOLUME_INFO, WriteProtectReason) == 88);
static_assert(offsetof(KELFS_VOLUME_INFO, CreationTime) == 96);
static_assert(offsetof(KELFS_VOLUME_INFO, BackupTime) == 144);
static_assert(offsetof(KELFS_VOLUME_INFO, MediumGUID) == 160);
static_assert(offsetof(KELFS_VOLUME_INFO, VolumeName) == 176);

#pragma pack(pop)

// Listing callback of the ReadDirectory slot; record is a KELFS_OBJECT_INFO
// that lives only during the call. A non-zero result stops the listing.
typedef std::int64_t (*pfnReadDirectoryCallback)(const void* context, std::uint64_t user,
                                                 const char* path, const void* record);

// The 26 slots, in this order.
struct FileSystemOperations {
  int (*LogMessage)(unsigned level, int source, const char* function, int line, const WCHAR* text);
  int (*MountDefault)();
  int (*Unmount)(bool force);
  int (*Format)(bool backtrack, bool keep);
  int (*FsInfo)(PKELFS_VOLUME_INFO info);
  int (*Flush)(bool full);
  int (*Fsctl)(unsigned code, void* data);
  int (*GetPathInfo)(const char* path, unsigned max_extents, PKELFS_OBJECT_INFO info);
  int (*CreateFile)(const char* folder, const char* name, std::size_t name_size, char* name_out,
                    void** handle);
  int (*OpenFile)(const char* path, int mode, void** handle);
  int (*CloseFile)(void* handle, bool dummy);
  int (*FileIoctl)(void* handle, unsigned code, void* data);
  int (*GetInfo)(void* handle, unsigned max_extents, PKELFS_OBJECT_INFO info);
  int (*ReadData)(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done);
  int (*WriteData)(void* handle, const void* buffer, std::uint64_t offset, unsigned length,
                   int* done);
  int (*SetAttributes)(void* handle, int mode);
  int (*SetFileTimes)(void* handle, const struct timespec* created, const struct timespec* accessed,
                      const struct timespec* modified);
  int (*SetFileSize)(void* handle, std::uint64_t size);
  int (*Rename)(const char* old_folder, const char* old_name, const char* new_folder,
                const char* new_name);
  int (*DeleteFile)(const char* folder, const char* name);
  int (*CreateDirectory)(const char* folder, const char* name, bool hidden);
  int (*RenameDir)(const char* old_folder, const char* old_name, const char* new_folder,
                   const char* new_name);
  int (*DeleteDirectory)(const char* folder, const char* name);
  std::int64_t (*ReadDirectory)(void* context, std::uint64_t user, const char* path,
                                pfnReadDirectoryCallback callback);
  int (*MountRollback)(unsigned slot, unsigned metadata_fe_lsn, unsigned fsd_lsn);
  int (*GetMediumType)();
};
static_assert(sizeof(FileSystemOperations) == 26 * sizeof(void*), "26 slots");

}  // extern "C"

// Slot numbers, for tables and logs.
enum KelFsSlot : int {
  kSlotLogMessage = 0,
  kSlotMountDefault,
  kSlotUnmount,
  kSlotFormat,
  kSlotFsInfo,
  kSlotFlush,
  kSlotFsctl,
  kSlotGetPathInfo,
  kSlotCreateFile,
  kSlotOpenFile,
  kSlotCloseFile,
  kSlotFileIoctl,
  kSlotGetInfo,
  kSlotReadData,
  kSlotWriteData,
  kSlotSetAttributes,
  kSlotSetFileTimes,
  kSlotSetFileSize,
  kSlotRename,
  kSlotDeleteFile,
  kSlotCreateDirectory,
  kSlotRenameDir,
  kSlotDeleteDirectory,
  kSlotReadDirectory,
  kSlotMountRollback,
  kSlotGetMediumType,
  kSlotCount
};
static_assert(kSlotCount == 26);
