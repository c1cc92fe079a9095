// A large volume on slot 0 of the simulated cartridge, mounted from the disc
// as the host layer's Mount does it, for the benchmarks that time a mount or
// the vnode operations on one.
//
//   udf_test::ImageSpec spec = ...;
//   kel_bench::VolumeImage image(spec);
//   udf_test::MetadataContent md(image.medium, spec.metadata_lsn);
//   ... entries ...
//   image.set_metadata(md);
//   const std::uint32_t data_end = image.write_slot0(cart);
//   image.finish_cartridge(cart, {tracks});
//   kel_bench::HostMount host(scratch.path());
//   host.mount(0x202, &ctx);
#pragma once

#include "engine/udf/support_image.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "platform/sync.h"
#include "sim/harness.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kel_bench {

constexpr std::uint32_t kBlock = 2048;
constexpr std::uint32_t kUnitBlocks = 32;
constexpr std::uint32_t kMetadataAt = 1024;  // partition block of the metadata file's extent

// The image builder's volume, its metadata file replaced by a larger one.
struct VolumeImage {
  explicit VolumeImage(const udf_test::ImageSpec& spec);
  // The content as the metadata file and its mirror, from partition block
  // kMetadataAt on; the program ends when the disc is too small for it.
  void set_metadata(const udf_test::MetadataContent& md);
  // Writes every unit that holds anything to slot 0; the end of the last one
  // before the end area.
  std::uint32_t write_slot0(kelsim::Cartridge& cart) const;
  // Slot 0 formatted and incomplete with these tracks, its 1500h naming the
  // metadata file; the cartridge saved.
  void finish_cartridge(kelsim::Cartridge& cart, std::vector<kelsim::Track> tracks) const;

  udf_test::ImageSpec spec;
  std::vector<std::uint8_t> medium;
  udf_test::ImageLayout layout{};
  std::uint64_t metadata_bytes = 0;
};

// Real time, except that a sleep ends as soon as the agent has opened its
// channel (the mount polls for that once a second).
class PollClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return real_.now_ms(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline) override {
    real_.wait_until(lk, cv, deadline);
  }
  void sleep_ms(std::uint64_t ms) override;

 private:
  platform::SteadyClock real_;
};

// The drive client and the engine's channels set up, the drive layer's
// premount done; mount() then runs the host layer's Mount: the cache agent
// thread, the operation table's mount, start and root.
class HostMount {
 public:
  explicit HostMount(const std::string& scratch);
  ~HostMount() { close(); }
  HostMount(const HostMount&) = delete;
  HostMount& operator=(const HostMount&) = delete;
  // The first failing step's error, 0 when mounted.
  int mount(std::uint32_t flags, vfs_context* ctx);
  int unmount(vfs_context* ctx);
  // Drops the device vnode and the drive client (also at the end).
  void close();

  ::mount mp{};
  std::shared_ptr<vnode> devvp;
  vnode_t root = nullptr;

 private:
  std::vector<std::string> args_;
  std::vector<char*> argp_;
  bool open_ = false;
};

}  // namespace kel_bench
