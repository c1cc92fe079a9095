// The volume flush of a sync.
//
//   kel_vfs_flush_bench [--files N] [--changed M] [--tiny]
//
// Writes the image builder's write-once volume of an F1h cartridge into the
// simulated drive and mounts it as the host layer's Mount does (drive
// set-up, cache agent thread, the operation table's mount, start and root).
// Then, through the vnode operations and the volume sync:
//   - first sync: N files (default 10,000) created in one folder, then
//     mdcudfsr_vfsop_sync, which runs the metadata and descriptor flush;
//   - second sync: M (default 10) of them changed (their mode), then the sync.
// For each sync the WRITE(10) commands the drive received are counted; the
// baseline writes as many blocks in 64 KiB WRITE(10)s through the same pipe
// client (quorvel_scsi_transfer), in the same run, after both syncs. Prints
// each sync's blocks, time and throughput, and its ratio of time to its
// baseline. --tiny (20 files, 2 changed) is what ctest runs: it checks that
// each sync writes and leaves the volume unchanged, and asserts no timing.
#include "common/bench_frame.h"
#include "common/sim_volume.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <unistd.h>

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
using kel_bench::kUnitBlocks;
using kel_bench::secs_since;
constexpr std::uint32_t kSpareBlocks = 0x48000;  // free blocks the open track reports beyond the image

// The builder's volume on slot 0; the open track reports room beyond the
// image, as a disc of full size would (with less than 512 MiB left the
// engine moves its writes on to the next disc).
void write_volume(kelsim::Cartridge& cart, const udf_test::ImageSpec& spec) {
  const kel_bench::VolumeImage image(spec);
  const std::uint32_t data_end = image.write_slot0(cart);
  const std::uint32_t end_area = spec.sectors - kUnitBlocks;
  image.finish_cartridge(cart, {kelsim::Track{0, end_area + kSpareBlocks, data_end, false, false},
                                kelsim::Track{end_area, spec.sectors - end_area, spec.sectors, false, true}});
}

componentname component(const char* folder, const std::string& name, std::uint32_t op) {
  componentname cn{};
  cn.cn_pnbuf = const_cast<char*>(folder);
  cn.cn_pnlen = static_cast<int>(std::strlen(folder));
  cn.cn_nameiop = op;
  cn.cn_flags = ISLASTCN;
  cn.cn_nameptr = const_cast<char*>(name.c_str());
  cn.cn_namelen = static_cast<int>(name.size());
  return cn;
}

vnode_t make_folder(vnode_t root, const std::string& name, vfs_context* ctx) {
  componentname cn = component("/", name, CREATE);
  vnode_attr va{};
  vnode_t vp = nullptr;
  vnop_mkdir_args a{&vnop_mkdir_desc, root, &vp, &cn, &va, ctx};
  if (int e = mdcudfsr_vnop_mkdir(&a)) die("mkdir", e);
  return vp;
}

vnode_t make_file(vnode_t dir, const char* folder, const std::string& name, vfs_context* ctx) {
  componentname cn = component(folder, name, CREATE);
  vnode_attr va{};
  va.va_active = VATTR_MODE;
  va.va_mode = 0644;
  vnode_t vp = nullptr;
  vnop_create_args a{&vnop_create_desc, dir, &vp, &cn, &va, ctx};
  if (int e = mdcudfsr_vnop_create(&a)) die("create", e);
  return vp;
}

void change_mode(vnode_t vp, vfs_context* ctx) {
  vnode_attr va{};
  va.va_active = VATTR_MODE;
  va.va_mode = 0600;
  vnop_setattr_args a{&vnop_setattr_desc, vp, &va, ctx};
  if (int e = mdcudfsr_vnop_setattr(&a)) die("setattr", e);
}

std::uint32_t be(const std::vector<std::uint8_t>& cdb, int at, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | cdb[static_cast<std::size_t>(at + i)];
  return v;
}

struct Sync {
  std::uint32_t blocks = 0;    // written with WRITE(10)
  std::uint32_t writes = 0;    // WRITE(10) commands
  std::uint32_t commands = 0;  // every command
  double s = 0;
};

// What the drive received since the transcript was cleared.
void count_commands(kelsim::SimHarness& sim, Sync* r) {
  for (const auto& e : sim.service().transcript()) {
    ++r->commands;
    if (e.cdb.size() < 10 || e.cdb[0] != 0x2A) continue;
    ++r->writes;
    r->blocks += be(e.cdb, 7, 2);
  }
}

// The volume sync with its interval passed; the volume must be unchanged after it.
Sync timed_sync(kelsim::SimHarness& sim, mount* mp, mdcudfsr_mount* m, vfs_context* ctx) {
  m->flush_interval = 0;
  m->last_partial_flush_time = 1;
  sim.service().clear_transcript();
  const auto t = Clock::now();
  if (int e = mdcudfsr_vfsop_sync(mp, 1, ctx)) die("sync", e);
  Sync r;
  r.s = secs_since(t);
  if (m->metadata_changed) die("the sync left the volume changed");
  count_commands(sim, &r);
  if (r.blocks == 0) die("the sync wrote nothing");
  return r;
}

// 64 KiB WRITE(10)s of `blocks` blocks from the open track's next writable
// address through the pipe client.
double plain_writes(kelsim::SimHarness& sim, std::uint32_t blocks) {
  const std::uint32_t lsn = sim.cartridge().disc(0).tracks[0].nwa;
  std::vector<std::uint8_t> data(std::size_t(kUnitBlocks) * kBlock, 0x5A);
  const auto t = Clock::now();
  for (std::uint32_t done = 0; done < blocks; done += kUnitBlocks) {
    const std::uint32_t n = std::min(kUnitBlocks, blocks - done);
    std::uint8_t cdb[10] = {0x2A};
    for (int i = 0; i < 4; ++i) cdb[2 + i] = static_cast<std::uint8_t>((lsn + done) >> (24 - 8 * i));
    cdb[8] = static_cast<std::uint8_t>(n);
    std::uint8_t sense[32], status = 0;
    const int r = quorvel_scsi_transfer(1, sizeof cdb, cdb, kScsiDirOut, n * kBlock, data.data(), sizeof sense, sense,
                                        &status);
    if (r || status) die("baseline WRITE(10)", r ? r : status);
  }
  return secs_since(t);
}

void report(const char* what, const Sync& s, double base_s) {
  const double mib = double(s.blocks) * kBlock / (1 << 20);
  std::printf("%-26s: %6u blocks in %5u WRITE(10)s (%5u commands) %7.3f s %7.1f MiB/s;"
              " baseline %7.3f s %7.1f MiB/s; ratio %.2f\n",
              what, s.blocks, s.writes, s.commands, s.s, mib / s.s, base_s, mib / base_s, s.s / base_s);
}

}  // namespace

int main(int argc, char** argv) {
  kel_bench::set_program("kel_vfs_flush_bench");
  int files = 10000, changed = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tiny") == 0) {
      files = 20;
      changed = 2;
    } else if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) {
      files = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--changed") == 0 && i + 1 < argc) {
      changed = std::atoi(argv[++i]);
    }
  }
  if (files < 1 || files > 100000) die("--files must be 1..100000");
  if (changed < 1 || changed > files) die("--changed must be 1..files");
  const kel_bench::ScratchDir dir("kel_vfs_flush_bench");

  udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
  spec.medium_type = 0xF1;
  // Room for two syncs of the metadata (an entry block per file, main and
  // mirror) and the baselines of as many blocks.
  const auto need = 8192 + 8u * static_cast<std::uint32_t>(files) + 0x4000;
  spec.sectors = (need + kUnitBlocks - 1) / kUnitBlocks * kUnitBlocks;
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = 0xF1;
  h.cartridge.disc_blocks = spec.sectors;
  h.cartridge.medium_serial = "BENCH-1";
  kel_bench::PollClock poll_clock;
  platform::ScopedClock clock_scope(poll_clock);
  kelsim::SimHarness sim(h);
  kel::SetMediumCookie(sim.cookie());
  sim.service().set_transcript_limit(64);
  write_volume(sim.cartridge(), spec);
  kel_bench::HostMount host(dir.path());
  kel_resolve_vnode_operations(mdcudfsr_vnodeop_entries, &kel_vnops);
  vfs_context ctx{static_cast<std::uint64_t>(::getpid())};
  if (int err = host.mount(0x202, &ctx)) die("mount", err);
  auto* m = static_cast<mdcudfsr_mount*>(vfs_fsprivate(&host.mp));
  m->root_vnode = host.root;
  sim.service().set_transcript_limit(std::size_t(files) * 4 + 4096);

  vnode_t folder = make_folder(host.root, "many", &ctx);
  std::vector<vnode_t> made;
  char name[32];
  for (int i = 0; i < files; ++i) {
    std::snprintf(name, sizeof name, "f%06d.dat", i);
    made.push_back(make_file(folder, "/many", name, &ctx));
  }
  const Sync first = timed_sync(sim, &host.mp, m, &ctx);
  for (int i = 0; i < changed; ++i) change_mode(made[static_cast<std::size_t>(i) * files / changed], &ctx);
  const Sync second = timed_sync(sim, &host.mp, m, &ctx);

  if (int e = host.unmount(&ctx)) die("unmount", e);
  // The baselines: as many blocks through the same pipe client, after the
  // volume let go of the drive.
  const double first_base = plain_writes(sim, first.blocks);
  const double second_base = plain_writes(sim, second.blocks);
  host.close();
  kel_vnops = KelResolvedVnops{};

  std::printf("\nF1h write-once cartridge; %d files created in one folder, then %d of them changed\n", files, changed);
  report("sync after the creations", first, first_base);
  report("sync after the changes", second, second_base);
  return 0;
}
