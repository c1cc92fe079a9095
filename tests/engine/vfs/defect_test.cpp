// The defect routines of rewritable media against the simulated drive.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_defect.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "sim/drive.h"

#include <algorithm>
#include <cctype>
#include <string>

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

// The search near the end of the partition: the drive's defect map reaches
// beyond the disc, so a move past the end is refused and the mount's address
// stays. `defect` and `at` count back from the partition end (rounded down
// to a 32-block cluster); no defect when `defect` is 0.
struct EndCase {
  const char* what;
  std::uint32_t defect, at, blocks;
  int result;
  std::int32_t moved_by;  // from `at`; meaningful when result is 0
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.what; }

class DefectsAtTheEnd : public SimVolume, public ::testing::WithParamInterface<EndCase> {};

TEST_P(DefectsAtTheEnd, TheSearchStaysInsideThePartition) {
  const EndCase& c = GetParam();
  start_volume(udf_test::MediumClass::Rewritable);
  ASSERT_EQ(0, mdcudfsr_init_partitions(mnt_.get(), &ctx_, 0, 0));
  const mdcudfsr_partition_entry& p = mnt_->part[MDCUDFSR_PARTITION_PHYSICAL];
  ASSERT_NE(0u, p.length);
  const std::uint32_t end = p.start_sector + static_cast<std::uint32_t>(p.length / mnt_->logical_block_size);
  const std::uint32_t last = end & ~31u;
  if (c.defect) { ASSERT_EQ(0u, sim_->drive().add_defect(0, kelsim::defect_at(last - c.defect))); }
  ASSERT_EQ(0, mdcudfsr_make_defect_map(mnt_.get(), &ctx_, 0));
  mnt_->next_writable_address = 0x2000;
  std::uint32_t changed = 7;
  EXPECT_EQ(c.result, mdcudfsr_find_defect_and_change_NWA(mnt_.get(), &ctx_, last - c.at, c.blocks, &changed));
  if (c.result == 0) {
    EXPECT_EQ(c.moved_by != 0, changed != 0);
    EXPECT_EQ(c.moved_by ? last - c.at + c.moved_by : 0x2000u, mnt_->next_writable_address);
  } else {
    EXPECT_TRUE(logged("lies past the end"));
    EXPECT_EQ(0x2000u, mnt_->next_writable_address) << "no address past the end is kept";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DefectsAtTheEnd,
    ::testing::Values(EndCase{"the last cluster is free", 0, 32, 32, 0, 0},
                      EndCase{"a defect moves the address inside", 64, 64, 32, 0, 32},
                      EndCase{"a defect in the last cluster", 32, 32, 32, 22, 0},
                      EndCase{"a defect before the last cluster, two clusters asked", 64, 64, 64, 22, 0},
                      EndCase{"the range asked passes the end", 0, 16, 32, 22, 0}),
    [](const ::testing::TestParamInfo<EndCase>& i) {
      std::string n = i.param.what;
      for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

}  // namespace
