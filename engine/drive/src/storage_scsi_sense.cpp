// storage_scsi: sense mapping, the drive alarm, mount information, write
// protection, mode pages and the OPC resource query.
#include "drive/storage_scsi.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace drv_err;
using drvint::be16;
using drvint::put_be32;

int get_err_from_sensekey(const unsigned char* sense) {
  if (sense == nullptr) return kInvalid;
  return sense[2] < 2 ? 0 : kIO;
}

int get_err_from_sensekey_for_write(const unsigned char* sense) {
  if (sense == nullptr) return kInvalid;
  if (sense[2] < 2) return 0;
  if (sense[2] == 3 && sense[12] == 0x27 && sense[13] == 0x00) return kWriteProtected;
  return kIO;
}

int get_err_from_sensekey_with_ioreturn(const unsigned char* sense, std::uint32_t* ioreturn) {
  std::uint32_t io = 1;
  int res;
  if (sense == nullptr) {
    if (ioreturn) *ioreturn = 1;
    return kInvalid;
  }
  const unsigned key = sense[2];
  const unsigned asc = sense[12];
  const unsigned ascq = sense[13];
  switch (key) {
    case 0x00: case 0x01: res = 0; io = 0; break;
    case 0x02: res = kNotReady; io = 728; break;
    case 0x03: res = kIO; io = 714; break;
    case 0x04: res = kIO; io = 745; break;
    case 0x05:
      if (asc == 0x30 && ascq == 0x10) {
        res = kUnformatted;  // 6
        io = 741;
        DRV_LOG(NOTI, "kIOReturnUnformattedMedia\n");
      } else if (asc == 0x30 || asc == 0x31) {
        res = kPerm;
        io = 721;
      } else {
        res = kIO;
        io = 714;
      }
      break;
    case 0x06:
      if (asc == 0x28 && ascq == 0x00) {
        res = kNotReady;
        io = 728;
      } else {
        res = kIO;
        io = 1;
      }
      break;
    case 0x07: res = kPerm; io = 707; break;
    case 0x08: res = kPerm; io = 719; break;
    case 0x0B: res = kIO; io = 747; break;
    default: res = kIO; io = 1; break;  // 09h, 0Ah and above 0Bh
  }
  if (ioreturn) *ioreturn = io;
  return res;
}

// ------------------------------------------------------------------ alarm

errno_t storage_scsi::report_error(pxo_report_error_t* e) {
  DRV_TRACE_FN();
  if (e == nullptr || e->error_type > 2) {
    DRV_LOG(ERR_, "invalid param.\n");
    return kInvalid;
  }
  const std::uint8_t type = e->error_type;
  std::uint8_t uid[33] = {};
  if (errno_t r = getMediumUniqueID(uid, 32)) {
    DRV_LOG(ERR_, "get Media Unique ID failed. err=%d\n", r);
    std::memset(uid, 0, sizeof(uid));
  }
  for (int i = 31; i >= 0 && (uid[i] == ' ' || uid[i] == 0); --i) uid[i] = 0;
  char serial[18] = {};
  if (!get_product_id(serial)) {
    DRV_LOG(ERR_, "get Product ID failed. err=%d\n", kIO);
    serial[0] = 0;
  }
  pxo_slot_info_t slot{};
  if (errno_t r = get_slot_info(reinterpret_cast<caddr_t>(&slot)))
    DRV_LOG(ERR_, "get Slot Number failed. err=%d\n", r);
  const char* media_id = reinterpret_cast<const char*>(uid);
  const int slot_no = static_cast<int>(slot.current_slot);
  if (m_alarm_state == 0) {
    DRV_LOG(ERR_,
            "Driver detect an error. (Unsupported Drive), ErrorType:0x%02x, DriveSNo:%s, "
            "MediaID:%s, ErrorSlotNo:%d\n",
            type, serial, media_id, slot_no);
    return 0;
  }
  if (m_alarm_state == 2 &&
      getGnrcConfigValue32(drvint::kUtilityConf, "Sensitive Alarm Mode", 0) == 0) {
    DRV_LOG(ERR_,
            "Driver detect an error. (Disabled By Setting), ErrorType:0x%02x, DriveSNo:%s, "
            "MediaID:%s, ErrorSlotNo:%d\n",
            type, serial, media_id, slot_no);
    return 0;
  }
  if (m_alarm_set) {
    DRV_LOG(ERR_,
            "Driver detect an error. (Already Set Alarm), ErrorType:0x%02x, DriveSNo:%s, "
            "MediaID:%s, ErrorSlotNo:%d\n",
            type, serial, media_id, slot_no);
    return 0;
  }
  DRV_LOG(ERR_,
          "Driver detect an error. (Set Alarm To Drive), ErrorType:0x%02x, DriveSNo:%s, "
          "MediaID:%s, ErrorSlotNo:%d\n",
          type, serial, media_id, slot_no);
  unsigned char cdb[12] = {};
  cdb[0] = (m_model == DriveModel::kT400A || m_model == DriveModel::kT400B) ? 0xDC : 0xE6;
  cdb[1] = 0x01;
  cdb[2] = 0x01;
  cdb[3] = type;
  std::memset(cdb + 4, ' ', 8);
  const std::size_t len = std::strlen(serial);
  const std::size_t take = len < 8 ? len : 8;
  std::memcpy(cdb + 4 + (8 - take), serial + (len - take), take);
  Sense s;
  if (int r = send(cdb, 12, drvint::kDirNone, 0, nullptr, s)) return r;
  int res = drvint::common_rule(s.result, s.status, s.bytes);
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "DRIVE CONTROL failed. err(%d), masked_status(%d)\n", s.result, s.status);
  if (res == 0) m_alarm_set = true;
  return res;
}

// ------------------------------------------------------ mount information

errno_t storage_scsi::set_mount_status_common(std::uint32_t status, std::uint32_t reasons,
                                              std::uint32_t access, std::uint8_t type,
                                              std::uint8_t volume, bool report) {
  DRV_TRACE_FN();
  MDCFS_MOUNT_INFORMATION mi{};
  errno_t res = get_mount_info(reinterpret_cast<caddr_t>(&mi));
  if (res != 0) {
    DRV_LOG(ERR_, "get_mount_info failed. err=%d\n", res);
    return res;
  }
  if (status != 0xFFFFFFFFu) mi.MountStatus = status;
  if (reasons != 0xFFFFFFFFu) mi.WriteProtectReasonFlags |= reasons;
  if (access != 0xFFFFFFFFu) mi.AccessMode = access;
  if (type != 0xFF) mi.MediumType = type;
  if (volume != 0xFF) mi.VolumeStatus = volume;
  if (report && access == 2) {
    pxo_report_error_t e{0};
    (void)report_error(&e);
  }
  res = set_mount_info(reinterpret_cast<caddr_t>(&mi));
  if (res != 0) DRV_LOG(ERR_, "set_mount_info failed. err=%d\n", res);
  return res;
}

errno_t storage_scsi::set_raw_mount_status_to_mount_info(std::uint32_t status,
                                                         std::uint32_t reasons,
                                                         std::uint32_t error, std::uint8_t a,
                                                         std::uint8_t b) {
  DRV_TRACE_FN();
  return set_mount_status_common(status, reasons, error, a, b, true);
}

errno_t storage_scsi::set_raw_mount_status_to_mount_info_no_error_report(
    std::uint32_t status, std::uint32_t reasons, std::uint32_t error, std::uint8_t a,
    std::uint8_t b) {
  DRV_TRACE_FN();
  return set_mount_status_common(status, reasons, error, a, b, false);
}

errno_t storage_scsi::set_read_only_status_to_mount_info(std::uint32_t reasons) {
  DRV_TRACE_FN();
  return set_mount_status_common(0xFFFFFFFFu, reasons, 0xFFFFFFFFu, 0xFF, 0xFF, false);
}

void storage_scsi::set_pxo_property(const char* label, UInt32* data) {
  DRV_TRACE_FN();
  if (label == nullptr || data == nullptr) {
    DRV_LOG(ERR_, "invalid parameter. pLabel=0x%p, data=0x%p\n", static_cast<const void*>(label),
            static_cast<void*>(data));
    return;
  }
  if (std::strcmp(label, "Medium Condition") == 0) {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.medium_condition = *data;
  }
}

// ------------------------------------------------ write protection, pages

errno_t storage_scsi::check_writeprotected(std::uint8_t* wp) {
  DRV_TRACE_FN();
  if (wp == nullptr) return kInvalid;
  std::uint8_t ans[18] = {};
  errno_t res = pxo_mode_sense10(0x01, ans, sizeof(ans));
  if (res != 0) return res;
  *wp = (ans[3] >> 7) & 1;
  DRV_LOG(INFO, *wp ? "WP bit is valid.\n" : "WP bit is invalid.\n");
  return 0;
}

errno_t storage_scsi::check_writeUnsupport(std::uint8_t* wu) {
  DRV_TRACE_FN();
  if (wu == nullptr) return kInvalid;
  std::uint8_t ans[18] = {};
  errno_t res = pxo_mode_sense10(0x01, ans, sizeof(ans));
  if (res != 0) return res;
  *wu = (ans[3] >> 6) & 1;
  DRV_LOG(INFO, *wu ? "WU bit is valid.\n" : "WU bit is invalid.\n");
  return 0;
}

errno_t storage_scsi::check_SWPStatus(std::uint8_t* swp) {
  DRV_TRACE_FN();
  if (swp == nullptr) return kInvalid;
  std::uint8_t ans[16] = {};
  errno_t res = pxo_mode_sense10(0x1C, ans, sizeof(ans));
  if (res != 0) return res;
  *swp = ans[12] & 1;
  DRV_LOG(INFO, *swp ? "SWP bit is valid.\n" : "SWP bit is invalid.\n");
  return 0;
}

// The user's protection of the cartridge: its switch (MECHANISM STATUS) or
// the cartridge memory's flag (attribute 0D03h); either one alone protects.
// A protection that cannot be read counts as set: whoever asks is about to
// change the cartridge, which a failed read must never allow.
bool storage_scsi::isProtectFormCMorCartridge() {
  DRV_TRACE_FN();
  pxo_mechanism_status_t ms{};
  const errno_t mech = mechanism_status(reinterpret_cast<caddr_t>(&ms));
  if (mech != 0) {
    DRV_LOG(ERR_, "Mechanism err 0x%x\n", static_cast<unsigned>(mech));
  } else if (ms.bytes[9] & 1) {
    DRV_LOG(NOTI, "Cartridge write protect\n");
    return true;
  }
  std::uint8_t ans[12] = {};
  const errno_t attr = get_read_attribute(0x0D03, ans, sizeof(ans));
  if (attr == 0 && ans[9] != 0) {
    DRV_LOG(NOTI, "CM write protect\n");
    return true;
  }
  if (mech != 0 || attr != 0) {
    DRV_LOG(WARN, "write protection unknown, taken as protected. mechanism(%d) attribute 0D03h(%d)\n", mech, attr);
    return true;
  }
  return false;
}

errno_t storage_scsi::getReadWriteBlockSizeModeSense(pxo_read_write_block_size_mode_page_t* page) {
  DRV_TRACE_FN();
  if (page == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(page));
    return kInvalid;
  }
  if (m_block_size_page.read_write_block_size == 0xFFFF) {
    std::uint8_t ans[20] = {};
    errno_t res = pxo_mode_sense10(0x22, ans, sizeof(ans));
    if (res != 0) {
      DRV_LOG(NOTI, "Connection device may T10A(%d)\n", res);
      return res;
    }
    m_block_size_page.reserve_write_block_size = be16(ans + 12);
    m_block_size_page.second_block_size = be16(ans + 14);
    m_block_size_page.read_write_block_size = be16(ans + 16);
  }
  *page = m_block_size_page;
  return 0;
}

errno_t storage_scsi::getReadWriteErrorRecoveryParametersModeSense(
    pxo_read_write_error_recovery_parameters_mode_page_t* page) {
  DRV_TRACE_FN();
  if (page == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(page));
    return kInvalid;
  }
  if (!m_recovery_page_valid) {
    std::uint8_t ans[20] = {};
    errno_t res = pxo_mode_sense10(0x01, ans, sizeof(ans));
    if (res != 0) return res;
    m_recovery_page.flag = (ans[3] >> 6) & 1;
    const bool wide = m_model == DriveModel::kT300A || m_model == DriveModel::kT300B ||
                      m_model == DriveModel::kT400A || m_model == DriveModel::kT400B;
    m_recovery_page.threshold =
        wide ? (static_cast<std::uint32_t>(ans[17]) << 16) | (ans[18] << 8) | ans[19] : 0;
    m_recovery_page_valid = true;
  }
  *page = m_recovery_page;
  return 0;
}

errno_t storage_scsi::mode_select_three_times(unsigned char* list, int cdb_len, std::uint16_t len) {
  DRV_TRACE_FN();
  int res = 0;
  for (int i = 0; i < 3; ++i) {
    unsigned char cdb[12] = {0x55, 0x10};
    cdb[8] = static_cast<unsigned char>(len);
    Sense s;
    if (int e = send(cdb, cdb_len, drvint::kDirOut, len, list, s)) return e;
    res = drvint::common_rule(s.result, s.status, s.bytes);
    if (s.status == 1) {
      std::string hex;
      char b[4];
      for (int k = 0; k < len; ++k) {
        std::snprintf(b, sizeof(b), "%02X ", list[k]);
        hex += b;
      }
      DRV_LOG(ERR_, "buffer data (len=%d):%s\n", len, hex.c_str());
    }
  }
  return res;
}

errno_t storage_scsi::dtaCtrlModePageUseModeSelectSet(Boolean* blIsSetFlgMSN,
                                                      std::uint8_t ucSetMSNData,
                                                      Boolean* blIsSetFlgWP, Boolean* bSetWPData) {
  DRV_TRACE_FN();
  if (blIsSetFlgMSN == nullptr || blIsSetFlgWP == nullptr || bSetWPData == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(blIsSetFlgMSN));
    return kInvalid;
  }
  unsigned char list[20] = {};
  list[1] = 0x0C;
  list[8] = 0x21;
  list[9] = 0x0A;
  list[10] = static_cast<unsigned char>(((*blIsSetFlgMSN ? 1 : 0) << 1) | (*blIsSetFlgWP ? 1 : 0));
  list[11] = *bSetWPData ? 1 : 0;
  list[12] = ucSetMSNData;
  DRV_LOG(INFO, "MSNW_WP:%08x bSetWPData:%08x ucSetMSNData:%08x", list[10], list[11], list[12]);
  return mode_select_three_times(list, 12, 20);
}

errno_t storage_scsi::set_realloc_control(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  pxo_realloc_control_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  unsigned char list[28] = {};
  list[1] = 0x14;
  list[8] = 0x20;
  list[9] = 0x12;
  list[10] = rec.fvwre;
  list[11] = rec.fvwrd;
  const std::uint32_t end1 = rec.count1 ? rec.start1 + rec.count1 - 1 : 0;
  const std::uint32_t end2 = rec.count2 ? rec.start2 + rec.count2 - 1 : 0;
  put_be32(list + 12, rec.start1);
  put_be32(list + 16, end1);
  put_be32(list + 20, rec.start2);
  put_be32(list + 24, end2);
  errno_t res = mode_select_three_times(list, 10, 28);
  if (rec.fvwrd == 1)
    DRV_LOG(INFO, "Mode Select(20h): Verify=On FVWRE=%d FVWRD=%d StartLSN=%08X EndLSN=%08X \n",
            rec.fvwre, rec.fvwrd, rec.start1, end1);
  else
    DRV_LOG(INFO, "Mode Select(20h): Verify=Off FVWRE=%d FVWRD=%d StartLSN=%08X EndLSN=%08X \n",
            rec.fvwre, rec.fvwrd, rec.start1, end1);
  return res;
}

errno_t storage_scsi::setControlMode(bool on) {
  DRV_TRACE_FN();
  unsigned char list[20] = {};
  list[0] = 0x0A;
  list[8] = 0x0A;
  list[9] = 0x0A;
  list[13] = on ? 0 : 1;
  return mode_select_three_times(list, 10, 20);
}

// ------------------------------------------------------------- OPC

errno_t storage_scsi::get_opc_resource_data(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  if (!m_write_once) {
    DRV_LOG(ERR_, "Invalid media type %d\n", m_medium_type);
    return kInvalid;
  }
  if (m_cache_get_opc_info) {
    std::memcpy(data, m_cache_get_opc_info, 2);
    return 0;
  }
  std::uint16_t count;
  const bool wide = m_model == DriveModel::kT300A || m_model == DriveModel::kT300B ||
                    m_model == DriveModel::kT400A || m_model == DriveModel::kT400B;
  std::uint8_t wu = 0;
  if (wide) {
    errno_t res = check_writeUnsupport(&wu);
    if (res != 0) {
      DRV_LOG(ERR_, "check_writeUnsupport err.(%d)\n", res);
      return res;
    }
  }
  if (wu) {
    count = 0xFFFF;
    DRV_LOG(INFO, "dummy data set.(0x%x%x)\n", 0xFF, 0xFF);
  } else {
    unsigned char cdb[12] = {0xD5};
    unsigned char ans[16] = {};
    Sense s;
    if (int e = send(cdb, 12, drvint::kDirIn, 16, ans, s)) return e;
    int res = drvint::data_rule(s.result, s.status, s.bytes);
    if (res != 0) {
      DRV_LOG(ERR_, "GET OPC RESOURCE failed. err(%d), masked_status(%d)\n", s.result, s.status);
      return res;
    }
    // The count is the answer's big-endian word at bytes 0-1, as the drive
    // utility library reads it. A count forced to FF00h or more would keep
    // every "few calibrations left" rule (engine and writer) from ever
    // holding.
    count = static_cast<std::uint16_t>(ans[0] << 8 | ans[1]);
    DRV_LOG(INFO, "*opcCount=0x%04x\n", count);
  }
  m_cache_get_opc_info = new std::uint16_t(count);
  std::memcpy(data, &count, 2);
  return 0;
}
