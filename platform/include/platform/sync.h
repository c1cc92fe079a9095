// Clocks, locks, events and threads.
//
// Every wait of the system that can last seconds goes through the process
// clock (platform::clock()). Tests install a platform::ManualClock and advance
// it, so a 30-second time-out elapses without sleeping.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// A monotonic millisecond clock with waits measured on it.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start.
  virtual std::uint64_t now_ms() = 0;
  // Blocks until cv is notified or the clock reaches deadline_ms (spurious
  // wake-ups allowed, as with std::condition_variable). lk is held on entry
  // and on return.
  virtual void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                          std::uint64_t deadline_ms) = 0;
  // Sleeps until the clock reaches now + ms.
  virtual void sleep_ms(std::uint64_t ms) = 0;
  // Calendar time: milliseconds since 1970-01-01 00:00 UTC. By default the
  // system's real-time clock.
  virtual std::uint64_t wall_ms();

  // Waits until pred() holds or timeout_ms elapse on this clock; INFINITE
  // waits without limit. Returns pred().
  template <class Pred>
  bool wait_for(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, DWORD timeout_ms,
                Pred pred) {
    if (timeout_ms == INFINITE) {
      while (!pred()) cv.wait(lk);
      return true;
    }
    const std::uint64_t deadline = now_ms() + timeout_ms;
    while (!pred()) {
      if (now_ms() >= deadline) return pred();
      wait_until(lk, cv, deadline);
    }
    return true;
  }
};

// The real steady clock.
class SteadyClock final : public Clock {
 public:
  std::uint64_t now_ms() override;
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                  std::uint64_t deadline_ms) override;
  void sleep_ms(std::uint64_t ms) override;
};

// A clock that moves only when advance() is called. Waiters on it wake when
// the clock passes their deadline.
class ManualClock final : public Clock {
 public:
  // The calendar starts at the real time of construction unless set.
  explicit ManualClock(std::uint64_t start_ms = 1000000);
  std::uint64_t now_ms() override { return now_.load(); }
  // Calendar time moves with advance() only.
  std::uint64_t wall_ms() override { return wall_offset_.load() + now_.load(); }
  void set_wall_ms(std::uint64_t wall) { wall_offset_ = wall - now_.load(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                  std::uint64_t deadline_ms) override;
  void sleep_ms(std::uint64_t ms) override;
  void advance(std::uint64_t ms);
  // Number of threads currently blocked in a wait or sleep on this clock.
  int waiters() const;
  // Number of waits begun so far. A wait begun after an advance() has seen
  // the advanced time and found its deadline still ahead.
  std::uint64_t waits_begun() const { return waits_begun_.load(); }

 private:
  std::atomic<std::uint64_t> now_;
  std::atomic<std::uint64_t> waits_begun_{0};
  std::atomic<std::uint64_t> wall_offset_;  // calendar minus now_, modulo 2^64
  mutable std::mutex mu_;
  std::vector<std::condition_variable*> waiting_;
  std::condition_variable sleep_cv_;
};

// The process clock; defaults to a SteadyClock. set_clock(nullptr) restores it.
Clock& clock();
void set_clock(Clock* c);

// Installs a clock for the lifetime of the object (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& c) { set_clock(&c); }
  ~ScopedClock() { set_clock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

// Recursive lock, as a Win32 critical section.
class CriticalSection {
 public:
  void enter() { mu_.lock(); }
  void leave() { mu_.unlock(); }
  bool try_enter() { return mu_.try_lock(); }
  void lock() { enter(); }
  void unlock() { leave(); }
  bool try_lock() { return try_enter(); }

 private:
  std::recursive_mutex mu_;
};

// Manual- or auto-reset event.
class Event {
 public:
  explicit Event(bool manual_reset = true, bool initial = false)
      : manual_(manual_reset), signaled_(initial) {}
  void set();
  void reset();
  // Wakes current waiters; leaves the event non-signalled (PulseEvent).
  void pulse();
  bool is_set() const;
  // WAIT_OBJECT_0 or WAIT_TIMEOUT; the time-out runs on the process clock.
  DWORD wait(DWORD timeout_ms = INFINITE);

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool manual_;
  bool signaled_;
  std::uint64_t pulses_ = 0;
};

// A joinable thread with a DWORD result.
class Thread {
 public:
  Thread() = default;
  explicit Thread(std::function<DWORD()> fn) { start(std::move(fn)); }
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void start(std::function<DWORD()> fn);
  bool joinable() const { return t_.joinable(); }
  // Waits for the thread; WAIT_OBJECT_0 or WAIT_TIMEOUT (process clock).
  DWORD wait(DWORD timeout_ms = INFINITE);
  void join();
  DWORD exit_code() const { return code_.load(); }
  bool finished() const { return done_->is_set(); }
  DWORD id() const { return id_.load(); }

 private:
  std::thread t_;
  std::atomic<DWORD> code_{0};
  std::atomic<DWORD> id_{0};
  std::shared_ptr<Event> done_ = std::make_shared<Event>(true, false);
};

}  // namespace platform

// Win32-style free functions.
void Sleep(DWORD ms);                      // on the process clock
ULONGLONG GetTickCount64();                // process clock, milliseconds
DWORD GetTickCount();
void GetSystemTimeAsFileTime(FILETIME* ft);
void GetLocalTime(SYSTEMTIME* st);
void GetSystemTime(SYSTEMTIME* st);
// Minutes to add to local time to get UTC (Windows TIME_ZONE_INFORMATION.Bias).
LONG GetTimeZoneBiasMinutes();
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
