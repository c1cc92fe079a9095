// The frame every benchmark program shares: its real-time clock, the way it
// gives up, and a scratch folder holding its registry file and cache files.
#pragma once

#include <chrono>
#include <string>

namespace kel_bench {

using Clock = std::chrono::steady_clock;

inline double secs_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
inline double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The name die() prints before its message.
void set_program(const char* name);
// Prints "<program>: <what> (<err>)" and ends the program with status 1.
[[noreturn]] void die(const char* what, int err = 0);

// "<temp>/<prefix>_<pid>", created; the registry file of this process
// (KEL_REGISTRY) lies in it and the engine's cache files ("Fs Cache File
// Path") below it. Removed with everything in it at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Standard output goes to /dev/null while one lives: the engine writes its
// log there, and the figures must stand alone.
class EngineLogAside {
 public:
  EngineLogAside();
  ~EngineLogAside();
  EngineLogAside(const EngineLogAside&) = delete;
  EngineLogAside& operator=(const EngineLogAside&) = delete;

 private:
  int out_ = -1;
};

}  // namespace kel_bench
