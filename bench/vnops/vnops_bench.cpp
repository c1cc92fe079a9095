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
#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "engine/udf/support_image.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_setup.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "platform/sync.h"
#include "sim/harness.h"
#include "udf/udf_extent.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_rules.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBlock = 2048;
constexpr std::uint32_t kUnitBlocks = 32;
constexpr std::uint32_t kMetadataAt = 1024;        // partition block of the metadata file's content
constexpr std::uint32_t kMaxExtent = 0x10000000;   // bytes per extent of the file (256 MiB)
constexpr std::uint32_t kSpareBlocks = 0x48000;    // free blocks the open track reports beyond the image

double secs_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

[[noreturn]] void die(const char* what, int err = 0) {
  std::fprintf(stderr, "kel_vnops_bench: %s (%d)\n", what, err);
  std::exit(1);
}

std::uint8_t pattern(std::uint64_t i) { return static_cast<std::uint8_t>((i * 131 + (i >> 13)) & 0xFF); }

// The metadata file's content: file set descriptor and terminator from the
// image builder, the root at block 2 holding one file.
class Metadata {
 public:
  Metadata(const std::vector<std::uint8_t>& medium, std::uint32_t metadata_lsn) {
    bytes_.assign(medium.begin() + std::size_t(metadata_lsn) * kBlock,
                  medium.begin() + std::size_t(metadata_lsn + 2) * kBlock);
  }
  std::uint32_t alloc() {
    const auto at = static_cast<std::uint32_t>(bytes_.size() / kBlock);
    bytes_.resize(bytes_.size() + kBlock, 0);
    return at;
  }
  void fid(std::vector<std::uint8_t>& out, std::uint8_t chars, const std::string& name, std::uint32_t icb) {
    fileid_desc f{};
    f.tag.id = 257;
    f.tag.descriptor_ver = 3;
    f.file_num = 1;
    f.file_char = chars;
    f.l_fi = static_cast<std::uint8_t>(name.empty() ? 0 : name.size() + 1);
    f.icb.len = kBlock;
    f.icb.loc = lb_addr{icb, 0};
    const std::size_t at = out.size();
    out.resize(at + sizeof f);
    std::memcpy(&out[at], &f, sizeof f);
    if (!name.empty()) {
      out.push_back(8);
      out.insert(out.end(), name.begin(), name.end());
    }
    out.resize((out.size() + 3) & ~std::size_t{3}, 0);
    mdcudfsr_set_udf_tag_crc_and_checksum(&out[at], static_cast<std::uint32_t>(out.size() - at));
  }
  void entry(std::uint32_t lbn, std::uint8_t type, std::uint64_t uid, std::uint64_t len, const void* ad,
             std::uint32_t l_ad, std::uint16_t ad_type) {
    extended_file_entry e{};
    e.tag.id = 266;
    e.tag.descriptor_ver = 3;
    e.tag.tag_loc = lbn;
    e.icbtag.strat_type = 4;
    e.icbtag.max_num_entries = 1;
    e.icbtag.file_type = type;
    e.icbtag.flags = ad_type;
    e.uid = e.gid = 0xFFFFFFFFu;
    e.perm = 0x7FFF;
    e.link_cnt = 1;
    e.inf_len = e.object_size = len;
    e.unique_id = uid;
    e.l_ad = l_ad;
    std::uint8_t* b = &bytes_[std::size_t(lbn) * kBlock];
    std::memcpy(b, &e, sizeof e);
    std::memcpy(b + sizeof e, ad, l_ad);
    mdcudfsr_set_udf_tag_crc_and_checksum(b, static_cast<std::uint32_t>(sizeof e + l_ad));
  }
  // The root with "data.bin": `bytes` allocated but not recorded from
  // partition block `data_lbn` on, in extents of at most 256 MiB.
  void one_file(std::uint32_t data_lbn, std::uint64_t bytes) {
    const std::uint32_t root = alloc();
    const std::uint32_t file = alloc();
    std::vector<long_ad> ads;
    for (std::uint64_t off = 0; off < bytes; off += kMaxExtent) {
      const auto len = static_cast<std::uint32_t>(std::min<std::uint64_t>(kMaxExtent, bytes - off));
      long_ad ad{};
      ad.len = EXTENT_MAKE(len, EXTENT_FLAGS_NOT_RECORDED);
      ad.loc = lb_addr{data_lbn + static_cast<std::uint32_t>(off / kBlock), 1};
      ads.push_back(ad);
    }
    entry(file, 5, 16, bytes, ads.data(), static_cast<std::uint32_t>(ads.size() * sizeof(long_ad)), 1);
    std::vector<std::uint8_t> fids;
    fid(fids, 0x0A, "", root);
    fid(fids, 0, "data.bin", file);
    const std::uint32_t at = alloc();
    std::memcpy(&bytes_[std::size_t(at) * kBlock], fids.data(), fids.size());
    short_ad ad{static_cast<std::uint32_t>(fids.size()), at};
    entry(root, 4, 0, fids.size(), &ad, sizeof ad, 0);
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Points the metadata file's (or mirror's) entry at the new extent.
void repoint(std::uint8_t* block, std::uint64_t bytes) {
  extended_file_entry e;
  std::memcpy(&e, block, sizeof e);
  e.inf_len = e.object_size = bytes;
  e.logblks_rec = bytes / kBlock;
  short_ad ad{static_cast<std::uint32_t>(bytes), kMetadataAt};
  std::memcpy(block, &e, sizeof e);
  std::memcpy(block + sizeof e + e.l_ea, &ad, sizeof ad);
  mdcudfsr_set_udf_tag_crc_and_checksum(block, static_cast<std::uint32_t>(sizeof e + e.l_ea + e.l_ad));
}

std::vector<std::uint8_t> value_1500h(std::uint32_t metadata_loc) {
  std::vector<std::uint8_t> v(128, 0);
  std::memcpy(v.data(), "KEL", 3);
  v[cm1500::kVersion] = 1;
  v[cm1500::kLength] = 120;
  std::memcpy(v.data() + cm1500::kEntity + 1, "*Tarn KELFS", 11);
  const std::uint32_t word = mdcudfsr_vuvi_encode(0, metadata_loc);
  for (int i = 0; i < 4; ++i) v[cm1500::kPosition + i] = static_cast<std::uint8_t>(word >> (24 - 8 * i));
  const std::uint16_t crc = scsi_service_cm::calculate_crc(v.data(), 126);
  v[cm1500::kCrc] = static_cast<std::uint8_t>(crc >> 8);
  v[cm1500::kCrc + 1] = static_cast<std::uint8_t>(crc);
  return v;
}

struct Volume {
  std::uint32_t data_lsn = 0;  // the file's first sector, the track's next writable address
  std::uint64_t bytes = 0;
};

// The volume on slot 0 of the simulated cartridge; its open track's next
// writable address is the file's first sector.
Volume write_volume(kelsim::Cartridge& cart, const udf_test::ImageSpec& spec, std::uint32_t data_lbn,
                    std::uint64_t bytes) {
  std::vector<std::uint8_t> medium;
  const udf_test::ImageLayout l = udf_test::build_volume(spec, medium);
  Metadata md(medium, spec.metadata_lsn);
  md.one_file(data_lbn, bytes);
  const std::uint64_t md_bytes = md.bytes().size();
  const std::uint32_t lsn = l.partition_start + kMetadataAt;
  std::memcpy(&medium[std::size_t(lsn) * kBlock], md.bytes().data(), md_bytes);
  repoint(&medium[std::size_t(l.partition_start + l.metadata_file_loc) * kBlock], md_bytes);
  repoint(&medium[std::size_t(l.partition_start + l.mirror_file_loc) * kBlock], md_bytes);
  const std::uint32_t end_area = spec.sectors - kUnitBlocks;
  std::uint32_t data_end = 0;
  for (std::uint32_t unit = 0; unit < spec.sectors; unit += kUnitBlocks) {
    const std::uint8_t* p = medium.data() + std::size_t(unit) * kBlock;
    if (std::all_of(p, p + std::size_t(kUnitBlocks) * kBlock, [](std::uint8_t b) { return b == 0; })) continue;
    if (const DWORD e = cart.write_blocks(0, unit, kUnitBlocks, p)) die("image write", static_cast<int>(e));
    if (unit < end_area) data_end = unit + kUnitBlocks;
  }
  Volume v{l.partition_start + data_lbn, bytes};
  if (data_end > v.data_lsn) die("the file overlaps the volume's structures");
  kelsim::Disc& d = cart.disc(0);
  d.formatted = true;
  d.status = kelsim::DiscStatus::Incomplete;
  // The open track reports room beyond the image, as a disc of full size
  // would: with less than 512 MiB left the engine moves its writes on to the
  // next disc.
  d.tracks = {kelsim::Track{0, end_area + kSpareBlocks, v.data_lsn, false, false},
              kelsim::Track{end_area, spec.sectors - end_area, spec.sectors, false, true}};
  cart.attributes[0x1500] = {0, value_1500h(l.metadata_file_loc)};
  if (cart.save()) die("cartridge save");
  return v;
}

// Real time, except that a sleep ends as soon as the agent has opened its
// channel (the mount polls for that once a second).
class PollClock final : public platform::Clock {
 public:
  std::uint64_t now_ms() override { return real_.now_ms(); }
  void wait_until(std::unique_lock<std::mutex>& lk, std::condition_variable& cv, std::uint64_t deadline) override {
    real_.wait_until(lk, cv, deadline);
  }
  void sleep_ms(std::uint64_t ms) override {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!mdcudfsr_metacache_is_opened(mdcudfsr_metacache_channel()) && std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
  }

 private:
  platform::SteadyClock real_;
};

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
    spent += secs_since(t);
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
  const std::string dir = std::filesystem::temp_directory_path() / ("kel_vnops_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ::setenv("KEL_REGISTRY", (dir + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  config_set_string(0, nullptr, "Fs Cache File Path", (dir + "/KELFS").c_str(), nullptr);

  udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
  spec.medium_type = 0xF1;
  const std::uint32_t data_lbn = kMetadataAt + 4 * kUnitBlocks;
  const auto data_blocks = static_cast<std::uint32_t>(run.bytes / kBlock);
  spec.sectors = (4096 + data_lbn + data_blocks + 4096 + kUnitBlocks - 1) / kUnitBlocks * kUnitBlocks;
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = 0xF1;
  h.cartridge.disc_blocks = spec.sectors;
  h.cartridge.medium_serial = "BENCH-1";
  PollClock poll_clock;
  platform::ScopedClock clock_scope(poll_clock);
  kelsim::SimHarness sim(h);
  kel::SetMediumCookie(sim.cookie());
  sim.service().set_transcript_limit(64);
  const Volume vol = write_volume(sim.cartridge(), spec, data_lbn, run.bytes);
  pclient_if = new client_if();
  pclient_if->storage()->set_device_number("sg0");
  pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
  if (int e = pclient_if->storage()->init()) die("drive client", e);

  mdcudfsr_metacache_init();
  mdcudfsr_vfamdev_init();
  char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
  int finalized = 0, protect = 0, unsupported = 0;
  if (int e = premount_operation(dev, media, &finalized, &protect, &unsupported)) die("premount", e);
  std::vector<std::string> args = {"KelDriver", "/dev/sd1A2B", dir};
  std::vector<char*> argp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  mount mp{};
  auto devvp = kel_make_vnode(&mp, nullptr, 0, 0);
  kel_tree_make_root(devvp);
  kel_resolve_vnode_operations(mdcudfsr_vnodeop_entries, &kel_vnops);
  mdcudfsr_mount_args margs{};
  margs.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
  margs.flags = 0x202;
  margs.metadata_check = 1000;
  vfs_context ctx{static_cast<std::uint64_t>(::getpid())};
  vnode_t root = nullptr;
  if (!FsCacheAgent_main_func(3, argp.data())) die("agent");
  int err = mdcudfsr_vfsops_table.vfs_mount(&mp, devvp.get(), &margs, &ctx);
  if (!err) err = mdcudfsr_vfsops_table.vfs_start(&mp, 0, &ctx);
  if (!err) err = mdcudfsr_vfsops_table.vfs_root(&mp, &root, &ctx);
  if (err) die("mount", err);
  auto* m = static_cast<mdcudfsr_mount*>(vfs_fsprivate(&mp));
  m->root_vnode = root;

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

  if (int e = mdcudfsr_vfsops_table.vfs_unmount(&mp, 1, &ctx)) die("unmount", e);
  kel_tree_set_root(nullptr);
  devvp.reset();
  kel_vnops = KelResolvedVnops{};
  clientif_delete();
  pclient_if = nullptr;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  std::printf("\nfile of %llu MiB on an F1h write-once cartridge, %u KiB per call and per command\n",
              static_cast<unsigned long long>(mib), chunk_kib);
  report("baseline WRITE(10) through the pipe client", run, base_write_s, 0);
  report("mdcudfsr_vnop_write through the proxy", run, write_s, base_write_s);
  report("baseline READ(10) through the pipe client", run, base_read_s, 0);
  report("mdcudfsr_vnop_read", run, read_s, base_read_s);
  return 0;
}
