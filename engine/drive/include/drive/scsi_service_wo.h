// Medium service of write-once media: initial volume, automatic format,
// last area of the format and erase.
#pragma once

#include "drive/cm_data.h"

class scsi_service_wo : public scsi_service_cm {
 public:
  scsi_service_wo();
  ~scsi_service_wo();

  // Record {flag u32, unused u32, clear request u32}: the flag comes back in
  // the first word and is cleared when the third is non-zero. 22 for null.
  errno_t get_AutoFormatted_flag(caddr_t record);
  using scsi_service_cm::get_AutoFormatted_flag;

  // One section (type 0-9) of the initial volume into the set-up record's
  // buffer. 1 when the buffer holds the section, 0 on failure.
  Boolean autoFormatSetUpWriteBuffer(void* setup, UInt32 metadataLsn, pxo_all_erase_info_t* erase,
                                     UInt32 volumeSetNumber, UInt32 nextUniqueId,
                                     Boolean openIntegrity);

  // Full format (skipFormat: the disc is already formatted into tracks).
  errno_t auto_format(uint32_t* completedsteps, bool skipFormat, Boolean* get_msn,
                      storage_scsi* pscsi, bool driveVerify);
  // Format of the start of the volume only (sections 0-3).
  errno_t auto_format_for_stride(uint32_t* completedsteps, bool skipFormat, Boolean* get_msn,
                                 storage_scsi* pscsi, bool driveVerify);
  // Track 2 and the last anchor.
  errno_t reserveTrackAndWriteLastAVDP(pxo_auto_format_last_info_t* info);
  // Pads a track with zero blocks from its next writable address up to limit.
  errno_t autoFormatLOWInitTrack(UInt32 track, UInt32 limit);
  // Makes the volume of a written disc empty again.
  errno_t all_erase(pxo_all_erase_info_t* info, bool driveVerify);
  // Whether the recorded blocks of track 1 below the metadata area (4352)
  // are all this system's format, or nothing (a blank disc): a format cut
  // short, which may be formatted again. *own false: another program
  // recorded them. A failed read is returned, with *own false.
  errno_t track1_holds_own_format(bool* own);
  // True when the last format found the disc not its own, or could not
  // tell: nothing was written, and nothing may be.
  bool disc_refused() const { return m_disc_refused; }

 private:
  friend class wo_format_run;
  friend class wo_stride_run;
  friend class wo_erase_run;
  // The check before a format writes: 0 when track 1 holds this system's
  // format or nothing; else the error, nothing written, and disc_refused().
  errno_t refuse_unless_own(const char* when);

  char m_medium_unique_id[32] = {};
  bool m_disc_refused = false;
};
