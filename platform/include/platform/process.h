// Starting programs and waiting for them.
#pragma once

#include "platform/win32.h"

#include <string>
#include <vector>

namespace platform {

// Splits a Windows-style command line into arguments (blanks separate,
// double quotes group, backslashes before a quote escape it).
std::vector<std::string> split_command_line(const std::string& cmdline);

struct Process {
  int pid = -1;
};

// Starts the program named by the first argument of cmdline (looked up in
// PATH when it holds no '/'). Returns false with the last error set
// (ERROR_FILE_NOT_FOUND when the program cannot be run).
bool create_process(const std::string& cmdline, Process* out);
// Waits for the process; WAIT_OBJECT_0 with *exit_code set, WAIT_TIMEOUT,
// or WAIT_FAILED. A process ended by a signal reports 0xC0000000 | signal.
DWORD wait_process(Process& p, DWORD timeout_ms, DWORD* exit_code);
// Starts and waits; returns false when the program could not be started.
bool run_process(const std::string& cmdline, DWORD* exit_code);

}  // namespace platform
