// The search for an unreferenced file on a volume of the simulated
// cartridge: a file whose entry lies in the metadata file but whose name
// only a directory written on the disc after the tree's state holds.
#include "support.h"
#include "support_flush.h"

#include "kelcache/cache_salvage.h"

#include <functional>
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
  explicit Salvage(uint32_t fid_uid = 30, bool with_dir = true,
                   const std::function<void(TreeImage&, int)>& extra = nullptr) {
    const int docs = img.dir(TreeImage::kRoot, "docs", 20);
    img.file(docs, "a.txt", 21, 2048);
    orphan = img.file(TreeImage::kRoot, "late.bin", 30, 2048);
    Item& o = img.items[orphan];
    o.parent = -1;  // no directory of the tree names it
    o.file_type = 249;
    o.extents[0].loc = lb_addr{10, 2};
    if (extra) extra(img, orphan);
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

// The salvage reader walks the candidate's hash attributes as the scan
// does, but each flaw is only a warning: the run and its list stay.
TEST(CacheSalvage, HashAttributesOfTheCandidateAreWalkedAndOnlyWarned) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;  // the attribute area
    const char* warning;                                 // none for sound attributes
  };
  const auto set_len = [](std::vector<uint8_t>& ea, uint32_t len) { std::memcpy(ea.data() + 24 + 8, &len, 4); };
  const Case cases[] = {
      {"sound", [](std::vector<uint8_t>&) {}, nullptr},
      {"length past the area", [&](std::vector<uint8_t>& ea) { set_len(ea, 4000); }, "Extended attribute is invalid."},
      {"length 0", [&](std::vector<uint8_t>& ea) { set_len(ea, 0); }, "Extended attribute is invalid."},
      {"wrong identifier", [](std::vector<uint8_t>& ea) { ea[24 + 17] = 'x'; }, "Invalid EA is exist."},
      {"wrong type", [](std::vector<uint8_t>& ea) { ea[24 + 4] = 2; }, "KELFS Hash EA is invalid."},
      {"broken header", [](std::vector<uint8_t>& ea) { ea[0] = 0x07; }, "Extended attribute header is invalid."},
  };
  const char* const warnings[] = {"Extended attribute is invalid.", "Invalid EA is exist.",
                                  "KELFS Hash EA is invalid.", "Extended attribute header is invalid."};
  for (const Case& c : cases) {
    rec().reset();
    Salvage s(30, true, [&](TreeImage& img, int f) {
      img.hash(f, 1, std::vector<uint8_t>(20, 7));
      img.hash(f, 2, std::vector<uint8_t>(32, 9));
      c.damage(img.items[f].ea);
    });
    s.m()->mount_ext_flags |= MDCUDFSR_CHECK_EFE_FLAGS;
    ASSERT_EQ(0, s.sm.init()) << c.what;
    for (const char* w : warnings)
      EXPECT_EQ(c.warning && std::string(c.warning) == w, rec().logged(w)) << c.what << ": " << w;
    EXPECT_TRUE(rec().logged("checkEFE End. unreferencedFile is exist")) << c.what;
    EXPECT_NE(nullptr, list_of(s.m())) << c.what << ": a flawed attribute does not stop the salvage";
  }
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

// ---------------------------------------------------------------- merge

#include "salvage_double.h"

namespace {

struct CacheFile {
  std::vector<uint8_t> data;
  uint32_t count = 0;
  // One entry: the parent's entry, a block with the descriptor at `off`, the file's entry.
  void add(const uint8_t* parent, const std::vector<uint8_t>& fid, uint16_t off, const uint8_t* file) {
    mdcudfsr_salvage_file_info info{};
    info.fid_offset = off;
    const size_t at = data.size();
    data.resize(at + 24 + 3 * 2048, 0);
    std::memcpy(data.data() + at, &info, sizeof info);
    std::memcpy(data.data() + at + 24, parent, 2048);
    if (off + fid.size() <= 2048) std::memcpy(data.data() + at + 24 + 2048 + off, fid.data(), fid.size());
    std::memcpy(data.data() + at + 24 + 4096, file, 2048);
    ++count;
  }
  std::vector<uint8_t> bytes(int32_t length_delta = 0) const {
    mdcudfsr_efe_cache_header h{};
    h.count = count;
    h.length = static_cast<uint32_t>(24 + data.size() + length_delta);
    h.crc = mdcudfsr_crc32(data.data(), data.size());
    std::vector<uint8_t> out(24);
    std::memcpy(out.data(), &h, 24);
    out.insert(out.end(), data.begin(), data.end());
    return out;
  }
};

std::vector<uint8_t> naming_fid(TreeImage& img, const char* name, uint32_t icb, uint32_t uid) {
  std::vector<uint8_t> fid = img.make_fid(0, name, icb);
  put32(fid.data() + 32, uid);
  mdcudfsr_set_udf_tag_crc_and_checksum(fid.data(), static_cast<uint32_t>(fid.size()));
  return fid;
}

struct MergeVol : Salvage {
  int docs = 1;
  MergeVol() : Salvage(30, false) {
    m()->mount_ext_flags |= MDCUDFSR_MERGE_EFE_FLAGS;
    efe_double() = EfeDouble{};
  }
  ~MergeVol() { efe_double() = EfeDouble{}; }
  const uint8_t* docs_entry() { return img.block(img.items[docs].lbn); }
  const uint8_t* late_entry() { return img.block(img.items[orphan].lbn); }
  uint32_t late_lbn() { return img.items[orphan].lbn; }
  void serve(const std::vector<uint8_t>& bytes) {
    efe_double().active = true;
    efe_double().bytes = bytes;
  }
  mdcudfsr_salvage_list_header header() {
    mdcudfsr_salvage_list_header h{};
    if (m()->salvage_file_info_list) std::memcpy(&h, m()->salvage_file_info_list, sizeof h);
    return h;
  }
};

TEST(CacheMerge, AgentWithoutEfeCacheFileLeavesNoListAndMarksTheRun) {
  MergeVol v;
  v.m()->mntinfo.VolumeStatus = 0xFF;
  v.m()->mntinfo.WriteProtectReasonFlags = 0;
  ASSERT_EQ(0, v.sm.init());
  EXPECT_TRUE(rec().logged("mdcudfsr_meta_cache_open error"));
  EXPECT_TRUE(rec().logged("mergeEFE success."));
  EXPECT_EQ(nullptr, v.m()->salvage_file_info_list);
  EXPECT_EQ((0xFF & 0x69) | 0x86, v.m()->mntinfo.VolumeStatus);
  EXPECT_EQ(0x20000u, v.m()->mntinfo.WriteProtectReasonFlags & 0x20000u);
  EXPECT_EQ(0u, v.m()->mntinfo.MountStatus);
}

TEST(CacheMerge, EntriesAreLinkedIntoTheTreeAndBadOnesSkipped) {
  MergeVol v;
  CacheFile f;
  const auto fid = naming_fid(v.img, "late.bin", v.late_lbn(), 30);
  // An entry whose parent is no directory of the tree, one whose descriptor
  // would leave block 1, then the good one.
  std::vector<uint8_t> stranger(v.late_entry(), v.late_entry() + 2048);
  f.add(stranger.data(), fid, 100, v.late_entry());
  f.add(v.docs_entry(), fid, 2040, v.late_entry());
  f.add(v.docs_entry(), fid, 100, v.late_entry());
  v.serve(f.bytes());
  ASSERT_EQ(0, v.sm.init());
  EXPECT_TRUE(rec().logged("parentDir is not exist."));
  EXPECT_TRUE(rec().logged("SalvageFileInfo[1] is Invalid. err=22"));
  mdcudfsr_cache_node* docs = v.sm.child(v.m()->root_node, "docs");
  ASSERT_NE(nullptr, docs);
  mdcudfsr_cache_node* late = v.sm.child(docs, "late.bin");
  ASSERT_NE(nullptr, late);
  EXPECT_EQ(30u, mdcudfsr_node_unique_id(late));
  EXPECT_EQ(v.late_lbn(), late->udf_data->efe_loc);
  EXPECT_EQ(2048u, mdcudfsr_cache_get_file_size(late));
  EXPECT_EQ("", check_uid_tree(docs));
  const auto h = v.header();
  EXPECT_EQ(1u, h.count);
  EXPECT_EQ(8u + 24u + 3 * 2048u, h.length);
  EXPECT_EQ(1, efe_double().opened);
  EXPECT_EQ(1, efe_double().closed);
}

TEST(CacheMerge, AFileAlreadyInTheTreeIsNotMergedTwice) {
  MergeVol v;
  CacheFile f;
  const auto fid = naming_fid(v.img, "late.bin", v.late_lbn(), 30);
  f.add(v.docs_entry(), fid, 100, v.late_entry());
  f.add(v.docs_entry(), naming_fid(v.img, "again.bin", v.late_lbn(), 30), 100, v.late_entry());
  v.serve(f.bytes());
  ASSERT_EQ(0, v.sm.init());
  EXPECT_TRUE(rec().logged("taget uniqueID is already exist."));
  EXPECT_EQ(1u, v.header().count);
  EXPECT_EQ(nullptr, v.sm.child(v.sm.child(v.m()->root_node, "docs"), "again.bin"));
}

TEST(CacheMerge, BrokenFilesGive22OrNothing) {
  struct Case {
    const char* what;
    int32_t length_delta;
    bool break_crc;
    bool empty;
    bool list;
  };
  for (const Case& c : {Case{"crc", 0, true, false, false}, Case{"length beyond the file", 4096, false, false, false},
                        Case{"empty file", 0, false, true, false}}) {
    MergeVol v;
    CacheFile f;
    f.add(v.docs_entry(), naming_fid(v.img, "late.bin", v.late_lbn(), 30), 100, v.late_entry());
    std::vector<uint8_t> bytes = c.empty ? std::vector<uint8_t>{} : f.bytes(c.length_delta);
    if (c.break_crc) bytes[100] ^= 1;
    v.serve(bytes);
    ASSERT_EQ(0, v.sm.init()) << c.what;
    EXPECT_EQ(c.list, v.m()->salvage_file_info_list != nullptr) << c.what;
    EXPECT_EQ(nullptr, v.sm.child(v.sm.child(v.m()->root_node, "docs"), "late.bin")) << c.what;
    if (!c.empty) { EXPECT_TRUE(rec().logged("mergeEFE failed err=22")) << c.what; }
  }
}

TEST(CacheMerge, ZeroEntriesLeaveAnEmptyList) {
  MergeVol v;
  CacheFile f;
  v.serve(f.bytes());
  ASSERT_EQ(0, v.sm.init());
  ASSERT_NE(nullptr, v.m()->salvage_file_info_list);
  EXPECT_EQ(0u, v.header().count);
  EXPECT_EQ(8u, v.header().length);
}

// Counts and lengths that reach past the data part are not followed.
TEST(CacheMerge, CraftedCountsReadNothingBeyondTheData) {
  MergeVol v;
  CacheFile f;
  f.add(v.docs_entry(), naming_fid(v.img, "late.bin", v.late_lbn(), 30), 100, v.late_entry());
  f.count = 50;
  std::vector<uint8_t> bytes = f.bytes();
  // The entry claims 65535 allocation extent descriptors.
  bytes[24 + 20] = 0xFF;
  bytes[24 + 21] = 0xFF;
  mdcudfsr_efe_cache_header h{};
  std::memcpy(&h, bytes.data(), 24);
  h.crc = mdcudfsr_crc32(bytes.data() + 24, bytes.size() - 24);
  std::memcpy(bytes.data(), &h, 24);
  v.serve(bytes);
  ASSERT_EQ(0, v.sm.init());
  EXPECT_TRUE(rec().logged("EFECacheFile TotalLength may be an invalid value."));
  EXPECT_EQ(0u, v.header().count);
}

}  // namespace

namespace {

// A candidate without data: the search starts after the data of the node
// that follows, in tree order, the regular file with the highest unique id.
struct Empty {
  TreeImage img;
  SimMount sm;
  int orphan;
  explicit Empty(bool follower) {
    const int d = img.dir(TreeImage::kRoot, "d", 20);
    const int top = img.file(d, "top.bin", 25, 2048);  // the highest regular file
    img.items[top].extents[0].loc = lb_addr{8, 2};
    if (follower) {
      const int g = img.file(TreeImage::kRoot, "g.bin", 21, 2048);  // after "d" in the root
      img.items[g].extents[0].loc = lb_addr{60, 2};
    }
    orphan = img.file(TreeImage::kRoot, "late.bin", 30, 0);
    img.items[orphan].parent = -1;
    img.items[orphan].file_type = 249;
    img.finish();
    later_directory(img, "late.bin", img.items[orphan].lbn, 30);
    sm.load(img);
    sm.m()->mount_ext_flags |= MDCUDFSR_CHECK_EFE_FLAGS;
  }
};

TEST(CacheSalvage, EmptyCandidateSearchesAfterTheFollowerOfTheNewestFile) {
  Empty e(true);
  ASSERT_EQ(0, e.sm.init());
  ASSERT_NE(nullptr, e.sm.m()->salvage_file_info_list);
  mdcudfsr_salvage_file_info info{};
  std::memcpy(&info, reinterpret_cast<const uint8_t*>(e.sm.m()->salvage_file_info_list) + 8, sizeof info);
  EXPECT_GE(info.window_sector, 4096u + 60 + 1) << "after g.bin's data";
  EXPECT_EQ(kDirLsn, info.fid_sector);
}

TEST(CacheSalvage, EmptyCandidateWithoutAFollowerEndsWith22) {
  Empty e(false);
  ASSERT_EQ(0, e.sm.init());
  EXPECT_TRUE(rec().logged("file is not exist."));
  EXPECT_TRUE(rec().logged("checkEFE End. unreferencedFile is not exist (22)"));
  EXPECT_EQ(nullptr, e.sm.m()->salvage_file_info_list);
}

}  // namespace

namespace {

// An entry with a stream: the five blocks and the stream mark.
void add_with_stream(CacheFile& f, const uint8_t* parent, const std::vector<uint8_t>& fid, const uint8_t* file,
                     const uint8_t* sd, const uint8_t* sf) {
  f.add(parent, fid, 100, file);
  const size_t at = f.data.size() - (24 + 3 * 2048);
  f.data[at + 14] = 1;
  f.data.insert(f.data.end(), sd, sd + 2048);
  f.data.insert(f.data.end(), sf, sf + 2048);
}

struct StreamVol {
  TreeImage img;
  SimMount sm;
  int orphan, stream, second;
  explicit StreamVol(bool stream_bit) {
    img.dir(TreeImage::kRoot, "docs", 20);
    orphan = img.file(TreeImage::kRoot, "late.bin", 30, 2048);
    img.items[orphan].parent = -1;
    img.items[orphan].file_type = 249;
    stream = img.parity(orphan, "*ECC_Parity_V100_N=2064_K=2048", 1024);
    if (!stream_bit) img.items[stream].icb_flags = 1;
    second = img.file(TreeImage::kRoot, "next.bin", 31, 2048);
    img.items[second].parent = -1;
    img.items[second].file_type = 249;
    img.finish();
    sm.load(img);
    sm.m()->mount_ext_flags |= MDCUDFSR_MERGE_EFE_FLAGS;
    efe_double() = EfeDouble{};
    CacheFile f;
    const uint8_t* docs = img.block(img.items[1].lbn);
    add_with_stream(f, docs, naming_fid(img, "late.bin", img.items[orphan].lbn, 30), img.block(img.items[orphan].lbn),
                    img.block(img.items[stream - 1].lbn), img.block(img.items[stream].lbn));
    f.add(docs, naming_fid(img, "next.bin", img.items[second].lbn, 31), 100, img.block(img.items[second].lbn));
    efe_double().active = true;
    efe_double().bytes = f.bytes();
  }
  ~StreamVol() { efe_double() = EfeDouble{}; }
  mdcudfsr_cache_node* docs() { return sm.child(sm.m()->root_node, "docs"); }
  uint32_t count() {
    mdcudfsr_salvage_list_header h{};
    std::memcpy(&h, sm.m()->salvage_file_info_list, sizeof h);
    return h.count;
  }
};

TEST(CacheMerge, ParityStreamBecomesAHiddenParityNode) {
  StreamVol v(true);
  ASSERT_EQ(0, v.sm.init());
  mdcudfsr_cache_node* late = v.sm.child(v.docs(), "late.bin");
  ASSERT_NE(nullptr, late);
  ASSERT_NE(nullptr, late->parity_node);
  mdcudfsr_cache_node* p = mdcudfsr_cnp(late->parity_node);
  EXPECT_STREQ("late.bin#*ECC_Parity_V100_N=2064_K=2048", p->vfs_name);
  EXPECT_EQ(late, p->stream_owner);
  EXPECT_EQ(MDCUDFSR_FILE_FLAG_HIDDEN, p->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN);
  EXPECT_EQ(p, v.sm.child(v.docs(), "late.bin#*ECC_Parity_V100_N=2064_K=2048"));
  EXPECT_EQ(1024u, mdcudfsr_cache_get_file_size(p));
  EXPECT_EQ(2u, v.count());
  EXPECT_NE(nullptr, v.sm.child(v.docs(), "next.bin"));
}

// A stream without the stream bit drops only its parity node: the file it
// belongs to stays merged and listed, and the merge goes on.
TEST(CacheMerge, UnusableStreamDropsOnlyItsParityNode) {
  StreamVol v(false);
  ASSERT_EQ(0, v.sm.init());
  EXPECT_TRUE(rec().logged("Named Stream Invalid flags"));
  mdcudfsr_cache_node* late = v.sm.child(v.docs(), "late.bin");
  ASSERT_NE(nullptr, late);
  EXPECT_EQ(nullptr, late->parity_node);
  EXPECT_EQ(nullptr, v.sm.child(v.docs(), "late.bin#*ECC_Parity_V100_N=2064_K=2048"));
  EXPECT_NE(nullptr, v.sm.child(v.docs(), "next.bin"));
  EXPECT_EQ(2u, v.count()) << "the list names every file linked into the tree";
}

}  // namespace
