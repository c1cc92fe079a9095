// Start-up entry points of the interface library, the process-wide values
// they keep, and the forwarders onto the running interface's operation table.
#pragma once

#include "kel/fsops.h"
#include "kel/scsi.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>

class CKelInterface;

extern "C" {
// Checks and keeps the two program arguments (medium cookie "/dev/sd%p" and
// the file-system cache directory). 0, or 87 on a bad command line.
std::int32_t quorvel_kel_init(int argc, const char** argv);
// Runs the request service on the calling thread; the engine's exit code
// (low 16 bits of the loop's result; 0 after "UnmountVolume"). A process
// exit status keeps only the low 8 bits of it.
std::uint16_t quorvel_kel_run(const FileSystemOperations* operations, const char* medium_cookie);
// File-system control request through the running interface's Fsctl slot
// (19, no device, when no interface runs).
int quorvel_fsctl(unsigned code, void* buffer);
}

// Forwarders handed to the drive utility library. Without a running
// interface ForwardLogMessage returns 0 and logs nothing; the other two
// answer 19 (no device).
int ForwardLogMessage(int level, int type, const char* function, int line, const char16_t* text);
int ForwardMountDefault();
int ForwardUnmount(bool force);

namespace kel {

// The running request interface, or nullptr before and after quorvel_kel_run.
CKelInterface* CurrentInterface();
void SetCurrentInterface(CKelInterface* itf);
// The running interface's operation table, or nullptr.
const FileSystemOperations* CurrentOperations();

// The drive-command context of the running interface (all zero when none
// runs); quorvel_kel_run installs it as the context source of kel/scsi.h.
DriveCommandContext RunningInterfaceContext();

// The cache directory (second program argument; empty before).
std::string CacheDirectory();
void SetCacheDirectory(const std::string& directory);

// Parses "/dev/sd" followed by a hexadecimal number (as scanf "%p" reads it:
// an optional 0x, at least one hexadecimal digit, trailing text ignored).
bool ParseMediumCookie(const char* text, std::uint64_t* cookie);

}  // namespace kel
