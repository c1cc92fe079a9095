// Device-control dispatch: every code reaches its handler with its record.
// A code served by storage_scsi is checked against the same handler called
// directly with a copy of the record: the same result, the same commands on
// the drive and the same record afterwards. The codes served by the media
// services are checked against the real services and the simulated drive
// (premount_sim_test.cpp).
#include "drive_fixture.h"

#include "drive/client_if.h"
#include "drive/device_control.h"

#include <cstring>
#include <functional>

namespace media_standin {
void activate(bool on);
}  // namespace media_standin

namespace {

using Record = std::vector<std::uint8_t>;

std::uint8_t g_name[] = "KELFS VOL01";
std::uint8_t g_attr_answer[64];
std::uint8_t g_bitmap[storage_scsi::kDefectBitmapSize];
std::uint8_t g_dfl[132 + 16];

template <typename T>
void put(Record& r, std::size_t at, T v) {
  std::memcpy(r.data() + at, &v, sizeof(v));
}

struct Row {
  const char* name;
  std::uint32_t code;
  std::function<void(Record&)> prep;
  std::function<int(storage_scsi&, char*)> direct;
};

class Dispatch : public DriveTest {
 protected:
  void SetUp() override {
    DriveTest::SetUp();
    fakedrive::fill_good_attributes(0xE2);
    fakedrive::drive().medium_type = 0xE2;
    pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sgtest-none");
  }
  void TearDown() override {
    media_standin::activate(false);
    clientif_delete();
    DriveTest::TearDown();
  }
  storage_scsi& st() { return *pclient_if->storage(); }
  int ioctl(std::uint32_t code, void* data) {
    return VNOP_IOCTL(reinterpret_cast<vnode_t>(this), code, static_cast<char*>(data), 0, nullptr);
  }
  static std::vector<std::vector<std::uint8_t>> cdbs() {
    std::vector<std::vector<std::uint8_t>> out;
    for (auto& c : fakedrive::transcript()) out.push_back(c.cdb);
    return out;
  }
};

}  // namespace

TEST_F(Dispatch, StorageControlsReachTheirHandler) {
  const auto none = [](Record&) {};
  const std::vector<Row> rows = {
      {"INCDFLCOUNT", PXOIOCINCDFLCOUNT, none, [](storage_scsi& s, char* d) { return s.increment_dfl_count(d); }},
      {"CLOSETRACKSESSION", PXOIOCLOSETRACKSESSION, none,
       [](storage_scsi& s, char* d) { return s.close_track_session(d); }},
      {"DELETEROLLBACKPOINT", PXOIODELETEROLLBACKPOINT, none,
       [](storage_scsi& s, char* d) { return s.delete_rollback_point(d); }},
      {"DELETEROLLBACKPOINT(2)", PXOIODELETEROLLBACKPOINT2, none,
       [](storage_scsi& s, char* d) { return s.delete_rollback_point(d); }},
      {"CACHECLEAR", PXOIOCACHECLEAR, none, [](storage_scsi& s, char*) { return s.scsi_cache_clear(); }},
      {"REBUILDDFLMAP", PXOIOREBUILDDFLMAP, none, [](storage_scsi& s, char*) { return s.rebuildDefectBitmap(); }},
      {"SYNCHRONIZECACHE", DKIOCSYNCHRONIZECACHE, none, [](storage_scsi& s, char* d) { return s.synchronize_cache(d); }},
      {"GETWRITEUNSUPPORT", PXOIOCGETWRITEUNSUPPORT, none,
       [](storage_scsi& s, char* d) { return s.check_writeUnsupport(reinterpret_cast<std::uint8_t*>(d)); }},
      {"GETMEDIUMTYPE", PXOIOGETMEDIUMTYPE, none, [](storage_scsi& s, char* d) { return s.get_medium_type(d); }},
      {"REPORT1500HCRC", PXOIOREPORT1500HCRC, none,
       [](storage_scsi& s, char* d) { return s.report_1500H_CRC_result(d); }},
      {"GETOPCRESOURCEDATA", PXOIOCGETOPCRESOURCEDATA, none,
       [](storage_scsi& s, char* d) { return s.get_opc_resource_data(d); }},
      {"GETWRITEFAILCNT", PXOIOCGETWRITEFAILCNT, none, [](storage_scsi& s, char* d) { return s.get_write_fail_cnt(d); }},
      {"GETBEFOREACCESSMODE", PXOIOGETBEFOREACCESSMODE, none,
       [](storage_scsi& s, char* d) { return s.get_before_access_mode(reinterpret_cast<std::uint32_t*>(d)); }},
      {"GETBLOCKSIZE", DKIOCGETBLOCKSIZE, none, [](storage_scsi& s, char* d) { return s.get_block_size(d); }},
      {"BLOCKSIZEMODEPAGE", PXOIOGETREADWRITEBLOCKSIZEMODEPAGE, none,
       [](storage_scsi& s, char* d) {
         return s.getReadWriteBlockSizeModeSense(reinterpret_cast<pxo_read_write_block_size_mode_page_t*>(d));
       }},
      {"RECOVERYMODEPAGE", PXOIOGETREADWRITEERRORRECOVERYPARAMETERSMODEPAGE, none,
       [](storage_scsi& s, char* d) {
         return s.getReadWriteErrorRecoveryParametersModeSense(
             reinterpret_cast<pxo_read_write_error_recovery_parameters_mode_page_t*>(d));
       }},
      {"GETBLOCKCOUNT", DKIOCGETBLOCKCOUNT, none, [](storage_scsi& s, char* d) { return s.get_block_count(d); }},
      {"MAINTEREADERRORINFO", PXOIOCMAINTEREADERRORINFO, none,
       [](storage_scsi& s, char* d) {
         return s.mainte_read_error_info(reinterpret_cast<pxo_mainte_read_error_info_t*>(d));
       }},
      {"MECHANISMSTATUS", PXOIOMECHANISMSTATUS, none, [](storage_scsi& s, char* d) { return s.mechanism_status(d); }},
      {"GETROLLBACKPOINT", PXOIOGETROLLBACKPOINT, none, [](storage_scsi& s, char* d) { return s.get_rollback_point(d); }},
      {"GETROLLBACKPOINT(2)", PXOIOGETROLLBACKPOINT2, none,
       [](storage_scsi& s, char* d) { return s.get_rollback_point(d); }},
      {"READFORMATCAPACITY", PXOIOREADFORMATCAPACITY, none,
       [](storage_scsi& s, char* d) { return s.read_format_capacity(d); }},
      {"SCSIIDENTIFY", PXOIOCSCSIIDENTIFY, none, [](storage_scsi& s, char* d) { return s.scsi_identify(d); }},
      {"GETMOUNTINFO", PXOIOGETMOUNTINFO, none, [](storage_scsi& s, char* d) { return s.get_mount_info(d); }},
      {"GETDEVINFO", PXOIOGETDEVINFO, none, [](storage_scsi& s, char* d) { return s.get_devinfo(d); }},
      {"READATTRIBUTE", PXOIOREADATTRIBUTE,
       [](Record& r) {
         put<std::uint16_t>(r, 0, 0x0401);
         put<std::uint16_t>(r, 2, 44);
         put<std::uint8_t*>(r, 5, g_attr_answer);
       },
       [](storage_scsi& s, char* d) { return s.pxo_read_attribute(d); }},
      {"GETDDS", PXOIOCGETDDS, [](Record& r) { r[0] = 0xE2; }, [](storage_scsi& s, char* d) { return s.get_dds(d); }},
      {"REPORTERROR", PXOIOCREPORTERROR, [](Record& r) { r[0] = 1; },
       [](storage_scsi& s, char* d) { return s.report_error(reinterpret_cast<pxo_report_error_t*>(d)); }},
      {"STARTSTOPUNIT", PXOIOCSTARTSTOPUNIT, [](Record& r) { r[0] = 1; },
       [](storage_scsi& s, char* d) { return s.start_stop_unit(d); }},
      {"CACHECHECK", PXOIOCACHECHECK, [](Record& r) { r[0] = 1; },
       [](storage_scsi& s, char* d) { return s.scsi_cache_check(d); }},
      {"MEDIAPROTECT", PXOIOMEDIAPROTECT, [](Record& r) { r[0] = 1; },
       [](storage_scsi& s, char* d) { return s.media_protect(d); }},
      {"NOTIFYUNMOUNT", PXOIONOTIFYUNMOUNT, [](Record& r) { put<std::uint32_t>(r, 0, 1); },
       [](storage_scsi& s, char* d) { return s.notify_unmount(d); }},
      {"SETBEFOREACCESSMODE", PXOIOSETBEFOREACCESSMODE, [](Record& r) { put<std::uint32_t>(r, 0, 2); },
       [](storage_scsi& s, char* d) { return s.set_before_access_mode(reinterpret_cast<std::uint32_t*>(d)); }},
      {"RESERVEWRITERANGE", PXOIOCRESERVEWRITERANGE,
       [](Record& r) {
         put<std::uint32_t>(r, 0, 64);
         put<std::uint32_t>(r, 4, 32);
       },
       [](storage_scsi& s, char* d) { return s.reserve_write_range(d); }},
      {"VERIFYRANGE", PXOIOVERIFYRANGE,
       [](Record& r) {
         put<std::uint32_t>(r, 0, 64);
         put<std::uint16_t>(r, 4, 32);
       },
       [](storage_scsi& s, char* d) { return s.verify_range(d); }},
      {"SETROLLBACKPOINT", PXOIOSETROLLBACKPOINT,
       [](Record& r) {
         put<std::uint32_t>(r, 0, 2);
         put<std::uint32_t>(r, 4, 300);
         put<std::uint32_t>(r, 8, 400);
       },
       [](storage_scsi& s, char* d) { return s.set_rollback_point(d); }},
      {"SETROLLBACKPOINT(2)", PXOIOSETROLLBACKPOINT2,
       [](Record& r) {
         put<std::uint32_t>(r, 0, 3);
         put<std::uint32_t>(r, 4, 500);
         put<std::uint32_t>(r, 8, 600);
       },
       [](storage_scsi& s, char* d) { return s.set_rollback_point(d); }},
      {"SETVOLUMENAME", PXOIOSETVOLUMENAME,
       [](Record& r) {
         put<std::uint32_t>(r, 0, sizeof(g_name));
         put<std::uint8_t*>(r, 4, g_name);
       },
       [](storage_scsi& s, char* d) { return s.set_volume_name(d); }},
      {"SETDEVNAMEFORCACHEAGENT", PXOIOSETDEVNAMEFORCACHEAGENT,
       [](Record& r) {
         put<std::uint32_t>(r, 0, sizeof(g_name));
         put<std::uint8_t*>(r, 4, g_name);
       },
       [](storage_scsi& s, char*) { return s.setDeviceNameForFsCacheAgent(g_name, sizeof(g_name)); }},
      {"SETMOUNTINFO", PXOIOSETMOUNTINFO, [](Record& r) { put<std::uint32_t>(r, 0, 0x80000001u); },
       [](storage_scsi& s, char* d) { return s.set_mount_info(d); }},
      {"SETREALLOCCONTROL", PXOIOSETREALLOCCONTROL, [](Record& r) { put<std::uint32_t>(r, 0, 100); },
       [](storage_scsi& s, char* d) { return s.set_realloc_control(d); }},
      {"WRITEATTRIBUTE", PXOIOWRITEATTRIBUTE, none, [](storage_scsi& s, char* d) { return s.pxo_write_attribute(d); }},
      {"SETOPCRESOURCEDATA", PXOIOCSETOPCRESOURCEDATA, [](Record& r) { put<std::uint16_t>(r, 0, 9); },
       [](storage_scsi& s, char* d) { return s.set_opc_resource_data(reinterpret_cast<UInt16*>(d)); }},
      {"GETPERFORMANCE", PXOIOCGETPERFORMANCE, [](Record& r) { put<std::uint32_t>(r, 0, 640); },
       [](storage_scsi& s, char* d) { return s.getPerformance(reinterpret_cast<UInt32*>(d)); }},
      {"READDISCINFO", PXOIOCREADDISCINFO, none, [](storage_scsi& s, char* d) { return s.read_disc_info(d, false); }},
      {"READDISCINFO(cache)", PXOIOCREADDISCINFO, [](Record& r) { put<std::uint32_t>(r, 36, 1); },
       [](storage_scsi& s, char* d) { return s.update_disc_info(d); }},
      {"READTRACKINFO", PXOIOCREADTRACKINFO, [](Record& r) { put<std::uint32_t>(r, 0, 1); },
       [](storage_scsi& s, char* d) { return s.read_track_info(d); }},
      {"READTRACKINFO(cache)", PXOIOCREADTRACKINFO,
       [](Record& r) {
         put<std::uint32_t>(r, 0, 1);
         put<std::uint32_t>(r, 56, 1);
       },
       [](storage_scsi& s, char* d) { return s.update_track_info(d); }},
      {"GETDEFECTBITMAP", PXOIOCGETDEFECTBITMAP,
       [](Record& r) {
         put<std::uint8_t*>(r, 0, g_bitmap);
         put<std::uint32_t>(r, 8, storage_scsi::kDefectBitmapSize);
       },
       [](storage_scsi& s, char*) {
         UInt32 len = storage_scsi::kDefectBitmapSize;
         return s.getDefectBitmap(g_bitmap, &len);
       }},
      {"SETDEFECTBITMAP", PXOIOCSETDEFECTBITMAP,
       [](Record& r) {
         put<std::uint8_t*>(r, 0, g_bitmap);
         put<std::uint32_t>(r, 8, 12);
       },
       [](storage_scsi& s, char*) {
         UInt32 len = 12;
         return s.setDefectBitmap(g_bitmap, &len);
       }},
      {"SEARCHNEXTNWA", PXOIOSEARCHNEXTNWA,
       [](Record& r) {
         put<std::uint32_t>(r, 0, 96);
         put<std::uint32_t>(r, 4, 32);
       },
       [](storage_scsi& s, char* d) {
         UInt32 nwa = 0;
         Boolean rep = false;
         const int res = s.searchAndFindNwa(96, 32, &nwa, &rep);
         std::memcpy(d + 8, &nwa, 4);
         d[12] = rep ? 1 : 0;
         return res;
       }},
      {"SCSIPASSTHROUGH", PXOIOCSCSIPASSTHROUGH, [](Record& r) { r[24] = 6; },
       [](storage_scsi& s, char* d) { return s.scsi_passthrough(d); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Record warm(256, 0), via(256, 0), direct(256, 0);
    row.prep(warm);
    row.prep(via);
    row.prep(direct);
    // One call first, so that what the handler keeps (configuration,
    // medium type) is in place for both calls that are compared.
    (void)row.direct(st(), reinterpret_cast<char*>(warm.data()));
    st().scsi_cache_clear();
    fakedrive::clear_transcript();
    const int r1 = ioctl(row.code, via.data());
    const auto sent = cdbs();
    st().scsi_cache_clear();
    fakedrive::clear_transcript();
    const int r2 = row.direct(st(), reinterpret_cast<char*>(direct.data()));
    EXPECT_EQ(r2, r1);
    EXPECT_EQ(cdbs(), sent);
    EXPECT_EQ(direct, via);
  }
}

// Length field 132 with a 132-byte list buffer: the list read fills exactly
// the buffer (the 4-byte head and 128 bytes of list).
TEST_F(Dispatch, DefectListControlStaysInsideTheCallersBuffer) {
  std::vector<std::uint8_t> answer(4 + 200, 0x5A);
  answer[0] = 0;
  answer[1] = 202;
  answer[3] = 3;
  fakedrive::drive().dfl = answer;
  std::memset(g_dfl, 0xEE, sizeof(g_dfl));
  g_dfl[0] = 0xE1;  // write-once: no entries to turn
  Record rec(24, 0);
  put<std::uint8_t*>(rec, 0, g_dfl);
  put<std::uint32_t>(rec, 8, 1);
  put<std::uint32_t>(rec, 16, 132);
  EXPECT_EQ(0, ioctl(PXOIOCGETDFL, rec.data()));
  EXPECT_EQ(0x5A, g_dfl[131]);
  for (std::size_t i = 132; i < sizeof(g_dfl); ++i) EXPECT_EQ(0xEE, g_dfl[i]) << i;
  std::uint32_t total = 0;
  std::memcpy(&total, rec.data() + 12, 4);
  EXPECT_EQ(3u, total);
  const auto c = fakedrive::calls_of(0xAD);
  ASSERT_EQ(1u, c.size());
  EXPECT_EQ(1, c[0].cdb[5]);  // piece 1
  EXPECT_EQ(132, c[0].cdb[9]);
  put<std::uint32_t>(rec, 16, 3);
  EXPECT_EQ(22, ioctl(PXOIOCGETDFL, rec.data()));
}

TEST_F(Dispatch, CartridgeWriteProtectFillsAllFourBytes) {
  std::uint32_t out = 0xFFFFFFFFu;
  EXPECT_EQ(0, ioctl(PXOIOCMWRITEPROTECT, &out));
  EXPECT_TRUE(out == 0 || out == 1) << out;
  Boolean on = false;
  EXPECT_EQ(0, st().isCMWriteProtect(&on));
  EXPECT_EQ(on ? 1u : 0u, out);
}

TEST_F(Dispatch, NoOperationsUnknownCodesAndMissingRecords) {
  EXPECT_EQ(0, ioctl(PXOIONOP210, nullptr));
  std::uint32_t v = 7;
  EXPECT_EQ(0, ioctl(PXOIONOP107, &v));
  EXPECT_TRUE(fakedrive::transcript().empty());
  for (std::uint32_t code : {0x20005599u, 0x40045566u, 0xC0105504u, 0u}) EXPECT_EQ(56, ioctl(code, &v)) << code;
  for (std::uint32_t code : {PXOIOGETMEDIUMTYPE, PXOIOCREPORTERROR, PXOIOCREADDISCINFO, PXOIOGETMOUNTINFO})
    EXPECT_EQ(22, ioctl(code, nullptr)) << code;
  EXPECT_TRUE(fakelog::contains("Invalid argument. command="));
  EXPECT_EQ(22, ioctl(PXOIOMOUNTLASTSLOT, nullptr));
  EXPECT_TRUE(fakedrive::transcript().empty());
}

// Codes whose direction is "no data" take a null record: each reaches its
// handler and sends its command (or none).
TEST_F(Dispatch, NoDataCodesWorkWithANullRecord) {
  struct Row {
    const char* name;
    std::uint32_t code;
    std::vector<std::uint8_t> opcodes;  // sent in this order (others may come between)
  };
  const Row rows[] = {
      {"RESETBACKTRACKINFO", PXOIORESETBACKTRACKINFO, {0xBD}},
      {"INCDFLCOUNT", PXOIOCINCDFLCOUNT, {0xC6}},
      {"NOP210", PXOIONOP210, {}},
      {"CLOSETRACKSESSION", PXOIOCLOSETRACKSESSION, {0x5B}},
      {"DELETEROLLBACKPOINT", PXOIODELETEROLLBACKPOINT, {}},
      {"DELETEROLLBACKPOINT(2)", PXOIODELETEROLLBACKPOINT2, {}},
      {"CACHECLEAR", PXOIOCACHECLEAR, {}},
      {"LASTWRITTENSLOT", PXOIOLASTWRITTENSLOT, {0xBD, 0x23}},
      {"REBUILDDFLMAP", PXOIOREBUILDDFLMAP, {0xBD, 0xAD}},
      {"SYNCHRONIZECACHE", DKIOCSYNCHRONIZECACHE, {0x35}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fakedrive::clear_transcript();
    fakelog::reset();
    const int res = ioctl(r.code, nullptr);
    // The recording drive has no defect list to rebuild from.
    if (r.code != PXOIOREBUILDDFLMAP) {
      EXPECT_EQ(0, res);
    }
    EXPECT_NE(22, res);
    EXPECT_FALSE(fakelog::contains("Invalid parameter. data="));
    const auto sent = cdbs();
    if (r.opcodes.empty()) {
      EXPECT_TRUE(sent.empty());
    }
    std::size_t at = 0;
    for (auto& c : sent)
      if (at < r.opcodes.size() && c[0] == r.opcodes[at]) ++at;
    EXPECT_EQ(r.opcodes.size(), at) << "commands missing or out of order";
  }
  // CLOSE TRACK/SESSION closes the session (function 6).
  fakedrive::clear_transcript();
  ASSERT_EQ(0, ioctl(PXOIOCLOSETRACKSESSION, nullptr));
  ASSERT_EQ(1u, fakedrive::calls_of(0x5B).size());
  EXPECT_EQ(0x06, fakedrive::calls_of(0x5B)[0].cdb[2]);
}

TEST_F(Dispatch, SlotControls) {
  std::uint8_t slot = 4;
  EXPECT_EQ(0, ioctl(PXOIONEXTSLOTLOAD, &slot));
  EXPECT_EQ(4, fakedrive::drive().loaded_slot);
  EXPECT_EQ(4, pclient_if->service().current_slot());
  // A failed load leaves the service's slot alone.
  slot = 40;
  EXPECT_NE(0, ioctl(PXOIONEXTSLOTLOAD, &slot));
  EXPECT_EQ(4, pclient_if->service().current_slot());

  std::uint32_t info[4] = {6, 5, 0, 0};
  EXPECT_EQ(0, ioctl(PXOIOCSETSLOTINFO, info));
  EXPECT_EQ(6, pclient_if->service().current_slot());
  EXPECT_EQ(6, st().config_mirror().current_slot);
  EXPECT_EQ(5, st().config_mirror().last_written_slot);

  // Pass-through: LOAD/UNLOAD moves the service's slot, whatever the result;
  // other commands leave it.
  Record pt(100, 0);
  pt[8] = 0xA6;
  pt[16] = 9;
  pt[24] = 12;
  (void)ioctl(PXOIOCSCSIPASSTHROUGH, pt.data());
  EXPECT_EQ(9, pclient_if->service().current_slot());
  pt[8] = 0x00;
  pt[16] = 2;
  (void)ioctl(PXOIOCSCSIPASSTHROUGH, pt.data());
  EXPECT_EQ(9, pclient_if->service().current_slot());
}

// The slot word comes back as get_slot_info leaves it; the control succeeds
// while that slot is below the slot count minus 1, even when get_slot_info
// failed (no cartridge-memory answer).
TEST_F(Dispatch, GetSlotInfoVerdicts) {
  struct Row {
    int loaded;
    bool attribute;
    bool expect_ok;
  };
  const Row rows[] = {{3, true, true}, {3, false, true}, {11, false, false}, {11, true, true}};
  for (const Row& r : rows) {
    SCOPED_TRACE(std::to_string(r.loaded) + (r.attribute ? " attr" : " no attr"));
    fakedrive::drive().loaded_slot = r.loaded;
    if (r.attribute)
      fakedrive::fill_good_attributes(0xE2);
    else
      fakedrive::drive().attributes.erase(0x0D00);
    pxo_slot_info_t si{};
    const int res = ioctl(PXOIOCGETSLOTINFO, &si);
    EXPECT_EQ(static_cast<std::uint32_t>(r.loaded), si.current_slot);
    if (r.expect_ok)
      EXPECT_EQ(0, res);
    else
      EXPECT_NE(0, res);
    EXPECT_EQ(r.loaded, pclient_if->service().current_slot());
  }
  fakedrive::add_fault({0xBD, 3, 0x0C, 0, 0, -1, 0, 1});
  pxo_slot_info_t si{};
  EXPECT_NE(0, ioctl(PXOIOCGETSLOTINFO, &si));
  EXPECT_TRUE(fakelog::contains("mechanism_status failed. err["));
}

TEST_F(Dispatch, IsFormattedControlReportsFourBytes) {
  fakedrive::drive().hook = [](const fakedrive::Call& c, std::vector<std::uint8_t>* in) {
    if (c.cdb[0] != 0x23) return false;
    in->assign(12, 0);
    (*in)[3] = 8;
    (*in)[8] = 0x01;  // unformatted
    return true;
  };
  pclient_if->service().set_write_once(false);
  std::uint32_t out = 0xFFFFFFFFu;
  EXPECT_EQ(0, ioctl(PXOIOISFORMATTED, &out));
  EXPECT_EQ(0u, out);
}
