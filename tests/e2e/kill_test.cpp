// KelDriver killed during a flush: each kill point holds the answer of one
// drive command of the flush (the command has run) and kills the engine.
// The cartridge must keep the last completed flush: a restarted engine
// mounts it with default settings, with the same and with an emptied cache
// directory, lists what that flush saved, and goes on writing.
//
// The changes are folders (each kill point starts from a copy of one
// prepared cartridge). By default the sweep takes the commands that change
// a disc or the cartridge memory and a spread of the rest; with
// KEL_E2E_FULL_SWEEP set it takes every command (ctest label "full_sweep"
// when configured with -DKEL_E2E_FULL_SWEEP=ON).
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace e2e {
namespace {

constexpr std::uint64_t kFinalisedReason = 0xC0002F4A;

struct Prepared {
  std::string cartridge, cache;
};

class KillDuringFlush : public Scenario {
 protected:
  void TearDown() override {
    Scenario::TearDown();
    std::error_code ec;
    if (!keep_.empty()) std::filesystem::remove_all(keep_, ec);
  }

  // A cartridge whose volume holds /A, saved by a completed flush and
  // unmounted, with the engine's cache directory.
  Prepared prepare(const ScenarioOptions& o) {
    char tmpl[] = "/tmp/kel-e2e-kill-XXXXXX";
    EXPECT_NE(nullptr, ::mkdtemp(tmpl));
    keep_ = tmpl;
    make_sim(o);
    start();
    check_mounts();
    make_entry("/A");
    sync("SyncTime");
    unmount();
    EXPECT_EQ(0u, sim_->drive().flush());
    Prepared p{keep_ + "/cartridge", keep_ + "/cache"};
    EXPECT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), p.cartridge));
    EXPECT_EQ(0u, kelsim::copy_directory_sparse(cache_, p.cache));
    return p;
  }

  // A simulator and engine on a copy of the prepared cartridge, mounted,
  // with /B made and not yet flushed.
  void resume(const Prepared& p, const ScenarioOptions& o) {
    ScenarioOptions copy = o;
    copy.cartridge_source = p.cartridge;
    make_sim(copy);
    std::filesystem::remove_all(cache_);
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(p.cache, cache_));
    start();
    check_mounts();
    if (through_rollback_) {
      // Mounted at the format's point (empty), then back to the latest.
      const auto info = rollback_info();
      ASSERT_GE(info.size(), 2u);
      rollback_mount(static_cast<std::uint32_t>(number(info.front(), "SlotNumber")),
                     static_cast<std::uint32_t>(number(info.front(), "MetaDataFE_LSN")),
                     static_cast<std::uint32_t>(number(info.front(), "FsdLsn")));
      ASSERT_EQ(listing("/"), std::set<std::string>{});
      rollback_mount(0, 0, 0);
    }
    make_entry("/B");
  }

  // A folder, or with files_ an archived file of 200000 bytes.
  void make_entry(const std::string& name) {
    if (!files_) return mkdir(name);
    ASSERT_TRUE(archive_file(name, 200000, name[1]).ok);
  }
  void expect_files_restore(const std::set<std::string>& names) {
    if (!files_) return;
    for (const auto& n : names) expect_restores("/" + n);
  }

  // After a kill: the state is kept aside; a restart with the same cache
  // mounts, lists /A (and /B or not), makes /C and flushes (or finalises
  // again); the kept state with an emptied cache mounts and lists the same.
  void expect_recovery(const std::string& point, bool finalising) {
    SCOPED_TRACE(point);
    ASSERT_EQ(0u, sim_->drive().flush());
    const std::string snapshot = keep_ + "/after-kill";
    std::filesystem::remove_all(snapshot);
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), snapshot));
    expect_udfinfo_on_written_slots();

    start();
    const EngineElement mounted = ask_one("Check", "KelVolume");
    if (std::getenv("KEL_E2E_KILL_POINT")) std::printf("%s\n", mounted.raw.c_str());
    const std::set<std::string> seen = listing("/");
    EXPECT_TRUE(seen == std::set<std::string>({"A"}) || seen == std::set<std::string>({"A", "B"}))
        << ::testing::PrintToString(seen);
    expect_files_restore(seen);
    const bool finalised = number(mounted, "WriteProtectReason") == kFinalisedReason;
    if (finalising && finalised) {
      // The kill came after the last step: nothing is left to complete.
      EXPECT_EQ(listing("/"), seen);
    } else if (finalising) {
      // A second finalisation completes the interrupted one.
      sync("SyncFinalisation");
      EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), kFinalisedReason);
      EXPECT_EQ(listing("/"), seen);
    } else {
      make_entry("/C");
      sync("SyncTime");
      std::set<std::string> after = seen;
      after.insert("C");
      EXPECT_EQ(listing("/"), after);
    }
    if (std::getenv("KEL_E2E_KILL_POINT"))
      for (const auto& e : sim_->service().transcript()) std::printf("%s\n", e.line().c_str());
    unmount();
    if (finalising) expect_udfinfo_on_written_slots({"integrity=closed"});

    ScenarioOptions o;
    o.medium_type = sim_->cartridge().medium_type();
    o.cartridge_source = snapshot;
    make_sim(o);
    start();
    check_mounts();
    EXPECT_EQ(listing("/"), seen) << "emptied cache";
    expect_files_restore(seen);
    unmount();
  }

  std::vector<TranscriptEntry> reference(const Prepared& p, const ScenarioOptions& o, const std::string& reason);
  void run_points(const Prepared& p, const ScenarioOptions& o, const std::string& reason,
                  const std::vector<std::size_t>& points);
  void sweep(const ScenarioOptions& o, const std::string& reason);

  std::string keep_;
  bool through_rollback_ = false;
  bool files_ = false;  // archived files instead of folders
};

bool full_sweep() { return std::getenv("KEL_E2E_FULL_SWEEP") != nullptr; }

// The kill points of a flush: every command in a full sweep, else those
// that change a disc or the cartridge memory and every tenth of the rest,
// thinned evenly to at most kSpread.
constexpr std::size_t kSpread = 14;
std::vector<std::size_t> kill_points(const std::vector<TranscriptEntry>& flush) {
  if (const char* one = std::getenv("KEL_E2E_KILL_POINT")) return {static_cast<std::size_t>(std::atoi(one))};
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < flush.size(); ++i)
    if (full_sweep() || changes_medium(flush[i]) || i % 10 == 0) all.push_back(i);
  if (full_sweep() || all.size() <= kSpread) return all;
  std::vector<std::size_t> out;
  for (std::size_t j = 0; j < kSpread; ++j) out.push_back(all[j * (all.size() - 1) / (kSpread - 1)]);
  return out;
}

// The commands of the flush `reason` of /B on a copy of the prepared
// cartridge.
std::vector<TranscriptEntry> KillDuringFlush::reference(const Prepared& p, const ScenarioOptions& o,
                                                        const std::string& reason) {
  resume(p, o);
  sync(reason);
  auto flush = commands_of(sim_->service().transcript(), last_sequence());
  unmount();
  return flush;
}

// Kills the engine at each of `points` of the flush `reason` of /B.
void KillDuringFlush::run_points(const Prepared& p, const ScenarioOptions& o, const std::string& reason,
                                 const std::vector<std::size_t>& points) {
  const Attributes request{{"Reason", reason}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t k : points) {
    resume(p, o);
    TranscriptEntry held;
    if (!kill_at_command("Sync", request, k, &held)) {
      ADD_FAILURE() << "the flush ended before command " << k;
      continue;
    }
    std::printf("[ kill ] point %zu: %s\n", k, held.line().c_str());
    expect_recovery("kill at command " + std::to_string(k) + ": " + held.line(), reason == "SyncFinalisation");
    if (HasFatalFailure()) return;
  }
  std::printf("[ time ] %s, %zu kill points: %lld ms\n", reason.c_str(), points.size(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

void KillDuringFlush::sweep(const ScenarioOptions& o, const std::string& reason) {
  const Prepared p = prepare(o);
  const auto flush = reference(p, o, reason);
  ASSERT_FALSE(flush.empty());
  const auto points = kill_points(flush);
  std::printf("[ kill ] %s: %zu commands, %zu kill points\n", reason.c_str(), flush.size(), points.size());
  run_points(p, o, reason, points);
}

TEST_F(KillDuringFlush, WriteOnceKeepsTheLastCompletedFlush) { sweep({}, "SyncTime"); }

TEST_F(KillDuringFlush, WriteOnceFinalisationKilledIsCompletedByASecondOne) { sweep({}, "SyncFinalisation"); }

TEST_F(KillDuringFlush, RewritableKeepsTheLastCompletedFlush) {
  ScenarioOptions o;
  o.medium_type = 0xE2;
  o.slots = 2;
  sweep(o, "SyncTime");
}

// Archived files: A flushed, B archived (packed writing) when its flush is
// killed; every file listed restores identical.
TEST_F(KillDuringFlush, WriteOnceArchivedFilesKeepTheLastCompletedFlush) {
  files_ = true;
  sweep({}, "SyncTime");
}

// The first flush after a return from a rollback mount.
TEST_F(KillDuringFlush, WriteOnceFirstFlushAfterARollbackMountKeepsTheLastCompletedFlush) {
  through_rollback_ = true;
  sweep({}, "SyncTime");
}

// The finalisation killed once its first finalising write is on the disc,
// and once its last one is (the session not closed yet): the restart
// mounts read-only, and a second finalisation completes the first without
// marking the volume again, and its own remount is not refused for what
// the read-only mount found.
TEST_F(KillDuringFlush, FinalisationKilledAfterItsFirstOrLastWriteIsCompletedByASecondOne) {
  ScenarioOptions o;
  const Prepared p = prepare(o);
  const auto flush = reference(p, o, "SyncFinalisation");
  auto sdk_write = [](const TranscriptEntry& e) { return is_sdk_command(e) && e.opcode() == 0x2A; };
  const auto first = std::find_if(flush.begin(), flush.end(), sdk_write);
  const auto close = std::find_if(flush.begin(), flush.end(), [](const TranscriptEntry& e) {
    return is_sdk_command(e) && e.opcode() == 0x5B;
  });
  ASSERT_NE(first, flush.end()) << "the finalisation writes nothing";
  ASSERT_NE(close, flush.end()) << "the finalisation closes no session";
  const auto last = std::find_if(std::make_reverse_iterator(close), flush.rend(), sdk_write);
  ASSERT_NE(last, flush.rend());
  run_points(p, o, "SyncFinalisation",
             {static_cast<std::size_t>(first - flush.begin()),
              static_cast<std::size_t>(flush.rend() - last - 1)});
}

}  // namespace
}  // namespace e2e
