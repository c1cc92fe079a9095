// The two indexes of a directory: AVL trees by unique id and by name whose
// links live inside the child nodes, with their ordered lists, the
// parent/child operations on them, child counts and tree walks.
#include "cache_internal.h"
#include "kelhost/kern_errno.h"

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace kelcache;

namespace {

// The fields of one of the two trees.
struct UidTree {
  using Key = uint64_t;
  static mdcudfsr_cache_node*& left(mdcudfsr_cache_node* n) { return n->uid_left; }
  static mdcudfsr_cache_node*& right(mdcudfsr_cache_node* n) { return n->uid_right; }
  static int32_t& height(mdcudfsr_cache_node* n) { return n->uid_height; }
  static uint8_t& dir(mdcudfsr_cache_node* n) { return n->uid_dir; }
  static Key key(const mdcudfsr_cache_node* n) { return n->uid_key; }
  static int cmp(Key a, Key b) { return a < b ? -1 : (a > b ? 1 : 0); }
  static constexpr Link path_link = &mdcudfsr_cache_node::nlist;
};
struct NameTree {
  using Key = const char*;
  static mdcudfsr_cache_node*& left(mdcudfsr_cache_node* n) { return n->name_left; }
  static mdcudfsr_cache_node*& right(mdcudfsr_cache_node* n) { return n->name_right; }
  static int32_t& height(mdcudfsr_cache_node* n) { return n->name_height; }
  static uint8_t& dir(mdcudfsr_cache_node* n) { return n->name_dir; }
  static Key key(const mdcudfsr_cache_node* n) { return n->name_key ? n->name_key : ""; }
  static int cmp(Key a, Key b) { return mdcudfsr_name_cmp(a, b); }
  static constexpr Link path_link = &mdcudfsr_cache_node::name_nlist;
};

template <class T>
int height_of(mdcudfsr_cache_node* n) {
  return n ? T::height(n) : 0;
}
template <class T>
int balance_of(mdcudfsr_cache_node* n) {
  return n ? height_of<T>(T::left(n)) - height_of<T>(T::right(n)) : 0;
}
template <class T>
void fix_height(mdcudfsr_cache_node* n) {
  T::height(n) = 1 + std::max(height_of<T>(T::left(n)), height_of<T>(T::right(n)));
}
template <class T>
void push(mdcudfsr_list* path, mdcudfsr_cache_node* n, uint8_t direction) {
  T::dir(n) = direction;
  list_insert_tail(path, n, T::path_link);
}
template <class T>
mdcudfsr_cache_node* pop(mdcudfsr_list* path) {
  mdcudfsr_cache_node* n = path->last;
  if (n) list_remove(path, n, T::path_link);
  return n;
}
template <class T>
mdcudfsr_cache_node* rotate_right(mdcudfsr_cache_node* p) {
  mdcudfsr_cache_node* c = T::left(p);
  T::left(p) = T::right(c);
  T::right(c) = p;
  fix_height<T>(p);
  fix_height<T>(c);
  return c;
}
template <class T>
mdcudfsr_cache_node* rotate_left(mdcudfsr_cache_node* p) {
  mdcudfsr_cache_node* c = T::right(p);
  T::right(p) = T::left(c);
  T::left(c) = p;
  fix_height<T>(p);
  fix_height<T>(c);
  return c;
}
// Hangs a subtree where the path's last node says (or makes it the root).
template <class T>
void hang(mdcudfsr_cache_node** root, mdcudfsr_list* path, mdcudfsr_cache_node* sub) {
  mdcudfsr_cache_node* p = path->last;
  if (!p) *root = sub;
  else if (T::dir(p) == 0) T::left(p) = sub;
  else T::right(p) = sub;
}

template <class T>
mdcudfsr_cache_node* rebalance(mdcudfsr_cache_node* root, mdcudfsr_list* path) {
  while (mdcudfsr_cache_node* p = pop<T>(path)) {
    const int h = 1 + std::max(height_of<T>(T::left(p)), height_of<T>(T::right(p)));
    const int b = balance_of<T>(p);
    if (h == T::height(p) && b >= -1 && b <= 1) {
      while (pop<T>(path)) {
      }
      return root;
    }
    mdcudfsr_cache_node* sub;
    if (b > 1) {
      if (balance_of<T>(T::left(p)) < 0) T::left(p) = rotate_left<T>(T::left(p));
      sub = rotate_right<T>(p);
    } else if (b < -1) {
      if (balance_of<T>(T::right(p)) > 0) T::right(p) = rotate_right<T>(T::right(p));
      sub = rotate_left<T>(p);
    } else {
      T::height(p) = h;
      continue;
    }
    if (!path->last) return sub;
    hang<T>(&root, path, sub);
  }
  return root;
}

template <class T>
mdcudfsr_cache_node* search(mdcudfsr_cache_node* root, typename T::Key key, mdcudfsr_list* path,
                            mdcudfsr_cache_node** next_greater) {
  mdcudfsr_cache_node* above = nullptr;
  for (mdcudfsr_cache_node* p = root; p;) {
    const int c = T::cmp(key, T::key(p));
    if (c == 0) return p;
    if (path) push<T>(path, p, c < 0 ? 0 : 1);
    if (c < 0) above = p;
    p = c < 0 ? T::left(p) : T::right(p);
  }
  if (next_greater) *next_greater = above;
  return nullptr;
}

template <class T>
mdcudfsr_cache_node* search_min(mdcudfsr_cache_node* p, mdcudfsr_list* path) {
  if (!p) return nullptr;
  while (T::left(p)) {
    if (path) push<T>(path, p, 0);
    p = T::left(p);
  }
  return p;
}

// Attaches a leaf; nullptr when the key is present (that node is in *found).
template <class T>
mdcudfsr_cache_node* attach(mdcudfsr_cache_node* root, mdcudfsr_cache_node* n, mdcudfsr_cache_node** parent,
                            mdcudfsr_cache_node** found) {
  mdcudfsr_list path;
  *found = search<T>(root, T::key(n), &path, nullptr);
  if (*found) {
    while (pop<T>(&path)) {
    }
    return nullptr;
  }
  *parent = path.last;
  if (T::dir(*parent) == 0) T::left(*parent) = n;
  else T::right(*parent) = n;
  return rebalance<T>(root, &path);
}

template <class T>
void reset_links(mdcudfsr_cache_node* n) {
  T::left(n) = T::right(n) = nullptr;
  T::height(n) = 1;
}

// Removes `f` from the tree; `path` holds the way from the root to its parent.
template <class T>
mdcudfsr_cache_node* remove_found(mdcudfsr_cache_node* root, mdcudfsr_cache_node* f, mdcudfsr_list* path) {
  if (!T::left(f) || !T::right(f)) {
    mdcudfsr_cache_node* child = T::left(f) ? T::left(f) : T::right(f);
    hang<T>(&root, path, child);
    root = path->last ? rebalance<T>(root, path) : child;
    reset_links<T>(f);
    return root;
  }
  mdcudfsr_list second;
  mdcudfsr_cache_node* s = search_min<T>(T::right(f), &second);
  if (s != T::right(f)) {
    T::left(second.last) = T::right(s);
    T::right(s) = T::right(f);
  }
  T::left(s) = T::left(f);
  T::height(s) = T::height(f);
  hang<T>(&root, path, s);
  push<T>(path, s, 1);
  while (mdcudfsr_cache_node* p = second.first) {
    list_remove(&second, p, T::path_link);
    push<T>(path, p, 0);
  }
  reset_links<T>(f);
  return rebalance<T>(root, path);
}

uint64_t count_children(const mdcudfsr_list& list, Link link, bool skip_streams) {
  uint64_t n = 0;
  for (mdcudfsr_cache_node* c = list.first; c; c = (c->*link).next)
    if (!mdcudfsr_is_inactive(c) && !(skip_streams && c->stream_owner)) ++n;
  return n;
}

}  // namespace

// ---------------------------------------------------------------- unique-id tree

mdcudfsr_cache_node* mdcudfsr_avl_insert(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root,
                                         mdcudfsr_cache_node* n, uint64_t key, int clear) {
  n->uid_key = key;
  reset_links<UidTree>(n);
  if (clear) n->uid_root = nullptr;
  if (!root) {
    mdcudfsr_avl_add_alllist(dir, n);
    return n;
  }
  mdcudfsr_cache_node *parent = nullptr, *found = nullptr;
  mdcudfsr_cache_node* new_root = attach<UidTree>(root, n, &parent, &found);
  if (found) {
    CACHE_LOG(WARN, "Insert node is Duplicate. name=%s unique_id:%08llX\n", name_of(found),
              static_cast<unsigned long long>(key));
    mdcudfsr_avl_add_alllist(dir, n);
    return root;
  }
  if (parent->uid_left == n)
    CACHE_LOG(INFO, "insert left[%s] child[%s] unique_id:%08llX\n", name_of(parent), name_of(n),
              static_cast<unsigned long long>(key));
  else
    CACHE_LOG(INFO, "insert right[%s] child=[%s] unique_id:%08llX\n", name_of(parent), name_of(n),
              static_cast<unsigned long long>(key));
  mdcudfsr_avl_add_alllist(dir, n);
  return new_root;
}

mdcudfsr_cache_node* mdcudfsr_avl_delete(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root,
                                         mdcudfsr_cache_node* n, uint64_t key) {
  if (!root) {
    CACHE_LOG(ERR, "root node is null.\n");
    return nullptr;
  }
  mdcudfsr_list path;
  mdcudfsr_cache_node* f = search<UidTree>(root, key, &path, nullptr);
  if (!f || !n) {
    while (pop<UidTree>(&path)) {
    }
    CACHE_LOG(ERR, "target Unique ID is not found. unique_id=%lld\n", static_cast<long long>(key));
    return root;
  }
  // Equal keys stand side by side in the list: a duplicate left there takes
  // the removed node's place in the tree.
  mdcudfsr_cache_node* dup = nullptr;
  if (n->alist.prev && n->alist.prev->uid_key == key) dup = n->alist.prev;
  else if (n->alist.next && n->alist.next->uid_key == key) dup = n->alist.next;
  mdcudfsr_avl_pop_alllist(dir, n);
  if (f != n) {
    // `n` is a duplicate that stands only in the list.
    while (pop<UidTree>(&path)) {
    }
    return root;
  }
  root = remove_found<UidTree>(root, f, &path);
  if (!dup) return root;
  reset_links<UidTree>(dup);
  if (!root) return dup;
  mdcudfsr_cache_node *parent = nullptr, *found = nullptr;
  return attach<UidTree>(root, dup, &parent, &found);
}

mdcudfsr_cache_node* mdcudfsr_avl_search(mdcudfsr_cache_node* root, uint64_t key, int next, mdcudfsr_list* path) {
  if (!root) {
    CACHE_LOG(INFO, "root is null. not found \n");
    return nullptr;
  }
  mdcudfsr_list local;
  mdcudfsr_list* p = path ? path : &local;
  mdcudfsr_cache_node* above = nullptr;
  mdcudfsr_cache_node* f = search<UidTree>(root, key, p, &above);
  if (!path)
    while (pop<UidTree>(&local)) {
    }
  if (f) return f;
  return next ? above : nullptr;
}

mdcudfsr_cache_node* mdcudfsr_avl_search_min(mdcudfsr_cache_node* subtree, mdcudfsr_list* path) {
  return search_min<UidTree>(subtree, path);
}

int mdcudfsr_avl_check_search(mdcudfsr_cache_node* root, uint64_t key) {
  return search<UidTree>(root, key, nullptr, nullptr) ? 1 : 0;
}

void mdcudfsr_avl_add_alllist(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  mdcudfsr_cache_node* p = dir->avl_all_list.last;
  while (p && p->uid_key >= n->uid_key) p = p->alist.prev;
  if (p) list_insert_after(&dir->avl_all_list, p, n, &mdcudfsr_cache_node::alist);
  else list_insert_head(&dir->avl_all_list, n, &mdcudfsr_cache_node::alist);
}

void mdcudfsr_avl_pop_alllist(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  if (list_contains(&dir->avl_all_list, n, &mdcudfsr_cache_node::alist))
    list_remove(&dir->avl_all_list, n, &mdcudfsr_cache_node::alist);
}

void mdcudfsr_avl_add_nlist(mdcudfsr_list* path, mdcudfsr_cache_node* n, uint8_t direction) {
  push<UidTree>(path, n, direction);
}
mdcudfsr_cache_node* mdcudfsr_avl_pop_nlist(mdcudfsr_list* path) { return pop<UidTree>(path); }
int mdcudfsr_avl_get_height(const mdcudfsr_cache_node* n) {
  return height_of<UidTree>(const_cast<mdcudfsr_cache_node*>(n));
}
int mdcudfsr_avl_get_balance(const mdcudfsr_cache_node* n) {
  return balance_of<UidTree>(const_cast<mdcudfsr_cache_node*>(n));
}
int mdcudfsr_avl_balance_of(const mdcudfsr_cache_node* n) { return mdcudfsr_avl_get_balance(n); }
mdcudfsr_cache_node* mdcudfsr_avl_rotate_right(mdcudfsr_cache_node* n) { return rotate_right<UidTree>(n); }
mdcudfsr_cache_node* mdcudfsr_avl_rotate_left(mdcudfsr_cache_node* n) { return rotate_left<UidTree>(n); }
mdcudfsr_cache_node* mdcudfsr_avl_balance(mdcudfsr_cache_node* root, mdcudfsr_list* path) {
  return rebalance<UidTree>(root, path);
}

// ---------------------------------------------------------------- name tree

int mdcudfsr_name_cmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    const unsigned la = (ca >= 'A' && ca <= 'Z') ? ca + 32 : ca;
    const unsigned lb = (cb >= 'A' && cb <= 'Z') ? cb + 32 : cb;
    if (la != lb) return la < lb ? -1 : 1;
    if (!ca) return 0;
  }
}

mdcudfsr_cache_node* mdcudfsr_name_avl_insert(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root,
                                              mdcudfsr_cache_node* n, const char* name, int clear) {
  n->name_key = name;
  reset_links<NameTree>(n);
  if (clear) n->name_root = nullptr;
  mdcudfsr_children_insert_tail(dir, n);
  if (!root) return n;
  mdcudfsr_cache_node *parent = nullptr, *found = nullptr;
  mdcudfsr_cache_node* new_root = attach<NameTree>(root, n, &parent, &found);
  if (found) {
    CACHE_LOG(WARN, "Insert node is AVL root. name=%s insert_name:%s\n", name_of(found), name);
    return root;
  }
  if (parent->name_left == n)
    CACHE_LOG(INFO, "insert name:%s left[%s] child[%s] \n", name, name_of(parent), name_of(n));
  else
    CACHE_LOG(INFO, "insert name:%s right[%s] child[%s] \n", name, name_of(parent), name_of(n));
  return new_root;
}

int mdcudfsr_name_avl_delete(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* root, mdcudfsr_cache_node* target,
                             const char* name, mdcudfsr_cache_node** new_root) {
  if (!root) {
    CACHE_LOG(ERR, "root node is null.\n");
    *new_root = nullptr;
    return KEL_EINVAL;
  }
  mdcudfsr_list path;
  mdcudfsr_cache_node* f = search<NameTree>(root, name ? name : "", &path, nullptr);
  if (!f || f != target) {
    while (pop<NameTree>(&path)) {
    }
    if (!f) CACHE_LOG(ERR, "target name is not found. name:%s\n", name ? name : "");
    else CACHE_LOG(ERR, "target node is not found. target:%p search:%p\n", static_cast<void*>(target),
                   static_cast<void*>(f));
    *new_root = root;
    return KEL_ENOENT;
  }
  mdcudfsr_children_remove(dir, target);
  *new_root = remove_found<NameTree>(root, f, &path);
  return 0;
}

mdcudfsr_cache_node* mdcudfsr_name_avl_search(mdcudfsr_cache_node* root, const char* name, mdcudfsr_list* path) {
  if (!root) {
    CACHE_LOG(INFO, "root is null. not found \n");
    return nullptr;
  }
  mdcudfsr_list local;
  mdcudfsr_cache_node* f = search<NameTree>(root, name, path ? path : &local, nullptr);
  while (!path && pop<NameTree>(&local)) {
  }
  return f;
}

mdcudfsr_cache_node* mdcudfsr_name_avl_search_min(mdcudfsr_cache_node* subtree, mdcudfsr_list* path) {
  return search_min<NameTree>(subtree, path);
}

int mdcudfsr_name_avl_check_search(mdcudfsr_cache_node* root, const char* name) {
  mdcudfsr_cache_node* f = search<NameTree>(root, name, nullptr, nullptr);
  if (!f) return 0;
  if (!mdcudfsr_is_inactive(f)) return 1;
  if (mdcudfsr_debug_level_check(3, 0, 24))
    CACHE_LOG(WARN, "(tid=%08x) %s:%d non-unique filename but inactive (%s, %s)\n", tid32(), __func__, __LINE__,
              name_of(f), name);
  return 0;
}

void mdcudfsr_avl_add_name_nlist(mdcudfsr_list* path, mdcudfsr_cache_node* n, uint8_t direction) {
  push<NameTree>(path, n, direction);
}
mdcudfsr_cache_node* mdcudfsr_avl_pop_name_nlist(mdcudfsr_list* path) { return pop<NameTree>(path); }
int mdcudfsr_name_avl_get_height(const mdcudfsr_cache_node* n) {
  return height_of<NameTree>(const_cast<mdcudfsr_cache_node*>(n));
}
int mdcudfsr_name_avl_get_balance(const mdcudfsr_cache_node* n) {
  return balance_of<NameTree>(const_cast<mdcudfsr_cache_node*>(n));
}
mdcudfsr_cache_node* mdcudfsr_name_avl_rotate_right(mdcudfsr_cache_node* n) { return rotate_right<NameTree>(n); }
mdcudfsr_cache_node* mdcudfsr_name_avl_rotate_left(mdcudfsr_cache_node* n) { return rotate_left<NameTree>(n); }
mdcudfsr_cache_node* mdcudfsr_name_avl_balance(mdcudfsr_cache_node* root, mdcudfsr_list* path) {
  return rebalance<NameTree>(root, path);
}

void mdcudfsr_children_insert_tail(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  list_insert_tail(&dir->children, n, &mdcudfsr_cache_node::sibling);
}
void mdcudfsr_children_remove(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  if (list_contains(&dir->children, n, &mdcudfsr_cache_node::sibling))
    list_remove(&dir->children, n, &mdcudfsr_cache_node::sibling);
}

// ---------------------------------------------------------------- displays

namespace {

const char* dashes(int depth) {
  static const char text[] = "------------------------------------------------------------------------------------";
  const int n = std::min<int>(2 * depth, sizeof text - 1);
  return text + (sizeof text - 1 - n);
}

}  // namespace

void mdcudfsr_avl_display_tree(mdcudfsr_cache_node* n, int depth) {
  if (!n) return;
  mdcudfsr_avl_display_tree(n->uid_left, depth + 1);
  char key[32];
  std::snprintf(key, sizeof key, "%s%08llX", dashes(depth), static_cast<unsigned long long>(n->uid_key));
  if (n->uid_left || n->uid_right) CACHE_LOGK(NOTI, "%s [%s]\n", key, name_of(n));
  else CACHE_LOGK(NOTI, "%s leaf[%s]\n", key, name_of(n));
  mdcudfsr_avl_display_tree(n->uid_right, depth + 1);
}

void mdcudfsr_avl_display_balance(mdcudfsr_cache_node* dir) {
  for (mdcudfsr_cache_node* c = dir->avl_all_list.first; c; c = c->alist.next)
    CACHE_LOGK(NOTI, "balance=%d name:%llX\n", mdcudfsr_avl_get_balance(c), static_cast<unsigned long long>(c->uid_key));
}

void mdcudfsr_name_avl_display_tree(mdcudfsr_cache_node* n, int depth) {
  if (!n) return;
  mdcudfsr_name_avl_display_tree(n->name_left, depth + 1);
  if (n->name_left || n->name_right) CACHE_LOGK(NOTI, "%s%s\n", dashes(depth), name_of(n));
  else CACHE_LOGK(NOTI, "%s%s leaf\n", dashes(depth), name_of(n));
  mdcudfsr_name_avl_display_tree(n->name_right, depth + 1);
}

void mdcudfsr_name_avl_display_balance(mdcudfsr_cache_node* dir) {
  for (mdcudfsr_cache_node* c = dir->children.first; c; c = c->sibling.next)
    CACHE_LOGK(NOTI, "balance=%d name:%s\n", mdcudfsr_name_avl_get_balance(c), name_of(c));
}

// ---------------------------------------------------------------- parent and child

int mdcudfsr_cache_add_child(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* n, int count, int clear) {
  mdcudfsr_mount* m = n ? n->mdcudfsrmp : nullptr;
  if (!m || !parent) {
    CACHE_LOGK(ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  n->parent = parent;
  std::unique_lock<std::mutex> lk(m->cache_mutex);
  mdcudfsr_cache_node* old = mdcudfsr_name_avl_search(parent->name_root, mdcudfsr_node_name(n), nullptr);
  if (old && !mdcudfsr_is_inactive(old)) {
    CACHE_LOG(WARN, "already exist. add name=%s\n", name_of(n));
    return KEL_EEXIST;
  }
  if (old) {
    CACHE_LOG(INFO, "already exist but inactive node %s\n", name_of(old));
    mdcudfsr_cache_node* root = nullptr;
    const int err = mdcudfsr_name_avl_delete(parent, parent->name_root, old, old->name_key, &root);
    if (err) {
      CACHE_LOG(ERR, "avl delete err err:%d\n", err);
      return err;
    }
    parent->name_root = root;
    list_insert_tail(&parent->inactive_list, old, &mdcudfsr_cache_node::inactive_entry);
  }
  parent->name_root = mdcudfsr_name_avl_insert(parent, parent->name_root, n, mdcudfsr_node_name(n), clear);
  lk.unlock();
  if (count && n->kind == MDCUDFSR_NODE_UDF) atomicInc32Gnrc(mdcudfsr_is_dir(n) ? &m->ndirs : &m->nfiles);
  return 0;
}

int mdcudfsr_cache_detach_node(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* n) {
  int err = 0;
  if (!mdcudfsr_is_inactive(n)) err = KEL_EBUSY;
  else if (mdcudfsr_is_dir(n) && n->children.first) err = KEL_ENOTEMPTY;
  if (err) {
    CACHE_LOG(INFO, "err=%d", err);
    return err;
  }
  if (!parent || !n->mdcudfsrmp) return 0;
  std::lock_guard<std::mutex> lk(n->mdcudfsrmp->cache_mutex);
  // A node already out of the name tree (moved to inactive_list) has nothing to leave.
  if (!list_contains(&parent->children, n, &mdcudfsr_cache_node::sibling)) return 0;
  mdcudfsr_cache_node* root = nullptr;
  err = mdcudfsr_name_avl_delete(parent, parent->name_root, n, n->name_key, &root);
  if (err) return err;
  parent->name_root = root;
  return 0;
}

uint64_t mdcudfsr_cache_nchildren(mdcudfsr_cache_node* dir) {
  const uint64_t n = count_children(dir->children, &mdcudfsr_cache_node::sibling, true);
  CACHE_LOG(INFO, "nchildren=%llu", static_cast<unsigned long long>(n));
  return n;
}

uint64_t mdcudfsr_cache_nchildren_uniqueid(mdcudfsr_cache_node* dir) {
  uint64_t n = 0;
  for (mdcudfsr_cache_node* c = uid_first(dir); c; c = uid_next(c))
    if (!mdcudfsr_is_inactive(c)) ++n;
  CACHE_LOG(INFO, "nchildren=%llu", static_cast<unsigned long long>(n));
  return n;
}

mdcudfsr_cache_node* mdcudfsr_cache_find_node_in_tree(mdcudfsr_cache_node* n, uint64_t unique_id) {
  if (!n) return nullptr;
  if (!n->stream_owner && n->udf_data && n->udf_data->efe.unique_id == unique_id) return n;
  if (!mdcudfsr_is_dir(n)) return nullptr;
  for (mdcudfsr_cache_node* c = n->children.first; c; c = c->sibling.next)
    if (mdcudfsr_cache_node* hit = mdcudfsr_cache_find_node_in_tree(c, unique_id)) return hit;
  return nullptr;
}

mdcudfsr_cache_node* mdcudfsr_cache_get_next_node(mdcudfsr_mount*, mdcudfsr_cache_node* n, mdcudfsr_cache_node* top,
                                                  int descend) {
  if (!top || !n) {
    CACHE_LOG(ERR, "mdcudfsr_cache_get_next_node error. Value is %p\n", static_cast<void*>(top));
    return nullptr;
  }
  if (descend && mdcudfsr_is_dir(n) && n->uid_first) return uid_first(n);
  for (mdcudfsr_cache_node* cur = n; cur && cur != top; cur = mdcudfsr_parent(cur)) {
    if (mdcudfsr_cache_node* next = uid_next(cur)) return next == top ? nullptr : next;
  }
  return nullptr;
}
