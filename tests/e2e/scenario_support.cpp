#include "scenario_support.h"

#include "vds_structure.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace e2e {

namespace {

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint64_t be64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}
void put_be16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void put_be64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}

// Offsets in the 128-byte value of 1500h.
constexpr std::size_t kRollbackSequence = 42, kRollbackLocation = 44, kCheck = 126;

}  // namespace

// ---------------------------------------------------------------- transcript readers

std::vector<TranscriptEntry> commands_of(const std::vector<TranscriptEntry>& t, std::uint64_t sequence) {
  std::vector<TranscriptEntry> out;
  for (const auto& e : t)
    if (e.sequence == sequence && !e.cdb.empty()) out.push_back(e);
  return out;
}

bool is_slot_load(const TranscriptEntry& e) { return e.cdb.size() >= 9 && e.cdb[0] == 0xA6; }
int loaded_slot_of(const TranscriptEntry& e) { return is_slot_load(e) ? e.cdb[8] : -1; }

std::vector<BlocksRead> reads_since(const std::vector<TranscriptEntry>& t, std::size_t mark, int slot) {
  std::vector<BlocksRead> out;
  for (std::size_t i = mark; i < t.size(); ++i) {
    const TranscriptEntry& e = t[i];
    const bool good = e.answered && e.status == 0 && !e.check_condition;
    if (good && is_slot_load(e)) slot = (e.cdb[4] & 3) == 3 ? e.cdb[8] : -1;
    if (e.opcode() != 0x28 || e.cdb.size() < 10 || slot < 0) continue;
    const std::uint32_t first = static_cast<std::uint32_t>(e.cdb[2]) << 24 | e.cdb[3] << 16 | e.cdb[4] << 8 | e.cdb[5];
    const std::uint32_t count = static_cast<std::uint32_t>(e.cdb[7] << 8 | e.cdb[8]);
    if (count) out.push_back({slot, first, count});
  }
  return out;
}

std::vector<AttributeWrite> attribute_writes(const TranscriptEntry& e) {
  std::vector<AttributeWrite> out;
  const auto& p = e.parameter_list;
  if (e.opcode() != 0x8D || p.size() < 4) return out;
  const std::size_t end = std::min<std::size_t>(p.size(), 4 + (std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 |
                                                              std::size_t{p[2]} << 8 | p[3]));
  for (std::size_t at = 4; at + 5 <= end;) {
    const std::size_t len = be16(&p[at + 3]);
    if (at + 5 + len > end) break;
    out.push_back({be16(&p[at]), std::vector<std::uint8_t>(p.begin() + at + 5, p.begin() + at + 5 + len)});
    at += 5 + len;
  }
  return out;
}

std::vector<AttributeWrite> writes_of_attribute(const std::vector<TranscriptEntry>& t, std::uint16_t id) {
  std::vector<AttributeWrite> out;
  for (const auto& e : t)
    for (auto& w : attribute_writes(e))
      if (w.id == id) out.push_back(w);
  return out;
}

bool is_sdk_command(const TranscriptEntry& e) { return !e.cdb.empty() && e.sense_capacity == 18; }

bool changes_medium(const TranscriptEntry& e) {
  switch (e.opcode()) {
    case 0x2A: case 0x8D: case 0xDB: case 0x04: case 0x53: case 0x5B: case 0x35: case 0xA6:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------- cartridge memory and images

int last_written_slot(kelsim::Cartridge& c) {
  auto it = c.attributes.find(0x0D00);
  if (it == c.attributes.end() || it->second.value.empty()) return -1;
  int v = 0;
  for (std::uint8_t b : it->second.value) v = v << 8 | b;
  return v;
}

bool CartridgeView::resources_spent(int slot) const {
  const kelsim::Disc& d = discs.at(static_cast<std::size_t>(slot));
  const int opc_left = opc_count - d.opc_used;
  return write_once && (d.pow.map_entries <= 256 || d.pow.updates <= 100 || opc_left <= 8);
}

std::uint32_t CartridgeView::used_blocks(int slot) const {
  const kelsim::Disc& d = discs.at(static_cast<std::size_t>(slot));
  return write_once ? (d.tracks.empty() ? 0 : d.tracks.front().nwa) : d.highest_written;
}

CartridgeView view_of(kelsim::ChangerDrive& drive) {
  CartridgeView v;
  drive.inspect([&](kelsim::Cartridge& c) {
    v.discs = c.discs_;
    v.last_written = last_written_slot(c);
    v.disc_blocks = c.disc_blocks();
    v.opc_count = c.opc_count;
    v.write_once = c.write_once();
  });
  return v;
}

std::uint16_t crc16_xmodem(const std::uint8_t* p, std::size_t n) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= static_cast<std::uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) crc = static_cast<std::uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
  }
  return crc;
}

void retag_descriptor(std::uint8_t* d) {
  const std::size_t crc_len = d[10] | d[11] << 8;
  const std::uint16_t crc = crc16_xmodem(d + 16, std::min<std::size_t>(crc_len, kelsim::kBlockSize - 16));
  d[8] = static_cast<std::uint8_t>(crc);
  d[9] = static_cast<std::uint8_t>(crc >> 8);
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<std::uint8_t>(sum + d[i]);
  d[4] = sum;
}

bool read_backtrack_record(kelsim::Cartridge& c, BacktrackRecord* out) {
  auto it = c.attributes.find(0x1500);
  if (it == c.attributes.end() || it->second.value.size() < 128) return false;
  const std::uint8_t* v = it->second.value.data();
  out->sequence = be16(v + kRollbackSequence);
  out->location = be64(v + kRollbackLocation);
  out->check = be16(v + kCheck);
  out->check_valid = crc16_xmodem(v, 126) == out->check;
  return true;
}

void write_policy4_record(kelsim::SimHarness& sim, std::uint32_t slot, std::uint32_t metadata_fe_lsn,
                          std::uint32_t fsd_lsn, bool break_check) {
  (void)sim.drive().observed();  // after the commands served so far
  auto& a = sim.cartridge().attributes[0x1500];
  ASSERT_GE(a.value.size(), 128u) << "no backtrack record to write";
  std::uint8_t* v = a.value.data();
  put_be16(v + kRollbackSequence, static_cast<std::uint16_t>(slot + 1));
  put_be64(v + kRollbackLocation, std::uint64_t{metadata_fe_lsn} << 32 | fsd_lsn);
  put_be16(v + kCheck, static_cast<std::uint16_t>(crc16_xmodem(v, 126) ^ (break_check ? 0x5A5A : 0)));
  ASSERT_EQ(0u, sim.drive().flush());
}

std::uint16_t tag_of_block(kelsim::Cartridge& c, int slot, std::uint32_t lsn) {
  std::uint8_t b[kelsim::kBlockSize];
  if (c.read_blocks(slot, lsn, 1, b) != 0) return 0;
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<std::uint8_t>(sum + b[i]);
  if (sum != b[4]) return 0;
  return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::vector<int> written_slots(kelsim::Cartridge& c) {
  std::vector<int> out;
  for (int s = 0; s < c.slots(); ++s) {
    const kelsim::Disc& d = c.disc(s);
    // A rewritable disc comes formatted: only what was written counts.
    if ((c.write_once() && d.status != kelsim::DiscStatus::Blank) || d.highest_written > 0) out.push_back(s);
  }
  return out;
}

// ---------------------------------------------------------------- the fixture

kelsim::Cartridge& Scenario::cartridge() {
  settle();
  return sim_->cartridge();
}

// The drive's lock taken and given back: what the drive's commands did
// before is ordered before what follows, and what the test did with the
// cartridge before is ordered before the commands to come (every request
// to the engine settles first).
void Scenario::settle() {
  if (sim_) (void)sim_->drive().observed();
}

DWORD Scenario::save_cartridge() { return sim_->drive().flush(); }

bool ends_request(const EngineElement& e) {
  return e.name == "KelSuccess" || e.name == "HRESULT" || e.name == "KelVolume" || e.name == "KelSync" ||
         (e.name == "KelDirent" && e.attribute("ObjectName").empty()) ||
         (e.name == "KelRollbackInfo" && e.attribute("MetaDataFE_LSN") == "0" && e.attribute("FsdLsn") == "0");
}

std::uint64_t number(const EngineElement& e, const std::string& key) {
  const std::string v = e.attribute(key);
  return v.empty() ? 0 : std::stoull(v);
}

std::unique_ptr<kelsim::EngineProcess> start_engine(kelsim::SimHarness& sim, const std::string& cache,
                                                    std::vector<std::pair<std::string, std::uint32_t>> dwords,
                                                    std::vector<std::pair<std::string, std::string>> strings) {
  kelsim::EngineProcessOptions o;
  o.program = KEL_DRIVER_PROGRAM;
  o.cache_directory = cache;
  o.registry_dwords = std::move(dwords);
  o.registry_strings = std::move(strings);
  auto engine = std::make_unique<kelsim::EngineProcess>(sim, o);
  EXPECT_TRUE(engine->started()) << engine->error();
  return engine;
}

void Scenario::TearDown() {
  engine_.reset();
  sim_.reset();
}

void Scenario::make_sim(const ScenarioOptions& so) {
  engine_.reset();
  sim_.reset();
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = so.medium_type;
  o.cartridge.slots = so.slots;
  o.cartridge.disc_blocks = so.disc_blocks;
  o.cartridge.medium_serial = "E2E SCENARIO 0001";
  o.drive.product = so.product;
  o.drive.error_reporting_threshold = so.error_reporting_threshold;
  o.cartridge_source = so.cartridge_source;
  sim_ = std::make_unique<kelsim::SimHarness>(o);
  watch_writes();
  cache_ = sim_->directory() + "/cache";
  std::filesystem::create_directories(cache_);
}

// Requests with a WRITE(10) the drive took and could still lose: no good
// SYNCHRONIZE CACHE after it yet, nor, once a power cut emptied the drive's
// cache (its unit attention 06/29/00), a good READ(10) of its blocks, which
// then come from the medium.
void Scenario::watch_writes() {
  auto watch = std::make_shared<UnsyncedWrites>();
  unsynced_ = watch;
  kelsim::ChangerDrive* drive = &sim_->drive();
  sim_->service().set_request_logger([watch, drive](const kelsim::TranscriptEntry& e) {
    const bool good = e.answered && e.status == 0 && !e.check_condition;
    const std::uint32_t first = e.cdb.size() >= 9 ? kelsim::get_be32(&e.cdb[2]) : 0;
    const std::uint32_t end = e.cdb.size() >= 9 ? first + kelsim::get_be16(&e.cdb[7]) : 0;
    std::lock_guard<std::mutex> g(watch->mu);
    if (good && e.opcode() == 0x2A) watch->writes[e.sequence].push_back({first, end, false});
    if (good && e.opcode() == 0x35) watch->writes.clear();
    if (good && e.opcode() == 0x35 && watch->at_next_sync) {
      watch->added = drive->add_fault(*watch->at_next_sync);
      watch->at_next_sync.reset();
    }
    if (e.check_condition && e.sense == kelsim::Sense{0x06, 0x29, 0x00})
      for (auto& [seq, ranges] : watch->writes)
        for (auto& r : ranges) r.cache_lost = true;
    if (!good || e.opcode() != 0x28) return;
    for (auto it = watch->writes.begin(); it != watch->writes.end();) {
      std::erase_if(it->second, [&](const auto& r) { return r.cache_lost && r.first >= first && r.end <= end; });
      it = it->second.empty() ? watch->writes.erase(it) : std::next(it);
    }
  });
}

void Scenario::add_fault_at_next_sync(const kelsim::FaultRule& rule) {
  std::lock_guard<std::mutex> g(unsynced_->mu);
  unsynced_->at_next_sync = rule;
  unsynced_->added = -1;
}

int Scenario::stop_waiting_for_sync() {
  std::lock_guard<std::mutex> g(unsynced_->mu);
  unsynced_->at_next_sync.reset();
  const int id = unsynced_->added;
  unsynced_->added = -1;
  return id;
}

// Queries write nothing of their own: a packed session's writes made while
// one is served are synced when the session ends.
bool Scenario::changes_volume(const std::string& opcode) {
  static const std::set<std::string> queries{"GetVolumeInfo", "ReadDirectory", "Restore", "GetRollbackInfo",
                                             "Recognise", "Verify"};
  return queries.count(opcode) == 0;
}

void Scenario::expect_synced_before_answer(std::uint64_t seq, const std::string& what) {
  if (!unsynced_) return;
  std::lock_guard<std::mutex> g(unsynced_->mu);
  EXPECT_EQ(unsynced_->writes.count(seq), 0u)
      << what << " was answered before a good SYNCHRONIZE CACHE of its last WRITE(10), or a read of its blocks "
      << "from the medium after a power cut";
}

void Scenario::make_sim(std::uint8_t medium_type, const char* product, std::uint8_t slots,
                        std::uint32_t disc_blocks) {
  ScenarioOptions o;
  o.medium_type = medium_type;
  o.product = product;
  o.slots = slots;
  o.disc_blocks = disc_blocks;
  make_sim(o);
}

std::string medium_setup_name(const MediumSetup& s, bool with_product) {
  char b[48];
  if (with_product)
    std::snprintf(b, sizeof b, "%02X_%s_%s", s.type, s.product, s.packed ? "Packed" : "Unpacked");
  else
    std::snprintf(b, sizeof b, "%02X_%s", s.type, s.packed ? "Packed" : "Unpacked");
  std::string name = b;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

void PrintTo(const MediumSetup& s, std::ostream* os) {
  char b[48];
  std::snprintf(b, sizeof b, "%02Xh on %s, %s", s.type, s.product, s.packed ? "packed" : "unpacked");
  *os << b;
}

void MediumScenario::SetUp() {
  ScenarioOptions o;
  o.medium_type = GetParam().type;
  o.product = GetParam().product;
  make_sim(o);
  dwords_ = {{"Packed Write Mode", GetParam().packed ? 1u : 0u}};
}

void Scenario::start(const Attributes&) {
  settle();
  engine_ = start_engine(*sim_, cache_, dwords_, strings_);
}

std::vector<std::string> trace_lines(const std::string& directory, const std::string& text) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(directory, ec)) {
    if (f.path().filename().string().rfind("KELtrace_", 0) != 0) continue;
    std::ifstream in(f.path());
    for (std::string line; std::getline(in, line);)
      if (line.find(text) != std::string::npos) out.push_back(line);
  }
  return out;
}

void Scenario::start_with(std::vector<std::pair<std::string, std::uint32_t>> dwords) {
  dwords_ = std::move(dwords);
  start();
}

std::vector<EngineElement> Scenario::ask(const std::string& opcode, const Attributes& attributes) {
  settle();
  const std::uint64_t seq = ++sequence_;
  auto answers = engine_->request(kelsim::request_line(seq, opcode, attributes), ends_request);
  if (answers.empty() || !ends_request(answers.back())) ADD_FAILURE() << opcode << "\n" << engine_->describe();
  else if (answers.back().name != "HRESULT" && changes_volume(opcode)) expect_synced_before_answer(seq, opcode);
  return answers;
}

EngineElement Scenario::ask_one(const std::string& opcode, const std::string& expect, const Attributes& attributes) {
  auto answers = ask(opcode, attributes);
  if (answers.empty() || answers.back().name != expect) {
    ADD_FAILURE() << opcode << " answered " << (answers.empty() ? "nothing" : answers.back().raw) << "\n"
                  << engine_->describe();
    return EngineElement{};
  }
  return answers.back();
}

void Scenario::check_mounts() { ask_one("Check", "KelVolume"); }

void Scenario::start_checked(bool emptied) {
  if (emptied) empty_cache();
  start();
  check_mounts();
}

void Scenario::mkdir(const std::string& path) {
  ask_one("CreateDirectory", "KelVolume",
          {{"Name", kelsim::escape_name(path)}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
}

EngineElement Scenario::sync(const std::string& reason, const std::string& expect) {
  return ask_one("Sync", expect, {{"Reason", reason}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
}

std::map<std::string, std::uint64_t> Scenario::listed_sizes(const std::string& folder) {
  std::map<std::string, std::uint64_t> out;
  for (const auto& e : ask("ReadDirectory", {{"Name", kelsim::escape_name(folder)}}))
    if (e.name == "KelDirent") out[kelsim::unescape_name(e.attribute("ObjectName"))] = number(e, "Size");
  return out;
}

std::set<std::string> Scenario::listing(const std::string& path) {
  std::set<std::string> names;
  for (const auto& e : ask("ReadDirectory", {{"Name", kelsim::escape_name(path)}})) {
    if (e.name != "KelDirent") {
      ADD_FAILURE() << "listing of " << path << ": " << e.raw;
      continue;
    }
    const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
    if (!name.empty()) names.insert(name);
  }
  return names;
}

std::vector<EngineElement> Scenario::rollback_info() {
  std::vector<EngineElement> points;
  for (const auto& e : ask("GetRollbackInfo")) {
    if (e.name == "KelRollbackInfo") points.push_back(e);
    else ADD_FAILURE() << "GetRollbackInfo answered " << e.raw << "\n" << engine_->describe();
  }
  return points;
}

EngineElement Scenario::rollback_mount(std::uint32_t slot, std::uint32_t fe, std::uint32_t fsd,
                                       const std::string& expect) {
  return ask_one("RollbackMount", expect,
                 {{"SlotNumber", std::to_string(slot)},
                  {"MetaDataFE_LSN", std::to_string(fe)},
                  {"FsdLsn", std::to_string(fsd)}});
}

void Scenario::unmount() {
  settle();
  const std::uint64_t seq = ++sequence_;
  auto answers = engine_->request(kelsim::request_line(seq, "UnmountVolume"),
                                  [](const EngineElement& e) { return e.name == "Shutdown"; });
  ASSERT_FALSE(answers.empty()) << engine_->describe();
  EXPECT_EQ(answers.back().name, "Shutdown") << engine_->describe();
  EXPECT_EQ(engine_->wait_exit(), 0) << engine_->describe();
  engine_.reset();
}

std::vector<EngineElement> Scenario::check_with_unreadable_block(int slot, std::uint32_t lsn, int* fault) {
  kelsim::FaultRule r = kelsim::read_error(lsn, lsn);
  r.slot = slot;
  *fault = sim_->drive().add_fault(r);
  empty_cache();
  start();
  return ask("Check");
}

kelsim::ExchangeResult Scenario::archive_file(const std::string& name, std::size_t bytes, int seed) {
  auto res = try_archive_file(name, bytes, seed);
  EXPECT_TRUE(res.ok) << name << ": " << (res.last() ? res.last()->raw : res.error) << "\n" << engine_->describe();
  return res;
}

kelsim::ExchangeResult Scenario::try_archive_file(const std::string& name, std::size_t bytes, int seed) {
  std::string data(bytes, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131 + seed * 7 + i / 4096) & 0xFF);
  const std::string local = sim_->directory() + "/archive-in";
  std::ofstream(local, std::ios::binary | std::ios::trunc) << data;
  archived_[name] = data;
  kelsim::ArchiveRequest r;
  r.name = name;
  settle();
  auto res = engine_->archive(++sequence_, local, r);
  if (res.ok) expect_synced_before_answer(sequence_, "Archive " + name);
  return res;
}

void Scenario::expect_restores(const std::string& name) {
  kelsim::RestoreRequest r;
  r.name = name;
  const std::string local = sim_->directory() + "/restore-out";
  settle();
  const auto res = engine_->restore(++sequence_, r, local);
  ASSERT_TRUE(res.ok) << name << ": " << (res.last() ? res.last()->raw : res.error) << "\n" << engine_->describe();
  std::ifstream in(local, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(in)), {});
  EXPECT_TRUE(got == archived_[name]) << name << ": " << got.size() << " bytes restored, "
                                      << archived_[name].size() << " archived";
}

void Scenario::kill_engine() {
  if (!engine_) return;
  ::kill(engine_->pid(), SIGKILL);
  EXPECT_EQ(engine_->wait_exit(), 128 + SIGKILL);
  engine_.reset();
}

void Scenario::empty_cache() {
  std::filesystem::remove_all(cache_);
  std::filesystem::create_directories(cache_);
}

bool Scenario::kill_during_request(std::size_t index, const std::function<void()>& request, TranscriptEntry* held,
                                   std::optional<std::uint8_t> only, int slot) {
  kelsim::FaultRule hold = kelsim::delay_answer(24ull * 3600 * 1000, only);
  hold.times = 1;
  hold.skip = static_cast<int>(index);
  hold.slot = slot;
  const int id = sim_->drive().add_fault(hold);
  const std::uint64_t before = sim_->service().held();
  settle();
  std::atomic<bool> ended{false};
  std::thread worker([&] {
    if (request) request();
    ended = true;
  });
  // The request either reaches the command (its answer is then held) or
  // ends before it.
  bool reached = false;
  while (!reached && !ended) reached = sim_->service().wait_for_held(before + 1, 20);
  sim_->drive().remove_fault(id);
  if (reached && held) *held = sim_->service().last_held();
  ::kill(engine_->pid(), SIGKILL);
  worker.join();
  EXPECT_EQ(engine_->wait_exit(), 128 + SIGKILL);
  engine_.reset();
  sim_->service().release_held();
  return reached;
}

bool Scenario::power_cut_during(std::size_t at, std::uint32_t keep, const std::function<bool(bool cut_came)>& next) {
  kelsim::FaultRule cut = kelsim::power_cut_at(std::nullopt, keep);
  cut.skip = static_cast<int>(at);
  cut.times = 1;
  settle();
  const int id = sim_->drive().add_fault(cut);
  while (next(sim_->drive().fault_fired(id) > 0)) {
  }
  const bool fired = sim_->drive().fault_fired(id) > 0;
  sim_->drive().remove_fault(id);
  return fired;
}

bool Scenario::kill_at_command(const std::string& opcode, const Attributes& attributes, std::size_t index,
                               TranscriptEntry* held, std::optional<std::uint8_t> only) {
  const std::string line = kelsim::request_line(++sequence_, opcode, attributes);
  return kill_during_request(index, [&] { engine_->request(line, ends_request); }, held, only);
}

// udfinfo and the UDF code's structure rules on each slot image.
void Scenario::expect_sound_slots(const std::vector<int>& slots, const std::vector<std::string>& lines) {
  EXPECT_FALSE(slots.empty());
  if (engine_) ADD_FAILURE() << "the slot checks read the discs while the engine runs";
  for (int s : slots) {
    char name[32];
    std::snprintf(name, sizeof name, "/slot-%02d.img", s);
    SCOPED_TRACE(name);
    expect_udfinfo(sim_->cartridge_directory() + name, lines);
    EXPECT_EQ(vds_structure_verdict(*sim_, s), "");
  }
}

void Scenario::expect_udfinfo_on_written_slots(const std::vector<std::string>& lines) {
  expect_sound_slots(written_slots(cartridge()), lines);
}

void Scenario::expect_udfinfo_on_slots_up_to(int last) {
  std::vector<int> slots;
  for (int s : written_slots(cartridge()))
    if (s <= last) slots.push_back(s);
  expect_sound_slots(slots, {});
}

void Scenario::expect_sound_cartridge(const std::vector<std::pair<std::string, std::set<std::string>>>& expected,
                                      const std::vector<std::string>& files) {
  if (engine_) unmount();
  ASSERT_EQ(0u, sim_->drive().flush());
  expect_udfinfo_on_written_slots();
  const std::string fresh = sim_->directory() + "/cache-fresh";
  std::filesystem::remove_all(fresh);
  std::filesystem::create_directories(fresh);
  engine_ = start_engine(*sim_, fresh, {});
  check_mounts();
  for (const auto& [path, names] : expected) EXPECT_EQ(listing(path), names) << path << " with an emptied cache";
  for (const auto& f : files) expect_restores(f);
  unmount();
}

}  // namespace e2e
