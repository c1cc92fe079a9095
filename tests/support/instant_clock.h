// A clock for tests on which waits and sleeps return at once: a wait moves
// the time on to its deadline, a sleep by its length.
#pragma once

#include "platform/sync.h"

#include <atomic>
#include <cstdint>

namespace kel_test {

class InstantClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_.load(); }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&, std::uint64_t deadline_ms) override {
    if (deadline_ms > now_.load()) now_.store(deadline_ms);
  }
  void sleep_ms(std::uint64_t ms) override { now_ += ms; }
  void advance(std::uint64_t ms) { now_ += ms; }

 private:
  std::atomic<std::uint64_t> now_{1796811630000ull};
};

}  // namespace kel_test
