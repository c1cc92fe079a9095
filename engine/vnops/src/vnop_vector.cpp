// The engine's vnode-operation vector.
#include "kelvnops/mdcudfsr_vnops.h"

#include "kelhost/vnode.h"
#include "kelvnops/mdcudfsr_ioctl.h"
#include "kelvnops/mdcudfsr_namespace.h"

int mdcudfsr_vnop_fsync(void*) { return 0; }

vnodeopv_entry_desc mdcudfsr_vnodeop_entries[] = {
    {&vnop_create_desc, &mdcudfsr_vnop_create},
    {&vnop_fsync_desc, &mdcudfsr_vnop_fsync},
    {&vnop_ioctl_desc, &mdcudfsr_vnop_ioctl},
    {&vnop_mkdir_desc, &mdcudfsr_vnop_mkdir},
    {&vnop_remove_desc, &mdcudfsr_vnop_remove},
    {&vnop_rename_desc, &mdcudfsr_vnop_rename},
    {&vnop_rmdir_desc, &mdcudfsr_vnop_rmdir},
    {&vnop_symlink_desc, &mdcudfsr_vnop_symlink},
    {nullptr, nullptr},
};
