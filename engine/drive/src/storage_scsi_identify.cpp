// storage_scsi: finding and identifying the drive, the medium's properties
// and the device start-up.
#include "drive/storage_scsi.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include "platform/sync.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace drv_err;
using drvint::be16;
using drvint::be32;
using drvint::kDirIn;
using drvint::kDirNone;

namespace {
// The mount status of a mount that ended raw on a failed file-system cache,
// and the write-protect reasons that outcome adds.
constexpr std::uint32_t kMountStatusCacheFailed = 0x80000400u;
constexpr std::uint32_t kCacheFailureReasons = 0x80100u;

struct ModelRow {
  const char* name;
  std::size_t compare_len;
  DriveModel model;
};
const ModelRow kModels[] = {
    {"PXO-U2", 6, DriveModel::kPxoU2},     {"QMR-T10A", 8, DriveModel::kT10A},
    {"QMR-T20A", 8, DriveModel::kT20A},    {"QMR-T20B", 8, DriveModel::kT20B},
    {"QMR-T300A", 9, DriveModel::kT300A},  {"QMR-T300B", 9, DriveModel::kT300B},
    {"QMR-T400A", 9, DriveModel::kT400A},  {"QMR-T400B", 9, DriveModel::kT400B},
};

bool is_t400(DriveModel m) { return m == DriveModel::kT400A || m == DriveModel::kT400B; }

// Copies a blank-padded INQUIRY field, without its trailing blanks.
void copy_trimmed(char* dst, const unsigned char* src, std::size_t n) {
  std::size_t len = n;
  while (len > 0 && (src[len - 1] == ' ' || src[len - 1] == '\0')) --len;
  std::memcpy(dst, src, len);
}
}  // namespace

bool medium::is_write_once(std::uint8_t t) {
  switch (t) {
    case 0xE1: case 0xE3: case 0xE5: case 0xE7: case 0xF1: case 0xF2:
      return true;
    default:
      return false;
  }
}

bool medium::is_rewritable(std::uint8_t t) {
  switch (t) {
    case 0x53: case 0xE2: case 0xE4: case 0xE6: case 0xE8:
      return true;
    default:
      return false;
  }
}

DriveModel model_from_product(const char* product) {
  if (product == nullptr) return DriveModel::kNone;
  for (const auto& m : kModels)
    if (std::strncmp(product, m.name, m.compare_len) == 0) return m.model;
  return DriveModel::kNone;
}

// ------------------------------------------------------------ INQUIRY

int storage_scsi::scsi_dev_search(int fd, int loopcnt) {
  DRV_TRACE_FN();
  if (fd < 0 || loopcnt < 0) {
    DRV_LOG(ERR_, "Invalid parameter. fd=%d, loopcnt=%d\n", fd, loopcnt);
    return -1;
  }
  unsigned char cdb[12] = {0x12};
  cdb[4] = 0x24;
  unsigned char ans[37] = {};
  unsigned char sense[16] = {};
  unsigned char status = 0;
  int res = scsi_ioctl(fd, 12, cdb, kDirIn, 36, ans, sizeof(sense), sense, &status);
  res = drvint::data_rule(res, status, sense);
  if (res != 0) {
    DRV_LOG(ERR_, "INQUIRY failed. err(%d), masked_status(%d)\n", res, status);
    return res;
  }
  char vendor[9] = {};
  char product[17] = {};
  std::memcpy(vendor, ans + 8, 8);
  std::memcpy(product, ans + 16, 16);
  if (std::strstr(vendor, "TARN") == nullptr) return -1;
  for (const auto& m : kModels) {
    if (std::strstr(product, m.name) != nullptr) {
      m_devnum = loopcnt;
      return 0;
    }
  }
  return -1;
}

errno_t storage_scsi::inquiry(unsigned char evpd, unsigned char page, unsigned char length, unsigned char* out,
                              std::uint32_t transfer, const char* label, int* rule) {
  unsigned char cdb[12] = {0x12, evpd, page};
  cdb[4] = length;
  Sense s;
  if (int e = send(cdb, 12, kDirIn, transfer, out, s)) return e;
  *rule = drvint::data_rule(s.result, s.status, s.bytes);
  if (*rule != 0) DRV_LOG(ERR_, "%s failed. err(%d), masked_status(%d)\n", label, s.result, s.status);
  return 0;
}

void storage_scsi::keep_identity(const unsigned char* inq, DriveModel model, const std::uint8_t* uid) {
  std::memset(m_product, 0, sizeof(m_product));
  copy_trimmed(m_product, inq + 16, 16);
  m_model = model;
  std::memset(m_serial_cache, 0, sizeof(m_serial_cache));
  m_serial_cache_valid = uid != nullptr;
  delete[] m_cache_inquiry;
  m_cache_inquiry = nullptr;
  if (uid != nullptr) {
    std::memcpy(m_serial_cache, uid, 14);
    m_cache_inquiry = new std::uint8_t[14];
    std::memcpy(m_cache_inquiry, uid, 14);
  }
}

namespace {

// The drive's serial number: the printable bytes of the unit serial number
// page.
void serial_from_page80(const unsigned char* page80, char serial[17]) {
  int n = 0;
  for (int i = 4; i < 20; ++i)
    if (page80[i] > 0x20) serial[n++] = static_cast<char>(page80[i]);
}

void fill_devinfo(pxo_devinfo_t* info, const unsigned char* inq, const char* serial, const std::uint8_t* uid) {
  std::memset(info, 0, sizeof(*info));
  copy_trimmed(info->vendor, inq + 8, 8);
  copy_trimmed(info->product, inq + 16, 16);
  copy_trimmed(info->revision, inq + 32, 4);
  std::memcpy(info->serial, serial, 16);
  if (uid != nullptr) std::memcpy(info->drive_data, uid, 14);
}

}  // namespace

errno_t storage_scsi::get_devinfo_locked(pxo_devinfo_t* info) {
  DRV_TRACE_FN();
  int rule = 0;
  unsigned char inq[37] = {};
  if (errno_t e = inquiry(0, 0, 0x24, inq, 36, "INQUIRY", &rule)) return e;
  if (rule != 0) return rule;
  char product[17] = {};
  std::memcpy(product, inq + 16, 16);
  const DriveModel model = model_from_product(product);
  unsigned char page80[32] = {};
  if (errno_t e = inquiry(0x01, 0x80, is_t400(model) ? 32 : 20, page80, 32, "INQUIRY(80h)", &rule)) return e;
  if (rule != 0) return kIO;
  char serial[17] = {};
  serial_from_page80(page80, serial);
  pxo_mechanism_status_t ms{};
  if (int e = mechanism_status(reinterpret_cast<caddr_t>(&ms))) return e;
  // A loaded disc: the drive's data of page C1h.
  std::uint8_t uid[14] = {};
  bool have_uid = false;
  if (ms.state() == 1) {
    unsigned char c1[18] = {};
    if (errno_t e = inquiry(0x01, 0xC1, 0x12, c1, 18, "INQUIRY(C1h)", &rule)) return e;
    if (rule != 0) return rule;
    std::memcpy(uid, c1 + 4, 14);
    have_uid = true;
  }
  keep_identity(inq, model, have_uid ? uid : nullptr);
  if (info != nullptr) fill_devinfo(info, inq, serial, have_uid ? uid : nullptr);
  return 0;
}

errno_t storage_scsi::get_devinfo(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  pxo_devinfo_t info;
  errno_t res = get_devinfo_locked(&info);
  if (res == 0) std::memcpy(data, &info, sizeof(info));
  return res;
}

bool storage_scsi::check_product_name() {
  DRV_TRACE_FN();
  pxo_devinfo_t info;
  errno_t res = get_devinfo(reinterpret_cast<caddr_t>(&info));
  if (res != 0) {
    DRV_LOG(ERR_, "get_devinfo failed. err[%d]\n", res);
    return false;
  }
  if (model_from_product(m_product) == DriveModel::kNone) {
    DRV_LOG(ERR_, "check_product_name failed. Prod.ID=%s\n", m_product);
    return false;
  }
  return true;
}

bool storage_scsi::get_product_id(char* serial) {
  DRV_TRACE_FN();
  if (serial == nullptr) return false;
  pxo_devinfo_t info;
  if (get_devinfo(reinterpret_cast<caddr_t>(&info)) != 0) return false;
  char s[17] = {};
  std::memcpy(s, info.serial, 16);
  std::memcpy(serial, s, 17);
  DRV_LOG(INFO, "ProductSerialNumer=%s\n", s);
  std::lock_guard<std::mutex> lk(m_config_mutex);
  std::memcpy(m_config.product_serial, s, 17);
  return set_config_locked() == 0;
}

errno_t storage_scsi::getMediumUniqueIdFromINQUIRY(UInt8* id, UInt32 len) {
  DRV_TRACE_FN();
  if (id == nullptr || len <= 13) {
    DRV_LOG(ERR_, "Invalid parameter. id=0x%p, len=%u\n", static_cast<void*>(id), len);
    return kInvalid;
  }
  pxo_mechanism_status_t ms{};
  if (int e = mechanism_status(reinterpret_cast<caddr_t>(&ms))) return e;
  if (ms.state() != 1) {
    std::memset(id, 0, len);
    return 0;
  }
  unsigned char cdb[12] = {0x12, 0x01, 0xC1};
  cdb[4] = 0x12;
  unsigned char c1[18] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 18, c1, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "INQUIRY(C1h) failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  std::memcpy(id, c1 + 4, 14);
  return 0;
}

errno_t storage_scsi::getMediumUniqueID(UInt8* id, UInt32 len) {
  DRV_TRACE_FN();
  if (id == nullptr || len < 32) {
    DRV_LOG(ERR_, "Invalid parameter. id=0x%p, len=%u\n", static_cast<void*>(id), len);
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  std::uint8_t ans[44] = {};
  if (read_attribute_raw(0x0401, 0, ans, sizeof(ans)) == 0) {
    std::memcpy(id, ans + 9, 32);
    return 0;
  }
  DRV_LOG(WARN, "fail ReadAttribute[0401h:MEDIUM SERIAL NUMBER] \n");
  if (m_serial_cache_valid) {
    std::memset(id, 0, len);
    std::memcpy(id, m_serial_cache, 14);
    return 0;
  }
  pxo_mechanism_status_t ms{};
  if (int e = mechanism_status(reinterpret_cast<caddr_t>(&ms))) return e;
  if (ms.state() == 1) {
    // The cache mutex is held: read the device information without it.
    pxo_devinfo_t info;
    errno_t res = get_devinfo_locked(&info);
    if (res != 0) {
      DRV_LOG(ERR_, "Media Unique ID failed. %d\n", res);
      return kIO;
    }
    std::memset(id, 0, len);
    std::memcpy(id, info.drive_data, 14);
    char text[15] = {};
    std::memcpy(text, info.drive_data, 14);
    DRV_LOG(INFO, "Media Unique ID:%s\n", text);
    return 0;
  }
  std::memset(id, 0, len);
  return 0;
}

errno_t storage_scsi::get_slot_info(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  pxo_slot_info_t rec{};
  pxo_mechanism_status_t ms{};
  std::uint8_t slot_count = 0;
  std::uint32_t current;
  if (mechanism_status(reinterpret_cast<caddr_t>(&ms)) == 0) {
    slot_count = ms.slot_count();
    if (ms.state() == 1)
      current = ms.loaded_slot();
    else
      current = 255;
  } else {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    current = m_config.current_slot;
    DRV_LOG(WARN, "mechanism_status failed. set slotnum[%d]\n", static_cast<int>(current));
  }
  rec.current_slot = current;
  std::uint8_t ans[12] = {};
  errno_t res = get_read_attribute(0x0D00, ans, sizeof(ans));
  // The mirror is shared with the other engine threads.
  std::lock_guard<std::mutex> lk(m_config_mutex);
  const std::uint8_t stored_lws = m_config.last_written_slot;
  const std::uint8_t stored_cur = m_config.current_slot;
  if (res == 0) {
    const std::uint8_t attr = ans[9];
    rec.last_written_slot_cm = attr;
    if (attr == stored_lws || stored_lws != stored_cur) {
      m_config.last_written_slot = attr;
      rec.last_written_slot = attr;
      rec.last_written_slot_drive = attr;
    } else {
      rec.last_written_slot = stored_lws;
      rec.last_written_slot_drive = stored_lws;
    }
  } else {
    rec.last_written_slot = stored_lws;
    rec.last_written_slot_drive = stored_lws;
    rec.last_written_slot_cm = 255;
    if (stored_lws < slot_count)
      DRV_LOG(WARN, "ReadAttribute failed. Return lastWrittenSlot is %d \n", stored_lws);
  }
  std::memcpy(data, &rec, sizeof(rec));
  return res;
}

errno_t storage_scsi::get_medium_type(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::uint8_t type = 0;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    int h = config_open_sgdev(drvint::section_name(m_devnum).c_str());
    if (h != 0) {
      int size = 1;
      if (config_get_uint8(h, "Medium Type", &size, &type) < 1) type = 0;
      config_close(h);
    }
  }
  if ((type >= 0xE1 && type <= 0xE8) || type == 0xF1 || type == 0xF2) {
    data[0] = static_cast<char>(type);
    return 0;
  }
  DRV_LOG(WARN, "MediaType unknown(0x%x). retry\n", type);
  return get_medium_type_scsi(data);
}

void storage_scsi::set_device_number(const char* name) {
  if (name == nullptr || std::strlen(name) < 2) return;
  m_devnum = std::atoi(name + 2);
}

void storage_scsi::set_device_name(const char* name) {
  if (name == nullptr) return;
  std::memset(m_devname, 0, sizeof(m_devname));
  const std::size_t len = std::strlen(name);
  const char* from = len > 5 ? name + 5 : name;
  std::strncpy(m_devname, from, 64);
}

void storage_scsi::get_device_name(char* name) const {
  if (name != nullptr) std::memcpy(name, m_devname, 65);
}

errno_t storage_scsi::setDeviceNameForFsCacheAgent(UInt8*, UInt32) { return 0; }

// --------------------------------------------------------- TEST UNIT READY

errno_t storage_scsi::test_unit_ready(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  return test_unit_ready_once(nullptr, nullptr);
}

// One TEST UNIT READY. *attention tells whether the drive answered a unit
// attention (sense key 6), which it reports once per event, *becoming_ready
// whether it answered that its disc is on its way to ready (02/04/01).
errno_t storage_scsi::test_unit_ready_once(bool* attention, bool* becoming_ready) {
  unsigned char cdb[12] = {0x00};
  Sense s;
  if (attention) *attention = false;
  if (becoming_ready) *becoming_ready = false;
  if (int e = send(cdb, 12, kDirNone, 0, nullptr, s)) return e;
  if (s.status == 1) {
    const unsigned key = s.bytes[2] & 0x0F;
    if (attention) *attention = key == 6;
    if (becoming_ready) *becoming_ready = key == 2 && s.bytes[12] == 0x04 && s.bytes[13] == 0x01;
    std::uint32_t io = 0;
    return get_err_from_sensekey_with_ioreturn(s.bytes, &io);
  }
  if (s.result != 0) return s.result;
  return s.status == 0 ? 0 : kIO;
}

errno_t storage_scsi::check_test_unit_ready() {
  DRV_TRACE_FN();
  // A drive reports a unit attention once, on its first command after the
  // event (power-on or reset 06/29/00, a disc change 06/28/00): no failure,
  // it is asked again at once, a few times at most.
  int attentions = 0;
  for (int tries = 1;; ++tries) {
    bool attention = false;
    errno_t res = test_unit_ready_once(&attention, nullptr);
    if (res != 0 && attention && ++attentions <= kReadyAttentions) {
      DRV_LOG(NOTI, "TEST_UNIT_READY unit attention, asked again\n");
      --tries;
      continue;
    }
    if (res != kNotReady) return res;
    if (tries == 3) std::fputs("Checking for media ...\n", stderr);
    if (tries == 30) std::fputs("Checking for media ... Please wait.\n", stderr);
    if (tries >= 59) return kNotReady;
    Sleep(1000);
  }
}

// After a load the drive spins the new disc up, answering 02/04/01 to the
// commands that need it, and then reports the change once with a unit
// attention (06/28/00). The load waits for that here, so that the commands
// that follow it find the disc ready: a unit attention is asked again at
// once; a disc becoming ready is asked again at once the first time (a disc
// that was nearly ready costs no poll), then every kLoadPollMs up to
// kLoadReadyMs. Any other answer ends the wait and is left for those
// commands to meet.
void storage_scsi::wait_ready_after_load() {
  int attentions = 0;
  bool asked_again = false;
  for (std::uint32_t waited = 0;;) {
    bool attention = false, becoming_ready = false;
    const errno_t res = test_unit_ready_once(&attention, &becoming_ready);
    if (res == 0) return;
    if (attention && ++attentions <= kReadyAttentions) continue;
    if (!becoming_ready || waited >= kLoadReadyMs) {
      DRV_LOG(NOTI, "TEST_UNIT_READY after load res[%d]\n", res);
      return;
    }
    if (!asked_again) {
      asked_again = true;
      continue;
    }
    Sleep(kLoadPollMs);
    waited += kLoadPollMs;
  }
}

errno_t storage_scsi::scsi_passthrough(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  const std::uint8_t op = static_cast<std::uint8_t>(data[8]);
  switch (op) {
    case 0x00:
      return test_unit_ready(data);
    case 0x04:
      (void)reset_medium_properties();
      return 0;
    case 0x23:
    case 0xA6:
      return 0;
    default:
      DRV_LOG(ERR_, "unsupported pass-through operation %02X\n", op);
      return kUnknownControl;
  }
}

// --------------------------------------------------------------- start-up

errno_t storage_scsi::read_os_transfer_limit(std::uint16_t* units) {
  DRV_TRACE_FN();
  char path[256];
  std::snprintf(path, sizeof(path), "/sys/block/%s/queue/max_sectors_kb", m_devname);
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) {
    DRV_LOG(NOTI, "os transfer size ng : open NG path %s\n", path);
    return kIO;
  }
  char buf[32] = {};
  const bool ok = std::fgets(buf, sizeof(buf), f) != nullptr;
  std::fclose(f);
  if (!ok) {
    DRV_LOG(NOTI, "os transfer size ng : read NG path %s\n", path);
    return kIO;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long kb = std::strtoul(buf, &end, 10);
  if (errno != 0 || end == buf) {
    DRV_LOG(NOTI, "os transfer size ng : strtoul err read_buff %s\n", buf);
    return kIO;
  }
  const std::uint16_t q = static_cast<std::uint16_t>(kb / 64);
  if (kb == 0 || q == 0) {
    DRV_LOG(NOTI, "os transfer size ng : max_sectors_kb %u\n", static_cast<unsigned>(kb));
    return kIO;
  }
  *units = q;
  return 0;
}

// Waits for the medium: 0 once the drive is ready.
errno_t storage_scsi::wait_for_medium() {
  const errno_t res = check_test_unit_ready();
  if (res == kNotReady) {
    DRV_LOG(ERR_, "TEST_UNIT_READY retry over[%d]\n", res);
    return kNoMedium;
  }
  if (res != 0) DRV_LOG(ERR_, "TEST_UNIT_READY res[%d]\n", res);
  return res;
}

// The drive's clock set, and what was known of the previous medium forgotten.
void storage_scsi::reset_medium_state() {
  if (errno_t e = setCurrentTime()) DRV_LOG(ERR_, "setCurrentTime fail %d/n", e);
  set_sg_num(m_devnum);
  m_write_once = false;
  m_medium_type = medium::kUnknown;
  m_MediumIsWriteProtected = false;
  m_cartridge_write_protect = false;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.medium_condition = 0;
    m_config.current_slot = 255;
  }
  drive_state_changed();
  (void)get_disc_change_threshold();
}

// The medium type from the mode parameter header, asked up to three times
// until a write-once or rewritable type answers.
void storage_scsi::read_medium_type() {
  std::uint8_t type = medium::kUnknown;
  for (int count = 0; count < 3; ++count) {
    unsigned char cdb[12] = {0x5A, 0, 0x01};
    cdb[8] = 0x12;
    unsigned char ans[18] = {};
    Sense s;
    int r = send(cdb, 10, kDirIn, 18, ans, s);
    if (r == 0) r = drvint::data_rule(s.result, s.status, s.bytes);
    if (r != 0) {
      DRV_LOG(ERR_, "MODE_SENSE_10 failed.(%d), masked_status(%d) count(%d)\n", s.result,
              s.status, count);
      type = medium::kUnknown;
      Sleep(1000);
      continue;
    }
    type = ans[2];
    if (medium::is_write_once(type) || medium::is_rewritable(type)) break;
  }
  m_write_once = medium::is_write_once(type);
  m_medium_type = type;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.mount.MediumType = type;
  }
  if (type == medium::kUnknown)
    DRV_LOG(NOTI, "MediumType Unknown.\n");
  else
    DRV_LOG(NOTI, "MediumType[%02X]\n", type);
}

// The write protection of the medium and of the cartridge; the error of
// the mechanism status.
errno_t storage_scsi::read_write_protection() {
  std::uint8_t wp = 0;
  if (check_writeprotected(&wp) == 0) m_MediumIsWriteProtected = wp != 0;
  pxo_mechanism_status_t ms{};
  const errno_t res = mechanism_status(reinterpret_cast<caddr_t>(&ms));
  if (res != 0) {
    DRV_LOG(ERR_, "MechanismStatus ret = 0x%x\n", static_cast<unsigned>(res));
    return res;
  }
  if (ms.bytes[9] & 1) {
    DRV_LOG(NOTI, "Cartridge write protect\n");
    m_cartridge_write_protect = true;
    m_reasons_open = false;
  }
  return 0;
}

// The read and write transfer size, in the units of the drive's block size
// mode page: 1 on the T10A and T20A; else the page's size bounded by what
// the system transfers at once (8 on the larger models, else 1, when that
// limit is unknown), never 0.
errno_t storage_scsi::read_transfer_units(std::uint16_t* units) {
  *units = 1;
  if (m_model == DriveModel::kT10A || m_model == DriveModel::kT20A) return 0;
  pxo_read_write_block_size_mode_page_t page{};
  if (errno_t res = getReadWriteBlockSizeModeSense(&page)) {
    DRV_LOG(ERR_, "MODE_SENSE_10 NG cannot get READ/WRITE Block Size. err=%d\n", res);
    return kPerm;
  }
  std::uint16_t u = page.read_write_block_size;
  std::uint16_t os_units = 0;
  if (read_os_transfer_limit(&os_units) == 0) {
    if (os_units < u) u = os_units;
  } else {
    const bool big = m_model == DriveModel::kT20B || m_model == DriveModel::kT300B ||
                     m_model == DriveModel::kT400B;
    u = big ? 8 : 1;
  }
  *units = u == 0 ? 1 : u;
  return 0;
}

// Whether the drive reports errors by condition: by model and firmware
// revision.
void storage_scsi::decide_alarm_support(const pxo_devinfo_t& info) {
  m_alarm_state = 0;
  char rev[5] = {};
  std::memcpy(rev, info.revision, 4);
  const long revision = std::strtol(rev, nullptr, 10);
  if (revision > 9999) {
    DRV_LOG(WARN, "Product Revision is invalid [%ld]\n", revision);
    return;
  }
  bool supported = false;
  switch (m_model) {
    case DriveModel::kT20A:
    case DriveModel::kT20B: supported = revision > 1651; break;
    case DriveModel::kT300A:
    case DriveModel::kT300B: supported = revision > 794; break;
    case DriveModel::kT400A:
    case DriveModel::kT400B: supported = true; break;
    default: break;
  }
  if (supported) {
    m_alarm_state = 2;
    DRV_LOG(NOTI, "Report error by condition.(setting)\n");
  }
}

// The per-device configuration file, created with its defaults; -1 when it
// cannot be.
errno_t storage_scsi::create_device_config() {
  const std::string section = drvint::section_name(m_devnum);
  int h = config_create(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "qmr_%s.conf file create failed.\n", section.c_str());
    return -1;
  }
  if (config_set_default(h) != 0) {
    DRV_LOG(ERR_, "qmr_%s.conf file set default failed.\n", section.c_str());
    config_close(h);
    return -1;
  }
  config_close(h);
  return 0;
}

errno_t storage_scsi::init() {
  DRV_ENTRY();
  if (errno_t res = wait_for_medium()) return res;
  reset_medium_state();
  read_medium_type();
  if (errno_t res = read_write_protection()) return res;
  m_product_supported = check_product_name();
  if (!m_product_supported) {
    DRV_LOG(ERR_, "Product ID is not supported\n");
    return kPerm;
  }
  pxo_devinfo_t info;
  if (errno_t res = get_devinfo(reinterpret_cast<caddr_t>(&info))) {
    DRV_LOG(ERR_, "get_devinfo failed. err[%d]\n", res);
    return res;
  }
  std::uint16_t units = 1;
  if (errno_t res = read_transfer_units(&units)) return res;
  m_ReadBlockSize = units;
  m_WriteBlockSize = units;
  DRV_LOG(NOTI, "READ/WRITE Block m_ReadBlockSize=%d m_WriteBlockSize=%d\n", m_ReadBlockSize,
          m_WriteBlockSize);
  decide_alarm_support(info);
  if (errno_t res = create_device_config()) return res;
  const errno_t res = set_config();
  DRV_EXIT();
  return res;
}

// ------------------------------------------------------ medium properties

errno_t storage_scsi::determin_medium_properties(bool* undefined) {
  DRV_TRACE_FN();
  bool undef = false;
  char t = 0;
  errno_t res = get_medium_type(&t);
  std::uint8_t type = static_cast<std::uint8_t>(t);
  if (res != 0) type = medium::kUnknown;
  if (!medium::is_write_once(type)) {
    switch (type) {
      case 0x00: case 0x50:
        if (undefined) *undefined = false;
        return 0;
      case 0x51: case 0x52: case 0x53: case 0x55: case 0x56: case 0x57:
      case 0x59: case 0x5A: case 0x5B: case 0xE2: case 0xE4: case 0xE6: case 0xE8:
        break;
      case 0xC2: case 0xD2:
        undef = true;
        break;
      default:
        DRV_LOG(WARN, "Undefined MediumType(%08x)\n", type);
        undef = true;
        type = 0x53;
        break;
    }
  }
  m_medium_type = type;
  m_write_once = medium::is_write_once(type);
  if (undefined) *undefined = undef;
  std::uint8_t uid[32] = {};
  if (errno_t e = getMediumUniqueID(uid, sizeof(uid)))
    DRV_LOG(ERR_, "get Media Unique ID failed. err=%d\n", e);
  else {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    std::memcpy(m_config.medium_unique_id, uid, 32);
  }
  pxo_mechanism_status_t ms{};
  res = mechanism_status(reinterpret_cast<caddr_t>(&ms));
  if (res == 0 && ms.state() == 1) return updateMediaInformation();
  scsi_cache_clear();
  m_dds_error = 0x10000000u;
  m_di_error = 0x10000000u;
  std::memset(m_FAA, 0, sizeof(m_FAA));
  std::memset(m_LAA, 0, sizeof(m_LAA));
  std::memset(m_dds, 0, sizeof(m_dds));
  return 0;
}

errno_t storage_scsi::updateMediaInformation() {
  DRV_TRACE_FN();
  char t = 0;
  errno_t res = get_medium_type(&t);
  if (res != 0) {
    DRV_LOG(ERR_, "get_medium_type failed. Result=%d\n", res);
    return res;
  }
  const std::uint8_t type = static_cast<std::uint8_t>(t);
  if (medium::is_write_once(type)) return 0;
  if (m_dds_error == 0 && m_di_error == 0) return 0;
  if (type == 0xE6) {
    m_FAA[0] = 0x20000;  m_LAA[0] = 0x21137E;
    m_FAA[1] = 0x5EED80; m_LAA[1] = 0x7DFFFE;
    m_FAA[2] = 0x820000; m_LAA[2] = 0xA1137E;
  } else {
    std::uint8_t di[224] = {};
    for (int retry = 0; retry < 3; ++retry) {
      res = readDI(di, sizeof(di));
      if (res == 0) break;
      DRV_LOG(WARN, "readDI. res=%d retry[%d]\n", res, retry);
      if (retry < 2) Sleep(1000);
    }
    if (res != 0) {
      DRV_LOG(ERR_, "read DI failed. err=%d\n", res);
      m_di_error = static_cast<std::uint32_t>(res);
      return res;
    }
    m_di_error = 0;
    if (di[0] == 'D' && di[1] == 'I') {
      m_FAA[0] = be32(di + 16);
      m_LAA[0] = be32(di + 20);
    } else {
      DRV_LOG(WARN, "Disc information for layer 0 is invalid,\n");
      m_FAA[0] = 0x20000;
      m_LAA[0] = (type >= 0x55 && type <= 0x57) ? 0x194E7E : 0x17B48A;
    }
    if (di[4] >= 2 && di[112] == 'D' && di[113] == 'I') {
      m_FAA[1] = be32(di + 112 + 16);
      m_LAA[1] = be32(di + 112 + 20);
    } else {
      DRV_LOG(WARN, "Disc information for layer 1 is invalid,\n");
      m_FAA[1] = 0x26B180;
      m_LAA[1] = 0x3DFFFE;
    }
  }
  std::uint8_t dds[100] = {};
  dds[0] = type;
  res = get_dds(reinterpret_cast<caddr_t>(dds));
  if (res == 0) {
    DRV_LOG(INFO, "get DDS success\n");
    return 0;
  }
  if (m_dds_error == 0x10000000u) {
    DRV_LOG(NOTI, "Defect Unformatted Media. Result=%d\n", res);
    return 0;
  }
  DRV_LOG(ERR_, "get DDS failed. err=%d\n", res);
  return res;
}

errno_t storage_scsi::reset_medium_properties() {
  DRV_TRACE_FN();
  bool undefined = false;
  errno_t res = determin_medium_properties(&undefined);
  if (res != 0) return res;
  return update_medium_state(undefined);
}

// A write-once disc with nothing recorded at its start (a blank disc, or a
// formatted one whose first track is still blank) has no block 0 to read: a
// drive fails that read although the medium is sound.
bool storage_scsi::write_once_start_unrecorded() {
  unsigned char di_cdb[12] = {0x51};
  di_cdb[8] = 32;
  unsigned char di[32] = {};
  Sense s;
  if (send(di_cdb, 12, kDirIn, sizeof di, di, s) == 0 && s.result == 0 && s.status == 0 && (di[2] & 3) == 0)
    return true;
  unsigned char ti_cdb[12] = {0x52, 0x01, 0, 0, 0, 1};
  ti_cdb[8] = 52;
  unsigned char ti[52] = {};
  Sense t;
  return send(ti_cdb, 12, kDirIn, sizeof ti, ti, t) == 0 && t.result == 0 && t.status == 0 && (ti[6] & 0x40) != 0;
}

errno_t storage_scsi::update_medium_state(bool undefined_type) {
  DRV_TRACE_FN();
  const std::uint8_t type = m_medium_type;
  std::uint32_t condition;
  bool store_condition = true;
  if (type == 0x00 || type == 0x50 || (type >= 0x59 && type <= 0x5B)) {
    condition = 0x80000000u;
  } else if (type == 0x51 || type == 0x52 || type == 0x55 || type == 0x56) {
    condition = 2;
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_reasons_open = false;
  } else if (medium::is_write_once(type) && write_once_start_unrecorded()) {
    // Nothing to read at block 0 is no fault of the medium.
    condition = 0;
    store_condition = false;
  } else {
    std::uint32_t io = 0;
    (void)check_medium_status(&io);
    switch (io) {
      case 0: condition = 0; store_condition = false; break;
      case 721: condition = 0x80000001u; break;
      case 741: condition = 1; break;
      default: condition = 0xFFFFFFFFu; break;
    }
  }
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.medium_condition = condition;
    if (store_condition) {
      if (errno_t e = set_config_locked()) DRV_LOG(ERR_, "set_config failed. err=%d\n", e);
    }
  }
  Boolean cm_protect = false;
  (void)isCMWriteProtect(&cm_protect);
  std::lock_guard<std::mutex> lk(m_config_mutex);
  MDCFS_MOUNT_INFORMATION& mi = m_config.mount;
  // A mount that ended raw on a failed file-system cache deleted that cache:
  // the reasons its outcome added (defect 100h, restriction 80000h) ended
  // with it. The medium's own reasons are judged below and after this.
  if (mi.MountStatus == kMountStatusCacheFailed) mi.WriteProtectReasonFlags &= ~kCacheFailureReasons;
  mi.MountStatus = 0;
  mi.AccessMode = 0;
  if (!medium::is_write_once(type)) m_config.media_status = condition == 1 ? 0 : 1;
  mi.VolumeStatus = 0;
  mi.VolumeTypeAndInformationVersion = 2;
  mi.MediumType = type;
  if (!m_reasons_open) {
    if (m_cartridge_write_protect) mi.WriteProtectReasonFlags = 0x400;
    else if (condition == 2) mi.WriteProtectReasonFlags = 0x100;
    else mi.WriteProtectReasonFlags = 1;
  }
  if (cm_protect) mi.WriteProtectReasonFlags |= 0x2000;
  if (!m_product_supported) {
    mi.WriteProtectReasonFlags = 2;
    m_reasons_open = false;
  }
  if (undefined_type) m_reasons_open = false;
  errno_t res = set_config_locked();
  if (res != 0) DRV_LOG(ERR_, "set_config failed. err=%d\n", res);
  return res;
}

errno_t storage_scsi::util_check_medium_condition() {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  MDCFS_MOUNT_INFORMATION& mi = m_config.mount;
  errno_t res = 0;
  switch (m_config.medium_condition) {
    case 1:
      mi.MountStatus = 0x80000010u;
      mi.AccessMode = 2;
      break;
    case 0x80000000u:
      mi.MountStatus = 0x80000020u;
      mi.WriteProtectReasonFlags |= 0x100;
      mi.AccessMode = 2;
      res = kMediumNotAccessible;
      break;
    case 0x80000001u:
      mi.MountStatus = 0x80000030u;
      mi.WriteProtectReasonFlags |= 0x80000;
      mi.AccessMode = 2;
      res = kMediumNotAccessible;
      break;
    case 0xFFFFFFFFu:
      mi.MountStatus = 0x80000001u;
      mi.WriteProtectReasonFlags |= 0x80000;
      mi.AccessMode = 2;
      res = kMediumNotAccessible;
      break;
    case 0:
      break;
    default:
      DRV_LOG(WARN, "MediaCondition[0x%08x]\n", m_config.medium_condition);
      break;
  }
  if (m_config.rec_inhibit != 0) {
    mi.WriteProtectReasonFlags |= 0x40000;
    res = kReadOnly;
  }
  if (res != 0) {
    errno_t e = set_config_locked();
    DRV_LOG(INFO, "set_config() Result[%d]\n", e);
  }
  return res;
}

// ------------------------------------------------------ configuration accessors

void storage_scsi::set_reformat_flg(std::uint32_t v) {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  m_config.re_reformat = v;
  if (errno_t e = set_config_locked()) DRV_LOG(ERR_, "set_config failed. err=%d\n", e);
}

errno_t storage_scsi::set_before_access_mode(std::uint32_t* v) {
  DRV_TRACE_FN();
  if (v == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(v));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_config_mutex);
  m_config.before_access_mode = *v;
  errno_t e = set_config_locked();
  if (e) DRV_LOG(ERR_, "set_config failed. err=%d\n", e);
  return e;
}

errno_t storage_scsi::get_before_access_mode(std::uint32_t* v) {
  DRV_TRACE_FN();
  if (v == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(v));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_config_mutex);
  errno_t e = get_config_locked();
  *v = m_config.before_access_mode;
  return e;
}

std::uint8_t storage_scsi::get_volume_type_config(Boolean* failed) {
  DRV_TRACE_FN();
  if (failed) *failed = false;
  if (m_volume_type_1500h != 0xFF) return m_volume_type_1500h;
  std::lock_guard<std::mutex> lk(m_config_mutex);
  if (get_config_locked() != 0) {
    if (failed) *failed = true;
    return 0xFF;
  }
  m_volume_type_1500h = m_config.volume_type;
  return m_volume_type_1500h;
}

void storage_scsi::config_lock(bool lock) {
  if (lock) m_config_mutex.lock();
  else m_config_mutex.unlock();
}
