// The node cache built at mount from a volume on the simulated cartridge:
// the tree with its names, ids, counts, lengths, links, parity nodes and
// hashes; the local copy of the metadata file; teardown and rebuild.
#include "support.h"
#include "support_tree.h"
#include "scan_internal.h"

#include "kelcache/lookup.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "sim/harness.h"
#include "udf/udf_metadata.h"

#include <filesystem>

using namespace cache_test;
namespace fs = std::filesystem;

namespace {

// A volume with nested directories, files, a symbolic link and a file with
// a parity stream and a hash.
struct Sample {
  TreeImage img;
  int docs, deep, a, b, link, par, stream;
  Sample() {
    docs = img.dir(TreeImage::kRoot, "docs", 20);
    deep = img.dir(docs, "deep", 21);
    a = img.file(docs, "a.txt", 22, 5000);
    b = img.file(deep, "b.bin", 23, 2048);
    link = img.symlink(TreeImage::kRoot, "ln", 24, "docs/a.txt");
    par = img.file(TreeImage::kRoot, "p.dat", 25, 4096);
    stream = img.parity(par, "*ECC_Parity_V100_N=2064_K=2048", 1024);
    img.hash(par, 3, std::vector<uint8_t>(32, 0xAB));
    img.items[b].file_char = UDF_FILE_CHAR_HIDDEN;
  }
};

}  // namespace

TEST(CacheConstruct, VolumeMountsIntoTheTreeOfItsImage) {
  Sample s;
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  ASSERT_EQ(0, sm.init());
  mdcudfsr_mount* m = sm.m();
  mdcudfsr_cache_node* root = m->root_node;
  ASSERT_NE(nullptr, root);
  EXPECT_EQ(root, m->udf_root);
  EXPECT_STREQ("<Root>", root->vfs_name);
  EXPECT_EQ(MDCUDFSR_OBJID_ROOT, root->objid);
  EXPECT_EQ(0x110u, root->attributes);
  EXPECT_EQ(2u, root->udf_data->nlink);  // one subdirectory
  ASSERT_NE(nullptr, m->shadow_node);

  mdcudfsr_cache_node* docs = sm.child(root, "docs");
  ASSERT_NE(nullptr, docs);
  EXPECT_EQ(20u, docs->objid);
  EXPECT_EQ(2u, docs->udf_data->nlink);  // one subdirectory
  mdcudfsr_cache_node* deep = sm.child(docs, "deep");
  ASSERT_NE(nullptr, deep);
  mdcudfsr_cache_node* b = sm.child(deep, "b.bin");
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(23u, b->objid);
  EXPECT_EQ(2048u, b->recorded_length);
  EXPECT_EQ(MDCUDFSR_FILE_FLAG_HIDDEN, b->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN);
  EXPECT_EQ(1u, b->last_disc);
  EXPECT_EQ(1u, b->disc_mask);
  EXPECT_EQ(0, b->multi_disc);
  mdcudfsr_cache_node* a = sm.child(docs, "a.txt");
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(5000u, mdcudfsr_cache_get_file_size(a));

  mdcudfsr_cache_node* ln = sm.child(root, "ln");
  ASSERT_NE(nullptr, ln);
  ASSERT_NE(nullptr, ln->symlink_target);
  EXPECT_STREQ("docs/a.txt", ln->symlink_target);

  mdcudfsr_cache_node* p = sm.child(root, "p.dat");
  ASSERT_NE(nullptr, p);
  ASSERT_NE(nullptr, p->parity_node);
  auto* parity = mdcudfsr_cnp(p->parity_node);
  EXPECT_STREQ("p.dat#*ECC_Parity_V100_N=2064_K=2048", parity->vfs_name);
  EXPECT_EQ(p, parity->stream_owner);
  EXPECT_EQ(MDCUDFSR_OBJID_STREAM_BASE, parity->objid);
  EXPECT_EQ(MDCUDFSR_NODE_ATTR_INVISIBLE, parity->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
  EXPECT_EQ(MDCUDFSR_FILE_FLAG_HIDDEN, parity->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN);
  EXPECT_EQ(s.img.items[s.par].stream_lbn, p->udf_data->std_loc);
  ASSERT_EQ(1u, p->hash_ea_list.size());
  EXPECT_EQ(3u, p->hash_ea_list[0].kind);
  EXPECT_EQ(std::vector<uint8_t>(32, 0xAB), p->hash_ea_list[0].hash);
  EXPECT_EQ(25u, m->max_unique_id);
  EXPECT_EQ(25u, m->max_file_unique_id);
  EXPECT_EQ(26u, m->next_unique_id);
  // Files and directories counted; the parity node is not.
  EXPECT_EQ(2u, m->ndirs);
  EXPECT_EQ(4u, m->nfiles);
  EXPECT_EQ("", check_uid_tree(root));
  EXPECT_EQ("", check_name_tree(root));
  EXPECT_EQ(0u, m->mntinfo.MountStatus);
}

TEST(CacheConstruct, TheScanReadsOnlyTheLocalCopyWhichIsDeletedAfterwards) {
  Sample s;
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  ASSERT_EQ(0, sm.init());
  // One READ(10) of the metadata file's 64 KiB extent for the copy; the
  // scan of eight entries read nothing from the drive.
  EXPECT_EQ(1u, sm.reads_since_clear());
  EXPECT_EQ(-1, sm.m()->local_cache_handles[0]);
  ASSERT_TRUE(fs::exists(sm.local_dir()));
  EXPECT_TRUE(fs::is_empty(sm.local_dir())) << "the local copy is left behind";
}

// The scan reads the copy in runs of many entries: fewer exchanges with the
// cache agent than entries (one entry was three exchanges), and the same tree.
TEST(CacheConstruct, TheScanReadsTheCopyInRunsNotEntryByEntry) {
  Sample s;
  constexpr int kFiles = 20;
  for (int i = 0; i < kFiles; ++i) s.img.file(TreeImage::kRoot, "f" + std::to_string(i), 100 + i, 10 * i);
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  const std::uint32_t before = mdcudfsr_metacache_channel()->next_seq;
  ASSERT_EQ(0, sm.init());
  const std::uint32_t exchanges = mdcudfsr_metacache_channel()->next_seq - before;
  EXPECT_LT(exchanges, 10u) << "open, copy, close and delete of the local copy, and the scan's runs";
  for (int i = 0; i < kFiles; ++i) {
    mdcudfsr_cache_node* f = sm.child(sm.m()->root_node, "f" + std::to_string(i));
    ASSERT_NE(nullptr, f) << i;
    EXPECT_EQ(100u + i, f->objid);
    EXPECT_EQ(10u * i, mdcudfsr_cache_get_file_size(f));
  }
  EXPECT_EQ(4u + kFiles, sm.m()->nfiles);
  EXPECT_EQ(nullptr, sm.m()->scan_runs) << "the runs end with the scan";
}

// The scan's runs over a local copy of 4 MiB whose every byte tells its
// offset: what each pattern of reads costs in exchanges, and what it reads.
class ScanRuns : public ::testing::Test {
 protected:
  static constexpr uint32_t kSize = 4u << 20;
  void SetUp() override {
    s_.img.finish();
    sm_.load(s_.img);
    m_ = sm_.m();
    ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(m_, 3, nullptr));
    std::vector<uint8_t> bytes(kSize);
    for (uint32_t i = 0; i < kSize; ++i) bytes[i] = byte_at(i);
    uint32_t written = 0, cache_err = 0;
    ASSERT_EQ(0, mdcudfsr_metacache_file_write(m_, m_->local_cache_handles[0], 0, kSize, bytes.data(), &written,
                                               &cache_err));
    ASSERT_EQ(0u, cache_err);
  }
  static uint8_t byte_at(uint64_t offset) { return static_cast<uint8_t>(offset * 7 + offset / 4096); }
  // Reads len bytes at offset through the runs in place and checks them:
  // 0, the error, -1 for a cache error, -2 for other bytes.
  int read(uint64_t offset, uint32_t len) {
    std::vector<uint8_t> got(len);
    uint32_t cache_err = 0;
    const int err = kelcache::scan_read(m_, 0, offset, len, got.data(), &cache_err);
    if (err || cache_err) return err ? err : -1;
    for (uint32_t i = 0; i < len; ++i)
      if (got[i] != byte_at(offset + i)) return -2;
    return 0;
  }
  Sample s_;
  SimMount sm_;
  mdcudfsr_mount* m_ = nullptr;
};

TEST_F(ScanRuns, ReadsInARowGrowTheRunsToOneMebibyte) {
  mdcudfsr_scan_runs runs(m_);
  for (uint64_t at = 0; at < kSize; at += 2048) ASSERT_EQ(0, read(at, 2048)) << at;
  // 64 + 128 + 256 + 512 KiB, then 1 MiB runs: eight exchanges for 2048 reads.
  EXPECT_EQ(8u, runs.fills());
}

// A run that continues the one before asks the agent for the run after it
// at once; the next run takes that answer (no byte is read twice), and one
// asked for but not needed is taken off the channel when the scan ends.
TEST_F(ScanRuns, ARunInARowAsksForTheNextAtOnceAndTheScanEndDropsAnUnusedOne) {
  mdc_channel* ch = mdcudfsr_metacache_channel();
  const std::uint32_t before = ch->next_seq;
  {
    mdcudfsr_scan_runs runs(m_);
    for (uint64_t at = 0; at < (1u << 20); at += 2048) ASSERT_EQ(0, read(at, 2048)) << at;
    // 64, 128 (read now), 256, 512 KiB and 1 MiB (each asked for ahead).
    EXPECT_EQ(5u, runs.fills());
  }
  EXPECT_EQ(6u, ch->next_seq - before) << "five runs, and the 1 MiB after the last one, unused";
  std::lock_guard<std::mutex> lk(ch->ans_lock);
  EXPECT_TRUE(ch->ans_queue.empty());
}

TEST_F(ScanRuns, TwoStreamsKeepTheirOwnRuns) {
  mdcudfsr_scan_runs runs(m_);
  // Identifiers in one place, their entries in another, read in turn.
  for (uint64_t i = 0; i < 512; ++i) {
    ASSERT_EQ(0, read(100 + i * 40, 40)) << i;
    ASSERT_EQ(0, read((1u << 20) + i * 2048, 2048)) << i;
  }
  EXPECT_LE(runs.fills(), 6u);
}

TEST_F(ScanRuns, ScatteredReadsCostOneShortRunEach) {
  mdcudfsr_scan_runs runs(m_);
  const uint64_t places[] = {3 << 20, 1 << 20, 2 << 20, 7 << 18, 5 << 18};
  for (uint64_t at : places) ASSERT_EQ(0, read(at + 100, 500));
  EXPECT_EQ(5u, runs.fills());
  // Four runs are kept: the last four places are read again without an
  // exchange, within their short runs; the first place needs a new run.
  for (int i = 4; i >= 0; --i) ASSERT_EQ(0, read(places[i] + 64 * 1024 - 2048, 2048)) << i;
  EXPECT_EQ(6u, runs.fills());
}

TEST_F(ScanRuns, AReadBeyondTheCopyIsShortAsWithoutRuns) {
  mdcudfsr_scan_runs runs(m_);
  EXPECT_EQ(5, read(kSize - 1024, 2048));
  EXPECT_EQ(0, read(kSize - 2048, 2048));
  EXPECT_EQ(5, read(kSize + 4096, 16));
}

TEST_F(ScanRuns, ReadsLongerThanARunGoPastTheRuns) {
  mdcudfsr_scan_runs runs(m_);
  EXPECT_EQ(0, read(4096, mdcudfsr_scan_runs::kLongest + 2048));
  EXPECT_EQ(0u, runs.fills());
}

TEST(CacheConstruct, NextUniqueIdSkipsTheOneAboveTheOverlapFile) {
  Sample s;
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  sm.m()->max_overlap_unique_id = 25;
  ASSERT_EQ(0, sm.init());
  EXPECT_EQ(27u, sm.m()->next_unique_id);
  EXPECT_TRUE(rec().logged("pxo4666 node has max unique id(25)"));
}

TEST(CacheConstruct, TermSubAndReconstructionReadTheNewTreeUnderTheSameRoot) {
  Sample s;
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  ASSERT_EQ(0, sm.init());
  mdcudfsr_mount* m = sm.m();
  mdcudfsr_cache_node* root = m->root_node;
  mdcudfsr_cache_node* shadow = m->shadow_node;
  // Later the volume holds other entries: "docs" removed, "fresh" created.
  TreeImage next;
  next.file(TreeImage::kRoot, "fresh", 40, 10);
  next.finish();
  ASSERT_EQ(0u, sm.sim().cartridge().write_blocks(0, 0, next.spec.sectors, next.medium.data()));
  // An inactive node parked in the root's inactive list goes too.
  mdcudfsr_cache_node* ln = sm.child(root, "ln");
  ASSERT_NE(nullptr, ln);
  mdcudfsr_cache_inactivate_node(ln, 1);
  ASSERT_EQ(0, mdcudfsr_cache_term_sub(m));
  EXPECT_EQ(nullptr, root->uid_root);
  EXPECT_EQ(nullptr, root->avl_all_list.first);
  EXPECT_EQ(nullptr, root->uid_first);
  ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(m, 3, nullptr));
  ASSERT_EQ(0, mdcudfsr_read_metadata_file(m, nullptr, 0));
  ASSERT_EQ(0, mdcudfsr_cache_construct(m, 65536, nullptr, 1, 0));
  EXPECT_EQ(root, m->root_node);
  EXPECT_EQ(shadow, m->shadow_node);
  EXPECT_EQ(nullptr, sm.child(root, "docs"));
  mdcudfsr_cache_node* fresh = sm.child(root, "fresh");
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ(40u, fresh->objid);
  EXPECT_EQ("", check_uid_tree(root));
}

TEST(CacheConstruct, TermReleasesTheTree) {
  Sample s;
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  ASSERT_EQ(0, sm.init());
  ASSERT_EQ(0, mdcudfsr_cache_term(sm.m()));
  EXPECT_EQ(nullptr, sm.m()->root_node);
  EXPECT_EQ(nullptr, sm.m()->udf_root);
  EXPECT_EQ(nullptr, sm.m()->shadow_node);
  // The fixture checks that no block of the engine heap is left.
}

// The management cache file as the source: prepared by its opener, the
// metadata image 0x100000 bytes in.
TEST(CacheConstruct, PreparedManagementCacheFileIsTheSource) {
  Sample s;
  s.img.finish();
  SimMount sm;
  sm.load(s.img);
  mdcudfsr_mount* m = sm.m();
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(m, nullptr, &coherent, &created));
  ASSERT_GE(m->fsmanage_handle, 0);
  ASSERT_EQ(0, mdcudfsr_read_metadata_file(m, nullptr, 1));
  ASSERT_EQ(0, sm.init(1, 0));
  EXPECT_NE(nullptr, sm.child(m->root_node, "p.dat"));
  EXPECT_TRUE(fs::is_empty(sm.local_dir()));
}
