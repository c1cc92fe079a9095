#include "loop_fake_engine.h"

#include "platform/codepage.h"

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
int FsInfo(PKELFS_VOLUME_INFO) { note("FsInfo"); return 0; }
int Flush(bool) { note("Flush"); return 0; }
int Fsctl(unsigned code, void* data) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
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
  auto out = g_engine.fsctl_out.find(code);
  if (out != g_engine.fsctl_out.end() && data)
    std::memcpy(data, out->second.data(), out->second.size());
  auto r = g_engine.fsctl_results.find(code);
  return r == g_engine.fsctl_results.end() ? 0 : r->second;
}
int GetPathInfo(const char* path, unsigned max_extents, PKELFS_OBJECT_INFO) {
  std::lock_guard<std::mutex> lk(g_engine.mu);
  g_engine.calls.push_back("GetPathInfo");
  g_engine.getpathinfo_paths.push_back(path ? path : "");
  g_engine.getpathinfo_extents.push_back(max_extents);
  return g_engine.getpathinfo_result;
}
int CreateFile(const char*, const char*, std::size_t, char*, void**) { note("CreateFile"); return 0; }
int OpenFile(const char* path, int mode, void** handle) {
  note(std::string("OpenFile(") + (path ? path : "") + "," + std::to_string(mode) + ")");
  if (handle) *handle = nullptr;
  return 0;
}
int CloseFile(void*, bool) { note("CloseFile"); return 0; }
int FileIoctl(void*, unsigned, void*) { note("FileIoctl"); return 0; }
int GetInfo(void*, unsigned, PKELFS_OBJECT_INFO) { note("GetInfo"); return 0; }
int ReadData(void*, void*, std::uint64_t, unsigned, int*) { note("ReadData"); return 0; }
int WriteData(void*, const void*, std::uint64_t, unsigned, int*) { note("WriteData"); return 0; }
int SetAttributes(void*, int) { note("SetAttributes"); return 0; }
int SetFileTimes(void*, const timespec*, const timespec*, const timespec*) {
  note("SetFileTimes");
  return 0;
}
int SetFileSize(void*, std::uint64_t) { note("SetFileSize"); return 0; }
int Rename(const char*, const char*, const char*, const char*) { note("Rename"); return 0; }
int DeleteFile(const char*, const char*) { note("DeleteFile"); return 0; }
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
  fsctl_codes.clear();
  fsctl_in.clear();
  getpathinfo_paths.clear();
  getpathinfo_extents.clear();
  getpathinfo_result = 0;
  unmount_context = {};
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
