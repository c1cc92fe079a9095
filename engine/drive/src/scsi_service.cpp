// Medium-level services of the drive client: formatted and finalized checks,
// the search for the disc written last, the automatic-format retries and the
// forwarding of format, erase and backtrack requests to the service of the
// medium's class.
#include "drive/scsi_service.h"

#include "cm_data_internal.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr std::uint32_t kArea = 65536;        // one piece: 32 sectors
constexpr std::uint32_t kAreaF2 = 4 * 65536;  // 128 sectors on F2h
constexpr std::uint32_t kSector = 2048;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void put_le16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put_le32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Mechanism {
  errno_t err = 0;
  std::uint8_t loaded = 0;
  std::uint8_t state = 0;
  std::uint8_t slots = 0;
};
Mechanism read_mechanism(storage_scsi* s) {
  pxo_mechanism_status_t ms{};
  Mechanism m;
  m.err = s->mechanism_status(reinterpret_cast<caddr_t>(&ms));
  m.loaded = ms.loaded_slot();
  m.state = ms.state();
  m.slots = ms.slot_count();
  return m;
}

}  // namespace

bool media::sound_tag(const std::uint8_t* d, std::uint16_t id, std::uint32_t lsn) {
  if (le16(d) != id || le32(d + 12) != lsn) return false;
  std::uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<std::uint8_t>(sum + d[i]);
  const std::uint16_t len = le16(d + 10);
  return sum == d[4] && len <= kSector - 16 && calculate_crc(d + 16, len) == le16(d + 8);
}

scsi_service::scsi_service() = default;

scsi_service::~scsi_service() = default;

void scsi_service::set_storage(storage_scsi* pscsi) {
  if (pscsi == nullptr) return;
  if (m_storage_scsi == nullptr) m_storage_scsi = pscsi;
  m_wo.set_storage_scsi(pscsi);
  m_re.set_storage_scsi(pscsi);
}

bool scsi_service::check_data_zero(const std::uint8_t* data, int length) {
  if (data == nullptr || length < 0) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p, length=%d\n", static_cast<const void*>(data), length);
    return false;
  }
  for (int i = 0; i < length; ++i)
    if (data[i] != 0) return false;
  return true;
}

errno_t scsi_service::read_area(std::uint32_t lsn, std::uint8_t* data) {
  pxo_buf bp{};
  bp.blkno = lsn;
  bp.count = bp.bufsize = kArea;
  bp.data = data;
  return m_storage_scsi->pxo_read10(&bp);
}

errno_t scsi_service::isFormatted(bool* mediaFormatted, bool* isReadFormatCapacityErr, bool* foreignVolume) {
  DRV_TRACE_FN();
  if (mediaFormatted == nullptr || isReadFormatCapacityErr == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. mediaFormatted=0x%p, isReadFormatCapacityErr=0x%p\n",
            static_cast<void*>(mediaFormatted), static_cast<void*>(isReadFormatCapacityErr));
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    *mediaFormatted = true;
    return drv_err::kInvalid;
  }
  if (foreignVolume) *foreignVolume = false;
  char type = 0;
  errno_t res = m_storage_scsi->get_medium_type(&type);
  if (res != 0) {
    DRV_LOG(ERR_, "get_medium_type failed. err(%d)\n", res);
    *mediaFormatted = true;
    return res;
  }
  const std::uint8_t mtype = static_cast<std::uint8_t>(type);
  std::uint8_t cap[12] = {};
  res = m_storage_scsi->read_format_capacity(reinterpret_cast<caddr_t>(cap));
  const unsigned descriptor = cap[8] & 3u;
  if (m_write_once) {
    if (res != 0) {
      *isReadFormatCapacityErr = true;
      DRV_LOG(INFO, "failed READ_FORMAT_CAPACITIES. (%d)\n", res);
      *mediaFormatted = true;
      return res;
    }
    if (descriptor == 1) {
      DRV_LOG(ERR_, "Medium Type is WO, unformat media(READ_FORMAT_CAPACITIES unformatted). return(%d)\n", res);
      *mediaFormatted = false;
      return 0;
    }
    return write_once_formatted(mediaFormatted, foreignVolume);
  }
  if (res != 0) {
    *isReadFormatCapacityErr = true;
    *mediaFormatted = true;
    return res;
  }
  if (descriptor == 1) {
    DRV_LOG(ERR_, "Medium Type is RE, unformat media(READ_FORMAT_CAPACITIES unformatted). return(%d)\n", res);
    *mediaFormatted = false;
    return 0;
  }
  return rewritable_formatted(drvint::be32(cap + 4), mtype, mediaFormatted, foreignVolume);
}

errno_t scsi_service::write_once_formatted(bool* mediaFormatted, bool* foreignVolume) {
  pxo_disc_info_t di{};
  di.datatype = 0;
  errno_t res = m_storage_scsi->read_disc_info(reinterpret_cast<caddr_t>(&di), true);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&di);
  const unsigned last_track = (static_cast<unsigned>(raw[15]) << 8) | raw[10];
  if (res == 0 && last_track == 2) {
    *mediaFormatted = true;
    return 0;
  }
  if (res != 0) {
    DRV_LOG(ERR_, "Medium Type is WO, unformat media(Track #2 not exist). return(%d)\n", res);
    *mediaFormatted = false;
    return res;
  }
  // One track: blank, or this system's format cut short, is formatted (again);
  // blocks another program recorded, or ones that cannot be read, never are.
  bool own = false;
  if (errno_t e = m_wo.track1_holds_own_format(&own)) {
    DRV_LOG(ERR_, "Medium Type is WO, track 1 cannot be read. return(%d)\n", e);
    *mediaFormatted = true;
    return e;
  }
  if (!own) {
    DRV_LOG(ERR_, "Medium Type is WO, a volume this system did not format.\n");
    if (foreignVolume) *foreignVolume = true;
    *mediaFormatted = true;
    return 0;
  }
  DRV_LOG(ERR_, "Medium Type is WO, unformat media(Track #2 not exist). return(%d)\n", 0);
  *mediaFormatted = false;
  return 0;
}

bool scsi_service::anchored_sequence(const std::uint8_t* anchor, std::uint32_t blocks) {
  if (!media::sound_tag(anchor, 2, 256)) return false;
  std::unique_ptr<std::uint8_t[]> area(new (std::nothrow) std::uint8_t[kArea]);
  if (!area) return false;
  for (std::uint32_t extent : {16u, 24u}) {
    const std::uint32_t length = le32(anchor + extent) / kSector, loc = le32(anchor + extent + 4);
    if (length == 0 || loc >= blocks || blocks - loc < kArea / kSector) continue;
    std::memset(area.get(), 0, kArea);
    if (read_area(loc, area.get()) != 0) continue;
    for (std::uint32_t i = 0; i < std::min(length, kArea / kSector); ++i)
      if (media::sound_tag(area.get() + i * kSector, 1, loc + i)) return true;
  }
  return false;
}

errno_t scsi_service::rewritable_formatted(std::uint32_t n, std::uint8_t mtype, bool* mediaFormatted,
                                           bool* foreignVolume) {
  std::unique_ptr<std::uint8_t[]> area(new (std::nothrow) std::uint8_t[kArea]);
  if (!area) {
    DRV_LOG(ERR_, "malloc failed.\n");
    *mediaFormatted = true;
    return drv_err::kNoMemory;
  }
  struct Step {
    std::uint32_t lsn;
    const char* message;
  };
  const Step steps[] = {
      {0, "Medium Type is RE, unformat media(VRS all zero). return(%d)\n"},
      {256, "Medium Type is RE, unformat media(AVDP1/MVDS all zero). return(%d)\n"},
      {n - (mtype == 0xF2 ? 129u : 33u), "Medium Type is RE, unformat media(RVDS/AVDP3 all zero). return(%d)\n"},
  };
  // The automatic format writes the areas at 256 and 0 last: an anchor
  // there that names a descriptor sequence belongs to a volume another
  // program made, never to a format of this system that was cut short.
  bool anchored = false;
  for (const Step& s : steps) {
    std::memset(area.get(), 0, kArea);
    if (s.lsn >= n) {
      *mediaFormatted = true;
      return drv_err::kInvalid;
    }
    const errno_t res = read_area(s.lsn, area.get());
    if (res != 0) {
      *mediaFormatted = true;
      return res;
    }
    if (check_data_zero(area.get(), static_cast<int>(kArea))) {
      if (anchored) {
        DRV_LOG(ERR_, "Medium Type is RE, a volume this system did not format (RVDS/AVDP3 all zero).\n");
        if (foreignVolume) *foreignVolume = true;
        *mediaFormatted = true;
        return 0;
      }
      DRV_LOG(ERR_, s.message, 0);
      *mediaFormatted = false;
      return 0;
    }
    if (s.lsn == 256) anchored = anchored_sequence(area.get(), n);
  }
  *mediaFormatted = true;
  return 0;
}

bool scsi_service::isLVIDFinalized(std::uint32_t* msln_wd) {
  DRV_TRACE_FN();
  if (msln_wd == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. msln_wd=0x%p\n", static_cast<void*>(msln_wd));
    return false;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return false;
  }
  std::unique_ptr<std::uint8_t[]> area(new (std::nothrow) std::uint8_t[kArea]());
  if (!area) {
    DRV_LOG(ERR_, "malloc failed.\n");
    return false;
  }
  std::uint8_t* a = area.get();
  if (read_area(256, a) != 0 || le16(a) != 2) return false;
  const std::uint32_t main_loc = le32(a + 20);
  const std::uint32_t reserve_loc = le32(a + 28);
  std::memset(a, 0, kArea);
  if (read_area(main_loc, a) != 0) {
    std::memset(a, 0, kArea);
    if (read_area(reserve_loc, a) != 0) return false;
  }
  std::uint32_t msln = 0;
  std::uint32_t integrity = 0;
  bool have_integrity = false;
  for (std::uint32_t i = 0; i < kArea / kSector; ++i) {
    const std::uint8_t* d = a + i * kSector;
    const std::uint16_t id = le16(d);
    if (id == 1) {
      msln = le16(d + 58);
    } else if (id == 6) {
      integrity = le32(d + 436);
      have_integrity = true;
    } else if (id == 8) {
      break;
    }
  }
  *msln_wd = msln;
  if (!have_integrity) return false;
  std::memset(a, 0, kArea);
  errno_t res = read_area(integrity, a);
  if (res != 0) {
    DRV_LOG(ERR_, "LVID read failed. err(%d)\n", res);
    return false;
  }
  if (le16(a) != 9) return false;
  const std::uint64_t partitions = le32(a + 72);
  const std::uint64_t at = 108 + 8 * partitions;
  if (at >= kSector) return false;
  return a[at] == 3;
}

errno_t scsi_service::set_slot_info(caddr_t slotinfo) {
  if (slotinfo == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. slotinfo=0x%p\n", static_cast<void*>(slotinfo));
    return drv_err::kInvalid;
  }
  m_current_slot = static_cast<std::uint8_t>(slotinfo[0]);
  storage_scsi::drive_state_changed();
  return 0;
}

void scsi_service::setNextSlotLoad(std::uint8_t* slot) {
  if (slot == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. slot=0x%p\n", static_cast<void*>(slot));
    return;
  }
  DRV_LOG(INFO, "Next Slot Load:%d\n", *slot);
  m_current_slot = *slot;
  if (m_storage_scsi == nullptr) return;
  pxo_slot_info_t si{};
  std::uint32_t last_written = 255;
  errno_t res = m_storage_scsi->get_slot_info(reinterpret_cast<caddr_t>(&si));
  if (res != 0)
    DRV_LOG(DEBG, "get_slot_info error. err=%d\n", res);
  else
    last_written = si.last_written_slot;
  if (*slot >= last_written) (void)m_storage_scsi->rebuildDefectBitmap();
}

errno_t scsi_service::startBackTrack(caddr_t data, storage_scsi* pscsi) {
  if (data == nullptr || pscsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p, pscsi=0x%p\n", static_cast<void*>(data),
            static_cast<void*>(pscsi));
    return drv_err::kInvalid;
  }
  errno_t res = m_re.startBackTrack(data, pscsi);
  std::uint8_t slot = m_re.get_slot_number();
  setNextSlotLoad(&slot);
  return res;
}

errno_t scsi_service::getBackTrackInformation(caddr_t data) {
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return drv_err::kInvalid;
  }
  return m_re.getBackTrackInformation(data);
}

errno_t scsi_service::resetBackTrackInformation() { return m_re.resetBackTrackInformation(); }

errno_t scsi_service::reFormat(caddr_t data, storage_scsi* pscsi) {
  if (data == nullptr || pscsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p, pscsi=0x%p\n", static_cast<void*>(data),
            static_cast<void*>(pscsi));
    return drv_err::kInvalid;
  }
  return m_re.reFormat(data, pscsi);
}

void scsi_service::set_reformat_state(bool on) { m_re.set_format_flg(on); }

errno_t scsi_service::get_AutoFormatted_flag(caddr_t data) {
  if (data == nullptr) {
    DRV_LOG(CRIT, "data == NULL");
    return drv_err::kInvalid;
  }
  return m_write_once ? m_wo.get_AutoFormatted_flag(data) : m_re.get_AutoFormatted_flag(data);
}

errno_t scsi_service::getMediumSerialNum(UInt8* serial) {
  if (serial == nullptr) {
    DRV_LOG(ERR_, "getMediumSerialNum [null].");
    return drv_err::kInvalid;
  }
  return m_write_once ? m_wo.getMediumSerialNum(serial) : m_re.getMediumSerialNum(serial);
}

errno_t scsi_service::reserveTrackAndWriteLastAVDP(pxo_auto_format_last_info_t* info) {
  if (info == nullptr) {
    DRV_LOG(ERR_, "m_autoFormatLastInfo [null].");
    return drv_err::kInvalid;
  }
  if (!m_write_once) {
    DRV_LOG(ERR_, "illegal operation. mediaType is not WO.");
    return 0;
  }
  return m_wo.reserveTrackAndWriteLastAVDP(info);
}

void scsi_service::set_StrideFormat_flg(storage_scsi* pscsi, bool on) {
  if (pscsi == nullptr) {
    DRV_LOG(ERR_, "m_storage_scsi [null].");
  } else {
    set_storage(pscsi);
    char type = 0;
    if (pscsi->get_medium_type(&type) == 0) m_write_once = medium::is_write_once(static_cast<std::uint8_t>(type));
  }
  if (m_write_once)
    m_wo.set_StrideFormat_flag(on);
  else
    m_re.set_StrideFormat_flag(on);
}

errno_t scsi_service::getMediumUniqueIdFromINQUIRY(UInt8* id, UInt32 length) {
  if (id == nullptr) {
    DRV_LOG(CRIT, "mediumUniqueId == NULL");
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  return m_storage_scsi->getMediumUniqueIdFromINQUIRY(id, length);
}

void scsi_service::printLogMediumUniqueId(UInt8 from, UInt8 to) {
  if (m_storage_scsi == nullptr) return;
  UInt8 id[14] = {};
  errno_t res = m_storage_scsi->getMediumUniqueIdFromINQUIRY(id, sizeof(id));
  if (res != 0) {
    DRV_LOG(CRIT, "DISC CHANGE:%d -> %d. But Slot:%d get Medium Unique ID from INQUIRY failed. Result = 0x%x\n",
            from, to, to, res);
    return;
  }
  DRV_LOG(WARN,
          "DISC CHANGE:%d -> %d MediumUniqueID:%02d%02d%02d%02d%02d%02d%02d%02d%02d%02d%02d%02d%02d%02d\n",
          from, to, id[0], id[1], id[2], id[3], id[4], id[5], id[6], id[7], id[8], id[9], id[10], id[11],
          id[12], id[13]);
}

// ------------------------------------------------------------ automatic format

errno_t scsi_service::auto_format_request(caddr_t formatinfo) {
  DRV_TRACE_FN();
  if (formatinfo == nullptr || m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. formatinfo=0x%p, m_storage_scsi=0x%p\n", static_cast<void*>(formatinfo),
            static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  pxo_auto_format_request_t req;
  std::memcpy(&req, formatinfo, sizeof(req));
  auto* info = reinterpret_cast<pxo_auto_format_request_t*>(formatinfo);
  char type = 0;
  if (m_storage_scsi->get_medium_type(&type) == 0) m_write_once = medium::is_write_once(static_cast<std::uint8_t>(type));
  m_request_time = req.request_time;
  m_request_serial = req.request_serial;
  const bool drive_verify = req.drive_verify != 0;
  auto* attributes = reinterpret_cast<pxo_attribute_data_t*>(static_cast<std::uintptr_t>(req.attribute_data));
  scsi_service_cm& chosen = m_write_once ? static_cast<scsi_service_cm&>(m_wo) : static_cast<scsi_service_cm&>(m_re);
  chosen.init(m_storage_scsi, m_current_slot, m_request_serial,
              reinterpret_cast<std::uint8_t*>(&info->request_time), attributes);
  chosen.set_StrideFormat_flag(true);
  m_storage_scsi->set_request_volume_type(req.volume_type);
  errno_t res;
  if (req.all_erase != 0) {
    res = m_write_once ? m_wo.all_erase(&info->all_erase_info, drive_verify)
                       : m_re.all_erase(&info->all_erase_info, req.all_erase_nwa, drive_verify);
    if (res == 0)
      chosen.set_AutoFormatted_flag(true);
    else
      DRV_LOG(ERR_, "all erase failed. err(%d)\n", res);
  } else {
    Boolean serial_known = false;
    res = m_write_once ? auto_format_retry_wo(req.first_flag != 0, &serial_known, nullptr, drive_verify)
                       : auto_format_retry_re(req.first_flag != 0, &serial_known, nullptr, req.re_format != 0,
                                              drive_verify);
    if (res != 0) {
      MDCFS_MOUNT_INFORMATION mi{};
      (void)m_storage_scsi->get_mount_info(reinterpret_cast<caddr_t>(&mi));
      errno_t r = serial_known
                      ? m_storage_scsi->set_raw_mount_status_to_mount_info(0xFFFFFFFFu, 0xFFFFFFFFu, 2, 0xFF, 0xFF)
                      : m_storage_scsi->set_raw_mount_status_to_mount_info(0x80000020u, 0x4000, 2,
                                                                           static_cast<std::uint8_t>(type), 0xFF);
      if (r != 0)
        DRV_LOG(ERR_, "set_raw_mount_status_to_mount_info failed. get_msn=%d err=%d\n", serial_known ? 1 : 0, r);
      DRV_LOG(ERR_, "auto format failed. err(%d)\n", res);
    }
  }
  chosen.set_StrideFormat_flag(false);
  return res;
}

errno_t scsi_service::auto_format_retry_re(bool flag, Boolean* serialKnown, storage_scsi* pscsi, bool formatFlag,
                                           bool driveVerify) {
  DRV_TRACE_FN();
  (void)formatFlag;
  if (serialKnown == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. get_msn=0x%p\n", static_cast<void*>(serialKnown));
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  errno_t res = 0;
  bool wrote = false;
  std::uint8_t slot = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool skip_realloc = wrote;
    wrote = false;
    res = m_re.auto_format(flag, serialKnown, pscsi, skip_realloc, &wrote, driveVerify);
    if (res == 0) {
      DRV_LOG(INFO, "auto format success. Result(%d)\n", res);
      if (!m_re.get_StrideFormat_flag()) m_re.set_AutoFormatted_flag(true);
      errno_t c = m_storage_scsi->init_config();
      if (c != 0) {
        DRV_LOG(ERR_, "init_config failed. err=%d\n", c);
        return c;
      }
      return 0;
    }
    DRV_LOG(INFO, "auto format failed. Result(%d)\n", res);
    if (!*serialKnown) {
      DRV_LOG(ERR_, "unknown medium serial number, auto format stop. Result(%d)\n", res);
      return res;
    }
    if (m_re.get_slot_number() != 0) slot = m_re.get_slot_number();
    DRV_LOG(INFO, "auto format retry. slot(%d)\n", slot);
  }
  return res;
}

namespace {
// Writes `size` bytes at lsn with WRITE(10).
errno_t write_area(storage_scsi* s, std::uint32_t lsn, std::uint8_t* data, std::uint32_t size) {
  pxo_buf bp{};
  bp.blkno = lsn;
  bp.count = bp.bufsize = size;
  bp.data = data;
  return s->pxo_write10_for_buf(&bp, 0);
}
}  // namespace

namespace {

// Track 2 of a medium that is not padded by the drive: its nine 64 KiB
// units before the disc's end written from `area` and flushed.
errno_t write_track2_units(storage_scsi* s, std::uint32_t n, std::vector<std::uint8_t>& area) {
  char dummy = 0;
  for (std::uint32_t k = 0; k < 9; ++k) {
    if (errno_t e = write_area(s, n - 288 + 32 * k, area.data(), kArea)) {
      DRV_LOG(ERR_, "pxo_write10 failed. err=%d\n", e);
      (void)s->synchronize_cache(&dummy);
      return e;
    }
  }
  if (errno_t e = s->synchronize_cache(&dummy)) {
    DRV_LOG(ERR_, "synchronize_cache failed. err=%d\n", e);
    return e;
  }
  return 0;
}

// The last anchor in the sector at `avdp`: at block n - 1, naming both
// descriptor sequences of the medium's layout.
void put_last_anchor(std::uint8_t* avdp, std::uint32_t n, std::uint16_t serial, bool f2) {
  std::memset(avdp, 0, kSector);
  put_le16(avdp + 0, 2);
  put_le16(avdp + 2, 3);
  put_le16(avdp + 6, serial);
  put_le32(avdp + 12, n - 1);
  put_le32(avdp + 16, 0x8000);
  put_le32(avdp + 20, f2 ? 384 : 288);
  put_le32(avdp + 24, 0x8000);
  put_le32(avdp + 28, f2 ? 512 : 304);
  scsi_service_cm::CalcDescriptorCRCAndChecksum(avdp, 512);
}

// The end area written at `first_lsn` (its range reserved first on F2h)
// and flushed, in up to ten attempts, then verified unless the drive
// verifies; a failed verify ends the attempts.
errno_t write_end_area(storage_scsi* s, std::uint32_t first_lsn, std::vector<std::uint8_t>& area, bool f2,
                       bool driveVerify) {
  char dummy = 0;
  const std::uint32_t area_size = static_cast<std::uint32_t>(area.size());
  const std::uint32_t area_sectors = area_size / kSector;
  errno_t e = 0;
  int tries = 0;
  for (; tries < 10; ++tries) {
    if (f2) {
      pxo_reserve_write_t r{first_lsn, area_sectors};
      e = s->reserve_write_range(reinterpret_cast<caddr_t>(&r));
      if (e != 0) {
        DRV_LOG(ERR_, "reserve_write_range failed. err=%d\n", e);
        (void)s->synchronize_cache(&dummy);
        continue;
      }
    }
    e = write_area(s, first_lsn, area.data(), area_size);
    if (e != 0) {
      DRV_LOG(ERR_, "pxo_write10 failed. err=%d\n", e);
      errno_t c = s->synchronize_cache(&dummy);
      if (c != 0) DRV_LOG(ERR_, "synchronize_cache failed. err=%d\n", c);
      continue;
    }
    e = s->synchronize_cache(&dummy);
    if (e != 0) {
      DRV_LOG(ERR_, "synchronize_cache failed. err=%d\n", e);
      continue;
    }
    if (driveVerify) {
      DRV_LOG(INFO, "Verify skip for Drive Verify\n");
    } else {
      pxo_verify_range_t v{first_lsn, static_cast<std::uint16_t>(area_sectors), 0};
      e = s->verify_range(reinterpret_cast<caddr_t>(&v));
      if (e != 0) {
        DRV_LOG(ERR_, "verify_range failed. err=%d\n", e);
        return e;
      }
    }
    break;
  }
  if (tries == 10) DRV_LOG(ERR_, "retry NG. retry_count=%d\n", tries);
  return e;
}

}  // namespace

bool scsi_service::wo_track2_reserved() {
  pxo_track_info_t t{};
  t.track_no = 2;
  return m_storage_scsi->read_track_info(reinterpret_cast<caddr_t>(&t)) == 0;
}

errno_t scsi_service::wo_end_area_recovery(std::uint8_t type, std::vector<std::uint8_t>& area, bool driveVerify) {
  storage_scsi* s = m_storage_scsi;
  const bool f2 = type == 0xF2;
  const std::uint32_t area_sectors = static_cast<std::uint32_t>(area.size()) / kSector;
  if (!m_wo.get_StrideFormat_flag()) m_wo.set_AutoFormatted_flag(true);
  std::uint64_t count = 0;
  errno_t e = s->get_block_count(reinterpret_cast<caddr_t>(&count));
  if (e != 0) {
    DRV_LOG(ERR_, "get_block_count failed. err=%d\n", e);
    return e;
  }
  if (count < media::min_write_once_blocks(type)) {
    DRV_LOG(ERR_, "disc too small for a volume. blocks=%llu\n", static_cast<unsigned long long>(count));
    return drv_err::kInvalid;
  }
  const std::uint32_t n = static_cast<std::uint32_t>(count);
  if (type == 0xE5 || type == 0xF1 || type == 0xF2) {
    e = m_wo.autoFormatLOWInitTrack(2, n);
    if (e != 0) {
      DRV_LOG(ERR_, "Failed to Padding, Track#2 LSN N-0x80 to N. Status=%08X", e);
      return e;
    }
    DRV_LOG(INFO, "DBG AD TRACK2 SUCCESS\n");
  } else if ((e = write_track2_units(s, n, area)) != 0) {
    return e;
  }
  // The end area ends with the disc: its last sector, the anchor, is N - 1.
  put_last_anchor(area.data() + (area_sectors - 1) * kSector, n, m_request_serial, f2);
  return write_end_area(s, n - area_sectors, area, f2, driveVerify);
}

errno_t scsi_service::wo_pad_track1(std::uint8_t type, std::uint32_t nwa, std::vector<std::uint8_t>& area) {
  storage_scsi* s = m_storage_scsi;
  char dummy = 0;
  if (nwa > 4351) return 0;
  if (type == 0xE5 || type == 0xF1 || type == 0xF2) {
    errno_t e = m_wo.autoFormatLOWInitTrack(1, 0x1100);
    if (e != 0) DRV_LOG(ERR_, "Failed to Padding, Track#1 LSN 0-0x1100 to N. Status=%08X", e);
    return e;
  }
  std::fill(area.begin(), area.end(), 0);
  for (std::uint32_t lsn = nwa; lsn < 4352; lsn += 32) {
    errno_t e = write_area(s, lsn, area.data(), kArea);
    if (e != 0) {
      DRV_LOG(ERR_, "pxo_write10 failed. err=%d\n", e);
      (void)s->synchronize_cache(&dummy);
      return e;
    }
  }
  errno_t e = s->synchronize_cache(&dummy);
  if (e != 0) DRV_LOG(ERR_, "synchronize_cache failed. err=%d\n", e);
  return e;
}

errno_t scsi_service::auto_format_retry_wo(bool flag, Boolean* serialKnown, storage_scsi* pscsi, bool driveVerify) {
  DRV_TRACE_FN();
  if (serialKnown == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. get_msn=0x%p\n", static_cast<void*>(serialKnown));
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  storage_scsi* s = m_storage_scsi;
  char type_c = 0;
  errno_t res = s->get_medium_type_scsi(&type_c);
  if (res != 0) {
    DRV_LOG(ERR_, "get_medium_type failed. err=%d\n", res);
    return res;
  }
  const std::uint8_t type = static_cast<std::uint8_t>(type_c);
  std::vector<std::uint8_t> area;
  try {
    area.assign(type == 0xF2 ? kAreaF2 : kArea, 0);
  } catch (const std::bad_alloc&) {
    DRV_LOG(ERR_, "malloc failed.\n");
    return drv_err::kNoMemory;
  }
  bool first = flag;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::fill(area.begin(), area.end(), 0);
    std::uint32_t steps = 0;
    if (m_wo.get_StrideFormat_flag()) {
      DRV_LOG(INFO, "call auto_format_for_stride\n");
      res = m_wo.auto_format_for_stride(&steps, first, serialKnown, pscsi, driveVerify);
    } else {
      DRV_LOG(INFO, "call auto_format\n");
      res = m_wo.auto_format(&steps, first, serialKnown, pscsi, driveVerify);
    }
    if (res == 0) {
      DRV_LOG(INFO, "auto format success. loopcnt=%d\n", attempt);
      if (!m_wo.get_StrideFormat_flag()) m_wo.set_AutoFormatted_flag(true);
      errno_t c = s->init_config();
      if (c != 0) DRV_LOG(ERR_, "init_config failed. err=%d\n", c);
      return c;
    }
    // A disc that holds blocks another program recorded (or whose track 1
    // cannot be read) is left as it is: nothing is padded or written again.
    if (m_wo.disc_refused()) return res;
    // The format gave up at the end of the medium once track 2 exists: only
    // the end area and its last anchor are written again. (The progress
    // counter cannot tell: with drive verify on it counts no VERIFY.)
    if (*serialKnown && wo_track2_reserved()) {
      DRV_LOG(WARN, "autoformat failed[%d] after track 2 was reserved. steps=%u\n", res, steps);
      return wo_end_area_recovery(type, area, driveVerify);
    }
    if (!*serialKnown) {
      DRV_LOG(WARN, "get_msn[%d]\n", 0);
      return res;
    }
    pxo_track_info_t ti{};
    ti.track_no = 1;
    errno_t e = s->read_track_info(reinterpret_cast<caddr_t>(&ti));
    if (e != 0) {
      DRV_LOG(ERR_, "read_track_info failed. err=%d\n", e);
      return e;
    }
    const std::uint32_t nwa = ti.track_info.NextWritableAddress;
    DRV_LOG(WARN, "autoformat failed[%d]. read_track_info NWA[%d]\n", res, static_cast<int>(nwa));
    if (errno_t pe = wo_pad_track1(type, nwa, area)) return pe;
    first = true;
  }
  return res;
}

// ------------------------------------------------------------ last written slot

errno_t scsi_service::set_read_only_one() {
  errno_t r = m_storage_scsi->set_read_only_status_to_mount_info(1);
  if (r != 0) DRV_LOG(ERR_, "set_read_only_flag_to_mount_info failed. err=%d\n", r);
  return r;
}

errno_t scsi_service::last_written_disc_search(storage_scsi* pscsi, std::uint8_t* lastslot, Boolean* isUnknownMedia) {
  DRV_TRACE_FN();
  if (pscsi == nullptr || lastslot == nullptr || isUnknownMedia == nullptr) {
    DRV_LOG(ERR_, "invalid parameter. pscsi=0x%p, lastslot=0x%p isUnknownMedia=0x%p\n", static_cast<void*>(pscsi),
            static_cast<void*>(lastslot), static_cast<void*>(isUnknownMedia));
    return drv_err::kInvalid;
  }
  m_storage_scsi = pscsi;
  storage_scsi* s = pscsi;
  char type_c = 0;
  errno_t res = s->get_medium_type_scsi(&type_c);
  if (res != 0) {
    *isUnknownMedia = true;
    DRV_LOG(ERR_, "get_medium_type failed. err=%d\n", res);
    return res;
  }
  const std::uint8_t type = static_cast<std::uint8_t>(type_c);
  m_write_once = medium::is_write_once(type);
  Mechanism m = read_mechanism(s);
  if (m.err != 0) {
    DRV_LOG(ERR_, "mechanism_status failed. err=%d\n", m.err);
    return m.err;
  }
  bool slot_known = true;  // false: nothing found that could be stored
  pxo_slot_info_t si{};
  if (s->get_slot_info(reinterpret_cast<caddr_t>(&si)) != 0) {
    res = search_without_slot_info(lastslot, isUnknownMedia, &slot_known);
  } else {
    bool stop = false;
    res = search_by_slot_info(si, m.slots, type, lastslot, isUnknownMedia, &stop);
    if (stop) return res;
  }
  if (slot_known) {
    setNextSlotLoad(lastslot);
    std::uint32_t rec[4] = {*lastslot, *lastslot, 0, 0};
    errno_t r = s->set_slot_info(reinterpret_cast<caddr_t>(rec));
    if (r != 0) DRV_LOG(ERR_, "set_slot_info failed. err[%d]", r);
  } else {
    DRV_LOG(ERR_, "no slot known: slot information left as it was\n");
  }
  DRV_LOG(DEBG, "err(%d)", res);
  return res;
}

errno_t scsi_service::search_without_slot_info(std::uint8_t* lastslot, Boolean* isUnknownMedia, bool* slot_known) {
  storage_scsi* s = m_storage_scsi;
  DRV_LOG(ERR_, "get_slot_info err.\n");
  (void)s->set_read_only_status_to_mount_info(0x4000);
  DRV_LOG(ERR_, "Max Slot Number of Written Disc not get. Do Read Only Mount\n");
  Mechanism m0 = read_mechanism(s);
  bool formatted = false, caperr = false;
  errno_t fr = isFormatted(&formatted, &caperr);
  std::uint32_t msln = 0;
  if (fr == 0 && formatted) {
    DRV_LOG(INFO, "disc is formated check LVID finalized\n");
    if (isLVIDFinalized(&msln)) return loadSLN(7, static_cast<char>(msln), lastslot, isUnknownMedia, m0.loaded);
  }
  return search_from_middle_slot(m0.slots, m0.loaded, lastslot, isUnknownMedia, slot_known);
}

errno_t scsi_service::search_from_middle_slot(std::uint8_t slots, std::uint8_t loaded, std::uint8_t* lastslot,
                                              Boolean* isUnknownMedia, bool* slot_known) {
  storage_scsi* s = m_storage_scsi;
  const std::uint8_t half = static_cast<std::uint8_t>(slots / 2 - 1);
  std::uint8_t target = 5;
  errno_t lr = s->next_slot_load(reinterpret_cast<caddr_t>(&target));
  if (lr != 0) DRV_LOG(ERR_, "next_slot_load failed. err=%d\n", lr);
  printLogMediumUniqueId(loaded, target);
  Mechanism m1 = read_mechanism(s);
  if (m1.err != 0 || (m1.state == 1 && m1.loaded != half)) {
    (void)set_read_only_one();
    DRV_LOG(ERR_, "Slot:%d disc not load. Do Read Only Mount\n ", half);
    // The mount goes on with the disc in the drive; with none known
    // (no mechanism answer, no disc) no slot is stored at all.
    if (m1.err == 0 && m1.state == 1)
      *lastslot = m1.loaded;
    else
      *slot_known = false;
    return 0;
  }
  bool formatted = false, caperr = false;
  errno_t fr = isFormatted(&formatted, &caperr);
  if (fr == 0 && !formatted) {
    DRV_LOG(ERR_, "[2]Read disc information failed. Or unformat media. Result=%d \n", fr);
    return loadSLN(5, static_cast<char>(half), lastslot, isUnknownMedia, m1.loaded);
  }
  Mechanism m2 = read_mechanism(s);
  return loadSLN(7, static_cast<char>(m2.slots - 1), lastslot, isUnknownMedia, m2.loaded);
}

errno_t scsi_service::search_by_slot_info(const pxo_slot_info_t& si, std::uint8_t slots, std::uint8_t type,
                                          std::uint8_t* lastslot, Boolean* isUnknownMedia, bool* stop) {
  storage_scsi* s = m_storage_scsi;
  DRV_LOG(INFO, "get_slot_info::slot(%d), CM_MaxSlotNum(%d)\n", static_cast<int>(si.current_slot), slots);
  DRV_LOG(INFO, "slotinfo->slotnum        ::%d\n", static_cast<int>(si.current_slot));
  DRV_LOG(INFO, "slotinfo->lastwrittenslot::%d\n", static_cast<int>(si.last_written_slot));
  std::uint8_t cur = static_cast<std::uint8_t>(si.current_slot);
  setNextSlotLoad(&cur);
  std::uint32_t target32 = si.last_written_slot;
  if (slots > 0 && target32 > static_cast<std::uint32_t>(slots - 1)) target32 = slots - 1u;
  const std::uint8_t target = static_cast<std::uint8_t>(target32);
  Mechanism m2 = read_mechanism(s);
  if (m2.err != 0 || m2.loaded != target || m2.state != 1) {
    DRV_LOG(INFO, "Mechanism status failed. Or another DISC loaded. CurrSlot:%d, MaxSlot:%d, MechaStat:%d, Result=%d\n",
            m2.loaded, m2.slots, m2.state, m2.err);
    std::uint8_t t = target;
    errno_t lr = s->next_slot_load(reinterpret_cast<caddr_t>(&t));
    if (lr != 0) {
      DRV_LOG(ERR_, "next_slot_load failed. err=%d\n", lr);
      *stop = true;
      return lr;
    }
    printLogMediumUniqueId(m2.loaded, target);
    Mechanism m3 = read_mechanism(s);
    if (m3.err != 0 || (m3.state == 1 && m3.loaded != target)) {
      (void)set_read_only_one();
      DRV_LOG(ERR_, "Slot:%d disc not load. Do Read Only Mount\n ", target);
      return loadSLN(5, static_cast<char>(target), lastslot, isUnknownMedia, m3.loaded);
    }
  }
  return take_slot_if_formatted(target, type, lastslot, isUnknownMedia, stop);
}

errno_t scsi_service::take_slot_if_formatted(std::uint8_t target, std::uint8_t type, std::uint8_t* lastslot,
                                             Boolean* isUnknownMedia, bool* stop) {
  bool formatted = false, caperr = false, foreign = false;
  errno_t fr = isFormatted(&formatted, &caperr, &foreign);
  // The drive names a slot the last written once anything was written to
  // it: a move whose format of the next disc never reached the medium (its
  // syncs failed) leaves that disc with a first track holding no format of
  // this system's. The volume lies on the slots before it; that disc is
  // left alone (every write to it is refused).
  if (fr == 0 && foreign && target > 0) {
    DRV_LOG(ERR_, "Slot:%d holds no volume of this system: the move to it never completed.\n", target);
    return loadSLN(5, static_cast<char>(target), lastslot, isUnknownMedia, target);
  }
  if (fr != 0) {
    DRV_LOG(ERR_, "isFormatted failed. err=%d\n", fr);
    if (caperr) {
      errno_t r = m_storage_scsi->set_raw_mount_status_to_mount_info(0xFFFFFFFFu, 0x80000, 2, type, 0);
      if (r != 0) DRV_LOG(ERR_, "set_raw_mount_status_to_mount_info failed. err=%d\n", r);
      *stop = true;
      return fr;
    }
    formatted = true;
  }
  if (formatted) {
    *lastslot = target;
    DRV_LOG(INFO, "Last written slot is %d", target);
    return 0;
  }
  DRV_LOG(ERR_, "Read disc information failed. Or unformat media. Result=%d\n", fr);
  const errno_t res = loadSLN(5, static_cast<char>(target), lastslot, isUnknownMedia, target);
  if (res != 0)
    DRV_LOG(ERR_, "loadSLN failed. err=%d\n", res);
  else
    DRV_LOG(INFO, "loadSLN Result:%d\n", res);
  return res;
}

errno_t scsi_service::loadSLN(std::uint32_t mode, char slot, std::uint8_t* lastslot, Boolean* isUnknownMedia,
                              UInt8 previous) {
  DRV_TRACE_FN();
  if (lastslot == nullptr || isUnknownMedia == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. lastslot=0x%p isUnknownMedia=0x%p\n", static_cast<void*>(lastslot),
            static_cast<void*>(isUnknownMedia));
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  storage_scsi* s = m_storage_scsi;
  const std::uint8_t given = static_cast<std::uint8_t>(slot);
  int candidate;
  if (mode == 7) {
    if (given >= 128) {
      DRV_LOG(ERR_, "Invalid slot number:%d \n", given);
      return drv_err::kInvalid;
    }
    candidate = given;
  } else {
    if (given == 0) {
      *lastslot = 0;
      return 0;
    }
    candidate = given - 1;
  }
  errno_t res = 0;
  for (;;) {
    std::uint8_t c = static_cast<std::uint8_t>(candidate);
    res = s->next_slot_load(reinterpret_cast<caddr_t>(&c));
    if (res != 0) {
      DRV_LOG(ERR_, "next_slot_load failed. err=%d\n", res);
      break;
    }
    printLogMediumUniqueId(previous, c);
    Mechanism m = read_mechanism(s);
    if (m.err == 0) previous = m.loaded;
    bool formatted = false;
    if (m.err != 0 || (m.state == 1 && m.loaded != c)) {
      (void)set_read_only_one();
      DRV_LOG(ERR_, "[1]Slot:%d disc not load. Do Read Only Mount \n", c);
    } else {
      bool caperr = false;
      errno_t fr = isFormatted(&formatted, &caperr);
      if (fr != 0) formatted = true;
      if (formatted) {
        *lastslot = c;
        break;
      }
      if (mode == 7)
        DRV_LOG(ERR_, "[3]Read disc information failed. Or unformat media.\n");
      else
        DRV_LOG(ERR_, "[4]Read disc information failed. Or unformat media. \n");
    }
    if (candidate == 0) {
      *lastslot = 0;
      break;
    }
    --candidate;
  }
  DRV_LOG(DEBG, "err(%d)", res);
  return res;
}

errno_t scsi_service::search_last_written_slot() {
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  std::uint8_t slot = 0;
  Boolean unknown = false;
  errno_t res = last_written_disc_search(m_storage_scsi, &slot, &unknown);
  if (res != 0) {
    DRV_LOG(ERR_, "last_written_disc_search failed. err:%d\n", res);
    return res;
  }
  m_current_slot = slot;
  return 0;
}
