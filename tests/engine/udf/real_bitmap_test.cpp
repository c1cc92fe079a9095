// Space bitmaps on a rewritable cartridge on the real volume and vnode
// routines over the simulated drive: descriptors written in 64 KiB units at
// the next writable address past the drive's known defects, synced and
// verified, read back, and rebuilt from the volume's structures.
#include "engine/udf/real_support.h"

#include "kelvfs/mdcudfsr_defect.h"
#include "sim/harness.h"
#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

constexpr uint32_t B = 2048;

class RealBitmap : public ::testing::Test {
 protected:
  void SetUp() override {
    v = std::make_unique<RealVolume>(MediumClass::Rewritable);
    v->mount();
    start = v->layout.partition_start;
    m()->next_writable_address = start + 1024;
    // The drive's defect map, as the mount of a rewritable volume builds it.
    ASSERT_EQ(mdcudfsr_make_defect_map(m(), nullptr, 1), 0);
    v->clear();
    mdcudfsr_extent_list_init(&list);
  }
  void TearDown() override { mdcudfsr_extent_list_free(&list); }
  mdcudfsr_mount* m() { return v->m(); }
  int read_back(uint32_t first, uint32_t* bits, uint32_t* bytes, uint32_t len = 0x20000) {
    mdcudfsr_extent_list_remove_all(&list);
    mdcudfsr_extent_entry e;
    e.extent.len = len;
    e.extent.loc = lb_addr{first, 2};
    mdcudfsr_extent_list_add(&list, &e, 0);
    return mdcudfsr_sbmp_read_sbd(m(), &list, nullptr, bits, bytes);
  }
  static bool is_free(const uint8_t* bitmap_bytes, uint32_t block) {
    return bitmap_bytes[block / 8] & (1u << (block % 8));
  }
  // (first, last + 1) of the blocks the commands with `op` covered.
  std::pair<uint32_t, uint32_t> span(uint8_t op) {
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (const Command& c : v->commands())
      if (c.op == op) {
        lo = std::min(lo, c.lba);
        hi = std::max(hi, c.lba + c.blocks);
      }
    return {lo, hi};
  }
  std::unique_ptr<RealVolume> v;
  uint32_t start = 0;
  mdcudfsr_extent_list list;
};

TEST_F(RealBitmap, SevenThousandBytesGoOutAsOne64KiBUnit) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(56000);
  ASSERT_EQ(bm->num_bytes, 7000u);
  mdcudfsr_bitmap_mark(bm, 3, 2);
  mdcudfsr_bitmap_mark(bm, 4, 1);  // already marked: counted once
  EXPECT_EQ(bm->free_count, 56000u - 2);
  uint32_t len = 0, first = 0;
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, &len, &first, nullptr), 0);
  EXPECT_EQ(len, 7024u);
  EXPECT_EQ(first, 1024u);
  EXPECT_EQ(span(kWrite10), std::make_pair(start + 1024, start + 1024 + 32));
  EXPECT_EQ(v->count(kSyncCache), 1u);
  EXPECT_EQ(span(kVerify10), std::make_pair(start + 1024, start + 1024 + 32));
  EXPECT_EQ(m()->next_writable_address, start + 1024 + 32);
  const std::vector<uint8_t> unit = v->read(start + 1024, 32);
  for (uint32_t i = 7024; i < 65536; ++i) ASSERT_EQ(unit[i], 0) << i;
  EXPECT_EQ(unit[24], 0xE7);  // blocks 3 and 4 marked
  uint32_t bits = 0, bytes = 0;
  ASSERT_EQ(read_back(1024, &bits, &bytes), 0);
  EXPECT_EQ(bits, 56000u);
  EXPECT_EQ(bytes, 7000u);
  mdcudfsr_bitmap_free(bm);
}

TEST_F(RealBitmap, A64KiBBitmapNeedsTwoChunks) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(65536 * 8);
  mdcudfsr_bitmap_mark(bm, 65536 * 8 - 1, 1);  // the last bit of the last byte
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(span(kWrite10), std::make_pair(start + 1024, start + 1024 + 64));
  EXPECT_EQ(m()->next_writable_address, start + 1024 + 64);
  const std::vector<uint8_t> second = v->read(start + 1024 + 32);
  for (int i = 0; i < 23; ++i) EXPECT_EQ(second[i], 0xFF);
  EXPECT_EQ(second[23], 0x7F);
  EXPECT_EQ(second[24], 0);
  mdcudfsr_bitmap_free(bm);
}

TEST_F(RealBitmap, WriteOrVerifyFailureKeepsTheAddressAndRebuildsTheDefectMap) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(1000);
  // The drive learns of a defect at the address after the map was built;
  // the failed verify makes the volume ask for the map again.
  ASSERT_EQ(v->sim().cartridge().add_defect(0, kelsim::defect_at(start + 1024)), 0u);
  kelsim::FaultRule verify = kelsim::command_fails(kVerify10, kelsim::Sense{0x03, 0x11, 0x00});
  verify.times = 1;
  v->sim().drive().add_fault(verify);
  const int err = mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr);
  EXPECT_NE(err, 0);
  EXPECT_TRUE(logged("verify range is failed.(" + std::to_string(err) + ")\n"));
  EXPECT_EQ(m()->next_writable_address, start + 1024);
  uint32_t changed = 0;
  ASSERT_EQ(mdcudfsr_find_defect_and_change_NWA(m(), nullptr, start + 1024, 32, &changed), 0);
  EXPECT_EQ(changed, 1u) << "the rebuilt map knows the new defect";
  EXPECT_GT(m()->next_writable_address, start + 1024);

  m()->next_writable_address = start + 2048;
  v->sim().drive().add_fault([&] {
    kelsim::FaultRule w = kelsim::write_error(start + 2048, start + 2048 + 31);
    w.times = 1;
    return w;
  }());
  EXPECT_NE(mdcudfsr_bitmap_flush(m(), bm, 2048, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(m()->next_writable_address, start + 2048);
  mdcudfsr_bitmap_free(bm);
  // A failed update leaves the partition header on the previous bitmap.
  const short_ad before = m()->vds.pd.phd.unalloc_space_bitmap;
  v->sim().drive().add_fault(verify);
  EXPECT_NE(mdcudfsr_update_usb(m(), short_ad{0, 0}, nullptr, nullptr, 0), 0);
  EXPECT_EQ(std::memcmp(&before, &m()->vds.pd.phd.unalloc_space_bitmap, sizeof before), 0);
}

TEST_F(RealBitmap, DescriptorChecksOnRead) {
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(1000);
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  const uint32_t at = start + 1024;
  // A CRC length past the readable area is accepted with a warning.
  desc_tag t;
  v->edit(at, 1, [&](uint8_t* sec) {
    std::memcpy(&t, sec, sizeof t);
    t.desc_crc_len = 0xFFF0;
    std::memcpy(sec, &t, sizeof t);
    sec[4] = mdcudfsr_udf_tag_checksum(sec);
  });
  uint32_t bits = 0, bytes = 0;
  EXPECT_EQ(read_back(1024, &bits, &bytes), 0);
  EXPECT_TRUE(logged("SBD CRC length is too big.\n"));
  EXPECT_EQ(bits, 1000u);
  // A wrong CRC or tag is refused.
  v->edit(at, 1, [&](uint8_t* sec) {
    t.desc_crc_len = 8;
    std::memcpy(sec, &t, sizeof t);
    sec[4] = mdcudfsr_udf_tag_checksum(sec);
    sec[20] ^= 1;
  });
  EXPECT_EQ(read_back(1024, &bits, &bytes), 22);
  EXPECT_TRUE(logged("SBD CRC is invalid.\n"));
  v->edit(at, 1, [](uint8_t* sec) { sec[0] = 1; });
  EXPECT_EQ(read_back(1024, &bits, &bytes), 22);
  EXPECT_TRUE(logged("SBD tag is invalid.\n"));
  mdcudfsr_bitmap_free(bm);
}

TEST(RealBitmapMedia, OnlyTheListedMediaAreSupported) {
  RealVolume v(MediumClass::WriteOnce);  // 0xE1
  v.mount();
  mdcudfsr_mount* m = v.m();
  EXPECT_EQ(mdcudfsr_read_usb(m, nullptr), 22);
  EXPECT_EQ(m->mntinfo.AccessMode, 2u);
  EXPECT_EQ(m->mntinfo.MountStatus, MNTINFO_ANCHOR_INVALID);
  EXPECT_EQ(v.count(kRead10), 0u);
  for (uint32_t t : {0xC3u, 0xD3u, 0xE2u, 0xE4u, 0xE6u, 0xE8u, 0x53u, 0x57u}) {
    m->medium_type = t;
    EXPECT_TRUE(mdcudfsr_sbmp_medium_supported(m));
  }
  m->medium_type = 0xF2;
  EXPECT_FALSE(mdcudfsr_sbmp_medium_supported(m));
}

TEST_F(RealBitmap, MountReadsSkipAMissingBitmapAndWarnOnASizeMismatch) {
  m()->vds.pd.phd.unalloc_space_bitmap = short_ad{0, 0};
  EXPECT_EQ(mdcudfsr_read_usb(m(), nullptr), 0);
  EXPECT_EQ(v->count(kRead10), 0u);
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(77);
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  m()->vds.pd.phd.unalloc_space_bitmap = short_ad{24 + 10, 1024};
  EXPECT_EQ(mdcudfsr_read_usb(m(), nullptr), 0);
  char want[96];
  std::snprintf(want, sizeof want, "USB BitSize not equal. PartitionBlocks = 0x%08x USB BitSize = 0x0000004d\n",
                v->layout.partition_len);
  EXPECT_TRUE(logged(want));
  mdcudfsr_bitmap_free(bm);
}

TEST_F(RealBitmap, MetadataBitmapFileIsFoundThroughItsEntry) {
  // A metadata bitmap descriptor at 1024 and the bitmap file's entry at 900,
  // staged in the write clusters and written out.
  v->start_agent();
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(20);
  ASSERT_EQ(mdcudfsr_bitmap_flush(m(), bm, 1024, nullptr, nullptr, nullptr), 0);
  mdcudfsr_bitmap_free(bm);
  extended_file_entry e{};
  mdcudfsr_init_extended_file_entry(m(), 0644, &e, 0);
  e.icbtag.file_type = 252;
  ASSERT_EQ(mdcudfsr_flush_metadata_EFE(m(), 900, 0xFFFF, &e, nullptr, short_ad{B, 1024}, nullptr), 0);
  ASSERT_EQ(v->flush_clusters((start + 900) / 32 * 32), 0);
  m()->vds.pmap.type2_metadata.bitmap_file_loc = 900;
  v->clear();
  EXPECT_EQ(mdcudfsr_read_metadata_bmp(m(), nullptr), 0);
  bool entry_read = false;
  for (const Command& c : v->commands())
    if (c.op == kRead10 && c.lba <= start + 900 && start + 900 < c.lba + c.blocks) entry_read = true;
  EXPECT_TRUE(entry_read) << "the cluster holding the entry is read";
  EXPECT_EQ(m()->metadata_bitmap_efe.tag.tag_loc, 900u);
  // 20 bits against a metadata partition of 32 blocks.
  EXPECT_TRUE(logged("Metadata Bitmap BitSize not equal. PartitionBlocks = 0x00000020 USB BitSize = 0x00000014\n"));
  // No bitmap file: nothing is read.
  v->clear();
  m()->vds.pmap.type2_metadata.bitmap_file_loc = 0xFFFFFFFFu;
  EXPECT_EQ(mdcudfsr_read_metadata_bmp(m(), nullptr), 0);
  EXPECT_TRUE(v->commands().empty());
  // An unreadable entry only warns.
  m()->vds.pmap.type2_metadata.bitmap_file_loc = 901;
  EXPECT_EQ(mdcudfsr_read_metadata_bmp(m(), nullptr), 0);
  EXPECT_TRUE(logged("Failed read Metadata Bitmap FE\n"));
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

TEST_F(RealBitmap, RebuiltBitmapsMarkStructuresEntriesAndFileData) {
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
  const std::vector<uint8_t> mbs = v->read(start + first);
  const uint8_t* mb = mbs.data() + 24;
  for (uint32_t blk : {0u, 1u, 2u, 5u, 6u, 7u, 8u, 10u, 11u, 12u}) EXPECT_FALSE(is_free(mb, blk)) << blk;
  for (uint32_t blk : {3u, 4u, 9u, 13u}) EXPECT_TRUE(is_free(mb, blk)) << blk;
  EXPECT_EQ(m()->free_space[0], 32u - 10u);

  ASSERT_EQ(mdcudfsr_update_usb(m(), short_ad{len, first}, nullptr, &written, 0), 0);
  const uint32_t usb = m()->vds.pd.phd.unalloc_space_bitmap.pos;
  EXPECT_EQ(usb, 1024u + 32u);
  EXPECT_EQ(m()->vds.pd.phd.unalloc_space_bitmap.len, B);
  const std::vector<uint8_t> ubs = v->read(start + usb, 2);
  const uint8_t* ub = ubs.data() + 24;
  const uint32_t md = v->layout.metadata_extent;
  for (uint32_t blk : {md, md + 31, v->layout.metadata_file_loc, v->layout.mirror_file_loc, 3000u, 3002u, 1024u,
                       usb})
    EXPECT_FALSE(is_free(ub, blk)) << blk;
  for (uint32_t blk : {md + 33, md + 40, 3003u, 3100u, 3200u, 3300u, usb + 1}) EXPECT_TRUE(is_free(ub, blk)) << blk;
  uint32_t bits = 0, bytes = 0;
  ASSERT_EQ(read_back(usb, &bits, &bytes), 0);
  EXPECT_EQ(bits, v->layout.partition_len);
  EXPECT_GT(m()->free_space[1], 0u);
}

TEST_F(RealBitmap, DefectSearchMovesOrStopsTheWrite) {
  // A defect the drive knows of at the next writable address: the bitmap
  // goes behind it.
  ASSERT_EQ(v->sim().cartridge().add_defect(0, kelsim::defect_at(start + 1030)), 0u);
  ASSERT_EQ(mdcudfsr_make_defect_map(m(), nullptr, 0), 0);
  uint32_t len = 0, first = 0, written = 0;
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap(m(), &len, &first, nullptr, &written, 0), 0);
  EXPECT_GE(first, 1031u) << "written behind the defect";
  EXPECT_EQ(first % 32, 0u);
  EXPECT_GE(span(kWrite10).first, start + 1031);
}

}  // namespace

namespace {

TEST_F(RealBitmap, NoDefectMapWritesNothing) {
  // The map cannot be rebuilt: the drive has none, and its search answers
  // an error that no writer may take for "no defect here".
  const int fault = v->sim().drive().add_fault(kelsim::command_fails(0xAD, kelsim::Sense{0x03, 0x11, 0x00}));
  EXPECT_NE(mdcudfsr_make_defect_map(m(), nullptr, 0), 0);
  EXPECT_GT(v->sim().drive().fault_fired(fault), 0);
  v->clear();
  const uint32_t nwa = m()->next_writable_address;
  uint32_t len = 0, first = 0, written = 0;
  EXPECT_NE(mdcudfsr_update_metadata_bitmap(m(), &len, &first, nullptr, &written, 0), 0);
  EXPECT_NE(mdcudfsr_update_usb(m(), short_ad{0, 0}, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(logged("Failed to find defect or change NWA. \n"));
  EXPECT_EQ(span(kWrite10).second, 0u) << "nothing written at an unchecked address";
  EXPECT_EQ(m()->next_writable_address, nwa);
}

}  // namespace
