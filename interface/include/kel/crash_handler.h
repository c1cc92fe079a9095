// The crash handler: when the process meets a fatal signal, the separate
// tool QvMiniDump (beside the program) writes a dump of it into the dump
// directory.
//
// The dump directory is the registry value "Log file directory" under
// HKEY_LOCAL_MACHINE\Software\Quorvel\Stravo (64-bit view, then the 32-bit
// view). Without that value (or with an empty one) it is the folder
// "crash-dumps" beside the registry file (platform::registry_path()), made
// with mode 0700 when the first dump is written; never the file-system root
// or the working directory. When the registry file's path is not absolute
// there is no default and no dump is written.
//
// SetExceptionHandler() chooses the dump directory, starts a watcher thread
// and installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT on
// the alternate signal stack (the calling thread gets one here; every other
// thread gets one from platform/thread_start.h). A crashing thread only
// fills the crash record (kel/crash_record.h), wakes the watcher through a
// pipe and waits for it; the watcher starts
//
//   "<program directory>/QvMiniDump" -p <pid> -t <tid> -e 0x<record address>
//       -f "<dump directory>/KelDriver<YYYYmmddHHMMSS><exception code>-<pid>.dmp"
//
// (process and thread id in hexadecimal, the record's address as 16
// hexadecimal digits, the code as in the table below, and the process id
// once more in decimal, so that processes crashing in the same second keep
// a dump each), waits for it to end without reading its exit code, and
// then deletes the oldest dumps of the directory until kDumpsKept are left.
// It lets the crashing thread go on, and the handler gives the signal its
// default action, so the process ends after the first dump; a second thread
// that crashes meanwhile waits for the first dump and may not get its own.
//
// Exception codes (Windows codes of the matching exceptions):
//   SIGSEGV                          C0000005  access violation
//   SIGBUS   BUS_ADRALN              80000002  data type misalignment
//   SIGBUS   other                   C0000006  in-page error
//   SIGFPE   FPE_INTDIV              C0000094  integer divide by zero
//   SIGFPE   FPE_INTOVF              C0000095  integer overflow
//   SIGFPE   FPE_FLTDIV              C000008E  float divide by zero
//   SIGFPE   FPE_FLTOVF              C0000091  float overflow
//   SIGFPE   FPE_FLTUND              C0000093  float underflow
//   SIGFPE   FPE_FLTRES              C000008F  float inexact result
//   SIGFPE   FPE_FLTSUB              C000008C  array bounds exceeded
//   SIGFPE   FPE_FLTINV and other    C0000090  float invalid operation
//   SIGILL   ILL_PRVOPC, ILL_PRVREG  C0000096  privileged instruction
//   SIGILL   other                   C000001D  illegal instruction
//   SIGABRT                          40000015  fatal application exit
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Installs the crash handler. 0 on success; otherwise the handler is not
// installed and the result is: 17 "Log file directory" is not a string,
// 12 no memory for it, 5 it could not be read, 14 the watcher thread could
// not be started, or the registry's error when the registry cannot be read
// (ERROR_REGISTRY_CORRUPT, ERROR_REGISTRY_IO_FAILED). A missing key or value
// makes the dump directory the default one.
extern "C" DWORD SetExceptionHandler();

namespace kel::crash {

constexpr const char* kToolFileName = "QvMiniDump";
constexpr const char* kRegistryKey = "Software\\Quorvel\\Stravo";
constexpr const char* kLogDirectoryValue = "Log file directory";
constexpr const char* kDefaultDumpFolder = "crash-dumps";
// Dumps left in the dump directory after each dump (each is the size of the
// process's memory, hundreds of MB for an engine).
constexpr int kDumpsKept = 3;

// The Windows exception code for a fatal signal and its si_code (table above).
std::uint32_t ExceptionCodeForSignal(int signal, int signalCode);

// Reads "Log file directory"; 0 or the error SetExceptionHandler returns.
// A missing key or value leaves the directory empty.
DWORD ReadLogDirectory(std::string* directory);

// The dump directory without "Log file directory": "crash-dumps" in the
// folder of the registry file, or "" when that file's path is not absolute.
std::string DefaultDumpDirectory();

// True for the names the handler gives its dumps: "KelDriver...dmp".
bool IsDumpName(const char* name);

// Deletes the oldest dumps of the directory (regular files with a dump
// name, oldest time of change first) until at most `keep` are left. Other
// files are left alone. Uses no heap memory.
void PruneDumps(const char* directory, int keep);

// "%Y%m%d%H%M%S" of a broken-down time, into 15 characters with the NUL.
void FormatTimeStamp(const std::tm& t, char out[15]);

struct CommandParts {
  const char* programDirectory;
  const char* toolFileName;
  std::uint32_t processId;
  std::uint32_t threadId;
  std::uint64_t exceptionPointers;
  const char* dumpDirectory;
  const char* timeStamp;
  // The exception code in hexadecimal, or "InvalidParameter" without a record.
  const char* exceptionText;
};

// Builds the tool's command line into buf (NUL-terminated); the length, or
// -1 when it does not fit. The paths are placed in double quotes; a '"',
// '\', '$' or '`' in them is escaped with '\' so that SplitCommandLine gives
// them back unchanged. Uses no heap memory.
int FormatCommandLine(char* buf, std::size_t capacity, const CommandParts& parts);

// Splits a command line in place into words as a shell does: blanks
// separate, double quotes group, '\' takes the next character literally
// (inside double quotes only before '"', '\', '$' and '`'). Stores at most
// maxArgs - 1 words and a terminating null pointer; the number of words, or
// -1 for an unterminated quote or too many words. Uses no heap memory.
int SplitCommandLine(char* line, char** argv, int maxArgs);

}  // namespace kel::crash
