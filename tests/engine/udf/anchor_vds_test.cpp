// Anchors of write-once media: the management cache file failing under the
// mirror (the cache agent's faults; real_anchor_vds_test.cpp has the anchors
// and sequences on the real routines over the simulated drive).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_test;

class Volume : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls, uint32_t slot = 0) {
    spec = spec_for(cls, slot);
    env().reset(spec.sectors);
    layout = build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, slot);
    mnt->fsmanage_handle = 3;
  }
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

TEST_F(Volume, FailedMirrorWriteEndsTheAnchorRead) {
  env().cache_write_result = 28;
  uint32_t mirror = 1;
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, &mirror), 28);
  EXPECT_TRUE(env().logged("mdcudfsr_metacache_file_write failed. err:28 \n"));
  load(MediumClass::WriteOnce);
  env().cache_write_agent_error = 3;
  mirror = 1;
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, &mirror), 22);
  EXPECT_EQ(mirror, 0u);
}

}  // namespace
