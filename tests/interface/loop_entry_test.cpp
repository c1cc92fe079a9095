// Start-up entry points, the forwarders, and the loop run as a process with
// pipes for its standard input and output.
#include "kel/config.h"
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/scsi.h"
#include "platform/xml_sax.h"
#include "support/loop_harness.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using looptest::engine;
using looptest::handlerCalls;
using looptest::line;
using looptest::LoopHarness;

TEST(LoopEntry, InitNeedsTwoProgramArguments) {
  struct Case {
    std::vector<const char*> argv;
    std::int32_t result;
    const char* error;  // expected "Error" element, or nullptr
  } cases[] = {
      {{"KelDriver"}, 87, "<Error SequenceNumber=\"0\">Insufficient arguments (2 required)</Error>"},
      {{"KelDriver", "/dev/sd1A2B"}, 87,
       "<Error SequenceNumber=\"0\">Insufficient arguments (2 required)</Error>"},
      {{"KelDriver", "/dev/hd1", "/cache"}, 87,
       "<Error SequenceNumber=\"0\">Invalid parameter: could not extract medium cookie from "
       "/dev/hd1</Error>"},
      {{"KelDriver", "/dev/sd", "/cache"}, 87,
       "<Error SequenceNumber=\"0\">Invalid parameter: could not extract medium cookie from "
       "/dev/sd</Error>"},
      {{"KelDriver", "/dev/sdxyz", "/cache"}, 87,
       "<Error SequenceNumber=\"0\">Invalid parameter: could not extract medium cookie from "
       "/dev/sdxyz</Error>"},
      {{"KelDriver", "/dev/sd1A2B", "/cache"}, 0, nullptr},
      {{"KelDriver", "/dev/sd1A2B", "/cache", "ignored", "too"}, 0, nullptr},
  };
  for (const auto& c : cases) {
    LoopHarness h;
    EXPECT_EQ(quorvel_kel_init(static_cast<int>(c.argv.size()), const_cast<const char**>(c.argv.data())),
              c.result);
    if (c.error) {
      EXPECT_EQ(h.elements(), std::vector<std::string>{c.error});
    } else {
      EXPECT_EQ(h.rawOutput(), "");
      EXPECT_EQ(kel::MediumCookie(), 0x1A2Bu);
      EXPECT_EQ(kel::CacheDirectory(), "/cache");
      char path[64] = {};
      EXPECT_EQ(getConfigString("Fs Cache File Path", path, sizeof path, "none"), 0);
      EXPECT_STREQ(path, "/cache/KELFS");
    }
  }
}

TEST(LoopEntry, MediumCookieForms) {
  const std::pair<const char*, std::uint64_t> good[] = {
      {"/dev/sd1A2B", 0x1A2B},
      {"/dev/sd0x1a2b", 0x1A2B},
      {"/dev/sd00007FFE12345678", 0x7FFE12345678},
      {"/dev/sdFFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFF},
      {"/dev/sd12zz", 0x12},  // text after the number is not looked at
      {"/dev/sd0x", 0},       // as scanf: the 0 before a bare x
  };
  for (const auto& [text, want] : good) {
    std::uint64_t v = 0;
    EXPECT_TRUE(kel::ParseMediumCookie(text, &v)) << text;
    EXPECT_EQ(v, want) << text;
  }
  for (const char* bad : {"/dev/sd", "/dev/hd1", "/dev/sdg", "dev/sd1", "/dev/SD1", "",
                          "/dev/sd10000000000000000"}) {
    std::uint64_t v = 99;
    EXPECT_FALSE(kel::ParseMediumCookie(bad, &v)) << bad;
    EXPECT_EQ(v, 99u) << bad;
  }
  EXPECT_FALSE(kel::ParseMediumCookie(nullptr, nullptr));
}

TEST(LoopEntry, ForwardersReachTheRunningInterfaceOnly) {
  LoopHarness h;
  EXPECT_EQ(ForwardLogMessage(2, 0, "f", 1, u"x"), 0);
  EXPECT_TRUE(engine().callsSnapshot().empty());
  EXPECT_EQ(kel::CurrentOperations(), nullptr);

  // From inside a handler: the forwarders and quorvel_fsctl call the table.
  looptest::archive_hook = [](CKelInterface&) {
    EXPECT_EQ(ForwardLogMessage(3, 2, "fn", 7, u"hello"), 0);
    EXPECT_EQ(ForwardMountDefault(), 0);
    EXPECT_EQ(ForwardUnmount(false), 0);
    engine().fsctl_results[0xC0107016] = 5;
    EXPECT_EQ(quorvel_fsctl(0xC0107016, nullptr), 5);
  };
  const std::string file = "<File Name=\"f\" Fragment=\"0\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\"/>";
  h.setInput(line(1, "Archive", "BlockNumber=\"0\" CreationTime=\"0\" ModificationTime=\"0\"", file) +
             line(2, "UnmountVolume"));
  EXPECT_EQ(h.run(), 0);
  auto calls = engine().callsSnapshot();
  const std::vector<std::string> want = {"LogMessage", "MountDefault", "Unmount(false)",
                                         "Fsctl(0xC0107016)", "Unmount(true)"};
  std::vector<std::string> got;
  for (const auto& c : calls)
    if (c != "GetMediumType") got.push_back(c);
  EXPECT_EQ(got, want);
  EXPECT_EQ(engine().log_texts[0], u"hello");
  EXPECT_EQ(engine().log_functions[0], "fn");
  // After the run nothing is current and the drive-command context is zero.
  EXPECT_EQ(kel::CurrentInterface(), nullptr);
  EXPECT_EQ(kel::CurrentDriveCommandContext().SequenceNumber, 0u);
  EXPECT_EQ(ForwardLogMessage(2, 0, "f", 1, u"x"), 0);
}

TEST(LoopEntry, DriveCommandContextFollowsTheRunningInterface) {
  LoopHarness h;
  kel::DriveCommandContext seen;
  looptest::archive_hook = [&](CKelInterface& itf) {
    itf.SetDriveCommandSequence(itf.Request().SequenceNumber);
    itf.SetDriveCommandPhase(6);
    seen = kel::CurrentDriveCommandContext();
  };
  const std::string file = "<File Name=\"f\" Fragment=\"0\" Generation=\"1\" Version=\"1\" KernelInterface=\"0\"/>";
  h.setInput(line(77, "Archive", "BlockNumber=\"0\" CreationTime=\"0\" ModificationTime=\"0\"", file));
  h.run();
  EXPECT_EQ(seen.SequenceNumber, 77u);
  EXPECT_EQ(seen.Phase, 6u);
  EXPECT_EQ(seen.Unmounting, 0u);
}

namespace {
// Runs quorvel_kel_run in a child process whose standard input and output
// are pipes; returns the exit status and the bytes written.
struct ProcessResult {
  int status = -1;
  std::string out;
};

ProcessResult runAsProcess(const std::string& input) {
  int in_pipe[2], out_pipe[2];
  EXPECT_EQ(::pipe(in_pipe), 0);
  EXPECT_EQ(::pipe(out_pipe), 0);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    kel::SetRequestStream(nullptr);
    kel::SetResponseStream(nullptr);
    _exit(quorvel_kel_run(&looptest::fakeOperations(), "/dev/sd1A2B"));
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  EXPECT_EQ(::write(in_pipe[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(in_pipe[1]);
  ProcessResult r;
  r.out = looptest::readAll(out_pipe[0]);
  ::close(out_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}
}  // namespace

// A process keeps the low 8 bits of the loop's 16-bit result.
TEST(LoopEntry, AsAProcessTheExitStatusIsTheLow8BitsOfTheResult) {
  {
    LoopHarness h;
    ProcessResult r = runAsProcess(line(5, "Check") + line(6, "UnmountVolume"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(looptest::splitElements(r.out),
              (std::vector<std::string>{"<KelSuccess SequenceNumber=\"6\"></KelSuccess>",
                                        "<Shutdown SequenceNumber=\"6\"></Shutdown>"}));
  }
  {
    LoopHarness h;
    ProcessResult r = runAsProcess(line(5, "GetOperation") + line(6, "UnmountVolume"));
    EXPECT_EQ(r.status, 1359 & 0xFF);  // 79
    EXPECT_EQ(r.out, "");
  }
  {
    LoopHarness h;
    ProcessResult r = runAsProcess("\n");
    EXPECT_EQ(r.status, static_cast<int>(static_cast<std::uint32_t>(platform::kSaxErrNoElements) & 0xFF));
    EXPECT_EQ(r.out, "");
  }
  {
    LoopHarness h;
    ProcessResult r = runAsProcess(line(1, "Check"));  // input ends without "UnmountVolume"
    EXPECT_EQ(r.status, static_cast<int>(static_cast<std::uint32_t>(platform::kSaxErrNoElements) & 0xFF));
    EXPECT_EQ(engine().callsSnapshot().size(), 0u);  // the child's engine, not ours
  }
}
