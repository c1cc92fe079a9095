// The media-resource check, the process checks, device and mount information
// and the rollback check at mount, against the simulated drive.
#include "vfs_support.h"

#include "drive/device_control.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_volume_info.h"

#include <cstring>

namespace {

using namespace vfs_test;

class Resources : public SimVolume {};

TEST_F(Resources, ShortResourcesOfTheWriteOnceDisc) {
  struct Case {
    const char* what;
    std::uint32_t blocks, map_entries, updates;
    bool sufficient;
    const char* message;
  } cases[] = {
      {"plenty", 0x50000, 0x1000, 0x1000, true, nullptr},
      {"sectors", 0x40000, 0x1000, 0x1000, false, "Insufficent resource. remain sector size is 262144\n"},
      {"map entries", 0x50000, 256, 0x1000, false, "pow map entry is 256 and pow remain updates is 4096 \n"},
      {"updates", 0x50000, 0x1000, 100, false, "pow map entry is 4096 and pow remain updates is 100 \n"},
      {"just enough", 0x40020, 257, 101, true, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimOptions o;
    o.disc_blocks = c.blocks;
    o.pow_map_entries = c.map_entries;
    o.pow_updates = c.updates;
    start(o);
    std::int32_t sufficient = -1;
    ASSERT_EQ(0, mdcudfsr_check_media_resources(mnt_.get(), 1, &ctx_, &sufficient));
    EXPECT_EQ(c.sufficient ? 1 : 0, sufficient);
    if (c.message) { EXPECT_TRUE(logged(c.message)); }
    EXPECT_EQ(0u, mnt_->mntinfo.WriteProtectReasonFlags) << "with an output nothing is switched";
  }
}

TEST_F(Resources, LastSlotWithoutOutputTurnsWornOut) {
  for (std::uint8_t slot : {11, 10}) {
    SimOptions o;
    o.disc_blocks = 0x30000;
    o.loaded_slot = slot;
    start(o);
    ASSERT_EQ(0, mdcudfsr_check_media_resources(mnt_.get(), 1, &ctx_, nullptr));
    EXPECT_EQ(slot == 11 ? 0x800u : 0u, mnt_->mntinfo.WriteProtectReasonFlags) << int(slot);
    EXPECT_EQ(slot == 11, logged("Insufficent resource. be Read Only Mount\n"));
  }
}

TEST_F(Resources, FinalizedDiscSkipsTheSectorCheck) {
  SimOptions o;
  o.disc_blocks = 0x2000;
  start(o);
  mnt_->mntinfo.WriteProtectReasonFlags = 0x1000;
  std::int32_t sufficient = -1;
  ASSERT_EQ(0, mdcudfsr_check_media_resources(mnt_.get(), 1, &ctx_, &sufficient));
  EXPECT_EQ(1, sufficient);
}

TEST_F(Resources, OpcFailureOnMountIsReadOnlyElseTheError) {
  for (int on_mount : {1, 0}) {
    SimOptions o;
    o.disc_blocks = 0x50000;
    start(o);
    sim_->drive().add_fault(kelsim::command_fails(0xD5, {0x04, 0x44, 0x00}));
    std::int32_t sufficient = -1;
    const int r = mdcudfsr_check_media_resources(mnt_.get(), on_mount, &ctx_, &sufficient);
    if (on_mount) {
      EXPECT_EQ(0, r);
      EXPECT_EQ(0x80000u, mnt_->mntinfo.WriteProtectReasonFlags);
      EXPECT_EQ(0, sufficient) << "count 0 is short";
      EXPECT_TRUE(logged("Failed to get opc count with status 5, be Read Only\n"));
    } else {
      EXPECT_EQ(5, r);
      EXPECT_TRUE(logged("failed to get opc count with status 5 \n"));
    }
  }
}

TEST_F(Resources, TrackReadFailureIsReturnedAsSufficient) {
  start();
  sim_->drive().add_fault(kelsim::command_fails(0x52, {0x04, 0x44, 0x00}));
  std::int32_t sufficient = -1;
  EXPECT_EQ(30, mdcudfsr_check_media_resources(mnt_.get(), 1, &ctx_, &sufficient));
  EXPECT_EQ(1, sufficient);
}

TEST_F(Resources, ProcessChecks) {
  start();
  mdcudfsr_mount& m = *mnt_;
  EXPECT_FALSE(mdcudfsr_is_privileged_process(&m, 0)) << "none registered";
  m.privileged_pid = 77;
  EXPECT_TRUE(mdcudfsr_is_privileged_process(&m, 77)) << "registered, mode not entered";
  EXPECT_FALSE(mdcudfsr_is_privileged_process(&m, 78));
  EXPECT_FALSE(mdcudfsr_is_privileged_process(nullptr, 77));
  // Every process is named "Application" by the host layer.
  EXPECT_FALSE(mdcudfsr_user_layer_block(&m, 5));
}

TEST_F(Resources, DeviceInformationRepacksOrFailsZeroed) {
  start();
  std::uint8_t rec[MDCFS_DEVICE_INFORMATION_SIZE];
  std::memset(rec, 0xAA, sizeof rec);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_device_information(mnt_.get(), rec, &ctx_));
  EXPECT_EQ(0, std::memcmp(rec, "TARN\0\0\0\0", 8));
  EXPECT_EQ(0, std::memcmp(rec + 8, "QMR-T300B", 9));
  EXPECT_EQ(0, std::memcmp(rec + 24, "1700", 4));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec + 28), 12), sim_->drive().config().serial);

  start();
  sim_->drive().add_fault(kelsim::command_fails(0x12, {0x04, 0x44, 0x00}));
  std::memset(rec, 0xAA, sizeof rec);
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_get_device_information(mnt_.get(), rec, &ctx_));
  for (auto b : rec) ASSERT_EQ(0, b) << "the record is zeroed when the drive fails";
}

TEST_F(Resources, MountInformationComesFromTheDriveLayer) {
  start();
  MDCFS_MOUNT_INFORMATION sent{0x80000500u, 0x80000, 0, 0xE1, 0x10, 0, 0};
  ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&sent), 0, &ctx_));
  MDCFS_MOUNT_INFORMATION got{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_mount_information(mnt_.get(), &got, &ctx_));
  EXPECT_EQ(0x80000500u, got.MountStatus);
  EXPECT_EQ(0xE1, got.MediumType);
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_volume_mount_information(nullptr, &got, &ctx_));
}

TEST_F(Resources, RollbackCheckOnRewritableMedia) {
  SimOptions o;
  o.medium = 0xE2;
  start(o);
  int started = 0;
  EXPECT_EQ(0, mdcudfsr_backtrack_delete_info(mnt_.get(), &ctx_, &started));
  EXPECT_EQ(0, started) << "a blank cartridge has no rollback in progress";
  EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & 0x4000u) << "no attribute 1500h: read-only";
  EXPECT_TRUE(logged("read attribute failed. do read only mount\n"));
}

}  // namespace
