// A minimal raw client of the host service's pipe, for tests and the
// benchmark: sends SCSI requests built byte for byte as the system's pipe
// client builds them and returns the answer as it came.
#pragma once

#include "platform/pipe.h"
#include "sim/wire.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelsim {

struct RawAnswer {
  std::uint64_t key = 0;
  std::int32_t status = 0;
  std::uint32_t payload_length = 0;
  std::uint8_t sense_length = 0;
  std::uint32_t data_in_length = 0;
  std::vector<std::uint8_t> sense;  // sense bytes when sense_length is not 0
  std::vector<std::uint8_t> data;   // data bytes otherwise
  std::vector<std::uint8_t> raw;    // the whole answer message
};

struct ScsiCall {
  std::vector<std::uint8_t> cdb;
  std::vector<std::uint8_t> data_out;   // non-empty: a data-out command
  std::uint32_t transfer_length = 0;    // data-in length asked for
  std::uint8_t sense_capacity = 16;
  std::uint64_t cookie = 0;
  std::uint64_t sequence = 0;
  std::uint32_t phase = 0;
  std::uint8_t unmount = 0;
  std::uint32_t timeout_seconds = 60;
  std::uint64_t key = 0;                // 0: the client's running key
};

class RawClient {
 public:
  // Connects to the service's pipe. ERROR_SUCCESS or the pipe error.
  DWORD connect(const std::string& pipe_name = "QuorvelAPIPipe");
  // Sends one request and waits for the next answer message on this
  // connection. A pipe failure is returned as its Win32 error.
  DWORD call(const ScsiCall& c, RawAnswer* out);
  // Two halves of call() for tests that keep several requests in flight.
  DWORD send(const ScsiCall& c, std::uint64_t* key_used = nullptr);
  DWORD send_raw(const std::vector<std::uint8_t>& msg);
  DWORD receive(RawAnswer* out);
  platform::PipeConnection* connection() { return conn_.get(); }
  void close() { conn_.reset(); }

 private:
  std::unique_ptr<platform::PipeConnection> conn_;
  std::uint64_t next_key_ = 0x1000;
};

// Parses an answer message; false when it is shorter than its head says.
bool parse_answer(const std::vector<std::uint8_t>& msg, RawAnswer* out);

}  // namespace kelsim
