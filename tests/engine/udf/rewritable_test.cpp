// The next writable address of rewritable media from the descriptors
// (real_rewritable_test.cpp has the anchors and sequences on the real
// routines over the simulated drive).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_test;

TEST(NextWritableAddress, FromTheDescriptors) {
  struct Row {
    const char* name;
    uint32_t usb_pos, usb_len, M, R, B;
    uint32_t nwa;
  } rows[] = {
      {"metadata beyond the bitmap", 0, 0, 288, 304, 0xFFFFFFFFu, 4096 + 288 + 32},
      {"mirror far beyond", 0, 0, 288, 400, 0xFFFFFFFFu, 4096 + 400 + 32},
      {"bitmap extent rounded to 32", 1000, 40 * 2048, 288, 304, 0, 4096 + 1000 + 64},
      {"bitmap file beyond", 0, 0, 288, 304, 600, 4096 + 600 + 32},
      {"bitmap file below", 0, 0, 288, 304, 100, 4096 + 288 + 32},
      // Terms outside the partition (3808 blocks): the address stays and the
      // volume is read-only.
      {"space bitmap beyond the partition", 0x100000, 2048, 288, 304, 0, 7},
      {"space bitmap position wraps", 0xFFFFFFF0u, 2048, 288, 304, 0, 7},
      {"space bitmap running past the end", 3790, 64 * 2048, 288, 304, 0, 7},
      {"bitmap file beyond the partition", 0, 0, 288, 304, 5000, 7},
      {"mirror at the end", 0, 0, 288, 3800, 0xFFFFFFFFu, 7},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    mdcudfsr_mount m;
    init_mount(&m, 8192, 0xE2, 0);
    m.vds.pd.start_loc = 4096;
    m.vds.pd.part_len = 3808;
    m.vds.pd.phd.unalloc_space_bitmap = short_ad{r.usb_len, r.usb_pos};
    m.vds.pmap.type2_metadata.file_loc = r.M;
    m.vds.pmap.type2_metadata.mirror_file_loc = r.R;
    m.vds.pmap.type2_metadata.bitmap_file_loc = r.B;
    m.next_writable_address = 7;
    env().logs.clear();
    mdcudfsr_set_nwa_from_vds(&m, nullptr);
    EXPECT_EQ(m.next_writable_address, r.nwa);
    const bool refused = r.nwa == 7;
    EXPECT_EQ(env().logged("Metadata location is out of range. main=0x120 mirror=" + hex(r.R) + "\n"), refused);
    EXPECT_EQ(m.mntinfo.WriteProtectReasonFlags, refused ? 0x80000u : 0u);
  }
  mdcudfsr_mount m;
  init_mount(&m, 8192, 0xE2, 0);
  m.vds.pd.part_len = 3808;
  m.vds.pmap.type2_metadata.file_loc = 3808;
  m.next_writable_address = 7;
  mdcudfsr_set_nwa_from_vds(&m, nullptr);
  EXPECT_EQ(m.next_writable_address, 7u) << "out-of-range metadata leaves the address alone";
}

}  // namespace
