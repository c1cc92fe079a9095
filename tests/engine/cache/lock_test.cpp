// Node locks, locks of subtrees and of the whole tree, and the creation
// gate, from two and three threads on a manual clock.
#include "support.h"

#include "kelhost/gnrc.h"
#include "platform/sync.h"

#include <atomic>
#include <thread>

using namespace cache_test;

namespace {

// A manual clock that counts the deadlines waited for (a wait may return
// early and begin again with the same deadline).
class CountingClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return inner.now_ms(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline) override {
    {
      std::lock_guard<std::mutex> g(mu);
      if (deadlines.empty() || deadlines.back() != deadline) {
        deadlines.push_back(deadline);
        ++waits;
      }
    }
    inner.wait_until(lk, cv, deadline);
  }
  void sleep_ms(std::uint64_t ms) override { inner.sleep_ms(ms); }
  // Blocks (yielding) until `n` waits have begun and a thread is in one.
  void await_wait(int n) {
    while (waits.load() < n || inner.waiters() < 1) std::this_thread::yield();
  }
  platform::ManualClock inner;
  std::atomic<int> waits{0};
  std::mutex mu;
  std::vector<std::uint64_t> deadlines;
};

class Locks : public ::testing::Test {
 protected:
  CountingClock clock;
  platform::ScopedClock scope{clock};
  Volume v;
};

bool held_by_nobody(mdcudfsr_cache_node* n) { return n->lock_owner == 0 && n->lock_count == 0; }

}  // namespace

TEST_F(Locks, OwnerLocksThreeTimesAndMustUnlockThreeTimes) {
  mdcudfsr_cache_node* n = v.make(v.root, "f");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER));
  EXPECT_EQ(3, n->lock_count);
  std::atomic<bool> got{false};
  std::thread other([&] {
    EXPECT_EQ(0, mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER));
    got = true;
    mdcudfsr_cache_unlock_node(n);
  });
  clock.await_wait(1);
  mdcudfsr_cache_unlock_node(n);
  mdcudfsr_cache_unlock_node(n);
  EXPECT_FALSE(got.load());
  EXPECT_EQ(1, n->lock_count);
  mdcudfsr_cache_unlock_node(n);
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_TRUE(held_by_nobody(n));
}

TEST_F(Locks, BoundedLockTimesOutAfterItsMilliseconds) {
  mdcudfsr_cache_node* n = v.make(v.root, "f");
  ASSERT_EQ(0, mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER));
  std::atomic<int> result{-1};
  std::thread other([&] { result = mdcudfsr_cache_lock_node(n, 100); });
  clock.await_wait(1);
  clock.inner.advance(99);
  clock.inner.advance(1);
  other.join();
  EXPECT_EQ(MDCUDFSR_ETIMEDOUT, result.load());
  EXPECT_EQ(1, n->lock_count);
  EXPECT_EQ(getThreadIdGnrc(), n->lock_owner);
  mdcudfsr_cache_unlock_node(n);
}

TEST_F(Locks, EndlessLockWaitsAcrossSeveralThreeSecondWakeUps) {
  mdcudfsr_cache_node* n = v.make(v.root, "f");
  ASSERT_EQ(0, mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER));
  std::atomic<int> result{-1};
  std::thread other([&] {
    result = mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
    mdcudfsr_cache_unlock_node(n);
  });
  for (int wake = 1; wake <= 3; ++wake) {
    clock.await_wait(wake);
    clock.inner.advance(3000);
  }
  clock.await_wait(4);  // still waiting after three time-outs
  EXPECT_EQ(-1, result.load());
  mdcudfsr_cache_unlock_node(n);
  other.join();
  EXPECT_EQ(0, result.load());
}

TEST_F(Locks, UnlockByAnotherThreadChangesNothing) {
  mdcudfsr_cache_node* n = v.make(v.root, "f");
  ASSERT_EQ(0, mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER));
  std::thread([&] { EXPECT_EQ(0, mdcudfsr_cache_unlock_node(n)); }).join();
  EXPECT_EQ(1, n->lock_count);
  EXPECT_EQ(getThreadIdGnrc(), n->lock_owner);
  mdcudfsr_cache_unlock_node(n);
  EXPECT_TRUE(held_by_nobody(n));
  EXPECT_EQ(22, mdcudfsr_cache_unlock_node(nullptr));
}

TEST_F(Locks, FailedRecursiveLockLeavesNothingOfTheSubtreeLocked) {
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  mdcudfsr_cache_node* c[3] = {v.make(d, "c1"), v.make(d, "c2"), v.make(d, "c3")};
  ASSERT_EQ(0, mdcudfsr_cache_lock_node(c[2], MDCUDFSR_WAIT_FOREVER));
  std::atomic<int> result{-1};
  std::thread other([&] { result = mdcudfsr_cache_lock_node_recursive(d, 100); });
  clock.await_wait(1);
  clock.inner.advance(100);
  other.join();
  EXPECT_EQ(MDCUDFSR_ETIMEDOUT, result.load());
  EXPECT_TRUE(held_by_nobody(d));
  EXPECT_TRUE(held_by_nobody(c[0]));
  EXPECT_TRUE(held_by_nobody(c[1]));
  EXPECT_EQ(getThreadIdGnrc(), c[2]->lock_owner);
  mdcudfsr_cache_unlock_node(c[2]);

  // Whole again: the subtree is locked directory first and unlocked children first.
  ASSERT_EQ(0, mdcudfsr_cache_lock_node_recursive(d, 100));
  for (mdcudfsr_cache_node* n : {d, c[0], c[1], c[2]}) EXPECT_EQ(1, n->lock_count);
  mdcudfsr_cache_unlock_node_recursive(d);
  for (mdcudfsr_cache_node* n : {d, c[0], c[1], c[2]}) EXPECT_TRUE(held_by_nobody(n));
}

TEST_F(Locks, NodeOfAnUnknownKindIsNeverBlocked) {
  mdcudfsr_cache_node* n = v.make(v.root, "f");
  n->kind = 0;
  ASSERT_EQ(0, mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER));
  std::atomic<bool> done{false};
  std::atomic<int> result{-1};
  std::thread other([&] {
    result = mdcudfsr_cache_lock_node(n, 100);
    done = true;
  });
  while (!done.load() && clock.inner.waiters() == 0) std::this_thread::yield();
  if (!done.load()) {
    ADD_FAILURE() << "a node of kind 0 blocked its locker";
    clock.inner.advance(100);
  }
  other.join();
  EXPECT_EQ(0, result.load());
  EXPECT_TRUE(held_by_nobody(n));
  n->kind = MDCUDFSR_NODE_UDF;
}

TEST_F(Locks, LockOfAllNodesGivesUpAfterFiveAttemptsOrRetriesWithoutEnd) {
  mdcudfsr_cache_node* d = v.make(v.root, "d", true);
  mdcudfsr_cache_node* f = v.make(d, "f");
  ASSERT_EQ(0, mdcudfsr_cache_lock_node(f, MDCUDFSR_WAIT_FOREVER));
  std::atomic<int> result{-1};
  std::thread bounded([&] { result = mdcudfsr_cache_lock_all_nodes(&v.m, 500); });
  for (int attempt = 1; attempt <= 5; ++attempt) {
    clock.await_wait(attempt);
    clock.inner.advance(100);
  }
  bounded.join();
  EXPECT_EQ(MDCUDFSR_ETIMEDOUT, result.load());
  EXPECT_EQ(5, clock.waits.load());
  EXPECT_TRUE(held_by_nobody(v.root));
  EXPECT_TRUE(held_by_nobody(d));

  std::thread endless([&] {
    result = mdcudfsr_cache_lock_all_nodes(&v.m, MDCUDFSR_WAIT_FOREVER);
    mdcudfsr_cache_unlock_all_nodes(&v.m);
  });
  for (int attempt = 6; attempt <= 12; ++attempt) {
    clock.await_wait(attempt);
    clock.inner.advance(100);
  }
  clock.await_wait(13);
  mdcudfsr_cache_unlock_node(f);
  endless.join();
  EXPECT_EQ(0, result.load());
  for (mdcudfsr_cache_node* n : {v.root, d, f}) EXPECT_TRUE(held_by_nobody(n));
}

TEST_F(Locks, CreationGateAdmitsOneHolder) {
  ASSERT_EQ(0, mdcudfsr_cache_lock_udf_obj_creation(&v.m, MDCUDFSR_WAIT_FOREVER));
  std::atomic<int> endless{-1}, bounded{-1};
  std::thread waiter([&] {
    endless = mdcudfsr_cache_lock_udf_obj_creation(&v.m, MDCUDFSR_WAIT_FOREVER);
  });
  clock.await_wait(1);
  std::thread impatient([&] { bounded = mdcudfsr_cache_lock_udf_obj_creation(&v.m, 100); });
  while (clock.inner.waiters() < 2) std::this_thread::yield();
  clock.inner.advance(100);
  impatient.join();
  EXPECT_EQ(MDCUDFSR_ETIMEDOUT, bounded.load());
  EXPECT_EQ(-1, endless.load());
  mdcudfsr_cache_unlock_udf_obj_creation(&v.m);
  waiter.join();
  EXPECT_EQ(0, endless.load());
  EXPECT_EQ(1u, v.m.udf_obj_creation_flags & 1);
  mdcudfsr_cache_unlock_udf_obj_creation(&v.m);
  EXPECT_EQ(0u, v.m.udf_obj_creation_flags);
}
