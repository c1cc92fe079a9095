// Test support of the volume operations: the captured log, a clock whose
// sleeps return at once, and a simulated cartridge served through the real
// pipe to the engine's drive client.
#pragma once

#include "kelhost/kern_types.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"
#include "support/instant_clock.h"
#include "sim/harness.h"
#include "engine/udf/support_image.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vfs_test {

// The caller's process name proc_name answers ("Application" by default).
extern std::string g_proc_name;

// Device controls sent since the last clear: (code, first word in).
std::vector<std::pair<std::uint32_t, std::uint32_t>> ioctls();
void clear_ioctls();

// Log lines as the logger built them (header and message).
std::vector<std::string> log_lines();
void clear_log();
// Lines whose text contains the fragment.
int count_log(const std::string& fragment);
bool logged(const std::string& fragment);
// While one lives, no log line is made or recorded: the recorder's mutex
// would order every pair of threads that log, and hide their races from the
// thread sanitizer.
class Quiet {
 public:
  Quiet();
  ~Quiet();
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;
};

using InstantClock = kel_test::InstantClock;

struct SimOptions {
  std::uint8_t medium = 0xE1;
  std::uint8_t slots = 0;  // the simulator's choice for the medium
  std::uint8_t loaded_slot = 0;
  std::uint32_t disc_blocks = 0x10000;
  std::string product = "QMR-T300B";
  std::string vendor = "TARN";
  std::uint32_t pow_map_entries = 0x1000;
  std::uint32_t pow_updates = 0x1000;
  std::uint16_t opc_count = 0x20;
  bool rewritable_formatted = true;  // false: rewritable discs never formatted
};

// A simulated drive with the engine's drive client connected to it, and a
// mount record whose device vnode reaches that client.
class SimVolume : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void start(const SimOptions& o = {});
  void stop();
  // Starts a drive whose loaded slot holds the image builder's volume and
  // reads its anchor and descriptor sequences into the mount record.
  // `medium_type` replaces the class's; `tweak` changes the cartridge before
  // the drive client first sees it.
  udf_test::ImageLayout start_volume(udf_test::MediumClass cls, udf_test::ImageSpec* spec_out = nullptr,
                                     std::uint32_t medium_type = 0,
                                     const std::function<void(kelsim::Cartridge&)>& tweak = {});
  // The SCSI operation codes the drive received since the last call.
  std::vector<std::uint8_t> take_opcodes();
  void stop_drive_client();
  void start_drive_client();

  InstantClock clock_;
  std::unique_ptr<platform::ScopedClock> clock_scope_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::unique_ptr<mdcudfsr_mount> mnt_;
  mount mp_{};
  vfs_context ctx_{42};
  // Write-once volumes of start_volume: blocks of room added to the data
  // track behind the volume (the disc grows by as many).
  std::uint32_t track_room_ = 0;
  // start_volume reads the anchor and descriptors into mnt_ (and expects
  // them sound) unless this is cleared.
  bool read_started_volume_ = true;
  std::string dir_;
  std::size_t transcript_seen_ = 0;
};

}  // namespace vfs_test
