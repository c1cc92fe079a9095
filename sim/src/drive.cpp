#include "sim/drive.h"

#include "sim/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

namespace kelsim {

const char* const kDriveModels[8] = {"PXO-U2",    "QMR-T10A",  "QMR-T20A",  "QMR-T20B",
                                     "QMR-T300A", "QMR-T300B", "QMR-T400A", "QMR-T400B"};

namespace {

// Sense values the drive answers with.
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
constexpr Sense kInvalidParamField{0x05, 0x26, 0x00};
constexpr Sense kParamLengthError{0x05, 0x1A, 0x00};
constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
constexpr Sense kInvalidElement{0x05, 0x21, 0x01};
constexpr Sense kInvalidWriteAddress{0x05, 0x21, 0x02};
constexpr Sense kSequenceError{0x05, 0x2C, 0x00};
constexpr Sense kUnformatted{0x05, 0x30, 0x10};
constexpr Sense kNoMedium{0x02, 0x3A, 0x00};
constexpr Sense kWriteProtected{0x03, 0x27, 0x00};
constexpr Sense kUnrecordedRead{0x03, 0x11, 0x00};
constexpr Sense kBecomingReady{0x02, 0x04, 0x01};
constexpr Sense kMediumMayHaveChanged{0x06, 0x28, 0x00};
constexpr Sense kPowerOn{0x06, 0x29, 0x00};

// Media event codes of GET EVENT STATUS NOTIFICATION (MMC).
constexpr std::uint8_t kNewMedia = 2;
constexpr std::uint8_t kMediaRemoval = 3;
constexpr std::size_t kMaxEvents = 8;

// What blocks the drive lost hold after a failed recording: a fill the host
// never wrote.
constexpr std::uint8_t kLostFill = 0xDB;

// Commands a pending unit attention lets through (SPC, MMC): INQUIRY and
// GET EVENT STATUS NOTIFICATION neither report nor clear it; REQUEST SENSE
// returns it as its data.
bool passes_attention(std::uint8_t op) { return op == 0x12 || op == 0x4A || op == 0x03; }

// Commands that need the disc itself, refused while it becomes ready.
bool needs_medium(std::uint8_t op) {
  switch (op) {
    case 0x00: case 0x04: case 0x25: case 0x28: case 0x2A: case 0x2F: case 0x35: case 0x51: case 0x52:
    case 0x53: case 0x5B: case 0xAC: case 0xAD: case 0xD2: case 0xD5:
      return true;
    default:
      return false;
  }
}

// Blocks of a rewritable disc's cluster, which one error-correcting code
// covers (cluster_blocks of every rewritable type).
constexpr std::uint32_t kReCluster = 32;

// The torn clusters [lba, end) covers whole are recorded anew; true when
// there were any.
bool mend_torn(Disc& disc, std::uint32_t lba, std::uint32_t end) {
  const std::uint32_t from = (lba + kReCluster - 1) / kReCluster, to = end / kReCluster;
  auto& t = disc.torn_clusters;
  if (from >= to) return false;
  const auto first = t.lower_bound(from), last = t.lower_bound(to);
  if (first == last) return false;
  t.erase(first, last);
  return true;
}

ScsiResult good() { return {}; }
ScsiResult check(Sense s) {
  ScsiResult r;
  r.check_condition = true;
  r.sense = s;
  return r;
}

bool lba_command(std::uint8_t op) { return op == 0x28 || op == 0x2A || op == 0x2F || op == 0x35 || op == 0xD2; }

void lba_range(const std::uint8_t* cdb, std::size_t len, std::uint32_t* first, std::uint32_t* count) {
  *first = 0;
  *count = 0;
  if (len < 10) return;
  if (cdb[0] == 0xD2) {
    if (len < 12) return;
    *first = get_be32(cdb + 4);
    *count = get_be32(cdb + 8);
  } else {
    *first = get_be32(cdb + 2);
    *count = get_be16(cdb + 7);
  }
}

bool rule_matches(const FaultRule& r, const std::uint8_t* cdb, std::size_t len) {
  if (len == 0) return false;
  if (r.opcode && *r.opcode != cdb[0]) return false;
  if (r.mode_page && (cdb[0] != 0x5A || len < 9 || (cdb[2] & 0x3F) != *r.mode_page)) return false;
  if (r.mode_length && (cdb[0] != 0x5A || len < 9 || get_be16(cdb + 7) != *r.mode_length)) return false;
  const bool ranged = r.first_lba != 0 || r.last_lba != 0xFFFFFFFFu;
  if (ranged) {
    if (!lba_command(cdb[0])) return false;
    std::uint32_t first, count;
    lba_range(cdb, len, &first, &count);
    // SYNCHRONIZE CACHE of 0 blocks covers the medium from its block on.
    const std::uint64_t last = count ? static_cast<std::uint64_t>(first) + count - 1
                               : cdb[0] == 0x35 ? 0xFFFFFFFFull : first;
    if (last < r.first_lba || first > r.last_lba) return false;
  }
  return true;
}

bool is_service_kind(FaultRule::Kind k) {
  return k != FaultRule::Kind::Sense && k != FaultRule::Kind::ReplaceData;
}

// Length of the CDB each operation needs; 0 for an operation the drive does
// not know.
std::size_t cdb_length_needed(std::uint8_t op) {
  switch (op) {
    case 0x00: case 0x03: case 0x04: case 0x12: case 0x1B: case 0x1E:
      return 6;
    case 0x23: case 0x25: case 0x28: case 0x2A: case 0x2F: case 0x35: case 0x4A:
    case 0x51: case 0x52: case 0x53: case 0x55: case 0x5A: case 0x5B:
      return 10;
    case 0xA6: case 0xAC: case 0xAD: case 0xBD: case 0xC3: case 0xC6: case 0xCF:
    case 0xD2: case 0xD5: case 0xDA: case 0xDB: case 0xDC: case 0xE6:
      return 12;
    case 0x8C: case 0x8D:
      return 16;
    default:
      return 0;
  }
}

// Cuts an answer to the allocation length of the CDB.
ScsiResult cut(std::vector<std::uint8_t>* d, std::size_t alloc) {
  if (d->size() > alloc) d->resize(alloc);
  return good();
}

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

std::array<std::uint8_t, 18> ScsiResult::sense_bytes() const {
  std::array<std::uint8_t, 18> s{};
  s[0] = 0x70;
  s[2] = sense.key & 0x0F;
  s[7] = 0x0A;
  s[12] = sense.asc;
  s[13] = sense.ascq;
  return s;
}

FaultRule read_error(std::uint32_t first, std::uint32_t last, Sense s) {
  FaultRule r;
  r.opcode = 0x28;
  r.first_lba = first;
  r.last_lba = last;
  r.sense = s;
  return r;
}
FaultRule write_error(std::uint32_t first, std::uint32_t last, Sense s) {
  FaultRule r;
  r.opcode = 0x2A;
  r.first_lba = first;
  r.last_lba = last;
  r.sense = s;
  return r;
}
FaultRule command_fails(std::uint8_t opcode, Sense s) {
  FaultRule r;
  r.opcode = opcode;
  r.sense = s;
  return r;
}
FaultRule transport_status(std::int32_t status, std::optional<std::uint8_t> opcode) {
  FaultRule r;
  r.kind = FaultRule::Kind::TransportStatus;
  r.status = status;
  r.opcode = opcode;
  return r;
}
FaultRule drop_connection(std::optional<std::uint8_t> opcode) {
  FaultRule r;
  r.kind = FaultRule::Kind::DropConnection;
  r.opcode = opcode;
  return r;
}
FaultRule delay_answer(std::uint64_t ms, std::optional<std::uint8_t> opcode) {
  FaultRule r;
  r.kind = FaultRule::Kind::Delay;
  r.delay_ms = ms;
  r.opcode = opcode;
  return r;
}

FaultRule replace_answer(std::uint8_t opcode, std::vector<std::uint8_t> data) {
  FaultRule r;
  r.kind = FaultRule::Kind::ReplaceData;
  r.opcode = opcode;
  r.data = std::move(data);
  return r;
}

FaultRule power_cut_at(std::optional<std::uint8_t> opcode, std::uint32_t keep_blocks) {
  FaultRule r;
  r.kind = FaultRule::Kind::PowerCut;
  r.opcode = opcode;
  r.keep_blocks = keep_blocks;
  return r;
}

std::optional<std::uint32_t> cdb_allocation_length(const std::uint8_t* cdb, std::size_t len) {
  if (len == 0) return std::nullopt;
  auto be16_at = [&](std::size_t at) -> std::optional<std::uint32_t> {
    if (len < at + 2) return std::nullopt;
    return get_be16(cdb + at);
  };
  auto be32_at = [&](std::size_t at) -> std::optional<std::uint32_t> {
    if (len < at + 4) return std::nullopt;
    return get_be32(cdb + at);
  };
  switch (cdb[0]) {
    case 0x12: return be16_at(3);  // INQUIRY
    case 0x03: return len > 4 ? std::optional<std::uint32_t>(cdb[4]) : std::nullopt;  // REQUEST SENSE
    case 0x5A: case 0x51: case 0x52: case 0x4A: case 0x23: case 0xAD: return be16_at(7);
    case 0xBD: return be16_at(8);  // MECHANISM STATUS
    case 0x8C: return be32_at(10);  // READ ATTRIBUTE
    case 0xDA: return be32_at(6);   // vendor READ ATTRIBUTE
    default: return std::nullopt;
  }
}

struct ChangerDrive::Ctx {
  const std::uint8_t* cdb;
  std::size_t len;
  const std::uint8_t* out;
  std::size_t out_len;
  std::vector<std::uint8_t>* in;
};

namespace {

std::string default_serial(const Cartridge* cart) {
  const std::string folder = cart ? std::filesystem::absolute(cart->directory()).string() : std::string();
  char text[16];
  std::snprintf(text, sizeof text, "KSIM%08X", static_cast<unsigned>(std::hash<std::string>{}("drive " + folder)));
  return text;
}

}  // namespace

ChangerDrive::ChangerDrive(DriveConfig config, std::shared_ptr<Cartridge> cartridge)
    : config_(std::move(config)), cart_(std::move(cartridge)) {
  if (config_.serial.empty()) config_.serial = default_serial(cart_.get());
  power_on();
}

void ChangerDrive::power_on() {
  loading_left_ = 0;
  events_.clear();
  if (config_.attention_at_power_on) attention_ = kPowerOn;
  if (loaded_disc()) note_event(kNewMedia, cart_->loaded_slot);
}

void ChangerDrive::note_event(std::uint8_t code, int slot) {
  if (!config_.media_events) return;
  if (events_.size() == kMaxEvents) events_.pop_front();
  events_.push_back({code, slot});
}

// The drive holds another disc, or none, than `from`: what the cache held
// was recorded before the move, the new disc spins up and is calibrated
// again, and the change is reported as media events and, once the disc is
// ready, as a unit attention.
void ChangerDrive::disc_changed(int from) {
  opc_since_load_ = false;
  forget_cache();
  if (from >= 0) {
    last_unloaded_ = from;
    note_event(kMediaRemoval, from);
  }
  loading_left_ = 0;
  if (!loaded_disc()) return;
  note_event(kNewMedia, cart_->loaded_slot);
  loading_left_ = config_.loading_commands;
  if (loading_left_ == 0 && config_.attention_after_load && !attention_) attention_ = kMediumMayHaveChanged;
}

// What the drive's own state answers before a command runs: a pending unit
// attention, reported once, or a disc that is still becoming ready.
std::optional<Sense> ChangerDrive::state_answer(std::uint8_t op) {
  if (attention_ && !passes_attention(op)) {
    const Sense s = *attention_;
    attention_.reset();
    return s;
  }
  if (loading_left_ == 0 || !needs_medium(op) || !loaded_disc()) return std::nullopt;
  if (--loading_left_ == 0 && config_.attention_after_load && !attention_) attention_ = kMediumMayHaveChanged;
  return kBecomingReady;
}

bool ChangerDrive::latest_model() const {
  return config_.product.rfind("QMR-T400A", 0) == 0 || config_.product.rfind("QMR-T400B", 0) == 0;
}

Disc* ChangerDrive::loaded_disc() {
  if (!cart_ || cart_->loaded_slot < 0 || cart_->loaded_slot >= cart_->slots()) return nullptr;
  return &cart_->disc(cart_->loaded_slot);
}

Track* ChangerDrive::track_of(Disc& d, std::uint32_t lba) {
  for (Track& t : d.tracks)
    if (lba >= t.start && lba < t.end()) return &t;
  return nullptr;
}


void ChangerDrive::note_written_slot() {
  auto& a = cart_->attributes[0x0D00];
  const auto slot = static_cast<std::uint8_t>(cart_->loaded_slot);
  if (a.value.size() != 1 || a.value[0] != slot) {
    a.format = 0;
    a.value = {slot};
    cart_->save();
  }
}

int ChangerDrive::add_fault(FaultRule rule) {
  std::lock_guard<std::mutex> g(mu_);
  rule.fired = 0;
  faults_[next_fault_id_] = rule;
  return next_fault_id_++;
}
void ChangerDrive::remove_fault(int id) {
  std::lock_guard<std::mutex> g(mu_);
  faults_.erase(id);
}
void ChangerDrive::clear_faults() {
  std::lock_guard<std::mutex> g(mu_);
  faults_.clear();
}
int ChangerDrive::fault_fired(int id) const {
  std::lock_guard<std::mutex> g(mu_);
  auto it = faults_.find(id);
  return it == faults_.end() ? 0 : it->second.fired;
}

// Consumes one firing of the first live rule of the wanted class.
static FaultRule* fire(std::map<int, FaultRule>& faults, bool service, int loaded, const std::uint8_t* cdb,
                       std::size_t len) {
  for (auto& [id, r] : faults) {
    if (is_service_kind(r.kind) != service) continue;
    if (r.slot >= 0 && r.slot != loaded) continue;
    if (r.times >= 0 && r.fired >= r.times) continue;
    if (!rule_matches(r, cdb, len)) continue;
    if (r.skip > 0) {
      --r.skip;
      continue;
    }
    ++r.fired;
    return &r;
  }
  return nullptr;
}

std::optional<FaultRule> ChangerDrive::take_service_fault(const std::uint8_t* cdb, std::size_t len) {
  std::lock_guard<std::mutex> g(mu_);
  if (FaultRule* r = fire(faults_, true, cart_ ? cart_->loaded_slot : -1, cdb, len)) return *r;
  return std::nullopt;
}

std::optional<FaultRule> ChangerDrive::match_drive_fault(const std::uint8_t* cdb, std::size_t len) {
  if (FaultRule* r = fire(faults_, false, cart_ ? cart_->loaded_slot : -1, cdb, len)) return *r;
  return std::nullopt;
}

void ChangerDrive::set_write_protect(bool on) {
  std::lock_guard<std::mutex> g(mu_);
  cart_->write_protected = cart_->medium_write_protected = cart_->writes_refused = on;
  cart_->save();
}
void ChangerDrive::set_cartridge_write_protect(bool on) {
  std::lock_guard<std::mutex> g(mu_);
  cart_->write_protected = on;
  cart_->save();
}
void ChangerDrive::set_medium_write_protect(bool on) {
  std::lock_guard<std::mutex> g(mu_);
  cart_->medium_write_protected = on;
  cart_->save();
}
void ChangerDrive::set_write_refusal(bool on) {
  std::lock_guard<std::mutex> g(mu_);
  cart_->writes_refused = on;
  cart_->save();
}

DWORD ChangerDrive::remove_attribute(std::uint16_t id) {
  std::lock_guard<std::mutex> g(mu_);
  return cart_->remove_attribute(id);
}
DWORD ChangerDrive::add_defect(int slot, const DefectEntry& e) {
  std::lock_guard<std::mutex> g(mu_);
  return cart_->add_defect(slot, e);
}
DWORD ChangerDrive::set_write_resources(int slot, const WriteResources& r) {
  std::lock_guard<std::mutex> g(mu_);
  return cart_->set_write_resources(slot, r);
}

void ChangerDrive::set_mechanism_bits(std::uint8_t byte0_bits) {
  std::lock_guard<std::mutex> g(mu_);
  mechanism_bits_ = byte0_bits & 0xE0;
}

void ChangerDrive::set_reported_slot(int slot) {
  std::lock_guard<std::mutex> g(mu_);
  reported_slot_ = slot;
}

void ChangerDrive::unload() {
  std::lock_guard<std::mutex> g(mu_);
  record_cache();
  cart_->loaded_slot = -1;
  loading_left_ = 0;
  cart_->save();
}

DWORD ChangerDrive::load(int slot) {
  std::lock_guard<std::mutex> g(mu_);
  if (slot < 0 || slot >= cart_->slots()) return ERROR_INVALID_PARAMETER;
  record_cache();
  cart_->loaded_slot = slot;
  opc_since_load_ = false;
  loading_left_ = 0;
  return cart_->save();
}

void ChangerDrive::set_loading_commands(std::uint32_t commands) {
  std::lock_guard<std::mutex> g(mu_);
  config_.loading_commands = commands;
}

void ChangerDrive::inspect(const std::function<void(Cartridge&)>& look) {
  std::lock_guard<std::mutex> g(mu_);
  look(*cart_);
}

DWORD ChangerDrive::flush() {
  std::lock_guard<std::mutex> g(mu_);
  return cart_->save();
}

ChangerDrive::Observed ChangerDrive::observed() const {
  std::lock_guard<std::mutex> g(mu_);
  return observed_;
}

ScsiResult ChangerDrive::execute(const std::uint8_t* cdb, std::size_t cdb_length, const std::uint8_t* data_out,
                                 std::size_t data_out_length, std::vector<std::uint8_t>* data_in) {
  data_in->clear();
  if (cdb_length == 0 || !cdb) return check(kInvalidOpcode);
  std::lock_guard<std::mutex> g(mu_);
  if (auto s = state_answer(cdb[0])) return check(*s);
  if (auto f = match_drive_fault(cdb, cdb_length)) {
    if (f->kind == FaultRule::Kind::Sense) {
      note_result(cdb, cdb_length, f->sense, f->first_lba);
      return check(f->sense);
    }
    *data_in = f->data;
    if (auto alloc = cdb_allocation_length(cdb, cdb_length); alloc && data_in->size() > *alloc)
      data_in->resize(*alloc);
    return good();
  }
  Ctx c{cdb, cdb_length, data_out, data_out_length, data_in};
  ScsiResult r = run(c);
  if (r.check_condition) data_in->clear();
  if (r.check_condition) note_result(cdb, cdb_length, r.sense);
  else note_result(cdb, cdb_length, std::nullopt);
  return r;
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
  if (sense && sense->key != 0x03 && sense->key != 0x04) return;
  const bool failed = sense.has_value();
  if (cdb[0] == 0x2A) {
    std::uint32_t lba, count;
    lba_range(cdb, len, &lba, &count);
    if (!failed && count) {
      unsynced_.emplace_back(lba, lba + count);
      return;
    }
    if (failed) lose_unsynced(std::max(lba, first_bad), lba + count);
  } else if (cdb[0] == 0x35) {
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

ScsiResult ChangerDrive::run(Ctx& c) {
  const std::uint8_t op = c.cdb[0];
  const bool latest = latest_model();
  const std::size_t need = cdb_length_needed(op);
  if (need == 0) return check(kInvalidOpcode);
  if (c.len < need) return check(kInvalidField);
  switch (op) {
    case 0x00: return test_unit_ready(c);
    case 0x04: return format_unit(c);
    case 0x12: return inquiry(c);
    case 0x03: return request_sense(c);
    case 0x1B: return start_stop_unit(c);
    case 0x1E:                 // PREVENT ALLOW MEDIUM REMOVAL
      if (c.len >= 5) observed_.prevent_removal = (c.cdb[4] & 1) != 0;
      return good();
    case 0x23: return read_format_capacities(c);
    case 0x25: return read_capacity(c);
    case 0x28: return read10(c);
    case 0x2A: return write10(c);
    case 0x2F: return verify10(c);
    case 0x35: return sync_cache(c);
    case 0x4A: return get_event_status(c);
    case 0x51: return read_disc_information(c);
    case 0x52: return read_track_information(c);
    case 0x53: return reserve_track(c);
    case 0x55: return mode_select(c);
    case 0x5A: return mode_sense(c);
    case 0x5B: return close_track_session(c);
    case 0xA6: return load_unload(c);
    case 0xAC: return get_performance(c);
    case 0xAD: return read_disc_structure(c);
    case 0xBD: return mechanism_status(c);
    case 0xC3: return maintenance_read(c);
    case 0xC6:
      ++observed_.dfl_increments;
      return good();
    case 0xCF: return set_clock(c);
    case 0xD2: return reserve_write(c);
    case 0xD5: return opc_information(c);
    case 0x8C: return latest ? check(kInvalidOpcode) : read_attribute(c);
    case 0x8D: return latest ? check(kInvalidOpcode) : write_attribute(c);
    case 0xDA: return latest ? read_attribute(c) : check(kInvalidOpcode);
    case 0xDB: return latest ? write_attribute(c) : check(kInvalidOpcode);
    case 0xDC: return latest ? alarm_report(c) : check(kInvalidOpcode);
    case 0xE6: return latest ? check(kInvalidOpcode) : alarm_report(c);
    default: return check(kInvalidOpcode);
  }
}

// --- identification -------------------------------------------------------

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

ScsiResult ChangerDrive::test_unit_ready(Ctx&) {
  if (!loaded_disc()) return check(kNoMedium);
  return good();
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

ScsiResult ChangerDrive::load_unload(Ctx& c) {
  const std::uint8_t how = c.cdb[4] & 3;
  const int before = cart_->loaded_slot;
  if (how != 2 && how != 3) return check(kInvalidField);
  const int slot = how == 3 ? c.cdb[8] : -1;
  if (slot >= cart_->slots()) return check(kInvalidElement);
  record_cache();
  cart_->loaded_slot = slot;
  // The same disc put back is calibrated again, but nothing changed for the
  // host to be told.
  if (slot != before) disc_changed(before);
  else opc_since_load_ = false;
  cart_->save();
  return good();
}

// START STOP UNIT with LoEj: Start clear takes the disc out, Start set puts
// the disc taken out last back in. Without LoEj only the spindle starts or
// stops, which changes nothing the host sees.
ScsiResult ChangerDrive::start_stop_unit(Ctx& c) {
  const bool load_eject = (c.cdb[4] & 0x02) != 0, start = (c.cdb[4] & 0x01) != 0;
  if (!load_eject) return good();
  const int before = cart_->loaded_slot;
  const int after = !start ? -1 : before < 0 && last_unloaded_ >= 0 ? last_unloaded_ : before;
  if (after == before) return good();
  record_cache();
  cart_->loaded_slot = after;
  disc_changed(before);
  cart_->save();
  return good();
}

// --- capacity and information --------------------------------------------

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
  if (addr_type == 1) {
    if (number == 0) {
      // The invisible track: the first open one, started at its NWA.
      auto it = std::find_if(list.begin(), list.end(), [](const Track& x) { return x.writable(); });
      if (it == list.end()) return check(kInvalidField);
      t = *it;
      tno = static_cast<std::uint32_t>(it - list.begin()) + 1;
      t.size = t.end() - t.nwa;
      t.start = t.nwa;
    } else {
      if (number > list.size()) return check(kInvalidField);
      t = list[number - 1];
      tno = number;
    }
  } else if (addr_type == 0) {
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Track& x) { return number >= x.start && number < x.end(); });
    if (it == list.end()) return check(kLbaOutOfRange);
    t = *it;
    tno = static_cast<std::uint32_t>(it - list.begin()) + 1;
  } else if (addr_type == 2 && number == 1) {
    t = list.back();
    tno = static_cast<std::uint32_t>(list.size());
  } else {
    return check(kInvalidField);
  }

  auto& d = *c.in;
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
  return cut(&d, get_be16(c.cdb + 7));
}

// --- reading and writing ---------------------------------------------------

ScsiResult ChangerDrive::read10(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  std::uint32_t lba, count;
  lba_range(c.cdb, c.len, &lba, &count);
  if (static_cast<std::uint64_t>(lba) + count > cart_->disc_blocks()) return check(kLbaOutOfRange);
  if (!cart_->write_once() && !disc->formatted) return check(kUnformatted);
  if (torn(*disc, lba, lba + count)) return check(kUnrecordedRead);
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
  if (mend_torn(*disc, lba, end) && cart_->save() != ERROR_SUCCESS) return check(Sense{0x03, 0x0C, 0x00});
  if (cart_->write_blocks(cart_->loaded_slot, lba, count, c.out) != ERROR_SUCCESS)
    return check(Sense{0x03, 0x0C, 0x00});
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
  return kept == ERROR_SUCCESS ? good() : check(Sense{0x03, 0x0C, 0x00});
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

ScsiResult ChangerDrive::verify10(Ctx& c) {
  Disc* disc = loaded_disc();
  if (!disc) return check(kNoMedium);
  std::uint32_t lba, count;
  lba_range(c.cdb, c.len, &lba, &count);
  if (static_cast<std::uint64_t>(lba) + count > cart_->disc_blocks()) return check(kLbaOutOfRange);
  if (!cart_->write_once() && !disc->formatted) return check(kUnformatted);
  if (torn(*disc, lba, lba + count)) return check(kUnrecordedRead);
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
  if (cart_->save() != ERROR_SUCCESS) return check(Sense{0x03, 0x0C, 0x00});
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

// --- format, tracks, sessions ---------------------------------------------

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

// --- cartridge memory -----------------------------------------------------

ScsiResult ChangerDrive::read_attribute(Ctx& c) {
  const bool vendor = c.cdb[0] == 0xDA;
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
  const bool vendor = c.cdb[0] == 0xDB;
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

// --- mode pages ------------------------------------------------------------

ScsiResult ChangerDrive::mode_sense(Ctx& c) {
  const std::uint8_t page = c.cdb[2] & 0x3F;
  const std::uint16_t alloc = get_be16(c.cdb + 7);
  Disc* disc = loaded_disc();
  auto make_page = [&](std::uint8_t p) -> std::vector<std::uint8_t> {
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
  };
  std::vector<std::uint8_t> body;
  if (page == 0x3F) {
    for (std::uint8_t p : {0x01, 0x0A, 0x1C, 0x20, 0x21, 0x22}) {
      auto v = make_page(p);
      body.insert(body.end(), v.begin(), v.end());
    }
  } else {
    body = make_page(page);
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

// --- disc structures -------------------------------------------------------

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
    // Disc information: one 112-byte unit per layer, each beginning "DI",
    // with the first and last user-data address of its layer at unit
    // offsets 16 and 20.
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
  } else if (format == 0x08) {
    if (cart_->write_once() || !disc->formatted) return check(kUnformatted);
    // Disc definition structure.
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

ScsiResult ChangerDrive::get_event_status(Ctx& c) {
  auto& d = *c.in;
  const std::uint16_t alloc = get_be16(c.cdb + 7);
  const bool media = config_.media_events && (c.cdb[4] & 0x10) != 0;
  d.assign(media ? 8 : 4, 0);
  put_be16(d.data(), media ? 6 : 2);
  d[2] = media ? 0x04 : 0x80;  // the media class, or no event available
  d[3] = 0x10;                 // media class supported
  if (!media) return cut(c.in, alloc);
  MediaEvent e{0, std::max(cart_->loaded_slot, 0)};
  if (!events_.empty() && alloc >= d.size()) {
    e = events_.front();
    events_.pop_front();
  }
  d[4] = e.code;
  d[5] = loaded_disc() ? 0x02 : 0x00;  // disc present
  d[6] = d[7] = static_cast<std::uint8_t>(e.slot);
  return cut(c.in, alloc);
}

ScsiResult ChangerDrive::request_sense(Ctx& c) {
  ScsiResult r;
  if (attention_) {
    r.sense = *attention_;
    attention_.reset();
  } else if (!loaded_disc()) {
    r.sense = kNoMedium;
  } else if (loading_left_ > 0) {
    r.sense = kBecomingReady;
  }
  const auto bytes = r.sense_bytes();
  c.in->assign(bytes.begin(), bytes.end());
  return cut(c.in, c.cdb[4]);
}

ScsiResult ChangerDrive::opc_information(Ctx& c) {
  if (!loaded_disc()) return check(kNoMedium);
  c.in->assign(16, 0);
  put_be16(c.in->data(), cart_->opc_left(cart_->loaded_slot));
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
