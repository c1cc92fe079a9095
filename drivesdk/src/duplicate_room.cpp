// Volume duplication: the room check of the destination and the commit of a
// new track before a file is written.
#include "duplicate.h"

#include "sdk_frame.h"

#include <limits>

namespace PxoUtilityLib {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kUnit = 0x10000;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) { return a > kMax - b ? kMax : a + b; }
std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) { return b != 0 && a > kMax / b ? kMax : a * b; }

// A file's size rounded up to whole 64 KiB units.
std::uint64_t rounded(std::uint64_t size) { return size == 0 ? 0 : saturatingMul((size - 1) / kUnit + 1, kUnit); }

std::uint64_t bytesOf(const PxoUtility::DiskFreeSpace& s, std::uint32_t clusters) {
  return saturatingMul(saturatingMul(s.sectorsPerCluster, s.bytesPerSector), clusters);
}

bool rewritable(std::uint8_t type) { return type == 0x53 || type == 0xE2 || type == 0xE4 || type == 0xE6; }

// The free space of the volume that holds `path`: 0, or kDupFreeSpaceFailed.
std::uint32_t readFreeSpace(FileOperationCallbackImpl& files, const std::u16string& path,
                            PxoUtility::DiskFreeSpace& space) {
  const std::u16string root = freeSpaceRoot(path);
  if (files.getDiskFreeSpace(root, space)) return 0;
  KELSDK_LOG(kLogError, "GetDiskFreeSpaceW(%s) error GetLastError=%u", narrow(root).c_str(), 0u);
  return kDupFreeSpaceFailed;
}

// The most directory entries a volume of the medium and volume type holds:
// 0, or kDupBadVolumeType.
std::uint32_t entryLimit(std::uint8_t type, std::uint8_t volumeType, std::uint32_t* limit) {
  *limit = 800000;
  if (type == 0xF2) return 0;
  if ((volumeType >> 4) == 1) {
    *limit = 240000;
  } else if ((volumeType >> 4) == 0) {
    *limit = 60000;
  } else {
    KELSDK_LOG(kLogError, "invalid VolumeType(%u) error", static_cast<unsigned>(volumeType >> 4));
    return kDupBadVolumeType;
  }
  return 0;
}

// The metadata each disc of the volume needs for its files, folders and
// entries, in whole 64 KiB units. Estimated in 64 bits: in 32 it wraps
// beyond some 63,500 files and finds room on a destination that is too
// small.
std::uint64_t metadataPerDisc(std::uint8_t volumeType, std::uint64_t files, std::uint64_t dirs,
                              std::uint64_t entries) {
  const std::uint64_t h = volumeType > 15 ? entries * 25828 : files * 67584 + dirs * 22528 + entries * 3300;
  return (h / 10 + 65535) & ~std::uint64_t{0xFFFF};
}

// Whether the room the files leave (rvs - atfs, in whole 64 KiB units)
// holds `fsms` of metadata for each disc still to be written: all of them
// when the destination is overwritten whole, else those after the last
// written one.
std::uint32_t roomForMetadata(const DiscUsageInformation& usage, bool whole, std::uint64_t rvs, std::uint64_t atfs,
                              std::uint64_t fsms) {
  const std::uint32_t written = whole ? 0 : usage.LastWrittenDiscIndex;
  const std::uint64_t discsLeft = usage.TotalNumberOfDiscs > written ? usage.TotalNumberOfDiscs - written : 0;
  const std::uint64_t room = (rvs - atfs) & ~std::uint64_t{0xFFFF};
  if (room >= saturatingMul(fsms, discsLeft)) return kRoomEnough;
  KELSDK_LOG(kLogError, "RVS(%llu) < FSMS(%llu) x (TND(%u) - CDI(%u))", static_cast<unsigned long long>(rvs),
             static_cast<unsigned long long>(fsms), usage.TotalNumberOfDiscs, written);
  return kRoomNoSpace;
}

}  // namespace

std::uint64_t Duplicate::totalFileSize(const std::uint64_t* single) const {
  if (single) return rounded(*single);
  std::uint64_t total = 0;
  for (const auto& [key, e] : m_entries)
    if (!e->isLink) total = saturatingAdd(total, rounded(e->size));
  return total;
}

std::uint32_t Duplicate::checkDuplicateMediaImpl(std::uint32_t kind, const std::u16string& path, bool overwrite,
                                                 bool& mediumFlag, std::uint32_t& verdict,
                                                 const std::uint64_t* single) {
  try {
    if (!m_files) m_files = fileOperationMaker()();
    const std::uint64_t atfs = totalFileSize(single);
    const std::uint32_t srcDirs = single ? 0 : m_dirCount;
    const std::uint32_t srcFiles = single ? 1 : m_fileCount;
    if (kind == kKindDrive) return roomOfDrive(path, overwrite, mediumFlag, verdict, atfs, srcDirs, srcFiles);
    PxoUtility::DiskFreeSpace space;
    if (const std::uint32_t r = readFreeSpace(*m_files, path, space)) return r;
    const std::uint64_t free = bytesOf(space, space.freeClusters);
    verdict = kRoomEnough;
    if (free < atfs) {
      KELSDK_LOG(kLogError, "RVS(%llu) < ATFS(%llu)", static_cast<unsigned long long>(free),
                 static_cast<unsigned long long>(atfs));
      verdict = kRoomNoSpace;
    }
    return 0;
  } catch (...) {
    return resultOfCurrentException();
  }
}

std::uint32_t Duplicate::roomOfDrive(const std::u16string& path, bool overwrite, bool& mediumFlag,
                                     std::uint32_t& verdict, std::uint64_t atfs, std::uint32_t srcDirs,
                                     std::uint32_t srcFiles) {
  const std::string shown = narrow(path);
  DriveCtrl dest(path.substr(0, 2), false);
  if (const std::uint32_t r = dest.openReadOnly()) {
    KELSDK_LOG(kLogError, "openReadOnly(%s) error", shown.c_str());
    return r;
  }
  MDCFS_MOUNT_INFORMATION info{};
  if (dest.getMountInformation(info) != 0) {
    KELSDK_LOG(kLogError, "getMountInformation(%s) error", shown.c_str());
    noteEngineHost("PxoUtilityLib::Duplicate::roomOfDrive");
    return 0x120800;
  }
  const std::uint8_t type = info.MediumType;
  const std::uint8_t volumeType = info.VolumeTypeAndInformationVersion;
  if (overwrite) mediumFlag = rewritable(type);
  std::uint32_t limit = 0;
  if (const std::uint32_t r = entryLimit(type, volumeType, &limit)) return r;
  std::uint32_t destFiles = 0, destDirs = 0;
  if (!dest.getFileCount(destFiles, destDirs)) {
    KELSDK_LOG(kLogError, "getFileCount(%s) error", shown.c_str());
    return 0x120700;
  }
  if (overwrite) {
    destFiles = 0;
    destDirs = 1;
  }
  const std::uint64_t entries = std::uint64_t{destDirs} + destFiles + srcDirs + srcFiles;
  if (entries > limit) {
    KELSDK_LOG(kLogError, "(%u dirs + %u files) + (%u dirs + %u files) > %u", destDirs, destFiles, srcDirs, srcFiles,
               limit);
    verdict = kRoomTooManyEntries;
    return 0;
  }
  PxoUtility::DiskFreeSpace space;
  if (const std::uint32_t r = readFreeSpace(*m_files, path, space)) return r;
  const bool whole = overwrite && mediumFlag;
  const std::uint64_t rvs = bytesOf(space, whole ? space.totalClusters : space.freeClusters);
  if (rvs < atfs) {
    KELSDK_LOG(kLogError, "RVS(%llu) < ATFS(%llu)", static_cast<unsigned long long>(rvs),
               static_cast<unsigned long long>(atfs));
    verdict = kRoomNoSpace;
    return 0;
  }
  DiscUsageInformation usage{};
  if (!dest.getDiscUsageInformation(usage)) {
    KELSDK_LOG(kLogError, "getDiscUsageInformation(%s) error", shown.c_str());
    return 0x121900;
  }
  const std::uint64_t fsms = metadataPerDisc(volumeType, std::uint64_t{srcFiles} + destFiles,
                                             std::uint64_t{destDirs} + srcDirs, entries);
  verdict = roomForMetadata(usage, whole, rvs, atfs, fsms);
  return 0;
}

bool Duplicate::isCommitNewTrackRequired(DriveCtrl& drive, std::uint64_t writeSize, bool checkWriteSize) {
  try {
    if (!drive.isOpen()) return false;
    DiscUsageInformation t{};
    if (!drive.getDiscUsageInformation(t)) return false;
    KELSDK_LOG(kLogTrace, "[####]writeSize=%llu", static_cast<unsigned long long>(writeSize));
    KELSDK_LOG(kLogTrace, "[####]tInfo.TotalNumberOfDiscs=%u", t.TotalNumberOfDiscs);
    KELSDK_LOG(kLogTrace, "[####]tInfo.CurrentDiscIndex=%u", t.CurrentDiscIndex);
    KELSDK_LOG(kLogTrace, "[####]tInfo.Condition=%u", t.Condition);
    KELSDK_LOG(kLogTrace, "[####]tInfo.LastWrittenDiscIndex=%u", t.LastWrittenDiscIndex);
    KELSDK_LOG(kLogTrace, "[####]tInfo.TotalSize=%llu", static_cast<unsigned long long>(t.TotalSize));
    KELSDK_LOG(kLogTrace, "[####]tInfo.RemainingSize=%llu", static_cast<unsigned long long>(t.RemainingSize));
    if (t.TotalNumberOfDiscs <= t.LastWrittenDiscIndex + 1) {
      KELSDK_LOG(kLogTrace, "[####]Final Disc");
      return false;
    }
    if (t.TotalSize / 10 <= t.RemainingSize) {
      KELSDK_LOG(kLogTrace, "[####]tInfo.TotalSize / 10 <= tInfo.RemainingSize");
      return false;
    }
    if (checkWriteSize && writeSize < t.RemainingSize) {
      KELSDK_LOG(kLogTrace, "[####]writeSize < tInfo.RemainingSize");
      return false;
    }
    KELSDK_LOG(kLogError, "disc=%d, writeSize=%llu, remainSize=%llu", t.LastWrittenDiscIndex,
               static_cast<unsigned long long>(writeSize), static_cast<unsigned long long>(t.RemainingSize));
    return true;
  } catch (...) {
    resultOfCurrentException();
    return false;
  }
}

bool Duplicate::commitNewTrackIfRequired_Execute(std::uint64_t writeSize, RunArgs& args) {
  KELSDK_LOG(kLogTrace, "[####]kind=%d(PxoUtility::KEL_DRIVE=%d) ", static_cast<int>(args.kind),
             static_cast<int>(kKindDrive));
  if (args.kind != kKindDrive) return false;
  DriveCtrl dest(args.destGiven.substr(0, 2), false);
  if (dest.openReadOnly() != 0) return false;
  if (isCommitNewTrackRequired(dest, writeSize, true)) {
    KELSDK_LOG(kLogError, "MDCFSCTL_FLUSH_VOLUME_BUFFERS");
    dest.flushVolumeBuffers();
  }
  if (isCommitNewTrackRequired(dest, writeSize, false)) {
    KELSDK_LOG(kLogError, "MDCFSCTL_COMMIT_NEW_TRACK");
    dest.commitNewTrack();
    return true;
  }
  KELSDK_LOG(kLogError, "Already CREATE_NEW_TRACK-ed, NOP on here.");
  return false;
}

}  // namespace PxoUtilityLib
