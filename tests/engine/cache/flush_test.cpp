// The metadata flush passes on the simulated cartridge: entries and
// directories placed, written through the write clusters and read back from
// the disc into a new tree; the write patterns of grown directories.
#include "support.h"
#include "support_flush.h"
#include "kelvfs/mdcudfsr_defect.h"

#include "kelcache/cache_flush.h"
#include "sim/harness.h"
#include "udf/udf_metadata.h"
#include "udf/udf_names.h"
#include "kelagent/metacache.h"

#include <algorithm>
#include <cstring>

using namespace cache_test;

namespace {

// ---------------------------------------------------------------- write patterns

struct PatternRow {
  const char* what;
  uint8_t dir_dirty;
  uint32_t flush_all;
  std::vector<std::pair<uint32_t, uint32_t>> extents;  // {length, location}
  uint64_t size;
  uint32_t room;
  int pattern;
  uint64_t bytes;
  uint32_t prev_start;
};

constexpr uint32_t kNone = 0xFFFFFFFFu;

void PrintTo(const PatternRow& r, std::ostream* os) { *os << r.what; }

class Patterns : public ::testing::TestWithParam<PatternRow> {};

TEST_P(Patterns, ChoosesPatternBytesAndPreviousStart) {
  const PatternRow& r = GetParam();
  mdcudfsr_udf_data d;
  for (auto [len, loc] : r.extents) {
    mdcudfsr_extent_entry e;
    e.extent.len = len;
    e.extent.loc = lb_addr{loc, 0};
    ASSERT_EQ(0, mdcudfsr_extent_list_add(&d.extents, &e, 0));
  }
  uint64_t bytes = 0;
  EXPECT_EQ(r.pattern, mdcudfsr_cache_decide_fid_write_pattern(2048, r.flush_all, &d, r.dir_dirty, r.size, r.room,
                                                               &bytes));
  EXPECT_EQ(r.bytes, bytes);
  EXPECT_EQ(r.prev_start, d.dir_prev_start);
  mdcudfsr_extent_list_remove_all(&d.extents);
}

INSTANTIATE_TEST_SUITE_P(
    NineRows, Patterns,
    ::testing::Values(
        PatternRow{"changed", 2, 0, {{65536, 100}}, 100000, 1832, 0, 100000, kNone},
        PatternRow{"full rewrite", 1, 1, {{65536, 100}}, 100000, 1832, 0, 100000, kNone},
        PatternRow{"small", 1, 0, {{40000, 100}}, 60000, 1832, 1, 60000, kNone},
        PatternRow{"no extents", 1, 0, {}, 70000, 1832, 8, 70000, kNone},
        PatternRow{"same unit short last", 1, 0, {{65536, 100}, {10000, 300}}, 80000, 1832, 6, 80000 - 65536, 100},
        PatternRow{"same unit long last", 1, 0, {{65536, 100}, {70000, 300}}, 140000, 1832, 2, 140000 - 131072,
                   268},
        PatternRow{"same unit long last, no room", 1, 0, {{65536, 100}, {70000, 300}}, 140000, 16, 0, 140000,
                   kNone},
        PatternRow{"grows, long last", 1, 0, {{70000, 100}}, 140000, 1832, 7, 140000 - 65536, 100},
        PatternRow{"grows, one short extent", 1, 0, {{65000, 100}}, 70000, 1832, 3, 70000, kNone},
        PatternRow{"grows, short last of two", 1, 0, {{65536, 100}, {10000, 300}}, 140000, 1832, 4,
                   140000 - 65536, 100},
        PatternRow{"grows past a whole unit", 1, 0, {{65536, 100}}, 70000, 1832, 5, 70000 - 65536, kNone},
        PatternRow{"grows past a whole unit, no room", 1, 0, {{65536, 100}}, 70000, 15, 0, 70000, kNone}),
    [](const auto& info) {
      std::string s = info.param.what;
      for (char& c : s)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return s;
    });

// ---------------------------------------------------------------- passes

// A small tree on a write-once cartridge, mounted and opened for writing.
struct Written {
  TreeImage img;
  SimMount sm;
  int docs;
  explicit Written(uint32_t medium = 0, udf_test::MediumClass cls = udf_test::MediumClass::WriteOnce)
      : img(cls, medium) {
    docs = img.dir(TreeImage::kRoot, "docs", 20);
    img.file(docs, "a.txt", 21, 5000);
    img.file(TreeImage::kRoot, "top.bin", 22, 2048);
    img.finish();
    sm.load(img);
    EXPECT_EQ(0, sm.init());
    // The drive's defect map, as the mount of a rewritable volume builds it.
    if (cls == udf_test::MediumClass::Rewritable) { EXPECT_EQ(0, mdcudfsr_make_defect_map(sm.m(), nullptr, 1)); }
    open_for_writing(sm, 6144);
  }
  mdcudfsr_mount* m() { return sm.m(); }
  mdcudfsr_cache_node* root() { return sm.m()->root_node; }
};

int count(const std::vector<uint8_t>& ops, uint8_t op) { return static_cast<int>(std::count(ops.begin(), ops.end(), op)); }

TEST(CacheFlush, NoDirtyNodeWritesNothing) {
  Written w;
  int wrote = 7, defect = 0;
  uint32_t blocks = 99;
  EXPECT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, &blocks, 0, &defect, 0));
  EXPECT_EQ(0, wrote);
  EXPECT_EQ(0u, blocks);
  EXPECT_EQ(0, defect);
  EXPECT_TRUE(rec().logged("metadata expand size is zero"));
  EXPECT_EQ(0, count(opcodes(w.sm), 0x2A)) << "no WRITE(10)";
}

TEST(CacheFlush, NewFileIsWrittenAndReadBack) {
  Written w;
  mdcudfsr_cache_node* docs = w.sm.child(w.root(), "docs");
  ASSERT_NE(nullptr, docs);
  ASSERT_NE(nullptr, create_node(w.sm, docs, "new.txt"));
  const std::string before = tree_text(w.root());
  int wrote = 0, defect = 0;
  uint32_t blocks = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, &blocks, 0, &defect, 0));
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(0, defect);
  EXPECT_EQ(32u, blocks);
  EXPECT_GT(count(opcodes(w.sm), 0x2A), 0);
  EXPECT_EQ(0u, docs->cache_dirty);
  EXPECT_EQ(0, docs->dir_dirty);
  EXPECT_EQ(before, read_back(w.sm));
  EXPECT_NE(std::string::npos, before.find("/docs/new.txt"));
}

}  // namespace

namespace {

TEST(CacheFlush, SecondPassRewritesEntriesTheFirstWroteAndTheRemapFindsThem) {
  Written w;
  mdcudfsr_cache_node* docs = w.sm.child(w.root(), "docs");
  ASSERT_NE(nullptr, docs);
  mdcudfsr_cache_node* fresh = create_node(w.sm, docs, "fresh.txt");
  ASSERT_NE(nullptr, fresh);
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  remap(w.sm);
  const uint32_t placed_at = fresh->udf_data->efe_loc;
  // The entry the first pass wrote changes, and its directory gains a child.
  fresh->udf_data->extents = mdcudfsr_extent_list{};
  fresh->udf_data->efe.inf_len = 0;
  fresh->udf_data->efe.icbtag.file_type = 5;
  fresh->cache_dirty = 1;
  ASSERT_NE(nullptr, create_node(w.sm, docs, "second.txt"));
  mdcudfsr_cache_node* top = w.sm.child(w.root(), "top.bin");
  ASSERT_NE(nullptr, top);
  ASSERT_EQ(0, mdcudfsr_cache_set_file_size(top, 1000));
  top->cache_dirty = 1;
  const std::string before = tree_text(w.root());
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(placed_at, fresh->udf_data->efe_loc) << "a written entry keeps its place in the metadata file";
  EXPECT_NE(std::string::npos, before.find("/top.bin uid=22 size=1000"));
  EXPECT_EQ(before, read_back(w.sm));
}

TEST(CacheFlush, WriteFailureInTheNewExtentSetsDefectHitAndTheRepeatedPassSucceeds) {
  Written w;
  mdcudfsr_cache_node* docs = w.sm.child(w.root(), "docs");
  ASSERT_NE(nullptr, create_node(w.sm, docs, "n1"));
  mdcudfsr_cache_node* n2 = create_node(w.sm, w.root(), "n2", true);
  ASSERT_NE(nullptr, n2);
  const std::string before = tree_text(w.root());
  const uint64_t length = w.m()->metadata_main_partition_length;
  const uint32_t extents = mdcudfsr_extent_list_get_count(&w.m()->part[0].list);
  kelsim::FaultRule f = kelsim::write_error(6144, 6144 + 31);
  f.times = 1;
  w.sm.sim().drive().add_fault(f);
  int wrote = 0, defect = 0;
  EXPECT_NE(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(1, defect);
  EXPECT_EQ(0, wrote);
  EXPECT_EQ(length, w.m()->metadata_main_partition_length) << "the old length is back";
  EXPECT_EQ(length, w.m()->metadata_mirr_partition_length);
  EXPECT_EQ(extents, mdcudfsr_extent_list_get_count(&w.m()->part[0].list)) << "the failed extent is gone";
  EXPECT_EQ(extents, mdcudfsr_extent_list_get_count(&w.m()->part[1].list));
  EXPECT_EQ(0xFFFFFFFFu, n2->udf_data->efe_loc) << "a never-written entry is placed anew";
  EXPECT_EQ(1u, n2->cache_dirty);
  defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(0, defect);
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(before, read_back(w.sm));
}

}  // namespace

namespace {

TEST(CacheFlush, FullPassWithoutFlushAllWritesNothing) {
  Written w;
  create_node(w.sm, w.root(), "x");
  uint32_t blocks = 5;
  int defect = 0;
  EXPECT_EQ(0, mdcudfsr_cache_flush_full(w.m(), nullptr, &blocks, 0, &defect, 0));
  EXPECT_TRUE(rec().logged("flushAllMetadata != TRUE"));
  EXPECT_EQ(0, count(opcodes(w.sm), 0x2A));
  EXPECT_EQ(5u, blocks);
}

TEST(CacheFlush, FullPassRewritesEveryEntryIntoANewMetadataFile) {
  Written w;
  ASSERT_NE(nullptr, create_node(w.sm, w.sm.child(w.root(), "docs"), "added"));
  const std::string before = tree_text(w.root());
  w.m()->flushAllMetadata = 1;
  w.m()->replace_blk_count = 9;
  uint32_t blocks = 0;
  int defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush_full(w.m(), nullptr, &blocks, 0, &defect, 0));
  EXPECT_EQ(0, defect);
  EXPECT_EQ(0u, w.m()->replace_blk_count);
  EXPECT_EQ(2u, w.root()->udf_data->efe_loc) << "two reserved blocks before the first entry";
  ASSERT_NE(nullptr, w.m()->part[0].list.first);
  EXPECT_EQ(w.m()->part[0].list.first, w.m()->part[0].list.last) << "one new extent";
  EXPECT_EQ(6144u - 4096u, w.m()->part[0].list.first->extent.loc.lb_num);
  EXPECT_EQ(32u, blocks);
  // Every entry and directory was written again.
  for (mdcudfsr_cache_node* n = w.root(); n; n = mdcudfsr_cache_get_next_node(w.m(), n, w.root(), 1)) {
    EXPECT_EQ(0u, n->cache_dirty) << n->vfs_name;
    EXPECT_LT(n->udf_data->efe_loc, 32u) << n->vfs_name;
  }
  w.m()->flushAllMetadata = 0;
  EXPECT_EQ(before, read_back(w.sm));
}

TEST(CacheFlush, ReserveModeStartsTwoBlocksFurtherAndRewritesTheDescriptor) {
  Written w;
  w.m()->reserve_mode = 1;
  mdcudfsr_cache_node* n = create_node(w.sm, w.root(), "r");
  ASSERT_NE(nullptr, n);
  const uint32_t e = static_cast<uint32_t>(mdcudfsr_extent_list_get_selected_length(&w.m()->part[0].list, 0) / 2048);
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  // After E come the descriptor's two blocks, the root's new place (it was
  // written before: replaced), then the new file, at logical block E.
  EXPECT_EQ(e + 3, n->udf_data->write_lbn);
  EXPECT_EQ(e, n->udf_data->efe_loc);
  EXPECT_EQ(e + 2, w.root()->udf_data->replace_efe_loc);
  EXPECT_EQ(e, w.m()->fsd_new_loc) << "the descriptor is rewritten at E";
  const std::vector<uint8_t> fsd = metadata_block(w.sm, e);
  EXPECT_EQ(256, fsd[0] | fsd[1] << 8) << "the file set descriptor is there";
}

// The descriptor's two blocks stay reserved with the reserve flag: the
// writing pass rewrites the descriptor, and every block it hands out must
// be the one the placement decided.
TEST(CacheFlush, FullPassInReserveModeWritesEveryEntryWhereItWasPlaced) {
  Written w;
  ASSERT_NE(nullptr, create_node(w.sm, w.sm.child(w.root(), "docs"), "added"));
  const std::string before = tree_text(w.root());
  w.m()->reserve_mode = 1;
  w.m()->flushAllMetadata = 1;
  int defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush_full(w.m(), nullptr, nullptr, 0, &defect, 0));
  EXPECT_EQ(2u, w.root()->udf_data->efe_loc);
  w.m()->flushAllMetadata = 0;
  w.m()->reserve_mode = 0;
  EXPECT_EQ(before, read_back(w.sm));
}

}  // namespace

namespace {

struct Medium {
  const char* name;
  uint32_t type;
  udf_test::MediumClass cls;
};

void PrintTo(const Medium& m, std::ostream* os) { *os << m.name; }

class CacheFlushMedia : public ::testing::TestWithParam<Medium> {};

// A pass on each kind of cartridge: written, reserved (F1h, F2h), synced,
// verified, and read back.
TEST_P(CacheFlushMedia, PassWritesReservesVerifiesAndReadsBack) {
  const Medium& md = GetParam();
  Written w(md.type, md.cls);
  ASSERT_EQ(md.type, w.m()->medium_type);
  ASSERT_NE(nullptr, create_node(w.sm, w.sm.child(w.root(), "docs"), "n.txt"));
  const std::string before = tree_text(w.root());
  const uint32_t nwa_before = w.m()->metadata_nwa;
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(1, wrote);
  const auto ops = opcodes(w.sm);
  const bool reserves = md.type == 0xF1 || md.type == 0xF2;
  EXPECT_EQ(reserves ? 1 : 0, count(ops, 0xD2)) << "one batch reserved with D2h";
  EXPECT_GE(count(ops, 0x35), 1) << "SYNCHRONIZE CACHE";
  EXPECT_GE(count(ops, 0x2F), 1) << "VERIFY";
  for (auto [lba, n] : ranges(w.sm, 0x2F)) EXPECT_LE(n, 0x4000u);
  if (md.cls == udf_test::MediumClass::Rewritable) {
    EXPECT_EQ(nwa_before + 32, w.m()->metadata_nwa) << "the write address advances by the placed blocks rounded to 32";
    ASSERT_NE(nullptr, w.m()->part[0].list.last);
    EXPECT_EQ(nwa_before - 4096, w.m()->part[0].list.last->extent.loc.lb_num);
  }
  EXPECT_EQ(before, read_back(w.sm));
}

INSTANTIATE_TEST_SUITE_P(Cartridges, CacheFlushMedia,
                         ::testing::Values(Medium{"F1h", 0xF1, udf_test::MediumClass::WriteOnce},
                                           Medium{"F2h", 0xF2, udf_test::MediumClass::F2},
                                           Medium{"E2h", 0xE2, udf_test::MediumClass::Rewritable}),
                         [](const auto& info) { return std::string(info.param.name).substr(0, 2); });

// A management cache file holding a staged metadata image of `bytes`.
void stage_image(Written& w, uint64_t bytes) {
  mdcudfsr_mount* m = w.m();
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  ASSERT_GE(m->fsmanage_handle, 0);
  std::vector<uint8_t> unit(0x10000, 0x5A);
  uint32_t done = 0, cache_err = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_file_write(m, m->fsmanage_handle, 0x100000, 0x10000, unit.data(), &done, &cache_err));
  ASSERT_EQ(0, mdcudfsr_metacache_file_write(m, m->fsmanage_handle, 0x100000 + bytes - 0x10000, 0x10000, unit.data(),
                                             &done, &cache_err));
  m->metadata_main_partition_length = bytes;
  w.sm.sim().service().clear_transcript();
}

class StagedImage : public ::testing::TestWithParam<uint32_t> {};

// 70 MiB: 1120 units in batches of 512, 512 and 96, each reserved on F1h
// and F2h, synced, and verified in pieces of at most 0x4000 blocks.
TEST_P(StagedImage, SeventyMiBGoInThreeReservedSyncedVerifiedBatches) {
  Written w(GetParam(), GetParam() == 0xF2 ? udf_test::MediumClass::F2 : udf_test::MediumClass::WriteOnce);
  const uint32_t first = mdcudfsr_lbn2lsn(w.m(), 0, w.m()->fsd_loc, nullptr) & ~31u;
  open_for_writing(w.sm, first);
  stage_image(w, 70ull << 20);
  int defect = 0;
  uint32_t blocks = 0;
  ASSERT_EQ(0, mdcudfsr_cache_full_flush_from_cachefile(w.m(), nullptr, w.m()->fsd_loc, &defect, &blocks));
  EXPECT_EQ(0, defect);
  EXPECT_EQ(1120u * 32, blocks);
  const auto& reserved = w.sm.sim().drive().observed().reserved_writes;
  ASSERT_EQ(3u, reserved.size());
  const auto ops = opcodes(w.sm);
  EXPECT_EQ(1120, count(ops, 0x2A));
  EXPECT_EQ(3, count(ops, 0x35));
  uint32_t verified = 0;
  for (auto [lba, n] : ranges(w.sm, 0x2F)) {
    EXPECT_LE(n, 0x4000u);
    EXPECT_EQ(first + verified, lba);
    verified += n;
  }
  EXPECT_EQ(1120u * 32, verified);
  std::vector<uint8_t> back(2048);
  ASSERT_EQ(0u, w.sm.sim().cartridge().read_blocks(0, first, 1, back.data()));
  EXPECT_EQ(0x5A, back[0]);
}

INSTANTIATE_TEST_SUITE_P(Cartridges, StagedImage, ::testing::Values(0xF1u, 0xF2u));

TEST(CacheFlush, StagedImageAtAWrongNextWritableAddressGives14) {
  Written w(0xF1);
  const uint32_t first = mdcudfsr_lbn2lsn(w.m(), 0, w.m()->fsd_loc, nullptr) & ~31u;
  open_for_writing(w.sm, first + 32);
  stage_image(w, 0x20000);
  int defect = 0;
  uint32_t blocks = 0;
  EXPECT_EQ(14, mdcudfsr_cache_full_flush_from_cachefile(w.m(), nullptr, w.m()->fsd_loc, &defect, &blocks));
  EXPECT_EQ(1, defect);
  EXPECT_EQ(64u, blocks) << "the blocks of the batch begun";
  EXPECT_EQ(0, count(opcodes(w.sm), 0x2A)) << "nothing written at a wrong address";
  EXPECT_TRUE(rec().logged("NWA(" ));
}

TEST(CacheFlush, StagedImageSyncOrVerifyFailureIsADefect) {
  for (uint8_t op : {uint8_t{0x35}, uint8_t{0x2F}}) {
    Written w(0xF1);
    const uint32_t first = mdcudfsr_lbn2lsn(w.m(), 0, w.m()->fsd_loc, nullptr) & ~31u;
    open_for_writing(w.sm, first);
    stage_image(w, 0x20000);
    w.sm.sim().drive().add_fault(kelsim::command_fails(op, kelsim::Sense{0x03, 0x0C, 0x00}));
    int defect = 0;
    EXPECT_NE(0, mdcudfsr_cache_full_flush_from_cachefile(w.m(), nullptr, w.m()->fsd_loc, &defect, nullptr));
    EXPECT_EQ(1, defect) << int(op);
  }
}

TEST(CacheFlush, RewritableDefectMoveIsTakenUpByThePass) {
  Written w(0, udf_test::MediumClass::Rewritable);
  const uint32_t nwa = w.m()->metadata_nwa;
  // A defect at the metadata write address, in the drive layer's map.
  ASSERT_EQ(0u, w.sm.sim().drive().add_defect(0, kelsim::defect_at(nwa)));
  ASSERT_EQ(0, mdcudfsr_make_defect_map(w.m(), nullptr, 0));
  ASSERT_NE(nullptr, create_node(w.sm, w.root(), "n"));
  const std::string before = tree_text(w.root());
  const uint32_t data_nwa = w.m()->next_writable_address;
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_TRUE(rec().logged("Hit defect and change NWA for Metadata Extent"));
  ASSERT_NE(nullptr, w.m()->part[0].list.last);
  const uint32_t moved = w.m()->part[0].list.last->extent.loc.lb_num + 4096;
  EXPECT_GT(moved, nwa) << "the extent lies past the defect";
  EXPECT_EQ(moved + 32, w.m()->metadata_nwa);
  EXPECT_EQ(data_nwa, w.m()->next_writable_address);
  EXPECT_EQ(before, read_back(w.sm));
}

TEST(CacheFlush, RewritableWithoutDefectFreeRoomGives22) {
  Written w(0, udf_test::MediumClass::Rewritable);
  // Defects from the metadata write address to the end of the disc: no
  // defect-free range is left.
  const uint32_t nwa = w.m()->metadata_nwa;
  ASSERT_EQ(0u, w.sm.sim().drive().add_defect(0, kelsim::defect_at(nwa, 0x100000)));
  ASSERT_EQ(0, mdcudfsr_make_defect_map(w.m(), nullptr, 0));
  ASSERT_NE(nullptr, create_node(w.sm, w.root(), "n"));
  const int writes = count(opcodes(w.sm), 0x2A);
  int wrote = 0, defect = 0;
  EXPECT_EQ(22, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(writes, count(opcodes(w.sm), 0x2A)) << "nothing written";
}

// Without a defect map the drive vouches for no address: the pass fails
// after its placement and writes nothing. Once the map is read, the next
// pass places and writes everything anew: the metadata file's length is the
// total of its extents.
TEST(CacheFlush, RewritableWithoutDefectMapWritesNothingAndTheNextPassEverything) {
  Written w(0xE2, udf_test::MediumClass::Rewritable);
  mdcudfsr_cache_node* docs = w.sm.child(w.root(), "docs");
  ASSERT_NE(nullptr, create_node(w.sm, docs, "n"));
  ASSERT_NE(nullptr, create_node(w.sm, w.root(), "d", true));
  const std::string before = tree_text(w.root());
  const int fault = w.sm.sim().drive().add_fault(kelsim::command_fails(0xAD, kelsim::Sense{0x03, 0x11, 0x00}));
  EXPECT_NE(0, mdcudfsr_make_defect_map(w.m(), nullptr, 0));
  EXPECT_GT(w.sm.sim().drive().fault_fired(fault), 0);
  const uint32_t nwa = w.m()->metadata_nwa;
  const int writes = count(opcodes(w.sm), 0x2A);
  int wrote = 0, defect = 0;
  EXPECT_NE(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(0, defect);
  EXPECT_EQ(nwa, w.m()->metadata_nwa);
  EXPECT_EQ(writes, count(opcodes(w.sm), 0x2A)) << "no WRITE(10) at an unchecked address";
  w.sm.sim().drive().remove_fault(fault);
  ASSERT_EQ(0, mdcudfsr_make_defect_map(w.m(), nullptr, 0));
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(before, read_back(w.sm));
}

TEST(CacheFlush, RewritableWriteFailureRefreshesTheDefectBitmap) {
  Written w(0, udf_test::MediumClass::Rewritable);
  ASSERT_NE(nullptr, create_node(w.sm, w.root(), "n"));
  const uint32_t nwa = w.m()->metadata_nwa;
  kelsim::FaultRule f = kelsim::write_error(nwa, nwa + 31);
  f.times = 1;
  w.sm.sim().drive().add_fault(f);
  const int lists_read = count(opcodes(w.sm), 0xAD);
  int wrote = 0, defect = 0;
  EXPECT_NE(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(1, defect);
  EXPECT_EQ(nwa, w.m()->metadata_nwa) << "a failure leaves the write address";
  // The forced counter read rebuilds the defect map: the defect list is read.
  EXPECT_LT(lists_read, count(opcodes(w.sm), 0xAD));
}

}  // namespace

// ---------------------------------------------------------------- node flush

namespace {

// A volume in an allocation pass: the writers write nothing.
struct Placing : Volume {
  Placing() {
    m.logical_block_size = m.logical_sector_size = 2048;
    m.metadata_allocating = 1;
    m.cache_mirroring_suspended = 1;
    m.metadata_block_count = 100;
    m.root_node->udf_data->efe_loc = 5;
  }
};

TEST(CacheNodeFlush, NeverWrittenEntryIsPlacedAndAWrittenOneReplaced) {
  Placing v;
  mdcudfsr_cache_node* fresh = v.make(v.root, "fresh");
  mdcudfsr_cache_node* old = v.make(v.root, "old");
  old->udf_data->efe_loc = 40;
  fresh->cache_dirty = old->cache_dirty = 1;
  v.m.replace_blk_count = 3;
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(old, nullptr, 0, 0));
  EXPECT_EQ(40u, old->udf_data->efe_loc) << "a written entry keeps its place";
  EXPECT_EQ(100u, old->udf_data->replace_efe_loc);
  EXPECT_EQ(100u, old->udf_data->write_lbn);
  EXPECT_EQ(1u, old->udf_data->remap_pending) << "the remap moves it";
  EXPECT_EQ(4u, v.m.replace_blk_count);
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(fresh, nullptr, 0, 0));
  EXPECT_EQ(0xFFFFFFFFu, fresh->udf_data->replace_efe_loc);
  EXPECT_EQ(101u - 4u, fresh->udf_data->efe_loc);
  EXPECT_EQ(1u, fresh->udf_data->first_placement);
  EXPECT_EQ(0u, fresh->udf_data->remap_pending);
  EXPECT_EQ(1u, fresh->cache_dirty) << "nothing is cleared in an allocation pass";
  // After a defect the never-placed entry is placed anew, the other keeps its place.
  mdcudfsr_cache_dirty_node_for_defect(v.root);
  EXPECT_EQ(0xFFFFFFFFu, fresh->udf_data->efe_loc);
  EXPECT_EQ(40u, old->udf_data->efe_loc);
  EXPECT_EQ(1u, old->cache_dirty);
}

TEST(CacheNodeFlush, ProxyWrittenFileIsNeverWrittenAndWithExcludeLosesItsPlace) {
  Placing v;
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  mdcudfsr_cache_node* f = v.make(d, "f");
  int marker = 0;
  f->write_list_entry = &marker;
  f->cache_dirty = 1;
  f->udf_data->efe_loc = 33;
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(f, nullptr, 0, 0));
  EXPECT_EQ(33u, f->udf_data->efe_loc);
  EXPECT_EQ(100u, v.m.metadata_block_count) << "no block taken";
  d->cache_dirty = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(f, nullptr, 1, 0));
  EXPECT_EQ(0xFFFFFFFFu, f->udf_data->efe_loc);
  EXPECT_EQ(0xFFFFFFFFu, f->udf_data->std_loc);
  EXPECT_EQ(1u, d->cache_dirty);
  EXPECT_EQ(100u, v.m.metadata_block_count);
  f->write_list_entry = nullptr;
}

TEST(CacheNodeFlush, SkippedKindsTakeNoBlock) {
  Placing v;
  mdcudfsr_cache_node* master = v.make(v.root, "m");
  master->kind = MDCUDFSR_NODE_MASTER;
  master->cache_dirty = 1;
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(master, nullptr, 1, 0));
  EXPECT_TRUE(rec().logged("stride file is skip"));
  mdcudfsr_cache_node* parity = v.make(v.root, "p#*X");
  parity->stream_owner = master;
  parity->cache_dirty = 1;
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(parity, nullptr, 0, 0));
  EXPECT_TRUE(rec().logged("Parity file is skip"));
  mdcudfsr_cache_node* virt = v.make(v.root, "v");
  virt->kind = MDCUDFSR_NODE_VIRTUAL;
  virt->cache_dirty = 1;
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(virt, nullptr, 0, 0));
  EXPECT_TRUE(rec().logged("Not Flush"));
  EXPECT_EQ(100u, v.m.metadata_block_count);
  // Without the exclude flag a dirty master is placed like a file.
  ASSERT_EQ(0, mdcudfsr_cache_flush_node(master, nullptr, 0, 0));
  EXPECT_EQ(101u, v.m.metadata_block_count);
  v.root->cache_dirty = 0;
  EXPECT_EQ(2u, mdcudfsr_cache_count_cache_dirty(v.root)) << "the master and the virtual node, not the parity node";
  parity->stream_owner = nullptr;
}

TEST(CacheNodeFlush, NoMetadataBlockLeftGives28) {
  Placing v;
  mdcudfsr_cache_node* f = v.make(v.root, "f");
  f->cache_dirty = 1;
  v.m.metadata_block_count = 0xFFFFFFFFu;
  EXPECT_EQ(28, mdcudfsr_cache_flush_node(f, nullptr, 0, 0));
  EXPECT_TRUE(rec().logged("lbn != INVALID_LBN"));
  v.root->cache_dirty = 1;
  EXPECT_EQ(28, mdcudfsr_cache_flush_node_sub(v.root, nullptr, 0, 0));
}

// Among many written, unchanged files the pass writes the one a change
// marked, whichever way it was changed and marked, and the entries around it
// still read back as they were.
TEST(CacheFlush, AChangedFileAmongManyUnchangedOnesIsWrittenWhicheverWayItWasMarked) {
  struct Road {
    const char* name;
    int (*change)(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n);
  };
  const Road roads[] = {
      {"size, own mark",
       [](mdcudfsr_cache_node*, mdcudfsr_cache_node* n) {
         const int err = mdcudfsr_cache_set_file_size(n, 777);
         return err ? err : mdcudfsr_cache_set_dirty(n);
       }},
      {"size, marked with its parent",
       [](mdcudfsr_cache_node*, mdcudfsr_cache_node* n) {
         const int err = mdcudfsr_cache_set_file_size(n, 777);
         return err ? err : mdcudfsr_cache_set_parent_dirty(n);
       }},
      {"size, marked to the root",
       [](mdcudfsr_cache_node*, mdcudfsr_cache_node* n) {
         const int err = mdcudfsr_cache_set_file_size(n, 777);
         return err ? err : mdcudfsr_cache_set_dirty_to_root(n);
       }},
      {"rename", [](mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
         char name[] = "renamed.bin";
         return mdcudfsr_cache_rename_node(dir, n, name, static_cast<int64_t>(sizeof name - 1));
       }}};
  for (const Road& road : roads) {
    SCOPED_TRACE(road.name);
    Written w;
    mdcudfsr_cache_node* docs = w.sm.child(w.root(), "docs");
    ASSERT_NE(nullptr, docs);
    for (int i = 0; i < 40; ++i) ASSERT_NE(nullptr, create_node(w.sm, docs, ("f" + std::to_string(100 + i)).c_str()));
    int wrote = 0, defect = 0;
    ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
    remap(w.sm);
    // The volume's own file, before the new ones by unique id.
    mdcudfsr_cache_node* changed = w.sm.child(docs, "a.txt");
    ASSERT_NE(nullptr, changed);
    const std::string unchanged = tree_text(w.root());
    ASSERT_EQ(0, road.change(docs, changed));
    const std::string before = tree_text(w.root());
    ASSERT_NE(unchanged, before);
    wrote = 0;
    ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
    EXPECT_EQ(1, wrote);
    EXPECT_EQ(0u, changed->cache_dirty);
    EXPECT_EQ(before, read_back(w.sm));
  }
}

TEST(CacheNodeFlush, KeepFlagLeavesDirtyAndPendingFlags) {
  Written w;
  mdcudfsr_cache_node* n = create_node(w.sm, w.root(), "k");
  ASSERT_NE(nullptr, n);
  n->udf_data->flush_pending = n->udf_data->flush_pending2 = 1;
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 1));
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(1u, n->cache_dirty);
  EXPECT_EQ(1u, n->udf_data->flush_pending);
  EXPECT_EQ(0u, n->udf_data->flush_pending2) << "the second flag is always cleared";
  EXPECT_EQ(1u, w.root()->cache_dirty);
  EXPECT_EQ(1u, n->udf_data->partial_flag);
}

TEST(CacheNodeFlush, ExcludeFlagLeavesMastersOutOfTheImage) {
  Written w;
  mdcudfsr_cache_node* n = create_node(w.sm, w.root(), "stride");
  ASSERT_NE(nullptr, n);
  n->kind = MDCUDFSR_NODE_MASTER;
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 1, &defect, 0));
  EXPECT_EQ(0xFFFFFFFFu, n->udf_data->efe_loc) << "never placed";
  EXPECT_EQ(1u, n->cache_dirty);
  n->kind = MDCUDFSR_NODE_UDF;
  const std::string text = read_back(w.sm);
  EXPECT_EQ(std::string::npos, text.find("stride"));
}

}  // namespace

namespace {

// A descriptor that would end past the image buffer is refused, as one that
// would begin there.
TEST(CacheDirImage, DescriptorsEndingPastTheBufferAreRefused) {
  Volume v;
  v.m.logical_block_size = v.m.logical_sector_size = 2048;
  v.root->udf_data->efe_loc = 2;
  v.make(v.root, "abcdefghij");  // 38 + 11 -> 52 bytes after the 40 of the parent entry
  const uint64_t size = mdcudfsr_cache_calc_dir_size(v.root, 0);
  ASSERT_EQ(92u, size);
  std::vector<uint8_t> buf(size + 8, 0xEE);
  EXPECT_EQ(0, mdcudfsr_cache_write_directory(&v.m, buf.data(), static_cast<uint32_t>(size), v.root, 2, 0, 0));
  EXPECT_EQ(0xEE, buf[size]) << "nothing written behind the image";
  for (uint32_t short_size : {91u, 60u, 41u, 38u}) {
    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(22, mdcudfsr_cache_write_directory(&v.m, buf.data(), short_size, v.root, 2, 0, 0)) << short_size;
    EXPECT_EQ(0xEE, buf[short_size]) << short_size;
  }
  EXPECT_EQ(22, mdcudfsr_cache_write_directory(&v.m, buf.data(), 37, v.root, 2, 0, 0));
  EXPECT_TRUE(rec().logged("insufficient memory."));
}

// A descriptor is written straight into the image only where its longest
// form (its implementation use and the longest identifier) still fits: one
// with a long implementation use near the end of the buffer is refused
// without a byte written past it, and one that fits carries its bytes.
TEST(CacheDirImage, ALongImplementationUseIsBoundedByTheBuffer) {
  struct Case {
    uint16_t l_iu;
    uint64_t size;  // 40 of the parent entry, the child's 38 + l_iu + 4, rounded to 4
  };
  for (const Case c : {Case{600, 684}, Case{2000, 2084}, Case{1, 84}}) {
    SCOPED_TRACE(c.l_iu);
    Volume v;
    v.m.logical_block_size = v.m.logical_sector_size = 2048;
    v.root->udf_data->efe_loc = 2;
    mdcudfsr_cache_node* n = v.make(v.root, "abc");
    n->udf_data->fid_imp_use.imp_use = static_cast<uint8_t*>(OSMalloc(c.l_iu, nullptr));
    std::memset(n->udf_data->fid_imp_use.imp_use, 0x5A, c.l_iu);
    n->udf_data->fid_imp_use.l_iu = c.l_iu;
    ASSERT_EQ(c.size, mdcudfsr_cache_calc_dir_size(v.root, 0));
    std::vector<uint8_t> buf(c.size + 8, 0xEE);
    ASSERT_EQ(0, mdcudfsr_cache_write_directory(&v.m, buf.data(), static_cast<uint32_t>(c.size), v.root, 2, 0, 0));
    EXPECT_EQ(0xEE, buf[c.size]);
    EXPECT_EQ(std::vector<uint8_t>(c.l_iu, 0x5A), std::vector<uint8_t>(buf.begin() + 40 + 38, buf.begin() + 40 + 38 + c.l_iu));
    for (const uint64_t short_size : {c.size - 1, c.size - 1 - c.l_iu / 2, uint64_t{41}}) {
      std::fill(buf.begin(), buf.end(), 0xEE);
      EXPECT_EQ(22, mdcudfsr_cache_write_directory(&v.m, buf.data(), static_cast<uint32_t>(short_size), v.root, 2, 0, 0))
          << short_size;
      EXPECT_TRUE(std::all_of(buf.begin() + static_cast<std::ptrdiff_t>(short_size), buf.end(),
                              [](uint8_t b) { return b == 0xEE; }))
          << "written past " << short_size;
    }
  }
}

}  // namespace

namespace {

// Too many extents for the metadata file's descriptors: the incremental pass
// becomes a full rewrite before anything is placed.
TEST(CacheFlush, TooManyMetadataExtentsTurnThePassIntoAFullRewrite) {
  Written w(0xF1);
  w.m()->max_metadata_ads = 0;
  ASSERT_NE(nullptr, create_node(w.sm, w.root(), "n"));
  const std::string before = tree_text(w.root());
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_TRUE(rec().logged("metadata efe is over change flush all"));
  EXPECT_EQ(1u, w.m()->flushAllMetadata) << "the passes do not clear it";
  EXPECT_EQ(1, wrote);
  EXPECT_EQ(2u, w.root()->udf_data->efe_loc) << "rewritten from the start of a new metadata file";
  EXPECT_EQ(1u, mdcudfsr_extent_list_get_count(&w.m()->part[0].list));
  w.m()->flushAllMetadata = 0;
  w.m()->max_metadata_ads = 100;
  EXPECT_EQ(before, read_back(w.sm));
}

}  // namespace

namespace {

// ---------------------------------------------------------------- failures that are no defect

// One way a pass fails after its placement without meeting a defect. (On
// write-once media the pass reads the track information once, when the
// metadata file grows: the write address after the writing pass comes from
// the drive layer's copy of that answer.)
struct NoDefect {
  const char* name;
  udf_test::MediumClass cls;
  std::function<void(Written&)> arm;
  const char* met;  // logged when the failure is met
};

constexpr const char* kCacheWriteFailed = "mdcudfsr_metacache_file_write error";

void fail_track_information(Written& w) {
  // Every ask of the track record fails: the engine asks again after one
  // failed request.
  kelsim::FaultRule f = kelsim::command_fails(0x52, kelsim::Sense{0x02, 0x04, 0x00});
  f.times = 3;
  w.sm.sim().drive().add_fault(f);
}
// The cache agent's write fails once the zero-fill of the free metadata
// blocks has begun.
void fail_zero_fill(Written&) {
  rec().fail_cache_write = [] { return rec().logged("metadata_write_start_lbn"); };
}
// The first write through the cache agent: the writing pass stages its
// first entry.
void fail_writing_pass(Written&) {
  rec().fail_cache_write = [] { return true; };
}
// A full rewrite staged in the management cache file.
void full_through_cache_file(Written& w) {
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(w.m(), nullptr, &coherent, &created));
  w.m()->flushAllMetadata = 1;
}
// The image goes from the management cache file to the disc; the last
// written slot cannot be loaded while the system guard stops disc changes.
void fail_slot_load(Written& w) {
  ASSERT_NO_FATAL_FAILURE(full_through_cache_file(w));
  w.m()->loaded_slot = w.m()->current_disc + 1;
  w.m()->system_guard = 1;
}
// The management cache file cannot be cut back: the agent closed it behind
// the engine's back; the next pass has it open again.
void fail_truncation(Written& w) {
  ASSERT_NO_FATAL_FAILURE(full_through_cache_file(w));
  ASSERT_EQ(0, mdcudfsr_metacache_file_close(w.m(), w.m()->fsmanage_handle));
}
void end_failures(Written& w) {
  mdcudfsr_mount* m = w.m();
  m->system_guard = 0;
  if (rec().logged("FsCacheFile truncate failed")) {
    uint32_t coherent = 0, created = 0;
    ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  }
}

void PrintTo(const NoDefect& c, std::ostream* os) { *os << c.name; }

class CacheFlushNoDefect : public ::testing::TestWithParam<NoDefect> {};

// Five files written, five more created: the pass that fails after the
// placement answers its error without a defect and leaves the volume as it
// was; the next pass writes all ten and the disc reads back as the cache
// holds it.
TEST_P(CacheFlushNoDefect, FailedPassIsUndoneAndTheNextPassWritesEverything) {
  const NoDefect& c = GetParam();
  Written w(0, c.cls);
  mdcudfsr_cache_node* docs = w.sm.child(w.root(), "docs");
  ASSERT_NE(nullptr, docs);
  for (int i = 0; i < 5; ++i) ASSERT_NE(nullptr, create_node(w.sm, docs, ("old" + std::to_string(i)).c_str()));
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  remap(w.sm);
  mdcudfsr_cache_node* old0 = w.sm.child(docs, "old0");
  ASSERT_NE(nullptr, old0);
  const uint32_t old0_at = old0->udf_data->efe_loc;
  for (int i = 0; i < 5; ++i) ASSERT_NE(nullptr, create_node(w.sm, docs, ("new" + std::to_string(i)).c_str()));
  const std::string before = tree_text(w.root());
  const uint64_t length = w.m()->metadata_main_partition_length;
  const uint32_t extents = mdcudfsr_extent_list_get_count(&w.m()->part[0].list);
  const uint32_t nwa = w.m()->metadata_nwa;
  ASSERT_NO_FATAL_FAILURE(c.arm(w));
  const bool full = w.m()->flushAllMetadata != 0;
  wrote = 0;
  EXPECT_NE(0, full ? mdcudfsr_cache_flush_full(w.m(), nullptr, nullptr, 0, &defect, 0)
                    : mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_TRUE(rec().logged(c.met)) << "the failure is met";
  EXPECT_EQ(0, defect) << "no defect";
  EXPECT_EQ(0, wrote);
  EXPECT_EQ(length, w.m()->metadata_main_partition_length) << "the metadata file as before the pass";
  EXPECT_EQ(length, w.m()->metadata_mirr_partition_length);
  EXPECT_EQ(extents, mdcudfsr_extent_list_get_count(&w.m()->part[0].list));
  EXPECT_EQ(extents, mdcudfsr_extent_list_get_count(&w.m()->part[1].list));
  EXPECT_EQ(nwa, w.m()->metadata_nwa);
  EXPECT_EQ(0u, w.m()->cluster_count) << "nothing the pass staged is left for a later write";
  if (full) {
    EXPECT_EQ(1u, w.m()->flushAllMetadata) << "the next pass rewrites everything";
  } else {
    EXPECT_EQ(1u, docs->cache_dirty) << "the folder is written again";
  }
  ASSERT_NO_FATAL_FAILURE(end_failures(w));
  // The next volume flush stages into a new local cache file.
  ASSERT_EQ(0, mdcudfsr_cache_local_fs_cache_del(w.m(), 1));
  ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(w.m(), 3, nullptr));
  w.m()->cluster_next_offset = 0;
  ASSERT_EQ(0, full ? mdcudfsr_cache_flush_full(w.m(), nullptr, nullptr, 0, &defect, 0)
                    : mdcudfsr_cache_flush(w.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(0, defect);
  EXPECT_EQ(full ? 0 : 1, wrote);
  if (!full) {
    EXPECT_EQ(old0_at, old0->udf_data->efe_loc) << "an entry of the earlier pass keeps its place";
  }
  w.m()->flushAllMetadata = 0;
  EXPECT_EQ(before, read_back(w.sm));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CacheFlushNoDefect,
    ::testing::Values(
        NoDefect{"WriteOnceTrackInformation", udf_test::MediumClass::WriteOnce, fail_track_information,
                 "PXOIOCREADTRACKINFO failed"},
        NoDefect{"WriteOnceZeroFill", udf_test::MediumClass::WriteOnce, fail_zero_fill, kCacheWriteFailed},
        NoDefect{"WriteOnceWritingPass", udf_test::MediumClass::WriteOnce, fail_writing_pass, kCacheWriteFailed},
        NoDefect{"RewritableZeroFill", udf_test::MediumClass::Rewritable, fail_zero_fill, kCacheWriteFailed},
        NoDefect{"RewritableFromTheCacheFile", udf_test::MediumClass::Rewritable, fail_slot_load,
                 "Failed to load last written slot"},
        NoDefect{"WriteOnceCacheFileTruncation", udf_test::MediumClass::WriteOnce, fail_truncation,
                 "FsCacheFile truncate failed"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
