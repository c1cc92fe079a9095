// What the whole-stack benchmark's figures share: the real KelDriver started
// against a simulated drive, request helpers, page-cache handling, the
// engine's resident memory and the report (a table and one JSON line per
// figure).
#pragma once

#include "sim/engine_process.h"
#include "sim/harness.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Attributes = std::vector<std::pair<std::string, std::string>>;

double secs_since(Clock::time_point t);
[[noreturn]] void die(const std::string& what);

// The run's settings.
struct Settings {
  bool tiny = false;
  std::string program;        // KelDriver
  std::string self;           // this program (for its in-process helper runs)
  std::string dir;            // images, copies and local folders
  std::string keep_volumes;   // "" : volumes are made in each run
  std::string stamp;          // the commit that made the kept volumes
  unsigned entries = 100000;  // listing
  unsigned largest = 799800;  // mount: files of the largest point (with folders and metadata files, 800,000 objects at most)
  std::uint64_t size = 1ull << 30;  // archive: the large file
  unsigned small_files = 1000;
  std::vector<std::string> only;  // figure groups to run ("" : all)
  bool busy = false;              // a busy loop on every CPU while the figures are taken
  bool wants(const std::string& group) const;
  // Passes of each figure, whose median counts (one in tiny mode).
  int passes() const { return tiny ? 1 : 3; }
};

// An F2h cartridge in a QMR-T400A, in the run's directory.
std::unique_ptr<kelsim::SimHarness> f2h_cartridge(const Settings& s, std::uint32_t disc_blocks = 0);

std::unique_ptr<kelsim::EngineProcess> start_engine(kelsim::SimHarness& sim, const std::string& program,
                                                     const std::string& cache_directory = "");
bool is_end(const kelsim::EngineElement& e);
// Sends a request and stops the run unless its last answer is `expect`.
std::vector<kelsim::EngineElement> must(kelsim::EngineProcess& e, std::uint64_t seq, const std::string& opcode,
                                        const Attributes& a, const char* expect);
Attributes name_attrs(const std::string& path);
// UnmountVolume and a clean exit, or the run stops.
void unmount(kelsim::EngineProcess& e, std::uint64_t seq);

// KelDriver started against the simulated drive as EngineProcess starts it,
// its answers read as they come and only split into elements: for figures
// in which a host's parsing of every attribute would hide the engine's time.
class RawEngine {
 public:
  RawEngine(kelsim::SimHarness& sim, const std::string& program, const std::string& cache_directory);
  ~RawEngine();
  RawEngine(const RawEngine&) = delete;
  RawEngine& operator=(const RawEngine&) = delete;
  pid_t pid() const { return pid_; }
  struct Answer {
    std::size_t elements = 0;      // not counting debug elements
    std::size_t all_elements = 0;  // counting them
    std::size_t bytes = 0;     // all of them
    std::string last;          // the element that ended the request
  };
  // Sends the request line and reads elements until `end` holds for one;
  // the run stops when the output ends first.
  Answer request(const std::string& line, bool (*end)(std::string_view element));

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string pending_;  // bytes of an element not yet complete
};
// Ends of requests for RawEngine::request.
bool ends_check(std::string_view element);
bool ends_listing(std::string_view element);
bool ends_unmount(std::string_view element);

// Writes what is dirty in the file (or every file below a folder) to the
// disk and drops it from the page cache.
void flush_and_drop(const std::string& path);
// Every slot image of the cartridge, flushed and dropped.
void drop_images(kelsim::SimHarness& sim);

// VmRSS and VmHWM of a process, KiB.
struct Memory {
  std::int64_t rss_kib = 0, hwm_kib = 0;
};
Memory memory_of(pid_t pid);
// CPU time (user and system) a process has used so far, seconds.
double cpu_seconds(pid_t pid);
// CPU time the live threads of a process have used so far, seconds, to the
// nanosecond (threads that ended are not counted).
double threads_cpu_seconds(pid_t pid);
// Times the threads of a process gave up the CPU to wait so far (each is
// a hand-off: another thread or process must wake it).
std::uint64_t voluntary_switches(pid_t pid);
// The machine's load average over the last minute.
double load_average();

double median(std::vector<double> v);

// One figure: its value beside a baseline measured in the same run.
struct Figure {
  std::string name, unit;
  double value = 0, baseline = 0;
  std::string baseline_unit;  // "" : as unit
  // The target: a least value of the ratio (or of the value when
  // target_on_value), none when 0.
  double target = 0;
  bool target_on_value = false;
  bool lower_is_better = false;  // the target is a greatest value
  std::string note;
  double ratio() const { return baseline != 0 ? value / baseline : 0; }
  bool met() const;
};
void report(const Figure& f, bool tiny);

// Reads `bytes` of the file's data (holes left out) sequentially from
// `offset`, the page cache dropped first: seconds.
double plain_read(const std::string& path, std::uint64_t offset, std::uint64_t bytes);

}  // namespace e2e
