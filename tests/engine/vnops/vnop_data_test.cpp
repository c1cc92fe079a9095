// The data path on a tree volume of the simulated cartridge: block map,
// read and write through the engine's handlers and the real drive client.
#include "vnop_support.h"

#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "sim/harness.h"
#include "udf/udf_extent.h"

#include "support/recorded_disc.h"
#include "support/settles.h"

#include <atomic>
#include <climits>
#include <functional>
#include <thread>

using namespace vnop_test;

namespace {

constexpr std::uint32_t kBlock = 2048;
constexpr std::uint32_t kUnit = 0x10000;       // the drive writes whole 64 KiB units
constexpr std::uint32_t kAllocLbn = 512;       // a unit boundary on the medium
constexpr std::uint32_t kTailLbn = 1024;       // another one

// A volume with a recorded file of 5000 bytes (uid 20, blocks 420..),
// a file of two units allocated but not recorded (uid 21, from a unit boundary),
// a folder, and a symbolic link.
struct Data {
  TreeImage img;
  int rec, alloc, tail, dir, link;
  Data() {
    rec = img.file(TreeImage::kRoot, "rec.bin", 20, 5000);
    fill_file(img, rec, 3);
    alloc = img.file(TreeImage::kRoot, "alloc.bin", 21, 2 * kUnit);
    img.items[alloc].extents[0].len = EXTENT_MAKE(2 * kUnit, EXTENT_FLAGS_NOT_RECORDED);
    img.items[alloc].extents[0].loc.lb_num = kAllocLbn;
    tail = img.file(TreeImage::kRoot, "tail.bin", 24, kUnit + 3000);
    img.items[tail].extents[0].len = EXTENT_MAKE(2 * kUnit, EXTENT_FLAGS_NOT_RECORDED);
    img.items[tail].extents[0].loc.lb_num = kTailLbn;
    dir = img.dir(TreeImage::kRoot, "docs", 22);
    link = img.symlink(TreeImage::kRoot, "ln", 23, "rec.bin");
  }
};

class DataPath : public VnopVolume {
 protected:
  void SetUp() override {
    mount(d.img);
    // An open track whose next writable address is the allocated file's second
    // unit: the write-once drive takes writes from there on.
    kelsim::Disc& disc = sim().cartridge().disc(0);
    disc.status = kelsim::DiscStatus::Incomplete;
    disc.tracks = {kelsim::Track{0, 0x20000, lsn(kAllocLbn) + kUnit / kBlock}};
  }
  int blockmap(vnode_t vp, std::int64_t off, std::uint64_t size, int flags, std::int32_t* bpn, std::uint64_t* run,
               std::int32_t* poff) {
    vnop_blockmap_args a{&vnop_blockmap_desc, vp, off, size, bpn, run, poff, flags, &ctx_};
    return mdcudfsr_vnop_blockmap(&a);
  }
  // The writer's road to a file: the file opened for writing, its proxy
  // opened by the privileged process; both are closed again at the end.
  // The VFAM flag of every mount, with the user agent known to be absent.
  void as_every_mount() { m()->mount_ext_flags |= 0x8 | MDCUDFSR_MNT_AGENT_STOPPED; }
  vnode_t proxy_of(const std::string& path) {
    as_every_mount();
    m()->privileged_pid = static_cast<std::int64_t>(ctx_.vc_pid);
    m()->privileged_mode = 1;
    vnode_t vp = vnode_of(path);
    EXPECT_EQ(0, open(vp, FREAD | FWRITE)) << path;
    mdcudfsr_cache_node* n = node_of(path);
    if (n == nullptr || n->proxy == nullptr) return nullptr;
    vnode_t pv = vnode_of(std::string("/$/") + mdcudfsr_node_name(n->proxy));
    EXPECT_EQ(0, open(pv, FWRITE)) << path;
    opened_.push_back({vp, pv});
    return pv;
  }
  void TearDown() override {
    for (auto it = opened_.rbegin(); it != opened_.rend(); ++it) {
      close(it->second, FWRITE);
      close(it->first, FREAD | FWRITE);
    }
    if (!opened_.empty()) mdcudfsr_privileged_open_list_clear(m());
    VnopVolume::TearDown();
  }
  std::uint32_t lsn(std::uint32_t lbn) { return d.img.layout.partition_start + lbn; }
  std::size_t count_opcode(std::uint8_t op) {
    std::size_t k = 0;
    for (const auto& e : sim().service().transcript())
      if (!e.cdb.empty() && e.cdb[0] == op) ++k;
    return k;
  }
  Data d;
  std::vector<std::pair<vnode_t, vnode_t>> opened_;  // file, proxy
};

TEST_F(DataPath, BlockMapGivesSectorRunAndInSectorOffset) {
  vnode_t vp = vnode_of("/rec.bin");
  ASSERT_NE(nullptr, vp);
  const std::uint32_t first = 100 + 20 * 16;
  struct Case {
    std::int64_t off;
    std::uint64_t size;
    std::int32_t sector, poff;
    std::uint64_t run;
  } cases[] = {
      {0, 1 << 20, std::int32_t(lsn(first)), 0, 6144},        // whole extent, run in whole sectors
      {4096, 1 << 20, std::int32_t(lsn(first) + 2), 0, 2048},
      {4096, 100, std::int32_t(lsn(first) + 2), 0, 100},     // cut to the size asked
      {100, 1 << 20, std::int32_t(lsn(first)), 100, 6044},    // the sector holding the offset
  };
  for (const Case& c : cases) {
    std::int32_t bpn = 7, poff = 7;
    std::uint64_t run = 7;
    EXPECT_EQ(0, blockmap(vp, c.off, c.size, VNODE_READ, &bpn, &run, &poff)) << c.off;
    EXPECT_EQ(c.sector, bpn) << c.off;
    EXPECT_EQ(c.run, run) << c.off;
    EXPECT_EQ(c.poff, poff) << c.off;
  }
  std::int32_t bpn = 7;
  std::uint64_t run = 7;
  EXPECT_EQ(0, blockmap(vp, 6144, 10, VNODE_READ, &bpn, &run, nullptr)) << "past the extents";
  EXPECT_EQ(0, bpn);
  EXPECT_EQ(0u, run);
  vfs_test::clear_log();
  vnode_t avp = vnode_of("/alloc.bin");
  EXPECT_EQ(0, blockmap(avp, 2048, 10, VNODE_READ, &bpn, &run, nullptr));
  EXPECT_EQ(-1, bpn) << "no data on the medium";
  EXPECT_FALSE(vfs_test::logged("no data on the medium")) << "a reader is not an error";
  EXPECT_EQ(0, blockmap(avp, 2048, 10, VNODE_READ | 0x2, &bpn, &run, nullptr));
  EXPECT_EQ(std::int32_t(lsn(kAllocLbn) + 1), bpn) << "limited to the write cluster: the allocated sector";
  EXPECT_EQ(0, blockmap(vnode_of("/docs"), 0, 10, VNODE_READ, &bpn, &run, nullptr));
  EXPECT_EQ(22, blockmap(nullptr, 0, 10, VNODE_READ, &bpn, &run, nullptr));
  EXPECT_EQ(0, blockmap(vp, 0, 10, VNODE_READ, nullptr, &run, nullptr)) << "nothing asked, nothing mapped";
}

TEST_F(DataPath, BlockMapLoadsAnotherSlotOnlyOnTheDiscLockOwnersThread) {
  mdcudfsr_cache_node* n = node_of("/rec.bin");
  ASSERT_NE(nullptr, n);
  n->udf_data->extents.first->extent.loc.part_num = 3;  // slot 2
  std::int32_t bpn = 7;
  std::uint64_t run = 7;
  int other = -1;
  std::thread t([&] { other = blockmap(n->vp, 0, 10, VNODE_READ, &bpn, &run, nullptr); });
  t.join();
  EXPECT_EQ(22, other) << "not the disc-lock owner";
  EXPECT_EQ(0, bpn);
  EXPECT_EQ(0u, run);
  mdcudfsr_vnop_disc_lock(m(), &ctx_);
  const int owner = blockmap(n->vp, 0, 10, VNODE_READ, &bpn, &run, nullptr);
  mdcudfsr_vnop_disc_unlock(m(), &ctx_);
  EXPECT_EQ(0, owner);
  EXPECT_EQ(2u, m()->loaded_slot) << "slot 2 loaded on the owner's thread";
  EXPECT_EQ(std::int32_t(lsn(100 + 20 * 16)), bpn);
  // Back on slot 0, a failing load answers 5 with nothing mapped.
  n->udf_data->extents.first->extent.loc.part_num = 1;
  mdcudfsr_vnop_disc_lock(m(), &ctx_);
  EXPECT_EQ(0, blockmap(n->vp, 0, 10, VNODE_READ, &bpn, &run, nullptr));
  EXPECT_EQ(0u, m()->loaded_slot);
  n->udf_data->extents.first->extent.loc.part_num = 3;
  sim().drive().add_fault(kelsim::command_fails(0xA6, {0x02, 0x3A, 0x00}));
  EXPECT_EQ(5, blockmap(n->vp, 0, 10, VNODE_READ, &bpn, &run, nullptr));
  mdcudfsr_vnop_disc_unlock(m(), &ctx_);
  EXPECT_EQ(0, bpn);
  EXPECT_EQ(0u, run);
  EXPECT_TRUE(vfs_test::logged("disc change failed on blockmap err = "));
}

TEST_F(DataPath, ReadsReturnTheFileBytesFromAnyOffset) {
  vnode_t vp = vnode_of("/rec.bin");
  struct Case {
    std::int64_t off;
    std::size_t len, want;
  } cases[] = {{0, 5000, 5000}, {100, 200, 200}, {100, 9000, 4900}, {2047, 2, 2}, {4999, 10, 1}, {5000, 10, 0}};
  for (const Case& c : cases) {
    std::vector<std::uint8_t> got;
    ASSERT_EQ(0, read(vp, c.off, c.len, &got)) << c.off;
    ASSERT_EQ(c.want, got.size()) << c.off;
    for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(pattern(c.off + i, 3), got[i]) << c.off << "+" << i;
  }
  EXPECT_FALSE(vfs_test::logged("mdcudfsr_report_error")) << "no error report";
}

TEST_F(DataPath, AFileOnAnotherSlotReadsBackFromThatSlot) {
  // The same blocks on slot 2 hold other bytes than on the loaded slot 0.
  const std::uint32_t first = 100 + 20 * 16;
  std::vector<std::uint8_t> other(3 * kBlock);
  for (std::size_t i = 0; i < other.size(); ++i) other[i] = pattern(i, 77);
  kel_test::record_blocks(sim().cartridge(), 2, lsn(first), 3, other.data());
  mdcudfsr_cache_node* n = node_of("/rec.bin");
  n->udf_data->extents.first->extent.loc.part_num = 3;  // disc number 3: slot 2
  std::vector<std::uint8_t> got;
  ASSERT_EQ(0, read(vnode_of("/rec.bin"), 0, 5000, &got));
  EXPECT_EQ(2u, m()->loaded_slot);
  other.resize(5000);
  EXPECT_EQ(other, got);
}

TEST_F(DataPath, ReadRefusalsAndWhichFailuresRaiseTheAlarm) {
  std::vector<std::uint8_t> got;
  EXPECT_EQ(21, read(vnode_of("/docs"), 0, 10, &got));
  EXPECT_EQ(1, read(vnode_of("/ln"), 0, 10, &got));
  vnode_t vp = vnode_of("/rec.bin");
  mdcudfsr_cache_node* n = node_of("/rec.bin");
  vfs_test::clear_log();
  EXPECT_EQ(22, read(vp, -1, 10, &got));
  EXPECT_EQ(0, n->read_error) << "a negative offset is no medium failure";
  EXPECT_FALSE(vfs_test::logged("mdcudfsr_report_error"));
  EXPECT_EQ(0, read(vp, 0, 0, &got));
  n->recover_start_blk = 2;
  n->recover_blk_count = 1;
  EXPECT_EQ(5, read(vp, 4096, 1, &got));
  EXPECT_EQ(1, n->read_error);
  EXPECT_EQ(0, read(vp, 0, 4096, &got)) << "ending where the unrecoverable range starts";
  n->recover_blk_count = 0;
  n->read_error = 0;
  // A medium failure sets the mark.
  sim().drive().add_fault(kelsim::command_fails(0x28, {0x03, 0x11, 0x00}));
  vfs_test::clear_log();
  EXPECT_NE(0, read(vp, 0, 100, &got));
  EXPECT_EQ(1, n->read_error);
  EXPECT_TRUE(vfs_test::logged("mdcudfsr_report_error")) << "the drive's alarm";
  sim().drive().clear_faults();
  // An entry with its data in the entry is not readable by blocks.
  n->read_error = 0;
  n->udf_data->efe.icbtag.flags = (n->udf_data->efe.icbtag.flags & ~7) | 3;
  vfs_test::clear_log();
  EXPECT_EQ(95, read(vp, 0, 10, &got));
  EXPECT_EQ(0, n->read_error);
  EXPECT_FALSE(vfs_test::logged("mdcudfsr_report_error"));
}

// Offsets near the largest file offset: a read there lies past the end of
// the file and moves nothing, also beside an unrecoverable range; a write
// whose end cannot be represented is refused before anything is marked.
TEST_F(DataPath, OffsetsNearTheLargestOffsetNeverOverflow) {
  const std::int64_t near = INT64_MAX - 10;
  std::vector<std::uint8_t> got(1, 0xAA);
  EXPECT_EQ(0, read(vnode_of("/rec.bin"), near, 100, &got));
  EXPECT_TRUE(got.empty());
  mdcudfsr_cache_node* n = node_of("/rec.bin");
  n->recover_start_blk = 2;
  n->recover_blk_count = 1;
  EXPECT_EQ(0, read(vnode_of("/rec.bin"), near, 100, &got)) << "far past the unrecoverable range";
  n->recover_blk_count = 0;
  vnode_t pv = proxy_of("/alloc.bin");
  ASSERT_NE(nullptr, pv);
  EXPECT_EQ(22, write(pv, near, std::vector<std::uint8_t>(100, 1)));
  EXPECT_EQ(EXTENT_MAKE(2 * kUnit, 1), node_of("/alloc.bin")->udf_data->extents.first->extent.len);
}

TEST_F(DataPath, WriteIntoAnAllocatedExtentRecordsItsBlocks) {
  mdcudfsr_cache_node* n = node_of("/alloc.bin");
  const std::uint64_t uid = n->udf_data->efe.unique_id;
  vnode_t vp = proxy_of("/alloc.bin");
  ASSERT_NE(nullptr, vp);
  std::vector<std::uint8_t> data(kUnit);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern(i, 9);
  // The track information is cached by the drive layer until a write.
  std::uint32_t nwa = 0;
  ASSERT_EQ(0, mdcudfsr_read_track_information(m(), 1, &nwa, nullptr, nullptr, &ctx_, 0));
  sim().service().clear_transcript();
  ASSERT_EQ(0, write(vp, kUnit, data));
  EXPECT_EQ(data, medium(kAllocLbn + kUnit / kBlock, data.size()));
  // The second unit recorded, the first still allocated only.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
  for (mdcudfsr_extent_entry* x = n->udf_data->extents.first; x; x = x->next)
    got.emplace_back(EXTENT_LENGTH(x->extent.len), EXTENT_FLAGS(x->extent.len));
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> want = {{kUnit, 1}, {kUnit, 0}};
  EXPECT_EQ(want, got);
  EXPECT_EQ(kUnit / kBlock, n->udf_data->efe.logblks_rec);
  EXPECT_EQ(2u * kUnit, n->proxy->recorded_length);
  EXPECT_EQ(2u * kUnit, n->udf_data->efe.inf_len) << "a write never changes the size";
  EXPECT_NE(uid, n->udf_data->efe.unique_id) << "the file opened for writing took a new unique id";
  EXPECT_EQ(1, m()->lvid_open) << "the integrity session is open";
  sim().service().clear_transcript();
  ASSERT_EQ(0, mdcudfsr_read_track_information(m(), 1, &nwa, nullptr, nullptr, &ctx_, 0));
  EXPECT_EQ(1u, count_opcode(0x52)) << "the write dropped the drive layer's cached track information";
  std::vector<std::uint8_t> back;
  ASSERT_EQ(0, read(vp, kUnit, data.size(), &back));
  EXPECT_EQ(data, back);
  sim().service().clear_transcript();
  ASSERT_EQ(0, read(vp, kUnit, data.size(), &back));
  ASSERT_EQ(0, mdcudfsr_read_track_information(m(), 1, &nwa, nullptr, nullptr, &ctx_, 0));
  EXPECT_EQ(0u, count_opcode(0x52)) << "a read leaves the cached information";
}

TEST_F(DataPath, WriteRefusals) {
  const std::vector<std::uint8_t> before = medium(kAllocLbn, 2 * kUnit);
  const std::vector<std::uint8_t> rec_before = medium(100 + 20 * 16, 3 * kBlock);
  // The archived file itself, opened for reading or not opened at all, is
  // never written in place.
  vnode_t rec = vnode_of("/rec.bin");
  ASSERT_EQ(0, open(rec, FREAD));
  EXPECT_EQ(1, write(rec, 0, std::vector<std::uint8_t>(kUnit, 0x55))) << "through a handle opened for reading";
  ASSERT_EQ(0, close(rec, FREAD));
  EXPECT_EQ(1, write(vnode_of("/alloc.bin"), 0, std::vector<std::uint8_t>(kUnit, 0x55))) << "a plain file";
  EXPECT_EQ(rec_before, medium(100 + 20 * 16, 3 * kBlock));
  vnode_t vp = proxy_of("/alloc.bin");
  ASSERT_NE(nullptr, vp);
  mdcudfsr_cache_node* n = node_of("/alloc.bin");
  m()->privileged_mode = 0;
  EXPECT_EQ(1, write(vp, 0, std::vector<std::uint8_t>(kUnit, 0x55))) << "the proxy, outside the privileged mode";
  m()->privileged_mode = 1;
  struct Case {
    const char* what;
    std::int64_t off;
    std::size_t len;
    int want;
  } cases[] = {{"10 bytes at 100", 100, 10, 22},
               {"a block that is not a unit boundary", kBlock, kBlock, 22},
               {"a unit not ending on a unit boundary", 0, kUnit - kBlock, 22},
               {"past the size", kUnit, kUnit + 1, 28},
               {"0 bytes", 0, 0, 0}};
  for (const Case& c : cases) {
    sim().service().clear_transcript();
    EXPECT_EQ(c.want, write(vp, c.off, std::vector<std::uint8_t>(c.len, 0x5A))) << c.what;
    EXPECT_EQ(EXTENT_MAKE(2 * kUnit, 1), n->udf_data->extents.first->extent.len) << c.what;
    EXPECT_EQ(0u, n->udf_data->efe.logblks_rec) << c.what;
    EXPECT_EQ(0u, count_opcode(0x2A)) << c.what;
  }
  EXPECT_EQ(before, medium(kAllocLbn, 2 * kUnit)) << "no medium byte changed";
  EXPECT_EQ(21, write(vnode_of("/docs"), 0, std::vector<std::uint8_t>(kUnit, 1)));
  EXPECT_EQ(1, write(vnode_of("/ln"), 0, std::vector<std::uint8_t>(kUnit, 1)));
  m()->mp->mnt_flag |= MNT_RDONLY;
  m()->mount_ext_flags |= 0x40;
  EXPECT_EQ(30, write(vp, 0, std::vector<std::uint8_t>(kUnit, 1))) << "read-only before no-edit";
  m()->mp->mnt_flag &= ~MNT_RDONLY;
  EXPECT_EQ(1, write(vp, 0, std::vector<std::uint8_t>(kUnit, 1)));
  m()->mount_ext_flags &= ~0x40u;
}

// The last run of a file that ends inside a sector goes out as whole
// sectors: its data, then zeros to the end of that sector, which is the
// file's own; the next sector is not touched.
TEST_F(DataPath, TheLastRunOfAFileEndingInsideASectorIsWrittenWhole) {
  kelsim::Disc& disc = sim().cartridge().disc(0);
  disc.tracks = {kelsim::Track{0, 0x20000, lsn(kTailLbn) + kUnit / kBlock}};
  const std::uint32_t second = kTailLbn + kUnit / kBlock;
  const std::vector<std::uint8_t> old(3 * kBlock, 0xEE);
  ASSERT_EQ(0u, sim().cartridge().write_blocks(0, lsn(second), 3, old.data()));
  std::vector<std::uint8_t> data(3000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern(i, 41);
  sim().service().clear_transcript();
  vnode_t pv = proxy_of("/tail.bin");
  ASSERT_NE(nullptr, pv);
  ASSERT_EQ(0, write(pv, kUnit, data));
  const std::vector<std::uint8_t> back = medium(second, 3 * kBlock);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  for (std::size_t i = data.size(); i < 2 * kBlock; ++i) ASSERT_EQ(0, back[i]) << i;
  EXPECT_EQ(0xEE, back[2 * kBlock]) << "the sector after the end of file is not touched";
  std::uint32_t blocks = 0;
  for (const auto& e : sim().service().transcript())
    if (!e.cdb.empty() && e.cdb[0] == 0x2A) blocks += static_cast<std::uint32_t>(e.cdb[7] << 8 | e.cdb[8]);
  EXPECT_EQ(2u, blocks) << "exactly the sectors holding the data";
  std::vector<std::uint8_t> got;
  ASSERT_EQ(0, read(pv, kUnit, 5000, &got));
  EXPECT_EQ(data, got) << "a read stops at the end of file";
}

TEST_F(DataPath, FailedWriteLeavesExtentsAndCountAsTheyWere) {
  vnode_t vp = proxy_of("/alloc.bin");
  ASSERT_NE(nullptr, vp);
  mdcudfsr_cache_node* n = node_of("/alloc.bin");
  const std::vector<std::uint8_t> before = medium(kAllocLbn, 2 * kUnit);
  sim().drive().add_fault(kelsim::command_fails(0x2A, {0x03, 0x0C, 0x00}));
  EXPECT_EQ(5, write(vp, 0, std::vector<std::uint8_t>(kUnit, 0x77)));
  ASSERT_NE(nullptr, n->udf_data->extents.first);
  EXPECT_EQ(EXTENT_MAKE(2 * kUnit, 1), n->udf_data->extents.first->extent.len);
  EXPECT_EQ(nullptr, n->udf_data->extents.first->next);
  EXPECT_EQ(0u, n->udf_data->efe.logblks_rec);
  EXPECT_EQ(2u * kUnit, n->udf_data->efe.inf_len);
  sim().drive().clear_faults();
  EXPECT_EQ(before, medium(kAllocLbn, 2 * kUnit));
}

// A file whose extent list ends before its size: 128 KiB long, its one
// extent (allocated, not recorded) 64 KiB at a unit boundary, the track's
// next writable address at that extent. The medium holds the whole
// allocation (a scan refuses a shorter one); the list is cut once mounted.
class ShortExtentList : public VnopVolume {
 protected:
  void SetUp() override {
    file_ = img_data_.file(TreeImage::kRoot, "short.bin", 30, 2 * kUnit);
    img_data_.items[file_].extents[0].len = EXTENT_MAKE(2 * kUnit, EXTENT_FLAGS_NOT_RECORDED);
    img_data_.items[file_].extents[0].loc.lb_num = kAllocLbn;
    mount(img_data_);
    mdcudfsr_cache_node* n = node_of("/short.bin");
    ASSERT_NE(nullptr, n);
    ASSERT_EQ(0, mdcudfsr_cache_trunc_extent(&n->udf_data->extents, kUnit));
    n->recorded_length = 0;  // nothing written yet, as a file just allocated
    m()->privileged_pid = static_cast<std::int64_t>(ctx_.vc_pid);  // the writer writes plain files
    m()->privileged_mode = 1;
    kelsim::Disc& disc = sim().cartridge().disc(0);
    disc.status = kelsim::DiscStatus::Incomplete;
    disc.tracks = {kelsim::Track{0, 0x20000, img_data_.layout.partition_start + kAllocLbn}};
  }
  TreeImage img_data_;
  int file_ = 0;
};

// A write that reaches past the last extent fails with 5: the extent list,
// the recorded block count and the recorded length stay as they were, and
// only the unit behind the extent reached the medium.
TEST_F(ShortExtentList, AWritePastTheLastExtentFailsAndMovesNothing) {
  vnode_t vp = vnode_of("/short.bin");
  mdcudfsr_cache_node* n = node_of("/short.bin");
  ASSERT_NE(nullptr, n);
  std::vector<std::uint8_t> data(2 * kUnit);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern(i, 23);
  sim().service().clear_transcript();
  EXPECT_EQ(5, write(vp, 0, data));
  EXPECT_EQ(0u, n->recorded_length) << "the close of a file with manual allocation cuts it to this length";
  ASSERT_NE(nullptr, n->udf_data->extents.first);
  EXPECT_EQ(EXTENT_MAKE(kUnit, EXTENT_FLAGS_NOT_RECORDED), n->udf_data->extents.first->extent.len);
  EXPECT_EQ(nullptr, n->udf_data->extents.first->next);
  EXPECT_EQ(0u, n->udf_data->efe.logblks_rec);
  EXPECT_EQ(2u * kUnit, n->udf_data->efe.inf_len);
  std::uint32_t blocks = 0;
  for (const auto& e : sim().service().transcript())
    if (!e.cdb.empty() && e.cdb[0] == 0x2A) blocks += static_cast<std::uint32_t>(e.cdb[7] << 8 | e.cdb[8]);
  EXPECT_EQ(kUnit / kBlock, blocks) << "one unit had a block behind it";
  const std::vector<std::uint8_t> first(data.begin(), data.begin() + kUnit);
  EXPECT_EQ(first, medium(kAllocLbn, kUnit));
}

}  // namespace

namespace {

// A file opened for writing is a master, written through its proxy: the
// privileged writer opens the proxy's vnode, writes into the master's
// allocated extent, closes both; the data reads back through the file.
TEST_F(DataPath, AFileOpenForWritingIsWrittenThroughItsProxy) {
  as_every_mount();
  vnode_t vp = vnode_of("/alloc.bin");
  mdcudfsr_cache_node* n = node_of("/alloc.bin");
  ASSERT_EQ(0, open(vp, FREAD | FWRITE));
  ASSERT_EQ(std::uint32_t(MDCUDFSR_NODE_MASTER), n->kind);
  ASSERT_NE(nullptr, n->proxy);
  vnode_t pv = vnode_of(std::string("/$/") + mdcudfsr_node_name(n->proxy));
  ASSERT_NE(nullptr, pv);
  mdcudfsr_cache_node* proxy = node_of(std::string("/$/") + mdcudfsr_node_name(n->proxy));
  ASSERT_EQ(n->proxy, proxy);
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_PROXY), proxy->kind);
  EXPECT_EQ(1, open(pv, FWRITE)) << "only the privileged process writes a proxy";
  m()->privileged_pid = static_cast<std::int64_t>(ctx_.vc_pid);
  m()->privileged_mode = 1;
  ASSERT_EQ(0, open(pv, FWRITE));
  std::vector<std::uint8_t> data(kUnit);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = pattern(i, 17);
  EXPECT_EQ(9, write(vp, kUnit, data)) << "the master itself holds no VFAM handle";
  ASSERT_EQ(0, write(pv, kUnit, data));
  EXPECT_EQ(data, medium(kAllocLbn + kUnit / kBlock, data.size()));
  std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
  for (mdcudfsr_extent_entry* x = n->udf_data->extents.first; x; x = x->next)
    got.emplace_back(EXTENT_LENGTH(x->extent.len), EXTENT_FLAGS(x->extent.len));
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> want = {{kUnit, 1}, {kUnit, 0}};
  EXPECT_EQ(want, got) << "the master's extents record the proxy's write";
  EXPECT_EQ(kUnit / kBlock, n->udf_data->efe.logblks_rec);
  EXPECT_EQ(28, write(pv, kUnit, std::vector<std::uint8_t>(kUnit + kBlock, 1))) << "the proxy never grows the file";
  ASSERT_EQ(0, close(pv, FWRITE));
  ASSERT_EQ(0, close(vp, FREAD | FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), n->kind);
  mdcudfsr_privileged_open_list_clear(m());
  m()->privileged_mode = 0;
  std::vector<std::uint8_t> back;
  ASSERT_EQ(0, read(vp, kUnit, data.size(), &back));
  EXPECT_EQ(data, back);
  EXPECT_EQ(2u * kUnit, n->udf_data->efe.inf_len);
}

}  // namespace

namespace {

// Runs op on a thread of its own until stopped; counts its rounds.
class Beside {
 public:
  explicit Beside(std::function<void()> op)
      : thread_([this, op] {
          while (!stop_) {
            op();
            ++rounds_;
          }
        }) {}
  ~Beside() { stop(); }
  // Waits for one more round, so that what the test did meanwhile ran
  // beside one whole round of op.
  bool one_more_round() {
    const int seen = rounds_;
    return kel_test::settles([&] { return rounds_ > seen + 1; });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> rounds_{0};
  std::thread thread_;
};

// Reads of a file beside the size changes and the removal that cut its
// extent list: the block map finds its extent under the list's lock, which
// the size change holds while it cuts. Run under the thread sanitizer, with
// the log (whose recorder's mutex would order the threads) quiet.
TEST_F(DataPath, ReadsBesideSizeChangesAndARemovalShareTheListLock) {
  as_every_mount();
  vnode_t vp = vnode_of("/rec.bin");
  ASSERT_NE(nullptr, vp);
  {
    vfs_test::Quiet quiet;
    Beside reader([&] {
      std::vector<std::uint8_t> got;
      read(vp, 0, 5000, &got);
    });
    ASSERT_TRUE(reader.one_more_round());
    for (std::uint64_t size : {4096u, 3000u, 2048u, 100u}) {
      vnode_attr va{};
      va.va_active = VATTR_DATA_SIZE;
      va.va_data_size = size;
      vnop_setattr_args sa{&vnop_setattr_desc, vp, &va, &ctx_};
      ASSERT_EQ(0, mdcudfsr_vnop_setattr(&sa)) << size;
      ASSERT_TRUE(reader.one_more_round()) << size;
    }
    componentname cn{};
    cn.cn_nameptr = const_cast<char*>("rec.bin");
    cn.cn_namelen = 7;
    vnop_remove_args ra{&vnop_remove_desc, vnode_of("/"), vp, &cn, 0, &ctx_};
    ASSERT_EQ(0, mdcudfsr_vnop_remove(&ra));
    ASSERT_TRUE(reader.one_more_round());
  }
  EXPECT_TRUE(mdcudfsr_is_inactive(static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp))));
}

// A write through a master's proxy records its blocks in the list the
// master shares, under the proxy's node lock, beside reads through the
// same list, whose block map holds no node lock at all: the list's own
// lock orders them. Every write fails at the drive, so each marks its
// blocks and puts them back.
TEST_F(DataPath, AProxyWriteBesideReadsOfTheSharedListHoldTheListLock) {
  vnode_t pv = proxy_of("/alloc.bin");
  ASSERT_NE(nullptr, pv);
  sim().drive().add_fault(kelsim::command_fails(0x2A, {0x03, 0x0C, 0x00}));
  const std::vector<std::uint8_t> data(kUnit, 0x66);
  {
    vfs_test::Quiet quiet;
    Beside writer([&] { write(pv, kUnit, data); });
    Beside reader([&] {
      std::vector<std::uint8_t> got;
      read(pv, 0, 2 * kUnit, &got);
    });
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(writer.one_more_round()) << i;
      ASSERT_TRUE(reader.one_more_round()) << i;
    }
  }
  sim().drive().clear_faults();
  mdcudfsr_cache_node* n = node_of("/alloc.bin");
  EXPECT_EQ(EXTENT_MAKE(2 * kUnit, 1), n->udf_data->extents.first->extent.len) << "every failed write undone";
  EXPECT_EQ(nullptr, n->udf_data->extents.first->next);
  EXPECT_EQ(0u, n->udf_data->efe.logblks_rec);
}

}  // namespace
