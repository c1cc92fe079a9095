// Lookups of nodes by vnode, unique id, name and path; binding nodes to
// vnodes and revalidating that binding; reclaim and inactivation.
#include "cache_internal.h"
#include "cache_neighbours.h"

#include "kelagent/mdc_channel.h"
#include "kelcache/lookup.h"
#include "kelhost/kern_errno.h"
#include "kelhost/vnode.h"

#include <strings.h>

#include <cstring>
#include <string>

using namespace kelcache;


namespace {

mdcudfsr_cache_node* node_of(vnode_t vp) { return vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp)) : nullptr; }

// Revalidates the node's vnode; 0 with a use of it taken, else the error.
int revalidate(mdcudfsr_cache_node* n, bool mark) {
  if (mark) n->vnode_checking = 1;
  const int err = vnode_getwithvid(n->vp, vnode_vid(n->vp));
  if (mark) n->vnode_checking = 0;
  return err;
}

// The node a component names in `parent`, or nullptr.
mdcudfsr_cache_node* choose(mdcudfsr_mount* m, mdcudfsr_cache_node* parent, componentname* cn) {
  if (!cn) return m->root_node;
  if (cn->cn_flags & ISDOTDOT) return (parent->vp && vnode_isvroot(parent->vp)) ? parent : mdcudfsr_parent(parent);
  const std::string name(cn->cn_nameptr ? cn->cn_nameptr : "", cn->cn_nameptr ? cn->cn_namelen : 0);
  if (name == ".") return parent;
  if (name == "$" && parent == m->root_node) {
    if (!m->shadow_node) {
      const int err = mdcudfsr_cache_create_shadow_node(m, 0);
      if (err) {
        CACHE_LOG(ERR, " faile to make shadow node err:%d\n", err);
        return nullptr;
      }
    }
    return m->shadow_node;
  }
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d looking for mdcudfsrcnp in parent=%s\n", volume_name(m), tid32(), __func__,
              __LINE__, parent ? name_of(parent) : "ROOT!");
  mdcudfsr_cache_node* n = nullptr;
  {
    std::lock_guard<std::mutex> lk(m->cache_mutex);
    n = mdcudfsr_name_avl_search(parent->name_root, name.c_str(), nullptr);
  }
  if (n && mdcudfsr_is_inactive(n)) n = nullptr;
  if (n) CACHE_LOG(INFO, "found node=%s", name_of(n));
  return n;
}

// A new vnode for a node; 0 or the error.
int make_vnode(mdcudfsr_mount* m, mdcudfsr_cache_node* parent, mdcudfsr_cache_node* n, componentname* cn) {
  vnode_fsparam p{};
  p.vnfs_mp = m->mp;
  p.vnfs_vtype = mdcudfsr_is_dir(n) ? 2 : n->symlink_target ? 5 : 1;
  p.vnfs_str = "keludf";
  p.vnfs_dvp = parent ? parent->vp : nullptr;
  p.vnfs_fsnode = n;
  p.vnfs_vops = mdcudfsr_vnodeop_p;
  p.vnfs_markroot = n == m->root_node ? 1 : 0;
  p.vnfs_filesize = static_cast<int64_t>(mdcudfsr_cache_get_file_size(n));
  p.vnfs_cnp = cn;
  p.vnfs_flags = 3;
  vnode* vp = nullptr;
  const int err = vnode_create(VNCREATE_FLAVOR, VCREATESIZE, &p, &vp);
  if (err) return err;
  n->vp = vp;
  const int ferr = vnode_addfsref(vp);
  if (ferr) CACHE_LOG(ERR, " failed to add fsref err=%d\n", ferr);
  return 0;
}

bool same_name(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

// Reclaim without the node lock: "umount", and this mount's cache agent.
bool reclaim_unlocked(mdcudfsr_mount* m, vfs_context_t ctx) {
  const kel_pid_t pid = vfs_context_pid(ctx);
  char name[128] = {};
  proc_name(static_cast<int>(pid), name, sizeof name);
  if (same_name(name, "umount")) return true;
  if (!same_name(name, "KelFsCacheAgent")) return false;
  const int64_t agent = m && m->metacachedev ? mdcudfsr_metacache_get_agent_pid(m->metacachedev) : -1;
  if (agent == pid) {
    CACHE_LOG(INFO, "unlock inactive %s %d\n", name, static_cast<int>(pid));
    return true;
  }
  CACHE_LOG(INFO, "other fscache %d %d\n", static_cast<int>(pid), static_cast<int>(agent));
  return false;
}

}  // namespace

mdcudfsr_cache_node* mdcudfsr_cache_get_node(vnode_t vp, int lock) {
  mdcudfsr_cache_node* n = node_of(vp);
  if (n && lock) mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  return n;
}

mdcudfsr_cache_node* mdcudfsr_cache_get_real_parent(vnode_t vp) { return mdcudfsr_cache_get_node(vp, 1); }

mdcudfsr_cache_node* mdcudfsr_cache_get_node_by_id(mdcudfsr_mount*, mdcudfsr_cache_node* dir, uint32_t unique_id) {
  if (!dir) return nullptr;
  mdcudfsr_cache_node* n = mdcudfsr_avl_search(dir->uid_root, unique_id, 0, nullptr);
  if (!n) return nullptr;
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  if (mdcudfsr_is_inactive(n)) mdcudfsr_cache_unlock_node(n);
  return n;
}

mdcudfsr_cache_node* mdcudfsr_cache_get_node_by_name(mdcudfsr_mount* m, mdcudfsr_cache_node* dir, const char* name) {
  if (!m || !dir || !name) return nullptr;
  mdcudfsr_cache_node* n = nullptr;
  {
    std::lock_guard<std::mutex> lk(m->cache_mutex);
    n = mdcudfsr_name_avl_search(dir->name_root, name, nullptr);
  }
  if (!n) return nullptr;
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  if (!mdcudfsr_is_inactive(n)) return n;
  mdcudfsr_cache_unlock_node(n);
  return nullptr;
}

mdcudfsr_cache_node* mdcudfsr_cache_get_node_ex(vnode_t vp, int lock, int* locked, uint32_t agent_limit_s,
                                                uint32_t wait_ms, uint32_t retry_limit) {
  *locked = 0;
  if (wait_ms == MDCUDFSR_WAIT_FOREVER) {
    mdcudfsr_cache_node* n = mdcudfsr_cache_get_node(vp, lock);
    *locked = n && lock ? 1 : 0;
    return n;
  }
  mdcudfsr_cache_node* n = node_of(vp);
  if (!n || !lock) return n;
  mdcudfsr_mount* m = n->mdcudfsrmp;
  for (uint32_t failed = 0;;) {
    if (mdcudfsr_cache_lock_node(n, wait_ms) == 0) {
      *locked = 1;
      return n;
    }
    ++failed;
    if (failed % 20 == 0) {
      const uint64_t busy = m ? mdcudfsr_metacache_busy_time(m->metacachedev) : 0;
      if (busy > uint64_t(agent_limit_s) * 1000000000ull) {
        CACHE_LOG(WARN, "lock fscache timeout retry=%d vp=%x vid=%d mdcudfsrcnp=%x vget=%d %s\n", failed,
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(vp)), vnode_vid(vp),
                  static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n)), n->vnode_checking, name_of(n));
        return n;
      }
      CACHE_LOG(WARN, "lock timeout retry=%d fscacheT=%lld sync=%d vp=%x vid=%d mdcudfsrcnp=%x vget=%d %s\n", failed,
                static_cast<long long>(busy), m ? m->sync_value : 0,
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(vp)), vnode_vid(vp),
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n)), n->vnode_checking, name_of(n));
    }
    if (retry_limit != MDCUDFSR_WAIT_FOREVER && failed > retry_limit) {
      CACHE_LOG(ERR, "give up node lock retry=%d vp=%x vid=%d mdcudfsrcnp=%x\n", failed,
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(vp)), vnode_vid(vp),
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n)));
      return n;
    }
  }
}

vnode_t mdcudfsr_cache_get_vnode(mdcudfsr_mount* m, mdcudfsr_cache_node* parent, componentname* cn, vfs_context_t,
                                 int lock) {
  if (cn) CACHE_LOG(INFO, "name=%*s", cn->cn_namelen, cn->cn_nameptr);
  else CACHE_LOG(INFO, "name=%*s", 6, "(NULL)");
  if (cn && !mdcudfsr_is_dir(parent)) {
    CACHE_LOG(ERR, "!parent || parent->file_char & UDF_FILE_CHAR_DIR");
    return nullptr;
  }
  mdcudfsr_cache_node* n = choose(m, parent, cn);
  if (!n) return nullptr;
  if (lock) mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  vnode_t vp = nullptr;
  if (n->vp) {
    const int err = revalidate(n, true);
    if (err) CACHE_LOG(ERR, "vnode_getwithvid is failed.err = %d\n", err);
    else vp = n->vp;
  } else {
    const int err = make_vnode(m, cn ? parent : nullptr, n, cn);
    if (err) CACHE_LOG(ERR, "err=%d\n", err);
    else vp = n->vp;
  }
  if (vp && cn && parent && parent->vp && (cn->cn_flags & MAKEENTRY)) {
    CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d cache_enter name=%s vp=%p\n\n", volume_name(m), tid32(), __func__,
                __LINE__, name_of(n), static_cast<void*>(vp));
    cache_enter(parent->vp, vp, cn);
  }
  if (lock) mdcudfsr_cache_unlock_node(n);
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d vp=%p\n", volume_name(m), tid32(), __func__, __LINE__,
              static_cast<void*>(vp));
  return vp;
}

mdcudfsr_cache_node* mdcudfsr_cache_get_node_by_path(mdcudfsr_mount* m, const char* path, vfs_context_t ctx) {
  CACHE_LOG(INFO, "path=%s", path ? path : "");
  if (!path || !path[0]) return nullptr;
  vnode_t vp = mdcudfsr_cache_get_vnode(m, nullptr, nullptr, ctx, 0);
  if (!vp) return nullptr;
  mdcudfsr_cache_node* cur = mdcudfsr_cache_get_node(vp, 1);
  const char* p = path;
  if (*p == '/') ++p;
  while (*p) {
    const char* end = std::strchr(p, '/');
    const size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
    std::string comp(p, len);
    componentname cn{};
    cn.cn_nameptr = comp.data();
    cn.cn_namelen = static_cast<int>(len);
    vnode_t child = len ? mdcudfsr_cache_get_vnode(m, cur, &cn, ctx, 1) : nullptr;
    vnode_put(vp);
    mdcudfsr_cache_unlock_node(cur);
    if (!child) return nullptr;
    vp = child;
    cur = mdcudfsr_cache_get_node(vp, 1);
    if (!end) break;
    p = end + 1;
    if (!*p) {  // a path that ends in '/' names an empty component
      vnode_put(vp);
      mdcudfsr_cache_unlock_node(cur);
      return nullptr;
    }
  }
  vnode_put(vp);
  return cur;
}

int mdcudfsr_cache_check_vnode(mdcudfsr_cache_node* n, int lock, vnode_t* out) {
  *out = nullptr;
  if (lock) mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  int err = 0;
  mdcudfsr_mount* m = n->mdcudfsrmp;
  if (!n->vp) {
    err = 0;
  } else if (!m) {
    CACHE_LOG(ERR, "mdcudfsrmp is null\n");
    err = KEL_EINVAL;
  } else if (vfs_isforce(m->mp)) {
    CACHE_LOG(WARN, "progress is unmount. skip vnode check\n");
    *out = n->vp;
  } else if ((err = revalidate(n, lock != 0)) != 0) {
    CACHE_LOG(ERR, "vnode_getwithvid has failed (err=%d)\n", err);
  } else {
    vnode_put(n->vp);
    *out = n->vp;
  }
  if (lock) mdcudfsr_cache_unlock_node(n);
  return err;
}

int mdcudfsr_cache_reclaim_vnode(vnode_t vp, vfs_context_t ctx) {
  CACHE_LOG(INFO, "vnode=%p", static_cast<void*>(vp));
  mdcudfsr_cache_node* probe = node_of(vp);
  const bool lock = !reclaim_unlocked(probe ? probe->mdcudfsrmp : nullptr, ctx);
  int locked = 0;
  mdcudfsr_cache_node* n = mdcudfsr_cache_get_node_ex(vp, lock ? 1 : 0, &locked, 60, 1000, MDCUDFSR_WAIT_FOREVER);
  if (!n) {
    CACHE_LOG(ERR, "can't get node vp=%p\n", static_cast<void*>(vp));
    return KEL_EINVAL;
  }
  CACHE_LOG(INFO, "node=0x%x name=%s status=%d node_vp=0x%x vp=0x%x vid=%d\n",
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n)), name_of(n), n->status,
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(n->vp)),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(vp)), vnode_vid(vp));
  mdcudfsr_mount* m = n->mdcudfsrmp;
  auto clear = [&] {
    n->vp = nullptr;
    cache_purge(vp);
    CACHE_TRACE(3, 3, "(tid=%08x) %s:%d cache_purge returned\n\n", tid32(), __func__, __LINE__);
    vnode_clearfsnode(vp);
    vnode_removefsref(vp);
  };
  if (m && n == m->root_node) {
    std::lock_guard<std::mutex> lk(m->cache_mutex);
    clear();
  } else {
    clear();
  }
  if (locked) mdcudfsr_cache_unlock_node(n);
  return 0;
}

int mdcudfsr_cache_inactivate_node(mdcudfsr_cache_node* n, int count) {
  CACHE_LOG(INFO, "node=%p name=%s", static_cast<void*>(n), name_of(n));
  mdcudfsr_mount* m = n->mdcudfsrmp;
  if (!m) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  mdcudfsr_cache_node* parent = mdcudfsr_parent(n);
  const bool udf_kind = n->kind == MDCUDFSR_NODE_UDF || n->kind == MDCUDFSR_NODE_PROXY;
  if (mdcudfsr_is_dir(n) && udf_kind && parent && parent->udf_data) atomicDec32Gnrc(&parent->udf_data->nlink);
  const bool was_active = !mdcudfsr_is_inactive(n);
  n->status = MDCUDFSR_NODE_INACTIVE;
  if (count && was_active && n->kind == MDCUDFSR_NODE_UDF) atomicDec32Gnrc(mdcudfsr_is_dir(n) ? &m->ndirs : &m->nfiles);
  if (n->vp) {
    cache_purge(n->vp);
    CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d cache_purge vnode=%p node=%p name=%s\n", volume_name(m), tid32(), __func__,
                __LINE__, static_cast<void*>(n->vp), static_cast<void*>(n), name_of(n));
  }
  return 0;
}
