// The file-node list: the engine's walk translated into the SDK's records
// on the volume handle, and the tree built from them; with the other volume
// controls of the duplication.
#include "file_list.h"

#include "drive_ctrl.h"
#include "sdk_frame.h"

#include "kel/errors.h"

#include <cstring>
#include <limits>

namespace PxoUtilityLib {

namespace {

constexpr std::uint32_t kListError = 0x121800;
constexpr std::uint32_t kAnalyseError = 0x6000301;
constexpr std::size_t kNameUnits = 128;
// Most entries one engine buffer can hold (its size is a u32 of bytes).
constexpr std::uint32_t kMaxEngineEntries = 0xFFFFFFFFu / sizeof(EngineNodeEntry);

DWORD callEngine(std::uint32_t code, void* record) {
  const KelSdkControlCallback control = hostCallbacks().control;
  if (!control) return kNoCallbackResult;
  return kel::Win32FromEngineResult(control(code, record));
}

// The SDK's path (relative to the volume, '\'-separated) as the engine's:
// '/'-separated UTF-8 from the root, no trailing '/'.
bool enginePath(const std::u16string& path, std::string& out) {
  std::u16string p = path;
  for (char16_t& c : p)
    if (c == u'\\') c = u'/';
  if (p.empty() || p[0] != u'/') p.insert(p.begin(), u'/');
  while (p.size() > 1 && p.back() == u'/') p.pop_back();
  return utf16ToUtf8(p, out);
}

DWORD translateEntry(const EngineNodeEntry& in, const std::u16string* ownName, NodeRecord& out) {
  out = NodeRecord{};
  out.id = in.id;
  out.parent = in.parent;
  out.size = in.size;
  out.attributes = in.attributes & (kFileAttrDirectory | kFileAttrReadOnly | kFileAttrReparse);
  std::u16string name;
  if (ownName) {
    name = *ownName;
  } else {
    const void* end = std::memchr(in.name, 0, sizeof in.name);
    if (!end) return ERROR_INVALID_DATA;  // the engine's name has no terminator
    if (!utf8ToUtf16(in.name, static_cast<const char*>(end) - in.name, name)) return ERROR_INVALID_DATA;
  }
  // A name that does not fit is refused, never cut.
  if (name.size() > kNameUnits) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(out.name, name.data(), name.size() * sizeof(char16_t));
  return 0;
}

}  // namespace

bool utf16ToUtf8(const std::u16string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

bool utf8ToUtf16(const char* text, std::size_t length, std::u16string& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < length) {
    const unsigned char b = s[i];
    std::uint32_t c;
    std::size_t n;
    if (b < 0x80) { c = b; n = 0; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 1; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 2; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; n = 3; }
    else return false;
    if (i + n >= length) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += n + 1;
  }
  return true;
}

std::u16string lastComponent(const std::u16string& path) {
  std::size_t end = path.size();
  while (end > 0 && (path[end - 1] == u'\\' || path[end - 1] == u'/')) --end;
  std::size_t start = end;
  while (start > 0 && path[start - 1] != u'\\' && path[start - 1] != u'/') --start;
  return path.substr(start, end - start);
}

DWORD serveFileNodeList(const void* input, std::uint32_t inputLength, void* output, std::uint32_t capacity,
                        std::uint32_t* returned) {
  if (!input || inputLength % 2 != 0 || !output) return ERROR_INVALID_PARAMETER;
  if (capacity < kNodeListHeader) return ERROR_INSUFFICIENT_BUFFER;
  std::u16string requested(inputLength / 2, u'\0');
  std::memcpy(requested.data(), input, inputLength);
  std::string path;
  if (!enginePath(requested, path)) return ERROR_INVALID_NAME;
  EngineNodeListRecord record{};
  record.pathLength = static_cast<std::uint32_t>(path.size() + 1);
  record.path = reinterpret_cast<std::uintptr_t>(path.c_str());
  auto* out = static_cast<std::uint8_t*>(output);
  const std::uint32_t room = (capacity - kNodeListHeader) / sizeof(NodeRecord);
  if (room == 0) {
    // The count query: the engine counts the volume's nodes without the
    // root; the root's walk holds one more.
    if (const DWORD e = callEngine(kCtlFileNodeList, &record)) return e;
    if (record.count == std::numeric_limits<std::uint32_t>::max()) return ERROR_INVALID_DATA;
    const std::uint32_t header[2] = {record.count + 1, 0};
    std::memcpy(out, header, sizeof header);
    if (returned) *returned = kNodeListHeader;
    return 0;
  }
  // One entry beyond what the SDK's buffer holds tells a walk that does not fit.
  const std::uint32_t entries = std::min(room, kMaxEngineEntries - 1) + 1;
  std::vector<EngineNodeEntry> engine(entries);
  record.bufferSize = static_cast<std::uint32_t>(entries * sizeof(EngineNodeEntry));
  record.buffer = reinterpret_cast<std::uintptr_t>(engine.data());
  if (const DWORD e = callEngine(kCtlFileNodeList, &record)) return e;
  if (record.written > entries) return ERROR_INVALID_DATA;
  if (record.written > room || record.written == entries) return ERROR_MORE_DATA;
  const std::u16string ownName = lastComponent(requested);
  for (std::uint32_t i = 0; i < record.written; ++i) {
    NodeRecord node;
    if (const DWORD e = translateEntry(engine[i], i == 0 ? &ownName : nullptr, node)) return e;
    std::memcpy(out + kNodeListHeader + static_cast<std::size_t>(i) * sizeof node, &node, sizeof node);
  }
  const std::uint32_t header[2] = {record.written, record.written};
  std::memcpy(out, header, sizeof header);
  if (returned) *returned = kNodeListHeader + record.written * static_cast<std::uint32_t>(sizeof(NodeRecord));
  return 0;
}

DWORD serveDuplicationControl(std::uint32_t code, void* output, std::uint32_t capacity, std::uint32_t* returned) {
  std::uint32_t size = 0;
  switch (code) {
    case kCtlVolumeIdentity: size = kVolumeIdentitySize; break;
    case kCtlDiscUsage: size = sizeof(DiscUsageInformation); break;
    case kCtlGetFileCount: size = 8; break;
    case kCtlCommitNewTrack: return callEngine(code, nullptr);
    case kCtlFlushVolumeBuffers: {
      std::uint32_t flags = 0;  // the engine reads a flags record; the SDK sends none
      return callEngine(code, &flags);
    }
    default: return ERROR_INVALID_FUNCTION;
  }
  if (!output || capacity < size) return ERROR_INSUFFICIENT_BUFFER;
  std::vector<std::uint8_t> record(size);
  if (const DWORD e = callEngine(code, record.data())) return e;
  std::memcpy(output, record.data(), size);
  if (returned) *returned = size;
  return 0;
}

// --- the drive control's side ---------------------------------------------

namespace {

struct Builder {
  FileList& list;
  DirNode* last = nullptr;

  DirNode* findParent(std::uint64_t parent) const {
    for (DirNode* d = last; d; d = d->parent)
      if (d->id == parent) return d;
    return nullptr;
  }

  bool attach(const NodeRecord& r, const std::u16string& name) {
    DirNode* parent = findParent(r.parent);
    if (!parent) {
      KELSDK_LOG(kLogError, "MDCFSCTL_GET_FILE_NODE_LIST analize error name(%s) not found", narrow(name).c_str());
      return false;
    }
    if (r.attributes & kFileAttrReparse) {
      KELSDK_LOG(kLogTrace, "%s is symlink", narrow(name).c_str());
      parent->items.push_back({name, r.id, r.attributes, 0});
      ++list.itemCount;
    } else if (r.attributes & kFileAttrDirectory) {
      auto dir = std::make_shared<DirNode>();
      dir->name = name;
      dir->id = r.id;
      dir->parent = parent;
      dir->attributes = r.attributes;
      parent->dirs.push_back(dir);
      last = dir.get();
      ++list.dirCount;
    } else {
      parent->items.push_back({name, r.id, r.attributes, r.size});
      list.totalSize += r.size;
      ++list.itemCount;
    }
    return true;
  }
};

std::u16string recordName(const NodeRecord& r) {
  std::size_t n = 0;
  while (n < 128 && r.name[n] != 0) ++n;
  return std::u16string(r.name, n);
}

}  // namespace

std::uint32_t DriveCtrl::makeFileList(const std::u16string& directory, FileList& list) {
  list.clear();
  openCheck();
  const auto inputLength = static_cast<std::uint32_t>(directory.size() * sizeof(char16_t));
  std::uint8_t head[kNodeListHeader] = {};
  std::uint32_t returned = 0;
  if (!wrapperDeviceIoControl(volume(), kCtlFileNodeList, directory.data(), inputLength, head, sizeof head,
                              &returned)) {
    KELSDK_LOG(kLogError, "getFileNodeListNum error =0x%X", static_cast<unsigned>(GetLastError()));
    return kListError;
  }
  std::uint32_t count = 0;
  std::memcpy(&count, head, 4);
  list.nodeCount = count;
  if (count == 0) return 0;
  if (count > (0xFFFFFFFFu - kNodeListHeader) / sizeof(NodeRecord)) {
    KELSDK_LOG(kLogError, "getFileNodeList error =0x%X", static_cast<unsigned>(ERROR_INSUFFICIENT_BUFFER));
    return kListError;
  }
  const std::uint32_t offered = count * static_cast<std::uint32_t>(sizeof(NodeRecord)) + kNodeListHeader;
  std::vector<std::uint8_t> buffer(offered);
  if (!wrapperDeviceIoControl(volume(), kCtlFileNodeList, directory.data(), inputLength, buffer.data(), offered,
                              &returned)) {
    KELSDK_LOG(kLogError, "getFileNodeList error =0x%X", static_cast<unsigned>(GetLastError()));
    return kListError;
  }
  std::uint32_t records = 0;
  std::memcpy(&records, buffer.data() + 4, 4);
  if (records > count || returned < kNodeListHeader + static_cast<std::uint64_t>(records) * sizeof(NodeRecord)) {
    KELSDK_LOG(kLogError, "getFileNodeList error =0x%X", static_cast<unsigned>(ERROR_INVALID_DATA));
    return kListError;
  }
  if (records == 0) return 0;
  auto node = [&](std::uint32_t i) {
    NodeRecord r;
    std::memcpy(&r, buffer.data() + kNodeListHeader + static_cast<std::size_t>(i) * sizeof r, sizeof r);
    return r;
  };
  const NodeRecord first = node(0);
  const std::u16string wanted = lastComponent(directory);
  if (recordName(first) != wanted) {
    KELSDK_LOG(kLogError, "MDCFSCTL_GET_FILE_NODE_LIST analize error root name(%s) not specified name(%s)",
               narrow(recordName(first)).c_str(), narrow(wanted).c_str());
    return kAnalyseError;
  }
  if (!(first.attributes & kFileAttrDirectory)) {
    KELSDK_LOG(kLogError, "MDCFSCTL_GET_FILE_NODE_LIST analize error root not has FILE_ATTRIBUTE_DIRECTORY");
    return kAnalyseError;
  }
  list.root = std::make_shared<DirNode>();
  list.root->name = recordName(first);
  list.root->id = first.id;
  list.root->attributes = first.attributes;
  Builder builder{list, list.root.get()};
  for (std::uint32_t i = 1; i < records; ++i) {
    const NodeRecord r = node(i);
    if (!builder.attach(r, recordName(r))) return kAnalyseError;
  }
  return 0;
}

bool DriveCtrl::volumeRecord(std::uint32_t code, void* output, std::uint32_t size) {
  openCheck();
  std::uint32_t returned = 0;
  return wrapperDeviceIoControl(volume(), code, nullptr, 0, output, size, &returned) && returned >= size;
}

bool DriveCtrl::getVolumeIdentity(std::uint8_t (&record)[kVolumeIdentitySize]) {
  return volumeRecord(kCtlVolumeIdentity, record, sizeof record);
}

bool DriveCtrl::getDiscUsageInformation(DiscUsageInformation& info) {
  return volumeRecord(kCtlDiscUsage, &info, sizeof info);
}

bool DriveCtrl::getFileCount(std::uint32_t& files, std::uint32_t& directories) {
  std::uint32_t counts[2] = {};
  if (!volumeRecord(kCtlGetFileCount, counts, sizeof counts)) return false;
  files = counts[0];
  directories = counts[1];
  return true;
}

bool DriveCtrl::flushVolumeBuffers() {
  openCheck();
  return wrapperDeviceIoControl(volume(), kCtlFlushVolumeBuffers, nullptr, 0, nullptr, 0, nullptr);
}

bool DriveCtrl::commitNewTrack() {
  openCheck();
  return wrapperDeviceIoControl(volume(), kCtlCommitNewTrack, nullptr, 0, nullptr, 0, nullptr);
}

}  // namespace PxoUtilityLib
