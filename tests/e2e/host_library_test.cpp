// The host library's request lines, read back by the interface library's own
// request parser (in-process, over its recording handlers).
#include "sim/engine_process.h"

#include "sim/harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
