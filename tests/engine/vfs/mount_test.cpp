// The whole volume mount through the host layer's sequence (agent thread,
// mount, start, root) against simulated cartridges, and the unmount.
#include "mount_support.h"

#include "drive/device_control.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"

namespace {

using namespace vfs_test;
using udf_test::MediumClass;

class Mount : public MountHarness {};

TEST_F(Mount, WriteOnceVolumeMountsReadWrite) {
  prepare(MediumClass::WriteOnce);
  const int r = host_mount();
  for (const auto& l : log_lines()) if (l.find("ERR") != std::string::npos || l.find("WARN") != std::string::npos) std::printf("%s", l.c_str());
  ASSERT_EQ(0, r);
  mdcudfsr_mount* m = record();
  ASSERT_NE(nullptr, m);
  EXPECT_NE(nullptr, root_);
  EXPECT_EQ(0u, vfs_flags(&host_mp_) & MNT_RDONLY);
  EXPECT_EQ(1, m->mount_completed);
  EXPECT_EQ(0, m->mounting);
  const MDCFS_MOUNT_INFORMATION mi = drive_copy();
  EXPECT_EQ(0u, mi.MountStatus);
  EXPECT_EQ(0u, mi.WriteProtectReasonFlags);
  EXPECT_EQ(0u, mi.AccessMode);
  EXPECT_EQ(0xE1, mi.MediumType);
}

}  // namespace
