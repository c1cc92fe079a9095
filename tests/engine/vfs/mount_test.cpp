// The whole volume mount through the host layer's sequence (agent thread,
// mount, start, root) against simulated cartridges, and the unmount.
#include "mount_support.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "drive/storage_scsi.h"
#include "drive/storage_scsi_records.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_fs.h"
#include "kelvfs/mdcudfsr_readahead.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_records.h"
#include "support/recorded_disc.h"

#include <cstddef>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

// What the metadata and descriptor flushes log at their start and end.
constexpr const char* kFlushStart = "Metadata and Descriptor Flush Start";
constexpr const char* kFlushEnd = "Metadata and Descriptor Flush End result=0";

class Mount : public MountHarness {
 protected:
  int count_code(std::uint32_t code) {
    int n = 0;
    for (const auto& c : ioctls()) n += c.first == code;
    return n;
  }
};

// Written volumes of the three medium kinds mount read-write and publish
// {0, 0, 0, medium type}. The rewritable one is the automatic format's on a
// disc with room beyond its reserve (the builder's volume has none).
TEST_F(Mount, WrittenVolumesMountReadWrite) {
  struct Case {
    MediumClass cls;
    std::uint32_t medium;
  };
  for (const Case& c : {Case{MediumClass::WriteOnce, 0xE1}, Case{MediumClass::WriteOnce, 0xF1},
                        Case{MediumClass::Rewritable, 0xE2}}) {
    SCOPED_TRACE(c.medium);
    if (c.cls == MediumClass::Rewritable)
      prepare_formatted_rewritable();
    else
      prepare(c.cls, c.medium);
    clear_ioctls();
    ASSERT_EQ(0, host_mount());
    mdcudfsr_mount* m = record();
    ASSERT_NE(nullptr, m);
    EXPECT_NE(nullptr, root_) << "root resolves after the mount";
    EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
    EXPECT_EQ(0x10201000u, vfs_flags(&host_mp_));
    EXPECT_EQ(1, m->mount_completed);
    EXPECT_EQ(0, m->mounting);
    EXPECT_EQ(0, m->size_unknown);
    EXPECT_EQ(0u, m->reserve_mode);
    EXPECT_EQ(vfs_context_pid(&ctx_), m->mounting_pid);
    const MDCFS_MOUNT_INFORMATION mi = drive_copy();
    EXPECT_EQ(0u, mi.MountStatus);
    EXPECT_EQ(0u, mi.WriteProtectReasonFlags);
    EXPECT_EQ(0u, mi.AccessMode);
    EXPECT_EQ(c.medium, mi.MediumType);
    EXPECT_EQ(c.medium == 0xF1, mdcudfsr_cluster_read_buff_active()) << "the QMR-T300B reads ahead on 0xF1 media";
    EXPECT_EQ(c.medium == 0xE2, count_code(PXOIOREBUILDDFLMAP) > 0) << "the rewritable disc's defect map is rebuilt";
    EXPECT_TRUE(logged("{KELUDFS_LOG}[1]")) << "the event line of a normal mount, kind 1";
    EXPECT_TRUE(logged("Mounting the volume finished."));
    EXPECT_TRUE(logged("Mount Slot:0. MediumUniqueID:"));
    EXPECT_EQ(0, host_unmount(1));
    EXPECT_EQ(nullptr, record());
    EXPECT_TRUE(agent_ended());
  }
}

// Raw outcomes: the record is freed, the agent thread ends, the drive layer
// keeps the published record.
TEST_F(Mount, EmptyDiscMountsRaw) {
  // A cartridge of blank discs; flag 0x80 keeps the drive layer from
  // formatting the loaded one at the load of the last written slot.
  start();
  EXPECT_EQ(22, host_mount(0x282, false));
  EXPECT_EQ(nullptr, record()) << "the mount record is freed";
  EXPECT_TRUE(agent_ended());
  EXPECT_TRUE(logged("media_status = MDCFS_MEDIA_STATUS_EMPTY. Set RawMount.\n"));
  EXPECT_TRUE(logged("force unmount\n"));
  const MDCFS_MOUNT_INFORMATION mi = drive_copy();
  EXPECT_EQ(MNTSTATUS_EMPTY, mi.MountStatus);
  EXPECT_EQ(2u, mi.AccessMode);
  EXPECT_FALSE(logged("ErrorType:0x00")) << "an empty disc is not reported";
}

TEST_F(Mount, DriveLayerRawCopyMountsRawWithoutReport) {
  prepare(MediumClass::WriteOnce);
  char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
  int a = 0, b = 0, c = 0;
  ASSERT_EQ(0, premount_operation(dev, media, &a, &b, &c));
  MDCFS_MOUNT_INFORMATION raw{0x80000500u, 0x80000u, 2, 0xE1, 0, 0, 0};
  ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&raw), 0, &ctx_));
  clear_log();
  EXPECT_EQ(22, host_mount(0x202, false));
  EXPECT_TRUE(logged("Set RawMount.\n"));
  EXPECT_EQ(nullptr, record());
  EXPECT_FALSE(logged("Driver detect an error.")) << "no error report";
}

// Puts a regular file "short.bin" into the root of the image builder's
// volume on slot 0: its entry (metadata block 3) states 8192 bytes and
// carries no extent.
void add_file_shorter_than_its_length(kelsim::Cartridge& cart, const udf_test::ImageSpec& spec) {
  const std::uint32_t root_sector = spec.metadata_lsn + 2;
  std::uint8_t root[2048], file[2048];
  ASSERT_EQ(0u, cart.read_blocks(0, root_sector, 1, root));
  auto put16 = [](std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); };
  auto put32 = [](std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); };
  auto put64 = [](std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); };
  constexpr std::uint32_t kEntry = 216, kParentFid = 40;
  // The file's identifier: the parent's, with the name and the entry block.
  std::uint8_t* fid = root + kEntry + kParentFid;
  std::memcpy(fid, root + kEntry, 38);
  const char name[] = "short.bin";
  fid[18] = 0;                            // file characteristics
  fid[19] = 1 + sizeof name - 1;          // length of the identifier
  put32(fid + 24, 3);                     // icb: metadata block 3
  fid[38] = 8;                            // CS0, 8 bits a character
  std::memcpy(fid + 39, name, sizeof name - 1);
  const std::uint32_t fid_len = (38 + fid[19] + 3) & ~3u;
  put16(fid + 10, static_cast<std::uint16_t>(fid_len - 16));
  udf_test::reseal(fid);
  const std::uint32_t l_ad = kParentFid + fid_len;
  put64(root + 56, l_ad);                 // information length
  put64(root + 64, l_ad);                 // object size
  put32(root + 212, l_ad);
  put16(root + 10, static_cast<std::uint16_t>(kEntry + l_ad - 16));
  udf_test::reseal(root);
  // The file's entry: short allocation descriptors, none of them.
  std::memcpy(file, root, kEntry);
  std::memset(file + kEntry, 0, sizeof file - kEntry);
  file[27] = 5;                           // regular file
  put16(file + 34, 0);                    // short allocation descriptors
  put16(file + 48, 1);                    // link count
  put64(file + 56, 8192);
  put64(file + 64, 8192);
  put64(file + 72, 0);                    // blocks recorded
  put64(file + 200, 16);                  // unique id
  put32(file + 212, 0);
  put16(file + 10, kEntry - 16);
  udf_test::relocate(file, 3);
  ASSERT_EQ(0u, cart.write_blocks(0, root_sector, 1, root));
  ASSERT_EQ(0u, cart.write_blocks(0, spec.metadata_lsn + 3, 1, file));
}

// Reasons make the volume read-only: result 0 with MNT_RDONLY.
TEST_F(Mount, ReasonsMountReadOnly) {
  struct Case {
    const char* what;
    std::uint32_t reason;
  };
  for (const Case& c : {Case{"finalized", WRPROT_FINALIZED}, Case{"cartridge memory protected", WRPROT_CM_PROTECTED}}) {
    SCOPED_TRACE(c.what);
    prepare(MediumClass::WriteOnce, 0, [&](kelsim::Cartridge& cart) {
      if (c.reason == WRPROT_FINALIZED) {
        kelsim::Disc& d = cart.disc(0);
        d.status = kelsim::DiscStatus::Complete;
        for (auto& t : d.tracks) t.closed = true;
      } else {
        cart.attributes[0x0D03] = {0, std::vector<std::uint8_t>(8, 1)};
      }
    });
    ASSERT_EQ(0, host_mount());
    ASSERT_NE(nullptr, record());
    EXPECT_NE(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
    EXPECT_NE(0u, record()->mntinfo.WriteProtectReasonFlags & c.reason);
    EXPECT_NE(0u, drive_copy().WriteProtectReasonFlags & c.reason);
    EXPECT_EQ(0u, drive_copy().AccessMode);
    EXPECT_EQ(0, host_unmount(1));
  }
}

// The scan of the disc adds reason 0x80000 for a file whose extents are
// shorter than its length and goes on: the volume mounts read-only.
TEST_F(Mount, AFileWithExtentsShorterThanItsLengthMountsReadOnly) {
  prepare(MediumClass::WriteOnce, 0, [](kelsim::Cartridge& cart) {
    add_file_shorter_than_its_length(cart, udf_test::spec_for(MediumClass::WriteOnce, 0));
  });
  ASSERT_EQ(0, host_mount());
  ASSERT_NE(nullptr, record());
  EXPECT_TRUE(logged("make READ_ONLY")) << "the scan found the short file";
  EXPECT_NE(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
  EXPECT_EQ(0x80000u, record()->mntinfo.WriteProtectReasonFlags & 0x80000u);
  const MDCFS_MOUNT_INFORMATION mi = drive_copy();
  EXPECT_EQ(0x80000u, mi.WriteProtectReasonFlags & 0x80000u);
  EXPECT_EQ(0u, mi.AccessMode);
  EXPECT_EQ(0, host_unmount(1));
}

// A rewritable disc the drive layer reformats at the mount: the reasons and
// status taken from the drive layer go, flag 0x400 is cleared, the
// reallocation control is skipped and metadata and descriptors are flushed
// at once. The same cartridge without the reformat keeps them.
TEST_F(Mount, AReformattedRewritableDiscStartsClean) {
  for (bool reformat : {false, true}) {
    SCOPED_TRACE(reformat ? "reformatted" : "not reformatted");
    prepare_formatted_rewritable();
    char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(0, premount_operation(dev, media, &a, &b, &c));
    MDCFS_MOUNT_INFORMATION seeded{MNTSTATUS_AD_LENGTH, 0x80000u, 0, 0xE2, 0, 0, 0};
    ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&seeded), 0, &ctx_));
    pclient_if->storage()->set_reformat_flg(reformat ? 1 : 0);
    pclient_if->service().re().set_AutoFormatted_flag(reformat);
    clear_log();
    ASSERT_EQ(0, host_mount(0x602, false));
    mdcudfsr_mount* m = record();
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(reformat ? 1u : 0u, m->reformatted);
    EXPECT_EQ(reformat ? 0u : 0x400u, m->mount_ext_flags & 0x400u);
    EXPECT_EQ(1, m->disk_data_mode);
    EXPECT_EQ(reformat ? 0u : 0x80000u, m->mntinfo.WriteProtectReasonFlags);
    EXPECT_EQ(reformat ? 0u : MNTSTATUS_AD_LENGTH, m->mntinfo.MountStatus);
    EXPECT_EQ(reformat ? 0u : MNT_RDONLY, vfs_flags(&host_mp_) & MNT_RDONLY);
    EXPECT_EQ(reformat ? 0u : 0x80000u, drive_copy().WriteProtectReasonFlags);
    EXPECT_EQ(reformat, logged("needless Reallocation Control \n"));
    EXPECT_FALSE(logged("isFormatted needless Reallocation Control \n"));
    EXPECT_EQ(1, count_log("Reallocation Control \n")) << "one line of the reallocation control";
    EXPECT_EQ(reformat, logged(kFlushEnd)) << "the reformat forces the flush at the mount";
    EXPECT_EQ(0, m->lvid_open);
    EXPECT_EQ(0, host_unmount(1));
    ASSERT_TRUE(agent_ended());
  }
}

TEST_F(Mount, NoMountRecord) {
  mount none{};
  vnode_t vp = reinterpret_cast<vnode_t>(&none);
  EXPECT_EQ(0, mdcudfsr_vfsops_table.vfs_start(&none, 0, &ctx_));
  EXPECT_EQ(22, mdcudfsr_vfsops_table.vfs_root(&none, &vp, &ctx_));
  EXPECT_EQ(nullptr, vp);
  EXPECT_EQ(0, mdcudfsr_vfsops_table.vfs_unmount(&none, 0, &ctx_));
  EXPECT_TRUE(logged("mdcudfsrmp\n"));
}

TEST(VfsOps, TableHoldsTheOperationsInSlotOrder) {
  const mdcudfsr_vfsops& t = mdcudfsr_vfsops_table;
  EXPECT_EQ(&mdcudfsr_vfsop_mount, t.vfs_mount);
  EXPECT_EQ(&mdcudfsr_vfsop_start, t.vfs_start);
  EXPECT_EQ(&mdcudfsr_vfsop_unmount, t.vfs_unmount);
  EXPECT_EQ(&mdcudfsr_vfsop_root, t.vfs_root);
  EXPECT_EQ(&mdcudfsr_vfsop_getattr, t.vfs_getattr);
  EXPECT_EQ(&mdcudfsr_vfsop_setattr, t.vfs_setattr);
  for (void* empty : {t.vfs_quotactl, t.vfs_vget, t.vfs_fhtovp, t.vfs_vptofh, t.vfs_init, t.vfs_sysctl})
    EXPECT_EQ(nullptr, empty);
}

TEST(ObjectLimit, TableByMediumAndVolumeType) {
  struct Case {
    std::uint32_t medium, volume_type;
    std::uint64_t objects;
    int result;
  };
  const Case cases[] = {
      {0xE2, 1, 240000, 0},  {0xE2, 1, 240001, 22}, {0xE2, 0, 60000, 0},   {0xE2, 0, 60001, 22},
      {0x51, 0, 5000, 0},    {0x51, 0, 5001, 30},   {0x51, 0, 8000, 30},   {0x51, 0, 8001, 22},
      {0x57, 0, 6001, 30},   {0xF2, 0, 800000, 0},  {0xF2, 1, 240001, 22}, {0xF1, 3, 480001, 22},
      {0xD2, 0, 20001, 22},  {0x54, 0, 0, 22},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.result, mdcudfsr_object_limit_check(c.medium, c.volume_type, c.objects))
        << std::hex << c.medium << " " << c.volume_type << " " << std::dec << c.objects;
}

}  // namespace

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

class Unmount : public MountHarness {
 protected:
  int count_ioctl(std::uint32_t code, std::uint32_t word) {
    int n = 0;
    for (const auto& c : ioctls()) n += c.first == code && c.second == word;
    return n;
  }
};

TEST_F(Unmount, ForcedFreesTheRecordAndEndsTheAgent) {
  for (std::uint32_t flags : {0x202u, 0x222u}) {
    SCOPED_TRACE(flags);
    prepare(MediumClass::WriteOnce);
    ASSERT_EQ(0, host_mount(flags & ~0x20u));
    record()->mount_ext_flags |= flags & 0x20u;  // a rollback mount's flag, as unmount reads it
    record()->metadata_changed = 1;
    const int flushes = count_log(kFlushEnd);
    clear_ioctls();
    ASSERT_EQ(0, host_unmount(1));
    EXPECT_EQ(nullptr, record());
    EXPECT_TRUE(agent_ended());
    EXPECT_EQ(flags & 0x20u ? 0 : 1, count_ioctl(PXOIOSETBEFOREACCESSMODE, 0));
    EXPECT_EQ(1, count_ioctl(PXOIONOTIFYUNMOUNT, 1));
    EXPECT_EQ(flushes + 1, count_log(kFlushEnd)) << "a changed volume is flushed";
    EXPECT_TRUE(logged("Unmounting the volume finished. "));
    EXPECT_FALSE(mdcudfsr_cluster_read_buff_active()) << "no read-ahead is left";
  }
}

TEST_F(Unmount, UnforcedBeforeTheFilterIsRefused) {
  prepare(MediumClass::WriteOnce);
  ASSERT_EQ(0, host_mount(0x200));
  record()->total_blocks = 100;
  record()->free_blocks = 50;
  record()->size_unknown = 0;
  clear_ioctls();
  EXPECT_EQ(16, host_unmount(0));
  ASSERT_NE(nullptr, record()) << "still mounted";
  EXPECT_EQ(0, record()->unmounting);
  vfs_attr a{};
  a.f_active = 0xFFFFFFFFu & ~(1ull << 21);
  ASSERT_EQ(0, mdcudfsr_vfsop_getattr(&host_mp_, &a, &ctx_));
  EXPECT_EQ(0u, a.f_blocks);
  EXPECT_EQ(0u, a.f_bfree);
  EXPECT_EQ(0, count_ioctl(PXOIONOTIFYUNMOUNT, 1));
  EXPECT_TRUE(logged("Unmounting the volume failed."));
  record()->filter_notified = 1;
  EXPECT_EQ(0, host_unmount(0)) << "once the filter was notified";
  EXPECT_EQ(nullptr, record());
}

std::atomic<int> g_backtrack_ran{0};
void backtrack_body(void* arg, std::uint64_t, ...) {
  auto* m = static_cast<mdcudfsr_mount*>(arg);
  g_backtrack_ran = 1;
  std::lock_guard<std::mutex> lk(m->backtrack_mutex);
  m->backtrack_running = 0;
  m->backtrack_cond.notify_all();
}

TEST_F(Unmount, WaitsForTheBacktrackThread) {
  prepare(MediumClass::Rewritable);
  ASSERT_EQ(0, host_mount());
  mdcudfsr_mount* m = record();
  g_backtrack_ran = 0;
  m->backtrack_running = 1;
  m->backtrack_thread = mdcudfsr_thread_create(backtrack_body, m);
  ASSERT_NE(nullptr, m->backtrack_thread);
  ASSERT_EQ(0, mdcudfsr_thread_start(static_cast<mdcudfsr_thread_t>(m->backtrack_thread)));
  ASSERT_EQ(0, host_unmount(1));
  EXPECT_EQ(1, g_backtrack_ran.load());
  EXPECT_TRUE(logged("mdcudfsr_backtrack_routine end check \n"));
}

}  // namespace

namespace {

using namespace vfs_test;

// An agent that opens the channel, answers every request with error 5 and
// never closes it: a mount that then fails is unmounted with force all the
// same, after the close wait ran out on the injected clock.
std::atomic<bool> g_stop_agent{false};
void stubborn_agent() {
  if (mdcudfsr_metacache_open() != 0) return;
  std::vector<std::uint8_t> req(0x20000);
  while (!g_stop_agent) {
    const std::uint32_t n = mdcudfsr_metacache_read(req.data(), req.size());
    if (n < sizeof(mdc_req_header_t)) break;
    mdc_req_header_t rh;
    std::memcpy(&rh, req.data(), sizeof rh);
    mdc_ans_header_t ah{rh.seq_id, rh.req_id, 0, 0, 5};
    mdcudfsr_metacache_write(&ah, sizeof ah);
  }
}

class UnmountTimeout : public MountHarness {};

TEST_F(UnmountTimeout, AnAgentThatNeverClosesStillLetsTheRecordGo) {
  prepare(udf_test::MediumClass::WriteOnce);
  g_stop_agent = false;
  std::thread agent(stubborn_agent);
  host_mp_ = mount{};
  device_vnode_ = kel_make_vnode(&host_mp_, nullptr, 0, 0);
  kel_tree_make_root(device_vnode_);
  args_.flags = 0x202;
  const std::uint64_t before = mount_clock_.now_ms();
  const int r = mdcudfsr_vfsop_mount(&host_mp_, device_vnode_.get(), &args_, &ctx_);
  EXPECT_NE(0, r) << "no cache file: the node cache cannot be set up";
  EXPECT_EQ(nullptr, record());
  EXPECT_TRUE(logged("force unmount\n"));
  EXPECT_TRUE(logged("mdcudfsr_metacache_wait_close() return status("));
  EXPECT_GE(mount_clock_.now_ms() - before, 5000u) << "the wait ran out on the injected clock";
  EXPECT_TRUE(logged("Unmounting the volume finished. "));
  g_stop_agent = true;
  mdcudfsr_metacache_close();
  agent.join();
}

}  // namespace

namespace {

using namespace vfs_test;

// Both metadata file entries unreadable where the descriptors say; a copy
// lies where the cartridge memory's position word points.
class MountPartitions : public MountHarness {
 protected:
  // A first mount and unmount leave the cartridge memory as the system
  // writes it; then the entries move.
  void prepare_moved(std::uint32_t word_slot) {
    const udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
    const udf_test::ImageLayout l = udf_test::layout_for(spec);
    prepare(udf_test::MediumClass::WriteOnce);
    ASSERT_EQ(0, host_mount());
    ASSERT_EQ(0, host_unmount(1));
    ASSERT_TRUE(agent_ended());
    kelsim::Cartridge& cart = sim_->cartridge();
    for (std::uint32_t i = 0; i < 2; ++i) {
      const std::uint32_t from = l.metadata_file_loc + 16 * i, to = kMoved + 16 * i;
      std::vector<std::uint8_t> block(2048);
      ASSERT_EQ(0u, cart.read_blocks(0, l.partition_start + from, 1, block.data()));
      udf_test::relocate(block.data(), to);
      kel_test::record_blocks(cart, 0, l.partition_start + to, 1, block.data());
      std::vector<std::uint8_t> zero(2048, 0);
      ASSERT_EQ(0u, cart.write_blocks(0, l.partition_start + from, 1, zero.data()));
    }
    cart.attributes[0x1500] = {0, value_1500h(word_slot, kMoved)};
    clear_log();
  }
  static constexpr std::uint32_t kMoved = 1024;
};

TEST_F(MountPartitions, PositionWordOfTheLastWrittenSlotMountsAndRewritesTheDescriptors) {
  prepare_moved(0);
  ASSERT_EQ(0, host_mount());
  ASSERT_NE(nullptr, record());
  EXPECT_EQ(kMoved, record()->vds.pmap.type2_metadata.file_loc);
  EXPECT_EQ(kMoved + 16, record()->vds.pmap.type2_metadata.mirror_file_loc);
  EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
  // The rewritten descriptors went into the file-system cache file too.
  EXPECT_EQ(nullptr, record()->vds_cache_image[0]) << "the copy was handed to the cache file";
  ASSERT_GE(record()->fsmanage_handle, 0);
  std::vector<std::uint8_t> block0(0x10000);
  std::uint32_t len = 0, cache_err = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_file_read(record(), record()->fsmanage_handle, 0, 0x10000, block0.data(), &len,
                                            &cache_err));
  EXPECT_EQ(2, block0[0x8000]);
  ASSERT_EQ(0, host_unmount(1));
  // The slot's image as the drive holds it now.
  const udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
  const udf_test::ImageLayout l = udf_test::layout_for(spec);
  std::vector<std::uint8_t> image(std::size_t(spec.sectors) * 2048);
  ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, 0, spec.sectors, image.data()));
  bool found = false;
  for (std::uint32_t b = 0; b < 6 && !found; ++b) {
    const std::uint8_t* d = &image[std::size_t(l.main_vds + b) * 2048];
    if ((d[0] | d[1] << 8) != 6) continue;  // the logical volume descriptor
    const std::uint8_t* map = d + sizeof(logvol_desc);  // the metadata map comes first
    std::uint32_t file_loc = 0;
    std::memcpy(&file_loc, map + offsetof(part_map_metadata, file_loc), 4);
    EXPECT_EQ(kMoved, file_loc) << "the descriptors on the disc name the moved entries";
    found = true;
  }
  EXPECT_TRUE(found);
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  const std::string path = dir_ + "/slot0.img";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(image.size(), std::fwrite(image.data(), 1, image.size(), f));
  std::fclose(f);
  std::string out;
  FILE* p = popen(("/usr/bin/udfinfo --blocksize=2048 " + path + " 2>&1").c_str(), "r");
  ASSERT_NE(nullptr, p);
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(0, pclose(p)) << out;
  EXPECT_EQ(std::string::npos, out.find("rror")) << out;
}

TEST_F(MountPartitions, AnotherSlotsPositionWordMountsRaw) {
  prepare_moved(1);
  EXPECT_EQ(22, host_mount());
  EXPECT_EQ(nullptr, record());
  EXPECT_TRUE(logged("Inconsistent Slot Number. lastwrittenslot=0 VUVI=1\n"));
  EXPECT_EQ(MNTSTATUS_UNREADABLE, drive_copy().MountStatus);
  EXPECT_EQ(2u, drive_copy().AccessMode);
}

}  // namespace

namespace {

using namespace vfs_test;

// A volume soft write-protected on a slot before the last (the domain
// flags of its logical volume descriptor): the mount moves to the next track.
class MountNextTrack : public MountHarness {
 protected:
  void prepare_soft_protected(bool cm_protected) {
    const udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
    const udf_test::ImageLayout l = udf_test::layout_for(spec);
    prepare(udf_test::MediumClass::WriteOnce, 0, [&](kelsim::Cartridge& cart) {
      for (std::uint32_t seq : {l.main_vds, l.reserve_vds}) {
        std::vector<std::uint8_t> lvd(2048);
        ASSERT_EQ(0u, cart.read_blocks(0, seq + 3, 1, lvd.data()));
        lvd[offsetof(logvol_desc, domain_id) + offsetof(regid, id_suffix) + 2] |= 2;
        udf_test::reseal(lvd.data());
        ASSERT_EQ(0u, cart.write_blocks(0, seq + 3, 1, lvd.data()));
      }
      if (cm_protected) cart.attributes[0x0D03] = {0, std::vector<std::uint8_t>(8, 1)};
    });
  }
};

TEST_F(MountNextTrack, SoftProtectedVolumeMountsTheNextTrackAndFlushes) {
  prepare_soft_protected(false);
  ASSERT_EQ(0, host_mount());
  // After the next track's disc change its flush of the new track runs,
  // then the flush the new track forces at the end of the mount; each ends.
  const auto lines = log_lines();
  const auto change = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.find("Disc Change for MOUNT_NEXT_TRACK Slot(0)=>(1)") != std::string::npos;
  });
  ASSERT_NE(lines.end(), change) << "the real next track loads slot 1";
  const auto after = [&](const char* text) {
    return std::count_if(change, lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  EXPECT_LE(2, after(kFlushEnd));
  EXPECT_EQ(after(kFlushStart), after(kFlushEnd));
  EXPECT_EQ(0, record()->flush_policy);
  EXPECT_EQ(1, record()->disk_data_mode);
  EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
}

TEST_F(MountNextTrack, AReasonFlagMountsReadOnlyWithoutTheNextTrack) {
  prepare_soft_protected(true);
  ASSERT_EQ(0, host_mount());
  EXPECT_FALSE(logged("MOUNT_NEXT_TRACK")) << "no next track";
  EXPECT_TRUE(logged("WriteProtectReasonFlags exists!![0x"));
  EXPECT_TRUE(logged("] skip stride.\n"));
  EXPECT_NE(0u, record()->mntinfo.WriteProtectReasonFlags & WRPROT_CM_PROTECTED);
  EXPECT_NE(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
  EXPECT_EQ(0, count_log(kFlushStart));
}

TEST_F(MountNextTrack, AFailingNextTrackEndsTheMount) {
  prepare_soft_protected(false);
  // The load of the next slot fails: the drive reports no medium.
  sim_->drive().add_fault(kelsim::command_fails(0xA6, {0x02, 0x3A, 0x00}));
  const int err = host_mount();
  EXPECT_NE(0, err);
  EXPECT_EQ(nullptr, record());
  EXPECT_TRUE(logged("failed to mdcudfsr_mdcfsctrl_mount_next_track. err = " + std::to_string(err) + "\n"));
}

// A previous system-guard status of the drive layer's copy does not carry
// over into this mount.
TEST_F(Mount, PreviousGuardStatusDoesNotCarryOver) {
  prepare(udf_test::MediumClass::WriteOnce);
  char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
  int a = 0, b = 0, c = 0;
  ASSERT_EQ(0, premount_operation(dev, media, &a, &b, &c));
  MDCFS_MOUNT_INFORMATION guard{MNTSTATUS_SYSTEM_GUARD, 0, 0, 0xE1, 0, 0, 0};
  ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&guard), 0, &ctx_));
  ASSERT_EQ(0, host_mount(0x202, false));
  EXPECT_EQ(0u, record()->mntinfo.MountStatus);
  EXPECT_EQ(0u, drive_copy().MountStatus);
}

}  // namespace

namespace {

using namespace vfs_test;

// The rollback mount (flags 0xE2) after a rollback request: the drive layer
// keeps the rollback point, the integrity descriptor the rolled-back state.
class RollbackMount : public MountHarness {
 protected:
  // The rollback point names the volume's metadata file entry, or with
  // `lost` a block that holds none.
  void prepare_rollback(bool lost = false) {
    const udf_test::ImageSpec spec = udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0);
    const udf_test::ImageLayout l = udf_test::layout_for(spec);
    // The integrity descriptor records the volume state 4 (rolled back).
    prepare(udf_test::MediumClass::WriteOnce, 0, [&](kelsim::Cartridge& cart) {
      std::vector<std::uint8_t> lvid(2048);
      ASSERT_EQ(0u, cart.read_blocks(0, l.lvid, 1, lvid.data()));
      std::uint32_t parts = 0;
      std::memcpy(&parts, lvid.data() + offsetof(logvol_integrity_desc, num_partitions), 4);
      ASSERT_LE(parts, 4u);
      lvid[sizeof(logvol_integrity_desc) + 8 * parts + offsetof(regid, id_suffix) + 4] = 4;
      udf_test::reseal(lvid.data());
      ASSERT_EQ(0u, cart.write_blocks(0, l.lvid, 1, lvid.data()));
    });
    char dev[] = "sg0", media[] = "/dev/sg-no-such-device";
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(0, premount_operation(dev, media, &a, &b, &c));
    const std::uint32_t fe = l.partition_start + (lost ? 3000 : l.metadata_file_loc);
    pxo_rollback_point_t rp{0, fe, l.partition_start + l.metadata_extent};
    ASSERT_EQ(0, pclient_if->storage()->set_rollback_point(reinterpret_cast<char*>(&rp)));
    std::uint32_t back[3] = {9, 9, 9};
    ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOGETROLLBACKPOINT, reinterpret_cast<char*>(back), 0, &ctx_));
    ASSERT_EQ(rp.metadata_fe_lsn, back[1]);
    clear_ioctls();
  }
  int count_code(std::uint32_t code) {
    int n = 0;
    for (const auto& c : ioctls()) n += c.first == code;
    return n;
  }
  const udf_test::ImageLayout l_ = udf_test::layout_for(udf_test::spec_for(udf_test::MediumClass::WriteOnce, 0));
};

TEST_F(RollbackMount, MountsFromTheRollbackPoint) {
  prepare_rollback();
  ASSERT_EQ(0, host_mount(0xE2, false));
  mdcudfsr_mount* m = record();
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(1u, m->rollback_present);
  EXPECT_EQ(0u, m->reserve_mode) << "the point was not read through 0x400C55E8";
  EXPECT_EQ(1, count_code(PXOIOGETROLLBACKPOINT)) << "flag 0x20 reads the point with 0x400C55DE";
  EXPECT_EQ(l_.metadata_file_loc, m->metadata_file_loc) << "the metadata file where the rollback point names it";
  EXPECT_EQ(0x84, m->mntinfo.VolumeStatus & 0x84) << "a rollback mount's partitions are done";
  EXPECT_EQ(0u, m->mntinfo.AccessMode);
  EXPECT_EQ(1, m->disk_data_mode) << "no file-system cache";
  EXPECT_TRUE(logged("Skip get volume size. slot=0\n"));
  clear_ioctls();
  ASSERT_EQ(0, host_unmount(1));
  EXPECT_EQ(0, count_code(PXOIOSETBEFOREACCESSMODE)) << "a rollback mount leaves the before-access mode";
  EXPECT_EQ(1, count_code(PXOIONOTIFYUNMOUNT));
}

// Flag 0x80 without 0x20 reads the point through 0x400C55E8, which sets the
// reserve flag of the node-cache flush.
TEST_F(RollbackMount, PointReadWithFlag0x80SetsTheReserveMode) {
  prepare_rollback();
  ASSERT_EQ(0, host_mount(0x282, false));
  ASSERT_NE(nullptr, record());
  EXPECT_EQ(1, count_code(PXOIOGETROLLBACKPOINT2));
  EXPECT_EQ(0, count_code(PXOIOGETROLLBACKPOINT));
  EXPECT_EQ(1u, record()->reserve_mode);
}

TEST_F(RollbackMount, BothRollbackCallsFailingEndTheMount) {
  prepare_rollback(true);
  EXPECT_NE(0, host_mount(0xE2, false));
  EXPECT_EQ(nullptr, record());
  EXPECT_TRUE(logged("Failed to init partitions.\n"));
}

}  // namespace


namespace {

using namespace vfs_test;

// The same process mounts the cartridge again after an unmount: new agent
// thread, new channels, new record.
TEST_F(Mount, RemountAfterUnmount) {
  prepare(udf_test::MediumClass::WriteOnce);
  ASSERT_EQ(0, host_mount());
  ASSERT_EQ(0, host_unmount(1));
  ASSERT_TRUE(agent_ended());
  clear_log();
  ASSERT_EQ(0, host_mount());
  EXPECT_TRUE(logged("Mount start\n"));
  ASSERT_NE(nullptr, record());
  EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
  EXPECT_EQ(0u, drive_copy().MountStatus);
  EXPECT_NE(nullptr, root_);
}

}  // namespace

namespace {

using namespace vfs_test;

// A mount that fails before its agent opened the channel stops the agent.
TEST_F(Mount, FailureBeforeTheChannelStopsTheAgent) {
  prepare(udf_test::MediumClass::WriteOnce);
  struct Case {
    const char* what;
    bool magic_wrong;
  };
  for (const Case& c : {Case{"mechanism status fails", false}, Case{"argument magic wrong", true}}) {
    SCOPED_TRACE(c.what);
    kelsim::FaultRule rule = kelsim::command_fails(0xBD, kelsim::Sense{0x04, 0x44, 0x00});
    const int id = sim_->drive().add_fault(rule);
    args_.magic = c.magic_wrong ? 0x46445541u : MDCUDFSR_MOUNT_ARGS_MAGIC;
    EXPECT_NE(0, host_mount(0x202, false));
    EXPECT_EQ(1, agents_running_) << "the agent thread was started";
    sim_->drive().remove_fault(id);
    EXPECT_EQ(nullptr, record());
    EXPECT_TRUE(agent_ended()) << "the agent thread does not wait for a channel that never comes";
  }
  args_.magic = MDCUDFSR_MOUNT_ARGS_MAGIC;
}

}  // namespace

namespace {

using namespace vfs_test;

// Where a test damages the file-system cache the unmount left.
enum class Damage { IdentityValue, Marker, BothAnchors, FileSetDescriptor };

// Changes made on a mounted cartridge reach the disc through the real
// node-cache passes and flushes and are there at the next mount.
class MountRoundTrip : public MountHarness {
 protected:
  // A node created through the node cache and marked as the vnode
  // operations mark a creation.
  static mdcudfsr_cache_node* create(mdcudfsr_cache_node* parent, const char* name, bool dir) {
    std::string copy(name);
    mdcudfsr_cache_node* n = nullptr;
    EXPECT_EQ(0, mdcudfsr_cache_create_udf_node(parent, copy.data(), -1, 0, dir ? UDF_FILE_CHAR_DIR : 0, 0644, &n, 0,
                                                nullptr))
        << name;
    if (!n) return nullptr;
    mdcudfsr_cache_unlock_node(n);
    n->cache_dirty = 1;
    parent->cache_dirty = 1;
    if (parent->dir_dirty == 0) parent->dir_dirty = 1;
    return n;
  }
  static mdcudfsr_cache_node* child(mdcudfsr_cache_node* dir, const std::string& name) {
    for (mdcudfsr_cache_node* c = dir && dir->uid_first ? mdcudfsr_cnp(dir->uid_first) : nullptr; c;
         c = c->uid_next ? mdcudfsr_cnp(c->uid_next) : nullptr)
      if (c->vfs_name && name == c->vfs_name) return c;
    return nullptr;
  }
  // Mounts, creates the folder "kept" with the file "a.txt" in it, and
  // unmounts with force: the unmount flushes.
  void create_and_unmount() {
    ASSERT_EQ(0, host_mount());
    mdcudfsr_mount* m = record();
    ASSERT_NE(nullptr, m);
    fsd_block_ = m->vds.lvd.fsd_loc.loc.lb_num;
    ASSERT_EQ(0, mdcudfsr_update_session(m, &ctx_, MDCUDFSR_SESSION_OPEN));
    mdcudfsr_cache_node* folder = create(m->root_node, "kept", true);
    ASSERT_NE(nullptr, folder);
    ASSERT_NE(nullptr, create(folder, "a.txt", false));
    m->metadata_changed = 1;
    const int flushes = count_log("Metadata and Descriptor Flush End result=0");
    ASSERT_EQ(0, host_unmount(1));
    ASSERT_EQ(flushes + 1, count_log("Metadata and Descriptor Flush End result=0"));
  }
  void expect_both_listed() {
    mdcudfsr_mount* m = record();
    ASSERT_NE(nullptr, m);
    mdcudfsr_cache_node* folder = child(m->root_node, "kept");
    ASSERT_NE(nullptr, folder) << "the folder survived the remount";
    EXPECT_TRUE(mdcudfsr_is_dir(folder));
    EXPECT_NE(nullptr, child(folder, "a.txt")) << "the file survived the remount";
  }
  std::uint32_t fsd_block_ = 0;
  void round_trip(udf_test::MediumClass cls);
  // premount_next: the next mount starts with the drive layer's check of
  // the medium, as a new engine process does; without it, as a later mount
  // of the same process does.
  void damaged_cache(Damage d, bool premount_next = true);
  // The file-system management cache files the agent keeps under the
  // cache directory.
  std::vector<std::filesystem::path> fs_cache_files() const {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir_))
      if (e.is_regular_file() && e.path().parent_path().filename() == "FsCache") files.push_back(e.path());
    return files;
  }
  void delete_fs_cache() {
    const auto files = fs_cache_files();
    ASSERT_FALSE(files.empty()) << "the unmount left a file-system cache";
    for (const auto& f : files) std::filesystem::remove(f);
  }
  void expect_udfinfo_parses(udf_test::MediumClass cls) {
    if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
    const udf_test::ImageSpec spec = udf_test::spec_for(cls, 0);
    std::vector<std::uint8_t> image(std::size_t(spec.sectors) * 2048);
    ASSERT_EQ(0u, sim_->cartridge().read_blocks(0, 0, spec.sectors, image.data()));
    const std::string path = dir_ + "/roundtrip.img";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(image.size(), std::fwrite(image.data(), 1, image.size(), f));
    std::fclose(f);
    std::string out;
    FILE* p = popen(("/usr/bin/udfinfo --blocksize=2048 " + path + " 2>&1").c_str(), "r");
    ASSERT_NE(nullptr, p);
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    EXPECT_EQ(0, pclose(p)) << out;
    EXPECT_EQ(std::string::npos, out.find("rror")) << out;
  }
};

// Twice after the unmount: with the file-system cache the unmount left,
// which the mount runs from, then with none, which it reads from the disc.
void MountRoundTrip::round_trip(udf_test::MediumClass cls) {
  track_room_ = 0x50000;  // media resources above the limits
  prepare(cls);
  const std::uint32_t metadata_loc = layout_.metadata_file_loc;
  create_and_unmount();
  ASSERT_TRUE(agent_ended());
  for (bool cache_deleted : {false, true}) {
    SCOPED_TRACE(cache_deleted ? "cache deleted" : "cache kept");
    if (cache_deleted) delete_fs_cache();
    clear_log();
    ASSERT_EQ(0, host_mount());
    EXPECT_EQ(!cache_deleted, logged("Mount Use FS cache data\n"));
    EXPECT_NE(metadata_loc, record()->metadata_file_loc) << "the mount found the moved metadata file";
    expect_both_listed();
    ASSERT_EQ(0, host_unmount(1));
    ASSERT_TRUE(agent_ended());
  }
  expect_udfinfo_parses(cls);
}

TEST_F(MountRoundTrip, AFolderAndItsFileSurviveUnmountAndRemount) { round_trip(udf_test::MediumClass::WriteOnce); }

// A cache file the unmount left, damaged: one that fails the agent's check
// is rebuilt and the volume mounted from the disc; one that passes it but
// holds a damaged descriptor is deleted and the same mount reads the disc,
// writable. Either way the mount finds the folder and its file, and so does
// a later mount of the same process.
void MountRoundTrip::damaged_cache(Damage d, bool premount_next) {
  const bool coherent = d == Damage::BothAnchors || d == Damage::FileSetDescriptor;
  track_room_ = 0x50000;
  prepare(udf_test::MediumClass::WriteOnce);
  create_and_unmount();
  ASSERT_TRUE(agent_ended());
  const auto files = fs_cache_files();
  ASSERT_EQ(1u, files.size());
  std::FILE* f = std::fopen(files[0].c_str(), "r+b");
  ASSERT_NE(nullptr, f);
  const std::vector<std::uint8_t> zeros(2048, 0);
  auto zero_at = [&](long at) {
    ASSERT_EQ(0, std::fseek(f, at, SEEK_SET));
    ASSERT_EQ(zeros.size(), std::fwrite(zeros.data(), 1, zeros.size(), f));
  };
  switch (d) {
    case Damage::IdentityValue:
      ASSERT_EQ(0, std::fseek(f, 5, SEEK_SET));
      std::fputc(0x5A, f);
      break;
    case Damage::Marker: zero_at(0x8000); break;
    case Damage::BothAnchors:
      zero_at(0x10000);
      zero_at(0x20000);
      break;
    case Damage::FileSetDescriptor: zero_at(0x100000 + long{fsd_block_} * 2048); break;
  }
  std::fclose(f);
  clear_log();
  const int err = host_mount();
  EXPECT_EQ(coherent, logged("Mount Use FS cache data\n"));
  ASSERT_EQ(0, err) << "the disc is sound";
  EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
  EXPECT_EQ(0u, record()->mntinfo.WriteProtectReasonFlags);
  EXPECT_EQ(0u, drive_copy().WriteProtectReasonFlags);
  EXPECT_EQ(coherent, logged("Delete FScache and mount from the disc"));
  if (coherent) {
    EXPECT_TRUE(fs_cache_files().empty()) << "the damaged cache is deleted";
    expect_both_listed();
    ASSERT_EQ(0, host_unmount(1));
    ASSERT_TRUE(agent_ended());
    clear_log();
    ASSERT_EQ(0, host_mount(0x202, premount_next));
    EXPECT_FALSE(logged("Mount Use FS cache data\n"));
    EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY) << "the next mount is writable";
  }
  expect_both_listed();
  ASSERT_EQ(0, host_unmount(1));
}

TEST_F(MountRoundTrip, ACacheWhoseIdentityFailsItsCrcIsRebuiltFromTheDisc) { damaged_cache(Damage::IdentityValue); }
TEST_F(MountRoundTrip, ACacheWithoutItsMarkerIsRebuiltFromTheDisc) { damaged_cache(Damage::Marker); }
TEST_F(MountRoundTrip, ACoherentCacheWithDamagedAnchorsIsDeletedAndTheDiscMounted) { damaged_cache(Damage::BothAnchors); }
TEST_F(MountRoundTrip, ACoherentCacheWithADamagedFileSetDescriptorIsDeletedAndTheDiscMounted) {
  damaged_cache(Damage::FileSetDescriptor);
}
TEST_F(MountRoundTrip, AfterADeletedCacheALaterMountOfTheSameProcessIsWritable) {
  damaged_cache(Damage::BothAnchors, false);
}

// A file-system cache that the mount creates takes what the mount reads
// from the disc: the anchors, the main descriptor sequence and the whole
// metadata file (its file set descriptor included), so that the next mount
// can run from it.
TEST_F(MountRoundTrip, ANewFileSystemCacheTakesTheAnchorsDescriptorsAndMetadataFile) {
  prepare(udf_test::MediumClass::WriteOnce);
  ASSERT_EQ(0, host_mount());
  EXPECT_TRUE(logged("FS Cache data are newly created"));
  const auto files = fs_cache_files();
  ASSERT_EQ(1u, files.size());
  std::FILE* f = std::fopen(files[0].c_str(), "rb");
  ASSERT_NE(nullptr, f);
  auto tag_at = [&](long offset) {
    std::uint8_t t[2] = {};
    if (std::fseek(f, offset, SEEK_SET) != 0 || std::fread(t, 1, 2, f) != 2) return -1;
    return t[0] | t[1] << 8;
  };
  const std::uint32_t fsd_block = record()->vds.lvd.fsd_loc.loc.lb_num;
  EXPECT_EQ(2, tag_at(0x10000)) << "the first anchor";
  EXPECT_EQ(2, tag_at(0x20000)) << "the second anchor";
  EXPECT_EQ(1, tag_at(0x30000)) << "the primary volume descriptor";
  EXPECT_EQ(256, tag_at(0x100000 + long{fsd_block} * 2048)) << "the file set descriptor";
  EXPECT_EQ(8, tag_at(0x100000 + long{fsd_block + 1} * 2048)) << "its terminator";
  std::fclose(f);
  ASSERT_EQ(0, host_unmount(1));
}

// The first mount of a formatted cartridge writes its cartridge-memory
// record; a second mount reads 1500h back and leaves it as it was.
TEST_F(Mount, SecondMountLeavesTheCartridgeRecordUnchanged) {
  prepare(udf_test::MediumClass::WriteOnce);
  ASSERT_EQ(0, host_mount());
  auto& attrs = sim_->cartridge().attributes;
  ASSERT_TRUE(attrs.count(0x1500));
  ASSERT_TRUE(attrs.count(0x0800)) << "the constants are written";
  ASSERT_TRUE(attrs.count(0x0804));
  const std::vector<std::uint8_t> first = attrs[0x1500].value;
  ASSERT_EQ(0, std::memcmp(first.data(), "KEL", 3));
  ASSERT_EQ(0, host_unmount(1));
  ASSERT_TRUE(agent_ended());
  ASSERT_EQ(0, host_mount());
  EXPECT_EQ(first, attrs[0x1500].value);
}

// A size computation that fails at the end of the mount is the result,
// while the volume stays mounted with its size marked unknown. The drive
// layer keeps the first track answer of a disc, so every track request of
// the mount fails: the earlier steps take it as read-only, the size fails.
TEST_F(Mount, AFailingSizeComputationIsTheResultButTheVolumeStaysMounted) {
  prepare(MediumClass::WriteOnce);
  const int id = sim_->drive().add_fault(kelsim::command_fails(0x52, kelsim::Sense{0x04, 0x44, 0x00}));
  clear_log();
  const int err = host_mount(0x282);
  EXPECT_NE(0, err);
  EXPECT_NE(30, err);
  EXPECT_GT(sim_->drive().fault_fired(id), 0);
  mdcudfsr_mount* m = record();
  ASSERT_NE(nullptr, m) << "the volume stays mounted";
  EXPECT_EQ(1, m->mount_completed);
  EXPECT_EQ(1, m->size_unknown);
  EXPECT_TRUE(logged("Get volume size information err.[" + std::to_string(err) + "] \n"));
  EXPECT_EQ(0u, drive_copy().AccessMode);
  EXPECT_EQ(0, host_unmount(1));
}

}  // namespace
