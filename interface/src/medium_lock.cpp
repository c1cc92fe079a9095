// The lock of the engine's medium and the refusal of an engine without it.
#include "kel/medium_lock.h"

#include "kel/debug.h"
#include "kel/errors.h"
#include "kel/kel_interface.h"
#include "kel/response.h"
#include "kel/scsi.h"
#include "platform/pipe.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace kel {

namespace {

std::atomic<DWORD> g_refusal{0};
std::mutex g_message_mu;
std::string g_message;

DWORD win32_of_errno(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    default: return ERROR_GEN_FAILURE;
  }
}

std::string cookie_text(std::uint64_t cookie) {
  char text[32];
  std::snprintf(text, sizeof text, "/dev/sd%" PRIx64, cookie);
  return text;
}

// The process id the holder wrote into the file, 0 when it names none.
long holder_of(int fd) {
  char text[24] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return end != text && pid > 0 ? pid : 0;
}

void name_holder(int fd) {
  char text[24];
  const int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, text, static_cast<std::size_t>(n), 0);
}

}  // namespace

std::string MediumLockFileName(std::uint64_t cookie) {
  char name[48];
  std::snprintf(name, sizeof name, "KelDriver-sd%" PRIx64 ".lock", cookie);
  return name;
}

DWORD MediumLock::Acquire(const std::string& directory, std::uint64_t cookie, std::string* message) {
  Release();
  const std::string path = directory + "/" + MediumLockFileName(cookie);
  auto failed = [&](DWORD code, const std::string& why) {
    if (message) *message = "Medium " + cookie_text(cookie) + ": " + why;
    return code;
  };
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int e = errno;
    return failed(win32_of_errno(e), "cannot open its lock file " + path + ": " + std::strerror(e));
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    const long holder = e == EWOULDBLOCK ? holder_of(fd) : 0;
    ::close(fd);
    if (e != EWOULDBLOCK)
      return failed(win32_of_errno(e), "cannot lock its lock file " + path + ": " + std::strerror(e));
    const std::string by = holder ? "another engine (process " + std::to_string(holder) + ")" : "another engine";
    return failed(ERROR_DRIVE_LOCKED, "in use by " + by + ", lock file " + path);
  }
  name_holder(fd);
  fd_ = fd;
  return ERROR_SUCCESS;
}

void MediumLock::Release() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the only descriptor drops the lock
  fd_ = -1;
}

DWORD MediumRefusal() { return g_refusal.load(); }

void SetMediumRefusal(DWORD code, const std::string& message) {
  std::lock_guard<std::mutex> g(g_message_mu);
  g_message = message;
  g_refusal.store(code);
}

bool RefuseRequestForMedium(CKelInterface& itf, std::uint64_t sequence) {
  const DWORD code = MediumRefusal();
  if (code == 0) return false;
  std::string message;
  {
    std::lock_guard<std::mutex> g(g_message_mu);
    message = g_message;
  }
  itf.SetDriveCommandSequence(sequence);  // the SequenceNumber of the "Error" message
  SendDebugStringA(0, message.c_str());
  CServiceHRESULTResponse(sequence, HResultFromWin32Code(code)).Send();
  return true;
}

}  // namespace kel

DWORD quorvel_lock_medium() {
  static kel::MediumLock lock;  // held until the process ends
  std::string message;
  const DWORD code = lock.Acquire(platform::pipe_directory(), kel::MediumCookie(), &message);
  kel::SetMediumRefusal(code, code ? message + "; this engine refuses every request" : std::string());
  return code;
}
