// Recording stand-ins of the routines the namespace operations call and
// that other folders have not built yet: the node cache's rename and move.
// Each records its call with its arguments; the answers are the tests' to
// set.
#include "standins_i29.h"

#include "kelcache/cache_flush.h"

namespace standins_i29 {

State& state() {
  static State s;
  return s;
}

void State::reset() {
  std::lock_guard<std::mutex> g(mutex);
  calls.clear();
  rename_result = 0;
  move_result = 0;
}

void State::record(const std::string& call) {
  std::lock_guard<std::mutex> g(mutex);
  calls.push_back(call);
}

int State::count(const std::string& prefix) {
  std::lock_guard<std::mutex> g(mutex);
  int n = 0;
  for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
  return n;
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

int mdcudfsr_cache_rename_node(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* node, const char* name,
                               int64_t len, int) {
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

