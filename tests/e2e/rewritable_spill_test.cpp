// A rewritable (E2h) volume across the two discs of its cartridge, through
// the real KelDriver: archives that fill slot 0 go on on slot 1, files of
// both slots restore before and after restarts; Format walks the spilled
// volume back to an empty one on slot 0 (backtrack to the initial state),
// also when the engine is killed during the walk and started again.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace e2e {
namespace {

constexpr std::size_t kMiB = 1u << 20;
constexpr std::uint8_t kFormatUnit = 0x04, kWrite10 = 0x2A;

// One "Set BackTrackProgress:" report of the engine's trace.
struct Progress {
  int status = -1, percent = -1, start = -1, end = -1;
};

// The reports in the order the trace files hold them (one file per engine
// process, oldest first by name).
std::vector<Progress> progress_reports(const std::string& traces) {
  std::vector<std::filesystem::path> files;
  for (const auto& f : std::filesystem::directory_iterator(traces))
    if (f.path().filename().string().rfind("KELtrace_", 0) == 0) files.push_back(f.path());
  std::sort(files.begin(), files.end());
  std::vector<Progress> out;
  bool in_report = false;
  auto field = [](const std::string& line, const char* name, int* to) {
    const std::size_t at = line.find(name);
    if (at != std::string::npos) *to = std::atoi(line.c_str() + at + std::strlen(name));
  };
  for (const auto& f : files) {
    std::ifstream in(f);
    for (std::string line; std::getline(in, line);) {
      if (line.find("BackTrackProgress:") != std::string::npos) {
        in_report = line.find("Set BackTrackProgress:") != std::string::npos;
        if (in_report) out.emplace_back();
        continue;
      }
      if (!in_report) continue;
      field(line, "  status       = ", &out.back().status);
      field(line, "  Progress     = ", &out.back().percent);
      field(line, "  SDiscSlotNum = ", &out.back().start);
      field(line, "  EDiscSlotNum = ", &out.back().end);
    }
  }
  return out;
}

class RewritableSpill : public Scenario {
 protected:
  void make(std::uint32_t disc_blocks = kelsim::kDefaultDiscBlocks) {
    ScenarioOptions o;
    o.medium_type = 0xE2;
    o.slots = 2;
    o.disc_blocks = disc_blocks;
    make_sim(o);
  }
  // The engines started from now on trace into this folder.
  std::string use_traces() {
    const std::string traces = sim_->directory() + "/traces";
    std::filesystem::create_directories(traces);
    dwords_.push_back({"Debug File Trace Level", 9});
    strings_ = {{"Debug File Directory Path", traces}};
    return traces;
  }
  bool slot1_formatted_ = true;
  std::size_t spill_mark_ = 0;         // transcript size before the request that spilled
  std::uint64_t spill_request_ = 0;    // ... and that request
  std::uint64_t figure(const std::string& key) { return number(ask_one("GetVolumeInfo", "KelVolume"), key); }
  // /a archived and flushed on slot 0; then an engine started with "Disc
  // Span Threshold" `below` blocks before the next writable block it left:
  // at it, the next Sync goes on to slot 1; below it, the next file
  // written.
  void start_at_the_span_threshold(std::uint32_t below = 0) {
    make();
    if (!slot1_formatted_) {
      kelsim::Disc& d = cartridge().disc(1);
      d.formatted = false;
      d.status = kelsim::DiscStatus::Blank;
      EXPECT_EQ(0u, save_cartridge());
    }
    start_checked();
    EXPECT_TRUE(archive_file("/a", 1 * kMiB + 3, 1).ok);
    sync("SyncTime");
    const std::uint64_t nwa = figure("NextWritableBlock");
    sync("SyncPreDeallocate");
    unmount();
    dwords_.push_back({"Disc Span Threshold", static_cast<std::uint32_t>(nwa) - below});
    start_checked();
  }
  // The threshold's start, then small archives until one lies on slot 1.
  // The names archived, slot 0's first.
  std::vector<std::string> spill_small_files() {
    start_at_the_span_threshold();
    std::vector<std::string> names{"/a"};
    // The request that loads slot 1: an archive, or with packed writing
    // the Sync that ends the session.
    auto spilled = [&] { return last_written_slot(cartridge()) == 1; };
    for (int n = 0; n < 6 && !spilled(); ++n) {
      names.push_back("/s" + std::to_string(n));
      spill_mark_ = sim_->service().transcript().size();
      EXPECT_TRUE(archive_file(names.back(), 300000 + n, 10 + n).ok);
      spill_request_ = sequence_;
      if (spilled()) break;
      spill_mark_ = sim_->service().transcript().size();
      sync("SyncTime");
      spill_request_ = sequence_;
    }
    EXPECT_EQ(last_written_slot(cartridge()), 1) << "the volume never went on on slot 1";
    EXPECT_EQ(figure("CurrentTrackId"), 1u);
    return names;
  }
  // Within request `seq` (from transcript entry `mark` on): slot 1 loaded
  // and formatted only when it never was; the cartridge memory names it
  // the last written slot.
  void expect_went_on_within(std::size_t mark, std::uint64_t seq, bool format_expected) {
    const auto t = sim_->service().transcript();
    std::vector<TranscriptEntry> in_request;
    for (std::size_t i = mark; i < t.size(); ++i)
      if (!t[i].cdb.empty() && t[i].sequence == seq) in_request.push_back(t[i]);
    const auto load = std::find_if(in_request.begin(), in_request.end(),
                                   [](const TranscriptEntry& e) { return loaded_slot_of(e) == 1; });
    ASSERT_NE(load, in_request.end()) << "slot 1 was not loaded by request " << seq;
    const bool formatted = std::any_of(load, in_request.end(), [](const TranscriptEntry& e) {
      return e.opcode() == kFormatUnit;
    });
    EXPECT_EQ(formatted, format_expected);
    EXPECT_EQ(last_written_slot(cartridge()), 1);
  }
  std::set<std::string> root_names(const std::vector<std::string>& paths) {
    std::set<std::string> out;
    for (const auto& p : paths) out.insert(p.substr(1));
    return out;
  }
  // After Format: the volume is empty on slot 0, the cartridge memory names
  // slot 0 and holds a cleared backtrack record, slot 1's descriptors are
  // gone.
  void expect_back_at_the_initial_state() {
    EXPECT_EQ(last_written_slot(cartridge()), 0);
    BacktrackRecord r;
    ASSERT_TRUE(read_backtrack_record(cartridge(), &r));
    EXPECT_EQ(r.sequence, 0u);
    EXPECT_EQ(r.location, 0u);
    EXPECT_TRUE(r.check_valid);
    // The walk erases a disc's recognition sequence, first anchor and main
    // sequence (blocks 0-31, 256-287) and its last 32 blocks.
    const std::uint32_t n = cartridge().disc_blocks();
    std::vector<std::uint8_t> area(32 * kelsim::kBlockSize);
    for (std::uint32_t first : {0u, 256u, n - 32}) {
      ASSERT_EQ(0u, cartridge().read_blocks(1, first, 32, area.data()));
      EXPECT_EQ(std::count(area.begin(), area.end(), 0), static_cast<std::ptrdiff_t>(area.size()))
          << "slot 1 from block " << first;
    }
    EXPECT_EQ(tag_of_block(cartridge(), 0, 256), 2u) << "slot 0's anchor";
  }
  // The volume lies on slot 0 alone (slot 1 keeps only unreadable remains
  // of the walked-back volume): udfinfo accepts slot 0's image, and an
  // engine with an emptied cache lists and restores the files.
  void expect_sound_on_slot_zero(const std::set<std::string>& root, const std::vector<std::string>& files) {
    if (engine_) unmount();
    ASSERT_EQ(0u, sim_->drive().flush());
    expect_udfinfo(sim_->cartridge_directory() + "/slot-00.img", {"integrity=closed"});
    start_checked(true);
    EXPECT_EQ(listing("/"), root);
    for (const auto& f : files) expect_restores(f);
    unmount();
  }
};

// Archives of 32 MiB fill slot 0 of a small disc: the archive that finds no
// room loads slot 1 and goes on there (a disc that came formatted gets no
// FORMAT UNIT); none answers disc full.
TEST_F(RewritableSpill, FillingSlotZeroGoesOnOnSlotOneAndBothRestore) {
  const auto t0 = std::chrono::steady_clock::now();
  make(0xAA000);
  dwords_ = {{"Packed Write Mode", 0}};
  start_checked();
  std::vector<std::string> names;
  std::size_t spill_mark = 0;
  for (int n = 0; n < 16 && last_written_slot(cartridge()) < 1; ++n) {
    spill_mark = sim_->service().transcript().size();
    names.push_back("/f" + std::to_string(n));
    const auto r = archive_file(names.back(), 32 * kMiB, n);
    ASSERT_TRUE(r.ok) << "archive " << n << " while slot 1 is free";
  }
  ASSERT_EQ(last_written_slot(cartridge()), 1) << "no spill after " << names.size() << " archives";
  expect_went_on_within(spill_mark, sequence_, false);
  sync("SyncTime");
  EXPECT_EQ(figure("CurrentTrackId"), 1u);
  // One more archive lies on slot 1; files of both slots restore, loading
  // the slots both ways.
  names.push_back("/after");
  const auto after = archive_file("/after", 5 * kMiB + 1, 99);
  ASSERT_TRUE(after.ok);
  EXPECT_GE(after.block, cartridge().disc_blocks()) << "the next archive lies on slot 1";
  for (const std::string& n : {names.front(), names[names.size() - 2], names.front(), names.back()})
    expect_restores(n);
  sync("SyncTime");
  sync("SyncPreDeallocate");
  unmount();
  for (bool emptied : {false, true}) {
    SCOPED_TRACE(emptied ? "emptied cache" : "same cache");
    start_checked(emptied);
    EXPECT_EQ(listing("/"), root_names(names));
    for (const std::string& n : {names.front(), names[names.size() - 2], names.back()}) expect_restores(n);
    unmount();
  }
  EXPECT_EQ(written_slots(cartridge()), (std::vector<int>{0, 1}));
  expect_udfinfo_on_written_slots();
  std::printf("[ time ] spill on rewritable: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

// A slot 1 that was never physically formatted is formatted by the request
// that goes on to it; the files of both slots restore, also after a
// restart with an emptied cache.
TEST_F(RewritableSpill, ANeverFormattedNextDiscIsFormattedWhenTheVolumeGoesOnToIt) {
  slot1_formatted_ = false;
  const auto names = spill_small_files();
  expect_went_on_within(spill_mark_, spill_request_, true);
  EXPECT_TRUE(cartridge().disc(1).formatted);
  sync("SyncTime");
  sync("SyncPreDeallocate");
  unmount();
  start_checked(true);
  EXPECT_EQ(listing("/"), root_names(names));
  for (const std::string& n : {names.front(), names.back()}) expect_restores(n);
  unmount();
  expect_udfinfo_on_written_slots();
}

// Format of the spilled volume walks it back to slot 0 (policy 5): the walk
// reports its progress, erases slot 1's descriptors and leaves an empty
// volume on slot 0.
TEST_F(RewritableSpill, FormatWalksTheSpilledVolumeBackToAnEmptySlotZero) {
  const auto names = spill_small_files();
  const std::string traces = use_traces();
  unmount();
  start_checked();
  EXPECT_EQ(listing("/"), root_names(names));
  const EngineElement v = ask_one("Format", "KelVolume", {{"VolumeID", "VOL-5"}, {"Replica", "7"}});
  EXPECT_EQ(v.attribute("QuorvelVolumeID"), "VOL-5") << v.raw;
  EXPECT_EQ(number(v, "CurrentTrackId"), 0u) << v.raw;
  EXPECT_EQ(listing("/"), std::set<std::string>{});
  const auto reports = progress_reports(traces);
  std::vector<int> walking;
  for (const auto& p : reports)
    if (p.status == 1) walking.push_back(p.percent);
  // At the start and on the last written slot: 0; after slot 1's erasure,
  // the load of slot 0 and slot 0's erasure: a quarter each (two steps of
  // 50 per slot).
  EXPECT_EQ(walking, (std::vector<int>{0, 0, 25, 50, 75}));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().status, 2);
  EXPECT_EQ(reports.back().percent, 100);
  EXPECT_EQ(reports.back().start, 1);
  EXPECT_EQ(reports.back().end, 0);
  expect_back_at_the_initial_state();
  // The volume goes on from there, on slot 0.
  ASSERT_TRUE(archive_file("/new", 70000, 5).ok);
  sync("SyncTime");
  EXPECT_EQ(figure("CurrentTrackId"), 0u);
  sync("SyncPreDeallocate");
  expect_sound_on_slot_zero({"new"}, {"/new"});
  EXPECT_EQ(last_written_slot(cartridge()), 0);
}

// The engine killed while the walk writes on slot 1: the record in the
// cartridge memory still names the walk, and the next engine finishes it
// before its first request; Check mounts the empty volume on slot 0.
TEST_F(RewritableSpill, AWalkKilledHalfWayIsFinishedWhenTheEngineStartsAgain) {
  const auto names = spill_small_files();
  const std::string traces = use_traces();
  unmount();
  start_checked();
  // The walk's first erasure, of slot 1's recognition sequence, holds its
  // answer.
  kelsim::FaultRule hold = kelsim::delay_answer(24ull * 3600 * 1000, kWrite10);
  hold.slot = 1;
  hold.first_lba = 0;
  hold.last_lba = 31;
  hold.times = 1;
  const int id = sim_->drive().add_fault(hold);
  const std::uint64_t held_before = sim_->service().held();
  ASSERT_TRUE(engine_->send(kelsim::request_line(++sequence_, "Format", {{"VolumeID", "VOL-6"}, {"Replica", "8"}})));
  ASSERT_TRUE(sim_->service().wait_for_held(held_before + 1, 60000)) << engine_->describe();
  sim_->drive().remove_fault(id);
  const auto walked = progress_reports(traces);
  kill_engine();
  sim_->service().release_held();
  ASSERT_FALSE(walked.empty()) << "the walk had not begun";
  EXPECT_EQ(walked.back().status, 1);
  BacktrackRecord r;
  ASSERT_TRUE(read_backtrack_record(cartridge(), &r));
  EXPECT_NE(r.sequence, 0u) << "the interrupted walk is recorded";
  EXPECT_EQ(r.location, 0u) << "a walk to the initial state";
  EXPECT_TRUE(r.check_valid);

  const std::size_t mark = sim_->service().transcript().size();
  start_checked();
  // The walk ran at the start, before the first request (sequence 0): it
  // named slot 0 the last written one and cleared the record there.
  const auto t = sim_->service().transcript();
  std::vector<TranscriptEntry> at_start;
  for (std::size_t i = mark; i < t.size(); ++i)
    if (t[i].sequence == 0) at_start.push_back(t[i]);
  const auto slot_marks = writes_of_attribute(at_start, 0x0D00);
  ASSERT_FALSE(slot_marks.empty()) << "no walk at the start";
  EXPECT_EQ(slot_marks.back().value, (std::vector<std::uint8_t>{0}));
  EXPECT_FALSE(writes_of_attribute(at_start, 0x1500).empty());
  EXPECT_EQ(figure("CurrentTrackId"), 0u);
  EXPECT_EQ(listing("/"), std::set<std::string>{});
  expect_back_at_the_initial_state();
  ASSERT_TRUE(archive_file("/new", 70000, 6).ok);
  sync("SyncTime");
  sync("SyncPreDeallocate");
  expect_sound_on_slot_zero({"new"}, {"/new"});
}

// An Archive without packing that finds the volume past the threshold
// moves it to slot 1 before it writes the file's data there. The engine
// killed at any WRITE(10) of that Archive on slot 1 (the move's flush, the
// data, the file's own flush) leaves the name unlisted or holding every
// byte, in a new engine with the cache kept and then emptied.
TEST_F(RewritableSpill, AnArchiveKilledAfterItMovedToTheNextSlotLeavesNoEmptyFile) {
  constexpr std::size_t kBytes = 300000;
  std::size_t at = 0;
  for (bool reached = true; reached; ++at) {
    SCOPED_TRACE("killed at WRITE(10) " + std::to_string(at) + " on slot 1");
    dwords_ = {{"Packed Write Mode", 0}};
    archived_.clear();
    ASSERT_NO_FATAL_FAILURE(start_at_the_span_threshold(1));
    reached = kill_during_request(at, [&] { try_archive_file("/b", kBytes, 7); }, nullptr, kWrite10, 1);
    for (bool emptied : {false, true}) {
      SCOPED_TRACE(emptied ? "cache emptied" : "cache kept");
      start_checked(emptied);
      const auto sizes = listed_sizes("/");
      EXPECT_EQ(sizes.count("a"), 1u);
      if (sizes.count("b")) {
        EXPECT_EQ(sizes.at("b"), kBytes) << "the name lists part of the file";
        expect_restores("/b");
      }
      expect_restores("/a");
      unmount();
    }
    if (HasFailure()) break;
  }
  EXPECT_GT(at, 3u) << "the Archive wrote too little on slot 1 to be cut there";
}

std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Blocks of a slot's two descriptor sequences (named by the anchor at 256)
// that hold a descriptor with tag identifier `tag`.
std::vector<std::uint32_t> descriptors_of(kelsim::Cartridge& c, int slot, std::uint16_t tag) {
  std::vector<std::uint32_t> out;
  std::uint8_t anchor[kelsim::kBlockSize];
  if (c.read_blocks(slot, 256, 1, anchor) != 0 || tag_of_block(c, slot, 256) != 2) return out;
  for (std::size_t extent : {16u, 24u}) {
    const std::uint32_t length = le32(anchor + extent), first = le32(anchor + extent + 4);
    for (std::uint32_t b = first; b < first + length / kelsim::kBlockSize; ++b)
      if (tag_of_block(c, slot, b) == tag) out.push_back(b);
  }
  return out;
}

// Moves the metadata bitmap file's entry of slot 0's volume to the block
// 0x3F000 + 32 before the partition's end and names it there in both
// logical volume descriptors: the next mount takes its next writable block
// from behind that entry, and the disc has 0x3F000 blocks left, below the
// limit of 0x40000 at which a flush goes on to the next disc.
void fill_slot_zero_to_the_limit(kelsim::Cartridge& c) {
  const auto pds = descriptors_of(c, 0, 5), lvds = descriptors_of(c, 0, 6);
  ASSERT_EQ(pds.size(), 2u);
  ASSERT_EQ(lvds.size(), 2u);
  std::uint8_t d[kelsim::kBlockSize];
  ASSERT_EQ(0u, c.read_blocks(0, pds[0], 1, d));
  const std::uint32_t start = le32(d + 188), length = le32(d + 192);
  const std::uint32_t moved = length - 0x3F000 - 32;
  std::uint32_t was = 0;
  for (std::uint32_t b : lvds) {
    ASSERT_EQ(0u, c.read_blocks(0, b, 1, d));
    ASSERT_EQ(d[440], 2) << "the metadata partition map comes first";
    was = le32(d + 488);
    put_le32(d + 488, moved);
    retag_descriptor(d);
    ASSERT_EQ(0u, c.write_blocks(0, b, 1, d));
  }
  ASSERT_LT(was, moved);
  ASSERT_EQ(0u, c.read_blocks(0, start + was, 1, d));
  ASSERT_EQ(d[0] | d[1] << 8, 266) << "the bitmap file's entry";
  put_le32(d + 12, moved);
  retag_descriptor(d);
  ASSERT_EQ(0u, c.write_blocks(0, start + moved, 1, d));
  ASSERT_EQ(tag_of_block(c, 0, start + moved), 266);
  ASSERT_EQ(0u, c.save());
}

// A disc with at most 0x40000 blocks left before the last slot: the Sync of
// a change goes on to slot 1 once (the flushes of that move stay on their
// disc) and answers success; a new engine with an emptied cache mounts the
// volume from slot 1 and lists and restores what both Syncs flushed.
TEST_F(RewritableSpill, ASyncOnADiscShortOfRoomGoesOnToTheNextSlotOnce) {
  make(0x100000);
  dwords_ = {{"Packed Write Mode", 0}};
  start_checked();
  ASSERT_TRUE(archive_file("/a", 300000, 3).ok);
  sync("SyncTime");
  unmount();
  fill_slot_zero_to_the_limit(sim_->cartridge());
  if (HasFatalFailure()) return;
  const std::string traces = use_traces();
  start_checked(true);
  mkdir("/b");
  sync("SyncTime");
  EXPECT_EQ(last_written_slot(sim_->cartridge()), 1) << "the Sync went on to slot 1";
  EXPECT_EQ(trace_lines(traces, "Disc Change for WRITE_NEXT_TRACK").size(), 1u);
  EXPECT_EQ(figure("CurrentTrackId"), 1u);
  mkdir("/c");
  sync("SyncTime");
  unmount();
  start_checked(true);
  EXPECT_EQ(listing("/"), (std::set<std::string>{"a", "b", "c"}));
  expect_restores("/a");
  unmount();
  expect_udfinfo_on_written_slots();
}

}  // namespace
}  // namespace e2e
