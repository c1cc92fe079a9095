// The descriptor work of finalize: every slot's LVID marked finalizing and
// then finalized, the PVDs' maximum volume sequence number, and CLOSE
// TRACK/SESSION of each slot.
#include "finalize.h"

#include "sdk_frame.h"

#include "platform/sync.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace PxoUtilityLib {

namespace {

constexpr const char* kRead = "PxoUtilityLib::PxoUtilityImpl::readDescriptors";
constexpr const char* kExec = "PxoUtilityLib::PxoUtilityImpl::execFinalize";
constexpr std::uint32_t kSector = 2048;
constexpr std::size_t kPvdMaxSequence = 58;
constexpr std::size_t kPvdImplementationId = 388;
constexpr std::size_t kLvdLvisLength = 432;
constexpr std::size_t kLvidRecordingTime = 16;
constexpr std::size_t kLvidIntegrityType = 28;
constexpr std::size_t kLvidPartitions = 72;
constexpr std::size_t kLvidImplementationUseLength = 76;
constexpr std::size_t kLvidTables = 80;
constexpr std::size_t kRegidBytes = 32;

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void putLe32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t sectorsOf(std::uint32_t bytes) { return static_cast<std::uint32_t>((bytes + 2047ull) / kSector); }

// The extent must be non-empty and end within the disc (N the last block).
bool extentFits(const VdsExtent& e, std::uint32_t n) {
  return e.length != 0 && static_cast<std::uint64_t>(e.location) + sectorsOf(e.length) <= static_cast<std::uint64_t>(n) + 1;
}

std::uint8_t* bytesOf(DataArray& buffer, const DescriptorBase& d) { return buffer.getArray(d.offset(), d.length()); }

// Where the LVID's implementation identifier starts: after the free-space
// and size tables.
std::size_t lvidImplementationAt(const DescriptorData& d) {
  return kLvidTables + 8ull * le32(d.lvid->raw() + kLvidPartitions);
}

void readRange(DriveCtrl& drive, const RubRange& r, DataArray& into, std::uint32_t failure, const char* text) {
  if (drive.readSector(r.top, r.size, into) != 0) KELSDK_FAIL(failure, kRead, "%s", text);
}

void readIntegrity(DriveCtrl& drive, DescriptorData& d, std::uint32_t n) {
  const std::uint8_t* m = d.mvdsLvd->raw() + kLvdLvisLength;
  const std::uint8_t* r = d.rvdsLvd->raw() + kLvdLvisLength;
  if (std::memcmp(m, r, 8) != 0) KELSDK_FAIL(0x230201, kRead, "MVDS's and LVDS's LVIS extent not equal");
  const VdsExtent lvis{le32(m), le32(m + 4)};
  if (lvis.length <= kSector) KELSDK_FAIL(0x230202, kRead, "LVIS length less than 2 sectors");
  if (!extentFits(lvis, n)) KELSDK_FAIL(0x230203, kRead, "LVIS read error (extent 0x%X+0x%X past N)", lvis.location, lvis.length);
  d.lvis = rubRange(lvis.location, sectorsOf(lvis.length), drive.rubSectors());
  d.lvisBuffer = DataArray(static_cast<std::size_t>(d.lvis.size) * kSector);
  readRange(drive, d.lvis, d.lvisBuffer, 0x230203, "LVIS read error");
  const std::size_t at = static_cast<std::size_t>(d.lvis.offset) * kSector;
  d.lvid = std::make_unique<LVIDDescriptor>(d.lvisBuffer, at, kSector);
  d.td = std::make_unique<TDDescriptor>(d.lvisBuffer, at + kSector, kSector);
  if (d.lvid->tagIdentifier() != LVIDDescriptor::kId) KELSDK_FAIL(0x230204, kRead, "LVIS 1st not LVID");
  if (!d.lvid->checkDescriptorTag()) KELSDK_FAIL(0x230205, kRead, "LVIS LVID chaeck error");
  const std::uint64_t end = lvidImplementationAt(d) + static_cast<std::uint64_t>(le32(d.lvid->raw() + kLvidImplementationUseLength));
  if (le32(d.lvid->raw() + kLvidImplementationUseLength) < kRegidBytes || end > kSector)
    KELSDK_FAIL(0x230205, kRead, "LVIS LVID length chaeck error");
  if (d.td->tagIdentifier() != TDDescriptor::kId) KELSDK_FAIL(0x230206, kRead, "LVIS 2nd not TD");
  if (!d.td->checkDescriptorTag()) KELSDK_FAIL(0x230207, kRead, "LVIS TD chaeck error");
}

void loadForFinalize(DriveCtrl& drive, std::uint8_t slot) {
  bool loaded = false;
  if (const std::uint32_t r = drive.loadCheck(slot, loaded)) KELSDK_FAIL(r, kExec, "loadCheck slotNo=%u error", slot);
  if (loaded) return;
  std::uint8_t slots = 0;
  if (const std::uint32_t r = drive.loadSlotAndCheck(slot, slots)) KELSDK_FAIL(r, kExec, "loadSlotAndCheck slotNo=%u error", slot);
  std::uint32_t n = 0;
  if (const std::uint32_t r = drive.getN(n)) KELSDK_FAIL(r, kExec, "getN error");
  if (const std::uint32_t r = drive.setReallocationControlModePage(n)) KELSDK_FAIL(r, kExec, "setReallocationControlModePage error");
}

// The local time as a UDF timestamp (type 1, offset from UTC in minutes).
void putNow(std::uint8_t* ts) {
  const std::time_t now = static_cast<std::time_t>(platform::clock().wall_ms() / 1000);
  std::tm local{};
  localtime_r(&now, &local);
  const int offset = static_cast<int>(local.tm_gmtoff / 60);
  const std::uint16_t typeAndZone = static_cast<std::uint16_t>(0x1000 | (offset & 0x0FFF));
  ts[0] = static_cast<std::uint8_t>(typeAndZone);
  ts[1] = static_cast<std::uint8_t>(typeAndZone >> 8);
  const int year = local.tm_year + 1900;
  ts[2] = static_cast<std::uint8_t>(year);
  ts[3] = static_cast<std::uint8_t>(year >> 8);
  ts[4] = static_cast<std::uint8_t>(local.tm_mon + 1);
  ts[5] = static_cast<std::uint8_t>(local.tm_mday);
  ts[6] = static_cast<std::uint8_t>(local.tm_hour);
  ts[7] = static_cast<std::uint8_t>(local.tm_min);
  ts[8] = static_cast<std::uint8_t>(local.tm_sec);
  ts[9] = ts[10] = ts[11] = 0;
}

void setLvid(DescriptorData& d, std::uint32_t integrityType, std::uint8_t state) {
  std::uint8_t* lvid = bytesOf(d.lvisBuffer, *d.lvid);
  putLe32(lvid + kLvidIntegrityType, integrityType);
  std::uint8_t* id = lvid + lvidImplementationAt(d);
  id[24] = 6;
  id[25] = 0;
  id[28] = state;
  id[29] = 0x13;
  id[30] = id[31] = 0;
  putNow(lvid + kLvidRecordingTime);
  d.lvid->recomputeTag();
}

void writeLvis(DriveCtrl& drive, DescriptorData& d, const char* text) {
  if (const std::uint32_t r = drive.LogicalOverWrite(d.lvis.top, d.lvis.size, d.lvisBuffer)) KELSDK_FAIL(r, kExec, "%s", text);
}

void markFinalizing(DriveCtrl& drive, DescriptorData& d) {
  if (lvidIntegrityType(d) == 0 && lvidFinalizeState(d) == 2) return;
  setLvid(d, 0, 2);
  writeLvis(drive, d, "write LVIS (open, Finalizing) error");
}

// Sets the maximum volume sequence number of a PVD that differs from v.
bool raiseMaximum(DataArray& buffer, PVDDescriptor& pvd, std::uint16_t v) {
  std::uint8_t* raw = bytesOf(buffer, pvd);
  if (le16(raw + kPvdMaxSequence) == v) return false;
  raw[kPvdMaxSequence] = static_cast<std::uint8_t>(v);
  raw[kPvdMaxSequence + 1] = static_cast<std::uint8_t>(v >> 8);
  raw[kPvdImplementationId + 29] = 0x13;
  pvd.recomputeTag();
  return true;
}

void writeSequences(DriveCtrl& drive, DescriptorData& d) {
  if (drive.mediumType() == 0xF2) {
    // Adjacent RUBs in separate buffers: the MVDS RUB, then the RVDS RUB.
    std::uint32_t r = drive.LogicalOverWrite(d.mvds.top, d.mvds.size, d.mvdsBuffer);
    if (r == 0 && !d.shared) r = drive.LogicalOverWrite(d.rvds.top, d.rvds.size, d.rvdsBuffer);
    if (r) KELSDK_FAIL(r, kExec, "write MVDS/RVDS error");
    return;
  }
  const std::uint32_t m = drive.LogicalOverWrite(d.mvds.top, d.mvds.size, d.mvdsBuffer);
  const std::uint32_t r = d.shared ? 0 : drive.LogicalOverWrite(d.rvds.top, d.rvds.size, d.rvdsBuffer);
  if (m) KELSDK_FAIL(m, kExec, "write MVDS error");
  if (r) KELSDK_FAIL(r, kExec, "write RVDS error");
}

void finalizeSlot(DriveCtrl& drive, DescriptorData& d, std::uint16_t v) {
  markFinalizing(drive, d);
  const bool m = raiseMaximum(d.mvdsBuffer, *d.mvdsPvd, v);
  const bool r = raiseMaximum(d.shared ? d.mvdsBuffer : d.rvdsBuffer, *d.rvdsPvd, v);
  if (m || r) writeSequences(drive, d);
  setLvid(d, 1, 3);
  writeLvis(drive, d, "write LVIS (close, Finalized) error");
}

int discStatus(DriveCtrl& drive) {
  int status = 0;
  if (const std::uint32_t r = drive.getDiscStatus(status)) KELSDK_FAIL(r, kExec, "getDiscStatus error");
  return status;
}

}  // namespace

RubRange rubRange(std::uint32_t location, std::uint32_t sectors, std::uint32_t rub) {
  RubRange r;
  r.top = location - location % rub;
  const std::uint64_t end = static_cast<std::uint64_t>(location) + sectors;
  r.size = static_cast<std::uint32_t>((end + rub - 1) / rub * rub - r.top);
  r.offset = location % rub;
  return r;
}

bool mergeRubRanges(RubRange& m, RubRange& r) {
  if (m.top == r.top) {
    m.size = std::max(m.size, r.size);
    return true;
  }
  if (m.top < r.top && r.top < m.top + m.size) {
    m.size = std::max(m.size, r.top + r.size - m.top);
    r.offset += r.top - m.top;
    return true;
  }
  if (r.top < m.top && m.top < r.top + r.size) {
    const std::uint32_t oldTop = m.top;
    m.size = std::max(oldTop + m.size - r.top, r.size);
    m.offset += oldTop - r.top;
    m.top = r.top;
    return true;
  }
  return false;
}

std::uint32_t lvidIntegrityType(const DescriptorData& d) { return le32(d.lvid->raw() + kLvidIntegrityType); }
std::uint8_t lvidFinalizeState(const DescriptorData& d) { return d.lvid->raw()[lvidImplementationAt(d) + 28]; }

void readDescriptors(DriveCtrl& drive, DescriptorData& d, std::uint8_t slot) {
  d = DescriptorData{};
  UDFReader reader(drive, slot, true);
  VdsExtent mvds, rvds;
  std::uint16_t serial = 0;
  if (!reader.readAVDP1(mvds, rvds, serial)) {
    KELSDK_LOG(kLogError, "AVDP(LSN=256) chaeck error");
    if (const std::uint32_t r = reader.readAVDPN(mvds, rvds, serial)) KELSDK_FAIL(r, kRead, "AVDP error");
  }
  if (drive.mediumType() == 0xF2) {
    if (mvds.location != 0x180) KELSDK_FAIL(0x230105, kRead, "unexpected MVDS Location Value(0x%04x), expected=0x04x", mvds.location);
    if (rvds.location != 0x200) KELSDK_FAIL(0x230106, kRead, "unexpected RVDS Location Value(0x%04x), expected=0x04x", rvds.location);
  }
  std::uint32_t n = 0;
  if (const std::uint32_t r = drive.getN(n)) KELSDK_FAIL(r, kRead, "getN error");
  if (!extentFits(mvds, n)) KELSDK_FAIL(0x230101, kRead, "MVDS read error (extent 0x%X+0x%X)", mvds.location, mvds.length);
  if (!extentFits(rvds, n)) KELSDK_FAIL(0x230103, kRead, "RVDS read error (extent 0x%X+0x%X)", rvds.location, rvds.length);
  const std::uint32_t rub = drive.rubSectors();
  d.mvds = rubRange(mvds.location, sectorsOf(mvds.length), rub);
  d.rvds = rubRange(rvds.location, sectorsOf(rvds.length), rub);
  d.shared = mergeRubRanges(d.mvds, d.rvds);
  d.mvdsBuffer = DataArray(static_cast<std::size_t>(d.mvds.size) * kSector);
  readRange(drive, d.mvds, d.mvdsBuffer, 0x230101, "MVDS read error");
  if (!reader.checkVDS(d.mvdsBuffer, d.mvds.offset, sectorsOf(mvds.length), d.mvdsPvd, d.mvdsLvd))
    KELSDK_FAIL(0x230102, kRead, "MVDS error");
  DataArray& rBuffer = d.shared ? d.mvdsBuffer : d.rvdsBuffer;
  if (!d.shared) {
    d.rvdsBuffer = DataArray(static_cast<std::size_t>(d.rvds.size) * kSector);
    readRange(drive, d.rvds, d.rvdsBuffer, 0x230103, "RVDS read error");
  }
  if (!reader.checkVDS(rBuffer, d.rvds.offset, sectorsOf(rvds.length), d.rvdsPvd, d.rvdsLvd))
    KELSDK_FAIL(0x230104, kRead, "RVDS error");
  readIntegrity(drive, d, n);
}

void execFinalize(DriveCtrl& drive, Progress& progress, std::uint8_t lastSlot) {
  loadForFinalize(drive, lastSlot);
  const int status = discStatus(drive);
  if (status == 2) return;
  if (status != 1) KELSDK_FAIL(0x3000003, kExec, "illegal DiscStatus status(%d)", status);
  DescriptorData d;
  readDescriptors(drive, d, lastSlot);
  const std::uint16_t v = d.mvdsPvd->volumeSequenceNumber();
  if (v != d.rvdsPvd->volumeSequenceNumber())
    KELSDK_FAIL(0x3000004, kExec, "MVDS/RVDS:PVD Volume Sequence Number Mismatch(%u %u)", v, d.rvdsPvd->volumeSequenceNumber());
  if (lvidFinalizeState(d) == 3) {
    if (const std::uint32_t r = drive.discFinalize()) KELSDK_FAIL(r, kExec, "discFinalize slotNo=%u error", lastSlot);
    return;
  }
  markFinalizing(drive, d);
  progress.set(40);
  for (unsigned s = 0; s <= lastSlot; ++s) {
    const auto slot = static_cast<std::uint8_t>(s);
    loadForFinalize(drive, slot);
    if (discStatus(drive) != 2) {
      readDescriptors(drive, d, slot);
      if (lvidFinalizeState(d) != 3) finalizeSlot(drive, d, v);
      if (const std::uint32_t r = drive.discFinalize()) KELSDK_FAIL(r, kExec, "discFinalize error");
    }
    progress.set(static_cast<std::uint8_t>(40 + (s * 40 + 40) / (lastSlot + 1u)));
  }
}

}  // namespace PxoUtilityLib
