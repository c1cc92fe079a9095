// Crash dumps an engine left: where they are, and whose they are (by the
// process id in each dump's header, whatever its name).
#pragma once

#include "qvminidump/dump_format.h"

#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace kel_e2e {

// Whether the dump tool may trace a process of this user here: a child
// that waits to be killed is dumped once into `folder` (and the dump
// removed).
inline bool dumps_permitted(const std::string& tool, const std::string& folder) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(child));
  std::vector<std::string> args{tool, "-p", hex, "-t", hex, "-f", folder + "/probe.dmp"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int status = -1;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0) ::waitpid(pid, &status, 0);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  std::error_code ec;
  std::filesystem::remove(folder + "/probe.dmp", ec);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The names of the dumps in `folder` (files "KelDriver*.dmp") that hold the
// process `pid`.
inline std::vector<std::string> dumps_of_process(const std::filesystem::path& folder, pid_t pid) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename();
    if (name.rfind("KelDriver", 0) != 0 || name.size() < 4 || name.compare(name.size() - 4, 4, ".dmp") != 0)
      continue;
    qvminidump::DumpHeader header{};
    std::ifstream in(e.path(), std::ios::binary);
    if (in.read(reinterpret_cast<char*>(&header), sizeof header) &&
        std::memcmp(header.magic, qvminidump::kDumpMagic, sizeof header.magic) == 0 &&
        header.processId == static_cast<std::uint32_t>(pid))
      found.push_back(name);
  }
  return found;
}

// The places a dump must never land in: the file-system root, the working
// directory, the program's folder, and the default folder of an engine
// that runs without a registry file of its own.
inline std::vector<std::filesystem::path> places_outside_the_run(const std::string& program) {
  std::vector<std::filesystem::path> places{"/", std::filesystem::current_path(),
                                            std::filesystem::path(program).parent_path()};
  if (const char* home = std::getenv("HOME"))
    places.push_back(std::string(home) + "/.config/kel/crash-dumps");
  return places;
}

}  // namespace kel_e2e
