// The list of calls the suites' recording stand-ins make.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_sync.h"
#include "udf/udf_neighbour_calls.h"

namespace vfs_test {
std::vector<std::string> g_standin_calls;
}

