// Rewritable media: automatic format, erase, erasure of the descriptor
// areas and reformat.
#include "drive/scsi_service_re.h"

#include "cm_data_internal.h"
#include "kelhost/kern_errno.h"

#include <cstdlib>

using namespace drvlog;
using drvint::be16;
using drvint::be32;

namespace {

constexpr int kAttempts = 10;

}  // namespace

errno_t media_rebuild_defect_bitmap(storage_scsi* s) { return s->rebuildDefectBitmap(); }

errno_t media_search_and_find_nwa(storage_scsi* s, UInt32 nwa, UInt32 length, UInt32* newNwa) {
  Boolean replaced = false;
  return s->searchAndFindNwa(nwa, length, newNwa, &replaced);
}

namespace {

// The 64 KiB write descriptor of the rewritable sections.
struct ReBuffer {
  pxo_buf* bp = nullptr;
  std::uint8_t* data = nullptr;
  ~ReBuffer() {
    std::free(bp);
    std::free(data);
  }
  errno_t alloc() {
    bp = static_cast<pxo_buf*>(std::calloc(1, sizeof(pxo_buf)));
    if (!bp) {
      DRV_LOG(ERR_, "write buffer alloc failed. err(%d)\n", drv_err::kNoMemory);
      return drv_err::kNoMemory;
    }
    data = static_cast<std::uint8_t*>(std::calloc(1, 65536));
    if (!data) {
      DRV_LOG(ERR_, "write data buffer alloc failed. err(%d)\n", drv_err::kNoMemory);
      return drv_err::kNoMemory;
    }
    bp->count = 65536;
    bp->bufsize = 65536;
    bp->data = data;
    return 0;
  }
  errno_t write(storage_scsi* s, std::uint32_t lsn) {
    bp->blkno = lsn;
    bp->count = 65536;
    bp->bufsize = 65536;
    bp->data = data;
    return s->pxo_write10_for_buf(bp, 0);
  }
};

errno_t format_capacity(storage_scsi* s, std::uint8_t* ans, std::uint32_t* n) {
  errno_t e = s->read_format_capacity(reinterpret_cast<caddr_t>(ans));
  if (e) {
    DRV_LOG(ERR_, "failed READ FORMAT CAPACITY. Result = %d\n", e);
    return e;
  }
  *n = be32(ans + 4);
  return 0;
}

// A disc too small for the initial volume would make the layout's sums wrap.
errno_t check_disc_size(std::uint32_t n) {
  if (n >= media::kMinRewritableBlocks) return 0;
  DRV_LOG(ERR_, "disc too small for a volume. blocks=%u, at least %u\n", n, media::kMinRewritableBlocks);
  return drv_err::kInvalid;
}

errno_t refuse_while_walking(const scsi_service_re& re) {
  if (!re.walking()) return 0;
  DRV_LOG(ERR_, "backtrack running, request refused\n");
  return KEL_EBUSY;
}

errno_t realloc_control(storage_scsi* s, std::uint32_t count, bool driveVerify) {
  pxo_realloc_control_t r{};
  r.start1 = 4096;
  r.count1 = count;
  r.fvwre = 1;
  r.fvwrd = driveVerify ? 1 : 0;
  if (driveVerify)
    DRV_LOG(WARN, "Drive Verify ON(=Auto) Fvwrd:%d \n", r.fvwrd);
  else
    DRV_LOG(WARN, "Drive Verify OFF(=Maunal) Fvwrd:%d \n", r.fvwrd);
  return s->set_realloc_control(reinterpret_cast<caddr_t>(&r));
}

}  // namespace

// Writing of the sections of a rewritable initial volume.
class re_volume_writer {
 public:
  re_volume_writer(scsi_service_re& svc, storage_scsi* s, ReBuffer& b, const std::tm& now, std::uint32_t last)
      : svc_(svc), s_(s), b_(b), now_(now), last_(last) {}

  // Sections are built with these.
  std::uint32_t metadata_lsn = 0;  // F
  std::uint32_t content_lsn = 0;   // M
  std::uint32_t volume_set_number = 0;
  std::uint32_t next_unique_id = 0;
  bool open_integrity = true;
  UInt8* lvid = nullptr;
  bool* wrote = nullptr;

  errno_t build(std::uint32_t section, std::uint32_t buffer_lsn) {
    setup_buffer_info_t su{};
    su.type = section;
    su.buffer = b_.data;
    su.buffer_size = 65536;
    media::fill_setup_time(&su, now_);
    su.block_count = last_;
    su.metadata_content_lsn = content_lsn;
    su.buffer_lsn = buffer_lsn;
    if (!svc_.autoFormatSetUpWriteBuffer(&su, metadata_lsn, 0, 0, 0, lvid, nullptr, volume_set_number,
                                         next_unique_id, open_integrity)) {
      DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
      return drv_err::kInvalid;
    }
    return 0;
  }

  // Sections 0 and 1 at the NWA, moved past defects when a write, cache flush
  // or verify fails. *written receives the LSN the section went to.
  errno_t relocating(std::uint32_t section, std::uint32_t* nwa, std::uint32_t* written, bool driveVerify) {
    errno_t e = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      const std::uint32_t lsn = *nwa;
      if (errno_t be = build(section, lsn)) return be;
      e = b_.write(s_, lsn);
      if (wrote) *wrote = true;
      if (e) {
        DRV_LOG(ERR_, section == 0 ? "STEP#08.WRITE10(Metadata Extent) failed. err(%d)\n"
                                 : "STEP#11.WRITE10(Metadata FE/Metadata Mirror FE) failed. err(%d)\n",
                e);
        s_->synchronize_cache(nullptr);
      } else {
        *written = lsn;
        *nwa = lsn + 32;
        e = s_->synchronize_cache(nullptr);
        if (e) {
          DRV_LOG(ERR_, section == 0 ? "STEP#09.SYNCHRONIZE_CACHE failed. err(%d)\n"
                                   : "STEP#12.SYNCHRONIZE_CACHE failed. err(%d)\n",
                  e);
        } else if (driveVerify) {
          DRV_LOG(INFO, "Verify skip for Drive Verify\n");
          return 0;
        } else {
          pxo_verify_range_t v{lsn, 32, 0};
          e = s_->verify_range(reinterpret_cast<caddr_t>(&v));
          if (e == 0) return 0;
          DRV_LOG(ERR_, section == 0 ? "STEP#10.VERIFY failed. err(%d)\n" : "STEP#13.VERIFY failed. err(%d)\n", e);
        }
      }
      if (attempt == kAttempts - 1) break;
      if (errno_t re = media_rebuild_defect_bitmap(s_)) {
        DRV_LOG(ERR_, "rebuildDefectBitmap failed. Result=%d\n", re);
        return re;
      }
      std::uint32_t found = 0;
      if (errno_t se = media_search_and_find_nwa(s_, lsn + 32, 32, &found)) {
        DRV_LOG(ERR_, "searchAndFindNwa failed. Result=%d\n", se);
        return se;
      }
      *nwa = found;
    }
    // No section that never reached the disc, or that the drive could not
    // read back, may be pointed at by the later ones.
    DRV_LOG(ERR_, "retry NG. retry_count=%d err(%d)\n", kAttempts, e);
    return e;
  }

  // Sections 2 to 5 at their fixed places.
  errno_t fixed(std::uint32_t section, std::uint32_t lsn, const char* wtext, const char* stext) {
    errno_t e = 0;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      if (errno_t be = build(section, lsn)) return be;
      e = b_.write(s_, lsn);
      if (wrote) *wrote = true;
      if (e) {
        DRV_LOG(ERR_, wtext, e);
        s_->synchronize_cache(nullptr);
        continue;
      }
      e = s_->synchronize_cache(nullptr);
      if (e == 0) return 0;
      DRV_LOG(ERR_, stext, e);
    }
    DRV_LOG(ERR_, "retry NG. retry_count=%d err(%d)\n", kAttempts, e);
    return e;
  }

  // The metadata extent (section 0) and the metadata file entries (section
  // 1) from *nwa on; *nwa moves past them.
  errno_t metadata(std::uint32_t* nwa, bool driveVerify) {
    std::uint32_t M = 0, F = 0;
    errno_t res = relocating(0, nwa, &M, driveVerify);
    content_lsn = M;
    if (res == 0) res = relocating(1, nwa, &F, driveVerify);
    metadata_lsn = F;
    return res;
  }
  // The integrity sequence, the reserve and the main descriptor sequence
  // with their anchors, and the recognition sequence.
  errno_t integrity_sequence() {
    return fixed(2, 320, "STEP#14.WRITE10(LVIS) failed. err(%d)\n", "STEP#15.SYNCHRONIZE_CACHE failed. err(%d)\n");
  }
  errno_t reserve_sequence() {
    return fixed(3, last_ - 31, "STEP#18.WRITE10(RVDS/AVDP2) failed. err(%d)\n",
                 "STEP#19.SYNCHRONIZE_CACHE failed. err(%d)\n");
  }
  errno_t main_sequence() {
    return fixed(4, 256, "STEP#20.WRITE10(AVDP1/MVDS) failed. err(%d)\n",
                 "STEP#21.SYNCHRONIZE_CACHE failed. err(%d)\n");
  }
  errno_t recognition_sequence() {
    return fixed(5, 0, "STEP#22.WRITE10(VRS) failed. err(%d)\n", "STEP#23.SYNCHRONIZE_CACHE failed. err(%d)\n");
  }

 private:
  scsi_service_re& svc_;
  storage_scsi* s_;
  ReBuffer& b_;
  std::tm now_;
  std::uint32_t last_;
};

scsi_service_re::scsi_service_re() = default;
scsi_service_re::~scsi_service_re() = default;

errno_t scsi_service_re::get_AutoFormatted_flag(caddr_t record) {
  if (record == nullptr) return drv_err::kInvalid;
  pxo_auto_formatted_info_t r;
  std::memcpy(&r, record, sizeof(r));
  r.auto_formatted = m_auto_formatted;
  r.nwa = m_nwa;
  if (r.clear_request != 0) m_auto_formatted = 0;
  std::memcpy(record, &r, sizeof(r));
  return 0;
}

// The automatic format of a rewritable disc: FORMAT UNIT (not on a retry)
// and the disc measured, its identity read, then the sections of the
// initial volume written with the cartridge memory's record among them.
class re_format_run {
 public:
  re_format_run(scsi_service_re& svc, storage_scsi* s, const std::tm& now, bool driveVerify)
      : svc_(svc), s_(s), now_(now), verify_off_(driveVerify) {}

  // FORMAT UNIT with the capacity the drive offers (not on a retry), then
  // the disc's block count, which must hold a volume, and the drive's
  // reallocation control unless skipped.
  errno_t format_and_measure(bool retry, bool skipRealloc) {
    std::uint8_t cap[12] = {};
    if (!retry) {
      if (errno_t e = format_capacity(s_, cap, &N_)) return e;
      if (errno_t e = check_disc_size(N_)) return e;
      std::uint8_t list[12] = {0x00, 0x00, 0x00, 0x08};
      std::memcpy(list + 4, cap + 4, 4);
      list[8] = 0;  // format type 0
      std::memcpy(list + 9, cap + 9, 3);
      if (errno_t e = s_->format_unit(reinterpret_cast<caddr_t>(list), true)) {
        DRV_LOG(ERR_, "STEP#02 FORMAT_UNIT failed. err(%d)", e);
        return e;
      }
    }
    if (errno_t e = format_capacity(s_, cap, &N_)) return e;
    if (errno_t e = check_disc_size(N_)) return e;
    if (!skipRealloc) {
      if (errno_t e = realloc_control(s_, N_ - 4385, verify_off_)) {
        DRV_LOG(ERR_, "set reallocation control failed. err(%d)", e);
        return e;
      }
    }
    return 0;
  }

  // The tag serial number (unless a stride format keeps it) and the medium
  // serial number, which must be usable when it can be read (*serialOk
  // then); a stride format needs the 1500h attribute readable.
  errno_t read_identity(Boolean* serialOk) {
    std::uint8_t attr[184] = {};
    if (!svc_.m_stride_format || svc_.m_tag_serial_number == 0xFFFF) {
      if (s_->get_read_attribute(0x0007, attr, 12) == 0) {
        svc_.m_tag_serial_number = be16(attr + 9);
        DRV_LOG(DEBG, "STEP#XX READ_ATTRIBUTE(0007h) InitCount=0x%X\n", svc_.m_tag_serial_number);
      } else {
        svc_.m_tag_serial_number = 1;
      }
    }
    std::memset(attr, 0, sizeof(attr));
    errno_t check = 0;
    if (errno_t e = svc_.read_medium_serial(&check)) {
      DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(0401h) failed. err(%d)\n", e);
    } else if (check != 0) {
      // The kind of rejection (1-4) is logged; the caller gets "invalid".
      DRV_LOG(ERR_, "unknown MediumSerialNumber. err=%d\n", check);
      return drv_err::kInvalid;
    } else if (serialOk) {
      *serialOk = 1;
    }
    if (svc_.m_stride_format) {
      if (errno_t e = s_->get_read_attribute(0x1500, attr, 184)) {
        DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(1500h). Result = %d\n", e);
        return e;
      }
    }
    return 0;
  }

  // The metadata extent and its file entries from the next writable
  // address on (which the service keeps), then the sections at their fixed
  // places, the cartridge memory's record after the integrity sequence.
  errno_t write_volume(ReBuffer& b, bool* wrote) {
    std::uint32_t nwa = svc_.m_nwa;
    bool local_wrote = false;
    re_volume_writer w(svc_, s_, b, now_, N_ - 1);
    w.wrote = wrote ? wrote : &local_wrote;
    DRV_LOG(INFO, "Write Metadata Extent, NWA=0x%X\n", nwa);
    errno_t res = w.metadata(&nwa, verify_off_);
    svc_.m_nwa = nwa;
    if (res == 0) res = w.integrity_sequence();
    if (res == 0) res = write_cm_record();
    if (res == 0) res = w.reserve_sequence();
    if (res == 0) res = w.main_sequence();
    if (res == 0) res = w.recognition_sequence();
    return res;
  }

 private:
  // The cartridge memory's record of the new volume, written to the drive.
  errno_t write_cm_record() {
    pxo_attribute_data_t rec{};
    errno_t res = svc_.initializeCMData(&rec, media::udf_time(now_));
    if (res) {
      DRV_LOG(ERR_, "initializeCMData failed. Result=%d\n", res);
      return res;
    }
    res = svc_.convEndianForCMData(&rec);
    if (res) {
      DRV_LOG(ERR_, "convEndianForCMData failed. Result=%d\n", res);
      return res;
    }
    cm_set_1500h_crc_wire(&rec);
    res = s_->pxo_write_attribute(reinterpret_cast<caddr_t>(&rec));
    if (res) DRV_LOG(ERR_, "writeAttribute failed.Result %d\n", res);
    return res;
  }

  scsi_service_re& svc_;
  storage_scsi* s_;
  std::tm now_;
  bool verify_off_;
  std::uint32_t N_ = 0;
};

errno_t scsi_service_re::auto_format(bool retry, Boolean* serialOk, storage_scsi* pscsi, bool skipRealloc,
                                     bool* wrote, bool driveVerify) {
  DRV_TRACE_FN();
  set_storage_scsi(pscsi);
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "cannot scsi access!!  err=%d", drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  if (errno_t e = refuse_while_walking(*this)) return e;
  storage_scsi* s = m_storage_scsi;
  if (serialOk) *serialOk = 0;
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() fialed Result=%d", -1);
    return -1;
  }
  s->scsi_cache_clear();
  std::uint8_t type = 0;
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(&type))) {
    DRV_LOG(ERR_, "get_medium_type failed. Result(%d)\n", e);
    return e;
  }
  re_format_run run(*this, s, now, driveVerify);
  if (errno_t e = run.format_and_measure(retry, skipRealloc)) return e;
  if (errno_t e = run.read_identity(serialOk)) return e;
  if (errno_t e = media_rebuild_defect_bitmap(s)) DRV_LOG(WARN, "rebuildDefectBitmap failed. Result=%d\n", e);
  ReBuffer b;
  if (errno_t e = b.alloc()) return e;
  if (!retry) m_nwa = 4352;
  errno_t res = 0;
  if (m_stride_format)
    DRV_LOG(INFO, "m_StrideFormatFlag = %d.\n", m_stride_format);
  else
    res = run.write_volume(b, wrote);
  s->scsi_cache_clear();
  DRV_LOG(INFO, "Result=%d", res);
  return res;
}

errno_t scsi_service_re::all_erase(pxo_all_erase_info_t* info, UInt32 nwa, bool driveVerify) {
  DRV_TRACE_FN();
  if (errno_t e = media::check_erase_arguments(info, m_storage_scsi)) return e;
  if (errno_t e = refuse_while_walking(*this)) return e;
  storage_scsi* s = m_storage_scsi;
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() fialed Result=%d", -1);
    return -1;
  }
  s->scsi_cache_clear();
  std::uint8_t type = 0;
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(&type))) {
    DRV_LOG(ERR_, "get_medium_type failed. Result(%d)\n", e);
    return e;
  }
  std::uint8_t cap[12] = {};
  std::uint32_t N = 0;
  if (errno_t e = format_capacity(s, cap, &N)) return e;
  if (errno_t e = check_disc_size(N)) return e;
  // The new metadata goes behind the recognition area and the first anchor
  // and ends before the end area; anywhere else it would overwrite them.
  if (nwa < 4352 || nwa > N - 288 - 64) {
    DRV_LOG(ERR_, "Invalid parameter. NWA=0x%x outside [0x1100, 0x%x]\n", nwa, N - 288 - 64);
    return drv_err::kInvalid;
  }
  std::uint8_t attr[184] = {};
  if (m_tag_serial_number == 0xFFFF) {
    m_tag_serial_number = s->get_read_attribute(0x0007, attr, 12) == 0 ? be16(attr + 9) : 1;
  }
  errno_t check = 0;
  if (errno_t e = read_medium_serial(&check)) {
    DRV_LOG(ERR_, "STEP#XX:READ_ATTRIBUTE::0401h failed. err(%d)\n", e);
  } else if (check != 0) {
    // The kind of rejection (1-4) is logged; the caller gets "invalid".
    DRV_LOG(ERR_, "unknown MediumSerialNumber. err=%d\n", check);
    return drv_err::kInvalid;
  }
  std::memset(attr, 0, sizeof(attr));
  if (errno_t e = s->get_read_attribute(0x1500, attr, 184)) {
    DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(1500h). err = %d\n", e);
    return e;
  }
  ReBuffer b;
  if (errno_t e = b.alloc()) return e;
  DRV_LOG(INFO, "NWA=0x%x, Result=%d", nwa, 0);
  re_volume_writer w(*this, s, b, now, N - 1);
  w.volume_set_number = be32(attr + 9 + cm1500::kVolumeSetNumber);
  w.next_unique_id = be32(attr + 9 + cm1500::kLastUniqueId) + 1;
  w.open_integrity = false;
  errno_t res = w.metadata(&nwa, driveVerify);
  m_nwa = nwa;
  if (res == 0) res = w.integrity_sequence();
  if (res == 0) res = w.reserve_sequence();
  if (res == 0) res = w.main_sequence();
  s->scsi_cache_clear();
  DRV_LOG(INFO, "Result=%d", res);
  return res;
}

errno_t scsi_service_re::EraseDescriptorData() {
  DRV_TRACE_FN();
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return drv_err::kInvalid;
  }
  storage_scsi* s = m_storage_scsi;
  std::uint8_t type = 0;
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(&type))) return e;
  ReBuffer b;
  if (errno_t e = b.alloc()) return e;
  errno_t res = 0;
  auto area = [&](std::uint32_t lsn, const char* fail) {
    errno_t e = 0;
    for (int i = 0; i < kAttempts; ++i) {
      e = b.write(s, lsn);
      if (e) {
        DRV_LOG(ERR_, "WRITE_10(LSN=0x%X). err(%d)\n", lsn, e);
        continue;
      }
      e = s->synchronize_cache(nullptr);
      if (e == 0) return;
      DRV_LOG(ERR_, "SYNCHRONIZE_CACHE failed. err(%d)\n", e);
    }
    DRV_LOG(ERR_, "%s", fail);
    res = e;
  };
  // The disc's size first: a disc too small for a volume is not touched.
  std::uint64_t n = 0;
  if (errno_t e = media::rewritable_block_count(s, &n)) return e;
  area(0, "fail LSN=0-0x20 Erase \n");
  area(256, "fail LSN=0x100-0x120 Erase \n");
  area(static_cast<std::uint32_t>(n) - 32, "fail LSN=N-1Fh-1RU0 Erase \n");
  DRV_LOG(INFO, "Result=%d\n", res);
  return res;
}

errno_t scsi_service_re::reFormat(caddr_t, storage_scsi* pscsi) {
  DRV_TRACE_FN();
  DRV_LOG(INFO, "reformat sequence start\n");
  set_storage_scsi(pscsi);
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter, pscsi=0x%p\n", static_cast<void*>(pscsi));
    return drv_err::kInvalid;
  }
  if (errno_t e = refuse_while_walking(*this)) return e;
  m_reformat = m_storage_scsi->get_reformat_flg() != 0;
  DRV_LOG(INFO, "reformat flsg=%d\n", m_reformat ? 1 : 0);
  errno_t res = -1;
  if (m_reformat) {
    bool undefined = false;
    res = m_storage_scsi->determin_medium_properties(&undefined);
    if (res == 0) res = m_storage_scsi->updateMediaInformation();
  }
  DRV_LOG(INFO, "reformat sequence end, ret=%d\n", res);
  return res;
}

void scsi_service_re::set_format_flg(bool flag) {
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return;
  }
  m_reformat = flag;
  m_storage_scsi->set_reformat_flg(flag ? 1 : 0);
}
