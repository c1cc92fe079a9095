// The drive loses power while the real KelDriver archives a file or syncs
// it; the engine goes on. Files archived and synced before restore byte
// for byte at once and after a remount, an interrupted Archive either fails
// or its file restores whole, a file whose Sync was answered is kept, and
// the volume takes new files.
#include "scenario_support.h"

#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <functional>

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
  // Where the drive loses power: inside the Archive of a new file, or
  // inside the Sync that follows it.
  enum class CutIn { Archive, Sync };
  // A mounted engine over the prepared cartridge whose drive loses power
  // before the request's command `at` (0-based) of operation code `opcode`,
  // `keep` blocks of its cache having reached the medium. False when the
  // request ended before it.
  bool cut_inside(CutIn where, std::uint8_t opcode, std::size_t at, std::uint32_t keep);
  static bool sync_answered(const std::vector<EngineElement>& a) { return !a.empty() && a.back().name == "KelSync"; }

  kel_test::ScopedTempDir base_{"kel_power_cut_"};
};

bool DrivePowerCut::cut_inside(CutIn where, std::uint8_t opcode, std::size_t at, std::uint32_t keep) {
  ScenarioOptions o;
  o.medium_type = GetParam().type;
  o.product = GetParam().product;
  o.cartridge_source = base_.path() + "/cartridge";
  make_sim(o);
  start_checked(true);
  kelsim::FaultRule cut = kelsim::power_cut_at(opcode, keep);
  cut.skip = static_cast<int>(at);
  cut.times = 1;
  bool fired = false;
  // The cut is armed for the one request only.
  auto armed = [&](CutIn at_request, const std::function<void()>& request) {
    if (where != at_request) return request();
    const int id = sim_->drive().add_fault(cut);
    request();
    fired = sim_->drive().fault_fired(id) > 0;
    sim_->drive().remove_fault(id);
  };
  kelsim::ExchangeResult archived;
  armed(CutIn::Archive, [&] { archived = try_archive_file("/cut", kCutBytes, 3); });
  SCOPED_TRACE("Archive answered " + (archived.last() ? archived.last()->raw : archived.error));
  // The engine itself answers: success, whose file is whole, or the failure.
  if (archived.ok) expect_restores("/cut");
  else EXPECT_TRUE(archived.error.empty() && archived.last() && archived.last()->name == "HRESULT");
  std::vector<EngineElement> first;
  armed(CutIn::Sync, [&] { first = try_sync(); });
  const std::vector<EngineElement> next = try_sync();
  SCOPED_TRACE("the Syncs answered " + (first.empty() ? std::string("nothing") : first.back().raw) + " and " +
               (next.empty() ? std::string("nothing") : next.back().raw));
  // The file's Sync is the first one after its Archive: a failed one may
  // have dropped it, and the next then has nothing of it to write.
  const bool kept = archived.ok && sync_answered(first);
  // What was synced restores byte for byte, and what is listed restores
  // whole: in the running engine, then in a new one that mounts from the
  // disc alone.
  auto expect_files = [&] {
    expect_restores("/kept1");
    expect_restores("/kept2");
    const std::set<std::string> names = listing("/");
    if (kept) {
      EXPECT_TRUE(names.count("cut")) << "a file whose Sync was answered is kept";
    }
    if (names.count("cut")) expect_restores("/cut");
  };
  expect_files();
  unmount();
  start_checked(true);
  expect_files();
  archive_file("/after", 150000, 4);
  sync("SyncTime");
  expect_restores("/after");
  unmount();
  expect_udfinfo_on_written_slots();
  return fired;
}

TEST_P(DrivePowerCut, SyncedFilesSurviveACutInsideAnArchiveOrSyncAndTheVolumeGoesOn) {
  for (CutIn where : {CutIn::Archive, CutIn::Sync}) {
    for (std::uint8_t opcode : {0x2A, 0x35, 0x52}) {
      for (std::size_t at = 0;; ++at) {
        SCOPED_TRACE(std::string("power cut before command ") + std::to_string(at) + " of code " +
                     std::to_string(opcode) + (where == CutIn::Archive ? " of the Archive" : " of the Sync"));
        // Nothing of the drive's cache reached the medium, or its first
        // cluster did (a drive records whole clusters), or the cut fell
        // inside its second cluster (a rewritable one is left torn).
        bool fired = true;
        for (std::uint32_t keep : at % 2 ? std::vector<std::uint32_t>{0, 45} : std::vector<std::uint32_t>{32}) {
          SCOPED_TRACE(std::to_string(keep) + " cached blocks kept");
          fired = cut_inside(where, opcode, at, keep);
          if (!fired || HasFatalFailure()) break;
        }
        if (!fired || HasFatalFailure()) break;
      }
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
