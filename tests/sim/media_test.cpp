// Discs: write-once and rewritable rules, tracks, disc information and
// structures, drive faults and the state kept across a restart.
#include "sim_support.h"
#include "support/test_dir.h"

#include <array>
#include <fstream>
#include <iterator>
#include <sstream>

namespace simtest {
namespace {

constexpr std::uint32_t kN = 0x20000;  // small discs for these tests

struct TrackInfo {
  std::uint32_t number, start, nwa, free, size, last_recorded;
  bool nwa_valid, blank, reserved;
};

class MediaTest : public SimTest {
 protected:
  // The drive as configured by default: as a real one, clusters never
  // recorded do not read.
  void start_with(std::uint8_t type, bool rewritable_formatted = true) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = type;
    o.cartridge.rewritable_formatted = rewritable_formatted;
    o.cartridge.disc_blocks = kN;
    start(o);
  }
  TrackInfo track(std::uint32_t number) {
    Bytes c = cdb12({0x52, 0x01});
    kelsim::put_be32(&c[2], number);
    kelsim::put_be16(&c[7], 52);
    auto a = in(c, 52);
    EXPECT_TRUE(good(a));
    TrackInfo t{};
    if (a.data.size() < 52) return t;
    t.number = a.data[2];
    t.start = kelsim::get_be32(&a.data[8]);
    t.nwa = kelsim::get_be32(&a.data[12]);
    t.free = kelsim::get_be32(&a.data[16]);
    t.size = kelsim::get_be32(&a.data[24]);
    t.last_recorded = kelsim::get_be32(&a.data[28]);
    t.nwa_valid = a.data[7] & 1;
    t.blank = a.data[6] & 0x40;
    t.reserved = a.data[6] & 0x80;
    return t;
  }
  // Disc status (byte 2 bits 0-1) and last track number in the last session (byte 6).
  std::pair<int, int> disc_info() {
    auto a = in(cdb12({0x51, 0, 0, 0, 0, 0, 0, 0, 0x20}), 32);
    EXPECT_TRUE(good(a));
    EXPECT_EQ(a.data.size(), 32u);
    return {a.data[2] & 3, a.data[6]};
  }
  kelsim::RawAnswer format_wo() { return format_unit(); }
  kelsim::RawAnswer write(std::uint32_t lba, std::uint16_t blocks, std::uint8_t fill) {
    return out(rw10(0x2A, lba, blocks), Bytes(blocks * 2048u, fill));
  }
  Bytes read(std::uint32_t lba, std::uint16_t blocks) { return in(rw10(0x28, lba, blocks), blocks * 2048u).data; }
};

TEST_F(MediaTest, BlankWriteOnceDiscFailsReadsAndFormats) {
  start_with(0xE1);
  EXPECT_EQ(disc_info(), std::make_pair(0, 1));
  // Block 0 of a blank disc does not read: the disc is not formatted.
  auto a = in(rw10(0x28, 0, 32), 65536);
  EXPECT_EQ(sense(a), (kelsim::Sense{5, 0x30, 0x10}));
  EXPECT_TRUE(a.data.empty());
  // FORMAT CAPACITIES: unformatted.
  a = in(cdb12({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
  EXPECT_EQ(a.data[8] & 3, 1);

  ASSERT_TRUE(good(format_wo()));
  EXPECT_EQ(disc_info(), std::make_pair(1, 1));
  TrackInfo t = track(1);
  EXPECT_EQ(t.start, 0u);
  EXPECT_EQ(t.nwa, 0u);
  EXPECT_TRUE(t.nwa_valid);
  EXPECT_EQ(t.size, kN);
  EXPECT_EQ(t.free, kN);
  // A second format is refused: the disc is no longer blank.
  EXPECT_EQ(sense(format_wo()), (kelsim::Sense{5, 0x2C, 0}));
  // Formatted, nothing recorded: a read fails as a medium error.
  EXPECT_EQ(sense(in(rw10(0x28, 0, 1), 2048)), (kelsim::Sense{3, 0x11, 0}));
}

// The older answer, for a test that needs it: a blank write-once disc
// reads as zeros.
TEST_F(MediaTest, AnUnformattedWriteOnceDiscReadsZerosWhenSoConfigured) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE1;
  o.cartridge.disc_blocks = kN;
  o.drive.unformatted_reads_fail = false;
  start(o);
  auto a = in(rw10(0x28, 0, 32), 65536);
  ASSERT_TRUE(good(a));
  EXPECT_EQ(a.data, Bytes(65536, 0));
}

TEST_F(MediaTest, WriteOnceNextWritableAddressRule) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 32, 0xA1)));
  TrackInfo t = track(1);
  EXPECT_EQ(t.nwa, 32u);
  EXPECT_EQ(t.free, kN - 32);
  EXPECT_EQ(t.last_recorded, 31u);
  EXPECT_FALSE(t.blank);

  // Past the NWA: refused, nothing written, NWA unchanged.
  EXPECT_EQ(sense(write(64, 32, 0xB2)), (kelsim::Sense{5, 0x21, 0x02}));
  EXPECT_EQ(track(1).nwa, 32u);
  EXPECT_EQ(sense(in(rw10(0x28, 64, 1), 2048)), (kelsim::Sense{3, 0x11, 0}));

  // At the NWA and across it from below.
  ASSERT_TRUE(good(write(32, 32, 0xC3)));
  ASSERT_TRUE(good(write(48, 32, 0xD4)));
  EXPECT_EQ(track(1).nwa, 80u);

  // Rewriting recorded blocks in place is allowed and leaves the NWA.
  ASSERT_TRUE(good(write(0, 16, 0xE5)));
  EXPECT_EQ(track(1).nwa, 80u);
  EXPECT_EQ(read(0, 1), Bytes(2048, 0xE5));
  EXPECT_EQ(read(16, 1), Bytes(2048, 0xA1));
  EXPECT_EQ(read(47, 1), Bytes(2048, 0xC3));
  EXPECT_EQ(read(48, 1), Bytes(2048, 0xD4));
}

TEST_F(MediaTest, TrackZeroReportsTheNextWritableBlockAsItsStart) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 32, 1)));
  TrackInfo t0 = track(0);
  EXPECT_EQ(t0.start, 32u);
  EXPECT_EQ(t0.nwa, 32u);
  EXPECT_EQ(t0.number, 1u);
  ASSERT_TRUE(good(write(32, 64, 2)));
  EXPECT_EQ(track(0).start, 96u);
}

TEST_F(MediaTest, ReserveTrackMakesTrackTwoAndCloseCompletesTheDisc) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 32, 1)));
  const std::uint32_t t2 = kN - 288;
  Bytes rt = cdb12({0x53, 0x01});
  kelsim::put_be32(&rt[2], t2);
  ASSERT_TRUE(good(in(rt, 0)));
  EXPECT_EQ(disc_info(), std::make_pair(1, 2));
  TrackInfo one = track(1), two = track(2);
  EXPECT_EQ(one.size, t2);
  EXPECT_EQ(one.nwa, 32u);
  EXPECT_EQ(two.start, t2);
  EXPECT_EQ(two.nwa, t2);
  EXPECT_EQ(two.size, 288u);
  EXPECT_TRUE(two.reserved);
  // Track 1 ends where track 2 begins; track 2 is written from its start.
  ASSERT_TRUE(good(write(32, 32, 3)));
  EXPECT_EQ(sense(write(t2 - 16, 32, 4)), (kelsim::Sense{5, 0x21, 0x02}));
  ASSERT_TRUE(good(write(t2, 32, 5)));
  EXPECT_EQ(track(2).nwa, t2 + 32);
  // The last anchor at N - 32 lies past track 2's NWA until padded.
  EXPECT_EQ(sense(write(kN - 32, 32, 6)), (kelsim::Sense{5, 0x21, 0x02}));
  // A second reservation below the NWA of the last track is refused.
  EXPECT_EQ(sense(in(rt, 0)), (kelsim::Sense{5, 0x24, 0}));

  // VERIFY: recorded blocks pass, unrecorded ones do not.
  Bytes v = rw10(0x2F, 0, 64);
  EXPECT_TRUE(good(in(v, 0)));
  v = rw10(0x2F, 32, 64);
  EXPECT_EQ(sense(in(v, 0)), (kelsim::Sense{3, 0x11, 0}));

  ASSERT_TRUE(good(in(cdb12({0x5B, 0, 0x06, 0, 0, 1}), 0)));
  EXPECT_EQ(disc_info().first, 2);
  EXPECT_FALSE(track(1).nwa_valid);
  EXPECT_EQ(sense(write(64, 32, 7)), (kelsim::Sense{5, 0x21, 0x02}));
  EXPECT_EQ(read(0, 1), Bytes(2048, 1));
}

TEST_F(MediaTest, ReserveWriteAndSettingsAreTakenAsTheFormatSendsThem) {
  start_with(0xF2);
  ASSERT_TRUE(good(format_wo()));
  // D2h: first LBA at 4-7, count at 8-11.
  Bytes d2 = cdb12({0xD2});
  kelsim::put_be32(&d2[4], 0);
  kelsim::put_be32(&d2[8], 4352);
  ASSERT_TRUE(good(in(d2, 0)));
  kelsim::put_be32(&d2[4], kN - 64);
  kelsim::put_be32(&d2[8], 128);
  EXPECT_EQ(sense(in(d2, 0)), (kelsim::Sense{5, 0x21, 0}));
  auto seen = sim_->drive().observed().reserved_writes;
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], std::make_pair(0u, 4352u));
  // Page 20h as the format sets it (28-byte list).
  Bytes p20(28, 0);
  p20[1] = 0x14;
  p20[8] = 0x20;
  p20[9] = 0x12;
  kelsim::put_be32(&p20[16], kN - 1);
  ASSERT_TRUE(good(out(cdb12({0x55, 0x10, 0, 0, 0, 0, 0, 0, 28}), p20)));
  EXPECT_EQ(sim_->drive().observed().mode_pages_selected.at(0x20), p20);
  auto a = in(cdb12({0x5A, 0, 0x20, 0, 0, 0, 0, 0, 28}), 28);
  ASSERT_EQ(a.data.size(), 28u);
  EXPECT_EQ(kelsim::get_be32(&a.data[16]), kN - 1);
  // A parameter list shorter than its page is refused.
  EXPECT_EQ(sense(out(cdb12({0x55, 0x10, 0, 0, 0, 0, 0, 0, 14}), Bytes(p20.begin(), p20.begin() + 14))),
            (kelsim::Sense{5, 0x1A, 0}));
  // No defect status on write-once media.
  a = in(cdb12({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02}), 2056);
  ASSERT_TRUE(good(a));
  EXPECT_EQ(kelsim::get_be32(a.data.data()), 4u);
}

TEST_F(MediaTest, DiscInformationTrackAndPowResources) {
  start_with(0xF1);
  // Type 2, 16 bytes: POW resources at 4-7, 8-11, 12-15.
  auto a = in(cdb12({0x51, 0x02, 0, 0, 0, 0, 0, 0x10}), 16);
  ASSERT_EQ(a.data.size(), 16u);
  EXPECT_GE(kelsim::get_be32(&a.data[8]), 257u);
  EXPECT_GE(kelsim::get_be32(&a.data[12]), 101u);
  ASSERT_TRUE(good(format_wo()));
  // Type 1: assigned and appendable tracks.
  a = in(cdb12({0x51, 0x01, 0, 0, 0, 0, 0, 0, 0x20}), 32);
  ASSERT_EQ(a.data.size(), 12u);
  EXPECT_EQ(kelsim::get_be16(&a.data[6]), 1);
  EXPECT_EQ(kelsim::get_be16(&a.data[10]), 1);
  EXPECT_EQ(sense(in(cdb12({0x51, 0x05}), 32)), (kelsim::Sense{5, 0x24, 0}));
}

// A new rewritable cartridge comes as it is sold: every disc physically
// formatted and holding no volume, also after the state is read back.
TEST_F(MediaTest, NewRewritableCartridgeIsFormattedAndEmptyOnEverySlot) {
  start_with(0xE2);
  const std::uint8_t slots = sim_->cartridge().slots();
  ASSERT_EQ(0u, sim_->cartridge().save());
  std::shared_ptr<kelsim::Cartridge> again;
  ASSERT_EQ(0u, kelsim::Cartridge::open(sim_->cartridge_directory(), &again));
  for (std::uint8_t slot : {std::uint8_t{0}, static_cast<std::uint8_t>(slots - 1)}) {
    SCOPED_TRACE(int(slot));
    EXPECT_TRUE(again->disc(slot).formatted);
    ASSERT_TRUE(load(slot));
    auto fc = in(cdb12({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
    ASSERT_EQ(fc.data.size(), 12u);
    EXPECT_EQ(fc.data[8] & 3, 2) << "formatted media";
    EXPECT_EQ(kelsim::get_be32(&fc.data[4]), kN);
    EXPECT_TRUE(good(in(cdb12({0xAD, 0x01, 0, 0, 0, 0, 0, 0x08, 0, 0x68}), 104)));
    EXPECT_EQ(read(0, 32), Bytes(32 * 2048, 0)) << "no volume yet";
    EXPECT_EQ(read(kN - 32, 32), Bytes(32 * 2048, 0));
  }
}

TEST_F(MediaTest, RewritableDiscBeforeAndAfterFormat) {
  start_with(0xE2, false);
  const kelsim::Sense unformatted{5, 0x30, 0x10};
  auto dds = [&] { return in(cdb12({0xAD, 0x01, 0, 0, 0, 0, 0, 0x08, 0, 0x68}), 104); };
  auto dfl = [&] { return in(cdb12({0xAD, 0x01, 0, 0, 0, 0, 0, 0x12, 0x80, 0x04}), 0x8004); };
  EXPECT_EQ(sense(dds()), unformatted);
  EXPECT_EQ(sense(dfl()), unformatted);
  EXPECT_EQ(sense(in(rw10(0x28, 0, 32), 65536)), unformatted);
  EXPECT_EQ(sense(write(0, 32, 1)), unformatted);
  auto fc = in(cdb12({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
  ASSERT_EQ(fc.data.size(), 12u);
  EXPECT_EQ(fc.data[8] & 3, 1);
  EXPECT_EQ(kelsim::get_be32(&fc.data[4]), kN);
  EXPECT_EQ(kelsim::get_be24(&fc.data[9]), 2048u);
  // DI is there before the format: unit 0 begins "DI".
  auto di = in(cdb12({0xAD, 0x01, 0, 0, 0, 0, 0, 0x00, 0x10, 0x04}), 4100);
  ASSERT_TRUE(good(di));
  ASSERT_GE(di.data.size(), 116u);
  EXPECT_EQ(di.data[4], 'D');
  EXPECT_EQ(di.data[5], 'I');

  // FORMAT UNIT as the rewritable format sends it: the capacity descriptor back.
  Bytes list{0, 0, 0, 8};
  list.insert(list.end(), fc.data.begin() + 4, fc.data.begin() + 12);
  list[8] = 0;  // format type 0
  ASSERT_TRUE(good(out(cdb12({0x04, 0x17}), list)));

  auto d = dds();
  ASSERT_TRUE(good(d));
  ASSERT_EQ(d.data.size(), 104u);
  EXPECT_EQ(d.data[4], 'D');
  EXPECT_EQ(d.data[5], 'S');
  EXPECT_EQ(kelsim::get_be32(&d.data[40]), kN - 1);
  auto l = dfl();
  ASSERT_TRUE(good(l));
  EXPECT_EQ(l.data[3], 1);                              // one unit
  EXPECT_EQ((kelsim::get_be16(l.data.data()) - 2) / 8 - 8, 0);  // no entries
  fc = in(cdb12({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
  EXPECT_EQ(fc.data[8] & 3, 2);

  // Any block below N, in any order.
  ASSERT_TRUE(good(write(kN - 32, 32, 9)));
  ASSERT_TRUE(good(write(320, 32, 8)));
  ASSERT_TRUE(good(write(320, 32, 7)));
  EXPECT_EQ(read(320, 1), Bytes(2048, 7));
  EXPECT_EQ(read(kN - 1, 1), Bytes(2048, 9));
  EXPECT_EQ(read(1000, 1), Bytes(2048, 0));
  EXPECT_EQ(sense(write(kN - 16, 32, 1)), (kelsim::Sense{5, 0x21, 0}));
  // GET PERFORMANCE, defect status: one descriptor at the asked address.
  Bytes gp = cdb12({0xAC, 0, 0, 0, 0x10, 0, 0, 0, 0, 0x01, 0x02});
  auto p = in(gp, 2056);
  ASSERT_TRUE(good(p));
  EXPECT_EQ(kelsim::get_be32(&p.data[8]), 0x1000u);
  EXPECT_EQ(p.data[17] & 7, 0);
  EXPECT_EQ(p.data[18], 1);
  // Writes are never refused for the write-once reasons, nor closed.
  EXPECT_TRUE(good(in(cdb12({0x5B, 0, 0x06, 0, 0, 1}), 0)));
  ASSERT_TRUE(good(write(0, 32, 3)));
}

TEST_F(MediaTest, DriveFaultsAreAnsweredWithTheirSense) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 128, 0x5A)));
  auto& d = sim_->drive();

  int r = d.add_fault(kelsim::read_error(40, 50));
  EXPECT_TRUE(good(in(rw10(0x28, 0, 32), 65536)));               // before the range
  EXPECT_EQ(sense(in(rw10(0x28, 32, 32), 65536)), (kelsim::Sense{3, 0x11, 0}));  // overlaps
  EXPECT_TRUE(good(in(rw10(0x28, 64, 32), 65536)));              // after it
  EXPECT_EQ(d.fault_fired(r), 1);
  d.remove_fault(r);

  d.add_fault(kelsim::write_error(128, 159, kelsim::Sense{3, 0x0C, 0x09}));
  EXPECT_EQ(sense(write(128, 32, 1)), (kelsim::Sense{3, 0x0C, 0x09}));
  EXPECT_EQ(track(1).nwa, 128u);  // nothing written
  d.clear_faults();

  auto once = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
  once.times = 1;
  d.add_fault(once);
  EXPECT_EQ(sense(in(cdb12({0x35}), 0)), (kelsim::Sense{3, 0x0C, 0}));
  EXPECT_TRUE(good(in(cdb12({0x35}), 0)));  // fired once only

  auto second = kelsim::command_fails(0x2F, kelsim::Sense{3, 0x11, 0x05});
  second.skip = 1;
  d.add_fault(second);
  EXPECT_TRUE(good(in(rw10(0x2F, 0, 32), 0)));
  EXPECT_EQ(sense(in(rw10(0x2F, 0, 32), 0)), (kelsim::Sense{3, 0x11, 0x05}));
  d.clear_faults();

  // A fault bound to a slot fires only while that slot's disc is loaded.
  auto onSlot1 = kelsim::command_fails(0x2F, kelsim::Sense{3, 0x11, 0x05});
  onSlot1.slot = 1;
  const int bound = d.add_fault(onSlot1);
  EXPECT_TRUE(good(in(rw10(0x2F, 0, 32), 0)));
  ASSERT_EQ(d.load(1), ERROR_SUCCESS);
  EXPECT_EQ(sense(in(rw10(0x2F, 0, 32), 0)), (kelsim::Sense{3, 0x11, 0x05}));
  ASSERT_EQ(d.load(0), ERROR_SUCCESS);
  EXPECT_EQ(d.fault_fired(bound), 1);
  d.clear_faults();

  // Write protect: writes refused, the WP bits raised.
  d.set_write_protect(true);
  EXPECT_EQ(sense(write(128, 32, 1)), (kelsim::Sense{3, 0x27, 0}));
  auto ms = in(cdb12({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x12}), 18);
  EXPECT_EQ(ms.data[3] & 0x80, 0x80);
  auto mech = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
  EXPECT_EQ(mech.data[9] & 1, 1);
  EXPECT_TRUE(good(in(rw10(0x28, 0, 1), 2048)));  // reading goes on
  d.set_write_protect(false);
  EXPECT_TRUE(good(write(128, 32, 1)));

  // No disc loaded.
  d.unload();
  EXPECT_EQ(sense(in(cdb12({0x00}), 0)), (kelsim::Sense{2, 0x3A, 0}));
  EXPECT_EQ(sense(in(rw10(0x28, 0, 1), 2048)), (kelsim::Sense{2, 0x3A, 0}));
  ASSERT_EQ(d.load(0), ERROR_SUCCESS);
  EXPECT_TRUE(good(in(cdb12({0x00}), 0)));
}

TEST_F(MediaTest, StateSurvivesARestart) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 64, 0x42)));
  Bytes rt = cdb12({0x53, 0x01});
  kelsim::put_be32(&rt[2], kN - 288);
  ASSERT_TRUE(good(in(rt, 0)));
  ASSERT_TRUE(load(4));
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 32, 0x43)));  // NWA of slot 4 moves; not synchronised
  sim_->drive().set_write_protect(true);
  ASSERT_TRUE(load(6));

  restart();

  // The restart moves no disc: slot 6 stays in the drive, though slot 4
  // was the last written.
  auto mech = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
  EXPECT_EQ(mech.data[0] & 0x1F, 6);
  EXPECT_EQ(mech.data[9] & 1, 1);
  ASSERT_TRUE(load(4));
  EXPECT_EQ(track(1).nwa, 32u);
  EXPECT_EQ(read(0, 1), Bytes(2048, 0x43));
  auto a = in([] {
    Bytes c(16, 0);
    c[0] = 0x8C;
    kelsim::put_be16(&c[8], 0x0D00);
    kelsim::put_be32(&c[10], 12);
    return c;
  }(), 12);
  EXPECT_EQ(a.data[9], 4);

  ASSERT_TRUE(load(0));
  EXPECT_EQ(disc_info(), std::make_pair(1, 2));
  EXPECT_EQ(track(1).nwa, 64u);
  EXPECT_EQ(track(2).start, kN - 288);
  EXPECT_EQ(read(63, 1), Bytes(2048, 0x42));
}

// A harness whose cartridge cannot be made throws, and leaves neither its
// folder nor its pipe folder setting behind.
TEST(SimCartridgeFile, AHarnessThatCannotStartLeavesNothing) {
  const kel_test::ScopedTempDir parent("kelsim-parent-");
  ASSERT_FALSE(parent.path().empty());
  ::setenv("KEL_PIPE_DIR", "/before", 1);
  kelsim::HarnessOptions o;
  o.parent_directory = parent.path();
  o.cartridge.medium_type = 0x42;
  EXPECT_THROW(kelsim::SimHarness h(o), std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_empty(parent.path()));
  EXPECT_STREQ(std::getenv("KEL_PIPE_DIR"), "/before");
  ::unsetenv("KEL_PIPE_DIR");
}

TEST(SimCartridgeFile, DamagedStateFileIsReportedNotServed) {
  const kel_test::ScopedTempDir tmp("kelsim-cart-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string& dir = tmp.path();
  std::shared_ptr<kelsim::Cartridge> c;
  EXPECT_EQ(kelsim::Cartridge::open(dir, &c), ERROR_FILE_NOT_FOUND);
  kelsim::CartridgeSetup setup;
  setup.disc_blocks = 0x4000;
  ASSERT_EQ(kelsim::Cartridge::create(dir, setup, &c), ERROR_SUCCESS);
  EXPECT_EQ(kelsim::Cartridge::create(dir, setup, &c), ERROR_ALREADY_EXISTS);
  {
    std::FILE* f = std::fopen((dir + "/cartridge.state").c_str(), "a");
    std::fputs("track 0 zz 1 2 3 4\n", f);
    std::fclose(f);
  }
  EXPECT_EQ(kelsim::Cartridge::open(dir, &c), ERROR_INVALID_DATA);
  setup.medium_type = 0x42;
  EXPECT_EQ(kelsim::Cartridge::create(dir + "/x", setup, &c), ERROR_INVALID_PARAMETER);
}

namespace simtest {
namespace {

// What a crash leaves: the cartridge as another process opens it from its
// directory while the drive that wrote it has saved nothing since.
std::shared_ptr<kelsim::Cartridge> reopened(kelsim::SimHarness& sim) {
  std::shared_ptr<kelsim::Cartridge> c;
  EXPECT_EQ(kelsim::Cartridge::open(sim.cartridge_directory(), &c), ERROR_SUCCESS);
  return c;
}

// Every write that moves the NWA (or a rewritable disc's highest written
// block, or the write resources) is on disk when it is answered: a crash
// before any SYNCHRONIZE CACHE leaves a disc that tells the truth.
TEST_F(MediaTest, WrittenStateSurvivesACrashWithoutSynchronize) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 64, 0x42)));
  ASSERT_TRUE(good(write(64, 32, 0x43)));
  ASSERT_TRUE(good(write(0, 16, 0x44)));  // a rewrite: resources fall
  auto c = reopened(*sim_);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->disc(0).tracks[0].nwa, 96u);
  EXPECT_EQ(c->disc(0).pow, sim_->cartridge().disc(0).pow);
  EXPECT_LT(c->disc(0).pow.updates, 0x1000u);
  // The restarted drive refuses to write over what is there.
  restart();
  EXPECT_EQ(track(1).nwa, 96u);
  EXPECT_EQ(sense(write(128, 32, 1)), (kelsim::Sense{5, 0x21, 0x02}));
}

TEST_F(MediaTest, RewritableHighestWrittenBlockSurvivesACrash) {
  start_with(0xE2);
  ASSERT_TRUE(good(out(cdb12({0x04, 0x17}), Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0})));
  ASSERT_TRUE(good(write(1000, 32, 1)));
  auto c = reopened(*sim_);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->disc(0).highest_written, 1032u);
}

// A record torn by the crash itself is ignored; a whole record that names no
// track of the cartridge makes the state damaged.
TEST_F(MediaTest, TornJournalRecordIsIgnoredAndAForeignOneRefused) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 32, 1)));
  const std::string journal = sim_->cartridge_directory() + "/cartridge.journal";
  std::string bytes;
  {
    std::ifstream f(journal, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(f), {});
  }
  ASSERT_EQ(bytes.size() % 20, 0u);
  ASSERT_GE(bytes.size(), 20u);
  {
    std::ofstream f(journal, std::ios::binary | std::ios::app);
    f.write(bytes.data() + bytes.size() - 20, 9);  // half a record
  }
  auto c = reopened(*sim_);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->disc(0).tracks[0].nwa, 32u);
  {
    std::ofstream f(journal, std::ios::binary | std::ios::trunc);  // the whole records only
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // A whole record for track 9 of a disc that has one track.
  ASSERT_EQ(sim_->cartridge().journal(0, kelsim::Cartridge::Journalled::TrackNwa, 9, 5), ERROR_SUCCESS);
  std::shared_ptr<kelsim::Cartridge> d;
  EXPECT_EQ(kelsim::Cartridge::open(sim_->cartridge_directory(), &d), ERROR_INVALID_DATA);
}

// A crash after the state file was renamed but before the journal was
// emptied: the journal's records belong to the older state and are skipped.
TEST_F(MediaTest, JournalOfAnOlderStateIsSkipped) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 64, 1)));
  ASSERT_TRUE(good(write(0, 16, 2)));  // journals the write resources
  const std::string journal = sim_->cartridge_directory() + "/cartridge.journal";
  std::string old;
  {
    std::ifstream f(journal, std::ios::binary);
    old.assign(std::istreambuf_iterator<char>(f), {});
  }
  ASSERT_FALSE(old.empty());
  sim_->cartridge().disc(0).pow.updates = 50;  // a value only the new state holds
  ASSERT_EQ(sim_->drive().flush(), ERROR_SUCCESS);
  {
    std::ofstream f(journal, std::ios::binary | std::ios::trunc);
    f.write(old.data(), static_cast<std::streamsize>(old.size()));
  }
  auto c = reopened(*sim_);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->disc(0).pow.updates, 50u);
  EXPECT_EQ(c->disc(0).tracks[0].nwa, 64u);
}

// The format state comes from FORMAT UNIT alone. A write-once disc takes no
// write before it (05/30/10), so it is never written yet unformatted.
TEST_F(MediaTest, WriteOnceDiscIsFormattedOnlyByFormatUnit) {
  start_with(0xE1);
  auto capacity_type = [&] { return in(cdb12({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12).data.at(8) & 3; };
  EXPECT_EQ(sense(write(0, 32, 1)), (kelsim::Sense{5, 0x30, 0x10}));
  EXPECT_EQ(capacity_type(), 1);
  EXPECT_EQ(disc_info(), std::make_pair(0, 1));
  ASSERT_TRUE(good(format_wo()));
  EXPECT_EQ(capacity_type(), 2);
  ASSERT_TRUE(good(write(0, 32, 1)));
  EXPECT_EQ(capacity_type(), 2);
}

// The three write-protect signals are separate states.
TEST_F(MediaTest, WriteProtectSignalsAreSetApart) {
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  auto& d = sim_->drive();
  struct Case {
    const char* what;
    void (kelsim::ChangerDrive::*set)(bool);
    bool tab, wp_bit, refused;
  } cases[] = {
      {"cartridge tab", &kelsim::ChangerDrive::set_cartridge_write_protect, true, false, false},
      {"medium WP bit", &kelsim::ChangerDrive::set_medium_write_protect, false, true, false},
      {"write refusal", &kelsim::ChangerDrive::set_write_refusal, false, false, true},
      {"all three", &kelsim::ChangerDrive::set_write_protect, true, true, true},
  };
  std::uint32_t lba = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    (d.*k.set)(true);
    auto mech = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
    EXPECT_EQ((mech.data.at(9) & 1) != 0, k.tab);
    auto ms = in(cdb12({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x12}), 18);
    EXPECT_EQ((ms.data.at(3) & 0x80) != 0, k.wp_bit);
    auto w = write(lba, 32, 1);
    if (k.refused) {
      EXPECT_EQ(sense(w), (kelsim::Sense{3, 0x27, 0}));
      EXPECT_EQ(sense(format_wo()), (kelsim::Sense{3, 0x27, 0}));
    } else {
      EXPECT_TRUE(good(w));
      lba += 32;
    }
    (d.*k.set)(false);
  }
  EXPECT_TRUE(good(write(lba, 32, 1)));
}

// Rewrites of recorded write-once blocks use the pseudo-overwrite resources
// as the disc information reports them; one the resources cannot cover is
// refused and writes nothing.
TEST_F(MediaTest, RewritesUseThePseudoOverwriteResources) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xF1;
  o.cartridge.disc_blocks = kN;
  o.cartridge.pow_map_entries = 6;
  start(o);
  ASSERT_TRUE(good(format_wo()));
  auto pow = [&] {
    auto a = in(cdb12({0x51, 0x02, 0, 0, 0, 0, 0, 0, 0x10}), 16);
    return std::array<std::uint32_t, 3>{kelsim::get_be32(&a.data.at(4)), kelsim::get_be32(&a.data.at(8)),
                                        kelsim::get_be32(&a.data.at(12))};
  };
  auto opc = [&] { return kelsim::get_be16(in(cdb12({0xD5}), 16).data.data()); };
  const auto o0 = opc();
  ASSERT_TRUE(good(write(0, 128, 1)));
  EXPECT_EQ(opc(), o0 - 1);  // the first recording after the load calibrates
  const auto p0 = pow();
  ASSERT_TRUE(good(write(128, 32, 2)));  // at the NWA: no rewrite
  EXPECT_EQ(pow(), p0);
  ASSERT_TRUE(good(write(16, 64, 3)));  // blocks 16-79: three clusters
  EXPECT_EQ(pow(), (std::array<std::uint32_t, 3>{p0[0] - 3, p0[1] - 3, p0[2] - 1}));
  ASSERT_TRUE(good(write(150, 20, 4)));  // across the NWA (160): one recorded cluster
  EXPECT_EQ(pow(), (std::array<std::uint32_t, 3>{p0[0] - 4, p0[1] - 4, p0[2] - 2}));
  EXPECT_EQ(opc(), o0 - 1);  // one calibration per load
  ASSERT_TRUE(load(0));
  ASSERT_EQ(pow()[1], 2u);
  EXPECT_EQ(sense(write(0, 96, 5)), (kelsim::Sense{5, 0x21, 0x02}));  // three clusters
  EXPECT_EQ(read(0, 1), Bytes(2048, 1));
  EXPECT_EQ(opc(), o0 - 1) << "a refused write records nothing";
  ASSERT_TRUE(load(1));
  ASSERT_TRUE(load(0));
  EXPECT_EQ(opc(), o0 - 1) << "a load without a write calibrates nothing";
  // At the NWA: the disc change recorded the cache and padded the cluster
  // 160-191 the write across the NWA had part-filled.
  EXPECT_EQ(track(1).nwa, 192u);
  ASSERT_TRUE(good(write(192, 32, 6)));
  EXPECT_EQ(opc(), o0 - 2);
  ASSERT_TRUE(good(write(0, 64, 6)));
  EXPECT_EQ(pow()[1], 0u);
  EXPECT_EQ(opc(), o0 - 2);
}

// Each disc has its own spare area and map: rewrites on one disc, or a disc
// brought to the end of its resources, leave the other discs' resources as
// a new disc has them, across a restart too. An F2h disc replaces
// 128-block clusters.
TEST_F(MediaTest, EachDiscHasItsOwnPseudoOverwriteResources) {
  struct Case {
    std::uint8_t type;
    std::uint32_t clusters;  // of a rewrite of blocks 0-127
  } cases[] = {{0xE1, 4}, {0xF2, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.type));
    client_.close();
    sim_.reset();
    start_with(c.type);
    const kelsim::WriteResources fresh = kelsim::default_write_resources(c.type);
    EXPECT_EQ(fresh, (kelsim::WriteResources{4096, 4096, 4096}));
    auto pow = [&] {
      auto a = in(cdb12({0x51, 0x02, 0, 0, 0, 0, 0, 0, 0x10}), 16);
      return kelsim::WriteResources{kelsim::get_be32(&a.data.at(4)), kelsim::get_be32(&a.data.at(8)),
                                    kelsim::get_be32(&a.data.at(12))};
    };
    for (std::uint8_t slot : {0, 1}) {
      ASSERT_TRUE(load(slot));
      ASSERT_TRUE(good(format_wo()));
      ASSERT_TRUE(good(write(0, 256, 1)));
    }
    ASSERT_TRUE(load(0));
    ASSERT_TRUE(good(write(0, 128, 2)));
    EXPECT_EQ(pow(), (kelsim::WriteResources{4096 - c.clusters, 4096 - c.clusters, 4095}));
    ASSERT_TRUE(load(1));
    EXPECT_EQ(pow(), fresh);
    // Slot 1 at the end of its updates: its rewrites are refused, slot 0's go on.
    ASSERT_EQ(sim_->drive().set_write_resources(1, {4096, 4096, 0}), ERROR_SUCCESS);
    EXPECT_EQ(sense(write(0, 32, 3)), (kelsim::Sense{5, 0x21, 0x02}));
    EXPECT_EQ(read(0, 1), Bytes(2048, 1));
    ASSERT_TRUE(load(0));
    EXPECT_TRUE(good(write(0, 32, 4)));
    restart();
    EXPECT_EQ(sim_->cartridge().disc(0).pow, (kelsim::WriteResources{4095 - c.clusters, 4095 - c.clusters, 4094}));
    EXPECT_EQ(sim_->cartridge().disc(1).pow, (kelsim::WriteResources{4096, 4096, 0}));
    EXPECT_EQ(sim_->cartridge().disc(2).pow, fresh);
  }
}

// A state file of the drive that kept one set of resources for the whole
// cartridge gives every disc that set.
TEST_F(MediaTest, CartridgeWideResourcesOfAnOlderStateGoToEveryDisc) {
  start_with(0xE1);
  ASSERT_EQ(sim_->drive().flush(), ERROR_SUCCESS);
  const std::string state = sim_->cartridge_directory() + "/cartridge.state";
  std::string text;
  {
    std::ifstream f(state);
    text.assign(std::istreambuf_iterator<char>(f), {});
  }
  std::string older;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("disc_pow ", 0) == 0) continue;
    older += line + "\n";
    if (line.rfind("slots ", 0) == 0) older += "pow 700 600 500\n";
  }
  {
    std::ofstream f(state, std::ios::trunc);
    f << older;
  }
  auto c = reopened(*sim_);
  ASSERT_TRUE(c);
  for (int slot = 0; slot < c->slots(); ++slot)
    EXPECT_EQ(c->disc(slot).pow, (kelsim::WriteResources{700, 600, 500})) << slot;
}

// Reads of a write-once disc above the NWA: the rest of a cluster the drive
// recorded answers the zeros it was padded with, a cluster with nothing
// recorded fails (as with every drive unless the test asks for the older
// zeros), and the transcript says how many blocks were never recorded.
TEST_F(MediaTest, UnrecordedReadsAreRecordedInTheTranscript) {
  for (bool zeros : {false, true}) {
    SCOPED_TRACE(zeros ? "blank blocks read as zeros" : "as a real drive");
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE1;
    o.cartridge.disc_blocks = kN;
    o.drive.blank_blocks_read_as_zeros = zeros;
    start(o);
    ASSERT_TRUE(good(format_wo()));
    ASSERT_TRUE(good(write(0, 40, 7)));
    sim_->service().clear_transcript();
    EXPECT_EQ(read(32, 16), [] {
      Bytes b(16 * 2048, 0);
      std::fill(b.begin(), b.begin() + 8 * 2048, 7);
      return b;
    }());
    EXPECT_EQ(read(0, 32).size(), 65536u);
    const auto beyond = in(rw10(0x28, 48, 32), 65536);
    EXPECT_EQ(good(beyond), zeros);
    if (!zeros) {
      EXPECT_EQ(sense(beyond), (kelsim::Sense{3, 0x11, 0}));
    }
    auto t = sim_->service().transcript();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].unrecorded_blocks, 8u);
    EXPECT_NE(t[0].line().find("unrecorded=8"), std::string::npos);
    EXPECT_EQ(t[1].unrecorded_blocks, 0u);
    EXPECT_EQ(t[2].unrecorded_blocks, 32u);
    TearDown();
  }
}

// Defect list entries added by a test: READ DISC STRUCTURE 12h hands them out
// in 32 KiB units (the first opening with the list header), and they are
// kept across a restart. Write-once discs report none.
TEST_F(MediaTest, InjectedDefectsAreReportedUnitByUnit) {
  start_with(0xE2);
  ASSERT_TRUE(good(out(cdb12({0x04, 0x17}), Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0})));
  const std::size_t n = 4100;  // more than the first unit holds (4088)
  for (std::uint32_t i = 0; i < n; ++i)
    sim_->cartridge().disc(0).defects.push_back(kelsim::defect_at(i * 64, i % 2 ? 3 : 0));
  ASSERT_EQ(sim_->drive().add_defect(0, kelsim::defect_at(0x7000)), ERROR_SUCCESS);
  auto unit = [&](std::uint32_t u) {
    Bytes c = cdb12({0xAD, 0x01, 0, 0, 0, 0, 0, 0x12, 0x80, 0x04});
    kelsim::put_be32(&c[2], u);
    return in(c, 0x8004);
  };
  auto entry = [](const Bytes& d, std::size_t at) {
    return static_cast<std::uint64_t>(kelsim::get_be32(&d[at])) << 32 | kelsim::get_be32(&d[at + 4]);
  };
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    auto u0 = unit(0), u1 = unit(1);
    ASSERT_TRUE(good(u0));
    ASSERT_TRUE(good(u1));
    EXPECT_EQ(u0.data[3], 2);
    EXPECT_EQ((kelsim::get_be16(u0.data.data()) - 2) / 8 - 8, 4088);
    EXPECT_EQ(kelsim::get_be32(&u0.data[16]), n + 1);
    EXPECT_EQ(entry(u0.data, 68), 0x0000000000000000ull | static_cast<std::uint64_t>(kelsim::kFirstUserPsn) << 32);
    EXPECT_EQ(entry(u0.data, 76), 0x4000000000000003ull | static_cast<std::uint64_t>(kelsim::kFirstUserPsn + 64) << 32);
    EXPECT_EQ((kelsim::get_be16(u1.data.data()) - 2) / 8, 13);
    EXPECT_EQ(entry(u1.data, 4 + 12 * 8), static_cast<std::uint64_t>(kelsim::kFirstUserPsn + 0x7000) << 32);
    EXPECT_EQ(sense(unit(2)), (kelsim::Sense{5, 0x24, 0}));
    restart();
  }
}

TEST_F(MediaTest, RemovedAttributeIsAbsentAfterARestart) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xF2;
  o.cartridge.disc_blocks = kN;
  start(o);
  ASSERT_EQ(sim_->drive().remove_attribute(0x0D00), ERROR_SUCCESS);
  EXPECT_EQ(sim_->drive().remove_attribute(0x0D00), static_cast<DWORD>(ERROR_NOT_FOUND));
  Bytes ra(16, 0);
  ra[0] = 0x8C;
  kelsim::put_be16(&ra[8], 0x0D00);
  kelsim::put_be32(&ra[10], 28);
  EXPECT_EQ(sense(in(ra, 28)), (kelsim::Sense{5, 0x24, 0}));
  restart();
  EXPECT_EQ(sense(in(ra, 28)), (kelsim::Sense{5, 0x24, 0}));
  EXPECT_EQ(in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12).data.at(5), 11);
}

}  // namespace
}  // namespace simtest

TEST_F(MediaTest, ErrorReportingThresholdOfPageOneIsConfigured) {
  for (std::uint32_t threshold : {0u, 0x000102u, 0xABCDEFu}) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE1;
    o.drive.error_reporting_threshold = threshold;
    TearDown();
    start(o);
    auto ms = in(cdb12({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x16}), 22);
    ASSERT_TRUE(good(ms));
    ASSERT_GE(ms.data.size(), 20u);
    EXPECT_EQ(ms.data[8], 0x01);
    EXPECT_EQ((ms.data[17] << 16) | (ms.data[18] << 8) | ms.data[19], static_cast<int>(threshold)) << threshold;
  }
}

// A rule naming a mode page (and an allocation length) fails MODE SENSE of
// that page (asking for that many bytes) only.
TEST_F(MediaTest, AModePageRuleFailsThatPageOnly) {
  start_with(0xE1);
  auto rule = kelsim::command_fails(0x5A, kelsim::Sense{5, 0x24, 0});
  rule.mode_page = 0x01;
  rule.mode_length = 20;
  const int id = sim_->drive().add_fault(rule);
  EXPECT_EQ(sense(in(cdb12({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 20}), 20)), (kelsim::Sense{5, 0x24, 0}));
  for (auto [page, length] : {std::pair{0x01, 18}, std::pair{0x22, 20}, std::pair{0x3F, 20}}) {
    auto ms = in(cdb12({0x5A, 0, static_cast<std::uint8_t>(page), 0, 0, 0, 0, 0, static_cast<std::uint8_t>(length)}),
                 static_cast<std::size_t>(length));
    EXPECT_TRUE(good(ms)) << page << " " << length;
  }
  EXPECT_EQ(sim_->drive().fault_fired(id), 1);
}

// GET PERFORMANCE (defect status) names the first block a failed WRITE(10)
// or SYNCHRONIZE CACHE lost: the first written since the last good sync, or
// for a sync rule naming where the loss starts, the first unsynced block
// from there.
TEST_F(MediaTest, GetPerformanceReportsTheFirstFailedBlock) {
  const struct {
    const char* what;
    bool sync_fails;  // else the third write fails
    std::uint32_t rule_first;
    std::uint32_t reported;
  } cases[] = {
      {"failed write after unsynced ones", false, 96, 32},
      {"failed sync", true, 0, 32},
      {"failed sync, loss from a block before the unsynced ones", true, 10, 32},
      {"failed sync, loss from inside the third write", true, 70, 70},
      {"failed sync, loss from past the written blocks", true, 96, 96},
  };
  const Bytes gp = cdb12({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start_with(0xE1);
    ASSERT_TRUE(good(format_wo()));
    auto& d = sim_->drive();
    // Nothing failed yet: the drive's ordinary answer.
    auto p = in(gp, 2056);
    ASSERT_TRUE(good(p));
    EXPECT_EQ(kelsim::get_be32(p.data.data()), 4u);
    ASSERT_TRUE(good(write(0, 32, 1)));
    ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
    ASSERT_TRUE(good(write(32, 32, 2)));
    ASSERT_TRUE(good(write(64, 32, 3)));
    if (c.sync_fails) {
      auto once = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
      once.times = 1;
      once.first_lba = c.rule_first;
      d.add_fault(once);
      EXPECT_FALSE(good(in(cdb12({0x35}), 0)));
    } else {
      d.add_fault(kelsim::write_error(c.rule_first, 127));
      EXPECT_FALSE(good(write(96, 32, 4)));
    }
    p = in(gp, 2056);
    ASSERT_TRUE(good(p));
    ASSERT_EQ(kelsim::get_be32(p.data.data()), 2052u);
    EXPECT_EQ(kelsim::get_be32(&p.data[8]), c.reported);
    EXPECT_EQ(p.data[17] & 7, 0);
    EXPECT_EQ(p.data[18], 1);
    d.clear_faults();
    // A good sync confirms everything: the failure is forgotten.
    ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
    p = in(gp, 2056);
    EXPECT_EQ(kelsim::get_be32(p.data.data()), 4u);
    TearDown();
  }
}

// Four writes of 32 blocks after a good sync, then a failing sync: the
// drive reports the first lost block (the rule's, the first unsynced one,
// or the oldest its error-reporting window still covers) and those blocks
// are lost, the ones before it kept. The report outlives a disc change and
// goes with the next good sync.
TEST_F(MediaTest, AFailedSyncLosesTheBlocksItReports) {
  const struct {
    const char* what;
    std::uint32_t rule_first, window, reported;
  } cases[] = {
      {"from a named block", 64, 0, 64},
      {"from the first unsynced block", 0, 0, 0},
      {"no further back than the window", 0, 48, 80},
      {"a named block inside the window", 100, 48, 100},
  };
  const Bytes gp = cdb12({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = 0xE1;
    o.cartridge.disc_blocks = kN;
    o.drive.error_reporting_threshold = c.window;
    start(o);
    ASSERT_TRUE(good(format_wo()));
    for (std::uint32_t i = 0; i < 4; ++i) ASSERT_TRUE(good(write(32 * i, 32, static_cast<std::uint8_t>(i + 1))));
    auto rule = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
    rule.times = 1;
    rule.first_lba = c.rule_first;
    sim_->drive().add_fault(rule);
    EXPECT_FALSE(good(in(cdb12({0x35}), 0)));
    for (std::uint32_t b = 0; b < 128; b += 8) {
      const bool kept = read(b, 1) == Bytes(2048, static_cast<std::uint8_t>(b / 32 + 1));
      EXPECT_EQ(kept, b < c.reported) << "block " << b;
    }
    ASSERT_TRUE(load(1));
    ASSERT_TRUE(load(0));
    auto p = in(gp, 2056);
    ASSERT_EQ(kelsim::get_be32(p.data.data()), 2052u) << "the report outlives the disc change";
    EXPECT_EQ(kelsim::get_be32(&p.data[8]), c.reported);
    ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
    EXPECT_EQ(kelsim::get_be32(in(gp, 2056).data.data()), 4u);
    TearDown();
  }
}

// A power cut forgets the drive's cache since the last good sync: on a
// write-once disc the NWA moves back (as far as the blocks that had reached
// the medium), a pseudo-overwrite gives the former data back; on a
// rewritable disc rewritten blocks hold their former data and new ones are
// blank. The drive then answers its next command, INQUIRY aside, with unit
// attention 06/29/00, once.
TEST_F(MediaTest, APowerCutForgetsTheCacheSinceTheLastGoodSync) {
  const Bytes tur = cdb12({0x00});
  const Bytes inquiry = cdb12({0x12, 0, 0, 0, 36});
  const Bytes gp = cdb12({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02});
  start_with(0xE1);
  ASSERT_TRUE(good(format_wo()));
  ASSERT_TRUE(good(write(0, 64, 1)));
  ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
  ASSERT_TRUE(good(write(64, 64, 2)));
  ASSERT_TRUE(good(write(0, 32, 3)));  // a pseudo-overwrite
  ASSERT_TRUE(good(write(128, 64, 4)));
  // 64-111 had reached the medium: the cluster 96-127 the cut falls in is
  // not recorded, the NWA stays on a cluster boundary.
  sim_->drive().power_cut(48);
  EXPECT_TRUE(good(in(inquiry, 36))) << "INQUIRY is answered through a unit attention";
  EXPECT_EQ(sense(in(tur, 0)), (kelsim::Sense{6, 0x29, 0}));
  EXPECT_TRUE(good(in(tur, 0))) << "the attention is given once";
  EXPECT_EQ(track(1).nwa, 96u);
  EXPECT_EQ(read(0, 1), Bytes(2048, 1));
  EXPECT_EQ(read(95, 1), Bytes(2048, 2));
  EXPECT_EQ(sense(in(rw10(0x28, 96, 32), 65536)), (kelsim::Sense{3, 0x11, 0}));
  EXPECT_EQ(sense(in(rw10(0x28, 128, 32), 65536)), (kelsim::Sense{3, 0x11, 0}));
  EXPECT_EQ(kelsim::get_be32(in(gp, 2056).data.data()), 4u) << "no failed block is left";
  TearDown();

  start_with(0xE2);
  ASSERT_TRUE(good(write(0, 32, 1)));
  ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
  ASSERT_TRUE(good(write(0, 32, 2)));
  ASSERT_TRUE(good(write(100, 32, 3)));
  // The same through a fault rule: the sync in flight gets no answer from
  // the drive, the service reports the device lost.
  const int id = sim_->drive().add_fault(kelsim::power_cut_at(0x35));
  auto a = in(cdb12({0x35}), 0);
  EXPECT_EQ(a.status, 1117);
  EXPECT_EQ(sim_->drive().fault_fired(id), 1);
  sim_->drive().clear_faults();
  EXPECT_EQ(sense(in(tur, 0)), (kelsim::Sense{6, 0x29, 0}));
  EXPECT_EQ(read(0, 1), Bytes(2048, 1));
  EXPECT_EQ(read(100, 32), Bytes(32 * 2048, 0));
  EXPECT_EQ(track(1).nwa, 32u);
}

// A write-once disc is recorded in whole clusters (128 blocks on F2h, 32 on
// the others): when the drive records its cache (a sync, a disc change, or
// a power cut after all of it had reached the medium) the rest of a
// part-filled cluster is padded, the NWA moves to the next cluster, the
// padding reads as zeros, and a write into it is a pseudo-overwrite.
TEST_F(MediaTest, RecordingACachePadsThePartFilledClusterOfAWriteOnceDisc) {
  enum class Recorded { Sync, DiscChange, PowerCutAfterAll };
  const struct {
    const char* what;
    std::uint8_t type;
    std::uint16_t blocks;
    Recorded how;
    std::uint32_t nwa;
  } cases[] = {
      {"F2h, a sync", 0xF2, 32, Recorded::Sync, 128},
      {"E1h, a sync", 0xE1, 10, Recorded::Sync, 32},
      {"E1h, a whole cluster needs no padding", 0xE1, 64, Recorded::Sync, 64},
      {"F2h, a disc change", 0xF2, 200, Recorded::DiscChange, 256},
      {"E1h, a power cut after all had reached the medium", 0xE1, 40, Recorded::PowerCutAfterAll, 64},
  };
  auto pow = [&] {
    auto a = in(cdb12({0x51, 0x02, 0, 0, 0, 0, 0, 0, 0x10}), 16);
    return kelsim::WriteResources{kelsim::get_be32(&a.data.at(4)), kelsim::get_be32(&a.data.at(8)),
                                  kelsim::get_be32(&a.data.at(12))};
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start_with(c.type);
    ASSERT_TRUE(good(format_wo()));
    ASSERT_TRUE(good(write(0, c.blocks, 1)));
    EXPECT_EQ(track(1).nwa, c.blocks) << "a cached write ends where it ends";
    if (c.how == Recorded::Sync) {
      ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
    } else if (c.how == Recorded::DiscChange) {
      ASSERT_TRUE(load(1));
      ASSERT_TRUE(load(0));
    } else {
      sim_->drive().power_cut(c.blocks);
      ASSERT_TRUE(sim_->make_ready());
    }
    const TrackInfo t = track(1);
    EXPECT_EQ(t.nwa, c.nwa);
    EXPECT_EQ(t.last_recorded, c.nwa - 1);
    EXPECT_EQ(t.free, kN - c.nwa);
    if (c.nwa == c.blocks) {
      TearDown();
      continue;
    }
    const std::uint32_t padding = c.nwa - c.blocks;
    const auto zeros = in(rw10(0x28, c.blocks, static_cast<std::uint16_t>(padding)), padding * 2048);
    EXPECT_TRUE(good(zeros));
    EXPECT_EQ(zeros.data, Bytes(padding * 2048, 0));
    const kelsim::WriteResources before = pow();
    ASSERT_TRUE(good(write(c.blocks, 8, 2)));
    EXPECT_EQ(pow(), (kelsim::WriteResources{before.replacements - 1, before.map_entries - 1, before.updates - 1}))
        << "a write into the padding replaces its cluster";
    EXPECT_EQ(track(1).nwa, c.nwa);
    EXPECT_EQ(read(c.blocks, 1), Bytes(2048, 2));
    EXPECT_EQ(read(c.blocks - 1, 1), Bytes(2048, 1));
    TearDown();
  }
}

// A power cut inside the rewrite of a rewritable disc's cluster, which one
// error-correcting code covers: a cluster nothing of the rewrite had reached
// reads whole as it was, one the whole rewrite had reached reads whole new,
// and one torn between them fails every read and verify with a medium
// error, and every write that does not cover it whole, across a restart
// too, until a write covers it; a cut that loses that write tears it again.
TEST_F(MediaTest, APowerCutTearsTheRewritableClusterItFallsIn) {
  const struct {
    const char* what;
    std::uint16_t rewritten;  // blocks from 0
    std::uint32_t keep;
    const char* clusters;  // of blocks 0-63: 'o' old, 'n' new, 't' torn
  } cases[] = {
      {"nothing had reached the medium", 32, 0, "oo"},
      {"a cut inside the first cluster", 32, 10, "to"},
      {"the whole cluster had", 32, 32, "no"},
      {"a cut inside the second cluster", 64, 40, "nt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start_with(0xE2);
    ASSERT_TRUE(good(write(0, 64, 1)));
    ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
    ASSERT_TRUE(good(write(0, c.rewritten, 2)));
    sim_->drive().power_cut(c.keep);
    restart();
    for (std::uint32_t k = 0; k < 2; ++k) {
      SCOPED_TRACE("cluster " + std::to_string(k));
      const std::uint32_t first = 32 * k;
      const auto whole = in(rw10(0x28, first, 32), 65536);
      const auto one = in(rw10(0x28, first + 31, 1), 2048);
      const auto verify = in(rw10(0x2F, first, 32), 0);
      if (c.clusters[k] != 't') {
        EXPECT_TRUE(good(whole));
        EXPECT_TRUE(good(verify));
        EXPECT_EQ(whole.data, Bytes(65536, c.clusters[k] == 'n' ? 2 : 1));
        continue;
      }
      for (const auto* a : {&whole, &one, &verify}) EXPECT_EQ(sense(*a), (kelsim::Sense{3, 0x11, 0}));
      EXPECT_TRUE(whole.data.empty());
      EXPECT_EQ(sense(write(first + 8, 8, 3)), (kelsim::Sense{3, 0x11, 0})) << "a write of part of it";
      EXPECT_EQ(sense(in(rw10(0x28, first, 32), 65536)), (kelsim::Sense{3, 0x11, 0}));
      // A write of the whole cluster mends it; lost to a cut inside it, it
      // leaves the cluster torn again.
      ASSERT_TRUE(good(write(first, 32, 4)));
      EXPECT_EQ(read(first, 32), Bytes(65536, 4));
      sim_->drive().power_cut(5);
      ASSERT_TRUE(sim_->make_ready());
      EXPECT_EQ(sense(in(rw10(0x28, first, 32), 65536)), (kelsim::Sense{3, 0x11, 0}));
      ASSERT_TRUE(good(write(first, 32, 5)));
      ASSERT_TRUE(good(in(cdb12({0x35}), 0)));
      restart();
      EXPECT_EQ(read(first, 32), Bytes(65536, 5));
    }
    TearDown();
  }
}

}  // namespace
}  // namespace simtest
