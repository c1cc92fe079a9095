#include "kelhost/kern.h"
#include "kelhost/vnode.h"

#include "support_fake_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// A stand-in for the engine's lookup: a set of paths on the "medium" and the
// engine's node cache of the vnodes it has made (through vnode_create, as the
// engine does).
struct FakeEngine {
  std::mutex mu;
  std::map<std::string, bool> disk;          // lowered path -> is folder
  std::map<std::string, vnode*> cache;       // lowered path -> vnode
  std::vector<std::pair<std::string, std::string>> calls;  // (folder path, name)
  std::atomic<int> lookups{0};
  std::vector<std::pair<vnode*, void*>> reclaimed;  // (vnode, its node as reclaim read it)
  vnode* last_dvp = nullptr;
  std::uint32_t last_flags = 0;
  mount m{};
};
FakeEngine* g_engine = nullptr;

int fake_lookup(void* a) {
  auto* args = static_cast<vnop_lookup_args*>(a);
  EXPECT_EQ(args->a_desc, &vnop_lookup_desc);
  const componentname* cn = args->a_cnp;
  const std::string folder(cn->cn_pnbuf, static_cast<std::size_t>(cn->cn_pnlen));
  const std::string name(cn->cn_nameptr, static_cast<std::size_t>(cn->cn_namelen));
  const std::string key = lower(join(folder, name));
  std::lock_guard<std::mutex> lk(g_engine->mu);
  ++g_engine->lookups;
  g_engine->calls.emplace_back(folder, name);
  g_engine->last_dvp = args->a_dvp;
  g_engine->last_flags = cn->cn_flags;
  auto d = g_engine->disk.find(key);
  if (d == g_engine->disk.end()) return 2;
  auto c = g_engine->cache.find(key);
  if (c != g_engine->cache.end()) {
    *args->a_vpp = c->second;
    return 0;
  }
  vnode_fsparam p{};
  p.vnfs_mp = &g_engine->m;
  p.vnfs_vtype = d->second ? VDIR : VREG;
  p.vnfs_str = "keludf";
  p.vnfs_dvp = args->a_dvp;
  p.vnfs_fsnode = reinterpret_cast<void*>(0x1000 + g_engine->cache.size());
  p.vnfs_cnp = const_cast<componentname*>(cn);
  p.vnfs_flags = 3;
  vnode* vp = nullptr;
  const int err = vnode_create(VNCREATE_FLAVOR, VCREATESIZE, &p, &vp);
  if (err != 0) return err;
  g_engine->cache[key] = vp;
  *args->a_vpp = vp;
  return 0;
}

// The engine's inactive: an object that is gone has its vnode recycled.
int fake_inactive(void* a) {
  auto* args = static_cast<vnop_inactive_args*>(a);
  EXPECT_EQ(args->a_desc, &vnop_inactive_desc);
  {
    std::lock_guard<std::mutex> lk(g_engine->mu);
    for (auto it = g_engine->cache.begin(); it != g_engine->cache.end();)
      it = it->second == args->a_vp ? g_engine->cache.erase(it) : std::next(it);
  }
  return vnode_recycle(args->a_vp);
}

// The engine's reclaim reads the vnode it is handed.
int fake_reclaim(void* a) {
  auto* args = static_cast<vnop_reclaim_args*>(a);
  EXPECT_EQ(args->a_desc, &vnop_reclaim_desc);
  std::lock_guard<std::mutex> lk(g_engine->mu);
  g_engine->reclaimed.emplace_back(args->a_vp, vnode_fsnode(args->a_vp));
  return 0;
}

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakelog::reset();
    g_engine = &engine_;
    kel_vnops = KelResolvedVnops{};
    kel_vnops.lookup = fake_lookup;
    kel_vnops.inactive = fake_inactive;
    kel_vnops.reclaim = fake_reclaim;
    for (const char* p : {"/docs", "/docs/report.txt", "/docs/notes.txt", "/pics", "/pics/a.jpg",
                          "/pics/sub", "/pics/sub/deep.bin", "/x.txt"})
      engine_.disk[p] = std::strchr(p + 1, '.') == nullptr;
  }
  void TearDown() override {
    kel_tree_set_root(nullptr);
    kel_vnops = KelResolvedVnops{};
    g_engine = nullptr;
  }

  // What Mount and the engine's root lookup do: the top entry and the root vnode.
  void mount_tree() {
    devvp_ = kel_make_vnode(&engine_.m, nullptr, VBLK, 0);
    kel_tree_make_root(devvp_);
    vnode_fsparam p{};
    p.vnfs_mp = &engine_.m;
    p.vnfs_vtype = VDIR;
    p.vnfs_markroot = 1;
    ASSERT_EQ(vnode_create(0, VCREATESIZE, &p, &root_), 0);
    ASSERT_NE(root_, nullptr);
  }

  vnode* create_in(const char* folder, const char* name, std::uint32_t type = VREG) {
    componentname cn{};
    std::string f(folder), n(name);
    cn.cn_flags = MAKEENTRY;
    cn.cn_pnbuf = f.data();
    cn.cn_pnlen = static_cast<int>(f.size());
    cn.cn_nameptr = n.data();
    cn.cn_namelen = static_cast<int>(n.size());
    vnode_fsparam p{};
    p.vnfs_mp = &engine_.m;
    p.vnfs_vtype = type;
    p.vnfs_cnp = &cn;
    vnode* vp = nullptr;
    EXPECT_EQ(vnode_create(0, VCREATESIZE, &p, &vp), 0);
    return vp;
  }

  // The engine's recycle: forget the vnode in its cache, then the tree's.
  void recycle(vnode* vp) {
    {
      std::lock_guard<std::mutex> lk(engine_.mu);
      for (auto it = engine_.cache.begin(); it != engine_.cache.end();)
        it = it->second == vp ? engine_.cache.erase(it) : std::next(it);
    }
    EXPECT_EQ(vnode_recycle(vp), 0);
  }

  // The engine's release of an object it removed: inactive, then reclaim.
  void inactive(vnode* vp) {
    vnop_inactive_args args{&vnop_inactive_desc, vp, &ctx_};
    EXPECT_EQ(kel_vnops.inactive(&args), 0);
  }

  std::weak_ptr<vnode> watch(const char* path) {
    EntryPtr e = get_entry(path, &ctx_);
    EXPECT_NE(e, nullptr) << path;
    return e ? std::weak_ptr<vnode>(e->vn) : std::weak_ptr<vnode>();
  }

  std::string path_of(vnode* vp) {
    char buf[261] = {};
    int len = sizeof buf;
    EXPECT_EQ(vn_getpath(vp, buf, &len), 0);
    EXPECT_EQ(len, static_cast<int>(std::strlen(buf)) + 1);
    return buf;
  }

  FakeEngine engine_;
  vfs_context ctx_{77};
  std::shared_ptr<vnode> devvp_;
  vnode* root_ = nullptr;
};

TEST_F(TreeTest, RootBeforeAndAfterMount) {
  EXPECT_EQ(get_entry("/", &ctx_), nullptr);
  mount_tree();
  EntryPtr r = get_entry("/", &ctx_);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->vn.get(), root_);
  EXPECT_EQ(r->name, "");
  EXPECT_EQ(path_of(root_), "/");
  EXPECT_EQ(path_of(devvp_.get()), "/");
  EXPECT_TRUE(vnode_isvroot(root_));
  EXPECT_TRUE(vnode_isdir(root_));
  EXPECT_EQ(vnode_mount(root_), &engine_.m);
  EXPECT_EQ(engine_.lookups.load(), 0);
}

TEST_F(TreeTest, LookupByPathGoesThroughTheEngineOnce) {
  mount_tree();
  EntryPtr e = get_entry("/Docs/Report.txt", &ctx_);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->name, "Report.txt");
  EXPECT_TRUE(vnode_isreg(e->vn.get()));
  ASSERT_EQ(engine_.calls.size(), 2u);
  EXPECT_EQ(engine_.calls[0], (std::pair<std::string, std::string>{"/", "Docs"}));
  EXPECT_EQ(engine_.calls[1], (std::pair<std::string, std::string>{"/Docs", "Report.txt"}));
  EXPECT_EQ(engine_.last_flags, MAKEENTRY);
  EXPECT_EQ(path_of(e->vn.get()), "/Docs/Report.txt");

  // Case-insensitive hits are served from the tree and keep the stored case.
  for (const char* p : {"/docs/report.txt", "/DOCS/REPORT.TXT", "//Docs//Report.txt", "/Docs/Report.txt/"}) {
    EntryPtr again = get_entry(p, &ctx_);
    ASSERT_NE(again, nullptr) << p;
    EXPECT_EQ(again, e) << p;
    EXPECT_EQ(again->name, "Report.txt");
  }
  EXPECT_EQ(engine_.lookups.load(), 2);
  EXPECT_EQ(path_of(e->vn.get()), "/Docs/Report.txt");
}

TEST_F(TreeTest, MissingPathAndUnresolvedLookup) {
  mount_tree();
  EXPECT_EQ(get_entry("/docs/none.txt", &ctx_), nullptr);
  EXPECT_TRUE(fakelog::contains("failed to lookup entry [/docs/none.txt] err=2"));
  EXPECT_EQ(get_entry("/docs/x", nullptr), nullptr);
  EXPECT_TRUE(fakelog::contains("lookup_entry[Start] NG Invalid argument"));
  kel_vnops.lookup = nullptr;
  EXPECT_EQ(get_entry("/pics", &ctx_), nullptr);
}

TEST_F(TreeTest, CaseDuplicateCreateKeepsTheExistingEntry) {
  mount_tree();
  EntryPtr e = get_entry("/Docs/Report.txt", &ctx_);
  ASSERT_NE(e, nullptr);
  vnode* dup = create_in("/Docs", "REPORT.TXT");
  ASSERT_NE(dup, nullptr);
  EXPECT_NE(dup, e->vn.get());
  EXPECT_EQ(get_entry("/docs/report.txt", &ctx_), e);
  EXPECT_EQ(kel_tree_unplaced_count(), 1u);
  // The duplicate's vnode lives on and knows its path.
  EXPECT_EQ(path_of(dup), "/Docs/REPORT.TXT");
  fakelog::reset();
  EXPECT_EQ(vnode_recycle(dup), 0);
  EXPECT_TRUE(fakelog::contains("vnode_recycle : /Docs/REPORT.TXT's node is already replaced"));
  EXPECT_EQ(kel_tree_unplaced_count(), 0u);
  EXPECT_EQ(get_entry("/docs/report.txt", &ctx_), e);
}

TEST_F(TreeTest, CreateOutsideTheTreeKeepsTheVnode) {
  mount_tree();
  vnode* lost = create_in("/nowhere/at/all", "f.txt");
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(kel_tree_unplaced_count(), 1u);
  EXPECT_EQ(path_of(lost), "/f.txt");
  EXPECT_EQ(vnode_ref(lost), 0);
  EXPECT_EQ(vnode_recycle(lost), 0);
  EXPECT_EQ(kel_tree_unplaced_count(), 0u);
}

TEST_F(TreeTest, GetPathNeedsRoomForTheTerminator) {
  mount_tree();
  EntryPtr e = get_entry("/pics/sub/deep.bin", &ctx_);
  ASSERT_NE(e, nullptr);
  const std::string want = "/pics/sub/deep.bin";
  char buf[64];
  std::memset(buf, '#', sizeof buf);
  int len = static_cast<int>(want.size());
  EXPECT_EQ(vn_getpath(e->vn.get(), buf, &len), 12);
  EXPECT_EQ(len, static_cast<int>(want.size()));
  EXPECT_EQ(buf[0], '#');
  len = static_cast<int>(want.size()) + 1;
  EXPECT_EQ(vn_getpath(e->vn.get(), buf, &len), 0);
  EXPECT_EQ(len, static_cast<int>(want.size()) + 1);
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(vn_getpath(nullptr, buf, &len), 22);
  EXPECT_EQ(vn_getpath(e->vn.get(), nullptr, &len), 22);
  EXPECT_EQ(vn_getpath(e->vn.get(), buf, nullptr), 22);
}

struct Visit {
  std::vector<vnode*> order;
  std::function<void(vnode*)> hook;
};
int record_visit(vnode* vp, void* arg) {
  auto* v = static_cast<Visit*>(arg);
  v->order.push_back(vp);
  if (v->hook) v->hook(vp);
  return 0;
}

TEST_F(TreeTest, IterationVisitsChildrenBeforeParents) {
  mount_tree();
  std::map<std::string, vnode*> vp;
  for (const char* p : {"/docs/report.txt", "/docs/notes.txt", "/pics/a.jpg", "/pics/sub/deep.bin", "/x.txt"}) {
    ASSERT_NE(get_entry(p, &ctx_), nullptr) << p;
  }
  for (const char* p : {"/docs", "/docs/report.txt", "/docs/notes.txt", "/pics", "/pics/a.jpg", "/pics/sub",
                        "/pics/sub/deep.bin", "/x.txt"})
    vp[p] = get_entry(p, &ctx_)->vn.get();
  Visit v;
  EXPECT_EQ(vnode_iterate(&engine_.m, 0, record_visit, &v), 0);
  ASSERT_EQ(v.order.size(), 9u);  // eight objects and the volume root, not devvp
  EXPECT_EQ(v.order.back(), root_);
  EXPECT_EQ(std::count(v.order.begin(), v.order.end(), devvp_.get()), 0);
  auto pos = [&](const char* p) { return std::find(v.order.begin(), v.order.end(), vp[p]) - v.order.begin(); };
  EXPECT_LT(pos("/docs/report.txt"), pos("/docs"));
  EXPECT_LT(pos("/docs/notes.txt"), pos("/docs"));
  EXPECT_LT(pos("/pics/sub/deep.bin"), pos("/pics/sub"));
  EXPECT_LT(pos("/pics/sub"), pos("/pics"));
  EXPECT_LT(pos("/pics/a.jpg"), pos("/pics"));

  EXPECT_EQ(vnode_iterate(nullptr, 0, record_visit, &v), 22);
  EXPECT_EQ(vnode_iterate(&engine_.m, 0, nullptr, &v), 22);
  EXPECT_EQ(vnode_iterate(&engine_.m, 0, record_visit, nullptr), 22);
}

TEST_F(TreeTest, CallbackMayRecycleDuringTheWalk) {
  mount_tree();
  for (const char* p : {"/docs/report.txt", "/docs/notes.txt", "/pics/a.jpg", "/pics/sub/deep.bin", "/x.txt"})
    ASSERT_NE(get_entry(p, &ctx_), nullptr);
  vnode* docs = get_entry("/docs", &ctx_)->vn.get();
  vnode* deep = get_entry("/pics/sub/deep.bin", &ctx_)->vn.get();
  vnode* pics = get_entry("/pics", &ctx_)->vn.get();
  Visit v;
  // Like the unmount callback: recycle what is seen; on reaching the deep
  // file, also recycle its grandparent folder, which is not visited then.
  v.hook = [&](vnode* vp) {
    if (vp == deep) recycle(pics);
    if (vp != root_) recycle(vp);
  };
  EXPECT_EQ(vnode_iterate(&engine_.m, 0, record_visit, &v), 0);
  EXPECT_EQ(std::count(v.order.begin(), v.order.end(), pics), 0);
  EXPECT_EQ(std::count(v.order.begin(), v.order.end(), docs), 1);
  std::set<vnode*> unique(v.order.begin(), v.order.end());
  EXPECT_EQ(unique.size(), v.order.size());
  EntryPtr r = get_entry("/", &ctx_);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->children.empty());
  // A new lookup reaches the engine again.
  const int before = engine_.lookups.load();
  EXPECT_NE(get_entry("/docs", &ctx_), nullptr);
  EXPECT_EQ(engine_.lookups.load(), before + 1);
}

TEST_F(TreeTest, CallbackMayLookUpWithoutDeadlock) {
  mount_tree();
  ASSERT_NE(get_entry("/docs", &ctx_), nullptr);
  Visit v;
  v.hook = [&](vnode*) {
    EXPECT_NE(get_entry("/pics/a.jpg", &ctx_), nullptr);
    char buf[64];
    int len = sizeof buf;
    EXPECT_EQ(vn_getpath(root_, buf, &len), 0);
  };
  EXPECT_EQ(vnode_iterate(&engine_.m, 0, record_visit, &v), 0);
  EXPECT_EQ(v.order.size(), 2u);  // the snapshot: /docs and the root
}

TEST_F(TreeTest, RenameAndMoveUpdateTheIdentity) {
  mount_tree();
  EntryPtr report = get_entry("/docs/report.txt", &ctx_);
  EntryPtr pics = get_entry("/pics", &ctx_);
  ASSERT_NE(report, nullptr);
  ASSERT_NE(pics, nullptr);
  vnode* vp = report->vn.get();

  vnode_update_identity(vp, nullptr, "Final.TXT", 0, 0, VNODE_UPDATE_NAME);
  EXPECT_EQ(path_of(vp), "/docs/Final.TXT");
  const int before = engine_.lookups.load();
  EXPECT_EQ(get_entry("/docs/final.txt", &ctx_), report);
  EXPECT_EQ(engine_.lookups.load(), before);
  EXPECT_EQ(get_entry("/docs", &ctx_)->children.count("report.txt"), 0u);

  // Name with an explicit length.
  vnode_update_identity(vp, nullptr, "moved.txtGARBAGE", 9, 0, VNODE_UPDATE_NAME | VNODE_UPDATE_PARENT);
  EXPECT_EQ(path_of(vp), "/docs/moved.txt");
  vnode_update_identity(vp, pics->vn.get(), "moved.txt", 9, 0, VNODE_UPDATE_NAME | VNODE_UPDATE_PARENT);
  EXPECT_EQ(path_of(vp), "/pics/moved.txt");
  EXPECT_EQ(get_entry("/PICS/MOVED.TXT", &ctx_), report);
  EXPECT_EQ(get_entry("/docs", &ctx_)->children.size(), 0u);

  // Null vnode or name changes nothing.
  vnode_update_identity(nullptr, nullptr, "n", 0, 0, VNODE_UPDATE_NAME);
  vnode_update_identity(vp, nullptr, nullptr, 0, 0, VNODE_UPDATE_NAME);
  EXPECT_EQ(path_of(vp), "/pics/moved.txt");
}

TEST_F(TreeTest, RenameOntoATakenNameKeepsBothVnodes) {
  mount_tree();
  EntryPtr report = get_entry("/docs/report.txt", &ctx_);
  EntryPtr notes = get_entry("/docs/notes.txt", &ctx_);
  vnode* rvp = report->vn.get();
  report.reset();
  vnode_update_identity(rvp, nullptr, "NOTES.txt", 0, 0, VNODE_UPDATE_NAME);
  EXPECT_TRUE(fakelog::contains("vnode_update_identity vp:"));
  // The name stays with its holder; the renamed vnode lives outside the map.
  EXPECT_EQ(get_entry("/docs/notes.txt", &ctx_), notes);
  EXPECT_EQ(kel_tree_unplaced_count(), 1u);
  EXPECT_EQ(path_of(rvp), "/docs/NOTES.txt");

  // Renaming the unplaced entry again must not throw out the holder of its
  // old name.
  fakelog::reset();
  vnode_update_identity(rvp, nullptr, "later.txt", 0, 0, VNODE_UPDATE_NAME);
  EXPECT_TRUE(fakelog::contains("Oops! NOTES.txt->parent->children node doesn't match itself!!"));
  EXPECT_EQ(get_entry("/docs/notes.txt", &ctx_), notes);
  EXPECT_EQ(get_entry("/docs/later.txt", &ctx_)->vn.get(), rvp);
  EXPECT_EQ(kel_tree_unplaced_count(), 0u);
}

TEST_F(TreeTest, MoveUnderAFolderOutsideTheTreeIsRefused) {
  mount_tree();
  EntryPtr report = get_entry("/docs/report.txt", &ctx_);
  vnode* outside = create_in("/gone", "dir", VDIR);
  vnode_update_identity(report->vn.get(), outside, "report.txt", 0, 0, VNODE_UPDATE_PARENT | VNODE_UPDATE_NAME);
  EXPECT_TRUE(fakelog::contains("->parent->parent->children doesn't include parent!!"));
  EXPECT_EQ(path_of(report->vn.get()), "/docs/report.txt");
  EXPECT_EQ(get_entry("/docs/report.txt", &ctx_), report);
}

TEST_F(TreeTest, RecycleRemovesTheEntryOnce) {
  mount_tree();
  EntryPtr pics = get_entry("/pics/sub/deep.bin", &ctx_);
  vnode* sub = get_entry("/pics/sub", &ctx_)->vn.get();
  pics.reset();
  fakelog::reset();
  recycle(sub);
  EXPECT_TRUE(fakelog::contains("vnode_recycle : remove /pics/sub's node"));
  // Out of the tree, but the engine has not reclaimed it yet.
  EXPECT_FALSE(fakelog::contains("destruct sub"));
  EXPECT_EQ(get_entry("/pics", &ctx_)->children.count("sub"), 0u);
  // Found again through the engine, as a new vnode.
  const int before = engine_.lookups.load();
  EntryPtr again = get_entry("/pics/sub", &ctx_);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(engine_.lookups.load(), before + 1);

  vnode* x = get_entry("/x.txt", &ctx_)->vn.get();
  EntryPtr held = get_entry("/x.txt", &ctx_);  // a slot still holds it
  recycle(x);
  EXPECT_EQ(held->vn.get(), x);  // alive while held
  fakelog::reset();
  EXPECT_EQ(vnode_recycle(x), 0);
  EXPECT_TRUE(fakelog::contains("vnode_recycle : /x.txt's node is already removed"));
  EXPECT_EQ(vnode_recycle(nullptr), 22);
  EXPECT_EQ(vnode_ref(nullptr), 22);
  EXPECT_EQ(vnode_ref(held->vn.get()), 0);
}

TEST_F(TreeTest, RecycledVnodeLivesUntilTheEngineReclaimsIt) {
  mount_tree();
  ASSERT_NE(get_entry("/Docs/Report.txt", &ctx_), nullptr);
  vnode* dup = create_in("/Docs", "REPORT.TXT");  // kept outside the tree
  struct Case {
    const char* what;
    vnode* vp;
  } cases[] = {{"placed", get_entry("/x.txt", &ctx_)->vn.get()}, {"unplaced", dup}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::weak_ptr<vnode> alive = c.vp->v_entry->vn;
    void* const node = vnode_fsnode(c.vp);
    inactive(c.vp);
    ASSERT_FALSE(alive.expired());
    EXPECT_EQ(vnode_fsnode(c.vp), node);
    engine_.reclaimed.clear();
    EXPECT_EQ(VNOP_RECLAIM(c.vp, &ctx_), 0);
    ASSERT_EQ(engine_.reclaimed.size(), 1u);
    EXPECT_EQ(engine_.reclaimed[0], std::make_pair(c.vp, node));
    EXPECT_TRUE(alive.expired());
  }
  EXPECT_EQ(kel_tree_unplaced_count(), 0u);
  // Found again through the engine, as a new vnode.
  const int before = engine_.lookups.load();
  EXPECT_NE(get_entry("/x.txt", &ctx_), nullptr);
  EXPECT_EQ(engine_.lookups.load(), before + 1);
}

TEST_F(TreeTest, ReclaimOfARecycledFolderKeepsTheVnodesBelowIt) {
  mount_tree();
  std::weak_ptr<vnode> sub = watch("/pics/sub"), deep = watch("/pics/sub/deep.bin");
  vnode* subvp = sub.lock().get();
  inactive(subvp);
  EXPECT_FALSE(sub.expired());
  EXPECT_EQ(VNOP_RECLAIM(subvp, &ctx_), 0);
  EXPECT_TRUE(sub.expired());
  EXPECT_FALSE(deep.expired());  // not reclaimed: the engine may still use it
  kel_tree_make_root(kel_make_vnode(&engine_.m, nullptr, VBLK, 0));
  EXPECT_TRUE(deep.expired());
}

TEST_F(TreeTest, ReclaimTakesAVnodeStillInTheTreeOut) {
  mount_tree();
  std::weak_ptr<vnode> x = watch("/x.txt");
  vnode* vp = x.lock().get();
  EXPECT_EQ(VNOP_RECLAIM(vp, &ctx_), 0);
  EXPECT_TRUE(x.expired());
  EXPECT_TRUE(get_entry("/", &ctx_)->children.empty());
  EXPECT_EQ(VNOP_RECLAIM(nullptr, &ctx_), 22);
  EXPECT_EQ(VNOP_RECLAIM(root_, nullptr), 22);
  kel_vnops.reclaim = nullptr;
  EXPECT_EQ(VNOP_RECLAIM(root_, &ctx_), 22);
  EXPECT_NE(get_entry("/", &ctx_), nullptr);
}

TEST_F(TreeTest, VnodesRecycledByAWalkLiveUntilTheNextMount) {
  mount_tree();
  std::vector<std::weak_ptr<vnode>> seen;
  for (const char* p : {"/docs/report.txt", "/pics/sub/deep.bin", "/x.txt"}) seen.push_back(watch(p));
  vnode* dup = create_in("/docs", "REPORT.TXT");
  seen.push_back(dup->v_entry->vn);
  Visit v;
  // The sync walk's callback: recycle what the engine no longer needs,
  // without a reclaim.
  v.hook = [&](vnode* vp) {
    if (vp != root_) recycle(vp);
  };
  ASSERT_EQ(vnode_iterate(&engine_.m, 0, record_visit, &v), 0);
  recycle(dup);
  for (const auto& w : seen) EXPECT_FALSE(w.expired());
  for (vnode* vp : v.order) EXPECT_GE(vnode_isdir(vp) + vnode_isreg(vp), 1);  // still readable
  EXPECT_TRUE(get_entry("/", &ctx_)->children.empty());
  kel_tree_make_root(kel_make_vnode(&engine_.m, nullptr, VBLK, 0));
  for (const auto& w : seen) EXPECT_TRUE(w.expired());
}

TEST_F(TreeTest, MountReplacesTheTree) {
  mount_tree();
  ASSERT_NE(get_entry("/docs/report.txt", &ctx_), nullptr);
  create_in("/nowhere", "lost");
  EXPECT_EQ(kel_tree_unplaced_count(), 1u);
  {
    std::lock_guard<std::mutex> lk(engine_.mu);
    engine_.cache.clear();
  }
  fakelog::reset();
  kel_tree_make_root(kel_make_vnode(&engine_.m, nullptr, VBLK, 0));
  EXPECT_TRUE(fakelog::contains("destruct report.txt"));
  EXPECT_TRUE(fakelog::contains("destruct lost"));
  EXPECT_EQ(kel_tree_unplaced_count(), 0u);
  EXPECT_EQ(get_entry("/", &ctx_), nullptr);  // no volume root yet
  EXPECT_EQ(get_entry("/docs/report.txt", &ctx_), nullptr);
  vnode_fsparam p{};
  p.vnfs_mp = &engine_.m;
  p.vnfs_vtype = VDIR;
  p.vnfs_markroot = 1;
  vnode* root = nullptr;
  ASSERT_EQ(vnode_create(0, VCREATESIZE, &p, &root), 0);
  ASSERT_NE(get_entry("/", &ctx_), nullptr);
  EXPECT_EQ(get_entry("/", &ctx_)->vn.get(), root);
}

TEST_F(TreeTest, AccessorsAndVnodeOperations) {
  fakelog::reset();
  EXPECT_EQ(vnode_isdir(nullptr), 0);
  EXPECT_EQ(vnode_isreg(nullptr), 0);
  EXPECT_EQ(vnode_islnk(nullptr), 0);
  EXPECT_EQ(vnode_isvroot(nullptr), 0);
  EXPECT_EQ(vnode_mount(nullptr), nullptr);
  EXPECT_EQ(vnode_fsnode(nullptr), nullptr);
  EXPECT_TRUE(fakelog::contains("ERR_"));
  EXPECT_TRUE(fakelog::contains("Invalid argument"));
  auto link = kel_make_vnode(&engine_.m, reinterpret_cast<void*>(0x55), VLNK, 0);
  EXPECT_TRUE(vnode_islnk(link.get()));
  EXPECT_FALSE(vnode_isdir(link.get()));
  EXPECT_EQ(vnode_fsnode(link.get()), reinterpret_cast<void*>(0x55));

  static vnop_fsync_args seen_fsync;
  static vnop_blockmap_args seen_map;
  kel_vnops.fsync = [](void* a) {
    seen_fsync = *static_cast<vnop_fsync_args*>(a);
    return 5;
  };
  kel_vnops.blockmap = [](void* a) {
    seen_map = *static_cast<vnop_blockmap_args*>(a);
    *seen_map.a_bpn = 1234;
    *seen_map.a_run = 65536;
    *seen_map.a_poff = 0;
    return 0;
  };
  EXPECT_EQ(VNOP_FSYNC(link.get(), 1, &ctx_), 5);
  EXPECT_EQ(seen_fsync.a_desc, &vnop_fsync_desc);
  EXPECT_EQ(seen_fsync.a_vp, link.get());
  EXPECT_EQ(seen_fsync.a_waitfor, 1);
  EXPECT_EQ(seen_fsync.a_context, &ctx_);
  EXPECT_EQ(VNOP_FSYNC(nullptr, 1, &ctx_), 22);
  EXPECT_EQ(VNOP_FSYNC(link.get(), 1, nullptr), 22);

  blockmap_result r{-1, 0};
  EXPECT_EQ(vnode_blockmap(link.get(), 4096, 8192, VNODE_READ, &r), 0);
  EXPECT_EQ(seen_map.a_desc, &vnop_blockmap_desc);
  EXPECT_EQ(seen_map.a_foffset, 4096);
  EXPECT_EQ(seen_map.a_size, 8192u);
  EXPECT_EQ(seen_map.a_flags, VNODE_READ);
  EXPECT_EQ(r.sector, 1234);
  EXPECT_EQ(r.run, 65536u);
  EXPECT_EQ(vnode_blockmap(link.get(), 0, 1, 0, nullptr), 22);
  EXPECT_EQ(vnode_blockmap(nullptr, 0, 1, 0, &r), 22);
  kel_vnops.blockmap = nullptr;
  EXPECT_EQ(vnode_blockmap(link.get(), 0, 1, 0, &r), 22);  // not resolved: refused, no call
}

TEST(EntryNames, CaseFoldsAsciiOnly) {
  EntryNameHash h;
  EntryNameEqual eq;
  EXPECT_EQ(h("ReadMe.TXT"), h("readme.txt"));
  EXPECT_EQ(h("readme.txt"), std::hash<std::string>{}("readme.txt"));
  EXPECT_TRUE(eq("ReadMe.TXT", "readme.txt"));
  EXPECT_FALSE(eq("\xc3\x89t\xc3\xa9", "\xc3\xa9t\xc3\xa9"));  // É vs é stay different
  EXPECT_FALSE(eq("abc", "abcd"));
}

// The children table against a reference map, through inserts, lookups in
// either case and erases that shift later slots back.
TEST(EntryNames, ChildrenTableKeepsEveryNameThroughGrowthAndErases) {
  EntryChildren t;
  std::map<std::string, std::shared_ptr<Entry>> ref;  // lower-case names
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::uint32_t seed = 7;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int round = 0; round < 4000; ++round) {
    const std::string name = "F" + std::to_string(next() % 700) + (next() % 2 ? "x" : "X");
    const auto it = t.find(name);
    const auto r = ref.find(lower(name));
    ASSERT_EQ(it == t.end(), r == ref.end()) << name;
    if (it == t.end()) {
      auto e = std::make_shared<Entry>(name, std::weak_ptr<Entry>(), nullptr);
      ASSERT_TRUE(t.emplace(name, e).second);
      ref[lower(name)] = e;
    } else {
      ASSERT_EQ(it->second, r->second);
      ASSERT_FALSE(t.emplace(lower(name), nullptr).second) << "a name in another case is the same name";
      if (next() % 3 == 0) {
        t.erase(it);
        ref.erase(r);
      }
    }
    ASSERT_EQ(t.size(), ref.size());
  }
  std::size_t seen = 0;
  for (const auto& [name, child] : t) {
    ASSERT_EQ(ref.at(lower(name)), child);
    ++seen;
  }
  EXPECT_EQ(seen, ref.size());
  for (const auto& [name, child] : ref) EXPECT_EQ(t.find(name)->second, child) << name;
  EntryChildren other;
  other.swap(t);
  EXPECT_TRUE(t.empty());
  EXPECT_EQ(other.size(), ref.size());
  other.clear();
  EXPECT_TRUE(other.empty());
  EXPECT_TRUE(other.find("F1x") == other.end());
}

TEST(PathParserTest, ComponentsAndPrefix) {
  PathParser p("/a//b/");
  std::vector<std::pair<std::string, std::string>> seen;
  while (!p.done()) {
    seen.emplace_back(p.component(), p.prefix());
    p.advance();
  }
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{{"", "/"}, {"a", "/"}, {"b", "/a"}}));
  EXPECT_TRUE(PathParser("").done());
  EXPECT_TRUE(PathParser(nullptr).done());
}

TEST_F(TreeTest, HammeredFromSeveralThreads) {
  mount_tree();
  for (int i = 0; i < 20; ++i) engine_.disk["/docs/f" + std::to_string(i)] = false;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  // Readers: lookups and paths of what they hold.
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const std::string p = "/DOCS/F" + std::to_string((i + t) % 20);
        EntryPtr e = get_entry(p.c_str(), &ctx_);
        if (e) {
          char buf[261];
          int len = sizeof buf;
          vn_getpath(e->vn.get(), buf, &len);
          vnode_ref(e->vn.get());
        }
      }
    });
  // Renamer: renames and moves entries it holds.
  threads.emplace_back([&] {
    EntryPtr pics = get_entry("/pics", &ctx_);
    EntryPtr docs = get_entry("/docs", &ctx_);
    for (int i = 0; i < 200; ++i) {
      EntryPtr e = get_entry("/pics/a.jpg", &ctx_);
      if (!e) e = get_entry("/docs/a.jpg", &ctx_);
      if (!e) continue;
      vnode_update_identity(e->vn.get(), (i % 2 ? pics : docs)->vn.get(), "a.jpg", 0, 0, 3);
    }
  });
  // Recycler and iterator.
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      EntryPtr e = get_entry(("/docs/f" + std::to_string(i % 20)).c_str(), &ctx_);
      if (e) recycle(e->vn.get());
      Visit v;
      vnode_iterate(&engine_.m, 0, record_visit, &v);
    }
  });
  for (auto& th : threads) th.join();
  stop = true;
  Visit v;
  EXPECT_EQ(vnode_iterate(&engine_.m, 0, record_visit, &v), 0);
  EXPECT_EQ(v.order.back(), root_);
}

}  // namespace
