// Backtrack of a rewritable cartridge: slot by slot down to the disc of the
// rollback point, which gets its volume descriptors rewritten (policy 4) or
// is erased for a reformat (policy 5).
#include "drive/scsi_service_re.h"

#include "cm_data_internal.h"
#include "udf/udf_regid.h"

#include <algorithm>
#include <cstdlib>

using namespace drvlog;
using drvint::be16;
using drvint::be32;
using drvint::put_be16;

namespace {

constexpr int kAttempts = 10;
constexpr errno_t kBadRollbackSlot = 34;
constexpr errno_t kBadTarget = 57;
constexpr errno_t kBadRollbackAddress = 61;

// Loaded slot and state of a MECHANISM STATUS answer.
int loaded_slot(const pxo_mechanism_status_t& m) {
  return ((m.bytes[1] * 32) % 256) | (m.bytes[0] & 0x1F);
}
int mech_state(const pxo_mechanism_status_t& m) { return (m.bytes[1] >> 5) & 7; }

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
  pxo_backtrack_progress_t p{};
  errno_t res = drv_err::kInvalid;
  if (m_storage_scsi != nullptr) {
    pxo_mechanism_status_t m{};
    res = m_storage_scsi->mechanism_status(reinterpret_cast<caddr_t>(&m));
    if (res == 0 && mech_state(m) == 1) p.current_slot = m.bytes[0] & 0x1F;
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
  storage_scsi* s = pscsi;
  pxo_backtrack_request_t req;
  std::memcpy(&req, request, sizeof(req));
  DRV_LOG(INFO, "BacktrackPolicy : %d (0x%X)\n", req.policy, req.policy);
  if (req.policy != 4 && req.policy != 5) {
    DRV_LOG(ERR_, "Backtrack target is err.\n");
    return drv_err::kInvalid;
  }

  int C = 0, W = 0, target = 0;
  errno_t res = 0;
  bool clear_after = false;  // the failure also clears the rollback point
  auto fail = [&](errno_t e, bool clear) {
    res = e;
    clear_after = clear;
    backtrackSetPrgress(3, progress_record().progress, static_cast<UInt16>(C), static_cast<UInt16>(W),
                        static_cast<UInt16>(target));
  };

  pxo_mechanism_status_t ms{};
  Attr1500 a;
  if (errno_t e = s->mechanism_status(reinterpret_cast<caddr_t>(&ms))) {
    DRV_LOG(ERR_, "mechanism_status failed. Result=%d\n", e);
    {
      auto p = progress_record();
      p.status = 3;
      store_progress(p);
    }
    return e;
  }
  const int slots = ms.bytes[5];
  if (errno_t e = read_1500h(s, &a)) {
    DRV_LOG(ERR_, "Read Attribute is err :0x%x\n", e);
    {
      auto p = progress_record();
      p.status = 3;
      store_progress(p);
    }
    res = e;
    clear_after = true;
  }
  std::uint32_t fsd = 0, metafe = 0;
  if (!clear_after) {
    const std::uint16_t vsn = a.vsn();
    const std::uint64_t addr = a.address();
    DRV_LOG(INFO, "backtrack volseqNum:%d addr 0x%llx\n", vsn, static_cast<unsigned long long>(addr));
    if (req.policy == 4) {
      if (vsn < 1 || vsn > slots) {
        DRV_LOG(ERR_, "SlotNumber is err:%d\n", vsn);
        return kBadRollbackSlot;
      }
      target = vsn - 1;
      fsd = static_cast<std::uint32_t>(addr);
      metafe = static_cast<std::uint32_t>(addr >> 32);
      if (fsd < 4352 || metafe < 4352) {
        DRV_LOG(ERR_, "FSD or MetaFE is err FSD:0x%x MetaFE:0x%x\n", fsd, metafe);
        return kBadRollbackAddress;
      }
    } else {
      if (vsn != 1) {
        DRV_LOG(ERR_, "Target SlotNumber is err:%d\n", vsn);
        return kBadTarget;
      }
      target = 0;
      // The volume type follows the implementation identifier of the value.
      regid t0{}, t1{};
      const char c0[2] = {0, 0}, c1[2] = {1, 0};
      make_reg_id(c0, &t0, REGKIND_IMPLEMENTATION, 9);
      make_reg_id(c1, &t1, REGKIND_IMPLEMENTATION, 9);
      const std::uint8_t* id = a.value() + cm1500::kEntity;
      const std::uint8_t vt = std::memcmp(id, t0.id, sizeof(t0.id)) == 0   ? 0
                              : std::memcmp(id, t1.id, sizeof(t1.id)) == 0 ? 1
                                                                            : 255;
      s->config_mirror_for_update().volume_type = vt;
    }
  }

  if (!clear_after) {
    backtrackSetPrgress(1, 0, 0xFFFF, 0xFFFF, static_cast<UInt16>(target));
    DRV_LOG(INFO, "#01 get MSLN_WO\n");
    pxo_slot_info_t si{};
    if (errno_t e = s->get_slot_info(reinterpret_cast<caddr_t>(&si))) {
      report(s);
      fail(e, false);
      DRV_LOG(INFO, "end backtrack, Result=%d\n", res);
      return res;
    }
    m_slot_number = static_cast<std::uint8_t>(si.current_slot);
    W = static_cast<int>(si.last_written_slot);
    DRV_LOG(INFO, "last_written_disc_search >>> get_slot_info::slot(%d), CM_MaxSlotNum(%d)\n",
            static_cast<int>(si.current_slot), slots);
    DRV_LOG(INFO, "last_written_disc_search >>> slotinfo->slotnum        ::%d\n", static_cast<int>(si.current_slot));
    DRV_LOG(INFO, "last_written_disc_search >>> slotinfo->lastwrittenslot::%d\n", W);
    if (W >= slots) {
      report(s);
      fail(kBadTarget, false);
      DRV_LOG(INFO, "end backtrack, Result=%d\n", res);
      return res;
    }
    DRV_LOG(INFO, "#02 check Backtrack SLN [SLN:%d Max Slot Number:%d]\n", target, slots);
    if (W < target) {
      DRV_LOG(ERR_, "Backtrack SLN check Backtrack slot number is invalid \n");
      report(s);
      fail(kBadTarget, true);
    }
  }

  bool done = false;
  if (!clear_after && res == 0) {
    C = W;
    DRV_LOG(INFO, "#03 set Current Slot Number = CM::MSLN_WD [CSLN:%d] \n", C);
    backtrackSetPrgress(1, 0, static_cast<UInt16>(C), static_cast<UInt16>(C), static_cast<UInt16>(target));
    const int T = (W - target + 1) * 100;
    int D = 0;
    auto percent = [&](int d) { return static_cast<UInt8>(std::min(100, d * 100 / T)); };
    DRV_LOG(INFO, "#04 check CSLN == Disc SLN loaded \n");
    if (errno_t e = s->mechanism_status(reinterpret_cast<caddr_t>(&ms))) {
      DRV_LOG(ERR_, "check CSLN == Disc SLN loaded. getMechanismStatus err Result:0x%x \n", e);
      report(s);
      fail(e, false);
      DRV_LOG(INFO, "end backtrack, Result=%d\n", res);
      return res;
    }
    DRV_LOG(INFO, "#04 check MechanismStatus slot:%d discload:%d\n", loaded_slot(ms), mech_state(ms));
    bool need_load = loaded_slot(ms) != C || mech_state(ms) != 1;
    while (true) {
      if (need_load) {
        DRV_LOG(INFO, "#05 Disc load Slot Number:%d \n", C);
        std::uint8_t slot = static_cast<std::uint8_t>(C);
        if (errno_t e = s->next_slot_load(reinterpret_cast<caddr_t>(&slot))) {
          DRV_LOG(ERR_, "Disc load  failed err :0x%x \n", e);
          report(s);
          fail(e, true);
          break;
        }
        DRV_LOG(INFO, "#06 check load success and check slot number by mechanism status\n");
        errno_t me = s->mechanism_status(reinterpret_cast<caddr_t>(&ms));
        if (me != 0 || loaded_slot(ms) != C || mech_state(ms) != 1) {
          DRV_LOG(ERR_, "not target disc CR_SlotNum:%d MECHANISHM STATUS:0x%x\n", C, me);
          report(s);
          // The wrong disc is never changed; the rollback point stays when the
          // drive answered, so that the backtrack can run again.
          fail(me != 0 ? me : kBadTarget, me != 0);
          break;
        }
        DRV_LOG(INFO, "#06 Disc load success and set Reallocation control \n");
        std::uint64_t n = 0;
        if (errno_t e = s->get_block_count(reinterpret_cast<caddr_t>(&n))) {
          DRV_LOG(ERR_, "fail readCapacity \n");
          report(s);
          fail(e, false);
          break;
        }
        pxo_realloc_control_t r{};
        r.start1 = 4096;
        r.count1 = static_cast<std::uint32_t>(n - 1) - 4384;
        r.fvwre = 1;
        r.fvwrd = req.drive_verify ? 1 : 0;
        if (req.drive_verify)
          DRV_LOG(WARN, "Drive Verify ON(=Auto) Fvwrd:%d \n", r.fvwrd);
        else
          DRV_LOG(WARN, "Drive Verify OFF(=Maunal) Fvwrd:%d \n", r.fvwrd);
        if (errno_t e = s->set_realloc_control(reinterpret_cast<caddr_t>(&r))) {
          DRV_LOG(ERR_, "fail setReallocationControl \n");
          report(s);
          fail(e, false);
          break;
        }
        D += 50;
        backtrackSetPrgress(1, percent(D), static_cast<UInt16>(C), static_cast<UInt16>(W),
                            static_cast<UInt16>(target));
      }
      DRV_LOG(INFO, "#07 check back track == CSLN? \n");
      if (C == target) {
        DRV_LOG(INFO, "finish roop current slot number == backtoran slot number slot Num:%d\n", C);
        done = true;
        break;
      }
      DRV_LOG(INFO, "#07 not equal Backtrack SLN:%d CSLN:%d \n", target, C);
      DRV_LOG(INFO, "#08 Start Current Disc erase\n");
      if (errno_t e = EraseDescriptorData()) {
        DRV_LOG(ERR_, "Descriptor erase err :0x%x \n", e);
        report(s);
        fail(e, false);
        break;
      }
      D += 50;
      backtrackSetPrgress(1, percent(D), static_cast<UInt16>(C), static_cast<UInt16>(W), static_cast<UInt16>(target));
      DRV_LOG(INFO, "#09 Decriment CSLN\n");
      C -= 1;
      DRV_LOG(INFO, "#10 Set CM::MSLN_WO\n");
      std::uint8_t list[10] = {0x00, 0x00, 0x00, 0x06, 0x0D, 0x00, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(C)};
      if (s->set_write_attribute(reinterpret_cast<caddr_t>(list), sizeof(list)) != 0)
        DRV_LOG(ERR_, "writeAttribute err \n");
      need_load = true;
    }

    if (done) {
      if (!req.skip_target) {
        DRV_LOG(INFO, "#11 BacktrackPolicy is reformat? \n");
        if (req.policy == 5) {
          if (errno_t e = EraseDescriptorData()) {
            DRV_LOG(ERR_, "Descriptor erase err :0x%x \n", e);
            fail(e, false);
          } else {
            backtrackSetPrgress(1, percent(D + 50), static_cast<UInt16>(C), static_cast<UInt16>(W),
                                static_cast<UInt16>(target));
            m_reformat = true;
            s->set_reformat_flg(1);
            m_slot_number = static_cast<std::uint8_t>(target);
          }
        } else {
          DRV_LOG(INFO, "#12 rollback point flush \n");
          if (errno_t e = backtrackFlushRollbackPoint(fsd, metafe)) {
            DRV_LOG(ERR_, "rollback flush err :0x%x \n", e);
            fail(e, false);
          } else {
            std::uint32_t dummy = 0;
            if (errno_t e2 = s->increment_dfl_count(reinterpret_cast<caddr_t>(&dummy)))
              DRV_LOG(ERR_, "change update count failed :0x%x \n", e2);
            m_auto_formatted = 0;
            m_nwa = metafe + 32;
            m_slot_number = static_cast<std::uint8_t>(target);
          }
        }
        if (res == 0) {
          set_rollback(&a, a.vsn(), ~0ull);
          if (errno_t e = write_1500h(s, &a)) {
            DRV_LOG(ERR_, "WRITE ATTRIBUTE Error. Result = %d\n", e);
            fail(e, false);
          }
        }
      }
      if (res == 0) {
        if (req.clear_rollback) {
          set_rollback(&a, 0, 0);
          if (errno_t e = write_1500h(s, &a)) {
            DRV_LOG(ERR_, "WRITE ATTRIBUTE Error. Result = %d\n", e);
            fail(e, false);
          }
        }
        if (res == 0)
          backtrackSetPrgress(2, 100, static_cast<UInt16>(C), static_cast<UInt16>(W), static_cast<UInt16>(target));
      }
    }
  }

  if (clear_after) {
    // The rollback point cannot be reached: it is dropped. The walk still
    // reports its own failure.
    Attr1500 again;
    errno_t e = read_1500h(s, &again);
    if (e) {
      DRV_LOG(ERR_, "READ ATTRIBUTE Error. Result = %d\n", e);
    } else {
      set_rollback(&again, 0, 0);
      e = write_1500h(s, &again);
      if (e) DRV_LOG(ERR_, "WRITE ATTRIBUTE Error. Result = %d\n", e);
    }
    if (res == 0) res = e;
  }
  DRV_LOG(INFO, "end backtrack, Result=%d\n", res);
  return res;
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
  if (errno_t e = s->get_block_count(reinterpret_cast<caddr_t>(&n))) {
    DRV_LOG(ERR_, "fail readCapacity \n");
    return e;
  }
  const std::uint32_t L = static_cast<std::uint32_t>(n - 1);
  std::uint8_t attr[44] = {};
  if (s->get_read_attribute(0x0401, attr, 44) != 0) {
    DRV_LOG(ERR_, "fail ReadAttribute[0401h:MEDIUM SERIAL NUMBER] \n");
    std::memset(m_medium_serial_number, 0, sizeof(m_medium_serial_number));
  } else {
    std::memcpy(m_medium_serial_number, attr + 9, 32);
    if (checkMediumSerialNumStr(m_medium_serial_number, 32) != 0) {
      DRV_LOG(ERR_, "MEDIUM SERIAL NUMBER contain illegal string\n");
      std::memset(m_medium_serial_number, 0, sizeof(m_medium_serial_number));
    }
  }
  pxo_buf rb{};
  std::uint8_t* rd = static_cast<std::uint8_t*>(std::calloc(1, 65536));
  if (rd == nullptr) return drv_err::kNoMemory;
  rb.blkno = fsdLsn;
  rb.count = 65536;
  rb.bufsize = 65536;
  rb.data = rd;
  std::uint8_t lvid[128] = {};
  errno_t re = s->pxo_read10(&rb);
  if (re) {
    DRV_LOG(ERR_, "failed read10 err:0x%x\n", re);
    std::free(rd);
    return re;
  }
  const auto* tag = reinterpret_cast<const desc_tag*>(rd);
  if (tag->id == TAG_ID_FSD)
    std::memcpy(lvid, rd + offsetof(fileset_desc, logvol_id), 128);
  else
    DRV_LOG(ERR_, "not FSD tag_id err\n");
  m_tag_serial_number = tag->serial_num;
  DRV_LOG(INFO, "tag serial number:%d\n", m_tag_serial_number);
  std::free(rd);

  Attr1500 a;
  if (errno_t e = read_1500h(s, &a)) {
    DRV_LOG(ERR_, "Read Attribute is err :0x%x\n", e);
    return e;
  }

  pxo_buf wb{};
  std::uint8_t* wd = static_cast<std::uint8_t*>(std::calloc(1, 65536));
  if (wd == nullptr) return drv_err::kNoMemory;
  auto section = [&](std::uint32_t type_no, std::uint32_t lsn, std::uint32_t next_uid, const char* fail_text) -> errno_t {
    errno_t e = 0;
    for (int i = 0; i < kAttempts; ++i) {
      setup_buffer_info_t su{};
      su.type = type_no;
      su.buffer = wd;
      su.buffer_size = 65536;
      su.year = static_cast<std::int16_t>(now.tm_year + 1900);
      su.month = static_cast<std::uint8_t>(now.tm_mon + 1);
      su.day = static_cast<std::uint8_t>(now.tm_mday);
      su.hour = static_cast<std::uint8_t>(now.tm_hour);
      su.minute = static_cast<std::uint8_t>(now.tm_min);
      su.second = static_cast<std::uint8_t>(now.tm_sec);
      su.type_and_timezone = 0x1000;
      su.block_count = L;
      if (!autoFormatSetUpWriteBuffer(&su, metadataFeLsn, 0, 0, 0, lvid, nullptr,
                                      be32(a.value() + cm1500::kVolumeSetNumber), next_uid, 1)) {
        DRV_LOG(ERR_, "autoFormatSetUpWriteBuffer failed.\n");
        return drv_err::kInvalid;
      }
      wb.blkno = lsn;
      wb.count = 65536;
      wb.bufsize = 65536;
      wb.data = wd;
      e = s->pxo_write10_for_buf(&wb, 0);
      if (e) {
        DRV_LOG(ERR_, "fail write \n");
        continue;
      }
      e = s->synchronize_cache(nullptr);
      if (e == 0) return 0;
      DRV_LOG(ERR_, "fail SynchronizeCache \n");
    }
    DRV_LOG(ERR_, "%s", fail_text);
    return e;
  };
  errno_t res = section(4, 256, 0, "fail AVDP1/MVDS Flush \n");
  if (res == 0) res = section(3, L - 31, 0, "fail AVDP2/RVDS Flush \n");
  if (res == 0) {
    res = read_1500h(s, &a);
    if (res) DRV_LOG(ERR_, "READ ATTRIBUTE Error. Result = %d\n", res);
  }
  if (res == 0) res = section(2, 320, be32(a.value() + cm1500::kLastUniqueId) + 1, "fail LVID Flush \n");
  std::free(wd);
  return res;
}
