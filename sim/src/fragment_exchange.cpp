// The host's side of the fragment exchange: Archive and Restore move a file's
// bytes through the buffer an engine names in its "KelFragment" elements.
#include "sim/engine_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kelsim {
namespace {

// Win32 codes the host sends in "FailureCallback".
constexpr std::uint32_t kWriteFault = 29;   // ERROR_WRITE_FAULT: local file not written
constexpr std::uint32_t kReadFault = 30;    // ERROR_READ_FAULT: local file not read
constexpr std::uint32_t kGenFailure = 31;   // ERROR_GEN_FAILURE: engine memory or answer refused

// One route's whole copy; false with errno set.
bool vm_copy(pid_t pid, std::uint64_t address, void* data, std::size_t n, bool write) {
  std::size_t done = 0;
  while (done < n) {
    iovec local{static_cast<char*>(data) + done, n - done};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address + done)), n - done};
    const ssize_t got = write ? ::process_vm_writev(pid, &local, 1, &remote, 1, 0)
                              : ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EFAULT;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool mem_file_copy(pid_t pid, std::uint64_t address, void* data, std::size_t n, bool write) {
  const std::string path = "/proc/" + std::to_string(pid) + "/mem";
  const int fd = ::open(path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < n) {
    auto* p = static_cast<char*>(data) + done;
    const auto at = static_cast<off_t>(address + done);
    const ssize_t got = write ? ::pwrite(fd, p, n - done, at) : ::pread(fd, p, n - done, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return true;
}

bool copy_memory(pid_t pid, std::uint64_t address, void* data, std::size_t n, bool write, std::string* error,
                 MemoryRoute route) {
  if (n == 0) return true;
  const auto limit = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  if (address == 0 || n > limit || address > limit - n) {
    *error = "engine buffer address " + std::to_string(address) + " with " + std::to_string(n) +
             " bytes is out of range";
    return false;
  }
  std::string causes;
  if (route != MemoryRoute::ProcMem) {
    if (vm_copy(pid, address, data, n, write)) return true;
    causes = std::string(write ? "process_vm_writev" : "process_vm_readv") + ": " + std::strerror(errno);
  }
  if (route != MemoryRoute::VmCalls) {
    if (mem_file_copy(pid, address, data, n, write)) return true;
    if (!causes.empty()) causes += "; ";
    causes += "/proc/" + std::to_string(pid) + "/mem: " + std::strerror(errno);
  }
  *error = std::string(write ? "cannot write " : "cannot read ") + std::to_string(n) + " bytes at 0x" +
           [&] {
             char b[20];
             std::snprintf(b, sizeof b, "%llX", static_cast<unsigned long long>(address));
             return std::string(b);
           }() +
           " in process " + std::to_string(pid) + " (" + causes + ")";
  return false;
}

// Reads up to n bytes at offset, short only at the end of the file.
ssize_t read_full(int fd, char* data, std::size_t n, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pread(fd, data + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool write_full(int fd, const char* data, std::size_t n, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// A decimal attribute; false when it is missing, not a number or too large.
bool number_of(const EngineElement& e, const char* key, int base, std::uint64_t* v) {
  const std::string s = e.attribute(key);
  if (s.empty() || s.size() > 20 || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  *v = std::strtoull(s.c_str(), &end, base);
  return end != nullptr && *end == 0 && errno == 0;
}

std::uint64_t file_time_of(const timespec& t) {
  if (t.tv_sec <= 0) return 0;
  return (static_cast<std::uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<std::uint64_t>(t.tv_nsec) / 100;
}

std::string file_child(const std::string& name, std::uint32_t generation, std::uint32_t version) {
  return "<File Name=\"" + escape_name(name) + "\" Fragment=\"0\" Generation=\"" + std::to_string(generation) +
         "\" Version=\"" + std::to_string(version) + "\" KernelInterface=\"0\"/>";
}

std::string with_child(std::string line, const std::string& child) {
  // request_line ends the root element with "/>".
  line.resize(line.size() - 2);
  return line + ">" + child + "</ArchiveFileSystemOperation>";
}

class LocalFile {
 public:
  LocalFile(const std::string& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {}
  ~LocalFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  LocalFile(const LocalFile&) = delete;
  LocalFile& operator=(const LocalFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool write_process_memory(pid_t pid, std::uint64_t address, const void* data, std::size_t n, std::string* error,
                          MemoryRoute route) {
  return copy_memory(pid, address, const_cast<void*>(data), n, true, error, route);
}

bool read_process_memory(pid_t pid, std::uint64_t address, void* data, std::size_t n, std::string* error,
                         MemoryRoute route) {
  return copy_memory(pid, address, data, n, false, error, route);
}

std::string archive_line(std::uint64_t sequence, const ArchiveRequest& request) {
  return with_child(request_line(sequence, "Archive",
                                 {{"BlockNumber", std::to_string(request.block_number)},
                                  {"CreationTime", std::to_string(request.creation_time)},
                                  {"ModificationTime", std::to_string(request.modification_time)}}),
                    file_child(request.name, request.generation, request.version));
}

std::string restore_line(std::uint64_t sequence, const RestoreRequest& request) {
  return with_child(request_line(sequence, request.verify ? "Verify" : "Restore",
                                 {{"BlockNumber", "0"},
                                  {"FragmentOffset", std::to_string(request.verify ? 0 : request.offset)},
                                  {"Length", std::to_string(request.verify ? 0 : request.length)},
                                  {"TrackProgress", "0"}}),
                    file_child(request.name, request.generation, request.version));
}

// The next answer of the exchange: true for a "KelFragment" of this
// request; false when the request ended (its last answer is in r) or no
// answer came (r->error says so).
bool EngineProcess::next_or_fail(std::uint64_t sequence, ExchangeResult* r, EngineElement* e) {
  if (!next(e)) {
    r->error = "no answer from the engine (its output ended or the deadline passed)";
    return false;
  }
  r->answers.push_back(*e);
  if (e->name != "KelFragment") return false;
  if (e->attribute("SequenceNumber") != std::to_string(sequence)) {
    r->error = "a fragment of another request: " + e->raw;
    return false;
  }
  return true;
}

// The buffer a "KelFragment" names, bounded by the IOSize the host granted.
bool EngineProcess::buffer_of(const EngineElement& e, std::uint32_t asked, std::uint64_t* address,
                              std::uint32_t* size, std::string* error) const {
  std::uint64_t io = 0;
  if (!number_of(e, "IOSize", 10, &io) || io == 0 || io > asked || !number_of(e, "Buffer", 16, address) ||
      *address == 0) {
    *error = "a fragment without a usable buffer (IOSize " + e.attribute("IOSize") + " of " +
             std::to_string(asked) + " granted, Buffer " + e.attribute("Buffer") + ")";
    return false;
  }
  *size = static_cast<std::uint32_t>(io);
  return true;
}

ExchangeResult EngineProcess::archive(std::uint64_t sequence, const std::string& local_file,
                                      const ArchiveRequest& request) {
  ExchangeResult r;
  LocalFile file(local_file, O_RDONLY);
  struct stat st {};
  if (file.fd() < 0 || ::fstat(file.fd(), &st) != 0) {
    r.error = local_file + ": " + std::strerror(errno);
    return r;
  }
  ArchiveRequest q = request;
  if (q.modification_time == 0) q.modification_time = file_time_of(st.st_mtim);
  if (q.creation_time == 0) q.creation_time = q.modification_time;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  auto fail = [&](std::uint32_t code, std::string why) {
    r.error = std::move(why);
    send(request_line(sequence, "FailureCallback", {{"ErrorCode", std::to_string(code)}}));
    return r;
  };
  EngineElement e;
  if (!send(archive_line(sequence, q)) || !next_or_fail(sequence, &r, &e)) return r;
  if (!send(request_line(sequence, "OpenFragmentFileCallback", {{"IOSize", std::to_string(q.io_size)}})) ||
      !next_or_fail(sequence, &r, &e))
    return r;
  number_of(e, "BlockNumber", 10, &r.block);
  std::vector<char> piece;
  for (;;) {
    std::uint64_t address = 0;
    std::uint32_t io = 0;
    std::string why;
    if (!buffer_of(e, q.io_size, &address, &io, &why)) return fail(kGenFailure, why);
    // Only what this piece carries: a fresh buffer of the whole grant would
    // be cleared for nothing on every small file.
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(io, size - std::min(size, r.bytes)));
    piece.resize(want);
    const ssize_t n = read_full(file.fd(), piece.data(), want, r.bytes);
    if (n < 0) return fail(kReadFault, local_file + ": " + std::strerror(errno));
    if (!write_process_memory(pid_, address, piece.data(), static_cast<std::size_t>(n), &why))
      return fail(kGenFailure, why);
    if (!send(request_line(sequence, "WriteCallback",
                           {{"FragmentFileSize", std::to_string(size)}, {"BytesToWrite", std::to_string(n)}}))) {
      r.error = "the engine no longer reads its input";
      return r;
    }
    r.bytes += static_cast<std::uint64_t>(n);
    if (q.progress) q.progress(r.bytes);
    if (!next_or_fail(sequence, &r, &e)) break;
    if (n == 0) return fail(kGenFailure, "a fragment after the end of the file: " + e.raw);
  }
  r.ok = r.error.empty() && r.last() != nullptr && r.last()->name == "KelArchive";
  return r;
}

ExchangeResult EngineProcess::restore(std::uint64_t sequence, const RestoreRequest& request,
                                      const std::string& local_file) {
  ExchangeResult r;
  LocalFile file(local_file, O_WRONLY | O_CREAT | O_TRUNC);
  if (file.fd() < 0) {
    r.error = local_file + ": " + std::strerror(errno);
    return r;
  }
  auto fail = [&](std::uint32_t code, std::string why) {
    r.error = std::move(why);
    send(request_line(sequence, "FailureCallback", {{"ErrorCode", std::to_string(code)}}));
    return r;
  };
  EngineElement e;
  if (!send(restore_line(sequence, request)) || !next_or_fail(sequence, &r, &e)) return r;
  number_of(e, "FragmentFileSize", 10, &r.file_size);
  // What the request asks for; the engine sends whole pieces, the host
  // keeps only these bytes.
  const std::uint64_t offset = request.verify ? 0 : request.offset;
  const std::uint64_t length = request.verify ? 0 : request.length;
  const std::uint64_t start = std::min(offset, r.file_size);
  const std::uint64_t wanted = length == 0 ? r.file_size - start : std::min(length, r.file_size - start);
  if (!send(request_line(sequence, "OpenFragmentFileCallback", {{"IOSize", std::to_string(request.io_size)}})))
    return r;
  std::uint64_t received = 0;  // bytes the engine placed, kept or not
  std::vector<char> piece;
  while (next_or_fail(sequence, &r, &e)) {
    std::uint64_t n = 0;
    if (!number_of(e, "BytesTransferred", 10, &n)) return fail(kGenFailure, "a fragment without a count: " + e.raw);
    if (n == 0) {
      next_or_fail(sequence, &r, &e);
      if (r.error.empty() && !r.answers.empty() && r.answers.back().name == "KelFragment")
        r.error = "a fragment after the end of the data: " + e.raw;
      break;
    }
    std::uint64_t address = 0;
    std::uint32_t io = 0;
    std::string why;
    if (!buffer_of(e, request.io_size, &address, &io, &why)) return fail(kGenFailure, why);
    if (n > io || received + n > r.file_size - start)
      return fail(kGenFailure, "a fragment of " + std::to_string(n) + " bytes beyond the buffer or the file");
    piece.resize(static_cast<std::size_t>(n));
    if (!read_process_memory(pid_, address, piece.data(), piece.size(), &why)) return fail(kGenFailure, why);
    const std::uint64_t keep = std::min(n, wanted - std::min(wanted, received));
    if (!write_full(file.fd(), piece.data(), static_cast<std::size_t>(keep), received))
      return fail(kWriteFault, local_file + ": " + std::strerror(errno));
    received += n;
    r.bytes += keep;
    if (request.progress) request.progress(r.bytes);
    if (!send(request_line(sequence, "ReadCallback"))) {
      r.error = "the engine no longer reads its input";
      return r;
    }
  }
  r.ok = r.error.empty() && r.last() != nullptr && r.last()->name == "KelSuccess";
  return r;
}

}  // namespace kelsim
