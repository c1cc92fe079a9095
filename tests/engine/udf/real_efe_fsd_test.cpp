// Entry, descriptor-block and file set descriptor writes on the real volume
// routines over the simulated drive: staged in the real write clusters,
// mirrored into the real agent's management cache file, put on the disc and
// read back through the drive.
#include "engine/udf/real_support.h"

#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_efe.h"
#include "udf/udf_fsd.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

constexpr uint32_t B = 2048;

mdcudfsr_extent_entry ext(uint32_t lbn, uint32_t len, uint32_t type = 0, uint16_t part = 1) {
  mdcudfsr_extent_entry e;
  e.extent.len = EXTENT_MAKE(len, type);
  e.extent.loc = lb_addr{lbn, part};
  e.extent.ad_flags = 3;
  e.extent.ad_id = lbn * 7;
  return e;
}

bool same_extents(const mdcudfsr_extent_list& a, const mdcudfsr_extent_list& b) {
  const mdcudfsr_extent_entry *x = a.first, *y = b.first;
  for (; x && y; x = x->next, y = y->next)
    if (x->extent.len != y->extent.len || x->extent.loc.lb_num != y->extent.loc.lb_num ||
        x->extent.loc.part_num != y->extent.loc.part_num)
      return false;
  return !x && !y;
}

class RealWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    v = std::make_unique<RealVolume>(MediumClass::WriteOnce);
    v->mount();
    v->start_agent();
    mdcudfsr_extent_list_init(&list);
    mdcudfsr_extent_list_init(&back);
  }
  void TearDown() override {
    mdcudfsr_extent_list_free(&list);
    mdcudfsr_extent_list_free(&back);
  }
  mdcudfsr_mount* m() { return v->m(); }
  std::vector<uint8_t> block(uint32_t lbn) { return v->metadata_block(lbn); }
  void with_cache_file() { m()->fsmanage_handle = v->open_cache_file("fsmanage"); }
  std::unique_ptr<RealVolume> v;
  mdcudfsr_extent_list list{}, back{};
  extended_file_entry efe{};
  uint32_t flag = 0;
};

TEST_F(RealWrites, ThreeHundredShortExtentsMakeTwoDescriptorBlocksThatReadBack) {
  for (uint32_t i = 0; i < 300; ++i) {
    auto e = ext(1000 + 3 * i, B * (1 + i % 2), 0, 0);
    mdcudfsr_extent_list_add(&list, &e, 0);
  }
  const uint32_t first = mdcudfsr_allocate_metadata_blocks(m(), 1);
  mdcudfsr_aed_info* info = nullptr;
  ASSERT_EQ(mdcudfsr_flush_allocation_extent_descriptor(m(), 0, first, first, list.first, nullptr, &info, 0, 0), 0);
  ASSERT_NE(info, nullptr);
  ASSERT_EQ(info->count, 1u);
  EXPECT_EQ(info->values[0], first + 1);
  EXPECT_EQ(v->count(kWrite10), 0u) << "staged only";
  v->commit_staged();
  alloc_ext_desc a1, a2;
  std::memcpy(&a1, block(first).data(), sizeof a1);
  std::memcpy(&a2, block(first + 1).data(), sizeof a2);
  EXPECT_EQ(a1.l_ad, 253u * 8);  // 252 extents and the continuation
  EXPECT_EQ(a2.l_ad, 48u * 8);
  EXPECT_EQ(a1.tag.tag_loc, first);
  // Read the chain back starting from a continuation to the first block.
  auto c = ext(first, B, EXTENT_FLAGS_NEXT_EXTENT, 0);
  mdcudfsr_extent_list_add(&back, &c, 0);
  mdcudfsr_aed_info* read_info = nullptr;
  ASSERT_EQ(mdcudfsr_read_allocation_extent_chain(m(), nullptr, 0, UDF_AD_SHORT, &back, &flag, &read_info), 0);
  EXPECT_TRUE(same_extents(list, back));
  ASSERT_NE(read_info, nullptr);
  EXPECT_EQ(read_info->count, 2u);
  mdcudfsr_free_aed_info(info);
  mdcudfsr_free_aed_info(read_info);
}

TEST_F(RealWrites, NewEntryAndEmbeddedDataWriteAndReadBack) {
  m()->next_unique_id = 40;
  ASSERT_EQ(mdcudfsr_init_extended_file_entry(m(), 0644, &efe, 1), 0);
  EXPECT_EQ(efe.unique_id, 40u);
  efe.icbtag.file_type = 4;
  const uint8_t data[100] = {1, 2, 3};
  const uint32_t blk = mdcudfsr_allocate_metadata_blocks(m(), 1);
  ASSERT_EQ(
      mdcudfsr_flush_extended_file_entry_in_icb(m(), 0, blk, blk, 0x0000FFFF, &efe, nullptr, data, sizeof data, nullptr),
      0);
  v->commit_staged();
  extended_file_entry r{};
  const std::vector<uint8_t> b = block(blk);
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m(), b.data(), B, 0, &r, &list, &flag, 0), 0);
  EXPECT_EQ(r.inf_len, 100u);
  EXPECT_EQ(r.l_ad, 100u);
  EXPECT_EQ(r.icbtag.flags & 7, 3);
  EXPECT_EQ(r.tag.tag_loc, blk);
  EXPECT_EQ(b[216 + 2], 3);
  // Relocation with an open cache file: the cache file only.
  with_cache_file();
  m()->fsd_relocation = 1;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m(), 0, 9, 9, 0x0000FFFF, &efe, nullptr, data, sizeof data, nullptr),
            0);
  EXPECT_EQ(m()->cluster_count, 0u) << "nothing staged for the disc";
  const std::vector<uint8_t> cached = v->cache_file_read(m()->fsmanage_handle, 0x100000 + 9 * B, B);
  desc_tag t;
  std::memcpy(&t, cached.data(), sizeof t);
  EXPECT_EQ(t.id, TAG_ID_EFE);
  EXPECT_EQ(t.tag_loc, 9u);
  EXPECT_EQ(cached[216 + 2], 3);
}

TEST_F(RealWrites, MetadataFileEntryWithOneShortDescriptor) {
  ASSERT_EQ(mdcudfsr_init_extended_file_entry(m(), 0644, &efe, 0), 0);
  efe.icbtag.file_type = 250;
  const uint32_t loc = v->layout.metadata_file_loc + 100;
  ASSERT_EQ(mdcudfsr_flush_metadata_EFE(m(), loc, 0xFFFF, &efe, nullptr, short_ad{65536, 7}, nullptr), 0);
  v->commit_staged();
  const std::vector<uint8_t> b = v->read(v->layout.partition_start + loc);
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m(), b.data(), B, 2, &efe, &list, &flag, 0), 0);
  ASSERT_EQ(mdcudfsr_extent_list_get_count(&list), 1u);
  EXPECT_EQ(list.first->extent.loc.lb_num, 7u);
  EXPECT_EQ(efe.l_ad, 8u);
}

// ---------------------------------------------------------------- file set descriptor

class RealFsd : public RealWrites {
 protected:
  std::vector<uint8_t> blocks() {
    std::vector<uint8_t> raw = block(0), second = block(1);
    raw.insert(raw.end(), second.begin(), second.end());
    return raw;
  }
  fileset_desc fsd{};
};

TEST_F(RealFsd, FlushWritesTwoNewBlocksAndKeepsTheLogicalLocation) {
  auto raw = blocks();
  ASSERT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), 0);
  m()->vds.lvd.fsd_loc.loc.lb_num = 0;
  with_cache_file();
  ASSERT_EQ(mdcudfsr_flush_file_set_desc(m(), &fsd, nullptr), 0);
  EXPECT_EQ(m()->fsd_new_loc, 3u);
  EXPECT_EQ(m()->vds.lvd.fsd_loc.loc.lb_num, 0u);
  EXPECT_EQ(m()->vds.lvd.fsd_loc.len, 2 * B);
  // Staged at metadata blocks 3 and 4.
  for (uint32_t lbn : {3u, 4u}) {
    const uint32_t lsn = mdcudfsr_lbn2lsn(m(), 0, lbn, nullptr);
    bool staged = false;
    for (cluster_entry* e = m()->cluster_head; e; e = e->next) {
      const uint32_t first = static_cast<uint32_t>(e->cluster) * m()->cluster_sectors;
      if (lsn >= first && lsn < first + 32 && (e->dirty & (1u << (lsn - first)))) staged = true;
    }
    EXPECT_TRUE(staged) << "block " << lbn;
  }
  v->commit_staged();
  // Mirrored at the logical blocks 0 and 1.
  std::vector<uint8_t> copy = block(3), second = block(4);
  copy.insert(copy.end(), second.begin(), second.end());
  EXPECT_EQ(v->cache_file_read(m()->fsmanage_handle, 0x100000, 2 * B), copy);
  // The new copy reads as a valid descriptor tagged with its logical block.
  fileset_desc back_fsd{};
  ASSERT_EQ(mdcudfsr_read_file_set_desc(m(), copy.data(), &back_fsd, nullptr), 0);
  EXPECT_EQ(back_fsd.tag.tag_loc, 0u);
  EXPECT_EQ(back_fsd.rootdir_icb.loc.lb_num, 2u);
  // The rebuild maps blocks 0 and 1 to the new copies.
  uint32_t over = 0;
  ASSERT_EQ(mdcudfsr_rebuild_metadata_extent_list_for_fsd(m(), &over), 0);
  EXPECT_EQ(over, 0u);
  EXPECT_EQ(block(0), std::vector<uint8_t>(copy.begin(), copy.begin() + B));
  EXPECT_EQ(block(1), std::vector<uint8_t>(copy.begin() + B, copy.end()));
}

TEST_F(RealFsd, RelocatedFlushGoesToTheCacheFileOnly) {
  auto raw = blocks();
  ASSERT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), 0);
  m()->fsd_relocation = 1;
  with_cache_file();
  ASSERT_EQ(mdcudfsr_flush_file_set_desc(m(), &fsd, nullptr), 0);
  EXPECT_EQ(m()->cluster_count, 0u) << "nothing staged for the disc";
  EXPECT_EQ(m()->vds.lvd.fsd_loc.loc.lb_num, 3u);
  const std::vector<uint8_t> cached = v->cache_file_read(m()->fsmanage_handle, 0x100000 + 3 * B, 2 * B);
  fileset_desc d;
  std::memcpy(&d, cached.data(), sizeof d);
  EXPECT_EQ(d.tag.id, TAG_ID_FSD);
  EXPECT_EQ(d.tag.tag_loc, 3u);
  desc_tag td;
  std::memcpy(&td, cached.data() + B, sizeof td);
  EXPECT_EQ(td.id, TAG_ID_TD);
  EXPECT_EQ(td.tag_loc, 4u);
}

}  // namespace
