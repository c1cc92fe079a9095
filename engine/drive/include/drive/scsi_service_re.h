// Medium service of rewritable media: initial volume, automatic format,
// erase, reformat and backtrack to a rollback point.
#pragma once

#include "drive/cm_data.h"

#include <atomic>

#pragma pack(push, 1)
// Backtrack request.
struct pxo_backtrack_request_t {
  std::uint8_t policy;             // 4 rollback point, 5 initial state with reformat
  std::uint32_t skip_target;       // non-zero: the target disc is only loaded
  std::uint32_t clear_rollback;    // non-zero: rollback fields of 1500h cleared at the end
  std::uint32_t drive_verify;      // verify mode of the reallocation setting
};
static_assert(sizeof(pxo_backtrack_request_t) == 13, "backtrack request is 13 bytes");

// Backtrack progress.
struct pxo_backtrack_progress_t {
  std::uint8_t status;  // 0 none, 1 running, 2 finished, 3 failed
  std::uint8_t progress;
  std::uint16_t current_slot;
  std::uint16_t start_slot;
  std::uint16_t end_slot;
};
static_assert(sizeof(pxo_backtrack_progress_t) == 8, "backtrack progress is 8 bytes");
#pragma pack(pop)

// Marks a backtrack walk as running for as long as it lives; a second walk,
// or a format, erase or reset meanwhile, finds the mark taken.
class WalkGuard {
 public:
  explicit WalkGuard(std::atomic<bool>& flag) : flag_(flag), owns_(!flag.exchange(true)) {}
  ~WalkGuard() {
    if (owns_) flag_.store(false);
  }
  WalkGuard(const WalkGuard&) = delete;
  WalkGuard& operator=(const WalkGuard&) = delete;
  bool owns() const { return owns_; }

 private:
  std::atomic<bool>& flag_;
  bool owns_;
};

class scsi_service_re : public scsi_service_cm {
 public:
  scsi_service_re();
  ~scsi_service_re();

  // Record pxo_auto_formatted_info_t: flag and NWA come back; the flag is
  // cleared when the clear request is set. 22 for null.
  errno_t get_AutoFormatted_flag(caddr_t record);
  using scsi_service_cm::get_AutoFormatted_flag;

  UInt32 get_nwa() const { return m_nwa.load(); }
  // A backtrack walk runs on the backtrack thread; the format, the erase,
  // the reformat and the reset of the progress are refused (16) meanwhile.
  bool walking() const { return m_walking.load(); }
  bool get_reformat_flag() const { return m_reformat; }

  // One section (type 0-5) of the initial volume. 1 on success, 0 on failure.
  Boolean autoFormatSetUpWriteBuffer(void* setup, UInt32 metadataLsn, UInt32, UInt32, UInt32,
                                     UInt8* logicalVolumeIdentifier, pxo_all_erase_info_t* erase,
                                     UInt32 volumeSetNumber, UInt32 nextUniqueId,
                                     Boolean openIntegrity);

  errno_t auto_format(bool retry, Boolean* serialOk, storage_scsi* pscsi, bool skipRealloc,
                      bool* wrote, bool driveVerify);
  errno_t all_erase(pxo_all_erase_info_t* info, UInt32 nwa, bool driveVerify);
  errno_t EraseDescriptorData();
  errno_t reFormat(caddr_t data, storage_scsi* pscsi);
  void set_format_flg(bool flag);

  // Backtrack.
  errno_t startBackTrack(caddr_t request, storage_scsi* pscsi);
  errno_t getBackTrackInformation(caddr_t out);
  errno_t resetBackTrackInformation();
  void backtrackSetPrgress(UInt8 status, UInt8 progress, UInt16 current, UInt16 start, UInt16 end);
  errno_t backtrackFlushRollbackPoint(UInt32 fsdLsn, UInt32 metadataFeLsn);

 private:
  friend class backtrack_walk;
  friend class re_format_run;
  // Written by the backtrack thread, read by the request thread.
  std::atomic<UInt32> m_nwa{0};
  std::atomic<bool> m_walking{false};
  // The progress record, read by other threads while the walk runs: kept
  // as one 8-byte value so that a reader always sees one whole update.
  std::atomic<std::uint64_t> m_progress{0};
  pxo_backtrack_progress_t progress_record() const;
  void store_progress(const pxo_backtrack_progress_t& p);
  bool m_reformat = false;
};
