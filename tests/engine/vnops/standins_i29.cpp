// Recording stand-ins of the routines the namespace operations, the control
// dispatcher and the modes call and that other folders have not built yet:
// the process checks and the limited-access pass, the name conversion and
// the error-log line, the node cache's rename and move, the write-verify
// reset, and what the node cache itself reaches (vnode vector pointer,
// direct-reader check). Each records its call with its
// arguments; the answers are the tests' to set.
#include "standins_i29.h"

#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_modes.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"

#include <cstring>
#include <mutex>

namespace standins_i29 {

State& state() {
  static State s;
  return s;
}

void State::reset() {
  std::lock_guard<std::mutex> g(mutex);
  calls.clear();
  vanished.clear();
  children_of_owner.clear();
  pass_limited = true;
  reset_verify_result = 0;
  rename_result = 0;
  move_result = 0;
}

void State::record(const std::string& call) {
  std::lock_guard<std::mutex> g(mutex);
  calls.push_back(call);
}

std::vector<std::string> State::taken() {
  std::lock_guard<std::mutex> g(mutex);
  std::vector<std::string> out;
  out.swap(calls);
  return out;
}

int State::count(const std::string& prefix) {
  std::lock_guard<std::mutex> g(mutex);
  int n = 0;
  for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
  return n;
}

bool State::alive(std::int64_t pid) {
  std::lock_guard<std::mutex> g(mutex);
  return vanished.count(pid) == 0;
}

}  // namespace standins_i29

using standins_i29::state;

namespace {
// "/" for the root (its name is empty), "(null)" for no node.
std::string node_name(const mdcudfsr_cache_node* n) {
  if (!n) return "(null)";
  return n->vfs_name && *n->vfs_name ? n->vfs_name : "/";
}
}  // namespace

bool mdcudfsr_is_process_existing(kel_pid_t pid) {
  state().record("is_process_existing " + std::to_string(pid));
  return state().alive(pid);
}

bool mdcudfsr_check_privileged_access(mdcudfsr_mount* mnt, kel_pid_t pid) {
  state().record("check_privileged_access " + std::to_string(pid));
  return mnt->privileged_pid != 0 && mnt->privileged_mode && mnt->privileged_pid == pid;
}

bool mdcudfsr_pass_limited_access_mode(mdcudfsr_mount*, kel_pid_t pid) {
  state().record("pass_limited_access_mode " + std::to_string(pid));
  return state().pass_limited;
}

bool mdcudfsr_check_limited_access_mode_owner(std::int64_t* owner_pid, proc_t* owner_proc, int clear) {
  state().record("check_limited_access_mode_owner " + std::to_string(*owner_pid) + " " + std::to_string(clear));
  const bool alive = state().alive(*owner_pid);
  if (!alive && clear) {
    *owner_pid = 0;
    *owner_proc = nullptr;
  }
  return alive;
}

bool mdcudfsr_is_limited_access_mode_owner(std::int64_t* owner_pid, proc_t*, kel_pid_t pid) {
  state().record("is_limited_access_mode_owner " + std::to_string(*owner_pid) + " " + std::to_string(pid));
  std::lock_guard<std::mutex> g(state().mutex);
  return pid == *owner_pid || state().children_of_owner.count(pid) != 0;
}

int mdcudfsr_convert_filename(const char* name, std::size_t length, char** converted, std::size_t* converted_length) {
  state().record("convert_filename " + std::string(name, length));
  *converted = static_cast<char*>(OSMalloc(static_cast<std::uint32_t>(length + 1), nullptr));
  if (!*converted) return 12;
  std::memcpy(*converted, name, length);
  (*converted)[length] = '\0';
  *converted_length = length;
  return 0;
}

void mdcudfsr_vnop_print_errlog(mdcudfsr_cache_node* parent, int error, const char* name, const char* message,
                                vfs_context_t) {
  state().record("print_errlog " + node_name(parent) + " " + std::to_string(error) + " " + (name ? name : "") + " " +
                 (message ? message : ""));
}

int mdcudfsr_cache_rename_node(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* node, const char* name,
                               int64_t len) {
  state().record("cache_rename_node " + node_name(parent) + " " + node_name(node) + " " +
                 std::string(name, static_cast<std::size_t>(len)));
  return state().rename_result;
}

int mdcudfsr_cache_move_node(mdcudfsr_cache_node* from, mdcudfsr_cache_node* to, mdcudfsr_cache_node* node,
                             const char* name, int64_t len) {
  state().record("cache_move_node " + node_name(from) + " " + node_name(to) + " " + node_name(node) + " " +
                 std::string(name, static_cast<std::size_t>(len)));
  return state().move_result;
}

int mdcudfsr_mdcfsctrl_reset_write_verify_mode(mdcudfsr_mount*, vfs_context_t) {
  state().record("reset_write_verify_mode");
  return state().reset_verify_result;
}

int mdcudfsr_process_can_read_udf(mdcudfsr_mount*, kel_pid_t pid) {
  state().record("process_can_read_udf " + std::to_string(pid));
  return 0;
}

vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;
