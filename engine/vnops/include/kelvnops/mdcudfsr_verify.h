// Verifying written ranges and emptying the drive's write cache.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// VERIFY of [lsn, lsn + count) unless the drive verifies while writing
// (verify mode 1). 22 for the invalid LSN or a count of 0 or above 0xFFFF.
int mdcudfsr_verify_range(vnode_t devvp, uint32_t lsn, uint32_t count, vfs_context_t ctx, mdcudfsr_mount* mnt);
int mdcudfsr_sync_drive_cache(mdcudfsr_mount* mnt, vfs_context_t ctx);
