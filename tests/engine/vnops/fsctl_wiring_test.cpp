// The allocation, parity, list and volume-item controls reached through the
// control dispatcher, with the codes as their senders send them.
#include "fsctl_support.h"

#include "kel/volctrl.h"
#include "kelhost/kern.h"
#include "kelcache/lookup.h"
#include "kelvnops/mdcudfsr_fsctl_allocation.h"
#include "kelvnops/mdcudfsr_fsctl_file_controls.h"
#include "kelvnops/mdcudfsr_fsctl_lists.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"
#include "kelvfs/mdcudfsr_mntinfo.h"

#include <cstring>
#include <set>

namespace {

using namespace fsctl_test;

class Wiring : public FsctlVolume {
 protected:
  void SetUp() override {
    FsctlVolume::SetUp();
    install_file_controls();
    start_tree();
  }
};

TEST_F(Wiring, EveryBindingServesExactlyOneRowOfTheTable) {
  const mdcudfsr_fsctl_row* rows = mdcudfsr_fsctl_rows();
  std::set<std::pair<std::uint32_t, int>> seen;
  for (std::size_t b = 0; b < mdcudfsr_fsctl_file_control_count(); ++b) {
    const mdcudfsr_fsctl_binding& x = mdcudfsr_fsctl_file_controls()[b];
    int matches = 0;
    for (std::size_t i = 0; i < mdcudfsr_fsctl_row_count(); ++i)
      if (rows[i].code == x.code && rows[i].vnode == x.vnode) {
        ++matches;
        EXPECT_EQ(x.handler, rows[i].handler) << std::hex << x.code;
      }
    EXPECT_EQ(1, matches) << std::hex << x.code;
    EXPECT_TRUE(seen.insert({x.code, static_cast<int>(x.vnode)}).second) << std::hex << x.code;
  }
  EXPECT_EQ(46u, mdcudfsr_fsctl_file_control_count());
}

TEST_F(Wiring, InterfaceSendersGetTheRecordsTheyRead) {
  vnode_t root = root_->vp;
  mnt_->disc_status = 1;
  mnt_->last_track = 1;
  mnt_->partition_blocks = layout_.partition_len;
  MDCFS_STATFS_SIZEINFO size{};
  ASSERT_EQ(0, send(root, kel::kFsctlGetStatfsSizeInfo, &size));
  EXPECT_EQ(2048u, size.BlockSize);
  EXPECT_EQ(0x10000u, size.Reserved1);
  EXPECT_EQ(std::uint64_t{size.FreeBlocks}, std::uint64_t{size.Reserved2});

  std::int64_t last = 0;
  ASSERT_EQ(0, send(root, kel::kFsctlGetLastFileIndex, &last));
  EXPECT_EQ(static_cast<std::int64_t>(mnt_->next_unique_id - 1), last);

  MDCFS_MOUNT_INFORMATION mi{};
  mnt_->mntinfo.MountStatus = 0;
  mnt_->mntinfo.WriteProtectReasonFlags = 0x2000;
  mdcudfsr_set_readonly_mount(mnt_.get(), 0, 0x2000, &ctx_);  // published to the drive layer
  ASSERT_EQ(0, send(root, kel::kFsctlGetVolumeMountInformation, &mi));
  EXPECT_EQ(0x2000u, mi.WriteProtectReasonFlags & 0x2000u);

  std::uint32_t reserve[2] = {3, 1};
  EXPECT_EQ(1, send(root, kel::kFsctlReserveFileCreation, reserve)) << "privileged access only";
  privileged();
  ASSERT_EQ(0, send(root, kel::kFsctlReserveFileCreation, reserve));
  EXPECT_EQ(3u, mnt_->reserved_files);
  EXPECT_EQ(1u, mnt_->reserved_dirs);
}

TEST_F(Wiring, AReservationEndsWithThePrivilegedMode) {
  privileged();
  std::uint32_t reserve[2] = {2, 2};
  ASSERT_EQ(0, send(root_->vp, kel::kFsctlReserveFileCreation, reserve));
  EXPECT_EQ(2u, mnt_->reserved_files);
  send(root_->vp, kel::kFsctlExitPrivileged, nullptr);
  EXPECT_EQ(0u, mnt_->reserved_files);
  EXPECT_EQ(0u, mnt_->reserved_dirs);
}

TEST_F(Wiring, RebuildAsTheWriterSendsIt) {
  const Written f = open_for_writer("f");
  ASSERT_NE(nullptr, f.master);
  ASSERT_EQ(1u, pending().size());
  MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER r{};
  r.FileIndex = mdcudfsr_node_unique_id(f.master);
  r.FileSize = 3000;
  r.TotalSpaceCount = 1;
  r.SpaceEntries[0] = {0, 700, 2};
  ASSERT_EQ(0, send(root_->vp, kel::kFsctlRebuildFileAllocation, &r));
  EXPECT_EQ((std::vector<Extent>{{0, 700, 3000, 0}}), extents_of(f.master));
  EXPECT_TRUE(pending().empty());
}

TEST_F(Wiring, FileCodesOnAFileVnodeWithTheirPreChecks) {
  make("f");
  vnode_t vp = vnode_of("f");
  ASSERT_NE(nullptr, vp);
  MDCFS_CUSTOM_FILE_SETTING s{1, 1, 0x7BDE};
  EXPECT_EQ(1, send(vp, 0x800C7080, &s)) << "customize needs privileged access";
  privileged();
  ASSERT_EQ(0, send(vp, 0x800C7080, &s));
  MDCFS_SPACE_ENTRY e[2] = {{0, 40, 2}, {0, 90, 1}};
  MDCFS_SPACE_ENTRIES_BUFFER b{};
  b.SpaceEntries = reinterpret_cast<std::uintptr_t>(e);
  b.TotalSpaceCount = 2;
  ASSERT_EQ(0, send(vp, 0x800C7083, &b));
  MDCFS_SPACE_ENTRIES_BUFFER q{};
  ASSERT_EQ(0, send(vp, 0xC10C7082, &q));
  EXPECT_EQ(2u, q.TotalSpaceCount);
  EXPECT_EQ(22, send(root_->vp, 0xC10C7082, &q)) << "a file code on the root";
  EXPECT_EQ(22, send(vp, kel::kFsctlGetLastFileIndex, &q)) << "a volume code on a file";
}

TEST_F(Wiring, VisibilityAndMovesAreForThePrivilegedProcessInOrOutOfItsMode) {
  make("d", true);
  vnode_t vp = vnode_of("d");
  std::uint32_t v = 0;
  vfs_context other{43};
  mnt_->privileged_pid = static_cast<std::int32_t>(vfs_context_pid(&ctx_));
  EXPECT_EQ(1, send(vp, 0x800070A1, &v, &other));
  ASSERT_EQ(0, send(vp, 0x800070A1, &v)) << "registered, privileged mode off";
  EXPECT_TRUE(mdcudfsr_cache_get_node(vp, 0)->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
  mnt_->privileged_mode = 1;
  v = 1;
  ASSERT_EQ(0, send(vp, 0x800070A1, &v));
  EXPECT_FALSE(mdcudfsr_cache_get_node(vp, 0)->attributes & MDCUDFSR_NODE_ATTR_INVISIBLE);
  std::vector<char> rec(MDCFS_MOVE_NAME_SIZE + 8, 0);
  EXPECT_EQ(1, send(vp, 0x800070B0, rec.data(), &other));
}

}  // namespace
