// Directory writing read back from the simulated disc: contents inside the
// entry, grown directories that keep their written blocks, link counts,
// files written through their proxy and parity nodes left out of the
// image, and the management cache file's copy of directory blocks.
#include "support.h"
#include "support_flush.h"

#include "kelagent/metacache.h"
#include "kelcache/cache_flush.h"
#include "sim/harness.h"
#include "udf/udf_byte_order.h"
#include "udf/udf_metadata.h"

#include <cstring>

using namespace cache_test;

namespace {

struct Vol {
  TreeImage img;
  SimMount sm;
  int par = -1;
  explicit Vol(bool with_parity = false) {
    img.dir(TreeImage::kRoot, "docs", 20);
    if (with_parity) {
      par = img.file(TreeImage::kRoot, "p.dat", 25, 4096);
      img.parity(par, "*ECC_Parity_V100_N=2064_K=2048", 1024);
    }
    img.finish();
    sm.load(img);
    EXPECT_EQ(0, sm.init());
    open_for_writing(sm, 6144);
  }
  mdcudfsr_mount* m() { return sm.m(); }
  mdcudfsr_cache_node* root() { return sm.m()->root_node; }
  int flush() {
    int wrote = 0, defect = 0;
    const int err = mdcudfsr_cache_flush(m(), nullptr, &wrote, nullptr, 0, &defect, 0);
    if (!err) remap(sm);
    return err;
  }
  // The directory's entry as the disc holds it (host order).
  extended_file_entry entry_of(mdcudfsr_cache_node* n) {
    const std::vector<uint8_t> b = metadata_block(sm, n->udf_data->efe_loc);
    extended_file_entry e{};
    std::memcpy(&e, b.data(), sizeof e);
    mdcudfsr_swap_le2host_extended_file_entry(&e);
    return e;
  }
};

// Children whose descriptors add up to `bytes` after the parent entry (40):
// names of six characters (48-byte descriptors) and one longer name.
void fill(Vol& v, mdcudfsr_cache_node* dir, uint32_t bytes, const char* prefix) {
  uint32_t left = bytes - 40;
  int i = 0;
  while (left >= 48 + 40 || left == 48) {
    char name[16];
    std::snprintf(name, sizeof name, "%s%05d", prefix, i++);
    ASSERT_NE(nullptr, create_node(v.sm, dir, name));
    left -= 48;
  }
  if (left) {
    ASSERT_EQ(0u, left % 4);
    ASSERT_GE(left, 40u);
    std::string name(left - 39, 'z');  // 38 + 1 compression byte + name
    ASSERT_NE(nullptr, create_node(v.sm, dir, name.c_str()));
  }
  ASSERT_EQ(bytes, mdcudfsr_cache_calc_dir_size(dir, 0));
}

uint32_t written_blocks(SimMount& sm) {
  uint32_t n = 0;
  for (auto [lba, count] : ranges(sm, 0x2A)) n += count;
  return n;
}

TEST(CacheDirWrite, FiveHundredBytesGoInsideTheEntryWithNoRecordedBlocks) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  fill(v, docs, 500, "f");
  const std::string before = tree_text(v.root());
  ASSERT_EQ(0, v.flush());
  const extended_file_entry e = v.entry_of(docs);
  EXPECT_EQ(UDF_AD_IN_ICB, e.icbtag.flags & 7);
  EXPECT_EQ(500u, e.inf_len);
  EXPECT_EQ(500u, e.l_ad);
  EXPECT_EQ(0u, e.logblks_rec);
  EXPECT_EQ(before, read_back(v.sm));
}

TEST(CacheDirWrite, WholeUnitDirectoryThatGainsAnEntryWritesOnlyTheNewBytes) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  fill(v, docs, 65536, "f");
  ASSERT_EQ(0, v.flush());
  ASSERT_EQ(1u, mdcudfsr_extent_list_get_count(&docs->udf_data->extents));
  ASSERT_NE(nullptr, create_node(v.sm, docs, "g00001"));
  const std::string before = tree_text(v.root());
  v.sm.sim().service().clear_transcript();
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(5u, docs->udf_data->write_pattern);
  EXPECT_EQ(2u, mdcudfsr_extent_list_get_count(&docs->udf_data->extents));
  EXPECT_EQ(48u, EXTENT_LENGTH(docs->udf_data->extents.last->extent.len)) << "only the new descriptor";
  EXPECT_LE(written_blocks(v.sm), 32u) << "one cluster: the new bytes and the entries";
  EXPECT_EQ(before, read_back(v.sm));
}

TEST(CacheDirWrite, OneExtentDirectoryGrowingPastAUnitIsRewrittenWhole) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  fill(v, docs, 65000, "f");
  ASSERT_EQ(0, v.flush());
  for (int i = 0; i < 12; ++i) ASSERT_NE(nullptr, create_node(v.sm, docs, ("g0000" + std::string(1, char('a' + i))).c_str()));
  const uint64_t size = mdcudfsr_cache_calc_dir_size(docs, 0);
  ASSERT_GT(size, 65536u);
  const std::string before = tree_text(v.root());
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(3u, docs->udf_data->write_pattern);
  ASSERT_EQ(1u, mdcudfsr_extent_list_get_count(&docs->udf_data->extents));
  EXPECT_EQ(size, EXTENT_LENGTH(docs->udf_data->extents.first->extent.len));
  EXPECT_EQ(before, read_back(v.sm));
}

TEST(CacheDirWrite, LinkCountAbove0xFFFFIsWrittenAs0xFFFF) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  docs->udf_data->nlink = 70000;
  docs->cache_dirty = 1;
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(0xFFFF, v.entry_of(docs).link_cnt);
  EXPECT_EQ(70000u, docs->udf_data->nlink);
}

TEST(CacheDirWrite, ProxyWrittenFileAndParityNodesAreLeftOutOfTheImage) {
  Vol v(true);
  mdcudfsr_cache_node* p = v.sm.child(v.root(), "p.dat");
  ASSERT_NE(nullptr, p);
  ASSERT_NE(nullptr, p->parity_node);
  mdcudfsr_cache_node* busy = create_node(v.sm, v.root(), "busy.bin");
  ASSERT_NE(nullptr, busy);
  int marker = 0;
  busy->write_list_entry = &marker;
  p->cache_dirty = 1;
  const std::string before = tree_text(v.root());
  ASSERT_EQ(0, v.flush());
  busy->write_list_entry = nullptr;
  EXPECT_NE(nullptr, v.sm.child(v.root(), "busy.bin")) << "the node stays";
  std::string expected = before;
  const size_t at = expected.find("/busy.bin");
  ASSERT_NE(std::string::npos, at);
  expected.erase(at, expected.find('\n', at) - at + 1);
  EXPECT_EQ(expected, read_back(v.sm)) << "no name of the busy file, one parity node";
}

// A rewritten file with a parity stream moves three blocks (entry, stream
// directory, stream entry); a file placed after it in the same pass must
// still be found where its directory says.
TEST(CacheDirWrite, NewFilePlacedAfterARewrittenParityOwnerIsFound) {
  Vol v(true);
  mdcudfsr_cache_node* p = v.sm.child(v.root(), "p.dat");
  ASSERT_NE(nullptr, p);
  p->cache_dirty = 1;
  ASSERT_NE(nullptr, create_node(v.sm, v.root(), "later.bin"));
  const std::string before = tree_text(v.root());
  int wrote = 0, defect = 0;
  ASSERT_EQ(0, mdcudfsr_cache_flush(v.m(), nullptr, &wrote, nullptr, 0, &defect, 0));
  EXPECT_EQ(before, read_back(v.sm));
}

// A full rewrite lays out a written parity owner's stream directory anew:
// its old place is no replacement, so nothing placed after it moves (here
// a folder made inside a new folder), for one pass and for the next.
TEST(CacheDirWrite, FullRewriteAfterAWrittenParityOwnerKeepsLaterFoldersWhereTheirDirectorySays) {
  for (bool full_pass : {false, true}) {
    SCOPED_TRACE(full_pass ? "full pass" : "pass turned full");
    Vol v(true);
    mdcudfsr_cache_node* p = v.sm.child(v.root(), "p.dat");
    ASSERT_NE(nullptr, p);
    p->cache_dirty = 1;
    mdcudfsr_cache_node* fresh = create_node(v.sm, v.root(), "new", true);
    ASSERT_NE(nullptr, fresh);
    ASSERT_NE(nullptr, create_node(v.sm, fresh, "deep", true));
    ASSERT_NE(nullptr, create_node(v.sm, fresh, "one.bin"));
    const std::string before = tree_text(v.root());
    v.m()->flushAllMetadata = 1;
    for (int round = 0; round < 2; ++round) {
      int wrote = 0, defect = 0;
      const int err = full_pass ? mdcudfsr_cache_flush_full(v.m(), nullptr, nullptr, 0, &defect, 0)
                                : mdcudfsr_cache_flush(v.m(), nullptr, &wrote, nullptr, 0, &defect, 0);
      ASSERT_EQ(0, err) << "round " << round;
      EXPECT_EQ(0u, v.m()->replace_blk_count) << "round " << round;
      EXPECT_EQ(p->udf_data->efe_loc + 1, p->udf_data->std_loc) << "round " << round;
      remap(v.sm);
    }
    v.m()->flushAllMetadata = 0;
    EXPECT_EQ(before, read_back(v.sm));
  }
}

std::string repeat(const std::string& unit, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += unit;
  return s;
}

// The longest "._" names a folder takes: 129 units of 8-bit characters
// (130 bytes of identifier) and 127 units with 16-bit ones (255 bytes); one
// that would need 259 bytes is refused, and the folder keeps every name.
TEST(CacheDirWrite, LongestDotUnderscoreNamesAreWrittenAndReadBack) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  const std::string sun = "\xE6\x97\xA5";  // U+65E5
  ASSERT_NE(nullptr, create_node(v.sm, docs, ("._" + repeat("\xC3\xA9", 127)).c_str()));
  ASSERT_NE(nullptr, create_node(v.sm, docs, ("._" + repeat(sun, 125)).c_str()));
  std::string too_long = "._" + repeat(sun, 127);
  mdcudfsr_cache_node* refused = nullptr;
  EXPECT_EQ(36, mdcudfsr_cache_create_udf_node(docs, too_long.data(), -1, 0, 0, 0644, &refused, 0, nullptr));
  if (refused) {  // taken anyway: it goes to the disc with the others
    mdcudfsr_cache_unlock_node(refused);
    refused->cache_dirty = 1;
  }
  ASSERT_NE(nullptr, create_node(v.sm, docs, "after"));
  const std::string before = tree_text(v.root());
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(before, read_back(v.sm));
}

// A name past the check (here put in place behind the index's back) never
// gets a descriptor whose identifier length would wrap.
TEST(CacheDirWrite, IdentifierOfMoreThan255BytesIsNeverBuilt) {
  Volume v;
  v.m.logical_block_size = v.m.logical_sector_size = 2048;
  mdcudfsr_cache_node* n = v.make(v.root, "short");
  std::string name = "._" + repeat("\xE6\x97\xA5", 127);
  char* own = n->vfs_name;
  n->vfs_name = name.data();
  std::vector<uint8_t> fid(0x10000 + 1024);
  EXPECT_EQ(-1, mdcudfsr_cache_write_fid(&v.m, fid.data(), n, 2, 0));
  EXPECT_EQ(~uint64_t{0}, mdcudfsr_cache_calc_dir_size(v.root, 0));
  EXPECT_EQ(22, mdcudfsr_cache_write_directory(&v.m, fid.data(), static_cast<uint32_t>(fid.size()), v.root, 2, 0, 0));
  // A raw identifier read from a disc is bounded the same way.
  n->vfs_name = own;
  n->udf_data->udf_name = static_cast<uint8_t*>(OSMalloc(300, nullptr));
  n->udf_data->udf_name_len = 300;
  std::memset(n->udf_data->udf_name, 'x', 300);
  EXPECT_EQ(-1, mdcudfsr_cache_write_fid(&v.m, fid.data(), n, 2, 0));
  n->udf_data->udf_name_len = 254;
  EXPECT_EQ(int((38 + 254 + 3) & ~3), mdcudfsr_cache_write_fid(&v.m, fid.data(), n, 2, 0));
  EXPECT_EQ(254, fid[19]) << "the identifier length";
  OSFree(n->udf_data->udf_name, 300, nullptr);
  n->udf_data->udf_name = nullptr;
  n->udf_data->udf_name_len = 0;
}

// A file moved into a folder of more than 64 KiB keeps its unique id and so
// lands among the folder's first entries: the folder is written whole, not
// only its tail.
TEST(CacheDirWrite, FileMovedIntoALargeFolderIsFoundWithEveryOtherEntry) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  mdcudfsr_cache_node* moved = create_node(v.sm, v.root(), "moved.bin");
  ASSERT_NE(nullptr, moved);
  fill(v, docs, 70000, "f");
  ASSERT_EQ(0, v.flush());
  ASSERT_GT(mdcudfsr_extent_list_get_selected_length(&docs->udf_data->extents, 0), 65536u);
  ASSERT_EQ(0, mdcudfsr_cache_move_node(v.root(), docs, moved, "moved.bin", 9));
  EXPECT_EQ(2, docs->dir_dirty) << "a change other than an addition";
  const std::string before = tree_text(v.root());
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(0u, docs->udf_data->write_pattern) << "written whole";
  EXPECT_EQ(before, read_back(v.sm));
}

// A rename refused because the parity node's new name is taken leaves both
// names as they were: the next flush writes the file under its old name.
TEST(CacheDirWrite, RenameRefusedForATakenParityNameLeavesTheOldName) {
  Vol v(true);
  mdcudfsr_cache_node* p = v.sm.child(v.root(), "p.dat");
  ASSERT_NE(nullptr, p);
  ASSERT_NE(nullptr, create_node(v.sm, v.root(), "q.dat#*ECC_Parity_V100_N=2064_K=2048"));
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(17, mdcudfsr_cache_rename_node(v.root(), p, "q.dat", 5));
  ASSERT_NE(nullptr, create_node(v.sm, v.root(), "later"));  // the root is written again
  const std::string before = tree_text(v.root());
  EXPECT_NE(std::string::npos, before.find("/p.dat uid=25"));
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(before, read_back(v.sm));
}

TEST(CacheDirWrite, ManagementCacheFileGetsTheDirectoryBlocks) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  fill(v, docs, 4096, "f");
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(v.m(), nullptr, &coherent, &created));
  ASSERT_EQ(0, v.flush());
  const uint32_t start = docs->udf_data->dir_start;
  std::vector<uint8_t> copy(4096), disc(4096);
  uint32_t done = 0, cache_err = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_file_read(v.m(), v.m()->fsmanage_handle, 0x100000 + uint64_t{start} * 2048, 4096,
                                            copy.data(), &done, &cache_err));
  ASSERT_EQ(4096u, done);
  for (uint32_t i = 0; i < 2; ++i) {
    const auto b = metadata_block(v.sm, start + i);
    std::memcpy(disc.data() + i * 2048, b.data(), 2048);
  }
  EXPECT_EQ(disc, copy);
  EXPECT_EQ(257, disc[0] | disc[1] << 8) << "a file identifier descriptor";
}

TEST(CacheDirWrite, FailedCacheFileWriteDropsTheFileWhileTheDiscIsWritten) {
  Vol v;
  mdcudfsr_cache_node* docs = v.sm.child(v.root(), "docs");
  fill(v, docs, 4096, "f");
  uint32_t coherent = 0, created = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_fsmanage_open(v.m(), nullptr, &coherent, &created));
  // The agent closes the file behind the engine's back: writes to it fail.
  const int32_t h = v.m()->fsmanage_handle;
  ASSERT_EQ(0, mdcudfsr_metacache_file_close(v.m(), h));
  const std::string before = tree_text(v.root());
  ASSERT_EQ(0, v.flush());
  EXPECT_EQ(-1, v.m()->fsmanage_handle);
  EXPECT_TRUE(rec().logged("Failed to write fs manage cache."));
  EXPECT_EQ(before, read_back(v.sm));
}

}  // namespace
