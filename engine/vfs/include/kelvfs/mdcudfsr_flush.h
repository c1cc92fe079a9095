// The metadata and descriptor flushes: dirty metadata, the metadata file and
// mirror entries, the descriptor sequences, the integrity descriptor and the
// cartridge memory brought to the disc.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// Bits of the flushes' flags.
enum : int {
  MDCUDFSR_FLUSHF_WAIT = 0x1,            // wait for the node locks without limit (else 500 ms) and for the device sync
  MDCUDFSR_FLUSHF_NO_VNODE_VISIT = 0x2,  // the vnodes are not visited first
};

// Write-once media. flags: the MDCUDFSR_FLUSHF_ bits. close_session 1 closes
// the integrity session. node_flush_option goes to the node-cache passes. 0 or an errno.
int mdcudfsr_flush_metadata_and_descriptor(mdcudfsr_mount* mnt, int flags, int close_session, int node_flush_option,
                                           vfs_context_t ctx, int on_mount);
// The track controls' flush: a failure of the metadata part puts the entry
// locations back, stores 1 through `skipped` (may be null) and goes on with
// the descriptors.
int mdcudfsr_flush_metadata_and_descriptor_ex(mdcudfsr_mount* mnt, int flags, int close_session, vfs_context_t ctx,
                                              int vds_option, int on_mount, int clear_node_flush_option,
                                              int* skipped);
// The flush that makes the disc of a new track a member of the volume set.
// final_attempt 0: failures end without the read-only switch.
int mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mdcudfsr_mount* mnt, int flags, int node_flush_option,
                                                        vfs_context_t ctx, int final_attempt);

// Rewritable media.
int mdcudfsr_flush_metadata_and_descriptor_re(mdcudfsr_mount* mnt, int flags, int close, int reserved,
                                              vfs_context_t ctx, int make_defect_map, int on_mount);
int mdcudfsr_flush_metadata_and_descriptor_ex_re(mdcudfsr_mount* mnt, int flags, int close, vfs_context_t ctx,
                                                 int reserved, int on_mount, int keep_all, int* result_out);
int mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mdcudfsr_mount* mnt, int flags, vfs_context_t ctx,
                                                           int on_mount, int readonly_on_failure);
// After an all-erase of a rewritable medium: the volume read again, its
// node cache rebuilt, the bitmaps, descriptors and integrity descriptor
// written. 22 on other media.
int mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mdcudfsr_mount* mnt, vfs_context_t ctx);
// The kept descriptor copies and the 1500h block into the file-system cache
// file; 0 always.
int mdcudfsr_flush_descriptor_to_fscache_file_re(mdcudfsr_mount* mnt, vfs_context_t ctx);
