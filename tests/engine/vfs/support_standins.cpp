// The list the suites' recording stand-ins write their calls to.
#include "vfs_support.h"

namespace vfs_test {
std::vector<std::string> g_standin_calls;
}
