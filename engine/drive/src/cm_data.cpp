// The part of the media services common to write-once and rewritable media:
// set-up, descriptor checksums, buffers, the medium serial number and the
// cartridge-memory attribute record.
#include "cm_data_internal.h"

#include "udf/udf_regid.h"

#include <cstdlib>

using namespace drvlog;
using drvint::be16;
using drvint::be32;
using drvint::put_be16;
using drvint::put_be32;

namespace media {

namespace {
std::time_t default_time() { return std::time(nullptr); }
time_source_fn g_time_source = default_time;
}  // namespace

void set_time_source(time_source_fn fn) { g_time_source = fn ? fn : default_time; }

bool now_utc(std::tm* out) {
  const std::time_t t = g_time_source();
  if (t == static_cast<std::time_t>(-1)) return false;
  return gmtime_r(&t, out) != nullptr;
}

std::uint32_t packed_time(int year, int month, int day, int hour, int minute, int second) {
  const std::uint32_t y = year >= 1980 ? static_cast<std::uint32_t>(year - 1980) : 0;
  return (y & 0x7F) << 25 | (static_cast<std::uint32_t>(month) & 0xF) << 21 |
         (static_cast<std::uint32_t>(day) & 0x1F) << 16 | (static_cast<std::uint32_t>(hour) & 0x1F) << 11 |
         (static_cast<std::uint32_t>(minute) & 0x3F) << 5 | (static_cast<std::uint32_t>(second / 2) & 0x1F);
}

timestamp udf_time(const std::tm& t) {
  timestamp ts{};
  ts.type_tz = 0x1000;
  ts.year = static_cast<std::uint16_t>(t.tm_year + 1900);
  ts.month = static_cast<std::uint8_t>(t.tm_mon + 1);
  ts.day = static_cast<std::uint8_t>(t.tm_mday);
  ts.hour = static_cast<std::uint8_t>(t.tm_hour);
  ts.minute = static_cast<std::uint8_t>(t.tm_min);
  ts.second = static_cast<std::uint8_t>(t.tm_sec);
  return ts;
}

}  // namespace media

namespace {

std::uint32_t swap32(std::uint32_t v) { return __builtin_bswap32(v); }

void swap16_at(std::uint8_t* p) { std::swap(p[0], p[1]); }
void swap32_at(std::uint8_t* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}
void swap64_at(std::uint8_t* p) {
  for (int i = 0; i < 4; ++i) std::swap(p[i], p[7 - i]);
}

// Swaps the identifier and length of the attribute header at p.
void swap_header(std::uint8_t* p) {
  swap16_at(p);
  swap16_at(p + 3);
}

// Length (header and value) of attribute i.
std::uint32_t attr_size(int i) { return 5u + cm_attr::kLengths[i]; }

}  // namespace

scsi_service_cm::scsi_service_cm() = default;

void scsi_service_cm::init(storage_scsi* pscsi, std::uint8_t slot, UInt16 tagSerial,
                           std::uint8_t* ts, pxo_attribute_data_t* attributeData) {
  if (pscsi == nullptr || ts == nullptr || attributeData == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. pscsi=0x%p, timestamp=0x%p, attribute_data=0x%p\n",
            static_cast<void*>(pscsi), static_cast<void*>(ts), static_cast<void*>(attributeData));
    return;
  }
  m_storage_scsi = pscsi;
  m_slot_number = slot;
  m_tag_serial_number = tagSerial;
  std::memcpy(m_format_timestamp, ts, sizeof(m_format_timestamp));
  m_CmAttributeData = attributeData;
}

void scsi_service_cm::set_storage_scsi(storage_scsi* pscsi) {
  if (m_storage_scsi == nullptr) m_storage_scsi = pscsi;
}

std::uint16_t scsi_service_cm::calculate_crc(std::uint8_t* s, int n) {
  if (s == nullptr || n < 0) {
    DRV_LOG(ERR_, "Invalid parameter. s=0x%p, n=%d\n", static_cast<void*>(s), n);
    return 0;
  }
  static const auto table = [] {
    struct T {
      std::uint16_t v[256];
    } t{};
    for (int i = 0; i < 256; ++i) {
      std::uint16_t c = static_cast<std::uint16_t>(i << 8);
      for (int b = 0; b < 8; ++b) c = static_cast<std::uint16_t>(c & 0x8000 ? (c << 1) ^ 0x1021 : c << 1);
      t.v[i] = c;
    }
    return t;
  }();
  std::uint16_t crc = 0;
  for (int i = 0; i < n; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ table.v[((crc >> 8) ^ s[i]) & 0xFF]);
  return crc;
}

std::uint8_t scsi_service_cm::calculate_checksum(std::uint8_t* s, int n) {
  if (s == nullptr || n < 0) {
    DRV_LOG(ERR_, "Invalid parameter. s=0x%p, n=%d\n", static_cast<void*>(s), n);
    return 0;
  }
  std::uint8_t sum = 0;
  for (int i = 0; i < n; ++i) sum = static_cast<std::uint8_t>(sum + s[i]);
  return sum;
}

std::uint16_t scsi_service_cm::calculate_checksum_ex(std::uint8_t* s, int n) {
  if (s == nullptr || n < 0) {
    DRV_LOG(ERR_, "Invalid parameter. s=0x%p, n=%d\n", static_cast<void*>(s), n);
    return 0;
  }
  std::uint16_t sum = 0;
  for (int i = 0; i < n; ++i) sum = static_cast<std::uint16_t>(sum + s[i]);
  return sum;
}

void scsi_service_cm::CalcDescriptorCRCAndChecksum(void* descriptor, UInt16 length) {
  if (descriptor == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. pparam=0x%p\n", descriptor);
    return;
  }
  auto* d = static_cast<std::uint8_t*>(descriptor);
  const int body = length >= 16 ? length - 16 : 0;
  media::put_le16(d + 10, static_cast<std::uint32_t>(body));
  media::put_le16(d + 8, calculate_crc(d + 16, body));
  d[4] = 0;
  d[4] = calculate_checksum(d, 16);
}

errno_t scsi_service_cm::mem_alloc_free(char** buf, std::size_t size) {
  if (buf == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. buf=0x%p\n", static_cast<void*>(buf));
    return drv_err::kInvalid;
  }
  std::free(*buf);
  *buf = nullptr;
  if (size == 0) return 0;
  *buf = static_cast<char*>(std::calloc(1, size));
  if (*buf == nullptr) {
    DRV_LOG(ERR_, "error no memory. err=%d\n", drv_err::kNoMemory);
    return drv_err::kNoMemory;
  }
  return 0;
}

errno_t scsi_service_cm::checkMediumSerialNumStr(char* str, UInt32 length) {
  if (str == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. str=0x%p\n", static_cast<void*>(str));
    return drv_err::kInvalid;
  }
  // The text need not end in NUL: never print past its length.
  const int shown = static_cast<int>(length);
  if (length > 0 && str[0] == '.') {
    DRV_LOG(ERR_, "invalid string '%.*s'\n", shown, str);
    return 1;
  }
  if (length == 0 || str[0] == '\0') {
    DRV_LOG(ERR_, "invalid string '%.*s'\n", shown, str);
    return 2;
  }
  for (UInt32 i = 0; i < length && str[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(str[i]);
    int res = 0;
    if (c < 0x20)
      res = 3;
    else if (c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' || c == '?' ||
             c == '\\' || c == '|' || c == 0x7F)
      res = 4;
    if (res) {
      DRV_LOG(ERR_, "string '%.*s' contains '%c'(%0x)\n", shown, str, c, c);
      return res;
    }
  }
  return 0;
}

errno_t scsi_service_cm::getMediumSerialNum(UInt8* out) {
  if (out == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. str=0x%p\n", static_cast<void*>(out));
    return drv_err::kInvalid;
  }
  if (m_medium_serial_number[0] != '\0') {
    std::memcpy(out, m_medium_serial_number, 32);
    return 0;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  std::uint8_t buf[44] = {};
  errno_t res = m_storage_scsi->get_read_attribute(0x0401, buf, sizeof(buf));
  if (res != 0) {
    DRV_LOG(WARN, "fail ReadAttribute[0401h:MEDIUM SERIAL NUMBER] \n");
    return res;
  }
  std::memcpy(out, buf + 9, 32);
  return 0;
}

errno_t scsi_service_cm::read_medium_serial(errno_t* check) {
  *check = 0;
  std::memset(m_medium_serial_number, 0, sizeof(m_medium_serial_number));
  if (m_storage_scsi == nullptr) return drv_err::kInvalid;
  std::uint8_t buf[44] = {};
  if (errno_t e = m_storage_scsi->get_read_attribute(0x0401, buf, sizeof(buf))) return e;
  std::memcpy(m_medium_serial_number, buf + 9, 32);
  *check = checkMediumSerialNumStr(m_medium_serial_number, 32);
  if (*check != 0) std::memset(m_medium_serial_number, 0, sizeof(m_medium_serial_number));
  return 0;
}

void scsi_service_cm::make_1500h_entity(regid* out) const {
  char ctx[2] = {0, 1};
  if (m_storage_scsi != nullptr) {
    Boolean failed = false;
    const std::uint8_t vt = m_storage_scsi->get_volume_type_config(&failed);
    ctx[0] = static_cast<char>(failed || vt == 0xFF ? 0 : vt);
  }
  make_reg_id(ctx, out, REGKIND_IMPLEMENTATION, 9);
}

errno_t scsi_service_cm::initializeCMData(pxo_attribute_data_t* record, timestamp formatTime) {
  if (record == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. WriteAttribute=0x%p\n", static_cast<void*>(record));
    return drv_err::kInvalid;
  }
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() fialed err=%d", -1);
    return -1;
  }
  std::memset(record, 0, sizeof(*record));
  record->length = cm_attr::kBoth;
  auto* base = reinterpret_cast<std::uint8_t*>(record);
  for (int i = 0; i < cm_attr::kCount; ++i) {
    std::uint8_t* h = base + cm_attr::kOffsets[i];
    media::put_le16(h, cm_attr::kIds[i]);
    h[2] = cm_attr::kFormats[i];
    media::put_le16(h + 3, cm_attr::kLengths[i]);
  }
  auto text = [&](int i, const char* s) {
    std::uint8_t* v = base + cm_attr::kOffsets[i] + 5;
    std::memset(v, ' ', cm_attr::kLengths[i]);
    std::memcpy(v, s, std::strlen(s));
  };
  text(0, "TARN");
  text(1, "Velmaro Software");
  text(2, "1.0.0");
  char when[64];
  std::snprintf(when, sizeof(when), "%04d%02d%02d%02d%02d", (now.tm_year + 1900) % 10000, (now.tm_mon + 1) % 100,
                now.tm_mday % 100, now.tm_hour % 100, now.tm_min % 100);
  std::memcpy(base + cm_attr::kOffsets[4] + 5, when, 12);
  base[cm_attr::kOffsets[5] + 5] = 0x80;
  std::uint8_t* v = base + cm_attr::k1500Value;
  std::memcpy(v + cm1500::kSignature, "KEL", 3);
  v[cm1500::kVersion] = 1;
  v[cm1500::kLength] = 120;
  regid id{};
  make_1500h_entity(&id);
  std::memcpy(v + cm1500::kEntity, &id, sizeof(id));
  media::put_le32(v + cm1500::kVolumeSetNumber,
                  media::packed_time(formatTime.year, formatTime.month, formatTime.day, formatTime.hour,
                                     formatTime.minute, formatTime.second));
  return 0;
}

errno_t scsi_service_cm::convEndianForCMData(pxo_attribute_data_t* record) {
  if (record == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. WriteAttribute=0x%p\n", static_cast<void*>(record));
    return drv_err::kInvalid;
  }
  std::uint32_t kind = record->length;
  auto known = [](std::uint32_t k) { return k == cm_attr::kGroupA || k == cm_attr::kGroupB || k == cm_attr::kBoth; };
  if (!known(kind)) kind = swap32(kind);
  record->length = swap32(record->length);
  if (!known(kind)) {
    DRV_LOG(WARN, "attrtype=%d\n", static_cast<int>(swap32(record->length)));
    return 0;
  }
  auto* base = reinterpret_cast<std::uint8_t*>(record);
  if (kind == cm_attr::kGroupA || kind == cm_attr::kBoth) {
    for (int i = 0; i < 7; ++i) swap_header(base + cm_attr::kOffsets[i]);
    std::uint8_t* label = base + cm_attr::kOffsets[3] + 5;
    for (int u = 0; u < 80; ++u) swap16_at(label + 2 * u);
  }
  if (kind == cm_attr::kGroupB || kind == cm_attr::kBoth) {
    // Group B follows the header directly when it stands alone.
    const std::uint32_t shift = kind == cm_attr::kGroupB ? cm_attr::kOffsets[7] - 4 : 0;
    auto at = [&](int i) { return base + cm_attr::kOffsets[i] - shift; };
    for (int i = 7; i < 12; ++i) swap_header(at(i));
    std::uint8_t* v = at(7) + 5;
    swap16_at(v + 42);
    swap64_at(v + 44);
    swap32_at(v + 52);
    swap32_at(v + 56);
    swap32_at(v + 60);
    for (int k = 0; k < 14; ++k) swap32_at(v + 68 + 4 * k);
    swap16_at(v + 126);
    swap64_at(at(8) + 5);
    swap64_at(at(9) + 5);
    swap32_at(at(10) + 5);
    swap32_at(at(11) + 5);
  }
  return 0;
}

UInt32 scsi_service_cm::calcAttrListDataSize(UInt32 mask) {
  UInt32 n = 0;
  for (int i = 0; i < cm_attr::kCount; ++i)
    if (mask & (1u << i)) n += attr_size(i);
  return n;
}

void scsi_service_cm::makeAttrListDataForCMWA(UInt32 mask, UInt8* paramData, UInt32 size,
                                              pxo_attribute_data_t* record) {
  if (paramData == nullptr || record == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. ParamData=0x%p, attr_data=0x%p\n", static_cast<void*>(paramData),
            static_cast<void*>(record));
    return;
  }
  if (size < 4) return;
  put_be32(paramData, size - 4);
  const auto* base = reinterpret_cast<const std::uint8_t*>(record);
  UInt32 pos = 4;
  for (int i = 0; i < cm_attr::kCount; ++i) {
    if (!(mask & (1u << i))) continue;
    const UInt32 n = attr_size(i);
    if (pos + n > size) break;  // never past the caller's list
    std::memcpy(paramData + pos, base + cm_attr::kOffsets[i], n);
    pos += n;
  }
}

void scsi_service_cm::updateCMCacheData(UInt32 mask, pxo_attribute_data_t* written,
                                        pxo_attribute_data_t* cache) {
  if (written == nullptr || cache == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter, writed_data=0x%p, fsd_attr_data_p=0x%p\n", static_cast<void*>(written),
            static_cast<void*>(cache));
    return;
  }
  cache->length = written->length;
  auto* from = reinterpret_cast<const std::uint8_t*>(written);
  auto* to = reinterpret_cast<std::uint8_t*>(cache);
  for (int i = 0; i < cm_attr::kCount; ++i)
    if (mask & (1u << i)) std::memcpy(to + cm_attr::kOffsets[i], from + cm_attr::kOffsets[i], attr_size(i));
}

errno_t scsi_service_cm::writeAttributeFromStride(timestamp) {
  if (m_CmAttributeData == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_CmAttributeData=0x%p\n", static_cast<void*>(m_CmAttributeData));
    return 0;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  pxo_attribute_data_t copy;
  std::memcpy(&copy, m_CmAttributeData, sizeof(copy));
  errno_t res = convEndianForCMData(&copy);
  if (res != 0) {
    DRV_LOG(ERR_, "convEndianForCMData failed. err=%d\n", res);
    return res;
  }
  UInt32 mask = 0;
  std::uint8_t* v = reinterpret_cast<std::uint8_t*>(&copy) + cm_attr::k1500Value;
  if (std::memcmp(v + cm1500::kSignature, "KEL", 3) != 0) {
    std::memcpy(v + cm1500::kSignature, "KEL", 3);
    mask |= 0x080;
  }
  if (v[cm1500::kVersion] != 1) {
    v[cm1500::kVersion] = 1;
    mask |= 0x080;
  }
  if (v[cm1500::kLength] != 120) {
    v[cm1500::kLength] = 120;
    mask |= 0x080;
  }
  regid id{};
  make_1500h_entity(&id);
  if (std::memcmp(v + cm1500::kEntity, &id, sizeof(id)) != 0) {
    std::memcpy(v + cm1500::kEntity, &id, sizeof(id));
    mask |= 0x080;
  }
  res = convEndianForCMData(&copy);
  if (res != 0) {
    DRV_LOG(ERR_, "convEndianForCMData failed. err=%d\n", res);
    return res;
  }
  if (mask == 0) return 0;
  // The repaired header changes the value: its CRC follows it.
  put_be16(v + cm1500::kCrc, calculate_crc(v, 126));
  const UInt32 size = (calcAttrListDataSize(mask) + 3) / 4 * 4 + 4;
  auto* list = static_cast<UInt8*>(std::calloc(1, size));
  if (list == nullptr) {
    DRV_LOG(ERR_, "write attribute memory alloc failed.\n");
    return drv_err::kNoMemory;
  }
  makeAttrListDataForCMWA(mask, list, size, &copy);
  res = m_storage_scsi->pxo_write_attribute(reinterpret_cast<caddr_t>(list));
  if (res != 0)
    DRV_LOG(ERR_, "WRITE ATTRIBUTE Error. Result = %d\n", res);
  else
    updateCMCacheData(mask, &copy, m_CmAttributeData);
  std::free(list);
  return res;
}

// Sets the CRC of the 1500h value of a record in wire order.
void cm_set_1500h_crc_wire(pxo_attribute_data_t* record) {
  std::uint8_t* v = reinterpret_cast<std::uint8_t*>(record) + cm_attr::k1500Value;
  put_be16(v + cm1500::kCrc, scsi_service_cm::calculate_crc(v, 126));
}
