// Test support of the vnode operations: a tree volume on the simulated
// cartridge with the real mount record, node cache, drive client and cache
// agent; the engine's vector resolved into the host layer; vnodes reached
// through the host layer's path tree and the real lookup.
#pragma once

#include "support_tree.h"
#include "vfs_support.h"

#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vnop_test {

using cache_test::TreeImage;

// Byte `i` of a test file's data.
std::uint8_t pattern(std::uint64_t i, std::uint8_t seed);
// Fills the data of a file item (its first extent) with pattern(seed).
void fill_file(TreeImage& img, int item, std::uint8_t seed);
// Resolves the 19 operations Initialise wants from the engine's vector into
// kel_vnops, as the host layer does.
void resolve_engine_vector();

class VnopVolume : public ::testing::Test {
 protected:
  void TearDown() override;
  // Finishes and mounts the image; the root vnode is made.
  void mount(TreeImage& img);
  // The vnode of a path through the host tree and the engine's lookup
  // (null when it does not resolve).
  vnode_t vnode_of(const std::string& path);
  mdcudfsr_cache_node* node_of(const std::string& path);
  // One read or write of a single buffer through the engine's handler.
  int read(vnode_t vp, std::int64_t offset, std::size_t length, std::vector<std::uint8_t>* out, int ioflag = 0);
  int write(vnode_t vp, std::int64_t offset, const std::vector<std::uint8_t>& data, int ioflag = 0);
  // Open and close through the engine's handlers.
  int open(vnode_t vp, int mode);
  int close(vnode_t vp, int mode);
  // Bytes of the medium on slot 0 at a partition block.
  std::vector<std::uint8_t> medium(std::uint32_t lbn, std::size_t length);
  mdcudfsr_mount* m() { return sm_->m(); }
  kelsim::SimHarness& sim() { return sm_->sim(); }

  vfs_context ctx_{0};
  std::unique_ptr<cache_test::SimMount> sm_;
  std::shared_ptr<vnode> devvp_;
  TreeImage* img_ = nullptr;
};

}  // namespace vnop_test
