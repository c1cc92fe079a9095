// The volume operation table the host layer calls through.
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_vfsops.h"
#include "kelvfs/mdcudfsr_volume_attr.h"

const mdcudfsr_vfsops mdcudfsr_vfsops_table = {
    mdcudfsr_vfsop_mount,
    mdcudfsr_vfsop_start,
    mdcudfsr_vfsop_unmount,
    mdcudfsr_vfsop_root,
    nullptr,
    mdcudfsr_vfsop_getattr,
    mdcudfsr_vfsop_sync,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    mdcudfsr_vfsop_setattr,
};
