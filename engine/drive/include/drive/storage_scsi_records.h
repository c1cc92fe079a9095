// Records that storage_scsi exchanges with its callers (device controls,
// media services, the volume code). Little-endian structures in engine
// memory unless stated; SCSI parameter lists stay big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kel/mdcfs.h"  // MDCFS_MOUNT_INFORMATION

#pragma pack(push, 1)

// Buffer header of the kernel-style buffer calls.
struct pxo_buf {
  void* vnode;
  std::int32_t error;
  std::int32_t flags;
  std::uint32_t blkno;
  std::uint32_t count;
  std::uint32_t bufsize;
  std::uint32_t reserved;
  unsigned char* data;
};
static_assert(sizeof(pxo_buf) == 40, "buffer header is 40 bytes");
using buf_t = pxo_buf*;

// Cartridge-memory attribute read request: attribute id, allocation length,
// service action (low 5 bits), address of the answer buffer (unaligned).
struct pxo_attribute_request_t {
  std::uint16_t attribute_id;
  std::uint16_t allocation_length;
  std::uint8_t service_action;
  unsigned char* buffer;
};
static_assert(sizeof(pxo_attribute_request_t) == 13, "attribute request is 13 bytes");

// Disc information record: selector, 32 bytes of answer, from-cache word.
struct pxo_disc_info_sd_t {  // data type 0, answer offsets kept
  std::uint16_t DiscInformationLength;
  std::uint8_t bytes2_11[10];
  std::uint32_t DiscIdentification;
  std::uint32_t Lead_inStartAddress;
  std::uint32_t Lead_outStartAddress;
  std::uint32_t DiscBarCode;
  std::uint8_t bytes28_31[4];
};
static_assert(sizeof(pxo_disc_info_sd_t) == 32, "disc information SD is 32 bytes");

struct pxo_disc_info_track_t {  // data type 1
  std::uint16_t DiscInformationLength;
  std::uint16_t MaximumPossibleNumberOfTheTracks;
  std::uint16_t NumberOfTheAssignedTracks;
  std::uint16_t MaximumPossibleNumberOfAppendableTracks;
  std::uint16_t CurrentNumberOfAppendableTracks;
  std::uint16_t reserved;
};
static_assert(sizeof(pxo_disc_info_track_t) == 12, "disc information TRACK is 12 bytes");

struct pxo_disc_info_pow_t {  // data type 2
  std::uint16_t DiscInformationLength;
  std::uint16_t reserved;
  std::uint32_t RemainingPOWReplacements;
  std::uint32_t RemainingPOWReallocationMapEntries;
  std::uint32_t RemainingPOWNumberOfRemainingPOWUpdates;
};
static_assert(sizeof(pxo_disc_info_pow_t) == 16, "disc information POW is 16 bytes");

struct pxo_disc_info_t {
  std::uint32_t datatype;  // 0 SD, 1 TRACK, 2 POW
  union {
    pxo_disc_info_sd_t SD;
    pxo_disc_info_track_t TRACK;
    pxo_disc_info_pow_t POW;
    std::uint8_t raw[32];
  };
  std::uint32_t from_cache;
};
static_assert(sizeof(pxo_disc_info_t) == 40, "disc information record is 40 bytes");

// Track information, answer offsets kept, numbers in host order.
struct pxo_track_info_data_t {
  std::uint16_t DataLength;
  std::uint8_t bytes2_7[6];
  std::uint32_t LogicalTrackStartAddress;
  std::uint32_t NextWritableAddress;
  std::uint32_t FreeBlocks;
  std::uint32_t FixedPacketSize;
  std::uint32_t LogicalTrackSize;
  std::uint32_t LastRecordedAddress;
  std::uint16_t LogicalTrackNumberM;
  std::uint16_t SessionNumberM;
  std::uint8_t bytes36_39[4];
  std::uint32_t ReadCompatibilityLBA;
  std::uint32_t NextLayerJumpAddress;
  std::uint32_t LastLayerJumpAddress;
};
static_assert(sizeof(pxo_track_info_data_t) == 52, "track information is 52 bytes");

struct pxo_track_info_t {
  std::uint32_t track_no;
  pxo_track_info_data_t track_info;
  std::uint32_t from_cache;
};
static_assert(sizeof(pxo_track_info_t) == 60, "track information record is 60 bytes");

// MECHANISM STATUS answer: 8-byte header, first slot-table entry; the
// slot-table length (bytes 6-7) in host order.
struct pxo_mechanism_status_t {
  std::uint8_t bytes[12];
  // Slot of the loaded disc: byte 1 bits 0-2 above byte 0 bits 0-4.
  std::uint8_t loaded_slot() const {
    return static_cast<std::uint8_t>(((bytes[1] & 7u) << 5) | (bytes[0] & 0x1Fu));
  }
  // Mechanism state, byte 1 bits 5-7: 1 while a disc is loaded.
  std::uint8_t state() const { return static_cast<std::uint8_t>((bytes[1] >> 5) & 7u); }
  std::uint8_t slot_count() const { return bytes[5]; }
  // A disc is loaded and it is the one of `slot`.
  bool holds(int slot) const { return state() == 1 && loaded_slot() == slot; }
};
static_assert(sizeof(pxo_mechanism_status_t) == 12, "mechanism status is 12 bytes");

struct pxo_verify_range_t {
  std::uint32_t lsn;
  std::uint16_t blocks;
  std::uint16_t verify_mode;
};
static_assert(sizeof(pxo_verify_range_t) == 8, "verify record is 8 bytes");

struct pxo_reserve_write_t {
  std::uint32_t start;
  std::uint32_t count;
};
static_assert(sizeof(pxo_reserve_write_t) == 8, "reserve write record is 8 bytes");

struct pxo_mainte_read_error_info_t {
  std::uint8_t alarm_code;
  std::uint8_t alarm_detail1;
  std::uint8_t alarm_detail2;
  std::uint8_t alarm_detail3;
  std::uint8_t error_level;
  std::uint8_t reserved[3];
  std::uint32_t time_occurred;
};
static_assert(sizeof(pxo_mainte_read_error_info_t) == 12, "maintenance error record is 12 bytes");

struct pxo_report_error_t {
  std::uint8_t error_type;  // 0 to 2
};

// Slot information: current slot, last written slot (twice), slot of 0D00h.
struct pxo_slot_info_t {
  std::uint32_t current_slot;
  std::uint32_t last_written_slot;
  std::uint32_t last_written_slot_drive;
  std::uint32_t last_written_slot_cm;
};
static_assert(sizeof(pxo_slot_info_t) == 16, "slot information is 16 bytes");

struct pxo_rollback_point_t {
  std::uint32_t slot;
  std::uint32_t metadata_fe_lsn;
  std::uint32_t fsd_lsn;
};
static_assert(sizeof(pxo_rollback_point_t) == 12, "rollback point is 12 bytes");

struct pxo_volume_name_t {
  std::uint32_t length;  // including the terminating zero
  const char* name;
};
static_assert(sizeof(pxo_volume_name_t) == 12 && offsetof(pxo_volume_name_t, name) == 4,
              "volume name record is 12 bytes");

// Device information (INQUIRY based), 80 bytes, each text NUL-terminated.
struct pxo_devinfo_t {
  char vendor[8];
  char nul0;
  char product[16];
  char nul1;
  char revision[4];
  char nul2;
  char serial[16];
  char nul3;
  std::uint8_t drive_data[32];  // medium unique identifier at 48-61
};
static_assert(sizeof(pxo_devinfo_t) == 80, "device information is 80 bytes");

struct pxo_read_write_block_size_mode_page_t {
  std::uint16_t reserve_write_block_size;  // page bytes 12-13
  std::uint16_t second_block_size;         // page bytes 14-15
  std::uint16_t read_write_block_size;     // page bytes 16-17: transfer unit count
};
static_assert(sizeof(pxo_read_write_block_size_mode_page_t) == 6, "block size page record is 6 bytes");

struct pxo_read_write_error_recovery_parameters_mode_page_t {
  std::uint32_t flag;
  std::uint32_t threshold;
};
static_assert(sizeof(pxo_read_write_error_recovery_parameters_mode_page_t) == 8,
              "recovery page record is 8 bytes");

// Reallocation control (write verify): two (start, length) ranges, then the
// FVWRE and FVWRD flags.
struct pxo_realloc_control_t {
  std::uint32_t start1;
  std::uint32_t count1;
  std::uint32_t start2;
  std::uint32_t count2;
  std::uint8_t fvwre;
  std::uint8_t fvwrd;
  std::uint8_t reserved[2];
};
static_assert(sizeof(pxo_realloc_control_t) == 20 && offsetof(pxo_realloc_control_t, fvwre) == 16,
              "reallocation control is 20 bytes");

// Pass-through record: opcode at 8 (the CDB starts there), CDB length at 24,
// data pointer at 28, transfer length at 36; slot at 16 for A6h.
struct pxo_passthrough_t {
  std::uint8_t head[8];
  std::uint8_t cdb[16];
  std::uint8_t cdb_len;
  std::uint8_t pad[3];
  unsigned char* data;
  std::uint32_t transfer_len;
  std::uint8_t rest[60];
};
static_assert(sizeof(pxo_passthrough_t) == 100, "pass-through record is 100 bytes");
static_assert(offsetof(pxo_passthrough_t, cdb_len) == 24 && offsetof(pxo_passthrough_t, data) == 28 &&
                  offsetof(pxo_passthrough_t, transfer_len) == 36,
              "pass-through offsets");

// Attribute 1500h value (128 bytes).
struct PDSD_MEM_ATTR_PARAM_1500H_CM {
  char format_id[3];
  std::uint8_t format_version;
  std::uint8_t reserved4_6[3];
  std::uint8_t length_of_implementation;
  std::uint8_t implementation_id[24];
  std::uint8_t compat[8];  // bytes 32-39
  std::uint8_t reserved40_125[86];
  std::uint8_t crc[2];  // big-endian over bytes 0-125
};
static_assert(sizeof(PDSD_MEM_ATTR_PARAM_1500H_CM) == 128, "1500h value is 128 bytes");

// Attribute 1500h as isCorrespondFormat hands it out: the 5-byte attribute
// header (identifier, format, length) followed by the value.
struct pxo_1500h_cm_record_t {
  std::uint8_t header[5];
  PDSD_MEM_ATTR_PARAM_1500H_CM value;
};
static_assert(sizeof(pxo_1500h_cm_record_t) == 133, "1500h record is 133 bytes");

#pragma pack(pop)
