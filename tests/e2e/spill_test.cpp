// A volume that grows from disc to disc of a write-once cartridge, through
// the real KelDriver: archives fill slot 0 and the volume goes on on slot 1;
// files of both slots restore, before and after a restart. With packed
// writing the whole session so far is in its proxy when the archive that
// crosses to slot 1 is sized: on a cartridge of two slots its free space is
// then less than the session, and only the bytes not yet on the disc may
// count.
//
// The writer leaves 0x80000 blocks free at the end of a disc that is not the
// last; the engine's figures stay non-zero only while the next writable
// address is well below the slots' capacity (a slot's reserve is 0x4000
// clusters): a disc of 0xAA000 blocks takes about ten files of 32 MiB.
// Packed data reaches the disc from the writer's own thread as its buffers
// fill, so the archive after which slot 0's free figure reaches that reserve,
// and the one that crosses to slot 1, vary by one with the machine's load:
// each free figure is weighed against the next writable address of the same
// answer, never against a count of archives alone.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {
namespace {

constexpr std::uint32_t kDiscBlocks = 0xAA000;
constexpr int kMaxArchives = 16;
constexpr std::size_t kFileBytes = 32u << 20;
constexpr std::uint64_t kFileBlocks = kFileBytes / 2048;
// Files whose data slot 0's free figure follows before it reaches the reserve.
constexpr std::uint64_t kSlot0Files = 10;

struct SpillCase {
  std::uint32_t packed;  // "Packed Write Mode"
  std::uint8_t slots;
};
void PrintTo(const SpillCase& c, std::ostream* os) {
  *os << (c.packed ? "packed" : "unpacked") << ", " << int{c.slots} << " slots";
}

class Spill : public Scenario, public ::testing::WithParamInterface<SpillCase> {
 protected:
  std::string local(const std::string& name) { return sim_->directory() + "/" + name; }
  // A local file of kFileBytes whose bytes depend on its number.
  std::string make_file(int n) {
    const std::string path = local("in-" + std::to_string(n));
    std::string data(kFileBytes, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + n * 7) & 0xFF);
    std::ofstream(path, std::ios::binary) << data;
    return path;
  }
  static std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  kelsim::ExchangeResult archive(int n) {
    kelsim::ArchiveRequest r;
    r.name = "/f" + std::to_string(n);
    return engine_->archive(++sequence_, make_file(n), r);
  }
  // Every figure above the floor (slot 0 full up to its reserve) fell from
  // `before` by nine tenths of the blocks written since, about, and
  // never by more than those; figures never rise; the last one above the
  // floor has most of slot 0's files on the disc.
  static void expect_free_follows_writes(const EngineElement& before, const std::vector<EngineElement>& figures,
                                         std::uint64_t floor) {
    const std::uint64_t free0 = number(before, "FreeBlocks"), nwa0 = number(before, "NextWritableBlock");
    // A slot with nearly nothing written (below 4096 + 8192 blocks) counts
    // as wholly free, or nearly so. When `before` was taken there (how much
    // of the first file's data had reached the disc by then depends on the
    // writer's thread against the request, so on the machine's load), later
    // figures fall by up to that much more than their written blocks.
    const bool early = free0 == number(before, "TotalBlocks") ||
                       nwa0 < number(before, "PartitionStart") + 12288;
    const std::uint64_t wholly_free = early ? 12288 : 0;
    std::uint64_t previous = free0, most_written = 0;
    for (const EngineElement& g : figures) {
      const std::uint64_t free = number(g, "FreeBlocks"), nwa = number(g, "NextWritableBlock");
      EXPECT_LE(free, previous) << g.raw;
      previous = free;
      if (free == floor) continue;
      ASSERT_GE(nwa, nwa0) << g.raw;
      const std::uint64_t written = nwa - nwa0, fell = free0 - free;
      // The same rule makes the first figures fall by up to that much less.
      EXPECT_GE(fell + 12288, written * 9 / 10) << before.raw << "\n" << g.raw;
      EXPECT_LE(fell, written + 64 + wholly_free) << before.raw << "\n" << g.raw;
      most_written = std::max(most_written, written);
    }
    EXPECT_GE(most_written, (kSlot0Files - 2) * kFileBlocks) << "the free figure reached the reserve too early";
  }
  void expect_restores(int n) {
    kelsim::RestoreRequest r;
    r.name = "/f" + std::to_string(n);
    const std::string out = local("out-" + std::to_string(n));
    const auto res = engine_->restore(++sequence_, r, out);
    ASSERT_TRUE(res.ok) << r.name << " " << res.error << "\n" << engine_->describe();
    EXPECT_EQ(read_all(out), read_all(local("in-" + std::to_string(n)))) << r.name;
  }
};

TEST_P(Spill, WriteOnceArchivesGoOnOnTheNextSlotAndRestoreFromBoth) {
  const auto t0 = std::chrono::steady_clock::now();
  ScenarioOptions o;
  o.disc_blocks = kDiscBlocks;
  o.slots = GetParam().slots;
  make_sim(o);
  dwords_ = {{"Packed Write Mode", GetParam().packed}};
  start();
  check_mounts();
  const auto first = archive(0);
  ASSERT_TRUE(first.ok) << first.error << "\n" << engine_->describe();
  const EngineElement before = ask_one("GetVolumeInfo", "KelVolume");
  ASSERT_GT(number(before, "FreeBlocks"), 0u) << before.raw;
  EngineElement last_on_slot0 = before;
  std::vector<EngineElement> on_slot0;  // the figures after each archive that stayed on slot 0
  // Archive until a file lies on slot 1.
  int spilled = -1;
  std::size_t spill_mark = 0;
  std::uint64_t last_block = 0;
  // Slot 0 has room for about ten such files above the margin.
  for (int n = 1; n <= kMaxArchives && spilled < 0; ++n) {
    const std::size_t mark = sim_->service().transcript().size();
    const auto r = archive(n);
    ASSERT_TRUE(r.ok) << "archive " << n << ": " << (r.last() ? r.last()->raw : r.error) << "\n"
                      << engine_->describe();
    last_block = r.block;
    if (last_written_slot(cartridge()) == 0) {
      last_on_slot0 = ask_one("GetVolumeInfo", "KelVolume");
      on_slot0.push_back(last_on_slot0);
    }
    if (last_written_slot(cartridge()) == 1) {
      spilled = n;
      spill_mark = mark;
    }
  }
  if (spilled < 0) {
    const EngineElement v = ask_one("GetVolumeInfo", "KelVolume");
    FAIL() << "no spill: after " << kMaxArchives << " archives of " << (kFileBytes >> 20) << " MiB on a disc of " << kDiscBlocks
                 << " blocks the volume is still on slot 0 (0D00h " << last_written_slot(cartridge())
                 << ", last archive at block " << last_block << "); the volume reports TotalBlocks "
                 << v.attribute("TotalBlocks") << ", FreeBlocks " << v.attribute("FreeBlocks") << ", UsedBlocks "
                 << v.attribute("UsedBlocks") << ", NumberOfBlocksPerTrack "
                 << v.attribute("NumberOfBlocksPerTrack")
                 << ": the volume never asks for the next slot";
  }
  // The free blocks followed the written data (packed writing keeps the
  // last file back until the next one): they fell by slot 0's room, and
  // until they reached the reserve each answer's figure fell with its own
  // next writable address.
  EXPECT_GE(number(before, "FreeBlocks"),
            number(last_on_slot0, "FreeBlocks") +
                std::min<std::uint64_t>(spilled - 2, kSlot0Files) * kFileBlocks * 9 / 10)
      << before.raw << "\n" << last_on_slot0.raw;
  expect_free_follows_writes(before, on_slot0, number(last_on_slot0, "FreeBlocks"));
  EXPECT_EQ(number(last_on_slot0, "UsedBlocks"),
            number(last_on_slot0, "TotalBlocks") - number(last_on_slot0, "FreeBlocks"));
  // The new track: slot 1 loaded, formatted and reserved within that
  // Archive.
  const auto t = sim_->service().transcript();
  std::vector<std::uint8_t> order;
  for (std::size_t i = spill_mark; i < t.size(); ++i) {
    if (t[i].cdb.empty()) continue;
    if (loaded_slot_of(t[i]) == 1 || t[i].opcode() == 0x04 || t[i].opcode() == 0x53) {
      EXPECT_EQ(t[i].sequence, sequence_) << t[i].line();
      order.push_back(t[i].opcode());
    }
  }
  ASSERT_GE(order.size(), 3u);
  EXPECT_EQ(order.front(), 0xA6);
  EXPECT_NE(std::find(order.begin(), order.end(), 0x04), order.end());
  EXPECT_NE(std::find(order.begin(), order.end(), 0x53), order.end());
  sync("SyncTime");
  const EngineElement v = ask_one("GetVolumeInfo", "KelVolume");
  EXPECT_EQ(number(v, "CurrentTrackId"), 1u) << v.raw;
  EXPECT_EQ(number(v, "MaximumTrackId"), GetParam().slots) << v.raw;
  // Restores alternating between the slots; the volume stays on slot 1.
  expect_restores(0);
  expect_restores(spilled);
  expect_restores(0);
  EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "CurrentTrackId"), 1u);
  const auto next = archive(100);
  ASSERT_TRUE(next.ok);
  EXPECT_GE(next.block, cartridge().disc_blocks()) << "the next archive lies on slot 1";
  sync("SyncPreDeallocate");
  unmount();
  for (bool emptied : {false, true}) {
    if (emptied) empty_cache();
    start();
    check_mounts();
    for (int n : {0, spilled, 100}) expect_restores(n);
    unmount();
  }
  expect_udfinfo_on_written_slots();
  // The drive reported every disc change as a real one does (02/04/01 while
  // the disc spins up, then 06/28/00 once) and its power-on (06/29/00): the
  // engine met each with TEST UNIT READY alone, and every request above
  // still succeeded.
  int changes = 0, power_on = 0, loads = 0;
  for (const auto& e : sim_->service().transcript()) {
    if (e.cdb.empty()) continue;
    loads += e.opcode() == 0xA6;
    const bool attention = e.check_condition && e.sense.key == 6;
    const bool becoming = e.check_condition && e.sense == kelsim::Sense{2, 4, 1};
    if (attention || becoming) {
      EXPECT_EQ(0x00, e.opcode()) << e.line();
    }
    changes += e.check_condition && e.sense == kelsim::Sense{6, 0x28, 0};
    power_on += e.check_condition && e.sense == kelsim::Sense{6, 0x29, 0};
  }
  EXPECT_EQ(1, power_on);
  EXPECT_GE(changes, 3) << "the move to slot 1 and the restores that alternate between the slots";
  EXPECT_LE(changes, loads);
  std::printf("[ time ] spill on write-once: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

std::string name_of(const ::testing::TestParamInfo<SpillCase>& i) {
  return std::string(i.param.packed ? "Packed" : "Unpacked") + std::to_string(i.param.slots) + "Slots";
}

INSTANTIATE_TEST_SUITE_P(PackedWriting, Spill,
                         ::testing::Values(SpillCase{0, 3}, SpillCase{1, 3}, SpillCase{1, 2}), name_of);

}  // namespace
}  // namespace e2e
