// The host library's fragment exchange: copying bytes into and out of another
// process's memory (a child started here), and the Archive and Restore
// request/answer sequence against a recording stand-in for the engine.
#include "sim/engine_process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace kelsim {

// The route by its name, as test names, listings and failures print it.
void PrintTo(MemoryRoute route, std::ostream* os) {
  *os << (route == MemoryRoute::Any ? "Any" : route == MemoryRoute::VmCalls ? "VmCalls" : "ProcMem");
}

}  // namespace kelsim

namespace {

using kelsim::MemoryRoute;

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 13 + seed * 71 + i / 509) & 0xFF);
  return s;
}

// A child holding a copy of `content` at the same address as here; on a
// byte from the parent it sends its copy back.
class Child {
 public:
  explicit Child(const std::string& content) : buffer_(content) {
    if (::pipe(go_) != 0 || ::pipe(back_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      char c;
      if (::read(go_[0], &c, 1) == 1) {
        std::size_t done = 0;
        while (done < buffer_.size()) {
          const ssize_t n = ::write(back_[1], buffer_.data() + done, buffer_.size() - done);
          if (n <= 0) ::_exit(1);
          done += static_cast<std::size_t>(n);
        }
      }
      ::_exit(0);
    }
    ::close(go_[0]);
    ::close(back_[1]);
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      ::close(go_[1]);
      ::close(back_[0]);
    }
  }
  pid_t pid() const { return pid_; }
  std::uint64_t address() const { return reinterpret_cast<std::uintptr_t>(buffer_.data()); }
  // The child's copy as it is now.
  std::string contents() {
    if (::write(go_[1], "x", 1) != 1) return "";
    std::string got(buffer_.size(), '\0');
    std::size_t done = 0;
    while (done < got.size()) {
      const ssize_t n = ::read(back_[0], got.data() + done, got.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return got.substr(0, done);
  }

 private:
  std::string buffer_;
  int go_[2] = {-1, -1}, back_[2] = {-1, -1};
  pid_t pid_ = -1;
};

class MemoryRoutes : public ::testing::TestWithParam<MemoryRoute> {};

// Each route, and the default (first route, then the other), reads the
// child's bytes and writes new ones that the child then holds; when a
// route is refused the failure names why.
TEST_P(MemoryRoutes, CopyIntoAndOutOfAChild) {
  const std::string before = pattern(200000, 1), after = pattern(200000, 2);
  Child child(before);
  ASSERT_GT(child.pid(), 0);
  std::string got(before.size(), '\0'), error;
  ASSERT_TRUE(kelsim::read_process_memory(child.pid(), child.address(), got.data(), got.size(), &error, GetParam()))
      << error;
  EXPECT_EQ(got, before);
  // A piece in the middle, then the rest.
  ASSERT_TRUE(kelsim::write_process_memory(child.pid(), child.address() + 1000, after.data() + 1000, 5000, &error,
                                           GetParam()))
      << error;
  ASSERT_TRUE(kelsim::write_process_memory(child.pid(), child.address(), after.data(), 1000, &error, GetParam()))
      << error;
  ASSERT_TRUE(kelsim::write_process_memory(child.pid(), child.address() + 6000, after.data() + 6000,
                                           after.size() - 6000, &error, GetParam()))
      << error;
  EXPECT_TRUE(child.contents() == after);
}

INSTANTIATE_TEST_SUITE_P(Routes, MemoryRoutes,
                         ::testing::Values(MemoryRoute::Any, MemoryRoute::VmCalls, MemoryRoute::ProcMem),
                         ::testing::PrintToStringParamName());

TEST(ProcessMemory, AnUnmappedAddressFailsNamingBothRoutes) {
  Child child("abc");
  ASSERT_GT(child.pid(), 0);
  std::string error;
  char data[16] = {};
  EXPECT_FALSE(kelsim::write_process_memory(child.pid(), 0x1000, data, sizeof data, &error));
  EXPECT_NE(error.find("process_vm_writev"), std::string::npos) << error;
  EXPECT_NE(error.find("/proc/" + std::to_string(child.pid()) + "/mem"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(kelsim::read_process_memory(child.pid(), 0x1000, data, sizeof data, &error));
  EXPECT_NE(error.find("process_vm_readv"), std::string::npos) << error;
}

TEST(ProcessMemory, AnAddressRangeBeyondTheAddressSpaceIsRefusedUntried) {
  Child child("abc");
  ASSERT_GT(child.pid(), 0);
  char data[16] = {};
  for (std::uint64_t address : {std::uint64_t{0}, ~std::uint64_t{0} - 4, std::uint64_t{0x7FFFFFFFFFFFFFF8}}) {
    std::string error;
    EXPECT_FALSE(kelsim::write_process_memory(child.pid(), address, data, sizeof data, &error));
    EXPECT_NE(error.find("out of range"), std::string::npos) << address << ": " << error;
  }
}

// ---------------------------------------------------------------- exchange

class FragmentExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel-fragment-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    transcript_ = dir_ + "/transcript";
    store_ = dir_ + "/store";
    write_file(store_, "");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<kelsim::EngineProcess> start(const std::string& buffer = "mapped") {
    kelsim::EngineProcessOptions o;
    o.program = KEL_FAKE_FRAGMENT_ENGINE;
    o.use_default_arguments = false;
    o.arguments = {transcript_, store_, buffer};
    auto p = std::make_unique<kelsim::EngineProcess>(kelsim::EngineHost{dir_, "/dev/sd1"}, o);
    EXPECT_TRUE(p->started()) << p->error();
    return p;
  }
  static void write_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  }
  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The transcript's lines as "Opcode" or "Opcode N" (N: IOSize,
  // BytesToWrite, ErrorCode or FragmentOffset/Length).
  std::vector<std::string> sequence() {
    std::vector<std::string> out;
    std::istringstream in(read_file(transcript_));
    for (std::string line; std::getline(in, line);) {
      auto attr = [&](const std::string& key) {
        const auto at = line.find(" " + key + "=\"");
        if (at == std::string::npos) return std::string();
        const auto from = at + key.size() + 3;
        return " " + line.substr(from, line.find('"', from) - from);
      };
      std::string op = attr("Opcode").substr(1);
      op += attr("IOSize") + attr("BytesToWrite") + attr("ErrorCode") + attr("FragmentOffset") + attr("Length");
      out.push_back(op);
    }
    return out;
  }

  std::string dir_, transcript_, store_;
};

TEST_F(FragmentExchange, ArchiveFillsTheBufferPieceByPieceAndRestoreTakesItBack) {
  const std::string data = pattern(10000, 3);
  write_file(dir_ + "/local", data);
  auto engine = start();
  kelsim::ArchiveRequest a;
  a.name = "/demo/caf\xC3\xA9 & co";
  a.io_size = 4096;
  std::vector<std::uint64_t> progress;
  a.progress = [&](std::uint64_t n) { progress.push_back(n); };
  const auto r = engine->archive(5, dir_ + "/local", a);
  EXPECT_TRUE(r.ok) << r.error << "\n" << engine->describe();
  EXPECT_EQ(r.bytes, data.size());
  EXPECT_EQ(r.block, 777u);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{4096, 8192, 10000, 10000}));
  ASSERT_NE(r.last(), nullptr);
  EXPECT_EQ(r.last()->name, "KelArchive");

  kelsim::RestoreRequest q;
  q.name = a.name;
  q.io_size = 3000;
  const auto back = engine->restore(6, q, dir_ + "/back");
  EXPECT_TRUE(back.ok) << back.error << "\n" << engine->describe();
  EXPECT_EQ(back.file_size, data.size());
  EXPECT_EQ(engine->wait_exit(), 0);
  EXPECT_TRUE(read_file(store_) == data);
  EXPECT_TRUE(read_file(dir_ + "/back") == data);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"Archive", "OpenFragmentFileCallback 4096", "WriteCallback 4096",
                                                  "WriteCallback 4096", "WriteCallback 1808", "WriteCallback 0",
                                                  "Restore 0 0", "OpenFragmentFileCallback 3000", "ReadCallback",
                                                  "ReadCallback", "ReadCallback", "ReadCallback"}));
  // The name travels escaped in the "File" child.
  EXPECT_NE(read_file(transcript_).find("<File Name=\"/demo/caf&amp;#233; &amp;amp; co\" Fragment=\"0\""),
            std::string::npos)
      << read_file(transcript_);
}

// The engine sends whole pieces from FragmentOffset; the host keeps the
// asked range only.
TEST_F(FragmentExchange, RestoreKeepsTheAskedRange) {
  const std::string data = pattern(9000, 4);
  struct Case {
    std::uint64_t offset, length;
    std::string expect;
  } cases[] = {{0, 0, data}, {100, 50, data.substr(100, 50)}, {5000, 0, data.substr(5000)},
               {8990, 100, data.substr(8990)}, {9000, 0, ""}, {0, 9000, data}};
  for (const auto& c : cases) {
    write_file(store_, data);
    auto engine = start();
    kelsim::RestoreRequest q;
    q.name = "/f";
    q.offset = c.offset;
    q.length = c.length;
    q.io_size = 4096;
    const auto r = engine->restore(1, q, dir_ + "/back");
    EXPECT_TRUE(r.ok) << c.offset << "+" << c.length << ": " << r.error;
    EXPECT_EQ(r.bytes, c.expect.size()) << c.offset << "+" << c.length;
    EXPECT_TRUE(read_file(dir_ + "/back") == c.expect) << c.offset << "+" << c.length;
    EXPECT_EQ(engine->wait_exit(), 0);
  }
}

TEST_F(FragmentExchange, AnEmptyFileIsOneWriteCallbackOfNothing) {
  write_file(dir_ + "/empty", "");
  auto engine = start();
  kelsim::ArchiveRequest a;
  a.name = "/empty";
  const auto r = engine->archive(1, dir_ + "/empty", a);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(engine->wait_exit(), 0);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"Archive", "OpenFragmentFileCallback 1048576", "WriteCallback 0"}));
}

// A buffer the host cannot reach ends the exchange with "FailureCallback"
// and the cause; the engine then serves the next request.
TEST_F(FragmentExchange, AnUnreachableBufferEndsTheArchiveWithFailureCallback) {
  write_file(dir_ + "/local", pattern(100, 5));
  auto engine = start("unmapped");
  kelsim::ArchiveRequest a;
  a.name = "/x";
  const auto r = engine->archive(1, dir_ + "/local", a);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("process_vm_writev"), std::string::npos) << r.error;
  EXPECT_NE(r.error.find("/mem"), std::string::npos) << r.error;
  const auto next = engine->request(kelsim::request_line(2, "GetVolumeInfo"));
  ASSERT_EQ(next.size(), 1u) << engine->describe();
  EXPECT_EQ(next[0].attribute("SequenceNumber"), "2");
  EXPECT_EQ(engine->wait_exit(), 0);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"Archive", "OpenFragmentFileCallback 1048576", "FailureCallback 31",
                                                  "GetVolumeInfo"}));
  EXPECT_EQ(read_file(store_), "");
}

TEST_F(FragmentExchange, AMissingLocalFileSendsNothing) {
  auto engine = start();
  kelsim::ArchiveRequest a;
  a.name = "/x";
  const auto r = engine->archive(1, dir_ + "/no-such-file", a);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("no-such-file"), std::string::npos) << r.error;
  EXPECT_EQ(engine->wait_exit(), 0);
  EXPECT_TRUE(sequence().empty());
}

// An engine that answers the Archive line with "HRESULT" ends the exchange
// at once: no callback is sent, the result carries the answer and no
// host-side cause.
TEST_F(FragmentExchange, AnHresultAnswerEndsTheExchange) {
  write_file(dir_ + "/local", pattern(100, 6));
  auto engine = start();
  kelsim::ArchiveRequest a;
  a.name = "/refused";
  const auto r = engine->archive(1, dir_ + "/local", a);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "");
  ASSERT_NE(r.last(), nullptr);
  EXPECT_EQ(r.last()->name, "HRESULT");
  EXPECT_EQ(r.last()->attribute("HRESULT"), "-2147024891");
  EXPECT_EQ(engine->wait_exit(), 0);
  EXPECT_EQ(sequence(), (std::vector<std::string>{"Archive"}));
}

}  // namespace
