// The mount information record of the mounted volume (MDCFS_MOUNT_INFORMATION
// inside the mount record): its state changes, publishing it to the drive
// layer and reporting errors to the drive.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// Mount status values.
constexpr std::uint32_t MNTSTATUS_MOUNTED = 0;
constexpr std::uint32_t MNTSTATUS_DRIVER_ERROR = 0x80000001u;
constexpr std::uint32_t MNTSTATUS_DRIVE_ERROR = 0x80000002u;
constexpr std::uint32_t MNTSTATUS_SYSTEM_GUARD = 0x80000003u;
constexpr std::uint32_t MNTSTATUS_EMPTY = 0x80000010u;
constexpr std::uint32_t MNTSTATUS_INVALID_MEDIUM = 0x80000020u;
constexpr std::uint32_t MNTSTATUS_UNREADABLE = 0x80000030u;
constexpr std::uint32_t MNTSTATUS_OBJECT_LIMIT = 0x80000100u;
constexpr std::uint32_t MNTSTATUS_UNKNOWN_VOLUME = 0x80000200u;
constexpr std::uint32_t MNTSTATUS_CACHE_FAILED = 0x80000400u;
constexpr std::uint32_t MNTSTATUS_AD_LENGTH = 0x80000500u;
constexpr std::uint32_t MNTINFO_UNSET = 0xFFFFFFFFu;

// Write-protect reasons set by the volume code.
constexpr std::uint32_t WRPROT_DRIVE_ERROR = 0x1u;
constexpr std::uint32_t WRPROT_CACHE_FAILED = 0x100u;
constexpr std::uint32_t WRPROT_CARTRIDGE_SWITCH = 0x400u;
constexpr std::uint32_t WRPROT_WORN_OUT = 0x800u;  // the last disc has no room (the event log: "worn-out")
constexpr std::uint32_t WRPROT_FINALIZED = 0x1000u;
constexpr std::uint32_t WRPROT_CM_PROTECTED = 0x2000u;
constexpr std::uint32_t WRPROT_ROLLBACK = 0x20000u;
constexpr std::uint32_t WRPROT_NO_COUNTING = 0x100000u;

void mdcudfsr_init_mntinfo(mdcudfsr_mount* mnt);
// add 1: OR the reasons in (replaced while the reasons are unset); 0: replace.
void mdcudfsr_set_mntinfo_wrprot_reason(mdcudfsr_mount* mnt, uint32_t reasons, int keep, vfs_context_t ctx);
// The status to store for a mount status; may add a reason and set the access mode.
uint32_t mdcudfsr_update_mntinfo(mdcudfsr_mount* mnt, uint32_t mount_status, vfs_context_t ctx);
void mdcudfsr_update_mntinfo_mntstatus(mdcudfsr_mount* mnt, uint32_t mount_status, int overwrite, vfs_context_t ctx);
void mdcudfsr_update_mntinfo_with_error(mdcudfsr_mount* mnt, int error, vfs_context_t ctx);
// Stores all three and asks for an error report to the drive.
void mdcudfsr_set_mntinfo_state(mdcudfsr_mount* mnt, uint32_t access_state, uint32_t mount_status,
                                uint32_t wrprot_reasons);
void mdcudfsr_set_mntinfo_state_silent(mdcudfsr_mount* mnt, uint32_t access_state, uint32_t mount_status,
                                       uint32_t wrprot_reasons);
// Publishes the record to the drive layer when the rules allow; 0 or the device control's error.
int mdcudfsr_send_mntinfo(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_mntinfo_is_readonly(mdcudfsr_mount* mnt);
int mdcudfsr_mntinfo_is_mountable(mdcudfsr_mount* mnt);
// The answer to a change refused because the volume is read-only: 5 (an I/O
// error, which a remount clears) when a drive error protected it (reason
// 0x1, as a failed flush sets), else 30 (write-protected).
int mdcudfsr_readonly_error(const mdcudfsr_mount* mnt);
// Error type 0, 1 or 2 goes to the drive; another type is logged only.
void mdcudfsr_report_error(mdcudfsr_mount* mnt, int kind, vfs_context_t ctx);
// Switches the mount to read-only: reasons added, status set, MNT_RDONLY set,
// the record sent at once.
void mdcudfsr_set_readonly_mount(mdcudfsr_mount* mnt, uint32_t mount_status, int flag, vfs_context_t ctx);
