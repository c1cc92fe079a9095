#include "kel/util_thread_manager.h"

#include "support/thread_state.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

void* msg(std::uintptr_t n) { return reinterpret_cast<void*>(n); }

void waitForClockWaiters(platform::ManualClock& clk, int n) {
  while (clk.waiters() < n) std::this_thread::yield();
}

TEST(ThreadManagerQueue, FirstInFirstOutAndPeekKeepsTheMessage) {
  Util::ThreadManager tm;
  void* m = nullptr;
  EXPECT_FALSE(tm.peekMessage(m));
  ASSERT_TRUE(tm.postThreadMessage(msg(1)));
  ASSERT_TRUE(tm.postThreadMessage(msg(2)));
  ASSERT_TRUE(tm.peekMessage(m));
  EXPECT_EQ(m, msg(1));
  ASSERT_TRUE(tm.waitPeekMessage(m, 0));
  EXPECT_EQ(m, msg(1));
  ASSERT_TRUE(tm.waitMessage(m, 0));
  EXPECT_EQ(m, msg(1));
  ASSERT_TRUE(tm.waitMessage(m, 0));
  EXPECT_EQ(m, msg(2));
  EXPECT_FALSE(tm.waitMessage(m, 0)) << "the queue is empty again";
  EXPECT_FALSE(tm.waitPeekMessage(m, 0));
}

TEST(ThreadManagerQueue, WaitWithTimeOutZeroOnEmptyQueueFailsAtOnce) {
  platform::ManualClock clk;  // a wait on it would never end by itself
  platform::ScopedClock scoped(clk);
  Util::ThreadManager tm;
  void* m = msg(99);
  EXPECT_FALSE(tm.waitMessage(m, 0));
  EXPECT_EQ(m, msg(99));
}

TEST(ThreadManagerQueue, WaitTimesOutOnTheProcessClockOrTakesAPostedMessage) {
  platform::ManualClock clk;
  platform::ScopedClock scoped(clk);
  Util::ThreadManager tm;
  std::atomic<int> result{-1};
  void* got = nullptr;
  std::thread consumer([&] { result = tm.waitMessage(got, 5000) ? 1 : 0; });
  waitForClockWaiters(clk, 1);
  clk.advance(4999);
  EXPECT_EQ(result.load(), -1);
  clk.advance(1);
  consumer.join();
  EXPECT_EQ(result.load(), 0);

  std::thread consumer2([&] { result = tm.waitMessage(got, 5000) ? 1 : 0; });
  waitForClockWaiters(clk, 1);
  tm.postThreadMessage(msg(7));
  consumer2.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(got, msg(7));
}

TEST(ThreadManagerQueue, QueueOfTwoBlocksTheThirdPostUntilOneIsTaken) {
  Util::ThreadManager tm;
  tm.setQueueMax(2);
  ASSERT_TRUE(tm.postThreadMessage(msg(1)));
  ASSERT_TRUE(tm.postThreadMessage(msg(2)));
  std::atomic<DWORD> tid{0};
  std::atomic<bool> posting{false}, posted{false};
  std::thread producer([&] {
    tid = GetCurrentThreadId();
    posting = true;
    tm.postThreadMessage(msg(3));
    posted = true;
  });
  EXPECT_FALSE(testsupport::DoneOrBlocked(tid, posting, [&] { return posted.load(); }))
      << "the third post waits for room";
  void* m = nullptr;
  ASSERT_TRUE(tm.peekMessage(m));
  EXPECT_EQ(m, msg(1)) << "the third message is not queued while the queue is full";
  ASSERT_TRUE(tm.waitMessage(m, 0));
  EXPECT_EQ(m, msg(1));
  producer.join();
  EXPECT_TRUE(posted.load());
  ASSERT_TRUE(tm.waitMessage(m, 0));
  EXPECT_EQ(m, msg(2));
  ASSERT_TRUE(tm.waitMessage(m, 0));
  EXPECT_EQ(m, msg(3));
}

TEST(ThreadManagerQueue, RaisingOrLiftingTheMaximumReleasesAWaitingProducer) {
  for (const unsigned new_max : {0u, 2u}) {
    SCOPED_TRACE(new_max);
    Util::ThreadManager tm;
    tm.setQueueMax(1);
    ASSERT_TRUE(tm.postThreadMessage(msg(1)));
    std::atomic<DWORD> tid{0};
    std::atomic<bool> posting{false}, posted{false};
    std::thread producer([&] {
      tid = GetCurrentThreadId();
      posting = true;
      tm.postThreadMessage(msg(2));
      posted = true;
    });
    EXPECT_FALSE(testsupport::DoneOrBlocked(tid, posting, [&] { return posted.load(); }));
    tm.setQueueMax(new_max);
    producer.join();
    if (new_max == 0) tm.waitPostEnable();  // returns at once without a limit
    void* m = nullptr;
    ASSERT_TRUE(tm.waitMessage(m, 0));
    ASSERT_TRUE(tm.waitMessage(m, 0));
    EXPECT_EQ(m, msg(2));
  }
}

// A worker that handles messages until it takes a null message; the
// producers never see more than the maximum queued.
class Worker : public Util::ThreadManager {
 public:
  unsigned threadFunction(void* argument) override {
    argument_ = argument;
    ranOn_ = GetCurrentThreadId();
    stack_t ss{};
    hadSignalStack_ = sigaltstack(nullptr, &ss) == 0 && !(ss.ss_flags & SS_DISABLE);
    for (;;) {
      void* m = nullptr;
      if (!waitPeekMessage(m, INFINITE)) return 1;
      if (m == nullptr) return 0;
      handled_.push_back(reinterpret_cast<std::uintptr_t>(m));
      // Removed only after handling: the message in work still counts.
      void* taken = nullptr;
      waitMessage(taken, 0);
      if (taken != m) return 2;
    }
  }
  void* argument_ = nullptr;
  std::atomic<DWORD> ranOn_{0};
  bool hadSignalStack_ = false;  // so that a stack overflow on it can be handled
  std::vector<std::uintptr_t> handled_;
};

TEST(ThreadManagerThread, WorkerHandlesEveryMessageInOrder) {
  Worker w;
  w.setQueueMax(2);
  int arg = 0;
  ASSERT_TRUE(w.beginThread(nullptr, 0, &arg, 0));
  EXPECT_NE(w.threadId(), 0u);
  EXPECT_NE(w.threadId(), GetCurrentThreadId());
  std::thread second([&] {
    for (std::uintptr_t i = 1001; i <= 1100; ++i) w.postThreadMessage(msg(i));
  });
  for (std::uintptr_t i = 1; i <= 100; ++i) ASSERT_TRUE(w.postThreadMessage(msg(i)));
  second.join();
  ASSERT_TRUE(w.postThreadMessage(nullptr));
  ASSERT_TRUE(w.waitForEndThread(INFINITE));
  EXPECT_EQ(w.argument_, &arg);
  EXPECT_EQ(w.ranOn_.load(), w.threadId());
  EXPECT_TRUE(w.hadSignalStack_);
  ASSERT_EQ(w.handled_.size(), 200u);
  // Each producer's messages keep their order.
  std::uintptr_t lastA = 0, lastB = 1000;
  for (auto v : w.handled_) {
    if (v > 1000) { EXPECT_GT(v, lastB); lastB = v; }
    else { EXPECT_GT(v, lastA); lastA = v; }
  }
}

TEST(ThreadManagerThread, WaitForEndTimesOutWhileTheThreadRuns) {
  platform::ManualClock clk;
  platform::ScopedClock scoped(clk);
  Worker w;
  ASSERT_TRUE(w.beginThread(nullptr, 256 * 1024, nullptr, 0));
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = w.waitForEndThread(1000) ? 1 : 0; });
  waitForClockWaiters(clk, 1);
  clk.advance(1000);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(w.beginThread(nullptr, 0, nullptr, 0)) << "one thread at a time";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
  w.postThreadMessage(nullptr);
  EXPECT_TRUE(w.waitForEndThread(INFINITE));
  EXPECT_TRUE(w.waitForEndThread(0));
  // After the end a new thread may be started.
  ASSERT_TRUE(w.beginThread(nullptr, 0, nullptr, 0));
  w.postThreadMessage(nullptr);
  EXPECT_TRUE(w.waitForEndThread(INFINITE));
}

TEST(ThreadManagerThread, RefusesWhatCannotBeDone) {
  Util::ThreadManager tm;
  EXPECT_FALSE(tm.waitForEndThread(0)) << "no thread was started";
  constexpr unsigned kCreateSuspended = 0x4;
  EXPECT_FALSE(tm.beginThread(nullptr, 0, nullptr, kCreateSuspended));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(tm.hasThread());
  // The base body returns at once.
  ASSERT_TRUE(tm.beginThread(nullptr, 0, nullptr, Util::ThreadManager::kStackSizeIsReservation));
  EXPECT_TRUE(tm.waitForEndThread(INFINITE));
}

}  // namespace
