// The search for rollback points: the generations of the metadata file's
// entry recorded in each slot, found by following the entries' previous
// locations or by scanning backwards, reported to a callback that may pick
// one. The search never writes; it loads other slots and puts the slot it
// found back in the drive on every way out.
#pragma once

#include "drive_ctrl.h"
#include "progress.h"
#include "udf_reader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace PxoUtilityLib {

// A point as the callback sees it.
struct RollbackPointRecord {
  std::uint32_t index;          // 0-based, in order of discovery
  std::u16string modification;  // "%04lu/%02lu/%02lu %02lu:%02lu:%02lu"
  std::uint32_t knownCount;     // points so far when the last written slot is known, else 0
  std::uint8_t slot;
  std::uint32_t mfeLsn;
  std::uint32_t fsdLsn;
};

class RollbackCallback {
 public:
  virtual ~RollbackCallback() = default;
  // status 0 running, 1 search finished. Answers: 0 or 1 cancel, 2 use the
  // point stored in `selected`, 3 go on.
  virtual int notifyStatus(int status, const std::vector<std::uint32_t>& ranks, std::uint32_t& selected) = 0;
  virtual void unused() {}
  virtual void pointFound(const RollbackPointRecord& point) = 0;
  virtual void slotError(std::uint32_t code) = 0;
};

constexpr int kRollbackRunning = 0;
constexpr int kRollbackFinished = 1;
constexpr std::uint32_t kScanChunk = 0x2000;

class Rollback {
 public:
  struct Point {
    std::uint32_t mfeLsn;
    std::uint32_t fsdLsn;
    std::uint8_t slot;
  };

  Rollback(std::u16string path, RollbackCallback& callback, ProcessCallback* progress);
  virtual ~Rollback() = default;

  // 0, or throws PxoUtilityLibException. The slot loaded at the start is
  // loaded again on every way out.
  std::uint32_t doRollback();
  bool pointSelected() const { return m_selected; }
  std::uint32_t selectedIndex() const { return m_selectedIndex; }
  const std::vector<Point>& points() const { return m_points; }
  std::uint64_t blocksScanned() const { return m_scanned; }

 private:
  // One round of a slot's search: whether it found an entry, where, the
  // earlier generation that entry names (0: none), and the blocks passed.
  struct Round {
    bool found = false;
    bool fromChain = false;
    std::uint32_t at = 0;
    std::uint32_t previous = 0;
    std::uint64_t passed = 0;
  };

  void search();
  void searchRollbackPoint();
  bool uninitialized();
  bool searchRollbackPointOnDisc();
  Round followChain();
  Round scanChunk();
  void goOnBelow(const Round& round);
  void reportScanned(std::uint64_t passed);
  bool startPosition(std::uint32_t& position);
  bool parseMetadata(const std::uint8_t* sector, std::uint32_t lsn, std::uint32_t& previous);
  bool getMFEPos(std::uint32_t& lsn);
  bool getMFEPosFormVDS(const VdsExtent& extent, std::uint32_t& lsn);
  bool stopCheck();
  void doCancel();
  void measureVolume();
  std::vector<std::uint32_t> ranks() const;

  std::u16string m_path;
  RollbackCallback& m_callback;
  Progress m_progress;
  DriveCtrl m_drive;
  std::uint64_t m_volumeBlocks = 0;
  bool m_writeOnce = false;
  bool m_wornOut = false;
  std::uint8_t m_deviceInformation[76] = {};
  std::uint8_t m_slot = 0;
  std::uint8_t m_slotCount = 0;
  bool m_lastKnown = false;
  std::uint32_t m_searchLastLSN = 0;
  std::uint32_t m_mfeLSN = 0;
  bool m_bMFE = false;
  std::uint32_t m_partitionStart = 0;
  bool m_partitionKnown = false;
  std::uint16_t m_serial = 0;
  bool m_serialKnown = false;
  bool m_done = false;
  bool m_selected = false;
  std::uint32_t m_selectedIndex = 0;
  std::vector<Point> m_points;
  std::uint64_t m_scanned = 0;
};

}  // namespace PxoUtilityLib

#include "KelDriveSDK/quorvel_api.h"

namespace PxoUtilityLib {
// Collects the points in order of discovery (a point reported out of order
// is not kept) and picks nothing: the finish is answered with the first
// point, which the host does not use.
class RollbackCollector : public RollbackCallback {
 public:
  explicit RollbackCollector(std::vector<_KEL_SDK_ROLLBACK_INFO>& points) : m_points(points) {}
  int notifyStatus(int status, const std::vector<std::uint32_t>& ranks, std::uint32_t& selected) override;
  void pointFound(const RollbackPointRecord& point) override;
  void slotError(std::uint32_t) override {}

 private:
  std::vector<_KEL_SDK_ROLLBACK_INFO>& m_points;
  std::uint32_t m_taken = 0;
};

// Runs the search with the callback: 0, the drive library's code, 0x10001
// for a standard exception out of it, 0x10002 for anything else.
std::uint64_t runRollbackInfo(const char16_t* path, RollbackCallback& callback);
}  // namespace PxoUtilityLib
