#include "flush_seam.h"

#include "kelvfs/mdcudfsr_mount.h"

#include <gtest/gtest.h>

namespace vfs_test {
std::vector<std::string> g_flush_calls;
int g_flush_result = 0;
std::function<void(mdcudfsr_mount*)> g_flush_hook;
}  // namespace vfs_test

namespace {

void record_flush(mdcudfsr_mount* mnt, const std::string& call) {
  vfs_test::g_flush_calls.push_back(call + " policy=" + std::to_string(mnt->flush_policy));
  if (vfs_test::g_flush_hook) vfs_test::g_flush_hook(mnt);
}

class ClearFlushes : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    vfs_test::g_flush_calls.clear();
    vfs_test::g_flush_result = 0;
    vfs_test::g_flush_hook = nullptr;
  }
};

const bool g_listening = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ClearFlushes);
  return true;
}();

}  // namespace

int wrap_flush(mdcudfsr_mount*, int, int, int, vfs_context_t, int) __asm__(
    "__wrap__Z38mdcudfsr_flush_metadata_and_descriptorP14mdcudfsr_mountiiiP11vfs_contexti");
int wrap_flush_re(mdcudfsr_mount*, int, int, int, vfs_context_t, int, int) __asm__(
    "__wrap__Z41mdcudfsr_flush_metadata_and_descriptor_reP14mdcudfsr_mountiiiP11vfs_contextii");

int wrap_flush(mdcudfsr_mount* mnt, int a, int b, int c, vfs_context_t ctx, int d) {
  record_flush(mnt, "flush " + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
                        std::to_string(ctx != nullptr) + "," + std::to_string(d));
  return vfs_test::g_flush_result;
}
int wrap_flush_re(mdcudfsr_mount* mnt, int a, int b, int c, vfs_context_t ctx, int d, int e) {
  record_flush(mnt, "flush_re " + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
                        std::to_string(ctx != nullptr) + "," + std::to_string(d) + "," + std::to_string(e));
  return vfs_test::g_flush_result;
}
