// The root directory read from the disc through the drive's own reads.
#include "root_directory.h"

#include "drive_ctrl.h"
#include "sdk_frame.h"
#include "udf_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace PxoUtilityLib {

namespace {

constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kFirstAnchor = 256;
constexpr std::uint32_t kErrAnchors = 0x230001;  // the anchor reader's: neither anchor holds
constexpr std::uint16_t kTagFileSet = 256;
constexpr std::uint16_t kTagIdentifier = 257;
constexpr std::uint16_t kTagExtents = 258;
constexpr std::uint8_t kTypeDirectory = 4;
constexpr std::uint8_t kTypeMetadata = 250;
constexpr std::size_t kFileSetRoot = 400;  // the root's long allocation descriptor
constexpr std::size_t kExtentsLength = 20;  // allocation extent descriptor: L_AD, then the descriptors
constexpr std::size_t kExtentsFirst = 24;
// Bounds of a chain of allocation descriptors.
constexpr std::size_t kMaxRuns = 1u << 16;
constexpr unsigned kMaxContinuations = 1u << 12;
// File identifier: characteristics, L_FI, ICB, L_IU, then the names.
constexpr std::size_t kIdentifierFixed = 38;
constexpr std::uint8_t kCharDirectory = 0x02, kCharDeleted = 0x04, kCharParent = 0x08;

std::uint32_t le32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Blocks of one partition: in the metadata partition or the physical one.
struct Run {
  bool metadata;
  std::uint32_t block;
  std::uint32_t blocks;
  std::uint32_t bytes;
};

// Logical blocks to sectors: the physical partition from its start, the
// metadata partition through the metadata file's extents.
class Blocks {
 public:
  explicit Blocks(const VolumeLayout& layout) : m_layout(layout) {}
  bool sector(bool metadata, std::uint64_t block, std::uint32_t& lsn) const {
    if (!metadata) {
      const std::uint64_t at = m_layout.partitionStart + block;
      lsn = static_cast<std::uint32_t>(at);
      return at <= 0xFFFFFFFFu;
    }
    for (const Run& run : metadataRuns) {
      if (block < run.blocks) return sector(false, run.block + block, lsn);
      block -= run.blocks;
    }
    return false;
  }
  bool metadataOf(std::uint16_t partition) const { return partition == m_layout.metadataPartition; }

  std::vector<Run> metadataRuns;

 private:
  const VolumeLayout& m_layout;
};

std::uint32_t readBlock(DriveCtrl& drive, const Blocks& blocks, bool metadata, std::uint64_t block, DataArray& out,
                        std::uint32_t failure) {
  std::uint32_t lsn = 0;
  if (!blocks.sector(metadata, block, lsn)) return failure;
  return drive.readSector(lsn, 1, out);
}

// The allocation descriptors at ads (short or long), followed through their
// continuation extents: every recorded extent in order. Extents allocated
// but not recorded have no place in the records read here.
class RunCollector {
 public:
  RunCollector(DriveCtrl& drive, const Blocks& blocks, std::uint32_t failure)
      : m_drive(drive), m_blocks(blocks), m_failure(failure) {}

  std::uint32_t collect(const std::uint8_t* ads, std::size_t length, unsigned adType, bool metadata,
                        std::vector<Run>& runs) {
    if (adType > 1) return m_failure;
    const std::size_t size = adType == 0 ? 8 : 16;
    DataArray current;
    for (unsigned hops = 0;; ++hops) {
      Run next{};
      bool continued = false;
      for (std::size_t at = 0; at + size <= length; at += size) {
        const std::uint32_t raw = le32(ads + at);
        const std::uint32_t bytes = raw & 0x3FFFFFFF;
        if (bytes == 0) return 0;
        const Run run{adType == 0 ? metadata : m_blocks.metadataOf(le16(ads + at + 8)), le32(ads + at + 4),
                      static_cast<std::uint32_t>((bytes + (kSector - 1ull)) / kSector), bytes};
        if (raw >> 30 == 3) {
          next = run;
          continued = true;
          break;
        }
        if (raw >> 30 != 0 || runs.size() >= kMaxRuns) return m_failure;
        runs.push_back(run);
      }
      if (!continued) return 0;
      if (hops >= kMaxContinuations) return m_failure;
      if (const std::uint32_t r = continuation(next, current, ads, length)) return r;
    }
  }

 private:
  // The allocation extent descriptor a continuation names: its descriptors.
  std::uint32_t continuation(const Run& run, DataArray& into, const std::uint8_t*& ads, std::size_t& length) {
    DataArray sector;
    if (const std::uint32_t r = readBlock(m_drive, m_blocks, run.metadata, run.block, sector, m_failure)) return r;
    if (le16(sector.data()) != kTagExtents || !descriptorTagHolds(sector.data(), kSector)) return m_failure;
    const std::uint32_t count = le32(sector.data() + kExtentsLength);
    if (count > kSector - kExtentsFirst) return m_failure;
    into = std::move(sector);
    ads = into.data() + kExtentsFirst;
    length = count;
    return 0;
  }

  DriveCtrl& m_drive;
  const Blocks& m_blocks;
  std::uint32_t m_failure;
};

// A File Entry or Extended File Entry whose tag holds and whose extended
// attributes and descriptors lie inside its sector.
std::unique_ptr<FileEntryDescriptor> entryIn(DataArray& sector) {
  std::unique_ptr<FileEntryDescriptor> entry = fileEntryView(sector, 0);
  if (!entry || !entry->checkDescriptorTag()) return nullptr;
  const std::uint64_t end = entry->fixedPartSize() + std::uint64_t{entry->lengthOfExtendedAttributes()} +
                            entry->lengthOfAllocationDescriptors();
  return end <= kSector ? std::move(entry) : nullptr;
}

const std::uint8_t* descriptorsOf(const FileEntryDescriptor& entry, DataArray& sector) {
  return sector.getArray(entry.fixedPartSize() + entry.lengthOfExtendedAttributes(),
                         entry.lengthOfAllocationDescriptors());
}

unsigned adTypeOf(const FileEntryDescriptor& entry) { return entry.icbTag()[18] & 0x07; }

// Neither anchor holds: kErrRootErased when the first one's sector reads as
// zeros, else the anchors' own failure.
std::uint32_t noAnchor(DriveCtrl& drive, std::uint32_t failure) {
  DataArray sector;
  if (failure != kErrAnchors || drive.readSector(kFirstAnchor, 1, sector) != 0) return failure;
  const bool zeros = std::all_of(sector.data(), sector.data() + sector.size(), [](std::uint8_t b) { return b == 0; });
  return zeros ? kErrRootErased : failure;
}

std::uint32_t findLayout(DriveCtrl& drive, std::uint8_t slot, bool writeOnce, VolumeLayout& layout) {
  UDFReader reader(drive, slot, writeOnce);
  VdsExtent main, reserve;
  std::uint16_t serial = 0;
  if (!reader.readAVDP1(main, reserve, serial))
    if (const std::uint32_t r = reader.readAVDPN(main, reserve, serial)) return noAnchor(drive, r);
  if (reader.readVolumeLayout(main, layout)) return 0;
  if (writeOnce && reader.readVolumeLayout(reserve, layout)) return 0;
  return kErrRootVolume;
}

std::uint32_t readMetadataRuns(DriveCtrl& drive, Blocks& blocks, const VolumeLayout& layout) {
  DataArray sector;
  if (const std::uint32_t r = drive.readSector(layout.metadataFile, 1, sector)) return r;
  const std::unique_ptr<FileEntryDescriptor> entry = entryIn(sector);
  if (!entry || entry->icbTag()[11] != kTypeMetadata) return kErrRootMetadata;
  RunCollector runs(drive, blocks, kErrRootMetadata);
  return runs.collect(descriptorsOf(*entry, sector), entry->lengthOfAllocationDescriptors(), adTypeOf(*entry), false,
                      blocks.metadataRuns);
}

// The root's place from the file set descriptor.
std::uint32_t readRootPlace(DriveCtrl& drive, const Blocks& blocks, const VolumeLayout& layout, Run& root) {
  DataArray sector;
  const bool metadata = blocks.metadataOf(layout.fileSet.partition);
  if (const std::uint32_t r = readBlock(drive, blocks, metadata, layout.fileSet.block, sector, kErrRootFileSet))
    return r;
  if (le16(sector.data()) != kTagFileSet || !descriptorTagHolds(sector.data(), kSector)) return kErrRootFileSet;
  const std::uint8_t* icb = sector.data() + kFileSetRoot;
  root = Run{blocks.metadataOf(le16(icb + 8)), le32(icb + 4), 1, kSector};
  return 0;
}

// OSTA compressed unicode: 8 bits or 16 bits (big-endian) a character.
std::u16string decodeName(const std::uint8_t* p, std::size_t length) {
  std::u16string name;
  if (length == 0) return name;
  if (p[0] == 8) {
    for (std::size_t i = 1; i < length; ++i) name += static_cast<char16_t>(p[i]);
  } else if (p[0] == 16 && length % 2 == 1) {
    for (std::size_t i = 1; i + 1 < length; i += 2) name += static_cast<char16_t>(p[i] << 8 | p[i + 1]);
  } else {
    name = u"\uFFFD";  // a form this reader does not know: still an entry
  }
  return name;
}

// The file identifiers of a directory's bytes, fed in pieces: each complete
// one is judged and handed on at once.
class IdentifierStream {
 public:
  explicit IdentifierStream(const std::function<bool(const RootEntry&)>& take) : m_take(take) {}
  bool stopped() const { return m_stopped; }

  std::uint32_t feed(const std::uint8_t* p, std::size_t n) {
    m_pending.insert(m_pending.end(), p, p + n);
    std::size_t at = 0;
    while (!m_stopped && m_pending.size() - at >= kIdentifierFixed) {
      const std::uint8_t* fid = m_pending.data() + at;
      const std::size_t size = (kIdentifierFixed + le16(fid + 36) + fid[19] + 3) & ~std::size_t{3};
      if (m_pending.size() - at < size) break;
      if (le16(fid) != kTagIdentifier || !descriptorTagHolds(fid, size)) return kErrRootIdentifiers;
      handOn(fid);
      at += size;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(at));
    return 0;
  }
  // The directory's bytes end: nothing may be left over.
  std::uint32_t finish() const { return m_stopped || m_pending.empty() ? 0 : kErrRootIdentifiers; }

 private:
  void handOn(const std::uint8_t* fid) {
    const std::uint8_t characteristics = fid[18];
    if (characteristics & (kCharDeleted | kCharParent)) return;
    RootEntry entry;
    entry.name = decodeName(fid + kIdentifierFixed + le16(fid + 36), fid[19]);
    entry.directory = (characteristics & kCharDirectory) != 0;
    m_stopped = !m_take(entry);
  }

  const std::function<bool(const RootEntry&)>& m_take;
  std::vector<std::uint8_t> m_pending;
  bool m_stopped = false;
};

// The root's bytes, embedded in its entry or in its extents, up to its
// information length.
std::uint32_t streamRoot(DriveCtrl& drive, const Blocks& blocks, const Run& place, IdentifierStream& out) {
  DataArray sector;
  if (const std::uint32_t r = readBlock(drive, blocks, place.metadata, place.block, sector, kErrRootEntry)) return r;
  const std::unique_ptr<FileEntryDescriptor> entry = entryIn(sector);
  if (!entry || entry->icbTag()[11] != kTypeDirectory) return kErrRootEntry;
  std::uint64_t left = entry->informationLength();
  const std::uint8_t* ads = descriptorsOf(*entry, sector);
  if (adTypeOf(*entry) == 3) {
    if (left > entry->lengthOfAllocationDescriptors()) return kErrRootEntry;
    if (const std::uint32_t r = out.feed(ads, static_cast<std::size_t>(left))) return r;
    return out.finish();
  }
  std::vector<Run> runs;
  RunCollector collector(drive, blocks, kErrRootEntry);
  if (const std::uint32_t r =
          collector.collect(ads, entry->lengthOfAllocationDescriptors(), adTypeOf(*entry), place.metadata, runs))
    return r;
  for (const Run& run : runs)
    for (std::uint32_t i = 0; i < run.blocks && left > 0 && !out.stopped(); ++i) {
      DataArray block;
      if (const std::uint32_t r = readBlock(drive, blocks, run.metadata, std::uint64_t{run.block} + i, block, kErrRootEntry))
        return r;
      const std::uint32_t inRun = run.bytes - i * kSector;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>({left, inRun, kSector}));
      if (const std::uint32_t r = out.feed(block.data(), n)) return r;
      left -= n;
    }
  return left > 0 && !out.stopped() ? kErrRootEntry : out.finish();
}

}  // namespace

std::uint32_t readRootDirectory(DriveCtrl& drive, std::uint8_t slot, bool writeOnce,
                                const std::function<bool(const RootEntry&)>& take) {
  VolumeLayout layout;
  if (const std::uint32_t r = findLayout(drive, slot, writeOnce, layout)) return r;
  Blocks blocks(layout);
  if (const std::uint32_t r = readMetadataRuns(drive, blocks, layout)) return r;
  Run root{};
  if (const std::uint32_t r = readRootPlace(drive, blocks, layout, root)) return r;
  IdentifierStream identifiers(take);
  return streamRoot(drive, blocks, root, identifiers);
}

}  // namespace PxoUtilityLib
