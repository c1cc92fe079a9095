// The changer may hold any disc of the cartridge when KelDriver starts: a
// new track was being made when the engine died (the next, blank slot is
// loaded), or an earlier slot was loaded for a read. The mount loads the
// volume's last written slot, whether it mounts from its cache directory or
// from an emptied one.
//
// On write-once media the drive calibrates its laser power at the first
// write after each load of a disc, and a disc offers few calibrations: a
// start on the volume's disc, already in the drive, loads no slot and costs
// none, on every slot of the cartridge.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace e2e {
namespace {

struct LoadedAtStart {
  const char* name;
  bool spilled;     // the volume lies on slot 1 (moved on by the threshold)
  int loaded;       // the slot in the drive when the engine starts
  bool emptied;     // the engine starts with an emptied cache directory
};
void PrintTo(const LoadedAtStart& c, std::ostream* os) { *os << c.name; }

class SlotAtStart : public Scenario, public ::testing::WithParamInterface<LoadedAtStart> {};

TEST_P(SlotAtStart, TheMountLoadsTheLastWrittenSlot) {
  const LoadedAtStart& c = GetParam();
  make_sim({});
  dwords_ = {{"Packed Write Mode", 0}};
  start();
  check_mounts();
  ASSERT_TRUE(archive_file("/A", 100000, 1).ok);
  sync("SyncTime");
  std::set<std::string> names = {"A"};
  if (c.spilled) {
    const std::uint64_t nwa = number(ask_one("GetVolumeInfo", "KelVolume"), "NextWritableBlock");
    unmount();
    start_with({{"Packed Write Mode", 0}, {"Disc Span Threshold", static_cast<std::uint32_t>(nwa - 1)}});
    check_mounts();
    ASSERT_TRUE(archive_file("/B", 100000, 2).ok);
    sync("SyncTime");
    names.insert("B");
  }
  const int last = c.spilled ? 1 : 0;
  ASSERT_EQ(last_written_slot(cartridge()), last);
  unmount();
  ASSERT_EQ(0u, sim_->drive().load(c.loaded));
  if (c.emptied) empty_cache();
  dwords_.clear();
  start();
  const EngineElement v = ask_one("Check", "KelVolume");
  EXPECT_EQ(number(v, "CurrentTrackId"), static_cast<std::uint64_t>(last)) << v.raw;
  EXPECT_EQ(cartridge().loaded_slot, last);
  EXPECT_EQ(listing("/"), names);
  for (const auto& n : names) expect_restores("/" + n);
  ASSERT_TRUE(archive_file("/C", 100000, 3).ok);
  sync("SyncTime");
  names.insert("C");
  EXPECT_EQ(last_written_slot(cartridge()), last);
  unmount();
  std::vector<std::string> files;
  for (const auto& n : names) files.push_back("/" + n);
  expect_sound_cartridge({{"/", names}}, files);
}

INSTANTIATE_TEST_SUITE_P(Changer, SlotAtStart,
                         ::testing::Values(LoadedAtStart{"NextBlankSlot", false, 1, false},
                                           LoadedAtStart{"NextBlankSlotEmptiedCache", false, 1, true},
                                           LoadedAtStart{"EarlierWrittenSlot", true, 0, false},
                                           LoadedAtStart{"EarlierWrittenSlotEmptiedCache", true, 0, true}),
                         [](const ::testing::TestParamInfo<LoadedAtStart>& i) { return std::string(i.param.name); });

class StartOnLaterSlot : public MediumScenario {
 protected:
  // Slots loaded by LOAD/UNLOAD commands the drive carried out from
  // transcript entry `mark` on.
  std::vector<int> loads_since(std::size_t mark) {
    const auto t = sim_->service().transcript();
    std::vector<int> out;
    for (std::size_t i = mark; i < t.size(); ++i)
      if (is_slot_load(t[i]) && t[i].answered && !t[i].check_condition) out.push_back(loaded_slot_of(t[i]));
    return out;
  }
  std::size_t mark() { return sim_->service().transcript().size(); }
  int calibrations(int slot) { return cartridge().disc(slot).opc_used; }
  // The volume moves on to the next slot: "Disc Span Threshold" just below
  // the next writable block, then "/A<slot>" archived there.
  void move_on_to(int slot) {
    const std::uint64_t nwa = number(ask_one("GetVolumeInfo", "KelVolume"), "NextWritableBlock");
    unmount();
    const auto plain = dwords_;
    dwords_.push_back({"Disc Span Threshold", static_cast<std::uint32_t>(nwa - 1)});
    start();
    check_mounts();
    ASSERT_TRUE(archive_file("/A" + std::to_string(slot), 100000, slot + 1).ok);
    sync("SyncTime");
    dwords_ = plain;
    ASSERT_EQ(last_written_slot(cartridge()), slot);
  }
  // An engine started on the volume's disc, as the last one left it in the
  // drive, mounts, lists, restores and archives on it without a load.
  void start_on_volume_disc(int slot, std::set<std::string>* names) {
    unmount();
    ASSERT_EQ(cartridge().loaded_slot, slot);
    const int before = calibrations(slot);
    const std::size_t from = mark();
    start();
    const EngineElement v = ask_one("Check", "KelVolume");
    EXPECT_EQ(number(v, "CurrentTrackId"), static_cast<std::uint64_t>(slot)) << v.raw;
    EXPECT_EQ(listing("/"), *names);
    expect_restores("/A" + std::to_string(slot));
    EXPECT_EQ(loads_since(from), std::vector<int>{}) << "the start loads no slot";
    EXPECT_EQ(calibrations(slot), before) << "no calibration before the first write";
    const std::string n = "N" + std::to_string(slot);
    ASSERT_TRUE(archive_file("/" + n, 100000, 10 + slot).ok);
    sync("SyncTime");
    names->insert(n);
    EXPECT_EQ(loads_since(from), std::vector<int>{}) << "the archive loads no slot";
    EXPECT_EQ(calibrations(slot), before) << "the disc stayed in the drive: its calibration holds";
  }
};

// Slots 1 and 2 in turn: the start keeps the disc. Reading a file of slot 0
// needs that disc, and the next write the volume's back: two loads and one
// calibration, which a host that reads older files pays.
TEST_P(StartOnLaterSlot, AStartLoadsNoSlotAndCostsNoCalibration) {
  start_checked();
  ASSERT_TRUE(archive_file("/A0", 100000, 1).ok);
  sync("SyncTime");
  std::set<std::string> names = {"A0"};
  for (int slot = 1; slot <= 2 && !HasFatalFailure(); ++slot) {
    SCOPED_TRACE("volume on slot " + std::to_string(slot));
    move_on_to(slot);
    names.insert("A" + std::to_string(slot));
    start_on_volume_disc(slot, &names);
  }
  ASSERT_FALSE(HasFatalFailure());
  const int before = calibrations(2), before0 = calibrations(0);
  const std::size_t from = mark();
  expect_restores("/A0");
  ASSERT_TRUE(archive_file("/M", 100000, 20).ok);
  sync("SyncTime");
  names.insert("M");
  EXPECT_EQ(loads_since(from), (std::vector<int>{0, 2}));
  EXPECT_EQ(calibrations(2), before + 1);
  EXPECT_EQ(calibrations(0), before0) << "a read calibrates nothing";
  unmount();
  std::vector<std::string> files;
  for (const auto& n : names) files.push_back("/" + n);
  expect_sound_cartridge({{"/", names}}, files);
}

INSTANTIATE_TEST_SUITE_P(Media, StartOnLaterSlot,
                         ::testing::Values(MediumSetup{0xE1, "QMR-T300A", false},
                                           MediumSetup{0xE1, "QMR-T300A", true},
                                           MediumSetup{0xF2, "QMR-T400A", true}),
                         [](const ::testing::TestParamInfo<MediumSetup>& i) {
                           return medium_setup_name(i.param, false);
                         });

}  // namespace
}  // namespace e2e
