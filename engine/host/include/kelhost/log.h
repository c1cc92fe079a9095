// The engine's logger: every line carries a fixed header (program name,
// module tag, level name, thread, marker, function and line) and is handed to
// the interface library, which decides where it goes.
#pragma once

#include "platform/win32.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdint>

// Levels.
enum : unsigned {
  KEL_LOG_EMGN = 0,
  KEL_LOG_ALET = 1,
  KEL_LOG_CRIT = 2,
  KEL_LOG_ERR = 3,
  KEL_LOG_WARN = 4,
  KEL_LOG_NOTI = 5,
  KEL_LOG_INFO = 6,
  KEL_LOG_DEBG = 7,
};

// Module tags.
enum : int {
  KEL_MOD_FS = 0,     // "FS__"
  KEL_MOD_DRV = 1,    // "DRV_"
  KEL_MOD_CORE = 2,   // "CORE"
  KEL_MOD_PROT = 3,   // "PROT"
  KEL_MOD_USER = 4,   // "USER"
  KEL_MOD_WRIT = 5,   // "WRIT"
  KEL_MOD_SDKC = 6,   // "SDKC"
  KEL_MOD_LIBW = 7,   // "LIBW"
  KEL_MOD_LOGG = 8,   // "LOGG"
  KEL_MOD_CONF = 9,   // "CONF"
  KEL_MOD_KELC = 10,  // "KELC"
  KEL_MOD_FUSE = 11,  // "FUSE"
  KEL_MOD_MNT = 12,   // "_MNT"
  KEL_MOD_RMNT = 13,  // "RMNT"
};

// Markers.
enum : int {
  KEL_MARK_ENTER = 0,  // "++++" function entry
  KEL_MARK_EXIT = 1,   // "----" function exit
  KEL_MARK_BOTH = 2,   // "++--"
  KEL_MARK_NOTE = 3,   // "****"
  KEL_MARK_NONE = 4,   // "    "
};

// Size of a log line, terminator included (narrow characters or UTF-16 units).
constexpr int KEL_LOG_LINE_SIZE = 1024;

// One narrow line; returns whether CheckLogLevel(level) accepted it.
bool LogPrint(unsigned level, int module, int marker, const char* function, int line,
              std::uint64_t thread, const char* format, ...) __attribute__((format(printf, 7, 8)));
bool LogPrintV(unsigned level, int module, int marker, const char* function, int line,
               std::uint64_t thread, const char* format, va_list args);
// The same with a UTF-16 format and output. Conversions follow the wide
// printf of the original platform: %s and %c take UTF-16 text, %hs, %S and
// %hc narrow (UTF-8) text; numbers as in printf.
bool LogPrintW(unsigned level, int module, int marker, const char* function, int line,
               std::uint64_t thread, const WCHAR* format, ...);
// The header alone (entry and exit traces).
void LogTrace(unsigned level, int module, int marker, const char* function, int line,
              std::uint64_t thread);
// Replaces the program name printed in brackets at the start of every line.
void LogSetProgramName(const char* name);

// Operation-table slot 0: the log sink of the interface library and the
// drive SDK. Level 2/3/4 -> INFO/WARN/ERR_, else DEBG; source 1/2/4 ->
// LOGG/SDKC/LIBW, else KELC. The text is printed as it stands. Returns 0.
int LogMessage(unsigned level, int source, const char* function, int line, const WCHAR* text);

// Debug-trace filter table: 25 categories x 4 level columns.
constexpr unsigned KEL_DEBUG_CATEGORIES = 25;
constexpr unsigned KEL_DEBUG_COLUMNS = 4;
// True when column < 4, category < 25 and the table value is at least level.
bool mdcudfsr_debug_level_check(unsigned column, int level, unsigned category);
// Mount-time setter; does nothing while the table is frozen.
void mdcudfsr_debug_level_set(int level);
// Module start: unfreezes the table and fills its initial columns.
void mdcudfsr_debug_level_init();
// Freezes or unfreezes the table against mdcudfsr_debug_level_set.
void mdcudfsr_debug_level_freeze(bool frozen);
// The table value at (category, column), or -1 outside the table.
int mdcudfsr_debug_level_get(unsigned column, unsigned category);

// Logging macros: the function name is the compiler's full signature and the
// thread is pthread_self() of the caller. The subsystems' macros (CACHE_LOG,
// VFS_LOG, VN_LOG, UDF_LOG, DRV_LOG, ...) are built on these.
// The texts of the log lines are fixed: tests and the host's tools compare
// them, so a misspelling ("realocate") or a label naming another function
// stays as it is.
#define KEL_THREAD_ID() (static_cast<std::uint64_t>(pthread_self()))
#define KEL_LOG(level, module, marker, ...) \
  LogPrint((level), (module), (marker), __PRETTY_FUNCTION__, __LINE__, KEL_THREAD_ID(), __VA_ARGS__)
#define KEL_LOG_AS(function, level, module, marker, ...) \
  LogPrint((level), (module), (marker), (function), __LINE__, KEL_THREAD_ID(), __VA_ARGS__)
#define KEL_TRACE(level, module, marker) \
  LogTrace((level), (module), (marker), __PRETTY_FUNCTION__, __LINE__, KEL_THREAD_ID())
#define KEL_LOGW(level, module, marker, ...) \
  LogPrintW((level), (module), (marker), __PRETTY_FUNCTION__, __LINE__, KEL_THREAD_ID(), __VA_ARGS__)
