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

bool DescriptorBase::checkDescriptorTag() const {
  if (m_length < kTagBytes) return false;
  if (m_raw[4] != tagChecksum(m_raw)) return false;
  const std::size_t crcBytes = crcLength();
  if (crcBytes + kTagBytes > m_length) return false;
  return mdcudfsr_crc16(m_raw + kTagBytes, static_cast<std::uint32_t>(crcBytes)) == u16(8);
}

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

}  // namespace PxoUtilityLib
