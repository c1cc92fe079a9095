// File hash values, identities and node lists.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_lists.h"

#include "fsctl_common.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_time.h"

#include <cstring>
#include <ctime>
#include <string>

using namespace kelvnops;

namespace {


bool hashable_type(const mdcudfsr_cache_node* node) {
  const std::uint8_t t = mdcudfsr_node_file_type(node);
  return t == UDF_FILE_TYPE_REGULAR || t == UDF_FILE_TYPE_249;
}

// The first check of add and remove: the node may be a hash target.
int check_hash_target(mdcudfsr_cache_node* node) {
  if (mdcudfsr_is_dir(node)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR )");
    return KEL_EISDIR;
  }
  if (!hashable_type(node)) {
    VN_LOGK(KEL_LOG_ERR, "invalid file type:%d[%s]\n", mdcudfsr_node_file_type(node), mdcudfsr_node_name(node));
    return KEL_EINVAL;
  }
  return 0;
}

// The lock of all nodes a whole-volume walk holds on a writable volume,
// released on every exit.
class AllNodesLock {
 public:
  explicit AllNodesLock(mdcudfsr_mount* mnt) : mnt_(mnt) {}
  ~AllNodesLock() {
    if (held_) mdcudfsr_cache_unlock_all_nodes(mnt_);
  }
  int take() {
    if (vfs_flags(mnt_->mp) & MNT_RDONLY) return 0;
    const int status = mdcudfsr_cache_lock_all_nodes(mnt_, 500);
    if (status) {
      VN_LOGK(KEL_LOG_ERR, "mdcudfsr_cache_lock_all_nodes() seems to be timed out.status=%d\n", status);
      return KEL_EBUSY;
    }
    held_ = true;
    return 0;
  }

 private:
  mdcudfsr_mount* mnt_;
  bool held_ = false;
};

// The node a list record names: the path copied with its given length and
// terminated here, one trailing '/' dropped. Comes back unlocked.
int node_of_path(mdcudfsr_mount* mnt, std::uint32_t length, std::uint64_t address, vfs_context_t ctx,
                 mdcudfsr_cache_node** out) {
  *out = nullptr;
  if (length == 0 || !address) {
    VN_LOGK(KEL_LOG_ERR, "path length=%u\n", length);
    return KEL_EINVAL;
  }
  if (length > MDCFS_LIST_PATH_MAX) {
    VN_LOGK(KEL_LOG_ERR, "path length=%u\n", length);
    return KEL_ENAMELIMIT;
  }
  std::string path(length, '\0');
  if (int err = copyin(user_ptr(address), path.data(), length)) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  path.resize(std::strlen(path.c_str()));
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  mdcudfsr_cache_node* node = mdcudfsr_cache_get_node_by_path(mnt, path.c_str(), ctx);
  if (!node) {
    VN_LOGK(KEL_LOG_ERR, "Get cache node error. Input path = [%s]\n", path.c_str());
    return KEL_EINVAL;
  }
  mdcudfsr_cache_unlock_node(node);
  *out = node;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------- hashes

int mdcudfsr_mdcfsctrl_add_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                          MDCFS_ADD_FILE_HASH_INFO* rec, vfs_context_t ctx) {
  if (!mnt || !node || !node->udf_data) return KEL_EINVAL;
  if (!rec) return VN_LOGK(KEL_LOG_ERR, "%s\n", "info"), 22;
  if (!rec->HashValue) return VN_LOGK(KEL_LOG_ERR, "%s\n", "info->HashValue"), 22;
  if (int err = check_hash_target(node)) return err;
  {
    NodeLockGuard lock(node);
    if (!node->hash_ea_list.empty()) {
      VN_LOGK(KEL_LOG_ERR, "hash value was set already.[%s]\n", mdcudfsr_node_name(node));
      return KEL_EINVAL;
    }
    const std::uint32_t need = ((std::uint32_t{rec->HashLength} + 59) & ~3u) + 256;
    if (need > mnt->logical_block_size) {
      VN_LOGK(KEL_LOG_ERR, "hash length is too big:(length=%d)[%s]\n", rec->HashLength, mdcudfsr_node_name(node));
      return KEL_EINVAL;
    }
    mdcudfsr_hash_entry entry{rec->HashType, std::vector<std::uint8_t>(rec->HashLength)};
    if (int err = copyin(user_ptr(rec->HashValue), entry.hash.data(), rec->HashLength)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
    node->hash_ea_list.push_back(std::move(entry));
    node->cache_dirty = 1;
  }
  return open_session_for_change(mnt, ctx);
}

int mdcudfsr_mdcfsctrl_remove_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint16_t* index,
                                             vfs_context_t ctx) {
  if (!mnt || !node || !node->udf_data) return KEL_EINVAL;
  if (!index) return VN_LOGK(KEL_LOG_ERR, "%s\n", "target_index"), 22;
  if (int err = check_hash_target(node)) return err;
  {
    NodeLockGuard lock(node);
    if (*index >= node->hash_ea_list.size()) {
      VN_LOGK(KEL_LOG_ERR, "invalid hash id:%d[%s]\n", *index, mdcudfsr_node_name(node));
      return KEL_EINVAL;
    }
    node->hash_ea_list.erase(node->hash_ea_list.begin() + *index);
    node->cache_dirty = 1;
  }
  return open_session_for_change(mnt, ctx);
}

namespace {

// One entry at the record's write position, or only counted when it does not fit.
int put_hash_entry(MDCFS_HASH_LIST* rec, std::uint64_t uid, std::uint16_t type, const std::vector<std::uint8_t>& hash,
                   int* fits) {
  const std::uint32_t size = (static_cast<std::uint32_t>(hash.size()) + 19) & ~3u;
  if (std::uint64_t{rec->NeededBytes} + size > rec->BufferSize) {
    *fits = 0;
  } else {
    std::vector<std::uint8_t> e(size, 0);
    MDCFS_HASH_ENTRY head{uid, type, static_cast<std::uint16_t>(hash.size()), 0};
    std::memcpy(e.data(), &head, sizeof head);
    if (!hash.empty()) std::memcpy(e.data() + sizeof head, hash.data(), hash.size());
    if (int err = copyout(e.data(), static_cast<std::uint8_t*>(user_ptr(rec->Buffer)) + rec->NeededBytes, size)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
    ++rec->CopiedCount;
  }
  ++rec->FoundCount;
  rec->NeededBytes += size;
  return 0;
}

}  // namespace

int mdcudfsr_get_file_hash_info(mdcudfsr_mount*, mdcudfsr_cache_node* node, MDCFS_HASH_LIST* rec, int* fits) {
  const std::uint64_t uid = mdcudfsr_node_unique_id(node);
  if (node->hash_ea_list.empty()) return put_hash_entry(rec, uid, 0, {}, fits);
  for (const mdcudfsr_hash_entry& h : node->hash_ea_list)
    if (int err = put_hash_entry(rec, uid, h.kind, h.hash, fits)) return err;
  return 0;
}

int mdcudfsr_mdcfsctrl_get_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_HASH_LIST* rec,
                                          vfs_context_t) {
  if (!mnt || !node || !rec) return KEL_EINVAL;
  rec->FoundCount = rec->NeededBytes = rec->CopiedCount = 0;
  if (!hashable_type(node)) {
    VN_LOGK(KEL_LOG_ERR, "invalid file type:%d[%s]\n", mdcudfsr_node_file_type(node), mdcudfsr_node_name(node));
    return KEL_EINVAL;
  }
  int fits = 1;
  return mdcudfsr_get_file_hash_info(mnt, node, rec, &fits);
}

int mdcudfsr_mdcfsctrl_get_hash_list(mdcudfsr_mount* mnt, MDCFS_HASH_LIST* rec, vfs_context_t ctx) {
  if (!mnt || !rec) return KEL_EINVAL;
  if (rec->SearchScope > 2) {
    VN_LOGK(KEL_LOG_ERR, "invalid search scope=[%d]\n", rec->SearchScope);
    return KEL_EINVAL;
  }
  AllNodesLock all(mnt);
  if (rec->SearchScope == 2)
    if (int err = all.take()) return err;
  rec->FoundCount = rec->NeededBytes = rec->CopiedCount = 0;
  mdcudfsr_cache_node* top = nullptr;
  if (int err = node_of_path(mnt, rec->PathLength, rec->Path, ctx, &top)) return err;
  const bool dir = mdcudfsr_is_dir(top);
  if (rec->SearchScope == 0 && dir) {
    VN_LOGK(KEL_LOG_ERR, "Search scope is file. but path is directory. Input path = [%s]\n", mdcudfsr_node_name(top));
    return KEL_EINVAL;
  }
  if (rec->SearchScope != 0 && !dir) {
    VN_LOGK(KEL_LOG_ERR, "Search scope is not file. but path is file. Input path = [%s]\n", mdcudfsr_node_name(top));
    return KEL_EINVAL;
  }
  int fits = 1;
  for (mdcudfsr_cache_node* n = top; n;
       n = mdcudfsr_cache_get_next_node(mnt, n, top, rec->SearchScope == 2 || n == top)) {
    if (int err = mdcudfsr_get_file_hash_info(mnt, n, rec, &fits)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
  }
  return 0;
}

// ---------------------------------------------------------------- node lists

namespace {

std::uint32_t node_attributes(const mdcudfsr_cache_node* n) {
  std::uint32_t a = 0;
  const std::uint32_t perm = n->udf_data ? n->udf_data->efe.perm : 0;
  if (mdcudfsr_is_dir(n)) a |= MDCFS_NODE_ATTR_DIRECTORY;
  if ((perm & 0x6B5A) != 0x6B5A || (n->file_flags & 0x20002)) a |= MDCFS_NODE_ATTR_READONLY;
  if (perm & 0x421) a |= MDCFS_NODE_ATTR_EXECUTE;
  if (mdcudfsr_node_file_type(n) == UDF_FILE_TYPE_SYMLINK) a |= MDCFS_NODE_ATTR_SYMLINK;
  return a;
}

void put_time(const timestamp& t, std::uint64_t* seconds, std::uint64_t* micro) {
  struct timespec ts{};
  mdcudfsr_udftime2timespec(&t, &ts);
  *seconds = static_cast<std::uint64_t>(ts.tv_sec);
  *micro = static_cast<std::uint64_t>(ts.tv_nsec / 1000);
}

template <class Entry>
void fill_common(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n, Entry* e) {
  std::memset(e, 0, sizeof *e);
  e->UniqueId = mdcudfsr_node_unique_id(n);
  if (mdcudfsr_cache_node* p = mdcudfsr_parent(n); p && p->udf_data) e->ParentUniqueId = mdcudfsr_node_unique_id(p);
  if (!mdcudfsr_is_dir(n)) e->FileSize = mdcudfsr_cache_get_file_size(n);
  e->Attributes = node_attributes(n);
  const char* name = n == mnt->root_node ? "/" : mdcudfsr_node_name(n);
  std::strncpy(e->Name, name, MDCFS_NODE_NAME_SIZE - 1);
}

}  // namespace

int mdcudfsr_get_file_node_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_NODE_ENTRY* entry,
                                MDCFS_NODE_ENTRY_LONG* long_entry) {
  if (!mnt || !node) return KEL_EINVAL;
  if (entry) fill_common(mnt, node, entry);
  if (!long_entry) return 0;
  fill_common(mnt, node, long_entry);
  long_entry->ZoneMap = node->disc_mask;
  if (node->udf_data) {
    put_time(node->udf_data->efe.ctime, &long_entry->CreationSeconds, &long_entry->CreationMicroseconds);
    put_time(node->udf_data->efe.mtime, &long_entry->ModificationSeconds, &long_entry->ModificationMicroseconds);
  }
  return 0;
}

namespace {

// Entry i of the caller's buffer.
int put_node_entry(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n, const MDCFS_NODE_LIST* rec, int mode,
                   std::uint32_t i) {
  auto* at = static_cast<std::uint8_t*>(user_ptr(rec->Buffer));
  if (mode == 0) {
    MDCFS_NODE_ENTRY e;
    mdcudfsr_get_file_node_info(mnt, n, &e, nullptr);
    return copyout(&e, at + std::uint64_t{i} * sizeof e, sizeof e);
  }
  MDCFS_NODE_ENTRY_LONG e;
  mdcudfsr_get_file_node_info(mnt, n, nullptr, &e);
  return copyout(&e, at + std::uint64_t{i} * sizeof e, sizeof e);
}

int walk_node_list(mdcudfsr_mount* mnt, mdcudfsr_cache_node* top, MDCFS_NODE_LIST* rec, int mode) {
  const std::uint32_t size = mode == 0 ? sizeof(MDCFS_NODE_ENTRY) : sizeof(MDCFS_NODE_ENTRY_LONG);
  const std::uint32_t capacity = mdcudfsr_is_dir(top) ? rec->BufferSize / size : (rec->BufferSize >= size ? 1 : 0);
  std::uint32_t i = 0;
  for (mdcudfsr_cache_node* n = top; n && i < capacity; n = mdcudfsr_cache_get_next_node(mnt, n, top, mode == 0 || n == top)) {
    if (int err = put_node_entry(mnt, n, rec, mode, i)) {
      VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      rec->WrittenCount = i;
      return err;
    }
    ++i;
    if (!mdcudfsr_is_dir(top)) break;
  }
  rec->WrittenCount = i;
  return 0;
}

}  // namespace

int mdcudfsr_get_file_node_list(mdcudfsr_mount* mnt, MDCFS_NODE_LIST* rec, int mode, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  if (!rec) return VN_LOGK(KEL_LOG_ERR, "%s\n", "node_list"), 22;
  AllNodesLock all(mnt);
  if (mode == 0) {
    if (int err = all.take()) return err;
    std::uint32_t files = 0, dirs = 0;
    mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
    rec->NodeCount = files + dirs;
    if (!rec->BufferSize) return 0;
  }
  mdcudfsr_cache_node* top = nullptr;
  if (int err = node_of_path(mnt, rec->PathLength, rec->Path, ctx, &top)) return err;
  if (mode == 0) return walk_node_list(mnt, top, rec, mode);
  NodeLockGuard lock(top);
  rec->NodeCount = static_cast<std::uint32_t>(mdcudfsr_cache_nchildren(top) + 1);
  if (!rec->BufferSize) return 0;
  return walk_node_list(mnt, top, rec, mode);
}

int mdcudfsr_mdcfsctrl_get_file_node_list(mdcudfsr_mount* mnt, MDCFS_NODE_LIST* rec, vfs_context_t ctx) {
  return mdcudfsr_get_file_node_list(mnt, rec, 0, ctx);
}

int mdcudfsr_mdcfsctrl_get_child_node_list(mdcudfsr_mount* mnt, MDCFS_NODE_LIST* rec, vfs_context_t ctx) {
  return mdcudfsr_get_file_node_list(mnt, rec, 1, ctx);
}

// ---------------------------------------------------------------- identities

int mdcudfsr_mdcfsctrl_get_file_count(mdcudfsr_mount* mnt, MDCFS_FILE_COUNT* rec, vfs_context_t) {
  if (!mnt || !rec) return KEL_EINVAL;
  std::uint32_t files = 0, dirs = 0;
  const int err = mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  rec->NumberOfFiles = files;
  rec->NumberOfDirectories = dirs;
  return err;
}

int mdcudfsr_mdcfsctrl_get_unique_id(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint64_t* id,
                                     vfs_context_t) {
  if (!mnt || !node || !id) return KEL_EINVAL;
  if (node->udf_data) *id = node->udf_data->efe.unique_id;
  return 0;
}

int mdcudfsr_mdcfsctrl_get_master_file_index(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint64_t* id,
                                             vfs_context_t) {
  if (!mnt || !node || !id) return KEL_EINVAL;
  if (node->kind != MDCUDFSR_NODE_PROXY) {
    VN_LOGK(KEL_LOG_ERR, " invalid node type:%d[%s]\n", static_cast<int>(node->kind), mdcudfsr_node_name(node));
    return KEL_EINVAL;
  }
  if (!node->master) return VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp->master"), 22;
  *id = mdcudfsr_node_unique_id(node->stream_owner ? node->stream_owner : node->master);
  return 0;
}

int mdcudfsr_mdcfsctrl_get_last_file_index(mdcudfsr_mount* mnt, std::uint64_t* id, vfs_context_t) {
  if (!mnt || !id) return KEL_EINVAL;
  *id = mnt->next_unique_id - 1;
  return 0;
}
