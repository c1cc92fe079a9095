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

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace e2e {
namespace {

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
    mkdir("/A");
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
    mkdir("/B");
  }

  // After a kill: the state is kept aside; a restart with the same cache
  // mounts, lists /A (and /B or not), makes /C and flushes; the kept state
  // with an emptied cache mounts and lists the same.
  void expect_recovery(const std::string& point) {
    SCOPED_TRACE(point);
    ASSERT_EQ(0u, sim_->drive().flush());
    const std::string snapshot = keep_ + "/after-kill";
    std::filesystem::remove_all(snapshot);
    ASSERT_EQ(0u, kelsim::copy_directory_sparse(sim_->cartridge_directory(), snapshot));
    expect_udfinfo_on_written_slots();

    start();
    check_mounts();
    const std::set<std::string> seen = listing("/");
    EXPECT_TRUE(seen == std::set<std::string>({"A"}) || seen == std::set<std::string>({"A", "B"}))
        << ::testing::PrintToString(seen);
    mkdir("/C");
    sync("SyncTime");
    std::set<std::string> after = seen;
    after.insert("C");
    EXPECT_EQ(listing("/"), after);
    unmount();

    ScenarioOptions o;
    o.medium_type = sim_->cartridge().medium_type();
    o.cartridge_source = snapshot;
    make_sim(o);
    start();
    check_mounts();
    EXPECT_EQ(listing("/"), seen) << "emptied cache";
    unmount();
  }

  std::string keep_;
};

bool full_sweep() { return std::getenv("KEL_E2E_FULL_SWEEP") != nullptr; }

// The kill points of a flush: every command in a full sweep, else those
// that change a disc or the cartridge memory and every tenth of the rest.
std::vector<std::size_t> kill_points(const std::vector<TranscriptEntry>& flush) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < flush.size(); ++i)
    if (full_sweep() || changes_medium(flush[i]) || i % 10 == 0) out.push_back(i);
  return out;
}


TEST_F(KillDuringFlush, WriteOnceKeepsTheLastCompletedFlush) {
  ScenarioOptions o;
  const Prepared p = prepare(o);
  // The reference flush: its commands.
  resume(p, o);
  sync("SyncTime");
  const auto flush = commands_of(sim_->service().transcript(), last_sequence());
  ASSERT_FALSE(flush.empty());
  unmount();
  const auto points = kill_points(flush);
  std::printf("[ kill ] %zu commands in the flush, %zu kill points\n", flush.size(), points.size());
  const auto t0 = std::chrono::steady_clock::now();
  for (std::size_t k : points) {
    resume(p, o);
    TranscriptEntry held;
    const bool reached = kill_at_command("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"},
                                                  {"Generation", "0"}},
                                         k, &held);
    if (!reached) {
      ADD_FAILURE() << "the flush ended before command " << k;
      continue;
    }
    std::printf("[ kill ] point %zu: %s\n", k, held.line().c_str());
    expect_recovery("kill at command " + std::to_string(k) + ": " + held.line());
    if (HasFatalFailure()) return;
  }
  std::printf("[ time ] %zu kill points: %lld ms\n", points.size(),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

}  // namespace
}  // namespace e2e
