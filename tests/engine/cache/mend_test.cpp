// What the scan refuses before it reads outside a buffer or hangs: hash
// attributes out of bounds, stream directories that leave the metadata
// image or their area, self-pointing allocation extent descriptor chains;
// parity identifiers on F2h media, the parity-overlap file, the checkEFE
// bitmap.
#include "support.h"
#include "support_tree.h"

#include "udf/udf_efe.h"
#include "udf/udf_extent.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <functional>

using namespace cache_test;

namespace {

constexpr const char* kParity2048 = "*ECC_Parity_V100_N=2064_K=2048";

struct Mounted {
  TreeImage img;
  int f = 0;
  SimMount sm;
  int result = -1;
  explicit Mounted(const std::function<void(Mounted&)>& build,
                   udf_test::MediumClass cls = udf_test::MediumClass::WriteOnce, uint32_t ext_flags = 0)
      : img(cls) {
    f = img.file(TreeImage::kRoot, "f", 20, 2048);
    build(*this);
    img.finish();
    sm.load(img);
    sm.m()->mount_ext_flags = ext_flags;
    result = sm.init();
  }
  mdcudfsr_cache_node* node() { return sm.child(sm.m()->root_node, "f"); }
};

void set_attr_length(Mounted& x, uint32_t len) {
  std::memcpy(x.img.items[x.f].ea.data() + 24 + 8, &len, 4);
}

}  // namespace

TEST(CacheMend, HashAttributesOutOfBoundsEndTheWalk) {
  struct Case {
    const char* what;
    std::function<void(Mounted&)> damage;
  };
  const Case cases[] = {
      {"length 0", [](Mounted& x) { set_attr_length(x, 0); }},
      {"length past the area", [](Mounted& x) { set_attr_length(x, 4000); }},
      {"shorter than the hash header", [](Mounted& x) { set_attr_length(x, 20); }},
      {"area cut inside the attribute header", [](Mounted& x) { x.img.items[x.f].ea.resize(24 + 8); }},
  };
  for (const Case& c : cases) {
    Mounted x([&](Mounted& m) {
      m.img.hash(m.f, 1, std::vector<uint8_t>(20, 7));
      c.damage(m);
    });
    EXPECT_EQ(0, x.result) << c.what;
    ASSERT_NE(nullptr, x.node()) << c.what;
    EXPECT_TRUE(x.node()->hash_ea_list.empty()) << c.what;
    EXPECT_TRUE(rec().logged("Extended attribute is invalid.")) << c.what;
    EXPECT_EQ(0x80000100u, x.sm.m()->mntinfo.MountStatus) << c.what;
    EXPECT_EQ(0x80000u, x.sm.m()->mntinfo.WriteProtectReasonFlags & 0x80000u) << c.what;
  }
}

TEST(CacheMend, TwoHashAttributesAreKeptAndWarned) {
  Mounted x([](Mounted& m) {
    m.img.hash(m.f, 1, std::vector<uint8_t>(20, 7));
    m.img.hash(m.f, 2, std::vector<uint8_t>(32, 9));
  });
  EXPECT_EQ(0, x.result);
  ASSERT_EQ(2u, x.node()->hash_ea_list.size());
  EXPECT_EQ(2u, x.node()->hash_ea_list[1].kind);
  EXPECT_EQ(std::vector<uint8_t>(32, 9), x.node()->hash_ea_list[1].hash);
  EXPECT_TRUE(rec().logged("Multiple KELFS Hash EAs are included."));
}

TEST(CacheMend, StreamDirectoryOutsideTheImageOrItsAreaIsRefused) {
  struct Case {
    const char* what;
    std::function<void(Mounted&, int)> damage;  // given the stream directory item
  };
  const Case cases[] = {
      {"extent of 1 GiB", [](Mounted& m, int sd) {
         Item& it = m.img.items[sd];
         it.dir_in_extent = true;
         it.raw_ads = true;
         it.file_type = UDF_FILE_TYPE_STREAMDIR;
         // A short AD whose extent reaches far past the 64 KiB image.
         it.icb_flags = UDF_AD_SHORT;
         short_ad ad{0x3FFFF800u, 3};
         it.data.assign(reinterpret_cast<uint8_t*>(&ad), reinterpret_cast<uint8_t*>(&ad) + sizeof ad);
         it.fids.clear();
       }},
      {"FID crossing the area", [](Mounted& m, int sd) { m.img.items[sd].cut = 8; }},
      {"FID with a bad CRC", [](Mounted& m, int sd) { m.img.items[sd].fids[1][20] ^= 1; }},
  };
  for (const Case& c : cases) {
    Mounted x([&](Mounted& m) {
      m.img.parity(m.f, kParity2048, 512);
      c.damage(m, m.img.streams[0]);
    });
    EXPECT_EQ(0, x.result) << c.what;
    ASSERT_NE(nullptr, x.node()) << c.what;
    EXPECT_EQ(nullptr, x.node()->parity_node) << c.what;
    EXPECT_EQ(0x80000500u, x.sm.m()->mntinfo.MountStatus) << c.what;
  }
}

// The image writes short ADs of the stream directory as raw data: the
// writer keeps raw data of a stream directory only through raw_ads.
TEST(CacheMend, SelfPointingDescriptorChainEndsWithTheEntryDamaged) {
  Mounted x([](Mounted& m) {
    Item& f = m.img.items[m.f];
    const uint32_t aed = m.img.alloc();
    long_ad data{};
    data.len = 2048;
    data.loc = lb_addr{300, 1};
    long_ad next{};
    next.len = EXTENT_MAKE(2048, EXTENT_FLAGS_NEXT_EXTENT);
    next.loc = lb_addr{aed, 0};
    f.extents = {data, next};
    f.inf_len = 4096;
    // The descriptor block: one more extent and a pointer to itself.
    uint8_t* b = m.img.block(aed);
    alloc_ext_desc h{};
    h.tag.id = 258;
    h.tag.descriptor_ver = 3;
    h.tag.tag_loc = aed;
    h.l_ad = 2 * sizeof(long_ad);
    long_ad more = data;
    more.loc.lb_num = 400;
    std::memcpy(b, &h, sizeof h);
    std::memcpy(b + 24, &more, sizeof more);
    std::memcpy(b + 40, &next, sizeof next);
    mdcudfsr_set_udf_tag_crc_and_checksum(b, 24 + 32);
  });
  EXPECT_EQ(0, x.result);
  mdcudfsr_cache_node* f = x.node();
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(0, f->udf_data->ad_writable);
  EXPECT_EQ(MNTINFO_ENTRY_DAMAGED, x.sm.m()->mntinfo.MountStatus);
  EXPECT_TRUE(rec().logged("AED chain loops or is too long"));
  // No pointer is left at the end of the list.
  ASSERT_NE(nullptr, f->udf_data->extents.last);
  EXPECT_NE(EXTENT_FLAGS_NEXT_EXTENT, EXTENT_FLAGS(f->udf_data->extents.last->extent.len));
  ASSERT_NE(nullptr, f->udf_data->aed_info);
  EXPECT_EQ(1u, f->udf_data->aed_info->count);
}

TEST(CacheMend, ParityIdentifierOnF2Media) {
  {
    Mounted x([](Mounted& m) { m.img.parity(m.f, kParity2048, 512); }, udf_test::MediumClass::F2);
    EXPECT_EQ(22, x.result);
    EXPECT_TRUE(rec().logged("Parity stream_name NG"));
    EXPECT_EQ(0x80000020u, x.sm.m()->mntinfo.MountStatus);
  }
  {
    Mounted x([](Mounted& m) { m.img.parity(m.f, "*ECC_Parity_V100_N=516_K=512", 512); },
              udf_test::MediumClass::F2);
    EXPECT_EQ(0, x.result);
    mdcudfsr_cache_node* f = x.node();
    ASSERT_NE(nullptr, f);
    // The parity stream lives on as the file's parity information.
    EXPECT_EQ(nullptr, f->parity_node);
    ASSERT_NE(nullptr, f->parity_info);
    EXPECT_EQ(nullptr, x.sm.child(x.sm.m()->root_node, "f#*ECC_Parity_V100_N=516_K=512"));
  }
}

TEST(CacheMend, ParityOverlapFileIsFound) {
  Mounted x([](Mounted& m) {
    Item& f = m.img.items[m.f];
    long_ad e1{}, last{};
    e1.len = 32 * 2048;
    e1.loc = lb_addr{5000, 1};
    last.len = 15872 * 2048;
    last.loc = lb_addr{10000, 1};
    f.extents = {e1, last};
    f.inf_len = uint64_t(e1.len) + last.len;
    const int st = m.img.parity(m.f, kParity2048, 0);
    Item& p = m.img.items[st];
    long_ad lop{}, lp{};
    lop.len = 544 * 2048;
    lop.loc = lb_addr{9808, 1};
    lp.len = 160 * 2048;
    lp.loc = lb_addr{10000 + 15872 + 352, 1};
    p.extents = {lop, lp};
    p.inf_len = uint64_t(lop.len) + lp.len;
  });
  EXPECT_EQ(0, x.result);
  mdcudfsr_cache_node* f = x.node();
  ASSERT_NE(nullptr, f);
  EXPECT_TRUE(rec().logged("find PXO4666"));
  EXPECT_EQ(32u, f->recover_start_blk);
  EXPECT_EQ(352u, f->recover_blk_count);
  EXPECT_EQ(20u, x.sm.m()->max_overlap_unique_id);
}

TEST(CacheMend, CheckEfeFindsTheFirstBlockTheTreeDoesNotUse) {
  struct Case {
    int extra_files;
    uint32_t expected;
  };
  // Blocks 0-2 (descriptor, terminator, root) and 3 ("f") are used; each
  // file takes the next block. 28 more fill the 32-block file.
  const Case cases[] = {{0, 4}, {8, 12}, {28, 0}};
  for (const Case& c : cases) {
    Mounted x(
        [&](Mounted& m) {
          for (int i = 0; i < c.extra_files; ++i) m.img.file(TreeImage::kRoot, "x" + std::to_string(i), 30 + i, 0);
        },
        udf_test::MediumClass::WriteOnce, MDCUDFSR_CHECK_EFE_FLAGS);
    EXPECT_EQ(0, x.result);
    EXPECT_TRUE(rec().logged("checkEFE first unreferenced block " + std::to_string(c.expected) + "\n"))
        << c.extra_files;
    EXPECT_EQ(nullptr, x.sm.m()->check_efe_bitmap);
  }
}

// A parity stream whose name a file of the directory already has, read
// read-only: it is left out and released (the fixture counts the heap).
TEST(CacheMend, ParityNameTakenUnderReadOnlyIsReleased) {
  TreeImage img;
  img.file(TreeImage::kRoot, std::string("f#") + kParity2048, 30, 2048);
  const int f = img.file(TreeImage::kRoot, "f", 20, 2048);
  const int st = img.parity(f, kParity2048, 512);
  img.items[st].file_type = 8;  // usable read-only
  img.finish();
  SimMount sm;
  sm.load(img);
  EXPECT_EQ(0, sm.init());
  mdcudfsr_cache_node* file = sm.child(sm.m()->root_node, "f");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(nullptr, file->parity_node);
  mdcudfsr_cache_node* other = sm.child(sm.m()->root_node, std::string("f#") + kParity2048);
  ASSERT_NE(nullptr, other);
  EXPECT_EQ(30u, other->objid);
}
