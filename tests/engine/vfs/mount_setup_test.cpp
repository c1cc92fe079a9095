// The first phase of the volume mount against the simulated drive: argument
// check, the agent channel, drive, model and medium rules, the seed from the
// drive layer's mount information.
#include "vfs_support.h"

#include "drive/device_control.h"
#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount_setup.h"
#include "support/settles.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace vfs_test;

// Time stands still except where the mount waits. With an agent, a wait
// blocks until it is notified, 20 ms of real time at most, and moves the time
// by that step: a request answered by the agent thread costs nothing, one
// never answered runs out after its own deadline. Without an agent nothing
// can notify a wait, and the time jumps to its deadline.
class AgentClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_.load(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline_ms) override {
    if (deadline_ms <= now_.load()) return;
    note_agent_wait();
    if (!agent_expected) {
      now_.store(deadline_ms);
      return;
    }
    if (cv.wait_for(lk, std::chrono::milliseconds(20)) == std::cv_status::timeout)
      now_.store(std::min<std::uint64_t>(deadline_ms, now_.load() + 20));
  }
  void sleep_ms(std::uint64_t ms) override {
    note_agent_wait();
    now_ += ms;
  }
  std::atomic<bool> agent_expected{false};
  // Waits and sleeps begun while the agent channel was allocated and not
  // yet opened.
  std::atomic<int> waits_for_agent{0};

 private:
  void note_agent_wait() {
    mdc_channel* ch = mdcudfsr_metacache_channel();
    if (ch->status == METACACHE_ALLOCATED && ch->io_count == 0) ++waits_for_agent;
  }
  std::atomic<std::uint64_t> now_{1796811630000ull};
};

// An agent that opens the channel and answers every request with error 5
// (no cache file), until the channel is closed.
void serve_as_agent() {
  if (mdcudfsr_metacache_open() != 0) return;
  std::vector<std::uint8_t> req(0x20000);
  while (true) {
    const std::uint32_t n = mdcudfsr_metacache_read(req.data(), req.size());
    if (n < sizeof(mdc_req_header_t)) return;
    mdc_req_header_t rh;
    std::memcpy(&rh, req.data(), sizeof rh);
    mdc_ans_header_t ah{rh.seq_id, rh.req_id, 0, 0, 5};
    mdcudfsr_metacache_write(&ah, sizeof ah);
  }
}

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
    finish();
    SimVolume::TearDown();
  }
  // Ends the agent thread and frees what the set-up made.
  void finish() {
    if (agent_.joinable()) {
      mdcudfsr_metacache_close();
      agent_.join();
    }
    mdcudfsr_mount_record_free(&host_mp_);
  }
  // Runs the set-up with an agent that opens the channel (or none).
  int run(bool agent = true) {
    host_mp_ = mount{};
    agent_clock_.agent_expected = agent;
    if (agent) agent_ = std::thread(serve_as_agent);
    const int r = mdcudfsr_mount_setup(&host_mp_, mnt_->devvp, &args_, &ctx_);
    if (agent && (!record() || !record()->metacachedev)) mdcudfsr_metacache_cancel_openers();
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
  std::thread agent_;
};

TEST_F(MountSetup, MagicInTheOtherByteOrderIsRefused) {
  start();
  args_.magic = 0x46445541;
  EXPECT_EQ(22, run(false));
  EXPECT_EQ(nullptr, record());
  EXPECT_TRUE(logged("mount args magic is invalid.46445541 shouled be 41554446\n"));
}

TEST_F(MountSetup, AnAgentThatNeverOpensEndsTheMountAfterThirtySeconds) {
  start();
  const std::uint64_t before = agent_clock_.now_ms();
  EXPECT_EQ(22, run(false));
  EXPECT_EQ(30000u, agent_clock_.now_ms() - before);
  EXPECT_TRUE(logged("Not open fscache device. time out.\n"));
}

// The mount waits on the agent's opening itself: an agent that opens the
// channel after the mount began to wait ends the wait at once, without the
// clock moving a poll step of a second.
TEST_F(MountSetup, AnAgentThatOpensLateEndsTheWaitAtOnce) {
  start();
  host_mp_ = mount{};
  agent_clock_.agent_expected = true;
  const std::uint64_t before = agent_clock_.now_ms();
  int result = -1;
  std::thread mounting([&] { result = mdcudfsr_mount_setup(&host_mp_, mnt_->devvp, &args_, &ctx_); });
  ASSERT_TRUE(kel_test::settles([&] { return agent_clock_.waits_for_agent.load() > 0; }));
  const std::uint64_t waited_at = agent_clock_.now_ms();
  agent_ = std::thread(serve_as_agent);
  mounting.join();
  EXPECT_EQ(0, result);
  EXPECT_LT(agent_clock_.now_ms() - before, 1000u) << "began to wait after " << waited_at - before << " ms";
}

TEST_F(MountSetup, DriveModelsDecideVerifyAndTheGuardRing) {
  struct Case {
    const char* product;
    std::uint32_t flags;
    std::uint32_t verify, steps;
  } cases[] = {
      {"QMR-T300A", 0x202, 1, 6}, {"QMR-T400B", 0x002, 1, 6},   {"QMR-T10A", 0x002, 0, 10},
      {"QMR-T20B", 0x202, 1, 10}, {"PXO-U2XYZ", 0x202, 1, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.product);
    SimOptions o;
    o.product = c.product;
    start(o);
    args_.flags = c.flags;
    ASSERT_EQ(0, run());
    mdcudfsr_mount* m = record();
    EXPECT_EQ(c.verify, m->verify_mode);
    EXPECT_EQ(c.steps, m->WtchSteps);
    EXPECT_EQ(10u, m->WtchSmpls);
    EXPECT_EQ(c.flags | 0x8u, m->mount_ext_flags);
    EXPECT_EQ(sim_->drive().config().serial, m->volume_name);
    EXPECT_EQ(2048u, m->logical_sector_size);
    EXPECT_EQ(0xE1u, m->medium_type);
    EXPECT_EQ(12u, m->num_discs);
    EXPECT_EQ(1, m->disk_data_mode) << "no cache file: the disc's data";
    EXPECT_STREQ("*ECC_Parity_V100_N=2064_K=2048", m->parity_id);
    EXPECT_STRNE("", args_.vfam_device_name) << "the VFAM device name goes back to the caller";
    finish();
  }
}

// The drive layer itself refuses a product it does not know before any
// mount, so only the vendor rule can be reached through it.
TEST_F(MountSetup, UnsupportedVendors) {
  struct Case {
    const char* vendor;
    const char* product;
    int result;
    const char* message;
  } cases[] = {
      {"TARNX", "QMR-T300B", 95, "unsupport Vendor ID[TARNX] err:95 \n"},
      {"TARN A", "QMR-T300B", 95, "unsupport Vendor ID[TARN A] err:95 \n"},
      {"TARN ", "QMR-T300B", 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.vendor) + "/" + c.product);
    SimOptions o;
    o.vendor = c.vendor;
    o.product = c.product;
    start(o);
    EXPECT_EQ(c.result, run());
    if (c.message) { EXPECT_TRUE(logged(c.message)); }
    finish();
  }
}

TEST_F(MountSetup, TheDriveLayersMountInformationSeedsTheMount) {
  struct Case {
    std::uint32_t status, reasons, access;
    int result;
    std::uint32_t want_status, want_reasons;
  } cases[] = {
      {0x80000003u, 0x1, 0, 0, 0, 0x1},                     // a system guard does not carry over
      {0x80000002u, 0x100000, 0, 0, 0, 0},                  // 0x100000 dropped at every mount
      {0, 0xA0001u, 0, 0, 0, 0x1},                          // 0x20000 takes 0x80000 with it
      {0x80000500u, 0x80000, 0, 0, 0x80000500u, 0x80000},
      {0x80000010u, 0x80000, 2, 22, 0x80000010u, 0x80000},  // raw: taken as it is
      // An earlier mount that ended raw on a failed cache: its outcome and
      // the reasons it added (0x100 with 0x80000) end with it; other reasons
      // stay, and so does a 0x100 of the drive layer's own.
      {0x80000400u, 0x80100, 2, 0, 0, 0},
      {0x80000400u, 0x82500, 2, 0, 0, 0x2400},
      {0x80000400u, 0x100, 2, 0, 0, 0x100},
  };
  // Flag 0x80 keeps the drive layer from mounting the slot again at its end,
  // which would replace the copy published here.
  args_.flags = 0x282;
  for (const auto& c : cases) {
    start();
    publish(c.status, c.reasons, c.access);
    EXPECT_EQ(c.result, run()) << std::hex << c.status;
    ASSERT_NE(nullptr, record());
    EXPECT_EQ(c.want_status, record()->mntinfo.MountStatus) << std::hex << c.status;
    EXPECT_EQ(c.want_reasons, record()->mntinfo.WriteProtectReasonFlags) << std::hex << c.status;
    EXPECT_EQ(c.result == 22, logged("Set RawMount.\n"));
    finish();
  }
}

TEST_F(MountSetup, FailingDeviceInformationFailsTheMount) {
  start();
  sim_->drive().add_fault(kelsim::command_fails(0x12, {0x04, 0x44, 0x00}));
  EXPECT_NE(0, run());
  ASSERT_NE(nullptr, record());
  EXPECT_EQ(nullptr, record()->watch_ring) << "the set-up stopped at the device information";
}

TEST_F(MountSetup, FirstGenerationCartridgeInAThirdGenerationDrive) {
  struct Case {
    const char* product;
    std::uint8_t medium;
    bool gen1;
  } cases[] = {{"QMR-T400A", 0xE1, true}, {"QMR-T400B", 0xF1, false}, {"QMR-T300A", 0xE1, false}};
  for (const auto& c : cases) {
    SimOptions o;
    o.product = c.product;
    o.medium = c.medium;
    start(o);
    ASSERT_EQ(0, run()) << c.product;
    EXPECT_EQ(c.gen1, (record()->mntinfo.WriteProtectReasonFlags & 0x200u) != 0) << c.product;
    EXPECT_EQ(c.gen1, logged("Gen1 Cartridge is Unrecordable for Gen3 Drive.\n"));
    finish();
  }
}

TEST_F(MountSetup, RewritableMediumAndTheRollbackPoint) {
  for (std::uint32_t flags : {0x202u, 0xE2u}) {
    SimOptions o;
    o.medium = 0xE2;
    start(o);
    args_.flags = flags;
    ASSERT_EQ(0, run()) << std::hex << flags;
    mdcudfsr_mount* m = record();
    EXPECT_EQ(1u, m->is_rewritable);
    EXPECT_EQ(1, m->disk_data_mode);
    EXPECT_EQ(0u, m->rollback_present) << "no rollback point was saved";
    EXPECT_EQ(0u, m->loaded_slot);
    EXPECT_EQ(flags | 0x8u, m->mount_ext_flags);
    finish();
  }
}

}  // namespace
