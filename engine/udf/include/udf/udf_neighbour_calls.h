// The services of other engine folders that the UDF code calls, from the
// headers of the folders that implement them (host layer, volume operations,
// node cache, vnode operations, cache agent). The drive layer's buffer calls
// and device controls are declared here in the form the UDF code uses: the
// drive client's own header brings the whole client with it.
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
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_defect.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "kelvfs/mdcudfsr_time.h"

// ---------------------------------------------------------------- node cache (engine/cache)
// The directory writer and the metadata checks are in kelcache/cache_flush.h.
#include "kelcache/cache_counts.h"
struct mdcudfsr_extent_list;
struct mdcudfsr_udf_node_fields;

// ---------------------------------------------------------------- vnode operations (engine/vnops)
#include "kelvnops/mdcudfsr_defect_counter.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_verify.h"

// ---------------------------------------------------------------- cache agent (engine/agent)
// Positioned reads and writes of the file-system management cache file, its
// closing and deletion. The agent takes the request context as a cache-node
// pointer.
#include "kelagent/metacache.h"

inline mdcudfsr_cache_node* mdcudfsr_context_node(vfs_context_t ctx) {
  return reinterpret_cast<mdcudfsr_cache_node*>(ctx);
}
