#include "engine_mount.h"

#include "bench_frame.h"
#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/entry.h"
#include "kel/pipe_client.h"
#include "kel/volctrl.h"
#include "kelhost/vnode.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace kel_bench {

MountedEngine::MountedEngine(const std::filesystem::path& dir, const kelsim::HarnessOptions& options) : dir_(dir) {
  std::filesystem::create_directories(dir_);
  ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  sim_ = std::make_unique<kelsim::SimHarness>(options);
  if (kelsim::is_rewritable_type(options.cartridge.medium_type)) sim_->cartridge().disc(0).formatted = true;
  std::string program = "KelDriver", cookie = sim_->cookie_text(), cache = (dir_ / "cache").string();
  std::vector<char*> argv = {program.data(), cookie.data(), cache.data(), nullptr};
  if (quorvel_kel_init(3, const_cast<const char**>(argv.data())) != 0) die("init failed", 0);
  if (int e = Initialise(3, argv.data())) die("Initialise failed", e);
  if (int e = kelmain::MountDefault()) die("mount failed", e);
  RuvoCtrlVolume::resetForTesting();
  itf_.Initialise(&kelmain::operation_table());
  kel::SetCurrentInterface(&itf_);
}

MountedEngine::~MountedEngine() {
  kel::SetCurrentInterface(nullptr);
  kelmain::Unmount(true);
  com_tarn_filesystems_mdcudfsr_stop();
  clientif_delete();
  kel_tree_set_root(nullptr);
  kel_vnops = KelResolvedVnops{};
  kelmain::process_state() = kelmain::ProcessState{};
  sim_.reset();
  kel::SetMediumCookie(0);
  RuvoCtrlVolume::resetForTesting();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

}  // namespace kel_bench
