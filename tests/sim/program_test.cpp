// The kelsim-host program: creates a cartridge, serves it, logs requests,
// stops on SIGTERM and serves the same cartridge again after a restart.
#include "sim_support.h"
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

class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char*> argv;
      std::string prog = KELSIM_HOST_PROGRAM;
      argv.push_back(prog.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(prog.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~Program() {
    if (pid_ > 0) stop();
    if (out_) std::fclose(out_);
  }
  // The next line of its standard output (blocks until it comes).
  std::string line() {
    char buf[512];
    if (!out_ || !std::fgets(buf, sizeof(buf), out_)) return {};
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  int stop(int signal = SIGTERM) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::FILE* out_ = nullptr;
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
    kelsim::ScsiCall call;
    call.cookie = 0x2A;
    call.cdb = cdb12({0xA6, 0, 0, 0, 0x03, 0, 0, 0, 3});
    kelsim::RawAnswer a;
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.sense_length, 0);
    call.cdb = cdb12({0x04, 0x11});
    call.data_out = Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.sense_length, 0);
    call.cdb = rw10(0x2A, 0, 1);
    call.data_out = Bytes(2048, 0x77);
    ASSERT_EQ(c.call(call, &a), ERROR_SUCCESS);
    EXPECT_EQ(a.sense_length, 0);
    // One log line per request.
    EXPECT_NE(p.line().find("CDB=A6"), std::string::npos);
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
}

}  // namespace
}  // namespace simtest
