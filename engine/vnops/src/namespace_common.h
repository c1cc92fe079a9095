// What the namespace operations share: the mount of a vnode, the refusals
// every one of them applies, the special names, and the private component
// name that carries a converted name.
#pragma once

#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <cstddef>
#include <cstdint>

namespace vnops_ns {

constexpr std::uint32_t kMntNoEdit = 0x40;
// Deepest level of an object below the root (the root's entries: 1).
constexpr std::uint32_t kMaxDepth = 63;
constexpr unsigned kTraceCategory = 21;

inline mdcudfsr_mount* mount_of(vnode_t vp) {
  mount_t mp = vp ? vnode_mount(vp) : nullptr;
  return mp ? static_cast<mdcudfsr_mount*>(vfs_fsprivate(mp)) : nullptr;
}
inline bool read_only(const mdcudfsr_mount* mnt) { return (vfs_flags(mnt->mp) & MNT_RDONLY) != 0; }
inline bool no_edit(const mdcudfsr_mount* mnt) { return (mnt->mount_ext_flags & kMntNoEdit) != 0; }
inline bool usable(const mdcudfsr_cache_node* n) { return n && !mdcudfsr_is_inactive(n); }
inline bool is_root(const mdcudfsr_mount* mnt, const mdcudfsr_cache_node* n) { return n && n == mnt->root_node; }
inline const char* name_of(const mdcudfsr_cache_node* n) { return n && n->vfs_name ? n->vfs_name : "(null)"; }

// "$" or "$$", alone or before a "/".
bool is_dollar_name(const char* name);
// Opens the integrity session before a change of the tree is made (the
// change would open it after): 0 when the change may go on. A drive fault
// at the opening's write of the cartridge memory turns the volume
// read-only, and a change made then would live in memory only, with the
// request's later steps refused; the change is refused instead, so the
// tree the engine shows is the one the volume can still save.
int open_session_before_change(mdcudfsr_mount* mnt, vfs_context_t ctx);
// Begins with ".Trash", in any letter case.
bool is_trash_name(const char* name);
// Levels of the node below the root (the root: 0).
std::uint32_t level_of(const mdcudfsr_mount* mnt, const mdcudfsr_cache_node* node);
// The entry's modification and attribute times = now.
void touch_times(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node);
// The caller's component name with the converted name in place of its own.
componentname private_name(const componentname* cnp, char* converted, std::size_t length);
// Frees a converted name (OSMalloc'd, length + 1 bytes).
void release_name(char*& name, std::size_t length);
// The entry trace line of an operation, when the trace filter allows it.
void trace_enter(const char* op, vnode_t vp, vfs_context_t ctx);

}  // namespace vnops_ns
