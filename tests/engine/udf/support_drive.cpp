// The UDF code against the real drive client and the simulated drive (see
// support_drive.h).
#include "engine/udf/support_drive.h"
#include "support/settles.h"
#include "engine/udf/support_fakes.h"

#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "platform/sync.h"
#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_rewritable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <unistd.h>

// The real drive layer and interface library behind the linker's --wrap.
extern "C" {
int __real__Z14buf_meta_breadP5vnodeliP5ucredPP7pxo_buf(vnode_t, daddr64_t, int, kauth_cred_t, buf_t*);
buf_t __real__Z10buf_getblkP5vnodeliiii(vnode_t, daddr64_t, int, int, int, int);
uintptr_t __real__Z11buf_dataptrP7pxo_buf(buf_t);
void __real__Z12buf_setflagsP7pxo_bufi(buf_t, int32_t);
int __real__Z10buf_bwriteP7pxo_buf(buf_t);
void __real__Z10buf_brelseP7pxo_buf(buf_t);
int __real__Z18buf_invalidateblksP5vnodeiii(vnode_t, int, int, int);
int __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(vnode_t, uint32_t, char*, int, vfs_context_t);
int __real_config_get_string(int, const char*, int*, char*);
int __real_config_get_uint32(int, const char*, int*, uint32_t*);
}

namespace udf_test {

namespace {

constexpr uint32_t kUnitBytes = 0x10000;
constexpr uint32_t kUnitSectors = kUnitBytes / kSector;
vnode_t const g_devvp = device_vnode();

}  // namespace

namespace drive {

int meta_bread(vnode_t vp, daddr64_t blkno, int size, buf_t* bpp) {
  env().calls.push_back("bread lsn=" + std::to_string(blkno) + " size=" + std::to_string(size));
  return __real__Z14buf_meta_breadP5vnodeliP5ucredPP7pxo_buf(vp, blkno, size, nullptr, bpp);
}

buf_t getblk(vnode_t vp, daddr64_t blkno, int size, int operation) {
  env().calls.push_back("getblk lsn=" + std::to_string(blkno) + " size=" + std::to_string(size) +
                        " op=" + std::to_string(operation));
  return __real__Z10buf_getblkP5vnodeliiii(vp, blkno, size, 0, 0, operation);
}

uintptr_t dataptr(buf_t bp) { return __real__Z11buf_dataptrP7pxo_buf(bp); }

void setflags(buf_t bp, int32_t flags) {
  env().calls.push_back("setflags " + std::to_string(flags));
  __real__Z12buf_setflagsP7pxo_bufi(bp, flags);
}

int bwrite(buf_t bp) {
  env().calls.push_back("bwrite lsn=" + std::to_string(bp->blkno) + " size=" + std::to_string(bp->bufsize));
  return __real__Z10buf_bwriteP7pxo_buf(bp);
}

void brelse(buf_t bp) {
  env().calls.push_back("brelse");
  __real__Z10buf_brelseP7pxo_buf(bp);
}

int invalidateblks(vnode_t vp) {
  env().calls.push_back("invalidateblks");
  return __real__Z18buf_invalidateblksP5vnodeiii(vp, 0, 0, 0);
}

int ioctl(vnode_t vp, uint32_t command, char* data, int fflag, vfs_context_t ctx) {
  env().calls.push_back("ioctl " + hex(command));
  return __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(vp, command, data, fflag, ctx);
}

int config_string(int handle, const char* name, int* size, char* buffer) {
  return __real_config_get_string(handle, name, size, buffer);
}

int config_uint32(int handle, const char* name, int* size, uint32_t* value) {
  return __real_config_get_uint32(handle, name, size, value);
}

int write_sectors(uint32_t lsn, const void* data, uint32_t bytes) {
  const auto* in = static_cast<const uint8_t*>(data);
  const uint64_t first = lsn, end = first + (uint64_t{bytes} + kSector - 1) / kSector;
  for (uint64_t unit = first / kUnitSectors * kUnitSectors; unit < end; unit += kUnitSectors) {
    buf_t bp = __real__Z10buf_getblkP5vnodeliiii(g_devvp, static_cast<daddr64_t>(unit), kUnitBytes, 0, 0,
                                                 BUF_OP_METADATA);
    if (!bp) return 5;
    const uint64_t from = std::max(unit, first), to = std::min(unit + kUnitSectors, end);
    const uint64_t skip = (from - first) * kSector;
    const uint64_t n = std::min<uint64_t>((to - from) * kSector, bytes - skip);
    uint8_t* at = bp->data + (from - unit) * kSector;
    if (in)
      std::memcpy(at, in + skip, n);
    else
      std::memset(at, 0, n);
    if (const int err = __real__Z10buf_bwriteP7pxo_buf(bp)) return err;
  }
  return 0;
}

int read_sectors(uint32_t lsn, void* out, uint32_t bytes) {
  buf_t bp = nullptr;
  const int err = __real__Z14buf_meta_breadP5vnodeliP5ucredPP7pxo_buf(g_devvp, lsn, static_cast<int>(bytes),
                                                                       nullptr, &bp);
  if (err) return err;
  std::memcpy(out, bp->data, bytes);
  __real__Z10buf_brelseP7pxo_buf(bp);
  return 0;
}

int sync_cache() {
  return __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(g_devvp, DKIOCSYNCHRONIZECACHE, nullptr, 0, nullptr);
}

int verify(uint32_t first, uint32_t count) {
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min<uint32_t>(count - done, 0xFFFF);
    pxo_verify_range_t r{first + done, static_cast<uint16_t>(n), 0};
    if (const int err = __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(g_devvp, PXOIOVERIFYRANGE,
                                                                      reinterpret_cast<char*>(&r), 0, nullptr))
      return err;
    done += n;
  }
  return 0;
}

int track_nwa(uint32_t* nwa) {
  pxo_track_info_t t{};
  t.track_no = 0;  // the first open track, from its next writable address
  const int err = __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(g_devvp, PXOIOCREADTRACKINFO,
                                                                 reinterpret_cast<char*>(&t), 0, nullptr);
  if (!err) *nwa = t.track_info.NextWritableAddress;
  return err;
}

int read_attribute_record(uint8_t* record, int convert) {
  auto* rec = reinterpret_cast<pxo_attribute_data_t*>(record);
  std::memset(rec, 0, sizeof *rec);
  // Group A (0800h-0806h) to offsets 4-291, group B (1500h-1504h) to 292-468.
  const struct {
    uint16_t id;
    uint16_t size;
    uint32_t to, bytes;
  } groups[] = {{0x0800, 292, 4, cm_attr::kGroupA}, {0x1500, 184, 292, cm_attr::kGroupB - 3}};
  for (const auto& g : groups) {
    std::vector<uint8_t> buf(g.size);
    pxo_attribute_request_t r{g.id, g.size, 0, buf.data()};
    const int err = __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(g_devvp, PXOIOREADATTRIBUTE,
                                                                   reinterpret_cast<char*>(&r), 0, nullptr);
    if (err) return err;
    std::memcpy(record + g.to, buf.data() + 4, g.bytes);
  }
  rec->length = cm_attr::kBoth;  // both groups, whole
  return convert ? scsi_service_cm::convEndianForCMData(rec) : 0;
}

int write_attribute_record(const uint8_t* record, uint32_t mask) {
  mask &= cm_attr::kMaskAll;
  if (!mask) return 0;
  pxo_attribute_data_t copy;
  std::memcpy(&copy, record, sizeof copy);
  // Every header as the attribute table has it, the length of both groups.
  copy.length = cm_attr::kBoth;
  for (int i = 0; i < cm_attr::kCount; ++i) {
    uint8_t* h = reinterpret_cast<uint8_t*>(&copy) + cm_attr::kOffsets[i];
    h[0] = static_cast<uint8_t>(cm_attr::kIds[i]);
    h[1] = static_cast<uint8_t>(cm_attr::kIds[i] >> 8);
    h[2] = cm_attr::kFormats[i];
    h[3] = static_cast<uint8_t>(cm_attr::kLengths[i]);
    h[4] = static_cast<uint8_t>(cm_attr::kLengths[i] >> 8);
  }
  if (const int err = scsi_service_cm::convEndianForCMData(&copy)) return err;
  if (mask & 0x080) {
    uint8_t* v = reinterpret_cast<uint8_t*>(&copy) + cm_attr::k1500Value;
    const uint16_t crc = scsi_service_cm::calculate_crc(v, cm1500::kCrc);
    v[cm1500::kCrc] = static_cast<uint8_t>(crc >> 8);
    v[cm1500::kCrc + 1] = static_cast<uint8_t>(crc);
  }
  const uint32_t size = (scsi_service_cm::calcAttrListDataSize(mask) + 3) / 4 * 4 + 4;
  std::vector<uint8_t> list(size);
  scsi_service_cm::makeAttrListDataForCMWA(mask, list.data(), size, &copy);
  return __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(g_devvp, PXOIOWRITEATTRIBUTE,
                                                         reinterpret_cast<char*>(list.data()), 0, nullptr);
}

}  // namespace drive

// A clock on which sleeps return at once: the drive client's retries cost
// nothing.
struct SimVolume::Clock final : platform::Clock {
  std::uint64_t now_ms() override { return now.load(); }
  void wait_until(std::unique_lock<std::mutex>&, std::condition_variable&, std::uint64_t deadline_ms) override {
    if (deadline_ms > now.load()) now.store(deadline_ms);
  }
  void sleep_ms(std::uint64_t ms) override { now += ms; }
  std::atomic<std::uint64_t> now{1000000};
  std::unique_ptr<platform::ScopedClock> scope;
};

SimVolume::SimVolume(MediumClass cls) {
  spec = spec_for(cls, 0);
  std::vector<uint8_t> image;
  layout = build_volume(spec, image);
  env().reset(spec.sectors);
  dir_ = (std::filesystem::temp_directory_path() /
          ("kel_udf_drive_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name()))
             .string();
  std::filesystem::create_directories(dir_);
  ::setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  clock_ = std::make_unique<Clock>();
  clock_->scope = std::make_unique<platform::ScopedClock>(*clock_);

  kelsim::HarnessOptions o;
  o.cartridge.medium_type = static_cast<uint8_t>(spec.medium_type);
  o.cartridge.disc_blocks = spec.sectors;
  o.cartridge.medium_serial = "SER-0001";
  o.cartridge.loaded_slot = 0;
  sim_ = std::make_unique<kelsim::SimHarness>(o);
  // The builder's volume on slot 0, unit by unit where it holds data.
  kelsim::Cartridge& cart = sim_->cartridge();
  uint32_t data_end = 0;  // one past the last unit written before the end area
  const uint32_t end_area = spec.sectors - (spec.medium_type == 0xF2 ? 128 : 32);
  for (uint32_t unit = 0; unit < spec.sectors; unit += kUnitSectors) {
    const uint8_t* p = image.data() + static_cast<size_t>(unit) * kSector;
    if (std::all_of(p, p + kUnitBytes, [](uint8_t b) { return b == 0; })) continue;
    EXPECT_EQ(cart.write_blocks(0, unit, kUnitSectors, p), 0u);
    if (unit < end_area) data_end = unit + kUnitSectors;
  }
  kelsim::Disc& d = cart.disc(0);
  d.formatted = true;
  d.unique_id.assign(14, '1');
  if (cart.write_once()) {
    // The data track up to its next writable address, and the reserved
    // track of the end area holding the last anchor.
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, end_area, data_end, false, false},
                kelsim::Track{end_area, spec.sectors - end_area, spec.sectors, false, true}};
  } else {
    d.status = kelsim::DiscStatus::Complete;
    d.highest_written = spec.sectors;
  }
  EXPECT_EQ(cart.save(), 0u);
  kel::SetMediumCookie(sim_->cookie());
  pclient_if = new client_if();
  pclient_if->storage()->set_device_number("sg0");
  pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
  started = pclient_if->storage()->init() == 0;
  EXPECT_TRUE(started);
  // The cartridge memory of a formatted volume: all twelve attributes, the
  // 1500h value with its signature and no metadata file position yet.
  uint8_t record[MDCUDFSR_ATTRIBUTE_RECORD_SIZE] = {};
  uint8_t* v1500 = record + cm_attr::k1500Value;
  std::memcpy(v1500 + cm1500::kSignature, "KEL", 3);
  v1500[cm1500::kVersion] = 1;
  v1500[cm1500::kLength] = 120;
  scsi_service_cm cm;
  cm.set_storage_scsi(pclient_if->storage());
  regid entity{};
  cm.make_1500h_entity(&entity);
  std::memcpy(v1500 + cm1500::kEntity, &entity, sizeof entity);
  EXPECT_EQ(drive::write_attribute_record(record, cm_attr::kMaskAll), 0);
  env().drive = true;
  env().calls.clear();
  env().logs.clear();
}

SimVolume::~SimVolume() {
  env().drive = false;
  clientif_delete();
  pclient_if = nullptr;
  sim_.reset();
  kel::SetMediumCookie(0);
  // The pipe client notices the closed pipe on its own thread.
  kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  clock_.reset();
  kel::ResetConfigCache();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

std::vector<uint8_t> SimVolume::disc_image() {
  std::vector<uint8_t> out(static_cast<size_t>(spec.sectors) * kSector);
  EXPECT_EQ(sim_->cartridge().read_blocks(0, 0, spec.sectors, out.data()), 0u);
  return out;
}

std::unique_ptr<mdcudfsr_mount> SimVolume::mount() {
  auto mnt = std::make_unique<mdcudfsr_mount>();
  init_mount(mnt.get(), spec.sectors, spec.medium_type, 0);
  if (mnt->is_rewritable) {
    EXPECT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
  } else {
    EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
    EXPECT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
  }
  setup_partitions(mnt.get(), layout);
  EXPECT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), 0);
  return mnt;
}

std::vector<uint8_t> SimVolume::metadata_block(mdcudfsr_mount* mnt, uint32_t lbn) {
  std::vector<uint8_t> b(kSector);
  const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_METADATA, lbn, nullptr);
  EXPECT_NE(lsn, 0xFFFFFFFFu) << "metadata block " << lbn;
  if (lsn != 0xFFFFFFFFu) {
    EXPECT_EQ(drive::read_sectors(lsn, b.data(), kSector), 0);
  }
  return b;
}

}  // namespace udf_test
