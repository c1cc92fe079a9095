// File operations of the duplication and the recovery copy, over the POSIX
// file interface. Paths come as Windows paths: "X:\a\b" reaches the
// directory the drive-letter table gives for X plus "/a/b"; a UNC path
// reaches nothing; any other path is a POSIX path whose backslashes become
// "/".
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace PxoUtilityLib {
namespace PxoUtility {

using FileHandle = std::uint64_t;
constexpr FileHandle kNoHandle = ~0ull;

// Open types and results.
constexpr std::uint32_t kOpenCreate = 0;
constexpr std::uint32_t kOpenCreateArchive = 1;
constexpr std::uint32_t kOpenRead = 2;
constexpr std::uint32_t kOpenReadDirect = 3;
constexpr std::uint32_t kOpenLink = 4;
constexpr std::uint32_t kOpenOk = 0;
constexpr std::uint32_t kOpenFailed = 1;
constexpr std::uint32_t kOpenExists = 2;
constexpr std::uint32_t kOpenNotFound = 3;
constexpr std::uint32_t kOpenInvalidName = 4;

// FILETIME values: 100 ns since 1601. All ones freezes a time on Windows.
struct FileTimes {
  std::uint64_t creation = 0;
  std::uint64_t access = 0;
  std::uint64_t write = 0;
};

struct DiskFreeSpace {
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t bytesPerSector = 0;
  std::uint32_t freeClusters = 0;
  std::uint32_t totalClusters = 0;
};

class FileOperationCallback {
 public:
  virtual ~FileOperationCallback() = default;
  virtual std::uint32_t open(const std::u16string& path, std::uint32_t type, FileHandle& handle) = 0;
  virtual bool seek(FileHandle handle, std::uint64_t position) = 0;
  virtual bool write(FileHandle handle, std::uint32_t size, const void* data) = 0;
  virtual bool read(FileHandle handle, std::uint32_t size, std::uint32_t& done, void* buffer) = 0;
  virtual bool setEOF(FileHandle handle, std::uint64_t size) = 0;
  virtual void close(FileHandle handle) = 0;
  virtual bool getFileSize(FileHandle handle, std::uint64_t& size) = 0;
  virtual bool getFileTime(FileHandle handle, FileTimes& times) = 0;
  virtual bool setFileTime(FileHandle handle, const FileTimes& times) = 0;
  virtual bool deleteFile(const std::u16string& path) = 0;
  virtual bool getFileAttribute(const std::u16string& path, std::uint32_t& attributes) = 0;
  virtual bool setFileAttribute(const std::u16string& path, std::uint32_t attributes) = 0;
  virtual std::uint32_t createDirectory(const std::u16string& path) = 0;
  virtual bool deleteDirectory(const std::u16string& path) = 0;
  virtual bool getDiskFreeSpace(const std::u16string& root, DiskFreeSpace& space) = 0;
  virtual bool getVolumeAttribute(const std::u16string& root, std::uint8_t& readOnly) = 0;
};

}  // namespace PxoUtility

class FileOperationCallbackImpl : public PxoUtility::FileOperationCallback {
 public:
  using FileHandle = PxoUtility::FileHandle;
  std::uint32_t open(const std::u16string& path, std::uint32_t type, FileHandle& handle) override;
  bool seek(FileHandle handle, std::uint64_t position) override;
  bool write(FileHandle handle, std::uint32_t size, const void* data) override;
  bool read(FileHandle handle, std::uint32_t size, std::uint32_t& done, void* buffer) override;
  bool setEOF(FileHandle handle, std::uint64_t size) override;
  void close(FileHandle handle) override;
  bool getFileSize(FileHandle handle, std::uint64_t& size) override;
  bool getFileTime(FileHandle handle, PxoUtility::FileTimes& times) override;
  bool setFileTime(FileHandle handle, const PxoUtility::FileTimes& times) override;
  bool deleteFile(const std::u16string& path) override;
  bool getFileAttribute(const std::u16string& path, std::uint32_t& attributes) override;
  bool setFileAttribute(const std::u16string& path, std::uint32_t attributes) override;
  std::uint32_t createDirectory(const std::u16string& path) override;
  bool deleteDirectory(const std::u16string& path) override;
  bool getDiskFreeSpace(const std::u16string& root, PxoUtility::DiskFreeSpace& space) override;
  bool getVolumeAttribute(const std::u16string& root, std::uint8_t& readOnly) override;

  bool getSymLinkTarget(FileHandle handle, std::u16string& target);
  std::uint32_t createSymLink(const std::u16string& link, const std::u16string& target, std::uint8_t flags);
  std::uint32_t openSymLink(const std::u16string& path, FileHandle& handle);

 private:
  void rememberLink(FileHandle handle, const std::string& path);

  std::mutex m_lock;
  std::map<FileHandle, std::string> m_links;  // handles on links themselves, with their paths
};

enum class PathKind { Posix, Unreachable, InvalidName };
// The POSIX path of a Windows path (see above).
PathKind posixPath(const std::u16string& path, std::string& out);
// The root a free-space query asks for a destination path: "\\server\share\"
// of a UNC path, "X:\" of a drive path, else the path itself.
std::u16string freeSpaceRoot(const std::u16string& path);

}  // namespace PxoUtilityLib
