// The services of the vnode operations and of the VFAM client that the node
// cache calls; those folders implement them.
#pragma once

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

// The attribute record exchanged with the VFAM user agent.
#pragma pack(push, 1)
struct vfamstat {
  uint32_t valid;
  uint8_t type;
  uint32_t uid;
  uint32_t gid;
  uint16_t mode;
  uint32_t flags;
  uint32_t fileid;
  int64_t times[8];  // access, creation, modification, change: seconds, nanoseconds
  uint64_t size;
  uint8_t unused;
};
#pragma pack(pop)
static_assert(sizeof(vfamstat) == 96, "vfamstat is 96 bytes");
// The node's attributes from the VFAM user agent: 0, 11 (busy), 2 (gone),
// 115, or another error.
int mdcudfsr_vfam_get_file_attr(mdcudfsr_cache_node* node, vfamstat* st);
