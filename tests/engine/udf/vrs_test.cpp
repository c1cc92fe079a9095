// Volume recognition sequence: the template, and a disc change failing
// before the check (the check keeps the loaded disc, so the real change
// never fails there; real_vrs_test.cpp has the rest on the real routines).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vrs.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_test;

class Vrs : public ::testing::TestWithParam<MediumClass> {
 protected:
  void SetUp() override { load(GetParam()); }
  void load(MediumClass cls) {
    spec = spec_for(cls, 0);
    env().reset(spec.sectors);
    build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, 0);
  }
  ImageSpec spec;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

TEST(VrsTemplate, ThreeDescriptorsOfOneSectorEach) {
  std::vector<uint8_t> b(3 * kSector, 0xAA);
  mdcudfsr_vrs_fill_template(b.data());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[1]), 5), "BEA01");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[kSector + 1]), 5), "NSR03");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[2 * kSector + 1]), 5), "TEA01");
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(b[s * kSector], 0);
    EXPECT_EQ(b[s * kSector + 6], 1);
  }
  EXPECT_EQ(mdcudfsr_vrs_matches_template(b.data()), 1);
}

TEST_P(Vrs, SlotChangeFailureEndsTheCheck) {
  env().disc_change_results = {19};
  EXPECT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 19);
  EXPECT_TRUE(env().logged("Failed to load last written slot with status 19. \n"));
  EXPECT_TRUE(env().logged("Invalid VRS. \n"));
  EXPECT_EQ(env().count_calls("bread"), 0u);
}

INSTANTIATE_TEST_SUITE_P(WriteOnceAndF2, Vrs, ::testing::Values(MediumClass::WriteOnce, MediumClass::F2),
                         ::testing::PrintToStringParamName());

}  // namespace
