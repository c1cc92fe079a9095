// The engine's SCSI transfer through the process-wide pipe client.
#include "kel/scsi.h"

#include "kel/debug.h"
#include "kel/medium_lock.h"
#include "kel/pipe_client.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t kOpRead10 = 0x28;

// The interface library's own client, built when the library is loaded and
// destroyed when it is unloaded.
kel::CQVServiceInterface g_service;

void log_line(int level, const char* text) {
  if (CheckLogLevel(level)) SendDebugStringA(level, text);
}

}  // namespace

std::uint32_t kel::ScsiTimeoutSeconds(std::uint32_t cdb_length, const std::uint8_t* cdb) {
  if (cdb_length == 0 || !cdb) return 60;
  if (cdb[0] == 0x04 || cdb[0] == 0x5B) return 120;
  if (cdb[0] == 0xA6) return 180;
  return 60;
}

int quorvel_scsi_open(int, int) { return 1; }

int quorvel_scsi_close(int) { return 0; }

int quorvel_scsi_transfer(int, std::uint32_t cdb_length, const std::uint8_t* cdb, int direction,
                          std::uint32_t transfer_length, void* data, std::uint8_t sense_capacity,
                          std::uint8_t* sense, std::uint8_t* status) {
  if (cdb_length > 255 || (cdb_length && !cdb)) return ERROR_INVALID_PARAMETER;
  // An engine refused its medium's lock never reaches the drive.
  if (const DWORD refused = kel::MediumRefusal()) return static_cast<int>(refused);
  const bool data_out = direction == kScsiDirOut;
  const kel::DriveCommandContext ctx = kel::CurrentDriveCommandContext();
  std::uint8_t sense_length = sense_capacity;
  std::uint32_t received = transfer_length;
  const std::uint8_t opcode = cdb_length ? cdb[0] : 0;
  if (!g_service.sendScsiCommand(0, kel::MediumCookie(), ctx.Unmounting, ctx.SequenceNumber, ctx.Phase,
                                 data_out ? 1 : 0, kel::ScsiTimeoutSeconds(cdb_length, cdb), cdb,
                                 static_cast<std::uint8_t>(cdb_length), sense, &sense_length, data,
                                 &received)) {
    DWORD e = GetLastError();
    if (e == ERROR_SUCCESS) e = ERROR_INTERNAL_ERROR;
    char line[200];
    if (e == ERROR_FILE_NOT_FOUND)
      std::snprintf(line, sizeof line,
                    "SCSI transfer: no host service on pipe \\\\.\\pipe\\%s (opcode %02X, error 2)", kel::kQVPipeName,
                    opcode);
    else
      std::snprintf(line, sizeof line, "SCSI transfer failed: opcode %02X, error %u", opcode, e);
    log_line(3, line);
    return static_cast<int>(e);
  }
  // The engine never learns how many bytes came: what did not come is
  // zeroed, so no stale bytes pass for data.
  if (!data_out && data && received < transfer_length) {
    std::memset(static_cast<std::uint8_t*>(data) + received, 0, transfer_length - received);
    if (sense_length == 0 && opcode == kOpRead10) {
      char line[160];
      std::snprintf(line, sizeof line, "SCSI READ(10) returned %u of %u bytes; failed with 1117", received,
                    transfer_length);
      log_line(3, line);
      return ERROR_IO_DEVICE;
    }
    char line[160];
    std::snprintf(line, sizeof line, "SCSI opcode %02X returned %u of %u bytes; the rest is zeroed", opcode,
                  received, transfer_length);
    log_line(7, line);
  }
  if (status) *status = sense_length ? 1 : 0;
  return 0;
}

DWORD kel::SendEndOfRequestNotice() {
  const kel::DriveCommandContext ctx = kel::CurrentDriveCommandContext();
  std::uint8_t sense_length = 0;
  std::uint32_t transfer = 0;
  if (g_service.sendScsiCommand(0, kel::MediumCookie(), ctx.Unmounting, ctx.SequenceNumber, ctx.Phase, 0, 60,
                                nullptr, 0, nullptr, &sense_length, nullptr, &transfer))
    return ERROR_SUCCESS;
  const DWORD e = GetLastError();
  return e ? e : ERROR_INTERNAL_ERROR;
}

kel::CQVServiceInterface& kel::ServiceInterface() { return g_service; }
