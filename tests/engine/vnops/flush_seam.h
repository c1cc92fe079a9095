// The metadata flushes as the control and mode cases see them: the two
// flush routines are intercepted at link time (--wrap), record their
// arguments with the flush policy byte they saw, and answer g_flush_result.
// Cleared before every test.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct mdcudfsr_mount;

namespace vfs_test {
extern std::vector<std::string> g_flush_calls;
extern int g_flush_result;
// Runs inside each intercepted flush after it recorded its call.
extern std::function<void(mdcudfsr_mount*)> g_flush_hook;
}  // namespace vfs_test
