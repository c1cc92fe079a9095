// Common fixture of the storage_scsi tests: a private configuration store,
// the recording drive, a manual clock that moves whenever the code under
// test sleeps, and a storage_scsi for device "sg0".
#pragma once

#include "drive/storage_scsi.h"
#include "kel/config.h"
#include "platform/sync.h"
#include "support_fake_drive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

class AutoAdvancer {
 public:
  explicit AutoAdvancer(platform::ManualClock& c) : clock_(c), t_([this] { run(); }) {}
  ~AutoAdvancer() {
    stop_ = true;
    t_.join();
  }
  // Milliseconds the clock was moved for sleepers.
  std::uint64_t slept_ms() const { return slept_.load(); }

 private:
  void run() {
    while (!stop_) {
      if (clock_.waiters() > 0) {
        clock_.advance(1000);
        slept_ += 1000;
        // Let the sleeper see the new time before looking again.
        while (!stop_ && clock_.waiters() > 0) std::this_thread::yield();
      } else {
        std::this_thread::yield();
      }
    }
  }
  platform::ManualClock& clock_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> slept_{0};
  std::thread t_;
};

class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_drive_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakedrive::reset();
    fakelog::reset();
    clock_scope_ = std::make_unique<platform::ScopedClock>(clock_);
    advancer_ = std::make_unique<AutoAdvancer>(clock_);
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ss_->set_device_name("/dev/sgtest-none");
  }
  void TearDown() override {
    ss_.reset();
    advancer_.reset();
    clock_scope_.reset();
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Identifies the drive so that model branches apply (as init does).
  void identify() {
    pxo_devinfo_t info{};
    ASSERT_EQ(0, ss_->get_devinfo(reinterpret_cast<char*>(&info)));
    fakedrive::clear_transcript();
  }

  std::filesystem::path dir_;
  platform::ManualClock clock_;
  std::unique_ptr<platform::ScopedClock> clock_scope_;
  std::unique_ptr<AutoAdvancer> advancer_;
  std::unique_ptr<storage_scsi> ss_;
};

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> v) {
  std::vector<std::uint8_t> out;
  for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}
