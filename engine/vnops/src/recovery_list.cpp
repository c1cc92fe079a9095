// Recovery-required files and salvage information for clients.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_recovery_list.h"

#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "fsctl_common.h"
#include "vnops_log.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using kelvnops::user_ptr;

constexpr std::uint32_t kSalvageHead = 24;
constexpr std::uint32_t kUniqueIdInEntry = 200;  // of an extended file entry

std::uint32_t u32_at(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint16_t u16_at(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
std::uint64_t u64_at(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// The node's path copied out: at most `size` bytes, the last one that fits a
// NUL when the path is longer.
int copy_path(mdcudfsr_cache_node* node, std::uint32_t path_size, mdcfs_file_name_query* r, const char* fail_line) {
  std::vector<char> path(path_size ? path_size : 1, 0);
  int err = mdcudfsr_cache_get_path(node, path.data(), static_cast<std::uint32_t>(path.size()));
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "cache_get_path error.err = %d\n", err);
    return err;
  }
  const std::uint32_t n = std::min(r->NameSize, path_size);
  if (n == 0) return 0;
  if (r->NameSize < path_size) path[n - 1] = '\0';
  err = copyout(path.data(), user_ptr(r->NameBuffer), n);
  if (err) VN_LOGK(KEL_LOG_ERR, fail_line, err);
  return err;
}

// Pre-order walk from the root over every directory's unique-id members.
mdcudfsr_cache_node* find_by_unique_id(mdcudfsr_cache_node* dir, std::uint64_t id, int depth = 0) {
  if (!dir || depth > 1024) return nullptr;
  if (mdcudfsr_node_unique_id(dir) == id) return dir;
  for (mdcudfsr_cache_node* c = dir->avl_all_list.first; c; c = c->alist.next)
    if (mdcudfsr_cache_node* n = find_by_unique_id(c, id, depth + 1)) return n;
  return nullptr;
}

// Length of the salvage record at `at` of a list of `total` bytes; 0 when
// it does not lie wholly inside the list.
std::uint32_t salvage_record_size(const std::uint8_t* list, std::uint32_t at, std::uint32_t total, std::uint32_t s) {
  if (at > total || total - at < kSalvageHead) return 0;
  const std::uint8_t* h = list + at;
  const std::uint64_t n1 = u16_at(h + 20), n2 = u16_at(h + 22);
  const std::uint64_t blocks = h[14] ? n1 + n2 + 5 : n1 + 3;
  const std::uint64_t size = kSalvageHead + std::uint64_t{s} * blocks;
  // The file's own entry (block 2) must be there to read its unique id.
  if (size > total - at || size < kSalvageHead + 2ull * s + kUniqueIdInEntry + 8) return 0;
  return static_cast<std::uint32_t>(size);
}

}  // namespace

int mdcudfsr_mdcfsctrl_get_recovery_required_file_info(mdcudfsr_mount* mnt, mdcfs_file_name_query* r) {
  VN_LOGK(KEL_LOG_INFO, "[MDCFSCTL_GET_RECOVERY_REQUIRED_FILE_INFO_BASE] start\n");
  if (!mnt || !r) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "mdcfs_rec_req_file_info");
    return KEL_EINVAL;
  }
  mdcudfsr_cache_node* node = nullptr;
  std::uint32_t count = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->cm_mutex);
    count = std::min<std::uint32_t>(mnt->recovery_count, 14);
    if (r->Index < count) node = mnt->recovery_nodes[r->Index];
  }
  if (count == 0 && r->Index == 0) {
    r->Count = 0, r->UniqueId = 0, r->NameSize = 0;
    return 0;
  }
  if (!node) {
    VN_LOGK(KEL_LOG_ERR,
            "Recovery required file does not exist or input list num is smaller than existed num. ListNum = %d, "
            "InputNum = %d\n",
            static_cast<int>(count), static_cast<int>(r->Index));
    return KEL_EINVAL;
  }
  r->Count = count;
  r->UniqueId = mdcudfsr_node_unique_id(node);
  const std::uint32_t size = mdcudfsr_cache_get_full_path_len(node);
  int err = 0;
  if (r->NameSize == 0)
    r->NameSize = size;
  else
    err = copy_path(node, size, r, "Path return error.err = %d\n");
  VN_LOGK(KEL_LOG_INFO, "get recovery_required_file_info total:%d index:%lld name:%s, name_size:%d\n",
          static_cast<int>(count), static_cast<long long>(r->Index), mdcudfsr_node_name(node), static_cast<int>(size));
  return err;
}

int mdcudfsr_mdcfsctrl_register_recovery_required_file(mdcudfsr_mount* mnt, const std::uint64_t* unique_id,
                                                       vfs_context_t ctx) {
  if (!mnt || !unique_id) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "unique_id");
    return KEL_EINVAL;
  }
  std::lock_guard<std::mutex> lk(mnt->cm_mutex);
  std::uint8_t record[MDCUDFSR_CM_RECORD_SIZE];
  if (mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 0, ctx, 0) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", 5);
    return KEL_EIO;
  }
  mdcudfsr_cache_node* node = find_by_unique_id(mnt->root_node, *unique_id);
  if (!node) {
    VN_LOGK(KEL_LOG_ERR, "Not in the ID List err:%d\n", 2);
    return KEL_ENOENT;
  }
  if (int err = mdcudfsr_add_recovery_req_file(mnt, node, record)) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  if (mdcudfsr_write_attribute(mnt, record, sizeof record, 1, ctx, 0) != 0) {
    VN_LOGK(KEL_LOG_ERR, "Write Attribute is failed err:%d\n", 5);
    return KEL_EIO;
  }
  return 0;
}

int mdcudfsr_mdcfsctrl_get_salvage_file_info_list(mdcudfsr_mount* mnt, mdcfs_salvage_file_info_list* r) {
  if (!mnt || !r) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "salvage_file_info_list");
    return KEL_EINVAL;
  }
  const auto* list = reinterpret_cast<const std::uint8_t*>(mnt->salvage_file_info_list);
  if (!list) {
    r->Count = 0, r->Size = 0;
    return 0;
  }
  const std::uint32_t total = std::max<std::uint32_t>(u32_at(list + 4), 8);
  const std::uint32_t size = r->Size;
  r->Count = u32_at(list);
  r->Size = total;
  if (size <= 8 || !r->Buffer) return 0;
  const std::uint32_t n = std::min(size - 8, total - 8);
  const int err = copyout(list + 8, user_ptr(r->Buffer), n);
  if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

int mdcudfsr_mdcfsctrl_get_salvage_filename(mdcudfsr_mount* mnt, mdcfs_file_name_query* r) {
  if (!mnt || !r) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "salvage_filename");
    return KEL_EINVAL;
  }
  const auto* list = reinterpret_cast<const std::uint8_t*>(mnt->salvage_file_info_list);
  if (!list) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->salvage_file_info_list");
    return KEL_EINVAL;
  }
  const std::uint32_t count = u32_at(list), total = u32_at(list + 4);
  if (r->Index >= count) {
    VN_LOGK(KEL_LOG_ERR, "FileInfoIndex is not exist (%d) \n", static_cast<int>(r->Index));
    return KEL_EINVAL;
  }
  const std::uint32_t s = mnt->logical_sector_size;
  std::uint32_t at = 8, size = 0;
  for (std::uint32_t k = 0; k <= r->Index; ++k, at += size) {
    size = salvage_record_size(list, at, total, s);
    if (size == 0) {
      VN_LOGK(KEL_LOG_ERR, "salvage record %d lies outside the list (%d bytes)\n", static_cast<int>(k),
              static_cast<int>(total));
      return KEL_EINVAL;
    }
  }
  const std::uint8_t* rec = list + at - size;
  const std::uint64_t parent_id = u64_at(rec + kSalvageHead + kUniqueIdInEntry);
  const std::uint64_t id = u64_at(rec + kSalvageHead + 2 * s + kUniqueIdInEntry);
  std::uint32_t path_size = 0;
  mdcudfsr_cache_node* node = nullptr;
  if (rec[15]) {
    VN_LOGK(KEL_LOG_WARN, "This file is Not Supported EFE\n");
  } else {
    mdcudfsr_cache_node* parent = find_by_unique_id(mnt->root_node, parent_id);
    if (!parent) {
      VN_LOGK(KEL_LOG_ERR, "parentDir is not exist.\n");
      return KEL_EINVAL;
    }
    node = mdcudfsr_cache_get_node_by_id(mnt, parent, static_cast<std::uint32_t>(id));
    if (!node || mdcudfsr_is_inactive(node)) {
      VN_LOGK(KEL_LOG_ERR, "cache node is not exitst \n");
      return KEL_EINVAL;
    }
    path_size = mdcudfsr_cache_get_full_path_len(node);
  }
  r->UniqueId = id;
  r->Count = count;
  const std::uint32_t asked = r->NameSize;
  int err = 0;
  if (node && asked) err = copy_path(node, path_size, r, "err=%d\n");
  r->NameSize = path_size;
  if (node) mdcudfsr_cache_unlock_node(node);
  return err;
}
