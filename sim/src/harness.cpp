#include "sim/harness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace kelsim {

SimHarness::SimHarness(HarnessOptions options) : options_(std::move(options)) {
  std::string tmpl = (options_.parent_directory.empty() ? "/tmp" : options_.parent_directory) + "/kelsim-XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("kelsim: cannot make a temporary directory in " + tmpl);
  dir_ = tmpl;
  if (const char* old = std::getenv("KEL_PIPE_DIR")) {
    had_pipe_dir_ = true;
    old_pipe_dir_ = old;
  }
  ::setenv("KEL_PIPE_DIR", (dir_ + "/pipes").c_str(), 1);
  std::shared_ptr<Cartridge> cart;
  DWORD rc = options_.existing_cartridge.empty() ? Cartridge::create(cartridge_directory(), options_.cartridge, &cart)
                                                 : Cartridge::open(cartridge_directory(), &cart);
  if (rc != ERROR_SUCCESS) throw std::runtime_error("kelsim: cannot create the cartridge, error " + std::to_string(rc));
  drive_ = std::make_shared<ChangerDrive>(options_.drive, cart);
  service_ = std::make_unique<HostService>(options_.pipe_name);
  service_->add_drive(options_.cookie, drive_);
  rc = service_->start();
  if (rc != ERROR_SUCCESS) throw std::runtime_error("kelsim: cannot start the service, error " + std::to_string(rc));
}

SimHarness::~SimHarness() {
  service_.reset();
  drive_.reset();
  if (had_pipe_dir_)
    ::setenv("KEL_PIPE_DIR", old_pipe_dir_.c_str(), 1);
  else
    ::unsetenv("KEL_PIPE_DIR");
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::string SimHarness::cookie_text() const {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "/dev/sd%llx", static_cast<unsigned long long>(options_.cookie));
  return buf;
}

DWORD SimHarness::restart() {
  service_.reset();  // stops and saves
  drive_.reset();
  std::shared_ptr<Cartridge> cart;
  DWORD rc = Cartridge::open(cartridge_directory(), &cart);
  if (rc != ERROR_SUCCESS) return rc;
  drive_ = std::make_shared<ChangerDrive>(options_.drive, cart);
  service_ = std::make_unique<HostService>(options_.pipe_name);
  service_->add_drive(options_.cookie, drive_);
  return service_->start();
}

}  // namespace kelsim
