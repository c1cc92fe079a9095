// Salvage of files written after a rollback point: the lenient entry
// readers over the local copies of the metadata file, and the search for an
// unreferenced file's directory entry on the disc.
#pragma once

#include "kelhost/kern_types.h"
#include "udf/udf_extent.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

#pragma pack(push, 1)
// One salvaged file: this header, then whole blocks (parent directory
// entry, the block holding the file identifier, the file's entry, N
// allocation extent descriptors; with a stream its directory's entry, the
// stream's entry and M descriptors). Little-endian.
struct mdcudfsr_salvage_file_info {
  uint32_t zone_address;
  uint32_t window_sector;
  uint32_t fid_sector;
  uint16_t fid_offset;
  uint8_t has_stream;
  uint8_t name_invalid;
  uint32_t fe_block;
  uint16_t aed_count;
  uint16_t stream_aed_count;
};
// The list kept by the mount: this header, then the entries.
struct mdcudfsr_salvage_list_header {
  uint32_t count;
  uint32_t length;  // bytes, header included
};
// The EFE cache file's header.
struct mdcudfsr_efe_cache_header {
  uint8_t unused0[4];
  uint32_t count;
  uint32_t length;
  uint8_t unused1[8];
  uint32_t crc;
};
#pragma pack(pop)
static_assert(sizeof(mdcudfsr_salvage_file_info) == 24, "salvage file information header is 24 bytes");
static_assert(sizeof(mdcudfsr_salvage_list_header) == 8, "salvage list header is 8 bytes");
static_assert(sizeof(mdcudfsr_efe_cache_header) == 24, "EFE cache file header is 24 bytes");

// 0, 30 (usable, read-only), 9, 22.
int mdcudfsr_read_extended_file_entry_for_salvage(const uint8_t* block, uint32_t size, uint16_t part,
                                                  extended_file_entry* efe, mdcudfsr_extent_list* list,
                                                  uint32_t* type2, int sd_mode);
int mdcudfsr_read_allocation_extent_descriptor_for_salvage(const uint8_t* block, uint32_t block_size,
                                                           uint32_t sector_size, uint16_t part, uint32_t ad_type,
                                                           mdcudfsr_extent_list* list, uint32_t* type2);
int mdcudfsr_cache_read_all_allocation_extent_descriptors_for_salvage(mdcudfsr_mount* mnt, mdcudfsr_extent_list* list,
                                                                      const extended_file_entry* efe,
                                                                      uint64_t metadata_size, vfs_context_t ctx,
                                                                      int source);
// The entry at block `lbn` of the metadata file into `out` (one block) and
// its extents into `list`.
int mdcudfsr_cache_read_efe_and_aed_for_salvage(mdcudfsr_mount* mnt, uint64_t metadata_size, uint8_t* out,
                                                mdcudfsr_extent_list* list, uint32_t lbn, vfs_context_t ctx,
                                                int source);
// The stream directory at `lbn` and the stream file it names.
int mdcudfsr_cache_analize_stream_directory_for_salvage(mdcudfsr_mount* mnt, uint64_t metadata_size, uint8_t* sd_out,
                                                        uint8_t* sf_out, mdcudfsr_extent_list* sf_list, uint32_t lbn,
                                                        vfs_context_t ctx, int source);
// 0 with the mount's one-entry list built; 9 (no unreferenced file), 22
// (no directory entry names it), 12, or a read error.
int mdcudfsr_unreferenced_file_search(mdcudfsr_mount* mnt, uint64_t metadata_size, uint32_t fe_block,
                                      vfs_context_t ctx, int source);
// The merge of the EFE cache file's entries into the tree; 0 also when
// there is no such file or it is empty, 12, 22, or a step's error.
int mdcudfsr_unreferenced_file_determination(mdcudfsr_mount* mnt, vfs_context_t ctx);
// A node filled from a salvaged extended file entry (one block, disc order).
struct mdcudfsr_cache_node;
int mdcudfsr_cache_init_node_for_salvage(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, uint32_t icb_block,
                                         vfs_context_t ctx, const uint8_t* entry);
// Releases the mount's salvage list.
void mdcudfsr_free_salvage_list(mdcudfsr_mount* mnt);
