// The few engine host services the channels use, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

struct mdcudfsr_mount;
struct vnode;

namespace kelagent {
int host_vnode_ref(vnode* vp);       // 0, or 22 without a vnode
void host_vnode_release(vnode* vp);  // gives back what host_vnode_ref took
bool host_is_forced(mdcudfsr_mount* mp);
void* host_tagged_alloc(std::size_t size);
void host_tagged_free(void* p, std::size_t size);
std::uint64_t host_tick_ns();        // monotonic nanoseconds (millisecond resolution)
std::int64_t host_pid();
}  // namespace kelagent
