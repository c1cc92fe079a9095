// Routines of the node cache and the vnode operations the VFAM client
// calls; they are defined with those.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// The node's vnode again, when it is still valid; 0 or an errno.
int mdcudfsr_cache_check_vnode(mdcudfsr_cache_node* node, int flags, vnode_t* vp);
// Non-zero when the process may read UDF data without waiting for the agent.
int mdcudfsr_process_can_read_udf(mdcudfsr_mount* mp, kel_pid_t pid);
