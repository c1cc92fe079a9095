// A program started for a test with its standard output on a pipe: the test
// reads its lines and stops it with a signal.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

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
    out_ = fds[0];
  }
  ~ChildProgram() {
    if (pid_ > 0) stop();
    if (out_ >= 0) ::close(out_);
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  // The next line of its standard output without the line feed; "" at the
  // end of the output, or when no whole line came within the deadline (a
  // real-time limit that a healthy program never reaches).
  std::string line(int deadline_ms = 30000) {
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string s = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return s;
      }
      pollfd p{out_, POLLIN, 0};
      char buf[512];
      const ssize_t n = out_ >= 0 && ::poll(&p, 1, deadline_ms) > 0 ? ::read(out_, buf, sizeof buf) : 0;
      if (n <= 0) return {};
      pending_.append(buf, static_cast<std::size_t>(n));
    }
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
  int out_ = -1;
  std::string pending_;  // output read past the last line returned
};

}  // namespace kel_test
