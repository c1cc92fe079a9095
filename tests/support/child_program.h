// A program started for a test with its standard output on a pipe: the test
// reads its lines and stops it with a signal.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace kel_test {

class ChildProgram {
 public:
  ChildProgram(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<std::string> copy = args;
      copy.insert(copy.begin(), program);
      std::vector<char*> argv;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~ChildProgram() {
    if (pid_ > 0) stop();
    if (out_) std::fclose(out_);
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // The next line of its standard output without the line feed (blocks
  // until it comes); "" at the end of the output.
  std::string line() {
    char buf[512];
    if (!out_ || !std::fgets(buf, sizeof(buf), out_)) return {};
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // Sends the signal and reaps the program: its exit status, -1 when a
  // signal ended it.
  int stop(int signal = SIGTERM) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::FILE* out_ = nullptr;
};

}  // namespace kel_test
