// Track, write-resource and disc-usage information and the finalize check
// against the simulated drive.
#include "vfs_support.h"

#include "kel/mdcfs.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "kelvnops/mdcudfsr_track_requests.h"

#include <algorithm>

namespace {

using namespace vfs_test;

class TrackRequests : public SimVolume {
 protected:
  // A write-once cartridge whose discs up to `last` are formatted with their
  // next writable address at `nwa`; the last written slot is `last`.
  void start_write_once(std::uint8_t slots, std::uint8_t last, std::uint32_t nwa, std::uint32_t blocks = 0x100000,
                        std::uint32_t map_entries = 0x1000) {
    SimOptions o;
    o.slots = slots;
    o.loaded_slot = last;
    o.disc_blocks = blocks;
    o.pow_map_entries = map_entries;
    start(o);
    stop_drive_client();
    for (int s = 0; s <= last; ++s) {
      kelsim::Disc& d = sim_->cartridge().disc(s);
      d.formatted = true;
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, blocks, nwa + 0x100u * static_cast<std::uint32_t>(s), false, false}};
    }
    sim_->cartridge().save();
    start_drive_client();
    prepare(last);
  }
  void start_rewritable(std::uint8_t slots, std::uint8_t last, std::uint32_t blocks, bool formatted = true) {
    SimOptions o;
    o.medium = 0xE2;
    o.rewritable_formatted = formatted;
    o.slots = slots;
    o.loaded_slot = last;
    o.disc_blocks = blocks;
    start(o);
    prepare(last);
    mnt_->partition_blocks = blocks - 4096;
  }
  void prepare(std::uint8_t last) {
    mnt_->current_disc = last;
    mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector = 4096;
    mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].length = std::uint64_t{mnt_->num_sectors - 4096} * 2048;
    mnt_->disc_status = 1;
    mnt_->last_track = 1;
    mnt_->mntinfo.VolumeTypeAndInformationVersion = 0x10;  // no parity share in the figures
    take_opcodes();
  }
};

TEST_F(TrackRequests, TrackRecordNamesTheLastWrittenSlotWithItsAddress) {
  start_write_once(2, 1, 0x3000, 0x10000);
  ASSERT_EQ(0, mdcudfsr_disc_change(mnt_.get(), 0, 0, &ctx_, 0));  // a read from slot 0
  ASSERT_EQ(0, sim_->cartridge().loaded_slot);
  MDCFS_VOLUME_TRACK_INFORMATION t{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_track_information(mnt_.get(), &t, &ctx_));
  EXPECT_EQ(2u, t.MaxCreatableTrackCount);
  EXPECT_EQ(1u, t.TrackId);
  EXPECT_EQ(0x3100u - 4096, t.NextWritableBlockOffset) << "slot 1's address";
  EXPECT_EQ(0x10000u - 4096, t.NumberOfBlocks);
  EXPECT_EQ(1, sim_->cartridge().loaded_slot) << "the loading rule loaded the last written slot";
}

TEST_F(TrackRequests, UnreadableTrackIsFive) {
  start_write_once(2, 0, 0x3000, 0x10000);
  sim_->drive().add_fault(kelsim::command_fails(0x52, {0x03, 0x11, 0x00}));
  MDCFS_VOLUME_TRACK_INFORMATION t{};
  EXPECT_EQ(5, mdcudfsr_mdcfsctrl_get_volume_track_information(mnt_.get(), &t, &ctx_));
  EXPECT_TRUE(logged("Failed to read track information err=30. \n"));
  EXPECT_TRUE(logged("Failed to read track with status 30.\n"));
}

TEST_F(TrackRequests, AddressBeforeThePartitionIsAllOnes) {
  start_write_once(2, 0, 0x800, 0x10000);
  MDCFS_VOLUME_TRACK_INFORMATION t{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_track_information(mnt_.get(), &t, &ctx_));
  EXPECT_EQ(0xFFFFFFFFu, t.NextWritableBlockOffset);
}

TEST_F(TrackRequests, RewritableTrackAsksTheDefectFinderFirst) {
  // A rewritable disc never formatted has no defect list the drive could
  // search: the finder's failure is the request's (the finder's own cases
  // are in the volume suite's defect tests).
  start_rewritable(2, 0, 0x10000, false);
  mnt_->next_writable_address = 0x1100;
  MDCFS_VOLUME_TRACK_INFORMATION t{};
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_get_volume_track_information(mnt_.get(), &t, &ctx_));
  EXPECT_TRUE(logged("ioctl:PXOIOSEARCHNEXTNWA error."));
  EXPECT_TRUE(logged("Failed to find defect or change NWA. \n"));
  EXPECT_EQ(0x1100u, mnt_->next_writable_address);
}

TEST_F(TrackRequests, WriteResourcesOfBothMediaKinds) {
  start_write_once(2, 1, 0x3000, 0x10000, 0x777);
  MDCFS_TRACK_WRITE_RESOURCE_INFORMATION w{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_track_write_resource_information(mnt_.get(), &w, &ctx_));
  EXPECT_EQ(1u, w.TrackId);
  std::uint16_t opc = 0;
  ASSERT_EQ(0, mdcudfsr_get_opc_resource_count(mnt_->devvp, &opc, &ctx_));
  EXPECT_EQ(opc, w.OpcResourceCount) << "as the drive layer reports it";
  EXPECT_EQ(0x777u, w.RemainingPowReallocationMapEntries);
  EXPECT_EQ(0x1000u, w.NumberOfRemainingPowUpdates);

  start_rewritable(2, 1, 0x10000);
  for (auto [nwa, left] : {std::pair{0x10000u - 0x40, 0x40u}, {0x10000u + 0x20, 0u}}) {
    mnt_->next_writable_address = nwa;
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_track_write_resource_information(mnt_.get(), &w, &ctx_));
    EXPECT_EQ(128u, w.OpcResourceCount);
    EXPECT_EQ(left, w.RemainingPowReallocationMapEntries) << "no map entries past the end";
    EXPECT_EQ(left >> 5, w.NumberOfRemainingPowUpdates);
  }
}

TEST_F(TrackRequests, DiscUsageStates) {
  struct Case {
    const char* what;
    std::uint8_t last;
    std::uint32_t nwa;
    std::uint32_t reasons;
    std::uint8_t state;
  } cases[] = {
      {"below the last slot, plenty free", 0, 0x1100, 0, 0},
      {"below the last slot, nearly full", 0, 0x300000 - 0x30000, 0, 1},
      {"last slot with space", 1, 0x1100, 0, 0},
      {"last slot full", 1, 0x300000, 0, 2},
      {"protected", 0, 0x1100, WRPROT_WORN_OUT, 2},
      {"read-only for another reason only", 0, 0x1100, WRPROT_READONLY, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start_rewritable(2, c.last, 0x300000);
    mnt_->next_writable_address = c.nwa;
    mnt_->mntinfo.WriteProtectReasonFlags = c.reasons;
    MDCFS_DISC_USAGE_INFO u{};
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_disc_usage_info(mnt_.get(), &u, &ctx_));
    std::uint32_t per_slot = 0, current = 0;
    ASSERT_EQ(0, mdcudfsr_get_volume_size_info(mnt_.get(), &ctx_, nullptr, nullptr, &per_slot, &current, 0));
    EXPECT_EQ(2, u.TotalNumberOfDiscs);
    EXPECT_EQ(c.last, u.LastWrittenDiscIndex);
    EXPECT_EQ(c.last, u.CurrentDiscIndex);
    EXPECT_EQ(std::uint64_t{per_slot} * 2048, std::uint64_t{u.TotalSize});
    EXPECT_EQ(std::uint64_t{current} * 2048, std::uint64_t{u.RemainingSize});
    EXPECT_EQ(c.state, u.Condition) << std::uint64_t{u.RemainingSize};
  }
}

TEST_F(TrackRequests, DiscUsageWithShortResources) {
  for (std::uint8_t last : {0, 1}) {
    start_write_once(2, last, 0x2000, 0x100000, 256);
    MDCFS_DISC_USAGE_INFO u{};
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_disc_usage_info(mnt_.get(), &u, &ctx_));
    EXPECT_NE(0u, std::uint64_t{u.RemainingSize});
    EXPECT_EQ(last == 0 ? 1 : 2, u.Condition) << int(last);
    EXPECT_EQ(0u, mnt_->mntinfo.WriteProtectReasonFlags) << "asked with an output: nothing switched";
  }
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_disc_usage_info(mnt_.get(), nullptr, &ctx_));
}

TEST_F(TrackRequests, FinalizeCheck) {
  start_volume(udf_test::MediumClass::WriteOnce);
  EXPECT_EQ(0, mdcudfsr_check_finalize_disc(mnt_.get(), &ctx_)) << "an appendable disc, LVID recording";
  EXPECT_TRUE(logged("ALL Erase check finalize disc \n"));

  stop_drive_client();
  sim_->cartridge().disc(0).status = kelsim::DiscStatus::Complete;
  sim_->cartridge().save();
  start_drive_client();
  EXPECT_EQ(22, mdcudfsr_check_finalize_disc(mnt_.get(), &ctx_)) << "a complete disc";
}

}  // namespace
