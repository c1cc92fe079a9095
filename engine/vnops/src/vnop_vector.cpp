// The engine's vnode-operation vector.
#include "kelvnops/mdcudfsr_vnops.h"

#include "kelhost/vnode.h"

int mdcudfsr_vnop_fsync(void*) { return 0; }

vnodeopv_entry_desc mdcudfsr_vnodeop_entries[] = {
    {&vnop_fsync_desc, &mdcudfsr_vnop_fsync},
    {nullptr, nullptr},
};
