// Generic operating-system calls of the engine (names ending in Gnrc), the
// worker-thread object and the shared UTF-8 name converter.
#pragma once

#include "kelhost/kern_types.h"
#include "platform/win32.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

std::uint64_t getThreadIdGnrc();  // the OS id of the calling thread, never 0
void memCopyGnrc(const void* source, void* destination, std::size_t length);  // source first
int memCompareGnrc(const void* a, const void* b, std::size_t length);
// 0 for an empty text or limit 0; else the index of the first terminator,
// or limit when none comes first.
std::size_t strLenGnrc(const char* text, std::size_t limit);
// Sleeps on the process clock.
void sleepGnrc(unsigned seconds);
// Clock 0 only (real time, millisecond resolution): 0; another clock sets the
// last error to ERROR_BAD_COMMAND and answers -1. While a test clock is
// installed (platform::ScopedClock), the time moves with that clock only.
int getTimeGnrc(int clock, struct timespec* ts);
// Monotonic milliseconds of the process clock x 1,000,000, stored and returned.
std::uint64_t getTickNsGnrc(std::uint64_t* out);
// Adds amount (negative to subtract) interlocked; the new value.
unsigned atomicIncGnrc(int amount, volatile std::uint32_t* counter);
unsigned atomicInc32Gnrc(volatile std::uint32_t* counter);
unsigned atomicDec32Gnrc(volatile std::uint32_t* counter);
bool atomicCas64Gnrc(std::uint64_t expected, std::uint64_t desired, volatile std::uint64_t* target);
int semCreateGnrc(const char* path);  // no named semaphores here: logs its error line, answers -1
bool semLockGnrc(const char* path);   // true
bool semUnlockGnrc(const char* path); // true
bool semDeleteGnrc(const char* path);

// Worker thread.
using mdcudfsr_thread_fn = void (*)(void* argument, std::uint64_t extra, ...);
struct mdcudfsr_thread {
  pthread_t handle;
  pthread_mutex_t mutex;
  std::int32_t running;
  mdcudfsr_thread_fn function;
  void* argument;
  std::uint64_t extra;
};
using mdcudfsr_thread_t = mdcudfsr_thread*;
// Not running; null when allocation fails.
mdcudfsr_thread_t mdcudfsr_thread_create(mdcudfsr_thread_fn function, void* argument);
// 0 started now; 1 already running, creation failed or null object.
int mdcudfsr_thread_start(mdcudfsr_thread_t thread);
// Joins a running thread, then frees the object; always 1.
int mdcudfsr_thread_destroy(mdcudfsr_thread_t thread);

// Process-wide UTF-8 <-> UTF-16 name converter of the cache agent.
class UtfConvert {
 public:
  static UtfConvert& instance();
  // Null gives "Invalid argument" and an empty string; invalid input is
  // replaced by U+FFFD.
  std::string toUTF8(const WCHAR* text);
  std::u16string toUCS4(const char* text);
  virtual ~UtfConvert();

 private:
  UtfConvert();
  UtfConvert(const UtfConvert&) = delete;
  UtfConvert& operator=(const UtfConvert&) = delete;
  std::string convert(void* handle, const char* in, std::size_t in_bytes);
  std::mutex mutex_;
  void* to_utf8_;
  void* to_utf16_;
};
