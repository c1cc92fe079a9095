// The fault rules a test injects into the simulated drive: the makers of
// the common rules, how a rule matches a command (operation code, block
// range, mode page, the loaded slot) and fires (after `skip` matches, for
// `times` times), and which rules the service answers for (transport
// status, a dropped connection, a delay, a power cut) rather than the drive.
#include "drive_internal.h"

namespace kelsim {

namespace {

// Whether a rule's command, block range and mode page match a CDB.
bool rule_matches(const FaultRule& r, const std::uint8_t* cdb, std::size_t len) {
  if (len == 0) return false;
  if (r.opcode && *r.opcode != cdb[0]) return false;
  if (r.mode_page && (cdb[0] != op::kModeSense10 || len < 9 || (cdb[2] & 0x3F) != *r.mode_page)) return false;
  if (r.mode_length && (cdb[0] != op::kModeSense10 || len < 9 || get_be16(cdb + 7) != *r.mode_length)) return false;
  const bool ranged = r.first_lba != 0 || r.last_lba != 0xFFFFFFFFu;
  if (ranged) {
    const DriveCommand* command = DriveCommand::find(cdb[0]);
    if (!command || !command->lba.present()) return false;
    std::uint32_t first, count;
    lba_range(cdb, len, &first, &count);
    // SYNCHRONIZE CACHE of 0 blocks covers the medium from its block on.
    const std::uint64_t last = count ? static_cast<std::uint64_t>(first) + count - 1
                               : cdb[0] == op::kSynchronizeCache ? 0xFFFFFFFFull : first;
    if (last < r.first_lba || first > r.last_lba) return false;
  }
  return true;
}

bool is_service_kind(FaultRule::Kind k) {
  return k != FaultRule::Kind::Sense && k != FaultRule::Kind::ReplaceData;
}

// Consumes one firing of the first live rule of the wanted class.
FaultRule* fire(std::map<int, FaultRule>& faults, bool service, int loaded, const std::uint8_t* cdb,
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

FaultRule rule_of(FaultRule::Kind kind, std::optional<std::uint8_t> opcode) {
  FaultRule r;
  r.kind = kind;
  r.opcode = opcode;
  return r;
}

FaultRule sense_rule(std::uint8_t opcode, Sense s) {
  FaultRule r = rule_of(FaultRule::Kind::Sense, opcode);
  r.sense = s;
  return r;
}

}  // namespace

FaultRule read_error(std::uint32_t first, std::uint32_t last, Sense s) {
  FaultRule r = sense_rule(op::kRead10, s);
  r.first_lba = first;
  r.last_lba = last;
  return r;
}
FaultRule write_error(std::uint32_t first, std::uint32_t last, Sense s) {
  FaultRule r = sense_rule(op::kWrite10, s);
  r.first_lba = first;
  r.last_lba = last;
  return r;
}
FaultRule command_fails(std::uint8_t opcode, Sense s) { return sense_rule(opcode, s); }
FaultRule transport_status(std::int32_t status, std::optional<std::uint8_t> opcode) {
  FaultRule r = rule_of(FaultRule::Kind::TransportStatus, opcode);
  r.status = status;
  return r;
}
FaultRule drop_connection(std::optional<std::uint8_t> opcode) {
  return rule_of(FaultRule::Kind::DropConnection, opcode);
}
FaultRule delay_answer(std::uint64_t ms, std::optional<std::uint8_t> opcode) {
  FaultRule r = rule_of(FaultRule::Kind::Delay, opcode);
  r.delay_ms = ms;
  return r;
}
FaultRule replace_answer(std::uint8_t opcode, std::vector<std::uint8_t> data) {
  FaultRule r = rule_of(FaultRule::Kind::ReplaceData, opcode);
  r.data = std::move(data);
  return r;
}
FaultRule power_cut_at(std::optional<std::uint8_t> opcode, std::uint32_t keep_blocks) {
  FaultRule r = rule_of(FaultRule::Kind::PowerCut, opcode);
  r.keep_blocks = keep_blocks;
  return r;
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

std::optional<FaultRule> ChangerDrive::take_service_fault(const std::uint8_t* cdb, std::size_t len) {
  std::lock_guard<std::mutex> g(mu_);
  if (FaultRule* r = fire(faults_, true, cart_ ? cart_->loaded_slot : -1, cdb, len)) return *r;
  return std::nullopt;
}

std::optional<FaultRule> ChangerDrive::match_drive_fault(const std::uint8_t* cdb, std::size_t len) {
  if (FaultRule* r = fire(faults_, false, cart_ ? cart_->loaded_slot : -1, cdb, len)) return *r;
  return std::nullopt;
}

}  // namespace kelsim
