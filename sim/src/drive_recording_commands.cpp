// Commands of the simulated drive that record or read the disc: READ(10),
// WRITE(10) with the write-once rules (open track, NWA, pseudo-overwrite
// resources, calibration), VERIFY(10), SYNCHRONIZE CACHE and the reserved
// write, and those that shape the disc: FORMAT UNIT, RESERVE TRACK and
// CLOSE TRACK/SESSION.
#include "drive_internal.h"

#include <algorithm>

namespace kelsim {

// What READ(10) and VERIFY(10) check first: a disc is loaded, the range
// [*lba, *lba + *count) is on it, a rewritable disc is formatted and no
// torn cluster is met.
ScsiResult ChangerDrive::read_checks(Ctx& c, Disc** disc, std::uint32_t* lba, std::uint32_t* count) {
  *disc = loaded_disc();
  if (!*disc) return check(kNoMedium);
  lba_range(c.cdb, c.len, lba, count);
  if (static_cast<std::uint64_t>(*lba) + *count > cart_->disc_blocks()) return check(kLbaOutOfRange);
  if (!cart_->write_once() && !(*disc)->formatted) return check(kUnformatted);
  if (torn(**disc, *lba, *lba + *count)) return check(kUnrecordedRead);
  return good();
}

ScsiResult ChangerDrive::read10(Ctx& c) {
  Disc* disc = nullptr;
  std::uint32_t lba = 0, count = 0;
  if (ScsiResult refused = read_checks(c, &disc, &lba, &count); refused.check_condition) return refused;
  ScsiResult r = good();
  if (cart_->write_once()) {
    // On a formatted disc a cluster with no block recorded fails the read;
    // the unrecorded tail of a cluster the drive recorded reads as the zeros
    // it was padded with. The answer says how many blocks of the read were
    // never written.
    if (!disc->formatted && config_.unformatted_reads_fail) return check(kUnformatted);
    std::uint64_t recorded = 0;
    bool blank_cluster = false;
    const std::uint32_t unit = cluster_blocks(cart_->medium_type());
    for (std::uint32_t b = lba; b < lba + count;) {
      const Track* t = track_of(*disc, b);
      const std::uint32_t to = t ? std::min(lba + count, t->end()) : b + 1;
      if (!t || (to - 1) / unit * unit >= t->nwa) blank_cluster = true;
      if (t && t->nwa > b) recorded += std::min(to, t->nwa) - b;
      b = to;
    }
    r.unrecorded_blocks = count - static_cast<std::uint32_t>(recorded);
    if (blank_cluster && disc->formatted && !config_.blank_blocks_read_as_zeros) {
      ScsiResult f = check(kUnrecordedRead);
      f.unrecorded_blocks = r.unrecorded_blocks;
      return f;
    }
  }
  c.in->resize(static_cast<std::size_t>(count) * kBlockSize);
  if (count && cart_->read_blocks(cart_->loaded_slot, lba, count, c.in->data()) != ERROR_SUCCESS)
    return check(kUnrecordedRead);
  return r;
}

// Write-once rules of a write of [lba, end): inside one open track, from at
// most its NWA on, on a disc not finalized; recorded blocks only as far as
// the pseudo-overwrite resources reach.
ScsiResult ChangerDrive::write_once_checks(Disc& disc, std::uint32_t lba, std::uint32_t end, Track** track) {
  if (disc.finalized) return check(kInvalidWriteAddress);
  Track* t = track_of(disc, lba);
  if (!t || t->closed || lba > t->nwa || end > t->end()) return check(kInvalidWriteAddress);
  if (lba < t->nwa && !use_pow(lba, end, *t)) return check(kInvalidWriteAddress);
  *track = t;
  return good();
}

// Takes the loaded disc's resources of a pseudo-overwrite of the recorded
// blocks of [lba, end) in t; false, taking nothing, when they do not reach.
bool ChangerDrive::use_pow(std::uint32_t lba, std::uint32_t end, const Track& t) {
  const std::uint32_t last = std::min(end, t.nwa) - 1;
  const std::uint32_t unit = cluster_blocks(cart_->medium_type());
  const std::uint32_t clusters = last / unit - lba / unit + 1;
  Cartridge& k = *cart_;
  const int slot = k.loaded_slot;
  Disc& d = k.disc(slot);
  WriteResources& r = d.pow;
  if (r.updates == 0 || r.map_entries < clusters || r.replacements < clusters) return false;
  r.updates -= 1;
  r.map_entries -= clusters;
  r.replacements -= clusters;
  k.journal(slot, Cartridge::Journalled::PowUpdates, 0, r.updates);
  k.journal(slot, Cartridge::Journalled::PowMapEntries, 0, r.map_entries);
  k.journal(slot, Cartridge::Journalled::PowReplacements, 0, r.replacements);
  return true;
}

// The drive calibrates its laser power (OPC) before the first recording
// after each load, in the loaded write-once disc's calibration area.
void ChangerDrive::calibrate_once() {
  Cartridge& k = *cart_;
  const int slot = k.loaded_slot;
  if (opc_since_load_ || !k.write_once()) return;
  opc_since_load_ = true;
  if (k.opc_left(slot) == 0) return;
  Disc& d = k.disc(slot);
  ++d.opc_used;
  k.journal(slot, Cartridge::Journalled::OpcUsed, 0, d.opc_used);
}

ScsiResult ChangerDrive::write10(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  std::uint32_t lba, count;
  lba_range(c.cdb, c.len, &lba, &count);
  if (cart_->writes_refused) return check(kWriteProtected);
  if (static_cast<std::uint64_t>(lba) + count > cart_->disc_blocks()) return check(kLbaOutOfRange);
  if (c.out_len != static_cast<std::size_t>(count) * kBlockSize) return check(kInvalidField);
  if (!disc->formatted) return check(kUnformatted);
  if (count == 0) return good();
  const std::uint32_t end = lba + count;
  Track* t = nullptr;
  if (cart_->write_once()) {
    ScsiResult r = write_once_checks(*disc, lba, end, &t);
    if (r.check_condition) return r;
  } else if (partly_torn(*disc, lba, end)) {
    return check(kUnrecordedRead);
  }
  calibrate_once();
  keep_for_power_cut(*disc, lba, count, t);
  if (mend_torn(*disc, lba, end) && cart_->save() != ERROR_SUCCESS) return check(kWriteFault);
  if (cart_->write_blocks(cart_->loaded_slot, lba, count, c.out) != ERROR_SUCCESS)
    return check(kWriteFault);
  // What a write moves is on disk before the command is answered.
  const int slot = cart_->loaded_slot;
  DWORD kept = ERROR_SUCCESS;
  if (t && end > t->nwa) {
    t->nwa = end;
    kept = cart_->journal(slot, Cartridge::Journalled::TrackNwa, static_cast<std::uint32_t>(t - disc->tracks.data()),
                          end);
  } else if (!t && end > disc->highest_written) {
    disc->highest_written = end;
    kept = cart_->journal(slot, Cartridge::Journalled::HighestWritten, 0, end);
  }
  note_written_slot();
  return kept == ERROR_SUCCESS ? good() : check(kWriteFault);
}

ScsiResult ChangerDrive::verify10(Ctx& c) {
  Disc* disc = nullptr;
  std::uint32_t lba = 0, count = 0;
  if (ScsiResult refused = read_checks(c, &disc, &lba, &count); refused.check_condition) return refused;
  if (!cart_->write_once()) return good();
  // A write-once disc verifies only what has been recorded.
  for (std::uint32_t b = lba; b < lba + count;) {
    Track* t = track_of(*disc, b);
    if (!t || b >= t->nwa) return check(kUnrecordedRead);
    b = std::min(t->nwa, lba + count);
  }
  return good();
}

ScsiResult ChangerDrive::sync_cache(Ctx&) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  close_clusters(*disc);
  if (cart_->save() != ERROR_SUCCESS) return check(kWriteFault);
  return good();
}

ScsiResult ChangerDrive::reserve_write(Ctx& c) {
  if (!loaded_disc()) return check(kNoMedium);
  if (cart_->writes_refused) return check(kWriteProtected);
  std::uint32_t lba, count;
  lba_range(c.cdb, c.len, &lba, &count);
  if (static_cast<std::uint64_t>(lba) + count > cart_->disc_blocks()) return check(kLbaOutOfRange);
  observed_.reserved_writes.emplace_back(lba, count);
  return good();
}

ScsiResult ChangerDrive::format_unit(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  if (cart_->writes_refused) return check(kWriteProtected);
  const bool fmt_data = c.cdb[1] & 0x10;
  if (fmt_data) {
    if (c.out_len < 12) return check(kParamLengthError);
    if (get_be16(c.out + 2) != 8) return check(kInvalidParamField);
  }
  if (cart_->write_once()) {
    if (disc->status != DiscStatus::Blank || disc->finalized) return check(kSequenceError);
    disc->formatted = true;
    disc->status = DiscStatus::Incomplete;
    disc->tracks = {Track{0, cart_->disc_blocks(), 0, false, false}};
  } else {
    if (fmt_data) {
      const std::uint32_t blocks = get_be32(c.out + 4);
      if (blocks > cart_->disc_blocks()) return check(kInvalidParamField);
    }
    disc->formatted = true;
    disc->status = DiscStatus::Complete;
    disc->torn_clusters.clear();
  }
  cart_->save();
  return good();
}

ScsiResult ChangerDrive::reserve_track(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  if (!cart_->write_once()) return check(kInvalidOpcode);
  if (cart_->writes_refused) return check(kWriteProtected);
  if (!(c.cdb[1] & 1)) return check(kInvalidField);  // only reservation by address
  if (disc->finalized || disc->status == DiscStatus::Blank || disc->tracks.empty()) return check(kSequenceError);
  const std::uint32_t lba = get_be32(c.cdb + 2);
  Track& last = disc->tracks.back();
  if (last.closed || lba <= last.start || lba < last.nwa || lba >= last.end()) return check(kInvalidField);
  Track next{lba, last.end() - lba, lba, false, true};
  last.size = lba - last.start;
  disc->tracks.push_back(next);
  cart_->save();
  return good();
}

ScsiResult ChangerDrive::close_track_session(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  if (!cart_->write_once()) return good();
  if (cart_->writes_refused) return check(kWriteProtected);
  const std::uint8_t fn = c.cdb[2] & 7;
  if (fn == 1) {
    const std::uint16_t n = get_be16(c.cdb + 4);
    if (n == 0 || n > disc->tracks.size()) return check(kInvalidField);
    disc->tracks[n - 1].closed = true;
  } else if (fn == 2 || fn == 6) {
    if (disc->status == DiscStatus::Blank) return check(kSequenceError);
    for (auto& t : disc->tracks) t.closed = true;
    disc->finalized = true;
    disc->status = DiscStatus::Complete;
  } else {
    return check(kInvalidField);
  }
  cart_->save();
  return good();
}

}  // namespace kelsim
