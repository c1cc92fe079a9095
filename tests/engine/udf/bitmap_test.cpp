// Space bitmaps: the read-cache marking, the limits checked before any write,
// and a refused defect search (real_bitmap_test.cpp has the writes, reads
// and rebuilds on the real routines over the simulated drive).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_test;

constexpr uint32_t B = 2048;

class Bitmap : public ::testing::Test {
 protected:
  void SetUp() override {
    img.load(MediumClass::Rewritable);
    start = img.layout.partition_start;
    m()->next_writable_address = start + 1024;
  }
  mdcudfsr_mount* m() { return img.mnt.get(); }
  MountedImage img;
  uint32_t start = 0;
};

// The bitmap code serves the media the defect search serves, so the real
// search never refuses it: that refusal is the stand-in's.
TEST_F(Bitmap, RefusedDefectSearchStopsTheWrite) {
  env().defect_nwa_result = 22;
  uint32_t len = 0, first = 0, written = 0;
  EXPECT_EQ(mdcudfsr_update_metadata_bitmap(m(), &len, &first, nullptr, &written, 0), 22);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Bitmap, ReadCacheMarkingChangesNoCount) {
  uint8_t bits[4];
  std::memset(bits, 0xFF, sizeof bits);
  m()->read_cache_bitmap_blocks = 32;
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap_for_read_cache(m(), bits, 3 * B, 2 * B + 100), 0);
  EXPECT_EQ(bits[0], 0xE7);
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap_for_read_cache(m(), bits, 10 * B, B - 1), 0);
  EXPECT_EQ(bits[1], 0xFF);
  // A bitmap of 0 blocks is empty: nothing is marked, nothing beyond it touched.
  m()->read_cache_bitmap_blocks = 0;
  std::memset(bits, 0xFF, sizeof bits);
  ASSERT_EQ(mdcudfsr_update_metadata_bitmap_for_read_cache(m(), bits, 0, 4 * B), 0);
  for (uint8_t b : bits) EXPECT_EQ(b, 0xFF);
}

TEST_F(Bitmap, LastSlotBeyondTheFreeSpaceTableIsRefused) {
  m()->current_disc = 12;  // the table has 13 entries: the metadata partition and 12 discs
  EXPECT_EQ(mdcudfsr_update_usb(m(), short_ad{0, 0}, nullptr, nullptr, 0), 22);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(env().count_calls("write_lb"), 0u);
}

}  // namespace
