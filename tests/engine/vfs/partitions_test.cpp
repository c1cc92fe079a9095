// Partition set-up over volumes of the image builder on the simulated drive.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"
#include "support/recorded_disc.h"

#include <cstring>

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

class Partitions : public SimVolume {
 protected:
  // Rewrites one block of the loaded disc, recorded from then on.
  void patch(std::uint32_t lsn, const std::function<void(std::uint8_t*)>& change) {
    std::vector<std::uint8_t> b(2048);
    ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, lsn, 1, b.data()));
    change(b.data());
    udf_test::reseal(b.data());
    kel_test::record_blocks(sim_->cartridge(), 0, lsn, 1, b.data());
    stop_drive_client();
    start_drive_client();
  }
  std::uint32_t efe_lsn(const udf_test::ImageLayout& l, int mirror) {
    return l.partition_start + (mirror ? l.mirror_file_loc : l.metadata_file_loc);
  }
  int init() { return mdcudfsr_init_partitions(mnt_.get(), &ctx_, 0, 0); }
};

TEST_F(Partitions, BuilderVolumesSetUpAllThreeEntries) {
  for (auto cls : {MediumClass::WriteOnce, MediumClass::F2, MediumClass::Rewritable}) {
    const auto l = start_volume(cls);
    ASSERT_EQ(0, init()) << int(cls);
    const auto& phys = mnt_->part[MDCUDFSR_PARTITION_PHYSICAL];
    EXPECT_EQ(l.partition_start, phys.start_sector);
    EXPECT_EQ(static_cast<std::uint64_t>(l.partition_len) * 2048, phys.length);
    EXPECT_EQ(l.partition_start, mnt_->first_physical_lsn);
    // The mount's metadata file lengths are those read (the free space's
    // reserve and the integrity descriptor's size table use them).
    EXPECT_EQ(mnt_->part[0].length, mnt_->metadata_main_partition_length);
    EXPECT_EQ(mnt_->part[1].length, mnt_->metadata_mirr_partition_length);
    for (int i = 0; i < 2; ++i) {
      const auto& e = mnt_->part[i];
      EXPECT_NE(0u, e.length) << i;
      EXPECT_EQ(l.metadata_extent, e.start_sector) << i;
      EXPECT_EQ(i ? 251 : 250, e.efe.icbtag.file_type);
    }
    EXPECT_EQ(l.metadata_extent + l.partition_start,
              mdcudfsr_lbn2lsn(mnt_.get(), MDCUDFSR_PARTITION_METADATA, 0, nullptr));
  }
}

TEST_F(Partitions, MirrorOfTypeMainIsReadOnly) {
  const auto l = start_volume(MediumClass::WriteOnce);
  patch(efe_lsn(l, 1), [](std::uint8_t* b) { reinterpret_cast<extended_file_entry*>(b)->icbtag.file_type = 250; });
  EXPECT_EQ(30, init());
}

TEST_F(Partitions, OneUnreadableEntryOrBoth) {
  struct Case {
    bool main_bad, mirror_bad;
    int result;
  } cases[] = {{false, true, 0}, {true, false, 0}, {true, true, 22}};
  for (const auto& c : cases) {
    const auto l = start_volume(MediumClass::WriteOnce);
    if (c.main_bad) patch(efe_lsn(l, 0), [](std::uint8_t* b) { b[0] = 0x55; });
    if (c.mirror_bad) patch(efe_lsn(l, 1), [](std::uint8_t* b) { b[0] = 0x55; });
    EXPECT_EQ(c.result, init()) << c.main_bad << c.mirror_bad;
    EXPECT_EQ(!c.main_bad && c.mirror_bad, logged("Metadata Main FE ok,Mirror FE error.\n"));
    if (c.result == 22) {
      EXPECT_TRUE(logged("Failed to read main and mirror metadata.\n"));
      EXPECT_TRUE(logged("Set RawMount.\n"));
      EXPECT_EQ(2u, mnt_->mntinfo.AccessMode);
      EXPECT_EQ(0x80000030u, mnt_->mntinfo.MountStatus);
      EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & 0x80000u);
      EXPECT_EQ(1, mnt_->pending_error_report);
    }
  }
}

TEST_F(Partitions, InformationLengthMustFillTheExtentsInWholeBlocks) {
  struct Case {
    std::int64_t delta;  // information length against the extents' bytes
    bool consistent;
  } cases[] = {{0, true}, {-1, true}, {1, false}, {-2047, true}, {-2048, false}};
  for (const auto& c : cases) {
    const auto l = start_volume(MediumClass::WriteOnce);
    std::uint64_t extents = 0;
    patch(efe_lsn(l, 0), [&](std::uint8_t* b) {
      auto* e = reinterpret_cast<extended_file_entry*>(b);
      extents = e->inf_len;
      e->inf_len = static_cast<std::uint64_t>(static_cast<std::int64_t>(extents) + c.delta);
      e->object_size = e->inf_len;
    });
    mdcudfsr_init_mntinfo(mnt_.get());
    init();
    EXPECT_EQ(c.consistent, !logged("AD length is invalid.")) << c.delta;
    EXPECT_EQ(c.consistent ? 0u : 0x80000500u, mnt_->mntinfo.MountStatus) << c.delta;
  }
}

// The metadata file and its mirror each split in two extents, the second
// one held by an allocation extent descriptor at physical block `aed`, as
// the flush writes them once the entry's block is full.
TEST_F(Partitions, MetadataFileContinuedInAnAedIsFollowed) {
  const auto l = start_volume(MediumClass::WriteOnce);
  std::uint64_t bytes = 0;
  for (int mirror = 0; mirror < 2; ++mirror) {
    const std::uint32_t aed = l.metadata_extent + 200 + static_cast<std::uint32_t>(mirror);
    std::uint32_t first = 0;
    patch(efe_lsn(l, mirror), [&](std::uint8_t* b) {
      auto* e = reinterpret_cast<extended_file_entry*>(b);
      auto* ads = reinterpret_cast<short_ad*>(b + sizeof *e + e->l_ea);
      bytes = e->inf_len;
      first = ads[0].pos;
      ads[0].len = static_cast<std::uint32_t>(bytes / 2);
      ads[1] = {0xC0000000u | 2048u, aed};
      e->l_ad = 2 * sizeof(short_ad);
    });
    patch(l.partition_start + aed, [&](std::uint8_t* b) {
      std::memset(b, 0, 2048);
      auto* d = reinterpret_cast<alloc_ext_desc*>(b);
      d->tag = {TAG_ID_AED, 3, 0, 0, 7, 0, sizeof *d - sizeof d->tag + sizeof(short_ad), aed};
      d->l_ad = sizeof(short_ad);
      const short_ad rest{static_cast<std::uint32_t>(bytes - bytes / 2),
                          first + static_cast<std::uint32_t>(bytes / 2 / 2048)};
      std::memcpy(b + sizeof *d, &rest, sizeof rest);
    });
  }
  ASSERT_EQ(0, init());
  EXPECT_FALSE(logged("metadata AED is invalid"));
  for (int i = 0; i < 2; ++i) {
    const auto& e = mnt_->part[i];
    EXPECT_EQ(bytes, e.length) << i;
    ASSERT_NE(nullptr, e.list.first) << i;
    EXPECT_EQ(e.list.first->next, e.list.last) << i;
    EXPECT_EQ(0u, e.list.last->extent.len >> 30) << i;
  }
  const std::uint32_t second_half = static_cast<std::uint32_t>(bytes / 2 / 2048);
  EXPECT_EQ(l.partition_start + l.metadata_extent + second_half,
            mdcudfsr_lbn2lsn(mnt_.get(), MDCUDFSR_PARTITION_METADATA, second_half, nullptr));
  EXPECT_EQ(0u, mnt_->mntinfo.WriteProtectReasonFlags & 0x80000u);
}

TEST_F(Partitions, InvalidPhysicalPartitionIsRefused) {
  start_volume(MediumClass::WriteOnce);
  mnt_->vds.pd.part_len = 0;
  EXPECT_EQ(22, init());
  EXPECT_TRUE(logged("mdcudfsrmp->first_physical_lsn != INVALID_LSN\n"));
}

}  // namespace
