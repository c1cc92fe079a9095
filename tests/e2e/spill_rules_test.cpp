// The rules that move a write-once volume to the next slot of its cartridge
// while the disc still has room, through the real KelDriver: the next
// writable block passing "Disc Span Threshold", and the drive's write
// resources running out (four calibrations left on the disc). Each runs
// with the writer in its ordinary mode and in new-write mode (a non-zero
// error-reporting threshold in the drive's mode page 01h), where the
// writer's data is synchronised before the new track is made. On the last
// slot nothing moves on: the archive answers "disc full" and no slot is
// loaded.
#include "scenario_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace e2e {
namespace {

constexpr std::size_t kMiB = 1u << 20;
constexpr std::uint32_t kNewWriteWindow = 0x8000;
constexpr std::uint64_t kDiscFull = 0x80070070;
constexpr std::uint8_t kFormatUnit = 0x04, kReserveTrack = 0x53;
constexpr const char* kSyncBeforeNewTrack = "===== SyncCache before CREATE_NEW_TRACK";

enum class Rule { SpanThreshold, WriteResources };

struct RuleCase {
  const char* name;
  Rule rule;
  bool new_write;
  std::uint32_t packed;  // "Packed Write Mode"
};
void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class SpillRules : public Scenario, public ::testing::WithParamInterface<RuleCase> {
 protected:
  std::string use_traces() {
    const std::string traces = sim_->directory() + "/traces";
    std::filesystem::create_directories(traces);
    strings_ = {{"Debug File Directory Path", traces}};
    return traces;
  }
  // The dirent of `name` in the root, with its extents.
  EngineElement dirent(const std::string& name) {
    for (const auto& e : ask("ReadDirectory", {{"Name", kelsim::escape_name("/")}}))
      if (kelsim::unescape_name(e.attribute("ObjectName")) == name) return e;
    ADD_FAILURE() << name << " is not listed";
    return EngineElement{};
  }
  // The slots that hold a listed file's extents (cartridge blocks: slot x
  // blocks per slot + block of the slot).
  std::set<std::uint64_t> slots_of(const std::string& name) {
    const EngineElement e = dirent(name);
    std::set<std::uint64_t> out;
    const std::uint64_t n = number(e, "SpaceEntries.Count");
    EXPECT_GT(n, 0u) << e.raw;
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::string k = "SpaceEntries." + std::to_string(i) + ".";
      const std::uint64_t first = number(e, k + "BlockNumber"), blocks = number(e, k + "NumberOfBlocks");
      out.insert(first / cartridge().disc_blocks());
      out.insert((first + blocks - 1) / cartridge().disc_blocks());
    }
    return out;
  }
  // /A archived and flushed; then the rule is set up (the threshold at the
  // next writable block /A left, or four calibrations left on slot 0's
  // disc) and the engine started again.
  void archive_a_and_set_up(const RuleCase& c) {
    ScenarioOptions o;
    if (c.new_write) o.error_reporting_threshold = kNewWriteWindow;
    make_sim(o);
    traces_ = use_traces();
    dwords_ = {{"Packed Write Mode", c.packed}, {"Debug File Trace Level", 9}};
    start();
    check_mounts();
    ASSERT_TRUE(archive_file("/A", 1 * kMiB, 1).ok);
    sync("SyncTime");
    const std::uint64_t nwa = number(ask_one("GetVolumeInfo", "KelVolume"), "NextWritableBlock");
    unmount();
    if (c.rule == Rule::SpanThreshold) {
      dwords_.push_back({"Disc Span Threshold", static_cast<std::uint32_t>(nwa)});
    } else {
      kelsim::Cartridge& k = cartridge();
      k.disc(0).opc_used = static_cast<std::uint16_t>(k.opc_count - 4);
      ASSERT_EQ(0u, save_cartridge());
    }
    start();
    check_mounts();
  }
  // The request that loaded slot `slot` after transcript entry `mark`:
  // A6h, then FORMAT UNIT and RESERVE TRACK; the cartridge memory names the
  // slot the last written one (0D00h).
  std::uint64_t expect_new_track(std::size_t mark, int slot) {
    const auto t = sim_->service().transcript();
    const auto load = std::find_if(t.begin() + static_cast<std::ptrdiff_t>(mark), t.end(),
                                   [&](const TranscriptEntry& e) { return loaded_slot_of(e) == slot; });
    EXPECT_NE(load, t.end()) << "slot " << slot << " was never loaded";
    if (load == t.end()) return 0;
    const auto in_request = commands_of({load, t.end()}, load->sequence);
    std::vector<std::uint8_t> order;
    for (const auto& e : in_request)
      if (e.opcode() == kFormatUnit || e.opcode() == kReserveTrack) order.push_back(e.opcode());
    EXPECT_EQ(order, (std::vector<std::uint8_t>{kFormatUnit, kReserveTrack})) << load->line();
    EXPECT_GE(last_written_slot(cartridge()), slot);
    return load->sequence;
  }
  // The writer's account of the first new track, in its order: why, the
  // synchronisation of new-write mode, the disc change, the new track.
  void expect_new_track_traced(const RuleCase& c) {
    const auto lines = trace_lines(traces_, "CREATE_NEW_TRACK");
    std::vector<std::string> want = {c.rule == Rule::SpanThreshold ? "CREATE_NEW_TRACK(NWA is over discSpanThld)"
                                                                   : "CREATE_NEW_TRACK(write resource empty)."};
    if (c.new_write) want.push_back(kSyncBeforeNewTrack);
    want.push_back("Disc Change for CREATE_NEW_TRACK Slot(0)=>(1)");
    want.push_back("MDCFSCTL_CREATE_NEW_TRACK");
    ASSERT_GE(lines.size(), want.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < want.size(); ++i)
      EXPECT_NE(lines[i].find(want[i]), std::string::npos) << i << ": " << lines[i];
    for (const auto& l : lines) {
      EXPECT_EQ(l.find("current disc is full"), std::string::npos) << l;
      if (!c.new_write) { EXPECT_EQ(l.find(kSyncBeforeNewTrack), std::string::npos) << l; }
    }
  }

  std::string traces_;
};

// /A on slot 0; the rule set up; /B and /C archived and flushed, then /D.
// The threshold equal to the next writable block still takes /B on slot 0,
// and the first space asked for after it (without packed writing /C's, with
// it the session's at the flush) lies on slot 1. Four calibrations left
// move /B on, and the new disc has its own. Packed writing asks for the
// space of its session when the session ends.
TEST_P(SpillRules, TheVolumeGoesOnOnTheNextSlot) {
  const RuleCase& c = GetParam();
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_NO_FATAL_FAILURE(archive_a_and_set_up(c));
  const std::size_t mark = sim_->service().transcript().size();
  ASSERT_TRUE(archive_file("/B", 3 * kMiB, 2).ok);
  const std::uint64_t b = last_sequence();
  ASSERT_TRUE(archive_file("/C", 3 * kMiB, 3).ok);
  const std::uint64_t c_seq = last_sequence();
  sync("SyncTime");
  const std::uint64_t spilled_in = expect_new_track(mark, 1);
  if (c.rule == Rule::SpanThreshold) EXPECT_EQ(spilled_in, c.packed ? c_seq + 1 : c_seq);
  else EXPECT_EQ(spilled_in, c.packed ? c_seq + 1 : b);
  expect_new_track_traced(c);
  ASSERT_TRUE(archive_file("/D", 1 * kMiB, 4).ok);
  sync("SyncTime");
  EXPECT_EQ(slots_of("A"), (std::set<std::uint64_t>{0}));
  EXPECT_EQ(slots_of("B"), (std::set<std::uint64_t>{c.rule == Rule::SpanThreshold ? 0u : 1u}));
  if (!c.packed) { EXPECT_EQ(slots_of("C"), (std::set<std::uint64_t>{1})); }
  const std::set<std::uint64_t> d = slots_of("D");
  EXPECT_TRUE(!d.empty() && *d.begin() >= 1) << ::testing::PrintToString(d);
  const EngineElement v = ask_one("GetVolumeInfo", "KelVolume");
  EXPECT_GE(number(v, "CurrentTrackId"), 1u) << v.raw;
  EXPECT_EQ(static_cast<std::uint64_t>(last_written_slot(cartridge())), number(v, "CurrentTrackId"));
  for (const char* name : {"/A", "/B", "/C", "/D"}) expect_restores(name);
  unmount();
  expect_sound_cartridge({{"/", {"A", "B", "C", "D"}}}, {"/A", "/B", "/C", "/D"});
  std::printf("[ time ] spill rule %s: %lld ms\n", c.name,
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - t0)
                                         .count()));
}

// On the last slot nothing moves on: once the next writable block passes
// the threshold there, no space is handed out (the store's own files at the
// flush neither), the next archive answers "disc full" and loads no slot,
// and every file archived before is kept; the refused file is not left
// behind.
// The threshold brings the volume to its last slot quickly; the archives
// are written without packed writing, whose session would take the refusal
// only at its end.
class LastSlot : public SpillRules {};

TEST_P(LastSlot, AnswersDiscFull) {
  const RuleCase& c = GetParam();
  RuleCase unpacked = c;
  unpacked.packed = 0;
  ASSERT_NO_FATAL_FAILURE(archive_a_and_set_up(unpacked));
  std::vector<std::string> kept = {"/A"};
  bool full = false;
  for (int n = 0; n < 8 && !full; ++n) {
    const std::string name = "/F" + std::to_string(n);
    ASSERT_TRUE(archive_file(name, 3 * kMiB, 10 + n).ok);
    kept.push_back(name);
    const auto answers = ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
    ASSERT_FALSE(answers.empty());
    full = answers.back().name == "HRESULT";
    if (full) { EXPECT_EQ(static_cast<std::uint32_t>(std::stoll(answers.back().attribute("HRESULT"))), kDiscFull)
        << answers.back().raw; }
  }
  ASSERT_TRUE(full) << "eight archives never filled the last slot";
  const std::size_t mark = sim_->service().transcript().size();
  kelsim::ArchiveRequest r;
  r.name = "/G";
  const std::string local = sim_->directory() + "/in-g";
  std::ofstream(local, std::ios::binary) << std::string(kMiB, 'g');
  const auto refused = engine_->archive(++sequence_, local, r);
  ASSERT_NE(refused.last(), nullptr) << refused.error;
  ASSERT_EQ(refused.last()->name, "HRESULT") << refused.last()->raw;
  EXPECT_EQ(static_cast<std::uint32_t>(std::stoll(refused.last()->attribute("HRESULT"))), kDiscFull)
      << refused.last()->raw;
  const auto t = sim_->service().transcript();
  EXPECT_TRUE(std::none_of(t.begin() + static_cast<std::ptrdiff_t>(mark), t.end(), is_slot_load))
      << "the refused archive loaded a slot";
  EXPECT_EQ(number(ask_one("GetVolumeInfo", "KelVolume"), "CurrentTrackId"), 2u);
  EXPECT_FALSE(trace_lines(traces_, "No free space. current tracid=00000002").empty());
  // The refused file is not left behind (it would restore as 0 bytes).
  EXPECT_EQ(listing("/").count("G"), 0u);
  for (const auto& name : kept) expect_restores(name);
  std::set<std::string> names;
  for (const auto& name : kept) names.insert(name.substr(1));
  unmount();
  expect_sound_cartridge({{"/", names}}, kept);
}

const RuleCase kRules[] = {
    {"SpanThreshold", Rule::SpanThreshold, false, 0},
    {"SpanThresholdNewWrite", Rule::SpanThreshold, true, 1},
    {"WriteResources", Rule::WriteResources, false, 1},
    {"WriteResourcesNewWrite", Rule::WriteResources, true, 0},
};
std::string name_of(const ::testing::TestParamInfo<RuleCase>& i) { return i.param.name; }

INSTANTIATE_TEST_SUITE_P(Rules, SpillRules, ::testing::ValuesIn(kRules), name_of);
INSTANTIATE_TEST_SUITE_P(Rules, LastSlot, ::testing::Values(kRules[0], kRules[1]), name_of);

}  // namespace
}  // namespace e2e
