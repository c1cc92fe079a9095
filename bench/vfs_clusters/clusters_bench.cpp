// Write clusters at scale.
//
//   kel_vfs_clusters_bench [--mib N]
//
// Stages N MiB (default 64) of metadata blocks, whole 64 KiB clusters in a
// random cluster order, through the real cache agent thread into the local
// cache file, then flushes them to the simulated drive (sorted, reserved,
// synced, verified). The baseline, in the same run, writes the same 64 KiB
// clusters with buf_bwrite through the drive client. Prints the throughput of
// each and the ratios to the baseline.
#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "sim/harness.h"
#include "udf/udf_neighbour_calls.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secs_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

[[noreturn]] void die(const char* what, int err = 0) {
  std::fprintf(stderr, "kel_vfs_clusters_bench: %s (%d)\n", what, err);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t mib = 64;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--mib") == 0) mib = static_cast<std::uint32_t>(std::atoi(argv[i + 1]));
  const std::uint32_t clusters = mib * 16;
  const std::string dir = std::filesystem::temp_directory_path() / ("kel_vfs_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ::setenv("KEL_REGISTRY", (dir + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  config_set_string(0, nullptr, "Fs Cache File Path", (dir + "/KELFS").c_str(), nullptr);

  kelsim::HarnessOptions h;
  h.cartridge.medium_type = 0xE2;
  h.cartridge.disc_blocks = clusters * 32 * 2 + 0x1000;
  h.cartridge.medium_serial = "BENCH-1";
  {
    kelsim::SimHarness sim(h);
    kel::SetMediumCookie(sim.cookie());
    kelsim::Disc& d = sim.cartridge().disc(0);
    d.formatted = true;
    d.status = kelsim::DiscStatus::Complete;
    sim.cartridge().save();
    sim.service().set_transcript_limit(64);
    pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
    if (int e = pclient_if->storage()->init()) die("drive client", e);

    auto* mnt = new mdcudfsr_mount;
    mount mp{};
    mnt->mp = &mp;
    mnt->devvp = reinterpret_cast<vnode_t>(&mp);
    mnt->medium_type = 0xE2;
    mnt->is_rewritable = 1;
    mnt->verify_mode = 0;
    mnt->num_discs = sim.cartridge().slots();
    if (mdcudfsr_init_clusters(mnt)) die("clusters");
    mdcudfsr_metacache_init();
    mnt->metacachedev = mdcudfsr_metacache_alloc(mnt);
    std::vector<std::string> args = {"KelDriver", "/dev/sd1A2B", dir};
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    if (!FsCacheAgent_main_func(3, argp.data())) die("agent");
    while (!mnt->cache_agent_opened) std::this_thread::yield();
    if (int e = mdcudfsr_cache_local_cache_open(mnt, 3, nullptr)) die("local cache", e);

    vfs_context ctx{1};
    std::vector<std::uint32_t> order(clusters);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(1));
    std::vector<std::uint8_t> data(MDCUDFSR_CLUSTER_BYTES);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);

    auto t = Clock::now();
    for (std::uint32_t cl : order)
      if (int e = mdcudfsr_write_cluster_buffer(mnt, &ctx, 1, cl * 32, data.data(), MDCUDFSR_CLUSTER_BYTES))
        die("staging", e);
    const double stage_s = secs_since(t);
    t = Clock::now();
    const mdcudfsr_cluster_track track{0, 0, 0};
    int vf = 0;
    std::uint32_t written = 0;
    if (int e = mdcudfsr_flush_all_clusters(mnt, 0, &ctx, &track, &vf, &written)) die("flush", e);
    const double flush_s = secs_since(t);

    // Baseline: the same clusters with buf_bwrite, behind the staged ones.
    const std::uint32_t base = clusters * 32;
    t = Clock::now();
    for (std::uint32_t cl : order) {
      buf_t bp = buf_getblk(mnt->devvp, base + cl * 32, MDCUDFSR_CLUSTER_BYTES, 0, 0, 2);
      if (!bp) die("buf_getblk");
      std::memcpy(reinterpret_cast<void*>(buf_dataptr(bp)), data.data(), MDCUDFSR_CLUSTER_BYTES);
      if (int e = buf_bwrite(bp)) die("buf_bwrite", e);
    }
    const double base_s = secs_since(t);

    mdcudfsr_cache_local_fs_cache_del(mnt, 1);
    mdcudfsr_metacache_mark_will_free(mnt->metacachedev);
    mdcudfsr_metacache_unmount(mnt);
    mdcudfsr_metacache_wait_close(mnt->metacachedev, 5000);
    mdcudfsr_metacache_free(mnt->metacachedev);
    delete mnt;
    clientif_delete();
    pclient_if = nullptr;

    const double mb = mib;
    std::printf("clusters: %u (%u MiB), blocks written %u\n", clusters, mib, written);
    std::printf("baseline buf_bwrite : %8.1f MiB/s (%.3f s)\n", mb / base_s, base_s);
    std::printf("staging (agent)     : %8.1f MiB/s (%.3f s)  ratio %.2f\n", mb / stage_s, stage_s, base_s / stage_s);
    std::printf("flush (sim)         : %8.1f MiB/s (%.3f s)  ratio %.2f\n", mb / flush_s, flush_s, base_s / flush_s);
  }
  kel::SetMediumCookie(0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
