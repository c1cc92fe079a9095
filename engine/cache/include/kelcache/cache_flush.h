// Writing the node tree to the medium: directory images, the flush of one
// node and of a tree, the metadata flush passes and their checks, rename and
// move in the tree.
//
// The flush routines expect the caller to hold every node lock of the volume.
#pragma once

#include "kelcache/cache_node.h"
#include "kelhost/kern_types.h"
#include "udf/udf_extent.h"

#include <cstdint>

struct mdcudfsr_mount;

// ---------------------------------------------------------------- directory images
// Whether a child is listed in its directory's image.
bool mdcudfsr_cache_dir_lists(const mdcudfsr_cache_node* child, int skip_masters);
// Bytes of the directory's descriptor stream; all ones when a name cannot
// be converted.
uint64_t mdcudfsr_cache_calc_dir_size(mdcudfsr_cache_node* dir, int skip_masters);
// One file identifier descriptor of the node at `buffer` (with parent 1:
// the parent entry, naming the node); its length padded to 4, or -1.
int mdcudfsr_cache_write_fid(mdcudfsr_mount* mnt, uint8_t* buffer, mdcudfsr_udf_node_fields* node, uint32_t tag_loc,
                             int parent);
// The whole image of a directory whose data starts at block `start`; 0 or 22.
int mdcudfsr_cache_write_directory(mdcudfsr_mount* mnt, uint8_t* buffer, uint32_t size, mdcudfsr_cache_node* dir,
                                   uint32_t start, int skip_masters, uint32_t rewrite_offset);
// The write pattern (0-8) of a directory of `size` bytes; *write_bytes gets
// the bytes to write and data->dir_prev_start the previous directory start.
int mdcudfsr_cache_decide_fid_write_pattern(uint32_t block_size, uint32_t flush_all, mdcudfsr_udf_data* data,
                                            uint8_t dir_dirty, uint64_t size, uint32_t room, uint64_t* write_bytes);
// Writes a directory's contents and its entry.
int mdcudfsr_cache_flush_dir_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* dir, vfs_context_t ctx, int skip_masters);

// ---------------------------------------------------------------- node flush
int mdcudfsr_cache_set_dirty_to_root(mdcudfsr_cache_node* node);
// Marks the subtree for a new placement after a defect.
void mdcudfsr_cache_dirty_node_for_defect(mdcudfsr_cache_node* node);
// Dirty nodes of the subtree that are not parity nodes.
uint32_t mdcudfsr_cache_count_cache_dirty(mdcudfsr_cache_node* node);
int mdcudfsr_cache_flush_node(mdcudfsr_cache_node* node, vfs_context_t ctx, int exclude, int keep);
int mdcudfsr_cache_flush_node_sub(mdcudfsr_cache_node* start, vfs_context_t ctx, int exclude, int keep);

// ---------------------------------------------------------------- flush passes
int mdcudfsr_cache_check_metadata_aed(mdcudfsr_mount* mnt, uint32_t extra, uint32_t* need_full, int force);
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, uint32_t extra,
                                              uint32_t* need_full, int force);
// Incremental pass: dirty nodes appended to the metadata file.
int mdcudfsr_cache_flush(mdcudfsr_mount* mnt, vfs_context_t ctx, int* wrote, uint32_t* out_blocks, int exclude,
                         int* defect_hit, int keep);
// Full pass: everything rewritten from the start of the metadata file.
int mdcudfsr_cache_flush_full(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* out_blocks, int exclude,
                              int* defect_hit, int keep);
int mdcudfsr_cache_full_flush_from_cachefile(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t start_block,
                                             int* defect_hit, uint32_t* out_blocks);

// ---------------------------------------------------------------- rename and move
int mdcudfsr_cache_rename_node(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node, const char* name, int64_t len,
                               int mode = 1);
int mdcudfsr_cache_move_node(mdcudfsr_cache_node* old_dir, mdcudfsr_cache_node* new_dir, mdcudfsr_cache_node* node,
                             const char* name, int64_t len);

// ---------------------------------------------------------------- rollback mount
// Places the metadata file and its mirror for the mount's rollback point;
// mode 1: the point's entry is the metadata file's, 0: the mirror's.
// 0, 30 (read-only), 22, or the disc change's error.
int mdcudfsr_init_partitions_rollback(mdcudfsr_mount* mnt, vfs_context_t ctx, int mode);
// Copies the staged descriptor images and the identity block into the
// management cache file (a failed write drops that file); always 0.
int mdcudfsr_flush_descriptor_to_fscache_file(mdcudfsr_mount* mnt, vfs_context_t ctx);
