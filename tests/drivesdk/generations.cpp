#include "generations.h"

#include "udf/udf_tag.h"

#include <cstring>

namespace sdktest {

namespace {
constexpr std::uint32_t kSector = 2048;
void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
std::uint32_t get32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
}  // namespace

void putGeneration(std::vector<std::uint8_t>& image, std::vector<std::uint8_t> base, const Generation& g) {
  std::uint8_t* b = base.data();
  std::uint32_t lengthAd = get32(b + 212);
  std::vector<std::uint8_t> ad(b + 216, b + 216 + lengthAd);
  if (g.longAdBlock) {
    ad.assign(16, 0);
    put32(ad.data(), 65536);
    put32(ad.data() + 4, *g.longAdBlock);
    lengthAd = 16;
    b[16 + 18] = static_cast<std::uint8_t>((b[16 + 18] & ~7) | 1);
  }
  std::vector<std::uint8_t> out(kSector, 0);
  std::memcpy(out.data(), b, 216);
  const std::uint32_t lengthEa = g.previous ? 80 : 0;
  put32(&out[208], lengthEa);
  put32(&out[212], lengthAd);
  if (g.previous) {
    std::uint8_t* ea = &out[216];
    ea[0] = 0x06;  // tag 262
    ea[1] = 0x01;
    ea[2] = 3;
    std::memcpy(ea + 6, b + 6, 2);
    put32(ea + 12, g.lsn - kBuilderPartition);
    put32(ea + 16, 24);
    put32(ea + 20, 80);
    put32(ea + 76, *g.previous - kBuilderPartition);
    mdcudfsr_set_udf_tag_crc_and_checksum(ea, 24);
  }
  std::memcpy(&out[216 + lengthEa], ad.data(), lengthAd);
  put32(&out[12], g.lsn - kBuilderPartition);
  if (g.otherImplementation) out[168 + 7] = 'k';
  if (g.otherSerial) out[6] ^= 0x40;
  mdcudfsr_set_udf_tag_crc_and_checksum(out.data(), 216 + lengthEa + lengthAd);
  std::memcpy(&image[std::size_t{g.lsn} * kSector], out.data(), kSector);
}

}  // namespace sdktest
