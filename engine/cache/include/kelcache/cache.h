// The node cache of a mounted volume: nodes and their release, the two
// indexes of a directory, node locks and the creation gate, object counts
// and the directory stack, names, paths, node creation, parity nodes, dirty
// marks and sizes, and the local metadata cache files.
//
// Results are errno values (0 success) unless a line says otherwise.
#pragma once

#include "kelcache/cache_counts.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern_types.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

// Waiting argument of the locks: no limit.
constexpr uint32_t MDCUDFSR_WAIT_FOREVER = 0xFFFFFFFFu;
// A timed wait that ran out.
constexpr int MDCUDFSR_ETIMEDOUT = 138;

// ---------------------------------------------------------------- nodes
// A new node, in no tree or list yet; nullptr when memory runs out. With
// borrow non-zero the node takes the caller's name buffer (strlen + 1 bytes,
// from OSMalloc) as its own, else it copies the name.
mdcudfsr_cache_node* mdcudfsr_cache_alloc_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent, char* name,
                                               int borrow, uint8_t file_char, uint32_t attributes, uint32_t kind);
// Releases a node and, for a directory, every node below it; 0.
int mdcudfsr_cache_free_node(mdcudfsr_cache_node* node);
int mdcudfsr_cache_free_proxy_node(mdcudfsr_cache_node* node);
int mdcudfsr_cache_free_shadow_node(mdcudfsr_cache_node* node);
int mdcudfsr_cache_alloc_udf_data(mdcudfsr_udf_data** out);
int mdcudfsr_cache_free_udf_data(mdcudfsr_udf_data** ref);
int mdcudfsr_cache_alloc_vfam_data(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node);
int mdcudfsr_cache_free_vfam_data(mdcudfsr_cache_node* node);
// Frees the inactive nodes no vnode holds, below and at the node.
int mdcudfsr_cache_clean_up_inactive_node(mdcudfsr_cache_node* node);
void mdcudfsr_cache_dump(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, int depth);
void mdcudfsr_cache_node_debug(mdcudfsr_cache_node* node);
// Byte offset of an entry of the node's extent list; -1 when not found.
int64_t mdcudfsr_cache_extent_offset(mdcudfsr_cache_node* node, const mdcudfsr_extent_entry* entry);
uint32_t mdcudfsr_cache_count_extents(mdcudfsr_cache_node* node);
mdcudfsr_extent_entry* mdcudfsr_cache_nth_extent(mdcudfsr_cache_node* node, int n);
// Placement bits a new node under `parent` takes.
uint32_t mdcudfsr_cache_decide_node_location(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent);
void mdcudfsr_cache_free_parity_info(mdcudfsr_parity_info** info);

// ---------------------------------------------------------------- indexes
// Unique-id tree of a directory; results that are roots go back into
// uid_root. `path` is a search-path stack (linked through nlist).
mdcudfsr_cache_node* mdcudfsr_avl_insert(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root,
                                         mdcudfsr_cache_node* node, uint64_t key, int clear);
// Removes `node` (whose key is `key`) from the tree and from avl_all_list.
// When the tree holds another node of that key, only `node` leaves the list.
mdcudfsr_cache_node* mdcudfsr_avl_delete(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root,
                                         mdcudfsr_cache_node* node, uint64_t key);
mdcudfsr_cache_node* mdcudfsr_avl_search(mdcudfsr_cache_node* root, uint64_t key, int next, mdcudfsr_list* path);
mdcudfsr_cache_node* mdcudfsr_avl_search_min(mdcudfsr_cache_node* subtree, mdcudfsr_list* path);
int mdcudfsr_avl_check_search(mdcudfsr_cache_node* root, uint64_t key);
void mdcudfsr_avl_add_alllist(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node);
void mdcudfsr_avl_pop_alllist(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node);
void mdcudfsr_avl_add_nlist(mdcudfsr_list* path, mdcudfsr_cache_node* node, uint8_t direction);
mdcudfsr_cache_node* mdcudfsr_avl_pop_nlist(mdcudfsr_list* path);
int mdcudfsr_avl_get_height(const mdcudfsr_cache_node* node);
int mdcudfsr_avl_get_balance(const mdcudfsr_cache_node* node);
mdcudfsr_cache_node* mdcudfsr_avl_rotate_right(mdcudfsr_cache_node* node);
mdcudfsr_cache_node* mdcudfsr_avl_rotate_left(mdcudfsr_cache_node* node);
mdcudfsr_cache_node* mdcudfsr_avl_balance(mdcudfsr_cache_node* root, mdcudfsr_list* path);
void mdcudfsr_avl_display_tree(mdcudfsr_cache_node* node, int depth);
void mdcudfsr_avl_display_balance(mdcudfsr_cache_node* dir);
int mdcudfsr_avl_balance_of(const mdcudfsr_cache_node* node);

// Name tree: names compare byte by byte with ASCII letters folded to lower
// case (name_cmp < 0, 0, > 0).
int mdcudfsr_name_cmp(const char* a, const char* b);
mdcudfsr_cache_node* mdcudfsr_name_avl_insert(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root,
                                              mdcudfsr_cache_node* node, const char* name, int clear);
int mdcudfsr_name_avl_delete(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root, mdcudfsr_cache_node* target,
                             const char* name, mdcudfsr_cache_node** new_root);
mdcudfsr_cache_node* mdcudfsr_name_avl_search(mdcudfsr_cache_node* root, const char* name, mdcudfsr_list* path);
mdcudfsr_cache_node* mdcudfsr_name_avl_search_min(mdcudfsr_cache_node* subtree, mdcudfsr_list* path);
int mdcudfsr_name_avl_check_search(mdcudfsr_cache_node* root, const char* name);
void mdcudfsr_avl_add_name_nlist(mdcudfsr_list* path, mdcudfsr_cache_node* node, uint8_t direction);
mdcudfsr_cache_node* mdcudfsr_avl_pop_name_nlist(mdcudfsr_list* path);
int mdcudfsr_name_avl_get_height(const mdcudfsr_cache_node* node);
int mdcudfsr_name_avl_get_balance(const mdcudfsr_cache_node* node);
mdcudfsr_cache_node* mdcudfsr_name_avl_rotate_right(mdcudfsr_cache_node* node);
mdcudfsr_cache_node* mdcudfsr_name_avl_rotate_left(mdcudfsr_cache_node* node);
mdcudfsr_cache_node* mdcudfsr_name_avl_balance(mdcudfsr_cache_node* root, mdcudfsr_list* path);
void mdcudfsr_name_avl_display_tree(mdcudfsr_cache_node* node, int depth);
void mdcudfsr_name_avl_display_balance(mdcudfsr_cache_node* dir);
void mdcudfsr_children_insert_tail(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node);
void mdcudfsr_children_remove(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node);

// Parent and child.
int mdcudfsr_cache_add_child(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* node, int count, int clear);
int mdcudfsr_cache_detach_node(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* node);
uint64_t mdcudfsr_cache_nchildren(mdcudfsr_cache_node* dir);
uint64_t mdcudfsr_cache_nchildren_uniqueid(mdcudfsr_cache_node* dir);
mdcudfsr_cache_node* mdcudfsr_cache_find_node_in_tree(mdcudfsr_cache_node* node, uint64_t unique_id);
mdcudfsr_cache_node* mdcudfsr_cache_get_next_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                                  mdcudfsr_cache_node* top, int descend);

// ---------------------------------------------------------------- locks
int mdcudfsr_cache_lock_node_internal(mdcudfsr_cache_node* node, uint32_t mask, int recursive, uint32_t ms);
int mdcudfsr_cache_unlock_node_internal(mdcudfsr_cache_node* node, uint32_t mask, int recursive);
int mdcudfsr_cache_lock_node(mdcudfsr_cache_node* node, uint32_t ms);
int mdcudfsr_cache_lock_node_recursive(mdcudfsr_cache_node* node, uint32_t ms);
int mdcudfsr_cache_unlock_node(mdcudfsr_cache_node* node);
int mdcudfsr_cache_unlock_node_recursive(mdcudfsr_cache_node* node);
int mdcudfsr_cache_lock_all_nodes(mdcudfsr_mount* mnt, uint32_t ms);
int mdcudfsr_cache_unlock_all_nodes(mdcudfsr_mount* mnt);
int mdcudfsr_cache_lock_all_udf_nodes(mdcudfsr_mount* mnt, uint32_t ms);
int mdcudfsr_cache_unlock_all_udf_nodes(mdcudfsr_mount* mnt);
int mdcudfsr_cache_lock_udf_obj_creation(mdcudfsr_mount* mnt, uint32_t ms);
int mdcudfsr_cache_unlock_udf_obj_creation(mdcudfsr_mount* mnt);

// ---------------------------------------------------------------- counts
// The object limit of the medium; 30 (both 0) for a medium outside the table.
int mdcudfsr_cache_get_max_object_count(mdcudfsr_mount* mnt, uint32_t num_files, uint32_t* max_files,
                                        uint32_t* max_dirs);
int mdcudfsr_cache_get_free_object_count(mdcudfsr_mount* mnt, int include_reserved, uint32_t* num_free);
int mdcudfsr_cache_set_reserved_object_count(mdcudfsr_mount* mnt, uint32_t files, uint32_t dirs);
// 0 allowed, 1 refused, 30 read-only volume, 22 no mount.
int mdcudfsr_cache_is_authorized(mdcudfsr_cache_node* node, int mode, vfs_context_t ctx);
int mdcudfsr_cache_is_dir_empty(mdcudfsr_cache_node* node);
uint64_t mdcudfsr_cache_get_file_size(mdcudfsr_cache_node* node);

struct mdcudfsr_dirstack {
  mdcudfsr_cache_node** entries = nullptr;
  uint32_t count = 0;
  uint32_t capacity = 0;
  int error = 0;
};
int mdcudfsr_dirstack_init(mdcudfsr_dirstack* stack);
void mdcudfsr_dirstack_free(mdcudfsr_dirstack* stack);
// The new count, or the limit + 1 (reason in `error`) when the push failed.
uint32_t mdcudfsr_dirstack_push(mdcudfsr_dirstack* stack, mdcudfsr_cache_node* node, int large);
mdcudfsr_cache_node* mdcudfsr_dirstack_pop(mdcudfsr_dirstack* stack);

// ---------------------------------------------------------------- names
// Size of the name buffers of a converted file identifier.
constexpr uint32_t MDCUDFSR_VFS_NAME_SIZE = 976;
// The file identifier of `fid` (host order, its variable part after it) as a
// node name, checked to be free in the directory's name tree.
// *new_vfs_name (MDCUDFSR_VFS_NAME_SIZE bytes) and *udf_name (l_fi bytes)
// belong to the caller after success.
int mdcudfsr_cache_get_udf_filename(const fileid_desc* fid, mdcudfsr_cache_node** dir_name_tree,
                                    char** new_vfs_name, uint8_t** udf_name, uint64_t* udf_name_len);
int mdcudfsr_cache_get_udf_filename_ex(const fileid_desc* fid, char** new_vfs_name, uint8_t** udf_name,
                                       uint64_t* udf_name_len);
int mdcudfsr_cache_unique_filename(mdcudfsr_cache_node** dir_name_tree, const char* name);
// `len` below 0: the name runs to its terminator.
int mdcudfsr_cache_is_valid_filename(const char* name, int64_t len, mdcudfsr_cache_node* node, int normalize,
                                     int parity);
int mdcudfsr_cache_is_hidden_temp_name(const char* name, mdcudfsr_cache_node* parent);
int mdcudfsr_cache_is_dollar_proxyfile(mdcudfsr_cache_node* node);

// ---------------------------------------------------------------- paths
uint32_t mdcudfsr_cache_get_full_path_len(mdcudfsr_cache_node* node);
int mdcudfsr_cache_get_path(mdcudfsr_cache_node* node, char* path, uint32_t path_len);
// 0 A is an ancestor of B, 1 B of A, 2 the same path, 3 neither.
int mdcudfsr_relationship(vnode_t vp_a, vnode_t vp_b, int* relationship, uint32_t size_a, uint32_t size_b);
int mdcudfsr_cache_get_family_tree(mdcudfsr_cache_node* b, mdcudfsr_cache_node* a, mdcudfsr_cache_node* n,
                                   mdcudfsr_cache_node** oldest, mdcudfsr_cache_node** second,
                                   mdcudfsr_cache_node** youngest, mdcudfsr_cache_node* root);

// ---------------------------------------------------------------- creation
// The node comes back locked by the caller. With take_name 1 the node owns
// `name` after success, and after a failure exactly when *failed is set.
int mdcudfsr_cache_create_udf_node(mdcudfsr_cache_node* parent, char* name, int64_t name_len, int take_name,
                                   uint8_t file_char, uint32_t perm, mdcudfsr_cache_node** out, int parity,
                                   int* failed);
int mdcudfsr_cache_create_dollar_proxy_node(mdcudfsr_cache_node* parent, char* name, int64_t name_len,
                                            int take_name, uint8_t file_char, uint32_t perm,
                                            mdcudfsr_cache_node** out, int* failed);
int mdcudfsr_cache_create_proxy_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* master, int with_vnode,
                                     const char* parity_suffix);
int mdcudfsr_cache_create_shadow_node(mdcudfsr_mount* mnt, int with_vnode);
int mdcudfsr_cache_create_virtual_node(mdcudfsr_cache_node* parent, char* name, int64_t name_len, int take_name,
                                       uint8_t file_char, uint32_t perm, mdcudfsr_cache_node** out, int* failed);
// A 48-byte buffer (OSMalloc) the caller frees.
constexpr uint32_t MDCUDFSR_PARITY_SUFFIX_SIZE = 48;
int mdcudfsr_cache_get_parity_suffix_name(mdcudfsr_cache_node* node, char** suffix);

// ---------------------------------------------------------------- dirty marks and sizes
int mdcudfsr_cache_set_dirty(mdcudfsr_cache_node* node);
int mdcudfsr_cache_set_parent_dirty(mdcudfsr_cache_node* node);
// Removes `bytes` from the end of the list; 0.
int mdcudfsr_cache_trunc_extent(mdcudfsr_extent_list* list, uint64_t bytes);
int mdcudfsr_cache_set_file_size(mdcudfsr_cache_node* node, uint64_t size);

// ---------------------------------------------------------------- parity
// The setup-parity request's record: its parity identifier.
struct mdcudfsr_parity_ctl {
  char parity_suffix[MDCUDFSR_PARITY_SUFFIX_SIZE];
};
// The volume's default parity identifier: the mount's, or while it has none
// the one of its medium type.
const char* mdcudfsr_cache_default_parity_suffix(const mdcudfsr_mount* mnt);
int mdcudfsr_cache_parity_info_creating_from_parity(mdcudfsr_mount* mnt, mdcudfsr_cache_node* dir,
                                                    mdcudfsr_cache_node** parity, mdcudfsr_parity_info** info,
                                                    int remove);
// Mode 1: a parity node in the master's directory, linked with the master
// both ways and returned unlocked (`parity` may be null); mode 0: a
// temporary node in no index, handed to the caller.
int mdcudfsr_cache_parity_creating_from_parity_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* master,
                                                    const mdcudfsr_parity_ctl* ctl, int mode,
                                                    mdcudfsr_cache_node** parity);
int mdcudfsr_cache_parity_info_enabled_decision(mdcudfsr_cache_node* node);
int mdcudfsr_cache_temporary_parity_creating_or_deletion(mdcudfsr_cache_node* master, mdcudfsr_cache_node** parity,
                                                         int del);

// ---------------------------------------------------------------- local cache files
// Size of the local cache and EFE cache name buffers.
constexpr uint32_t MDCUDFSR_LOCAL_CACHE_NAME_SIZE = 51;
int mdcudfsr_cache_create_local_fs_cache_name(mdcudfsr_mount* mnt, char* buffer, uint32_t length, vfs_context_t ctx);
int mdcudfsr_cache_local_cache_open(mdcudfsr_mount* mnt, uint32_t mode, vfs_context_t ctx);
int mdcudfsr_cache_local_fs_cache_del(mdcudfsr_mount* mnt, int force);
int mdcudfsr_cache_create_EFE_cache_name(mdcudfsr_mount* mnt, char* buffer, uint32_t length, vfs_context_t ctx);
uint16_t mdcudfsr_cache_update_zoneid_map(mdcudfsr_cache_node* node);

// ---------------------------------------------------------------- directory scan
// Size of the file identifier descriptor buffer of the scan.
constexpr uint32_t MDCUDFSR_FID_BUF_SIZE = 2048;
// mount_ext_flags: no scan below the root; checkEFE and mergeEFE salvage modes.
constexpr uint32_t MDCUDFSR_MNT_EXT_NO_SCAN = 0x1000;
constexpr uint32_t MDCUDFSR_CHECK_EFE_FLAGS = 0x40020;
constexpr uint32_t MDCUDFSR_MERGE_EFE_FLAGS = 0x80020;
// The mount_ext_flags of a checkEFE or mergeEFE mount: it searches whatever
// the metadata file still holds, a block that does not read taken as 0xFF.
inline bool mdcudfsr_salvage_flags(uint32_t f) {
  return (f & MDCUDFSR_CHECK_EFE_FLAGS) == MDCUDFSR_CHECK_EFE_FLAGS ||
         (f & MDCUDFSR_MERGE_EFE_FLAGS) == MDCUDFSR_MERGE_EFE_FLAGS;
}
// The checkEFE bitmap: {u32, u32 bit count, u32, u32 byte count}, then bits.
constexpr uint32_t MDCUDFSR_CHECK_EFE_HEADER = 16;
// Parity identifier whose files the parity-overlap check looks at.
constexpr const char* MDCUDFSR_PXO4666_SUFFIX = "*ECC_PARITY_V100_N=2064_K=2048";

int mdcudfsr_cache_init_udf_node(mdcudfsr_mount* mnt, uint64_t metadata_size, mdcudfsr_cache_node* root,
                                 uint32_t efe_loc, vfs_context_t ctx, int alt);
int mdcudfsr_cache_init_node(mdcudfsr_mount* mnt, uint64_t metadata_size, mdcudfsr_cache_node* node, uint32_t efe_loc,
                             vfs_context_t ctx, int* has_stream, int alt);
int mdcudfsr_cache_analize_stream_directory(mdcudfsr_mount* mnt, uint64_t metadata_size, mdcudfsr_cache_node* dir,
                                            mdcudfsr_cache_node* file, uint32_t std_loc, vfs_context_t ctx, int alt);
int mdcudfsr_cache_get_fid(mdcudfsr_mount* mnt, uint64_t metadata_size, mdcudfsr_cache_node* dir, uint64_t offset,
                           uint8_t* fid_buf, int alt);
int mdcudfsr_cache_read_file_mem(uint64_t metadata_size, mdcudfsr_cache_node* node, uint64_t offset, uint8_t* dst,
                                 uint32_t* len, int alt);
int mdcudfsr_cache_read_file_mem_in_icb(mdcudfsr_mount* mnt, mdcudfsr_udf_data* data, uint64_t offset, uint8_t* dst,
                                        uint32_t* len, int alt);
int mdcudfsr_cache_read_all_allocation_extent_descriptors(mdcudfsr_mount* mnt, mdcudfsr_udf_data* data,
                                                          uint64_t metadata_size, vfs_context_t ctx, int alt);
// The parity-overlap check of a file and its parity node.
void mdcudfsr_check_pxo4666(mdcudfsr_mount* mnt, mdcudfsr_cache_node* file);
uint32_t mdcudfsr_cache_get_dir_depth(mdcudfsr_cache_node* node);

// ---------------------------------------------------------------- construction
int mdcudfsr_cache_construct(mdcudfsr_mount* mnt, uint64_t size, vfs_context_t ctx, int reconstruct, int source);
int mdcudfsr_cache_init(mdcudfsr_mount* mnt, vfs_context_t ctx, int prepared, int source);
int mdcudfsr_cache_term(mdcudfsr_mount* mnt);
int mdcudfsr_cache_term_sub(mdcudfsr_mount* mnt);
// The first block of the metadata file the tree does not use (the lowest
// bit left set in the checkEFE bitmap); 0 when every block is used.
uint32_t mdcudfsr_cache_check_efe_first_block(const mdcudfsr_mount* mnt);
