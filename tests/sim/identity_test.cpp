// Identity, changer mechanism and command table of the simulated drive.
#include "sim_support.h"

#include <cstring>
#include <memory>

namespace simtest {
namespace {

TEST_F(SimTest, InquiryAnswersIdentityBlankPadded) {
  kelsim::HarnessOptions o;
  o.drive.product = "QMR-T20B";
  o.drive.revision = "1652";
  o.drive.serial = "SN1234567890";
  start(o);
  auto a = in(cdb12({0x12, 0, 0, 0, 0x24}), 36);
  ASSERT_TRUE(good(a));
  ASSERT_EQ(a.data.size(), 36u);
  EXPECT_EQ(a.data[0] & 0x1F, 0x05);
  EXPECT_EQ(std::string(a.data.begin() + 8, a.data.begin() + 16), "TARN    ");
  EXPECT_EQ(std::string(a.data.begin() + 16, a.data.begin() + 32), "QMR-T20B        ");
  EXPECT_EQ(std::string(a.data.begin() + 32, a.data.begin() + 36), "1652");

  // Unit serial number, page 80h: length in byte 3, text from byte 4.
  a = in(cdb12({0x12, 0x01, 0x80, 0, 20}), 20);
  ASSERT_TRUE(good(a));
  ASSERT_EQ(a.data.size(), 16u);
  EXPECT_EQ(a.data[1], 0x80);
  EXPECT_EQ(a.data[3], 12);
  EXPECT_EQ(std::string(a.data.begin() + 4, a.data.end()), "SN1234567890");

  // An unknown page is refused.
  EXPECT_EQ(sense(in(cdb12({0x12, 0x01, 0x83, 0, 20}), 20)), (kelsim::Sense{5, 0x24, 0}));
}

TEST_F(SimTest, MediumUniqueIdOnlyWithDiscLoaded) {
  start();
  auto a = in(cdb12({0x12, 0x01, 0xC1, 0, 0x12}), 18);
  ASSERT_TRUE(good(a));
  ASSERT_EQ(a.data.size(), 18u);
  EXPECT_EQ(a.data[1], 0xC1);
  const Bytes id0(a.data.begin() + 4, a.data.end());
  EXPECT_NE(id0, Bytes(14, 0));

  // Each disc has its own identifier.
  ASSERT_TRUE(load(5));
  a = in(cdb12({0x12, 0x01, 0xC1, 0, 0x12}), 18);
  EXPECT_NE(Bytes(a.data.begin() + 4, a.data.end()), id0);

  sim_->drive().unload();
  EXPECT_EQ(sense(in(cdb12({0x12, 0x01, 0xC1, 0, 0x12}), 18)), (kelsim::Sense{2, 0x3A, 0}));
  EXPECT_EQ(sense(in(cdb12({0x00}), 0)), (kelsim::Sense{2, 0x3A, 0}));
}

// Slot = ((byte 1 & 7) << 5) | (byte 0 & 1Fh); state = byte 1 bits 5-7;
// slots = byte 5; cartridge write protect = byte 9 bit 0.
TEST_F(SimTest, MechanismStatusFollowsLoadOfEverySlot) {
  start();
  for (int slot = 0; slot < 12; ++slot) {
    SCOPED_TRACE(slot);
    ASSERT_TRUE(load(static_cast<std::uint8_t>(slot)));
    auto a = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
    ASSERT_TRUE(good(a));
    ASSERT_EQ(a.data.size(), 12u);
    EXPECT_EQ(((a.data[1] & 7) << 5) | (a.data[0] & 0x1F), slot);
    EXPECT_EQ(a.data[1] >> 5, 1);
    EXPECT_EQ(a.data[5], 12);
    EXPECT_EQ(a.data[9] & 1, 0);
  }
  // A slot the cartridge does not have.
  EXPECT_EQ(sense(in(cdb12({0xA6, 0, 0, 0, 0x03, 0, 0, 0, 12}), 0)), (kelsim::Sense{5, 0x21, 0x01}));

  // Unloaded: state 0.
  ASSERT_TRUE(good(in(cdb12({0xA6, 0, 0, 0, 0x02}), 0)));
  auto a = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x08}), 8);
  ASSERT_EQ(a.data.size(), 8u);  // cut to the allocation
  EXPECT_EQ(a.data[1] >> 5, 0);
  EXPECT_EQ(a.data[5], 12);
}

TEST_F(SimTest, TypeTwoCartridgeHasElevenSlots) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xF2;
  start(o);
  auto a = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C}), 12);
  EXPECT_EQ(a.data[5], 11);
}

TEST_F(SimTest, UnknownOpcodeAndForeignModelCommandsAreRefused) {
  start();  // QMR-T300B: 8Ch/8Dh and E6h, not DAh/DBh/DCh
  const kelsim::Sense invalid{5, 0x20, 0};
  EXPECT_EQ(sense(in(cdb12({0xEE}), 0)), invalid);
  EXPECT_EQ(sense(in(cdb12({0xDA, 0, 0, 0, 0x04, 0x08, 0, 0, 0, 20}), 20)), invalid);
  EXPECT_EQ(sense(in(cdb12({0xDC, 1, 1, 0}), 0)), invalid);
  EXPECT_TRUE(good(in(cdb12({0xE6, 1, 1, 0}), 0)));
  EXPECT_EQ(sim_->drive().observed().alarms, 1);
}

TEST_F(SimTest, LatestModelsUseVendorAttributeAndAlarmCommands) {
  kelsim::HarnessOptions o;
  o.drive.product = "QMR-T400A";
  start(o);
  Bytes da = cdb12({0xDA});
  kelsim::put_be16(&da[4], 0x0D00);
  kelsim::put_be32(&da[6], 12);
  auto a = in(da, 12);
  ASSERT_TRUE(good(a));
  EXPECT_EQ(kelsim::get_be16(&a.data[4]), 0x0D00);
  Bytes c8(16, 0);
  c8[0] = 0x8C;
  kelsim::put_be16(&c8[8], 0x0D00);
  kelsim::put_be32(&c8[10], 12);
  EXPECT_EQ(sense(in(c8, 12)), (kelsim::Sense{5, 0x20, 0}));
  EXPECT_TRUE(good(in(cdb12({0xDC, 1, 1, 2}), 0)));
  EXPECT_EQ(sense(in(cdb12({0xE6, 1, 1, 2}), 0)), (kelsim::Sense{5, 0x20, 0}));
}

// The small commands answer as the drive layer reads them.
TEST_F(SimTest, SmallCommandsAnswer) {
  start();
  EXPECT_TRUE(good(in(cdb12({0x00}), 0)));
  EXPECT_TRUE(good(in(cdb12({0x1B, 0, 0, 0, 1}), 0)));
  EXPECT_TRUE(good(in(cdb12({0x1E, 0, 0, 0, 1}), 0)));
  EXPECT_TRUE(sim_->drive().observed().prevent_removal);
  // Clock: seconds since 2003 as a big-endian u32 and 8 zero bytes.
  Bytes t(12, 0);
  kelsim::put_be32(t.data(), 123456789);
  EXPECT_TRUE(good(out(cdb12({0xCF, 0, 0, 0, 0, 0, 0, 0, 0x0C}), t)));
  EXPECT_EQ(sim_->drive().observed().clock_seconds, 123456789u);
  // OPC resources: a big-endian count in bytes 0-1.
  auto a = in(cdb12({0xD5}), 16);
  ASSERT_EQ(a.data.size(), 16u);
  EXPECT_GE(kelsim::get_be16(a.data.data()), 5);
  // Maintenance read: 16 bytes.
  EXPECT_EQ(in(cdb12({0xC3}), 16).data.size(), 16u);
  EXPECT_TRUE(good(in(cdb12({0xC6, 0x12}), 0)));
  EXPECT_EQ(sim_->drive().observed().dfl_increments, 1);
  // READ CAPACITY: last block and block size.
  a = in(cdb12({0x25}), 8);
  EXPECT_EQ(kelsim::get_be32(a.data.data()), kelsim::kDefaultDiscBlocks - 1);
  EXPECT_EQ(kelsim::get_be32(a.data.data() + 4), 2048u);
  // GET EVENT STATUS NOTIFICATION.
  EXPECT_TRUE(good(in(cdb12({0x4A, 0x01, 0, 0, 0x10, 0, 0, 0, 0x10}), 16)));
}

TEST_F(SimTest, ModePagesAsTheDriveLayerReadsThem) {
  start();
  // Page 01h, 18 bytes: medium type at 2, WP bit 7 of byte 3.
  auto a = in(cdb12({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x12}), 18);
  ASSERT_EQ(a.data.size(), 18u);
  EXPECT_EQ(a.data[2], 0xE1);
  EXPECT_EQ(a.data[3] & 0x80, 0);
  EXPECT_EQ(a.data[8] & 0x3F, 0x01);
  // Page 22h: the transfer unit count at 12-13, 14-15, 16-17.
  a = in(cdb12({0x5A, 0, 0x22, 0, 0, 0, 0, 0, 0x14}), 20);
  ASSERT_EQ(a.data.size(), 20u);
  EXPECT_EQ(kelsim::get_be16(&a.data[16]), 8);
  // Page 1Ch: SWP bit 0 of byte 12, off.
  a = in(cdb12({0x5A, 0, 0x1C, 0, 0, 0, 0, 0, 0x10}), 16);
  ASSERT_EQ(a.data.size(), 16u);
  EXPECT_EQ(a.data[12] & 1, 0);

  // MODE SELECT of page 21h setting WP turns SWP on.
  Bytes p21(20, 0);
  p21[1] = 0x0C;
  p21[8] = 0x21;
  p21[9] = 0x0A;
  p21[10] = 0x01;
  p21[11] = 0x01;
  ASSERT_TRUE(good(out(cdb12({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20}), p21)));
  a = in(cdb12({0x5A, 0, 0x1C, 0, 0, 0, 0, 0, 0x10}), 16);
  EXPECT_EQ(a.data[12] & 1, 1);
  // A page the drive does not have.
  EXPECT_EQ(sense(in(cdb12({0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x10}), 16)), (kelsim::Sense{5, 0x24, 0}));
}

TEST_F(SimTest, OldestModelHasNoBlockSizePage) {
  kelsim::HarnessOptions o;
  o.drive.product = "QMR-T10A";
  start(o);
  EXPECT_EQ(sense(in(cdb12({0x5A, 0, 0x22, 0, 0, 0, 0, 0, 0x14}), 20)), (kelsim::Sense{5, 0x24, 0}));
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// Answers are cut to the allocation length of their CDB, whatever transfer
// length the request asks for; C3h and D5h, whose CDBs carry none, answer
// whole.
TEST_F(SimTest, AnswersAreCutToTheAllocationLengthOfTheirCdb) {
  kelsim::HarnessOptions o;
  o.drive.serial = "SERIAL-OF-TWENTY-EIGHT-CHARS";
  start(o);
  ASSERT_EQ(o.drive.serial.size(), 28u);
  ASSERT_TRUE(good(format_unit()));
  struct Case {
    const char* what;
    Bytes cdb;
    std::size_t size;
  } cases[] = {
      {"INQUIRY, allocation 0", cdb12({0x12, 0, 0, 0, 0}), 0},
      {"INQUIRY, allocation 5", cdb12({0x12, 0, 0, 0, 5}), 5},
      {"INQUIRY, allocation 255", cdb12({0x12, 0, 0, 0, 0xFF}), 36},
      {"page 80h, allocation 20", cdb12({0x12, 1, 0x80, 0, 20}), 20},
      {"page 80h, allocation 32", cdb12({0x12, 1, 0x80, 0, 32}), 32},
      {"page C1h, allocation 10", cdb12({0x12, 1, 0xC1, 0, 10}), 10},
      {"MECHANISM STATUS, allocation 0", cdb12({0xBD}), 0},
      {"MECHANISM STATUS, allocation 12", cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 12}), 12},
      {"MECHANISM STATUS, allocation 256", cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 1, 0}), 8 + 4 * 12},
      {"disc information, allocation 8", cdb12({0x51, 0, 0, 0, 0, 0, 0, 0, 8}), 8},
      {"disc information type 2, allocation 10", cdb12({0x51, 2, 0, 0, 0, 0, 0, 0, 10}), 10},
      {"track information, allocation 0", cdb12({0x52, 1, 0, 0, 0, 1}), 0},
      {"track information, allocation 12", cdb12({0x52, 1, 0, 0, 0, 1, 0, 0, 12}), 12},
      {"format capacities, allocation 4", cdb12({0x23, 0, 0, 0, 0, 0, 0, 0, 4}), 4},
      {"event status, allocation 2", cdb12({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 2}), 2},
      {"C3h", cdb12({0xC3}), 16},
      {"D5h", cdb12({0xD5}), 16},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    auto a = in(k.cdb, 4096);
    ASSERT_TRUE(good(a));
    EXPECT_EQ(a.data_in_length, k.size);
  }
  // The slot table: one 4-byte entry per slot.
  auto m = in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 1, 0}), 4096);
  ASSERT_EQ(m.data.size(), 56u);
  EXPECT_EQ(kelsim::get_be16(&m.data[6]), 48);
  for (int s = 0; s < 12; ++s) EXPECT_EQ(m.data[8 + 4 * s] & 0x80, 0x80) << s;
}

// The drive itself refuses a CDB shorter than its operation and never reads
// past it: each CDB here lives in a buffer of exactly its length. Every
// shorter form is refused 05/24/00; the whole one is served. The READ(10)
// asks for no block: the disc, formatted by the FORMAT UNIT row, has
// nothing recorded, and the whole CDB is to be served, not refused for what
// the disc holds.
TEST_F(SimTest, ShortCdbsAreRefusedByTheDrive) {
  start();
  auto cdb = [](std::initializer_list<std::uint8_t> head, std::size_t len) {
    Bytes c(len, 0);
    std::copy(head.begin(), head.end(), c.begin());
    return c;
  };
  const Bytes rows[] = {
      cdb({0x00}, 6),  cdb({0x04}, 6),  cdb({0x12, 0, 0, 0, 36}, 6),  cdb({0x1B}, 6),  cdb({0x1E}, 6),
      cdb({0x23, 0, 0, 0, 0, 0, 0, 0, 12}, 10),  cdb({0x25}, 10),  cdb({0x28}, 10),
      cdb({0x2A}, 10),  cdb({0x2F}, 10),  cdb({0x35}, 10),  cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}, 10),
      cdb({0x51, 0, 0, 0, 0, 0, 0, 0, 32}, 10),  cdb({0x52, 1, 0, 0, 0, 1, 0, 0, 52}, 10),
      cdb({0x53, 1, 0, 0, 0x10, 0}, 10),  cdb({0x5A, 0, 1, 0, 0, 0, 0, 0, 18}, 10),
      cdb({0xA6, 0, 0, 0, 3}, 12),  cdb({0xAC, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2}, 12),
      cdb({0xAD, 1, 0, 0, 0, 0, 0, 0, 0, 4}, 12),  cdb({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 12}, 12),
      cdb({0xC3}, 12),  cdb({0xC6, 0x12}, 12),  cdb({0xD2}, 12),  cdb({0xD5}, 12),  cdb({0xE6, 1, 1}, 12),
      cdb({0x8C, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 44}, 16),  cdb({0x8D}, 16),
      cdb({0x5B, 0, 2}, 10),
  };
  for (const Bytes& row : rows) {
    SCOPED_TRACE(int(row[0]));
    for (std::size_t len = 1; len <= row.size(); ++len) {
      auto exact = std::make_unique<std::uint8_t[]>(len);
      std::memcpy(exact.get(), row.data(), len);
      std::vector<std::uint8_t> data;
      const auto r = sim_->drive().execute(exact.get(), len, nullptr, 0, &data);
      if (len < row.size()) {
        EXPECT_EQ(r.sense, (kelsim::Sense{5, 0x24, 0})) << len;
      } else {
        EXPECT_FALSE(r.check_condition) << int(r.sense.key) << "/" << int(r.sense.asc);
      }
    }
  }
}

TEST(SimIdentity, MediumIdentifiersAreConfigurable) {
  kelsim::HarnessOptions o;
  o.cartridge.unique_id_prefix = "LIBRARY-0042";
  kelsim::SimHarness sim(o);
  auto page_c1 = [&] {
    std::vector<std::uint8_t> d;
    const std::uint8_t cdb[6] = {0x12, 1, 0xC1, 0, 18, 0};
    EXPECT_FALSE(sim.drive().execute(cdb, 6, nullptr, 0, &d).check_condition);
    return std::string(d.begin() + 4, d.end());
  };
  EXPECT_EQ(page_c1(), "LIBRARY-004200");
  ASSERT_EQ(sim.drive().load(3), ERROR_SUCCESS);
  EXPECT_EQ(page_c1(), "LIBRARY-004203");
  ASSERT_EQ(sim.cartridge().set_unique_id(3, "DISC3"), ERROR_SUCCESS);
  EXPECT_EQ(page_c1(), "DISC3         ");
  ASSERT_EQ(sim.restart(), ERROR_SUCCESS);
  ASSERT_EQ(sim.drive().load(3), ERROR_SUCCESS);
  EXPECT_EQ(page_c1(), "DISC3         ");
}

// Without a serial of its own a drive reports one made from its
// cartridge's folder: two drives differ, and a drive served again keeps its.
TEST(SimIdentity, EveryDriveHasItsOwnSerialAndKeepsIt) {
  kelsim::SimHarness one, two;
  auto serial = [](kelsim::ChangerDrive& d) {
    std::vector<std::uint8_t> v;
    const std::uint8_t cdb[6] = {0x12, 1, 0x80, 0, 64, 0};
    EXPECT_FALSE(d.execute(cdb, 6, nullptr, 0, &v).check_condition);
    return v.size() < 4 ? std::string() : std::string(v.begin() + 4, v.end());
  };
  const std::string first = serial(one.drive());
  EXPECT_EQ(first.size(), 12u) << first;
  EXPECT_EQ(first.rfind("KSIM", 0), 0u) << first;
  EXPECT_EQ(one.drive().config().serial, first);
  const std::string second = serial(two.drive());
  EXPECT_NE(second, first) << "two drives, two serials";
  ASSERT_EQ(two.restart(), ERROR_SUCCESS);  // the harness made last serves KEL_PIPE_DIR
  EXPECT_EQ(serial(two.drive()), second) << "served again, the drive keeps its serial";
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// The drive's state answers as a real drive gives them, command by command:
// a load that changes the disc leaves it becoming ready (02/04/01) for the
// commands that need it, then one unit attention (06/28/00); INQUIRY and
// GET EVENT STATUS NOTIFICATION neither report nor clear it, REQUEST SENSE
// returns and clears it, MECHANISM STATUS is answered while the disc spins
// up; a load of the disc already in the drive, and the options, change
// nothing.
TEST_F(SimTest, ADiscChangeIsBecomingReadyThenOneUnitAttention) {
  const kelsim::Sense becoming{2, 4, 1}, changed{6, 0x28, 0}, none{};
  const Bytes tur = cdb12({0x00}), read = rw10(0x25, 0, 0), mech = cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 12});
  const Bytes inquiry = cdb12({0x12, 0, 0, 0, 36}), events = cdb12({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8});
  const Bytes request_sense = cdb12({0x03, 0, 0, 0, 18});
  const Bytes load3 = cdb12({0xA6, 0, 0, 0, 3, 0, 0, 0, 3}), load0 = cdb12({0xA6, 0, 0, 0, 3, 0, 0, 0, 0});
  const Bytes eject = cdb12({0x1B, 0, 0, 0, 2}), close = cdb12({0x1B, 0, 0, 0, 3});
  struct Step {
    Bytes cdb;
    kelsim::Sense answer;
  };
  const struct Case {
    const char* what;
    std::uint32_t loading;
    bool attention;
    std::vector<Step> steps;
  } cases[] = {
      {"load of another slot", 1, true,
       {{load3, none}, {mech, none}, {inquiry, none}, {tur, becoming}, {inquiry, none}, {events, none},
        {mech, changed}, {tur, none}}},
      {"a slower disc", 2, true, {{load3, none}, {read, becoming}, {tur, becoming}, {read, changed}, {read, none}}},
      {"REQUEST SENSE takes the attention", 0, true, {{load3, none}, {request_sense, none}, {tur, none}}},
      {"the disc already loaded", 1, true, {{load0, none}, {tur, none}}},
      {"START STOP UNIT out and in", 1, true,
       {{eject, none}, {tur, {2, 0x3A, 0}}, {close, none}, {tur, becoming}, {tur, changed}, {tur, none}}},
      {"ready at once", 0, true, {{load3, none}, {tur, changed}, {tur, none}}},
      {"no attention", 1, false, {{load3, none}, {tur, becoming}, {tur, none}}},
      {"neither", 0, false, {{load3, none}, {tur, none}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kelsim::HarnessOptions o;
    o.drive.loading_commands = c.loading;
    o.drive.attention_after_load = c.attention;
    start(o);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      const auto a = in(s.cdb, s.cdb[0] == 0x12 ? 36 : s.cdb[0] == 0x03 ? 18 : s.cdb[0] == 0xBD ? 12 : 8);
      EXPECT_EQ(sense(a), s.answer) << "step " << i << " opcode " << std::hex << int(s.cdb[0]);
      if (s.cdb[0] == 0x03) {
        ASSERT_EQ(a.data.size(), 18u);
        EXPECT_EQ((kelsim::Sense{static_cast<std::uint8_t>(a.data[2] & 0x0F), a.data[12], a.data[13]}), changed)
            << "the attention is REQUEST SENSE's data";
      }
    }
    TearDown();
  }
}

// A drive that starts (made, or after a power cut) answers its first
// command, INQUIRY and GET EVENT STATUS NOTIFICATION aside, with unit
// attention 06/29/00, once; the option turns it off.
TEST_F(SimTest, ADriveThatStartsAnswersOnePowerOnAttention) {
  const kelsim::Sense power_on{6, 0x29, 0}, none{};
  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    kelsim::HarnessOptions o;
    o.drive.attention_at_power_on = on;
    start(o, false);
    for (int start_or_cut = 0; start_or_cut < 2; ++start_or_cut) {
      if (start_or_cut) sim_->drive().power_cut();
      EXPECT_TRUE(good(in(cdb12({0x12, 0, 0, 0, 36}), 36)));
      EXPECT_TRUE(good(in(cdb12({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}), 8)));
      EXPECT_EQ(sense(in(cdb12({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 12}), 12)), on ? power_on : none);
      EXPECT_EQ(sense(in(cdb12({0x00}), 0)), none);
    }
    TearDown();
  }
}

// GET EVENT STATUS NOTIFICATION of the media class reports each disc change
// once, oldest first: the disc of the drive's start as new media, a load of
// another slot as the removal of the old disc and the new one; then no
// change, with the disc present bit. Without the media class asked, or with
// the option off, the header alone says no event.
TEST_F(SimTest, MediaEventsReportEachDiscChangeOnce) {
  struct Event {
    std::uint8_t code, present, slot;
  };
  const struct Case {
    const char* what;
    bool media_events;
    std::uint8_t load_to;  // 0xFF: unload
    std::vector<Event> events;
  } cases[] = {
      {"load of slot 3", true, 3, {{2, 2, 0}, {3, 2, 0}, {2, 2, 3}, {0, 2, 3}}},
      {"unload", true, 0xFF, {{2, 0, 0}, {3, 0, 0}, {0, 0, 0}}},
      {"option off", false, 3, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kelsim::HarnessOptions o;
    o.drive.media_events = c.media_events;
    start(o);
    const Bytes load = c.load_to == 0xFF ? cdb12({0xA6, 0, 0, 0, 2}) : cdb12({0xA6, 0, 0, 0, 3, 0, 0, 0, c.load_to});
    ASSERT_TRUE(good(in(load, 0)));
    auto header_only = in(cdb12({0x4A, 1, 0, 0, 0, 0, 0, 0, 8}), 8);
    EXPECT_EQ(header_only.data, (Bytes{0, 2, 0x80, 0x10})) << "no class asked";
    for (const Event& e : c.events) {
      auto a = in(cdb12({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}), 8);
      ASSERT_EQ(a.data.size(), 8u);
      EXPECT_EQ(Bytes(a.data.begin(), a.data.begin() + 4), (Bytes{0, 6, 0x04, 0x10}));
      EXPECT_EQ(a.data[4], e.code);
      EXPECT_EQ(a.data[5], e.present);
      EXPECT_EQ(a.data[6], e.slot);
      EXPECT_EQ(a.data[7], e.slot);
    }
    if (!c.media_events) {
      EXPECT_EQ(in(cdb12({0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}), 8).data, (Bytes{0, 2, 0x80, 0x10}));
    }
    TearDown();
  }
}

}  // namespace
}  // namespace simtest
