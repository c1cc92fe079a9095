// Cache files of the agent: directories, names, integer handles, the
// coherence check of the fs management cache and the directory limits.
#include "kelagent/fscache_agent.h"

#include "agent_log.h"
#include "agent_config.h"
#include "kelhost/kern_errno.h"
#include "platform/sync.h"

#include <boost/filesystem.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = boost::filesystem;

namespace kelagent {

namespace {
std::map<int, int> g_by_handle;  // integer handle -> fd
std::map<int, int> g_by_fd;      // fd -> integer handle
}  // namespace

int FsCacheHandleMap_insert(int fd) {
  auto it = g_by_fd.find(fd);
  if (it != g_by_fd.end()) return it->second;
  // The entry count + 1, or the next number not held by an open file.
  int h = static_cast<int>(g_by_handle.size()) + 1;
  while (g_by_handle.count(h)) ++h;
  g_by_handle[h] = fd;
  g_by_fd[fd] = h;
  return h;
}

int FsCacheHandleMap_find(int handle) {
  auto it = g_by_handle.find(handle);
  return it == g_by_handle.end() ? -1 : it->second;
}

int FsCacheHandleMap_erase(int handle) {
  auto it = g_by_handle.find(handle);
  if (it == g_by_handle.end()) return -1;
  g_by_fd.erase(it->second);
  g_by_handle.erase(it);
  return 0;
}

std::size_t FsCacheHandleMap_size() { return g_by_handle.size(); }

std::uint16_t fscache_crc16(const std::uint8_t* data, std::size_t len) {
  static const auto table = [] {
    std::array<std::uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      std::uint16_t c = static_cast<std::uint16_t>(i << 8);
      for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? static_cast<std::uint16_t>((c << 1) ^ 0x1021) : static_cast<std::uint16_t>(c << 1);
      t[i] = c;
    }
    return t;
  }();
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < len; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

}  // namespace kelagent

using namespace kelagent;

namespace {

// Opens for reading and writing, creating when absent; reports whether the
// file was created.
int open_cache_file(const std::string& path, bool* created) {
  struct stat st;
  const bool existed = ::stat(path.c_str(), &st) == 0;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && created) *created = !existed;
  return fd;
}

// A request name may only name a file inside its directory; the one
// exception is the "../EFECache/" prefix the node cache uses for its EFE
// cache files, which lands in the sibling EFE cache directory.
bool safe_relative_name(const std::string& name) {
  if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos) return false;
  std::string rest = name;
  static const std::string kEfe = "../EFECache/";
  if (rest.compare(0, kEfe.size(), kEfe) == 0) rest = rest.substr(kEfe.size());
  if (rest.empty()) return false;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string bounded(const char* s, std::size_t max_len) {
  return std::string(s, strnlen(s, max_len));
}

}  // namespace

std::string CVFAMHandler22::join_local(const char* name, std::size_t max_len) const {
  const std::string n = bounded(name, max_len);
  if (m_LocalCachePath.empty() || !safe_relative_name(n)) return {};
  return (fs::path(m_LocalCachePath) / n).string();
}

std::string CVFAMHandler22::join_fsmanage(const char* serial) const {
  const std::string n = bounded(serial, 32);
  if (m_FsManageCachePath.empty() || n.empty() || n.find('/') != std::string::npos ||
      n.find('\\') != std::string::npos || n == "." || n == "..")
    return {};
  return (fs::path(m_FsManageCachePath) / n).string();
}

int CVFAMHandler22::OnMount() {
  KELC_LOG(kLogDebug, "********Enter [%s(tid=%08x)]********\n", __func__, GetCurrentThreadId());
  try {
    AgentConfig cfg = FsCacheAgent_load_config();
    KELC_LOG(kLogDebug, "plist was not found (%s). Load default parameter.\n",
             "/etc/tarn/keludf/keludf-utility.conf");
    const std::string local = cfg.base + "/Caches/LocalCache";
    const std::string efe = cfg.base + "/Caches/EFECache";
    const std::string fsm = cfg.base + "/Caches/FsCache";
    boost::system::error_code ec;
    if (!fs::exists(local, ec)) {
      fs::create_directories(local, ec);
      if (ec || !fs::is_directory(local, ec)) {
        KELC_LOG(kLogErr, "cache local directory failed.\n");
        return KEL_EINVAL;
      }
    }
    if (!fs::exists(efe, ec)) {
      fs::create_directories(efe, ec);
      if (ec || !fs::is_directory(efe, ec)) {
        KELC_LOG(kLogErr, "cache efe directory failed.\n");
        return KEL_EINVAL;
      }
    }
    if (!fs::exists(fsm, ec)) KELC_LOG(kLogWarn, "FS management cache path is not exist.\n");
    m_LocalCachePath = local;
    m_EfeCachePath = efe;
    m_FsManageCachePath = fsm;
    m_LmtFsCchTtlBlks = cfg.limit_blocks;
    return 0;
  } catch (const fs::filesystem_error& e) {
    KELC_LOG(kLogErr, "agent: catch exception filesystem_error=%d msg=%s\n", e.code().value(), e.what());
  } catch (const std::exception& e) {
    KELC_LOG(kLogErr, "agent: catch exception msg=%s\n", e.what());
  } catch (std::uint32_t r) {
    KELC_LOG(kLogErr, "agent: catch exception QVE_RESULT=%d\n", static_cast<int>(r));
  } catch (...) {
    KELC_LOG(kLogErr, "agent: catch exception msg=Unknown\n");
  }
  return KEL_EINVAL;
}

int CVFAMHandler22::OnUnmount() {
  KELC_LOG(kLogDebug, "********Enter [%s(tid=%08x)]********\n", __func__, GetCurrentThreadId());
  return 0;
}

int CVFAMHandler22::GetDevName() {
  KELC_LOG(kLogDebug, "********Enter [%s(tid=%08x)]********\n", __func__, GetCurrentThreadId());
  return 0;
}

int CVFAMHandler22::OnUnsupportedRequest(std::uint32_t* cache_err) {
  if (cache_err) *cache_err = MDC_CACHE_PATH_ERROR;
  return KEL_EINVAL;
}

int CVFAMHandler22::FsManageCacheVUVICrcCheck(const std::uint8_t* record, std::size_t length) {
  const std::uint16_t crc = fscache_crc16(record, length);
  if ((crc >> 8) == record[length] && (crc & 0xFF) == record[length + 1]) {
    KELC_LOG(kLogNotice, "CRC chek success.\n");
    return 0;
  }
  KELC_LOG(kLogErr, "CRC chek err. coherent crc:0x%4x [%x][%x] \n", crc, record[length], record[length + 1]);
  return KEL_EINVAL;
}

int CVFAMHandler22::FsManageCacheCoherentCheck(const std::string& path, int* fd, const std::uint8_t* attr,
                                               std::uint32_t* created, std::uint32_t attr_read_failed) {
  int reason = 22;
  if (!attr_read_failed) {
    std::vector<std::uint8_t> buf(kFsCacheCheckBytes);
    std::size_t got = 0;
    int sys_err = 0;
    while (got < buf.size()) {
      ssize_t n = ::pread(*fd, buf.data() + got, buf.size() - got, static_cast<off_t>(got));
      if (n < 0) {
        if (errno == EINTR) continue;
        sys_err = errno;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (sys_err) {
      KELC_LOG(kLogErr, "fs cache read error");
      // A read that fails cannot vouch for the file: it is not coherent.
      reason = sys_err;
    } else if (got == 0) {
      KELC_LOG(kLogErr, "fs cache read error. end of file.");
      reason = 22;
    } else if (FsManageCacheVUVICrcCheck(buf.data(), 126) != 0) {
      reason = 22;
    } else if (got > kFsCacheMarkerOffset && buf[kFsCacheMarkerOffset] == kFsCacheMarker &&
               std::memcmp(buf.data(), attr, 67) == 0) {
      return 0;
    } else {
      reason = 22;
    }
  }
  ::close(*fd);
  *fd = -1;
  boost::system::error_code ec;
  fs::remove(path, ec);
  if (ec) {
    KELC_LOG(kLogErr, "filesystem_error  (%s) path=(%s)", ec.message().c_str(), path.c_str());
    return KEL_EIO;
  }
  *created = 1;
  return reason;
}

void CVFAMHandler22::GetFsCacheFileList(std::vector<std::string>* list, std::uint64_t* total,
                                        std::uint32_t* count) {
  list->clear();
  *total = 0;
  *count = 0;
  boost::system::error_code ec;
  for (fs::directory_iterator it(m_FsManageCachePath, ec), end; !ec && it != end; it.increment(ec)) {
    boost::system::error_code ec2;
    if (fs::is_directory(it->path(), ec2)) continue;
    KELC_LOG(kLogDebug, "cacheDirList.push_back(%s)", it->path().string().c_str());
    list->push_back(it->path().string());
    const auto size = fs::file_size(it->path(), ec2);
    if (!ec2) *total += size;
    ++*count;
  }
  std::sort(list->begin(), list->end());
}

int CVFAMHandler22::FsManageCacheAjust(const std::string& path, int /*flag*/) {
  if (m_FsManageCachePath.empty()) {
    KELC_LOG(kLogErr, "FsManageCachePath empty\n");
    return KEL_EINVAL;
  }
  boost::system::error_code ec;
  if (!fs::exists(m_FsManageCachePath, ec)) {
    KELC_LOG(kLogNotice, "FS management cache path is not exist and create path.\n");
    fs::create_directories(m_FsManageCachePath, ec);
    if (ec || !fs::is_directory(m_FsManageCachePath, ec)) {
      KELC_LOG(kLogErr, "Creation of fs management cache dirctory is failed.\n");
      return KEL_EINVAL;
    }
  }
  if (path.empty()) {
    KELC_LOG(kLogErr, "FS Manage Cache File Name is failed.\n");
    return KEL_EINVAL;
  }
  KELC_LOG(kLogInfo, "Fs Manage Cache=%s lmtBlk=%d\n", m_FsManageCachePath.c_str(),
           static_cast<int>(m_LmtFsCchTtlBlks));
  const std::uint64_t limit = static_cast<std::uint64_t>(m_LmtFsCchTtlBlks) * 0x10000ull;
  std::vector<std::string> files;
  std::uint64_t total = 0;
  std::uint32_t count = 0;
  GetFsCacheFileList(&files, &total, &count);
  if (total < limit && count < 1000) {
    KELC_LOG(kLogInfo, "Cache Directory is max size OK.\n");
    return 0;
  }
  for (const auto& f : files) {
    if (total < limit && count <= 999) break;
    boost::system::error_code ec2;
    if (!fs::exists(f, ec2)) {
      KELC_LOG(kLogDebug, "reference file no exist(%s)", f.c_str());
      continue;
    }
    KELC_LOG(kLogInfo, "Target Delete file:%s\n", f.c_str());
    if (f == path) {
      KELC_LOG(kLogInfo, "This File is not delete[%s]\n", f.c_str());
      continue;
    }
    // An entry whose size cannot be read was not counted in the total.
    auto size = fs::file_size(f, ec2);
    if (ec2) size = 0;
    fs::remove(f, ec2);
    if (ec2) {
      KELC_LOG(kLogErr, "filesystem_error  (%s) path=(%s)\n", ec2.message().c_str(), f.c_str());
      continue;
    }
    KELC_LOG(kLogInfo, "delete success path=(%s)\n", f.c_str());
    total -= std::min<std::uint64_t>(total, size);
    --count;
  }
  if (total < limit && count < 1000) {
    KELC_LOG(kLogInfo, "Cache Directory is max size OK.\n");
    return 0;
  }
  if (total < limit) {
    KELC_LOG(kLogErr, "Cache Directory is max number Over.\n");
    return KEL_ENOSPC;
  }
  KELC_LOG(kLogErr, "Cache Directory is max size Over.\n");
  return KEL_ENOSPC;
}

int CVFAMHandler22::OnOpenFsManageCache(const char* serial, const std::uint8_t* attr, std::uint32_t,
                                        std::uint32_t attr_read_failed, std::uint32_t* cache_err,
                                        std::uint64_t* handle, std::uint32_t* coherent,
                                        std::uint32_t* created) {
  *coherent = 0;
  *created = 0;
  const std::string path = join_fsmanage(serial);
  if (path.empty()) {
    KELC_LOG(kLogErr, "FsCache Path error\n");
    *handle = static_cast<std::uint64_t>(-1);
    *cache_err = MDC_CACHE_PATH_ERROR;
    return KEL_EINVAL;
  }
  int r = FsManageCacheAjust(path, 0);
  if (r != 0) {
    KELC_LOG(kLogErr, "FsManageCacheAjust is failed. err=%d mount is not use FS Management Cache.\n", r);
    *handle = static_cast<std::uint64_t>(-1);
    *cache_err = MDC_CACHE_FILE_ERROR;
    return r;
  }
  bool was_created = false;
  int fd = open_cache_file(path, &was_created);
  if (fd < 0) {
    const int e = errno;
    KELC_LOG(kLogErr, "open failed path=(%s) err=%d(%s)\n", path.c_str(), e, strerror(e));
    *handle = static_cast<std::uint64_t>(-1);
    *cache_err = MDC_CACHE_FILE_ERROR;
    return e;
  }
  std::uint32_t c = was_created ? 1 : 0;
  r = FsManageCacheCoherentCheck(path, &fd, attr, &c, attr_read_failed);
  if (r == 0) {
    *created = 0;
    *coherent = 1;
  } else if (c) {
    fd = open_cache_file(path, nullptr);
    if (fd < 0) {
      const int e = errno;
      KELC_LOG(kLogErr, "open failed path=(%s) err=%d(%s)\n", path.c_str(), e, strerror(e));
      *handle = static_cast<std::uint64_t>(-1);
      *cache_err = MDC_CACHE_FILE_ERROR;
      return e;
    }
    KELC_LOG(kLogNotice, "coherent check err but cache create.\n");
    *coherent = 0;
    *created = 1;
  } else {
    KELC_LOG(kLogNotice, "coherent check err and not cache create.\n");
    if (fd >= 0) ::close(fd);
    *handle = static_cast<std::uint64_t>(-1);
    *cache_err = MDC_CACHE_FILE_ERROR;
    return r;
  }
  const int h = FsCacheHandleMap_insert(fd);
  m_FsManageCacheHandle = h;
  *handle = static_cast<std::uint64_t>(h);
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

int CVFAMHandler22::OnOpenLocalMetaCache(const char* name, std::uint32_t, std::uint32_t* cache_err,
                                         std::uint64_t* handle) {
  const std::string path = join_local(name, 51);
  if (path.empty()) {
    KELC_LOG(kLogErr, "CachePath error");
    *cache_err = MDC_CACHE_PATH_ERROR;
    *handle = static_cast<std::uint64_t>(-1);
    return KEL_EINVAL;
  }
  int fd = open_cache_file(path, nullptr);
  if (fd < 0) {
    const int e = errno;
    KELC_LOG(kLogErr, "open failed path=(%s) err=%d(%s)\n", path.c_str(), e, strerror(e));
    *cache_err = MDC_CACHE_FILE_ERROR;
    *handle = static_cast<std::uint64_t>(-1);
    return e;
  }
  *handle = static_cast<std::uint64_t>(FsCacheHandleMap_insert(fd));
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

int CVFAMHandler22::OnCloseMetaCache(std::int32_t handle, std::uint32_t* cache_err) {
  const int fd = FsCacheHandleMap_find(handle);
  FsCacheHandleMap_erase(handle);
  if (fd < 0 || ::close(fd) != 0) {
    const int e = fd < 0 ? EBADF : errno;
    *cache_err = MDC_CACHE_FILE_ERROR;
    return e;
  }
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

int CVFAMHandler22::OnReadMetaCache(std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                                    std::uint32_t* cache_err, std::uint32_t* read_length,
                                    std::uint8_t* data) {
  KELC_LOG(kLogDebug,
           "********Enter [%s(tid=%08x) (Handle=%p but currently use constant value.. offset=%llu len=%u)]********\n",
           __func__, GetCurrentThreadId(), reinterpret_cast<void*>(static_cast<intptr_t>(handle)),
           static_cast<unsigned long long>(offset), length);
  *read_length = 0;
  if (handle == -1) {
    KELC_LOG(kLogErr, "invalid handle: errno=%d(%s)", EBADF, strerror(EBADF));
    *cache_err = MDC_CACHE_FILE_ERROR;
    return EBADF;
  }
  const int fd = FsCacheHandleMap_find(handle);
  if (fd < 0 || ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    const int e = fd < 0 ? EBADF : errno;
    KELC_LOG(kLogErr, "meta cache read error");
    *cache_err = MDC_CACHE_FILE_ERROR;
    if (fd >= 0) { FsCacheHandleMap_erase(handle); ::close(fd); }
    return e;
  }
  std::uint32_t got = 0;
  while (got < length) {
    ssize_t n = ::read(fd, data + got, length - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      KELC_LOG(kLogErr, "meta cache read error: h=0x%08x err=%d(%s)", handle, e, strerror(e));
      *cache_err = MDC_CACHE_FILE_ERROR;
      FsCacheHandleMap_erase(handle);
      ::close(fd);
      return e;
    }
    if (n == 0) break;
    got += static_cast<std::uint32_t>(n);
  }
  KELC_LOG(kLogDebug, "offset=%llu len=%u *pRead_length=%u", static_cast<unsigned long long>(offset), length, got);
  *read_length = got;
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

int CVFAMHandler22::OnWriteMetaCache(std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                                     const std::uint8_t* data, std::uint32_t* cache_err,
                                     std::uint32_t* written) {
  KELC_LOG(kLogDebug,
           "********Enter [%s(tid=%08x) (handle=%p but currently use constant value.. offset=%llu len=%u)]********\n",
           __func__, GetCurrentThreadId(), reinterpret_cast<void*>(static_cast<intptr_t>(handle)),
           static_cast<unsigned long long>(offset), length);
  *written = 0;
  if (handle == -1) {
    KELC_LOG(kLogErr, "invalid handle: err=%d(%s)", EBADF, strerror(EBADF));
    *cache_err = MDC_CACHE_FILE_ERROR;
    return EBADF;
  }
  const int fd = FsCacheHandleMap_find(handle);
  if (fd < 0 || ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    const int e = fd < 0 ? EBADF : errno;
    KELC_LOG(kLogErr, "meta cache write error: h=0x%08x err=%d(%s)", handle, e, strerror(e));
    *cache_err = MDC_CACHE_FILE_ERROR;
    if (fd >= 0) { FsCacheHandleMap_erase(handle); ::close(fd); }
    return e;
  }
  std::uint32_t put = 0;
  while (put < length) {
    ssize_t n = ::write(fd, data + put, length - put);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      const int e = n < 0 ? errno : EIO;
      KELC_LOG(kLogErr, "h=0x%08x err=%d(%s)", handle, e, strerror(e));
      *cache_err = MDC_CACHE_FILE_ERROR;
      FsCacheHandleMap_erase(handle);
      ::close(fd);
      return e;
    }
    put += static_cast<std::uint32_t>(n);
  }
  KELC_LOG(kLogDebug, " offset=%llu len=%u *pWrite_length=%u", static_cast<unsigned long long>(offset), length, put);
  *written = length;
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

int CVFAMHandler22::OnTruncateMetaCache(std::int32_t handle, std::uint32_t size, std::uint32_t* cache_err) {
  KELC_LOG(kLogDebug,
           "********Enter [%s(tid=%08x) (handle=%p but currently use constant value.. size=%u)]********\n",
           __func__, GetCurrentThreadId(), reinterpret_cast<void*>(static_cast<intptr_t>(handle)), size);
  if (handle == -1) {
    KELC_LOG(kLogErr, "invalid handle: err=%d(%s)", EBADF, strerror(EBADF));
    *cache_err = MDC_CACHE_FILE_ERROR;
    return EBADF;
  }
  const int fd = FsCacheHandleMap_find(handle);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int e = fd < 0 ? EBADF : errno;
    KELC_LOG(kLogErr, "failed truncate. h=0x%08x err=%d(%s)", handle, e, strerror(e));
    *cache_err = MDC_CACHE_FILE_ERROR;
    return e;
  }
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

std::uint64_t CVFAMHandler22::ReadableLength(std::int32_t handle, std::uint64_t offset) {
  const int fd = FsCacheHandleMap_find(handle);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 0) return 0;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  return size > offset ? size - offset : 0;
}

static int delete_cache_path(const std::string& path, std::uint32_t* cache_err) {
  if (path.empty()) {
    KELC_LOG(kLogErr, "Path error");
    *cache_err = MDC_CACHE_PATH_ERROR;
    return KEL_EINVAL;
  }
  boost::system::error_code ec;
  if (!fs::exists(path, ec)) {
    KELC_LOG(kLogDebug, "cache file not exist path=(%s)", path.c_str());
    *cache_err = MDC_CACHE_SUCCESS;
    return 0;
  }
  fs::remove(path, ec);
  if (ec) {
    KELC_LOG(kLogErr, "filesystem_error what=(%s) path=(%s)", ec.message().c_str(), path.c_str());
    *cache_err = MDC_CACHE_FILE_ERROR;
    return KEL_EIO;
  }
  KELC_LOG(kLogDebug, "delete success path=(%s)", path.c_str());
  *cache_err = MDC_CACHE_SUCCESS;
  return 0;
}

int CVFAMHandler22::OnDeleteMetaCache(const char* name, std::uint32_t* cache_err) {
  return delete_cache_path(join_local(name, 51), cache_err);
}

int CVFAMHandler22::OnDeleteFsManageCache(const char* serial, std::uint32_t* cache_err) {
  return delete_cache_path(join_fsmanage(serial), cache_err);
}
