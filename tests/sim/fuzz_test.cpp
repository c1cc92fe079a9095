// Random commands straight to the drive and random requests through the
// service. Seeded, so a finding replays; bounded in count. Built with the
// sanitizers (scripts/test --sanitize) an over-read, overflow or leak is a
// finding; in every build the answers must keep their rules.
#include "sim_support.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace simtest {
namespace {

constexpr std::uint8_t kKnownOps[] = {0x00, 0x04, 0x12, 0x1B, 0x1E, 0x23, 0x25, 0x28, 0x2A, 0x2F, 0x35,
                                      0x4A, 0x51, 0x52, 0x53, 0x55, 0x5A, 0x5B, 0x8C, 0x8D, 0xA6, 0xAC,
                                      0xAD, 0xBD, 0xC3, 0xC6, 0xCF, 0xD2, 0xD5, 0xDA, 0xDB, 0xDC, 0xE6};

struct Fuzzer {
  std::mt19937 rng;
  explicit Fuzzer(std::uint32_t seed) : rng(seed) {}
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); }
  bool chance(int percent) { return below(100) < static_cast<std::uint32_t>(percent); }
  Bytes bytes(std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  }
  // A CDB: mostly a known operation with mostly small fields, so that many
  // reach the drive's work instead of its first refusal.
  Bytes cdb() {
    Bytes c = chance(70) ? Bytes(below(17), 0) : bytes(below(17));
    if (c.empty()) return c;
    c[0] = chance(90) ? kKnownOps[below(sizeof(kKnownOps))] : static_cast<std::uint8_t>(rng());
    for (std::size_t i = 1; i < c.size(); ++i)
      if (chance(30)) c[i] = static_cast<std::uint8_t>(chance(50) ? below(4) : rng());
    if ((c[0] == 0x28 || c[0] == 0x2A || c[0] == 0x2F) && c.size() >= 10) {
      // Mostly a few blocks near the disc's end; else any range at all.
      const bool near = chance(70);
      kelsim::put_be32(&c[2], near ? below(0x2100) : static_cast<std::uint32_t>(rng()));
      kelsim::put_be16(&c[7], static_cast<std::uint16_t>(near ? below(70) : rng()));
    }
    return c;
  }
  Bytes data_for(const Bytes& cdb) {
    if (cdb.size() >= 9 && cdb[0] == 0x2A && kelsim::get_be16(&cdb[7]) < 70 && chance(80))
      return bytes(kelsim::get_be16(&cdb[7]) * 2048u);
    return chance(50) ? Bytes{} : bytes(below(600));
  }
};

TEST(SimFuzz, RandomCdbsStraightToTheDrive) {
  for (std::uint8_t type : {0xE1, 0xE2, 0xF2}) {
    SCOPED_TRACE(int(type));
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = type;
    o.cartridge.disc_blocks = 0x2000;
    kelsim::SimHarness sim(o);
    Fuzzer f(0x5EED0000u + type);
    for (int i = 0; i < 20000; ++i) {
      const Bytes cdb = f.cdb();
      const Bytes out = f.data_for(cdb);
      // Exact-size copies: reading past either is a sanitizer finding.
      auto c = std::make_unique<std::uint8_t[]>(cdb.size() + 1);
      if (!cdb.empty()) std::memcpy(c.get(), cdb.data(), cdb.size());
      auto d = std::make_unique<std::uint8_t[]>(out.size() + 1);
      if (!out.empty()) std::memcpy(d.get(), out.data(), out.size());
      std::vector<std::uint8_t> in;
      const auto r = sim.drive().execute(cdb.empty() ? nullptr : c.get(), cdb.size(), d.get(), out.size(), &in);
      ASSERT_TRUE(!r.check_condition || in.empty()) << i;
      ASSERT_LT(r.sense.key, 16) << i;
      ASSERT_LE(in.size(), 0x2000u * 2048u) << i;  // never more than the disc
      if (cdb.empty()) {
        ASSERT_TRUE(r.check_condition);
      }
    }
  }
}

TEST(SimFuzz, RandomRequestsThroughTheService) {
  kelsim::HarnessOptions o;
  o.cartridge.disc_blocks = 0x2000;
  kelsim::SimHarness sim(o);
  sim.service().set_transcript_limit(16);
  kelsim::RawClient client;
  ASSERT_EQ(client.connect(), ERROR_SUCCESS);
  Fuzzer f(0xF00D);
  const std::int32_t allowed[] = {0, kelsim::kStatusBadRequest, kelsim::kStatusNotSupported,
                                  kelsim::kStatusNoSuchDevice, kelsim::kStatusSenseLost};
  for (int i = 0; i < 4000; ++i) {
    const Bytes cdb = f.cdb();
    const Bytes data = f.data_for(cdb);
    const bool out = !data.empty() || f.chance(10);
    Bytes msg = kelsim::build_scsi_request(
        0x100 + static_cast<std::uint64_t>(i), f.chance(95) ? sim.cookie() : f.rng(), 0, 1, 1, out, 60,
        cdb.data(), static_cast<std::uint8_t>(cdb.size()), static_cast<std::uint8_t>(f.chance(80) ? 16 : f.below(40)),
        data.data(), out ? static_cast<std::uint32_t>(data.size()) : f.below(5000));
    if (f.chance(5))
      msg = kelsim::build_control_request(0x100 + static_cast<std::uint64_t>(i), 0, f.rng(), nullptr, 0, 64);
    // Damage: random bytes of the head (never the key), a cut or an extension.
    for (int n = f.chance(50) ? static_cast<int>(f.below(4)) : 0; n > 0; --n) {
      std::size_t at = f.below(76);
      if (at >= 8 && at < 16) at = 0;
      msg[at] = static_cast<std::uint8_t>(f.rng());
    }
    if (f.chance(10)) msg.resize(16 + f.below(static_cast<std::uint32_t>(msg.size() - 16)));
    if (f.chance(5)) msg.resize(msg.size() + f.below(300), static_cast<std::uint8_t>(f.rng()));
    ASSERT_EQ(client.send_raw(msg), ERROR_SUCCESS) << i;
    kelsim::RawAnswer a;
    ASSERT_EQ(client.receive(&a), ERROR_SUCCESS) << i;
    ASSERT_EQ(a.key, 0x100u + static_cast<std::uint64_t>(i));
    ASSERT_NE(std::find(std::begin(allowed), std::end(allowed), a.status), std::end(allowed)) << a.status;
    if (a.status == 0 && a.payload_length != 0) {
      ASSERT_GE(a.payload_length, 8u);
      ASSERT_TRUE(a.sense_length == 0 || a.data.empty());
    }
  }
  kelsim::ScsiCall tur;
  tur.cdb = cdb12({0x00});
  tur.cookie = sim.cookie();
  kelsim::RawAnswer a;
  ASSERT_EQ(client.call(tur, &a), ERROR_SUCCESS);
  EXPECT_EQ(a.status, 0);
}

}  // namespace
}  // namespace simtest
