// The engine's road to the drive: SCSI commands through the host service's
// named pipe, wrapped with the medium cookie and the drive-command context of
// the request being served.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Direction codes of quorvel_scsi_transfer.
constexpr int kScsiDirNone = -1;
constexpr int kScsiDirOut = -2;  // data to the device
constexpr int kScsiDirIn = -3;   // data from the device

extern "C" {

// Returns 1, the descriptor the engine passes back later; the arguments are
// ignored.
int quorvel_scsi_open(int device, int mode);
// Does nothing; 0.
int quorvel_scsi_close(int fd);

// Sends one SCSI command and waits for the answer. fd is ignored. The
// time-out sent to the service is 60 s, 120 s for the opcodes 04h and 5Bh,
// 180 s for A6h. On success returns 0 and sets *status to 1 when sense came
// back (copied to sense, at most sense_capacity bytes) and to 0 otherwise.
// On failure returns the Win32 error and leaves *status untouched. A data-in
// answer shorter than transfer_length has its missing tail zeroed; a short
// READ(10) then fails with 1117 (ERROR_IO_DEVICE).
int quorvel_scsi_transfer(int fd, std::uint32_t cdb_length, const std::uint8_t* cdb, int direction,
                          std::uint32_t transfer_length, void* data, std::uint8_t sense_capacity,
                          std::uint8_t* sense, std::uint8_t* status);

// What may have changed the drive outside the engine's own commands: a count
// that moves on with every notification of the host service and every turn
// of the drive utility library with the drive. 0 while the library holds the
// drive (from the hand-over to the end of that request), when nothing read
// from the drive can be kept.
std::uint64_t quorvel_drive_epoch();

}  // extern "C"

namespace kel {

class CQVServiceInterface;
// The interface library's own pipe client (kel/pipe_client.h).
CQVServiceInterface& ServiceInterface();

// What every drive command carries of the request being served.
struct DriveCommandContext {
  std::uint64_t SequenceNumber = 0;
  std::uint32_t Phase = 0;
  std::uint8_t Unmounting = 0;
};

// The running request interface installs a function that reports its
// drive-command context (and removes it, with nullptr, when it ends). With
// none installed every field is 0. The function may be called from any
// thread that logs or sends a drive command.
using DriveCommandContextSource = DriveCommandContext (*)();
void SetDriveCommandContextSource(DriveCommandContextSource source);
DriveCommandContext CurrentDriveCommandContext();

// The medium cookie of the command line ("/dev/sd%p"), set by
// quorvel_kel_init; 0 before.
void SetMediumCookie(std::uint64_t cookie);
std::uint64_t MediumCookie();

// The end-of-request notice of a request handler: a message without a
// command, with the time-out 60 s, carrying the current drive-command
// context (whose phase the handler has set to 12). 0 or the Win32 error.
DWORD SendEndOfRequestNotice();

// The drive utility library is handed the drive, until the end of the
// request (SendEndOfRequestNotice ends the turn): quorvel_drive_epoch
// answers 0 meanwhile.
void BeginDriveSdkTurn();
void EndDriveSdkTurn();

// Time-out in seconds that quorvel_scsi_transfer sends with a CDB.
std::uint32_t ScsiTimeoutSeconds(std::uint32_t cdb_length, const std::uint8_t* cdb);

}  // namespace kel
