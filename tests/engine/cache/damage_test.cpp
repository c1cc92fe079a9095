// Damaged volumes, one image per row: what the scan logs, what it sets in
// the mount information, what it returns and which nodes the tree holds.
#include "support.h"
#include "support_tree.h"

#include <functional>

using namespace cache_test;

namespace {

// Root: file "f" (uid 20), directory "d" (uid 21) holding file "g" (uid 22).
struct Base {
  TreeImage img;
  int f, d, g;
  explicit Base(udf_test::MediumClass cls = udf_test::MediumClass::WriteOnce) : img(cls) {
    f = img.file(TreeImage::kRoot, "f", 20, 2048);
    d = img.dir(TreeImage::kRoot, "d", 21);
    g = img.file(d, "g", 22, 2048);
  }
};

struct Row {
  const char* what;
  std::function<void(Base&)> damage;
  int result;
  const char* log;          // a line the scan writes ("" none asked)
  uint32_t status;          // mount status afterwards
  bool f_listed;            // "f" in the tree
  bool g_listed = true;     // "g" in the tree (the scan went on)
  uint32_t ext_flags = 0;
  const char* absent_log = nullptr;
};

std::vector<uint8_t> fid_of(Base& b, uint8_t chars, const char* name, uint8_t cid = 8) {
  return b.img.make_fid(chars, name, b.img.items[b.f].lbn, cid);
}

const Row kRows[] = {
    {"FIDs end early", [](Base& b) { b.img.items[0].inf_len_delta = 20; }, 0, "FID length is invalid.", 0x80000500,
     true},
    {"compression 254", [](Base& b) { b.img.items[0].fids.push_back(fid_of(b, 0, "x", 254)); }, 0,
     "Wrong Compression ID. do Read Only.", 0x80000100, true},
    {"compression 254 deleted", [](Base& b) { b.img.items[0].fids.push_back(fid_of(b, 0x04, "x", 254)); }, 0, "", 0,
     true, true, 0, "Wrong Compression ID"},
    // Identifiers added here stand before "f" and "d" in the root.
    {"compression 7", [](Base& b) { b.img.items[0].fids.push_back(fid_of(b, 0, "x", 7)); }, 22, "", 0x80000100, false,
     false},
    {"duplicate name", [](Base& b) { b.img.items[0].fids.push_back(fid_of(b, 0, "F")); }, 30,
     "Non-unique filename(f) for new node, mounting read only", 0x80000100, true},
    {"unreadable entry", [](Base& b) { b.img.items[b.f].written = false; }, 0, "", 0x80000500, false},
    {"file type 6", [](Base& b) { b.img.items[b.f].file_type = 6; }, 0, "ICB Tag File Type(6) is not Suported.",
     0x80000100, false},
    {"file type 8", [](Base& b) { b.img.items[b.f].file_type = 8; }, 30, "ICB Tag File Type(8) is not Suported.",
     0x80000100, true},
    {"file type 9", [](Base& b) { b.img.items[b.f].file_type = 9; }, 0, "ICB Tag File Type(9) is not Suported.",
     0x80000100, true},
    {"FID says directory over a file", [](Base& b) { b.img.items[b.f].file_char = UDF_FILE_CHAR_DIR; }, 0,
     "ICB tag is invalid. dirname=<Root>", 0x80000500, false},
    {"metadata bit", [](Base& b) { b.img.items[b.f].file_char = 0x10; }, 22,
     "fidp->file_char indicates Stream metadata, mount RO", 0x80000100, false, false},
    {"strategy 5", [](Base& b) { b.img.items[b.f].strategy = 5; }, 22, "ICB Tag Strategy Type(5) is not valid.",
     0x80000100, false, false},
    {"extents longer", [](Base& b) { b.img.items[b.f].inf_len = 100; b.img.items[b.f].extents[0].len = 8192; }, 0,
     "PXO-5539 workaround", 0, true},
    {"extents shorter", [](Base& b) { b.img.items[b.f].inf_len = 8192; }, 0, "make READ_ONLY", 0x80000500, true},
    {"no scan below the root", [](Base&) {}, 0, "", 0, false, false, MDCUDFSR_MNT_EXT_NO_SCAN},
    {"unique id 1", [](Base& b) { b.img.items[b.f].unique_id = 1; }, 0, "cannot be listed", 0x80000500, false},
    {"unique id 2^63", [](Base& b) { b.img.items[b.f].unique_id = 1ull << 63; }, 0, "cannot be listed", 0x80000500,
     false},
    {"empty name", [](Base& b) { b.img.items[0].fids.push_back(fid_of(b, 0, "")); }, 0,
     "new_vfs_name is invalid. do Read Only.", 0x80000100, true},
    {"name ..", [](Base& b) { b.img.items[0].fids.push_back(fid_of(b, 0, "..")); }, 0,
     "new_vfs_name is invalid. do Read Only.", 0x80000100, true},
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.what; }

class Damage : public ::testing::TestWithParam<Row> {};

}  // namespace

TEST_P(Damage, ScanAnswersAsThePartSays) {
  const Row& r = GetParam();
  Base b;
  r.damage(b);
  b.img.finish();
  SimMount sm;
  sm.load(b.img);
  sm.m()->mount_ext_flags = r.ext_flags;
  EXPECT_EQ(r.result, sm.init()) << r.what;
  mdcudfsr_cache_node* root = sm.m()->root_node;
  ASSERT_NE(nullptr, root);
  if (r.log[0]) { EXPECT_TRUE(rec().logged(r.log)) << r.what; }
  if (r.absent_log) { EXPECT_FALSE(rec().logged(r.absent_log)) << r.what; }
  EXPECT_EQ(r.status, sm.m()->mntinfo.MountStatus) << r.what;
  EXPECT_EQ(r.f_listed, sm.child(root, "f") != nullptr) << r.what;
  mdcudfsr_cache_node* d = sm.child(root, "d");
  EXPECT_EQ(r.g_listed, d && sm.child(d, "g")) << r.what;
  EXPECT_EQ("", check_uid_tree(root));
}

INSTANTIATE_TEST_SUITE_P(Rows, Damage, ::testing::ValuesIn(kRows));

TEST(DamageFsd, FewerThanTwoBlocksBehindTheDescriptorFail) {
  Base b;
  b.img.finish();
  SimMount sm;
  sm.load(b.img);
  sm.m()->fsd_loc = 31;  // one block of the 32-block metadata file left
  EXPECT_EQ(22, sm.init());
  EXPECT_TRUE(rec().logged("FSD cannot readable, offset(63488), size(65536)"));
  EXPECT_EQ(0x80000100u, sm.m()->mntinfo.MountStatus);
  EXPECT_EQ(nullptr, sm.m()->root_node);
  // A block number whose offset wraps below the size is refused as well.
  sm.m()->fsd_loc = 0xFFFFFFFFu;
  EXPECT_EQ(22, sm.init());
}
