// Recording stand-ins of the routines the vnode-operation vector brings in
// (through the namespace operations, the control dispatcher and the modes)
// that other folders have not built yet. The vector is linked here for its
// fsync pair; none of these is reached by this suite, which the recorded
// list lets a test confirm.
#include "vfs_support.h"

#include "kelvnops/mdcudfsr_modes.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"

namespace {
int record(const char* name) {
  vfs_test::g_standin_calls.emplace_back(name);
  return 22;
}
}  // namespace

bool mdcudfsr_is_process_existing(kel_pid_t) { return record("is_process_existing") != 0; }
bool mdcudfsr_check_privileged_access(mdcudfsr_mount*, kel_pid_t) { return record("check_privileged_access") == 0; }
bool mdcudfsr_pass_limited_access_mode(mdcudfsr_mount*, kel_pid_t) {
  return record("pass_limited_access_mode") == 0;
}
bool mdcudfsr_check_limited_access_mode_owner(std::int64_t*, proc_t*, int) {
  return record("check_limited_access_mode_owner") != 0;
}
bool mdcudfsr_is_limited_access_mode_owner(std::int64_t*, proc_t*, kel_pid_t) {
  return record("is_limited_access_mode_owner") == 0;
}
int mdcudfsr_convert_filename(const char*, std::size_t, char**, std::size_t*) { return record("convert_filename"); }
void mdcudfsr_vnop_print_errlog(mdcudfsr_cache_node*, int, const char*, const char*, vfs_context_t) {
  record("vnop_print_errlog");
}
int mdcudfsr_cache_rename_node(mdcudfsr_cache_node*, mdcudfsr_cache_node*, const char*, int64_t) {
  return record("cache_rename_node");
}
int mdcudfsr_cache_move_node(mdcudfsr_cache_node*, mdcudfsr_cache_node*, mdcudfsr_cache_node*, const char*, int64_t) {
  return record("cache_move_node");
}
int mdcudfsr_mdcfsctrl_reset_write_verify_mode(mdcudfsr_mount*, vfs_context_t) {
  return record("reset_write_verify_mode");
}
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node*, int) { return record("set_file_visibility"); }
int mdcudfsr_process_can_read_udf(mdcudfsr_mount*, kel_pid_t) { return record("process_can_read_udf") == 0; }
vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;
