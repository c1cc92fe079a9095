// The unique-id and name indexes of a directory, the parent/child operations
// and the walks over a small tree.
#include "support.h"

#include "udf/udf_names.h"

#include <random>

using namespace cache_test;

namespace {

struct Step {
  char op;  // 'i' insert, 'd' delete
  uint64_t key;
};

class Index : public ::testing::Test {
 protected:
  Volume v;
  std::map<uint64_t, mdcudfsr_cache_node*> nodes;

  mdcudfsr_cache_node* node(uint64_t key) {
    auto& n = nodes[key];
    if (!n) {
      std::string name = "k" + std::to_string(key);
      n = mdcudfsr_cache_alloc_node(&v.m, v.root, name.data(), 0, 0, 0, MDCUDFSR_NODE_UDF);
    }
    return n;
  }
  void run(const std::vector<Step>& steps) {
    mdcudfsr_cache_node* d = v.root;
    for (size_t i = 0; i < steps.size(); ++i) {
      const Step& s = steps[i];
      if (s.op == 'i') d->uid_root = mdcudfsr_avl_insert(d, d->uid_root, node(s.key), s.key, 1);
      else d->uid_root = mdcudfsr_avl_delete(d, d->uid_root, nodes[s.key], s.key);
      ASSERT_EQ("", check_uid_tree(d)) << "after step " << i << " (" << s.op << s.key << ")";
    }
  }
  void TearDown() override {
    // The nodes were never named children: free them here.
    v.root->uid_root = nullptr;
    v.root->avl_all_list = mdcudfsr_list{};
    for (auto& [k, n] : nodes) mdcudfsr_cache_free_node(n);
  }
};

std::vector<Step> inserts(std::vector<uint64_t> keys) {
  std::vector<Step> s;
  for (uint64_t k : keys) s.push_back({'i', k});
  return s;
}
std::vector<Step> deletes(std::vector<uint64_t> keys) {
  std::vector<Step> s;
  for (uint64_t k : keys) s.push_back({'d', k});
  return s;
}
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(Index, UniqueIdTreeStaysBalancedAndMatchesItsList) {
  std::vector<uint64_t> ascending, shuffled;
  for (uint64_t k = 1; k <= 40; ++k) ascending.push_back(k * 10);
  shuffled = ascending;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  const std::vector<std::pair<const char*, std::vector<Step>>> cases = {
      {"ascending, then from the root down", inserts(ascending) + deletes({160, 80, 240, 40, 120, 200, 320})},
      {"descending", inserts({400, 390, 380, 370, 360, 350, 340, 330, 320, 310})},
      {"left-right and right-left rotations", inserts({30, 10, 20, 50, 70, 60, 5, 8, 7})},
      {"root with two children", inserts({20, 10, 30}) + deletes({20}) + inserts({25, 27}) + deletes({25})},
      {"successor deep in the right subtree", inserts({50, 20, 80, 10, 30, 70, 90, 60, 65}) + deletes({50, 60})},
      {"deletes that rotate", inserts({40, 20, 60, 10, 30, 50, 70, 5}) + deletes({50, 60, 70, 40})},
      {"everything, shuffled", inserts(shuffled) + deletes(ascending)},
      {"keys above 32 bits", inserts({0x100000010ull, 0x10, 0xFFFFFFFFFull}) + deletes({0x10})},
  };
  for (const auto& [what, steps] : cases) {
    SCOPED_TRACE(what);
    TearDown();
    nodes.clear();
    run(steps);
  }
}

TEST(Duplicates, DeletingEitherOfTwoDuplicatesLeavesTheOther) {
  for (int remove_newer = 0; remove_newer < 2; ++remove_newer) {
    SCOPED_TRACE(remove_newer ? "newer removed" : "older removed");
    Volume v;
    mdcudfsr_cache_node* d = v.root;
    mdcudfsr_cache_node* n[3];
    const char* names[] = {"k10", "a", "b"};
    const uint64_t keys[] = {10, 42, 42};
    for (int i = 0; i < 3; ++i) {
      std::string name = names[i];
      n[i] = mdcudfsr_cache_alloc_node(&v.m, d, name.data(), 0, 0, 0, MDCUDFSR_NODE_UDF);
      d->uid_root = mdcudfsr_avl_insert(d, d->uid_root, n[i], keys[i], 1);
    }
    mdcudfsr_cache_node *a = n[1], *b = n[2];
    EXPECT_TRUE(rec().logged("Insert node is Duplicate. name=a unique_id:0000002A"));
    EXPECT_EQ(a, mdcudfsr_avl_search(d->uid_root, 42, 0, nullptr));
    EXPECT_EQ((std::vector<std::string>{"k10", "b", "a"}), names_of(d->avl_all_list, &mdcudfsr_cache_node::alist));

    mdcudfsr_cache_node* gone = remove_newer ? b : a;
    mdcudfsr_cache_node* kept = remove_newer ? a : b;
    d->uid_root = mdcudfsr_avl_delete(d, d->uid_root, gone, 42);
    EXPECT_EQ("", check_uid_tree(d));
    EXPECT_EQ(kept, mdcudfsr_avl_search(d->uid_root, 42, 0, nullptr));
    EXPECT_EQ((std::vector<std::string>{"k10", mdcudfsr_node_name(kept)}),
              names_of(d->avl_all_list, &mdcudfsr_cache_node::alist));
    d->uid_root = mdcudfsr_avl_delete(d, d->uid_root, kept, 42);
    EXPECT_EQ((std::vector<std::string>{"k10"}), names_of(d->avl_all_list, &mdcudfsr_cache_node::alist));
    d->uid_root = mdcudfsr_avl_delete(d, d->uid_root, n[0], 10);
    EXPECT_EQ(nullptr, d->uid_root);
    EXPECT_EQ(nullptr, d->avl_all_list.first);
    for (mdcudfsr_cache_node* x : n) mdcudfsr_cache_free_node(x);
  }
}

TEST_F(Index, SearchWithTheNextFlag) {
  run(inserts({50, 30, 70, 20, 40, 60, 80}));
  mdcudfsr_cache_node* d = v.root;
  const struct {
    uint64_t key;
    int next;
    int64_t want;  // -1: none
  } cases[] = {{40, 0, 40}, {45, 0, -1}, {45, 1, 50}, {5, 1, 20}, {65, 1, 70}, {81, 1, -1}, {35, 1, 40}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    mdcudfsr_cache_node* f = mdcudfsr_avl_search(d->uid_root, c.key, c.next, nullptr);
    if (c.want < 0) {
      EXPECT_EQ(nullptr, f);
    } else {
      ASSERT_NE(nullptr, f);
      EXPECT_EQ(static_cast<uint64_t>(c.want), f->uid_key);
    }
  }
  EXPECT_EQ(1, mdcudfsr_avl_check_search(d->uid_root, 60));
  EXPECT_EQ(0, mdcudfsr_avl_check_search(d->uid_root, 61));
  EXPECT_EQ(nullptr, mdcudfsr_avl_search(nullptr, 1, 1, nullptr));
  EXPECT_EQ(d->uid_root, mdcudfsr_avl_delete(d, d->uid_root, node(99), 99));
  EXPECT_TRUE(rec().logged("target Unique ID is not found. unique_id=99"));
  EXPECT_EQ(nullptr, mdcudfsr_avl_delete(d, nullptr, node(99), 99));
  EXPECT_TRUE(rec().logged("root node is null."));
}

TEST(NameOrder, AsciiLettersFoldOnlyAndPrefixesSortFirst) {
  const struct {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {{"abc", "ABC", 0},   {"_x", "ax", -1},     {"ab", "abc", -1}, {"b", "A", 1},
               {"\xC3\xA4", "\xC3\x84", 1}, {"Z", "[", 1}, {"", "", 0},     {"a\x80", "a\x7F", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int r = mdcudfsr_name_cmp(c.a, c.b);
    EXPECT_EQ(c.sign, (r > 0) - (r < 0));
  }
}

TEST(Names, TreeStaysBalancedThroughAddsAndDeletes) {
  Volume v;
  std::vector<mdcudfsr_cache_node*> made;
  for (int i = 0; i < 30; ++i) {
    made.push_back(v.make(v.root, ("n" + std::to_string((i * 7) % 30)).c_str()));
    ASSERT_EQ("", check_name_tree(v.root)) << i;
  }
  for (int i = 0; i < 30; i += 3) {
    mdcudfsr_cache_node* n = made[i];
    std::lock_guard<std::mutex> lk(v.m.cache_mutex);
    ASSERT_EQ(0, mdcudfsr_name_avl_delete(v.root, v.root->name_root, n, n->name_key, &v.root->name_root));
    ASSERT_EQ("", check_name_tree(v.root)) << i;
    v.root->uid_root = mdcudfsr_avl_delete(v.root, v.root->uid_root, n, n->uid_key);
    mdcudfsr_remove_list_by_unique_id(v.root, n);
    mdcudfsr_cache_free_node(n);
  }
  EXPECT_EQ(20u, mdcudfsr_cache_nchildren(v.root));
}

TEST(Names, DeleteAnswersForAMissingNameAndAnotherNode) {
  Volume v;
  mdcudfsr_cache_node* a = v.make(v.root, "a");
  mdcudfsr_cache_node* b = v.make(v.root, "b");
  mdcudfsr_cache_node* root = nullptr;
  EXPECT_EQ(2, mdcudfsr_name_avl_delete(v.root, v.root->name_root, a, "zz", &root));
  EXPECT_EQ(v.root->name_root, root);
  EXPECT_EQ(2, mdcudfsr_name_avl_delete(v.root, v.root->name_root, b, "A", &root));
  EXPECT_TRUE(rec().logged("target node is not found."));
  EXPECT_EQ(22, mdcudfsr_name_avl_delete(v.root, nullptr, a, "a", &root));
  EXPECT_EQ(nullptr, root);
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names_of(v.root->children, &mdcudfsr_cache_node::sibling));
}

TEST(Children, SameNameInAnyAsciiCaseCollidesUnlessTheOldNodeIsInactive) {
  Volume v;
  mdcudfsr_cache_node* first = v.make(v.root, "Readme");
  std::string again = "README";
  mdcudfsr_cache_node* n = nullptr;
  int failed = -1;
  EXPECT_EQ(17, mdcudfsr_cache_create_udf_node(v.root, again.data(), -1, 0, 0, 0644, &n, 0, &failed));
  EXPECT_EQ(nullptr, n);
  EXPECT_EQ(1, failed);
  EXPECT_TRUE(rec().logged("already exist. add name=README"));

  first->status = MDCUDFSR_NODE_INACTIVE;
  mdcudfsr_cache_node* second = v.make(v.root, "README");
  ASSERT_NE(nullptr, second);
  EXPECT_EQ((std::vector<std::string>{"README"}), names_of(v.root->children, &mdcudfsr_cache_node::sibling));
  EXPECT_EQ((std::vector<std::string>{"Readme"}), names_of(v.root->inactive_list, &mdcudfsr_cache_node::inactive_entry));
  EXPECT_EQ(second, mdcudfsr_name_avl_search(v.root->name_root, "readme", nullptr));
  EXPECT_EQ("", check_name_tree(v.root));
}

TEST(Children, DetachRefusesActiveNodesAndFullDirectories) {
  Volume v;
  mdcudfsr_cache_node* dir = v.make(v.root, "d", true);
  mdcudfsr_cache_node* f = v.make(dir, "f");
  EXPECT_EQ(16, mdcudfsr_cache_detach_node(dir, f));
  dir->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(39, mdcudfsr_cache_detach_node(v.root, dir));
  EXPECT_EQ(dir, mdcudfsr_name_avl_search(v.root->name_root, "d", nullptr));
  f->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(0, mdcudfsr_cache_detach_node(dir, f));
  EXPECT_EQ(nullptr, dir->children.first);
  EXPECT_EQ(0, mdcudfsr_cache_detach_node(nullptr, f));
  // f left the name tree, not the unique-id index: that goes at its release.
  EXPECT_EQ(f, mdcudfsr_avl_search(dir->uid_root, f->objid, 0, nullptr));
  EXPECT_EQ(0, mdcudfsr_cache_clean_up_inactive_node(v.root));
  EXPECT_EQ(nullptr, v.root->children.first);
}

// One small tree: / { a { a1, a2 { x } }, b, a#*P (a parity node of a) }.
class SmallTree : public ::testing::Test {
 public:
  Volume v;
  mdcudfsr_cache_node *a, *a1, *a2, *x, *b, *parity;
  void SetUp() override {
    a = v.make(v.root, "a", true);
    a1 = v.make(a, "a1");
    a2 = v.make(a, "a2", true);
    x = v.make(a2, "x");
    b = v.make(v.root, "b");
    std::string pname = "a#*P";
    int failed = 0;
    ASSERT_EQ(0, mdcudfsr_cache_create_udf_node(v.root, pname.data(), -1, 0, 0, 0644, &parity, 1, &failed));
    mdcudfsr_cache_unlock_node(parity);
    parity->stream_owner = a;
    a->parity_node = parity;
  }
};

TEST_F(SmallTree, PreOrderWalk) {
  const struct {
    const char* what;
    mdcudfsr_cache_node* SmallTree::*top;
    std::vector<std::string> want;
  } cases[] = {{"whole tree", nullptr, {"a", "a1", "a2", "x", "b"}},
               {"inner top", &SmallTree::a, {"a1", "a2", "x"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    mdcudfsr_cache_node* top = c.top ? this->*c.top : v.root;
    std::vector<std::string> seen;
    for (mdcudfsr_cache_node* n = mdcudfsr_cache_get_next_node(&v.m, top, top, 1); n;
         n = mdcudfsr_cache_get_next_node(&v.m, n, top, 1))
      seen.emplace_back(mdcudfsr_node_name(n));
    EXPECT_EQ(c.want, seen);
  }
  EXPECT_EQ(nullptr, mdcudfsr_cache_get_next_node(&v.m, a, nullptr, 1));
  EXPECT_EQ(b, mdcudfsr_cache_get_next_node(&v.m, a, v.root, 0));
}

TEST_F(SmallTree, DepthFirstSearchAndChildCounts) {
  EXPECT_EQ(v.root, mdcudfsr_cache_find_node_in_tree(v.root, 0));  // the root directory's id
  EXPECT_EQ(nullptr, mdcudfsr_cache_find_node_in_tree(v.root, 12345));
  for (mdcudfsr_cache_node* n : {a, a1, a2, x, b})
    EXPECT_EQ(n, mdcudfsr_cache_find_node_in_tree(v.root, n->udf_data->efe.unique_id)) << mdcudfsr_node_name(n);
  // A stream node never matches, even by its entry's id.
  parity->udf_data->efe.unique_id = 777;
  EXPECT_EQ(nullptr, mdcudfsr_cache_find_node_in_tree(v.root, 777));

  EXPECT_EQ(2u, mdcudfsr_cache_nchildren(v.root));  // the parity node is left out
  EXPECT_EQ(2u, mdcudfsr_cache_nchildren_uniqueid(v.root));
  a1->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(1u, mdcudfsr_cache_nchildren(a));
  EXPECT_EQ(1u, mdcudfsr_cache_nchildren_uniqueid(a));
  EXPECT_EQ(0, mdcudfsr_cache_is_dir_empty(a));
  x->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(1, mdcudfsr_cache_is_dir_empty(a2));
  EXPECT_EQ(0, mdcudfsr_cache_is_dir_empty(b));
}

TEST_F(SmallTree, ExtentHelpers) {
  mdcudfsr_extent_list* l = &x->udf_data->extents;
  const uint32_t lens[] = {2048, 0x40000000u | 4096, 100};
  for (uint32_t len : lens) {
    mdcudfsr_extent_entry e;
    e.extent.len = len;
    e.extent.loc = lb_addr{100, 1};
    ASSERT_EQ(0, mdcudfsr_extent_list_add(l, &e, 0));
  }
  mdcudfsr_extent_entry* e0 = l->first;
  mdcudfsr_extent_entry* e2 = l->last;
  mdcudfsr_extent_entry other;
  const struct {
    mdcudfsr_cache_node* node;
    const mdcudfsr_extent_entry* entry;
    int64_t want;
  } offsets[] = {{x, e0, 0}, {x, e0->next, 2048}, {x, e2, 6144}, {x, &other, -1}, {a1, e0, -1}};
  for (const auto& c : offsets) EXPECT_EQ(c.want, mdcudfsr_cache_extent_offset(c.node, c.entry));
  const struct {
    int n;
    mdcudfsr_extent_entry* want;
  } nth[] = {{-3, e0}, {0, e0}, {1, e0->next}, {2, e2}, {9, e2}};
  for (const auto& c : nth) EXPECT_EQ(c.want, mdcudfsr_cache_nth_extent(x, c.n)) << c.n;
  EXPECT_EQ(nullptr, mdcudfsr_cache_nth_extent(a1, 0));
  EXPECT_EQ(3u, mdcudfsr_cache_count_extents(x));
  EXPECT_EQ(0u, mdcudfsr_cache_count_extents(v.m.shadow_node));
}
