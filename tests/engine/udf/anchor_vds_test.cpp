// Anchors and volume descriptor sequences of write-once media.
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
  desc_tag tag_at(uint32_t lsn) {
    desc_tag t;
    std::memcpy(&t, env().sector(lsn), sizeof t);
    return t;
  }
  anchor_vdp anchor_at(uint32_t lsn) {
    anchor_vdp a;
    std::memcpy(&a, env().sector(lsn), sizeof a);
    return a;
  }
  void set_anchors(extent_ad main, extent_ad reserve) {
    for (uint32_t lsn : {256u, layout.avdp2}) {
      anchor_vdp a = anchor_at(lsn);
      a.main_vds_ex = main;
      a.reserve_vds_ex = reserve;
      std::memcpy(env().sector(lsn), &a, sizeof a);
      reseal(env().sector(lsn));
    }
  }
  bool copy_valid(uint32_t loc, const std::vector<uint16_t>& ids) {
    for (size_t i = 0; i < ids.size(); ++i) {
      const desc_tag t = tag_at(loc + static_cast<uint32_t>(i));
      if (t.id != ids[i] || t.tag_loc != loc + i || t.serial_num != spec.serial) return false;
      if (!mdcudfsr_check_udf_tag_checksum(env().sector(loc + static_cast<uint32_t>(i))) ||
          !mdcudfsr_check_udf_tag_crc(env().sector(loc + static_cast<uint32_t>(i)), kSector))
        return false;
    }
    return true;
  }
  int read_both() {
    int r = mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr);
    if (r) return r;
    return mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr);
  }
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

const std::vector<uint16_t> kSequence = {1, 4, 5, 6, 7, 8};

// ---------------------------------------------------------------- anchors

TEST_F(Volume, GoodAnchorsAreTakenAndNothingIsWritten) {
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(+mnt->avdp.main_vds_ex.loc, 288u);
  EXPECT_EQ(+mnt->avdp.main_vds_ex.len, 0x8000u);
  EXPECT_EQ(+mnt->avdp.reserve_vds_ex.loc, 304u);
  EXPECT_EQ(mnt->avdp.tag.serial_num, spec.serial);
  EXPECT_EQ(env().count_calls("bread"), 2u);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_TRUE(env().logged("Find enable AVDP1. status(0)\n"));
  EXPECT_TRUE(env().logged("Find enable AVDP2. status(0)\n"));
}

TEST_F(Volume, SecondAnchorDisagreeingIsRewrittenFromTheFirst) {
  anchor_vdp a = anchor_at(layout.avdp2);
  a.reserve_vds_ex.loc = 400;
  std::memcpy(env().sector(layout.avdp2), &a, sizeof a);
  reseal(env().sector(layout.avdp2));
  uint32_t mirror = 1;
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, &mirror), 0);
  EXPECT_TRUE(env().logged("Rebuild AVDP2\n"));
  EXPECT_EQ(mirror, 0u);
  EXPECT_EQ(+mnt->avdp.reserve_vds_ex.loc, 304u);
  const anchor_vdp now = anchor_at(layout.avdp2);
  EXPECT_EQ(now.reserve_vds_ex.loc, 304u);
  EXPECT_EQ(now.tag.tag_loc, layout.avdp2);
  EXPECT_EQ(mdcudfsr_check_udf_tag(env().sector(layout.avdp2), 2), 1);
  EXPECT_EQ(mdcudfsr_check_udf_tag_crc(env().sector(layout.avdp2), kSector), 1);
  const int w = env().find_call("disc_change code=0xff");
  ASSERT_GE(w, 0);
  EXPECT_EQ(std::vector<std::string>(env().calls.begin() + w, env().calls.end()),
            (std::vector<std::string>{"disc_change code=0xff inv=0 on_mount=1",
                                      "getblk lsn=" + std::to_string(spec.sectors - 32) + " size=65536 op=16",
                                      "bwrite lsn=" + std::to_string(spec.sectors - 32) + " size=65536",
                                      "ioctl 0x200055eb", "sync"}));
  EXPECT_GE(env().find_call("cache_close h=3"), 0);
  EXPECT_GE(env().find_call("fsmanage_delete"), 0);
  EXPECT_EQ(mnt->fsmanage_handle, -1);
}

TEST_F(Volume, DamagedFirstAnchorIsRebuiltFromTheSecond) {
  env().sector(256)[0] = 3;  // tag identifier 3
  reseal(env().sector(256));
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_TRUE(env().logged("AVDP_1 TagID is invalid\n"));
  EXPECT_TRUE(env().logged("Rebuild AVDP1\n"));
  EXPECT_EQ(tag_at(256).id, 2);
  EXPECT_EQ(tag_at(256).tag_loc, 256u);
  EXPECT_EQ(anchor_at(256).main_vds_ex.loc, 288u);
  EXPECT_GE(env().find_call("bwrite lsn=256 size=65536"), 0);
}

TEST_F(Volume, AnchorVerdictsWhenBothAreBad) {
  struct Row {
    const char* name;
    bool unreadable1, unreadable2;
    int result;
    const char* message;
    uint32_t status;
  } rows[] = {
      {"both unreadable", true, true, 2, "cannot read All AVDP . \n", 0x80000030u},
      {"first unreadable, second bad CRC", true, false, 2, "All AVDP is invalid. \n", 0x80000200u},
      {"first bad CRC, second unreadable", false, true, 22, "All AVDP is invalid. \n", 0x80000200u},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    if (r.unreadable1) env().unreadable.insert(256); else env().sector(256)[100] ^= 1;
    if (r.unreadable2) env().unreadable.insert(layout.avdp2); else env().sector(layout.avdp2)[100] ^= 1;
    uint32_t mirror = 1;
    EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, &mirror), r.result);
    EXPECT_TRUE(env().logged(r.message));
    EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
    EXPECT_EQ(mnt->mntinfo.MountStatus, r.status);
    EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80000u);
    EXPECT_EQ(mirror, 0u);
    EXPECT_EQ(env().count_calls("bwrite"), 0u);
  }
}

TEST_F(Volume, AnchorsFromTheCacheFileAndTheirMirror) {
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, &mirror), 0);
  EXPECT_EQ(mirror, 1u);
  EXPECT_GE(env().find_call("cache_write h=3 off=0x10000 len=2048"), 0);
  EXPECT_GE(env().find_call("cache_write h=3 off=0x20000 len=2048"), 0);
  EXPECT_EQ(std::memcmp(env().cache_file.data() + 0x20000, env().sector(layout.avdp2), kSector), 0);

  // The next mount reads the copies from the cache file alone.
  env().calls.clear();
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  again.fsmanage_handle = 3;
  EXPECT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 1, nullptr), 0);
  EXPECT_EQ(env().count_calls("bread"), 0u);
  EXPECT_EQ(+again.avdp.reserve_vds_ex.loc, 304u);

  // A damaged copy in the cache is never rebuilt there: 22, the medium decides.
  env().cache_file[0x20000 + 100] ^= 1;
  env().calls.clear();
  EXPECT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 1, nullptr), 22);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(env().count_calls("fsmanage_delete"), 0u);
}

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

TEST_F(Volume, F2AnchorRewriteReservesItsRangeFirst) {
  load(MediumClass::F2);
  env().sector(layout.avdp2)[100] ^= 1;
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  const std::string first = std::to_string(spec.sectors - 128);
  const int reserve = env().find_call("ioctl 0x8008556e first=" + first + " count=128");
  const int write = env().find_call("bwrite lsn=" + first + " size=262144");
  ASSERT_GE(reserve, 0);
  ASSERT_GE(write, 0);
  EXPECT_LT(reserve, write);
  EXPECT_EQ(tag_at(layout.avdp2).tag_loc, layout.avdp2);
}

// ---------------------------------------------------------------- sequences

TEST_F(Volume, GoodSequenceFillsTheMountCopies) {
  ASSERT_EQ(read_both(), 0);
  const auto& v = mnt->vds;
  EXPECT_EQ(v.pvd.vds_num, 1);
  EXPECT_EQ(v.pvd.ichg_lvl, 3);
  EXPECT_EQ(v.pd.part_len, layout.partition_len);
  EXPECT_EQ(v.lvd.n_pm, 2u);
  EXPECT_EQ(v.pmap.type2_metadata.type, 2);
  EXPECT_EQ(v.pmap.type2_metadata.file_loc, layout.metadata_file_loc);
  EXPECT_EQ(v.pmap.type2_metadata.mirror_file_loc, layout.mirror_file_loc);
  EXPECT_EQ(v.pmap.type1_count, 1u);
  EXPECT_EQ(v.pmap.type1[0].vol_seq_num, 1);
  EXPECT_EQ(v.usd.seq_num, 4u);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(env().count_calls("bread lsn=304 size=65536"), 1u) << "both copies are read";
  EXPECT_EQ(env().live_buffers, 0);
}

TEST_F(Volume, SlotTwoVolumeHasFourMaps) {
  load(MediumClass::WriteOnce, 2);
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(mnt->vds.pvd.vds_num, 3);
  EXPECT_EQ(mnt->vds.lvd.n_pm, 4u);
  ASSERT_EQ(mnt->vds.pmap.type1_count, 3u);
  for (uint16_t i = 0; i < 3; ++i) EXPECT_EQ(mnt->vds.pmap.type1[i].vol_seq_num, i + 1);
}

TEST_F(Volume, BrokenMainCopyIsRebuiltFromTheReserve) {
  env().sector(290)[200] ^= 1;  // the partition descriptor's CRC fails
  uint32_t mirror = 1;
  ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, &mirror), 0);
  EXPECT_TRUE(env().logged("MVDS is broken. MVDS offset=2\n"));
  EXPECT_TRUE(env().logged("Rebuild MVDS\n"));
  EXPECT_EQ(mirror, 0u);
  EXPECT_GE(env().find_call("fsmanage_delete"), 0);
  EXPECT_GE(env().find_call("bwrite lsn=288 size=65536"), 0);
  EXPECT_TRUE(copy_valid(288, kSequence)) << "fresh tags at the main locations";
  EXPECT_TRUE(copy_valid(304, kSequence));
  EXPECT_EQ(mnt->vds.pd.part_len, layout.partition_len);
  // The next read finds both copies sound.
  env().calls.clear();
  env().logs.clear();
  EXPECT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Volume, RebuildIsNotWrittenWhereTheAnchorNamesAnotherPlace) {
  // The anchor names a reserve copy at 600 (a sound copy is there): the
  // rebuild of the broken main copy would place it at 304, not where the
  // anchor says, so nothing is written and the volume is read-only.
  for (uint32_t i = 0; i < 6; ++i) {
    std::memcpy(env().sector(600 + i), env().sector(304 + i), kSector);
    relocate(env().sector(600 + i), 600 + i);
  }
  env().sector(290)[200] ^= 1;
  ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  mnt->avdp.reserve_vds_ex.loc = 600;
  EXPECT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_TRUE(env().logged("Rebuild MVDS\n"));
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80000u);
  EXPECT_EQ(mnt->vds.pd.part_len, layout.partition_len) << "the sound copy is in the mount";
}

TEST_F(Volume, UnreadableReserveCopyIsRebuiltFromTheMain) {
  env().unreadable.insert(330);  // inside the reserve copy's 64 KiB only
  ASSERT_EQ(read_both(), 0);
  EXPECT_TRUE(env().logged("RVDS is not read. RVDS offset=304\n"));
  EXPECT_TRUE(env().logged("Rebuild RVDS\n"));
  EXPECT_TRUE(copy_valid(304, kSequence));
}

TEST_F(Volume, RebuiltCopyKeepsEachDescriptorsOwnIdentifier) {
  // A reserve copy whose implementation use and partition descriptors are in
  // the other order, and a broken main copy.
  std::vector<uint8_t> iuvd(env().sector(305), env().sector(305) + kSector);
  std::memcpy(env().sector(305), env().sector(306), kSector);
  std::memcpy(env().sector(306), iuvd.data(), kSector);
  relocate(env().sector(305), 305);
  relocate(env().sector(306), 306);
  env().sector(288)[300] ^= 1;
  ASSERT_EQ(read_both(), 0);
  EXPECT_TRUE(copy_valid(288, {1, 5, 4, 6, 7, 8}));
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  ASSERT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(&again, nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(again.vds.iuvd.seq_num, 1u);
  EXPECT_EQ(again.vds.pd.part_len, layout.partition_len);
}

TEST_F(Volume, AnchorExtentLongerThanTheImageIsClampedWhenRebuilding) {
  set_anchors(extent_ad{0x8000, 288}, extent_ad{0x40000, 304});
  env().sector(289)[100] ^= 1;
  ASSERT_EQ(read_both(), 0);
  EXPECT_TRUE(copy_valid(288, kSequence));
  EXPECT_TRUE(copy_valid(304, kSequence));
  EXPECT_EQ(env().count_calls("bwrite lsn=288 size=65536"), 1u);
}

TEST_F(Volume, SerialNumberMismatchFailsAtOnce) {
  desc_tag t;
  std::memcpy(&t, env().sector(289), sizeof t);
  t.serial_num = 99;
  std::memcpy(env().sector(289), &t, sizeof t);
  reseal(env().sector(289));
  ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 22);
  EXPECT_TRUE(env().logged("TSN is invalid VDS's=00000063, AVDP's=00000007\n"));
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000030u);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Volume, SecondPartitionDescriptorIsKeptAndMakesTheVolumeReadOnly) {
  // Sector 293 (the terminator) becomes a second partition descriptor; the
  // terminator moves to 294.
  std::memcpy(env().sector(294), env().sector(293), kSector);
  relocate(env().sector(294), 294);
  std::memcpy(env().sector(293), env().sector(290), kSector);
  part_desc pd;
  std::memcpy(&pd, env().sector(293), sizeof pd);
  pd.part_len = 1234;
  std::memcpy(env().sector(293), &pd, sizeof pd);
  relocate(env().sector(293), 293);
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(mnt->vds.pd.part_len, 1234u);
  EXPECT_TRUE(env().logged("duplicated PartitionDesc is found, do Read Only.\n"));
  EXPECT_GE(env().find_call("wrprot 0x80000 keep=1"), 0);
}

TEST_F(Volume, BothCopiesBadMeansRawMount) {
  struct Row {
    const char* name;
    bool unreadable;
    const char* message;
  } rows[] = {{"checksums", false, "MVDS & RVDS checksum invalid, RAW mount.\n"},
              {"reads", true, "MVDS & RVDS invalid, RAW mount.\n"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    if (r.unreadable) {
      env().unreadable.insert(300);
      env().unreadable.insert(310);
    } else {
      env().sector(288)[4] ^= 1;
      env().sector(304)[4] ^= 1;
    }
    EXPECT_EQ(read_both(), 22);
    EXPECT_TRUE(env().logged(r.message));
    EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
    EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000030u);
    EXPECT_EQ(env().count_calls("bwrite"), 0u);
  }
}

TEST_F(Volume, MissingDescriptorMakesTheStructureInvalid) {
  std::memcpy(env().sector(289), env().sector(289 + 1), 0);  // keep
  desc_tag t;
  std::memcpy(&t, env().sector(292), sizeof t);
  t.id = 3;  // the unallocated space descriptor becomes a pointer
  std::memcpy(env().sector(292), &t, sizeof t);
  reseal(env().sector(292));
  EXPECT_EQ(read_both(), 22);
  EXPECT_TRUE(env().logged("Unknown Tag=3\n"));
  EXPECT_TRUE(env().logged("VDS is invalid structure.exist_desc=0000002f\n"));
}

TEST_F(Volume, SequenceWithoutTerminatorNeedsA64KiBExtent) {
  for (uint32_t len : {0x10000u, 0x8000u}) {
    SCOPED_TRACE(len);
    load(MediumClass::WriteOnce);
    // Both copies run to the end of their 64 KiB with pointer descriptors
    // instead of a terminator.
    for (uint32_t lsn : {293u, 309u}) {
      for (uint32_t s = lsn; s < lsn + 27; ++s) {
        if (s >= 304 && s < 309) continue;
        std::memset(env().sector(s), 0, kSector);
        desc_tag t{};
        t.id = 3;
        t.descriptor_ver = 3;
        t.serial_num = spec.serial;
        t.tag_loc = s;
        std::memcpy(env().sector(s), &t, sizeof t);
        mdcudfsr_set_udf_tag_crc_and_checksum(env().sector(s), 512);
      }
    }
    set_anchors(extent_ad{len, 288}, extent_ad{len, 304});
    EXPECT_EQ(read_both(), len == 0x10000 ? 0 : 22);
    EXPECT_TRUE(env().logged("Unknown Tag=3\n"));
    if (len != 0x10000) {
      EXPECT_TRUE(env().logged("unexpected VDS byte length (0x8000) should be 0x10000\n"));
    }
  }
}

TEST_F(Volume, EmptySectorBeforeTheTerminatorBreaksTheSerialNumberRule) {
  std::memcpy(env().sector(294), env().sector(293), kSector);
  relocate(env().sector(294), 294);
  std::memset(env().sector(293), 0, kSector);
  EXPECT_EQ(read_both(), 22);
  EXPECT_TRUE(env().logged("TSN is invalid VDS's=00000000, AVDP's=00000007\n"));
}

// The partition maps of the main copy's logical volume descriptor, rewritten.
void set_maps(uint8_t* lvd_sector, uint32_t n_pm, const std::vector<uint8_t>& maps) {
  logvol_desc d;
  std::memcpy(&d, lvd_sector, sizeof d);
  d.n_pm = n_pm;
  d.mt_l = static_cast<uint32_t>(maps.size());
  std::memcpy(lvd_sector, &d, sizeof d);
  std::memset(lvd_sector + 440, 0, kSector - 440);
  std::memcpy(lvd_sector + 440, maps.data(), std::min<size_t>(maps.size(), kSector - 440));
  d.tag.desc_crc_len = static_cast<uint16_t>(kSector - 16);
  std::memcpy(lvd_sector, &d, sizeof d);
  reseal(lvd_sector);
}

std::vector<uint8_t> type1(uint16_t vsn) { return {1, 6, static_cast<uint8_t>(vsn), 0, 0, 0}; }

TEST_F(Volume, PartitionMapTableIsWalkedSafely) {
  std::vector<uint8_t> metadata(env().sector(291) + 440, env().sector(291) + 504);
  struct Row {
    const char* name;
    uint32_t n_pm;
    std::vector<uint8_t> maps;
    int result;
  } rows[] = {
      {"map length below 2", 2, [&] { auto m = metadata; m.insert(m.end(), {1, 1, 0, 0, 0, 0}); return m; }(), 22},
      {"map running past the sector", 40,
       [&] {
         auto m = metadata;
         for (int i = 0; i < 30; ++i) m.insert(m.end(), {9, 60, 0, 0});
         m.resize(kSector - 440, 0);
         return m;
       }(),
       22},
      {"thirteen type-1 maps", 14,
       [&] {
         auto m = metadata;
         for (uint16_t i = 1; i <= 13; ++i) {
           auto t = type1(i);
           m.insert(m.end(), t.begin(), t.end());
         }
         return m;
       }(),
       22},
      {"unknown map skipped", 3,
       [&] {
         auto m = metadata;
         m.insert(m.end(), {3, 8, 0, 0, 0, 0, 0, 0});
         auto t = type1(1);
         m.insert(m.end(), t.begin(), t.end());
         return m;
       }(),
       0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    set_maps(env().sector(291), r.n_pm, r.maps);
    EXPECT_EQ(read_both(), r.result);
    if (r.result == 0) {
      EXPECT_TRUE(env().logged("Unknown partition map is found.\n"));
      EXPECT_EQ(mnt->vds.pmap.type1_count, 1u);
    }
  }
}

TEST_F(Volume, UnallocatedSpaceCountIsBoundedToTheBlock) {
  unalloc_space_desc u;
  std::memcpy(&u, env().sector(292), sizeof u);
  u.num_alloc_desc = 300;
  std::memcpy(env().sector(292), &u, sizeof u);
  reseal(env().sector(292));
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(mnt->vds.usd.num_alloc_desc, 253u);
}

TEST_F(Volume, SequenceMirrorGoesToTheCacheFile) {
  for (MediumClass cls : {MediumClass::WriteOnce, MediumClass::F2}) {
    load(cls);
    uint32_t mirror = 1;
    ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, &mirror), 0);
    ASSERT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 1, 1, 0, &mirror), 0);
    EXPECT_EQ(mirror, 1u);
    EXPECT_GE(env().find_call("invalidateblks"), 0);
    EXPECT_EQ(env().count_calls("cache_write h=3 off=0x30000 len=65536"), 1u);
    EXPECT_EQ(env().count_calls("cache_write h=3 off=0x38000 len=32768"), cls == MediumClass::F2 ? 1u : 0u);
    // And back from the cache file.
    mdcudfsr_mount again;
    init_mount(&again, spec.sectors, spec.medium_type, 0);
    again.fsmanage_handle = 3;
    env().calls.clear();
    ASSERT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 1, nullptr), 0);
    EXPECT_EQ(mdcudfsr_read_vds(&again, nullptr, 0, 1, 1, nullptr), 0);
    EXPECT_EQ(env().count_calls("bread"), 0u);
    EXPECT_EQ(again.vds.pd.part_len, layout.partition_len);
  }
}

TEST_F(Volume, F2SequenceRebuildReservesTheWholeImage) {
  load(MediumClass::F2);
  env().sector(384)[300] ^= 1;
  ASSERT_EQ(read_both(), 0);
  const int reserve = env().find_call("ioctl 0x8008556e first=384 count=256");
  const int write = env().find_call("bwrite lsn=384 size=524288");
  ASSERT_GE(reserve, 0);
  ASSERT_GE(write, 0);
  EXPECT_LT(reserve, write);
  EXPECT_TRUE(copy_valid(384, kSequence));
  EXPECT_TRUE(copy_valid(512, kSequence));
}

}  // namespace

namespace {

using namespace udf_test;

TEST_F(Volume, AnchorRewriteThatKeepsFailingStillMounts) {
  env().sector(layout.avdp2)[100] ^= 1;
  env().write_fail_all = 5;
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(env().count_calls("bwrite"), 10u);
  EXPECT_EQ(env().count_logged("Failed to write failed. status=5\n"), 10u);
  EXPECT_EQ(env().count_calls("ioctl 0x200055eb"), 10u) << "after every write, failed or not";
  EXPECT_EQ(+mnt->avdp.reserve_vds_ex.loc, 304u);
  EXPECT_EQ(env().live_buffers, 0);
}

TEST_F(Volume, AnchorRewriteIsSkippedOnARollbackMountOfAnotherSlot) {
  env().sector(layout.avdp2)[100] ^= 1;
  mnt->mount_ext_flags = 0x20;
  mnt->current_disc = 3;
  mnt->loaded_slot = 0;
  EXPECT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_EQ(+mnt->avdp.main_vds_ex.loc, 288u);
}

TEST_F(Volume, SequenceRebuildThatKeepsFailingReportsTheLastError) {
  env().sector(290)[200] ^= 1;
  env().write_fail_all = 5;
  env().sync_fail_all = 0;
  ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 5);
  EXPECT_EQ(env().count_calls("bwrite"), 10u);
  EXPECT_EQ(env().count_logged("Failed to write with status 5. \n"), 10u);
  EXPECT_EQ(env().count_calls("ioctl 0x200055eb"), 0u);
}

TEST_F(Volume, F2ReservationFailureIsRetried) {
  load(MediumClass::F2);
  env().sector(384)[300] ^= 1;
  env().reserve_results = {5, 0};
  ASSERT_EQ(read_both(), 0);
  EXPECT_EQ(env().count_calls("ioctl 0x8008556e"), 2u);
  EXPECT_EQ(env().count_calls("bwrite"), 1u);
  EXPECT_TRUE(env().logged("reserve write failed. status=5\n"));
  EXPECT_EQ(env().live_buffers, 0);
}

}  // namespace
