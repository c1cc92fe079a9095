#include "platform/codepage.h"
#include "platform/process.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

TEST(LastError, IsPerThread) {
  SetLastError(42);
  DWORD other = 7;
  std::thread t([&] { other = GetLastError(); SetLastError(99); });
  t.join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 42u);
}

TEST(HResult, FromWin32) {
  EXPECT_EQ(static_cast<DWORD>(HRESULT_FROM_WIN32(1359)), 0x8007054Fu);
  EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
  EXPECT_EQ(HRESULT_CODE(HRESULT_FROM_WIN32(87)), 87u);
}

TEST(CodePage, NonBmpRoundTrip) {
  const std::string utf8 = "a\xF0\x9F\x98\x80z\xE6\x97\xA5";  // a, U+1F600, z, U+65E5
  std::u16string w = platform::utf8_to_utf16(utf8);
  ASSERT_EQ(w.size(), 5u);
  EXPECT_EQ(w[1], 0xD83D);
  EXPECT_EQ(w[2], 0xDE00);
  EXPECT_EQ(platform::utf16_to_utf8(w), utf8);
}

TEST(CodePage, RequiredSizeAndTerminator) {
  const char* s = "h\xC3\xA9llo";
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0), 6);  // with the NUL
  WCHAR buf[6];
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, -1, buf, 6), 6);
  EXPECT_EQ(buf[1], 0xE9);
  EXPECT_EQ(buf[5], 0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, -1, buf, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  char out[8];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, buf, -1, nullptr, 0), 7);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, buf, -1, out, 8), 7);
  EXPECT_STREQ(out, s);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, buf, -1, out, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(CodePage, InvalidInputReported) {
  struct Case { const char* bytes; int len; } cases[] = {
      {"\xC3", 1},              // truncated
      {"\xC0\xAF", 2},          // overlong
      {"\xED\xA0\x80", 3},      // encoded surrogate
      {"\xF4\x90\x80\x80", 4},  // beyond U+10FFFF
      {"\xFF", 1},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes, c.len, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    WCHAR w[4];
    int n = MultiByteToWideChar(CP_UTF8, 0, c.bytes, c.len, w, 4);
    ASSERT_GE(n, 1);
    EXPECT_EQ(w[0], 0xFFFD);
  }
  const WCHAR lone[] = {u'a', 0xD800, u'b'};
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  bool ok = true;
  EXPECT_EQ(platform::utf16_to_utf8(std::u16string_view(lone, 3), &ok), "a\xEF\xBF\xBD" "b");
  EXPECT_FALSE(ok);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Clock, EventTimesOutOnManualClockWithoutSleeping) {
  platform::ManualClock mc;
  platform::ScopedClock scoped(mc);
  platform::Event ev(true, false);
  std::atomic<DWORD> result{12345};
  std::thread t([&] { result = ev.wait(30000); });
  while (mc.waiters() == 0) std::this_thread::yield();
  mc.advance(29999);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(result.load(), 12345u);  // not yet
  mc.advance(1);
  t.join();
  EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Clock, EventSetWakesWaiterAndAutoResetConsumes) {
  platform::ManualClock mc;
  platform::ScopedClock scoped(mc);
  platform::Event ev(false, false);
  std::atomic<DWORD> result{12345};
  std::thread t([&] { result = ev.wait(5000); });
  while (mc.waiters() == 0) std::this_thread::yield();
  ev.set();
  t.join();
  EXPECT_EQ(result.load(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(ev.is_set());
  EXPECT_EQ(ev.wait(0), static_cast<DWORD>(WAIT_TIMEOUT));
  platform::Event manual(true, true);
  EXPECT_EQ(manual.wait(0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(manual.is_set());
}

TEST(Clock, SleepAndTickCountFollowManualClock) {
  platform::ManualClock mc(5000);
  platform::ScopedClock scoped(mc);
  EXPECT_EQ(GetTickCount64(), 5000u);
  std::atomic<bool> woke{false};
  std::thread t([&] { Sleep(60000); woke = true; });
  while (mc.waiters() == 0) std::this_thread::yield();
  mc.advance(59000);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(woke.load());
  mc.advance(1000);
  t.join();
  EXPECT_TRUE(woke.load());
  EXPECT_EQ(GetTickCount64(), 65000u);
}

TEST(Sync, CriticalSectionIsRecursive) {
  platform::CriticalSection cs;
  cs.enter();
  EXPECT_TRUE(cs.try_enter());
  cs.leave();
  std::atomic<bool> got{true};
  std::thread t([&] { got = cs.try_enter(); if (got) cs.leave(); });
  t.join();
  EXPECT_FALSE(got.load());
  cs.leave();
}

TEST(Sync, ThreadExitCodeAndTimedWait) {
  platform::ManualClock mc;
  platform::ScopedClock scoped(mc);
  platform::Event go(true, false);
  platform::Thread th([&]() -> DWORD { go.wait(); return 77; });
  std::atomic<DWORD> w{0};
  std::thread waiter([&] { w = th.wait(1000); });
  while (mc.waiters() == 0) std::this_thread::yield();
  mc.advance(1000);
  waiter.join();
  EXPECT_EQ(w.load(), static_cast<DWORD>(WAIT_TIMEOUT));
  go.set();
  EXPECT_EQ(th.wait(), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(th.exit_code(), 77u);
  EXPECT_NE(th.id(), 0u);
}

TEST(Time, SystemTimeIsAfter2020AndBiasIsSane) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  EXPECT_GT(FileTimeToU64(ft), (kFileTimeUnixEpochSeconds + 1577836800ull) * 10000000ull);
  LONG bias = GetTimeZoneBiasMinutes();
  EXPECT_GE(bias, -14 * 60);
  EXPECT_LE(bias, 12 * 60);
}

TEST(Process, SplitCommandLine) {
  auto a = platform::split_command_line(R"(prog -p 12 "C:\dir with space\x" a\"b "c\\" )");
  ASSERT_EQ(a.size(), 6u);
  EXPECT_EQ(a[0], "prog");
  EXPECT_EQ(a[3], R"(C:\dir with space\x)");
  EXPECT_EQ(a[4], "a\"b");
  EXPECT_EQ(a[5], "c\\");
}

TEST(Process, RunReportsExitCodeAndMissingProgram) {
  DWORD code = 0;
  ASSERT_TRUE(platform::run_process("sh -c \"exit 3\"", &code));
  EXPECT_EQ(code, 3u);
  EXPECT_FALSE(platform::run_process("/nonexistent/program-xyz", &code));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(GetCurrentProcessId(), 0u);
  EXPECT_NE(GetCurrentThreadId(), 0u);
}

// The ids are the kernel's ids of the calling process and thread: another
// thread has its own, and a child made by fork() has its own too, not its
// parent's.
TEST(Process, IdsAreTheKernelsIdsOfTheCallingProcessAndThread) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
  const DWORD mine = GetCurrentThreadId();
  EXPECT_EQ(mine, static_cast<DWORD>(::syscall(SYS_gettid)));
  EXPECT_EQ(GetCurrentThreadId(), mine);
  DWORD other = 0, other_kernel = 0;
  std::thread t([&] { other = GetCurrentThreadId(); other_kernel = static_cast<DWORD>(::syscall(SYS_gettid)); });
  t.join();
  EXPECT_EQ(other, other_kernel);
  EXPECT_NE(other, mine);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    _exit(GetCurrentThreadId() == static_cast<DWORD>(::syscall(SYS_gettid)) &&
                  GetCurrentProcessId() == static_cast<DWORD>(::getpid())
              ? 0
              : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw its parent's process or thread id";
}

}  // namespace
