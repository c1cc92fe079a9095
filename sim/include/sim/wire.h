// Messages of the host service's pipe: the SCSI request, the control request
// and the answer. All fields are little-endian and packed.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace kelsim {

// Request code of a SCSI request (offset 24 of the request).
constexpr std::uint32_t kScsiRequestCode = 0x0009714Cu;
// Value at offset 4 of every request.
constexpr std::uint32_t kRequestVersion = 20;
// Phase of the end-of-request notice (no CDB).
constexpr std::uint32_t kPhaseEndOfRequest = 12;
// Zero bytes that close every request message after its variable part.
constexpr std::size_t kRequestTrailer = 100;
// Answer status for a request naming a medium cookie no drive answers to.
constexpr std::int32_t kStatusNoSuchDevice = 55;  // ERROR_DEV_NOT_EXIST
// Answer status for a command for a medium whose client is another process
// that is still connected (one client process per medium).
constexpr std::int32_t kStatusMediumInUse = 108;  // ERROR_DRIVE_LOCKED
// Answer status for a control request (the service offers none).
constexpr std::int32_t kStatusNotSupported = 50;  // ERROR_NOT_SUPPORTED
// Answer status for a request too short or inconsistent to be served.
constexpr std::int32_t kStatusBadRequest = 87;  // ERROR_INVALID_PARAMETER
// Answer status for a CHECK CONDITION whose sense bytes find no room in the
// answer (sense capacity 0, or an answer capacity of 8 or less).
constexpr std::int32_t kStatusSenseLost = 1117;  // ERROR_IO_DEVICE

#pragma pack(push, 1)
// Fixed head of a SCSI request; the CDB, the data out and 100 zero bytes follow.
struct ScsiRequestHeader {
  std::uint32_t total_length;     // 0
  std::uint32_t version;          // 4: 20
  std::uint64_t key;              // 8: the sender's thread id
  std::uint32_t flags;            // 16
  std::uint32_t reserved20;       // 20
  std::uint32_t request_code;     // 24: kScsiRequestCode
  std::uint32_t payload_length;   // 28: CDB length + data-out length
  std::uint32_t answer_capacity;  // 32
  std::uint64_t medium_cookie;    // 36
  std::uint8_t unmount;           // 44
  std::uint8_t reserved45[7];     // 45
  std::uint64_t sequence;         // 52
  std::uint32_t phase;            // 60
  std::uint8_t data_out;          // 64
  std::uint8_t cdb_length;        // 65
  std::uint8_t sense_capacity;    // 66
  std::uint8_t reserved67;        // 67
  std::uint32_t transfer_length;  // 68
  std::uint32_t timeout_seconds;  // 72
};
static_assert(sizeof(ScsiRequestHeader) == 76, "SCSI request head is 76 bytes");

// Fixed head of a control request; the input bytes follow at 36.
struct ControlRequestHeader {
  std::uint32_t total_length;     // 0
  std::uint32_t version;          // 4
  std::uint64_t key;              // 8
  std::uint32_t flags;            // 16
  std::uint32_t reserved20;       // 20
  std::uint32_t control_code;     // 24
  std::uint32_t input_length;     // 28
  std::uint32_t output_capacity;  // 32
};
static_assert(sizeof(ControlRequestHeader) == 36, "control request head is 36 bytes");

// Head of every answer; the payload follows at 16.
struct AnswerHeader {
  std::uint64_t key;              // 0
  std::int32_t status;            // 8: 0, a negative NTSTATUS or a positive Win32 error
  std::uint32_t payload_length;   // 12
};
static_assert(sizeof(AnswerHeader) == 16, "answer head is 16 bytes");

// Head of a SCSI answer's payload; sense or data bytes follow, never both.
struct ScsiAnswerPayload {
  std::uint8_t sense_length;      // 16
  std::uint8_t reserved[3];       // 17
  std::uint32_t data_in_length;   // 20
};
static_assert(sizeof(ScsiAnswerPayload) == 8, "SCSI answer payload head is 8 bytes");
#pragma pack(pop)

static_assert(sizeof(ScsiRequestHeader) + kRequestTrailer == 176, "a request without CDB is 176 bytes");

// Builds a SCSI request message exactly as the pipe client does. The answer
// capacity is 8 + sense capacity for a data-out command, else 8 + the larger
// of sense capacity and transfer length.
std::vector<std::uint8_t> build_scsi_request(std::uint64_t key, std::uint64_t cookie, std::uint8_t unmount,
                                             std::uint64_t sequence, std::uint32_t phase, bool data_out,
                                             std::uint32_t timeout_seconds, const std::uint8_t* cdb,
                                             std::uint8_t cdb_length, std::uint8_t sense_capacity,
                                             const std::uint8_t* data, std::uint32_t transfer_length);

// Builds a control request message.
std::vector<std::uint8_t> build_control_request(std::uint64_t key, std::uint32_t flags, std::uint32_t code,
                                                const std::uint8_t* input, std::uint32_t input_length,
                                                std::uint32_t output_capacity);

// Big-endian helpers for CDBs and drive answers.
inline std::uint16_t get_be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t get_be24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
}
inline std::uint32_t get_be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
inline void put_be16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
inline void put_be24(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 16);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v);
}
inline void put_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace kelsim
