// Helpers shared by the media-service sources.
#pragma once

#include "drive/cm_data.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace media {

inline void put_le16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_le64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::uint16_t get_le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t get_le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline void put_be64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}
inline std::uint64_t get_be64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}

// The smallest discs whose initial volume fits: a rewritable one needs the
// metadata area from LSN 4352 and the end area (N - 288 - 64 at the least,
// see all_erase); a write-once one needs two metadata sections between
// LSN 4352 and track 2 at N - X (X = 512 for F2h, 128 for F1h and E5h,
// 288 otherwise).
constexpr std::uint32_t kMinRewritableBlocks = 4352 + 288 + 64;
inline std::uint32_t track2_offset(std::uint8_t type) {
  return type == 0xF2 ? 512 : (type == 0xF1 || type == 0xE5) ? 128 : 288;
}
inline std::uint32_t min_write_once_blocks(std::uint8_t type) { return 4352 + 64 + track2_offset(type); }

// A descriptor tag that is sound: identifier `id`, checksum, CRC over its
// CRC length (within one 2048-byte sector), recorded at `lsn`.
bool sound_tag(const std::uint8_t* d, std::uint16_t id, std::uint32_t lsn);

// Recording time of a format or erase: the current UTC time. False when the
// clock cannot be read.
bool now_utc(std::tm* out);
// MS-DOS packed date and time.
std::uint32_t packed_time(int year, int month, int day, int hour, int minute, int second);
// UDF timestamp (type 1000h) of a broken-down UTC time.
timestamp udf_time(const std::tm& t);

// The source of "now" for the recording times (time() unless replaced by a
// test; nullptr restores it). A source returning -1 makes the clock fail.
using time_source_fn = std::time_t (*)();
void set_time_source(time_source_fn fn);

// The arguments of an erase: 0, or 22 (logged) without its information or
// without the storage.
inline errno_t check_erase_arguments(const pxo_all_erase_info_t* info, const storage_scsi* s) {
  if (info == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. AllEraseInfo=0x%p\n", static_cast<const void*>(info));
    return drv_err::kInvalid;
  }
  if (s == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<const void*>(s));
    return drv_err::kInvalid;
  }
  return 0;
}

// The recording time of a set-up record (UTC).
inline void fill_setup_time(setup_buffer_info_t* s, const std::tm& t) {
  s->year = static_cast<std::int16_t>(t.tm_year + 1900);
  s->month = static_cast<std::uint8_t>(t.tm_mon + 1);
  s->day = static_cast<std::uint8_t>(t.tm_mday);
  s->hour = static_cast<std::uint8_t>(t.tm_hour);
  s->minute = static_cast<std::uint8_t>(t.tm_min);
  s->second = static_cast<std::uint8_t>(t.tm_sec);
  s->type_and_timezone = 0x1000;
}

// The block count of a rewritable disc; a disc too small for a volume is
// refused (logged).
inline errno_t rewritable_block_count(storage_scsi* s, std::uint64_t* n) {
  if (errno_t e = s->get_block_count(reinterpret_cast<caddr_t>(n))) {
    DRV_LOG(ERR_, "fail readCapacity \n");
    return e;
  }
  if (*n < kMinRewritableBlocks) {
    DRV_LOG(ERR_, "disc too small for a volume. blocks=%llu\n", static_cast<unsigned long long>(*n));
    return drv_err::kInvalid;
  }
  return 0;
}

}  // namespace media

// Relocation on rewritable media: the defect bitmap of storage_scsi.
errno_t media_rebuild_defect_bitmap(storage_scsi* s);
errno_t media_search_and_find_nwa(storage_scsi* s, UInt32 nwa, UInt32 length, UInt32* newNwa);
void cm_set_1500h_crc_wire(pxo_attribute_data_t* record);
