// The services of other engine folders that the UDF code calls. Each one is
// implemented by the folder named beside it (host layer, drive layer, volume
// operations, vnode operations, cache agent); this header only declares them
// in the form the UDF code uses, and goes away once those folders publish
// their own headers.
#pragma once

#include <cstdint>
#include <ctime>

struct mdcudfsr_mount;
struct timestamp;

// ---------------------------------------------------------------- host layer (engine/host)
// Kernel-interface types, the logger and the clock come from the host layer.
#include "kelhost/kern.h"
#include "kelhost/kern_types.h"
#include "kelhost/log.h"

// ---------------------------------------------------------------- drive layer (engine/drive)
// Credential argument of buf_meta_bread (the engine passes none).
struct ucred;
typedef struct ucred* kauth_cred_t;

int buf_meta_bread(vnode_t vp, daddr64_t blkno, int size, kauth_cred_t cred, buf_t* bpp);
buf_t buf_getblk(vnode_t vp, daddr64_t blkno, int size, int slpflag, int slptimeo, int operation);
uintptr_t buf_dataptr(buf_t bp);
void buf_setflags(buf_t bp, int32_t flags);
int buf_bwrite(buf_t bp);
void buf_brelse(buf_t bp);
int buf_invalidateblks(vnode_t vp, int flags, int slpflag, int slptimeo);
// Device controls served by the drive layer through the emulated VNOP_IOCTL.
int VNOP_IOCTL(vnode_t vp, uint32_t command, char* data, int fflag, vfs_context_t ctx);

// ---------------------------------------------------------------- volume operations (engine/vfs)
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_time.h"
int mdcudfsr_read_attribute(mdcudfsr_mount* mnt, void* record, uint32_t size, int count, int flag,
                            vfs_context_t ctx, int mode);
int mdcudfsr_write_attribute(mdcudfsr_mount* mnt, void* record, uint32_t size, int count, vfs_context_t ctx,
                             int mode);

// Whole blocks of a partition through the write clusters (reference 2: the
// physical partition addressed directly).
int mdcudfsr_write_logical_blocks(mdcudfsr_mount* mnt, uint16_t part_ref, uint32_t lbn, const void* buffer,
                                  uint32_t bytes, vfs_context_t ctx);
// The metadata file's own entry and allocation extent descriptor blocks.
int mdcudfsr_write_cluster_buffer(mdcudfsr_mount* mnt, vfs_context_t ctx, int one, uint32_t lsn, const void* buffer,
                                  uint32_t bytes);
int mdcudfsr_zero_write_cluster_buffer(mdcudfsr_mount* mnt, vfs_context_t ctx, int one, uint32_t first_lsn,
                                       uint32_t num_blocks);
// A logical block of a partition entry, as the cluster reader takes it.
struct mdcudfsr_lbn_addr {
  uint32_t lbn;
  uint32_t part;
};
// The cluster holding a block; the buffer belongs to the cluster layer.
int mdcudfsr_read_cluster_with_lbn(mdcudfsr_mount* mnt, vfs_context_t ctx, uint8_t** buffer, mdcudfsr_lbn_addr addr,
                                   int zero, void* none, int zero2, uint32_t* byte_offset);
// Moves the next writable address (the metadata one on rewritable media)
// past known defects; *changed set when it moved. 0, or 22.
int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t nwa, uint32_t num_blocks,
                                        uint32_t* changed);

// ---------------------------------------------------------------- node cache (engine/cache)
// The directory writer and the metadata checks are in kelcache/cache_flush.h.
#include "kelcache/cache_counts.h"
struct mdcudfsr_extent_list;
struct mdcudfsr_udf_node_fields;

// ---------------------------------------------------------------- vnode operations (engine/vnops)
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_verify.h"
int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* counter,
                                                 int update);

// ---------------------------------------------------------------- cache agent (engine/agent)
// Positioned reads and writes of the file-system management cache file, its
// closing and deletion. The agent takes the request context as a cache-node
// pointer.
#include "kelagent/metacache.h"

inline mdcudfsr_cache_node* mdcudfsr_context_node(vfs_context_t ctx) {
  return reinterpret_cast<mdcudfsr_cache_node*>(ctx);
}
