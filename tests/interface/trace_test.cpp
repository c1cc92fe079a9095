#include "kel/debug.h"

#include "kel/response.h"
#include "kel/scsi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Captures the debug elements and gives each test its own debug directory.
class Trace : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/keltraceXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    out_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
    kel::SetResponseStream(out_);
    kel::CloseTraceFile();
    kel::SetTraceFileLimit(kel::kTraceFileLimit);
    SetDebugFile(dir_.c_str(), 7);  // the directory is taken with a non-zero level only
    SetDebugFile(nullptr, 0);
  }
  void TearDown() override {
    kel::CloseTraceFile();
    SetDebugFile("", 0);
    kel::SetTraceFileLimit(kel::kTraceFileLimit);
    kel::SetDriveCommandContextSource(nullptr);
    kel::SetResponseStream(nullptr);
    std::fclose(out_);
    fs::remove_all(dir_);
  }

  // Elements written so far, each without its NUL; the stream is emptied.
  std::vector<std::string> elements() {
    std::fflush(out_);
    std::rewind(out_);
    std::string all;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, out_)) > 0) all.append(buf, n);
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < all.size(); ++i)
      if (all[i] == '\0') out.push_back(all.substr(start, i - start)), start = i + 1;
    EXPECT_EQ(start, all.size()) << "every element ends with a NUL";
    std::fclose(out_);
    out_ = std::tmpfile();
    kel::SetResponseStream(out_);
    return out;
  }

  std::vector<fs::path> trace_files() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
  }
  std::string all_trace_text() const {
    std::string s;
    for (const auto& f : trace_files()) s += read_file(f);
    return s;
  }

  std::string dir_;
  std::FILE* out_ = nullptr;
};

TEST(TraceName, PatternWithMillisecondsUnpaddedAndTheProcess) {
  SYSTEMTIME st{2026, 12, 2, 8, 7, 5, 9, 42};
  EXPECT_EQ(kel::TraceFileName(st, 4321), "KELtrace_20261208_070509_42-4321.txt");
  st.wMilliseconds = 0;
  st.wHour = 23;
  EXPECT_EQ(kel::TraceFileName(st, 7), "KELtrace_20261208_230509_0-7.txt");
}

TEST_F(Trace, LevelMatrix) {
  struct Case {
    int trace_level;
    int level;
    bool to_file;
    const char* element;  // nullptr: nothing to the host
  } cases[] = {
      {0, 0, false, "Error"},   {0, 3, false, "Error"},   {0, 4, false, "Warning"},
      {0, 5, false, "Trace"},   {0, 6, false, nullptr},   {0, 7, false, nullptr},
      {3, 5, false, "Trace"},   {3, 2, true, "Error"},    {7, 6, true, nullptr},
      {7, 7, false, nullptr},   {8, 7, true, nullptr},    {7, 4, true, "Warning"},
      {2, -1, true, "Internal"}, {7, 5, true, "Trace"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "trace level " << c.trace_level << ", line level " << c.level);
    kel::CloseTraceFile();
    for (const auto& f : trace_files()) fs::remove(f);
    SetDebugFile(dir_.c_str(), static_cast<unsigned>(c.trace_level));
    EXPECT_EQ(CheckLogLevel(c.level), c.to_file || c.level < 6);
    SendDebugStringA(c.level, "a line");
    const auto files = trace_files();
    if (c.to_file) {
      ASSERT_EQ(files.size(), 1u);
      EXPECT_EQ(read_file(files[0]), "a line\n");
    } else {
      EXPECT_TRUE(files.empty()) << "no trace file is created";
    }
    const auto els = elements();
    if (c.element) {
      ASSERT_EQ(els.size(), 1u);
      EXPECT_EQ(els[0], std::string("<") + c.element + " SequenceNumber=\"0\">a line</" + c.element + ">");
    } else {
      EXPECT_TRUE(els.empty());
    }
  }
}

TEST_F(Trace, FileLiesInTheDebugDirectoryWithItsPattern) {
  SetDebugFile(dir_.c_str(), 7);
  EXPECT_TRUE(kel::TraceFilePath().empty()) << "opened on the first line only";
  SendDebugStringA(6, "first");
  const std::string path = kel::TraceFilePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(fs::path(path).parent_path(), fs::path(dir_));
  EXPECT_TRUE(std::regex_match(fs::path(path).filename().string(),
                               std::regex(R"(KELtrace_\d{8}_\d{6}_\d{1,3}-)" + std::to_string(::getpid()) +
                                          R"(\.txt)")))
      << path << ": the name carries this process's id";
  SendDebugStringA(6, "second");
  EXPECT_EQ(read_file(path), "first\nsecond\n");
}

TEST_F(Trace, TrailingWhiteSpaceBecomesOneLineFeed) {
  SetDebugFile(dir_.c_str(), 7);
  SendDebugStringA(6, "text \t\r\n\v\f ");
  SendDebugStringA(6, " \r\n ");
  SendDebugStringA(6, nullptr);
  SendDebugStringA(6, "  inner  blanks stay");
  EXPECT_EQ(all_trace_text(), "text\n\n\n  inner  blanks stay\n");
}

TEST_F(Trace, WideLinesAreWrittenAsUtf8) {
  SetDebugFile(dir_.c_str(), 7);
  SendDebugStringW(6, u"caf\u00e9 \U0001F600  \r\n");
  SendDebugStringW(5, u"<wide> & \"more\"\n");
  SendDebugStringW(6, nullptr);
  EXPECT_EQ(all_trace_text(), "caf\xC3\xA9 \xF0\x9F\x98\x80\n<wide> & \"more\"\n\n");
  const auto els = elements();
  ASSERT_EQ(els.size(), 1u);
  EXPECT_EQ(els[0], "<Trace SequenceNumber=\"0\">&lt;wide&gt; &amp; &quot;more&quot;</Trace>");
}

TEST_F(Trace, ElementsCarryTheSequenceNumberOfTheRequest) {
  kel::SetDriveCommandContextSource([] { return kel::DriveCommandContext{4711, 3, 0}; });
  SendDebugStringA(1, "failed");
  kel::SetDriveCommandContextSource(nullptr);
  SendDebugStringA(4, "warned");
  const auto els = elements();
  ASSERT_EQ(els.size(), 2u);
  EXPECT_EQ(els[0], "<Error SequenceNumber=\"4711\">failed</Error>");
  EXPECT_EQ(els[1], "<Warning SequenceNumber=\"0\">warned</Warning>");
}

TEST_F(Trace, DirectoryIsKeptOnlyWithANonZeroLevel) {
  SetDebugFile("/nonexistent-dir-for-kel", 0);
  SetDebugFile(nullptr, 7);  // keeps the directory of SetUp
  SendDebugStringA(6, "x");
  EXPECT_EQ(trace_files().size(), 1u);
  const std::string long_dir(3000, 'd');
  kel::CloseTraceFile();
  SetDebugFile(long_dir.c_str(), 7);
  SendDebugStringA(6, "not written: the cut directory does not exist");
  EXPECT_TRUE(kel::TraceFilePath().empty());
  SetDebugFile(dir_.c_str(), 7);
  SendDebugStringA(6, "y");
  EXPECT_FALSE(kel::TraceFilePath().empty()) << "a failed open is retried with the next line";
}

TEST_F(Trace, RotationAtTheLimitLosesNoLine) {
  SetDebugFile(dir_.c_str(), 7);
  kel::SetTraceFileLimit(4096);
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "thread %d line %04d ................", t, i);
        SendDebugStringA(6, line);
      }
    });
  }
  for (auto& th : threads) th.join();
  kel::CloseTraceFile();

  const auto files = trace_files();
  EXPECT_GE(files.size(), static_cast<std::size_t>(kThreads * kLines * 40 / 4096));
  std::multiset<std::string> seen;
  for (const auto& f : files) {
    const std::string text = read_file(f);
    EXPECT_LE(text.size(), 4096u + 64u) << f << ": a file grows past the limit by one line at most";
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) seen.insert(line);
    EXPECT_EQ(text.back(), '\n');
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, "thread %d line %04d ................", t, i);
      EXPECT_EQ(seen.count(line), 1u) << line;
    }
  }
}

TEST(FsCacheDeleteLevel, AtMostTheStoredLevel) {
  struct Case {
    unsigned stored;
    int asked;
    bool result;
  } cases[] = {{0, 0, true}, {0, 1, false}, {0, -1, true}, {2, 1, true}, {2, 2, true}, {2, 3, false}};
  for (const auto& c : cases) {
    SetFsCacheDeleteLevel(c.stored);
    EXPECT_EQ(CheckFsCacheDeleteLevel(c.asked), c.result) << c.stored << " " << c.asked;
  }
  SetFsCacheDeleteLevel(0);
  SetLogLevel(7);  // accepted, changes nothing
  EXPECT_FALSE(CheckLogLevel(6));
}

}  // namespace
