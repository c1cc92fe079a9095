// The services of the vnode operations that the node cache calls; the vnode
// operations folder implements them.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// Non-zero when pid is the mount's registered privileged process.
int mdcudfsr_is_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid);
// Clears attribute bit 0x20000 when visible is non-zero, sets it otherwise; 0.
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible);
