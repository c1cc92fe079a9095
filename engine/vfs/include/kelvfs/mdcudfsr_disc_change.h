// Loading another disc of the cartridge, with the rate guard that protects
// the changer mechanism.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// Slot 0x99 keeps the current disc; 0xFF is the last written slot. 0, 1 when
// this change tripped the emergency guard, 22, or the drive's error.
int mdcudfsr_disc_change(mdcudfsr_mount* mnt, uint32_t slot_code, int invalidate, vfs_context_t ctx,
                         int on_mount);
// The counting step; 1 when it started the system guard.
int mdcudfsr_check_disc_change_num(mdcudfsr_mount* mnt, vfs_context_t ctx);
void mdcudfsr_system_guard_disc_change(mdcudfsr_mount* mnt, vfs_context_t ctx);
// The drive's write verify (reallocation control); *failed set when the
// setting itself failed.
int mdcudfsr_devsupio_set_reallocation(mdcudfsr_mount* mnt, vfs_context_t ctx, int* failed);
