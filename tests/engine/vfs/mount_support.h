// The host layer's Mount and Unmount as a test harness: the cache agent
// thread is started, the argument record filled and the volume operation
// table's mount, start and root called in this order, against a simulated
// cartridge written by the image builder.
#pragma once

#include "vfs_support.h"

#include "kelvfs/mdcudfsr_mount_setup.h"
#include "kelhost/vnode.h"

namespace vfs_test {

// Time stands still. A sleep waits (ten seconds of real time at most) until
// the agent thread has opened its channel; a wait returns when notified and
// otherwise moves the time to its deadline after a short real wait.
class MountClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_.load(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline_ms) override;
  void sleep_ms(std::uint64_t ms) override;
  void advance(std::uint64_t ms) { now_ += ms; }
  std::atomic<bool> agent_expected{true};

 private:
  std::atomic<std::uint64_t> now_{1796811630000ull};
};

class MountHarness : public SimVolume {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A drive whose slot 0 holds the image builder's volume of that class.
  // Its cartridge memory holds a valid 1500h naming the metadata file.
  void prepare(udf_test::MediumClass cls, std::uint32_t medium_type = 0,
               const std::function<void(kelsim::Cartridge&)>& tweak = {});
  // The drive layer's set-up before a mount, with its copy of the mount
  // information cleared: that copy outlives a cartridge, and no reason an
  // earlier test left is taken over.
  void premount_clean();
  // A rewritable (E2h) cartridge of discs with room beyond the reserve of
  // each slot, whose first disc the drive layer's automatic format made a
  // volume of (a mount, then the unmount).
  void prepare_formatted_rewritable();
  // A 1500h value of this system whose position word names the metadata file.
  static std::vector<std::uint8_t> value_1500h(std::uint32_t slot, std::uint32_t metadata_loc);
  // Mount: agent thread, arguments with these flags, mount, start, root.
  // The first failing slot's result.
  // premount: the drive layer's set-up before a mount runs first.
  int host_mount(std::uint32_t flags = 0x202, bool premount = true);
  // Unmount with force 0 or 1.
  int host_unmount(int force);
  // Waits (real time, bounded) until the agent threads started since the
  // last call have logged their end; tests clear no log while one runs.
  bool agent_ended();
  mdcudfsr_mount* record() { return static_cast<mdcudfsr_mount*>(vfs_fsprivate(&host_mp_)); }
  // The drive layer's copy of the mount information.
  MDCFS_MOUNT_INFORMATION drive_copy();
  // Device-control codes the drive layer received since the last call, as
  // the drive client logs them.
  int count_sent(const std::string& name);

  MountClock mount_clock_;
  mdcudfsr_mount_args args_{};
  mount host_mp_{};
  vnode_t root_ = nullptr;
  std::shared_ptr<vnode> device_vnode_;
  int agents_running_ = 0;
  std::vector<std::string> argv_;
  std::vector<char*> argp_;
  udf_test::ImageLayout layout_{};
  KelResolvedVnops saved_vnops_{};
};

}  // namespace vfs_test
