// The volume's size, free space, object counts, capabilities and label.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// Total and free blocks of the cartridge, the figure of one slot and the free
// part of the current slot; any output may be null. 0, or the error of the
// track or slot step (the figures are filled all the same after a track error).
int mdcudfsr_get_volume_size_info(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* total, uint32_t* free_blocks,
                                  uint32_t* per_slot, uint32_t* current_free, int mounting);
// Whether each slot of a rewritable volume holds a block beyond the
// reserve the size figures keep on it (its partition decides).
bool mdcudfsr_rewritable_has_capacity(const mdcudfsr_mount* mnt);
// Maximum number of objects of the volume.
uint64_t mdcudfsr_max_object_count(const mdcudfsr_mount* mnt);
// The file-system attributes kept for getattr (at mount).
void mdcudfsr_init_attr_cache(mdcudfsr_mount* mnt);
int mdcudfsr_vfsop_getattr(mount_t mp, vfs_attr* attr, vfs_context_t ctx);
int mdcudfsr_vfsop_setattr(mount_t mp, vfs_attr* attr, vfs_context_t ctx);
