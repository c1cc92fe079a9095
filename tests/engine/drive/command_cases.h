// The command table: for each command method, what the drive must receive.
// Used against the recording drive and against the simulated drive.
#pragma once

#include "drive_fixture.h"

#include <cstring>
#include <functional>
#include <vector>

namespace drivecases {

struct Expected {
  std::vector<std::uint8_t> cdb;
  int direction;
  std::uint32_t transfer;
};

struct CommandCase {
  const char* name;
  const char* product;
  std::function<int(storage_scsi&)> run;
  std::vector<Expected> sent;
  std::vector<std::uint8_t> data_out = {};  // of the first data-out command, when given
};

constexpr int kNone = -1, kOut = -2, kIn = -3;

inline std::vector<CommandCase> command_cases() {
  static std::uint8_t buf[8192];
  auto rec = [](auto v) {
    static std::uint8_t r[128];
    std::memset(r, 0, sizeof(r));
    std::memcpy(r, &v, sizeof(v));
    return reinterpret_cast<char*>(r);
  };
  return {
      {"READ DISC INFORMATION type 0", "QMR-T300B",
       [](storage_scsi& s) { pxo_disc_info_t r{}; r.datatype = 0; return s.read_disc_info(reinterpret_cast<char*>(&r), true); },
       {{bytes({0x51, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}), kIn, 32}}},
      {"READ DISC INFORMATION type 2", "QMR-T300B",
       [](storage_scsi& s) { pxo_disc_info_t r{}; r.datatype = 2; return s.read_disc_info(reinterpret_cast<char*>(&r), true); },
       {{bytes({0x51, 2, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}), kIn, 32}}},
      {"READ TRACK INFORMATION", "QMR-T300B",
       [](storage_scsi& s) { pxo_track_info_t r{}; r.track_no = 0x01020304; return s.read_track_info(reinterpret_cast<char*>(&r)); },
       {{bytes({0x52, 1, 1, 2, 3, 4, 0, 0, 52, 0, 0, 0}), kIn, 52}}},
      {"MODE SENSE medium type", "QMR-T300B",
       [](storage_scsi& s) { char t = 0; return s.get_medium_type_scsi(&t); },
       {{bytes({0x5A, 0, 1, 0, 0, 0, 0, 0, 0x12, 0}), kIn, 18}}},
      {"CLOSE TRACK/SESSION", "QMR-T300B",
       [](storage_scsi& s) { char d = 0; return s.close_track_session(&d); },
       {{bytes({0x5B, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"VERIFY(10)", "QMR-T300B",
       [rec](storage_scsi& s) { return s.verify_range(rec(pxo_verify_range_t{0x12345678, 0x0102, 1})); },
       {{bytes({0x2F, 0, 0x12, 0x34, 0x56, 0x78, 0, 0x01, 0x02, 0, 0, 0}), kNone, 0}}},
      {"START STOP UNIT", "QMR-T300B",
       [](storage_scsi& s) { char d = static_cast<char>(0xFF); return s.start_stop_unit(&d); },
       {{bytes({0x1B, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"MECHANISM STATUS", "QMR-T300B",
       [](storage_scsi& s) { pxo_mechanism_status_t m{}; return s.mechanism_status(reinterpret_cast<char*>(&m)); },
       {{bytes({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0}), kIn, 12}}},
      {"READ CAPACITY block size", "QMR-T300B",
       [](storage_scsi& s) { std::uint32_t v = 0; return s.get_block_size(reinterpret_cast<char*>(&v)); },
       {{bytes({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kIn, 8}}},
      {"LOAD/UNLOAD slot, then TEST UNIT READY until the disc is ready", "QMR-T300B",
       [](storage_scsi& s) { char slot = 5; return s.next_slot_load(&slot); },
       {{bytes({0xA6, 0, 0, 0, 3, 0, 0, 0, 5, 0, 0, 0}), kNone, 0},
        {bytes({0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"FORMAT UNIT with flag", "QMR-T300B",
       [](storage_scsi& s) { char list[12] = {0, 2, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8}; return s.format_unit(list, true); },
       {{bytes({0x04, 0x17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kOut, 12}},
       bytes({0, 2, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8})},
      {"FORMAT UNIT without flag", "QMR-T300B",
       [](storage_scsi& s) { char list[12] = {}; return s.format_unit(list, false); },
       {{bytes({0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kOut, 12}}},
      {"RESERVE TRACK", "QMR-T300B",
       [rec](storage_scsi& s) { return s.reserve_track(rec(std::uint32_t{0x00010203})); },
       {{bytes({0x53, 1, 0, 1, 2, 3, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"READ FORMAT CAPACITIES", "QMR-T300B",
       [](storage_scsi& s) { char r[12]; return s.read_format_capacity(r); },
       {{bytes({0x23, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0}), kIn, 12}}},
      {"PREVENT ALLOW MEDIUM REMOVAL", "QMR-T300B",
       [](storage_scsi& s) { char d = 3; return s.prevent_allow_medium_removal(&d); },
       {{bytes({0x1E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"READ DISC STRUCTURE DI", "QMR-T300B",
       [](storage_scsi& s) { return s.readDI(buf, 224); },
       {{bytes({0xAD, 1, 0, 0, 0, 0, 0, 0, 0x10, 0x04, 0, 0}), kIn, 4100}}},
      {"READ DISC STRUCTURE DDS", "QMR-T300B",
       [](storage_scsi& s) {
         fakedrive::drive().dds.assign(104, 0);
         std::uint8_t r[100] = {0x53};
         return s.get_dds(reinterpret_cast<char*>(r));
       },
       {{bytes({0xAD, 1, 0, 0, 0, 0, 0, 0x08, 0, 0x68, 0, 0}), kIn, 104}}},
      {"READ DISC STRUCTURE DFL piece 2", "QMR-T300B",
       [](storage_scsi& s) {
         fakedrive::drive().dfl.assign(36, 0);
         std::uint8_t r[4 + 32] = {0x53};
         std::uint32_t total = 0, count = 0;
         return s.get_dfl(r, 32, 2, &total, &count);
       },
       {{bytes({0xAD, 1, 0, 0, 0, 2, 0, 0x12, 0, 36, 0, 0}), kIn, 36}}},
      {"GET PERFORMANCE", "QMR-T300B",
       [](storage_scsi& s) { std::uint32_t lba = 0x00ABCDEF; return s.getPerformance(&lba); },
       {{bytes({0xAC, 0, 0x00, 0xAB, 0xCD, 0xEF, 0, 0, 0, 1, 2, 0}), kIn, 2056}}},
      {"READ(10) of block 0 for the medium status", "QMR-T300B",
       [](storage_scsi& s) { std::uint32_t io = 0; return s.check_medium_status(&io); },
       {{bytes({0x28, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0}), kIn, 65536}}},
      {"C6h", "QMR-T300B",
       [](storage_scsi& s) { char d = 0; return s.increment_dfl_count(&d); },
       {{bytes({0xC6, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"C3h maintenance read", "QMR-T300B",
       [](storage_scsi& s) { pxo_mainte_read_error_info_t i{}; return s.mainte_read_error_info(&i); },
       {{bytes({0xC3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kIn, 16}}},
      {"GET EVENT STATUS NOTIFICATION", "QMR-T300B",
       [](storage_scsi& s) { return s.blink_access_led_once(); },
       {{bytes({0x4A, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x40, 0, 0}), kIn, 16}}},
      {"INQUIRY page C1h", "QMR-T300B",
       [](storage_scsi& s) { std::uint8_t id[16]; return s.getMediumUniqueIdFromINQUIRY(id, 14); },
       {{bytes({0xBD, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0}), kIn, 12},
        {bytes({0x12, 1, 0xC1, 0, 0x12, 0, 0, 0, 0, 0, 0, 0}), kIn, 18}}},
      {"MODE SENSE(10) of a page", "QMR-T300B",
       [](storage_scsi& s) { return s.pxo_mode_sense10(0x22, buf, 20); },
       {{bytes({0x5A, 0, 0x22, 0, 0, 0, 0, 0, 0x14, 0}), kIn, 20}}},
      {"OPC resource on a QMR-T300B", "QMR-T300B",
       [](storage_scsi& s) {
         s.config_mirror_for_update();
         char t = 0;
         s.get_medium_type_scsi(&t);  // write-once medium known
         fakedrive::clear_transcript();
         std::uint16_t c = 0;
         return s.get_opc_resource_data(reinterpret_cast<char*>(&c));
       },
       {{bytes({0x5A, 0, 1, 0, 0, 0, 0, 0, 0x12, 0}), kIn, 18},
        {bytes({0xD5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kIn, 16}}},
      {"MODE SELECT page 21h, three sends", "QMR-T300B",
       [](storage_scsi& s) { bool msn = true, wp = true, wpd = true; return s.dtaCtrlModePageUseModeSelectSet(&msn, 0x5A, &wp, &wpd); },
       {{bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0}), kOut, 20},
        {bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0}), kOut, 20},
        {bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0}), kOut, 20}},
       bytes({0, 0x0C, 0, 0, 0, 0, 0, 0, 0x21, 0x0A, 3, 1, 0x5A, 0, 0, 0, 0, 0, 0, 0})},
      {"MODE SELECT page 20h", "QMR-T300B",
       [rec](storage_scsi& s) { return s.set_realloc_control(rec(pxo_realloc_control_t{0x100, 0x20, 0x300, 0, 1, 1, {0, 0}})); },
       {{bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 28, 0}), kOut, 28},
        {bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 28, 0}), kOut, 28},
        {bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 28, 0}), kOut, 28}},
       bytes({0, 0x14, 0, 0, 0, 0, 0, 0, 0x20, 0x12, 1, 1, 0, 0, 1, 0, 0, 0, 1, 0x1F, 0, 0, 3, 0, 0, 0, 0, 0})},
      {"MODE SELECT page 0Ah", "QMR-T300B",
       [](storage_scsi& s) { return s.setControlMode(false); },
       {{bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0}), kOut, 20},
        {bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0}), kOut, 20},
        {bytes({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0}), kOut, 20}},
       bytes({0x0A, 0, 0, 0, 0, 0, 0, 0, 0x0A, 0x0A, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0})},
      {"WRITE ATTRIBUTE 8Dh", "QMR-T300B",
       [](storage_scsi& s) { char l[12] = {0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0}; return s.pxo_write_attribute_scsi(l); },
       {{bytes({0x8D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0}), kOut, 12}},
       bytes({0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0})},
      {"WRITE ATTRIBUTE DBh", "QMR-T400A",
       [](storage_scsi& s) { char l[12] = {0, 0, 0, 8, 0x0D, 0x03, 0, 0, 1, 1, 0, 0}; return s.pxo_write_attribute_scsi(l); },
       {{bytes({0xDB, 0, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0}), kOut, 12}}},
      {"READ ATTRIBUTE 8Ch", "QMR-T300A",
       [](storage_scsi& s) { return s.get_read_attribute(0x0D03, buf, 12); },
       {{bytes({0x8C, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x03, 0, 0, 0, 0x0C, 0, 0}), kIn, 12}}},
      {"READ ATTRIBUTE DAh", "QMR-T400B",
       [](storage_scsi& s) { return s.get_read_attribute(0x0D00, buf, 28); },
       {{bytes({0xDA, 0, 0, 0, 0x0D, 0x00, 0, 0, 0, 28, 0, 0}), kIn, 28}}},
      {"RESERVE WRITE D2h", "QMR-T300B",
       [rec](storage_scsi& s) { return s.reserve_write_range(rec(pxo_reserve_write_t{0x01020304, 0x00000A0B})); },
       {{bytes({0xD2, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0x0A, 0x0B}), kNone, 0}}},
      {"SYNCHRONIZE CACHE", "QMR-T300B",
       [](storage_scsi& s) { return s.synchronize_cache(nullptr); },
       {{bytes({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"TEST UNIT READY", "QMR-T300B",
       [](storage_scsi& s) { char d = 0; return s.test_unit_ready(&d); },
       {{bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kNone, 0}}},
      {"drive clock CFh", "QMR-T300B",
       [](storage_scsi& s) { return s.setTime(0x01020304); },
       {{bytes({0xCF, 0, 0, 0, 0, 0, 0, 0, 0x0C, 0, 0, 0}), kOut, 12}},
       bytes({1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0})},
  };
}


}  // namespace drivecases
