// The engine in this process over a blank simulated cartridge: initialised
// and mounted with the default flags, the request interface running over
// its slots; everything undone at the end.
//
//   kelsim::HarnessOptions o;
//   o.cartridge.medium_type = 0xE1;
//   {
//     kel_bench::MountedEngine engine(dir, o);
//     ... the engine's calls ...
//   }
#pragma once

#include "kel/kel_interface.h"
#include "sim/harness.h"

#include <filesystem>
#include <memory>

namespace kel_bench {

class MountedEngine {
 public:
  // `dir` is made and holds the registry file (KEL_REGISTRY) and the cache;
  // it is removed at the end. A rewritable disc comes formatted.
  MountedEngine(const std::filesystem::path& dir, const kelsim::HarnessOptions& options);
  ~MountedEngine();
  MountedEngine(const MountedEngine&) = delete;
  MountedEngine& operator=(const MountedEngine&) = delete;

 private:
  std::filesystem::path dir_;
  std::unique_ptr<kelsim::SimHarness> sim_;
  CKelInterface itf_;
};

}  // namespace kel_bench
