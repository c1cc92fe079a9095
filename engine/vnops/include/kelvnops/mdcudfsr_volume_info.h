// Device and mount information requests, and the mount-time check of the
// rollback information.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct MDCFS_MOUNT_INFORMATION;

// The 76-byte device record: vendor +0 (8), product +8 (16), revision +24
// (4), unit serial number +28 (16), further drive data +44 (32).
constexpr std::uint32_t MDCFS_DEVICE_INFORMATION_SIZE = 76;
// The record is zeroed first; a failing drive leaves it zeroed and its error
// is the result.
int mdcudfsr_mdcfsctrl_get_device_information(mdcudfsr_mount* mnt, void* record, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_volume_mount_information(mdcudfsr_mount* mnt, MDCFS_MOUNT_INFORMATION* record,
                                                    vfs_context_t ctx);
// Rewritable media at mount: a rollback left half done (sequence non-zero,
// address word all ones) is run to its end; *started 1 then.
int mdcudfsr_backtrack_delete_info(mdcudfsr_mount* mnt, vfs_context_t ctx, int* started);
