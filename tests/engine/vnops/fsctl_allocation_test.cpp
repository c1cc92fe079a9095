// Manual allocation controls on nodes of a volume read from the simulated
// cartridge.
#include "fsctl_support.h"

#include "kelvnops/mdcudfsr_fsctl_allocation.h"

#include "kelhost/kern.h"

#include <cstring>
#include <new>

namespace {

using namespace fsctl_test;
using vfs_test::logged;

class Allocation : public FsctlVolume {
 protected:
  void SetUp() override {
    FsctlVolume::SetUp();
    start_tree();
  }
  int add(mdcudfsr_cache_node* n, std::vector<MDCFS_SPACE_ENTRY> entries) {
    MDCFS_SPACE_ENTRIES_BUFFER b{};
    b.SpaceEntries = reinterpret_cast<std::uintptr_t>(entries.data());
    b.TotalSpaceCount = static_cast<std::uint32_t>(entries.size());
    return mdcudfsr_mdcfsctrl_add_file_allocation(mnt_.get(), n, &b, &ctx_);
  }
  int get(mdcudfsr_cache_node* n, std::vector<MDCFS_SPACE_ENTRY>* out, std::uint32_t capacity) {
    out->assign(capacity, MDCFS_SPACE_ENTRY{-7, -7, -7});
    MDCFS_SPACE_ENTRIES_BUFFER b{};
    b.SpaceEntries = reinterpret_cast<std::uintptr_t>(out->data());
    b.TotalSpaceCount = capacity;
    return mdcudfsr_mdcfsctrl_get_file_allocation(mnt_.get(), n, &b, &ctx_);
  }
  std::uint32_t count(mdcudfsr_cache_node* n) {
    MDCFS_SPACE_ENTRIES_BUFFER b{};
    b.TotalSpaceCount = 99;
    EXPECT_EQ(0, mdcudfsr_mdcfsctrl_get_file_allocation(mnt_.get(), n, &b, &ctx_));
    return b.TotalSpaceCount;
  }
};

TEST_F(Allocation, CustomizeSetsTypeManualModeAndPermissions) {
  mdcudfsr_cache_node* f = make("a");
  MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), f, &s, &ctx_));
  EXPECT_EQ(249, f->udf_data->efe.icbtag.file_type);
  EXPECT_TRUE(f->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION);
  EXPECT_EQ(0x7BDEu, f->udf_data->efe.perm);
  MDCFS_CUSTOM_FILE_SETTING q{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_query_custom_file_setting(mnt_.get(), f, &q, &ctx_));
  EXPECT_EQ(1u, q.FileAttributes);
  EXPECT_EQ(1u, q.Control);
  EXPECT_EQ(0x7BDEu, q.Options);

  s = {0, 0, 0x1234};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), f, &s, &ctx_));
  EXPECT_EQ(5, f->udf_data->efe.icbtag.file_type);
  EXPECT_FALSE(f->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION);
  q = {};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_query_custom_file_setting(mnt_.get(), f, &q, &ctx_));
  EXPECT_EQ(0u, q.FileAttributes);
  EXPECT_EQ(0u, q.Control);
}

TEST_F(Allocation, CustomizeRefusesFoldersAndOtherKindsAndMarksAProxysMaster) {
  MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
  EXPECT_EQ(21, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), make("d", true), &s, &ctx_));
  mdcudfsr_cache_node* f = make("f");
  f->kind = MDCUDFSR_NODE_VIRTUAL;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), f, &s, &ctx_));
  EXPECT_TRUE(logged(" invalid node type:3[f]"));
  f->kind = MDCUDFSR_NODE_UDF;
  mdcudfsr_cache_node* p = proxy_of(f);
  ASSERT_NE(nullptr, p);
  f->cache_dirty = 0;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), p, &s, &ctx_));
  EXPECT_EQ(1u, f->cache_dirty);
  EXPECT_EQ(249, p->udf_data->efe.icbtag.file_type);
}

TEST_F(Allocation, AddAppendsEntriesSplittingLongOnesAndGrowsTheFile) {
  mdcudfsr_cache_node* f = manual_file("a");
  // 524,256 blocks of 2048 bytes are one largest extent; one more block spills over.
  ASSERT_EQ(0, add(f, {{0, 100, 524257}, {-1, 0, 1}}));
  const std::vector<Extent> want = {{0, 100, 0x3FFF0000u, 1}, {0, 100 + 524256, 2048, 1}, {0xFFFFFFFFu, 0, 2048, 3}};
  EXPECT_EQ(want, extents_of(f));
  EXPECT_EQ((524257ull + 1) * 2048, f->udf_data->efe.inf_len);
  EXPECT_EQ(f->udf_data->efe.inf_len, f->udf_data->efe.object_size);
  EXPECT_EQ(524258u, f->udf_data->efe.logblks_rec);
  EXPECT_EQ(3u, count(f));
}

TEST_F(Allocation, AddRefusals) {
  mdcudfsr_cache_node* plain = make("plain");
  EXPECT_EQ(22, add(plain, {{0, 10, 1}}));
  EXPECT_TRUE(logged("mdcudfsrcnp->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION"));
  mdcudfsr_cache_node* f = manual_file("a");
  EXPECT_EQ(22, add(f, {}));
  EXPECT_TRUE(logged("mdcfs_space_entries_buf->TotalSpaceCount"));
  const std::uint32_t slots = mnt_->num_discs;
  EXPECT_EQ(22, add(f, {{static_cast<std::int32_t>(slots), 10, 1}}));
  EXPECT_TRUE(logged("Illegal Zone ID (" + std::to_string(slots) + ")"));
  EXPECT_TRUE(extents_of(f).empty());
  EXPECT_EQ(0u, f->udf_data->efe.inf_len);
}

TEST_F(Allocation, EmbeddedZoneHasTypeThreeAlsoOnAOneSlotCartridge) {
  mnt_->num_discs = 1;
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{-1, 0, 1}, {0, 5, 1}}));
  EXPECT_EQ((std::vector<Extent>{{0xFFFFFFFFu, 0, 2048, 3}, {0, 5, 2048, 1}}), extents_of(f));
  EXPECT_EQ(22, add(f, {{1, 5, 1}}));
}

TEST_F(Allocation, AddGivesAFreshFileTheNextUniqueIdWhenAnotherObjectCameBetween) {
  mdcudfsr_cache_node* f = manual_file("a");
  const std::uint64_t first = f->udf_data->efe.unique_id;
  make("b");  // takes the next id
  ASSERT_EQ(0, add(f, {{0, 10, 1}}));
  EXPECT_GT(f->udf_data->efe.unique_id, first);
  EXPECT_EQ(mnt_->next_unique_id - 1, f->udf_data->efe.unique_id);
  EXPECT_EQ(f, mdcudfsr_cache_find_node_in_tree(root_, f->udf_data->efe.unique_id));
  // A file that has data keeps its id.
  const std::uint64_t now = f->udf_data->efe.unique_id;
  make("c");
  ASSERT_EQ(0, add(f, {{0, 11, 1}}));
  EXPECT_EQ(now, f->udf_data->efe.unique_id);

  // Through a proxy the master is re-keyed in its own directory.
  mdcudfsr_cache_node* m = make("m");
  mdcudfsr_cache_node* p = proxy_of(m);
  const std::uint64_t proxy_id = p->objid;
  MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), p, &s, &ctx_));
  make("between");
  ASSERT_EQ(0, add(p, {{0, 20, 1}}));
  EXPECT_EQ(mnt_->next_unique_id - 1, m->udf_data->efe.unique_id);
  EXPECT_EQ(m, mdcudfsr_cache_find_node_in_tree(root_, m->udf_data->efe.unique_id));
  EXPECT_EQ(proxy_id, p->objid) << "the proxy keeps its own id";
}

TEST_F(Allocation, GetFileAllocationCountsDeliversAndReportsShortArrays) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 10, 2}, {0, 40, 1}, {0, 80, 3}}));
  EXPECT_EQ(3u, count(f));
  std::vector<MDCFS_SPACE_ENTRY> e;
  ASSERT_EQ(0, get(f, &e, 4));
  EXPECT_EQ(10, e[0].BlockOffset);
  EXPECT_EQ(2, e[0].NumberOfBlocks);
  EXPECT_EQ(0, e[2].ZoneId);
  EXPECT_EQ(80, e[2].BlockOffset);
  EXPECT_EQ(3, e[2].NumberOfBlocks);
  EXPECT_EQ(0, e[3].ZoneId) << "entries beyond the extents are zero";
  EXPECT_EQ(0, e[3].NumberOfBlocks);
  ASSERT_EQ(105, get(f, &e, 2));
  EXPECT_EQ(40, e[1].BlockOffset);
  // An entry array with no room has no source to copy from.
  EXPECT_EQ(14, get(f, &e, 0));
}

TEST_F(Allocation, AnEntryCountWhoseArrayCannotBeHadGivesOutOfMemory) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 10, 2}}));
  MDCFS_SPACE_ENTRY one{};
  for (std::uint32_t n : {0x15555556u, 0xFFFFFFFFu}) {  // n × 12 wraps in 32 bits
    MDCFS_SPACE_ENTRIES_BUFFER b{};
    b.SpaceEntries = reinterpret_cast<std::uintptr_t>(&one);
    b.TotalSpaceCount = n;
    EXPECT_EQ(12, mdcudfsr_mdcfsctrl_get_file_allocation(mnt_.get(), f, &b, &ctx_)) << n;
    EXPECT_EQ(12, mdcudfsr_mdcfsctrl_add_file_allocation(mnt_.get(), f, &b, &ctx_)) << n;
  }
  EXPECT_EQ(1u, extents_of(f).size());
}

TEST_F(Allocation, ReplaceSwapsOneExtentOfTheSameLength) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 10, 2}, {0, 40, 1}}));
  MDCFS_REPLACE_FILE_ALLOCATION r{0, {-1, 300, 2}};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_replace_file_allocation(mnt_.get(), f, &r, &ctx_));
  EXPECT_EQ((std::vector<Extent>{{0xFFFFFFFFu, 300, 4096, 3}, {0, 40, 2048, 1}}), extents_of(f));
}

TEST_F(Allocation, ReplaceWithAnotherLengthGivesInvalidAndStillMarksTheMasterDirty) {
  mdcudfsr_cache_node* master = make("m");
  mdcudfsr_cache_node* p = proxy_of(master);
  MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_customize_file_setting(mnt_.get(), p, &s, &ctx_));
  ASSERT_EQ(0, add(p, {{0, 10, 2}}));
  master->cache_dirty = 0;
  MDCFS_REPLACE_FILE_ALLOCATION r{0, {0, 300, 3}};
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_replace_file_allocation(mnt_.get(), p, &r, &ctx_));
  EXPECT_TRUE(logged("EXTENT_LENGTH( eep->extent.len ) == EXTENT_LENGTH( entry.extent.len )"));
  EXPECT_EQ(1u, master->cache_dirty);
  EXPECT_EQ((std::vector<Extent>{{0, 10, 4096, 1}}), extents_of(p));
}

TEST_F(Allocation, ReallocateKeepsBothPiecesOfTheExtentItSplits) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 100, 10}, {0, 200, 2}}));
  MDCFS_REALLOCATE_FILE_RANGE r{3, {0, 500, 4}};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_replace_file_range(mnt_.get(), f, &r, &ctx_));
  const std::vector<Extent> want = {
      {0, 100, 3 * 2048, 1}, {0, 500, 4 * 2048, 1}, {0, 107, 3 * 2048, 1}, {0, 200, 2 * 2048, 1}};
  EXPECT_EQ(want, extents_of(f));
  EXPECT_EQ(12u * 2048, f->udf_data->efe.inf_len);
}

TEST_F(Allocation, ReallocateAcrossExtentsAndBeyondTheEndGrowsTheFile) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 100, 2}, {0, 200, 2}}));
  MDCFS_REALLOCATE_FILE_RANGE r{1, {0, 500, 5}};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_replace_file_range(mnt_.get(), f, &r, &ctx_));
  EXPECT_EQ((std::vector<Extent>{{0, 100, 2048, 1}, {0, 500, 5 * 2048, 1}}), extents_of(f));
  EXPECT_EQ(6u * 2048, f->udf_data->efe.inf_len);
  EXPECT_EQ(6u, f->udf_data->efe.logblks_rec);
}

TEST_F(Allocation, ReallocateOfARangeTheFileDoesNotHoldGivesInvalidAndChangesNothing) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 100, 2}}));
  const auto before = extents_of(f);
  for (std::uint32_t first : {2u, 50u}) {
    MDCFS_REALLOCATE_FILE_RANGE r{first, {0, 500, 1}};
    EXPECT_EQ(22, mdcudfsr_mdcfsctrl_replace_file_range(mnt_.get(), f, &r, &ctx_)) << first;
    EXPECT_EQ(before, extents_of(f));
    EXPECT_EQ(2u * 2048, f->udf_data->efe.inf_len);
  }
  MDCFS_REALLOCATE_FILE_RANGE bad_zone{0, {static_cast<std::int32_t>(mnt_->num_discs), 500, 1}};
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_replace_file_range(mnt_.get(), f, &bad_zone, &ctx_));
}

TEST_F(Allocation, DeleteKeepsTheGivenNumberOfBlocks) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 100, 3}, {0, 200, 2}}));
  std::uint32_t keep = 4;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_delete_file_allocation(mnt_.get(), f, &keep, &ctx_));
  EXPECT_EQ(4u * 2048, f->udf_data->efe.inf_len);
  EXPECT_EQ((std::vector<Extent>{{0, 100, 3 * 2048, 1}, {0, 200, 2048, 1}}), extents_of(f));
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_delete_file_allocation(nullptr, f, &keep, &ctx_));
}

// ---------------------------------------------------------------- rebuild

struct Rebuild {
  MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER head{};
  MDCFS_SPACE_ENTRY more[3]{};
};

TEST_F(Allocation, RebuildDropsEarlierFilesAndAnswersNoEntryForALaterOne) {
  mdcudfsr_cache_node* a = make("a");
  mdcudfsr_cache_node* b = make("b");
  add_pending(20, a);
  add_pending(30, b);
  Rebuild r;
  r.head.FileIndex = 10;
  r.head.FileSize = -1;
  EXPECT_EQ(2, mdcudfsr_mdcfsctrl_rebuild_file_allocation(mnt_.get(), &r.head, &ctx_));
  EXPECT_EQ((std::vector<std::uint64_t>{20, 30}), pending());
  r.head.FileIndex = 25;
  EXPECT_EQ(2, mdcudfsr_mdcfsctrl_rebuild_file_allocation(mnt_.get(), &r.head, &ctx_));
  EXPECT_EQ((std::vector<std::uint64_t>{30}), pending());
  EXPECT_EQ(nullptr, a->write_list_entry);
  EXPECT_EQ(1, mnt_->vfam_mode);
  r.head.FileIndex = 99;
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_rebuild_file_allocation(mnt_.get(), &r.head, &ctx_));
  EXPECT_TRUE(pending().empty());
  EXPECT_EQ(0, mnt_->vfam_mode);
}

TEST_F(Allocation, RebuildReplacesTheExtentsWithinTheNewSize) {
  mdcudfsr_cache_node* f = manual_file("a");
  ASSERT_EQ(0, add(f, {{0, 100, 8}}));
  add_pending(f->udf_data->efe.unique_id, f);
  Rebuild r;
  r.head.FileIndex = f->udf_data->efe.unique_id;
  r.head.FileSize = 5000;
  r.head.TotalSpaceCount = 3;
  r.head.SpaceEntries[0] = {0, 300, 1};
  r.more[0] = {0, 400, 1};
  r.more[1] = {0, 500, 4};
  f->cache_dirty = 0;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_rebuild_file_allocation(mnt_.get(), &r.head, &ctx_));
  EXPECT_EQ((std::vector<Extent>{{0, 300, 2048, 0}, {0, 400, 2048, 0}, {0, 500, 904, 0}}), extents_of(f));
  EXPECT_EQ(5000u, f->udf_data->efe.inf_len);
  EXPECT_EQ(3u, f->udf_data->efe.logblks_rec);
  EXPECT_EQ(1u, f->cache_dirty);
  EXPECT_TRUE(pending().empty());
  EXPECT_EQ(0, mnt_->vfam_mode);
  EXPECT_TRUE(logged("index=" ));
}

TEST_F(Allocation, RebuildWithACountWhoseArrayCannotBeHadGivesOutOfMemory) {
  mdcudfsr_cache_node* f = manual_file("a");
  add_pending(f->udf_data->efe.unique_id, f);
  Rebuild r;
  r.head.FileIndex = f->udf_data->efe.unique_id;
  r.head.FileSize = -1;
  r.head.TotalSpaceCount = 0x15555556u;
  EXPECT_EQ(12, mdcudfsr_mdcfsctrl_rebuild_file_allocation(mnt_.get(), &r.head, &ctx_));
  EXPECT_EQ(1u, pending().size());
}

TEST_F(Allocation, RebuildOnF2TakesTheParityInformationFromTheParityFile) {
  start_tree(udf_test::MediumClass::F2);
  mdcudfsr_cache_node* f = manual_file("f");
  std::string pname = std::string("f#") + mdcudfsr_cache_default_parity_suffix(mnt_.get());
  mdcudfsr_cache_node* par = nullptr;  // a parity file as the node cache makes one
  ASSERT_EQ(0, mdcudfsr_cache_create_udf_node(root_, pname.data(), -1, 0, 0, 0777, &par, 1, nullptr));
  mdcudfsr_cache_unlock_node(par);
  mdcudfsr_cache_node* other = make("other");
  f->parity_node = par;
  par->stream_owner = f;
  mdcudfsr_extent_entry e{};
  e.extent.len = 4096;
  e.extent.loc.lb_num = 900;
  e.extent.loc.part_num = 1;
  ASSERT_EQ(0, mdcudfsr_extent_list_add(&par->udf_data->extents, &e, 0));
  void* mem = OSMalloc(sizeof(mdcudfsr_parity_info), nullptr);
  f->parity_info = new (mem) mdcudfsr_parity_info();  // an older record
  mdcudfsr_extent_list_init(&f->parity_info->extents);
  add_pending(f->udf_data->efe.unique_id, f);
  Rebuild r;
  r.head.FileIndex = f->udf_data->efe.unique_id;
  r.head.FileSize = 2048;
  r.head.TotalSpaceCount = 1;
  r.head.SpaceEntries[0] = {0, 300, 1};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_rebuild_file_allocation(mnt_.get(), &r.head, &ctx_));
  ASSERT_NE(nullptr, f->parity_info);
  ASSERT_NE(nullptr, f->parity_info->extents.first);
  EXPECT_EQ(900u, f->parity_info->extents.first->extent.loc.lb_num);
  EXPECT_EQ(nullptr, f->parity_node) << "the parity file's node is released";
  EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(root_->name_root, pname.c_str(), nullptr));
  EXPECT_EQ(other, mdcudfsr_name_avl_search(root_->name_root, "other", nullptr));
}

TEST(ArrayBytes, SizesInSixtyFourBits) {
  EXPECT_EQ(36u, mdcudfsr_array_bytes(3, 12));
  EXPECT_EQ(0u, mdcudfsr_array_bytes(0, 12));
  EXPECT_EQ(0u, mdcudfsr_array_bytes(0x15555556u, 12));
  EXPECT_EQ(0xFFFFFFF0u, mdcudfsr_array_bytes(0x15555554u, 12));
}

}  // namespace
