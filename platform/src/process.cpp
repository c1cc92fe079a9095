#include "platform/process.h"
#include "platform/sync.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

std::vector<std::string> split_command_line(const std::string& s) {
  std::vector<std::string> args;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || (s[i] != ' ' && s[i] != '\t'))) {
      if (s[i] == '\\') {
        std::size_t bs = 0;
        while (i < n && s[i] == '\\') { ++bs; ++i; }
        if (i < n && s[i] == '"') {
          arg.append(bs / 2, '\\');
          if (bs % 2) { arg.push_back('"'); ++i; }
        } else {
          arg.append(bs, '\\');
        }
      } else if (s[i] == '"') {
        quoted = !quoted;
        ++i;
      } else {
        arg.push_back(s[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

bool create_process(const std::string& cmdline, Process* out) {
  auto args = split_command_line(cmdline);
  if (args.empty() || !out) { SetLastError(ERROR_INVALID_PARAMETER); return false; }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    SetLastError(rc == ENOENT || rc == EACCES ? ERROR_FILE_NOT_FOUND : ERROR_GEN_FAILURE);
    return false;
  }
  out->pid = pid;
  return true;
}

DWORD wait_process(Process& p, DWORD timeout_ms, DWORD* exit_code) {
  if (p.pid <= 0) { SetLastError(ERROR_INVALID_HANDLE); return WAIT_FAILED; }
  const std::uint64_t deadline = timeout_ms == INFINITE ? 0 : clock().now_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(p.pid, &status, timeout_ms == INFINITE ? 0 : WNOHANG);
    if (r == p.pid) {
      DWORD code = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                     : 0xC0000000u | static_cast<DWORD>(WTERMSIG(status));
      if (exit_code) *exit_code = code;
      p.pid = -1;
      return WAIT_OBJECT_0;
    }
    if (r < 0 && errno != EINTR) { SetLastError(ERROR_INVALID_HANDLE); return WAIT_FAILED; }
    if (r == 0) {
      if (clock().now_ms() >= deadline) return WAIT_TIMEOUT;
      usleep(1000);
    }
  }
}

bool run_process(const std::string& cmdline, DWORD* exit_code) {
  Process p;
  if (!create_process(cmdline, &p)) return false;
  return wait_process(p, INFINITE, exit_code) == WAIT_OBJECT_0;
}

}  // namespace platform
