// Writing a node's extended file entry with its allocation descriptors, its
// chain of allocation extent descriptors, its extended attributes, the
// components of a symbolic link, and the stream directory of a file that
// owns a stream.
#pragma once

#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_node.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

constexpr uint16_t UDF_EA_HEADER_TAG = 262;
constexpr uint32_t UDF_EA_PREVLOC_LENGTH = 80;

struct mdcudfsr_efe_write {
  uint16_t part;             // partition reference the entry is written to
  uint32_t efe_loc;          // tag location (logical block)
  uint32_t phys_block;       // block written
  uint32_t perm_word;
  extended_file_entry* efe;  // host order; updated (lengths, stream ICB, link count)
  const uint8_t* ea;         // the copy's L_EA bytes of attributes when none are built (null: none)
  const mdcudfsr_extent_list* list;
  mdcudfsr_aed_info** aed_info;
  uint32_t first_sector;     // the metadata file's own blocks on rewritable media
  mdcudfsr_udf_node_fields* node;  // may be null
  int64_t prev_loc;          // -1: none
  int mirror;
};

// 0, 12, 22, 28 or a write error.
int mdcudfsr_flush_extended_file_entry(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, vfs_context_t ctx);
// Size of the stream directory data of a file owning a stream; 0 on failure.
uint32_t mdcudfsr_calc_strdir_size(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* owner);
// The extended attribute area an entry is written with (header and
// attributes); its length, or 0 with none.
uint32_t mdcudfsr_build_ea_area(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint8_t* out, uint32_t capacity);
