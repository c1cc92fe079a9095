// Anchors and descriptor sequences of rewritable media on the real volume
// routines over the simulated drive, with the management cache file kept by
// the real cache agent.
#include "engine/udf/real_support.h"

#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

class RealRewritable : public ::testing::Test {
 protected:
  void SetUp() override { load(); }
  void load(bool build = true) {
    v.reset();
    v = std::make_unique<RealVolume>(MediumClass::Rewritable, 0, build);
  }
  mdcudfsr_mount* m() { return v->m(); }
  // The management cache file through the real agent.
  void with_cache_file() {
    v->start_agent();
    m()->fsmanage_handle = v->open_cache_file("fsmanage");
  }
  bool copy_valid(uint32_t loc) {
    const std::vector<uint8_t> copy = v->read(loc, 6);
    const uint16_t ids[] = {1, 4, 5, 6, 7, 8};
    for (uint32_t i = 0; i < 6; ++i) {
      const uint8_t* d = copy.data() + i * kSector;
      desc_tag t;
      std::memcpy(&t, d, sizeof t);
      if (t.id != ids[i] || t.tag_loc != loc + i) return false;
      if (!mdcudfsr_check_udf_tag_checksum(d) || !mdcudfsr_check_udf_tag_crc(d, kSector)) return false;
    }
    return true;
  }
  // Blocks [first, end) of every command with `op`, in order.
  std::vector<std::pair<uint32_t, uint32_t>> ranges(uint8_t op) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const Command& c : v->commands())
      if (c.op == op) out.emplace_back(c.lba, c.lba + c.blocks);
    return out;
  }
  bool read_covers(uint32_t lsn) {
    for (auto [a, b] : ranges(kRead10))
      if (a <= lsn && lsn < b) return true;
    return false;
  }
  uint32_t reserve_unit() const { return v->spec.sectors - 32; }
  std::unique_ptr<RealVolume> v;
};

TEST_F(RealRewritable, GoodMainSideIsEnoughAndSetsTheNextWritableAddress) {
  // A damaged reserve side is never looked at while the main side is good.
  v->unreadable(reserve_unit() + 3);
  ASSERT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(ranges(kRead10), (std::vector<std::pair<uint32_t, uint32_t>>{{256, 288}}));
  EXPECT_EQ(+m()->avdp.main_vds_ex.loc, 272u);
  EXPECT_EQ(+m()->avdp.reserve_vds_ex.loc, reserve_unit());
  EXPECT_EQ(m()->vds.pd.access_type, 4u);
  EXPECT_EQ(m()->vds.pmap.type2_metadata.file_loc, v->layout.metadata_file_loc);
  // P + M + 32: the bitmap is empty and the metadata bitmap location is 0.
  EXPECT_EQ(m()->next_writable_address, 4096 + v->layout.metadata_file_loc + 32);
  EXPECT_TRUE(logged("set NWA:0x1140\n"));
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(mdcudfsr_check_vds_structure(m(), nullptr, nullptr), 0);
}

TEST_F(RealRewritable, DamagedMainSequenceIsRestoredFromTheReserveSide) {
  with_cache_file();
  v->edit(274, 1, [](uint8_t* b) { b[300] ^= 1; });  // main partition descriptor
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, &mirror), 0);
  EXPECT_TRUE(logged("MVDS is broken. MVDS offset=2\n"));
  EXPECT_TRUE(read_covers(reserve_unit()));
  EXPECT_EQ(ranges(kWrite10), (std::vector<std::pair<uint32_t, uint32_t>>{{256, 288}}))
      << "only the main unit is written";
  EXPECT_TRUE(copy_valid(272)) << "descriptors tagged at the main locations";
  EXPECT_TRUE(copy_valid(reserve_unit()));
  desc_tag a;
  std::memcpy(&a, v->read(256).data(), sizeof a);
  EXPECT_EQ(a.id, 2);
  EXPECT_EQ(a.tag_loc, 256u);
  EXPECT_EQ(+m()->avdp.tag.tag_loc, v->spec.sectors - 1) << "the mount takes the reserve anchor";
  EXPECT_EQ(mirror, 0u);
  EXPECT_EQ(m()->fsmanage_handle, -1) << "the management cache file is dropped";
  EXPECT_EQ(m()->mntinfo.AccessMode, 0u) << "the main side's verdict is cleared";
  EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0u);
  // The next mount finds a good main side.
  v->clear();
  auto again = v->record();
  EXPECT_EQ(mdcudfsr_read_avdp_RE(again.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(v->count(kRead10), 1u);
}

TEST_F(RealRewritable, RollbackMountDoesNotRestore) {
  v->edit(274, 1, [](uint8_t* b) { b[300] ^= 1; });
  m()->mount_ext_flags = 0x20;
  ASSERT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 0);
  EXPECT_TRUE(logged("skip restore MVDS/AVDP\n"));
  EXPECT_EQ(v->count(kWrite10), 0u);
}

TEST_F(RealRewritable, BlankMediumIsNotFormatted) {
  load(false);
  EXPECT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 22);
  EXPECT_TRUE(logged("AVDP_1 is filled with 0\n"));
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000010u);
  EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
}

TEST_F(RealRewritable, BothSidesBad) {
  struct Row {
    const char* name;
    bool unreadable;
    uint32_t status;
  } rows[] = {{"unreadable", true, 0x80000030u}, {"bad anchors", false, 0x80000200u}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load();
    if (r.unreadable) {
      v->unreadable(256);
      v->unreadable(reserve_unit());
    } else {
      v->edit(256, 1, [](uint8_t* b) { b[100] ^= 1; });
      v->edit(v->spec.sectors - 1, 1, [](uint8_t* b) { b[100] ^= 1; });
    }
    EXPECT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 22);
    EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
    EXPECT_EQ(m()->mntinfo.MountStatus, r.status);
    EXPECT_EQ(v->count(kWrite10), 0u);
  }
}

TEST_F(RealRewritable, UnsupportedMediumIsRefused) {
  m()->medium_type = 0xE1;
  EXPECT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 22);
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000200u);
  EXPECT_EQ(v->count(kRead10), 0u);
}

TEST_F(RealRewritable, MirrorWritesBothUnitsIntoTheCacheFile) {
  with_cache_file();
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, &mirror), 0);
  EXPECT_EQ(mirror, 1u);
  const int32_t h = m()->fsmanage_handle;
  ASSERT_GE(h, 0);
  EXPECT_EQ(v->cache_file_read(h, 0x10000, 0x10000), v->read(256, 32));
  // The reserve unit in the cache was built from the main side and equals the disc's.
  EXPECT_EQ(v->cache_file_read(h, 0x20000, 0x10000), v->read(reserve_unit(), 32));
  auto again = v->record();
  again->fsmanage_handle = h;
  again->metacachedev = m()->metacachedev;
  v->clear();
  EXPECT_EQ(mdcudfsr_read_avdp_RE(again.get(), nullptr, 1, 1, nullptr), 0);
  EXPECT_EQ(v->count(kRead10), 0u) << "read from the cache file";
  again->metacachedev = nullptr;
}

TEST_F(RealRewritable, TagSerialMismatchGives14) {
  v->edit(273, 1, [](uint8_t* b) {
    desc_tag t;
    std::memcpy(&t, b, sizeof t);
    t.serial_num = 1;
    std::memcpy(b, &t, sizeof t);
    udf_test::reseal(b);
  });
  EXPECT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 14);
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
}

TEST_F(RealRewritable, FlushWritesTheReserveUnitBeforeTheMainUnit) {
  ASSERT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 0);
  m()->metadata_file_loc = v->layout.metadata_file_loc;
  m()->metadata_mirror_loc = v->layout.mirror_file_loc;
  v->write(reserve_unit(), std::vector<uint8_t>(32 * kSector, 0));
  v->write(256, std::vector<uint8_t>(32 * kSector, 0));
  v->clear();
  uint32_t skipped = 0;
  ASSERT_EQ(mdcudfsr_flush_vds_re(m(), &skipped, nullptr, 0), 0);
  const auto writes = ranges(kWrite10);
  const auto reserve = std::find(writes.begin(), writes.end(), std::make_pair(reserve_unit(), reserve_unit() + 32));
  const auto main = std::find(writes.begin(), writes.end(), std::make_pair(256u, 288u));
  ASSERT_NE(reserve, writes.end());
  ASSERT_NE(main, writes.end());
  EXPECT_LT(reserve, main);
  EXPECT_EQ(v->count(kReserve), 0u) << "no reservation on rewritable media";
  EXPECT_TRUE(copy_valid(272));
  EXPECT_TRUE(copy_valid(reserve_unit()));
  desc_tag a;
  std::memcpy(&a, v->read(v->spec.sectors - 1).data(), sizeof a);
  EXPECT_EQ(a.tag_loc, v->spec.sectors - 1);
  // The written volume reads back.
  auto again = v->record();
  EXPECT_EQ(mdcudfsr_read_avdp_RE(again.get(), nullptr, 1, 0, nullptr), 0);
  // Unchanged and check mode 2: both units are already there.
  v->clear();
  m()->desc_write_check_mode = 2;
  ASSERT_EQ(mdcudfsr_flush_vds_re(m(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(v->count(kWrite10), 0u);
}

TEST_F(RealRewritable, FailedReserveWriteStopsBeforeTheMainUnit) {
  ASSERT_EQ(mdcudfsr_read_avdp_RE(m(), nullptr, 1, 0, nullptr), 0);
  v->clear();
  v->sim().drive().add_fault(kelsim::write_error(reserve_unit(), reserve_unit() + 31));
  const int err = mdcudfsr_flush_vds_re(m(), nullptr, nullptr, 0);
  EXPECT_NE(err, 0);
  EXPECT_EQ(v->count(kWrite10), 1u);
  EXPECT_EQ(ranges(kWrite10).front().first, reserve_unit());
  EXPECT_TRUE(logged("err=" + std::to_string(err) + "\n"));
}

TEST_F(RealRewritable, UnlinkWritesTheMarkerIntoTheBitmapFieldsToo) {
  v->mount();
  const uint32_t len = m()->vds.pd.part_len;
  ASSERT_EQ(mdcudfsr_unlink_vds(m(), nullptr), 0);
  part_map_metadata pm;
  std::memcpy(&pm, v->read(275).data() + 440, sizeof pm);
  EXPECT_EQ(pm.file_loc, len);
  EXPECT_EQ(pm.bitmap_file_loc, len);
  part_desc pd;
  std::memcpy(&pd, v->read(274).data(), sizeof pd);
  EXPECT_EQ(pd.phd.unalloc_space_bitmap.pos, len);
  EXPECT_EQ(m()->vds.pmap.type2_metadata.bitmap_file_loc, 0u) << "restored in the mount";
  EXPECT_EQ(m()->vds.pd.phd.unalloc_space_bitmap.pos, 0u);
}

}  // namespace
