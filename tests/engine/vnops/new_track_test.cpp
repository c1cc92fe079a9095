// New track creation and the track switches on multi-slot cartridges of the
// simulated drive. The volume flushes the operations run are recording
// stand-ins (standins_i31.cpp); the drive work is real.
#include "fsctl_support.h"
#include "vfs_support.h"

#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvnops/mdcudfsr_new_track.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"

#include <algorithm>
#include <thread>

namespace {

using namespace vfs_test;
using fsctl_test::g_i31_calls;

class NewTrack : public SimVolume {
 protected:
  // A cartridge of `slots` discs whose slot 0 holds the builder's volume.
  void start_cartridge(udf_test::MediumClass cls, std::uint8_t slots) {
    const udf_test::ImageSpec spec = udf_test::spec_for(cls, 0);
    std::vector<std::uint8_t> image;
    udf_test::build_volume(spec, image);
    SimOptions o;
    o.medium = static_cast<std::uint8_t>(spec.medium_type);
    o.disc_blocks = spec.sectors;
    o.slots = slots;
    start(o);
    stop_drive_client();
    kelsim::Cartridge& cart = sim_->cartridge();
    for (std::uint32_t unit = 0; unit < spec.sectors; unit += 32)
      cart.write_blocks(0, unit, 32, image.data() + std::size_t{unit} * 2048);
    kelsim::Disc& d = cart.disc(0);
    d.formatted = true;
    const std::uint32_t end_area = spec.sectors - 32;
    if (cart.write_once()) {
      d.status = kelsim::DiscStatus::Incomplete;
      d.tracks = {kelsim::Track{0, end_area, end_area, false, false},
                  kelsim::Track{end_area, 32, spec.sectors, false, true}};
    } else {
      d.status = kelsim::DiscStatus::Complete;
      d.highest_written = spec.sectors;
    }
    fsctl_test::seed_cm(cart, 0x100);
    start_drive_client();
    mdcudfsr_mount* m = mnt_.get();
    if (m->is_rewritable) {
      ASSERT_EQ(0, mdcudfsr_read_avdp_RE(m, &ctx_, 1, 0, nullptr));
    } else {
      ASSERT_EQ(0, mdcudfsr_read_avdp(m, &ctx_, 1, 0, nullptr));
      ASSERT_EQ(0, mdcudfsr_read_vds(m, &ctx_, 0, 1, 0, nullptr));
    }
    ASSERT_EQ(0, mdcudfsr_read_lvid(m, &ctx_, 1, 0, 0, 0));
    m->logical_block_size = 2048;
    m->privileged_pid = 42;
    m->nfiles = 10;
    m->flush_policy = 1;
    root_.mdcudfsrmp = m;
    m->root_node = &root_;
    g_i31_calls.clear();
    fsctl_test::g_i31_flush_failures = 0;
    fsctl_test::g_i31_skip = 0;
    take_opcodes();
    clear_log();
  }
  // Another thread can take the root node's lock.
  bool nodes_free() {
    int r = -1;
    std::thread t([&] {
      r = mdcudfsr_cache_lock_node(&root_, 0);
      if (r == 0) mdcudfsr_cache_unlock_node(&root_);
    });
    t.join();
    return r == 0;
  }
  bool before(const std::string& a, const std::string& b) {
    const auto l = log_lines();
    auto ia = std::find_if(l.begin(), l.end(), [&](const auto& s) { return s.find(a) != std::string::npos; });
    auto ib = std::find_if(l.begin(), l.end(), [&](const auto& s) { return s.find(b) != std::string::npos; });
    return ia != l.end() && ib != l.end() && ia < ib;
  }
  bool called(const std::string& prefix) {
    return std::any_of(g_i31_calls.begin(), g_i31_calls.end(), [&](const auto& c) { return c.rfind(prefix, 0) == 0; });
  }

  mdcudfsr_cache_node root_;
};

TEST_F(NewTrack, CreateMovesAWriteOnceVolumeToTheNextSlot) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_create_new_track(mnt_.get(), &ctx_, 0));
  EXPECT_EQ(1u, mnt_->current_disc);
  EXPECT_EQ(1, sim_->cartridge().loaded_slot);
  EXPECT_EQ(1, mnt_->flush_policy) << "the saved policy is back";
  EXPECT_EQ(10u, mnt_->nfiles) << "the object count is back";
  EXPECT_EQ(0u, vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_TRUE(nodes_free());
  ASSERT_FALSE(g_i31_calls.empty());
  EXPECT_EQ("ex 1,0,1,0,0 policy=1", g_i31_calls.front()) << "the partial flush comes first";
  EXPECT_TRUE(called("newtrack 1,1,0 policy=2"));
  EXPECT_TRUE(before("Disc Change for CREATE_NEW_TRACK Slot(0)=>(1)", "End Create New Track"));
  EXPECT_TRUE(sim_->cartridge().disc(1).formatted) << "the next disc was formatted";
  EXPECT_GE(sim_->cartridge().disc(1).tracks.at(0).nwa, 0x1100u);
  const auto ops = take_opcodes();
  EXPECT_NE(ops.end(), std::find(ops.begin(), ops.end(), 0x53)) << "the track is reserved";
}

TEST_F(NewTrack, Refusals) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  struct Case {
    const char* what;
    std::function<void(mdcudfsr_mount&)> set;
    int result;
  } cases[] = {
      {"raw", [](mdcudfsr_mount& m) { m.mntinfo.AccessMode = 2; }, 22},
      {"last slot but one", [](mdcudfsr_mount& m) { m.current_disc = 2; }, 22},
      {"no privileged process", [](mdcudfsr_mount& m) { m.privileged_pid = 0; }, 22},
      {"another process", [](mdcudfsr_mount& m) { m.privileged_pid = 7; }, 1},
      {"read-only", [this](mdcudfsr_mount&) { vfs_setflags(&mp_, MNT_RDONLY); }, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    mdcudfsr_mount& m = *mnt_;
    const auto saved = m.mntinfo;
    c.set(m);
    take_opcodes();
    EXPECT_EQ(c.result, mdcudfsr_mdcfsctrl_create_new_track(&m, &ctx_, 0));
    EXPECT_TRUE(take_opcodes().empty());
    EXPECT_EQ(10u, m.nfiles);
    EXPECT_TRUE(nodes_free());
    m.mntinfo = saved;
    m.current_disc = 0;
    m.privileged_pid = 42;
    mp_.mnt_flag &= ~MNT_RDONLY;
  }
  EXPECT_TRUE(logged("LastWrittenSlot is Over slot:[2] \n"));
  EXPECT_TRUE(g_i31_calls.empty());
}

TEST_F(NewTrack, EarlyExitsGiveBackLocksAndObjects) {
  struct Case {
    const char* what;
    int failures;
    bool delay_guard;
  } cases[] = {
      {"partial flush fails", 1, false},
      {"delay guard", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start_cartridge(udf_test::MediumClass::WriteOnce, 3);
    fsctl_test::g_i31_flush_result = 5;
    fsctl_test::g_i31_flush_failures = c.failures;
    mnt_->delay_guard = c.delay_guard ? 1 : 0;
    EXPECT_NE(0, mdcudfsr_mdcfsctrl_create_new_track(mnt_.get(), &ctx_, 0));
    EXPECT_TRUE(nodes_free());
    EXPECT_EQ(10u, mnt_->nfiles);
    EXPECT_EQ(0u, mnt_->current_disc);
  }
}

TEST_F(NewTrack, NoMediumDescriptorEndsReadOnlyAndCreatePutsTheSlotBack) {
  for (bool create : {true, false}) {
    SCOPED_TRACE(create ? "create" : "write next track");
    start_cartridge(udf_test::MediumClass::WriteOnce, 3);
    // READ FORMAT CAPACITIES: one descriptor of type 0.
    sim_->drive().add_fault(kelsim::replace_answer(0x23, {0, 0, 0, 8, 0, 0, 0x20, 0, 0x00, 0, 8, 0}));
    const int r = create ? mdcudfsr_mdcfsctrl_create_new_track(mnt_.get(), &ctx_, 0)
                         : mdcudfsr_mdcfsctrl_write_next_track(mnt_.get(), &ctx_);
    EXPECT_EQ(22, r);
    EXPECT_NE(0u, vfs_flags(&mp_) & MNT_RDONLY);
    EXPECT_EQ(MNTSTATUS_DRIVE_ERROR, mnt_->mntinfo.MountStatus);
    EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & WRPROT_DRIVE_ERROR);
    EXPECT_EQ(create ? 0u : 1u, mnt_->current_disc);
    EXPECT_TRUE(logged("format complete. Descriptor Type is 0 err:0\n"));
    EXPECT_TRUE(nodes_free());
    EXPECT_EQ(10u, mnt_->nfiles);
  }
}

TEST_F(NewTrack, FailedVuviClearIsADriverError) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  mnt_->fsmanage_handle = 3;  // the cache agent's channel is not open: the write fails
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_create_new_track(mnt_.get(), &ctx_, 0));
  EXPECT_EQ(MNTSTATUS_DRIVER_ERROR, mnt_->mntinfo.MountStatus);
  EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & WRPROT_READONLY);
  EXPECT_NE(0u, vfs_flags(&mp_) & MNT_RDONLY);
  EXPECT_TRUE(logged("mdcudfsr_metacache_file_write(VUVI) is failed."));
  EXPECT_EQ(0u, mnt_->current_disc);
  EXPECT_TRUE(nodes_free());
}

TEST_F(NewTrack, CommitNeedsThePrivilegedProcessOnlyWhileTheModeIsOn) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  mnt_->privileged_pid = 7;
  mnt_->privileged_mode = 1;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_commit_new_track(mnt_.get(), &ctx_));
  EXPECT_TRUE(logged("this process is not privileged mode return EINVAL \n"));
  EXPECT_TRUE(g_i31_calls.empty());
  mnt_->privileged_mode = 0;
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_commit_new_track(mnt_.get(), &ctx_)) << "any process with the mode off";
  EXPECT_EQ(1u, mnt_->current_disc);
  EXPECT_EQ(10u, mnt_->nfiles) << "commit takes no objects";
  EXPECT_TRUE(logged("Start Commit New Track\n"));
  EXPECT_TRUE(logged("End Commit New Track\n"));
  EXPECT_TRUE(logged("DFL Summary: MediumSN=SER-0001, SlotNo=0, Type=SL-R"));
}

TEST_F(NewTrack, FailedLoadOfTheNextSlotLeavesTheVolumeWritable) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  sim_->drive().add_fault(kelsim::command_fails(0xA6, {0x02, 0x3A, 0x00}));
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_create_new_track(mnt_.get(), &ctx_, 0));
  EXPECT_TRUE(nodes_free());
  EXPECT_EQ(10u, mnt_->nfiles);
  EXPECT_EQ(0u, mnt_->current_disc);
}

TEST_F(NewTrack, MountNextTrackReportsTheChange) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  int changed = -1;
  sim_->drive().add_fault(kelsim::command_fails(0xA6, {0x02, 0x3A, 0x00}));
  EXPECT_NE(0, mdcudfsr_mdcfsctrl_mount_next_track(mnt_.get(), &ctx_, &changed));
  EXPECT_EQ(0, changed);
  EXPECT_EQ(0u, vfs_flags(&mp_) & MNT_RDONLY) << "a failed first load leaves the volume writable";
  sim_->drive().clear_faults();
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_mount_next_track(mnt_.get(), &ctx_, &changed));
  EXPECT_EQ(1, changed);
  EXPECT_EQ(1u, mnt_->current_disc);
}

TEST_F(NewTrack, WriteNextTrackFlushesWithItsOwnArguments) {
  start_cartridge(udf_test::MediumClass::WriteOnce, 3);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_write_next_track(mnt_.get(), &ctx_));
  ASSERT_GE(g_i31_calls.size(), 3u);
  EXPECT_EQ("ex 1,0,1,0,1 policy=1", g_i31_calls[0]);
  EXPECT_EQ("ex 1,1,1,0,1 policy=2", g_i31_calls[1]);
  EXPECT_EQ("newtrack 1,1,0 policy=2", g_i31_calls[2]);
  EXPECT_EQ(1u, mnt_->current_disc);
  EXPECT_TRUE(logged("Disc Change for WRITE_NEXT_TRACK Slot(0)=>(1)"));
}

TEST_F(NewTrack, RewritableTrackStartsAtTheFirstAddress) {
  start_cartridge(udf_test::MediumClass::Rewritable, 2);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_create_new_track(mnt_.get(), &ctx_, 0));
  EXPECT_TRUE(called("ex_re 1,0,1,0,0"));
  {
    EXPECT_TRUE(called("newtrack_re 1,0,0 policy=2"));
    EXPECT_EQ(0x1100u, mnt_->next_writable_address);
    EXPECT_EQ(0xFFFFFFFFu, mnt_->vds.pmap.type2_metadata.bitmap_file_loc);
  }
  EXPECT_TRUE(nodes_free());
  EXPECT_EQ(10u, mnt_->nfiles);
}

}  // namespace
