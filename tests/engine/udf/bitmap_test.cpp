// Space bitmaps on a rewritable cartridge: descriptors written in 64 KiB
// units at the next writable address, read back, rebuilt from the volume's
// structures and the node tree.
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

class Bitmap : public ::testing::Test {
 protected:
  void SetUp() override {
    img.load(MediumClass::Rewritable);
    start = img.layout.partition_start;
    m()->next_writable_address = start + 1024;
    mdcudfsr_extent_list_init(&list);
  }
  void TearDown() override { mdcudfsr_extent_list_free(&list); }
  mdcudfsr_mount* m() { return img.mnt.get(); }
  int read_back(uint32_t first, uint32_t* bits, uint32_t* bytes, uint32_t len = 0x20000) {
    mdcudfsr_extent_list_remove_all(&list);
    mdcudfsr_extent_entry e;
    e.extent.len = len;
    e.extent.loc = lb_addr{first, 2};
    mdcudfsr_extent_list_add(&list, &e, 0);
    return mdcudfsr_sbmp_read_sbd(m(), &list, nullptr, bits, bytes);
  }
  bool is_free(const uint8_t* bitmap_bytes, uint32_t block) { return bitmap_bytes[block / 8] & (1u << (block % 8)); }
  MountedImage img;
  uint32_t start = 0;
  mdcudfsr_extent_list list;
};

TEST_F(Bitmap, SevenThousandBytesGoOutAsOne64KiBUnit) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(56000);
  ASSERT_EQ(bm->num_bytes, 7000u);
  mdcudfsr_bitmap_mark(bm, 3, 2);
  mdcudfsr_bitmap_mark(bm, 4, 1);  // already marked: counted once
  EXPECT_EQ(bm->free_count, 56000u - 2);
  uint32_t len = 0, first = 0;
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, &len, &first, nullptr), 0);
  EXPECT_EQ(len, 7024u);
  EXPECT_EQ(first, 1024u);
  EXPECT_EQ(env().count_calls("getblk"), 1u);
  EXPECT_EQ(env().count_calls("bwrite lsn=" + std::to_string(start + 1024) + " size=65536"), 1u);
  EXPECT_EQ(env().count_calls("verify first=" + std::to_string(start + 1024) + " count=32"), 1u);
  EXPECT_EQ(m()->next_writable_address, start + 1024 + 32);
  const uint8_t* sec = env().sector(start + 1024);
  for (uint32_t i = 7024; i < 65536; ++i) ASSERT_EQ(sec[i], 0) << i;
  EXPECT_EQ(sec[24], 0xE7);  // blocks 3 and 4 marked
  uint32_t bits = 0, bytes = 0;
  ASSERT_EQ(read_back(1024, &bits, &bytes), 0);
  EXPECT_EQ(bits, 56000u);
  EXPECT_EQ(bytes, 7000u);
  mdcudfsr_bitmap_free(bm);
}

TEST_F(Bitmap, A64KiBBitmapNeedsTwoChunks) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(65536 * 8);
  mdcudfsr_bitmap_mark(bm, 65536 * 8 - 1, 1);  // the last bit of the last byte
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(env().count_calls("bwrite"), 2u);
  EXPECT_EQ(m()->next_writable_address, start + 1024 + 64);
  const uint8_t* second = env().sector(start + 1024 + 32);
  for (int i = 0; i < 23; ++i) EXPECT_EQ(second[i], 0xFF);
  EXPECT_EQ(second[23], 0x7F);
  EXPECT_EQ(second[24], 0);
  mdcudfsr_bitmap_free(bm);
}

TEST_F(Bitmap, WriteOrVerifyFailureKeepsTheAddressAndFeedsTheDefectInformation) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(1000);
  env().verify_results = {5};
  EXPECT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 5);
  EXPECT_EQ(m()->next_writable_address, start + 1024);
  EXPECT_EQ(env().count_calls("defect_report_counter update=1"), 1u);
  env().write_results = {5};
  EXPECT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 5);
  EXPECT_EQ(m()->next_writable_address, start + 1024);
  mdcudfsr_bitmap_free(bm);
  // A failed update leaves the partition header on the previous bitmap.
  const short_ad before = m()->vds.pd.phd.unalloc_space_bitmap;
  env().verify_results = {5};
  EXPECT_EQ(mdcudfsr_update_usb(m(), short_ad{0, 0}, nullptr, nullptr, 0), 5);
  EXPECT_EQ(std::memcmp(&before, &m()->vds.pd.phd.unalloc_space_bitmap, sizeof before), 0);
}

TEST_F(Bitmap, DescriptorChecksOnRead) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(1000);
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  uint8_t* sec = env().sector(start + 1024);
  // A CRC length past the readable area is accepted with a warning.
  desc_tag t;
  std::memcpy(&t, sec, sizeof t);
  t.desc_crc_len = 0xFFF0;
  std::memcpy(sec, &t, sizeof t);
  sec[4] = mdcudfsr_udf_tag_checksum(sec);
  uint32_t bits = 0, bytes = 0;
  EXPECT_EQ(read_back(1024, &bits, &bytes), 0);
  EXPECT_TRUE(env().logged("SBD CRC length is too big.\n"));
  EXPECT_EQ(bits, 1000u);
  // A wrong CRC or tag is refused.
  t.desc_crc_len = 8;
  std::memcpy(sec, &t, sizeof t);
  sec[4] = mdcudfsr_udf_tag_checksum(sec);
  sec[20] ^= 1;
  EXPECT_EQ(read_back(1024, &bits, &bytes), 22);
  EXPECT_TRUE(env().logged("SBD CRC is invalid.\n"));
  sec[0] = 1;
  EXPECT_EQ(read_back(1024, &bits, &bytes), 22);
  EXPECT_TRUE(env().logged("SBD tag is invalid.\n"));
  mdcudfsr_bitmap_free(bm);
}

TEST_F(Bitmap, OnlyTheListedMediaAreSupported) {
  img.load(MediumClass::WriteOnce);  // 0xE1
  EXPECT_EQ(mdcudfsr_read_usb(m(), nullptr), 22);
  EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
  EXPECT_EQ(m()->mntinfo.MountStatus, MNTINFO_ANCHOR_INVALID);
  for (uint32_t t : {0xC3u, 0xD3u, 0xE2u, 0xE4u, 0xE6u, 0xE8u, 0x53u, 0x57u}) {
    m()->medium_type = t;
    EXPECT_TRUE(mdcudfsr_sbmp_medium_supported(m()));
  }
  m()->medium_type = 0xF2;
  EXPECT_FALSE(mdcudfsr_sbmp_medium_supported(m()));
}

TEST_F(Bitmap, MountReadsSkipAMissingBitmapAndWarnOnASizeMismatch) {
  m()->vds.pd.phd.unalloc_space_bitmap = short_ad{0, 0};
  EXPECT_EQ(mdcudfsr_read_usb(m(), nullptr), 0);
  EXPECT_EQ(env().count_calls("bread"), 0u);
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(77);
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  m()->vds.pd.phd.unalloc_space_bitmap = short_ad{24 + 10, 1024};
  EXPECT_EQ(mdcudfsr_read_usb(m(), nullptr), 0);
  EXPECT_TRUE(env().logged("USB BitSize not equal. PartitionBlocks = 0x" + [&] {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", img.layout.partition_len);
    return std::string(b);
  }() + " USB BitSize = 0x0000004d\n"));
  mdcudfsr_bitmap_free(bm);
}

TEST_F(Bitmap, MetadataBitmapFileIsFoundThroughItsEntry) {
  // A metadata bitmap descriptor at 1024 and the bitmap file's entry at 900.
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(20);
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  mdcudfsr_bitmap_free(bm);
  extended_file_entry e{};
  mdcudfsr_init_extended_file_entry(m(), 0644, &e, 0);
  e.icbtag.file_type = 252;
  ASSERT_EQ(mdcudfsr_flush_metadata_EFE(m(), 900, 0xFFFF, &e, nullptr, short_ad{B, 1024}, nullptr), 0);
  m()->vds.pmap.type2_metadata.bitmap_file_loc = 900;
  EXPECT_EQ(mdcudfsr_read_metadata_bmp(m(), nullptr), 0);
  EXPECT_EQ(env().count_calls("read_cluster lbn=900 part=2"), 1u);
  EXPECT_EQ(m()->metadata_bitmap_efe.tag.tag_loc, 900u);
  // 20 bits against a metadata partition of 32 blocks.
  EXPECT_TRUE(env().logged("Metadata Bitmap BitSize not equal. PartitionBlocks = 0x00000020 USB BitSize = 0x00000014\n"));
  // No bitmap file: nothing is read.
  env().calls.clear();
  m()->vds.pmap.type2_metadata.bitmap_file_loc = 0xFFFFFFFFu;
  EXPECT_EQ(mdcudfsr_read_metadata_bmp(m(), nullptr), 0);
  EXPECT_TRUE(env().calls.empty());
  // An unreadable entry only warns.
  m()->vds.pmap.type2_metadata.bitmap_file_loc = 901;
  EXPECT_EQ(mdcudfsr_read_metadata_bmp(m(), nullptr), 0);
  EXPECT_TRUE(env().logged("Failed read Metadata Bitmap FE\n"));
}

struct TreeNode {
  mdcudfsr_udf_node_fields n;
  mdcudfsr_udf_data d;
  TreeNode(uint8_t type, uint64_t id, uint32_t loc) {
    n.udf_data = &d;
    d.efe.icbtag.file_type = type;
    d.efe.unique_id = id;
    d.efe_loc = loc;
  }
  void add(uint32_t lbn, uint32_t len, uint16_t part, uint32_t type = 0) {
    mdcudfsr_extent_entry e;
    e.extent.len = EXTENT_MAKE(len, type);
    e.extent.loc = lb_addr{lbn, part};
    mdcudfsr_extent_list_add(&d.extents, &e, 0);
  }
  ~TreeNode() {
    mdcudfsr_extent_list_free(&d.extents);
    mdcudfsr_free_aed_info(d.aed_info);
  }
};

TEST_F(Bitmap, RebuiltBitmapsMarkStructuresEntriesAndFileData) {
  TreeNode root(4, 1, 2), dir(4, 17, 5), file(5, 18, 6), gone(5, 19, 9), other_disc(5, 20, 10);
  dir.d.efe.icbtag.flags = UDF_AD_SHORT;
  dir.add(7, 2 * B, 0);
  file.add(3000, 3 * B, 1);
  file.add(3100, B, 1, 2);  // not allocated: not marked
  file.d.aed_info = mdcudfsr_aed_info_add(mdcudfsr_aed_info_alloc(), 11);
  file.d.efe.stream_directory_icb.len = B;
  file.d.std_loc = 12;
  gone.n.status = MDCUDFSR_NODE_INACTIVE;
  gone.add(3200, B, 1);
  other_disc.add(3300, B, 2);
  mdcudfsr_insert_list_by_unique_id(&root.n, &dir.n);
  mdcudfsr_insert_list_by_unique_id(&dir.n, &file.n);
  mdcudfsr_insert_list_by_unique_id(&dir.n, &gone.n);
  mdcudfsr_insert_list_by_unique_id(&root.n, &other_disc.n);
  m()->udf_root = &root.n;
  m()->vds.lvd.fsd_loc = long_ad{2 * B, lb_addr{0, 0}, 0, 0};

  uint32_t len = 0, first = 0, written = 0;
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap(m(), &len, &first, nullptr, &written, 0), 0);
  EXPECT_EQ(written, 32u);
  EXPECT_EQ(first, 1024u);
  const uint8_t* mb = env().sector(start + first) + 24;
  for (uint32_t blk : {0u, 1u, 2u, 5u, 6u, 7u, 8u, 10u, 11u, 12u}) EXPECT_FALSE(is_free(mb, blk)) << blk;
  for (uint32_t blk : {3u, 4u, 9u, 13u}) EXPECT_TRUE(is_free(mb, blk)) << blk;
  EXPECT_EQ(m()->free_space[0], 32u - 10u);

  ASSERT_EQ(mdcudfsr_update_usb(m(), short_ad{len, first}, nullptr, &written, 0), 0);
  const uint32_t usb = m()->vds.pd.phd.unalloc_space_bitmap.pos;
  EXPECT_EQ(usb, 1024u + 32u);
  EXPECT_EQ(m()->vds.pd.phd.unalloc_space_bitmap.len, B);
  const uint8_t* ub = env().sector(start + usb) + 24;
  const uint32_t md = img.layout.metadata_extent;
  for (uint32_t blk : {md, md + 31, img.layout.metadata_file_loc, img.layout.mirror_file_loc, 3000u, 3002u, 1024u,
                       usb})
    EXPECT_FALSE(is_free(ub, blk)) << blk;
  for (uint32_t blk : {md + 33, md + 40, 3003u, 3100u, 3200u, 3300u, usb + 1}) EXPECT_TRUE(is_free(ub, blk)) << blk;
  uint32_t bits = 0, bytes = 0;
  ASSERT_EQ(read_back(usb, &bits, &bytes), 0);
  EXPECT_EQ(bits, img.layout.partition_len);
  EXPECT_GT(m()->free_space[1], 0u);
}

TEST_F(Bitmap, DefectSearchMovesOrStopsTheWrite) {
  env().defect_nwa_move = 64;
  uint32_t len = 0, first = 0, written = 0;
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap(m(), &len, &first, nullptr, &written, 0), 0);
  EXPECT_EQ(first, 1024u + 64u);
  env().defect_nwa_result = 22;
  env().calls.clear();
  EXPECT_EQ(mdcudfsr_update_metadata_bitmap(m(), &len, &first, nullptr, &written, 0), 22);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Bitmap, ReadCacheMarkingChangesNoCount) {
  uint8_t bits[4];
  std::memset(bits, 0xFF, sizeof bits);
  m()->read_cache_bitmap_blocks = 32;
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap_for_read_cache(m(), bits, 3 * B, 2 * B + 100), 0);
  EXPECT_EQ(bits[0], 0xE7);
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap_for_read_cache(m(), bits, 10 * B, B - 1), 0);
  EXPECT_EQ(bits[1], 0xFF);
  // A bitmap of 0 blocks is empty: nothing is marked, nothing beyond it touched.
  m()->read_cache_bitmap_blocks = 0;
  std::memset(bits, 0xFF, sizeof bits);
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap_for_read_cache(m(), bits, 0, 4 * B), 0);
  for (uint8_t b : bits) EXPECT_EQ(b, 0xFF);
}

TEST_F(Bitmap, LastSlotBeyondTheFreeSpaceTableIsRefused) {
  m()->current_disc = 12;  // the table has 13 entries: the metadata partition and 12 discs
  EXPECT_EQ(mdcudfsr_update_usb(m(), short_ad{0, 0}, nullptr, nullptr, 0), 22);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(env().count_calls("write_lb"), 0u);
}

}  // namespace
