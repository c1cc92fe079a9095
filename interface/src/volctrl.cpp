#include "kel/volctrl.h"

#include "kel/entry.h"
#include "kel/errors.h"
#include "kel/kel_trace.h"
#include "platform/codepage.h"

#include <atomic>
#include <mutex>
#include <string>

// Static settings, at their load-time values.
std::uint32_t RuvoCtrlVolume::m_maxWriteRetryR = 0;
bool RuvoCtrlVolume::m_isSerializedNRTFilesModified = false;
bool RuvoCtrlVolume::m_verifyOnWrite = false;
std::atomic<bool> RuvoCtrlVolume::m_generateParity{false};
std::uint32_t RuvoCtrlVolume::m_discSpanThld = 0;
std::u16string RuvoCtrlVolume::m_cacheFolderPath;
bool RuvoCtrlVolume::m_isDiscSpanInhibit = false;
std::uint8_t RuvoCtrlVolume::m_dfltFsFlshPlcy = 0;
std::uint32_t RuvoCtrlVolume::m_pckdWrtMaxFNum = 0;
std::uint32_t RuvoCtrlVolume::m_pckdWrtEndSects = 0;
bool RuvoCtrlVolume::m_disableLocalCache = false;
std::uint32_t RuvoCtrlVolume::m_writeBufferMb = 0;
bool RuvoCtrlVolume::m_packedWriteMode = false;
std::atomic<bool> RuvoCtrlVolume::m_isNewAllocatedVolume{true};
std::uint32_t RuvoCtrlVolume::m_writeClusterBlocks = 66048;
std::uint32_t RuvoCtrlVolume::m_parityInClusterBlocks = 512;
std::uint32_t RuvoCtrlVolume::m_discFullMarginBlocks = 524288;
std::uint32_t RuvoCtrlVolume::m_discFullMarginBlocksForLastDisc = 524288;
std::atomic<std::uint32_t> RuvoCtrlVolume::m_optimalReadWriteBlocks{128};
std::atomic<std::uint32_t> RuvoCtrlVolume::m_reserveWriteBlocks{32768};
std::uint32_t RuvoCtrlVolume::m_errorReportingWindowBlocks = 0;
std::atomic<bool> RuvoCtrlVolume::m_bNewWrite{false};
std::atomic<std::uint32_t> RuvoCtrlVolume::m_RSVNum{0};
std::atomic<std::uint32_t> RuvoCtrlVolume::m_bufferNum{0};
std::atomic<std::uint8_t> RuvoCtrlVolume::m_mediumType{0};
std::atomic<std::uint64_t> RuvoCtrlVolume::m_mediaCapacity{0};
std::atomic<std::uint64_t> RuvoCtrlVolume::m_freeSpace{0};

namespace {

std::atomic<bool> g_mediumKnown{true};
std::atomic<bool> g_rMedium{true};
std::mutex g_policyMutex;
bool g_policyRead = false;

constexpr kel::ParityConstants kBuiltInParity{2064, 2048, 16, 32ll * 16 * 2048, 32ll * 2048 * 2048,
                                              32};
kel::ParityConstants g_parity = kBuiltInParity;

// One control request through the Fsctl slot; the engine's result.
int fsctl(unsigned code, void* data) {
  const FileSystemOperations* ops = kel::CurrentOperations();
  if (!ops || !ops->Fsctl) return kel::kNoInterfaceResult;
  return ops->Fsctl(code, data);
}

bool validMediumType(std::uint8_t t) {
  return t == 0xD2 || (t >= 0xE1 && t <= 0xE7) || t == 0xF1 || t == 0xF2 || t == 0x53;
}

}  // namespace

namespace kel {

ParityConstants& WriterParityConstants() { return g_parity; }

void ApplyF2hParityConstants() {
  ParityConstants& p = g_parity;
  p.ParitySymbols = static_cast<std::int64_t>(RuvoCtrlVolume::getParityInClusterBlocks() >> 7);
  p.TotalSymbols = static_cast<std::int64_t>(RuvoCtrlVolume::getWriteClusterBlocks() >> 7);
  p.DataSymbols = p.TotalSymbols - p.ParitySymbols;
  p.BlocksPerSymbol = 128;
  p.ParitySymbolsBytes = p.ParitySymbols << 18;
  p.DataSymbolsBytes = p.DataSymbols << 18;
}

}  // namespace kel

RuvoCtrlVolume::RuvoCtrlVolume(const std::u16string& volume_path) : m_volumePath(volume_path) {}

RuvoCtrlVolume::~RuvoCtrlVolume() {
  if (m_privileged) exitPrivilegedMode();
}

bool RuvoCtrlVolume::isRMedia() { return g_rMedium.load(); }

void RuvoCtrlVolume::resetForTesting() {
  m_maxWriteRetryR = 0;
  m_isSerializedNRTFilesModified = false;
  m_verifyOnWrite = false;
  m_generateParity = false;
  m_discSpanThld = 0;
  m_cacheFolderPath.clear();
  m_isDiscSpanInhibit = false;
  m_dfltFsFlshPlcy = 0;
  m_pckdWrtMaxFNum = 0;
  m_pckdWrtEndSects = 0;
  m_disableLocalCache = false;
  m_writeBufferMb = 0;
  m_packedWriteMode = false;
  m_isNewAllocatedVolume = true;
  m_writeClusterBlocks = 66048;
  m_parityInClusterBlocks = 512;
  m_discFullMarginBlocks = 524288;
  m_discFullMarginBlocksForLastDisc = 524288;
  m_optimalReadWriteBlocks = 128;
  m_reserveWriteBlocks = 32768;
  m_errorReportingWindowBlocks = 0;
  m_bNewWrite = false;
  m_RSVNum = 0;
  m_bufferNum = 0;
  m_mediumType = 0;
  m_mediaCapacity = 0;
  m_freeSpace = 0;
  g_mediumKnown = true;
  g_rMedium = true;
  {
    std::lock_guard<std::mutex> lk(g_policyMutex);
    g_policyRead = false;
  }
  g_parity = kBuiltInParity;
}

void RuvoCtrlVolume::setRMediaForTesting(bool r_media) { g_rMedium = r_media; }

std::uint32_t RuvoCtrlVolume::getVolumeMountInformation(MDCFS_MOUNT_INFORMATION& info) {
  int r = fsctl(kel::kFsctlGetVolumeMountInformation, &info);
  if (r != 0) {
    SetLastError(static_cast<DWORD>(r));
    return kel::kVolMountInfoFailed;
  }
  return 0;
}

std::uint32_t RuvoCtrlVolume::getVolumeMountInformation(MountInfo& mi) {
  MDCFS_MOUNT_INFORMATION info{};
  if (std::uint32_t e = getVolumeMountInformation(info)) return e;
  mi.writeProtected = info.WriteProtectReasonFlags != 0 ? 1 : 0;
  mi.rMedium = 1;
  mi.volumeType = static_cast<std::uint8_t>(info.VolumeTypeAndInformationVersion >> 4);
  const bool valid = info.MountStatus == 0 && info.WriteProtectReasonFlags == 0 &&
                     info.AccessMode == 0 && validMediumType(info.MediumType) &&
                     (info.VolumeStatus & 0x80) != 0 && (info.VolumeStatus & 0x0F) == 1;
  if (valid) {
    mi.volumeStatus = static_cast<std::uint8_t>(info.VolumeStatus & 0x0F);
    m_mediumType = info.MediumType;
  } else {
    KelTrace(0, 2, 0, __FILE__, u"RuvoCtrlVolume::getVolumeMountInformation", __LINE__,
             u"invalid volume !! MountStatus=0x%08X WriteProtectReasonFlags=0x%08X "
             u"AccessMode=0x%08X MediumType=0x%02X VolumeStatus=0x%02X ",
             info.MountStatus, info.WriteProtectReasonFlags, info.AccessMode, info.MediumType,
             info.VolumeStatus);
    mi.volumeStatus = 0;
  }
  return 0;
}

std::uint32_t RuvoCtrlVolume::getWritePolicyInformation(MDCFS_WRITE_POLICY_INFORMATION& info) {
  int r = fsctl(kel::kFsctlGetWritePolicyInformation, &info);
  if (r != 0) {
    SetLastError(static_cast<DWORD>(r));
    return kel::kVolQueryFailed;
  }
  return 0;
}

std::uint32_t RuvoCtrlVolume::setWritePolictInformation() {
  std::lock_guard<std::mutex> lk(g_policyMutex);
  if (g_policyRead) return 0;
  MDCFS_WRITE_POLICY_INFORMATION p{};
  // A failed read leaves the settings as they are and is tried again by the
  // next caller.
  if (std::uint32_t e = getWritePolicyInformation(p)) return e;
  const std::uint64_t window = p.ErrorReportingWindowBlocks;
  const std::uint64_t reserve = p.ReserveWriteBlocks;
  const bool new_write = window != 0 && reserve != 0;
  const std::uint64_t rsv = new_write ? (window + reserve - 1) / reserve : 0;
  // The buffer count (reserve pieces + 2) must fit its 32-bit setting; a
  // policy beyond that is refused like one that cannot be read.
  if (rsv + 2 > 0xFFFFFFFFull) {
    SetLastError(ERROR_INVALID_DATA);
    return kel::kVolQueryFailed;
  }
  m_writeClusterBlocks = p.WriteClusterBlocks;
  m_parityInClusterBlocks = p.ParityInClusterBlocks;
  m_discFullMarginBlocks = p.DiscFullMarginBlocks;
  m_discFullMarginBlocksForLastDisc = p.DiscFullMarginBlocksForLastDisc;
  m_optimalReadWriteBlocks = p.OptimalReadWriteBlocks;
  m_reserveWriteBlocks = p.ReserveWriteBlocks;
  m_errorReportingWindowBlocks = p.ErrorReportingWindowBlocks;
  if (new_write) {
    m_bNewWrite = true;
    m_RSVNum = static_cast<std::uint32_t>(rsv);
    m_bufferNum = m_RSVNum + 2;
  } else {
    // A window without reserve blocks cannot be divided; it counts as none.
    m_bNewWrite = false;
    m_RSVNum = 0;
    m_bufferNum = 4;
  }
  g_policyRead = true;
  return 0;
}

std::optional<bool> RuvoCtrlVolume::checkRMedia() {
  MountInfo mi{};
  // The medium counts as known while its mount information can be read.
  if (getVolumeMountInformation(mi) != 0) {
    g_mediumKnown = false;
    return std::nullopt;
  }
  g_mediumKnown = true;
  const bool r = mi.rMedium != 0;
  g_rMedium = r;
  KelTrace(0, 2, 0, __FILE__, u"RuvoCtrlVolume::checkRMedia", __LINE__, u"Media type = %s",
           r ? u"R Media" : u"RE Media");
  return r;
}

std::uint32_t RuvoCtrlVolume::enterPrivilegedModeImpl(bool check) {
  bool r = g_rMedium.load();
  if (check) {
    MountInfo mi{};
    if (std::uint32_t e = getVolumeMountInformation(mi)) return e;
    if (mi.writeProtected) return kel::kVolWriteProtected;
    if (mi.volumeStatus == 0) {
      SetLastError(1005);
      return kel::kVolQueryFailed;
    }
    r = mi.rMedium != 0;
    g_rMedium = r;
    m_generateParity = mi.volumeType == 0;
  }
  KelTrace(0, 2, 0, __FILE__, u"RuvoCtrlVolume::enterPrivilegedModeImpl", __LINE__,
           u"Media type = %s", r ? u"R Media" : u"RE Media");
  int res = fsctl(kel::kFsctlPrivilegePrepare, nullptr);
  if (res == 0) res = fsctl(kel::kFsctlEnterPrivileged, nullptr);
  if (res == 0) {
    m_privileged = 1;
    return 0;
  }
  SetLastError(static_cast<DWORD>(res));
  return kel::kVolEnterFailed;
}

std::uint32_t RuvoCtrlVolume::exitPrivilegedMode() {
  m_privileged = 0;
  return static_cast<std::uint32_t>(fsctl(kel::kFsctlExitPrivileged, nullptr));
}

bool RuvoCtrlVolume::reserveFileCreartion(int files, int directories) {
  KelTrace(0, 2, 0, __FILE__, u"RuvoCtrlVolume::reserveFileCreartion", __LINE__,
           u"MDCFSCTL_RESERVE_FILE_CREATION NumberOfFiles=%d, NumberOfDirectories=%d\n", files,
           directories);
  std::int32_t record[2] = {files, directories};
  int r = fsctl(kel::kFsctlReserveFileCreation, record);
  if (r != 0) SetLastError(static_cast<DWORD>(r));
  return r == 0;
}

std::uint32_t RuvoCtrlVolume::getLastFileIndex(long long& index) {
  std::int64_t value = 0;
  int r = fsctl(kel::kFsctlGetLastFileIndex, &value);
  if (r != 0) {
    SetLastError(static_cast<DWORD>(r));
    return kel::kVolQueryFailed;
  }
  index = value;
  return 0;
}

std::uint32_t RuvoCtrlVolume::getDiskFreeSpace(const std::u16string&, unsigned long long& total,
                                               unsigned long long& free, bool) {
  MDCFS_STATFS_SIZEINFO info{};
  int r = fsctl(kel::kFsctlGetStatfsSizeInfo, &info);
  if (r != 0) {
    SetLastError(static_cast<DWORD>(r));
    KelTrace(0, 2, 0, __FILE__, u"RuvoCtrlVolume::getDiskFreeSpace", __LINE__,
             u"MDCFSCTL_GET_STATFS_SIZEINFO errono=0x%08X", static_cast<unsigned>(r));
    return kel::kVolQueryFailed;
  }
  total = static_cast<unsigned long long>(info.BlockSize) * info.TotalBlocks;
  free = static_cast<unsigned long long>(info.BlockSize) * info.FreeBlocks;
  return 0;
}

std::uint32_t RuvoCtrlVolume::setWriteVerifyMode(unsigned mode) {
  std::uint32_t record = mode;
  return static_cast<std::uint32_t>(fsctl(kel::kFsctlSetWriteVerifyMode, &record));
}

std::uint32_t RuvoCtrlVolume::resetWriteVerifyMode() {
  return static_cast<std::uint32_t>(fsctl(kel::kFsctlResetWriteVerifyMode, nullptr));
}

std::uint32_t RuvoCtrlVolume::rebuildFileAllocation(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER& buffer,
                                                    unsigned long long) {
  return static_cast<std::uint32_t>(fsctl(kel::kFsctlRebuildFileAllocation, &buffer));
}

std::uint32_t RuvoCtrlVolume::getMediaEvent(bool& event) {
  event = false;
  return 0;
}

bool RuvoCtrlVolume::openVolumeHandle() {
  setWritePolictInformation();
  checkRMedia();
  return g_mediumKnown.load();
}

OBase::OBase(const std::u16string& volume_path, WriteMode mode)
    : m_volume(volume_path), m_rootPath(volume_path), m_writeMode(mode) {
  m_volume.setWritePolictInformation();
  m_volume.checkRMedia();
  if (!g_mediumKnown.load()) {
    m_status = kel::kObaseMediumUnknown;
    return;
  }
  m_status = m_volume.enterPrivilegedMode(true);
  if (m_status == 0 && m_writeMode == WriteModeNew) {
    if (!m_volume.reserveFileCreartion(1, 0)) m_status = kel::kObaseReserveRefused;
  }
}

OBase::~OBase() = default;

std::uint32_t OBase::reserveFileCreartion() {
  if (m_writeMode != WriteModeNew) return 0;
  if (m_volume.reserveFileCreartion(1, 0)) return 0;
  m_status = kel::kObaseReserveRefused;
  return kel::kObaseReserveRefused;
}

void OBase::setWriteVerifyMode(std::uint32_t mode) {
  m_lock.lock();
  if (mode != m_verifyMode) {
    m_verifyMode = mode;
    m_verifyModeChanged = true;
  }
  m_lock.unlock();
}

bool OBase::updateWriteVerifyMode() {
  m_lock.lock();
  bool ok = true;
  if (m_verifyModeChanged) {
    if (m_verifyMode != VerifyNone && m_volume.setWriteVerifyMode(m_verifyMode) != 0) ok = false;
    else m_verifyModeChanged = false;
  }
  m_lock.unlock();
  return ok;
}

DWORD quorvel_stat(const char* path, unsigned /*max_extents*/, PKELFS_OBJECT_INFO info) {
  const FileSystemOperations* ops = kel::CurrentOperations();
  std::string p = path ? path : "";
  for (char& c : p)
    if (c == '\\') c = '/';
  if (p.rfind("/$/", 0) == 0) p.erase(0, 2);
  // The record is a plain object information without room for extents.
  const int r = ops && ops->GetPathInfo ? ops->GetPathInfo(p.c_str(), 0, info)
                                        : kel::kNoInterfaceResult;
  return kel::ReportEngineErrorThrough(ops, r, __FILE__, __LINE__);
}

DWORD quorvel_open(const char* path, int mode, void** handle) {
  const FileSystemOperations* ops = kel::CurrentOperations();
  const int r = ops && ops->OpenFile ? ops->OpenFile(path, mode, handle) : kel::kNoInterfaceResult;
  return kel::ReportEngineErrorThrough(ops, r, __FILE__, __LINE__);
}
