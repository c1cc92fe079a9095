#include "kelhost/log.h"

#include "kel/debug.h"
#include "platform/codepage.h"
#include "wformat.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

const char* const kLevelNames[] = {"EMGN", "ALET", "CRIT", "ERR_", "WARN", "NOTI", "INFO", "DEBG"};
const char* const kModuleTags[] = {"FS__", "DRV_", "CORE", "PROT", "USER", "WRIT", "SDKC",
                                   "LIBW", "LOGG", "CONF", "KELC", "FUSE", "_MNT", "RMNT"};
const char* const kMarkers[] = {"++++", "----", "++--", "****", "    "};

// The program name: written by the drive layer at start-up; read by every
// line. Guarded so that a late rename cannot tear a line's header.
std::mutex g_name_mutex;
char g_program_name[64] = "";

const char* level_name(unsigned level) {
  if (level > KEL_LOG_DEBG) level = KEL_LOG_DEBG;
  return kLevelNames[level];
}
const char* module_tag(int module) {
  return (module >= 0 && module < static_cast<int>(sizeof kModuleTags / sizeof *kModuleTags))
             ? kModuleTags[module]
             : "????";
}
const char* marker_text(int marker) {
  return (marker >= 0 && marker < static_cast<int>(sizeof kMarkers / sizeof *kMarkers)) ? kMarkers[marker]
                                                                                       : "????";
}

// Writes the header into buf (size bytes, cut to fit); returns its length.
std::size_t build_header(char* buf, std::size_t size, unsigned level, int module, int marker,
                         const char* function, int line, std::uint64_t thread) {
  char name[sizeof g_program_name];
  {
    std::lock_guard<std::mutex> lk(g_name_mutex);
    std::memcpy(name, g_program_name, sizeof name);
  }
  char tid[9];
  std::snprintf(tid, sizeof tid, "%08x", static_cast<unsigned>(thread & 0xFFFFFFFFu));
  const int n = std::snprintf(buf, size, "[%s] %s{%s} TID[%s] %s[%s:%d] ", name, module_tag(module),
                              level_name(level), tid, marker_text(marker),
                              function != nullptr ? function : "No Set(NULL)", line);
  if (n < 0) {
    buf[0] = 0;
    return 0;
  }
  return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

// The debug-trace filter table: rows of 25 integers of which the first 4
// are used.
std::mutex g_table_mutex;
std::int32_t g_table[KEL_DEBUG_CATEGORIES][25];
bool g_table_frozen = false;
bool g_table_changed = false;  // cleared by every accepted set

}  // namespace

void LogSetProgramName(const char* name) {
  std::lock_guard<std::mutex> lk(g_name_mutex);
  if (name == nullptr) name = "";
  std::snprintf(g_program_name, sizeof g_program_name, "%s", name);
}

bool LogPrintV(unsigned level, int module, int marker, const char* function, int line,
               std::uint64_t thread, const char* format, va_list args) {
  if (!CheckLogLevel(static_cast<int>(level))) return false;
  char buf[KEL_LOG_LINE_SIZE];
  const std::size_t n = build_header(buf, sizeof buf, level, module, marker, function, line, thread);
  if (format != nullptr && n + 1 < sizeof buf) {
    va_list ap;
    va_copy(ap, args);
    std::vsnprintf(buf + n, sizeof buf - n, format, ap);
    va_end(ap);
  }
  buf[sizeof buf - 1] = 0;
  SendDebugStringA(static_cast<int>(level), buf);
  return true;
}

bool LogPrint(unsigned level, int module, int marker, const char* function, int line,
              std::uint64_t thread, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const bool r = LogPrintV(level, module, marker, function, line, thread, format, ap);
  va_end(ap);
  return r;
}

bool LogPrintW(unsigned level, int module, int marker, const char* function, int line,
               std::uint64_t thread, const WCHAR* format, ...) {
  if (!CheckLogLevel(static_cast<int>(level))) return false;
  char header[KEL_LOG_LINE_SIZE];
  build_header(header, sizeof header, level, module, marker, function, line, thread);
  std::u16string wide_header = platform::utf8_to_utf16(header);
  WCHAR buf[KEL_LOG_LINE_SIZE];
  std::size_t n = wide_header.size();
  if (n > KEL_LOG_LINE_SIZE - 1) n = KEL_LOG_LINE_SIZE - 1;
  std::memcpy(buf, wide_header.data(), n * sizeof(WCHAR));
  buf[n] = 0;
  if (format != nullptr && n + 1 < KEL_LOG_LINE_SIZE) {
    va_list ap;
    va_start(ap, format);
    kelhost::format_wide(buf + n, KEL_LOG_LINE_SIZE - n, format, ap);
    va_end(ap);
  }
  buf[KEL_LOG_LINE_SIZE - 1] = 0;
  SendDebugStringW(static_cast<int>(level), buf);
  return true;
}

void LogTrace(unsigned level, int module, int marker, const char* function, int line,
              std::uint64_t thread) {
  if (!CheckLogLevel(static_cast<int>(level))) return;
  char buf[KEL_LOG_LINE_SIZE];
  build_header(buf, sizeof buf, level, module, marker, function, line, thread);
  SendDebugStringA(static_cast<int>(level), buf);
}

int LogMessage(unsigned level, int source, const char* function, int line, const WCHAR* text) {
  unsigned engine_level;
  switch (level) {
    case 2: engine_level = KEL_LOG_INFO; break;
    case 3: engine_level = KEL_LOG_WARN; break;
    case 4: engine_level = KEL_LOG_ERR; break;
    default: engine_level = KEL_LOG_DEBG; break;
  }
  int module;
  switch (source) {
    case 1: module = KEL_MOD_LOGG; break;
    case 2: module = KEL_MOD_SDKC; break;
    case 4: module = KEL_MOD_LIBW; break;
    default: module = KEL_MOD_KELC; break;
  }
  // The caller's text is data, never a format: a '%' in it is printed as is.
  LogPrintW(engine_level, module, KEL_MARK_NOTE, function, line, KEL_THREAD_ID(), u"%s",
            text != nullptr ? text : u"");
  return 0;
}

void mdcudfsr_debug_level_init() {
  static const unsigned kOn[] = {0, 4, 7, 9, 11, 12, 17, 18, 19, 20, 21};
  std::lock_guard<std::mutex> lk(g_table_mutex);
  g_table_frozen = false;
  for (unsigned c = 0; c < KEL_DEBUG_CATEGORIES; ++c) {
    bool on = false;
    for (unsigned k : kOn) on = on || k == c;
    g_table[c][0] = 0xFFFF;
    g_table[c][1] = on ? 1 : -1;
    g_table[c][2] = on ? 1 : -1;
    g_table[c][3] = 1;
  }
}

void mdcudfsr_debug_level_set(int level) {
  std::lock_guard<std::mutex> lk(g_table_mutex);
  if (g_table_frozen) return;
  for (unsigned c = 0; c < KEL_DEBUG_CATEGORIES; ++c) {
    if (level < 0) {
      for (unsigned k = 0; k < KEL_DEBUG_COLUMNS; ++k) g_table[c][k] = -1;
    } else {
      g_table[c][0] = level;
      g_table[c][1] = level;
      g_table[c][2] = -1;
      g_table[c][3] = -1;
    }
  }
  g_table_changed = false;
}

void mdcudfsr_debug_level_freeze(bool frozen) {
  std::lock_guard<std::mutex> lk(g_table_mutex);
  g_table_frozen = frozen;
}

bool mdcudfsr_debug_level_check(unsigned column, int level, unsigned category) {
  if (column >= KEL_DEBUG_COLUMNS || category >= KEL_DEBUG_CATEGORIES) return false;
  std::lock_guard<std::mutex> lk(g_table_mutex);
  return g_table[category][column] >= level;
}

int mdcudfsr_debug_level_get(unsigned column, unsigned category) {
  if (column >= KEL_DEBUG_COLUMNS || category >= KEL_DEBUG_CATEGORIES) return -1;
  std::lock_guard<std::mutex> lk(g_table_mutex);
  return g_table[category][column];
}
