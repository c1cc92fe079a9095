// Manual allocation controls on nodes of a volume read from the simulated
// cartridge.
#include "fsctl_support.h"

#include "kelhost/kern.h"
#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"
#include "platform/sync.h"
#include "support/settles.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <thread>

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
  mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].length = std::uint64_t{1} << 31;  // a disc that holds 1 GiB and more
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

// A rebuild record: the head and its entries inline, as the writer lays
// them out.
std::vector<std::uint8_t> rebuild_record(std::uint64_t index, std::int64_t size,
                                         const std::vector<MDCFS_SPACE_ENTRY>& entries) {
  constexpr std::size_t head = offsetof(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER, SpaceEntries);
  std::vector<std::uint8_t> rec(std::max(sizeof(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER),
                                         head + entries.size() * sizeof(MDCFS_SPACE_ENTRY)));
  MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER h{};
  h.FileIndex = index;
  h.FileSize = size;
  h.TotalSpaceCount = static_cast<std::uint32_t>(entries.size());
  std::memcpy(rec.data(), &h, head);
  if (!entries.empty()) std::memcpy(rec.data() + head, entries.data(), entries.size() * sizeof(MDCFS_SPACE_ENTRY));
  return rec;
}

// The rebuild and the other allocation controls on files the writer has
// opened, sent through the control dispatcher as the writer sends them.
class Rebuild : public Allocation {
 protected:
  void SetUp() override {
    Allocation::SetUp();
    install_file_controls();
  }
  int rebuild(std::uint64_t index, std::int64_t size, const std::vector<MDCFS_SPACE_ENTRY>& entries) {
    std::vector<std::uint8_t> rec = rebuild_record(index, size, entries);
    return send(root_->vp, 0x80247061, rec.data());
  }
  int rebuild(const Written& w, std::int64_t size, const std::vector<MDCFS_SPACE_ENTRY>& entries) {
    return rebuild(mdcudfsr_node_unique_id(w.master), size, entries);
  }
  // A file opened by the writer, switched to manual allocation and given
  // `entries` through its proxy.
  Written written(const char* name, std::vector<MDCFS_SPACE_ENTRY> entries) {
    Written w = open_for_writer(name);
    if (!w.proxy_vp) return w;
    MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
    EXPECT_EQ(0, send(w.proxy_vp, 0x800C7080, &s));
    MDCFS_SPACE_ENTRIES_BUFFER b{};
    b.SpaceEntries = reinterpret_cast<std::uintptr_t>(entries.data());
    b.TotalSpaceCount = static_cast<std::uint32_t>(entries.size());
    EXPECT_EQ(0, send(w.proxy_vp, 0x800C7083, &b));
    return w;
  }
  bool listed(const Written& w) { return mdcudfsr_privileged_open_list_has(mnt_.get(), w.master); }
  std::uint32_t partition_blocks() const {
    return static_cast<std::uint32_t>(mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].length / 2048);
  }
};

TEST_F(Rebuild, DropsEarlierFilesAndAnswersNoEntryForALaterOne) {
  const Written a = open_for_writer("a");
  make("between");  // a gap in the unique ids
  const Written b = open_for_writer("b");
  ASSERT_TRUE(a.master && b.master);
  const std::uint64_t ia = mdcudfsr_node_unique_id(a.master), ib = mdcudfsr_node_unique_id(b.master);
  ASSERT_LT(ia + 1, ib);
  EXPECT_EQ((std::vector<std::uint64_t>{ia, ib}), pending());
  EXPECT_EQ(2, rebuild(ia - 1, -1, {}));
  EXPECT_EQ((std::vector<std::uint64_t>{ia, ib}), pending());
  EXPECT_EQ(2, rebuild(ia + 1, -1, {}));
  EXPECT_EQ((std::vector<std::uint64_t>{ib}), pending());
  EXPECT_EQ(nullptr, a.master->write_list_entry);
  EXPECT_EQ(1, mnt_->vfam_mode.load());
  EXPECT_EQ(0, rebuild(ib + 100, -1, {}));
  EXPECT_TRUE(pending().empty());
  EXPECT_EQ(0, mnt_->vfam_mode.load());
}

TEST_F(Rebuild, ReplacesTheExtentsWithinTheNewSize) {
  const Written f = written("a", {{0, 100, 8}});
  ASSERT_TRUE(listed(f));
  f.master->cache_dirty = 0;
  ASSERT_EQ(0, rebuild(f, 5000, {{0, 300, 1}, {0, 400, 1}, {0, 500, 4}}));
  EXPECT_EQ((std::vector<Extent>{{0, 300, 2048, 0}, {0, 400, 2048, 0}, {0, 500, 904, 0}}), extents_of(f.master));
  EXPECT_EQ(5000u, f.master->udf_data->efe.inf_len);
  EXPECT_EQ(3u, f.master->udf_data->efe.logblks_rec);
  EXPECT_EQ(1u, f.master->cache_dirty);
  EXPECT_TRUE(pending().empty());
  EXPECT_EQ(0, mnt_->vfam_mode.load());
  EXPECT_TRUE(logged("index="));
}

TEST_F(Rebuild, SplitsLongEntriesAsAddDoes) {
  mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].length = std::uint64_t{1} << 32;  // a disc that holds 2 GiB
  const Written f = written("a", {{0, 10, 2}});
  const std::uint64_t size = 1'610'612'736;  // 786,432 blocks: one largest extent and the rest
  ASSERT_EQ(0, rebuild(f, static_cast<std::int64_t>(size), {{0, 300, 786432}}));
  const std::vector<Extent> want = {{0, 300, 0x3FFF0000u, 0},
                                    {0, 300 + 524256, static_cast<std::uint32_t>(size - 0x3FFF0000u), 0}};
  EXPECT_EQ(want, extents_of(f.master));
  EXPECT_EQ(size, f.master->udf_data->efe.inf_len);
  EXPECT_EQ(786432u, f.master->udf_data->efe.logblks_rec);
}

TEST_F(Rebuild, ACountWhoseArrayCannotBeHadGivesOutOfMemory) {
  const Written f = open_for_writer("a");
  ASSERT_NE(nullptr, f.master);
  MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER r{};
  r.FileIndex = mdcudfsr_node_unique_id(f.master);
  r.FileSize = -1;
  r.TotalSpaceCount = 0x15555556u;
  EXPECT_EQ(12, send(root_->vp, 0x80247061, &r));
  EXPECT_EQ(1u, pending().size());
}

// Refused requests change nothing of the file: not its extents, its entry
// (size, recorded blocks, times) nor its dirty mark; a refused replace
// marks the master dirty all the same. The file stays listed for its
// rebuild.
TEST_F(Rebuild, RefusedRequestsLeaveTheFileAsItWas) {
  enum class Op { add, replace, reallocate, rebuild };
  struct Row {
    const char* what;
    Op op;
    std::vector<MDCFS_SPACE_ENTRY> entries;  // replace and reallocate: the first
    std::uint32_t at;                        // replace: extent index; reallocate: first block
    int fail_new_at;                         // the n-th extent allocation fails
    int want;
  };
  const auto p = static_cast<std::int32_t>(partition_blocks());
  const auto slots = static_cast<std::int32_t>(mnt_->num_discs);
  ASSERT_LT(slots, 99);
  const std::vector<Row> rows = {
      {"add: a later entry on a zone the cartridge lacks", Op::add, {{0, 200, 1}, {slots, 10, 1}}, 0, 0, 22},
      {"add: a later entry past the partition", Op::add, {{0, 200, 1}, {0, p, 1}}, 0, 0, 22},
      {"add: an entry running out of the partition", Op::add, {{0, p - 1, 2}}, 0, 0, 22},
      {"add: embedded data past the partition", Op::add, {{-1, p, 1}}, 0, 0, 22},
      {"add: a block count that wraps 32 bits", Op::add, {{0, 16, -1}}, 0, 0, 22},
      {"add: a later extent cannot be had", Op::add, {{0, 200, 1}, {0, 300, 1}}, 0, 2, 12},
      {"replace: an extent index the file lacks", Op::replace, {{0, 300, 1}}, 7, 0, 22},
      {"replace: a new place past the partition", Op::replace, {{0, p, 2}}, 0, 0, 22},
      {"reallocate: a new place past the partition", Op::reallocate, {{0, p, 1}}, 0, 0, 22},
      {"rebuild: a zone the cartridge lacks", Op::rebuild, {{99, 300, 1}}, 0, 0, 22},
      {"rebuild: a later entry past the partition", Op::rebuild, {{0, 300, 1}, {0, p, 1}}, 0, 0, 22},
      {"rebuild: an entry whose end wraps 32 bits", Op::rebuild, {{0, p - 1, -1}}, 0, 0, 22},
      {"rebuild: a later extent cannot be had", Op::rebuild, {{0, 300, 1}, {0, 400, 1}}, 0, 2, 12},
  };
  const timestamp old{0x1000, 2001, 2, 3, 4, 5, 6, 7, 8, 9};
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string name = "f" + std::to_string(n++);
    const Written f = written(name.c_str(), {{0, 10, 2}, {0, 40, 1}, {0, 80, 1}});
    ASSERT_NE(nullptr, f.proxy_vp);
    extended_file_entry& efe = f.master->udf_data->efe;
    efe.atime = efe.mtime = efe.ctime = efe.attrtime = old;
    f.master->cache_dirty = 0;
    const extended_file_entry before = efe;
    const std::vector<Extent> extents = extents_of(f.master);
    ASSERT_EQ(3u, extents.size());
    ASSERT_EQ(8192u, before.inf_len);
    std::vector<MDCFS_SPACE_ENTRY> entries = row.entries;
    MDCFS_SPACE_ENTRIES_BUFFER add{reinterpret_cast<std::uintptr_t>(entries.data()), {},
                                   static_cast<std::uint32_t>(entries.size())};
    MDCFS_REPLACE_FILE_ALLOCATION replace{row.at, entries[0]};
    MDCFS_REALLOCATE_FILE_RANGE move{row.at, entries[0]};
    fail_new(row.fail_new_at);
    int got = -1;
    switch (row.op) {
      case Op::add: got = send(f.proxy_vp, 0x800C7083, &add); break;
      case Op::replace: got = send(f.proxy_vp, 0x80107084, &replace); break;
      case Op::reallocate: got = send(f.proxy_vp, 0x80107085, &move); break;
      case Op::rebuild: got = rebuild(f, 12288, entries); break;
    }
    fail_new(0);
    EXPECT_EQ(row.want, got);
    EXPECT_EQ(extents, extents_of(f.master));
    EXPECT_EQ(before.inf_len, efe.inf_len);
    EXPECT_EQ(before.object_size, efe.object_size);
    EXPECT_EQ(before.logblks_rec, efe.logblks_rec);
    EXPECT_EQ(0, std::memcmp(&before, &efe, sizeof efe)) << "the entry, its times included";
    EXPECT_EQ(row.op == Op::replace ? 1u : 0u, f.master->cache_dirty);
    EXPECT_TRUE(listed(f));
    EXPECT_EQ(1, mnt_->vfam_mode.load());
  }
}

// The writer thread opens proxies for writing while the request thread
// answers rebuilds past the last file, each of which takes every listed
// file off. In step by published states: a rebuild starts once the open
// before it is done, and the next open starts as the rebuild does. The
// thread sanitizer build checks that the two never touch the list
// unordered; every build checks that the list and the nodes' links to it
// agree afterwards.
TEST_F(Rebuild, OpensBesideRebuildsKeepTheListWhole) {
  constexpr int kFiles = 8, kRounds = 2000;
  std::vector<Written> files;
  for (int i = 0; i < kFiles; ++i) {
    files.push_back(open_for_writer(("f" + std::to_string(i)).c_str(), false));
    ASSERT_NE(nullptr, files.back().proxy_vp);
  }
  std::atomic<int> opened{0}, rebuilding{-1};
  // Waits until `state` has reached `at_least`.
  const auto await = [](std::atomic<int>& state, int at_least) {
    for (int seen = state.load(); seen < at_least; seen = state.load()) state.wait(seen);
  };
  // The writer goes on past the last rebuild: what it opens then stays listed.
  std::thread writer([&] {
    for (int k = 0; k < kRounds + kFiles; ++k) {
      await(rebuilding, std::min(k, kRounds) - 1);
      EXPECT_EQ(0, open(files[k % kFiles].proxy_vp, FWRITE));
      opened.fetch_add(1);
      opened.notify_one();
    }
  });
  const std::uint64_t past_all = mdcudfsr_node_unique_id(files.back().master) + 1;
  for (int k = 0; k < kRounds; ++k) {
    await(opened, k + 1);
    rebuilding.store(k);
    rebuilding.notify_one();
    EXPECT_EQ(0, rebuild(past_all, -1, {})) << k;
  }
  writer.join();
  const mdcudfsr_proxy_write_entry* prev = nullptr;
  for (const mdcudfsr_proxy_write_entry* e = mnt_->proxy_write_first; e; prev = e, e = e->next) {
    EXPECT_EQ(prev, e->prev);
    ASSERT_NE(nullptr, e->node);
    EXPECT_EQ(e, e->node->write_list_entry);
  }
  EXPECT_EQ(prev, mnt_->proxy_write_last);
  EXPECT_EQ(prev ? 1 : 0, mnt_->vfam_mode.load());
  std::size_t linked = 0;
  for (const Written& w : files) linked += w.master->write_list_entry != nullptr;
  EXPECT_EQ(pending().size(), linked);
  EXPECT_EQ(0, rebuild(past_all, -1, {}));
  EXPECT_TRUE(pending().empty());
  EXPECT_EQ(0, mnt_->vfam_mode.load());
}

// A closed file stays listed for its rebuild. A remove that takes it off
// while a rebuild waits for the file's lock leaves the rebuild nothing to
// do: it answers 2 and gives the removed file no extents.
TEST_F(Rebuild, AFileRemovedWhileTheRebuildWaitsForItIsNotRebuilt) {
  mdcudfsr_cache_node* dir = make("d", true);
  const Written f = open_for_writer("a", true, dir);
  ASSERT_NE(nullptr, f.master);
  ASSERT_EQ(0, close(f.vp, FWRITE));
  ASSERT_TRUE(listed(f));
  const vnode_t dvp = vnode_of("d");
  ASSERT_NE(nullptr, dvp);
  platform::ManualClock clock;
  platform::ScopedClock use(clock);
  mdcudfsr_cache_lock_node(f.master, MDCUDFSR_WAIT_FOREVER);
  int got = -1;
  std::thread request([&] { got = rebuild(f, 2048, {{0, 300, 1}}); });
  // The rebuild waits for the file's lock.
  EXPECT_TRUE(kel_test::settles([&] { return clock.waiters() > 0; }));
  std::string name = "a";
  componentname cn{};
  cn.cn_nameiop = DELETE;
  cn.cn_flags = ISLASTCN;
  cn.cn_nameptr = name.data();
  cn.cn_namelen = 1;
  vnop_remove_args rm{&vnop_remove_desc, dvp, f.vp, &cn, 0, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_remove(&rm));
  EXPECT_FALSE(listed(f));
  mdcudfsr_cache_unlock_node(f.master);
  request.join();
  EXPECT_EQ(2, got);
  EXPECT_TRUE(extents_of(f.master).empty());
}

TEST_F(Rebuild, OnF2TakesTheParityInformationFromTheParityFileOfAClosedMaster) {
  start_tree(udf_test::MediumClass::F2);
  const Written w = open_for_writer("f");
  ASSERT_NE(nullptr, w.master);
  mdcudfsr_cache_node* f = w.master;
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
  // Closed while listed, the master is a UDF file again and keeps its
  // parity file for the rebuild.
  ASSERT_EQ(0, close(w.vp, FWRITE));
  ASSERT_EQ(std::uint32_t{MDCUDFSR_NODE_UDF}, f->kind);
  ASSERT_TRUE(listed(w));
  ASSERT_EQ(par, f->parity_node);
  ASSERT_EQ(0, rebuild(w, 2048, {{0, 300, 1}}));
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
