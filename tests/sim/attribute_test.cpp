// Cartridge memory: READ ATTRIBUTE and WRITE ATTRIBUTE as the drive layer
// sends them, and the attributes of a fresh cartridge.
#include "sim_support.h"

#include <map>
#include <tuple>

namespace simtest {
namespace {

Bytes read_attr_cdb(std::uint16_t id, std::uint32_t alloc) {
  Bytes c(16, 0);
  c[0] = 0x8C;
  kelsim::put_be16(&c[8], id);
  kelsim::put_be32(&c[10], alloc);
  return c;
}

Bytes write_attr_cdb(std::uint32_t size) {
  Bytes c(16, 0);
  c[0] = 0x8D;
  kelsim::put_be32(&c[10], size);
  return c;
}

// {id, format, value} -> parameter list.
Bytes attr_list(std::initializer_list<std::tuple<std::uint16_t, std::uint8_t, Bytes>> attrs, std::size_t pad = 0) {
  Bytes l(4, 0);
  for (auto& [id, fmt, v] : attrs) {
    std::uint8_t h[5];
    kelsim::put_be16(h, id);
    h[2] = fmt;
    kelsim::put_be16(h + 3, static_cast<std::uint16_t>(v.size()));
    l.insert(l.end(), h, h + 5);
    l.insert(l.end(), v.begin(), v.end());
  }
  l.resize(l.size() + pad, 0);
  kelsim::put_be32(l.data(), static_cast<std::uint32_t>(l.size() - 4));
  return l;
}

TEST_F(SimTest, ReadAttributeAnswersFromTheFirstIdUpwards) {
  start();
  // 0408h-0409h in 20 bytes: 0408h value at 9, 0409h value at 15-16.
  auto a = in(read_attr_cdb(0x0408, 20), 20);
  ASSERT_TRUE(good(a));
  ASSERT_EQ(a.data.size(), 20u);
  EXPECT_EQ(kelsim::get_be16(&a.data[4]), 0x0408);
  EXPECT_EQ(kelsim::get_be16(&a.data[7]), 1);
  EXPECT_EQ(a.data[9], 0);
  EXPECT_EQ(kelsim::get_be16(&a.data[10]), 0x0409);
  EXPECT_EQ(kelsim::get_be16(&a.data[13]), 2);
  EXPECT_EQ(kelsim::get_be16(&a.data[15]), 0);
  // The available length counts every attribute from 0408h on, not the cut.
  EXPECT_GT(kelsim::get_be32(a.data.data()), 16u);

  // Truncated at the allocation length.
  a = in(read_attr_cdb(0x0D00, 12), 12);
  ASSERT_EQ(a.data.size(), 12u);
  EXPECT_EQ(kelsim::get_be16(&a.data[4]), 0x0D00);
  EXPECT_EQ(a.data[9], 0);  // last written slot of a fresh cartridge: the loaded one

  // 1100h-1102h in 24 bytes: values at 9, 15, 21.
  a = in(read_attr_cdb(0x1100, 24), 24);
  ASSERT_EQ(a.data.size(), 22u);  // nothing follows 1102h on a fresh cartridge
  EXPECT_EQ(a.data[9], 1);
  EXPECT_EQ(a.data[15], 1);
  EXPECT_EQ(a.data[21], 12);

  // 0401h: a 32-byte serial from byte 9.
  a = in(read_attr_cdb(0x0401, 44), 44);
  ASSERT_EQ(a.data.size(), 44u);
  EXPECT_EQ(kelsim::get_be16(&a.data[7]), 32);

  // An id the cartridge does not hold (nothing has written 1500h yet).
  EXPECT_EQ(sense(in(read_attr_cdb(0x1500, 140), 140)), (kelsim::Sense{5, 0x24, 0}));
  // Service action 1 lists the identifiers, whatever the first one asked;
  // the other lists of the standard are not served.
  Bytes list_cdb = read_attr_cdb(0x0408, 10);
  list_cdb[1] = 0x01;
  a = in(list_cdb, 10);
  ASSERT_TRUE(good(a));
  ASSERT_EQ(a.data.size(), 10u);
  EXPECT_EQ(kelsim::get_be32(a.data.data()), 2u * 11);  // 11 attributes on a fresh cartridge
  EXPECT_EQ(kelsim::get_be16(&a.data[4]), 0x0007);
  EXPECT_EQ(kelsim::get_be16(&a.data[6]), 0x0401);
  EXPECT_EQ(kelsim::get_be16(&a.data[8]), 0x0408);
  list_cdb[1] = 0x02;
  EXPECT_EQ(sense(in(list_cdb, 20)), (kelsim::Sense{5, 0x24, 0}));
}

// The serial text rule of the system. (The attribute rules of a fresh
// cartridge of every class are the drive layer's tests against the
// simulator.)
bool serial_ok(const Bytes& s) {
  if (s.empty() || s[0] == '.' || s[0] == 0) return false;
  for (auto c : s) {
    if (c == 0) break;
    if (c < 0x20 || c == 0x7F) return false;
    if (std::string("\"*/:<>?\\|").find(static_cast<char>(c)) != std::string::npos) return false;
  }
  return true;
}

TEST(SimCartridge, FreshCartridgeOfEveryMediumClassNamesItsTypeAndAUsableSerial) {
  for (std::uint8_t type : {0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0xF2, 0x53, 0xE2, 0xE4, 0xE6, 0xE8}) {
    SCOPED_TRACE(int(type));
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = type;
    o.cartridge.disc_blocks = 0x10000;
    kelsim::SimHarness sim(o);
    ASSERT_TRUE(sim.make_ready());
    kelsim::RawClient cl;
    ASSERT_EQ(cl.connect(), ERROR_SUCCESS);
    auto call = [&](const Bytes& cdb, std::uint32_t len) {
      kelsim::ScsiCall c;
      c.cdb = cdb;
      c.transfer_length = len;
      c.cookie = sim.cookie();
      kelsim::RawAnswer a;
      EXPECT_EQ(cl.call(c, &a), ERROR_SUCCESS);
      EXPECT_EQ(a.sense_length, 0);
      return a.data;
    };
    auto d = call(read_attr_cdb(0x0401, 44), 44);
    ASSERT_EQ(d.size(), 44u);
    EXPECT_TRUE(serial_ok(Bytes(d.begin() + 9, d.begin() + 41)));
    // The mode page reports the medium type the cartridge was made with.
    d = call(cdb12({0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x12}), 18);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[2], type);
  }
}

TEST_F(SimTest, WriteAttributeUpdatesOnlyTheNamedAttributes) {
  start();
  Bytes label(160, 0);
  label[0] = 'L';
  // Trailing zero padding after the last attribute is accepted.
  Bytes list = attr_list({{0x0800, 1, Bytes{'T', 'A', 'R', 'N', ' ', ' ', ' ', ' '}}, {0x0803, 2, label}}, 3);
  ASSERT_TRUE(good(out(write_attr_cdb(static_cast<std::uint32_t>(list.size())), list)));

  auto a = in(read_attr_cdb(0x0800, 13), 13);
  ASSERT_EQ(a.data.size(), 13u);
  EXPECT_EQ(a.data[6] & 3, 1);  // format kept
  EXPECT_EQ(std::string(a.data.begin() + 9, a.data.end()), "TARN");
  a = in(read_attr_cdb(0x0803, 200), 200);
  EXPECT_EQ(kelsim::get_be16(&a.data[7]), 160);
  // Untouched attributes keep their values.
  a = in(read_attr_cdb(0x1100, 24), 24);
  EXPECT_EQ(a.data[21], 12);

  // A list whose attribute runs past its end changes nothing.
  Bytes bad = attr_list({{0x0801, 1, Bytes(32, 'x')}});
  bad.resize(bad.size() - 10);
  kelsim::put_be32(bad.data(), static_cast<std::uint32_t>(bad.size() - 4));
  EXPECT_EQ(sense(out(write_attr_cdb(static_cast<std::uint32_t>(bad.size())), bad)), (kelsim::Sense{5, 0x26, 0}));
  EXPECT_EQ(sense(in(read_attr_cdb(0x0801, 40), 40)), (kelsim::Sense{5, 0x24, 0}));
}

// The format writes the whole 472-byte record: header 468, then the twelve
// attributes 0800h-0806h and 1500h-1504h, then three zero bytes.
TEST_F(SimTest, WriteAttributeTakesTheFullRecordOfTheFormat) {
  start();
  Bytes v1500(128, 0);
  v1500[0] = 'K';
  v1500[1] = 'E';
  v1500[2] = 'L';
  Bytes list = attr_list({{0x0800, 1, Bytes(8, 'a')},
                          {0x0801, 1, Bytes(32, 'b')},
                          {0x0802, 1, Bytes(8, 'c')},
                          {0x0803, 2, Bytes(160, 0)},
                          {0x0804, 1, Bytes(12, '2')},
                          {0x0805, 0, Bytes{0x80}},
                          {0x0806, 1, Bytes(32, 0)},
                          {0x1500, 0, v1500},
                          {0x1501, 0, Bytes(8, 0)},
                          {0x1502, 0, Bytes(8, 0)},
                          {0x1503, 0, Bytes(4, 0)},
                          {0x1504, 0, Bytes(4, 0)}},
                         3);
  ASSERT_EQ(list.size(), 472u);
  ASSERT_EQ(kelsim::get_be32(list.data()), 468u);
  ASSERT_TRUE(good(out(write_attr_cdb(472), list)));
  auto a = in(read_attr_cdb(0x1500, 140), 140);
  ASSERT_TRUE(good(a));
  EXPECT_EQ(kelsim::get_be16(&a.data[7]), 128);
  EXPECT_EQ(std::string(a.data.begin() + 9, a.data.begin() + 12), "KEL");
}

TEST_F(SimTest, CmWriteProtectRefusesOtherAttributes) {
  start();
  Bytes on = attr_list({{0x0D03, 0, Bytes{1}}}, 2);
  ASSERT_TRUE(good(out(write_attr_cdb(12), on)));
  Bytes other = attr_list({{0x0806, 1, Bytes(32, 'z')}});
  EXPECT_EQ(sense(out(write_attr_cdb(static_cast<std::uint32_t>(other.size())), other)),
            (kelsim::Sense{3, 0x27, 0}));
  Bytes off = attr_list({{0x0D03, 0, Bytes{0}}}, 2);
  ASSERT_TRUE(good(out(write_attr_cdb(12), off)));
  EXPECT_TRUE(good(out(write_attr_cdb(static_cast<std::uint32_t>(other.size())), other)));
}

TEST_F(SimTest, LastWrittenSlotFollowsWrites) {
  start();
  for (std::uint8_t slot : {3, 7}) {
    ASSERT_TRUE(load(slot));
    ASSERT_TRUE(good(format_unit()));
    auto a = in(read_attr_cdb(0x0D00, 12), 12);
    EXPECT_NE(a.data[9], slot);  // neither loading nor formatting is a write
    ASSERT_TRUE(good(out(rw10(0x2A, 0, 1), Bytes(2048, 0x11))));
    a = in(read_attr_cdb(0x0D00, 12), 12);
    EXPECT_EQ(a.data[9], slot);
  }
  // A refused write changes nothing.
  ASSERT_TRUE(load(9));
  EXPECT_FALSE(good(out(rw10(0x2A, 500, 1), Bytes(2048, 0x11))));
  EXPECT_EQ(in(read_attr_cdb(0x0D00, 12), 12).data[9], 7);
}

}  // namespace
}  // namespace simtest

namespace simtest {
namespace {

// WRITE ATTRIBUTE refuses what a real drive refuses and then changes no
// attribute at all, even those of the same list that were fine.
TEST_F(SimTest, WriteAttributeRefusesReadOnlyIdsAndWrongLengths) {
  start();
  // The whole cartridge memory, from its first attribute (0007h) on.
  auto all_attributes = [&] { return in(read_attr_cdb(0x0007, 0xFFFF), 0xFFFF).data; };
  const Bytes before = all_attributes();
  ASSERT_GT(before.size(), 100u);
  const kelsim::Sense bad_field{5, 0x26, 0}, bad_length{5, 0x1A, 0};
  const auto fine = std::make_tuple(std::uint16_t{0x0806}, std::uint8_t{1}, Bytes(32, 'B'));
  struct Case {
    const char* what;
    Bytes list;
    std::uint32_t cdb_length;  // 0: the list's size
    std::size_t sent;          // 0: the list's size
    kelsim::Sense sense;
  } cases[] = {
      {"0401h medium serial", attr_list({fine, {0x0401, 1, Bytes(32, 'S')}}), 0, 0, bad_field},
      {"0007h", attr_list({fine, {0x0007, 0, Bytes{0, 2}}}), 0, 0, bad_field},
      {"0408h medium type", attr_list({{0x0408, 0, Bytes{0x80}}, fine}), 0, 0, bad_field},
      {"0409h", attr_list({{0x0409, 0, Bytes{0, 1}}}), 0, 0, bad_field},
      {"1100h cartridge type", attr_list({{0x1100, 0, Bytes{2}}}), 0, 0, bad_field},
      {"1101h", attr_list({{0x1101, 0, Bytes{2}}}), 0, 0, bad_field},
      {"1102h", attr_list({{0x1102, 0, Bytes{11}}}), 0, 0, bad_field},
      {"1102h removed", attr_list({{0x1102, 0, Bytes{}}}), 0, 0, bad_field},
      {"0800h of 9 bytes", attr_list({{0x0800, 1, Bytes(9, 'V')}}), 0, 0, bad_field},
      {"0803h as ASCII", attr_list({{0x0803, 1, Bytes(160, 'L')}}), 0, 0, bad_field},
      {"0806h of 33 bytes", attr_list({{0x0806, 1, Bytes(33, 'B')}}), 0, 0, bad_field},
      {"list length past the bytes sent", attr_list({fine}), 45, 0, bad_length},
      {"data length past the list", attr_list({fine}, 4), 0, 40, bad_length},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Bytes list = k.list;
    if (k.sent) list.resize(k.sent);
    const std::uint32_t cdb_len = k.cdb_length ? k.cdb_length : static_cast<std::uint32_t>(list.size());
    EXPECT_EQ(sense(out(write_attr_cdb(cdb_len), list)), k.sense);
    EXPECT_EQ(all_attributes(), before);
  }
}

// Everything the system itself writes is taken: padding counted in the list,
// the caller's length and format for 1505h and 1580h-15FFh, the slot and
// protect attributes.
TEST_F(SimTest, WriteAttributeTakesWhatTheSystemSends) {
  start();
  struct Case {
    const char* what;
    Bytes list;
  } cases[] = {
      {"0806h with padding to a multiple of 4", attr_list({{0x0806, 1, Bytes(32, 'B')}}, 3)},
      {"1505h of 7 bytes", attr_list({{0x1505, 1, Bytes(7, 'x')}}, 0)},
      {"1580h as text", attr_list({{0x1580, 2, Bytes(5, 't')}}, 2)},
      {"15FFh binary", attr_list({{0x15FF, 0, Bytes(300, 1)}}, 0)},
      {"0D00h last written slot", attr_list({{0x0D00, 0, Bytes{4}}}, 2)},
      {"0D03h off", attr_list({{0x0D03, 0, Bytes{0}}}, 2)},
      {"1500h-1504h", attr_list({{0x1500, 0, Bytes(128, 9)}, {0x1503, 0, Bytes(4, 0)}}, 3)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    EXPECT_TRUE(good(out(write_attr_cdb(static_cast<std::uint32_t>(k.list.size())), k.list)));
  }
  auto a = in(read_attr_cdb(0x1580, 14), 14);
  ASSERT_EQ(a.data.size(), 14u);
  EXPECT_EQ(a.data[6], 2);
  EXPECT_EQ(std::string(a.data.begin() + 9, a.data.end()), "ttttt");
}

}  // namespace
}  // namespace simtest
