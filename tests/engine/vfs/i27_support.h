// What the stand-ins of standins_i27.cpp record, and the gate that can hold
// the disc-lock stand-in.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mdcudfsr_mount;

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

// Answers of the stand-ins: queued results (0 once the queue is empty).
struct I27Answers {
  std::vector<int> next_track;
};
extern I27Answers g_i27_answers;

}  // namespace vfs_test
