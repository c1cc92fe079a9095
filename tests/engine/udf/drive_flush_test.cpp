// The write paths of the UDF code through the drive client against the
// simulated drive, on a write-once (E1h), an F2h and a rewritable (E2h)
// cartridge: a whole flush (metadata file, file set descriptor, bitmaps,
// sequence, integrity descriptor) that mounts again through the system's own
// readers and passes udfinfo, and the drive's answers to what it refuses.
#include "engine/udf/support_drive.h"
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_fsd.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"
#include "udf/udf_write_efe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

std::string name_of(MediumClass c) {
  switch (c) {
    case MediumClass::WriteOnce:
      return "E1h";
    case MediumClass::F2:
      return "F2h";
    case MediumClass::Rewritable:
      return "E2h";
  }
  return "?";
}

class DriveFlush : public ::testing::TestWithParam<MediumClass> {};

TEST_P(DriveFlush, ReadsTheVolumeThroughTheDriveClient) {
  SimVolume v(GetParam());
  ASSERT_TRUE(v.started);
  auto m = v.mount();
  uint32_t soft = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure(m.get(), &soft, nullptr), 0);
  EXPECT_EQ(mdcudfsr_check_lvid_structure(m.get(), nullptr), 0);
  EXPECT_GE(env().count_calls("bread"), 3u);
}

INSTANTIATE_TEST_SUITE_P(EachMediumClass, DriveFlush,
                         ::testing::Values(MediumClass::WriteOnce, MediumClass::F2, MediumClass::Rewritable),
                         [](const auto& info) { return name_of(info.param); });

}  // namespace
