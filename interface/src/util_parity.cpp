#include "kel/util_parity.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace Util {

CalcParity::CalcParity(std::uint32_t totalSymbols, std::uint32_t dataSymbols,
                       std::uint32_t symbolSize)
    : m_totalSymbols(totalSymbols), m_dataSymbols(dataSymbols) {
  if (dataSymbols == 0 || dataSymbols >= totalSymbols || symbolSize == 0)
    throw std::invalid_argument("CalcParity: bad symbol counts or size");
  const std::uint64_t stripe = static_cast<std::uint64_t>(dataSymbols) * symbolSize;
  const std::uint64_t parity = static_cast<std::uint64_t>(totalSymbols - dataSymbols) * symbolSize;
  // Positions are signed 32-bit values below these sizes.
  if (stripe > 0x80000000ull || parity > 0x80000000ull)
    throw std::invalid_argument("CalcParity: stripe too large");
  m_paritySymbols = totalSymbols - dataSymbols;
  m_symbolSize = symbolSize;
  m_stripeBytes = static_cast<std::uint32_t>(stripe);
  m_parityBytes = static_cast<std::uint32_t>(parity);
  m_parity = new std::uint8_t[m_parityBytes]();
  try {
    m_spare = new std::uint8_t[m_parityBytes]();
  } catch (...) {
    delete[] m_parity;
    throw;
  }
}

CalcParity::~CalcParity() {
  delete[] m_parity;
  delete[] m_spare;
}

std::uint32_t CalcParity::partialParityBytes() const {
  const std::uint64_t symbols = (static_cast<std::uint64_t>(m_stripePosition) + m_symbolSize - 1) / m_symbolSize;
  const std::uint64_t bytes = symbols * m_symbolSize;
  return bytes < m_parityBytes ? static_cast<std::uint32_t>(bytes) : m_parityBytes;
}

void CalcParity::reset() {
  m_taken = 0;
  m_parityPosition = 0;
  m_stripePosition = 0;
  m_stripeComplete = 0;
  m_hasData = 0;
  std::memset(m_parity, 0, m_parityBytes);
  std::memset(m_spare, 0, m_parityBytes);
}

void CalcParity::swapBuffers() { std::swap(m_parity, m_spare); }

std::uint32_t CalcParity::fold(std::uint8_t* buf, std::uint32_t pos, const std::uint8_t* src,
                               std::size_t n) const {
  while (n > 0) {
    std::size_t run = m_parityBytes - pos;
    if (run > n) run = n;
    std::uint8_t* dst = buf + pos;
    std::size_t i = 0;
    // Single bytes up to a 4-byte boundary of the parity position, then
    // whole 32-bit words (read unaligned from the data), then the rest.
    while (i < run && ((pos + i) & 3u) != 0) {
      dst[i] ^= src[i];
      ++i;
    }
    for (; i + 4 <= run; i += 4) {
      std::uint32_t a, b;
      std::memcpy(&a, dst + i, 4);
      std::memcpy(&b, src + i, 4);
      a ^= b;
      std::memcpy(dst + i, &a, 4);
    }
    for (; i < run; ++i) dst[i] ^= src[i];
    src += run;
    n -= run;
    pos = static_cast<std::uint32_t>((pos + run) % m_parityBytes);
  }
  return pos;
}

bool CalcParity::addDataSymbol(const void* data, std::size_t size, std::size_t& dividedPosition) {
  if (m_taken) {
    m_taken = 0;
    std::memset(m_spare, 0, m_parityBytes);
  }
  m_hasData = 1;
  m_stripeComplete = 0;
  dividedPosition = 0;

  const auto* src = static_cast<const std::uint8_t*>(data);
  const std::size_t left = m_stripeBytes - static_cast<std::uint32_t>(m_stripePosition);
  if (size < left) {
    m_parityPosition = static_cast<std::int32_t>(
        fold(m_parity, static_cast<std::uint32_t>(m_parityPosition), src, size));
    m_stripePosition += static_cast<std::int32_t>(size);
    return false;
  }

  // The stripe ends within this call: its bytes go into the parity buffer,
  // the bytes after its end into the spare buffer, which holds the parity of
  // the following stripe from its position 0.
  dividedPosition = left;
  m_stripeComplete = 1;
  fold(m_parity, static_cast<std::uint32_t>(m_parityPosition), src, left);
  const std::size_t over = size - left;
  m_parityPosition = static_cast<std::int32_t>(fold(m_spare, 0, src + left, over));
  m_stripePosition = static_cast<std::int32_t>(over % m_stripeBytes);
  return true;
}

}  // namespace Util
