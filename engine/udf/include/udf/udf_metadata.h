// The metadata partition: the extent lists of the metadata file and its
// mirror, the allocation cursor, growth, remapping of rewritten entries, the
// rebuilds over the node tree and for the file set descriptor, the local copy
// of the metadata file and the zero fill of its unused tail.
#pragma once

#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_node.h"

#include <cstdint>

struct mdcudfsr_mount;

// Filled by a growth of the metadata file.
struct mdcudfsr_relocation_info {
  uint32_t zero;
  uint32_t first_sector;
  uint32_t blocks;
};

int mdcudfsr_add_metadata_extent_list(mdcudfsr_extent_list* main, mdcudfsr_extent_list* mirror, uint32_t lbn,
                                      uint32_t length, uint32_t logical_block_size);
uint32_t mdcudfsr_allocate_metadata_blocks(mdcudfsr_mount* mnt, uint32_t count);
int mdcudfsr_relocate_metadata_file(mdcudfsr_mount* mnt, uint32_t blocks, int restart, mdcudfsr_relocation_info* info,
                                    vfs_context_t ctx);
int mdcudfsr_find_and_chk_matadata_extent_list(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* node, uint32_t block,
                                               uint32_t replacement, int skip_kind4, uint32_t* size_over,
                                               int keep_flags);
int mdcudfsr_rebuild_metadata_extent_list_ex(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* start, int skip_kind4,
                                             uint32_t* size_over);
int mdcudfsr_rebuild_metadata_extent_list_for_fsd(mdcudfsr_mount* mnt, uint32_t* size_over);
// selector: 0 the first local cache file, non-zero the second.
int mdcudfsr_read_metadata_file(mdcudfsr_mount* mnt, vfs_context_t ctx, int selector);
int mdcudfsr_zero_fill_free_metadata_blocks(mdcudfsr_mount* mnt, vfs_context_t ctx);

// Largest number of directories a tree walk keeps on its stack.
uint32_t mdcudfsr_dirstack_limit(const mdcudfsr_mount* mnt);
