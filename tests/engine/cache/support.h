// Test support of the node cache: the log lines, a failing write of the
// cache agent, heap accounting with scheduled allocation
// failures, and a mounted volume with its root directory.
#pragma once

#include "kelcache/cache.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "cache_neighbours.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cache_test {

struct Recorder {
  std::vector<std::string> calls;  // calls of the test doubles in order
  std::vector<std::string> logs;   // engine log lines
  bool forced_unmount = false;     // answer of vfs_isforce
  int getwithvid_result = 0;       // answer of vnode_getwithvid (2: a stale id)
  int getwithvid_calls = 0;
  int trace_category = -1;         // a debug-trace category reported on at every level
  int mntinfo_calls = 0;
  // The first positioned write through the cache agent for which this holds
  // fails as on a full host disc (28, with the agent's error); then it is
  // cleared.
  std::function<bool()> fail_cache_write;
  int cache_writes_failed = 0;
  void reset();
  bool logged(const std::string& text) const;
  int count_logged(const std::string& text) const;
};
Recorder& rec();
// Whether the write through the cache agent now under way is the one to
// fail (agent_write_fault.cpp); true once.
bool take_cache_write_failure();
// Log lines are formatted and recorded (the default), or not formatted at all.
void capture_logs(bool on);

// Heap of the engine (OSMalloc/OSFree): blocks live, and a scheduled failure
// of the n-th next allocation (1: the next one).
long live_blocks();
void fail_allocation(int nth);
void clear_allocation_failure();
// The same for the non-throwing new of the UDF code.
void fail_new(int nth);

// A mounted volume with its root directory (bound to a root vnode on
// request); the node cache is released at the end and must leave no block.
class Volume {
 public:
  explicit Volume(uint32_t medium_type = 0xE1);
  ~Volume();
  mdcudfsr_mount m;
  mdcudfsr_cache_node* root = nullptr;

  // A node under `parent` made with the cache's own constructor (locked
  // state released); the test fails when creation fails.
  mdcudfsr_cache_node* make(mdcudfsr_cache_node* parent, const char* name, bool dir = false);
  // A vnode for the root, and one for a node under its parent's vnode.
  void bind_root();
  void bind(mdcudfsr_cache_node* n);

 private:
  long blocks_at_start_;
  std::vector<std::shared_ptr<vnode>> vnodes_;
};

// Heights, balance and the order of one unique-id or name tree against its
// list; empty when the tree is sound, else what is wrong.
std::string check_uid_tree(mdcudfsr_cache_node* dir);
std::string check_name_tree(mdcudfsr_cache_node* dir);

std::vector<std::string> names_of(const mdcudfsr_list& list, mdcudfsr_link mdcudfsr_cache_node::*link);

}  // namespace cache_test
