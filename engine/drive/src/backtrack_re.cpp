// Backtrack of a rewritable cartridge: slot by slot down to the disc of the
// rollback point, which gets its volume descriptors rewritten (policy 4) or
// is erased for a reformat (policy 5).
#include "drive/scsi_service_re.h"

#include "cm_data_internal.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

using namespace drvlog;
using drvint::be16;
using drvint::be32;
using drvint::put_be16;

namespace {

constexpr int kAttempts = 10;
constexpr errno_t kBadRollbackSlot = 34;
constexpr errno_t kBadTarget = 57;
constexpr errno_t kBadRollbackAddress = 61;
constexpr errno_t kBusy = 16;


void report(storage_scsi* s) {
  if (errno_t e = s->set_raw_mount_status_to_mount_info(0xFFFFFFFFu, 0x80000, 2, 255, 255))
    DRV_LOG(ERR_, "set_raw_mount_status_to_mount_info failed. Result=%d\n", e);
}

// Attribute 1500h as read (answer header, attribute header, value).
struct Attr1500 {
  std::uint8_t raw[184] = {};
  std::uint8_t* value() { return raw + 9; }
  std::uint16_t vsn() { return be16(value() + cm1500::kRollbackVsn); }
  std::uint64_t address() { return media::get_be64(value() + cm1500::kRollbackAddress); }
  bool crc_ok() { return scsi_service_cm::calculate_crc(value(), 126) == be16(value() + cm1500::kCrc); }
};

errno_t read_1500h(storage_scsi* s, Attr1500* a) {
  std::memset(a->raw, 0, sizeof(a->raw));
  return s->get_read_attribute(0x1500, a->raw, sizeof(a->raw));
}

// Writes the 1500h attribute back with a fresh CRC.
errno_t write_1500h(storage_scsi* s, Attr1500* a) {
  std::uint8_t* v = a->value();
  put_be16(v + cm1500::kCrc, scsi_service_cm::calculate_crc(v, 126));
  std::uint8_t list[4 + 5 + 128] = {};
  drvint::put_be32(list, 5 + 128);
  std::memcpy(list + 4, a->raw + 4, 5 + 128);
  return s->pxo_write_attribute(reinterpret_cast<caddr_t>(list));
}

void set_rollback(Attr1500* a, std::uint16_t vsn, std::uint64_t address) {
  put_be16(a->value() + cm1500::kRollbackVsn, vsn);
  media::put_be64(a->value() + cm1500::kRollbackAddress, address);
}

// The file set descriptor at `fsdLsn`: its logical volume identifier
// (left zero when the block holds no file set descriptor) and its tag's
// serial number.
errno_t read_fsd(storage_scsi* s, UInt32 fsdLsn, std::uint8_t lvid[128], std::uint16_t* tag_serial) {
  std::vector<std::uint8_t> rd;
  try {
    rd.assign(65536, 0);
  } catch (const std::bad_alloc&) {
    return drv_err::kNoMemory;
  }
  pxo_buf rb{};
  rb.blkno = fsdLsn;
  rb.count = 65536;
  rb.bufsize = 65536;
  rb.data = rd.data();
  if (errno_t re = s->pxo_read10(&rb)) {
    DRV_LOG(ERR_, "failed read10 err:0x%x\n", re);
    return re;
  }
  const auto* tag = reinterpret_cast<const desc_tag*>(rd.data());
  if (tag->id == TAG_ID_FSD)
    std::memcpy(lvid, rd.data() + offsetof(fileset_desc, logvol_id), 128);
  else
    DRV_LOG(ERR_, "not FSD tag_id err\n");
  *tag_serial = tag->serial_num;
  return 0;
}

// The sections of a rollback point written at their places, each in up to
// kAttempts attempts, built with the file set's volume identifier.
class RollbackSections {
 public:
  RollbackSections(scsi_service_re& svc, storage_scsi* s, const std::tm& now, std::uint32_t last,
                   UInt32 metadataFeLsn, std::uint8_t* lvid)
      : svc_(svc), s_(s), now_(now), last_(last), metadata_fe_(metadataFeLsn), lvid_(lvid) {}
  errno_t alloc() {
    try {
      data_.assign(65536, 0);
    } catch (const std::bad_alloc&) {
      return drv_err::kNoMemory;
    }
    return 0;
  }
  errno_t write(std::uint32_t type_no, std::uint32_t lsn, std::uint32_t vsn, std::uint32_t next_uid,
                const char* fail_text) {
    errno_t e = 0;
    for (int i = 0; i < kAttempts; ++i) {
      if (!build(type_no, vsn, next_uid)) return drv_err::kInvalid;
      pxo_buf wb{};
      wb.blkno = lsn;
      wb.count = 65536;
      wb.bufsize = 65536;
      wb.data = data_.data();
      e = s_->pxo_write10_for_buf(&wb, 0);
      if (e) {
        DRV_LOG(ERR_, "fail write \n");
        continue;
      }
      e = s_->synchronize_cache(nullptr);
      if (e == 0) return 0;
      DRV_LOG(ERR_, "fail SynchronizeCache \n");
    }
    DRV_LOG(ERR_, "%s", fail_text);
    return e;
  }

 private:
  bool build(std::uint32_t type_no, std::uint32_t vsn, std::uint32_t next_uid) {
    setup_buffer_info_t su{};
    su.type = type_no;
    su.buffer = data_.data();
    su.buffer_size = 65536;
    media::fill_setup_time(&su, now_);
    su.block_count = last_;
    if (!svc_.autoFormatSetUpWriteBuffer(&su, metadata_fe_, 0, 0, 0, lvid_, nullptr, vsn,
                                         next_uid, 1)) {
      DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
      return false;
    }
    return true;
  }

  scsi_service_re& svc_;
  storage_scsi* s_;
  std::tm now_;
  std::uint32_t last_;
  UInt32 metadata_fe_;
  std::uint8_t* lvid_;
  std::vector<std::uint8_t> data_;
};

}  // namespace

pxo_backtrack_progress_t scsi_service_re::progress_record() const {
  const std::uint64_t v = m_progress.load();
  pxo_backtrack_progress_t p;
  std::memcpy(&p, &v, sizeof(p));
  return p;
}

void scsi_service_re::store_progress(const pxo_backtrack_progress_t& p) {
  std::uint64_t v = 0;
  std::memcpy(&v, &p, sizeof(p));
  m_progress.store(v);
}

void scsi_service_re::backtrackSetPrgress(UInt8 status, UInt8 progress, UInt16 current, UInt16 start, UInt16 end) {
  store_progress({status, progress, current, start, end});
  DRV_LOG(INFO, "Set BackTrackProgress:");
  DRV_LOG(INFO, "  status       = %d (0x%02X)", status, status);
  DRV_LOG(INFO, "  Progress     = %d (0x%02X)", progress, progress);
  DRV_LOG(INFO, "  CDiscSlotNum = %d (0x%04X)", current, current);
  DRV_LOG(INFO, "  SDiscSlotNum = %d (0x%04X)", start, start);
  DRV_LOG(INFO, "  EDiscSlotNum = %d (0x%04X)", end, end);
}

errno_t scsi_service_re::getBackTrackInformation(caddr_t out) {
  if (out == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(out));
    return drv_err::kInvalid;
  }
  const pxo_backtrack_progress_t p = progress_record();
  std::memcpy(out, &p, sizeof(p));
  DRV_LOG(INFO, "Get BackTrackProgress:");
  DRV_LOG(INFO, "  status       = %d (0x%02X)", p.status, p.status);
  DRV_LOG(INFO, "  Progress     = %d (0x%02X)", p.progress, p.progress);
  DRV_LOG(INFO, "  CDiscSlotNum = %d (0x%04X)", p.current_slot, p.current_slot);
  DRV_LOG(INFO, "  SDiscSlotNum = %d (0x%04X)", p.start_slot, p.start_slot);
  DRV_LOG(INFO, "  EDiscSlotNum = %d (0x%04X)", p.end_slot, p.end_slot);
  return 0;
}

errno_t scsi_service_re::resetBackTrackInformation() {
  if (m_walking.load()) {
    // The walk owns the progress record until it ends.
    DRV_LOG(ERR_, "backtrack running, reset refused\n");
    return kBusy;
  }
  pxo_backtrack_progress_t p{};
  errno_t res = drv_err::kInvalid;
  if (m_storage_scsi != nullptr) {
    pxo_mechanism_status_t m{};
    res = m_storage_scsi->mechanism_status(reinterpret_cast<caddr_t>(&m));
    if (res == 0 && m.state() == 1) p.current_slot = m.bytes[0] & 0x1F;
  }
  store_progress(p);
  DRV_LOG(INFO, "Reset BackTrackProgress:");
  DRV_LOG(INFO, "  status       = %d (0x%02X)", p.status, p.status);
  DRV_LOG(INFO, "  Progress     = %d (0x%02X)", p.progress, p.progress);
  DRV_LOG(INFO, "  CDiscSlotNum = %d (0x%04X)", p.current_slot, p.current_slot);
  DRV_LOG(INFO, "  SDiscSlotNum = %d (0x%04X)", p.start_slot, p.start_slot);
  DRV_LOG(INFO, "  EDiscSlotNum = %d (0x%04X)", p.end_slot, p.end_slot);
  return res;
}

// One backtrack walk, step by step. Failures after the walk has begun set
// progress status 3; `clear_after` also drops the rollback point.
class backtrack_walk {
 public:
  backtrack_walk(scsi_service_re& svc, storage_scsi* s, const pxo_backtrack_request_t& req)
      : svc_(svc), s_(s), req_(req) {}

  errno_t run() {
    if (read_rollback_point() == 0 && read_slots() == 0 && check_rollback_point_on_target() == 0 &&
        walk_down() == 0)
      target_action();
    if (clear_after_) clear_rollback_point();
    DRV_LOG(INFO, "end backtrack, Result=%d\n", res_);
    return res_;
  }

 private:
  // Attribute 1500h, its CRC and the target it names.
  errno_t read_rollback_point() {
    pxo_mechanism_status_t ms{};
    if (errno_t e = s_->mechanism_status(reinterpret_cast<caddr_t>(&ms))) {
      DRV_LOG(ERR_, "mechanism_status failed. Result=%d\n", e);
      mark_failed();
      return res_ = e;
    }
    slots_ = ms.slot_count();
    if (errno_t e = read_1500h(s_, &a_)) {
      DRV_LOG(ERR_, "Read Attribute is err :0x%x\n", e);
      mark_failed();
      clear_after_ = true;
      return res_ = e;
    }
    const std::uint16_t vsn = a_.vsn();
    const std::uint64_t addr = a_.address();
    DRV_LOG(INFO, "backtrack volseqNum:%d addr 0x%llx\n", vsn, static_cast<unsigned long long>(addr));
    // The mount-time skip-and-clear names no rollback point to act on.
    skip_checks_ = req_.policy == 4 && req_.skip_target == 1 && req_.clear_rollback == 1 && addr == ~0ull;
    if (!skip_checks_ && !a_.crc_ok()) {
      // pxo_read_attribute only records a mismatch; slot and address of a
      // damaged record are not acted on.
      DRV_LOG(ERR_, "1500h CRC mismatch: rollback point not used\n");
      return res_ = kBadRollbackAddress;
    }
    if (req_.policy == 4) {
      if (vsn < 1 || vsn > slots_) {
        DRV_LOG(ERR_, "SlotNumber is err:%d\n", vsn);
        return res_ = kBadRollbackSlot;
      }
      target_ = vsn - 1;
      fsd_ = static_cast<std::uint32_t>(addr);
      metafe_ = static_cast<std::uint32_t>(addr >> 32);
      if (fsd_ < 4352 || metafe_ < 4352) {
        DRV_LOG(ERR_, "FSD or MetaFE is err FSD:0x%x MetaFE:0x%x\n", fsd_, metafe_);
        return res_ = kBadRollbackAddress;
      }
      return 0;
    }
    if (vsn != 1) {
      DRV_LOG(ERR_, "Target SlotNumber is err:%d\n", vsn);
      return res_ = kBadTarget;
    }
    target_ = 0;
    s_->set_mirror_volume_type(volume_type_of(a_.value() + cm1500::kEntity));
    return 0;
  }

  // The slot information: the last written slot W starts the walk.
  errno_t read_slots() {
    svc_.backtrackSetPrgress(1, 0, 0xFFFF, 0xFFFF, static_cast<UInt16>(target_));
    DRV_LOG(INFO, "#01 get MSLN_WO\n");
    pxo_slot_info_t si{};
    if (errno_t e = s_->get_slot_info(reinterpret_cast<caddr_t>(&si))) return fail(e, false, true);
    svc_.m_slot_number = static_cast<std::uint8_t>(si.current_slot);
    W_ = static_cast<int>(si.last_written_slot);
    DRV_LOG(INFO, "last_written_disc_search >>> get_slot_info::slot(%d), CM_MaxSlotNum(%d)\n",
            static_cast<int>(si.current_slot), slots_);
    DRV_LOG(INFO, "last_written_disc_search >>> slotinfo->slotnum        ::%d\n", static_cast<int>(si.current_slot));
    DRV_LOG(INFO, "last_written_disc_search >>> slotinfo->lastwrittenslot::%d\n", W_);
    if (W_ >= slots_) return fail(kBadTarget, false, true);
    DRV_LOG(INFO, "#02 check Backtrack SLN [SLN:%d Max Slot Number:%d]\n", target_, slots_);
    if (W_ < target_) {
      DRV_LOG(ERR_, "Backtrack SLN check Backtrack slot number is invalid \n");
      return fail(kBadTarget, true, true);
    }
    C_ = W_;
    DRV_LOG(INFO, "#03 set Current Slot Number = CM::MSLN_WD [CSLN:%d] \n", C_);
    svc_.backtrackSetPrgress(1, 0, static_cast<UInt16>(C_), static_cast<UInt16>(C_), static_cast<UInt16>(target_));
    T_ = (W_ - target_ + 1) * 100;
    return 0;
  }

  // Before any disc is erased, the rollback point must be on the target
  // disc: a file set descriptor at its FSD address and a metadata file entry
  // at its metadata address. A point that is not there is dropped and every
  // disc stays as it was.
  errno_t check_rollback_point_on_target() {
    if (req_.policy != 4 || req_.skip_target != 0 || skip_checks_) return 0;
    pxo_mechanism_status_t ms{};
    errno_t e = s_->mechanism_status(reinterpret_cast<caddr_t>(&ms));
    if (e != 0 || !ms.holds(target_)) {
      if (errno_t le = load(target_)) return le;
    }
    if (!descriptor_at(fsd_, TAG_ID_FSD, 0) || !descriptor_at(metafe_, TAG_ID_EFE, 250)) {
      DRV_LOG(ERR_, "rollback point not on the target disc. slot:%d FSD:0x%x MetaFE:0x%x\n", target_, fsd_, metafe_);
      return fail(kBadRollbackAddress, true, true);
    }
    return 0;
  }

  // Erases the discs above the target, slot by slot, and loads the target.
  errno_t walk_down() {
    DRV_LOG(INFO, "#04 check CSLN == Disc SLN loaded \n");
    pxo_mechanism_status_t ms{};
    if (errno_t e = s_->mechanism_status(reinterpret_cast<caddr_t>(&ms))) {
      DRV_LOG(ERR_, "check CSLN == Disc SLN loaded. getMechanismStatus err Result:0x%x \n", e);
      return fail(e, false, true);
    }
    DRV_LOG(INFO, "#04 check MechanismStatus slot:%d discload:%d\n", ms.loaded_slot(), ms.state());
    bool need_load = !ms.holds(C_);
    for (;;) {
      if (need_load) {
        if (errno_t e = load(C_)) return e;
        if (errno_t e = set_realloc()) return e;
        advance();
      }
      DRV_LOG(INFO, "#07 check back track == CSLN? \n");
      if (C_ == target_) {
        DRV_LOG(INFO, "finish roop current slot number == backtoran slot number slot Num:%d\n", C_);
        return 0;
      }
      DRV_LOG(INFO, "#07 not equal Backtrack SLN:%d CSLN:%d \n", target_, C_);
      DRV_LOG(INFO, "#08 Start Current Disc erase\n");
      if (errno_t e = svc_.EraseDescriptorData()) {
        DRV_LOG(ERR_, "Descriptor erase err :0x%x \n", e);
        return fail(e, false, true);
      }
      advance();
      DRV_LOG(INFO, "#09 Decriment CSLN\n");
      C_ -= 1;
      DRV_LOG(INFO, "#10 Set CM::MSLN_WO\n");
      std::uint8_t list[10] = {0x00, 0x00, 0x00, 0x06, 0x0D, 0x00, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(C_)};
      if (s_->set_write_attribute(reinterpret_cast<caddr_t>(list), sizeof(list)) != 0)
        DRV_LOG(ERR_, "writeAttribute err \n");
      need_load = true;
    }
  }

  // Loads `slot` and checks that its disc is in the drive. A failed load drops
  // the rollback point; a wrong disc keeps it (nothing was changed).
  errno_t load(int slot) {
    DRV_LOG(INFO, "#05 Disc load Slot Number:%d \n", slot);
    std::uint8_t b = static_cast<std::uint8_t>(slot);
    if (errno_t e = s_->next_slot_load(reinterpret_cast<caddr_t>(&b))) {
      DRV_LOG(ERR_, "Disc load  failed err :0x%x \n", e);
      return fail(e, true, true);
    }
    DRV_LOG(INFO, "#06 check load success and check slot number by mechanism status\n");
    pxo_mechanism_status_t ms{};
    const errno_t me = s_->mechanism_status(reinterpret_cast<caddr_t>(&ms));
    if (me != 0 || !ms.holds(slot)) {
      DRV_LOG(ERR_, "not target disc CR_SlotNum:%d MECHANISHM STATUS:0x%x\n", slot, me);
      return fail(me != 0 ? me : kBadTarget, me != 0, true);
    }
    return 0;
  }

  // Reallocation setting of a loaded disc, with the request's verify mode.
  errno_t set_realloc() {
    DRV_LOG(INFO, "#06 Disc load success and set Reallocation control \n");
    std::uint64_t n = 0;
    if (errno_t e = s_->get_block_count(reinterpret_cast<caddr_t>(&n))) {
      DRV_LOG(ERR_, "fail readCapacity \n");
      return fail(e, false, true);
    }
    if (n < media::kMinRewritableBlocks) {
      DRV_LOG(ERR_, "disc too small for a volume. blocks=%llu\n", static_cast<unsigned long long>(n));
      return fail(drv_err::kInvalid, false, true);
    }
    pxo_realloc_control_t r{};
    r.start1 = 4096;
    r.count1 = static_cast<std::uint32_t>(n - 1) - 4384;
    r.fvwre = 1;
    r.fvwrd = req_.drive_verify ? 1 : 0;
    if (req_.drive_verify)
      DRV_LOG(WARN, "Drive Verify ON(=Auto) Fvwrd:%d \n", r.fvwrd);
    else
      DRV_LOG(WARN, "Drive Verify OFF(=Maunal) Fvwrd:%d \n", r.fvwrd);
    if (errno_t e = s_->set_realloc_control(reinterpret_cast<caddr_t>(&r))) {
      DRV_LOG(ERR_, "fail setReallocationControl \n");
      return fail(e, false, true);
    }
    return 0;
  }

  // The target disc: erased for a reformat (policy 5) or pointed at the
  // rollback point (policy 4); then the 1500h record is brought up to date.
  void target_action() {
    if (!req_.skip_target) {
      DRV_LOG(INFO, "#11 BacktrackPolicy is reformat? \n");
      if (req_.policy == 5 ? reformat_target() != 0 : flush_target() != 0) return;
      set_rollback(&a_, a_.vsn(), ~0ull);
      if (write_back() != 0) return;
    }
    if (req_.clear_rollback) {
      set_rollback(&a_, 0, 0);
      if (write_back() != 0) return;
    }
    svc_.backtrackSetPrgress(2, 100, static_cast<UInt16>(C_), static_cast<UInt16>(W_), static_cast<UInt16>(target_));
  }

  errno_t reformat_target() {
    if (errno_t e = svc_.EraseDescriptorData()) {
      DRV_LOG(ERR_, "Descriptor erase err :0x%x \n", e);
      return fail(e, false, false);
    }
    svc_.backtrackSetPrgress(1, percent(D_ + 50), static_cast<UInt16>(C_), static_cast<UInt16>(W_),
                             static_cast<UInt16>(target_));
    svc_.m_reformat = true;
    s_->set_reformat_flg(1);
    svc_.m_slot_number = static_cast<std::uint8_t>(target_);
    return 0;
  }

  errno_t flush_target() {
    DRV_LOG(INFO, "#12 rollback point flush \n");
    // The descriptors written now carry the identity of the target disc.
    svc_.m_slot_number = static_cast<std::uint8_t>(target_);
    if (errno_t e = svc_.backtrackFlushRollbackPoint(fsd_, metafe_)) {
      DRV_LOG(ERR_, "rollback flush err :0x%x \n", e);
      return fail(e, false, false);
    }
    std::uint32_t dummy = 0;
    if (errno_t e = s_->increment_dfl_count(reinterpret_cast<caddr_t>(&dummy)))
      DRV_LOG(ERR_, "change update count failed :0x%x \n", e);
    svc_.m_auto_formatted = 0;
    svc_.m_nwa = metafe_ + 32;
    return 0;
  }

  errno_t write_back() {
    if (errno_t e = write_1500h(s_, &a_)) {
      DRV_LOG(ERR_, "WRITE ATTRIBUTE Error. Result = %d\n", e);
      return fail(e, false, false);
    }
    return 0;
  }

  // The rollback point cannot be reached: it is dropped. The walk still
  // reports its own failure.
  void clear_rollback_point() {
    Attr1500 again;
    errno_t e = read_1500h(s_, &again);
    if (e) {
      DRV_LOG(ERR_, "READ ATTRIBUTE Error. Result = %d\n", e);
    } else {
      set_rollback(&again, 0, 0);
      e = write_1500h(s_, &again);
      if (e) DRV_LOG(ERR_, "WRITE ATTRIBUTE Error. Result = %d\n", e);
    }
    if (res_ == 0) res_ = e;
  }

  // 64 KiB at lsn of the loaded disc start with a good descriptor of `id`
  // (and, for a file entry, of the given file type).
  bool descriptor_at(std::uint32_t lsn, std::uint16_t id, std::uint8_t file_type) {
    std::vector<std::uint8_t> d(65536);
    pxo_buf b{};
    b.blkno = lsn;
    b.count = b.bufsize = 65536;
    b.data = d.data();
    if (errno_t e = s_->pxo_read10(&b)) {
      DRV_LOG(ERR_, "failed read10 err:0x%x\n", e);
      return false;
    }
    if (mdcudfsr_check_udf_tag(d.data(), id) != 1 || mdcudfsr_check_udf_tag_checksum(d.data()) != 1 ||
        mdcudfsr_check_udf_tag_crc(d.data(), 2048) != 1)
      return false;
    return id != TAG_ID_EFE || reinterpret_cast<const extended_file_entry*>(d.data())->icbtag.file_type == file_type;
  }

  static std::uint8_t volume_type_of(const std::uint8_t* id) {
    regid t0{}, t1{};
    const char c0[2] = {0, 0}, c1[2] = {1, 0};
    make_reg_id(c0, &t0, REGKIND_IMPLEMENTATION, 9);
    make_reg_id(c1, &t1, REGKIND_IMPLEMENTATION, 9);
    return std::memcmp(id, t0.id, sizeof(t0.id)) == 0 ? 0 : std::memcmp(id, t1.id, sizeof(t1.id)) == 0 ? 1 : 255;
  }

  UInt8 percent(int d) const { return static_cast<UInt8>(std::min(100, T_ > 0 ? d * 100 / T_ : 100)); }
  void advance() {
    D_ += 50;
    svc_.backtrackSetPrgress(1, percent(D_), static_cast<UInt16>(C_), static_cast<UInt16>(W_),
                             static_cast<UInt16>(target_));
  }
  void mark_failed() {
    auto p = svc_.progress_record();
    p.status = 3;
    svc_.store_progress(p);
  }
  // A failure of the walk: progress status 3, optionally the raw-mount
  // report and the dropping of the rollback point.
  errno_t fail(errno_t e, bool clear, bool with_report) {
    if (with_report) report(s_);
    res_ = e;
    clear_after_ = clear;
    svc_.backtrackSetPrgress(3, svc_.progress_record().progress, static_cast<UInt16>(C_), static_cast<UInt16>(W_),
                             static_cast<UInt16>(target_));
    return e;
  }

  scsi_service_re& svc_;
  storage_scsi* s_;
  const pxo_backtrack_request_t req_;
  Attr1500 a_;
  int slots_ = 0, target_ = 0, W_ = 0, C_ = 0, T_ = 0, D_ = 0;
  std::uint32_t fsd_ = 0, metafe_ = 0;
  bool skip_checks_ = false;
  bool clear_after_ = false;
  errno_t res_ = 0;
};

errno_t scsi_service_re::startBackTrack(caddr_t request, storage_scsi* pscsi) {
  DRV_TRACE_FN();
  if (request == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter, data=0x%p\n", static_cast<void*>(request));
    return drv_err::kInvalid;
  }
  if (pscsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter, pscsi=0x%p\n", static_cast<void*>(pscsi));
    return drv_err::kInvalid;
  }
  set_storage_scsi(pscsi);
  pxo_backtrack_request_t req;
  std::memcpy(&req, request, sizeof(req));
  DRV_LOG(INFO, "BacktrackPolicy : %d (0x%X)\n", req.policy, req.policy);
  if (req.policy != 4 && req.policy != 5) {
    DRV_LOG(ERR_, "Backtrack target is err.\n");
    return drv_err::kInvalid;
  }
  WalkGuard guard(m_walking);
  if (!guard.owns()) {
    DRV_LOG(ERR_, "backtrack already running\n");
    return kBusy;
  }
  return backtrack_walk(*this, pscsi, req).run();
}

errno_t scsi_service_re::backtrackFlushRollbackPoint(UInt32 fsdLsn, UInt32 metadataFeLsn) {
  DRV_TRACE_FN();
  if (m_storage_scsi == nullptr) return drv_err::kInvalid;
  storage_scsi* s = m_storage_scsi;
  std::tm now{};
  if (!media::now_utc(&now)) {
    DRV_LOG(ERR_, "time() fialed Result=%d", -1);
    return -1;
  }
  std::uint8_t type = 0;
  if (errno_t e = s->get_medium_type(reinterpret_cast<caddr_t>(&type))) return e;
  std::uint64_t n = 0;
  if (errno_t e = media::rewritable_block_count(s, &n)) return e;
  const std::uint32_t L = static_cast<std::uint32_t>(n - 1);
  errno_t check = 0;
  if (read_medium_serial(&check) != 0)
    DRV_LOG(ERR_, "fail ReadAttribute[0401h:MEDIUM SERIAL NUMBER] \n");
  else if (check != 0)
    DRV_LOG(ERR_, "MEDIUM SERIAL NUMBER contain illegal string\n");
  std::uint8_t lvid[128] = {};
  std::uint16_t tag_serial = 0;
  if (errno_t e = read_fsd(s, fsdLsn, lvid, &tag_serial)) return e;
  m_tag_serial_number = tag_serial;
  DRV_LOG(INFO, "tag serial number:%d\n", m_tag_serial_number);
  Attr1500 a;
  if (errno_t e = read_1500h(s, &a)) {
    DRV_LOG(ERR_, "Read Attribute is err :0x%x\n", e);
    return e;
  }
  RollbackSections sections(*this, s, now, L, metadataFeLsn, lvid);
  if (errno_t e = sections.alloc()) return e;
  // The volume set number (and the next unique identifier) as the 1500h
  // attribute holds them when each section is written.
  const auto vsn = [&a] { return be32(a.value() + cm1500::kVolumeSetNumber); };
  errno_t res = sections.write(4, 256, vsn(), 0, "fail AVDP1/MVDS Flush \n");
  if (res == 0) res = sections.write(3, L - 31, vsn(), 0, "fail AVDP2/RVDS Flush \n");
  if (res == 0) {
    res = read_1500h(s, &a);
    if (res) DRV_LOG(ERR_, "READ ATTRIBUTE Error. Result = %d\n", res);
  }
  if (res == 0)
    res = sections.write(2, 320, vsn(), be32(a.value() + cm1500::kLastUniqueId) + 1, "fail LVID Flush \n");
  return res;
}
