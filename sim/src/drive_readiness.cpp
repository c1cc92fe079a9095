// Readiness and media events of the simulated drive: what it answers at
// power-on and after a disc change (unit attentions, a disc becoming
// ready), the media events GET EVENT STATUS NOTIFICATION reports, the
// commands that change the disc (LOAD/UNLOAD, START STOP UNIT) and those
// that ask about readiness (TEST UNIT READY, REQUEST SENSE), and the calls
// a test makes to change the disc without the drive telling.
#include "drive_internal.h"

#include <algorithm>

namespace kelsim {

namespace {

// Media event codes of GET EVENT STATUS NOTIFICATION (MMC).
constexpr std::uint8_t kNewMedia = 2;
constexpr std::uint8_t kMediaRemoval = 3;
constexpr std::size_t kMaxEvents = 8;

}  // namespace

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
std::optional<Sense> ChangerDrive::state_answer(std::uint8_t opcode) {
  const DriveCommand* command = DriveCommand::find(opcode);
  if (attention_ && !(command && command->passes_attention)) {
    const Sense s = *attention_;
    attention_.reset();
    return s;
  }
  if (loading_left_ == 0 || !(command && command->needs_medium) || !loaded_disc()) return std::nullopt;
  if (--loading_left_ == 0 && config_.attention_after_load && !attention_) attention_ = kMediumMayHaveChanged;
  return kBecomingReady;
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

ScsiResult ChangerDrive::test_unit_ready(Ctx&) {
  if (!loaded_disc()) return check(kNoMedium);
  return good();
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

}  // namespace kelsim
