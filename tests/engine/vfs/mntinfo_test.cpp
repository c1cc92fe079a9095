// The mount information record: reason and status rules, publishing to the
// drive layer (read back through the drive client from the simulated drive)
// and error reports.
#include "vfs_support.h"

#include "drive/device_control.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"

#include <cstring>

namespace {

using namespace vfs_test;

class MountInformation : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    start();
  }
  MDCFS_MOUNT_INFORMATION drive_copy() {
    MDCFS_MOUNT_INFORMATION mi{};
    EXPECT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOGETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, &ctx_));
    return mi;
  }
  void set(std::uint32_t status, std::uint32_t reasons, std::uint32_t access) {
    mnt_->mntinfo.MountStatus = status;
    mnt_->mntinfo.WriteProtectReasonFlags = reasons;
    mnt_->mntinfo.AccessMode = access;
  }
};

TEST_F(MountInformation, ReasonsAreAddedUnlessUnset) {
  struct Case {
    std::uint32_t before;
    std::uint32_t add;
    int keep;
    std::uint32_t after;
  } cases[] = {
      {0x1, 0x800, 1, 0x801},
      {0xFFFFFFFFu, 0x800, 1, 0x800},
      {0x1, 0x800, 0, 0x800},
      {0x0, 0xFFFFFFFFu, 1, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    set(0x80000002u, c.before, 2);
    mdcudfsr_set_mntinfo_wrprot_reason(mnt_.get(), c.add, c.keep, &ctx_);
    EXPECT_EQ(c.after, mnt_->mntinfo.WriteProtectReasonFlags) << std::hex << c.before << " " << c.add;
    EXPECT_EQ(2u, mnt_->mntinfo.AccessMode) << "a non-zero status keeps the access mode";
    EXPECT_EQ(0, std::memcmp(&mnt_->mntinfo, &mnt_->mntinfo_prev, 16)) << "the previous copy follows";
  }
  set(0, 0, 2);
  mdcudfsr_set_mntinfo_wrprot_reason(mnt_.get(), 0x1, 1, &ctx_);
  EXPECT_EQ(0u, mnt_->mntinfo.AccessMode) << "status 0 makes the volume mountable";
}

TEST_F(MountInformation, StatusTable) {
  struct Case {
    std::uint32_t status;
    std::uint32_t stored;
    std::uint32_t access;
    std::uint32_t reasons;
  } cases[] = {
      {0, 0, 0, 0},
      {0x80000020u, 0x80000020u, 0, 0x200},
      {0x80000300u, 0x80000300u, 2, 0x80000},
      {0x80000500u, 0x80000500u, 2, 0x80000},
      {0x80040000u, 0x80040000u, 2, 0x80000},
      {0x80000010u, 0x80000010u, 2, 0},
      {0x80000100u, 0x80000100u, 2, 0},
      {0x80030000u, 0x80030000u, 2, 0},
      {0x80000040u, 0x80000001u, 7, 0},  // unknown: access mode left as it was
  };
  for (const auto& c : cases) {
    mdcudfsr_init_mntinfo(mnt_.get());
    mnt_->mntinfo.AccessMode = 7;
    mdcudfsr_update_mntinfo_mntstatus(mnt_.get(), c.status, 1, &ctx_);
    EXPECT_EQ(c.stored, mnt_->mntinfo.MountStatus) << std::hex << c.status;
    EXPECT_EQ(c.status == 0 ? 0u : c.access, mnt_->mntinfo.AccessMode) << std::hex << c.status;
    EXPECT_EQ(c.reasons, mnt_->mntinfo.WriteProtectReasonFlags) << std::hex << c.status;
  }
  EXPECT_TRUE(logged("unrecognised mount status (-2147483584), defaulting to 'driver error'\n"));
}

TEST_F(MountInformation, OverwriteRules) {
  mdcudfsr_init_mntinfo(mnt_.get());
  mdcudfsr_update_mntinfo_mntstatus(mnt_.get(), 0x80000002u, 0, &ctx_);
  mdcudfsr_update_mntinfo_mntstatus(mnt_.get(), 0, 1, &ctx_);
  EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus) << "status 0 never replaces a set status";
  mdcudfsr_update_mntinfo_mntstatus(mnt_.get(), 0x80000030u, 1, &ctx_);
  EXPECT_EQ(0x80000002u, mnt_->mntinfo.MountStatus) << "overwrite mark cleared";
  mnt_->mntinfo_overwrite = 1;
  mdcudfsr_update_mntinfo_mntstatus(mnt_.get(), 0x80000030u, 1, &ctx_);
  EXPECT_EQ(0x80000030u, mnt_->mntinfo.MountStatus);
}

TEST_F(MountInformation, ErrorsToStatusAndReasons) {
  struct Case {
    int error;
    std::uint32_t status;
    std::uint32_t reasons;
    std::uint32_t access;
  } cases[] = {
      {0, 0, 0, 0},           {22, 0x80000200u, 0x80000, 2}, {2, 0x80000200u, 0x80000, 2},
      {30, 0, 0x80000, 0},    {5, 0x80000002u, 0x1, 2},      {12, 0x80000001u, 0x80000, 2},
      {95, 0x80000001u, 0x80000, 2}, {27, 0, 0, 0},          {61, 0x80000200u, 0, 2},
  };
  for (const auto& c : cases) {
    mdcudfsr_init_mntinfo(mnt_.get());
    mdcudfsr_update_mntinfo_with_error(mnt_.get(), c.error, &ctx_);
    EXPECT_EQ(c.status, mnt_->mntinfo.MountStatus) << c.error;
    EXPECT_EQ(c.reasons, mnt_->mntinfo.WriteProtectReasonFlags) << c.error;
    EXPECT_EQ(c.access, mnt_->mntinfo.AccessMode) << c.error;
  }
  EXPECT_TRUE(logged("unrecognised error (61), defaulting to 'unknown volume'\n"));
}

TEST_F(MountInformation, PublishingRulesAndTheDriveLayersCopy) {
  struct Case {
    int completed;
    std::uint32_t flags;
    int notified;
    std::uint32_t reasons;
    bool sent;
  } cases[] = {
      {0, 0x202, 1, 0x1, true},   {1, 0x200, 0, 0x1, true},   {1, 0x202, 0, 0x1, false},
      {1, 0x200, 1, 0x1, false},  {1, 0x202, 1, 0x800, true}, {1, 0x202, 1, 0x801, false},
  };
  std::uint8_t medium = 0x10;
  for (const auto& c : cases) {
    set(0, c.reasons, 0);
    mnt_->mntinfo.MediumType = ++medium;
    mnt_->mount_completed = c.completed;
    mnt_->mount_ext_flags = c.flags;
    mnt_->filter_notified = c.notified;
    const MDCFS_MOUNT_INFORMATION before = drive_copy();
    ASSERT_EQ(0, mdcudfsr_send_mntinfo(mnt_.get(), &ctx_));
    const MDCFS_MOUNT_INFORMATION after = drive_copy();
    EXPECT_EQ(c.sent ? medium : before.MediumType, after.MediumType)
        << c.completed << " " << std::hex << c.flags << " " << c.notified << " " << c.reasons;
  }
}

TEST_F(MountInformation, StateSettersAndReadOnlySwitch) {
  mdcudfsr_set_mntinfo_state_silent(mnt_.get(), 2, 0x80000030u, 0x80000);
  EXPECT_EQ(0, mnt_->pending_error_report);
  mdcudfsr_set_mntinfo_state(mnt_.get(), 0, 0x80000500u, 0x80000);
  EXPECT_EQ(1, mnt_->pending_error_report);
  EXPECT_EQ(0x80000500u, mnt_->mntinfo.MountStatus);

  set(0, 0x2000, 0);
  mnt_->mntinfo.MediumType = 0xE1;
  mnt_->mount_completed = 1;
  mnt_->mount_ext_flags = 0x202;
  mnt_->filter_notified = 1;
  EXPECT_EQ(0, mdcudfsr_mntinfo_is_readonly(mnt_.get()));
  mdcudfsr_set_readonly_mount(mnt_.get(), 0x80000002u, 0x1, &ctx_);
  EXPECT_EQ(0x2001u, mnt_->mntinfo.WriteProtectReasonFlags);
  EXPECT_NE(0u, vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_EQ(1, mdcudfsr_mntinfo_is_readonly(mnt_.get()));
  const MDCFS_MOUNT_INFORMATION copy = drive_copy();
  EXPECT_EQ(0x80000002u, copy.MountStatus) << "sent whatever the publishing rules say";
  mnt_->mntinfo.WriteProtectReasonFlags = 0xFFFFFFFFu;
  EXPECT_EQ(0, mdcudfsr_mntinfo_is_readonly(mnt_.get()));
  mdcudfsr_set_readonly_mount(nullptr, 0, 0, &ctx_);
  EXPECT_TRUE(logged("mdcudfsrmp\n"));
}

TEST_F(MountInformation, ErrorReportTypes) {
  for (int kind : {0, 1, 2}) {
    take_opcodes();
    mdcudfsr_report_error(mnt_.get(), kind, &ctx_);
    EXPECT_FALSE(logged("Unknown error info")) << kind;
  }
  take_opcodes();
  mdcudfsr_report_error(mnt_.get(), 3, &ctx_);
  EXPECT_TRUE(take_opcodes().empty());
  EXPECT_TRUE(logged("Unknown error info [0x03]"));
}

}  // namespace
