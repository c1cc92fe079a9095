// Name-space slots: rename, delete, create folder and list a folder.
#include "kelhost/kern_errno.h"
#include "slot_calls.h"

#include "kelcache/cache.h"
#include "kelcache/cache_node.h"

#include <cstring>
#include <vector>

namespace kelmain {
namespace {

constexpr const char* kRenameFn = "int Rename(const char*, const char*, const char*, const char*)";
constexpr const char* kRenameDirFn = "int RenameDir(const char*, const char*, const char*, const char*)";
constexpr const char* kReadDirFn = "int ReadDirectory(void*, long long unsigned int, const char*, pfnReadDirectoryCallback)";
constexpr std::size_t kListingBytes = 65536;
constexpr std::size_t kDirentHeader = 10;  // file id, record length, type, unused, name length

int rename_object(const char* function, const char* old_folder, const char* old_name, const char* new_folder,
                  const char* new_name) {
  vfs_context ctx = slot::caller_context();
  const std::string old_path = slot::join_path(old_folder, old_name);
  EntryPtr object = slot::resolve(old_path.c_str(), &ctx);
  if (!object) {
    SLOT_LOG(function, KEL_LOG_ERR, "get_entry %s FAILED", old_path.c_str());
    return KEL_ENOENT;
  }
  EntryPtr to_dir = slot::resolve(new_folder, &ctx);
  if (!to_dir) {
    SLOT_LOG(function, KEL_LOG_ERR, "get_entry %s FAILED", new_folder ? new_folder : "");
    return KEL_ENOENT;
  }
  vnode_t from_dir = slot::parent_vnode(object);
  if (from_dir == nullptr) return KEL_ENOENT;  // the object's folder left the tree
  slot::ComponentName from(old_folder, old_name), to(new_folder, new_name);
  vnode_t vp = object->vn.get();
  return slot::vn_rename(
      vnop_rename_args{nullptr, from_dir, vp, from.get(), to_dir->vn.get(), vp, to.get(), &ctx});
}

// Whether the removal took the object's node out. A removal may answer 0
// and leave the node as it was (a shadow node, a master not open for
// writing): its vnode then stays, as handles may still name it.
bool node_left(vnode_t vp) {
  auto* n = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp));
  if (n == nullptr) return true;
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  const bool left = mdcudfsr_is_inactive(n);
  mdcudfsr_cache_unlock_node(n);
  return left;
}

// The vnode of a file's parity stream, when its node has one.
vnode_t parity_vnode(vnode_t vp) {
  auto* n = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp));
  if (n == nullptr) return nullptr;
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_node* parity = n->parity_node ? mdcudfsr_cnp(n->parity_node) : nullptr;
  vnode_t pvp = parity ? parity->vp : nullptr;
  mdcudfsr_cache_unlock_node(n);
  return pvp;
}

// Removes a file or folder, then inactivates and reclaims its vnode when
// its node left. A removed file's parity stream leaves with it: its vnode
// no longer answers its path, which a new file of the same name gives to
// its own parity stream (the path tree places no second entry of a name,
// so the old one would answer that path with a node that is gone).
int delete_object(const char* folder, const char* name, bool directory) {
  vfs_context ctx = slot::caller_context();
  const std::string path = slot::join_path(folder, name);
  EntryPtr object = slot::resolve(path.c_str(), &ctx);
  if (!object) return KEL_ENOENT;
  vnode_t dvp = slot::parent_vnode(object);
  if (dvp == nullptr) return KEL_ENOENT;  // the object's folder left the tree
  vnode_t vp = object->vn.get();
  vnode_t pvp = directory ? nullptr : parity_vnode(vp);
  slot::ComponentName cn(folder, name);
  int err = directory ? slot::vn_rmdir(dvp, vp, cn.get(), &ctx) : slot::vn_remove(dvp, vp, cn.get(), 0, &ctx);
  if (err == 0 && pvp != nullptr && node_left(pvp)) vnode_recycle(pvp);
  if (err == 0 && !node_left(vp)) return 0;
  if (err == 0) err = slot::vn_inactive(vp, &ctx);
  if (err == 0) err = VNOP_RECLAIM(vp, &ctx);
  return err;
}

// Type of a listing entry: 1 folder, 2 regular file, else 0.
std::int32_t listing_type(std::uint8_t type) { return type == 4 ? 1 : type == 8 ? 2 : 0; }

struct Walk {
  void* context;
  std::uint64_t user;
  const char* path;
  pfnReadDirectoryCallback callback;
};

// Hands each of the count records within the bytes returned to the
// callback: 0 to go on, or the listing's result.
std::int64_t walk_records(const Walk& w, const std::uint8_t* buffer, std::size_t returned, int count) {
  std::size_t at = 0;
  for (int i = 0; i < count; ++i) {
    if (at + kDirentHeader > returned) return KEL_EIO;
    std::uint32_t id;
    std::uint16_t reclen, namelen;
    std::memcpy(&id, buffer + at, 4);
    std::memcpy(&reclen, buffer + at + 4, 2);
    std::memcpy(&namelen, buffer + at + 8, 2);
    const char* name = reinterpret_cast<const char*>(buffer + at + kDirentHeader);
    if (reclen < kDirentHeader + namelen || at + reclen > returned) {
      SLOT_LOG(kReadDirFn, KEL_LOG_ERR, "malformed entry at %zu: length %u, name length %u", at,
               static_cast<unsigned>(reclen), static_cast<unsigned>(namelen));
      return KEL_EIO;
    }
    SLOT_LOG(kReadDirFn, KEL_LOG_INFO, "readdir %d:[%.*s] len %d\n", i, static_cast<int>(namelen), name,
             static_cast<int>(namelen));
    if (namelen > 4095) return KEL_E2BIG;
    KELFS_OBJECT_INFO record{};
    record.ObjectID = id;
    record.Type = listing_type(buffer[at + 6]);
    std::memcpy(record.ObjectName, name, namelen);
    if (const std::int64_t r = w.callback(w.context, w.user, w.path, &record)) return r;
    at += reclen;
  }
  return 0;
}

}  // namespace

int Rename(const char* old_folder, const char* old_name, const char* new_folder, const char* new_name) {
  return rename_object(kRenameFn, old_folder, old_name, new_folder, new_name);
}

int RenameDir(const char* old_folder, const char* old_name, const char* new_folder, const char* new_name) {
  return rename_object(kRenameDirFn, old_folder, old_name, new_folder, new_name);
}

int DeleteFile(const char* folder, const char* name) { return delete_object(folder, name, false); }

int DeleteDirectory(const char* folder, const char* name) { return delete_object(folder, name, true); }

int CreateDirectory(const char* folder, const char* name, bool hidden) {
  vfs_context ctx = slot::caller_context();
  vnode_t vp = nullptr;
  if (const int err = slot::make_object(folder, name, true, &ctx, &vp)) return err;
  if (!hidden) return slot::vn_close(vp, 0, &ctx);
  if (const int err = slot::set_visibility(vp, false)) {
    slot::vn_close(vp, 0, &ctx);
    return err;
  }
  vnode_attr hide{};
  hide.va_active = VATTR_MODE | VATTR_FLAGS;
  hide.va_mode = 0x140;
  hide.va_flags = 0x20002;
  const int set = slot::vn_setattr(vp, &hide, &ctx);
  const int closed = slot::vn_close(vp, 0, &ctx);
  return set != 0 ? set : closed;
}

std::int64_t ReadDirectory(void* context, std::uint64_t user, const char* path, pfnReadDirectoryCallback callback) {
  vfs_context ctx = slot::caller_context();
  EntryPtr dir = slot::resolve(path, &ctx);
  if (!dir) return KEL_ENOENT;
  // Only a folder has entries: a file listed as empty would pass for one.
  if (!vnode_isdir(dir->vn.get())) return KEL_ENOTDIR;
  if (callback == nullptr) return KEL_EINVAL;
  std::vector<std::uint8_t> buffer(kListingBytes);
  const Walk walk{context, user, path, callback};
  off64_kel_t offset = 0;  // carried over between portions
  for (;;) {
    std::fill(buffer.begin(), buffer.end(), 0);
    uio_t uio = uio_create(1, offset, UIO_SYSSPACE, UIO_READ);
    if (uio == nullptr) return KEL_ENOMEM;
    uio_addiov(uio, reinterpret_cast<user_addr_t>(buffer.data()), buffer.size());
    int eof = 0, count = 0;
    const int err = slot::vn_readdir(dir->vn.get(), uio, VNODE_READDIR_EXTENDED, &eof, &count, &ctx);
    const std::int64_t resid = uio_resid(uio);
    offset = uio_offset(uio);
    uio_free(uio);
    if (err) return err;
    if (resid < 0 || resid > static_cast<std::int64_t>(kListingBytes)) return KEL_EIO;
    const std::size_t returned = kListingBytes - static_cast<std::size_t>(resid);
    if (const std::int64_t r = walk_records(walk, buffer.data(), returned, count)) return r;
    if (eof) return 0;
    if (count <= 0) {
      SLOT_LOG(kReadDirFn, KEL_LOG_ERR, "readdir returned no entry before the end of the folder");
      return KEL_EIO;
    }
  }
}

}  // namespace kelmain
