// Defects of rewritable media: the drive layer's defect map and the next
// writable address moved past known defects.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// Rebuilds the drive layer's defect map on the current disc (under the slot
// mutex). 0; 22 on a medium that is not rewritable (the mount information is
// marked); the disc change's or the device control's error.
int mdcudfsr_make_defect_map(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount);
// Asks for the first address from nwa on where num_blocks (at least 32,
// rounded up to a multiple of 32) sectors lie free of known defects; a moved
// address becomes the mount's next writable address and *changed (optional)
// tells whether it moved. 0, 22 as above, 22 when num_blocks (at least one)
// from nwa or from the moved address would pass the end of the physical
// partition (of the medium while no partition is known; the mount's address
// stays), or the device control's error.
int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t nwa, uint32_t num_blocks,
                                        uint32_t* changed);
