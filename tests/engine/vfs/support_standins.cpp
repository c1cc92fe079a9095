// Recording stand-ins for the routines of other folders that the UDF code
// reaches and that are not built yet (defect finder). Each records its call; none is reached by the paths these suites test, which
// the recorded list lets a test confirm.
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
uint32_t mdcudfsr_perm_unix2udf(uint32_t) {
  record("perm_unix2udf");
  return 0;
}
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount*, const mdcudfsr_extent_list*, uint32_t, uint32_t*,
                                              int) {
  return record("cache_check_metadata_aed_newlist");
}
