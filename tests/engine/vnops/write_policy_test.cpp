// Write policy, media write protection and volume identification against
// the simulated drive.
#include "fsctl_support.h"
#include "vfs_support.h"

#include "kel/mdcfs.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvnops/mdcudfsr_write_policy.h"
#include "udf/udf_vds_rules.h"

#include <cstring>
#include <string>

namespace {

using namespace vfs_test;
using fsctl_test::seed_cm;

class WritePolicy : public SimVolume {};

TEST(WritePolicyValues, ThresholdsOfThePages) {
  struct Case {
    const char* what;
    mdcudfsr_policy_pages pages;
    int volume_type;
    std::uint32_t medium;
    std::uint32_t optimal, reserve, cluster, parity, margin, last_margin, window;
    int result;
  } cases[] = {
      {"no block page, type 1", {5, 0, 0, 0, 0}, 1, 0xE1, 32, 0x4200, 0x4200, 0, 0x80000, 0x80000, 0, 0},
      {"zero read/write size", {0, 600, 0, 0, 0}, 0, 0xE1, 32, 0x4200, 0x10200, 512, 0x80000, 0x80000, 0, 0},
      {"reserve 527", {0, 527, 8, 0, 0}, 1, 0xE1, 256, 0x4200, 0x4200, 0, 0x80000, 0x80000, 0, 0},
      {"reserve 528", {0, 528, 8, 0, 0}, 1, 0xE1, 256, 0x4200, 0x4200, 0, 0x80000, 0x80000, 0, 0},
      {"reserve 529", {0, 529, 8, 0, 0}, 1, 0xE1, 256, 0x4220, 0x4220, 0, 0x80000, 0x80000, 0, 0},
      {"threshold halves, type 1", {0, 528, 8, 0, 0x4000}, 1, 0xE1, 256, 0x2000, 0x4000, 0, 0x80000, 0x80000,
       0x4000, 0},
      {"threshold halves, type 0", {0, 528, 8, 0, 0x4000}, 0, 0xF2, 256, 0x2000, 0x10200, 512, 0x180000, 0x400000,
       0x4000, 0},
      {"threshold above reserve", {0, 528, 8, 0, 0x8000}, 0, 0xF1, 256, 0x4200, 0x10200, 512, 0x180000, 0x300000,
       0x8000, 0},
      {"recovery page fails", {0, 528, 8, 5, 0x4000}, 0, 0xE2, 256, 0x4200, 0x10200, 512, 0x80000, 0x80000, 0, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MDCFS_WRITE_POLICY_INFORMATION w{};
    EXPECT_EQ(c.result, mdcudfsr_compute_write_policy(c.pages, c.volume_type, c.medium, &w));
    EXPECT_EQ(c.optimal, w.OptimalReadWriteBlocks);
    EXPECT_EQ(c.reserve, w.ReserveWriteBlocks);
    EXPECT_EQ(c.cluster, w.WriteClusterBlocks);
    EXPECT_EQ(c.parity, w.ParityInClusterBlocks);
    EXPECT_EQ(c.margin, w.DiscFullMarginBlocks);
    EXPECT_EQ(c.last_margin, w.DiscFullMarginBlocksForLastDisc);
    EXPECT_EQ(c.window, w.ErrorReportingWindowBlocks);
    EXPECT_EQ(c.volume_type == 0 ? 0x2u : 0u, w.ModeFlags);
  }
}

TEST_F(WritePolicy, FromTheDrivesPages) {
  struct Case {
    std::uint8_t medium;
    std::string product;
    std::uint32_t flags;
    std::uint32_t mode, optimal, margin, last_margin;
  } cases[] = {
      {0xE1, "QMR-T300B", 0x200, 3, 256, 0x80000, 0x80000},
      {0xF1, "QMR-T400B", 0, 2, 256, 0x180000, 0x300000},
      {0xF2, "QMR-T400B", 0x200, 3, 256, 0x180000, 0x400000},
      {0xE1, "QMR-T10A", 0, 2, 32, 0x80000, 0x80000},  // no block-size page: defaults
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product + " " + std::to_string(c.medium));
    SimOptions o;
    o.medium = c.medium;
    o.product = c.product;
    start(o);
    mnt_->mount_ext_flags = c.flags;
    MDCFS_WRITE_POLICY_INFORMATION w{};
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_write_policy_info(mnt_.get(), &w, &ctx_));
    EXPECT_EQ(c.mode, w.ModeFlags);
    EXPECT_EQ(0x10200u, w.WriteClusterBlocks);
    EXPECT_EQ(512u, w.ParityInClusterBlocks);
    EXPECT_EQ(c.margin, w.DiscFullMarginBlocks);
    EXPECT_EQ(c.last_margin, w.DiscFullMarginBlocksForLastDisc);
    EXPECT_EQ(c.optimal, w.OptimalReadWriteBlocks);
    EXPECT_EQ(0x4200u, w.ReserveWriteBlocks);
    EXPECT_EQ(c.optimal * 2048, mnt_->rw_unit_bytes);
    EXPECT_EQ(c.optimal == 32, logged("Get Read Write Block Size failed. Set default param."));
  }
}

TEST_F(WritePolicy, MediaWriteProtection) {
  start();
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_disable_media_write(mnt_.get(), &ctx_));
  EXPECT_EQ(WRPROT_CM_PROTECTED, mnt_->mntinfo.WriteProtectReasonFlags & WRPROT_CM_PROTECTED);
  EXPECT_EQ(std::vector<std::uint8_t>{1}, fsctl_test::attribute(sim_->cartridge(), 0x0D03));
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_enable_media_write(mnt_.get(), &ctx_));
  EXPECT_EQ(0u, mnt_->mntinfo.WriteProtectReasonFlags & WRPROT_CM_PROTECTED);
  EXPECT_EQ(std::vector<std::uint8_t>{0}, fsctl_test::attribute(sim_->cartridge(), 0x0D03));

  // A drive that refuses the attribute changes nothing.
  sim_->drive().add_fault(kelsim::command_fails(0x8D, {0x05, 0x24, 0x00}));
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_disable_media_write(mnt_.get(), &ctx_));
  EXPECT_EQ(0u, mnt_->mntinfo.WriteProtectReasonFlags & WRPROT_CM_PROTECTED);
  EXPECT_TRUE(logged("write attribute failed. err = "));
}

TEST_F(WritePolicy, VolumeSetIdentifierAsRecorded) {
  start_volume(udf_test::MediumClass::WriteOnce);
  std::uint8_t rec[128];
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_set_identify(mnt_.get(), rec));
  EXPECT_EQ(0, std::memcmp(rec, mnt_->vds.pvd.volset_id, 128));
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_volume_set_identify(mnt_.get(), nullptr));
}

TEST_F(WritePolicy, IdentifierStringNeedsRoomForItsTerminator) {
  start_volume(udf_test::MediumClass::WriteOnce);
  const std::string text = "5A8B1234KELFS   ";
  mdcfs_volset_identify_string r{0, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_set_identify_string(mnt_.get(), &r));
  ASSERT_EQ(text.size() + 1, r.BufferLength);

  char buf[600];
  for (std::uint32_t length : {static_cast<std::uint32_t>(text.size()), std::uint32_t{1}}) {
    std::memset(buf, '#', sizeof buf);
    r = {length, reinterpret_cast<std::uintptr_t>(buf)};
    EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_volume_set_identify_string(mnt_.get(), &r)) << length;
    EXPECT_EQ('#', buf[0]) << "nothing is copied";
  }
  for (std::uint32_t length : {static_cast<std::uint32_t>(text.size() + 1), std::uint32_t{600}}) {
    std::memset(buf, '#', sizeof buf);
    r = {length, reinterpret_cast<std::uintptr_t>(buf)};
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_set_identify_string(mnt_.get(), &r)) << length;
    EXPECT_EQ(text, std::string(buf)) << length;
    EXPECT_EQ('#', buf[text.size() + 1]) << "only the string and its NUL are written";
  }
}

TEST_F(WritePolicy, IdentifyInfoCarriesThePositionWord) {
  start_volume(udf_test::MediumClass::WriteOnce);
  stop_drive_client();
  seed_cm(sim_->cartridge(), 0x08000100u);
  start_drive_client();
  mdcfs_vol_identify_info info{};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_volume_identify_info(mnt_.get(), &info, &ctx_));
  EXPECT_EQ(0, std::memcmp(info.VolumeSetId, mnt_->vds.pvd.volset_id + 17, 32));
  EXPECT_EQ(7, info.TagSerialNumber);
  EXPECT_EQ(0x5A8B1234u, std::uint32_t{info.InitializationTime});
  EXPECT_EQ(0x08000100u, std::uint32_t{info.PositionWord});
}

TEST_F(WritePolicy, IdentifyInfoComputesThePositionWhenTheMemoryFails) {
  start_volume(udf_test::MediumClass::WriteOnce);  // a blank cartridge memory: no 0800h-1504h
  mnt_->current_disc = 2;
  mnt_->metadata_file_loc = 0x1000;
  mdcfs_vol_identify_info info{};
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_get_volume_identify_info(mnt_.get(), &info, &ctx_));
  EXPECT_EQ(0x5A8B1234u, std::uint32_t{info.InitializationTime});
  EXPECT_EQ(0x08000100u, std::uint32_t{info.PositionWord});
  EXPECT_EQ(mdcudfsr_vuvi_encode(2, 0x1000), std::uint32_t{info.PositionWord});
  EXPECT_TRUE(logged("read attribute is failed Status:"));
  EXPECT_EQ(0u, mnt_->mntinfo.WriteProtectReasonFlags) << "a query does not switch the volume read-only";
}

}  // namespace
