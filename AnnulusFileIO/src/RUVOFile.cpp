#include "AnnulusFileIO/RUVO.h"

#include "kel/entry.h"
#include "kel/errors.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/codepage.h"
#include "platform/win32.h"

#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <vector>

namespace AnnulusFileIO {

namespace {

constexpr int kNoDevice = 19;
constexpr unsigned kCreateMode = 438;  // 0666
constexpr std::uint32_t kShortWrite = 1117;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kNameTooLong = 206;
constexpr std::uint32_t kNotEnoughMemory = 8;
// Largest byte count of one read or write: the engine reports the bytes
// done as a signed 32-bit value.
constexpr std::uint64_t kMaxTransfer = 0x7FFFFFFF;
// Largest extent count taken from the engine in one list.
constexpr std::uint32_t kMaxExtents = 1u << 22;
// Longest path taken from the engine, its NUL included.
constexpr std::uint32_t kMaxPathBytes = 32768;

// The record of MDCFSCTL_GET_REAL_PXOFILENAME: BufferSize 0 asks for the
// bytes needed (NUL included); else the path goes to the Buffer address.
#pragma pack(push, 1)
struct RealFileName {
  std::uint32_t BufferSize;
  std::uint64_t Buffer;
};
#pragma pack(pop)
static_assert(sizeof(RealFileName) == 12, "real-name record is 12 bytes");

const FileSystemOperations* ops() { return kel::CurrentOperations(); }

template <class F, class... A>
int call(F FileSystemOperations::*slot, A... args) {
  const FileSystemOperations* o = ops();
  if (!o || !(o->*slot)) return kNoDevice;
  return (o->*slot)(args...);
}

using AnnulusFileIO::trace;

std::string narrowPath(const std::u16string& path) {
  std::string p = platform::utf16_to_utf8(path);
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

}  // namespace

RUVOFile::RUVOFile() : InhibitSpanningDiscWrite(RuvoCtrlVolume::isDiscSpanInhibit() ? 1 : 0) {}

RUVOFile::~RUVOFile() {
  if (m_handle) closeHandle();
}

bool RUVOFile::record(int engine_result, int line, bool set_last_error) {
  const DWORD code = kel::ReportEngineErrorThrough(ops(), engine_result, "RUVOFile", line);
  if (code == 0) return true;
  m_dwErrorCode = code;
  if (set_last_error) SetLastError(code);
  return false;
}

bool RUVOFile::fail(std::uint32_t code) {
  m_dwErrorCode = code;
  SetLastError(code);
  return false;
}

void RUVOFile::closeHandle() {
  if (m_handle) {
    const int r = call(&FileSystemOperations::CloseFile, m_handle, false);
    kel::ReportEngineErrorThrough(ops(), r, "RUVOFile", __LINE__);
  }
  m_handle = nullptr;
  m_position = kNoPosition;
}

void RUVOFile::setFilePath(const std::u16string& path) {
  m_path = path;
  const std::size_t slash = path.find_last_of(u'/');
  m_name = slash == std::u16string::npos ? path : path.substr(slash + 1);
}

bool RUVOFile::createFile(const std::u16string& path, std::uint32_t, std::uint32_t, void*,
                          std::uint32_t disposition, std::uint32_t flags_and_attributes, void*) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::createFile";
  if (m_handle) closeHandle();
  m_position = kNoPosition;
  const std::string path8 = narrowPath(path);
  const int mode = RuvoCtrlVolume::getPackedWriteMode() ? 2 : 0;
  trace(1, kMethod, __LINE__, u"Open(%s, 0x%x, 0%o)", path, mode, kCreateMode);
  void* handle = nullptr;
  m_dwErrorCode = quorvel_open(path8.c_str(), mode, &handle);
  if (m_dwErrorCode == 0) {
    m_handle = handle;
    if (disposition == 1) {
      closeHandle();
      fail(80);
      trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::createFile Open m_dwErrorCode=0x%08x path=%hs\n",
            m_dwErrorCode, path8);
      return false;
    }
    if (disposition == 5 && !record(call(&FileSystemOperations::SetFileSize, m_handle,
                                          std::uint64_t{0}),
                                     __LINE__)) {
      closeHandle();
      trace(2, kMethod, __LINE__,
            u"ERROR : RUVOFile::createFile SetDataSize m_dwErrorCode=0x%08x path=%hs\n",
            m_dwErrorCode, path8);
      return false;
    }
    setFilePath(path);
    if ((disposition == 2 || disposition == 4) && !applyReadOnly(flags_and_attributes, path8))
      return false;
  } else {
    const bool creatable = disposition == 1 || disposition == 2 || disposition == 4;
    if (m_dwErrorCode != 2 || !creatable) {
      fail(m_dwErrorCode);
      trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::createFile Open m_dwErrorCode=0x%08x path=%hs\n",
            m_dwErrorCode, path8);
      return false;
    }
    if (!createMissing(path8, path) || !applyReadOnly(flags_and_attributes, path8)) return false;
  }
  m_openCount = 1;
  m_position = 0;
  return true;
}

// Creates the missing file in its folder and opens it with mode 0.
bool RUVOFile::createMissing(const std::string& path8, const std::u16string& path) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::createFile";
  const std::size_t slash = path8.find_last_of('/');
  // A file of the root ("/name") is made in "/", not in a folder without a name.
  const std::string folder = slash == std::string::npos ? std::string()
                             : slash == 0                ? std::string("/")
                                                         : path8.substr(0, slash);
  const std::string name = slash == std::string::npos ? path8 : path8.substr(slash + 1);
  trace(1, kMethod, __LINE__, u"Create(%s, 0%o)", path, kCreateMode);
  if (!record(call(&FileSystemOperations::CreateFile, folder.c_str(), name.c_str(), std::size_t{0},
                   static_cast<char*>(nullptr), static_cast<void**>(nullptr)),
              __LINE__)) {
    trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::createFile Create m_dwErrorCode=0x%08x path=%hs\n",
          m_dwErrorCode, path8);
    return false;
  }
  trace(1, kMethod, __LINE__, u"Open(%s, 0x%x, 0%o)", path, 0, kCreateMode);
  void* handle = nullptr;
  m_dwErrorCode = quorvel_open(path8.c_str(), 0, &handle);
  if (m_dwErrorCode != 0) {
    fail(m_dwErrorCode);
    trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::createFile Open m_dwErrorCode=0x%08x path=%hs\n",
          m_dwErrorCode, path8);
    return false;
  }
  m_handle = handle;
  setFilePath(path);
  return true;
}

bool RUVOFile::applyReadOnly(std::uint32_t flags_and_attributes, const std::string& path8) {
  if ((flags_and_attributes & 1) == 0) return true;
  if (record(call(&FileSystemOperations::SetAttributes, m_handle, 256), __LINE__)) return true;
  closeHandle();
  trace(2, u"AnnulusFileIO::RUVOFile::createFile", __LINE__,
        u"ERROR : RUVOFile::createFile SetMode m_dwErrorCode=0x%08x path=%hs\n", m_dwErrorCode,
        path8);
  return false;
}

bool RUVOFile::close() {
  m_lock.lock(INFINITE);
  if (m_openCount > 0) {
    --m_openCount;
    if (m_openCount < 1) closeHandle();
  }
  m_lock.unlock();
  return true;
}

bool RUVOFile::setupParity(const std::u16string& parity_name) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::setupParity";
  const std::string name = platform::utf16_to_utf8(parity_name);
  if (name.size() >= sizeof(MDCFS_SETUP_PARITY::ParityName)) {
    fail(kNameTooLong);
    trace(2, kMethod, __LINE__,
          u"ERROR : RUVOFile::setupParity MDCFSCTL_SETUP_PARITY m_dwErrorCode==0x%08X\n",
          m_dwErrorCode);
    return false;
  }
  MDCFS_SETUP_PARITY rec{};
  rec.ParityNameLength = static_cast<std::uint32_t>(name.size());
  std::memcpy(rec.ParityName, name.data(), name.size());
  trace(1, kMethod, __LINE__, u"RUVOFile::setupParity MDCFSCTL_SETUP_PARITY parityPath=%hs", name);
  if (record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlSetupParity,
                  static_cast<void*>(&rec)),
             __LINE__))
    return true;
  trace(2, kMethod, __LINE__,
        u"ERROR : RUVOFile::setupParity MDCFSCTL_SETUP_PARITY m_dwErrorCode==0x%08X\n",
        m_dwErrorCode);
  return false;
}

bool RUVOFile::customizeFileSetting() {
  if (!m_handle) return false;
  MDCFS_CUSTOM_FILE_SETTING rec{1, 1, 0x7BDE};
  if (record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlCustomizeFileSetting,
                  static_cast<void*>(&rec)),
             __LINE__))
    return true;
  trace(2, u"AnnulusFileIO::RUVOFile::customizeFileSetting", __LINE__,
        u"ERROR : RUVOFile::customizeFileSetting MDCFSCTL_CUSTOMIZE_FILE_SETTING "
        u"m_dwErrorCode==0x%08X\n",
        m_dwErrorCode);
  return false;
}

bool RUVOFile::sendAllocation(const MDCFS_SPACE_ENTRY* entries, std::uint32_t count) {
  // The engine reads the entries through the buffer's address: a heap copy.
  std::unique_ptr<MDCFS_SPACE_ENTRY[]> copy(new MDCFS_SPACE_ENTRY[count ? count : 1]);
  if (count) std::memcpy(copy.get(), entries, sizeof(MDCFS_SPACE_ENTRY) * count);
  MDCFS_SPACE_ENTRIES_BUFFER buffer{};
  buffer.SpaceEntries = reinterpret_cast<std::uintptr_t>(copy.get());
  buffer.TotalSpaceCount = count;
  if (record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlAddFileAllocation,
                  static_cast<void*>(&buffer)),
             __LINE__)) {
    RuvoCtrlVolume::setNewAllocatedVolume(true);
    return true;
  }
  trace(2, u"AnnulusFileIO::RUVOFile::addFileAllocation", __LINE__,
        u"ERROR : RUVOFile::addFileAllocation MDCFSCTL_ADD_FILE_ALLOCATION m_dwErrorCode==0x%08X\n",
        m_dwErrorCode);
  return false;
}

bool RUVOFile::addFileAllocation(const MDCFS_SPACE_ENTRY& entry) { return sendAllocation(&entry, 1); }

bool RUVOFile::addFileAllocationAll(const std::vector<MDCFS_SPACE_ENTRY>& entries) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::addFileAllocationAll";
  if (entries.size() > kMaxExtents) return fail(kInvalidParameter);
  const auto count = static_cast<std::uint32_t>(entries.size());
  trace(1, kMethod, __LINE__, u"MDCFSCTL_ADD_FILE_ALLOCATION [%s] TotalSpaceCount=%u", m_name, count);
  for (const MDCFS_SPACE_ENTRY& e : entries)
    trace(1, kMethod, __LINE__, u"ZoneId=0x%X, BlockOffset=0x%X, NumberOfBlocks=0x%X", ZoneOf(e),
          OffsetOf(e), BlocksOf(e));
  return sendAllocation(entries.data(), count);
}

bool RUVOFile::getFileAllocationAll(std::vector<MDCFS_SPACE_ENTRY>& entries) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::getFileAllocationAll";
  MDCFS_SPACE_ENTRIES_BUFFER buffer{};
  if (!record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlGetFileAllocation,
                   static_cast<void*>(&buffer)),
              __LINE__)) {
    trace(2, kMethod, __LINE__,
          u"ERROR : RUVOFile::getFileAllocation MDCFSCTL_GET_FILE_ALLOCATION m_dwErrorCode=%08x\n",
          m_dwErrorCode);
    return false;
  }
  const std::uint32_t count = buffer.TotalSpaceCount;
  if (count == 0) return true;
  if (count > kMaxExtents) return fail(kNotEnoughMemory);
  std::vector<MDCFS_SPACE_ENTRY> list(count);
  buffer = MDCFS_SPACE_ENTRIES_BUFFER{};
  buffer.SpaceEntries = reinterpret_cast<std::uintptr_t>(list.data());
  buffer.TotalSpaceCount = count;
  if (!record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlGetFileAllocation,
                   static_cast<void*>(&buffer)),
              __LINE__)) {
    trace(2, kMethod, __LINE__,
          u"ERROR : RUVOFile::getFileAllocationAll MDCFSCTL_GET_FILE_ALLOCATION "
          u"m_dwErrorCode==0x%08X\n",
          m_dwErrorCode);
    return false;
  }
  entries.insert(entries.end(), list.begin(), list.end());
  return true;
}

bool RUVOFile::reallocateFileRange(std::uint32_t first_block, const MDCFS_SPACE_ENTRY& place) {
  MDCFS_REALLOCATE_FILE_RANGE rec{first_block, place};
  if (record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlReallocateFileRange,
                  static_cast<void*>(&rec)),
             __LINE__))
    return true;
  trace(2, u"AnnulusFileIO::RUVOFile::reallocateFileRange", __LINE__,
        u"ERROR MDCFSCTL_REALLOCATE_FILE_RANGE [%hs] m_dwErrorCode==0x%08X\n",
        platform::utf16_to_utf8(m_name), m_dwErrorCode);
  return false;
}

bool RUVOFile::deleteFileAllocation(std::int32_t block_offset) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::deleteFileAllocation";
  trace(1, kMethod, __LINE__, u"::deleteFileAllocation() [%hs] offsetBlock=[%lld]\n",
        platform::utf16_to_utf8(m_name), static_cast<long long>(block_offset));
  std::int32_t rec = block_offset;
  if (record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlDeleteFileAllocation,
                  static_cast<void*>(&rec)),
             __LINE__, false))
    return true;
  trace(2, kMethod, __LINE__,
        u"ERROR : RUVOFile::deleteFileAllocation MDCFSCTL_DELETE_FILE_ALLOCATION m_dwErrorCode=%08x\n",
        m_dwErrorCode);
  return false;
}

bool RUVOFile::writeFile(const void* buffer, std::uint64_t count) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::writeFile";
  trace(1, kMethod, __LINE__, u"::write() [%hs] sizeBytes=%lld\n", platform::utf16_to_utf8(m_name),
        static_cast<long long>(count));
  if (count > kMaxTransfer) {
    fail(kInvalidParameter);
    trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::writeFile Write m_dwErrorCode=%08x\n",
          m_dwErrorCode);
    return false;
  }
  int done = -1;
  if (!record(call(&FileSystemOperations::WriteData, m_handle, buffer, m_position,
                   static_cast<unsigned>(count), &done),
              __LINE__)) {
    trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::writeFile Write m_dwErrorCode=%08x\n",
          m_dwErrorCode);
    return false;
  }
  if (done < 0 || static_cast<std::uint64_t>(done) != count) {
    fail(kShortWrite);
    trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::writeFile write was too short\n");
    return false;
  }
  m_position += count;
  trace(1, kMethod, __LINE__, u"::write OK sizeBytes=%lld\n", static_cast<long long>(count));
  return true;
}

bool RUVOFile::readFile(void* buffer, std::uint64_t count, std::uint64_t& done_out) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOFile::readFile";
  trace(1, kMethod, __LINE__, u"::read() [%hs] bytesToRead=%lld\n", platform::utf16_to_utf8(m_name),
        static_cast<long long>(count));
  int done = 0;
  bool ok = count <= kMaxTransfer ? record(call(&FileSystemOperations::ReadData, m_handle, buffer,
                                                m_position, static_cast<unsigned>(count), &done),
                                           __LINE__)
                                  : fail(kInvalidParameter);
  // A count the engine cannot have read is a fault, not data.
  if (ok && (done < 0 || static_cast<std::uint64_t>(done) > count)) ok = fail(kShortWrite);
  if (!ok) {
    trace(2, kMethod, __LINE__, u"ERROR : RUVOFile::readFile ReadFile m_dwErrorCode=%08x\n",
          m_dwErrorCode);
    return false;
  }
  m_position += static_cast<std::uint64_t>(done);
  done_out = static_cast<std::uint64_t>(done);
  trace(1, kMethod, __LINE__, u"::read OK bytesRead=%lld\n", static_cast<long long>(done));
  return true;
}

bool RUVOFile::setEndOfFile() {
  if (record(call(&FileSystemOperations::SetFileSize, m_handle, m_position), __LINE__)) return true;
  trace(2, u"AnnulusFileIO::RUVOFile::setEndOfFile", __LINE__,
        u"ERROR : RUVOFile ::SetEndOfFile() SetDataSize error m_dwErrorCode==0x%08X\n",
        m_dwErrorCode);
  return false;
}

bool RUVOFile::setFileTime(std::uint64_t creation, std::uint64_t access, std::uint64_t modification) {
  // Seconds beyond the signed range would turn negative: out of range.
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (creation > limit || access > limit || modification > limit) {
    fail(kInvalidParameter);
  } else {
    const timespec c{static_cast<time_t>(creation), 0}, a{static_cast<time_t>(access), 0},
        m{static_cast<time_t>(modification), 0};
    if (record(call(&FileSystemOperations::SetFileTimes, m_handle, &c, &a, &m), __LINE__))
      return true;
  }
  trace(2, u"AnnulusFileIO::RUVOFile::setFileTime", __LINE__,
        u"ERROR : RUVOFile::setFileTime m_dwErrorCode==0x%08X\n", m_dwErrorCode);
  return false;
}

bool RUVOFile::queryInfo(const char16_t* method, const char16_t* by_handle, const char16_t* by_path,
                         std::uint64_t& id, std::uint64_t& size) {
  auto info = std::make_unique<KELFS_OBJECT_INFO>();
  std::memset(info.get(), 0, sizeof(KELFS_OBJECT_INFO));
  bool ok;
  if (m_handle) {
    ok = record(call(&FileSystemOperations::GetInfo, m_handle, 0u, info.get()), __LINE__);
  } else {
    const DWORD code = quorvel_stat(platform::utf16_to_utf8(m_path).c_str(), 0, info.get());
    ok = code == 0 || fail(code);
  }
  if (!ok) {
    trace(2, method, __LINE__, m_handle ? by_handle : by_path, m_dwErrorCode);
    return false;
  }
  id = info->ObjectID;
  size = info->Size;
  return true;
}

bool RUVOFile::getUniqueId(std::uint64_t& id) {
  std::uint64_t size = 0;
  return queryInfo(u"AnnulusFileIO::RUVOFile::getUniqueId",
                   u"ERROR : RUVOFile::getUniqueId ::GetInfo() m_dwErrorCode==0x%08X\n",
                   u"ERROR : RUVOFile::getUniqueId ::GetAttributes() m_dwErrorCode==0x%08X\n", id,
                   size);
}

std::uint64_t RUVOFile::getFileSize() {
  std::uint64_t id = 0, size = 0;
  if (!queryInfo(u"AnnulusFileIO::RUVOFile::getFileSize",
                 u"ERROR : RUVOFile::getFileSize ::GetInfo() m_dwErrorCode==0x%08X\n",
                 u"ERROR : RUVOFile::getFileSize ::GetAttributes() m_dwErrorCode==0x%08X\n", id,
                 size))
    return ~std::uint64_t{0};
  return size;
}

bool RUVOFile::getRealPath(std::string& path) {
  RealFileName rec{};
  if (!record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlGetRealFileName, static_cast<void*>(&rec)),
              __LINE__, false))
    return false;
  if (rec.BufferSize < 2 || rec.BufferSize > kMaxPathBytes) return fail(kInvalidParameter);
  std::vector<char> bytes(rec.BufferSize, '\0');
  rec.Buffer = reinterpret_cast<std::uintptr_t>(bytes.data());
  if (!record(call(&FileSystemOperations::FileIoctl, m_handle, kFsctlGetRealFileName, static_cast<void*>(&rec)),
              __LINE__, false))
    return false;
  bytes.back() = '\0';
  path = bytes.data();
  return !path.empty() && path[0] == '/';
}

}  // namespace AnnulusFileIO
