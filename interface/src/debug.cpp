// Log lines: the trace file and the host's debug elements.
//
// The trace file's descriptor, its byte count, rotation, opening and every
// write share one lock, so no line is written to a descriptor that rotation
// has closed (or that the system has meanwhile handed to another file). The
// flusher thread takes a reference to the open file under the same lock and
// flushes it outside the lock; the reference keeps the descriptor open.
#include "kel/debug.h"

#include "kel/response.h"
#include "kel/scsi.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "platform/thread_start.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxDirectory = 2047;
constexpr std::uint64_t kFlushIntervalMs = 100;

std::atomic<int> g_trace_level{0};
std::atomic<int> g_cache_delete_level{0};

struct TraceFile {
  int fd;
  std::string path;
  explicit TraceFile(int f, std::string p) : fd(f), path(std::move(p)) {}
  ~TraceFile() { ::close(fd); }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;
};

struct TraceState {
  std::mutex mu;  // everything below
  std::condition_variable cv;
  std::string directory;
  std::shared_ptr<TraceFile> file;
  std::uint64_t written = 0;  // bytes in the current file
  std::uint64_t limit = kel::kTraceFileLimit;
  bool dirty = false;  // written since the last flush
  bool flusher_running = false;
  bool stop = false;
  std::thread flusher;
  // The process is ending: threads still tracing open no file and start no
  // flusher, so none is left running when this state goes.
  bool closed = false;

  ~TraceState() {
    {
      std::lock_guard<std::mutex> g(mu);
      closed = true;
    }
    shutdown();
  }

  void shutdown() {
    std::thread t;
    {
      std::lock_guard<std::mutex> g(mu);
      file.reset();
      written = 0;
      stop = true;
      t = std::move(flusher);
    }
    cv.notify_all();
    if (t.joinable()) t.join();
    std::lock_guard<std::mutex> g(mu);
    stop = false;
  }
};

TraceState& state() {
  static TraceState s;
  return s;
}

bool is_space(unsigned c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void flusher_main(TraceState* s) {
  std::unique_lock<std::mutex> lk(s->mu);
  while (s->file && !s->stop) {
    const std::uint64_t deadline = platform::clock().now_ms() + kFlushIntervalMs;
    while (s->file && !s->stop && platform::clock().now_ms() < deadline)
      platform::clock().wait_until(lk, s->cv, deadline);
    if (!s->file || s->stop) break;
    if (s->dirty) {
      s->dirty = false;
      std::shared_ptr<TraceFile> f = s->file;  // keeps the descriptor open
      lk.unlock();
      ::fdatasync(f->fd);
      f.reset();
      lk.lock();
    }
  }
  s->flusher_running = false;
}

// Opens a new trace file named after the local time and this process. A
// name already taken (a rotation within the same millisecond) is never
// overwritten: the next millisecond's name is tried instead.
std::shared_ptr<TraceFile> open_trace_file(const std::string& dir) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  for (int k = 0; k < 1000; ++k) {
    const auto t = now + milliseconds(k);
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(tm.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st.wDay = static_cast<WORD>(tm.tm_mday);
    st.wHour = static_cast<WORD>(tm.tm_hour);
    st.wMinute = static_cast<WORD>(tm.tm_min);
    st.wSecond = static_cast<WORD>(tm.tm_sec);
    st.wMilliseconds = static_cast<WORD>(ms % 1000);
    const std::string path = dir + "/" + kel::TraceFileName(st, static_cast<std::uint32_t>(::getpid()));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) return std::make_shared<TraceFile>(fd, path);
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

// The file for the next line, rotating after the limit. Caller holds s.mu.
TraceFile* current_file(TraceState& s) {
  if (s.file && s.written > s.limit) {
    s.file.reset();
    s.written = 0;
  }
  if (s.file) return s.file.get();
  if (s.directory.empty() || s.closed) return nullptr;
  s.file = open_trace_file(s.directory);
  if (!s.file) return nullptr;
  s.written = 0;
  if (!s.flusher_running) {
    if (s.flusher.joinable()) s.flusher.join();  // ended on its own; it holds no lock now
    s.flusher_running = true;
    s.flusher = platform::start_thread(flusher_main, &s);
  }
  return s.file.get();
}

void write_trace_line(const std::string& line) {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.mu);
  TraceFile* f = current_file(s);
  if (!f) return;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t w = ::write(f->fd, line.data() + done, line.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  s.written += done;
  s.dirty = true;
}

const char* level_word(int level) {
  if (level < 0) return "Internal";
  if (level <= 3) return "Error";
  if (level == 4) return "Warning";
  return "Trace";
}

}  // namespace

std::string kel::TraceFileName(const SYSTEMTIME& st, std::uint32_t process_id) {
  char name[96];
  std::snprintf(name, sizeof name, "KELtrace_%d%02d%02d_%02d%02d%02d_%d-%u.txt", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, process_id);
  return name;
}

bool CheckLogLevel(int level) { return level < 6 || level < g_trace_level.load(); }

void SendDebugStringA(int level, const char* text) {
  if (!text) text = "";
  const std::uint64_t seq = kel::CurrentDriveCommandContext().SequenceNumber;
  if (level < g_trace_level.load()) {
    std::size_t n = std::strlen(text);
    while (n && is_space(static_cast<unsigned char>(text[n - 1]))) --n;
    std::string line(text, n);
    line += '\n';
    write_trace_line(line);
  }
  if (level < 6) {
    kel::CServiceDebugReponse response(level_word(level), seq, text);
    response.Send();
  }
}

void SendDebugStringW(int level, const WCHAR* text) {
  static const WCHAR kEmpty[1] = {0};
  if (!text) text = kEmpty;
  const std::uint64_t seq = kel::CurrentDriveCommandContext().SequenceNumber;
  if (level < g_trace_level.load()) {
    std::size_t n = platform::wcslen16(text);
    while (n && is_space(text[n - 1])) --n;
    std::string line = platform::utf16_to_utf8(std::u16string_view(text, n));
    line += '\n';
    write_trace_line(line);
  }
  if (level < 6) {
    kel::CServiceDebugReponse response(level_word(level), seq, text);
    response.Send();
  }
}

void SetDebugFile(const char* directory, unsigned level) {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.mu);
  g_trace_level.store(static_cast<int>(level));
  if (level != 0 && directory && *directory)
    s.directory.assign(directory, strnlen(directory, kMaxDirectory));
}

void SetLogLevel(unsigned) {}

void SetFsCacheDeleteLevel(unsigned level) { g_cache_delete_level.store(static_cast<int>(level)); }

bool CheckFsCacheDeleteLevel(int level) { return level <= g_cache_delete_level.load(); }

std::string kel::TraceFilePath() {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.mu);
  return s.file ? s.file->path : std::string();
}

void kel::CloseTraceFile() { state().shutdown(); }

void kel::SetTraceFileLimit(std::uint64_t bytes) {
  TraceState& s = state();
  std::lock_guard<std::mutex> g(s.mu);
  s.limit = bytes;
}
