// Records of the file-system control requests that cross between the
// engine, its drive layer and the interface library. Little-endian, packed.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
// Mount information of the volume (MDCFSCTL_GET_VOLUME_MOUNT_INFORMATION and
// the drive layer's get/set mount information device controls), 16 bytes.
struct MDCFS_MOUNT_INFORMATION {
  std::uint32_t MountStatus;
  std::uint32_t WriteProtectReasonFlags;
  std::uint32_t AccessMode;               // 2: raw mount
  std::uint8_t MediumType;
  std::uint8_t VolumeStatus;              // bit 7 valid, bits 0-3 state, 0x10 integrity open
  std::uint8_t VolumeTypeAndInformationVersion;  // volume type in the upper four bits
  std::uint8_t Reserved;
};
static_assert(sizeof(MDCFS_MOUNT_INFORMATION) == 16, "mount information is 16 bytes");

// Write policy (MDCFSCTL_GET_WRITE_POLICY_INFORMATION), 32 bytes.
struct MDCFS_WRITE_POLICY_INFORMATION {
  std::uint32_t ModeFlags;
  std::uint32_t WriteClusterBlocks;
  std::uint32_t ParityInClusterBlocks;
  std::uint32_t DiscFullMarginBlocks;
  std::uint32_t DiscFullMarginBlocksForLastDisc;
  std::uint32_t OptimalReadWriteBlocks;
  std::uint32_t ReserveWriteBlocks;
  std::uint32_t ErrorReportingWindowBlocks;
};
static_assert(sizeof(MDCFS_WRITE_POLICY_INFORMATION) == 32, "write policy is 32 bytes");

// Size record of MDCFSCTL_GET_STATFS_SIZEINFO, 32 bytes.
struct MDCFS_STATFS_SIZEINFO {
  std::uint32_t BlockSize;
  std::uint32_t Reserved1;
  std::uint64_t TotalBlocks;
  std::uint64_t FreeBlocks;
  std::uint64_t Reserved2;
};
static_assert(sizeof(MDCFS_STATFS_SIZEINFO) == 32, "size information is 32 bytes");

// One run of blocks of a track (zone): the area of the writer and the
// entry of the allocation requests, 12 bytes. Also the range record of
// MDCFSCTL_RESERVE_WRITE_RANGE and MDCFSCTL_VERIFY_RANGE.
struct MDCFS_SPACE_ENTRY {
  std::int32_t ZoneId;
  std::int32_t BlockOffset;
  std::int32_t NumberOfBlocks;
};
static_assert(sizeof(MDCFS_SPACE_ENTRY) == 12, "MDCFS_SPACE_ENTRY is 12 bytes");

// Allocation list of MDCFSCTL_ADD_FILE_ALLOCATION and
// MDCFSCTL_GET_FILE_ALLOCATION, 268 bytes: the address of an array of
// entries, 256 unused bytes, the number of entries.
struct MDCFS_SPACE_ENTRIES_BUFFER {
  std::uint64_t SpaceEntries;  // address of MDCFS_SPACE_ENTRY[TotalSpaceCount]
  std::uint8_t Reserved[256];
  std::uint32_t TotalSpaceCount;
};
static_assert(sizeof(MDCFS_SPACE_ENTRIES_BUFFER) == 268, "space-entries buffer is 268 bytes");
static_assert(offsetof(MDCFS_SPACE_ENTRIES_BUFFER, TotalSpaceCount) == 264);

// MDCFSCTL_REBUILD_FILE_ALLOCATION: a 24-byte head and TotalSpaceCount
// entries inline (the interface sends one, 36 bytes).
struct MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER {
  std::uint64_t FileIndex;        // unique id of the file
  std::uint32_t StreamIndex;      // non-zero: the file's stream node
  std::int64_t FileSize;          // negative keeps the current size
  std::uint32_t TotalSpaceCount;  // entries that follow
  MDCFS_SPACE_ENTRY SpaceEntries[1];
};
static_assert(sizeof(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER) == 36, "rebuild record with one entry is 36 bytes");
static_assert(offsetof(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER, FileSize) == 12);
static_assert(offsetof(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER, SpaceEntries) == 24);

// MDCFSCTL_SETUP_PARITY, 261 bytes: the length of the UTF-8 parity name and
// the NUL-terminated name.
struct MDCFS_SETUP_PARITY {
  std::uint32_t ParityNameLength;
  char ParityName[257];
};
static_assert(sizeof(MDCFS_SETUP_PARITY) == 261, "setup-parity record is 261 bytes");

// MDCFSCTL_CUSTOMIZE_FILE_SETTING, 12 bytes.
struct MDCFS_CUSTOM_FILE_SETTING {
  std::uint32_t FileAttributes;  // bit 0: real-time file
  std::uint32_t Control;         // bit 0: node attribute 0x10000
  std::uint32_t Options;
};
static_assert(sizeof(MDCFS_CUSTOM_FILE_SETTING) == 12, "custom file setting is 12 bytes");

// MDCFSCTL_REALLOCATE_FILE_RANGE, 16 bytes: the first block of the range in
// the file and its new place.
struct MDCFS_REALLOCATE_FILE_RANGE {
  std::uint32_t FileBlockOffset;
  MDCFS_SPACE_ENTRY NewSpace;
};
static_assert(sizeof(MDCFS_REALLOCATE_FILE_RANGE) == 16, "reallocate-range record is 16 bytes");

// MDCFSCTL_GET_VOLUME_TRACK_INFORMATION, 16 bytes. The first word is the
// number of tracks (slots) of the volume.
struct MDCFS_VOLUME_TRACK_INFORMATION {
  std::uint32_t MaxCreatableTrackCount;
  std::uint32_t TrackId;
  std::uint32_t NextWritableBlockOffset;  // 0xFFFFFFFF: before the partition start
  std::uint32_t NumberOfBlocks;
};
static_assert(sizeof(MDCFS_VOLUME_TRACK_INFORMATION) == 16, "track information is 16 bytes");

// MDCFSCTL_GET_VOLUME_TRACK_WRITE_RESOURCE_INFORMATION, 16 bytes.
struct MDCFS_TRACK_WRITE_RESOURCE_INFORMATION {
  std::uint32_t TrackId;
  std::uint32_t OpcResourceCount;
  std::uint32_t RemainingPowReallocationMapEntries;
  std::uint32_t NumberOfRemainingPowUpdates;
};
static_assert(sizeof(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION) == 16,
              "write resource information is 16 bytes");

// MDCFSCTL_GET_DISC_USAGE_INFO, 20 bytes.
struct MDCFS_DISC_USAGE_INFO {
  std::uint8_t TotalNumberOfDiscs;
  std::uint8_t CurrentDiscIndex;
  std::uint8_t Condition;             // 0 normal, 1 next disc advisable, 2 full or protected
  std::uint8_t LastWrittenDiscIndex;
  std::uint64_t TotalSize;            // bytes of the current disc
  std::uint64_t RemainingSize;        // free bytes of the current disc
};
static_assert(sizeof(MDCFS_DISC_USAGE_INFO) == 20, "disc usage record is 20 bytes");

// MDCFSCTL_READ_ATTRIBUTE and MDCFSCTL_WRITE_ATTRIBUTE, 276 bytes: one
// cartridge-memory attribute, its value in the caller's buffer.
struct MDCFS_ATTRIBUTE_DATA {
  std::uint16_t Id;
  std::uint8_t Format;
  std::uint8_t Reserved3;
  std::uint32_t Length;  // read: in the buffer's size, out the attribute's length
  std::uint8_t Reserved8[260];
  std::uint64_t Value;   // address of the value buffer
};
static_assert(sizeof(MDCFS_ATTRIBUTE_DATA) == 276 && offsetof(MDCFS_ATTRIBUTE_DATA, Value) == 268,
              "attribute record is 276 bytes");

// MDCFSCTL_ENUM_ATTRIBUTE, 16 bytes: the attribute ids of the cartridge,
// big-endian as the drive lists them.
struct MDCFS_ENUM_ATTRIBUTE {
  std::uint32_t Count;       // out
  std::uint32_t BufferSize;  // in, bytes; 0: the count only
  std::uint64_t Buffer;      // address of the caller's buffer
};
static_assert(sizeof(MDCFS_ENUM_ATTRIBUTE) == 16, "attribute enumeration record is 16 bytes");
#pragma pack(pop)
