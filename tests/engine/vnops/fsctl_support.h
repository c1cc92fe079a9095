// Test support of the file-system control handlers: the image builder's
// volume on the simulated cartridge, read through the real drive client,
// with a node cache root and nodes made by the cache's own constructors.
#pragma once

#include "vfs_support.h"

#include "kelcache/cache.h"
#include "kelhost/vnode.h"

#include <memory>

#include <string>
#include <vector>

namespace fsctl_test {

class FsctlVolume : public vfs_test::SimVolume {
 public:
  // An extent of a file as {zone, block, bytes, type}.
  struct Extent {
    std::uint32_t zone, lbn, bytes, type;
    bool operator==(const Extent& o) const {
      return zone == o.zone && lbn == o.lbn && bytes == o.bytes && type == o.type;
    }
  };

 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts the volume (write-once unless told) and makes the root node.
  void start_tree(udf_test::MediumClass cls = udf_test::MediumClass::WriteOnce);
  // A node under `parent` (root when null), unlocked.
  mdcudfsr_cache_node* make(const char* name, bool dir = false, mdcudfsr_cache_node* parent = nullptr);
  // A file switched to manual allocation, as the writer does.
  mdcudfsr_cache_node* manual_file(const char* name);
  static std::vector<Extent> extents_of(mdcudfsr_cache_node* n);
  // A proxy of a master (kind 4) made from an ordinary file.
  mdcudfsr_cache_node* proxy_of(mdcudfsr_cache_node* master);
  // An entry {unique id, node} appended to the pending-rebuild list.
  void add_pending(std::uint64_t uid, mdcudfsr_cache_node* node);
  std::vector<std::uint64_t> pending() const;

  void free_tree();

  mdcudfsr_cache_node* root_ = nullptr;
  std::shared_ptr<vnode> device_vnode_;
  udf_test::ImageLayout layout_{};
};

std::ostream& operator<<(std::ostream& os, const FsctlVolume::Extent& e);

}  // namespace fsctl_test
