// Lookups by name, unique id, vnode and path; binding nodes to vnodes and
// revalidating them; readdir; inactivation and reclaim.
#include "support.h"

#include "kelagent/mdc_channel.h"
#include "cache_internal.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using namespace cache_test;

namespace {

componentname component(std::string& name, uint32_t flags = 0) {
  componentname cn{};
  cn.cn_nameptr = name.data();
  cn.cn_namelen = static_cast<int>(name.size());
  cn.cn_flags = flags;
  return cn;
}

vnode_t lookup(Volume& v, mdcudfsr_cache_node* parent, std::string name, uint32_t flags = 0) {
  componentname cn = component(name, flags);
  return mdcudfsr_cache_get_vnode(&v.m, parent, &cn, nullptr, 1);
}

// True when another thread can take the node's lock at once.
bool free_for_others(mdcudfsr_cache_node* n) {
  int got = -1;
  std::thread t([&] {
    got = mdcudfsr_cache_lock_node(n, 0);
    if (got == 0) mdcudfsr_cache_unlock_node(n);
  });
  t.join();
  return got == 0;
}

// Readdir records of one call: {file number, record length, type, name}.
struct Dirent {
  uint32_t fileno;
  uint16_t reclen;
  uint8_t type;
  std::string name;
};
std::vector<Dirent> parse(const std::vector<uint8_t>& buf, size_t used) {
  std::vector<Dirent> out;
  for (size_t off = 0; off + 10 <= used;) {
    Dirent d{};
    uint16_t namlen = 0;
    std::memcpy(&d.fileno, &buf[off], 4);
    std::memcpy(&d.reclen, &buf[off + 4], 2);
    d.type = buf[off + 6];
    std::memcpy(&namlen, &buf[off + 8], 2);
    d.name.assign(reinterpret_cast<const char*>(&buf[off + 10]), namlen);
    EXPECT_EQ(0, buf[off + 10 + namlen]) << d.name;
    out.push_back(d);
    off += d.reclen;
  }
  return out;
}

struct Listing {
  int err = 0;
  int count = 0;
  int64_t cursor = 0;
  std::vector<Dirent> entries;
};
Listing list(mdcudfsr_cache_node* dir, int64_t cursor, size_t room, vfs_context_t ctx = nullptr) {
  std::vector<uint8_t> buf(room, 0xEE);
  uio_t u = uio_create(1, cursor, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(buf.data()), room);
  Listing l;
  l.err = mdcudfsr_cache_enumerate_children(dir, u, &l.count, ctx);
  l.cursor = uio_offset(u);
  l.entries = parse(buf, room - static_cast<size_t>(uio_resid(u)));
  uio_free(u);
  return l;
}

}  // namespace

TEST(CacheLookup, FirstLookupCreatesTheVnodeLaterOnesGiveTheSame) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* dir = v.make(v.root, "dir", true);
  mdcudfsr_cache_node* file = v.make(v.root, "file");
  mdcudfsr_cache_node* link = v.make(v.root, "link");
  char target[] = "file";
  link->symlink_target = kelcache::copy_name(target, 4);
  struct Case {
    const char* name;
    mdcudfsr_cache_node* node;
    uint32_t type;
  };
  for (const Case& c : {Case{"dir", dir, 2}, Case{"FILE", file, 1}, Case{"link", link, 5}}) {
    vnode_t vp = lookup(v, v.root, c.name);
    ASSERT_NE(nullptr, vp) << c.name;
    EXPECT_EQ(c.node->vp, vp) << c.name;
    EXPECT_EQ(c.type, vp->v_type) << c.name;
    EXPECT_EQ(c.node, vnode_fsnode(vp)) << c.name;
    rec().getwithvid_calls = 0;
    EXPECT_EQ(vp, lookup(v, v.root, c.name)) << c.name;
    EXPECT_EQ(1, rec().getwithvid_calls) << "a bound node is revalidated";
    EXPECT_TRUE(free_for_others(c.node)) << c.name;
  }
}

TEST(CacheLookup, SpecialComponents) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* dir = v.make(v.root, "dir", true);
  v.bind(dir);
  EXPECT_EQ(v.root->vp, lookup(v, v.root, "..", ISDOTDOT)) << "the parent of the volume root is itself";
  EXPECT_EQ(v.root->vp, lookup(v, dir, "..", ISDOTDOT));
  EXPECT_EQ(dir->vp, lookup(v, dir, "."));
  EXPECT_EQ(v.root->vp, mdcudfsr_cache_get_vnode(&v.m, nullptr, nullptr, nullptr, 1));
  // "$" in the root: the shadow node, made once.
  vnode_t shadow = lookup(v, v.root, "$");
  ASSERT_NE(nullptr, shadow);
  ASSERT_NE(nullptr, v.m.shadow_node);
  EXPECT_EQ(v.m.shadow_node->vp, shadow);
  mdcudfsr_cache_node* made = v.m.shadow_node;
  EXPECT_EQ(shadow, lookup(v, v.root, "$"));
  EXPECT_EQ(made, v.m.shadow_node);
  EXPECT_EQ(nullptr, lookup(v, dir, "$")) << "only the root has the shadow directory";
  // A file is no parent; an unknown or inactive name is not found.
  mdcudfsr_cache_node* file = v.make(v.root, "file");
  EXPECT_EQ(nullptr, lookup(v, file, "x"));
  EXPECT_EQ(nullptr, lookup(v, v.root, "nothing"));
  mdcudfsr_cache_inactivate_node(file, 1);
  EXPECT_EQ(nullptr, lookup(v, v.root, "file"));
}

TEST(CacheLookup, ByNameAndByUniqueIdWithInactiveNodes) {
  Volume v;
  mdcudfsr_cache_node* a = v.make(v.root, "a");
  mdcudfsr_cache_node* b = v.make(v.root, "b");
  EXPECT_EQ(a, mdcudfsr_cache_get_node_by_name(&v.m, v.root, "A"));
  EXPECT_FALSE(free_for_others(a)) << "an active node comes back locked";
  mdcudfsr_cache_unlock_node(a);
  EXPECT_EQ(b, mdcudfsr_cache_get_node_by_id(&v.m, v.root, static_cast<uint32_t>(b->uid_key)));
  EXPECT_FALSE(free_for_others(b));
  mdcudfsr_cache_unlock_node(b);
  mdcudfsr_cache_inactivate_node(b, 1);
  EXPECT_EQ(nullptr, mdcudfsr_cache_get_node_by_name(&v.m, v.root, "b"));
  EXPECT_EQ(b, mdcudfsr_cache_get_node_by_id(&v.m, v.root, static_cast<uint32_t>(b->uid_key)));
  EXPECT_TRUE(free_for_others(b)) << "an inactive node comes back unlocked";
  EXPECT_EQ(nullptr, mdcudfsr_cache_get_node_by_id(&v.m, v.root, 0xFFFFFF));
}

TEST(CacheLookup, PathWalkLeavesOnlyTheResultLocked) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* a = v.make(v.root, "a", true);
  mdcudfsr_cache_node* b = v.make(a, "b");
  struct Case {
    const char* path;
    mdcudfsr_cache_node* node;
  };
  for (const Case& c : {Case{"/", v.root}, Case{"/a/b", b}, Case{"a/B", b}, Case{"/a/", nullptr},
                        Case{"/x/b", nullptr}, Case{"/a/b/c", nullptr}, Case{"", nullptr}}) {
    mdcudfsr_cache_node* n = mdcudfsr_cache_get_node_by_path(&v.m, c.path, nullptr);
    EXPECT_EQ(c.node, n) << c.path;
    if (n) {
      EXPECT_FALSE(free_for_others(n)) << c.path;
      mdcudfsr_cache_unlock_node(n);
    }
    for (mdcudfsr_cache_node* x : {v.root, a, b}) EXPECT_TRUE(free_for_others(x)) << c.path << " left locked";
  }
}

TEST(CacheLookup, CheckVnode) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  vnode_t out = reinterpret_cast<vnode_t>(1);
  EXPECT_EQ(0, mdcudfsr_cache_check_vnode(f, 1, &out));
  EXPECT_EQ(nullptr, out) << "no vnode";
  v.bind(f);
  EXPECT_EQ(0, mdcudfsr_cache_check_vnode(f, 1, &out));
  EXPECT_EQ(f->vp, out);
  rec().getwithvid_result = 2;  // a stale vnode id
  EXPECT_EQ(2, mdcudfsr_cache_check_vnode(f, 1, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_TRUE(rec().logged("vnode_getwithvid has failed (err=2)"));
  rec().forced_unmount = true;
  rec().getwithvid_calls = 0;
  EXPECT_EQ(0, mdcudfsr_cache_check_vnode(f, 1, &out));
  EXPECT_EQ(f->vp, out);
  EXPECT_EQ(0, rec().getwithvid_calls) << "a forced unmount hands the vnode out unchecked";
  EXPECT_TRUE(free_for_others(f));
}

namespace {

// A node held by another thread, and a manual clock advanced whenever a
// lock wait is pending.
struct Held {
  platform::ManualClock clock;
  platform::ScopedClock scope{clock};
  std::atomic<bool> release{false}, stop{false};
  std::thread holder, ticker;
  explicit Held(mdcudfsr_cache_node* n) {
    std::atomic<bool> taken{false};
    holder = std::thread([&, n] {
      mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
      taken = true;
      while (!release.load()) std::this_thread::yield();
      mdcudfsr_cache_unlock_node(n);
    });
    while (!taken.load()) std::this_thread::yield();
  }
  void tick() {
    ticker = std::thread([this] {
      while (!stop.load())
        if (clock.waiters() > 0) clock.advance(100);
        else std::this_thread::yield();
    });
  }
  ~Held() {
    release = true;
    stop = true;
    holder.join();
    if (ticker.joinable()) ticker.join();
  }
};

}  // namespace

TEST(CacheLookup, LockWithRetriesGivesUp) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  v.bind(f);
  mdcudfsr_metacache_init();
  v.m.metacachedev = mdcudfsr_metacache_alloc(&v.m);
  ASSERT_NE(nullptr, v.m.metacachedev);
  {
    Held h(f);
    h.tick();
    // The agent has been waiting on a request for 1000 s.
    {
      std::lock_guard<std::mutex> lk(v.m.metacachedev->busy_lock);
      v.m.metacachedev->wait_start = 1;
      v.m.metacachedev->wait_end = 0;
    }
    int locked = 1;
    EXPECT_EQ(f, mdcudfsr_cache_get_node_ex(f->vp, 1, &locked, 60, 100, MDCUDFSR_WAIT_FOREVER));
    EXPECT_EQ(0, locked);
    EXPECT_TRUE(rec().logged("lock fscache timeout retry=20 "));
    EXPECT_FALSE(rec().logged("lock fscache timeout retry=40 "));
    // Not busy: the retry limit ends it after the failure that exceeds it.
    {
      std::lock_guard<std::mutex> lk(v.m.metacachedev->busy_lock);
      v.m.metacachedev->wait_end = 2;
    }
    EXPECT_EQ(f, mdcudfsr_cache_get_node_ex(f->vp, 1, &locked, 60, 100, 3));
    EXPECT_EQ(0, locked);
    EXPECT_TRUE(rec().logged("give up node lock retry=4 "));
  }
  int locked = 0;
  EXPECT_EQ(f, mdcudfsr_cache_get_node_ex(f->vp, 1, &locked, 60, 100, 3));
  EXPECT_EQ(1, locked);
  mdcudfsr_cache_unlock_node(f);
  mdcudfsr_metacache_free(v.m.metacachedev);
  v.m.metacachedev = nullptr;
}

TEST(CacheLookup, ReclaimClearsTheBindingAndLeavesTheNode) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  v.bind(f);
  const uint32_t key = static_cast<uint32_t>(f->uid_key);
  EXPECT_EQ(0, mdcudfsr_cache_reclaim_vnode(f->vp, nullptr));
  EXPECT_EQ(nullptr, f->vp);
  EXPECT_EQ(f, mdcudfsr_cache_get_node_by_name(&v.m, v.root, "f")) << "the node stays";
  mdcudfsr_cache_unlock_node(f);
  // Inactive and unbound: the next sweep frees it.
  mdcudfsr_cache_inactivate_node(f, 1);
  mdcudfsr_cache_clean_up_inactive_node(v.root);
  EXPECT_EQ(nullptr, mdcudfsr_cache_get_node_by_id(&v.m, v.root, key));
}

// Ending the whole cache (as an all-erase does) frees nodes whose vnodes
// the host still holds: those vnodes must no longer lead to them.
TEST(CacheLookup, EndingTheCacheLeavesNoVnodeBoundToAFreedNode) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  v.bind(f);
  vnode_t root_vp = v.root->vp;
  vnode_t file_vp = f->vp;
  ASSERT_NE(nullptr, vnode_fsnode(file_vp));
  mdcudfsr_cache_unlock_node(f);
  mdcudfsr_cache_term(&v.m);
  v.root = nullptr;  // freed with the cache
  EXPECT_EQ(nullptr, vnode_fsnode(file_vp));
  EXPECT_EQ(nullptr, vnode_fsnode(root_vp));
}

TEST(CacheLookup, ReclaimByUmountDoesNotWaitForTheLock) {
  Volume v;
  v.bind_root();
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  v.bind(f);
  kel_set_proc_name_hook([](int) -> const char* { return "UMOUNT"; });
  {
    Held h(f);  // no ticker: a lock attempt would wait for ever
    auto done = std::async(std::launch::async, [&] { return mdcudfsr_cache_reclaim_vnode(f->vp, nullptr); });
    ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(30)));
    EXPECT_EQ(0, done.get());
    EXPECT_EQ(nullptr, f->vp);
  }
  kel_set_proc_name_hook(nullptr);
}

TEST(CacheLookup, InactivationLowersLinkAndObjectCounts) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  v.root->udf_data->nlink = 2;
  const uint32_t dirs = v.m.ndirs, files = v.m.nfiles;
  EXPECT_EQ(0, mdcudfsr_cache_inactivate_node(d, 1));
  EXPECT_EQ(1u, v.root->udf_data->nlink);
  EXPECT_EQ(dirs - 1, v.m.ndirs);
  EXPECT_EQ(0, mdcudfsr_cache_inactivate_node(f, 0));
  EXPECT_EQ(files, v.m.nfiles) << "without the count flag the count stays";
  EXPECT_EQ(MDCUDFSR_NODE_INACTIVE, f->status);
}

TEST(CacheReaddir, RecordsAreLaidOutByteForByte) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  d->objid = 0x123456789ull;
  mdcudfsr_cache_node* f = v.make(d, "file.txt");
  f->objid = 0xAB00000042ull;
  v.root->objid = MDCUDFSR_OBJID_ROOT;
  Listing l = list(d, 0, 4096);
  ASSERT_EQ(0, l.err);
  EXPECT_EQ(3, l.count);
  ASSERT_EQ(3u, l.entries.size());
  EXPECT_EQ(0x23456789u, l.entries[0].fileno);
  EXPECT_EQ(".", l.entries[0].name);
  EXPECT_EQ(15, l.entries[0].reclen);
  EXPECT_EQ(4, l.entries[0].type);
  EXPECT_EQ(uint32_t(MDCUDFSR_OBJID_ROOT), l.entries[1].fileno);
  EXPECT_EQ("..", l.entries[1].name);
  EXPECT_EQ(0x42u, l.entries[2].fileno);
  EXPECT_EQ((8 / 4) * 4 + 15, l.entries[2].reclen);
  EXPECT_EQ(8, l.entries[2].type);
  EXPECT_EQ(int64_t(f->uid_key + 1), l.cursor);
  // Listed again from the end cursor: nothing more.
  Listing again = list(d, l.cursor, 4096);
  EXPECT_EQ(0, again.err);
  EXPECT_EQ(0, again.count);
}

TEST(CacheReaddir, ChildrenByUniqueIdResumedAfterAFullBuffer) {
  Volume v;
  v.root->objid = MDCUDFSR_OBJID_ROOT;
  std::vector<mdcudfsr_cache_node*> kids;
  for (const char* n : {"zeta", "alpha", "mid"}) kids.push_back(v.make(v.root, n));
  mdcudfsr_cache_node* link = v.make(v.root, "ln");
  char t[] = "zeta";
  link->symlink_target = kelcache::copy_name(t, 4);
  // Only "." fits.
  Listing one = list(v.root, 0, 15);
  EXPECT_EQ(115, one.err);
  EXPECT_EQ(1, one.count);
  EXPECT_EQ(1, one.cursor);
  Listing rest = list(v.root, one.cursor, 4096);
  ASSERT_EQ(0, rest.err);
  std::vector<std::string> names;
  for (const auto& e : rest.entries) names.push_back(e.name);
  EXPECT_EQ((std::vector<std::string>{"..", "zeta", "alpha", "mid", "ln"}), names);
  EXPECT_EQ(10, rest.entries.back().type);
  // ".." and one child fit: the cursor stops at the next child's key.
  Listing part = list(v.root, 1, 15 + 19 + 5);
  EXPECT_EQ(115, part.err);
  EXPECT_EQ(int64_t(kids[1]->uid_key), part.cursor);
  // The child at the cursor goes away: listing resumes at the next key.
  mdcudfsr_cache_node* alpha = kids[1];
  v.root->uid_root = mdcudfsr_avl_delete(v.root, v.root->uid_root, alpha, alpha->uid_key);
  mdcudfsr_cache_inactivate_node(alpha, 1);
  Listing after = list(v.root, part.cursor, 4096);
  ASSERT_EQ(0, after.err);
  ASSERT_FALSE(after.entries.empty());
  EXPECT_EQ("mid", after.entries[0].name);
  v.root->uid_root = mdcudfsr_avl_insert(v.root, v.root->uid_root, alpha, alpha->uid_key, 1);
}

TEST(CacheReaddir, HiddenChildrenOnlyForThePrivilegedProcess) {
  Volume v;
  v.make(v.root, "seen");
  mdcudfsr_cache_node* hidden = v.make(v.root, "hidden");
  hidden->attributes |= MDCUDFSR_NODE_ATTR_INVISIBLE;
  vfs_context caller{77};
  for (bool privileged : {false, true}) {
    v.m.privileged_pid = privileged ? 77 : 78;
    Listing l = list(v.root, 0, 4096, &caller);
    ASSERT_EQ(0, l.err);
    EXPECT_EQ(privileged ? 4 : 3, l.count) << privileged;
  }
}
