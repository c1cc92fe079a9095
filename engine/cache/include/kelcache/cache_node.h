// The cache node: one per file, directory, parity stream, proxy, virtual
// object and shadow directory of a mounted volume. It builds on the UDF
// code's node fields (kind, status, name, entry data, symbolic-link target,
// parent, children by unique id, parity node, hash entries) and adds the
// indexes of a directory, the node lock and the state of opens and flushes.
#pragma once

#include "kelhost/kern_types.h"
#include "udf/udf_node.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// Attribute bits.
enum : uint32_t {
  MDCUDFSR_NODE_ATTR_LOCATION_ROOT = 0x10,
  MDCUDFSR_NODE_ATTR_LOCATION_MASK = 0xE0,
  MDCUDFSR_NODE_ATTR_HAS_VIRTUAL = 0x100,
  MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION = 0x10000,
  MDCUDFSR_NODE_ATTR_INVISIBLE = 0x20000,
};
// File characteristics and flags.
constexpr uint8_t UDF_FILE_CHAR_HIDDEN = 0x01;
constexpr uint8_t UDF_FILE_CHAR_DIR = 0x02;
constexpr uint32_t MDCUDFSR_FILE_FLAG_HIDDEN = 0x8000;

// Object ids of nodes that are not on-disc objects of their own.
constexpr uint64_t MDCUDFSR_OBJID_ROOT = 0x7FFFFFFD;
constexpr uint64_t MDCUDFSR_OBJID_SHADOW = 0x7FFFFFFB;
constexpr uint64_t MDCUDFSR_OBJID_STREAM_BASE = 0xE0000000;
constexpr uint32_t MDCUDFSR_OBJID_PROXY_BASE = 0xC0000000;

// Link of a node in a list: the neighbours (nullptr at the ends).
struct mdcudfsr_link {
  mdcudfsr_cache_node* next = nullptr;
  mdcudfsr_cache_node* prev = nullptr;
};
// Head of a list of nodes.
struct mdcudfsr_list {
  mdcudfsr_cache_node* first = nullptr;
  mdcudfsr_cache_node* last = nullptr;
};

// Virtual attributes of a node (allocated on demand).
struct mdcudfsr_vfam_data {
  void* link[2] = {};
  uint32_t words[5] = {};
  uint32_t perm = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
  int64_t file_size = 0;
  std::mutex mutex;
  std::condition_variable cond;
  uint32_t flag = 0;
  uint64_t times[8] = {};
  // Open VFAM handles by access slot (read, write, read and write) with
  // their reference counts; busy while one thread changes the table (under
  // mutex, announced on cond).
  uint64_t handle[3] = {};
  uint32_t handle_ref[3] = {};
  uint32_t busy = 0;
};

// A master's parity kept without a parity node.
struct mdcudfsr_parity_info {
  mdcudfsr_aed_info* aed_info = nullptr;
  mdcudfsr_extent_list extents;
  uint32_t cache_flags = 0;
  uint32_t efe_loc = 0;
  uint64_t size = 0;
  uint64_t unique_id = 0;
};

struct mdcudfsr_cache_node : mdcudfsr_udf_node_fields {
  mdcudfsr_link nlist;           // unique-id search path
  mdcudfsr_link alist;           // parent's avl_all_list
  mdcudfsr_link sibling;         // parent's children
  mdcudfsr_link name_nlist;      // name search path
  mdcudfsr_link inactive_entry;  // parent's inactive_list

  std::mutex lock_mutex;
  std::condition_variable lock_cond;
  std::mutex refresh_mutex;
  std::condition_variable refresh_cond;
  uint32_t refreshing = 0;
  int32_t lock_count = 0;
  volatile uint64_t lock_owner = 0;  // thread id, 0 when free

  mdcudfsr_mount* mdcudfsrmp = nullptr;
  vnode_t vp = nullptr;
  uint64_t objid = 0;
  mdcudfsr_cache_node* proxy = nullptr;
  mdcudfsr_cache_node* master = nullptr;
  mdcudfsr_cache_node* stream_owner = nullptr;
  uint32_t last_disc = 0;
  uint16_t disc_mask = 0;
  uint8_t vnode_checking = 0;
  uint8_t file_char = 0;
  uint32_t file_flags = 0;
  uint32_t attributes = 0;
  uint32_t cache_flags = 0;
  uint32_t cache_dirty = 0;
  uint64_t recorded_length = 0;
  uint32_t state_word = 0;
  int32_t metadata_check_mark = 0;
  volatile uint32_t open_count = 0;
  int32_t write_open = 0;
  int32_t multi_disc = 0;
  uint32_t close_mark = 0;
  int32_t open_mode = 0;
  int32_t open_state = 0;
  mdcudfsr_vfam_data* vfam_data = nullptr;
  uint8_t dir_dirty = 0;          // write activity: 1 a creation, 2 a removal or rename below
  int32_t time_adjust = 0;        // seconds added to the reported modify and change times (0 or 1)
  uint8_t dir_flush_state = 0;
  int32_t open_mark = 0;
  uint32_t reopen_mark = 0;
  int32_t metadata_check_mark2 = 0;
  uint64_t write_total = 0;
  uint32_t recover_start_blk = 0;
  uint32_t recover_blk_count = 0;

  // Place in the parent's unique-id tree; a directory's own tree.
  uint64_t uid_key = 0;
  mdcudfsr_cache_node* uid_root = nullptr;
  mdcudfsr_cache_node* uid_left = nullptr;
  mdcudfsr_cache_node* uid_right = nullptr;
  int32_t uid_height = 0;
  uint8_t uid_dir = 0;
  // Place in the parent's name tree; a directory's own tree.
  const char* name_key = nullptr;
  mdcudfsr_cache_node* name_root = nullptr;
  mdcudfsr_cache_node* name_left = nullptr;
  mdcudfsr_cache_node* name_right = nullptr;
  int32_t name_height = 0;
  uint8_t name_dir = 0;

  // Directory lists.
  mdcudfsr_list avl_all_list;   // unique-id tree members, ascending keys
  mdcudfsr_list children;       // name tree members, insertion order
  mdcudfsr_list inactive_list;  // inactive nodes taken out of the name tree

  void* write_list_entry = nullptr;
  mdcudfsr_parity_info* parity_info = nullptr;
};

// The UDF code's view of a node back to the cache node it is part of.
inline mdcudfsr_cache_node* mdcudfsr_cnp(mdcudfsr_udf_node_fields* n) {
  return static_cast<mdcudfsr_cache_node*>(n);
}
inline bool mdcudfsr_is_dir(const mdcudfsr_cache_node* n) { return n && (n->file_char & UDF_FILE_CHAR_DIR); }
inline bool mdcudfsr_is_inactive(const mdcudfsr_cache_node* n) { return n->status == MDCUDFSR_NODE_INACTIVE; }
inline mdcudfsr_cache_node* mdcudfsr_parent(const mdcudfsr_cache_node* n) {
  return n->parent ? mdcudfsr_cnp(n->parent) : nullptr;
}
