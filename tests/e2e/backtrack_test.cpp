// Backtrack of a rewritable cartridge through the real KelDriver: a policy-4
// record in the cartridge memory (the suite writes it as a policy-4
// backtrack does: nothing in the system sends policy 4) is resumed by the
// engine's start before the first request, and the volume comes back at
// the rollback point. The point lies on slot 0 and the volume has not
// spilled: the walk has no later slot to erase.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace e2e {
namespace {

class Backtrack : public Scenario {
 protected:
  // The engines started from now on write their trace files here.
  std::string use_traces() {
    const std::string traces = sim_->directory() + "/traces";
    std::filesystem::create_directories(traces);
    dwords_ = {{"Debug File Trace Level", 9}};
    strings_ = {{"Debug File Directory Path", traces}};
    return traces;
  }
  // /a flushed, then /b flushed; the point of the first flush.
  EngineElement two_flushes_and_the_first_point() {
    ScenarioOptions o;
    o.medium_type = 0xE2;
    o.slots = 2;
    make_sim(o);
    start();
    check_mounts();
    mkdir("/a");
    const EngineElement first = sync("SyncTime");
    mkdir("/b");
    sync("SyncTime");
    const auto info = rollback_info();
    unmount();
    for (const auto& p : info) {
      const std::uint64_t block = number(p, "MetaDataFE_LSN");
      if (block >= number(first, "BlockNumber") && block < number(first, "NextWritableBlock")) return p;
    }
    ADD_FAILURE() << "no point inside the first flush " << first.raw;
    return EngineElement{};
  }
};

TEST_F(Backtrack, APolicyFourRecordIsResumedAtStartAndMountsThePoint) {
  const auto t0 = std::chrono::steady_clock::now();
  const EngineElement point = two_flushes_and_the_first_point();
  ASSERT_FALSE(point.name.empty());
  write_policy4_record(*sim_, static_cast<std::uint32_t>(number(point, "SlotNumber")),
                       static_cast<std::uint32_t>(number(point, "MetaDataFE_LSN")),
                       static_cast<std::uint32_t>(number(point, "FsdLsn")));
  empty_cache();
  const std::string traces = use_traces();
  start();
  check_mounts();
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a"})) << "the point's state";
  // The walk reported its progress; the last report is the end (status 2
  // at 100, on slot 0).
  const auto reports = trace_lines(traces, "Set BackTrackProgress:");
  EXPECT_FALSE(reports.empty()) << "no backtrack ran";
  const auto status = trace_lines(traces, "  status       = ");
  const auto progress = trace_lines(traces, "  Progress     = ");
  ASSERT_FALSE(status.empty());
  ASSERT_FALSE(progress.empty());
  EXPECT_NE(status.back().find("= 2 (0x02)"), std::string::npos) << status.back();
  EXPECT_NE(progress.back().find("= 100 (0x64)"), std::string::npos) << progress.back();
  BacktrackRecord r;
  ASSERT_TRUE(read_backtrack_record(cartridge(), &r));
  EXPECT_EQ(r.sequence, 0u);
  EXPECT_EQ(r.location, 0u);
  EXPECT_TRUE(r.check_valid);
  EXPECT_EQ(last_written_slot(cartridge()), 0);
  // The volume goes on from the point.
  mkdir("/c");
  sync("SyncTime");
  expect_sound_cartridge({{"/", {"a", "c"}}});
  std::printf("[ time ] policy-4 backtrack: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

TEST_F(Backtrack, ARecordWithAWrongCheckValueStartsNothing) {
  const EngineElement point = two_flushes_and_the_first_point();
  ASSERT_FALSE(point.name.empty());
  write_policy4_record(*sim_, static_cast<std::uint32_t>(number(point, "SlotNumber")),
                       static_cast<std::uint32_t>(number(point, "MetaDataFE_LSN")),
                       static_cast<std::uint32_t>(number(point, "FsdLsn")), true);
  const std::string traces = use_traces();
  start();
  check_mounts();
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b"}));
  EXPECT_TRUE(trace_lines(traces, "Set BackTrackProgress:").empty());
  expect_sound_cartridge({{"/", {"a", "b"}}});
}

}  // namespace
}  // namespace e2e
