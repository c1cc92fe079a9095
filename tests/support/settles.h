// Waiting in tests for another thread to reach a state, without sleeping.
#pragma once

#include <chrono>
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

}  // namespace kel_test
