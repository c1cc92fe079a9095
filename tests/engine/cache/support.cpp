#include "support.h"

#include "cache_internal.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "support/failing_new.h"
#include "udf/udf_records.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

using namespace cache_test;

namespace {

// Never destroyed: threads the engine detaches (the cache agent's) may still
// log while the process exits.
std::mutex& g_mu = *new std::mutex;
Recorder& g_rec = *new Recorder;
std::atomic<long> g_live{0};
std::atomic<int> g_fail_in{0};
std::atomic<bool> g_capture_logs{true};

}  // namespace

// ---------------------------------------------------------------- logger and heap

// The engine heap's calls are C++ names; the link renames them (see CMakeLists.txt).
void* real_os_malloc(std::uint32_t size, OSMallocTag tag) __asm__("__real__Z8OSMallocjP16kel_dummy_handle");
void real_os_free(void* pointer, std::uint32_t size, OSMallocTag tag) __asm__("__real__Z6OSFreePvjP16kel_dummy_handle");
void* wrap_os_malloc(std::uint32_t size, OSMallocTag tag) __asm__("__wrap__Z8OSMallocjP16kel_dummy_handle");
void wrap_os_free(void* pointer, std::uint32_t size, OSMallocTag tag) __asm__("__wrap__Z6OSFreePvjP16kel_dummy_handle");

extern "C" bool __wrap_CheckLogLevel(int) { return g_capture_logs.load(); }
extern "C" void __wrap_SendDebugStringA(int, const char* text) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_rec.logs.emplace_back(text ? text : "");
}
extern "C" void __wrap_SendDebugStringW(int, const WCHAR*) {}

namespace cache_test {
void capture_logs(bool on) { g_capture_logs = on; }
}  // namespace cache_test

void* wrap_os_malloc(std::uint32_t size, OSMallocTag tag) {
  const int n = g_fail_in.load();
  if (n > 0 && g_fail_in.fetch_sub(1) == 1) return nullptr;
  void* p = real_os_malloc(size, tag);
  if (p) ++g_live;
  return p;
}
void wrap_os_free(void* pointer, std::uint32_t size, OSMallocTag tag) {
  if (pointer) --g_live;
  real_os_free(pointer, size, tag);
}

// The UDF code allocates with the non-throwing new; a failure of it can be
// scheduled as well.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return kel_test::failing_nothrow_new(size); }

// ---------------------------------------------------------------- stand-ins

int wrap_vfs_isforce(mount_t) __asm__("__wrap__Z11vfs_isforceP5mount");
int wrap_getwithvid(vnode_t, uint32_t) __asm__("__wrap__Z16vnode_getwithvidP5vnodej");
int wrap_vfs_isforce(mount_t) { return g_rec.forced_unmount ? 1 : 0; }
bool real_debug_level_check(unsigned, int, unsigned) __asm__("__real__Z26mdcudfsr_debug_level_checkjij");
bool wrap_debug_level_check(unsigned, int, unsigned) __asm__("__wrap__Z26mdcudfsr_debug_level_checkjij");
bool wrap_debug_level_check(unsigned column, int level, unsigned category) {
  if (static_cast<int>(category) == g_rec.trace_category) return true;
  return real_debug_level_check(column, level, category);
}
int wrap_getwithvid(vnode_t, uint32_t) {
  ++g_rec.getwithvid_calls;
  return g_rec.getwithvid_result;
}
// New vnodes take the vector the vnode operations provide; none here.
vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;

namespace cache_test {

void Recorder::reset() {
  std::lock_guard<std::mutex> lk(g_mu);
  calls.clear();
  logs.clear();
  forced_unmount = false;
  getwithvid_result = 0;
  getwithvid_calls = 0;
  trace_category = -1;
  fail_cache_write = nullptr;
  cache_writes_failed = 0;
}
bool Recorder::logged(const std::string& text) const { return count_logged(text) > 0; }
int Recorder::count_logged(const std::string& text) const {
  std::lock_guard<std::mutex> lk(g_mu);
  int n = 0;
  for (const auto& l : logs)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}
Recorder& rec() { return g_rec; }

bool take_cache_write_failure() {
  std::function<bool()> when;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    when = g_rec.fail_cache_write;
  }
  if (!when || !when()) return false;
  std::lock_guard<std::mutex> lk(g_mu);
  g_rec.fail_cache_write = nullptr;
  ++g_rec.cache_writes_failed;
  return true;
}

long live_blocks() { return g_live.load(); }
void fail_allocation(int nth) { g_fail_in.store(nth); }
void clear_allocation_failure() {
  g_fail_in.store(0);
  kel_test::fail_nothrow_new(0);
}
void fail_new(int nth) { kel_test::fail_nothrow_new(nth); }

Volume::Volume(uint32_t medium_type) : blocks_at_start_(live_blocks()) {
  rec().reset();
  mdcudfsr_debug_level_init();
  m.medium_type = medium_type;
  m.current_disc = 2;
  m.num_discs = 4;
  m.next_unique_id = 16;
  char root_name[] = "";
  root = mdcudfsr_cache_alloc_node(&m, nullptr, root_name, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
  root->objid = MDCUDFSR_OBJID_ROOT;
  m.root_node = root;
  m.udf_root = root;
}

Volume::~Volume() {
  clear_allocation_failure();
  kelcache::detach_shadow_nodes(&m);
  if (m.shadow_node) mdcudfsr_cache_free_shadow_node(m.shadow_node);
  m.shadow_node = nullptr;
  mdcudfsr_cache_free_node(root);
  kel_tree_set_root(nullptr);
  EXPECT_EQ(blocks_at_start_, live_blocks()) << "blocks of the engine heap left behind";
}

mdcudfsr_cache_node* Volume::make(mdcudfsr_cache_node* parent, const char* name, bool dir) {
  std::string copy(name);
  mdcudfsr_cache_node* n = nullptr;
  const int err = mdcudfsr_cache_create_udf_node(parent, copy.data(), -1, 0, dir ? UDF_FILE_CHAR_DIR : 0, 0644, &n,
                                                 0, nullptr);
  EXPECT_EQ(0, err) << name;
  if (n) mdcudfsr_cache_unlock_node(n);
  return n;
}

namespace {
vnode* create_vnode(mdcudfsr_cache_node* n, const std::string& folder) {
  vnode_fsparam p{};
  p.vnfs_vtype = mdcudfsr_is_dir(n) ? VDIR : VREG;
  p.vnfs_fsnode = n;
  componentname cn{};
  std::string path = folder, name = mdcudfsr_node_name(n);
  cn.cn_pnbuf = path.data();
  cn.cn_pnlen = static_cast<int>(path.size());
  cn.cn_nameptr = name.data();
  cn.cn_namelen = static_cast<int>(name.size());
  p.vnfs_cnp = folder.empty() ? nullptr : &cn;
  p.vnfs_markroot = folder.empty() ? 1 : 0;
  vnode* vp = nullptr;
  EXPECT_EQ(0, vnode_create(VNCREATE_FLAVOR, VCREATESIZE, &p, &vp));
  return vp;
}
}  // namespace

void Volume::bind_root() {
  vnodes_.push_back(kel_make_vnode(nullptr, nullptr, VBLK, 0));
  kel_tree_make_root(vnodes_.back());
  root->vp = create_vnode(root, "");
}

void Volume::bind(mdcudfsr_cache_node* n) {
  mdcudfsr_cache_node* parent = mdcudfsr_parent(n);
  char folder[1024] = {};
  int len = sizeof folder;
  ASSERT_EQ(0, vn_getpath(parent->vp, folder, &len));
  n->vp = create_vnode(n, folder);
}

// ---------------------------------------------------------------- tree checks

namespace {

template <class Left, class Right, class Height>
std::string check_subtree(mdcudfsr_cache_node* n, Left left, Right right, Height height,
                          std::vector<mdcudfsr_cache_node*>& order, int* h) {
  if (!n) {
    *h = 0;
    return {};
  }
  int hl = 0, hr = 0;
  std::string e = check_subtree(left(n), left, right, height, order, &hl);
  if (!e.empty()) return e;
  order.push_back(n);
  e = check_subtree(right(n), left, right, height, order, &hr);
  if (!e.empty()) return e;
  *h = 1 + std::max(hl, hr);
  if (height(n) != *h) return std::string("stored height wrong at ") + mdcudfsr_node_name(n);
  if (hl - hr > 1 || hr - hl > 1) return std::string("out of balance at ") + mdcudfsr_node_name(n);
  return {};
}

}  // namespace

std::string check_uid_tree(mdcudfsr_cache_node* dir) {
  std::vector<mdcudfsr_cache_node*> order;
  int h = 0;
  std::string e = check_subtree(
      dir->uid_root, [](mdcudfsr_cache_node* n) { return n->uid_left; },
      [](mdcudfsr_cache_node* n) { return n->uid_right; }, [](mdcudfsr_cache_node* n) { return n->uid_height; }, order,
      &h);
  if (!e.empty()) return e;
  for (size_t i = 1; i < order.size(); ++i)
    if (!(order[i - 1]->uid_key < order[i]->uid_key)) return "keys not ascending in order";
  // The in-order walk is the list without its duplicates.
  std::vector<uint64_t> keys;
  for (mdcudfsr_cache_node* c = dir->avl_all_list.first; c; c = c->alist.next) {
    if (c->alist.next && c->alist.next->alist.prev != c) return "list back link broken";
    if (!keys.empty() && c->uid_key < keys.back()) return "list not ascending";
    if (keys.empty() || keys.back() != c->uid_key) keys.push_back(c->uid_key);
  }
  if (keys.size() != order.size()) return "tree and list hold different keys";
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] != order[i]->uid_key) return "tree and list differ";
  return {};
}

std::string check_name_tree(mdcudfsr_cache_node* dir) {
  std::vector<mdcudfsr_cache_node*> order;
  int h = 0;
  std::string e = check_subtree(
      dir->name_root, [](mdcudfsr_cache_node* n) { return n->name_left; },
      [](mdcudfsr_cache_node* n) { return n->name_right; }, [](mdcudfsr_cache_node* n) { return n->name_height; }, order,
      &h);
  if (!e.empty()) return e;
  for (size_t i = 1; i < order.size(); ++i)
    if (mdcudfsr_name_cmp(order[i - 1]->name_key, order[i]->name_key) >= 0) return "names not ascending";
  size_t listed = 0;
  for (mdcudfsr_cache_node* c = dir->children.first; c; c = c->sibling.next) ++listed;
  if (listed != order.size()) return "children and tree differ in size";
  return {};
}

std::vector<std::string> names_of(const mdcudfsr_list& list, mdcudfsr_link mdcudfsr_cache_node::*link) {
  std::vector<std::string> out;
  for (mdcudfsr_cache_node* c = list.first; c; c = (c->*link).next) out.emplace_back(mdcudfsr_node_name(c));
  return out;
}

}  // namespace cache_test
