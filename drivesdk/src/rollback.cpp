// The rollback point search over the slots of a cartridge.
#include "rollback.h"

#include "models.h"
#include "sdk_frame.h"
#include "utility_impl.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace PxoUtilityLib {

namespace {

constexpr const char* kDo = "PxoUtilityLib::Rollback::doRollback";
constexpr const char* kSearch = "PxoUtilityLib::Rollback::searchRollbackPoint";
constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kFsctlStatfsSize = 0x40207063;
constexpr std::uint8_t kMetadataFileType = 250;

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// "*Tarn KELFS" with zeros to byte 19, byte 20 0 or 1, bytes 21-23 zero,
// flags 0.
bool ourImplementation(const std::uint8_t* id) {
  static const char kName[] = "*Tarn KELFS";
  if (id[0] != 0 || std::memcmp(id + 1, kName, sizeof kName - 1) != 0) return false;
  for (std::size_t i = sizeof kName; i < 20; ++i)
    if (id[i] != 0) return false;
  return id[20] <= 1 && id[21] == 0 && id[22] == 0 && id[23] == 0;
}

// The modification time as text, its time-zone offset applied (UTC).
std::u16string timeText(const std::uint8_t* ts) {
  const std::uint16_t typeAndZone = le16(ts);
  const int year = static_cast<std::int16_t>(le16(ts + 2));
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = ts[4] - 1;
  t.tm_mday = ts[5];
  t.tm_hour = ts[6];
  t.tm_min = ts[7];
  t.tm_sec = ts[8];
  if (year < 1400 || year > 10000 || ts[4] < 1 || ts[4] > 12 || ts[5] < 1 || ts[5] > 31) return u"";
  int offset = typeAndZone & 0x0FFF;
  if (offset & 0x800) offset -= 0x1000;
  std::time_t when = timegm(&t);
  if ((typeAndZone >> 12) == 1 && offset != -2047) when -= static_cast<std::time_t>(offset) * 60;
  std::tm u{};
  gmtime_r(&when, &u);
  char text[48];
  std::snprintf(text, sizeof text, "%04lu/%02lu/%02lu %02lu:%02lu:%02lu", static_cast<unsigned long>(u.tm_year + 1900),
                static_cast<unsigned long>(u.tm_mon + 1), static_cast<unsigned long>(u.tm_mday),
                static_cast<unsigned long>(u.tm_hour), static_cast<unsigned long>(u.tm_min),
                static_cast<unsigned long>(u.tm_sec));
  return widen(text);
}

}  // namespace

Rollback::Rollback(std::u16string path, RollbackCallback& callback, ProcessCallback* progress)
    : m_path(path), m_callback(callback), m_progress(progress, 0), m_drive(path, false) {}

// Volume size in 2048-byte blocks from the engine's size record; 0 when it
// cannot be had.
void Rollback::measureVolume() {
  std::uint8_t record[32] = {};
  const KelSdkControlCallback control = hostCallbacks().control;
  if (!control || control(kFsctlStatfsSize, record) != 0) {
    m_volumeBlocks = 0;
    return;
  }
  std::uint64_t total = 0;
  std::memcpy(&total, record + 8, 8);
  const unsigned __int128 bytes = static_cast<unsigned __int128>(le32(record)) * total;
  m_volumeBlocks = static_cast<std::uint64_t>((bytes + kSector - 1) / kSector);
}

std::uint32_t Rollback::doRollback() {
  if (!m_drive.isOpen())
    if (const std::uint32_t r = m_drive.openReadOnly()) KELSDK_FAIL(r, kDo, "openReadOnly error");
  std::string product;
  if (const std::uint32_t r = m_drive.getProductID(product)) KELSDK_FAIL(r, kDo, "getProductID error");
  if (!isSupportedDriveModel(product)) KELSDK_FAIL(0x220002, kDo, "invalid ProductID=%s", product.c_str());
  if (!m_drive.testUnitReady()) KELSDK_FAIL(0x220003, kDo, "media is not exist");
  m_drive.released = true;
  m_drive.locked = true;
  measureVolume();
  m_progress.set(0);
  MDCFS_MOUNT_INFORMATION info{};
  if (m_drive.getMountInformation(info) != 0) failMountInformation(kDo, "getMountInformation error");
  if (info.MountStatus == 0x80000010 || !inSetA(info.MediumType))
    KELSDK_FAIL(0x5000001, kDo,
         "mount status cannot rollback MountStatus=0x%08X,WriteProtectReasonFlags=0x%08X,AccessMode=0x%08X,"
         "MediumType=0x%02X,VolumeStatus=0x%02X",
         info.MountStatus, info.WriteProtectReasonFlags, info.AccessMode, info.MediumType, info.VolumeStatus);
  m_wornOut = (info.WriteProtectReasonFlags & 0x800) != 0;
  const KelSdkControlCallback control = hostCallbacks().control;
  if (!control || control(kFsctlDeviceInformation, m_deviceInformation) != 0)
    KELSDK_FAIL(0x120600, kDo, "getDeviceInformation error");
  m_writeOnce = inSetW(info.MediumType);

  // The engine trusts its record of the slot in the drive: whatever the
  // search loads, that slot goes back in.
  std::uint8_t original = 0;
  bool loaded = false;
  if (const std::uint32_t r = m_drive.currentSlot(original, loaded)) KELSDK_FAIL(r, kDo, "getMechanismStatus error");
  try {
    search();
  } catch (...) {
    std::uint8_t slots = 0;
    if (loaded) m_drive.loadSlotAndCheck(original, slots);
    throw;
  }
  std::uint8_t slots = 0;
  if (loaded)
    if (const std::uint32_t r = m_drive.loadSlotAndCheck(original, slots))
      KELSDK_FAIL(r, kDo, "loadSlotAndCheck slotNo=%u error", original);
  return 0;
}

void Rollback::search() {
  searchRollbackPoint();
  if (m_selected || !m_done) return;
  // No point: nothing to pick.
  if (m_points.empty()) return;
  const std::vector<std::uint32_t> rankList = ranks();
  for (;;) {
    std::uint32_t selected = 0;
    const int answer = m_callback.notifyStatus(kRollbackFinished, rankList, selected);
    if (answer == 3) continue;
    if (answer == 0 || answer == 1) {
      doCancel();
      KELSDK_FAIL(0x500FFFF, kDo, "notifyStatus(SEARCH_FINISH) cancel return");
    }
    if (answer != 2) KELSDK_FAIL(0x5000101, kDo, "notifyStatus(SEARCH_FINISH) illegal return %u", static_cast<unsigned>(answer));
    if (selected >= m_points.size())
      KELSDK_FAIL(0x5000102, kDo, "notifyStatus(SEARCH_FINISH) invalid rollbackPoint=%u >= %llu", selected,
           static_cast<unsigned long long>(m_points.size()));
    m_selected = true;
    m_selectedIndex = selected;
    return;
  }
}

// Ranks when the slots were searched upward: highest slot first, within a
// slot the highest MFE location first; listed in order of discovery.
std::vector<std::uint32_t> Rollback::ranks() const {
  if (m_lastKnown) return {};
  std::vector<std::uint32_t> order(m_points.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const Point& p = m_points[a];
    const Point& q = m_points[b];
    return p.slot != q.slot ? p.slot > q.slot : p.mfeLsn > q.mfeLsn;
  });
  std::vector<std::uint32_t> rank(m_points.size());
  for (std::uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r + 1;
  return rank;
}

void Rollback::searchRollbackPoint() {
  if (m_done) return;
  std::uint8_t last = 0;
  m_lastKnown = m_drive.getLastWrittenDisc(last) == 0;
  if (!m_lastKnown) KELSDK_LOG(kLogError, "getLastWrittenDisc error");
  for (unsigned slot = m_lastKnown ? last : 0;;) {
    m_slot = static_cast<std::uint8_t>(slot);
    std::uint8_t slots = 0;
    if (const std::uint32_t r = m_drive.loadSlotAndCheck(m_slot, slots)) {
      KELSDK_LOG(kLogError, "loadSlotAndCheck slotNo=%u error=0x%08X", slot, r);
      m_callback.slotError(r);
    } else {
      m_slotCount = slots;
      if (uninitialized()) {
        KELSDK_LOG(kLogTrace, "slotNo=%u is uninitialized", slot);
        if (!m_lastKnown) break;
      } else if (!searchRollbackPointOnDisc()) {
        return;
      }
    }
    if (m_lastKnown) {
      if (slot == 0) break;
      --slot;
    } else if (++slot >= m_slotCount) {
      break;
    }
  }
  m_done = true;
  m_progress.set(100);
}

bool Rollback::uninitialized() {
  if (m_writeOnce) {
    bool blank = false;
    if (const std::uint32_t r = m_drive.checkUninitialized(blank)) KELSDK_FAIL(r, kSearch, "checkUninitialized error");
    return blank;
  }
  std::uint8_t type = 0;
  if (const std::uint32_t r = m_drive.readFormatCapacityType(type)) KELSDK_FAIL(r, kSearch, "checkUninitialized error");
  if (type == 1) return true;
  DataArray rub;
  std::uint32_t offset = 0;
  m_drive.readBuffer(0, m_drive.rubSectors(), rub, offset);
  return std::all_of(rub.data(), rub.data() + rub.size(), [](std::uint8_t b) { return b == 0; });
}

bool Rollback::startPosition(std::uint32_t& position) {
  int status = 2;
  if (m_writeOnce)
    if (const std::uint32_t r = m_drive.getDiscStatus(status)) KELSDK_FAIL(r, kSearch, "getDiscStatus error");
  if (status == 1) {
    std::uint32_t next = 0, freeBlocks = 0;
    if (const std::uint32_t r = m_drive.readTrackInformation(next, freeBlocks)) KELSDK_FAIL(r, kSearch, "readTrackInformation error");
    position = next;
    return true;
  }
  if (status == 2) {
    if (const std::uint32_t r = m_drive.getN(position)) KELSDK_FAIL(r, kSearch, "getN error");
    return true;
  }
  KELSDK_LOG(kLogError, "invaild DiscStatus %u", static_cast<unsigned>(status));
  return false;
}

// The slot's search: from the metadata file's entry the descriptors name,
// along the chain of its earlier generations; where the chain ends or there
// is none (write-once media), backwards through the disc in chunks. False
// when the callback picked a point.
bool Rollback::searchRollbackPointOnDisc() {
  if (!startPosition(m_searchLastLSN)) return true;
  m_partitionKnown = false;
  m_serialKnown = false;
  std::uint32_t mfe = 0;
  m_bMFE = getMFEPos(mfe);
  if (!m_bMFE && !m_writeOnce) return true;
  m_mfeLSN = mfe;
  for (;;) {
    Round round;
    if (m_bMFE) {
      round = followChain();
    } else if (m_searchLastLSN == 0) {
      return true;
    } else {
      round = scanChunk();
    }
    if (round.found) goOnBelow(round);
    reportScanned(round.passed);
    if (!stopCheck()) return false;
  }
}

// The entry the chain names; a sector that does not read or is no entry of
// this volume ends the chain.
Rollback::Round Rollback::followChain() {
  Round round;
  round.passed = 1;
  round.fromChain = true;
  m_searchLastLSN = m_mfeLSN;
  DataArray sector;
  if (m_drive.readSector(m_mfeLSN, 1, sector) != 0) {
    KELSDK_LOG(kLogError, "read error");
    m_bMFE = false;
  } else if (parseMetadata(sector.data(), m_mfeLSN, round.previous)) {
    round.found = true;
    round.at = m_mfeLSN;
  } else {
    m_bMFE = false;
  }
  return round;
}

// The chunk below the search position, from (position - 1) rounded down to
// a multiple of kScanChunk, parsed from its last sector to its first; the
// lowest entry found counts.
Rollback::Round Rollback::scanChunk() {
  Round round;
  const std::uint32_t start = (m_searchLastLSN - 1) / kScanChunk * kScanChunk;
  DataArray chunk;
  std::uint32_t offset = 0;
  m_drive.readBuffer(start, m_searchLastLSN - start, chunk, offset);
  round.passed = m_searchLastLSN - start;
  for (std::uint32_t lsn = m_searchLastLSN; lsn-- > start;) {
    m_searchLastLSN = lsn;
    const std::size_t at = (static_cast<std::size_t>(lsn - start) + offset) * kSector;
    std::uint32_t previous = 0;
    if (parseMetadata(chunk.getArray(at, kSector), lsn, previous)) {
      round.found = true;
      round.at = lsn;
      round.previous = previous;
    }
  }
  return round;
}

// After an entry: its earlier generation when it names one below it, else
// scanning on below the entry (from the chain that is the entry itself; in a
// chunk everything down to its start is parsed already).
void Rollback::goOnBelow(const Round& round) {
  m_mfeLSN = round.at;
  if (round.previous != 0 && round.previous < m_mfeLSN) {
    m_bMFE = true;
    m_mfeLSN = round.previous;
    return;
  }
  if (round.previous != 0) KELSDK_LOG(kLogError, "before MFE 0x%X >= now MFE 0x%X", round.previous, m_mfeLSN);
  m_bMFE = false;
  if (round.fromChain) m_searchLastLSN = round.at;
}

void Rollback::reportScanned(std::uint64_t passed) {
  m_scanned += passed;
  if (m_volumeBlocks)
    m_progress.set(static_cast<std::uint8_t>(std::min<std::uint64_t>(m_scanned * 100 / m_volumeBlocks, 100)));
}

// One sector: a metadata file entry of this volume becomes a point.
// `previous`: the location its extended attribute header gives for the
// entry before it (0 when it has none).
bool Rollback::parseMetadata(const std::uint8_t* sector, std::uint32_t lsn, std::uint32_t& previous) {
  previous = 0;
  DataArray copy(kSector);
  std::memcpy(copy.data(), sector, kSector);
  const std::unique_ptr<FileEntryDescriptor> entry = fileEntryView(copy, 0);
  if (!entry) return false;
  if (entry->crcLength() > 2032 || !entry->checkDescriptorTag()) return false;
  if (entry->kindIdentifier() == FEDescriptor::kId) KELSDK_LOG(kLogTrace, "Parse sector is FE");
  if (entry->icbTag()[11] != kMetadataFileType) return false;
  if (m_serialKnown && entry->tagSerial() != m_serial) {
    KELSDK_LOG(kLogError, "Tag Serial Number %hu not equal AVDP's %hu", entry->tagSerial(), m_serial);
    return false;
  }
  const std::uint64_t end = entry->fixedPartSize() + static_cast<std::uint64_t>(entry->lengthOfExtendedAttributes()) +
                            entry->lengthOfAllocationDescriptors();
  if (end > kSector) {
    KELSDK_LOG(kLogError, "LSN=0x%X AD size error", lsn);
    return false;
  }
  const unsigned adType = entry->icbTag()[18] & 0x07;
  if (adType > 1) {
    KELSDK_LOG(kLogError, "LSN=0x%X Flags(0x%X) invalid", lsn, le16(entry->icbTag() + 18));
    return false;
  }
  if (entry->lengthOfAllocationDescriptors() < (adType == 0 ? 8u : 16u)) {
    KELSDK_LOG(kLogError, "LSN=0x%X Num of AD == 0", lsn);
    return false;
  }
  const std::uint8_t* impl = entry->implementationIdentifier();
  if (!ourImplementation(impl)) {
    KELSDK_LOG(kLogError, "LSN=0x%X unknown Implementation Id %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X "
               "%02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X %02X",
               lsn, impl[0], impl[1], impl[2], impl[3], impl[4], impl[5], impl[6], impl[7], impl[8], impl[9], impl[10],
               impl[11], impl[12], impl[13], impl[14], impl[15], impl[16], impl[17], impl[18], impl[19], impl[20],
               impl[21], impl[22], impl[23]);
    return false;
  }
  const std::uint32_t fsd = adType == 0 ? entry->getShortAD(0).position + 4096 : entry->getLongAD(0).block;
  m_points.push_back(Point{lsn, fsd, m_slot});
  const std::u16string when = timeText(entry->modificationTime());
  KELSDK_LOG(kLogTrace, "MFE LSN=0x%X ModificationTime %s", lsn, narrow(when).c_str());
  m_callback.pointFound(RollbackPointRecord{static_cast<std::uint32_t>(m_points.size() - 1), when,
                                            m_lastKnown ? static_cast<std::uint32_t>(m_points.size()) : 0, m_slot,
                                            lsn, fsd});
  // The previous generation, from the extended attribute header.
  if (m_partitionKnown && entry->lengthOfExtendedAttributes() >= kEahBytes) {
    EAHDescriptor header(copy, entry->fixedPartSize(), kEahBytes);
    if (header.tagIdentifier() == EAHDescriptor::kId && header.checkDescriptorTag()) {
      const std::uint64_t at = static_cast<std::uint64_t>(le32(header.raw() + 76)) + m_partitionStart;
      previous = at <= 0xFFFFFFFFu ? static_cast<std::uint32_t>(at) : 0;
    }
  }
  return true;
}

bool Rollback::getMFEPos(std::uint32_t& lsn) {
  UDFReader reader(m_drive, m_slot, m_writeOnce);
  VdsExtent mvds, rvds;
  std::uint16_t serial = 0;
  if (reader.readAVDP1(mvds, rvds, serial)) {
    m_serial = serial;
    m_serialKnown = true;
    if (getMFEPosFormVDS(mvds, lsn)) return true;
    return m_writeOnce && getMFEPosFormVDS(rvds, lsn);
  }
  if (const std::uint32_t r = reader.readAVDPN(mvds, rvds, serial)) {
    KELSDK_LOG(kLogError, "readAVDP error 0x%08X", r);
    return false;
  }
  if (!m_serialKnown) {
    m_serial = serial;
    m_serialKnown = true;
  }
  return m_writeOnce && (getMFEPosFormVDS(mvds, lsn) || getMFEPosFormVDS(rvds, lsn));
}

bool Rollback::getMFEPosFormVDS(const VdsExtent& extent, std::uint32_t& lsn) {
  UDFReader reader(m_drive, m_slot, m_writeOnce);
  VolumeLayout layout;
  const bool found = reader.readVolumeLayout(extent, layout);
  if (layout.partitionKnown) {
    m_partitionStart = layout.partitionStart;
    m_partitionKnown = true;
  }
  if (found) lsn = layout.metadataFile;
  return found;
}

bool Rollback::stopCheck() {
  for (;;) {
    std::uint32_t selected = 0;
    const int answer = m_callback.notifyStatus(kRollbackRunning, {}, selected);
    if (answer == 3) return true;
    if (answer == 0 || answer == 1) {
      doCancel();
      KELSDK_FAIL(0x500FFFF, kSearch, "stopCheck cancel return");
    }
    if (answer != 2) KELSDK_FAIL(0x5000101, kSearch, "stopCheck illegal return %u", static_cast<unsigned>(answer));
    if (selected >= m_points.size())
      KELSDK_FAIL(0x5000102, kSearch, "stopCheck invalid rollbackPoint=%u >= %llu", selected,
           static_cast<unsigned long long>(m_points.size()));
    m_selected = true;
    m_selectedIndex = selected;
    return false;
  }
}

void Rollback::doCancel() {
  if (m_drive.dismountVolume() != 0) KELSDK_LOG(kLogError, "dismountVolume error");
  m_drive.released = false;
  m_drive.locked = false;
  m_drive.closeHandle();
  m_drive.reopen();
  MDCFS_MOUNT_INFORMATION info{};
  if (m_drive.getMountInformation(info) != 0) KELSDK_LOG(kLogError, "getMountInformation error");
  m_drive.closeHandle();
  m_drive.reopen();  // the slot goes back in on the way out
}

}  // namespace PxoUtilityLib

namespace PxoUtilityLib {

int RollbackCollector::notifyStatus(int status, const std::vector<std::uint32_t>&, std::uint32_t& selected) {
  if (status == kRollbackRunning) return 3;
  selected = 0;
  return 2;
}

void RollbackCollector::pointFound(const RollbackPointRecord& p) {
  if (p.index != m_taken) return;  // out of order: not kept
  ++m_taken;
  _KEL_SDK_ROLLBACK_INFO info;
  info.SlotNumber = p.slot;
  info.MetaDataFE_LSN = static_cast<std::int32_t>(p.mfeLsn);
  info.FsdLsn = static_cast<std::int32_t>(p.fsdLsn);
  m_points.push_back(info);
}

}  // namespace PxoUtilityLib

namespace PxoUtilityLib {
// The search behind the host's rollback information; tests put their own
// callback in the collector's place.
std::uint64_t runRollbackInfo(const char16_t* path, RollbackCallback& callback) {
  constexpr const char* kName = "KelDriveSDK_Quorvel_GetRollbackInfo";
  try {
    Rollback search(path, callback, nullptr);
    return search.doRollback();
  } catch (const PxoUtilityLibException& e) {
    sdkLog(kLogTrace, kLogType, __FILE__, kName, __LINE__,
           "PxoUtilityLibException result=0x%08X throw at path=%s function=%s line=%u", e.code(),
           narrow(e.file()).c_str(), narrow(e.function()).c_str(), static_cast<unsigned>(e.line()));
    return e.code();
  } catch (const std::exception& e) {
    sdkLog(kLogError, kLogType, __FILE__, kName, __LINE__, "std::exception: what()=%s", e.what());
    return 0x10001;
  } catch (...) {
    sdkLog(kLogError, kLogType, __FILE__, kName, __LINE__, "unknown exception");
    return 0x10002;
  }
}
}  // namespace PxoUtilityLib

std::uint64_t KelDriveSDK_Quorvel_GetRollbackInfo(const char16_t* path, std::vector<_KEL_SDK_ROLLBACK_INFO>& points) {
  if (!path) return 0x10002;
  PxoUtilityLib::RollbackCollector collector(points);
  return PxoUtilityLib::runRollbackInfo(path, collector);
}
