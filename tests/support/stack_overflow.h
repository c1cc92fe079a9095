// A call that overflows the calling thread's stack, for tests of what
// handles the SIGSEGV it raises.
#pragma once

namespace kel_test {

// Cleared never; read at every level so that the compiler cannot see an
// endless recursion.
inline volatile bool g_deeper = true;

// Recurses, 1 KiB a level, until the stack is gone.
inline int overflow_stack(int n = 0) {
  volatile char pad[1024];
  pad[0] = static_cast<char>(n);
  if (!g_deeper) return pad[0];
  return overflow_stack(n + 1) + pad[0];
}

}  // namespace kel_test
