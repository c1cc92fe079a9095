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
int mdcudfsr_disc_change(mdcudfsr_mount* mnt, uint32_t slot_code, int invalidate, vfs_context_t ctx,
                         int on_mount);
void mdcudfsr_set_mntinfo_state(mdcudfsr_mount* mnt, uint32_t access_state, uint32_t mount_status,
                                uint32_t wrprot_reasons);
void mdcudfsr_set_mntinfo_wrprot_reason(mdcudfsr_mount* mnt, uint32_t reasons, int keep, vfs_context_t ctx);
int mdcudfsr_read_attribute(mdcudfsr_mount* mnt, void* record, uint32_t size, int count, int flag,
                            vfs_context_t ctx, int mode);
// Seconds since 1970 as a UDF timestamp (utc non-zero: in UTC).
void mdcudfsr_timespec2udftime(mdcudfsr_mount* mnt, const struct timespec* ts, timestamp* out, int utc);
int mdcudfsr_write_attribute(mdcudfsr_mount* mnt, void* record, uint32_t size, int count, vfs_context_t ctx,
                             int mode);

// ---------------------------------------------------------------- vnode operations (engine/vnops)
int mdcudfsr_sync_drive_cache(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_verify_range(vnode_t devvp, uint32_t first_sector, uint32_t num_blocks, vfs_context_t ctx,
                          mdcudfsr_mount* mnt);

// ---------------------------------------------------------------- cache agent (engine/agent)
// Positioned reads and writes of the file-system management cache file, its
// closing and deletion. The agent takes the request context as a cache-node
// pointer.
#include "kelagent/metacache.h"

inline mdcudfsr_cache_node* mdcudfsr_context_node(vfs_context_t ctx) {
  return reinterpret_cast<mdcudfsr_cache_node*>(ctx);
}
