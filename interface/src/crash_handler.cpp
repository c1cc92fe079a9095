#include "kel/crash_handler.h"

#include "kel/crash_record.h"
#include "platform/registry.h"
#include "platform/thread_start.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <linux/futex.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>
#if defined(__x86_64__)
#include <asm/prctl.h>
#include <sys/user.h>
#endif

extern char** environ;

namespace kel::crash {

std::uint32_t ExceptionCodeForSignal(int signal, int signalCode) {
  switch (signal) {
    case SIGSEGV: return 0xC0000005u;
    case SIGBUS: return signalCode == BUS_ADRALN ? 0x80000002u : 0xC0000006u;
    case SIGFPE:
      switch (signalCode) {
        case FPE_INTDIV: return 0xC0000094u;
        case FPE_INTOVF: return 0xC0000095u;
        case FPE_FLTDIV: return 0xC000008Eu;
        case FPE_FLTOVF: return 0xC0000091u;
        case FPE_FLTUND: return 0xC0000093u;
        case FPE_FLTRES: return 0xC000008Fu;
        case FPE_FLTSUB: return 0xC000008Cu;
        default: return 0xC0000090u;
      }
    case SIGILL:
      return signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG ? 0xC0000096u : 0xC000001Du;
    case SIGABRT: return 0x40000015u;
    default: return 0xC0000005u;
  }
}

namespace {
// Results of the preparation besides the registry's own errors.
constexpr DWORD kLogDirectoryNotString = 17;
constexpr DWORD kNoMemory = 12;
constexpr DWORD kLogDirectoryUnreadable = 5;
constexpr DWORD kWatcherNotStarted = 14;
}  // namespace

DWORD ReadLogDirectory(std::string* directory) {
  directory->clear();
  HKEY key = nullptr;
  LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (rc == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND))
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key);
  if (rc == static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) return ERROR_SUCCESS;
  if (rc != static_cast<LSTATUS>(ERROR_SUCCESS)) return static_cast<DWORD>(rc);

  DWORD type = REG_NONE;
  DWORD size = 0;
  DWORD result = ERROR_SUCCESS;
  rc = RegQueryValueExA(key, kLogDirectoryValue, nullptr, &type, nullptr, &size);
  if (rc == static_cast<LSTATUS>(ERROR_SUCCESS)) {
    if (type != REG_SZ) {
      result = kLogDirectoryNotString;
    } else {
      std::string value;
      try {
        value.resize(size);
      } catch (const std::bad_alloc&) {
        result = kNoMemory;
      }
      if (result == ERROR_SUCCESS) {
        DWORD size2 = size;
        rc = RegQueryValueExA(key, kLogDirectoryValue, nullptr, &type,
                              reinterpret_cast<BYTE*>(value.data()), &size2);
        if (rc != static_cast<LSTATUS>(ERROR_SUCCESS) || type != REG_SZ) {
          result = kLogDirectoryUnreadable;
        } else {
          value.resize(std::min<std::size_t>(size2, value.size()));
          const auto nul = value.find('\0');
          if (nul != std::string::npos) value.resize(nul);
          *directory = std::move(value);
        }
      }
    }
  } else if (rc != static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND)) {
    result = static_cast<DWORD>(rc);
  }
  RegCloseKey(key);
  return result;
}

namespace {

void put2(char* p, int v) {
  p[0] = static_cast<char>('0' + (v / 10) % 10);
  p[1] = static_cast<char>('0' + v % 10);
}

// Appends to a fixed buffer; fails once full.
struct Writer {
  char* buf;
  std::size_t cap;
  std::size_t len = 0;
  bool ok = true;
  void ch(char c) {
    if (len + 1 >= cap) { ok = false; return; }
    buf[len++] = c;
  }
  void str(const char* s) {
    while (*s) ch(*s++);
  }
  // Inside double quotes: escape what a shell would not take literally.
  void quoted(const char* s) {
    for (; *s; ++s) {
      if (*s == '"' || *s == '\\' || *s == '$' || *s == '`') ch('\\');
      ch(*s);
    }
  }
  void dec(std::uint32_t v) {
    char tmp[10];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v != 0);
    while (n > 0) ch(tmp[--n]);
  }
  void hex(std::uint64_t v, int minDigits) {
    char tmp[16];
    int n = 0;
    do {
      tmp[n++] = "0123456789ABCDEF"[v & 0xF];
      v >>= 4;
    } while (v != 0 && n < 16);
    while (n < minDigits) tmp[n++] = '0';
    while (n > 0) ch(tmp[--n]);
  }
};

}  // namespace

void FormatTimeStamp(const std::tm& t, char out[15]) {
  const int year = t.tm_year + 1900;
  out[0] = static_cast<char>('0' + (year / 1000) % 10);
  out[1] = static_cast<char>('0' + (year / 100) % 10);
  put2(out + 2, year % 100);
  put2(out + 4, t.tm_mon + 1);
  put2(out + 6, t.tm_mday);
  put2(out + 8, t.tm_hour);
  put2(out + 10, t.tm_min);
  put2(out + 12, t.tm_sec);
  out[14] = '\0';
}

int FormatCommandLine(char* buf, std::size_t capacity, const CommandParts& p) {
  if (!buf || capacity == 0) return -1;
  Writer w{buf, capacity};
  w.ch('"');
  w.quoted(p.programDirectory);
  w.ch('/');
  w.quoted(p.toolFileName);
  w.str("\" -p ");
  w.hex(p.processId, 1);
  w.str(" -t ");
  w.hex(p.threadId, 1);
  w.str(" -e 0x");
  w.hex(p.exceptionPointers, 16);
  w.str(" -f \"");
  w.quoted(p.dumpDirectory);
  w.str("/KelDriver");
  w.quoted(p.timeStamp);
  w.quoted(p.exceptionText);
  w.ch('-');
  w.dec(p.processId);
  w.str(".dmp\"");
  if (!w.ok) {
    buf[0] = '\0';
    return -1;
  }
  buf[w.len] = '\0';
  return static_cast<int>(w.len);
}

int SplitCommandLine(char* line, char** argv, int maxArgs) {
  if (maxArgs < 1) return -1;
  int argc = 0;
  char* in = line;
  char* out = line;  // words are rebuilt in place; out never passes in
  for (;;) {
    while (*in == ' ' || *in == '\t' || *in == '\n') ++in;
    if (*in == '\0') break;
    if (argc + 1 >= maxArgs) return -1;
    char* word = out;
    bool quoted = false;
    while (*in != '\0' && (quoted || (*in != ' ' && *in != '\t' && *in != '\n'))) {
      if (*in == '"') {
        quoted = !quoted;
        ++in;
      } else if (*in == '\\' && in[1] != '\0' &&
                 (!quoted || in[1] == '"' || in[1] == '\\' || in[1] == '$' || in[1] == '`')) {
        *out++ = in[1];
        in += 2;
      } else {
        *out++ = *in++;
      }
    }
    if (quoted) return -1;
    const bool more = *in != '\0';
    if (more) ++in;  // past the blank that ended the word
    *out++ = '\0';
    argv[argc++] = word;
    if (!more) break;
  }
  argv[argc] = nullptr;
  return argc;
}

std::string DefaultDumpDirectory() {
  const std::string registry = platform::registry_path();
  if (registry.empty() || registry[0] != '/') return {};
  return registry.substr(0, registry.rfind('/')) + "/" + kDefaultDumpFolder;
}

bool IsDumpName(const char* name) {
  const std::size_t n = std::strlen(name);
  return n > 13 && std::strncmp(name, "KelDriver", 9) == 0 && std::strcmp(name + n - 4, ".dmp") == 0;
}

namespace {

// The dumps of a folder: how many, and the oldest (by time of change, then
// by name).
struct DumpCensus {
  int count = 0;
  timespec oldestTime{};
  char oldestName[256] = {};
};

bool olderThan(const timespec& t, const char* name, const DumpCensus& c) {
  if (t.tv_sec != c.oldestTime.tv_sec) return t.tv_sec < c.oldestTime.tv_sec;
  if (t.tv_nsec != c.oldestTime.tv_nsec) return t.tv_nsec < c.oldestTime.tv_nsec;
  return std::strcmp(name, c.oldestName) < 0;
}

void countDump(int folder, const char* name, DumpCensus* c) {
  struct stat st;
  if (!IsDumpName(name) || std::strlen(name) >= sizeof c->oldestName) return;
  if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return;
  if (c->count == 0 || olderThan(st.st_mtim, name, *c)) {
    c->oldestTime = st.st_mtim;
    std::strcpy(c->oldestName, name);
  }
  ++c->count;
}

// Reads the folder with getdents64 into a buffer on the stack: no heap.
// False when the folder cannot be read.
bool takeCensus(int folder, DumpCensus* c) {
  *c = DumpCensus{};
  if (lseek(folder, 0, SEEK_SET) != 0) return false;
  alignas(dirent64) char buf[4096];
  for (;;) {
    const ssize_t n = getdents64(folder, buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buf + at);
      countDump(folder, entry->d_name, c);
      at += entry->d_reclen;
    }
  }
}

}  // namespace

void PruneDumps(const char* directory, int keep) {
  const int folder = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  DumpCensus census;
  // Each round takes out the oldest; a name another process took out first
  // is simply counted again.
  for (int round = 0; round < 1000 && takeCensus(folder, &census) && census.count > keep; ++round) {
    if (unlinkat(folder, census.oldestName, 0) != 0 && errno != ENOENT) break;
  }
  close(folder);
}

namespace {

// ---- Process-wide state ---------------------------------------------------

std::string g_programDirectory;
// Where the dumps go: "Log file directory", else the default, which the
// watcher creates when it is missing. Empty: no dump is written.
std::string g_dumpDirectory;
bool g_createDumpDirectory = false;

// The handler lock: the kernel thread id of the owner, 0 when free. A futex,
// so that a crashing thread can wait on it inside a signal handler.
std::atomic<int> g_lockOwner{0};
static_assert(sizeof(std::atomic<int>) == sizeof(int), "futex word");

int g_crashPipe[2] = {-1, -1};  // crash event: one byte per crash
int g_donePipe[2] = {-1, -1};   // done event: one byte per dump
std::atomic<bool> g_watcherAlive{false};
std::atomic<int> g_ownerPid{0};  // the process the watcher runs in
std::atomic<int> g_watcherTid{0};
pthread_t g_watcher;

// The crash being handled (the "exception pointers"), and its thread.
CrashRecord g_record;
std::atomic<CrashRecord*> g_exceptionPointers{nullptr};
std::atomic<std::uint32_t> g_crashThreadId{0};

posix_spawn_file_actions_t g_spawnActions;
posix_spawnattr_t g_spawnAttr;

// Room for the command line and its words; filled only by the watcher.
char g_commandLine[3 * PATH_MAX + 256];
char* g_argv[32];
char g_folderPath[PATH_MAX];

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

int currentTid() { return static_cast<int>(syscall(SYS_gettid)); }

void lockHandler(int tid) {
  for (;;) {
    int expected = 0;
    if (g_lockOwner.compare_exchange_strong(expected, tid)) return;
    syscall(SYS_futex, reinterpret_cast<int*>(&g_lockOwner), FUTEX_WAIT_PRIVATE, expected, nullptr,
            nullptr, 0);
  }
}

void unlockHandler() {
  g_lockOwner.store(0);
  syscall(SYS_futex, reinterpret_cast<int*>(&g_lockOwner), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
          nullptr, 0);
}

void writeByte(int fd) {
  const char c = 1;
  while (write(fd, &c, 1) < 0 && errno == EINTR) {
  }
}

// Blocks until one byte arrives; false when the pipe fails or is closed.
bool readByte(int fd) {
  char c;
  for (;;) {
    const ssize_t n = read(fd, &c, 1);
    if (n == 1) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// ---- The crash record --------------------------------------------------------

void fillRecord(CrashRecord* r, int sig, const siginfo_t* si, const void* context, int tid) {
  std::memset(r, 0, sizeof *r);
  r->magic = kCrashRecordMagic;
  r->version = kCrashRecordVersion;
  r->size = sizeof *r;
  r->threadId = static_cast<std::uint32_t>(tid);
  r->signal = sig;
  r->signalCode = si ? si->si_code : 0;
  r->faultAddress = si ? reinterpret_cast<std::uintptr_t>(si->si_addr) : 0;
  r->exception.code = ExceptionCodeForSignal(sig, r->signalCode);
  r->exception.flags = kExceptionNoncontinuable;
  const auto* uc = static_cast<const ucontext_t*>(context);
  std::uint64_t access = 0;  // 0 read, 1 write, 8 instruction fetch
#if defined(__x86_64__)
  if (uc) {
    const greg_t* g = uc->uc_mcontext.gregs;
    user_regs_struct regs{};
    regs.r15 = static_cast<unsigned long long>(g[REG_R15]);
    regs.r14 = static_cast<unsigned long long>(g[REG_R14]);
    regs.r13 = static_cast<unsigned long long>(g[REG_R13]);
    regs.r12 = static_cast<unsigned long long>(g[REG_R12]);
    regs.rbp = static_cast<unsigned long long>(g[REG_RBP]);
    regs.rbx = static_cast<unsigned long long>(g[REG_RBX]);
    regs.r11 = static_cast<unsigned long long>(g[REG_R11]);
    regs.r10 = static_cast<unsigned long long>(g[REG_R10]);
    regs.r9 = static_cast<unsigned long long>(g[REG_R9]);
    regs.r8 = static_cast<unsigned long long>(g[REG_R8]);
    regs.rax = static_cast<unsigned long long>(g[REG_RAX]);
    regs.rcx = static_cast<unsigned long long>(g[REG_RCX]);
    regs.rdx = static_cast<unsigned long long>(g[REG_RDX]);
    regs.rsi = static_cast<unsigned long long>(g[REG_RSI]);
    regs.rdi = static_cast<unsigned long long>(g[REG_RDI]);
    regs.orig_rax = ~0ull;
    regs.rip = static_cast<unsigned long long>(g[REG_RIP]);
    regs.cs = static_cast<unsigned long long>(g[REG_CSGSFS]) & 0xFFFF;
    regs.eflags = static_cast<unsigned long long>(g[REG_EFL]);
    regs.rsp = static_cast<unsigned long long>(g[REG_RSP]);
    unsigned long fsBase = 0, gsBase = 0;
    syscall(SYS_arch_prctl, ARCH_GET_FS, &fsBase);
    syscall(SYS_arch_prctl, ARCH_GET_GS, &gsBase);
    regs.fs_base = fsBase;
    regs.gs_base = gsBase;
    std::memcpy(r->registers, &regs, sizeof regs);
    r->registersSize = sizeof regs;
    r->machine = kMachineX86_64;
    r->exception.address = regs.rip;
    const auto err = static_cast<std::uint64_t>(g[REG_ERR]);
    if (sig == SIGSEGV && g[REG_TRAPNO] == 14) access = (err & 0x10) ? 8 : (err & 0x2) ? 1 : 0;
  }
#elif defined(__aarch64__)
  if (uc) {
    struct {
      std::uint64_t regs[31];
      std::uint64_t sp, pc, pstate;
    } regs{};
    for (int i = 0; i < 31; ++i) regs.regs[i] = uc->uc_mcontext.regs[i];
    regs.sp = uc->uc_mcontext.sp;
    regs.pc = uc->uc_mcontext.pc;
    regs.pstate = uc->uc_mcontext.pstate;
    std::memcpy(r->registers, &regs, sizeof regs);
    r->registersSize = sizeof regs;
    r->machine = kMachineAArch64;
    r->exception.address = regs.pc;
    if (regs.pc == r->faultAddress) access = 8;
  }
#endif
  if (r->exception.code == 0xC0000005u || r->exception.code == 0xC0000006u) {
    r->exception.numberParameters = 2;
    r->exception.information[0] = access;
    r->exception.information[1] = r->faultAddress;
  }
}

// ---- The filter ----------------------------------------------------------------

void onFatalSignal(int sig, siginfo_t* si, void* context) {
  const int savedErrno = errno;
  const int tid = currentTid();
  // No dump when the watcher itself crashed, when it is gone, when this
  // thread crashed again while it held the handler lock, or in a child made
  // by fork(), which has no watcher of its own.
  if (tid != g_watcherTid.load() && g_watcherAlive.load() && g_lockOwner.load() != tid &&
      getpid() == g_ownerPid.load()) {
    lockHandler(tid);
    fillRecord(&g_record, sig, si, context, tid);
    g_crashThreadId.store(static_cast<std::uint32_t>(tid));
    g_exceptionPointers.store(&g_record);
    writeByte(g_crashPipe[1]);
    readByte(g_donePipe[0]);
    g_exceptionPointers.store(nullptr);
    g_crashThreadId.store(0);
    unlockHandler();
  }
  // Continue the search: the default action ends the process. A fault
  // happens again when the instruction is retried; a signal that was sent
  // or raised is sent again (it stays blocked until this handler returns).
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  if (!si || si->si_code <= 0 || sig == SIGABRT) syscall(SYS_tgkill, getpid(), tid, sig);
  errno = savedErrno;
}

// ---- The watcher ------------------------------------------------------------------

// Creates the dump directory and the folders above it (mode 0700), without
// heap memory; false when the name does not fit.
bool makeDumpDirectory() {
  const std::size_t n = g_dumpDirectory.size();
  if (n == 0 || n >= sizeof g_folderPath) return false;
  std::memcpy(g_folderPath, g_dumpDirectory.c_str(), n + 1);
  for (std::size_t i = 1; i < n; ++i) {
    if (g_folderPath[i] != '/') continue;
    g_folderPath[i] = '\0';
    mkdir(g_folderPath, 0700);
    g_folderPath[i] = '/';
  }
  mkdir(g_folderPath, 0700);
  return true;
}

void runTool() {
  if (g_dumpDirectory.empty()) return;
  if (g_createDumpDirectory && !makeDumpDirectory()) return;
  char stamp[15];
  const std::time_t now = std::time(nullptr);
  std::tm local;
  if (!localtime_r(&now, &local)) return;
  FormatTimeStamp(local, stamp);

  const CrashRecord* record = g_exceptionPointers.load();
  char codeText[17];
  if (record) {
    Writer w{codeText, sizeof codeText};
    w.hex(record->exception.code, 1);
    codeText[w.len] = '\0';
  } else {
    std::strcpy(codeText, "InvalidParameter");
  }
  const CommandParts parts{g_programDirectory.c_str(),
                           kToolFileName,
                           static_cast<std::uint32_t>(getpid()),
                           g_crashThreadId.load(),
                           reinterpret_cast<std::uintptr_t>(record),
                           g_dumpDirectory.c_str(),
                           stamp,
                           codeText};
  if (FormatCommandLine(g_commandLine, sizeof g_commandLine, parts) < 0) return;
  if (SplitCommandLine(g_commandLine, g_argv, static_cast<int>(sizeof g_argv / sizeof g_argv[0])) < 1)
    return;
  pid_t pid = -1;
  if (posix_spawn(&pid, g_argv[0], &g_spawnActions, &g_spawnAttr, g_argv, environ) != 0) return;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void* watcherMain(void*) {
  g_watcherTid.store(currentTid());
  // Fatal signals sent to the process go to a thread that can be dumped.
  sigset_t set;
  sigemptyset(&set);
  for (int s : kFatalSignals) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  while (readByte(g_crashPipe[0])) {
    runTool();
    if (!g_dumpDirectory.empty()) PruneDumps(g_dumpDirectory.c_str(), kDumpsKept);
    writeByte(g_donePipe[1]);
  }
  // A failed wait ends the watcher; a crash after that ends the process
  // without a dump instead of waiting for a watcher that is gone.
  g_watcherAlive.store(false);
  writeByte(g_donePipe[1]);
  return nullptr;
}

bool prepareSpawn() {
  if (posix_spawn_file_actions_init(&g_spawnActions) != 0) return false;
  // The tool inherits no descriptors; its standard streams are /dev/null so
  // that it cannot write into the engine's output.
  if (posix_spawn_file_actions_addopen(&g_spawnActions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
      posix_spawn_file_actions_addopen(&g_spawnActions, 1, "/dev/null", O_WRONLY, 0) != 0 ||
      posix_spawn_file_actions_addopen(&g_spawnActions, 2, "/dev/null", O_WRONLY, 0) != 0 ||
      posix_spawn_file_actions_addclosefrom_np(&g_spawnActions, 3) != 0)
    return false;
  if (posix_spawnattr_init(&g_spawnAttr) != 0) return false;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&g_spawnAttr, &none);
  posix_spawnattr_setsigdefault(&g_spawnAttr, &all);
  return posix_spawnattr_setflags(&g_spawnAttr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
}

DWORD startWatcher() {
  if (pipe2(g_crashPipe, O_CLOEXEC) != 0) return kWatcherNotStarted;
  if (pipe2(g_donePipe, O_CLOEXEC) != 0) {
    close(g_crashPipe[0]);
    close(g_crashPipe[1]);
    return kWatcherNotStarted;
  }
  if (!prepareSpawn() || platform::create_thread(&g_watcher, nullptr, watcherMain, nullptr) != 0) {
    for (int fd : {g_crashPipe[0], g_crashPipe[1], g_donePipe[0], g_donePipe[1]}) close(fd);
    g_crashPipe[0] = g_crashPipe[1] = g_donePipe[0] = g_donePipe[1] = -1;
    return kWatcherNotStarted;
  }
  pthread_detach(g_watcher);
  g_ownerPid.store(getpid());
  g_watcherAlive.store(true);
  return ERROR_SUCCESS;
}

std::string programDirectory() {
  std::string path(PATH_MAX, '\0');
  const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0) return {};
  path.resize(static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void installFilter() {
  // An alternate stack for the calling thread, so that its stack overflow
  // can be handled too; kept to the end of the process.
  static const platform::SignalStack* callingThreadStack = new platform::SignalStack();
  (void)callingThreadStack;
  // Let the tool, a child of this process, attach to it where the system
  // restricts ptrace to declared tracers.
  prctl(PR_SET_PTRACER, static_cast<unsigned long>(getpid()), 0, 0, 0);
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = onFatalSignal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : kFatalSignals) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer reports invalid accesses and stack overflows
    // itself: in its builds SIGSEGV stays its own.
    if (s == SIGSEGV) continue;
#endif
    sigaction(s, &sa, nullptr);
  }
}

}  // namespace
}  // namespace kel::crash

extern "C" DWORD SetExceptionHandler() {
  using namespace kel::crash;
  const int tid = currentTid();
  if (g_lockOwner.load() == tid) return ERROR_BUSY;  // called from within the handler
  lockHandler(tid);
  DWORD rc = ERROR_SUCCESS;
  try {
    g_programDirectory = programDirectory();
    std::string logDirectory;
    rc = ReadLogDirectory(&logDirectory);
    if (rc == ERROR_SUCCESS) {
      g_createDumpDirectory = logDirectory.empty();
      g_dumpDirectory = g_createDumpDirectory ? DefaultDumpDirectory() : std::move(logDirectory);
    }
  } catch (const std::bad_alloc&) {
    rc = kNoMemory;
  }
  if (rc == ERROR_SUCCESS && !g_watcherAlive.load()) rc = startWatcher();
  unlockHandler();
  if (rc != ERROR_SUCCESS) return rc;
  tzset();  // the watcher's local time then needs no file reads
  installFilter();
  return ERROR_SUCCESS;
}
