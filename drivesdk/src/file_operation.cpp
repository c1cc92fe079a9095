// The file operations over POSIX calls.
#include "file_operation.h"

#include "drive_ctrl.h"
#include "file_list.h"
#include "scsi_device.h"
#include "sdk_frame.h"

#include "platform/drive_letters.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace PxoUtilityLib {

using PxoUtility::FileHandle;
using PxoUtility::kNoHandle;

namespace {

constexpr std::uint64_t kEpochDifference = 11644473600ull;  // seconds from 1601 to 1970
constexpr std::uint64_t kFreeze = ~0ull;
constexpr std::uint32_t kCtlSetFileControlOption = 0x80047086;

bool isUnc(const std::u16string& path) { return path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\'; }

std::uint64_t fileTime(const timespec& t) {
  return (static_cast<std::uint64_t>(t.tv_sec) + kEpochDifference) * 10000000ull +
         static_cast<std::uint64_t>(t.tv_nsec) / 100;
}

timespec timeSpec(std::uint64_t value) {
  if (value == 0) return {0, UTIME_OMIT};  // 0 leaves the time as it is
  const std::uint64_t seconds = value / 10000000ull;
  timespec t{};
  t.tv_sec = static_cast<time_t>(seconds >= kEpochDifference ? seconds - kEpochDifference : 0);
  t.tv_nsec = seconds >= kEpochDifference ? static_cast<long>(value % 10000000ull) * 100 : 0;
  return t;
}

std::uint32_t attributesOf(const struct stat& st) {
  std::uint32_t a = 0;
  if (S_ISLNK(st.st_mode)) a |= kFileAttrReparse;
  else if (S_ISDIR(st.st_mode)) a |= kFileAttrDirectory;
  if (!(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) a |= kFileAttrReadOnly;
  return a ? a : kFileAttrNormal;
}

int fd(FileHandle handle) { return handle > static_cast<FileHandle>(INT_MAX) ? -1 : static_cast<int>(handle); }

std::string shown(const std::u16string& path) { return narrow(path); }

std::uint32_t createResult(int error) {
  if (error == EEXIST) return PxoUtility::kOpenExists;
  if (error == ENAMETOOLONG || error == EILSEQ) return PxoUtility::kOpenInvalidName;
  return PxoUtility::kOpenFailed;
}

// A path for the calls: false (with errno) when it reaches nothing here.
bool resolve(const std::u16string& path, std::string& out) {
  switch (posixPath(path, out)) {
    case PathKind::Posix: return true;
    case PathKind::InvalidName: errno = EILSEQ; return false;
    case PathKind::Unreachable: errno = ENOENT; return false;
  }
  return false;
}

}  // namespace

PathKind posixPath(const std::u16string& path, std::string& out) {
  out.clear();
  if (isUnc(path)) return PathKind::Unreachable;
  std::u16string rest = path;
  std::string base;
  if (isDrivePath(path)) {
    platform::DriveLetter entry;
    if (!platform::drive_letter_lookup(path[0], entry)) return PathKind::Unreachable;
    base = entry.directory;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    rest = path.substr(2);
    if (rest.empty()) rest = u"\\";
  }
  std::string tail;
  if (!utf16ToUtf8(rest, tail)) return PathKind::InvalidName;
  for (char& c : tail)
    if (c == '\\') c = '/';
  if (!base.empty()) out = base == "/" ? tail : base + tail;
  else out = tail;
  return PathKind::Posix;
}

std::u16string freeSpaceRoot(const std::u16string& path) {
  if (isUnc(path)) {
    std::size_t end = path.find(u'\\', 2);
    if (end != std::u16string::npos) end = path.find(u'\\', end + 1);
    return (end == std::u16string::npos ? path : path.substr(0, end)) + u"\\";
  }
  if (isDrivePath(path)) return path.substr(0, 2) + u"\\";
  return path;
}

std::u16string devicePathOf(const std::u16string& path) {
  platform::DriveLetter entry;
  if (isDrivePath(path) && platform::drive_letter_lookup(path[0], entry)) return widen(entry.device);
  return path;
}

std::uint32_t FileOperationCallbackImpl::open(const std::u16string& path, std::uint32_t type, FileHandle& handle) {
  handle = kNoHandle;
  std::string p;
  if (!resolve(path, p)) {
    if (errno == EILSEQ && type <= PxoUtility::kOpenCreateArchive) return PxoUtility::kOpenInvalidName;
    return type <= PxoUtility::kOpenLink ? PxoUtility::kOpenNotFound : PxoUtility::kOpenFailed;
  }
  struct stat st{};
  const bool exists = ::lstat(p.c_str(), &st) == 0;
  if (type > PxoUtility::kOpenLink) {
    KELSDK_LOG(kLogError, "internal error bad type=%u", type);
    return PxoUtility::kOpenFailed;
  }
  if (type <= PxoUtility::kOpenCreateArchive) {
    if (exists) return PxoUtility::kOpenExists;
    const int f = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (f < 0) {
      const int e = errno;
      KELSDK_LOG(kLogError, "CreateFile(%s) error GetLastError=%u", p.c_str(), static_cast<unsigned>(e));
      return createResult(e);
    }
    handle = static_cast<FileHandle>(f);
    // The archive file system's per-file option has no road from here.
    if (type == PxoUtility::kOpenCreateArchive)
      KELSDK_LOG(kLogError, "DeviceIoControl(MDCFSCTL_SET_FILE_CONTROL_OPTION) error GetLastError=%u",
                 static_cast<unsigned>(ERROR_INVALID_FUNCTION));
    (void)kCtlSetFileControlOption;
    return PxoUtility::kOpenOk;
  }
  if (!exists) return PxoUtility::kOpenNotFound;
  const int flags = type == PxoUtility::kOpenLink ? O_PATH | O_NOFOLLOW | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
  const int f = ::open(p.c_str(), flags);
  if (f < 0) {
    const int e = errno;
    KELSDK_LOG(kLogError, "CreateFile(%s) error GetLastError=%u", p.c_str(), static_cast<unsigned>(e));
    return e == ENOENT || e == ENOTDIR ? PxoUtility::kOpenNotFound : PxoUtility::kOpenFailed;
  }
  handle = static_cast<FileHandle>(f);
  if (type == PxoUtility::kOpenLink) rememberLink(handle, p);
  return PxoUtility::kOpenOk;
}

void FileOperationCallbackImpl::rememberLink(FileHandle handle, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_links[handle] = path;
}

bool FileOperationCallbackImpl::seek(FileHandle handle, std::uint64_t position) {
  if (position > static_cast<std::uint64_t>(LLONG_MAX) || ::lseek(fd(handle), static_cast<off_t>(position), SEEK_SET) < 0) {
    KELSDK_LOG(kLogError, "SetFilePointerEx pos=0x%llx error GetLastError=%u", static_cast<unsigned long long>(position),
               static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

bool FileOperationCallbackImpl::write(FileHandle handle, std::uint32_t size, const void* data) {
  std::uint32_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd(handle), static_cast<const std::uint8_t*>(data) + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      KELSDK_LOG(kLogError, "WriteFile error GetLastError=%u or written(%u) != size(%u)",
                 static_cast<unsigned>(n < 0 ? errno : 0), written, size);
      return false;
    }
    written += static_cast<std::uint32_t>(n);
  }
  return true;
}

bool FileOperationCallbackImpl::read(FileHandle handle, std::uint32_t size, std::uint32_t& done, void* buffer) {
  done = 0;
  // Reads until the size asked or the end of the file, as a file read does:
  // a short read must not end the data early.
  while (done < size) {
    const ssize_t n = ::read(fd(handle), static_cast<std::uint8_t*>(buffer) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      KELSDK_LOG(kLogError, "ReadFile error GetLastError=%u", static_cast<unsigned>(errno));
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  return true;
}

bool FileOperationCallbackImpl::setEOF(FileHandle handle, std::uint64_t size) {
  if (size > static_cast<std::uint64_t>(LLONG_MAX) || ::lseek(fd(handle), static_cast<off_t>(size), SEEK_SET) < 0) {
    KELSDK_LOG(kLogError, "SetFilePointerEx pos=0x%llx error GetLastError=%u", static_cast<unsigned long long>(size),
               static_cast<unsigned>(errno));
    return false;
  }
  if (::ftruncate(fd(handle), static_cast<off_t>(size)) != 0) {
    KELSDK_LOG(kLogError, "SetEndOfFile pos=0x%llx error GetLastError=%u", static_cast<unsigned long long>(size),
               static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

void FileOperationCallbackImpl::close(FileHandle handle) {
  if (handle == kNoHandle || fd(handle) < 0) return;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_links.erase(handle);
  }
  ::close(fd(handle));
}

bool FileOperationCallbackImpl::getFileSize(FileHandle handle, std::uint64_t& size) {
  struct stat st{};
  if (::fstat(fd(handle), &st) != 0) {
    KELSDK_LOG(kLogError, "GetFileSizeEx error GetLastError=%u", static_cast<unsigned>(errno));
    return false;
  }
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool FileOperationCallbackImpl::getFileTime(FileHandle handle, PxoUtility::FileTimes& times) {
  struct stat st{};
  if (::fstat(fd(handle), &st) != 0) {
    KELSDK_LOG(kLogError, "GetFileTime error GetLastError=%u", static_cast<unsigned>(errno));
    return false;
  }
  // No birth time here: the creation time is the modification time.
  times.creation = fileTime(st.st_mtim);
  times.access = fileTime(st.st_atim);
  times.write = fileTime(st.st_mtim);
  return true;
}

bool FileOperationCallbackImpl::setFileTime(FileHandle handle, const PxoUtility::FileTimes& times) {
  // Freezing has no counterpart: the times are set after the last write.
  if (times.access == kFreeze && times.write == kFreeze) return true;
  const timespec ts[2] = {timeSpec(times.access), timeSpec(times.write)};
  std::string link;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_links.find(handle);
    if (it != m_links.end()) link = it->second;
  }
  const int r = link.empty() ? ::futimens(fd(handle), ts) : ::utimensat(AT_FDCWD, link.c_str(), ts, AT_SYMLINK_NOFOLLOW);
  if (r != 0) {
    KELSDK_LOG(kLogError, "SetFileTime error GetLastError=%u", static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

bool FileOperationCallbackImpl::deleteFile(const std::u16string& path) {
  std::string p;
  if (!resolve(path, p) || ::unlink(p.c_str()) != 0) {
    KELSDK_LOG(kLogError, "DeleteFileW(%s) error GetLastError=%u", shown(path).c_str(), static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

bool FileOperationCallbackImpl::getFileAttribute(const std::u16string& path, std::uint32_t& attributes) {
  attributes = 0xFFFFFFFFu;  // INVALID_FILE_ATTRIBUTES
  std::string p;
  struct stat st{};
  if (!resolve(path, p) || ::lstat(p.c_str(), &st) != 0) {
    KELSDK_LOG(kLogError, "GetFileAttributesW(%s) error GetLastError=%u", shown(path).c_str(),
               static_cast<unsigned>(errno));
    return false;
  }
  attributes = attributesOf(st);
  return true;
}

bool FileOperationCallbackImpl::setFileAttribute(const std::u16string& path, std::uint32_t attributes) {
  std::string p;
  struct stat st{};
  if (!resolve(path, p) || ::lstat(p.c_str(), &st) != 0) {
    KELSDK_LOG(kLogError, "SetFileAttributesW(%s) error GetLastError=%u", shown(path).c_str(),
               static_cast<unsigned>(errno));
    return false;
  }
  if (S_ISLNK(st.st_mode)) return true;  // a link has no permissions of its own
  mode_t mode = st.st_mode & 07777;
  if (attributes & kFileAttrReadOnly) mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else if (!(mode & (S_IWUSR | S_IWGRP | S_IWOTH))) mode |= S_IWUSR;
  if (mode != (st.st_mode & 07777) && ::chmod(p.c_str(), mode) != 0) {
    KELSDK_LOG(kLogError, "SetFileAttributesW(%s) error GetLastError=%u", shown(path).c_str(),
               static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

std::uint32_t FileOperationCallbackImpl::createDirectory(const std::u16string& path) {
  std::string p;
  if (resolve(path, p) && ::mkdir(p.c_str(), 0777) == 0) return 0;
  const int e = errno;
  KELSDK_LOG(kLogError, "CreateDirectoryW(%s) error GetLastError=%u", shown(path).c_str(), static_cast<unsigned>(e));
  return e == EEXIST ? 2 : 1;
}

bool FileOperationCallbackImpl::deleteDirectory(const std::u16string& path) {
  std::string p;
  if (!resolve(path, p) || ::rmdir(p.c_str()) != 0) {
    KELSDK_LOG(kLogError, "RemoveDirectoryW(%s) error GetLastError=%u", shown(path).c_str(),
               static_cast<unsigned>(errno));
    return false;
  }
  return true;
}

bool FileOperationCallbackImpl::getDiskFreeSpace(const std::u16string& root, PxoUtility::DiskFreeSpace& space) {
  std::string p;
  struct statvfs vfs{};
  if (!resolve(root, p) || ::statvfs(p.c_str(), &vfs) != 0) {
    KELSDK_LOG(kLogError, "GetDiskFreeSpaceW(%s) error GetLastError=%u", shown(root).c_str(),
               static_cast<unsigned>(errno));
    return false;
  }
  // Clusters are counted in u32: larger volumes get larger clusters.
  std::uint64_t total = vfs.f_blocks;
  std::uint64_t available = vfs.f_bavail;
  std::uint64_t perCluster = 1;
  while (total > 0xFFFFFFFFull) {
    total >>= 1;
    available >>= 1;
    perCluster <<= 1;
  }
  std::uint64_t sector = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (sector > 0xFFFFFFFFull || perCluster > 0xFFFFFFFFull) return false;
  space.sectorsPerCluster = static_cast<std::uint32_t>(perCluster);
  space.bytesPerSector = static_cast<std::uint32_t>(sector);
  space.freeClusters = static_cast<std::uint32_t>(available);
  space.totalClusters = static_cast<std::uint32_t>(total);
  return true;
}

bool FileOperationCallbackImpl::getVolumeAttribute(const std::u16string& root, std::uint8_t& readOnly) {
  std::string p;
  struct statvfs vfs{};
  if (!resolve(root, p) || ::statvfs(p.c_str(), &vfs) != 0) {
    KELSDK_LOG(kLogError, "GetVolumeInformationW(%s) error GetLastError=%u", shown(root).c_str(),
               static_cast<unsigned>(errno));
    return false;
  }
  readOnly = (vfs.f_flag & ST_RDONLY) ? 1 : 0;
  return true;
}

bool FileOperationCallbackImpl::getSymLinkTarget(FileHandle handle, std::u16string& target) {
  char buffer[16384];
  const ssize_t n = ::readlinkat(fd(handle), "", buffer, sizeof buffer);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
    KELSDK_LOG(kLogError, "DeviceIoControl for FSCTL_GET_REPARSE_POINT error GetLastError=%u",
               static_cast<unsigned>(n < 0 ? errno : ENAMETOOLONG));
    return false;
  }
  std::u16string name;
  if (!utf8ToUtf16(buffer, static_cast<std::size_t>(n), name)) {
    KELSDK_LOG(kLogError, "DeviceIoControl for FSCTL_GET_REPARSE_POINT error GetLastError=%u",
               static_cast<unsigned>(EILSEQ));
    return false;
  }
  if (name.rfind(u"\\??\\UNC\\", 0) == 0) name = u"\\\\" + name.substr(8);
  else if (name.rfind(u"\\??\\", 0) == 0) name = name.substr(4);
  target = name;
  return true;
}

std::uint32_t FileOperationCallbackImpl::createSymLink(const std::u16string& link, const std::u16string& target,
                                                       std::uint8_t flags) {
  std::string p, t;
  int e = 0;
  if (!resolve(link, p)) e = errno;
  else if (!utf16ToUtf8(target, t)) e = EILSEQ;
  else if (::symlink(t.c_str(), p.c_str()) != 0) e = errno;
  if (e == 0) return 0;
  KELSDK_LOG(kLogError, "CreateSymbolicLinkW(%s, %s, %u) error GetLastError=%u", shown(link).c_str(),
             shown(target).c_str(), flags, static_cast<unsigned>(e));
  return createResult(e);
}

std::uint32_t FileOperationCallbackImpl::openSymLink(const std::u16string& path, FileHandle& handle) {
  handle = kNoHandle;
  std::string p;
  int f = -1;
  if (resolve(path, p)) f = ::open(p.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (f < 0) {
    const int e = errno;
    KELSDK_LOG(kLogError, "CreateFile(%s) error GetLastError=%u", shown(path).c_str(), static_cast<unsigned>(e));
    return e == ENOENT || e == ENOTDIR ? PxoUtility::kOpenNotFound : PxoUtility::kOpenFailed;
  }
  handle = static_cast<FileHandle>(f);
  rememberLink(handle, p);
  return 0;
}

}  // namespace PxoUtilityLib
