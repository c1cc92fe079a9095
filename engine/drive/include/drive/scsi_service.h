// scsi_service: the medium-level services of the drive client. It knows
// whether the loaded medium is write-once or rewritable, forwards format,
// erase, backtrack and serial-number requests to the service of that class,
// and owns what does not depend on the class: whether a disc is formatted,
// whether its integrity descriptor is finalized, the search for the disc
// written last, the automatic-format retries and the next-slot bookkeeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "drive/scsi_service_re.h"
#include "drive/scsi_service_wo.h"
#include "drive/storage_scsi.h"

#pragma pack(push, 1)
// Automatic-format request (PXOIOAUTOFORMATREQUEST).
struct pxo_auto_format_request_t {
  std::uint64_t request_time;
  std::uint32_t all_erase;         // non-zero: erase the whole medium instead
  std::uint16_t request_serial;
  std::uint32_t all_erase_nwa;     // all-erase parameter of rewritable media
  std::uint8_t first_flag;
  std::uint8_t reserved19[3];
  pxo_all_erase_info_t all_erase_info;
  std::uint64_t attribute_data;    // address of a pxo_attribute_data_t
  std::uint32_t re_format;         // rewritable-format flag
  std::uint8_t volume_type;
  std::uint32_t drive_verify;
};
#pragma pack(pop)
static_assert(sizeof(pxo_auto_format_request_t) == 47, "automatic-format request is 47 bytes");
static_assert(offsetof(pxo_auto_format_request_t, all_erase_info) == 22 &&
                  offsetof(pxo_auto_format_request_t, attribute_data) == 30 &&
                  offsetof(pxo_auto_format_request_t, volume_type) == 42 &&
                  offsetof(pxo_auto_format_request_t, drive_verify) == 43,
              "automatic-format request offsets");

class scsi_service {
 public:
  scsi_service();
  ~scsi_service();
  scsi_service(const scsi_service&) = delete;
  scsi_service& operator=(const scsi_service&) = delete;

  // Storage hand-over: a null storage is ignored, the pointer is taken when
  // none is held and then handed to both media services.
  void set_storage(storage_scsi* pscsi);
  storage_scsi* storage() const { return m_storage_scsi; }

  // True when `length` bytes are all zero (also for length 0); false for a
  // null pointer or a negative length.
  bool check_data_zero(const std::uint8_t* data, int length);
  // *foreignVolume (when given) is set for a disc that holds a volume
  // another program made: on rewritable media an anchor at 256 naming a
  // descriptor sequence, but none of this system's end area; on write-once
  // media a first track whose recorded blocks are not all this system's
  // format. Such a disc counts as formatted.
  errno_t isFormatted(bool* mediaFormatted, bool* isReadFormatCapacityErr, bool* foreignVolume = nullptr);
  bool isLVIDFinalized(std::uint32_t* msln_wd);
  errno_t set_slot_info(caddr_t slotinfo);
  void setNextSlotLoad(std::uint8_t* slot);
  // What setNextSlotLoad leaves when the drive's state is known not to have
  // changed since it last ran for this slot: the current slot alone.
  void keep_current_slot(std::uint8_t slot) { m_current_slot = slot; }

  errno_t startBackTrack(caddr_t data, storage_scsi* pscsi);
  errno_t getBackTrackInformation(caddr_t data);
  errno_t resetBackTrackInformation();
  errno_t reFormat(caddr_t data, storage_scsi* pscsi);
  // Reformat state of the rewritable service (mirrored into "RE Reformat").
  void set_reformat_state(bool on);
  bool get_re_auto_formatted_flag() const { return m_re.get_AutoFormatted_flag(); }
  errno_t get_AutoFormatted_flag(caddr_t data);
  errno_t getMediumSerialNum(UInt8* serial);
  errno_t reserveTrackAndWriteLastAVDP(pxo_auto_format_last_info_t* info);
  void set_StrideFormat_flg(storage_scsi* pscsi, bool on);
  errno_t getMediumUniqueIdFromINQUIRY(UInt8* id, UInt32 length);
  void printLogMediumUniqueId(UInt8 from, UInt8 to);

  errno_t auto_format_request(caddr_t formatinfo);
  errno_t auto_format_retry_re(bool flag, Boolean* serialKnown, storage_scsi* pscsi, bool formatFlag,
                               bool driveVerify);
  errno_t auto_format_retry_wo(bool flag, Boolean* serialKnown, storage_scsi* pscsi, bool driveVerify);
  errno_t last_written_disc_search(storage_scsi* pscsi, std::uint8_t* lastslot, Boolean* isUnknownMedia);
  errno_t loadSLN(std::uint32_t mode, char slot, std::uint8_t* lastslot, Boolean* isUnknownMedia,
                  UInt8 previous);
  errno_t search_last_written_slot();

  std::uint8_t current_slot() const { return m_current_slot; }
  bool write_once() const { return m_write_once; }
  void set_write_once(bool on) { m_write_once = on; }
  std::uint16_t request_serial() const { return m_request_serial; }
  std::uint64_t request_time() const { return m_request_time; }
  scsi_service_wo& wo() { return m_wo; }
  scsi_service_re& re() { return m_re; }

 private:
  // Reads 64 KiB at lsn into data.
  errno_t read_area(std::uint32_t lsn, std::uint8_t* data);
  // A write-once disc whose format capacity is not unformatted: formatted
  // with two tracks; with one, formatted when track 1 holds blocks another
  // program recorded (*foreignVolume) or cannot be read (isFormatted).
  errno_t write_once_formatted(bool* mediaFormatted, bool* foreignVolume);
  // The three areas of a rewritable disc of n blocks (isFormatted).
  errno_t rewritable_formatted(std::uint32_t n, std::uint8_t mtype, bool* mediaFormatted, bool* foreignVolume);
  // True when the sector at 256 is an anchor whose main or reserve extent
  // (inside the disc of `blocks` blocks) begins a sequence with a primary
  // volume descriptor.
  bool anchored_sequence(const std::uint8_t* anchor, std::uint32_t blocks);
  errno_t set_read_only_one();
  // The steps of last_written_disc_search. Without slot information the
  // volume is mounted read-only: a finalized volume names its last slot,
  // else the middle slot is loaded and what it holds decides.
  errno_t search_without_slot_info(std::uint8_t* lastslot, Boolean* isUnknownMedia, bool* slot_known);
  errno_t search_from_middle_slot(std::uint8_t slots, std::uint8_t loaded, std::uint8_t* lastslot,
                                  Boolean* isUnknownMedia, bool* slot_known);
  // The slot information names the last written slot: it is loaded when
  // another disc is in the drive and taken when formatted. *stop: a failure
  // that ends the search before any slot is stored.
  errno_t search_by_slot_info(const pxo_slot_info_t& si, std::uint8_t slots, std::uint8_t type,
                              std::uint8_t* lastslot, Boolean* isUnknownMedia, bool* stop);
  errno_t take_slot_if_formatted(std::uint8_t target, std::uint8_t type, std::uint8_t* lastslot,
                                 Boolean* isUnknownMedia, bool* stop);
  // The two recoveries of a failed write-once format: the end area (track 2
  // and the last anchor) written again, or track 1 padded up to 4352.
  errno_t wo_end_area_recovery(std::uint8_t type, std::vector<std::uint8_t>& area, bool driveVerify);
  errno_t wo_pad_track1(std::uint8_t type, std::uint32_t nwa, std::vector<std::uint8_t>& area);
  // Track 2 exists: the format got as far as its reservation.
  bool wo_track2_reserved();
  // Loads `slot` and checks the mechanism; true when that slot is loaded.
  bool load_and_check(std::uint8_t slot, UInt8 previous, UInt8* loaded, errno_t* err);

  std::uint8_t m_current_slot = 0;
  std::uint16_t m_request_serial = 0;
  std::uint64_t m_request_time = 0;
  bool m_write_once = false;
  storage_scsi* m_storage_scsi = nullptr;
  scsi_service_wo m_wo;
  scsi_service_re m_re;
};
