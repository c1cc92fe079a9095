// Everything a test needs to talk to a simulated drive through the real
// pipe: a temporary directory that becomes KEL_PIPE_DIR, a blank cartridge in
// it, a drive and a running host service.
//
//   kelsim::SimHarness sim;                      // write-once E1h, 12 slots
//   ... connect to "\\.\pipe\QuorvelAPIPipe" with cookie sim.cookie() ...
//   sim.drive().add_fault(kelsim::read_error(100, 131));
//   for (auto& e : sim.service().transcript()) ...
#pragma once

#include "sim/service.h"

#include <memory>
#include <string>

namespace kelsim {

struct HarnessOptions {
  CartridgeSetup cartridge;
  DriveConfig drive;
  std::uint64_t cookie = 0x1A2B;
  std::string pipe_name = kServicePipeName;
  // When set: the cartridge is a copy of the one stored in this directory
  // (sparse images stay sparse) instead of a blank one made from
  // `cartridge`.
  std::string cartridge_source;
  // Where the temporary directory is made ("" : /tmp).
  std::string parent_directory;
  // A cartridge stored there is served in place of a new blank one.
  std::string existing_cartridge;
};

// Copies a directory's regular files into `to` (created), keeping the holes
// of sparse files. ERROR_SUCCESS or the first failure's error.
DWORD copy_directory_sparse(const std::string& from, const std::string& to);

class SimHarness {
 public:
  explicit SimHarness(HarnessOptions options = {});
  ~SimHarness();
  SimHarness(const SimHarness&) = delete;
  SimHarness& operator=(const SimHarness&) = delete;

  HostService& service() { return *service_; }
  ChangerDrive& drive() { return *drive_; }
  Cartridge& cartridge() { return *drive_->cartridge(); }
  std::uint64_t cookie() const { return options_.cookie; }
  // "/dev/sd" followed by the cookie in hexadecimal, as the engine gets it.
  std::string cookie_text() const;
  // The temporary directory (pipes in "pipes", the cartridge in "cartridge").
  const std::string& directory() const { return dir_; }
  std::string cartridge_directory() const {
    return options_.existing_cartridge.empty() ? dir_ + "/cartridge" : options_.existing_cartridge;
  }

  // Stops the service, drops the drive, opens the cartridge again from its
  // directory and serves it with a new drive and service.
  DWORD restart();

  // TEST UNIT READY until the drive answers GOOD, as a host does before it
  // uses a drive: past the unit attention of its start or of a disc change,
  // and a disc becoming ready. Sent to the drive itself, not through the
  // pipe, so the transcript does not show it. False when the drive answers
  // anything else (no disc, a fault rule).
  bool make_ready();

 private:
  // A constructor that fails removes what it made and throws.
  [[noreturn]] void give_up(const std::string& why);
  void restore_pipe_dir();

  HarnessOptions options_;
  std::string dir_;
  std::string old_pipe_dir_;
  bool had_pipe_dir_ = false;
  std::shared_ptr<ChangerDrive> drive_;
  std::unique_ptr<HostService> service_;
};

}  // namespace kelsim
