// Check on rewritable (E2h) cartridges: it never formats over a volume that
// another program made, keeps the automatic format for a blank first disc
// and finishes its own format when a kill interrupted it, and reports a
// volume on discs with no room beyond their reserve read-only.
#include "foreign_volume.h"
#include "scenario_support.h"
#include "sim/wire.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <filesystem>
#include <vector>

namespace e2e {
namespace {

constexpr std::uint32_t kDiscBlocks = 0x100000;
constexpr std::uint8_t kWrite10 = 0x2A;

class RewritableCheck : public CheckScenario {
 protected:
  // An E2h cartridge of two slots whose slot 0 holds a copy of the image.
  void load_image(const std::string& image) {
    ScenarioOptions o;
    o.medium_type = 0xE2;
    o.slots = 2;
    o.disc_blocks = kDiscBlocks;
    make_sim(o);
    kelsim::Cartridge& c = sim_->cartridge();
    std::FILE* f = std::fopen(image.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<std::uint8_t> run;
    for (const auto& [first, end] : data_runs(image)) {
      run.resize(std::size_t{end - first} * kelsim::kBlockSize);
      ASSERT_EQ(0, std::fseek(f, static_cast<long>(first) * kelsim::kBlockSize, SEEK_SET));
      run.resize(std::fread(run.data(), 1, run.size(), f) / kelsim::kBlockSize * kelsim::kBlockSize);
      ASSERT_EQ(0u, c.write_blocks(0, first, static_cast<std::uint32_t>(run.size() / kelsim::kBlockSize),
                                   run.data()));
    }
    std::fclose(f);
    c.disc(0).highest_written = kDiscBlocks;
    ASSERT_EQ(0u, c.save());
  }
  std::string slot_image(int slot) {
    char name[32];
    std::snprintf(name, sizeof name, "/slot-%02d.img", slot);
    return sim_->cartridge_directory() + name;
  }
  // udfinfo's lines of slot 0 that name the volume.
  std::vector<std::string> volume_lines() {
    int status = -1;
    const std::string out = udfinfo_output(slot_image(0), &status);
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
      const std::string l = out.substr(at, nl - at);
      if (l.rfind("label=", 0) == 0 || l.rfind("numdirs=", 0) == 0 || l.rfind("numfiles=", 0) == 0 ||
          l.rfind("udfrev=", 0) == 0 || l.rfind("uuid=", 0) == 0)
        lines.push_back(l);
    }
    return lines;
  }
};

class ForeignVolume : public RewritableCheck, public ::testing::WithParamInterface<Foreign> {};

// Check over another program's volume answers an error and leaves the disc
// as it was: no FORMAT UNIT, no WRITE, the same volume for udfinfo; a
// second engine does the same.
TEST_P(ForeignVolume, CheckRefusesItAndLeavesTheDiscAlone) {
  if (::access(kMkudffs, X_OK) != 0) GTEST_SKIP() << kMkudffs << " is missing (package udftools)";
  const std::string image = std::filesystem::temp_directory_path() / ("kel-foreign-" + std::to_string(::getpid()));
  ASSERT_TRUE(make_foreign_image(image, GetParam().media, GetParam().revision, kDiscBlocks));
  load_image(image);
  std::filesystem::remove(image);
  if (HasFatalFailure()) return;
  ASSERT_EQ(0u, sim_->drive().flush());
  const auto before = volume_lines();
  ASSERT_FALSE(before.empty());
  EXPECT_NE(std::find(before.begin(), before.end(), "label=FOREIGN"), before.end());
  expect_two_checks_refused();
  ASSERT_EQ(0u, sim_->drive().flush());
  EXPECT_EQ(volume_lines(), before) << "the volume is left as it was";
}

INSTANTIATE_TEST_SUITE_P(Mkudffs, ForeignVolume,
                         ::testing::Values(Foreign{"bdr", "0x0250"}, Foreign{"bdr", "0x0260"},
                                           Foreign{"hd", "0x0201"}, Foreign{"hd", "0x0102"}),
                         [](const ::testing::TestParamInfo<Foreign>& i) {
                           return std::string(i.param.media) + "_" + (i.param.revision + 2);
                         });

// A blank first disc is formatted by Check. The format writes its areas at
// 256 and 0 last: a kill after any of its writes (the first one, the end
// area, the area at 256) leaves no recognition sequence, and the next
// Check formats the disc again and mounts it writable.
TEST_F(RewritableCheck, AKillDuringTheAutomaticFormatIsFormattedAgainByTheNextCheck) {
  ScenarioOptions o;
  o.medium_type = 0xE2;
  o.slots = 2;
  o.disc_blocks = kDiscBlocks;
  make_sim(o);
  start();
  const std::size_t mark = sim_->service().transcript().size();
  check_mounts();
  std::vector<std::uint32_t> writes;  // the format's WRITE(10) addresses, in order
  const auto t = sim_->service().transcript();
  for (std::size_t i = mark; i < t.size() && (writes.empty() || writes.back() != 0); ++i)
    if (t[i].opcode() == kWrite10) writes.push_back(kelsim::get_be32(t[i].cdb.data() + 2));
  unmount();
  ASSERT_FALSE(writes.empty());
  ASSERT_EQ(writes.back(), 0u) << "the recognition sequence is the format's last write";
  for (std::uint32_t lba : {writes.front(), kDiscBlocks - 32, 256u}) {
    const auto at = std::find(writes.begin(), writes.end(), lba);
    ASSERT_NE(at, writes.end()) << lba;
    SCOPED_TRACE("killed after the write at " + std::to_string(lba));
    make_sim(o);
    start();
    ASSERT_TRUE(kill_at_command("Check", {}, static_cast<std::size_t>(at - writes.begin()), nullptr, kWrite10));
    expect_formatted_again();
  }
}

// Each slot keeps 0x80000 blocks in reserve: a cartridge of discs no larger
// has no capacity, and Check reports its volume read-only (no room left,
// reason 0x800) with no blocks, so that a change is refused at once; a
// cartridge of twice that size is writable.
TEST_F(RewritableCheck, DiscsWithNoRoomBeyondTheirReserveAreReportedReadOnly) {
  struct Case {
    std::uint32_t blocks;
    bool writable;
  } cases[] = {{0x80000, false}, {0x100000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocks);
    ScenarioOptions o;
    o.medium_type = 0xE2;
    o.slots = 2;
    o.disc_blocks = c.blocks;
    make_sim(o);
    start();
    const EngineElement v = ask_one("Check", "KelVolume");
    EXPECT_EQ(number(v, "TotalBlocks") > 0, c.writable) << v.raw;
    EXPECT_EQ(number(v, "WriteProtectReason"), c.writable ? 0u : 0xC0002F49u) << v.raw;
    const auto made = ask("CreateDirectory", {{"Name", "/x"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(made.back().name, c.writable ? "KelVolume" : "HRESULT") << made.back().raw;
    unmount();
  }
}

}  // namespace
}  // namespace e2e
