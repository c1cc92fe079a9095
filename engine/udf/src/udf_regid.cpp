// Entity identifiers of the system.
#include "udf/udf_regid.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf_log.h"

#include <cstring>

const char* const kKelApplicationVersionString = "5.00.0d028";

namespace {

constexpr uint8_t kImpUse[4] = {0x0C, 0x02, 0x01, 0x10};
constexpr int kVolumeTypeMarkByte = 19;  // of id: byte 20 of the regid

struct TableEntry {
  const char* id;
  uint8_t suffix[8];
};

const TableEntry kTable[7] = {
    {"*OSTA UDF Compliant", {0, 0x02, 0, 0, 0, 0, 0, 0}},
    {"*Tarn KELFS", {0, 0, 0, 0, 0, 0, 0, 0}},
    {"*Tarn KELFS", {0x04, 0x05, 0, 0, 0, 0, 0, 0}},
    {"*Tarn KELFS PrevLoc", {0x04, 0x05, 0, 0, 0, 0, 0, 0}},
    {"*UDF LV Info", {0, 0x02, 0x04, 0x05, 0, 0, 0, 0}},
    {"*UDF Metadata Partition", {0, 0x02, 0x04, 0x05, 0, 0, 0, 0}},
    {"*Tarn KELFS Hash", {0x04, 0x05, 0, 0, 0, 0, 0, 0}},
};

void copy_id(regid* out, const char* text) {
  const size_t n = std::strlen(text);
  std::memcpy(out->id, text, n < sizeof out->id ? n : sizeof out->id);
}

void set_imp_suffix(regid* out, uint16_t version) {
  out->id_suffix[0] = 0x04;
  out->id_suffix[1] = 0x05;
  std::memcpy(&out->id_suffix[2], kImpUse, 4);
  out->id_suffix[6] = static_cast<uint8_t>(version >> 8);
  out->id_suffix[7] = static_cast<uint8_t>(version & 0xFF);
}

struct KeyEntry {
  int key;
  const char* id;
};
const KeyEntry kDomainKeys[] = {{256, "*OSTA UDF Compliant"}, {6, "*OSTA UDF Compliant"}};
const KeyEntry kUdfKeys[] = {{4, "*UDF LV Info"}, {6, "*UDF Metadata Partition"}};
const KeyEntry kImpKeys[] = {{1, "*Tarn KELFS"},   {4, "*Tarn KELFS"},   {5, "*Tarn KELFS"}, {6, "*Tarn KELFS"},
                             {257, "*Tarn KELFS"}, {266, "*Tarn KELFS"}, {9, "*Tarn KELFS"}};
const KeyEntry kPlainKeys[] = {{1, "*Tarn KELFS"}, {5, "+NSR03"}};

template <size_t N>
const char* find_key(const KeyEntry (&list)[N], int key) {
  for (const auto& e : list)
    if (static_cast<uint16_t>(e.key) == static_cast<uint16_t>(key)) return e.id;
  return nullptr;
}

}  // namespace

namespace {
// 0 parsed; 1 malformed; 2 a component out of range. c receives the counters.
int parse_version(const char* s, uint32_t c[4]) {
  c[0] = c[1] = c[2] = c[3] = 0;
  int idx = 0;
  for (int i = 0; i <= 10; ++i) {
    const char ch = s[i];
    if (ch == '\0') break;
    if (ch >= '0' && ch <= '9') {
      c[idx] = c[idx] * 10 + static_cast<uint32_t>(ch - '0');
      if (i == 2) {
        if (idx + 1 > 3) return 1;
        ++idx;
      }
    } else if (ch == '.') {
      if (idx + 1 > 3) return 1;
      ++idx;
    } else if (ch != 'd') {
      return 1;
    }
  }
  if (idx != 3) return 1;
  c[3] %= 16;
  if (c[0] > 15 || c[1] > 15 || c[2] > 15) return 2;
  return 0;
}

// Logs a parse failure under the caller's module; true when parsed.
bool parse_and_log(const char* s, int module, const char* func, uint16_t* out) {
  uint32_t c[4];
  switch (parse_version(s, c)) {
    case 0:
      *out = static_cast<uint16_t>(c[0] * 0x1000 + c[1] * 0x100 + c[2] * 0x10 + c[3]);
      return true;
    case 1:
      LogPrint(udf_log::ERR, module, udf_log::MSG, func, __LINE__, udf_log::tid(),
               "failed to get application version from %s\n", s);
      return false;
    default:
      LogPrint(udf_log::ERR, module, udf_log::MSG, func, __LINE__, udf_log::tid(),
               "Illegal Version %d.%d.%d.d%d from %s\n", c[0], c[1], c[2], c[3], s);
      return false;
  }
}
}  // namespace

bool mdcudfsr_parse_application_version(const char* text, uint16_t* out) {
  uint32_t c[4];
  if (parse_version(text, c) != 0) return false;
  *out = static_cast<uint16_t>(c[0] * 0x1000 + c[1] * 0x100 + c[2] * 0x10 + c[3]);
  return true;
}

uint32_t get_application_version() {
  LogTrace(udf_log::INFO, udf_log::KELC, udf_log::ENTRY, __func__, __LINE__, udf_log::tid());
  uint16_t v = 0;
  const bool ok = parse_and_log(kKelApplicationVersionString, udf_log::KELC, __func__, &v);
  LogPrint(udf_log::INFO, udf_log::KELC, udf_log::EXIT, __func__, __LINE__, udf_log::tid(), "err=%d\n", 0);
  return ok ? v : 0xFFFFC800u;
}

uint16_t reg_id::getApplicationVersion() {
  uint16_t v = 0;
  return parse_and_log(kKelApplicationVersionString, udf_log::DRV, __func__, &v) ? v : 0;
}

int mdcudfsr_make_regid(const mdcudfsr_mount* mnt, regid* out, int index) {
  std::memset(out, 0, sizeof *out);
  if (index < 0 || index > 6) return KEL_EINVAL;
  copy_id(out, kTable[index].id);
  std::memcpy(out->id_suffix, kTable[index].suffix, 8);
  if (index == REGID_DOMAIN || index == REGID_LV_INFO || index == REGID_METADATA_PART) {
    out->id_suffix[0] = mnt->is_rewritable ? 0x50 : 0x60;
    out->id_suffix[1] = 0x02;
  } else if (index == REGID_IMPLEMENTATION) {
    if (mnt->format_level >= 0x10) out->id[kVolumeTypeMarkByte] = 0x01;
    set_imp_suffix(out, static_cast<uint16_t>(get_application_version()));
  }
  return 0;
}

int make_reg_id(const char* context, regid* out, int kind, int key) {
  std::memset(out, 0, sizeof *out);
  const bool volume_type = context[0] != 0;
  const uint8_t rev_low = context[1] != 0 ? 0x60 : 0x50;
  const char* text = nullptr;
  switch (kind) {
    case REGKIND_DOMAIN:
      out->id_suffix[0] = rev_low;
      out->id_suffix[1] = 0x02;
      text = find_key(kDomainKeys, key);
      break;
    case REGKIND_UDF:
      out->id_suffix[0] = rev_low;
      out->id_suffix[1] = 0x02;
      out->id_suffix[2] = 0x04;
      out->id_suffix[3] = 0x05;
      text = find_key(kUdfKeys, key);
      break;
    case REGKIND_IMPLEMENTATION:
      set_imp_suffix(out, reg_id::getApplicationVersion());
      if (volume_type) out->id[kVolumeTypeMarkByte] = 0x01;
      text = find_key(kImpKeys, key);
      break;
    case REGKIND_PLAIN:
      text = find_key(kPlainKeys, key);
      break;
    default:
      return KEL_EINVAL;
  }
  if (text) copy_id(out, text);
  return 0;
}
