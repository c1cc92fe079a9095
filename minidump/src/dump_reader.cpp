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

  if (!readAt(fd_, &header_, sizeof header_, 0)) return fail("too short for a header");
  if (std::memcmp(header_.magic, kDumpMagic, sizeof kDumpMagic) != 0) return fail("not a dump");
  if (header_.version != kDumpVersion) return fail("unknown version");
  if (header_.headerSize != sizeof(DumpHeader)) return fail("bad header size");
  if (header_.streamCount == 0 || header_.streamCount > 64) return fail("bad stream count");
  const std::uint64_t dirSize = std::uint64_t{header_.streamCount} * sizeof(DumpDirectoryEntry);
  if (header_.directoryOffset < sizeof(DumpHeader) || !fits(header_.directoryOffset, dirSize, fileSize_))
    return fail("directory outside the file");
  std::vector<DumpDirectoryEntry> dir(header_.streamCount);
  if (!readAt(fd_, dir.data(), dirSize, header_.directoryOffset)) return fail("cannot read the directory");

  const DumpDirectoryEntry* found[kStreamException + 1] = {};
  for (const auto& e : dir) {
    if (!fits(e.offset, e.size, fileSize_)) return fail("stream outside the file");
    if (e.type < kStreamStrings || e.type > kStreamException) continue;  // unknown: skipped
    if (found[e.type]) return fail("stream twice");
    found[e.type] = &e;
  }
  for (std::uint32_t t : {kStreamStrings, kStreamThreads, kStreamMemory, kStreamModules, kStreamHandles})
    if (!found[t]) return fail("stream " + std::to_string(t) + " missing");
  if (((header_.flags & kHeaderHasException) != 0) != (found[kStreamException] != nullptr))
    return fail("exception stream does not match the header");

  std::string strings(found[kStreamStrings]->size, '\0');
  if (!readAt(fd_, strings.data(), strings.size(), found[kStreamStrings]->offset))
    return fail("cannot read strings");
  if (!strings.empty() && strings.back() != '\0') return fail("strings not terminated");
  bool badString = false;
  auto text = [&](std::uint32_t off) -> std::string {
    if (off == kNoString) return {};
    if (off >= strings.size()) { badString = true; return {}; }
    return std::string(strings.c_str() + off);
  };

  auto records = [&](const DumpDirectoryEntry* e, std::size_t recordSize, auto& out) {
    if (e->size != std::uint64_t{e->count} * recordSize) return false;
    out.resize(e->count);
    return readAt(fd_, out.data(), e->size, e->offset);
  };

  std::vector<DumpThread> threads;
  if (!records(found[kStreamThreads], sizeof(DumpThread), threads)) return fail("bad thread stream");
  for (const auto& t : threads) {
    if (t.registersSize > sizeof t.registers) return fail("bad register size");
    Thread th;
    th.id = t.threadId;
    th.flags = t.flags;
    th.machine = t.machine;
    th.state = static_cast<char>(t.state);
    th.name = text(t.nameOffset);
    th.registers.assign(t.registers, t.registers + t.registersSize);
    threads_.push_back(std::move(th));
  }

  std::vector<DumpMemoryRegion> regions;
  if (!records(found[kStreamMemory], sizeof(DumpMemoryRegion), regions)) return fail("bad memory stream");
  std::uint64_t lastEnd = 0;
  for (const auto& r : regions) {
    if (r.end <= r.start || r.start < lastEnd) return fail("memory regions overlap or are out of order");
    if (r.dataSize > r.end - r.start || !fits(r.dataOffset, r.dataSize, fileSize_))
      return fail("memory data outside the file");
    lastEnd = r.end;
    regions_.push_back(Region{r.start, r.end, r.fileOffset, r.inode, r.protection, text(r.nameOffset),
                              r.dataOffset, r.dataSize});
  }

  std::vector<DumpModule> modules;
  if (!records(found[kStreamModules], sizeof(DumpModule), modules)) return fail("bad module stream");
  for (const auto& m : modules) modules_.push_back(Module{m.base, m.size, m.inode, text(m.nameOffset)});

  std::vector<DumpHandle> handles;
  if (!records(found[kStreamHandles], sizeof(DumpHandle), handles)) return fail("bad handle stream");
  for (const auto& h : handles) handles_.push_back(Handle{h.fd, text(h.nameOffset)});

  if (found[kStreamException]) {
    std::vector<DumpException> ex;
    if (!records(found[kStreamException], sizeof(DumpException), ex) || ex.size() != 1)
      return fail("bad exception stream");
    const auto& rec = ex[0].record;
    if (rec.magic != kel::crash::kCrashRecordMagic || rec.size != sizeof rec ||
        rec.registersSize > kel::crash::kMaxRegistersSize)
      return fail("bad crash record");
    exception_ = ex[0];
  }
  if (badString) return fail("string offset outside the strings");
  return true;
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
