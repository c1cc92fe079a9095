#include "kelhost/vnode.h"

#include "kelhost/kern.h"
#include "kelhost/log.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#define TREE_LOG(fn, level, ...) KEL_LOG_AS(fn, level, KEL_MOD_FUSE, KEL_MARK_NOTE, __VA_ARGS__)
#define INVALID_ARG(fn) TREE_LOG(fn, KEL_LOG_ERR, "Invalid argument")

vnodeop_desc vnop_default_desc, vnop_blktooff_desc, vnop_blockmap_desc, vnop_close_desc,
    vnop_create_desc, vnop_fsync_desc, vnop_getattr_desc, vnop_inactive_desc, vnop_ioctl_desc,
    vnop_lookup_desc, vnop_mkdir_desc, vnop_offtoblk_desc, vnop_open_desc, vnop_pagein_desc,
    vnop_pageout_desc, vnop_pathconf_desc, vnop_read_desc, vnop_readdir_desc, vnop_readlink_desc,
    vnop_reclaim_desc, vnop_remove_desc, vnop_rename_desc, vnop_rmdir_desc, vnop_setattr_desc,
    vnop_statfs_desc, vnop_strategy_desc, vnop_symlink_desc, vnop_write_desc;

KelResolvedVnops kel_vnops{};

namespace {

struct ResolvePair {
  vnodeop_desc* desc;
  vnop_handler_t KelResolvedVnops::*pointer;
};

// The 19 operations in resolve order.
constexpr ResolvePair kResolveList[] = {
    {&vnop_setattr_desc, &KelResolvedVnops::setattr},   {&vnop_getattr_desc, &KelResolvedVnops::getattr},
    {&vnop_mkdir_desc, &KelResolvedVnops::mkdir},       {&vnop_readdir_desc, &KelResolvedVnops::readdir},
    {&vnop_open_desc, &KelResolvedVnops::open},         {&vnop_create_desc, &KelResolvedVnops::create},
    {&vnop_close_desc, &KelResolvedVnops::close},       {&vnop_read_desc, &KelResolvedVnops::read},
    {&vnop_write_desc, &KelResolvedVnops::write},       {&vnop_lookup_desc, &KelResolvedVnops::lookup},
    {&vnop_rename_desc, &KelResolvedVnops::rename},     {&vnop_remove_desc, &KelResolvedVnops::remove},
    {&vnop_rmdir_desc, &KelResolvedVnops::rmdir},       {&vnop_fsync_desc, &KelResolvedVnops::fsync},
    {&vnop_ioctl_desc, &KelResolvedVnops::ioctl},       {&vnop_blockmap_desc, &KelResolvedVnops::blockmap},
    {&vnop_inactive_desc, &KelResolvedVnops::inactive}, {&vnop_reclaim_desc, &KelResolvedVnops::reclaim},
    {&vnop_statfs_desc, &KelResolvedVnops::statfs},
};
static_assert(sizeof(kResolveList) / sizeof(kResolveList[0]) == 19);

vnop_handler_t find_handler(const vnodeopv_entry_desc* vector, const vnodeop_desc* desc) {
  if (vector == nullptr) return nullptr;
  for (const vnodeopv_entry_desc* e = vector; e->opve_op != nullptr; ++e)
    if (e->opve_op == desc) return e->opve_impl;
  return nullptr;
}

}  // namespace

void kel_resolve_vnode_operations(const vnodeopv_entry_desc* vector, KelResolvedVnops* out) {
  for (const ResolvePair& p : kResolveList) out->*p.pointer = find_handler(vector, p.desc);
}

namespace {

// The tree mutex. Recursive, because an Entry that dies inside a locked
// stretch clears its vnode's back link under the same mutex.
std::recursive_mutex g_tree_mutex;
using TreeLock = std::lock_guard<std::recursive_mutex>;
EntryPtr g_root;
// Entries that could not be placed in the tree, per mount: each owns its
// vnode until the engine recycles it or the tree is replaced.
std::unordered_map<mount*, std::vector<EntryPtr>> g_unplaced;
// Entries of recycled vnodes, out of the tree: each keeps its vnode (and the
// entries below it) until the engine reclaims the vnode or the tree is
// replaced.
std::unordered_map<const vnode*, EntryPtr> g_recycled;

void keep_recycled(EntryPtr e) {
  if (e && e->vn) g_recycled[e->vn.get()] = std::move(e);
}

void keep_unplaced(const EntryPtr& e) {
  g_unplaced[e->vn ? e->vn->v_mount : nullptr].push_back(e);
}

// Takes e out of the unplaced lists; the caller drops it after unlocking.
EntryPtr take_unplaced(const Entry* e) {
  for (auto& [mp, list] : g_unplaced) {
    auto it = std::find_if(list.begin(), list.end(), [e](const EntryPtr& p) { return p.get() == e; });
    if (it != list.end()) {
      EntryPtr taken = std::move(*it);
      list.erase(it);
      return taken;
    }
  }
  return nullptr;
}

EntryPtr child_of(const EntryPtr& folder, const std::string& name) {
  auto it = folder->children.find(name);
  return it == folder->children.end() ? nullptr : it->second;
}

EntryPtr find_entry_locked(EntryPtr start, PathParser& parser) {
  if (!start) {
    INVALID_ARG("std::shared_ptr<Entry> find_entry(std::shared_ptr<Entry>, PathParser&)");
    return nullptr;
  }
  EntryPtr current = std::move(start);
  while (!parser.done()) {
    EntryPtr child = child_of(current, parser.component());
    if (!child) break;
    parser.advance();
    current = std::move(child);
  }
  return current;
}

// Places a new Entry for vp under the folder the parser names. placed tells
// whether it went into the folder's map.
EntryPtr insert_locked(EntryPtr start, PathParser& parser, const std::string& name,
                       std::shared_ptr<vnode> vp, bool* placed) {
  *placed = false;
  if (!start || !vp) {
    INVALID_ARG("std::shared_ptr<Entry> insert(std::shared_ptr<Entry>, PathParser&, const string&, std::shared_ptr<vnode>)");
    return nullptr;
  }
  EntryPtr folder = find_entry_locked(std::move(start), parser);
  if (!folder || !parser.done()) return nullptr;
  EntryPtr e = std::make_shared<Entry>(name, folder, vp);
  vp->v_entry = e.get();
  if (folder->children.find(name) == folder->children.end()) {
    folder->children.emplace(name, e);
    *placed = true;
  }
  return e;
}

void create_path_locked(const Entry* entry, std::string& out) {
  out.clear();
  if (entry == nullptr) {
    INVALID_ARG("void create_path(const Entry*, std::string&)");
    return;
  }
  std::vector<const Entry*> chain;
  std::vector<EntryPtr> hold;  // keeps the parents alive while walking
  const Entry* e = entry;
  bool below_top = false;
  while (e != nullptr && !e->is_top) {
    chain.push_back(e);
    EntryPtr p = e->parent.lock();
    if (!p) break;
    if (p->is_top) below_top = true;
    e = p.get();
    hold.push_back(std::move(p));
  }
  // The volume root (just below the top) adds nothing of its own.
  if (below_top && !chain.empty()) chain.pop_back();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    out += '/';
    out += (*it)->name;
  }
  if (out.empty()) out = "/";
}

// Whether e still hangs, link by link, below top.
bool attached_below(const EntryPtr& e, const Entry* top) {
  const Entry* cur = e.get();
  EntryPtr hold;
  while (cur != top) {
    EntryPtr p = cur->parent.lock();
    if (!p) return false;
    auto it = p->children.find(cur->name);
    if (it == p->children.end() || it->second.get() != cur) return false;
    hold = p;
    cur = hold.get();
  }
  return true;
}

void snapshot_post_order(const EntryPtr& entry, std::vector<EntryPtr>& out) {
  for (const auto& [name, child] : entry->children) {
    snapshot_post_order(child, out);
    out.push_back(child);
  }
}

}  // namespace

// ---- names and entries ----

std::size_t EntryNameHash::operator()(const std::string& name) const {
  std::string lowered(name);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::hash<std::string>{}(lowered);
}

bool EntryNameEqual::operator()(const std::string& a, const std::string& b) const {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

EntryChildren::iterator EntryChildren::find(const std::string& name) {
  if (size_ == 0) return end();
  const std::size_t hash = EntryNameHash{}(name);
  const std::size_t mask = capacity_ - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (!s.used) return end();
    if (s.hash == hash && EntryNameEqual{}(s.kv.first, name)) return iterator(&s, slots_.get() + capacity_);
  }
}

std::pair<EntryChildren::iterator, bool> EntryChildren::emplace(const std::string& name,
                                                                std::shared_ptr<Entry> child) {
  if (iterator it = find(name); it != end()) return {it, false};
  // At most three quarters full: the probes stay short.
  if ((size_ + 1) * 4 > capacity_ * 3) grow();
  const std::size_t hash = EntryNameHash{}(name);
  const std::size_t mask = capacity_ - 1;
  std::size_t i = hash & mask;
  while (slots_[i].used) i = (i + 1) & mask;
  Slot& s = slots_[i];
  s.hash = hash;
  s.used = true;
  s.kv.first = name;
  s.kv.second = std::move(child);
  ++size_;
  return {iterator(&s, slots_.get() + capacity_), true};
}

void EntryChildren::grow() {
  const std::size_t capacity = capacity_ ? capacity_ * 2 : 8;
  std::unique_ptr<Slot[]> old(new Slot[capacity]);
  old.swap(slots_);
  const std::size_t old_capacity = capacity_;
  capacity_ = capacity;
  for (std::size_t k = 0; k < old_capacity; ++k) {
    if (!old[k].used) continue;
    std::size_t i = old[k].hash & (capacity_ - 1);
    while (slots_[i].used) i = (i + 1) & (capacity_ - 1);
    slots_[i] = std::move(old[k]);
  }
}

// Backward-shift deletion: the slots after the hole that probed past it move
// up, so that no lookup stops early at the hole.
void EntryChildren::erase(iterator it) {
  const std::size_t mask = capacity_ - 1;
  std::size_t hole = static_cast<std::size_t>(it.at_ - slots_.get());
  slots_[hole] = Slot{};
  for (std::size_t j = (hole + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
    const std::size_t home = slots_[j].hash & mask;
    // Stays when its home lies cyclically in (hole, j].
    const bool stays = hole < j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (stays) continue;
    slots_[hole] = std::move(slots_[j]);
    slots_[j] = Slot{};
    hole = j;
  }
  --size_;
}

void EntryChildren::clear() {
  slots_.reset();
  capacity_ = size_ = 0;
}

void EntryChildren::swap(EntryChildren& other) noexcept {
  slots_.swap(other.slots_);
  std::swap(capacity_, other.capacity_);
  std::swap(size_, other.size_);
}

Entry::Entry(std::string n, std::weak_ptr<Entry> p, std::shared_ptr<vnode> vp)
    : name(std::move(n)), parent(std::move(p)), vn(std::move(vp)) {}

Entry::~Entry() {
  TREE_LOG("Entry::~Entry()", KEL_LOG_DEBG, "destruct %s", name.c_str());
  Map dying;
  {
    TreeLock lk(g_tree_mutex);
    if (vn && vn->v_entry == this) vn->v_entry = nullptr;
    dying.swap(children);
  }
}

PathParser::PathParser(const char* path) : buffer_(path != nullptr ? path : "") {
  if (buffer_.empty()) {
    done_ = true;
    return;
  }
  next_component();
}

void PathParser::next_component() {
  const std::size_t end = buffer_.find('/', next_);
  const std::size_t stop = end == std::string::npos ? buffer_.size() : end;
  component_ = buffer_.substr(next_, stop - next_);
  next_ = stop;
}

void PathParser::advance() {
  if (done_) return;
  if (prefix_.empty() || prefix_.back() != '/') prefix_ += '/';
  prefix_ += component_;
  while (next_ < buffer_.size() && buffer_[next_] == '/') ++next_;
  if (next_ >= buffer_.size()) {
    done_ = true;
    return;
  }
  next_component();
}

// ---- tree ----

std::shared_ptr<vnode> kel_make_vnode(mount* mp, void* fsnode, std::uint32_t type, int root) {
  auto vp = std::make_shared<vnode>();
  vp->v_mount = mp;
  vp->v_data = fsnode;
  vp->v_type = type;
  vp->v_word = 0;
  vp->v_isroot = root;
  vp->v_entry = nullptr;
  return vp;
}

EntryPtr kel_tree_make_root(std::shared_ptr<vnode> device_vnode) {
  auto top = std::make_shared<Entry>("devvp", std::weak_ptr<Entry>(), device_vnode);
  top->is_top = true;
  {
    TreeLock lk(g_tree_mutex);
    if (device_vnode) device_vnode->v_entry = top.get();
  }
  kel_tree_set_root(top);
  return top;
}

void kel_tree_set_root(EntryPtr root) {
  EntryPtr old;
  std::unordered_map<mount*, std::vector<EntryPtr>> old_unplaced;
  std::unordered_map<const vnode*, EntryPtr> old_recycled;
  {
    TreeLock lk(g_tree_mutex);
    old = std::move(g_root);
    g_root = std::move(root);
    old_unplaced.swap(g_unplaced);
    old_recycled.swap(g_recycled);
  }
}

EntryPtr kel_tree_root() {
  TreeLock lk(g_tree_mutex);
  return g_root;
}

std::size_t kel_tree_unplaced_count() {
  TreeLock lk(g_tree_mutex);
  std::size_t n = 0;
  for (const auto& [mp, list] : g_unplaced) n += list.size();
  return n;
}

EntryPtr find_entry(EntryPtr start, PathParser& parser) {
  TreeLock lk(g_tree_mutex);
  return find_entry_locked(std::move(start), parser);
}

EntryPtr insert(EntryPtr start, PathParser& parser, const std::string& name, std::shared_ptr<vnode> vp) {
  TreeLock lk(g_tree_mutex);
  bool placed;
  EntryPtr e = insert_locked(std::move(start), parser, name, std::move(vp), &placed);
  if (e && !placed) keep_unplaced(e);
  return e;
}

void create_path(const Entry* entry, std::string& out) {
  TreeLock lk(g_tree_mutex);
  create_path_locked(entry, out);
}

EntryPtr get_entry(const char* path, vfs_context* context) {
  PathParser parser(path);
  EntryPtr found;
  {
    TreeLock lk(g_tree_mutex);
    found = find_entry_locked(g_root, parser);
  }
  if (parser.done()) {
    TREE_LOG("std::shared_ptr<Entry> get_entry(const char*, vfs_context*)", KEL_LOG_DEBG,
             "get_entry: object is already cached: %s/%s", parser.prefix().c_str(), parser.component().c_str());
    return found;
  }
  return lookup_entry(std::move(found), parser, context);
}

EntryPtr lookup_entry(EntryPtr start, PathParser& parser, vfs_context* context) {
  static const char kFn[] = "std::shared_ptr<Entry> lookup_entry(std::shared_ptr<Entry>, PathParser&, vfs_context*)";
  if (!start || context == nullptr) {
    TREE_LOG(kFn, KEL_LOG_ERR, "lookup_entry[Start] NG Invalid argument");
    return nullptr;
  }
  EntryPtr current = std::move(start);
  while (!parser.done()) {
    std::string prefix = parser.prefix();
    std::string component = parser.component();
    vnode* dvp;
    {
      TreeLock lk(g_tree_mutex);
      dvp = current->vn.get();
    }
    if (kel_vnops.lookup == nullptr) {
      TREE_LOG(kFn, KEL_LOG_ERR, "lookup operation is not resolved");
      return nullptr;
    }
    vnode* out = nullptr;
    componentname cn{};
    cn.cn_nameiop = LOOKUP;
    cn.cn_flags = MAKEENTRY;
    cn.cn_pnbuf = prefix.data();
    cn.cn_pnlen = static_cast<int>(prefix.size());
    cn.cn_nameptr = component.data();
    cn.cn_namelen = static_cast<int>(component.size());
    vnop_lookup_args args{&vnop_lookup_desc, dvp, &out, &cn, context};
    // The engine's lookup reaches vnode_create, which takes the tree mutex:
    // it is not held here.
    const int err = kel_vnops.lookup(&args);
    if (err != 0) {
      TREE_LOG(kFn, KEL_LOG_DEBG, "failed to lookup entry [%s/%s] err=%d\n", prefix.c_str(), component.c_str(), err);
      return nullptr;
    }
    TREE_LOG(kFn, KEL_LOG_DEBG, "lookup entry succeeded [%s/%s]\n", prefix.c_str(), component.c_str());
    {
      TreeLock lk(g_tree_mutex);
      EntryPtr child = child_of(current, component);
      if (!child) return nullptr;
      current = std::move(child);
      parser.advance();
    }
    if (parser.done()) return out != nullptr ? current : nullptr;
  }
  return current;
}

errno_t vnode_create(std::uint32_t /*flavor*/, std::uint32_t /*size*/, void* parameters, vnode** out) {
  static const char kFn[] = "errno_t vnode_create(uint32_t, uint32_t, void*, vnode**)";
  if (parameters == nullptr || out == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  const vnode_fsparam* p = static_cast<const vnode_fsparam*>(parameters);
  TREE_LOG(kFn, KEL_LOG_DEBG, "enter vnode_create %lx, %lx\n", reinterpret_cast<unsigned long>(p->vnfs_fsnode),
           reinterpret_cast<unsigned long>(out));
  std::shared_ptr<vnode> vp = kel_make_vnode(p->vnfs_mp, p->vnfs_fsnode, p->vnfs_vtype, p->vnfs_markroot);
  *out = vp.get();
  const componentname* cnp = p->vnfs_cnp;
  std::string name;
  if (cnp != nullptr) {
    const char* path = cnp->cn_pnbuf != nullptr ? cnp->cn_pnbuf : "";
    if (cnp->cn_nameptr != nullptr) name.assign(cnp->cn_nameptr, cnp->cn_namelen > 0 ? cnp->cn_namelen : 0);
    TREE_LOG(kFn, KEL_LOG_DEBG, "vnode_create path=%s/%s\n", path, name.c_str());
  } else {
    TREE_LOG(kFn, KEL_LOG_DEBG, "vnode_create root\n");
  }
  PathParser parser(cnp != nullptr ? (cnp->cn_pnbuf != nullptr ? cnp->cn_pnbuf : "") : "");
  TreeLock lk(g_tree_mutex);
  bool placed = false;
  EntryPtr e = insert_locked(g_root, parser, name, vp, &placed);
  if (!e) {
    // The folder is not in the tree: the vnode still gets an Entry of its own.
    e = std::make_shared<Entry>(name, std::weak_ptr<Entry>(), vp);
    vp->v_entry = e.get();
  }
  if (!placed) keep_unplaced(e);
  return 0;
}

void walk_child_nodes(EntryPtr entry, int (*callback)(vnode*, void*), void* argument) {
  if (!entry || callback == nullptr || argument == nullptr) {
    INVALID_ARG("void walk_child_nodes(std::shared_ptr<Entry>, int (*)(vnode*, void*), void*)");
    return;
  }
  // Walk a snapshot: the callbacks may recycle vnodes (erasing entries from
  // the maps) and may reach the engine, which takes the tree mutex itself.
  std::vector<EntryPtr> snapshot;
  {
    TreeLock lk(g_tree_mutex);
    snapshot_post_order(entry, snapshot);
  }
  for (const EntryPtr& e : snapshot) {
    vnode* vp = nullptr;
    {
      TreeLock lk(g_tree_mutex);
      if (attached_below(e, entry.get())) vp = e->vn.get();
    }
    if (vp != nullptr) callback(vp, argument);
  }
}

int vnode_iterate(mount* mp, int /*flags*/, int (*callback)(vnode*, void*), void* argument) {
  if (callback == nullptr || argument == nullptr || mp == nullptr) {
    INVALID_ARG("int vnode_iterate(mount*, int, int (*)(vnode*, void*), void*)");
    return KEL_EINVAL;
  }
  walk_child_nodes(kel_tree_root(), callback, argument);
  return 0;
}

int vn_getpath(vnode_t vp, char* buffer, int* length) {
  static const char kFn[] = "int vn_getpath(vnode_t, char*, int*)";
  if (vp == nullptr || buffer == nullptr || length == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  std::string path;
  {
    TreeLock lk(g_tree_mutex);
    if (vp->v_entry == nullptr) {
      INVALID_ARG(kFn);
      return KEL_EINVAL;
    }
    create_path_locked(vp->v_entry, path);
  }
  if (*length <= 0 || path.size() >= static_cast<std::size_t>(*length)) return KEL_ENOMEM;
  std::strncpy(buffer, path.c_str(), static_cast<std::size_t>(*length));
  *length = static_cast<int>(path.size()) + 1;
  TREE_LOG(kFn, KEL_LOG_INFO, "vn_getpath :%s", path.c_str());
  return 0;
}

int vnode_ref(vnode_t vp) {
  static const char kFn[] = "int vnode_ref(vnode_t)";
  if (vp == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  std::string path;
  {
    TreeLock lk(g_tree_mutex);
    create_path_locked(vp->v_entry, path);
  }
  TREE_LOG(kFn, KEL_LOG_DEBG, "vnode_ref :%s", path.c_str());
  return 0;
}

int vnode_recycle(vnode_t vp) {
  static const char kFn[] = "int vnode_recycle(vnode_t)";
  if (vp == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  TreeLock lk(g_tree_mutex);
  std::string path;
  create_path_locked(vp->v_entry, path);
  TREE_LOG(kFn, KEL_LOG_DEBG, "vnode_recycle :%s", path.c_str());
  Entry* e = vp->v_entry;
  EntryPtr parent = e != nullptr ? e->parent.lock() : nullptr;
  auto it = parent ? parent->children.find(e->name) : Entry::Map::iterator();
  if (!parent || it == parent->children.end()) {
    TREE_LOG(kFn, KEL_LOG_DEBG, "vnode_recycle : %s's node is already removed", path.c_str());
  } else if (it->second->vn.get() != vp) {
    TREE_LOG(kFn, KEL_LOG_DEBG, "vnode_recycle : %s's node is already replaced", path.c_str());
  } else {
    TREE_LOG(kFn, KEL_LOG_INFO, "vnode_recycle : remove %s's node", path.c_str());
    keep_recycled(std::move(it->second));
    parent->children.erase(it);
  }
  // An entry kept outside the tree leaves the unplaced list the same way.
  if (e != nullptr) keep_recycled(take_unplaced(e));
  return 0;
}

namespace {

// Takes vp's Entry out of the tree, the unplaced lists and the recycled set;
// the entries below it, whose vnodes the engine may still hold, stay until
// their own reclaim or the next Mount. The caller drops the result after
// unlocking.
EntryPtr release_locked(vnode* vp) {
  Entry* raw = vp->v_entry;
  EntryPtr self = raw != nullptr ? raw->weak_from_this().lock() : nullptr;
  if (!self || self->is_top) return nullptr;
  if (EntryPtr parent = self->parent.lock()) {
    auto it = parent->children.find(self->name);
    if (it != parent->children.end() && it->second == self) parent->children.erase(it);
  }
  take_unplaced(self.get());
  g_recycled.erase(vp);
  for (auto& [name, child] : self->children) keep_recycled(child);
  self->children.clear();
  return self;
}

}  // namespace

int VNOP_RECLAIM(vnode_t vp, vfs_context_t context) {
  static const char kFn[] = "int VNOP_RECLAIM(vnode_t, vfs_context_t)";
  if (vp == nullptr || context == nullptr || kel_vnops.reclaim == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  vnop_reclaim_args args{&vnop_reclaim_desc, vp, context};
  const int err = kel_vnops.reclaim(&args);
  if (err != 0) return err;
  EntryPtr released;  // dies after the mutex is released
  {
    TreeLock lk(g_tree_mutex);
    released = release_locked(vp);
  }
  return 0;
}

void vnode_update_identity(vnode_t vp, vnode_t dvp, const char* name, int name_length,
                           unsigned int hash, int flags) {
  static const char kFn[] = "void vnode_update_identity(vnode_t, vnode_t, const char*, int, unsigned int, int)";
  if (vp == nullptr || name == nullptr) return;
  TREE_LOG(kFn, KEL_LOG_NOTI, "vnode_update_identity vp:%p, dvp:%p, name:%s, %d, %d, flags:%d\n",
           static_cast<void*>(vp), static_cast<void*>(dvp), name, name_length, static_cast<int>(hash), flags);
  EntryPtr dropped;
  TreeLock lk(g_tree_mutex);
  Entry* raw = vp->v_entry;
  EntryPtr self = raw != nullptr ? raw->weak_from_this().lock() : nullptr;
  if (!self || self->is_top) return;  // the top entry has no name to change
  const std::string new_name = (flags & VNODE_UPDATE_NAME)
                                   ? std::string(name, name_length > 0 ? static_cast<std::size_t>(name_length)
                                                                       : std::strlen(name))
                                   : self->name;
  // 3. Out of the current parent's map (only this Entry, never another one
  //    that holds the name).
  if (EntryPtr old_parent = self->parent.lock()) {
    auto it = old_parent->children.find(self->name);
    if (it != old_parent->children.end() && it->second == self) {
      old_parent->children.erase(it);
    } else {
      TREE_LOG(kFn, KEL_LOG_ERR, "Oops! %s->parent->children node doesn't match itself!!", self->name.c_str());
    }
  }
  dropped = take_unplaced(self.get());
  // 4. New name.
  if (flags & VNODE_UPDATE_NAME) self->name = new_name;
  // 5. New parent.
  if ((flags & VNODE_UPDATE_PARENT) && dvp != nullptr && dvp->v_entry != nullptr) {
    EntryPtr np = dvp->v_entry->weak_from_this().lock();
    EntryPtr gp = np ? np->parent.lock() : nullptr;
    auto it = gp ? gp->children.find(np->name) : Entry::Map::iterator();
    if (!gp || it == gp->children.end() || it->second != np) {
      TREE_LOG(kFn, KEL_LOG_ERR, "Oops! %s->parent->parent->children doesn't include parent!!", self->name.c_str());
    } else {
      self->parent = np;
    }
  }
  // 6. Into the (new) parent's map unless the name is taken; else the Entry
  //    keeps its vnode outside the tree.
  EntryPtr target = self->parent.lock();
  if (target && target->children.find(self->name) == target->children.end())
    target->children.emplace(self->name, self);
  else
    keep_unplaced(self);
}

// ---- accessors ----

#define VNODE_ACCESSOR(type, fn, sig, expr, none) \
  type fn(vnode_t vp) {                           \
    if (vp == nullptr) {                          \
      INVALID_ARG(sig);                           \
      return none;                                \
    }                                             \
    return expr;                                  \
  }
VNODE_ACCESSOR(int, vnode_isdir, "int vnode_isdir(vnode_t)", vp->v_type == VDIR, 0)
VNODE_ACCESSOR(int, vnode_isreg, "int vnode_isreg(vnode_t)", vp->v_type == VREG, 0)
VNODE_ACCESSOR(int, vnode_islnk, "int vnode_islnk(vnode_t)", vp->v_type == VLNK, 0)
VNODE_ACCESSOR(int, vnode_isvroot, "int vnode_isvroot(vnode_t)", vp->v_isroot, 0)
VNODE_ACCESSOR(mount_t, vnode_mount, "mount_t vnode_mount(vnode_t)", vp->v_mount, nullptr)
VNODE_ACCESSOR(void*, vnode_fsnode, "void* vnode_fsnode(vnode_t)", vp->v_data, nullptr)

// The engine detaches its node from a vnode that outlives it (a released
// proxy's vnode waits in the host layer for its reclaim): later calls on the
// vnode find no node instead of a freed one.
void vnode_clearfsnode(vnode_t vp) {
  if (vp == nullptr) {
    INVALID_ARG("void vnode_clearfsnode(vnode_t)");
    return;
  }
  vp->v_data = nullptr;
}

// ---- vnode operations ----

int VNOP_FSYNC(vnode_t vp, int waitfor, vfs_context_t context) {
  static const char kFn[] = "int VNOP_FSYNC(vnode_t, int, vfs_context_t)";
  if (vp == nullptr || context == nullptr || kel_vnops.fsync == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  vnop_fsync_args args{&vnop_fsync_desc, vp, waitfor, context};
  return kel_vnops.fsync(&args);
}

int vnode_blockmap(vnode_t vp, off64_kel_t offset, off64_kel_t size, int flags, blockmap_result* result) {
  static const char kFn[] = "int vnode_blockmap(vnode_t, off64_t, off64_t, int, blockmap_result*)";
  if (vp == nullptr || result == nullptr || kel_vnops.blockmap == nullptr) {
    INVALID_ARG(kFn);
    return KEL_EINVAL;
  }
  result->offset = 0;
  vnop_blockmap_args args{&vnop_blockmap_desc, vp, offset, static_cast<std::uint64_t>(size),
                          &result->sector, &result->run, &result->offset, flags, nullptr};
  return kel_vnops.blockmap(&args);
}
