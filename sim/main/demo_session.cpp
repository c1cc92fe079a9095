// The demo's session: ten steps through the real KelDriver (see
// demo_session.h).
#include "demo_session.h"


#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using kelsim::EngineElement;
using kelsim::EngineProcess;

namespace keldemo {
namespace {

Console* g_console = nullptr;

void say(const std::string& line) { g_console->line(line); }

std::string format(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* f, ...) {
  char b[1024];
  va_list a;
  va_start(a, f);
  std::vsnprintf(b, sizeof b, f, a);
  va_end(a);
  return b;
}

// The length of the UTF-8 sequence a lead byte starts; 0 for a byte that
// starts none.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

// The columns of one character (see display_columns).
std::size_t columns_of(char32_t c) {
  struct Range {
    char32_t first, last;
  };
  static constexpr Range kNone[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                    {0x064B, 0x065F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
                                    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}};
  static constexpr Range kTwo[] = {{0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
                                   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
                                   {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
                                   {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  for (const Range& r : kNone)
    if (c >= r.first && c <= r.last) return 0;
  for (const Range& r : kTwo)
    if (c >= r.first && c <= r.last) return 2;
  return 1;
}

std::string bytes_text(std::uint64_t n) {
  if (n < 10 * 1024) return format("%llu bytes", static_cast<unsigned long long>(n));
  if (n < 10ull * 1024 * 1024) return format("%.1f KiB", n / 1024.0);
  if (n < 10ull * 1024 * 1024 * 1024) return format("%.1f MiB", n / 1048576.0);
  return format("%.1f GiB", n / 1073741824.0);
}

std::uint64_t number(const EngineElement& e, const char* key) {
  return std::strtoull(e.attribute(key).c_str(), nullptr, 10);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> last_lines(const std::string& text, std::size_t n) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  if (lines.size() > n) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(n));
  return lines;
}


// ---------------------------------------------------------------- one step

// Prints a step's header and its time; while the step waits over a second a
// progress line (in place on a terminal) tells what is in hand, and with
// --verbose the service's new log lines are shown as they come.
class Step {
 public:
  Step(const Options& o, int number, const std::string& title) : o_(o), number_(number), start_(now()) {
    if (number > 0) say(format("[%d] %s", number, title.c_str()));
    if (!o.service_log.empty()) {
      std::error_code ec;
      log_offset_ = static_cast<std::size_t>(fs::file_size(o.service_log, ec));
      if (ec) log_offset_ = 0;
    }
    ticker_ = std::thread([this] { tick(); });
  }
  ~Step() { stop(); }
  void stop() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (stopped_) return;
      stopped_ = true;
    }
    cv_.notify_all();
    ticker_.join();
    clear_progress();
  }
  void done() {
    stop();
    say(format("    (%.2f s)", seconds()));
  }
  int number() const { return number_; }
  // What is in hand, for the progress line ("" : elapsed time and commands).
  void set_progress(const std::string& text) {
    std::lock_guard<std::mutex> lk(mu_);
    progress_ = text;
  }
  double seconds() const { return std::chrono::duration<double>(now() - start_).count(); }

 private:
  static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
  void tick() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!cv_.wait_for(lk, std::chrono::milliseconds(250), [this] { return stopped_; })) {
      std::string text = progress_;
      lk.unlock();
      show_log();
      if (seconds() > 1.0) show_progress(text);
      lk.lock();
    }
  }
  // New whole lines of the service's log since the last look.
  void show_log() {
    if (o_.service_log.empty()) return;
    std::ifstream in(o_.service_log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(log_offset_));
    for (std::string line; std::getline(in, line) && !in.eof();) {
      log_offset_ += line.size() + 1;
      ++log_seen_;
      if (o_.verbose && line.rfind("kelsim-host:", 0) != 0) say("      service: " + line);
    }
  }
  // In place on a terminal; elsewhere once a step, as a line.
  void show_progress(std::string text) {
    if (text.empty())
      text = format("%.0f s, %zu drive commands served", seconds(), log_seen_);
    if (g_console->tty()) {
      g_console->progress("    ... " + text);
    } else if (!shown_) {
      say("    ... " + text);
      shown_ = true;
    }
  }
  void clear_progress() { g_console->clear_progress(); }

  const Options& o_;
  int number_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopped_ = false, shown_ = false;
  std::string progress_;
  std::size_t log_seen_ = 0, log_offset_ = 0;
  std::thread ticker_;
};

// ---------------------------------------------------------------- the session

struct Entry {
  std::uint64_t size = 0;
  std::string generation, version;
  bool folder = false;
  bool operator==(const Entry& o) const {
    return size == o.size && generation == o.generation && version == o.version && folder == o.folder;
  }
};
using Listing = std::map<std::string, std::map<std::string, Entry>>;  // folder -> name -> entry

struct SyncPoint {
  int step;
  std::uint64_t block, next_writable;
};

class Failed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// An existing volume that holds data: nothing is written.
class NotEmpty : public Failed {
 public:
  using Failed::Failed;
};
// The engine died of a signal: the work directory holds its dump.
class EngineDied : public Failed {
 public:
  using Failed::Failed;
};

bool ends_request(const EngineElement& e) {
  return e.name == "KelSuccess" || e.name == "HRESULT" || e.name == "KelVolume" || e.name == "KelSync" ||
         e.name == "KelArchive" ||
         e.name == "Shutdown" || (e.name == "KelDirent" && e.attribute("ObjectName").empty()) ||
         (e.name == "KelRollbackInfo" && number(e, "SlotNumber") == 0 && number(e, "MetaDataFE_LSN") == 0 &&
          number(e, "FsdLsn") == 0);
}

std::string hresult_text(const EngineElement& e) {
  const auto hr = static_cast<std::uint32_t>(std::strtol(e.attribute("HRESULT").c_str(), nullptr, 10));
  const std::string meaning = hresult_meaning(hr);
  if ((hr & 0xFFFF0000u) == 0x80070000u)
    return format("HRESULT 0x%08X (Win32 code %u%s%s)", hr, hr & 0xFFFF, meaning.empty() ? "" : ": ",
                  meaning.c_str());
  return format("HRESULT 0x%08X", hr) + (meaning.empty() ? "" : " (" + meaning + ")");
}

// "signal 6 (SIGABRT, Aborted)".
std::string signal_text(int sig) {
  const char* abbrev = ::sigabbrev_np(sig);
  const char* what = ::sigdescr_np(sig);
  return format("signal %d (SIG%s, %s)", sig, abbrev ? abbrev : "?", what ? what : "unknown");
}

// The dump the crash handler wrote of process `pid` in `folder`
// ("KelDriver<time><code>-<pid>.dmp"), "" when there is none.
std::string dump_of(const std::string& folder, int pid) {
  const std::string tail = "-" + std::to_string(pid) + ".dmp";
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind("KelDriver", 0) == 0 && name.size() > tail.size() &&
        name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
      return e.path().string();
  }
  return "";
}

constexpr std::uint32_t kGeneration = 1, kVersion = 1;

class Demo final : public Session {
 public:
  explicit Demo(Options o) : o_(std::move(o)) {}
  int run();
  std::vector<EngineElement> request(const std::string& opcode, const Attributes& attributes) override;
  const std::vector<LocalFile>& first_batch() const override { return first_; }

 private:
  void after(int step);
  void start_engine();
  std::vector<EngineElement> ask(Step& step, const std::string& opcode, const Attributes& attributes = {});
  EngineElement ask_for(Step& step, const std::string& opcode, const std::string& expect,
                        const Attributes& attributes = {});
  [[noreturn]] void fail(Step& step, const std::string& what, const EngineElement* answer);
  std::string engine_end(bool wait, bool* died) const;
  std::string engine_messages() const;
  void verbose_answers(const std::vector<EngineElement>& answers);

  void step_mount();
  void make_sample();
  void take_folder(Step& step, const std::string& from);
  void archive_all(Step& step, const std::vector<LocalFile>& files, const std::vector<std::string>& folders);
  SyncPoint sync(Step& step, const std::string& reason);
  Listing list(Step& step, bool show);
  bool restore_compare(Step& step, const LocalFile& f, const std::string& into);
  void unmount(Step& step);
  void rollback(Step& step);
  bool judge_images();
  void check_listing(Step& step, const Listing& got, const Listing& want, const std::string& what);

  Options o_;
  std::unique_ptr<EngineProcess> engine_;
  std::uint64_t seq_ = 0;
  std::vector<std::string> folders_;  // on the volume, "/demo" first
  std::vector<LocalFile> first_, second_;
  std::vector<SyncPoint> syncs_;
  Listing after_first_, after_second_;
  EngineElement volume_;  // the remounted volume's figures (step 8)
  bool all_good_ = true;
};

void Demo::start_engine() {
  kelsim::EngineProcessOptions eo;
  eo.program = o_.engine;
  eo.cache_directory = o_.work + "/cache";
  if (o_.start_engine)
    engine_ = o_.start_engine(eo);
  else
    engine_ = std::make_unique<EngineProcess>(kelsim::EngineHost{o_.work, "/dev/sd" + o_.cookie}, eo);
  if (!engine_) throw Failed("cannot start " + o_.engine);
  if (!engine_->started()) throw Failed("cannot start " + o_.engine + ": " + engine_->error());
}

void Demo::verbose_answers(const std::vector<EngineElement>& answers) {
  if (!o_.verbose) return;
  for (const auto& e : answers) say("      <- " + e.raw);
}

std::vector<EngineElement> Demo::ask(Step& step, const std::string& opcode, const Attributes& attributes) {
  const std::string line = kelsim::request_line(++seq_, opcode, attributes);
  if (o_.verbose) say("      -> " + line);
  auto answers = engine_->request(line, ends_request);
  verbose_answers(answers);
  if (answers.empty() || !ends_request(answers.back())) fail(step, opcode + ": no answer from the engine", nullptr);
  if (answers.back().name == "HRESULT") fail(step, opcode, &answers.back());
  return answers;
}

EngineElement Demo::ask_for(Step& step, const std::string& opcode, const std::string& expect,
                               const Attributes& attributes) {
  auto answers = ask(step, opcode, attributes);
  if (answers.back().name != expect) fail(step, opcode + " answered " + answers.back().raw, nullptr);
  return answers.back();
}

void Demo::fail(Step& step, const std::string& what, const EngineElement* answer) {
  step.stop();
  std::string text = format("step %d failed: %s", step.number(), what.c_str());
  if (answer != nullptr) text += ": " + hresult_text(*answer);
  bool died = false;
  // Without an answer the engine may be gone: its end is waited for a while.
  if (engine_) text += engine_end(answer == nullptr, &died) + engine_messages();
  if (!o_.service_log.empty()) {
    text += "\n  last lines of the service's log:";
    for (const auto& l : last_lines(read_file(o_.service_log), 10)) text += "\n    " + l;
  }
  if (died) throw EngineDied(text);
  throw Failed(text);
}

// How the engine ended, when it has: the signal that killed it and where
// its dump is (*died set), or its exit status; "" while it runs.
std::string Demo::engine_end(bool wait, bool* died) const {
  int code = 0, sig = 0;
  if (!engine_->ended(&code, &sig, std::chrono::milliseconds(wait ? 5000 : 0))) return "";
  if (sig == 0) return format("\n  the engine ended with exit status %d", code);
  *died = true;
  const std::string folder = (fs::path(engine_->registry_file()).parent_path() / "crash-dumps").string();
  const std::string dump = dump_of(folder, engine_->pid());
  return "\n  the engine (process " + std::to_string(engine_->pid()) + ") died of " + signal_text(sig) +
         (dump.empty() ? "; it left no dump in " + folder : "; its dump: " + dump);
}

// The engine's last "Error" messages and the last lines of its standard
// error (those not among the messages), under one heading.
std::string Demo::engine_messages() const {
  std::vector<std::string> lines;
  for (const auto& e : engine_->elements())
    if (e.name == "Error") lines.push_back(e.text);
  if (lines.size() > 5) lines.erase(lines.begin(), lines.end() - 5);
  for (const auto& l : last_lines(engine_->standard_error(), 10))
    if (!l.empty() && std::find(lines.begin(), lines.end(), l) == lines.end()) lines.push_back(l);
  if (lines.empty()) return "";
  std::string text = "\n  the engine's last error messages:";
  for (const auto& l : lines) text += "\n    " + l;
  return text;
}

void Demo::step_mount() {
  Step step(o_, 1, "Format and mount: Check on the cartridge");
  start_engine();
  const EngineElement v = ask_for(step, "Check", "KelVolume");
  const std::uint64_t block = number(v, "BlockSize");
  say("    volume \"" + kelsim::unescape_name(v.attribute("VolumeName")) + "\": " +
      bytes_text(number(v, "TotalBlocks") * block) + " in total, " + bytes_text(number(v, "FreeBlocks") * block) +
      " free, " + v.attribute("FileCount") + " files");
  if (o_.existing) {
    const Listing root = [&] {
      folders_ = {"/"};
      return list(step, false);
    }();
    folders_.clear();
    if (number(v, "FileCount") != 0 || !root.at("/").empty()) {
      step.stop();
      throw NotEmpty("the volume served there is not empty (" + v.attribute("FileCount") + " files, " +
                   std::to_string(root.at("/").size()) +
                   " entries in its root folder): the demo writes only to a blank cartridge or an empty volume, "
                   "so it stops before any write");
    }
  }
  step.done();
}

// The sample folder: a text file of the project, a generated file of a few
// MiB, an empty file, a name outside ASCII and a subfolder.
void Demo::make_sample() {
  const std::string dir = o_.work + "/sample";
  fs::create_directories(dir + "/notes");
  fs::copy_file(o_.text_file, dir + "/README.md", fs::copy_options::overwrite_existing);
  std::mt19937_64 rng(41);
  std::string data(3 * 1024 * 1024 + 5, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  std::ofstream(dir + "/random.bin", std::ios::binary) << data;
  std::ofstream(dir + "/empty.txt", std::ios::binary);
  std::ofstream(dir + "/Gr\xC3\xBC\xC3\x9F" "e & caf\xC3\xA9 \xE2\x9C\x93.txt") << "Non-ASCII name\n";
  std::ofstream(dir + "/notes/today.txt") << "A file in a subfolder.\n";
}

void Demo::archive_all(Step& step, const std::vector<LocalFile>& files, const std::vector<std::string>& folders) {
  for (const auto& f : folders)
    ask_for(step, "CreateDirectory", "KelVolume",
            {{"Name", kelsim::escape_name(f)}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
  for (const auto& f : files) {
    kelsim::ArchiveRequest a;
    a.name = f.volume;
    a.generation = kGeneration;
    a.version = kVersion;
    // The file's times as the request carries them (shown with --verbose).
    struct stat st {};
    if (::stat(f.local.c_str(), &st) == 0 && st.st_mtim.tv_sec > 0)
      a.creation_time = a.modification_time =
          (static_cast<std::uint64_t>(st.st_mtim.tv_sec) + 11644473600ull) * 10000000ull +
          static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
    const auto started = std::chrono::steady_clock::now();
    a.progress = [&](std::uint64_t n) {
      const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      step.set_progress(format("%s: %s, %.1f MB/s", f.volume.c_str(), bytes_text(n).c_str(),
                               s > 0 ? n / s / 1e6 : 0.0));
    };
    if (o_.verbose) say("      -> " + kelsim::archive_line(seq_ + 1, a) + " and its callbacks");
    const auto r = engine_->archive(++seq_, f.local, a);
    verbose_answers(r.answers);
    if (!r.ok) {
      const EngineElement* last = r.last() && r.last()->name == "HRESULT" ? r.last() : nullptr;
      fail(step, "Archive of " + f.volume + (r.error.empty() ? "" : ": " + r.error), last);
    }
    const EngineElement& e = *r.last();
    const std::string at = number(e, "SpaceEntries.Count") > 0 ? e.attribute("SpaceEntries.0.BlockNumber")
                                                               : std::to_string(r.block);
    say(format("    %s %12s  at block %s", pad_to_columns(f.volume, 40).c_str(), bytes_text(r.bytes).c_str(),
               at.c_str()));
  }
  step.set_progress("");
}

SyncPoint Demo::sync(Step& step, const std::string& reason) {
  const EngineElement s = ask_for(step, "Sync", "KelSync",
                                  {{"Reason", reason}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  SyncPoint p{step.number(), number(s, "BlockNumber"), number(s, "NextWritableBlock")};
  say(format("    Sync \"%s\": metadata written from block %llu, next writable block %llu", reason.c_str(),
             static_cast<unsigned long long>(p.block), static_cast<unsigned long long>(p.next_writable)));
  return p;
}

// A generation or version as the metadata files hold it ("-" : none recorded).
std::string recorded(const std::string& value) { return value == "4294967295" ? "-" : value; }

// Drops the parity entries that sit beside their own file (the engine lists
// them only while it is the privileged process that wrote them).
void set_aside_own_parity(std::map<std::string, Entry>& entries) {
  FolderNames names;
  for (const auto& [name, e] : entries) names[name] = e.folder;
  for (const auto& name : own_parity_entries(names)) entries.erase(name);
}

Listing Demo::list(Step& step, bool show) {
  Listing out;
  for (const auto& folder : folders_) {
    auto& entries = out[folder];
    for (const auto& e : ask(step, "ReadDirectory", {{"Name", kelsim::escape_name(folder)}})) {
      const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
      if (e.name != "KelDirent" || name.empty()) continue;
      // Type 1: a folder (2 a regular file).
      entries[name] = Entry{number(e, "Size"), e.attribute("Generation"), e.attribute("Version"),
                            e.attribute("Type") == "1"};
    }
    set_aside_own_parity(entries);
    if (!show) continue;
    say("    " + folder);
    say(format("      %-40s %12s %10s %8s", "name", "size", "generation", "version"));
    for (const auto& [name, en] : entries)
      say(format("      %s %12s %10s %8s", pad_to_columns(name + (en.folder ? "/" : ""), 40).c_str(),
                 en.folder ? "" : std::to_string(en.size).c_str(), recorded(en.generation).c_str(),
                 recorded(en.version).c_str()));
  }
  return out;
}

bool Demo::restore_compare(Step& step, const LocalFile& f, const std::string& into) {
  kelsim::RestoreRequest q;
  q.name = f.volume;
  q.generation = kGeneration;
  q.version = kVersion;
  const auto started = std::chrono::steady_clock::now();
  q.progress = [&](std::uint64_t n) {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    step.set_progress(format("%s: %s, %.1f MB/s", f.volume.c_str(), bytes_text(n).c_str(), s > 0 ? n / s / 1e6 : 0.0));
  };
  fs::create_directories(fs::path(into).parent_path());
  if (o_.verbose) say("      -> " + kelsim::restore_line(seq_ + 1, q) + " and its callbacks");
  const auto r = engine_->restore(++seq_, q, into);
  verbose_answers(r.answers);
  step.set_progress("");
  if (!r.ok) {
    const EngineElement* last = r.last() && r.last()->name == "HRESULT" ? r.last() : nullptr;
    fail(step, "Restore of " + f.volume + (r.error.empty() ? "" : ": " + r.error), last);
  }
  const std::string a = read_file(f.local), b = read_file(into);
  const auto diff = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  const bool same = diff.first == a.end() && diff.second == b.end();
  if (same) {
    say(format("    %s identical", pad_to_columns(f.volume, 40).c_str()));
  } else {
    say(format("    %s differs at offset %zu (%zu bytes here, %zu restored)", pad_to_columns(f.volume, 40).c_str(),
               static_cast<std::size_t>(diff.first - a.begin()), a.size(), b.size()));
    all_good_ = false;
  }
  return same;
}

void Demo::unmount(Step& step) {
  const std::string line = kelsim::request_line(++seq_, "UnmountVolume");
  if (o_.verbose) say("      -> " + line);
  auto answers = engine_->request(line, [](const EngineElement& e) { return e.name == "Shutdown" || e.name == "HRESULT"; });
  verbose_answers(answers);
  if (answers.empty() || answers.back().name != "Shutdown")
    fail(step, "UnmountVolume", !answers.empty() && answers.back().name == "HRESULT" ? &answers.back() : nullptr);
  const int code = engine_->wait_exit();
  if (code != 0) fail(step, "the engine ended with exit status " + std::to_string(code), nullptr);
  say("    unmounted; the engine ended with exit status 0");
  engine_.reset();
}

void Demo::check_listing(Step& step, const Listing& got, const Listing& want, const std::string& what) {
  (void)step;
  if (got == want) {
    say("    listing " + what + ": as expected");
    return;
  }
  all_good_ = false;
  for (const auto& [folder, entries] : want) {
    const auto it = got.find(folder);
    for (const auto& [name, e] : entries)
      if (it == got.end() || !it->second.count(name) || !(it->second.at(name) == e))
        say("    listing " + what + ": " + folder + " lacks or changed " + name);
    if (it != got.end())
      for (const auto& [name, e] : it->second)
        if (!entries.count(name)) say("    listing " + what + ": " + folder + " has the unexpected " + name);
  }
}

// A rollback point's block in the frame of the Sync answers. A point names
// its slot and an address on that slot's disc; the Sync answers number the
// blocks of the whole volume, each slot's NumberOfBlocksPerTrack blocks
// after the slot before it, every disc's partition starting at the same
// address.
std::uint64_t volume_block(const EngineElement& point, const EngineElement& volume) {
  return number(point, "SlotNumber") * number(volume, "NumberOfBlocksPerTrack") + number(point, "MetaDataFE_LSN");
}

void Demo::rollback(Step& step) {
  std::vector<EngineElement> points;
  for (const auto& e : ask(step, "GetRollbackInfo"))
    if (e.name == "KelRollbackInfo" && !ends_request(e)) points.push_back(e);
  const SyncPoint* step3 = nullptr;
  const EngineElement* target = nullptr;
  std::uint64_t target_at = 0;
  for (const auto& p : points) {
    const std::uint64_t at = volume_block(p, volume_);
    std::string named = "slot " + p.attribute("SlotNumber") + ", address " + p.attribute("MetaDataFE_LSN");
    for (const auto& s : syncs_)
      if (s.block <= at && at < s.next_writable) {
        named += format(", within the Sync of step %d (blocks %llu to %llu)", s.step,
                        static_cast<unsigned long long>(s.block), static_cast<unsigned long long>(s.next_writable));
        // The newest point the Sync wrote holds all it saved.
        if (s.step == 3 && (target == nullptr || at >= target_at)) step3 = &s, target = &p, target_at = at;
      }
    say("    rollback point: " + named);
  }
  if (target == nullptr || step3 == nullptr) fail(step, "no rollback point lies within step 3's Sync", nullptr);
  ask_for(step, "RollbackMount", "KelVolume",
          {{"SlotNumber", target->attribute("SlotNumber")}, {"MetaDataFE_LSN", target->attribute("MetaDataFE_LSN")},
           {"FsdLsn", target->attribute("FsdLsn")}});
  say("    mounted at step 3's point");
  check_listing(step, list(step, false), after_first_, "at step 3's point (without the second batch)");
  // The largest file of the first batch (the generated one in the sample).
  const auto one = std::max_element(first_.begin(), first_.end(), [](const LocalFile& a, const LocalFile& b) {
    std::error_code ea, eb;
    return fs::file_size(a.local, ea) < fs::file_size(b.local, eb);
  });
  if (one != first_.end()) restore_compare(step, *one, o_.work + "/restored-rollback" + one->volume);
  ask_for(step, "RollbackMount", "KelVolume", {{"SlotNumber", "0"}, {"MetaDataFE_LSN", "0"}, {"FsdLsn", "0"}});
  say("    mounted at the newest state");
  check_listing(step, list(step, false), after_second_, "at the newest state");
}

// udfinfo over every slot image that holds data.
bool Demo::judge_images() {
  if (o_.cartridge.empty()) {
    say("    the cartridge is served elsewhere: its slot images cannot be judged here");
    return true;
  }
  bool good = true, any = false;
  std::vector<fs::path> images;
  for (const auto& e : fs::directory_iterator(o_.cartridge))
    if (e.path().extension() == ".img") images.push_back(e.path());
  std::sort(images.begin(), images.end());
  for (const auto& img : images) {
    struct stat st {};
    if (::stat(img.c_str(), &st) != 0 || st.st_blocks == 0) continue;
    any = true;
    std::string out;
    FILE* p = ::popen(("udfinfo --blocksize=2048 '" + img.string() + "' 2>&1").c_str(), "r");
    if (p == nullptr) {
      say("    cannot run udfinfo");
      return false;
    }
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    const int status = ::pclose(p);
    say("    " + img.filename().string() + (status == 0 ? ": accepted by udfinfo" : ": REFUSED by udfinfo"));
    for (const auto& l : last_lines(out, 200))
      for (const char* key : {"label=", "numfiles=", "numdirs=", "integrity="})
        if (l.rfind(key, 0) == 0) say("      " + l);
    if (status != 0) {
      for (const auto& l : last_lines(out, 5)) say("      " + l);
      good = false;
    }
  }
  if (!any) say("    no slot image holds data");
  return good && any;
}

// The files and folders of `from` that the demo archives, and a line for
// each entry it leaves out.
void Demo::take_folder(Step& step, const std::string& from) {
  FolderScan scan;
  try {
    scan = scan_folder(from, "/demo");
  } catch (const fs::filesystem_error& e) {
    // The engine has no part in it: its state is not told.
    step.stop();
    throw Failed(format("step %d failed: cannot read the folder %s: %s", step.number(), e.path1().c_str(),
                        e.code().message().c_str()));
  }
  folders_.insert(folders_.end(), scan.folders.begin(), scan.folders.end());
  first_ = std::move(scan.files);
  say(format("    %zu %s in %zu %s from %s", first_.size(), first_.size() == 1 ? "file" : "files", folders_.size(),
             folders_.size() == 1 ? "folder" : "folders", from.c_str()));
  std::size_t twins = 0;
  for (const auto& s : scan.skipped) {
    say("    skipped " + s.local + ": " + s.why);
    twins += s.twin ? 1 : 0;
  }
  if (!scan.skipped.empty())
    say(format("    %zu entries left out, %zu of them for a name the volume takes for another", scan.skipped.size(),
               twins));
}

void Demo::after(int step) {
  if (o_.after_step) o_.after_step(step, *this);
}

std::vector<EngineElement> Demo::request(const std::string& opcode, const Attributes& attributes) {
  Step step(o_, 0, "(a look between steps) " + opcode);
  auto answers = ask(step, opcode, attributes);
  step.stop();
  return answers;
}

int Demo::run() {
  step_mount();
  after(1);
  {
    Step step(o_, 2, "Archive a folder");
    const std::string from = o_.folder.empty() ? o_.work + "/sample" : o_.folder;
    if (o_.folder.empty()) make_sample();
    folders_ = {"/demo"};
    take_folder(step, from);
    archive_all(step, first_, folders_);
    step.done();
  }
  after(2);
  {
    Step step(o_, 3, "Sync \"SyncTime\" (packed small files reach their own blocks)");
    syncs_.push_back(sync(step, "SyncTime"));
    step.done();
  }
  after(3);
  {
    Step step(o_, 4, "Listing");
    after_first_ = list(step, true);
    step.done();
  }
  after(4);
  {
    Step step(o_, 5, "Restore each file and compare it with the original");
    for (const auto& f : first_) restore_compare(step, f, o_.work + "/restored" + f.volume);
    step.done();
  }
  after(5);
  {
    Step step(o_, 6, "Archive a second batch and sync");
    const std::string dir = o_.work + "/second";
    fs::create_directories(dir);
    for (int i = 1; i <= 3; ++i) {
      const std::string name = "second-" + std::to_string(i) + ".txt";
      std::ofstream(dir + "/" + name) << std::string(static_cast<std::size_t>(i) * 1000, static_cast<char>('a' + i));
      second_.push_back({dir + "/" + name, "/demo/" + name});
    }
    archive_all(step, second_, {});
    syncs_.push_back(sync(step, "SyncTime"));
    after_second_ = list(step, false);
    step.done();
  }
  after(6);
  {
    Step step(o_, 7, "Unmount");
    syncs_.push_back(sync(step, "SyncPreDeallocate"));
    unmount(step);
    step.done();
  }
  after(7);
  {
    Step step(o_, 8, "Remount: a new engine on the same cartridge and cache directory");
    start_engine();
    volume_ = ask_for(step, "Check", "KelVolume");
    check_listing(step, list(step, false), after_second_, "after the remount");
    step.done();
  }
  after(8);
  {
    Step step(o_, 9, "Rollback");
    rollback(step);
    step.done();
  }
  after(9);
  {
    Step step(o_, 10, "Unmount and judge the slot images with udfinfo");
    unmount(step);
    if (!judge_images()) all_good_ = false;
    step.done();
  }
  after(10);
  say(all_good_ ? "The session went as expected." : "The session found differences (see above).");
  return all_good_ ? 0 : 1;
}

}  // namespace

namespace {

// "<digits>" at `at`, moving past them; false when there are none.
bool skip_digits(const std::string& s, std::size_t& at) {
  const std::size_t from = at;
  while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
  return at > from;
}

// "V<n>_N=<n>_K=<n>", all of `s` from `at`.
bool parity_suffix(const std::string& s, std::size_t at) {
  for (const char* part : {"V", "_N=", "_K="}) {
    const std::size_t n = std::strlen(part);
    if (s.compare(at, n, part) != 0) return false;
    at += n;
    if (!skip_digits(s, at)) return false;
  }
  return at == s.size();
}

}  // namespace

std::size_t display_columns(const std::string& utf8) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = sequence_length(lead);
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    bool whole = length != 0 && i + length <= utf8.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      whole = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    if (!whole) {  // not UTF-8: the byte takes a column
      ++columns;
      ++i;
      continue;
    }
    columns += columns_of(c);
    i += length;
  }
  return columns;
}

std::string pad_to_columns(const std::string& utf8, std::size_t columns) {
  const std::size_t have = display_columns(utf8);
  return have >= columns ? utf8 : utf8 + std::string(columns - have, ' ');
}

std::set<std::string> own_parity_entries(const FolderNames& names) {
  static const std::string kMark = "#*ECC_Parity_";
  std::set<std::string> out;
  for (const auto& [name, folder] : names) {
    const std::size_t at = name.rfind(kMark);
    if (folder || at == std::string::npos || at == 0 || !parity_suffix(name, at + kMark.size())) continue;
    const auto own = names.find(name.substr(0, at));
    if (own != names.end() && !own->second) out.insert(name);
  }
  return out;
}

namespace {

std::string folded(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Whether `path` lies in `root` (both canonical).
bool inside(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p)
    if (p == path.end() || *p != *r) return false;
  return p != path.end();
}

std::string kind_name(const fs::file_status& st) {
  if (fs::is_fifo(st)) return "a FIFO";
  if (fs::is_socket(st)) return "a socket";
  if (fs::is_block_file(st) || fs::is_character_file(st)) return "a device";
  return "neither a file nor a folder";
}

enum class Kind { Folder, File, Skip };

// What an entry is to the demo; *why says why it is left out.
Kind kind_of(const fs::directory_entry& e, const fs::path& root, std::string* why) {
  if (e.path().filename().string().find('\\') != std::string::npos) {
    *why = "its name holds a backslash, which the volume reads as a folder separator";
    return Kind::Skip;
  }
  std::error_code ec;
  fs::file_status st = e.symlink_status(ec);
  std::string link;
  if (!ec && fs::is_symlink(st)) {
    const fs::path target = fs::canonical(e.path(), ec);
    if (ec) {
      *why = ec == std::errc::no_such_file_or_directory ? "a dangling link (its target is missing)"
                                                         : "a link that cannot be followed: " + ec.message();
      return Kind::Skip;
    }
    if (!inside(target, root)) {
      *why = "a link to " + target.string() + ", outside the folder";
      return Kind::Skip;
    }
    link = "a link to ";
    st = fs::status(target, ec);
    if (!ec && fs::is_directory(st)) {
      *why = "a link to a folder (" + target.string() + ")";
      return Kind::Skip;
    }
  }
  if (ec) {
    *why = "cannot be read: " + ec.message();
    return Kind::Skip;
  }
  if (fs::is_directory(st)) return Kind::Folder;
  if (fs::is_regular_file(st)) return Kind::File;
  *why = link + kind_name(st);
  return Kind::Skip;
}

void scan_into(const fs::path& dir, const std::string& volume, const fs::path& root, FolderScan& scan) {
  std::vector<fs::directory_entry> entries{fs::directory_iterator(dir), fs::directory_iterator()};
  std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
    return a.path().filename().string() < b.path().filename().string();
  });
  std::map<std::string, std::string> taken;  // folded name -> the name that took it
  for (const auto& e : entries) {
    const std::string name = e.path().filename().string();
    std::string why;
    const Kind kind = kind_of(e, root, &why);
    if (kind == Kind::Skip) {
      scan.skipped.push_back({e.path().string(), why, false});
      continue;
    }
    const auto [first, fresh] = taken.emplace(folded(name), name);
    if (!fresh) {
      scan.skipped.push_back({e.path().string(),
                              "its name differs only in case from " + first->second +
                                  " beside it, and the volume's names compare without regard to case" +
                                  (kind == Kind::Folder ? " (the folder is left out with all it holds)" : ""),
                              true});
      continue;
    }
    const std::string at = volume + "/" + name;
    if (kind == Kind::File) {
      scan.files.push_back({e.path().string(), at});
      continue;
    }
    scan.folders.push_back(at);
    scan_into(e.path(), at, root, scan);
  }
}

}  // namespace

FolderScan scan_folder(const std::string& from, const std::string& volume) {
  FolderScan scan;
  scan_into(from, volume, fs::canonical(from), scan);
  return scan;
}

bool same_on_volume(const std::string& a, const std::string& b) { return folded(a) == folded(b); }

std::string hresult_meaning(std::uint32_t hr) {
  static const std::map<std::uint32_t, const char*> kMeanings{
      {0x80070002u, "not found (or not of the generation and version named)"},
      {0x80070003u, "the path was not found"},
      {0x80070005u, "access denied"},
      {0x8007000Du, "the data differs from the file on the volume"},
      {0x8007000Eu, "not enough memory"},
      {0x80070013u, "the medium is write-protected"},
      {0x80070015u, "the drive is not ready"},
      {0x8007001Du, "the drive could not write"},
      {0x8007001Eu, "the drive could not read"},
      {0x8007001Fu, "the drive failed"},
      {0x80070050u, "a file of that name exists"},
      {0x80070057u, "a parameter is not valid"},
      {0x8007006Cu, "the medium is in use by another engine"},
      {0x80070070u, "the disc is full"},
      {0x8007007Bu, "the name is not valid"},
      {0x80070091u, "the folder is not empty"},
      {0x800700CEu, "the name is too long"},
      {0x8007045Du, "an input/output error of the drive"},
      {0x8007054Fu, "an internal error"},
      {0x80010137u, "the file could not be made or replaced"},
  };
  const auto it = kMeanings.find(hr);
  return it == kMeanings.end() ? "" : it->second;
}

Console::Console(std::function<void(const std::string&)> write, bool tty) : write_(std::move(write)), tty_(tty) {}

void Console::clear_locked() {
  if (shown_ == 0) return;
  write_("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

void Console::line(const std::string& text) {
  std::lock_guard<std::mutex> lk(mu_);
  clear_locked();
  write_(text + "\n");
}

void Console::progress(const std::string& text) {
  if (!tty_) return;
  // Within one line of a terminal of 80 columns: a line that wrapped could
  // not be written over.
  std::string shown = text;
  while (display_columns(shown) > 79) {  // one whole character at a time
    while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) shown.pop_back();
    if (!shown.empty()) shown.pop_back();
  }
  std::lock_guard<std::mutex> lk(mu_);
  clear_locked();
  write_(shown);
  shown_ = std::max<std::size_t>(display_columns(shown), 1);
}

void Console::clear_progress() {
  std::lock_guard<std::mutex> lk(mu_);
  clear_locked();
}

int run(const Options& options) {
  const std::function<void(const std::string&)> write =
      options.out ? std::function<void(const std::string&)>([&](const std::string& text) {
        options.out(text.substr(0, text.size() - 1));  // whole lines only: no terminal
      })
                  : [](const std::string& text) {
                      std::fwrite(text.data(), 1, text.size(), stdout);
                      std::fflush(stdout);
                    };
  Console console(write, options.tty && !options.out);
  g_console = &console;
  try {
    return Demo(options).run();
  } catch (const NotEmpty& f) {
    say(f.what());
    return 3;
  } catch (const EngineDied& f) {
    say(f.what());
    return 4;
  } catch (const Failed& f) {
    say(f.what());
    return 1;
  } catch (const std::exception& e) {
    say(std::string("the demo failed: ") + e.what());
    return 1;
  }
}

}  // namespace keldemo
