// The engine's vnode-operation vector: the default pair, the handlers in
// operation order, and the empty pair at the end.
#include "kelvnops/mdcudfsr_vnops.h"

#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_namespace.h"

vnodeopv_entry_desc mdcudfsr_vnodeop_entries[] = {
    {&vnop_default_desc, &vn_default_error},
    {&vnop_blktooff_desc, &mdcudfsr_vnop_blktooff},
    {&vnop_blockmap_desc, &mdcudfsr_vnop_blockmap},
    {&vnop_close_desc, &mdcudfsr_vnop_close},
    {&vnop_create_desc, &mdcudfsr_vnop_create},
    {&vnop_fsync_desc, &mdcudfsr_vnop_fsync},
    {&vnop_getattr_desc, &mdcudfsr_vnop_getattr},
    {&vnop_inactive_desc, &mdcudfsr_vnop_inactive},
    {&vnop_ioctl_desc, &mdcudfsr_vnop_ioctl},
    {&vnop_lookup_desc, &mdcudfsr_vnop_lookup},
    {&vnop_mkdir_desc, &mdcudfsr_vnop_mkdir},
    {&vnop_offtoblk_desc, &mdcudfsr_vnop_offtoblk},
    {&vnop_open_desc, &mdcudfsr_vnop_open},
    {&vnop_pagein_desc, &mdcudfsr_vnop_pagein},
    {&vnop_pageout_desc, &mdcudfsr_vnop_pageout},
    {&vnop_pathconf_desc, &mdcudfsr_vnop_pathconf},
    {&vnop_read_desc, &mdcudfsr_vnop_read},
    {&vnop_readdir_desc, &mdcudfsr_vnop_readdir},
    {&vnop_readlink_desc, &mdcudfsr_vnop_readlink},
    {&vnop_reclaim_desc, &mdcudfsr_vnop_reclaim},
    {&vnop_remove_desc, &mdcudfsr_vnop_remove},
    {&vnop_rename_desc, &mdcudfsr_vnop_rename},
    {&vnop_rmdir_desc, &mdcudfsr_vnop_rmdir},
    {&vnop_setattr_desc, &mdcudfsr_vnop_setattr},
    {&vnop_statfs_desc, &mdcudfsr_vnop_statfs},
    {&vnop_strategy_desc, &mdcudfsr_vnop_strategy},
    {&vnop_symlink_desc, &mdcudfsr_vnop_symlink},
    {&vnop_write_desc, &mdcudfsr_vnop_write},
    {nullptr, nullptr},
};

// The host layer's registration installs nothing: the pointer stays empty
// and Initialise resolves its operations from the entry table.
vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;
vnodeopv_desc mdcudfsr_vnodeop_opv_desc = {&mdcudfsr_vnodeop_p, mdcudfsr_vnodeop_entries};
