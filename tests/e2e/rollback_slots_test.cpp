// Rollback points of a write-once volume that has gone on to the next slot,
// through the real KelDriver: a point of slot 0 mounted while the volume
// lies on slot 1 loads slot 0 and shows that state, and the return to the
// latest state loads slot 1 again. The volume is moved on by "Disc Span
// Threshold" (set below the next writable block), so no disc is filled.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace e2e {
namespace {

struct Point {
  std::uint32_t slot, fe, fsd;
};

class RollbackAcrossSlots : public Scenario {
 protected:
  std::vector<Point> points() {
    std::vector<Point> out;
    for (const auto& e : rollback_info())
      out.push_back({static_cast<std::uint32_t>(number(e, "SlotNumber")),
                     static_cast<std::uint32_t>(number(e, "MetaDataFE_LSN")),
                     static_cast<std::uint32_t>(number(e, "FsdLsn"))});
    return out;
  }
  std::uint64_t cartridge_block(const Point& p) {
    return std::uint64_t{p.slot} * cartridge().disc_blocks() + p.fe;
  }
  // The slots loaded by the requests from transcript entry `mark` on.
  std::vector<int> loads_since(std::size_t mark) {
    std::vector<int> out;
    const auto t = sim_->service().transcript();
    for (std::size_t i = mark; i < t.size(); ++i)
      if (is_slot_load(t[i])) out.push_back(loaded_slot_of(t[i]));
    return out;
  }
};

TEST_F(RollbackAcrossSlots, ASlotZeroPointMountsFromSlotOneAndTheReturnComesBack) {
  const auto t0 = std::chrono::steady_clock::now();
  make_sim({});
  dwords_ = {{"Packed Write Mode", 0}};
  start();
  check_mounts();
  ASSERT_TRUE(archive_file("/A", 300000, 1).ok);
  const EngineElement a_sync = sync("SyncTime");
  const std::uint64_t nwa = number(ask_one("GetVolumeInfo", "KelVolume"), "NextWritableBlock");
  unmount();
  // From here on the next space asked for lies past the threshold.
  dwords_.push_back({"Disc Span Threshold", static_cast<std::uint32_t>(nwa - 1)});
  start();
  check_mounts();
  ASSERT_TRUE(archive_file("/B", 300000, 2).ok);
  sync("SyncTime");
  ASSERT_EQ(last_written_slot(cartridge()), 1) << "the volume did not go on to slot 1";
  ASSERT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "CurrentTrackId"), 1u);
  // A new engine without the threshold: the volume stays on slot 1.
  unmount();
  dwords_.pop_back();
  start();
  check_mounts();

  const auto all = points();
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(cartridge().loaded_slot, 1) << "the same slot before and after the listing";
  const auto on_slot = [&](std::uint32_t s) {
    return std::count_if(all.begin(), all.end() - 1, [&](const Point& p) { return p.slot == s; });
  };
  EXPECT_GT(on_slot(0), 0) << "no point of slot 0 listed";
  EXPECT_GT(on_slot(1), 0) << "no point of slot 1 listed";
  for (std::size_t i = 1; i + 1 < all.size(); ++i)
    EXPECT_GT(cartridge_block(all[i]), cartridge_block(all[i - 1])) << "oldest first";
  // /A's point: inside /A's flush, on slot 0.
  const auto a = std::find_if(all.begin(), all.end() - 1, [&](const Point& p) {
    return cartridge_block(p) >= number(a_sync, "BlockNumber") && cartridge_block(p) < number(a_sync, "NextWritableBlock");
  });
  ASSERT_NE(a, all.end() - 1) << a_sync.raw;
  ASSERT_EQ(a->slot, 0u);

  // The implementation identifier in 1500h (value bytes 8-39) is the
  // volume's whatever point is mounted.
  const auto identifier = [&] {
    const auto& v = cartridge().attributes[0x1500].value;
    return std::vector<std::uint8_t>(v.begin() + 8, v.begin() + 40);
  };
  const auto identifier_before = identifier();
  std::size_t mark = sim_->service().transcript().size();
  rollback_mount(a->slot, a->fe, a->fsd);
  EXPECT_EQ(identifier(), identifier_before);
  const auto to_point = loads_since(mark);
  ASSERT_FALSE(to_point.empty());
  EXPECT_EQ(to_point.front(), 0) << "the point's slot is loaded";
  EXPECT_EQ(to_point.back(), 0) << "the point's slot stays loaded";
  EXPECT_EQ(cartridge().loaded_slot, 0);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"A"}));
  expect_restores("/A");

  mark = sim_->service().transcript().size();
  rollback_mount(0, 0, 0);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"A", "B"}));
  expect_restores("/B");
  expect_restores("/A");
  const auto loads = loads_since(mark);
  EXPECT_NE(std::find(loads.begin(), loads.end(), 1), loads.end()) << "slot 1 is never loaded again";
  EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "CurrentTrackId"), 1u);
  // The volume goes on from its latest state on slot 1.
  const auto c = archive_file("/C", 300000, 3);
  ASSERT_TRUE(c.ok);
  sync("SyncTime");
  EXPECT_EQ(last_written_slot(cartridge()), 1);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"A", "B", "C"}));
  unmount();
  expect_sound_cartridge({{"/", {"A", "B", "C"}}}, {"/A", "/B", "/C"});
  std::printf("[ time ] slot-0 point from slot 1: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

}  // namespace
}  // namespace e2e
