// Check on write-once cartridges: a first disc that another program recorded
// is never formatted over nor written to, and a format of this system that a
// kill cut short is formatted again by the next Check.
#include "foreign_volume.h"
#include "scenario_support.h"
#include "sim/wire.h"
#include "support/recorded_disc.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {
namespace {

constexpr std::uint32_t kDiscBlocks = 0x90000;
constexpr std::uint32_t kImageBlocks = 4096;

struct Medium {
  std::uint8_t type;
  const char* product;
  const char* name;
};
const Medium kE1{0xE1, "QMR-T300A", "E1"};
const Medium kF2{0xF2, "QMR-T400A", "F2"};

ScenarioOptions options_of(const Medium& m) {
  ScenarioOptions o;
  o.medium_type = m.type;
  o.product = m.product;
  o.slots = 3;
  o.disc_blocks = kDiscBlocks;
  return o;
}

std::uint32_t lba_of(const TranscriptEntry& e) { return kelsim::get_be32(e.cdb.data() + 2); }
std::uint32_t blocks_of(const TranscriptEntry& e) { return std::uint32_t{e.cdb[7]} << 8 | e.cdb[8]; }

// The blocks of a mkudffs volume of kImageBlocks blocks; a failure (and
// nothing) when the tool does not make it.
std::vector<std::uint8_t> foreign_volume(const Foreign& v) {
  const std::string path = std::filesystem::temp_directory_path() / ("kel-foreign-wo-" + std::to_string(::getpid()));
  if (!make_foreign_image(path, v.media, v.revision, kImageBlocks)) return {};
  std::ifstream f(path, std::ios::binary);
  std::vector<std::uint8_t> volume{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
  std::filesystem::remove(path);
  EXPECT_EQ(std::size_t{kImageBlocks} * kelsim::kBlockSize, volume.size());
  return volume;
}

struct ForeignCase {
  Medium medium;
  Foreign volume;
};
void PrintTo(const ForeignCase& c, std::ostream* os) {
  *os << c.medium.name << ", ";
  PrintTo(c.volume, os);
}

class ForeignWriteOnce : public CheckScenario, public ::testing::WithParamInterface<ForeignCase> {};

// A mkudffs volume of 4,096 blocks recorded from block 0 of a formatted disc
// (one incomplete track, its next writable block 4096). Check answers an
// error, and neither it nor a second engine's Check sends one FORMAT UNIT,
// WRITE, reservation or track: the disc keeps its blocks, its track and its
// pseudo-overwrite resources.
TEST_P(ForeignWriteOnce, CheckRefusesItAndWritesNothing) {
  if (::access(kMkudffs, X_OK) != 0) GTEST_SKIP() << kMkudffs << " is missing (package udftools)";
  const std::vector<std::uint8_t> volume = foreign_volume(GetParam().volume);
  ASSERT_FALSE(volume.empty());
  make_sim(options_of(GetParam().medium));
  kel_test::record_blocks(cartridge(), 0, 0, kImageBlocks, volume.data());
  ASSERT_EQ(0u, save_cartridge());
  const kelsim::Disc before = cartridge().disc(0);
  expect_two_checks_refused();
  const kelsim::Disc& after = cartridge().disc(0);
  EXPECT_EQ(after.status, before.status);
  EXPECT_EQ(after.pow, before.pow) << "no pseudo-overwrite";
  ASSERT_EQ(after.tracks.size(), 1u);
  EXPECT_EQ(after.tracks[0].nwa, kImageBlocks);
  EXPECT_EQ(after.tracks[0].size, before.tracks[0].size);
  std::vector<std::uint8_t> now(volume.size());
  ASSERT_EQ(0u, cartridge().read_blocks(0, 0, kImageBlocks, now.data()));
  EXPECT_TRUE(now == volume) << "the volume is left as it was";
}

std::vector<ForeignCase> foreign_cases() {
  std::vector<ForeignCase> out;
  for (const Medium& m : {kE1, kF2})
    for (const Foreign& v : {Foreign{"bdr", "0x0250"}, Foreign{"bdr", "0x0260"}, Foreign{"hd", "0x0201"}})
      out.push_back({m, v});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Mkudffs, ForeignWriteOnce, ::testing::ValuesIn(foreign_cases()),
                         [](const ::testing::TestParamInfo<ForeignCase>& i) {
                           return std::string(i.param.medium.name) + "_" + i.param.volume.media + "_" +
                                  (i.param.volume.revision + 2);
                         });

class WriteOnceMove : public Scenario {};

// A volume on slot 0 whose next space lies past "Disc Span Threshold", and
// on slot 1 a mkudffs volume: the archive that needs the move to slot 1 is
// refused, the files archived before restore, and neither that engine nor
// the next sends a command that writes slot 1 while it is loaded.
TEST_F(WriteOnceMove, ToADiscAnotherProgramRecordedLeavesItAlone) {
  if (::access(kMkudffs, X_OK) != 0) GTEST_SKIP() << kMkudffs << " is missing (package udftools)";
  const std::vector<std::uint8_t> volume = foreign_volume({"bdr", "0x0260"});
  ASSERT_FALSE(volume.empty());
  make_sim(ScenarioOptions{});
  kel_test::record_blocks(cartridge(), 1, 0, kImageBlocks, volume.data());
  ASSERT_EQ(0u, save_cartridge());
  dwords_ = {{"Packed Write Mode", 0}};
  start_checked();
  ASSERT_TRUE(archive_file("/A", 1u << 20, 1).ok);
  sync("SyncTime");
  const std::uint64_t nwa = number(ask_one("GetVolumeInfo", "KelVolume"), "NextWritableBlock");
  unmount();
  dwords_.push_back({"Disc Span Threshold", static_cast<std::uint32_t>(nwa)});
  start_checked();
  const std::size_t mark = sim_->service().transcript().size();
  ASSERT_TRUE(archive_file("/B", 3u << 20, 2).ok);
  const auto moved = try_archive_file("/C", 3u << 20, 3);
  EXPECT_FALSE(moved.ok) << "an archive that needed the move";
  for (const char* name : {"/A", "/B"}) expect_restores(name);
  unmount();
  // The next engine finds slot 0 closed for the move and takes the move up
  // again: it is refused again, and slot 1 is still left alone. The volume
  // mounts read-only, and its files restore.
  start();
  check_mounts();
  EXPECT_NE(number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason"), 0u);
  for (const char* name : {"/A", "/B"}) expect_restores(name);
  unmount();
  const auto t = sim_->service().transcript();
  int slot = 0;
  bool loaded1 = false;
  for (std::size_t i = mark; i < t.size(); ++i) {
    if (t[i].is_notice()) continue;
    if (is_slot_load(t[i])) slot = loaded_slot_of(t[i]);
    loaded1 |= slot == 1;
    EXPECT_FALSE(slot == 1 && writes_disc(t[i])) << "sent to slot 1: " << t[i].line();
  }
  EXPECT_TRUE(loaded1) << "the move never loaded slot 1";
  const kelsim::Disc& d = cartridge().disc(1);
  ASSERT_EQ(d.tracks.size(), 1u);
  EXPECT_EQ(d.tracks[0].nwa, kImageBlocks);
  std::vector<std::uint8_t> now(volume.size());
  ASSERT_EQ(0u, cartridge().read_blocks(1, 0, kImageBlocks, now.data()));
  EXPECT_TRUE(now == volume) << "slot 1 is left as it was";
}

// ---------------------------------------------------------------- the format cut short

class OwnFormatKilled : public CheckScenario, public ::testing::WithParamInterface<Medium> {};

// The kill points of the automatic format among the commands of a Check:
// from its FORMAT UNIT to the write that ends at the disc's last block (the
// last anchor), every command that changes a disc or the cartridge memory
// but a WRITE(10), and the first and the last WRITE(10) of each run that a
// SYNCHRONIZE CACHE closes; every such command in a full sweep.
std::vector<std::size_t> format_points(const std::vector<TranscriptEntry>& check, std::uint32_t disc_blocks) {
  const bool full = std::getenv("KEL_E2E_FULL_SWEEP") != nullptr;
  std::size_t first = check.size(), last = 0;
  for (std::size_t i = 0; i < check.size(); ++i) {
    if (check[i].opcode() == 0x04 && first == check.size()) first = i;
    if (check[i].opcode() == 0x2A && lba_of(check[i]) + blocks_of(check[i]) == disc_blocks) last = i;
  }
  std::vector<std::size_t> out;
  auto is_write = [&](std::size_t i) { return i >= first && i <= last && check[i].opcode() == 0x2A; };
  for (std::size_t i = first; i <= last && i < check.size(); ++i) {
    if (!changes_medium(check[i]) || check[i].opcode() == 0x35 || check[i].opcode() == 0xA6) continue;
    const bool opens = i == first || !is_write(i - 1);
    const bool closes = i == last || !is_write(i + 1);
    if (!is_write(i) || full || opens || closes) out.push_back(i);
  }
  return out;
}

// A kill after each writing command of the automatic format of a blank
// first disc (each one has run): the next Check formats the disc again and
// mounts it writable, a folder made then is kept through an unmount and a
// mount from an emptied cache, and udfinfo passes on the slot.
TEST_P(OwnFormatKilled, TheNextCheckFormatsTheDiscAgain) {
  const ScenarioOptions o = options_of(GetParam());
  make_sim(o);
  start();
  check_mounts();
  const auto check = commands_of(sim_->service().transcript(), last_sequence());
  unmount();
  const auto points = format_points(check, kDiscBlocks);
  ASSERT_GT(points.size(), 8u) << "the format's writing commands";
  std::printf("[ kill ] %s format: %zu commands of Check, %zu kill points\n", GetParam().name, check.size(),
              points.size());
  for (std::size_t k : points) {
    SCOPED_TRACE("killed after command " + std::to_string(k) + ": " + check[k].line());
    make_sim(o);
    start();
    // The kill counts the commands of the held one's operation code.
    const auto same = std::count_if(check.begin(), check.begin() + static_cast<long>(k),
                                    [&](const TranscriptEntry& e) { return e.opcode() == check[k].opcode(); });
    TranscriptEntry held;
    ASSERT_TRUE(kill_at_command("Check", {}, static_cast<std::size_t>(same), &held, check[k].opcode()));
    ASSERT_EQ(held.cdb, check[k].cdb) << held.line();
    std::printf("[ kill ] point %zu: %s\n", k, held.line().c_str());
    expect_formatted_again();
    EXPECT_EQ(cartridge().disc(0).tracks.size(), 2u) << "formatted to its end";
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Media, OwnFormatKilled, ::testing::Values(kE1, kF2),
                         [](const ::testing::TestParamInfo<Medium>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace e2e
