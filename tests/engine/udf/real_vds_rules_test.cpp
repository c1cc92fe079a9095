// The descriptor sequence check made at mount on the real volume routines
// over the simulated drive: an unlinked sequence rebuilt and relinked from
// the metadata file position kept in the cartridge memory, and the
// cartridge-memory reads failing.
#include "engine/udf/real_support.h"

#include "kelvfs/mdcudfsr_cm.h"
#include "sim/harness.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

namespace {

using namespace udf_real;
using udf_test::MediumClass;

class RealRules : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls) {
    v.reset();
    v = std::make_unique<RealVolume>(cls);
    v->mount();
  }
  mdcudfsr_mount* m() { return v->m(); }
  const udf_test::ImageLayout& layout() const { return v->layout; }
  // The metadata file position written into the cartridge memory as the
  // volume writes it.
  void set_vuvi_raw(uint32_t value) {
    uint8_t record[MDCUDFSR_CM_RECORD_SIZE];
    ASSERT_EQ(mdcudfsr_read_attribute(m(), record, sizeof record, 1, 0, nullptr, 0), 0);
    std::memcpy(record + kAttributeVuviOffset, &value, sizeof value);
    m()->attr_update_mask |= 0x80;
    ASSERT_EQ(mdcudfsr_write_attribute(m(), record, sizeof record, 1, nullptr, 0), 0);
    v->clear();
  }
  void set_vuvi(uint32_t slot, uint32_t metadata_file_loc) {
    set_vuvi_raw(mdcudfsr_vuvi_encode(slot, metadata_file_loc));
  }
  void unlink_in_memory() {
    auto& md = m()->vds.pmap.type2_metadata;
    md.file_loc = md.mirror_file_loc = m()->vds.pd.part_len;
  }
  std::unique_ptr<RealVolume> v;
};

TEST_F(RealRules, ValidSequenceNeedsNothingMore) {
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 0);
  EXPECT_EQ(relinked, 0u);
  EXPECT_TRUE(v->commands().empty());
}

TEST_F(RealRules, UnlinkedSequenceIsRebuiltAndRelinkedFromTheCartridgeMemory) {
  unlink_in_memory();
  set_vuvi(0, layout().metadata_file_loc);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 0);
  EXPECT_TRUE(logged("Failed to parse VDS. Start Repairing VDS.\n"));
  EXPECT_EQ(relinked, 1u);
  EXPECT_EQ(m()->vds_repaired, 1u);
  char want[64];
  std::snprintf(want, sizeof want, "VDS unlinked. VUVI FE Location=0x%x\n", layout().metadata_file_loc + 4096);
  EXPECT_TRUE(logged(want));
  EXPECT_EQ(m()->vds.pmap.type2_metadata.file_loc, layout().metadata_file_loc);
  EXPECT_EQ(m()->vds.pmap.type2_metadata.mirror_file_loc, layout().metadata_file_loc + 16);
  EXPECT_EQ(m()->metadata_file_loc, layout().metadata_file_loc);
  EXPECT_EQ(m()->metadata_mirror_loc, layout().metadata_file_loc + 16);
  EXPECT_EQ(m()->mntinfo.AccessMode, 0u);
  EXPECT_EQ(m()->mntinfo.MountStatus, 0u) << "the saved mount information comes back";
  // The rebuilt sequence obeys the rules.
  EXPECT_EQ(mdcudfsr_check_vds_structure(m(), nullptr, nullptr), 0);
  EXPECT_EQ(v->count(kWrite10), 0u) << "the disc is written only by a later flush";
  EXPECT_GE(v->count(kReadAttribute), 1u) << "the serial and 1500h attributes come from the drive";
}

TEST_F(RealRules, RelinkFailures) {
  const uint32_t part_len = layout().partition_len;
  struct Row {
    const char* name;
    uint32_t vuvi_slot;
    int64_t metadata_loc;  // -1: the volume's own; -2: a raw value of 0
    const char* message;
  } rows[] = {
      {"slot mismatch", 1, -1, "Inconsistent Slot Number. lastwrittenslot=0 VUVI=1\n"},
      {"empty record", 0, -2, "VUVI FE Location is out of range. location=0x0 partition length=0xee0\n"},
      {"beyond the partition", 0, part_len,
       "VUVI FE Location is out of range. location=0x1ee0 partition length=0xee0\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    unlink_in_memory();
    if (r.metadata_loc == -2)
      set_vuvi_raw(0);
    else
      set_vuvi(r.vuvi_slot, r.metadata_loc < 0 ? layout().metadata_file_loc : static_cast<uint32_t>(r.metadata_loc));
    uint32_t relinked = 0;
    EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 22);
    EXPECT_TRUE(logged(r.message));
    EXPECT_EQ(relinked, 0u);
    EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
    EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
    EXPECT_EQ(m()->mntinfo.WriteProtectReasonFlags, 0x80000u);
    EXPECT_LT(m()->metadata_file_loc, 0xFFFFF000u) << "no location outside the partition is taken";
  }
}

TEST_F(RealRules, RebuiltSequenceIsCheckedAgainAfterTheRelink) {
  // The disc of slot 1 is loaded while slot 0 is the last written one: the
  // sequence rebuilt for slot 0 does not fit the loaded disc.
  m()->loaded_slot = 1;
  unlink_in_memory();
  set_vuvi(0, layout().metadata_file_loc);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 22);
  EXPECT_EQ(m()->vds_repaired, 1u);
  EXPECT_EQ(relinked, 0u);
  EXPECT_TRUE(logged("PVD vds_num (1) invalid (expect=2)\n"));
  EXPECT_EQ(m()->mntinfo.AccessMode, 2u);
}

TEST_F(RealRules, UnreadableSerialAttributeMountsReadOnly) {
  unlink_in_memory();
  set_vuvi(0, layout().metadata_file_loc);
  // The serial attribute (0401h, read first) fails; the 1500h read after it does not.
  kelsim::FaultRule rule = kelsim::command_fails(kReadAttribute, kelsim::Sense{0x03, 0x11, 0x00});
  rule.times = 1;
  v->sim().drive().add_fault(rule);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 30);
  EXPECT_TRUE(logged("failed to read attribute[ID:0401H].\n"));
  EXPECT_TRUE(logged("Failed to get serialNumber, mounting readonly\n"));
  EXPECT_EQ(relinked, 0u);
  EXPECT_EQ(m()->mntinfo.MountStatus, 0x80000030u);
  EXPECT_NE(m()->mntinfo.WriteProtectReasonFlags & 0x4000u, 0u);
}

TEST_F(RealRules, FailedRebuildKeepsTheStructureVerdict) {
  m()->vds.pvd.ichg_lvl = 2;
  // The serial attribute reads; the 1500h read that follows fails.
  kelsim::FaultRule rule = kelsim::command_fails(kReadAttribute, kelsim::Sense{0x03, 0x11, 0x00});
  rule.skip = 1;
  v->sim().drive().add_fault(rule);
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, nullptr, nullptr), 22);
  EXPECT_EQ(m()->vds_repaired, 0u);
  bool logged_failure = false;
  for (const LogLine& l : logs())
    if (l.text.rfind("Read Attribute is failed err:", 0) == 0) logged_failure = true;
  EXPECT_TRUE(logged_failure);
}

TEST_F(RealRules, RewritableSequenceIsRelinkedWithoutRebuild) {
  load(MediumClass::Rewritable);
  unlink_in_memory();
  m()->vds.pd.phd.unalloc_space_bitmap = short_ad{4096, 20};
  m()->vds.pmap.type2_metadata.bitmap_file_loc = m()->vds.pd.part_len;
  set_vuvi(0, layout().metadata_file_loc);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 0);
  EXPECT_FALSE(logged("Failed to parse VDS. Start Repairing VDS.\n"));
  EXPECT_EQ(relinked, 1u);
  EXPECT_EQ(m()->vds.pd.phd.unalloc_space_bitmap.len, 0u);
  EXPECT_EQ(m()->vds.pmap.type2_metadata.bitmap_file_loc, 0u);
  // P + M + 32 already lies beyond P + R, so the mirror does not raise it.
  EXPECT_EQ(m()->next_writable_address, 4096 + layout().metadata_file_loc + 32);
  EXPECT_EQ(m()->mntinfo.MountStatus, 0u);
  EXPECT_EQ(m()->mntinfo.AccessMode, 0u) << "the mount information went through its setters";
}

TEST_F(RealRules, RebuiltSequenceIsFlushedToBothLocationsAndMountsAgain) {
  // A sequence that breaks the rules and is unlinked: rebuilt in memory at
  // mount, relinked from the cartridge memory, then written by a flush.
  m()->vds.pvd.ichg_lvl = 2;
  unlink_in_memory();
  set_vuvi(0, layout().metadata_file_loc);
  uint32_t relinked = 0;
  ASSERT_EQ(mdcudfsr_check_vds_structure_for_mount(m(), nullptr, &relinked, nullptr), 0);
  ASSERT_EQ(relinked, 1u);
  EXPECT_EQ(v->count(kWrite10), 0u);
  ASSERT_EQ(mdcudfsr_flush_vds(m(), nullptr, nullptr, 0), 0);
  std::string volset;
  for (uint32_t loc : {288u, 304u}) {
    pri_vol_desc pvd;
    std::memcpy(&pvd, v->read(loc).data(), sizeof pvd);
    EXPECT_EQ(+pvd.ichg_lvl, 3);
    const std::string id(reinterpret_cast<char*>(pvd.volset_id + 1), 16);
    EXPECT_EQ(id.substr(8), "KELFS   ") << "the volume set's serial, then the system's name";
    if (volset.empty()) volset = id;
    EXPECT_EQ(id, volset) << "both copies alike";
    part_map_metadata pm;
    std::memcpy(&pm, v->read(loc + 3).data() + 440, sizeof pm);
    EXPECT_EQ(+pm.file_loc, layout().metadata_file_loc);
    EXPECT_EQ(+pm.mirror_file_loc, layout().mirror_file_loc);
  }
  auto again = v->record();
  ASSERT_EQ(mdcudfsr_read_avdp(again.get(), nullptr, 1, 0, nullptr), 0);
  ASSERT_EQ(mdcudfsr_read_vds(again.get(), nullptr, 0, 1, 0, nullptr), 0);
  EXPECT_EQ(mdcudfsr_check_vds_structure(again.get(), nullptr, nullptr), 0);
}

}  // namespace
