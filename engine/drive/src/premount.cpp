// Pre-mount checks before the request loop, the mount start against the
// cartridge memory and the mount of the disc written last.
#include "drive/client_if.h"

#include "kelhost/kern_errno.h"
#include "storage_scsi_log.h"

#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace {

// Write-protect reason of a medium this drive cannot record or that is not
// valid (WRPROT_IMPLEMENTATION of the UDF code).
constexpr std::uint32_t kWrprotNotRecordable = 0x200;

void medium_condition_unknown(storage_scsi* s) {
  UInt32 v = 0xFFFF;
  s->set_pxo_property("Medium Condition", &v);
}

// A raw mount: its status recorded, the medium's condition unknown.
void raw_mount(storage_scsi* s, std::uint32_t status, std::uint32_t reasons, std::uint32_t error, std::uint8_t a,
               std::uint8_t b) {
  (void)s->set_raw_mount_status_to_mount_info(status, reasons, error, a, b);
  medium_condition_unknown(s);
}

// No default volume type is configured: the automatic format stops, the
// volume is mounted raw. 123.
int refuse_format_without_volume_type(storage_scsi* s, std::uint8_t type) {
  const std::time_t now = std::time(nullptr);
  if (now == static_cast<std::time_t>(-1)) {
    DRV_LOG(ERR_, "time() fialed.");
  } else {
    std::tm tmv{};
    gmtime_r(&now, &tmv);
    DRV_LOG(WARN, "{KELUDFS_LOG}[%d]{%04d:%02d:%02d}[%02d:%02d:%02d:%03d.%03d]%s\n", 3, tmv.tm_year + 1900,
            tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, 0, 0,
            "getDefaultVolumeType failed. The auto format stopped.");
  }
  DRV_LOG(INFO, "auto_format_retry---, Result(%d)\n", drv_err::kIO);
  raw_mount(s, 0x80000010u, 0x80000, 2, type, 0xFF);
  return KEL_EBLANK;
}

}  // namespace

int premount_operation(char* devicename, char* devmedia, int* isFinalized, int* isWriteProtected,
                       int* isWriteUnspported) {
  if (devicename == nullptr || devmedia == nullptr || isFinalized == nullptr || isWriteProtected == nullptr ||
      isWriteUnspported == nullptr) {
    KEL_LOG_AS("int premount_operation(char*, char*, int*, int*, int*)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. devicename=%p, devmedia=%p, isFinalized=%p, isWriteProtected=%p, "
               "isWriteUnspported=%p\n",
               static_cast<void*>(devicename), static_cast<void*>(devmedia), static_cast<void*>(isFinalized),
               static_cast<void*>(isWriteProtected), static_cast<void*>(isWriteUnspported));
    return -1;
  }
  if (pclient_if == nullptr) pclient_if = new client_if();
  return pclient_if->premount_operation(devicename, devmedia, isFinalized, isWriteProtected, isWriteUnspported);
}

std::uint8_t client_if::medium_type_or_default() {
  char type = 0;
  errno_t r = storage()->get_medium_type(&type);
  if (r != 0) {
    DRV_LOG(WARN, "get_medium_type failed, but set default(%d). result(%d)\n", 0, r);
    return 0;
  }
  return static_cast<std::uint8_t>(type);
}

int client_if::premount_operation(char* devicename, char* devmedia, int* isFinalized, int* isWriteProtected,
                                  int* isWriteUnspported) {
  storage_scsi* s = storage();
  DRV_ENTRY();
  int result = 0;
  if (devicename == nullptr || devmedia == nullptr || isFinalized == nullptr) {
    DRV_LOG(ERR_, "invalid param.\n");
    result = drv_err::kInvalid;
    DRV_LOG(INFO, "Result(%d)", result);
    return result;
  }
  DRV_LOG(INFO, "devicename=%s\n", devicename);
  s->set_device_number(devicename);
  s->set_device_name(devmedia);
  errno_t e = s->init();
  if (e != 0) {
    DRV_LOG(ERR_, "init failed. err=%d\n", e);
    return e;
  }
  char serial[17] = {};
  if (!s->get_product_id(serial)) std::strcpy(serial, "UNKNOWN");
  serial[16] = '\0';
  LogSetProgramName(serial);
  (void)s->setControlMode(false);
  result = s->reset_medium_properties();
  if (result != 0) {
    DRV_LOG(WARN, "reset_medium_properties result(%d)\n", result);
  } else {
    e = s->util_check_medium_condition();
    if (e != 0) DRV_LOG(WARN, "check_medium_condition result(%d)\n", e);
    result = MountStart();
    if (result != 0) DRV_LOG(WARN, "MountStart. result(%d)\n", result);
  }
  std::uint8_t wp = 0;
  e = s->check_writeprotected(&wp);
  if (e != 0) {
    DRV_LOG(INFO, "check_writeprotected failed.(%d)\n", e);
    return e;
  }
  if (isWriteProtected) {
    *isWriteProtected = wp ? 1 : 0;
    if (wp)
      DRV_LOG(INFO, "WP bit is valid. isWriteProtected=%d\n", *isWriteProtected);
    else
      DRV_LOG(INFO, "WP bit is invalid. isWriteProtected=%d\n", *isWriteProtected);
  }
  std::uint8_t wu = 0;
  e = s->check_writeUnsupport(&wu);
  if (e != 0) {
    DRV_LOG(ERR_, "check_writeUnsupport failed.(%d)\n", e);
    return e;
  }
  if (isWriteUnspported) {
    *isWriteUnspported = wu ? 1 : 0;
    if (wu)
      DRV_LOG(INFO, "WU bit is valid. isWriteUnspported=%d\n", *isWriteUnspported);
    else
      DRV_LOG(INFO, "WU bit is invalid. isWriteUnspported=%d\n", *isWriteUnspported);
  }
  std::uint32_t msln = 0;
  const bool finalized = m_service.isLVIDFinalized(&msln);
  *isFinalized = finalized ? 1 : 0;
  DRV_LOG(INFO, finalized ? "Media Status:Finalized\n" : "Media Status:not Finalized\n");
  DRV_LOG(INFO, "Result(%d)", result);
  return result;
}

int client_if::MountStart() {
  storage_scsi* s = storage();
  m_1500h_unread = false;
  const std::uint8_t type = medium_type_or_default();
  Boolean unreadable = false;
  UInt8 type_value = 0;
  UInt16 type_info = 0;
  Boolean slot_read = false;
  errno_t r = s->isCorrespondMedia(&unreadable, &type_value, &type_info, &slot_read);
  if (r != 0) {
    if (!unreadable) {
      DRV_LOG(ERR_, "Unsupported Media. err=%d\n", r);
      raw_mount(s, 0x80000020u, 0x100, 2, type, 0);
      DRV_LOG(ERR_, "Result(%d)", drv_err::kNotSupported);
      return drv_err::kNotSupported;
    }
    raw_mount(s, 0x80000030u, 0x4000, 0xFFFFFFFFu, 0xFF, 0xFF);
  }
  pxo_1500h_cm_record_t rec;
  std::memset(&rec, 0, sizeof(rec));
  Boolean format_flag = false;
  errno_t kept = 0;
  const bool write_once = medium::is_write_once(type);
  r = s->isCorrespondFormat(&rec, &format_flag);
  if (r != 0) {
    if (unreadable) {
      (void)s->set_read_only_status_to_mount_info(0x4000);
      DRV_LOG(INFO, "isReadOnly..mount\n");
      if (write_once || type_value != 0) {
        DRV_LOG(ERR_, "Result(%d)", r);
        return r;
      }
      kept = r;
    } else if (format_flag == 1) {
      DRV_LOG(ERR_, "Unsupported Format. err=%d\n", r);
      raw_mount(s, 0x80000100u, 0x80000, 0xFFFFFFFFu, type, 0);
      DRV_LOG(ERR_, "Result(%d)", drv_err::kNotSupported);
      return drv_err::kNotSupported;
    } else {
      m_1500h_unread = true;
      DRV_LOG(WARN, "Fail to read the 1500H, but processing continues...\n");
      DRV_LOG(INFO, "Result(%d)", 0);
      return 0;
    }
  } else if (write_once || type_value != 0) {
    DRV_LOG(INFO, "Result(%d)", 0);
    return 0;
  }
  const int result = type_info == 0 ? resume_rollback(rec, type, kept) : kept;
  if (result != 0)
    DRV_LOG(ERR_, "Result(%d)", result);
  else
    DRV_LOG(INFO, "Result(%d)", result);
  return result;
}

int client_if::resume_rollback(const pxo_1500h_cm_record_t& rec, std::uint8_t type, int result) {
  storage_scsi* s = storage();
  const std::uint8_t* value = reinterpret_cast<const std::uint8_t*>(&rec.value);
  std::uint16_t slot;
  std::uint64_t address;
  std::memcpy(&slot, value + 42, sizeof(slot));
  std::memcpy(&address, value + 44, sizeof(address));
  DRV_LOG(WARN, "backtrack restart slot:%d adr:0x%llx\n", slot, static_cast<unsigned long long>(address));
  const std::uint16_t crc = calculate_crc(value, 126);
  const std::uint16_t stored = static_cast<std::uint16_t>((value[126] << 8) | value[127]);
  if (slot == 0 || crc != stored) return result;
  if (s->isProtectFormCMorCartridge()) {
    DRV_LOG(WARN, "raw mount...rollback. result=%d\n", result);
    raw_mount(s, 0x80000500u, 0xFFFFFFFFu, 2, type, 0);
    return drv_err::kNotSupported;
  }
  pxo_backtrack_request_t req{};
  req.policy = address != 0 ? 4 : 5;
  req.skip_target = address == 0xFFFFFFFFFFFFFFFFull ? 1 : 0;
  req.clear_rollback = 0;
  return m_service.startBackTrack(reinterpret_cast<caddr_t>(&req), s);
}

int client_if::MountForLastSlot(bool driveVerify) {
  storage_scsi* s = storage();
  DRV_ENTRY();
  const std::uint8_t type = medium_type_or_default();
  Boolean unreadable = false;
  UInt8 type_value = 0;
  UInt16 type_info = 0;
  Boolean slot_read = false;
  (void)s->isCorrespondMedia(&unreadable, &type_value, &type_info, &slot_read);
  m_service.set_StrideFormat_flg(s, false);
  std::uint8_t last_slot = 0;
  Boolean unknown_media = false;
  errno_t r = m_service.last_written_disc_search(s, &last_slot, &unknown_media);
  MDCFS_MOUNT_INFORMATION mi{};
  (void)s->get_mount_info(reinterpret_cast<caddr_t>(&mi));
  int result = 0;
  if (mi.AccessMode == 2) {
    DRV_LOG(WARN, "raw mount...lastwrittendiscsearch\n");
    result = drv_err::kNotSupported;
  } else if (r != 0) {
    if (unknown_media) {
      raw_mount(s, 0x80000020u, kWrprotNotRecordable, 2, type, 0);
      DRV_LOG(ERR_, "Disc load failed. media not present. err=%d\n", r);
      result = drv_err::kNotSupported;
    } else {
      raw_mount(s, 0x80000002u, 1, 2, type, 0);
      DRV_LOG(ERR_, "Disc load failed. drive failure. err=%d\n", r);
      result = drv_err::kNoDevice;
    }
  } else {
    result = mount_last_slot(mi, type, last_slot, slot_read != 0, driveVerify);
  }
  DRV_LOG(INFO, "Result(%d)", result);
  return result;
}

int client_if::mount_last_slot(MDCFS_MOUNT_INFORMATION& mi, std::uint8_t type, std::uint8_t last_slot,
                               bool slot_read, bool driveVerify) {
  storage_scsi* s = storage();
  std::uint8_t cap[12] = {};
  if (errno_t e = s->read_format_capacity(reinterpret_cast<caddr_t>(cap))) {
    DRV_LOG(ERR_, "read_format_capacity failed. err(%d)\n", e);
    return e;
  }
  (void)s->get_mount_info(reinterpret_cast<caddr_t>(&mi));
  if (!slot_read && (mi.WriteProtectReasonFlags & 0x20000u) == 0 && (mi.WriteProtectReasonFlags & 1u) == 0) {
    Boolean set_msn = true, set_wp = false, wp = false;
    (void)s->dtaCtrlModePageUseModeSelectSet(&set_msn, last_slot, &set_wp, &wp);
  }
  if (mi.WriteProtectReasonFlags & 0x80000u) {
    (void)s->set_raw_mount_status_to_mount_info(0x80000500u, 0xFFFFFFFFu, 0, 0xFF, 0xFF);
    DRV_LOG(ERR_, "Slot:%d load success. Readonly mount.\n", last_slot);
    return 0;
  }
  DRV_LOG(INFO, "LastWrittenSlot slot     :%d\n", last_slot);
  DRV_LOG(INFO, "DescriptorCode:%d\n", cap[8] & 3);
  bool formatted = false, cap_err = false, foreign = false;
  errno_t f = m_service.isFormatted(&formatted, &cap_err, &foreign);
  if (foreign) {
    // Never formatted over unasked, never written: not mounted.
    DRV_LOG(ERR_, "Slot:%d holds a volume this system did not format. Not mounted.\n", last_slot);
    raw_mount(s, 0x80000200u, kWrprotNotRecordable, 2, type, 0);
    return drv_err::kNotSupported;
  }
  if (f != 0) {
    formatted = true;
    if (!m_1500h_unread) return f;
  }
  if (formatted) {
    if (m_1500h_unread) {
      m_1500h_unread = false;
      DRV_LOG(ERR_, "Unsupported Format. err=%d\n", f);
      raw_mount(s, 0x80000200u, kWrprotNotRecordable, 2, type, 0);
      return drv_err::kNotSupported;
    }
    return 0;
  }
  if (last_slot != 0) {
    DRV_LOG(ERR_, "Disc is not fomatted, but LastWrittenSlot(%d) is not zero. set RAW.\n", last_slot);
    raw_mount(s, 0x80000001u, 0x80000, 2, type, 0);
    DRV_LOG(ERR_, "System error.Slot %d. Bad Media \n", last_slot);
    return drv_err::kNoDevice;
  }
  return format_blank_disc(mi, type, driveVerify);
}

int client_if::format_blank_disc(MDCFS_MOUNT_INFORMATION& mi, std::uint8_t type, bool driveVerify) {
  storage_scsi* s = storage();
  errno_t e = s->get_mount_info(reinterpret_cast<caddr_t>(&mi));
  if (e != 0) DRV_LOG(ERR_, "get_mount_info failed, but continue. result=%d\n", e);
  if (e == 0 && mi.WriteProtectReasonFlags != 0) {
    DRV_LOG(ERR_, "Media is unformatted.But WriteProtectReasonFlags is on.\n");
    (void)s->set_raw_mount_status_to_mount_info_no_error_report(0x80000010u, 0x100, 2, type, 0);
    medium_condition_unknown(s);
    return KEL_EBLANK;
  }
  std::uint8_t wu = 0;
  e = s->check_writeUnsupport(&wu);
  if (e != 0) {
    DRV_LOG(ERR_, "check_writeUnsupport err.(%d)\n", e);
    return e;
  }
  if (wu) {
    (void)s->set_raw_mount_status_to_mount_info_no_error_report(0x80000010u, 0x300, 2, type, 0);
    medium_condition_unknown(s);
    DRV_LOG(ERR_, "Disc load failed. media not support. err=%d\n", e);
    return KEL_EBLANK;
  }
  DRV_LOG(INFO, "auto_format_retry+++\n");
  Boolean no_default = false;
  (void)s->get_volume_type_config(&no_default);
  if (no_default) return refuse_format_without_volume_type(s, type);
  Boolean serial_known = false;
  e = medium::is_write_once(type) ? m_service.auto_format_retry_wo(false, &serial_known, s, driveVerify)
                                  : m_service.auto_format_retry_re(false, &serial_known, s, false, driveVerify);
  DRV_LOG(INFO, "auto_format_retry---, Result(%d)\n", e);
  if (e == 0) {
    // The format wrote a fresh 1500h record: the disc is this system's.
    m_1500h_unread = false;
    return 0;
  }
  if (serial_known)
    (void)s->set_raw_mount_status_to_mount_info(0x80000001u, 0x80000, 2, type, 0);
  else
    (void)s->set_raw_mount_status_to_mount_info(0x80000020u, 0x4000, 2, type, 0xFF);
  DRV_LOG(ERR_, "Auto format failed. err=%d\n", e);
  medium_condition_unknown(s);
  return e;
}
