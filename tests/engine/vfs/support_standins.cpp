// Recording stand-in for the routine of another folder that the UDF code
// reaches and that is not built yet (defect finder). It records its call;
// none is reached by the paths these suites test, which the recorded list
// lets a test confirm.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_sync.h"
#include "udf/udf_neighbour_calls.h"

namespace vfs_test {
std::vector<std::string> g_standin_calls;
}

namespace {
int record(const char* name) {
  vfs_test::g_standin_calls.emplace_back(name);
  return 5;
}
}  // namespace

int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount*, vfs_context_t, uint32_t, uint32_t, uint32_t*) {
  return record("find_defect_and_change_NWA");
}
