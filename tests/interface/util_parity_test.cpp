#include "kel/util_parity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

std::vector<std::uint8_t> randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// Parity of one stripe by the rule: byte i goes into parity byte i mod P.
std::vector<std::uint8_t> referenceParity(const std::uint8_t* stripe, std::size_t n,
                                          std::size_t parityBytes) {
  std::vector<std::uint8_t> p(parityBytes, 0);
  for (std::size_t i = 0; i < n; ++i) p[i % parityBytes] ^= stripe[i];
  return p;
}

// Feeds a stream in the given chunk sizes, taking each finished parity as the
// writer does (read, swap, clear the flags, mark taken), and returns the
// parities of the complete stripes.
std::vector<std::vector<std::uint8_t>> feed(Util::CalcParity& calc, const std::vector<std::uint8_t>& data,
                                            const std::vector<std::size_t>& chunks) {
  std::vector<std::vector<std::uint8_t>> out;
  std::size_t off = 0;
  std::size_t c = 0;
  while (off < data.size()) {
    std::size_t n = std::min(chunks[c++ % chunks.size()], data.size() - off);
    std::size_t divided = 12345;
    const bool complete = calc.addDataSymbol(data.data() + off, n, divided);
    const std::size_t stripeLeft = calc.m_stripeBytes - ((off % calc.m_stripeBytes));
    if (n >= stripeLeft) {
      EXPECT_TRUE(complete);
      EXPECT_EQ(divided, stripeLeft);
    } else {
      EXPECT_FALSE(complete);
      EXPECT_EQ(divided, 0u);
    }
    if (complete) {
      out.emplace_back(calc.m_parity, calc.m_parity + calc.m_parityBytes);
      calc.swapBuffers();
      calc.m_stripeComplete = 0;
      calc.m_hasData = 0;
      calc.m_taken = 1;
    }
    off += n;
  }
  return out;
}

TEST(CalcParity, DerivedSizesAndZeroedBuffers) {
  Util::CalcParity calc(2064, 2048, 65536);
  EXPECT_EQ(calc.m_paritySymbols, 16u);
  EXPECT_EQ(calc.m_stripeBytes, 134217728u);
  EXPECT_EQ(calc.m_parityBytes, 1048576u);
  EXPECT_EQ(calc.m_parityPosition, 0);
  EXPECT_EQ(calc.m_stripePosition, 0);
  for (std::uint32_t i = 0; i < calc.m_parityBytes; i += 4093) {
    ASSERT_EQ(calc.m_parity[i], 0);
    ASSERT_EQ(calc.m_spare[i], 0);
  }
}

TEST(CalcParity, RejectsImpossibleGeometry) {
  EXPECT_THROW(Util::CalcParity(16, 16, 8), std::invalid_argument);   // no parity symbol
  EXPECT_THROW(Util::CalcParity(16, 20, 8), std::invalid_argument);
  EXPECT_THROW(Util::CalcParity(16, 0, 8), std::invalid_argument);
  EXPECT_THROW(Util::CalcParity(16, 8, 0), std::invalid_argument);
  EXPECT_THROW(Util::CalcParity(0x10000, 0x8000, 0x20000), std::invalid_argument);  // 4 GiB stripe
}

// Any split of the stream, aligned or not, gives the parity of the rule for
// every stripe, also when an addition runs over a stripe's end.
TEST(CalcParity, AnyChunkingGivesTheParityOfEachStripe) {
  // 4 data symbols + 2 parity symbols of 8 bytes: stripe 32 bytes, parity 16.
  // No addition is longer than a stripe, so none crosses two stripe ends.
  const std::vector<std::vector<std::size_t>> splits = {
      {32}, {1}, {3}, {4}, {5, 7}, {31}, {2, 30, 2}, {17, 1, 14, 9}, {6, 32, 1}, {29, 31},
  };
  const auto data = randomBytes(32 * 5, 7);
  for (const auto& split : splits) {
    SCOPED_TRACE(testing::PrintToString(split));
    Util::CalcParity calc(6, 4, 8);
    const auto parities = feed(calc, data, split);
    ASSERT_EQ(parities.size(), 5u);
    for (std::size_t s = 0; s < 5; ++s)
      EXPECT_EQ(parities[s], referenceParity(data.data() + 32 * s, 32, 16)) << "stripe " << s;
  }
}

TEST(CalcParity, AdditionEndingExactlyAtStripeEndLeavesSpareUntouched) {
  Util::CalcParity calc(6, 4, 8);
  const auto data = randomBytes(32, 1);
  std::size_t divided = 0;
  EXPECT_FALSE(calc.addDataSymbol(data.data(), 12, divided));
  EXPECT_EQ(divided, 0u);
  EXPECT_TRUE(calc.addDataSymbol(data.data() + 12, 20, divided));
  EXPECT_EQ(divided, 20u);
  EXPECT_EQ(calc.m_stripeComplete, 1);
  EXPECT_EQ(calc.m_stripePosition, 0);
  EXPECT_EQ(calc.m_parityPosition, 0);
  for (std::uint32_t i = 0; i < calc.m_parityBytes; ++i) EXPECT_EQ(calc.m_spare[i], 0) << i;
  EXPECT_EQ(std::vector<std::uint8_t>(calc.m_parity, calc.m_parity + 16),
            referenceParity(data.data(), 32, 16));
}

TEST(CalcParity, OverrunOfTwoBytesGoesToSparePositionsZeroAndOne) {
  Util::CalcParity calc(6, 4, 8);
  auto data = randomBytes(34, 2);
  data[32] = 0xA5;
  data[33] = 0x3C;
  std::size_t divided = 0;
  EXPECT_FALSE(calc.addDataSymbol(data.data(), 30, divided));
  EXPECT_TRUE(calc.addDataSymbol(data.data() + 30, 4, divided));
  EXPECT_EQ(divided, 2u);
  EXPECT_EQ(calc.m_spare[0], 0xA5);
  EXPECT_EQ(calc.m_spare[1], 0x3C);
  for (std::uint32_t i = 2; i < calc.m_parityBytes; ++i) EXPECT_EQ(calc.m_spare[i], 0) << i;
  EXPECT_EQ(calc.m_stripePosition, 2);
  EXPECT_EQ(calc.m_parityPosition, 2);
  EXPECT_EQ(std::vector<std::uint8_t>(calc.m_parity, calc.m_parity + 16),
            referenceParity(data.data(), 32, 16));
}

TEST(CalcParity, TakenParityIsClearedBeforeTheNextAddition) {
  Util::CalcParity calc(6, 4, 8);
  const auto data = randomBytes(64, 3);
  std::size_t divided = 0;
  ASSERT_TRUE(calc.addDataSymbol(data.data(), 32, divided));
  calc.swapBuffers();  // the finished parity is now the spare buffer
  calc.m_taken = 1;
  EXPECT_FALSE(calc.addDataSymbol(data.data() + 32, 1, divided));
  EXPECT_EQ(calc.m_taken, 0u);
  for (std::uint32_t i = 0; i < calc.m_parityBytes; ++i) EXPECT_EQ(calc.m_spare[i], 0) << i;
  EXPECT_EQ(calc.m_hasData, 1);
}

// A file that ends in a stripe needs its bytes of parity in whole symbols,
// and never more than a stripe's parity.
TEST(CalcParity, PartialParityIsTheStripesBytesInWholeSymbols) {
  const struct {
    std::uint32_t total, data, symbol;
    std::size_t added;
    std::uint32_t expect;
  } cases[] = {
      {6, 2, 2, 0, 0}, {6, 2, 2, 1, 2}, {6, 2, 2, 2, 2}, {6, 2, 2, 3, 4},  // parity 8, stripe 4
      {4, 2, 4, 5, 8}, {4, 2, 4, 7, 8},                                     // parity 8, stripe 8
      {3, 2, 4, 6, 4},                                                      // parity 4, stripe 8
      {2064, 2048, 65536, 3000, 65536}, {2064, 2048, 65536, 65537, 131072},
  };
  for (const auto& c : cases) {
    Util::CalcParity p(c.total, c.data, c.symbol);
    std::vector<std::uint8_t> d(c.added, 1);
    std::size_t divided = 0;
    if (c.added) p.addDataSymbol(d.data(), d.size(), divided);
    EXPECT_EQ(p.partialParityBytes(), c.expect) << c.total << "/" << c.data << "/" << c.symbol << " " << c.added;
  }
}

TEST(CalcParity, ResetZeroesEverything) {
  Util::CalcParity calc(6, 4, 8);
  const auto data = randomBytes(40, 4);
  std::size_t divided = 0;
  calc.addDataSymbol(data.data(), 40, divided);
  calc.m_taken = 1;
  calc.reset();
  EXPECT_EQ(calc.m_taken, 0u);
  EXPECT_EQ(calc.m_parityPosition, 0);
  EXPECT_EQ(calc.m_stripePosition, 0);
  EXPECT_EQ(calc.m_stripeComplete, 0);
  EXPECT_EQ(calc.m_hasData, 0);
  for (std::uint32_t i = 0; i < calc.m_parityBytes; ++i) {
    EXPECT_EQ(calc.m_parity[i], 0);
    EXPECT_EQ(calc.m_spare[i], 0);
  }
}

// The writer's geometry: 2048 data symbols of 64 KiB and 16 parity symbols.
// Two identical stripes give identical parity, and a lost data symbol comes
// back as the XOR of its parity symbol with the 127 other symbols of its group.
TEST(CalcParity, WriterGeometryRebuildsALostSymbol) {
  constexpr std::uint32_t kSymbol = 65536;
  Util::CalcParity calc(2064, 2048, kSymbol);
  auto symbolData = [](std::uint32_t index) {
    std::vector<std::uint8_t> v(kSymbol);
    std::uint64_t x = 0x9E3779B97F4A7C15ull * (index + 1);
    for (std::uint32_t i = 0; i < kSymbol; i += 8) {
      x ^= x << 13; x ^= x >> 7; x ^= x << 17;
      std::memcpy(&v[i], &x, 8);
    }
    return v;
  };
  std::vector<std::uint8_t> first;
  for (int stripe = 0; stripe < 2; ++stripe) {
    std::size_t divided = 0;
    bool complete = false;
    // Symbols in pieces of 3 symbols + 5 bytes to cross symbol boundaries.
    std::vector<std::uint8_t> pending;
    for (std::uint32_t s = 0; s < 2048; ++s) {
      auto sym = symbolData(s);
      pending.insert(pending.end(), sym.begin(), sym.end());
      if (pending.size() >= 3 * kSymbol + 5 || s == 2047) {
        complete = calc.addDataSymbol(pending.data(), pending.size(), divided);
        pending.clear();
      }
    }
    ASSERT_TRUE(complete);
    std::vector<std::uint8_t> parity(calc.m_parity, calc.m_parity + calc.m_parityBytes);
    if (stripe == 0) {
      first = parity;
      calc.swapBuffers();
      calc.m_stripeComplete = 0;
      calc.m_hasData = 0;
      calc.m_taken = 1;
    } else {
      EXPECT_EQ(parity, first);
    }
  }
  // Lose data symbol 37: its group is parity symbol 37 % 16 = 5.
  const std::uint32_t lost = 37, p = lost % 16;
  std::vector<std::uint8_t> rebuilt(first.begin() + p * kSymbol, first.begin() + (p + 1) * kSymbol);
  int others = 0;
  for (std::uint32_t s = p; s < 2048; s += 16) {
    if (s == lost) continue;
    auto sym = symbolData(s);
    for (std::uint32_t i = 0; i < kSymbol; ++i) rebuilt[i] ^= sym[i];
    ++others;
  }
  EXPECT_EQ(others, 127);
  EXPECT_EQ(rebuilt, symbolData(lost));
}

}  // namespace

namespace {

// Calculators one after another, as a writer per file makes them: each takes
// the buffers an earlier one gave back. Whatever the earlier ones folded
// (part of a stripe, a stripe that wrapped the parity, a spare after a
// stripe end), every new one starts from zeroed buffers and gives the
// parity of its own data only.
TEST(CalcParity, CalculatorsOneAfterAnotherStartClean) {
  const std::uint32_t total = 20, data = 16, symbol = 64;  // parity 256 bytes, stripe 1024
  const std::vector<std::size_t> sizes = {100, 300, 1024, 1500, 2048 + 37, 5};
  for (unsigned round = 0; round < 3; ++round) {
    for (std::size_t k = 0; k < sizes.size(); ++k) {
      SCOPED_TRACE(std::to_string(round) + "/" + std::to_string(k));
      Util::CalcParity calc(total, data, symbol);
      for (std::uint32_t i = 0; i < calc.m_parityBytes; ++i) {
        ASSERT_EQ(calc.m_parity[i], 0) << i;
        ASSERT_EQ(calc.m_spare[i], 0) << i;
      }
      const auto bytes = randomBytes(sizes[k], 100 * round + static_cast<unsigned>(k));
      const auto complete = feed(calc, bytes, {sizes[k] % 97 + 1});
      ASSERT_EQ(complete.size(), bytes.size() / calc.m_stripeBytes);
      for (std::size_t s = 0; s < complete.size(); ++s)
        EXPECT_EQ(complete[s],
                  referenceParity(bytes.data() + s * calc.m_stripeBytes, calc.m_stripeBytes, calc.m_parityBytes));
      // The partial last stripe, as the file's end takes it.
      const std::size_t tail = bytes.size() % calc.m_stripeBytes;
      EXPECT_EQ(std::vector<std::uint8_t>(calc.m_parity, calc.m_parity + calc.m_parityBytes),
                referenceParity(bytes.data() + bytes.size() - tail, tail, calc.m_parityBytes));
      if (k % 2) calc.reset();  // some are reset before they go, some are not
    }
  }
}

// A reset after a fold that wrapped clears every byte, and one after a
// short fold leaves the same zeroed buffers as before.
TEST(CalcParity, ResetAfterAWrappedFoldClearsEverything) {
  Util::CalcParity calc(20, 16, 64);
  const auto bytes = randomBytes(1000, 9);  // wraps the 256 parity bytes within the stripe
  std::size_t divided = 0;
  EXPECT_FALSE(calc.addDataSymbol(bytes.data(), bytes.size(), divided));
  calc.reset();
  for (std::uint32_t i = 0; i < calc.m_parityBytes; ++i) {
    ASSERT_EQ(calc.m_parity[i], 0) << i;
    ASSERT_EQ(calc.m_spare[i], 0) << i;
  }
  EXPECT_FALSE(calc.addDataSymbol(bytes.data(), 10, divided));
  EXPECT_EQ(std::vector<std::uint8_t>(calc.m_parity, calc.m_parity + calc.m_parityBytes),
            referenceParity(bytes.data(), 10, calc.m_parityBytes));
}

}  // namespace
