// The defect routines of rewritable media against the simulated drive.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_defect.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "sim/drive.h"

#include <algorithm>

namespace {

using namespace vfs_test;

class Defects : public SimVolume {};

TEST_F(Defects, WriteOnceMediaAreRefusedAndMarked) {
  start_volume(udf_test::MediumClass::WriteOnce);
  take_opcodes();
  uint32_t changed = 7;
  EXPECT_EQ(22, mdcudfsr_find_defect_and_change_NWA(mnt_.get(), &ctx_, 0x1100, 1, &changed));
  EXPECT_EQ(7u, changed);
  EXPECT_EQ(22, mdcudfsr_make_defect_map(mnt_.get(), &ctx_, 0));
  EXPECT_EQ(2u, mnt_->mntinfo.AccessMode);
  EXPECT_EQ(MNTSTATUS_UNKNOWN_VOLUME, mnt_->mntinfo.MountStatus);
  EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & 0x80000u);
  for (std::uint8_t op : take_opcodes()) EXPECT_NE(op, 0xAD) << "no defect list is read";
}

TEST_F(Defects, ARebuiltMapWithoutDefectsKeepsTheAddress) {
  start_volume(udf_test::MediumClass::Rewritable);
  take_opcodes();
  ASSERT_EQ(0, mdcudfsr_make_defect_map(mnt_.get(), &ctx_, 0));
  const auto sent = take_opcodes();
  EXPECT_NE(std::find(sent.begin(), sent.end(), 0xAD), sent.end()) << "the defect list is read";
  mnt_->next_writable_address = 0x2000;
  uint32_t changed = 7;
  ASSERT_EQ(0, mdcudfsr_find_defect_and_change_NWA(mnt_.get(), &ctx_, 0x1100, 1, &changed));
  EXPECT_EQ(0u, changed);
  EXPECT_EQ(0x2000u, mnt_->next_writable_address);
  EXPECT_EQ(0, mdcudfsr_find_defect_and_change_NWA(mnt_.get(), &ctx_, 0x1100, 33, nullptr));
}

TEST_F(Defects, AFailedRebuildIsReturnedAndTheSearchThenFails) {
  start_volume(udf_test::MediumClass::Rewritable);
  const int fault = sim_->drive().add_fault(kelsim::command_fails(0xAD, {0x03, 0x11, 0x00}));
  EXPECT_NE(0, mdcudfsr_make_defect_map(mnt_.get(), &ctx_, 0));
  EXPECT_GT(sim_->drive().fault_fired(fault), 0);
  EXPECT_TRUE(logged("ioctl:PXOIOREBUILDDFLMAP failed."));
  mnt_->next_writable_address = 0x2000;
  EXPECT_NE(0, mdcudfsr_find_defect_and_change_NWA(mnt_.get(), &ctx_, 0x1100, 32, nullptr));
  EXPECT_TRUE(logged("ioctl:PXOIOSEARCHNEXTNWA error."));
  EXPECT_EQ(0x2000u, mnt_->next_writable_address);
}

}  // namespace
