// Extent lists: merging, the length cap, type changes, the sparse index and
// the offset mappers, each checked against a flat map of the blocks.
#include "engine/udf/support_fakes.h"

#include "udf/udf_extent.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

struct Block {
  uint32_t lbn;
  uint32_t type;
  uint16_t part;
  bool operator==(const Block& o) const { return lbn == o.lbn && type == o.type && part == o.part; }
};

mdcudfsr_extent_entry ext(uint32_t lbn, uint32_t len, uint32_t type = 0, uint16_t part = 2) {
  mdcudfsr_extent_entry e;
  e.extent.len = EXTENT_MAKE(len, type);
  e.extent.loc.lb_num = lbn;
  e.extent.loc.part_num = part;
  return e;
}

// The blocks a list maps, one per logical block of the file.
std::vector<Block> flat(const mdcudfsr_extent_list& l) {
  std::vector<Block> out;
  for (auto* e = l.first; e; e = e->next)
    for (uint32_t i = 0; i < (EXTENT_LENGTH(e->extent.len) + B - 1) / B; ++i)
      out.push_back({e->extent.loc.lb_num + i, EXTENT_FLAGS(e->extent.len), e->extent.loc.part_num});
  return out;
}

// Links consistent both ways, index entries at correct start offsets in
// ascending order.
void check_consistent(const mdcudfsr_extent_list& l) {
  const mdcudfsr_extent_entry* prev = nullptr;
  std::vector<std::pair<const mdcudfsr_extent_entry*, uint64_t>> starts;
  uint64_t off = 0;
  for (auto* e = l.first; e; e = e->next) {
    ASSERT_EQ(e->prev, prev);
    ASSERT_NE(EXTENT_LENGTH(e->extent.len), 0u);
    starts.push_back({e, off});
    off += EXTENT_LENGTH(e->extent.len);
    prev = e;
  }
  ASSERT_EQ(l.last, prev);
  uint64_t last_off = 0;
  for (auto* i = l.index_first; i; i = i->next) {
    bool found = false;
    for (auto& s : starts)
      if (s.first == i->entry) {
        EXPECT_EQ(s.second, i->offset);
        found = true;
      }
    EXPECT_TRUE(found);
    EXPECT_GE(i->offset, last_off);
    last_off = i->offset;
  }
}

class ExtentList : public ::testing::Test {
 protected:
  void SetUp() override {
    env().reset(64);
    init_mount(&mnt, 64, 0xE1, 0);
    mnt.part[2].length = 1ull << 40;
    mnt.part[2].start_sector = 1000;
    mdcudfsr_extent_list_init(&l);
  }
  void TearDown() override { mdcudfsr_extent_list_free(&l); }
  void add(uint32_t lbn, uint32_t len, uint32_t type = 0, uint16_t part = 2, uint32_t bs = B) {
    auto e = ext(lbn, len, type, part);
    ASSERT_EQ(mdcudfsr_extent_list_add(&l, &e, bs), 0);
  }
  std::vector<uint32_t> index_numbers() {
    std::vector<uint32_t> out;
    for (auto* i = l.index_first; i; i = i->next) {
      uint32_t n = 0;
      for (auto* e = l.first; e && e != i->entry; e = e->next) ++n;
      out.push_back(n);
    }
    return out;
  }
  mdcudfsr_mount mnt;
  mdcudfsr_extent_list l;
};

TEST_F(ExtentList, AdjacentExtentsMergeOthersStaySeparate) {
  add(100, 4096);
  add(102, 4096);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&l), 1u);
  EXPECT_EQ(EXTENT_LENGTH(l.first->extent.len), 8192u);
  add(105, 2048);  // gap
  add(106, 2048, 1);  // other type
  add(107, 2048, 1, 1);  // other partition
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&l), 4u);
  add(0, 0);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&l), 4u);  // a zero-length extent is not kept
}

TEST_F(ExtentList, UnalignedFormerIsNeverMergedSoNoDataShifts) {
  add(100, 3000);
  add(102, 4096);
  ASSERT_EQ(mdcudfsr_extent_list_get_count(&l), 2u);
  EXPECT_EQ(EXTENT_LENGTH(l.first->extent.len), 3000u);
  uint64_t within = 0;
  auto* e = mdcudfsr_offset2extent(&l, 3000, &within);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->extent.loc.lb_num, 102u);
  EXPECT_EQ(within, 0u);
}

TEST_F(ExtentList, MergeIsCappedAtTheLargestAlignedLength) {
  const uint32_t max = 0x3FFFF800;
  EXPECT_EQ(mdcudfsr_extent_max_length(B), max);
  // Room of 32 blocks + 2048: the move is not a multiple of 32 blocks -> no merge.
  auto a = ext(0, max - 32 * B - B);
  auto b = ext((max - 32 * B - B) / B, 64 * B);
  EXPECT_EQ(mdcudfsr_extent_list_merge_entries_if_possible(&a, &b, B, 0), -2);
  // Room of exactly 32 blocks: 64 KiB move.
  a = ext(0, max - 32 * B);
  b = ext((max - 32 * B) / B, 64 * B);
  EXPECT_EQ(mdcudfsr_extent_list_merge_entries_if_possible(&a, &b, B, 0), 0);
  EXPECT_EQ(EXTENT_LENGTH(a.extent.len), max);
  EXPECT_EQ(EXTENT_LENGTH(b.extent.len), 32 * B);
  EXPECT_EQ(b.extent.loc.lb_num, max / B);
  // Full: nothing moves.
  EXPECT_EQ(mdcudfsr_extent_list_merge_entries_if_possible(&a, &b, B, 0), -2);
}

TEST_F(ExtentList, SelectedLengthsByType) {
  add(10, 2048, 0);
  add(20, 4096, 1);
  add(30, 8192, 2);
  add(40, 16384, 3);
  EXPECT_EQ(mdcudfsr_extent_list_get_selected_length(&l, 0), 30720u);
  EXPECT_EQ(mdcudfsr_extent_list_get_selected_length(&l, 1), 22528u);
  EXPECT_EQ(mdcudfsr_extent_list_get_selected_length(&l, 2), 2048u);
  EXPECT_EQ(mdcudfsr_extent_list_get_selected_length(&l, 3), 0u);
}

TEST_F(ExtentList, OffsetToBlockAndSector) {
  add(100, 4 * B, 0);
  add(200, 2 * B, 2);
  add(300, 2 * B, 1);
  uint64_t left = 0;
  EXPECT_EQ(mdcudfsr_offset2lbn(&mnt, &l, 2 * B, &left), 102u);
  EXPECT_EQ(left, 2u * B);
  EXPECT_EQ(mdcudfsr_offset2lbn(&mnt, &l, 100, &left), MDCUDFSR_INVALID_LBN);  // misaligned
  EXPECT_EQ(mdcudfsr_offset2lbn(&mnt, &l, 4 * B, &left), MDCUDFSR_INVALID_LBN);  // type 2
  EXPECT_EQ(mdcudfsr_offset2lbn(&mnt, &l, 7 * B, &left), 301u);                  // type 1 maps
  EXPECT_EQ(mdcudfsr_offset2lbn(&mnt, &l, 8 * B, &left), MDCUDFSR_INVALID_LBN);  // past the end
  EXPECT_EQ(mdcudfsr_offset2lsn(&mnt, &l, 3 * B, &left), 1000u + 103u);
  EXPECT_EQ(left, static_cast<uint64_t>(B));
}

TEST_F(ExtentList, FileExtentOfDiscOneMapsThroughThePhysicalPartition) {
  // Reference 1 is the disc (slot 0), not the mirror file.
  mnt.part[1].length = 1 << 20;
  auto m = ext(5000, 1 << 20);
  mdcudfsr_extent_list_add(&mnt.part[1].list, &m, B);
  add(40, 4 * B, 0, 1);
  uint64_t left = 0;
  EXPECT_EQ(mdcudfsr_offset2lsn(&mnt, &l, B, &left), 1041u);
}

TEST_F(ExtentList, SetFlagsSplitsAndMergesBack) {
  add(100, 3 * B, 1);
  const auto before = flat(l);
  ASSERT_EQ(mdcudfsr_extent_list_set_flags(&l, nullptr, 0, B, B, B, 0), 0);
  ASSERT_EQ(mdcudfsr_extent_list_get_count(&l), 3u);
  auto f = flat(l);
  EXPECT_EQ(f[0].type, 1u);
  EXPECT_EQ(f[1].type, 0u);
  EXPECT_EQ(f[2].type, 1u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(f[i].lbn, before[i].lbn);
  check_consistent(l);
  ASSERT_EQ(mdcudfsr_extent_list_set_flags(&l, nullptr, 0, B, B, B, 1), 0);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&l), 1u);
  EXPECT_EQ(flat(l), before);
  // Already of that type: -2 and unchanged.
  EXPECT_EQ(mdcudfsr_extent_list_set_flags(&l, nullptr, 0, 0, 3 * B, B, 1), -2);
  EXPECT_EQ(flat(l), before);
  EXPECT_EQ(mdcudfsr_extent_list_set_flags(&l, nullptr, 0, 100, B, B, 0), 22);
  EXPECT_EQ(mdcudfsr_extent_list_set_flags(&l, nullptr, 0, 0, 100, B, 0), 22);
  EXPECT_EQ(mdcudfsr_extent_list_set_flags(&l, nullptr, 0, 0, 0, B, 0), -2);
}

// Random type changes on a long list, each compared with the same change
// made on a flat block map.
TEST_F(ExtentList, RandomTypeChangesMatchAFlatBlockMap) {
  std::mt19937 rng(42);
  uint32_t lbn = 1000;
  for (int i = 0; i < 90; ++i) {
    const uint32_t blocks = 1 + rng() % 6;
    add(lbn, blocks * B, rng() % 2);
    lbn += blocks + (rng() % 3 == 0 ? 5 : 0);
  }
  auto model = flat(l);
  for (int round = 0; round < 300; ++round) {
    const uint32_t first = rng() % model.size();
    const uint32_t count = 1 + rng() % std::min<uint32_t>(40, static_cast<uint32_t>(model.size()) - first);
    const uint32_t type = rng() % 2;
    bool any = false;
    for (uint32_t i = first; i < first + count; ++i)
      if (model[i].type != type) {
        model[i].type = type;
        any = true;
      }
    const int r = mdcudfsr_extent_list_set_flags(&l, nullptr, 0, uint64_t{first} * B, uint64_t{count} * B, B, type);
    ASSERT_EQ(r, any ? 0 : -2) << round;
    ASSERT_EQ(flat(l), model) << round;
    check_consistent(l);
    // Every block maps through the index as through the flat map.
    for (uint32_t i = 0; i < model.size(); i += 7) {
      uint64_t left = 0;
      ASSERT_EQ(mdcudfsr_offset2lbn(&mnt, &l, uint64_t{i} * B, &left), model[i].lbn);
    }
  }
  // Adjacent equal-type neighbours were merged wherever blocks are contiguous.
  for (auto* e = l.first; e && e->next; e = e->next) {
    const bool contiguous = e->extent.loc.lb_num + EXTENT_LENGTH(e->extent.len) / B == e->next->extent.loc.lb_num;
    EXPECT_FALSE(contiguous && EXTENT_FLAGS(e->extent.len) == EXTENT_FLAGS(e->next->extent.len));
  }
}

TEST_F(ExtentList, SparseIndexAfterAppendsAndRemovals) {
  for (uint32_t i = 0; i < 45; ++i) add(10 * i, B);  // gaps: no merging
  EXPECT_EQ(index_numbers(), (std::vector<uint32_t>{21, 42}));
  check_consistent(l);
  mdcudfsr_extent_list_remove_entry(&l, l.first->next->next);
  EXPECT_EQ(index_numbers(), (std::vector<uint32_t>{20, 40}));
  check_consistent(l);
  // Removing the last entry drops only an index entry pointing at it.
  while (mdcudfsr_extent_list_get_count(&l) > 41) mdcudfsr_extent_list_remove_entry(&l, l.last);
  EXPECT_EQ(index_numbers(), (std::vector<uint32_t>{20, 40}));
  mdcudfsr_extent_list_remove_entry(&l, l.last);
  EXPECT_EQ(index_numbers(), (std::vector<uint32_t>{20}));
  uint64_t start = 0;
  auto* e = mdcudfsr_find_extent_using_index(&l, 30 * B, &start);
  EXPECT_EQ(start, 20u * B);
  EXPECT_EQ(e->extent.loc.lb_num, 210u);
  uint64_t within = 0;
  uint64_t s = 0;
  // A hint above the offset falls back to the index.
  auto* h = mdcudfsr_offset_in_extent(&l, 5 * B + 10, l.last, &(s = 39 * B), &within);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->extent.loc.lb_num, 60u);
  EXPECT_EQ(within, 10u);
}

TEST(Lbn2Lsn, EachPartitionAndItsBounds) {
  env().reset(64);
  mdcudfsr_mount mnt;
  init_mount(&mnt, 64, 0xE1, 0);
  mnt.part[2].start_sector = 4096;
  mnt.part[2].length = 1000ull * B;
  uint64_t avail = 0;
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 2, 0, &avail), 4096u);
  EXPECT_EQ(avail, 1000ull * B);
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 2, 999, &avail), 4096u + 999u);
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 2, 1000, &avail), MDCUDFSR_INVALID_LSN);  // past the partition
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 3, 0, &avail), MDCUDFSR_INVALID_LSN);     // no such partition
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 0, 0, &avail), MDCUDFSR_INVALID_LSN);     // metadata entry not valid
  mnt.part[0].length = 64 * B;
  mnt.part[1].length = 64 * B;
  auto m = ext(256, 32 * B);
  mdcudfsr_extent_list_add(&mnt.part[0].list, &m, B);
  auto r = ext(512, 32 * B);
  mdcudfsr_extent_list_add(&mnt.part[1].list, &r, B);
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 0, 3, &avail), 4096u + 259u);
  EXPECT_EQ(avail, 29u * B);
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 1, 3, &avail), 4096u + 515u);
  EXPECT_EQ(mdcudfsr_lbn2lsn(&mnt, 0, 40, &avail), MDCUDFSR_INVALID_LSN);
}

}  // namespace
