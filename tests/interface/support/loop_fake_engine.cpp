#include "loop_fake_engine.h"

#include "platform/codepage.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace looptest {

namespace {
FakeEngine g_engine;

void note(const std::string& line) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  g_engine.calls.push_back(line);
}

int LogMessage(unsigned level, int, const char* function, int, const WCHAR* text) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  g_engine.calls.push_back("LogMessage");
  g_engine.log_levels.push_back(level);
  g_engine.log_functions.push_back(function ? function : "");
  g_engine.log_texts.push_back(text ? std::u16string(text) : std::u16string());
  return 0;
}
int MountDefault() { note("MountDefault"); return 0; }
int Unmount(bool force) {
  note(force ? "Unmount(true)" : "Unmount(false)");
  g_engine.unmount_context = kel::CurrentDriveCommandContext();
  return g_engine.unmount_result;
}
int Format(bool, bool) { note("Format"); return 0; }
int FsInfo(PKELFS_VOLUME_INFO info) {
  note("FsInfo");
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (g_engine.fill_volume && info) *info = g_engine.volume;
  return 0;
}
int Flush(bool) { note("Flush"); return 0; }
int Rebuild(const void* data);

int Fsctl(unsigned code, void* data) {
  if (g_engine.fsctl_hook) g_engine.fsctl_hook(code);
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (g_engine.packed_store && code == 0x20007001) g_engine.privileged_open.clear();
  if (g_engine.packed_store && code == 0x80247061 && data && !g_engine.fsctl_results.count(code)) {
    g_engine.calls.push_back("Fsctl(0x80247061)");
    g_engine.fsctl_codes.push_back(code);
    g_engine.fsctl_in.emplace_back(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + 36);
    return Rebuild(data);
  }
  char text[32];
  std::snprintf(text, sizeof text, "Fsctl(0x%08X)", code);
  g_engine.calls.push_back(text);
  g_engine.fsctl_codes.push_back(code);
  std::vector<std::uint8_t> in;
  if ((code & 0x80000000u) && data) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    in.assign(bytes, bytes + ((code >> 16) & 0x1FFF));
  }
  g_engine.fsctl_in.push_back(in);
  auto next_out = g_engine.fsctl_out_next.find(code);
  if (next_out != g_engine.fsctl_out_next.end() && !next_out->second.empty()) {
    if (data) std::memcpy(data, next_out->second.front().data(), next_out->second.front().size());
    next_out->second.pop_front();
  } else {
    auto out = g_engine.fsctl_out.find(code);
    if (out != g_engine.fsctl_out.end() && data)
      std::memcpy(data, out->second.data(), out->second.size());
  }
  // The packed store's writes move the next writable block.
  if (g_engine.packed_store && code == 0xC0107016 && data) {
    auto* nwa = static_cast<std::uint8_t*>(data) + 8;
    std::uint32_t v;
    std::memcpy(&v, nwa, 4);
    v = std::max(v, g_engine.allocated_end);
    std::memcpy(nwa, &v, 4);
  }
  auto next = g_engine.fsctl_results_next.find(code);
  if (next != g_engine.fsctl_results_next.end() && !next->second.empty()) {
    const int r = next->second.front();
    next->second.pop_front();
    return r;
  }
  auto r = g_engine.fsctl_results.find(code);
  return r == g_engine.fsctl_results.end() ? 0 : r->second;
}
int GetPathInfo(const char* path, unsigned max_extents, PKELFS_OBJECT_INFO info) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  g_engine.calls.push_back("GetPathInfo");
  g_engine.getpathinfo_paths.push_back(path ? path : "");
  g_engine.getpathinfo_extents.push_back(max_extents);
  if (!g_engine.file_store || g_engine.getpathinfo_result) return g_engine.getpathinfo_result;
  auto f = g_engine.files.find(path ? path : "");
  if (f == g_engine.files.end()) return 2;
  if (info) {
    info->Size = f->second.data.size();
    info->ObjectID = f->second.id;
    info->Mode = static_cast<std::uint32_t>(f->second.mode);
    info->Type = 2;
  }
  return 0;
}
// The file store's slots (the engine lock is held by the caller).
namespace store {
int result(const char* slot, int fallback = 0) {
  auto r = g_engine.slot_results.find(slot);
  return r == g_engine.slot_results.end() ? fallback : r->second;
}
FakeFile* fileOf(void* handle) {
  auto h = g_engine.open_handles.find(handle);
  if (h == g_engine.open_handles.end()) return nullptr;
  auto f = g_engine.files.find(h->second);
  return f == g_engine.files.end() ? nullptr : &f->second;
}
std::string pathOf(void* handle) {
  auto h = g_engine.open_handles.find(handle);
  return h == g_engine.open_handles.end() ? "?" : h->second;
}
void info(const FakeFile& f, PKELFS_OBJECT_INFO out) {
  out->Size = f.data.size();
  out->ObjectID = f.id;
  out->Mode = static_cast<std::uint32_t>(f.mode);
  out->Type = 2;
}
// MDCFSCTL_GET_REAL_PXOFILENAME: the store's files are their own proxies,
// so the path of the handle's file.
int realName(void* handle, void* data) {
  if (!fileOf(handle) || !data) return 9;
  const std::string path = pathOf(handle);
  std::uint32_t size;
  std::memcpy(&size, data, 4);
  if (size == 0) {
    size = static_cast<std::uint32_t>(path.size() + 1);
    std::memcpy(data, &size, 4);
    return 0;
  }
  std::uint64_t address;
  std::memcpy(&address, static_cast<const std::uint8_t*>(data) + 4, 8);
  std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), path.c_str(),
              std::min<std::size_t>(size, path.size() + 1));
  return 0;
}
int fileIoctl(FakeFile* f, unsigned code, void* data) {
  if (!f) return 9;
  auto* buffer = static_cast<MDCFS_SPACE_ENTRIES_BUFFER*>(data);
  if (code == 0x800C7080) {  // MDCFSCTL_CUSTOMIZE_FILE_SETTING
    f->manual = (static_cast<const MDCFS_CUSTOM_FILE_SETTING*>(data)->Control & 1) != 0;
  } else if ((code == 0x800C7083 || code == 0x80107085) && g_engine.manual_allocation && !f->manual) {
    return 22;  // add or reallocate: not a manual-allocation file
  } else if (code == 0x800C7083) {  // MDCFSCTL_ADD_FILE_ALLOCATION
    if (buffer->TotalSpaceCount == 0) return 22;
    const auto* e = reinterpret_cast<const MDCFS_SPACE_ENTRY*>(buffer->SpaceEntries);
    f->extents.insert(f->extents.end(), e, e + buffer->TotalSpaceCount);
    for (std::uint32_t i = 0; i < buffer->TotalSpaceCount; ++i)
      if (e[i].ZoneId >= 0)
        g_engine.allocated_end = std::max(g_engine.allocated_end,
                                          static_cast<std::uint32_t>(e[i].BlockOffset + e[i].NumberOfBlocks));
  } else if (code == 0xC10C7082) {  // MDCFSCTL_GET_FILE_ALLOCATION
    if (buffer->SpaceEntries == 0) {
      buffer->TotalSpaceCount = static_cast<std::uint32_t>(f->extents.size());
      for (unsigned i = 0; i < g_engine.extents_gained_after_count; ++i)
        f->extents.push_back({0, static_cast<std::int32_t>(0x1000 + i), 1});
      g_engine.extents_gained_after_count = 0;
      return 0;
    }
    if (f->extents.size() > buffer->TotalSpaceCount) return 105;
    auto* e = reinterpret_cast<MDCFS_SPACE_ENTRY*>(buffer->SpaceEntries);
    std::copy(f->extents.begin(), f->extents.end(), e);
    buffer->TotalSpaceCount = static_cast<std::uint32_t>(f->extents.size());
    for (unsigned cut = g_engine.allocation_cut_blocks; cut > 0 && buffer->TotalSpaceCount > 0;) {
      MDCFS_SPACE_ENTRY& last = e[buffer->TotalSpaceCount - 1];
      const unsigned n = std::min<unsigned>(cut, static_cast<unsigned>(last.NumberOfBlocks));
      last.NumberOfBlocks -= static_cast<std::int32_t>(n);
      cut -= n;
      if (last.NumberOfBlocks == 0) --buffer->TotalSpaceCount;
    }
    g_engine.allocation_cut_blocks = 0;
  }
  return 0;
}
}  // namespace store

// The writer reaches its files through the volume directory "$" ("/$/x",
// folder "/$"); this store keeps no separate "$" folder: its files are the
// root's.
std::string storePath(std::string path) {
  if (path.rfind("/$/", 0) == 0) path.erase(0, 2);
  else if (path == "/$") path = "/";
  return path;
}

int CreateFile(const char* folder, const char* name, std::size_t name_size, char* name_out, void** handle) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("CreateFile");
    return 0;
  }
  const std::string fo = storePath(folder ? folder : ""), na = name ? name : "";
  g_engine.calls.push_back("CreateFile(" + std::string(folder ? folder : "") + "," + na + ")");
  if (int r = store::result("CreateFile")) return r;
  const std::string path = fo.empty() ? (g_engine.packed_store ? "/" + na : na) : fo == "/" ? "/" + na : fo + "/" + na;
  if (g_engine.files.count(path)) return 17;
  g_engine.files[path].id = g_engine.next_id++;
  // The request handlers' call: the stored name and a handle of the file.
  if (name_out && name_size) std::strncpy(name_out, path.c_str() + (path[0] == '/' ? 1 : 0), name_size);
  if (handle) {
    static std::uintptr_t next = 0x800000;
    *handle = reinterpret_cast<void*>(next += 0x10);
    g_engine.open_handles[*handle] = path;
  }
  return 0;
}
int OpenFile(const char* path, int mode, void** handle) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  const std::string p = path ? path : "";
  g_engine.calls.push_back("OpenFile(" + p + "," + std::to_string(mode) + ")");
  if (handle) *handle = nullptr;
  if (!g_engine.file_store) return 0;
  if (int r = store::result("OpenFile")) return r;
  const std::string key = storePath(p);
  if (!g_engine.files.count(key)) return 2;
  if (g_engine.packed_store && mode == 2) g_engine.privileged_open.insert(g_engine.files[key].id);
  static std::uintptr_t next = 0x1000;
  void* h = reinterpret_cast<void*>(next += 0x10);
  g_engine.open_handles[h] = key;
  if (handle) *handle = h;
  return 0;
}
int CloseFile(void* handle, bool dummy) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("CloseFile");
    return 0;
  }
  g_engine.calls.push_back("CloseFile(" + store::pathOf(handle) + ")");
  // A dummy close leaves the handle usable, as the engine's vnode lives on.
  if (dummy) return g_engine.open_handles.count(handle) ? 0 : 9;
  return g_engine.open_handles.erase(handle) ? 0 : 9;
}
int FileIoctl(void* handle, unsigned code, void* data) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("FileIoctl");
    return 0;
  }
  char text[32];
  std::snprintf(text, sizeof text, "FileIoctl(0x%08X)", code);
  g_engine.calls.push_back(text);
  g_engine.ioctl_codes.push_back(code);
  std::vector<std::uint8_t> in;
  if ((code & 0x80000000u) && data) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    in.assign(bytes, bytes + ((code >> 16) & 0x1FFF));
  }
  g_engine.ioctl_in.push_back(in);
  auto r = g_engine.ioctl_results.find(code);
  if (r != g_engine.ioctl_results.end()) return r->second;
  if (code == 0xC00C7045) return store::realName(handle, data);
  return store::fileIoctl(store::fileOf(handle), code, data);
}
int GetInfo(void* handle, unsigned, PKELFS_OBJECT_INFO out) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("GetInfo");
    return 0;
  }
  g_engine.calls.push_back("GetInfo(" + store::pathOf(handle) + ")");
  if (int r = store::result("GetInfo")) return r;
  FakeFile* f = store::fileOf(handle);
  if (!f) return 9;
  store::info(*f, out);
  return 0;
}
int ReadData(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("ReadData");
    return 0;
  }
  g_engine.calls.push_back("ReadData(" + std::to_string(offset) + "," + std::to_string(length) + ")");
  if (int r = store::result("ReadData")) return r;
  FakeFile* f = store::fileOf(handle);
  if (!f) return 9;
  const std::uint64_t n = offset >= f->data.size() ? 0 : std::min<std::uint64_t>(length, f->data.size() - offset);
  if (n) std::memcpy(buffer, f->data.data() + offset, n);
  if (done) *done = static_cast<int>(n);
  return 0;
}
int WriteData(void* handle, const void* buffer, std::uint64_t offset, unsigned length, int* done) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("WriteData");
    return 0;
  }
  g_engine.calls.push_back("WriteData(" + std::to_string(offset) + "," + std::to_string(length) + ")");
  if (int r = store::result("WriteData")) return r;
  FakeFile* f = store::fileOf(handle);
  if (!f) return 9;
  const unsigned n = length > g_engine.write_short_by ? length - g_engine.write_short_by : 0;
  if (f->data.size() < offset + n) f->data.resize(offset + n);
  if (n) std::memcpy(f->data.data() + offset, buffer, n);
  if (done) *done = static_cast<int>(n);
  return 0;
}
int SetAttributes(void* handle, int mode) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("SetAttributes");
    return 0;
  }
  g_engine.calls.push_back("SetAttributes(" + std::to_string(mode) + ")");
  if (int r = store::result("SetAttributes")) return r;
  FakeFile* f = store::fileOf(handle);
  if (!f) return 9;
  f->mode = mode;
  return 0;
}
int SetFileTimes(void*, const timespec* c, const timespec* a, const timespec* m) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("SetFileTimes");
    return 0;
  }
  auto t = [](const timespec* v) {
    return v ? std::to_string(v->tv_sec) + ":" + std::to_string(v->tv_nsec) : std::string("null");
  };
  g_engine.calls.push_back("SetFileTimes(" + t(c) + "," + t(a) + "," + t(m) + ")");
  return store::result("SetFileTimes");
}
int SetFileSize(void* handle, std::uint64_t size) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.file_store) {
    g_engine.calls.push_back("SetFileSize");
    return 0;
  }
  g_engine.calls.push_back("SetFileSize(" + std::to_string(size) + ")");
  if (int r = store::result("SetFileSize")) return r;
  FakeFile* f = store::fileOf(handle);
  if (!f) return 9;
  f->data.resize(size);
  return 0;
}
int Rename(const char*, const char*, const char*, const char*) { note("Rename"); return 0; }
int DeleteFile(const char* folder, const char* name) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  if (!g_engine.packed_store) {
    g_engine.calls.push_back("DeleteFile");
    return 0;
  }
  const std::string fo = folder ? folder : "", na = name ? name : "";
  g_engine.calls.push_back("DeleteFile(" + fo + "," + na + ")");
  const std::string path = fo == "/$" || fo == "/" ? "/" + na : fo + "/" + na;
  auto f = g_engine.files.find(path);
  if (f == g_engine.files.end()) return 2;
  g_engine.released.push_back({f->second.extents, f->second.data});
  g_engine.files.erase(f);
  return 0;
}

// The bytes of one block kept from a deleted file (zeros when none has it).
std::string releasedBlock(std::uint32_t zone, std::uint32_t block) {
  for (const auto& r : g_engine.released) {
    std::uint64_t at = 0;
    for (const auto& e : r.extents) {
      const auto z = static_cast<std::uint32_t>(e.ZoneId), o = static_cast<std::uint32_t>(e.BlockOffset);
      const auto n = static_cast<std::uint32_t>(e.NumberOfBlocks);
      if (z == zone && block >= o && block < o + n) {
        const std::uint64_t from = (at + block - o) * 2048;
        std::string b = from < r.data.size() ? r.data.substr(from, 2048) : std::string();
        b.resize(2048, '\0');
        return b;
      }
      at += n;
    }
  }
  return std::string(2048, '\0');
}

int Rebuild(const void* data) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint64_t index;
  std::uint32_t stream, count;
  std::int64_t size;
  std::memcpy(&index, bytes, 8);
  std::memcpy(&stream, bytes + 8, 4);
  std::memcpy(&size, bytes + 12, 8);
  std::memcpy(&count, bytes + 20, 4);
  g_engine.rebuild_records.emplace_back(bytes, bytes + 24 + 12 * std::max<std::uint32_t>(count, 1));
  auto& list = g_engine.privileged_open;
  list.erase(list.begin(), list.lower_bound(index));
  if (list.empty()) return 0;
  if (*list.begin() != index) return 2;
  std::string body_path;
  for (const auto& [path, file] : g_engine.files)
    if (file.id == index && path.find('#') == std::string::npos) body_path = path;
  if (body_path.empty()) return 2;
  FakeFile* target = nullptr;
  for (auto& [path, file] : g_engine.files)
    if (stream == 0 ? path == body_path : path.rfind(body_path + "#", 0) == 0) target = &file;
  if (!target) return 2;
  std::vector<MDCFS_SPACE_ENTRY> entries(count);
  if (count) std::memcpy(entries.data(), bytes + 24, 12 * std::size_t{count});
  std::string content;
  for (const auto& e : entries)
    for (std::int32_t b = 0; b < e.NumberOfBlocks; ++b)
      content += releasedBlock(static_cast<std::uint32_t>(e.ZoneId), static_cast<std::uint32_t>(e.BlockOffset + b));
  const std::size_t keep = size == -1 ? target->data.size() : static_cast<std::size_t>(size);
  content.resize(keep, '\0');
  target->data = content;
  target->extents = entries;
  return 0;
}
int CreateDirectory(const char*, const char*, bool) { note("CreateDirectory"); return 0; }
int RenameDir(const char*, const char*, const char*, const char*) { note("RenameDir"); return 0; }
int DeleteDirectory(const char*, const char*) { note("DeleteDirectory"); return 0; }
std::int64_t ReadDirectory(void*, std::uint64_t, const char*, pfnReadDirectoryCallback) {
  note("ReadDirectory");
  return 0;
}
int MountRollback(unsigned, unsigned, unsigned) { note("MountRollback"); return 0; }
int GetMediumType() {
  note("GetMediumType");
  return g_engine.medium_type;
}

const FileSystemOperations kTable = {
    LogMessage, MountDefault, Unmount,       Format,          FsInfo,        Flush,
    Fsctl,      GetPathInfo,  CreateFile,    OpenFile,        CloseFile,     FileIoctl,
    GetInfo,    ReadData,     WriteData,     SetAttributes,   SetFileTimes,  SetFileSize,
    Rename,     DeleteFile,   CreateDirectory, RenameDir,     DeleteDirectory, ReadDirectory,
    MountRollback, GetMediumType,
};
}  // namespace

void FakeEngine::reset() {
  std::lock_guard<std::mutex> lk(mu);
  calls.clear();
  log_texts.clear();
  log_functions.clear();
  log_levels.clear();
  unmount_result = 0;
  medium_type = 0xE1;
  fsctl_results.clear();
  fsctl_out.clear();
  fsctl_results_next.clear();
  fsctl_out_next.clear();
  fsctl_codes.clear();
  fsctl_in.clear();
  getpathinfo_paths.clear();
  getpathinfo_extents.clear();
  getpathinfo_result = 0;
  unmount_context = {};
  fill_volume = false;
  volume = KELFS_VOLUME_INFO{};
  file_store = false;
  manual_allocation = false;
  files.clear();
  open_handles.clear();
  slot_results.clear();
  ioctl_results.clear();
  ioctl_codes.clear();
  ioctl_in.clear();
  write_short_by = 0;
  extents_gained_after_count = 0;
  fsctl_hook = nullptr;
  next_id = 100;
  packed_store = false;
  privileged_open.clear();
  released.clear();
  rebuild_records.clear();
  allocation_cut_blocks = 0;
  allocated_end = 0;
}

std::vector<std::string> FakeEngine::callsSnapshot() {
  std::lock_guard<std::mutex> lk(mu);
  return calls;
}

FakeEngine& engine() { return g_engine; }
const FileSystemOperations& fakeOperations() { return kTable; }

std::vector<std::string> splitElements(const std::string& bytes) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t nul = bytes.find('\0', start);
    if (nul == std::string::npos) {
      out.push_back("<unterminated>" + bytes.substr(start));
      break;
    }
    out.push_back(bytes.substr(start, nul - start));
    start = nul + 1;
  }
  return out;
}

std::string readAll(int fd) {
  std::string s;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    s.append(buf, static_cast<std::size_t>(n));
  }
  return s;
}

CapturedStream::CapturedStream() : f_(std::tmpfile()) {}
CapturedStream::~CapturedStream() {
  if (f_) std::fclose(f_);
}
std::string CapturedStream::contents() {
  std::fflush(f_);
  std::rewind(f_);
  std::string s;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f_)) > 0) s.append(buf, n);
  return s;
}

}  // namespace looptest
