// Backtrack of a rewritable cartridge by the rewritable media service,
// through the real pipe client and storage_scsi against the simulated drive.
#include "drive_fixture.h"
#include "support/settles.h"

#include "drive/scsi_service_re.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "sim/harness.h"
#include "udf/udf_records.h"
#include "udf/udf_tag.h"

#include "../../../engine/drive/src/cm_data_internal.h"
#include "support/test_dir.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>

namespace {


class Backtrack : public ::testing::Test {
 protected:
  static constexpr int kWritten = 3;  // slots 0-3 hold volumes

  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_backtrack_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakelog::reset();
    fakedrive::use_pipe(true);
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE2;
    o.cartridge.disc_blocks = 0x10000;
    o.cartridge.medium_serial = "SER-0001";
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    kel::SetMediumCookie(sim_->cookie());
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ss_->set_device_name("/dev/sg-no-such-device");
    ASSERT_EQ(0, ss_->init());
    N_ = sim_->cartridge().disc_blocks();
    // Slots 0 to 3 formatted, slot 3 written last and loaded.
    for (int slot = 0; slot <= kWritten; ++slot) {
      ASSERT_EQ(0u, sim_->drive().load(slot));
      ss_->scsi_cache_clear();
      scsi_service_re re;
      re.init(ss_.get(), static_cast<std::uint8_t>(slot), 0xFFFF, stamp_, &cache_);
      Boolean ok = 0;
      bool wrote = false;
      ASSERT_EQ(0, re.auto_format(false, &ok, ss_.get(), false, &wrote, false));
    }
    sim_->cartridge().attributes[0x0D00] = {0, {kWritten}};
    ss_->config_mirror_for_update().last_written_slot = kWritten;
    set_1500h(2, 4384, 4352, 41);
    sim_->service().clear_transcript();
  }
  void TearDown() override {
    ss_.reset();
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
    fakedrive::use_pipe(false);
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Rollback point of attribute 1500h: slot + 1, metadata FE and FSD LSNs.
  void set_1500h(std::uint16_t vsn, std::uint32_t metafe, std::uint32_t fsd, std::uint32_t last_uid) {
    auto& v = sim_->cartridge().attributes[0x1500].value;
    ASSERT_EQ(128u, v.size());
    v[42] = static_cast<std::uint8_t>(vsn >> 8);
    v[43] = static_cast<std::uint8_t>(vsn);
    media::put_be64(v.data() + 44, static_cast<std::uint64_t>(metafe) << 32 | fsd);
    drvint::put_be32(v.data() + 60, last_uid);
    seal();
  }
  // A fresh CRC over the edited value, as the system writes it.
  void seal() {
    auto& v = value();
    const std::uint16_t crc = scsi_service_cm::calculate_crc(v.data(), 126);
    v[126] = static_cast<std::uint8_t>(crc >> 8);
    v[127] = static_cast<std::uint8_t>(crc);
  }
  std::uint16_t vsn() { return static_cast<std::uint16_t>(value()[42] << 8 | value()[43]); }
  std::uint64_t address() { return media::get_be64(value().data() + 44); }
  std::vector<std::uint8_t>& value() { return sim_->cartridge().attributes[0x1500].value; }
  bool crc_ok() {
    auto& v = value();
    return scsi_service_cm::calculate_crc(v.data(), 126) == (v[126] << 8 | v[127]);
  }
  std::vector<std::uint8_t> block(int slot, std::uint32_t lba, std::uint32_t count = 1) {
    std::vector<std::uint8_t> b(count * 2048u);
    EXPECT_EQ(0u, sim_->cartridge().read_blocks(slot, lba, count, b.data()));
    return b;
  }
  bool erased(int slot) {
    const std::vector<std::uint8_t> zero(32 * 2048, 0);
    return block(slot, 0, 32) == zero && block(slot, 256, 32) == zero && block(slot, N_ - 32, 32) == zero;
  }
  std::size_t count(std::uint8_t opcode) {
    std::size_t n = 0;
    for (auto& e : sim_->service().transcript())
      if (!e.is_notice() && e.opcode() == opcode) ++n;
    return n;
  }
  errno_t run(std::uint8_t policy, std::uint32_t skip = 0, std::uint32_t clear = 0, std::uint32_t verify = 0) {
    pxo_backtrack_request_t r{policy, skip, clear, verify};
    return re_.startBackTrack(reinterpret_cast<caddr_t>(&r), ss_.get());
  }
  pxo_backtrack_progress_t progress() {
    pxo_backtrack_progress_t p{};
    EXPECT_EQ(0, re_.getBackTrackInformation(reinterpret_cast<caddr_t>(&p)));
    return p;
  }

  std::filesystem::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<storage_scsi> ss_;
  std::uint32_t N_ = 0;
  pxo_attribute_data_t cache_{};
  std::uint8_t stamp_[8] = {'2', '0', '2', '6', '1', '2', '0', '9'};
  scsi_service_re re_;
};

TEST_F(Backtrack, RollbackPointOverSeveralSlots) {
  ASSERT_EQ(0, run(4));
  EXPECT_TRUE(erased(3));
  EXPECT_TRUE(erased(2));
  EXPECT_FALSE(erased(1));
  EXPECT_FALSE(erased(0));
  EXPECT_EQ(1, sim_->cartridge().loaded_slot);
  EXPECT_EQ(1, sim_->cartridge().attributes[0x0D00].value[0]);
  const auto p = progress();
  EXPECT_EQ(2, p.status);
  EXPECT_EQ(100, p.progress);
  EXPECT_EQ(1, p.current_slot);
  EXPECT_EQ(kWritten, p.start_slot);
  EXPECT_EQ(1, p.end_slot);
  EXPECT_EQ(1, re_.get_slot_number());
  EXPECT_EQ(4384u + 32u, re_.get_nwa());
  // Slot 1's volume now points at the rollback point, with a closed count of
  // unique ids continued from the cartridge memory.
  auto vds = block(1, 272, 6);
  const auto* mp = reinterpret_cast<const part_map_metadata*>(vds.data() + 3 * 2048 + sizeof(logvol_desc));
  EXPECT_EQ(288u, mp->file_loc);
  EXPECT_EQ(304u, mp->mirror_file_loc);
  EXPECT_EQ(1, mdcudfsr_check_udf_tag_crc(vds.data() + 3 * 2048, 2048));
  auto lv = block(1, 320);
  EXPECT_EQ(42u, reinterpret_cast<const logvol_integrity_desc*>(lv.data())->unique_id);
  // The LVI comes from the file set descriptor on the disc.
  auto f = block(1, 4352);
  EXPECT_EQ(0, std::memcmp(reinterpret_cast<const fileset_desc*>(f.data())->logvol_id,
                           reinterpret_cast<const logvol_desc*>(vds.data() + 3 * 2048)->logvol_id, 128));
  // The rollback address is used up; the point's slot stays.
  EXPECT_EQ(~0ull, address());
  EXPECT_EQ(2, vsn());
  EXPECT_TRUE(crc_ok());
  EXPECT_EQ(1, sim_->drive().observed().dfl_increments);
}

TEST_F(Backtrack, ProgressReadFromAnotherThreadAdvances) {
  std::atomic<bool> done{false};
  errno_t result = -1;
  std::thread walker([&] {
    result = run(4);
    done = true;
  });
  std::vector<pxo_backtrack_progress_t> seen;
  while (!done) {
    seen.push_back(progress());
    std::this_thread::yield();
  }
  walker.join();
  ASSERT_EQ(0, result);
  int last = 0;
  for (const auto& p : seen) {
    ASSERT_LE(p.status, 2);
    ASSERT_LE(p.progress, 100);
    if (p.status == 1 && p.current_slot != 0xFFFF) {
      EXPECT_GE(p.progress, last);
      last = p.progress;
      EXPECT_EQ(1, p.end_slot);
    }
  }
  const auto end = progress();
  EXPECT_EQ(2, end.status);
  EXPECT_EQ(100, end.progress);
}

TEST_F(Backtrack, ClearFlagDropsTheRollbackPointAndSkipLeavesTheTarget) {
  ASSERT_EQ(0, run(4, 1, 1));
  EXPECT_TRUE(erased(3));
  EXPECT_TRUE(erased(2));
  EXPECT_FALSE(erased(1));
  EXPECT_EQ(0, vsn());
  EXPECT_EQ(0u, address());
  EXPECT_TRUE(crc_ok());
  EXPECT_EQ(2, progress().status);
}

TEST_F(Backtrack, TargetIsTheLastWrittenSlot) {
  set_1500h(kWritten + 1, 4384, 4352, 7);
  ASSERT_EQ(0, run(4));
  for (int s = 0; s <= kWritten; ++s) EXPECT_FALSE(erased(s)) << s;
  EXPECT_EQ(0u, count(0xA6));
  const auto p = progress();
  EXPECT_EQ(2, p.status);
  EXPECT_EQ(100, p.progress);
}

TEST_F(Backtrack, PolicyFiveErasesDownToSlot0AndAsksForAReformat) {
  set_1500h(1, 0, 0, 0);
  ASSERT_EQ(0, run(5));
  for (int s = 0; s <= kWritten; ++s) EXPECT_TRUE(erased(s)) << s;
  EXPECT_TRUE(re_.get_reformat_flag());
  EXPECT_EQ(1u, ss_->get_reformat_flg());
  EXPECT_EQ(0, sim_->cartridge().attributes[0x0D00].value[0]);
  EXPECT_EQ(2, progress().status);
  EXPECT_EQ(0, re_.get_slot_number());
}

TEST_F(Backtrack, ArgumentErrorsTouchNoDisc) {
  struct Row {
    std::uint8_t policy;
    std::uint16_t vsn;
    std::uint32_t metafe, fsd;
    errno_t want;
  } rows[] = {
      {6, 2, 4384, 4352, 22},  {4, 0, 4384, 4352, 34},  {4, 13, 4384, 4352, 34},
      {4, 2, 4351, 4352, 61},  {4, 2, 4384, 100, 61},   {5, 2, 0, 0, 57},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.policy) + "/" + std::to_string(r.vsn));
    set_1500h(r.vsn, r.metafe, r.fsd, 0);
    sim_->service().clear_transcript();
    EXPECT_EQ(r.want, run(r.policy));
    EXPECT_EQ(0u, count(0xA6));
    EXPECT_EQ(0u, count(0x2A));
  }
  EXPECT_EQ(22, re_.startBackTrack(nullptr, ss_.get()));
  EXPECT_EQ(22, re_.getBackTrackInformation(nullptr));
}

TEST_F(Backtrack, WrongDiscInTheSlotFailsAndKeepsTheRollbackPoint) {
  // The changer reports success but leaves the disc where it was.
  sim_->drive().add_fault(kelsim::command_fails(0xA6, {0x01, 0x00, 0x00}));
  EXPECT_NE(0, run(4));
  const auto p = progress();
  EXPECT_EQ(3, p.status);
  EXPECT_EQ(2, vsn());
  EXPECT_EQ(static_cast<std::uint64_t>(4384) << 32 | 4352, address());
  EXPECT_FALSE(erased(1));
  // The walk can run again once the changer works.
  sim_->drive().clear_faults();
  ss_->config_mirror_for_update().last_written_slot = 2;
  EXPECT_EQ(0, run(4));
  EXPECT_EQ(2, progress().status);
}

TEST_F(Backtrack, FailedLoadClearsTheRollbackPoint) {
  sim_->drive().add_fault(kelsim::command_fails(0xA6, {0x05, 0x21, 0x01}));
  EXPECT_NE(0, run(4));
  EXPECT_EQ(3, progress().status);
  EXPECT_EQ(0, vsn());
  EXPECT_EQ(0u, address());
  EXPECT_TRUE(crc_ok());
}

TEST_F(Backtrack, TargetAboveTheLastWrittenSlotClearsTheRollbackPoint) {
  ss_->config_mirror_for_update().last_written_slot = 0;
  sim_->cartridge().attributes[0x0D00] = {0, {0}};
  EXPECT_EQ(57, run(4));
  EXPECT_EQ(3, progress().status);
  EXPECT_EQ(0, vsn());
  EXPECT_EQ(0u, count(0x2A));
}

// A damaged 1500h record is not acted on: 61, no disc loaded or written, the
// record left as it is.
TEST_F(Backtrack, DamagedRecordIsNotActedOn) {
  for (std::uint8_t policy : {std::uint8_t{4}, std::uint8_t{5}}) {
    SCOPED_TRACE(static_cast<int>(policy));
    set_1500h(policy == 4 ? 2 : 1, 4384, 4352, 0);
    value()[43] ^= 0x01;  // a changed slot, the CRC not recomputed
    const auto before = value();
    sim_->service().clear_transcript();
    EXPECT_EQ(61, run(policy));
    EXPECT_EQ(0u, count(0xA6));
    EXPECT_EQ(0u, count(0x2A));
    EXPECT_EQ(before, value());
  }
}

// The rollback point lies on the disc loaded when the walk starts (slot 3),
// not on the target (slot 1): the walk fails with 61 before any disc is
// erased, and the unreachable point is dropped.
TEST_F(Backtrack, RollbackPointMissingOnTheTargetFails) {
  scsi_service_re other;
  other.init(ss_.get(), kWritten, 0xFFFF, stamp_, &cache_);
  pxo_all_erase_info_t info{};
  ASSERT_EQ(0, other.all_erase(&info, 8000, false));  // FSD at 8000, metadata FE at 8032
  set_1500h(2, 8032, 8000, 0);
  sim_->service().clear_transcript();
  EXPECT_EQ(61, run(4));
  EXPECT_EQ(0u, count(0x2A));
  for (int s = 0; s <= kWritten; ++s) EXPECT_FALSE(erased(s)) << s;
  EXPECT_EQ(kWritten, sim_->cartridge().attributes[0x0D00].value[0]);
  EXPECT_EQ(3, progress().status);
  EXPECT_EQ(0, vsn());
  EXPECT_EQ(0u, address());
  EXPECT_TRUE(crc_ok());
}

// The mount-time skip-and-clear (policy 4, both option words 1, address all
// ones) names no rollback point to check: it walks down and clears.
TEST_F(Backtrack, MountTimeSkipAndClearNeedsNoRollbackPoint) {
  set_1500h(2, 0xFFFFFFFFu, 0xFFFFFFFFu, 0);
  ASSERT_EQ(0, run(4, 1, 1));
  EXPECT_TRUE(erased(3));
  EXPECT_TRUE(erased(2));
  EXPECT_FALSE(erased(1));
  EXPECT_EQ(0, vsn());
  EXPECT_EQ(0u, address());
  EXPECT_EQ(2, progress().status);
}

// While a walk runs on its own thread, the requests that would change the
// service's state under it are refused with 16; reading the progress works.
TEST_F(Backtrack, RequestsThatChangeTheServiceWaitForTheWalk) {
  platform::ManualClock clock;
  platform::ScopedClock scope(clock);
  // Its loads are ready at once: the walk's only wait on the clock is the
  // held write.
  sim_->drive().set_loading_commands(0);
  kelsim::FaultRule hold = kelsim::delay_answer(1000, 0x2A);
  hold.times = 1;
  sim_->drive().add_fault(hold);
  errno_t result = -1;
  std::thread walker([&] { result = run(4); });
  // The walk is held at its first erase write until the clock moves.
  while (!(re_.walking() && clock.waiters() > 0)) std::this_thread::yield();
  EXPECT_EQ(16, re_.resetBackTrackInformation());
  EXPECT_EQ(16, run(4));
  Boolean ok = 0;
  bool wrote = false;
  EXPECT_EQ(16, re_.auto_format(false, &ok, ss_.get(), false, &wrote, false));
  EXPECT_FALSE(wrote);
  pxo_all_erase_info_t info{};
  EXPECT_EQ(16, re_.all_erase(&info, 8000, false));
  EXPECT_EQ(16, re_.reFormat(nullptr, ss_.get()));
  EXPECT_EQ(1, progress().status);
  clock.advance(1000);
  walker.join();
  EXPECT_EQ(0, result);
  EXPECT_FALSE(re_.walking());
  EXPECT_EQ(2, progress().status);
  EXPECT_EQ(0, re_.resetBackTrackInformation());
}

TEST_F(Backtrack, ResetTakesTheLoadedSlot) {
  ASSERT_EQ(0, run(4));
  re_.backtrackSetPrgress(1, 50, 9, 9, 9);
  EXPECT_EQ(0, re_.resetBackTrackInformation());
  const auto p = progress();
  EXPECT_EQ(0, p.status);
  EXPECT_EQ(0, p.progress);
  EXPECT_EQ(1, p.current_slot);
}

}  // namespace
