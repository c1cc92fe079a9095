// Stand-ins for routines of the file-system controls not built yet, with
// the calls they received.
#include "kelcache/cache_node.h"

#include <string>
#include <vector>

namespace vnop_test {
std::vector<std::string> g_standin_calls_i28;
}

// Clears attribute bit 0x20000 when visible is non-zero, sets it otherwise.
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible) {
  vnop_test::g_standin_calls_i28.push_back("set_file_visibility " + std::to_string(visible));
  if (visible) node->attributes &= ~MDCUDFSR_NODE_ATTR_INVISIBLE;
  else node->attributes |= MDCUDFSR_NODE_ATTR_INVISIBLE;
  return 0;
}
