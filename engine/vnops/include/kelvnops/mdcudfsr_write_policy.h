// How a client should write (cluster and margin sizes), the drive's write
// protection of the medium, and the identity of the volume.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct MDCFS_WRITE_POLICY_INFORMATION;

#pragma pack(push, 1)
// MDCFSCTL_GET_VOLUME_SET_IDENTIFY_STRING, 12 bytes.
struct mdcfs_volset_identify_string {
  std::uint32_t BufferLength;  // in; out when 0: bytes needed, NUL included
  std::uint64_t Buffer;        // address of the caller's buffer
};
static_assert(sizeof(mdcfs_volset_identify_string) == 12, "identify string record is 12 bytes");

// MDCFSCTL_GET_VOLUME_IDENTIFY_INFO, 44 bytes.
struct mdcfs_vol_identify_info {
  std::uint8_t VolumeSetId[32];    // PVD volume set identifier bytes 17-48
  std::uint16_t TagSerialNumber;   // of the anchor
  std::uint16_t Unused;
  std::uint32_t InitializationTime;
  std::uint32_t PositionWord;      // 1500h value offset 56
};
static_assert(sizeof(mdcfs_vol_identify_info) == 44, "identify info record is 44 bytes");
#pragma pack(pop)

// The drive's pages as the policy reads them: a zero read/write size means
// the block-size page was not available.
struct mdcudfsr_policy_pages {
  int block_page_err;
  std::uint16_t reserve_write_size;  // units of 32 blocks
  std::uint16_t read_write_size;     // units of 32 blocks
  int recovery_page_err;
  std::uint32_t threshold;           // error reporting threshold length
};
// Fills the record from the pages, the volume type (0 or 1) and the medium
// type; the result is the recovery page's error (the record is filled).
int mdcudfsr_compute_write_policy(const mdcudfsr_policy_pages& pages, int volume_type, std::uint32_t medium_type,
                                  MDCFS_WRITE_POLICY_INFORMATION* info);

int mdcudfsr_mdcfsctrl_get_write_policy_info(mdcudfsr_mount* mnt, MDCFS_WRITE_POLICY_INFORMATION* info,
                                             vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_disable_media_write(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_enable_media_write(mdcudfsr_mount* mnt, vfs_context_t ctx);
// 128 bytes: the volume set identifier field as recorded.
int mdcudfsr_mdcfsctrl_get_volume_set_identify(mdcudfsr_mount* mnt, void* record);
// The buffer must hold the string and its NUL, else 22.
int mdcudfsr_mdcfsctrl_get_volume_set_identify_string(mdcudfsr_mount* mnt, mdcfs_volset_identify_string* record);
// With the cartridge memory unreadable the position word is computed and the
// read's error returned.
int mdcudfsr_mdcfsctrl_get_volume_identify_info(mdcudfsr_mount* mnt, mdcfs_vol_identify_info* record,
                                                vfs_context_t ctx);
