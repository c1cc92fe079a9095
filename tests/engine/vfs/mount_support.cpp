#include "mount_support.h"

#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "udf/udf_vds_rules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "kel/config.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "drive/client_if.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace vfs_test {

void MountClock::wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                            std::uint64_t deadline_ms) {
  if (deadline_ms <= now_.load()) return;
  if (cv.wait_for(lk, std::chrono::milliseconds(200)) == std::cv_status::timeout) now_.store(deadline_ms);
}

void MountClock::sleep_ms(std::uint64_t ms) {
  now_ += ms;
  if (!agent_expected) return;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!mdcudfsr_metacache_is_opened(mdcudfsr_metacache_channel()) && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
}

void MountHarness::SetUp() {
  SimVolume::SetUp();
  clock_scope_.reset();
  clock_scope_ = std::make_unique<platform::ScopedClock>(mount_clock_);
  config_set_string(0, nullptr, "Fs Cache File Path", (dir_ + "/KELFS").c_str(), nullptr);
  mdcudfsr_metacache_init();
  mdcudfsr_vfamdev_init();
  // The vnodes' fsync resolves to the engine's routine, as the flushes'
  // visit of the vnodes needs.
  saved_vnops_ = kel_vnops;
  for (vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
    if (e->opve_op == &vnop_fsync_desc) kel_vnops.fsync = e->opve_impl;
  args_ = mdcudfsr_mount_args{};
  args_.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
  args_.metadata_check = 1000;
}

void MountHarness::TearDown() {
  if (std::getenv("KEL_TEST_DUMP"))
    for (const auto& l : log_lines()) std::fprintf(stderr, "%s\n", l.c_str());
  if (record()) { EXPECT_EQ(0, host_unmount(1)); }
  FsCacheAgent_stop_unopened();
  kel_tree_set_root(nullptr);
  device_vnode_.reset();
  if (agents_running_) { EXPECT_TRUE(agent_ended()) << "the agent thread ends with the mount"; }
  SimVolume::TearDown();
  kel_vnops = saved_vnops_;
}

std::vector<std::uint8_t> MountHarness::value_1500h(std::uint32_t slot, std::uint32_t metadata_loc) {
  std::vector<std::uint8_t> v(128, 0);
  std::memcpy(v.data(), "KEL", 3);
  v[cm1500::kVersion] = 1;
  v[cm1500::kLength] = 120;
  std::memcpy(v.data() + cm1500::kEntity + 1, "*Tarn KELFS", 11);
  const std::uint32_t word = mdcudfsr_vuvi_encode(slot, metadata_loc);
  for (int i = 0; i < 4; ++i) v[cm1500::kPosition + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
  const std::uint16_t crc = scsi_service_cm::calculate_crc(v.data(), 126);
  v[cm1500::kCrc] = static_cast<std::uint8_t>(crc >> 8);
  v[cm1500::kCrc + 1] = static_cast<std::uint8_t>(crc);
  return v;
}

void MountHarness::prepare(udf_test::MediumClass cls, std::uint32_t medium_type,
                           const std::function<void(kelsim::Cartridge&)>& tweak) {
  if (agents_running_) { EXPECT_TRUE(agent_ended()) << "the agent thread of the last mount ends"; }
  const udf_test::ImageSpec spec = udf_test::spec_for(cls, 0);
  layout_ = start_volume(cls, nullptr, medium_type, [&](kelsim::Cartridge& cart) {
    cart.attributes[0x1500] = {0, value_1500h(0, udf_test::layout_for(spec).metadata_file_loc)};
    if (tweak) tweak(cart);
  });
  take_opcodes();
}

void MountHarness::premount_clean() {
  char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
  int finalized = 0, protected_ = 0, unsupported = 0;
  ASSERT_EQ(0, premount_operation(dev, media, &finalized, &protected_, &unsupported));
  MDCFS_MOUNT_INFORMATION clean{0, 0, 0, static_cast<std::uint8_t>(mnt_->medium_type), 0, 0, 0};
  ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&clean), 0, &ctx_));
}

void MountHarness::prepare_formatted_rewritable() {
  if (agents_running_) { EXPECT_TRUE(agent_ended()) << "the agent thread of the last mount ends"; }
  SimOptions o;
  o.medium = 0xE2;
  o.disc_blocks = 0x100000;
  start(o);
  // No reason of an earlier test keeps the blank disc from its format.
  premount_clean();
  ASSERT_EQ(0, host_mount(0x202, false));
  ASSERT_EQ(0, host_unmount(1));
  ASSERT_TRUE(agent_ended());
  // The next mount reads the disc, not the cache this one left.
  std::filesystem::remove_all(dir_ + "/KELFS");
  take_opcodes();
  clear_log();
}

int MountHarness::host_mount(std::uint32_t flags, bool premount) {
  argv_ = {"KelDriver", "/dev/sd1A2B", dir_};
  argp_.clear();
  for (auto& a : argv_) argp_.push_back(a.data());
  argp_.push_back(nullptr);
  if (premount) {
    char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
    int finalized = 0, protected_ = 0, unsupported = 0;
    const int err = premount_operation(dev, media, &finalized, &protected_, &unsupported);
    if (err) return err;
  }
  if (FsCacheAgent_main_func(3, argp_.data()) == 0) return 12;
  ++agents_running_;
  host_mp_ = mount{};
  args_.flags = flags;
  root_ = nullptr;
  device_vnode_ = kel_make_vnode(&host_mp_, nullptr, 0, 0);
  kel_tree_make_root(device_vnode_);
  int err = mdcudfsr_vfsops_table.vfs_mount(&host_mp_, device_vnode_.get(), &args_, &ctx_);
  if (err) return err;
  if ((err = mdcudfsr_vfsops_table.vfs_start(&host_mp_, 0, &ctx_)) != 0) return err;
  return mdcudfsr_vfsops_table.vfs_root(&host_mp_, &root_, &ctx_);
}

int MountHarness::host_unmount(int force) { return mdcudfsr_vfsops_table.vfs_unmount(&host_mp_, force, &ctx_); }

bool MountHarness::agent_ended() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (count_log("handler22.Start return ") < agents_running_ && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
  if (count_log("handler22.Start return ") < agents_running_) return false;
  agents_running_ = 0;
  return true;
}

MDCFS_MOUNT_INFORMATION MountHarness::drive_copy() {
  MDCFS_MOUNT_INFORMATION mi{};
  EXPECT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOGETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, &ctx_));
  return mi;
}

int MountHarness::count_sent(const std::string& name) { return count_log(name); }

}  // namespace vfs_test
