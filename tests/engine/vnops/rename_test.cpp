// Rename and move on a mounted volume of the simulated drive: the checks,
// the replaced target, the event lines, and the node cache's tree after
// each rename and move.
#include "namespace_support.h"

#include "kelagent/mdc_channel.h"
#include "kelhost/kern.h"
#include "support/settles.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ns_test;
using vfs_test::logged;

class Rename : public NsVolume {
 protected:
  void SetUp() override {
    NsVolume::SetUp();
    mdcudfsr_debug_level_set(0);
  }
  // The node `name` of the folder dvp from its name index (null if none).
  mdcudfsr_cache_node* child(vnode_t dvp, const std::string& name) {
    return mdcudfsr_name_avl_search(node(dvp)->name_root, name.c_str(), nullptr);
  }
  // The node stands in dvp under `name` (indexed, named and parented so),
  // and the engine's lookup finds it there.
  ::testing::AssertionResult stands(vnode_t vp, vnode_t dvp, const std::string& name) {
    mdcudfsr_cache_node* n = node(vp);
    if (child(dvp, name) != n) return ::testing::AssertionFailure() << name << " is not indexed in its folder";
    if (n->parent != node(dvp)) return ::testing::AssertionFailure() << name << ": another parent";
    if (name != n->vfs_name) return ::testing::AssertionFailure() << "named " << n->vfs_name;
    if (lookup(dvp, name) != vp) return ::testing::AssertionFailure() << "the lookup of " << name << " misses it";
    return ::testing::AssertionSuccess();
  }
  // Privileged creations in the shadow folder "$".
  void privileged_create_proxies() {
    mnt_->privileged_pid = pid_;
    mnt_->privileged_mode = 1;
    vnode_t shadow = lookup(rootvp_, "$");
    ASSERT_NE(nullptr, shadow);
    ASSERT_EQ(0, create(shadow, "@@proxy1"));
    ASSERT_EQ(0, create(shadow, ".fuse_hidden1"));
  }
};

TEST_F(Rename, InOneFolderRenamesTheNodeAndLogsIt) {
  vnode_t v = nullptr;
  ASSERT_EQ(0, create(rootvp_, "old.txt", &v));
  ASSERT_EQ(0, rename(rootvp_, "old.txt", rootvp_, "new.txt"));
  EXPECT_TRUE(stands(v, rootvp_, "new.txt"));
  EXPECT_EQ(nullptr, child(rootvp_, "old.txt"));
  EXPECT_EQ(nullptr, lookup(rootvp_, "old.txt"));
  EXPECT_EQ(2, root_->dir_dirty);
  EXPECT_EQ(1, mnt_->lvid_open) << "the integrity session is opened";
  EXPECT_TRUE(logged("Changing the filename finished. Old file: " + root_path() + "/old.txt -> New file: " +
                     root_path() + "/new.txt"));
}

// The target appeared after the caller's lookup of it: the node cache
// refuses the taken name and both files stay as they were.
TEST_F(Rename, AFailedRenameLogsItsCodeAndChangesNothing) {
  vnode_t a = nullptr, b = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  vnode_t fvp = lookup(rootvp_, "a");
  ASSERT_EQ(0, create(rootvp_, "b", &b));
  componentname fcn{}, tcn{};
  fcn.cn_nameptr = const_cast<char*>("a");
  fcn.cn_namelen = 1;
  tcn.cn_nameptr = const_cast<char*>("b");
  tcn.cn_namelen = 1;
  vnop_rename_args r{&vnop_rename_desc, rootvp_, fvp, &fcn, rootvp_, nullptr, &tcn, as(pid_)};
  EXPECT_EQ(17, mdcudfsr_vnop_rename(&r));
  EXPECT_TRUE(logged("Changing the filename failed. Old file: " + root_path() + "/a -> New file: " + root_path() +
                     "/b Error: 0x8A000003"));
  EXPECT_TRUE(stands(a, rootvp_, "a"));
  EXPECT_TRUE(stands(b, rootvp_, "b"));
  EXPECT_EQ(0, root_->lock_count);
}

TEST_F(Rename, MovesAFileAndAFolderWithItsChildrenIntoAnotherFolder) {
  vnode_t src = nullptr, dst = nullptr, moving = nullptr, kid = nullptr, file = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "src", &src));
  ASSERT_EQ(0, mkdir(rootvp_, "dst", &dst));
  ASSERT_EQ(0, mkdir(src, "moving", &moving));
  ASSERT_EQ(0, create(moving, "child", &kid));
  ASSERT_EQ(0, create(src, "file", &file));
  ASSERT_EQ(0, rename(src, "file", dst, "file2"));
  EXPECT_TRUE(stands(file, dst, "file2"));
  EXPECT_EQ(nullptr, child(src, "file"));
  ASSERT_EQ(0, rename(src, "moving", dst, "moved")) << "a folder moves although no VFAM agent opened its channel";
  EXPECT_TRUE(stands(moving, dst, "moved"));
  EXPECT_TRUE(stands(kid, moving, "child")) << "the folder keeps its children";
  EXPECT_EQ(nullptr, child(src, "moving"));
  EXPECT_EQ(0u, mdcudfsr_cache_nchildren(node(src)));
  EXPECT_EQ(2, node(src)->dir_dirty);
  EXPECT_EQ(2, node(dst)->dir_dirty);
  EXPECT_EQ(0, node(src)->lock_count) << "every lock is released";
  EXPECT_EQ(0, root_->lock_count);
  EXPECT_TRUE(logged("Moving the file finished. Old file: " + root_path() + "/src/moving -> New file: " + root_path() +
                     "/dst/moved"));
}

// With an agent on the VFAM channel a folder's move is sent to it first,
// and its failure is the move's.
TEST_F(Rename, WithTheVfamChannelOpenAFolderMoveAsksTheAgentFirst) {
  vnode_t src = nullptr, dst = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "src", &src));
  ASSERT_EQ(0, mkdir(rootvp_, "dst", &dst));
  ASSERT_EQ(0, mkdir(src, "a"));
  ASSERT_EQ(0, mkdir(src, "b"));
  mdcudfsr_vfamdev_init();
  mnt_->vfamdev = mdcudfsr_vfamdev_alloc(mnt_.get());
  ASSERT_NE(nullptr, mnt_->vfamdev);
  ASSERT_EQ(0, mdcudfsr_vfamdev_open());
  mnt_->vfam_mounted = 1;  // the agent has mounted the volume
  mdc_channel* ch = mnt_->vfamdev;
  const auto queued = [ch] {
    std::lock_guard<std::mutex> g(ch->dev_lock);
    return !ch->req_queue.empty();
  };
  for (std::int32_t answer : {5, 0}) {
    SCOPED_TRACE(answer);
    const std::string name = answer ? "a" : "b";
    mdcudfsr_cache_node* moving = child(src, name);
    ASSERT_NE(nullptr, moving);
    int result = -1;
    std::thread mover([&] { result = rename(src, name, dst, name); });
    if (!kel_test::settles(queued)) {
      mover.join();
      FAIL() << "no request reached the agent; the move gave " << result;
    }
    std::vector<std::uint8_t> request(1 << 16);
    request.resize(mdcudfsr_vfamdev_read(request.data(), request.size()));
    ASSERT_GE(request.size(), sizeof(mdc_req_header_t));
    mdc_req_header_t rq;
    std::memcpy(&rq, request.data(), sizeof rq);
    mdc_ans_header_t ans{rq.seq_id, rq.req_id, 0, 0, answer};
    ASSERT_EQ(sizeof ans, mdcudfsr_vfamdev_write(&ans, sizeof ans));
    mover.join();
    EXPECT_EQ(answer, result);
    EXPECT_EQ(answer ? node(src) : node(dst), moving->parent) << "moved exactly when the agent agreed";
    EXPECT_EQ(answer ? nullptr : moving, child(dst, name));
  }
  mdcudfsr_vfamdev_close();
  mdcudfsr_vfamdev_free(mnt_->vfamdev);
  mnt_->vfamdev = nullptr;
  mdcudfsr_vfamdev_term();
}

TEST_F(Rename, AFolderCannotGoIntoItselfOrBelowItself) {
  vnode_t a = nullptr, b = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "a", &a));
  ASSERT_EQ(0, mkdir(a, "b", &b));
  EXPECT_EQ(22, rename(rootvp_, "a", b, "a"));
  EXPECT_TRUE(stands(a, rootvp_, "a"));
  EXPECT_EQ(nullptr, child(b, "a"));
  EXPECT_EQ(0, root_->lock_count);
}

TEST_F(Rename, DollarNamesInTheRootAre95ElsewhereFine) {
  vnode_t d = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "d", &d));
  ASSERT_EQ(0, create(rootvp_, "x"));
  ASSERT_EQ(0, create(d, "y"));
  EXPECT_EQ(95, rename(rootvp_, "x", rootvp_, "$"));
  EXPECT_EQ(95, rename(rootvp_, "x", rootvp_, "$$"));
  EXPECT_EQ(95, rename(d, "y", rootvp_, "$"));
  EXPECT_EQ(0, rename(d, "y", d, "$"));
}

TEST_F(Rename, VirtualFilesAreRenamedThroughTheVfamChannelOnly) {
  vnode_t v = nullptr;
  ASSERT_EQ(0, create(rootvp_, "virt", &v));
  node(v)->kind = MDCUDFSR_NODE_VIRTUAL;
  EXPECT_EQ(0, rename(rootvp_, "virt", rootvp_, "other")) << "without VFAM data nothing is renamed";
  EXPECT_STREQ("virt", node(v)->vfs_name);
  EXPECT_EQ(nullptr, child(rootvp_, "other"));
  ASSERT_EQ(0, mdcudfsr_cache_alloc_vfam_data(mnt_.get(), node(v)));
  EXPECT_EQ(6, rename(rootvp_, "virt", rootvp_, "other")) << "the VFAM channel is not open";
  EXPECT_STREQ("virt", node(v)->vfs_name);
  EXPECT_EQ(node(v), child(rootvp_, "virt"));
  node(v)->kind = MDCUDFSR_NODE_UDF;
}

TEST_F(Rename, ParityFilesAndBusyMastersStay) {
  vnode_t m = nullptr, p = nullptr;
  ASSERT_EQ(0, create(rootvp_, "m", &m));
  ASSERT_EQ(0, create(rootvp_, "m#p", &p));
  node(p)->stream_owner = node(m);
  EXPECT_EQ(95, rename(rootvp_, "m#p", rootvp_, "q"));
  node(p)->stream_owner = nullptr;
  node(m)->kind = MDCUDFSR_NODE_MASTER;
  node(m)->write_open = 1;
  EXPECT_EQ(16, rename(rootvp_, "m", rootvp_, "n"));
  node(m)->write_open = 0;
  node(m)->kind = MDCUDFSR_NODE_UDF;
  EXPECT_TRUE(stands(m, rootvp_, "m"));
  EXPECT_TRUE(stands(p, rootvp_, "m#p"));
  EXPECT_EQ(nullptr, child(rootvp_, "q"));
  EXPECT_EQ(nullptr, child(rootvp_, "n"));
}

TEST_F(Rename, AMoveToLevel64Is95) {
  vnode_t deep = folders(rootvp_, 63);
  ASSERT_NE(nullptr, deep);
  vnode_t mid = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "sub", &mid));
  ASSERT_EQ(0, create(rootvp_, "f"));
  ASSERT_EQ(0, mkdir(mid, "leaf"));
  vnode_t level62 = rootvp_;
  for (int i = 0; i < 62; ++i) level62 = lookup(level62, "d" + std::to_string(i));
  ASSERT_NE(nullptr, level62);
  EXPECT_EQ(0, rename(rootvp_, "f", level62, "f")) << "to level 63";
  vfs_test::clear_log();
  EXPECT_EQ(95, rename(rootvp_, "sub", level62, "sub")) << "its child would lie at level 64";
  EXPECT_TRUE(logged("Moving the file failed because the depth of folder hierarchy exceeds the limit. Old file: "));
  EXPECT_FALSE(logged("Moving the file failed. Old file")) << "no second line";
  EXPECT_EQ(95, rename(rootvp_, "sub", deep, "sub")) << "below level 63";
}

TEST_F(Rename, AnExistingTargetFileOrEmptyFolderIsReplaced) {
  vnode_t a = nullptr, b = nullptr, d1 = nullptr, d2 = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  ASSERT_EQ(0, create(rootvp_, "b", &b));
  ASSERT_EQ(0, rename(rootvp_, "a", rootvp_, "b"));
  EXPECT_TRUE(mdcudfsr_is_inactive(node(b))) << "the old b was removed";
  EXPECT_FALSE(mdcudfsr_is_inactive(node(a)));
  EXPECT_TRUE(stands(a, rootvp_, "b"));
  EXPECT_EQ(nullptr, child(rootvp_, "a"));
  ASSERT_EQ(0, mkdir(rootvp_, "d1", &d1));
  ASSERT_EQ(0, mkdir(rootvp_, "d2", &d2));
  vnode_t holder = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "holder", &holder));
  ASSERT_EQ(0, mkdir(holder, "d2"));
  vnode_t target = lookup(holder, "d2");
  ASSERT_EQ(0, rename(rootvp_, "d2", holder, "d2"));
  EXPECT_TRUE(mdcudfsr_is_inactive(node(target))) << "the empty folder was replaced";
  EXPECT_TRUE(stands(d2, holder, "d2"));
  EXPECT_EQ(0, root_->lock_count);
  EXPECT_EQ(0, node(holder)->lock_count);
  // A target that is the object itself (the same name in other case) is not removed.
  ASSERT_EQ(0, rename(rootvp_, "d1", rootvp_, "D1"));
  EXPECT_FALSE(mdcudfsr_is_inactive(node(d1)));
  EXPECT_TRUE(stands(d1, rootvp_, "D1"));
}

// A target that a handle has open is not replaced: the rename is refused as
// busy and both objects stay as they were; once the handle is closed the
// rename replaces it.
TEST_F(Rename, ATargetOpenThroughAHandleIsNotReplaced) {
  vnode_t a = nullptr, b = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  ASSERT_EQ(0, create(rootvp_, "b", &b));
  vnop_open_args open{&vnop_open_desc, b, FREAD, as(pid_)};
  ASSERT_EQ(0, mdcudfsr_vnop_open(&open));
  EXPECT_EQ(16, rename(rootvp_, "a", rootvp_, "b"));
  EXPECT_FALSE(mdcudfsr_is_inactive(node(b)));
  EXPECT_TRUE(stands(a, rootvp_, "a"));
  EXPECT_TRUE(stands(b, rootvp_, "b"));
  EXPECT_EQ(0, root_->lock_count);
  vnop_close_args close{&vnop_close_desc, b, FREAD, as(pid_)};
  ASSERT_EQ(0, mdcudfsr_vnop_close(&close));
  ASSERT_EQ(0, rename(rootvp_, "a", rootvp_, "b"));
  EXPECT_TRUE(mdcudfsr_is_inactive(node(b)));
  EXPECT_TRUE(stands(a, rootvp_, "b"));
}

TEST_F(Rename, OnlyProxyNamesMayBeRenamedInOrMovedIntoTheShadowFolder) {
  privileged_create_proxies();
  vnode_t shadow = lookup(rootvp_, "$");
  EXPECT_EQ(22, rename(shadow, ".fuse_hidden1", shadow, "other")) << "not a proxy name";
  EXPECT_EQ(nullptr, child(shadow, "other"));
  mdcudfsr_cache_node* proxy = child(shadow, "@@proxy1");
  EXPECT_EQ(0, rename(shadow, "@@proxy1", shadow, "@@proxy2"));
  EXPECT_EQ(proxy, child(shadow, "@@proxy2"));
  vnode_t plain = nullptr, x = nullptr;
  ASSERT_EQ(0, create(rootvp_, "plain", &plain));
  ASSERT_EQ(0, create(rootvp_, "@@proxyX", &x));
  EXPECT_EQ(95, rename(rootvp_, "plain", shadow, "plain"));
  EXPECT_TRUE(stands(plain, rootvp_, "plain"));
  EXPECT_EQ(0, rename(rootvp_, "@@proxyX", shadow, "@@proxyX"));
  EXPECT_EQ(node(x), child(shadow, "@@proxyX"));
  EXPECT_EQ(node(shadow), node(x)->parent);
}

TEST_F(Rename, RefusalsBeforeAnyChange) {
  vnode_t a = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  mp_.mnt_flag |= MNT_RDONLY;
  EXPECT_EQ(30, rename(rootvp_, "a", rootvp_, "b"));
  mp_.mnt_flag = 0;
  mnt_->mount_ext_flags |= 0x40;
  EXPECT_EQ(1, rename(rootvp_, "a", rootvp_, "b"));
  mnt_->mount_ext_flags &= ~0x40u;
  limit_to_other();
  vfs_test::clear_log();
  EXPECT_EQ(16, rename(rootvp_, "a", rootvp_, "b"));
  EXPECT_TRUE(logged("The volume is used exclusively. File: " + root_path() + "/a Error: "));
  EXPECT_FALSE(logged("Changing the filename failed.")) << "no path is built yet: the rename line writes nothing";
  unlimit();
  EXPECT_EQ(36, rename(rootvp_, "a", rootvp_, std::string(200, 'n')));
  EXPECT_TRUE(stands(a, rootvp_, "a"));
  EXPECT_EQ(nullptr, child(rootvp_, "b"));
}

TEST_F(Rename, MoveByPathRefusesATooLongTargetPath) {
  vnode_t a = nullptr;
  ASSERT_EQ(0, create(rootvp_, "a", &a));
  mdcudfsr_cache_node* n = mdcudfsr_cache_get_node(a, 1);
  const std::string path(976, 'p');
  EXPECT_EQ(36, mdcudfsr_vnop_move(mnt_.get(), n, path.c_str(), "a", &ctx_));
  EXPECT_EQ(root_, n->parent);
  EXPECT_EQ(n, child(rootvp_, "a"));
  EXPECT_EQ(1, n->lock_count) << "the caller's lock is kept";
  mdcudfsr_cache_unlock_node(n);
}

TEST_F(Rename, MoveByPathMovesTheHeldNode) {
  vnode_t d = nullptr, a = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "dest", &d));
  ASSERT_EQ(0, mkdir(rootvp_, "a", &a));
  mdcudfsr_cache_node* n = mdcudfsr_cache_get_node(a, 1);
  EXPECT_EQ(0, mdcudfsr_vnop_move(mnt_.get(), n, "/dest", "b", &ctx_));
  EXPECT_EQ(node(d), n->parent);
  EXPECT_STREQ("b", n->vfs_name);
  EXPECT_EQ(n, child(d, "b"));
  EXPECT_EQ(nullptr, child(rootvp_, "a"));
  EXPECT_EQ(1, n->lock_count) << "the caller's lock is kept";
  mdcudfsr_cache_unlock_node(n);
  EXPECT_EQ(0, root_->lock_count);
  EXPECT_EQ(0, node(d)->lock_count);
}

}  // namespace
