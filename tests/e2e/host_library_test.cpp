// The host library's request lines, read back by the interface library's own
// request parser (in-process, over its recording handlers).
#include "sim/engine_process.h"

#include "sim/harness.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <iterator>
#include <string>

// A process that does not end by itself is killed at the deadline; the wait
// reports it instead of hanging (deadline 0: no real time passes).
TEST(HostLibrary, AHungProcessIsKilledAtTheDeadline) {
  if (::access("/bin/sleep", X_OK) != 0) GTEST_SKIP() << "/bin/sleep is not available";
  kelsim::SimHarness sim;
  kelsim::EngineProcessOptions o;
  o.program = "/bin/sleep";
  o.use_default_arguments = false;
  o.arguments = {"1000"};
  o.deadline = std::chrono::milliseconds(0);
  kelsim::EngineProcess p(sim, o);
  ASSERT_TRUE(p.started()) << p.error();
  kelsim::EngineElement e;
  EXPECT_FALSE(p.next(&e));
  EXPECT_EQ(p.wait_exit(), -1);
  EXPECT_NE(p.describe().find("exit 137"), std::string::npos) << p.describe();  // SIGKILL
}

// Output cut anywhere (here by a read buffer smaller than one element) still
// arrives as whole elements in order: answers to the request, debug
// messages only among all elements, a malformed element as not parsed
// without spoiling the next, and an unterminated tail in the transcript.
TEST(HostLibrary, ElementsArriveWholeAndInOrderHoweverTheOutputIsCut) {
  if (::access("/bin/sh", X_OK) != 0) GTEST_SKIP() << "/bin/sh is not available";
  kelsim::SimHarness sim;
  const std::string big(200000, 'v');
  const std::string elements[] = {
      "<KelDirent ObjectName=\"a&amp;b\" Size=\"1\">t&lt;x</KelDirent>",
      "<Trace SequenceNumber=\"1\">x &lt; y</Trace>",
      "<KelBig V=\"" + big + "\"/>",
      "<Error SequenceNumber=\"1\">e</Error>",
      "<Broken a=\"1\"",
      "<KelSuccess SequenceNumber=\"1\"></KelSuccess>",
      "<After/>",
  };
  std::string output;
  for (const auto& e : elements) output += e + '\0';
  output += "<Tail";
  const std::string file = sim.directory() + "/output";
  std::ofstream(file, std::ios::binary) << output;
  // The request line read, the output written, then the input read to its
  // end.
  kelsim::EngineProcessOptions o;
  o.program = "/bin/sh";
  o.use_default_arguments = false;
  o.arguments = {"-c", "read line; cat \"$0\"; cat >/dev/null", file};
  kelsim::EngineProcess p(sim, o);
  ASSERT_TRUE(p.started()) << p.error();

  const auto answers = p.request(kelsim::request_line(1, "ReadDirectory"));
  ASSERT_EQ(answers.size(), 4u) << p.describe().substr(0, 2000);
  EXPECT_EQ(answers[0].name, "KelDirent");
  EXPECT_EQ(answers[0].attribute("ObjectName"), "a&b");
  EXPECT_EQ(answers[0].text, "t<x");
  EXPECT_EQ(answers[1].attribute("V"), big);
  EXPECT_FALSE(answers[2].parsed);
  EXPECT_EQ(answers[2].raw, elements[4]);
  EXPECT_TRUE(answers[3].parsed);
  EXPECT_EQ(answers[3].name, "KelSuccess");
  kelsim::EngineElement after;
  ASSERT_TRUE(p.next(&after));
  EXPECT_EQ(after.name, "After");
  EXPECT_EQ(p.wait_exit(), 0);

  const auto all = p.elements();
  ASSERT_EQ(all.size(), std::size(elements));
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].raw, elements[i]) << i;
  EXPECT_TRUE(all[1].is_debug());
  EXPECT_EQ(all[1].text, "x < y");
  EXPECT_EQ(all[3].name, "Error");
  EXPECT_NE(p.describe().find("(unterminated) <Tail"), std::string::npos);
}

namespace {

// Waits until the process has ended, leaving it to the reader to reap.
void wait_for_end(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
}

}  // namespace

// A request whose last answer never comes ends with the output, giving what
// did come: whether the process reads the line before it writes and ends,
// or has already ended when the line is sent (the line then finds no reader,
// yet what the process wrote is the answer).
TEST(HostLibrary, ARequestEndsShortAtTheEndOfTheOutput) {
  if (::access("/bin/sh", X_OK) != 0) GTEST_SKIP() << "/bin/sh is not available";
  for (const bool ended_first : {false, true}) {
    SCOPED_TRACE(ended_first ? "sent after the end" : "read before the output");
    kelsim::SimHarness sim;
    const std::string file = sim.directory() + "/output";
    std::ofstream(file, std::ios::binary) << std::string("<KelDirent ObjectName=\"x\"/>") + '\0';
    kelsim::EngineProcessOptions o;
    o.program = "/bin/sh";
    o.use_default_arguments = false;
    o.arguments = {"-c", ended_first ? "exec cat \"$0\"" : "read line && exec cat \"$0\"", file};
    kelsim::EngineProcess p(sim, o);
    ASSERT_TRUE(p.started()) << p.error();
    if (ended_first) wait_for_end(p.pid());
    const auto answers = p.request(kelsim::request_line(1, "ReadDirectory"));
    ASSERT_EQ(answers.size(), 1u) << p.describe();
    EXPECT_EQ(answers[0].name, "KelDirent");
    EXPECT_EQ(p.wait_exit(), 0) << p.describe();
  }
}

#if defined(KEL_E2E_HAVE_LOOP_SUPPORT)
#include "interface/support/loop_harness.h"

namespace {

TEST(HostLibrary, EscapedNamesReachTheHandlersUnchanged) {
  const std::string names[] = {
      "plain",
      "a&b",
      "x<y>z\"q'",
      "tab\there",
      "&amp;#9;",                     // looks escaped, must stay as written
      "caf\xC3\xA9",                  // a letter outside ASCII
      "pile \xF0\x9F\x93\x81 folder",  // outside the basic plane (a surrogate pair)
  };
  for (const std::string& name : names) {
    looptest::LoopHarness h;
    h.setInput(kelsim::request_line(9, "CreateDirectory",
                                    {{"Name", kelsim::escape_name("/" + name)},
                                     {"KernelInterface", "0"},
                                     {"BlockNumber", "0"}}) +
               "\n" + kelsim::request_line(10, "UnmountVolume") + "\n");
    ASSERT_EQ(h.run(), 0) << name;
    EXPECT_EQ(looptest::handlerCalls(), (std::vector<std::string>{"CreateDirectory(9,[/" + name + "])"}));
  }
}

}  // namespace
#endif
