// What the files of the simulated drive share: the operation codes, the
// sense values it answers with, the table of its commands, and the small
// helpers every command handler uses. Not part of the library's interface.
#pragma once

#include "sim/drive.h"
#include "sim/wire.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kelsim {

// Operation codes the drive knows (SPC, MMC, and the changer's own).
namespace op {
constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kFormatUnit = 0x04;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kReadFormatCapacities = 0x23;
constexpr std::uint8_t kReadCapacity = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kVerify10 = 0x2F;
constexpr std::uint8_t kSynchronizeCache = 0x35;
constexpr std::uint8_t kGetEventStatus = 0x4A;
constexpr std::uint8_t kReadDiscInformation = 0x51;
constexpr std::uint8_t kReadTrackInformation = 0x52;
constexpr std::uint8_t kReserveTrack = 0x53;
constexpr std::uint8_t kModeSelect10 = 0x55;
constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kCloseTrackSession = 0x5B;
constexpr std::uint8_t kReadAttribute = 0x8C;
constexpr std::uint8_t kWriteAttribute = 0x8D;
constexpr std::uint8_t kLoadUnload = 0xA6;
constexpr std::uint8_t kGetPerformance = 0xAC;
constexpr std::uint8_t kReadDiscStructure = 0xAD;
constexpr std::uint8_t kMechanismStatus = 0xBD;
constexpr std::uint8_t kMaintenanceRead = 0xC3;
constexpr std::uint8_t kDefectListIncrement = 0xC6;
constexpr std::uint8_t kSetClock = 0xCF;
constexpr std::uint8_t kReserveWrite = 0xD2;
constexpr std::uint8_t kOpcInformation = 0xD5;
constexpr std::uint8_t kVendorReadAttribute = 0xDA;
constexpr std::uint8_t kVendorWriteAttribute = 0xDB;
constexpr std::uint8_t kAlarmReport = 0xDC;
constexpr std::uint8_t kOlderAlarmReport = 0xE6;
}  // namespace op

// Sense values the drive answers with.
inline constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense kInvalidField{0x05, 0x24, 0x00};
inline constexpr Sense kInvalidParamField{0x05, 0x26, 0x00};
inline constexpr Sense kParamLengthError{0x05, 0x1A, 0x00};
inline constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
inline constexpr Sense kInvalidElement{0x05, 0x21, 0x01};
inline constexpr Sense kInvalidWriteAddress{0x05, 0x21, 0x02};
inline constexpr Sense kSequenceError{0x05, 0x2C, 0x00};
inline constexpr Sense kUnformatted{0x05, 0x30, 0x10};
inline constexpr Sense kNoMedium{0x02, 0x3A, 0x00};
inline constexpr Sense kWriteProtected{0x03, 0x27, 0x00};
inline constexpr Sense kUnrecordedRead{0x03, 0x11, 0x00};
inline constexpr Sense kWriteFault{0x03, 0x0C, 0x00};
inline constexpr Sense kBecomingReady{0x02, 0x04, 0x01};
inline constexpr Sense kMediumMayHaveChanged{0x06, 0x28, 0x00};
inline constexpr Sense kPowerOn{0x06, 0x29, 0x00};

// Blocks of a rewritable disc's cluster, which one error-correcting code
// covers (cluster_blocks of every rewritable type).
inline constexpr std::uint32_t kReCluster = 32;

inline ScsiResult good() { return {}; }
inline ScsiResult check(Sense s) {
  ScsiResult r;
  r.check_condition = true;
  r.sense = s;
  return r;
}
// Cuts an answer to the allocation length of the CDB.
inline ScsiResult cut(std::vector<std::uint8_t>* d, std::size_t alloc) {
  if (d->size() > alloc) d->resize(alloc);
  return good();
}

struct ChangerDrive::Ctx {
  const std::uint8_t* cdb;
  std::size_t len;
  const std::uint8_t* out;
  std::size_t out_len;
  std::vector<std::uint8_t>* in;
};

// A big-endian field of a CDB: its offset and its width in bytes (0: the
// command has no such field).
struct CdbField {
  std::uint8_t at = 0, width = 0;
  bool present() const { return width != 0; }
  // The field's value; nullopt when the CDB is too short to hold it.
  std::optional<std::uint32_t> read(const std::uint8_t* cdb, std::size_t len) const;
};

// Which of the drive models answer a command; the others refuse it as an
// unknown operation code.
enum class Models : std::uint8_t { All, Older, Latest };

// One command of the drive: everything the drive knows of an operation code
// before its handler runs. The table (drive_command_table.cpp) holds one
// entry an operation code; an opcode it lacks is refused with 05/20/00.
struct DriveCommand {
  std::uint8_t opcode;
  const char* name;
  std::uint8_t cdb_length;  // a shorter CDB is refused with 05/24/00
  bool needs_medium;        // refused 02/04/01 while a new disc becomes ready
  bool passes_attention;    // neither reports nor clears a pending unit attention
  Models models;
  CdbField allocation;      // the allocation length of its data in
  CdbField lba, blocks;     // the block range it addresses (lba absent: none)
  ScsiResult (ChangerDrive::*handler)(ChangerDrive::Ctx&);

  static const DriveCommand* find(std::uint8_t opcode);

 private:
  static const DriveCommand kTable[];
};

// The block range [*first, *first + *count) a CDB addresses (0 and 0 when it
// addresses none or is too short to).
void lba_range(const std::uint8_t* cdb, std::size_t len, std::uint32_t* first, std::uint32_t* count);

// The torn clusters of a rewritable disc that [lba, end) covers whole are
// recorded anew; true when there were any.
bool mend_torn(Disc& disc, std::uint32_t lba, std::uint32_t end);

}  // namespace kelsim
