// Creation of on-disc, parity, dollar-proxy, proxy, shadow and virtual nodes.
#include "support.h"

#include "kelhost/gnrc.h"
#include "udf/udf_names.h"

#include <cstring>

using namespace cache_test;

namespace {

// A name buffer from the engine heap, as a node owns it.
char* heap_name(const char* text) {
  const size_t n = std::strlen(text) + 1;
  auto* p = static_cast<char*>(OSMalloc(static_cast<uint32_t>(n), nullptr));
  std::memcpy(p, text, n);
  return p;
}

bool in_uid_list(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  for (auto* c = dir->uid_first; c; c = c->uid_next)
    if (c == n) return true;
  return false;
}

mdcudfsr_cache_node* master_file(Volume& v, const char* name) {
  mdcudfsr_cache_node* m = v.make(v.root, name);
  m->kind = MDCUDFSR_NODE_MASTER;
  return m;
}

}  // namespace

TEST(Create, OrdinaryNodeTakesTheNextUniqueIdAndEntersEveryIndex) {
  Volume v;
  v.m.next_unique_id = 0x100000005ull;  // low word 5: the UDF code skips to 16
  std::string name = "file";
  mdcudfsr_cache_node* n = nullptr;
  int failed = -1;
  ASSERT_EQ(0, mdcudfsr_cache_create_udf_node(v.root, name.data(), -1, 0, 0, 0640, &n, 0, &failed));
  EXPECT_EQ(0, failed);
  EXPECT_EQ(0x100000010ull, n->objid);
  EXPECT_EQ(n->objid, n->udf_data->efe.unique_id);
  EXPECT_EQ(n, mdcudfsr_name_avl_search(v.root->name_root, "FILE", nullptr));
  EXPECT_EQ(n, mdcudfsr_avl_search(v.root->uid_root, n->objid, 0, nullptr));
  EXPECT_TRUE(in_uid_list(v.root, n));
  EXPECT_EQ(1u, v.m.nfiles);
  EXPECT_EQ(getThreadIdGnrc(), n->lock_owner);
  EXPECT_EQ(1, n->lock_count);
  EXPECT_EQ(UDF_FILE_TYPE_REGULAR, n->udf_data->efe.icbtag.file_type);
  EXPECT_EQ(MDCUDFSR_INVALID_LBN, n->udf_data->efe_loc);
  EXPECT_EQ(v.m.current_disc + 1, n->last_disc);
  EXPECT_EQ(0x7880u, n->udf_data->efe.perm) << "0640 in the UDF layout";  // through the permission conversion
  mdcudfsr_cache_unlock_node(n);
}

TEST(Create, SubdirectoryRaisesTheParentsLinkCountAFileDoesNot) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  EXPECT_EQ(2u, v.root->udf_data->nlink);
  EXPECT_EQ(UDF_FILE_TYPE_DIRECTORY, d->udf_data->efe.icbtag.file_type);
  v.make(d, "f");
  EXPECT_EQ(1u, d->udf_data->nlink);
  EXPECT_EQ(1u, v.m.ndirs);
  EXPECT_EQ(1u, v.m.nfiles);
}

TEST(Create, ParityFileIsUncountedAndOutsideTheUniqueIdIndexes) {
  Volume v;
  v.m.stream_node_count = 7;
  std::string name = "f#*ECC";
  mdcudfsr_cache_node* p = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_create_udf_node(v.root, name.data(), -1, 0, 0, 0644, &p, 1, nullptr));
  mdcudfsr_cache_unlock_node(p);
  EXPECT_EQ(0xE0000007ull, p->objid);
  EXPECT_EQ(8u, v.m.stream_node_count);
  EXPECT_EQ(0u, p->udf_data->efe.unique_id);  // no unique id spent
  EXPECT_EQ(0u, v.m.nfiles);
  EXPECT_FALSE(in_uid_list(v.root, p));
  EXPECT_EQ(nullptr, v.root->uid_root);
  EXPECT_EQ(p, mdcudfsr_name_avl_search(v.root->name_root, "f#*ECC", nullptr));
}

TEST(Create, NameBufferOwnerAfterSuccessAndEachFailure) {
  const struct {
    const char* what;
    const char* name;
    int fail_nth;  // allocation that fails (0: none)
    bool existing;
    int want;
    int failed;    // the node took (and released) the buffer
  } cases[] = {
      {"success", "mine", 0, false, 0, 0},
      {"name refused", "a/b", 0, false, 22, 0},
      // The name check takes two work buffers first.
      {"no memory for the name check", "mine", 1, false, 12, 0},
      {"no memory for the node", "mine", 3, false, 12, 0},
      {"no memory for its entry data", "mine", 4, false, 12, 0},
      {"name taken", "mine", 0, true, 17, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Volume v;
    if (c.existing) v.make(v.root, "MINE");
    const long before = live_blocks();
    char* buffer = heap_name(c.name);
    mdcudfsr_cache_node* n = reinterpret_cast<mdcudfsr_cache_node*>(8);
    int failed = -1;
    if (c.fail_nth) fail_allocation(c.fail_nth);
    EXPECT_EQ(c.want, mdcudfsr_cache_create_udf_node(v.root, buffer, -1, 1, 0, 0644, &n, 0, &failed));
    clear_allocation_failure();
    EXPECT_EQ(c.failed, failed);
    if (c.want == 0) {
      ASSERT_NE(nullptr, n);
      EXPECT_EQ(buffer, n->vfs_name);
      mdcudfsr_cache_unlock_node(n);
      continue;
    }
    EXPECT_EQ(nullptr, n);
    EXPECT_EQ(c.existing ? 1u : 0u, mdcudfsr_cache_nchildren(v.root));  // nothing attached
    if (!c.failed) {
      EXPECT_STREQ(c.name, buffer);  // still the caller's
      OSFree(buffer, static_cast<uint32_t>(std::strlen(c.name) + 1), nullptr);
    }
    EXPECT_EQ(before, live_blocks());
    EXPECT_EQ(c.existing ? 1u : 0u, v.m.nfiles);
  }
}

TEST(Create, DollarProxyTakesAProxyIdUncounted) {
  Volume v;
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  v.m.proxy_count = 3;
  std::string name = ".fuse_hidden01";
  mdcudfsr_cache_node* n = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_create_dollar_proxy_node(v.m.shadow_node, name.data(), -1, 0, 0, 0644, &n, nullptr));
  mdcudfsr_cache_unlock_node(n);
  EXPECT_EQ(0xC0000003ull, n->objid);
  EXPECT_EQ(4u, v.m.proxy_count);
  EXPECT_EQ(0u, v.m.nfiles);
  EXPECT_EQ(MDCUDFSR_NODE_UDF, n->kind);
  fail_allocation(2);  // the node, after the copy of its name
  std::string other = "@@x";
  int failed = -1;
  EXPECT_EQ(12, mdcudfsr_cache_create_dollar_proxy_node(v.m.shadow_node, other.data(), -1, 0, 0, 0644, &n, &failed));
  EXPECT_EQ(0, failed);
  EXPECT_EQ(nullptr, n);
}

TEST(Proxy, NamesIdsAndTheCounter) {
  Volume v;
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i) {
    mdcudfsr_cache_node* m = master_file(v, ("m" + std::to_string(i)).c_str());
    ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, m, 0, nullptr));
    mdcudfsr_cache_node* p = m->proxy;
    ASSERT_NE(nullptr, p);
    names.emplace_back(p->vfs_name);
    EXPECT_EQ(0xC0000000ull + i, p->objid);
    EXPECT_EQ(p, p->proxy);
    EXPECT_EQ(m, p->master);
    EXPECT_EQ(m->udf_data, p->udf_data);
    EXPECT_EQ(v.m.shadow_node, p->parent);
    EXPECT_EQ(p, mdcudfsr_name_avl_search(v.m.shadow_node->name_root, p->vfs_name, nullptr));
  }
  EXPECT_EQ((std::vector<std::string>{"@PXO00000", "@PXO00001", "@PXO00002"}), names);
  v.m.proxy_count = 100000;
  mdcudfsr_cache_node* big = master_file(v, "big");
  ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, big, 0, nullptr));
  EXPECT_STREQ("@PXO100000", big->proxy->vfs_name);
  // The id of 0x40000000 proxies later wraps within 32 bits.
  v.m.proxy_count = 0x40000000;
  mdcudfsr_cache_node* wrap = master_file(v, "wrap");
  ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, wrap, 0, nullptr));
  EXPECT_EQ(0ull, wrap->proxy->objid);
}

TEST(Proxy, ParityProxyKeepsTheCounter) {
  Volume v;
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  mdcudfsr_cache_node* data = master_file(v, "data");
  ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, data, 0, nullptr));
  std::string pname = "data#*ECC";
  mdcudfsr_cache_node* parity = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_create_udf_node(v.root, pname.data(), -1, 0, 0, 0644, &parity, 1, nullptr));
  mdcudfsr_cache_unlock_node(parity);
  parity->stream_owner = data;
  parity->kind = MDCUDFSR_NODE_MASTER;
  const uint32_t count = v.m.proxy_count;
  ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, parity, 0, "*ECC"));
  EXPECT_STREQ("@PXO00000#*ECC", parity->proxy->vfs_name);
  EXPECT_EQ(count, v.m.proxy_count);
  mdcudfsr_cache_node* next = master_file(v, "next");
  ASSERT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, next, 0, nullptr));
  EXPECT_EQ(parity->proxy->objid, next->proxy->objid);
}

TEST(Proxy, RefusalsAndFailuresLeaveTheMasterWithoutProxy) {
  Volume v;
  mdcudfsr_cache_node* d = v.make(v.root, "dir", true);
  d->kind = MDCUDFSR_NODE_MASTER;
  mdcudfsr_cache_node* plain = v.make(v.root, "plain");
  mdcudfsr_cache_node* m = master_file(v, "m");
  EXPECT_EQ(95, mdcudfsr_cache_create_proxy_node(&v.m, m, 0, nullptr));  // no shadow node yet
  EXPECT_EQ(nullptr, m->proxy);
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  EXPECT_EQ(95, mdcudfsr_cache_create_proxy_node(&v.m, d, 0, nullptr));
  EXPECT_EQ(nullptr, d->proxy);
  EXPECT_EQ(0, mdcudfsr_cache_create_proxy_node(&v.m, plain, 0, nullptr));
  EXPECT_EQ(nullptr, plain->proxy);
  EXPECT_EQ(95, mdcudfsr_cache_create_proxy_node(&v.m, m, 0, "*X"));  // parity proxy without an owner
  EXPECT_EQ(22, mdcudfsr_cache_create_proxy_node(&v.m, nullptr, 0, nullptr));
  for (int nth = 1; nth <= 2; ++nth) {  // the name copy, the node
    fail_allocation(nth);
    EXPECT_EQ(12, mdcudfsr_cache_create_proxy_node(&v.m, m, 0, nullptr)) << nth;
    clear_allocation_failure();
    EXPECT_EQ(nullptr, m->proxy);
    EXPECT_EQ(nullptr, v.m.shadow_node->children.first);
    EXPECT_EQ(0u, v.m.proxy_count);
  }
}

TEST(Shadow, MadeOnceOutsideTheRootsIndex) {
  Volume v;
  fail_allocation(2);
  EXPECT_EQ(12, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  clear_allocation_failure();
  EXPECT_EQ(nullptr, v.m.shadow_node);
  ASSERT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  mdcudfsr_cache_node* s = v.m.shadow_node;
  EXPECT_STREQ("$", s->vfs_name);
  EXPECT_EQ(MDCUDFSR_OBJID_SHADOW, s->objid);
  EXPECT_EQ(MDCUDFSR_NODE_SHADOW, s->kind);
  EXPECT_EQ(nullptr, s->udf_data);
  EXPECT_TRUE(mdcudfsr_is_dir(s));
  EXPECT_EQ(v.root, s->parent);
  EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(v.root->name_root, "$", nullptr));
  EXPECT_EQ(0, mdcudfsr_cache_create_shadow_node(&v.m, 0));
  EXPECT_EQ(s, v.m.shadow_node);
  EXPECT_EQ(22, mdcudfsr_cache_create_shadow_node(nullptr, 0));
}

TEST(Virtual, NodeWithVirtualDataUncounted) {
  Volume v;
  std::string name = "virt";
  mdcudfsr_cache_node* n = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_create_virtual_node(v.root, name.data(), -1, 0, 0, 0644, &n, nullptr));
  mdcudfsr_cache_unlock_node(n);
  EXPECT_EQ(MDCUDFSR_NODE_VIRTUAL, n->kind);
  EXPECT_EQ(0ull, n->objid);
  EXPECT_NE(nullptr, n->vfam_data);
  EXPECT_EQ(0u, v.m.nfiles);
  // Its virtual data cannot be had: the node leaves the tree again.
  std::string other = "virt2";
  int failed = -1;
  fail_allocation(6);  // name check (2), name copy, node, entry data, then the virtual data
  EXPECT_EQ(12, mdcudfsr_cache_create_virtual_node(v.root, other.data(), -1, 0, 0, 0644, &n, &failed));
  clear_allocation_failure();
  EXPECT_EQ(1, failed);
  EXPECT_EQ(nullptr, n);
  EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(v.root->name_root, "virt2", nullptr));
  EXPECT_EQ("", check_name_tree(v.root));
}

TEST(ParitySuffix, FromTheNodeName) {
  Volume v;
  mdcudfsr_cache_node* owner = v.make(v.root, "owner");
  const struct {
    const char* name;
    bool stream;
    int want;
    const char* suffix;
  } cases[] = {
      {"@PXO00012#*ECC_Parity_V100_N=516_K=512", true, 0, "*ECC_Parity_V100_N=516_K=512"},
      {"a#b#*X", true, 0, "*X"},
      {"a#b*c", true, 22, nullptr},
      {"a#*X", false, 22, nullptr},
      {"f#*0123456789012345678901234567890123456789012345678", true, 0,
       "*0123456789012345678901234567890123456789012345"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = c.name;
    mdcudfsr_cache_node* p = nullptr;
    ASSERT_EQ(0, mdcudfsr_cache_create_udf_node(v.root, name.data(), -1, 0, 0, 0644, &p, 1, nullptr));
    mdcudfsr_cache_unlock_node(p);
    p->stream_owner = c.stream ? owner : nullptr;
    char* suffix = reinterpret_cast<char*>(1);
    EXPECT_EQ(c.want, mdcudfsr_cache_get_parity_suffix_name(p, &suffix));
    if (c.suffix) {
      EXPECT_STREQ(c.suffix, suffix);
      OSFree(suffix, MDCUDFSR_PARITY_SUFFIX_SIZE, nullptr);
    } else {
      EXPECT_EQ(nullptr, suffix);
    }
    p->stream_owner = nullptr;
  }
}
