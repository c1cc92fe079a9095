#include "kel/util_sync.h"

#include "support/thread_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

void waitForClockWaiters(platform::ManualClock& clk, int n) {
  while (clk.waiters() < n) std::this_thread::yield();
}

TEST(UtilCriticalSection, IsRecursiveAndExcludesOtherThreads) {
  Util::CriticalSection cs;
  Util::SyncBase& base = cs;
  ASSERT_TRUE(base.lock(0));  // the time-out is ignored
  ASSERT_TRUE(base.lock(INFINITE));
  EXPECT_TRUE(base.unlock());
  // Still held once by this thread: another thread waits for it.
  std::atomic<DWORD> tid{0};
  std::atomic<bool> locking{false}, entered{false};
  std::thread other([&] {
    tid = GetCurrentThreadId();
    locking = true;
    cs.lock(0);
    entered = true;
    cs.unlock();
  });
  EXPECT_FALSE(testsupport::DoneOrBlocked(tid, locking, [&] { return entered.load(); }));
  EXPECT_TRUE(base.unlock());
  other.join();
  EXPECT_TRUE(entered.load());
}

TEST(UtilEvent, DefaultIsAutoResetAndNotSet) {
  Util::Event ev;
  EXPECT_FALSE(ev.lock(0));
  EXPECT_TRUE(ev.setEvent());
  EXPECT_TRUE(ev.lock(0));
  EXPECT_FALSE(ev.lock(0)) << "an auto-reset event lets one wait through";
  EXPECT_TRUE(ev.unlock());  // unlock sets it, as setEvent
  EXPECT_TRUE(ev.lock(0));
}

TEST(UtilEvent, ManualResetStaysSetUntilReset) {
  Util::Event ev(true, true);
  EXPECT_TRUE(ev.lock(0));
  EXPECT_TRUE(ev.lock(0));
  EXPECT_TRUE(ev.resetEvent());
  EXPECT_FALSE(ev.lock(0));
}

TEST(UtilEvent, TimeOutRunsOnTheProcessClock) {
  platform::ManualClock clk;
  platform::ScopedClock scoped(clk);
  Util::Event ev;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = ev.lock(30000) ? 1 : 0; });
  waitForClockWaiters(clk, 1);
  clk.advance(29999);
  EXPECT_EQ(result.load(), -1);
  clk.advance(1);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(UtilEvent, SetWakesAWaiterWithinItsTimeOut) {
  platform::ManualClock clk;
  platform::ScopedClock scoped(clk);
  Util::Event ev;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = ev.lock(5000) ? 1 : 0; });
  waitForClockWaiters(clk, 1);
  ev.setEvent();
  waiter.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_FALSE(ev.lock(0));
}

TEST(UtilEvent, PulseReleasesWaitersAndLeavesTheEventUnset) {
  Util::Event ev(false, true);
  std::atomic<int> released{0};
  std::atomic<DWORD> ids[2] = {0, 0};
  std::atomic<bool> waiting[2] = {false, false};
  auto waiter = [&](int i) {
    ids[i] = GetCurrentThreadId();
    waiting[i] = true;
    if (ev.lock(INFINITE)) ++released;
  };
  std::thread a(waiter, 0), b(waiter, 1);
  // Both wait before the one pulse.
  for (int i = 0; i < 2; ++i)
    EXPECT_FALSE(testsupport::DoneOrBlocked(ids[i], waiting[i], [&] { return released.load() > 0; }));
  ev.pulseEvent();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_FALSE(ev.lock(0));
}

struct Counted : Util::Countable<> {
  explicit Counted(bool* gone) : gone_(gone) {}
  ~Counted() override { *gone_ = true; }
  bool* gone_;
};

TEST(UtilCountable, DeletesItselfWhenTheLastReferenceGoes) {
  bool gone = false;
  auto* obj = new Counted(&gone);
  EXPECT_EQ(obj->refCount(), 1u);
  EXPECT_EQ(obj->addRef(), 2u);
  EXPECT_EQ(obj->release(), 1u);
  EXPECT_FALSE(gone);
  EXPECT_EQ(obj->release(), 0u);
  EXPECT_TRUE(gone);
}

}  // namespace
