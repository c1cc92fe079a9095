// Reserved and verified ranges, the drive cache and the write-verify mode
// against the simulated drive.
#include "vfs_support.h"

#include "kel/mdcfs.h"
#include "kelvnops/mdcudfsr_range_requests.h"
#include "kelvnops/mdcudfsr_track_info.h"

#include <algorithm>
#include <cstring>

namespace {

using namespace vfs_test;

class Ranges : public SimVolume {
 protected:
  void start_with_partition(const SimOptions& o = {}) {
    start(o);
    mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector = 4096;
    mnt_->part[MDCUDFSR_PARTITION_PHYSICAL].length = std::uint64_t{o.disc_blocks - 4096} * 2048;
    mnt_->privileged_pid = 42;  // the context's process
    take_opcodes();
  }
  bool sent(std::uint8_t opcode) {
    const auto ops = take_opcodes();
    return std::find(ops.begin(), ops.end(), opcode) != ops.end();
  }
};

TEST_F(Ranges, ReserveRefusesRangesOutsideTheVolume) {
  start_with_partition();
  const std::uint32_t blocks = 0x10000 - 4096;
  const MDCFS_SPACE_ENTRY bad[] = {
      {static_cast<std::int32_t>(mnt_->num_discs), 0, 32},  // zone = number of slots
      {-1, 0, 32},
      {0, static_cast<std::int32_t>(blocks), 32},          // past the partition
      {0, 0x100, 0},
      {0, 0x100, -5},
      {0, static_cast<std::int32_t>(blocks - 16), 32},     // runs past the end
  };
  for (const auto& e : bad) {
    EXPECT_EQ(22, mdcudfsr_mdcfsctrl_reserve_write_range(mnt_.get(), &e, &ctx_)) << e.ZoneId << "/" << e.BlockOffset;
    EXPECT_EQ(22, mdcudfsr_mdcfsctrl_verify_range(mnt_.get(), &e, &ctx_));
  }
  EXPECT_TRUE(take_opcodes().empty()) << "nothing reaches the drive";
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_reserve_write_range(mnt_.get(), nullptr, &ctx_));
}

TEST_F(Ranges, ReserveLoadsTheZonesDiscAndReserves) {
  SimOptions o;
  o.loaded_slot = 1;
  start_with_partition(o);
  const MDCFS_SPACE_ENTRY e{0, 0x100, 64};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_reserve_write_range(mnt_.get(), &e, &ctx_));
  EXPECT_EQ(0, sim_->cartridge().loaded_slot) << "the zone's disc is loaded first";
  ASSERT_EQ(1u, sim_->drive().observed().reserved_writes.size());
  EXPECT_EQ((std::pair<std::uint32_t, std::uint32_t>{4096 + 0x100, 64}), sim_->drive().observed().reserved_writes[0]);
  EXPECT_EQ(0u, mnt_->next_writable_address) << "write-once media keep no address of their own";

  sim_->drive().add_fault(kelsim::command_fails(0xD2, {0x05, 0x21, 0x00}));
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_reserve_write_range(mnt_.get(), &e, &ctx_));
}

TEST_F(Ranges, VerifySendsNoVerifyInEitherMode) {
  start_with_partition();
  const MDCFS_SPACE_ENTRY e{0, 0x100, 32};
  for (std::uint32_t mode : {0u, 1u}) {
    clear_log();
    mnt_->verify_mode = mode;
    EXPECT_EQ(0, mdcudfsr_mdcfsctrl_verify_range(mnt_.get(), &e, &ctx_));
    EXPECT_FALSE(sent(0x2F)) << mode;
    EXPECT_EQ(mode == 0, logged("verify write mode off but call verify fsctl \n"));
  }
}

TEST_F(Ranges, ScanAnswersWithoutScanning) {
  start_with_partition();
  mdcfs_scan_range r{};
  std::memset(&r, 0x55, sizeof r);
  r.ZoneId = 1;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_scan_range(mnt_.get(), &r));
  EXPECT_EQ(0xF0, r.Result);
  for (auto b : r.Cleared) EXPECT_EQ(0, b);
  r.ZoneId = mnt_->num_discs;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_scan_range(mnt_.get(), &r));
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_scan_range(mnt_.get(), nullptr));
  EXPECT_TRUE(take_opcodes().empty());
}

TEST_F(Ranges, SyncDriveCacheReachesTheDrive) {
  start_with_partition();
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_sync_drive_cache(mnt_.get(), &ctx_));
  EXPECT_TRUE(sent(0x35));
  sim_->drive().add_fault(kelsim::command_fails(0x35, {0x03, 0x0C, 0x00}));
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_sync_drive_cache(mnt_.get(), &ctx_));
}

TEST_F(Ranges, TemporaryVerifyModeIsSetOnceAndUndone) {
  start_with_partition();
  mnt_->verify_mode = 0;
  const std::uint32_t on = 1;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), &on, &ctx_));
  EXPECT_EQ(1u, mnt_->verify_mode);
  EXPECT_EQ(1u, mnt_->is_temp_verify_mode);
  EXPECT_TRUE(sent(0x55)) << "the drive's reallocation control is switched";
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), &on, &ctx_)) << "twice without a reset";
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_reset_write_verify_mode(mnt_.get(), &ctx_));
  EXPECT_EQ(0u, mnt_->verify_mode);
  EXPECT_EQ(0u, mnt_->is_temp_verify_mode);
  EXPECT_TRUE(sent(0x55));
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_reset_write_verify_mode(mnt_.get(), &ctx_));
  EXPECT_FALSE(sent(0x55)) << "nothing to undo";
}

TEST_F(Ranges, VerifyModeRefusals) {
  start_with_partition();
  const std::uint32_t on = 1;
  mnt_->privileged_pid = 7;
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), &on, &ctx_));
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_reset_write_verify_mode(mnt_.get(), &ctx_));
  mnt_->privileged_pid = 42;
  mnt_->exclusive_io_mode = 1;
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), &on, &ctx_));
  EXPECT_EQ(1, mdcudfsr_mdcfsctrl_reset_write_verify_mode(mnt_.get(), &ctx_));
  mnt_->exclusive_io_mode = 0;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), nullptr, &ctx_));
  EXPECT_EQ(0u, mnt_->verify_mode);
  EXPECT_FALSE(sent(0x55));
}

TEST_F(Ranges, AdrMediaKeepTheirVerifyMode) {
  for (std::uint8_t medium : {0xF1, 0xF2, 0xE5}) {
    SimOptions o;
    o.medium = medium;
    start_with_partition(o);
    mnt_->privileged_pid = 7;  // not even the privilege is asked for
    const std::uint32_t on = 1;
    EXPECT_EQ(0, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), &on, &ctx_));
    EXPECT_EQ(0u, mnt_->verify_mode);
    EXPECT_EQ(0u, mnt_->is_temp_verify_mode);
  }
}

TEST_F(Ranges, FailedDriveSettingKeepsTheOldMode) {
  start_with_partition();
  sim_->drive().add_fault(kelsim::command_fails(0x55, {0x05, 0x24, 0x00}));
  const std::uint32_t on = 1;
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_set_write_verify_mode(mnt_.get(), &on, &ctx_));
  EXPECT_EQ(0u, mnt_->verify_mode);
  EXPECT_EQ(0u, mnt_->is_temp_verify_mode);
  EXPECT_TRUE(logged("failed to set reallocation control status="));
}

TEST_F(Ranges, RewritableResourcesStopAtTheEnd) {
  SimOptions o;
  o.medium = 0xE2;
  start_with_partition(o);
  const std::uint32_t end = 4096 + (0x10000 - 4096);
  for (auto [nwa, left] : {std::pair{end - 64, 64}, {end, 0}, {end + 32, 0}}) {
    mnt_->next_writable_address = nwa;
    std::int32_t entries = -1, updates = -1;
    ASSERT_EQ(0, mdcudfsr_read_disc_information_re(mnt_.get(), mnt_->devvp, nullptr, nullptr, &entries, &updates));
    EXPECT_EQ(left, entries) << nwa;
    EXPECT_EQ(left >> 5, updates);
  }
}

}  // namespace
