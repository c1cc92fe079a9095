// The free space a write-once cartridge reports, against what its files
// then take: a three-slot cartridge filled until "disc full", with no
// folders and with many.
#include "scenario_support.h"
#include "sim/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {
namespace {

constexpr std::uint64_t kDiscFull = 0x80070070;
constexpr std::uint32_t kIntegrity = 320;  // the integrity descriptor of an E1h volume

struct FillCase {
  const char* name;
  int folders;
};
void PrintTo(const FillCase& c, std::ostream* os) { *os << c.name; }

// The free figure and each slot's next writable block after a request.
struct Point {
  std::string after;
  std::uint64_t free = 0;
  std::vector<std::uint32_t> used;
};

// What each move to a later slot took there before the first file data:
// every block recorded on the slot before the new track's integrity
// descriptor (which follows the metadata written past the volume's first
// 4352 blocks).
std::map<int, std::uint32_t> moves_in(const std::vector<TranscriptEntry>& t) {
  std::map<int, std::uint32_t> high;
  std::map<int, bool> done;
  int slot = 0;
  for (const TranscriptEntry& e : t) {
    if (e.is_notice()) continue;
    if (is_slot_load(e)) slot = loaded_slot_of(e);
    if (slot == 0 || e.opcode() != 0x2A || done[slot]) continue;
    const std::uint32_t lba = kelsim::get_be32(e.cdb.data() + 2), blocks = std::uint32_t{e.cdb[7]} << 8 | e.cdb[8];
    if (lba == kIntegrity && high[slot] > 4352)
      done[slot] = true;
    else
      high[slot] = std::max(high[slot], lba + blocks);
  }
  return high;
}

class FreeSpaceFill : public Scenario, public ::testing::WithParamInterface<FillCase> {
 protected:
  Point point(const std::string& after) {
    Point p;
    p.after = after;
    p.free = number(ask_one("GetVolumeInfo", "KelVolume"), "FreeBlocks");
    const CartridgeView v = view_of(sim_->drive());
    for (int s = 0; s < static_cast<int>(v.discs.size()); ++s) p.used.push_back(v.used_blocks(s));
    return p;
  }
  // Files of 4 MiB, 1 MiB, 256 KiB and 32 KiB in turn, each size dropped
  // once it is refused with "disc full", until none is left.
  std::vector<Point> fill() {
    std::vector<Point> points{point("start")};
    std::vector<std::size_t> sizes = {4u << 20, 1u << 20, 256u << 10, 32u << 10};
    for (int n = 0; !sizes.empty(); ++n) {
      const std::size_t bytes = sizes[static_cast<std::size_t>(n) % sizes.size()];
      const std::string name = "/f" + std::to_string(n);
      const auto r = try_archive_file(name, bytes, n);
      if (r.ok) {
        points.push_back(point(name + " (" + std::to_string(bytes) + " bytes)"));
        continue;
      }
      EXPECT_TRUE(r.last() && r.last()->attribute("HRESULT") == std::to_string(std::int32_t(kDiscFull)))
          << name << ": " << (r.last() ? r.last()->raw : r.error);
      if (HasFailure()) return points;
      sizes.erase(std::find(sizes.begin(), sizes.end(), bytes));
    }
    return points;
  }
};

// Where the files of each slot ended: the slot's next writable block at the
// last point the volume was on it (the highest slot written). Past it a slot
// holds only what the move away from it wrote.
std::map<int, std::uint32_t> file_ends(const std::vector<Point>& points) {
  std::map<int, std::uint32_t> end;
  for (const Point& p : points) {
    int on = 0;
    for (int s = 0; s < static_cast<int>(p.used.size()); ++s)
      if (p.used[s] > 0) on = s;
    end[on] = p.used[on];
  }
  return end;
}

// At each point the free figure may exceed what the files then take by no
// more than 2 %: on each slot, from its next writable block at that point
// (on a later slot, from the end of what the move to it wrote before the
// first file data: the new track and the whole metadata copy) to where its
// files ended (file data, parity and the metadata their own flushes wrote
// alike). What a move writes on either slot is no room for files. And the
// figure never grows.
TEST_P(FreeSpaceFill, TheFreeFigureNeverPromisesWhatTheFilesCannotTake) {
  ScenarioOptions o;
  o.slots = 3;
  o.disc_blocks = 0x90000;
  make_sim(o);
  dwords_ = {{"Packed Write Mode", 0}};
  start_checked();
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < GetParam().folders; ++i) mkdir("/d" + std::to_string(i));
  if (GetParam().folders) sync("SyncTime");
  const std::vector<Point> points = fill();
  unmount();
  ASSERT_FALSE(HasFailure());
  const auto moves = moves_in(sim_->service().transcript());
  const auto ends = file_ends(points);
  ASSERT_EQ(moves.size(), 2u) << "the volume went on to slots 1 and 2";
  ASSERT_EQ(ends.size(), 3u);
  std::printf("[ fill ] %s: %zu files, %lld ms; the moves took %u and %u blocks; files ended at %u %u %u\n",
              GetParam().name, points.size() - 1,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count()),
              moves.at(1), moves.at(2), ends.at(0), ends.at(1), ends.at(2));
  std::uint64_t last_free = ~0ull, worst = 0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    std::uint64_t taken = 0;
    for (int s = 0; s < 3; ++s) {
      const std::uint32_t from = std::max(p.used[s], s > 0 ? moves.at(s) : 0u);
      taken += ends.at(s) > from ? ends.at(s) - from : 0;
    }
    if (i % 8 == 0 || i + 1 == points.size())
      std::printf("[ fill ] %-24s free %7llu taken %7llu, slots at %u %u %u\n", p.after.c_str(),
                  static_cast<unsigned long long>(p.free), static_cast<unsigned long long>(taken), p.used[0],
                  p.used[1], p.used[2]);
    EXPECT_LE(p.free * 100, taken * 102) << "after " << p.after << ": free " << p.free << ", taken " << taken;
    EXPECT_LE(p.free, last_free) << "the free figure grew after " << p.after;
    if (p.free > taken) worst = std::max(worst, (p.free - taken) * 10000 / std::max<std::uint64_t>(taken, 1));
    last_free = p.free;
  }
  std::printf("[ fill ] %s: the figure exceeds what the files take by at most %llu.%02llu %%\n", GetParam().name,
              static_cast<unsigned long long>(worst / 100), static_cast<unsigned long long>(worst % 100));
}

INSTANTIATE_TEST_SUITE_P(Folders, FreeSpaceFill,
                         ::testing::Values(FillCase{"none", 0}, FillCase{"many", 12000}),
                         [](const ::testing::TestParamInfo<FillCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace e2e
