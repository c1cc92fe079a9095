// Many small files and small requests through the whole stack, each beside a
// baseline run in the same round:
// - Archive of n and of 10 n files of 64 KiB, packed (the default), then a
//   Sync, beside tar of the same folder into one file fsync'ed once;
// - Archive of n files without packing, beside the same tar;
// - GetVolumeInfo, Check on a mounted volume and ReadDirectory of a folder
//   of one entry, beside the same request line through a bare pipe to an
//   echoing child;
// - the drive commands of an Archive of a small file, from the simulated
//   service's transcript, without the data's own writes;
// - the time per file and the engine's memory at the end of one packed
//   session of 10 n files beside those at n files.
// A UDF image written by udfclient is a further baseline only where the
// program is installed; this run says when it is not.
#include "e2e.h"

#include <fcntl.h>
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

// tar of the folder into one file and one fsync of it, the folder's pages
// dropped first: seconds.
double tar_folder(const std::string& folder, const std::string& out) {
  flush_and_drop(folder);
  const fs::path p(folder);
  const std::string command =
      "tar -cf '" + out + "' -C '" + p.parent_path().string() + "' '" + p.filename().string() + "'";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) die("tar failed: " + command);
  const int fd = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("no tar file " + out);
  ::fsync(fd);
  ::close(fd);
  const double s = secs_since(start);
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
  ~Session() { unmount(*engine_, ++seq_); }

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

// CPU seconds of the engine and of this process (the host side and the
// simulated service) over a run.
struct Split {
  double engine_cpu = 0, host_cpu = 0;
};

// Archive of the files into a new folder, then Sync: seconds; the time of
// each Archive in *each, the engine's resident memory after every `mark`
// files in *rss_kib and the CPU split in *split.
double archive_all(const Settings& s, bool packed, const std::string& local_folder, const std::vector<std::string>& files,
                   std::vector<double>* each = nullptr, unsigned mark = 0, std::vector<std::int64_t>* rss_kib = nullptr,
                   Split* split = nullptr) {
  Session x(s, packed);
  x.folder("/small");
  flush_and_drop(local_folder);
  const double engine0 = cpu_seconds(x.engine().pid()), host0 = cpu_seconds(::getpid());
  const auto start = Clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto one = Clock::now();
    x.archive(files[i], "/small/" + fs::path(files[i]).filename().string());
    if (each) each->push_back(secs_since(one));
    if (rss_kib && mark && (i + 1) % mark == 0) rss_kib->push_back(memory_of(x.engine().pid()).rss_kib);
  }
  x.sync();
  const double took = secs_since(start);
  if (split) *split = {cpu_seconds(x.engine().pid()) - engine0, cpu_seconds(::getpid()) - host0};
  return took;
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
struct Requests {
  RoundTrip volume_info, check, one_entry;
};
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
  return r;
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

  std::vector<double> packed_n, packed_n10, plain_n, tar_n, tar_n10, growth;
  std::vector<double> rss_growth;
  Split packed_split, plain_split;
  for (int pass = 0; pass < s.passes(); ++pass) {
    tar_n.push_back(tar_folder(few_folder, tar_out));
    packed_n.push_back(archive_all(s, true, few_folder, few));
    plain_n.push_back(archive_all(s, false, few_folder, few, nullptr, 0, nullptr, &plain_split));
    tar_n10.push_back(tar_folder(local + "/many", tar_out));
    std::vector<double> each;
    std::vector<std::int64_t> rss;
    packed_n10.push_back(archive_all(s, true, local + "/many", all, &each, n, &rss, &packed_split));
    const std::size_t w = std::max(1u, n / 10);
    growth.push_back(mean(each, n10 - w, n10) / mean(each, n - w, n));
    rss_growth.push_back(static_cast<double>(rss.back()) / static_cast<double>(rss.front()));
  }
  const double mb_n = n * kFileBytes / 1e6, mb_n10 = n10 * kFileBytes / 1e6;
  std::printf("where the time goes, per file (last pass): packed %.0f us in all, KelDriver's CPU %.0f us, this "
              "process's CPU (host side and simulated service) %.0f us; without packing %.0f us, %.0f us, %.0f us\n",
              packed_n10.back() / n10 * 1e6, packed_split.engine_cpu / n10 * 1e6, packed_split.host_cpu / n10 * 1e6,
              plain_n.back() / n * 1e6, plain_split.engine_cpu / n * 1e6, plain_split.host_cpu / n * 1e6);
  const std::string ns = std::to_string(n), n10s = std::to_string(n10);
  report({"small_packed_archive_sync_" + n10s, "MB/s", mb_n10 / median(packed_n10), mb_n10 / median(tar_n10), "", 0.5,
          false, false, "Archive of " + n10s + " x 64 KiB packed, then Sync; baseline tar of the folder, one fsync"},
         s.tiny);
  report({"small_packed_archive_sync_" + ns, "MB/s", mb_n / median(packed_n), mb_n / median(tar_n), "", 0, false,
          false, "the same, " + ns + " files"},
         s.tiny);
  report({"small_unpacked_archive_sync_" + ns, "MB/s", mb_n / median(plain_n), mb_n / median(tar_n), "", 0.2, false,
          false, "Archive of " + ns + " x 64 KiB without packing, then Sync; baseline the same tar"},
         s.tiny);
  report({"small_packed_files_per_s_" + n10s, "files/s", n10 / median(packed_n10), n10 / median(tar_n10), "", 0,
          false, false, ""},
         s.tiny);
  report({"small_packed_time_per_file_" + ns + "_to_" + n10s, "ratio", median(growth), 1, "", 1.2, false, true,
          "mean Archive time of the last tenth before " + n10s + " beside that before " + ns + ", one session"},
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
  report({"check_mounted_round_trip", "us", r.check.request * 1e6, r.check.echo * 1e6, "", 5, false, true,
          std::string("median Check, mounted") + pipe},
         s.tiny);
  report({"read_directory_one_entry_round_trip", "us", r.one_entry.request * 1e6, r.one_entry.echo * 1e6, "", 5,
          false, true, std::string("median ReadDirectory of a folder of one file") + pipe},
         s.tiny);
  fs::remove_all(local);
}

}  // namespace e2e
