// Lookups of nodes by vnode, unique id, name and path; binding nodes to
// vnodes; readdir; reclaim, inactivation, and the virtual nodes' refresh
// and invalidation. "Locked" means held by the node lock for the calling
// thread; the caller releases it.
#pragma once

#include "kelcache/cache.h"
#include "kelhost/kern_types.h"

#include <cstdint>

// The vnode's node (locked without time limit with `lock`), nullptr for a
// null vnode or one without node.
mdcudfsr_cache_node* mdcudfsr_cache_get_node(vnode_t vp, int lock);
mdcudfsr_cache_node* mdcudfsr_cache_get_real_parent(vnode_t vp);
// The child with that key, locked when active; an inactive one comes back
// unlocked (callers test its status).
mdcudfsr_cache_node* mdcudfsr_cache_get_node_by_id(mdcudfsr_mount* mnt, mdcudfsr_cache_node* dir, uint32_t unique_id);
// The active child of that name, locked; nullptr when none or inactive.
mdcudfsr_cache_node* mdcudfsr_cache_get_node_by_name(mdcudfsr_mount* mnt, mdcudfsr_cache_node* dir, const char* name);
// The vnode's node; *locked 1 when it was locked. Gives up (unlocked) when
// the cache agent has been busy past the limit at every 20th failure, or
// after a failure beyond the retry limit (0xFFFFFFFF: none).
mdcudfsr_cache_node* mdcudfsr_cache_get_node_ex(vnode_t vp, int lock, int* locked, uint32_t agent_limit_s,
                                                uint32_t wait_ms, uint32_t retry_limit);
// The vnode of the named child (made on first use), with a use taken;
// nullptr on failure. Without component: the root's.
vnode_t mdcudfsr_cache_get_vnode(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent, componentname* cn,
                                 vfs_context_t ctx, int lock);
mdcudfsr_cache_node* mdcudfsr_cache_get_node_by_path(mdcudfsr_mount* mnt, const char* path, vfs_context_t ctx);
int mdcudfsr_cache_check_vnode(mdcudfsr_cache_node* node, int lock, vnode_t* out);
// 0, 115 (buffer full), 22, or the copy error.
int mdcudfsr_cache_enumerate_children(mdcudfsr_cache_node* dir, uio_t uio, int* count, vfs_context_t ctx);
int mdcudfsr_cache_reclaim_vnode(vnode_t vp, vfs_context_t ctx);
int mdcudfsr_cache_inactivate_node(mdcudfsr_cache_node* node, int count);
int mdcudfsr_cache_refresh_virtual_node(mdcudfsr_cache_node* node, vfs_context_t ctx);
int mdcudfsr_cache_invalidate_cache(mdcudfsr_cache_node* node, int recursive);
// 105 when the uio has less room than `length` (nothing copied), else uiomove's result.
int uio_move_checked(void* buffer, int length, uio_t uio);
