// Logical volume integrity descriptor: read and checks, unique ids, and the
// cache agent's part of opening, closing and reading (real_lvid_test.cpp has
// the flushes, opening and closing on the real routines over the simulated
// drive).
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"
#include "engine/udf/support_mount.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <memory>

namespace {

using namespace udf_test;

class Lvid : public ::testing::Test {
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
    setup_partitions(mnt.get(), layout);
    env().calls.clear();
    env().logs.clear();
  }
  uint8_t* lvid_sector() { return env().sector(layout.lvid); }
  // Edits the integrity descriptor on the medium (host order) and reseals it.
  template <class F>
  void edit(F f) {
    auto* d = reinterpret_cast<logvol_integrity_desc*>(lvid_sector());
    mdcudfsr_swap_le2host_logvol_integrity_desc(d);
    f(d, reinterpret_cast<imp_use_logvol_integrity_desc*>(lvid_sector() + 80 + 8 * d->num_partitions));
    const uint32_t n = d->num_partitions;
    mdcudfsr_swap_host2le_logvol_integrity_desc(d);
    mdcudfsr_set_udf_tag_crc_and_checksum(lvid_sector(), 126 + 8 * (n < 14 ? n : 2));
  }
  int read_and_check() {
    int r = mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0);
    return r ? r : mdcudfsr_check_lvid_structure(mnt.get(), nullptr);
  }
  ImageSpec spec;
  ImageLayout layout;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

TEST_F(Lvid, ReadsTheBuildersDescriptor) {
  ASSERT_EQ(read_and_check(), 0);
  EXPECT_EQ(mnt->lvid.num_partitions, 2u);
  EXPECT_EQ(mnt->lvid.integrity_type, 1u);
  EXPECT_EQ(mnt->next_unique_id, 28u);
  EXPECT_EQ(mnt->mntinfo.VolumeStatus, 0x81);  // checked, closed, status 1
}

TEST_F(Lvid, SecondLvidOrMissingTerminatorIsRefused) {
  std::memcpy(env().sector(layout.lvid + 1), lvid_sector(), kSector);
  EXPECT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), 22);
  EXPECT_TRUE(env().logged("second lvid is found.\n"));
  EXPECT_EQ(mnt->mntinfo.MountStatus, MNTINFO_RULES_BROKEN);
  std::memset(env().sector(layout.lvid + 1), 0, kSector);
  EXPECT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), 22);
  EXPECT_TRUE(env().logged("Second desc tag id(0) is not TD.\n"));
}

// A block that reads but holds no descriptor (a damaged CRC, a write lost
// or torn on its way) is rebuilt by a mount as an open descriptor with the
// logical volume descriptor's implementation identifier; anything else
// that is not a sound descriptor still refuses the volume.
TEST_F(Lvid, ABlockWithoutADescriptorIsRebuiltByAMountOnly) {
  enum Damage { Crc, Torn, OtherTag, Unreadable };
  struct Case {
    Damage damage;
    int mounting;
    uint32_t ext_flags;
    bool foreign_lvd;
    int read;
    bool read_only;
    const char* log;  // empty: the rebuild's
  } cases[] = {
      {Crc, 1, 0, false, 0, false, ""},
      {Torn, 1, 0, false, 0, false, ""},
      {Torn, 1, 0, true, 0, true, ""},  // another implementation's volume
      {Crc, 0, 0, false, 22, false, "Failed to check sum or crc.\n"},  // not a mount
      {Torn, 1, 0x20, false, 22, false, "Failed to check sum or crc.\n"},  // a rollback mount
      {Torn, 1, 0x1000, false, 22, false, "Failed to check sum or crc.\n"},  // no tree scan: no id above all
      {OtherTag, 1, 0, false, 22, false, "Failed to check sum or crc.\n"},
      {Unreadable, 1, 0, false, 22, false, "Failed to read LVID.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.damage << " mounting " << c.mounting << " flags " << c.ext_flags);
    load(MediumClass::WriteOnce);
    mnt->mount_ext_flags = c.ext_flags;
    if (c.foreign_lvd) mnt->vds.lvd.imp_id.id[1] = 'X';
    mnt->next_unique_id = 99;
    if (c.damage == Crc) lvid_sector()[100] ^= 1;
    if (c.damage == Torn)
      for (uint32_t i = 0; i < 32; ++i) std::memset(env().sector(layout.lvid + i), 0xDB, kSector);
    if (c.damage == OtherTag) std::memcpy(lvid_sector(), env().sector(layout.lvid + 1), kSector);
    if (c.damage == Unreadable) env().unreadable.insert(layout.lvid);
    ASSERT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, c.mounting, 0, 0), c.read);
    const std::string rebuilt =
        "LVID block " + std::to_string(layout.lvid) + " holds no descriptor. rebuilt from the volume as open.\n";
    EXPECT_TRUE(env().logged(*c.log ? c.log : rebuilt));
    if (c.read) {
      EXPECT_EQ(mnt->mntinfo.MountStatus, MNTINFO_STRUCTURE_UNREADABLE);
      EXPECT_EQ(mnt->mntinfo.AccessMode, c.damage == Unreadable ? 0u : 2u);
      continue;
    }
    EXPECT_EQ(mnt->lvid.integrity_type, 0u);
    EXPECT_EQ(mnt->lvid.num_partitions, 2u);
    EXPECT_EQ(mnt->next_unique_id, 0u) << "left for the tree scan to raise above every id";
    EXPECT_EQ(mdcudfsr_check_lvid_structure(mnt.get(), nullptr), 0);
    EXPECT_EQ((mnt->mntinfo.WriteProtectReasonFlags & WRPROT_READONLY) != 0, c.read_only);
    EXPECT_EQ(mnt->mntinfo.VolumeStatus & 0x90, 0x90) << "checked and open";
    EXPECT_EQ(std::memcmp(&mdcudfsr_lvid_imp_use(&mnt->lvid, 2)->imp_use_id, &mnt->vds.lvd.imp_id, sizeof(regid)), 0);
  }
}

TEST_F(Lvid, PartitionCountRules) {
  struct Case {
    uint32_t n;
    uint32_t ext_flags;
    int result;
  } cases[] = {{1, 0, 22}, {14, 0, 22}, {3, 0, 22}, {3, 0x20, 0}, {3, 0x80, 0}, {13, 0x20, 0}, {2, 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    load(MediumClass::WriteOnce);
    mnt->mount_ext_flags = c.ext_flags;
    edit([&](logvol_integrity_desc* d, imp_use_logvol_integrity_desc*) {
      // Move the implementation use behind the new tables.
      uint8_t iu[46];
      std::memcpy(iu, lvid_sector() + 80 + 16, 46);
      d->num_partitions = c.n;
      if (c.n < 14) std::memcpy(lvid_sector() + 80 + 8 * c.n, iu, 46);
    });
    EXPECT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), c.result);
  }
}

TEST_F(Lvid, VersionAndOsRules) {
  struct Case {
    MediumClass cls;
    uint32_t type;  // 0 open, 1 closed
    uint8_t os_class, fv, rv;
    uint16_t min_write;
    int result;
  } cases[] = {
      {MediumClass::WriteOnce, 1, 5, 12, 2, 0x260, 0},   // closed: OS class not checked
      {MediumClass::WriteOnce, 0, 5, 12, 2, 0x260, 22},  // open: refused
      {MediumClass::WriteOnce, 0, 4, 12, 2, 0x260, 0},
      {MediumClass::Rewritable, 0, 4, 12, 2, 0x260, 30},  // above 2.50 on rewritable
      {MediumClass::WriteOnce, 1, 4, 0x8C, 2, 0x260, 22},
      {MediumClass::WriteOnce, 0, 4, 0x8C, 2, 0x260, 22},
      {MediumClass::WriteOnce, 1, 4, 13, 2, 0x260, 30},
      {MediumClass::WriteOnce, 0, 4, 12, 3, 0x260, 30},
      {MediumClass::WriteOnce, 1, 4, 12, 3, 0x260, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.type) << " " << int(c.os_class) << " " << int(c.fv) << " " << int(c.rv)
                                    << " " << c.min_write);
    load(c.cls);
    edit([&](logvol_integrity_desc* d, imp_use_logvol_integrity_desc* iu) {
      d->integrity_type = c.type;
      iu->imp_use_id.id_suffix[0] = c.os_class;
      iu->imp_use_id.id_suffix[2] = c.fv;
      iu->imp_use_id.id_suffix[3] = c.rv;
      iu->min_udf_write_rev = c.min_write;
    });
    EXPECT_EQ(read_and_check(), c.result);
    if (c.result == 30) {
      EXPECT_TRUE(mnt->mntinfo.WriteProtectReasonFlags & WRPROT_READONLY);
    }
  }
}

TEST_F(Lvid, FinalizingStatusOnWriteOnceMountsReadOnly) {
  edit([&](logvol_integrity_desc*, imp_use_logvol_integrity_desc* iu) { iu->imp_use_id.id_suffix[4] = 2; });
  EXPECT_EQ(read_and_check(), 30);
  EXPECT_TRUE(env().logged("LVID operation status is finalizing. read only mount\n"));
  EXPECT_EQ(mnt->mntinfo.VolumeStatus, 0x82);
}

TEST_F(Lvid, UniqueIdsSkipTheReservedLowWords) {
  struct Case {
    uint64_t counter, handed, next;
  } cases[] = {
      {28, 28, 29},
      {0xFFFFFFFFull, 0xFFFFFFFFull, 0x100000010ull},
      {5, 16, 17},  // a reserved counter is raised before it is handed out
      {0x300000000ull, 0x300000010ull, 0x300000011ull},
  };
  for (const auto& c : cases) {
    mnt->next_unique_id = c.counter;
    EXPECT_EQ(mdcudfsr_get_next_unique_id(mnt.get()), c.handed);
    EXPECT_EQ(mnt->next_unique_id, c.next);
  }
}

TEST_F(Lvid, FlushNeedsTheCallerToHoldTheIntegrityMutex) {
#ifdef NDEBUG
  GTEST_SKIP() << "the holder is checked in debug builds only";
#else
  ASSERT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), 0);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(mdcudfsr_flush_lvid(mnt.get(), 0, nullptr, 0), "lvid_mutex");
  // Held by this thread: the flush runs.
  EXPECT_EQ(flush_lvid_locked(mnt.get(), 0, 0), 0);
#endif
}

// The flush reads the mount's copy of the cartridge memory, which the real
// routine never fails to give: that failure is the stand-in's.
TEST_F(Lvid, RollbackFlushFailsWithoutTheAttributeRecord) {
  ASSERT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), 0);
  mnt->mount_ext_flags = 0x20;
  env().read_attribute_result = 5;
  env().calls.clear();
  EXPECT_EQ(flush_lvid_locked(mnt.get(), 0, 0), 5);
  EXPECT_EQ(env().count_calls("bwrite"), 0u);
}

TEST_F(Lvid, FailedCloseStaysFailedAfterASuccessfulMediaInformationWrite) {
  ASSERT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 0), 0);
  mnt->lvid.integrity_type = 0;
  mnt->fsmanage_handle = 3;
  mnt->ndirs = 1;  // a folder made since the format: the disc's descriptor is out of date
  env().write_fail_all = 5;
  EXPECT_EQ(mdcudfsr_set_lvid_integrity_type(mnt.get(), 1, 1, nullptr), 5);
  EXPECT_EQ(env().count_calls("write_mediainfo"), 1u);
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000002u) << "switched to read-only for a drive error";
  EXPECT_GE(env().find_call("ioctl 0x80015506"), 0) << "the error reported to the drive";
  // A failed media information write closes the cache file but keeps a
  // successful close.
  env().write_fail_all = 0;
  env().mediainfo_result = 5;
  mnt->lvid.integrity_type = 0;
  EXPECT_EQ(mdcudfsr_set_lvid_integrity_type(mnt.get(), 1, 1, nullptr), 0);
  EXPECT_EQ(mnt->fsmanage_handle, -1);
}

TEST_F(Lvid, ReadFromAndSaveToTheCacheFile) {
  mnt->fsmanage_handle = 4;
  ASSERT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 1), 0);
  EXPECT_EQ(std::memcmp(env().cache_file.data() + 0x40000, lvid_sector(), 2 * kSector), 0);
  std::memset(lvid_sector(), 0, kSector);  // the medium copy is gone; the cache still has it
  ASSERT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 1, 0), 0);
  env().cache_write_agent_error = 1;
  EXPECT_EQ(mdcudfsr_read_lvid(mnt.get(), nullptr, 0, 1, 0, 1), 22);
}

TEST_F(Lvid, MetadataMapInsideThePartition) {
  mnt->vds.pd.part_len = 100;
  mnt->vds.pmap.type2_metadata.file_loc = 0xFFFFFFF0u;
  mnt->vds.pmap.type2_metadata.mirror_file_loc = 0xFFFFFFF1u;
  EXPECT_FALSE(mdcudfsr_counters_below_limit(mnt.get()));
  mnt->vds.pmap.type2_metadata.mirror_file_loc = 99;
  EXPECT_TRUE(mdcudfsr_counters_below_limit(mnt.get()));
}

}  // namespace
