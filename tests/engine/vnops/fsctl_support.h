// Test support of the control handlers: cartridge memory seeded as a
// formatted cartridge holds it and values read back in wire order (the
// media-side controls); the image builder's volume on the simulated
// cartridge, read through the real drive client, with a node cache root and
// nodes made by the cache's own constructors (the file-system controls).
#pragma once

#include "vfs_support.h"

#include "kelcache/cache.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "sim/cartridge.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fsctl_test {

// Calls of the flush recorders (flush_recorder.cpp), and what the all-erase
// rebuild answers.
extern std::vector<std::string> g_i31_calls;
extern int g_i31_result;
// The track operations' flushes: the first g_i31_flush_failures calls answer
// g_i31_flush_result; g_i31_skip goes to their skip outputs.
extern int g_i31_flush_result;
extern int g_i31_flush_failures;
extern int g_i31_skip;

// Writes attributes 0800h-0806h and 1500h-1504h (values zero, 1500h with the
// position word at value offset 56, big-endian) into the cartridge and saves.
void seed_cm(kelsim::Cartridge& cart, std::uint32_t position_word);
// The value of an attribute of the cartridge (empty when absent).
std::vector<std::uint8_t> attribute(kelsim::Cartridge& cart, std::uint16_t id);
std::uint32_t be32(const std::uint8_t* p);
std::uint64_t be64(const std::uint8_t* p);
std::uint16_t be16(const std::uint8_t* p);

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
  // The vnode of a named child of `parent` (root when null), with a use.
  vnode_t vnode_of(const char* name, mdcudfsr_cache_node* parent = nullptr);
  // The test's process holds the privileged mode.
  void privileged();
  int open(vnode_t vp, int mode);
  int close(vnode_t vp, int mode);
  // A control request through the dispatcher, with the code as the Fsctl
  // and FileIoctl slots hand it on: the length bits below 128 bytes cleared.
  int send(vnode_t vp, std::uint32_t sent_as, void* data, vfs_context* ctx = nullptr);
  // A new file as the writer opens it: for writing, which makes the node a
  // master (kind 4) with its proxy, then the proxy for writing by the
  // privileged process, which lists the master in the privileged open list
  // (unless `list` is false). Made under `parent` (root when null).
  struct Written {
    mdcudfsr_cache_node* master;
    mdcudfsr_cache_node* proxy;
    vnode_t vp;
    vnode_t proxy_vp;
  };
  Written open_for_writer(const char* name, bool list = true, mdcudfsr_cache_node* parent = nullptr);
  // The unique ids of the privileged open list, in order.
  std::vector<std::uint64_t> pending() const;

  void free_tree();
  // The file controls bound into the dispatcher's table, as Initialise
  // binds them; the table is put back at the end of the test.
  void install_file_controls();

  mdcudfsr_cache_node* root_ = nullptr;
  std::shared_ptr<vnode> device_vnode_;
  udf_test::ImageLayout layout_{};

 private:
  std::vector<mdcudfsr_fsctl_row> saved_rows_;
};

std::ostream& operator<<(std::ostream& os, const FsctlVolume::Extent& e);

// The n-th next non-throwing new of the engine (the extent lists' entries)
// fails; 0 lets all of them through.
void fail_new(int nth);

}  // namespace fsctl_test
