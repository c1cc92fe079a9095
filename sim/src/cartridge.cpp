#include "sim/cartridge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelsim {
namespace {

constexpr const char* kStateFile = "cartridge.state";
constexpr const char* kJournalFile = "cartridge.journal";
constexpr std::uint32_t kJournalMagic = 0x4B4A4E4Cu;

#pragma pack(push, 1)
struct JournalRecord {
  std::uint32_t magic;
  std::uint8_t slot;
  std::uint8_t what;
  std::uint16_t index;
  std::uint32_t value;
  std::uint32_t generation;  // of the state file it follows
  std::uint32_t check;       // detects a record torn by a crash
};
#pragma pack(pop)
static_assert(sizeof(JournalRecord) == 20, "journal record is 20 bytes");

std::uint32_t journal_check(const JournalRecord& r) {
  return ~(r.magic ^ (static_cast<std::uint32_t>(r.slot) | static_cast<std::uint32_t>(r.what) << 8 |
                      static_cast<std::uint32_t>(r.index) << 16) ^ r.value * 2654435761u ^ r.generation * 40503u);
}
constexpr const char* kStateMagic = "kelsim-cartridge 1";

std::string hex(const std::vector<std::uint8_t>& v) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (auto b : v) {
    s += d[b >> 4];
    s += d[b & 15];
  }
  return s.empty() ? "-" : s;
}

bool unhex(const std::string& s, std::vector<std::uint8_t>* out) {
  out->clear();
  if (s == "-") return true;
  if (s.size() % 2) return false;
  for (std::size_t i = 0; i < s.size(); i += 2) {
    auto nib = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int h = nib(s[i]), l = nib(s[i + 1]);
    if (h < 0 || l < 0) return false;
    out->push_back(static_cast<std::uint8_t>(h << 4 | l));
  }
  return true;
}

std::string image_name(int slot) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "slot-%02d.img", slot);
  return buf;
}

std::vector<std::uint8_t> unique_id_for(const std::string& prefix, int slot) {
  // 12 characters of the prefix and the slot in two digits.
  std::string s = prefix.substr(0, 12);
  s.resize(12, ' ');
  char d[8];
  std::snprintf(d, sizeof(d), "%02d", slot % 100);
  s += d;
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

}  // namespace

DefectEntry defect_at(std::uint32_t lsn, std::uint32_t clusters) {
  DefectEntry e;
  e.psn = kFirstUserPsn + lsn;
  if (clusters) {
    e.status = 4;
    e.low = clusters & 0x07FFFFFFu;
  }
  return e;
}

bool is_write_once_type(std::uint8_t t) {
  return t == 0xE1 || t == 0xE3 || t == 0xE5 || t == 0xE7 || t == 0xF1 || t == 0xF2;
}
bool is_rewritable_type(std::uint8_t t) {
  return t == 0x53 || t == 0xE2 || t == 0xE4 || t == 0xE6 || t == 0xE8;
}
bool is_type2_cartridge(std::uint8_t t) { return t == 0xF1 || t == 0xF2 || t == 0xE5; }

WriteResources default_write_resources(std::uint8_t) { return {0x1000, 0x1000, 0x1000}; }

std::uint32_t cluster_blocks(std::uint8_t medium_type) { return medium_type == 0xF2 ? 128 : 32; }

std::map<std::uint16_t, Attribute> blank_cartridge_attributes(std::uint8_t medium_type, const std::string& serial,
                                                              std::uint8_t last_slot) {
  std::map<std::uint16_t, Attribute> a;
  a[0x0007] = {0, {0x00, 0x01}};
  std::string s = serial.substr(0, 32);
  s.resize(32, ' ');
  a[0x0401] = {1, std::vector<std::uint8_t>(s.begin(), s.end())};
  a[0x0408] = {0, {0x00}};
  a[0x0409] = {0, {0x00, 0x00}};
  a[0x0D00] = {0, {last_slot}};
  a[0x0D01] = {0, {0x00}};
  a[0x0D02] = {0, {0x00}};
  a[0x0D03] = {0, {0x00}};
  const bool t2 = is_type2_cartridge(medium_type);
  a[0x1100] = {0, {static_cast<std::uint8_t>(t2 ? 2 : 1)}};
  a[0x1101] = {0, {0x01}};
  a[0x1102] = {0, {static_cast<std::uint8_t>(t2 ? 11 : 12)}};
  return a;
}

DWORD Cartridge::create(const std::string& dir, const CartridgeSetup& setup, std::shared_ptr<Cartridge>* out) {
  out->reset();
  const std::uint8_t t = setup.medium_type;
  if (!is_write_once_type(t) && !is_rewritable_type(t)) return ERROR_INVALID_PARAMETER;
  std::uint8_t slots = setup.slots ? setup.slots : static_cast<std::uint8_t>(is_type2_cartridge(t) ? 11 : 12);
  if (slots == 0 || slots > 100 || setup.loaded_slot >= slots) return ERROR_INVALID_PARAMETER;
  std::uint64_t blocks = (static_cast<std::uint64_t>(setup.disc_blocks) + 31) / 32 * 32;
  // The smallest disc that holds the initial volume of either medium class.
  if (blocks < 0x2000 || blocks > 0x7FFFFFE0u) return ERROR_INVALID_PARAMETER;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return ERROR_PATH_NOT_FOUND;
  if (std::filesystem::exists(dir + "/" + kStateFile)) return ERROR_ALREADY_EXISTS;

  std::shared_ptr<Cartridge> c(new Cartridge());
  c->dir_ = dir;
  c->medium_type_ = t;
  c->blocks_ = static_cast<std::uint32_t>(blocks);
  std::string serial = setup.medium_serial;
  if (serial.empty()) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "KSIM%08X",
                  static_cast<unsigned>(std::hash<std::string>{}(std::filesystem::absolute(dir).string())));
    serial = buf;
  }
  c->attributes = blank_cartridge_attributes(t, serial, setup.loaded_slot);
  c->opc_count = setup.opc_count;
  const WriteResources fresh = default_write_resources(t);
  c->discs_.resize(slots);
  for (int i = 0; i < slots; ++i) {
    Disc& d = c->discs_[i];
    d.pow = {setup.pow_replacements.value_or(fresh.replacements), setup.pow_map_entries.value_or(fresh.map_entries),
             setup.pow_updates.value_or(fresh.updates)};
    d.unique_id = unique_id_for(setup.unique_id_prefix.empty() ? serial : setup.unique_id_prefix, i);
    if (c->write_once()) {
      d.tracks.push_back(Track{0, c->blocks_, 0, false, false});
    } else if (setup.rewritable_formatted) {
      d.formatted = true;  // as FORMAT UNIT leaves it
      d.status = DiscStatus::Complete;
    }
    const std::string img = dir + "/" + image_name(i);
    int fd = ::open(img.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ERROR_CANTWRITE;
    if (::ftruncate(fd, static_cast<off_t>(blocks) * kBlockSize) != 0) {
      ::close(fd);
      return ERROR_DISK_FULL;
    }
    c->fds_.push_back(fd);
  }
  c->loaded_slot = setup.loaded_slot;
  DWORD rc = c->save();  // also empties a journal left in the directory
  if (rc != ERROR_SUCCESS) return rc;
  *out = std::move(c);
  return ERROR_SUCCESS;
}

DWORD Cartridge::open(const std::string& dir, std::shared_ptr<Cartridge>* out) {
  out->reset();
  std::shared_ptr<Cartridge> c(new Cartridge());
  c->dir_ = dir;
  DWORD rc = c->load_state();
  if (rc == ERROR_SUCCESS) rc = c->replay_journal();
  if (rc != ERROR_SUCCESS) return rc;
  c->fds_.assign(c->discs_.size(), -1);
  // The disc stays where it was: a restart of the service moves nothing.
  *out = std::move(c);
  return ERROR_SUCCESS;
}

Cartridge::~Cartridge() {
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
  if (journal_fd_ >= 0) ::close(journal_fd_);
  if (folder_lock_fd_ >= 0) ::close(folder_lock_fd_);
}

DWORD Cartridge::hold_folder() {
  if (folder_lock_fd_ >= 0) return ERROR_SUCCESS;
  const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ERROR_PATH_NOT_FOUND;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    return e == EWOULDBLOCK ? ERROR_BUSY : ERROR_ACCESS_DENIED;
  }
  folder_lock_fd_ = fd;
  return ERROR_SUCCESS;
}

DWORD Cartridge::journal(int slot, Journalled what, std::uint32_t index, std::uint32_t value) {
  if (journal_fd_ < 0) {
    journal_fd_ = ::open((dir_ + "/" + kJournalFile).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (journal_fd_ < 0) return ERROR_CANTWRITE;
  }
  JournalRecord r{kJournalMagic, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(what),
                  static_cast<std::uint16_t>(index), value, generation_, 0};
  r.check = journal_check(r);
  for (;;) {
    const ssize_t n = ::write(journal_fd_, &r, sizeof(r));
    if (n == static_cast<ssize_t>(sizeof(r))) return ERROR_SUCCESS;
    if (n < 0 && errno == EINTR) continue;
    return ERROR_CANTWRITE;
  }
}

// Applies the journal over the state just loaded. A torn last record (a
// crash in the middle of an append) ends the replay, records of an older
// state file (a crash between its rename and the journal's truncation) are
// skipped, and a whole record that names no disc or track of this cartridge
// makes the state damaged.
DWORD Cartridge::replay_journal() {
  std::ifstream f(dir_ + "/" + kJournalFile, std::ios::binary);
  if (!f) return ERROR_SUCCESS;
  JournalRecord r;
  while (f.read(reinterpret_cast<char*>(&r), sizeof(r))) {
    if (r.magic != kJournalMagic || r.check != journal_check(r)) break;
    if (r.generation != generation_) continue;
    if (r.slot >= discs_.size()) return ERROR_INVALID_DATA;
    Disc& d = discs_[r.slot];
    switch (static_cast<Journalled>(r.what)) {
      case Journalled::TrackNwa:
        if (r.index >= d.tracks.size() || r.value > d.tracks[r.index].end()) return ERROR_INVALID_DATA;
        d.tracks[r.index].nwa = r.value;
        break;
      case Journalled::HighestWritten:
        if (r.value > blocks_) return ERROR_INVALID_DATA;
        d.highest_written = r.value;
        break;
      case Journalled::PowReplacements: d.pow.replacements = r.value; break;
      case Journalled::PowMapEntries: d.pow.map_entries = r.value; break;
      case Journalled::PowUpdates: d.pow.updates = r.value; break;
      case Journalled::OpcCount: opc_count = static_cast<std::uint16_t>(r.value); break;
      case Journalled::OpcUsed: d.opc_used = static_cast<std::uint16_t>(r.value); break;
      default: return ERROR_INVALID_DATA;
    }
  }
  return ERROR_SUCCESS;
}

DWORD Cartridge::remove_attribute(std::uint16_t id) {
  if (attributes.erase(id) == 0) return ERROR_NOT_FOUND;
  return save();
}

DWORD Cartridge::add_defect(int slot, const DefectEntry& e) {
  if (slot < 0 || slot >= slots()) return ERROR_INVALID_PARAMETER;
  disc(slot).defects.push_back(e);
  return save();
}

DWORD Cartridge::set_write_resources(int slot, const WriteResources& r) {
  if (slot < 0 || slot >= slots()) return ERROR_INVALID_PARAMETER;
  disc(slot).pow = r;
  return save();
}

DWORD Cartridge::set_unique_id(int slot, const std::string& id) {
  if (slot < 0 || slot >= slots()) return ERROR_INVALID_PARAMETER;
  std::string s = id.substr(0, 14);
  s.resize(14, ' ');
  disc(slot).unique_id.assign(s.begin(), s.end());
  return save();
}

int Cartridge::image_fd(int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= fds_.size()) return -1;
  if (fds_[slot] < 0) {
    const std::string img = dir_ + "/" + image_name(slot);
    fds_[slot] = ::open(img.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fds_[slot] >= 0) {
      struct stat st{};
      const off_t want = static_cast<off_t>(blocks_) * kBlockSize;
      if (::fstat(fds_[slot], &st) == 0 && st.st_size < want) [[maybe_unused]] int r = ::ftruncate(fds_[slot], want);
    }
  }
  return fds_[slot];
}

DWORD Cartridge::read_blocks(int slot, std::uint32_t lba, std::uint32_t count, std::uint8_t* out) {
  std::lock_guard<std::mutex> g(io_mu_);
  int fd = image_fd(slot);
  if (fd < 0) return ERROR_READ_FAULT;
  std::size_t want = static_cast<std::size_t>(count) * kBlockSize;
  off_t off = static_cast<off_t>(lba) * kBlockSize;
  std::size_t done = 0;
  while (done < want) {
    ssize_t n = ::pread(fd, out + done, want - done, off + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return ERROR_READ_FAULT;
    }
    if (n == 0) break;  // past the end of the file: never written
    done += static_cast<std::size_t>(n);
  }
  if (done < want) std::memset(out + done, 0, want - done);
  return ERROR_SUCCESS;
}

DWORD Cartridge::write_blocks(int slot, std::uint32_t lba, std::uint32_t count, const std::uint8_t* in) {
  std::lock_guard<std::mutex> g(io_mu_);
  int fd = image_fd(slot);
  if (fd < 0) return ERROR_WRITE_FAULT;
  std::size_t want = static_cast<std::size_t>(count) * kBlockSize;
  off_t off = static_cast<off_t>(lba) * kBlockSize;
  std::size_t done = 0;
  while (done < want) {
    ssize_t n = ::pwrite(fd, in + done, want - done, off + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
    }
    done += static_cast<std::size_t>(n);
  }
  return ERROR_SUCCESS;
}

DWORD Cartridge::save() {
  std::ostringstream o;
  o << kStateMagic << "\n";
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%02X", medium_type_);
  o << "medium_type " << buf << "\n";
  o << "disc_blocks " << blocks_ << "\n";
  o << "slots " << discs_.size() << "\n";
  o << "loaded_slot " << loaded_slot << "\n";
  const std::uint32_t next = generation_ + 1;  // journal records of this state carry it
  o << "generation " << next << "\n";
  o << "write_protected " << (write_protected ? 1 : 0) << "\n";
  o << "medium_write_protected " << (medium_write_protected ? 1 : 0) << "\n";
  o << "writes_refused " << (writes_refused ? 1 : 0) << "\n";
  o << "opc " << opc_count << "\n";
  for (auto& [id, a] : attributes) {
    std::snprintf(buf, sizeof(buf), "%04X", id);
    o << "attr " << buf << " " << int(a.format) << " " << hex(a.value) << "\n";
  }
  for (std::size_t i = 0; i < discs_.size(); ++i) {
    const Disc& d = discs_[i];
    o << "disc " << i << " " << int(d.formatted) << " " << int(d.finalized) << " " << int(d.status) << " "
      << d.highest_written << " " << hex(d.unique_id) << "\n";
    for (const Track& t : d.tracks)
      o << "track " << i << " " << t.start << " " << t.size << " " << t.nwa << " " << int(t.closed) << " "
        << int(t.reserved) << "\n";
    for (const DefectEntry& e : d.defects)
      o << "defect " << i << " " << int(e.status) << " " << e.psn << " " << e.low << "\n";
    if (d.opc_used) o << "opc_used " << i << " " << d.opc_used << "\n";
    for (std::uint32_t c : d.torn_clusters) o << "torn " << i << " " << c << "\n";
    o << "disc_pow " << i << " " << d.pow.replacements << " " << d.pow.map_entries << " " << d.pow.updates << "\n";
  }
  const std::string path = dir_ + "/" + kStateFile;
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << o.str();
    f.flush();
    if (!f) return ERROR_CANTWRITE;
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return ERROR_CANTWRITE;
  generation_ = next;
  // Everything journalled is in the state file now.
  if (journal_fd_ >= 0) {
    if (::ftruncate(journal_fd_, 0) != 0) return ERROR_CANTWRITE;
  } else if (::truncate((dir_ + "/" + kJournalFile).c_str(), 0) != 0 && errno != ENOENT) {
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

namespace {

// The lines of the state file that describe one disc, "KEY SLOT VALUES...":
// each reader takes the values after the slot; false for a value out of
// range (a value that does not parse fails the stream).
bool read_disc_line(Disc& d, std::istream& in) {
  int formatted, finalized, status;
  std::string uid;
  in >> formatted >> finalized >> status >> d.highest_written >> uid;
  d.formatted = formatted;
  d.finalized = finalized;
  d.status = static_cast<DiscStatus>(status);
  return unhex(uid, &d.unique_id);
}

bool read_track_line(Disc& d, std::istream& in) {
  Track t;
  int closed, reserved;
  in >> t.start >> t.size >> t.nwa >> closed >> reserved;
  t.closed = closed;
  t.reserved = reserved;
  d.tracks.push_back(t);
  return true;
}

bool read_defect_line(Disc& d, std::istream& in) {
  int status;
  DefectEntry e;
  in >> status >> e.psn >> e.low;
  if (status < 0 || status > 15) return false;
  e.status = static_cast<std::uint8_t>(status);
  d.defects.push_back(e);
  return true;
}

bool read_disc_pow_line(Disc& d, std::istream& in) {
  in >> d.pow.replacements >> d.pow.map_entries >> d.pow.updates;
  return true;
}

bool read_opc_used_line(Disc& d, std::istream& in) {
  in >> d.opc_used;
  return true;
}

bool read_torn_line(Disc& d, std::istream& in) {
  std::uint32_t cluster = 0;
  in >> cluster;
  d.torn_clusters.insert(cluster);
  return true;
}

using DiscLineReader = bool (*)(Disc&, std::istream&);

DiscLineReader disc_line_reader(const std::string& key) {
  static const std::map<std::string, DiscLineReader> kReaders = {
      {"disc", read_disc_line},         {"track", read_track_line},       {"defect", read_defect_line},
      {"disc_pow", read_disc_pow_line}, {"opc_used", read_opc_used_line}, {"torn", read_torn_line},
  };
  const auto it = kReaders.find(key);
  return it == kReaders.end() ? nullptr : it->second;
}

bool read_flag(std::istream& in) {
  int v = 0;
  in >> v;
  return v != 0;
}

// "attr ID FORMAT VALUE": an attribute of the cartridge memory, its id and
// value in hexadecimal.
bool read_attribute_line(std::map<std::uint16_t, Attribute>& attributes, std::istream& in) {
  std::string id, value;
  int format = 0;
  in >> id >> format >> value;
  Attribute a;
  a.format = static_cast<std::uint8_t>(format);
  if (!unhex(value, &a.value)) return false;
  attributes[static_cast<std::uint16_t>(std::stoul(id, nullptr, 16))] = std::move(a);
  return true;
}

}  // namespace

// Reads the state file save() writes: its first line, then one line a key.
DWORD Cartridge::load_state() {
  std::ifstream f(dir_ + "/" + kStateFile);
  if (!f) return ERROR_FILE_NOT_FOUND;
  std::string line;
  if (!std::getline(f, line) || line != kStateMagic) return ERROR_INVALID_DATA;
  bool have_type = false;
  try {
    while (std::getline(f, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (!load_state_line(line, &have_type)) return ERROR_INVALID_DATA;
    }
  } catch (const std::exception&) {
    return ERROR_INVALID_DATA;  // a number that does not parse
  }
  return loaded_state_holds(have_type) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// One line of the state file; false for an unknown key, a value that does
// not parse or one out of range.
bool Cartridge::load_state_line(const std::string& line, bool* have_type) {
  std::istringstream in(line);
  std::string key;
  in >> key;
  bool ok;
  if (const DiscLineReader read = disc_line_reader(key)) {
    std::size_t i = 0;
    in >> i;
    ok = i < discs_.size() && read(discs_[i], in);
  } else {
    ok = load_cartridge_line(key, in, have_type);
  }
  return ok && !in.fail();
}

// A line of the state file that describes the whole cartridge.
bool Cartridge::load_cartridge_line(const std::string& key, std::istream& in, bool* have_type) {
  if (key == "medium_type") {
    std::string v;
    in >> v;
    medium_type_ = static_cast<std::uint8_t>(std::stoul(v, nullptr, 16));
    *have_type = true;
  } else if (key == "disc_blocks") {
    in >> blocks_;
  } else if (key == "slots") {
    std::size_t slots = 0;
    in >> slots;
    if (slots == 0 || slots > 100) return false;
    discs_.assign(slots, Disc{});
  } else if (key == "generation") {
    in >> generation_;
  } else if (key == "loaded_slot") {
    in >> loaded_slot;
  } else if (key == "write_protected") {
    write_protected = read_flag(in);
  } else if (key == "medium_write_protected") {
    medium_write_protected = read_flag(in);
  } else if (key == "writes_refused") {
    writes_refused = read_flag(in);
  } else if (key == "opc") {
    in >> opc_count;
  } else if (key == "pow") {
    // A state file of a drive that kept one set for the whole cartridge:
    // every disc starts from it.
    WriteResources r;
    in >> r.replacements >> r.map_entries >> r.updates;
    for (Disc& d : discs_) d.pow = r;
  } else if (key == "attr") {
    return read_attribute_line(attributes, in);
  } else {
    return false;
  }
  return true;
}

// What a loaded state must hold: a known medium type, discs of some size,
// a loaded slot among them, torn clusters on them.
bool Cartridge::loaded_state_holds(bool have_type) const {
  if (!have_type || discs_.empty() || blocks_ == 0 ||
      (!is_write_once_type(medium_type_) && !is_rewritable_type(medium_type_)))
    return false;
  if (loaded_slot >= static_cast<int>(discs_.size())) return false;
  for (const Disc& d : discs_)
    if (!d.torn_clusters.empty() && *d.torn_clusters.rbegin() >= blocks_ / cluster_blocks(medium_type_))
      return false;
  return true;
}

}  // namespace kelsim
