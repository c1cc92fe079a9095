// Recording stand-in for the volume routine of another folder that the
// media-side controls call and that is not built yet: the defect map of a
// rewritable disc. It records its call in fsctl_test::g_i31_calls and
// answers fsctl_test::g_i31_result.
#include "fsctl_support.h"

#include "kelvnops/mdcudfsr_backtrack.h"
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

int mdcudfsr_make_defect_map(mdcudfsr_mount*, vfs_context_t, int on_mount) {
  return record("make_defect_map " + std::to_string(on_mount));
}

