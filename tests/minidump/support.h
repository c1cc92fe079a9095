// Helpers of the crash-dump tests: temporary folders, child processes.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace minidump_test {

// A temporary folder removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "kel-minidump-");
  ~TempDir();
  const std::string& path() const { return path_; }
  // Names of the entries, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string path_;
};

// A child process with a pipe to its standard input and one from its
// standard output.
struct Child {
  pid_t pid = -1;
  int in = -1;   // write end of its standard input
  int out = -1;  // read end of its standard output
};
Child spawnChild(const std::vector<std::string>& argv);
// Reads one line of the child's output (without the newline).
std::string readLine(const Child& c);
// Closes its input and waits; the raw wait status.
int finishChild(Child& c);

// Starts a program and waits for it; the raw wait status (-1 when it could
// not be started). pid, when given, receives its process id.
// With `stderr_path`, its standard error goes to that file.
int runProgram(const std::vector<std::string>& argv, pid_t* pid = nullptr, const std::string& stderr_path = {});

// Makes this process the reaper of orphaned descendants (once), and waits
// for every child process that is left.
void becomeSubreaper();
void reapAllChildren();

}  // namespace minidump_test
