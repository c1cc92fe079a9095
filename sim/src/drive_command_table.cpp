// The table of the simulated drive's commands: for each operation code its
// name, CDB length, whether it needs the disc or passes a pending unit
// attention, which models answer it, where its CDB states the allocation
// length and the block range, and its handler. Every rule the drive applies
// by operation code reads this one table.
#include "drive_internal.h"

namespace kelsim {

namespace {

constexpr CdbField kNone{};
constexpr CdbField kAlloc16At3{3, 2}, kAlloc8At4{4, 1}, kAlloc16At7{7, 2}, kAlloc16At8{8, 2};
constexpr CdbField kAlloc32At6{6, 4}, kAlloc32At10{10, 4};
// READ(10), WRITE(10), VERIFY(10), SYNCHRONIZE CACHE(10): the block at 2,
// the count at 7; the changer's reserved write (D2h): the block at 4, the
// count at 8.
constexpr CdbField kLbaAt2{2, 4}, kBlocksAt7{7, 2}, kLbaAt4{4, 4}, kBlocksAt8{8, 4};

constexpr bool kMedium = true, kNoDisc = false;
constexpr bool kPasses = true, kStops = false;

}  // namespace

using D = ChangerDrive;

// clang-format off
const DriveCommand DriveCommand::kTable[] = {
  // opcode, name, CDB length, needs the disc, unit attention, models, allocation, block range, handler
  {op::kTestUnitReady, "TEST UNIT READY", 6, kMedium, kStops, Models::All, kNone, kNone, kNone, &D::test_unit_ready},
  {op::kRequestSense, "REQUEST SENSE", 6, kNoDisc, kPasses, Models::All, kAlloc8At4, kNone, kNone, &D::request_sense},
  {op::kFormatUnit, "FORMAT UNIT", 6, kMedium, kStops, Models::All, kNone, kNone, kNone, &D::format_unit},
  {op::kInquiry, "INQUIRY", 6, kNoDisc, kPasses, Models::All, kAlloc16At3, kNone, kNone, &D::inquiry},
  {op::kStartStopUnit, "START STOP UNIT", 6, kNoDisc, kStops, Models::All, kNone, kNone, kNone,
   &D::start_stop_unit},
  {op::kPreventAllowRemoval, "PREVENT ALLOW MEDIUM REMOVAL", 6, kNoDisc, kStops, Models::All, kNone, kNone, kNone,
   &D::prevent_allow_removal},
  {op::kReadFormatCapacities, "READ FORMAT CAPACITIES", 10, kNoDisc, kStops, Models::All, kAlloc16At7, kNone, kNone,
   &D::read_format_capacities},
  {op::kReadCapacity, "READ CAPACITY", 10, kMedium, kStops, Models::All, kNone, kNone, kNone, &D::read_capacity},
  {op::kRead10, "READ(10)", 10, kMedium, kStops, Models::All, kNone, kLbaAt2, kBlocksAt7, &D::read10},
  {op::kWrite10, "WRITE(10)", 10, kMedium, kStops, Models::All, kNone, kLbaAt2, kBlocksAt7, &D::write10},
  {op::kVerify10, "VERIFY(10)", 10, kMedium, kStops, Models::All, kNone, kLbaAt2, kBlocksAt7, &D::verify10},
  {op::kSynchronizeCache, "SYNCHRONIZE CACHE(10)", 10, kMedium, kStops, Models::All, kNone, kLbaAt2, kBlocksAt7,
   &D::sync_cache},
  {op::kGetEventStatus, "GET EVENT STATUS NOTIFICATION", 10, kNoDisc, kPasses, Models::All, kAlloc16At7, kNone,
   kNone, &D::get_event_status},
  {op::kReadDiscInformation, "READ DISC INFORMATION", 10, kMedium, kStops, Models::All, kAlloc16At7, kNone, kNone,
   &D::read_disc_information},
  {op::kReadTrackInformation, "READ TRACK INFORMATION", 10, kMedium, kStops, Models::All, kAlloc16At7, kNone, kNone,
   &D::read_track_information},
  {op::kReserveTrack, "RESERVE TRACK", 10, kMedium, kStops, Models::All, kNone, kNone, kNone, &D::reserve_track},
  {op::kModeSelect10, "MODE SELECT(10)", 10, kNoDisc, kStops, Models::All, kNone, kNone, kNone, &D::mode_select},
  {op::kModeSense10, "MODE SENSE(10)", 10, kNoDisc, kStops, Models::All, kAlloc16At7, kNone, kNone, &D::mode_sense},
  {op::kCloseTrackSession, "CLOSE TRACK/SESSION", 10, kMedium, kStops, Models::All, kNone, kNone, kNone,
   &D::close_track_session},
  {op::kReadAttribute, "READ ATTRIBUTE", 16, kNoDisc, kStops, Models::Older, kAlloc32At10, kNone, kNone,
   &D::read_attribute},
  {op::kWriteAttribute, "WRITE ATTRIBUTE", 16, kNoDisc, kStops, Models::Older, kNone, kNone, kNone,
   &D::write_attribute},
  {op::kLoadUnload, "LOAD/UNLOAD MEDIUM", 12, kNoDisc, kStops, Models::All, kNone, kNone, kNone, &D::load_unload},
  {op::kGetPerformance, "GET PERFORMANCE", 12, kMedium, kStops, Models::All, kNone, kNone, kNone,
   &D::get_performance},
  {op::kReadDiscStructure, "READ DISC STRUCTURE", 12, kMedium, kStops, Models::All, kAlloc16At7, kNone, kNone,
   &D::read_disc_structure},
  {op::kMechanismStatus, "MECHANISM STATUS", 12, kNoDisc, kStops, Models::All, kAlloc16At8, kNone, kNone,
   &D::mechanism_status},
  {op::kMaintenanceRead, "MAINTENANCE READ", 12, kNoDisc, kStops, Models::All, kNone, kNone, kNone,
   &D::maintenance_read},
  {op::kDefectListIncrement, "DEFECT LIST INCREMENT", 12, kNoDisc, kStops, Models::All, kNone, kNone, kNone,
   &D::defect_list_increment},
  {op::kSetClock, "SET CLOCK", 12, kNoDisc, kStops, Models::All, kNone, kNone, kNone, &D::set_clock},
  {op::kReserveWrite, "RESERVED WRITE", 12, kMedium, kStops, Models::All, kNone, kLbaAt4, kBlocksAt8,
   &D::reserve_write},
  {op::kOpcInformation, "OPC INFORMATION", 12, kMedium, kStops, Models::All, kNone, kNone, kNone,
   &D::opc_information},
  {op::kVendorReadAttribute, "READ ATTRIBUTE (vendor)", 12, kNoDisc, kStops, Models::Latest, kAlloc32At6, kNone,
   kNone, &D::read_attribute},
  {op::kVendorWriteAttribute, "WRITE ATTRIBUTE (vendor)", 12, kNoDisc, kStops, Models::Latest, kNone, kNone, kNone,
   &D::write_attribute},
  {op::kAlarmReport, "ALARM REPORT", 12, kNoDisc, kStops, Models::Latest, kNone, kNone, kNone, &D::alarm_report},
  {op::kOlderAlarmReport, "ALARM REPORT (older models)", 12, kNoDisc, kStops, Models::Older, kNone, kNone, kNone,
   &D::alarm_report},
};
// clang-format on

const DriveCommand* DriveCommand::find(std::uint8_t opcode) {
  for (const DriveCommand& c : kTable)
    if (c.opcode == opcode) return &c;
  return nullptr;
}

std::optional<std::uint32_t> CdbField::read(const std::uint8_t* cdb, std::size_t len) const {
  if (!present() || len < static_cast<std::size_t>(at) + width) return std::nullopt;
  std::uint32_t v = 0;
  for (std::uint8_t i = 0; i < width; ++i) v = v << 8 | cdb[at + i];
  return v;
}

std::optional<std::uint32_t> cdb_allocation_length(const std::uint8_t* cdb, std::size_t len) {
  const DriveCommand* c = len ? DriveCommand::find(cdb[0]) : nullptr;
  return c ? c->allocation.read(cdb, len) : std::nullopt;
}

void lba_range(const std::uint8_t* cdb, std::size_t len, std::uint32_t* first, std::uint32_t* count) {
  *first = 0;
  *count = 0;
  const DriveCommand* c = len ? DriveCommand::find(cdb[0]) : nullptr;
  if (!c || !c->lba.present() || len < c->cdb_length) return;
  *first = *c->lba.read(cdb, len);
  *count = *c->blocks.read(cdb, len);
}

// The two commands whose whole work is a record a test may look at.
ScsiResult ChangerDrive::prevent_allow_removal(Ctx& c) {
  if (c.len >= 5) observed_.prevent_removal = (c.cdb[4] & 1) != 0;
  return good();
}

ScsiResult ChangerDrive::defect_list_increment(Ctx&) {
  ++observed_.dfl_increments;
  return good();
}

}  // namespace kelsim
