// Device controls of the file-system engine: VNOP_IOCTL on the device vnode
// reaches one handler of the storage, the media services or the client.
#include "drive/client_if.h"
#include "drive/device_control.h"

#include "storage_scsi_log.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

int invalid_argument(std::uint32_t command, const void* data) {
  DRV_LOG(ERR_, "Invalid argument. command=%ld, data=%p, err=%d\n", static_cast<long>(command), data,
          drv_err::kInvalid);
  return drv_err::kInvalid;
}

// The record type a storage method takes.
template <class Method>
struct record_of;
template <class Record>
struct record_of<errno_t (storage_scsi::*)(Record)> {
  using type = Record;
};

// A control that hands the caller's record to one storage method and
// answers what it returns.
template <auto Method>
errno_t with_record(storage_scsi* s, caddr_t data) {
  return (s->*Method)(reinterpret_cast<typename record_of<decltype(Method)>::type>(data));
}
// A control whose storage method takes no record.
template <auto Method>
errno_t without_record(storage_scsi* s, caddr_t) {
  return (s->*Method)();
}

errno_t synchronize_cache(storage_scsi* s, caddr_t data) {
  DRV_LOG(DEBG, "DKIOCSYNCHRONIZECACHE\n");
  const errno_t r = s->synchronize_cache(data);
  DRV_LOG(INFO, "DKIOCSYNCHRONIZECACHE, Result(%d)\n", r);
  return r;
}

errno_t get_before_access_mode(storage_scsi* s, caddr_t data) {
  const errno_t r = s->get_before_access_mode(reinterpret_cast<std::uint32_t*>(data));
  DRV_LOG(DEBG, "PXOIOGETBEFOREACCESSMODE---, err(%d)", r);
  return r;
}

errno_t set_before_access_mode(storage_scsi* s, caddr_t data) {
  const errno_t r = s->set_before_access_mode(reinterpret_cast<std::uint32_t*>(data));
  DRV_LOG(DEBG, "PXOIOSETBEFOREACCESSMODE---, err(%d)", r);
  return r;
}

// The write protection of the cartridge memory, answered as a 32-bit flag.
errno_t cm_write_protect(storage_scsi* s, caddr_t data) {
  Boolean on = false;
  const errno_t r = s->isCMWriteProtect(&on);
  const std::uint32_t wide = on ? 1u : 0u;
  std::memcpy(data, &wide, sizeof(wide));
  DRV_LOG(DEBG, "PXOIOCMWRITEPROTECT, err(%d)\n", r);
  return r;
}

errno_t set_devname_for_cache_agent(storage_scsi* s, caddr_t data) {
  pxo_devname_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  return s->setDeviceNameForFsCacheAgent(rec.name, rec.length);
}

template <errno_t (storage_scsi::*Method)(UInt8*, UInt32*)>
errno_t defect_bitmap(storage_scsi* s, caddr_t data) {
  pxo_defect_bitmap_req_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  const errno_t r = (s->*Method)(rec.bitmap, &rec.length);
  std::memcpy(data, &rec, sizeof(rec));
  return r;
}

errno_t search_next_nwa(storage_scsi* s, caddr_t data) {
  pxo_search_nwa_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  Boolean replaced = false;
  const errno_t r = s->searchAndFindNwa(rec.start, rec.count, &rec.new_nwa, &replaced);
  rec.replaced = replaced ? 1 : 0;
  std::memcpy(data, &rec, sizeof(rec));
  return r;
}

errno_t get_dfl(storage_scsi* s, caddr_t data) {
  pxo_get_dfl_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  // The list buffer holds `length` bytes: the 4-byte head (medium type)
  // and the list after it.
  if (rec.list == nullptr || rec.length < 4) return invalid_argument(PXOIOCGETDFL, rec.list);
  const errno_t r = s->get_dfl(rec.list, rec.length - 4, rec.index, &rec.total, nullptr, false);
  std::memcpy(data, &rec, sizeof(rec));
  return r;
}

// The disc and track information: read from the drive, or the cached
// answer brought up to date when the record's flag asks for it.
errno_t disc_info(storage_scsi* s, caddr_t data) {
  std::uint32_t from_cache;
  std::memcpy(&from_cache, data + 36, sizeof(from_cache));
  return from_cache != 0 ? s->update_disc_info(data) : s->read_disc_info(data, false);
}

errno_t track_info(storage_scsi* s, caddr_t data) {
  std::uint32_t from_cache;
  std::memcpy(&from_cache, data + 56, sizeof(from_cache));
  return from_cache != 0 ? s->update_track_info(data) : s->read_track_info(data);
}

struct StorageControl {
  std::uint32_t command;
  errno_t (*call)(storage_scsi*, caddr_t);
};

// The controls the storage answers alone.
constexpr StorageControl kStorageControls[] = {
    {PXOIOCINCDFLCOUNT, with_record<&storage_scsi::increment_dfl_count>},
    {PXOIOCLOSETRACKSESSION, with_record<&storage_scsi::close_track_session>},
    {PXOIODELETEROLLBACKPOINT, with_record<&storage_scsi::delete_rollback_point>},
    {PXOIODELETEROLLBACKPOINT2, with_record<&storage_scsi::delete_rollback_point>},
    {PXOIOCACHECLEAR, without_record<&storage_scsi::scsi_cache_clear>},
    {PXOIOREBUILDDFLMAP, without_record<&storage_scsi::rebuildDefectBitmap>},
    {DKIOCSYNCHRONIZECACHE, synchronize_cache},
    {PXOIOCGETWRITEUNSUPPORT, with_record<&storage_scsi::check_writeUnsupport>},
    {PXOIOGETMEDIUMTYPE, with_record<&storage_scsi::get_medium_type>},
    {PXOIOREPORT1500HCRC, with_record<&storage_scsi::report_1500H_CRC_result>},
    {PXOIOCGETOPCRESOURCEDATA, with_record<&storage_scsi::get_opc_resource_data>},
    {PXOIOCGETWRITEFAILCNT, with_record<&storage_scsi::get_write_fail_cnt>},
    {PXOIOCMWRITEPROTECT, cm_write_protect},
    {PXOIOGETBEFOREACCESSMODE, get_before_access_mode},
    {DKIOCGETBLOCKSIZE, with_record<&storage_scsi::get_block_size>},
    {PXOIOGETREADWRITEBLOCKSIZEMODEPAGE, with_record<&storage_scsi::getReadWriteBlockSizeModeSense>},
    {PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE,
     with_record<&storage_scsi::getReadWriteErrorRecoveryParametersModeSense>},
    {DKIOCGETBLOCKCOUNT, with_record<&storage_scsi::get_block_count>},
    {PXOIOCMAINTEREADERRORINFO, with_record<&storage_scsi::mainte_read_error_info>},
    {PXOIOMECHANISMSTATUS, with_record<&storage_scsi::mechanism_status>},
    {PXOIOGETROLLBACKPOINT, with_record<&storage_scsi::get_rollback_point>},
    {PXOIOGETROLLBACKPOINT2, with_record<&storage_scsi::get_rollback_point>},
    {PXOIOREADFORMATCAPACITY, with_record<&storage_scsi::read_format_capacity>},
    {PXOIOCSCSIIDENTIFY, with_record<&storage_scsi::scsi_identify>},
    {PXOIOGETMOUNTINFO, with_record<&storage_scsi::get_mount_info>},
    {PXOIOGETDEVINFO, with_record<&storage_scsi::get_devinfo>},
    {PXOIOCGETDDS, with_record<&storage_scsi::get_dds>},
    {PXOIOCREPORTERROR, with_record<&storage_scsi::report_error>},
    {PXOIOCSTARTSTOPUNIT, with_record<&storage_scsi::start_stop_unit>},
    {PXOIOCACHECHECK, with_record<&storage_scsi::scsi_cache_check>},
    {PXOIOMEDIAPROTECT, with_record<&storage_scsi::media_protect>},
    {PXOIONOTIFYUNMOUNT, with_record<&storage_scsi::notify_unmount>},
    {PXOIOSETBEFOREACCESSMODE, set_before_access_mode},
    {PXOIOCRESERVEWRITERANGE, with_record<&storage_scsi::reserve_write_range>},
    {PXOIOVERIFYRANGE, with_record<&storage_scsi::verify_range>},
    {PXOIOSETROLLBACKPOINT, with_record<&storage_scsi::set_rollback_point>},
    {PXOIOSETROLLBACKPOINT2, with_record<&storage_scsi::set_rollback_point>},
    {PXOIOSETVOLUMENAME, with_record<&storage_scsi::set_volume_name>},
    {PXOIOSETDEVNAMEFORCACHEAGENT, set_devname_for_cache_agent},
    {PXOIOSETMOUNTINFO, with_record<&storage_scsi::set_mount_info>},
    {PXOIOSETREALLOCCONTROL, with_record<&storage_scsi::set_realloc_control>},
    {PXOIOWRITEATTRIBUTE, with_record<&storage_scsi::pxo_write_attribute>},
    {PXOIOCSETOPCRESOURCEDATA, with_record<&storage_scsi::set_opc_resource_data>},
    {PXOIOCGETPERFORMANCE, with_record<&storage_scsi::getPerformance>},
    {PXOIOCGETDEFECTBITMAP, defect_bitmap<&storage_scsi::getDefectBitmap>},
    {PXOIOCSETDEFECTBITMAP, defect_bitmap<&storage_scsi::setDefectBitmap>},
    {PXOIOSEARCHNEXTNWA, search_next_nwa},
    {PXOIOCGETDFL, get_dfl},
    {PXOIOCREADDISCINFO, disc_info},
    {PXOIOCREADTRACKINFO, track_info},
};

errno_t reset_back_track_info(scsi_service& service, storage_scsi*, caddr_t) {
  DRV_LOG(DEBG, "PXOIORESETBACKTRACKINFO+++");
  const errno_t r = service.resetBackTrackInformation();
  DRV_LOG(DEBG, "PXOIORESETBACKTRACKINFO---, err(%d)", r);
  return r;
}

errno_t get_back_track_info(scsi_service& service, storage_scsi*, caddr_t data) {
  DRV_LOG(DEBG, "PXOIOGETBACKTRACKINFO+++");
  const errno_t r = service.getBackTrackInformation(data);
  DRV_LOG(DEBG, "PXOIOGETBACKTRACKINFO---, err(%d)", r);
  return r;
}

errno_t back_track_start(scsi_service& service, storage_scsi* s, caddr_t data) {
  DRV_LOG(DEBG, "PXOIOBACKTRACKSTART+++");
  const errno_t r = service.startBackTrack(data, s);
  DRV_LOG(DEBG, "PXOIOBACKTRACKSTART---, err(%d)", r);
  return r;
}

errno_t last_written_slot(scsi_service& service, storage_scsi*, caddr_t) {
  const errno_t r = service.search_last_written_slot();
  DRV_LOG(DEBG, "PXOIOLASTWRITTENSLOT, err(%d)\n", r);
  return r;
}

errno_t medium_serial_number(scsi_service& service, storage_scsi*, caddr_t data) {
  return service.getMediumSerialNum(reinterpret_cast<std::uint8_t*>(data));
}

errno_t medium_unique_id(scsi_service& service, storage_scsi*, caddr_t data) {
  pxo_medium_unique_id_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  // The identifier area of the record is all the caller's length may cover.
  const UInt32 length = std::min<UInt32>(rec.length, sizeof(rec.id));
  return service.getMediumUniqueIdFromINQUIRY(reinterpret_cast<std::uint8_t*>(data), length);
}

errno_t reserve_track_write_last_avdp(scsi_service& service, storage_scsi*, caddr_t data) {
  return service.reserveTrackAndWriteLastAVDP(reinterpret_cast<pxo_auto_format_last_info_t*>(data));
}

errno_t auto_formatted_flag(scsi_service& service, storage_scsi*, caddr_t data) {
  return service.get_AutoFormatted_flag(data);
}

// Whether the medium is formatted, answered as a 32-bit flag.
errno_t is_formatted(scsi_service& service, storage_scsi*, caddr_t data) {
  bool formatted = false;
  bool scratch = false;
  const errno_t r = service.isFormatted(&formatted, &scratch);
  const std::uint32_t wide = formatted ? 1u : 0u;
  std::memcpy(data, &wide, sizeof(wide));
  return r;
}

errno_t set_slot_info(scsi_service& service, storage_scsi* s, caddr_t data) {
  errno_t r = service.set_slot_info(data);
  if (r == 0) r = s->set_slot_info(data);
  return r;
}

errno_t next_slot_load(scsi_service& service, storage_scsi* s, caddr_t data) {
  const errno_t r = s->next_slot_load(data);
  if (r == 0) service.setNextSlotLoad(reinterpret_cast<std::uint8_t*>(data));
  return r;
}

errno_t scsi_passthrough(scsi_service& service, storage_scsi* s, caddr_t data) {
  const errno_t r = s->scsi_passthrough(data);
  auto* u8 = reinterpret_cast<std::uint8_t*>(data);
  if (u8[8] == 0xA6) {
    // A load asked for: what was read of the slots is kept no longer.
    storage_scsi::drive_state_changed();
    std::uint8_t slot = u8[8 + 8];
    service.setNextSlotLoad(&slot);
  }
  return r;
}

struct ServiceControl {
  std::uint32_t command;
  errno_t (*call)(scsi_service&, storage_scsi*, caddr_t);
};

// The controls the media services answer, some with the storage.
constexpr ServiceControl kServiceControls[] = {
    {PXOIORESETBACKTRACKINFO, reset_back_track_info},
    {PXOIOGETBACKTRACKINFO, get_back_track_info},
    {PXOIOBACKTRACKSTART, back_track_start},
    {PXOIOLASTWRITTENSLOT, last_written_slot},
    {PXOIOGETMEDIUMSERIALNUM, medium_serial_number},
    {PXOIOGETMEDIUMUNIQUEID, medium_unique_id},
    {PXOIORESERVETRACKWRITELASTAVDP, reserve_track_write_last_avdp},
    {PXOIOGETAUTOFORMATTEDFLAG, auto_formatted_flag},
    {PXOIOISFORMATTED, is_formatted},
    {PXOIOCSETSLOTINFO, set_slot_info},
    {PXOIONEXTSLOTLOAD, next_slot_load},
    {PXOIOCSCSIPASSTHROUGH, scsi_passthrough},
};

// The row of `command` in a control table, or null.
template <class Row, std::size_t N>
constexpr const Row* find_control(const Row (&rows)[N], std::uint32_t command) {
  for (const Row& row : rows)
    if (row.command == command) return &row;
  return nullptr;
}

// Whether a table names each command once at most.
template <class Row, std::size_t N>
constexpr bool commands_unique(const Row (&rows)[N]) {
  for (std::size_t i = 0; i < N; ++i)
    for (std::size_t j = i + 1; j < N; ++j)
      if (rows[i].command == rows[j].command) return false;
  return true;
}
static_assert(commands_unique(kStorageControls) && commands_unique(kServiceControls));

}  // namespace

int VNOP_IOCTL(vnode_t vp, uint32_t command, char* data, int fflag, vfs_context_t ctx) {
  if (pclient_if == nullptr) {
    KEL_LOG_AS("int VNOP_IOCTL(vnode_t, uint32_t, char*, int, vfs_context_t)", drvlog::ERR_, KEL_MOD_DRV,
               KEL_MARK_NOTE, "Invalid argument. pclient_if=%p\n", static_cast<void*>(pclient_if));
    return drv_err::kInvalid;
  }
  return pclient_if->VNOP_IOCTL(vp, command, data, fflag, ctx);
}

int client_if::reformat(caddr_t data) {
  DRV_LOG(DEBG, "PXOIOREFORMAT+++");
  storage_scsi* s = storage();
  int r = m_service.reFormat(data, s);
  if (r == -1) {
    DRV_LOG(INFO, "reformat not execute.");
    r = 0;
  } else if (r != 0) {
    DRV_LOG(ERR_, "reformat failed. status=%d", r);
    return r;
  } else {
    pxo_reformat_t rec;
    std::memcpy(&rec, data, sizeof(rec));
    r = MountForLastSlot(rec.drive_verify != 0);
    if (r != 0) {
      DRV_LOG(ERR_, "mount failed. err=%d", r);
    } else {
      rec.auto_formatted = m_service.get_re_auto_formatted_flag() ? 1u : 0u;
      std::memcpy(data, &rec.auto_formatted, sizeof(rec.auto_formatted));
    }
    m_service.set_reformat_state(false);
  }
  DRV_LOG(DEBG, "PXOIOREFORMAT---");
  return r;
}

int client_if::get_slot_info_control(caddr_t data) {
  storage_scsi* s = storage();
  // Taken before the first command: whatever moves them while the state is
  // read makes the next request read it again.
  const std::uint64_t generation = storage_scsi::drive_state_generation();
  const std::uint64_t epoch = quorvel_drive_epoch();
  {
    std::lock_guard<std::mutex> lk(m_slot_answer_mutex);
    const SlotAnswer& a = m_slot_answer;
    if (a.valid && epoch != 0 && a.generation == generation && a.epoch == epoch) {
      // The commands below would read the same state and rebuild the same
      // defect bitmap: only their answer and the service's slot remain.
      std::memcpy(data, a.record, sizeof(a.record));
      m_service.keep_current_slot(a.record[0]);
      return a.result;
    }
  }
  // The reads below ask the drive for its slots and cartridge memory
  // several times over: the drive is asked once.
  const storage_scsi::KeepReads keep(*s);
  pxo_mechanism_status_t ms{};
  errno_t e = s->mechanism_status(reinterpret_cast<caddr_t>(&ms));
  if (e != 0) {
    DRV_LOG(ERR_, "mechanism_status failed. err[%d]\n", e);
    return e;
  }
  const errno_t r = s->get_slot_info(data);
  std::uint32_t slot;
  std::memcpy(&slot, data, sizeof(slot));
  std::uint8_t low = static_cast<std::uint8_t>(slot);
  m_service.setNextSlotLoad(&low);
  const std::uint8_t limit = static_cast<std::uint8_t>(ms.slot_count() - 1);
  const int result = slot < limit ? 0 : r;
  {
    std::lock_guard<std::mutex> lk(m_slot_answer_mutex);
    m_slot_answer.valid = true;
    m_slot_answer.generation = generation;
    m_slot_answer.epoch = epoch;
    std::memcpy(m_slot_answer.record, data, sizeof(m_slot_answer.record));
    m_slot_answer.result = result;
  }
  return result;
}

namespace {
thread_local int g_kept_cartridge_memory_reads = 0;
}  // namespace

KeptCartridgeMemoryReads::KeptCartridgeMemoryReads() { ++g_kept_cartridge_memory_reads; }
KeptCartridgeMemoryReads::~KeptCartridgeMemoryReads() { --g_kept_cartridge_memory_reads; }
bool KeptCartridgeMemoryReads::active() { return g_kept_cartridge_memory_reads > 0; }

// A cartridge-memory list read again under the drive state it was read
// under is the answer kept then: only the 1500h record's check runs again.
int client_if::read_attribute_control(caddr_t data) {
  storage_scsi* s = storage();
  if (!KeptCartridgeMemoryReads::active()) return s->pxo_read_attribute(data);
  pxo_attribute_request_t rec;
  std::memcpy(&rec, data, sizeof(rec));
  // Taken before the read, as for the slot answer.
  const std::uint64_t generation = storage_scsi::drive_state_generation();
  const std::uint64_t epoch = quorvel_drive_epoch();
  const auto same = [&](const AttributeAnswer& k) {
    return k.id == rec.attribute_id && k.length == rec.allocation_length && k.action == rec.service_action;
  };
  if (rec.buffer != nullptr && epoch != 0) {
    std::lock_guard<std::mutex> lk(m_attribute_mutex);
    const AttributeAnswers& a = m_attribute_answers;
    const auto k = std::find_if(a.kept.begin(), a.kept.end(), same);
    if (a.generation == generation && a.epoch == epoch && k != a.kept.end()) {
      std::memcpy(rec.buffer, k->bytes.data(), k->bytes.size());
      return rec.attribute_id == 0x1500 ? s->check_1500H_CRC_result(data, 0) : 0;
    }
  }
  const errno_t r = s->pxo_read_attribute(data);
  if (r != 0 || rec.buffer == nullptr || epoch == 0) return r;
  std::lock_guard<std::mutex> lk(m_attribute_mutex);
  AttributeAnswers& a = m_attribute_answers;
  if (a.generation != generation || a.epoch != epoch) a = AttributeAnswers{generation, epoch, {}};
  std::erase_if(a.kept, same);
  a.kept.push_back(AttributeAnswer{rec.attribute_id, rec.allocation_length, rec.service_action,
                                   std::vector<unsigned char>(rec.buffer, rec.buffer + rec.allocation_length)});
  return r;
}

int client_if::VNOP_IOCTL(vnode_t, std::uint32_t command, caddr_t data, int, vfs_context_t) {
  storage_scsi* s = storage();
  const std::uint32_t dir = command & 0xE0000000u;
  if ((dir & (devctl::kOut | devctl::kIn)) != 0 && data == nullptr) return invalid_argument(command, data);
  if (const StorageControl* c = find_control(kStorageControls, command)) return c->call(s, data);
  if (const ServiceControl* c = find_control(kServiceControls, command)) return c->call(m_service, s, data);
  switch (command) {
    case PXOIONOP210:
    case PXOIONOP107:
      return 0;
    case PXOIOMOUNTLASTSLOT:
      if (data == nullptr) return invalid_argument(command, data);
      return MountForLastSlot(data[0] != 0);
    case PXOIOREFORMAT:
      return reformat(data);
    case PXOIOCGETSLOTINFO:
      return get_slot_info_control(data);
    case PXOIOREADATTRIBUTE:
      return read_attribute_control(data);
    case PXOIOAUTOFORMATREQUEST: {
      const errno_t r = m_service.auto_format_request(data);
      // A format or erase that succeeded has read or written the 1500h record.
      if (r == 0) m_1500h_unread = false;
      return r;
    }
    default:
      return drv_err::kUnknownControl;
  }
}
