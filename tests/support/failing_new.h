// The engine's UDF code allocates with the non-throwing new; a test
// executable that wants to make one of those allocations fail replaces that
// operator with one line:
//   void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
//     return kel_test::failing_nothrow_new(n);
//   }
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

namespace kel_test {

// Count-down to the failing allocation: n > 0 makes the n-th next one fail.
inline std::atomic<int>& nothrow_new_failure() {
  static std::atomic<int> countdown{0};
  return countdown;
}

inline void fail_nothrow_new(int nth) { nothrow_new_failure().store(nth); }

inline void* failing_nothrow_new(std::size_t size) noexcept {
  std::atomic<int>& countdown = nothrow_new_failure();
  if (countdown.load() > 0 && countdown.fetch_sub(1) == 1) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace kel_test
