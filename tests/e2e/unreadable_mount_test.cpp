// A block the mount reads from the disc that does not read must never hide
// a synced file: the mount either lists every file or answers the damage,
// and the next mount, with the block readable again, lists every file
// whatever cache the damaged mount left behind.
//
// The sweep takes each range of blocks a mount from the disc reads (cache
// emptied) and makes one block of it unreadable at a time (READ(10) answers
// 03/11/00 every time). By default a few blocks of each range are taken:
// its first, its last and the first of each disc cluster between (the
// drive reads whole clusters of 32 blocks, so the other blocks of a cluster
// fail the same commands); with KEL_E2E_FULL_SWEEP set every block of every
// range is.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace e2e {
namespace {

struct Medium {
  std::uint8_t type;
  const char* product;
};

// The medium type in hexadecimal: the name of the test's case.
void PrintTo(const Medium& m, std::ostream* os) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", m.type);
  *os << b;
}

// One block of one slot's disc.
struct Block {
  int slot;
  std::uint32_t lsn;
  auto operator<=>(const Block&) const = default;
};

// The ranges read from `mark` on, block by block.
std::set<std::vector<Block>> ranges_read(const std::vector<TranscriptEntry>& t, std::size_t mark, int slot) {
  std::set<std::vector<Block>> out;
  for (const BlocksRead& r : reads_since(t, mark, slot)) {
    std::vector<Block> range;
    for (std::uint32_t b = 0; b < r.count; ++b) range.push_back({r.slot, r.first + b});
    out.insert(range);
  }
  return out;
}

bool full_sweep() { return std::getenv("KEL_E2E_FULL_SWEEP") != nullptr; }

// The blocks made unreadable: all of every range in a full sweep, else the
// first and last of each range and the first of each disc cluster between.
std::set<Block> blocks_to_break(const std::set<std::vector<Block>>& ranges) {
  constexpr std::uint32_t kClusterBlocks = 32;
  std::set<Block> out;
  for (const auto& r : ranges)
    for (std::size_t i = 0; i < r.size(); ++i)
      if (full_sweep() || i == 0 || i + 1 == r.size() || r[i].lsn % kClusterBlocks == 0) out.insert(r[i]);
  return out;
}

class UnreadableAtMount : public Scenario, public ::testing::WithParamInterface<Medium> {
 protected:
  static constexpr int kFiles = 40;

  void SetUp() override { make_sim(GetParam().type, GetParam().product, 3, kelsim::kDefaultDiscBlocks); }

  // "/d" with kFiles synced files.
  void write_folder() {
    start();
    check_mounts();
    mkdir("/d");
    for (int i = 0; i < kFiles; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "f%02d", i);
      archive_file(std::string("/d/") + name, 3000 + 97 * i, i);
      files_.insert(name);
    }
    sync("SyncTime");
    unmount();
  }

  // A mount from the disc (cache emptied): every range it read.
  std::set<std::vector<Block>> ranges_of_a_mount() {
    empty_cache();
    const int slot = cartridge().loaded_slot;
    start();
    const std::size_t mark = sim_->service().transcript().size();
    check_mounts();
    EXPECT_EQ(listing("/d"), files_);
    auto ranges = ranges_read(sim_->service().transcript(), mark, slot);
    unmount();
    return ranges;
  }

  // A mount from the disc with `b` unreadable: every file listed, or the
  // damage answered.
  void mount_damaged(const Block& b) {
    int id = -1;
    const auto answers = check_with_unreadable_block(b.slot, b.lsn, &id);
    ASSERT_FALSE(answers.empty());
    if (answers.back().name == "KelVolume") {
      EXPECT_EQ(listing("/").count("d"), 1u);
      EXPECT_EQ(listing("/d"), files_) << "a mount with a block unreadable hides files without saying so";
    } else {
      EXPECT_EQ(answers.back().name, "HRESULT") << answers.back().raw;
    }
    unmount();
    sim_->drive().remove_fault(id);
  }

  // The next mount, the block readable and the cache as the damaged mount
  // left it: every file listed.
  void mount_again() {
    start();
    check_mounts();
    EXPECT_EQ(listing("/d"), files_) << "the next mount trusts what the damaged mount left";
    unmount();
  }

  std::set<std::string> files_;
};

TEST_P(UnreadableAtMount, NoBlockAMountReadsHidesASyncedFile) {
  write_folder();
  const auto ranges = ranges_of_a_mount();
  ASSERT_FALSE(ranges.empty());
  const std::set<Block> blocks = blocks_to_break(ranges);
  std::printf("[ sweep ] %zu ranges, %zu blocks\n", ranges.size(), blocks.size());
  for (const Block& b : blocks) {
    SCOPED_TRACE("slot " + std::to_string(b.slot) + " block " + std::to_string(b.lsn));
    mount_damaged(b);
    mount_again();
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Media, UnreadableAtMount,
                         ::testing::Values(Medium{0xE1, "QMR-T300A"}, Medium{0xE2, "QMR-T300A"},
                                           Medium{0xF2, "QMR-T400A"}),
                         [](const ::testing::TestParamInfo<Medium>& i) { return ::testing::PrintToString(i.param); });

}  // namespace
}  // namespace e2e
