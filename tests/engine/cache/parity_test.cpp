// Parity nodes and the parity information of their masters.
#include "support.h"

#include "udf/udf_efe.h"
#include "udf/udf_extent.h"

#include <algorithm>
#include <cstring>

using namespace cache_test;

namespace {

void add_extent(mdcudfsr_extent_list* l, uint32_t lbn, uint32_t len) {
  mdcudfsr_extent_entry e;
  e.extent.len = len;
  e.extent.loc = lb_addr{lbn, 1};
  ASSERT_EQ(0, mdcudfsr_extent_list_add(l, &e, 0));
}

std::vector<uint32_t> starts(const mdcudfsr_extent_list& l) {
  std::vector<uint32_t> out;
  for (auto* e = l.first; e; e = e->next) out.push_back(e->extent.loc.lb_num);
  return out;
}

// A master with a parity node in its directory, as the directory scan leaves it.
struct WithParity {
  Volume v;
  mdcudfsr_cache_node* master;
  mdcudfsr_cache_node* parity = nullptr;
  explicit WithParity(uint32_t medium, bool aed) : v(medium) {
    master = v.make(v.root, "data");
    std::string name = std::string("data#") + mdcudfsr_cache_default_parity_suffix(&v.m);
    EXPECT_EQ(0, mdcudfsr_cache_create_udf_node(v.root, name.data(), -1, 0, 0, 0644, &parity, 1, nullptr));
    mdcudfsr_cache_unlock_node(parity);
    parity->stream_owner = master;
    master->parity_node = parity;
    add_extent(&parity->udf_data->extents, 500, 2048);
    add_extent(&parity->udf_data->extents, 600, 4096);
    parity->udf_data->efe.inf_len = 6144;
    parity->udf_data->efe_loc = 77;
    parity->cache_flags = 0x30;
    if (aed) {
      parity->udf_data->aed_info = mdcudfsr_aed_info_alloc();
      parity->udf_data->aed_info = mdcudfsr_aed_info_add(parity->udf_data->aed_info, 901);
      parity->udf_data->aed_info = mdcudfsr_aed_info_add(parity->udf_data->aed_info, 902);
    }
  }
};

}  // namespace

TEST(ParityInfo, FoldingTheNodeTakesItOutOfTheIndex) {
  for (int aed = 0; aed < 2; ++aed) {
    SCOPED_TRACE(aed ? "with allocation extent descriptors" : "without");
    WithParity w(0xF2, aed);
    const uint64_t objid = w.parity->objid;
    mdcudfsr_cache_node* p = w.parity;
    ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info, 1));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(nullptr, w.master->parity_node);  // the freed node left its master
    EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(w.v.root->name_root, "data#*ECC_Parity_V100_N=516_K=512", nullptr));
    mdcudfsr_parity_info* info = w.master->parity_info;
    ASSERT_NE(nullptr, info);
    EXPECT_EQ((std::vector<uint32_t>{500, 600}), starts(info->extents));
    EXPECT_EQ(6144u, info->size);
    EXPECT_EQ(77u, info->efe_loc);
    EXPECT_EQ(0x30u, info->cache_flags);
    EXPECT_EQ(objid, info->unique_id);
    if (aed) {
      ASSERT_NE(nullptr, info->aed_info);
      EXPECT_EQ(2u, info->aed_info->count);
      EXPECT_EQ(902u, info->aed_info->values[1]);
    } else {
      EXPECT_EQ(nullptr, info->aed_info);
    }
    EXPECT_EQ(1, mdcudfsr_cache_parity_info_enabled_decision(w.master));
  }
}

TEST(ParityInfo, EnabledOnlyOnF2hWithInformationAndNoNode) {
  const struct {
    uint32_t medium;
    bool fold;
    int want;
  } cases[] = {{0xF2, true, 1}, {0xF2, false, 0}, {0xF1, true, 0}, {0xE1, true, 0}};
  for (const auto& c : cases) {
    WithParity w(c.medium, false);
    mdcudfsr_cache_node* p = w.parity;
    ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info,
                                                                 c.fold ? 1 : 0));
    EXPECT_EQ(c.want, mdcudfsr_cache_parity_info_enabled_decision(w.master)) << c.medium << " " << c.fold;
  }
  Volume v;
  mdcudfsr_cache_node* none = nullptr;
  mdcudfsr_parity_info* info = nullptr;
  EXPECT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&v.m, v.root, &none, &info, 1));
  EXPECT_TRUE(rec().logged("(*parity) NULL."));
}

TEST(ParityNode, RealNodeFromTheInformationIsHiddenAndLinkedBothWays) {
  const struct {
    uint32_t medium;
    const char* name;
  } cases[] = {{0xF2, "data#*ECC_Parity_V100_N=516_K=512"}, {0xE1, "data#*ECC_Parity_V100_N=2064_K=2048"},
               {0x53, "data#*ECC_Parity_V100_N=2064_K=2048"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WithParity w(c.medium, true);
    mdcudfsr_cache_node* p = w.parity;
    ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info, 1));
    rec().calls.clear();
    mdcudfsr_cache_node* made = nullptr;
    ASSERT_EQ(0, mdcudfsr_cache_parity_creating_from_parity_info(&w.v.m, w.master, nullptr, 1, &made));
    ASSERT_NE(nullptr, made);
    EXPECT_STREQ(c.name, made->vfs_name);
    EXPECT_EQ(made, w.master->parity_node);
    EXPECT_EQ(w.master, made->stream_owner);
    EXPECT_EQ(made, mdcudfsr_name_avl_search(w.v.root->name_root, c.name, nullptr));
    EXPECT_TRUE(made->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
    EXPECT_TRUE(made->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN);
    EXPECT_EQ(0x7FFFu, made->udf_data->efe.perm) << "0777 in the UDF layout";
    EXPECT_EQ((std::vector<uint32_t>{500, 600}), starts(made->udf_data->extents));
    EXPECT_EQ(2u, made->udf_data->aed_info->count);
    EXPECT_EQ(6144u, made->udf_data->efe.object_size);
    EXPECT_EQ(77u, made->udf_data->efe_loc);
    EXPECT_EQ(w.master->parity_info->unique_id, made->objid);
    EXPECT_EQ(0, made->lock_count);
    EXPECT_EQ(0, mdcudfsr_cache_parity_info_enabled_decision(w.master));
  }
}

TEST(ParityNode, ControlRecordNamesTheIdentifier) {
  WithParity w(0xF2, false);
  mdcudfsr_cache_node* p = w.parity;
  ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info, 1));
  mdcudfsr_parity_ctl ctl{};
  std::strcpy(ctl.parity_suffix, "*Other_Code");
  // The setup-parity request passes no out pointer: the master holds the node.
  ASSERT_EQ(0, mdcudfsr_cache_parity_creating_from_parity_info(&w.v.m, w.master, &ctl, 1, nullptr));
  ASSERT_NE(nullptr, w.master->parity_node);
  EXPECT_STREQ("data#*Other_Code", w.master->parity_node->vfs_name);
  EXPECT_EQ(22, mdcudfsr_cache_parity_creating_from_parity_info(&w.v.m, w.master, &ctl, 0, nullptr));
}

TEST(ParityNode, EveryFailedAllocationLeavesNoNodeBehind) {
  bool failed_after_creation = false;
  for (int nth = 1; nth <= 12; ++nth) {
    SCOPED_TRACE(nth);
    WithParity w(0xF2, true);
    mdcudfsr_cache_node* p = w.parity;
    ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info, 1));
    const uint64_t children = mdcudfsr_cache_nchildren(w.v.root);
    const uint64_t streams = w.v.m.stream_node_count;
    mdcudfsr_cache_node* made = reinterpret_cast<mdcudfsr_cache_node*>(8);
    fail_allocation(nth);
    const int err = mdcudfsr_cache_parity_creating_from_parity_info(&w.v.m, w.master, nullptr, 1, &made);
    clear_allocation_failure();
    if (!err) {
      EXPECT_EQ(made, w.master->parity_node);
      continue;
    }
    EXPECT_EQ(12, err);
    EXPECT_EQ(nullptr, made);
    EXPECT_EQ(nullptr, w.master->parity_node);
    EXPECT_EQ(children, mdcudfsr_cache_nchildren(w.v.root));
    EXPECT_EQ(nullptr, w.v.root->inactive_list.first);
    failed_after_creation |= w.v.m.stream_node_count != streams;
  }
  // The node is made; copying the first extent into it fails.
  WithParity w(0xF2, false);
  mdcudfsr_cache_node* p = w.parity;
  ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info, 1));
  const uint64_t children = mdcudfsr_cache_nchildren(w.v.root);
  const uint64_t streams = w.v.m.stream_node_count;
  mdcudfsr_cache_node* made = reinterpret_cast<mdcudfsr_cache_node*>(8);
  fail_new(1);
  EXPECT_EQ(12, mdcudfsr_cache_parity_creating_from_parity_info(&w.v.m, w.master, nullptr, 1, &made));
  clear_allocation_failure();
  EXPECT_EQ(streams + 1, w.v.m.stream_node_count);
  EXPECT_EQ(nullptr, made);
  EXPECT_EQ(nullptr, w.master->parity_node);
  EXPECT_EQ(children, mdcudfsr_cache_nchildren(w.v.root));
  EXPECT_EQ(nullptr, w.v.root->inactive_list.first);
  failed_after_creation |= w.v.m.stream_node_count != streams;
  EXPECT_TRUE(failed_after_creation);
}

TEST(ParityNode, TemporaryNodeAroundAFlushKeepsTheLatestExtents) {
  WithParity w(0xF2, false);
  mdcudfsr_cache_node* p = w.parity;
  ASSERT_EQ(0, mdcudfsr_cache_parity_info_creating_from_parity(&w.v.m, w.v.root, &p, &w.master->parity_info, 1));
  const uint64_t children = mdcudfsr_cache_nchildren(w.v.root);
  mdcudfsr_cache_node* temp = nullptr;
  ASSERT_EQ(0, mdcudfsr_cache_temporary_parity_creating_or_deletion(w.master, &temp, 0));
  ASSERT_NE(nullptr, temp);
  EXPECT_EQ(w.master, temp->stream_owner);
  EXPECT_EQ(nullptr, w.master->parity_node);
  EXPECT_EQ(children, mdcudfsr_cache_nchildren(w.v.root));  // in no index
  EXPECT_EQ((std::vector<uint32_t>{500, 600}), starts(temp->udf_data->extents));
  add_extent(&temp->udf_data->extents, 700, 2048);  // the flush gave the stream more room
  temp->udf_data->efe.inf_len = 8192;
  ASSERT_EQ(0, mdcudfsr_cache_temporary_parity_creating_or_deletion(w.master, &temp, 1));
  EXPECT_EQ(nullptr, temp);
  EXPECT_EQ((std::vector<uint32_t>{500, 600, 700}), starts(w.master->parity_info->extents));
  EXPECT_EQ(8192u, w.master->parity_info->size);

  mdcudfsr_cache_node* plain = w.v.make(w.v.root, "plain");
  EXPECT_EQ(12, mdcudfsr_cache_temporary_parity_creating_or_deletion(plain, &temp, 0));
  EXPECT_TRUE(rec().logged("mdcudfsrcnp->parity_info"));
}
