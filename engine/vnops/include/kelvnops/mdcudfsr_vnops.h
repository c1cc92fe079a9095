// The engine's vnode operations and the vector the host layer resolves them from.
#pragma once

#include "kelhost/kern_types.h"

// Metadata reaches the disc through the volume flushes: always 0.
int mdcudfsr_vnop_fsync(void* args);
// The engine's vector, ended by a null entry.
extern vnodeopv_entry_desc mdcudfsr_vnodeop_entries[];
