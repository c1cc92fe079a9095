// Moving a node the caller holds into a directory given by its path.
#include "kelcache/cache.h"
#include "kelcache/cache_flush.h"
#include "kelcache/lookup.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"
#include "namespace_common.h"
#include "vnops_log.h"

#include <cstring>
#include <string>

using namespace vnops_ns;

namespace {

constexpr std::size_t kPathBuffer = 975;

// One move in progress.
struct Mv {
  mdcudfsr_mount* mnt;
  mdcudfsr_cache_node* node;
  vfs_context_t ctx;
  vnode_t fvp = nullptr;
  vnode_t fdvp = nullptr;
  vnode_t tdvp = nullptr;
  mdcudfsr_cache_node* from = nullptr;  // locked
  mdcudfsr_cache_node* to = nullptr;    // locked
  mdcudfsr_cache_node* existing = nullptr;
  bool node_locked = false;  // with its children
  std::string path{};        // the converted target path
  char* name = nullptr;
  std::size_t len = 0;
};

// Every "/" as it is, every component between them normalised.
int convert_path(const char* raw, std::string* out) {
  const std::size_t raw_len = std::strlen(raw);
  if (raw_len > kPathBuffer) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "((long)raw_len>=cnp->cn_namelen)");
    return KEL_ENAMELIMIT;
  }
  out->clear();
  std::size_t at = 0;
  while (at < raw_len) {
    if (raw[at] == '/') {
      out->push_back('/');
      ++at;
      continue;
    }
    const std::size_t end = std::min(raw_len, std::strcspn(raw + at, "/") + at);
    if (out->size() >= kPathBuffer) return KEL_ENAMELIMIT;
    std::uint8_t buf[kPathBuffer + 1];
    std::size_t n = 0;
    const std::size_t room = kPathBuffer + 1 - out->size();  // the rest of the 975-byte buffer
    const int err = utf8_normalizestr(reinterpret_cast<const std::uint8_t*>(raw + at), end - at, buf, &n, room, 1);
    if (err) return err;
    out->append(reinterpret_cast<char*>(buf), n);
    at = end;
  }
  return 0;
}

// The node's and the source parent's vnodes, the source parent
// locked and the node locked with its children.
int hold_source(Mv& m) {
  int err = mdcudfsr_cache_check_vnode(m.node, 0, &m.fvp);
  if (err) return err;
  mdcudfsr_cache_unlock_node(m.node);
  mdcudfsr_cache_node* parent = mdcudfsr_parent(m.node);
  err = mdcudfsr_cache_check_vnode(parent, 1, &m.fdvp);
  if (!err && m.fdvp) m.from = mdcudfsr_cache_get_real_parent(m.fdvp);
  mdcudfsr_cache_lock_node_recursive(m.node, MDCUDFSR_WAIT_FOREVER);
  m.node_locked = true;
  if (err) return err;
  if (!m.fdvp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "fdvp");
    return KEL_ENOENT;
  }
  if (!m.from) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent_from");
    return KEL_ENOENT;
  }
  return 0;
}

// The target directory and the full new path.
int find_target(Mv& m, const char* to_path, const char* new_name) {
  int err = convert_path(to_path, &m.path);
  if (err) return err;
  m.to = mdcudfsr_cache_get_node_by_path(m.mnt, m.path.empty() ? "/" : m.path.c_str(), m.ctx);
  if (!m.to) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent_to");
    return KEL_ENOENT;
  }
  err = mdcudfsr_cache_check_vnode(m.to, 0, &m.tdvp);
  if (err) return err;
  if (!m.tdvp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "tdvp");
    return KEL_ENOENT;
  }
  err = mdcudfsr_convert_filename(new_name, std::strlen(new_name), &m.name, &m.len);
  if (err) return err;
  if (m.path.empty() || m.path.back() != '/') m.path += '/';
  m.path += m.name;
  return m.path.size() < kPathBuffer - 1 ? 0 : KEL_ENAMELIMIT;
}

// An object already at the new path is removed first.
int replace_existing(Mv& m) {
  m.existing = mdcudfsr_cache_get_node_by_path(m.mnt, m.path.c_str(), m.ctx);
  if (!m.existing) return 0;
  vnode_t tvp = nullptr;
  const int err = mdcudfsr_cache_check_vnode(m.existing, 0, &tvp);
  if (err) return err;
  if (!tvp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "tvp");
    return KEL_ENOENT;
  }
  if (m.fdvp == m.tdvp && m.fvp == tvp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "(fdvp != tdvp) || (fvp != tvp)");
    return KEL_ENOENT;
  }
  componentname cn{};
  cn.cn_nameptr = m.name;
  cn.cn_namelen = static_cast<int>(m.len);
  int r;
  if (vnode_isdir(tvp)) {
    vnop_rmdir_args d{nullptr, m.tdvp, tvp, &cn, m.ctx};
    r = mdcudfsr_vnop_rmdir(&d);
  } else {
    vnop_remove_args d{nullptr, m.tdvp, tvp, &cn, 0, m.ctx};
    r = mdcudfsr_vnop_remove(&d);
  }
  if (r) VN_LOG(KEL_LOG_ERR, "err=%d\n", r);
  return r;
}

// After the move: the name cache, the times and the session.
int after_move(Mv& m) {
  cache_purge(m.fvp);
  componentname cn{};
  cn.cn_nameptr = m.name;
  cn.cn_namelen = static_cast<int>(m.len);
  cache_enter(m.tdvp, m.fvp, &cn);
  for (mdcudfsr_cache_node* p : {m.from, m.to}) {
    if (p->kind != MDCUDFSR_NODE_UDF) continue;
    touch_times(m.mnt, p);
    if (p->udf_data) p->udf_data->efe.atime = p->udf_data->efe.mtime;
  }
  int err = 0;
  if (m.node->kind == MDCUDFSR_NODE_UDF) {
    mdcudfsr_update_vol_last_modification_time(m.mnt);
    err = mdcudfsr_update_session(m.mnt, m.ctx, 1);
  }
  mdcudfsr_update_vol_last_partial_flush_time(m.mnt);
  return err;
}

// Releases what the move holds, and takes the caller's lock on the node taken back.
void release(Mv& m) {
  if (m.existing) mdcudfsr_cache_unlock_node(m.existing);
  release_name(m.name, m.len);
  if (m.node_locked) {
    mdcudfsr_cache_unlock_node_recursive(m.node);
    mdcudfsr_cache_lock_node(m.node, MDCUDFSR_WAIT_FOREVER);
  }
  if (m.from) mdcudfsr_cache_unlock_node(m.from);
  if (m.to) mdcudfsr_cache_unlock_node(m.to);
}

}  // namespace

int mdcudfsr_vnop_move(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, const char* to_path, const char* new_name,
                       vfs_context_t ctx) {
  VN_LOG(KEL_LOG_DEBG, "to: %s/%s", to_path ? to_path : "", new_name ? new_name : "");
  if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (!usable(node) || !node->parent) {
    VN_LOGK(KEL_LOG_ERR, "%s\n",
            "mdcudfsrcnp && mdcudfsrcnp->status != MDCUDFSR_NODE_STATUS_INACTIVE && mdcudfsrcnp->parent");
    return KEL_ENOENT;
  }
  if (!to_path || !new_name || !*new_name) return KEL_EINVAL;
  if (!mdcudfsr_pass_limited_access_mode(mnt, vfs_context_pid(ctx))) {
    VN_LOG(KEL_LOG_INFO, "[vnop_move] not operation for limited access mode\n");
    mdcudfsr_vnop_print_errlog(mdcudfsr_parent(node), 16, name_of(node), "The volume is used exclusively. File:", ctx);
    return KEL_EBUSY;
  }
  Mv m{mnt, node, ctx};
  int err = hold_source(m);
  if (!err) err = find_target(m, to_path, new_name);
  if (!err) err = replace_existing(m);
  if (!err) err = mdcudfsr_cache_move_node(m.from, m.to, node, m.name, static_cast<int64_t>(m.len));
  if (!err) err = after_move(m);
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  release(m);
  return err;
}
