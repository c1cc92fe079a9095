// Metadata partition: growth, the allocation cursor, remapping of rewritten
// entries and the rebuilds, the local copy of the metadata file, zero fill.
#include "engine/udf/support_fakes.h"
#include "support/settles.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"

#include <gtest/gtest.h>

#ifdef KEL_UDF_TESTS_REAL_AGENT
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"

#include <boost/filesystem.hpp>

#include <fstream>
#include <iterator>
#include <thread>
#endif

#include <cstring>
#include <vector>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

// Physical blocks of the metadata file, one per metadata block.
std::vector<uint32_t> flat(const mdcudfsr_extent_list& l) {
  std::vector<uint32_t> out;
  for (auto* e = l.first; e; e = e->next)
    for (uint32_t i = 0; i < EXTENT_LENGTH(e->extent.len) / B; ++i) out.push_back(e->extent.loc.lb_num + i);
  return out;
}

class Metadata : public ::testing::Test {
 protected:
  void SetUp() override { img.load(MediumClass::WriteOnce); }
  mdcudfsr_mount* m() { return img.mnt.get(); }
  // Replaces both lists with `n` one-block extents at 100, 102, 104, ...
  void gapped(uint32_t n) {
    for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
    for (uint32_t i = 0; i < n; ++i)
      mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 100 + 2 * i, B, B);
    m()->part[0].length = m()->part[1].length = uint64_t{n} * B;
  }
  MountedImage img;
};

TEST_F(Metadata, CursorHandsOutBlocksUntilThereIsNoSpace) {
  EXPECT_EQ(mdcudfsr_allocate_metadata_blocks(m(), 2), 3u);
  EXPECT_EQ(mdcudfsr_allocate_metadata_blocks(m(), 1), 5u);
  m()->metadata_block_count = 0xFFFFFFFFu;
  EXPECT_EQ(mdcudfsr_allocate_metadata_blocks(m(), 1), 0xFFFFFFFFu);
  EXPECT_EQ(m()->metadata_block_count, 0xFFFFFFFFu);
}

TEST_F(Metadata, BlocksOutsideTheFileOrPartitionChangeNothing) {
  const auto main = flat(m()->part[0].list), mirror = flat(m()->part[1].list);
  const uint64_t length = m()->part[0].length, recorded = m()->metadata_main_partition_length;
  auto unchanged = [&] {
    EXPECT_EQ(flat(m()->part[0].list), main);
    EXPECT_EQ(flat(m()->part[1].list), mirror);
    EXPECT_EQ(m()->part[0].length, length);
    EXPECT_EQ(m()->part[1].length, length);
    EXPECT_EQ(m()->metadata_main_partition_length, recorded);
  };
  // A remap whose block or replacement lies beyond the 32-block file.
  for (uint32_t block : {2u, 40u}) {
    for (uint32_t replacement : {40u, 20u}) {
      if (block != 40 && replacement != 40) continue;
      SCOPED_TRACE(std::to_string(block) + " at " + std::to_string(replacement));
      mdcudfsr_udf_node_fields n;
      mdcudfsr_udf_data d;
      n.udf_data = &d;
      d.remap_pending = 1;
      uint32_t over = 0;
      EXPECT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, block, replacement, 0, &over, 0), 22);
      EXPECT_EQ(m()->remap_count, 0u);
      unchanged();
    }
  }
  // Growth from a next writable address no disc has (the drive's real
  // answers before the partition and near its end are in
  // real_metadata_test.cpp); with and without a restart.
  for (uint32_t nwa : {0xFFFFFFF0u}) {
    for (int restart : {0, 1}) {
      SCOPED_TRACE(hex(nwa) + (restart ? " restart" : ""));
      env().track_nwa = nwa;
      EXPECT_EQ(mdcudfsr_relocate_metadata_file(m(), 1, restart, nullptr, nullptr), 22);
      unchanged();
    }
  }
}

TEST_F(Metadata, RemapMovesTheReplacementIntoPlaceAndShrinksTheFile) {
  mdcudfsr_udf_node_fields n;
  mdcudfsr_udf_data d;
  n.udf_data = &d;
  auto before = flat(m()->part[0].list);
  // Replacement block 0xFFFFFFFF: flags cleared, nothing moved.
  d.remap_pending = 1;
  d.replace_efe_loc = 20;
  uint32_t over = 0;
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 2, 0xFFFFFFFFu, 0, &over, 0), 0);
  EXPECT_EQ(d.remap_pending, 0u);
  EXPECT_EQ(d.replace_efe_loc, 0xFFFFFFFFu);
  EXPECT_EQ(flat(m()->part[0].list), before);
  // Block 2 rewritten at 20, then block 5 at 25 (handed out before the first remap).
  d.remap_pending = 1;
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 2, 20, 0, &over, 0), 0);
  auto model = before;
  model[2] = before[20];
  model.erase(model.begin() + 20);
  EXPECT_EQ(flat(m()->part[0].list), model);
  EXPECT_EQ(flat(m()->part[1].list), model);
  EXPECT_EQ(m()->remap_count, 1u);
  d.remap_pending = 1;
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 5, 25, 0, &over, 0), 0);
  const uint32_t q = model[24];
  model[5] = q;
  model.erase(model.begin() + 24);
  EXPECT_EQ(flat(m()->part[0].list), model);
  EXPECT_EQ(d.remap_pending, 0u);
  // No pending relocation, remaps off, virtual nodes: nothing moves.
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 6, 10, 0, &over, 0), 0);
  d.remap_pending = 1;
  m()->remap_off = 1;
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 6, 10, 0, &over, 0), 0);
  m()->remap_off = 0;
  n.kind = MDCUDFSR_NODE_VIRTUAL;
  d.remap_pending = 1;
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 6, 10, 0, &over, 0), 0);
  EXPECT_EQ(flat(m()->part[0].list), model);
}

TEST_F(Metadata, SizeOverKeepsTheOldLists) {
  gapped(150);
  const auto before = flat(m()->part[0].list);
  mdcudfsr_udf_node_fields n;
  mdcudfsr_udf_data d;
  n.udf_data = &d;
  d.remap_pending = 1;
  d.replace_std_loc = 9;
  // The remapped list needs more descriptors than the metadata files may have.
  m()->medium_type = 0xF1;
  m()->max_metadata_ads = 50;
  uint32_t over = 0;
  ASSERT_EQ(mdcudfsr_find_and_chk_matadata_extent_list(m(), &n, 120, 140, 0, &over, 0), 0);
  EXPECT_EQ(over, 1u);
  EXPECT_EQ(flat(m()->part[0].list), before);
  EXPECT_EQ(d.replace_std_loc, 0xFFFFFFFFu);
  EXPECT_TRUE(env().logged("Metadata AD is over 50\n"));
  EXPECT_TRUE(env().logged("size over \n"));
}

TEST_F(Metadata, RebuildOverATreeRemapsEveryPendingEntry) {
  gapped(60);
  auto model = flat(m()->part[0].list);
  struct N {
    mdcudfsr_udf_node_fields n;
    mdcudfsr_udf_data d;
    N(uint8_t type, uint64_t id, uint32_t loc, uint32_t rep) {
      n.udf_data = &d;
      d.efe.icbtag.file_type = type;
      d.efe.unique_id = id;
      d.efe_loc = loc;
      d.replace_efe_loc = rep;
      d.remap_pending = rep != 0xFFFFFFFFu;
    }
  };
  N root(4, 1, 2, 50), dir(4, 20, 3, 51), file(5, 21, 4, 0xFFFFFFFFu), deep(5, 30, 6, 52);
  mdcudfsr_insert_list_by_unique_id(&root.n, &dir.n);
  mdcudfsr_insert_list_by_unique_id(&root.n, &file.n);
  mdcudfsr_insert_list_by_unique_id(&dir.n, &deep.n);
  uint32_t over = 0;
  ASSERT_EQ(mdcudfsr_rebuild_metadata_extent_list_ex(m(), &root.n, 0, &over), 0);
  // Remaps in walk order: root (2 <- 50), dir (3 <- 51), deep (6 <- 52), each
  // replacement one lower for every block removed before it.
  const std::vector<std::pair<uint32_t, uint32_t>> moves = {{2, 50}, {3, 51 - 1}, {6, 52 - 2}};
  for (auto [mb, r] : moves) {
    model[mb] = model[r];
    model.erase(model.begin() + r);
  }
  EXPECT_EQ(flat(m()->part[0].list), model);
  EXPECT_EQ(m()->remap_count, 3u);
  for (N* x : {&root, &dir, &deep}) EXPECT_EQ(x->d.remap_pending, 0u);
}

// A salvage mount (checkEFE) searches whatever the metadata file still
// holds: what reads in neither copy arrives as 0xFF.
TEST_F(Metadata, LocalCopyReadsInChunksAndASalvageMountFillsUnreadableBlocks) {
  for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
  mdcudfsr_extent_entry e;
  e.extent.len = 70000;
  e.extent.loc = lb_addr{100, 2};
  mdcudfsr_extent_list_add(&m()->part[0].list, &e, 0);
  e.extent.len = 2 * B;
  e.extent.loc = lb_addr{40, 2};
  mdcudfsr_extent_list_add(&m()->part[0].list, &e, 0);
  m()->part[0].length = 70000 + 2 * B;
  m()->local_cache_handles[0] = 6;
  m()->mount_ext_flags = 0x40020;
  const uint32_t s = img.layout.partition_start;
  for (uint32_t i = 0; i < 35; ++i) std::memset(env().sector(s + 100 + i), static_cast<int>(i + 1), B);
  env().unreadable.insert(s + 40);
  ASSERT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, 0), 0);
  // Sorted by block: the extent at 40 first (file offset 70000).
  const int first = env().find_call("bread lsn=" + std::to_string(s + 40) + " size=4096");
  ASSERT_GE(first, 0);
  EXPECT_GT(env().find_call("bread lsn=" + std::to_string(s + 100) + " size=65536"), first);
  EXPECT_EQ(env().count_calls("bread lsn=" + std::to_string(s + 132) + " size=4464"), 1u);
  EXPECT_EQ(env().count_calls("cache_write h=6 off=0x10000 len=4464"), 1u);
  EXPECT_EQ(env().cache_file[0], 1);
  EXPECT_EQ(env().cache_file[65536], 33);
  EXPECT_EQ(env().cache_file[70000], 0xFF);  // unreadable: 0xFF
  EXPECT_EQ(env().cache_file[70000 + 4095], 0xFF);
  EXPECT_EQ(env().count_calls("invalidateblks"), 1u);
}

// A chunk's write is with the cache agent while the next chunk is read; a
// failed write ends the copy before any other write is sent.
TEST_F(Metadata, AFailedChunkWriteEndsTheCopyAfterTheNextRead) {
  m()->local_cache_handles[0] = 6;
  for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 100, 0x30000, B);
  m()->part[0].length = 0x30000;
  env().cache_write_result = 28;
  EXPECT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, 0), 28);
  EXPECT_EQ(env().count_calls("cache_write"), 1u);
  EXPECT_EQ(env().count_calls("bread"), 2u);
  EXPECT_TRUE(env().logged("file buffer write failed err:28 cache_err:0\n"));
}

TEST_F(Metadata, SlotChangeFailureReturnsTheErrorAndDeletesThePartialCopy) {
  m()->local_cache_handles[0] = 6;
  std::strcpy(m()->local_cache_name[0], "meta_main");
  env().disc_change_results = {0, 5};
  for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 100, 0x20000, B);
  EXPECT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, 0), 5);
  EXPECT_EQ(env().count_calls("cache_write h=6 off=0x0 len=65536"), 1u);
  EXPECT_EQ(env().count_calls("cache_close h=6"), 1u);
  EXPECT_EQ(env().count_calls("cache_delete meta_main"), 1u);
  EXPECT_EQ(m()->local_cache_handles[0], -1);
}

// Selector 1 copies into the management cache file, 0x100000 bytes in; a
// failed copy drops that file.
TEST_F(Metadata, SelectorOneCopiesIntoTheManagementCacheFile) {
  m()->fsmanage_handle = 8;
  m()->local_cache_handles[1] = 9;
  env().disc_change_results = {0, 5};
  for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 100, 0x20000, B);
  EXPECT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, 1), 5);
  EXPECT_EQ(env().count_calls("cache_write h=8 off=0x100000 len=65536"), 1u);
  EXPECT_EQ(env().count_calls("cache_write h=9"), 0u);
  EXPECT_EQ(env().count_calls("cache_close h=8"), 1u);
  EXPECT_EQ(env().count_calls("fsmanage_delete"), 1u);
  EXPECT_EQ(m()->fsmanage_handle, -1);
}

// A failed staging (the cache agent's write) is returned (the runs staged
// are in real_metadata_test.cpp).
TEST_F(Metadata, ZeroFillFailureIsReturned) {
  m()->metadata_block_count = 3;
  env().zero_write_result = 5;
  EXPECT_EQ(mdcudfsr_zero_fill_free_metadata_blocks(m(), nullptr), 5);
}

#ifdef KEL_UDF_TESTS_REAL_AGENT
// The local copy written by the real cache agent thread into its cache
// directory, and a copy cut short by a failed slot change deleted there.
TEST_F(Metadata, LocalCopyThroughTheRealCacheAgent) {
  namespace fs = boost::filesystem;
  const fs::path root = fs::temp_directory_path() / fs::unique_path("kel-udf-agent-%%%%-%%%%");
  fs::create_directories(root);
  const fs::path base = root / "KELFS";
  env().cache_path = base.string();
  env().real_agent = 1;
  mdcudfsr_metacache_init();
  m()->metacachedev = mdcudfsr_metacache_alloc(m());
  ASSERT_NE(m()->metacachedev, nullptr);
  std::vector<std::string> args = {"KelDriver", "/dev/sd1A", root.string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ASSERT_NE(FsCacheAgent_main_func(3, argv.data()), 0u);
  kel_test::settles([&] { return m()->cache_agent_opened != 0; });
  ASSERT_EQ(m()->cache_agent_opened, 1);
  uint32_t cache_err = 0;
  ASSERT_EQ(mdcudfsr_metacache_file_delete(m(), "none", &cache_err), 0);

  // Two extents out of block order; the copy follows the metadata file's offsets.
  for (int i = 0; i < 2; ++i) mdcudfsr_extent_list_remove_all(&m()->part[i].list);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 900, 40 * B, B);
  mdcudfsr_add_metadata_extent_list(&m()->part[0].list, &m()->part[1].list, 700, 8 * B, B);
  m()->part[0].length = 48 * B;
  const uint32_t s = img.layout.partition_start;
  for (uint32_t i = 0; i < 40; ++i) std::memset(env().sector(s + 900 + i), static_cast<int>(i + 1), B);
  for (uint32_t i = 0; i < 8; ++i) std::memset(env().sector(s + 700 + i), static_cast<int>(0x80 + i), B);
  int32_t h = -1;
  ASSERT_EQ(mdcudfsr_metacache_localfile_open(m(), "udfmeta", 3, &h, &cache_err), 0);
  m()->local_cache_handles[0] = h;
  std::strcpy(m()->local_cache_name[0], "udfmeta");
  ASSERT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, 0), 0);
  ASSERT_EQ(mdcudfsr_metacache_file_close(m(), h), 0);
  const fs::path copy = base / "Caches" / "LocalCache" / "udfmeta";
  std::ifstream in(copy.string(), std::ios::binary);
  const std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(got.size(), 48u * B);
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(got[i * B + 5], i + 1) << i;
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(got[(40 + i) * B + 5], 0x80 + i) << i;

  ASSERT_EQ(mdcudfsr_metacache_localfile_open(m(), "udfmeta", 3, &h, &cache_err), 0);
  m()->local_cache_handles[0] = h;
  env().disc_change_results = {0, 5};
  EXPECT_EQ(mdcudfsr_read_metadata_file(m(), nullptr, 0), 5);
  EXPECT_EQ(m()->local_cache_handles[0], -1);
  EXPECT_FALSE(fs::exists(copy));

  ASSERT_EQ(mdcudfsr_metacache_mark_will_free(m()->metacachedev), 0);
  ASSERT_EQ(mdcudfsr_metacache_unmount(m()), 0);
  EXPECT_EQ(mdcudfsr_metacache_wait_close(m()->metacachedev, 5000), 0);
  // The thread logs its end after closing the channel; the test ends only
  // after that, so that it never logs into the next test's records.
  EXPECT_TRUE(kel_test::settles([] { return env().logged("handler22.Start return 0..."); }));
  mdcudfsr_metacache_free(m()->metacachedev);
  m()->metacachedev = nullptr;
  env().real_agent = 0;
  fs::remove_all(root);
}
#endif

}  // namespace
