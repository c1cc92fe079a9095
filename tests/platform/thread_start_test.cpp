// Threads started through platform/thread_start.h have an alternate signal
// stack, so that a stack overflow on them can still be handled.
#include "platform/sync.h"
#include "platform/thread_start.h"
#include "support/stack_overflow.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

// The calling thread's alternate signal stack, or SS_DISABLE in ss_flags.
stack_t current_signal_stack() {
  stack_t ss{};
  ss.ss_flags = SS_DISABLE;
  sigaltstack(nullptr, &ss);
  return ss;
}

bool has_signal_stack() { return !(current_signal_stack().ss_flags & SS_DISABLE); }

void* record_signal_stack(void* out) {
  *static_cast<stack_t*>(out) = current_signal_stack();
  return out;
}

struct Starter {
  const char* name;
  std::function<stack_t()> run;  // starts a thread, returns its signal stack
};

std::vector<Starter> starters() {
  return {
      {"start_thread",
       [] {
         stack_t ss{};
         std::thread t = platform::start_thread([&ss] { ss = current_signal_stack(); });
         t.join();
         return ss;
       }},
      {"start_thread_with_arguments",
       [] {
         stack_t ss{};
         std::thread t = platform::start_thread([](stack_t* out) { record_signal_stack(out); }, &ss);
         t.join();
         return ss;
       }},
      {"create_thread",
       [] {
         stack_t ss{};
         pthread_t t;
         void* result = nullptr;
         EXPECT_EQ(platform::create_thread(&t, nullptr, record_signal_stack, &ss), 0);
         pthread_join(t, &result);
         EXPECT_EQ(result, &ss) << "the thread's result comes back";
         return ss;
       }},
      {"platform_Thread",
       [] {
         stack_t ss{};
         platform::Thread t([&ss]() -> DWORD { ss = current_signal_stack(); return 0; });
         t.join();
         return ss;
       }},
  };
}

TEST(ThreadStart, EveryWayGivesTheThreadAnAlternateSignalStack) {
  for (const Starter& s : starters()) {
    SCOPED_TRACE(s.name);
    const stack_t ss = s.run();
    EXPECT_FALSE(ss.ss_flags & SS_DISABLE);
    EXPECT_GE(ss.ss_size, static_cast<std::size_t>(MINSIGSTKSZ));
  }
}

TEST(ThreadStart, TheStackIsTakenBackAndAnExistingOneIsKept) {
  std::thread t = platform::start_thread([] {
    {
      const bool before = has_signal_stack();
      platform::SignalStack own;
      const stack_t inner = current_signal_stack();
      EXPECT_FALSE(inner.ss_flags & SS_DISABLE);
      {
        platform::SignalStack nested;  // the thread has one: it is kept
        EXPECT_EQ(current_signal_stack().ss_sp, inner.ss_sp);
      }
      EXPECT_EQ(current_signal_stack().ss_sp, inner.ss_sp) << "the nested one took nothing back";
      EXPECT_TRUE(before) << "the thread itself was started with one";
    }
  });
  t.join();
  std::thread bare([] {
    if (has_signal_stack()) return;  // a sanitizer's runtime gave the thread one
    {
      platform::SignalStack own;
      const stack_t ss = current_signal_stack();
      EXPECT_FALSE(ss.ss_flags & SS_DISABLE);
      EXPECT_EQ(ss.ss_size, platform::SignalStack::size());
    }
    EXPECT_FALSE(has_signal_stack()) << "taken back at the end of its scope";
  });
  bare.join();
}

void on_overflow(int) {
  static const char text[] = "handled on the alternate stack\n";
  (void)!write(2, text, sizeof text - 1);
  _exit(0);
}

// In a child process: a SIGSEGV handler like the crash handler's, then a
// stack overflow on a thread started through the helper.
void overflow_on_a_started_thread() {
  struct sigaction sa {};
  sa.sa_handler = on_overflow;
  sa.sa_flags = SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGSEGV, &sa, nullptr);
  std::thread t = platform::start_thread([] { kel_test::overflow_stack(); });
  t.join();
  _exit(3);
}

TEST(ThreadStartDeathTest, AStackOverflowOnAStartedThreadReachesTheHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(overflow_on_a_started_thread(), ::testing::ExitedWithCode(0),
              "handled on the alternate stack");
}

}  // namespace
