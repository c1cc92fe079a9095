// Listing a folder of many entries through a freshly started and mounted
// KelDriver, beside readdir and fstatat of a local folder of the same names
// on the same disk, and beside the engine's own readdir in-process.
#include "e2e.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

namespace {

// ReadDirectory of the folder by a fresh engine: a first, unmeasured pass,
// then three timed ones; the median seconds and the entries listed.
struct Split {
  double engine_cpu = 0, host_cpu = 0;  // seconds of CPU over the timed passes
  std::size_t bytes = 0;                // the answer's bytes, one pass
};

double list_through_program(kelsim::SimHarness& sim, const Settings& s, const std::string& folder,
                            std::size_t* listed, double* check_s, Memory* memory, Split* split) {
  drop_images(sim);
  auto e = start_engine(sim, s.program, sim.directory() + "/cache-listing");
  std::uint64_t seq = 0;
  auto start = Clock::now();
  must(*e, ++seq, "Check", {}, "KelVolume");
  *check_s = secs_since(start);
  std::vector<double> t;
  for (int pass = 0; pass <= s.passes(); ++pass) {
    if (pass == 1) split->engine_cpu = -cpu_seconds(e->pid()), split->host_cpu = -cpu_seconds(::getpid());
    start = Clock::now();
    auto answers = must(*e, ++seq, "ReadDirectory", {{"Name", kelsim::escape_name(folder)}}, "KelDirent");
    if (pass > 0) t.push_back(secs_since(start));
    *listed = answers.size() - 1;  // the closing entry
    split->bytes = 0;
    for (const auto& a : answers) split->bytes += a.raw.size();
  }
  split->engine_cpu += cpu_seconds(e->pid());
  split->host_cpu += cpu_seconds(::getpid());
  *memory = memory_of(e->pid());
  unmount(*e, ++seq);
  return median(t);
}

// The engine's readdir in a helper run of this program.
double list_in_process(kelsim::SimHarness& sim, const Settings& s, const std::string& folder, std::size_t* listed) {
  std::vector<double> t;
  for (int pass = 0; pass < s.passes(); ++pass) {
    std::istringstream in(
        result_of(helper(s, {"--list", sim.cookie_text(), sim.directory() + "/cache-inprocess", folder}), "listed "));
    std::string word;
    double seconds = 0;
    in >> word >> *listed >> seconds;
    if (word != "listed") die("the in-process listing told nothing");
    t.push_back(seconds);
  }
  return median(t);
}

// readdir and fstatat of every entry of a local folder.
double list_local(const std::string& path, std::size_t* listed) {
  const auto start = Clock::now();
  DIR* d = ::opendir(path.c_str());
  if (d == nullptr) die("cannot open " + path);
  std::size_t n = 0;
  struct stat st {};
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) continue;
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) die("cannot stat an entry of " + path);
    ++n;
  }
  ::closedir(d);
  *listed = n;
  return secs_since(start);
}

// A local folder of the volume's names (empty files), flushed to the disk.
std::string make_local_folder(const Settings& s, unsigned entries) {
  const std::string path = s.dir + "/listing-local-" + std::to_string(::getpid());
  fs::remove_all(path);
  fs::create_directories(path);
  char name[32];
  for (unsigned i = 0; i < entries; ++i) {
    std::snprintf(name, sizeof name, "/x%07u", i);
    const int fd = ::open((path + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot make " + path + name);
    ::close(fd);
  }
  ::sync();
  return path;
}

}  // namespace

void listing_figures(const Settings& s) {
  const unsigned entries = s.tiny ? 1000 : s.entries;
  std::printf("== listing (F2h cartridge in a QMR-T400A; one folder of %u files)\n", entries);
  Volume v = volume_of(s, "listing-" + std::to_string(entries), entries, entries);
  std::printf("volume: %s\n", v.kept ? "kept from an earlier run" : ("made in " + std::to_string(v.made_s) + " s").c_str());
  const std::string folder = "/f0000";
  std::size_t through = 0, inproc = 0, local = 0;
  double check_s = 0;
  Memory memory;
  Split split;
  const double program_s = list_through_program(*v.sim, s, folder, &through, &check_s, &memory, &split);
  const double inproc_s = list_in_process(*v.sim, s, folder, &inproc);
  const std::string local_path = make_local_folder(s, entries);
  list_local(local_path, &local);  // warms
  std::vector<double> t;
  for (int pass = 0; pass < s.passes(); ++pass) t.push_back(list_local(local_path, &local));
  const double local_s = median(t);
  fs::remove_all(local_path);
  if (through != entries || inproc != entries || local != entries)
    die("listed " + std::to_string(through) + " through the program, " + std::to_string(inproc) + " in-process and " +
        std::to_string(local) + " locally, of " + std::to_string(entries));
  const double rate = entries / program_s;
  report({"listing_vs_local_readdir", "entries/s", rate, entries / local_s, "", 100000, true, false,
          "ReadDirectory through KelDriver; baseline readdir+fstatat of a local folder"},
         s.tiny);
  report({"listing_vs_inprocess_readdir", "entries/s", rate, entries / inproc_s, "", 0, false, false,
          "baseline: the engine's readdir in-process"},
         s.tiny);
  std::printf("Check before the listing: %.3f s; VmHWM %lld KiB after it\n", check_s,
              static_cast<long long>(memory.hwm_kib));
  std::printf("where the time goes, per entry: %.1f us in all, KelDriver's CPU %.1f us, this host's CPU (reading "
              "and parsing the answer) %.1f us; %.0f bytes of answer per entry\n",
              program_s / entries * 1e6, split.engine_cpu / s.passes() / entries * 1e6,
              split.host_cpu / s.passes() / entries * 1e6, static_cast<double>(split.bytes) / entries);
}

}  // namespace e2e
