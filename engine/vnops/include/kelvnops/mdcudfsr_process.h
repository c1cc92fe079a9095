// Checks of the calling process.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

bool mdcudfsr_is_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid);
// The VFAM user agent itself ("KelUserAgent") is refused by the operations
// that would call back into it.
bool mdcudfsr_user_layer_block(mdcudfsr_mount* mnt, kel_pid_t pid);
// The process is found and not exiting.
bool mdcudfsr_is_process_existing(kel_pid_t pid);
// A registered process holds the privileged mode and pid is that process;
// the mode of a registered process found gone ends here.
bool mdcudfsr_check_privileged_access(mdcudfsr_mount* mnt, kel_pid_t pid);
// May this process change the volume under the limited-access mode.
bool mdcudfsr_pass_limited_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
// Is the recorded owner alive; with clear set a dead owner's fields are cleared.
bool mdcudfsr_check_limited_access_mode_owner(std::int64_t* owner_pid, proc_t* owner_proc, int clear);
// Is pid the recorded owner or a child of it.
bool mdcudfsr_is_limited_access_mode_owner(std::int64_t* owner_pid, proc_t* owner_proc, kel_pid_t pid);
