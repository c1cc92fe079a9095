// storage_scsi: cartridge-memory attributes (READ/WRITE ATTRIBUTE and the
// vendor forms), the 1500h volume information and the cartridge checks.
#include "drive/storage_scsi.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include <cstring>
#include <vector>

using namespace drv_err;
using drvint::be32;
using drvint::put_be16;
using drvint::put_be32;

namespace {
bool is_t400(DriveModel m) { return m == DriveModel::kT400A || m == DriveModel::kT400B; }

std::uint16_t crc_table_entry(int i) {
  std::uint16_t c = static_cast<std::uint16_t>(i << 8);
  for (int b = 0; b < 8; ++b) c = (c & 0x8000) ? static_cast<std::uint16_t>((c << 1) ^ 0x1021) : static_cast<std::uint16_t>(c << 1);
  return c;
}

struct CrcTable {
  std::uint16_t v[256];
  CrcTable() {
    for (int i = 0; i < 256; ++i) v[i] = crc_table_entry(i);
  }
};
const CrcTable& crc_table() {
  static const CrcTable t;
  return t;
}

// Implementation identifiers of the two volume types (value bytes 8-31).
void implementation_id(std::uint8_t out[24], int volume_type) {
  std::memset(out, 0, 24);
  std::memcpy(out + 1, "*Tarn KELFS", 11);
  out[20] = static_cast<std::uint8_t>(volume_type);
}
}  // namespace

std::uint16_t calculate_crc(const std::uint8_t* s, int n) {
  if (s == nullptr || n < 0) {
    DRV_LOG(ERR_, "invalid parameter. s=0x%p, n=%d\n", static_cast<const void*>(s), n);
    return 0;
  }
  const auto& t = crc_table();
  std::uint16_t crc = 0;
  for (int i = 0; i < n; ++i)
    crc = static_cast<std::uint16_t>((crc << 8) ^ t.v[((crc >> 8) ^ s[i]) & 0xFF]);
  return crc;
}

errno_t storage_scsi::read_attribute_raw(std::uint16_t id, std::uint8_t service_action,
                                         std::uint8_t* buf, std::uint16_t len) {
  DRV_TRACE_FN();
  unsigned char cdb[16] = {};
  int cdb_len;
  if (is_t400(m_model)) {
    cdb[0] = 0xDA;
    cdb[1] = service_action & 0x1F;
    put_be16(cdb + 4, id);
    put_be16(cdb + 8, len);
    cdb_len = 12;
  } else {
    cdb[0] = 0x8C;
    cdb[1] = service_action & 0x1F;
    put_be16(cdb + 8, id);
    put_be16(cdb + 12, len);
    cdb_len = 16;
  }
  Sense s;
  if (int e = send_read(cdb, cdb_len, len, buf, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0)
    DRV_LOG(ERR_, "READ ATTRIBUTE failed. err(%d), masked_status(%d)\n", s.result, s.status);
  return res;
}

errno_t storage_scsi::pxo_read_attribute_scsi(caddr_t attr, Boolean*) {
  DRV_TRACE_FN();
  if (attr == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(attr));
    return kInvalid;
  }
  pxo_attribute_request_t rec;
  std::memcpy(&rec, attr, sizeof(rec));
  if (rec.buffer == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. attr->buffer=0x%p\n", static_cast<void*>(rec.buffer));
    return kInvalid;
  }
  return read_attribute_raw(rec.attribute_id, rec.service_action, rec.buffer,
                            rec.allocation_length);
}

errno_t storage_scsi::get_read_attribute(std::uint16_t id, std::uint8_t* buf, std::uint32_t len) {
  DRV_TRACE_FN();
  if (buf == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. buf=0x%p\n", static_cast<void*>(buf));
    return kInvalid;
  }
  pxo_attribute_request_t rec{id, static_cast<std::uint16_t>(len), 0, buf};
  return pxo_read_attribute_scsi(reinterpret_cast<caddr_t>(&rec));
}

errno_t storage_scsi::pxo_read_attribute(caddr_t attr) {
  DRV_TRACE_FN();
  errno_t res = pxo_read_attribute_scsi(attr);
  if (res != 0) {
    DRV_LOG(ERR_, "pxo_read_attribute_scsi failed. err=%d\n", res);
    return res;
  }
  pxo_attribute_request_t rec;
  std::memcpy(&rec, attr, sizeof(rec));
  if (rec.attribute_id == 0x1500) return check_1500H_CRC_result(attr, 0);
  return 0;
}

errno_t storage_scsi::pxo_read_attribute_ForCM(caddr_t attr, Boolean*) {
  DRV_TRACE_FN();
  errno_t res = pxo_read_attribute_scsi(attr);
  if (res != 0) DRV_LOG(ERR_, "pxo_read_attribute_scsi failed. err=%d\n", res);
  return res;
}

errno_t storage_scsi::set_write_attribute(caddr_t list, unsigned int size) {
  DRV_TRACE_FN();
  if (list == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(list));
    return kInvalid;
  }
  unsigned char cdb[16] = {};
  int cdb_len;
  if (is_t400(m_model)) {
    cdb[0] = 0xDB;
    put_be32(cdb + 6, size);
    cdb_len = 12;
  } else {
    cdb[0] = 0x8D;
    put_be32(cdb + 10, size);
    cdb_len = 16;
  }
  Sense s;
  if (int e = send(cdb, cdb_len, drvint::kDirOut, size, reinterpret_cast<unsigned char*>(list), s))
    return e;
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "WRITE ATTRIBUTE failed. err(%d), masked_status(%d)\n", s.result, s.status);
  return drvint::common_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::pxo_write_attribute_scsi(caddr_t list) {
  DRV_TRACE_FN();
  if (list == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(list));
    return kInvalid;
  }
  const std::uint32_t param_len = be32(reinterpret_cast<const unsigned char*>(list));
  const std::uint32_t size = param_len + 4;
  DRV_LOG(DEBG, "attr->param_data_len[%d(0x%08X)]\n", static_cast<int>(param_len), param_len);
  DRV_LOG(DEBG, "paramlistlen[%d(0x%08X)]\n", static_cast<int>(size), size);
  return set_write_attribute(list, size);
}

errno_t storage_scsi::pxo_write_attribute(caddr_t list) {
  DRV_TRACE_FN();
  if (m_MediumIsWriteProtected && !m_force_write_attribute) {
    DRV_LOG(WARN, "pxo_write_attribute do nothing. m_MediumIsWriteProtected=%d!\n",
            m_MediumIsWriteProtected ? 1 : 0);
    return 0;
  }
  return pxo_write_attribute_scsi(list);
}

errno_t storage_scsi::media_protect(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  unsigned char list[12] = {0x00, 0x00, 0x00, 0x08, 0x0D, 0x03, 0x00, 0x00, 0x01, 0, 0, 0};
  list[9] = static_cast<unsigned char>(data[0]);
  DRV_LOG(INFO, "isProtect[%d]\n", list[9]);
  errno_t res = pxo_write_attribute_scsi(reinterpret_cast<caddr_t>(list));
  DRV_LOG(INFO, "result[0x%08x]\n", static_cast<unsigned>(res));
  return res;
}

errno_t storage_scsi::isCMWriteProtect(Boolean* on) {
  DRV_TRACE_FN();
  if (on == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(on));
    return kInvalid;
  }
  std::uint8_t ans[12] = {};
  pxo_attribute_request_t rec{0x0D03, 12, 0, ans};
  errno_t res = pxo_read_attribute(reinterpret_cast<caddr_t>(&rec));
  if (res != 0) {
    DRV_LOG(ERR_, "READ ATTRIBUTE Error. Result = %d\n", res);
    *on = false;
    return res;
  }
  *on = ans[9] != 0;
  DRV_LOG(INFO, *on ? "CM Write Protect On\n" : "CM Write Protect Off\n");
  return 0;
}

// Content rules of a CRC-valid 1500h value. Returns 0 (state 5) or 5 (state 4).
errno_t storage_scsi::check_1500h_content(const std::uint8_t* value, std::uint8_t* state,
                                          std::uint8_t* vtype, bool log_invalid) {
  DRV_TRACE_FN();
  std::uint8_t id0[24], id1[24];
  implementation_id(id0, 0);
  implementation_id(id1, 1);
  const bool header_ok =
      std::memcmp(value, "KEL", 3) == 0 && value[3] == 1 && value[7] == 120;
  if (header_ok && std::memcmp(value + 8, id0, 24) == 0) {
    *state = 5;
    *vtype = 0;
    return 0;
  }
  if (header_ok && std::memcmp(value + 8, id1, 24) == 0) {
    *state = 5;
    *vtype = 1;
    return 0;
  }
  if (log_invalid) {
    char fmt[4] = {};
    std::memcpy(fmt, value, 3);
    char idtext[25] = {};
    for (int i = 0; i < 24; ++i) idtext[i] = value[8 + i] >= 0x20 && value[8 + i] < 0x7F ? static_cast<char>(value[8 + i]) : '.';
    DRV_LOG(ERR_, "Attribute[1500h:VENDOR UNUQUE VOLUME INFORMATION] is invalid.\n");
    DRV_LOG(ERR_,
            "FORMAT VERSION = %3s, FORMAT VERSION = %d, LENGTH OF IMPLEMANTATION = %d "
            "IMPLEMANTATION ID = %s\n",
            fmt, value[3], value[7], idtext);
  }
  *state = 4;
  return kIO;
}

errno_t storage_scsi::check_1500H_CRC_result(caddr_t attr, errno_t err) {
  DRV_TRACE_FN();
  std::uint8_t state = 0;
  std::uint8_t vtype = 0xFF;
  errno_t res = 0;
  if (err != 0 || attr == nullptr) {
    state = 1;
  } else {
    pxo_attribute_request_t rec;
    std::memcpy(&rec, attr, sizeof(rec));
    if (rec.buffer == nullptr || rec.allocation_length < 9 + 128) {
      state = 1;
    } else {
      const std::uint8_t* value = rec.buffer + 9;
      const std::uint16_t crc = calculate_crc(value, 126);
      const std::uint16_t stored = static_cast<std::uint16_t>((value[126] << 8) | value[127]);
      if (crc != stored) {
        DRV_LOG(WARN,
                "PDSD_MEM_ATTR_PARAM_1500H_CM check CRC Status... but mount process continue...");
        std::uint8_t id0[24];
        implementation_id(id0, 0);
        state = 2;
        vtype = std::memcmp(value + 8, id0, 24) == 0 ? 0 : 1;
      } else {
        res = check_1500h_content(value, &state, &vtype, true);
      }
    }
  }
  m_fail_state_1500h = state;
  if (vtype != 0xFF) m_volume_type_1500h = vtype;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.fail_1500h = state;
    if (vtype != 0xFF) m_config.volume_type = vtype;
    if (errno_t e = set_config_locked()) DRV_LOG(ERR_, "set_config failed. err=%d\n", e);
  }
  return res;
}

errno_t storage_scsi::report_1500H_CRC_result(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_config_mutex);
  if (get_config_locked() != 0) {
    data[0] = static_cast<char>(0xFF);
    return 0;
  }
  data[0] = static_cast<char>(m_config.fail_1500h);
  return 0;
}

errno_t storage_scsi::isCorrespondFormat(pxo_1500h_cm_record_t* dst, Boolean* out) {
  DRV_TRACE_FN();
  if (out == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(out));
    return kInvalid;
  }
  // *out tells the caller that a readable record holds a format this
  // system does not support; it stays clear on every other path.
  *out = false;
  std::uint8_t ans[140] = {};
  errno_t res = get_read_attribute(0x1500, ans, sizeof(ans));
  std::uint8_t state;
  std::uint8_t vtype = 0xFF;
  errno_t result = 0;
  if (res != 0) {
    // The mount start needs to know the record could not be read.
    DRV_LOG(ERR_, "failed ReadAttribute[ID:1500h] \n");
    state = 1;
    result = res;
  } else {
    const std::uint8_t* value = ans + 9;
    const std::uint16_t crc = calculate_crc(value, 126);
    const std::uint16_t stored = static_cast<std::uint16_t>((value[126] << 8) | value[127]);
    if (crc != stored) {
      DRV_LOG(WARN,
              "PDSD_MEM_ATTR_PARAM_1500H_CM check CRC Status... but mount process continue...");
      state = 2;
    } else {
      result = check_1500h_content(value, &state, &vtype, true);
      if (result != 0) *out = true;
      if (value[32] == 3 && value[33] == 1 && value[37] == 16 && value[38] == 16 &&
          value[39] <= 31) {
        DRV_LOG(NOTI, "Mac Ver1.0.0 or 1.0.1 Mounting Continue\n");
        state = 1;
        result = 0;
        *out = false;
      }
    }
    if (dst != nullptr) {
      // The attribute header (5 bytes) followed by the value.
      std::memcpy(dst, ans + 4, sizeof(*dst));
    }
  }
  m_fail_state_1500h = state;
  if (vtype != 0xFF) m_volume_type_1500h = vtype;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.fail_1500h = state;
    if (vtype != 0xFF) m_config.volume_type = vtype;
    if (errno_t e = set_config_locked()) DRV_LOG(ERR_, "set_config failed. err=%d\n", e);
  }
  return result;
}

namespace {

// Attributes 0408h-0409h, the medium type and its information: kIO
// (readable) when they name another kind of medium; a read failure marks
// the medium unreadable and the check failed.
errno_t check_type_attributes(storage_scsi& s, Boolean* unreadable, UInt8* type, UInt16* typeinfo, bool* failed) {
  std::uint8_t ans[20] = {};
  if (s.get_read_attribute(0x0408, ans, sizeof(ans)) != 0) {
    DRV_LOG(ERR_, "failed ReadAttribute[ID:0408h-0409h]\n");
    *unreadable = true;
    *failed = true;
    return 0;
  }
  *type = ans[9];
  std::memcpy(typeinfo, ans + 15, 2);
  if ((ans[9] & 0x7F) != 0 || ans[15] != 0 || ans[16] != 0) {
    DRV_LOG(ERR_, "Attribute[0408h/0409h] is invalid. Data = 0x%x/0x%x\n", ans[9], (ans[15] << 8) | ans[16]);
    *unreadable = false;
    return kIO;
  }
  return 0;
}

// Attributes 0D00h-0D02h of the slots: kIO (readable) for a last written
// slot beyond the cartridge; a read failure marks the medium unreadable and
// the check failed.
errno_t check_slot_attributes(storage_scsi& s, Boolean* unreadable, Boolean* slotread, bool* failed) {
  std::uint8_t ans[28] = {};
  if (s.get_read_attribute(0x0D00, ans, sizeof(ans)) != 0) {
    DRV_LOG(ERR_, "failed ReadAttribute[ID:0D00h-0D02h] \n");
    *unreadable = true;
    *failed = true;
    return 0;
  }
  *slotread = true;
  if (ans[9] > 11) {
    DRV_LOG(ERR_, "Attribute[0D00h:LAST WRITTEN SLOT] is invalid. Data = 0x%x\n", ans[9]);
    *unreadable = false;
    return kIO;
  }
  return 0;
}

// Attributes 1100h-1102h of the cartridge: its type, packaging policy and
// disc count must be those of the medium type (*type_err: the medium type
// could not be read and was taken as unknown). The read's error (the medium
// then unreadable), or kIO.
errno_t check_cartridge_attributes(storage_scsi& s, Boolean* unreadable, errno_t* type_err) {
  std::uint8_t ans[24] = {};
  if (errno_t res = s.get_read_attribute(0x1100, ans, sizeof(ans))) {
    DRV_LOG(ERR_, "failed ReadAttribute[ID:1100h-1102h]\n");
    *unreadable = true;
    return res;
  }
  char t = 0;
  *type_err = s.get_medium_type(&t);
  std::uint8_t mtype = static_cast<std::uint8_t>(t);
  if (*type_err != 0) {
    DRV_LOG(WARN, "get_medium_type failed, but set default(%d). result(%d)\n", medium::kUnknown, *type_err);
    mtype = medium::kUnknown;
  }
  const bool two_disc_class = mtype == 0xF1 || mtype == 0xF2 || mtype == 0xE5;
  if (ans[9] != (two_disc_class ? 2 : 1)) {
    DRV_LOG(ERR_, "Attribute[1100h:CARTIRDGE TYPE] is invalid. Data = 0x%x\n", ans[9]);
  } else if (ans[15] != 1) {
    DRV_LOG(ERR_, "Attribute[1101h:DISC PACKAGING POLICY OF CARTIRDGE] is invalid. Data = 0x%x\n", ans[15]);
  } else if (ans[21] != (two_disc_class ? 11 : 12)) {
    DRV_LOG(ERR_, "Attribute[1102h:NUMBER OF DISCS IN CARTRIDGE] is invalid. Data = 0x%x\n", ans[21]);
  } else {
    return 0;
  }
  *unreadable = false;
  return kIO;
}

}  // namespace

errno_t storage_scsi::isCorrespondMedia(Boolean* unreadable, UInt8* type, UInt16* typeinfo,
                                        Boolean* slotread) {
  DRV_TRACE_FN();
  if (unreadable == nullptr || type == nullptr || typeinfo == nullptr || slotread == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(unreadable));
    return kInvalid;
  }
  *unreadable = false;
  *slotread = false;
  bool earlier_failure = false;
  if (errno_t e = check_type_attributes(*this, unreadable, type, typeinfo, &earlier_failure)) return e;
  if (errno_t e = check_slot_attributes(*this, unreadable, slotread, &earlier_failure)) return e;
  errno_t type_err = 0;
  if (errno_t e = check_cartridge_attributes(*this, unreadable, &type_err)) return e;
  if (earlier_failure) return kIO;
  return type_err;
}
