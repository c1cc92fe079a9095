// Cache nodes: allocation, release, the sweep of inactive nodes, the debug
// dump and the small extent helpers of a node.
#include "cache_internal.h"

#include "kel/debug.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_efe.h"
#include "udf/udf_extent.h"
#include "udf/udf_names.h"

#include <cstring>
#include <new>
#include <string>

namespace kelcache {

void* cache_alloc(uint32_t size) { return OSMalloc(size, nullptr); }
void cache_free(void* p, uint32_t size) {
  if (p) OSFree(p, size, nullptr);
}

char* copy_name(const char* text, uint64_t len) {
  if (len >= 0xFFFFFFFFu) return nullptr;
  auto* out = static_cast<char*>(cache_alloc(static_cast<uint32_t>(len) + 1));
  if (!out) return nullptr;
  if (len) std::memcpy(out, text, len);
  out[len] = '\0';
  return out;
}

void free_name(char* name) {
  if (name) cache_free(name, static_cast<uint32_t>(std::strlen(name)) + 1);
}

}  // namespace kelcache

using namespace kelcache;

namespace {

template <class T>
T* make_zeroed() {
  void* mem = cache_alloc(sizeof(T));
  return mem ? new (mem) T() : nullptr;
}
template <class T>
void destroy(T* p) {
  if (!p) return;
  p->~T();
  cache_free(p, sizeof(T));
}

void free_fid_and_extents(mdcudfsr_udf_data* d) {
  cache_free(d->fid_imp_use.imp_use, d->fid_imp_use.l_iu);
  d->fid_imp_use.imp_use = nullptr;
  d->fid_imp_use.l_iu = 0;
  mdcudfsr_free_aed_info(d->aed_info);
  d->aed_info = nullptr;
  mdcudfsr_extent_list_free(&d->extents);
}

// A parity proxy is named by the request proxies beside it in the shadow
// folder (active or inactive); none may keep it once it is released.
void cut_request_proxy_links(mdcudfsr_cache_node* parity_proxy) {
  mdcudfsr_cache_node* dir = mdcudfsr_parent(parity_proxy);
  if (!dir) return;
  for (mdcudfsr_cache_node* c = dir->children.first; c; c = c->sibling.next)
    if (c->parity_node == parity_proxy) c->parity_node = nullptr;
  for (mdcudfsr_cache_node* c = dir->inactive_list.first; c; c = c->inactive_entry.next)
    if (c->parity_node == parity_proxy) c->parity_node = nullptr;
}

// Proxies in the shadow folder (a master's own and older, inactive ones, and
// parity proxies) may still name a node of the volume tree; none may keep it
// once it is released.
void cut_shadow_links(mdcudfsr_cache_node* n) {
  mdcudfsr_mount* m = n->mdcudfsrmp;
  mdcudfsr_cache_node* shadow = m ? m->shadow_node : nullptr;
  if (!shadow || shadow == n) return;
  auto cut = [n](mdcudfsr_cache_node* c) {
    if (c->master == n) c->master = nullptr;
    if (c->stream_owner == n) c->stream_owner = nullptr;
    if (c->parity_node == n) c->parity_node = nullptr;
  };
  for (mdcudfsr_cache_node* c = shadow->children.first; c; c = c->sibling.next) cut(c);
  for (mdcudfsr_cache_node* c = shadow->inactive_list.first; c; c = c->inactive_entry.next) cut(c);
}

// Cuts the links that other nodes hold to this one: a proxy and its master,
// a parity proxy and the request proxies naming it, a parity node and the
// file that owns it.
void cut_partner_links(mdcudfsr_cache_node* n) {
  if (n->kind == MDCUDFSR_NODE_PROXY && n->master && n->master->proxy == n) n->master->proxy = nullptr;
  if (n->kind == MDCUDFSR_NODE_PROXY && n->stream_owner) cut_request_proxy_links(n);
  if (n->kind != MDCUDFSR_NODE_PROXY && n->proxy && n->proxy != n) {
    // The proxy shares this node's entry data; it must not reach it after
    // the release.
    if (n->proxy->udf_data == n->udf_data) n->proxy->udf_data = nullptr;
    n->proxy->master = nullptr;
    n->proxy = nullptr;
  }
  // A shadow node may still name a file whose own link to it is gone (its
  // parity node given up first): every file lets go of the shadow folder.
  if (n->kind == MDCUDFSR_NODE_MASTER || n->parity_node || n->stream_owner || !mdcudfsr_is_dir(n))
    cut_shadow_links(n);
  if (n->stream_owner && n->stream_owner->parity_node == n) n->stream_owner->parity_node = nullptr;
  if (n->parity_node && mdcudfsr_cnp(n->parity_node)->stream_owner == n)
    mdcudfsr_cnp(n->parity_node)->stream_owner = nullptr;
}

void release_data(mdcudfsr_cache_node* n) {
  const bool owns_entry = n->kind == MDCUDFSR_NODE_UDF || n->kind == MDCUDFSR_NODE_MASTER;
  if (owns_entry && n->udf_data) free_fid_and_extents(n->udf_data);
  if (n->vfam_data) mdcudfsr_cache_free_vfam_data(n);
  // A proxy shares its master's entry data and a shadow node has none; every
  // other node gives back what its allocation gave it.
  if (n->kind != MDCUDFSR_NODE_PROXY) mdcudfsr_cache_free_udf_data(&n->udf_data);
  n->udf_data = nullptr;
}

bool in_children_or_inactive(const mdcudfsr_cache_node* dir, const mdcudfsr_cache_node* c) {
  return list_contains(&dir->children, c, &mdcudfsr_cache_node::sibling) ||
         list_contains(&dir->inactive_list, c, &mdcudfsr_cache_node::inactive_entry);
}

// Unlinks every child from avl_all_list, checking each back link. A child
// that stands in neither children nor inactive_list (it left the name tree
// without being released) is released here.
void empty_avl_all_list(mdcudfsr_cache_node* dir) {
  while (mdcudfsr_cache_node* c = dir->avl_all_list.first) {
    if (c->alist.prev != nullptr) {
      CACHE_LOG(ERR,
                "[TAILQ_REMOVE] detect invalid pointer. &mdcudfsrcnp->avl_all_list=%p "
                "child_unique_id->alist.tqe_prev=%p\n",
                static_cast<void*>(&dir->avl_all_list), static_cast<void*>(c->alist.prev));
      dir->avl_all_list = mdcudfsr_list{};
      return;
    }
    list_remove(&dir->avl_all_list, c, &mdcudfsr_cache_node::alist);
    if (!in_children_or_inactive(dir, c)) mdcudfsr_cache_free_node(c);
  }
}

void empty_uniqueid_list(mdcudfsr_cache_node* dir) {
  while (dir->uid_first) {
    mdcudfsr_cache_node* c = mdcudfsr_cnp(dir->uid_first);
    mdcudfsr_remove_list_by_unique_id(dir, c);
    if (!in_children_or_inactive(dir, c) && !list_contains(&dir->avl_all_list, c, &mdcudfsr_cache_node::alist))
      mdcudfsr_cache_free_node(c);
  }
}

void release_children(mdcudfsr_cache_node* dir) {
  empty_uniqueid_list(dir);
  empty_avl_all_list(dir);
  // Inactive nodes stand in no other list of the directory: free them here.
  while (mdcudfsr_cache_node* c = dir->inactive_list.first) {
    list_remove(&dir->inactive_list, c, &mdcudfsr_cache_node::inactive_entry);
    mdcudfsr_cache_free_node(c);
  }
  mdcudfsr_mount* m = dir->mdcudfsrmp;
  while (mdcudfsr_cache_node* c = dir->children.last) {
    int err = KEL_EINVAL;
    if (m) {
      std::lock_guard<std::mutex> lk(m->cache_mutex);
      mdcudfsr_cache_node* root = nullptr;
      err = mdcudfsr_name_avl_delete(dir, dir->name_root, c, c->name_key, &root);
      if (!err) dir->name_root = root;
    }
    // A node that stood in children without being in the tree is unlinked here.
    if (err) mdcudfsr_children_remove(dir, c);
    mdcudfsr_cache_free_node(c);
  }
  dir->name_root = nullptr;
  dir->uid_root = nullptr;
}

}  // namespace

mdcudfsr_cache_node* mdcudfsr_cache_alloc_node(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent, char* name,
                                               int borrow, uint8_t file_char, uint32_t attributes, uint32_t kind) {
  CACHE_LOG(INFO, "name=%s, attr=0x%08x", name ? name : "", attributes);
  mdcudfsr_cache_node* n = make_zeroed<mdcudfsr_cache_node>();
  if (!n) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp");
    return nullptr;
  }
  const int err = mdcudfsr_cache_alloc_udf_data(&n->udf_data);
  if (err) {
    CACHE_LOG(ERR, "can't allocate udf_data err:%d\n", err);
    destroy(n);
    return nullptr;
  }
  n->mdcudfsrmp = mnt;
  n->parent = parent;
  n->file_char = file_char;
  n->kind = kind;
  n->status = MDCUDFSR_NODE_ACTIVE;
  if (borrow || !name) {
    n->vfs_name = name;
  } else {
    const size_t len = std::strlen(name);
    n->vfs_name = copy_name(name, len);
    if (!n->vfs_name) {
      CACHE_LOG(ERR, "can't allocate name.name_len=%d\n", static_cast<int>(len));
      mdcudfsr_cache_free_udf_data(&n->udf_data);
      destroy(n);
      return nullptr;
    }
  }
  n->attributes = attributes | mdcudfsr_cache_decide_node_location(mnt, parent);
  return n;
}

namespace kelcache {

// Before the trees are released: every node of the shadow folder lets go of
// the nodes it names and they of it, so neither tree reaches the other's
// released nodes whatever the order.
void detach_shadow_nodes(mdcudfsr_mount* m) {
  mdcudfsr_cache_node* shadow = m ? m->shadow_node : nullptr;
  if (!shadow) return;
  auto detach = [](mdcudfsr_cache_node* c) {
    if (c->master && c->master->proxy == c) c->master->proxy = nullptr;
    if (c->stream_owner && c->stream_owner->parity_node == c) c->stream_owner->parity_node = nullptr;
    if (c->parity_node && mdcudfsr_cnp(c->parity_node)->stream_owner == c)
      mdcudfsr_cnp(c->parity_node)->stream_owner = nullptr;
    c->master = nullptr;
    c->stream_owner = nullptr;
    c->parity_node = nullptr;
  };
  for (mdcudfsr_cache_node* c = shadow->children.first; c; c = c->sibling.next) detach(c);
  for (mdcudfsr_cache_node* c = shadow->inactive_list.first; c; c = c->inactive_entry.next) detach(c);
}

}  // namespace kelcache

int mdcudfsr_cache_free_node(mdcudfsr_cache_node* n) {
  if (!n) return 0;
  CACHE_LOG(INFO, "name=%s", name_of(n));
  free_name(n->vfs_name);
  n->vfs_name = nullptr;
  free_name(n->symlink_target);
  n->symlink_target = nullptr;
  mdcudfsr_cache_free_parity_info(&n->parity_info);
  // A vnode may outlive its node (an all-erase ends the whole cache while
  // the host still holds the volume's vnodes): it must not reach it after.
  if (n->vp) vnode_clearfsnode(n->vp);
  n->vp = nullptr;
  cut_partner_links(n);
  release_data(n);
  n->hash_ea_list.clear();
  if (mdcudfsr_is_dir(n)) release_children(n);
  destroy(n);
  return 0;
}

int mdcudfsr_cache_free_proxy_node(mdcudfsr_cache_node* n) {
  CACHE_LOG(INFO, "proxy name=%s\n", name_of(n));
  return mdcudfsr_cache_free_node(n);
}

int mdcudfsr_cache_free_shadow_node(mdcudfsr_cache_node* n) {
  CACHE_LOG(INFO, "shadow name=%s\n", name_of(n));
  return mdcudfsr_cache_free_node(n);
}

int mdcudfsr_cache_alloc_udf_data(mdcudfsr_udf_data** out) {
  *out = make_zeroed<mdcudfsr_udf_data>();
  if (!*out) {
    CACHE_LOG(ERR, "can't allocate udf_data\n");
    return KEL_ENOMEM;
  }
  mdcudfsr_extent_list_init(&(*out)->extents);
  return 0;
}

int mdcudfsr_cache_free_udf_data(mdcudfsr_udf_data** ref) {
  if (!ref || !*ref) return 0;
  mdcudfsr_udf_data* d = *ref;
  cache_free(d->udf_name, static_cast<uint32_t>(d->udf_name_len));
  d->udf_name = nullptr;
  free_fid_and_extents(d);
  destroy(d);
  *ref = nullptr;
  return 0;
}

int mdcudfsr_cache_alloc_vfam_data(mdcudfsr_mount* mnt, mdcudfsr_cache_node* n) {
  if (!mnt) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (!n) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp");
    return KEL_EINVAL;
  }
  if (n->vfam_data) return 0;
  n->vfam_data = make_zeroed<mdcudfsr_vfam_data>();
  if (!n->vfam_data) {
    CACHE_LOG(ERR, "can't allocate udf_data\n");
    return KEL_ENOMEM;
  }
  return 0;
}

int mdcudfsr_cache_free_vfam_data(mdcudfsr_cache_node* n) {
  if (!n) return 0;
  destroy(n->vfam_data);
  n->vfam_data = nullptr;
  return 0;
}

uint32_t mdcudfsr_cache_decide_node_location(mdcudfsr_mount* mnt, mdcudfsr_cache_node* parent) {
  if (!parent) return 0;
  if (mnt && parent == mnt->root_node) return MDCUDFSR_NODE_ATTR_LOCATION_ROOT;
  return parent->attributes & MDCUDFSR_NODE_ATTR_LOCATION_MASK;
}

void mdcudfsr_cache_free_parity_info(mdcudfsr_parity_info** info) {
  if (!info || !*info) return;
  mdcudfsr_free_aed_info((*info)->aed_info);
  (*info)->aed_info = nullptr;
  mdcudfsr_extent_list_free(&(*info)->extents);
  destroy(*info);
  *info = nullptr;
}

// ---------------------------------------------------------------- sweep

namespace {

bool in_avl_all_list(const mdcudfsr_cache_node* dir, const mdcudfsr_cache_node* n) {
  return n->alist.prev || n->alist.next || dir->avl_all_list.first == n;
}
bool in_uniqueid_list(const mdcudfsr_cache_node* dir, const mdcudfsr_cache_node* n) {
  return n->uid_prev || n->uid_next || dir->uid_first == n;
}

// Takes a node that no longer stands in the name tree out of its parent's
// unique-id index and list, so that nothing reaches it after its release.
void leave_uid_index(mdcudfsr_cache_node* n) {
  mdcudfsr_cache_node* dir = mdcudfsr_parent(n);
  if (!dir) return;
  if (in_avl_all_list(dir, n)) dir->uid_root = mdcudfsr_avl_delete(dir, dir->uid_root, n, n->uid_key);
  if (in_uniqueid_list(dir, n)) mdcudfsr_remove_list_by_unique_id(dir, n);
}

bool sweepable(const mdcudfsr_cache_node* n) {
  if (!mdcudfsr_is_inactive(n)) return false;
  if (!n->vp) return true;
  return n->kind == MDCUDFSR_NODE_PROXY && n->mdcudfsrmp && n->mdcudfsrmp->medium_type == 0xF2;
}

void sweep_inactive_list(mdcudfsr_cache_node* dir) {
  mdcudfsr_cache_node* c = dir->inactive_list.first;
  while (c) {
    mdcudfsr_cache_node* next = c->inactive_entry.next;
    // Only the nodes freed here leave the list; a bound node waits for the
    // reclaim of its vnode and a later sweep.
    if (!c->vp && mdcudfsr_is_inactive(c)) {
      list_remove(&dir->inactive_list, c, &mdcudfsr_cache_node::inactive_entry);
      leave_uid_index(c);
      mdcudfsr_cache_free_node(c);
    }
    c = next;
  }
  if (dir->inactive_list.first) CACHE_LOG(WARN, "not empty for inactive_list\n");
}

}  // namespace

int mdcudfsr_cache_clean_up_inactive_node(mdcudfsr_cache_node* n) {
  if (!n) return KEL_EINVAL;
  if (mdcudfsr_is_dir(n)) {
    sweep_inactive_list(n);
    for (mdcudfsr_cache_node* c = n->children.first; c;) {
      mdcudfsr_cache_node* next = c->sibling.next;
      mdcudfsr_cache_clean_up_inactive_node(c);
      c = next;
    }
    if (n->children.first) {
      if (mdcudfsr_is_inactive(n)) CACHE_LOG(WARN, "Inactive, but not free %s vp=%x\n", name_of(n),
                                             static_cast<unsigned>(reinterpret_cast<uintptr_t>(n->vp)));
      return 0;
    }
  }
  if (!sweepable(n)) return 0;
  const int err = mdcudfsr_cache_detach_node(mdcudfsr_parent(n), n);
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  leave_uid_index(n);
  mdcudfsr_cache_free_node(n);
  return 0;
}

// ---------------------------------------------------------------- dump

namespace {

// One blank, then 35 times two blanks and a bar.
const char* guide() {
  static const std::string text = [] {
    std::string t = " ";
    for (int i = 0; i < 35; ++i) t += "  |";
    return t;
  }();
  return text.c_str();
}

void dump_one(mdcudfsr_cache_node* n, int depth) {
  const int g = 3 * depth;
  const char mark = mdcudfsr_is_dir(n) ? '|' : ' ';
  CACHE_LOG(DEBG, "%.*s+--o %s [addr=%p]\n", g, guide(), name_of(n), static_cast<void*>(n));
  CACHE_LOG(DEBG, "%.*s %c {\n", g + 2, guide(), mark);
  CACHE_LOG(DEBG, "%.*s %c mdcudfsrmp=%p vp=%p objid=%llu parent=%p\n", g + 2, guide(), mark,
            static_cast<void*>(n->mdcudfsrmp), static_cast<void*>(n->vp), static_cast<unsigned long long>(n->objid),
            static_cast<void*>(n->parent));
  CACHE_LOG(DEBG, "%.*s %c file_char=%02x file_flags=%08x attributes=%08x status=%u\n", g + 2, guide(), mark,
            n->file_char, n->file_flags, n->attributes, n->status);
  CACHE_LOG(DEBG, "%.*s %c cache_flags=%08x cache_dirty=%02x\n", g + 2, guide(), mark, n->cache_flags,
            n->cache_dirty);
  if ((n->kind == MDCUDFSR_NODE_UDF || n->kind == MDCUDFSR_NODE_PROXY) && n->udf_data)
    CACHE_LOG(DEBG, "%.*s %c udf_data { efe_loc=%u aed_info=%p }\n", g + 2, guide(), mark, n->udf_data->efe_loc,
              static_cast<void*>(n->udf_data->aed_info));
  if (n->kind == MDCUDFSR_NODE_MASTER && n->vfam_data)
    CACHE_LOG(DEBG, "%.*s %c vfam_data(Virtual) { perm=%o uid=%u gid=%u file_size=%lld }\n", g + 2, guide(), mark,
              n->vfam_data->perm, n->vfam_data->uid, n->vfam_data->gid,
              static_cast<long long>(n->vfam_data->file_size));
  CACHE_LOG(DEBG, "%.*s %c }\n", g + 2, guide(), mark);
}

}  // namespace

void mdcudfsr_cache_dump(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, int depth) {
  if (!node) {
    CACHE_LOG(DEBG, "----------------dump cache------------------\n");
    node = mnt ? mnt->root_node : nullptr;
    if (!node) return;
  }
  if (depth > 34) depth = 34;
  dump_one(node, depth);
  if (mdcudfsr_is_dir(node))
    for (mdcudfsr_cache_node* c = node->children.first; c; c = c->sibling.next) mdcudfsr_cache_dump(mnt, c, depth + 1);
}

void mdcudfsr_cache_node_debug(mdcudfsr_cache_node* n) {
  if (!n) {
    CACHE_LOG(INFO, "Cache Node Debug: null ptr\n");
    return;
  }
  if (!CheckLogLevel(KEL_LOG_INFO)) return;
  CACHE_LOG(INFO, "recorded_length=%llu (bytes)\n", static_cast<unsigned long long>(n->recorded_length));
  if (n->kind == MDCUDFSR_NODE_UDF && n->udf_data) {
    mdcudfsr_extended_file_entry_debug(&n->udf_data->efe);
    mdcudfsr_extent_list_debug(&n->udf_data->extents);
  }
}

// ---------------------------------------------------------------- extents

int64_t mdcudfsr_cache_extent_offset(mdcudfsr_cache_node* n, const mdcudfsr_extent_entry* entry) {
  if (!n || !n->udf_data || !n->udf_data->extents.first) return -1;
  int64_t offset = 0;
  for (const mdcudfsr_extent_entry* e = n->udf_data->extents.first; e; e = e->next) {
    if (e == entry) return offset;
    offset += EXTENT_LENGTH(e->extent.len);
  }
  return -1;
}

uint32_t mdcudfsr_cache_count_extents(mdcudfsr_cache_node* n) {
  if (!n || !n->udf_data) return 0;
  return mdcudfsr_extent_list_get_count(&n->udf_data->extents);
}

mdcudfsr_extent_entry* mdcudfsr_cache_nth_extent(mdcudfsr_cache_node* n, int count) {
  if (!n || !n->udf_data || !n->udf_data->extents.first) return nullptr;
  mdcudfsr_extent_entry* e = n->udf_data->extents.first;
  for (int i = 0; i < count && e->next; ++i) e = e->next;
  return e;
}

namespace kelcache {
void release_children_of(mdcudfsr_cache_node* dir) { release_children(dir); }
}  // namespace kelcache
