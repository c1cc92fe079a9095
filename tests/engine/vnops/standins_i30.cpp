// Recording stand-ins for the routines of the vnode operations that the
// file-system controls call and that are built in another folder's work:
// each records its call with its arguments.
#include "fsctl_standins.h"

#include "kelcache/cache_node.h"

namespace fsctl_test {
std::vector<std::string> g_standin_i30_calls;
int g_dummy_result = 0;
}  // namespace fsctl_test

// Dummy open and close of the open and close operations.
int mdcudfsr_vnop_dummy_open(mdcudfsr_cache_node* node, int mode, vfs_context_t) {
  fsctl_test::g_standin_i30_calls.push_back(std::string("dummy_open ") + mdcudfsr_node_name(node) + " " +
                                            std::to_string(mode));
  return fsctl_test::g_dummy_result;
}
int mdcudfsr_vnop_dummy_close(mdcudfsr_cache_node* node, int fflag) {
  fsctl_test::g_standin_i30_calls.push_back(std::string("dummy_close ") + mdcudfsr_node_name(node) + " " +
                                            std::to_string(fflag));
  return fsctl_test::g_dummy_result;
}
