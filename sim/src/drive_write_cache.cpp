// The simulated drive's write cache: writes stay in it until a good
// SYNCHRONIZE CACHE; a failed write or sync loses what it held from the
// block it reports, a disc change records it, and a power cut gives back
// what it held (rewritten blocks their former data, positions as at the
// last good sync), recording whole clusters: a write-once disc pads the
// part-filled cluster it records, a rewritable one is left with the cluster
// the cut fell in torn.
#include "drive_internal.h"

#include <algorithm>

namespace kelsim {

namespace {

// What blocks the drive lost hold after a failed recording: a fill the host
// never wrote.
constexpr std::uint8_t kLostFill = 0xDB;

// Sense keys of a failure on the medium itself (SPC): the cached writes it
// meets are lost; any other failure was a refusal that changed nothing.
constexpr std::uint8_t kMediumError = 0x03, kHardwareError = 0x04;

}  // namespace

bool mend_torn(Disc& disc, std::uint32_t lba, std::uint32_t end) {
  const std::uint32_t from = (lba + kReCluster - 1) / kReCluster, to = end / kReCluster;
  auto& t = disc.torn_clusters;
  if (from >= to) return false;
  const auto first = t.lower_bound(from), last = t.lower_bound(to);
  if (first == last) return false;
  t.erase(first, last);
  return true;
}

// Writes stay in the drive's cache until a good sync. A write or sync
// failing with a medium or hardware error reports for GET PERFORMANCE the
// first block it lost: the first block written since the last good sync, or
// a later one a failing rule names (the cached writes below it reached the
// medium), but never one more than the error-reporting window (mode page 01h)
// behind the end of the last write: older blocks are on the medium before
// the drive could report them. The cached blocks from the reported one on
// are lost. Refused commands (bad field, range) change nothing.
void ChangerDrive::note_result(const std::uint8_t* cdb, std::size_t len, std::optional<Sense> sense,
                               std::uint32_t first_bad) {
  if (sense && sense->key != kMediumError && sense->key != kHardwareError) return;
  const bool failed = sense.has_value();
  if (cdb[0] == op::kWrite10) {
    std::uint32_t lba, count;
    lba_range(cdb, len, &lba, &count);
    if (!failed && count) {
      unsynced_.emplace_back(lba, lba + count);
      return;
    }
    if (failed) lose_unsynced(std::max(lba, first_bad), lba + count);
  } else if (cdb[0] == op::kSynchronizeCache) {
    if (failed) lose_unsynced(first_bad, 0);
    else forget_cache(), failed_block_.reset();
  }
}

// Reports a loss from `first_bad` on (the first unsynced block at least) and
// loses the unsynced blocks from there. A failed write (failed_end: the end
// of its blocks) reports the first unsynced block, or its own first block
// when nothing is cached.
void ChangerDrive::lose_unsynced(std::uint32_t first_bad, std::uint32_t failed_end) {
  const bool failed_write = failed_end != 0;
  if (unsynced_.empty() && !failed_write) return;
  std::uint32_t first = failed_write ? first_bad : 0xFFFFFFFFu, last_end = failed_end;
  for (const auto& [from, to] : unsynced_) first = std::min(first, from);
  if (!failed_write) last_end = unsynced_.back().second;
  std::uint32_t reported = failed_write ? first : std::max(first, first_bad);
  const std::uint32_t window = config_.error_reporting_threshold;
  if (window != 0 && last_end > window) reported = std::max(reported, last_end - window);
  failed_block_ = reported;
  if (Disc* d = loaded_disc(); d && cart_) {
    for (const auto& [from, to] : unsynced_)
      if (to > reported) fill_blocks(std::max(from, reported), to, kLostFill);
  }
  forget_cache();
}

void ChangerDrive::forget_cache() {
  unsynced_.clear();
  cache_start_.reset();
}

// The drive records what its cache holds before the disc it holds moves.
void ChangerDrive::record_cache() {
  if (Disc* d = loaded_disc()) close_clusters(*d);
  forget_cache();
}

// A write-once disc is recorded in whole clusters: when the drive records
// its cache, the rest of a part-filled cluster is recorded as padding (it
// reads as zeros, and a write there is a pseudo-overwrite), and the next
// writable address is the first block of the next cluster. The padding
// blocks hold zeros already: a write-once image is never written at or
// above its NWA but by the power cut that gives zeros back.
void ChangerDrive::close_clusters(Disc& disc) {
  if (!cart_->write_once()) return;
  const std::uint32_t unit = cluster_blocks(cart_->medium_type());
  for (std::size_t i = 0; i < disc.tracks.size(); ++i) {
    Track& t = disc.tracks[i];
    if (t.closed || t.nwa <= t.start || t.nwa % unit == 0) continue;
    t.nwa = std::min(t.end(), (t.nwa / unit + 1) * unit);
    cart_->journal(cart_->loaded_slot, Cartridge::Journalled::TrackNwa, static_cast<std::uint32_t>(i), t.nwa);
  }
}

// Before a write reaches the cache: the positions at the last good sync
// (with the first write after it) and the blocks the write replaces.
void ChangerDrive::keep_for_power_cut(Disc& disc, std::uint32_t lba, std::uint32_t count, const Track* t) {
  if (!cache_start_) {
    CacheStart s;
    for (const Track& x : disc.tracks) s.nwa.push_back(x.nwa);
    s.highest_written = disc.highest_written;
    s.torn_clusters = disc.torn_clusters;
    cache_start_ = std::move(s);
  }
  CachedWrite w{lba, count, {}};
  const bool held_data = t ? lba < t->nwa : lba < disc.highest_written;
  if (held_data) {
    w.before.resize(static_cast<std::size_t>(count) * kBlockSize);
    if (cart_->read_blocks(cart_->loaded_slot, lba, count, w.before.data()) != ERROR_SUCCESS) w.before.clear();
  }
  cache_start_->writes.push_back(std::move(w));
}

void ChangerDrive::power_cut(std::uint32_t keep_blocks) {
  std::lock_guard<std::mutex> g(mu_);
  power_cut_locked(keep_blocks);
}

void ChangerDrive::power_cut_locked(std::uint32_t keep_blocks) {
  if (Disc* d = loaded_disc(); d && cache_start_) give_back(*d, *cache_start_, keep_blocks);
  forget_cache();
  failed_block_.reset();
  opc_since_load_ = false;
  attention_.reset();
  power_on();
  cart_->save();
}

// Undoes the cached writes past the first keep_blocks blocks, newest first,
// and sets the positions back, moved on only by what was kept. The drive
// records whole clusters, and the cut falls in the middle of the recording
// of one: a write-once disc does not record it (the next writable address
// stays on a cluster boundary), a rewritable one is left with the cluster
// torn when any of its cached blocks had reached the medium.
void ChangerDrive::give_back(Disc& disc, const CacheStart& start, std::uint32_t keep_blocks) {
  const int slot = cart_->loaded_slot;
  const std::uint32_t unit = cluster_blocks(cart_->medium_type());
  std::vector<std::uint32_t> kept(start.writes.size(), 0);
  std::optional<std::uint32_t> cut;  // the first block lost, in the order written
  for (std::size_t i = 0; i < start.writes.size(); ++i) {
    const CachedWrite& w = start.writes[i];
    kept[i] = std::min(keep_blocks, w.count);
    keep_blocks -= kept[i];
    if (kept[i] == w.count || cut) continue;
    cut = w.lba + kept[i];
    if (cart_->write_once()) kept[i] = std::max(w.lba, *cut / unit * unit) - w.lba;
  }
  for (std::size_t i = start.writes.size(); i-- > 0;) {
    const CachedWrite& w = start.writes[i];
    if (kept[i] == w.count) continue;
    const std::uint32_t n = w.count - kept[i];
    if (w.before.empty())
      fill_blocks(w.lba + kept[i], w.lba + w.count, 0);
    else
      cart_->write_blocks(slot, w.lba + kept[i], n, w.before.data() + static_cast<std::size_t>(kept[i]) * kBlockSize);
  }
  for (std::size_t i = 0; i < disc.tracks.size() && i < start.nwa.size(); ++i) disc.tracks[i].nwa = start.nwa[i];
  disc.highest_written = start.highest_written;
  disc.torn_clusters = start.torn_clusters;
  for (std::size_t i = 0; i < start.writes.size(); ++i) {
    const std::uint32_t end = start.writes[i].lba + kept[i];
    if (kept[i] == 0) continue;
    mend_torn(disc, start.writes[i].lba, end);
    if (Track* t = cart_->write_once() ? track_of(disc, start.writes[i].lba) : nullptr)
      t->nwa = std::max(t->nwa, end);
    else if (!cart_->write_once())
      disc.highest_written = std::max(disc.highest_written, end);
  }
  if (cut) cut_cluster(disc, start, kept, *cut);
  close_clusters(disc);
  for (std::size_t i = 0; i < disc.tracks.size(); ++i)
    cart_->journal(slot, Cartridge::Journalled::TrackNwa, static_cast<std::uint32_t>(i), disc.tracks[i].nwa);
  if (!cart_->write_once()) cart_->journal(slot, Cartridge::Journalled::HighestWritten, 0, disc.highest_written);
}

// The cluster a power cut fell in. On a write-once disc the blocks appended
// to it since the last good sync were recorded with it, so they are not
// recorded either: its track's NWA goes back to the cluster's first block
// (not below the NWA of the last good sync). On a rewritable disc it is
// torn when any block of it had reached the medium.
void ChangerDrive::cut_cluster(Disc& disc, const CacheStart& start, const std::vector<std::uint32_t>& kept,
                               std::uint32_t cut) {
  if (!cart_->write_once()) {
    const std::uint32_t first = cut / kReCluster * kReCluster;
    for (std::size_t i = 0; i < start.writes.size(); ++i) {
      const CachedWrite& w = start.writes[i];
      if (kept[i] && w.lba < first + kReCluster && w.lba + kept[i] > first) disc.torn_clusters.insert(cut / kReCluster);
    }
    return;
  }
  const std::uint32_t unit = cluster_blocks(cart_->medium_type());
  const std::uint32_t first = cut / unit * unit;
  for (std::size_t i = 0; i < disc.tracks.size(); ++i) {
    Track& t = disc.tracks[i];
    if (t.nwa % unit == 0 || t.nwa / unit != cut / unit) continue;
    const std::uint32_t from = std::max(first, i < start.nwa.size() ? start.nwa[i] : t.start);
    if (from >= t.nwa) continue;
    fill_blocks(from, t.nwa, 0);
    t.nwa = from;
  }
}

// Fills blocks of the loaded disc with one byte: the zeros of blocks never
// recorded, or what a failed recording left.
void ChangerDrive::fill_blocks(std::uint32_t from, std::uint32_t to, std::uint8_t byte) {
  constexpr std::uint32_t kStep = 256;
  if (from >= to) return;
  std::vector<std::uint8_t> fill(static_cast<std::size_t>(std::min(kStep, to - from)) * kBlockSize, byte);
  for (std::uint32_t b = from; b < to; b += std::min(kStep, to - b))
    cart_->write_blocks(cart_->loaded_slot, b, std::min(kStep, to - b), fill.data());
}

// Torn clusters of a rewritable disc that [lba, end) meets.
bool ChangerDrive::torn(const Disc& disc, std::uint32_t lba, std::uint32_t end) const {
  const auto first = disc.torn_clusters.lower_bound(lba / kReCluster);
  return first != disc.torn_clusters.end() && *first * kReCluster < end;
}

// A write that meets a torn cluster of a rewritable disc without covering
// it whole: the drive cannot read the rest of the cluster to merge the
// write into, so it fails, writing nothing.
bool ChangerDrive::partly_torn(const Disc& disc, std::uint32_t lba, std::uint32_t end) const {
  if (!torn(disc, lba, end)) return false;
  const auto first = disc.torn_clusters.lower_bound(lba / kReCluster);
  const auto last = disc.torn_clusters.lower_bound((end + kReCluster - 1) / kReCluster);
  return *first * kReCluster < lba || *std::prev(last) * kReCluster + kReCluster > end;
}

}  // namespace kelsim
