// The namespace changes of the volume: create, mkdir, symlink, remove,
// rmdir, rename and move, with their argument records (the BSD layouts of
// the emulated kernel interface), and the helpers they share.
#pragma once

#include "kelhost/kern_types.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

struct vnop_create_args {
  vnodeop_desc* a_desc;
  vnode_t a_dvp;
  vnode_t* a_vpp;
  componentname* a_cnp;
  vnode_attr* a_vap;
  vfs_context_t a_context;
};
using vnop_mkdir_args = vnop_create_args;
struct vnop_symlink_args {
  vnodeop_desc* a_desc;
  vnode_t* a_vpp;
  char* a_target;
  vnode_t a_dvp;
  componentname* a_cnp;
  vnode_attr* a_vap;
  vfs_context_t a_context;
};
struct vnop_remove_args {
  vnodeop_desc* a_desc;
  vnode_t a_dvp;
  vnode_t a_vp;
  componentname* a_cnp;
  std::uint32_t a_flags;
  vfs_context_t a_context;
};
constexpr std::uint32_t VNODE_REMOVE_NODELETEBUSY = 0x1;
struct vnop_rmdir_args {
  vnodeop_desc* a_desc;
  vnode_t a_dvp;
  vnode_t a_vp;
  componentname* a_cnp;
  vfs_context_t a_context;
};
struct vnop_rename_args {
  vnodeop_desc* a_desc;
  vnode_t a_fdvp;
  vnode_t a_fvp;
  componentname* a_fcnp;
  vnode_t a_tdvp;
  vnode_t a_tvp;
  componentname* a_tcnp;
  vfs_context_t a_context;
};

int mdcudfsr_vnop_create(void* args);
int mdcudfsr_vnop_mkdir(void* args);
int mdcudfsr_vnop_symlink(void* args);
int mdcudfsr_vnop_remove(void* args);
int mdcudfsr_vnop_rmdir(void* args);
int mdcudfsr_vnop_rename(void* args);
// Moves a node the caller holds locked into the directory at `to_path`
// (from the volume root) under `new_name`; the node stays locked.
int mdcudfsr_vnop_move(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, const char* to_path, const char* new_name,
                       vfs_context_t ctx);
// The operator event line of a failed rename or move, with both paths.
void mdcudfsr_vnop_print_rename_errlog(mdcudfsr_cache_node* from_parent, mdcudfsr_cache_node* to_parent, int error,
                                       const char* old_name, const char* new_name, const char* message,
                                       vfs_context_t ctx);
// The operator event line of a failed operation on a named object.
void mdcudfsr_vnop_print_errlog(mdcudfsr_cache_node* parent, int error, const char* name, const char* message,
                                vfs_context_t ctx);
// The name of a request as the volume keeps it: a NUL-terminated copy of
// converted_length + 1 bytes (OSMalloc) the caller releases.
int mdcudfsr_convert_filename(const char* name, std::size_t length, char** converted, std::size_t* converted_length);

// Takes the unique id off the recovery-required list of the mount and of
// the cartridge memory: 0, 5 (attributes not read or written) or 22 (not
// listed; nothing written).
int mdcudfsr_mdcfsctrl_clear_recovery_required_file(mdcudfsr_mount* mnt, const std::uint64_t* unique_id,
                                                    vfs_context_t ctx);
