// The changer may hold any disc of the cartridge when KelDriver starts: a
// new track was being made when the engine died (the next, blank slot is
// loaded), or an earlier slot was loaded for a read. The mount loads the
// volume's last written slot, whether it mounts from its cache directory or
// from an emptied one.
#include "scenario_support.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace e2e
