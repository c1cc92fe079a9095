// scripts/demo against the build under test: interrupted runs leave no
// process and no work directory behind, and a whole session ends with every
// file identical.
#include "demo_session.h"
#include "sim/harness.h"

#if defined(KEL_DUMP_TOOL)
#include "dump_files.h"
#endif

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// One run of the script, its output read as it comes. Every process of the
// run carries a mark of its own in its environment (inherited from the
// script), which /proc shows.
class DemoRun {
 public:
  explicit DemoRun(const std::vector<std::string>& extra) {
    char tmpl[] = "/tmp/kel-demo-test-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    tmp_ = tmpl;
    mark_ = "KEL_DEMO_TEST_MARK=" + tmp_;
    std::vector<std::string> args{"/bin/bash", std::string(KEL_SOURCE_DIR) + "/scripts/demo", "--no-build",
                                  "--build-dir", KEL_BINARY_DIR};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<std::string> env{mark_, "TMPDIR=" + tmp_};
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
    std::error_code ec;
    fs::remove_all(tmp_, ec);
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
    for (const auto& e : fs::directory_iterator(tmp_)) names.push_back(e.path().filename());
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

  std::string tmp_, mark_, output_;
  pid_t pid_ = -1;
  int out_ = -1;
  int status_ = -1;
};

void expect_nothing_left(const DemoRun& run) {
  EXPECT_TRUE(run.marked().empty()) << "processes of the run still there: " << run.marked().size() << "\n"
                                    << run.output();
  EXPECT_TRUE(run.left_in_tmp().empty()) << "left behind: " << run.left_in_tmp().front() << "\n" << run.output();
}

// SIGINT once the service has said its pipe is served: the script stops it
// and removes the work directory.
TEST(Demo, AnInterruptAfterTheServiceIsReadyLeavesNothing) {
  DemoRun run({});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait_for_line("service: ")) << run.output();
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
    char tmpl[] = "/tmp/kel-demo-pipe-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir_ + "/QuorvelAPIPipe";
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    listening_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd_, 8) == 0;
  }
  ~SilentService() {
    if (fd_ >= 0) ::close(fd_);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  bool listening() const { return listening_; }
  const std::string& directory() const { return dir_; }

 private:
  std::string dir_;
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
  char tmpl[] = "/tmp/kel-demo-folder-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string folder = tmpl;
  for (int i = 0; i < 400; ++i) std::ofstream(folder + "/f" + std::to_string(1000 + i) + ".txt") << i;
  {
    DemoRun run({"--folder", folder});
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_for_line("    /demo/f1000.txt")) << run.output();
    ::kill(run.pid(), SIGINT);
    EXPECT_EQ(run.finish(), 130) << run.output();
    EXPECT_EQ(run.output().find("[3] "), std::string::npos) << run.output();
    expect_nothing_left(run);
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
}

#if defined(KEL_DUMP_TOOL)
// An engine of the demo that aborts while it archives: its dump stays in
// the run's work directory and goes with it, never into the root, the
// working directory, the program's folder or the user's default folder.
TEST(Demo, AnEngineThatAbortsLeavesNoDumpOutsideTheRun) {
  char tmpl[] = "/tmp/kel-demo-folder-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string folder = tmpl;
  for (int i = 0; i < 400; ++i) std::ofstream(folder + "/f" + std::to_string(1000 + i) + ".txt") << i;
  if (kel_e2e::dumps_permitted(KEL_DUMP_TOOL, folder)) {
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
    ASSERT_EQ(::kill(engine, SIGABRT), 0);
    EXPECT_NE(run.finish(), 0) << run.output();
    expect_nothing_left(run);
    for (const auto& place : kel_e2e::places_outside_the_run(KEL_DRIVER_PROGRAM))
      EXPECT_TRUE(kel_e2e::dumps_of_process(place, engine).empty()) << place;
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
}
#endif

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
    expect_nothing_left(run);
  }
}

}  // namespace
