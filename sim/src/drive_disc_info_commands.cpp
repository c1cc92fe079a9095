// Commands of the simulated drive that describe the loaded disc: its
// capacity, disc and track information, disc structures (disc information,
// definition structure, defect list), GET PERFORMANCE and the calibrations
// left.
#include "drive_internal.h"

#include <algorithm>

namespace kelsim {

ScsiResult ChangerDrive::read_capacity(Ctx& c) {
  if (!loaded_disc()) return check(kNoMedium);
  c.in->assign(8, 0);
  put_be32(c.in->data(), cart_->disc_blocks() - 1);
  put_be32(c.in->data() + 4, kBlockSize);
  return good();
}

ScsiResult ChangerDrive::read_format_capacities(Ctx& c) {
  auto& d = *c.in;
  d.assign(12, 0);
  d[3] = 8;
  Disc* disc = loaded_disc();
  if (!disc) {
    d[8] = 3;  // no medium
    put_be32(d.data() + 4, 0xFFFFFFFFu);
  } else {
    put_be32(d.data() + 4, cart_->disc_blocks());
    d[8] = disc->formatted ? 2 : 1;  // as FORMAT UNIT left it, whatever was written
  }
  put_be24(d.data() + 9, kBlockSize);
  return cut(&d, get_be16(c.cdb + 7));
}

ScsiResult ChangerDrive::read_disc_information(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  const std::uint8_t type = c.cdb[1] & 7;
  const std::uint16_t alloc = get_be16(c.cdb + 7);
  auto& d = *c.in;
  if (type == 0) {
    d.assign(34, 0);
    put_be16(d.data(), 32);
    std::uint8_t status, session;
    if (cart_->write_once()) {
      status = static_cast<std::uint8_t>(disc->status);
      session = disc->status == DiscStatus::Blank ? 0 : disc->status == DiscStatus::Incomplete ? 1 : 3;
    } else {
      status = disc->formatted ? 2 : 0;
      session = disc->formatted ? 3 : 0;
    }
    d[2] = static_cast<std::uint8_t>(status | session << 2 | (cart_->write_once() ? 0 : 0x10));
    d[3] = 1;  // first track on disc
    d[4] = 1;  // sessions
    d[5] = 1;  // first track in last session
    d[6] = static_cast<std::uint8_t>(cart_->write_once() ? std::max<std::size_t>(1, disc->tracks.size()) : 1);
    d[7] = 0x20;  // unrestricted use
    put_be32(d.data() + 20, cart_->disc_blocks());
    return cut(&d, alloc);
  }
  if (type == 1) {
    d.assign(12, 0);
    put_be16(d.data(), 10);
    std::uint16_t open = 0;
    for (auto& t : disc->tracks) open += t.writable() ? 1 : 0;
    put_be16(d.data() + 4, 7927);
    put_be16(d.data() + 6, static_cast<std::uint16_t>(cart_->write_once() ? disc->tracks.size() : 1));
    put_be16(d.data() + 8, 16);
    put_be16(d.data() + 10, open);
    return cut(&d, alloc);
  }
  if (type == 2) {
    d.assign(16, 0);
    put_be16(d.data(), 14);
    put_be32(d.data() + 4, disc->pow.replacements);
    put_be32(d.data() + 8, disc->pow.map_entries);
    put_be32(d.data() + 12, disc->pow.updates);
    return cut(&d, alloc);
  }
  return check(kInvalidField);
}

namespace {

// The track READ TRACK INFORMATION asks for, by its address type and
// number, and its track number; the refusal when there is none.
std::optional<Sense> find_track(const std::vector<Track>& list, std::uint8_t addr_type, std::uint32_t number,
                                Track* t, std::uint32_t* tno) {
  if (addr_type == 1) {
    if (number == 0) {
      // The invisible track: the first open one, started at its NWA.
      auto it = std::find_if(list.begin(), list.end(), [](const Track& x) { return x.writable(); });
      if (it == list.end()) return kInvalidField;
      *t = *it;
      *tno = static_cast<std::uint32_t>(it - list.begin()) + 1;
      t->size = t->end() - t->nwa;
      t->start = t->nwa;
    } else {
      if (number > list.size()) return kInvalidField;
      *t = list[number - 1];
      *tno = number;
    }
  } else if (addr_type == 0) {
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Track& x) { return number >= x.start && number < x.end(); });
    if (it == list.end()) return kLbaOutOfRange;
    *t = *it;
    *tno = static_cast<std::uint32_t>(it - list.begin()) + 1;
  } else if (addr_type == 2 && number == 1) {
    *t = list.back();
    *tno = static_cast<std::uint32_t>(list.size());
  } else {
    return kInvalidField;
  }
  return std::nullopt;
}

// The 52 bytes of track information of track `tno`.
void track_information(const Track& t, std::uint32_t tno, std::vector<std::uint8_t>* out) {
  auto& d = *out;
  d.assign(52, 0);
  put_be16(d.data(), 50);
  d[2] = static_cast<std::uint8_t>(tno);
  d[3] = 1;  // session
  d[5] = 0x04;  // data track, recorded incrementally
  const bool blank = t.nwa <= t.start;
  d[6] = static_cast<std::uint8_t>((t.reserved ? 0x80 : 0) | (blank ? 0x40 : 0) | 0x01);
  const bool nwa_valid = t.writable();
  d[7] = static_cast<std::uint8_t>((nwa_valid ? 0x01 : 0) | (!blank ? 0x02 : 0));
  put_be32(d.data() + 8, t.start);
  put_be32(d.data() + 12, nwa_valid ? t.nwa : 0);
  put_be32(d.data() + 16, t.closed ? 0 : t.end() - std::max(t.nwa, t.start));
  put_be32(d.data() + 24, t.size);
  put_be32(d.data() + 28, blank ? 0 : t.nwa - 1);
}

}  // namespace

ScsiResult ChangerDrive::read_track_information(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  const std::uint8_t addr_type = c.cdb[1] & 3;
  const std::uint32_t number = get_be32(c.cdb + 2);

  Track rw{0, cart_->disc_blocks(), disc->highest_written, false, false};
  std::vector<Track> re_tracks;
  if (!cart_->write_once()) re_tracks.push_back(rw);
  const std::vector<Track>& list = cart_->write_once() ? disc->tracks : re_tracks;
  if (list.empty()) return check(kInvalidField);

  Track t;
  std::uint32_t tno = 0;
  if (auto refused = find_track(list, addr_type, number, &t, &tno)) return check(*refused);
  track_information(t, tno, c.in);
  return cut(c.in, get_be16(c.cdb + 7));
}

namespace {

// Disc information (format 00h): one 112-byte unit per layer, each
// beginning "DI", with the first and last user-data address of its layer at
// unit offsets 16 and 20.
void disc_information_units(std::uint8_t type, std::uint32_t n, std::vector<std::uint8_t>* out) {
  auto& d = *out;
  const int layers = type == 0xE6 ? 3 : (type == 0xE4 || type == 0xE8) ? 2 : 1;
  d.assign(4 + 112 * static_cast<std::size_t>(layers), 0);
  put_be16(d.data(), static_cast<std::uint16_t>(d.size() - 2));
  const std::uint32_t per_layer = n / 8 / static_cast<std::uint32_t>(layers);
  for (int i = 0; i < layers; ++i) {
    std::uint8_t* u = d.data() + 4 + 112 * i;
    u[0] = 'D';
    u[1] = 'I';
    u[2] = 1;
    u[3] = static_cast<std::uint8_t>(i << 3 | layers);
    u[4] = static_cast<std::uint8_t>(layers);
    const std::uint32_t first = 0x20000u + static_cast<std::uint32_t>(i) * (per_layer + 0x40000u);
    put_be32(u + 16, first);
    put_be32(u + 20, first + per_layer + 0x100u);
  }
}

// The disc definition structure (format 08h) of a formatted rewritable disc
// of n blocks.
void disc_definition_structure(std::uint32_t n, std::vector<std::uint8_t>* out) {
  auto& d = *out;
  d.assign(104, 0);
  put_be16(d.data(), 102);
  d[4] = 'D';
  d[5] = 'S';
  d[6] = 1;
  put_be32(d.data() + 8, 1);          // update count
  put_be32(d.data() + 20, 0x100000);  // location of the defect list
  put_be32(d.data() + 36, 0x100000);  // first PSN of the user data area
  put_be32(d.data() + 40, n - 1);     // last LSN
  put_be32(d.data() + 44, 0);         // outer spare size
  put_be32(d.data() + 48, 0);         // inner spare size
}

}  // namespace

ScsiResult ChangerDrive::read_disc_structure(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  const std::uint8_t format = c.cdb[7];
  const std::uint32_t address = get_be32(c.cdb + 2);
  const std::uint16_t alloc = get_be16(c.cdb + 8);
  const std::uint8_t type = cart_->medium_type();
  const std::uint32_t n = cart_->disc_blocks();
  std::vector<std::uint8_t> d;
  if (format == 0x00) {
    disc_information_units(type, n, &d);
  } else if (format == 0x08) {
    if (cart_->write_once() || !disc->formatted) return check(kUnformatted);
    disc_definition_structure(n, &d);
  } else if (format == 0x12) {
    if (!cart_->write_once() && !disc->formatted) return check(kUnformatted);
    static const std::vector<DefectEntry> kNone;
    if (!defect_list_unit(cart_->write_once() ? kNone : disc->defects, type == 0xE6 ? 128 : 64, address, &d))
      return check(kInvalidField);
  } else {
    return check(kInvalidField);
  }
  if (d.size() > alloc) d.resize(alloc);
  *c.in = std::move(d);
  return good();
}

// Unit `unit` of the defect list: units of 32 KiB, the first one opening with
// the list header. False for a unit the list does not have.
bool ChangerDrive::defect_list_unit(const std::vector<DefectEntry>& list, std::size_t header, std::uint32_t unit,
                                    std::vector<std::uint8_t>* out) {
  constexpr std::size_t kUnit = 32768;
  const std::size_t first = (kUnit - header) / 8, rest = kUnit / 8;
  const std::size_t units = 1 + (list.size() > first ? (list.size() - first + rest - 1) / rest : 0);
  if (unit >= units) return false;
  const std::size_t begin = unit == 0 ? 0 : first + (unit - 1) * rest;
  const std::size_t count = std::min(unit == 0 ? first : rest, list.size() - begin);
  const std::size_t head = unit == 0 ? header : 0;
  auto& d = *out;
  d.assign(4 + head + 8 * count, 0);
  put_be16(d.data(), static_cast<std::uint16_t>(d.size() - 2));
  d[3] = static_cast<std::uint8_t>(units);
  if (unit == 0) {
    d[4] = 'D';
    d[5] = 'L';
    d[6] = 1;
    put_be32(d.data() + 16, static_cast<std::uint32_t>(list.size()));
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t e = list[begin + i].encoded();
    put_be32(d.data() + 4 + head + 8 * i, static_cast<std::uint32_t>(e >> 32));
    put_be32(d.data() + 8 + head + 8 * i, static_cast<std::uint32_t>(e));
  }
  return true;
}

ScsiResult ChangerDrive::get_performance(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  if (c.cdb[10] != 0x02) return check(kInvalidField);
  std::uint32_t lba = get_be32(c.cdb + 2);
  auto& d = *c.in;
  if (failed_block_ && c.cdb[9] != 0) {
    lba = *failed_block_;
  } else if (cart_->write_once() || !disc->formatted || c.cdb[9] == 0) {
    d.assign(8, 0);
    put_be32(d.data(), 4);  // no descriptor
    return good();
  }
  if (lba >= cart_->disc_blocks()) return check(kLbaOutOfRange);
  d.assign(2056, 0);
  put_be32(d.data(), 2052);
  put_be32(d.data() + 8, lba);
  put_be32(d.data() + 12, cart_->disc_blocks() - 1);
  d[16] = 32;  // blocking factor
  d[17] = 0;   // first bit offset
  d[18] = 1;
  return good();
}

ScsiResult ChangerDrive::opc_information(Ctx& c) {
  if (!loaded_disc()) return check(kNoMedium);
  c.in->assign(16, 0);
  put_be16(c.in->data(), cart_->opc_left(cart_->loaded_slot));
  return good();
}

}  // namespace kelsim
