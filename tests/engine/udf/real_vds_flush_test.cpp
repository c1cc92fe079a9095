// Flush of the volume descriptor sequence and the link state on the real
// volume routines over the simulated drive: the disc change, the drive's
// cache sync and verify after each write, and the metadata file position
// kept in the cartridge memory.
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
#include <functional>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

class RealFlush : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls) {
    v.reset();
    v = std::make_unique<RealVolume>(cls);
    v->mount();
  }
  mdcudfsr_mount* m() { return v->m(); }
  part_map_metadata map_on_disc(uint32_t lvd_lsn) {
    part_map_metadata pm;
    std::memcpy(&pm, v->read(lvd_lsn).data() + 440, sizeof pm);
    return pm;
  }
  bool copy_valid(uint32_t loc) {
    const uint16_t ids[] = {1, 4, 5, 6, 7, 8};
    const std::vector<uint8_t> copy = v->read(loc, 6);
    for (uint32_t i = 0; i < 6; ++i) {
      const uint8_t* d = copy.data() + i * kSector;
      desc_tag t;
      std::memcpy(&t, d, sizeof t);
      if (t.id != ids[i] || t.tag_loc != loc + i) return false;
      if (!mdcudfsr_check_udf_tag_checksum(d) || !mdcudfsr_check_udf_tag_crc(d, kSector)) return false;
    }
    return true;
  }
  // The write, sync, verify, reserve and load commands in order.
  std::vector<uint8_t> steps() {
    std::vector<uint8_t> out;
    for (const Command& c : v->commands())
      if (c.op == kWrite10 || c.op == kSyncCache || c.op == kVerify10 || c.op == kReserve || c.op == kLoad)
        if (out.empty() || out.back() != c.op || c.op != kWrite10) out.push_back(c.op);
    return out;
  }
  // (first, last + 1) of the blocks the commands with `op` covered.
  std::pair<uint32_t, uint32_t> span(uint8_t op) {
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (const Command& c : v->commands())
      if (c.op == op) {
        lo = std::min(lo, c.lba);
        hi = std::max(hi, c.lba + c.blocks);
      }
    return {lo, hi};
  }
  std::unique_ptr<RealVolume> v;
};

TEST_F(RealFlush, WritesBothCopiesInOneImageThenSyncsAndVerifies) {
  uint32_t skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(m(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 0u);
  EXPECT_EQ(steps(), (std::vector<uint8_t>{kWrite10, kSyncCache, kVerify10}))
      << "the last written slot is loaded: no disc change";
  EXPECT_EQ(span(kWrite10), std::make_pair(288u, 320u));
  EXPECT_EQ(span(kVerify10), std::make_pair(288u, 320u));
  EXPECT_TRUE(copy_valid(288));
  EXPECT_TRUE(copy_valid(304));
  logvol_desc lvd;
  std::memcpy(&lvd, v->read(291).data(), sizeof lvd);
  EXPECT_EQ(lvd.n_pm, 2u);
  EXPECT_EQ(lvd.mt_l, 70u);
  EXPECT_EQ(lvd.integrity_seq_id.len, 4u * kSector);
  EXPECT_EQ(lvd.tag.desc_crc_len, 510 - 16);
  EXPECT_EQ(map_on_disc(291).file_loc, v->layout.metadata_file_loc);
  // The flushed sequence reads back into the same descriptors.
  auto again = v->record();
  ASSERT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 0, nullptr), 0);
  ASSERT_EQ(mdcudfsr_read_vds(again.get(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(std::memcmp(&again->vds.pd, &m()->vds.pd, sizeof again->vds.pd), 0);
  EXPECT_EQ(again->vds.pmap.type1_count, 1u);
  EXPECT_EQ(mdcudfsr_check_vds_structure(again.get(), nullptr, nullptr), 0);
}

TEST_F(RealFlush, UnchangedSequenceIsSkippedInCheckMode2) {
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  v->clear();
  m()->desc_write_check_mode = 2;
  uint32_t skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(m(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_TRUE(logged("flush vds skip \n"));
  // A changed sequence is written.
  m()->vds.pd.part_len -= 1;
  skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(m(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 0u);
  EXPECT_NE(v->count(kWrite10), 0u);
}

TEST_F(RealFlush, SoftWriteProtectGoesIntoTheDomainSuffix) {
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 1), 0);
  logvol_desc lvd;
  std::memcpy(&lvd, v->read(307).data(), sizeof lvd);
  EXPECT_EQ(lvd.domain_id.id_suffix[2], 2);
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  std::memcpy(&lvd, v->read(307).data(), sizeof lvd);
  EXPECT_EQ(lvd.domain_id.id_suffix[2], 0);
}

// F2h's copies lie in write units of their own: each is reserved, written,
// synced and verified before the other is touched.
TEST_F(RealFlush, F2WritesEachCopyInTurnReservedBeforeItsWrite) {
  load(MediumClass::F2);
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  EXPECT_EQ(steps(), (std::vector<uint8_t>{kReserve, kWrite10, kSyncCache, kVerify10, kReserve, kWrite10,
                                           kSyncCache, kVerify10}));
  std::vector<std::pair<uint32_t, uint32_t>> reserved, written;
  for (const Command& c : v->commands()) {
    if (c.op == kReserve) reserved.emplace_back(c.lba, 0);
    if (c.op == kWrite10) written.emplace_back(c.lba, c.lba + c.blocks);
  }
  EXPECT_EQ(reserved, (std::vector<std::pair<uint32_t, uint32_t>>{{384u, 0}, {512u, 0}}));
  EXPECT_EQ(span(kWrite10), std::make_pair(384u, 640u));
  EXPECT_EQ(span(kVerify10), std::make_pair(384u, 640u));
  EXPECT_TRUE(copy_valid(384));
  EXPECT_TRUE(copy_valid(512));
}

TEST_F(RealFlush, FailuresOfEachStep) {
  struct Row {
    const char* name;
    kelsim::FaultRule fault;
    const char* message;  // followed by the error
    const char* end;
    bool slot_change;
  } rows[] = {
      {"write", kelsim::write_error(288, 319), "err=", "\n", false},
      {"sync", kelsim::command_fails(kSyncCache, kelsim::Sense{0x03, 0x0C, 0x00}), "sync chace is failed.(", ")\n",
       false},
      {"verify", kelsim::command_fails(kVerify10, kelsim::Sense{0x03, 0x11, 0x00}), "verify range is failed.(",
       ")\n", false},
      {"slot change", kelsim::command_fails(kLoad, kelsim::Sense{0x02, 0x3A, 0x00}),
       "Failed to load last written slot with status ", ". \n", true},
  };
  for (Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    if (r.slot_change) {
      v->blank_disc(1);
      m()->current_disc = 1;
    }
    r.fault.times = 1;
    v->sim().drive().add_fault(r.fault);
    const int err = mdcudfsr_flush_vds(m(), nullptr, nullptr, 0);
    EXPECT_NE(err, 0);
    EXPECT_TRUE(logged(r.message + std::to_string(err) + r.end));
  }
}

TEST_F(RealFlush, RefreshAfterRebuildUsesTheVolumeLabel) {
  m()->vds_repaired = 1;
  const char label[] = "\x08NEWLABEL";
  std::memcpy(m()->logvol_id, label, sizeof label - 1);
  m()->logvol_id[127] = 9;
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  logvol_desc lvd;
  std::memcpy(&lvd, v->read(291).data(), sizeof lvd);
  EXPECT_EQ(std::memcmp(lvd.logvol_id, m()->logvol_id, 128), 0);
  EXPECT_EQ(std::memcmp(v->read(289).data() + 52 + 64, m()->logvol_id, 128), 0);
}

TEST_F(RealFlush, CacheCopyIsKeptWhileTheCacheFileIsOpen) {
  m()->fsmanage_handle = 4;
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  ASSERT_NE(m()->vds_cache_image[0], nullptr);
  EXPECT_EQ(std::memcmp(m()->vds_cache_image[0], v->read(288, 32).data(), 0x10000), 0);
}

// ---------------------------------------------------------------- link and unlink

TEST_F(RealFlush, UnlinkThenLinkRoundTrip) {
  const uint32_t M = v->layout.metadata_file_loc, R = v->layout.mirror_file_loc, len = m()->vds.pd.part_len;
  ASSERT_EQ(mdcudfsr_unlink_vds(m(), nullptr), 0);
  EXPECT_EQ(map_on_disc(291).file_loc, len);
  EXPECT_EQ(map_on_disc(291).mirror_file_loc, len);
  EXPECT_EQ(map_on_disc(307).file_loc, len);
  EXPECT_EQ(m()->metadata_file_loc, M) << "the mount goes on with the real locations";
  EXPECT_EQ(m()->metadata_mirror_loc, R);
  EXPECT_TRUE(logged("Unlink VDS\n"));
  uint32_t vuvi;
  std::memcpy(&vuvi, v->attribute_record().data() + kAttributeVuviOffset, 4);
  EXPECT_EQ(vuvi & 0x3FFFFFFu, (M + 4096) / 32);
  EXPECT_EQ(vuvi >> 26, 0u);
  EXPECT_EQ(m()->attr_update_mask & 0x80u, 0u) << "written to the cartridge memory";
  const auto ops = v->opcodes();
  const auto wa = std::find(ops.begin(), ops.end(), kWriteAttribute);
  ASSERT_NE(wa, ops.end());
  EXPECT_LT(wa, std::find(ops.begin(), ops.end(), kWrite10)) << "the position is kept before the sequence changes";

  ASSERT_EQ(mdcudfsr_link_vds(m(), nullptr), 0);
  EXPECT_EQ(map_on_disc(291).file_loc, M);
  EXPECT_EQ(map_on_disc(291).mirror_file_loc, R);
  char msg[64];
  std::snprintf(msg, sizeof msg, "Link VDS Metadata File Location=0x%08x\n", M);
  EXPECT_TRUE(logged(msg));
}

TEST_F(RealFlush, UnlinkedMediumIsRelinkedAtTheNextMount) {
  m()->current_disc = 0;
  ASSERT_EQ(mdcudfsr_unlink_vds(m(), nullptr), 0);
  auto again = v->record();
  ASSERT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 0, nullptr), 0);
  ASSERT_EQ(mdcudfsr_read_vds(again.get(), nullptr, 0, 1, 0, nullptr), 0);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(again.get(), nullptr, &relinked, nullptr), 0);
  EXPECT_EQ(relinked, 1u);
  EXPECT_EQ(again->metadata_file_loc, v->layout.metadata_file_loc);
  EXPECT_EQ(again->vds.pmap.type2_metadata.mirror_file_loc, v->layout.mirror_file_loc);
}

TEST_F(RealFlush, LinkGivesUpAfterTenFailedFlushes) {
  v->sim().drive().add_fault(kelsim::write_error(288, 319));
  const int err = mdcudfsr_link_vds(m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_EQ(count_logged("failed to flush vds.. " + std::to_string(err) + " \n"), 10u);
  EXPECT_TRUE(logged("failed to write vds with status " + std::to_string(err) + ". \n"));
}

// (The UDF code reads the mount's copy of the cartridge memory, which the
// real routine never fails to give; that failure stays with the stand-in.)
TEST_F(RealFlush, AttributeWriteFailureStopsTheLinkBeforeAnyWrite) {
  v->sim().drive().add_fault(kelsim::command_fails(kWriteAttribute, kelsim::Sense{0x03, 0x0C, 0x00}));
  const int err = mdcudfsr_unlink_vds(m(), nullptr);
  EXPECT_NE(err, 0);
  EXPECT_TRUE(logged("Write Attribute is failed err:" + std::to_string(err) + "\n"));
  EXPECT_EQ(v->count(kWrite10), 0u);
  EXPECT_EQ(m()->metadata_file_loc, v->layout.metadata_file_loc);
  EXPECT_EQ(map_on_disc(291).file_loc, v->layout.metadata_file_loc) << "the sequence still names the file";
}

TEST_F(RealFlush, ImageComparisonIgnoresChecksumsAndRecordingTimes) {
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  std::vector<uint8_t> image = v->read(288, 32);
  uint32_t identical = 0;
  ASSERT_EQ(mdcudfsr_is_writing_descriptor_exist(m(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_EQ(identical, 1u);
  // A new recording time in the primary volume descriptor is not a difference.
  image[offsetof(pri_vol_desc, time) + 2] ^= 1;
  mdcudfsr_set_udf_tag_crc_and_checksum(image.data(), 512);
  ASSERT_EQ(mdcudfsr_is_writing_descriptor_exist(m(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_EQ(identical, 1u);
  // Any other byte is.
  image[offsetof(pri_vol_desc, vds_num)] ^= 1;
  ASSERT_EQ(mdcudfsr_is_writing_descriptor_exist(m(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_EQ(identical, 0u);
  EXPECT_EQ(mdcudfsr_is_writing_descriptor_exist(m(), image.data(), 288, 32, nullptr, nullptr), 22);
  v->unreadable(300);
  EXPECT_NE(mdcudfsr_is_writing_descriptor_exist(m(), image.data(), 288, 32, &identical, nullptr), 0);
  EXPECT_TRUE(logged("Failed to read img\n"));
}

TEST_F(RealFlush, FailedComparisonStillWrites) {
  m()->desc_write_check_mode = 2;
  v->unreadable(300);
  uint32_t skipped = 0;
  EXPECT_EQ(mdcudfsr_flush_vds(m(), &skipped, nullptr, 0), 0);
  EXPECT_EQ(skipped, 0u);
  bool compare_failed = false;
  for (const LogLine& l : logs())
    if (l.text.rfind("failed to compare buffer with status ", 0) == 0 &&
        l.text.find(". do write") != std::string::npos)
      compare_failed = true;
  EXPECT_TRUE(compare_failed);
  EXPECT_EQ(span(kWrite10), std::make_pair(288u, 320u));
}

TEST_F(RealFlush, EmptyVolumeLabelNeverOverwritesTheIdentifiers) {
  m()->vds_repaired = 1;
  const std::vector<uint8_t> lvd = v->read(291);
  const std::vector<uint8_t> before(lvd.begin() + 84, lvd.begin() + 84 + 128);
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  const std::vector<uint8_t> after = v->read(291);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin() + 84));
}

TEST_F(RealFlush, NewSlotGetsItsOwnTypeOneMap) {
  // The cartridge moved on to slot 1 while the kept table still has one map:
  // the sequence goes to slot 1's disc, which is loaded first.
  v->blank_disc(1, 4096);
  m()->current_disc = 1;
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  EXPECT_EQ(m()->loaded_slot, 1u);
  EXPECT_EQ(steps().front(), kLoad);
  const std::vector<uint8_t> lvd_block = v->read(291);
  logvol_desc lvd;
  std::memcpy(&lvd, lvd_block.data(), sizeof lvd);
  EXPECT_EQ(lvd.n_pm, 3u);
  EXPECT_EQ(lvd.mt_l, 76u);
  part_map_type1 pm;
  std::memcpy(&pm, lvd_block.data() + 440 + 64 + 6, sizeof pm);
  EXPECT_EQ(pm.type, 1);
  EXPECT_EQ(pm.len, 6);
  EXPECT_EQ(+pm.vol_seq_num, 2);
  pri_vol_desc pvd;
  std::memcpy(&pvd, v->read(288).data(), sizeof pvd);
  EXPECT_EQ(+pvd.vds_num, 2);
}

TEST_F(RealFlush, SequenceIsWrittenOnlyAtTheLayoutLocations) {
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
    load(r.cls);
    // As laid out, the flush writes.
    const bool re = r.cls == MediumClass::Rewritable;
    auto flush = [&] {
      return re ? mdcudfsr_flush_vds_re(m(), nullptr, nullptr, 0) : mdcudfsr_flush_vds(m(), nullptr, nullptr, 0);
    };
    ASSERT_EQ(flush(), 0);
    m()->avdp.main_vds_ex.loc += r.main_shift;
    m()->avdp.reserve_vds_ex.loc += r.reserve_shift;
    v->clear();
    EXPECT_EQ(flush(), 22);
    EXPECT_EQ(v->count(kWrite10), 0u);
    EXPECT_EQ(v->count(kReserve), 0u);
    EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0x80000u);
  }
}

}  // namespace
