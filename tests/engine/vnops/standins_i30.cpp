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
// Intercepted at link time (--wrap): each call is recorded; a scripted
// failure answers instead of the real routine.
int real_dummy_open(mdcudfsr_cache_node*, int, vfs_context_t) __asm__(
    "__real__Z24mdcudfsr_vnop_dummy_openP19mdcudfsr_cache_nodeiP11vfs_context");
int real_dummy_close(mdcudfsr_cache_node*, int) __asm__("__real__Z25mdcudfsr_vnop_dummy_closeP19mdcudfsr_cache_nodei");
int wrap_dummy_open(mdcudfsr_cache_node*, int, vfs_context_t) __asm__(
    "__wrap__Z24mdcudfsr_vnop_dummy_openP19mdcudfsr_cache_nodeiP11vfs_context");
int wrap_dummy_close(mdcudfsr_cache_node*, int) __asm__("__wrap__Z25mdcudfsr_vnop_dummy_closeP19mdcudfsr_cache_nodei");

int wrap_dummy_open(mdcudfsr_cache_node* node, int mode, vfs_context_t ctx) {
  fsctl_test::g_standin_i30_calls.push_back(std::string("dummy_open ") + mdcudfsr_node_name(node) + " " +
                                            std::to_string(mode));
  return fsctl_test::g_dummy_result ? fsctl_test::g_dummy_result : real_dummy_open(node, mode, ctx);
}
int wrap_dummy_close(mdcudfsr_cache_node* node, int fflag) {
  fsctl_test::g_standin_i30_calls.push_back(std::string("dummy_close ") + mdcudfsr_node_name(node) + " " +
                                            std::to_string(fflag));
  return fsctl_test::g_dummy_result ? fsctl_test::g_dummy_result : real_dummy_close(node, fflag);
}
