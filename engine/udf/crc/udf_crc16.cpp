// CRC-16 of descriptor tags (ECMA-167 3/7.2.6): polynomial 0x1021, initial
// value 0, most significant bit first, no final inversion.
#include "udf/udf_crc16.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> make_crc16_table() {
  std::array<uint16_t, 256> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t c = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : (c << 1));
    t[i] = c;
  }
  return t;
}
constexpr auto kCrc16 = make_crc16_table();
static_assert(kCrc16[1] == 0x1021 && kCrc16[2] == 0x2042 && kCrc16[3] == 0x3063, "CCITT table");

}  // namespace

uint16_t mdcudfsr_crc16(const void* buf, uint32_t len) {
  const auto* p = static_cast<const uint8_t*>(buf);
  uint16_t c = 0;
  for (uint32_t i = 0; i < len; ++i)
    c = static_cast<uint16_t>((c << 8) ^ kCrc16[((c >> 8) ^ p[i]) & 0xFF]);
  return c;
}
