// Recorders for the neighbours the volume flushes, the mount and the
// read-ahead reach: the disc lock of the vnode operations and the track
// controls, both built elsewhere, which the link options
// in CMakeLists.txt route here so that the cases choose their answers; and
// the stand-in of the visibility control, not built yet. Each records its
// call in vfs_test::g_i27_calls.
#include "i27_support.h"
#include "standins_i24.h"

#include "kelvfs/mdcudfsr_mount.h"

#include <condition_variable>
#include <mutex>

int wrap_disc_lock(mdcudfsr_mount* mnt, vfs_context_t)
    __asm__("__wrap__Z23mdcudfsr_vnop_disc_lockP14mdcudfsr_mountP11vfs_context");
int wrap_disc_unlock(mdcudfsr_mount* mnt, vfs_context_t)
    __asm__("__wrap__Z25mdcudfsr_vnop_disc_unlockP14mdcudfsr_mountP11vfs_context");
int wrap_write_next_track(mdcudfsr_mount*, vfs_context_t)
    __asm__("__wrap__Z35mdcudfsr_mdcfsctrl_write_next_trackP14mdcudfsr_mountP11vfs_context");
int wrap_mount_next_track(mdcudfsr_mount*, vfs_context_t, int* changed)
    __asm__("__wrap__Z35mdcudfsr_mdcfsctrl_mount_next_trackP14mdcudfsr_mountP11vfs_contextPi");

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

int wrap_disc_lock(mdcudfsr_mount* mnt, vfs_context_t) {
  vfs_test::record_i27(std::string("disc_lock ") + (mnt ? "mount" : "none"));
  vfs_test::g_disc_lock_gate.pass();
  return 0;
}
int wrap_disc_unlock(mdcudfsr_mount* mnt, vfs_context_t) {
  vfs_test::record_i27(std::string("disc_unlock ") + (mnt ? "mount" : "none"));
  return 0;
}

// ---- the track controls and the visibility control. Each records its call
// with its arguments and answers what the test set in g_i27_answers.
namespace vfs_test {
I27Answers g_i27_answers;
}

namespace {
int next_answer(std::vector<int>& queue, int otherwise) {
  if (queue.empty()) return otherwise;
  const int v = queue.front();
  queue.erase(queue.begin());
  return v;
}
}  // namespace

int wrap_write_next_track(mdcudfsr_mount*, vfs_context_t) {
  vfs_test::record_i27("write_next_track");
  return next_answer(vfs_test::g_i27_answers.next_track, 0);
}
int wrap_mount_next_track(mdcudfsr_mount*, vfs_context_t, int* changed) {
  vfs_test::record_i27(std::string("mount_next_track ") + (changed ? "changed" : "null"));
  const int mount_answer = vfs_test::mount_call("mount_next_track");
  if (changed) *changed = 0;
  return next_answer(vfs_test::g_i27_answers.next_track, mount_answer);
}
