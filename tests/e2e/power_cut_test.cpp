// The drive loses power while the real KelDriver archives a file; the
// engine goes on. Files archived and synced before restore byte for byte
// at once and after a remount, the interrupted Archive either fails or its
// file restores whole, and the volume takes new files.
#include "scenario_support.h"

#include "support/test_dir.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

constexpr std::size_t kCutBytes = 150000;  // a few WRITE(10)s of data

class DrivePowerCut : public MediumScenario {
 protected:
  void SetUp() override {
    MediumScenario::SetUp();
    start_checked();
    archive_file("/kept1", 300000, 1);
    sync("SyncTime");
    archive_file("/kept2", 200000, 2);
    sync("SyncTime");
    unmount();
    ASSERT_FALSE(base_.path().empty());
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), base_.path() + "/cartridge"));
  }
  std::vector<EngineElement> try_sync() {
    return ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  }
  // A mounted engine over the prepared cartridge whose drive loses power
  // before its command `at` from now (0-based) of operation code `opcode`,
  // `keep` blocks of its cache having reached the medium. False when the
  // Archive ended before it.
  bool cut_during_archive(std::uint8_t opcode, std::size_t at, std::uint32_t keep);

  kel_test::ScopedTempDir base_{"kel_power_cut_"};
};

bool DrivePowerCut::cut_during_archive(std::uint8_t opcode, std::size_t at, std::uint32_t keep) {
  ScenarioOptions o;
  o.medium_type = GetParam().type;
  o.product = GetParam().product;
  o.cartridge_source = base_.path() + "/cartridge";
  make_sim(o);
  start_checked(true);
  kelsim::FaultRule cut = kelsim::power_cut_at(opcode, keep);
  cut.skip = static_cast<int>(at);
  cut.times = 1;
  const int id = sim_->drive().add_fault(cut);
  const kelsim::ExchangeResult archived = try_archive_file("/cut", kCutBytes, 3);
  const bool fired = sim_->drive().fault_fired(id) > 0;
  sim_->drive().remove_fault(id);
  SCOPED_TRACE("Archive answered " + (archived.last() ? archived.last()->raw : archived.error));
  // An Archive answered with success holds its whole file.
  if (archived.ok) expect_restores("/cut");
  const std::vector<EngineElement> synced = try_sync();
  const bool sync_ok = !synced.empty() && synced.back().name == "KelSync";
  SCOPED_TRACE("the next Sync answered " + (synced.empty() ? std::string("nothing") : synced.back().raw));
  // What was synced before the cut restores byte for byte.
  expect_restores("/kept1");
  expect_restores("/kept2");
  if (archived.ok && sync_ok) expect_restores("/cut");
  unmount();
  // A new engine mounts from the disc alone.
  start_checked(true);
  expect_restores("/kept1");
  expect_restores("/kept2");
  const std::set<std::string> names = listing("/");
  if (archived.ok && sync_ok) EXPECT_TRUE(names.count("cut")) << "a file whose Sync was answered is kept";
  if (names.count("cut")) expect_restores("/cut");
  archive_file("/after", 150000, 4);
  sync("SyncTime");
  expect_restores("/after");
  unmount();
  expect_udfinfo_on_written_slots();
  return fired;
}

TEST_P(DrivePowerCut, SyncedFilesSurviveACutInsideAnArchiveAndTheVolumeGoesOn) {
  for (std::uint8_t opcode : {0x2A, 0x35, 0x52}) {
    for (std::size_t at = 0;; ++at) {
      SCOPED_TRACE("power cut before command " + std::to_string(at) + " of code " + std::to_string(opcode) +
                   " of the Archive");
      if (!cut_during_archive(opcode, at, at % 2 ? 0 : 16) || HasFatalFailure()) break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Media, DrivePowerCut,
                         ::testing::Values(MediumSetup{0xE1, "QMR-T300A", true},
                                           MediumSetup{0xE1, "QMR-T300A", false},
                                           MediumSetup{0xE2, "QMR-T300A", true}),
                         [](const ::testing::TestParamInfo<MediumSetup>& i) {
                           return medium_setup_name(i.param, false);
                         });

}  // namespace
}  // namespace e2e
