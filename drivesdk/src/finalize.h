// The descriptors of one slot as finalize reads and rewrites them: both
// volume descriptor sequences (in whole RUBs, shared when they overlap) and
// the integrity sequence's LVID and TD.
#pragma once

#include "drive_ctrl.h"
#include "progress.h"
#include "udf_reader.h"

#include <cstdint>
#include <memory>

namespace PxoUtilityLib {

// A range of whole RUBs holding one sequence.
struct RubRange {
  std::uint32_t top = 0;     // first sector, on a RUB boundary
  std::uint32_t size = 0;    // sectors, whole RUBs
  std::uint32_t offset = 0;  // the sequence's first sector within the range
};

struct DescriptorData {
  RubRange mvds, rvds, lvis;
  bool shared = false;  // MVDS and RVDS in one buffer (mvdsBuffer)
  DataArray mvdsBuffer, rvdsBuffer, lvisBuffer;
  std::unique_ptr<PVDDescriptor> mvdsPvd, rvdsPvd;
  std::unique_ptr<LVDDescriptor> mvdsLvd, rvdsLvd;
  std::unique_ptr<LVIDDescriptor> lvid;
  std::unique_ptr<TDDescriptor> td;
};

// The RUB range of an extent (first sector, sectors) for RUBs of `rub`
// sectors.
RubRange rubRange(std::uint32_t location, std::uint32_t sectors, std::uint32_t rub);
// Merges the two ranges as the sequences share RUBs: true when they do (the
// MVDS range then covers both and the RVDS offset counts from its top).
bool mergeRubRanges(RubRange& mvds, RubRange& rvds);

void readDescriptors(DriveCtrl& drive, DescriptorData& data, std::uint8_t slot);

// The LVID's integrity type (0 open, 1 close) and finalize state (byte 28
// of its implementation identifier).
std::uint32_t lvidIntegrityType(const DescriptorData& data);
std::uint8_t lvidFinalizeState(const DescriptorData& data);

void execFinalize(DriveCtrl& drive, Progress& progress, std::uint8_t lastSlot);

}  // namespace PxoUtilityLib
