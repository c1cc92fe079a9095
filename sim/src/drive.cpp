// The simulated changer drive's core: making a drive, running one command
// (the drive's own state first, then an injected fault, then the command's
// entry in the command table), and the calls a test makes between commands
// to change or look at the drive and its cartridge. The rest of the drive
// is in the files beside this one:
//   drive_command_table.cpp   the table of commands
//   drive_readiness.cpp       readiness, disc changes and media events
//   drive_write_cache.cpp     the write cache, its loss and the power cut
//   drive_faults.cpp          the fault rules a test injects
//   drive_*_commands.cpp      the command handlers, by what they touch
#include "drive_internal.h"

#include <cstdio>
#include <filesystem>
#include <functional>

namespace kelsim {

const char* const kDriveModels[8] = {"PXO-U2",    "QMR-T10A",  "QMR-T20A",  "QMR-T20B",
                                     "QMR-T300A", "QMR-T300B", "QMR-T400A", "QMR-T400B"};

std::array<std::uint8_t, 18> ScsiResult::sense_bytes() const {
  std::array<std::uint8_t, 18> s{};
  s[0] = 0x70;
  s[2] = sense.key & 0x0F;
  s[7] = 0x0A;
  s[12] = sense.asc;
  s[13] = sense.ascq;
  return s;
}

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

// Runs a command by its entry in the command table: an opcode the drive or
// this model does not know is refused, and so is a CDB shorter than its
// command.
ScsiResult ChangerDrive::run(Ctx& c) {
  const DriveCommand* command = DriveCommand::find(c.cdb[0]);
  if (!command) return check(kInvalidOpcode);
  if (c.len < command->cdb_length) return check(kInvalidField);
  const bool latest = latest_model();
  if ((command->models == Models::Latest && !latest) || (command->models == Models::Older && latest))
    return check(kInvalidOpcode);
  return (this->*command->handler)(c);
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

}  // namespace kelsim
