// The device controls the engine sends, recorded on their way to the drive
// client (the suite links with --wrap of VNOP_IOCTL).
#include "vfs_support.h"

#include <cstring>
#include <mutex>

// Every device control the engine sends: its code and, for a control that
// carries a value in, its first word.
namespace vfs_test {
std::mutex g_ioctl_mu;
std::vector<std::pair<std::uint32_t, std::uint32_t>> g_ioctls;
std::vector<std::pair<std::uint32_t, std::uint32_t>> ioctls() {
  std::lock_guard<std::mutex> lk(g_ioctl_mu);
  return g_ioctls;
}
void clear_ioctls() {
  std::lock_guard<std::mutex> lk(g_ioctl_mu);
  g_ioctls.clear();
}
}  // namespace vfs_test
extern "C" int __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(vnode_t vp, std::uint32_t code, char* data, int flags,
                                                    vfs_context_t ctx);
extern "C" int __wrap__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(vnode_t vp, std::uint32_t code, char* data, int flags,
                                                               vfs_context_t ctx) {
  std::uint32_t word = 0;
  if (data && (code & 0x80000000u) && ((code >> 16) & 0x1FFF) >= 4) std::memcpy(&word, data, 4);
  {
    std::lock_guard<std::mutex> lk(vfs_test::g_ioctl_mu);
    vfs_test::g_ioctls.emplace_back(code, word);
  }
  return __real__Z10VNOP_IOCTLP5vnodejPciP11vfs_context(vp, code, data, flags, ctx);
}
