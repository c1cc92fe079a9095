// Rollback points left by flushes of a write-once cartridge, listed by
// GetRollbackInfo and mounted by RollbackMount, through the real KelDriver.
// The states are told apart by folders made between the flushes.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

namespace e2e {
namespace {

constexpr std::uint16_t kExtendedFileEntry = 266;
constexpr std::uint8_t kMetadataFileType = 250;

struct Point {
  std::uint32_t slot, fe, fsd;
};

class RollbackPoints : public Scenario {
 protected:
  // Three states: /a, then /b, then /c, each flushed by "SyncTime".
  void three_flushes() {
    check_mounts();
    for (const char* name : {"/a", "/b", "/c"}) {
      mkdir(name);
      syncs_.push_back(sync("SyncTime"));
    }
  }
  std::vector<Point> points_of(const std::vector<EngineElement>& info) {
    std::vector<Point> out;
    for (const auto& e : info)
      out.push_back({static_cast<std::uint32_t>(number(e, "SlotNumber")),
                     static_cast<std::uint32_t>(number(e, "MetaDataFE_LSN")),
                     static_cast<std::uint32_t>(number(e, "FsdLsn"))});
    return out;
  }
  // The file type of the ICB tag of a block that holds an extended file entry.
  std::uint8_t file_type_at(int slot, std::uint32_t lsn) {
    std::uint8_t b[kelsim::kBlockSize] = {};
    EXPECT_EQ(0u, cartridge().read_blocks(slot, lsn, 1, b));
    return b[16 + 11];
  }

  std::vector<EngineElement> syncs_;
};

TEST_F(RollbackPoints, EachFlushLeavesAPointListedOldestFirst) {
  const auto t0 = std::chrono::steady_clock::now();
  make_sim({});
  start();
  three_flushes();
  const int slot_before = cartridge().loaded_slot;
  const std::size_t mark = sim_->service().transcript().size();
  const auto info = rollback_info();
  const std::uint64_t seq = last_sequence();
  ASSERT_GE(info.size(), 4u);
  const auto points = points_of(info);
  // The closing element is all zeros; every other one a metadata file
  // entry in its slot's image, later points at higher blocks.
  EXPECT_EQ(points.back().fe, 0u);
  EXPECT_EQ(points.back().fsd, 0u);
  EXPECT_EQ(points.back().slot, 0u);
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tag_of_block(cartridge(), points[i].slot, points[i].fe), kExtendedFileEntry);
    EXPECT_EQ(file_type_at(points[i].slot, points[i].fe), kMetadataFileType);
    if (i > 0) {
      EXPECT_GT(points[i].fe, points[i - 1].fe) << "oldest first";
    }
  }
  // Each saving flush has a point between its start and its end.
  for (const auto& s : syncs_) {
    const std::uint64_t from = number(s, "BlockNumber"), to = number(s, "NextWritableBlock");
    EXPECT_LT(from, to) << s.raw;
    EXPECT_TRUE(std::any_of(points.begin(), points.end() - 1, [&](const Point& p) {
      const std::uint64_t block = std::uint64_t{p.slot} * cartridge().disc_blocks() + p.fe;
      return block >= from && block < to;
    })) << s.raw;
  }
  // The drive utility library's commands: this request's, phase 3, sense
  // capacity 18; the drive holds the same slot afterwards.
  const auto t = sim_->service().transcript();
  std::size_t sdk = 0;
  for (std::size_t i = mark; i < t.size(); ++i) {
    if (t[i].cdb.empty()) continue;
    EXPECT_EQ(t[i].sequence, seq) << t[i].line();
    EXPECT_EQ(t[i].phase, 3u) << t[i].line();
    if (is_sdk_command(t[i])) ++sdk;
  }
  EXPECT_GT(sdk, 0u);
  EXPECT_EQ(cartridge().loaded_slot, slot_before);
  expect_sound_cartridge({{"/", {"a", "b", "c"}}});
  std::printf("[ time ] rollback points: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

TEST_F(RollbackPoints, RollbackMountShowsAnEarlierStateAndZeroReturnsToTheLatest) {
  make_sim({});
  start();
  three_flushes();
  const auto points = points_of(rollback_info());
  ASSERT_GE(points.size(), 5u);
  // The point of the first flush (after the format's own point).
  const Point a = points[points.size() - 4];
  const std::size_t before = engine_->elements().size();
  const EngineElement v = rollback_mount(a.slot, a.fe, a.fsd);
  EXPECT_EQ(number(v, "ObjectCount"), 1u) << v.raw;
  // The mounted volume was unmounted first (its unmount sends no command
  // here: nothing was left to write).
  const auto out = engine_->elements();
  const std::string seq = std::to_string(last_sequence());
  EXPECT_TRUE(std::any_of(out.begin() + static_cast<std::ptrdiff_t>(before), out.end(), [&](const EngineElement& e) {
    return e.is_debug() && e.attribute("SequenceNumber") == seq &&
           e.text.find("Unmounting the volume finished.") != std::string::npos;
  })) << engine_->describe();
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a"}));
  // A later Check keeps that state and mounts nothing.
  const std::size_t mark2 = sim_->service().transcript().size();
  check_mounts();
  const auto t2 = sim_->service().transcript();
  EXPECT_FALSE(std::any_of(t2.begin() + static_cast<std::ptrdiff_t>(mark2), t2.end(),
                           [](const TranscriptEntry& e) { return !e.cdb.empty() && e.phase == 1; }));
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a"}));

  // Back to the latest state.
  rollback_mount(0, 0, 0);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b", "c"}));
  ask_one("RenameDirectory", "KelVolume",
          {{"Name", kelsim::escape_name("/b")},
           {"NewName", kelsim::escape_name("/b2")},
           {"KernelInterface", "0"},
           {"BlockNumber", "0"}});
  sync("SyncTime");
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b2", "c"}));
  expect_sound_cartridge({{"/", {"a", "b2", "c"}}});
}

// Archive A, flush; B, flush; C, flush: the points, a rollback mount to A's
// that lists and restores only A, and the return to the latest state with
// all three restoring.
TEST_F(RollbackPoints, ArchivedFilesAtEachPointAndBack) {
  const auto t0 = std::chrono::steady_clock::now();
  make_sim({});
  dwords_ = {{"Packed Write Mode", 0}};
  start();
  check_mounts();
  std::vector<std::uint64_t> archived_at;
  for (const char* name : {"/A", "/B", "/C"}) {
    const auto r = archive_file(name, 300000, name[1]);
    ASSERT_TRUE(r.ok);
    archived_at.push_back(r.block);
    sync("SyncTime");
  }
  std::printf("[ time ] archives and flushes: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  const auto points = points_of(rollback_info());
  std::printf("[ time ] points listed: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  // A point after each file's data, before the next file's: A's state is
  // the first after A's data.
  auto point_between = [&](std::uint64_t from, std::uint64_t to) {
    return std::find_if(points.begin(), points.end() - 1, [&](const Point& p) {
      const std::uint64_t block = std::uint64_t{p.slot} * cartridge().disc_blocks() + p.fe;
      return block >= from && block < to;
    });
  };
  const auto a = point_between(archived_at[0], archived_at[1]);
  ASSERT_NE(a, points.end() - 1);
  EXPECT_NE(point_between(archived_at[1], archived_at[2]), points.end() - 1);
  EXPECT_NE(point_between(archived_at[2], ~0ull), points.end() - 1);
  rollback_mount(a->slot, a->fe, a->fsd);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"A"}));
  std::printf("[ time ] mounted at the point: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  expect_restores("/A");
  std::printf("[ time ] at the point: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  rollback_mount(0, 0, 0);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"A", "B", "C"}));
  for (const char* name : {"/A", "/B", "/C"}) expect_restores(name);
  std::printf("[ time ] back: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
  expect_sound_cartridge({{"/", {"A", "B", "C"}}}, {"/A", "/B", "/C"});
  std::printf("[ time ] rollback points of archives: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

// The newest metadata file entry and its mirror (16 blocks on) get broken
// tags: the default mount fails. Without "Rollback Mount On Error" the
// Check fails and the drive utility library is not asked; with it the
// points are mounted in list order until one mounts: the previous flush's.
class RollbackOnError : public RollbackPoints,
                        public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(RollbackOnError, BrokenNewestMetadataEntries) {
  const bool on = GetParam() != 0;
  make_sim({});
  start();
  three_flushes();
  const auto points = points_of(rollback_info());
  ASSERT_GE(points.size(), 3u);
  const Point newest = points[points.size() - 2];
  unmount();
  for (std::uint32_t lsn : {newest.fe, newest.fe + 16}) {
    std::uint8_t b[kelsim::kBlockSize];
    ASSERT_EQ(0u, cartridge().read_blocks(static_cast<int>(newest.slot), lsn, 1, b));
    ASSERT_EQ(tag_of_block(cartridge(), static_cast<int>(newest.slot), lsn), kExtendedFileEntry) << lsn;
    b[4] ^= 0xFF;  // the tag checksum
    ASSERT_EQ(0u, cartridge().write_blocks(static_cast<int>(newest.slot), lsn, 1, b));
  }
  empty_cache();
  start_with({{"Rollback Mount On Error", GetParam()}});
  const std::size_t mark = sim_->service().transcript().size();
  const auto answers = ask("Check");
  ASSERT_FALSE(answers.empty());
  const auto t = sim_->service().transcript();
  const bool sdk_asked = std::any_of(t.begin() + static_cast<std::ptrdiff_t>(mark), t.end(), is_sdk_command);
  if (!on) {
    EXPECT_EQ(answers.back().name, "HRESULT") << answers.back().raw;
    EXPECT_FALSE(sdk_asked);
    return;
  }
  ASSERT_EQ(answers.back().name, "KelVolume") << engine_->describe();
  EXPECT_TRUE(sdk_asked);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b"})) << "the previous flush's state";
  // The volume shows an earlier state: a new file is refused, and the
  // store, loaded in full (LoadAll) at the point, writes no file (phase 6)
  // at the next flush.
  const std::string local = sim_->directory() + "/x-in";
  std::ofstream(local, std::ios::binary) << std::string(70000, 'x');
  kelsim::ArchiveRequest x;
  x.name = "/x";
  x.generation = 3;
  x.version = 4;
  const auto archived = engine_->archive(++sequence_, local, x);
  EXPECT_FALSE(archived.ok) << "a new file at a rollback point";
  ASSERT_NE(archived.last(), nullptr) << archived.error;
  EXPECT_EQ(archived.last()->name, "HRESULT");
  const std::size_t before_sync = sim_->service().transcript().size();
  sync("SyncTime");
  const auto later = sim_->service().transcript();
  EXPECT_TRUE(std::none_of(later.begin() + static_cast<std::ptrdiff_t>(before_sync), later.end(),
                           [](const TranscriptEntry& e) { return e.opcode() == 0x2A && e.phase == 6; }))
      << "a store file written at a rollback point";
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b"}));
}

INSTANTIATE_TEST_SUITE_P(Setting, RollbackOnError, ::testing::Values(0u, 1u));

}  // namespace
}  // namespace e2e
