// The metadata file on the real volume and vnode routines over the simulated
// drive: growth at the next writable address the drive reports for the
// data track, and the zero fill of its unused tail through the write
// clusters.
#include "engine/udf/real_support.h"

#include "sim/harness.h"
#include "kelagent/metacache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "udf/udf_extent.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

constexpr uint32_t B = 2048;

// Physical blocks of the metadata file, one per metadata block.
std::vector<uint32_t> flat(const mdcudfsr_extent_list& l) {
  std::vector<uint32_t> out;
  for (auto* e = l.first; e; e = e->next)
    for (uint32_t i = 0; i < EXTENT_LENGTH(e->extent.len) / B; ++i) out.push_back(e->extent.loc.lb_num + i);
  return out;
}

std::string hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

class RealMetadata : public ::testing::Test {
 protected:
  void SetUp() override { load(); }
  void load() {
    v.reset();
    v = std::make_unique<RealVolume>(MediumClass::WriteOnce);
    v->mount();
  }
  mdcudfsr_mount* m() { return v->m(); }
  std::unique_ptr<RealVolume> v;
};

TEST_F(RealMetadata, GrowthInUnitsOf32BlocksAtTheTracksNextWritableAddress) {
  struct Case {
    uint32_t blocks, added;
  } cases[] = {{1, 32}, {33, 64}, {32, 32}};
  for (const auto& c : cases) {
    load();
    const uint32_t start = v->layout.partition_start;
    v->set_track_nwa(start + 2000);
    mdcudfsr_relocation_info info{};
    ASSERT_EQ(mdcudfsr_relocate_metadata_file(m(), c.blocks, 0, &info, nullptr), 0);
    EXPECT_EQ(v->count(kTrackInfo), 1u) << "the address comes from the drive";
    EXPECT_EQ(info.blocks, c.added);
    EXPECT_EQ(info.first_sector, start + 2000);
    EXPECT_EQ(m()->part[0].length, 65536u + uint64_t{c.added} * B);
    auto f = flat(m()->part[0].list);
    ASSERT_EQ(f.size(), 32u + c.added);
    EXPECT_EQ(f[32], 2000u);
    EXPECT_EQ(flat(m()->part[1].list), f);
  }
}

TEST_F(RealMetadata, RestartAndLargeGrowth) {
  // A failed track read changes nothing; the volume goes read-only.
  const int fault = v->sim().drive().add_fault(kelsim::command_fails(kTrackInfo, kelsim::Sense{0x03, 0x11, 0x00}));
  EXPECT_EQ(mdcudfsr_relocate_metadata_file(m(), 1, 1, nullptr, nullptr), 30);
  EXPECT_EQ(m()->part[0].length, 65536u);
  EXPECT_EQ(m()->part[0].start_sector, v->layout.partition_start + v->layout.metadata_extent);
  EXPECT_NE(vfs_flags(m()->mp) & MNT_RDONLY, 0u);
  v->sim().drive().remove_fault(fault);
  m()->mntinfo = MDCFS_MOUNT_INFORMATION{};

  m()->part[2].length = uint64_t{0x100000} * B;  // a partition with room for 1 GiB
  v->set_track_nwa(v->layout.partition_start + 64);
  ASSERT_EQ(mdcudfsr_relocate_metadata_file(m(), 0x80000, 1, nullptr, nullptr), 0);
  EXPECT_EQ(m()->part[0].start_sector, v->layout.partition_start + 64);
  EXPECT_EQ(mdcudfsr_extent_list_get_count(&m()->part[0].list), 2u);
  EXPECT_EQ(EXTENT_LENGTH(m()->part[0].list.first->extent.len), 0x3FFFF800u);
  EXPECT_EQ(m()->part[0].length, 0x40000000u);
}

TEST_F(RealMetadata, GrowthFromAnAddressOutsideThePartitionChangesNothing) {
  const uint32_t start = v->layout.partition_start, len = v->layout.partition_len;
  const auto main = flat(m()->part[0].list), mirror = flat(m()->part[1].list);
  const uint64_t length = m()->part[0].length, recorded = m()->metadata_main_partition_length;
  // Growth from a next writable address before the partition, or too near
  // its end for the new extents; with and without a restart.
  for (uint32_t nwa : {start - 32, start + len - 16}) {
    for (int restart : {0, 1}) {
      SCOPED_TRACE(hex(nwa) + (restart ? " restart" : ""));
      v->set_track_nwa(nwa);
      EXPECT_EQ(mdcudfsr_relocate_metadata_file(m(), 1, restart, nullptr, nullptr), 22);
      EXPECT_EQ(flat(m()->part[0].list), main);
      EXPECT_EQ(flat(m()->part[1].list), mirror);
      EXPECT_EQ(m()->part[0].length, length);
      EXPECT_EQ(m()->part[1].length, length);
      EXPECT_EQ(m()->metadata_main_partition_length, recorded);
    }
  }
}

TEST_F(RealMetadata, ZeroFillCoversEveryRunOfTheUnusedTail) {
  v->start_agent();
  const uint32_t s = v->layout.partition_start;
  for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 200, 16 * B, B);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 500, 16 * B, B);
  m()->part[0].length = 32 * B;
  m()->metadata_block_count = 10;
  ASSERT_EQ(mdcudfsr_zero_fill_free_metadata_blocks(m(), nullptr), 0);
  EXPECT_EQ(v->count(kWrite10), 0u) << "staged in the write clusters";
  // The staged sectors, cluster by cluster: blocks 210-215 and 500-515.
  std::map<uint32_t, uint32_t> want;
  for (uint32_t lbn : {210u, 211u, 212u, 213u, 214u, 215u})
    want[(s + lbn) / 32] |= 1u << ((s + lbn) % 32);
  for (uint32_t lbn = 500; lbn < 516; ++lbn) want[(s + lbn) / 32] |= 1u << ((s + lbn) % 32);
  std::map<uint32_t, uint32_t> staged;
  for (cluster_entry* e = m()->cluster_head; e; e = e->next) staged[static_cast<uint32_t>(e->cluster)] = e->dirty;
  EXPECT_EQ(staged, want);
  // Nothing left unused: nothing staged.
  mdcudfsr_clear_all_clusters(m());
  m()->metadata_block_count = 32;
  ASSERT_EQ(mdcudfsr_zero_fill_free_metadata_blocks(m(), nullptr), 0);
  EXPECT_EQ(m()->cluster_count, 0u);
  EXPECT_EQ(m()->cluster_head, nullptr);
}

}  // namespace

// The copy of the metadata file into the cache with blocks that do not read:
// each is taken from the other copy of the metadata file when that names
// another block that reads; otherwise the copy fails, is deleted, and the
// mount learns that the metadata cannot be read (a salvage mount takes the
// block as 0xFF and goes on).
TEST_F(RealMetadata, UnreadableBlocksOfTheCopyComeFromTheMirrorOrFailTheCopy) {
  enum class Got { Main, Mirror, Fill, Nothing };
  struct Row {
    const char* name;
    bool own_mirror;       // the mirror file names blocks of its own
    bool mirror_unreadable;
    int selector;
    uint32_t flags;        // mount_ext_flags
    int result;
    Got block3;            // what metadata block 3 holds in the copy
  } rows[] = {
      {"from the mirror", true, false, 0, 0, 0, Got::Mirror},
      {"from the mirror into the management file", true, false, 1, 0, 0, Got::Mirror},
      {"neither reads", true, true, 0, 0, 5, Got::Nothing},
      {"the mirror names the same blocks", false, false, 0, 0, 5, Got::Nothing},
      {"neither reads, management file", true, true, 1, 0, 5, Got::Nothing},
      {"salvage mount", false, false, 0, 0x40020, 0, Got::Fill},
  };
  constexpr uint32_t kMain = 200, kMirror = 300, kBlocks = 40;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load();
    v->start_agent();
    const uint32_t s = v->layout.partition_start;
    if (v->track_nwa() < s + 400) v->set_track_nwa(s + 400);
    for (uint32_t i = 0; i < kBlocks; ++i) {
      v->write(s + kMain + i, std::vector<uint8_t>(B, static_cast<uint8_t>(i + 1)));
      v->write(s + kMirror + i, std::vector<uint8_t>(B, static_cast<uint8_t>(0x80 + i)));
    }
    for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
    mdcudfsr_extent_entry e;
    e.extent.len = kBlocks * B;
    e.extent.loc = lb_addr{kMain, 2};
    mdcudfsr_extent_list_add(&m()->part[0].list, &e, 0);
    e.extent.loc = lb_addr{r.own_mirror ? kMirror : kMain, 2};
    mdcudfsr_extent_list_add(&m()->part[1].list, &e, 0);
    m()->part[0].length = m()->part[1].length = kBlocks * B;
    m()->mount_ext_flags = r.flags;
    m()->mntinfo = MDCFS_MOUNT_INFORMATION{};
    uint32_t coherent = 0, created = 0;
    if (r.selector) {
      ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(m(), nullptr, &coherent, &created), 0);
    }
    const int32_t handle = r.selector ? m()->fsmanage_handle : m()->local_cache_handles[0];
    const uint64_t base = r.selector ? MDC_METADATA_OFFSET : 0;
    v->unreadable(s + kMain + 3);
    if (r.mirror_unreadable) v->unreadable(s + kMirror + 3);
    v->clear();

    EXPECT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, r.selector), r.result);
    if (r.block3 == Got::Nothing) {
      EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
      EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
      EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags & 0x80000u, 0x80000u);
      if (r.selector) {
        EXPECT_EQ(m()->fsmanage_handle, -1);
        EXPECT_EQ(m()->fs_cache_mode, 0);
        ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(m(), nullptr, &coherent, &created), 0);
        EXPECT_EQ(created, 1u) << "the management file was deleted";
      } else {
        EXPECT_EQ(m()->local_cache_handles[0], -1);
        EXPECT_FALSE(boost::filesystem::exists(v->cache_root() + "/Caches/LocalCache/" +
                                               m()->local_cache_name[0]))
            << "the partial copy was deleted";
      }
      continue;
    }
    EXPECT_EQ(m()->mntinfo.MountStatus, 0u);
    const std::vector<uint8_t> copy = v->cache_file_read(handle, base, kBlocks * B);
    // The drive reads whole clusters of 32 blocks: every block of the bad
    // block's cluster comes from the other copy (or is filled), the rest
    // from the metadata file.
    const uint32_t bad_cluster = (s + kMain + 3) / 32;
    for (uint32_t i = 0; i < kBlocks; ++i) {
      uint8_t want = static_cast<uint8_t>(i + 1);
      if ((s + kMain + i) / 32 == bad_cluster) want = r.block3 == Got::Mirror ? static_cast<uint8_t>(0x80 + i) : 0xFF;
      EXPECT_EQ(copy[i * B], want) << "block " << i;
      EXPECT_EQ(copy[i * B + B - 1], want) << "block " << i;
    }
    // Read again a disc cluster at a time, not block by block.
    EXPECT_LE(v->count(kRead10), 8u);
  }
}
