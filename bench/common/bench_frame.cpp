#include "bench_frame.h"

#include "kel/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kel_bench {
namespace {
const char* g_program = "bench";
}  // namespace

void set_program(const char* name) { g_program = name; }

void die(const char* what, int err) {
  std::fprintf(stderr, "%s: %s (%d)\n", g_program, what, err);
  std::exit(1);
}

ScratchDir::ScratchDir(const std::string& prefix)
    : path_(std::filesystem::temp_directory_path() / (prefix + "_" + std::to_string(::getpid()))) {
  std::filesystem::create_directories(path_);
  ::setenv("KEL_REGISTRY", (path_ + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  config_set_string(0, nullptr, "Fs Cache File Path", (path_ + "/KELFS").c_str(), nullptr);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

EngineLogAside::EngineLogAside() {
  std::fflush(stdout);
  out_ = ::dup(1);
  const int null = ::open("/dev/null", O_WRONLY);
  if (out_ < 0 || null < 0 || ::dup2(null, 1) < 0) die("cannot set the engine's log aside", errno);
  ::close(null);
}

EngineLogAside::~EngineLogAside() {
  std::fflush(stdout);
  ::dup2(out_, 1);
  ::close(out_);
}

}  // namespace kel_bench
