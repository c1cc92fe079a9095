// Recording stand-in for the defect-map rebuild of the volume operations,
// which the defect report counter calls on rewritable media. Never reached
// by this suite's cases; a call is recorded for the test that wants to see it.
#include "kelhost/kern_types.h"

#include <string>
#include <vector>

struct mdcudfsr_mount;

namespace vnops_test {
std::vector<std::string> g_i27_calls;
}

int mdcudfsr_make_defect_map(mdcudfsr_mount*, vfs_context_t, int on_mount) {
  vnops_test::g_i27_calls.push_back("make_defect_map " + std::to_string(on_mount));
  return 0;
}
