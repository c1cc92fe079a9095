// Volume start.
#include "vfs_support.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_vfsops.h"

namespace {

TEST(VolumeStart, CountsPrivilegedCallersUntilTheFilterIsNotified) {
  vfs_test::clear_log();
  mount mp{};
  EXPECT_EQ(0, mdcudfsr_vfsop_start(&mp, 0, nullptr));
  EXPECT_TRUE(vfs_test::logged("mdcudfsrmp\n")) << "no mount record";
  mdcudfsr_mount mnt;
  vfs_setfsprivate(&mp, &mnt);
  mnt.privileged_pid = 77;
  struct Case {
    std::uint64_t pid;
    int notified;
    std::uint32_t count;
  } cases[] = {{77, 0, 1}, {78, 0, 1}, {77, 1, 1}, {77, 0, 2}};
  for (const auto& c : cases) {
    vfs_context ctx{c.pid};
    mnt.filter_notified = c.notified;
    EXPECT_EQ(0, mdcudfsr_vfsop_start(&mp, 0, &ctx));
    EXPECT_EQ(c.count, mnt.privileged_call_count) << c.pid << " " << c.notified;
  }
  vfs_setfsprivate(&mp, nullptr);
}

}  // namespace
