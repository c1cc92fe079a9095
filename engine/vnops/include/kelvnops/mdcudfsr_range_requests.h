// Control requests on reserved and written ranges, the drive's write cache
// and its write-verify mode.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct MDCFS_SPACE_ENTRY;

#pragma pack(push, 1)
// MDCFSCTL_SCAN_RANGE, 28 bytes.
struct mdcfs_scan_range {
  std::uint32_t ZoneId;      // in
  std::uint8_t Unread[8];
  std::uint8_t Result;       // out: 0xF0, no scan is made
  std::uint8_t Reserved[3];
  std::uint8_t Cleared[12];  // out: zero
};
static_assert(sizeof(mdcfs_scan_range) == 28, "scan-range record is 28 bytes");
#pragma pack(pop)

int mdcudfsr_mdcfsctrl_reserve_write_range(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* entry, vfs_context_t ctx);
// The drive verifies while writing (verify mode 1), or the client wrote
// without verify (mode 0): no VERIFY is sent from here.
int mdcudfsr_mdcfsctrl_verify_range(mdcudfsr_mount* mnt, const MDCFS_SPACE_ENTRY* entry, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_scan_range(mdcudfsr_mount* mnt, mdcfs_scan_range* record);
// The caller holds the slot lock with the current disc loaded.
int mdcudfsr_mdcfsctrl_sync_drive_cache(mdcudfsr_mount* mnt, vfs_context_t ctx);
// The routine: mode 0 or non-zero; a failed drive setting puts the old mode back.
int mdcudfsr_set_write_verify_mode(mdcudfsr_mount* mnt, std::uint32_t mode, vfs_context_t ctx);
// The privileged client's temporary change, and its undoing (also at the
// end of the privileged session). The caller holds the slot lock.
int mdcudfsr_mdcfsctrl_set_write_verify_mode(mdcudfsr_mount* mnt, const std::uint32_t* mode, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_reset_write_verify_mode(mdcudfsr_mount* mnt, vfs_context_t ctx);
