// Records of the file-system control requests that cross between the
// engine, its drive layer and the interface library. Little-endian, packed.
#pragma once

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
#pragma pack(pop)
