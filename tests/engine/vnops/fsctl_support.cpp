#include "fsctl_support.h"

#include "drive/cm_data.h"

#include <cstring>

namespace fsctl_test {

void seed_cm(kelsim::Cartridge& cart, std::uint32_t position_word) {
  for (int i = 0; i < cm_attr::kCount; ++i) {
    kelsim::Attribute a;
    a.format = cm_attr::kFormats[i];
    a.value.assign(cm_attr::kLengths[i], 0);
    cart.attributes[cm_attr::kIds[i]] = a;
  }
  auto& v = cart.attributes[0x1500].value;
  for (int k = 0; k < 4; ++k) v[cm1500::kPosition + k] = static_cast<std::uint8_t>(position_word >> (24 - 8 * k));
  // A value the drive layer reads without complaint: its check value does not
  // match (a zero value's would, and its empty header would then be refused).
  std::memcpy(v.data(), "KEL", 3);
  cart.save();
}

std::vector<std::uint8_t> attribute(kelsim::Cartridge& cart, std::uint16_t id) {
  auto it = cart.attributes.find(id);
  return it == cart.attributes.end() ? std::vector<std::uint8_t>{} : it->second.value;
}

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
std::uint64_t be64(const std::uint8_t* p) { return static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4); }
std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

}  // namespace fsctl_test
