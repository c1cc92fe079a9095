// Commands of the simulated drive about itself: INQUIRY, MECHANISM STATUS,
// the mode pages (MODE SENSE, MODE SELECT), and the changer's own commands
// whose work is a record a test may look at (clock, maintenance, alarm).
#include "drive_internal.h"

#include <algorithm>
#include <cstring>

namespace kelsim {

ScsiResult ChangerDrive::inquiry(Ctx& c) {
  const bool evpd = c.cdb[1] & 1;
  const std::uint8_t page = c.cdb[2];
  const std::uint16_t alloc = get_be16(c.cdb + 3);
  auto& d = *c.in;
  if (!evpd) {
    if (page != 0) return check(kInvalidField);
    d.assign(36, 0);
    d[0] = 0x05;  // optical device
    d[1] = 0x80;  // removable
    d[2] = 0x05;
    d[3] = 0x02;
    d[4] = 36 - 5;
    auto put = [&](std::size_t at, std::size_t width, const std::string& s) {
      for (std::size_t i = 0; i < width; ++i) d[at + i] = i < s.size() ? static_cast<std::uint8_t>(s[i]) : ' ';
    };
    put(8, 8, config_.vendor);
    put(16, 16, config_.product);
    put(32, 4, config_.revision);
    return cut(&d, alloc);
  }
  if (page == 0x80) {
    const std::string& s = config_.serial;
    d.assign(4 + s.size(), 0);
    d[0] = 0x05;
    d[1] = 0x80;
    d[3] = static_cast<std::uint8_t>(s.size());
    std::memcpy(d.data() + 4, s.data(), s.size());
    return cut(&d, alloc);
  }
  if (page == 0xC1) {
    Disc* disc = loaded_disc();
    if (!disc) return check(kNoMedium);
    d.assign(18, 0);
    d[0] = 0x05;
    d[1] = 0xC1;
    d[3] = 14;
    std::copy_n(disc->unique_id.begin(), std::min<std::size_t>(14, disc->unique_id.size()), d.begin() + 4);
    return cut(&d, alloc);
  }
  return check(kInvalidField);
}

ScsiResult ChangerDrive::mechanism_status(Ctx& c) {
  auto& d = *c.in;
  const std::size_t slots = cart_->slots();
  d.assign(8 + 4 * slots, 0);
  const int slot = cart_->loaded_slot;
  const bool loaded = loaded_disc() != nullptr;
  const int s = !loaded ? 0 : (reported_slot_ >= 0 ? reported_slot_ : slot);
  d[0] = static_cast<std::uint8_t>((s & 0x1F) | mechanism_bits_);
  d[1] = static_cast<std::uint8_t>((loaded ? 1 : 0) << 5 | ((s >> 5) & 7));
  d[5] = static_cast<std::uint8_t>(slots);
  put_be16(d.data() + 6, static_cast<std::uint16_t>(4 * slots));
  for (std::size_t i = 0; i < slots; ++i) {
    d[8 + 4 * i] = 0x80;  // every slot holds a disc
    d[9 + 4 * i] = static_cast<std::uint8_t>(0x02 | (cart_->write_protected ? 0x01 : 0x00));
  }
  return cut(&d, get_be16(c.cdb + 8));
}

// One mode page as MODE SENSE answers it (empty: a page the drive lacks).
// Pages 0Ah, 20h and 21h answer what MODE SELECT last set.
std::vector<std::uint8_t> ChangerDrive::mode_page(std::uint8_t p) const {
  std::vector<std::uint8_t> v;
  auto stored = mode_pages_.find(p);
  switch (p) {
    case 0x01:
      v.assign(14, 0);
      v[0] = 0x01;
      v[1] = 0x0C;
      v[2] = 0xC0;
      v[9] = static_cast<std::uint8_t>(config_.error_reporting_threshold >> 16);
      v[10] = static_cast<std::uint8_t>(config_.error_reporting_threshold >> 8);
      v[11] = static_cast<std::uint8_t>(config_.error_reporting_threshold);
      return v;
    case 0x0A:
    case 0x20:
    case 0x21: {
      const std::size_t len = p == 0x20 ? 0x14 : 0x0C;
      if (stored != mode_pages_.end() && stored->second.size() >= len) {
        v.assign(stored->second.begin(), stored->second.begin() + len);
      } else {
        v.assign(len, 0);
        v[1] = static_cast<std::uint8_t>(len - 2);
      }
      v[0] = p;
      return v;
    }
    case 0x1C: {
      v.assign(8, 0);
      v[0] = 0x1C;
      v[1] = 0x06;
      auto p21 = mode_pages_.find(0x21);
      const bool swp = p21 != mode_pages_.end() && p21->second.size() > 3 && (p21->second[2] & 1) &&
                       p21->second[3] == 1;
      v[4] = swp ? 1 : 0;
      return v;
    }
    case 0x22:
      if (config_.product.rfind("QMR-T10A", 0) == 0) return {};
      v.assign(12, 0);
      v[0] = 0x22;
      v[1] = 0x0A;
      put_be16(v.data() + 4, config_.transfer_units);
      put_be16(v.data() + 6, config_.transfer_units);
      put_be16(v.data() + 8, config_.transfer_units);
      return v;
    default:
      return {};
  }
}

ScsiResult ChangerDrive::mode_sense(Ctx& c) {
  const std::uint8_t page = c.cdb[2] & 0x3F;
  const std::uint16_t alloc = get_be16(c.cdb + 7);
  Disc* disc = loaded_disc();
  std::vector<std::uint8_t> body;
  if (page == 0x3F) {
    for (std::uint8_t p : {0x01, 0x0A, 0x1C, 0x20, 0x21, 0x22}) {
      auto v = mode_page(p);
      body.insert(body.end(), v.begin(), v.end());
    }
  } else {
    body = mode_page(page);
    if (body.empty()) return check(kInvalidField);
  }
  std::vector<std::uint8_t> d(8, 0);
  d.insert(d.end(), body.begin(), body.end());
  put_be16(d.data(), static_cast<std::uint16_t>(d.size() - 2));
  d[2] = disc ? cart_->medium_type() : 0x00;
  d[3] = cart_->medium_write_protected ? 0x80 : 0x00;
  if (d.size() > alloc) d.resize(alloc);
  *c.in = std::move(d);
  return good();
}

ScsiResult ChangerDrive::mode_select(Ctx& c) {
  const std::size_t n = std::min<std::size_t>(get_be16(c.cdb + 7), c.out_len);
  if (n < 10) return check(kParamLengthError);
  const std::size_t bd = get_be16(c.out + 6);
  std::size_t pos = 8 + bd;
  while (pos + 2 <= n) {
    const std::uint8_t p = c.out[pos] & 0x3F;
    const std::size_t len = static_cast<std::size_t>(c.out[pos + 1]) + 2;
    if (pos + len > n) return check(kParamLengthError);
    if (p != 0x0A && p != 0x20 && p != 0x21) return check(kInvalidParamField);
    std::vector<std::uint8_t> v(c.out + pos, c.out + pos + len);
    mode_pages_[p] = v;
    observed_.mode_pages_selected[p] = std::vector<std::uint8_t>(c.out, c.out + n);
    pos += len;
  }
  return good();
}

ScsiResult ChangerDrive::set_clock(Ctx& c) {
  if (c.out_len < 4) return check(kParamLengthError);
  observed_.clock_seconds = get_be32(c.out);
  return good();
}

ScsiResult ChangerDrive::maintenance_read(Ctx& c) {
  c.in->assign(16, 0);
  return good();
}

ScsiResult ChangerDrive::alarm_report(Ctx& c) {
  ++observed_.alarms;
  observed_.last_alarm_cdb.assign(c.cdb, c.cdb + c.len);
  return good();
}

}  // namespace kelsim
