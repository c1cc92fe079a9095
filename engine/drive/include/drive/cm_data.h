// Cartridge-memory attribute record, the records the media services share
// with their callers, and the part of the media services that is common to
// write-once and rewritable media (set-up, descriptor checksums, buffers,
// medium serial number, cartridge-memory record functions).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "drive/storage_scsi.h"
#include "udf/udf_records.h"  // timestamp, desc_tag, regid

#pragma pack(push, 1)

// The 472-byte cartridge-memory attribute record: a u32 attribute data length
// (288 group A, 180 group B, 468 both) followed by the attributes 0800h-0806h
// and 1500h-1504h in SPC attribute format (identifier u16, format byte,
// length u16, value), packed. Host order (little-endian) or wire order
// (big-endian); convEndianForCMData turns one into the other.
struct pxo_attribute_data_t {
  std::uint32_t length;
  std::uint8_t data[468];
};
static_assert(sizeof(pxo_attribute_data_t) == 472, "attribute record is 472 bytes");

// Erase information of the automatic-format request; the services only pass
// it on.
struct pxo_all_erase_info_t {
  std::uint8_t bytes[8];
};
static_assert(sizeof(pxo_all_erase_info_t) == 8, "erase information is 8 bytes");

// Last-area request of the write-once automatic format.
struct pxo_auto_format_last_info_t {
  std::uint16_t tag_serial_number;
  std::uint32_t track_reserved;  // set to 1 once track 2 is reserved
  std::uint32_t drive_verify;    // non-zero: no VERIFY
};
static_assert(sizeof(pxo_auto_format_last_info_t) == 10, "last-info record is 10 bytes");

// Set-up record of one section of an initial volume.
struct setup_buffer_info_t {
  std::uint32_t type;
  std::uint8_t* buffer;
  std::uint32_t buffer_size;
  std::uint16_t reserved;
  std::int16_t year;
  std::uint8_t month;
  std::uint8_t day;
  std::uint8_t hour;
  std::uint8_t minute;
  std::uint8_t second;
  std::uint8_t centiseconds;
  std::uint8_t hundreds_of_microseconds;
  std::uint8_t microseconds;
  std::uint16_t type_and_timezone;  // 1000h
  std::uint8_t clear_64k_only;
  std::uint32_t block_count;           // write-once: N; rewritable: last LSN (N - 1)
  std::uint32_t metadata_content_lsn;  // where the metadata extent was written
  std::uint32_t buffer_lsn;            // where this buffer is written
};
static_assert(sizeof(setup_buffer_info_t) == 43, "set-up record is 43 bytes");

// Record of get_AutoFormatted_flag: the flag and the next writable address
// come back; a non-zero clear request clears the flag afterwards.
struct pxo_auto_formatted_info_t {
  std::uint32_t auto_formatted;
  std::uint32_t nwa;
  std::uint32_t clear_request;
};
static_assert(sizeof(pxo_auto_formatted_info_t) == 12, "auto-formatted record is 12 bytes");

#pragma pack(pop)

// Layout of the attribute record (offsets from the start of the record,
// header included).
namespace cm_attr {
constexpr int kCount = 12;
// Attribute identifiers, bit i of a selection mask selects kIds[i].
constexpr std::uint16_t kIds[kCount] = {0x0800, 0x0801, 0x0802, 0x0803, 0x0804, 0x0805,
                                        0x0806, 0x1500, 0x1501, 0x1502, 0x1503, 0x1504};
constexpr std::uint8_t kFormats[kCount] = {1, 1, 1, 2, 1, 0, 1, 0, 0, 0, 0, 0};
constexpr std::uint16_t kLengths[kCount] = {8, 32, 8, 160, 12, 1, 32, 128, 8, 8, 4, 4};
// Offset of each attribute's 5-byte header in the record.
constexpr std::uint32_t kOffsets[kCount] = {4, 17, 54, 67, 232, 249, 255, 292, 425, 438, 451, 460};
constexpr std::uint32_t kGroupA = 288;
constexpr std::uint32_t kGroupB = 180;
constexpr std::uint32_t kBoth = 468;
constexpr std::uint32_t kMaskAll = 0xFFF;
// Offset of the 1500h value in the record.
constexpr std::uint32_t k1500Value = 292 + 5;
}  // namespace cm_attr

// Fields of the 1500h value (offsets in the 128-byte value).
namespace cm1500 {
constexpr int kSignature = 0;          // "KEL"
constexpr int kVersion = 3;            // 1
constexpr int kLength = 7;             // 120
constexpr int kEntity = 8;             // implementation entity identifier
constexpr int kRollbackVsn = 42;       // u16
constexpr int kRollbackAddress = 44;   // u64: low FSD LSN, high metadata FE LSN
constexpr int kVolumeSetNumber = 52;   // u32 packed format time
constexpr int kPosition = 56;          // u32: ((location x 2 + 0x2000) >> 6) | (slot << 26)
constexpr int kLastUniqueId = 60;      // u32
constexpr int kListCount = 67;         // u8: entries of the recovery-required list, 0-14
constexpr int kList = 68;              // 14 u32: low 32 bits of the files' unique ids
constexpr int kListMax = 14;
constexpr int kCrc = 126;              // u16 over bytes 0-125
}  // namespace cm1500

// The part of the media services common to both medium kinds.
class scsi_service_cm {
 public:
  scsi_service_cm();
  ~scsi_service_cm() = default;

  void init(storage_scsi* pscsi, std::uint8_t slot, UInt16 tagSerial, std::uint8_t* timestamp,
            pxo_attribute_data_t* attributeData);
  // Takes the storage only when none is set yet.
  void set_storage_scsi(storage_scsi* pscsi);
  storage_scsi* get_storage_scsi() const { return m_storage_scsi; }
  std::uint8_t get_slot_number() const { return m_slot_number; }
  UInt16 get_tag_serial_number() const { return m_tag_serial_number; }
  void set_tag_serial_number(UInt16 v) { m_tag_serial_number = v; }
  const char* get_medium_serial_number() const { return m_medium_serial_number; }

  bool get_AutoFormatted_flag() const { return m_auto_formatted != 0; }
  void set_AutoFormatted_flag(bool on) { m_auto_formatted = on ? 1 : 0; }
  bool get_StrideFormat_flag() const { return m_stride_format != 0; }
  void set_StrideFormat_flag(bool on) { m_stride_format = on ? 1 : 0; }

  // Descriptor CRC (ECMA-167) and byte sums; a null pointer or a negative
  // length gives 0.
  static std::uint16_t calculate_crc(std::uint8_t* s, int n);
  static std::uint8_t calculate_checksum(std::uint8_t* s, int n);
  static std::uint16_t calculate_checksum_ex(std::uint8_t* s, int n);
  // Sets the CRC length, the CRC and the checksum of a descriptor of the
  // given length.
  static void CalcDescriptorCRCAndChecksum(void* descriptor, UInt16 length);

  // Frees *buf, then (size non-zero) hands out a zero-filled block.
  static errno_t mem_alloc_free(char** buf, std::size_t size);

  // 0 for a usable medium serial number, 1-4 for the kinds of rejection,
  // 22 for a null text.
  static errno_t checkMediumSerialNumStr(char* str, UInt32 length);
  errno_t getMediumSerialNum(UInt8* out);
  // Reads attribute 0401h into the medium serial number member and checks it.
  // Returns the read's error; *check receives the check's verdict (0 usable,
  // 1-4 rejected). On either failure the member is left empty.
  errno_t read_medium_serial(errno_t* check);

  // Cartridge-memory record.
  errno_t initializeCMData(pxo_attribute_data_t* record, timestamp formatTime);
  // Entity identifier of the 1500h value for the storage's volume type.
  void make_1500h_entity(regid* out) const;
  static errno_t convEndianForCMData(pxo_attribute_data_t* record);
  static void makeAttrListDataForCMWA(UInt32 mask, UInt8* paramData, UInt32 size,
                                      pxo_attribute_data_t* record);
  static UInt32 calcAttrListDataSize(UInt32 mask);
  static void updateCMCacheData(UInt32 mask, pxo_attribute_data_t* written,
                                pxo_attribute_data_t* cache);
  errno_t writeAttributeFromStride(timestamp unused);

 protected:
  // The slot and the auto-formatted flag change on the backtrack thread too.
  std::atomic<std::uint8_t> m_slot_number{0};
  UInt16 m_tag_serial_number = 0xFFFF;
  char m_medium_serial_number[32] = {};
  char m_format_timestamp[8] = {};
  pxo_attribute_data_t* m_CmAttributeData = nullptr;
  std::atomic<std::uint8_t> m_auto_formatted{0};
  std::uint8_t m_stride_format = 0;
  storage_scsi* m_storage_scsi = nullptr;
};
