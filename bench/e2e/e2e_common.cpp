#include "e2e_common.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

double secs_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void die(const std::string& what) {
  std::fprintf(stderr, "kel_e2e_bench: %s\n", what.c_str());
  std::exit(1);
}

bool Settings::wants(const std::string& group) const {
  return only.empty() || std::find(only.begin(), only.end(), group) != only.end();
}

std::unique_ptr<kelsim::SimHarness> f2h_cartridge(const Settings& s, std::uint32_t disc_blocks) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xF2;
  if (disc_blocks != 0) o.cartridge.disc_blocks = disc_blocks;
  o.drive.product = "QMR-T400A";
  o.parent_directory = s.dir;
  return std::make_unique<kelsim::SimHarness>(o);
}

std::unique_ptr<kelsim::EngineProcess> start_engine(kelsim::SimHarness& sim, const std::string& program,
                                                     const std::string& cache_directory) {
  kelsim::EngineProcessOptions o;
  o.program = program;
  o.cache_directory = cache_directory;
  o.deadline = std::chrono::minutes(60);
  auto e = std::make_unique<kelsim::EngineProcess>(sim, o);
  if (!e->started()) die("cannot start " + program + ": " + e->error());
  return e;
}

bool is_end(const kelsim::EngineElement& e) {
  return e.name == "KelSuccess" || e.name == "HRESULT" || e.name == "KelVolume" || e.name == "KelSync" ||
         e.name == "KelArchive" || (e.name == "KelDirent" && e.attribute("ObjectName").empty());
}

std::vector<kelsim::EngineElement> must(kelsim::EngineProcess& e, std::uint64_t seq, const std::string& opcode,
                                        const Attributes& a, const char* expect) {
  auto answers = e.request(kelsim::request_line(seq, opcode, a), is_end);
  if (answers.empty() || answers.back().name != expect)
    die(opcode + " failed:\n" + e.describe().substr(0, 20000));
  return answers;
}

Attributes name_attrs(const std::string& path) {
  return {{"Name", kelsim::escape_name(path)}, {"KernelInterface", "0"}, {"BlockNumber", "0"}};
}

void unmount(kelsim::EngineProcess& e, std::uint64_t seq) {
  e.request(kelsim::request_line(seq, "UnmountVolume"), [](const auto& x) { return x.name == "Shutdown"; });
  if (e.wait_exit() != 0) die("unmount failed:\n" + e.describe().substr(0, 20000));
}

RawEngine::RawEngine(kelsim::SimHarness& sim, const std::string& program, const std::string& cache_directory) {
  const std::string registry = sim.directory() + "/raw-registry.reg";
  std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Stravo\\KELFS]\n";
  fs::create_directories(cache_directory);
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) die("pipe: " + std::string(std::strerror(errno)));
  // env(1) puts the registry file in the program's environment and then
  // becomes the program (same process).
  std::vector<std::string> args = {"/usr/bin/env", "KEL_REGISTRY=" + registry, program, sim.cookie_text(),
                                   cache_directory};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(in[0]);
  ::close(out[1]);
  in_ = in[1];
  out_ = out[0];
  if (rc != 0) die("cannot start " + program + ": " + std::strerror(rc));
}

RawEngine::~RawEngine() {
  ::close(in_);
  ::close(out_);
  int status = 0;
  if (pid_ > 0) ::waitpid(pid_, &status, 0);
}

RawEngine::Answer RawEngine::request(const std::string& line, bool (*end)(std::string_view)) {
  const std::string text = line + "\n";
  if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) die("the engine takes no input");
  Answer a;
  std::vector<char> buf(1 << 20);
  for (;;) {
    std::size_t from = 0;
    for (std::size_t nul; (nul = pending_.find('\0', from)) != std::string::npos; from = nul + 1) {
      const std::string_view element(pending_.data() + from, nul - from);
      a.bytes += element.size() + 1;
      ++a.all_elements;
      const bool debug = element.rfind("<Error", 0) == 0 || element.rfind("<Warning", 0) == 0 ||
                         element.rfind("<Trace", 0) == 0 || element.rfind("<Internal", 0) == 0;
      if (debug) continue;
      ++a.elements;
      if (end(element)) {
        a.last = std::string(element);
        pending_.erase(0, nul + 1);
        return a;
      }
    }
    pending_.erase(0, from);
    const ssize_t n = ::read(out_, buf.data(), buf.size());
    if (n <= 0) die("the engine's output ended during " + line);
    pending_.append(buf.data(), static_cast<std::size_t>(n));
  }
}

bool ends_check(std::string_view e) { return e.rfind("<KelVolume", 0) == 0 || e.rfind("<HRESULT", 0) == 0; }
bool ends_listing(std::string_view e) {
  return e.rfind("<HRESULT", 0) == 0 || (e.rfind("<KelDirent", 0) == 0 && e.find(" ObjectName=\"\"") != e.npos);
}
bool ends_unmount(std::string_view e) { return e.rfind("<Shutdown", 0) == 0; }

namespace {
void flush_and_drop_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}
}  // namespace

void flush_and_drop(const std::string& path) {
  std::error_code ec;
  if (!fs::is_directory(path, ec)) {
    flush_and_drop_file(path);
    return;
  }
  for (const auto& e : fs::recursive_directory_iterator(path, ec))
    if (e.is_regular_file()) flush_and_drop_file(e.path());
}

void drop_images(kelsim::SimHarness& sim) { flush_and_drop(sim.cartridge_directory()); }

Memory memory_of(pid_t pid) {
  Memory m;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) m.rss_kib = std::strtoll(line.c_str() + 6, nullptr, 10);
    if (line.rfind("VmHWM:", 0) == 0) m.hwm_kib = std::strtoll(line.c_str() + 6, nullptr, 10);
  }
  return m;
}

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // state ... cmajflt
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double threads_cpu_seconds(pid_t pid) {
  std::uint64_t ns = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::uint64_t run = 0;
    if (std::ifstream(task.path() / "schedstat") >> run) ns += run;
  }
  return static_cast<double>(ns) / 1e9;
}

std::uint64_t voluntary_switches(pid_t pid) {
  std::uint64_t sum = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "status");
    for (std::string line; std::getline(in, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) sum += std::strtoull(line.c_str() + 24, nullptr, 10);
  }
  return sum;
}

double load_average() {
  double one = 0;
  std::ifstream("/proc/loadavg") >> one;
  return one;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool Figure::met() const {
  if (target == 0) return true;
  const double x = target_on_value ? value : ratio();
  return lower_is_better ? x <= target : x >= target;
}

void report(const Figure& f, bool tiny) {
  const std::string bu = f.baseline_unit.empty() ? f.unit : f.baseline_unit;
  std::string target = "-";
  if (f.target != 0) {
    char b[96];
    std::snprintf(b, sizeof b, "%s %s %g%s", f.target_on_value ? "value" : "ratio", f.lower_is_better ? "<=" : ">=",
                  f.target, f.met() ? " met" : " MISSED");
    target = b;
  }
  std::printf("%-34s %14.3f %-10s baseline %14.3f %-10s ratio %8.3f  target %s%s%s\n", f.name.c_str(), f.value,
              f.unit.c_str(), f.baseline, bu.c_str(), f.ratio(), target.c_str(), f.note.empty() ? "" : "  ",
              f.note.c_str());
  std::printf("{\"name\":\"%s\",\"value\":%.6g,\"unit\":\"%s\",\"baseline\":%.6g,\"baseline_unit\":\"%s\","
              "\"ratio\":%.6g,\"target\":%s,\"target_of\":\"%s\",\"met\":%s,\"tiny\":%s}\n",
              f.name.c_str(), f.value, f.unit.c_str(), f.baseline, bu.c_str(), f.ratio(),
              f.target != 0 ? std::to_string(f.target).c_str() : "null", f.target_on_value ? "value" : "ratio",
              f.met() ? "true" : "false", tiny ? "true" : "false");
  std::fflush(stdout);
}

double plain_read(const std::string& path, std::uint64_t offset, std::uint64_t bytes) {
  flush_and_drop(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + path);
  std::vector<char> buf(1 << 20);
  const auto start = Clock::now();
  // The file's data in order from `offset`, holes left out (a sparse
  // image's holes read as zeros without touching the disk).
  std::uint64_t done = 0;
  off_t at = static_cast<off_t>(offset);
  while (done < bytes) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    for (off_t p = data; p < hole && done < bytes;) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>({buf.size(), static_cast<std::uint64_t>(hole - p), bytes - done}));
      const ssize_t n = ::pread(fd, buf.data(), want, p);
      if (n <= 0) break;
      p += n;
      done += static_cast<std::uint64_t>(n);
    }
    at = hole;
  }
  const double s = secs_since(start);
  ::close(fd);
  if (done < bytes) die("the slot image holds fewer bytes than its metadata file: " + path);
  return s;
}

}  // namespace e2e
