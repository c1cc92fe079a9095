// QvMiniDump: writes a dump of another, running process.
//
//   QvMiniDump -p <pid> -t <tid> [-e <address>] -f <file>
//
// Options are compared without regard to case and each takes the next
// argument as its value: -p the process id and -t the id of the thread that
// raised the exception, both hexadecimal (at most 32 bits); -e the address
// of the crash record inside the process, hexadecimal with an optional
// "0x", 0 or absent for none; -f the dump file, which must not exist yet.
//
// The result is 0 or the Win32 error of the first step that failed:
//   87  ERROR_INVALID_PARAMETER  an unknown option, an option without its
//                                value, a value that is not hexadecimal or
//                                too large, -p, -t or -f missing (all of
//                                these before anything is opened), or a
//                                process that does not exist
//    5  ERROR_ACCESS_DENIED      the process may not be traced (ptrace is
//                                not permitted), or the file not created
//   80  ERROR_FILE_EXISTS        a file of that name exists (it is kept)
//    3  ERROR_PATH_NOT_FOUND     the file's folder does not exist
//   13  ERROR_INVALID_DATA       no valid crash record at the -e address
//  998  ERROR_NOACCESS           the -e address cannot be read
//  112, 29, 8, 206, 31           disk full, write fault, no memory, name too
//                                long, any other failure
// Nothing is printed. The dump is written to a temporary file beside the
// target and given the target's name only when complete, so a failed run
// leaves no partial file, and a dump is never replaced by another.
//
// Exit status: a process status keeps 8 bits, so the program exits with the
// result when it is below 255 and with 255 for every result of 255 or more
// (998 for example). RunTool() gives the full result.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qvminidump {

struct Options {
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
  std::uint64_t exceptionPointers = 0;
  std::string file;
  bool hasProcess = false;
  bool hasThread = false;
  bool hasFile = false;
};

// Parses the arguments after the program name; 0 or ERROR_INVALID_PARAMETER.
DWORD ParseOptions(const std::vector<std::string>& args, Options* out);

// Attaches to the process, writes the dump and detaches; 0 or a Win32 error.
DWORD WriteDump(const Options& options);

// ParseOptions, then WriteDump.
DWORD RunTool(const std::vector<std::string>& args);

// The process exit status that reports a result.
int ExitStatusFor(DWORD result);

// The Win32 error for an errno value of the tool's system calls.
DWORD Win32ErrorFromErrno(int err);

}  // namespace qvminidump
