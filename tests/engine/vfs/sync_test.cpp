// Volume sync: its gates before the real flushes, and the walk that
// fsyncs every vnode (one chosen vnode fails through a recording fsync).
#include "vfs_support.h"

#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <algorithm>

namespace {

using namespace vfs_test;

class Sync : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    start();
    mp_.mnt_data = mnt_.get();
    root_ = std::make_unique<mdcudfsr_cache_node>();
    root_->mdcudfsrmp = mnt_.get();
    mnt_->root_node = root_.get();
    ready();
  }
  void TearDown() override {
    mnt_->root_node = nullptr;
    SimVolume::TearDown();
  }
  // A mount whose sync flushes: agent-free, changed, last flush long ago.
  void ready() {
    mnt_->mount_ext_flags = 0x2;
    mnt_->metadata_changed = 1;
    mnt_->flush_interval = 30;
    timespec now{};
    nanotime(&now);
    mnt_->last_partial_flush_time = (static_cast<std::uint64_t>(now.tv_sec) - 60) * 1000000u;
  }
  void reset() {
    mnt_->integrity_busy = mnt_->packed_flush_busy = mnt_->flush_state = mnt_->vfam_mode = 0;
    mnt_->privileged_mode = 0;
    mnt_->backtrack_thread = nullptr;
    g_proc_name = "Application";
    ready();
  }
  int sync() { return mdcudfsr_vfsop_sync(&mp_, 1, &ctx_); }
  std::unique_ptr<mdcudfsr_cache_node> root_;
};

TEST_F(Sync, Gates) {
  struct Case {
    const char* what;
    void (*set)(mdcudfsr_mount*);
    int want;
    const char* log;
  } cases[] = {
      {"integrity busy", [](mdcudfsr_mount* m) { m->integrity_busy = 1; }, 16, "set lvid integrity type, busy"},
      {"packed flush busy", [](mdcudfsr_mount* m) { m->packed_flush_busy = 1; }, 16, "packed flush, busy"},
      {"privileged mode", [](mdcudfsr_mount* m) { m->privileged_mode = 1; }, 16, "privileged_mode, busy"},
      {"flush state 2", [](mdcudfsr_mount* m) { m->flush_state = 2; }, 16, "already syncing, busy"},
      {"UMOUNT with VFAM mode",
       [](mdcudfsr_mount* m) {
         m->vfam_mode = 1;
         g_proc_name = "UMOUNT";
       },
       16, nullptr},
      {"no partial flush time", [](mdcudfsr_mount* m) { m->last_partial_flush_time = 0; }, 0, "flushtime is 0."},
      {"within the interval",
       [](mdcudfsr_mount* m) {
         m->flush_interval = 3600;
       },
       0, "flushtime < 5 Sec. no metadata flush\n"},
      {"backtrack thread", [](mdcudfsr_mount* m) { m->backtrack_thread = m; }, 0, " backtrack is no flush\n"},
      {"nothing changed", [](mdcudfsr_mount* m) { m->metadata_changed = 0; }, 0, nullptr},
      {"agent-bound mount", [](mdcudfsr_mount* m) { m->mount_ext_flags = 0x200; }, 0,
       "VFAM User Agent stop unexpected\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_log();
    c.set(mnt_.get());
    EXPECT_EQ(c.want, sync());
    if (c.log) { EXPECT_TRUE(logged(c.log)); }
    EXPECT_FALSE(logged("mdcudfsr_cache_local_cache_open is failed")) << "no flush";
    reset();
  }
}

// The real flushes run; without the cache agent they stop at the local
// cache, which shows they ran with the policy byte set to 1 (policy 0 ends
// them before it).
constexpr const char* kFlushRan = "mdcudfsr_cache_local_cache_open is failed";

TEST_F(Sync, FlushRunsWithPolicyOneAndTheGuardFollows) {
  struct Case {
    const char* what;
    bool rewritable;
  } cases[] = {{"write-once", false}, {"rewritable", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clear_log();
    mnt_->is_rewritable = c.rewritable;
    mnt_->medium_type = c.rewritable ? 0xE2 : 0xE1;
    mnt_->delay_guard = 1;
    mnt_->system_guard = 0;
    const int err = sync();
    EXPECT_NE(0, err) << "the local cache cannot be opened here";
    EXPECT_TRUE(logged(kFlushRan));
    EXPECT_TRUE(logged("Metadata flush triggered by timer... failed with err=" + std::to_string(err) + "\n"));
    EXPECT_EQ(0, mnt_->flush_policy) << "back to 0 after the call";
    EXPECT_NE(0u, mnt_->system_guard) << "the delay guard became the system guard";
    EXPECT_EQ(0, root_->lock_count) << "the root node is unlocked again";
    EXPECT_EQ(1, mnt_->flush_state) << "a failed flush";
    mp_.mnt_flag &= ~MNT_RDONLY;
    reset();
  }
}

// After a flush that failed and made the volume read-only, or after a
// change made before a drive fault made it read-only (a failed write of
// the cartridge memory at the change's start), a sync runs no flush and
// answers why the changes cannot be written: an I/O error when a drive
// error protects the volume (a remount clears it), write-protected
// otherwise; also when no change is newer than the failed flush. A
// read-only volume with nothing to save answers success.
TEST_F(Sync, AReadOnlyVolumeWithUnsavedChangesAnswersItsProtection) {
  struct Case {
    std::uint32_t reasons;
    int flush_state;
    int changed;
    int want;
  } cases[] = {{0x1, 1, 0, 5}, {0x2000, 1, 0, 30}, {0x4000, 0, 1, 30}, {0x1, 0, 1, 5}, {0x4000, 0, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.reasons << " flush state " << c.flush_state << " changed " << c.changed);
    clear_log();
    mp_.mnt_flag |= MNT_RDONLY;
    mnt_->flush_state = c.flush_state;
    mnt_->metadata_changed = c.changed;
    mnt_->mntinfo.WriteProtectReasonFlags = c.reasons;
    mnt_->last_partial_flush_time = 0;
    EXPECT_EQ(c.want, sync());
    EXPECT_FALSE(logged(kFlushRan)) << "no flush";
    mp_.mnt_flag &= ~MNT_RDONLY;
    mnt_->mntinfo.WriteProtectReasonFlags = 0;
    mnt_->metadata_changed = 0;
    reset();
  }
}

TEST_F(Sync, VfamModeFlushesBuffersFirst) {
  mnt_->vfam_mode = 1;
  // The unopened channel answers 6: the metadata flush follows.
  sync();
  EXPECT_TRUE(logged("mdcudfsr_vfam_flush_buffers flags=0\n"));
  EXPECT_TRUE(logged("mdcudfsr_vfam_flush_buffers ret=6\n"));
  EXPECT_EQ(0, mnt_->packed_flush_busy);
  EXPECT_TRUE(logged(kFlushRan));
}

// The walk: VNOP_FSYNC on every vnode through the resolved vector, none
// recycled, the last vnode's result.
std::vector<vnode*> g_synced;
vnode* g_failing = nullptr;
int recording_fsync(void* a) {
  auto* args = static_cast<vnop_fsync_args*>(a);
  g_synced.push_back(args->a_vp);
  EXPECT_EQ(1, args->a_waitfor);
  return args->a_vp == g_failing ? 5 : mdcudfsr_vnop_fsync(a);
}

TEST_F(Sync, FlushAllNodeClusterWalksEveryVnode) {
  // The engine's vector resolves fsync to the engine's routine.
  kel_vnops = KelResolvedVnops{};
  for (vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
    if (e->opve_op == &vnop_fsync_desc) kel_vnops.fsync = e->opve_impl;
  ASSERT_NE(nullptr, kel_vnops.fsync);
  auto devvp = kel_make_vnode(&mp_, nullptr, VBLK, 0);
  kel_tree_make_root(devvp);
  vnode_fsparam p{};
  p.vnfs_mp = &mp_;
  p.vnfs_vtype = VDIR;
  p.vnfs_markroot = 1;
  vnode* root = nullptr;
  ASSERT_EQ(0, vnode_create(0, VCREATESIZE, &p, &root));
  std::vector<vnode*> files;
  for (const char* n : {"a", "b", "c"}) {
    componentname cn{};
    std::string f("/"), name(n);
    cn.cn_flags = MAKEENTRY;
    cn.cn_pnbuf = f.data();
    cn.cn_pnlen = 1;
    cn.cn_nameptr = name.data();
    cn.cn_namelen = 1;
    vnode_fsparam q{};
    q.vnfs_mp = &mp_;
    q.vnfs_vtype = VREG;
    q.vnfs_cnp = &cn;
    vnode* vp = nullptr;
    ASSERT_EQ(0, vnode_create(0, VCREATESIZE, &q, &vp));
    files.push_back(vp);
  }
  EXPECT_EQ(0, mdcudfsr_flush_all_node_cluster(mnt_.get(), &ctx_));

  kel_vnops.fsync = recording_fsync;
  g_synced.clear();
  ASSERT_EQ(0, mdcudfsr_flush_all_node_cluster(mnt_.get(), &ctx_));
  const std::vector<vnode*> order = g_synced;
  ASSERT_GE(order.size(), 3u);
  for (vnode* f : files) EXPECT_NE(order.end(), std::find(order.begin(), order.end(), f));
  // The last vnode's result is the answer; an earlier failure is not.
  g_failing = order.back();
  g_synced.clear();
  EXPECT_EQ(5, mdcudfsr_flush_all_node_cluster(mnt_.get(), &ctx_));
  g_failing = order.front();
  g_synced.clear();
  EXPECT_EQ(0, mdcudfsr_flush_all_node_cluster(mnt_.get(), &ctx_));
  EXPECT_EQ(order, g_synced) << "every vnode again: none was recycled";
  g_failing = nullptr;
  kel_tree_set_root(nullptr);
  kel_vnops = KelResolvedVnops{};
}
}  // namespace
