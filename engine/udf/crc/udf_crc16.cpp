// CRC-16 of descriptor tags (ECMA-167 3/7.2.6): polynomial 0x1021, initial
// value 0, most significant bit first, no final inversion.
#include "udf/udf_crc16.h"

#include <array>
#include <cstddef>

namespace {

// Table k gives a byte's CRC followed by k zero bytes: eight bytes are taken
// at a time (slicing by eight), the same value as one byte at a time.
using Tables = std::array<std::array<uint16_t, 256>, 8>;
constexpr Tables make_crc16_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : (c << 1));
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < t.size(); ++k)
    for (uint32_t i = 0; i < 256; ++i) {
      const uint16_t c = t[k - 1][i];
      t[k][i] = static_cast<uint16_t>((c << 8) ^ t[0][c >> 8]);
    }
  return t;
}
constexpr Tables kCrc16 = make_crc16_tables();
static_assert(kCrc16[0][1] == 0x1021 && kCrc16[0][2] == 0x2042 && kCrc16[0][3] == 0x3063, "CCITT table");

}  // namespace

uint16_t mdcudfsr_crc16(const void* buf, uint32_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  uint16_t c = 0;
  for (; len >= 8; len -= 8, p += 8)
    c = static_cast<uint16_t>(kCrc16[7][p[0] ^ (c >> 8)] ^ kCrc16[6][p[1] ^ (c & 0xFF)] ^ kCrc16[5][p[2]] ^
                              kCrc16[4][p[3]] ^ kCrc16[3][p[4]] ^ kCrc16[2][p[5]] ^ kCrc16[1][p[6]] ^
                              kCrc16[0][p[7]]);
  for (; len > 0; --len, ++p) c = static_cast<uint16_t>((c << 8) ^ kCrc16[0][((c >> 8) ^ *p) & 0xFF]);
  return c;
}
