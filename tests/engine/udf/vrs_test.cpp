// Volume recognition sequence: check and repair.
#include "engine/udf/support_fakes.h"
#include "engine/udf/support_image.h"

#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vrs.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace udf_test;

class Vrs : public ::testing::TestWithParam<MediumClass> {
 protected:
  void SetUp() override { load(GetParam()); }
  void load(MediumClass cls) {
    spec = spec_for(cls, 0);
    env().reset(spec.sectors);
    build_volume(spec, env().medium);
    mnt = std::make_unique<mdcudfsr_mount>();
    init_mount(mnt.get(), spec.sectors, spec.medium_type, 0);
  }
  bool vrs_intact() {
    std::vector<uint8_t> want(3 * kSector, 0);
    mdcudfsr_vrs_fill_template(want.data());
    return std::memcmp(env().sector(16), want.data(), want.size()) == 0;
  }
  ImageSpec spec;
  std::unique_ptr<mdcudfsr_mount> mnt;
};

TEST(VrsTemplate, ThreeDescriptorsOfOneSectorEach) {
  std::vector<uint8_t> b(3 * kSector, 0xAA);
  mdcudfsr_vrs_fill_template(b.data());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[1]), 5), "BEA01");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[kSector + 1]), 5), "NSR03");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[2 * kSector + 1]), 5), "TEA01");
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(b[s * kSector], 0);
    EXPECT_EQ(b[s * kSector + 6], 1);
  }
  EXPECT_EQ(mdcudfsr_vrs_matches_template(b.data()), 1);
}

TEST_P(Vrs, ValidSequenceChangesNothing) {
  const MDCFS_MOUNT_INFORMATION before = mnt->mntinfo;
  EXPECT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 0);
  EXPECT_EQ(env().calls, (std::vector<std::string>{"disc_change code=0x99 inv=1 on_mount=1", "bread lsn=16 size=6144",
                                                    "brelse"}));
  EXPECT_EQ(std::memcmp(&before, &mnt->mntinfo, sizeof before), 0) << "the mount information is untouched";
  EXPECT_EQ(env().live_buffers, 0);
}

TEST_P(Vrs, InvalidContentGives22AndRefusesAccess) {
  struct Row {
    const char* name;
    size_t offset;
    uint8_t value;
  } rows[] = {
      {"NSR02", kSector + 5, '2'},
      {"non-zero padding of BEA01", 7 + 2040, 1},
      {"version of TEA01", 2 * kSector + 6, 2},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    load(GetParam());
    env().sector(16)[r.offset] = r.value;
    EXPECT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 22);
    EXPECT_TRUE(env().logged("Invalid VRS. \n"));
    EXPECT_EQ(env().logs.back().module, 10);
    EXPECT_EQ(mnt->mntinfo.AccessMode, 2u);
    EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000200u);
    EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80000u);
    EXPECT_EQ(env().count_calls("bwrite"), 0u);
  }
}

TEST_P(Vrs, RepairRewritesNSR02AsNSR03) {
  env().sector(17)[5] = '2';
  ASSERT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 22);
  EXPECT_EQ(mdcudfsr_repair_vrs(mnt.get(), nullptr), 0);
  EXPECT_TRUE(vrs_intact());
  env().calls.clear();
  EXPECT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 0);
}

TEST_P(Vrs, UnreadableSequenceIsRepairedOnceAndStillReports2) {
  env().unreadable.insert(17);
  mnt->mntinfo.WriteProtectReasonFlags = 0x1;
  EXPECT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 2);
  EXPECT_EQ(env().count_calls("bwrite"), 1u);
  EXPECT_TRUE(env().logged("cannot read VRS. \n"));
  EXPECT_EQ(mnt->mntinfo.MountStatus, 0x80000030u);
  EXPECT_EQ(mnt->mntinfo.WriteProtectReasonFlags, 0x80001u) << "0x80000 is added to the reasons";
  EXPECT_EQ(mnt->mntinfo.AccessMode, 0u);
  EXPECT_TRUE(env().calls_starting("set_mntinfo_state").empty()) << "set directly, no state change";
  EXPECT_TRUE(env().calls_starting("wrprot").empty());
  EXPECT_EQ(env().live_buffers, 0);
}

TEST_P(Vrs, RepairWritesOneWholeUnitFromSector0) {
  std::memset(env().sector(0), 0x55, kSector);
  std::memset(env().sector(20), 0x55, kSector);
  EXPECT_EQ(mdcudfsr_repair_vrs(mnt.get(), nullptr), 0);
  const bool f2 = spec.medium_type == 0xF2;
  const std::string size = f2 ? "262144" : "65536";
  std::vector<std::string> want = {"disc_change code=0xff inv=0 on_mount=1", "getblk lsn=0 size=" + size + " op=16"};
  if (f2) want.push_back("ioctl 0x8008556e first=0 count=128");
  want.push_back("bwrite lsn=0 size=" + size);
  want.push_back("sync");
  EXPECT_EQ(env().calls, want);
  EXPECT_TRUE(vrs_intact());
  EXPECT_EQ(env().sector(0)[0], 0) << "the unit's other sectors are zeroed";
  EXPECT_EQ(env().sector(20)[0], 0);
}

TEST_P(Vrs, RepairGivesUpAfterTenAttemptsWithTheLastError) {
  env().write_fail_all = 5;
  env().sync_results = std::vector<int>(9, 0);
  env().sync_results.push_back(19);  // the tenth sync fails
  EXPECT_EQ(mdcudfsr_repair_vrs(mnt.get(), nullptr), 19);
  EXPECT_EQ(env().count_calls("bwrite"), 10u);
  EXPECT_EQ(env().live_buffers, 0);

  load(GetParam());
  env().write_fail_all = 5;
  EXPECT_EQ(mdcudfsr_repair_vrs(mnt.get(), nullptr), 5);
  EXPECT_EQ(env().count_calls("bwrite"), 10u);
  EXPECT_EQ(env().count_logged("Failed to write. err = 5. \n"), 10u);
}

TEST_P(Vrs, RepairRetriesAfterAFailedSync) {
  env().sync_results = {30, 0};
  EXPECT_EQ(mdcudfsr_repair_vrs(mnt.get(), nullptr), 0);
  EXPECT_EQ(env().count_calls("bwrite"), 2u);
  EXPECT_TRUE(env().logged("Failed to sync cache err = 30. \n"));
}

TEST_P(Vrs, RollbackMountOnAnotherSlotWritesNothing) {
  for (uint32_t flag : {0x20u, 0x80u}) {
    load(GetParam());
    mnt->mount_ext_flags = flag;
    mnt->current_disc = 2;
    mnt->loaded_slot = 1;
    EXPECT_EQ(mdcudfsr_repair_vrs(mnt.get(), nullptr), 0);
    EXPECT_TRUE(env().calls.empty());
  }
}

TEST_P(Vrs, SlotChangeFailureEndsTheCheck) {
  env().disc_change_results = {19};
  EXPECT_EQ(mdcudfsr_check_vrs(mnt.get(), nullptr), 19);
  EXPECT_TRUE(env().logged("Failed to load last written slot with status 19. \n"));
  EXPECT_TRUE(env().logged("Invalid VRS. \n"));
  EXPECT_EQ(env().count_calls("bread"), 0u);
}

INSTANTIATE_TEST_SUITE_P(WriteOnceAndF2, Vrs, ::testing::Values(MediumClass::WriteOnce, MediumClass::F2));

TEST(VrsRewritable, BlankMediumIsUnformatted) {
  const ImageSpec spec = spec_for(MediumClass::Rewritable);
  env().reset(spec.sectors);
  mdcudfsr_mount mnt;
  init_mount(&mnt, spec.sectors, spec.medium_type, 0);
  EXPECT_EQ(mdcudfsr_check_vrs_RE(&mnt, nullptr), 9);
  EXPECT_TRUE(env().logged("Unformatted VRS. \n"));
  EXPECT_EQ(mnt.mntinfo.AccessMode, 2u);
  EXPECT_EQ(mnt.mntinfo.MountStatus, 0x80000010u);
  EXPECT_EQ(mnt.mntinfo.WriteProtectReasonFlags, 0x80000u);
}

TEST(VrsRewritable, DamagedButNotBlankIsInvalid) {
  const ImageSpec spec = spec_for(MediumClass::Rewritable);
  env().reset(spec.sectors);
  build_volume(spec, env().medium);
  mdcudfsr_mount mnt;
  init_mount(&mnt, spec.sectors, spec.medium_type, 0);
  EXPECT_EQ(mdcudfsr_check_vrs_RE(&mnt, nullptr), 0);
  env().sector(18)[1] = 'X';
  EXPECT_EQ(mdcudfsr_check_vrs_RE(&mnt, nullptr), 22);
  EXPECT_TRUE(env().logged("Invalid VRS. \n"));
}

TEST(VrsRewritable, FlushWritesOnceWithoutReservationOrRetry) {
  const ImageSpec spec = spec_for(MediumClass::Rewritable);
  env().reset(spec.sectors);
  mdcudfsr_mount mnt;
  init_mount(&mnt, spec.sectors, spec.medium_type, 0);
  env().write_results = {5};
  EXPECT_EQ(mdcudfsr_flush_vrs_RE(&mnt, nullptr), 5);
  EXPECT_EQ(env().calls, (std::vector<std::string>{"disc_change code=0xff inv=1 on_mount=1",
                                                    "getblk lsn=0 size=65536 op=16", "bwrite lsn=0 size=65536",
                                                    "sync"}));
  EXPECT_TRUE(env().logged("buf_bwrite is failed err=5\n"));
  EXPECT_EQ(mdcudfsr_flush_vrs_RE(&mnt, nullptr), 0);
  EXPECT_EQ(mdcudfsr_check_vrs_RE(&mnt, nullptr), 0);
}

}  // namespace
