// The vector, the process checks, the permission and attribute-record
// conversions, the zero fill of a write and the disc lock.
#include "vfs_support.h"

#include "kelagent/vfam_client.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "platform/sync.h"
#include "support/settles.h"

#include <atomic>
#include <thread>

namespace {

TEST(VnodeVector, PairsInOperationOrderEndedByTheEmptyPair) {
  // The operation order of the whole vector; the namespace operations and
  // ioctl have pairs of their own, entered beside these.
  const vnodeop_desc* order[] = {
      &vnop_default_desc,  &vnop_blktooff_desc, &vnop_blockmap_desc, &vnop_close_desc,   &vnop_create_desc,
      &vnop_fsync_desc,    &vnop_getattr_desc,  &vnop_inactive_desc, &vnop_ioctl_desc,   &vnop_lookup_desc,
      &vnop_mkdir_desc,    &vnop_offtoblk_desc, &vnop_open_desc,     &vnop_pagein_desc,  &vnop_pageout_desc,
      &vnop_pathconf_desc, &vnop_read_desc,     &vnop_readdir_desc,  &vnop_readlink_desc, &vnop_reclaim_desc,
      &vnop_remove_desc,   &vnop_rename_desc,   &vnop_rmdir_desc,    &vnop_setattr_desc, &vnop_statfs_desc,
      &vnop_strategy_desc, &vnop_symlink_desc,  &vnop_write_desc};
  const struct {
    const vnodeop_desc* desc;
    vnop_handler_t handler;
  } ours[] = {{&vnop_default_desc, &vn_default_error},          {&vnop_blktooff_desc, &mdcudfsr_vnop_blktooff},
              {&vnop_blockmap_desc, &mdcudfsr_vnop_blockmap},   {&vnop_close_desc, &mdcudfsr_vnop_close},
              {&vnop_fsync_desc, &mdcudfsr_vnop_fsync},         {&vnop_getattr_desc, &mdcudfsr_vnop_getattr},
              {&vnop_inactive_desc, &mdcudfsr_vnop_inactive},   {&vnop_lookup_desc, &mdcudfsr_vnop_lookup},
              {&vnop_offtoblk_desc, &mdcudfsr_vnop_offtoblk},   {&vnop_open_desc, &mdcudfsr_vnop_open},
              {&vnop_pagein_desc, &mdcudfsr_vnop_pagein},       {&vnop_pageout_desc, &mdcudfsr_vnop_pageout},
              {&vnop_pathconf_desc, &mdcudfsr_vnop_pathconf},   {&vnop_read_desc, &mdcudfsr_vnop_read},
              {&vnop_readdir_desc, &mdcudfsr_vnop_readdir},     {&vnop_readlink_desc, &mdcudfsr_vnop_readlink},
              {&vnop_reclaim_desc, &mdcudfsr_vnop_reclaim},     {&vnop_setattr_desc, &mdcudfsr_vnop_setattr},
              {&vnop_statfs_desc, &mdcudfsr_vnop_statfs},       {&vnop_strategy_desc, &mdcudfsr_vnop_strategy},
              {&vnop_write_desc, &mdcudfsr_vnop_write}};
  std::size_t n = 0, at = 0;
  for (const vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e, ++n) {
    ASSERT_NE(nullptr, e->opve_impl) << n;
    while (at < 28 && order[at] != e->opve_op) ++at;
    ASSERT_LT(at, 28u) << "pair " << n << " out of the operation order";
    ++at;
  }
  EXPECT_EQ(nullptr, mdcudfsr_vnodeop_entries[n].opve_impl) << "the empty pair ends the vector";
  EXPECT_EQ(&vnop_default_desc, mdcudfsr_vnodeop_entries[0].opve_op);
  for (const auto& o : ours) {
    bool found = false;
    for (const vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
      if (e->opve_op == o.desc) found = e->opve_impl == o.handler;
    EXPECT_TRUE(found) << "pair " << (&o - ours);
  }
  EXPECT_EQ(28u, n) << "every operation has its pair";
  EXPECT_EQ(&vn_default_error, mdcudfsr_vnodeop_entries[0].opve_impl);
  EXPECT_EQ(mdcudfsr_vnodeop_entries, mdcudfsr_vnodeop_opv_desc.opv_desc_ops);
  EXPECT_EQ(&mdcudfsr_vnodeop_p, mdcudfsr_vnodeop_opv_desc.opv_desc_vector_p);
  EXPECT_EQ(nullptr, mdcudfsr_vnodeop_p) << "registration installs nothing";
  // All 19 operations Initialise wants resolve.
  int resolved = 0;
  for (const vnodeop_desc* d :
       {&vnop_setattr_desc, &vnop_getattr_desc, &vnop_mkdir_desc, &vnop_readdir_desc, &vnop_open_desc,
        &vnop_create_desc, &vnop_close_desc, &vnop_read_desc, &vnop_write_desc, &vnop_lookup_desc, &vnop_rename_desc,
        &vnop_remove_desc, &vnop_rmdir_desc, &vnop_fsync_desc, &vnop_ioctl_desc, &vnop_blockmap_desc,
        &vnop_inactive_desc, &vnop_reclaim_desc, &vnop_statfs_desc})
    for (const vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
      if (e->opve_op == d) {
        ++resolved;
        break;
      }
  EXPECT_EQ(19, resolved);
}

TEST(Permissions, UnixToUdfAndBack) {
  struct Case {
    std::uint32_t unix_perm, udf;
  } cases[] = {{0644, 0x7884}, {0777, 0x7FFF}, {0, 0}, {0755, 0x7CA5}, {0555, 0x14A5}, {0200, 0x6800}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.udf, mdcudfsr_perm_unix2udf(c.unix_perm)) << std::oct << c.unix_perm;
    EXPECT_EQ(c.unix_perm, mdcudfsr_perm_udf2unix(c.udf)) << std::oct << c.unix_perm;
  }
  EXPECT_EQ(0644u, mdcudfsr_perm_udf2unix(0x7884 | 0x8000)) << "bits above the owner's are dropped";
}

const char* g_name = "Application";
const char* name_hook(int) { return g_name; }

TEST(ProcessNames, ListsCompareWithoutCase) {
  mdcudfsr_mount mnt;
  kel_set_proc_name_hook(name_hook);
  struct Case {
    const char* name;
    bool can_read, anti_virus, block, agent;
  } cases[] = {{"VSHIELDSCANNER", true, true, true, false}, {"kav", true, true, false, false},
               {"fseventsd", true, false, false, false},     {"KelUserAgent", false, false, false, true},
               {"Application", false, false, false, false}, {"kav2", false, false, false, false}};
  for (const Case& c : cases) {
    g_name = c.name;
    EXPECT_EQ(c.can_read ? 1 : 0, mdcudfsr_process_can_read_udf(&mnt, 7)) << c.name;
    EXPECT_EQ(c.anti_virus, mdcudfsr_process_anti_virus_check(&mnt, 7)) << c.name;
    EXPECT_EQ(c.block, mdcudfsr_process_block(&mnt, 7)) << c.name;
    EXPECT_EQ(c.agent, mdcudfsr_user_layer_block(&mnt, 7)) << c.name;
  }
  kel_set_proc_name_hook(nullptr);
}

TEST(ProcessChecks, PrivilegedAccessNeedsARegisteredProcessInTheMode) {
  mdcudfsr_mount mnt;
  EXPECT_FALSE(mdcudfsr_check_privileged_access(&mnt, 0)) << "nobody registered, pid 0 included";
  EXPECT_FALSE(mdcudfsr_check_privileged_access(&mnt, 5));
  mnt.privileged_pid = 5;
  EXPECT_TRUE(mdcudfsr_is_privileged_process(&mnt, 5));
  EXPECT_FALSE(mdcudfsr_check_privileged_access(&mnt, 5)) << "registered, mode not entered";
  mnt.privileged_mode = 1;
  EXPECT_TRUE(mdcudfsr_check_privileged_access(&mnt, 5));
  EXPECT_FALSE(mdcudfsr_check_privileged_access(&mnt, 6));
  EXPECT_TRUE(mdcudfsr_is_process_existing(5));
}

TEST(ProcessChecks, LimitedAccessLetsTheOwnerAndItsChildrenThrough) {
  mdcudfsr_mount mnt;
  EXPECT_TRUE(mdcudfsr_pass_limited_access_mode(&mnt, 9)) << "no owner";
  mnt.limited_access_owner = 1;  // every process is a child of process 1 here
  mnt.limited_access_handle = proc_find(1);
  EXPECT_TRUE(mdcudfsr_pass_limited_access_mode(&mnt, 1));
  EXPECT_TRUE(mdcudfsr_pass_limited_access_mode(&mnt, 9)) << "a child of the owner";
  mnt.limited_access_owner = 4;
  mnt.limited_access_handle = proc_find(4);
  EXPECT_FALSE(mdcudfsr_pass_limited_access_mode(&mnt, 9)) << "neither the owner nor its child";
  EXPECT_TRUE(mdcudfsr_pass_limited_access_mode(&mnt, 4));
  // An owner whose process handle no longer matches has gone: the check clears the mode.
  mnt.limited_access_handle = nullptr;
  EXPECT_TRUE(mdcudfsr_pass_limited_access_mode(&mnt, 9));
  EXPECT_EQ(0, mnt.limited_access_owner);
}

TEST(ZeroFill, HeadAndTailOnlyInAllocatedExtents) {
  struct Case {
    std::int64_t offset, end;
    std::uint32_t type;
    int flags;
    std::int64_t head, tail;
  } cases[] = {{100, 2148, 1, 0xC0, 0, 4096},  {0, 5000, 1, 0x40, 0, 6144}, {2048, 6144, 1, 0, 0, 0},
               {100, 5000, 0, 0, 0, 0},         {4196, 6144, 1, 0x80, 4096, 0}};
  for (const Case& c : cases) {
    const mdcudfsr_zerofill z = mdcudfsr_calculate_zerofill(c.offset, c.end, 2048, c.type);
    EXPECT_EQ(c.flags, z.flags) << c.offset << " " << c.end;
    EXPECT_EQ(c.head, z.head);
    EXPECT_EQ(c.tail, z.tail);
  }
}

TEST(VfamStat, ConversionsBothWays) {
  vnode_attr v{};
  v.va_active = VATTR_TOTAL_SIZE | VATTR_DATA_SIZE;
  v.va_total_size = 10;
  v.va_data_size = 20;
  vfamstat st{};
  EXPECT_EQ(22, mdcudfsr_vnodeattr2vfamstat(&v, &st));
  v.va_active = VATTR_UID | VATTR_MODE | VATTR_MODIFY_TIME | VATTR_DATA_SIZE;
  v.va_uid = 501;
  v.va_mode = 0100644;
  v.va_modify_time = {1700000000, 5};
  v.va_data_size = 4096;
  ASSERT_EQ(0, mdcudfsr_vnodeattr2vfamstat(&v, &st));
  // The record is packed: its members are compared by value.
  EXPECT_EQ(0x2u | 0x8u | 0x100u | 0x400u, std::uint32_t{st.valid});
  EXPECT_EQ(501u, std::uint32_t{st.uid});
  EXPECT_EQ(0100644, int{st.mode});
  EXPECT_EQ(1700000000, std::int64_t{st.mtime_sec});
  EXPECT_EQ(4096u, std::uint64_t{st.size});
  vnode_attr back{};
  mdcudfsr_vfamstat2vnodeattr(&st, &back);
  EXPECT_EQ(VATTR_UID | VATTR_MODE | VATTR_MODIFY_TIME | VATTR_TOTAL_SIZE, back.va_supported);
  EXPECT_EQ(4096u, back.va_total_size);
  EXPECT_EQ(5, back.va_modify_time.tv_nsec);
}

TEST(DiscLock, OwnerIsTheHoldingThreadAndExclusiveIoMakesOthersWait) {
  platform::ManualClock clock;
  platform::ScopedClock scope(clock);
  mdcudfsr_mount mnt;
  vfs_context me{7}, other{8};
  ASSERT_EQ(0, mdcudfsr_vnop_disc_lock(&mnt, &me));
  EXPECT_EQ(KEL_THREAD_ID(), mnt.disc_lock_owner.load());
  EXPECT_FALSE(mnt.slot_mutex.try_lock());
  mdcudfsr_vnop_disc_unlock(&mnt, &me);
  EXPECT_EQ(0u, mnt.disc_lock_owner.load());
  {
    std::lock_guard<std::mutex> lk(mnt.disc_lock_mutex);
    mnt.exclusive_io_mode = 1;
    mnt.exclusive_io_pid = 7;
  }
  ASSERT_EQ(0, mdcudfsr_vnop_disc_lock(&mnt, &me)) << "the exclusive I/O process passes";
  mdcudfsr_vnop_disc_unlock(&mnt, &me);
  std::atomic<bool> got{false};
  std::thread t([&] {
    mdcudfsr_vnop_disc_lock(&mnt, &other);
    got = true;
    mdcudfsr_vnop_disc_unlock(&mnt, &other);
  });
  vfs_test::clear_log();
  ASSERT_TRUE(kel_test::settles([&] { return clock.waiters() == 1; })) << "the other process waits";
  EXPECT_FALSE(got.load());
  clock.advance(60000);  // a time-out only waits again
  ASSERT_TRUE(kel_test::settles([&] { return vfs_test::logged("pthread_cond_timedwait err"); }));
  ASSERT_TRUE(kel_test::settles([&] { return clock.waiters() == 1; }));
  EXPECT_FALSE(got.load());
  {
    std::lock_guard<std::mutex> lk(mnt.disc_lock_mutex);
    mnt.exclusive_io_mode = 0;
  }
  mnt.disc_lock_cond.notify_all();
  t.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(22, mdcudfsr_vnop_disc_lock(nullptr, &me));
}

}  // namespace
