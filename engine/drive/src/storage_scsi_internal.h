// Helpers shared by the storage_scsi sources.
#pragma once

#include "drive/storage_scsi.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <sys/time.h>

namespace drvint {

constexpr int kDirNone = -1;
constexpr int kDirOut = -2;
constexpr int kDirIn = -3;

// Name under which the utility settings are kept in the configuration store.
constexpr const char* kUtilityConf = "keludf-utility.conf";

using TimeOfDayFn = storage_scsi_time_of_day_fn;
extern TimeOfDayFn g_time_of_day;

// Result of a command without data the caller uses: a CHECK CONDITION with
// sense byte 2 below 2 is success, another CHECK CONDITION 5; any other
// non-good status never counts as success.
inline int common_rule(int res, unsigned char status, const unsigned char* sense) {
  if (status == 1) return sense[2] < 2 ? 0 : drv_err::kIO;
  if (res != 0) return res;
  if (status != 0) return drv_err::kIO;
  return 0;
}

// Result of a data-in command whose data the caller uses: the transport
// returns sense or data, never both, so any CHECK CONDITION is a failure.
inline int data_rule(int res, unsigned char status, const unsigned char*) {
  if (status == 1) return drv_err::kIO;
  if (res != 0) return res;
  if (status != 0) return drv_err::kIO;
  return 0;
}

// The drive reports a power-on or reset (UNIT ATTENTION 29h) once, on the
// first command after it, and does not run that command.
inline bool reset_attention(unsigned char status, const unsigned char* sense) {
  return status == 1 && (sense[2] & 0x0F) == 0x06 && sense[12] == 0x29;
}

inline void put_be16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
inline void put_be32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}
inline std::uint16_t be16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t be32(const unsigned char* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::string section_name(int devnum);
void log_track_info(const pxo_track_info_data_t& t);

}  // namespace drvint
