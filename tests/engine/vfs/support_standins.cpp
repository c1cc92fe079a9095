// Recording stand-ins for the routines of other folders that the UDF code
// reaches and that are not built yet. Each records its call; none is reached by the paths these suites test, which
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

uint32_t mdcudfsr_perm_unix2udf(uint32_t) {
  record("perm_unix2udf");
  return 0;
}
