// What the stand-ins of standins_i30.cpp were called with.
#pragma once

#include "kelhost/kern_types.h"

#include <string>
#include <vector>

namespace fsctl_test {
extern std::vector<std::string> g_standin_i30_calls;
extern int g_dummy_result;  // answer of the dummy open and close stand-ins
}  // namespace fsctl_test
