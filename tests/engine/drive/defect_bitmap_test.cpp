// Defect structures of rewritable discs against the recording drive: the
// translation of physical sectors, the bitmap built from the defect list and
// the search for a defect-free next writable address.
#include "drive_fixture.h"

#include "drive/client_if.h"
#include "drive/device_control.h"

#include <cstring>

namespace {

void put32(std::vector<std::uint8_t>& v, std::size_t at, std::uint32_t x) {
  v[at] = static_cast<std::uint8_t>(x >> 24);
  v[at + 1] = static_cast<std::uint8_t>(x >> 16);
  v[at + 2] = static_cast<std::uint8_t>(x >> 8);
  v[at + 3] = static_cast<std::uint8_t>(x);
}

std::vector<std::uint8_t> dds_answer(std::uint32_t d36, std::uint32_t d40, std::uint32_t d44, std::uint32_t d48) {
  std::vector<std::uint8_t> a(104, 0);
  a[1] = 102;
  put32(a, 36, d36);
  put32(a, 40, d40);
  put32(a, 44, d44);
  put32(a, 48, d48);
  return a;
}

struct Entry {
  unsigned status;
  std::uint32_t psn;
  std::uint32_t length;
};
// Piece 0 of the defect list: 4-byte answer header, 64-byte list header, entries.
std::vector<std::uint8_t> dfl_answer(const std::vector<Entry>& entries) {
  std::vector<std::uint8_t> a(4 + 64 + 8 * entries.size(), 0);
  const std::size_t len = 2 + 64 + 8 * entries.size();
  a[0] = static_cast<std::uint8_t>(len >> 8);
  a[1] = static_cast<std::uint8_t>(len);
  a[3] = 1;  // pieces in all
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t e = (static_cast<std::uint64_t>(entries[i].status) << 60) |
                            (static_cast<std::uint64_t>(entries[i].psn & 0x0FFFFFFF) << 32) |
                            (entries[i].length & 0x7FFFFFF);
    put32(a, 68 + 8 * i, static_cast<std::uint32_t>(e >> 32));
    put32(a, 72 + 8 * i, static_cast<std::uint32_t>(e));
  }
  return a;
}

class Defect : public DriveTest {
 protected:
  void medium(std::uint8_t type) {
    fakedrive::drive().medium_type = type;
    fakedrive::fill_good_attributes(type);
    bool undefined = false;
    ASSERT_EQ(0, ss_->determin_medium_properties(&undefined));
    ASSERT_EQ(type, ss_->medium_type());
  }
  bool bit(const std::vector<std::uint8_t>& map, std::uint32_t cluster) {
    return (map[cluster / 8] >> (cluster % 8)) & 1;
  }
  std::vector<std::uint8_t> bitmap() {
    std::vector<std::uint8_t> map(storage_scsi::kDefectBitmapSize);
    UInt32 len = storage_scsi::kDefectBitmapSize;
    EXPECT_EQ(0, ss_->getDefectBitmap(map.data(), &len));
    return map;
  }
};

}  // namespace

// Two-layer disc (E6h: fixed layer addresses): layer 0, the start of layer 1
// and the start of the third area each map to their logical sectors.
TEST_F(Defect, PhysicalToLogicalOnATwoLayerDisc) {
  fakedrive::drive().dds = dds_answer(0x30000, 0x8000000, 0x100, 0x80);
  medium(0xE6);
  struct Row {
    std::uint32_t psn, lsn;
  };
  const Row rows[] = {
      {0x2FFFF, 0xFFFFFFFFu},      // below the first user sector
      {0x30000, 0},                // first user sector
      {0x30010, 0x10},
      {0x1088BFF, 0x1058BFF},      // last sector of layer 0
      {0x1088C00, 0xFFFFFFFFu},    // past layer 0, before layer 1
      {0x2F77C00, 0xF86C00},       // first sector of layer 1
      {0x4102000, 0x1F0D000},      // first sector of the third area
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.psn);
    UInt32 l1s = 0, l1e = 0, l2s = 0;
    EXPECT_EQ(r.lsn, ss_->convertPSNtoLSN(r.psn, &l1s, &l1e, &l2s));
    if (r.psn >= 0x30000) {
      EXPECT_EQ(0x2F77C00u, l1s);
      EXPECT_EQ(0x3EFDFFFu, l1e);
      EXPECT_EQ(0x4102000u, l2s);
    }
  }
  // A sector above the last logical sector has none.
  fakedrive::drive().dds = dds_answer(0x30000, 0x10, 0x100, 0x80);
  ss_->scsi_cache_clear();
  EXPECT_EQ(0xFFFFFFFFu, ss_->convertPSNtoLSN(0x30011, nullptr, nullptr, nullptr));
}

TEST_F(Defect, SingleLayerDiscFollowsTheLayerZeroRule) {
  fakedrive::drive().dds = dds_answer(0x30000, 0x8000000, 0, 0);
  medium(0x53);
  UInt32 l1s = 0, l1e = 0, l2s = 0;
  EXPECT_EQ(0x5000u, ss_->convertPSNtoLSN(0x35000, &l1s, &l1e, &l2s));
  EXPECT_EQ(0xFFFFFFFFu, l1s);
  EXPECT_EQ(0xFFFFFFFFu, l2s);
  EXPECT_EQ(0xFFFFFFFFu, ss_->convertPSNtoLSN(0x2FFFF, nullptr, nullptr, nullptr));
}

TEST_F(Defect, NoDiscDefinitionStructureGivesNoSector) {
  medium(0x53);  // the drive answers format 08h with "unformatted"
  EXPECT_EQ(0xFFFFFFFFu, ss_->convertPSNtoLSN(0x30000, nullptr, nullptr, nullptr));
  EXPECT_TRUE(fakelog::contains("Can't Get DDS["));
}

class DefectMap : public Defect {
 protected:
  void SetUp() override {
    Defect::SetUp();
    fakedrive::drive().dds = dds_answer(0x30000, 0x8000000, 0, 0);
    fakedrive::drive().dfl = dfl_answer({
        {1, 0x30000 + 64, 0},   // one block: cluster 2
        {4, 0x30000 + 320, 3},  // 96 blocks: clusters 10-12
        {2, 0x30000 + 640, 0},  // status 2: not a defect here
        {4, 0x30000 + 960, 0},  // status 4 with no length: nothing
        {8, 0x100, 0},          // below the user area: no sector
        {1, 0x30000 + 33, 0},   // cluster 1
    });
    medium(0x53);
  }
};

TEST_F(DefectMap, NoBitmapBeforeARebuild) {
  UInt32 nwa = 0;
  Boolean replaced = true;
  EXPECT_EQ(255, ss_->searchAndFindNwa(64, 32, &nwa, &replaced));
  EXPECT_EQ(64u, nwa);
  std::vector<std::uint8_t> map(storage_scsi::kDefectBitmapSize);
  UInt32 len = storage_scsi::kDefectBitmapSize;
  EXPECT_EQ(16, ss_->getDefectBitmap(map.data(), &len));
}

TEST_F(DefectMap, RebuildMarksTheDefectiveClusters) {
  ASSERT_EQ(0, ss_->rebuildDefectBitmap());
  const auto map = bitmap();
  for (std::uint32_t c : {1u, 2u, 10u, 11u, 12u}) EXPECT_TRUE(bit(map, c)) << c;
  for (std::uint32_t c : {0u, 3u, 9u, 13u, 20u, 30u}) EXPECT_FALSE(bit(map, c)) << c;
  std::size_t set = 0;
  for (std::uint8_t b : map) set += static_cast<std::size_t>(__builtin_popcount(b));
  EXPECT_EQ(5u, set);
}

TEST_F(DefectMap, SearchSkipsDefectiveClusters) {
  ASSERT_EQ(0, ss_->rebuildDefectBitmap());
  struct Row {
    std::uint32_t nwa, length;
    int result;
    std::uint32_t new_nwa;
    bool replaced;
  };
  const Row rows[] = {
      {0, 64, 0, 96, true},     // clusters 1 and 2 skipped
      {128, 64, 0, 128, false},
      {300, 32, 0, 300, false},
      {320, 32, 0, 416, true},  // 10, 11, 12 one after the other
      {100, 0, 0, 100, false},  // nothing to check
      {0x4000000, 64, 255, 0x4000000, false},
      {0x3FFFFE0, 64, 255, 0x3FFFFE0, false},  // runs off the end of the map
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.nwa);
    UInt32 nwa = 0;
    Boolean replaced = false;
    EXPECT_EQ(r.result, ss_->searchAndFindNwa(r.nwa, r.length, &nwa, &replaced));
    EXPECT_EQ(r.new_nwa, nwa);
    if (r.result == 0) {
      EXPECT_EQ(r.replaced, replaced);
    }
  }
}

TEST_F(DefectMap, NoRebuildWhileAnEarlierSlotIsLoaded) {
  // Slot 3 was written last; slot 0 is loaded.
  fakedrive::drive().attributes[0x0D00] = {0, {3, 0, 0, 0}};
  ss_->config_mirror_for_update().last_written_slot = 3;
  ss_->config_mirror_for_update().current_slot = 0;
  EXPECT_EQ(0, ss_->rebuildDefectBitmap());
  EXPECT_FALSE(ss_->has_defect_bitmap());
  fakedrive::drive().loaded_slot = 3;
  EXPECT_EQ(0, ss_->rebuildDefectBitmap());
  EXPECT_TRUE(ss_->has_defect_bitmap());
}

TEST_F(DefectMap, BitmapLengthRuleAndSetCreatesAnEmptyMap) {
  std::vector<std::uint8_t> map(storage_scsi::kDefectBitmapSize, 0xFF);
  UInt32 bad = 4096;
  EXPECT_EQ(22, ss_->getDefectBitmap(map.data(), &bad));
  EXPECT_EQ(22, ss_->setDefectBitmap(map.data(), &bad));
  UInt32 len = storage_scsi::kDefectBitmapSize;
  EXPECT_EQ(0, ss_->setDefectBitmap(map.data(), &len));
  EXPECT_EQ(0, map[0]);  // the new map has no content
  UInt32 nwa = 0;
  Boolean replaced = true;
  EXPECT_EQ(0, ss_->searchAndFindNwa(64, 64, &nwa, &replaced));
  EXPECT_EQ(64u, nwa);
  EXPECT_FALSE(replaced);
}
