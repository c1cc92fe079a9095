// The UDF part of a cache node: what the UDF structure code reads and writes
// of a node (its entry copy, extent list, allocation extent descriptor
// locations, stream-directory locations, symbolic-link target, and its place
// in its parent's children-by-unique-id list). The node cache's
// mdcudfsr_cache_node builds on mdcudfsr_udf_node_fields.
#pragma once

#include "udf/udf_extent.h"
#include "udf/udf_records.h"

#include <cstdint>
#include <vector>

// Node kinds and states.
enum : uint32_t {
  MDCUDFSR_NODE_UDF = 1,
  MDCUDFSR_NODE_PROXY = 2,
  MDCUDFSR_NODE_VIRTUAL = 3,
  MDCUDFSR_NODE_MASTER = 4,
  MDCUDFSR_NODE_SHADOW = 5,
};
enum : uint32_t { MDCUDFSR_NODE_ACTIVE = 0, MDCUDFSR_NODE_INACTIVE = 2 };

// ICB file types used by the UDF code.
enum : uint8_t {
  UDF_FILE_TYPE_DIRECTORY = 4,
  UDF_FILE_TYPE_REGULAR = 5,
  UDF_FILE_TYPE_SYMLINK = 12,
  UDF_FILE_TYPE_STREAMDIR = 13,
  UDF_FILE_TYPE_249 = 249,
  UDF_FILE_TYPE_METADATA = 250,
  UDF_FILE_TYPE_METADATA_MIRROR = 251,
  UDF_FILE_TYPE_METADATA_BITMAP = 252,
};
// Allocation types (ICB tag flags, low three bits).
enum : uint16_t { UDF_AD_SHORT = 0, UDF_AD_LONG = 1, UDF_AD_IN_ICB = 3 };
constexpr uint16_t UDF_ICB_FLAG_STREAM = 0x2000;

// Logical blocks of a node's allocation extent descriptors, in chain order.
struct mdcudfsr_aed_info {
  uint32_t size;   // bytes of this block
  uint32_t count;  // values in use
  uint32_t values[1];
};
constexpr uint32_t MDCUDFSR_AED_INFO_STEP = 64;

// One file hash entry of a node (written as a hash extended attribute).
struct mdcudfsr_hash_entry {
  uint16_t kind;
  std::vector<uint8_t> hash;
};

struct mdcudfsr_udf_data {
  extended_file_entry efe{};  // host order
  uint32_t efe_loc = MDCUDFSR_INVALID_LBN;
  uint32_t replace_efe_loc = MDCUDFSR_INVALID_LBN;
  uint32_t std_loc = MDCUDFSR_INVALID_LBN;          // stream directory entry
  uint32_t replace_std_loc = MDCUDFSR_INVALID_LBN;
  // 1: the written entry moves, in this pass, from efe_loc to
  // replace_efe_loc; the metadata file's remap of it is still to be made.
  // (`first_placement` below is the other case: an entry that had no place.)
  uint32_t remap_pending = 0;
  mdcudfsr_extent_list extents;
  mdcudfsr_aed_info* aed_info = nullptr;
  // Implementation-use bytes of the node's file identifier descriptor.
  struct {
    uint16_t l_iu = 0;
    uint8_t* imp_use = nullptr;  // owned, l_iu bytes
  } fid_imp_use;
  // Raw file identifier, kept when the name does not convert back unchanged.
  uint8_t* udf_name = nullptr;  // owned, udf_name_len bytes
  uint64_t udf_name_len = 0;
  int32_t ad_writable = 1;  // 0: the allocation descriptors must not be rewritten
  uint32_t nlink = 1;       // 1, plus one per subdirectory
  // Flush state of the entry and of a directory's contents.
  uint32_t write_lbn = MDCUDFSR_INVALID_LBN;
  uint32_t partial_flag = 0;     // an allocation pass gave the entry a new place
  // 1: the entry had no place before the pass and takes its first one, so
  // there is nothing to remap (remap_pending is not set); a failed pass
  // takes that place away again.
  uint32_t first_placement = 0;
  uint32_t flush_pending = 0;    // entry not yet written
  uint32_t flush_pending2 = 0;   // entry or contents not yet written
  uint32_t write_pattern = 0;
  uint32_t dir_start = MDCUDFSR_INVALID_LBN;
  uint32_t dir_prev_start = MDCUDFSR_INVALID_LBN;
};

struct mdcudfsr_udf_node_fields {
  uint32_t kind = MDCUDFSR_NODE_UDF;
  uint32_t status = MDCUDFSR_NODE_ACTIVE;
  char* vfs_name = nullptr;  // zero-terminated; owned by the node cache
  mdcudfsr_udf_data* udf_data = nullptr;
  char* symlink_target = nullptr;  // owned, zero-terminated
  // Children in ascending order of their entries' unique ids.
  mdcudfsr_udf_node_fields* parent = nullptr;
  mdcudfsr_udf_node_fields* uid_first = nullptr;
  mdcudfsr_udf_node_fields* uid_last = nullptr;
  mdcudfsr_udf_node_fields* uid_next = nullptr;
  mdcudfsr_udf_node_fields* uid_prev = nullptr;
  // The parity node of a file that owns a stream; its name is the stream's.
  mdcudfsr_udf_node_fields* parity_node = nullptr;
  std::vector<mdcudfsr_hash_entry> hash_ea_list;
};

// The node's name for log lines and copies ("" while it has none).
inline const char* mdcudfsr_node_name(const mdcudfsr_udf_node_fields* n) {
  return n && n->vfs_name ? n->vfs_name : "";
}
// The unique id a child is ordered by (0 without entry data).
inline uint64_t mdcudfsr_node_unique_id(const mdcudfsr_udf_node_fields* n) {
  return n->udf_data ? n->udf_data->efe.unique_id : 0;
}
inline uint8_t mdcudfsr_node_file_type(const mdcudfsr_udf_node_fields* n) {
  return n->udf_data ? n->udf_data->efe.icbtag.file_type : 0;
}
