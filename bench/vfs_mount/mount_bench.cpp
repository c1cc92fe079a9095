// Mounting a large volume from the disc.
//
//   kel_vfs_mount_bench [--count N]
//
// Writes a volume of an F1h cartridge whose root folder holds N (default
// 100000) files into the simulated drive, then mounts it from the disc as the
// host layer's Mount does (drive set-up, cache agent thread, the operation
// table's mount, start and root) and unmounts it. The baseline, in the same
// run, reads the same metadata file from the drive with buf_meta_bread in
// 64 KiB pieces. Prints both times and the ratio of the mount to the baseline.
// The mount's one-second polls for the agent's open of its channel return as
// soon as the channel is open, so the figure is the mount's own work.
#include "common/bench_frame.h"
#include "common/sim_volume.h"
#include "kel/config.h"
#include "kel/scsi.h"
#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_vfsops.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using kel_bench::Clock;
using kel_bench::die;
using kel_bench::kBlock;
using kel_bench::kMetadataAt;

// The root at block 2 with `count` empty files.
void flat(udf_test::MetadataContent& md, int count) {
  const std::uint32_t root = md.alloc();
  std::vector<std::uint8_t> fids;
  udf_test::MetadataContent::add_fid(fids, 0x0A, "", root);
  std::uint64_t uid = 16;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t lbn = md.alloc();
    md.entry(lbn, 5, uid++, 0, nullptr, 0, 0);
    char name[32];
    std::snprintf(name, sizeof name, "File_%07d.dat", i);
    udf_test::MetadataContent::add_fid(fids, 0, name, lbn);
  }
  md.directory(root, 0, fids);
}

// The volume on slot 0 of the simulated cartridge; the metadata file's size.
std::uint64_t write_volume(kelsim::Cartridge& cart, const udf_test::ImageSpec& spec, int count) {
  kel_bench::VolumeImage image(spec);
  udf_test::MetadataContent md(image.medium, spec.metadata_lsn);
  flat(md, count);
  image.set_metadata(md);
  const std::uint32_t data_end = image.write_slot0(cart);
  const std::uint32_t end_area = spec.sectors - kel_bench::kUnitBlocks;
  image.finish_cartridge(cart, {kelsim::Track{0, end_area, data_end, false, false},
                                kelsim::Track{end_area, spec.sectors - end_area, spec.sectors, false, true}});
  return image.metadata_bytes;
}

double baseline(vnode_t devvp, std::uint32_t lsn, std::uint64_t bytes) {
  const auto t = Clock::now();
  for (std::uint64_t off = 0; off < bytes; off += 0x10000) {
    const auto len = static_cast<int>(std::min<std::uint64_t>(0x10000, (bytes - off + kBlock - 1) / kBlock * kBlock));
    buf_t bp = nullptr;
    if (int e = buf_meta_bread(devvp, lsn + off / kBlock, len, nullptr, &bp)) die("buf_meta_bread", e);
    buf_brelse(bp);
  }
  return kel_bench::secs_since(t);
}

}  // namespace

int main(int argc, char** argv) {
  kel_bench::set_program("kel_vfs_mount_bench");
  int count = 100000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]);
  const kel_bench::ScratchDir dir("kel_vfs_mount_bench");

  udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
  spec.medium_type = 0xF1;
  const auto need = 4096 + kMetadataAt + static_cast<std::uint32_t>(count) + static_cast<std::uint32_t>(count) / 16 + 4096;
  spec.sectors = (need + 31) / 32 * 32;
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = 0xF1;
  h.cartridge.disc_blocks = spec.sectors;
  h.cartridge.medium_serial = "BENCH-1";
  h.drive.product = "QMR-T300B";
  kel_bench::PollClock poll_clock;
  platform::ScopedClock clock_scope(poll_clock);
  kelsim::SimHarness sim(h);
  kel::SetMediumCookie(sim.cookie());
  sim.service().set_transcript_limit(64);
  const std::uint64_t bytes = write_volume(sim.cartridge(), spec, count);
  kel_bench::HostMount host(dir.path());
  vfs_context ctx{1};

  auto t = Clock::now();
  int err = host.mount(0x202, &ctx);
  const double mount_s = kel_bench::secs_since(t);
  if (err) die("mount", err);
  auto* m = static_cast<mdcudfsr_mount*>(vfs_fsprivate(&host.mp));
  const unsigned files = m->nfiles;
  if (int e = host.unmount(&ctx)) die("unmount", e);

  const double base_s = baseline(host.devvp.get(), 4096 + kMetadataAt, bytes);
  host.close();

  std::printf("\nfiles in the root folder: %d (node cache counted %u), metadata file %.1f MiB\n", count, files,
              double(bytes) / (1 << 20));
  std::printf("baseline buf_meta_bread of the metadata file : %.3f s\n", base_s);
  std::printf("mount, start and root from the disc          : %.3f s  ratio %.2f\n", mount_s, mount_s / base_s);
  return 0;
}
