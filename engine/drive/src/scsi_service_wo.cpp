// Write-once media: automatic format, stride format, the end area of the
// volume, track padding and erase.
#include "drive/scsi_service_wo.h"

#include "cm_data_internal.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_regid.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>
#include <cstring>
#include <vector>

using namespace drvlog;
using drvint::be16;

namespace {

constexpr int kAttempts = 10;

bool low_padded(std::uint8_t t) { return t == 0xF1 || t == 0xF2 || t == 0xE5; }
using media::track2_offset;

// Buffers of one format or erase: a buffer header and a zero-filled data area.
struct Buffers {
  pxo_buf* bp = nullptr;
  std::uint8_t* data = nullptr;
  std::uint32_t size = 0;
  ~Buffers() {
    std::free(bp);
    std::free(data);
  }
  // The buffer header and `bytes` of data; a failure is logged with the
  // caller's word for its status ("err" or "Result").
  errno_t alloc(std::uint32_t bytes, const char* status_word) {
    bp = static_cast<pxo_buf*>(std::calloc(1, sizeof(pxo_buf)));
    if (!bp) {
      DRV_LOG(ERR_, "write buffer alloc failed. %s(12)\n", status_word);
      return drv_err::kNoMemory;
    }
    data = static_cast<std::uint8_t*>(std::calloc(1, bytes));
    if (!data) {
      DRV_LOG(ERR_, "write data buffer alloc failed. %s(12)\n", status_word);
      return drv_err::kNoMemory;
    }
    size = bytes;
    return 0;
  }
};

// The drive commands of one format or erase, with the progress counter.
class WoIo {
 public:
  WoIo(storage_scsi* s, Buffers& b, bool driveVerify, std::uint32_t* counter, bool skipped_verify_counts)
      : s_(s), b_(b), verify_off_(driveVerify), counter_(counter), skipped_counts_(skipped_verify_counts) {}

  void add(int n) {
    if (counter_) *counter_ = static_cast<std::uint32_t>(static_cast<int>(*counter_) + n);
  }
  void sync_ignored() { s_->synchronize_cache(nullptr); }

  errno_t reserve(std::uint32_t lsn, std::uint32_t blocks) {
    pxo_reserve_write_t r{lsn, blocks};
    errno_t e = s_->reserve_write_range(reinterpret_cast<caddr_t>(&r));
    if (e) {
      DRV_LOG(ERR_, "reserve_write_range failed. err=%d\n", e);
      sync_ignored();
    }
    return e;
  }
  // blocks (a multiple of 32) from the data area at lsn.
  errno_t write(std::uint32_t lsn, std::uint32_t blocks, std::uint32_t offset = 0) {
    b_.bp->blkno = lsn;
    b_.bp->count = blocks * 2048;
    b_.bp->bufsize = blocks * 2048;
    b_.bp->data = b_.data + offset;
    errno_t e = s_->pxo_write10_for_buf(b_.bp, 0);
    if (e) {
      DRV_LOG(ERR_, "pxo_write10 failed. err=%d\n", e);
      sync_ignored();
    }
    return e;
  }
  errno_t verify(std::uint32_t lsn, std::uint32_t blocks) {
    pxo_verify_range_t v{lsn, static_cast<std::uint16_t>(blocks), 0};
    return s_->verify_range(reinterpret_cast<caddr_t>(&v));
  }

  // One attempt of a section: [reserve], the writes, SYNCHRONIZE CACHE,
  // VERIFY (unless the drive verifies).
  struct Section {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;  // (lsn, blocks), each from offset 0
    bool reserve = false;
    std::uint32_t reserve_lsn = 0, reserve_blocks = 0;
    std::uint32_t verify_lsn = 0, verify_blocks = 0;
    const char* steps[3] = {nullptr, nullptr, nullptr};  // step labels of write, flush, verify
  };
  std::uint32_t count() const { return counter_ ? *counter_ : 0; }
  errno_t attempt(const Section& p) {
    if (p.reserve)
      if (errno_t e = reserve(p.reserve_lsn, p.reserve_blocks)) return e;
    for (auto& [lsn, blocks] : p.writes) {
      if (errno_t e = write(lsn, blocks)) {
        if (p.steps[0]) DRV_LOG(ERR_, "STEP#%s WRITE_10 failed. err(%d)\n", p.steps[0], e);
        return e;
      }
    }
    add(1);
    if (p.steps[0]) DRV_LOG(INFO, "completedsteps=%d, #%s:WRITE_10\n", count(), p.steps[0]);
    if (errno_t e = s_->synchronize_cache(nullptr)) {
      if (p.steps[1])
        DRV_LOG(ERR_, "STEP#%s SYNCHRONIZE_CACHE failed. err(%d)\n", p.steps[1], e);
      else
        DRV_LOG(ERR_, "fail SynchronizeCache \n");
      add(-1);
      return e;
    }
    add(1);
    if (p.steps[1]) DRV_LOG(INFO, "completedsteps=%d, #%s:SYNCHRONIZE_CACHE\n", count(), p.steps[1]);
    if (verify_off_) {
      DRV_LOG(INFO, "Verify skip for Drive Verify\n");
      if (skipped_counts_) add(1);
      return 0;
    }
    if (errno_t e = verify(p.verify_lsn, p.verify_blocks)) {
      if (p.steps[2])
        DRV_LOG(ERR_, "STEP#%s VERIFY_RANGE failed. err(%d)\n", p.steps[2], e);
      else
        DRV_LOG(ERR_, "fail verifyRange \n");
      add(-2);
      return e;
    }
    add(1);
    if (p.steps[2]) DRV_LOG(INFO, "completedsteps=%d, #%s:VERIFY\n", count(), p.steps[2]);
    return 0;
  }

  storage_scsi* s_;
  Buffers& b_;
  bool verify_off_;
  std::uint32_t* counter_;
  bool skipped_counts_;
};

errno_t read_track(storage_scsi* s, std::uint32_t track, pxo_track_info_data_t* out) {
  pxo_track_info_t t{};
  t.track_no = track;
  errno_t e = s->read_track_info(reinterpret_cast<caddr_t>(&t));
  if (e == 0) *out = t.track_info;
  return e;
}

bool nwa_valid(const pxo_track_info_data_t& t) { return t.bytes2_7[5] & 1; }

errno_t read_disc(storage_scsi* s, std::uint8_t* status, std::uint16_t* last_track) {
  pxo_disc_info_t d{};
  d.datatype = 0;
  errno_t e = s->read_disc_info(reinterpret_cast<caddr_t>(&d), true);
  if (e) return e;
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&d);
  *status = raw[6] & 3;
  *last_track = static_cast<std::uint16_t>(raw[15] << 8 | raw[10]);
  return 0;
}

// ---------------------------------------------------------------- blocks of track 1 that are this system's

// The format writes, below the metadata area at 4352, only its recognition
// sequence (16-18), its anchor (256) naming its descriptor sequences, the
// sequences and the integrity descriptor in their areas, and zeros. A
// recorded block there that is none of these was recorded by another program.
constexpr std::uint32_t kFormatAreaEnd = 4352;

struct DescriptorAreas {
  std::uint32_t main, reserve, integrity;
};
DescriptorAreas descriptor_areas(std::uint8_t type) {
  return type == 0xF2 ? DescriptorAreas{384, 512, 640} : DescriptorAreas{288, 304, 320};
}

bool all_zero(const std::uint8_t* d, std::size_t n) {
  return std::all_of(d, d + n, [](std::uint8_t b) { return b == 0; });
}

bool own_recognition_block(std::uint32_t lsn, const std::uint8_t* d) {
  static const char* const ids[3] = {"BEA01", "NSR03", "TEA01"};
  if (lsn < 16 || lsn > 18) return false;
  return d[0] == 0 && std::memcmp(d + 1, ids[lsn - 16], 5) == 0 && d[6] == 1 && all_zero(d + 7, 2048 - 7);
}

bool own_anchor(const std::uint8_t* d, const DescriptorAreas& a) {
  using media::get_le32;
  return media::sound_tag(d, 2, 256) && get_le32(d + 16) == 0x8000 && get_le32(d + 20) == a.main &&
         get_le32(d + 24) == 0x8000 && get_le32(d + 28) == a.reserve && all_zero(d + 32, 2048 - 32);
}

// A descriptor recorded at its own place in one of the descriptor areas; a
// primary volume descriptor carries this system's implementation identifier.
bool own_descriptor(std::uint32_t lsn, const std::uint8_t* d, const DescriptorAreas& a) {
  auto in = [lsn](std::uint32_t first, std::uint32_t blocks) { return lsn >= first && lsn < first + blocks; };
  if (!in(a.main, 16) && !in(a.reserve, 16) && !in(a.integrity, 32)) return false;
  const std::uint16_t id = media::get_le16(d);
  if (id < TAG_ID_PVD || id > TAG_ID_LVID || !media::sound_tag(d, id, lsn)) return false;
  if (id != TAG_ID_PVD) return true;
  regid own{};
  const char context[2] = {0, 1};
  make_reg_id(context, &own, REGKIND_IMPLEMENTATION, 1);
  return std::memcmp(d + offsetof(pri_vol_desc, imp_id) + offsetof(regid, id), own.id, sizeof own.id) == 0;
}

bool own_format_block(std::uint32_t lsn, const std::uint8_t* d, const DescriptorAreas& a) {
  if (all_zero(d, 2048)) return true;
  if (lsn == 256) return own_anchor(d, a);
  return own_recognition_block(lsn, d) || own_descriptor(lsn, d, a);
}

errno_t block_count(storage_scsi* s, std::uint32_t* n) {
  std::uint64_t v = 0;
  errno_t e = s->get_block_count(reinterpret_cast<caddr_t>(&v));
  if (e == 0) *n = static_cast<std::uint32_t>(v);
  return e;
}

// A disc too small for the volume of its medium type would make the layout's
// sums (N - X, N - 288, N - 32) wrap: refused before anything is written.
errno_t check_disc_size(std::uint32_t n, std::uint8_t type) {
  const std::uint32_t need = media::min_write_once_blocks(type);
  if (n >= need) return 0;
  DRV_LOG(ERR_, "disc too small for a volume. blocks=%u, at least %u\n", n, need);
  return drv_err::kInvalid;
}

errno_t set_verify_mode(storage_scsi* s, std::uint32_t n, bool driveVerify) {
  pxo_realloc_control_t r{};
  r.start1 = 0;
  r.count1 = n - 1;
  r.fvwre = 0;
  r.fvwrd = driveVerify ? 1 : 0;
  if (driveVerify)
    DRV_LOG(WARN, "Drive Verify ON(=Auto) Fvwrd:%d \n", r.fvwrd);
  else
    DRV_LOG(WARN, "Drive Verify OFF(=Maunal) Fvwrd:%d \n", r.fvwrd);
  errno_t e = s->set_realloc_control(reinterpret_cast<caddr_t>(&r));
  if (e) DRV_LOG(ERR_, "set reallocation control failed. err(%d)", e);
  return e;
}

// A section (the metadata extent or the metadata file entries) written at
// the next writable address of track 1; after a failed attempt the drive's
// next block (the start of track 0) is taken. Every address must lie in the
// volume's metadata area: from 4352 to `limit`, the 32 blocks included.
struct NwaSection {
  const char* step;                       // label of the track read
  const char* const* labels = nullptr;    // step labels of write, flush and verify
  bool reserve = false;                   // D2h before the write
  std::uint32_t limit = 0;                // first block past the area
  std::function<errno_t(std::uint32_t lsn)> build;
};

bool in_metadata_area(std::uint32_t lsn, std::uint32_t limit) {
  if (lsn >= 4352 && lsn <= limit && limit - lsn >= 32) return true;
  DRV_LOG(ERR_, "write address out of range. LSN=0x%x, area 0x1100-0x%x\n", lsn, limit);
  return false;
}

errno_t write_at_nwa(storage_scsi* s, WoIo& io, const NwaSection& sec, std::uint32_t* where) {
  pxo_track_info_data_t t{};
  if (errno_t e = read_track(s, 1, &t)) {
    DRV_LOG(ERR_, "%s READ_TRACK_INFORMATION failed. err(%d)\n", sec.step, e);
    return e;
  }
  io.add(1);
  if (!nwa_valid(t)) {
    DRV_LOG(ERR_, "%s NWA of track 1 not valid\n", sec.step);
    return drv_err::kIO;
  }
  *where = t.NextWritableAddress;
  s->scsi_cache_clear();
  errno_t e = 0;
  for (int i = 0; i < kAttempts; ++i) {
    if (!in_metadata_area(*where, sec.limit)) return drv_err::kIO;
    if (errno_t be = sec.build(*where)) return be;
    WoIo::Section p;
    p.writes = {{*where, 32}};
    p.reserve = sec.reserve;
    p.reserve_lsn = *where;
    p.reserve_blocks = 32;
    p.verify_lsn = *where;
    p.verify_blocks = 32;
    if (sec.labels) std::copy(sec.labels, sec.labels + 3, p.steps);
    e = io.attempt(p);
    if (e == 0) return 0;
    if (i == kAttempts - 1) break;
    pxo_track_info_data_t r{};
    if (errno_t re = read_track(s, 0, &r)) {
      DRV_LOG(ERR_, "fail reportTrackInfo(readTrackInfo) \n");
      io.add(-1);
      return re;
    }
    *where = r.LogicalTrackStartAddress;
    DRV_LOG(INFO, "write retry metadata :0x%x \n", *where);
  }
  // Never point the volume at a metadata area that was not written.
  DRV_LOG(ERR_, "%s: retry NG. retry_count=%d err(%d)\n", sec.step, kAttempts, e);
  return e;
}

}  // namespace

scsi_service_wo::scsi_service_wo() = default;
scsi_service_wo::~scsi_service_wo() = default;

errno_t scsi_service_wo::track1_holds_own_format(bool* own) {
  *own = false;
  if (m_storage_scsi == nullptr) return drv_err::kInvalid;
  storage_scsi* s = m_storage_scsi;
  std::uint8_t status = 0, type = 0;
  std::uint16_t last = 0;
  if (errno_t e = read_disc(s, &status, &last)) return e;
  if (status == 0) {  // blank: nothing recorded
    *own = true;
    return 0;
  }
  pxo_track_info_data_t t{};
  if (errno_t e = read_track(s, 1, &t)) return e;
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(&type))) return e;
  if (t.LogicalTrackStartAddress != 0) {
    DRV_LOG(ERR_, "track 1 starts at 0x%x: not a disc this system formatted\n", t.LogicalTrackStartAddress);
    return 0;
  }
  const std::uint32_t end = nwa_valid(t) ? std::min(t.NextWritableAddress, kFormatAreaEnd) : kFormatAreaEnd;
  const DescriptorAreas areas = descriptor_areas(type);
  std::vector<std::uint8_t> area(32 * 2048);
  for (std::uint32_t lsn = 0; lsn < end; lsn += 32) {
    const std::uint32_t blocks = std::min<std::uint32_t>(32, end - lsn);
    pxo_buf bp{};
    bp.blkno = lsn;
    bp.count = bp.bufsize = blocks * 2048;
    bp.data = area.data();
    if (errno_t e = s->pxo_read10(&bp)) return e;
    for (std::uint32_t i = 0; i < blocks; ++i) {
      if (own_format_block(lsn + i, area.data() + i * 2048, areas)) continue;
      DRV_LOG(ERR_, "block 0x%x of track 1 was recorded by another program\n", lsn + i);
      return 0;
    }
  }
  *own = true;
  return 0;
}

errno_t scsi_service_wo::refuse_unless_own(const char* when) {
  m_disc_refused = false;
  bool own = false;
  if (errno_t e = track1_holds_own_format(&own)) {
    DRV_LOG(ERR_, "%s: what track 1 holds cannot be read. err(%d)\n", when, e);
    m_disc_refused = true;
    return e;
  }
  if (own) return 0;
  DRV_LOG(ERR_, "%s: the disc holds a volume this system did not format. Nothing is written.\n", when);
  m_disc_refused = true;
  return drv_err::kNotSupported;
}

errno_t scsi_service_wo::get_AutoFormatted_flag(caddr_t record) {
  if (record == nullptr) return drv_err::kInvalid;
  pxo_auto_formatted_info_t r;
  std::memcpy(&r, record, sizeof(r));
  r.auto_formatted = m_auto_formatted;
  if (r.clear_request != 0) m_auto_formatted = 0;
  std::memcpy(record, &r, sizeof(r));
  return 0;
}

errno_t scsi_service_wo::autoFormatLOWInitTrack(UInt32 track, UInt32 limit) {
  DRV_TRACE_FN();
  if (m_storage_scsi == nullptr) return drv_err::kInvalid;
  Buffers b;
  if (errno_t e = b.alloc(65536, "err")) return e;
  WoIo io(m_storage_scsi, b, true, nullptr, false);
  errno_t res = 0;
  bool completed = false;
  for (int round = 0; round < kAttempts; ++round) {
    pxo_track_info_data_t t{};
    if (errno_t e = read_track(m_storage_scsi, track, &t)) {
      DRV_LOG(ERR_, "read_track_info failed. err=%d\n", e);
      res = e;
      continue;
    }
    if (!nwa_valid(t)) {
      DRV_LOG(INFO, "NWA_V = %x\n", t.bytes2_7[5] & 1);
      return 0;
    }
    const std::uint32_t nwa = t.NextWritableAddress;
    if (nwa >= limit) {
      if (!completed)
        DRV_LOG(INFO, "NWA is Out of Range. NWA=0x%08X, NWALimit=0x%08X", nwa, limit);
      return 0;
    }
    if (errno_t e = io.reserve(nwa, limit - nwa)) {
      res = e;
      continue;
    }
    errno_t we = 0;
    for (std::uint32_t k = 0; k < (limit - nwa) / 32; ++k) {
      we = io.write(nwa + 32 * k, 32);
      if (we) {
        DRV_LOG(ERR_, "STEP#02 WRITE_10 failed. err(%d)\n", we);
        break;
      }
    }
    if (we) {
      res = we;
      continue;
    }
    errno_t se = 0;
    for (int i = 0; i < kAttempts; ++i) {
      se = m_storage_scsi->synchronize_cache(nullptr);
      if (se == 0) break;
      DRV_LOG(ERR_, "fail synchronizeCache Result:%x RetryCount:%d \n", se, i);
    }
    completed = se == 0;
    res = se;
    if ((limit - nwa) < 32) break;  // only a remainder below one chunk is left
  }
  return res;
}

// One run of the full automatic format, step by step. Each step returns 0 or
// the error that ends the format.
class wo_format_run {
 public:
  wo_format_run(scsi_service_wo& svc, storage_scsi* s, const std::tm& now, std::uint8_t type,
                std::uint32_t* counter, bool driveVerify)
      : svc_(svc), s_(s), now_(now), type_(type), counter_(counter), verify_off_(driveVerify),
        lp_(low_padded(type)), f2_(type == 0xF2), big_(type == 0xF2 ? 128 : 32) {}

  // FORMAT UNIT into one incomplete track, unless skipped; *done when the
  // disc already has its two tracks. A disc that is not blank is formatted
  // only over this system's own format cut short: blocks another program
  // recorded are never written over.
  errno_t format_tracks(bool skipFormat, bool* done) {
    *done = false;
    svc_.m_disc_refused = false;
    if (skipFormat)
      if (errno_t e = svc_.refuse_unless_own("auto_format")) return e;
    if (!skipFormat) {
      std::uint8_t status = 0;
      std::uint16_t last = 0;
      if (errno_t e = read_disc(s_, &status, &last)) {
        DRV_LOG(ERR_, "STEP#01 READ_DISC_INFORMATION failed. err(%d)\n", e);
        return e;
      }
      add(1);
      DRV_LOG(INFO, "completedsteps=%d, #01:READ_DISC_INFORMATION\n", *counter_);
      if (last == 2) {
        *done = true;  // already formatted into two tracks
        return 0;
      }
      if (status != 0)
        if (errno_t e = svc_.refuse_unless_own("auto_format")) return e;
      std::uint8_t list[12] = {0x00, 0x00, 0x00, 0x08};
      if (errno_t e = s_->format_unit(reinterpret_cast<caddr_t>(list), false)) {
        DRV_LOG(ERR_, "STEP#02 FORMAT_UNIT failed. err(%d)\n", e);
        format_failed_ = true;
      } else {
        add(1);
      }
      if (errno_t e = read_disc(s_, &status, &last)) {
        DRV_LOG(ERR_, "STEP#03 READ_DISC_INFORMATION failed. err(%d)\n", e);
        return e;
      }
      add(1);
      // A disc that is not an incomplete one-track disc now cannot take the
      // volume: that is a failure, not a finished format.
      if (status != 1) {
        DRV_LOG(ERR_, "disc status not incomplete. status:%d\n", status);
        return drv_err::kIO;
      }
      if (last != 1) {
        DRV_LOG(ERR_, "track num:%d\n", last);
        return drv_err::kIO;
      }
    }
    pxo_track_info_data_t t1{};
    if (errno_t e = read_track(s_, 1, &t1)) {
      DRV_LOG(ERR_, "STEP#04 READ_TRACK_INFORMATION failed. err(%d)\n", e);
      return e;
    }
    add(1);
    if (t1.NextWritableAddress <= 4351) format_failed_ = false;
    return 0;
  }

  // Tag serial number (0007h), medium serial number (0401h) and, for the
  // stride format, the 1500h record.
  errno_t read_identity(Boolean* get_msn) {
    std::uint8_t attr[184] = {};
    if (!svc_.m_stride_format || svc_.m_tag_serial_number == 0xFFFF) {
      if (errno_t e = s_->get_read_attribute(0x0007, attr, 12)) {
        DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(0007h) failed. err(%d)\n", e);
        svc_.m_tag_serial_number = 1;
      } else {
        svc_.m_tag_serial_number = be16(attr + 9);
        DRV_LOG(DEBG, "STEP#XX READ_ATTRIBUTE(0007h) InitCount=0x%X\n", svc_.m_tag_serial_number);
      }
    }
    errno_t check = 0;
    errno_t se = svc_.read_medium_serial(&check);
    if (se) DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(0401h) failed. err(%d)\n", se);
    if (se != 0 || check != 0) {
      DRV_LOG(ERR_, "get MEDIUM SERIAL NUMBER err\n");
      return drv_err::kInvalid;
    }
    *get_msn = 1;
    if (svc_.m_stride_format) {
      std::memset(attr, 0, sizeof(attr));
      if (errno_t e = s_->get_read_attribute(0x1500, attr, 184)) {
        DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(1500h). Result = %d\n", e);
        return e;
      }
    }
    return 0;
  }

  // Disc size, verify mode, the low padding of track 1 and the buffers.
  errno_t prepare() {
    if (errno_t e = block_count(s_, &N_)) {
      DRV_LOG(ERR_, "STEP#29 READ_CAPACITY failed. err(%d)\n", e);
      return e;
    }
    add(1);
    DRV_LOG(INFO, "completedsteps=%d, #29\xE2\x86\x92" "4.5:READ_CAPACITY\n", *counter_);
    DRV_LOG(INFO, "lastsector:%d(0x%X)\n", N_, N_);
    if (errno_t e = check_disc_size(N_, type_)) return e;
    if (errno_t e = set_verify_mode(s_, N_, verify_off_)) return e;
    if (lp_) {
      if (errno_t e = svc_.autoFormatLOWInitTrack(1, 4352)) {
        DRV_LOG(ERR_, "Failed to Padding, Track#1 LSN 0-0x1100 to N. Status=%08X", static_cast<unsigned>(e));
        return e;
      }
      DRV_LOG(DEBG, "DBG AD VRS SUCCESS\n");
    }
    if (errno_t e = b_.alloc(f2_ ? 0x80000 : 0x10000, "err")) return e;
    io_ = std::make_unique<WoIo>(s_, b_, verify_off_, counter_, false);
    return 0;
  }

  // Sections 0-3: recognition sequence, padding, first anchor, padding.
  errno_t start_sections() {
    const bool pad = !lp_ && !format_failed_;
    if (errno_t e = setup(0)) return e;
    if (errno_t e = fixed(one(0, big_, f2_), "STEP#05")) return e;
    if (pad) {
      if (errno_t e = setup(1, true)) return e;
      if (errno_t e = fixed(padding(32, 7, 224), "STEP#08")) return e;
    } else {
      add(3);
    }
    if (errno_t e = setup(2)) return e;
    if (errno_t e = fixed(one(256, big_, f2_), "STEP#10")) return e;
    if (pad) {
      if (errno_t e = setup(3, true)) return e;
      if (errno_t e = fixed(padding(288, 127, 4320), "STEP#13")) return e;
    } else {
      add(3);
    }
    return 0;
  }

  // Sections 4 and 5: metadata extent and metadata file entries at the NWA
  // of track 1 (not written by the stride format).
  errno_t metadata_sections() {
    if (svc_.m_stride_format) {
      add(8);
      return 0;
    }
    static const char* const l4[3] = {"16", "17", "18"};
    static const char* const l5[3] = {"20", "21", "22"};
    // Track 2 is reserved at N - X only later: the metadata must end before.
    NwaSection sec{"STEP#15", l4, lp_, N_ - track2_offset(type_),
                   [this](std::uint32_t lsn) { return setup(4, false, lsn, lsn, lsn); }};
    if (errno_t e = write_at_nwa(s_, *io_, sec, &M_)) return e;
    sec.step = "STEP#19";
    sec.labels = l5;
    sec.build = [this](std::uint32_t lsn) { return setup(5, false, M_, lsn, lsn); };
    return write_at_nwa(s_, *io_, sec, &E_);
  }

  // Sections 6 and 7: both volume descriptor sequences, the open integrity
  // descriptor.
  errno_t sequences() {
    if (errno_t e = setup(6, false, 0, 0, svc_.m_stride_format ? 0 : E_)) return e;
    if (errno_t e = fixed(one(f2_ ? 384 : 288, f2_ ? 256 : 32, f2_), "STEP#23")) return e;
    if (errno_t e = setup(7)) return e;
    return fixed(one(f2_ ? 640 : 320, big_, f2_), "STEP#26");
  }

  errno_t cartridge_memory() {
    if (svc_.m_stride_format) {
      errno_t e = svc_.writeAttributeFromStride(media::udf_time(now_));
      if (e) DRV_LOG(ERR_, "writeAttribute failed.Result %d\n", e);
      return e;
    }
    pxo_attribute_data_t rec{};
    if (errno_t e = svc_.initializeCMData(&rec, media::udf_time(now_))) {
      DRV_LOG(ERR_, "initializeCMData failed. err=%d\n", e);
      return e;
    }
    if (errno_t e = scsi_service_cm::convEndianForCMData(&rec)) {
      DRV_LOG(ERR_, "convEndianForCMData failed. err=%d\n", e);
      return e;
    }
    cm_set_1500h_crc_wire(&rec);
    errno_t e = s_->pxo_write_attribute(reinterpret_cast<caddr_t>(&rec));
    if (e) DRV_LOG(ERR_, "writeAttribute failed.Result %d\n", e);
    return e;
  }

  // Track 2 reserved at N - X and padded, then the last anchor (section 9).
  errno_t end_area() {
    std::uint32_t t2 = N_ - track2_offset(type_);
    if (errno_t e = s_->reserve_track(reinterpret_cast<caddr_t>(&t2))) {
      DRV_LOG(ERR_, "STEP#30 RESERVE_TRACK failed. err(%d)\n", e);
      return e;
    }
    add(1);
    if (lp_) {
      if (errno_t e = svc_.autoFormatLOWInitTrack(2, N_)) {
        DRV_LOG(ERR_, "Failed to Padding, Track#2 LSN N-0x80 to N. Status=%08X", static_cast<unsigned>(e));
        return e;
      }
      DRV_LOG(DEBG, "DBG AD TRACK2 SUCCESS\n");
    } else {
      if (errno_t e = setup(8, true)) return e;
      if (errno_t e = fixed(padding(N_ - 288, 8, N_ - 64), "STEP#31")) return e;
    }
    if (errno_t e = setup(9)) return e;
    return fixed(one(N_ - big_, big_, f2_), "STEP#33");
  }

 private:
  void add(int n) { *counter_ = static_cast<std::uint32_t>(static_cast<int>(*counter_) + n); }

  errno_t setup(std::uint32_t type_no, bool clear64 = false, std::uint32_t content = 0, std::uint32_t buffer_lsn = 0,
                std::uint32_t metadataLsn = 0) {
    setup_buffer_info_t su{};
    su.type = type_no;
    su.buffer = b_.data;
    su.buffer_size = b_.size;
    media::fill_setup_time(&su, now_);
    su.clear_64k_only = clear64 ? 1 : 0;
    su.block_count = N_;
    su.metadata_content_lsn = content;
    su.buffer_lsn = buffer_lsn;
    if (!svc_.autoFormatSetUpWriteBuffer(&su, metadataLsn, nullptr, 0, 0, 1)) {
      DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
      return drv_err::kInvalid;
    }
    return 0;
  }
  // Ten attempts of a fixed-place section; a section that never succeeds ends
  // the format, so that no later section points at an area never written.
  errno_t fixed(WoIo::Section p, const char* name) {
    static const struct {
      const char* name;
      const char* steps[3];
    } labels[] = {{"STEP#05", {"05", "06", "07"}}, {"STEP#08", {"08", "09", "07"}}, {"STEP#10", {"10", "11", "12"}},
                  {"STEP#13", {"13", "14", "07"}}, {"STEP#23", {"23", "24", "25"}}, {"STEP#26", {"26", "27", "28"}},
                  {"STEP#31", {"31-1", "31-2", "31-2"}}, {"STEP#33", {"31-3", "32", "33"}}};
    for (const auto& l : labels)
      if (std::strcmp(l.name, name) == 0) std::copy(std::begin(l.steps), std::end(l.steps), p.steps);
    errno_t e = 0;
    for (int i = 0; i < kAttempts; ++i) {
      e = io_->attempt(p);
      if (e == 0) return 0;
    }
    DRV_LOG(ERR_, "%s: retry NG. retry_count=%d err(%d)\n", name, kAttempts, e);
    return e;
  }
  static WoIo::Section one(std::uint32_t lsn, std::uint32_t blocks, bool reserve) {
    WoIo::Section p;
    p.writes = {{lsn, blocks}};
    p.reserve = reserve;
    p.reserve_lsn = lsn;
    p.reserve_blocks = blocks;
    p.verify_lsn = lsn;
    p.verify_blocks = blocks;
    return p;
  }
  static WoIo::Section padding(std::uint32_t first, std::uint32_t count, std::uint32_t vlsn) {
    WoIo::Section p;
    for (std::uint32_t k = 0; k < count; ++k) p.writes.push_back({first + 32 * k, 32});
    p.verify_lsn = vlsn;
    p.verify_blocks = 32;
    return p;
  }

  scsi_service_wo& svc_;
  storage_scsi* s_;
  std::tm now_;
  std::uint8_t type_;
  std::uint32_t* counter_;
  bool verify_off_;
  bool lp_, f2_;
  std::uint32_t big_;
  bool format_failed_ = false;
  std::uint32_t N_ = 0, M_ = 0, E_ = 0;
  Buffers b_;
  std::unique_ptr<WoIo> io_;
};

errno_t scsi_service_wo::auto_format(uint32_t* completedsteps, bool skipFormat, Boolean* get_msn,
                                     storage_scsi* pscsi, bool driveVerify) {
  DRV_TRACE_FN();
  if (completedsteps == nullptr || get_msn == nullptr) {
    DRV_LOG(ERR_, "invalid parameter. completedsteps=0x%p, get_msn=0x%p. err(%d)", static_cast<void*>(completedsteps),
            static_cast<void*>(get_msn), drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  set_storage_scsi(pscsi);
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "cannot scsi access!!  err=%d", drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  storage_scsi* s = m_storage_scsi;
  *get_msn = 0;
  *completedsteps = 0;
  DRV_LOG(INFO, "initialize completedsteps=%d", 0);
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() fialed err=%d", -1);
    return -1;
  }
  s->scsi_cache_clear();
  std::uint8_t type = 0;
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(&type))) {
    DRV_LOG(ERR_, "get_medium_type failed. err(%d)\n", e);
    return e;
  }
  wo_format_run run(*this, s, now, type, completedsteps, driveVerify);
  bool done = false;
  if (errno_t e = run.format_tracks(skipFormat, &done)) return e;
  if (done) return 0;
  if (errno_t e = run.read_identity(get_msn)) return e;
  if (errno_t e = run.prepare()) return e;
  if (errno_t e = run.start_sections()) return e;
  if (errno_t e = run.metadata_sections()) return e;
  if (errno_t e = run.sequences()) return e;
  if (errno_t e = run.cartridge_memory()) return e;
  const errno_t res = run.end_area();
  s->scsi_cache_clear();
  DRV_LOG(INFO, "completedsteps=%d, Result=%d", *completedsteps, res);
  return res;
}

// The stride format of a write-once disc: FORMAT UNIT (unless skipped) and
// the disc checked, its size and first track read, its identity read, then
// its four sections below block 4352 written and verified.
class wo_stride_run {
 public:
  wo_stride_run(scsi_service_wo& svc, storage_scsi* s, std::uint32_t* counter, bool driveVerify)
      : svc_(svc), s_(s), counter_(counter), verify_off_(driveVerify) {}

  // FORMAT UNIT into one incomplete track, then the disc must be an
  // incomplete one with one track. A disc that is not blank is formatted
  // only over this system's own format cut short (a move to this disc that
  // a kill or power cut interrupted): blocks another program recorded are
  // never written over. A failed FORMAT UNIT is remembered for the padding
  // decision.
  errno_t format_disc(bool skipFormat) {
    if (errno_t e = svc_.refuse_unless_own("auto_format_for_stride")) return e;
    if (skipFormat) return 0;
    std::uint8_t list[12] = {0x00, 0x00, 0x00, 0x08};
    if (errno_t e = s_->format_unit(reinterpret_cast<caddr_t>(list), false)) {
      DRV_LOG(ERR_, "Failed to FORMAT UNIT. Result=%08X\n", static_cast<unsigned>(e));
      format_failed_ = true;
    }
    std::uint8_t status = 0;
    std::uint16_t last = 0;
    if (errno_t e = read_disc(s_, &status, &last)) {
      DRV_LOG(ERR_, "Failed to get Media Status. Result=%08X\n", static_cast<unsigned>(e));
      return e;
    }
    add(1);
    if (status != 1) {
      DRV_LOG(ERR_, "fail DiscInfo.SD.DiscStatus %d\n", status);
      return drv_err::kIO;
    }
    add(1);
    if (last != 1) {
      DRV_LOG(ERR_, "fail LastTrackNumberItLastSession 0x%x\n", last);
      return drv_err::kIO;
    }
    add(1);
    formatted_now_ = true;
    return 0;
  }

  // The disc's block count (the smallest volume still applies), the verify
  // mode of a disc formatted now, and track 1's next writable address.
  errno_t measure() {
    std::uint32_t bs = 0;
    if (errno_t e = block_count(s_, &N_)) {
      DRV_LOG(ERR_, "fail readCapacity \n");
      return e;
    }
    if (errno_t e = s_->get_block_size(reinterpret_cast<caddr_t>(&bs))) {
      DRV_LOG(ERR_, "fail readCapacity \n");
      return e;
    }
    DRV_LOG(INFO, "readCapacity lba=0x%x bpb=0x%x\n", N_, bs);
    // The stride format writes only below 4352; the smallest volume still applies.
    if (errno_t e = check_disc_size(N_, 0xF1)) return e;
    add(1);
    if (formatted_now_)
      if (errno_t e = set_verify_mode(s_, N_, verify_off_)) return e;
    pxo_track_info_data_t t1{};
    if (errno_t e = read_track(s_, 1, &t1)) {
      DRV_LOG(ERR_, "fail reportTrackInfo(readTrackInfo) \n");
      return e;
    }
    add(1);
    nwa1_ = t1.NextWritableAddress;
    return 0;
  }

  // The tag serial number (once per stride format, 1 when unreadable), the
  // medium serial number (without it *get_msn is 0 and the format ends with
  // -1), the medium type and the time the sections carry.
  errno_t read_identity(Boolean* get_msn) {
    std::uint8_t attr[44] = {};
    if (!svc_.m_stride_format || svc_.m_tag_serial_number == 0xFFFF) {
      if (s_->get_read_attribute(0x0007, attr, 12) != 0) {
        DRV_LOG(WARN, "fail ReadAttribute[0007h:INITIALIZATION COUNT] \n");
        svc_.m_tag_serial_number = 1;
      } else {
        svc_.m_tag_serial_number = be16(attr + 9);
      }
    }
    errno_t check = 0;
    if (svc_.read_medium_serial(&check) != 0 || check != 0) {
      DRV_LOG(WARN, check != 0 ? "MEDIUM SERIAL NUMBER contain illegal string\n"
                               : "fail ReadAttribute[0401h:MEDIUM SERIAL NUMBER] \n");
      *get_msn = 0;
      return -1;
    }
    if (errno_t e = s_->get_medium_type(reinterpret_cast<caddr_t>(&type_))) {
      DRV_LOG(ERR_, "get_medium_type failed. err(%d)\n", e);
      return e;
    }
    if (!media::now_utc(&now_)) {
      DRV_LOG(ERR_, "time() failed Result=%d", -1);
      return -1;
    }
    return 0;
  }

  // Sections 0 and 2 hold the structures at blocks 0 and 256; sections 1 and
  // 3 pad between them. A low-padded medium pads track 1 up to 4352 first
  // and needs no padding sections; a disc whose FORMAT UNIT failed with its
  // writable address past 4351 skips them (counted as done).
  errno_t write_sections() {
    const bool f2 = type_ == 0xF2, lp = low_padded(type_);
    Buffers b;
    if (errno_t e = b.alloc(f2 ? 0x80000 : 0x10000, "Result")) return e;
    WoIo io(s_, b, verify_off_, counter_, true);
    const bool skip_pad = nwa1_ > 4351 && format_failed_;
    for (std::uint32_t section = 0; section <= 3; ++section) {
      const bool is_pad = section == 1 || section == 3;
      if (section == 0 && lp) {
        if (errno_t e = svc_.autoFormatLOWInitTrack(1, 4352)) {
          DRV_LOG(ERR_, "Failed to Padding, Track#1 LSN 0-0x1100 to N. Status=%08X", static_cast<unsigned>(e));
          return e;
        }
        DRV_LOG(DEBG, "DBG AD VRS SUCCESS\n");
      }
      if (is_pad && lp) continue;
      if (is_pad && skip_pad) {
        add(3);
        continue;
      }
      if (errno_t e = write_section(io, b, section, plan(section, f2))) return e;
    }
    return 0;
  }

 private:
  void add(int n) { *counter_ = static_cast<std::uint32_t>(static_cast<int>(*counter_) + n); }

  // A structure section: one write of 32 (128 on 0xF2) blocks at 0 or 256.
  // A padding section: 7 writes of 32 blocks from 32, or 127 from 288.
  static WoIo::Section plan(std::uint32_t section, bool f2) {
    WoIo::Section p;
    p.reserve = f2;
    if (section == 0 || section == 2) {
      const std::uint32_t lsn = section == 0 ? 0 : 256, big = f2 ? 128 : 32;
      p.writes = {{lsn, big}};
      p.reserve_lsn = p.verify_lsn = lsn;
      p.reserve_blocks = p.verify_blocks = big;
      return p;
    }
    const std::uint32_t first = section == 1 ? 32 : 288, count = section == 1 ? 7 : 127;
    for (std::uint32_t k = 0; k < count; ++k) p.writes.push_back({first + 32 * k, 32});
    p.reserve_lsn = p.verify_lsn = first;
    p.reserve_blocks = p.verify_blocks = 32 * count;
    return p;
  }

  // Up to kAttempts times: the section's data set up in the buffer, then
  // written and verified.
  errno_t write_section(WoIo& io, Buffers& b, std::uint32_t section, const WoIo::Section& p) {
    errno_t e = 0;
    for (int i = 0; i < kAttempts; ++i) {
      setup_buffer_info_t su{};
      su.type = section;
      su.buffer = b.data;
      su.buffer_size = b.size;
      media::fill_setup_time(&su, now_);
      su.clear_64k_only = (section == 1 || section == 3) ? 1 : 0;
      su.block_count = N_;
      su.buffer_lsn = nwa1_;
      if (!svc_.autoFormatSetUpWriteBuffer(&su, 0, nullptr, 0, 0, 1)) {
        DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
        return drv_err::kInvalid;
      }
      e = io.attempt(p);
      if (e == 0) break;
    }
    if (e) DRV_LOG(ERR_, "fail exit\n");
    return e;
  }

  scsi_service_wo& svc_;
  storage_scsi* s_;
  std::uint32_t* counter_;
  bool verify_off_;
  bool format_failed_ = false, formatted_now_ = false;
  std::uint32_t N_ = 0, nwa1_ = 0;
  std::uint8_t type_ = 0;
  std::tm now_{};
};

errno_t scsi_service_wo::auto_format_for_stride(uint32_t* completedsteps, bool skipFormat, Boolean* get_msn,
                                                storage_scsi*, bool driveVerify) {
  DRV_TRACE_FN();
  if (completedsteps == nullptr || get_msn == nullptr) {
    DRV_LOG(ERR_, "invalid parameter. completedsteps=0x%p, get_msn=0x%p. Result(%d)",
            static_cast<void*>(completedsteps), static_cast<void*>(get_msn), drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "cannot scsi access!!  err=%d", drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  *get_msn = 1;
  wo_stride_run run(*this, m_storage_scsi, completedsteps, driveVerify);
  if (errno_t e = run.format_disc(skipFormat)) return e;
  if (errno_t e = run.measure()) return e;
  if (errno_t e = run.read_identity(get_msn)) return e;
  return run.write_sections();
}

namespace {

// Up to kAttempts attempts of a section, its buffer built afresh (`build`
// false: it could not be) before each.
template <class Build>
errno_t write_section_attempts(WoIo& io, const WoIo::Section& p, Build build) {
  errno_t e = 0;
  for (int i = 0; i < kAttempts; ++i) {
    if (!build()) return drv_err::kInvalid;
    e = io.attempt(p);
    if (e == 0) break;
  }
  if (e) DRV_LOG(ERR_, "fail exit\n");
  return e;
}

// The medium type and the disc's block count, which must hold a volume.
errno_t measure_last_area(storage_scsi* s, std::uint8_t* type, std::uint32_t* N) {
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(type))) {
    DRV_LOG(ERR_, "get_medium_type failed. err(%d)\n", e);
    return e;
  }
  if (errno_t e = block_count(s, N)) {
    DRV_LOG(ERR_, "fail readCapacity \n");
    return e;
  }
  return check_disc_size(*N, *type);
}

// Track 2 reserved unless the caller's record says it is.
errno_t reserve_track2(storage_scsi* s, pxo_auto_format_last_info_t* info, std::uint8_t type, std::uint32_t N) {
  if (info->track_reserved) return 0;
  std::uint32_t t2 = N - track2_offset(type);
  if (errno_t e = s->reserve_track(reinterpret_cast<caddr_t>(&t2))) {
    DRV_LOG(ERR_, "fail reserveTrack \n");
    return e;
  }
  info->track_reserved = 1;
  return 0;
}

// Section 8: the padding of track 2 before the last anchor (none on F2h).
template <class Build>
errno_t write_track2_padding(WoIo& io, std::uint8_t type, std::uint32_t N, Build build) {
  WoIo::Section p;
  const bool f1 = type == 0xF1 || type == 0xE5;
  const std::uint32_t first = f1 ? N - 128 : N - 288, count = f1 ? 3 : 8;
  for (std::uint32_t k = 0; k < count; ++k) p.writes.push_back({first + 32 * k, 32});
  p.verify_lsn = first;
  p.verify_blocks = 32 * count;
  return write_section_attempts(io, p, [&] { return build(8); });
}

// Section 9: the last anchor, in the disc's last 32 blocks (128 on F2h,
// whose range is reserved first).
template <class Build>
errno_t write_last_anchor(WoIo& io, bool f2, std::uint32_t N, Build build) {
  WoIo::Section p;
  const std::uint32_t big = f2 ? 128 : 32;
  p.writes = {{N - big, big}};
  p.reserve = f2;
  p.reserve_lsn = N - big;
  p.reserve_blocks = big;
  p.verify_lsn = N - big;
  p.verify_blocks = big;
  return write_section_attempts(io, p, [&] { return build(9); });
}

}  // namespace

errno_t scsi_service_wo::reserveTrackAndWriteLastAVDP(pxo_auto_format_last_info_t* info) {
  DRV_TRACE_FN();
  if (info == nullptr) {
    DRV_LOG(ERR_, "invalid parameter. autoFormatLastInfo=0x%p. Result(%d)", static_cast<void*>(info),
            drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  if (m_storage_scsi == nullptr) return drv_err::kInvalid;
  storage_scsi* s = m_storage_scsi;
  std::uint8_t type = 0;
  std::uint32_t N = 0;
  if (errno_t e = measure_last_area(s, &type, &N)) return e;
  if (errno_t e = reserve_track2(s, info, type, N)) return e;
  m_tag_serial_number = info->tag_serial_number;
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() failed Result=%d", -1);
    return -1;
  }
  const bool f2 = type == 0xF2;
  Buffers b;
  if (errno_t e = b.alloc(f2 ? 0x40000 : 0x10000, "Result")) return e;
  WoIo io(s, b, info->drive_verify != 0, nullptr, false);
  auto build = [&](std::uint32_t section) -> bool {
    setup_buffer_info_t su{};
    su.type = section;
    su.buffer = b.data;
    su.buffer_size = b.size;
    media::fill_setup_time(&su, now);
    su.clear_64k_only = section == 8 ? 1 : 0;
    su.block_count = N;
    if (!autoFormatSetUpWriteBuffer(&su, 0, nullptr, 0, 0, 1)) {
      DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
      return false;
    }
    return true;
  };
  if (low_padded(type)) {
    if (errno_t e = autoFormatLOWInitTrack(2, N)) {
      DRV_LOG(ERR_, "Failed to Padding, Track#2 LSN N-0x80 to N. Status=%08X", static_cast<unsigned>(e));
      return e;
    }
    DRV_LOG(DEBG, "DBG AD PAD3 SUCCESS\n");
  }
  if (!f2)
    if (errno_t e = write_track2_padding(io, type, N, build)) return e;
  return write_last_anchor(io, f2, N, build);
}

// The erase of a written write-once disc: the disc measured and its identity
// read, then a new empty metadata file written at track 1's next writable
// address and the volume's descriptor areas written again after it.
class wo_erase_run {
 public:
  wo_erase_run(scsi_service_wo& svc, storage_scsi* s, pxo_all_erase_info_t* info, bool driveVerify,
               const std::tm& now)
      : svc_(svc), s_(s), info_(info), now_(now), io_(s, b_, driveVerify, nullptr, false) {}

  // The medium type and the disc's block count; a disc too small for its
  // volume is refused.
  errno_t measure() {
    if (errno_t e = s_->get_medium_type(reinterpret_cast<caddr_t>(&type_))) {
      DRV_LOG(ERR_, "get_medium_type failed. err(%d)\n", e);
      return e;
    }
    if (errno_t e = block_count(s_, &N_)) {
      DRV_LOG(ERR_, "STEP#00-1 READ_CAPACITY failed. err(%d)\n", e);
      return e;
    }
    DRV_LOG(INFO, "lastsector:%d(0x%X)\n", N_, N_);
    if (errno_t e = check_disc_size(N_, type_)) {
      s_->scsi_cache_clear();
      return e;
    }
    return 0;
  }

  // The tag serial number (once per service), the medium serial number,
  // which must be usable, and the volume set number and next unique
  // identifier of the 1500h attribute.
  errno_t read_identity() {
    std::uint8_t attr[184] = {};
    if (svc_.m_tag_serial_number == 0xFFFF) {
      if (errno_t e = s_->get_read_attribute(0x0007, attr, 12)) {
        DRV_LOG(WARN, "STEP#00-2 READ_ATTRIBUTE(0007h) failed. (%d)\n", e);
        svc_.m_tag_serial_number = 1;
      } else {
        svc_.m_tag_serial_number = be16(attr + 9);
        DRV_LOG(DEBG, "scsi_service_wo::all_erase >>> STEP#00-2 READ_ATTRIBUTE(0007h) InitCount=0x%X\n",
                svc_.m_tag_serial_number);
      }
    }
    errno_t check = 0;
    errno_t se = svc_.read_medium_serial(&check);
    if (se) DRV_LOG(ERR_, "STEP#00-3 READ_ATTRIBUTE(0401h) failed. err(%d)\n", se);
    if (se != 0 || check != 0) {
      DRV_LOG(ERR_, "get MEDIUM SERIAL NUMBER err\n");
      s_->scsi_cache_clear();
      return KEL_EILSEQ;
    }
    std::memset(attr, 0, sizeof(attr));
    if (errno_t e = s_->get_read_attribute(0x1500, attr, 184)) {
      DRV_LOG(ERR_, "STEP#XX READ_ATTRIBUTE(1500h). err = %d\n", e);
      return e;
    }
    const std::uint8_t* v = attr + 9;
    vsn_ = drvint::be32(v + cm1500::kVolumeSetNumber);
    next_uid_ = drvint::be32(v + cm1500::kLastUniqueId) + 1;
    return 0;
  }

  // The metadata in track 1, which ends where track 2 starts, then the
  // descriptor areas; the drive's cache is cleared after.
  errno_t write_volume() {
    const bool f2 = type_ == 0xF2;
    if (errno_t e = b_.alloc(f2 ? 0x80000 : 0x10000, "err")) return e;
    pxo_track_info_data_t t2{};
    if (errno_t e = read_track(s_, 2, &t2)) {
      DRV_LOG(ERR_, "READ_TRACK_INFORMATION(track 2) failed. err(%d)\n", e);
      s_->scsi_cache_clear();
      return e;
    }
    errno_t res = write_metadata(t2.LogicalTrackStartAddress);
    if (res == 0) res = write_fixed(6, f2 ? 384 : 288, f2 ? 256 : 32, f2 ? 0x80000 : 0x10000, "STEP#09");
    if (res == 0) res = write_fixed(7, f2 ? 640 : 320, f2 ? 128 : 32, f2 ? 0x40000 : 0x10000, "STEP#12");
    s_->scsi_cache_clear();
    DRV_LOG(INFO, "Result=%d", res);
    return res;
  }

 private:
  // One section of the volume into the data buffer.
  errno_t build(std::uint32_t section, std::uint32_t content, std::uint32_t buffer_lsn, std::uint32_t metadataLsn,
                std::uint32_t bufsize) {
    setup_buffer_info_t su{};
    su.type = section;
    su.buffer = b_.data;
    su.buffer_size = bufsize;
    media::fill_setup_time(&su, now_);
    su.block_count = N_;
    su.metadata_content_lsn = content;
    su.buffer_lsn = buffer_lsn;
    if (!svc_.autoFormatSetUpWriteBuffer(&su, metadataLsn, info_, vsn_, next_uid_, 0)) {
      DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
      return drv_err::kInvalid;
    }
    return 0;
  }

  // The metadata file's content at track 1's next writable address, then
  // the metadata file's entries at the next one.
  errno_t write_metadata(std::uint32_t limit) {
    NwaSection sec{"STEP#01", nullptr, low_padded(type_), limit,
                   [&](std::uint32_t lsn) { return build(4, lsn, lsn, 0, 0x10000); }};
    errno_t res = write_at_nwa(s_, io_, sec, &M_);
    DRV_LOG(INFO, "STEP#01 metadatalsn[%d]\n", M_);
    if (res != 0) return res;
    sec.step = "STEP#05";
    sec.build = [&](std::uint32_t lsn) { return build(5, M_, lsn, lsn, 0x10000); };
    return write_at_nwa(s_, io_, sec, &E_);
  }

  // A section at a fixed place, written and verified in up to kAttempts
  // attempts.
  errno_t write_fixed(std::uint32_t section, std::uint32_t lsn, std::uint32_t blocks, std::uint32_t bufsize,
                      const char* step) {
    errno_t e = 0;
    for (int i = 0; i < kAttempts; ++i) {
      if (errno_t be = build(section, 0, 0, E_, bufsize)) return be;
      WoIo::Section p;
      p.writes = {{lsn, blocks}};
      p.reserve = type_ == 0xF2;
      p.reserve_lsn = lsn;
      p.reserve_blocks = blocks;
      p.verify_lsn = lsn;
      p.verify_blocks = blocks;
      e = io_.attempt(p);
      if (e == 0) return 0;
    }
    DRV_LOG(ERR_, "%s: retry NG. retry_count=%d err(%d)\n", step, kAttempts, e);
    return e;
  }

  scsi_service_wo& svc_;
  storage_scsi* s_;
  pxo_all_erase_info_t* info_;
  std::tm now_;
  Buffers b_;
  WoIo io_;
  std::uint8_t type_ = 0;
  std::uint32_t N_ = 0;
  std::uint32_t vsn_ = 0, next_uid_ = 0;
  std::uint32_t M_ = 0, E_ = 0;  // the metadata file's content and entries
};

errno_t scsi_service_wo::all_erase(pxo_all_erase_info_t* info, bool driveVerify) {
  DRV_TRACE_FN();
  if (errno_t e = media::check_erase_arguments(info, m_storage_scsi)) return e;
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() fialed err=%d", -1);
    m_storage_scsi->scsi_cache_clear();
    return -1;
  }
  m_storage_scsi->scsi_cache_clear();
  wo_erase_run run(*this, m_storage_scsi, info, driveVerify, now);
  if (errno_t e = run.measure()) return e;
  if (errno_t e = run.read_identity()) return e;
  return run.write_volume();
}
