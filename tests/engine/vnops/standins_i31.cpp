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

int mdcudfsr_make_defect_map(mdcudfsr_mount*, vfs_context_t, int on_mount) {
  return record("make_defect_map " + std::to_string(on_mount));
}
int mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mdcudfsr_mount*, vfs_context_t) {
  return record("flush_bitmap_and_lvid_for_all_erase");
}

// The vnode-operation vector's pointer that the node cache's lookup hands to
// new vnodes (vnode operations); no test here creates a vnode.
vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;
