// Shared by the sources of the simulated kernel.
#pragma once

#include "kmode/kernel.h"

namespace kmode::detail {

// Counts a kernel fault (what the real kernel would stop the machine for)
// and reports it on standard error.
void bug_check(const char* what);

}  // namespace kmode::detail
