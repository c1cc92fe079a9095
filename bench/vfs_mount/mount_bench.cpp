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
#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "engine/udf/support_image.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelagent/metacache.h"
#include "platform/sync.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_setup.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "sim/harness.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_rules.h"

#include <unistd.h>

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
constexpr std::uint32_t kMetadataAt = 1024;  // partition block of the metadata file's extent

double secs_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

[[noreturn]] void die(const char* what, int err = 0) {
  std::fprintf(stderr, "kel_vfs_mount_bench: %s (%d)\n", what, err);
  std::exit(1);
}

// The metadata file's content: file set descriptor and terminator from the
// image builder, the root at block 2, one entry per file, the root's FIDs.
class Metadata {
 public:
  explicit Metadata(const std::vector<std::uint8_t>& medium, std::uint32_t metadata_lsn) {
    bytes_.assign(medium.begin() + std::size_t(metadata_lsn) * kBlock,
                  medium.begin() + std::size_t(metadata_lsn + 2) * kBlock);
  }
  std::uint32_t alloc(std::uint32_t n = 1) {
    const auto at = static_cast<std::uint32_t>(bytes_.size() / kBlock);
    bytes_.resize(bytes_.size() + std::size_t(n) * kBlock, 0);
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
  // The root at block 2 with `count` empty files.
  void flat(int count) {
    const std::uint32_t root = alloc();
    std::vector<std::uint8_t> fids;
    fid(fids, 0x0A, "", root);
    std::uint64_t uid = 16;
    for (int i = 0; i < count; ++i) {
      const std::uint32_t lbn = alloc();
      entry(lbn, 5, uid++, 0, nullptr, 0, 0);
      char name[32];
      std::snprintf(name, sizeof name, "File_%07d.dat", i);
      fid(fids, 0, name, lbn);
    }
    const auto blocks = static_cast<std::uint32_t>((fids.size() + kBlock - 1) / kBlock);
    const std::uint32_t at = alloc(blocks);
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

// The volume on slot 0 of the simulated cartridge; the metadata file's size.
std::uint64_t write_volume(kelsim::Cartridge& cart, const udf_test::ImageSpec& spec, int count) {
  std::vector<std::uint8_t> medium;
  const udf_test::ImageLayout l = udf_test::build_volume(spec, medium);
  Metadata md(medium, spec.metadata_lsn);
  md.flat(count);
  const std::uint64_t bytes = md.bytes().size();
  const std::uint32_t lsn = l.partition_start + kMetadataAt;
  if (lsn + bytes / kBlock + 64 > spec.sectors - 32) die("disc too small for the metadata");
  std::memcpy(&medium[std::size_t(lsn) * kBlock], md.bytes().data(), bytes);
  repoint(&medium[std::size_t(l.partition_start + l.metadata_file_loc) * kBlock], bytes);
  repoint(&medium[std::size_t(l.partition_start + l.mirror_file_loc) * kBlock], bytes);
  const std::uint32_t end_area = spec.sectors - 32;
  std::uint32_t data_end = 0;
  for (std::uint32_t unit = 0; unit < spec.sectors; unit += 32) {
    const std::uint8_t* p = medium.data() + std::size_t(unit) * kBlock;
    bool zero = true;
    for (std::size_t i = 0; i < 32u * kBlock && zero; ++i) zero = p[i] == 0;
    if (zero) continue;
    if (const DWORD e = cart.write_blocks(0, unit, 32, p)) die("image write", static_cast<int>(e));
    if (unit < end_area) data_end = unit + 32;
  }
  kelsim::Disc& d = cart.disc(0);
  d.formatted = true;
  d.status = kelsim::DiscStatus::Incomplete;
  d.tracks = {kelsim::Track{0, end_area, data_end, false, false},
              kelsim::Track{end_area, spec.sectors - end_area, spec.sectors, false, true}};
  cart.attributes[0x1500] = {0, value_1500h(l.metadata_file_loc)};
  if (cart.save()) die("cartridge save");
  return bytes;
}

void start_drive_client() {
  pclient_if = new client_if();
  pclient_if->storage()->set_device_number("sg0");
  pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
  if (int e = pclient_if->storage()->init()) die("drive client", e);
}

double baseline(vnode_t devvp, std::uint32_t lsn, std::uint64_t bytes) {
  const auto t = Clock::now();
  for (std::uint64_t off = 0; off < bytes; off += 0x10000) {
    const auto len = static_cast<int>(std::min<std::uint64_t>(0x10000, (bytes - off + kBlock - 1) / kBlock * kBlock));
    buf_t bp = nullptr;
    if (int e = buf_meta_bread(devvp, lsn + off / kBlock, len, nullptr, &bp)) die("buf_meta_bread", e);
    buf_brelse(bp);
  }
  return secs_since(t);
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

}  // namespace

int main(int argc, char** argv) {
  int count = 100000;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--count") == 0) count = std::atoi(argv[i + 1]);
  const std::string dir = std::filesystem::temp_directory_path() / ("kel_vfs_mount_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ::setenv("KEL_REGISTRY", (dir + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  config_set_string(0, nullptr, "Fs Cache File Path", (dir + "/KELFS").c_str(), nullptr);

  udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
  spec.medium_type = 0xF1;
  const auto need = 4096 + kMetadataAt + static_cast<std::uint32_t>(count) + static_cast<std::uint32_t>(count) / 16 + 4096;
  spec.sectors = (need + 31) / 32 * 32;
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = 0xF1;
  h.cartridge.disc_blocks = spec.sectors;
  h.cartridge.medium_serial = "BENCH-1";
  h.drive.product = "QMR-T300B";
  PollClock poll_clock;
  platform::ScopedClock clock_scope(poll_clock);
  kelsim::SimHarness sim(h);
  kel::SetMediumCookie(sim.cookie());
  sim.service().set_transcript_limit(64);
  const std::uint64_t bytes = write_volume(sim.cartridge(), spec, count);
  start_drive_client();

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
  mdcudfsr_mount_args margs{};
  margs.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
  margs.flags = 0x202;
  margs.metadata_check = 1000;
  vfs_context ctx{1};
  vnode_t root = nullptr;

  auto t = Clock::now();
  if (!FsCacheAgent_main_func(3, argp.data())) die("agent");
  int err = mdcudfsr_vfsops_table.vfs_mount(&mp, devvp.get(), &margs, &ctx);
  if (!err) err = mdcudfsr_vfsops_table.vfs_start(&mp, 0, &ctx);
  if (!err) err = mdcudfsr_vfsops_table.vfs_root(&mp, &root, &ctx);
  const double mount_s = secs_since(t);
  if (err) die("mount", err);
  auto* m = static_cast<mdcudfsr_mount*>(vfs_fsprivate(&mp));
  const unsigned files = m->nfiles;
  if (int e = mdcudfsr_vfsops_table.vfs_unmount(&mp, 1, &ctx)) die("unmount", e);

  const double base_s = baseline(devvp.get(), 4096 + kMetadataAt, bytes);
  kel_tree_set_root(nullptr);
  devvp.reset();
  clientif_delete();
  pclient_if = nullptr;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);

  std::printf("\nfiles in the root folder: %d (node cache counted %u), metadata file %.1f MiB\n", count, files,
              double(bytes) / (1 << 20));
  std::printf("baseline buf_meta_bread of the metadata file : %.3f s\n", base_s);
  std::printf("mount, start and root from the disc          : %.3f s  ratio %.2f\n", mount_s, mount_s / base_s);
  return 0;
}
