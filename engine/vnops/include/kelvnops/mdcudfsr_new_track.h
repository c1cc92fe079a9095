// Moving a volume from its last written slot onto the next disc of the
// cartridge: the privileged client's create and commit, and the flushes' and
// the mount's track switches.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;

// commit 0: MDCFSCTL_CREATE_NEW_TRACK; 1: the commit form.
int mdcudfsr_mdcfsctrl_create_new_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int commit);
int mdcudfsr_mdcfsctrl_commit_new_track(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_write_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx);
// *changed (may be null): 1 when the procedure went past the load of the next slot.
int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int* changed);
void mdcudfsr_print_defect_summary(mdcudfsr_mount* mnt, vfs_context_t ctx);

// The volume flushes these operations run (volume code).
int mdcudfsr_flush_metadata_and_descriptor_ex(mdcudfsr_mount* mnt, int flags, int close_session, vfs_context_t ctx,
                                              int vds_option, int on_mount, int clear_node_flush_option,
                                              int* skipped);
int mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mdcudfsr_mount* mnt, int flags, int node_flush_option,
                                                        vfs_context_t ctx, int final_attempt);
int mdcudfsr_flush_metadata_and_descriptor_ex_re(mdcudfsr_mount* mnt, int flags, int close, vfs_context_t ctx,
                                                 int reserved, int on_mount, int keep_all, int* result_out);
int mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mdcudfsr_mount* mnt, int flags, vfs_context_t ctx,
                                                           int on_mount, int readonly_on_failure);
