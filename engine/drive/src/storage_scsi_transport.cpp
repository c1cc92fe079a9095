// storage_scsi core: life, the transport, the drive clock, the information
// caches and the per-device configuration.
#include "drive/storage_scsi.h"
#include "storage_scsi_internal.h"
#include "storage_scsi_log.h"

#include "platform/sync.h"
#include "platform/thread_start.h"
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

using namespace drv_err;

namespace {
int system_time_of_day(struct timeval* tv, void*) { return ::gettimeofday(tv, nullptr); }

// A transfer that failed on its way comes back from the pipe client as a
// Win32 code: the host service's status converted, or the client's own
// failure to reach the service. The engine's results are errno values: the
// conditions the engine knows keep their meaning, every other failure of the
// transport is an I/O error.
int engine_result_of_transport(int win32) {
  switch (win32) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_WRITE_PROTECT:
      return kWriteProtected;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kNoSpace;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return kNotSupported;
    case ERROR_INVALID_PARAMETER:
      return kInvalid;
    default:
      return kIO;
  }
}
}  // namespace

namespace drvint {
TimeOfDayFn g_time_of_day = system_time_of_day;
}  // namespace drvint

namespace {
std::atomic<std::uint64_t> g_drive_state_generation{1};

// Commands that only read and, when they succeed, leave the drive's slots,
// cartridge memory and defect lists as they were.
bool keeps_drive_state(unsigned char opcode) {
  switch (opcode) {
    case 0x12:  // INQUIRY
    case 0x23:  // READ FORMAT CAPACITIES
    case 0x25:  // READ CAPACITY
    case 0x28:  // READ(10)
    case 0xA8:  // READ(12)
    case 0x51:  // READ DISC INFORMATION
    case 0x52:  // READ TRACK INFORMATION
    case 0x5A:  // MODE SENSE(10)
    case 0x8C:  // READ ATTRIBUTE
    case 0xAD:  // READ DISC STRUCTURE
    case 0xBD:  // MECHANISM STATUS
      return true;
    default:
      return false;
  }
}
}  // namespace

std::uint64_t storage_scsi::drive_state_generation() { return g_drive_state_generation.load(); }

void storage_scsi::drive_state_changed() { g_drive_state_generation.fetch_add(1); }

void storage_scsi_set_time_of_day_source(storage_scsi_time_of_day_fn fn) {
  drvint::g_time_of_day = fn ? fn : system_time_of_day;
}

std::uint64_t storage_scsi::get_current_usec() {
  struct timeval tv {};
  if (drvint::g_time_of_day(&tv, nullptr) != 0) return 0;
  return static_cast<std::uint64_t>(tv.tv_sec) * 1000000ull + static_cast<std::uint64_t>(tv.tv_usec);
}

storage_scsi::storage_scsi() {
  DRV_LOG(DEBG, "mutex init\n");
  m_created_usec = get_current_usec();
}

storage_scsi::~storage_scsi() {
  // The timer thread sends through the device: it ends before the device goes.
  if (m_timer_thread.joinable()) {
    DRV_LOG(DEBG, "terminate timer thread\n");
    set_timer_state(2);
    m_timer_thread.join();
  }
  semDeleteGnrc("/etc/tarn/keludf/keludf-utility.conf");
  m_devnum = -1;
  std::memset(m_devname, 0, sizeof(m_devname));
  if (fd_ >= 0) {
    quorvel_scsi_close(fd_);
    fd_ = -1;
  }
  DRV_LOG(DEBG, "mutex destroy\n");
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  clear_caches_locked();
}

int storage_scsi::scsi_open(int mode) {
  if (fd_ >= 0) return fd_;
  if (m_devnum == -1) return fd_;
  fd_ = quorvel_scsi_open(m_devnum, mode);
  if (fd_ < 0) {
    DRV_LOG(ERR_, "SCSI:open(%s) fail.\n", m_devname);
    fd_ = -1;
  }
  return fd_;
}

int storage_scsi::scsi_ioctl(int fd, int cdb_len, unsigned char* cdb, int direction,
                             int transfer_len, unsigned char* data, unsigned char sense_len,
                             unsigned char* sense, unsigned char* status) {
  if (fd < 0 || cdb_len <= 0 || cdb == nullptr || sense == nullptr) {
    DRV_LOG(ERR_,
            "Invalid parameter. fd=%d, cdb_len=%d, cdb=0x%p, transfer_len=%d, sense_buf=0x%p\n",
            fd, cdb_len, static_cast<void*>(cdb), transfer_len, static_cast<void*>(sense));
    return kInvalid;
  }
  std::uint8_t masked_status = 0;
  int res = quorvel_scsi_transfer(fd, static_cast<std::uint32_t>(cdb_len), cdb, direction,
                                  static_cast<std::uint32_t>(transfer_len), data, sense_len, sense,
                                  &masked_status);
  if (res != 0) {
    DRV_LOG(ERR_, "IOCTL_ERROR:0x%08X\n", static_cast<unsigned>(res));
    res = engine_result_of_transport(res);
    DRV_LOG(ERR_, "SCSI:TRANSPORT OPC=%02X : result(%d)\n", cdb[0], res);
  } else if (masked_status == 0) {
    DRV_LOG(DEBG, "SCSI:GOOD OPC=%02X\n", cdb[0]);
  } else if (masked_status == 1) {
    DRV_LOG(ERR_, "!!NOTICE!! SCSI:CHECK_CONDITION OPC=%02X : SK/ASC/ASCQ=%02X/%02X/%02X\n",
            cdb[0], sense[2] & 0x0F, sense[12], sense[13]);
  } else {
    DRV_LOG(ERR_, "SCSI:UNKNOWN OPC=%02X : masked_status=%02X\n", cdb[0], masked_status);
  }
  if (res != 0 || masked_status != 0 || !keeps_drive_state(cdb[0])) drive_state_changed();
  note_cache_state(cdb, res, masked_status, sense);
  if (status != nullptr) *status = masked_status;
  return res;
}

void storage_scsi::note_cache_state(const unsigned char* cdb, int res, std::uint8_t status,
                                    const unsigned char* sense) {
  const bool write = cdb[0] == 0x2A || cdb[0] == 0xAA || cdb[0] == 0x2E;  // WRITE(10), WRITE(12), WRITE AND VERIFY
  if (res == 0 && status == 0 && write) m_cached_writes = true;
  const bool reset = drvint::reset_attention(status, sense);
  if (reset && m_cached_writes) {
    DRV_LOG(ERR_, "the drive was reset with writes in its cache\n");
    m_cache_lost = true;
  }
}

namespace {
// Reads whose good answer stands while the drive's state does: the slots
// (MECHANISM STATUS) and the cartridge memory (READ ATTRIBUTE).
bool answer_is_kept(const unsigned char* cdb, int cdb_len, int direction, std::uint32_t transfer_len) {
  return direction == drvint::kDirIn && cdb_len <= 16 && transfer_len > 0 && transfer_len <= 0x10000 &&
         (cdb[0] == 0xBD || cdb[0] == 0x8C);
}
}  // namespace

bool storage_scsi::kept_answer(const unsigned char* cdb, int cdb_len, std::uint32_t transfer_len,
                               unsigned char* data, std::uint64_t generation, std::uint64_t epoch) {
  std::lock_guard<std::mutex> lk(m_kept_mutex);
  if (m_kept.generation != generation || m_kept.epoch != epoch) return false;
  for (const KeptAnswer& a : m_kept.answers) {
    if (a.length != transfer_len || std::memcmp(a.cdb, cdb, static_cast<std::size_t>(cdb_len)) != 0) continue;
    std::memcpy(data, a.data.get(), transfer_len);
    return true;
  }
  return false;
}

void storage_scsi::keep_answer(const unsigned char* cdb, int cdb_len, std::uint32_t transfer_len,
                               const unsigned char* data, std::uint64_t generation, std::uint64_t epoch) {
  constexpr std::size_t kMaxKept = 16;
  std::lock_guard<std::mutex> lk(m_kept_mutex);
  if (m_kept.generation != generation || m_kept.epoch != epoch) {
    m_kept.answers.clear();
    m_kept.generation = generation;
    m_kept.epoch = epoch;
  }
  if (m_kept.answers.size() >= kMaxKept) return;
  KeptAnswer a;
  std::memcpy(a.cdb, cdb, static_cast<std::size_t>(cdb_len));
  a.length = transfer_len;
  a.data.reset(new std::uint8_t[transfer_len]);
  std::memcpy(a.data.get(), data, transfer_len);
  m_kept.answers.push_back(std::move(a));
}

storage_scsi::KeepReads::KeepReads(storage_scsi& s) : s_(s) {
  if (s_.m_keep_depth.fetch_add(1) != 0) return;
  std::lock_guard<std::mutex> lk(s_.m_kept_mutex);
  s_.m_kept = KeptAnswers{};
}

storage_scsi::KeepReads::~KeepReads() {
  if (s_.m_keep_depth.fetch_sub(1) != 1) return;
  std::lock_guard<std::mutex> lk(s_.m_kept_mutex);
  s_.m_kept = KeptAnswers{};
}

int storage_scsi::send_read(unsigned char* cdb, int cdb_len, std::uint32_t transfer_len, unsigned char* data,
                            Sense& s) {
  if (int e = send(cdb, cdb_len, drvint::kDirIn, transfer_len, data, s)) return e;
  if (!drvint::reset_attention(s.status, s.bytes)) return 0;
  DRV_LOG(NOTI, "SCSI:OPC=%02X met the drive's reset, asked again\n", cdb[0]);
  return send(cdb, cdb_len, drvint::kDirIn, transfer_len, data, s);
}

int storage_scsi::send(unsigned char* cdb, int cdb_len, int direction, std::uint32_t transfer_len,
                       unsigned char* data, Sense& s) {
  // Taken before the command: whatever moves them meanwhile makes the next
  // read ask the drive again. Epoch 0 (the drive utility library has the
  // drive) keeps nothing.
  const bool keepable = data != nullptr && m_keep_depth.load() > 0 &&
                        answer_is_kept(cdb, cdb_len, direction, transfer_len);
  const std::uint64_t generation = keepable ? drive_state_generation() : 0;
  const std::uint64_t epoch = keepable ? quorvel_drive_epoch() : 0;
  if (keepable && epoch != 0 && kept_answer(cdb, cdb_len, transfer_len, data, generation, epoch)) {
    DRV_LOG(DEBG, "SCSI:KEPT OPC=%02X\n", cdb[0]);
    std::memset(s.bytes, 0, sizeof(s.bytes));
    s.status = 0;
    s.result = 0;
    return 0;
  }
  int fd = scsi_open(2);
  if (fd < 0) {
    DRV_LOG(ERR_, "scsi_open failed.\n");
    return kNoDevice;
  }
  std::memset(s.bytes, 0, sizeof(s.bytes));
  s.status = 0;
  s.result = scsi_ioctl(fd, cdb_len, cdb, direction, static_cast<int>(transfer_len), data,
                        sizeof(s.bytes), s.bytes, &s.status);
  quorvel_scsi_close(fd);
  if (keepable && epoch != 0 && s.result == 0 && s.status == 0)
    keep_answer(cdb, cdb_len, transfer_len, data, generation, epoch);
  return 0;
}

errno_t storage_scsi::scsi_passthrough_ioctl(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  pxo_passthrough_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  int fd = scsi_open(2);
  if (fd < 0) {
    DRV_LOG(ERR_, "scsi_open failed.\n");
    return kNoDevice;
  }
  unsigned char sense[16] = {};
  unsigned char status = 0;
  int res = scsi_ioctl(fd, rec.cdb_len, rec.cdb, drvint::kDirIn,
                       static_cast<int>(rec.transfer_len), rec.data, sizeof(sense), sense, &status);
  // Data come back to the caller: a CHECK CONDITION means none did.
  res = drvint::data_rule(res, status, sense);
  if (res != 0) DRV_LOG(ERR_, "SCSI_CMD_PASSTHROUGH(%02X):failed. err(%d)\n", rec.cdb[0], res);
  quorvel_scsi_close(fd);
  return res;
}

errno_t storage_scsi::setTime(UInt32 seconds) {
  DRV_TRACE_FN();
  unsigned char cdb[12] = {0xCF, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0};
  unsigned char list[12] = {};
  drvint::put_be32(list, seconds);
  Sense s;
  if (int e = send(cdb, 12, drvint::kDirOut, 12, list, s)) return e;
  int res = s.result;
  if (s.result != 0 || s.status != 0) {
    DRV_LOG(ERR_, "SCSIOP_TIME failed. err(%d), masked_status(%d)\n", s.result, s.status);
    res = drvint::common_rule(s.result, s.status, s.bytes);
  }
  return res;
}

errno_t storage_scsi::setCurrentTime() {
  DRV_TRACE_FN();
  struct timeval tv {};
  if (drvint::g_time_of_day(&tv, nullptr) != 0) {
    int e = errno;
    DRV_LOG(ERR_, "gettimeofday fail %d\n", e);
    return e ? e : kIO;
  }
  if (tv.tv_sec <= 1041379199) {
    DRV_LOG(WARN, "Invalid Time %d\n", static_cast<int>(tv.tv_sec));
    return kInvalid;
  }
  int res = setTime(static_cast<UInt32>(tv.tv_sec - 1041379200));
  if (res != 0) DRV_LOG(ERR_, "setTime fail %d\n", res);
  return res;
}

errno_t storage_scsi::scsi_identify(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  const std::uint32_t v[4] = {1, 0, 0, 0};
  std::memcpy(data, v, sizeof(v));
  return 0;
}

errno_t storage_scsi::get_write_fail_cnt(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  const std::uint32_t n = m_write_fail_cnt.load();
  std::memcpy(data, &n, 4);
  return 0;
}

errno_t storage_scsi::notify_unmount(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::uint32_t v;
  std::memcpy(&v, data, 4);
  std::lock_guard<std::mutex> lk(m_config_mutex);
  m_config.unmount = static_cast<std::uint8_t>(v);
  if (!m_reasons_open && v == 1) m_reasons_open = true;
  // The read-only reason a mount found ends with that mount: the next mount
  // of the same process (the remount after a finalisation) judges the
  // medium afresh instead of refusing on the old finding.
  if (v == 1) m_config.mount.WriteProtectReasonFlags &= ~0x80000u;
  return 0;
}

void storage_scsi::stamp_access() {
  std::uint64_t now = get_current_usec();
  std::lock_guard<std::mutex> lk(m_access_mutex);
  m_last_access_usec = now;
}

std::uint64_t storage_scsi::last_access_usec() {
  std::lock_guard<std::mutex> lk(m_access_mutex);
  return m_last_access_usec;
}

void storage_scsi::set_timer_state(int state) {
  {
    std::lock_guard<std::mutex> lk(m_timer_mutex);
    m_timer_state = state;
  }
  m_timer_cond.notify_all();
}

void storage_scsi::start_access_led_timer() {
  if (m_timer_thread.joinable()) return;
  m_timer_thread = platform::start_thread([this] { timerHandler(); });
}

void storage_scsi::timerHandler() {
  std::unique_lock<std::mutex> lk(m_timer_mutex);
  for (;;) {
    if (m_timer_state == 2) return;
    // Wakes every second, or when the state changes.
    const int before = m_timer_state;
    const std::uint64_t deadline = platform::clock().now_ms() + 1000;
    platform::clock().wait_until(lk, m_timer_cond, deadline);
    if (m_timer_state != before || m_timer_state != 1) continue;
    if (platform::clock().now_ms() < deadline) continue;
    lk.unlock();
    const std::uint64_t now = get_current_usec();
    const std::uint64_t last = last_access_usec();
    if (now > last && now - last > 2000000) (void)blink_access_led_once();
    lk.lock();
  }
}

// ---------------------------------------------------------------- caches

errno_t storage_scsi::scsi_cache_check(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  const int sel = static_cast<std::uint8_t>(data[0]);
  DRV_LOG(DEBG, "scsi_cache_check scsi_cmd[%d]", sel);
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  const void* c = nullptr;
  switch (sel) {
    case 0: c = m_cache_disc_info_sd; break;
    case 1: c = m_cache_disc_info_track; break;
    case 2: c = m_cache_disc_info_pow; break;
    case 3: c = m_cache_track_info_track1; break;
    case 4: c = m_cache_track_info_track2; break;
    case 6: c = m_cache_read_struct_DDS; break;
    case 7: c = m_cache_read_struct_DI; break;
    case 8: c = m_cache_get_opc_info; break;
    case 9: c = m_cache_inquiry; break;
    default:
      DRV_LOG(WARN, "scsi_cache_check unsupport scsi_cmd[%d]", sel);
      return 0;
  }
  if (c == nullptr) {
    DRV_LOG(DEBG, "scsi_cache_check scsi_cmd[%d] no cached data\n", sel);
    return kNoData;
  }
  return 0;
}

errno_t storage_scsi::update_disc_info(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  pxo_disc_info_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  const std::uint32_t type = rec.datatype & 7;
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  switch (type) {
    case 0:
      if (!m_cache_disc_info_sd) m_cache_disc_info_sd = new pxo_disc_info_sd_t;
      *m_cache_disc_info_sd = rec.SD;
      DRV_LOG(DEBG, "localinfo->SD.DiscInformationLength=0x%04x\n", rec.SD.DiscInformationLength);
      DRV_LOG(DEBG, "localinfo->SD.DiscIdentification=0x%08x\n", rec.SD.DiscIdentification);
      DRV_LOG(DEBG, "localinfo->SD.Lead_inStartAddress=0x%08x\n", rec.SD.Lead_inStartAddress);
      DRV_LOG(DEBG, "localinfo->SD.Lead_outStartAddress=0x%08x\n", rec.SD.Lead_outStartAddress);
      DRV_LOG(DEBG, "localinfo->SD.DiscBarCode=0x%08x\n", rec.SD.DiscBarCode);
      return 0;
    case 1:
      if (!m_cache_disc_info_track) m_cache_disc_info_track = new pxo_disc_info_track_t;
      *m_cache_disc_info_track = rec.TRACK;
      DRV_LOG(DEBG, "localinfo->TRACK.DiscInformationLength=0x%04x\n",
              rec.TRACK.DiscInformationLength);
      DRV_LOG(DEBG, "localinfo->TRACK.MaximumPossibleNumberOfTheTracks=0x%04x\n",
              rec.TRACK.MaximumPossibleNumberOfTheTracks);
      DRV_LOG(DEBG, "localinfo->TRACK.NumberOfTheAssignedTracks=0x%04x\n",
              rec.TRACK.NumberOfTheAssignedTracks);
      DRV_LOG(DEBG, "localinfo->TRACK.MaximumPossibleNumberOfAppendableTracks=0x%04x\n",
              rec.TRACK.MaximumPossibleNumberOfAppendableTracks);
      DRV_LOG(DEBG, "localinfo->TRACK.CurrentNumberOfAppendableTracks=0x%04x\n",
              rec.TRACK.CurrentNumberOfAppendableTracks);
      return 0;
    case 2:
      if (!m_cache_disc_info_pow) m_cache_disc_info_pow = new pxo_disc_info_pow_t;
      *m_cache_disc_info_pow = rec.POW;
      DRV_LOG(DEBG, "localinfo->POW.DiscInformationLength=0x%04x\n", rec.POW.DiscInformationLength);
      DRV_LOG(DEBG, "localinfo->POW.RemainingPOWReplacements=0x%08x\n",
              rec.POW.RemainingPOWReplacements);
      DRV_LOG(DEBG, "localinfo->POW.RemainingPOWReallocationMapEntries=0x%08x\n",
              rec.POW.RemainingPOWReallocationMapEntries);
      DRV_LOG(DEBG, "localinfo->POW.RemainingPOWNumberOfRemainingPOWUpdates=0x%08x\n",
              rec.POW.RemainingPOWNumberOfRemainingPOWUpdates);
      return 0;
    default:
      DRV_LOG(ERR_, "Invalid parameter. datatype=%u\n", type);
      return kInvalid;
  }
}

void drvint::log_track_info(const pxo_track_info_data_t& t) {
  DRV_LOG(DEBG, "trackInfo->track_info.DataLength=0x%04x\n", t.DataLength);
  DRV_LOG(DEBG, "trackInfo->track_info.LogicalTrackStartAddress=0x%08x\n",
          t.LogicalTrackStartAddress);
  DRV_LOG(DEBG, "trackInfo->track_info.NextWritableAddress=0x%08x\n", t.NextWritableAddress);
  DRV_LOG(DEBG, "trackInfo->track_info.FreeBlocks=0x%08x\n", t.FreeBlocks);
  DRV_LOG(DEBG, "trackInfo->track_info.FixedPacketSize=0x%08x\n", t.FixedPacketSize);
  DRV_LOG(DEBG, "trackInfo->track_info.LogicalTrackSize=0x%08x\n", t.LogicalTrackSize);
  DRV_LOG(DEBG, "trackInfo->track_info.LastRecordedAddress=0x%08x\n", t.LastRecordedAddress);
  DRV_LOG(DEBG, "trackInfo->track_info.LogicalTrackNumberM=0x%04x\n", t.LogicalTrackNumberM);
  DRV_LOG(DEBG, "trackInfo->track_info.SessionNumberM=0x%04x\n", t.SessionNumberM);
  DRV_LOG(DEBG, "trackInfo->track_info.ReadCompatibilityLBA=0x%08x\n", t.ReadCompatibilityLBA);
  DRV_LOG(DEBG, "trackInfo->track_info.NextLayerJumpAddress=0x%08x\n", t.NextLayerJumpAddress);
  DRV_LOG(DEBG, "trackInfo->track_info.LastLayerJumpAddress=0x%08x\n", t.LastLayerJumpAddress);
}

errno_t storage_scsi::update_track_info(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  pxo_track_info_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  pxo_track_info_data_t** slot = nullptr;
  if (rec.track_no == 1) slot = &m_cache_track_info_track1;
  else if (rec.track_no == 2) slot = &m_cache_track_info_track2;
  else {
    DRV_LOG(ERR_, "Invalid parameter. trackno=%u\n", rec.track_no);
    return kInvalid;
  }
  if (*slot == nullptr) *slot = new pxo_track_info_data_t;
  **slot = rec.track_info;
  DRV_LOG(DEBG, "trackInfo->track_no=%d\n", static_cast<int>(rec.track_no));
  drvint::log_track_info(rec.track_info);
  return 0;
}

errno_t storage_scsi::set_opc_resource_data(UInt16* count) {
  DRV_TRACE_FN();
  if (count == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(count));
    return kInvalid;
  }
  DRV_LOG(DEBG, "*opcCount=0x%04x\n", *count);
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  if (!m_cache_get_opc_info) m_cache_get_opc_info = new std::uint16_t;
  *m_cache_get_opc_info = *count;
  return 0;
}

void storage_scsi::clear_caches_locked() {
  auto drop = [](auto*& p, const char* msg) {
    if (p) {
      DRV_LOG(DEBG, "%s", msg);
      delete p;
      p = nullptr;
    }
  };
  auto drop_array = [](std::uint8_t*& p, const char* msg) {
    if (p) {
      DRV_LOG(DEBG, "%s", msg);
      delete[] p;
      p = nullptr;
    }
  };
  drop(m_cache_disc_info_sd, "m_cache_disc_info_sd cache clear\n");
  drop(m_cache_disc_info_track, "m_cache_disc_info_track cache clear\n");
  drop(m_cache_disc_info_pow, "m_cache_disc_info_pow cache clear\n");
  drop(m_cache_track_info_track1, "m_cache_track_info_track1 cache clear\n");
  drop(m_cache_track_info_track2, "m_cache_track_info_track2 cache clear\n");
  drop_array(m_cache_read_struct_DDS, "m_cache_read_struct_DDS cache clear\n");
  drop_array(m_cache_read_struct_DI, "m_cache_read_struct_DI cache clear\n");
  drop(m_cache_get_opc_info, "m_cache_get_opc_info cache clear\n");
  drop_array(m_cache_inquiry, "m_cache_inquiry cache clear\n");
}

errno_t storage_scsi::scsi_cache_clear() {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_cache_mutex);
  clear_caches_locked();
  return 0;
}

// --------------------------------------------------------- configuration

namespace {
enum class KeyType { U32, U8, Str, Bin };
struct KeyDesc {
  const char* key;
  KeyType type;
  std::size_t offset;
};
#define MOUNT_OFF(f) (offsetof(storage_scsi::DeviceConfig, mount) + offsetof(MDCFS_MOUNT_INFORMATION, f))
#define CFG_OFF(f) offsetof(storage_scsi::DeviceConfig, f)
const KeyDesc kKeys[] = {
    {"Mount Status", KeyType::U32, MOUNT_OFF(MountStatus)},
    {"Write Protect Reason", KeyType::U32, MOUNT_OFF(WriteProtectReasonFlags)},
    {"Access Mode", KeyType::U32, MOUNT_OFF(AccessMode)},
    {"Medium Type", KeyType::U8, MOUNT_OFF(MediumType)},
    {"Volume Status", KeyType::U8, MOUNT_OFF(VolumeStatus)},
    {"Information Version", KeyType::U8, MOUNT_OFF(VolumeTypeAndInformationVersion)},
    {"Medium Condition", KeyType::U32, CFG_OFF(medium_condition)},
    {"Medium Presence", KeyType::U32, CFG_OFF(medium_presence)},
    {"Media Status", KeyType::U32, CFG_OFF(media_status)},
    {"Logging Level", KeyType::U8, CFG_OFF(logging_level)},
    {"Zone Information", KeyType::U8, CFG_OFF(zone_information)},
    {"Current Slot", KeyType::U8, CFG_OFF(current_slot)},
    {"Last Written Slot", KeyType::U8, CFG_OFF(last_written_slot)},
    {"Unmount", KeyType::U8, CFG_OFF(unmount)},
    {"Product Serial Number", KeyType::Str, CFG_OFF(product_serial)},
    {"Medium Unique ID", KeyType::Bin, CFG_OFF(medium_unique_id)},
    {"Rollback Slot Number", KeyType::U32, CFG_OFF(rollback_slot)},
    {"Rollback Metadata FE LSN", KeyType::U32, CFG_OFF(rollback_metadata_fe_lsn)},
    {"Rollback FSD LSN", KeyType::U32, CFG_OFF(rollback_fsd_lsn)},
    {"Disc Change Threshold", KeyType::U32, CFG_OFF(disc_change_threshold)},
    {"Verify On Write", KeyType::U32, CFG_OFF(verify_on_write)},
    {"RE Reformat", KeyType::U32, CFG_OFF(re_reformat)},
    {"Before Access Mode", KeyType::U32, CFG_OFF(before_access_mode)},
    {"1500H_FAILREAD_OR_CRC", KeyType::U8, CFG_OFF(fail_1500h)},
    {"Volume Type", KeyType::U8, CFG_OFF(volume_type)},
    {"Max Fs Mata Flg", KeyType::U32, CFG_OFF(max_fs_meta_flg)},
    {"Rec Inhibit", KeyType::U32, CFG_OFF(rec_inhibit)},
};
#undef MOUNT_OFF
#undef CFG_OFF

// Reads one key into dst; returns the bytes read.
int read_key(int h, const char* key, KeyType type, void* dst) {
  switch (type) {
    case KeyType::U32: {
      int size = 4;
      std::uint32_t v = 0;
      int n = config_get_uint32(h, key, &size, &v);
      if (n >= 1) std::memcpy(dst, &v, 4);
      return n;
    }
    case KeyType::U8: {
      int size = 1;
      std::uint8_t v = 0;
      int n = config_get_uint8(h, key, &size, &v);
      if (n >= 1) *static_cast<std::uint8_t*>(dst) = v;
      return n;
    }
    case KeyType::Str: {
      int size = 17;
      char v[17] = {};
      int n = config_get_string(h, key, &size, v);
      if (n >= 0) std::memcpy(dst, v, 17);
      return n;
    }
    case KeyType::Bin: {
      std::uint32_t size = 32;
      std::uint8_t v[32] = {};
      int n = config_get_binary(h, key, &size, v);
      if (n >= 1) std::memcpy(dst, v, 32);
      return n;
    }
  }
  return -1;
}

int write_key(int h, const char* section, const char* key, KeyType type, const void* src) {
  int written = -1;
  switch (type) {
    case KeyType::U32: {
      std::uint32_t v;
      std::memcpy(&v, src, 4);
      config_set_uint32(h, section, key, v, &written);
      break;
    }
    case KeyType::U8:
      config_set_uint8(h, section, key, *static_cast<const std::uint8_t*>(src), &written);
      break;
    case KeyType::Str:
      config_set_string(h, section, key, static_cast<const char*>(src), &written);
      break;
    case KeyType::Bin:
      config_set_binary(h, section, key, static_cast<const std::uint8_t*>(src), 32, &written);
      break;
  }
  return written;
}

const KeyDesc* find_key(const char* key) {
  for (const auto& k : kKeys)
    if (std::strcmp(k.key, key) == 0) return &k;
  return nullptr;
}
}  // namespace

std::string drvint::section_name(int devnum) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "sg%d", devnum);
  return buf;
}

errno_t storage_scsi::get_config_locked() {
  DRV_TRACE_FN();
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.[%d]\n", m_devnum, kIO);
    return kIO;
  }
  auto* base = reinterpret_cast<unsigned char*>(&m_config);
  const std::uint8_t slots_before[2] = {m_config.current_slot, m_config.last_written_slot};
  errno_t res = 0;
  for (const auto& k : kKeys) {
    if (k.type == KeyType::Str) {
      read_key(h, k.key, k.type, base + k.offset);  // read without a check
      continue;
    }
    if (std::strcmp(k.key, "Volume Type") == 0) {
      const std::uint8_t t = m_config.mount.MediumType;
      if (t == 0xF1 || t == 0xF2 || t == 0xE5) {
        m_config.volume_type = 0;
        continue;
      }
    }
    int n = read_key(h, k.key, k.type, base + k.offset);
    if (n < 1) {
      DRV_LOG(ERR_, "config_get failed. readsize=%d\n", n);
      res = kIO;
      break;
    }
  }
  config_close(h);
  if (m_config.current_slot != slots_before[0] || m_config.last_written_slot != slots_before[1])
    drive_state_changed();
  return res;
}

errno_t storage_scsi::get_config() {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  return get_config_locked();
}

errno_t storage_scsi::set_config_locked() {
  DRV_TRACE_FN();
  DRV_LOG(DEBG, "m_devnum[%d]\n", m_devnum);
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.[%d]\n", m_devnum, kIO);
    return kIO;
  }
  const auto* base = reinterpret_cast<const unsigned char*>(&m_config);
  errno_t res = 0;
  for (const auto& k : kKeys) {
    if (k.type == KeyType::Str && m_config.product_serial[0] == '\0') continue;
    int n = write_key(h, section.c_str(), k.key, k.type, base + k.offset);
    if (n < 1) {
      DRV_LOG(ERR_, "config_get failed. writesize=%d\n", n);
      res = kIO;
      break;
    }
  }
  config_close(h);
  return res;
}

errno_t storage_scsi::set_config() {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  return set_config_locked();
}

errno_t storage_scsi::init_config() {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  DRV_LOG(DEBG, "m_devnum[%d]\n", m_devnum);
  m_config.medium_condition = 0;
  m_config.mount.MountStatus = 0;
  m_config.mount.AccessMode = 0;
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.[%d]\n", m_devnum, kIO);
    return kIO;
  }
  const auto* base = reinterpret_cast<const unsigned char*>(&m_config);
  errno_t res = 0;
  for (const char* key :
       {"Mount Status", "Access Mode", "Medium Type", "Medium Condition", "Medium Unique ID"}) {
    const KeyDesc* k = find_key(key);
    int n = write_key(h, section.c_str(), k->key, k->type, base + k->offset);
    if (n < 1) {
      DRV_LOG(ERR_, "config_get failed. writesize=%d\n", n);
      res = kIO;
      break;
    }
  }
  config_close(h);
  return res;
}

errno_t storage_scsi::get_config_MediumUniqueID(UInt8* dst, int size) {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  DRV_LOG(DEBG, "m_devnum[%d]\n", m_devnum);
  if (dst == nullptr || size < 0) {
    DRV_LOG(ERR_, "Invalid parameter. pMediumUniqueID=0x%p, bufsize=%d\n",
            static_cast<void*>(dst), size);
    return kInvalid;
  }
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.[%d]\n", m_devnum, kIO);
    return kIO;
  }
  std::uint32_t got = 32;
  std::uint8_t v[32] = {};
  int n = config_get_binary(h, "Medium Unique ID", &got, v);
  config_close(h);
  if (n < 1) {
    // Nothing usable came back: copy nothing and report the store failure.
    DRV_LOG(ERR_, "config_get failed. readsize=%d\n", n);
    return kIO;
  }
  std::memset(m_config.medium_unique_id, 0, 32);
  std::memcpy(m_config.medium_unique_id, v, static_cast<std::size_t>(n));
  if (n > size) {
    DRV_LOG(ERR_, "size over MediumUniqueID.[%d]\n", n);
    return kNoMemory;
  }
  std::memcpy(dst, v, static_cast<std::size_t>(n));
  return 0;
}

errno_t storage_scsi::get_mount_info(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  MDCFS_MOUNT_INFORMATION mi;
  {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    (void)get_config_locked();
    mi = m_config.mount;
  }
  std::memcpy(data, &mi, sizeof(mi));
  if (mi.WriteProtectReasonFlags != 0)
    DRV_LOG(WARN, "mountInfo->WriteProtectReasonFlags is non-zero(0x%08x)\n",
            mi.WriteProtectReasonFlags);
  return 0;
}

errno_t storage_scsi::set_mount_info(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  MDCFS_MOUNT_INFORMATION mi;
  std::memcpy(&mi, data, sizeof(mi));
  std::lock_guard<std::mutex> lk(m_config_mutex);
  const std::uint32_t newr = mi.WriteProtectReasonFlags;
  const std::uint32_t oldr = m_config.mount.WriteProtectReasonFlags;
  std::uint32_t chosen;
  if (m_reasons_open) {
    chosen = newr;
    if (newr != 0xFFFFFFFFu && (newr & ~0x001A0900u) != 0) m_reasons_open = false;
  } else if ((newr & 0x20000u) || (oldr & 0x20000u)) {
    chosen = newr;
  } else if ((newr & 0x1000u) && m_write_once) {
    chosen = newr;
  } else {
    chosen = oldr;
  }
  mi.WriteProtectReasonFlags = chosen;
  m_config.mount = mi;
  return set_config_locked();
}

errno_t storage_scsi::set_slot_info(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::uint32_t v[2];
  std::memcpy(v, data, sizeof(v));
  std::lock_guard<std::mutex> lk(m_config_mutex);
  m_config.current_slot = static_cast<std::uint8_t>(v[0]);
  m_config.last_written_slot = static_cast<std::uint8_t>(v[1]);
  drive_state_changed();
  errno_t res = set_config_locked();
  if (res != 0) DRV_LOG(ERR_, "set_config failed. err=%d\n", res);
  return res;
}

namespace {
const char* const kRollbackKeys[3] = {"Rollback Slot Number", "Rollback Metadata FE LSN",
                                      "Rollback FSD LSN"};
}

static errno_t write_rollback(int devnum, const std::uint32_t v[3]) {
  const std::string section = drvint::section_name(devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.\n", devnum);
    return kIO;
  }
  errno_t res = 0;
  for (int i = 0; i < 3; ++i) {
    int written = -1;
    config_set_uint32(h, section.c_str(), kRollbackKeys[i], v[i], &written);
    if (written < 1) {
      DRV_LOG(ERR_, "config_get failed. writesize=%d\n", written);
      res = kIO;
      break;
    }
  }
  config_close(h);
  return res;
}

errno_t storage_scsi::set_rollback_point(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::uint32_t v[3];
  std::memcpy(v, data, sizeof(v));
  std::lock_guard<std::mutex> lk(m_config_mutex);
  return write_rollback(m_devnum, v);
}

errno_t storage_scsi::delete_rollback_point(caddr_t) {
  DRV_TRACE_FN();
  const std::uint32_t v[3] = {0, 0, 0};
  std::lock_guard<std::mutex> lk(m_config_mutex);
  return write_rollback(m_devnum, v);
}

errno_t storage_scsi::get_rollback_point(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_config_mutex);
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.\n", m_devnum);
    return kIO;
  }
  std::uint32_t v[3] = {};
  errno_t res = 0;
  for (int i = 0; i < 3; ++i) {
    int size = 4;
    int n = config_get_uint32(h, kRollbackKeys[i], &size, &v[i]);
    if (n < 1) {
      DRV_LOG(ERR_, "config_get failed. readsize=%d\n", n);
      res = kIO;
      break;
    }
  }
  config_close(h);
  if (res == 0) std::memcpy(data, v, sizeof(v));
  return res;
}

errno_t storage_scsi::set_volume_name(caddr_t data) {
  DRV_TRACE_FN();
  if (data == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<void*>(data));
    return kInvalid;
  }
  pxo_volume_name_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  if (rec.name == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. data=0x%p\n", static_cast<const void*>(rec.name));
    return kInvalid;
  }
  std::lock_guard<std::mutex> lk(m_config_mutex);
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(ERR_, "sg%d config open failed.\n", m_devnum);
    return kIO;
  }
  int written = -1;
  config_set_string(h, section.c_str(), "Volume Name", rec.name, &written);
  config_close(h);
  if (written < 1) {
    DRV_LOG(ERR_, "config_get failed. writesize=%d\n", written);
    return kIO;
  }
  return 0;
}

errno_t storage_scsi::get_disc_change_threshold() {
  DRV_TRACE_FN();
  std::lock_guard<std::mutex> lk(m_config_mutex);
  const std::string section = drvint::section_name(m_devnum);
  int h = config_open_sgdev(section.c_str());
  if (h == 0) {
    DRV_LOG(NOTI, "sg%d config not exist.\n", m_devnum);
    h = config_create(section.c_str());
    if (h == 0) return kIO;
    config_set_default(h);
    DRV_LOG(NOTI, "sg%d config set default.\n", m_devnum);
  }
  auto* base = reinterpret_cast<unsigned char*>(&m_config);
  const std::uint32_t current_reasons = m_config.mount.WriteProtectReasonFlags;
  for (const char* key : {"Disc Change Threshold", "Mount Status", "Write Protect Reason",
                          "Information Version", "RE Reformat", "Medium Unique ID",
                          "Rollback Slot Number", "Rollback Metadata FE LSN", "Rollback FSD LSN",
                          "Before Access Mode"}) {
    const KeyDesc* k = find_key(key);
    int n = read_key(h, k->key, k->type, base + k->offset);
    if (n < 1) DRV_LOG(ERR_, "config_get failed. readsize=%d\n", n);
  }
  config_close(h);
  // Values of the utility configuration.
  m_config.verify_on_write = getGnrcConfigValue32(drvint::kUtilityConf, "Verify On Write", 1);
  m_config.generate_parity = getGnrcConfigValue32(drvint::kUtilityConf, "Generate Parity", 0);
  m_config.rec_inhibit = getGnrcConfigValue32(drvint::kUtilityConf, "Rec Inhibit", 0);
  if (m_config.mount.MountStatus == 0x80000003u) {
    DRV_LOG(NOTI, "When the previously MOUNT_STATUS_SYSTEM_GUARD\n");
    m_config.mount.WriteProtectReasonFlags =
        current_reasons | (m_config.mount.WriteProtectReasonFlags & ~1u);
  }
  return 0;
}
