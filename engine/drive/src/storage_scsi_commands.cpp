// storage_scsi: the command blocks of the drive and their answers.
#include "drive/storage_scsi.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

using namespace drv_err;
using drvint::be16;
using drvint::be32;
using drvint::put_be16;
using drvint::put_be32;
using drvint::kDirIn;
using drvint::kDirNone;
using drvint::kDirOut;

#define CHECK_PARAM(p)                                                          \
  do {                                                                          \
    if ((p) == nullptr) {                                                       \
      DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<const void*>(p)); \
      return kInvalid;                                                          \
    }                                                                           \
  } while (0)

// ------------------------------------------------------ information reads

errno_t storage_scsi::read_disc_info(caddr_t data, bool force) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  pxo_disc_info_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  const std::uint32_t type = static_cast<std::uint8_t>(data[0]) & 7;
  if (type > 2) {
    DRV_LOG(ERR_, "Invalid parameter. datatype=%u\n", type);
    return kInvalid;
  }
  if (!force) {
    if (type == 0 && m_cache_disc_info_sd) {
      DRV_LOG(DEBG, "information sd cache...\n");
      rec.SD = *m_cache_disc_info_sd;
      std::memcpy(data, &rec, sizeof(rec));
      return 0;
    }
    if (type == 1 && m_cache_disc_info_track) {
      DRV_LOG(DEBG, "information track cache...\n");
      rec.TRACK = *m_cache_disc_info_track;
      std::memcpy(data, &rec, sizeof(rec));
      return 0;
    }
    if (type == 2 && m_cache_disc_info_pow) {
      DRV_LOG(DEBG, "information pow cache...\n");
      rec.POW = *m_cache_disc_info_pow;
      std::memcpy(data, &rec, sizeof(rec));
      return 0;
    }
  } else {
    DRV_LOG(DEBG, "Forces sending scsi commands\n");
  }
  unsigned char cdb[12] = {0x51};
  cdb[1] = static_cast<unsigned char>(type);
  cdb[8] = 0x20;
  unsigned char ans[33] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 32, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "READ DISC INFORMATION failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  std::memset(rec.raw, 0, sizeof(rec.raw));
  if (type == 0) {
    std::memcpy(rec.raw, ans, 32);
    rec.SD.DiscInformationLength = be16(ans);
    rec.SD.DiscIdentification = be32(ans + 12);
    rec.SD.Lead_inStartAddress = be32(ans + 16);
    rec.SD.Lead_outStartAddress = be32(ans + 20);
    rec.SD.DiscBarCode = be32(ans + 24);
    if (!m_cache_disc_info_sd) m_cache_disc_info_sd = new pxo_disc_info_sd_t;
    *m_cache_disc_info_sd = rec.SD;
    DRV_LOG(DEBG, "DiscIdentification=0x%08x Lead_inStartAddress=0x%08x Lead_outStartAddress=0x%08x DiscBarCode=0x%08x\n",
            rec.SD.DiscIdentification, rec.SD.Lead_inStartAddress, rec.SD.Lead_outStartAddress,
            rec.SD.DiscBarCode);
  } else if (type == 1) {
    rec.TRACK.DiscInformationLength = be16(ans);
    rec.TRACK.MaximumPossibleNumberOfTheTracks = be16(ans + 4);
    rec.TRACK.NumberOfTheAssignedTracks = be16(ans + 6);
    rec.TRACK.MaximumPossibleNumberOfAppendableTracks = be16(ans + 8);
    rec.TRACK.CurrentNumberOfAppendableTracks = be16(ans + 10);
    if (!m_cache_disc_info_track) m_cache_disc_info_track = new pxo_disc_info_track_t;
    *m_cache_disc_info_track = rec.TRACK;
  } else {
    rec.POW.DiscInformationLength = be16(ans);
    rec.POW.RemainingPOWReplacements = be32(ans + 4);
    rec.POW.RemainingPOWReallocationMapEntries = be32(ans + 8);
    rec.POW.RemainingPOWNumberOfRemainingPOWUpdates = be32(ans + 12);
    if (!m_cache_disc_info_pow) m_cache_disc_info_pow = new pxo_disc_info_pow_t;
    *m_cache_disc_info_pow = rec.POW;
  }
  std::memcpy(data, &rec, sizeof(rec));
  return 0;
}

errno_t storage_scsi::read_track_info(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  pxo_track_info_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  const std::uint32_t track = rec.track_no;
  if (track == 1 && m_cache_track_info_track1) {
    DRV_LOG(DEBG, "track#1 cached...\n");
    rec.track_info = *m_cache_track_info_track1;
    std::memcpy(data, &rec, sizeof(rec));
    return 0;
  }
  if (track == 2 && m_cache_track_info_track2) {
    DRV_LOG(DEBG, "track#2 cached...\n");
    rec.track_info = *m_cache_track_info_track2;
    std::memcpy(data, &rec, sizeof(rec));
    return 0;
  }
  DRV_LOG(DEBG, "Track#%d normal operation...\n", static_cast<int>(track));
  unsigned char cdb[12] = {0x52, 0x01};
  put_be32(cdb + 2, track);
  cdb[8] = 52;  // allocation length: the whole answer read below
  unsigned char ans[52] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 52, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "READ TRACK INFORMATION failed. err(%d), masked_status(%d)\n", s.result,
            s.status);
    return res;
  }
  pxo_track_info_data_t& t = rec.track_info;
  std::memset(&t, 0, sizeof(t));
  t.DataLength = be16(ans);
  std::memcpy(t.bytes2_7, ans + 2, 6);
  t.LogicalTrackStartAddress = be32(ans + 8);
  t.NextWritableAddress = be32(ans + 12);
  t.FreeBlocks = be32(ans + 16);
  t.FixedPacketSize = be32(ans + 20);
  t.LogicalTrackSize = be32(ans + 24);
  t.LastRecordedAddress = be32(ans + 28);
  t.LogicalTrackNumberM = be16(ans + 32);
  t.SessionNumberM = be16(ans + 34);
  std::memcpy(t.bytes36_39, ans + 36, 4);
  t.ReadCompatibilityLBA = be32(ans + 40);
  t.NextLayerJumpAddress = be32(ans + 44);
  t.LastLayerJumpAddress = be32(ans + 48);
  if (track == 1 || track == 2) {
    auto*& slot = track == 1 ? m_cache_track_info_track1 : m_cache_track_info_track2;
    if (!slot) slot = new pxo_track_info_data_t;
    *slot = t;
  }
  drvint::log_track_info(t);
  std::memcpy(data, &rec, sizeof(rec));
  DRV_LOG(INFO, "NWA=%d(0x%X)", static_cast<int>(t.NextWritableAddress), t.NextWritableAddress);
  return 0;
}

errno_t storage_scsi::get_medium_type_scsi(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x5A, 0, 0x01};
  cdb[8] = 0x12;
  unsigned char ans[18] = {};
  Sense s;
  int res = send(cdb, 10, kDirIn, 18, ans, s);
  if (res == 0) res = drvint::data_rule(s.result, s.status, s.bytes);
  std::uint8_t type;
  if (res != 0) {
    DRV_LOG(ERR_, "MODE_SENSE_10 failed. err(%d), masked_status(%d)\n", s.result, s.status);
    type = medium::kUnknown;
  } else {
    type = ans[2];
    m_write_once = medium::is_write_once(type);
  }
  if (type == medium::kUnknown) DRV_LOG(NOTI, "MediumType Unknown.\n");
  data[0] = static_cast<char>(type);
  m_medium_type = type;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.mount.MediumType = type;
    int e = set_config_locked();
    if (res == 0) res = e;
  }
  return res;
}

// ------------------------------------------------------ simple commands

// No-data command: the record is not read and may be null.
errno_t storage_scsi::close_track_session(caddr_t) {
  DRV_TRACE_FN();
  unsigned char cdb[12] = {0x5B, 0, 0x06};
  Sense s;
  if (int e = send(cdb, 12, kDirNone, 0, nullptr, s)) return e;
  int res = drvint::common_rule(s.result, s.status, s.bytes);
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "CLOSE TRACK/SESSION failed. err(%d), masked_status(%d)\n", s.result, s.status);
  if (res == 0) scsi_cache_clear();
  return res;
}

errno_t storage_scsi::verify_range(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  pxo_verify_range_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  unsigned char cdb[12] = {0x2F};
  put_be32(cdb + 2, rec.lsn);
  put_be16(cdb + 7, rec.blocks);
  Sense s;
  if (int e = send(cdb, 12, kDirNone, 0, nullptr, s)) return e;
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "VERIFY failed. err(%d), masked_status(%d)\n", s.result, s.status);
  return drvint::common_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::start_stop_unit(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x1B};
  cdb[4] = static_cast<unsigned char>(data[0] & 3);
  Sense s;
  if (int e = send(cdb, 12, kDirNone, 0, nullptr, s)) return e;
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "START STOP UNIT failed. err(%d), masked_status(%d)\n", s.result, s.status);
  return drvint::common_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::mechanism_status(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0xBD};
  cdb[9] = 0x0C;
  unsigned char ans[12] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 12, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "MECHANISM STATUS failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  const std::uint16_t table_len = be16(ans + 6);
  std::memcpy(ans + 6, &table_len, 2);
  std::memcpy(data, ans, 12);
  if (ans[5] == 0) {
    DRV_LOG(ERR_, "MECHANISM STATUS:Num of Slot Avalable is zero\n");
    return kInvalid;
  }
  return 0;
}

errno_t storage_scsi::get_block_size(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x25};
  unsigned char ans[8] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 8, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "READ CAPACITY failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  const std::uint32_t size = be32(ans + 4);
  std::memcpy(data, &size, 4);
  return 0;
}

errno_t storage_scsi::get_block_count(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x25};
  unsigned char ans[8] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 8, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "READ CAPACITY failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  const std::uint64_t count = static_cast<std::uint64_t>(be32(ans)) + 1;
  std::memcpy(data, &count, 8);
  return 0;
}

errno_t storage_scsi::next_slot_load(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  const std::uint8_t slot = static_cast<std::uint8_t>(data[0]);
  unsigned char cdb[12] = {0xA6};
  cdb[4] = 0x03;
  cdb[8] = slot;
  Sense s;
  if (int e = send(cdb, 12, kDirNone, 0, nullptr, s)) return e;
  int res = drvint::common_rule(s.result, s.status, s.bytes);
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_,
            "!!NOTICE!! SLOT_LOAD_ERROR SEND_CMD_ERROR:cmd(0x%02X) err(0x%08X) "
            "masked_status(0x%08X)\n",
            cdb[0], static_cast<unsigned>(s.result), static_cast<unsigned>(s.status));
  if (res == 0) {
    DRV_LOG(INFO, "load %dslot success.", slot);
    scsi_cache_clear();
    wait_ready_after_load();
  }
  return res;
}

errno_t storage_scsi::format_unit(caddr_t data, bool flag) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x04};
  cdb[1] = flag ? 0x17 : 0x11;
  Sense s;
  int e = send(cdb, 12, kDirOut, 12, reinterpret_cast<unsigned char*>(data), s);
  scsi_cache_clear();
  if (e) return e;
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "FORMAT UNIT failed. err(%d), masked_status(%d)\n", s.result, s.status);
  return drvint::common_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::reserve_track(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  std::uint32_t v;
  std::memcpy(&v, data, 4);
  unsigned char cdb[12] = {0x53, 0x01};
  put_be32(cdb + 2, v);
  Sense s;
  int e = send(cdb, 12, kDirNone, 0, nullptr, s);
  scsi_cache_clear();
  if (e) return e;
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "RESERVE TRACK failed. err(%d), masked_status(%d)\n", s.result, s.status);
  return drvint::common_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::read_format_capacity(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x23};
  cdb[8] = 0x0C;
  unsigned char ans[12] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 12, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "READ FORMAT CAPACITIES failed. err(%d), masked_status(%d)\n", s.result,
            s.status);
    return res;
  }
  std::memcpy(data, ans, 12);
  return 0;
}

errno_t storage_scsi::prevent_allow_medium_removal(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  unsigned char cdb[12] = {0x1E};
  cdb[4] = static_cast<unsigned char>(data[0] & 1);
  Sense s;
  if (int e = send(cdb, 12, kDirNone, 0, nullptr, s)) return e;
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "PREVENT ALLOW MEDIUM REMOVAL failed. err(%d), masked_status(%d)\n", s.result,
            s.status);
  return drvint::common_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::readDI(std::uint8_t* di, UInt32 len) {
  DRV_TRACE_FN();
  CHECK_PARAM(di);
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  if (m_cache_read_struct_DI == nullptr) {
    std::unique_ptr<std::uint8_t[]> ans(new (std::nothrow) std::uint8_t[4100]());
    if (!ans) return kNoMemory;
    unsigned char cdb[12] = {0xAD, 0x01};
    cdb[7] = 0x00;
    put_be16(cdb + 8, 0x1004);
    Sense s;
    if (int e = send(cdb, 12, kDirIn, 4100, ans.get(), s)) return e;
    int res = drvint::data_rule(s.result, s.status, s.bytes);
    if (res != 0) {
      DRV_LOG(ERR_, "READ DISC STRUCTURE(DI) failed. err(%d), masked_status(%d)\n", s.result,
              s.status);
      return res;
    }
    m_cache_read_struct_DI = ans.release();
  }
  // The disc information units follow the 4-byte structure header.
  std::memcpy(di, m_cache_read_struct_DI + 4, std::min<UInt32>(len, 4096));
  return 0;
}

errno_t storage_scsi::get_dds(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  const std::uint8_t type = static_cast<std::uint8_t>(data[0]);
  const std::size_t size = type == 0xE6 ? 100 : 68;
  if (m_cache_read_struct_DDS == nullptr) {
    unsigned char ans[104] = {};
    unsigned char cdb[12] = {0xAD, 0x01};
    cdb[7] = 0x08;
    cdb[9] = 0x68;
    Sense s;
    if (int e = send(cdb, 12, kDirIn, 104, ans, s)) return e;
    if (s.status == 1) {
      std::uint32_t io = 0;
      int res = get_err_from_sensekey_with_ioreturn(s.bytes, &io);
      if (io == 741) {
        DRV_LOG(ERR_, "READ_DISC_STRUCTURE. Result(%d) kIOReturnUnformattedMedia\n", res);
        m_dds_error = 0x10000000u;
      } else {
        m_dds_error = static_cast<std::uint32_t>(res ? res : kIO);
      }
      // The data buffer was not filled.
      return res ? res : kIO;
    }
    if (s.result != 0 || s.status != 0) {
      DRV_LOG(ERR_, "READ DISC STRUCTURE(DDS) failed. err(%d), masked_status(%d)\n", s.result,
              s.status);
      m_dds_error = static_cast<std::uint32_t>(s.result ? s.result : kIO);
      return s.result ? s.result : kIO;
    }
    std::uint8_t rec[100] = {};
    std::memcpy(rec + 4, ans + 4, 96);
    for (int off : {8, 20, 28, 36, 40, 44, 48, 52, 60}) {
      const std::uint32_t v = be32(ans + off);
      std::memcpy(rec + off, &v, 4);
    }
    m_cache_read_struct_DDS = new std::uint8_t[100];
    std::memcpy(m_cache_read_struct_DDS, rec, 100);
  }
  std::memcpy(data + 1, m_cache_read_struct_DDS + 1, size - 1);
  std::memcpy(m_dds, m_cache_read_struct_DDS, 100);
  m_dds[0] = type;
  m_dds_error = 0;
  return 0;
}

errno_t storage_scsi::get_dfl(std::uint8_t* dfl, UInt32 length, UInt32 index, UInt32* total,
                              UInt32* count, bool) {
  DRV_TRACE_FN();
  if (dfl == nullptr || length > 0xFFFB) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p, length=%u\n", static_cast<void*>(dfl), length);
    return kInvalid;
  }
  std::vector<std::uint8_t> ans;
  try {
    ans.assign(length + 4, 0);
  } catch (const std::bad_alloc&) {
    DRV_LOG(ERR_, "DFL data buffer alloc failed. err=%d\n", kNoMemory);
    return kNoMemory;
  }
  unsigned char cdb[12] = {0xAD, 0x01};
  put_be32(cdb + 2, index);
  cdb[7] = 0x12;
  put_be16(cdb + 8, length + 4);
  Sense s;
  if (int e = send(cdb, 12, kDirIn, length + 4, ans.data(), s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "READ DISC STRUCTURE(DFL) failed. err(%d), masked_status(%d)\n", s.result,
            s.status);
    return res;
  }
  const std::uint8_t type = dfl[0];
  std::memcpy(dfl + 4, ans.data() + 4, length);
  const bool e6 = type == 0xE6;
  const bool no_entries = medium::is_write_once(type) || type == 0xC2 || type == 0xD2;
  if (index == 0) {
    auto to_host = [&](std::size_t off) {
      if (off + 4 > length + 4) return;
      const std::uint32_t v = be32(dfl + off);
      std::memcpy(dfl + off, &v, 4);
    };
    to_host(8);
    const std::size_t last = no_entries ? 24 : 36;
    for (std::size_t off = 16; off <= last; off += 4) to_host(off);
    if (e6)
      for (std::size_t off = 68; off <= 88; off += 4) to_host(off);
  }
  std::uint32_t entries = 0;
  if (!no_entries) {
    const std::uint16_t len_field = be16(ans.data());
    std::int64_t n = len_field >= 2 ? (len_field - 2) / 8 : 0;
    const std::size_t header = index == 0 ? (e6 ? 128 : 64) : 0;
    n -= static_cast<std::int64_t>(header / 8);
    if (n < 0) n = 0;
    n = std::min<std::int64_t>(n, (length >= header ? length - header : 0) / 8);
    entries = static_cast<std::uint32_t>(n);
    for (std::uint32_t i = 0; i < entries; ++i) {
      std::uint8_t* e = dfl + 4 + header + 8 * i;
      const std::uint64_t v = (static_cast<std::uint64_t>(be32(e)) << 32) | be32(e + 4);
      std::memcpy(e, &v, 8);
    }
  }
  if (total) *total = ans[3];
  if (count) *count = entries;
  return 0;
}

errno_t storage_scsi::getPerformance(UInt32* lba) {
  DRV_TRACE_FN();
  CHECK_PARAM(lba);
  std::vector<std::uint8_t> ans(2056, 0);
  unsigned char cdb[12] = {0xAC};
  put_be32(cdb + 2, *lba);
  cdb[9] = 0x01;
  cdb[10] = 0x02;
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 2056, ans.data(), s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "GET_PERFORMANCE failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  const std::uint32_t perf_len = be32(ans.data());
  if (perf_len == 4) {
    *lba = 0xFFFFFFFFu;
    return 0;
  }
  const unsigned first_bit_offset = ans[17] & 7;
  if (first_bit_offset != 0 || ans[18] != 1) {
    DRV_LOG(ERR_, "Defect Data Mismatch. PerfDataLen=%d, FirstBitOffset=%d, DS#1=0x%x\n",
            static_cast<int>(perf_len), first_bit_offset, ans[18]);
    return kIO;
  }
  *lba = be32(ans.data() + 8);
  return 0;
}

// No-data command: the record is not read and may be null.
errno_t storage_scsi::increment_dfl_count(caddr_t) {
  DRV_TRACE_FN();
  int res = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    unsigned char cdb[12] = {0xC6, 0x12};
    Sense s;
    int e = send(cdb, 12, kDirNone, 0, nullptr, s);
    scsi_cache_clear();
    stamp_access();
    if (e) return e;
    res = drvint::common_rule(s.result, s.status, s.bytes);
    if (res == 0) break;
    DRV_LOG(ERR_, "C6h failed. err(%d), masked_status(%d) retry(%d)\n", s.result, s.status,
            attempt);
  }
  return res;
}

errno_t storage_scsi::mainte_read_error_info(pxo_mainte_read_error_info_t* info) {
  DRV_TRACE_FN();
  CHECK_PARAM(info);
  unsigned char cdb[12] = {0xC3};
  unsigned char ans[16] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 16, ans, s)) return e;
  int res = drvint::data_rule(s.result, s.status, s.bytes);
  if (res != 0) {
    DRV_LOG(ERR_, "MAINTENANCE READ failed. err(%d), masked_status(%d)\n", s.result, s.status);
    return res;
  }
  std::memset(info, 0, sizeof(*info));
  info->alarm_code = ans[0];
  info->alarm_detail1 = ans[1] & 0x0F;
  info->alarm_detail2 = ans[2] >> 4;
  info->alarm_detail3 = ans[2] & 0x0F;
  info->error_level = ans[3];
  info->time_occurred = be32(ans + 4);
  return 0;
}

errno_t storage_scsi::blink_access_led_once() {
  DRV_TRACE_FN();
  unsigned char cdb[12] = {0x4A};
  cdb[8] = 0x10;
  cdb[9] = 0x40;
  unsigned char ans[16] = {};
  Sense s;
  if (int e = send(cdb, 12, kDirIn, 16, ans, s)) return e;
  return drvint::data_rule(s.result, s.status, s.bytes);
}

errno_t storage_scsi::pxo_mode_sense10(std::uint8_t page, std::uint8_t* buf, std::size_t size) {
  DRV_TRACE_FN();
  CHECK_PARAM(buf);
  int res = 0;
  for (int retry = 0; retry < 3; ++retry) {
    unsigned char cdb[12] = {0x5A};
    cdb[2] = page;
    put_be16(cdb + 7, static_cast<std::uint32_t>(size));
    Sense s;
    if (int e = send(cdb, 10, kDirIn, static_cast<std::uint32_t>(size), buf, s)) return e;
    res = drvint::data_rule(s.result, s.status, s.bytes);
    if (res == 0) return 0;
    DRV_LOG(ERR_, "MODE_SENSE_10 PageCode(%02x) RETRY(%d) failed.(%d), masked_status(%d)\n",
            page, retry, s.result, s.status);
  }
  return res;
}

errno_t storage_scsi::reserve_write_range(caddr_t data) {
  DRV_TRACE_FN();
  CHECK_PARAM(data);
  pxo_reserve_write_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  unsigned char cdb[12] = {0xD2};
  put_be32(cdb + 4, rec.start);
  put_be32(cdb + 8, rec.count);
  Sense s;
  int e = send(cdb, 12, kDirNone, 0, nullptr, s);
  stamp_access();
  if (e) return e;
  if (s.result == 0 && s.status == 0) return 0;
  if (s.status != 1) {
    DRV_LOG(ERR_, "SendCommand failed.\n");
    return kIO;
  }
  if ((s.bytes[2] & 0x0F) == 3 && s.bytes[12] == 0x0C)
    DRV_LOG(ERR_, "SCSI_CMD(%02X:RESERVE_WRITE):failed. err(%d)\n", cdb[0], kIO);
  else
    DRV_LOG(ERR_, "RESERVE_WRITE:  SK:0x%x ASC:0x%x\n", s.bytes[2], s.bytes[12]);
  return kIO;
}

errno_t storage_scsi::synchronize_cache(caddr_t) {
  DRV_TRACE_FN();
  // This sync settles the writes taken before it: recorded, or reported
  // lost by its failure. A reset lost what the cache held: the writes
  // since the last sync never reached the medium, whatever the drive
  // answers now.
  m_cached_writes = false;
  if (m_cache_lost.exchange(false)) {
    ++m_sync_fail_cnt;
    scsi_cache_clear();
    DRV_LOG(ERR_, "SYNCHRONIZE CACHE: the writes since the last one were lost in a reset of the drive\n");
    return kIO;
  }
  int res = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    unsigned char cdb[12] = {0x35};
    Sense s;
    int e = send(cdb, 12, kDirNone, 0, nullptr, s);
    scsi_cache_clear();
    stamp_access();
    if (e) {
      ++m_sync_fail_cnt;
      return e;
    }
    if (s.result == 0 && s.status == 0) return 0;
    ++m_sync_fail_cnt;
    if (s.status == 1) {
      if ((s.bytes[2] & 0x0F) == 3 && s.bytes[12] == 0x0C)
        DRV_LOG(ERR_, "SEND_CMD_ERROR:cmd(0x%02X) err(0x%08X)\n", cdb[0], kIO);
      else
        DRV_LOG(ERR_, "SYNCHRONIZE_CACHE:  SK:0x%02X ASC:0x%02X\n", s.bytes[2], s.bytes[12]);
      return kIO;
    }
    res = s.result ? s.result : kIO;
    DRV_LOG(ERR_, "SYNCHRONIZE CACHE failed. err(%d), masked_status(%d) retry(%d)\n", s.result,
            s.status, attempt);
  }
  return res;
}

// ------------------------------------------------------ block read/write

errno_t storage_scsi::pxo_read10(buf_t bp) {
  DRV_TRACE_FN();
  CHECK_PARAM(bp);
  if (bp->data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. bp->data=0x%p\n", static_cast<void*>(bp->data));
    return kInvalid;
  }
  const std::uint32_t U = std::max<std::uint32_t>(1, m_ReadBlockSize);
  const std::uint32_t blk = bp->blkno;
  const std::uint64_t want_bytes = bp->count;
  const std::uint64_t want_end_byte = static_cast<std::uint64_t>(blk) * 2048 + want_bytes;
  std::uint64_t start = blk & ~31u;
  std::uint64_t end = ((static_cast<std::uint64_t>(blk) + want_bytes / 2048 + 31) / 32) * 32;
  if (end == start) end = start + 32;
  if (end < start) {
    DRV_LOG(ERR_, "Invalid range. start=%llu end=%llu\n", static_cast<unsigned long long>(start),
            static_cast<unsigned long long>(end));
    return 0;
  }
  std::vector<unsigned char> staging;
  try {
    staging.resize(static_cast<std::size_t>(U) * 65536);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  int res = 0;
  for (std::uint64_t cur = start; cur < end;) {
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(U * 32u, end - cur));
    const std::uint64_t step_first = cur * 2048;
    const std::uint64_t step_end = (cur + n) * 2048;
    const std::uint64_t buf_first = static_cast<std::uint64_t>(blk) * 2048;
    const bool direct = cur >= blk && step_end <= want_end_byte;
    unsigned char* target = direct ? bp->data + (step_first - buf_first) : staging.data();
    unsigned char cdb[12] = {0x28};
    put_be32(cdb + 2, static_cast<std::uint32_t>(cur));
    put_be16(cdb + 7, n);
    Sense s;
    if (int e = send_read(cdb, 12, n * 2048u, target, s)) return e;
    stamp_access();
    res = drvint::data_rule(s.result, s.status, s.bytes);
    if (res != 0) {
      DRV_LOG(ERR_, "READ(10) failed. err(%d), masked_status(%d) lba=%u blocks=%u\n", s.result,
              s.status, static_cast<unsigned>(cur), n);
      break;
    }
    if (!direct) {
      const std::uint64_t from = std::max(step_first, buf_first);
      const std::uint64_t to = std::min(step_end, want_end_byte);
      if (to > from)
        std::memcpy(bp->data + (from - buf_first), staging.data() + (from - step_first),
                    static_cast<std::size_t>(to - from));
    }
    cur += n;
  }
  return res;
}

errno_t storage_scsi::check_medium_status(std::uint32_t* ioreturn) {
  DRV_TRACE_FN();
  CHECK_PARAM(ioreturn);
  std::vector<unsigned char> buf(65536);
  unsigned char cdb[12] = {0x28};
  cdb[8] = 0x20;
  Sense s;
  if (send(cdb, 12, kDirIn, 65536, buf.data(), s) != 0) {
    *ioreturn = 714;
    return kNoDevice;
  }
  stamp_access();
  int res = 0;
  *ioreturn = 0;
  if (s.status == 1) {
    res = get_err_from_sensekey_with_ioreturn(s.bytes, ioreturn);
  } else if (s.result != 0 || s.status != 0) {
    res = s.result ? s.result : kIO;
    *ioreturn = 714;
  }
  if (s.result != 0 || s.status != 0)
    DRV_LOG(ERR_, "SCSI_CMD(%02X): result(%d) masked_status(%d)\n", cdb[0], res, s.status);
  return res;
}

errno_t storage_scsi::pxo_write10_for_cluster(buf_t bp, unsigned char ctl) {
  DRV_TRACE_FN();
  CHECK_PARAM(bp);
  if (bp->data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. bp->data=0x%p\n", static_cast<void*>(bp->data));
    return kInvalid;
  }
  if (bp->bufsize == 0 || bp->bufsize % 2048 != 0) {
    // A block count of bufsize / 2048 would drop the tail of the data.
    DRV_LOG(ERR_, "Invalid parameter. bp->bufsize=%u is not a whole number of blocks\n", bp->bufsize);
    return kInvalid;
  }
  const std::uint32_t W = std::max<std::uint32_t>(1, m_WriteBlockSize);
  const std::uint64_t unit = static_cast<std::uint64_t>(W) * 65536;
  const std::uint32_t blk = bp->blkno;
  const std::uint64_t bytes = bp->bufsize;
  const std::uint64_t start = blk & ~31u;
  const std::uint64_t end = ((static_cast<std::uint64_t>(blk) + bytes / 2048 + 31) / 32) * 32;
  const std::uint64_t expected = end == start ? 1 : (end - start + W * 32u - 1) / (W * 32u);
  const std::uint64_t used = (bytes + unit - 1) / unit;
  if (expected != used)
    DRV_LOG(WARN, "write count differs. expected=%llu used=%llu\n",
            static_cast<unsigned long long>(expected), static_cast<unsigned long long>(used));
  if (blk % 32 != 0) DRV_LOG(WARN, "block number is not aligned. blkno=%u\n", blk);
  int res = 0;
  for (std::uint64_t k = 0; k < used; ++k) {
    const std::uint64_t off = k * unit;
    const std::uint64_t len = std::min(unit, bytes - off);
    const std::uint32_t lba = static_cast<std::uint32_t>(blk + k * W * 32u);
    const std::uint32_t blocks = static_cast<std::uint32_t>(len / 2048);
    unsigned char cdb[12] = {0x2A};
    put_be32(cdb + 2, lba);
    put_be16(cdb + 7, blocks);
    cdb[9] = ctl;
    Sense s;
    if (int e = send(cdb, 12, kDirOut, static_cast<std::uint32_t>(len), bp->data + off, s)) {
      res = e;
      break;
    }
    if (s.result == 0 && s.status == 0) continue;
    if (s.status == 1 && s.bytes[2] < 2) {
      // Recovered: the chunk was written; go on with the rest.
      DRV_LOG(NOTI, "WRITE(10) recovered. SK(%02X) lba=%u\n", s.bytes[2], lba);
      continue;
    }
    res = drvint::common_rule(s.result, s.status, s.bytes);
    DRV_LOG(ERR_,
            "WRITE(10) failed. err(%d), masked_status(%d) start=%llu write=%u end=%llu step=%llu "
            "count=%llu/%llu data=0x%p\n",
            s.result, s.status, static_cast<unsigned long long>(start), lba,
            static_cast<unsigned long long>(end), static_cast<unsigned long long>(k),
            static_cast<unsigned long long>(used), static_cast<unsigned long long>(expected),
            static_cast<void*>(bp->data + off));
    break;
  }
  scsi_cache_clear();
  stamp_access();
  return res;
}

errno_t storage_scsi::pxo_write10_for_buf(buf_t bp, unsigned char ctl) {
  DRV_TRACE_FN();
  CHECK_PARAM(bp);
  if (bp->data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. bp->data=0x%p\n", static_cast<void*>(bp->data));
    return kInvalid;
  }
  const std::uint16_t chunks = static_cast<std::uint16_t>(bp->bufsize / 65536);
  int res = 0;
  for (std::uint32_t i = 0; i < chunks; ++i) {
    unsigned char cdb[12] = {0x2A};
    put_be32(cdb + 2, bp->blkno + 32 * i);
    put_be16(cdb + 7, 32);
    cdb[9] = ctl;
    Sense s;
    if (int e = send(cdb, 12, kDirOut, 65536, bp->data + 65536ull * i, s)) {
      res = e;
      break;
    }
    if (s.result == 0 && s.status == 0) continue;
    if (s.status == 1) {
      res = get_err_from_sensekey_for_write(s.bytes);
      if (res == 0) {
        DRV_LOG(NOTI, "WRITE(10) recovered. SK(%02X) chunk=%u\n", s.bytes[2], i);
        continue;
      }
    } else {
      res = s.result ? s.result : kIO;
    }
    DRV_LOG(ERR_, "WRITE(10) failed. err(%d), masked_status(%d) lba=%u chunk=%u/%u\n", s.result,
            s.status, bp->blkno + 32 * i, i, chunks);
    break;
  }
  scsi_cache_clear();
  stamp_access();
  return res;
}
