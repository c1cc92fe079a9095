// One engine per medium.
//
// Before its first drive command an engine takes an exclusive lock on the
// file "KelDriver-sd<cookie>.lock" (the medium cookie in lower-case
// hexadecimal) in the pipe folder (platform::pipe_directory(): $KEL_PIPE_DIR,
// else /tmp/kel-pipes). A cookie names a drive of the host service that
// listens in that folder, so every engine that service serves shares the
// lock, whatever its cache directory. The lock is held for the life of the
// process and the system drops it when the process ends, however it ends.
//
// An engine refused the lock sends nothing to the drive: its request loop
// answers every request with an "Error" message and "HRESULT" 0x8007006C
// (ERROR_DRIVE_LOCKED), or the error that kept it from the lock file, and
// "UnmountVolume" ends it without touching the volume.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>

class CKelInterface;

namespace kel {

// "KelDriver-sd<cookie in lower-case hexadecimal>.lock".
std::string MediumLockFileName(std::uint64_t cookie);

// One holder of a medium's lock.
class MediumLock {
 public:
  MediumLock() = default;
  ~MediumLock() { Release(); }
  MediumLock(const MediumLock&) = delete;
  MediumLock& operator=(const MediumLock&) = delete;

  // Takes the lock of the medium in `directory` (made when missing) without
  // waiting. 0 when taken (the file then names this process's id);
  // ERROR_DRIVE_LOCKED when another holder has it; otherwise the error met
  // on the folder or the file. On failure *message says why, naming the
  // holder's process id when the file names one.
  DWORD Acquire(const std::string& directory, std::uint64_t cookie, std::string* message);
  void Release();
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// 0 while this process holds its medium's lock (or never asked for it);
// otherwise the Win32 error with which every request is refused.
DWORD MediumRefusal();
// The refusal and its message ("" and 0 withdraw it).
void SetMediumRefusal(DWORD code, const std::string& message);
// When the medium is refused: sends the request its "Error" message and its
// "HRESULT" and returns true. False, doing nothing, otherwise.
bool RefuseRequestForMedium(CKelInterface& itf, std::uint64_t sequence);

}  // namespace kel

extern "C" {
// Takes, for the rest of the process's life, the lock of the medium whose
// cookie quorvel_kel_init parsed. 0 when this engine holds it; otherwise the
// refusal that every request then gets (ERROR_DRIVE_LOCKED when another
// engine holds it).
DWORD quorvel_lock_medium();
}
