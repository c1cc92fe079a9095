// Paths of nodes from the volume root, the relationship of two vnodes'
// paths, and the order in which the three nodes of a move are locked.
#include "cache_internal.h"

#include "kelhost/kern_errno.h"
#include "kelhost/vnode.h"

#include <cstring>

using namespace kelcache;

namespace {

// The root is known by its vnode; the root node itself, and a node without
// parent, end every walk as well.
bool is_root(const mdcudfsr_cache_node* n) {
  const mdcudfsr_cache_node* root = n->mdcudfsrmp ? n->mdcudfsrmp->root_node : nullptr;
  if (n == root || !n->parent) return true;
  return root && root->vp && n->vp == root->vp;
}

// Both paths, fetched into buffers of the given sizes; 0, 12 or the error.
int fetch_path(vnode_t vp, uint32_t size, char** out, const char* what) {
  *out = static_cast<char*>(cache_alloc(size ? size : 1));
  if (!*out) {
    CACHE_LOGK(ERR, "%s\n", what);
    return KEL_ENOMEM;
  }
  std::memset(*out, 0, size ? size : 1);
  int len = static_cast<int>(size);
  const int err = vn_getpath(vp, *out, &len);
  if (err) CACHE_LOGK(ERR, "err=%d\n", err);
  return err;
}

int compare_paths(const char* a, const char* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  if (!*a) return !*b ? 2 : (*b == '/' ? 0 : 3);
  return (!*b && *a == '/') ? 1 : 3;
}

int relation(mdcudfsr_cache_node* x, mdcudfsr_cache_node* y, uint32_t base, int* r) {
  return mdcudfsr_relationship(x->vp, y->vp, r, mdcudfsr_cache_get_full_path_len(x) + base,
                               mdcudfsr_cache_get_full_path_len(y) + base);
}

}  // namespace

uint32_t mdcudfsr_cache_get_full_path_len(mdcudfsr_cache_node* n) {
  if (!n) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp");
    return 0;
  }
  if (!n->mdcudfsrmp) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return 0;
  }
  uint64_t sum = 0;
  for (mdcudfsr_cache_node* p = n; !is_root(p); p = mdcudfsr_parent(p)) sum += std::strlen(name_of(p)) + 1;
  return sum + 1 > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(sum + 1);
}

int mdcudfsr_cache_get_path(mdcudfsr_cache_node* n, char* path, uint32_t path_len) {
  CACHE_LOG(INFO, "name=%s", name_of(n));
  mdcudfsr_mount* m = n ? n->mdcudfsrmp : nullptr;
  if (!m) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (!m->root_node || !m->root_node->vp) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp->cache.root_node->vp");
    return KEL_EINVAL;
  }
  int err = 0;
  if (is_root(n)) {
    if (strlcpy(path, "/", path_len) >= path_len) {
      err = KEL_ENAMELIMIT;
      CACHE_LOGK(ERR, "err=%d\n", err);
    }
  } else {
    const uint32_t len = mdcudfsr_cache_get_full_path_len(n);
    auto* work = static_cast<char*>(cache_alloc(len));
    if (!work) {
      CACHE_LOGK(ERR, "%s\n", "mnt_path");
      return KEL_ENOMEM;
    }
    std::memset(work, 0, len);
    uint32_t pos = len - 1;
    for (mdcudfsr_cache_node* p = n; !is_root(p); p = mdcudfsr_parent(p)) {
      const size_t l = std::strlen(name_of(p));
      pos -= static_cast<uint32_t>(l);
      std::memcpy(work + pos, name_of(p), l);
      work[--pos] = '/';
    }
    if (strlcpy(path, work, path_len) >= path_len) err = KEL_ENAMELIMIT;
    cache_free(work, len);
  }
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d path=%s\n", volume_name(m), tid32(), __func__, __LINE__,
              err ? "" : path);
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}

int mdcudfsr_relationship(vnode_t vp_a, vnode_t vp_b, int* relationship, uint32_t size_a, uint32_t size_b) {
  char *a = nullptr, *b = nullptr;
  int err = fetch_path(vp_a, size_a, &a, "path_a");
  if (!err) err = fetch_path(vp_b, size_b, &b, "path_b");
  int r = -1;
  if (!err) {
    r = compare_paths(a, b);
    *relationship = r;
  }
  cache_free(a, size_a ? size_a : 1);
  cache_free(b, size_b ? size_b : 1);
  CACHE_LOG(INFO, "relationship=%d err=%d", r, err);
  return err;
}

int mdcudfsr_cache_get_family_tree(mdcudfsr_cache_node* b, mdcudfsr_cache_node* a, mdcudfsr_cache_node* n,
                                   mdcudfsr_cache_node** oldest, mdcudfsr_cache_node** second,
                                   mdcudfsr_cache_node** youngest, mdcudfsr_cache_node* root) {
  char root_path[261] = {};
  int len = sizeof root_path;
  int err = root ? vn_getpath(root->vp, root_path, &len) : KEL_EINVAL;
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  const uint32_t base = static_cast<uint32_t>(strnlen(root_path, sizeof root_path));
  int r = -1;
  err = relation(a, b, base, &r);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  if (r == 0 || r == 3) {
    *oldest = a;
    *second = b;
    *youngest = n;
    int r2 = -1;
    if (mdcudfsr_is_dir(n)) {
      err = relation(n, b, base, &r2);
      if (err) {
        CACHE_LOGK(ERR, "err=%d\n", err);
        return err;
      }
    }
    if (r2 == 0) {
      *second = n;
      *youngest = b;
    }
  } else if (r == 1) {
    *oldest = b;
    *second = a;
    *youngest = n;
  } else if (r == 2) {
    *oldest = nullptr;
    *second = a;
    *youngest = n;
  } else {
    CACHE_LOG(ERR, "invalid relationship returned (%d)", r);
    return KEL_EINVAL;
  }
  CACHE_LOG(INFO, "err=%d oldest=%p second=%p youngest=%p", err, static_cast<void*>(*oldest),
            static_cast<void*>(*second), static_cast<void*>(*youngest));
  return 0;
}
