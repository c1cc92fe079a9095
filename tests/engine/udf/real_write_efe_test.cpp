// Writing extended file entries on the real volume routines over the
// simulated drive: the entries and their descriptor blocks staged in the real
// write clusters (images in the real agent's local cache file), put on the
// disc, and read back by the readers through the drive.
#include "engine/udf/real_support.h"

#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "sim/harness.h"
#include "udf/udf_efe.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_path.h"
#include "udf/udf_tag.h"
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

constexpr uint32_t B = 2048;

struct Node {
  mdcudfsr_cache_node n;  // the FID builder reads the cache node around the UDF part
  mdcudfsr_udf_data d;
  std::string name;
  explicit Node(uint8_t type, const char* node_name = "n") : name(node_name) {
    n.udf_data = &d;
    d.efe.icbtag.file_type = type;
    n.vfs_name = name.data();
  }
  ~Node() {
    mdcudfsr_extent_list_free(&d.extents);
    mdcudfsr_free_aed_info(d.aed_info);
    std::free(n.symlink_target);
  }
  void extents(uint32_t count, uint16_t part) {
    for (uint32_t i = 0; i < count; ++i) {
      mdcudfsr_extent_entry e;
      e.extent.len = B;
      e.extent.loc = lb_addr{5000 + 2 * i, part};
      mdcudfsr_extent_list_add(&d.extents, &e, 0);
    }
  }
};

class RealWriteEfe : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls) {
    mdcudfsr_extent_list_free(&back);
    v.reset();
    v = std::make_unique<RealVolume>(cls);
    v->mount();
    v->start_agent();
    if (cls == MediumClass::WriteOnce) {
      // Room for the bigger tests: a metadata file of 256 blocks, grown at
      // the data track's next writable address.
      v->set_track_nwa(v->layout.partition_start + 2000);
      ASSERT_EQ(mdcudfsr_relocate_metadata_file(m(), 224, 0, nullptr, nullptr), 0);
    }
    mdcudfsr_extent_list_init(&back);
    v->clear();
  }
  void TearDown() override { mdcudfsr_extent_list_free(&back); }
  mdcudfsr_mount* m() { return v->m(); }
  // The metadata block as the disc holds it (kept until the next call).
  const uint8_t* block(uint32_t lbn) {
    blk = v->metadata_block(lbn);
    return blk.data();
  }
  // Sectors staged per cluster: {first sector of the cluster: dirty mask}.
  std::map<uint32_t, uint32_t> staged() {
    std::map<uint32_t, uint32_t> out;
    for (cluster_entry* e = m()->cluster_head; e; e = e->next)
      out[static_cast<uint32_t>(e->cluster) * m()->cluster_sectors] = e->dirty;
    return out;
  }
  bool is_staged(uint32_t lsn) {
    const auto s = staged();
    const uint32_t first = lsn / 32 * 32;
    return s.count(first) && (s.at(first) & (1u << (lsn - first)));
  }
  // Writes the node's entry at a newly allocated metadata block.
  uint32_t write(Node& x, int64_t prev = -1, uint16_t part = 0) {
    mdcudfsr_init_extended_file_entry(m(), 0644, &tmp, 1);
    tmp.icbtag.file_type = x.d.efe.icbtag.file_type;
    x.d.efe = tmp;
    const uint32_t loc = mdcudfsr_allocate_metadata_blocks(m(), 1);
    x.d.efe_loc = loc;
    mdcudfsr_efe_write w{part, loc, loc, 0xFFFF, &x.d.efe, nullptr, &x.d.extents, &x.d.aed_info, 0, &x.n, prev, 0};
    result = mdcudfsr_flush_extended_file_entry(m(), &w, nullptr);
    v->commit_staged();
    return loc;
  }
  // Reads the entry at `loc` and its whole chain into `back`.
  int read(uint32_t loc, extended_file_entry* e, int no_check = 0) {
    uint32_t flag = 0;
    mdcudfsr_extent_list_remove_all(&back);
    int err = mdcudfsr_read_extended_file_entry(m(), block(loc), B, 0, e, &back, &flag, no_check);
    if (err) return err;
    return mdcudfsr_read_allocation_extent_chain(m(), nullptr, 0, e->icbtag.flags & 7u, &back, &flag, nullptr);
  }
  std::unique_ptr<RealVolume> v;
  std::vector<uint8_t> blk;
  mdcudfsr_extent_list back{};
  extended_file_entry tmp{}, r{};
  int result = -1;
};

bool same(const mdcudfsr_extent_list& a, const mdcudfsr_extent_list& b) {
  const mdcudfsr_extent_entry *x = a.first, *y = b.first;
  for (; x && y; x = x->next, y = y->next)
    if (x->extent.len != y->extent.len || x->extent.loc.lb_num != y->extent.loc.lb_num ||
        x->extent.loc.part_num != y->extent.loc.part_num)
      return false;
  return !x && !y;
}

TEST_F(RealWriteEfe, FileExtentsGoAsLongDescriptorsDirectoryExtentsAsShortOnes) {
  Node file(5), dir(4);
  file.extents(3, 1);
  dir.extents(4, 0);
  const uint32_t fl = write(file);
  ASSERT_EQ(result, 0);
  const uint32_t dl = write(dir);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(read(fl, &r), 0);
  EXPECT_EQ(r.l_ad, 48u);
  EXPECT_EQ(r.icbtag.flags & 7, UDF_AD_LONG);
  EXPECT_TRUE(same(file.d.extents, back));
  ASSERT_EQ(read(dl, &r), 0);
  EXPECT_EQ(r.l_ad, 32u);
  EXPECT_EQ(r.icbtag.flags & 7, UDF_AD_SHORT);
  EXPECT_TRUE(same(dir.d.extents, back));
  EXPECT_EQ(r.tag.tag_loc, dl);
}

TEST_F(RealWriteEfe, ADirectoryOf230ExtentsGetsOneDescriptorBlock) {
  for (uint32_t n : {229u, 230u, 600u}) {
    SCOPED_TRACE(n);
    Node dir(4);
    dir.extents(n, 0);
    const uint32_t loc = write(dir);
    ASSERT_EQ(result, 0);
    ASSERT_EQ(read(loc, &r), 0);
    EXPECT_TRUE(same(dir.d.extents, back));
    if (n == 229) {
      EXPECT_EQ(r.l_ad, 229u * 8);
      EXPECT_EQ(dir.d.aed_info, nullptr);
    } else {
      EXPECT_EQ(r.l_ad, 229u * 8);  // 228 extents and the continuation
      ASSERT_NE(dir.d.aed_info, nullptr);
      EXPECT_EQ(dir.d.aed_info->count, n == 230 ? 1u : 2u);
      alloc_ext_desc a;
      std::memcpy(&a, block(dir.d.aed_info->values[0]), sizeof a);
      EXPECT_EQ(a.l_ad, n == 230 ? 16u : 253u * 8);
    }
  }
}

TEST_F(RealWriteEfe, SymbolicLinkCarriesItsComponentsEvenWithExtents) {
  Node link(12);
  link.extents(2, 1);
  link.n.symlink_target = strdup("/usr//lib/");
  const uint32_t loc = write(link);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(read(loc, &r), 0);
  EXPECT_EQ(r.icbtag.flags & 7, UDF_AD_IN_ICB);
  EXPECT_EQ(r.l_ad, 20u);
  EXPECT_EQ(r.inf_len, 20u);
  Node reader(12);
  reader.d.efe = r;
  ASSERT_EQ(mdcudfsr_reverse_lookup_path_component(&reader.n, block(loc), B), 0);
  EXPECT_STREQ(reader.n.symlink_target, "/usr/lib");
}

TEST_F(RealWriteEfe, HashAttributesAndThePreviousLocationAttribute) {
  Node file(5);
  file.extents(1, 1);
  file.n.hash_ea_list.push_back({1, std::vector<uint8_t>(32, 0xAB)});
  file.n.hash_ea_list.push_back({2, std::vector<uint8_t>(32, 0xCD)});
  const uint32_t loc = write(file);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(read(loc, &r), 0);
  EXPECT_EQ(r.l_ea, 200u);
  EXPECT_TRUE(same(file.d.extents, back));
  const uint8_t* ea = block(loc) + 216;
  EXPECT_TRUE(mdcudfsr_check_udf_tag(ea, 262));
  EXPECT_TRUE(mdcudfsr_check_udf_tag_crc(ea, 24));
  const uint8_t* a1 = ea + 24;
  EXPECT_EQ(std::memcmp(a1 + 17, "*Tarn KELFS Hash", 16), 0);
  uint32_t len;
  std::memcpy(&len, a1 + 8, 4);
  EXPECT_EQ(len, 88u);
  uint16_t sum = 0;
  for (int i = 0; i < 48; ++i) sum = static_cast<uint16_t>(sum + a1[i]);
  uint16_t stored;
  std::memcpy(&stored, a1 + 48, 2);
  EXPECT_EQ(stored, sum);
  EXPECT_EQ(a1[50], 1);
  EXPECT_EQ(a1[56], 0xAB);
  EXPECT_EQ(ea[24 + 88 + 56], 0xCD);

  Node meta(250);
  meta.n.hash_ea_list.clear();
  m()->svg_status = 1;
  const uint32_t mloc = write(meta, 0x1234);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(read(mloc, &r), 0);
  EXPECT_EQ(r.l_ea, 80u);
  const uint8_t* p = block(mloc) + 216 + 24;
  EXPECT_EQ(std::memcmp(p + 17, "*Tarn KELFS PrevLoc", 19), 0);
  EXPECT_EQ(p[50], 1);
  uint32_t prev;
  std::memcpy(&prev, p + 52, 4);
  EXPECT_EQ(prev, 0x1234u);
}

TEST_F(RealWriteEfe, FileWithAStreamWritesItsStreamDirectoryAndTheStreamsEntry) {
  Node file(5, "data.bin"), parity(5, "*ECC_Parity_V100_N=2064_K=2048");
  file.extents(2, 1);
  parity.extents(3, 1);
  parity.d.efe.inf_len = 3 * B;
  file.n.parity_node = &parity.n;
  mdcudfsr_init_extended_file_entry(m(), 0644, &file.d.efe, 1);
  file.d.efe.icbtag.file_type = 5;
  file.d.efe.inf_len = 2 * B;
  const uint32_t loc = mdcudfsr_allocate_metadata_blocks(m(), 1);
  file.d.efe_loc = loc;
  mdcudfsr_efe_write w{0, loc, loc, 0xFFFF, &file.d.efe, nullptr, &file.d.extents, &file.d.aed_info, 0, &file.n, -1, 0};
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
  v->commit_staged();
  ASSERT_EQ(read(loc, &r), 0);
  EXPECT_EQ(r.link_cnt, 2);
  EXPECT_EQ(r.object_size, 5u * B);
  EXPECT_EQ(r.stream_directory_icb.len, B);
  const uint32_t sd = r.stream_directory_icb.loc.lb_num;
  EXPECT_EQ(sd, file.d.std_loc);
  extended_file_entry s{};
  ASSERT_EQ(read(sd, &s, 1), 0);
  EXPECT_EQ(s.icbtag.file_type, UDF_FILE_TYPE_STREAMDIR);
  EXPECT_EQ(s.icbtag.flags & 7, UDF_AD_IN_ICB);
  EXPECT_EQ(s.unique_id, r.unique_id);
  // Its data: the parent entry and the stream's entry, pointing at sd + 1.
  const uint8_t* data = block(sd) + 216;
  EXPECT_TRUE(mdcudfsr_check_udf_tag(data, TAG_ID_FID));
  fileid_desc fid;
  std::memcpy(&fid, data + 40, sizeof fid);
  EXPECT_EQ(fid.tag.id, TAG_ID_FID);
  EXPECT_EQ(fid.icb.loc.lb_num, sd + 1);
  EXPECT_EQ(fid.icb.ad_id, static_cast<uint32_t>(r.unique_id));
  EXPECT_EQ(fid.l_fi, 1u + parity.name.size());
  EXPECT_EQ(s.inf_len, 40u + ((38u + fid.l_fi + 3) & ~3u));
  EXPECT_TRUE(mdcudfsr_check_udf_tag_crc(data + 40, B));
  // The stream's own entry was written at a new block for logical sd + 1.
  extended_file_entry st = parity.d.efe;
  EXPECT_EQ(st.tag.tag_loc, sd + 1);
  EXPECT_EQ(st.icbtag.flags & UDF_ICB_FLAG_STREAM, UDF_ICB_FLAG_STREAM);
  EXPECT_EQ(st.unique_id, r.unique_id);
  EXPECT_EQ(st.perm, 0x7FFFu);

  // Written again while mirroring is suspended: the location stays, the
  // replacement takes the new block.
  m()->cache_mirroring_suspended = 1;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
  EXPECT_EQ(file.d.std_loc, sd);
  EXPECT_NE(file.d.replace_std_loc, 0xFFFFFFFFu);
  EXPECT_EQ(m()->replace_blk_count, 0u);
  // Once more with that replacement pending: both stream blocks are counted.
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
  EXPECT_EQ(m()->replace_blk_count, 2u);
  EXPECT_TRUE(logged("[6]replace blk count[1]\n"));
  EXPECT_TRUE(logged("[7]replace blk count[2]\n"));
  // With the relocation flag both locations become the new block.
  m()->fsd_relocation = 1;
  const uint32_t next = m()->metadata_block_count;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
  EXPECT_EQ(file.d.std_loc, next);
  EXPECT_EQ(file.d.replace_std_loc, next);
}

TEST_F(RealWriteEfe, AttributesOfTheCopyAreKeptWhenGiven) {
  Node dir(4);
  mdcudfsr_init_extended_file_entry(m(), 0755, &dir.d.efe, 0);
  dir.d.efe.icbtag.file_type = 4;
  dir.d.efe.l_ea = 8;
  const uint8_t ea[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint32_t loc = mdcudfsr_allocate_metadata_blocks(m(), 1);
  mdcudfsr_efe_write w{0, loc, loc, 0xFFFF, &dir.d.efe, ea, &dir.d.extents, &dir.d.aed_info, 0, &dir.n, -1, 0};
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
  v->commit_staged();
  ASSERT_EQ(read(loc, &r, 1), 0);
  EXPECT_EQ(r.l_ea, 8u);
  EXPECT_EQ(block(loc)[216 + 7], 8);
  // Without the bytes the entry is written without attributes.
  w.ea = nullptr;
  ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
  v->commit_staged();
  ASSERT_EQ(read(loc, &r, 0), 0);
  EXPECT_EQ(r.l_ea, 0u);
}

TEST_F(RealWriteEfe, MetadataFileEntryWithItsOwnDescriptorBlocksAndCacheImage) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::Rewritable}) {
    SCOPED_TRACE(static_cast<int>(cls));
    load(cls);
    m()->fsmanage_handle = v->open_cache_file("fsmanage");
    mdcudfsr_extent_list meta;
    mdcudfsr_extent_list_init(&meta);
    for (uint32_t i = 0; i < 300; ++i) {
      mdcudfsr_extent_entry e;
      e.extent.len = 32 * B;
      e.extent.loc = lb_addr{1000 + 40 * i, 2};
      mdcudfsr_extent_list_add(&meta, &e, B);
    }
    extended_file_entry e{};
    mdcudfsr_init_extended_file_entry(m(), 0644, &e, 0);
    e.icbtag.file_type = 250;
    const uint32_t loc = 3000;
    const uint32_t first_sector = v->layout.partition_start + loc;
    mdcudfsr_efe_write w{2, loc, loc, 0xFFFF, &e, nullptr, &meta, nullptr, first_sector, nullptr, 4096, 0};
    ASSERT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 0);
    EXPECT_EQ(e.l_ea, 80u);
    EXPECT_EQ(e.l_ad, 219u * 8);  // 218 extents and the continuation
    EXPECT_EQ(m()->metadata_efe_aed_count, 1u);
    EXPECT_TRUE(is_staged(first_sector));
    EXPECT_TRUE(is_staged(first_sector + 1));
    EXPECT_EQ(v->count(kWrite10), 0u) << "staged only";
    v->commit_staged();
    ASSERT_NE(m()->metadata_efe_image, nullptr);
    const std::vector<uint8_t> disc = v->read(first_sector, 2);
    EXPECT_EQ(std::memcmp(m()->metadata_efe_image, disc.data(), 2 * B), 0);
    // Read back through the physical partition.
    mdcudfsr_extent_list_remove_all(&back);
    uint32_t flag = 0;
    ASSERT_EQ(mdcudfsr_read_extended_file_entry(m(), disc.data(), B, 2, &r, &back, &flag, 0), 0);
    ASSERT_EQ(mdcudfsr_read_allocation_extent_chain(m(), nullptr, 2, UDF_AD_SHORT, &back, &flag, nullptr), 0);
    EXPECT_TRUE(same(meta, back));
    mdcudfsr_extent_list_free(&meta);
  }
}

TEST_F(RealWriteEfe, WhatDoesNotFitIsRefusedAndNothingIsWritten) {
  std::string long_target;
  for (int i = 0; i < 30; ++i) long_target += "/" + std::string(100, 'a' + i % 26);
  struct Row {
    const char* name;
    uint8_t type;
    std::string target;  // symbolic links
    uint32_t hashes;     // files: hash entries of 64 bytes
    int result;
  } rows[] = {
      {"link components beyond the entry", 12, long_target, 0, 36},
      {"link component too long to compress", 12, "/" + std::string(300, 'x'), 0, 22},
      {"hash attributes beyond the entry", 5, "", 16, 28},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Node x(r.type);
    x.extents(1, 1);
    if (r.type == 12) x.n.symlink_target = strdup(r.target.c_str());
    for (uint32_t i = 0; i < r.hashes; ++i) x.n.hash_ea_list.push_back({1, std::vector<uint8_t>(64, 0xAB)});
    mdcudfsr_init_extended_file_entry(m(), 0644, &tmp, 1);
    tmp.icbtag.file_type = x.d.efe.icbtag.file_type;
    x.d.efe = tmp;
    const uint32_t loc = mdcudfsr_allocate_metadata_blocks(m(), 1);
    mdcudfsr_efe_write w{0, loc, loc, 0xFFFF, &x.d.efe, nullptr, &x.d.extents, &x.d.aed_info, 0, &x.n, -1, 0};
    EXPECT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), r.result);
    EXPECT_EQ(m()->cluster_count, 0u) << "nothing staged";
  }
  // Within the room: 14 hashes of 64 bytes (24 + 14 x 120 = 1704 bytes)
  // leave room for the long descriptor.
  Node file(5);
  file.extents(1, 1);
  for (int i = 0; i < 14; ++i) file.n.hash_ea_list.push_back({1, std::vector<uint8_t>(64, 0xAB)});
  const uint32_t loc = write(file);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(read(loc, &r), 0);
  EXPECT_EQ(r.l_ea, 1704u);
  EXPECT_TRUE(same(file.d.extents, back));
}

TEST_F(RealWriteEfe, MetadataFileBlocksOutsideThePartitionAreRefused) {
  // On a write-once medium the metadata file's entry and its descriptor
  // blocks are placed through the physical partition.
  const uint32_t last = v->layout.partition_len - 1;
  struct Row {
    const char* name;
    uint32_t loc;
    uint32_t extents;  // more than fit in the entry: a descriptor block at loc + 1
  } rows[] = {
      {"entry beyond the partition", last + 1, 1},
      {"descriptor block beyond the partition", last, 300},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    mdcudfsr_extent_list meta;
    mdcudfsr_extent_list_init(&meta);
    for (uint32_t i = 0; i < r.extents; ++i)
      mdcudfsr_add_metadata_extent_list(&meta, &back, 100 + 2 * i, B, B);
    mdcudfsr_extent_list_remove_all(&back);
    extended_file_entry e{};
    mdcudfsr_init_extended_file_entry(m(), 0644, &e, 0);
    e.icbtag.file_type = 250;
    mdcudfsr_efe_write w{2, r.loc, r.loc, 0xFFFF, &e, nullptr, &meta, nullptr, 0, nullptr, 0x10, 0};
    EXPECT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 22);
    EXPECT_EQ(m()->cluster_count, 0u) << "nothing staged";
    mdcudfsr_extent_list_free(&meta);
  }
}

TEST_F(RealWriteEfe, NoMetadataSpaceForTheChainGives28) {
  Node dir(4);
  dir.extents(300, 0);
  mdcudfsr_init_extended_file_entry(m(), 0644, &dir.d.efe, 0);
  dir.d.efe.icbtag.file_type = 4;
  m()->metadata_block_count = 0xFFFFFFFFu;
  mdcudfsr_efe_write w{0, 5, 5, 0xFFFF, &dir.d.efe, nullptr, &dir.d.extents, &dir.d.aed_info, 0, &dir.n, -1, 0};
  EXPECT_EQ(mdcudfsr_flush_extended_file_entry(m(), &w, nullptr), 28);
  EXPECT_EQ(m()->cluster_count, 0u) << "nothing staged";
}

}  // namespace
