// A fresh write-once cartridge takes the whole automatic format as the drive
// layer sends it: FORMAT UNIT, the padding of track 1, the volume areas, the
// cartridge memory, RESERVE TRACK and track 2. The drive layer's own format
// tests run E1h, F1h and F2h against the simulator; these are the others.
#include "sim_support.h"

namespace simtest {
namespace {

constexpr std::uint32_t kN = 0x40000;

class FormatSequence : public SimTest, public ::testing::WithParamInterface<std::uint8_t> {
 protected:
  void ok(const kelsim::RawAnswer& a, const char* what) {
    EXPECT_TRUE(good(a)) << what << ": sense " << int(sense(a).key) << "/" << std::hex << int(sense(a).asc) << "/"
                         << int(sense(a).ascq);
  }
  std::uint32_t nwa(std::uint32_t track) {
    Bytes c = cdb12({0x52, 0x01});
    kelsim::put_be32(&c[2], track);
    kelsim::put_be16(&c[7], 52);
    auto a = in(c, 52);
    return a.data.size() >= 16 ? kelsim::get_be32(&a.data[12]) : 0xFFFFFFFFu;
  }
  void reserve_write(std::uint32_t lba, std::uint32_t count) {
    Bytes c = cdb12({0xD2});
    kelsim::put_be32(&c[4], lba);
    kelsim::put_be32(&c[8], count);
    ok(in(c, 0), "reserve write");
  }
  // One area: WRITE(10) in 32-block steps (or one step of `blocks`), then
  // SYNCHRONIZE CACHE and VERIFY.
  void area(std::uint32_t lba, std::uint32_t blocks, bool one_step, bool reserve) {
    if (reserve) reserve_write(lba, blocks);
    const std::uint32_t step = one_step ? blocks : 32;
    for (std::uint32_t b = 0; b < blocks; b += step)
      ok(out(rw10(0x2A, lba + b, static_cast<std::uint16_t>(step)), Bytes(step * 2048u, 0x33)), "write");
    ok(in(cdb12({0x35}), 0), "synchronize cache");
    ok(in(rw10(0x2F, lba, static_cast<std::uint16_t>(blocks)), 0), "verify");
  }
  // autoFormatLOWInitTrack: pad a track from its NWA up to a limit.
  void pad(std::uint32_t track, std::uint32_t limit) {
    const std::uint32_t from = nwa(track);
    ASSERT_LT(from, limit);
    reserve_write(from, limit - from);
    for (std::uint32_t b = from; b + 32 <= limit; b += 32)
      ok(out(rw10(0x2A, b, 32), Bytes(65536, 0)), "padding write");
    ok(in(cdb12({0x35}), 0), "synchronize cache");
  }
};

TEST_P(FormatSequence, FreshCartridgeFormatsIntoTwoTracks) {
  const std::uint8_t type = GetParam();
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = type;
  o.cartridge.disc_blocks = kN;
  start(o);
  const bool f2 = type == 0xF2;
  const bool low = type == 0xF1 || type == 0xF2 || type == 0xE5;
  const std::uint32_t x = f2 ? 512 : low ? 128 : 288;

  auto di = in(cdb12({0x51, 0, 0, 0, 0, 0, 0, 0, 0x20}), 32);
  ASSERT_EQ(di.data[6], 1);  // not yet two tracks
  ok(out(cdb12({0x04, 0x11}), Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}), "format unit");
  di = in(cdb12({0x51, 0, 0, 0, 0, 0, 0, 0, 0x20}), 32);
  ASSERT_EQ(di.data[2] & 3, 1);
  ASSERT_EQ(di.data[6], 1);
  ASSERT_EQ(nwa(1), 0u);
  Bytes ra(16, 0);
  ra[0] = 0x8C;
  kelsim::put_be16(&ra[8], 0x0007);
  kelsim::put_be32(&ra[10], 12);
  ok(in(ra, 12), "read attribute 0007h");
  kelsim::put_be16(&ra[8], 0x0401);
  kelsim::put_be32(&ra[10], 44);
  ok(in(ra, 44), "read attribute 0401h");
  auto cap = in(cdb12({0x25}), 8);
  const std::uint32_t n = kelsim::get_be32(cap.data.data()) + 1;
  ASSERT_EQ(n, kN);
  Bytes p20(28, 0);
  p20[1] = 0x14;
  p20[8] = 0x20;
  p20[9] = 0x12;
  kelsim::put_be32(&p20[16], n - 1);
  ok(out(cdb12({0x55, 0x10, 0, 0, 0, 0, 0, 0, 28}), p20), "mode select 20h");

  if (low) pad(1, 4352);
  const std::uint32_t rub = f2 ? 128 : 32;
  area(0, rub, true, f2);               // recognition sequence
  if (!low) area(32, 224, false, false);  // padding
  area(256, rub, true, f2);             // anchor
  if (!low) area(288, 4064, false, false);
  const std::uint32_t m = nwa(1);
  EXPECT_EQ(m, 4352u);
  area(m, 32, true, low);               // file set and root
  const std::uint32_t e = nwa(1);
  EXPECT_EQ(e, 4384u);
  area(e, 32, true, low);               // metadata
  area(f2 ? 384 : 288, f2 ? 256 : 32, true, f2);  // both descriptor sequences, in place
  area(f2 ? 640 : 320, f2 ? 128 : 32, true, f2);  // integrity

  // The cartridge memory record of the format.
  Bytes rec(472, 0);
  kelsim::put_be32(rec.data(), 468);
  std::size_t pos = 4;
  for (auto [id, fmt, len] : std::initializer_list<std::tuple<std::uint16_t, std::uint8_t, std::uint16_t>>{
           {0x0800, 1, 8}, {0x0801, 1, 32}, {0x0802, 1, 8}, {0x0803, 2, 160}, {0x0804, 1, 12}, {0x0805, 0, 1},
           {0x0806, 1, 32}, {0x1500, 0, 128}, {0x1501, 0, 8}, {0x1502, 0, 8}, {0x1503, 0, 4}, {0x1504, 0, 4}}) {
    kelsim::put_be16(&rec[pos], id);
    rec[pos + 2] = fmt;
    kelsim::put_be16(&rec[pos + 3], len);
    pos += 5 + len;
  }
  ASSERT_EQ(pos, 469u);
  Bytes wa(16, 0);
  wa[0] = 0x8D;
  kelsim::put_be32(&wa[10], 472);
  ok(out(wa, rec), "write attribute");

  Bytes rt = cdb12({0x53, 0x01});
  kelsim::put_be32(&rt[2], n - x);
  ok(in(rt, 0), "reserve track");
  if (low) {
    pad(2, n);
  } else {
    for (std::uint32_t k = 0; k < 8; ++k)
      ok(out(rw10(0x2A, n - 288 + 32 * k, 32), Bytes(65536, 0)), "track 2 padding");
    ok(in(cdb12({0x35}), 0), "synchronize cache");
    ok(in(rw10(0x2F, n - 64, 32), 0), "verify");
  }
  area(n - rub, rub, true, f2);  // the last anchor

  di = in(cdb12({0x51, 0, 0, 0, 0, 0, 0, 0, 0x20}), 32);
  EXPECT_EQ(di.data[2] & 3, 1);
  EXPECT_EQ(di.data[6], 2);
  EXPECT_EQ(nwa(1), 4416u);
  // Track 0 now names the next block of track 1, where the volume grows.
  Bytes t0 = cdb12({0x52, 0x01, 0, 0, 0, 0, 0, 0, 52});
  auto a = in(t0, 52);
  EXPECT_EQ(kelsim::get_be32(&a.data[8]), 4416u);
  auto last = in(rw10(0x28, n - 1, 1), 2048);
  EXPECT_EQ(last.data, Bytes(2048, 0x33));
  // The last written slot is the formatted one.
  kelsim::put_be16(&ra[8], 0x0D00);
  kelsim::put_be32(&ra[10], 12);
  EXPECT_EQ(in(ra, 12).data[9], 0);
}

INSTANTIATE_TEST_SUITE_P(WriteOnceClasses, FormatSequence, ::testing::Values(0xE3, 0xE5, 0xE7),
                         [](const ::testing::TestParamInfo<std::uint8_t>& i) {
                           char b[8];
                           std::snprintf(b, sizeof(b), "Type%02X", i.param);
                           return std::string(b);
                         });

}  // namespace
}  // namespace simtest
