// Waiting in tests for another thread to reach a state, without sleeping.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace kel_test {

// Yields until done() holds; false when it still does not after a minute of
// real time. Bounded by time, not by a count of yields: on a loaded machine
// the other thread may not run for a while, and a count runs out first.
template <class Pred>
bool settles(Pred done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::yield();
  }
  return done();
}

// True while the thread tid of this process sleeps in a futex wait (a mutex,
// condition variable or clock wait); false when it runs or cannot be read.
inline bool sleeps_in_wait(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long nr = -1;
  return (in >> nr) && nr == SYS_futex;
}

}  // namespace kel_test
