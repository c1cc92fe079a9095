// Checks of the calling process.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;

bool mdcudfsr_is_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid);
// The VFAM user agent itself ("KelUserAgent") is refused by the operations
// that would call back into it.
bool mdcudfsr_user_layer_block(mdcudfsr_mount* mnt, kel_pid_t pid);
