// A mount at a rollback point on the simulated cartridge: the metadata file
// and its mirror placed from the point's entry, the file set descriptor
// found, write protection, and the descriptor images copied into the
// management cache file.
#include "support.h"
#include "support_flush.h"

#include "kelagent/fscache_agent.h"
#include "kelagent/metacache.h"
#include "kelcache/cache_flush.h"
#include "sim/harness.h"
#include "udf/udf_tag.h"

#include <algorithm>
#include <cstring>

using namespace cache_test;

namespace {

constexpr uint32_t kP = 4096;           // the physical partition's start
constexpr uint32_t kMain = 4352 + 32;   // the metadata file's entry
constexpr uint32_t kMirror = kMain + 16;

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The metadata file's entry at `lsn` with the given short allocation descriptors.
void rewrite_ads(TreeImage& img, uint32_t lsn, const std::vector<std::pair<uint32_t, uint32_t>>& ads) {
  uint8_t* e = img.medium.data() + size_t(lsn) * 2048;
  put32(e + 212, static_cast<uint32_t>(ads.size() * 8));
  uint8_t* p = e + 216;
  for (auto [len, pos] : ads) {
    put32(p, len);
    put32(p + 4, pos);
    p += 8;
  }
  mdcudfsr_set_udf_tag_crc_and_checksum(e, static_cast<uint32_t>(216 + ads.size() * 8));
}

struct Point {
  TreeImage img;
  SimMount sm;
  explicit Point(std::function<void(TreeImage&)> change = nullptr) {
    img.dir(TreeImage::kRoot, "docs", 20);
    img.finish();
    if (change) change(img);
    sm.load(img);
    mdcudfsr_mount* m = sm.m();
    m->vds.pd.start_loc = kP;
    m->vds.pd.part_len = img.layout.partition_len;
    m->vds.pmap.type2_metadata.alloc_unit_size = 32;
    m->vds.pmap.type2_metadata.align_unit_size = 32;
    m->fsd_loc = 0x77;
    m->mntinfo.MountStatus = 0;
    m->mntinfo.WriteProtectReasonFlags = 0;
  }
  mdcudfsr_mount* m() { return sm.m(); }
  void point(uint32_t fe, uint32_t fsd) {
    m()->rollback_slot = m()->loaded_slot;
    m()->rollback_fe_lsn = fe;
    m()->rollback_fsd_lsn = fsd;
    m()->rollback_present = 1;
  }
};

TEST(CacheRollback, PointOnTheMetadataFilePlacesBothFilesAndProtectsTheVolume) {
  Point pt;
  pt.m()->mount_ext_flags = 0x20;
  pt.point(kMain, 4352);
  EXPECT_EQ(0, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_EQ(kMain - kP, pt.m()->part[0].efe_block);
  EXPECT_EQ(kMirror - kP, pt.m()->part[1].efe_block);
  EXPECT_EQ(kMain - kP, pt.m()->vds.pmap.type2_metadata.file_loc);
  EXPECT_EQ(65536u, pt.m()->part[0].length);
  EXPECT_EQ(65536u, pt.m()->part[1].length);
  EXPECT_EQ(0u, pt.m()->fsd_loc);
  EXPECT_EQ(0x80000u, pt.m()->mntinfo.WriteProtectReasonFlags & 0x80000u);
  EXPECT_EQ(0x20000u, pt.m()->mntinfo.WriteProtectReasonFlags & 0x20000u);
  const auto ops = opcodes(pt.sm);
  EXPECT_EQ(0, std::count(ops.begin(), ops.end(), uint8_t{0xA6})) << "no LOAD: the point's slot is loaded";
}

TEST(CacheRollback, PointOnTheMirrorFailsInMode1AndMountsInMode0) {
  Point pt;
  pt.point(kMirror, 4352);
  EXPECT_EQ(22, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_EQ(0, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 0));
  EXPECT_EQ(kMain - kP, pt.m()->part[0].efe_block);
  EXPECT_EQ(kMirror - kP, pt.m()->part[1].efe_block);
  EXPECT_EQ(65536u, pt.m()->part[0].length);
}

TEST(CacheRollback, Mode0EntryLessThan16AboveThePartitionHasNoMetadataFile) {
  Point pt;
  pt.point(kP + 10, kP + 10);
  mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 0);
  EXPECT_EQ(0xFFFFFFFFu, pt.m()->part[0].efe_block);
  EXPECT_EQ(10u, pt.m()->part[1].efe_block);
}

TEST(CacheRollback, PointsBelowThePartitionAreRefused) {
  Point pt;
  pt.point(kP - 1, 4352);
  EXPECT_EQ(22, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_TRUE(rec().logged("rollback Metadata FE NG"));
  pt.point(kMain, kP - 1);
  EXPECT_EQ(22, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_TRUE(rec().logged("rollback FSD_LSN NG"));
}

// A damaged partition length is bounded by the disc: one reaching past the
// disc's end is cut to it (the point mounts read-only), one whose partition
// starts past the end is refused.
TEST(CacheRollback, APartitionPastTheDiscIsCutToItOrRefused) {
  struct Row {
    const char* name;
    uint32_t start;   // 0: at the disc's end
    uint32_t length;  // 0: one block past the disc's end
    int result;
  };
  const Row rows[] = {
      {"length 0xFFFFFFFF", kP, 0xFFFFFFFFu, 30},
      {"one block past the end", kP, 0, 30},
      {"start past the end", 0, 0x1000, 22},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Point pt;
    const uint32_t disc = pt.m()->num_sectors;
    ASSERT_GT(disc, kP) << "the simulated disc's size is known";
    const uint32_t start = row.start ? row.start : disc;
    pt.m()->vds.pd.start_loc = start;
    pt.m()->vds.pd.part_len = row.length ? row.length : disc - start + 1;
    pt.point(kMain, 4352);
    EXPECT_EQ(row.result, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
    EXPECT_TRUE(rec().logged("partition past the disc"));
    if (row.result != 22) {
      EXPECT_EQ(uint64_t{disc - start} * 2048, pt.m()->part[MDCUDFSR_PARTITION_PHYSICAL].length);
    }
  }
}

TEST(CacheRollback, NeitherFileReadableGives22WithStatus30) {
  Point pt;
  pt.point(6000, 6000);  // blank blocks
  EXPECT_EQ(22, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_EQ(0x80000030u, pt.m()->mntinfo.MountStatus);
  EXPECT_EQ(0x80000u, pt.m()->mntinfo.WriteProtectReasonFlags & 0x80000u);
  EXPECT_TRUE(rec().logged("Failed to read main and mirror metadata."));
}

// The descriptor lies in the second extent of the metadata file: its block
// counts the first extent's blocks before it.
TEST(CacheRollback, FileSetDescriptorInTheSecondExtentIsFound) {
  Point pt([](TreeImage& img) {
    const uint32_t first = 4352 - kP;
    rewrite_ads(img, kMain, {{16 * 2048, first}, {16 * 2048, 600}});
    rewrite_ads(img, kMirror, {{16 * 2048, first}, {16 * 2048, 600}});
  });
  pt.point(kMain, kP + 600 + 3);
  ASSERT_EQ(0, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_EQ(16u + 3u, pt.m()->fsd_loc);
  EXPECT_EQ(2u, mdcudfsr_extent_list_get_count(&pt.m()->part[0].list));
}

TEST(CacheRollback, DescriptorImagesAndTheIdentityBlockGoToTheCacheFile) {
  Point pt;
  mdcudfsr_mount* m = pt.m();
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  std::memset(m->attr_record, 0x11, sizeof m->attr_record);
  m->vds_cache_image[0] = static_cast<uint8_t*>(std::calloc(1, 0x10000));
  m->vds_cache_image[0][5] = 0xA1;
  m->metadata_efe_image = static_cast<uint8_t*>(std::calloc(1, 0x10000));
  m->metadata_efe_image[5] = 0xA3;
  ASSERT_EQ(0, mdcudfsr_flush_descriptor_to_fscache_file(m, nullptr));
  EXPECT_EQ(nullptr, m->vds_cache_image[0]);
  EXPECT_EQ(nullptr, m->metadata_efe_image);
  auto at = [&](uint64_t off) {
    uint8_t b[8] = {};
    uint32_t done = 0, cache_err = 0;
    EXPECT_EQ(0, mdcudfsr_metacache_file_read(m, m->fsmanage_handle, off, 8, b, &done, &cache_err));
    return std::vector<uint8_t>(b, b + 8);
  };
  EXPECT_EQ(0x11, at(0)[0]);
  EXPECT_EQ(0x11, at(120)[7]) << "128 bytes of identity";
  EXPECT_EQ(0, at(128)[0]);
  EXPECT_EQ(2, at(0x8000)[0]);
  EXPECT_EQ(0xA1, at(0x30000)[5]);
  EXPECT_EQ(0, at(0x40000)[5]) << "no integrity image: nothing written there";
  EXPECT_EQ(0xA3, at(0x50000)[5]);
}

TEST(CacheRollback, FailedCacheFileWriteDropsTheFileAndStillReturns0) {
  Point pt;
  mdcudfsr_mount* m = pt.m();
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  ASSERT_EQ(0, mdcudfsr_metacache_file_close(m, m->fsmanage_handle));  // writes now fail
  m->lvid_cache_image = static_cast<uint8_t*>(std::calloc(1, 0x10000));
  EXPECT_EQ(0, mdcudfsr_flush_descriptor_to_fscache_file(m, nullptr));
  EXPECT_EQ(-1, m->fsmanage_handle);
  EXPECT_EQ(nullptr, m->lvid_cache_image);
  EXPECT_TRUE(rec().logged("mdcudfsr_metacache_file_write failed."));
}

// The header carries the 1500h value of the mount's cartridge-memory cache,
// which the agent compares with the cartridge when the next mount opens the
// file: the file is then coherent and mounted from.
TEST(CacheRollback, IdentityBlockMakesTheCacheFileCoherentAtTheNextOpen) {
  Point pt;
  mdcudfsr_mount* m = pt.m();
  // A value the drive accepts: this system's signature, version, length and
  // entity, and its CRC.
  std::vector<uint8_t> value(128);
  std::memcpy(value.data(), "KEL", 3);
  value[3] = 1;
  value[7] = 120;
  std::memcpy(value.data() + 9, "*Tarn KELFS", 11);
  for (size_t i = 40; i < 126; ++i) value[i] = static_cast<uint8_t>(i);
  const uint16_t crc = kelagent::fscache_crc16(value.data(), 126);
  value[126] = static_cast<uint8_t>(crc >> 8);
  value[127] = static_cast<uint8_t>(crc);
  pt.sm.sim().cartridge().attributes[0x1500] = {0, value};
  // The record around the value differs from it.
  std::memset(m->attr_record, 0x11, sizeof m->attr_record);
  constexpr size_t kValueInRecord = 4 + 292 + 5;
  std::memcpy(m->attr_record + kValueInRecord, value.data(), value.size());
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  ASSERT_EQ(1u, created);
  ASSERT_EQ(0, mdcudfsr_flush_descriptor_to_fscache_file(m, nullptr));
  uint8_t head[128] = {};
  uint32_t done = 0, cache_err = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_file_read(m, m->fsmanage_handle, 0, 128, head, &done, &cache_err));
  EXPECT_EQ(0, std::memcmp(head, value.data(), 128));
  ASSERT_EQ(0, mdcudfsr_metacache_file_close(m, m->fsmanage_handle));
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  EXPECT_EQ(1u, coherent);
  EXPECT_EQ(0u, created);
}

}  // namespace
namespace {
TEST(CacheRollback, PointInAnotherSlotChangesTheDisc) {
  Point pt;
  pt.point(kMain, 4352);
  pt.m()->rollback_slot = pt.m()->loaded_slot + 1;
  // The other slot holds a blank disc: its blocks carry no metadata file.
  EXPECT_EQ(22, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  const auto ops = opcodes(pt.sm);
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(0xA6, ops.front()) << "LOAD before any read";
}
}  // namespace

namespace {

// A chain of allocation extent descriptors at partition blocks first..first+n-1:
// each holds one extent and, but for the last, the pointer to the next.
void aed_chain(TreeImage& img, uint32_t first, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t* b = img.medium.data() + size_t(kP + first + i) * 2048;
    std::memset(b, 0, 2048);
    b[0] = 258 & 0xFF;
    b[1] = 258 >> 8;
    b[2] = 3;
    put32(b + 12, first + i);
    const bool last = i + 1 == n;
    put32(b + 20, last ? 8 : 16);
    put32(b + 24, 2048);
    put32(b + 28, 700 + i);
    if (!last) {
      put32(b + 32, (3u << 30) | 2048);
      put32(b + 36, first + i + 1);
    }
    mdcudfsr_set_udf_tag_crc_and_checksum(b, last ? 32 : 40);
  }
}

TEST(CacheRollback, SixteenChainedDescriptorsAcrossBothFilesMakeTheMountReadOnly) {
  Point pt([](TreeImage& img) {
    aed_chain(img, 900, 8);
    aed_chain(img, 920, 8);
    rewrite_ads(img, kMain, {{32 * 2048, 4352 - kP}, {(3u << 30) | 2048, 900}});
    rewrite_ads(img, kMirror, {{32 * 2048, 4352 - kP}, {(3u << 30) | 2048, 920}});
  });
  pt.point(kMain, 4352);
  EXPECT_EQ(30, mdcudfsr_init_partitions_rollback(pt.m(), nullptr, 1));
  EXPECT_TRUE(rec().logged("metadata AED is invalid. Num=16 "));
  EXPECT_EQ(1u + 8u, mdcudfsr_extent_list_get_count(&pt.m()->part[0].list)) << "the main file's whole chain";
}

}  // namespace
