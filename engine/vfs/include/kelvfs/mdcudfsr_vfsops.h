// Volume operations called by the host layer through the operation table.
#pragma once

#include "kelhost/kern_types.h"

// Always 0; a privileged caller before the filter was notified is counted.
int mdcudfsr_vfsop_start(mount_t mp, int flags, vfs_context_t ctx);
