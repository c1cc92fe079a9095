// Client of the host service's named pipe "\\.\pipe\QuorvelAPIPipe".
//
// One process-wide client carries every SCSI command (and the end-of-request
// notices) to the host service. It connects on first use, writes one message
// per request and lets one reader thread route each answer, by the key in
// its first 8 bytes (the sending thread's id), to the thread that waits for
// it. It applies no time-out of its own: the time-out travels in the message,
// for the service. When the reader ends for any reason (broken pipe, a
// message that cannot be read, shutdown) the connection is closed, every
// waiting request fails with the reader's error, and the next request
// connects again.
//
// The interface library and the drive utility library each link their own
// copy of this client (a static library with hidden symbols).
//
// Failures are reported as false with the Win32 error as the thread's last
// error: 2 no host service (at once, without waiting), 8 no memory, 21 no
// connection for a control request, 87 bad arguments, 109 the pipe broke,
// 170 the thread already has a request in flight, 1067 the client is
// stopping, 1359 a malformed answer (shorter than its head says, or more
// data or output than the request can take), a converted NTSTATUS, or the
// service's positive Win32 status.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

// Everything of the client stays inside the library that links it, also the
// template code made for its types.
#define KEL_PIPECLIENT_LOCAL __attribute__((visibility("hidden")))

namespace kel {

// Request codes and fixed values of the wire format.
constexpr std::uint32_t kQVRequestVersion = 20;
constexpr std::uint32_t kQVScsiRequestCode = 0x0009714Cu;
constexpr std::uint32_t kQVRegistrationCode = 0x00093134u;
constexpr std::uint32_t kQVFsNameQueryCode = 0x00092000u;
constexpr std::uint32_t kQVPhaseEndOfRequest = 12;
constexpr std::uint32_t kQVRequestTrailer = 100;
constexpr const char* kQVPipeName = "QuorvelAPIPipe";
// NTSTATUS of an answer that cancelRequest makes up.
constexpr std::int32_t kStatusCancelled = static_cast<std::int32_t>(0xC0000120u);
// Kind of the record the client queues itself when the pipe breaks.
constexpr std::uint32_t kQVNotifyPipeBroken = 7;

#pragma pack(push, 1)
// SCSI request: this head, the CDB, the data out, then 100 zero bytes.
struct QVScsiRequestHeader {
  std::uint32_t TotalLength;     // 0
  std::uint32_t Version;         // 4: 20
  std::uint64_t Key;             // 8: id of the sending thread
  std::uint32_t Flags;           // 16
  std::uint32_t Reserved20;      // 20
  std::uint32_t RequestCode;     // 24: kQVScsiRequestCode
  std::uint32_t PayloadLength;   // 28: CDB length + data-out length
  std::uint32_t AnswerCapacity;  // 32
  std::uint64_t MediumCookie;    // 36
  std::uint8_t Unmount;          // 44
  std::uint8_t Reserved45[7];    // 45
  std::uint64_t SequenceNumber;  // 52
  std::uint32_t Phase;           // 60
  std::uint8_t DataOut;          // 64
  std::uint8_t CdbLength;        // 65
  std::uint8_t SenseCapacity;    // 66
  std::uint8_t Reserved67;       // 67
  std::uint32_t TransferLength;  // 68
  std::uint32_t TimeoutSeconds;  // 72
};
static_assert(sizeof(QVScsiRequestHeader) == 76, "SCSI request head is 76 bytes");

// Control request: this head, the input bytes, then 140 zero bytes (the
// message is 176 + input length bytes).
struct QVControlRequestHeader {
  std::uint32_t TotalLength;     // 0
  std::uint32_t Version;         // 4: 20
  std::uint64_t Key;             // 8
  std::uint32_t Flags;           // 16
  std::uint32_t Reserved20;      // 20
  std::uint32_t ControlCode;     // 24
  std::uint32_t InputLength;     // 28
  std::uint32_t OutputCapacity;  // 32
};
static_assert(sizeof(QVControlRequestHeader) == 36, "control request head is 36 bytes");

// Head of every answer; the payload follows.
struct QVAnswerHeader {
  std::uint64_t Key;            // 0: the request's key; 0 for a notification
  std::int32_t Status;          // 8: 0, a negative NTSTATUS or a positive Win32 error
  std::uint32_t PayloadLength;  // 12
};
static_assert(sizeof(QVAnswerHeader) == 16, "answer head is 16 bytes");

// Head of a SCSI answer's payload; the sense bytes (when SenseLength is not
// 0) or else the data-in bytes follow.
struct QVScsiAnswerPayload {
  std::uint8_t SenseLength;    // 16
  std::uint8_t Reserved[3];    // 17
  std::uint32_t DataInLength;  // 20
};
static_assert(sizeof(QVScsiAnswerPayload) == 8, "SCSI answer payload head is 8 bytes");

// Head of a notification record.
struct QVNotificationRecord {
  std::uint32_t Length;
  std::uint32_t Kind;
  std::uint64_t Key;
};
static_assert(sizeof(QVNotificationRecord) == 16, "notification record head is 16 bytes");

// Answer of the file-system name query kQVFsNameQueryCode.
struct QVFsNameQuery {
  WCHAR Name[128];
  std::uint32_t Version;
  std::uint32_t Flags;
};
static_assert(sizeof(QVFsNameQuery) == 264, "file-system name query answer is 264 bytes");
#pragma pack(pop)

static_assert(sizeof(QVScsiRequestHeader) + kQVRequestTrailer == 176, "a request without CDB is 176 bytes");

// Win32 error of an NTSTATUS the service may return. Unknown values give
// kUnknownNtStatusError (ERROR_MR_MID_NOT_FOUND, as the system's own
// conversion answers them).
constexpr DWORD kUnknownNtStatusError = 317;
KEL_PIPECLIENT_LOCAL DWORD NtStatusToWin32Error(std::int32_t status);

// Finds the volumes of the host's kernel file system. There are none on this
// platform: find() reports 1168 (ERROR_NOT_FOUND).
class KEL_PIPECLIENT_LOCAL CDriveLetterFinder {
 public:
  // Searches once; later calls give the first result. 0 when volumes were
  // found, else the search's error.
  DWORD find();
  const std::vector<std::string>& roots() const { return m_roots; }
  std::uint32_t version() const { return m_version; }
  // One "%s=%d" entry per drive tried, joined by "; ".
  const std::string& report() const { return m_report; }

 private:
  std::uint32_t m_searched = 0;
  std::uint32_t m_version = 0;
  std::vector<std::string> m_roots;
  std::string m_report;
  DWORD m_error = 0;
};

// Receiver of notifications: (registration kind, context, record kind,
// record length, record).
using QVNotificationCallback = void (*)(std::uint64_t kind, void* context, std::uint32_t record_kind,
                                        std::uint32_t record_length, const void* record);

class KEL_PIPECLIENT_LOCAL CQVServiceInterfaceImpl;

class KEL_PIPECLIENT_LOCAL CQVServiceInterface {
 public:
  explicit CQVServiceInterface(const char* pipe_name = kQVPipeName);
  virtual ~CQVServiceInterface();
  CQVServiceInterface(const CQVServiceInterface&) = delete;
  CQVServiceInterface& operator=(const CQVServiceInterface&) = delete;

  // True while the pipe is open (or volume handles are kept).
  virtual bool isConnected();
  // Does nothing; false.
  virtual bool reserved();
  // Sends a file-system control request; *returned gets the output bytes
  // copied (at most output_capacity).
  virtual bool controlRequest(std::uint32_t flags, std::uint32_t code, const void* input,
                              std::uint32_t input_length, void* output, std::uint32_t output_capacity,
                              std::uint32_t* returned);
  // Completes the request the thread waits for with the status cancelled
  // (its caller sees 995). False when the thread waits for nothing. The
  // service's answer to the cancelled request is dropped when it comes; the
  // thread's next request is sent only after it came (or the connection
  // ended), so it can never be taken for the next request's answer.
  virtual bool cancelRequest(std::uint64_t thread_id);

  // Sends one SCSI request and waits for its answer. sense_length: in, the
  // sense capacity; out, the sense bytes copied (a longer sense is cut to
  // the capacity). transfer_length: in, the bytes to send or receive; out,
  // the data-in bytes received (0 when sense came back). A data-in answer
  // may be shorter than asked; the caller sees how many bytes came.
  bool sendScsiCommand(std::uint32_t flags, std::uint64_t medium_cookie, std::uint8_t unmount,
                       std::uint64_t sequence, std::uint32_t phase, std::uint8_t data_out,
                       std::uint32_t timeout_seconds, const std::uint8_t* cdb, std::uint8_t cdb_length,
                       std::uint8_t* sense, std::uint8_t* sense_length, void* data,
                       std::uint32_t* transfer_length);

  // Size of the reader's buffer: the smallest power of two that holds the
  // largest answer asked for so far plus 24 bytes.
  std::uint32_t readBufferSize() const;
  // Notification records handed to the dispatcher so far.
  std::uint64_t notificationCount() const;
  // Threads whose request waits for the answer of their cancelled one.
  std::uint32_t lateAnswerWaiters() const;

 private:
  CQVServiceInterfaceImpl* m_impl;
};

}  // namespace kel
