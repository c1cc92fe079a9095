// Checks of the calling process, permission conversions, the disc lock and
// the limited-access mode's owner checks.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

bool mdcudfsr_is_process_existing(kel_pid_t pid);
bool mdcudfsr_is_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid);
// May this process use a privileged control request now; a vanished
// privileged process loses the mode here.
bool mdcudfsr_check_privileged_access(mdcudfsr_mount* mnt, kel_pid_t pid);

// UDF permission word: bits 0-4 other, 5-9 group, 10-14 owner, each group
// execute, write, read, change-attribute, delete.
std::uint32_t mdcudfsr_perm_unix2udf(std::uint32_t unix_perm);
std::uint32_t mdcudfsr_perm_udf2unix(std::uint32_t udf_perm);

// Name lists (compared without regard to case with proc_name's answer).
int mdcudfsr_process_can_read_udf(mdcudfsr_mount* mnt, kel_pid_t pid);
bool mdcudfsr_process_anti_virus_check(mdcudfsr_mount* mnt, kel_pid_t pid);
bool mdcudfsr_process_block(mdcudfsr_mount* mnt, kel_pid_t pid);
// The VFAM user agent itself ("KelUserAgent") is refused by the operations
// that would call back into it.
bool mdcudfsr_user_layer_block(mdcudfsr_mount* mnt, kel_pid_t pid);

// The slot lock taken for a drive transfer, honouring the exclusive I/O
// mode: returns holding mnt->slot_mutex with this thread as disc-lock owner.
int mdcudfsr_vnop_disc_lock(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_vnop_disc_unlock(mdcudfsr_mount* mnt, vfs_context_t ctx);

// Limited-access mode.
bool mdcudfsr_check_limited_access_mode_owner(std::int64_t* owner, proc_t* handle, int clear);
bool mdcudfsr_is_limited_access_mode_owner(std::int64_t* owner, proc_t* handle, kel_pid_t pid);
bool mdcudfsr_pass_limited_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
