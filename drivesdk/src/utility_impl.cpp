// All delete, finalize and the user settings.
#include "utility_impl.h"

#include "finalize.h"
#include "models.h"
#include "root_directory.h"
#include "sdk_frame.h"

#include "platform/registry.h"
#include "platform/sync.h"

#include <strings.h>

#include <cstring>
#include <vector>

namespace PxoUtilityLib {

namespace {

constexpr const char* kAllDelete = "PxoUtilityLib::PxoUtilityImpl::doAllDelete";
constexpr const char* kFinalize = "PxoUtilityLib::PxoUtilityImpl::doFinalize";

std::uint8_t stateOf(const MDCFS_MOUNT_INFORMATION& i) { return i.VolumeStatus & 0x0F; }
bool valid(const MDCFS_MOUNT_INFORMATION& i) { return (i.VolumeStatus & 0x80) != 0; }

#define MOUNT_FORMAT "MountStatus=0x%08X,WriteProtectReasonFlags=0x%08X,AccessMode=0x%08X,MediumType=0x%02X,VolumeStatus=0x%02X"
#define MOUNT_VALUES(i) (i).MountStatus, (i).WriteProtectReasonFlags, (i).AccessMode, (i).MediumType, (i).VolumeStatus

// The one folder an empty volume may hold; the engine finds its name in any
// case of its letters.
bool isMetadataFolder(const RootEntry& e) {
  return e.directory && strcasecmp(narrow(e.name).c_str(), "$QuorvelData") == 0;
}

int callControl(std::uint32_t code, void* record) {
  const KelSdkControlCallback control = hostCallbacks().control;
  return control ? control(code, record) : kNoCallbackResult;
}

}  // namespace

std::uint32_t remainingBlocks(const TrackInformation& track) {
  if (track.nextWritable == 0xFFFFFFFFu) return track.endBlock;
  return track.nextWritable >= track.endBlock ? 0 : track.endBlock - track.nextWritable;
}

bool FormatData::isEnoughToFinalize(std::uint32_t remaining, std::uint8_t mediumType) {
  const bool large = mediumType == 0xF1 || mediumType == 0xF2 || mediumType == 0xE5;
  const unsigned long long margin = large ? 0xC0000000ull : 0x20000000ull;
  KELSDK_LOG(kLogTrace, "Remain %llu", static_cast<unsigned long long>(remaining) * 2048);
  KELSDK_LOG(kLogTrace, "Margine size=%llu", margin);
  return remaining > (large ? 0x17FFFFu : 0x3FFFFu);
}

bool inSetW(std::uint8_t t) {
  return t == 0xD2 || t == 0xE1 || t == 0xE3 || t == 0xE5 || t == 0xE7 || t == 0xF1 || t == 0xF2;
}
bool inSetR(std::uint8_t t) { return t == 0x53 || t == 0xE2 || t == 0xE4 || t == 0xE6; }
bool inSetA(std::uint8_t t) { return inSetW(t) || inSetR(t); }

// --- shared steps -----------------------------------------------------------

DriveCtrl& PxoUtilityImpl::mediumChecks(MDCFS_MOUNT_INFORMATION& info, const char* function) {
  m_drive = std::make_unique<DriveCtrl>(m_path, true);
  DriveCtrl& drive = *m_drive;
  if (!drive.isOpen())
    if (const std::uint32_t r = drive.openReadOnly()) KELSDK_FAIL(r, function, "openReadOnly error");
  std::string product;
  if (const std::uint32_t r = drive.getProductID(product)) KELSDK_FAIL(r, function, "getProductID error");
  if (!isSupportedDriveModel(product)) KELSDK_FAIL(0x220002, function, "invalid ProductID=%s", product.c_str());
  if (!drive.testUnitReady()) KELSDK_FAIL(0x220003, function, "media is not exist");
  drive.released = true;
  drive.locked = true;
  if (drive.getMountInformation(info) != 0) failMountInformation(function, "getMountInformation error");
  KELSDK_LOG(kLogTrace, "getMountInformation " MOUNT_FORMAT, MOUNT_VALUES(info));
  return drive;
}

void PxoUtilityImpl::control(std::uint32_t code, void* record, std::uint32_t failure, const char* name,
                             const char* function) {
  const int r = callControl(code, record);
  if (r != 0) KELSDK_FAIL(failure, function, "IoControl(%s) error=%d", name, r);
}

void PxoUtilityImpl::enterPrivileged(const char* function) {
  control(kFsctlRegisterPrivileged, nullptr, 0x120500, "MDCFSCTL_REGISTER_PRIVILEGED_PROCESS", function);
  control(kFsctlEnterPrivileged, nullptr, 0x120100, "MDCFSCTL_ENTER_PRIVILEGED_MODE", function);
  m_drive->privileged = true;
  m_drive->dismountAtEnd = true;
}

void PxoUtilityImpl::exitPrivileged(const char* function) {
  if (m_drive->doExitPrivilegedMode() != 0) KELSDK_FAIL(0x120200, function, "doExitPrivilegedMode error");
}

void PxoUtilityImpl::trackInformation(TrackInformation& track, const char* text, const char* function) {
  TrackInformation answer{};
  const int r = callControl(kFsctlTrackInformation, &answer);
  if (r != 0) {
    KELSDK_LOG(kLogError, "IoControl(MDCFSCTL_GET_VOLUME_TRACK_INFORMATION) error=%d", r);
    KELSDK_FAIL(0x120900, function, "%s", text);
  }
  track = answer;
}

void PxoUtilityImpl::markDirty(std::uint8_t kind, std::uint8_t volumeType, const char* function) {
  MarkDirtyRecord record{kind, volumeType, {0, 0}};
  const int r = callControl(kFsctlMarkVolumeDirty, &record);
  if (r == 0) return;
  KELSDK_LOG(kLogError, "IoControl(MDCFSCTL_MARK_VOLUME_DIRTY) error=%d", r);
  if (kind == kDirtyBacktrack)
    KELSDK_FAIL(0x120600, function, "markVolumeDirty(BACKTRACK_TO_INITIAL, 0x%02X) error", volumeType);
  if (kind == kDirtyFull) KELSDK_FAIL(0x120600, function, "doMarkVolumeDirty(FULL) error");
  KELSDK_FAIL(0x120600, function, "markVolumeDirty(INITIALIZE) error");
}

// Unmounts, forgets the end actions of the bracket (the privileged flag
// stays: the end sends one more exit), and opens the handle again.
void PxoUtilityImpl::unmountAndReopen(Progress& progress, std::uint8_t from, const char* function) {
  if (m_drive->dismountVolume() != 0) KELSDK_FAIL(0x130300, function, "dismountVolume error");
  m_drive->dismountAtEnd = false;
  m_drive->released = false;
  m_drive->locked = false;
  progress.start(from, 98);
  m_drive->reopen();
  progress.set(98);
}

// --- all delete ------------------------------------------------------------

// Polls the backtrack record every 100 ms until it reports finished or
// failed. A record that stays the same for kBacktrackLimitMs (a backtrack
// the engine refused before it began leaves status 0 or 1 for good) fails.
void PxoUtilityImpl::pollBacktrack(Progress& progress) {
  platform::Clock& clock = platform::clock();
  std::uint64_t since = clock.now_ms();
  BacktrackInformation last{0xFF, 0xFF, 0, 0, 0};
  for (;;) {
    BacktrackInformation info{};
    std::uint32_t returned = 0;
    if (!m_drive->volumeControl(kCtlBacktrackInformation, &info, sizeof info, &returned) || returned < sizeof info)
      KELSDK_FAIL(0x121100, kAllDelete, "getVolumeBacktrackInformation error");
    KELSDK_LOG(kLogTrace, "BACKTRACK_INFORMATION Status=%u Progress=%u Current=%hu Start=%hu End=%hu", info.status,
               info.progress, info.current, info.start, info.end);
    if (info.status == 2) return;
    if (info.status == 3) KELSDK_FAIL(0x220006, kAllDelete, "BACKTRACK_INFORMATION Status=UTIL_RESULT_BACKTRACK_STATUS_FAIL");
    progress.set(static_cast<std::uint8_t>(40 + std::min<unsigned>(info.progress, 100) * 40 / 100));
    if (std::memcmp(&info, &last, sizeof info) != 0) {
      last = info;
      since = clock.now_ms();
    } else if (clock.now_ms() - since >= kBacktrackLimitMs) {
      KELSDK_FAIL(0x220006, kAllDelete, "BACKTRACK_INFORMATION Status=%u unchanged for %llu ms", info.status,
           static_cast<unsigned long long>(kBacktrackLimitMs));
    }
    clock.sleep_ms(kBacktrackPollMs);
  }
}

// The erased volume's root as the disc holds it: nothing, or only the
// metadata folder. The engine holds no volume after the unmount, so the
// disc is read here. A backtrack leaves the descriptors erased until the
// next mount formats the disc: nothing remains then either.
void PxoUtilityImpl::checkRootEmpty(std::uint8_t mediumType, bool backtrack) {
  std::uint8_t slot = 0;
  bool loaded = false;
  if (const std::uint32_t r = m_drive->currentSlot(slot, loaded)) KELSDK_FAIL(r, kAllDelete, "getMechanismStatus error");
  if (!loaded) KELSDK_FAIL(0x220003, kAllDelete, "media is not exist");
  std::vector<RootEntry> left;
  bool metadataFolder = false;
  const std::uint32_t r = readRootDirectory(*m_drive, slot, inSetW(mediumType), [&](const RootEntry& e) {
    if (!metadataFolder && isMetadataFolder(e)) metadataFolder = true;
    else left.push_back(e);
    return left.empty();
  });
  if (r == kErrRootErased && backtrack) {
    KELSDK_LOG(kLogTrace, "descriptors erased for the reformat: root directory empty");
    return;
  }
  if (r != 0) KELSDK_FAIL(r, kAllDelete, "root directory read error");
  if (left.empty()) return;
  KELSDK_LOG(kLogError, "root entry left: %s", narrow(left.front().name).c_str());
  KELSDK_FAIL(0x1000003, kAllDelete, "root directory not empty after allDelete");
}

// The volume after all delete: a supported type, valid state 1, mounted
// read-write, and an empty root.
void PxoUtilityImpl::checkAfterAllDelete(bool backtrack) {
  MDCFS_MOUNT_INFORMATION info{};
  if (m_drive->getMountInformation(info) != 0) failMountInformation(kAllDelete, "getMountInformation 2nd error");
  if (!inSetA(info.MediumType)) KELSDK_FAIL(0x1000002, kAllDelete, "unsupported disc 0x%08X", info.MediumType);
  if (!valid(info) || stateOf(info) != 1 || info.MountStatus != 0 || info.AccessMode != 0)
    KELSDK_FAIL(0x1000002, kAllDelete, "illegal mount status after all delete " MOUNT_FORMAT, MOUNT_VALUES(info));
  checkRootEmpty(info.MediumType, backtrack);
}

std::uint32_t PxoUtilityImpl::doAllDelete(bool backtrack, kelutil::FormatCallback* callback) {
  Progress progress(m_callback, kProgressAllDelete);
  if (!backtrack) {
    KELSDK_LOG(kLogTrace, "Format progress=%u%%", 0u);
    progress.set(0);
  }
  MDCFS_MOUNT_INFORMATION info{};
  mediumChecks(info, kAllDelete);
  const std::uint8_t type = info.MediumType;
  const bool refused = inSetW(type) ? (info.WriteProtectReasonFlags & ~0x80000u) != 0 || stateOf(info) != 1 || !valid(info)
                                    : !inSetR(type) || (info.WriteProtectReasonFlags & ~0x80800u) != 0;
  if (refused) KELSDK_FAIL(0x1000001, kAllDelete, "mount status cannot all delete " MOUNT_FORMAT, MOUNT_VALUES(info));
  const bool wornOut = inSetR(type) && !((info.WriteProtectReasonFlags & 0x800) == 0 && valid(info) && stateOf(info) == 1);
  if (!backtrack) {
    if (wornOut)
      KELSDK_FAIL(0x1000001, kAllDelete, "WORN_OUT_MEDIA but backtrack is not specified. WriteProtectReasonFlags=0x%08X",
           info.WriteProtectReasonFlags);
    progress.start(25, 40);
  }
  enterPrivileged(kAllDelete);
  bool cancelled = false;
  if (!backtrack) {
    markDirty(kDirtyInitialize, 0, kAllDelete);
    progress.set(40);
  } else {
    if (callback) {
      TrackInformation track{};
      trackInformation(track, "getVolumeTrackInformation error", kAllDelete);
      cancelled = !callback->progress((track.slot & 0xFF) + 1);
    }
    if (!cancelled) {
      progress.start(0, 40);
      // The engine goes back to slot 0 and gives the volume the type the
      // record carries: the type it has.
      markDirty(kDirtyBacktrack, static_cast<std::uint8_t>(info.VolumeTypeAndInformationVersion >> 4), kAllDelete);
      progress.set(40);
    }
  }
  exitPrivileged(kAllDelete);
  if (cancelled) {
    KELSDK_LOG(kLogTrace, "backtrack cancelled by the callback");
    return 0;  // the end actions unmount the volume
  }
  if (backtrack) pollBacktrack(progress);
  unmountAndReopen(progress, 80, kAllDelete);
  checkAfterAllDelete(backtrack);
  progress.set(99);
  progress.set(100);
  return 0;
}

// --- finalize ---------------------------------------------------------------

// Write resources of the current slot (loaded for the reading) enough to
// finalize it in place.
bool PxoUtilityImpl::resourcesLast(const TrackInformation& track) {
  const std::uint8_t slot = static_cast<std::uint8_t>(track.slot);
  std::uint8_t slots = 0;
  if (const std::uint32_t r = m_drive->loadSlotAndCheck(slot, slots))
    KELSDK_FAIL(r, kFinalize, "loadSlotAndCheck slotNo=%u error", slot);
  std::uint32_t mapEntries = 0, updates = 0, opc = 0;
  if (const std::uint32_t r = m_drive->getPowInformation(mapEntries, updates)) KELSDK_FAIL(r, kFinalize, "getPowInformation error");
  if (const std::uint32_t r = m_drive->getOpcResourceCount(opc)) KELSDK_FAIL(r, kFinalize, "getOpcResourceCount error");
  KELSDK_LOG(kLogTrace,
             "Write Resource TrackId=%u OpcResourceCount=%u RemainingPowReallocationMapEntries=%u "
             "NumberOfRemainingPowUpdates=%u",
             track.slot, opc, mapEntries, updates);
  return mapEntries >= 257 && updates >= 101 && opc >= 5;
}

// Before the descriptor work: a slot with room and resources is marked FULL;
// otherwise, unless it is the volume's last slot, a new track is made.
void PxoUtilityImpl::prepareLastSlot(TrackInformation& track, std::uint8_t mediumType) {
  if (FormatData::isEnoughToFinalize(remainingBlocks(track), mediumType) && resourcesLast(track)) {
    enterPrivileged(kFinalize);
    markDirty(kDirtyFull, 0, kFinalize);
    exitPrivileged(kFinalize);
    return;
  }
  if (track.trackCount == track.slot + 1) return;
  enterPrivileged(kFinalize);
  if (const std::uint32_t r = m_drive->createNewTrack()) KELSDK_FAIL(r, kFinalize, "createNewTrack error");
  trackInformation(track, "getVolumeTrackInformation error after createNewTrack", kFinalize);
  exitPrivileged(kFinalize);
}

void PxoUtilityImpl::checkAfterFinalize() {
  MDCFS_MOUNT_INFORMATION info{};
  if (m_drive->getMountInformation(info) != 0) failMountInformation(kFinalize, "getMountInformation 2nd error");
  if (!inSetW(info.MediumType)) KELSDK_FAIL(0x3000002, kFinalize, "unsupported disc 0x%08X", info.MediumType);
  if (!valid(info) || stateOf(info) != 3 || info.MountStatus != 0 || !(info.WriteProtectReasonFlags & 0x1000) ||
      info.AccessMode != 0)
    KELSDK_FAIL(0x3000002, kFinalize, "illegal mount status after finalized. " MOUNT_FORMAT, MOUNT_VALUES(info));
}

std::uint32_t PxoUtilityImpl::doFinalize() {
  Progress progress(m_callback, kProgressFinalize);
  KELSDK_LOG(kLogTrace, "Finalize progress=%u%%", 0u);
  progress.set(0);
  MDCFS_MOUNT_INFORMATION info{};
  DriveCtrl& drive = mediumChecks(info, kFinalize);
  const std::uint8_t state = stateOf(info);
  if (info.MountStatus != 0 || (info.WriteProtectReasonFlags & ~0x80800u) != 0 || info.AccessMode > 1 ||
      !inSetW(info.MediumType) || !valid(info) || state < 1 || state > 3)
    KELSDK_FAIL(0x3000001, kFinalize, "mount status cannot finalize " MOUNT_FORMAT, MOUNT_VALUES(info));
  progress.start(10, 30);
  TrackInformation track{};
  trackInformation(track, "getVolumeTrackInformation error", kFinalize);
  // A finalisation that was interrupted (state 2, or 3 on a disc whose
  // session was not closed yet) already prepared its last slot; the volume
  // it left mounts read-only, so no mark could be written now.
  if (state == 1) prepareLastSlot(track, info.MediumType);
  progress.set(30);
  enterPrivileged(kFinalize);
  try {
    execFinalize(drive, progress, static_cast<std::uint8_t>(track.slot));
  } catch (const PxoUtilityLibException&) {
    KELSDK_LOG(kLogError, "execFinalize error");
    throw;
  }
  exitPrivileged(kFinalize);
  unmountAndReopen(progress, 90, kFinalize);
  const KelSdkMountCallback mount = hostCallbacks().mount;
  if (const int r = mount ? mount() : kNoCallbackResult) KELSDK_FAIL(0x130300, kFinalize, "mountVolume error=%d", r);
  progress.set(98);
  checkAfterFinalize();
  progress.set(99);
  progress.set(100);
  return 0;
}

// --- user settings ------------------------------------------------------------

void PxoUtilityImpl::getUserSetting(UserSetting& setting) {
  setting = UserSetting{};
  DWORD values[4] = {};
  std::vector<RegistryValue> request = {
      {"RecInhibit", REG_DWORD, &values[0], sizeof(DWORD)},
      {"VerifyOnWrite", REG_DWORD, &values[1], sizeof(DWORD)},
      {"DefaultVolType", REG_DWORD, &values[2], sizeof(DWORD)},
      {"DfltFsFlshPlcy", REG_DWORD, &values[3], sizeof(DWORD)},
  };
  if (!getRegistory(request))
    KELSDK_FAIL(0xA000002, "PxoUtilityLib::PxoUtilityImpl::getUserSetting", "getRegistory error");
  if (request[0].found && values[0] <= 1) setting.RecInhibit = values[0] == 1;
  if (request[1].found && values[1] <= 1) setting.VerifyOnWrite = values[1] == 1;
  if (request[2].found) setting.DefaultVolType = static_cast<std::uint8_t>(values[2]);
  if (request[3].found) setting.DfltFsFlshPlcy = values[3] >= 2 ? 1 : values[3];
}

void PxoUtilityImpl::setUserSetting(const UserSetting& setting) {
  DWORD values[4] = {setting.RecInhibit ? 1u : 0u, setting.VerifyOnWrite ? 1u : 0u, setting.DefaultVolType,
                     setting.DfltFsFlshPlcy};
  std::vector<RegistryValue> request = {
      {"RecInhibit", REG_DWORD, &values[0], sizeof(DWORD)},
      {"VerifyOnWrite", REG_DWORD, &values[1], sizeof(DWORD)},
      {"DefaultVolType", REG_DWORD, &values[2], sizeof(DWORD)},
      {"DfltFsFlshPlcy", REG_DWORD, &values[3], sizeof(DWORD)},
  };
  if (!setRegistory(kSettingsKey, request))
    KELSDK_FAIL(0xA000001, "PxoUtilityLib::PxoUtilityImpl::setUserSetting", "setRegistory error");
}

}  // namespace PxoUtilityLib
