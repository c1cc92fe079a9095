#include "cluster_support.h"

#include "kel/config.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_partitions.h"

#include <chrono>
#include <thread>

namespace vfs_test {

void AgentWaitClock::wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                                std::uint64_t deadline_ms) {
  if (deadline_ms <= now_.load()) return;
  if (cv.wait_for(lk, std::chrono::milliseconds(200)) == std::cv_status::timeout) now_.store(deadline_ms);
}

void AgentVolume::SetUp() {
  SimVolume::SetUp();
  clock_scope_.reset();
  clock_scope_ = std::make_unique<platform::ScopedClock>(agent_clock_);
  config_set_string(0, nullptr, "Fs Cache File Path", (dir_ + "/KELFS").c_str(), nullptr);
}

void AgentVolume::TearDown() {
  stop_agent();
  SimVolume::TearDown();
}

void AgentVolume::start_staging(std::uint8_t medium, std::uint32_t nwa, std::uint32_t blocks) {
  SimOptions o;
  o.medium = medium;
  o.disc_blocks = blocks;
  start(o);
  kelsim::Cartridge& cart = sim_->cartridge();
  kelsim::Disc& d = cart.disc(0);
  d.formatted = true;
  if (cart.write_once()) {
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, cart.disc_blocks(), nwa, false, false}};
  } else {
    d.status = kelsim::DiscStatus::Complete;
  }
  ASSERT_EQ(0u, cart.save());
  mnt_->logical_block_size = 2048;
  mnt_->logical_sector_size = 2048;
  ASSERT_EQ(0, mdcudfsr_init_clusters(mnt_.get()));
  start_agent();
  ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(mnt_.get(), 3, nullptr));
  take_opcodes();
  clear_log();
}

void AgentVolume::start_agent() {
  mdcudfsr_metacache_init();
  mnt_->metacachedev = mdcudfsr_metacache_alloc(mnt_.get());
  ASSERT_NE(nullptr, mnt_->metacachedev);
  argv_ = {"KelDriver", "/dev/sd1A2B", dir_};
  argp_.clear();
  for (auto& a : argv_) argp_.push_back(a.data());
  argp_.push_back(nullptr);
  ASSERT_NE(0u, FsCacheAgent_main_func(3, argp_.data()));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!mnt_->cache_agent_opened && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(mnt_->cache_agent_opened);
}

void AgentVolume::stop_agent() {
  if (!mnt_ || !mnt_->metacachedev) return;
  if (mdcudfsr_metacache_is_opened(mnt_->metacachedev)) {
    mdcudfsr_cache_local_fs_cache_del(mnt_.get(), 1);
    EXPECT_EQ(0, mdcudfsr_metacache_mark_will_free(mnt_->metacachedev));
    EXPECT_EQ(0, mdcudfsr_metacache_unmount(mnt_.get()));
    EXPECT_EQ(0, mdcudfsr_metacache_wait_close(mnt_->metacachedev, 5000));
    // The agent thread logs its end after closing the channel; the volume
    // stops only after that, so that the thread never writes to the log
    // once the test has gone.
    bool ended = logged("handler22.Start return ");
    for (int i = 0; i < 2000000 && !ended; ++i) {
      std::this_thread::yield();
      ended = logged("handler22.Start return ");
    }
    EXPECT_TRUE(ended) << "the agent thread ends";
  }
  mdcudfsr_metacache_free(mnt_->metacachedev);
  mnt_->metacachedev = nullptr;
}

std::vector<std::uint8_t> AgentVolume::image_of(const cluster_entry* e) {
  std::vector<std::uint8_t> img(MDCUDFSR_CLUSTER_BYTES);
  std::uint32_t len = 0, cache_err = 0;
  EXPECT_EQ(0, mdcudfsr_metacache_file_read(mnt_.get(), mnt_->local_cache_handles[0], e->staging_offset,
                                            MDCUDFSR_CLUSTER_BYTES, img.data(), &len, &cache_err));
  EXPECT_EQ(0u, cache_err);
  return img;
}

std::vector<std::uint8_t> AgentVolume::disc_blocks(std::uint32_t lba, std::uint32_t count) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(count) * 2048);
  EXPECT_EQ(0u, sim_->cartridge().read_blocks(0, lba, count, out.data()));
  return out;
}

int AgentVolume::count_op(const std::vector<std::uint8_t>& ops, std::uint8_t op) {
  int n = 0;
  for (auto o : ops) n += o == op;
  return n;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> AgentVolume::ranges(std::uint8_t op) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const auto& t : sim_->service().transcript()) {
    if (t.cdb.size() < 10 || t.cdb[0] != op) continue;
    const std::uint32_t lba = (t.cdb[2] << 24) | (t.cdb[3] << 16) | (t.cdb[4] << 8) | t.cdb[5];
    out.emplace_back(lba, static_cast<std::uint32_t>((t.cdb[7] << 8) | t.cdb[8]));
  }
  return out;
}

}  // namespace vfs_test
