// The modes in which a privileged client takes the volume for bulk work:
// the privileged mode with the flush it defers, the exclusive I/O mode of
// the disc lock, the limited-access mode, and the exclusive allocation pair.
// Each answers 0 or an errno value.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;

// The pending flush policies (mdcudfsr_mount::flush_policy).
enum : unsigned char {
  MDCUDFSR_FLUSH_POSTPONE = 0,
  MDCUDFSR_FLUSH_PARTIAL = 1,
  MDCUDFSR_FLUSH_FULL = 2,
  MDCUDFSR_FLUSH_INITIALIZE = 3,
  MDCUDFSR_FLUSH_ROLLBACK = 4,
  MDCUDFSR_FLUSH_ALL_ERASE = 5,
  MDCUDFSR_FLUSH_CLOSE = 6,
};

int mdcudfsr_mdcfsctrl_register_privileged_process(mdcudfsr_mount* mnt, kel_pid_t pid, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_enter_privileged_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
// Ends the mode of the registered process (pid) and runs the pending flush.
int mdcudfsr_mdcfsctrl_exit_privileged_mode(mdcudfsr_mount* mnt, kel_pid_t pid, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_enter_exclusive_io_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
int mdcudfsr_mdcfsctrl_exit_exclusive_io_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
int mdcudfsr_mdcfsctrl_enter_limitted_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
int mdcudfsr_mdcfsctrl_exit_limitted_access_mode(mdcudfsr_mount* mnt, kel_pid_t pid);
int mdcudfsr_mdcfsctrl_enter_exclusive_allocation_mode(mdcudfsr_mount* mnt, kel_pid_t pid, void* data);
int mdcudfsr_mdcfsctrl_exit_exclusive_allocation_mode(mdcudfsr_mount* mnt, kel_pid_t pid, void* data);

// Undoes a write-verify change made while privileged (served with the
// write-verify controls).
int mdcudfsr_mdcfsctrl_reset_write_verify_mode(mdcudfsr_mount* mnt, vfs_context_t ctx);
