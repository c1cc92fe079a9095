#include "sim/harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

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
  DWORD rc = ERROR_SUCCESS;
  if (!options_.existing_cartridge.empty()) {
    rc = Cartridge::open(cartridge_directory(), &cart);
  } else if (options_.cartridge_source.empty()) {
    rc = Cartridge::create(cartridge_directory(), options_.cartridge, &cart);
  } else {
    rc = copy_directory_sparse(options_.cartridge_source, cartridge_directory());
    if (rc == ERROR_SUCCESS) rc = Cartridge::open(cartridge_directory(), &cart);
  }
  if (rc != ERROR_SUCCESS) give_up("kelsim: cannot create the cartridge, error " + std::to_string(rc));
  drive_ = std::make_shared<ChangerDrive>(options_.drive, cart);
  service_ = std::make_unique<HostService>(options_.pipe_name);
  service_->add_drive(options_.cookie, drive_);
  rc = service_->start();
  if (rc != ERROR_SUCCESS) give_up("kelsim: cannot start the service, error " + std::to_string(rc));
}

void SimHarness::give_up(const std::string& why) {
  service_.reset();
  drive_.reset();
  restore_pipe_dir();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  throw std::runtime_error(why);
}

void SimHarness::restore_pipe_dir() {
  if (had_pipe_dir_)
    ::setenv("KEL_PIPE_DIR", old_pipe_dir_.c_str(), 1);
  else
    ::unsetenv("KEL_PIPE_DIR");
}

SimHarness::~SimHarness() {
  service_.reset();
  drive_.reset();
  restore_pipe_dir();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

namespace {

// Copies the data extents of one file, leaving its holes unwritten.
DWORD copy_file_sparse(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return static_cast<DWORD>(errno);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    const DWORD e = static_cast<DWORD>(errno);
    ::close(in);
    return e;
  }
  DWORD rc = ERROR_SUCCESS;
  const off_t size = ::lseek(in, 0, SEEK_END);
  std::vector<char> buf(1u << 20);
  off_t at = 0;
  while (rc == ERROR_SUCCESS && at < size) {
    const off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0) break;  // only a hole is left
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) hole = size;
    for (off_t pos = data; rc == ERROR_SUCCESS && pos < hole;) {
      const std::size_t n = static_cast<std::size_t>(std::min<off_t>(hole - pos, static_cast<off_t>(buf.size())));
      const ssize_t got = ::pread(in, buf.data(), n, pos);
      if (got <= 0)
        rc = static_cast<DWORD>(got < 0 ? errno : EIO);
      else if (::pwrite(out, buf.data(), static_cast<std::size_t>(got), pos) != got)
        rc = static_cast<DWORD>(errno ? errno : EIO);
      else
        pos += got;
    }
    at = hole;
  }
  if (rc == ERROR_SUCCESS && size >= 0 && ::ftruncate(out, size) != 0) rc = static_cast<DWORD>(errno);
  ::close(in);
  if (::close(out) != 0 && rc == ERROR_SUCCESS) rc = static_cast<DWORD>(errno);
  return rc;
}

}  // namespace

DWORD copy_directory_sparse(const std::string& from, const std::string& to) {
  std::error_code ec;
  std::filesystem::create_directories(to, ec);
  if (ec) return static_cast<DWORD>(ec.value());
  for (const auto& entry : std::filesystem::directory_iterator(from, ec)) {
    const std::string target = to + "/" + entry.path().filename().string();
    if (entry.is_directory()) {
      if (DWORD rc = copy_directory_sparse(entry.path().string(), target)) return rc;
    } else if (entry.is_regular_file()) {
      if (DWORD rc = copy_file_sparse(entry.path().string(), target)) return rc;
    }
  }
  return ec ? static_cast<DWORD>(ec.value()) : ERROR_SUCCESS;
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

bool SimHarness::make_ready() {
  // Each attention is reported once; the loading lasts its commands.
  const std::uint64_t tries = 4ull + drive_->config().loading_commands;
  const std::uint8_t tur[6] = {0x00};
  for (std::uint64_t i = 0; i < tries; ++i) {
    std::vector<std::uint8_t> none;
    const ScsiResult r = drive_->execute(tur, sizeof tur, nullptr, 0, &none);
    if (!r.check_condition) return true;
    const bool becoming_ready = r.sense == Sense{0x02, 0x04, 0x01};
    if (r.sense.key != 0x06 && !becoming_ready) return false;
  }
  return false;
}

}  // namespace kelsim
