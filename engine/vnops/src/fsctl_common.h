// Shared pieces of the file-system control handlers.
#pragma once

#include "kel/mdcfs.h"
#include "kelcache/cache_node.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern_errno.h"
#include "kelhost/kern_types.h"
#include "vnops_log.h"

#include <cstdint>

namespace kelvnops {

inline std::uint32_t tid32() { return static_cast<std::uint32_t>(getThreadIdGnrc()); }

// A caller's address carried in a 64-bit record field.
inline void* user_ptr(std::uint64_t address) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)); }

// Refuses a request whose named part is missing or wrong: logged, 22.
inline int refuse(const char* text) {
  VN_LOGK(KEL_LOG_ERR, "%s\n", text);
  return KEL_EINVAL;
}

// Node kind 1 (UDF file) or 2 (proxy) with its entry data, else 22.
inline int check_kind_file_or_proxy(mdcudfsr_cache_node* node) {
  if (!node) return KEL_EINVAL;
  if ((node->kind != MDCUDFSR_NODE_UDF && node->kind != MDCUDFSR_NODE_PROXY) || !node->udf_data) {
    VN_LOGK(KEL_LOG_ERR, " invalid node type:%d[%s]\n", static_cast<int>(node->kind), mdcudfsr_node_name(node));
    return KEL_EINVAL;
  }
  return 0;
}

// The integrity session opened for a change of the volume, with both
// volume clocks; 0 or the session's error.
int open_session_for_change(mdcudfsr_mount* mnt, vfs_context_t ctx);

// The extents as space entries {partition reference - 1, block, blocks}:
// out[0..count) filled, *extents counts them all, *total (may be null) sums
// their lengths. 22 for a short extent before the last or a block that maps
// to no sector.
int collect_space_entries(mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, MDCFS_SPACE_ENTRY* out,
                          std::uint32_t count, std::uint32_t* extents, std::uint64_t* total);

// Releases a node lock taken by a handler on every exit.
class NodeLockGuard {
 public:
  explicit NodeLockGuard(mdcudfsr_cache_node* node);
  ~NodeLockGuard();
  NodeLockGuard(const NodeLockGuard&) = delete;
  NodeLockGuard& operator=(const NodeLockGuard&) = delete;

 private:
  mdcudfsr_cache_node* node_;
};

}  // namespace kelvnops
