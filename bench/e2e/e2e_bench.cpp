// Whole-stack figures through the real KelDriver against the simulated
// drive behind the real pipe: archive and restore, listing, mount time and
// memory, each beside a baseline measured in the same run, as a table and
// one JSON line per figure.
//
//   kel_e2e_bench [--tiny] [--dir DIR] [--keep-volumes DIR] [--only GROUP,...]
//                 [--size BYTES] [--small-files N] [--entries N] [--largest N] [--busy]
//
// Groups: archive, listing, mount, close, small, sync. --dir holds the slot images,
// copies and local folders (one disk; default: the current folder). --keep-volumes
// keeps the listing and mount volumes between runs, remade when another
// commit built this program. --tiny (8 MiB, 20 small files, 1,000 entries,
// a 1,000-file mount) is what ctest runs: it checks the counts and asserts
// no timing. --busy runs a busy loop on every CPU while the figures are
// taken (figures of a loaded machine, beside baselines taken under the same
// load).
#include "e2e.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef KEL_BENCH_COMMIT
#define KEL_BENCH_COMMIT "unknown"
#endif

namespace fs = std::filesystem;

namespace e2e {

std::string helper(const Settings& s, const std::vector<std::string>& args) {
  std::string command = "'" + s.self + "'";
  for (const auto& a : args) command += " '" + a + "'";
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) die("cannot run " + command);
  std::string out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int rc = ::pclose(p);
  if (rc != 0) die(command + " ended with status " + std::to_string(rc));
  return out;
}

std::string result_of(const std::string& output, const std::string& word) {
  std::size_t at = output.rfind("\n" + word);
  if (at != std::string::npos) return output.substr(at + 1);
  return output.rfind(word, 0) == 0 ? output : "";
}

}  // namespace e2e

namespace {

void usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s [--tiny] [--dir DIR] [--keep-volumes DIR] [--only archive,listing,mount,close,small,sync]\n"
               "          [--size BYTES] [--small-files N] [--entries N] [--largest N] [--busy]\n",
               self);
  std::exit(2);
}

void machine_line(const e2e::Settings& s) {
  utsname u{};
  ::uname(&u);
  std::ifstream mem("/proc/meminfo");
  std::string total;
  std::getline(mem, total);
#ifdef NDEBUG
  const char* build = "Release";
#else
  const char* build = "Debug";
#endif
  std::printf("machine: %s %s, %ld CPUs, %s; directory %s; %s build of %s; load average %.2f%s\n", u.sysname,
              u.release, ::sysconf(_SC_NPROCESSORS_ONLN), total.c_str(), s.dir.c_str(), build, KEL_BENCH_COMMIT,
              e2e::load_average(), s.busy ? "; a busy loop on every CPU" : "");
}

// One process spinning on each CPU for the life of the run.
class BusyLoops {
 public:
  explicit BusyLoops(bool on) {
    for (long i = 0; on && i < ::sysconf(_SC_NPROCESSORS_ONLN); ++i) {
      const pid_t p = ::fork();
      if (p == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // also when the run stops early
        for (;;) asm volatile("" ::: "memory");
      }
      if (p > 0) pids_.push_back(p);
    }
  }
  ~BusyLoops() {
    for (pid_t p : pids_) ::kill(p, SIGKILL);
    for (pid_t p : pids_) ::waitpid(p, nullptr, 0);
  }

 private:
  std::vector<pid_t> pids_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && !std::strcmp(argv[1], "--populate")) return e2e::populate_main(argc - 2, argv + 2);
  if (argc > 1 && !std::strcmp(argv[1], "--list")) return e2e::list_main(argc - 2, argv + 2);
  if (argc > 1 && !std::strcmp(argv[1], "--close")) return e2e::close_main(argc - 2, argv + 2);
  e2e::Settings s;
  s.program = KEL_DRIVER_PROGRAM;
  s.self = fs::canonical("/proc/self/exe").string();
  s.stamp = KEL_BENCH_COMMIT;
  s.dir = fs::current_path().string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(argv[0]);
      return argv[++i];
    };
    if (a == "--tiny") s.tiny = true, s.size = 8u << 20, s.small_files = 20, s.entries = 1000, s.largest = 1000;
    else if (a == "--dir") s.dir = fs::absolute(value()).string();
    else if (a == "--keep-volumes") s.keep_volumes = fs::absolute(value()).string();
    else if (a == "--size") s.size = std::strtoull(value().c_str(), nullptr, 10);
    else if (a == "--small-files") s.small_files = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
    else if (a == "--entries") s.entries = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
    else if (a == "--largest") s.largest = static_cast<unsigned>(std::strtoul(value().c_str(), nullptr, 10));
    else if (a == "--busy") s.busy = true;
    else if (a == "--only") {
      std::string list = value();
      for (std::size_t at = 0; at <= list.size();) {
        const std::size_t end = std::min(list.find(',', at), list.size());
        s.only.push_back(list.substr(at, end - at));
        at = end + 1;
      }
    } else usage(argv[0]);
  }
  fs::create_directories(s.dir);
  const BusyLoops busy(s.busy);
  machine_line(s);
  if (s.wants("archive")) e2e::archive_figures(s);
  if (s.wants("listing")) e2e::listing_figures(s);
  if (s.wants("mount")) e2e::mount_figures(s);
  if (s.wants("close")) e2e::close_figures(s);
  if (s.wants("small")) e2e::small_files_figures(s);
  if (s.wants("sync")) e2e::sync_figures(s);
  return 0;
}
