// File set descriptor checks and flushes; path components of symbolic links.
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_fsd.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_path.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

class Fsd : public ::testing::Test {
 protected:
  void SetUp() override { img.load(MediumClass::WriteOnce); }
  mdcudfsr_mount* m() { return img.mnt.get(); }
  // The descriptor's two blocks, optionally edited (host order) and resealed.
  std::vector<uint8_t> blocks() {
    std::vector<uint8_t> raw(2 * B);
    std::memcpy(raw.data(), img.metadata_block(0), B);
    std::memcpy(raw.data() + B, img.metadata_block(1), B);
    return raw;
  }
  template <class F>
  std::vector<uint8_t> edited(F f) {
    auto raw = blocks();
    fileset_desc d;
    std::memcpy(&d, raw.data(), sizeof d);
    mdcudfsr_swap_le2host_fileset_desc(&d);
    f(d);
    mdcudfsr_swap_host2le_fileset_desc(&d);
    std::memcpy(raw.data(), &d, sizeof d);
    mdcudfsr_set_udf_tag_crc_and_checksum(raw.data(), 512);
    return raw;
  }
  MountedImage img;
  fileset_desc fsd{};
};

TEST_F(Fsd, ReadChecks) {
  struct Case {
    const char* what;
    std::function<void(fileset_desc&)> edit;
    int result;
    bool read_only;
  } cases[] = {
      {"as built", [](fileset_desc&) {}, 0, false},
      {"interchange 2", [](fileset_desc& d) { d.ichg_lvl = 2; }, 0, true},
      {"max interchange 2", [](fileset_desc& d) { d.max_ichg_lvl = 2; }, 0, true},
      {"root length 0", [](fileset_desc& d) { d.rootdir_icb.len = 0; }, 0, true},
      {"stream directory", [](fileset_desc& d) { d.streamdir_icb.len = B; }, 0, true},
      {"wrong tag", [](fileset_desc& d) { d.tag.id = 257; }, 22, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    img.load(MediumClass::WriteOnce);
    auto raw = edited(c.edit);
    EXPECT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), c.result);
    EXPECT_EQ((m()->mntinfo.WriteProtectReasonFlags & WRPROT_READONLY) != 0, c.read_only || c.result == 22);
  }
}

TEST_F(Fsd, SecondDescriptorOrNoTerminatorRefuses) {
  auto raw = blocks();
  std::memcpy(raw.data() + B, raw.data(), B);
  EXPECT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), 22);
  EXPECT_TRUE(env().logged("Second FSD.\n"));
  std::memset(raw.data() + B, 0, B);
  EXPECT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), 22);
  EXPECT_TRUE(env().logged("FSD is not terminated with TD\n"));
  raw = blocks();
  raw[100] ^= 1;
  EXPECT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), 22);
  EXPECT_TRUE(env().logged("Tag CRC is Invalid. \n"));
  EXPECT_EQ(m()->mntinfo.MountStatus, MNTINFO_RULES_BROKEN);
}

// A failing agent write is the stand-in's (real_efe_fsd_test.cpp has the
// relocated flush into the real agent's file).
TEST_F(Fsd, CacheFailureIsTheResultWhenTheCacheFileIsTheOnlyCopy) {
  auto raw = blocks();
  ASSERT_EQ(mdcudfsr_read_file_set_desc(m(), raw.data(), &fsd, nullptr), 0);
  m()->fsd_relocation = 1;
  m()->fsmanage_handle = 1;
  env().cache_write_result = 5;
  EXPECT_EQ(mdcudfsr_flush_file_set_desc(m(), &fsd, nullptr), 5);
  EXPECT_EQ(env().count_calls("write_lb"), 0u);
  EXPECT_EQ(m()->fsmanage_handle, -1);
}

TEST_F(Fsd, NoMetadataSpaceLeavesTheLogicalVolumeDescriptorAlone) {
  m()->metadata_block_count = 0xFFFFFFFFu;
  const long_ad before = m()->vds.lvd.fsd_loc;
  EXPECT_EQ(mdcudfsr_flush_file_set_desc(m(), &fsd, nullptr), 28);
  EXPECT_EQ(std::memcmp(&before, &m()->vds.lvd.fsd_loc, sizeof before), 0);
}

// ---------------------------------------------------------------- path components

struct StoredLink {
  mdcudfsr_udf_node_fields node;
  mdcudfsr_udf_data data;
  std::vector<uint8_t> block = std::vector<uint8_t>(B, 0);
  StoredLink() { node.udf_data = &data; }
  ~StoredLink() { std::free(node.symlink_target); }
  void store(const uint8_t* comps, uint32_t len) {
    data.efe.l_ad = len;
    std::memcpy(block.data() + 216, comps, len);
  }
};

TEST(PathComponents, SizeWriteAndReadBack) {
  env().reset(1);
  struct Case {
    const char* target;
    uint32_t size;
    const char* normalised;
    const char* read_back;
  } cases[] = {
      {"/usr//lib/", 4 + 8 + 8, "/usr/lib", "/usr/lib"},
      {"../x/./y", 4 + 6 + 4 + 6, "../x/./y", "../x/./y"},
      {"", 0, "", ""},
      {"a\xE2\x82\xAC", 4 + 5, "a\xE2\x82\xAC", "a\xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    uint32_t len = 99;
    std::vector<char> norm(std::strlen(c.target) + 1);
    ASSERT_EQ(mdcudfsr_inquiry_path_component(c.target, &len, norm.data()), 0);
    EXPECT_EQ(len, c.size);
    EXPECT_STREQ(norm.data(), c.normalised);
    uint8_t out[512];
    ASSERT_EQ(mdcudfsr_create_path_component(c.target, out, sizeof out), c.size);
    StoredLink link;
    link.store(out, c.size);
    ASSERT_EQ(mdcudfsr_reverse_lookup_path_component(&link.node, link.block.data(), B), 0);
    EXPECT_STREQ(link.node.symlink_target, c.read_back);
  }
  // A parent component comes first for "../x".
  uint8_t out[64];
  ASSERT_EQ(mdcudfsr_create_path_component("../x", out, sizeof out), 4u + 6u);
  EXPECT_EQ(out[0], 3);
  EXPECT_EQ(out[4], 5);
}

TEST(PathComponents, UnknownTypesAreSkippedAndBoundsAreKept) {
  env().reset(1);
  const uint8_t comps[] = {2, 0, 0, 0, 9, 1, 0, 0, 'z', 5, 2, 0, 0, 8, 'a'};
  StoredLink link;
  link.store(comps, sizeof comps);
  ASSERT_EQ(mdcudfsr_reverse_lookup_path_component(&link.node, link.block.data(), B), 0);
  EXPECT_STREQ(link.node.symlink_target, "/a");
  // A component whose identifier crosses the descriptor area.
  const uint8_t crossing[] = {5, 200, 0, 0, 8, 'a'};
  link.store(crossing, sizeof crossing);
  EXPECT_EQ(mdcudfsr_reverse_lookup_path_component(&link.node, link.block.data(), B), 22);
  EXPECT_EQ(link.node.symlink_target, nullptr);
  // An area larger than the block.
  link.data.efe.l_ad = B;
  EXPECT_EQ(mdcudfsr_reverse_lookup_path_component(&link.node, link.block.data(), B), 22);
  // Components that do not fit the output area are not written.
  uint8_t small[8];
  EXPECT_EQ(mdcudfsr_create_path_component("/abcdef", small, sizeof small), 0u);
  EXPECT_EQ(mdcudfsr_reverse_lookup_path_component(nullptr, link.block.data(), B), 22);
  EXPECT_EQ(mdcudfsr_reverse_lookup_path_component(&link.node, nullptr, B), 22);
  uint32_t len = 0;
  EXPECT_EQ(mdcudfsr_inquiry_path_component(nullptr, &len, nullptr), 22);
}

}  // namespace
