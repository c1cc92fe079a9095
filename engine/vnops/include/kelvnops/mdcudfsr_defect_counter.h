// The drive's defect report (write-fail) counter.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// Reads the counter into *counter; on rewritable media the defect map is
// rebuilt when `force` is set or the counter moved since the last call. 0,
// the read's error or the rebuild's error.
int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* counter,
                                                 int force);
