// Allocation, release and the sweep of cache nodes.
#include "support.h"

#include "udf/udf_names.h"

using namespace cache_test;

namespace {

vnode g_bound{};  // a vnode that keeps its node alive (never dereferenced)

}  // namespace

TEST(Alloc, FillsTheNodeAndItsPlacementBits) {
  Volume v;
  mdcudfsr_cache_node* top = v.make(v.root, "top", true);
  top->attributes |= 0x40;  // a location bit the children inherit
  char name[] = "child";
  mdcudfsr_cache_node* n = mdcudfsr_cache_alloc_node(&v.m, top, name, 0, 0, 0x1, MDCUDFSR_NODE_UDF);
  ASSERT_NE(nullptr, n);
  EXPECT_NE(name, n->vfs_name);  // a copy of its own
  EXPECT_STREQ("child", n->vfs_name);
  EXPECT_EQ(0x41u, n->attributes);
  EXPECT_EQ(MDCUDFSR_NODE_ATTR_LOCATION_ROOT, top->attributes & 0xF0 & ~0x40u);
  EXPECT_EQ(0u, mdcudfsr_cache_decide_node_location(&v.m, nullptr));
  EXPECT_NE(nullptr, n->udf_data);
  EXPECT_EQ(&v.m, n->mdcudfsrmp);
  EXPECT_EQ(top, n->parent);
  mdcudfsr_cache_free_node(n);
}

TEST(Alloc, FailuresLeaveNothingBehind) {
  // 1: the node, 2: its entry data, 3: its name.
  for (int nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE(nth);
    Volume v;
    char name[] = "x";
    fail_allocation(nth);
    EXPECT_EQ(nullptr, mdcudfsr_cache_alloc_node(&v.m, v.root, name, 0, 0, 0, MDCUDFSR_NODE_UDF));
    clear_allocation_failure();
  }
  Volume v;
  EXPECT_EQ(22, mdcudfsr_cache_alloc_vfam_data(nullptr, v.root));
  EXPECT_EQ(22, mdcudfsr_cache_alloc_vfam_data(&v.m, nullptr));
  fail_allocation(1);
  EXPECT_EQ(12, mdcudfsr_cache_alloc_vfam_data(&v.m, v.root));
  EXPECT_EQ(0, mdcudfsr_cache_alloc_vfam_data(&v.m, v.root));
  EXPECT_EQ(0, mdcudfsr_cache_alloc_vfam_data(&v.m, v.root));  // already there
  mdcudfsr_cache_free_vfam_data(v.root);
  EXPECT_EQ(nullptr, v.root->vfam_data);
}

// A directory outside the root's lists, released by the test itself.
mdcudfsr_cache_node* loose_dir(Volume& v) {
  char name[] = "d";
  return mdcudfsr_cache_alloc_node(&v.m, v.root, name, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
}

std::vector<std::string> released(const Recorder& r) {
  std::vector<std::string> out;
  for (const auto& l : r.logs) {
    const auto at = l.find("mdcudfsr_cache_free_node");
    const auto name = l.find("name=", at == std::string::npos ? 0 : at);
    if (at != std::string::npos && name != std::string::npos) out.push_back(l.substr(name + 5, l.find_first_of("\r\n", name) - name - 5));
  }
  return out;
}

TEST(Release, DirectoryGoesWithEverythingBelowItLastChildFirst) {
  Volume v;
  mdcudfsr_cache_node* d = loose_dir(v);
  for (const char* n : {"one", "two", "three"}) v.make(d, n);
  mdcudfsr_cache_node* sub = v.make(d, "sub", true);
  v.make(sub, "deep");
  // An inactive node moved aside by a same-name creation stands only in
  // inactive_list and the unique-id lists.
  mdcudfsr_cache_node* two = mdcudfsr_name_avl_search(d->name_root, "two", nullptr);
  two->status = MDCUDFSR_NODE_INACTIVE;
  two->hash_ea_list.push_back({1, {1, 2, 3}});
  v.make(d, "TWO");
  ASSERT_EQ(two, d->inactive_list.first);
  rec().logs.clear();
  EXPECT_EQ(0, mdcudfsr_cache_free_node(d));
  EXPECT_EQ((std::vector<std::string>{"d", "two", "TWO", "sub", "deep", "three", "one"}), released(rec()));
}

TEST(Release, CorruptBackLinkStopsEmptyingTheListAndReleaseGoesOn) {
  Volume v;
  mdcudfsr_cache_node* d = loose_dir(v);
  v.make(d, "a");
  v.make(d, "b");
  d->avl_all_list.first->alist.prev = v.root;
  rec().logs.clear();
  EXPECT_EQ(0, mdcudfsr_cache_free_node(d));
  EXPECT_TRUE(rec().logged("[TAILQ_REMOVE] detect invalid pointer."));
  EXPECT_EQ(3u, released(rec()).size());
}

TEST(Release, MasterAndProxyReleasedInEitherOrderShareTheirDataSafely) {
  for (int master_first = 0; master_first < 2; ++master_first) {
    SCOPED_TRACE(master_first ? "master first" : "proxy first");
    Volume v;
    ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
    mdcudfsr_cache_node* m = v.make(v.root, "file");
    m->kind = MDCUDFSR_NODE_MASTER;
    ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, m, 0, nullptr));
    mdcudfsr_cache_node* p = m->proxy;
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(m->udf_data, p->udf_data);
    mdcudfsr_extent_entry e;
    e.extent.len = 2048;
    ASSERT_EQ(0, mdcudfsr_extent_list_add(&m->udf_data->extents, &e, 0));
    m->status = p->status = MDCUDFSR_NODE_INACTIVE;
    if (master_first) {
      EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.root));
      EXPECT_EQ(nullptr, p->udf_data);  // the proxy can no longer reach the freed data
      EXPECT_EQ(nullptr, p->master);
      EXPECT_EQ(0u, mdcudfsr_cache_get_file_size(p));
    } else {
      EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.m.shadow_node));
      EXPECT_EQ(nullptr, m->proxy);
      EXPECT_EQ(1u, mdcudfsr_cache_count_extents(m));
    }
  }
}

TEST(Sweep, FreesInactiveUnboundNodesOnly) {
  const struct {
    const char* what;
    uint32_t medium;
    bool bound;
    bool proxy;
    bool freed;
  } cases[] = {
      {"unbound file", 0xE1, false, false, true},
      {"bound file", 0xE1, true, false, false},
      {"bound proxy", 0xE1, true, true, false},
      {"bound proxy on F2h", 0xF2, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v(c.medium);
    mdcudfsr_cache_node* n;
    mdcudfsr_cache_node* parent = v.root;
    if (c.proxy) {
      ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
      mdcudfsr_cache_node* master = v.make(v.root, "m");
      master->kind = MDCUDFSR_NODE_MASTER;
      ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, master, 0, nullptr));
      n = master->proxy;
      parent = v.m.shadow_node;
    } else {
      n = v.make(v.root, "f");
    }
    n->status = MDCUDFSR_NODE_INACTIVE;
    if (c.bound) n->vp = &g_bound;
    EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(parent));
    EXPECT_EQ(c.freed, parent->children.first == nullptr);
    if (c.freed) {
      EXPECT_EQ(nullptr, parent->avl_all_list.first);  // nothing left for readdir
    }
    if (!c.freed) n->vp = nullptr;
  }
}

TEST(Sweep, BoundNodeMovedAsideSurvivesUntilItsVnodeGoes) {
  Volume v;
  mdcudfsr_cache_node* old = v.make(v.root, "same");
  old->vp = &g_bound;
  old->status = MDCUDFSR_NODE_INACTIVE;
  mdcudfsr_cache_node* fresh = v.make(v.root, "same");
  ASSERT_EQ(old, v.root->inactive_list.first);

  EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.root));
  EXPECT_EQ(old, v.root->inactive_list.first);  // still listed, so a later sweep finds it
  EXPECT_TRUE(rec().logged("not empty for inactive_list"));

  old->vp = nullptr;  // as the reclaim of its vnode does
  EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.root));
  EXPECT_EQ(nullptr, v.root->inactive_list.first);
  EXPECT_EQ((std::vector<std::string>{"same"}), names_of(v.root->avl_all_list, &mdcudfsr_cache_node::alist));
  EXPECT_EQ(fresh, v.root->avl_all_list.first);
  EXPECT_EQ(fresh, mdcudfsr_cnp(v.root->uid_first));
  EXPECT_EQ(nullptr, v.root->uid_first->uid_next);
  EXPECT_EQ("", check_uid_tree(v.root));
}

TEST(Sweep, InactiveDirectoryWithBoundChildStaysAndIsReported) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "dir", true);
  mdcudfsr_cache_node* f = v.make(d, "f");
  d->status = f->status = MDCUDFSR_NODE_INACTIVE;
  f->vp = &g_bound;
  EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.root));
  EXPECT_TRUE(rec().logged("Inactive, but not free dir"));
  EXPECT_EQ(d, v.root->children.first);
  f->vp = nullptr;
  EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.root));
  EXPECT_EQ(nullptr, v.root->children.first);
}

TEST(Dump, PrintsTheTreeWithGuides) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "dir", true);
  v.make(d, "leaf");
  mdcudfsr_cache_dump(&v.m, nullptr, 0);
  EXPECT_TRUE(rec().logged("----------------dump cache------------------"));
  EXPECT_TRUE(rec().logged("   +--o dir [addr="));
  EXPECT_TRUE(rec().logged("   |  +--o leaf [addr="));
  EXPECT_TRUE(rec().logged("cache_flags=00000000 cache_dirty=01"));
  mdcudfsr_cache_node_debug(nullptr);
  EXPECT_TRUE(rec().logged("Cache Node Debug: null ptr"));
}

TEST(Release, EveryKindGivesBackWhatItsAllocationGaveIt) {
  const uint32_t kinds[] = {0, MDCUDFSR_NODE_UDF, MDCUDFSR_NODE_VIRTUAL, MDCUDFSR_NODE_MASTER, MDCUDFSR_NODE_SHADOW, 9};
  for (uint32_t kind : kinds) {
    SCOPED_TRACE(kind);
    Volume v;
    const long before = live_blocks();
    char name[] = "n";
    mdcudfsr_cache_node* n = mdcudfsr_cache_alloc_node(&v.m, v.root, name, 0, 0, 0, kind);
    ASSERT_NE(nullptr, n);
    n->udf_data->fid_imp_use.imp_use = static_cast<uint8_t*>(OSMalloc(4, nullptr));
    n->udf_data->fid_imp_use.l_iu = 4;
    mdcudfsr_cache_free_node(n);
    EXPECT_EQ(before, live_blocks());
  }
}
