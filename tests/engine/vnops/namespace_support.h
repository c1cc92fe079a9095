// A mounted volume for the namespace operations, the control dispatcher and
// the modes: the image builder's volume on the simulated drive behind the
// real pipe, its integrity descriptor read, a node cache with its root bound
// to the root vnode, and the calls the operation-table slots make.
#pragma once

#include "vfs_support.h"

#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_namespace.h"

#include <map>
#include <memory>
#include <set>
#include <string>

namespace ns_test {

// The host's process queries as the tests see them: processes that have
// vanished (proc_find finds none) and parents other than process 1.
struct Processes {
  std::set<std::int64_t> vanished;
  std::map<int, int> parent;
  // Vnodes the host layer answers as in use (its own answer is always 0).
  std::set<const vnode*> in_use;
};
Processes& processes();

class NsVolume : public vfs_test::SimVolume {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Another (empty) volume of the medium class, as SetUp makes it.
  void open_volume(udf_test::MediumClass cls);

  vfs_context_t as(kel_pid_t pid);
  // The root vnode's path, which event lines put before a node's path.
  std::string root_path();
  // The named child's vnode (a use taken), or null.
  vnode_t lookup(vnode_t dvp, const std::string& name);
  mdcudfsr_cache_node* node(vnode_t vp) { return vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp)) : nullptr; }
  // The slots' calls. Each returns the operation's result.
  int create(vnode_t dvp, const std::string& name, vnode_t* out = nullptr, std::uint16_t mode = 0644);
  int mkdir(vnode_t dvp, const std::string& name, vnode_t* out = nullptr);
  int symlink(vnode_t dvp, const std::string& name, const char* target, vnode_t* out = nullptr);
  int remove(vnode_t dvp, const std::string& name, std::uint32_t flags = 0);
  int rmdir(vnode_t dvp, const std::string& name);
  int rename(vnode_t fdvp, const std::string& from, vnode_t tdvp, const std::string& to);
  // The limited-access mode held by another process, and ended again.
  void limit_to_other(kel_pid_t owner = 77);
  void unlimit(kel_pid_t owner = 77);
  // A chain of folders below dvp, `levels` deep; the last folder's vnode.
  vnode_t folders(vnode_t dvp, int levels);

  mdcudfsr_cache_node* root_ = nullptr;
  vnode_t rootvp_ = nullptr;
  kel_pid_t pid_ = 42;
  udf_test::ImageLayout layout_{};
  std::shared_ptr<vnode> devvp_;

 private:
  void close_volume();
  std::vector<std::unique_ptr<vfs_context>> contexts_;
};

}  // namespace ns_test
