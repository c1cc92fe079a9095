// The volume flushes the controls and the modes call, answered by recording
// fakes in front of the real ones: each call is recorded with its arguments
// and the flush policy it saw.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct mdcudfsr_mount;

namespace vfs_test {
// Write-once and rewritable metadata flushes ("flush ...", "flush_re ...").
extern std::vector<std::string> g_flush_calls;
extern int g_flush_result;  // what they answer
// Runs inside each of these recorders after it recorded its call.
extern std::function<void(mdcudfsr_mount*)> g_flush_hook;
}  // namespace vfs_test
