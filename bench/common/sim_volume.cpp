#include "sim_volume.h"

#include "bench_frame.h"
#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_setup.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "udf/udf_vds_rules.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace kel_bench {
namespace {

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

}  // namespace

VolumeImage::VolumeImage(const udf_test::ImageSpec& s) : spec(s) { layout = udf_test::build_volume(spec, medium); }

void VolumeImage::set_metadata(const udf_test::MetadataContent& md) {
  metadata_bytes = md.bytes().size();
  const std::uint32_t lsn = layout.partition_start + kMetadataAt;
  if (lsn + metadata_bytes / kBlock + 64 > spec.sectors - kUnitBlocks) die("disc too small for the metadata");
  std::memcpy(&medium[std::size_t(lsn) * kBlock], md.bytes().data(), metadata_bytes);
  for (std::uint32_t loc : {layout.metadata_file_loc, layout.mirror_file_loc})
    udf_test::repoint_metadata_file(&medium[std::size_t(layout.partition_start + loc) * kBlock], metadata_bytes,
                                    kMetadataAt);
}

std::uint32_t VolumeImage::write_slot0(kelsim::Cartridge& cart) const {
  const std::uint32_t end_area = spec.sectors - kUnitBlocks;
  std::uint32_t data_end = 0;
  for (std::uint32_t unit = 0; unit < spec.sectors; unit += kUnitBlocks) {
    const std::uint8_t* p = medium.data() + std::size_t(unit) * kBlock;
    if (std::all_of(p, p + std::size_t(kUnitBlocks) * kBlock, [](std::uint8_t b) { return b == 0; })) continue;
    if (const DWORD e = cart.write_blocks(0, unit, kUnitBlocks, p)) die("image write", static_cast<int>(e));
    if (unit < end_area) data_end = unit + kUnitBlocks;
  }
  return data_end;
}

void VolumeImage::finish_cartridge(kelsim::Cartridge& cart, std::vector<kelsim::Track> tracks) const {
  kelsim::Disc& d = cart.disc(0);
  d.formatted = true;
  d.status = kelsim::DiscStatus::Incomplete;
  d.tracks = std::move(tracks);
  cart.attributes[0x1500] = {0, value_1500h(layout.metadata_file_loc)};
  if (cart.save()) die("cartridge save");
}

void PollClock::sleep_ms(std::uint64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!mdcudfsr_metacache_is_opened(mdcudfsr_metacache_channel()) && std::chrono::steady_clock::now() < until)
    std::this_thread::yield();
}

HostMount::HostMount(const std::string& scratch) : args_{"KelDriver", "/dev/sd1A2B", scratch} {
  pclient_if = new client_if();
  pclient_if->storage()->set_device_number("sg0");
  pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
  if (int e = pclient_if->storage()->init()) die("drive client", e);
  open_ = true;
  mdcudfsr_metacache_init();
  mdcudfsr_vfamdev_init();
  char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
  int finalized = 0, protect = 0, unsupported = 0;
  if (int e = premount_operation(dev, media, &finalized, &protect, &unsupported)) die("premount", e);
  for (auto& a : args_) argp_.push_back(a.data());
  argp_.push_back(nullptr);
  devvp = kel_make_vnode(&mp, nullptr, 0, 0);
  kel_tree_make_root(devvp);
}

int HostMount::mount(std::uint32_t flags, vfs_context* ctx) {
  mdcudfsr_mount_args margs{};
  margs.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
  margs.flags = flags;
  margs.metadata_check = 1000;
  if (!FsCacheAgent_main_func(3, argp_.data())) die("agent");
  int err = mdcudfsr_vfsops_table.vfs_mount(&mp, devvp.get(), &margs, ctx);
  if (!err) err = mdcudfsr_vfsops_table.vfs_start(&mp, 0, ctx);
  if (!err) err = mdcudfsr_vfsops_table.vfs_root(&mp, &root, ctx);
  return err;
}

int HostMount::unmount(vfs_context* ctx) { return mdcudfsr_vfsops_table.vfs_unmount(&mp, 1, ctx); }

void HostMount::close() {
  if (!open_) return;
  open_ = false;
  kel_tree_set_root(nullptr);
  devvp.reset();
  clientif_delete();
  pclient_if = nullptr;
}

}  // namespace kel_bench
