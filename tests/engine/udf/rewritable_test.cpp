// Anchors and descriptor sequences of rewritable media.
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

class Rewritable : public ::testing::Test {
 protected:
  void SetUp() override { load(); }
  void load(uint32_t slot = 0) {
    spec = spec_for(MediumClass::Rewritable, slot);
    env().reset(spec.sectors);
    layout = build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, slot);
    mnt->fsmanage_handle = 2;
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
  uint32_t reserve_unit() const { return spec.sectors - 32; }
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

TEST_F(Rewritable, GoodMainSideIsEnoughAndSetsTheNextWritableAddress) {
  // A damaged reserve side is never looked at while the main side is good.
  env().unreadable.insert(reserve_unit() + 3);
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(env().calls_starting("bread"), (std::vector<std::string>{"bread lsn=256 size=65536"}));
  EXPECT_EQ(+mnt->avdp.main_vds_ex.loc, 272u);
  EXPECT_EQ(+mnt->avdp.reserve_vds_ex.loc, reserve_unit());
  EXPECT_EQ(mnt->vds.pd.access_type, 4u);
  EXPECT_EQ(mnt->vds.pmap.type2_metadata.file_loc, layout.metadata_file_loc);
  // P + M + 32: the bitmap is empty and the metadata bitmap location is 0.
  EXPECT_EQ(mnt->next_writable_address, 4096 + layout.metadata_file_loc + 32);
  EXPECT_TRUE(env().logged("set NWA:0x1140\n"));
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), nullptr, nullptr), 0);
}

TEST_F(Rewritable, DamagedMainSequenceIsRestoredFromTheReserveSide) {
  env().sector(274)[300] ^= 1;  // main partition descriptor
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, &mirror), 0);
  EXPECT_TRUE(env().logged("MVDS is broken. MVDS offset=2\n"));
  EXPECT_EQ(env().count_calls("bread lsn=" + std::to_string(reserve_unit()) + " size=65536"), 1u);
  EXPECT_GE(env().find_call("bwrite lsn=256 size=65536"), 0);
  EXPECT_EQ(env().count_calls("bwrite"), 1u) << "only the main unit is written";
  EXPECT_TRUE(copy_valid(272)) << "descriptors tagged at the main locations";
  EXPECT_TRUE(copy_valid(reserve_unit()));
  desc_tag a;
  std::memcpy(&a, env().sector(256), sizeof a);
  EXPECT_EQ(a.id, 2);
  EXPECT_EQ(a.tag_loc, 256u);
  EXPECT_EQ(+mnt->avdp.tag.tag_loc, spec.sectors - 1) << "the mount takes the reserve anchor";
  EXPECT_EQ(mirror, 0u);
  EXPECT_GE(env().find_call("fsmanage_delete"), 0);
  EXPECT_EQ(mnt->mntinfo.AccessMode, 0u) << "the main side's verdict is cleared";
  EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0u);
  // The next mount finds a good main side.
  env().calls.clear();
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  EXPECT_EQ(mdcudfsr_read_avdp_RE(&again, nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(env().count_calls("bread"), 1u);
}

TEST_F(Rewritable, RollbackMountDoesNotRestore) {
  env().sector(274)[300] ^= 1;
  mnt->mount_ext_flags = 0x20;
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_TRUE(env().logged("skip restore MVDS/AVDP\n"));
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Rewritable, BlankMediumIsNotFormatted) {
  env().reset(spec.sectors);
  EXPECT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 22);
  EXPECT_TRUE(env().logged("AVDP_1 is filled with 0\n"));
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000010u);
  EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
}

TEST_F(Rewritable, BothSidesBad) {
  struct Row {
    const char* name;
    bool unreadable;
    uint32_t status;
  } rows[] = {{"unreadable", true, 0x80000030u}, {"bad anchors", false, 0x80000200u}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load();
    if (r.unreadable) {
      env().unreadable.insert(256);
      env().unreadable.insert(reserve_unit());
    } else {
      env().sector(256)[100] ^= 1;
      env().sector(spec.sectors - 1)[100] ^= 1;
    }
    EXPECT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 22);
    EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
    EXPECT_EQ(mnt->mntinfo.MountStatus, r.status);
    EXPECT_EQ(env().count_calls("bwrite"), 0u);
  }
}

TEST_F(Rewritable, UnsupportedMediumIsRefused) {
  mnt->medium_type = 0xE1;
  EXPECT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 22);
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000200u);
  EXPECT_TRUE(env().calls_starting("bread").empty());
}

TEST_F(Rewritable, MirrorWritesBothUnits) {
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, &mirror), 0);
  EXPECT_EQ(mirror, 1u);
  EXPECT_GE(env().find_call("cache_write h=2 off=0x10000 len=65536"), 0);
  EXPECT_GE(env().find_call("cache_write h=2 off=0x20000 len=65536"), 0);
  // The reserve unit in the cache was built from the main side and equals the medium's.
  EXPECT_EQ(std::memcmp(env().cache_file.data() + 0x20000, env().sector(reserve_unit()), 0x10000), 0);
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  again.fsmanage_handle = 2;
  env().calls.clear();
  EXPECT_EQ(mdcudfsr_read_avdp_RE(&again, nullptr, 1, 1, nullptr), 0);
  EXPECT_TRUE(env().calls_starting("bread").empty());
}

TEST_F(Rewritable, TagSerialMismatchGives14) {
  desc_tag t;
  std::memcpy(&t, env().sector(273), sizeof t);
  t.serial_num = 1;
  std::memcpy(env().sector(273), &t, sizeof t);
  reseal(env().sector(273));
  EXPECT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 14);
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000030u);
}

TEST_F(Rewritable, FlushWritesTheReserveUnitBeforeTheMainUnit) {
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
  mnt->metadata_file_loc = layout.metadata_file_loc;
  mnt->metadata_mirror_loc = layout.mirror_file_loc;
  std::memset(env().sector(reserve_unit()), 0, 32 * kSector);
  std::memset(env().sector(256), 0, 32 * kSector);
  env().calls.clear();
  uint32_t skipped = 0;
  ASSERT_EQ(mdcudfsr_flush_vds_re(mnt.get(), &skipped, nullptr, 0), 0);
  const int reserve = env().find_call("bwrite lsn=" + std::to_string(reserve_unit()) + " size=65536");
  const int main = env().find_call("bwrite lsn=256 size=65536");
  ASSERT_GE(reserve, 0);
  ASSERT_GE(main, 0);
  EXPECT_LT(reserve, main);
  EXPECT_TRUE(env().calls_starting("ioctl 0x8008556e").empty()) << "no reservation on rewritable media";
  EXPECT_TRUE(copy_valid(272));
  EXPECT_TRUE(copy_valid(reserve_unit()));
  desc_tag a;
  std::memcpy(&a, env().sector(spec.sectors - 1), sizeof a);
  EXPECT_EQ(a.tag_loc, spec.sectors - 1);
  // The written volume reads back.
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  EXPECT_EQ(mdcudfsr_read_avdp_RE(&again, nullptr, 1, 0, nullptr), 0);
  // Unchanged and check mode 2: both units are already there.
  env().calls.clear();
  mnt->desc_write_check_mode = 2;
  ASSERT_EQ(mdcudfsr_flush_vds_re(mnt.get(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Rewritable, FailedReserveWriteStopsBeforeTheMainUnit) {
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
  env().calls.clear();
  env().write_results = {5};
  EXPECT_EQ(mdcudfsr_flush_vds_re(mnt.get(), nullptr, nullptr, 0), 5);
  EXPECT_EQ(env().count_calls("bwrite"), 1u);
  EXPECT_TRUE(env().logged("err=5\n"));
}

TEST_F(Rewritable, UnlinkWritesTheMarkerIntoTheBitmapFieldsToo) {
  ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
  mnt->metadata_file_loc = layout.metadata_file_loc;
  mnt->metadata_mirror_loc = layout.mirror_file_loc;
  const uint32_t len = mnt->vds.pd.part_len;
  ASSERT_EQ(mdcudfsr_unlink_vds(mnt.get(), nullptr), 0);
  part_map_metadata m;
  std::memcpy(&m, env().sector(275) + 440, sizeof m);
  EXPECT_EQ(m.file_loc, len);
  EXPECT_EQ(m.bitmap_file_loc, len);
  part_desc pd;
  std::memcpy(&pd, env().sector(274), sizeof pd);
  EXPECT_EQ(pd.phd.unalloc_space_bitmap.pos, len);
  EXPECT_EQ(mnt->vds.pmap.type2_metadata.bitmap_file_loc, 0u) << "restored in the mount";
  EXPECT_EQ(mnt->vds.pd.phd.unalloc_space_bitmap.pos, 0u);
}

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
