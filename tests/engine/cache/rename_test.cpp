// Rename and move in the node tree: names, indexes, link counts, location
// bits, parity names, dirty marks, and what a failure leaves.
#include "support.h"

#include "kelcache/cache_flush.h"
#include "kelcache/lookup.h"
#include "udf/udf_names.h"

#include <cstring>

using namespace cache_test;

namespace {

constexpr const char* kSuffix = "*ECC_Parity_V100_N=516_K=512";

struct Tree : Volume {
  // A file with a parity node under `dir`.
  mdcudfsr_cache_node* with_parity(mdcudfsr_cache_node* dir, const char* name) {
    mdcudfsr_cache_node* f = make(dir, name);
    std::string pname = std::string(name) + "#" + kSuffix;
    mdcudfsr_cache_node* p = nullptr;
    EXPECT_EQ(0, mdcudfsr_cache_create_udf_node(dir, pname.data(), -1, 0, 0, 0644, &p, 1, nullptr));
    mdcudfsr_cache_unlock_node(p);
    p->stream_owner = f;
    f->parity_node = p;
    return f;
  }
  // The same once the writer gave the parity file its first space: it then
  // has a unique id of its own and stands in the directory's unique-id list
  // and index like any file.
  mdcudfsr_cache_node* with_written_parity(mdcudfsr_cache_node* dir, const char* name) {
    mdcudfsr_cache_node* f = with_parity(dir, name);
    mdcudfsr_cache_node* p = mdcudfsr_cnp(f->parity_node);
    p->objid = p->udf_data->efe.unique_id = m.next_unique_id++;
    mdcudfsr_insert_list_by_unique_id(dir, p);
    dir->uid_root = mdcudfsr_avl_insert(dir, dir->uid_root, p, p->objid, 1);
    return f;
  }
  mdcudfsr_cache_node* find(mdcudfsr_cache_node* dir, const char* name) {
    std::lock_guard<std::mutex> lk(m.cache_mutex);
    return mdcudfsr_name_avl_search(dir->name_root, name, nullptr);
  }
  bool in_uid_list(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
    for (auto* c = dir->uid_first; c; c = c->uid_next)
      if (c == n) return true;
    return false;
  }
  void clean(std::initializer_list<mdcudfsr_cache_node*> nodes) {
    for (auto* n : nodes) n->cache_dirty = 0, n->dir_dirty = 0;
  }
};

void give_udf_name(mdcudfsr_cache_node* n) {
  n->udf_data->udf_name = static_cast<uint8_t*>(OSMalloc(3, nullptr));
  std::memcpy(n->udf_data->udf_name, "\x08" "ab", 3);
  n->udf_data->udf_name_len = 3;
}

TEST(CacheRename, OwnNameSucceedsAndDropsTheRawIdentifier) {
  Tree t;
  mdcudfsr_cache_node* a = t.make(t.root, "a");
  give_udf_name(a);
  t.clean({t.root});
  ASSERT_EQ(0, mdcudfsr_cache_rename_node(t.root, a, "a", 1));
  EXPECT_EQ(nullptr, a->udf_data->udf_name);
  EXPECT_EQ(a, t.find(t.root, "a"));
  EXPECT_EQ(0u, t.root->cache_dirty) << "nothing else changes";
}

TEST(CacheRename, TakenNameGives17AndLeavesBothNamesFindable) {
  Tree t;
  mdcudfsr_cache_node* a = t.with_parity(t.root, "a");
  mdcudfsr_cache_node* b = t.make(t.root, "b");
  EXPECT_EQ(17, mdcudfsr_cache_rename_node(t.root, a, "b", 1));
  EXPECT_EQ(a, t.find(t.root, "a"));
  EXPECT_EQ(b, t.find(t.root, "b"));
  EXPECT_EQ(a->parity_node, t.find(t.root, (std::string("a#") + kSuffix).c_str()));
  EXPECT_STREQ("a", a->vfs_name);
  EXPECT_EQ("", check_name_tree(t.root));
  a->parity_node = nullptr;
}

// An ordinary file may carry the name the parity node would take: the
// rename is refused before anything changes, and nothing is left out of the
// indexes (the volume's heap is checked when it goes).
TEST(CacheRename, TakenParityNameGives17AndChangesNothing) {
  for (bool written : {false, true}) {
    SCOPED_TRACE(written ? "parity node with its own unique id" : "parity node as the scan makes it");
    Tree t;
    mdcudfsr_cache_node* f = written ? t.with_written_parity(t.root, "f") : t.with_parity(t.root, "f");
    mdcudfsr_cache_node* parity = mdcudfsr_cnp(f->parity_node);
    mdcudfsr_cache_node* other = t.make(t.root, (std::string("g#") + kSuffix).c_str());
    t.clean({t.root});
    EXPECT_EQ(17, mdcudfsr_cache_rename_node(t.root, f, "g", 1));
    EXPECT_STREQ("f", f->vfs_name);
    EXPECT_STREQ((std::string("f#") + kSuffix).c_str(), parity->vfs_name);
    EXPECT_EQ(f, t.find(t.root, "f"));
    EXPECT_EQ(parity, t.find(t.root, (std::string("f#") + kSuffix).c_str()));
    EXPECT_EQ(other, t.find(t.root, (std::string("g#") + kSuffix).c_str()));
    EXPECT_EQ(nullptr, t.find(t.root, "g"));
    EXPECT_EQ(written, t.in_uid_list(t.root, parity));
    EXPECT_EQ(0u, t.root->cache_dirty) << "nothing to write";
    EXPECT_EQ("", check_name_tree(t.root));
    EXPECT_EQ("", check_uid_tree(t.root));
    EXPECT_EQ(17, mdcudfsr_cache_move_node(t.root, t.root, f, "g", 1)) << "the move takes the same way";
    EXPECT_EQ(f, t.find(t.root, "f"));
    EXPECT_EQ(parity, t.find(t.root, (std::string("f#") + kSuffix).c_str()));
    f->parity_node = nullptr;
  }
}

TEST(CacheRename, ParityNodeFollowsTheNewName) {
  Tree t;
  mdcudfsr_cache_node* f = t.with_parity(t.root, "f");
  t.clean({t.root});
  ASSERT_EQ(0, mdcudfsr_cache_rename_node(t.root, f, "g", 1));
  EXPECT_STREQ("g", f->vfs_name);
  EXPECT_STREQ((std::string("g#") + kSuffix).c_str(), f->parity_node->vfs_name);
  EXPECT_EQ(f, t.find(t.root, "g"));
  EXPECT_EQ(nullptr, t.find(t.root, "f"));
  EXPECT_EQ(f->parity_node, t.find(t.root, (std::string("g#") + kSuffix).c_str()));
  EXPECT_EQ(1u, t.root->cache_dirty);
  EXPECT_EQ(2, t.root->dir_dirty) << "a change other than an addition";
  EXPECT_EQ("", check_name_tree(t.root));
  f->parity_node = nullptr;
}

TEST(CacheRename, InvalidNameIsRefused) {
  Tree t;
  mdcudfsr_cache_node* a = t.make(t.root, "a");
  EXPECT_NE(0, mdcudfsr_cache_rename_node(t.root, a, "..", 2));
  EXPECT_EQ(a, t.find(t.root, "a"));
}

// A chain of `n` directories below `top`; the deepest one.
mdcudfsr_cache_node* chain(Tree& t, mdcudfsr_cache_node* top, int n, const char* prefix) {
  mdcudfsr_cache_node* d = top;
  for (int i = 0; i < n; ++i) d = t.make(d, (prefix + std::to_string(i)).c_str(), true);
  return d;
}

TEST(CacheMove, DepthLimitIs63) {
  for (int depth : {62, 63}) {
    Tree t;
    mdcudfsr_cache_node* target = chain(t, t.root, depth - 1, "t");  // depth - 1 ancestors below the root
    mdcudfsr_cache_node* moved = t.make(t.root, "m", true);
    t.make(moved, "x", true);  // subtree depth 2
    const uint32_t total = depth - 1 + mdcudfsr_cache_get_dir_depth(moved);
    const int err = mdcudfsr_cache_move_node(t.root, target, moved, "m", 1);
    if (total > 63) {
      EXPECT_EQ(36, err) << total;
      EXPECT_EQ(moved, t.find(t.root, "m"));
    } else {
      EXPECT_EQ(0, err) << total;
      EXPECT_EQ(moved, t.find(target, "m"));
    }
  }
}

TEST(CacheMove, SubdirectoryMoveChangesLinkCountsAndMarksAllThree) {
  Tree t;
  mdcudfsr_cache_node* a = t.make(t.root, "A", true);
  mdcudfsr_cache_node* b = t.make(t.root, "B", true);
  mdcudfsr_cache_node* s = t.make(a, "s", true);
  a->udf_data->nlink = 2;
  b->udf_data->nlink = 1;
  t.clean({a, b, s});
  ASSERT_EQ(0, mdcudfsr_cache_move_node(a, b, s, "s2", 2));
  EXPECT_EQ(1u, a->udf_data->nlink);
  EXPECT_EQ(2u, b->udf_data->nlink);
  EXPECT_EQ(1u, a->cache_dirty);
  EXPECT_EQ(1u, b->cache_dirty);
  EXPECT_EQ(1u, s->cache_dirty);
  EXPECT_EQ(nullptr, t.find(a, "s"));
  EXPECT_EQ(s, t.find(b, "s2"));
  EXPECT_TRUE(t.in_uid_list(b, s));
  EXPECT_FALSE(t.in_uid_list(a, s));
  EXPECT_EQ(b, mdcudfsr_parent(s));
  EXPECT_EQ("", check_uid_tree(a));
  EXPECT_EQ("", check_uid_tree(b));
}

TEST(CacheMove, LocationBitsFollowTheNewDirectory) {
  Tree t;
  mdcudfsr_cache_node* d = t.make(t.root, "d", true);
  d->attributes = (d->attributes & ~0xF0u) | 0x20;
  mdcudfsr_cache_node* e = t.make(d, "e", true);
  mdcudfsr_cache_node* f = t.make(e, "f");
  ASSERT_EQ(0, mdcudfsr_cache_move_node(e, t.root, f, "f", 1));
  EXPECT_EQ(0x10u, f->attributes & 0xF0);
  ASSERT_EQ(0, mdcudfsr_cache_move_node(t.root, d, f, "f", 1));
  EXPECT_EQ(0x20u, f->attributes & 0xF0);
}

TEST(CacheMove, TakenNameGives17AndChangesNothing) {
  Tree t;
  mdcudfsr_cache_node* a = t.make(t.root, "A", true);
  mdcudfsr_cache_node* f = t.make(t.root, "f");
  t.make(a, "f");
  EXPECT_EQ(17, mdcudfsr_cache_move_node(t.root, a, f, "f", 1));
  EXPECT_EQ(f, t.find(t.root, "f"));
  EXPECT_TRUE(t.in_uid_list(t.root, f));
}

// Each allocation of the move failing in turn: the node and its parity node
// stay in the old directory under their old names, in every index.
TEST(CacheMove, FailureMidwayLeavesTheNodeInItsOldDirectory) {
  for (int nth = 1; nth <= 3; ++nth) {
    Tree t;
    mdcudfsr_cache_node* a = t.make(t.root, "A", true);
    mdcudfsr_cache_node* f = t.with_written_parity(t.root, "f");
    mdcudfsr_cache_node* parity = mdcudfsr_cnp(f->parity_node);
    const uint32_t attributes = f->attributes;
    fail_allocation(nth);
    const int err = mdcudfsr_cache_move_node(t.root, a, f, "g", 1);
    clear_allocation_failure();
    EXPECT_NE(0, err) << nth;
    EXPECT_EQ(f, t.find(t.root, "f")) << nth;
    EXPECT_EQ(parity, t.find(t.root, (std::string("f#") + kSuffix).c_str())) << nth;
    EXPECT_TRUE(t.in_uid_list(t.root, f)) << nth;
    EXPECT_TRUE(t.in_uid_list(t.root, parity)) << nth;
    EXPECT_FALSE(t.in_uid_list(a, parity)) << nth;
    EXPECT_EQ(nullptr, t.find(a, "g")) << nth;
    EXPECT_FALSE(t.in_uid_list(a, f)) << nth;
    EXPECT_EQ(t.root, mdcudfsr_parent(f)) << nth;
    EXPECT_EQ(attributes, f->attributes) << nth;
    EXPECT_EQ("", check_uid_tree(t.root)) << nth;
    EXPECT_EQ("", check_name_tree(t.root)) << nth;
    f->parity_node = nullptr;
  }
}

TEST(CacheMove, ParityNodeMovesWithItsFile) {
  Tree t;
  mdcudfsr_cache_node* a = t.make(t.root, "A", true);
  mdcudfsr_cache_node* f = t.with_written_parity(t.root, "f");
  ASSERT_EQ(0, mdcudfsr_cache_move_node(t.root, a, f, "g", 1));
  EXPECT_EQ(f->parity_node, t.find(a, (std::string("g#") + kSuffix).c_str()));
  EXPECT_EQ(nullptr, t.find(t.root, (std::string("f#") + kSuffix).c_str()));
  EXPECT_EQ(a, mdcudfsr_parent(mdcudfsr_cnp(f->parity_node)));
  // The listing and the directory flush walk the unique-id list and index:
  // the parity node is no longer reached from its old directory.
  EXPECT_FALSE(t.in_uid_list(t.root, mdcudfsr_cnp(f->parity_node)));
  EXPECT_TRUE(t.in_uid_list(a, mdcudfsr_cnp(f->parity_node)));
  EXPECT_EQ("", check_uid_tree(t.root));
  EXPECT_EQ("", check_uid_tree(a));
  f->parity_node = nullptr;
}

}  // namespace

namespace {

// A renamed or moved folder keeps its own children findable by name.
TEST(CacheRename, AFolderKeepsItsChildrenThroughRenameAndMove) {
  Tree t;
  mdcudfsr_cache_node* a = t.make(t.root, "A", true);
  mdcudfsr_cache_node* b = t.make(t.root, "B", true);
  mdcudfsr_cache_node* s = t.make(a, "s", true);
  mdcudfsr_cache_node* leaf = t.make(s, "leaf");
  ASSERT_EQ(0, mdcudfsr_cache_rename_node(a, s, "s1", 2));
  EXPECT_EQ(leaf, t.find(s, "leaf")) << "after the rename";
  ASSERT_EQ(0, mdcudfsr_cache_move_node(a, b, s, "s2", 2));
  EXPECT_EQ(s, t.find(b, "s2"));
  EXPECT_EQ(leaf, t.find(s, "leaf")) << "after the move";
}

}  // namespace
