// Who reads an engine process's output: the thread waiting for an answer
// reads it itself, and output written between requests or to standard error
// is still taken in full. The engine is a small shell script here.
#include "sim/engine_process.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class EngineOutput : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

  // A process running `script` under /bin/sh; its answers end in NUL bytes.
  std::unique_ptr<kelsim::EngineProcess> start(const std::string& script) {
    kelsim::EngineProcessOptions o;
    o.program = "/bin/sh";
    o.use_default_arguments = false;
    o.arguments = {"-c", script};
    o.deadline = std::chrono::milliseconds(20000);
    auto p = std::make_unique<kelsim::EngineProcess>(kelsim::EngineHost{dir_.path(), "/dev/sd1"}, o);
    EXPECT_TRUE(p->started()) << p->error();
    return p;
  }

  kel_test::ScopedTempDir dir_{"kel-engine-output-"};
};

// Each line is answered by one element naming its number.
constexpr const char* kAnswerEachLine =
    "n=0; while read -r line; do n=$((n+1)); printf '<KelSuccess N=\"%d\"/>\\000' $n; done";

TEST_F(EngineOutput, TheRequestingThreadReadsItsAnswerItself) {
  auto engine = start(kAnswerEachLine);
  const std::thread::id self = std::this_thread::get_id();
  for (int i = 1; i <= 50; ++i) {
    std::thread::id reader;
    const auto got = engine->request("<Ask/>", [&](const kelsim::EngineElement& e) {
      reader = std::this_thread::get_id();
      return e.name == "KelSuccess";
    });
    ASSERT_EQ(got.size(), 1u) << engine->describe();
    EXPECT_EQ(got[0].attribute("N"), std::to_string(i));
    // Read on another thread, the answer would cost a hand-off each time.
    ASSERT_EQ(reader, self) << "request " << i << " was read by another thread";
  }
  EXPECT_EQ(engine->wait_exit(), 0);
}

TEST_F(EngineOutput, StandardErrorWrittenDuringARequestDoesNotStopIt) {
  // 1 MiB to standard error before each answer: more than a pipe holds.
  auto engine = start("while read -r line; do head -c 1048576 /dev/zero | tr '\\0' e >&2; "
                      "printf '<KelSuccess/>\\000'; done");
  for (int i = 0; i < 3; ++i) {
    const auto got = engine->request("<Ask/>");
    ASSERT_EQ(got.size(), 1u) << "request " << i;
    EXPECT_EQ(got[0].name, "KelSuccess");
  }
  EXPECT_EQ(engine->wait_exit(), 0);
  EXPECT_EQ(engine->standard_error().size(), 3u * 1048576);
}

TEST_F(EngineOutput, OutputBetweenRequestsIsKeptInOrder) {
  // Each line is answered, then followed by 2,000 debug messages (about
  // 100 KiB, more than a pipe holds) that nobody waits for.
  auto engine = start(
      "n=0; while read -r line; do n=$((n+1)); printf '<KelSuccess N=\"%d\"/>\\000' $n; "
      "i=0; while [ $i -lt 2000 ]; do i=$((i+1)); printf '<Trace T=\"%d-%d\">some text here</Trace>\\000' $n $i; "
      "done; done");
  for (int i = 1; i <= 3; ++i) {
    const auto got = engine->request("<Ask/>");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].attribute("N"), std::to_string(i));
  }
  EXPECT_EQ(engine->wait_exit(), 0);
  const auto all = engine->elements();
  ASSERT_EQ(all.size(), 3u * 2001);
  for (int n = 1; n <= 3; ++n) {
    const auto& first = all[static_cast<std::size_t>(n - 1) * 2001];
    EXPECT_EQ(first.attribute("N"), std::to_string(n));
    EXPECT_EQ(all[static_cast<std::size_t>(n) * 2001 - 1].attribute("T"), std::to_string(n) + "-2000");
  }
}

TEST_F(EngineOutput, AProcessThatEndsDuringARequestEndsItsWait) {
  // The first line is answered; the second ends the process unanswered.
  auto engine = start("read -r line; printf '<KelSuccess/>\\000'; read -r line; printf '<Trace/>\\000'; exit 3");
  EXPECT_EQ(engine->request("<Ask/>").size(), 1u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(engine->request("<Ask/>").empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15000))
      << "the wait ran to its deadline";
  int code = -2;
  EXPECT_TRUE(engine->ended(&code));
  EXPECT_EQ(code, 3);
  EXPECT_EQ(engine->elements().size(), 2u);
}

TEST_F(EngineOutput, NextTakesAnswersWrittenBeforeAndAfterItWaits) {
  auto engine = start(kAnswerEachLine);
  ASSERT_TRUE(engine->send("<Ask/>"));
  ASSERT_TRUE(engine->send("<Ask/>"));
  for (int i = 1; i <= 2; ++i) {
    kelsim::EngineElement e;
    ASSERT_TRUE(engine->next(&e));
    EXPECT_EQ(e.attribute("N"), std::to_string(i));
  }
  EXPECT_EQ(engine->wait_exit(), 0);
}

}  // namespace
