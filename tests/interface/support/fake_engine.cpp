#include "fake_engine.h"

#include "kel/mdcfs.h"
#include "kel/scsi.h"
#include "kel/volctrl.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace fakeengine {

namespace {

FakeEngine g_engine;

constexpr int kENOENT = 2;
constexpr int kE2BIG = 7;
constexpr int kEEXIST = 17;
constexpr int kENOTDIR = 20;
constexpr int kEISDIR = 21;
constexpr int kEINVAL = 22;
constexpr int kENOTEMPTY = 66;

std::string join(const char* folder, const char* name) {
  return FakeEngine::normalise(std::string(folder ? folder : "") + "/" + (name ? name : ""));
}

std::string parentOf(const std::string& normal) {
  const std::size_t p = normal.rfind('/');
  return p == 0 ? "/" : normal.substr(0, p);
}

std::string leafOf(const std::string& normal) { return normal.substr(normal.rfind('/') + 1); }

void* handleOf(const Node& n) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(n.id)); }

// The object record as GetInfo fills it: every field, the full extent count
// and exactly max extent entries when max is not 0 (the rest of the caller's
// record is not touched).
void fill(const std::string& normal, const Node& n, unsigned max, PKELFS_OBJECT_INFO info) {
  const std::string leaf = normal == "/" ? "" : leafOf(normal);
  std::memset(info->ObjectName, 0, sizeof info->ObjectName);
  std::strncpy(info->ObjectName, leaf.c_str(), sizeof info->ObjectName);
  info->Flags = n.flags;
  info->ObjectID = n.id;
  info->Mode = n.mode;
  info->Links = n.folder ? 2 : 1;
  info->Size = n.size;
  info->Type = n.folder ? 1 : 2;
  info->CreationTime = KELFS_TIME{1700000000, 1, 0};
  info->ModificationTime = KELFS_TIME{1700000100, 2, 0};
  info->AccessTime = KELFS_TIME{1700000200, 3, 0};
  info->IOSize = 0x10000;
  if (max) {
    info->SpaceEntries.Count = static_cast<std::uint32_t>(n.extents.size());
    for (unsigned i = 0; i < max; ++i) {
      KELFS_SPACE_ENTRY& e = info->SpaceEntries.Entries[i];
      if (i < n.extents.size()) e = KELFS_SPACE_ENTRY{n.extents[i].block, n.extents[i].blocks, 0};
      else e = KELFS_SPACE_ENTRY{0, 0, 0};
    }
  }
}

// ---- slots ----

int LogMessage(unsigned, int, const char*, int, const WCHAR* text) {
  g_engine.logs.push_back(text ? std::u16string(text) : std::u16string());
  return 0;
}

int MountDefault() {
  if (int r = g_engine.enter(kSlotMountDefault, "MountDefault()")) return r;
  g_engine.mounted = true;
  g_engine.mounted_at_rollback = false;
  return 0;
}

int Unmount(bool force) {
  if (int r = g_engine.enter(kSlotUnmount, force ? "Unmount(1)" : "Unmount(0)")) return r;
  g_engine.mounted = false;
  return 0;
}

int Format(bool backtrack, bool keep) {
  char text[40];
  std::snprintf(text, sizeof text, "Format(%d,%d)", backtrack, keep);
  if (int r = g_engine.enter(kSlotFormat, text)) return r;
  const std::uint32_t root = g_engine.nodes["/"].id;
  g_engine.nodes.clear();
  Node fresh;
  fresh.folder = true;
  fresh.id = root;
  g_engine.nodes["/"] = fresh;
  return 0;
}

int FsInfo(PKELFS_VOLUME_INFO info) {
  if (int r = g_engine.enter(kSlotFsInfo, "FsInfo()")) return r;
  if (!g_engine.mounted) return kENOENT;  // no root to ask
  std::memset(info, 0, sizeof *info);
  *info = g_engine.volume;
  info->ParityRatio = 0;
  return 0;
}

int Flush(bool full) { return g_engine.enter(kSlotFlush, full ? "Flush(1)" : "Flush(0)"); }

int Fsctl(unsigned code, void* buffer) {
  char text[40];
  std::snprintf(text, sizeof text, "Fsctl(0x%08X)", code);
  if (int r = g_engine.enter(kSlotFsctl, text)) return r;
  const auto answer = g_engine.fsctl_answers.find(code);
  if (answer != g_engine.fsctl_answers.end() && buffer)
    std::memcpy(buffer, answer->second.data(), answer->second.size());
  return 0;
}

int GetPathInfo(const char* path, unsigned max, PKELFS_OBJECT_INFO info) {
  const std::string normal = FakeEngine::normalise(path ? path : "");
  const std::string text = "GetPathInfo(" + std::string(path ? path : "") + "," + std::to_string(max) +
                           (info ? ")" : ",null)");
  if (int r = g_engine.enter(kSlotGetPathInfo, text, normal)) return r;
  if (!g_engine.mounted) return kENOENT;
  const Node* n = g_engine.find(normal);
  if (!n) return kENOENT;
  if (info) fill(normal, *n, max, info);
  return 0;
}

int CreateFile(const char* folder, const char* name, std::size_t name_size, char* name_out,
               void** handle) {
  const std::string normal = join(folder, name);
  if (int r = g_engine.enter(kSlotCreateFile, "CreateFile(" + std::string(folder) + "," + name + ")",
                             normal))
    return r;
  if (!g_engine.mounted) return kENOENT;
  Node* parent = g_engine.find(folder);
  if (!parent) return kENOENT;
  if (!parent->folder) return kENOTDIR;
  Node* n = g_engine.find(normal);
  if (!n) {
    g_engine.addFile(normal, g_engine.next_id++);
    n = g_engine.find(normal);
  } else if (n->folder) {
    return kEISDIR;
  }
  if (handle) {
    if (name_out && name_size) {
      std::strncpy(name_out, name, name_size);
    }
    *handle = handleOf(*n);
  }
  g_engine.last_created = normal;
  return 0;
}

int OpenFile(const char* path, int mode, void** handle) {
  const std::string normal = FakeEngine::normalise(path ? path : "");
  if (int r = g_engine.enter(kSlotOpenFile,
                             "OpenFile(" + std::string(path ? path : "") + "," + std::to_string(mode) + ")",
                             normal))
    return r;
  if (!g_engine.mounted) return kENOENT;
  const Node* n = g_engine.find(normal);
  if (!n) return kENOENT;
  *handle = handleOf(*n);
  return 0;
}

int CloseFile(void* handle, bool dummy) {
  if (int r = g_engine.enter(kSlotCloseFile, dummy ? "CloseFile(1)" : "CloseFile(0)",
                             g_engine.pathOf(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)))))
    return r;
  return g_engine.byHandle(handle) ? 0 : kEINVAL;
}

int FileIoctl(void*, unsigned code, void*) {
  char text[40];
  std::snprintf(text, sizeof text, "FileIoctl(0x%08X)", code);
  return g_engine.enter(kSlotFileIoctl, text);
}

int GetInfo(void* handle, unsigned max, PKELFS_OBJECT_INFO info) {
  if (int r = g_engine.enter(kSlotGetInfo, "GetInfo(" + std::to_string(max) + ")")) return r;
  Node* n = g_engine.byHandle(handle);
  if (!n) return kEINVAL;
  fill(g_engine.pathOf(n->id), *n, max, info);
  return 0;
}

int ReadData(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done) {
  Node* n = g_engine.byHandle(handle);
  const std::string path = n ? g_engine.pathOf(n->id) : "";
  if (int r = g_engine.enter(kSlotReadData,
                             "ReadData(" + std::to_string(offset) + "," + std::to_string(length) + ")", path))
    return r;
  if (!n) return kEINVAL;
  if (n->folder) return kEISDIR;
  std::uint64_t got = 0;
  if (offset < n->data.size()) got = std::min<std::uint64_t>(length, n->data.size() - offset);
  if (got) std::memcpy(buffer, n->data.data() + offset, got);
  *done = static_cast<int>(got);
  return 0;
}

int WriteData(void* handle, const void* buffer, std::uint64_t offset, unsigned length, int* done) {
  Node* n = g_engine.byHandle(handle);
  const std::string path = n ? g_engine.pathOf(n->id) : "";
  if (int r = g_engine.enter(kSlotWriteData,
                             "WriteData(" + std::to_string(offset) + "," + std::to_string(length) + ")", path))
    return r;
  if (!n) return kEINVAL;
  if (n->data.size() < offset + length) n->data.resize(offset + length);
  std::memcpy(n->data.data() + offset, buffer, length);
  n->size = n->data.size();
  *done = static_cast<int>(length);
  return 0;
}

int SetAttributes(void* handle, int mode) {
  if (int r = g_engine.enter(kSlotSetAttributes, "SetAttributes(" + std::to_string(mode) + ")")) return r;
  Node* n = g_engine.byHandle(handle);
  if (!n) return kEINVAL;
  n->mode = static_cast<std::uint32_t>(mode) & 0xFFFF;
  return 0;
}

int SetFileTimes(void* handle, const timespec*, const timespec*, const timespec*) {
  if (int r = g_engine.enter(kSlotSetFileTimes, "SetFileTimes()")) return r;
  return g_engine.byHandle(handle) ? 0 : kEINVAL;
}

int SetFileSize(void* handle, std::uint64_t size) {
  if (int r = g_engine.enter(kSlotSetFileSize, "SetFileSize(" + std::to_string(size) + ")")) return r;
  Node* n = g_engine.byHandle(handle);
  if (!n) return kEINVAL;
  n->size = size;
  n->data.resize(size);
  return 0;
}

int MoveNode(int slot, const char* name, const char* of, const char* on, const char* nf, const char* nn) {
  const std::string from = join(of, on);
  const std::string to = join(nf, nn);
  if (int r = g_engine.enter(slot,
                             std::string(name) + "(" + of + "," + on + "," + nf + "," + nn + ")", from))
    return r;
  if (!g_engine.mounted) return kENOENT;
  if (!g_engine.find(from) || from == "/") return kENOENT;
  Node* dest = g_engine.find(nf);
  if (!dest) return kENOENT;
  if (!dest->folder) return kENOTDIR;
  if (g_engine.find(to)) return kEEXIST;
  if (to.compare(0, from.size() + 1, from + "/") == 0) return kEINVAL;  // into itself
  // Move the node and everything below it.
  std::vector<std::pair<std::string, Node>> moved;
  for (auto it = g_engine.nodes.begin(); it != g_engine.nodes.end();) {
    if (it->first == from || it->first.compare(0, from.size() + 1, from + "/") == 0) {
      moved.emplace_back(to + it->first.substr(from.size()), std::move(it->second));
      it = g_engine.nodes.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [p, n] : moved) g_engine.nodes[p] = std::move(n);
  auto& old_children = g_engine.nodes[parentOf(from)].children;
  old_children.erase(std::find(old_children.begin(), old_children.end(), leafOf(from)));
  g_engine.nodes[parentOf(to)].children.push_back(leafOf(to));
  return 0;
}

int Rename(const char* of, const char* on, const char* nf, const char* nn) {
  return MoveNode(kSlotRename, "Rename", of, on, nf, nn);
}
int RenameDir(const char* of, const char* on, const char* nf, const char* nn) {
  return MoveNode(kSlotRenameDir, "RenameDir", of, on, nf, nn);
}

int RemoveNode(int slot, const char* name, const char* folder, const char* leaf, bool want_folder) {
  const std::string normal = join(folder, leaf);
  if (int r = g_engine.enter(slot, std::string(name) + "(" + folder + "," + leaf + ")", normal)) return r;
  if (!g_engine.mounted) return kENOENT;
  Node* n = g_engine.find(normal);
  if (!n || normal == "/") return kENOENT;
  if (want_folder && !n->folder) return kENOTDIR;
  if (!want_folder && n->folder) return kEISDIR;
  if (n->folder && !n->children.empty()) return kENOTEMPTY;
  g_engine.nodes.erase(normal);
  auto& children = g_engine.nodes[parentOf(normal)].children;
  children.erase(std::find(children.begin(), children.end(), leafOf(normal)));
  return 0;
}

int DeleteFile(const char* folder, const char* name) {
  return RemoveNode(kSlotDeleteFile, "DeleteFile", folder, name, false);
}
int DeleteDirectory(const char* folder, const char* name) {
  return RemoveNode(kSlotDeleteDirectory, "DeleteDirectory", folder, name, true);
}

int CreateDirectory(const char* folder, const char* name, bool hidden) {
  const std::string normal = join(folder, name);
  if (int r = g_engine.enter(kSlotCreateDirectory,
                             "CreateDirectory(" + std::string(folder) + "," + name + "," +
                                 (hidden ? "1" : "0") + ")",
                             normal))
    return r;
  if (!g_engine.mounted) return kENOENT;
  Node* parent = g_engine.find(folder);
  if (!parent) return kENOENT;
  if (!parent->folder) return kENOTDIR;
  if (g_engine.find(normal)) return kEEXIST;
  g_engine.addFolder(normal, g_engine.next_id++);
  g_engine.find(normal)->hidden = hidden;
  return 0;
}

std::int64_t ReadDirectory(void* context, std::uint64_t user, const char* path,
                           pfnReadDirectoryCallback callback) {
  const std::string normal = FakeEngine::normalise(path ? path : "");
  if (int r = g_engine.enter(kSlotReadDirectory, "ReadDirectory(" + std::string(path ? path : "") + ")",
                             normal))
    return r;
  if (!g_engine.mounted) return kENOENT;
  const Node* n = g_engine.find(normal);
  if (!n) return kENOENT;
  if (!n->folder) return kENOTDIR;
  struct Entry {
    std::string name;
    std::uint32_t id;
    bool folder;
  };
  std::vector<Entry> entries;
  if (g_engine.list_dots) {
    entries.push_back({".", n->id, true});
    entries.push_back({"..", g_engine.nodes[parentOf(normal)].id, true});
  }
  for (const std::string& c : n->children) {
    const Node* child = g_engine.find(normal == "/" ? "/" + c : normal + "/" + c);
    entries.push_back({c, child->id, child->folder});
  }
  for (const Entry& e : entries) {
    if (e.name.size() > 4095) return kE2BIG;
    KELFS_OBJECT_INFO record;
    std::memset(&record, 0, sizeof record);
    record.ObjectID = e.id;
    record.Type = e.folder ? 1 : 2;
    std::memcpy(record.ObjectName, e.name.data(), e.name.size());
    const std::int64_t r = callback(context, user, path, &record);
    // The record was the engine's: scribble over it, as its stack would be.
    std::memset(&record, 0xA5, sizeof record);
    if (r != 0) return r;
  }
  return 0;
}

int MountRollback(unsigned slot, unsigned fe, unsigned fsd) {
  char text[64];
  std::snprintf(text, sizeof text, "MountRollback(%u,%u,%u)", slot, fe, fsd);
  if (int r = g_engine.enter(kSlotMountRollback, text)) return r;
  g_engine.mounted = true;
  g_engine.mounted_at_rollback = true;
  return 0;
}

int GetMediumType() { return g_engine.medium_type; }

const FileSystemOperations kOperations = {
    LogMessage,    MountDefault, Unmount,       Format,       FsInfo,        Flush,
    Fsctl,         GetPathInfo,  CreateFile,    OpenFile,     CloseFile,     FileIoctl,
    GetInfo,       ReadData,     WriteData,     SetAttributes, SetFileTimes, SetFileSize,
    Rename,        DeleteFile,   CreateDirectory, RenameDir,  DeleteDirectory, ReadDirectory,
    MountRollback, GetMediumType,
};

}  // namespace

// ---- FakeEngine ----

bool FakeEngine::NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
  });
}

std::string FakeEngine::normalise(const std::string& path) {
  std::string out;
  std::size_t at = 0;
  while (at < path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) out += "/" + path.substr(at, end - at);
    at = end + 1;
  }
  return out.empty() ? "/" : out;
}

void FakeEngine::reset() {
  mounted = false;
  mounted_at_rollback = false;
  volume = KELFS_VOLUME_INFO{};
  medium_type = 0xE1;
  list_dots = true;
  fsctl_answers.clear();
  // A volume with room unless a test says otherwise: a failed write is
  // answered disc full when the size record shows no free block.
  MDCFS_STATFS_SIZEINFO size{};
  size.BlockSize = 2048;
  size.TotalBlocks = 1000;
  size.FreeBlocks = 1000;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&size);
  fsctl_answers[kel::kFsctlGetStatfsSizeInfo].assign(bytes, bytes + sizeof size);
  next_id = 1000;
  last_created.clear();
  calls.clear();
  logs.clear();
  nodes.clear();
  next_.clear();
  by_path_.clear();
  Node root;
  root.folder = true;
  root.id = 1;
  nodes["/"] = root;
}

void FakeEngine::addFolder(const std::string& path, std::uint32_t id) {
  const std::string normal = normalise(path);
  if (nodes.count(normal)) return;
  const std::string parent = parentOf(normal);
  if (!nodes.count(parent)) addFolder(parent);
  Node n;
  n.folder = true;
  n.id = id ? id : next_id++;
  nodes[normal] = n;
  nodes[parent].children.push_back(leafOf(normal));
}

void FakeEngine::addFile(const std::string& path, std::uint32_t id, std::uint64_t size,
                         std::vector<Extent> extents, std::vector<std::uint8_t> data) {
  const std::string normal = normalise(path);
  const std::string parent = parentOf(normal);
  if (!nodes.count(parent)) addFolder(parent);
  Node n;
  n.id = id;
  n.size = data.empty() ? size : data.size();
  n.extents = std::move(extents);
  n.data = std::move(data);
  if (!nodes.count(normal)) nodes[parent].children.push_back(leafOf(normal));
  nodes[normal] = std::move(n);
}

Node* FakeEngine::find(const std::string& path) {
  auto it = nodes.find(normalise(path));
  return it == nodes.end() ? nullptr : &it->second;
}

std::string FakeEngine::pathOf(std::uint32_t id) const {
  for (const auto& [p, n] : nodes)
    if (n.id == id) return p;
  return "";
}

Node* FakeEngine::byHandle(void* handle) {
  const auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
  for (auto& [p, n] : nodes)
    if (n.id == id) return &n;
  return nullptr;
}

void FakeEngine::failNext(int slot, int result, int times) {
  for (int i = 0; i < times; ++i) next_[slot].push_back(result);
}

void FakeEngine::failPath(int slot, const std::string& path, int result) {
  by_path_[{slot, normalise(path)}] = result;
}

int FakeEngine::enter(int slot, const std::string& text, const std::string& path) {
  const kel::DriveCommandContext ctx = kel::CurrentDriveCommandContext();
  calls.push_back(Call{slot, text, ctx.SequenceNumber, ctx.Phase});
  auto q = next_.find(slot);
  if (q != next_.end() && !q->second.empty()) {
    const int r = q->second.front();
    q->second.pop_front();
    return r;
  }
  if (!path.empty()) {
    auto p = by_path_.find({slot, path});
    if (p != by_path_.end()) return p->second;
  }
  return 0;
}

std::vector<std::string> FakeEngine::texts(int slot) const {
  std::vector<std::string> out;
  for (const Call& c : calls)
    if (slot < 0 || c.slot == slot) out.push_back(c.text);
  return out;
}

std::vector<Call> FakeEngine::callsOf(int slot) const {
  std::vector<Call> out;
  for (const Call& c : calls)
    if (c.slot == slot) out.push_back(c);
  return out;
}

FakeEngine& engine() { return g_engine; }
const FileSystemOperations& operations() { return kOperations; }

}  // namespace fakeengine
