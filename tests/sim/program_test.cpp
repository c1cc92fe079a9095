// The kelsim-host program: creates a cartridge, serves it, logs requests,
// stops on SIGTERM and serves the same cartridge again after a restart.
#include "sim_support.h"
#include "support/child_program.h"
#include "support/test_dir.h"

#include "platform/process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace simtest {
namespace {

// The program with these arguments.
class Program : public kel_test::ChildProgram {
 public:
  explicit Program(const std::vector<std::string>& args) : ChildProgram(KELSIM_HOST_PROGRAM, args) {}
};

TEST(SimProgram, ServesAPersistentCartridgeUntilStopped) {
  const kel_test::ScopedTempDir tmp("kelsim-prog-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string& dir = tmp.path();
  ::setenv("KEL_PIPE_DIR", (dir + "/pipes").c_str(), 1);
  const std::vector<std::string> args = {"--dir", dir + "/cart", "--medium-type", "F2", "--blocks", "0x10000",
                                         "--cookie", "2a", "--log"};
  {
    Program p(args);
    const std::string first = p.line();
    EXPECT_EQ(first, "kelsim-host: pipe " + dir + "/pipes/QuorvelAPIPipe");
    EXPECT_NE(p.line().find("/dev/sd2a"), std::string::npos);
    EXPECT_NE(p.line().find("medium type F2h, 11 slots, 65536 blocks"), std::string::npos);

    kelsim::RawClient c;
    ASSERT_EQ(c.connect(), ERROR_SUCCESS);
    const int readies = ready_through(c, 0x2A);
    ASSERT_GT(readies, 0);
    kelsim::ScsiCall call;
    call.cookie = 0x2A;
    call.cdb = cdb12({0xA6, 0, 0, 0, 0x03, 0, 0, 0, 3});
    kelsim::RawAnswer a;
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.sense_length, 0);
    const int loading = ready_through(c, 0x2A);
    ASSERT_GT(loading, 0);
    call.cdb = cdb12({0x04, 0x11});
    call.data_out = Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.sense_length, 0);
    call.cdb = rw10(0x2A, 0, 1);
    call.data_out = Bytes(2048, 0x77);
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.sense_length, 0);
    // One log line per request.
    for (int i = 0; i < readies; ++i) EXPECT_NE(p.line().find("CDB=00"), std::string::npos);
    EXPECT_NE(p.line().find("CDB=A6"), std::string::npos);
    for (int i = 0; i < loading; ++i) EXPECT_NE(p.line().find("CDB=00"), std::string::npos);
    EXPECT_NE(p.line().find("CDB=04"), std::string::npos);
    EXPECT_NE(p.line().find("CDB=2A"), std::string::npos);
    c.close();
    EXPECT_EQ(p.stop(), 0);
  }
  {
    Program p(args);
    ASSERT_FALSE(p.line().empty());
    p.line();
    EXPECT_NE(p.line().find("slot 3 loaded"), std::string::npos);
    kelsim::RawClient c;
    ASSERT_EQ(c.connect(), ERROR_SUCCESS);
    ASSERT_GT(ready_through(c, 0x2A), 0);
    kelsim::ScsiCall call;
    call.cookie = 0x2A;
    call.cdb = rw10(0x28, 0, 1);
    call.transfer_length = 2048;
    kelsim::RawAnswer a;
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.data, Bytes(2048, 0x77));
    c.close();
    EXPECT_EQ(p.stop(), 0);
  }
  ::unsetenv("KEL_PIPE_DIR");
}

// Two --dir: two drives in one service, each set up by the options after its
// --dir (those before the first apply to both), each with its own cookie and
// serial; a third cookie is no drive.
TEST(SimProgram, ServesSeveralDrivesByCookie) {
  const kel_test::ScopedTempDir tmp("kelsim-drives-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string& dir = tmp.path();
  ::setenv("KEL_PIPE_DIR", (dir + "/pipes").c_str(), 1);
  Program p({"--blocks", "0x10000", "--medium-type", "F2", "--dir", dir + "/a", "--cookie", "5", "--dir",
             dir + "/b", "--medium-type", "E1", "--slots", "4", "--serial", "SER-B"});
  EXPECT_EQ(p.line(), "kelsim-host: pipe " + dir + "/pipes/QuorvelAPIPipe");
  const std::string drive_a = p.line();
  EXPECT_NE(drive_a.find("medium cookie /dev/sd5, serial KSIM"), std::string::npos) << drive_a;
  EXPECT_NE(p.line().find(dir + "/a: medium type F2h, 11 slots, 65536 blocks"), std::string::npos);
  EXPECT_EQ(p.line(), "kelsim-host: drive TARN QMR-T300B, medium cookie /dev/sd6, serial SER-B");
  EXPECT_NE(p.line().find(dir + "/b: medium type E1h, 4 slots, 65536 blocks"), std::string::npos);

  kelsim::RawClient c;
  ASSERT_EQ(c.connect(), ERROR_SUCCESS);
  auto serial_of = [&](std::uint64_t cookie) {
    kelsim::ScsiCall call;
    call.cookie = cookie;
    call.cdb = cdb12({0x12, 1, 0x80, 0, 64});
    call.transfer_length = 64;
    kelsim::RawAnswer a;
    EXPECT_EQ(c.call(call, &a), ERROR_SUCCESS);
    if (a.status != 0) return "status " + std::to_string(a.status);
    return a.data.size() < 4 ? std::string() : std::string(a.data.begin() + 4, a.data.end());
  };
  const std::string serial_a = serial_of(5);
  EXPECT_EQ(drive_a.substr(drive_a.size() - serial_a.size()), serial_a) << "the serial the drive line names";
  EXPECT_EQ(serial_of(6), "SER-B");
  EXPECT_EQ(serial_of(7), "status " + std::to_string(kelsim::kStatusNoSuchDevice));
  c.close();
  EXPECT_EQ(p.stop(), 0);
  ::unsetenv("KEL_PIPE_DIR");
}

// kill -9 in the middle of writing: the restarted program's disc reports the
// NWA the writes left, and refuses writes past it.
TEST(SimProgram, KilledProgramLeavesATruthfulDisc) {
  const kel_test::ScopedTempDir tmp("kelsim-kill-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string& dir = tmp.path();
  ::setenv("KEL_PIPE_DIR", (dir + "/pipes").c_str(), 1);
  const std::vector<std::string> args = {"--dir",       dir + "/cart", "--blocks", "0x10000",
                                         "--unique-id", "KILLTEST",    "--pow",    "300"};
  auto call = [](kelsim::RawClient& c, const Bytes& cdb, const Bytes& out, std::uint32_t in_len) {
    kelsim::ScsiCall s;
    s.cookie = 1;
    s.cdb = cdb;
    s.data_out = out;
    s.transfer_length = in_len;
    kelsim::RawAnswer a;
    EXPECT_EQ(c.call(s, &a), ERROR_SUCCESS);
    return a;
  };
  {
    Program p(args);
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(p.line().empty());
    kelsim::RawClient c;
    ASSERT_EQ(c.connect(), ERROR_SUCCESS);
    ASSERT_GT(ready_through(c, 1), 0);
    ASSERT_EQ(call(c, cdb12({0x04, 0x11}), Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0}, 0).sense_length, 0);
    for (std::uint32_t lba = 0; lba < 96; lba += 32)
      ASSERT_EQ(call(c, rw10(0x2A, lba, 32), Bytes(65536, 0), 0).sense_length, 0);  // zero blocks, as padding is
    c.close();
    EXPECT_EQ(p.stop(SIGKILL), -1);
  }
  {
    Program p(args);
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(p.line().empty());
    kelsim::RawClient c;
    ASSERT_EQ(c.connect(), ERROR_SUCCESS);
    ASSERT_GT(ready_through(c, 1), 0);
    auto t = call(c, cdb12({0x52, 1, 0, 0, 0, 1, 0, 0, 52}), {}, 52);
    ASSERT_EQ(t.data.size(), 52u);
    EXPECT_EQ(kelsim::get_be32(&t.data[12]), 96u);
    auto w = call(c, rw10(0x2A, 128, 32), Bytes(65536, 1), 0);
    ASSERT_EQ(w.sense.size(), 16u);
    EXPECT_EQ(w.sense[12], 0x21);
    auto id = call(c, cdb12({0x12, 1, 0xC1, 0, 18}), {}, 18);
    EXPECT_EQ(std::string(id.data.begin() + 4, id.data.end()), "KILLTEST    00");
    ASSERT_EQ(call(c, rw10(0x2A, 0, 32), Bytes(65536, 2), 0).sense_length, 0);  // a rewrite
    auto pow = call(c, cdb12({0x51, 2, 0, 0, 0, 0, 0, 0, 16}), {}, 16);
    ASSERT_EQ(pow.data.size(), 16u);
    EXPECT_EQ(kelsim::get_be32(&pow.data[8]), 299u);
    c.close();
    EXPECT_EQ(p.stop(), 0);
  }
  ::unsetenv("KEL_PIPE_DIR");
}

TEST(SimProgram, RefusesBadOptions) {
  DWORD code = 0;
  ASSERT_TRUE(platform::run_process(std::string(KELSIM_HOST_PROGRAM) + " --slots 0 --dir /tmp/x", &code));
  EXPECT_EQ(code, 2u);
  ASSERT_TRUE(platform::run_process(std::string(KELSIM_HOST_PROGRAM), &code));
  EXPECT_EQ(code, 2u);
  // Two drives may share neither a cookie (given, or counted on from the
  // previous drive's) nor a cartridge folder. (A pipe name that cannot be
  // served ends a program that took them with 1 instead of serving.)
  const kel_test::ScopedTempDir tmp("kelsim-bad-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string a = " --dir " + tmp.path() + "/a", b = " --dir " + tmp.path() + "/b";
  for (const std::string& args : {a + " --cookie 3" + b + " --cookie 3", a + " --cookie 4" + b + " --cookie 3 --dir " +
                                  tmp.path() + "/c", a + " --dir " + tmp.path() + "/b/../a"}) {
    ASSERT_TRUE(platform::run_process(std::string(KELSIM_HOST_PROGRAM) + args + " --pipe no/pipe", &code));
    EXPECT_EQ(code, 2u) << args;
  }
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "refused before any cartridge is made";
}

// The output of a command run through the shell, its standard error too.
std::string output_of(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  *status = ::pclose(p);
  return out;
}

// --help gives each option's default and the medium types the drive knows,
// on standard output, and ends with 0.
TEST(SimProgram, HelpGivesTheDefaultsAndTheMediumTypes) {
  int status = -1;
  const std::string out = output_of(std::string(KELSIM_HOST_PROGRAM) + " --help 2>/dev/null", &status);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  for (const char* text : {"(default E1)", "write-once E1 E3 E5 E7 F1 F2, rewritable 53 E2 E4 E6 E8",
                           "(default 11 for E5, F1 and F2,", "12 for the others)", "(default 0x800000,",
                           "16 GiB", "(default 4096 and 32)", "(default QMR-T300B)", "(default QuorvelAPIPipe)"})
    EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
}

// A medium type the drive does not know is refused by name, before any
// cartridge is made; a known one of each class is taken.
TEST(SimProgram, RefusesAnUnknownMediumType) {
  const kel_test::ScopedTempDir tmp("kelsim-type-");
  ASSERT_FALSE(tmp.path().empty());
  for (const char* type : {"E9", "E0", "00", "F3", "54", "1E1"}) {
    int status = -1;
    const std::string out = output_of(std::string(KELSIM_HOST_PROGRAM) + " --dir " + tmp.path() +
                                          "/c --medium-type " + type + " --pipe no/pipe",
                                      &status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << type << "\n" << out;
    EXPECT_NE(out.find(std::string("kelsim-host: unknown medium type ") + type + " (known: write-once"),
              std::string::npos)
        << out;
  }
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "refused before any cartridge is made";
  for (const char* type : {"E3", "53"}) {
    int status = -1;
    const std::string out = output_of(std::string(KELSIM_HOST_PROGRAM) + " --dir " + tmp.path() + "/" + type +
                                          " --medium-type " + type + " --blocks 0x100000 --pipe no/pipe",
                                      &status);
    // Taken: the program goes on to serve, and the pipe name ends it with 1.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << type << "\n" << out;
  }
}

// A disc too small for the engine's volume to report any room is served,
// with a warning at start; one just large enough is served without it.
TEST(SimProgram, WarnsOfDiscsTooSmallForAVolume) {
  const kel_test::ScopedTempDir tmp("kelsim-small-");
  ASSERT_FALSE(tmp.path().empty());
  struct Case {
    const char* options;
    bool warned;
  } cases[] = {
      {"--blocks 0x20000", true},
      {"--blocks 0x83100", true},
      {"--blocks 0x83200", false},
      {"--blocks 0x83200 --medium-type E2", false},
      {"--blocks 0x183400 --medium-type F1 --slots 2", true},
      {"--blocks 0x183600 --medium-type F1 --slots 2", false},
      {"--blocks 0x400000 --medium-type F2 --slots 1", true},
      {"--blocks 0x404000 --medium-type F2 --slots 1", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    int status = -1;
    const std::string out = output_of(std::string(KELSIM_HOST_PROGRAM) + " --dir " + tmp.path() + "/c" +
                                          std::to_string(++n) + " " + c.options + " --pipe no/pipe",
                                      &status);
    EXPECT_EQ(out.find("kelsim-host: warning: the discs of the cartridge in ") != std::string::npos, c.warned)
        << c.options << "\n" << out;
  }
}

// A cartridge is in one drive at a time: a second --dir naming a folder
// already served through a symbolic link is refused before anything is
// made, and a second program cannot serve a cartridge another serves (it
// ends with 1 without serving), until that one stops.
TEST(SimProgram, RefusesACartridgeServedAlready) {
  const kel_test::ScopedTempDir tmp("kelsim-once-");
  ASSERT_FALSE(tmp.path().empty());
  const std::string& dir = tmp.path();
  ::setenv("KEL_PIPE_DIR", (dir + "/pipes").c_str(), 1);
  std::filesystem::create_directory(dir + "/real");
  std::filesystem::create_directory_symlink(dir + "/real", dir + "/link");
  DWORD code = 0;
  ASSERT_TRUE(platform::run_process(std::string(KELSIM_HOST_PROGRAM) + " --dir " + dir + "/real --dir " + dir +
                                        "/link --pipe no/pipe",
                                    &code));
  EXPECT_EQ(code, 2u);
  EXPECT_TRUE(std::filesystem::is_empty(dir + "/real")) << "refused before any cartridge is made";

  Program first({"--dir", dir + "/real", "--blocks", "0x10000"});
  ASSERT_EQ(first.line(), "kelsim-host: pipe " + dir + "/pipes/QuorvelAPIPipe");
  for (const std::string& other : {dir + "/real", dir + "/link"}) {
    SCOPED_TRACE(other);
    Program second({"--dir", other, "--pipe", "SecondPipe"});
    EXPECT_EQ(second.line(), "") << "the second program serves nothing";
    EXPECT_EQ(second.stop(), 1);
  }
  EXPECT_EQ(first.stop(), 0);
  Program again({"--dir", dir + "/link", "--pipe", "SecondPipe"});
  EXPECT_EQ(again.line(), "kelsim-host: pipe " + dir + "/pipes/SecondPipe") << "served once the first stopped";
  EXPECT_EQ(again.stop(), 0);
  ::unsetenv("KEL_PIPE_DIR");
}

}  // namespace
}  // namespace simtest
