// Recording stand-ins for the volume routines of other folders that the
// media-side controls call and that are not built yet. Each records its call
// in fsctl_test::g_i31_calls and answers fsctl_test::g_i31_result.
#include "fsctl_support.h"

#include "kelvnops/mdcudfsr_backtrack.h"
#include "kelvnops/mdcudfsr_volume_dirty.h"
#include "kelhost/kern_types.h"

#include <string>

namespace fsctl_test {
std::vector<std::string> g_i31_calls;
int g_i31_result = 0;
}  // namespace fsctl_test

namespace {
int record(const std::string& call) {
  fsctl_test::g_i31_calls.push_back(call);
  return fsctl_test::g_i31_result;
}
}  // namespace

// The defect map rebuild is intercepted at link time (--wrap).
int wrap_make_defect_map(mdcudfsr_mount*, vfs_context_t, int) __asm__(
    "__wrap__Z24mdcudfsr_make_defect_mapP14mdcudfsr_mountP11vfs_contexti");
int wrap_make_defect_map(mdcudfsr_mount*, vfs_context_t, int on_mount) {
  return record("make_defect_map " + std::to_string(on_mount));
}
int mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mdcudfsr_mount*, vfs_context_t) {
  return record("flush_bitmap_and_lvid_for_all_erase");
}

// The volume flushes of the track operations: each records its arguments
// and the flush policy it saw; `g_i31_flush_result` answers, and
// `g_i31_skip` is stored through the skip outputs.
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_new_track.h"

namespace fsctl_test {
int g_i31_flush_result = 0;
int g_i31_flush_failures = 0;  // the first n calls fail with g_i31_flush_result
int g_i31_skip = 0;
}  // namespace fsctl_test

namespace {
int record_flush(mdcudfsr_mount* mnt, const std::string& call) {
  fsctl_test::g_i31_calls.push_back(call + " policy=" + std::to_string(mnt->flush_policy));
  if (fsctl_test::g_i31_flush_failures > 0) {
    --fsctl_test::g_i31_flush_failures;
    return fsctl_test::g_i31_flush_result;
  }
  return 0;
}
std::string args(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s += (s.empty() ? "" : ",") + std::to_string(x);
  return s;
}
}  // namespace

int mdcudfsr_flush_metadata_and_descriptor_ex(mdcudfsr_mount* mnt, int flags, int close_session, vfs_context_t,
                                              int vds_option, int on_mount, int clear_node_flush_option,
                                              int* skipped) {
  if (skipped) *skipped = fsctl_test::g_i31_skip;
  return record_flush(mnt, "ex " + args({flags, close_session, vds_option, on_mount, clear_node_flush_option}));
}
int mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mdcudfsr_mount* mnt, int flags, int node_flush_option,
                                                        vfs_context_t, int final_attempt) {
  return record_flush(mnt, "newtrack " + args({flags, node_flush_option, final_attempt}));
}
int mdcudfsr_flush_metadata_and_descriptor_ex_re(mdcudfsr_mount* mnt, int flags, int close, vfs_context_t,
                                                 int reserved, int on_mount, int keep_all, int* result_out) {
  if (result_out) *result_out = fsctl_test::g_i31_skip;
  return record_flush(mnt, "ex_re " + args({flags, close, reserved, on_mount, keep_all}));
}
int mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mdcudfsr_mount* mnt, int flags, vfs_context_t,
                                                           int on_mount, int readonly_on_failure) {
  return record_flush(mnt, "newtrack_re " + args({flags, on_mount, readonly_on_failure}));
}
