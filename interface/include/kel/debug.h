// Log lines of the whole process: the trace file and the host's debug
// messages.
//
// The engine's logger asks CheckLogLevel whether a level is wanted and hands
// the finished line to SendDebugStringA or SendDebugStringW. A line goes
//   - to the trace file when its level is below the trace level and a debug
//     directory is set: "<directory>/KELtrace_YYYYMMDD_hhmmss_<ms>-<pid>.txt"
//     (local time of the file's start and the process id, so that engines
//     sharing the directory write files of their own), trailing white space
//     replaced by one line feed; a new file is begun after 256 MiB;
//   - to the host when its level is below 6, as a debug element on standard
//     output named by the level: below 0 "Internal", 0-3 "Error",
//     4 "Warning", 5 "Trace", with the SequenceNumber of the request being
//     served (0 when none).
// Levels: 0-3 errors of falling severity, 4 warning, 5 notice, 6 information,
// 7 debugging; negative levels are internal.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>

extern "C" {

// True when the level is below 6 or below the trace level.
bool CheckLogLevel(int level);
// Writes one line to the sinks its level selects. text may hold any bytes;
// nullptr counts as an empty line.
void SendDebugStringA(int level, const char* text);
// As SendDebugStringA for UTF-16 text (written to the file as UTF-8).
void SendDebugStringW(int level, const WCHAR* text);
// Sets the trace level; when the level is not 0 and the directory is not
// empty, the directory too (at most 2047 characters are kept).
void SetDebugFile(const char* directory, unsigned level);
// Accepted for compatibility; does nothing.
void SetLogLevel(unsigned level);
// The file-system cache delete level: CheckFsCacheDeleteLevel is true when
// level is at most the stored one.
void SetFsCacheDeleteLevel(unsigned level);
bool CheckFsCacheDeleteLevel(int level);

}  // extern "C"

namespace kel {

// The name of a trace file begun at the given local time by the given
// process, without the directory: "KELtrace_%d%02d%02d_%02d%02d%02d_%d-%u.txt"
// (year, month, day, hour, minute, second, millisecond, process id).
std::string TraceFileName(const SYSTEMTIME& local_time, std::uint32_t process_id);
// The path of the open trace file, empty when none is open.
std::string TraceFilePath();
// Closes the trace file (the next line begins a new one) and stops its
// flusher thread.
void CloseTraceFile();
// Bytes after which a new trace file is begun (256 MiB); tests lower it.
void SetTraceFileLimit(std::uint64_t bytes);
constexpr std::uint64_t kTraceFileLimit = 0x10000000;

}  // namespace kel
