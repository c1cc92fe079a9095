// Paths of nodes, relationships of vnodes' paths, and the lock order of the
// nodes of a move.
#include "support.h"

#include <cstring>

using namespace cache_test;

namespace {

class Paths : public ::testing::Test {
 public:
  Volume v;
  mdcudfsr_cache_node *vol, *dir, *dir2, *x, *a, *b, *c;
  void SetUp() override {
    v.bind_root();
    vol = bound(v.root, "vol", true);
    dir = bound(vol, "dir", true);
    dir2 = bound(vol, "dir2", true);
    x = bound(dir, "x", false);
    a = bound(v.root, "a", true);
    b = bound(a, "b", true);
    c = bound(b, "c", false);
  }
  mdcudfsr_cache_node* bound(mdcudfsr_cache_node* parent, const char* name, bool is_dir) {
    mdcudfsr_cache_node* n = v.make(parent, name, is_dir);
    v.bind(n);
    return n;
  }
};

}  // namespace

TEST_F(Paths, PathAndItsLength) {
  const struct {
    mdcudfsr_cache_node* Paths::*node;
    const char* path;
  } cases[] = {{&Paths::c, "/a/b/c"}, {&Paths::x, "/vol/dir/x"}, {nullptr, "/"}};
  for (const auto& k : cases) {
    mdcudfsr_cache_node* n = k.node ? this->*k.node : v.root;
    const uint32_t need = static_cast<uint32_t>(std::strlen(k.path)) + 1;
    SCOPED_TRACE(k.path);
    // The length counts "/" and a name per level below the root, and the
    // terminator: the root alone counts 1, though its path "/" needs 2.
    EXPECT_EQ(n == v.root ? 1u : need, mdcudfsr_cache_get_full_path_len(n));
    char buf[64];
    EXPECT_EQ(0, mdcudfsr_cache_get_path(n, buf, need));
    EXPECT_STREQ(k.path, buf);
    EXPECT_EQ(36, mdcudfsr_cache_get_path(n, buf, need - 1));
  }
  EXPECT_EQ(0u, mdcudfsr_cache_get_full_path_len(nullptr));
  mdcudfsr_cache_node orphan;
  EXPECT_EQ(0u, mdcudfsr_cache_get_full_path_len(&orphan));
  char buf[8];
  EXPECT_EQ(22, mdcudfsr_cache_get_path(&orphan, buf, sizeof buf));
  vnode* root_vp = v.root->vp;
  v.root->vp = nullptr;
  EXPECT_EQ(22, mdcudfsr_cache_get_path(c, buf, sizeof buf));
  EXPECT_TRUE(rec().logged("mdcudfsrmp->cache.root_node->vp"));
  v.root->vp = root_vp;
}

TEST_F(Paths, Relationship) {
  const struct {
    mdcudfsr_cache_node* Paths::*a;
    mdcudfsr_cache_node* Paths::*b;
    int want;
  } cases[] = {
      {&Paths::dir, &Paths::dir2, 3}, {&Paths::dir, &Paths::x, 0},  {&Paths::x, &Paths::dir, 1},
      {&Paths::dir, &Paths::dir, 2},  {&Paths::vol, &Paths::c, 3},  {&Paths::a, &Paths::c, 0},
  };
  for (const auto& k : cases) {
    mdcudfsr_cache_node* na = this->*k.a;
    mdcudfsr_cache_node* nb = this->*k.b;
    SCOPED_TRACE(std::string(mdcudfsr_node_name(na)) + " vs " + mdcudfsr_node_name(nb));
    int r = -1;
    EXPECT_EQ(0, mdcudfsr_relationship(na->vp, nb->vp, &r, 64, 64));
    EXPECT_EQ(k.want, r);
  }
  int r = 99;
  EXPECT_NE(0, mdcudfsr_relationship(dir->vp, x->vp, &r, 64, 4));  // x's path does not fit
  EXPECT_EQ(99, r);
  fail_allocation(1);
  EXPECT_EQ(12, mdcudfsr_relationship(dir->vp, x->vp, &r, 64, 64));
  EXPECT_TRUE(rec().logged("path_a"));
}

TEST_F(Paths, FamilyTreeOrdersTheNodesOfAMove) {
  const struct {
    const char* what;
    mdcudfsr_cache_node* Paths::*b;  // target directory
    mdcudfsr_cache_node* Paths::*a;  // source directory
    mdcudfsr_cache_node* Paths::*n;  // node moved
    mdcudfsr_cache_node* Paths::*oldest;
    mdcudfsr_cache_node* Paths::*second;
    mdcudfsr_cache_node* Paths::*youngest;
  } cases[] = {
      {"within one directory", &Paths::dir, &Paths::dir, &Paths::x, nullptr, &Paths::dir, &Paths::x},
      {"source above target", &Paths::b, &Paths::a, &Paths::c, &Paths::a, &Paths::b, &Paths::c},
      {"target above source", &Paths::vol, &Paths::dir, &Paths::x, &Paths::vol, &Paths::dir, &Paths::x},
      {"unrelated, a file", &Paths::dir2, &Paths::b, &Paths::c, &Paths::b, &Paths::dir2, &Paths::c},
      {"unrelated, a directory above the target", &Paths::x, &Paths::a, &Paths::vol, &Paths::a, &Paths::vol,
       &Paths::x},
      {"unrelated, a directory beside the target", &Paths::dir2, &Paths::a, &Paths::b, &Paths::a, &Paths::dir2,
       &Paths::b},
  };
  auto get = [this](mdcudfsr_cache_node* Paths::*m) { return m ? this->*m : nullptr; };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    mdcudfsr_cache_node *oldest = nullptr, *second = nullptr, *youngest = nullptr;
    EXPECT_EQ(0, mdcudfsr_cache_get_family_tree(get(k.b), get(k.a), get(k.n), &oldest, &second, &youngest, v.root));
    EXPECT_EQ(get(k.oldest), oldest);
    EXPECT_EQ(get(k.second), second);
    EXPECT_EQ(get(k.youngest), youngest);
  }
}
