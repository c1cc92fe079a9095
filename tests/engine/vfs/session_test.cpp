// The integrity session against the simulated drive: the integrity
// descriptor on the disc, the mount information the drive layer holds.
#include "vfs_support.h"

#include "drive/device_control.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvfs/mdcudfsr_volume_attr.h"
#include "udf/udf_lvid.h"

#include <cstring>
#include <latch>
#include <thread>

namespace {

using namespace vfs_test;

class Session : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    layout_ = start_volume(udf_test::MediumClass::WriteOnce);
    mnt_->mntinfo.MediumType = static_cast<std::uint8_t>(mnt_->medium_type);
    ASSERT_EQ(0, mdcudfsr_read_lvid(mnt_.get(), nullptr, 0, 1, 0, 0));
    mnt_->coherency_refreshed = 1;  // no management cache file here
    drive_status(0x80);
    take_opcodes();
  }
  // The mount information the drive layer holds for the volume filter.
  std::uint8_t drive_status() {
    MDCFS_MOUNT_INFORMATION mi{};
    EXPECT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOGETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, &ctx_));
    return mi.VolumeStatus;
  }
  void drive_status(std::uint8_t status) {
    MDCFS_MOUNT_INFORMATION mi{0, 0, 0, static_cast<std::uint8_t>(mnt_->medium_type), status, 0, 0};
    ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETMOUNTINFO, reinterpret_cast<char*>(&mi), 0, &ctx_));
  }
  // Integrity type of the descriptor as the disc holds it.
  std::uint32_t disc_integrity_type() {
    std::vector<std::uint8_t> b(2048);
    EXPECT_EQ(0u, sim_->cartridge().read_blocks(0, layout_.lvid, 1, b.data()));
    std::uint32_t t = 0;
    std::memcpy(&t, b.data() + 28, 4);
    return t;
  }
  int count_writes() {
    int n = 0;
    for (auto op : take_opcodes()) n += op == 0x2A;
    return n;
  }
  udf_test::ImageLayout layout_{};
};

TEST_F(Session, OpeningWritesTheDescriptorAndPublishesOnce) {
  ASSERT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  EXPECT_EQ(0u, disc_integrity_type());
  EXPECT_EQ(0x10, mnt_->mntinfo.VolumeStatus & 0x10);
  EXPECT_EQ(1, mnt_->lvid_open);
  EXPECT_EQ(0x90, drive_status()) << "the session bit published, the others kept";
  // Open again: nothing new for the filter.
  drive_status(0x80);
  EXPECT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  EXPECT_EQ(0x80, drive_status());
}

// The figures cached at mount no longer hold once writes begin: the free
// blocks follow the disc's next writable address from then on.
TEST_F(Session, OpeningMakesTheCachedSizesStale) {
  mp_.mnt_data = mnt_.get();
  mnt_->disc_status = 1;
  mnt_->last_track = 1;
  mnt_->num_discs = 3;
  mnt_->current_disc = 0;
  mnt_->total_blocks = 7;
  mnt_->free_blocks = 7;  // as the mount cached them
  mnt_->size_unknown = 0;
  vfs_attr a{};
  ASSERT_EQ(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  EXPECT_EQ(7u, a.f_bfree) << "before any write the mount's figures stand";
  ASSERT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  EXPECT_EQ(1, mnt_->size_unknown);
  std::uint32_t total = 0, free_blocks = 0;
  ASSERT_EQ(0, mdcudfsr_get_volume_size_info(mnt_.get(), &ctx_, &total, &free_blocks, nullptr, nullptr, 0));
  ASSERT_NE(7u, free_blocks);
  a = vfs_attr{};
  ASSERT_EQ(0, mdcudfsr_vfsop_getattr(&mp_, &a, &ctx_));
  EXPECT_EQ(free_blocks, a.f_bfree);
  EXPECT_EQ(total, a.f_blocks);
  EXPECT_EQ(total - free_blocks, a.f_bused);
}

TEST_F(Session, ModeFourDoesNothing) {
  EXPECT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, 4));
  EXPECT_TRUE(take_opcodes().empty());
  EXPECT_EQ(1u, disc_integrity_type());
  EXPECT_EQ(0, mnt_->lvid_open);
}

TEST_F(Session, ReadOnlyMountRefusesUnlessAllowed) {
  vfs_setflags(&mp_, MNT_RDONLY);
  EXPECT_EQ(30, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  EXPECT_EQ(30, mdcudfsr_update_session_Ex(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  EXPECT_TRUE(logged("attempt to update readonly session\n"));
  EXPECT_EQ(0, count_writes());
  mnt_->flush_policy = 5;
  EXPECT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  EXPECT_EQ(0u, disc_integrity_type());
  mnt_->flush_policy = 0;
  mnt_->mount_ext_flags |= 0x10;
  EXPECT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_CLOSE));
  EXPECT_EQ(1u, disc_integrity_type());
}

TEST_F(Session, ClosingOnTheLastSlotWithoutResourcesGoesReadOnly) {
  ASSERT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  sim_->cartridge().opc_count = 3;  // too few calibration areas
  mnt_->num_discs = 1;
  mnt_->current_disc = 0;
  ASSERT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_CLOSE));
  EXPECT_EQ(1u, disc_integrity_type());
  EXPECT_EQ(0, mnt_->mntinfo.VolumeStatus & 0x10);
  EXPECT_EQ(0, drive_status() & 0x10);
  EXPECT_NE(0u, vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_EQ(0u, mnt_->mntinfo.MountStatus);
  EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & 0x800);
  EXPECT_TRUE(logged("do read only mount\n"));
}

// Without the drive's mount information only the session bit combines the
// old and the new state; the other bits of the status stay as they are.
TEST_F(Session, UnreadableMountInformationKeepsTheOtherStatusBits) {
  mnt_->mntinfo.VolumeStatus = 0x83;
  stop_drive_client();
  const int err = mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN);
  start_drive_client();
  EXPECT_NE(0, err);
  EXPECT_EQ(0x10, mnt_->mntinfo.VolumeStatus & 0x10);
  EXPECT_EQ(0x03, mnt_->mntinfo.VolumeStatus & 0x0F) << "the session nibble kept";
}

// A writer and a request thread change the volume at once, each under its
// own node's lock only: both stamp the modification time and open the
// session together. The session ends open everywhere once, and (under the
// thread sanitizer) neither the clocks nor the session marks race.
TEST_F(Session, TwoThreadsOpeningAtOnceLeaveOneOpenSession) {
  std::latch start(2);
  int results[2] = {-1, -1};
  auto node_operation = [&](int i) {
    start.arrive_and_wait();
    mdcudfsr_update_vol_last_modification_time(mnt_.get());
    results[i] = mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN);
    mdcudfsr_update_vol_last_partial_flush_time(mnt_.get());
  };
  std::thread writer(node_operation, 0);
  std::thread handler(node_operation, 1);
  writer.join();
  handler.join();
  EXPECT_EQ(0, results[0]);
  EXPECT_EQ(0, results[1]);
  EXPECT_EQ(0u, disc_integrity_type());
  EXPECT_EQ(0x10, mnt_->mntinfo.VolumeStatus & 0x10);
  EXPECT_EQ(1, mnt_->lvid_open);
  EXPECT_EQ(1, mnt_->size_unknown);
  EXPECT_NE(0u, mnt_->last_modification_time.load());
  EXPECT_NE(0u, mnt_->last_partial_flush_time.load());
  EXPECT_EQ(0x90, drive_status()) << "the session bit published, the others kept";
}

// update_session_Ex: a close answers 0 although its descriptor write failed
// (the guard has tripped); a published open answers the opening failure.
TEST_F(Session, ExResultRules) {
  ASSERT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN));
  mnt_->system_guard = 1;
  const int fault = sim_->drive().add_fault(kelsim::write_error(0, 0xFFFFFFFFu));
  EXPECT_NE(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_CLOSE));
  mnt_->lvid.integrity_type = 0;
  EXPECT_EQ(0, mdcudfsr_update_session_Ex(mnt_.get(), &ctx_, MDCUDFSR_SESSION_CLOSE));
  EXPECT_GT(sim_->drive().fault_fired(fault), 0);
  // Open fails to write, without the guard: the session opens all the same.
  mnt_->system_guard = 0;
  mnt_->lvid.integrity_type = 1;
  mnt_->next_unique_id += 1;  // the disc's open descriptor differs: it is written
  mnt_->mntinfo.VolumeStatus &= static_cast<std::uint8_t>(~0x10);
  const int ex = mdcudfsr_update_session_Ex(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN);
  EXPECT_NE(0, ex) << "the opening failure";
  EXPECT_EQ(0x10, mnt_->mntinfo.VolumeStatus & 0x10);
  EXPECT_EQ(0x10, drive_status() & 0x10) << "published";
  mnt_->lvid.integrity_type = 1;
  mnt_->next_unique_id += 1;
  mnt_->mntinfo.VolumeStatus &= static_cast<std::uint8_t>(~0x10);
  mp_.mnt_flag &= ~MNT_RDONLY;  // the failed writes made the mount read-only
  EXPECT_EQ(0, mdcudfsr_update_session(mnt_.get(), &ctx_, MDCUDFSR_SESSION_OPEN)) << "the plain form answers 0";
}

}  // namespace
