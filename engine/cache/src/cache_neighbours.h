// The services of the vnode operations and of the VFAM client that the node
// cache calls; those folders implement them.
#pragma once

#include "kelagent/vfam_client.h"
#include "kelhost/kern_types.h"
#include "kelvnops/mdcudfsr_process.h"

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// Clears attribute bit 0x20000 when visible is non-zero, sets it otherwise; 0.
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible);
// Non-zero when the process may read the volume's UDF side directly.
int mdcudfsr_process_can_read_udf(mdcudfsr_mount* mnt, kel_pid_t pid);
// The engine's vnode-operation vector that new vnodes are made with.
extern vnop_handler_t* mdcudfsr_vnodeop_p;
