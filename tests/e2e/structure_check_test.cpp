// The after-scenario check of the slot images must refuse what the UDF
// code's structure rules refuse: a logical volume descriptor whose map
// after the metadata partition map (64 bytes at 440) is not of type 1, in
// both descriptor sequences.
#include "scenario_support.h"
#include "vds_structure.h"

#include <gtest/gtest.h>

#include <cstring>

namespace e2e {
namespace {

std::uint32_t le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24; }

class StructureCheck : public Scenario {};

TEST_F(StructureCheck, AWrongPartitionMapIsRefused) {
  make_sim({});
  start();
  check_mounts();
  mkdir("/a");
  sync("SyncTime");
  unmount();
  ASSERT_EQ(vds_structure_verdict(*sim_, 0), "");
  kelsim::Cartridge& c = cartridge();
  std::uint8_t anchor[kelsim::kBlockSize];
  ASSERT_EQ(0u, c.read_blocks(0, 256, 1, anchor));
  ASSERT_EQ(tag_of_block(c, 0, 256), 2) << "no anchor at 256";
  int broken = 0;
  for (std::size_t extent : {16u, 24u}) {
    const std::uint32_t length = le32(anchor + extent), first = le32(anchor + extent + 4);
    for (std::uint32_t b = first; b < first + length / kelsim::kBlockSize; ++b) {
      if (tag_of_block(c, 0, b) != 6) continue;  // the logical volume descriptor
      std::uint8_t d[kelsim::kBlockSize];
      ASSERT_EQ(0u, c.read_blocks(0, b, 1, d));
      ASSERT_EQ(d[440], 2) << "the metadata partition map comes first";
      ASSERT_EQ(d[504], 1) << "a type-1 map follows it";
      d[504] = 3;
      retag_descriptor(d);
      ASSERT_EQ(0u, c.write_blocks(0, b, 1, d));
      ASSERT_EQ(tag_of_block(c, 0, b), 6) << "the changed descriptor keeps a good tag";
      ++broken;
    }
  }
  ASSERT_EQ(broken, 2) << "a logical volume descriptor in each sequence";
  EXPECT_NE(vds_structure_verdict(*sim_, 0), "");
}

}  // namespace
}  // namespace e2e
