// Rules of the volume descriptor sequence, checked on the descriptors in
// memory, and the in-memory rebuild (real_vds_rules_test.cpp has the check
// made at mount on the real routines over the simulated drive).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vds_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using namespace udf_test;

void put_vuvi(uint32_t slot, uint32_t metadata_file_loc) {
  const uint32_t v = mdcudfsr_vuvi_encode(slot, metadata_file_loc);
  std::memcpy(env().attribute_record + kAttributeVuviOffset, &v, sizeof v);
}

class Rules : public ::testing::Test {
 protected:
  void SetUp() override { load(MediumClass::WriteOnce); }
  void load(MediumClass cls, uint32_t slot = 0) {
    spec = spec_for(cls, slot);
    env().reset(spec.sectors);
    layout = build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, slot);
    if (cls == MediumClass::Rewritable) {
      ASSERT_EQ(mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr), 0);
    } else {
      ASSERT_EQ(mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr), 0);
      ASSERT_EQ(mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr), 0);
    }
    mnt->metadata_file_loc = layout.metadata_file_loc;
    mnt->metadata_mirror_loc = layout.mirror_file_loc;
    env().calls.clear();
    env().logs.clear();
  }
  void set_vuvi(uint32_t slot, uint32_t metadata_file_loc) { put_vuvi(slot, metadata_file_loc); }
  void unlink_in_memory() {
    auto& md = mnt->vds.pmap.type2_metadata;
    md.file_loc = md.mirror_file_loc = mnt->vds.pd.part_len;
  }
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

TEST_F(Rules, TableOfCases) {
  using V = mdcudfsr_vds_copies;
  struct Row {
    const char* name;
    std::function<void(V&, mdcudfsr_mount&)> change;
    int result;
    const char* message;  // nullptr: none expected
    uint32_t status;      // mount status afterwards
    // Result of the check for mount with a cartridge memory that holds no
    // usable VUVI value (-1: the structure check's result).
    int mount_result = -1;
  } rows[] = {
      {"valid", [](V&, mdcudfsr_mount&) {}, 0, nullptr, 0},
      {"interchange level", [](V& v, mdcudfsr_mount&) { v.pvd.ichg_lvl = 2; }, 22,
       "PVD interchange level(2) invalid\n", 0x80000100u},
      {"implementation id slightly greater", [](V& v, mdcudfsr_mount&) { v.pvd.imp_id.id[10] = 'T'; }, 30,
       "PVD ImplementationID(*Tarn KELFT) not valid, mounting readonly\n", 0x80000100u},
      {"implementation id foreign", [](V& v, mdcudfsr_mount&) { v.pvd.imp_id.id[10] = 'A'; }, 22,
       "PVD ImplementationID(*Tarn KELFA) not valid, mounting readonly\n", 0x80000200u},
      {"volume sequence number", [](V& v, mdcudfsr_mount&) { v.pvd.vds_num = 2; }, 22,
       "PVD vds_num (2) invalid (expect=1)\n", 0x80000100u},
      {"PVD flags", [](V& v, mdcudfsr_mount&) { v.pvd.flags = 0; }, 22, "PVD flags (0) invalid \n", 0x80000100u},
      {"PD flags", [](V& v, mdcudfsr_mount&) { v.pd.flags = 0; }, 22, "PD flags(0) invalid\n", 0x80000100u},
      {"PD number", [](V& v, mdcudfsr_mount&) { v.pd.part_num = 1; }, 22, "PD partition Number(1) invalid\n",
       0x80000100u},
      {"access type 1", [](V& v, mdcudfsr_mount&) { v.pd.access_type = 1; }, 30, "PD access type(1) invalid\n",
       0x80000100u},
      {"access type 3", [](V& v, mdcudfsr_mount&) { v.pd.access_type = 3; }, 30, "PD access type(3) invalid\n",
       0x80000100u},
      {"access type 4", [](V& v, mdcudfsr_mount&) { v.pd.access_type = 4; }, 0, nullptr, 0},
      {"access type 5", [](V& v, mdcudfsr_mount&) { v.pd.access_type = 5; }, 22, "PD access type(5) invalid.\n",
       0x80000100u},
      {"block size", [](V& v, mdcudfsr_mount&) { v.lvd.lb_size = 4096; }, 22,
       "LVD logical block size(4096) is invalid\n", 0x80000100u},
      {"hard write protect", [](V& v, mdcudfsr_mount&) { v.lvd.domain_id.id_suffix[2] = 1; }, 30,
       "LVD domain ID suffix write protect flags (1) not valid, mounting readonly\n", 0x80000100u},
      {"soft write protect on the last slot",
       [](V& v, mdcudfsr_mount& m) {
         v.lvd.domain_id.id_suffix[2] = 2;
         m.num_discs = 1;
       },
       30, nullptr, 0x80000100u},
      {"fourteen maps", [](V& v, mdcudfsr_mount&) { v.lvd.n_pm = 14; }, 22, "LVD number of partition(14) is invalid\n",
       0x80000100u},
      {"integrity extent empty", [](V& v, mdcudfsr_mount&) { v.lvd.integrity_seq_id.len = 0; }, 22,
       "LVD integrity sequence length(0) is invalid\n", 0x80000100u},
      {"integrity extent too long", [](V& v, mdcudfsr_mount&) { v.lvd.integrity_seq_id.len = 0x10001; }, 22,
       "LVD integrity sequence length(65537) is invalid\n", 0x80000100u},
      {"space table", [](V& v, mdcudfsr_mount&) { v.pd.phd.unalloc_space_table.len = 8; }, 22,
       "PHD UST non-zero length(8) is invalid\n", 0x80000100u},
      {"space bitmap on write-once", [](V& v, mdcudfsr_mount&) { v.pd.phd.unalloc_space_bitmap.len = 8; }, 22,
       "PHD USB non-zero length(8) is invalid\n", 0x80000100u},
      {"space bitmap on rewritable",
       [](V& v, mdcudfsr_mount& m) {
         v.pd.phd.unalloc_space_bitmap.len = 8;
         m.is_rewritable = 1;
       },
       0, nullptr, 0},
      {"freed table", [](V& v, mdcudfsr_mount&) { v.pd.phd.freed_space_table.len = 8; }, 22,
       "PHD FST non-zero length(8) is invalid\n", 0x80000100u},
      {"freed bitmap", [](V& v, mdcudfsr_mount&) { v.pd.phd.freed_space_bitmap.len = 8; }, 22,
       "PHD FSB non-zero length(8) is invalid\n", 0x80000100u},
      {"metadata out of range", [](V& v, mdcudfsr_mount&) { v.pmap.type2_metadata.mirror_file_loc = v.pd.part_len; },
       22, nullptr, 0x80000200u},
      {"first map not metadata", [](V& v, mdcudfsr_mount&) { v.pmap.type2_metadata.type = 1; }, 22,
       "LVD partition map do not begin from Metadata Partition Map.\n", 0x80000100u},
      {"virtual partition",
       [](V& v, mdcudfsr_mount&) { std::memcpy(v.pmap.type2_metadata.id.id, "*UDF Virtual Partition", 22); }, 22,
       "LVD virtual partition map is found.\n", 0x80000100u},
      {"sparable partition",
       [](V& v, mdcudfsr_mount&) { std::memcpy(v.pmap.type2_metadata.id.id, "*UDF Sparable Partition", 23); }, 22,
       "LVD sparable partition map is found.\n", 0x80000100u},
      {"metadata map VSN", [](V& v, mdcudfsr_mount&) { v.pmap.type2_metadata.vol_seq_num = 2; }, 22,
       "wrong VSN. vol_seq_num=2, vds_num=1\n", 0x80000100u},
      {"duplicate bit", [](V& v, mdcudfsr_mount&) { v.pmap.type2_metadata.flags = 1; }, 22,
       "Duplicate bit is set. flgs=1\n", 0x80000100u},
      {"type-1 map VSN", [](V& v, mdcudfsr_mount&) { v.pmap.type1[0].vol_seq_num = 2; }, 22,
       "non sequencial VSN. pm_counter=1\n", 0x80000100u},
      {"type-1 map type", [](V& v, mdcudfsr_mount&) { v.pmap.type1[0].type = 2; }, 22,
       "LVD partition map have wrong partition map, type=2.\n", 0x80000100u},
      // Marked read-only by the write-protect flag, then unlinked: the
      // structure check fails on the locations, the check for mount rebuilds,
      // relinks from the cartridge memory and keeps the protection.
      {"protected and unlinked",
       [](V& v, mdcudfsr_mount&) {
         v.lvd.domain_id.id_suffix[2] = 1;
         v.pmap.type2_metadata.file_loc = v.pmap.type2_metadata.mirror_file_loc = v.pd.part_len;
         put_vuvi(0, layout_for(spec_for(MediumClass::WriteOnce)).metadata_file_loc);
       },
       22, "LVD domain ID suffix write protect flags (1) not valid, mounting readonly\n", 0x80000200u, 30},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(MediumClass::WriteOnce);
    r.change(mnt->vds, *mnt);
    uint32_t soft = 0;
    EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), &soft, nullptr), r.result);
    if (r.message) {
      EXPECT_TRUE(env().logged(r.message));
    }
    EXPECT_EQ(mnt->mntinfo.MountStatus, r.status);
    if (r.result == 22) {
      EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
    }
    if (r.result == 30) {
      EXPECT_NE(mnt->mntinfo.WriteProtectReasonFlags & 0x80000u, 0u);
    }
    EXPECT_EQ(soft, 0u);

    // The check for mount: a read-only sequence is never rebuilt (the
    // rebuild would drop its protection); a broken one is rebuilt and then
    // fails the relink, since the cartridge memory names no metadata file.
    load(MediumClass::WriteOnce);
    r.change(mnt->vds, *mnt);
    const uint8_t domain_flags = mnt->vds.lvd.domain_id.id_suffix[2];
    uint32_t relinked = 0;
    const int expect = r.mount_result >= 0 ? r.mount_result : r.result;
    EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(mnt.get(), &soft, &relinked, nullptr), expect);
    if (r.result == 30) {
      EXPECT_FALSE(env().logged("Failed to parse VDS. Start Repairing VDS.\n"));
      EXPECT_EQ(mnt->vds_repaired, 0u);
      EXPECT_EQ(mnt->vds.lvd.domain_id.id_suffix[2], domain_flags);
    }
    if (expect == 30) {
      EXPECT_NE(mnt->mntinfo.WriteProtectReasonFlags & 0x80000u, 0u);
      EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000100u);
    }
    if (expect == 22) {
      EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
      EXPECT_EQ(relinked, 0u);
    }
    EXPECT_EQ(env().count_calls("bwrite"), 0u);
    std::memset(env().attribute_record, 0, sizeof env().attribute_record);
  }
}

TEST_F(Rules, ProtectedUnlinkedSequenceIsRelinkedAndStaysReadOnly) {
  mnt->vds.lvd.domain_id.id_suffix[2] = 1;
  unlink_in_memory();
  set_vuvi(0, layout.metadata_file_loc);
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(mnt.get(), nullptr, &relinked, nullptr), 30);
  EXPECT_EQ(relinked, 1u);
  EXPECT_EQ(mnt->vds.pmap.type2_metadata.file_loc, layout.metadata_file_loc);
  EXPECT_EQ(mnt->metadata_mirror_loc, layout.mirror_file_loc);
  EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80000u);
  EXPECT_EQ(mnt->mntinfo.AccessMode, 0u);
}

TEST_F(Rules, ImplementationIdentifierSetsTheFormatGeneration) {
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), nullptr, nullptr), 0);
  EXPECT_EQ(mnt->format_level, 2);
  mnt->vds.pvd.imp_id.id[19] = 1;
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), nullptr, nullptr), 0);
  EXPECT_EQ(mnt->format_level, 0x12);
  mnt->vds.pvd.imp_id.id[10] = 'T';
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), nullptr, nullptr), 30);
  EXPECT_NE(mnt->mount_ext_flags & 0x400u, 0u);
}

TEST_F(Rules, SoftWriteProtectBeforeTheLastSlotIsOnlyReported) {
  mnt->vds.lvd.domain_id.id_suffix[2] = 2;
  uint32_t soft = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), &soft, nullptr), 0);
  EXPECT_EQ(soft, 1u);
  EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0u);
}

TEST_F(Rules, ThirdDiscVolume) {
  load(MediumClass::WriteOnce, 2);
  mnt->loaded_slot = 0xFF;  // the last written slot, 2
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), nullptr, nullptr), 0);
  mnt->current_disc = 1;
  EXPECT_EQ(mdcudfsr_check_vds_structure(mnt.get(), nullptr, nullptr), 22);
  EXPECT_TRUE(env().logged("PVD vds_num (3) invalid (expect=2)\n"));
}

// ---------------------------------------------------------------- check for mount

// The relink reads the mount's copy of the cartridge memory, which the real
// routine never fails to give: that failure is the stand-in's
// (real_vds_rules_test.cpp has the other relink failures).
TEST_F(Rules, RelinkFailsWithoutTheAttributeRecord) {
  unlink_in_memory();
  set_vuvi(0, layout.metadata_file_loc);
  env().read_attribute_result = 5;
  uint32_t relinked = 0;
  EXPECT_EQ(mdcudfsr_check_vds_structure_for_mount(mnt.get(), nullptr, &relinked, nullptr), 22);
  EXPECT_TRUE(env().logged("Read Attribute is failed err:5\n"));
  EXPECT_EQ(relinked, 0u);
  EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000030u);
  EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80000u);
}

// ---------------------------------------------------------------- in-memory rebuild

TEST_F(Rules, RebuildForSlotZeroOfAnF1Medium) {
  mdcudfsr_mount m;
  init_mount(&m, 20000, 0xF1, 0);
  m.avdp.tag.serial_num = 5;
  uint32_t unreadable = 0;
  ASSERT_EQ(mdcudfsr_repair_vds(&m, &unreadable, nullptr), 0);
  EXPECT_EQ(unreadable, 0u);
  EXPECT_EQ(m.vds.pd.part_len, 20000u - 5248u);
  EXPECT_EQ(m.vds.pd.start_loc, 4096u);
  EXPECT_EQ(m.vds.lvd.n_pm, 2u);
  EXPECT_EQ(m.vds.lvd.mt_l, 70u);
  EXPECT_EQ(m.vds.lvd.integrity_seq_id.loc, 320u);
  EXPECT_EQ(m.vds.pmap.type1_count, 1u);
  EXPECT_EQ(m.vds.pvd.vds_num, 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.vds.pvd.vol_id + 1), 11), "KELFS VOL01");
  EXPECT_EQ(m.vds.pvd.vol_id[31], 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.vds.pvd.volset_id + 1), 48),
            "12345678KELFS   SERIAL0001                      ");
  EXPECT_EQ(m.vds.pvd.tag.tag_loc, 288u);
  EXPECT_EQ(m.vds.usd.tag.tag_loc, 292u);
  EXPECT_EQ(m.vds.pmap.type2_metadata.file_loc, m.vds.pd.part_len) << "left unlinked";
  EXPECT_EQ(m.metadata_file_loc, m.vds.pd.part_len);
  EXPECT_EQ(env().find_call("ioctl 0x405855e6 attr=0x1500 len=140") >= 0, true);
}

TEST_F(Rules, RebuildOnF2UsesItsOwnLocations) {
  mdcudfsr_mount m;
  init_mount(&m, 30000, 0xF2, 3);
  m.recorded_vuvi_fe_loc = 9000;
  env().attr0401 = std::string(32, ' ');
  ASSERT_EQ(mdcudfsr_repair_vds(&m, nullptr, nullptr), 0);
  EXPECT_EQ(m.vds.pd.part_len, 30000u - 2560u - 4096u);
  EXPECT_EQ(m.vds.lvd.n_pm, 5u);
  EXPECT_EQ(m.vds.lvd.integrity_seq_id.loc, 640u);
  EXPECT_EQ(m.vds.pvd.tag.tag_loc, 384u);
  EXPECT_EQ(m.vds.pmap.type1_count, 4u);
  EXPECT_EQ(m.vds.pmap.type1[3].vol_seq_num, 4);
  // Without the 0401H text the label is "_" and the serial in hexadecimal.
  EXPECT_EQ(std::string(reinterpret_cast<char*>(m.vds.lvd.logvol_id + 1), 9), "_12345678");
}

}  // namespace

