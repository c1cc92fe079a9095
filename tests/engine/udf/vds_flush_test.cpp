// Flush of the volume descriptor sequence and the link state: what the real
// routines cannot produce or do not reach (real_vds_flush_test.cpp has the
// rest on the real routines over the simulated drive).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using namespace udf_test;

class Flush : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls, uint32_t slot = 0) {
    spec = spec_for(cls, slot);
    env().reset(spec.sectors);
    layout = build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, slot);
    ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
    ASSERT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
    mnt->metadata_file_loc = layout.metadata_file_loc;
    mnt->metadata_mirror_loc = layout.mirror_file_loc;
    env().calls.clear();
    env().logs.clear();
  }
  part_map_metadata map_on_medium(uint32_t lvd_lsn) {
    part_map_metadata m;
    std::memcpy(&m, env().sector(lvd_lsn) + 440, sizeof m);
    return m;
  }
  bool copy_valid(uint32_t loc) {
    const uint16_t ids[] = {1, 4, 5, 6, 7, 8};
    for (uint32_t i = 0; i < 6; ++i) {
      desc_tag t;
      std::memcpy(&t, env().sector(loc + i), sizeof t);
      if (t.id != ids[i] || t.tag_loc != loc + i) return false;
      if (!mdcudfsr_check_udf_tag_checksum(env().sector(loc + i)) ||
          !mdcudfsr_check_udf_tag_crc(env().sector(loc + i), kSector))
        return false;
    }
    return true;
  }
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

// ---------------------------------------------------------------- link and unlink

// The UDF code reads the mount's copy of the cartridge memory, which the real
// routine never fails to give: this failure is the stand-in's.
TEST_F(Flush, AttributeReadFailureStopsTheLinkBeforeAnyWrite) {
  env().read_attribute_result = 5;
  EXPECT_EQ(mdcudfsr_unlink_vds(mnt.get(), nullptr), 5);
  EXPECT_TRUE(env().logged("Read Attribute is failed err:5\n"));
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(mnt->metadata_file_loc, layout.metadata_file_loc);
}

TEST(Vuvi, EncodingAndDecoding) {
  EXPECT_EQ(mdcudfsr_vuvi_encode(0, 288), (288u + 4096u) / 32u);
  EXPECT_EQ(mdcudfsr_vuvi_encode(3, 288) >> 26, 3u);
  const uint32_t v = mdcudfsr_vuvi_encode(5, 1000000);
  EXPECT_EQ(mdcudfsr_vuvi_slot(v), 5u);
  EXPECT_EQ(mdcudfsr_vuvi_fe_location(v) - 4096, 1000000u / 32 * 32);
}

}  // namespace

namespace {

using namespace udf_test;

TEST_F(Flush, RebuildRefusesASlotBeyondTheMapTable) {
  mnt->current_disc = 12;
  EXPECT_EQ(mdcudfsr_repair_vds(mnt.get(), nullptr, nullptr), 22);
}

}  // namespace
