// Writes the dump of a process: attach to every thread with ptrace, take
// their registers, the memory regions of /proc/PID/maps with their bytes,
// the mapped files, the open descriptors and the crash record, write them in
// the format of qvminidump/dump_format.h and detach.
#include "qvminidump/dump_format.h"
#include "qvminidump/tool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace qvminidump {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kMachine = kel::crash::kMachineX86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kMachine = kel::crash::kMachineAArch64;
#else
constexpr std::uint32_t kMachine = 0;
#endif

std::string readSmallFile(const std::string& path) {
  std::string s;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return s;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return s;
}

std::vector<pid_t> listThreads(pid_t pid) {
  std::vector<pid_t> tids;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return tids;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    const long v = std::strtol(e->d_name, &end, 10);
    if (end != e->d_name && *end == '\0' && v > 0) tids.push_back(static_cast<pid_t>(v));
  }
  ::closedir(d);
  return tids;
}

// Every thread of the process, stopped under ptrace while the object lives.
class Attachment {
 public:
  ~Attachment() {
    for (auto& [tid, t] : threads_) ::ptrace(PTRACE_DETACH, tid, nullptr, t.pendingSignal);
  }

  DWORD attach(pid_t pid) {
    if (pid <= 0) return ERROR_INVALID_PARAMETER;
    // The id must name a process (a thread-group leader), not one of its threads.
    const std::string status = readSmallFile("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("\nTgid:");
    if (at == std::string::npos) return ERROR_INVALID_PARAMETER;
    if (std::strtol(status.c_str() + at + 6, nullptr, 10) != pid) return ERROR_INVALID_PARAMETER;
    if (::ptrace(PTRACE_SEIZE, pid, nullptr, nullptr) != 0) return Win32ErrorFromErrno(errno);
    threads_[pid] = Thread{};
    if (!stop(pid)) return ERROR_INVALID_PARAMETER;  // the process ended meanwhile
    // Threads may start while we attach: repeat until no new one shows up.
    for (bool added = true; added;) {
      added = false;
      for (pid_t tid : listThreads(pid)) {
        if (threads_.count(tid) || gone_.count(tid)) continue;
        if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) {
          if (errno == ESRCH) { gone_.insert(tid); continue; }
          return Win32ErrorFromErrno(errno);
        }
        threads_[tid] = Thread{};
        stop(tid);
        added = true;
      }
    }
    return ERROR_SUCCESS;
  }

  std::vector<pid_t> threadIds() const {
    std::vector<pid_t> v;
    for (auto& [tid, t] : threads_) v.push_back(tid);
    return v;
  }

 private:
  struct Thread {
    int pendingSignal = 0;
  };

  // Interrupts a seized thread and waits until it stops; false when it ended.
  bool stop(pid_t tid) {
    if (::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) {
      threads_.erase(tid);
      gone_.insert(tid);
      return false;
    }
    for (;;) {
      int st = 0;
      const pid_t r = ::waitpid(tid, &st, __WALL);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || WIFEXITED(st) || WIFSIGNALED(st)) {
        threads_.erase(tid);
        gone_.insert(tid);
        return false;
      }
      if (WIFSTOPPED(st)) {
        // A signal that arrived first is handed back at the detach.
        if ((st >> 16) != PTRACE_EVENT_STOP) threads_[tid].pendingSignal = WSTOPSIG(st);
        return true;
      }
    }
  }

  std::map<pid_t, Thread> threads_;
  std::set<pid_t> gone_;
};

// Appends to the dump file, keeping the first error.
class Output {
 public:
  explicit Output(int fd) : fd_(fd) {}
  bool write(const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0 && error_ == 0) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) { error_ = w < 0 ? errno : EIO; break; }
      p += w;
      n -= static_cast<std::size_t>(w);
      offset_ += static_cast<std::uint64_t>(w);
    }
    return error_ == 0;
  }
  // Writes over bytes already written (the header).
  bool writeAt(const void* data, std::size_t n, std::uint64_t at) {
    if (error_ != 0) return false;
    const ssize_t w = ::pwrite(fd_, data, n, static_cast<off_t>(at));
    if (w != static_cast<ssize_t>(n)) error_ = w < 0 ? errno : EIO;
    return error_ == 0;
  }
  void pad8() {
    static const char zeros[8] = {};
    if (offset_ % 8) write(zeros, 8 - offset_ % 8);
  }
  std::uint64_t offset() const { return offset_; }
  int error() const { return error_; }
  void fail(int err) { if (error_ == 0) error_ = err; }

 private:
  int fd_;
  std::uint64_t offset_ = 0;
  int error_ = 0;
};

class Strings {
 public:
  std::uint32_t add(const std::string& s) {
    auto it = index_.find(s);
    if (it != index_.end()) return it->second;
    const auto off = static_cast<std::uint32_t>(data_.size());
    data_.append(s);
    data_.push_back('\0');
    index_.emplace(s, off);
    return off;
  }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
  std::map<std::string, std::uint32_t> index_;
};

struct MapLine {
  std::uint64_t start = 0, end = 0, offset = 0, inode = 0;
  std::uint32_t protection = 0;
  std::string name;
};

// The regions of /proc/PID/smaps (or /proc/PID/maps where smaps cannot be
// read), with the flag of those that are not to be dumped.
std::vector<MapLine> readMaps(pid_t pid) {
  std::vector<MapLine> maps;
  std::string text = readSmallFile("/proc/" + std::to_string(pid) + "/smaps");
  if (text.empty()) text = readSmallFile("/proc/" + std::to_string(pid) + "/maps");
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.rfind("VmFlags:", 0) == 0) {
      // Regions the process excluded from dumps (MADV_DONTDUMP, as the
      // sanitizers' shadow memory) and device memory are listed without bytes.
      if (!maps.empty() && (line.find(" dd") != std::string::npos || line.find(" io") != std::string::npos))
        maps.back().protection |= kProtNotDumped;
      continue;
    }
    MapLine m;
    char perms[8] = {};
    unsigned long long start, end, offset, inode;
    unsigned devMajor, devMinor;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %x:%x %llu%n", &start, &end, perms, &offset,
                    &devMajor, &devMinor, &inode, &consumed) < 7)
      continue;  // a detail line of smaps
    m.start = start;
    m.end = end;
    m.offset = offset;
    m.inode = inode;
    if (perms[0] == 'r') m.protection |= kProtRead;
    if (perms[1] == 'w') m.protection |= kProtWrite;
    if (perms[2] == 'x') m.protection |= kProtExec;
    if (perms[3] == 's') m.protection |= kProtShared;
    std::size_t n = static_cast<std::size_t>(consumed);
    while (n < line.size() && line[n] == ' ') ++n;
    m.name = line.substr(n);
    maps.push_back(std::move(m));
  }
  return maps;
}

// Copies what can be read of [start, end) of the process into the dump;
// returns the bytes captured from start.
std::uint64_t copyRegion(pid_t pid, std::uint64_t start, std::uint64_t end, Output& out,
                         std::vector<char>& buf) {
  std::uint64_t done = 0;
  while (start + done < end) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), end - start - done));
    iovec local{buf.data(), want};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(start + done)), want};
    const ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (n <= 0) break;
    if (!out.write(buf.data(), static_cast<std::size_t>(n))) break;
    done += static_cast<std::uint64_t>(n);
    if (static_cast<std::size_t>(n) < want) break;  // stopped at a page that cannot be read
  }
  return done;
}

DWORD readCrashRecord(pid_t pid, std::uint64_t address, kel::crash::CrashRecord* record) {
  iovec local{record, sizeof *record};
  iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), sizeof *record};
  const ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
  if (n != static_cast<ssize_t>(sizeof *record)) return ERROR_NOACCESS;
  if (record->magic != kel::crash::kCrashRecordMagic ||
      record->version != kel::crash::kCrashRecordVersion || record->size != sizeof *record ||
      record->registersSize > kel::crash::kMaxRegistersSize ||
      record->exception.numberParameters > kel::crash::kMaxExceptionParameters)
    return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

// The threads of the process with their registers, names and states.
std::vector<DumpThread> collectThreads(pid_t pid, const Options& o, const Attachment& att, Strings& strings) {
  std::vector<DumpThread> threads;
  for (pid_t tid : att.threadIds()) {
    DumpThread t{};
    t.threadId = static_cast<std::uint32_t>(tid);
    t.flags = static_cast<std::uint32_t>(tid) == o.threadId ? kThreadIsExceptionThread : 0;
    t.machine = kMachine;
    iovec iov{t.registers, sizeof t.registers};
    if (::ptrace(PTRACE_GETREGSET, tid, reinterpret_cast<void*>(NT_PRSTATUS), &iov) == 0)
      t.registersSize = static_cast<std::uint32_t>(iov.iov_len);
    const std::string base = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
    std::string comm = readSmallFile(base + "/comm");
    while (!comm.empty() && comm.back() == '\n') comm.pop_back();
    t.nameOffset = strings.add(comm);
    const std::string stat = readSmallFile(base + "/stat");
    const auto paren = stat.rfind(')');
    t.state = paren != std::string::npos && paren + 2 < stat.size()
                  ? static_cast<unsigned char>(stat[paren + 2]) : '?';
    threads.push_back(t);
  }
  return threads;
}

// Every region of the map, with the bytes that can be read copied into the
// dump; the output's error, if any.
DWORD collectRegions(pid_t pid, const std::vector<MapLine>& maps, Strings& strings, Output& out,
                     std::vector<DumpMemoryRegion>& regions) {
  std::vector<char> buf(1 << 20);
  for (const MapLine& m : maps) {
    DumpMemoryRegion r{};
    r.start = m.start;
    r.end = m.end;
    r.fileOffset = m.offset;
    r.inode = m.inode;
    r.protection = m.protection;
    r.nameOffset = m.name.empty() ? kNoString : strings.add(m.name);
    r.dataOffset = out.offset();
    if ((m.protection & kProtRead) && !(m.protection & kProtNotDumped)) r.dataSize = copyRegion(pid, m.start, m.end, out, buf);
    if (out.error()) return Win32ErrorFromErrno(out.error());
    regions.push_back(r);
  }
  return ERROR_SUCCESS;
}

// Mapped files and the vDSO, each with its lowest address and extent.
std::vector<DumpModule> collectModules(const std::vector<MapLine>& maps, Strings& strings) {
  std::vector<DumpModule> modules;
  std::map<std::pair<std::string, std::uint64_t>, std::size_t> moduleIndex;
  for (const MapLine& m : maps) {
    if (m.name.empty() || (m.name[0] != '/' && m.name != "[vdso]")) continue;
    const auto key = std::make_pair(m.name, m.inode);
    auto it = moduleIndex.find(key);
    if (it == moduleIndex.end()) {
      DumpModule mod{};
      mod.base = m.start;
      mod.size = m.end - m.start;
      mod.inode = m.inode;
      mod.nameOffset = strings.add(m.name);
      moduleIndex.emplace(key, modules.size());
      modules.push_back(mod);
    } else {
      DumpModule& mod = modules[it->second];
      const std::uint64_t end = std::max(mod.base + mod.size, m.end);
      mod.base = std::min(mod.base, m.start);
      mod.size = end - mod.base;
    }
  }
  return modules;
}

// The open descriptors of the process with what they name.
std::vector<DumpHandle> collectHandles(pid_t pid, Strings& strings) {
  std::vector<DumpHandle> handles;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return handles;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0') continue;
    char target[4096];
    const ssize_t n = ::readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    handles.push_back(DumpHandle{static_cast<std::uint32_t>(fd),
                                 n > 0 ? strings.add(std::string(target, static_cast<std::size_t>(n)))
                                       : kNoString});
  }
  ::closedir(d);
  return handles;
}

// The streams of the dump, as the directory lists them.
struct DumpStreams {
  std::vector<DumpThread> threads;
  std::vector<DumpMemoryRegion> regions;
  std::vector<DumpModule> modules;
  std::vector<DumpHandle> handles;
  const DumpException* exception = nullptr;  // null without a crash record
  Strings strings;
};

// The streams written after the memory, then the directory, then the
// header again with the directory's place.
void writeStreams(const DumpStreams& d, DumpHeader& header, Output& out) {
  std::vector<DumpDirectoryEntry> directory;
  auto stream = [&](std::uint32_t type, std::uint32_t count, const void* data, std::size_t size) {
    out.pad8();
    directory.push_back(DumpDirectoryEntry{type, count, out.offset(), size});
    out.write(data, size);
  };
  stream(kStreamThreads, static_cast<std::uint32_t>(d.threads.size()), d.threads.data(),
         d.threads.size() * sizeof(DumpThread));
  stream(kStreamMemory, static_cast<std::uint32_t>(d.regions.size()), d.regions.data(),
         d.regions.size() * sizeof(DumpMemoryRegion));
  stream(kStreamModules, static_cast<std::uint32_t>(d.modules.size()), d.modules.data(),
         d.modules.size() * sizeof(DumpModule));
  stream(kStreamHandles, static_cast<std::uint32_t>(d.handles.size()), d.handles.data(),
         d.handles.size() * sizeof(DumpHandle));
  if (d.exception) stream(kStreamException, 1, d.exception, sizeof *d.exception);
  stream(kStreamStrings, 0, d.strings.data().data(), d.strings.data().size());

  out.pad8();
  header.directoryOffset = out.offset();
  header.streamCount = static_cast<std::uint32_t>(directory.size());
  header.flags = d.exception ? kHeaderHasException : 0;
  out.write(directory.data(), directory.size() * sizeof(DumpDirectoryEntry));
  out.writeAt(&header, sizeof header, 0);
}

DWORD writeBody(pid_t pid, const Options& o, const Attachment& att, Output& out) {
  DumpHeader header{};
  std::memcpy(header.magic, kDumpMagic, sizeof header.magic);
  header.version = kDumpVersion;
  header.headerSize = sizeof header;
  header.dumpType = kDumpType;
  header.processId = o.processId;
  header.threadId = o.threadId;
  header.exceptionPointers = o.exceptionPointers;
  header.timeStamp = static_cast<std::uint64_t>(std::time(nullptr));
  header.machine = kMachine;
  if (!out.write(&header, sizeof header)) return Win32ErrorFromErrno(out.error());

  // The crash record first: without it there is no dump.
  DumpException exception{};
  if (o.exceptionPointers != 0) {
    const DWORD rc = readCrashRecord(pid, o.exceptionPointers, &exception.record);
    if (rc != ERROR_SUCCESS) return rc;
    exception.threadId = o.threadId;
    exception.address = o.exceptionPointers;
  }
  DumpStreams d;
  d.threads = collectThreads(pid, o, att, d.strings);
  const std::vector<MapLine> maps = readMaps(pid);
  if (maps.empty()) return ERROR_INVALID_PARAMETER;  // the process is gone
  if (const DWORD rc = collectRegions(pid, maps, d.strings, out, d.regions)) return rc;
  d.modules = collectModules(maps, d.strings);
  d.handles = collectHandles(pid, d.strings);
  if (o.exceptionPointers != 0) d.exception = &exception;
  writeStreams(d, header, out);
  if (out.error()) return Win32ErrorFromErrno(out.error());
  return ERROR_SUCCESS;
}

// Gives the complete temporary file its name, never over an existing file:
// ERROR_FILE_EXISTS then. Where the file system cannot rename without
// replacing, a hard link does the same.
DWORD publish(const std::string& tmp, const std::string& file) {
  if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE) == 0)
    return ERROR_SUCCESS;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    if (::link(tmp.c_str(), file.c_str()) == 0) {
      ::unlink(tmp.c_str());
      return ERROR_SUCCESS;
    }
    err = errno;
  }
  return err == EEXIST ? ERROR_FILE_EXISTS : Win32ErrorFromErrno(err);
}

}  // namespace

DWORD WriteDump(const Options& o) {
  const auto pid = static_cast<pid_t>(o.processId);
  if (o.processId == 0 || o.processId > 0x7FFFFFFFu || o.file.empty()) return ERROR_INVALID_PARAMETER;

  // Open the process: stop every thread under ptrace. There is no debug
  // privilege to enable first: the kernel checks the right to trace when
  // attaching (same user, and the crash handler's PR_SET_PTRACER where ptrace
  // is restricted to declared tracers).
  Attachment att;
  DWORD rc = att.attach(pid);
  if (rc != ERROR_SUCCESS) return rc;

  // Create the file: a temporary one beside it, given the file's name when
  // complete. An existing file of that name is never replaced.
  struct stat st;
  if (::stat(o.file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  const auto slash = o.file.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : o.file.substr(0, slash));
  const std::string base = slash == std::string::npos ? o.file : o.file.substr(slash + 1);
  if (base.empty()) return ERROR_INVALID_PARAMETER;
  std::string tmp = dir + "/." + base + ".XXXXXX";
  const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return Win32ErrorFromErrno(errno);

  Output out(fd);
  rc = writeBody(pid, o, att, out);
  if (rc == ERROR_SUCCESS && ::fdatasync(fd) != 0) rc = Win32ErrorFromErrno(errno);
  if (::close(fd) != 0 && rc == ERROR_SUCCESS) rc = Win32ErrorFromErrno(errno);
  if (rc == ERROR_SUCCESS) rc = publish(tmp, o.file);
  if (rc != ERROR_SUCCESS) ::unlink(tmp.c_str());
  return rc;
}

}  // namespace qvminidump
