// The mount's reading of the volume over builder volumes and blank discs on
// the simulated drive.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount_fs.h"

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

class MountFs : public SimVolume {
 protected:
  int read(mdcudfsr_mount_fs_state* s) {
    mdcudfsr_init_mntinfo(mnt_.get());
    mnt_->mounting = 1;
    return mdcudfsr_mount_read_volume(mnt_.get(), &ctx_, s);
  }
};

TEST_F(MountFs, BuilderVolumesAreRead) {
  for (auto cls : {MediumClass::WriteOnce, MediumClass::F2, MediumClass::Rewritable}) {
    start_volume(cls);
    mdcudfsr_mount_fs_state s;
    EXPECT_EQ(0, read(&s)) << int(cls);
    EXPECT_FALSE(s.read_only);
    EXPECT_EQ(1, mnt_->disc_status);
    EXPECT_EQ(2048u, mnt_->logical_block_size);
    EXPECT_EQ(0u, mnt_->mntinfo.MountStatus);
  }
}

TEST_F(MountFs, EmptyDiscIsRawWithoutErrorReport) {
  start();
  mdcudfsr_mount_fs_state s;
  EXPECT_EQ(22, read(&s));
  EXPECT_EQ(2u, mnt_->mntinfo.AccessMode);
  EXPECT_EQ(0x80000010u, mnt_->mntinfo.MountStatus);
  EXPECT_EQ(0x80000u, mnt_->mntinfo.WriteProtectReasonFlags);
  EXPECT_EQ(0, mnt_->pending_error_report);
  EXPECT_TRUE(logged("media_status = MDCFS_MEDIA_STATUS_EMPTY. Set RawMount.\n"));
}

TEST_F(MountFs, FinalizedDiscAndWrongTrackCountsAreReadOnly) {
  struct Case {
    kelsim::DiscStatus status;
    int tracks;
    std::uint32_t reason;
    const char* message;
  } cases[] = {
      {kelsim::DiscStatus::Complete, 2, 0x1000, "Finalized Disc, Read Only\n"},
      {kelsim::DiscStatus::Incomplete, 1, 0x80000, "Track num(1) failed, Read Only\n"},
  };
  for (const auto& c : cases) {
    const auto l = start_volume(MediumClass::WriteOnce);
    stop_drive_client();
    kelsim::Disc& d = sim_->cartridge().disc(0);
    d.status = c.status;
    if (c.tracks == 1) d.tracks.resize(1);
    ASSERT_EQ(0u, sim_->cartridge().save());
    start_drive_client();
    mdcudfsr_mount_fs_state s;
    EXPECT_EQ(30, read(&s)) << c.message;
    EXPECT_TRUE(s.read_only);
    EXPECT_EQ(c.reason, mnt_->mntinfo.WriteProtectReasonFlags & c.reason);
    EXPECT_TRUE(logged(c.message));
    (void)l;
  }
}

}  // namespace
