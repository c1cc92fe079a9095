// Commands of the simulated drive on the cartridge memory: READ ATTRIBUTE
// and WRITE ATTRIBUTE, in their standard and vendor forms.
#include "drive_internal.h"

#include <algorithm>

namespace kelsim {

namespace {

// Attributes of the cartridge memory the host may not write: the device and
// medium type attributes (0000h-07FFh) and the vendor-unique medium type
// attributes (1000h-13FFh), as SPC defines their ranges.
bool read_only_attribute(std::uint16_t id) { return id < 0x0800 || (id >= 0x1000 && id < 0x1400); }

// Fixed length and format of the standard host type attributes 0800h-0806h.
bool standard_attribute_fits(std::uint16_t id, std::uint8_t format, std::size_t len) {
  static constexpr std::uint8_t kFormat[7] = {1, 1, 1, 2, 1, 0, 1};
  static constexpr std::uint16_t kLength[7] = {8, 32, 8, 160, 12, 1, 32};
  if (id < 0x0800 || id > 0x0806 || len == 0) return true;
  return format == kFormat[id - 0x0800] && len == kLength[id - 0x0800];
}

}  // namespace

ScsiResult ChangerDrive::read_attribute(Ctx& c) {
  const bool vendor = c.cdb[0] == op::kVendorReadAttribute;
  const std::uint8_t action = c.cdb[1] & 0x1F;
  const std::uint16_t first = vendor ? get_be16(c.cdb + 4) : get_be16(c.cdb + 8);
  const std::uint32_t alloc = vendor ? get_be32(c.cdb + 6) : get_be32(c.cdb + 10);
  if (action == 1) {
    // ATTRIBUTE LIST: the identifiers of every attribute the memory holds.
    std::vector<std::uint8_t> d(4 + 2 * cart_->attributes.size(), 0);
    put_be32(d.data(), static_cast<std::uint32_t>(d.size() - 4));
    std::size_t at = 4;
    for (const auto& kv : cart_->attributes) {
      put_be16(d.data() + at, kv.first);
      at += 2;
    }
    *c.in = std::move(d);
    return cut(c.in, alloc);
  }
  if (action != 0) return check(kInvalidField);
  auto it = cart_->attributes.find(first);
  if (it == cart_->attributes.end()) return check(kInvalidField);
  std::vector<std::uint8_t> d(4, 0);
  for (; it != cart_->attributes.end(); ++it) {
    const auto& a = it->second;
    std::uint8_t h[5];
    put_be16(h, it->first);
    h[2] = a.format & 3;
    put_be16(h + 3, static_cast<std::uint16_t>(a.value.size()));
    d.insert(d.end(), h, h + 5);
    d.insert(d.end(), a.value.begin(), a.value.end());
  }
  put_be32(d.data(), static_cast<std::uint32_t>(d.size() - 4));
  if (d.size() > alloc) d.resize(alloc);
  *c.in = std::move(d);
  return good();
}

// The parameter list: 4 bytes of parameter data length, then attributes
// (identifier, format, length, value); zero bytes after the last attribute
// are padding. Every attribute is checked before any is written.
ScsiResult ChangerDrive::write_attribute(Ctx& c) {
  const bool vendor = c.cdb[0] == op::kVendorWriteAttribute;
  const std::uint32_t list_len = vendor ? get_be32(c.cdb + 6) : get_be32(c.cdb + 10);
  if (list_len == 0) return good();  // nothing transferred
  if (list_len > c.out_len || list_len < 4) return check(kParamLengthError);
  const std::uint32_t data_len = get_be32(c.out);
  if (static_cast<std::uint64_t>(data_len) + 4 > list_len) return check(kParamLengthError);
  const std::size_t end = 4 + static_cast<std::size_t>(data_len);
  std::vector<std::pair<std::uint16_t, Attribute>> updates;
  std::size_t pos = 4;
  while (pos < end) {
    const bool rest_zero = std::all_of(c.out + pos, c.out + end, [](std::uint8_t b) { return b == 0; });
    if (rest_zero) break;  // padding after the last attribute
    if (end - pos < 5) return check(kInvalidParamField);
    const std::uint16_t id = get_be16(c.out + pos);
    const std::uint16_t len = get_be16(c.out + pos + 3);
    if (pos + 5 + len > end) return check(kInvalidParamField);
    Attribute a;
    a.format = c.out[pos + 2] & 3;
    if (read_only_attribute(id) || !standard_attribute_fits(id, a.format, len)) return check(kInvalidParamField);
    a.value.assign(c.out + pos + 5, c.out + pos + 5 + len);
    updates.emplace_back(id, std::move(a));
    pos += 5 + len;
  }
  // A write-protected cartridge memory takes no change but of its own flag.
  auto wp = cart_->attributes.find(0x0D03);
  if (wp != cart_->attributes.end() && !wp->second.value.empty() && wp->second.value[0] != 0)
    for (auto& u : updates)
      if (u.first != 0x0D03) return check(kWriteProtected);
  for (auto& [id, a] : updates) {
    if (a.value.empty())
      cart_->attributes.erase(id);
    else
      cart_->attributes[id] = std::move(a);
  }
  cart_->save();
  return good();
}

}  // namespace kelsim
