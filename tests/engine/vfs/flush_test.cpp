// The metadata and descriptor flushes against builder volumes on the
// simulated drive, with the real cache agent thread, node cache, UDF writers,
// write clusters and cartridge-memory record; the node-cache passes and the
// track controls are the real routines.
#include "cluster_support.h"

#include "drive/device_control.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelcache/cache_counts.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_flush.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount_fs.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kVerify10 = 0x2F;
constexpr std::uint8_t kStartStop = 0x1B;

// The drive layer's entry into a rebuild of its defect map.
constexpr const char* kRebuild = "++++[errno_t storage_scsi::rebuildDefectBitmap()";

class Flush : public AgentVolume {
 protected:
  void SetUp() override {
    AgentVolume::SetUp();
    // The device vnode's fsync resolves to the engine's routine.
    saved_vnops_ = kel_vnops;
    for (vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
      if (e->opve_op == &vnop_fsync_desc) kel_vnops.fsync = e->opve_impl;
  }
  void TearDown() override {
    if (mnt_) mdcudfsr_cache_term(mnt_.get());
    AgentVolume::TearDown();
    kel_vnops = saved_vnops_;
  }
  // A builder volume mounted as far as the flushes need: descriptors,
  // integrity descriptor, partitions, the node cache, an open session.
  // With `change`, a folder and a file in it are created through the node
  // cache, as the vnode operations create them.
  // Without `defect_map` the drive layer has none (as before the mount's
  // rebuild): its search for the next writable address answers 255.
  void open_volume(MediumClass cls, std::uint32_t track_free = 0x50000, bool change = true, bool defect_map = true) {
    load_volume(cls, track_free);
    mdcudfsr_mount* m = mnt_.get();
    mp_.mnt_data = m;
    mdcudfsr_init_mntinfo(m);
    m->mntinfo.MediumType = static_cast<std::uint8_t>(m->medium_type);
    m->logical_sector_size = 2048;
    m->mount_ext_flags = 0x2;
    ASSERT_EQ(0, mdcudfsr_read_lvid(m, nullptr, 0, 1, 0, 0));
    m->coherency_refreshed = 1;
    ASSERT_EQ(0, mdcudfsr_init_clusters(m));
    start_agent();
    ASSERT_EQ(0, mdcudfsr_init_partitions(m, &ctx_, 0, 0));
    ASSERT_EQ(0, mdcudfsr_cache_init(m, &ctx_, 0, 0));
    ASSERT_NE(nullptr, m->root_node);
    // The drive layer's defect map, as the mount has it built on rewritable media.
    if (m->is_rewritable && defect_map) {
      ASSERT_EQ(0, VNOP_IOCTL(m->devvp, PXOIOREBUILDDFLMAP, nullptr, 0, &ctx_));
    }
    ASSERT_EQ(0, mdcudfsr_update_session(m, &ctx_, MDCUDFSR_SESSION_OPEN));
    if (change) {
      folder_ = create(m->root_node, "kept", true);
      ASSERT_NE(nullptr, folder_);
      ASSERT_NE(nullptr, create(folder_, "a.txt", false));
    }
    m->flush_policy = 1;
    m->metadata_changed = 1;
    take_opcodes();
    sim_->service().clear_transcript();
    transcript_seen_ = 0;
    clear_log();
  }
  // The builder's volume on a disc whose data track has `track_free` blocks
  // behind the volume, so that the media resources suffice.
  void load_volume(MediumClass cls, std::uint32_t track_free) {
    spec_ = udf_test::spec_for(cls, 0);
    std::vector<std::uint8_t> image;
    layout_ = udf_test::build_volume(spec_, image);
    std::uint32_t data_end = 0;
    const std::uint32_t end_area = spec_.sectors - (spec_.medium_type == 0xF2 ? 128 : 32);
    std::vector<std::uint32_t> units;
    for (std::uint32_t unit = 0; unit < spec_.sectors; unit += 32) {
      const std::uint8_t* p = image.data() + static_cast<std::size_t>(unit) * 2048;
      if (std::all_of(p, p + 32 * 2048, [](std::uint8_t b) { return b == 0; })) continue;
      units.push_back(unit);
      if (unit < end_area) data_end = unit + 32;
    }
    // The drive reports the track's free blocks less 1536 (F1h) or 2560 (F2h).
    const std::uint32_t cut = spec_.medium_type == 0xF1 ? 1536 : spec_.medium_type == 0xF2 ? 2560 : 0;
    const std::uint32_t track_end = data_end + track_free + cut;
    SimOptions o;
    o.medium = static_cast<std::uint8_t>(spec_.medium_type);
    o.disc_blocks = (std::max(spec_.sectors, track_end + 32) + 31) / 32 * 32;
    start(o);
    stop_drive_client();
    kelsim::Cartridge& cart = sim_->cartridge();
    for (std::uint32_t unit : units)
      ASSERT_EQ(0u, cart.write_blocks(0, unit, 32, image.data() + static_cast<std::size_t>(unit) * 2048));
    kelsim::Disc& d = cart.disc(0);
    d.formatted = true;
    if (cart.write_once()) {
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, track_end, data_end, false, false},
                  kelsim::Track{track_end, o.disc_blocks - track_end, o.disc_blocks, false, true}};
    } else {
      d.status = kelsim::DiscStatus::Complete;
      d.highest_written = spec_.sectors;
    }
    ASSERT_EQ(0u, cart.save());
    start_drive_client();
    mnt_->num_sectors = spec_.sectors;
    if (mnt_->is_rewritable) {
      ASSERT_EQ(0, mdcudfsr_read_avdp_RE(mnt_.get(), nullptr, 1, 0, nullptr));
    } else {
      ASSERT_EQ(0, mdcudfsr_read_avdp(mnt_.get(), nullptr, 1, 0, nullptr));
      ASSERT_EQ(0, mdcudfsr_read_vds(mnt_.get(), nullptr, 0, 1, 0, nullptr));
    }
    mnt_->logical_block_size = 2048;
  }
  // Room on a rewritable medium is the partition behind the next writable
  // address: the mount's copy of the partition is widened past the limit.
  void widen_partition() {
    mnt_->part[2].length = std::uint64_t{0x60000} * 2048;
    mnt_->partition_length = mnt_->part[2].length;
    mnt_->partition_blocks = 0x60000;
  }
  int flush(int close_session = 1) {
    return shown(mdcudfsr_flush_metadata_and_descriptor(mnt_.get(), 1, close_session, 0, &ctx_, 0));
  }
  // A failed flush prints the log of its run with the test's failure.
  static int shown(int err) {
    if (err && std::getenv("KEL_FLUSH_LOG"))
      for (const auto& l : log_lines()) std::fprintf(stderr, "%s", l.c_str());
    return err;
  }
  int flush_re() { return shown(mdcudfsr_flush_metadata_and_descriptor_re(mnt_.get(), 1, 1, 0, &ctx_, 0, 0)); }
  // The next writable address of the data track the drive reports.
  std::uint32_t drive_nwa() {
    std::uint32_t nwa = 0;
    const auto& d = sim_->cartridge().disc(0);
    nwa = d.tracks.empty() ? 0 : d.tracks[0].nwa;
    return nwa;
  }
  // Where the entries go: the node-cache pass of the new folder and file
  // fills the 32-block unit at the next writable address first.
  std::uint32_t entry_nwa() { return drive_nwa() + 32; }
  std::uint32_t disc_integrity_type() {
    std::vector<std::uint8_t> b = disc_blocks(layout_.lvid, 1);
    std::uint32_t t = 0;
    std::memcpy(&t, b.data() + 28, 4);
    return t;
  }
  // Tag identifier and tag location of the descriptor in block `lba`.
  std::pair<std::uint16_t, std::uint32_t> tag_at(std::uint32_t lba) {
    std::vector<std::uint8_t> b = disc_blocks(lba, 1);
    std::uint16_t id = 0;
    std::uint32_t loc = 0;
    std::memcpy(&id, b.data(), 2);
    std::memcpy(&loc, b.data() + 12, 4);
    return {id, loc};
  }
  bool sent(std::uint8_t op) { return count_op(take_opcodes(), op) > 0; }
  // A node created and marked dirty with its parent.
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
  mdcudfsr_cache_node* folder_ = nullptr;

  udf_test::ImageLayout layout_{};
  udf_test::ImageSpec spec_{};
  KelResolvedVnops saved_vnops_{};
  mdcudfsr_cache_node* saved_root_ = nullptr;
};

TEST_F(Flush, WriteOnceRecordsVerifiedEntriesAtTheNextWritableAddressAndClosesTheSession) {
  open_volume(MediumClass::WriteOnce);
  const std::uint32_t nwa = entry_nwa();
  const std::uint32_t start = mnt_->part[2].start_sector;
  ASSERT_GE(nwa, start);
  ASSERT_EQ(0, flush());
  EXPECT_EQ(nwa - start, mnt_->metadata_file_loc);
  EXPECT_EQ(nwa + 16 - start, mnt_->metadata_mirror_loc);
  EXPECT_EQ((std::pair<std::uint16_t, std::uint32_t>{266, nwa - start}), tag_at(nwa));
  EXPECT_EQ((std::pair<std::uint16_t, std::uint32_t>{266, nwa + 16 - start}), tag_at(nwa + 16));
  bool verified = false;
  for (const auto& r : ranges(kVerify10)) verified |= r.first == nwa && r.second == 32;
  EXPECT_TRUE(verified) << "32 sectors verified from the next writable address";
  EXPECT_EQ(1u, disc_integrity_type()) << "the integrity descriptor is closed";
  EXPECT_TRUE(sent(kStartStop));
  EXPECT_EQ(0, mnt_->flush_state);
  EXPECT_EQ(0u, mnt_->last_partial_flush_time);
  EXPECT_EQ(-1, mnt_->local_cache_handles[0]) << "the local cache is closed and deleted";
  EXPECT_TRUE(logged("Metadata and Descriptor Flush End result=0"));
  EXPECT_EQ(0, folder_->cache_dirty) << "the node-cache pass wrote the new folder";
}

// udfinfo's report of the slot image (the first spec.sectors blocks); its
// exit status through *status.
std::string udfinfo_of(kelsim::Cartridge& cart, std::uint32_t blocks, int* status) {
  std::vector<std::uint8_t> image(static_cast<std::size_t>(blocks) * 2048);
  EXPECT_EQ(0u, cart.read_blocks(0, 0, blocks, image.data()));
  char path[] = "/tmp/kel_flush_imageXXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(static_cast<ssize_t>(image.size()), write(fd, image.data(), image.size()));
  close(fd);
  std::string out;
  FILE* p = popen((std::string("/usr/bin/udfinfo --blocksize=2048 ") + path + " 2>&1").c_str(), "r");
  char buf[512];
  while (p && fgets(buf, sizeof buf, p)) out += buf;
  *status = p ? pclose(p) : -1;
  unlink(path);
  return out;
}

TEST_F(Flush, WriteOnceCartridgeMemoryHoldsThePositionWordAndCountsAndUdfinfoParsesTheDisc) {
  open_volume(MediumClass::WriteOnce);
  ASSERT_EQ(0, flush());
  EXPECT_FALSE(logged("ATTRIBUTE failed on metadata flush"));
  // What the cartridge memory holds (values big-endian).
  auto& attrs = sim_->cartridge().attributes;
  auto be32 = [&](std::uint16_t id, std::size_t off) {
    const auto& v = attrs.at(id).value;
    EXPECT_GE(v.size(), off + 4) << std::hex << id;
    if (v.size() < off + 4) return 0u;
    return (std::uint32_t{v[off]} << 24) | (std::uint32_t{v[off + 1]} << 16) | (std::uint32_t{v[off + 2]} << 8) |
           v[off + 3];
  };
  const std::uint32_t position = be32(0x1500, 56);
  // The counts as the mount's copy of the record holds them after the write.
  std::vector<std::uint8_t> rec(472);
  ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), rec.data(), 472, 1, 0, &ctx_, 0));
  std::uint32_t files = 0, dirs = 0;
  std::memcpy(&files, rec.data() + 456, 4);
  std::memcpy(&dirs, rec.data() + 465, 4);
  EXPECT_EQ(((mnt_->metadata_file_loc * 2 + 0x2000) >> 6) | (mnt_->current_disc << 26), position);
  std::uint32_t want_files = 0, want_dirs = 0;
  mdcudfsr_cache_get_object_count(mnt_.get(), 1, &want_files, &want_dirs);
  EXPECT_EQ(want_files, files);
  EXPECT_EQ(want_dirs, dirs);
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  int status = 0;
  const std::string out = udfinfo_of(sim_->cartridge(), spec_.sectors, &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_EQ(std::string::npos, out.find("rror")) << out;
  EXPECT_NE(std::string::npos, out.find("integrity=closed\n")) << out;
}

// The volume sync runs the real flush with the policy byte 1 and puts the
// byte back; the changed mark is cleared and a second sync has nothing to do.
TEST_F(Flush, SyncRunsTheFlushAndTheNextSyncHasNothingToDo) {
  open_volume(MediumClass::WriteOnce);
  mnt_->flush_policy = 0;
  mnt_->flush_interval = 30;
  timespec now{};
  nanotime(&now);
  mnt_->last_partial_flush_time = (static_cast<std::uint64_t>(now.tv_sec) - 60) * 1000000u;
  ASSERT_EQ(0, mdcudfsr_vfsop_sync(&mp_, 1, &ctx_));
  EXPECT_EQ(0, mnt_->flush_policy);
  EXPECT_EQ(1u, disc_integrity_type()) << "the session closed by the flush";
  EXPECT_EQ(0u, mnt_->metadata_changed);
  EXPECT_EQ(0u, mnt_->last_partial_flush_time);
  EXPECT_EQ(0, mnt_->flush_state);
  take_opcodes();
  EXPECT_EQ(0, mdcudfsr_vfsop_sync(&mp_, 1, &ctx_));
  EXPECT_EQ(0, count_op(take_opcodes(), kWrite10)) << "no second flush";
}

// The close of the integrity descriptor fails (a WRITE fault on it): the
// sync answers that failure, the volume turns read-only, the change marks
// stay and the flush state is 1, and the descriptor on the disc is still
// open.
TEST_F(Flush, AFailedCloseOfTheIntegrityDescriptorIsTheSyncsFailure) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::Rewritable}) {
    const bool re = cls == MediumClass::Rewritable;
    SCOPED_TRACE(re ? "rewritable" : "write-once");
    open_volume(cls);
    if (re) widen_partition();
    ASSERT_EQ(0u, disc_integrity_type()) << "open before the sync";
    mnt_->flush_policy = 0;
    mnt_->flush_interval = 30;
    timespec now{};
    nanotime(&now);
    mnt_->last_partial_flush_time = (static_cast<std::uint64_t>(now.tv_sec) - 60) * 1000000u;
    const int fault = sim_->drive().add_fault(kelsim::write_error(layout_.lvid, layout_.lvid + 31));
    EXPECT_NE(0, shown(mdcudfsr_vfsop_sync(&mp_, 1, &ctx_)));
    EXPECT_GT(sim_->drive().fault_fired(fault), 0);
    EXPECT_EQ(0u, disc_integrity_type()) << "still open on the disc";
    EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
    EXPECT_EQ(1u, mnt_->metadata_changed) << "the changes are not taken as flushed";
    EXPECT_EQ(1, mnt_->flush_state);
    mdcudfsr_cache_term(mnt_.get());
    stop_agent();
  }
}

// Exits before anything is written: the result, no WRITE, the flush state
// found, the local cache closed; a later flush is served.
TEST_F(Flush, EarlyExitsWriteNothingAndKeepTheFlushState) {
  struct Case {
    const char* what;
    void (*set)(mdcudfsr_mount*, mdcudfsr_cache_node**);
    int want;
  } cases[] = {
      {"policy 0", [](mdcudfsr_mount* m, mdcudfsr_cache_node**) { m->flush_policy = 0; }, 0},
      {"policy 3", [](mdcudfsr_mount* m, mdcudfsr_cache_node**) { m->flush_policy = 3; }, 0},
      {"read-only mount", [](mdcudfsr_mount* m, mdcudfsr_cache_node**) { vfs_setflags(m->mp, MNT_RDONLY); }, 0},
      {"no root node", [](mdcudfsr_mount* m, mdcudfsr_cache_node** r) { *r = m->root_node, m->root_node = nullptr; },
       22},
  };
  open_volume(MediumClass::WriteOnce);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int found : {0, 1}) {
      mnt_->flush_state = found;
      mnt_->flush_policy = 1;
      c.set(mnt_.get(), &saved_root_);
      take_opcodes();
      EXPECT_EQ(c.want, flush());
      EXPECT_EQ(0, count_op(take_opcodes(), kWrite10)) << "nothing written";
      EXPECT_EQ(found, mnt_->flush_state);
      EXPECT_EQ(-1, mnt_->local_cache_handles[0]);
      mnt_->mp->mnt_flag &= ~MNT_RDONLY;
      if (saved_root_) mnt_->root_node = saved_root_;
      saved_root_ = nullptr;
    }
  }
  mnt_->flush_policy = 1;
  EXPECT_EQ(0, flush()) << "a later flush is served";
  EXPECT_EQ(1u, disc_integrity_type());
}

TEST_F(Flush, ClosedIntegrityDescriptorWritesNothingAndClosesTheLocalCache) {
  open_volume(MediumClass::WriteOnce);
  ASSERT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_CLOSE));
  take_opcodes();
  mnt_->flush_state = 1;
  EXPECT_EQ(0, flush());
  EXPECT_TRUE(logged("LVID is already closed."));
  EXPECT_EQ(0, count_op(take_opcodes(), kWrite10));
  EXPECT_EQ(-1, mnt_->local_cache_handles[0]);
  EXPECT_EQ(0, mnt_->flush_state);
}

TEST_F(Flush, LockTimeOutKeepsTheFlushStateAndLaterSyncsAreServed) {
  open_volume(MediumClass::WriteOnce);
  // Another thread holds the root node.
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    mdcudfsr_cache_lock_node(mnt_->root_node, 0xFFFFFFFFu);
    held = true;
    while (!release) std::this_thread::yield();
    mdcudfsr_cache_unlock_node(mnt_->root_node);
  });
  while (!held) std::this_thread::yield();
  const int err = mdcudfsr_flush_metadata_and_descriptor(mnt_.get(), 0, 1, 0, &ctx_, 0);  // 500 ms limit
  release = true;
  holder.join();
  EXPECT_NE(0, err);
  EXPECT_TRUE(logged("mdcudfsr_cache_lock_all_nodes() seems to be timed out."));
  EXPECT_EQ(0, mnt_->flush_state) << "not left at 2";
  EXPECT_EQ(-1, mnt_->local_cache_handles[0]);
  EXPECT_EQ(0, flush());
}

TEST_F(Flush, NothingWrittenByTheNodeCacheKeepsTheEntryLocations) {
  open_volume(MediumClass::WriteOnce, 0x50000, false);
  const std::uint32_t loc[2] = {mnt_->metadata_file_loc, mnt_->metadata_mirror_loc};
  const std::uint32_t nwa = drive_nwa();
  ASSERT_EQ(0, flush());
  EXPECT_EQ(loc[0], mnt_->metadata_file_loc);
  EXPECT_EQ(loc[1], mnt_->metadata_mirror_loc);
  EXPECT_NE(266, tag_at(nwa).first) << "no entry at the next writable address";
  EXPECT_EQ(1u, disc_integrity_type());
}

TEST_F(Flush, OneVerifyFailureAtTheEntriesIsRetriedAtTheNewAddress) {
  open_volume(MediumClass::WriteOnce);
  const std::uint32_t nwa = drive_nwa();
  const std::uint32_t start = mnt_->part[2].start_sector;
  kelsim::FaultRule f = kelsim::command_fails(kVerify10, {0x03, 0x11, 0x00});
  f.first_lba = nwa;
  f.last_lba = nwa + 31;
  f.times = 1;
  sim_->drive().add_fault(f);
  ASSERT_EQ(0, flush());
  EXPECT_GT(mnt_->metadata_file_loc, nwa - start) << "the entries moved on";
  EXPECT_EQ(266, tag_at(mnt_->metadata_file_loc + start).first);
  EXPECT_EQ(266, tag_at(mnt_->metadata_mirror_loc + start).first);
  EXPECT_EQ(0, mnt_->flush_state);
  EXPECT_EQ(0, vfs_flags(mnt_->mp) & MNT_RDONLY);
}

TEST_F(Flush, TenVerifyFailuresMakeTheVolumeReadOnly) {
  open_volume(MediumClass::WriteOnce);
  const std::uint32_t nwa = entry_nwa();
  kelsim::FaultRule f = kelsim::command_fails(kVerify10, {0x03, 0x11, 0x00});
  f.first_lba = nwa;
  sim_->drive().add_fault(f);
  EXPECT_NE(0, flush());
  EXPECT_TRUE(logged("failed metadata main/mirror efe flush. do read only mount."));
  EXPECT_NE(0, vfs_flags(mnt_->mp) & MNT_RDONLY);
  EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
  EXPECT_EQ(0x1u, mnt_->mntinfo.WriteProtectReasonFlags & 0x1u);
  EXPECT_EQ(1, mnt_->flush_state);
  EXPECT_EQ(-1, mnt_->local_cache_handles[0]);
}

TEST_F(Flush, WriteOnceTenFailedDescriptorWritesEndWithTheErrorAndStayWritable) {
  open_volume(MediumClass::WriteOnce);
  sim_->drive().add_fault(kelsim::write_error(layout_.main_vds, layout_.main_vds + 31));  // both sequences
  const int err = flush();
  EXPECT_NE(0, err);
  EXPECT_EQ(10, count_log("failed to write vds with status"));
  EXPECT_EQ(0, vfs_flags(mnt_->mp) & MNT_RDONLY);
  EXPECT_EQ(1, mnt_->flush_state);
  EXPECT_EQ(0u, disc_integrity_type()) << "the session stays open";
}

// Short of room before the last slot: the flush moves to the next disc
// once, and the flushes the move runs do not move again. On rewritable
// media the room is the partition behind the next writable address.
TEST_F(Flush, ShortResourcesBeforeTheLastSlotMoveToTheNextTrack) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::Rewritable}) {
    const bool re = cls == MediumClass::Rewritable;
    SCOPED_TRACE(re ? "rewritable" : "write-once");
    open_volume(cls, re ? 0x62000 : 0x1000);
    if (re) {
      // A partition as large as the disc, written up to 0x3F000 blocks
      // before its end.
      widen_partition();
      mnt_->next_writable_address = mnt_->part[2].start_sector + 0x60000 - 0x3F000;
    }
    mnt_->num_discs = 3;
    ASSERT_EQ(0, re ? flush_re() : flush());
    EXPECT_EQ(1, count_log("Disc Change for WRITE_NEXT_TRACK Slot(0)=>(1)")) << "one move, no second";
    EXPECT_EQ(1u, mnt_->current_disc);
    EXPECT_EQ(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
    EXPECT_EQ(0, mnt_->flush_state);
    if (!re) {
      EXPECT_EQ(1u, disc_integrity_type()) << "the session closed after the move";
    }
    mdcudfsr_cache_term(mnt_.get());
    stop_agent();
  }
}

// On the last slot, short before the flush (the first check goes on) or only
// after the entries (the first check passes, the second fails).
TEST_F(Flush, ShortResourcesOnTheLastSlotFlushAndCloseTheSession) {
  struct Case {
    const char* what;
    std::uint32_t free_blocks;
  } cases[] = {{"short before the flush", 0x40000}, {"short after the entries", 0x40000 + 16}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    open_volume(MediumClass::WriteOnce, c.free_blocks);
    mnt_->num_discs = 1;
    const std::uint32_t nwa = entry_nwa();
    const std::uint32_t start = mnt_->part[2].start_sector;
    ASSERT_EQ(0, flush(0));  // close_session 0
    EXPECT_FALSE(logged("Disc Change for WRITE_NEXT_TRACK")) << "no next track";
    EXPECT_EQ(nwa - start, mnt_->metadata_file_loc) << "the changes reached the disc";
    EXPECT_EQ(266, tag_at(nwa).first);
    EXPECT_EQ(0x800u, mnt_->mntinfo.WriteProtectReasonFlags & 0x800u);
    EXPECT_EQ(1u, disc_integrity_type()) << "the session closed although close_session was 0";
    EXPECT_TRUE(logged("LastWrittenSlot is Over slot:[0]"));
    mdcudfsr_cache_term(mnt_.get());
    stop_agent();
  }
}

TEST_F(Flush, PolicyTwoFlushesAll) {
  for (bool change : {true, false}) {
    SCOPED_TRACE(change ? "a new folder" : "nothing changed");
    open_volume(MediumClass::WriteOnce, 0x50000, change);
    const std::uint32_t nwa = entry_nwa();
    mnt_->flush_policy = 2;
    ASSERT_EQ(0, flush());
    EXPECT_EQ(nwa - mnt_->part[2].start_sector, mnt_->metadata_file_loc) << "flush-all rewrites the metadata";
    EXPECT_EQ(266, tag_at(mnt_->metadata_file_loc + mnt_->part[2].start_sector).first);
    if (access("/usr/bin/udfinfo", X_OK) == 0) {
      int status = 0;
      const std::string out = udfinfo_of(sim_->cartridge(), spec_.sectors, &status);
      EXPECT_EQ(0, status) << out;
      EXPECT_EQ(std::string::npos, out.find("rror")) << out;
    }
    mdcudfsr_cache_term(mnt_.get());
    stop_agent();
  }
}

// The names under `dir` as the node cache holds them.
std::set<std::string> names_in(mdcudfsr_cache_node* dir) {
  std::set<std::string> out;
  for (mdcudfsr_cache_node* c = dir && dir->uid_first ? mdcudfsr_cnp(dir->uid_first) : nullptr; c;
       c = c->uid_next ? mdcudfsr_cnp(c->uid_next) : nullptr)
    if (c->vfs_name) out.insert(c->vfs_name);
  return out;
}

// A full metadata pass that fails in the track controls' variant (every
// write past the next writable address fails, the defect retries run
// out) leaves the volume writable; the full rewrite is still owed, so the
// next flush (policy 1) writes the whole tree again rather than the nodes
// changed since. The disc, read again into a new node cache, holds every
// name, and udfinfo reads it.
TEST_F(Flush, AFailedFullPassIsOwedUntilAFullPassSucceeds) {
  open_volume(MediumClass::WriteOnce);
  ASSERT_EQ(0, flush(0));
  ASSERT_NE(nullptr, create(folder_, "b.txt", false));
  mnt_->metadata_changed = 1;
  mnt_->flush_policy = 2;
  kelsim::FaultRule f = kelsim::write_error(drive_nwa(), 0xFFFFFFFFu);
  const int fault = sim_->drive().add_fault(f);
  int skipped = 0;
  EXPECT_EQ(0, mdcudfsr_flush_metadata_and_descriptor_ex(mnt_.get(), 1, 0, &ctx_, 1, 0, 0, &skipped));
  EXPECT_EQ(1, skipped) << "the metadata part failed";
  EXPECT_GT(sim_->drive().fault_fired(fault), 0);
  EXPECT_EQ(1, mnt_->full_rewrite_owed);
  sim_->drive().remove_fault(fault);
  ASSERT_EQ(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
  ASSERT_NE(nullptr, create(folder_, "c.txt", false));
  mnt_->metadata_changed = 1;
  mnt_->flush_policy = 1;
  ASSERT_EQ(0, flush());
  EXPECT_EQ(0, mnt_->full_rewrite_owed) << "paid by the full pass of this flush";
  // A new node cache from the disc.
  mdcudfsr_cache_term(mnt_.get());
  ASSERT_EQ(0, mdcudfsr_init_partitions(mnt_.get(), &ctx_, 0, 0));
  ASSERT_EQ(0, mdcudfsr_cache_init(mnt_.get(), &ctx_, 0, 0));
  const auto root = names_in(mnt_->root_node);
  ASSERT_EQ(1u, root.count("kept")) << ::testing::PrintToString(root);
  mdcudfsr_cache_node* kept = nullptr;
  for (mdcudfsr_cache_node* c = mdcudfsr_cnp(mnt_->root_node->uid_first); c;
       c = c->uid_next ? mdcudfsr_cnp(c->uid_next) : nullptr)
    if (c->vfs_name && std::string(c->vfs_name) == "kept") kept = c;
  EXPECT_EQ((std::set<std::string>{"a.txt", "b.txt", "c.txt"}), names_in(kept));
  int status = 0;
  const std::string out = udfinfo_of(sim_->cartridge(), spec_.sectors, &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_EQ(std::string::npos, out.find("rror")) << out;
}

TEST_F(Flush, WriteOnceFailedCartridgeMemoryWriteStillEndsWithZero) {
  open_volume(MediumClass::WriteOnce);
  sim_->drive().add_fault(kelsim::command_fails(0x8D, {0x03, 0x0C, 0x00}));  // WRITE ATTRIBUTE
  EXPECT_EQ(0, flush());
  EXPECT_TRUE(logged("WRITE ATTRIBUTE failed on metadata flush"));
  EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY) << "the attribute writer's own switch";
  EXPECT_EQ(0x80000030u, mnt_->mntinfo.MountStatus);
  EXPECT_EQ(0x4000u, mnt_->mntinfo.WriteProtectReasonFlags & 0x4000u);
  EXPECT_EQ(1u, disc_integrity_type());
}

TEST_F(Flush, RewritableTenFailedDescriptorWritesMakeItReadOnly) {
  open_volume(MediumClass::Rewritable);
  widen_partition();
  sim_->drive().add_fault(kelsim::write_error(layout_.main_vds, layout_.main_vds + layout_.vds_len - 1));
  sim_->drive().add_fault(kelsim::write_error(layout_.reserve_vds, layout_.reserve_vds + layout_.vds_len - 1));
  EXPECT_NE(0, flush_re());
  EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
  EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
  EXPECT_EQ(1, mnt_->flush_state);
}

// A next writable address below the partition start: the attempt fails
// with 22 before anything is staged, with the outcome of a failed entry
// write (read-only in the general flush, the skip in the variant).
TEST_F(Flush, EntryLocationsBelowThePartitionAreRefusedBeforeAnythingIsWritten) {
  struct Case {
    bool ex;
  } cases[] = {{false}, {true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ex ? "variant" : "general");
    open_volume(MediumClass::WriteOnce);
    const std::uint32_t nwa = drive_nwa();
    const std::uint32_t loc[2] = {mnt_->metadata_file_loc, mnt_->metadata_mirror_loc};
    mnt_->part[2].start_sector = nwa + 1;
    take_opcodes();
    int skipped = 0;
    const int err = c.ex ? mdcudfsr_flush_metadata_and_descriptor_ex(mnt_.get(), 1, 1, &ctx_, 1, 0, 0, &skipped)
                         : flush();
    bool entry_written = false;
    for (const auto& w : ranges(kWrite10)) entry_written |= w.first <= nwa && nwa < w.first + w.second;
    EXPECT_FALSE(entry_written) << "nothing staged at the address";
    if (c.ex) {
      EXPECT_EQ(1, skipped);
      EXPECT_EQ(loc[0], mnt_->metadata_file_loc);
      EXPECT_EQ(loc[1], mnt_->metadata_mirror_loc);
    } else {
      EXPECT_EQ(22, err);
      EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
    }
    mdcudfsr_cache_term(mnt_.get());
    stop_agent();
  }
}

TEST_F(Flush, ExMetadataFailurePutsTheLocationsBackAndStillWritesTheDescriptors) {
  open_volume(MediumClass::WriteOnce);
  const std::uint32_t loc[2] = {mnt_->metadata_file_loc, mnt_->metadata_mirror_loc};
  const std::uint32_t nwa = entry_nwa();
  kelsim::FaultRule f = kelsim::command_fails(kVerify10, {0x03, 0x11, 0x00});
  f.first_lba = nwa;
  f.last_lba = nwa + 0x400;
  sim_->drive().add_fault(f);
  int skipped = -1;
  const int err = mdcudfsr_flush_metadata_and_descriptor_ex(mnt_.get(), 1, 1, &ctx_, 1, 0, 0, &skipped);
  EXPECT_EQ(1, skipped);
  EXPECT_EQ(loc[0], mnt_->metadata_file_loc);
  EXPECT_EQ(loc[1], mnt_->metadata_mirror_loc);
  EXPECT_TRUE(logged("failed metadata main/mirror efe flush. \n"));
  EXPECT_EQ(0, err);
  EXPECT_EQ(1u, disc_integrity_type()) << "the integrity descriptor written and closed";
  EXPECT_EQ(0, vfs_flags(mnt_->mp) & MNT_RDONLY);
}

// A 64 KiB block of the file-system cache file.
std::vector<std::uint8_t> cache_block(mdcudfsr_mount* m, std::uint64_t offset) {
  std::vector<std::uint8_t> b(0x10000);
  std::uint32_t len = 0, cache_err = 0;
  EXPECT_EQ(0, mdcudfsr_metacache_file_read(m, m->fsmanage_handle, offset, 0x10000, b.data(), &len, &cache_err));
  EXPECT_EQ(0u, cache_err);
  return b;
}

bool all_zero(const std::vector<std::uint8_t>& b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

TEST_F(Flush, RewritableRoundTripRecordsEntriesAndCopiesTheDescriptorsToTheCacheFile) {
  open_volume(MediumClass::Rewritable);
  widen_partition();
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(mnt_.get(), nullptr, &coherent, &created));
  ASSERT_GE(mnt_->fsmanage_handle, 0);
  // The node-cache pass of the new folder and file takes the first unit.
  const std::uint32_t nwa = mnt_->next_writable_address + 32;
  const std::uint32_t start = mnt_->part[2].start_sector;
  ASSERT_EQ(0, flush_re());
  EXPECT_EQ(nwa - start, mnt_->metadata_file_loc);
  EXPECT_EQ(266, tag_at(nwa).first);
  EXPECT_EQ(266, tag_at(nwa + 16).first);
  EXPECT_GT(mnt_->next_writable_address, nwa + 32 - 1) << "the bitmaps followed the entries";
  EXPECT_EQ(1u, disc_integrity_type());
  EXPECT_FALSE(sent(kStartStop)) << "no START STOP UNIT on rewritable media";
  EXPECT_EQ(0, mnt_->flush_state);
  EXPECT_FALSE(all_zero(cache_block(mnt_.get(), 0x10000)));
  EXPECT_FALSE(all_zero(cache_block(mnt_.get(), 0x20000)));
  const auto b0 = cache_block(mnt_.get(), 0);
  EXPECT_EQ(0, std::memcmp(b0.data(), mnt_->attr_record + 4 + 297, 128)) << "the 1500h value";
  EXPECT_EQ(2, b0[0x8000]);
  EXPECT_EQ(nullptr, mnt_->vds_cache_image[0]) << "the copies are released";
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  int status = 0;
  const std::string out = udfinfo_of(sim_->cartridge(), spec_.sectors, &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_EQ(std::string::npos, out.find("rror")) << out;
}

TEST_F(Flush, RewritableVerifyFailureMovesOn32BlocksAndTenMakeItReadOnly) {
  struct Case {
    int times;
    bool read_only;
  } cases[] = {{1, false}, {-1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.times);
    open_volume(MediumClass::Rewritable);
    widen_partition();
    const std::uint32_t nwa = mnt_->next_writable_address;
    const std::uint32_t start = mnt_->part[2].start_sector;
    kelsim::FaultRule f = kelsim::command_fails(kVerify10, {0x03, 0x11, 0x00});
    f.first_lba = nwa;
    f.last_lba = c.times == 1 ? nwa + 31 : 0xFFFFFFFFu;
    f.times = c.times;
    sim_->drive().add_fault(f);
    const int err = flush_re();
    if (!c.read_only) {
      EXPECT_EQ(0, err);
      EXPECT_EQ(nwa + 32 - start, mnt_->metadata_file_loc) << "NWA + 32";
      EXPECT_EQ(266, tag_at(nwa + 32).first);
      EXPECT_LT(0, count_log(kRebuild)) << "the defect recorded through the counter";
    } else {
      EXPECT_NE(0, err);
      EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
      EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
      EXPECT_EQ(1, mnt_->flush_state);
    }
    mdcudfsr_cache_term(mnt_.get());
    stop_agent();
  }
}

// The search for the next writable address past known defects answers the
// drive layer's 255 when it has no defect map: the flush stops there with
// it, writes no entry at the address and leaves the volume read-only.
TEST_F(Flush, RewritableFlushStopsWhenTheDefectSearchHasNoMap) {
  open_volume(MediumClass::Rewritable, 0x50000, false, false);
  widen_partition();
  const std::uint32_t nwa = mnt_->next_writable_address;
  const std::uint32_t metadata_loc = mnt_->metadata_file_loc;
  EXPECT_EQ(255, flush_re());
  EXPECT_TRUE(logged("Failed to find defect or change NWA. \n"));
  EXPECT_NE(266, tag_at(nwa).first) << "no entry written at the unchecked address";
  EXPECT_EQ(metadata_loc, mnt_->metadata_file_loc);
  EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
}

TEST_F(Flush, RewritableFlushRefusesAWriteOnceMedium) {
  open_volume(MediumClass::WriteOnce);
  EXPECT_EQ(22, flush_re());
  EXPECT_EQ(0x80000200u, mnt_->mntinfo.MountStatus);
  EXPECT_EQ(2u, mnt_->mntinfo.AccessMode);
}

// The volume as the disc of slot 2, the new disc of the set.
void as_slot_two(mdcudfsr_mount* m) {
  m->current_disc = 2;
  m->loaded_slot = 2;
  if (m->num_discs < 3) m->num_discs = 3;
}

TEST_F(Flush, NewTrackCountsTheDiscInTheDescriptorsAndOpensTheIntegrityDescriptor) {
  open_volume(MediumClass::WriteOnce);
  as_slot_two(mnt_.get());
  const std::uint16_t seq = mnt_->vds.pvd.vds_num;
  const std::uint16_t map_seq = mnt_->vds.pmap.type2_metadata.vol_seq_num;
  const std::uint32_t maps = mnt_->vds.lvd.n_pm;
  const std::uint32_t nwa = entry_nwa();
  ASSERT_EQ(0, mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mnt_.get(), 1, 1, &ctx_, 0));
  const std::uint8_t* id = mnt_->vds.pvd.vol_id;
  EXPECT_EQ(8, id[0]);
  EXPECT_EQ("KELFS VOL03", std::string(reinterpret_cast<const char*>(id + 1), 11));
  EXPECT_EQ(12, id[31]);
  EXPECT_EQ(82u, mnt_->vds.lvd.mt_l);
  EXPECT_EQ(maps + 1, mnt_->vds.lvd.n_pm);
  EXPECT_EQ(seq + 1, mnt_->vds.pvd.vds_num);
  EXPECT_EQ(map_seq + 1, mnt_->vds.pmap.type2_metadata.vol_seq_num);
  EXPECT_EQ(4u, mnt_->lvid.num_partitions);
  EXPECT_EQ(0u, disc_integrity_type()) << "open";
  // The primary volume descriptor on the disc names the disc.
  const auto pvd = disc_blocks(layout_.main_vds, 1);
  EXPECT_EQ("KELFS VOL03", std::string(reinterpret_cast<const char*>(pvd.data() + 25), 11));
  EXPECT_EQ(266, tag_at(nwa).first) << "the entries at the first writable address";
  EXPECT_EQ(0, mnt_->flush_state);
}

TEST_F(Flush, NewTrackFirstAttemptKeepsTheDescriptorsAndTheFinalOneSwitchesToReadOnly) {
  open_volume(MediumClass::WriteOnce);
  as_slot_two(mnt_.get());
  sim_->drive().add_fault(kelsim::write_error(layout_.main_vds, layout_.main_vds + 31));
  const auto before = std::make_unique<mdcudfsr_vds_copies>(mnt_->vds);
  EXPECT_NE(0, mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mnt_.get(), 1, 1, &ctx_, 0));
  EXPECT_EQ(0, std::memcmp(before.get(), &mnt_->vds, sizeof mnt_->vds)) << "byte for byte as before";
  EXPECT_TRUE(logged("failed MVDS/RVDS flush. do auto format retry."));
  EXPECT_EQ(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
  EXPECT_EQ(1, mnt_->flush_state);
  EXPECT_NE(0, mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mnt_.get(), 1, 1, &ctx_, 1));
  EXPECT_TRUE(logged("failed MVDS/RVDS flush. do read only mount."));
  EXPECT_NE(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
  EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus);
}

TEST_F(Flush, RewritableNewTrackRewritesTheRecognitionSequenceAndRebuildsTheDefectMap) {
  open_volume(MediumClass::Rewritable);
  widen_partition();
  as_slot_two(mnt_.get());
  ASSERT_EQ(0, mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mnt_.get(), 1, &ctx_, 0, 1));
  EXPECT_EQ(4u, mnt_->lvid.num_partitions);
  EXPECT_EQ(12, mnt_->vds.pvd.vol_id[31]);
  bool vrs = false;
  for (const auto& w : ranges(kWrite10)) vrs |= w.first < 32;  // the recognition sequence at sector 16
  EXPECT_TRUE(vrs);
  EXPECT_LT(0, count_log(kRebuild)) << "the defect map rebuilt";
}

TEST_F(Flush, RewritableNewTrackFailedFirstCallStaysWritable) {
  open_volume(MediumClass::Rewritable);
  widen_partition();
  as_slot_two(mnt_.get());
  sim_->drive().add_fault(kelsim::write_error(0, 31));  // the recognition sequence
  EXPECT_NE(0, mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mnt_.get(), 1, &ctx_, 0, 0));
  EXPECT_TRUE(logged("failed VRS flush. do auto format retry."));
  EXPECT_EQ(0u, vfs_flags(mnt_->mp) & MNT_RDONLY);
}

TEST_F(Flush, AfterAllEraseTheVolumeIsWrittenAgainAndMounts) {
  open_volume(MediumClass::Rewritable);
  mnt_->num_discs = 1;
  ASSERT_EQ(0, mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mnt_.get(), &ctx_));
  EXPECT_NE(nullptr, mnt_->root_node) << "the node cache is built again";
  EXPECT_EQ(-1, mnt_->local_cache_handles[0]);
  // A new mount record reads the volume.
  mdcudfsr_mount fresh;
  fresh.devvp = mnt_->devvp;
  fresh.mp = mnt_->mp;
  fresh.medium_type = mnt_->medium_type;
  fresh.is_rewritable = 1;
  fresh.num_sectors = mnt_->num_sectors;
  fresh.num_discs = 1;
  mdcudfsr_init_mntinfo(&fresh);
  fresh.mounting = 1;
  mdcudfsr_mount_fs_state st;
  EXPECT_EQ(0, mdcudfsr_mount_read_volume(&fresh, &ctx_, &st));
  if (access("/usr/bin/udfinfo", X_OK) != 0) GTEST_SKIP() << "udfinfo is not installed";
  int status = 0;
  const std::string out = udfinfo_of(sim_->cartridge(), spec_.sectors, &status);
  EXPECT_EQ(0, status) << out;
  EXPECT_EQ(std::string::npos, out.find("rror")) << out;
}

TEST_F(Flush, AllEraseOnWriteOnceMediaIsRaw) {
  open_volume(MediumClass::WriteOnce);
  EXPECT_EQ(22, mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mnt_.get(), &ctx_));
  EXPECT_TRUE(logged("Set RawMount"));
}

}  // namespace
