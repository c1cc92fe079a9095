// Listing a folder of many entries through a freshly started and mounted
// KelDriver, beside `find -printf` (size, time and name of each entry) of a
// local folder of the same names on the same disk, and beside the engine's
// own readdir in-process.
#include "e2e.h"

#include "kelmain/slots.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

namespace {

// Counts the entries as the program lists them: "." and ".." left out.
std::int64_t count_entry(const void* context, std::uint64_t, const char*, const void* record) {
  const char* name = static_cast<const KELFS_OBJECT_INFO*>(record)->ObjectName;
  if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
    ++*static_cast<std::size_t*>(const_cast<void*>(context));
  return 0;
}

}  // namespace

int list_main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (int r = mount_in_process(argv[0], argv[1])) return r;
  std::size_t listed = 0;
  const auto start = Clock::now();
  const std::int64_t r = kelmain::ReadDirectory(&listed, 0, argv[2], count_entry);
  const double s = secs_since(start);
  if (r != 0) return std::fprintf(stderr, "listing: %lld\n", static_cast<long long>(r)), 12;
  std::printf("\nlisted %zu %.9f\n", listed, s);
  std::fflush(stdout);
  kelmain::Unmount(false);
  return 0;
}

namespace {

// Where the time of a listing goes, over the timed passes.
struct Split {
  double first_s = 0;                   // the first listing after the Check (not timed in the median)
  std::size_t first_elements = 0;       // its elements, debug elements among them
  double engine_cpu = 0, host_cpu = 0;  // seconds of CPU
  std::size_t bytes = 0;                // the answer's bytes, one pass
  std::size_t elements = 0;             // its elements, one pass
};

// ReadDirectory of the folder by a fresh engine whose answers this host
// only splits into elements: a first, unmeasured pass, then the timed
// ones; the median seconds and the entries listed.
double list_through_program(kelsim::SimHarness& sim, const Settings& s, const std::string& folder,
                            std::size_t* listed, double* check_s, Memory* memory, Split* split) {
  drop_images(sim);
  RawEngine e(sim, s.program, sim.directory() + "/cache-listing");
  std::uint64_t seq = 0;
  auto start = Clock::now();
  e.request(kelsim::request_line(++seq, "Check"), ends_check);
  *check_s = secs_since(start);
  std::vector<double> t;
  for (int pass = 0; pass <= s.passes(); ++pass) {
    if (pass == 1) split->engine_cpu = -cpu_seconds(e.pid()), split->host_cpu = -cpu_seconds(::getpid());
    start = Clock::now();
    const auto a = e.request(kelsim::request_line(++seq, "ReadDirectory", {{"Name", kelsim::escape_name(folder)}}),
                             ends_listing);
    if (pass > 0) t.push_back(secs_since(start));
    else split->first_s = secs_since(start), split->first_elements = a.all_elements;
    if (a.last.rfind("<KelDirent", 0) != 0) die("the listing failed: " + a.last);
    *listed = a.elements - 1;  // the closing entry
    split->bytes = a.bytes;
    split->elements = a.elements;
  }
  split->engine_cpu += cpu_seconds(e.pid());
  split->host_cpu += cpu_seconds(::getpid());
  *memory = memory_of(e.pid());
  e.request(kelsim::request_line(++seq, "UnmountVolume"), ends_unmount);
  return median(t);
}

// The same through EngineProcess, whose reader parses every attribute of
// every element (a host that reads all of each entry).
double list_parsed(kelsim::SimHarness& sim, const Settings& s, const std::string& folder) {
  auto e = start_engine(sim, s.program, sim.directory() + "/cache-parsed");
  std::uint64_t seq = 0;
  must(*e, ++seq, "Check", {}, "KelVolume");
  std::vector<double> t;
  for (int pass = 0; pass <= s.passes(); ++pass) {
    const auto start = Clock::now();
    must(*e, ++seq, "ReadDirectory", {{"Name", kelsim::escape_name(folder)}}, "KelDirent");
    if (pass > 0) t.push_back(secs_since(start));
  }
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

// `find DIR -mindepth 1 -printf '%s %T@ %f\n'`, its output read here: seconds.
double list_local(const std::string& path, std::size_t* listed) {
  const auto start = Clock::now();
  FILE* p = ::popen(("find '" + path + "' -mindepth 1 -printf '%s %T@ %f\\n'").c_str(), "r");
  if (p == nullptr) die("cannot run find");
  std::size_t lines = 0;
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
    for (std::size_t i = 0; i < n; ++i) lines += buf[i] == '\n';
  if (::pclose(p) != 0) die("find failed in " + path);
  *listed = lines;
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
  auto v = volume_of(s, "listing-" + std::to_string(entries), entries, entries);
  std::printf("volume: %s\n", about(*v).c_str());
  const std::string folder = "/f0000";
  std::size_t through = 0, inproc = 0, local = 0;
  double check_s = 0;
  Memory memory;
  Split split;
  const double program_s = list_through_program(*v->sim, s, folder, &through, &check_s, &memory, &split);
  const double parsed_s = list_parsed(*v->sim, s, folder);
  const double inproc_s = list_in_process(*v->sim, s, folder, &inproc);
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
  report({"listing_vs_find", "entries/s", rate, entries / local_s, "", 0.5, false, false,
          "ReadDirectory through KelDriver; baseline find -printf '%s %T@ %f' of a local folder"},
         s.tiny);
  report({"listing_parsed_vs_find", "entries/s", entries / parsed_s, entries / local_s, "", 0, false, false,
          "the same, each element parsed whole by the host (EngineProcess)"},
         s.tiny);
  report({"listing_vs_inprocess_readdir", "entries/s", rate, entries / inproc_s, "", 0, false, false,
          "baseline: the engine's readdir in-process"},
         s.tiny);
  std::printf("Check before the listing: %.3f s; VmHWM %lld KiB after it\n", check_s,
              static_cast<long long>(memory.hwm_kib));
  std::printf("the first listing after the Check (not among the timed passes): %.3f s, %.2f us an entry, %.2f "
              "elements an entry with the debug elements (each entry's first lookup makes its vnode)\n",
              split.first_s, split.first_s / entries * 1e6, static_cast<double>(split.first_elements) / entries);
  std::printf("where the time goes, per entry: %.2f us in all, KelDriver's CPU %.2f us, this host's CPU (reading "
              "and splitting the answer) %.2f us; %.0f bytes and %.2f elements of answer per entry (debug "
              "elements in the bytes only)\n",
              program_s / entries * 1e6, split.engine_cpu / s.passes() / entries * 1e6,
              split.host_cpu / s.passes() / entries * 1e6, static_cast<double>(split.bytes) / entries,
              static_cast<double>(split.elements) / entries);
}

}  // namespace e2e
