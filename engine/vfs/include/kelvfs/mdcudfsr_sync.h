// The timer and host flush of the volume's metadata, and the flush of every
// vnode's clusters.
#pragma once

#include "kelhost/kern_types.h"

struct mdcudfsr_mount;

// 0, 16 (busy) or the flush error.
int mdcudfsr_vfsop_sync(mount_t mp, int waitfor, vfs_context_t ctx);
// The VFAM user agent counts as stopped: logs it and answers 1.
int mdcudfsr_check_vfamuseragent();
// 0 when the mount does not depend on the user agent (flags 0x2 or 0x20000,
// or the VFAM channel closing); else the agent check.
int mdcudfsr_check_vfamuseragent_for_node(mdcudfsr_mount* mnt);
// VNOP_FSYNC on every vnode of the mount, none recycled; the last result.
int mdcudfsr_flush_all_node_cluster(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_vnode_iterate_cb(vnode_t vp, void* record);
// The flushes' visit: every vnode synchronised (fsync 1) and, with recycle,
// those of inactive nodes recycled; the last error, *count the vnodes seen.
int mdcudfsr_visit_vnodes(mdcudfsr_mount* mnt, vfs_context_t ctx, int fsync, int recycle, int* count);

// The metadata and descriptor flushes that sync runs (kelvfs/mdcudfsr_flush.h).
#include "kelvfs/mdcudfsr_flush.h"
