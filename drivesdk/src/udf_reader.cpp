// Descriptor views, tag checks and the anchor and sequence reader.
#include "udf_reader.h"

#include "drive_ctrl.h"
#include "sdk_frame.h"

#include "udf/udf_crc16.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace PxoUtilityLib {

namespace {
constexpr std::size_t kTagBytes = 16;
constexpr std::uint32_t kSectorBytes = 2048;
constexpr std::uint32_t kFirstAnchor = 256;
constexpr std::uint32_t kErrAnchors = 0x230001;
// Places in the LVD's sector and the PD.
constexpr std::size_t kLvdFileSet = 248;
constexpr std::size_t kLvdMapCount = 268;
constexpr std::size_t kLvdMaps = 440;
constexpr std::size_t kPdStart = 188;
constexpr std::uint8_t kMetadataMapType = 2;
constexpr std::size_t kMetadataMapBytes = 44;  // through the metadata file location

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint8_t tagChecksum(const std::uint8_t* tag) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < kTagBytes; ++i)
    if (i != 4) sum += tag[i];
  return static_cast<std::uint8_t>(sum);
}
}  // namespace

DescriptorBase::DescriptorBase(DataArray& array, std::size_t offset, std::size_t length)
    : m_array(&array), m_offset(offset), m_length(length), m_raw(array.getArray(offset, length)) {}

std::uint16_t DescriptorBase::u16(std::size_t at) const {
  const std::uint8_t* p = m_array->getArray(m_offset + at, 2);
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t DescriptorBase::u32(std::size_t at) const {
  const std::uint8_t* p = m_array->getArray(m_offset + at, 4);
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t DescriptorBase::u64(std::size_t at) const {
  return static_cast<std::uint64_t>(u32(at)) | static_cast<std::uint64_t>(u32(at + 4)) << 32;
}

bool descriptorTagHolds(const std::uint8_t* raw, std::size_t length) {
  if (length < kTagBytes) return false;
  if (raw[4] != tagChecksum(raw)) return false;
  const std::size_t crcBytes = static_cast<std::size_t>(raw[10] | raw[11] << 8);
  if (crcBytes + kTagBytes > length) return false;
  return mdcudfsr_crc16(raw + kTagBytes, static_cast<std::uint32_t>(crcBytes)) == (raw[8] | raw[9] << 8);
}

bool DescriptorBase::checkDescriptorTag() const { return descriptorTagHolds(m_raw, m_length); }

void DescriptorBase::recomputeTag() {
  const std::size_t crcBytes = std::min<std::size_t>(crcLength(), m_length - kTagBytes);
  const std::uint16_t crc = mdcudfsr_crc16(m_raw + kTagBytes, static_cast<std::uint32_t>(crcBytes));
  m_raw[8] = static_cast<std::uint8_t>(crc);
  m_raw[9] = static_cast<std::uint8_t>(crc >> 8);
  m_raw[4] = tagChecksum(m_raw);
}

const std::uint8_t* FileEntryDescriptor::allocationDescriptor(std::size_t index, std::size_t size,
                                                             const char* what) const {
  const std::uint64_t start = static_cast<std::uint64_t>(index) * size;
  if (index >= SIZE_MAX / size || start + size > lengthOfAllocationDescriptors()) throw std::out_of_range(what);
  const std::uint64_t at = fixedPartSize() + static_cast<std::uint64_t>(lengthOfExtendedAttributes()) + start;
  if (at + size > m_length) throw std::out_of_range(what);
  return m_array->getArray(m_offset + static_cast<std::size_t>(at), size);
}

ShortAD FileEntryDescriptor::getShortAD(std::size_t index) const {
  const std::uint8_t* p = allocationDescriptor(index, 8, "FileEntryDescriptor::getShortAD out_of_range");
  ShortAD ad;
  std::memcpy(&ad.length, p, 4);
  std::memcpy(&ad.position, p + 4, 4);
  return ad;
}

LongAD FileEntryDescriptor::getLongAD(std::size_t index) const {
  const std::uint8_t* p = allocationDescriptor(index, 16, "FileEntryDescriptor::getLongAD out_of_range");
  LongAD ad;
  std::memcpy(&ad.length, p, 4);
  std::memcpy(&ad.block, p + 4, 4);
  std::memcpy(&ad.partition, p + 8, 2);
  std::memcpy(ad.implementationUse, p + 10, 6);
  return ad;
}

std::unique_ptr<FileEntryDescriptor> fileEntryView(DataArray& array, std::size_t offset) {
  const std::uint8_t* tag = array.getArray(offset, 2);
  const std::uint16_t id = static_cast<std::uint16_t>(tag[0] | tag[1] << 8);
  if (id == FEDescriptor::kId) return std::make_unique<FEDescriptor>(array, offset, kSectorBytes);
  if (id == EXFEDescriptor::kId) return std::make_unique<EXFEDescriptor>(array, offset, kSectorBytes);
  return nullptr;
}

bool UDFReader::chekAVDP(const AVDPDescriptor& avdp) {
  if (avdp.tagIdentifier() != AVDPDescriptor::kId) {
    KELSDK_LOG(kLogError, "chekAVDP tagID=%u error", avdp.tagIdentifier());
    return false;
  }
  if (!avdp.checkDescriptorTag()) {
    KELSDK_LOG(kLogError, "chekAVDP checkDescriptorTag error");
    return false;
  }
  return true;
}

// Reads and checks the anchor at lsn. code: the read's failure (0 when the
// read succeeded); the answer says whether the anchor passed its checks.
bool UDFReader::readAVDPAt(std::uint32_t lsn, VdsExtent& mvds, VdsExtent& rvds, std::uint16_t& serial,
                           std::uint32_t& code) {
  DataArray sector;
  code = m_drive->readSector(lsn, 1, sector);
  if (code != 0) return false;
  AVDPDescriptor avdp(sector, 0, kAvdpBytes);
  if (!chekAVDP(avdp)) return false;
  mvds = VdsExtent{avdp.mainLength(), avdp.mainLocation()};
  if (m_readReserve) rvds = VdsExtent{avdp.reserveLength(), avdp.reserveLocation()};
  serial = avdp.tagSerial();
  KELSDK_LOG(kLogTrace, "MVDS(%u, %u)", mvds.length, mvds.location);
  KELSDK_LOG(kLogTrace, "RVDS(%u, %u)", rvds.length, rvds.location);
  return true;
}

bool UDFReader::readAVDP1(VdsExtent& mvds, VdsExtent& rvds, std::uint16_t& serial) {
  std::uint32_t code = 0;
  if (readAVDPAt(kFirstAnchor, mvds, rvds, serial, code)) return true;
  KELSDK_LOG(kLogError, code ? "read AVDP(LSN=256) error" : "AVDP(LSN=256) chaeck error");
  return false;
}

std::uint32_t UDFReader::readAVDPN(VdsExtent& mvds, VdsExtent& rvds, std::uint16_t& serial) {
  std::uint32_t n = 0;
  if (const std::uint32_t r = m_drive->getN(n)) {
    KELSDK_LOG(kLogError, "getN error");
    return r;
  }
  KELSDK_LOG(kLogTrace, "[####]ulN=%u\n", n);
  std::uint32_t code = 0;
  if (readAVDPAt(n, mvds, rvds, serial, code)) return 0;
  if (code != 0) {
    KELSDK_LOG(kLogError, "read AVDP(LSN=N) error");
    return code;
  }
  KELSDK_LOG(kLogError, "AVDP all error");
  return kErrAnchors;
}

namespace {

// Keeps the newer of two descriptors of a kind: a later one with a serial
// number at least as great replaces the kept one.
template <class View>
void keepLatest(std::unique_ptr<View>& kept, DataArray& buffer, std::size_t offset, std::size_t bytes) {
  auto view = std::make_unique<View>(buffer, offset, bytes);
  if (!kept || view->tagSerial() >= kept->tagSerial()) kept = std::move(view);
}

}  // namespace

bool UDFReader::checkVDS(DataArray& buffer, std::uint32_t first, std::uint32_t count,
                         std::unique_ptr<PVDDescriptor>& pvd, std::unique_ptr<LVDDescriptor>& lvd,
                         std::unique_ptr<PDDescriptor>* pd) {
  pvd.reset();
  lvd.reset();
  if (pd) pd->reset();
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = (static_cast<std::size_t>(first) + i) * kSectorBytes;
    UnknownDescriptor sector(buffer, at, kVdsSectorBytes);
    if (!sector.checkDescriptorTag()) continue;
    switch (sector.tagIdentifier()) {
      case PVDDescriptor::kId: keepLatest(pvd, buffer, at, kPvdBytes); break;
      case LVDDescriptor::kId: keepLatest(lvd, buffer, at, kLvdBytes); break;
      case PDDescriptor::kId:
        if (pd) keepLatest(*pd, buffer, at, kPdBytes);
        break;
      default: break;
    }
    if (sector.tagIdentifier() == TDDescriptor::kId) break;
  }
  if (!pvd) KELSDK_LOG(kLogError, "VDS has no PVD");
  if (!lvd) KELSDK_LOG(kLogError, "VDS has no LVD");
  if (pd && !*pd) KELSDK_LOG(kLogError, "VDS has no PD");
  if (!pvd || !lvd || (pd && !*pd)) return false;
  if (pvd->volumeSequenceNumber() != m_slot + 1u) {
    KELSDK_LOG(kLogError, "PVD's Volume Sequence Number=%hu != slotNo(%u) + 1", pvd->volumeSequenceNumber(),
               static_cast<unsigned>(m_slot));
    return false;
  }
  if (lvd->numberOfPartitionMaps() != m_slot + 2u) {
    KELSDK_LOG(kLogError, "LVD's Number of Partition Maps=%hu != slotNo(%u) + 2",
               static_cast<unsigned short>(lvd->numberOfPartitionMaps()), static_cast<unsigned>(m_slot));
    return false;
  }
  return true;
}

namespace {

// The first metadata partition map of the LVD's sector: its reference (the
// map's index) and the metadata file location. The maps stay inside the
// sector; a map shorter than 2 bytes ends them.
bool metadataMap(const std::uint8_t* lvd, std::uint16_t& reference, std::uint32_t& location) {
  const std::uint32_t maps = le32(lvd + kLvdMapCount);
  std::size_t at = kLvdMaps;
  for (std::uint32_t i = 0; i < maps && i <= 0xFFFF && at + 2 <= kSectorBytes; ++i) {
    const std::uint8_t type = lvd[at];
    const std::uint8_t length = lvd[at + 1];
    if (length < 2) break;
    if (type == kMetadataMapType && at + kMetadataMapBytes <= kSectorBytes) {
      reference = static_cast<std::uint16_t>(i);
      location = le32(lvd + at + 40);
      return true;
    }
    at += length;
  }
  return false;
}

}  // namespace

bool UDFReader::readVolumeLayout(const VdsExtent& extent, VolumeLayout& layout) {
  layout = VolumeLayout{};
  const std::uint32_t sectors = static_cast<std::uint32_t>((extent.length + 2047ull) / kSectorBytes);
  std::uint32_t n = 0;
  DataArray buffer;
  if (extent.length == 0 || m_drive->getN(n) != 0 || static_cast<std::uint64_t>(extent.location) + sectors > n + 1ull ||
      m_drive->readSector(extent.location, sectors, buffer) != 0) {
    KELSDK_LOG(kLogError, "VDS read error LSN=0x%08X length=0x%X(sector)", extent.location, sectors);
    return false;
  }
  std::unique_ptr<PVDDescriptor> pvd;
  std::unique_ptr<LVDDescriptor> lvd;
  std::unique_ptr<PDDescriptor> pd;
  if (!checkVDS(buffer, 0, sectors, pvd, lvd, &pd)) {
    KELSDK_LOG(kLogError, "VDS check error LSN=0x%08X length=0x%X(sector)", extent.location, sectors);
    return false;
  }
  layout.partitionStart = le32(pd->raw() + kPdStart);
  layout.partitionKnown = true;
  const std::uint8_t* sector = buffer.getArray(lvd->offset(), kSectorBytes);
  std::memcpy(&layout.fileSet.length, sector + kLvdFileSet, 4);
  std::memcpy(&layout.fileSet.block, sector + kLvdFileSet + 4, 4);
  std::memcpy(&layout.fileSet.partition, sector + kLvdFileSet + 8, 2);
  std::uint32_t location = 0;
  if (!metadataMap(sector, layout.metadataPartition, location) ||
      static_cast<std::uint64_t>(location) + layout.partitionStart > 0xFFFFFFFFu) {
    KELSDK_LOG(kLogError, "VDS check error LSN=0x%08X length=0x%X(sector) LVD has not Metadata Partition Map",
               extent.location, sectors);
    return false;
  }
  layout.metadataFile = location + layout.partitionStart;
  return true;
}

}  // namespace PxoUtilityLib
