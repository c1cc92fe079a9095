// Track, write-resource and disc-usage information for clients, and the
// check that a disc may be finalized.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;
struct MDCFS_VOLUME_TRACK_INFORMATION;
struct MDCFS_TRACK_WRITE_RESOURCE_INFORMATION;
struct MDCFS_DISC_USAGE_INFO;

// The track of the last written slot, with that slot's next writable address.
int mdcudfsr_mdcfsctrl_get_volume_track_information(mdcudfsr_mount* mnt, MDCFS_VOLUME_TRACK_INFORMATION* record,
                                                    vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_volume_track_write_resource_information(mdcudfsr_mount* mnt,
                                                                   MDCFS_TRACK_WRITE_RESOURCE_INFORMATION* record,
                                                                   vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_disc_usage_info(mdcudfsr_mount* mnt, MDCFS_DISC_USAGE_INFO* record, vfs_context_t ctx);
// 0 when the disc may be finalized: not complete, integrity descriptor recording.
int mdcudfsr_check_finalize_disc(mdcudfsr_mount* mnt, vfs_context_t ctx);
