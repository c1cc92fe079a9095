// Many small files and small requests through the whole stack, each beside a
// baseline run in the same round:
// - Archive of n and of 10 n files of 64 KiB, packed (the default), then a
//   Sync, beside tar of the same folder into one file fsync'ed once: the
//   rate, the time and the engine's CPU time per file (tar's own CPU time
//   the baseline), the drive commands and cache flushes per file (beside
//   the data's own writes and tar's one fsync);
// - Archive of n files without packing, beside the same tar, the same way;
// - GetVolumeInfo, Check on a mounted volume and ReadDirectory of a folder
//   of one entry, beside the same request line through a bare pipe to an
//   echoing child; for GetVolumeInfo also the engine's CPU time and the
//   hand-offs (threads that waited and were woken, in the engine and this
//   process) per request, beside the echo's;
// - the drive commands of an Archive of a small file, from the simulated
//   service's transcript, without the data's own writes;
// - the time per file and the engine's memory at the end of one packed
//   session of 10 n files beside those at n files, and the time per file of
//   the UnmountVolume that ends it beside that of n files.
// A UDF image written by udfclient is a further baseline only where the
// program is installed; this run says when it is not.
#include "e2e.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

namespace {

constexpr std::size_t kFileBytes = 64 * 1024;

// n files of 64 KiB of random bytes in `folder`, on the disk.
std::vector<std::string> make_files(const std::string& folder, unsigned n) {
  fs::create_directories(folder);
  std::vector<std::string> files;
  std::vector<std::uint64_t> buf(kFileBytes / 8);
  std::mt19937_64 rng(62);
  char name[32];
  for (unsigned i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "/s%05u.bin", i);
    files.push_back(folder + name);
    for (auto& w : buf) w = rng();
    const int fd = ::open(files.back().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, buf.data(), kFileBytes) != static_cast<ssize_t>(kFileBytes)) die("cannot write " + files.back());
    ::close(fd);
  }
  ::sync();
  return files;
}

// CPU time the children that ended so far have used, seconds.
double children_cpu() {
  rusage u{};
  ::getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// tar of the folder into one file and one fsync of it, the folder's pages
// dropped first: seconds, and tar's CPU seconds in *cpu.
double tar_folder(const std::string& folder, const std::string& out, double* cpu) {
  flush_and_drop(folder);
  const fs::path p(folder);
  const std::string command =
      "tar -cf '" + out + "' -C '" + p.parent_path().string() + "' '" + p.filename().string() + "'";
  const double cpu0 = children_cpu();
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) die("tar failed: " + command);
  const int fd = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("no tar file " + out);
  ::fsync(fd);
  ::close(fd);
  const double s = secs_since(start);
  *cpu = children_cpu() - cpu0;
  fs::remove(out);
  return s;
}

// A bare pipe to an echoing child (cat): the round trip of one line.
class Echo {
 public:
  Echo() {
    int to[2], from[2];
    if (::pipe2(to, O_CLOEXEC) != 0 || ::pipe2(from, O_CLOEXEC) != 0) die("pipe");
    pid_ = ::fork();
    if (pid_ < 0) die("fork");
    if (pid_ == 0) {
      ::dup2(to[0], 0);
      ::dup2(from[1], 1);
      ::execlp("cat", "cat", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(to[0]);
    ::close(from[1]);
    in_ = to[1];
    out_ = from[0];
  }
  ~Echo() {
    ::close(in_);
    ::close(out_);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }
  // Seconds.
  double round_trip(const std::string& line) {
    const std::string text = line + "\n";
    std::vector<char> back(text.size());
    const auto start = Clock::now();
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) die("echo write");
    for (std::size_t got = 0; got < back.size();) {
      const ssize_t n = ::read(out_, back.data() + got, back.size() - got);
      if (n <= 0) die("echo read");
      got += static_cast<std::size_t>(n);
    }
    return secs_since(start);
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
};

bool is_data_write(const kelsim::TranscriptEntry& e) {
  const std::uint8_t op = e.opcode();
  return op == 0x2A || op == 0xAA;  // WRITE(10), WRITE(12)
}

bool is_cache_flush(const kelsim::TranscriptEntry& e) { return e.opcode() == 0x35; }  // SYNCHRONIZE CACHE

std::string opcode_name(std::uint8_t op) {
  static const std::map<std::uint8_t, const char*> names = {
      {0x00, "TEST UNIT READY"}, {0x12, "INQUIRY"},          {0x1B, "START STOP UNIT"},
      {0x23, "READ FORMAT CAPACITIES"}, {0x25, "READ CAPACITY"}, {0x28, "READ(10)"},
      {0x2A, "WRITE(10)"},       {0x35, "SYNCHRONIZE CACHE"}, {0x51, "READ DISC INFORMATION"},
      {0x52, "READ TRACK INFORMATION"}, {0x5A, "MODE SENSE(10)"}, {0x8C, "READ ATTRIBUTE"},
      {0x8D, "WRITE ATTRIBUTE"}, {0xA6, "LOAD/UNLOAD MEDIUM"}, {0xA8, "READ(12)"},
      {0xAA, "WRITE(12)"},       {0xAD, "READ DISC STRUCTURE"}, {0xBD, "MECHANISM STATUS"}};
  const auto it = names.find(op);
  char b[64];
  std::snprintf(b, sizeof b, "%02Xh%s%s", op, it == names.end() ? "" : " ", it == names.end() ? "" : it->second);
  return b;
}

// One engine on a cartridge of its own, with the packing chosen.
class Session {
 public:
  Session(const Settings& s, bool packed) {
    kelsim::HarnessOptions o;
    o.parent_directory = s.dir;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    sim_->service().set_transcript_limit(200000);
    kelsim::EngineProcessOptions e;
    e.program = s.program;
    e.deadline = std::chrono::minutes(60);
    if (!packed) e.registry_dwords = {{"Packed Write Mode", 0}};
    engine_ = std::make_unique<kelsim::EngineProcess>(*sim_, e);
    if (!engine_->started()) die("cannot start " + s.program + ": " + engine_->error());
    must(*engine_, ++seq_, "Check", {}, "KelVolume");
  }
  ~Session() { stop(); }
  // UnmountVolume and the engine's end; the cartridge stays.
  void stop() {
    if (engine_) unmount(*engine_, ++seq_);
    engine_.reset();
  }

  kelsim::SimHarness& sim() { return *sim_; }
  kelsim::EngineProcess& engine() { return *engine_; }
  std::uint64_t next() { return ++seq_; }

  void archive(const std::string& local, const std::string& name) {
    kelsim::ArchiveRequest a;
    a.name = name;
    a.generation = a.version = 1;
    const std::uint64_t seq = ++seq_;
    const auto r = engine_->archive(seq, local, a);
    if (!r.ok)
      die("Archive of " + name + " failed: " + (r.error.empty() && r.last() ? r.last()->raw : r.error) + "\n" +
          engine_->standard_error().substr(0, 4000));
  }
  void sync() {
    must(*engine_, ++seq_, "Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}},
         "KelSync");
    drop_images(*sim_);
  }
  void folder(const std::string& name) { must(*engine_, ++seq_, "CreateDirectory", name_attrs(name), "KelVolume"); }

 private:
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<kelsim::EngineProcess> engine_;
  std::uint64_t seq_ = 0;
};

// One Archive run of files then a Sync: its seconds, the CPU seconds of the
// engine and of this process (the host side and the simulated service),
// and the drive commands the simulated service was sent.
struct Run {
  double seconds = 0, engine_cpu = 0, host_cpu = 0;
  double unmount_seconds = 0;  // the UnmountVolume after the Sync, not in `seconds`
  std::uint64_t commands = 0, data_writes = 0, flushes = 0;  // commands: without notices
};

// Archive of the files into a new folder, then Sync; the time of each
// Archive in *each and the engine's resident memory after every `mark`
// files in *rss_kib.
Run archive_all(const Settings& s, bool packed, const std::string& local_folder, const std::vector<std::string>& files,
                std::vector<double>* each = nullptr, unsigned mark = 0, std::vector<std::int64_t>* rss_kib = nullptr) {
  Session x(s, packed);
  x.folder("/small");
  flush_and_drop(local_folder);
  x.sim().service().set_transcript_limit(files.size() * 64 + 100000);
  x.sim().service().clear_transcript();
  const double engine0 = cpu_seconds(x.engine().pid()), host0 = cpu_seconds(::getpid());
  const auto start = Clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto one = Clock::now();
    x.archive(files[i], "/small/" + fs::path(files[i]).filename().string());
    if (each) each->push_back(secs_since(one));
    if (rss_kib && mark && (i + 1) % mark == 0) rss_kib->push_back(memory_of(x.engine().pid()).rss_kib);
  }
  x.sync();
  Run r;
  r.seconds = secs_since(start);
  r.engine_cpu = cpu_seconds(x.engine().pid()) - engine0;
  r.host_cpu = cpu_seconds(::getpid()) - host0;
  for (const auto& e : x.sim().service().transcript()) {
    if (e.is_notice()) continue;
    ++r.commands;
    r.data_writes += is_data_write(e);
    r.flushes += is_cache_flush(e);
  }
  const auto unmount = Clock::now();
  x.stop();
  r.unmount_seconds = secs_since(unmount);
  return r;
}

// The drive commands of one more Archive, in the order sent, each with its
// CDB (LBA and length fields show which blocks it reads or writes).
void print_one_archive(Session& x, const std::string& file, bool packed) {
  x.sim().service().clear_transcript();
  x.archive(file, "/count/" + fs::path(file).filename().string());
  std::printf("the drive commands of one Archive (%s), in order:\n", packed ? "packed" : "not packed");
  unsigned i = 0;
  for (const auto& e : x.sim().service().transcript()) {
    if (e.is_notice()) continue;
    std::printf("  %2u %-24s", ++i, opcode_name(e.opcode()).c_str());
    for (const std::uint8_t b : e.cdb) std::printf(" %02X", b);
    std::printf("%s\n", e.check_condition ? " -> CHECK CONDITION" : "");
  }
  if (i == 0) std::printf("  none (the data go to the drive at the Sync)\n");
}

// Drive commands of each Archive of a small file, counted from the
// transcript over `count` Archives after `warm` ones; the breakdown by
// command is printed.
double commands_per_archive(const Settings& s, bool packed, const std::vector<std::string>& files, unsigned warm,
                            unsigned count, double* with_data) {
  Session x(s, packed);
  x.folder("/count");
  for (unsigned i = 0; i < warm; ++i) x.archive(files[i], "/count/" + fs::path(files[i]).filename().string());
  x.sim().service().clear_transcript();
  for (unsigned i = warm; i < warm + count; ++i)
    x.archive(files[i], "/count/" + fs::path(files[i]).filename().string());
  const auto t = x.sim().service().transcript();
  std::map<std::string, unsigned> by;
  unsigned commands = 0, all = 0, notices = 0;
  for (const auto& e : t) {
    if (e.is_notice()) {
      ++notices;
      continue;
    }
    ++all;
    if (is_data_write(e)) continue;
    ++commands;
    ++by[opcode_name(e.opcode())];
  }
  std::printf("drive commands of %u Archives (%s): %u, %u with the data's writes, %u notices;", count,
              packed ? "packed" : "not packed", commands, all, notices);
  for (const auto& [name, n] : by) std::printf(" %s x%.2f;", name.c_str(), static_cast<double>(n) / count);
  std::printf("\n");
  print_one_archive(x, files[warm + count], packed);
  *with_data = static_cast<double>(all) / count;
  return static_cast<double>(commands) / count;
}

// Mean of t[from, to), seconds.
double mean(const std::vector<double>& t, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += t[i];
  return sum / static_cast<double>(to - from);
}

// Round trips of small requests on a mounted volume whose folder "/one"
// holds one file, each beside the round trip of its own line through the
// echoing child, taken in turn with it: medians, seconds.
struct RoundTrip {
  double request = 0, echo = 0;
};
// What one GetVolumeInfo costs beside one echo, counted over runs of each
// alone: CPU seconds of the engine (of the echoing child), and the threads
// that waited and were woken in the engine and this process (in this
// process and the child).
struct Costs {
  double request_cpu = 0, echo_cpu = 0;
  double request_switches = 0, echo_switches = 0;
};
struct Requests {
  RoundTrip volume_info, check, one_entry;
  Costs volume_info_costs;
};

Costs volume_info_costs(Session& x, Echo& echo, int count) {
  const pid_t engine = x.engine().pid(), self = ::getpid();
  Costs c;
  const double cpu0 = threads_cpu_seconds(engine);
  const std::uint64_t switches0 = voluntary_switches(engine) + voluntary_switches(self);
  for (int i = 0; i < count; ++i) must(x.engine(), x.next(), "GetVolumeInfo", {}, "KelVolume");
  c.request_cpu = (threads_cpu_seconds(engine) - cpu0) / count;
  c.request_switches =
      static_cast<double>(voluntary_switches(engine) + voluntary_switches(self) - switches0) / count;
  const double echo0 = threads_cpu_seconds(echo.pid());
  const std::uint64_t echo_switches0 = voluntary_switches(echo.pid()) + voluntary_switches(self);
  for (int i = 0; i < count; ++i) echo.round_trip(kelsim::request_line(x.next(), "GetVolumeInfo", {}));
  c.echo_cpu = (threads_cpu_seconds(echo.pid()) - echo0) / count;
  c.echo_switches =
      static_cast<double>(voluntary_switches(echo.pid()) + voluntary_switches(self) - echo_switches0) / count;
  return c;
}

Requests small_requests(const Settings& s, const std::string& one_file, int count) {
  Session x(s, true);
  x.folder("/one");
  x.archive(one_file, "/one/file.bin");
  Echo echo;
  auto timed = [&](const std::string& opcode, const Attributes& a, const char* expect) {
    std::vector<double> t, e;
    for (int i = 0; i < count; ++i) {
      const std::uint64_t seq = x.next();
      e.push_back(echo.round_trip(kelsim::request_line(seq, opcode, a)));
      const auto start = Clock::now();
      must(x.engine(), seq, opcode, a, expect);
      t.push_back(secs_since(start));
    }
    return RoundTrip{median(t), median(e)};
  };
  Requests r;
  r.volume_info = timed("GetVolumeInfo", {}, "KelVolume");
  r.check = timed("Check", {}, "KelVolume");
  r.one_entry = timed("ReadDirectory", {{"Name", kelsim::escape_name("/one")}}, "KelDirent");
  r.volume_info_costs = volume_info_costs(x, echo, count);
  x.stop();
  return r;
}

// The figures of Archive runs of `files` files beside tar of the same files:
// rate, time and engine CPU per file, drive commands and cache flushes per
// file. `name` ends each figure's name.
void report_runs(const Settings& s, const std::string& name, const std::string& what, unsigned files,
                 const std::vector<Run>& runs, const std::vector<double>& tar, const std::vector<double>& tar_cpu,
                 double target) {
  std::vector<double> seconds, cpu;
  for (const Run& r : runs) seconds.push_back(r.seconds), cpu.push_back(r.engine_cpu);
  const double mb = files * kFileBytes / 1e6, per = 1e6 / files;
  const Run& last = runs.back();
  report({"small_" + name + "_archive_sync_" + std::to_string(files), "MB/s", mb / median(seconds), mb / median(tar),
          "", target, false, false, what + ", then Sync; baseline tar of the folder, one fsync"},
         s.tiny);
  report({"small_" + name + "_time_per_file_" + std::to_string(files), "us", median(seconds) * per,
          median(tar) * per, "", 0, false, true, "the same run's time per file; baseline tar's"},
         s.tiny);
  report({"small_" + name + "_engine_cpu_per_file_" + std::to_string(files), "us", median(cpu) * per,
          median(tar_cpu) * per, "", 0, false, true,
          "KelDriver's CPU time per file; baseline tar's (this process, host side and simulated service: " +
              std::to_string(static_cast<int>(last.host_cpu * per)) + " us)"},
         s.tiny);
  report({"small_" + name + "_commands_per_file_" + std::to_string(files), "commands",
          static_cast<double>(last.commands) / files, static_cast<double>(last.data_writes) / files, "", 0, false,
          true, "drive commands with the Sync's, without notices; baseline the data's own writes"},
         s.tiny);
  report({"small_" + name + "_cache_flushes_per_file_" + std::to_string(files), "flushes",
          static_cast<double>(last.flushes) / files, 1.0 / files, "", 0, false, true,
          "SYNCHRONIZE CACHE with the Sync's; baseline tar's one fsync"},
         s.tiny);
}

}  // namespace

void small_files_figures(const Settings& s) {
  const unsigned n = s.tiny ? 20 : s.small_files, n10 = n * 10;
  std::printf("== many small files and small requests (E1h cartridge in a QMR-T300B; %u and %u files of 64 KiB)\n", n,
              n10);
  if (std::system("command -v udfclient >/dev/null 2>&1") != 0)
    std::printf("udfclient is not installed: its baseline (a UDF image of the same files) is skipped\n");
  const std::string local = s.dir + "/small-files-" + std::to_string(::getpid());
  const std::vector<std::string> all = make_files(local + "/many", n10);
  // The first n of them, in a folder of their own for tar.
  const std::string few_folder = local + "/few";
  fs::create_directories(few_folder);
  std::vector<std::string> few;
  for (unsigned i = 0; i < n; ++i) {
    few.push_back(few_folder + "/" + fs::path(all[i]).filename().string());
    fs::copy_file(all[i], few.back());
  }
  ::sync();
  const std::string tar_out = local + "/out.tar";

  // Drive commands first: one session each, not timed.
  double packed_all = 0, unpacked_all = 0;
  const unsigned warm = std::min(10u, n / 2), counted = std::min(100u, n - warm);
  const double packed_commands = commands_per_archive(s, true, all, warm, counted, &packed_all);
  const double unpacked_commands = commands_per_archive(s, false, all, warm, counted, &unpacked_all);

  std::vector<Run> packed_n, packed_n10, plain_n;
  std::vector<double> tar_n, tar_n10, tar_cpu_n, tar_cpu_n10, growth, rss_growth;
  for (int pass = 0; pass < s.passes(); ++pass) {
    double cpu = 0;
    tar_n.push_back(tar_folder(few_folder, tar_out, &cpu));
    tar_cpu_n.push_back(cpu);
    packed_n.push_back(archive_all(s, true, few_folder, few));
    plain_n.push_back(archive_all(s, false, few_folder, few));
    tar_n10.push_back(tar_folder(local + "/many", tar_out, &cpu));
    tar_cpu_n10.push_back(cpu);
    std::vector<double> each;
    std::vector<std::int64_t> rss;
    packed_n10.push_back(archive_all(s, true, local + "/many", all, &each, n, &rss));
    const std::size_t w = std::max(1u, n / 10);
    growth.push_back(mean(each, n10 - w, n10) / mean(each, n - w, n));
    rss_growth.push_back(static_cast<double>(rss.back()) / static_cast<double>(rss.front()));
  }
  const std::string ns = std::to_string(n), n10s = std::to_string(n10);
  report_runs(s, "packed", "Archive of " + n10s + " x 64 KiB packed", n10, packed_n10, tar_n10, tar_cpu_n10, 0.5);
  report_runs(s, "packed", "the same, " + ns + " files", n, packed_n, tar_n, tar_cpu_n, 0);
  report_runs(s, "unpacked", "Archive of " + ns + " x 64 KiB without packing", n, plain_n, tar_n, tar_cpu_n, 0.1);
  std::vector<double> packed_seconds;
  for (const Run& r : packed_n10) packed_seconds.push_back(r.seconds);
  report({"small_packed_files_per_s_" + n10s, "files/s", n10 / median(packed_seconds), n10 / median(tar_n10), "", 0,
          false, false, ""},
         s.tiny);
  report({"small_packed_time_per_file_" + ns + "_to_" + n10s, "ratio", median(growth), 1, "", 1.2, false, true,
          "mean Archive time of the last tenth before " + n10s + " beside that before " + ns + ", one session"},
         s.tiny);
  std::vector<double> unmount_n, unmount_n10;
  for (const Run& r : packed_n) unmount_n.push_back(r.unmount_seconds);
  for (const Run& r : packed_n10) unmount_n10.push_back(r.unmount_seconds);
  report({"small_packed_unmount_per_file_" + ns + "_to_" + n10s, "ratio",
          median(unmount_n10) / median(unmount_n) / 10, 1, "", 0, false, true,
          "UnmountVolume after the Sync, time per file on the volume at " + n10s + " beside that at " + ns + " (" +
              std::to_string(static_cast<int>(median(unmount_n10) * 1e3)) + " ms at " + n10s + ")"},
         s.tiny);
  report({"small_packed_rss_" + ns + "_to_" + n10s, "ratio", median(rss_growth), 1, "", 0, false, true,
          "the engine's VmRSS after " + n10s + " files beside that after " + ns},
         s.tiny);
  report({"drive_commands_per_packed_archive", "commands", packed_commands, packed_all, "", 4, true, true,
          "without the data's writes and notices; baseline column: with the data's writes"},
         s.tiny);
  report({"drive_commands_per_unpacked_archive", "commands", unpacked_commands, unpacked_all, "", 0, false, true,
          "the same without packing"},
         s.tiny);

  const int count = s.tiny ? 20 : 1000;
  const Requests r = small_requests(s, all[0], count);
  const char* pipe = "; baseline the same line through a bare pipe to an echoing child, in turn with it";
  report({"get_volume_info_round_trip", "us", r.volume_info.request * 1e6, r.volume_info.echo * 1e6, "", 5, false,
          true, std::string("median GetVolumeInfo") + pipe},
         s.tiny);
  const Costs& c = r.volume_info_costs;
  report({"get_volume_info_engine_cpu", "us", c.request_cpu * 1e6, c.echo_cpu * 1e6, "", 0, false, true,
          "KelDriver's CPU time per GetVolumeInfo; baseline the echoing child's per line"},
         s.tiny);
  report({"get_volume_info_hand_offs", "wake-ups", c.request_switches, c.echo_switches, "", 0, false, true,
          "threads that waited and were woken per GetVolumeInfo, in KelDriver and this process (host side and "
          "simulated service); baseline the echo's, in this process and the child"},
         s.tiny);
  report({"check_mounted_round_trip", "us", r.check.request * 1e6, r.check.echo * 1e6, "", 5, false, true,
          std::string("median Check, mounted") + pipe},
         s.tiny);
  report({"read_directory_one_entry_round_trip", "us", r.one_entry.request * 1e6, r.one_entry.echo * 1e6, "", 5,
          false, true, std::string("median ReadDirectory of a folder of one file") + pipe},
         s.tiny);
  std::printf("load average at the end of the group: %.2f\n", load_average());
  fs::remove_all(local);
}

}  // namespace e2e
