// The backtrack thread of rewritable cartridges, its progress, and the
// reload of the last written disc with a refresh of the volume structures.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// 0 started; 12 no thread object; 22 a backtrack runs already.
int mdcudfsr_backtrack_thread_start(mdcudfsr_mount* mnt);
// The thread body: hands the mount's pending flush policy (4 or 5) to the
// drive layer, which runs the whole backtrack.
void mdcudfsr_backtrack_routine(mdcudfsr_mount* mnt);
// For the unmount: waits for a running backtrack, joins and frees the thread
// object. Nothing to do without one.
void mdcudfsr_backtrack_thread_join(mdcudfsr_mount* mnt);
int mdcudfsr_reset_backtrack_information(vnode_t devvp);
// MDCFSCTL_GET_BACKTRACK_INFO: the drive layer's 8-byte progress record.
int mdcudfsr_mdcfsctrl_get_backtrack_info(mdcudfsr_mount* mnt, void* out, vfs_context_t ctx);
void mdcudfsr_change_disc_and_refresh_data(mdcudfsr_mount* mnt, vfs_context_t ctx, int refresh);

// The privileged exit's policies 4 and 5 (95 on write-once media) and 3.
int mdcudfsr_privileged_exit_backtrack(mdcudfsr_mount* mnt, std::uint8_t policy, vfs_context_t ctx);
