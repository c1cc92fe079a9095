// Track, disc and OPC readers and the media-resource check against the
// simulated drive, through the real drive client.
#include "vfs_support.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_track_info.h"

#include "drive/client_if.h"
#include "drive/scsi_service_wo.h"

namespace {

using namespace vfs_test;

class TrackInfo : public SimVolume {
 protected:
  // Formats the loaded write-once disc with the media services.
  void format() {
    storage_scsi* s = pclient_if->storage();
    scsi_service_wo wo;
    std::uint8_t stamp[8] = {'2', '0', '2', '6', '1', '2', '0', '9'};
    wo.init(s, 0, 0xFFFF, stamp, &cache_);
    std::uint32_t steps = 0;
    Boolean msn = 0;
    ASSERT_EQ(0, wo.auto_format(&steps, false, &msn, s, false));
    s->scsi_cache_clear();
  }
  pxo_attribute_data_t cache_{};
};

TEST_F(TrackInfo, FreeBlocksOfAdrMediaLoseTheDrivesShare) {
  struct Case {
    std::uint8_t medium;
    std::uint32_t blocks;
    std::uint32_t free_blocks;
  } cases[] = {{0xE1, 0x10000, 0x10000}, {0xF1, 0x10000, 0x10000 - 1536}, {0xF2, 0x2000, 0x2000 - 2560}};
  for (const auto& c : cases) {
    SimOptions o;
    o.medium = c.medium;
    o.disc_blocks = c.blocks;
    start(o);
    std::uint32_t nwa = 7, fr = 7;
    std::int32_t size = 0;
    ASSERT_EQ(0, mdcudfsr_read_track_information(mnt_.get(), 1, &nwa, &fr, &size, &ctx_, 1));
    EXPECT_EQ(c.free_blocks, fr) << std::hex << int(c.medium) << " " << c.blocks;
    EXPECT_EQ(0u, nwa);
    EXPECT_EQ(static_cast<std::int32_t>(c.blocks), size);
    EXPECT_TRUE(logged("Track No.1 NWA=0, RemainSects="));
  }
}

TEST_F(TrackInfo, ClosedTrackOneHasNoWritableAddress) {
  start();
  format();
  ASSERT_EQ(0, mdcudfsr_close_track_session(mnt_->devvp));
  std::uint32_t fr = 9;
  EXPECT_EQ(0, mdcudfsr_read_track_information(mnt_.get(), 1, nullptr, &fr, nullptr, &ctx_, 1));
  EXPECT_EQ(0x100u, mnt_->mntinfo.WriteProtectReasonFlags);
  EXPECT_EQ(0x80000030u, mnt_->mntinfo.MountStatus);
  EXPECT_TRUE(logged("Next Writable Area of UDF TRACK is not valid.\n"));
  EXPECT_EQ(0u, vfs_flags(&mp_) & MNT_RDONLY) << "no failure, no read-only switch";

  start();
  mnt_->mntinfo.WriteProtectReasonFlags = 0x1000;  // finalized: an invalid address is expected
  format();
  ASSERT_EQ(0, mdcudfsr_close_track_session(mnt_->devvp));
  EXPECT_EQ(0, mdcudfsr_read_track_information(mnt_.get(), 1, nullptr, nullptr, nullptr, &ctx_, 0));
  EXPECT_EQ(0x1000u, mnt_->mntinfo.WriteProtectReasonFlags);
}

TEST_F(TrackInfo, FailureSwitchesToReadOnlyWhenAsked) {
  for (int ro : {0, 1}) {
    start();
    sim_->drive().add_fault(kelsim::command_fails(0x52, {0x04, 0x44, 0x00}));
    const int r = mdcudfsr_read_track_information(mnt_.get(), 1, nullptr, nullptr, nullptr, &ctx_, ro);
    EXPECT_EQ(ro ? 30 : 5, r);
    EXPECT_EQ(ro != 0, (vfs_flags(&mp_) & MNT_RDONLY) != 0);
    if (ro) {
      EXPECT_EQ(0x80000030u, mnt_->mntinfo.MountStatus);
      EXPECT_EQ(0x100u, mnt_->mntinfo.WriteProtectReasonFlags);
      EXPECT_TRUE(logged("do read only mount\n"));
    }
  }
}

TEST_F(TrackInfo, DiscInformationAndResources) {
  SimOptions o;
  o.pow_map_entries = 300;
  o.pow_updates = 120;
  start(o);
  std::int32_t status = -1, tracks = -1;
  std::uint32_t entries = 0, updates = 0;
  ASSERT_EQ(0, mdcudfsr_read_disc_information(mnt_->devvp, &status, &tracks, &entries, &updates, &ctx_));
  EXPECT_EQ(0, status) << "a blank disc is empty";
  EXPECT_EQ(1, tracks);
  EXPECT_EQ(300u, entries);
  EXPECT_EQ(120u, updates);
  std::uint16_t opc = 0;
  ASSERT_EQ(0, mdcudfsr_get_opc_resource_count(mnt_->devvp, &opc, &ctx_));
  EXPECT_EQ(0x20, opc & 0xFF) << "the drive layer answers the count in the low byte";
  start(o);
  sim_->drive().add_fault(kelsim::command_fails(0x51, {0x04, 0x44, 0x00}));
  EXPECT_EQ(5, mdcudfsr_read_disc_information(mnt_->devvp, &status, nullptr, nullptr, nullptr, &ctx_));
  EXPECT_TRUE(logged("PXOIOCREADDISCINFO failed/5\n"));
}

TEST_F(TrackInfo, RewritableVariantsAnswerFromTheMount) {
  SimOptions o;
  o.medium = 0xE2;
  start(o);
  auto& p = mnt_->part[MDCUDFSR_PARTITION_PHYSICAL];
  p.start_sector = 0x1000;
  p.length = 0x2000ull * 2048;
  mnt_->next_writable_address = 0x2800;
  std::uint32_t nwa = 0, fr = 0;
  std::int32_t size = 0, status = 0, tracks = 0, entries = 0, updates = 0;
  ASSERT_EQ(0, mdcudfsr_read_track_information_re(mnt_.get(), 1, &nwa, &fr, &size));
  EXPECT_EQ(0x2800u, nwa);
  EXPECT_EQ(0x800u, fr);
  EXPECT_EQ(0x2000, size);
  ASSERT_EQ(0, mdcudfsr_read_disc_information_re(mnt_.get(), mnt_->devvp, &status, &tracks, &entries, &updates));
  EXPECT_EQ(1, status);
  EXPECT_EQ(1, tracks);
  EXPECT_EQ(0x800, entries);
  EXPECT_EQ(0x40, updates);
  std::uint16_t opc = 0;
  ASSERT_EQ(0, mdcudfsr_get_opc_resource_count_re(mnt_.get(), mnt_->devvp, &opc, &ctx_));
  EXPECT_EQ(128, opc);
  mnt_->next_writable_address = 0x4000;
  ASSERT_EQ(0, mdcudfsr_read_track_information_re(mnt_.get(), 1, nullptr, &fr, nullptr));
  EXPECT_EQ(0u, fr) << "an address past the end leaves nothing free";

  mnt_->medium_type = 0xE1;
  EXPECT_EQ(22, mdcudfsr_read_track_information_re(mnt_.get(), 1, &nwa, &fr, &size));
  EXPECT_EQ(2u, mnt_->mntinfo.AccessMode);
  EXPECT_EQ(0x80000200u, mnt_->mntinfo.MountStatus);
  EXPECT_EQ(0x80000u, mnt_->mntinfo.WriteProtectReasonFlags);
  EXPECT_EQ(1, mnt_->pending_error_report);
}

TEST_F(TrackInfo, ZoneIdsToAllocationDescriptorTypes) {
  start();
  mnt_->num_discs = 1;
  struct Case {
    std::uint32_t zone;
    int result;
    std::int32_t type;
  } cases[] = {{0xFFFFFFFFu, 0, 3}, {0, 0, 1}, {1, 22, -1}, {12, 22, -1}};
  for (const auto& c : cases) {
    std::int32_t type = -1;
    EXPECT_EQ(c.result, mdcudfsr_get_adtype_from_zoneid(mnt_.get(), c.zone, &type)) << c.zone;
    EXPECT_EQ(c.type, type) << c.zone;
  }
  EXPECT_EQ(22, mdcudfsr_get_adtype_from_zoneid(mnt_.get(), 0, nullptr));
  EXPECT_TRUE(logged("Illegal Zone ID (1)\n"));
}

}  // namespace
