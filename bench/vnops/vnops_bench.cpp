// File data through the vnode operations.
//
//   kel_vnops_bench [--mib N] [--chunk KiB] [--tiny]
//
// Writes a write-once volume of an F1h cartridge into the simulated drive:
// one file of N MiB (default 256) allocated but not recorded, starting at the
// track's next writable address. The volume is mounted from the disc as the
// host layer's Mount does it (drive set-up, cache agent thread, the operation
// table's mount, start and root), the vnode operations resolved. Then:
//   - write: the file is opened for writing, which makes it a master with a
//     proxy, and the privileged writer writes N MiB through the proxy's vnode
//     with mdcudfsr_vnop_write, `chunk` KiB (default 512) per call;
//   - baseline write: WRITE(10) of the same blocks with the same bytes through
//     the pipe client (quorvel_scsi_transfer), `chunk` KiB per command, after
//     the track's next writable address is set back to the file's start;
//   - read: the file, opened for reading, is read with mdcudfsr_vnop_read;
//   - baseline read: READ(10) of the same blocks through the pipe client.
// The disc is checked after the vnode writes, both reads byte for byte. Prints the throughput of each and the
// ratio of each vnode operation to its baseline. --tiny (2 MiB, 64 KiB) is
// what ctest runs: it checks the bytes and asserts no timing.
#include "common/bench_frame.h"
#include "common/sim_volume.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "udf/udf_extent.h"

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
using kel_bench::kMetadataAt;
using kel_bench::kUnitBlocks;
constexpr std::uint32_t kMaxExtent = 0x10000000;   // bytes per extent of the file (256 MiB)
constexpr std::uint32_t kSpareBlocks = 0x48000;    // free blocks the open track reports beyond the image

std::uint8_t pattern(std::uint64_t i) { return static_cast<std::uint8_t>((i * 131 + (i >> 13)) & 0xFF); }

// The root with "data.bin": `bytes` allocated but not recorded from
// partition block `data_lbn` on, in extents of at most 256 MiB.
void one_file(udf_test::MetadataContent& md, std::uint32_t data_lbn, std::uint64_t bytes) {
  const std::uint32_t root = md.alloc();
  const std::uint32_t file = md.alloc();
  std::vector<long_ad> ads;
  for (std::uint64_t off = 0; off < bytes; off += kMaxExtent) {
    const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxExtent, bytes - off));
    long_ad ad{};
    ad.len = EXTENT_MAKE(len, EXTENT_FLAGS_NOT_RECORDED);
    ad.loc = lb_addr{data_lbn + static_cast<std::uint32_t>(off / kBlock), 1};
    ads.push_back(ad);
  }
  md.entry(file, 5, 16, bytes, ads.data(), static_cast<std::uint32_t>(ads.size() * sizeof(long_ad)), 1);
  std::vector<std::uint8_t> fids;
  udf_test::MetadataContent::add_fid(fids, 0x0A, "", root);
  udf_test::MetadataContent::add_fid(fids, 0, "data.bin", file);
  md.directory(root, 0, fids);
}

struct Volume {
  std::uint32_t data_lsn = 0;  // the file's first sector, the track's next writable address
  std::uint64_t bytes = 0;
};

// The volume on slot 0 of the simulated cartridge; its open track's next
// writable address is the file's first sector.
Volume write_volume(kelsim::Cartridge& cart, const udf_test::ImageSpec& spec, std::uint32_t data_lbn,
                    std::uint64_t bytes) {
  kel_bench::VolumeImage image(spec);
  udf_test::MetadataContent md(image.medium, spec.metadata_lsn);
  one_file(md, data_lbn, bytes);
  image.set_metadata(md);
  const std::uint32_t data_end = image.write_slot0(cart);
  Volume v{image.layout.partition_start + data_lbn, bytes};
  if (data_end > v.data_lsn) die("the file overlaps the volume's structures");
  // The open track reports room beyond the image, as a disc of full size
  // would: with less than 512 MiB left the engine moves its writes on to the
  // next disc.
  const std::uint32_t end_area = spec.sectors - kUnitBlocks;
  image.finish_cartridge(cart, {kelsim::Track{0, end_area + kSpareBlocks, v.data_lsn, false, false},
                                kelsim::Track{end_area, spec.sectors - end_area, spec.sectors, false, true}});
  return v;
}

vnode_t vnode_at(const std::string& path, vfs_context* ctx) {
  EntryPtr e = get_entry(path.c_str(), ctx);
  if (!e) die(("no vnode for " + path).c_str());
  return e->vn.get();
}

int open_vp(vnode_t vp, int mode, vfs_context* ctx) {
  vnop_open_args a{&vnop_open_desc, vp, mode, ctx};
  return mdcudfsr_vnop_open(&a);
}

int close_vp(vnode_t vp, int mode, vfs_context* ctx) {
  vnop_close_args a{&vnop_close_desc, vp, mode, ctx};
  return mdcudfsr_vnop_close(&a);
}

// One read or write of [offset, offset + length) through the vnode operation.
int vnop_rw(vnode_t vp, std::uint64_t offset, std::uint8_t* data, std::uint32_t length, bool write,
            vfs_context* ctx) {
  uio_t u = uio_create(1, static_cast<off64_kel_t>(offset), UIO_SYSSPACE, write ? UIO_WRITE : UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(data), length);
  vnop_read_args a{write ? &vnop_write_desc : &vnop_read_desc, vp, u, 0, ctx};
  int r = write ? mdcudfsr_vnop_write(&a) : mdcudfsr_vnop_read(&a);
  if (r == 0 && uio_resid(u) != 0) r = -1;
  uio_free(u);
  return r;
}

// READ(10) or WRITE(10) of `blocks` sectors at `lsn` through the pipe client.
int scsi_rw(std::uint32_t lsn, std::uint8_t* data, std::uint32_t blocks, bool write) {
  std::uint8_t cdb[10] = {write ? std::uint8_t{0x2A} : std::uint8_t{0x28}};
  for (int i = 0; i < 4; ++i) cdb[2 + i] = static_cast<std::uint8_t>(lsn >> (24 - 8 * i));
  cdb[7] = static_cast<std::uint8_t>(blocks >> 8);
  cdb[8] = static_cast<std::uint8_t>(blocks);
  std::uint8_t sense[32], status = 0;
  const int r = quorvel_scsi_transfer(1, sizeof cdb, cdb, write ? kScsiDirOut : kScsiDirIn, blocks * kBlock, data,
                                      sizeof sense, sense, &status);
  return r ? r : status ? -1 : 0;
}

struct Run {
  std::uint64_t bytes;
  std::uint32_t chunk;
};

// The whole file in chunks; each chunk's bytes come from (or are checked
// against) the pattern. Seconds spent in `op` alone.
template <class Op>
double pass(const Run& run, bool write, Op op) {
  std::vector<std::uint8_t> buf(run.chunk);
  double spent = 0;
  for (std::uint64_t off = 0; off < run.bytes; off += run.chunk) {
    const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.chunk, run.bytes - off));
    if (write)
      for (std::uint32_t i = 0; i < len; ++i) buf[i] = pattern(off + i);
    else
      std::fill(buf.begin(), buf.end(), 0xEE);
    const auto t = Clock::now();
    if (int e = op(off, buf.data(), len)) die(write ? "write" : "read", e);
    spent += kel_bench::secs_since(t);
    if (!write)
      for (std::uint32_t i = 0; i < len; ++i)
        if (buf[i] != pattern(off + i)) die("the bytes read differ from those written", static_cast<int>(off + i));
  }
  return spent;
}

// The file's bytes as the simulated disc holds them: the vnode writes
// landed on the file's own blocks of slot 0 (untimed).
void check_medium(kelsim::Cartridge& cart, const Volume& vol) {
  constexpr std::uint32_t kPieceBlocks = 256;
  std::vector<std::uint8_t> buf(std::size_t(kPieceBlocks) * kBlock);
  for (std::uint64_t off = 0; off < vol.bytes; off += buf.size()) {
    const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(buf.size(), vol.bytes - off));
    const std::uint32_t lsn = vol.data_lsn + static_cast<std::uint32_t>(off / kBlock);
    if (const DWORD e = cart.read_blocks(0, lsn, len / kBlock, buf.data())) die("disc read", static_cast<int>(e));
    for (std::uint32_t i = 0; i < len; ++i)
      if (buf[i] != pattern(off + i)) die("the disc does not hold the bytes written", static_cast<int>(off + i));
  }
}

void report(const char* what, const Run& run, double s, double base_s) {
  const double mib = double(run.bytes) / (1 << 20);
  std::printf("%-44s: %8.3f s %9.1f MiB/s", what, s, mib / s);
  if (base_s > 0) std::printf("  ratio %.2f", s / base_s);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  kel_bench::set_program("kel_vnops_bench");
  std::uint64_t mib = 256;
  std::uint32_t chunk_kib = 512;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tiny") == 0) {
      mib = 2;
      chunk_kib = 64;
    } else if (std::strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
      mib = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--chunk") == 0 && i + 1 < argc) {
      chunk_kib = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    }
  }
  if (mib == 0 || mib > 4096) die("--mib must be 1..4096");
  if (chunk_kib == 0 || chunk_kib % 64 != 0 || chunk_kib > 1024) die("--chunk must be 64..1024, a multiple of 64");
  const Run run{mib << 20, chunk_kib << 10};
  const kel_bench::ScratchDir dir("kel_vnops_bench");

  udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
  spec.medium_type = 0xF1;
  const std::uint32_t data_lbn = kMetadataAt + 4 * kUnitBlocks;
  const auto data_blocks = static_cast<std::uint32_t>(run.bytes / kBlock);
  spec.sectors = (4096 + data_lbn + data_blocks + 4096 + kUnitBlocks - 1) / kUnitBlocks * kUnitBlocks;
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = 0xF1;
  h.cartridge.disc_blocks = spec.sectors;
  h.cartridge.medium_serial = "BENCH-1";
  kel_bench::PollClock poll_clock;
  platform::ScopedClock clock_scope(poll_clock);
  kelsim::SimHarness sim(h);
  kel::SetMediumCookie(sim.cookie());
  sim.service().set_transcript_limit(64);
  const Volume vol = write_volume(sim.cartridge(), spec, data_lbn, run.bytes);
  kel_bench::HostMount host(dir.path());
  kel_resolve_vnode_operations(mdcudfsr_vnodeop_entries, &kel_vnops);
  vfs_context ctx{static_cast<std::uint64_t>(::getpid())};
  if (int err = host.mount(0x202, &ctx)) die("mount", err);
  auto* m = static_cast<mdcudfsr_mount*>(vfs_fsprivate(&host.mp));
  m->root_vnode = host.root;

  // The writer's road: the file opened for writing, its proxy written by the
  // privileged process.
  vnode_t file = vnode_at("/data.bin", &ctx);
  if (int e = open_vp(file, FREAD | FWRITE, &ctx)) die("open for writing", e);
  auto* node = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(file));
  if (!node || !node->proxy) die("no proxy");
  vnode_t proxy = vnode_at(std::string("/$/") + node->proxy->vfs_name, &ctx);
  m->privileged_pid = static_cast<std::int64_t>(ctx.vc_pid);
  m->privileged_mode = 1;
  if (int e = open_vp(proxy, FWRITE, &ctx)) die("open of the proxy", e);
  const double write_s = pass(run, true, [&](std::uint64_t off, std::uint8_t* b, std::uint32_t len) {
    return vnop_rw(proxy, off, b, len, true, &ctx);
  });
  if (int e = close_vp(proxy, FWRITE, &ctx)) die("close of the proxy", e);
  if (int e = close_vp(file, FREAD | FWRITE, &ctx)) die("close", e);
  mdcudfsr_privileged_open_list_clear(m);
  m->privileged_mode = 0;
  check_medium(sim.cartridge(), vol);

  // The same blocks again through the pipe client.
  sim.cartridge().disc(0).tracks[0].nwa = vol.data_lsn;
  const double base_write_s = pass(run, true, [&](std::uint64_t off, std::uint8_t* b, std::uint32_t len) {
    return scsi_rw(vol.data_lsn + static_cast<std::uint32_t>(off / kBlock), b, len / kBlock, true);
  });

  if (int e = open_vp(file, FREAD, &ctx)) die("open for reading", e);
  const double read_s = pass(run, false, [&](std::uint64_t off, std::uint8_t* b, std::uint32_t len) {
    return vnop_rw(file, off, b, len, false, &ctx);
  });
  if (int e = close_vp(file, FREAD, &ctx)) die("close after reading", e);
  const double base_read_s = pass(run, false, [&](std::uint64_t off, std::uint8_t* b, std::uint32_t len) {
    return scsi_rw(vol.data_lsn + static_cast<std::uint32_t>(off / kBlock), b, len / kBlock, false);
  });

  if (int e = host.unmount(&ctx)) die("unmount", e);
  host.close();
  kel_vnops = KelResolvedVnops{};

  std::printf("\nfile of %llu MiB on an F1h write-once cartridge, %u KiB per call and per command\n",
              static_cast<unsigned long long>(mib), chunk_kib);
  report("baseline WRITE(10) through the pipe client", run, base_write_s, 0);
  report("mdcudfsr_vnop_write through the proxy", run, write_s, base_write_s);
  report("baseline READ(10) through the pipe client", run, base_read_s, 0);
  report("mdcudfsr_vnop_read", run, read_s, base_read_s);
  return 0;
}
