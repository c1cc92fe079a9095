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
#include <functional>
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


// A small dump built by hand, so that the reader's checks are met one by
// one without a live process: the strings, one thread, one region with its
// bytes, one module, one handle and the exception record.
class HandBuiltDump {
 public:
  HandBuiltDump() {
    using namespace qvminidump;
    bytes_.assign(sizeof(DumpHeader), '\0');
    const std::string strings("main\0/lib/x.so\0", 15);
    add(kStreamStrings, 0, strings.data(), strings.size());
    DumpThread t{};
    t.threadId = 7;
    t.registersSize = 8;
    t.state = 'S';
    add(kStreamThreads, 1, &t, sizeof t);
    const std::uint64_t data = bytes_.size();
    bytes_.append(16, 'm');
    DumpMemoryRegion r{0x1000, 0x2000, 0, 0, kProtRead, kNoString, data, 16};
    add(kStreamMemory, 1, &r, sizeof r);
    DumpModule m{0x1000, 0x1000, 9, 5, 0};
    add(kStreamModules, 1, &m, sizeof m);
    DumpHandle h{3, kNoString};
    add(kStreamHandles, 1, &h, sizeof h);
    DumpException e{};
    e.threadId = 7;
    e.record.magic = kel::crash::kCrashRecordMagic;
    e.record.version = kel::crash::kCrashRecordVersion;
    e.record.size = sizeof e.record;
    add(kStreamException, 1, &e, sizeof e);
    header_.directoryOffset = bytes_.size();
    for (const auto& d : dir_) bytes_.append(reinterpret_cast<const char*>(&d), sizeof d);
    std::memcpy(header_.magic, kDumpMagic, sizeof kDumpMagic);
    header_.version = kDumpVersion;
    header_.headerSize = sizeof header_;
    header_.dumpType = kDumpType;
    header_.streamCount = static_cast<std::uint32_t>(dir_.size());
    header_.flags = kHeaderHasException;
    std::memcpy(bytes_.data(), &header_, sizeof header_);
  }
  std::string bytes() const { return bytes_; }
  // Where directory entry `i` and the record of stream `type` lie.
  std::size_t entry(std::size_t i) const { return header_.directoryOffset + i * sizeof(qvminidump::DumpDirectoryEntry); }
  std::size_t stream(std::uint32_t type) const { return dir_[type - 1].offset; }

 private:
  void add(std::uint32_t type, std::uint32_t count, const void* p, std::size_t n) {
    dir_.push_back(qvminidump::DumpDirectoryEntry{type, count, bytes_.size(), n});
    bytes_.append(static_cast<const char*>(p), n);
  }
  std::string bytes_;
  qvminidump::DumpHeader header_{};
  std::vector<qvminidump::DumpDirectoryEntry> dir_;
};

template <class T>
void put(std::string& s, std::size_t at, T v) {
  std::memcpy(&s[at], &v, sizeof v);
}

TEST(DumpReaderChecks, EachDamageIsRefusedWithItsReason) {
  using namespace qvminidump;
  TempDir dir;
  const std::string file = dir.path() + "/hand.dmp";
  const HandBuiltDump d;
  const auto open = [&](const std::string& bytes, std::string* why) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    DumpReader r;
    const bool ok = r.open(file, why);
    return ok;
  };
  std::string why;
  ASSERT_TRUE(open(d.bytes(), &why)) << why;
  {
    DumpReader r;
    ASSERT_TRUE(r.open(file, &why));
    ASSERT_EQ(r.threads().size(), 1u);
    EXPECT_EQ(r.threads()[0].name, "main");
    ASSERT_EQ(r.regions().size(), 1u);
    EXPECT_EQ(r.regions()[0].dataSize, 16u);
    ASSERT_EQ(r.modules().size(), 1u);
    EXPECT_EQ(r.modules()[0].name, "/lib/x.so");
    ASSERT_EQ(r.handles().size(), 1u);
    EXPECT_TRUE(r.exception().has_value());
  }
  const std::size_t thread = d.stream(kStreamThreads), region = d.stream(kStreamMemory);
  const std::size_t crash = d.stream(kStreamException) + offsetof(DumpException, record);
  struct Case {
    const char* reason;
    std::function<void(std::string&)> damage;
  };
  const std::vector<Case> cases = {
      {"too short for a header", [](std::string& s) { s.resize(10); }},
      {"not a dump", [](std::string& s) { s[0] = 'X'; }},
      {"unknown version", [](std::string& s) { put<std::uint32_t>(s, offsetof(DumpHeader, version), 2); }},
      {"bad header size", [](std::string& s) { put<std::uint32_t>(s, offsetof(DumpHeader, headerSize), 60); }},
      {"bad stream count", [](std::string& s) { put<std::uint32_t>(s, offsetof(DumpHeader, streamCount), 65); }},
      {"directory outside the file",
       [](std::string& s) { put<std::uint64_t>(s, offsetof(DumpHeader, directoryOffset), s.size()); }},
      {"stream outside the file",
       [&](std::string& s) { put<std::uint64_t>(s, d.entry(1) + offsetof(DumpDirectoryEntry, size), s.size()); }},
      {"stream twice", [&](std::string& s) { put<std::uint32_t>(s, d.entry(1), kStreamStrings); }},
      {"stream 4 missing", [&](std::string& s) { put<std::uint32_t>(s, d.entry(3), 99); }},
      {"exception stream does not match the header",
       [](std::string& s) { put<std::uint32_t>(s, offsetof(DumpHeader, flags), 0); }},
      {"strings not terminated", [&](std::string& s) { s[d.stream(kStreamStrings) + 14] = 'x'; }},
      {"bad thread stream", [&](std::string& s) { put<std::uint32_t>(s, d.entry(1) + 4, 2); }},
      {"bad register size",
       [&](std::string& s) { put<std::uint32_t>(s, thread + offsetof(DumpThread, registersSize), 600); }},
      {"memory regions overlap or are out of order",
       [&](std::string& s) { put<std::uint64_t>(s, region + offsetof(DumpMemoryRegion, end), 0x1000); }},
      {"memory data outside the file",
       [&](std::string& s) { put<std::uint64_t>(s, region + offsetof(DumpMemoryRegion, dataSize), 0x1001); }},
      {"bad module stream", [&](std::string& s) { put<std::uint32_t>(s, d.entry(3) + 4, 0); }},
      {"bad handle stream", [&](std::string& s) { put<std::uint32_t>(s, d.entry(4) + 4, 3); }},
      {"bad exception stream", [&](std::string& s) { put<std::uint32_t>(s, d.entry(5) + 4, 2); }},
      {"bad crash record", [&](std::string& s) { put<std::uint32_t>(s, crash, 0); }},
      {"string offset outside the strings",
       [&](std::string& s) { put<std::uint32_t>(s, thread + offsetof(DumpThread, nameOffset), 15); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    std::string bytes = d.bytes();
    c.damage(bytes);
    why.clear();
    EXPECT_FALSE(open(bytes, &why));
    EXPECT_EQ(why, file + ": " + c.reason);
  }
}

}  // namespace
