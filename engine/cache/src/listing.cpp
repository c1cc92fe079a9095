// Readdir over a directory's children, and the refresh and invalidation of
// virtual nodes' attributes.
#include "cache_internal.h"
#include "cache_neighbours.h"

#include "kelagent/mdc_channel.h"
#include "kelcache/lookup.h"
#include "kelhost/kern_errno.h"

#include <cstring>

using namespace kelcache;

namespace {

constexpr uint8_t kTypeDir = 4, kTypeLink = 10, kTypeOther = 8;
constexpr uint32_t kNameMax = 1023;

// One readdir record; 0, 105 (no room) or the copy error.
int put_entry(uio_t uio, uint64_t objid, uint8_t type, const char* name) {
  const uint32_t n = static_cast<uint32_t>(strnlen(name, kNameMax));
  const uint16_t reclen = static_cast<uint16_t>((n / 4) * 4 + 15);
  uint8_t rec[(kNameMax / 4) * 4 + 15] = {};
  const uint32_t fileno = static_cast<uint32_t>(objid);
  const uint16_t namlen = static_cast<uint16_t>(n);
  std::memcpy(rec, &fileno, 4);
  std::memcpy(rec + 4, &reclen, 2);
  rec[6] = type;
  rec[7] = 0;
  std::memcpy(rec + 8, &namlen, 2);
  std::memcpy(rec + 10, name, n);
  return uio_move_checked(rec, reclen, uio);
}

uint8_t type_of(const mdcudfsr_cache_node* n) {
  if (mdcudfsr_is_dir(n)) return kTypeDir;
  return n->symlink_target ? kTypeLink : kTypeOther;
}

// The children from the cursor on. 0, 115, 22 or the copy error.
int list_children(mdcudfsr_cache_node* dir, uio_t uio, int* count, vfs_context_t ctx, int64_t* cursor) {
  mdcudfsr_mount* m = dir->mdcudfsrmp;
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d numdirent=%d (expected 2)\n", volume_name(m), tid32(), __func__, __LINE__,
              *count);
  mdcudfsr_cache_node* c = mdcudfsr_avl_search(dir->uid_root, static_cast<uint64_t>(*cursor), 1, nullptr);
  // The first list element of that key (the tree holds one of each key).
  while (c && c->alist.prev && c->alist.prev->uid_key == c->uid_key) c = c->alist.prev;
  const kel_pid_t pid = vfs_context_pid(ctx);
  mdcudfsr_cache_node* last = nullptr;
  for (; c; c = c->alist.next) {
    last = c;
    if (mdcudfsr_is_inactive(c)) continue;
    // A file's stream (its parity) is no entry of the folder.
    if (c->stream_owner) continue;
    if ((c->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE) && !mdcudfsr_is_privileged_process(m, pid)) continue;
    if (!c->vfs_name || !c->vfs_name[0]) {
      CACHE_LOG(ERR, "uninitialised vfs_name (parent=%s child=%p)\n", name_of(dir), static_cast<void*>(c));
      return KEL_EINVAL;
    }
    const int err = put_entry(uio, c->objid, type_of(c), c->vfs_name);
    if (err == KEL_ENOBUFS) {
      *cursor = static_cast<int64_t>(c->uid_key);
      return KEL_EINPROGRESS;
    }
    if (err) {
      CACHE_LOG(ERR, "err=%d\n", err);
      return err;
    }
    ++*count;
  }
  if (last) *cursor = static_cast<int64_t>(last->uid_key + 1);
  return 0;
}

}  // namespace

int uio_move_checked(void* buffer, int length, uio_t uio) {
  if (uio_resid(uio) < length) return KEL_ENOBUFS;
  return uiomove(buffer, length, uio);
}

int mdcudfsr_cache_enumerate_children(mdcudfsr_cache_node* dir, uio_t uio, int* count, vfs_context_t ctx) {
  if (!dir || !dir->mdcudfsrmp) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  *count = 0;
  int64_t cursor = uio_offset(uio);
  int err = 0;
  if (cursor == 0) {
    err = put_entry(uio, dir->objid, kTypeDir, ".");
    if (!err) {
      ++*count;
      cursor = 1;
    }
  }
  if (!err && cursor == 1) {
    const mdcudfsr_cache_node* parent = mdcudfsr_parent(dir);
    err = put_entry(uio, parent ? parent->objid : dir->objid, kTypeDir, "..");
    if (!err) {
      ++*count;
      cursor = dir->avl_all_list.first ? static_cast<int64_t>(dir->avl_all_list.first->uid_key) : 2;
    }
  }
  if (err == KEL_ENOBUFS) err = KEL_EINPROGRESS;
  if (!err && cursor < 2) {
    CACHE_LOG(ERR, "Unknown error. uio_off < 2. uio_off=%d\n", static_cast<int>(cursor));
    err = KEL_EINVAL;
  }
  if (!err) err = list_children(dir, uio, count, ctx, &cursor);
  uio_setoffset(uio, cursor);
  CACHE_LOG(INFO, "err=%d numdirent=%d", err, *count);
  return err;
}

// ---------------------------------------------------------------- virtual nodes

namespace {

bool skips_refresh(mdcudfsr_mount* m, kel_pid_t pid) {
  if (pid == -1) return true;
  if (m->vfamdev && mdcudfsr_vfamdev_get_agent_pid(m->vfamdev) == pid) return true;
  return mdcudfsr_process_can_read_udf(m, pid) && m->virtual_refresh_mode == 0;
}

void take_attrs(mdcudfsr_cache_node* n, const vfamstat& st) {
  mdcudfsr_vfam_data* v = n->vfam_data;
  if ((st.mode & 0170000) == 0040000) n->file_char |= UDF_FILE_CHAR_DIR;
  else n->file_char &= static_cast<uint8_t>(~UDF_FILE_CHAR_DIR);
  n->file_flags = st.flags;
  n->recorded_length = st.size;
  n->objid = st.fileid;
  v->perm = st.mode;
  v->uid = st.uid;
  v->gid = st.gid;
  v->file_size = static_cast<int64_t>(st.size);
  const int64_t times[8] = {st.atime_sec, st.atime_nsec, st.crtime_sec, st.crtime_nsec,
                            st.mtime_sec, st.mtime_nsec, st.ctime_sec, st.ctime_nsec};
  std::memcpy(v->times, times, sizeof v->times);
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d objid=%llu perm=0x%x stat.mode=0x%x\n", volume_name(n->mdcudfsrmp), tid32(),
              __func__, __LINE__, static_cast<unsigned long long>(n->objid), v->perm, st.mode);
}

// Asks the VFAM user agent to refresh the node. The result of the refresh.
int ask_agent(mdcudfsr_cache_node* n, kel_pid_t pid) {
  mdcudfsr_vfam_data* v = n->vfam_data;
  if (v->words[3] || v->words[4]) return 0;
  if (mdcudfsr_user_layer_block(n->mdcudfsrmp, pid)) return KEL_EINVAL;
  vfamstat st{};
  int err = 11;
  for (int i = 0; i < 10 && err == 11; ++i) err = mdcudfsr_vfam_get_file_attr(n, &st);
  if (err == 0 || err == KEL_EINPROGRESS) {
    take_attrs(n, st);
    if (err == 0) n->cache_flags &= ~0x30000u;
    return 0;
  }
  if (err == KEL_ENOENT) {
    mdcudfsr_cache_inactivate_node(n, 0);
    return 0;
  }
  CACHE_LOG(ERR, "mdcudfsr_vfam_get_file_attr err=%d\n", err);
  return err;
}

}  // namespace

int mdcudfsr_cache_refresh_virtual_node(mdcudfsr_cache_node* n, vfs_context_t ctx) {
  CACHE_LOG(INFO, "node=%p name=%s", static_cast<void*>(n), name_of(n));
  mdcudfsr_mount* m = n->mdcudfsrmp;
  if (!n->vfam_data) {
    CACHE_LOG(ERR, "mdcudfsrcnp->vfam_data");
    return KEL_EINVAL;
  }
  if (!m) {
    CACHE_LOG(ERR, "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (!m->vfamdev || !mdcudfsr_vfamdev_is_opened(m->vfamdev)) {
    CACHE_LOG(ERR, "mdcudfsr_vfamdev_is_opened( mdcudfsrmp->vfamdev )");
    return KEL_ENXIO;
  }
  const kel_pid_t pid = vfs_context_pid(ctx);
  if (skips_refresh(m, pid)) return 0;
  mdcudfsr_cache_unlock_node(n);
  std::unique_lock<std::mutex> lk(n->refresh_mutex);
  n->refresh_cond.wait(lk, [n] { return n->refreshing == 0; });
  n->refreshing = 1;
  lk.unlock();
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  const int err = ask_agent(n, pid);
  lk.lock();
  n->refreshing = 0;
  n->refresh_cond.notify_all();
  lk.unlock();
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d @exit: err=%d\n", volume_name(m), tid32(), __func__, __LINE__, err);
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_cache_invalidate_cache(mdcudfsr_cache_node* n, int recursive) {
  if (!(n->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL)) {
    CACHE_LOG(ERR, "mdcudfsrcnp->attributes & ( MDCUDFSR_NODE_ATTR_HAS_VIRTUAL )");
    return 0;
  }
  mdcudfsr_mount* m = n->mdcudfsrmp;
  if (!m) return KEL_EINVAL;
  const bool dir = mdcudfsr_is_dir(n);
  n->cache_flags |= (dir && !recursive) ? 0x10000u : 0x30000u;
  if (!(m->mount_ext_flags & 0x8) && n->vp) {
    CACHE_TRACE(3, 3,
                "[%s](tid=%08x) %s:%d unexpected use_cluster_io, expected direct io for vfam (mount_ext_flags=0x%08x)\n",
                volume_name(m), tid32(), __func__, __LINE__, m->mount_ext_flags);
    mdcudfsr_cache_unlock_node(n);
    off64_kel_t resid = 0;
    ubc_msync(n->vp, 0, ubc_getsize(n->vp), &resid, 0);
    mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  }
  if (!recursive || !dir) return 0;
  for (mdcudfsr_cache_node* c = n->children.first; c; c = c->sibling.next) {
    mdcudfsr_cache_lock_node(c, MDCUDFSR_WAIT_FOREVER);
    if (c->attributes & MDCUDFSR_NODE_ATTR_HAS_VIRTUAL) mdcudfsr_cache_invalidate_cache(c, 1);
    mdcudfsr_cache_unlock_node(c);
  }
  return 0;
}
