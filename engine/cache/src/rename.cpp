// Rename and move in the node tree: the node's name, its place in the
// indexes of its directories, the link counts, the location bits, the name
// of its parity node and the identity of its vnodes. The directories changed
// are marked dirty; the next flush writes them.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"
#include "kelcache/lookup.h"

#include "kelhost/kern_errno.h"
#include "kelhost/vnode.h"
#include "udf/udf_names.h"

#include <cstring>
#include <string>
#include <utility>

using namespace kelcache;

namespace {

constexpr size_t kParityName = 1024;

// Takes the node out of the directory's name index (a failure leaves the
// index as it was).
void unindex_name(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  std::lock_guard<std::mutex> lk(n->mdcudfsrmp->cache_mutex);
  mdcudfsr_cache_node* root = nullptr;
  if (mdcudfsr_name_avl_delete(dir, dir->name_root, n, n->name_key, &root) == 0) dir->name_root = root;
}

void drop_udf_name(mdcudfsr_cache_node* n) {
  if (!n->udf_data || !n->udf_data->udf_name) return;
  cache_free(n->udf_data->udf_name, static_cast<uint32_t>(n->udf_data->udf_name_len));
  n->udf_data->udf_name = nullptr;
  n->udf_data->udf_name_len = 0;
}

// The parity node's name for a file named `base`; *out owned by the caller.
int parity_name(mdcudfsr_cache_node* parity, const char* base, char** out) {
  char* suffix = nullptr;
  int err = mdcudfsr_cache_get_parity_suffix_name(parity, &suffix);
  if (err) {
    CACHE_LOG(ERR, "mdcudfsr_cache_get_parity_suffix_name error. err=%d\n", err);
    return -1;
  }
  char joined[kParityName];
  const int joined_len = std::snprintf(joined, sizeof joined, "%s#%s", base, suffix);
  cache_free(suffix, MDCUDFSR_PARITY_SUFFIX_SIZE);
  if (joined_len < 0 || static_cast<size_t>(joined_len) >= sizeof joined) {
    CACHE_LOG(ERR, "parity name too long. len=%d\n", joined_len);
    return KEL_ENAMETOOLONG;  // ENAMETOOLONG
  }
  uint8_t norm[kParityName];
  size_t len = 0;
  err = utf8_normalizestr(reinterpret_cast<const uint8_t*>(joined), std::strlen(joined), norm, &len, kParityName - 1,
                          1);
  if (err) {
    CACHE_LOG(ERR, "utf8_normalizestr error. err=%d\n", err);
    return err;
  }
  *out = copy_name(reinterpret_cast<const char*>(norm), len);
  if (!*out) {
    CACHE_LOG(ERR, "can't allocate name \n");
    return KEL_ENOMEM;
  }
  return 0;
}

// The node's (and its parity node's) vnode learns its new name, and parent
// when `dir_vp` is given.
void update_identity(mdcudfsr_cache_node* n, vnode_t dir_vp) {
  const int flags = dir_vp ? (VNODE_UPDATE_PARENT | VNODE_UPDATE_NAME) : VNODE_UPDATE_NAME;
  for (mdcudfsr_cache_node* x : {n, n->parity_node ? mdcudfsr_cnp(n->parity_node) : nullptr}) {
    if (x && x->vp)
      vnode_update_identity(x->vp, dir_vp, x->vfs_name, static_cast<int>(std::strlen(x->vfs_name)), 0, flags);
  }
}

int mark_dirty(mdcudfsr_cache_node* n) {
  const int err = mdcudfsr_cache_set_dirty(n);
  if (err) CACHE_LOG(ERR, "err=%d\n", err);
  return err;
}

bool indexed_by_uid(const mdcudfsr_cache_node* n) {
  return n->kind == MDCUDFSR_NODE_UDF || n->kind == MDCUDFSR_NODE_VIRTUAL;
}
mdcudfsr_cache_node* parity_of(const mdcudfsr_cache_node* n) {
  return n->parity_node ? mdcudfsr_cnp(n->parity_node) : nullptr;
}

// A written parity node stands in its directory's unique-id list and index
// (which the listing and the directory flush walk) like any file.
bool parity_leaves_uid_index(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* p) {
  const bool listed = p->uid_prev || p->uid_next || dir->uid_first == p;
  const bool indexed = p->alist.prev || p->alist.next || dir->avl_all_list.first == p;
  if (listed) mdcudfsr_remove_list_by_unique_id(dir, p);
  if (indexed) dir->uid_root = mdcudfsr_avl_delete(dir, dir->uid_root, p, p->uid_key);
  return listed || indexed;
}
void parity_enters_uid_index(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* p) {
  if (p->kind == MDCUDFSR_NODE_UDF) mdcudfsr_insert_list_by_unique_id(dir, p);
  if (indexed_by_uid(p)) dir->uid_root = mdcudfsr_avl_insert(dir, dir->uid_root, p, p->uid_key, 0);
}

// Takes the node and its parity node out of every index of `dir`. True when
// the parity node stood in the unique-id ones.
bool take_out(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  unindex_name(dir, n);
  if (n->kind == MDCUDFSR_NODE_UDF) mdcudfsr_remove_list_by_unique_id(dir, n);
  if (indexed_by_uid(n)) dir->uid_root = mdcudfsr_avl_delete(dir, dir->uid_root, n, n->uid_key);
  mdcudfsr_cache_node* parity = parity_of(n);
  if (!parity) return false;
  unindex_name(dir, parity);
  return parity_leaves_uid_index(dir, parity);
}

// Puts the node and its parity node into the indexes of `dir` under their
// names (the parity node into the unique-id ones when it stood there). On
// failure `dir` holds neither. 0 or the error.
int put_in(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n, bool parity_indexed) {
  mdcudfsr_cache_node* parity = parity_of(n);
  int err = mdcudfsr_cache_add_child(dir, n, 0, 0);
  if (!err && parity && (err = mdcudfsr_cache_add_child(dir, parity, 0, 0)) != 0) unindex_name(dir, n);
  if (!err && n->kind == MDCUDFSR_NODE_UDF && (err = mdcudfsr_insert_list_by_unique_id(dir, n)) != 0) {
    unindex_name(dir, n);
    if (parity) unindex_name(dir, parity);
  }
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  // A folder keeps the index of its own children.
  if (indexed_by_uid(n)) dir->uid_root = mdcudfsr_avl_insert(dir, dir->uid_root, n, n->uid_key, 0);
  if (parity && parity_indexed) parity_enters_uid_index(dir, parity);
  return 0;
}

// The new names of a node and of its parity node; the old ones once they
// were exchanged (released with this record).
struct Names {
  char* node = nullptr;
  char* parity = nullptr;
  Names() = default;
  Names(const Names&) = delete;
  Names& operator=(const Names&) = delete;
  ~Names() {
    free_name(node);
    free_name(parity);
  }
};
void exchange_names(mdcudfsr_cache_node* n, Names& names) {
  std::swap(n->vfs_name, names.node);
  if (mdcudfsr_cache_node* parity = parity_of(n)) std::swap(parity->vfs_name, names.parity);
}

// The parity node's new name for the node's new one. 0 or the error.
int new_parity_name(mdcudfsr_cache_node* n, Names& names) {
  mdcudfsr_cache_node* parity = parity_of(n);
  return parity ? parity_name(parity, names.node, &names.parity) : 0;
}

// The first of the new names that an active node of `dir` already has.
const char* taken_name(mdcudfsr_cache_node* dir, const Names& names) {
  for (const char* name : {names.node, names.parity})
    if (name && !mdcudfsr_cache_unique_filename(&dir->name_root, name)) return name;
  return nullptr;
}

// Moves the node and its parity node from `from` to `to` (the same folder
// for a rename) under their new names: out of every index of `from`, both
// names checked free in `to`, exchanged, and into the indexes of `to`. On
// any failure both stand where and as they stood. 0, 17 or the error.
int relink(mdcudfsr_cache_node* from, mdcudfsr_cache_node* to, mdcudfsr_cache_node* n, Names& names) {
  const uint32_t attributes = n->attributes;
  const bool parity_indexed = take_out(from, n);
  const char* taken = taken_name(to, names);
  int err = KEL_EEXIST;
  if (taken) {
    CACHE_LOG(ERR, "Non-unique filename(%s) for new node, cannot move\n", taken);
  } else {
    if (from != to) n->attributes = (attributes & ~0xF0u) | mdcudfsr_cache_decide_node_location(n->mdcudfsrmp, to);
    exchange_names(n, names);
    if ((err = put_in(to, n, parity_indexed)) != 0) {
      exchange_names(n, names);
      n->attributes = attributes;
    }
  }
  if (err) put_in(from, n, parity_indexed);
  else if (names.parity) CACHE_LOG(INFO, "new parity name:%s\n", parity_of(n)->vfs_name);
  return err;
}

}  // namespace

int mdcudfsr_cache_rename_node(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n, const char* new_name, int64_t len,
                               int mode) {
  if (!dir || !n || !n->mdcudfsrmp || !new_name || len < 0) return KEL_EINVAL;
  CACHE_LOG(INFO, "old=%s, new=%.*s (status=0x%08x)", name_of(n), static_cast<int>(len), new_name, n->status);
  int err = mdcudfsr_cache_is_valid_filename(new_name, len, dir, mode, 0);
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  Names names;
  names.node = copy_name(new_name, static_cast<uint64_t>(strnlen(new_name, static_cast<size_t>(len))));
  if (!names.node) {
    CACHE_LOG(ERR, "%s\n", "new_vfs_name");
    return KEL_ENOMEM;
  }
  if (std::strcmp(names.node, name_of(n)) == 0) {
    drop_udf_name(n);
    return 0;
  }
  if ((err = new_parity_name(n, names)) != 0 || (err = relink(dir, dir, n, names)) != 0) return err;
  if (dir->kind == MDCUDFSR_NODE_UDF && (err = mark_dirty(dir)) != 0) return err;
  dir->dir_dirty = 2;
  if (n->vp) {
    if (dir->vp) cache_purge_negatives(dir->vp);
    update_identity(n, nullptr);
  }
  drop_udf_name(n);
  CACHE_LOG(INFO, "err=%d", 0);
  return 0;
}

namespace {

uint32_t depth_of(const mdcudfsr_cache_node* dir) {
  uint32_t d = 0;
  for (const mdcudfsr_cache_node* p = mdcudfsr_parent(dir); p; p = mdcudfsr_parent(p)) ++d;
  if (dir->mdcudfsrmp && dir->mdcudfsrmp->root_node) {
    // The root has depth 0 whatever lies above it.
    d = 0;
    for (const mdcudfsr_cache_node* p = dir; p && p != dir->mdcudfsrmp->root_node; p = mdcudfsr_parent(p)) ++d;
  }
  return d;
}

int check_move(mdcudfsr_cache_node* new_dir, mdcudfsr_cache_node* n, const char* new_name, int64_t len) {
  if (mdcudfsr_is_dir(n) && depth_of(new_dir) + mdcudfsr_cache_get_dir_depth(n) > 63) return KEL_ENAMELIMIT;
  int err = mdcudfsr_cache_is_valid_filename(new_name, len, new_dir, 1, 0);
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  std::string name(new_name, strnlen(new_name, static_cast<size_t>(len)));
  if (!mdcudfsr_cache_unique_filename(&new_dir->name_root, name.c_str())) {
    CACHE_LOG(ERR, "non-unique filename(%s) for new node, cannot move\n", name.c_str());
    return KEL_EEXIST;
  }
  return 0;
}

// Link counts, dirty marks and vnode identities once the node stands in
// the new directory. The moved node keeps its unique id and so lands
// anywhere in the new directory's list: that directory is rewritten whole,
// as the old one.
int finish_move(mdcudfsr_cache_node* old_dir, mdcudfsr_cache_node* new_dir, mdcudfsr_cache_node* n) {
  if (mdcudfsr_is_dir(n) && n->kind == MDCUDFSR_NODE_UDF) {
    if (old_dir->kind == MDCUDFSR_NODE_UDF && old_dir->udf_data) atomicDec32Gnrc(&old_dir->udf_data->nlink);
    if ((new_dir->kind == MDCUDFSR_NODE_UDF || new_dir->kind == MDCUDFSR_NODE_VIRTUAL) && new_dir->udf_data)
      atomicInc32Gnrc(&new_dir->udf_data->nlink);
  }
  int err = 0;
  if (mdcudfsr_is_dir(n) && (err = mark_dirty(n)) != 0) return err;
  const uint32_t k = old_dir->kind;
  if ((k == MDCUDFSR_NODE_UDF || k == MDCUDFSR_NODE_VIRTUAL || k == MDCUDFSR_NODE_SHADOW) && old_dir != new_dir) {
    if ((err = mark_dirty(old_dir)) != 0 || (err = mark_dirty(new_dir)) != 0) return err;
    old_dir->dir_dirty = new_dir->dir_dirty = 2;
  }
  if (n->vp) {
    componentname cn{};
    char dot[] = ".";
    cn.cn_nameptr = dot;
    cn.cn_namelen = 1;
    vnode_t dvp = mdcudfsr_cache_get_vnode(n->mdcudfsrmp, new_dir, &cn, nullptr, 0);
    update_identity(n, dvp);
    if (dvp) vnode_put(dvp);
  }
  return 0;
}

}  // namespace

int mdcudfsr_cache_move_node(mdcudfsr_cache_node* old_dir, mdcudfsr_cache_node* new_dir, mdcudfsr_cache_node* n,
                             const char* new_name, int64_t len) {
  if (!old_dir || !new_dir || !n || !n->mdcudfsrmp || !new_name || len < 0) return KEL_EINVAL;
  CACHE_LOG(INFO, "old=%s, new=%.*s", name_of(n), static_cast<int>(len), new_name);
  int err = check_move(new_dir, n, new_name, len);
  Names names;
  if (!err) {
    names.node = copy_name(new_name, static_cast<uint64_t>(strnlen(new_name, static_cast<size_t>(len))));
    if (!names.node) CACHE_LOG(ERR, "%s\n", "new_name");
    err = names.node ? new_parity_name(n, names) : KEL_ENOMEM;
  }
  if (!err && (err = relink(old_dir, new_dir, n, names)) == 0) {
    drop_udf_name(n);
    err = finish_move(old_dir, new_dir, n);
  }
  CACHE_LOG(INFO, "err=%d", err);
  return err;
}
