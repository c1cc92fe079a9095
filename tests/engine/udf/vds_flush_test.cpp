// Flush of the volume descriptor sequence and the link state.
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

TEST_F(Flush, WritesBothCopiesInOneImageThenSyncsAndVerifies) {
  uint32_t skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(mnt.get(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 0u);
  EXPECT_EQ(env().calls,
            (std::vector<std::string>{"disc_change code=0xff inv=0 on_mount=0", "getblk lsn=288 size=65536 op=16",
                                      "setflags 4", "bwrite lsn=288 size=65536", "ioctl 0x200055eb",
                                      "disc_change code=0xff inv=0 on_mount=0", "sync",
                                      "disc_change code=0xff inv=0 on_mount=0", "verify first=288 count=32"}));
  EXPECT_TRUE(copy_valid(288));
  EXPECT_TRUE(copy_valid(304));
  logvol_desc lvd;
  std::memcpy(&lvd, env().sector(291), sizeof lvd);
  EXPECT_EQ(lvd.n_pm, 2u);
  EXPECT_EQ(lvd.mt_l, 70u);
  EXPECT_EQ(lvd.integrity_seq_id.len, 4u * kSector);
  EXPECT_EQ(lvd.tag.desc_crc_len, 510 - 16);
  EXPECT_EQ(map_on_medium(291).file_loc, layout.metadata_file_loc);
  // The flushed sequence reads back into the same descriptors.
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  ASSERT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 0, nullptr), 0);
  ASSERT_EQ(mdcudfsr_read_vds(&again, nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(std::memcmp(&again.vds.pd, &mnt->vds.pd, sizeof again.vds.pd), 0);
  EXPECT_EQ(again.vds.pmap.type1_count, 1u);
  EXPECT_EQ(mdcudfsr_check_vds_structure(&again, nullptr, nullptr), 0);
}

TEST_F(Flush, UnchangedSequenceIsSkippedInCheckMode2) {
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  env().calls.clear();
  mnt->desc_write_check_mode = 2;
  uint32_t skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(mnt.get(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
  EXPECT_TRUE(env().logged("flush vds skip \n"));
  // A changed sequence is written.
  mnt->vds.pd.part_len -= 1;
  skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(mnt.get(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 0u);
  EXPECT_EQ(env().count_calls("bwrite"), 1u);
}

TEST_F(Flush, SoftWriteProtectGoesIntoTheDomainSuffix) {
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 1), 0);
  logvol_desc lvd;
  std::memcpy(&lvd, env().sector(307), sizeof lvd);
  EXPECT_EQ(lvd.domain_id.id_suffix[2], 2);
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  std::memcpy(&lvd, env().sector(307), sizeof lvd);
  EXPECT_EQ(lvd.domain_id.id_suffix[2], 0);
}

TEST_F(Flush, F2ReservesTheWholeImageBeforeWriting) {
  load(MediumClass::F2);
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  const int reserve = env().find_call("ioctl 0x8008556e first=384 count=256");
  const int write = env().find_call("bwrite lsn=384 size=524288");
  ASSERT_GE(reserve, 0);
  ASSERT_GE(write, 0);
  EXPECT_LT(reserve, write);
  EXPECT_GE(env().find_call("verify first=384 count=256"), 0);
  EXPECT_TRUE(copy_valid(384));
  EXPECT_TRUE(copy_valid(512));
}

TEST_F(Flush, FailuresOfEachStep) {
  struct Row {
    const char* name;
    std::function<void()> arrange;
    int result;
    const char* message;
  } rows[] = {
      {"write", [] { env().write_results = {5}; }, 5, "err=5\n"},
      {"sync", [] { env().sync_results = {30}; }, 30, "sync chace is failed.(30)\n"},
      {"verify", [] { env().verify_results = {23}; }, 23, "verify range is failed.(23)\n"},
      {"slot change", [] { env().disc_change_results = {22}; }, 22,
       "Failed to load last written slot with status 22. \n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    r.arrange();
    EXPECT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), r.result);
    EXPECT_TRUE(env().logged(r.message));
    EXPECT_EQ(env().live_buffers, 0);
  }
}

TEST_F(Flush, CacheCopyIsKeptWhileTheCacheFileIsOpen) {
  mnt->fsmanage_handle = 4;
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  ASSERT_NE(mnt->vds_cache_image[0], nullptr);
  EXPECT_EQ(std::memcmp(mnt->vds_cache_image[0], env().sector(288), 0x10000), 0);
}

TEST_F(Flush, RefreshAfterRebuildUsesTheVolumeLabel) {
  mnt->vds_repaired = 1;
  const char label[] = "\x08NEWLABEL";
  std::memcpy(mnt->logvol_id, label, sizeof label - 1);
  mnt->logvol_id[127] = 9;
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  logvol_desc lvd;
  std::memcpy(&lvd, env().sector(291), sizeof lvd);
  EXPECT_EQ(std::memcmp(lvd.logvol_id, mnt->logvol_id, 128), 0);
  EXPECT_EQ(std::memcmp(env().sector(289) + 52 + 64, mnt->logvol_id, 128), 0);
}

// ---------------------------------------------------------------- link and unlink

TEST_F(Flush, UnlinkThenLinkRoundTrip) {
  const uint32_t M = layout.metadata_file_loc, R = layout.mirror_file_loc, len = mnt->vds.pd.part_len;
  ASSERT_EQ(mdcudfsr_unlink_vds(mnt.get(), nullptr), 0);
  EXPECT_EQ(map_on_medium(291).file_loc, len);
  EXPECT_EQ(map_on_medium(291).mirror_file_loc, len);
  EXPECT_EQ(map_on_medium(307).file_loc, len);
  EXPECT_EQ(mnt->metadata_file_loc, M) << "the mount goes on with the real locations";
  EXPECT_EQ(mnt->metadata_mirror_loc, R);
  EXPECT_TRUE(env().logged("Unlink VDS\n"));
  uint32_t vuvi;
  std::memcpy(&vuvi, env().attribute_record + kAttributeVuviOffset, 4);
  EXPECT_EQ(vuvi & 0x3FFFFFFu, (M + 4096) / 32);
  EXPECT_EQ(vuvi >> 26, 0u);
  EXPECT_NE(mnt->attr_update_mask & 0x80u, 0u);
  EXPECT_LT(env().find_call("write_attribute"), env().find_call("bwrite"));

  ASSERT_EQ(mdcudfsr_link_vds(mnt.get(), nullptr), 0);
  EXPECT_EQ(map_on_medium(291).file_loc, M);
  EXPECT_EQ(map_on_medium(291).mirror_file_loc, R);
  char msg[64];
  std::snprintf(msg, sizeof msg, "Link VDS Metadata File Location=0x%08x\n", M);
  EXPECT_TRUE(env().logged(msg));
}

TEST_F(Flush, UnlinkedMediumIsRelinkedAtTheNextMount) {
  mnt->current_disc = 0;
  ASSERT_EQ(mdcudfsr_unlink_vds(mnt.get(), nullptr), 0);
  mdcudfsr_mount again;
  init_mount(&again, spec.sectors, spec.medium_type, 0);
  ASSERT_EQ(mdcudfsr_read_avdp(&again, nullptr, 1, 0, nullptr), 0);
  ASSERT_EQ(mdcudfsr_read_vds(&again, nullptr, 0, 1, 0, nullptr), 0);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(&again, nullptr, &relinked, nullptr), 0);
  EXPECT_EQ(relinked, 1u);
  EXPECT_EQ(again.metadata_file_loc, layout.metadata_file_loc);
  EXPECT_EQ(again.vds.pmap.type2_metadata.mirror_file_loc, layout.mirror_file_loc);
}

TEST_F(Flush, LinkGivesUpAfterTenFailedFlushes) {
  env().write_fail_all = 5;
  EXPECT_EQ(mdcudfsr_link_vds(mnt.get(), nullptr), 5);
  EXPECT_EQ(env().count_calls("bwrite"), 10u);
  EXPECT_EQ(env().count_logged("failed to flush vds.. 5 \n"), 10u);
  EXPECT_TRUE(env().logged("failed to write vds with status 5. \n"));
}

TEST_F(Flush, AttributeFailuresStopTheLinkBeforeAnyWrite) {
  env().read_attribute_result = 5;
  EXPECT_EQ(mdcudfsr_unlink_vds(mnt.get(), nullptr), 5);
  EXPECT_TRUE(env().logged("Read Attribute is failed err:5\n"));
  env().read_attribute_result = 0;
  env().write_attribute_result = 19;
  EXPECT_EQ(mdcudfsr_unlink_vds(mnt.get(), nullptr), 19);
  EXPECT_TRUE(env().logged("Write Attribute is failed err:19\n"));
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

TEST_F(Flush, ImageComparisonIgnoresChecksumsAndRecordingTimes) {
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  std::vector<uint8_t> image(env().sector(288), env().sector(288) + 0x10000);
  uint32_t identical = 0;
  ASSERT_EQ(mdcudfsr_is_writing_descriptor_exist(mnt.get(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_EQ(identical, 1u);
  // A new recording time in the primary volume descriptor is not a difference.
  image[offsetof(pri_vol_desc, time) + 2] ^= 1;
  mdcudfsr_set_udf_tag_crc_and_checksum(image.data(), 512);
  ASSERT_EQ(mdcudfsr_is_writing_descriptor_exist(mnt.get(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_EQ(identical, 1u);
  // Any other byte is.
  image[offsetof(pri_vol_desc, vds_num)] ^= 1;
  ASSERT_EQ(mdcudfsr_is_writing_descriptor_exist(mnt.get(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_EQ(identical, 0u);
  EXPECT_EQ(mdcudfsr_is_writing_descriptor_exist(mnt.get(), image.data(), 288, 32, nullptr, nullptr), 22);
  env().unreadable.insert(300);
  EXPECT_NE(mdcudfsr_is_writing_descriptor_exist(mnt.get(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_TRUE(env().logged("Failed to read img\n"));
}

TEST_F(Flush, FailedComparisonStillWrites) {
  mnt->desc_write_check_mode = 2;
  env().unreadable.insert(300);
  uint32_t skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(mnt.get(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 0u);
  EXPECT_TRUE(env().logged("failed to compare buffer with status 12. do write"));
  EXPECT_EQ(env().count_calls("bwrite"), 1u);
}

TEST_F(Flush, EmptyVolumeLabelNeverOverwritesTheIdentifiers) {
  mnt->vds_repaired = 1;
  std::vector<uint8_t> before(env().sector(291) + 84, env().sector(291) + 84 + 128);
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  EXPECT_EQ(std::memcmp(env().sector(291) + 84, before.data(), 128), 0);
}

TEST_F(Flush, NewSlotGetsItsOwnTypeOneMap) {
  // The cartridge moved on to slot 1 while the kept table still has one map.
  mnt->current_disc = 1;
  ASSERT_EQ(mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
  logvol_desc lvd;
  std::memcpy(&lvd, env().sector(291), sizeof lvd);
  EXPECT_EQ(lvd.n_pm, 3u);
  EXPECT_EQ(lvd.mt_l, 76u);
  part_map_type1 m;
  std::memcpy(&m, env().sector(291) + 440 + 64 + 6, sizeof m);
  EXPECT_EQ(m.type, 1);
  EXPECT_EQ(m.len, 6);
  EXPECT_EQ(+m.vol_seq_num, 2);
  pri_vol_desc pvd;
  std::memcpy(&pvd, env().sector(288), sizeof pvd);
  EXPECT_EQ(+pvd.vds_num, 2);
}

TEST_F(Flush, SequenceIsWrittenOnlyAtTheLayoutLocations) {
  // Anchors whose extents name other places than the layout's: the flush
  // refuses to write there, and the volume is read-only.
  struct Row {
    const char* name;
    MediumClass cls;
    int32_t main_shift, reserve_shift;
  } rows[] = {
      {"write-once main", MediumClass::WriteOnce, 32, 0},
      {"write-once reserve", MediumClass::WriteOnce, 0, 64},
      {"F2h reserve", MediumClass::F2, 0, -16},
      {"rewritable main", MediumClass::Rewritable, 16, 0},
      {"rewritable reserve", MediumClass::Rewritable, 0, -32},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    spec = spec_for(r.cls, 0);
    env().reset(spec.sectors);
    layout = build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, 0);
    if (r.cls == MediumClass::Rewritable) {
      ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
    } else {
      ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
      ASSERT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
    }
    mnt->metadata_file_loc = layout.metadata_file_loc;
    mnt->metadata_mirror_loc = layout.mirror_file_loc;
    // As laid out, the flush writes.
    const bool re = r.cls == MediumClass::Rewritable;
    ASSERT_EQ(re ? mdcudfsr_flush_vds_re(mnt.get(), nullptr, nullptr, 0) : mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 0);
    mnt->avdp.main_vds_ex.loc += r.main_shift;
    mnt->avdp.reserve_vds_ex.loc += r.reserve_shift;
    env().calls.clear();
    EXPECT_EQ(re ? mdcudfsr_flush_vds_re(mnt.get(), nullptr, nullptr, 0) : mdcudfsr_flush_vds(mnt.get(), nullptr, nullptr, 0), 22);
    EXPECT_EQ(env().count_calls("bwrite"), 0u);
    EXPECT_EQ(env().count_calls("getblk"), 0u);
    EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80000u);
  }
}

TEST_F(Flush, RebuildRefusesASlotBeyondTheMapTable) {
  mnt->current_disc = 12;
  EXPECT_EQ(mdcudfsr_repair_vds(mnt.get(), nullptr, nullptr), 22);
}

}  // namespace
