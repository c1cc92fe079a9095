// The calls the stand-ins of standins_i24.cpp recorded, and their answers.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vfs_test {
// "name arguments" of every call, in order.
extern std::vector<std::string> g_mount_calls;
// Answers by routine name, used front first; 0 when none is left.
extern std::map<std::string, std::vector<int>> g_mount_answers;
int mount_call(const std::string& call);
}  // namespace vfs_test
