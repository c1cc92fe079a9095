// What the slots share: the caller's context, component names, and the
// vnode operations called through the pointers Initialise resolved, each
// with its argument record.
#pragma once

#include "kelhost/kern.h"
#include "kelhost/kern_types.h"
#include "kelhost/log.h"
#include "kelhost/vnode.h"
#include "kelmain/slots.h"
#include "kelvnops/mdcudfsr_namespace.h"

#include <cstdint>
#include <string>

namespace kelmain::slot {

// A context holding the calling process id.
vfs_context caller_context();

// A component name for (folder, name), as the slots build it: flags 0x4000,
// the folder as path buffer, the name as component. The strings stay with
// the object.
class ComponentName {
 public:
  ComponentName(const char* folder, const char* name);
  componentname* get() { return &cn_; }

 private:
  std::string folder_, name_;
  componentname cn_{};
};

// folder + "/" + name; runs of separators resolve like one.
std::string join_path(const char* folder, const char* name);

// The Entry of a path, or null.
EntryPtr resolve(const char* path, vfs_context* ctx);
// The vnode of an Entry's parent, or null when the parent left the tree.
vnode_t parent_vnode(const EntryPtr& entry);

// The vnode operations; 22 when the operation is not resolved or the vnode
// is null.
int vn_create(vnode_t dvp, vnode_t* out, componentname* cn, vnode_attr* va, vfs_context_t ctx);
int vn_mkdir(vnode_t dvp, vnode_t* out, componentname* cn, vnode_attr* va, vfs_context_t ctx);
int vn_open(vnode_t vp, int mode, vfs_context_t ctx);
int vn_close(vnode_t vp, int flags, vfs_context_t ctx);
int vn_read(vnode_t vp, uio_t uio, int flags, vfs_context_t ctx);
int vn_write(vnode_t vp, uio_t uio, int flags, vfs_context_t ctx);
int vn_getattr(vnode_t vp, vnode_attr* va, vfs_context_t ctx);
int vn_setattr(vnode_t vp, vnode_attr* va, vfs_context_t ctx);
int vn_remove(vnode_t dvp, vnode_t vp, componentname* cn, std::uint32_t flags, vfs_context_t ctx);
int vn_rmdir(vnode_t dvp, vnode_t vp, componentname* cn, vfs_context_t ctx);
int vn_rename(const vnop_rename_args& args);
int vn_readdir(vnode_t vp, uio_t uio, std::uint32_t flags, int* eof, int* count, vfs_context_t ctx);
int vn_inactive(vnode_t vp, vfs_context_t ctx);

// Makes a file (create) or a folder (mkdir) named name in folder, with an
// all-zero attribute record: 2 when the folder does not resolve, else the
// operation's result and the new vnode in *out.
int make_object(const char* folder, const char* name, bool directory, vfs_context* ctx, vnode_t* out);

// Leaves the privileged mode when it was entered: the leave request's
// result, or 0.
int leave_privileged_if(bool entered);

// Sets the visibility of a node: register, enter, 0x800070A1, leave.
int set_visibility(vnode_t vp, bool visible);

}  // namespace kelmain::slot

// Logs under module FUSE with the slot's signature as function name.
#define SLOT_LOG(function, level, ...) KEL_LOG_AS((function), (level), KEL_MOD_FUSE, KEL_MARK_NOTE, __VA_ARGS__)
