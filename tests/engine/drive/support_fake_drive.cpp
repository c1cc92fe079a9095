#include "support_fake_drive.h"

#include "kel/debug.h"
#include "platform/codepage.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace fakedrive {
namespace {
std::mutex g_mu;
Drive g_drive;
std::vector<Call> g_calls;
std::vector<Fault> g_faults;

void be16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
void be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
std::uint32_t rd32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
std::uint16_t rd16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

void padded(std::uint8_t* dst, const std::string& s, std::size_t n) {
  std::memset(dst, ' ', n);
  std::memcpy(dst, s.data(), std::min(n, s.size()));
}


struct Outcome {
  bool check = false;
  std::uint8_t key = 0, asc = 0, ascq = 0;
};
Outcome make_sense(std::uint8_t k, std::uint8_t a, std::uint8_t q) { return {true, k, a, q}; }

Outcome execute(Drive& d, const Call& c, std::vector<std::uint8_t>& in) {
  const std::uint8_t* cdb = c.cdb.data();
  switch (cdb[0]) {
    case 0x00:
      return d.disc_loaded ? Outcome{} : make_sense(2, 0x3A, 0);
    case 0x12: {
      if (cdb[1] & 1) {
        if (cdb[2] == 0x80) {
          in.assign(4 + 16, 0);
          in[1] = 0x80;
          in[3] = 16;
          padded(in.data() + 4, d.serial, 16);
          return {};
        }
        if (cdb[2] == 0xC1) {
          if (!d.disc_loaded) return make_sense(2, 0x3A, 0);
          in.assign(18, 0);
          in[1] = 0xC1;
          in[3] = 14;
          std::memcpy(in.data() + 4, d.uid, 14);
          return {};
        }
        return make_sense(5, 0x24, 0);
      }
      in.assign(36, 0);
      in[0] = 0x05;
      in[4] = 31;
      padded(in.data() + 8, d.vendor, 8);
      padded(in.data() + 16, d.product, 16);
      padded(in.data() + 32, d.revision, 4);
      return {};
    }
    case 0xBD: {
      in.assign(12, 0);
      in[0] = static_cast<std::uint8_t>(d.loaded_slot & 0x1F);
      in[1] = static_cast<std::uint8_t>(((d.disc_loaded ? 1 : 0) << 5) | ((d.loaded_slot >> 5) & 7));
      in[5] = static_cast<std::uint8_t>(d.slots);
      be16(in.data() + 6, 4);
      in[9] = d.cartridge_wp ? 1 : 0;
      return {};
    }
    case 0x5A: {
      const std::uint8_t page = cdb[2] & 0x3F;
      const std::uint16_t alloc = rd16(cdb + 7);
      std::vector<std::uint8_t> a(32, 0);
      a[2] = d.medium_type;
      if (page == 0x01) {
        a[3] = static_cast<std::uint8_t>((d.medium_wp ? 0x80 : 0) | (d.write_unsupported ? 0x40 : 0));
        a[8] = 0x01;
        a[9] = 0x0A;
        a[17] = static_cast<std::uint8_t>(d.recovery_threshold >> 16);
        a[18] = static_cast<std::uint8_t>(d.recovery_threshold >> 8);
        a[19] = static_cast<std::uint8_t>(d.recovery_threshold);
      } else if (page == 0x22) {
        a[8] = 0x22;
        be16(a.data() + 12, 0x20);
        be16(a.data() + 14, 0x20);
        be16(a.data() + 16, d.transfer_units);
      } else if (page == 0x1C) {
        a[8] = 0x1C;
      } else {
        return make_sense(5, 0x24, 0);
      }
      a.resize(std::min<std::size_t>(a.size(), alloc ? alloc : 18));
      in = a;
      return {};
    }
    case 0x25:
      in.assign(8, 0);
      be32(in.data(), d.capacity_blocks - 1);
      be32(in.data() + 4, 2048);
      return {};
    case 0x28: {
      if (!d.disc_loaded) return make_sense(2, 0x3A, 0);
      const std::uint32_t lba = rd32(cdb + 2);
      const std::uint16_t n = rd16(cdb + 7);
      in.assign(static_cast<std::size_t>(n) * 2048, 0);
      for (std::uint32_t i = 0; i < n; ++i) {
        auto it = d.blocks.find(lba + i);
        if (it != d.blocks.end()) std::memcpy(in.data() + i * 2048, it->second.data(), 2048);
      }
      return {};
    }
    case 0x2A: {
      if (d.cartridge_wp) return make_sense(3, 0x27, 0);
      const std::uint32_t lba = rd32(cdb + 2);
      const std::uint16_t n = rd16(cdb + 7);
      for (std::uint32_t i = 0; i < n && (i + 1) * 2048 <= c.data_out.size(); ++i)
        d.blocks[lba + i].assign(c.data_out.begin() + i * 2048, c.data_out.begin() + (i + 1) * 2048);
      return {};
    }
    case 0x8C:
    case 0xDA: {
      const bool vendor = cdb[0] == 0xDA;
      const std::uint16_t id = vendor ? rd16(cdb + 4) : rd16(cdb + 8);
      if (d.attributes.find(id) == d.attributes.end()) return make_sense(5, 0x24, 0);
      std::vector<std::uint8_t> a(4, 0);
      for (auto it = d.attributes.lower_bound(id); it != d.attributes.end(); ++it) {
        a.push_back(static_cast<std::uint8_t>(it->first >> 8));
        a.push_back(static_cast<std::uint8_t>(it->first));
        a.push_back(it->second.format);
        a.push_back(static_cast<std::uint8_t>(it->second.value.size() >> 8));
        a.push_back(static_cast<std::uint8_t>(it->second.value.size()));
        a.insert(a.end(), it->second.value.begin(), it->second.value.end());
      }
      be32(a.data(), static_cast<std::uint32_t>(a.size() - 4));
      in = a;
      return {};
    }
    case 0x8D:
    case 0xDB: {
      const auto& l = c.data_out;
      if (l.size() < 4) return make_sense(5, 0x1A, 0);
      std::size_t end = std::min<std::size_t>(l.size(), 4 + rd32(l.data()));
      std::size_t p = 4;
      while (p + 5 <= end) {
        const std::uint16_t id = rd16(&l[p]);
        const std::uint16_t len = rd16(&l[p + 3]);
        if (p + 5 + len > end) break;
        Attribute at;
        at.format = l[p + 2];
        at.value.assign(l.begin() + p + 5, l.begin() + p + 5 + len);
        d.attributes[id] = at;
        p += 5 + len;
      }
      return {};
    }
    case 0xAD: {
      const std::uint8_t format = cdb[7];
      if (format == 0x00) {
        in.assign(4100, 0);
        be16(in.data(), 4098);
        std::copy(d.di.begin(), d.di.end(), in.begin() + 4);
        return {};
      }
      if (format == 0x12) {
        if (d.dfl.empty()) return make_sense(5, 0x30, 0x10);
        in = d.dfl;
        return {};
      }
      if (format == 0x08) {
        if (d.dds.empty()) return make_sense(5, 0x30, 0x10);
        in = d.dds;
        return {};
      }
      return make_sense(5, 0x24, 0);
    }
    case 0xAC:
      in = d.performance;
      if (in.empty()) {
        in.assign(8, 0);
        be32(in.data(), 4);
      }
      return {};
    case 0xD5:
      in.assign(16, 0);
      in[1] = static_cast<std::uint8_t>(d.opc_byte1);
      return {};
    case 0xC3:
      in.assign(16, 0);
      in[0] = 0x21;
      in[1] = 0x35;
      in[2] = 0x7A;
      in[3] = 0x04;
      be32(in.data() + 4, 0x01020304);
      return {};
    case 0x51:
      in.assign(34, 0);
      be16(in.data(), 32);
      for (int i = 2; i < 32; ++i) in[i] = static_cast<std::uint8_t>(i);
      return {};
    case 0x52:
      // Tracks by number (address type 1): the disc has `tracks` of them.
      if ((cdb[1] & 3) == 1) {
        const std::uint32_t track = static_cast<std::uint32_t>(cdb[2]) << 24 | cdb[3] << 16 | cdb[4] << 8 | cdb[5];
        if (track > d.tracks) return make_sense(5, 0x24, 0);
      }
      in.assign(52, 0);
      be16(in.data(), 50);
      for (int i = 2; i < 52; ++i) in[i] = static_cast<std::uint8_t>(0x40 + i);
      return {};
    case 0x23:
      in.assign(12, 0);
      in[3] = 8;
      in[8] = 0x02;
      return {};
    case 0x4A:
      in.assign(16, 0);
      return {};
    case 0xA6:
      if (cdb[8] >= d.slots) return make_sense(5, 0x21, 0);
      d.loaded_slot = cdb[8];
      d.disc_loaded = true;
      return {};
    default:
      return {};
  }
}
}  // namespace

void reset() {
  std::lock_guard<std::mutex> lk(g_mu);
  g_drive = Drive{};
  g_calls.clear();
  g_faults.clear();
}
Drive& drive() { return g_drive; }
std::vector<Call> transcript() {
  std::lock_guard<std::mutex> lk(g_mu);
  return g_calls;
}
std::function<void()> g_clear_hook;
void clear_transcript() {
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.clear();
  }
  if (g_clear_hook) g_clear_hook();
}
void set_clear_hook(std::function<void()> hook) { g_clear_hook = std::move(hook); }
std::vector<Call> calls_of(std::uint8_t opcode) {
  std::vector<Call> out;
  for (const Call& c : transcript())
    if (!c.cdb.empty() && c.cdb[0] == opcode) out.push_back(c);
  return out;
}
void add_fault(const Fault& f) {
  std::lock_guard<std::mutex> lk(g_mu);
  g_faults.push_back(f);
}
void clear_faults() {
  std::lock_guard<std::mutex> lk(g_mu);
  g_faults.clear();
}

void fill_good_attributes(std::uint8_t medium_type) {
  Drive& d = g_drive;
  const bool two = medium_type == 0xF1 || medium_type == 0xF2 || medium_type == 0xE5;
  std::vector<std::uint8_t> serial(32, ' ');
  std::memcpy(serial.data(), "MEDIUMSERIAL0001", 16);
  d.attributes[0x0401] = {1, serial};
  d.attributes[0x0408] = {0, {0x00}};
  d.attributes[0x0409] = {0, {0x00, 0x00}};
  d.attributes[0x0D00] = {0, {0x00, 0x00, 0x00, 0x00}};
  d.attributes[0x0D01] = {0, {0x00, 0x00, 0x00, 0x00}};
  d.attributes[0x0D02] = {0, {0x00, 0x00, 0x00, 0x00}};
  d.attributes[0x0D03] = {0, {0x00, 0x00, 0x00}};
  d.attributes[0x1100] = {0, {static_cast<std::uint8_t>(two ? 2 : 1)}};
  d.attributes[0x1101] = {0, {0x01}};
  d.attributes[0x1102] = {0, {static_cast<std::uint8_t>(two ? 11 : 12)}};
}

}  // namespace fakedrive

// ---------------------------------------------------------------- transfer

// The test executable is linked with --wrap for quorvel_scsi_transfer: the
// drive layer's calls arrive here and go either to the recording drive above
// or, for the tests against the simulated host service, on to the interface
// library's real transfer through the pipe.
namespace fakedrive {
namespace {
std::atomic<bool> g_through_pipe{false};
}
void use_pipe(bool on) { g_through_pipe = on; }
}  // namespace fakedrive

extern "C" int __real_quorvel_scsi_transfer(int fd, std::uint32_t cdb_len, const std::uint8_t* cdb,
                                            int direction, std::uint32_t transfer_len, void* data,
                                            std::uint8_t sense_len, std::uint8_t* sense,
                                            std::uint8_t* status);

extern "C" int __wrap_quorvel_scsi_transfer(int fd, std::uint32_t cdb_len, const std::uint8_t* cdb,
                                            int direction, std::uint32_t transfer_len, void* data,
                                            std::uint8_t sense_len, std::uint8_t* sense,
                                            std::uint8_t* status) {
  using namespace fakedrive;
  if (g_through_pipe)
    return __real_quorvel_scsi_transfer(fd, cdb_len, cdb, direction, transfer_len, data, sense_len,
                                        sense, status);
  Call c;
  c.cdb.assign(cdb, cdb + cdb_len);
  c.direction = direction;
  c.transfer_len = transfer_len;
  c.sense_len = sense_len;
  if (direction == -2 && data != nullptr)
    c.data_out.assign(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + transfer_len);
  std::vector<std::uint8_t> in;
  Outcome o;
  bool answered = false;
  {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.push_back(c);
    for (Fault& f : g_faults) {
      if (f.opcode && *f.opcode != cdb[0]) continue;
      if (f.times == 0) continue;
      if (f.skip > 0) {
        --f.skip;
        continue;
      }
      if (f.times > 0) --f.times;
      if (f.transport != 0) return f.transport;
      if (f.status != 1) {
        *status = f.status;
        return 0;
      }
      o = make_sense(f.key, f.asc, f.ascq);
      answered = true;
      break;
    }
  }
  if (!answered && g_drive.hook) answered = g_drive.hook(c, &in);
  if (!answered) {
    std::lock_guard<std::mutex> lk(g_mu);
    o = execute(g_drive, c, in);
  }
  if (o.check) {
    std::uint8_t s[18] = {0x70, 0, o.key, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, o.asc, o.ascq};
    std::memcpy(sense, s, std::min<std::size_t>(sense_len, sizeof(s)));
    *status = 1;
    return 0;
  }
  if (direction == -3 && data != nullptr)
    std::memcpy(data, in.data(), std::min<std::size_t>(in.size(), transfer_len));
  *status = 0;
  return 0;
}

// ----------------------------------------------------------------- logging

namespace fakelog {
namespace {
std::mutex g_log_mu;
std::vector<std::string> g_lines;
}  // namespace
void reset() {
  std::lock_guard<std::mutex> lk(g_log_mu);
  g_lines.clear();
}
std::vector<std::string> lines() {
  std::lock_guard<std::mutex> lk(g_log_mu);
  return g_lines;
}
bool contains(const std::string& needle) { return count(needle) > 0; }
int count(const std::string& needle) {
  int n = 0;
  for (const auto& l : lines())
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}
}  // namespace fakelog

// Log lines are kept for the tests (the executable wraps these calls); none
// reaches the trace file or standard output.
extern "C" bool __wrap_CheckLogLevel(int) { return true; }
extern "C" void __wrap_SendDebugStringA(int, const char* text) {
  std::lock_guard<std::mutex> lk(fakelog::g_log_mu);
  fakelog::g_lines.emplace_back(text ? text : "");
}
extern "C" void __wrap_SendDebugStringW(int, const WCHAR* text) {
  std::lock_guard<std::mutex> lk(fakelog::g_log_mu);
  fakelog::g_lines.push_back(text ? platform::utf16_to_utf8(text) : std::string());
}
