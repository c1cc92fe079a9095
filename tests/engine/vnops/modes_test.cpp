// The privileged, exclusive I/O, limited-access and exclusive allocation
// modes, requested through the control dispatcher with the codes the
// interface library sends, on a mounted volume of the simulated drive.
#include "namespace_support.h"

#include "flush_recorder.h"

#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kel/volctrl.h"
#include "kelhost/gnrc.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_modes.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "platform/sync.h"
#include "support/settles.h"

#include <atomic>
#include <thread>

namespace {

using namespace ns_test;
using vfs_test::g_flush_calls;
using vfs_test::logged;

constexpr kel_pid_t kClient = 42;
constexpr kel_pid_t kOther = 77;

class Modes : public NsVolume {
 protected:
  int fsctl(std::uint32_t code, kel_pid_t pid, void* data = nullptr) {
    vnop_ioctl_args a{&vnop_ioctl_desc, rootvp_, code & MDCFSCTL_CODE_MASK, data, 0, as(pid)};
    return mdcudfsr_vnop_ioctl(&a);
  }
  // The interface's bracket: preparation, then entry.
  void enter(kel_pid_t pid) {
    ASSERT_EQ(0, fsctl(kel::kFsctlPrivilegePrepare, pid));
    ASSERT_EQ(0, fsctl(kel::kFsctlEnterPrivileged, pid));
  }
  int leave(kel_pid_t pid) { return fsctl(kel::kFsctlExitPrivileged, pid); }
  pxo_rollback_point_t rollback_point() {
    pxo_rollback_point_t rp{};
    EXPECT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOGETROLLBACKPOINT, reinterpret_cast<char*>(&rp), 0, &ctx_));
    return rp;
  }
  void set_rollback_point() {
    pxo_rollback_point_t rp{3, 0x1000, 0x2000};
    ASSERT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOSETROLLBACKPOINT, reinterpret_cast<char*>(&rp), 0, &ctx_));
    ASSERT_EQ(3u, rollback_point().slot);
  }
};

// ---------------------------------------------------------------- privileged

TEST_F(Modes, TheInterfaceBracketEntersAndLeaves) {
  enter(kClient);
  EXPECT_EQ(kClient, mnt_->privileged_pid);
  EXPECT_EQ(1u, mnt_->privileged_mode);
  EXPECT_TRUE(logged("ENTER_PRIVILEGED_MODE by PID=0000002a (Status=00000000)"));
  EXPECT_EQ(0, leave(kClient));
  EXPECT_EQ(0u, mnt_->privileged_mode);
  EXPECT_EQ(kClient, mnt_->privileged_pid) << "the registration stays";
  EXPECT_TRUE(logged("EXIT_PRIVILEGED_MODE flag trun off"));
  EXPECT_TRUE(logged("EXIT_PRIVILEGED_MODE by PID=0000002a (Status=00000000)"));
}

TEST_F(Modes, EntryRules) {
  EXPECT_EQ(22, fsctl(kel::kFsctlEnterPrivileged, kClient)) << "before REGISTER";
  ASSERT_EQ(0, fsctl(kel::kFsctlPrivilegePrepare, kClient));
  EXPECT_EQ(1, fsctl(kel::kFsctlEnterPrivileged, kOther)) << "not the registered process";
  EXPECT_EQ(0, fsctl(kel::kFsctlEnterPrivileged, kClient));
  EXPECT_EQ(1, fsctl(kel::kFsctlEnterPrivileged, kClient)) << "twice";
  mnt_->is_temp_verify_mode = 1;
  processes().vanished.insert(kClient);
  EXPECT_EQ(0, fsctl(kel::kFsctlEnterPrivileged, kClient)) << "the holder is gone: entered again";
  EXPECT_EQ(0u, mnt_->is_temp_verify_mode) << "cleared on entry";
}

TEST_F(Modes, ExitByAnotherProcessChangesNothing) {
  enter(kClient);
  mnt_->flush_policy = MDCUDFSR_FLUSH_FULL;
  EXPECT_EQ(1, leave(kOther));
  EXPECT_EQ(1u, mnt_->privileged_mode);
  EXPECT_TRUE(g_flush_calls.empty());
  EXPECT_TRUE(logged("mdcudfsr_check_privileged_access( mdcudfsrmp, pid )"));
}

TEST_F(Modes, RegisterReplacesOnlyWhileTheModeIsClearOrTheHolderIsGone) {
  ASSERT_EQ(0, fsctl(kel::kFsctlPrivilegePrepare, kClient));
  EXPECT_EQ(0, fsctl(kel::kFsctlPrivilegePrepare, kOther)) << "mode clear: replaced";
  EXPECT_EQ(kOther, mnt_->privileged_pid);
  ASSERT_EQ(0, fsctl(kel::kFsctlEnterPrivileged, kOther));
  EXPECT_EQ(1, fsctl(kel::kFsctlPrivilegePrepare, kClient)) << "the holder lives";
  EXPECT_EQ(kOther, mnt_->privileged_pid);
  EXPECT_TRUE(g_flush_calls.empty());
  // The holder vanishes: its exit runs first, with its pending flush.
  mnt_->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
  processes().vanished.insert(kOther);
  EXPECT_EQ(0, fsctl(kel::kFsctlPrivilegePrepare, kClient));
  EXPECT_EQ(kClient, mnt_->privileged_pid);
  EXPECT_EQ(0u, mnt_->privileged_mode);
  EXPECT_EQ((std::vector<std::string>{"flush 1,0,0,1,0 policy=1"}), g_flush_calls);
}

TEST_F(Modes, ExitEndsReservationsExclusiveIoAndThePrivilegedOpenList) {
  enter(kClient);
  mnt_->reserved_files = 5;
  mnt_->reserved_dirs = 2;
  ASSERT_EQ(0, fsctl(0x20007042, kClient));
  EXPECT_EQ(1u, mnt_->exclusive_io_mode);
  vnode_t a = nullptr, b = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  ASSERT_EQ(0, create(rootvp_, "b", &b));
  for (vnode_t vp : {a, b}) {
    auto* e = static_cast<mdcudfsr_proxy_write_entry*>(OSMalloc(sizeof(mdcudfsr_proxy_write_entry), nullptr));
    *e = {nullptr, mnt_->proxy_write_last, mdcudfsr_node_unique_id(node(vp)), node(vp)};
    (mnt_->proxy_write_last ? mnt_->proxy_write_last->next : mnt_->proxy_write_first) = e;
    mnt_->proxy_write_last = e;
    node(vp)->write_list_entry = e;
  }
  mnt_->vfam_mode = 1;
  mnt_->is_temp_verify_mode = 1;  // as a privileged SET_WRITE_VERIFY_MODE leaves it
  ASSERT_EQ(0, leave(kClient));
  EXPECT_EQ(0u, mnt_->reserved_files);
  EXPECT_EQ(0u, mnt_->reserved_dirs);
  EXPECT_EQ(0u, mnt_->exclusive_io_mode);
  EXPECT_EQ(0, mnt_->exclusive_io_pid);
  EXPECT_EQ(nullptr, mnt_->proxy_write_first);
  EXPECT_EQ(nullptr, mnt_->proxy_write_last);
  EXPECT_EQ(nullptr, node(a)->write_list_entry);
  EXPECT_EQ(nullptr, node(b)->write_list_entry);
  EXPECT_EQ(0, mnt_->vfam_mode);
  EXPECT_EQ(0u, mnt_->is_temp_verify_mode) << "the write-verify change is undone";
}

TEST_F(Modes, RemoveTakesAFileOffThePrivilegedOpenList) {
  vnode_t a = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  auto* e = static_cast<mdcudfsr_proxy_write_entry*>(OSMalloc(sizeof(mdcudfsr_proxy_write_entry), nullptr));
  *e = {nullptr, nullptr, mdcudfsr_node_unique_id(node(a)), node(a)};
  mnt_->proxy_write_first = mnt_->proxy_write_last = e;
  node(a)->write_list_entry = e;
  ASSERT_EQ(0, remove(rootvp_, "a"));
  EXPECT_EQ(nullptr, mnt_->proxy_write_first);
  EXPECT_EQ(nullptr, node(a)->write_list_entry);
}

// ---------------------------------------------------------------- the flush on leaving

struct PolicyCase {
  const char* what;
  std::uint8_t policy;
  int delay_guard_before;
  bool guard_set_by_first_flush;
  std::vector<std::string> flushes;
  bool partial_time_recorded;
  bool system_guard;
};

TEST_F(Modes, TheFlushOfEachPolicy) {
  const PolicyCase cases[] = {
      {"partial", 1, 0, false, {"flush 1,0,0,1,0 policy=1"}, true, false},
      {"partial, mark set by its pass", 1, 0, true, {"flush 1,0,0,1,0 policy=1", "flush 1,1,0,1,0 policy=1"}, false,
       true},
      {"partial, mark set before", 1, 1, false, {"flush 1,1,0,1,0 policy=1"}, false, true},
      {"close", 6, 0, false, {"flush 1,1,0,1,0 policy=1"}, false, false},
      {"postpone", 0, 0, false, {}, true, false},
      {"postpone, mark set", 0, 1, false, {"flush 1,1,0,1,0 policy=1"}, false, true},
      {"full", 2, 0, false, {"flush 1,1,0,1,0 policy=2"}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_flush_calls.clear();
    mnt_->system_guard = 0;
    mnt_->delay_guard = c.delay_guard_before;
    mnt_->last_partial_flush_time = 0;
    vfs_test::g_flush_hook = [&c](mdcudfsr_mount* m) {
      if (c.guard_set_by_first_flush) m->delay_guard = 1;
    };
    enter(kClient);
    mnt_->flush_policy = c.policy;
    EXPECT_EQ(0, leave(kClient));
    EXPECT_EQ(c.flushes, g_flush_calls);
    EXPECT_EQ(c.partial_time_recorded, mnt_->last_partial_flush_time != 0);
    EXPECT_EQ(c.system_guard, mnt_->system_guard != 0);
    EXPECT_EQ(0, mnt_->flush_policy);
    EXPECT_EQ(0u, mnt_->privileged_mode);
    vfs_test::g_flush_hook = nullptr;
    mp_.mnt_flag = 0;  // the system guard switched the mount to read-only
    mnt_->delay_guard = 0;
  }
}

TEST_F(Modes, RewritableMediaFlushWithTheirOwnRoutine) {
  open_volume(udf_test::MediumClass::Rewritable);
  enter(kClient);
  mnt_->flush_policy = MDCUDFSR_FLUSH_PARTIAL;
  EXPECT_EQ(0, leave(kClient));
  EXPECT_EQ((std::vector<std::string>{"flush_re 1,0,0,1,0,0 policy=1"}), g_flush_calls);
}

TEST_F(Modes, FullFlushDeletesTheRollbackPointOnlyAfterSuccess) {
  set_rollback_point();
  enter(kClient);
  mnt_->flush_policy = MDCUDFSR_FLUSH_FULL;
  vfs_test::g_flush_result = 5;
  EXPECT_EQ(5, leave(kClient));
  EXPECT_EQ(3u, rollback_point().slot) << "kept after a failed flush";
  EXPECT_TRUE(logged("full_flush__start"));
  EXPECT_TRUE(logged("err=5"));
  vfs_test::g_flush_result = 0;
  enter(kClient);
  mnt_->flush_policy = MDCUDFSR_FLUSH_FULL;
  EXPECT_EQ(0, leave(kClient));
  const pxo_rollback_point_t rp = rollback_point();
  EXPECT_EQ(0u, rp.slot);
  EXPECT_EQ(0u, rp.metadata_fe_lsn);
  EXPECT_EQ(0u, rp.fsd_lsn);
}

TEST_F(Modes, BacktrackPoliciesOnWriteOnceMediaAre95) {
  for (std::uint8_t policy : {MDCUDFSR_FLUSH_ROLLBACK, MDCUDFSR_FLUSH_ALL_ERASE}) {
    enter(kClient);
    mnt_->flush_policy = policy;
    EXPECT_EQ(95, leave(kClient));
    EXPECT_EQ(0u, mnt_->privileged_mode) << "the mode ends anyway";
    EXPECT_EQ(0, mnt_->flush_policy);
  }
  EXPECT_TRUE(logged("WO is not backtrack for rollback"));
  EXPECT_TRUE(logged("WO is not backtrack for all erase"));
  EXPECT_TRUE(g_flush_calls.empty());
}

// The host's Flush(full): REGISTER, ENTER, EXIT, then the sync.
TEST_F(Modes, FullFlushOfTheHostRunsItsBracketThenTheSync) {
  enter(kClient);
  mnt_->flush_policy = MDCUDFSR_FLUSH_FULL;  // as MARK_VOLUME_DIRTY would leave it
  ASSERT_EQ(0, leave(kClient));
  ASSERT_EQ(1u, g_flush_calls.size());
  mnt_->metadata_changed = 1;
  mnt_->last_partial_flush_time = 1;
  EXPECT_EQ(0, mdcudfsr_vfsop_sync(&mp_, 1, as(kClient)));
  ASSERT_GE(g_flush_calls.size(), 1u);
  EXPECT_EQ("flush 1,1,0,1,0 policy=2", g_flush_calls[0]) << "the bracket's flush comes first";
}

// ---------------------------------------------------------------- exclusive I/O

TEST_F(Modes, ExclusiveIoEntryAndExit) {
  EXPECT_EQ(22, fsctl(0x20007042, kClient)) << "nothing registered";
  ASSERT_EQ(0, fsctl(kel::kFsctlPrivilegePrepare, kClient));
  EXPECT_EQ(1, fsctl(0x20007042, kOther));
  EXPECT_EQ(0, fsctl(0x20007042, kClient)) << "the privileged mode need not be held";
  EXPECT_EQ(1u, mnt_->exclusive_io_mode);
  EXPECT_EQ(kClient, mnt_->exclusive_io_pid);
  EXPECT_EQ(0, fsctl(0x20007043, kOther)) << "anyone may end it";
  EXPECT_EQ(0u, mnt_->exclusive_io_mode);
  EXPECT_EQ(0, fsctl(0x20007043, kOther)) << "ending it again";
}

// Another process's disc lock waits in 60-second steps of a clock that
// never moves: it proceeds only if it is woken, as soon as the mode ends.
TEST_F(Modes, AnotherProcessDiscLockProceedsAsSoonAsTheExclusiveModeEnds) {
  platform::ManualClock manual;
  platform::ScopedClock scope(manual);
  for (bool by_privileged_exit : {false, true}) {
    SCOPED_TRACE(by_privileged_exit ? "privileged exit" : "exclusive exit");
    enter(kClient);
    ASSERT_EQ(0, fsctl(0x20007042, kClient));
    ASSERT_EQ(0, mdcudfsr_vnop_disc_lock(mnt_.get(), as(kClient))) << "the mode's own process passes";
    ASSERT_EQ(0, mdcudfsr_vnop_disc_unlock(mnt_.get(), as(kClient)));
    std::atomic<bool> locked{false};
    vfs_context_t other = as(kOther);
    std::thread t([&] {
      mdcudfsr_vnop_disc_lock(mnt_.get(), other);
      locked = true;
      mdcudfsr_vnop_disc_unlock(mnt_.get(), other);
    });
    ASSERT_TRUE(kel_test::settles([&] { return manual.waiters() == 1; })) << "the other process waits";
    EXPECT_FALSE(locked.load());
    ASSERT_EQ(0, by_privileged_exit ? leave(kClient) : fsctl(0x20007043, kClient));
    EXPECT_TRUE(kel_test::settles([&] { return locked.load(); })) << "no 60-second step";
    t.join();
    if (!by_privileged_exit) {
      ASSERT_EQ(0, leave(kClient));
    }
  }
}

// ---------------------------------------------------------------- limited access

TEST_F(Modes, LimitedAccessOwnerEntersLeavesAndOthersAreRefused) {
  EXPECT_EQ(0, fsctl(0x2000705B, kClient));
  EXPECT_EQ(kClient, mnt_->limited_access_owner);
  EXPECT_TRUE(logged("ENTER_LIMITTED_ACCESS_MODE by PID=0000002a"));
  EXPECT_EQ(0, fsctl(0x2000705B, kClient)) << "the owner again";
  EXPECT_EQ(16, fsctl(0x2000705B, kOther));
  EXPECT_EQ(22, fsctl(0x2000705C, kOther)) << "not the owner";
  processes().parent[kOther] = kClient;
  EXPECT_EQ(0, fsctl(0x2000705C, kOther)) << "a child of the owner";
  EXPECT_EQ(0, mnt_->limited_access_owner);
  EXPECT_EQ(0, fsctl(0x2000705C, kOther)) << "no owner: nothing to end";
}

// A write open under another process's limited-access mode.
TEST_F(Modes, LimitedAccessLetsTheOwnerAndItsChildWriteAndRefusesOthers) {
  vnode_t f = nullptr;
  ASSERT_EQ(0, create(rootvp_, "f", &f));
  mdcudfsr_debug_level_set(0);
  ASSERT_EQ(0, fsctl(0x2000705B, kOther));
  const auto open_for_write = [&](kel_pid_t pid) {
    vnop_open_args a{&vnop_open_desc, f, FREAD | FWRITE, as(pid)};
    return mdcudfsr_vnop_open(&a);
  };
  EXPECT_EQ(16, open_for_write(kClient));
  EXPECT_TRUE(logged("The volume is used exclusively. File: " + root_path() + "/f"));
  processes().parent[kClient] = kOther;
  EXPECT_NE(16, open_for_write(kClient)) << "a child of the owner";
  processes().parent.clear();
  EXPECT_EQ(16, open_for_write(123));
  processes().vanished.insert(kOther);
  EXPECT_NE(16, open_for_write(123)) << "the owner is gone";
  EXPECT_EQ(0, mnt_->limited_access_owner) << "and its mode with it";
}

TEST_F(Modes, AVanishedOwnerLeavesTheModeToTheNext) {
  ASSERT_EQ(0, fsctl(0x2000705B, kClient));
  processes().vanished.insert(kClient);
  EXPECT_EQ(0, fsctl(0x2000705B, kOther));
  EXPECT_EQ(kOther, mnt_->limited_access_owner);
  processes().vanished.insert(kOther);
  EXPECT_EQ(0, fsctl(0x2000705C, kClient)) << "a dead owner's mode ends for anyone";
  EXPECT_EQ(0, mnt_->limited_access_owner);
}

TEST_F(Modes, LimitedAccessEntryWaitsForEveryNodeLock) {
  enter(kOther);
  EXPECT_EQ(1, fsctl(0x2000705B, kClient)) << "another process holds the privileged mode";
  ASSERT_EQ(0, leave(kOther));
  vnode_t f = nullptr;
  ASSERT_EQ(0, create(rootvp_, "held", &f));
  std::atomic<bool> locked{false}, release{false};
  std::thread holder([&] {
    mdcudfsr_cache_lock_node(node(f), MDCUDFSR_WAIT_FOREVER);
    locked = true;
    while (!release) std::this_thread::yield();
    mdcudfsr_cache_unlock_node(node(f));
  });
  ASSERT_TRUE(kel_test::settles([&] { return locked.load(); }));
  EXPECT_EQ(16, fsctl(0x2000705B, kClient)) << "a node stays locked past 500 ms";
  EXPECT_TRUE(logged("mdcudfsr_cache_lock_all_nodes() seems to be timed out."));
  release = true;
  holder.join();
  EXPECT_EQ(0, mnt_->limited_access_owner);
  EXPECT_EQ(0, root_->lock_count);
}

// ---------------------------------------------------------------- exclusive allocation

TEST_F(Modes, ExclusiveAllocationChecksItsCallerAndKeepsNoState) {
  std::uint8_t record[8] = {};
  EXPECT_EQ(1, fsctl(0x40007002, kClient, record)) << "not privileged";
  enter(kClient);
  EXPECT_EQ(0, fsctl(0x40007002, kClient, record));
  EXPECT_EQ(22, fsctl(0x40007002, kClient, nullptr));
  EXPECT_EQ(22, fsctl(0x80007003, kClient, record)) << "the exit always answers 22";
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_enter_exclusive_allocation_mode(mnt_.get(), kClient, nullptr));
}

}  // namespace
