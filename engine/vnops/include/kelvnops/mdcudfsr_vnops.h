// The engine's vnode operations and the vector the host layer resolves them
// from. Each handler takes the argument record of its operation
// (kelhost/kern_types.h) and returns an errno value.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;
struct vfamstat;

int mdcudfsr_vnop_blktooff(void* args);
int mdcudfsr_vnop_blockmap(void* args);
int mdcudfsr_vnop_close(void* args);
int mdcudfsr_vnop_fsync(void* args);
int mdcudfsr_vnop_getattr(void* args);
int mdcudfsr_vnop_inactive(void* args);
int mdcudfsr_vnop_lookup(void* args);
int mdcudfsr_vnop_offtoblk(void* args);
int mdcudfsr_vnop_open(void* args);
int mdcudfsr_vnop_pagein(void* args);
int mdcudfsr_vnop_pageout(void* args);
int mdcudfsr_vnop_pathconf(void* args);
int mdcudfsr_vnop_read(void* args);
int mdcudfsr_vnop_readdir(void* args);
int mdcudfsr_vnop_readlink(void* args);
int mdcudfsr_vnop_reclaim(void* args);
int mdcudfsr_vnop_setattr(void* args);
int mdcudfsr_vnop_statfs(void* args);
int mdcudfsr_vnop_strategy(void* args);
int mdcudfsr_vnop_write(void* args);

// The vector: the default pair, the handlers in operation order, and an
// empty pair at the end.
extern vnodeopv_entry_desc mdcudfsr_vnodeop_entries[];
extern vnodeopv_desc mdcudfsr_vnodeop_opv_desc;
extern vnop_handler_t* mdcudfsr_vnodeop_p;

// Name conversion of the namespace operations: *out (length + 1 bytes,
// OSMalloc) belongs to the caller. 0, 12, or the normaliser's error.
int mdcudfsr_convert_filename(const char* name, std::size_t length, char** out, std::size_t* out_len);
// 0 visible, 2 hidden (parity files of F2h media for other processes).
int mdcudfsr_check_parity_access(mdcudfsr_cache_node* dir, const char* name, vfs_context_t ctx);
// One operator event line for a failed operation on `name` under `parent`.
void mdcudfsr_vnop_print_errlog(mdcudfsr_cache_node* parent, int error, const char* name, const char* message,
                                vfs_context_t ctx);

// Open and close of the dummy-file control requests: on the node, without
// the refusals of the vnode operations.
int mdcudfsr_vnop_dummy_open(mdcudfsr_cache_node* node, int mode, vfs_context_t ctx);
int mdcudfsr_vnop_dummy_close(mdcudfsr_cache_node* node, int fflag);

// Zero fill of a write at [offset, end) into the extent of `extent_type`:
// flags 0x80 (head) and 0x40 (tail) with their offsets.
struct mdcudfsr_zerofill {
  int flags;
  std::int64_t head;
  std::int64_t tail;
};
mdcudfsr_zerofill mdcudfsr_calculate_zerofill(std::int64_t offset, std::int64_t end, std::uint32_t block_size,
                                              std::uint32_t extent_type);

// Attribute records of the VFAM user agent.
int mdcudfsr_vnodeattr2vfamstat(const vnode_attr* vap, vfamstat* st);
void mdcudfsr_vfamstat2vnodeattr(const vfamstat* st, vnode_attr* vap);
void mdcudfsr_vfamstat2vfamdata(const vfamstat* st, mdcudfsr_cache_node* node);
