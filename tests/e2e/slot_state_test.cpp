// The engine keeps what it read of the drive's slots and defect list while
// nothing can have changed them: a GetVolumeInfo after another sends no
// MECHANISM STATUS and no READ DISC STRUCTURE, and answers the same. After
// data were written, after a Sync (which writes the cartridge memory), after
// a format and after a drive command failed, the next one reads the drive
// again. Seen in the simulated service's transcript.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using e2e::EngineElement;

bool plain_read(const kelsim::TranscriptEntry& e) {
  switch (e.opcode()) {
    case 0x12: case 0x23: case 0x25: case 0x28: case 0xA8: case 0x51: case 0x52: case 0x5A: case 0x8C:
    case 0xAD: case 0xBD:
      return e.answered && !e.check_condition && e.status == 0;
    default:
      return false;
  }
}

// The attributes of an answer but its sequence number.
std::map<std::string, std::string> content(const EngineElement& e) {
  auto a = e.attributes;
  a.erase("SequenceNumber");
  return a;
}

class SlotState : public e2e::Scenario {
 protected:
  void SetUp() override {
    e2e::ScenarioOptions o;
    make_sim(o);
  }
  // Slot and defect-list reads (MECHANISM STATUS, READ DISC STRUCTURE).
  static std::size_t slot_reads(const std::vector<kelsim::TranscriptEntry>& t, std::size_t from = 0) {
    std::size_t n = 0;
    for (std::size_t i = from; i < t.size(); ++i)
      if (t[i].opcode() == 0xBD || t[i].opcode() == 0xAD) ++n;
    return n;
  }
  // What a request that may change the drive did to the transcript, then a
  // GetVolumeInfo: the drive's slots were read after the last command that
  // could change them (a write, a load, a failure, ...); a second
  // GetVolumeInfo reads nothing of them and answers the same.
  void expect_read_after(const char* what, const std::function<void()>& request) {
    SCOPED_TRACE(what);
    sim_->service().clear_transcript();
    request();
    const EngineElement first = ask_one("GetVolumeInfo", "KelVolume");
    const auto t = sim_->service().transcript();
    std::size_t last_change = t.size();
    for (std::size_t i = 0; i < t.size(); ++i)
      if (!t[i].is_notice() && !plain_read(t[i])) last_change = i;
    ASSERT_NE(last_change, t.size()) << "the request changed nothing on the drive";
    EXPECT_GT(slot_reads(t, last_change + 1), 0u) << "the slots were read again after " << t[last_change].line();
    sim_->service().clear_transcript();
    const EngineElement second = ask_one("GetVolumeInfo", "KelVolume");
    EXPECT_EQ(slot_reads(sim_->service().transcript()), 0u) << "nothing changed the drive since";
    EXPECT_EQ(content(first), content(second));
  }
};

TEST_F(SlotState, ReadAgainAfterWritesSyncsAndFailures) {
  start({});
  expect_read_after("a mount", [&] { ask_one("Check", "KelVolume"); });
  expect_read_after("an Archive", [&] { archive_file("/a.bin", 300000, 1); });
  expect_read_after("a Sync", [&] { sync("SyncTime"); });
  // A READ ATTRIBUTE that fails: what the drive met may have changed its
  // state too. The volume's identity is read from the drive only when its
  // state may have changed: the read fails in the Sync of a new file, which
  // writes the cartridge memory and then reads the identity again.
  expect_read_after("a failed command", [&] {
    archive_file("/b.bin", 1000, 3);
    kelsim::FaultRule once = kelsim::command_fails(0x8C, {0x03, 0x11, 0x00});
    once.times = 1;
    const int id = sim_->drive().add_fault(once);
    ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
    EXPECT_EQ(sim_->drive().fault_fired(id), 1);
  });
  expect_restores("/a.bin");
  unmount();
}

TEST_F(SlotState, ReadAgainAfterTheVolumeIsFormatted) {
  start({});
  ask_one("Check", "KelVolume");
  archive_file("/a.bin", 100000, 2);
  expect_read_after("a format", [&] { ask_one("Format", "KelVolume", {{"VolumeID", "VOL-2"}, {"Replica", "7"}}); });
  unmount();
}

}  // namespace
