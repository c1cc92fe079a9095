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
        // cluster did (a drive records whole clusters).
        if (!cut_inside(where, opcode, at, at % 2 ? 0 : 32) || HasFatalFailure()) break;
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

// Packed files waiting in their session when the drive loses power at a
// command of the Sync that ends it. Whatever the Sync answers, every file
// the host was answered for is kept: its bytes restore in this engine and
// in a new one, or an "Error" message of a Sync or of the unmount named it
// lost, once. A Sync whose session end failed names each file it keeps
// waiting; the next Sync, with the drive well, writes them.
class PackedPowerCut : public Scenario, public ::testing::WithParamInterface<MediumSetup> {
 protected:
  std::vector<EngineElement> try_sync() {
    return ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  }
  // The paths the "Error" messages from element `first` on name, after `what`.
  std::set<std::string> named(std::size_t first, const std::string& what) {
    std::set<std::string> out;
    const auto all = engine_->elements();
    for (std::size_t i = first; i < all.size(); ++i)
      if (all[i].name == "Error" && all[i].text.rfind(what, 0) == 0) out.insert(all[i].text.substr(what.size()));
    return out;
  }
  // One cut before command `at` of the Sync; false when the Sync ended first.
  // Counts the cuts whose Sync failed with the files kept waiting.
  bool cut_at(std::size_t at, int* kept_waiting);
};

const std::string kLostText = "Archived file lost, archive it again: ";
const std::string kWaitingText = "Archived file waits to be written by the next Sync: ";

bool PackedPowerCut::cut_at(std::size_t at, int* kept_waiting) {
  ScenarioOptions o;
  o.medium_type = GetParam().type;
  o.product = GetParam().product;
  make_sim(o);
  dwords_ = {{"Packed Write Mode", 1u}};
  start_checked();
  archive_file("/kept", 100000, 1);
  sync("SyncTime");
  const std::set<std::string> waiting{"/w0", "/w1", "/w2"};
  int seed = 2;
  for (const std::string& name : waiting) archive_file(name, 60000 + 70000 * seed, seed), ++seed;
  kelsim::FaultRule cut = kelsim::power_cut_at(std::nullopt, at % 3 ? 0 : 32);
  cut.skip = static_cast<int>(at);
  cut.times = 1;
  const std::size_t first = engine_->elements().size();
  const int id = sim_->drive().add_fault(cut);
  const auto s1 = try_sync();
  const bool fired = sim_->drive().fault_fired(id) > 0;
  sim_->drive().remove_fault(id);
  const auto s2 = try_sync();
  const std::string answered = (s1.empty() ? std::string("nothing") : s1.back().raw) + " then " +
                               (s2.empty() ? std::string("nothing") : s2.back().raw);
  SCOPED_TRACE("the Syncs answered " + answered);
  const bool s1_ok = !s1.empty() && s1.back().name == "KelSync";
  // A Sync that ended the session names the files it could not write: each
  // waits, or is lost; one that answers success names none waiting.
  const std::set<std::string> waits = named(first, kWaitingText);
  for (const auto& n : waits) EXPECT_TRUE(waiting.count(n)) << n;
  for (const auto& n : named(first, kLostText)) EXPECT_TRUE(waiting.count(n)) << n;
  if (s1_ok) EXPECT_TRUE(waits.empty());
  if (!s1_ok && !s2.empty() && s2.back().name == "KelSync" && waits == waiting) ++*kept_waiting;
  auto expect_kept = [&](const std::set<std::string>& lost) {
    expect_restores("/kept");
    const std::set<std::string> names = listing("/");
    for (const std::string& name : waiting) {
      if (lost.count(name)) {
        EXPECT_FALSE(names.count(name.substr(1))) << name << " was named lost";
        continue;
      }
      EXPECT_TRUE(names.count(name.substr(1))) << name << " was never named lost";
      expect_restores(name);
    }
  };
  expect_kept(named(first, kLostText));
  // The unmount names what it could not write; a file is named lost once.
  settle();
  const auto bye = engine_->request(kelsim::request_line(++sequence_, "UnmountVolume"),
                                    [](const EngineElement& e) { return e.name == "Shutdown"; });
  EXPECT_TRUE(!bye.empty() && bye.back().name == "Shutdown") << engine_->describe();
  const std::set<std::string> lost = named(first, kLostText);
  std::size_t times = 0;
  const auto all = engine_->elements();
  for (std::size_t i = first; i < all.size(); ++i) times += all[i].name == "Error" && all[i].text.rfind(kLostText, 0) == 0;
  EXPECT_EQ(times, lost.size());
  EXPECT_EQ(engine_->wait_exit(), 0);
  engine_.reset();
  start_checked(true);
  expect_kept(lost);
  unmount();
  engine_.reset();
  return fired;
}

TEST_P(PackedPowerCut, EveryAnsweredFileIsKeptOrNamedLostAfterACutInsideItsSync) {
  int kept_waiting = 0;
  for (std::size_t at = 0; at < 120; at += 3) {
    SCOPED_TRACE("power cut before command " + std::to_string(at) + " of the Sync");
    if (!cut_at(at, &kept_waiting) || HasFatalFailure()) break;
  }
  EXPECT_GT(kept_waiting, 0) << "no cut left the files waiting for the next Sync";
}

INSTANTIATE_TEST_SUITE_P(Media, PackedPowerCut,
                         ::testing::Values(MediumSetup{0xE1, "QMR-T300A", true}, MediumSetup{0xF2, "QMR-T400A", true}),
                         [](const ::testing::TestParamInfo<MediumSetup>& i) {
                           return medium_setup_name(i.param, false);
                         });

}  // namespace
}  // namespace e2e
