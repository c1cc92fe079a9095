#include "AnnulusFileIO/RUVO.h"

#include "kel/entry.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

namespace AnnulusFileIO {

namespace {

constexpr int kNoDevice = 19;

int fsctl(unsigned code, void* record) {
  const FileSystemOperations* o = kel::CurrentOperations();
  if (!o || !o->Fsctl) return kNoDevice;
  return o->Fsctl(code, record);
}

using AnnulusFileIO::trace;

}  // namespace

RUVOVolume::RUVOVolume(std::uintptr_t handle, bool owns_handle)
    : m_handle(handle), m_ownsHandle(owns_handle ? 1 : 0) {}

// The handle is never a system handle here (volume requests go to the
// engine's root; 0 only marks the volume open), so there is nothing to close.
RUVOVolume::~RUVOVolume() { m_handle = kInvalidHandle; }

bool RUVOVolume::send(unsigned code, void* record, const char16_t* method,
                      const char16_t* error_format, int line) {
  const int r = fsctl(code, record);
  if (r == 0) return true;
  m_dwErrorCode = static_cast<std::uint32_t>(r);
  trace(2, method, line, error_format, m_dwErrorCode);
  return false;
}

bool RUVOVolume::syncDriveCache() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOVolume::syncDriveCache";
  if (m_handle == kInvalidHandle) {
    trace(2, kMethod, __LINE__, u"ERROR: RUVOVolume::syncDriveCache : not open\n");
    return false;
  }
  return send(kFsctlSyncDriveCache, nullptr, kMethod,
              u"ERROR: RUVOVolume::syncDriveCache : MDCFSCTL_SYNC_DRIVE_CACHE error m_dwErrorCode = "
              u"%08x\n",
              __LINE__);
}

bool RUVOVolume::getDefectReportCounter(std::uint32_t& counter) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOVolume::getDefectReportCounter";
  if (m_handle == kInvalidHandle) {
    trace(2, kMethod, __LINE__, u"ERROR: RUVOVolume::getDefectReportCounter : not open\n");
    return false;
  }
  std::uint32_t value = 0xFFFFFFFF;
  if (!send(kFsctlGetDefectReportCounter, &value, kMethod,
            u"ERROR: RUVOVolume::getDefectReportCounter : MDCFSCTL_GET_DEFECT_REPORT_COUNTER error "
            u"m_dwErrorCode = %08x\n",
            __LINE__))
    return false;
  counter = value;
  return true;
}

bool RUVOVolume::enterExclusiveMode() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOVolume::enterExclusiveMode";
  trace(1, kMethod, __LINE__, u"MDCFSCTL_ENTER_EXCLUSIVE_IO_MODE");
  return send(kFsctlEnterExclusiveIoMode, nullptr, kMethod,
              u"ERROR: RUVOVolume::enterExclusiveMode : MDCFSCTL_ENTER_EXCLUSIVE_IO_MODE error "
              u"m_dwErrorCode = %08x\n",
              __LINE__);
}

bool RUVOVolume::exitExclusiveMode() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOVolume::exitExclusiveMode";
  trace(1, kMethod, __LINE__, u"MDCFSCTL_EXIT_EXCLUSIVE_IO_MODE");
  return send(kFsctlExitExclusiveIoMode, nullptr, kMethod,
              u"ERROR: RUVOVolume::exitExclusiveMode : MDCFSCTL_EXIT_EXCLUSIVE_IO_MODE error "
              u"m_dwErrorCode = %08x\n",
              __LINE__);
}

bool RUVOVolume::markVolumeDirty(std::uint8_t flush_policy) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOVolume::markVolumeDirty";
  if (!RuvoCtrlVolume::isRMedia()) return true;
  trace(1, kMethod, __LINE__, u"MDCFSCTL_MARK_VOLUME_DIRTY FsFlushPolicy=%u\n", flush_policy);
  std::uint32_t record = flush_policy;
  return send(kFsctlMarkVolumeDirty, &record, kMethod,
              u"ERROR: MDCFSCTL_MARK_VOLUME_DIRTY error m_dwErrorCode = %08x\n", __LINE__);
}

bool RUVOVolume::reserveWriteRange(const MDCFS_SPACE_ENTRY& range) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::RUVOVolume::reserveWriteRange";
  trace(1, kMethod, __LINE__,
        u"MDCFSCTL_RESERVE_WRITE_RANGE zoneId=%u, blockOffset=0x%08X numberOfBlocks=0x%08X \n",
        ZoneOf(range), OffsetOf(range), BlocksOf(range));
  MDCFS_SPACE_ENTRY record = range;
  return send(kFsctlReserveWriteRange, &record, kMethod,
              u"ERROR: MDCFSCTL_RESERVE_WRITE_RANGE error m_dwErrorCode = %08x\n", __LINE__);
}

bool RUVOVolume::verifyRange(const MDCFS_SPACE_ENTRY& range) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::WriterBase::chkDefect";
  trace(1, kMethod, __LINE__,
        u"MDCFSCTL_VERIFY_RANGE zoneId=%u, blockOffset=%u numberOfBlocks=%u \n", ZoneOf(range),
        OffsetOf(range), BlocksOf(range));
  MDCFS_SPACE_ENTRY record = range;
  return send(kFsctlVerifyRange, &record, kMethod,
              u"ERROR: MDCFSCTL_VERIFY_RANGE error m_dwErrorCode = %08x\n", __LINE__);
}

bool RUVOVolume::getVolumeTrackInformation(MDCFS_VOLUME_TRACK_INFORMATION& info) {
  return send(kFsctlGetVolumeTrackInformation, &info,
              u"AnnulusFileIO::RUVOVolume::getVolumeTrackInformation",
              u"ERROR: MDCFSCTL_GET_VOLUME_TRACK_INFORMATION error m_dwErrorCode = %08x\n",
              __LINE__);
}

bool RUVOVolume::getVolumeTrackWriteResourceInformation(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION& info) {
  return send(kFsctlGetTrackWriteResourceInformation, &info,
              u"AnnulusFileIO::RUVOVolume::getVolumeTrackWriteResourceInformation",
              u"ERROR: MDCFSCTL_GET_VOLUME_TRACK_WRITE_RESOURCE_INFORMATION error m_dwErrorCode = "
              u"%08x\n",
              __LINE__);
}

bool RUVOVolume::createNewTrack() {
  return send(kFsctlCreateNewTrack, nullptr, u"AnnulusFileIO::RUVOVolume::createNewTrack",
              u"ERROR: RUVOVolume::createNewTrack : MDCFSCTL_CREATE_NEW_TRACK error m_dwErrorCode = "
              u"%08x\n",
              __LINE__);
}

bool RUVOVolume::getVolumeMountInformation(MDCFS_MOUNT_INFORMATION& info) {
  return send(kel::kFsctlGetVolumeMountInformation, &info,
              u"AnnulusFileIO::RUVOVolume::getVolumeMountInformation",
              u"ERROR: MDCFSCTL_GET_VOLUME_MOUNT_INFORMATION error m_dwErrorCode = %08x\n",
              __LINE__);
}

bool RUVOVolume::getPerformance(std::uint32_t first_block, std::uint32_t& error_block) {
  std::uint32_t record = first_block;
  if (!send(kFsctlGetPerformance, &record, u"AnnulusFileIO::RUVOVolume::getPerformance",
            u"ERROR: MDCFSCTL_GET_PERFORMANCE error m_dwErrorCode = %08x\n", __LINE__))
    return false;
  error_block = record;
  return true;
}

}  // namespace AnnulusFileIO
