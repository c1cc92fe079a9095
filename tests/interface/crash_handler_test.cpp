#include "kel/crash_handler.h"
#include "kel/crash_record.h"

#include "platform/registry.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kel::crash::CommandParts;

TEST(CrashExceptionCode, TableOfSignals) {
  struct Case { int sig; int code; std::uint32_t want; };
  const Case cases[] = {
      {SIGSEGV, SEGV_MAPERR, 0xC0000005u}, {SIGSEGV, SEGV_ACCERR, 0xC0000005u},
      {SIGSEGV, SI_USER, 0xC0000005u},     {SIGBUS, BUS_ADRALN, 0x80000002u},
      {SIGBUS, BUS_ADRERR, 0xC0000006u},   {SIGBUS, BUS_OBJERR, 0xC0000006u},
      {SIGFPE, FPE_INTDIV, 0xC0000094u},   {SIGFPE, FPE_INTOVF, 0xC0000095u},
      {SIGFPE, FPE_FLTDIV, 0xC000008Eu},   {SIGFPE, FPE_FLTOVF, 0xC0000091u},
      {SIGFPE, FPE_FLTUND, 0xC0000093u},   {SIGFPE, FPE_FLTRES, 0xC000008Fu},
      {SIGFPE, FPE_FLTINV, 0xC0000090u},   {SIGFPE, FPE_FLTSUB, 0xC000008Cu},
      {SIGILL, ILL_ILLOPC, 0xC000001Du},   {SIGILL, ILL_PRVOPC, 0xC0000096u},
      {SIGILL, ILL_PRVREG, 0xC0000096u},   {SIGABRT, SI_TKILL, 0x40000015u},
  };
  for (const auto& c : cases)
    EXPECT_EQ(kel::crash::ExceptionCodeForSignal(c.sig, c.code), c.want)
        << "signal " << c.sig << " code " << c.code;
}

TEST(CrashCommandLine, TimeStampOfTheDumpName) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 8;
  t.tm_hour = 7;
  t.tm_min = 5;
  t.tm_sec = 9;
  char out[15];
  kel::crash::FormatTimeStamp(t, out);
  EXPECT_STREQ(out, "20261208070509");
}

std::vector<std::string> split(std::string line) {
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  char* argv[32];
  const int n = kel::crash::SplitCommandLine(buf.data(), argv, 32);
  if (n < 0) return {"<error>"};
  return std::vector<std::string>(argv, argv + n);
}

TEST(CrashCommandLine, TemplateWithLinuxPaths) {
  const CommandParts parts{"/opt/kel bin", "QvMiniDump", 0x1A2B, 0x1A2C, 0x7FFD12345678ull,
                           "/var/log/kel logs", "20261208070509", "C0000005"};
  char buf[512];
  const int n = kel::crash::FormatCommandLine(buf, sizeof buf, parts);
  const std::string want =
      "\"/opt/kel bin/QvMiniDump\" -p 1A2B -t 1A2C -e 0x00007FFD12345678 "
      "-f \"/var/log/kel logs/KelDriver20261208070509C0000005-6699.dmp\"";
  EXPECT_EQ(std::string(buf), want);
  EXPECT_EQ(n, static_cast<int>(want.size()));
  EXPECT_EQ(split(buf), (std::vector<std::string>{
                            "/opt/kel bin/QvMiniDump", "-p", "1A2B", "-t", "1A2C", "-e",
                            "0x00007FFD12345678", "-f",
                            "/var/log/kel logs/KelDriver20261208070509C0000005-6699.dmp"}));
}

TEST(CrashCommandLine, WithoutARecordTheNameSaysInvalidParameter) {
  const CommandParts parts{"/p", "QvMiniDump", 1, 2, 0, "/l", "20260101000000", "InvalidParameter"};
  char buf[256];
  ASSERT_GT(kel::crash::FormatCommandLine(buf, sizeof buf, parts), 0);
  const auto args = split(buf);
  ASSERT_EQ(args.size(), 9u);
  EXPECT_EQ(args[6], "0x0000000000000000");
  EXPECT_EQ(args[8], "/l/KelDriver20260101000000InvalidParameter-1.dmp");
}

TEST(CrashCommandLine, AwkwardPathsComeBackUnchanged) {
  const char* dirs[] = {"/a\"b", "/back\\slash", "/dollar$HOME", "/tick`x`", "/tab\there", "/x'y", ""};
  for (const char* dir : dirs) {
    SCOPED_TRACE(dir);
    const CommandParts parts{dir, "QvMiniDump", 0xFF, 0x100, 0x10, dir, "20260101000000", "C0000005"};
    char buf[512];
    ASSERT_GT(kel::crash::FormatCommandLine(buf, sizeof buf, parts), 0);
    const auto args = split(buf);
    ASSERT_EQ(args.size(), 9u);
    EXPECT_EQ(args[0], std::string(dir) + "/QvMiniDump");
    EXPECT_EQ(args[8], std::string(dir) + "/KelDriver20260101000000C0000005-255.dmp");
  }
}

// The process id ends the name, so that processes crashing in the same
// second with the same code get a dump each.
TEST(CrashCommandLine, TheDumpNameEndsWithTheProcessIdInDecimal) {
  const std::uint32_t pids[] = {1, 4321, 4322, 0xFFFFFFFFu};
  const char* const names[] = {"KelDriver20260101000000C0000005-1.dmp",
                               "KelDriver20260101000000C0000005-4321.dmp",
                               "KelDriver20260101000000C0000005-4322.dmp",
                               "KelDriver20260101000000C0000005-4294967295.dmp"};
  for (int i = 0; i < 4; ++i) {
    const CommandParts parts{"/p", "QvMiniDump", pids[i], 2, 3, "/l", "20260101000000", "C0000005"};
    char buf[256];
    ASSERT_GT(kel::crash::FormatCommandLine(buf, sizeof buf, parts), 0);
    EXPECT_EQ(split(buf).back(), std::string("/l/") + names[i]);
  }
}

TEST(CrashCommandLine, ALineThatDoesNotFitIsRefused) {
  const std::string longDir(600, 'd');
  const CommandParts parts{"/p", "QvMiniDump", 1, 2, 3, longDir.c_str(), "20260101000000", "C0000005"};
  char buf[512];
  EXPECT_EQ(kel::crash::FormatCommandLine(buf, sizeof buf, parts), -1);
  EXPECT_STREQ(buf, "");
}

TEST(CrashCommandLine, SplittingAsAShellDoes) {
  struct Case { const char* line; std::vector<std::string> want; };
  const Case cases[] = {
      {"a b  c", {"a", "b", "c"}},
      {"  \"x y\"z '", {"x yz", "'"}},
      {"a\\ b", {"a b"}},
      {"\"in \\\"q\\\" \\n\"", {"in \"q\" \\n"}},
      {"\"\"", {""}},
      {"", {}},
      {"\"open", {"<error>"}},
  };
  for (const auto& c : cases) EXPECT_EQ(split(c.line), c.want) << c.line;
  char line[] = "a b c d";
  char* argv[4];
  EXPECT_EQ(kel::crash::SplitCommandLine(line, argv, 4), -1) << "no room for the null pointer";
}

// A registry file of its own for each test.
class CrashRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel-crash-reg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* old = std::getenv("KEL_REGISTRY");
    if (old) saved_ = old, hadSaved_ = true;
    setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  }
  void TearDown() override {
    if (hadSaved_) setenv("KEL_REGISTRY", saved_.c_str(), 1);
    else unsetenv("KEL_REGISTRY");
    fs::remove_all(dir_);
  }
  void set(REGSAM view, const char* key, DWORD type, const void* data, DWORD size) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &k,
                              nullptr),
              0);
    if (data) {
      ASSERT_EQ(RegSetValueExA(k, "Log file directory", 0, type, static_cast<const BYTE*>(data), size), 0);
    }
    RegCloseKey(k);
  }
  void setString(REGSAM view, const char* s) {
    set(view, "Software\\Quorvel\\Stravo", REG_SZ, s, static_cast<DWORD>(std::strlen(s) + 1));
  }
  std::string dir_;
  std::string saved_;
  bool hadSaved_ = false;
};

TEST_F(CrashRegistry, MissingKeyOrValueLeavesTheDirectoryEmpty) {
  std::string d = "stale";
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), 0u);
  EXPECT_EQ(d, "");
  set(KEY_WOW64_64KEY, "Software\\Quorvel\\Stravo", REG_SZ, nullptr, 0);  // key without the value
  d = "stale";
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), 0u);
  EXPECT_EQ(d, "");
}

TEST_F(CrashRegistry, StringValueOfEitherView) {
  setString(KEY_WOW64_32KEY, "/var/log/kel 32");
  std::string d;
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), 0u);
  EXPECT_EQ(d, "/var/log/kel 32") << "the 32-bit view when the 64-bit key is missing";
  setString(KEY_WOW64_64KEY, "/var/log/kel");
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), 0u);
  EXPECT_EQ(d, "/var/log/kel") << "the 64-bit view first";
}

TEST_F(CrashRegistry, ANumberGives17AndNothingIsInstalled) {
  const DWORD number = 42;
  set(KEY_WOW64_64KEY, "Software\\Quorvel\\Stravo", REG_DWORD, &number, sizeof number);
  std::string d;
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), 17u);
  struct sigaction before;
  sigaction(SIGSEGV, nullptr, &before);
  EXPECT_EQ(SetExceptionHandler(), 17u);
  struct sigaction after;
  sigaction(SIGSEGV, nullptr, &after);
  EXPECT_EQ(after.sa_sigaction, before.sa_sigaction) << "the handler must not be installed";
  const BYTE blob[] = {1, 2};
  set(KEY_WOW64_64KEY, "Software\\Quorvel\\Stravo", REG_BINARY, blob, sizeof blob);
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), 17u);
}

TEST_F(CrashRegistry, ADamagedRegistryIsReportedNotIgnored) {
  std::ofstream(dir_ + "/registry.reg") << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\n";
  std::string d;
  EXPECT_EQ(kel::crash::ReadLogDirectory(&d), static_cast<DWORD>(ERROR_REGISTRY_CORRUPT));
}

// Environment variables set for one test and put back after it.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
  }
  void set(const char* name, const char* value) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Without "Log file directory" the dumps go beside the engine's registry,
// never into the root or the working directory.
TEST(CrashDumpDirectory, DefaultIsBesideTheRegistryFile) {
  struct Case {
    const char* registry;
    const char* xdg;
    const char* home;
    std::string want;
  };
  const Case cases[] = {
      {"/tmp/kel run/engine-registry.reg", "/x", "/h", "/tmp/kel run/crash-dumps"},
      {nullptr, "/xdg", "/h", "/xdg/kel/crash-dumps"},
      {nullptr, nullptr, "/home/u", "/home/u/.config/kel/crash-dumps"},
      {"/registry.reg", nullptr, nullptr, "/crash-dumps"},
      {nullptr, nullptr, nullptr, ""},             // the registry is in the working directory
      {"kel/registry.reg", "/xdg", "/h", ""},      // a relative registry path
      {"registry.reg", nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.registry ? c.registry : "(no KEL_REGISTRY)");
    ScopedEnvironment env;
    env.set("KEL_REGISTRY", c.registry);
    env.set("XDG_CONFIG_HOME", c.xdg);
    env.set("HOME", c.home);
    EXPECT_EQ(kel::crash::DefaultDumpDirectory(), c.want);
  }
}

// A folder with files whose times of change are set one second apart.
class CrashDumpPruning : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }
  // Files in order from oldest to newest.
  void make(const std::vector<std::string>& names) {
    long long t = 1700000000;
    for (const auto& n : names) {
      std::ofstream(dir_ + "/" + n) << n;
      const timespec times[2] = {{t, 0}, {t, 0}};
      ASSERT_EQ(utimensat(AT_FDCWD, (dir_ + "/" + n).c_str(), times, 0), 0);
      ++t;
    }
  }
  std::vector<std::string> left() const {
    std::vector<std::string> v;
    for (const auto& e : fs::directory_iterator(dir_)) v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
  }
  kel_test::ScopedTempDir temp_{"kel-crash-prune-"};
  const std::string dir_ = temp_.path();
};

TEST_F(CrashDumpPruning, TheOldestDumpsGoFirstAndOtherFilesStay) {
  // Names sort otherwise than times: the time of change decides.
  make({"KelDriver20260105000000C0000005-9.dmp", "notes.txt", "KelDriver20260101000000C0000005-1.dmp",
        "KelDriver20260104000000C0000005-3.dmp", ".KelDriver20260106000000C0000005-4.dmp.Ab12Cd",
        "KelDriver20260102000000C0000005-2.dmp", "KelDriver.dmp.old"});
  fs::create_directory(dir_ + "/KelDriver-folder.dmp");
  kel::crash::PruneDumps(dir_.c_str(), 2);
  EXPECT_EQ(left(), (std::vector<std::string>{".KelDriver20260106000000C0000005-4.dmp.Ab12Cd",
                                             "KelDriver-folder.dmp", "KelDriver.dmp.old",
                                             "KelDriver20260102000000C0000005-2.dmp",
                                             "KelDriver20260104000000C0000005-3.dmp", "notes.txt"}));
}

TEST_F(CrashDumpPruning, NothingGoesWhileAtMostTheLimitAreThere) {
  make({"KelDriver1.dmp", "KelDriver2.dmp", "KelDriver3.dmp"});
  kel::crash::PruneDumps(dir_.c_str(), kel::crash::kDumpsKept);
  EXPECT_EQ(left().size(), 3u);
  kel::crash::PruneDumps((dir_ + "/missing").c_str(), 0);  // no folder: nothing to do
  kel::crash::PruneDumps(dir_.c_str(), 0);
  EXPECT_TRUE(left().empty());
}

TEST(CrashDumpName, OnlyTheHandlersNames) {
  EXPECT_TRUE(kel::crash::IsDumpName("KelDriver20260101000000C0000005-1.dmp"));
  EXPECT_TRUE(kel::crash::IsDumpName("KelDriver1.dmp"));
  for (const char* n :
       {"KelDriver.dmp", "kelDriver1.dmp", "KelDriver1.dmp.tmp", ".KelDriver1.dmp.X", "core.dmp", ""})
    EXPECT_FALSE(kel::crash::IsDumpName(n)) << n;
}

}  // namespace
