// The engine in this process on a simulated drive: Initialise with a
// cookie and a cache directory of the test's own, a registry of its own,
// and everything undone afterwards. The log lines of the engine and the
// interface library are recorded (entry_test.cpp wraps the sinks).
#pragma once

#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/entry.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelhost/vnode.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"
#include "sim/harness.h"
#include "support/settles.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace enginetest {

// The recorded log: whether a line holds needle; forget what was recorded.
bool logged(const std::string& needle);
void clear_log();

// The engine in this process stopped and every trace of it undone: the
// volume unmounted (when mounted), the module stopped, the drive client,
// the host tree, the resolved vnode operations and the process state gone.
inline void stop_engine() {
  if (kel_global_mount()->mnt_data != nullptr) kelmain::Unmount(true);
  com_tarn_filesystems_mdcudfsr_stop();
  clientif_delete();
  kel_tree_set_root(nullptr);
  kel_vnops = KelResolvedVnops{};
  kelmain::process_state() = kelmain::ProcessState{};
}

class EngineOnSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kel_engine_main_" + std::to_string(::getpid()) + "_" +
            kel_test::flat_test_name());
    std::filesystem::create_directories(dir_);
    ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    clear_log();
    kel_tree_set_root(nullptr);
  }
  void TearDown() override {
    stop_engine();
    stop_sim();
    kel::ResetConfigCache();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  // `rewritable_formatted` false: the rewritable discs were never formatted.
  void start_sim(std::uint8_t medium, const char* product = "QMR-T300B", bool rewritable_formatted = true) {
    kelsim::HarnessOptions o;
    o.cartridge.medium_type = medium;
    o.cartridge.rewritable_formatted = rewritable_formatted;
    o.drive.product = product;
    sim_ = std::make_unique<kelsim::SimHarness>(o);
    cookie_ = sim_->cookie_text();
    cache_ = (dir_ / "cache").string();
    argv_ = {program_.data(), cookie_.data(), cache_.data(), nullptr};
    ASSERT_EQ(quorvel_kel_init(3, const_cast<const char**>(argv_.data())), 0);
  }
  void stop_sim() {
    if (!sim_) return;
    sim_.reset();
    kel::SetMediumCookie(0);
    // A deadline a healthy run never reaches: the client sees the broken
    // connection as soon as the service is gone.
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }
  int initialise() { return Initialise(3, argv_.data()); }
  // A blank medium initialised and mounted with the default flags.
  void mount_blank(std::uint8_t medium) {
    ASSERT_NO_FATAL_FAILURE(start_sim(medium));
    ASSERT_EQ(initialise(), 0);
    ASSERT_EQ(kelmain::MountDefault(), 0);
  }

  std::filesystem::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  std::string program_ = "KelDriver", cookie_, cache_;
  std::vector<char*> argv_;
};

}  // namespace enginetest
