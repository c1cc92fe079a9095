#include "support.h"

#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>

extern char** environ;

namespace minidump_test {

TempDir::TempDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "XXXXXX";
  if (!mkdtemp(tmpl.data())) std::abort();
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::entries() const {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::directory_iterator(path_)) v.push_back(e.path().filename());
  std::sort(v.begin(), v.end());
  return v;
}

Child spawnChild(const std::vector<std::string>& argv) {
  Child c;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return c;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  if (rc != 0) {
    close(in[1]);
    close(out[0]);
    return c;
  }
  c.pid = pid;
  c.in = in[1];
  c.out = out[0];
  return c;
}

std::string readLine(const Child& c) {
  std::string line;
  char ch;
  while (read(c.out, &ch, 1) == 1 && ch != '\n') line.push_back(ch);
  return line;
}

int finishChild(Child& c) {
  if (c.in >= 0) close(c.in);
  if (c.out >= 0) close(c.out);
  c.in = c.out = -1;
  int status = 0;
  if (c.pid > 0) {
    while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  c.pid = -1;
  return status;
}

int runProgram(const std::vector<std::string>& argv, pid_t* started, const std::string& stderr_path) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!stderr_path.empty())
    posix_spawn_file_actions_addopen(&fa, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  const int spawned = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (spawned != 0) return -1;
  if (started) *started = pid;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

void becomeSubreaper() {
  static const bool done = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
  (void)done;
}

void reapAllChildren() {
  int status;
  while (waitpid(-1, &status, 0) > 0 || errno == EINTR) {
  }
}

}  // namespace minidump_test
