// The rollback point search on a three-slot write-once cartridge in the
// simulated drive, with many generations of the metadata entry per slot:
// once with the previous-location chain intact, once broken (every
// generation found by scanning). For each: points per second, sectors read,
// and the ratio of the search's time to plain READ(10) commands of the same
// sectors through the same pipe client in the same run.
//
//   drivesdk_rollback_bench [--tiny]
//
// --tiny: a few generations, nothing timed; the exit status says whether
// every point was found.
#include "generations.h"
#include "rollback.h"
#include "scsi_device.h"

#include "engine/udf/support_image.h"
#include "kel/debug.h"
#include "kel/mdcfs.h"
#include "sim/harness.h"
#include "sim/wire.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kImageSectors = 8192;
constexpr int kSlots = 3;

int control(unsigned code, void* buffer) {
  if (code == 0x40107014 && buffer) {
    MDCFS_MOUNT_INFORMATION info{};
    info.MediumType = 0xE1;
    info.VolumeStatus = 0x81;
    std::memcpy(buffer, &info, sizeof info);
  }
  return 0;
}
int mount() { return 0; }
int unmount(bool) { return 0; }

// Every slot: the builder's image with `generations` entries below the
// current one, chained or not.
void writeSlots(kelsim::SimHarness& sim, int generations, bool chained) {
  for (int slot = 0; slot < kSlots; ++slot) {
    const auto spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, static_cast<std::uint32_t>(slot));
    std::vector<std::uint8_t> image;
    udf_test::build_volume(spec, image);
    const std::uint32_t current = sdktest::kBuilderCurrentMfe;
    const std::vector<std::uint8_t> base(image.begin() + std::size_t{current} * kSector,
                                         image.begin() + std::size_t{current + 1} * kSector);
    for (int g = 0; g <= generations; ++g) {
      const std::uint32_t at = current - static_cast<std::uint32_t>(g);
      std::optional<std::uint32_t> previous;
      if (chained && g < generations) previous = at - 1;
      sdktest::putGeneration(image, base, sdktest::Generation(at, previous));
    }
    sim.cartridge().write_blocks(slot, 0, kImageSectors, image.data());
    kelsim::Disc& d = sim.cartridge().disc(slot);
    d.formatted = true;
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, kImageSectors - 64, kImageSectors - 128, false, false},
                kelsim::Track{kImageSectors - 64, 64, kImageSectors - 64, false, true}};
  }
  sim.cartridge().save();
}

struct Run {
  std::size_t points = 0;
  double seconds = 0;
  std::uint64_t sectors = 0;
  double plainSeconds = 0;
};

Run measure(kelsim::SimHarness& sim, const std::u16string& path) {
  Run run;
  sim.service().clear_transcript();
  std::vector<_KEL_SDK_ROLLBACK_INFO> points;
  PxoUtilityLib::RollbackCollector collector(points);
  const auto t0 = Clock::now();
  const std::uint64_t r = PxoUtilityLib::runRollbackInfo(path.c_str(), collector);
  run.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  if (r != 0) std::fprintf(stderr, "search failed: 0x%llx\n", static_cast<unsigned long long>(r));
  run.points = points.size();
  // The same READ(10) commands, plain.
  std::vector<std::vector<std::uint8_t>> reads;
  for (const auto& e : sim.service().transcript())
    if (e.opcode() == 0x28) reads.push_back(e.cdb);
  PxoUtilityLib::SptiCtrlDevice device(path);
  device.open();
  std::vector<std::uint8_t> buffer;
  const auto t1 = Clock::now();
  for (const auto& cdb : reads) {
    const std::uint32_t blocks = kelsim::get_be16(cdb.data() + 7);
    run.sectors += blocks;
    buffer.resize(std::size_t{blocks} * kSector);
    std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
    std::uint8_t sense[3];
    device.passThrough(cdb.data(), static_cast<int>(cdb.size()), buffer.data(), &length, sense, nullptr, true);
  }
  run.plainSeconds = std::chrono::duration<double>(Clock::now() - t1).count();
  return run;
}

}  // namespace

// Sink of the engine logger the image builder writes to.
bool CheckLogLevel(int) { return false; }
void SendDebugStringA(int, const char*) {}
void SendDebugStringW(int, const WCHAR*) {}

int main(int argc, char** argv) {
  const bool tiny = argc > 1 && std::string(argv[1]) == "--tiny";
  const int generations = tiny ? 4 : 280;
  kelsim::HarnessOptions options;
  options.cartridge.slots = kSlots;
  options.cartridge.disc_blocks = kImageSectors;
  options.cartridge.loaded_slot = kSlots - 1;
  kelsim::SimHarness sim(options);
  KelDriveSDK_Quorvel_SetCallbacks(mount, unmount, control, nullptr, 1, 3);
  std::u16string path;
  for (char c : sim.cookie_text()) path += static_cast<char16_t>(c);
  const std::size_t expected = static_cast<std::size_t>(kSlots) * (generations + 1);
  bool complete = true;
  for (bool chained : {true, false}) {
    writeSlots(sim, generations, chained);
    const Run run = measure(sim, path);
    complete &= run.points == expected;
    if (tiny) {
      std::printf("%s: %zu of %zu points, %llu sectors read\n", chained ? "chain" : "scan", run.points, expected,
                  static_cast<unsigned long long>(run.sectors));
      continue;
    }
    std::printf("%-6s %zu points in %.3f s (%.0f points/s), %llu sectors read; plain READ(10) of them %.3f s, "
                "ratio %.2f\n",
                chained ? "chain" : "scan", run.points, run.seconds, run.points / run.seconds,
                static_cast<unsigned long long>(run.sectors), run.plainSeconds,
                run.plainSeconds > 0 ? run.seconds / run.plainSeconds : 0.0);
  }
  KelDriveSDK_Quorvel_SetCallbacks(nullptr, nullptr, nullptr, nullptr, 0, 0);
  return complete ? 0 : 1;
}
