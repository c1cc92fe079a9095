#include "agent_host.h"
#include "agent_log.h"
#include "agent_neighbours.h"

#include "kelhost/gnrc.h"
#include "kelhost/kern.h"
#include "kelhost/log.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <cstdio>

namespace kelagent {

namespace {
OSMallocTag channel_tag() {
  static OSMallocTag tag = OSMalloc_Tagalloc("com.tarn.mdcudfsr.metacache", 0);
  return tag;
}
}  // namespace

int host_vnode_ref(vnode* vp) { return vnode_ref(vp); }
void host_vnode_release(vnode* vp) { vnode_nop(vp); }
bool host_is_forced(mdcudfsr_mount* mp) { return mp && vfs_isforce(mp->mp) != 0; }
void* host_tagged_alloc(std::size_t size) { return OSMalloc(static_cast<std::uint32_t>(size), channel_tag()); }
void host_tagged_free(void* p, std::size_t size) { OSFree(p, static_cast<std::uint32_t>(size), channel_tag()); }
std::uint64_t host_tick_ns() {
  std::uint64_t ns = 0;
  getTickNsGnrc(&ns);
  return ns;
}
std::int64_t host_pid() { return static_cast<std::int64_t>(proc_selfpid()); }

int host_device_ioctl(mdcudfsr_mount* mp, std::uint32_t code, void* data, mdcudfsr_cache_node* node) {
  return VNOP_IOCTL(mp->devvp, code, static_cast<char*>(data), 0, reinterpret_cast<vfs_context_t>(node));
}

void agent_log(int level, const char* func, int line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  LogPrintV(static_cast<unsigned>(level), KEL_MOD_KELC, KEL_MARK_NONE, func, line, KEL_THREAD_ID(), fmt, ap);
  va_end(ap);
}

bool agent_trace_on(int category) {
  return mdcudfsr_debug_level_check(3, 2, static_cast<unsigned>(category));
}

}  // namespace kelagent
