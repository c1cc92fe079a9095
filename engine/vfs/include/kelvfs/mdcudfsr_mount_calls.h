// Routines of other volume and control sources that the mount and the
// unmount call: the copy of the descriptors into the file-system cache
// file, the defect map, the read-ahead thread and the move to the next track.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;

// The descriptor buffers into the file-system cache file on rewritable
// media; always 0.
int mdcudfsr_flush_descriptor_to_fscache_file_re(mdcudfsr_mount* mnt, vfs_context_t ctx);
// Has the drive layer rebuild its defect map.
int mdcudfsr_make_defect_map(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount);
// Starts the read-ahead thread for the drive models that use it; 0 or the
// thread's creation error.
int mdcudfsr_cluster_read_buff_mount(mdcudfsr_mount* mnt, const char* product);
// Stops the read-ahead thread; 0, 138 when it did not end in time.
int mdcudfsr_cluster_read_buff_umount();
// Moves the volume to the next slot's track; *changed (may be null) is 1
// when the procedure went past the load of the next slot.
int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int* changed);
