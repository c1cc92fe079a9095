#include "kelhost/gnrc.h"

#include "kelhost/kern.h"
#include "kelhost/log.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "platform/thread_start.h"

#include <iconv.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace {
const char kEncodeName[] =
    "int utf8_encodestr(const uint16_t*, size_t, uint8_t*, size_t*, size_t, uint16_t, int)";
const char kDecodeName[] =
    "int utf8_decodestr(const uint8_t*, size_t, uint16_t*, size_t*, size_t, uint16_t, int)";

// Worker-thread record as this layer keeps it: the object the callers see
// plus whether a thread was ever created (so that every created thread is
// joined exactly once).
struct WorkerThread {
  mdcudfsr_thread pub;
  bool started;
};

void* worker_body(void* p) {
  mdcudfsr_thread* t = static_cast<mdcudfsr_thread*>(p);
  t->function(t->argument, t->extra);
  pthread_mutex_lock(&t->mutex);
  t->running = 0;
  pthread_mutex_unlock(&t->mutex);
  return nullptr;
}
}  // namespace

std::uint64_t getThreadIdGnrc() { return static_cast<std::uint64_t>(GetCurrentThreadId()); }

void memCopyGnrc(const void* source, void* destination, std::size_t length) {
  if (length != 0) std::memcpy(destination, source, length);
}

int memCompareGnrc(const void* a, const void* b, std::size_t length) {
  return length == 0 ? 0 : std::memcmp(a, b, length);
}

std::size_t strLenGnrc(const char* text, std::size_t limit) {
  if (text == nullptr || limit == 0 || text[0] == 0) return 0;
  for (std::size_t i = 1; i < limit; ++i)
    if (text[i] == 0) return i;
  return limit;
}

void sleepGnrc(unsigned seconds) { platform::clock().sleep_ms(static_cast<std::uint64_t>(seconds) * 1000); }

int getTimeGnrc(int clock, struct timespec* ts) {
  if (clock != 0) {
    SetLastError(ERROR_BAD_COMMAND);
    return -1;
  }
  if (ts == nullptr) {
    KEL_LOG_AS("int getTimeGnrc(int, timespec*)", KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Invalid argument");
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // Wall time in milliseconds, from the process clock.
  const std::uint64_t wall_ms = platform::clock().wall_ms();
  ts->tv_sec = static_cast<time_t>(wall_ms / 1000);
  ts->tv_nsec = static_cast<long>((wall_ms % 1000) * 1000000);
  return 0;
}

std::uint64_t getTickNsGnrc(std::uint64_t* out) {
  // The 64-bit tick count: a 32-bit one would run backwards after 49 days.
  const std::uint64_t ns = static_cast<std::uint64_t>(GetTickCount64()) * 1000000ull;
  if (out != nullptr) *out = ns;
  return ns;
}

unsigned atomicIncGnrc(int amount, volatile std::uint32_t* counter) {
  return __atomic_add_fetch(counter, static_cast<std::uint32_t>(amount), __ATOMIC_SEQ_CST);
}
unsigned atomicInc32Gnrc(volatile std::uint32_t* counter) {
  return __atomic_add_fetch(counter, 1u, __ATOMIC_SEQ_CST);
}
unsigned atomicDec32Gnrc(volatile std::uint32_t* counter) {
  return __atomic_sub_fetch(counter, 1u, __ATOMIC_SEQ_CST);
}
bool atomicCas64Gnrc(std::uint64_t expected, std::uint64_t desired, volatile std::uint64_t* target) {
  return __atomic_compare_exchange_n(target, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

int semCreateGnrc(const char*) {
  KEL_LOG_AS("int semCreateGnrc(const char*)", KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE,
             "semCreateGnrc not implemented");
  return -1;
}
bool semLockGnrc(const char*) { return true; }
bool semUnlockGnrc(const char*) { return true; }
bool semDeleteGnrc(const char* path) {
  if (path == nullptr) {
    KEL_LOG_AS("bool semDeleteGnrc(const char*)", KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE,
               "semaphore Delete[Start] NG Invalid Parameter. filePath == NULL");
    return false;
  }
  KEL_LOG_AS("bool semDeleteGnrc(const char*)", KEL_LOG_INFO, KEL_MOD_CONF, KEL_MARK_NOTE,
             "semaphore Delete[OK] filePath[%s]", path);
  return true;
}

// ---- name conversion ----

int utf8_encodestr(const std::uint16_t* in, std::size_t in_bytes, std::uint8_t* out,
                   std::size_t* out_length, std::size_t out_size, std::uint16_t, int) {
  if (in == nullptr || out == nullptr || out_length == nullptr) {
    KEL_LOG_AS(kEncodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Invalid argument");
    return KEL_EINVAL;
  }
  const std::size_t units = in_bytes / 2;
  const int cap = out_size > INT_MAX ? INT_MAX : static_cast<int>(out_size);
  int written = 0;
  if (units != 0) {
    if (units > INT_MAX) {
      KEL_LOG_AS(kEncodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Argument list too long");
      return KEL_E2BIG;
    }
    const WCHAR* src = reinterpret_cast<const WCHAR*>(in);
    written = cap == 0 ? 0
                       : WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, src, static_cast<int>(units),
                                             reinterpret_cast<char*>(out), cap);
    if (written == 0) {
      // A buffer that is too small is not an illegal sequence: tell them apart.
      const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, src, static_cast<int>(units),
                                             nullptr, 0);
      if (needed == 0) {
        KEL_LOG_AS(kEncodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Illegal byte sequence");
        return KEL_EILSEQ;
      }
      KEL_LOG_AS(kEncodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Argument list too long");
      return KEL_E2BIG;
    }
  }
  *out_length = static_cast<std::size_t>(written);
  if (written == 0 || out[written - 1] != 0) {
    if (static_cast<std::size_t>(written) >= out_size) {
      KEL_LOG_AS(kEncodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Argument list too long");
      return KEL_E2BIG;
    }
    out[written] = 0;
  }
  return 0;
}

int utf8_decodestr(const std::uint8_t* in, std::size_t in_bytes, std::uint16_t* out,
                   std::size_t* out_length, std::size_t out_size, std::uint16_t, int) {
  if (in == nullptr || out == nullptr || out_length == nullptr) {
    KEL_LOG_AS(kDecodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Invalid argument");
    return KEL_EINVAL;
  }
  if (in_bytes == 0) {
    *out_length = 0;
    return 0;
  }
  if (in_bytes > INT_MAX) {
    KEL_LOG_AS(kDecodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Argument list too long");
    return KEL_E2BIG;
  }
  const std::size_t cap_units = out_size / 2;
  const int cap = cap_units > INT_MAX ? INT_MAX : static_cast<int>(cap_units);
  const char* src = reinterpret_cast<const char*>(in);
  const int n = cap == 0 ? 0
                         : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, src, static_cast<int>(in_bytes),
                                               reinterpret_cast<WCHAR*>(out), cap);
  if (n == 0) {
    const int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, src, static_cast<int>(in_bytes), nullptr, 0);
    if (needed == 0) {
      KEL_LOG_AS(kDecodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Illegal byte sequence");
      return KEL_EILSEQ;
    }
    KEL_LOG_AS(kDecodeName, KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE, "Argument list too long");
    return KEL_E2BIG;
  }
  *out_length = static_cast<std::size_t>(n) * 2;
  return 0;
}

// ---- worker thread ----

mdcudfsr_thread_t mdcudfsr_thread_create(mdcudfsr_thread_fn function, void* argument) {
  void* mem = OSMalloc(sizeof(WorkerThread), nullptr);
  if (mem == nullptr) return nullptr;
  WorkerThread* w = new (mem) WorkerThread{};
  pthread_mutex_init(&w->pub.mutex, nullptr);
  w->pub.running = 0;
  w->pub.function = function;
  w->pub.argument = argument;
  w->pub.extra = 0;
  w->started = false;
  return &w->pub;
}

int mdcudfsr_thread_start(mdcudfsr_thread_t thread) {
  if (thread == nullptr) return 1;
  WorkerThread* w = reinterpret_cast<WorkerThread*>(thread);
  pthread_mutex_lock(&thread->mutex);
  if (thread->running != 0 || thread->function == nullptr) {
    pthread_mutex_unlock(&thread->mutex);
    return 1;
  }
  if (w->started) {
    // The previous run has ended (it cleared running): reap it first.
    pthread_join(thread->handle, nullptr);
    w->started = false;
  }
  thread->running = 1;
  if (platform::create_thread(&thread->handle, nullptr, worker_body, thread) != 0) {
    thread->running = 0;
    pthread_mutex_unlock(&thread->mutex);
    return 1;
  }
  w->started = true;
  pthread_mutex_unlock(&thread->mutex);
  return 0;
}

int mdcudfsr_thread_destroy(mdcudfsr_thread_t thread) {
  if (thread == nullptr) return 1;
  WorkerThread* w = reinterpret_cast<WorkerThread*>(thread);
  pthread_mutex_lock(&thread->mutex);
  const bool started = w->started;
  pthread_mutex_unlock(&thread->mutex);
  // Every created thread is joined, finished or not: the body still touches
  // the object's mutex after clearing its flag.
  if (started) pthread_join(thread->handle, nullptr);
  pthread_mutex_destroy(&thread->mutex);
  w->~WorkerThread();
  OSFree(w, sizeof(WorkerThread), nullptr);
  return 1;
}

// ---- UtfConvert ----

UtfConvert& UtfConvert::instance() {
  static UtfConvert converter;
  return converter;
}

UtfConvert::UtfConvert()
    : to_utf8_(reinterpret_cast<void*>(iconv_open("UTF-8", "UTF-16LE"))),
      to_utf16_(reinterpret_cast<void*>(iconv_open("UTF-16LE", "UTF-8"))) {}

UtfConvert::~UtfConvert() {
  if (to_utf8_ != reinterpret_cast<void*>(-1)) iconv_close(reinterpret_cast<iconv_t>(to_utf8_));
  if (to_utf16_ != reinterpret_cast<void*>(-1)) iconv_close(reinterpret_cast<iconv_t>(to_utf16_));
}

std::string UtfConvert::convert(void* handle, const char* in, std::size_t in_bytes) {
  std::string result;
  if (handle == reinterpret_cast<void*>(-1)) return result;
  const bool to_utf8 = handle == to_utf8_;
  const std::size_t unit = to_utf8 ? 2 : 1;
  static const char kReplacementUtf8[] = "\xEF\xBF\xBD";
  static const char kReplacementUtf16[] = "\xFD\xFF";
  iconv_t cd = reinterpret_cast<iconv_t>(handle);
  std::lock_guard<std::mutex> lk(mutex_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* src = const_cast<char*>(in);
  std::size_t left = in_bytes;
  char chunk[1024];
  while (left > 0) {
    char* dst = chunk;
    std::size_t room = sizeof chunk;
    const std::size_t r = iconv(cd, &src, &left, &dst, &room);
    result.append(chunk, static_cast<std::size_t>(dst - chunk));
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Illegal or incomplete input: one replacement character per bad unit.
      result.append(to_utf8 ? kReplacementUtf8 : kReplacementUtf16, to_utf8 ? 3 : 2);
      const std::size_t skip = left < unit ? left : unit;
      src += skip;
      left -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return result;
}

std::string UtfConvert::toUTF8(const WCHAR* text) {
  if (text == nullptr) {
    KEL_LOG_AS("std::string UtfConvert::toUTF8(const wchar_t*)", KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE,
               "Invalid argument");
    return std::string();
  }
  return convert(to_utf8_, reinterpret_cast<const char*>(text), platform::wcslen16(text) * 2);
}

std::u16string UtfConvert::toUCS4(const char* text) {
  if (text == nullptr) {
    KEL_LOG_AS("std::wstring UtfConvert::toUCS4(const char*)", KEL_LOG_ERR, KEL_MOD_CONF, KEL_MARK_NOTE,
               "Invalid argument");
    return std::u16string();
  }
  const std::string bytes = convert(to_utf16_, text, std::strlen(text));
  std::u16string out(bytes.size() / 2, u'\0');
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}
