// The consumable resources of the disc: free sectors, defect-management map
// entries and updates, OPC areas.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// 0 or the error of a read; *sufficient (may be null) 1 when nothing ran short.
int mdcudfsr_check_media_resources(mdcudfsr_mount* mnt, int on_mount, vfs_context_t ctx, int32_t* sufficient);
