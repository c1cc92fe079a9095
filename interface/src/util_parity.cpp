#include "kel/util_parity.h"

#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Util {

namespace {

// Zeroed parity buffers of calculators gone, by size, for the next ones.
struct CleanBuffers {
  std::mutex mutex;
  std::vector<std::pair<std::uint32_t, std::uint8_t*>> kept;
};
constexpr std::size_t kKeptBuffers = 8;

CleanBuffers& clean_buffers() {
  static CleanBuffers* store = new CleanBuffers;  // lives to the end of the process
  return *store;
}

std::uint8_t* take_clean(std::uint32_t bytes) {
  CleanBuffers& c = clean_buffers();
  {
    std::lock_guard<std::mutex> lk(c.mutex);
    for (auto it = c.kept.begin(); it != c.kept.end(); ++it) {
      if (it->first != bytes) continue;
      std::uint8_t* b = it->second;
      c.kept.erase(it);
      return b;
    }
  }
  return new std::uint8_t[bytes]();
}

// The buffer's first `dirty` bytes are cleared before it is kept.
void give_back(std::uint8_t* buffer, std::uint32_t bytes, std::uint32_t dirty) {
  if (buffer == nullptr) return;
  std::memset(buffer, 0, dirty);
  CleanBuffers& c = clean_buffers();
  {
    std::lock_guard<std::mutex> lk(c.mutex);
    if (c.kept.size() < kKeptBuffers) {
      c.kept.emplace_back(bytes, buffer);
      return;
    }
  }
  delete[] buffer;
}

}  // namespace

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
  m_parity = take_clean(m_parityBytes);
  try {
    m_spare = take_clean(m_parityBytes);
  } catch (...) {
    give_back(m_parity, m_parityBytes, 0);
    throw;
  }
}

CalcParity::~CalcParity() {
  give_back(m_parity, m_parityBytes, m_parityDirty);
  give_back(m_spare, m_parityBytes, m_spareDirty);
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
  std::memset(m_parity, 0, m_parityDirty);
  std::memset(m_spare, 0, m_spareDirty);
  m_parityDirty = m_spareDirty = 0;
}

void CalcParity::swapBuffers() {
  std::swap(m_parity, m_spare);
  std::swap(m_parityDirty, m_spareDirty);
}

std::uint32_t CalcParity::fold(std::uint8_t* buf, std::uint32_t* dirty, std::uint32_t pos,
                               const std::uint8_t* src, std::size_t n) const {
  if (n > 0) {
    const std::uint64_t end = static_cast<std::uint64_t>(pos) + n;
    const std::uint32_t reach = end >= m_parityBytes ? m_parityBytes : static_cast<std::uint32_t>(end);
    // A fold that wraps reaches every byte.
    if (reach > *dirty) *dirty = reach;
  }
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
    std::memset(m_spare, 0, m_spareDirty);
    m_spareDirty = 0;
  }
  m_hasData = 1;
  m_stripeComplete = 0;
  dividedPosition = 0;

  const auto* src = static_cast<const std::uint8_t*>(data);
  const std::size_t left = m_stripeBytes - static_cast<std::uint32_t>(m_stripePosition);
  if (size < left) {
    m_parityPosition = static_cast<std::int32_t>(
        fold(m_parity, &m_parityDirty, static_cast<std::uint32_t>(m_parityPosition), src, size));
    m_stripePosition += static_cast<std::int32_t>(size);
    return false;
  }

  // The stripe ends within this call: its bytes go into the parity buffer,
  // the bytes after its end into the spare buffer, which holds the parity of
  // the following stripe from its position 0.
  dividedPosition = left;
  m_stripeComplete = 1;
  fold(m_parity, &m_parityDirty, static_cast<std::uint32_t>(m_parityPosition), src, left);
  const std::size_t over = size - left;
  m_parityPosition = static_cast<std::int32_t>(fold(m_spare, &m_spareDirty, 0, src + left, over));
  m_stripePosition = static_cast<std::int32_t>(over % m_stripeBytes);
  return true;
}

}  // namespace Util
