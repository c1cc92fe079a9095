// scripts/demo against the build under test: interrupted runs leave no
// process and no work directory behind, and a whole session ends with every
// file identical.
#include "demo_session.h"
#include "sim/harness.h"

#if defined(KEL_DUMP_TOOL)
#include "dump_files.h"
#endif

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A folder of its own under /tmp, removed with all it holds.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // Empty when the folder could not be made.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Fills a folder with 400 small files (f1000.txt ...): archiving them takes
// long enough that an interrupt after the first lands inside the step.
void write_many_files(const std::string& folder) {
  for (int i = 0; i < 400; ++i) std::ofstream(folder + "/f" + std::to_string(1000 + i) + ".txt") << i;
}

// One run of the script, its output read as it comes. Every process of the
// run carries a mark of its own in its environment (inherited from the
// script), which /proc shows.
class DemoRun {
 public:
  explicit DemoRun(const std::vector<std::string>& extra, const std::string& build_dir = KEL_BINARY_DIR) {
    if (tmp_.path().empty()) return;
    mark_ = "KEL_DEMO_TEST_MARK=" + tmp_.path();
    std::vector<std::string> args{"/bin/bash", std::string(KEL_SOURCE_DIR) + "/scripts/demo", "--no-build",
                                  "--build-dir", build_dir};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<std::string> env{mark_, "TMPDIR=" + tmp_.path()};
    for (char** e = environ; *e != nullptr; ++e)
      if (std::strncmp(*e, "TMPDIR=", 7) != 0 && std::strncmp(*e, "KEL_PIPE_DIR=", 13) != 0) env.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    // The script's own SIGINT must not be ignored (a background test
    // runner may ignore it).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    if (::posix_spawn(&pid_, argv[0], &fa, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    out_ = out[0];
  }
  ~DemoRun() {
    if (pid_ > 0 && status_ == -1) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    for (pid_t p : marked()) ::kill(p, SIGKILL);
  }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

  // Reads until a line starts with `prefix` (true) or the output ends or the
  // deadline passes (false).
  bool wait_for_line(const std::string& prefix) {
    for (;;) {
      if (output_.rfind(prefix, 0) == 0 || output_.find("\n" + prefix) != std::string::npos) {
        const std::size_t at = output_.rfind(prefix, 0) == 0 ? 0 : output_.find("\n" + prefix) + 1;
        if (output_.find('\n', at) != std::string::npos) return true;
      }
      if (!read_some()) return false;
    }
  }
  // Reaps the script, then takes the output that is there: its exit
  // status (128 + signal when one ended it). What the run left is judged
  // the moment the script has ended, not once its output closes (a process
  // left running would hold it open).
  int finish() {
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    while (read_some(0)) {
    }
    return status_;
  }
  // Reads until the output ends.
  void drain() {
    while (read_some()) {
    }
  }
  // Processes other than this one whose environment carries the run's mark.
  std::vector<pid_t> marked() const {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/proc", ec)) {
      const std::string name = e.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t p = std::stoi(name);
      if (p == ::getpid()) continue;
      std::ifstream in(e.path() / "environ", std::ios::binary);
      const std::string env(std::istreambuf_iterator<char>(in), {});
      if (env.find(std::string(1, '\0') + mark_ + '\0') != std::string::npos || env.rfind(mark_ + '\0', 0) == 0)
        found.push_back(p);
    }
    return found;
  }
  // What the run left in its temporary folder.
  std::vector<std::string> left_in_tmp() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(tmp_.path())) names.push_back(e.path().filename());
    return names;
  }

 private:
  // Waits up to wait_ms (a deadline a healthy run never reaches) for output.
  bool read_some(int wait_ms = 240000) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  TempFolder tmp_{"kel-demo-test"};
  std::string mark_, output_;
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
};

void expect_nothing_left(const DemoRun& run) {
  EXPECT_TRUE(run.marked().empty()) << "processes of the run still there: " << run.marked().size() << "\n"
                                    << run.output();
  EXPECT_TRUE(run.left_in_tmp().empty()) << "left behind: " << run.left_in_tmp().front() << "\n" << run.output();
}

// A build folder for the demo with the build's service and demo program and,
// as its engine, a program that takes the requests and never answers: a
// demo run on it stays in its first step until it is stopped.
class HeldEngineBuild {
 public:
  HeldEngineBuild() {
    if (dir_.path().empty()) return;
    const fs::path dir = dir_.path();
    std::error_code ec;
    for (const char* program : {"kelsim-host", "kel-demo"}) {
      const fs::path from = fs::path(KEL_BINARY_DIR) / "sim" / program;
      fs::create_hard_link(from, dir / program, ec);
      if (ec && !fs::copy_file(from, dir / program, ec)) return;
    }
    std::ofstream(dir / "KelDriver") << "#!/bin/sh\nexec cat >/dev/null\n";
    fs::permissions(dir / "KelDriver", fs::perms::owner_all, ec);
    ready_ = !ec;
  }
  bool ready() const { return ready_; }
  const std::string& directory() const { return dir_.path(); }

 private:
  TempFolder dir_{"kel-demo-build"};
  bool ready_ = false;
};

// SIGINT once the service has said its pipe is served and the demo is held
// in its first step (its engine never answers, so the run cannot end first):
// the script stops the service and the rest, and removes the work directory.
TEST(Demo, AnInterruptAfterTheServiceIsReadyLeavesNothing) {
  HeldEngineBuild build;
  ASSERT_TRUE(build.ready()) << "no build folder with a held engine";
  DemoRun run({}, build.directory());
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for_line("service: ")) << run.output();
  ASSERT_TRUE(run.wait_for_line("[1] ")) << run.output();
  // The service is running now: the check below would see it if it stayed.
  ASSERT_FALSE(run.marked().empty()) << run.output();
  ASSERT_FALSE(run.left_in_tmp().empty()) << "no work directory made";
  ::kill(run.pid(), SIGINT);
  EXPECT_EQ(run.finish(), 130) << run.output();
  EXPECT_NE(run.output().find("interrupted"), std::string::npos) << run.output();
  expect_nothing_left(run);
}

// SIGINT while step 1 waits on a service that takes the connection and
// never answers (so the step is surely underway): the demo program and the
// engine it started stop.
// A listening socket in a folder of its own that takes connections and
// never answers; removed with the folder.
class SilentService {
 public:
  SilentService() {
    if (dir_.path().empty()) return;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir_.path() + "/QuorvelAPIPipe";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    listening_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 8) == 0;
  }
  ~SilentService() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool listening() const { return listening_; }
  const std::string& directory() const { return dir_.path(); }

 private:
  TempFolder dir_{"kel-demo-pipe"};
  int fd_ = -1;
  bool listening_ = false;
};

TEST(Demo, AnInterruptDuringAStepLeavesNothing) {
  SilentService silent;
  ASSERT_TRUE(silent.listening()) << std::strerror(errno);
  DemoRun run({"--pipe-dir", silent.directory(), "--cookie", "1A2B"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for_line("[1] ")) << run.output();
  ::kill(run.pid(), SIGINT);
  EXPECT_EQ(run.finish(), 130) << run.output();
  expect_nothing_left(run);
}

// SIGINT while step 2 archives: once the first file of a folder of many is
// archived, so that the step is surely underway and far from its end.
TEST(Demo, AnInterruptDuringTheArchiveStepLeavesNothing) {
  TempFolder many("kel-demo-folder");
  ASSERT_FALSE(many.path().empty());
  const std::string& folder = many.path();
  write_many_files(folder);
  {
    DemoRun run({"--folder", folder});
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_for_line("    /demo/f1000.txt")) << run.output();
    ::kill(run.pid(), SIGINT);
    EXPECT_EQ(run.finish(), 130) << run.output();
    EXPECT_EQ(run.output().find("[3] "), std::string::npos) << run.output();
    expect_nothing_left(run);
  }
}

// An engine of the demo that dies of a signal while it archives: the
// output names the signal and the dump, the run ends with 4 and keeps its
// work directory, where the dump is; no dump lands outside the run (the
// root, the working directory, the program's folder, the user's default
// folder), and no process of the run is left. SIGKILL leaves no dump;
// SIGABRT leaves one where the dump tool may trace the engine.
TEST(Demo, AnEngineThatDiesIsNamedAndItsWorkDirectoryKept) {
  TempFolder many("kel-demo-folder");
  ASSERT_FALSE(many.path().empty());
  const std::string& folder = many.path();
  write_many_files(folder);
  struct Case {
    int signal;
    const char* named;
    bool dump;
  };
  std::vector<Case> cases{{SIGKILL, "died of signal 9 (SIGKILL, Killed); it left no dump in ", false}};
#if defined(KEL_DUMP_TOOL)
  if (kel_e2e::dumps_permitted(KEL_DUMP_TOOL, folder))
    cases.push_back({SIGABRT, "died of signal 6 (SIGABRT, Aborted); its dump: ", true});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    DemoRun run({"--folder", folder});
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_for_line("    /demo/f1000.txt")) << run.output();
    pid_t engine = -1;
    for (pid_t p : run.marked()) {
      std::ifstream comm("/proc/" + std::to_string(p) + "/comm");
      std::string name;
      if (std::getline(comm, name) && name == "KelDriver") engine = p;
    }
    ASSERT_GT(engine, 0) << "no engine among the run's processes";
    ASSERT_EQ(::kill(engine, c.signal), 0);
    EXPECT_EQ(run.finish(), 4) << run.output();
    const std::string& out = run.output();
    EXPECT_NE(out.find("step 2 failed: Archive of /demo/f"), std::string::npos) << out;
    EXPECT_NE(out.find("the engine (process " + std::to_string(engine) + ") " + c.named), std::string::npos) << out;
    const std::size_t kept_at = out.find("work directory kept: ");
    ASSERT_NE(kept_at, std::string::npos) << out;
    const std::string kept = out.substr(kept_at + 21, out.find('\n', kept_at) - kept_at - 21);
    EXPECT_EQ(run.left_in_tmp(), std::vector<std::string>{fs::path(kept).filename().string()}) << out;
    EXPECT_TRUE(run.marked().empty()) << "processes of the run still there\n" << out;
    if (c.dump) {
      const std::size_t at = out.find("its dump: ");
      ASSERT_NE(at, std::string::npos) << out;
      const std::string dump = out.substr(at + 10, out.find('\n', at) - at - 10);
      EXPECT_EQ(dump.rfind(kept + "/", 0), 0u) << dump << " is not in the kept work directory " << kept;
      EXPECT_TRUE(fs::exists(dump)) << dump;
#if defined(KEL_DUMP_TOOL)
      for (const auto& place : kel_e2e::places_outside_the_run(KEL_DRIVER_PROGRAM))
        EXPECT_TRUE(kel_e2e::dumps_of_process(place, engine).empty()) << place;
#endif
    }
  }
}

// The session in this process against a SimHarness of its own, its output
// kept in `out`.
class InProcessSession {
 public:
  explicit InProcessSession(kelsim::HarnessOptions ho = {}) : sim_(std::move(ho)) {
    const std::string work = sim_.directory() + "/work";
    fs::create_directories(work);
    o.engine = KEL_DRIVER_PROGRAM;
    o.work = work;
    o.text_file = std::string(KEL_SOURCE_DIR) + "/README.md";
    o.cartridge = sim_.cartridge_directory();
    o.out = [this](const std::string& line) { out += line + "\n"; };
    o.start_engine = [this](const kelsim::EngineProcessOptions& eo) {
      return std::make_unique<kelsim::EngineProcess>(sim_, eo);
    };
  }
  kelsim::SimHarness& sim() { return sim_; }
  int run() { return keldemo::run(o); }

  keldemo::Options o;
  std::string out;

 private:
  kelsim::SimHarness sim_;
};

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// Every heading of a failure's text ("  ...:") has lines under it.
void expect_no_empty_heading(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(out.substr(at, end - at));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.size() < 4 || l.compare(0, 2, "  ") != 0 || l[2] == ' ' || l.back() != ':') continue;
    EXPECT_TRUE(i + 1 < lines.size() && lines[i + 1].compare(0, 4, "    ") == 0)
        << "nothing under \"" << l << "\"\n" << out;
  }
}

// The session in this process against a simulated drive whose reads fail
// over one file's extents, as UpdateArchiveInfo reports them after step 3's
// Sync: the output names the Restore step and the HRESULT with its Win32
// code, and the exit status is not 0.
TEST(Demo, AReadFaultDuringRestoreIsToldPlainly) {
  kelsim::SimHarness sim;
  const std::string work = sim.directory() + "/work";
  fs::create_directories(work);
  keldemo::Options o;
  o.engine = KEL_DRIVER_PROGRAM;
  o.work = work;
  o.text_file = std::string(KEL_SOURCE_DIR) + "/README.md";
  o.cartridge = sim.cartridge_directory();
  std::string out;
  o.out = [&](const std::string& line) { out += line + "\n"; };
  o.start_engine = [&](const kelsim::EngineProcessOptions& eo) {
    return std::make_unique<kelsim::EngineProcess>(sim, eo);
  };
  const std::string file = "/demo/random.bin";  // the sample's file of a few MiB
  std::vector<int> faults;
  std::string extents;
  o.after_step = [&](int step, keldemo::Session& s) {
    if (step != 3) return;
    const auto answers = s.request("UpdateArchiveInfo", {{"Name", kelsim::escape_name(file)}});
    const kelsim::EngineElement& a = answers.back();
    ASSERT_EQ(a.name, "KelArchive") << a.raw;
    const unsigned n = static_cast<unsigned>(std::strtoul(a.attribute("SpaceEntries.Count").c_str(), nullptr, 10));
    ASSERT_GT(n, 0u) << a.raw;
    extents = a.raw;
    for (unsigned i = 0; i < n; ++i) {
      const std::string at = "SpaceEntries." + std::to_string(i) + ".";
      const auto first = std::strtoul(a.attribute(at + "BlockNumber").c_str(), nullptr, 10);
      const auto count = std::strtoul(a.attribute(at + "NumberOfBlocks").c_str(), nullptr, 10);
      ASSERT_GT(count, 0u) << a.raw;
      kelsim::FaultRule r = kelsim::read_error(static_cast<std::uint32_t>(first),
                                               static_cast<std::uint32_t>(first + count - 1));
      faults.push_back(sim.drive().add_fault(r));
    }
  };
  const int status = keldemo::run(o);
  EXPECT_NE(status, 0) << out;
  ASSERT_FALSE(faults.empty()) << out;
  int fired = 0;
  for (int id : faults) fired += sim.drive().fault_fired(id);
  EXPECT_GT(fired, 0) << "the read fault over " << extents << " never fired\n" << out;
  EXPECT_NE(out.find("step 5 failed: Restore of " + file + ": HRESULT 0x8007"), std::string::npos) << out;
  EXPECT_NE(out.find("(Win32 code "), std::string::npos) << out;
  EXPECT_EQ(out.find("[6]"), std::string::npos) << out;
  // The code's meaning in words, and the engine's messages once, under one
  // heading that has them.
  const std::size_t code = out.find("(Win32 code ");
  ASSERT_NE(code, std::string::npos) << out;
  const std::size_t colon = out.find(": ", code);
  EXPECT_LT(colon, out.find(')', code)) << "no meaning after the code\n" << out;
  expect_no_empty_heading(out);
  EXPECT_LE(count_of(out, "the engine's last error messages:"), 1u) << out;
}

// Listings set aside a parity entry only where its own file is listed beside
// it; any other parity entry stays and shows as a difference.
TEST(Demo, ListingsSetAsideOnlyParityEntriesBesideTheirOwnFile) {
  const std::string e1 = "#*ECC_Parity_V100_N=2064_K=2048", f2 = "#*ECC_Parity_V100_N=516_K=512";
  struct Case {
    const char* what;
    keldemo::FolderNames names;
    std::set<std::string> aside;
  };
  const std::vector<Case> cases{
      {"no parity entries", {{"a", false}, {"b", true}}, {}},
      {"beside its file", {{"a", false}, {"a" + e1, false}}, {"a" + e1}},
      {"the F2h form beside its file", {{"a.txt", false}, {"a.txt" + f2, false}}, {"a.txt" + f2}},
      {"an orphan (its file not listed)", {{"b", false}, {"a" + e1, false}}, {}},
      {"beside a folder of that name", {{"a", true}, {"a" + e1, false}}, {}},
      {"listed as a folder itself", {{"a", false}, {"a" + e1, true}}, {}},
      {"no name before the mark", {{"", false}, {e1, false}}, {}},
      {"a suffix not of the parity form", {{"a", false}, {"a#*ECC_Parity_x", false}, {"a" + e1 + "z", false}}, {}},
      {"the file's own name holds the mark",
       {{"a" + e1, false}, {"a" + e1 + e1, false}},
       {"a" + e1 + e1}},
      {"only the one with its file, among others",
       {{"a", false}, {"a" + e1, false}, {"b" + e1, false}, {"c", true}, {"c" + e1, false}},
       {"a" + e1}},
  };
  for (const auto& c : cases) EXPECT_EQ(keldemo::own_parity_entries(c.names), c.aside) << c.what;
}

// Names line up by the columns a terminal gives them, not by their bytes.
TEST(Demo, NamesArePaddedByDisplayColumns) {
  struct Case {
    const char* what;
    std::string name;
    std::size_t columns;
  };
  const std::vector<Case> cases{
      {"ASCII", "README.md", 9},
      {"two-byte and three-byte characters", "Gr\xC3\xBC\xC3\x9F" "e & caf\xC3\xA9 \xE2\x9C\x93.txt", 18},
      {"wide characters", "\xE8\xB3\x87\xE6\x96\x99.txt", 8},
      {"a combining accent", "e\xCC\x81t\xC3\xA9", 3},
      {"an emoji of four bytes", "\xF0\x9F\x93\x81 box", 6},
      {"a byte that is not UTF-8", "a\xFF" "b", 3},
      {"a sequence cut short", "a\xE2\x9C", 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keldemo::display_columns(c.name), c.columns) << c.what;
    EXPECT_EQ(keldemo::pad_to_columns(c.name, 20), c.name + std::string(20 - c.columns, ' ')) << c.what;
    EXPECT_EQ(keldemo::pad_to_columns(c.name, 2), c.name) << c.what << ": wider already";
  }
}

// On the write-once cartridge of the default run and on a rewritable one.
TEST(Demo, AWholeSessionRestoresEveryFileIdentical) {
  const std::pair<std::vector<std::string>, const char*> runs[] = {{{}, "medium type E1h"},
                                                                   {{"--rewritable"}, "medium type E2h"}};
  for (const auto& [options, medium] : runs) {
    SCOPED_TRACE(medium);
    DemoRun run(options);
    ASSERT_TRUE(run.started());
    run.drain();
    EXPECT_EQ(run.finish(), 0) << run.output();
    const std::string& out = run.output();
    EXPECT_NE(out.find(medium), std::string::npos) << out;
    std::size_t identical = 0;
    for (std::size_t at = 0; (at = out.find(" identical\n", at)) != std::string::npos; ++at) ++identical;
    // Five files of the sample folder at step 5, one at step 9.
    EXPECT_EQ(identical, 6u) << out;
    EXPECT_EQ(out.find("differs"), std::string::npos) << out;
    EXPECT_NE(out.find("accepted by udfinfo"), std::string::npos) << out;
    // The sample's name outside ASCII (18 columns, 23 bytes; a file of 15
    // bytes) lines up with the others in the listing and in the comparison.
    const std::string name = "Gr\xC3\xBC\xC3\x9F" "e & caf\xC3\xA9 \xE2\x9C\x93.txt";
    EXPECT_NE(out.find("\n      " + name + std::string(40 - 18, ' ') + " " + std::string(10, ' ') + "15 "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\n    /demo/" + name + std::string(40 - 24, ' ') + " identical\n"), std::string::npos) << out;
    expect_nothing_left(run);
  }
}

// A folder as a user's may hold it: names that differ only in case (two
// files, two folders), links to files in it and out of it, a dangling link,
// a link to a folder, a FIFO, a socket and a name with a backslash.
class UsersFolder {
 public:
  UsersFolder() {
    if (dir_.path().empty() || outside_.path().empty()) return;
    const fs::path d = dir_.path();
    for (const char* sub : {"html", "Doc", "doc", "sub"}) fs::create_directories(d / sub);
    const std::pair<const char*, const char*> files[] = {
        {"README", "the readme\n"},           {"html/Index.html", "upper case\n"},
        {"html/index.html", "lower case\n"},  {"html/FAQ.html", "FAQ upper\n"},
        {"html/faq.html", "faq lower\n"},     {"Doc/a.txt", "in Doc\n"},
        {"doc/b.txt", "in doc\n"},            {"back\\slash.txt", "a backslash\n"},
    };
    for (const auto& [name, text] : files) std::ofstream(d / name) << text;
    std::ofstream(fs::path(outside_.path()) / "hostname") << "outside\n";
    std::error_code ec;
    fs::create_symlink("README", d / "FAQ", ec);
    fs::create_symlink("../README", d / "sub/up", ec);
    fs::create_symlink(fs::path(outside_.path()) / "hostname", d / "hostname", ec);
    fs::create_symlink("nowhere", d / "dangling", ec);
    fs::create_symlink("Doc", d / "docs-link", ec);
    ready_ = !ec && ::mkfifo((d / "pipe").c_str(), 0644) == 0 && make_socket((d / "sock").string());
  }
  ~UsersFolder() {
    if (sock_ >= 0) ::close(sock_);
  }
  bool ready() const { return ready_; }
  const std::string& path() const { return dir_.path(); }
  const std::string& outside() const { return outside_.path(); }

 private:
  bool make_socket(const std::string& at) {
    sock_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, at.c_str(), sizeof addr.sun_path - 1);
    return sock_ >= 0 && ::bind(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  TempFolder dir_{"kel-demo-users"}, outside_{"kel-demo-outside"};
  int sock_ = -1;
  bool ready_ = false;
};

// What the demo takes of such a folder: the earlier of two names the volume
// takes for one (in byte order), a link to a file in the folder as that file
// under the link's own name; the rest is left out, each with its reason.
TEST(Demo, AUsersFolderIsTakenAsTheVolumeCanHoldIt) {
  UsersFolder users;
  ASSERT_TRUE(users.ready()) << std::strerror(errno);
  const std::string d = users.path();
  const keldemo::FolderScan scan = keldemo::scan_folder(d, "/demo");
  EXPECT_EQ(scan.folders, (std::vector<std::string>{"/demo/Doc", "/demo/html", "/demo/sub"}));
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& f : scan.files) files.emplace_back(f.local, f.volume);
  EXPECT_EQ(files, (std::vector<std::pair<std::string, std::string>>{
                       {d + "/Doc/a.txt", "/demo/Doc/a.txt"},
                       {d + "/FAQ", "/demo/FAQ"},
                       {d + "/README", "/demo/README"},
                       {d + "/html/FAQ.html", "/demo/html/FAQ.html"},
                       {d + "/html/Index.html", "/demo/html/Index.html"},
                       {d + "/sub/up", "/demo/sub/up"},
                   }));
  struct Left {
    const char* name;
    std::string why;  // a part of the reason
    bool twin;
  };
  const std::vector<Left> left{
      {"back\\slash.txt", "backslash", false},
      {"dangling", "a dangling link", false},
      {"doc", "differs only in case from Doc beside it", true},
      {"docs-link", "a link to a folder", false},
      {"hostname", "a link to " + users.outside() + "/hostname, outside the folder", false},
      {"html/faq.html", "differs only in case from FAQ.html beside it", true},
      {"html/index.html", "differs only in case from Index.html beside it", true},
      {"pipe", "a FIFO", false},
      {"sock", "a socket", false},
  };
  std::map<std::string, keldemo::SkippedEntry> got;
  for (const auto& e : scan.skipped) got[e.local] = e;
  EXPECT_EQ(got.size(), left.size());
  for (const Left& l : left) {
    const auto it = got.find(d + "/" + l.name);
    ASSERT_NE(it, got.end()) << l.name << " is not left out";
    EXPECT_NE(it->second.why.find(l.why), std::string::npos) << l.name << ": " << it->second.why;
    EXPECT_EQ(it->second.twin, l.twin) << l.name;
  }
  // The volume's names compare with the ASCII letters folded only.
  struct Pair {
    const char* a;
    const char* b;
    bool same;
  };
  const Pair pairs[] = {{"Index.html", "index.html", true},
                        {"FAQ", "faq", true},
                        {"a", "b", false},
                        {"\xC3\x89t\xC3\xA9", "\xC3\xA9t\xC3\xA9", false},  // "Été", "été"
                        {"[", "{", false}};
  for (const Pair& p : pairs) EXPECT_EQ(keldemo::same_on_volume(p.a, p.b), p.same) << p.a << " " << p.b;
}

// The whole session over such a folder: what it archived restores
// identical (a later name the volume takes for an earlier one would
// replace it), what it left out is named, and nothing stops the run.
TEST(Demo, AUsersFolderGoesThroughTheWholeSession) {
  UsersFolder users;
  ASSERT_TRUE(users.ready()) << std::strerror(errno);
  InProcessSession session;
  session.o.folder = users.path();
  EXPECT_EQ(session.run(), 0) << session.out;
  const std::string& out = session.out;
  EXPECT_NE(out.find("\n    6 files in 4 folders from " + users.path() + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\n    skipped " + users.path() + "/html/index.html: its name differs only in case from "
                     "Index.html beside it"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n    9 entries left out, 3 of them for a name the volume takes for another\n"),
            std::string::npos)
      << out;
  // Six files at step 5 and the largest again at step 9, the link under its
  // own name among them.
  EXPECT_EQ(count_of(out, " identical\n"), 7u) << out;
  EXPECT_NE(out.find("\n    /demo/FAQ "), std::string::npos) << out;
  EXPECT_EQ(out.find("differs at"), std::string::npos) << out;
}

// Drops the capabilities that let this thread read any folder (root's);
// false when it cannot.
bool drop_read_override() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  for (int c : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) data[c / 32].effective &= ~(1u << (c % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}

// A subfolder that cannot be read ends step 2 with its name, before any
// file is archived. The session runs on a thread of its own without the
// capabilities that let root read any folder (they are per thread).
TEST(Demo, AnUnreadableSubfolderIsNamedWithItsStep) {
  TempFolder folder("kel-demo-closed");
  ASSERT_FALSE(folder.path().empty());
  const std::string closed = folder.path() + "/closed";
  fs::create_directories(closed);
  std::ofstream(folder.path() + "/open.txt") << "readable\n";
  std::ofstream(closed + "/inside.txt") << "not readable\n";
  ASSERT_EQ(::chmod(closed.c_str(), 0), 0);
  InProcessSession session;
  session.o.folder = folder.path();
  bool unreadable = false;
  int status = -1;
  std::thread runner([&] {
    // (access() would answer for root's permitted capabilities: a listing tells.)
    const bool dropped = drop_read_override();
    DIR* listing = dropped ? ::opendir(closed.c_str()) : nullptr;
    unreadable = dropped && listing == nullptr && errno == EACCES;
    if (listing != nullptr) ::closedir(listing);
    if (unreadable) status = session.run();
  });
  runner.join();
  ::chmod(closed.c_str(), 0700);
  if (!unreadable) GTEST_SKIP() << "this thread reads a folder of mode 000 (its capabilities cannot be dropped here)";
  EXPECT_EQ(status, 1) << session.out;
  EXPECT_NE(session.out.find("step 2 failed: cannot read the folder " + closed + ": Permission denied"),
            std::string::npos)
      << session.out;
  EXPECT_EQ(session.out.find("at block"), std::string::npos) << session.out;
  EXPECT_EQ(session.out.find("[3]"), std::string::npos) << session.out;
}

// A volume on two discs of 0x88000 blocks (about 39 MiB of room each): the
// first batch outgrows the first disc's room, so step 3's Sync ends on the
// second disc. Its rollback points name their slot and an address on that
// slot's disc; the Sync's blocks count through the whole volume: the point
// the rollback takes is the newest the Sync wrote, on the second disc.
TEST(Demo, AVolumeOnTwoDiscsRollsBackToItsStep3Point) {
  TempFolder folder("kel-demo-two-discs");
  ASSERT_FALSE(folder.path().empty());
  std::mt19937_64 rng(73);
  for (const auto& [name, mib] : {std::pair<const char*, std::size_t>{"a.bin", 40}, {"b.bin", 4}, {"c.bin", 20}}) {
    std::string data(mib << 20, '\0');
    for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
      const std::uint64_t v = rng();
      std::memcpy(&data[i], &v, 8);
    }
    std::ofstream(folder.path() + "/" + name, std::ios::binary) << data;
  }
  kelsim::HarnessOptions ho;
  ho.cartridge.slots = 2;
  ho.cartridge.disc_blocks = 0x88000;
  InProcessSession session(ho);
  session.o.folder = folder.path();
  EXPECT_EQ(session.run(), 0) << session.out;
  const std::string& out = session.out;
  EXPECT_NE(out.find("    mounted at step 3's point\n    listing at step 3's point (without the second batch): "
                     "as expected\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("rollback point: slot 1, address "), std::string::npos) << out;
  EXPECT_NE(out.find(", within the Sync of step 3"), std::string::npos) << out;
  EXPECT_EQ(count_of(out, " identical\n"), 4u) << out;
  for (const char* image : {"slot-00.img", "slot-01.img"})
    EXPECT_NE(out.find(std::string(image) + ": accepted by udfinfo"), std::string::npos) << image << "\n" << out;
}

// On a terminal a progress line is kept in place; a whole line clears it
// first, so a result never shares a line with it. Elsewhere no progress is
// written (the steps write theirs once, as a line).
TEST(Demo, AProgressLineIsClearedBeforeALine) {
  const std::string long_text(100, 'x');
  struct Case {
    const char* what;
    bool tty;
    std::function<void(keldemo::Console&)> act;
    std::string written;
  };
  const std::vector<Case> cases{
      {"a line after a progress line", true,
       [](keldemo::Console& c) {
         c.progress("    ... a 1 MB/s");
         c.line("    /demo/a  identical");
       },
       "    ... a 1 MB/s\r" + std::string(16, ' ') + "\r    /demo/a  identical\n"},
      {"a shorter progress line over a longer one", true,
       [](keldemo::Console& c) {
         c.progress("abc");
         c.progress("d");
       },
       "abc\r   \rd"},
      {"a line alone", true, [](keldemo::Console& c) { c.line("x"); }, "x\n"},
      {"a progress line cleared", true,
       [](keldemo::Console& c) {
         c.progress("ab");
         c.clear_progress();
         c.line("y");
       },
       "ab\r  \ry\n"},
      {"a progress line wider than a terminal", true, [&](keldemo::Console& c) { c.progress(long_text); },
       std::string(79, 'x')},
      {"not a terminal", false,
       [](keldemo::Console& c) {
         c.progress("    ... a");
         c.line("x");
       },
       "x\n"},
  };
  for (const Case& c : cases) {
    std::string written;
    keldemo::Console console([&](const std::string& bytes) { written += bytes; }, c.tty);
    c.act(console);
    EXPECT_EQ(written, c.written) << c.what;
  }
}

// The codes a user meets are named in words.
TEST(Demo, HresultsAUserMeetsAreNamedInWords) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0x80070070u, "the disc is full"},
      {0x80070013u, "the medium is write-protected"},
      {0x80070002u, "not found"},
      {0x80070005u, "access denied"},
      {0x8007006Cu, "the medium is in use by another engine"},
      {0x800700CEu, "the name is too long"},
      {0x8007007Bu, "the name is not valid"},
  };
  for (const auto& [hr, words] : cases)
    EXPECT_EQ(keldemo::hresult_meaning(hr).rfind(words, 0), 0u) << std::hex << hr << ": " << keldemo::hresult_meaning(hr);
  EXPECT_EQ(keldemo::hresult_meaning(0x80041234u), "");
}

// --pipe-dir and --cookie only together: either alone is refused by the
// script itself, before it installs, builds or starts anything.
TEST(Demo, ThePipeDirAndTheCookieGoTogether) {
  const std::vector<std::string> runs[] = {{"--pipe-dir", "/tmp"}, {"--cookie", "1A"}};
  for (const auto& options : runs) {
    DemoRun run(options);
    ASSERT_TRUE(run.started());
    run.drain();
    EXPECT_EQ(run.finish(), 2) << run.output();
    EXPECT_NE(run.output().find("demo: --pipe-dir and --cookie go together"), std::string::npos) << run.output();
    EXPECT_EQ(run.output().find("usage: kel-demo"), std::string::npos) << run.output();
    expect_nothing_left(run);
  }
}

}  // namespace
