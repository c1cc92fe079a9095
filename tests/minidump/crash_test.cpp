// End to end: a program loads the interface library, installs its crash
// handler and crashes; the handler's watcher starts QvMiniDump from the
// program's folder, which leaves a dump in the configured log directory.
#include "qvminidump/dump_reader.h"
#include "qvminidump/tool.h"

#include "platform/registry.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using minidump_test::TempDir;
using qvminidump::DumpReader;

#ifdef KEL_CRASH_CHILD_PATH

// In an address-sanitizer build the sanitizer keeps SIGSEGV and reports it
// itself: the handler takes no dump of it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerTakesSegv = true;
#else
constexpr bool kSanitizerTakesSegv = false;
#endif
constexpr const char* kSanitizerBuild = "SIGSEGV is the address sanitizer's in this build (see SanitizerReportsSegv)";

std::string localStamp(std::time_t t) {
  std::tm tm;
  localtime_r(&t, &tm);
  char b[32];
  std::strftime(b, sizeof b, "%Y%m%d%H%M%S", &tm);
  return b;
}

// Program and tool in a folder with a blank in its name, a log directory
// with a blank too, and a registry of the test's own.
class CrashHandlerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    minidump_test::becomeSubreaper();
    bin_ = dir_.path() + "/bin dir";
    log_ = dir_.path() + "/log dir";
    fs::create_directory(bin_);
    fs::create_directory(log_);
    child_ = bin_ + "/KelDriver";
    fs::copy_file(KEL_CRASH_CHILD_PATH, child_);
    fs::copy_file(KEL_QVMINIDUMP_PATH, bin_ + "/QvMiniDump");
    for (const auto& p : {child_, bin_ + "/QvMiniDump"})
      fs::permissions(p, fs::perms::owner_all, fs::perm_options::add);
    if (const char* old = std::getenv("KEL_REGISTRY")) saved_ = old, hadSaved_ = true;
    setenv("KEL_REGISTRY", (dir_.path() + "/registry.reg").c_str(), 1);
  }
  void TearDown() override {
    if (hadSaved_) setenv("KEL_REGISTRY", saved_.c_str(), 1);
    else unsetenv("KEL_REGISTRY");
  }
  void setLogDirectory(DWORD type, const void* data, DWORD size) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Stravo", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    ASSERT_EQ(RegSetValueExA(k, "Log file directory", 0, type, static_cast<const BYTE*>(data), size), 0);
    RegCloseKey(k);
  }
  void useLogDirectory() {
    setLogDirectory(REG_SZ, log_.c_str(), static_cast<DWORD>(log_.size() + 1));
  }
  // Runs the program in the given mode and waits for it and for every tool
  // it started; the wait status. With `err`, its standard error goes there.
  int crash(const std::string& mode, std::string* err = nullptr) {
    const std::string path = err ? dir_.path() + "/stderr" : std::string();
    const int st = minidump_test::runProgram({child_, KEL_INTERFACE_PATH, mode}, &pid_, path);
    minidump_test::reapAllChildren();
    if (err) {
      std::ifstream in(path);
      err->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return st;
  }
  // Checks a dump's name (time, code and process id) and opens it.
  static void expectDump(const std::string& path, const std::string& code, std::time_t before, pid_t pid,
                         DumpReader& r) {
    const std::string name = fs::path(path).filename();
    std::smatch m;
    const std::regex pattern("KelDriver([0-9]{14})([0-9A-F]+)-([0-9]+)\\.dmp");
    ASSERT_TRUE(std::regex_match(name, m, pattern)) << name;
    EXPECT_GE(m[1].str(), localStamp(before));
    EXPECT_LE(m[1].str(), localStamp(std::time(nullptr)));
    EXPECT_EQ(m[2].str(), code);
    EXPECT_EQ(m[3].str(), std::to_string(pid));
    std::string why;
    ASSERT_TRUE(r.open(path, &why)) << why;
    EXPECT_EQ(r.header().processId, static_cast<std::uint32_t>(pid));
  }
  static std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().filename());
    std::sort(files.begin(), files.end());
    return files;
  }
  // Checks the one dump of a crash in the folder and opens it.
  void expectOneDump(const std::string& code, std::time_t before, DumpReader& r,
                     const std::string& folder = "") {
    const std::string where = folder.empty() ? log_ : folder;
    const auto files = filesIn(where);
    ASSERT_EQ(files.size(), 1u) << "one dump and nothing else, no partial file";
    expectDump(where + "/" + files[0], code, before, pid_, r);
  }
  // Where the machine does not permit ptrace the tool fails and no dump is
  // left; probe that with a child of our own.
  bool ptraceDenied() {
    minidump_test::Child c = minidump_test::spawnChild({KEL_DUMP_TARGET_PATH});
    minidump_test::readLine(c);
    char pid[16];
    std::snprintf(pid, sizeof pid, "%X", c.pid);
    TempDir probe;
    const DWORD rc = qvminidump::RunTool({"-p", pid, "-t", pid, "-f", probe.path() + "/p.dmp"});
    minidump_test::finishChild(c);
    return rc == ERROR_ACCESS_DENIED;
  }

  TempDir dir_{"kel crash "};
  std::string bin_, log_, child_, saved_;
  bool hadSaved_ = false;
  pid_t pid_ = -1;
};

struct CrashCase {
  const char* mode;
  int signal;
  const char* code;
  bool inProgram;  // the faulting instruction is in the program itself
};

TEST_F(CrashHandlerEndToEnd, EachFatalSignalLeavesADumpNamedByTimeAndCode) {
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  useLogDirectory();
  std::vector<CrashCase> cases = {
      {"segv", SIGSEGV, "C0000005", true},
      {"abort", SIGABRT, "40000015", false},
      {"bus", SIGBUS, "C0000006", true},
      {"overflow", SIGSEGV, "C0000005", true},  // runs on the alternate stack
  };
#if defined(__x86_64__)
  cases.push_back({"fpe", SIGFPE, "C0000094", true});
  cases.push_back({"ill", SIGILL, "C000001D", true});
#endif
  for (const auto& c : cases) {
    if (kSanitizerTakesSegv && c.signal == SIGSEGV) continue;
    SCOPED_TRACE(c.mode);
    for (const auto& e : fs::directory_iterator(log_)) fs::remove(e.path());
    const std::time_t before = std::time(nullptr);
    const int st = crash(c.mode);
    ASSERT_TRUE(WIFSIGNALED(st)) << "status " << st;
    EXPECT_EQ(WTERMSIG(st), c.signal) << "the process still ends by its signal";

    DumpReader r;
    expectOneDump(c.code, before, r);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(r.exception().has_value());
    const auto& rec = r.exception()->record;
    EXPECT_EQ(rec.signal, c.signal);
    EXPECT_EQ(rec.exception.code, std::strtoul(c.code, nullptr, 16));
    EXPECT_EQ(rec.threadId, r.header().threadId);
    EXPECT_EQ(r.exception()->threadId, r.header().threadId);
    EXPECT_EQ(r.header().threadId, static_cast<std::uint32_t>(pid_)) << "the main thread crashed";
    // The crashing thread is in the dump with its registers.
    const auto* t = r.findThread(r.header().threadId);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->flags & qvminidump::kThreadIsExceptionThread);
    EXPECT_TRUE(DumpReader::instructionPointer(t->machine, t->registers.data(),
                                               static_cast<std::uint32_t>(t->registers.size())));
    // The registers at the fault point to the faulting instruction.
    const auto pc = DumpReader::instructionPointer(rec.machine, rec.registers, rec.registersSize);
    ASSERT_TRUE(pc.has_value());
    EXPECT_EQ(*pc, rec.exception.address);
    const auto* module = r.findModule(*pc);
    ASSERT_NE(module, nullptr);
    if (c.inProgram) {
      EXPECT_EQ(fs::path(module->name).filename(), "KelDriver");
    }
    if (std::string(c.mode) == "segv") {
      EXPECT_EQ(rec.exception.numberParameters, 2u);
      EXPECT_EQ(rec.exception.information[0], 1u) << "a write";
      EXPECT_EQ(rec.exception.information[1], 0x10u);
    }
  }
}

// An invalid access and a stack overflow in an address-sanitizer build:
// the sanitizer's report reaches standard error, and no dump is taken.
TEST_F(CrashHandlerEndToEnd, SanitizerReportsSegv) {
  if (!kSanitizerTakesSegv) GTEST_SKIP() << "not an address-sanitizer build";
  useLogDirectory();
  for (const char* mode : {"segv", "overflow", "thread"}) {
    SCOPED_TRACE(mode);
    std::string err;
    const int st = crash(mode, &err);
    EXPECT_FALSE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    EXPECT_NE(err.find("ERROR: AddressSanitizer"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_empty(log_)) << "no dump";
  }
}

TEST_F(CrashHandlerEndToEnd, ACrashOnAnotherThreadNamesThatThread) {
  if (kSanitizerTakesSegv) GTEST_SKIP() << kSanitizerBuild;
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  useLogDirectory();
  const std::time_t before = std::time(nullptr);
  const int st = crash("thread");
  ASSERT_TRUE(WIFSIGNALED(st));
  DumpReader r;
  expectOneDump("C0000005", before, r);
  if (HasFatalFailure()) return;
  EXPECT_NE(r.header().threadId, static_cast<std::uint32_t>(pid_));
  EXPECT_NE(r.findThread(r.header().threadId), nullptr);
}

TEST_F(CrashHandlerEndToEnd, TwoThreadsCrashingTogetherLeaveOneCompleteDump) {
  if (kSanitizerTakesSegv) GTEST_SKIP() << kSanitizerBuild;
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  useLogDirectory();
  for (int round = 0; round < 3; ++round) {
    for (const auto& e : fs::directory_iterator(log_)) fs::remove(e.path());
    const std::time_t before = std::time(nullptr);
    const int st = crash("two");
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGSEGV);
    DumpReader r;
    expectOneDump("C0000005", before, r);
    if (HasFatalFailure()) return;
    EXPECT_NE(r.header().threadId, static_cast<std::uint32_t>(pid_)) << "one of the two threads";
    ASSERT_TRUE(r.exception().has_value());
  }
}

// A stack overflow on a thread the engine started (through the thread-start
// helper) runs the handler on that thread's alternate stack.
TEST_F(CrashHandlerEndToEnd, AStackOverflowOnAnotherThreadLeavesADump) {
  if (kSanitizerTakesSegv) GTEST_SKIP() << kSanitizerBuild;
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  useLogDirectory();
  const std::time_t before = std::time(nullptr);
  const int st = crash("thread-overflow");
  ASSERT_TRUE(WIFSIGNALED(st)) << "status " << st;
  EXPECT_EQ(WTERMSIG(st), SIGSEGV);
  DumpReader r;
  expectOneDump("C0000005", before, r);
  if (HasFatalFailure()) return;
  EXPECT_NE(r.header().threadId, static_cast<std::uint32_t>(pid_)) << "the thread that overflowed";
  ASSERT_TRUE(r.exception().has_value());
  EXPECT_EQ(r.exception()->record.threadId, r.header().threadId);
}

// Without "Log file directory" the dump goes to "crash-dumps" beside the
// registry file (here the test's own folder), which the handler makes.
TEST_F(CrashHandlerEndToEnd, WithoutALogDirectoryTheDumpGoesBesideTheRegistry) {
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  const std::time_t before = std::time(nullptr);
  const int st = crash("abort");  // a signal the handler takes in every build
  ASSERT_TRUE(WIFSIGNALED(st)) << "status " << st;
  const std::string dumps = dir_.path() + "/crash-dumps";
  ASSERT_TRUE(fs::is_directory(dumps));
  EXPECT_EQ(fs::status(dumps).permissions() & fs::perms::all, fs::perms::owner_all);
  DumpReader r;
  expectOneDump("40000015", before, r, dumps);
  EXPECT_TRUE(fs::is_empty(log_));
  EXPECT_EQ(filesIn(bin_), (std::vector<std::string>{"KelDriver", "QvMiniDump"}))
      << "nothing in the program's folder";
}

// Each dump holds the process's memory: after a dump only the newest three
// of the folder are left; other files stay.
TEST_F(CrashHandlerEndToEnd, OnlyTheNewestDumpsAreKept) {
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  useLogDirectory();
  const std::vector<std::string> old = {"KelDriver20250101000000C0000005-11.dmp",
                                        "KelDriver20250102000000C0000005-12.dmp",
                                        "KelDriver20250103000000C0000005-13.dmp"};
  auto when = fs::file_time_type::clock::now() - std::chrono::hours(24 * 30);
  for (const auto& name : old) {
    std::ofstream(log_ + "/" + name) << "an older dump";
    fs::last_write_time(log_ + "/" + name, when += std::chrono::seconds(1));
  }
  std::ofstream(log_ + "/notes.txt") << "kept";
  const int st = crash("abort");  // a signal the handler takes in every build
  ASSERT_TRUE(WIFSIGNALED(st));
  const auto files = filesIn(log_);
  ASSERT_EQ(files.size(), 4u);
  EXPECT_EQ(files[0], old[1]);
  EXPECT_EQ(files[1], old[2]);
  EXPECT_EQ(files[2].rfind("KelDriver2", 0), 0u) << "the new dump";
  EXPECT_EQ(files[3], "notes.txt");
}

// Three processes that crash together (in the same second, with the same
// code) keep a dump each.
TEST_F(CrashHandlerEndToEnd, ProcessesCrashingTogetherKeepADumpEach) {
  if (kSanitizerTakesSegv) GTEST_SKIP() << kSanitizerBuild;
  if (ptraceDenied()) GTEST_SKIP() << "ptrace is not permitted on this machine";
  useLogDirectory();
  const std::time_t before = std::time(nullptr);
  std::vector<minidump_test::Child> children;
  for (int i = 0; i < 3; ++i) {
    children.push_back(minidump_test::spawnChild({child_, KEL_INTERFACE_PATH, "wait-segv"}));
    ASSERT_EQ(minidump_test::readLine(children.back()), "ready");
  }
  std::set<std::uint32_t> crashed;
  for (const auto& c : children) crashed.insert(static_cast<std::uint32_t>(c.pid));
  for (auto& c : children) ASSERT_EQ(write(c.in, "x", 1), 1);
  for (auto& c : children) EXPECT_TRUE(WIFSIGNALED(minidump_test::finishChild(c)));
  minidump_test::reapAllChildren();
  const auto files = filesIn(log_);
  ASSERT_EQ(files.size(), 3u);
  std::set<std::uint32_t> dumped;
  for (const auto& f : files) {
    DumpReader r;
    const pid_t pid = static_cast<pid_t>(std::stoul(f.substr(f.rfind('-') + 1)));
    expectDump(log_ + "/" + f, "C0000005", before, pid, r);
    dumped.insert(r.header().processId);
  }
  EXPECT_EQ(dumped, crashed);
}

TEST_F(CrashHandlerEndToEnd, AForkedChildThatCrashesDiesWithoutADump) {
  if (kSanitizerTakesSegv) GTEST_SKIP() << kSanitizerBuild;
  useLogDirectory();
  const int st = crash("fork");
  ASSERT_TRUE(WIFEXITED(st)) << "status " << st;
  EXPECT_EQ(WEXITSTATUS(st), 0) << "the child died by SIGSEGV and the parent lived on";
  EXPECT_TRUE(fs::is_empty(log_)) << "the parent was not dumped for its child's crash";
}

TEST_F(CrashHandlerEndToEnd, ANumberAsLogDirectoryStopsTheProgramWith17) {
  const DWORD number = 7;
  setLogDirectory(REG_DWORD, &number, sizeof number);
  // Here the program returns from main. In address-sanitizer builds the leak
  // checker's thread tracer then faults in this process ("Tracer caught
  // signal 11") and turns the status into 1; the run goes without it.
  const char* old_options = std::getenv("ASAN_OPTIONS");
  const std::string saved = old_options ? old_options : "";
  if (kSanitizerTakesSegv) setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
  const int st = crash("segv");
  if (kSanitizerTakesSegv) {
    if (old_options) setenv("ASAN_OPTIONS", saved.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
  }
  ASSERT_TRUE(WIFEXITED(st)) << "no crash: the program stopped at the handler's result";
  EXPECT_EQ(WEXITSTATUS(st), 17);
  EXPECT_TRUE(fs::is_empty(log_));
}

#else

TEST(CrashHandlerEndToEnd, NeedsTheInterfaceLibrary) {
  GTEST_SKIP() << "the interface library is not part of this build";
}

#endif

}  // namespace
