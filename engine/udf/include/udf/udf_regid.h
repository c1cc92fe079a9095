// Entity identifiers the system writes (ECMA-167 1/7.4, OSTA UDF 2.1.5).
#pragma once

#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

// Indexes of the engine's identifier table.
enum : int {
  REGID_DOMAIN = 0,           // "*OSTA UDF Compliant"
  REGID_APPLICATION = 1,      // "*Tarn KELFS"
  REGID_IMPLEMENTATION = 2,   // "*Tarn KELFS" with version suffix
  REGID_PREVLOC = 3,          // "*Tarn KELFS PrevLoc"
  REGID_LV_INFO = 4,          // "*UDF LV Info"
  REGID_METADATA_PART = 5,    // "*UDF Metadata Partition"
  REGID_HASH = 6,             // "*Tarn KELFS Hash"
};

// Kinds of make_reg_id.
enum : int { REGKIND_DOMAIN = 0, REGKIND_UDF = 1, REGKIND_IMPLEMENTATION = 2, REGKIND_PLAIN = 3 };

// The system's version string and the application version parsed from it.
extern const char* const kKelApplicationVersionString;

// Fills an identifier from the engine's table (index 0-6) for the mounted volume.
int mdcudfsr_make_regid(const mdcudfsr_mount* mnt, regid* out, int index);
// Fills an identifier for the initial volume writer. context[0]: volume type
// (non-zero: extended type); context[1]: non-zero on write-once media.
// 0, or 22 for a kind outside 0-3 (the identifier is then all zero).
int make_reg_id(const char* context, regid* out, int kind, int key);
// The application version; 0xFFFFC800 when the version string cannot be parsed.
uint32_t get_application_version();
// Parses a version string such as "5.00.0d028"; false when it is malformed.
bool mdcudfsr_parse_application_version(const char* text, uint16_t* out);

namespace reg_id {
// The application version; 0 when the version string cannot be parsed.
uint16_t getApplicationVersion();
}  // namespace reg_id
