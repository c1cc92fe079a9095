// What the stand-ins of standins_i27.cpp record, and the gate that can hold
// the disc-lock stand-in.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vfs_test {

void record_i27(const std::string& call);
std::vector<std::string> i27_calls();
void clear_i27_calls();

// While closed, the disc-lock stand-in blocks its caller.
struct DiscLockGate {
  void close();
  void open();
  void pass();
  int waiters();
  std::mutex mu;
  std::condition_variable cv;
  bool closed = false;
  int waiting = 0;
};
extern DiscLockGate g_disc_lock_gate;

}  // namespace vfs_test
