// The first phase of the volume mount against the simulated drive: the
// argument check and the wait for the cache agent's channel.
#include "vfs_support.h"

#include "drive/device_control.h"
#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount_setup.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace vfs_test;

// Time stands still except where the mount waits: a wait for the agent to
// open its channel returns once the agent thread has done so (or gives up
// after ten seconds of real time, so a mount that waits in vain fails).
class AgentClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_.load(); }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&, std::uint64_t deadline_ms) override {
    if (deadline_ms > now_.load()) now_.store(deadline_ms);
  }
  void sleep_ms(std::uint64_t ms) override {
    now_ += ms;
    if (!agent_expected) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!mdcudfsr_metacache_is_opened(mdcudfsr_metacache_channel()) && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
  }
  std::atomic<bool> agent_expected{false};

 private:
  std::atomic<std::uint64_t> now_{1796811630000ull};
};

class MountSetup : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    clock_scope_.reset();  // one clock scope at a time
    clock_scope_ = std::make_unique<platform::ScopedClock>(agent_clock_);
    mdcudfsr_metacache_init();
    mdcudfsr_vfamdev_init();
    args_.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
    args_.flags = 0x202;
    args_.metadata_check = 1000;
  }
  void TearDown() override {
    mdcudfsr_metacache_close();
    mdcudfsr_mount_record_free(&host_mp_);
    SimVolume::TearDown();
  }
  // Runs the set-up with an agent that opens the channel (or none).
  int run(bool agent = true) {
    host_mp_ = mount{};
    agent_clock_.agent_expected = agent;
    std::thread opener;
    if (agent) opener = std::thread([] { mdcudfsr_metacache_open(); });
    const int r = mdcudfsr_mount_setup(&host_mp_, mnt_->devvp, &args_, &ctx_);
    if (opener.joinable()) {
      if (r != 0 && !record()) mdcudfsr_metacache_cancel_openers();
      opener.join();
    }
    return r;
  }
  mdcudfsr_mount* record() { return static_cast<mdcudfsr_mount*>(vfs_fsprivate(&host_mp_)); }
  void publish(std::uint32_t status, std::uint32_t reasons, std::uint32_t access) {
    MDCFS_MOUNT_INFORMATION mi{status, reasons, access, 0xE1, 0, 0, 0};
    ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, &ctx_));
  }

  mdcudfsr_mount_args args_{};
  mount host_mp_{};
  AgentClock agent_clock_;
};

TEST_F(MountSetup, MagicInTheOtherByteOrderIsRefused) {
  start();
  args_.magic = 0x46445541;
  EXPECT_EQ(22, run(false));
  EXPECT_EQ(nullptr, record());
  EXPECT_TRUE(logged("mount args magic is invalid.46445541 shouled be 41554446\n"));
}

TEST_F(MountSetup, AnAgentThatNeverOpensEndsTheMountAfterThirtyPolls) {
  start();
  const std::uint64_t before = agent_clock_.now_ms();
  EXPECT_EQ(22, run(false));
  EXPECT_EQ(30000u, agent_clock_.now_ms() - before);
  EXPECT_TRUE(logged("Not open fscache device. time out.\n"));
}

}  // namespace
