// The drive loses power while the real KelDriver archives a file or syncs
// it; the engine goes on. Files archived and synced before restore byte
// for byte at once and after a remount, an interrupted Archive either fails
// or its file restores whole, a file whose Sync was answered is kept, and
// the volume takes new files.
#include "scenario_support.h"

#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>

namespace e2e {
namespace {

constexpr std::size_t kCutBytes = 150000;  // a few WRITE(10)s of data

// A scenario whose Syncs may fail.
class CutScenario : public MediumScenario {
 protected:
  std::vector<EngineElement> try_sync() {
    return ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  }
  static bool sync_answered(const std::vector<EngineElement>& a) { return !a.empty() && a.back().name == "KelSync"; }
};

class DrivePowerCut : public CutScenario {
 protected:
  void SetUp() override {
    MediumScenario::SetUp();
    start_checked();
    archive_file("/kept1", 300000, 1);
    sync("SyncTime");
    archive_file("/kept2", 200000, 2);
    sync("SyncTime");
    prepared_kept2_ = archived_["/kept2"];
    unmount();
    ASSERT_FALSE(base_.path().empty());
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), base_.path() + "/cartridge"));
  }
  // Where the drive loses power: inside the Archive of a new file, or
  // inside the Sync that follows it.
  enum class CutIn { Archive, Sync };
  // A new engine mounts a copy of the prepared cartridge.
  void start_on_prepared();
  // A mounted engine over the prepared cartridge whose drive loses power
  // before the request's command `at` (0-based) of operation code `opcode`,
  // `keep` blocks of its cache having reached the medium. False when the
  // request ended before it.
  bool cut_inside(CutIn where, std::uint8_t opcode, std::size_t at, std::uint32_t keep) {
    kelsim::FaultRule cut = kelsim::power_cut_at(opcode, keep);
    cut.skip = static_cast<int>(at);
    cut.times = 1;
    return fault_inside(where, cut, true);
  }
  // The same with any fault rule of the drive. With `stays_writable` the
  // engine must take the next file at once; else it may have turned the
  // volume read-only, which the next engine mounts writable again.
  bool fault_inside(CutIn where, const kelsim::FaultRule& fault, bool stays_writable);
  // A mounted engine over the prepared cartridge deletes "/kept2" or renames
  // it to "/moved" while the drive loses power before the request's command
  // `at` (any code), `keep` cached blocks reaching the medium. With
  // `archived_before`, a file archived just before holds the volume's
  // session open, or waits in the packed one. False when the request ended
  // before the cut.
  bool cut_inside_move(bool rename, bool archived_before, std::size_t at, std::uint32_t keep);
  bool update_under_fault(const kelsim::FaultRule& fault);
  // Whether the volume takes changes after a fault: asked twice, since the
  // drive reports its reset on the first command after a cut, which may
  // fail the first ask; none (a failure added) when both fail.
  std::optional<bool> writable_after_fault();
  // A request sent with the drive set to lose power before its command
  // `at` (any code), `keep` cached blocks reaching the medium: its answers;
  // whether the cut came to *fired.
  std::vector<EngineElement> ask_under_cut(const std::string& opcode, const Attributes& attributes, std::size_t at,
                                           std::uint32_t keep, bool* fired);
  static Attributes rename_attributes(const std::string& from, const std::string& to) {
    return {{"Name", from},         {"NewName", to},     {"OldGeneration", "0"},   {"OldVersion", "0"},
            {"NewGeneration", "0"}, {"NewVersion", "0"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}};
  }

  kel_test::ScopedTempDir base_{"kel_power_cut_"};
  std::string prepared_kept2_;  // the data of the prepared cartridge's "/kept2"
};

std::optional<bool> DrivePowerCut::writable_after_fault() {
  std::vector<EngineElement> info = ask("GetVolumeInfo");
  if (info.empty() || info.back().name != "KelVolume") info = ask("GetVolumeInfo");
  if (info.empty() || info.back().name != "KelVolume") {
    ADD_FAILURE() << "GetVolumeInfo after the request failed twice\n" << engine_->describe();
    return std::nullopt;
  }
  return number(info.back(), "WriteProtectReason") == 0;
}

void DrivePowerCut::start_on_prepared() {
  ScenarioOptions o;
  o.medium_type = GetParam().type;
  o.product = GetParam().product;
  o.cartridge_source = base_.path() + "/cartridge";
  make_sim(o);
  start_checked(true);
}

bool DrivePowerCut::fault_inside(CutIn where, const kelsim::FaultRule& cut, bool stays_writable) {
  start_on_prepared();
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
  // The same engine goes on: a new file is archived and synced, so the
  // flush after the fault writes new entries.
  const EngineElement info = ask_one("GetVolumeInfo", "KelVolume");
  const bool between = stays_writable || number(info, "WriteProtectReason") == 0;
  if (stays_writable) {
    EXPECT_EQ(number(info, "WriteProtectReason"), 0u) << info.raw;
  }
  if (between) {
    archive_file("/between", 120000, 5);
    sync("SyncTime");
  }
  // What was synced restores byte for byte, and what is listed restores
  // whole: in the running engine, then in a new one that mounts from the
  // disc alone.
  auto expect_files = [&] {
    expect_restores("/kept1");
    expect_restores("/kept2");
    if (between) expect_restores("/between");
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

std::vector<EngineElement> DrivePowerCut::ask_under_cut(const std::string& opcode, const Attributes& attributes,
                                                        std::size_t at, std::uint32_t keep, bool* fired) {
  kelsim::FaultRule cut = kelsim::power_cut_at(std::nullopt, keep);
  cut.skip = static_cast<int>(at);
  cut.times = 1;
  const int id = sim_->drive().add_fault(cut);
  std::vector<EngineElement> answer = ask(opcode, attributes);
  *fired = sim_->drive().fault_fired(id) > 0;
  sim_->drive().remove_fault(id);
  return answer;
}

bool DrivePowerCut::cut_inside_move(bool rename, bool archived_before, std::size_t at, std::uint32_t keep) {
  start_on_prepared();
  if (archived_before) archive_file("/before", 90000, 6);
  bool fired = false;
  const std::vector<EngineElement> answer =
      rename ? ask_under_cut("Rename", rename_attributes("/kept2", "/moved"), at, keep, &fired)
             : ask_under_cut("Delete", {{"Name", "/kept2"}, {"Generation", "0"}, {"Version", "0"},
                                        {"KernelInterface", "0"}, {"BlockNumber", "0"}}, at, keep, &fired);
  const bool done = !answer.empty() && answer.back().name == "KelVolume";
  SCOPED_TRACE((rename ? "the Rename answered " : "the Delete answered ") +
               (answer.empty() ? std::string("nothing") : answer.back().raw));
  if (!done) {
    EXPECT_TRUE(!answer.empty() && answer.back().name == "HRESULT");
  }
  archived_["/moved"] = archived_["/kept2"];
  // The file is where it was, or gone from there (and, renamed, at its new
  // name), whole.
  auto expect_tree = [&](bool changed) {
    const std::set<std::string> names = listing("/");
    EXPECT_EQ(names.count("kept2"), changed ? 0u : 1u) << "\"/kept2\" listed";
    if (rename) {
      EXPECT_EQ(names.count("moved"), changed ? 1u : 0u) << "\"/moved\" listed";
    }
    expect_restores("/kept1");
    if (!changed) expect_restores("/kept2");
    if (changed && rename) expect_restores("/moved");
    if (names.count("before")) expect_restores("/before");
  };
  // A cut may have turned the volume read-only (a failed write of the
  // cartridge memory does): no Sync of this engine writes the change, and
  // the disc keeps the tree of the last good Sync.
  const std::optional<bool> writable_or_not = writable_after_fault();
  if (!writable_or_not) return false;
  const bool writable = *writable_or_not;
  expect_tree(done);
  // Else the same engine saves the change (its first Sync may answer a
  // session end the request failed), and a new one mounts it from the disc.
  std::vector<EngineElement> synced = try_sync();
  if (writable && !sync_answered(synced)) synced = try_sync();
  SCOPED_TRACE("the Sync answered " + (synced.empty() ? std::string("nothing") : synced.back().raw));
  if (writable) {
    EXPECT_TRUE(sync_answered(synced)) << engine_->describe();
  }
  expect_tree(done);
  unmount();
  start_checked(true);
  expect_tree(done && writable);
  unmount();
  expect_udfinfo_on_written_slots();
  return fired;
}

// The drive loses power at each command of a Delete and of a Rename: a
// request answered as failed has left the tree as it was, one answered
// with success has made its change, and a new mount shows the same.
TEST_P(DrivePowerCut, ADeleteOrRenameCutAtAnyCommandLeavesTheTreeItsAnswerTells) {
  for (bool rename : {false, true}) {
    for (bool archived_before : {false, true}) {
      for (std::size_t at = 0;; ++at) {
        SCOPED_TRACE(std::string("power cut before command ") + std::to_string(at) + (rename ? " of a Rename" : " of a Delete") +
                     (archived_before ? " after an Archive" : " after a mount"));
        // Nothing of the drive's cache reached the medium, or a cluster did.
        if (!cut_inside_move(rename, archived_before, at, at % 2 ? 0 : 32) || HasFatalFailure()) break;
      }
    }
  }
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

// Every block the drive took reached the medium before it lost power at a
// SYNCHRONIZE CACHE of the Archive: what the engine then reads back is the
// medium, yet it answers only after a good SYNCHRONIZE CACHE.
TEST_P(DrivePowerCut, AnArchiveCutAtASyncWithItsWritesOnTheMediumIsAnsweredAfterAGoodSync) {
  for (std::size_t at = 0;; ++at) {
    SCOPED_TRACE("power cut before SYNCHRONIZE CACHE " + std::to_string(at) + " of the Archive");
    if (!cut_inside(CutIn::Archive, 0x35, at, 0xFFFFFFFFu) || HasFatalFailure()) break;
  }
}

// The drive fails every ask for the track's next writable address at one
// point of a Sync, e.g. the address read after the pass that wrote the new
// entries: the Sync fails, and the next one, which writes the entries of a
// further file, leaves a volume that mounts from the disc alone with every
// file where its entry lies.
TEST_P(DrivePowerCut, ASyncWhoseTrackReadFailsLeavesTheNextSyncsEntriesWhereTheyLie) {
  for (std::size_t at = 0;; ++at) {
    SCOPED_TRACE("READ TRACK INFORMATION " + std::to_string(at) + " of the Sync fails");
    kelsim::FaultRule fails = kelsim::command_fails(0x52, {0x04, 0x44, 0x00});
    fails.skip = static_cast<int>(at);
    fails.times = 3;  // the first ask and those after it
    if (!fault_inside(CutIn::Sync, fails, false) || HasFatalFailure()) break;
  }
}

// The drive loses power at a command of a Rename that moves a file into
// another folder of a volume mounted from the disc (the first one is the
// write of the cartridge memory that opens the change; its failure turns
// the volume read-only). Once the Rename and a later Sync are answered with
// success, the file is under its new name in the same engine and after a
// new mount, with the cache kept or emptied; else it is under one of its
// names, whole.
TEST_P(DrivePowerCut, ARenameAnsweredAndSyncedThroughACutIsOnTheDisc) {
  for (std::size_t at = 0;; ++at) {
    SCOPED_TRACE("power cut before command " + std::to_string(at) + " of the Rename");
    start_on_prepared();
    mkdir("/d");
    sync("SyncTime");
    unmount();
    start_checked(true);
    bool fired = false;
    const std::vector<EngineElement> answer =
        ask_under_cut("Rename", rename_attributes("/kept2", "/d/moved"), at, 0, &fired);
    const bool done = !answer.empty() && answer.back().name == "KelVolume";
    SCOPED_TRACE("the Rename answered " + (answer.empty() ? std::string("nothing") : answer.back().raw));
    // The drive reports its reset on the first command after the cut.
    bool synced = false;
    for (int i = 0; i < 2 && !synced; ++i) synced = sync_answered(try_sync());
    archived_["/d/moved"] = archived_["/kept2"];
    auto expect_tree = [&] {
      const bool old_name = listing("/").count("kept2") > 0, new_name = listing("/d").count("moved") > 0;
      EXPECT_NE(old_name, new_name) << "the file is under exactly one of its names";
      if (done && synced) {
        EXPECT_TRUE(new_name) << "a Rename answered and synced is kept";
      }
      expect_restores(new_name ? "/d/moved" : "/kept2");
    };
    expect_tree();
    unmount();
    for (bool emptied : {false, true}) {
      SCOPED_TRACE(emptied ? "mounted with the cache emptied" : "mounted with the cache kept");
      start_checked(emptied);
      expect_tree();
      unmount();
    }
    if (!fired || HasFailure()) break;
  }
}

// An Archive over the name of a synced file (the new copy is written beside
// it and takes its place at the end) with the drive's `fault` armed: the
// Archive answered with success has put the new data under the name; one
// that failed has left the old file whole, or named it lost. The same
// engine's listing and Restore, its Sync and a new mount agree. False when
// the fault did not fire.
bool DrivePowerCut::update_under_fault(const kelsim::FaultRule& fault) {
  static const std::string kLost = "Archived file lost, archive it again: ";
  const std::string old = prepared_kept2_;
  archived_["/kept2"] = old;
  start_on_prepared();
  const std::size_t mark = engine_->elements().size();
  const int id = sim_->drive().add_fault(fault);
  const kelsim::ExchangeResult updated = try_archive_file("/kept2", 250000, 9);
  const bool fired = sim_->drive().fault_fired(id) > 0;
  sim_->drive().remove_fault(id);
  SCOPED_TRACE("the Archive answered " + (updated.last() ? updated.last()->raw : updated.error));
  if (!updated.ok) {
    EXPECT_TRUE(updated.error.empty() && updated.last() && updated.last()->name == "HRESULT");
    archived_["/kept2"] = old;
  }
  const std::optional<bool> writable_or_not = writable_after_fault();
  if (!writable_or_not) return false;
  const bool writable = *writable_or_not;
  std::vector<EngineElement> synced = try_sync();
  if (writable && !sync_answered(synced)) synced = try_sync();
  if (writable) {
    EXPECT_TRUE(sync_answered(synced)) << engine_->describe();
  }
  bool named_lost = false;
  const auto all = engine_->elements();
  for (std::size_t i = mark; i < all.size(); ++i)
    named_lost = named_lost || (all[i].name == "Error" && all[i].text == kLost + "/kept2");
  // What the engine shows: the answered data, the old file, or (named
  // lost) nothing.
  auto expect_file = [&](bool answered) {
    const bool listed = listing("/").count("kept2") > 0;
    EXPECT_NE(listed, named_lost && !answered) << "\"/kept2\" listed\n" << engine_->describe();
    if (listed) expect_restores("/kept2");
    expect_restores("/kept1");
  };
  expect_file(updated.ok);
  unmount();
  // A volume the cut turned read-only saved nothing: the disc holds the
  // last good Sync's file.
  if (!writable) archived_["/kept2"] = old;
  start_checked(true);
  expect_file(updated.ok && writable);
  unmount();
  expect_udfinfo_on_written_slots();
  return fired;
}

// The drive loses power at each command of an Archive over the name of a
// synced file, or fails a run of twelve of its asks for the track's next
// writable address from each one on: enough for the volume's refresh and
// both lookups of the answer after the new copy took the old one's place
// (each asks three times) to fail on a write-once disc.
TEST_P(DrivePowerCut, AnUpdateCutAtAnyCommandLeavesTheOldFileUnlessItsAnswerTellsOtherwise) {
  for (bool cut : {true, false}) {
    for (std::size_t at = 0;; ++at) {
      SCOPED_TRACE((cut ? "power cut before command " : "READ TRACK INFORMATION ") + std::to_string(at) +
                   (cut ? "" : " and the 11 after it fail") + " of the Archive over \"/kept2\"");
      kelsim::FaultRule fault = cut ? kelsim::power_cut_at(std::nullopt, at % 2 ? 0 : 32)
                                    : kelsim::command_fails(0x52, kelsim::Sense{4, 0x44, 0});
      fault.skip = static_cast<int>(at);
      fault.times = cut ? 1 : 12;
      if (!update_under_fault(fault) || HasFailure()) break;
    }
  }
}

// The drive fails two commands in a row (a command and its retry) at each
// command of a Rename that stores a new version: a Rename answered with
// the volume has moved the file and stored its new version; one answered
// with a failure has left it where it was. The listing, a Sync and a new
// mount agree with the answer.
TEST_P(DrivePowerCut, ARenameWhoseStepsMeetADriveFaultAnswersWhatItDid) {
  Attributes rename = rename_attributes("/kept2", "/moved");
  for (auto& [key, value] : rename)
    if (key == "NewGeneration" || key == "NewVersion") value = key == "NewGeneration" ? "5" : "6";
  for (std::size_t at = 0;; ++at) {
    SCOPED_TRACE("commands " + std::to_string(at) + " and " + std::to_string(at + 1) + " of the Rename fail");
    start_on_prepared();
    kelsim::FaultRule fault = kelsim::command_fails(0, kelsim::Sense{4, 0x44, 0});
    fault.opcode = std::nullopt;
    fault.skip = static_cast<int>(at);
    fault.times = 2;
    const int id = sim_->drive().add_fault(fault);
    const std::vector<EngineElement> answer = ask("Rename", rename);
    const bool fired = sim_->drive().fault_fired(id) > 0;
    sim_->drive().remove_fault(id);
    const bool done = !answer.empty() && answer.back().name == "KelVolume";
    SCOPED_TRACE("the Rename answered " + (answer.empty() ? std::string("nothing") : answer.back().raw));
    if (!done) {
      EXPECT_TRUE(!answer.empty() && answer.back().name == "HRESULT");
    }
    const EngineElement info = ask_one("GetVolumeInfo", "KelVolume");
    const bool writable = number(info, "WriteProtectReason") == 0;
    // Under the name the answer tells, whole, with the version it stored.
    auto expect_tree = [&](bool moved) {
      std::string generation, version;
      std::set<std::string> names;
      for (const auto& e : ask("ReadDirectory", {{"Name", "/"}})) {
        const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
        names.insert(name);
        if (name == "moved") generation = e.attribute("Generation"), version = e.attribute("Version");
      }
      EXPECT_EQ(names.count("kept2"), moved ? 0u : 1u) << "\"/kept2\" listed";
      EXPECT_EQ(names.count("moved"), moved ? 1u : 0u) << "\"/moved\" listed";
      // (A Restore names the version stored: the moved file's is the new one.)
      if (!moved) expect_restores("/kept2");
      if (moved) {
        EXPECT_EQ(generation + "/" + version, "5/6") << "the version the Rename stored";
      }
    };
    expect_tree(done);
    std::vector<EngineElement> synced = try_sync();
    if (writable && !sync_answered(synced)) synced = try_sync();
    if (writable) {
      EXPECT_TRUE(sync_answered(synced)) << engine_->describe();
    }
    unmount();
    start_checked(true);
    expect_tree(done && writable);
    unmount();
    if (!fired || HasFailure()) break;
  }
}

INSTANTIATE_TEST_SUITE_P(Media, DrivePowerCut,
                         ::testing::Values(MediumSetup{0xE1, "QMR-T300A", true},
                                           MediumSetup{0xE1, "QMR-T300A", false},
                                           MediumSetup{0xE2, "QMR-T300A", true},
                                           MediumSetup{0xF2, "QMR-T400A", true}),
                         [](const ::testing::TestParamInfo<MediumSetup>& i) {
                           return medium_setup_name(i.param, false);
                         });

// ---------------------------------------------------------------- rounds of cuts

// A host whose drive loses power while the engine runs, round after round
// on one cartridge. Each round mounts the cartridge (the cache directory
// kept), checks what the rounds before left, archives a file and syncs it
// (the volume takes new files), then archives and syncs with the drive set
// to lose power at a random command (a random part of its cache reaching
// the medium), goes on for a few requests after the cut, and ends the
// engine with a kill or an UnmountVolume.
//
// What the host may count on: a file whose Archive was answered and whose
// next Sync was answered too is on the volume at every later mount and
// restores whole. A file a failed request came between it and its Sync,
// or that no Sync followed, may be missing after the next mount; when it
// is listed it restores whole, and from then on it is kept.
//
// Discs: the drive calibrates its power again at the first write after it
// comes back (and after each load of the disc), and every calibration uses
// one of the disc's few; a disc with eight or fewer left is spent and the
// volume moves on to the next. Nothing else may make it leave a disc. A
// disc is loaded only to be read or written: a start on the disc in the
// drive loads none; reading a file of an earlier disc (a Restore, or the
// mount's read of a metadata file last written there) loads that disc, and
// the next write the volume's again.
//
// KEL_CUT_ROUNDS and KEL_CUT_SEED ("random": a new one) set a longer run;
// KEL_CUT_TRACE names a folder for the engines' trace files (of the rounds
// from KEL_CUT_TRACE_ROUND on); KEL_CUT_KEEP one for the cartridge a failing
// round left.
class PowerCutRounds : public CutScenario {
 protected:
  // A round costs the disc two calibrations at most (one after the cut,
  // one after the disc was changed back): the simulated disc's 32 leave
  // room for this many rounds before it is spent.
  static constexpr int kRoundsWithinOneDisc = 12;
  struct Figures {
    int rounds = 0, cuts = 0, kills = 0, kept = 0, dropped = 0;
  };
  // Runs `rounds` rounds from `seed`; false after the first failure. With
  // `first_disc` 1 the first disc's calibrations are spent before the first
  // round, so that the rounds run on the second.
  bool run_rounds(std::uint64_t seed, int rounds, int first_disc);
  // The run of the test: its figures printed, the discs it may use and the
  // calibrations it spent judged.
  void run_and_judge(int first_disc);
  const Figures& figures() const { return figures_; }
  // Slots whose disc holds data once the engine has stopped.
  std::vector<int> discs_used() { return written_slots(cartridge()); }
  // Per slot: the calibrations the run's cuts and disc changes ask for.
  std::vector<int> calibrations_asked();
  static std::uint64_t from_environment(const char* name, std::uint64_t fallback);

 private:
  void mount_and_check();
  void take_new_file();
  void cut_round();
  void end_round();
  bool archive_next();
  bool sync_next();
  std::string new_name();
  std::string disc_state();
  void trace_from(std::uint64_t first);
  void keep_cartridge();
  void expect_loads_serve(std::size_t mark, int in_drive);
  void note(const std::string& what) { log_ += what; }
  std::uint64_t pick(std::uint64_t n) { return n ? rng_() % n : 0; }

  std::mt19937_64 rng_;
  int first_loaded_ = -1;  // the slot in the drive when the run began
  std::vector<int> preset_;  // calibrations spent by the test itself, per slot
  Figures figures_;
  std::string log_;  // the round's requests and their answers
  int round_ = 0, next_file_ = 0;
  std::vector<std::string> kept_;
  // Answered Archives since the last answered Sync, and those a failed
  // request came after.
  std::vector<std::string> pending_;
  std::set<std::string> at_risk_;
  // Files the host cannot count on until a mount shows them.
  std::set<std::string> unsure_;
};

std::uint64_t PowerCutRounds::from_environment(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  if (std::string(v) == "random") return std::random_device{}() * 0x100000001ull ^ std::random_device{}();
  return std::strtoull(v, nullptr, 0);
}

// The disc the volume is on: its slot, calibrations used, next writable
// address and pseudo-overwrite map entries left.
std::string PowerCutRounds::disc_state() {
  const CartridgeView v = view_of(sim_->drive());
  const int slot = v.last_written < 0 ? 0 : v.last_written;
  const kelsim::Disc& d = v.discs.at(static_cast<std::size_t>(slot));
  return " | slot " + std::to_string(slot) + ": " + std::to_string(d.opc_used) + " calibrations, " +
         std::to_string(v.used_blocks(slot)) + " blocks, " + std::to_string(d.pow.map_entries) + " map entries";
}

// With KEL_CUT_KEEP naming a folder, the cartridge as the failing round
// left it is copied there.
void PowerCutRounds::keep_cartridge() {
  const char* keep = std::getenv("KEL_CUT_KEEP");
  if (!keep || !*keep) return;
  kill_engine();
  sim_->drive().flush();
  std::filesystem::remove_all(std::string(keep) + "/cartridge");
  kelsim::copy_directory_sparse(sim_->cartridge_directory(), std::string(keep) + "/cartridge");
}

// With KEL_CUT_TRACE, the engines of the rounds from `first` on write their
// trace files in that folder.
void PowerCutRounds::trace_from(std::uint64_t first) {
  const char* t = std::getenv("KEL_CUT_TRACE");
  if (!t || static_cast<std::uint64_t>(round_) != first) return;
  dwords_.push_back({"Debug File Trace Level", 9});
  strings_ = {{"Debug File Directory Path", t}};
}

std::string PowerCutRounds::new_name() {
  char b[48];
  std::snprintf(b, sizeof b, "/k/r%02d_f%04d.bin", round_, next_file_++);
  return b;
}

bool PowerCutRounds::archive_next() {
  const std::string name = new_name();
  const bool ok = try_archive_file(name, 1 + pick(300000), static_cast<int>(rng_() & 0x7FFF)).ok;
  note(ok ? " A+" : " A-");
  if (ok) pending_.push_back(name);
  else at_risk_.insert(pending_.begin(), pending_.end());
  return ok;
}

bool PowerCutRounds::sync_next() {
  const std::vector<EngineElement> a = try_sync();
  const bool ok = sync_answered(a);
  note(ok ? " S+" : " S-");
  if (!ok) {
    at_risk_.insert(pending_.begin(), pending_.end());
    return false;
  }
  for (const std::string& f : pending_) {
    if (at_risk_.count(f)) unsure_.insert(f);
    else kept_.push_back(f);
  }
  pending_.clear();
  at_risk_.clear();
  return true;
}

// A new engine mounts what the last round left: writable, every kept file
// listed, the newest ones and a few others restore whole, and each file the
// host was unsure of is either gone or whole.
void PowerCutRounds::mount_and_check() {
  start();
  const EngineElement v = ask_one("Check", "KelVolume");
  EXPECT_EQ(number(v, "WriteProtectReason"), 0u) << "the volume mounts writable: " << v.raw;
  unsure_.insert(pending_.begin(), pending_.end());
  pending_.clear();
  at_risk_.clear();
  const std::set<std::string> names = listing("/k");
  for (const std::string& f : kept_) EXPECT_TRUE(names.count(f.substr(3))) << f << " was synced and is gone";
  for (std::size_t i = kept_.size() > 4 ? kept_.size() - 4 : 0; i < kept_.size(); ++i) expect_restores(kept_[i]);
  if (!kept_.empty()) expect_restores(kept_[pick(kept_.size())]);
  for (const std::string& f : unsure_) {
    if (!names.count(f.substr(3))) {
      ++figures_.dropped;
      continue;
    }
    expect_restores(f);
    kept_.push_back(f);
  }
  unsure_.clear();
}

// The volume takes a new file and keeps it.
void PowerCutRounds::take_new_file() {
  const bool archived = archive_next();
  const bool synced = sync_next();
  EXPECT_TRUE(archived && synced) << "the mounted volume takes a new file:" << log_;
}

// Archives and Syncs at random with the cut armed; after the cut the host
// goes on for one to four requests.
void PowerCutRounds::cut_round() {
  const std::size_t at = pick(401);
  const auto keep = static_cast<std::uint32_t>(pick(501));
  int after = 1 + static_cast<int>(pick(4)), requests = 0;
  note(" | cut at command " + std::to_string(at) + ", " + std::to_string(keep) + " blocks kept:");
  const bool cut = power_cut_during(at, keep, [&](bool cut_came) {
    if (cut_came && after-- == 0) return false;
    if (pick(10) < 6) archive_next();
    else sync_next();
    return ++requests < 12 || (cut_came && after > 0);
  });
  if (cut) ++figures_.cuts;
  note(cut ? " (cut)" : " (no cut)");
}

void PowerCutRounds::end_round() {
  if (pick(2)) {
    note(" | kill");
    ++figures_.kills;
    kill_engine();
  } else {
    note(" | unmount");
    unmount();
  }
}

bool PowerCutRounds::run_rounds(std::uint64_t seed, int rounds, int first_disc) {
  rng_.seed(seed);
  // A cartridge of twelve discs, as the host's.
  ScenarioOptions o;
  o.medium_type = GetParam().type;
  o.product = GetParam().product;
  o.slots = 12;
  make_sim(o);
  first_loaded_ = cartridge().loaded_slot;
  start_checked();
  mkdir("/k");
  unmount();
  preset_.assign(o.slots, 0);
  for (int slot = 0; slot < first_disc; ++slot) {
    kelsim::Cartridge& k = cartridge();
    const int left = 8;  // a disc with this many left is spent
    preset_[static_cast<std::size_t>(slot)] = k.opc_count - left - k.disc(slot).opc_used;
    k.disc(slot).opc_used = static_cast<std::uint16_t>(k.opc_count - left);
    if (save_cartridge() != 0) ADD_FAILURE() << "the cartridge was not saved";
  }
  for (round_ = 0; round_ < rounds; ++round_) {
    log_ = "round " + std::to_string(round_) + ":";
    const int slot = view_of(sim_->drive()).last_written;
    if (slot + 1 == o.slots && view_of(sim_->drive()).resources_spent(slot)) {
      std::printf("round %d: every disc of the cartridge is spent\n", round_);
      break;
    }
    trace_from(from_environment("KEL_CUT_TRACE_ROUND", 0));
    const std::size_t mark = sim_->service().transcript().size();
    const int in_drive = cartridge().loaded_slot;
    mount_and_check();
    if (!HasFailure()) take_new_file();
    if (!HasFailure()) cut_round();
    if (engine_) end_round();
    expect_loads_serve(mark, in_drive);
    ++figures_.rounds;
    note(disc_state());
    const CartridgeView v = view_of(sim_->drive());
    if (slot >= 0 && v.last_written != slot) {
      EXPECT_TRUE(v.resources_spent(slot)) << "slot " << slot << " was left with resources to spare";
    }
    if (HasFailure()) {
      keep_cartridge();
      ADD_FAILURE() << "seed " << seed << " (KEL_CUT_SEED replays it), " << log_;
      return false;
    }
    std::printf("%s\n", log_.c_str());
  }
  figures_.kept = static_cast<int>(kept_.size());
  return true;
}

// A calibration is asked for by the first write to the disc in the drive
// when the run began, and by the first write after each cut and after each
// load of a disc in place of another (the volume moving on, or coming back
// after a Restore read a file of an earlier disc). A disc loaded again
// while it was in the drive asks for nothing.
std::vector<int> PowerCutRounds::calibrations_asked() {
  std::vector<int> asked(static_cast<std::size_t>(cartridge().slots()), 0);
  int loaded = first_loaded_;
  bool fresh = true;  // no write since the disc came or the power returned
  for (const TranscriptEntry& e : sim_->service().transcript()) {
    if (!e.answered || e.status != 0) continue;
    if (e.check_condition && e.sense.key == 6 && e.sense.asc == 0x29) fresh = true;  // power on
    if (e.opcode() == 0x2A && fresh && loaded >= 0 && static_cast<std::size_t>(loaded) < asked.size()) {
      ++asked[static_cast<std::size_t>(loaded)];
      fresh = false;
    }
    if (e.check_condition || !is_slot_load(e)) continue;
    const int to = (e.cdb[4] & 3) == 3 ? e.cdb[8] : -1;
    if (to != loaded) fresh = true;
    loaded = to;
  }
  return asked;
}

// A disc is loaded only to be read or written: from transcript entry
// `mark` on, no load puts back the disc in the drive (`in_drive` at the
// mark), and none is followed by another before a READ, WRITE, FORMAT UNIT,
// RESERVE TRACK or a read of the disc or track information reached the disc
// it loaded.
void PowerCutRounds::expect_loads_serve(std::size_t mark, int in_drive) {
  const auto t = sim_->service().transcript();
  const TranscriptEntry* idle = nullptr;  // the last load, while nothing used its disc
  for (std::size_t i = mark; i < t.size(); ++i) {
    const TranscriptEntry& e = t[i];
    if (!e.answered || e.status != 0 || e.check_condition) continue;
    switch (e.opcode()) {
      case 0x28: case 0xA8: case 0x2A: case 0xAA: case 0x04: case 0x53: case 0x51: case 0x52: idle = nullptr; break;
      default: break;
    }
    if (!is_slot_load(e)) continue;
    const int to = (e.cdb[4] & 3) == 3 ? e.cdb[8] : -1;
    EXPECT_NE(to, in_drive) << "the disc in the drive loaded again: " << e.line();
    if (idle) ADD_FAILURE() << "a disc loaded for nothing: " << idle->line() << ", then " << e.line();
    idle = &e;
    in_drive = to;
  }
}

std::string describe(const std::vector<int>& slots) {
  std::string s;
  for (int x : slots) s += (s.empty() ? "" : ",") + std::to_string(x);
  return s;
}

void PowerCutRounds::run_and_judge(int first_disc) {
  const std::uint64_t seed = from_environment("KEL_CUT_SEED", 0x6B656C637574ull + GetParam().type);
  const int rounds = static_cast<int>(from_environment("KEL_CUT_ROUNDS", kRoundsWithinOneDisc));
  if (!run_rounds(seed, rounds, first_disc)) return;
  const Figures& f = figures();
  const std::vector<int> used = discs_used();
  std::printf("seed %llu: %d rounds, %d cuts, %d kills, %d files kept, %d dropped after a failed request; "
              "discs used: %s\n",
              static_cast<unsigned long long>(seed), f.rounds, f.cuts, f.kills, f.kept, f.dropped,
              describe(used).c_str());
  EXPECT_GT(f.cuts, 0);
  const std::vector<int> asked = calibrations_asked();
  for (int slot : used) {
    const auto i = static_cast<std::size_t>(slot);
    const int spent = cartridge().disc(slot).opc_used - preset_.at(i);
    std::printf("slot %d: %d calibrations, %d asked for by cuts and disc changes\n", slot, spent, asked.at(i));
    EXPECT_LE(spent, asked.at(i)) << "slot " << slot << " calibrated without a cause";
  }
  if (rounds <= kRoundsWithinOneDisc) {
    std::vector<int> want;
    for (int slot = 0; slot <= first_disc; ++slot) want.push_back(slot);
    EXPECT_EQ(used, want) << "a cut costs no disc";
  }
  expect_udfinfo_on_written_slots();
}

// A run of cuts on one cartridge keeps every synced file, mounts writable
// after each, and leaves a disc only when it is spent: a run within the
// first disc's calibrations stays on it, far from filling it.
TEST_P(PowerCutRounds, SyncedFilesStayAndADiscIsLeftOnlyWhenSpent) { run_and_judge(0); }

INSTANTIATE_TEST_SUITE_P(Media, PowerCutRounds,
                         ::testing::Values(MediumSetup{0xE1, "QMR-T300A", true},
                                           MediumSetup{0xE1, "QMR-T300A", false},
                                           MediumSetup{0xE2, "QMR-T300A", true},
                                           MediumSetup{0xE2, "QMR-T300A", false},
                                           MediumSetup{0xF2, "QMR-T400A", true},
                                           MediumSetup{0xF2, "QMR-T400A", false}),
                         [](const ::testing::TestParamInfo<MediumSetup>& i) {
                           return medium_setup_name(i.param, false);
                         });

// The same run on the second disc of a write-once cartridge, the first one's
// calibrations spent at the start: the starts on it cost no more than on
// the first, and the run stays on it.
class PowerCutRoundsOnSecondDisc : public PowerCutRounds {};

TEST_P(PowerCutRoundsOnSecondDisc, SyncedFilesStayAndTheDiscIsLeftOnlyWhenSpent) { run_and_judge(1); }

INSTANTIATE_TEST_SUITE_P(Media, PowerCutRoundsOnSecondDisc,
                         ::testing::Values(MediumSetup{0xE1, "QMR-T300A", true},
                                           MediumSetup{0xE1, "QMR-T300A", false},
                                           MediumSetup{0xF2, "QMR-T400A", true}),
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
  if (s1_ok) {
    EXPECT_TRUE(waits.empty());
  }
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
