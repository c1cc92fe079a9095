// The tree of directories and files below a directory of a mounted volume,
// built from the flat node list of the file-node-list device control, and
// the records of that control on both sides of the volume handle.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace PxoUtilityLib {

// Device controls of a volume handle that the duplication sends.
constexpr std::uint32_t kCtlFileNodeList = 0xC1247056;
constexpr std::uint32_t kCtlVolumeIdentity = 0x402C7050;
constexpr std::uint32_t kCtlDiscUsage = 0x40147054;
constexpr std::uint32_t kCtlGetFileCount = 0xC0087010;
constexpr std::uint32_t kCtlFlushVolumeBuffers = 0x80047062;
constexpr std::uint32_t kCtlCommitNewTrack = 0x20007053;

constexpr std::uint32_t kFileAttrReadOnly = 0x01;
constexpr std::uint32_t kFileAttrDirectory = 0x10;
constexpr std::uint32_t kFileAttrNormal = 0x80;
constexpr std::uint32_t kFileAttrReparse = 0x400;

#pragma pack(push, 1)
// One node of the SDK's side of the list.
struct NodeRecord {
  std::uint64_t id;
  std::uint64_t parent;
  std::uint64_t size;
  std::uint32_t attributes;
  char16_t name[128];
};
// The engine's request record and one of its short node entries.
struct EngineNodeListRecord {
  std::uint32_t pathLength;  // bytes, terminator included
  std::uint64_t path;
  std::uint8_t reserved12[256];
  std::uint32_t count;    // out: files and directories of the volume
  std::uint32_t written;  // out: entries written
  std::uint32_t bufferSize;
  std::uint64_t buffer;
  std::uint32_t reserved288;
};
struct EngineNodeEntry {
  std::uint64_t id;
  std::uint64_t parent;
  std::uint64_t size;
  std::uint32_t attributes;
  char name[976];
};
struct DiscUsageInformation {
  std::uint8_t TotalNumberOfDiscs;
  std::uint8_t CurrentDiscIndex;
  std::uint8_t Condition;
  std::uint8_t LastWrittenDiscIndex;
  std::uint64_t TotalSize;
  std::uint64_t RemainingSize;
};
#pragma pack(pop)
static_assert(sizeof(NodeRecord) == 284 && offsetof(NodeRecord, name) == 28);
static_assert(sizeof(EngineNodeListRecord) == 292 && offsetof(EngineNodeListRecord, count) == 268 &&
              offsetof(EngineNodeListRecord, buffer) == 280);
static_assert(sizeof(EngineNodeEntry) == 1004 && offsetof(EngineNodeEntry, name) == 28);
static_assert(sizeof(DiscUsageInformation) == 20 && offsetof(DiscUsageInformation, RemainingSize) == 12);

constexpr std::uint32_t kNodeListHeader = 8;
constexpr std::uint32_t kVolumeIdentitySize = 44;

struct FileItem {
  std::u16string name;
  std::uint64_t id = 0;
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;  // 0 for a link
};

struct DirNode {
  std::u16string name;
  std::uint64_t id = 0;
  DirNode* parent = nullptr;
  std::uint32_t attributes = 0;
  std::vector<std::shared_ptr<DirNode>> dirs;
  std::vector<FileItem> items;
};

struct FileList {
  std::uint32_t nodeCount = 0;  // as the first call reported it
  std::shared_ptr<DirNode> root;
  std::uint32_t itemCount = 0;
  std::uint32_t dirCount = 0;
  std::uint64_t totalSize = 0;
  void clear() { *this = FileList{}; }
};

// The SDK side of the node-list control served from the engine's
// (VolumeControl): a count query when the output holds no record, else the
// translated walk.
DWORD serveFileNodeList(const void* input, std::uint32_t inputLength, void* output, std::uint32_t capacity,
                        std::uint32_t* returned);
// The other duplication controls the engine answers with the same records.
DWORD serveDuplicationControl(std::uint32_t code, void* output, std::uint32_t capacity, std::uint32_t* returned);

// Strict conversions: false for a lone surrogate or a bad UTF-8 sequence.
bool utf16ToUtf8(const std::u16string& text, std::string& out);
bool utf8ToUtf16(const char* text, std::size_t length, std::u16string& out);

// The last component of a '\'- or '/'-separated path (empty for a root).
std::u16string lastComponent(const std::u16string& path);

}  // namespace PxoUtilityLib
