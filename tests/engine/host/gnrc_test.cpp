#include "kelhost/gnrc.h"
#include "kelhost/kern.h"

#include "platform/sync.h"
#include "support_fake_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

namespace {

TEST(Gnrc, StrLen) {
  EXPECT_EQ(strLenGnrc("abc", 10), 3u);
  EXPECT_EQ(strLenGnrc("abc", 2), 2u);
  EXPECT_EQ(strLenGnrc("abc", 3), 3u);
  EXPECT_EQ(strLenGnrc("", 10), 0u);
  EXPECT_EQ(strLenGnrc("abc", 0), 0u);
  EXPECT_EQ(strLenGnrc("a", 1), 1u);
}

TEST(Gnrc, MemoryHelpers) {
  char src[] = "12345", dst[6] = {};
  memCopyGnrc(src, dst, 6);  // source first
  EXPECT_STREQ(dst, "12345");
  EXPECT_EQ(memCompareGnrc("ab", "ab", 2), 0);
  EXPECT_LT(memCompareGnrc("aa", "ab", 2), 0);
  EXPECT_NE(getThreadIdGnrc(), 0u);
}

TEST(Gnrc, TimeRunsOnTheProcessClock) {
  platform::ManualClock clock(5000);
  platform::ScopedClock scoped(clock);
  timespec t0{}, t1{};
  ASSERT_EQ(getTimeGnrc(0, &t0), 0);
  EXPECT_EQ(t0.tv_nsec % 1000000, 0);  // millisecond resolution
  clock.advance(61500);
  ASSERT_EQ(getTimeGnrc(0, &t1), 0);
  const long long ms0 = t0.tv_sec * 1000LL + t0.tv_nsec / 1000000;
  const long long ms1 = t1.tv_sec * 1000LL + t1.tv_nsec / 1000000;
  EXPECT_EQ(ms1 - ms0, 61500);
  EXPECT_GT(t0.tv_sec, 1700000000);  // real time, seconds since 1970

  std::uint64_t stored = 0;
  EXPECT_EQ(getTickNsGnrc(&stored), clock.now_ms() * 1000000ull);
  EXPECT_EQ(stored, clock.now_ms() * 1000000ull);

  std::uint64_t deadline = 0;
  clock_absolutetime_interval_to_deadline(250, &deadline);
  EXPECT_EQ(deadline, clock.now_ms() * 1000000ull + 250);
  std::uint64_t abs = 0;
  nanoseconds_to_absolutetime(77, &abs);
  EXPECT_EQ(abs, 77u);
  absolutetime_to_nanoseconds(88, &abs);
  EXPECT_EQ(abs, 88u);

  timespec n{};
  nanotime(&n);
  EXPECT_EQ(n.tv_sec, t1.tv_sec);
  clock_sec_t s = 0;
  clock_usec_t us = 1;
  clock_get_system_microtime(&s, &us);
  EXPECT_EQ(s, static_cast<clock_sec_t>(t1.tv_sec));
  EXPECT_EQ(us, static_cast<clock_usec_t>(t1.tv_nsec / 1000));
}

TEST(Gnrc, WallTimeIsTheInstalledClocksCalendar) {
  // Each clock installed in turn answers with its own calendar.
  struct Case {
    std::uint64_t start_ms, wall_ms;
  } cases[] = {{5000, 1700000000123ull}, {0, 2208988800000ull}, {1000000, 86400000ull}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wall_ms);
    platform::ManualClock clock(c.start_ms);
    clock.set_wall_ms(c.wall_ms);
    platform::ScopedClock scoped(clock);
    for (std::uint64_t step : {0ull, 1500ull}) {
      clock.advance(step);
      timespec t{};
      ASSERT_EQ(getTimeGnrc(0, &t), 0);
      const std::uint64_t want = clock.wall_ms();
      EXPECT_EQ(static_cast<std::uint64_t>(t.tv_sec), want / 1000);
      EXPECT_EQ(static_cast<std::uint64_t>(t.tv_nsec), want % 1000 * 1000000);
    }
    EXPECT_EQ(clock.wall_ms(), c.wall_ms + 1500);
  }
}

TEST(Gnrc, TickCountDoesNotWrapAt32Bits) {
  platform::ManualClock clock(0x1'0000'0005ull);  // past 2^32 milliseconds
  platform::ScopedClock scoped(clock);
  EXPECT_EQ(getTickNsGnrc(nullptr), 0x1'0000'0005ull * 1000000ull);
}

TEST(Gnrc, TimeAfter2038KeepsItsSeconds) {
  static_assert(sizeof(timespec{}.tv_sec) == 8);
  platform::ManualClock clock(0);
  platform::ScopedClock scoped(clock);
  timespec now{};
  getTimeGnrc(0, &now);
  // Move the wall clock past 2038-01-19 (2^31 seconds).
  const std::uint64_t to_2040 = (2208988800ull - static_cast<std::uint64_t>(now.tv_sec)) * 1000;
  clock.advance(to_2040);
  timespec later{};
  ASSERT_EQ(getTimeGnrc(0, &later), 0);
  EXPECT_EQ(later.tv_sec, 2208988800);
}

TEST(Gnrc, OtherClockIsABadCommand) {
  SetLastError(0);
  timespec t{};
  EXPECT_EQ(getTimeGnrc(1, &t), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
}

TEST(Gnrc, SleepCostsNoRealTime) {
  platform::ManualClock clock(1000);
  platform::ScopedClock scoped(clock);
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    sleepGnrc(1);
    woke = true;
  });
  while (clock.waiters() == 0) std::this_thread::yield();
  EXPECT_FALSE(woke.load());
  clock.advance(999);
  EXPECT_FALSE(woke.load());
  clock.advance(1);
  sleeper.join();
  EXPECT_TRUE(woke.load());
}

TEST(Gnrc, Atomics) {
  volatile std::uint32_t c = 10;
  EXPECT_EQ(atomicIncGnrc(5, &c), 15u);
  EXPECT_EQ(atomicIncGnrc(-3, &c), 12u);
  EXPECT_EQ(atomicInc32Gnrc(&c), 13u);
  EXPECT_EQ(atomicDec32Gnrc(&c), 12u);
  volatile std::uint64_t w = 7;
  EXPECT_FALSE(atomicCas64Gnrc(8, 9, &w));
  EXPECT_EQ(w, 7u);
  EXPECT_TRUE(atomicCas64Gnrc(7, 0x1'0000'0000ull, &w));
  EXPECT_EQ(w, 0x1'0000'0000ull);

  volatile std::uint32_t shared = 0;
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      for (int k = 0; k < 10000; ++k) atomicIncGnrc(2, &shared);
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(shared, 80000u);
}

TEST(Gnrc, Semaphores) {
  fakelog::reset();
  EXPECT_EQ(semCreateGnrc("/x"), -1);
  EXPECT_TRUE(fakelog::contains("CONF{ERR_}"));
  EXPECT_TRUE(fakelog::contains("semCreateGnrc not implemented"));
  EXPECT_TRUE(semLockGnrc("/x"));
  EXPECT_TRUE(semUnlockGnrc("/x"));
  EXPECT_FALSE(semDeleteGnrc(nullptr));
  EXPECT_TRUE(fakelog::contains("semaphore Delete[Start] NG Invalid Parameter. filePath == NULL"));
  EXPECT_TRUE(semDeleteGnrc("/y"));
  EXPECT_TRUE(fakelog::contains("semaphore Delete[OK] filePath[/y]"));
}

TEST(Names, EncodeResults) {
  const std::uint16_t two[] = {u'a', 0x00E9};  // "aé" = 3 UTF-8 bytes
  std::uint8_t out[8];
  std::size_t n = 0;
  ASSERT_EQ(utf8_encodestr(two, 4, out, &n, sizeof out, '/', 0), 0);
  EXPECT_EQ(n, 3u);
  EXPECT_STREQ(reinterpret_cast<char*>(out), "a\xc3\xa9");

  // Exactly full without a terminator: 7.
  const std::uint16_t ab[] = {u'a', u'b'};
  EXPECT_EQ(utf8_encodestr(ab, 4, out, &n, 2, '/', 0), 7);
  // Too small to hold the characters at all: 7 as well, not an illegal sequence.
  EXPECT_EQ(utf8_encodestr(two, 4, out, &n, 2, '/', 0), 7);
  // A lone surrogate is illegal.
  const std::uint16_t bad[] = {u'a', 0xD800};
  fakelog::reset();
  EXPECT_EQ(utf8_encodestr(bad, 4, out, &n, sizeof out, '/', 0), 84);
  EXPECT_TRUE(fakelog::contains("Illegal byte sequence"));
  // A terminator in the input is kept as the last byte.
  const std::uint16_t z[] = {u'q', 0};
  ASSERT_EQ(utf8_encodestr(z, 4, out, &n, 2, '/', 0), 0);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(out[1], 0);
  // Empty input gives an empty terminated name.
  out[0] = 'x';
  EXPECT_EQ(utf8_encodestr(ab, 0, out, &n, 4, '/', 0), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(utf8_encodestr(nullptr, 4, out, &n, 4, '/', 0), 22);
  EXPECT_EQ(utf8_encodestr(ab, 4, out, nullptr, 4, '/', 0), 22);
}

TEST(Names, DecodeResults) {
  std::uint16_t out[8];
  std::size_t n = 0;
  const std::uint8_t s[] = {'x', 0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80};  // x é U+1F600
  ASSERT_EQ(utf8_decodestr(s, sizeof s, out, &n, sizeof out, '/', 0), 0);
  EXPECT_EQ(n, 8u);  // four UTF-16 units
  EXPECT_EQ(out[0], u'x');
  EXPECT_EQ(out[1], 0x00E9);
  EXPECT_EQ(out[2], 0xD83D);
  EXPECT_EQ(out[3], 0xDE00);

  const std::uint8_t bad[] = {'a', 0xFF, 'b'};
  EXPECT_EQ(utf8_decodestr(bad, sizeof bad, out, &n, sizeof out, '/', 0), 84);
  EXPECT_EQ(utf8_decodestr(s, sizeof s, out, &n, 4, '/', 0), 7);
  EXPECT_EQ(utf8_decodestr(nullptr, 3, out, &n, 8, '/', 0), 22);
  EXPECT_EQ(utf8_decodestr(s, 0, out, &n, 8, '/', 0), 0);
  EXPECT_EQ(n, 0u);
}

TEST(Names, UtfConvertRoundTrip) {
  UtfConvert& c = UtfConvert::instance();
  EXPECT_EQ(&c, &UtfConvert::instance());
  EXPECT_EQ(c.toUTF8(u"dir/\u00e9\U0001F600"), "dir/\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(c.toUCS4("dir/\xc3\xa9\xf0\x9f\x98\x80"), u"dir/\u00e9\U0001F600");
  EXPECT_EQ(c.toUCS4("a\xff" "b"), u"a\uFFFDb");
  EXPECT_EQ(c.toUTF8(u""), "");
  fakelog::reset();
  EXPECT_EQ(c.toUTF8(nullptr), "");
  EXPECT_EQ(c.toUCS4(nullptr), u"");
  EXPECT_TRUE(fakelog::contains("Invalid argument"));
  const std::string long_text(5000, 'z');
  EXPECT_EQ(c.toUCS4(long_text.c_str()).size(), 5000u);
}

// ---- worker thread ----

struct Gate {
  std::promise<void> entered;
  std::shared_future<void> release;
  std::atomic<int> runs{0};
  std::atomic<std::uint64_t> extra{99};
};

void gated_body(void* argument, std::uint64_t extra, ...) {
  Gate* g = static_cast<Gate*>(argument);
  g->extra = extra;
  if (g->runs.fetch_add(1) == 0) g->entered.set_value();
  g->release.wait();
}

TEST(WorkerThread, StartsOnceAndJoins) {
  std::promise<void> release;
  Gate gate;
  gate.release = release.get_future().share();
  mdcudfsr_thread_t t = mdcudfsr_thread_create(gated_body, &gate);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->running, 0);
  EXPECT_EQ(mdcudfsr_thread_start(t), 0);
  gate.entered.get_future().wait();
  EXPECT_EQ(mdcudfsr_thread_start(t), 1);  // already running
  release.set_value();
  EXPECT_EQ(mdcudfsr_thread_destroy(t), 1);  // joins
  EXPECT_EQ(gate.runs.load(), 1);
  EXPECT_EQ(gate.extra.load(), 0u);
}

std::atomic<int> g_quick_runs{0};
void quick_body(void*, std::uint64_t, ...) { g_quick_runs.fetch_add(1); }

TEST(WorkerThread, FinishedThreadCanRunAgainAndIsReaped) {
  g_quick_runs = 0;
  mdcudfsr_thread_t t = mdcudfsr_thread_create(quick_body, nullptr);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(mdcudfsr_thread_start(t), 0);
  for (;;) {
    pthread_mutex_lock(&t->mutex);
    const int running = t->running;
    pthread_mutex_unlock(&t->mutex);
    if (running == 0) break;
    std::this_thread::yield();
  }
  EXPECT_EQ(mdcudfsr_thread_start(t), 0);
  EXPECT_EQ(mdcudfsr_thread_destroy(t), 1);
  EXPECT_EQ(g_quick_runs.load(), 2);
}

TEST(WorkerThread, NullAndUnstarted) {
  EXPECT_EQ(mdcudfsr_thread_start(nullptr), 1);
  EXPECT_EQ(mdcudfsr_thread_destroy(nullptr), 1);
  mdcudfsr_thread_t t = mdcudfsr_thread_create(quick_body, nullptr);
  EXPECT_EQ(mdcudfsr_thread_destroy(t), 1);  // never started: nothing to join
}

}  // namespace
