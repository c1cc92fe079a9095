// File-system cache agent: the thread that serves the metacache channel and
// keeps the engine's metadata caches as files under the cache directory.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kelagent {

// cache_err values carried as the first word of every answer payload.
enum : std::uint32_t {
  MDC_CACHE_SUCCESS = 0,
  MDC_CACHE_FILE_ERROR = 1,
  MDC_CACHE_PATH_ERROR = 3,
};

// Process-wide map between OS file descriptors and the integer handles the
// engine sees; unique in both directions.
int FsCacheHandleMap_insert(int fd);
int FsCacheHandleMap_find(int handle);  // fd, or -1
int FsCacheHandleMap_erase(int handle);  // 0, or -1 when absent
std::size_t FsCacheHandleMap_size();

// CRC-16/XMODEM (polynomial 0x1021, initial 0, MSB first).
std::uint16_t fscache_crc16(const std::uint8_t* data, std::size_t len);

// Layout of an fs management cache file.
constexpr std::uint64_t kFsCacheAgentRecordSize = 128;
constexpr std::uint64_t kFsCacheMarkerOffset = 0x8000;
constexpr std::uint8_t kFsCacheMarker = 2;
constexpr std::uint64_t kFsCacheCheckBytes = 0x10000;

}  // namespace kelagent

// Abstract request server: option parsing, open/serve/close loop, dispatch.
class CVFAMObject22 {
 public:
  CVFAMObject22() = default;
  virtual ~CVFAMObject22() = default;

  virtual int OnMount() = 0;
  virtual int OnUnmount() = 0;
  virtual int OnOpenFsManageCache(const char* serial, const std::uint8_t* attr, std::uint32_t open_kind,
                                  std::uint32_t attr_read_failed, std::uint32_t* cache_err,
                                  std::uint64_t* handle, std::uint32_t* coherent,
                                  std::uint32_t* created) = 0;
  virtual int OnOpenLocalMetaCache(const char* name, std::uint32_t mode, std::uint32_t* cache_err,
                                   std::uint64_t* handle) = 0;
  virtual int OnUnsupportedRequest(std::uint32_t* cache_err) = 0;
  virtual int OnCloseMetaCache(std::int32_t handle, std::uint32_t* cache_err) = 0;
  virtual int OnReadMetaCache(std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                              std::uint32_t* cache_err, std::uint32_t* read_length,
                              std::uint8_t* data) = 0;
  virtual int OnWriteMetaCache(std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                               const std::uint8_t* data, std::uint32_t* cache_err,
                               std::uint32_t* written) = 0;
  virtual int GetDevName() = 0;
  virtual int OnDeleteMetaCache(const char* name, std::uint32_t* cache_err) = 0;
  virtual int OnDeleteFsManageCache(const char* serial, std::uint32_t* cache_err) = 0;
  virtual int OnTruncateMetaCache(std::int32_t handle, std::uint32_t size, std::uint32_t* cache_err) = 0;
  // Bytes the file behind the handle holds from offset on (0 for a handle
  // that names no file); bounds the answer of a read.
  virtual std::uint64_t ReadableLength(std::int32_t handle, std::uint64_t offset) = 0;

  // Parses the command line, opens the channel, serves it until the stop
  // request, and closes it. errno-style result.
  int Start(int argc, char** argv);
  int MainLoop();

  const std::string& mount_path() const { return m_MountPath; }

  // Dispatch entries: each builds the answer image (24-byte header plus
  // payload) from the request image; *answer is left empty when no answer
  // could be allocated.
  int DispatchOpenFsManageCache(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchOpenLocalMetaCache(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchUnsupported(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchClose(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchRead(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchWrite(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchDelete(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchDeleteFsManage(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  int DispatchTruncate(const std::uint8_t* req, std::vector<std::uint8_t>* answer);
  using DispatchEntry = int (CVFAMObject22::*)(const std::uint8_t*, std::vector<std::uint8_t>*);
  // Calls one dispatch entry; a failure it throws becomes the request's
  // error (12 out of memory, else 5) with an answer left empty.
  int Serve(DispatchEntry entry, const std::uint8_t* req, std::vector<std::uint8_t>* answer);

 protected:
  std::string m_Unused;
  std::string m_MountPath;
  std::int64_t m_RequesterPid = 0;
  std::deque<std::string> m_Queue;
};

// The concrete handler: cache files on the local disk.
class CVFAMHandler22 : public CVFAMObject22 {
 public:
  CVFAMHandler22() = default;
  ~CVFAMHandler22() override = default;

  int OnMount() override;
  int OnUnmount() override;
  int OnOpenFsManageCache(const char* serial, const std::uint8_t* attr, std::uint32_t open_kind,
                          std::uint32_t attr_read_failed, std::uint32_t* cache_err,
                          std::uint64_t* handle, std::uint32_t* coherent,
                          std::uint32_t* created) override;
  int OnOpenLocalMetaCache(const char* name, std::uint32_t mode, std::uint32_t* cache_err,
                           std::uint64_t* handle) override;
  int OnUnsupportedRequest(std::uint32_t* cache_err) override;
  int OnCloseMetaCache(std::int32_t handle, std::uint32_t* cache_err) override;
  int OnReadMetaCache(std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                      std::uint32_t* cache_err, std::uint32_t* read_length,
                      std::uint8_t* data) override;
  int OnWriteMetaCache(std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                       const std::uint8_t* data, std::uint32_t* cache_err,
                       std::uint32_t* written) override;
  int GetDevName() override;
  int OnDeleteMetaCache(const char* name, std::uint32_t* cache_err) override;
  int OnDeleteFsManageCache(const char* serial, std::uint32_t* cache_err) override;
  int OnTruncateMetaCache(std::int32_t handle, std::uint32_t size, std::uint32_t* cache_err) override;
  std::uint64_t ReadableLength(std::int32_t handle, std::uint64_t offset) override;

  void GetFsCacheFileList(std::vector<std::string>* list, std::uint64_t* total, std::uint32_t* count);
  int FsManageCacheAjust(const std::string& path, int flag);
  int FsManageCacheCoherentCheck(const std::string& path, int* fd, const std::uint8_t* attr,
                                 std::uint32_t* created, std::uint32_t attr_read_failed);
  int FsManageCacheVUVICrcCheck(const std::uint8_t* record, std::size_t length);

  std::int32_t fs_manage_cache_handle() const { return m_FsManageCacheHandle; }
  const std::string& local_cache_path() const { return m_LocalCachePath; }
  const std::string& fs_manage_cache_path() const { return m_FsManageCachePath; }
  const std::string& efe_cache_path() const { return m_EfeCachePath; }
  std::uint32_t limit_blocks() const { return m_LmtFsCchTtlBlks; }

 private:
  // Joins a request name to its directory; empty when the name may not be
  // used (empty, absolute, or climbing out other than "../EFECache/").
  std::string join_local(const char* name, std::size_t max_len) const;
  std::string join_fsmanage(const char* serial) const;

  std::int32_t m_FsManageCacheHandle = -1;
  std::uint32_t m_LmtFsCchTtlBlks = 0;
  std::string m_LocalCachePath;
  std::string m_Spare;
  std::string m_FsManageCachePath;
  std::string m_EfeCachePath;
};

// Thread entry points.
void* fscache_handler_start(void* argv);
// What an agent thread of a mount starts with: the argument vector and its
// ticket, issued before the thread starts so that a stop of the agents
// started so far reaches this one even before it runs.
struct FsCacheAgentStart {
  char** argv;
  std::uint64_t ticket;
};
FsCacheAgentStart* FsCacheAgent_new_start(char** argv);  // null when out of memory
// Thread body given a start record, which it takes over: it holds the
// ticket, then runs fscache_handler_start.
void* fscache_ticketed_handler_start(void* start);
// Starts the agent thread; its id, or 0 when it could not be created.
std::uint32_t FsCacheAgent_main_func(int argc, char** argv);
// Stops the agents started so far that have not opened the metacache
// channel (waiting for their mount to allocate it, or not there yet): each
// gives up its open with 6 and its thread ends. A mount that fails before
// its agent opened the channel calls it, so that the agent does not take
// the channel of a later mount.
void FsCacheAgent_stop_unopened();
// Argument count the agent thread reads (set by the engine's Initialise).
extern int g_fscache_agent_argc;
