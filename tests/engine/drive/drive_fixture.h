// Common fixture of the storage_scsi tests: a private configuration store,
// the recording drive, a clock on which sleeps return at once, and a storage_scsi for device "sg0".
#pragma once

#include "drive/storage_scsi.h"
#include "kel/config.h"
#include "platform/sync.h"
#include "support_fake_drive.h"
#include "support/udfinfo.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// A clock on which every sleep returns at once, moving the time forward and
// recording the sleep, so retries that wait seconds cost nothing.
class InstantClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return now_.load(); }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&,
                  std::uint64_t deadline_ms) override {
    if (deadline_ms > now_.load()) now_.store(deadline_ms);
  }
  void sleep_ms(std::uint64_t ms) override {
    now_ += ms;
    slept_ += ms;
    ++sleeps_;
  }
  std::uint64_t slept_ms() const { return slept_.load(); }
  int sleeps() const { return sleeps_.load(); }

 private:
  std::atomic<std::uint64_t> now_{1000000};
  std::atomic<std::uint64_t> slept_{0};
  std::atomic<int> sleeps_{0};
};

class DriveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_drive_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    fakedrive::reset();
    fakelog::reset();
    clock_scope_ = std::make_unique<platform::ScopedClock>(clock_);
    ss_ = std::make_unique<storage_scsi>();
    ss_->set_device_number("sg0");
    ss_->set_device_name("/dev/sgtest-none");
  }
  void TearDown() override {
    ss_.reset();
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
  InstantClock clock_;
  std::unique_ptr<platform::ScopedClock> clock_scope_;
  std::unique_ptr<storage_scsi> ss_;
};

inline std::vector<std::uint8_t> bytes(std::initializer_list<int> v) {
  std::vector<std::uint8_t> out;
  for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

// A 1500h value of this system with the given volume type; crc_ok false
// spoils the CRC.
inline std::vector<std::uint8_t> value_1500h(int volume_type, bool crc_ok = true, std::uint8_t version = 1) {
  std::vector<std::uint8_t> v(128, 0);
  std::memcpy(v.data(), "KEL", 3);
  v[3] = version;
  v[7] = 120;
  std::memcpy(v.data() + 9, "*Tarn KELFS", 11);
  v[28] = static_cast<std::uint8_t>(volume_type);
  std::uint16_t crc = calculate_crc(v.data(), 126);
  if (!crc_ok) crc ^= 0x1234;
  v[126] = static_cast<std::uint8_t>(crc >> 8);
  v[127] = static_cast<std::uint8_t>(crc);
  return v;
}
