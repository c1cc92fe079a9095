// A simulated lower disk device for the filter's tests: it answers the
// storage, disk and pass-through requests the filter sends, records every
// request it receives, and completes either at once or later from a worker
// thread of its own.
#pragma once

#include "kmode/disk.h"
#include "kmode/kernel.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace simdisk {

using namespace kmode;

// A control code the disk answers by writing `echo_information` bytes of
// 0x5A into the output (system buffer, or the MDL's buffer).
constexpr ULONG kEchoCode(ULONG method) { return CTL_CODE(0x22, 0x900, method, FILE_ANY_ACCESS); }

struct Config {
  std::string vendor = "QUORVEL ";
  std::string product = "QMR-T100        ";
  std::string revision = "1.00";
  // When set, these bytes are the whole descriptor answered (the first
  // query still gets its first 8 bytes).
  std::optional<std::vector<UCHAR>> raw_descriptor;
  // When set, the descriptor answer to the full query is cut to this many
  // bytes (Information says so).
  std::optional<ULONG> descriptor_returned;
  NTSTATUS query_status = STATUS_SUCCESS;

  DISK_GEOMETRY geometry{};
  LONGLONG disk_size = 0;
  // When set, geometry, geometry-ex and length answers report this many
  // bytes with success instead of their full size.
  std::optional<ULONG> short_information;

  UCHAR slots = 5;
  // When set, the MECHANISM STATUS answer holds only this many bytes (the
  // pass-through record's DataTransferLength says so).
  std::optional<ULONG> mechanism_returned;
  UCHAR scsi_status = SCSISTAT_GOOD;
  NTSTATUS pass_through_status = STATUS_SUCCESS;
  NTSTATUS owner_status = STATUS_SUCCESS;
  NTSTATUS pnp_status = STATUS_SUCCESS;
  ULONG characteristics = 0;
  ULONG echo_information = 0;
  bool complete_later = false;  // pend every request, complete from a worker
};

Config default_config();

struct Call {
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG code = 0;
  ULONG input_length = 0;
  ULONG output_length = 0;
  PVOID system_buffer = nullptr;
  PVOID user_buffer = nullptr;
  std::vector<UCHAR> input;  // the system buffer's first input_length bytes
  bool has_mdl = false;
  SHORT mdl_flags = 0;
  PVOID mdl_address = nullptr;
  ULONG mdl_length = 0;
  ULONG process_id = 0;
};

class SimDisk {
 public:
  explicit SimDisk(Config config = default_config());
  ~SimDisk();
  SimDisk(const SimDisk&) = delete;
  SimDisk& operator=(const SimDisk&) = delete;

  DEVICE_OBJECT* device() const { return device_; }
  Config& config() { return config_; }

  std::vector<Call> calls() const;
  void clear_calls();
  // Requests with this control code (device control) seen so far.
  std::size_t count(ULONG code) const;
  std::size_t count_major(UCHAR major, UCHAR minor = 0xFF) const;

  // Holds every request that arrives from now on until release(); only
  // with complete_later.
  void hold();
  void release();
  // Requests waiting on the worker (held or not yet answered).
  std::size_t waiting() const;

  static NTSTATUS Dispatch(DEVICE_OBJECT* device, IRP* irp);

 private:
  void answer(IRP* irp);
  void worker();

  Config config_;
  DEVICE_OBJECT* device_ = nullptr;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
  std::deque<IRP*> queue_;
  bool held_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// The I/O manager's side of a request sent to the top of a stack.
struct Result {
  NTSTATUS returned = 0;  // what IoCallDriver returned
  NTSTATUS status = 0;    // the final status
  ULONG_PTR information = 0;
};

// A buffered control request: `buffer` serves as the system buffer.
Result send_ioctl(DEVICE_OBJECT* top, ULONG code, void* buffer, ULONG input_length,
                  ULONG output_length);
Result send_major(DEVICE_OBJECT* top, UCHAR major, UCHAR minor = 0);
Result send_usage_notification(DEVICE_OBJECT* top, DEVICE_USAGE_NOTIFICATION_TYPE type,
                               bool in_path);

}  // namespace simdisk
