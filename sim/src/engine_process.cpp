#include "sim/engine_process.h"

#include "sim/element_parser.h"
#include "sim/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace kelsim {
namespace {

// ---------------------------------------------------------------- escaping

// UTF-8 to UTF-16 code units; invalid bytes become U+FFFD.
std::u16string to_utf16(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += static_cast<std::size_t>(extra) + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

// UTF-16 code units to UTF-8; a lone surrogate becomes U+FFFD.
std::string to_utf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

// ---------------------------------------------------------------- process helpers

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void close_fd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

std::string reg_quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace

bool EngineElement::is_debug() const {
  return name == "Internal" || name == "Error" || name == "Warning" || name == "Trace";
}

std::string EngineElement::attribute(const std::string& key) const {
  auto it = attributes.find(key);
  return it == attributes.end() ? std::string() : it->second;
}

std::string escape_attribute(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string escape_name(const std::string& utf8) {
  std::string once;
  for (char16_t u : to_utf16(utf8)) {
    if (u == u'&') {
      once += "&amp;";
    } else if (u < 0x20 || u >= 0x7F) {
      once += "&#" + std::to_string(static_cast<unsigned>(u)) + ";";
    } else {
      once.push_back(static_cast<char>(u));
    }
  }
  return escape_attribute(once);
}

std::string unescape_name(const std::string& text) {
  std::u16string units;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 5, "&amp;") == 0) {
      units.push_back(u'&');
      i += 5;
      continue;
    }
    if (text.compare(i, 2, "&#") == 0) {
      const std::size_t end = text.find(';', i);
      unsigned long v = 0;
      bool digits = end != std::string::npos && end > i + 2 && end - i <= 8;
      for (std::size_t k = i + 2; digits && k < end; ++k) {
        digits = text[k] >= '0' && text[k] <= '9';
        v = v * 10 + static_cast<unsigned long>(text[k] - '0');
      }
      if (digits && v <= 0xFFFF) {
        units.push_back(static_cast<char16_t>(v));
        i = end + 1;
        continue;
      }
    }
    // Up to the next '&' (at least one byte): plain UTF-8.
    const std::size_t next = std::max(i + 1, std::min(text.find('&', i + 1), text.size()));
    units += to_utf16(text.substr(i, next - i));
    i = next;
  }
  return to_utf8(units);
}

std::string request_line(std::uint64_t sequence, const std::string& opcode,
                         const std::vector<std::pair<std::string, std::string>>& attributes) {
  std::string line = "<ArchiveFileSystemOperation SequenceNumber=\"" + std::to_string(sequence) +
                     "\" Opcode=\"" + opcode + "\"";
  for (const auto& [key, value] : attributes) line += " " + key + "=\"" + value + "\"";
  return line + "/>";
}

// ---------------------------------------------------------------- EngineProcess

EngineProcess::EngineProcess(SimHarness& sim, EngineProcessOptions options) : options_(std::move(options)) {
  start(EngineHost{sim.directory(), sim.cookie_text()});
}

EngineProcess::EngineProcess(const EngineHost& host, EngineProcessOptions options) : options_(std::move(options)) {
  start(host);
}

void EngineProcess::start(const EngineHost& host) {
  // A write to an engine that has ended must fail, not end the caller.
  ::signal(SIGPIPE, SIG_IGN);
  if (options_.cache_directory.empty()) options_.cache_directory = host.directory + "/cache";
  std::error_code ec;
  std::filesystem::create_directories(options_.cache_directory, ec);
  registry_file_ = host.directory + "/engine-registry.reg";
  write_registry();
  std::vector<std::string> args{options_.program};
  if (options_.use_default_arguments && options_.arguments.empty()) {
    args.push_back(host.cookie_text);
    args.push_back(options_.cache_directory);
  } else {
    args.insert(args.end(), options_.arguments.begin(), options_.arguments.end());
  }
  if (!spawn(args)) return;
  watch_output();
  reader_ = std::thread([this] { read_loop(); });
}

// The reader thread waits in epoll for both output pipes and the process's
// end (a pidfd); a requesting thread takes the pipes out of that set while it
// reads them itself, so the reader thread is not woken by an answer it does
// not read.
void EngineProcess::watch_output() {
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  for (const int fd : {out_fd_, err_fd_, pidfd_}) set_watched(fd, true);
}

void EngineProcess::set_watched(int fd, bool watched) {
  if (fd < 0 || epoll_fd_ < 0) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, watched ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, fd, &ev);
}

EngineProcess::~EngineProcess() {
  close_input();
  if (reader_.joinable()) {
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (exit_code_ == -2 && pid_ > 0) ::kill(pid_, SIGKILL);
    }
    reader_.join();
  }
  close_fd(&out_fd_);
  close_fd(&err_fd_);
  close_fd(&pidfd_);
  close_fd(&epoll_fd_);
}

void EngineProcess::write_registry() {
  std::ofstream f(registry_file_, std::ios::trunc);
  f << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n";
  for (const auto& [name, value] : options_.registry_dwords) {
    char hex[9];
    std::snprintf(hex, sizeof(hex), "%08x", value);
    f << reg_quote(name) << "=dword:" << hex << "\n";
  }
  for (const auto& [name, value] : options_.registry_strings) f << reg_quote(name) << "=" << reg_quote(value) << "\n";
}

bool EngineProcess::spawn(const std::vector<std::string>& args) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "KEL_REGISTRY=", 13) != 0) env.emplace_back(*e);
  env.push_back("KEL_REGISTRY=" + registry_file_);
  std::vector<char*> envp, argv;
  for (auto& s : env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_copy = args;
  for (auto& s : arg_copy) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_fd_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (rc != 0) {
    error_ = "posix_spawn " + args[0] + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
  return true;
}

// Called by the one thread reading the output at the time (the reader
// thread, or a requesting thread while it reads), the only one that changes
// pending_. Whole elements are parsed outside the lock (each thread's parser
// is reused); until they are kept they stay in pending_, so describe() never
// misses one.
void EngineProcess::take_output(const char* data, std::size_t n) {
  thread_local ElementParser parser;
  std::size_t whole = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    pending_.append(data, n);
    const std::size_t last = pending_.rfind('\0');
    if (last == std::string::npos) return;
    whole = last + 1;
  }
  // Reading pending_ needs no lock here: no other thread changes it.
  std::vector<std::string> raws;
  std::vector<EngineElement> parsed;
  for (std::size_t at = 0; at < whole;) {
    const std::size_t nul = pending_.find('\0', at);
    raws.emplace_back(pending_, at, nul - at);
    parsed.push_back(parser.parse(raws.back()));
    at = nul + 1;
  }
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lk(mu_);
  pending_.erase(0, whole);
  bool wake = false;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    all_.push_back(std::move(raws[i]));
    if (parsed[i].is_debug()) continue;
    last_answer_ = now;
    if (collector_ != nullptr && !collector_->done) {
      // A request collecting is woken at its last answer only.
      collector_->got->push_back(std::move(parsed[i]));
      collector_->done = collector_->ends(collector_->got->back());
      wake = wake || collector_->done;
    } else {
      answers_.push_back(std::move(parsed[i]));
      wake = true;
    }
  }
  // Nothing a waiter waits for changes with debug messages alone.
  if (wake) cv_.notify_all();
}

// Reads one pipe until it is empty: false at its end (or a read error).
bool EngineProcess::drain(int fd, bool output) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n > 0) {
      if (output) {
        take_output(buf, static_cast<std::size_t>(n));
      } else {
        std::lock_guard<std::mutex> lk(mu_);
        stderr_.append(buf, static_cast<std::size_t>(n));
      }
      // A read that did not fill the buffer most likely emptied the pipe:
      // the next wait tells, without a read that finds nothing.
      if (static_cast<std::size_t>(n) < sizeof(buf)) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;
  }
}

// Reads both output pipes until the process has ended and they are drained
// (or closed), except while a requesting thread reads them.
void EngineProcess::read_loop() {
  bool exited = false;
  while (out_open_ || err_open_) {
    if (!exited) {
      // Without a pidfd the loop ends on the pipes' end alone.
      epoll_event ev[3];
      const int n = ::epoll_wait(epoll_fd_, ev, 3, -1);
      if (n < 0 && errno != EINTR) break;
      for (int k = 0; k < n; ++k) exited = exited || ev[k].data.fd == pidfd_;
    }
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_.wait(lk, [this] { return !requesting_; });
      reader_reading_ = true;
    }
    // Once the process has ended, what is not there now is not coming from
    // it (a child it left may hold the pipe open).
    const bool out = out_open_ && drain(out_fd_, true) && !exited;
    const bool err = err_open_ && drain(err_fd_, false) && !exited;
    {
      std::lock_guard<std::mutex> lk(mu_);
      reader_reading_ = false;
      // A closed pipe leaves the set: it would report a hang-up on every wait.
      if (out_open_ && !out) set_watched(out_fd_, false), out_open_ = false;
      if (err_open_ && !err) set_watched(err_fd_, false), err_open_ = false;
    }
    cv_.notify_all();
  }
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, 0);
  std::lock_guard<std::mutex> lk(mu_);
  output_ended_ = true;
  exit_code_ = r == pid_ ? exit_code_of(status) : -1;
  end_signal_ = r == pid_ && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  cv_.notify_all();
}

// Makes this thread the one that reads the output, unless another requesting
// thread does or the output has ended: the pipes leave the reader thread's
// set and a read of the reader thread in progress ends first.
bool EngineProcess::take_reading(std::unique_lock<std::mutex>& lk) {
  if (requesting_ || output_ended_ || !out_open_) return false;
  requesting_ = true;
  set_watched(out_fd_, false);
  if (err_open_) set_watched(err_fd_, false);
  cv_.wait(lk, [this] { return !reader_reading_; });
  return true;
}

void EngineProcess::give_reading() {
  requesting_ = false;
  if (out_open_) set_watched(out_fd_, true);
  if (err_open_) set_watched(err_fd_, true);
  cv_.notify_all();
}

// A requesting thread's wait for output up to `end`, then reading it: false
// when an output pipe or the process ended (the reader thread takes over).
bool EngineProcess::read_waiting(std::chrono::steady_clock::time_point end, bool err_open) {
  pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_open ? err_fd_ : -1, POLLIN, 0}, {pidfd_, POLLIN, 0}};
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
  const int n = ::poll(fds, 3, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
  if (n < 0) return errno == EINTR;
  const bool out = drain(out_fd_, true);
  const bool err = !err_open || drain(err_fd_, false);
  return out && err && !(fds[2].revents & POLLIN);
}

// Waits until done() holds, the output has ended or until() has passed.
// The waiting thread reads the output itself while it can (the answer then
// wakes the thread that waits for it, and no other); otherwise the reader
// thread hands the answers over.
void EngineProcess::wait_for(std::unique_lock<std::mutex>& lk, bool reading, const std::function<bool()>& done,
                             const std::function<std::chrono::steady_clock::time_point()>& until) {
  while (!done() && !output_ended_) {
    const auto end = until();
    if (std::chrono::steady_clock::now() >= end) break;
    if (!reading) {
      cv_.wait_until(lk, end);
      continue;
    }
    const bool err_open = err_open_;
    lk.unlock();
    const bool more = read_waiting(end, err_open);
    lk.lock();
    if (!more) give_reading(), reading = false;
  }
  if (reading) give_reading();
}

bool EngineProcess::send(const std::string& line) {
  if (in_fd_ < 0) return false;
  const std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(in_fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void EngineProcess::close_input() { close_fd(&in_fd_); }

bool EngineProcess::next(EngineElement* out) {
  std::unique_lock<std::mutex> lk(mu_);
  const auto until = std::chrono::steady_clock::now() + options_.deadline;
  if (answers_.empty()) {
    const bool reading = take_reading(lk);
    wait_for(lk, reading, [this] { return !answers_.empty(); }, [until] { return until; });
  }
  if (answers_.empty()) return false;
  *out = std::move(answers_.front());
  answers_.pop_front();
  return true;
}

bool EngineProcess::Collector::ends(const EngineElement& e) const {
  return *last ? (*last)(e) : (e.name == "KelSuccess" || e.name == "HRESULT");
}

std::vector<EngineElement> EngineProcess::request(const std::string& line,
                                                  const std::function<bool(const EngineElement&)>& last) {
  std::vector<EngineElement> got;
  Collector c{&last, &got};
  std::unique_lock<std::mutex> lk(mu_);
  // Taken before the line goes out: its answers are this thread's to read.
  const bool reading = take_reading(lk);
  lk.unlock();
  // A line the process no longer reads (it has ended or is ending) still
  // leaves what it wrote before it: that comes, up to the end of the output.
  (void)send(line);
  lk.lock();
  while (!answers_.empty() && !c.done) {
    got.push_back(std::move(answers_.front()));
    answers_.pop_front();
    c.done = c.ends(got.back());
  }
  // The rest is read here or handed over by the reader thread. Each answer
  // may come up to the deadline after the one before it (or after the
  // request).
  collector_ = &c;
  const auto asked = std::chrono::steady_clock::now();
  wait_for(lk, reading, [&c] { return c.done; }, [&] { return std::max(asked, last_answer_) + options_.deadline; });
  collector_ = nullptr;
  return got;
}

int EngineProcess::wait_exit() {
  close_input();
  if (!reader_.joinable()) return -1;
  std::unique_lock<std::mutex> lk(mu_);
  const auto until = std::chrono::steady_clock::now() + options_.deadline;
  if (cv_.wait_until(lk, until, [this] { return exit_code_ != -2; })) return exit_code_;
  ::kill(pid_, SIGKILL);
  cv_.wait(lk, [this] { return exit_code_ != -2; });
  return -1;
}

bool EngineProcess::ended(int* exit_code, int* signal, std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!cv_.wait_for(lk, wait, [this] { return exit_code_ != -2; })) return false;
  if (exit_code) *exit_code = exit_code_;
  if (signal) *signal = end_signal_;
  return true;
}

std::vector<EngineElement> EngineProcess::elements() const {
  std::lock_guard<std::mutex> lk(mu_);
  ElementParser parser;
  std::vector<EngineElement> out;
  out.reserve(all_.size());
  for (const auto& raw : all_) out.push_back(parser.parse(raw));
  return out;
}

std::string EngineProcess::standard_error() const {
  std::lock_guard<std::mutex> lk(mu_);
  return stderr_;
}

std::string EngineProcess::describe() const {
  std::lock_guard<std::mutex> lk(mu_);
  std::string s = "engine output (" + std::to_string(all_.size()) + " elements):\n";
  for (const auto& raw : all_) s += "  " + raw + "\n";
  if (!pending_.empty()) s += "  (unterminated) " + pending_ + "\n";
  s += "standard error:\n" + stderr_ + "\n";
  s += exit_code_ == -2 ? "still running\n" : "exit " + std::to_string(exit_code_) + "\n";
  if (!error_.empty()) s += "start failed: " + error_ + "\n";
  return s;
}

}  // namespace kelsim
