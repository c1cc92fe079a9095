// Recording fakes put in front of the real volume flushes (link options in
// CMakeLists.txt route the calls here): the fixtures of the modes and track
// controls are not whole mounts the real flushes can write. The metadata
// flushes of the modes go to vfs_test::g_flush_calls, those of the track
// controls and the all-erase rebuild to fsctl_test::g_i31_calls; each
// answers 0 or the failure its test set.
#include "flush_recorder.h"

#include "fsctl_support.h"

#include "kelhost/kern_types.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace vfs_test {
std::vector<std::string> g_flush_calls;
int g_flush_result = 0;
std::function<void(mdcudfsr_mount*)> g_flush_hook;
}  // namespace vfs_test

namespace fsctl_test {
std::vector<std::string> g_i31_calls;
int g_i31_result = 0;
int g_i31_flush_result = 0;
int g_i31_flush_failures = 0;
int g_i31_skip = 0;
}  // namespace fsctl_test

#define KEL_FLUSH_NAME(mangled) __asm__("__wrap__Z" mangled)

int wrap_flush(mdcudfsr_mount*, int, int, int, vfs_context_t, int) KEL_FLUSH_NAME(
    "38mdcudfsr_flush_metadata_and_descriptorP14mdcudfsr_mountiiiP11vfs_contexti");
int wrap_flush_re(mdcudfsr_mount*, int, int, int, vfs_context_t, int, int) KEL_FLUSH_NAME(
    "41mdcudfsr_flush_metadata_and_descriptor_reP14mdcudfsr_mountiiiP11vfs_contextii");
int wrap_flush_ex(mdcudfsr_mount*, int, int, vfs_context_t, int, int, int, int*) KEL_FLUSH_NAME(
    "41mdcudfsr_flush_metadata_and_descriptor_exP14mdcudfsr_mountiiP11vfs_contextiiiPi");
int wrap_flush_ex_re(mdcudfsr_mount*, int, int, vfs_context_t, int, int, int, int*) KEL_FLUSH_NAME(
    "44mdcudfsr_flush_metadata_and_descriptor_ex_reP14mdcudfsr_mountiiP11vfs_contextiiiPi");
int wrap_flush_newtrack(mdcudfsr_mount*, int, int, vfs_context_t, int) KEL_FLUSH_NAME(
    "51mdcudfsr_flush_metadata_and_descriptor_for_newtrackP14mdcudfsr_mountiiP11vfs_contexti");
int wrap_flush_newtrack_re(mdcudfsr_mount*, int, vfs_context_t, int, int) KEL_FLUSH_NAME(
    "54mdcudfsr_flush_metadata_and_descriptor_re_for_newtrackP14mdcudfsr_mountiP11vfs_contextii");
int wrap_all_erase(mdcudfsr_mount*, vfs_context_t) KEL_FLUSH_NAME(
    "44mdcudfsr_flush_bitmap_and_lvid_for_all_eraseP14mdcudfsr_mountP11vfs_context");

namespace {

std::string args(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
  return s;
}

// The modes' flushes: recorded, the hook run; g_flush_result answers.
void record_mode_flush(mdcudfsr_mount* mnt, const std::string& call, int* failed) {
  vfs_test::g_flush_calls.push_back(call + " policy=" + std::to_string(mnt->flush_policy));
  if (vfs_test::g_flush_hook) vfs_test::g_flush_hook(mnt);
  *failed = vfs_test::g_flush_result;
}

// The track controls' flushes: recorded; the first g_i31_flush_failures
// calls answer g_i31_flush_result, the others 0.
void record_track_flush(mdcudfsr_mount* mnt, const std::string& call, int* failed) {
  fsctl_test::g_i31_calls.push_back(call + " policy=" + std::to_string(mnt->flush_policy));
  if (fsctl_test::g_i31_flush_failures <= 0) return;
  --fsctl_test::g_i31_flush_failures;
  *failed = fsctl_test::g_i31_flush_result;
}

void store_skip(int* out) {
  if (out) *out = fsctl_test::g_i31_skip;
}

}  // namespace

int wrap_flush(mdcudfsr_mount* mnt, int a, int b, int c, vfs_context_t ctx, int d) {
  int failed = 0;
  record_mode_flush(mnt, "flush " + args({a, b, c, ctx != nullptr, d}), &failed);
  return failed;
}

int wrap_flush_re(mdcudfsr_mount* mnt, int a, int b, int c, vfs_context_t ctx, int d, int e) {
  int failed = 0;
  record_mode_flush(mnt, "flush_re " + args({a, b, c, ctx != nullptr, d, e}), &failed);
  return failed;
}

int wrap_flush_ex(mdcudfsr_mount* mnt, int flags, int close, vfs_context_t, int vds, int on_mount, int clear,
                  int* skipped) {
  int failed = 0;
  record_track_flush(mnt, "ex " + args({flags, close, vds, on_mount, clear}), &failed);
  store_skip(skipped);
  return failed;
}

int wrap_flush_ex_re(mdcudfsr_mount* mnt, int flags, int close, vfs_context_t, int reserved, int on_mount,
                     int keep_all, int* result_out) {
  int failed = 0;
  record_track_flush(mnt, "ex_re " + args({flags, close, reserved, on_mount, keep_all}), &failed);
  store_skip(result_out);
  return failed;
}

int wrap_flush_newtrack(mdcudfsr_mount* mnt, int flags, int node_flush_option, vfs_context_t, int final_attempt) {
  int failed = 0;
  record_track_flush(mnt, "newtrack " + args({flags, node_flush_option, final_attempt}), &failed);
  return failed;
}

int wrap_flush_newtrack_re(mdcudfsr_mount* mnt, int flags, vfs_context_t, int on_mount, int readonly) {
  int failed = 0;
  record_track_flush(mnt, "newtrack_re " + args({flags, on_mount, readonly}), &failed);
  return failed;
}

int wrap_all_erase(mdcudfsr_mount*, vfs_context_t) {
  fsctl_test::g_i31_calls.emplace_back("flush_bitmap_and_lvid_for_all_erase");
  return fsctl_test::g_i31_result;
}

namespace {
// Every test starts with empty records, no failures set and no hook.
class ResetRecorders : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    vfs_test::g_flush_calls.clear();
    vfs_test::g_flush_result = 0;
    vfs_test::g_flush_hook = nullptr;
    fsctl_test::g_i31_flush_result = 0;
    fsctl_test::g_i31_flush_failures = 0;
    fsctl_test::g_i31_skip = 0;
  }
};
const bool g_reset_installed = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new ResetRecorders);
  return true;
}();
}  // namespace
