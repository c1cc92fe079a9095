#include "qvminidump/tool.h"

#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using minidump_test::TempDir;
using qvminidump::Options;

struct OptionCase {
  std::vector<std::string> args;
  DWORD result;
  std::uint32_t pid = 0, tid = 0;
  std::uint64_t e = 0;
  std::string file = {};
};

TEST(QvMiniDumpOptions, Table) {
  const OptionCase cases[] = {
      {{"-p", "1A", "-t", "2b", "-f", "d.dmp"}, 0, 0x1A, 0x2B, 0, "d.dmp"},
      {{"-P", "1a", "-T", "2B", "-E", "0X10", "-F", "d.dmp"}, 0, 0x1A, 0x2B, 0x10, "d.dmp"},
      {{"-f", "/x y/d.dmp", "-e", "00007ffd12345678", "-t", "1", "-p", "2"}, 0, 2, 1, 0x7FFD12345678ull, "/x y/d.dmp"},
      {{"-p", "FFFFFFFF", "-t", "0", "-e", "0xFFFFFFFFFFFFFFFF", "-f", "a"}, 0, 0xFFFFFFFFu, 0, ~0ull, "a"},
      {{"-p", "1", "-t", "2", "-e", "0", "-f", "a"}, 0, 1, 2, 0, "a"},
      {{"-p", "1", "-p", "3", "-t", "2", "-f", "a"}, 0, 3, 2, 0, "a"},  // the last one counts
      // Refused before anything is opened.
      {{"-x", "1", "-p", "1", "-t", "2", "-f", "a"}, 87},
      {{"-p", "1", "-t", "2", "-f", "a", "-x", "1"}, 87},
      {{"--p", "1", "-t", "2", "-f", "a"}, 87},
      {{"p", "1", "-t", "2", "-f", "a"}, 87},
      {{"-p", "12G", "-t", "2", "-f", "a"}, 87},
      {{"-p", "0x10", "-t", "2", "-f", "a"}, 87},        // "0x" only for -e
      {{"-p", "", "-t", "2", "-f", "a"}, 87},
      {{"-p", "100000000", "-t", "2", "-f", "a"}, 87},   // more than 32 bits
      {{"-p", "1", "-t", "2", "-e", "0x", "-f", "a"}, 87},
      {{"-p", "1", "-t", "2", "-e", "10000000000000000", "-f", "a"}, 87},
      {{"-p", "1", "-t", "2", "-e", "-1", "-f", "a"}, 87},
      {{"-p", "1", "-t", "2", "-f", ""}, 87},
      {{"-p", "1", "-t", "2", "-f"}, 87},                // an option without its value
      {{"-t", "2", "-f", "a"}, 87},                      // no process
      {{"-p", "1", "-f", "a"}, 87},                      // no thread
      {{"-p", "1", "-t", "2"}, 87},                      // no file
      {{}, 87},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Options o;
    ASSERT_EQ(qvminidump::ParseOptions(c.args, &o), c.result);
    if (c.result != 0) continue;
    EXPECT_EQ(o.processId, c.pid);
    EXPECT_EQ(o.threadId, c.tid);
    EXPECT_EQ(o.exceptionPointers, c.e);
    EXPECT_EQ(o.file, c.file);
  }
}

TEST(QvMiniDumpOptions, ExitStatusKeepsEightBits) {
  EXPECT_EQ(qvminidump::ExitStatusFor(0), 0);
  EXPECT_EQ(qvminidump::ExitStatusFor(87), 87);
  EXPECT_EQ(qvminidump::ExitStatusFor(254), 254);
  EXPECT_EQ(qvminidump::ExitStatusFor(255), 255);
  EXPECT_EQ(qvminidump::ExitStatusFor(998), 255);
  EXPECT_EQ(qvminidump::ExitStatusFor(0x100), 255) << "not 0, which would read as success";
  EXPECT_EQ(qvminidump::ExitStatusFor(0xFFFFFFFFu), 255);
}

// The program itself: a bad option ends it with 87 before the file is made,
// even when everything else would let it write a dump.
TEST(QvMiniDumpProgram, BadOptionsCreateNoFile) {
  TempDir dir;
  const std::string file = dir.path() + "/a.dmp";
  const std::string self = [] { char b[16]; snprintf(b, sizeof b, "%X", getpid()); return std::string(b); }();
  const std::vector<std::vector<std::string>> bad = {
      {"-p", self, "-t", self, "-f", file, "-x", "1"},
      {"-p", self, "-t", self, "-e", "0xZZ", "-f", file},
      {"-p", self, "-t", self, "-f", file, "-p"},
  };
  for (const auto& args : bad) {
    std::vector<std::string> argv{KEL_QVMINIDUMP_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const int st = minidump_test::runProgram(argv);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 87);
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(QvMiniDumpProgram, MissingProcessFailsWithoutAFile) {
  TempDir dir;
  const std::string file = dir.path() + "/a.dmp";
  // Above any pid the kernel hands out (pid_max is at most 2^22).
  EXPECT_EQ(qvminidump::RunTool({"-p", "7FFFFFF0", "-t", "1", "-f", file}), 87u);
  EXPECT_EQ(qvminidump::RunTool({"-p", "0", "-t", "1", "-f", file}), 87u);
  const int st = minidump_test::runProgram({KEL_QVMINIDUMP_PATH, "-p", "7FFFFFF0", "-t", "1", "-f", file});
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 87);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(QvMiniDumpProgram, AThreadIdIsNotAProcess) {
  TempDir dir;
  // A live thread of this process: its id names no process.
  std::atomic<pid_t> worker{0};
  std::atomic<bool> stop{false};
  std::thread w([&] { worker = gettid(); while (!stop) std::this_thread::yield(); });
  while (worker == 0) std::this_thread::yield();
  char hex[16];
  snprintf(hex, sizeof hex, "%X", worker.load());
  EXPECT_EQ(qvminidump::RunTool({"-p", hex, "-t", hex, "-f", dir.path() + "/a.dmp"}), 87u);
  stop = true;
  w.join();
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
