// Recording stand-ins of the routines the mount and the unmount call that
// other sources build (descriptor copy into the cache file of rewritable
// media, defect map, read-ahead thread, next track, file visibility). Each
// records its call
// with its arguments and answers what the test scheduled (0 by default).
#include "standins_i24.h"

#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_calls.h"

struct mdcudfsr_cache_node;
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible);

namespace vfs_test {
std::vector<std::string> g_mount_calls;
std::map<std::string, std::vector<int>> g_mount_answers;

int mount_call(const std::string& call) {
  g_mount_calls.push_back(call);
  const std::string name = call.substr(0, call.find(' '));
  auto it = g_mount_answers.find(name);
  if (it == g_mount_answers.end() || it->second.empty()) return 0;
  const int r = it->second.front();
  it->second.erase(it->second.begin());
  return r;
}
}  // namespace vfs_test

using vfs_test::mount_call;

int mdcudfsr_flush_descriptor_to_fscache_file_re(mdcudfsr_mount*, vfs_context_t) {
  return mount_call("flush_descriptor_to_fscache_file_re");
}
int mdcudfsr_make_defect_map(mdcudfsr_mount*, vfs_context_t, int on_mount) {
  return mount_call("make_defect_map " + std::to_string(on_mount));
}
int mdcudfsr_cluster_read_buff_mount(mdcudfsr_mount*, const char* product) {
  return mount_call(std::string("cluster_read_buff_mount ") + (product ? product : ""));
}
int mdcudfsr_cluster_read_buff_umount() { return mount_call("cluster_read_buff_umount"); }
int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount*, vfs_context_t, int* changed) {
  if (changed) *changed = 0;
  return mount_call("mount_next_track");
}
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node*, int visible) {
  return mount_call("set_file_visibility " + std::to_string(visible));
}

// The vnode-operation vector the node cache hands to new vnodes (the vnode
// operations' own source defines it); the root vnode needs none here.
vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;
