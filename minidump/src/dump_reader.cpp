#include "qvminidump/dump_reader.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qvminidump {
namespace {

bool readAt(int fd, void* buf, std::size_t n, std::uint64_t at) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t r = ::pread(fd, p, n, static_cast<off_t>(at));
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
    at += static_cast<std::uint64_t>(r);
  }
  return true;
}

bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t total) {
  return offset <= total && size <= total - offset;
}

// Register positions in the NT_PRSTATUS layouts.
constexpr std::size_t kX86Rip = 16, kX86Rsp = 19, kX86Count = 27;
constexpr std::size_t kA64Sp = 31, kA64Pc = 32, kA64Count = 34;

std::optional<std::uint64_t> reg(const std::uint8_t* regs, std::uint32_t size, std::size_t index,
                                 std::size_t count) {
  if (size < count * 8) return std::nullopt;
  std::uint64_t v;
  std::memcpy(&v, regs + index * 8, 8);
  return v;
}

// The strings stream: names are offsets into it. An offset outside it
// gives an empty name and marks the dump bad.
struct StringTable {
  std::string data;
  bool bad = false;
  std::string text(std::uint32_t off) {
    if (off == kNoString) return {};
    if (off >= data.size()) {
      bad = true;
      return {};
    }
    return std::string(data.c_str() + off);
  }
};

// The records of a stream, which must hold exactly `count` of them.
template <class Record>
bool readRecords(int fd, const DumpDirectoryEntry* e, std::vector<Record>& out) {
  if (e->size != std::uint64_t{e->count} * sizeof(Record)) return false;
  out.resize(e->count);
  return readAt(fd, out.data(), e->size, e->offset);
}

// Each step gives "" or why the dump is refused.

// The header and the directory: every stream inside the file, each known
// stream once, the five every dump has, the exception stream as the header
// says. `found` points into `dir`.
std::string readDirectory(int fd, std::uint64_t fileSize, DumpHeader& header, std::vector<DumpDirectoryEntry>& dir,
                          const DumpDirectoryEntry* found[kStreamException + 1]) {
  if (!readAt(fd, &header, sizeof header, 0)) return "too short for a header";
  if (std::memcmp(header.magic, kDumpMagic, sizeof kDumpMagic) != 0) return "not a dump";
  if (header.version != kDumpVersion) return "unknown version";
  if (header.headerSize != sizeof(DumpHeader)) return "bad header size";
  if (header.streamCount == 0 || header.streamCount > 64) return "bad stream count";
  const std::uint64_t dirSize = std::uint64_t{header.streamCount} * sizeof(DumpDirectoryEntry);
  if (header.directoryOffset < sizeof(DumpHeader) || !fits(header.directoryOffset, dirSize, fileSize))
    return "directory outside the file";
  dir.resize(header.streamCount);
  if (!readAt(fd, dir.data(), dirSize, header.directoryOffset)) return "cannot read the directory";
  for (const auto& e : dir) {
    if (!fits(e.offset, e.size, fileSize)) return "stream outside the file";
    if (e.type < kStreamStrings || e.type > kStreamException) continue;  // unknown: skipped
    if (found[e.type]) return "stream twice";
    found[e.type] = &e;
  }
  for (std::uint32_t t : {kStreamStrings, kStreamThreads, kStreamMemory, kStreamModules, kStreamHandles})
    if (!found[t]) return "stream " + std::to_string(t) + " missing";
  if (((header.flags & kHeaderHasException) != 0) != (found[kStreamException] != nullptr))
    return "exception stream does not match the header";
  return {};
}

std::string readStrings(int fd, const DumpDirectoryEntry* e, StringTable& strings) {
  strings.data.assign(e->size, '\0');
  if (!readAt(fd, strings.data.data(), strings.data.size(), e->offset)) return "cannot read strings";
  if (!strings.data.empty() && strings.data.back() != '\0') return "strings not terminated";
  return {};
}

std::string readThreads(int fd, const DumpDirectoryEntry* e, StringTable& strings,
                        std::vector<DumpReader::Thread>& out) {
  std::vector<DumpThread> threads;
  if (!readRecords(fd, e, threads)) return "bad thread stream";
  for (const auto& t : threads) {
    if (t.registersSize > sizeof t.registers) return "bad register size";
    DumpReader::Thread th;
    th.id = t.threadId;
    th.flags = t.flags;
    th.machine = t.machine;
    th.state = static_cast<char>(t.state);
    th.name = strings.text(t.nameOffset);
    th.registers.assign(t.registers, t.registers + t.registersSize);
    out.push_back(std::move(th));
  }
  return {};
}

// The memory regions, in address order without overlaps, their data
// inside the file.
std::string readRegions(int fd, const DumpDirectoryEntry* e, std::uint64_t fileSize, StringTable& strings,
                        std::vector<DumpReader::Region>& out) {
  std::vector<DumpMemoryRegion> regions;
  if (!readRecords(fd, e, regions)) return "bad memory stream";
  std::uint64_t lastEnd = 0;
  for (const auto& r : regions) {
    if (r.end <= r.start || r.start < lastEnd) return "memory regions overlap or are out of order";
    if (r.dataSize > r.end - r.start || !fits(r.dataOffset, r.dataSize, fileSize))
      return "memory data outside the file";
    lastEnd = r.end;
    out.push_back(DumpReader::Region{r.start, r.end, r.fileOffset, r.inode, r.protection, strings.text(r.nameOffset),
                                     r.dataOffset, r.dataSize});
  }
  return {};
}

std::string readModulesAndHandles(int fd, const DumpDirectoryEntry* const found[kStreamException + 1],
                                  StringTable& strings, std::vector<DumpReader::Module>& modulesOut,
                                  std::vector<DumpReader::Handle>& handlesOut) {
  std::vector<DumpModule> modules;
  if (!readRecords(fd, found[kStreamModules], modules)) return "bad module stream";
  for (const auto& m : modules) modulesOut.push_back(DumpReader::Module{m.base, m.size, m.inode, strings.text(m.nameOffset)});
  std::vector<DumpHandle> handles;
  if (!readRecords(fd, found[kStreamHandles], handles)) return "bad handle stream";
  for (const auto& h : handles) handlesOut.push_back(DumpReader::Handle{h.fd, strings.text(h.nameOffset)});
  return {};
}

// The exception stream: one record holding a sound crash record.
std::string readException(int fd, const DumpDirectoryEntry* e, std::optional<DumpException>& out) {
  std::vector<DumpException> ex;
  if (!readRecords(fd, e, ex) || ex.size() != 1) return "bad exception stream";
  const auto& rec = ex[0].record;
  if (rec.magic != kel::crash::kCrashRecordMagic || rec.size != sizeof rec ||
      rec.registersSize > kel::crash::kMaxRegistersSize)
    return "bad crash record";
  out = ex[0];
  return {};
}

}  // namespace

DumpReader::~DumpReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool DumpReader::open(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = path + ": " + why;
    return false;
  };
  if (fd_ >= 0) ::close(fd_);
  threads_.clear();
  regions_.clear();
  modules_.clear();
  handles_.clear();
  exception_.reset();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return fail(std::string("cannot open: ") + std::strerror(errno));
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail("cannot stat");
  fileSize_ = static_cast<std::uint64_t>(st.st_size);

  std::vector<DumpDirectoryEntry> dir;
  const DumpDirectoryEntry* found[kStreamException + 1] = {};
  StringTable strings;
  std::string why = readDirectory(fd_, fileSize_, header_, dir, found);
  if (why.empty()) why = readStrings(fd_, found[kStreamStrings], strings);
  if (why.empty()) why = readThreads(fd_, found[kStreamThreads], strings, threads_);
  if (why.empty()) why = readRegions(fd_, found[kStreamMemory], fileSize_, strings, regions_);
  if (why.empty()) why = readModulesAndHandles(fd_, found, strings, modules_, handles_);
  if (why.empty() && found[kStreamException]) why = readException(fd_, found[kStreamException], exception_);
  if (why.empty() && strings.bad) why = "string offset outside the strings";
  return why.empty() ? true : fail(why);
}

const DumpReader::Thread* DumpReader::findThread(std::uint32_t id) const {
  for (const auto& t : threads_)
    if (t.id == id) return &t;
  return nullptr;
}

const DumpReader::Region* DumpReader::findRegion(std::uint64_t address) const {
  for (const auto& r : regions_)
    if (address >= r.start && address < r.end) return &r;
  return nullptr;
}

const DumpReader::Module* DumpReader::findModule(std::uint64_t address) const {
  for (const auto& m : modules_)
    if (address >= m.base && address - m.base < m.size) return &m;
  return nullptr;
}

bool DumpReader::readMemory(std::uint64_t address, void* buffer, std::size_t size) const {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const Region* r = findRegion(address);
    if (!r || address - r->start >= r->dataSize) return false;
    const std::uint64_t avail = r->dataSize - (address - r->start);
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(avail, size));
    if (!readAt(fd_, out, n, r->dataOffset + (address - r->start))) return false;
    out += n;
    address += n;
    size -= n;
  }
  return true;
}

std::optional<std::uint64_t> DumpReader::instructionPointer(std::uint32_t machine,
                                                           const std::uint8_t* registers,
                                                           std::uint32_t size) {
  if (machine == kel::crash::kMachineX86_64) return reg(registers, size, kX86Rip, kX86Count);
  if (machine == kel::crash::kMachineAArch64) return reg(registers, size, kA64Pc, kA64Count);
  return std::nullopt;
}

std::optional<std::uint64_t> DumpReader::stackPointer(std::uint32_t machine,
                                                     const std::uint8_t* registers,
                                                     std::uint32_t size) {
  if (machine == kel::crash::kMachineX86_64) return reg(registers, size, kX86Rsp, kX86Count);
  if (machine == kel::crash::kMachineAArch64) return reg(registers, size, kA64Sp, kA64Count);
  return std::nullopt;
}

}  // namespace qvminidump
