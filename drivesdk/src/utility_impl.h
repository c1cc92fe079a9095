// The worker behind the medium jobs of the class interface: all delete
// (optionally as a backtrack to an earlier slot), finalize of a write-once
// medium, and the user settings. Every failure is thrown as a
// PxoUtilityLibException.
#pragma once

#include "drive_ctrl.h"
#include "duplicate.h"
#include "progress.h"

#include "KelDriveSDK/KelDriveSDK.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace PxoUtilityLib {

// File-system control codes of the medium jobs.
constexpr std::uint32_t kFsctlRegisterPrivileged = 0x20007007;
constexpr std::uint32_t kFsctlEnterPrivileged = 0x20007000;
constexpr std::uint32_t kFsctlMarkVolumeDirty = 0x8004700E;
constexpr std::uint32_t kFsctlTrackInformation = 0xC0107016;
constexpr std::uint32_t kFsctlDeviceInformation = 0x404C7013;
// Device control of a volume handle: the backtrack information.
constexpr std::uint32_t kCtlBacktrackInformation = 0x4008704D;

// Kinds of the mark-volume-dirty record.
constexpr std::uint8_t kDirtyFull = 2;
constexpr std::uint8_t kDirtyInitialize = 3;
constexpr std::uint8_t kDirtyBacktrack = 5;

#pragma pack(push, 1)
struct TrackInformation {
  std::uint32_t trackCount;    // slots of the volume
  std::uint32_t slot;          // current slot (low byte)
  std::uint32_t nextWritable;  // 0xFFFFFFFF: before the partition start
  std::uint32_t endBlock;
};
// Kind 5 (back to the volume's initial state, slot 0): byte 1 the volume
// type the engine gives the volume.
struct MarkDirtyRecord {
  std::uint8_t kind;
  std::uint8_t volumeType;
  std::uint8_t reserved[2];
};
struct BacktrackInformation {
  std::uint8_t status;  // 2 finished, 3 failed, else running
  std::uint8_t progress;
  std::uint16_t current;
  std::uint16_t start;
  std::uint16_t end;
};
struct FileCount {
  std::uint32_t files;
  std::uint32_t directories;
};
#pragma pack(pop)
static_assert(sizeof(TrackInformation) == 16 && sizeof(MarkDirtyRecord) == 4 && sizeof(BacktrackInformation) == 8 &&
              sizeof(FileCount) == 8);

// Blocks left in the current track. The next writable address 0xFFFFFFFF
// lies before the partition start: the whole track is free. An address at
// or past the end leaves nothing.
std::uint32_t remainingBlocks(const TrackInformation& track);

namespace FormatData {
// Room enough to finalize in place: more than 0x17FFFF blocks on F1h, F2h
// and E5h, more than 0x3FFFF on the others.
bool isEnoughToFinalize(std::uint32_t remainingBlocks, std::uint8_t mediumType);
}  // namespace FormatData

// Medium-type sets: W write-once, R rewritable, A both.
bool inSetW(std::uint8_t type);
bool inSetR(std::uint8_t type);
bool inSetA(std::uint8_t type);

struct UserSetting {
  bool RecInhibit = false;
  bool VerifyOnWrite = true;
  std::uint8_t DefaultVolType = 0;
  std::uint32_t DfltFsFlshPlcy = 1;
};

// The source of a duplication as collected: its file count and total size.
struct DuplicationState {
  std::uint32_t files = 0;
  std::uint32_t reserved = 0;
  std::uint64_t size = 0;
};
static_assert(sizeof(DuplicationState) == 16);

// The duplication's progress in percent for the caller's callback:
// done x 100 / total, done the low 60 bits of the reported position.
class DuplicateMediaCallbackImpl : public PxoUtility::DuplicateMediaCallback {
 public:
  DuplicateMediaCallbackImpl(kelutil::DuplicateVolumeCallback* callback, std::uint64_t total);
  void progress(const std::uint64_t* pair, std::uint64_t mask) override;
  bool cancel() override;

 private:
  kelutil::DuplicateVolumeCallback* m_callback;
  std::uint64_t m_total;
};

class PxoUtilityImpl {
 public:
  PxoUtilityImpl(std::u16string path, ProcessCallback* callback) : m_path(std::move(path)), m_callback(callback) {}
  virtual ~PxoUtilityImpl() = default;

  // Erases the volume, or with backtrack takes it back to its initial
  // state on slot 0, keeping its volume type.
  std::uint32_t doAllDelete(bool backtrack, kelutil::FormatCallback* callback);
  std::uint32_t doFinalize();
  void getUserSetting(UserSetting& setting);
  void setUserSetting(const UserSetting& setting);

  // Duplication entry points (utility_duplicate.cpp); check, do and close
  // throw 0x6000303 without an open duplication.
  std::uint32_t openDuplicateMedia(const std::u16string& root, bool copyCM, DuplicationState& state);
  std::uint32_t checkDuplicateMedia(std::uint32_t kind, const std::u16string& path, bool overwrite, bool& mediumFlag,
                                    std::uint32_t& verdict);
  std::uint32_t doDuplicateMedia(std::uint32_t policy, std::uint32_t mode, std::uint32_t kind,
                                 const std::u16string& destination, DuplicateResult& result,
                                 std::vector<DuplicateEntryResult>& list, bool restrictSpanning,
                                 PxoUtility::DuplicateMediaCallback* callback);
  std::uint32_t closeDuplicateMedia(bool close);

  // Bound of the backtrack polling on the process clock, and its pause.
  static constexpr std::uint64_t kBacktrackPollMs = 100;
  static constexpr std::uint64_t kBacktrackLimitMs = 10ull * 60 * 1000;

 private:
  DriveCtrl& mediumChecks(MDCFS_MOUNT_INFORMATION& info, const char* function);
  void enterPrivileged(const char* function);
  void exitPrivileged(const char* function);
  void control(std::uint32_t code, void* record, std::uint32_t failure, const char* name, const char* function);
  void trackInformation(TrackInformation& track, const char* text, const char* function);
  void markDirty(std::uint8_t kind, std::uint8_t volumeType, const char* function);
  void pollBacktrack(Progress& progress);
  void unmountAndReopen(Progress& progress, std::uint8_t from, const char* function);
  void checkRootEmpty(std::uint8_t mediumType, bool backtrack);
  void checkAfterAllDelete(bool backtrack);
  bool resourcesLast(const TrackInformation& track);
  void prepareLastSlot(TrackInformation& track, std::uint8_t mediumType);
  void checkAfterFinalize();

  std::u16string m_path;
  ProcessCallback* m_callback;
  std::unique_ptr<DriveCtrl> m_drive;
  std::unique_ptr<Duplicate> m_duplicate;
};

}  // namespace PxoUtilityLib
