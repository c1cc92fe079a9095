// The vnode-operation vector: its pairs in the fixed order, ended by the
// empty pair, with the namespace operations and the control dispatcher.
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_vnops.h"

#include <gtest/gtest.h>

#include <map>

namespace {

// The 28 operations in the vector's order.
vnodeop_desc* const kOrder[] = {
    &vnop_default_desc,  &vnop_blktooff_desc, &vnop_blockmap_desc, &vnop_close_desc,    &vnop_create_desc,
    &vnop_fsync_desc,    &vnop_getattr_desc,  &vnop_inactive_desc, &vnop_ioctl_desc,    &vnop_lookup_desc,
    &vnop_mkdir_desc,    &vnop_offtoblk_desc, &vnop_open_desc,     &vnop_pagein_desc,   &vnop_pageout_desc,
    &vnop_pathconf_desc, &vnop_read_desc,     &vnop_readdir_desc,  &vnop_readlink_desc, &vnop_reclaim_desc,
    &vnop_remove_desc,   &vnop_rename_desc,   &vnop_rmdir_desc,    &vnop_setattr_desc,  &vnop_statfs_desc,
    &vnop_strategy_desc, &vnop_symlink_desc,  &vnop_write_desc};

// As the host layer resolves a descriptor: the first match from the start.
vnop_handler_t resolve(vnodeop_desc* d) {
  for (const vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries; e->opve_op; ++e)
    if (e->opve_op == d) return e->opve_impl;
  return nullptr;
}

TEST(Vector, PairsFollowTheFixedOrderAndEndWithTheEmptyPair) {
  std::map<vnodeop_desc*, int> rank;
  for (int i = 0; i < 28; ++i) rank[kOrder[i]] = i;
  int last = -1, count = 0;
  const vnodeopv_entry_desc* e = mdcudfsr_vnodeop_entries;
  for (; e->opve_op; ++e, ++count) {
    ASSERT_TRUE(rank.count(e->opve_op)) << "pair " << count << " is no operation of the vector";
    EXPECT_GT(rank[e->opve_op], last) << "pair " << count << " out of order";
    last = rank[e->opve_op];
    EXPECT_NE(nullptr, e->opve_impl);
  }
  EXPECT_EQ(nullptr, e->opve_impl) << "the empty pair ends it";
  EXPECT_LE(count, 28);
}

TEST(Vector, TheNamespaceOperationsAndTheDispatcherResolve) {
  EXPECT_EQ(&mdcudfsr_vnop_create, resolve(&vnop_create_desc));
  EXPECT_EQ(&mdcudfsr_vnop_ioctl, resolve(&vnop_ioctl_desc));
  EXPECT_EQ(&mdcudfsr_vnop_mkdir, resolve(&vnop_mkdir_desc));
  EXPECT_EQ(&mdcudfsr_vnop_remove, resolve(&vnop_remove_desc));
  EXPECT_EQ(&mdcudfsr_vnop_rename, resolve(&vnop_rename_desc));
  EXPECT_EQ(&mdcudfsr_vnop_rmdir, resolve(&vnop_rmdir_desc));
  EXPECT_EQ(&mdcudfsr_vnop_symlink, resolve(&vnop_symlink_desc)) << "in the vector, though no slot calls it";
}

}  // namespace
