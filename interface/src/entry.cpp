// The process-wide values of the start-up entry points and the forwarders
// onto the running interface's operation table.
#include "kel/entry.h"

#include "kel/kel_interface.h"

#include <atomic>
#include <cctype>
#include <mutex>

namespace {
std::atomic<CKelInterface*> g_current{nullptr};
std::mutex g_dirMutex;
std::string g_cacheDirectory;
}  // namespace

namespace kel {

CKelInterface* CurrentInterface() { return g_current.load(); }
void SetCurrentInterface(CKelInterface* itf) { g_current.store(itf); }

const FileSystemOperations* CurrentOperations() {
  CKelInterface* itf = g_current.load();
  return itf ? &itf->Operations() : nullptr;
}

DriveCommandContext RunningInterfaceContext() {
  DriveCommandContext ctx;
  if (CKelInterface* itf = g_current.load()) {
    ctx.SequenceNumber = itf->DriveCommandSequence();
    ctx.Phase = itf->DriveCommandPhase();
    ctx.Unmounting = itf->Unmounting();
  }
  return ctx;
}

std::string CacheDirectory() {
  std::lock_guard<std::mutex> lk(g_dirMutex);
  return g_cacheDirectory;
}

void SetCacheDirectory(const std::string& dir) {
  std::lock_guard<std::mutex> lk(g_dirMutex);
  g_cacheDirectory = dir;
}

bool ParseMediumCookie(const char* text, std::uint64_t* cookie) {
  static const char kPrefix[] = "/dev/sd";
  if (!text) return false;
  for (std::size_t i = 0; i + 1 < sizeof kPrefix; ++i)
    if (text[i] != kPrefix[i]) return false;
  const char* p = text + sizeof kPrefix - 1;
  // scanf skips white space before a conversion and takes an optional 0x.
  while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && std::isxdigit(static_cast<unsigned char>(p[2])))
    p += 2;
  if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
  std::uint64_t v = 0;
  for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
    const int c = std::tolower(static_cast<unsigned char>(*p));
    // A pointer-sized number: more than 16 digits does not fit.
    if (v >> 60) return false;
    v = (v << 4) | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  *cookie = v;
  return true;
}

}  // namespace kel

int ForwardLogMessage(int level, int type, const char* function, int line, const char16_t* text) {
  const FileSystemOperations* ops = kel::CurrentOperations();
  if (!ops || !ops->LogMessage) return 0;
  return ops->LogMessage(static_cast<unsigned>(level), type, function, line, text);
}

// Outside a running interface nobody may call the three below; they answer
// 19 (no device) rather than crash.
int ForwardMountDefault() {
  const FileSystemOperations* ops = kel::CurrentOperations();
  return ops && ops->MountDefault ? ops->MountDefault() : 19;
}

int ForwardUnmount(bool force) {
  const FileSystemOperations* ops = kel::CurrentOperations();
  return ops && ops->Unmount ? ops->Unmount(force) : 19;
}

extern "C" int quorvel_fsctl(unsigned code, void* buffer) {
  const FileSystemOperations* ops = kel::CurrentOperations();
  return ops && ops->Fsctl ? ops->Fsctl(code, buffer) : 19;
}
