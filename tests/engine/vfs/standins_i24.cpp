// Recording stand-ins of the routines the mount and the unmount call that
// other sources build. Each records its call
// with its arguments and answers what the test scheduled (0 by default).
#include "standins_i24.h"

#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_calls.h"

namespace vfs_test {
std::vector<std::string> g_mount_calls;
std::map<std::string, std::vector<int>> g_mount_answers;

int mount_call(const std::string& call) {
  g_mount_calls.push_back(call);
  const std::string name = call.substr(0, call.find(' '));
  auto it = g_mount_answers.find(name);
  if (it == g_mount_answers.end() || it->second.empty()) return 0;
  const int r = it->second.front();
  it->second.erase(it->second.begin());
  return r;
}
}  // namespace vfs_test

using vfs_test::mount_call;

// The defect map, the next track and the visibility control: their one
// stand-in each is in standins_i27.cpp, which records into g_mount_calls as
// well.

