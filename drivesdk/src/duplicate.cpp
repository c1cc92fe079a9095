// Volume duplication: collecting the source, the run with its passes, the
// result and the removal of a temporary copy.
#include "duplicate.h"

#include "sdk_frame.h"

#include <cstring>

namespace PxoUtilityLib {

namespace {

constexpr std::uint16_t kFirstCMRange = 0x1580;
constexpr std::uint16_t kLastCMRange = 0x159B;

std::u16string withBackslash(std::u16string path) {
  if (path.empty() || path.back() != u'\\') path += u'\\';
  return path;
}

std::u16string withoutBackslash(std::u16string path) {
  if (path.size() > 1 && path.back() == u'\\') path.pop_back();
  return path;
}

std::u16string parentOf(const std::u16string& relative) {
  const std::size_t end = relative.size() > 1 && relative.back() == u'\\' ? relative.size() - 1 : relative.size();
  const std::size_t cut = relative.rfind(u'\\', end == 0 ? 0 : end - 1);
  return cut == std::u16string::npos ? std::u16string() : relative.substr(0, cut + 1);
}

}  // namespace

Duplicate::Duplicate() = default;
Duplicate::~Duplicate() = default;

Duplicate::FileOperationMaker& Duplicate::fileOperationMaker() {
  static FileOperationMaker maker = [] { return std::make_unique<FileOperationCallbackImpl>(); };
  return maker;
}

// --- collecting ------------------------------------------------------------

std::uint32_t Duplicate::getFilesDuplicateMedia(const std::u16string& sourceDevice, const std::u16string& root,
                                                bool copyCM, std::uint32_t& files, std::uint64_t& size) {
  try {
    return getFilesDuplicateMediaImpl(sourceDevice, root, copyCM, files, size);
  } catch (...) {
    m_drive.reset();
    return resultOfCurrentException();
  }
}

void Duplicate::checkMedium() {
  SptiCtrlDevice* device = m_drive->device();
  const bool opened = device && device->open();
  const int r = opened ? device->testUnitReady() : -1;
  if (device) device->close();
  if (r != 0) {
    KELSDK_LOG(kLogCheck, "media is not exist");
    throwPxo(kDupNoMedium, __FILE__, __LINE__, "Duplicate::getFilesDuplicateMediaImpl");
  }
}

std::uint32_t Duplicate::getFilesDuplicateMediaImpl(const std::u16string& sourceDevice, const std::u16string& root,
                                                    bool copyCM, std::uint32_t& files, std::uint64_t& size) {
  constexpr const char* kFunction = "Duplicate::getFilesDuplicateMediaImpl";
  m_sourceDevice = sourceDevice;
  m_drive = std::make_unique<DriveCtrl>(sourceDevice, false);
  checkMedium();
  if (const std::uint32_t r = m_drive->openReadOnly()) {
    KELSDK_LOG(kLogCheck, "open error");
    throwPxo(r, __FILE__, __LINE__, kFunction);
  }
  m_destRoot = withBackslash(root.empty() ? std::u16string(u"\\") : root);
  m_sourceRoot = sourceDevice + m_destRoot;
  if (const std::uint32_t r = m_drive->sendVolumeControl()) {
    KELSDK_LOG(kLogCheck, "protectVolumeFromChange error");
    noteEngineHost(kFunction);
    throwPxo(r, __FILE__, __LINE__, kFunction);
  }
  std::uint8_t identity[kVolumeIdentitySize] = {};
  if (!m_drive->getVolumeIdentity(identity)) {
    KELSDK_LOG(kLogCheck, "getVolumeIdentityInformation error");
    throwPxo(0x121000, __FILE__, __LINE__, kFunction);
  }
  m_mediaUniqueId.assign(reinterpret_cast<const char*>(identity), strnlen(reinterpret_cast<const char*>(identity), 32));
  KELSDK_LOG(kLogTrace, "MediaUniqueId=\"%s\"", m_mediaUniqueId.c_str());
  FileList list;
  if (const std::uint32_t r = m_drive->makeFileList(withoutBackslash(m_destRoot), list)) {
    KELSDK_LOG(kLogCheck, "makeFileList error");
    throwPxo(r, __FILE__, __LINE__, kFunction);
  }
  m_dirCount = list.dirCount;
  m_fileCount = list.itemCount;
  files = list.itemCount;
  size = list.totalSize;
  collectTree(list);
  m_copyCM = copyCM;
  if (copyCM) {
    m_haveLabel = m_drive->getVolumeLabel(m_label);
    if (!m_haveLabel) KELSDK_LOG(kLogTrace, "getVolumeLabel error");
    readCM();
  }
  return 0;
}

void Duplicate::collectTree(const FileList& list) {
  m_rootDir = std::make_shared<SourceDir>();
  m_entries.clear();
  if (!list.root) return;
  m_rootDir->attributes = list.root->attributes;
  // Depth first: a directory's files and links, then its directories.
  struct Walk {
    Duplicate& self;
    void operator()(const DirNode& node, SourceDir& dir) {
      for (const FileItem& item : node.items) {
        auto entry = std::make_shared<SourceEntry>();
        entry->name = dir.path + item.name;
        entry->isLink = (item.attributes & kFileAttrReparse) != 0;
        entry->size = entry->isLink ? 0 : item.size;
        entry->attributes = item.attributes;
        // The copy order: the size the list carries ahead of the attributes.
        self.m_entries.emplace(entry->size, entry);
      }
      for (const auto& sub : node.dirs) {
        auto child = std::make_shared<SourceDir>();
        child->path = dir.path + sub->name + u"\\";
        child->attributes = sub->attributes;
        dir.dirs.push_back(child);
        (*this)(*sub, *child);
      }
    }
  };
  Walk{*this}(*list.root, *m_rootDir);
}

void Duplicate::readCM() {
  m_attributes.clear();
  std::vector<std::uint16_t> ids{0x0806, 0x1505};
  for (std::uint16_t id = kFirstCMRange; id <= kLastCMRange; ++id) ids.push_back(id);
  for (const std::uint16_t id : ids) {
    Attribute a{id, 0, {}};
    if (m_drive->readAttribute(id, a.format, a.data) != 0) {
      KELSDK_LOG(kLogError, "MDCFSCTL_READ_ATTRIBUTE 0x%04X error", id);
      continue;
    }
    m_attributes.push_back(std::move(a));
  }
}

// --- running ---------------------------------------------------------------

std::uint32_t Duplicate::doDuplicateMedia(std::uint32_t policy, std::uint32_t mode, std::uint32_t kind,
                                          const std::u16string& destination, DuplicateResult& result,
                                          std::vector<DuplicateEntryResult>& list, bool restrictSpanning,
                                          PxoUtility::DuplicateMediaCallback* callback) {
  list.clear();
  result = DuplicateResult{};
  RunArgs args;
  args.progress.callback = callback;
  args.callback = callback;
  args.mode = mode;
  args.kind = kind;
  args.destGiven = destination;
  args.destRoot = withBackslash(destination);
  args.bufferSize = m_copyBufferSize ? m_copyBufferSize : kDefaultCopyBuffer;
  args.policy = policy;
  args.restrictSpanning = restrictSpanning;
  std::uint32_t r = 0;
  try {
    r = doDuplicateMediaImpl(args);
  } catch (...) {
    r = resultOfCurrentException();
  }
  buildResult(args, result, list);
  return r;
}

std::uint32_t Duplicate::doDuplicateMediaImpl(RunArgs& args) {
  KELSDK_LOG(kLogTrace, "[####]bRstrctDiscSpanning=%d", args.restrictSpanning ? 1 : 0);
  if (!m_rootDir) throwPxo(0x6000303, __FILE__, __LINE__, "Duplicate::doDuplicateMediaImpl");
  m_files = fileOperationMaker()();
  args.readSource = args.mode != kModeWrite;
  args.destSide = args.mode != kModeRetrieve;
  if (args.mode == kModeRetrieve && !m_temp) {
    m_temp = std::make_shared<TempDir>();
    m_temp->path = args.destRoot;
    m_tempIndex.clear();
    m_tempIndex[u""] = m_temp.get();
  }
  std::uint32_t r = createDirs(args);
  if (r == 0) {
    args.buffer.assign(args.bufferSize, 0);
    KELSDK_LOG(kLogTrace, "[####]args.bResrictDiscSpan=%d", args.restrictSpanning ? 1 : 0);
    std::vector<SourceEntry*> retry;
    r = copyPass(args, retry);
    if (r == 0) r = retryLoop(args, std::move(retry));
  }
  if (args.destSide) setAttributeDirs(args);
  if (m_copyCM && args.kind == kKindDrive && r != kDupCanceled) copyCM(args);
  std::vector<std::uint8_t>().swap(args.buffer);
  return r;
}

std::uint32_t Duplicate::createDirs(RunArgs& args) {
  std::vector<const SourceDir*> order;
  struct Walk {
    std::vector<const SourceDir*>& out;
    void operator()(const SourceDir& d) {
      for (const auto& c : d.dirs) {
        out.push_back(c.get());
        (*this)(*c);
      }
    }
  };
  Walk{order}(*m_rootDir);
  for (const SourceDir* d : order) {
    const std::u16string path = withoutBackslash(args.destRoot + d->path);
    const std::uint32_t r = m_files->createDirectory(path);
    if (r != 0) {
      KELSDK_LOG(kLogError, "createDir(%s) error %d", narrow(path).c_str(), static_cast<int>(r));
      if (r == 2) return args.destSide ? kDupDirExists : 0x06000104;
      return args.destSide ? kDupRootFailed : 0x06000202;
    }
    if (args.mode == kModeRetrieve) recordTemp(d->path, path, true);
  }
  return 0;
}

std::uint32_t Duplicate::copyPass(RunArgs& args, std::vector<SourceEntry*>& retry) {
  const bool plain = args.kind != kKindDrive;
  args.progress.kind = 1;
  for (auto& [key, entry] : m_entries) {
    if (const std::uint32_t r = doDuplicateMediaCopyImpl(*entry, args)) return r;
    ++args.progress.files;
    args.progress.base += entry->size;
    args.progress.highest = 0;
    args.progress.report(0, true);
    // A plain directory: each entry is verified at once.
    if (plain)
      if (const std::uint32_t r = doDuplicateMediaVerifyImpl(*entry, args, retry, false)) return r;
  }
  if (plain) return 0;
  args.progress.kind = 2;
  const std::uint64_t position = args.progress.base & kPositionMask;
  args.progress.base = position / 100 * 90 + position % 100 * 90 / 100;
  for (auto& [key, entry] : m_entries)
    if (const std::uint32_t r = doDuplicateMediaVerifyImpl(*entry, args, retry, true)) return r;
  return 0;
}

std::uint32_t Duplicate::retryLoop(RunArgs& args, std::vector<SourceEntry*> retry) {
  while (!retry.empty()) {
    args.progress.kind = 3;
    for (SourceEntry* e : retry)
      if (const std::uint32_t r = doDuplicateMediaCopyImpl(*e, args)) return r;
    std::vector<SourceEntry*> fresh;
    for (SourceEntry* e : retry)
      if (const std::uint32_t r = doDuplicateMediaVerifyImpl(*e, args, fresh, false)) return r;
    retry.swap(fresh);
  }
  return 0;
}

void Duplicate::setAttributeDirs(const RunArgs& args) {
  struct Walk {
    const RunArgs& args;
    FileOperationCallbackImpl& files;
    void operator()(const SourceDir& d) {
      for (const auto& c : d.dirs) {
        (*this)(*c);
        const std::u16string path = withoutBackslash(args.destRoot + c->path);
        if (!files.setFileAttribute(path, c->attributes))
          KELSDK_LOG(kLogError, "setFileAttribute (%s) error 0x%08X", narrow(path).c_str(), c->attributes);
      }
    }
  };
  Walk{args, *m_files}(*m_rootDir);
}

void Duplicate::copyCM(const RunArgs& args) {
  DriveCtrl dest(args.destGiven.substr(0, 2), false);
  if (m_haveLabel && !dest.setVolumeLabel(m_label))
    KELSDK_LOG(kLogError, "setVolumeLabel(%s) error", narrow(m_label).c_str());
  if (dest.openReadOnly() != 0) {
    KELSDK_LOG(kLogError, "open error");
    return;
  }
  for (const Attribute& a : m_attributes)
    if (dest.writeAttribute(a.id, a.format, static_cast<std::uint32_t>(a.data.size()), a.data.data()) != 0)
      KELSDK_LOG(kLogError, "MDCFSCTL_WRITE_ATTRIBUTE 0x%04X error", a.id);
}

void Duplicate::buildResult(const RunArgs& args, DuplicateResult& result,
                            std::vector<DuplicateEntryResult>& list) const {
  static constexpr std::uint8_t kBits[6] = {kFlagVerified, kFlagRenamed, kFlagRecovered,
                                            kFlagUnreadable, kFlagWriteFailed, kFlagSourceFailed};
  for (const auto& [key, e] : m_entries) {
    const std::uint8_t flags = e->flags[args.destSide ? 1 : 0];
    ++result.values[0];
    for (int i = 0; i < 6; ++i)
      if (flags & kBits[i]) ++result.values[1 + i];
    if (flags == 0) ++result.values[7];
    list.push_back({m_sourceRoot + e->name, args.destSide ? e->outputPath : e->tempPath, flags ? flags : kFlagNone});
  }
}

// --- the temporary copy ----------------------------------------------------

void Duplicate::recordTemp(const std::u16string& relative, const std::u16string& path, bool isDir) {
  if (!m_temp) return;
  auto parent = m_tempIndex.find(parentOf(relative));
  if (parent == m_tempIndex.end()) return;
  if (!isDir) {
    parent->second->files.push_back(path);
    return;
  }
  auto dir = std::make_shared<TempDir>();
  dir->path = path;
  parent->second->dirs.push_back(dir);
  m_tempIndex[relative] = dir.get();
}

void Duplicate::delTemp() {
  if (!m_temp) return;
  if (!m_files) m_files = fileOperationMaker()();
  struct Walk {
    FileOperationCallbackImpl& files;
    void operator()(const TempDir& d) {
      for (const auto& sub : d.dirs) {
        (*this)(*sub);
        if (!files.deleteDirectory(sub->path)) KELSDK_LOG(kLogError, "deleteDirectory(%s) error", narrow(sub->path).c_str());
      }
      for (const auto& f : d.files)
        if (!files.deleteFile(f)) KELSDK_LOG(kLogError, "deleteFile(%s) error", narrow(f).c_str());
    }
  };
  Walk{*m_files}(*m_temp);
  m_temp.reset();
  m_tempIndex.clear();
}

// --- drive checks ----------------------------------------------------------

std::uint32_t Duplicate::checkSrcDrive(std::uint32_t mode) {
  if (mode == kModeWrite) return 0;
  if (!m_drive) {
    KELSDK_LOG(kLogCheck, "m_pDriveCtrl is NULL");
    return 0;
  }
  MDCFS_MOUNT_INFORMATION info{};
  return m_drive->getMountInformation(info) == 0 ? 0 : kDupDriveGone;
}

std::uint32_t Duplicate::checkDestDrive(std::uint32_t kind, const std::u16string& root) {
  if (kind != kKindDrive) return 0;
  DriveCtrl dest(root.substr(0, 2), false);
  return dest.openReadOnly() == 0 ? 0 : kDupDriveGone;
}

}  // namespace PxoUtilityLib
