// Recording stand-ins for the neighbours the volume flushes and the
// read-ahead reach that are not built yet: the disc lock of the vnode
// operations. Each records its call in vfs_test::g_i27_calls.
#include "i27_support.h"

#include "kelvfs/mdcudfsr_mount.h"

#include <condition_variable>
#include <mutex>

namespace vfs_test {
std::vector<std::string> g_i27_calls;
std::mutex g_i27_mu;
DiscLockGate g_disc_lock_gate;

void record_i27(const std::string& call) {
  std::lock_guard<std::mutex> lk(g_i27_mu);
  g_i27_calls.push_back(call);
}
std::vector<std::string> i27_calls() {
  std::lock_guard<std::mutex> lk(g_i27_mu);
  return g_i27_calls;
}
void clear_i27_calls() {
  std::lock_guard<std::mutex> lk(g_i27_mu);
  g_i27_calls.clear();
}

void DiscLockGate::close() {
  std::lock_guard<std::mutex> lk(mu);
  closed = true;
}
void DiscLockGate::open() {
  std::lock_guard<std::mutex> lk(mu);
  closed = false;
  cv.notify_all();
}
void DiscLockGate::pass() {
  std::unique_lock<std::mutex> lk(mu);
  ++waiting;
  cv.wait(lk, [&] { return !closed; });
  --waiting;
}
int DiscLockGate::waiters() {
  std::lock_guard<std::mutex> lk(mu);
  return waiting;
}
}  // namespace vfs_test

int mdcudfsr_vnop_disc_lock(mdcudfsr_mount* mnt, vfs_context_t) {
  vfs_test::record_i27(std::string("disc_lock ") + (mnt ? "mount" : "none"));
  vfs_test::g_disc_lock_gate.pass();
  return 0;
}
int mdcudfsr_vnop_disc_unlock(mdcudfsr_mount* mnt, vfs_context_t) {
  vfs_test::record_i27(std::string("disc_unlock ") + (mnt ? "mount" : "none"));
  return 0;
}
