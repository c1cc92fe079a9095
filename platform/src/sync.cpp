#include "platform/sync.h"
#include "platform/thread_start.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace platform {

std::uint64_t SteadyClock::now_ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SteadyClock::wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                             std::uint64_t deadline_ms) {
  const std::uint64_t now = now_ms();
  if (deadline_ms <= now) return;
  cv.wait_for(lk, std::chrono::milliseconds(deadline_ms - now));
}

void SteadyClock::sleep_ms(std::uint64_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {
std::uint64_t real_wall_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}
}  // namespace

std::uint64_t Clock::wall_ms() { return real_wall_ms(); }

ManualClock::ManualClock(std::uint64_t start_ms) : now_(start_ms) { set_wall_ms(real_wall_ms()); }

void ManualClock::wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                             std::uint64_t deadline_ms) {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (now_.load() >= deadline_ms) return;
    waiting_.push_back(&cv);
    ++waits_begun_;
  }
  // advance() notifies registered waiters; the short real bound closes the
  // window between registering and blocking without costing real time.
  cv.wait_for(lk, std::chrono::milliseconds(2));
  std::lock_guard<std::mutex> g(mu_);
  auto it = std::find(waiting_.begin(), waiting_.end(), &cv);
  if (it != waiting_.end()) waiting_.erase(it);
}

void ManualClock::sleep_ms(std::uint64_t ms) {
  std::unique_lock<std::mutex> lk(mu_);
  const std::uint64_t deadline = now_.load() + ms;
  waiting_.push_back(&sleep_cv_);
  ++waits_begun_;
  while (now_.load() < deadline) sleep_cv_.wait_for(lk, std::chrono::milliseconds(2));
  auto it = std::find(waiting_.begin(), waiting_.end(), &sleep_cv_);
  if (it != waiting_.end()) waiting_.erase(it);
}

void ManualClock::advance(std::uint64_t ms) {
  std::lock_guard<std::mutex> g(mu_);
  now_ += ms;
  for (auto* cv : waiting_) cv->notify_all();
}

int ManualClock::waiters() const {
  std::lock_guard<std::mutex> g(mu_);
  return static_cast<int>(waiting_.size());
}

namespace {
// Never destroyed: a thread still running at process exit (an engine that
// ends without unmounting leaves its cache agent's) may still ask it.
SteadyClock& g_steady = *new SteadyClock;
std::atomic<Clock*> g_clock{nullptr};
}  // namespace

Clock& clock() {
  Clock* c = g_clock.load();
  return c ? *c : g_steady;
}
void set_clock(Clock* c) { g_clock.store(c); }

void Event::set() {
  std::lock_guard<std::mutex> g(mu_);
  signaled_ = true;
  if (manual_) cv_.notify_all(); else cv_.notify_one();
}
void Event::reset() {
  std::lock_guard<std::mutex> g(mu_);
  signaled_ = false;
}
void Event::pulse() {
  std::lock_guard<std::mutex> g(mu_);
  ++pulses_;
  signaled_ = false;
  cv_.notify_all();
}
bool Event::is_set() const {
  std::lock_guard<std::mutex> g(mu_);
  return signaled_;
}
DWORD Event::wait(DWORD timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  const std::uint64_t pulses = pulses_;
  const bool ok = clock().wait_for(lk, cv_, timeout_ms,
                                   [&] { return signaled_ || pulses_ != pulses; });
  if (!ok) return WAIT_TIMEOUT;
  if (signaled_ && !manual_) signaled_ = false;
  return WAIT_OBJECT_0;
}

Thread::~Thread() {
  if (t_.joinable()) t_.join();
}

void Thread::start(std::function<DWORD()> fn) {
  if (t_.joinable()) t_.join();
  done_ = std::make_shared<Event>(true, false);
  auto done = done_;
  t_ = start_thread([this, fn = std::move(fn), done] {
    id_.store(::GetCurrentThreadId());
    code_.store(fn());
    done->set();
  });
}

DWORD Thread::wait(DWORD timeout_ms) {
  if (!t_.joinable()) return WAIT_OBJECT_0;
  if (done_->wait(timeout_ms) != WAIT_OBJECT_0) return WAIT_TIMEOUT;
  t_.join();
  return WAIT_OBJECT_0;
}

void Thread::join() {
  if (t_.joinable()) t_.join();
}

}  // namespace platform

void Sleep(DWORD ms) { platform::clock().sleep_ms(ms); }
ULONGLONG GetTickCount64() { return platform::clock().now_ms(); }
DWORD GetTickCount() { return static_cast<DWORD>(platform::clock().now_ms()); }

void GetSystemTimeAsFileTime(FILETIME* ft) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  const ULONGLONG v = (static_cast<ULONGLONG>(ts.tv_sec) + kFileTimeUnixEpochSeconds) * 10000000ull +
                      static_cast<ULONGLONG>(ts.tv_nsec) / 100;
  *ft = U64ToFileTime(v);
}

static void tm_to_systemtime(const struct tm& t, long nsec, SYSTEMTIME* st) {
  st->wYear = static_cast<WORD>(t.tm_year + 1900);
  st->wMonth = static_cast<WORD>(t.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st->wDay = static_cast<WORD>(t.tm_mday);
  st->wHour = static_cast<WORD>(t.tm_hour);
  st->wMinute = static_cast<WORD>(t.tm_min);
  st->wSecond = static_cast<WORD>(t.tm_sec);
  st->wMilliseconds = static_cast<WORD>(nsec / 1000000);
}

void GetLocalTime(SYSTEMTIME* st) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm t;
  localtime_r(&ts.tv_sec, &t);
  tm_to_systemtime(t, ts.tv_nsec, st);
}

void GetSystemTime(SYSTEMTIME* st) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm t;
  gmtime_r(&ts.tv_sec, &t);
  tm_to_systemtime(t, ts.tv_nsec, st);
}

LONG GetTimeZoneBiasMinutes() {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  return static_cast<LONG>(-t.tm_gmtoff / 60);
}

namespace {
// The process's id and the calling thread's, each asked of the kernel once.
// A child made by fork() is a new process on a new thread whose copies are
// its parent's, so the child forgets both.
std::atomic<DWORD> g_process_id{0};
thread_local DWORD t_thread_id = 0;
void forget_ids() {
  g_process_id.store(0, std::memory_order_relaxed);
  t_thread_id = 0;
}
const int g_forget_at_fork = pthread_atfork(nullptr, nullptr, forget_ids);
}  // namespace

DWORD GetCurrentProcessId() {
  DWORD id = g_process_id.load(std::memory_order_relaxed);
  if (id == 0) g_process_id.store(id = static_cast<DWORD>(getpid()), std::memory_order_relaxed);
  return id;
}

DWORD GetCurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = static_cast<DWORD>(syscall(SYS_gettid));
  return t_thread_id;
}
