// QvMiniDump against a live process: what the dump holds, and what a failed
// run leaves behind.
#include "qvminidump/dump_reader.h"
#include "qvminidump/tool.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using minidump_test::TempDir;
using qvminidump::DumpReader;

std::string hex(std::uint64_t v) {
  char b[32];
  std::snprintf(b, sizeof b, "%llX", static_cast<unsigned long long>(v));
  return b;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class DumpOfALiveProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    child_ = minidump_test::spawnChild({KEL_DUMP_TARGET_PATH});
    ASSERT_GT(child_.pid, 0);
    std::istringstream line(minidump_test::readLine(child_));
    line >> std::hex >> marker_ >> record_ >> tid1_ >> tid2_;
    ASSERT_NE(record_, 0u);
  }
  void TearDown() override {
    if (child_.pid > 0) {
      const int st = minidump_test::finishChild(child_);
      EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "the process goes on after the dump";
    }
  }
  // Runs the tool; skips the test where this machine does not permit ptrace.
  DWORD dump(const std::string& file, const std::string& e = "") {
    std::vector<std::string> args{"-p", hex(child_.pid), "-t", hex(tid2_), "-f", file};
    if (!e.empty()) args.insert(args.end(), {"-e", e});
    return qvminidump::RunTool(args);
  }
  bool ptraceDenied(DWORD rc) { return rc == ERROR_ACCESS_DENIED; }

  minidump_test::Child child_;
  std::uint64_t marker_ = 0, record_ = 0;
  std::uint32_t tid1_ = 0, tid2_ = 0;
  TempDir dir_;
};

#define SKIP_WITHOUT_PTRACE(rc) \
  if (ptraceDenied(rc)) GTEST_SKIP() << "ptrace is not permitted on this machine"

TEST_F(DumpOfALiveProcess, HoldsThreadsMemoryModulesHandlesAndTheCrashRecord) {
  const std::string file = dir_.path() + "/KelDriver.dmp";
  const auto before = static_cast<std::uint64_t>(std::time(nullptr));
  const DWORD rc = dump(file, "0x" + hex(record_));
  SKIP_WITHOUT_PTRACE(rc);
  ASSERT_EQ(rc, 0u);
  EXPECT_EQ(dir_.entries(), std::vector<std::string>{"KelDriver.dmp"});

  DumpReader r;
  std::string why;
  ASSERT_TRUE(r.open(file, &why)) << why;
  const auto& h = r.header();
  EXPECT_EQ(h.processId, static_cast<std::uint32_t>(child_.pid));
  EXPECT_EQ(h.threadId, tid2_);
  EXPECT_EQ(h.exceptionPointers, record_);
  EXPECT_EQ(h.dumpType, 0x1926u);
  EXPECT_GE(h.timeStamp, before);
  EXPECT_LE(h.timeStamp, static_cast<std::uint64_t>(std::time(nullptr)));

  // Threads: all three, the one of -t marked, each with registers that point
  // into executable memory and a stack.
  ASSERT_EQ(r.threads().size(), 3u);
  for (std::uint32_t id : {static_cast<std::uint32_t>(child_.pid), tid1_, tid2_}) {
    const auto* t = r.findThread(id);
    ASSERT_NE(t, nullptr) << id;
    EXPECT_EQ((t->flags & qvminidump::kThreadIsExceptionThread) != 0, id == tid2_);
    const auto pc = DumpReader::instructionPointer(t->machine, t->registers.data(),
                                                   static_cast<std::uint32_t>(t->registers.size()));
    const auto sp = DumpReader::stackPointer(t->machine, t->registers.data(),
                                             static_cast<std::uint32_t>(t->registers.size()));
    ASSERT_TRUE(pc && sp) << "registers of thread " << id;
    const auto* code = r.findRegion(*pc);
    ASSERT_NE(code, nullptr);
    EXPECT_TRUE(code->protection & qvminidump::kProtExec);
    const auto* stack = r.findRegion(*sp);
    ASSERT_NE(stack, nullptr);
    EXPECT_TRUE(stack->protection & qvminidump::kProtWrite);
    std::uint64_t word;
    EXPECT_TRUE(r.readMemory(*sp, &word, sizeof word)) << "the stack is in the dump";
  }

  // Memory: the marker on the heap, byte for byte.
  std::vector<char> marker(4096);
  ASSERT_TRUE(r.readMemory(marker_, marker.data(), marker.size()));
  static const char kMarker[] = "KEL-DUMP-MARKER-0123456789abcdef";
  for (std::size_t i = 0; i < marker.size(); ++i)
    ASSERT_EQ(marker[i], kMarker[i % (sizeof kMarker - 1)]) << i;
  bool stack = false;
  for (const auto& reg : r.regions()) stack |= reg.name == "[stack]" && reg.dataSize > 0;
  EXPECT_TRUE(stack);

  // Modules: the program and the C library.
  bool program = false, libc = false;
  for (const auto& m : r.modules()) {
    program |= fs::path(m.name).filename() == fs::path(KEL_DUMP_TARGET_PATH).filename();
    libc |= fs::path(m.name).filename().string().rfind("libc.so", 0) == 0;
    EXPECT_GT(m.size, 0u);
  }
  EXPECT_TRUE(program);
  EXPECT_TRUE(libc);

  // Handles: its standard input and output are our pipes.
  bool in = false, out = false;
  for (const auto& hd : r.handles()) {
    in |= hd.fd == 0 && hd.name.rfind("pipe:", 0) == 0;
    out |= hd.fd == 1 && hd.name.rfind("pipe:", 0) == 0;
  }
  EXPECT_TRUE(in && out);

  // The crash record, as the process holds it.
  ASSERT_TRUE(r.exception().has_value());
  const auto& ex = *r.exception();
  EXPECT_EQ(ex.threadId, tid2_);
  EXPECT_EQ(ex.address, record_);
  EXPECT_EQ(ex.record.exception.code, 0xC0000005u);
  EXPECT_EQ(ex.record.threadId, tid2_);
  EXPECT_EQ(ex.record.exception.information[1], 0x10u);
  kel::crash::CrashRecord inMemory;
  ASSERT_TRUE(r.readMemory(record_, &inMemory, sizeof inMemory));
  EXPECT_EQ(std::memcmp(&inMemory, &ex.record, sizeof inMemory), 0);
}

TEST_F(DumpOfALiveProcess, WithoutAnAddressThereIsNoExceptionRecord) {
  for (const std::string e : {"", "0", "0x0"}) {
    SCOPED_TRACE(e);
    const std::string file = dir_.path() + "/a.dmp";
    const DWORD rc = dump(file, e);
    SKIP_WITHOUT_PTRACE(rc);
    ASSERT_EQ(rc, 0u);
    DumpReader r;
    std::string why;
    ASSERT_TRUE(r.open(file, &why)) << why;
    EXPECT_FALSE(r.exception().has_value());
    EXPECT_EQ(r.header().flags & qvminidump::kHeaderHasException, 0u);
    EXPECT_EQ(r.header().exceptionPointers, 0u);
    fs::remove(file);  // a dump is never replaced
  }
}

// Two crashes given the same name must not leave one dump between them.
TEST_F(DumpOfALiveProcess, AnExistingFileIsNeverReplaced) {
  const std::string file = dir_.path() + "/a.dmp";
  const DWORD probe = dump(dir_.path() + "/probe.dmp");
  SKIP_WITHOUT_PTRACE(probe);
  ASSERT_EQ(probe, 0u);
  fs::remove(dir_.path() + "/probe.dmp");
  std::ofstream(file) << "an older dump";
  EXPECT_EQ(dump(file), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(slurp(file), "an older dump");
  EXPECT_EQ(dir_.entries(), std::vector<std::string>{"a.dmp"}) << "no partial file is left";
  const int st = minidump_test::runProgram({KEL_QVMINIDUMP_PATH, "-p", hex(child_.pid), "-t",
                                            hex(tid2_), "-f", file});
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), static_cast<int>(ERROR_FILE_EXISTS));
}

TEST_F(DumpOfALiveProcess, AFailedRunLeavesNoPartialFileAndKeepsTheOldOne) {
  const std::string file = dir_.path() + "/a.dmp";
  std::ofstream(file) << "an older dump";
  const DWORD probe = dump(dir_.path() + "/probe.dmp");
  SKIP_WITHOUT_PTRACE(probe);
  ASSERT_EQ(probe, 0u);
  fs::remove(dir_.path() + "/probe.dmp");
  fs::create_directory(dir_.path() + "/sub");

  struct Case { std::string file, e; DWORD want; };
  const Case cases[] = {
      {file, "0x10", ERROR_NOACCESS},                     // the record cannot be read
      {file, "0x" + hex(marker_), ERROR_INVALID_DATA},    // no crash record there
      {dir_.path() + "/missing/a.dmp", "", ERROR_PATH_NOT_FOUND},
      {dir_.path() + "/sub", "", ERROR_ACCESS_DENIED},    // a folder of that name
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " -e " + c.e);
    EXPECT_EQ(dump(c.file, c.e), c.want);
    EXPECT_EQ(slurp(file), "an older dump");
    EXPECT_EQ(dir_.entries(), (std::vector<std::string>{"a.dmp", "sub"}));
    EXPECT_TRUE(fs::is_empty(dir_.path() + "/sub"));
  }
  // The program reports a result above 255 as 255.
  const int st = minidump_test::runProgram({KEL_QVMINIDUMP_PATH, "-p", hex(child_.pid), "-t",
                                            hex(tid2_), "-e", "0x10", "-f", file});
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 255);
  EXPECT_EQ(slurp(file), "an older dump");
}

TEST_F(DumpOfALiveProcess, TheReaderRefusesDamagedFiles) {
  const std::string file = dir_.path() + "/a.dmp";
  const DWORD rc = dump(file, "0x" + hex(record_));
  SKIP_WITHOUT_PTRACE(rc);
  ASSERT_EQ(rc, 0u);
  const std::string good = slurp(file);
  qvminidump::DumpHeader h;
  std::memcpy(&h, good.data(), sizeof h);

  auto damaged = [&](const std::string& bytes) {
    const std::string bad = dir_.path() + "/bad.dmp";
    std::ofstream(bad, std::ios::binary | std::ios::trunc) << bytes;
    DumpReader r;
    std::string why;
    const bool ok = r.open(bad, &why);
    fs::remove(bad);
    return !ok && !why.empty();
  };
  EXPECT_TRUE(damaged(good.substr(0, good.size() / 2))) << "cut in half";
  EXPECT_TRUE(damaged(good.substr(0, 10))) << "no header";
  std::string s = good;
  s[0] = 'X';
  EXPECT_TRUE(damaged(s)) << "magic";
  s = good;
  const std::uint64_t far = good.size() + 100;
  std::memcpy(&s[offsetof(qvminidump::DumpHeader, directoryOffset)], &far, 8);
  EXPECT_TRUE(damaged(s)) << "directory past the end";
  s = good;
  const std::uint32_t noException = 0;
  std::memcpy(&s[offsetof(qvminidump::DumpHeader, flags)], &noException, 4);
  EXPECT_TRUE(damaged(s)) << "header and streams disagree";
  // A directory entry whose stream runs past the end.
  s = good;
  qvminidump::DumpDirectoryEntry e;
  std::memcpy(&e, &s[h.directoryOffset], sizeof e);
  e.size = good.size();
  std::memcpy(&s[h.directoryOffset], &e, sizeof e);
  EXPECT_TRUE(damaged(s)) << "stream past the end";
}

}  // namespace
