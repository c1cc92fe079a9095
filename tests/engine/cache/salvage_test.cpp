// The search for an unreferenced file on a volume of the simulated
// cartridge: a file whose entry lies in the metadata file but whose name
// only a directory written on the disc after the tree's state holds.
#include "support.h"
#include "support_flush.h"

#include "kelcache/cache_salvage.h"
#include "sim/harness.h"
#include "udf/udf_byte_order.h"
#include "udf/udf_metadata.h"
#include "udf/udf_tag.h"

#include <cstring>

using namespace cache_test;

namespace {

constexpr uint32_t kDirLsn = 4200;  // the later directory, between the file's data and the metadata file

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A directory entry with its descriptors inside, naming `name` with `uid`.
void later_directory(TreeImage& img, const char* name, uint32_t icb, uint32_t uid) {
  std::vector<uint8_t> data = img.make_fid(0x0A, nullptr, 2);
  std::vector<uint8_t> fid = img.make_fid(0, name, icb);
  put32(fid.data() + 32, uid);
  mdcudfsr_set_udf_tag_crc_and_checksum(fid.data(), static_cast<uint32_t>(fid.size()));
  data.insert(data.end(), fid.begin(), fid.end());
  extended_file_entry e{};
  e.tag.id = 266;
  e.tag.descriptor_ver = 3;
  e.tag.tag_loc = kDirLsn - 4096;
  e.icbtag.strat_type = 4;
  e.icbtag.file_type = 4;
  e.icbtag.flags = UDF_AD_IN_ICB;
  e.perm = 0x7FFF;
  e.inf_len = e.object_size = data.size();
  e.unique_id = 40;
  e.l_ad = static_cast<uint32_t>(data.size());
  mdcudfsr_swap_host2le_extended_file_entry(&e);
  uint8_t* at = img.medium.data() + size_t(kDirLsn) * 2048;
  std::memcpy(at, &e, sizeof e);
  std::memcpy(at + sizeof e, data.data(), data.size());
  mdcudfsr_set_udf_tag_crc_and_checksum(at, static_cast<uint32_t>(sizeof e + data.size()));
}

struct Salvage {
  TreeImage img;
  SimMount sm;
  int orphan;
  explicit Salvage(uint32_t fid_uid = 30, bool with_dir = true) {
    const int docs = img.dir(TreeImage::kRoot, "docs", 20);
    img.file(docs, "a.txt", 21, 2048);
    orphan = img.file(TreeImage::kRoot, "late.bin", 30, 2048);
    Item& o = img.items[orphan];
    o.parent = -1;  // no directory of the tree names it
    o.file_type = 249;
    o.extents[0].loc = lb_addr{10, 2};
    img.finish();
    if (with_dir) later_directory(img, "late.bin", img.items[orphan].lbn, fid_uid);
    sm.load(img);
  }
  mdcudfsr_mount* m() { return sm.m(); }
};

const uint8_t* list_of(mdcudfsr_mount* m) { return reinterpret_cast<const uint8_t*>(m->salvage_file_info_list); }

TEST(CacheSalvage, CheckEfeRunBuildsTheOneEntryListOfTheLaterFile) {
  Salvage s;
  s.m()->mount_ext_flags |= MDCUDFSR_CHECK_EFE_FLAGS;
  s.m()->mntinfo.VolumeStatus = 0xFF;
  s.m()->mntinfo.MountStatus = 0x80000100;
  ASSERT_EQ(0, s.sm.init());
  EXPECT_TRUE(rec().logged("checkEFE End. unreferencedFile is exist"));
  const uint8_t* list = list_of(s.m());
  ASSERT_NE(nullptr, list);
  mdcudfsr_salvage_list_header h{};
  std::memcpy(&h, list, sizeof h);
  EXPECT_EQ(1u, h.count);
  EXPECT_EQ(8u + 24u + 3u * 2048u, h.length);
  mdcudfsr_salvage_file_info info{};
  std::memcpy(&info, list + 8, sizeof info);
  EXPECT_EQ(kDirLsn, info.fid_sector);
  EXPECT_LE(info.window_sector, kDirLsn);
  EXPECT_GT(info.window_sector + 32, kDirLsn);
  EXPECT_EQ(216u + 40u, info.fid_offset) << "the descriptor after the parent entry inside the directory's entry";
  EXPECT_EQ(0, info.has_stream);
  EXPECT_EQ(s.img.items[s.orphan].lbn + 4352u, info.fe_block);
  const uint8_t* blocks = list + 8 + 24;
  EXPECT_EQ(266, blocks[0] | blocks[1] << 8) << "the directory's entry";
  EXPECT_EQ(0, std::memcmp(blocks, blocks + 2048, 2048)) << "the block holding the descriptor is that entry";
  EXPECT_EQ(0, std::memcmp(blocks + 4096, s.img.block(s.img.items[s.orphan].lbn), 2048)) << "the file's entry";
  EXPECT_EQ(0x85 | (0xFF & 0x6A), s.m()->mntinfo.VolumeStatus);
  EXPECT_EQ(0u, s.m()->mntinfo.MountStatus);
  EXPECT_EQ(s.img.spec.medium_type, s.m()->mntinfo.MediumType);
}

TEST(CacheSalvage, NoDirectoryEntryNamesTheFileGives22) {
  Salvage s(31);  // the later directory names another id
  s.m()->mount_ext_flags |= MDCUDFSR_CHECK_EFE_FLAGS;
  ASSERT_EQ(0, s.sm.init());
  EXPECT_TRUE(rec().logged("checkEFE End. unreferencedFile is not exist (22)"));
  EXPECT_EQ(nullptr, s.m()->salvage_file_info_list);
}

TEST(CacheSalvage, CandidateNotNewerThanTheTreeGives9WithoutReadingTheDisc) {
  Salvage s;
  ASSERT_EQ(0, s.sm.init());
  mdcudfsr_mount* m = s.m();
  ASSERT_EQ(0, mdcudfsr_cache_local_cache_open(m, 3, nullptr));
  ASSERT_EQ(0, mdcudfsr_read_metadata_file(m, nullptr, 0));
  m->max_unique_id = 30;
  s.sm.sim().service().clear_transcript();
  EXPECT_EQ(9, mdcudfsr_unreferenced_file_search(m, 65536, s.img.items[s.orphan].lbn, nullptr, 0));
  EXPECT_EQ(0u, s.sm.reads_since_clear()) << "no READ(10)";
  EXPECT_EQ(nullptr, m->salvage_file_info_list);
  // A directory entry is no candidate either.
  m->max_unique_id = 0;
  EXPECT_EQ(9, mdcudfsr_unreferenced_file_search(m, 65536, s.img.items[1].lbn, nullptr, 0));
  // A block beyond the metadata file is refused.
  EXPECT_EQ(22, mdcudfsr_unreferenced_file_search(m, 65536, 40, nullptr, 0));
}

// Crafted descriptors in the window: lengths that reach past their block
// are not followed (run under the sanitizer).
TEST(CacheSalvage, DescriptorsReachingPastTheirBlockAreNotRead) {
  Salvage s(30, false);
  // A directory entry whose allocation descriptor length runs far past its block.
  later_directory(s.img, "late.bin", s.img.items[s.orphan].lbn, 30);
  uint8_t* at = s.img.medium.data() + size_t(kDirLsn) * 2048;
  put32(at + 212, 0xFFFFFF00u);
  mdcudfsr_set_udf_tag_crc_and_checksum(at, 2048);
  // A following block with a descriptor whose identifier length runs past it.
  uint8_t* next = at + 2048;
  std::vector<uint8_t> fid = s.img.make_fid(0, "late.bin", 5);
  put32(fid.data() + 32, 30);
  std::memcpy(next + 2048 - 40, fid.data(), 40);
  next[2048 - 40 + 19] = 250;
  ASSERT_EQ(0u, s.sm.sim().cartridge().write_blocks(0, kDirLsn, 2, at));
  s.m()->mount_ext_flags |= MDCUDFSR_CHECK_EFE_FLAGS;
  ASSERT_EQ(0, s.sm.init());
  EXPECT_EQ(nullptr, s.m()->salvage_file_info_list);
}

}  // namespace
