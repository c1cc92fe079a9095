// The disc change against the simulated changer, through the real drive
// client: the command order, every failure row, and the rate guard.
#include "vfs_support.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"

#include <algorithm>

namespace {

using namespace vfs_test;

bool in_order(const std::vector<std::uint8_t>& ops, std::initializer_list<std::uint8_t> want) {
  auto at = ops.begin();
  for (auto w : want) {
    at = std::find(at, ops.end(), w);
    if (at == ops.end()) return false;
    ++at;
  }
  return true;
}

class DiscChange : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    start();
    mnt_->mntinfo.MediumType = 0xE1;
  }
  void guard(std::uint32_t smpls, std::uint32_t steps, std::uint32_t interval) {
    mnt_->WtchSmpls = smpls;
    mnt_->WtchSteps = steps;
    mnt_->DscChngWtchIvalSec = interval;
    mnt_->watch_ring = new std::uint64_t[steps]();
  }
  int change(std::uint32_t slot, int invalidate = 0, int on_mount = 0) {
    return mdcudfsr_disc_change(mnt_.get(), slot, invalidate, &ctx_, on_mount);
  }
};

TEST_F(DiscChange, KeepAndSameSlotSendNothing) {
  take_opcodes();
  EXPECT_EQ(0, change(0x99, 1));
  EXPECT_EQ(0, change(0x199, 1)) << "only the low byte counts";
  EXPECT_EQ(0, change(0xFF));
  EXPECT_TRUE(take_opcodes().empty());
  EXPECT_EQ(1, count_log("not change slot\n"));
}

TEST_F(DiscChange, ChangeRunsTheCommandsInOrder) {
  take_opcodes();
  ASSERT_EQ(0, change(3, 1));
  const auto ops = take_opcodes();
  // Load, mechanism status, write verify (MODE SELECT), unique id (INQUIRY),
  // TEST UNIT READY last.
  EXPECT_TRUE(in_order(ops, {0xA6, 0xBD, 0x55, 0x12, 0x00}));
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(0x00, ops.back());
  EXPECT_EQ(3u, mnt_->loaded_slot);
  EXPECT_EQ(3, sim_->cartridge().loaded_slot);
  EXPECT_TRUE(logged("DISC CHANGE:0 -> 3 Process=Application pid=42\n"));
  EXPECT_TRUE(logged("DISC CHANGE:0 -> 3 Success. DiscChangeTotalNum:0 MediumUniqueID:"));
}

TEST_F(DiscChange, FailureRows) {
  struct Case {
    const char* what;
    std::uint8_t opcode;
    int on_mount;
    std::string message;
    bool read_only;
  } cases[] = {
      {"load, not mounting", 0xA6, 0, "Slot:2 disc load failed without mounting set readonly status Status = 5 \n",
       true},
      {"load, mounting", 0xA6, 1, "Slot:2 disc load failed on mounting err = 5 \n", false},
      {"mechanism status, mounting", 0xBD, 1, "failed on mounting err = 5 \n", false},
      {"mechanism status, not mounting", 0xBD, 0, "disc load failed without mounting set readonly status", true},
      {"write verify, not mounting", 0x55, 0, "disc load failed without mounting set readonly status", true},
      {"write verify, mounting", 0x55, 1, "MODE SELECT(20H) failed on mounting err = 5 \n", false},
      {"test unit ready", 0x00, 0, "Slot:2 TEST UNIT READY failed. err = 5\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start();
    mnt_->mntinfo.MediumType = 0xE1;
    const int id = sim_->drive().add_fault(kelsim::command_fails(c.opcode, {0x04, 0x44, 0x00}));
    EXPECT_EQ(5, change(2, 0, c.on_mount));
    EXPECT_GT(sim_->drive().fault_fired(id), 0);
    EXPECT_TRUE(logged(c.message));
    EXPECT_EQ(c.read_only, (vfs_flags(&mp_) & MNT_RDONLY) != 0);
    if (c.read_only) {
      EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
      EXPECT_EQ(0x1u, mnt_->mntinfo.WriteProtectReasonFlags & 0x1u);
    }
    if (c.opcode == 0x00) { EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus); }
  }
}

TEST_F(DiscChange, SlotCheckFailsOnAnotherSlotOrChangerBits) {
  struct Case {
    std::uint8_t bits;
    int reported;
  } cases[] = {{0x80, -1}, {0x20, -1}, {0x40, -1}, {0x00, 5}};
  for (const auto& c : cases) {
    start();
    sim_->drive().set_mechanism_bits(c.bits);
    sim_->drive().set_reported_slot(c.reported);
    EXPECT_EQ(22, change(2)) << int(c.bits) << " " << c.reported;
    EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
    EXPECT_EQ(0x80000u, mnt_->mntinfo.WriteProtectReasonFlags);
    EXPECT_EQ(0u, vfs_flags(&mp_) & MNT_RDONLY) << "not made read-only";
    EXPECT_EQ(0u, mnt_->loaded_slot);
    EXPECT_TRUE(logged("No Match Slot Number. \n"));
  }
}

TEST_F(DiscChange, WriteProtectedCartridgeAddsItsReason) {
  sim_->drive().set_write_protect(true);
  ASSERT_EQ(0, change(1));
  EXPECT_EQ(0x400u, mnt_->mntinfo.WriteProtectReasonFlags & 0x400u);
  EXPECT_TRUE(logged("Slot:1 disc mechanism status write protected. CWP = 3\n"));
}

TEST_F(DiscChange, AnotherMediumTypeIsRefused) {
  mnt_->medium_type = 0xE3;
  EXPECT_EQ(22, change(1));
  EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
  EXPECT_TRUE(logged("Slot:1 media type invalid. (DEVICE = E3:E1)\n"));
}

TEST_F(DiscChange, LastWrittenSlotAndInvalidation) {
  mnt_->current_disc = 4;
  ASSERT_EQ(0, change(0xFF, 1));
  EXPECT_EQ(4, sim_->cartridge().loaded_slot);
  EXPECT_EQ(4u, mnt_->loaded_slot);
}

TEST_F(DiscChange, GuardWithOneSamplePerStampComparesWithTheFirst) {
  guard(1, 2, 100);
  ASSERT_EQ(0, change(1));
  EXPECT_EQ(mnt_->watch_ring[0], mnt_->watch_ring[1]) << "the first change stamps both";
  const std::uint64_t first = mnt_->watch_ring[0];
  clock_.advance(100000);  // 100 s later: not within the interval
  ASSERT_EQ(0, change(0));
  EXPECT_GT(mnt_->watch_ring[0], first) << "change 2 compared with ring[0] and restamped it";
  EXPECT_EQ(0, mnt_->delay_guard);
}

TEST_F(DiscChange, EmergencyGuardTripsAfterSixtyFastChanges) {
  guard(10, 6, 60);
  int result = 0;
  int n = 0;
  while (n < 60 && result == 0) result = change(static_cast<std::uint32_t>(++n % 2));
  EXPECT_EQ(60, n);
  EXPECT_EQ(1, result) << "the tripping change is carried through";
  EXPECT_EQ(0u, mnt_->loaded_slot);
  EXPECT_EQ(1u, mnt_->system_guard);
  EXPECT_EQ(0x80000003u, mnt_->mntinfo.MountStatus);
  EXPECT_NE(0u, vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_TRUE(logged("Change disk system emergency guard mode.\n"));
  EXPECT_TRUE(logged("DiscChangeNumTotal 60. "));
  EXPECT_EQ(22, change(1));
  EXPECT_TRUE(logged("disc change system guard. stop disc change\n"));
}

TEST_F(DiscChange, DelayGuardInPrivilegedModeAndNoGuardWithoutInterval) {
  for (int privileged : {1, 0}) {
    start();
    mnt_->mntinfo.MediumType = 0xE1;
    guard(1, 2, privileged ? 60 : 0);
    mnt_->privileged_mode = privileged;
    int last = 0;
    for (int n = 1; n <= 6; ++n) last = change(static_cast<std::uint32_t>(n % 2));
    EXPECT_EQ(0, last);
    EXPECT_EQ(0u, mnt_->system_guard);
    EXPECT_EQ(privileged, mnt_->delay_guard);
    EXPECT_EQ(privileged ? 2u : 6u, mnt_->DiscChangeNumTotal) << "change 2 trips; counting stops at the delay guard";
    EXPECT_EQ(privileged ? 1 : 0, count_log("Change disk system delay guard mode.\n"));
  }
}

TEST_F(DiscChange, ChangesWhileMountingOrInNoEditModeAreNotCounted) {
  guard(1, 2, 60);
  ASSERT_EQ(0, change(1, 0, 1));
  EXPECT_EQ(0u, mnt_->DiscChangeNumTotal);
  mnt_->mount_ext_flags = 0x40;
  ASSERT_EQ(0, change(0));
  EXPECT_EQ(0u, mnt_->DiscChangeNumTotal);
}

TEST_F(DiscChange, WriteVerifyIsNotSentWhileWritingIsForbidden) {
  struct Case {
    std::uint32_t reasons;
    bool sent;
  } cases[] = {{0x0, true}, {0x10, true}, {0x100000, true}, {0x800, false}, {0x2, false}, {0x80000, false}, {0x1, false}, {0x4000, false}};
  for (const auto& c : cases) {
    mnt_->mntinfo.WriteProtectReasonFlags = c.reasons;
    clear_log();
    int failed = 0;
    EXPECT_EQ(0, mdcudfsr_devsupio_set_reallocation(mnt_.get(), &ctx_, &failed));
    EXPECT_EQ(c.sent, logged("Drive Verify OFF(=Manual) Length:10000 Fvwre:0 Fvwrd:0\n")) << std::hex << c.reasons;
    EXPECT_EQ(0, failed);
  }
  mnt_->mntinfo.WriteProtectReasonFlags = 0;
  mnt_->verify_mode = 1;
  mnt_->is_rewritable = 1;
  mdcudfsr_devsupio_set_reallocation(mnt_.get(), &ctx_, nullptr);
  EXPECT_TRUE(logged("Drive Verify ON(=AUTO) Length:eee0 Fvwre:1 Fvwrd:1\n")) << "rewritable: 4384 blocks less";
}

}  // namespace
