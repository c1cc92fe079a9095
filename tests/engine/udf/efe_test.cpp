// Extended file entries and allocation extent descriptors: reading and
// checks, descriptor vectors in both directions, chains, embedded data.
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_efe.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

mdcudfsr_extent_entry ext(uint32_t lbn, uint32_t len, uint32_t type = 0, uint16_t part = 1) {
  mdcudfsr_extent_entry e;
  e.extent.len = EXTENT_MAKE(len, type);
  e.extent.loc = lb_addr{lbn, part};
  e.extent.ad_flags = 3;
  e.extent.ad_id = lbn * 7;
  return e;
}

// A list of n separate extents (gaps between them, so nothing merges).
void fill(mdcudfsr_extent_list* l, uint32_t n, uint16_t part = 1) {
  for (uint32_t i = 0; i < n; ++i) {
    auto e = ext(1000 + 3 * i, B * (1 + i % 2), 0, part);
    mdcudfsr_extent_list_add(l, &e, 0);
  }
}

bool same_extents(const mdcudfsr_extent_list& a, const mdcudfsr_extent_list& b, bool with_iu) {
  const mdcudfsr_extent_entry *x = a.first, *y = b.first;
  for (; x && y; x = x->next, y = y->next) {
    if (x->extent.len != y->extent.len || x->extent.loc.lb_num != y->extent.loc.lb_num ||
        x->extent.loc.part_num != y->extent.loc.part_num)
      return false;
    if (with_iu && (x->extent.ad_flags != y->extent.ad_flags || x->extent.ad_id != y->extent.ad_id)) return false;
  }
  return !x && !y;
}

// An entry block with the given descriptors after `l_ea` bytes of attributes.
std::vector<uint8_t> efe_block(uint8_t file_type, uint16_t ad_type, const std::vector<uint8_t>& ads, uint32_t l_ea = 0,
                               uint32_t size = B) {
  std::vector<uint8_t> blk(size, 0);
  extended_file_entry e{};
  e.tag.id = TAG_ID_EFE;
  e.tag.descriptor_ver = 3;
  e.icbtag.file_type = file_type;
  e.icbtag.flags = ad_type;
  e.l_ea = l_ea;
  e.l_ad = static_cast<uint32_t>(ads.size());
  mdcudfsr_swap_host2le_extended_file_entry(&e);
  std::memcpy(blk.data(), &e, sizeof e);
  if (!ads.empty()) std::memcpy(blk.data() + 216 + l_ea, ads.data(), ads.size());
  const uint32_t crc_len = std::min<uint32_t>(size, 216 + l_ea + static_cast<uint32_t>(ads.size()));
  mdcudfsr_set_udf_tag_crc_and_checksum(blk.data(), crc_len);
  return blk;
}

std::vector<uint8_t> short_ads(std::initializer_list<std::pair<uint32_t, uint32_t>> v) {
  std::vector<uint8_t> out;
  for (auto [len, pos] : v) {
    short_ad s{len, pos};
    const auto* p = reinterpret_cast<const uint8_t*>(&s);
    out.insert(out.end(), p, p + sizeof s);
  }
  return out;
}

class Efe : public ::testing::Test {
 protected:
  void SetUp() override {
    img.load(MediumClass::WriteOnce);
    mdcudfsr_extent_list_init(&list);
    mdcudfsr_extent_list_init(&back);
  }
  void TearDown() override {
    mdcudfsr_extent_list_free(&list);
    mdcudfsr_extent_list_free(&back);
  }
  mdcudfsr_mount* m() { return img.mnt.get(); }
  MountedImage img;
  mdcudfsr_extent_list list, back;
  extended_file_entry efe{};
  uint32_t flag = 0;
};

TEST_F(Efe, ReadsTheBuildersRootAndMetadataFileEntries) {
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m(), img.metadata_block(2), B, 0, &efe, &list, &flag, 0), 0);
  EXPECT_EQ(efe.icbtag.file_type, 4);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&list), 0u);  // data inside the entry
  const uint8_t* meta = env().sector(img.layout.partition_start + img.layout.metadata_file_loc);
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m(), meta, B, 2, &efe, &list, &flag, 0), 0);
  ASSERT_EQ(mdcudfsr_extent_list_get_count(&list), 1u);
  EXPECT_EQ(list.first->extent.loc.lb_num, img.layout.metadata_extent);
  EXPECT_EQ(list.first->extent.loc.part_num, 2);
}

TEST_F(Efe, SizeRulesAndChecks) {
  struct Case {
    uint8_t type;
    uint32_t l_ea, size;
    int result;
    bool read_only;
  } cases[] = {
      {5, 0, 216, 22, false},       // L_AD 0 still needs 16 bytes
      {5, 0, 232, 0, false},
      {5, 24, 240, 22, false},
      {4, 8, B, 30, true},          // a directory with attributes
      {5, 8, B, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.type) << " " << c.l_ea << " " << c.size);
    img.load(MediumClass::WriteOnce);
    auto blk = efe_block(c.type, 0, {}, c.l_ea, c.size);
    EXPECT_EQ(mdcudfsr_read_extended_file_entry(m(), blk.data(), c.size, 0, &efe, &list, &flag, 0), c.result);
    EXPECT_EQ((m()->mntinfo.WriteProtectReasonFlags & WRPROT_READONLY) != 0, c.read_only);
  }
  // With the no-check flag a directory with attributes reads with 0.
  auto blk = efe_block(4, 0, {}, 8);
  EXPECT_EQ(mdcudfsr_read_extended_file_entry(m(), blk.data(), B, 0, &efe, &list, &flag, 1), 0);
}

TEST_F(Efe, DamagedEntryMarksTheMountAndGives9) {
  auto blk = efe_block(5, 0, short_ads({{B, 10}}));
  blk[216] ^= 0xFF;
  EXPECT_EQ(mdcudfsr_read_extended_file_entry(m(), blk.data(), B, 0, &efe, &list, &flag, 0), 9);
  EXPECT_EQ(m()->mntinfo.MountStatus, MNTINFO_ENTRY_DAMAGED);
  EXPECT_TRUE(env().logged("EFE CRC is invalid.\n"));
}

TEST_F(Efe, ABlockOfAnotherDescriptorOrOfZerosIsNoEntry) {
  std::vector<uint8_t> zeros(B, 0);
  EXPECT_EQ(mdcudfsr_read_extended_file_entry(m(), zeros.data(), B, 0, &efe, &list, &flag, 0), 9);
  EXPECT_TRUE(env().logged("Tag id(0) is not EFE.\n"));
  EXPECT_EQ(m()->mntinfo.MountStatus, MNTINFO_ENTRY_DAMAGED);
}

TEST_F(Efe, DescriptorListsEndAtAZeroLengthDescriptor) {
  auto blk = efe_block(5, 0, short_ads({{B, 10}, {EXTENT_MAKE(B, 2), 0}, {0, 99}, {B, 40}}));
  ASSERT_EQ(mdcudfsr_read_extended_file_entry(m(), blk.data(), B, 1, &efe, &list, &flag, 0), 0);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&list), 2u);
  EXPECT_EQ(flag, 1u);  // a not-allocated extent was seen
  EXPECT_EQ(list.first->extent.loc.part_num, 1);
  auto bad = efe_block(5, 5, short_ads({{B, 10}}));
  EXPECT_EQ(mdcudfsr_read_extended_file_entry(m(), bad.data(), B, 1, &efe, &list, &flag, 0), 22);
}

TEST_F(Efe, DescriptorVectorsRoundTripShortAndLong) {
  for (uint32_t type : {UDF_AD_SHORT, UDF_AD_LONG}) {
    SCOPED_TRACE(type);
    mdcudfsr_extent_list_remove_all(&list);
    mdcudfsr_extent_list_remove_all(&back);
    fill(&list, 5);
    auto mid = ext(50, B, EXTENT_FLAGS_NEXT_EXTENT);  // a continuation in the middle
    mdcudfsr_extent_list_add(&list, &mid, 0);
    fill(&list, 2);
    std::vector<uint8_t> area(B, 0);
    const uint32_t n = mdcudfsr_write_ad_vector(area.data(), B, 0, B, type, list.first);
    const uint32_t size = type == UDF_AD_LONG ? 16 : 8;
    ASSERT_EQ(n, 8 * size);
    ASSERT_EQ(mdcudfsr_read_ad_vector(area.data(), n, 1, type, &back, &flag), 0);
    ASSERT_EQ(mdcudfsr_extent_list_get_count(&back), 8u);
    auto* e = back.first;
    auto* o = list.first;
    for (int i = 0; i < 5; ++i) e = e->next, o = o->next;
    EXPECT_EQ(EXTENT_FLAGS(e->extent.len), 2u);  // written as not allocated, location 0
    EXPECT_EQ(EXTENT_LENGTH(e->extent.len), static_cast<uint32_t>(B));
    EXPECT_EQ(e->extent.loc.lb_num, 0u);
    mdcudfsr_extent_list_remove_entry(&back, e);
    mdcudfsr_extent_list_remove_entry(&list, o);
    EXPECT_TRUE(same_extents(list, back, type == UDF_AD_LONG));
  }
  uint8_t tiny[7];
  EXPECT_EQ(mdcudfsr_write_ad_vector(tiny, sizeof tiny, 0, B, UDF_AD_SHORT, list.first), 0u);
}

TEST_F(Efe, ALoopingChainIsMarkedDamagedInsteadOfFollowedForever) {
  // Two descriptor blocks that continue into each other.
  const uint32_t a = mdcudfsr_allocate_metadata_blocks(m(), 2);
  for (uint32_t i = 0; i < 2; ++i) {
    uint8_t* blk = img.metadata_block(a + i);
    alloc_ext_desc h{};
    h.tag.id = TAG_ID_AED;
    h.tag.descriptor_ver = 3;
    h.tag.tag_loc = a + i;
    h.l_ad = 16;
    std::memcpy(blk, &h, sizeof h);
    short_ad ads[2] = {{B, 500 + i}, {EXTENT_MAKE(B, 3), a + (1 - i)}};
    std::memcpy(blk + 24, ads, sizeof ads);
    mdcudfsr_set_udf_tag_crc_and_checksum(blk, 40);
  }
  auto c = ext(a, B, EXTENT_FLAGS_NEXT_EXTENT, 0);
  mdcudfsr_extent_list_add(&back, &c, 0);
  EXPECT_EQ(mdcudfsr_read_allocation_extent_chain(m(), nullptr, 0, UDF_AD_SHORT, &back, &flag, nullptr), 30);
  EXPECT_EQ(m()->mntinfo.MountStatus, MNTINFO_ENTRY_DAMAGED);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&back), 2u);  // the two data extents, no continuation
}

TEST_F(Efe, DamagedDescriptorBlockRemovesTheContinuation) {
  auto c = ext(5, B, EXTENT_FLAGS_NEXT_EXTENT, 0);
  mdcudfsr_extent_list_add(&back, &c, 0);
  std::vector<uint8_t> junk(B, 0);
  EXPECT_EQ(mdcudfsr_read_allocation_extent_descriptor(m(), junk.data(), B, B, 0, 0, &back, &flag), 30);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&back), 0u);
  EXPECT_TRUE(env().logged("AED tag err.\n"));
  // Without a continuation at the end: 22.
  EXPECT_EQ(mdcudfsr_read_allocation_extent_descriptor(m(), junk.data(), B, B, 0, 0, &back, &flag), 22);
}

TEST_F(Efe, LocationListGrowsPastItsFirstBlock) {
  mdcudfsr_aed_info* info = mdcudfsr_aed_info_alloc();
  for (uint32_t i = 0; i < 40; ++i) {
    info = mdcudfsr_aed_info_add(info, i * 3);
    ASSERT_NE(info, nullptr);
  }
  EXPECT_EQ(info->count, 40u);
  EXPECT_EQ(info->size, 192u);
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(info->values[i], i * 3);
  EXPECT_EQ(mdcudfsr_free_aed_info(info), 0);
  EXPECT_EQ(mdcudfsr_free_aed_info(nullptr), 0);
}

// (The write and read-back are in real_efe_fsd_test.cpp.)
TEST_F(Efe, NewEntryFieldsAndTooMuchEmbeddedData) {
  m()->next_unique_id = 40;
  ASSERT_EQ(mdcudfsr_init_extended_file_entry(m(), 0644, &efe, 1), 0);
  EXPECT_EQ(efe.unique_id, 40u);
  EXPECT_EQ(efe.uid, 0xFFFFFFFFu);
  EXPECT_EQ(efe.link_cnt, 1);
  EXPECT_EQ(efe.icbtag.strat_type, 4);
  EXPECT_EQ(efe.ckpoint, 1u);
  efe.icbtag.file_type = 4;
  // Too much data for the block: 22.
  std::vector<uint8_t> big(B);
  EXPECT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m(), 0, 9, 9, 0xFFFF, &efe, nullptr, big.data(), B - 100, nullptr), 22);
  EXPECT_EQ(env().count_calls("write_lb"), 0u);
}

TEST_F(Efe, MirrorFailureDropsTheCacheFileButNotTheWrite) {
  m()->fsmanage_handle = 2;
  env().cache_write_agent_error = 1;
  ASSERT_EQ(mdcudfsr_init_extended_file_entry(m(), 0644, &efe, 0), 0);
  EXPECT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m(), 0, 4, 4, 0xFFFF, &efe, nullptr, nullptr, 0, nullptr), 0);
  EXPECT_EQ(m()->fsmanage_handle, -1);
  EXPECT_EQ(env().count_calls("fsmanage_delete"), 1u);
  // As the only copy (relocation), the failure is the result.
  m()->fsd_relocation = 1;
  m()->fsmanage_handle = 2;
  EXPECT_EQ(mdcudfsr_flush_extended_file_entry_in_icb(m(), 0, 4, 4, 0xFFFF, &efe, nullptr, nullptr, 0, nullptr), 22);
}

}  // namespace
