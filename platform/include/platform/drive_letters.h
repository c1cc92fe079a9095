// Drive letters of this platform. Nothing here assigns drive letters as
// Windows does; a letter names a drive only when the table says so. The
// table lives in the registry so that every copy of this library, and every
// process, sees the same one:
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\Kel\DriveLetters\X]
//   "Device"="/dev/sd0x..."      the drive's device path (SCSI road)
//   "Directory"="/srv/volume"    where that volume's files are read and written
#pragma once

#include <string>

namespace platform {

extern const char* const kDriveLetterKey;

struct DriveLetter {
  std::string device;
  std::string directory;
};

// The entry of the letter (A-Z, either case); false when it has none.
bool drive_letter_lookup(char16_t letter, DriveLetter& entry);
// Writes or removes the entry (the letter's key); false on a registry failure.
bool drive_letter_assign(char16_t letter, const DriveLetter& entry);
bool drive_letter_remove(char16_t letter);

}  // namespace platform
