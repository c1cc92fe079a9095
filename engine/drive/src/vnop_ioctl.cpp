// Device controls of the file-system engine: VNOP_IOCTL on the device vnode
// reaches one handler of the storage, the media services or the client.
#include "drive/client_if.h"
#include "drive/device_control.h"

#include "storage_scsi_log.h"

#include <algorithm>
#include <cstring>

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

int client_if::VNOP_IOCTL(vnode_t, std::uint32_t command, caddr_t data, int, vfs_context_t) {
  storage_scsi* s = storage();
  const std::uint32_t dir = command & 0xE0000000u;
  if ((dir & (devctl::kOut | devctl::kIn)) != 0 && data == nullptr) {
    DRV_LOG(ERR_, "Invalid argument. command=%ld, data=%p, err=%d\n", static_cast<long>(command),
            static_cast<void*>(data), drv_err::kInvalid);
    return drv_err::kInvalid;
  }
  auto* u8 = reinterpret_cast<std::uint8_t*>(data);
  auto* u32 = reinterpret_cast<std::uint32_t*>(data);
  errno_t r = 0;
  switch (command) {
    case PXOIORESETBACKTRACKINFO:
      DRV_LOG(DEBG, "PXOIORESETBACKTRACKINFO+++");
      r = m_service.resetBackTrackInformation();
      DRV_LOG(DEBG, "PXOIORESETBACKTRACKINFO---, err(%d)", r);
      return r;
    case PXOIOCINCDFLCOUNT:
      return s->increment_dfl_count(data);
    case PXOIONOP210:
    case PXOIONOP107:
      return 0;
    case PXOIOCLOSETRACKSESSION:
      return s->close_track_session(data);
    case PXOIOMOUNTLASTSLOT:
      if (data == nullptr) {
        DRV_LOG(ERR_, "Invalid argument. command=%ld, data=%p, err=%d\n", static_cast<long>(command),
                static_cast<void*>(data), drv_err::kInvalid);
        return drv_err::kInvalid;
      }
      return MountForLastSlot(data[0] != 0);
    case PXOIODELETEROLLBACKPOINT:
    case PXOIODELETEROLLBACKPOINT2:
      return s->delete_rollback_point(data);
    case PXOIOCACHECLEAR:
      return s->scsi_cache_clear();
    case PXOIOLASTWRITTENSLOT:
      r = m_service.search_last_written_slot();
      DRV_LOG(DEBG, "PXOIOLASTWRITTENSLOT, err(%d)\n", r);
      return r;
    case PXOIOREBUILDDFLMAP:
      return s->rebuildDefectBitmap();
    case DKIOCSYNCHRONIZECACHE:
      DRV_LOG(DEBG, "DKIOCSYNCHRONIZECACHE\n");
      r = s->synchronize_cache(data);
      DRV_LOG(INFO, "DKIOCSYNCHRONIZECACHE, Result(%d)\n", r);
      return r;
    case PXOIOCGETWRITEUNSUPPORT:
      return s->check_writeUnsupport(u8);
    case PXOIOGETMEDIUMTYPE:
      return s->get_medium_type(data);
    case PXOIONEXTSLOTLOAD:
      r = s->next_slot_load(data);
      if (r == 0) m_service.setNextSlotLoad(u8);
      return r;
    case PXOIOREPORT1500HCRC:
      return s->report_1500H_CRC_result(data);
    case PXOIOGETMEDIUMSERIALNUM:
      return m_service.getMediumSerialNum(u8);
    case PXOIOCGETOPCRESOURCEDATA:
      return s->get_opc_resource_data(data);
    case PXOIOCGETWRITEFAILCNT:
      return s->get_write_fail_cnt(data);
    case PXOIOREFORMAT:
      return reformat(data);
    case PXOIOCMWRITEPROTECT: {
      Boolean on = false;
      r = s->isCMWriteProtect(&on);
      const std::uint32_t wide = on ? 1u : 0u;
      std::memcpy(data, &wide, sizeof(wide));
      DRV_LOG(DEBG, "PXOIOCMWRITEPROTECT, err(%d)\n", r);
      return r;
    }
    case PXOIOGETBEFOREACCESSMODE:
      r = s->get_before_access_mode(u32);
      DRV_LOG(DEBG, "PXOIOGETBEFOREACCESSMODE---, err(%d)", r);
      return r;
    case DKIOCGETBLOCKSIZE:
      return s->get_block_size(data);
    case PXOIOGETREADWRITEBLOCKSIZEMODEPAGE:
      return s->getReadWriteBlockSizeModeSense(reinterpret_cast<pxo_read_write_block_size_mode_page_t*>(data));
    case PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE:
      return s->getReadWriteErrorRecoveryParametersModeSense(
          reinterpret_cast<pxo_read_write_error_recovery_parameters_mode_page_t*>(data));
    case PXOIOGETBACKTRACKINFO:
      DRV_LOG(DEBG, "PXOIOGETBACKTRACKINFO+++");
      r = m_service.getBackTrackInformation(data);
      DRV_LOG(DEBG, "PXOIOGETBACKTRACKINFO---, err(%d)", r);
      return r;
    case DKIOCGETBLOCKCOUNT:
      return s->get_block_count(data);
    case PXOIOCMAINTEREADERRORINFO:
      return s->mainte_read_error_info(reinterpret_cast<pxo_mainte_read_error_info_t*>(data));
    case PXOIOMECHANISMSTATUS:
      return s->mechanism_status(data);
    case PXOIOGETROLLBACKPOINT:
    case PXOIOGETROLLBACKPOINT2:
      return s->get_rollback_point(data);
    case PXOIOREADFORMATCAPACITY:
      return s->read_format_capacity(data);
    case PXOIOCSCSIIDENTIFY:
      return s->scsi_identify(data);
    case PXOIOGETMOUNTINFO:
      return s->get_mount_info(data);
    case PXOIOCGETSLOTINFO:
      return get_slot_info_control(data);
    case PXOIOGETMEDIUMUNIQUEID: {
      pxo_medium_unique_id_t rec;
      std::memcpy(&rec, data, sizeof(rec));
      // The identifier area of the record is all the caller's length may cover.
      const UInt32 length = std::min<UInt32>(rec.length, sizeof(rec.id));
      return m_service.getMediumUniqueIdFromINQUIRY(u8, length);
    }
    case PXOIOGETDEVINFO:
      return s->get_devinfo(data);
    case PXOIOREADATTRIBUTE:
      return s->pxo_read_attribute(data);
    case PXOIOCGETDDS:
      return s->get_dds(data);
    case PXOIOCREPORTERROR:
      return s->report_error(reinterpret_cast<pxo_report_error_t*>(data));
    case PXOIOCSTARTSTOPUNIT:
      return s->start_stop_unit(data);
    case PXOIOCACHECHECK:
      return s->scsi_cache_check(data);
    case PXOIOMEDIAPROTECT:
      return s->media_protect(data);
    case PXOIONOTIFYUNMOUNT:
      return s->notify_unmount(data);
    case PXOIOSETBEFOREACCESSMODE:
      r = s->set_before_access_mode(u32);
      DRV_LOG(DEBG, "PXOIOSETBEFOREACCESSMODE---, err(%d)", r);
      return r;
    case PXOIOCRESERVEWRITERANGE:
      return s->reserve_write_range(data);
    case PXOIOVERIFYRANGE:
      return s->verify_range(data);
    case PXOIOSETROLLBACKPOINT:
    case PXOIOSETROLLBACKPOINT2:
      return s->set_rollback_point(data);
    case PXOIOSETVOLUMENAME:
      return s->set_volume_name(data);
    case PXOIOSETDEVNAMEFORCACHEAGENT: {
      pxo_devname_t rec;
      std::memcpy(&rec, data, sizeof(rec));
      return s->setDeviceNameForFsCacheAgent(rec.name, rec.length);
    }
    case PXOIOBACKTRACKSTART:
      DRV_LOG(DEBG, "PXOIOBACKTRACKSTART+++");
      r = m_service.startBackTrack(data, s);
      DRV_LOG(DEBG, "PXOIOBACKTRACKSTART---, err(%d)", r);
      return r;
    case PXOIOSETMOUNTINFO:
      return s->set_mount_info(data);
    case PXOIOCSETSLOTINFO:
      r = m_service.set_slot_info(data);
      if (r == 0) r = s->set_slot_info(data);
      return r;
    case PXOIOSETREALLOCCONTROL:
      return s->set_realloc_control(data);
    case PXOIOWRITEATTRIBUTE:
      return s->pxo_write_attribute(data);
    case PXOIOCSETOPCRESOURCEDATA:
      return s->set_opc_resource_data(reinterpret_cast<UInt16*>(data));
    case PXOIOCGETPERFORMANCE:
      return s->getPerformance(u32);
    case PXOIOISFORMATTED: {
      bool formatted = false;
      bool scratch = false;
      r = m_service.isFormatted(&formatted, &scratch);
      const std::uint32_t wide = formatted ? 1u : 0u;
      std::memcpy(data, &wide, sizeof(wide));
      return r;
    }
    case PXOIORESERVETRACKWRITELASTAVDP:
      return m_service.reserveTrackAndWriteLastAVDP(reinterpret_cast<pxo_auto_format_last_info_t*>(data));
    case PXOIOGETAUTOFORMATTEDFLAG:
      return m_service.get_AutoFormatted_flag(data);
    case PXOIOCGETDEFECTBITMAP:
    case PXOIOCSETDEFECTBITMAP: {
      pxo_defect_bitmap_req_t rec;
      std::memcpy(&rec, data, sizeof(rec));
      r = command == PXOIOCGETDEFECTBITMAP ? s->getDefectBitmap(rec.bitmap, &rec.length)
                                           : s->setDefectBitmap(rec.bitmap, &rec.length);
      std::memcpy(data, &rec, sizeof(rec));
      return r;
    }
    case PXOIOSEARCHNEXTNWA: {
      pxo_search_nwa_t rec;
      std::memcpy(&rec, data, sizeof(rec));
      Boolean replaced = false;
      r = s->searchAndFindNwa(rec.start, rec.count, &rec.new_nwa, &replaced);
      rec.replaced = replaced ? 1 : 0;
      std::memcpy(data, &rec, sizeof(rec));
      return r;
    }
    case PXOIOCGETDFL: {
      pxo_get_dfl_t rec;
      std::memcpy(&rec, data, sizeof(rec));
      // The list buffer holds `length` bytes: the 4-byte head (medium type)
      // and the list after it.
      if (rec.list == nullptr || rec.length < 4) {
        DRV_LOG(ERR_, "Invalid argument. command=%ld, data=%p, err=%d\n", static_cast<long>(command),
                static_cast<void*>(rec.list), drv_err::kInvalid);
        return drv_err::kInvalid;
      }
      r = s->get_dfl(rec.list, rec.length - 4, rec.index, &rec.total, nullptr, false);
      std::memcpy(data, &rec, sizeof(rec));
      return r;
    }
    case PXOIOCREADDISCINFO: {
      std::uint32_t from_cache;
      std::memcpy(&from_cache, data + 36, sizeof(from_cache));
      return from_cache != 0 ? s->update_disc_info(data) : s->read_disc_info(data, false);
    }
    case PXOIOAUTOFORMATREQUEST:
      r = m_service.auto_format_request(data);
      // A format or erase that succeeded has read or written the 1500h record.
      if (r == 0) m_1500h_unread = false;
      return r;
    case PXOIOCREADTRACKINFO: {
      std::uint32_t from_cache;
      std::memcpy(&from_cache, data + 56, sizeof(from_cache));
      return from_cache != 0 ? s->update_track_info(data) : s->read_track_info(data);
    }
    case PXOIOCSCSIPASSTHROUGH:
      r = s->scsi_passthrough(data);
      if (u8[8] == 0xA6) {
        // A load asked for: what was read of the slots is kept no longer.
        storage_scsi::drive_state_changed();
        std::uint8_t slot = u8[8 + 8];
        m_service.setNextSlotLoad(&slot);
      }
      return r;
    default:
      return drv_err::kUnknownControl;
  }
}
