// Volume dirty marking, the volume buffer flush and the backtrack thread
// against the simulated drive.
#include "flush_recorder.h"
#include "fsctl_support.h"
#include "vfs_support.h"

#include "drive/cm_data.h"
#include "drive/scsi_service_re.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvnops/mdcudfsr_backtrack.h"
#include "kelvnops/mdcudfsr_volume_dirty.h"
#include "udf/udf_lvid.h"
#include "udf/udf_vds_rules.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

using namespace vfs_test;
using fsctl_test::be16;
using fsctl_test::be32;
using fsctl_test::be64;

class VolumeDirty : public SimVolume {
 protected:
  void start_marked(udf_test::MediumClass cls = udf_test::MediumClass::WriteOnce) {
    start_volume(cls);
    stop_drive_client();
    fsctl_test::seed_cm(sim_->cartridge(), 0x00000100u);
    start_drive_client();
    ASSERT_EQ(0, mdcudfsr_read_lvid(mnt_.get(), &ctx_, 1, 0, 0, 0));
    std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE];
    ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), r, sizeof r, 1, 1, &ctx_, 1));  // the mount's cache
    fsctl_test::g_i31_calls.clear();
    take_opcodes();
    clear_log();
  }
  int mark(std::uint8_t policy, std::uint8_t volume_type = 0) {
    mdcfs_mark_volume_dirty r{policy, volume_type, {0, 0}};
    return mdcudfsr_mdcfsctrl_mark_volume_dirty(mnt_.get(), &r, &ctx_);
  }
  std::vector<std::uint8_t> value_1500() { return fsctl_test::attribute(sim_->cartridge(), 0x1500); }
};

TEST_F(VolumeDirty, PolicyIsRaisedNeverLowered) {
  start_marked();
  ASSERT_EQ(0, mark(2));
  EXPECT_EQ(2, mnt_->flush_policy);
  ASSERT_EQ(0, mark(1));
  EXPECT_EQ(2, mnt_->flush_policy) << "policy 1 after 2 keeps 2";
  EXPECT_EQ(22, mark(7));
  EXPECT_EQ(0, mnt_->flush_policy) << "an illegal policy resets the pending one";
  EXPECT_TRUE(logged("Illegal Flush Plicy(7)"));
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_mark_volume_dirty(mnt_.get(), nullptr, &ctx_));
}

TEST_F(VolumeDirty, PoliciesTwoToFiveSetTheNoEditMark) {
  for (std::uint8_t policy : {0, 1, 2, 3, 4, 5, 6}) {
    start_marked();
    mark(policy);
    EXPECT_EQ(policy >= 2 && policy <= 5, (mnt_->mount_ext_flags & 0x40) != 0) << int(policy);
  }
}

TEST_F(VolumeDirty, InitializeOnACompleteDiscIsRefused) {
  start_marked();
  stop_drive_client();
  sim_->cartridge().disc(0).status = kelsim::DiscStatus::Complete;
  sim_->cartridge().save();
  start_drive_client();
  EXPECT_EQ(22, mark(3));
  EXPECT_EQ(0, mnt_->flush_policy);
}

TEST_F(VolumeDirty, RollbackPolicyWritesTheRollbackPoint) {
  start_marked();
  mnt_->rollback_fe_lsn = 0x1234;
  mnt_->rollback_fsd_lsn = 0x5678;
  ASSERT_EQ(0, mark(4));
  const auto v = value_1500();
  ASSERT_EQ(128u, v.size());
  EXPECT_EQ(mnt_->vds.pvd.vds_num, be16(v.data() + 42));
  EXPECT_EQ((std::uint64_t{0x1234} << 32) | 0x5678, be64(v.data() + 44));
  EXPECT_EQ(0xFFFFFFFFu, be32(v.data() + 56));
  EXPECT_EQ(scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(v.data()), 126), be16(v.data() + 126))
      << "CRC-16 of the wire-order value, big-endian at 126";
}

TEST_F(VolumeDirty, AllErasePolicyWritesTheInitialState) {
  for (std::uint8_t type : {0, 16}) {
    start_marked();
    ASSERT_EQ(0, mark(5, type));
    const auto v = value_1500();
    ASSERT_EQ(128u, v.size());
    EXPECT_EQ(type ? 1 : 0, v[28]);
    EXPECT_EQ(1, be16(v.data() + 42));
    EXPECT_EQ(0u, be64(v.data() + 44));
    EXPECT_EQ(0xFFFFFFFFu, be32(v.data() + 56));
    EXPECT_EQ(scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(v.data()), 126), be16(v.data() + 126));
    EXPECT_TRUE(logged(type ? "VolumeType 1\n" : "VolumeType 0\n"));
  }
}

TEST_F(VolumeDirty, FailedAttributeWriteResetsThePolicy) {
  start_marked();
  sim_->drive().add_fault(kelsim::command_fails(0x8D, {0x03, 0x0C, 0x00}));
  EXPECT_EQ(5, mark(4));
  EXPECT_EQ(0, mnt_->flush_policy);
  EXPECT_TRUE(logged("Failed to WRITE ATTRIBUTE for rollback data err =  5. \n"));
}

TEST_F(VolumeDirty, LastWrittenSlotIsLoadedBeforeTheSession) {
  start_marked();
  mnt_->current_disc = 1;  // the last written slot; slot 0 is loaded
  mnt_->num_discs = sim_->cartridge().slots();
  mark(1);
  EXPECT_EQ(1, sim_->cartridge().loaded_slot);
}

TEST_F(VolumeDirty, FlushVolumeBuffersWritesNothing) {
  start_marked();
  const std::uint32_t flags = 1;
  mnt_->mount_ext_flags = 0x2;  // every mount of this system: exempt
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_flush_volume_buffers(mnt_.get(), nullptr, &ctx_)) << "as the SDK sends it";
  EXPECT_EQ(0, mdcudfsr_mdcfsctrl_flush_volume_buffers(mnt_.get(), &flags, &ctx_));
  EXPECT_TRUE(take_opcodes().empty());
  EXPECT_TRUE(g_flush_calls.empty());

  mnt_->mount_ext_flags = 0;  // tied to the user agent, whose channel is closed
  EXPECT_EQ(6, mdcudfsr_mdcfsctrl_flush_volume_buffers(mnt_.get(), &flags, &ctx_));
  EXPECT_TRUE(take_opcodes().empty());
  EXPECT_TRUE(g_flush_calls.empty());
  EXPECT_EQ(0, mnt_->packed_flush_busy);
}

TEST_F(VolumeDirty, InitializeErasesAndRewritesThePositionWord) {
  start_marked();
  mnt_->metadata_file_loc = 0x1000;
  const int r = mdcudfsr_privileged_exit_initialize(mnt_.get(), &ctx_);
  EXPECT_EQ(0, mnt_->flush_policy);
  EXPECT_TRUE(fsctl_test::g_i31_calls.empty()) << "no rewritable rebuild on write-once media";
  ASSERT_EQ(0, r);
  EXPECT_EQ(0u, be32(fsctl_test::attribute(sim_->cartridge(), 0x1503).data()));
  EXPECT_EQ(1u, be32(fsctl_test::attribute(sim_->cartridge(), 0x1504).data()));
  EXPECT_EQ(mdcudfsr_vuvi_encode(0, 0x1000), be32(value_1500().data() + 56));
}

class Backtrack : public SimVolume {
 protected:
  void start_rewritable() {
    SimOptions o;
    o.medium = 0xE2;
    o.slots = 2;
    start(o);
    mnt_->lvid.integrity_type = 1;
  }
};

TEST_F(Backtrack, WriteOnceMediaRefuseIt) {
  start();
  for (std::uint8_t policy : {4, 5}) {
    mnt_->flush_policy = policy;
    EXPECT_EQ(95, mdcudfsr_privileged_exit_backtrack(mnt_.get(), policy, &ctx_));
    EXPECT_EQ(0, mnt_->flush_policy);
    EXPECT_EQ(nullptr, mnt_->backtrack_thread);
  }
  EXPECT_TRUE(logged("WO is not backtrack for rollback\n"));
  EXPECT_TRUE(logged("WO is not backtrack for all erase\n"));
}

TEST_F(Backtrack, ExitReturnsAtOnceAndUnmountJoins) {
  start_rewritable();
  std::unique_lock<std::mutex> hold(mnt_->slot_mutex);  // the thread waits here for its drive command
  ASSERT_EQ(0, mdcudfsr_privileged_exit_backtrack(mnt_.get(), 4, &ctx_));
  ASSERT_NE(nullptr, mnt_->backtrack_thread);
  EXPECT_EQ(1, mnt_->backtrack_running);
  EXPECT_EQ(4, mnt_->flush_policy) << "the policy stays for the thread";
  EXPECT_EQ(22, mdcudfsr_backtrack_thread_start(mnt_.get())) << "one backtrack at a time";
  EXPECT_TRUE(logged("backtrack thread is already running.\n"));
  EXPECT_EQ(1, mnt_->backtrack_running) << "the refused start leaves the running backtrack marked";

  pxo_backtrack_progress_t p{};
  p.status = 0xEE;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_backtrack_info(mnt_.get(), &p, &ctx_)) << "served while the thread runs";
  EXPECT_EQ(0, p.status) << "reset before the start";

  mnt_->metadata_changed = 1;
  hold.unlock();
  mdcudfsr_backtrack_thread_join(mnt_.get());
  EXPECT_EQ(0u, mnt_->metadata_changed) << "after a backtrack nothing is left to flush";
  EXPECT_EQ(nullptr, mnt_->backtrack_thread);
  EXPECT_EQ(0, mnt_->backtrack_running);
  EXPECT_EQ(0, mnt_->flush_policy);
  EXPECT_TRUE(logged("mdcudfsr_backtrack_routine end status:"));
  EXPECT_TRUE(logged("mdcudfsr_backtrack_routine end check \n"));
  mdcudfsr_backtrack_thread_join(mnt_.get());  // nothing left to join
}

TEST_F(Backtrack, RefreshReloadsTheLastWrittenSlot) {
  start_rewritable();
  mnt_->current_disc = 1;
  take_opcodes();
  mdcudfsr_change_disc_and_refresh_data(mnt_.get(), &ctx_, 0);
  EXPECT_EQ(1, sim_->cartridge().loaded_slot);
  const auto sent = take_opcodes();
  EXPECT_NE(std::find(sent.begin(), sent.end(), 0xAD), sent.end()) << "the defect map is rebuilt from the drive's list";
}

}  // namespace
