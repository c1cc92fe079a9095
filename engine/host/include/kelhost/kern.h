// The kernel programming interface of the engine, emulated in user space:
// uio lists, memory, clocks, copies, bounded strings, name conversion,
// mount and context accessors, process queries, and the calls that only
// matter inside a real kernel (stubs with fixed results).
//
// A null pointer argument logs "Invalid argument" at ERR_ under the call's
// own name and gives the call's documented failure value.
#pragma once

#include "kelhost/kern_errno.h"
#include "kelhost/kern_types.h"
#include "kelhost/log.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// ---- uio ----
// A uio with room for count iovecs, none in use, residual 0; null (logged
// "Cannot allocate memory") when memory is exhausted or count is negative.
uio_t uio_create(int count, off64_kel_t offset, int segment, int direction);
void uio_free(uio_t u);
// Appends one iovec and adds its length to the residual: 0; 14 on a null
// uio; 22 when all iovecs given at creation are in use.
int uio_addiov(uio_t u, user_addr_t base, user_size_t length);
off64_kel_t uio_offset(uio_t u);
std::int64_t uio_resid(uio_t u);
void uio_setoffset(uio_t u, off64_kel_t offset);
void uio_setresid(uio_t u, std::int64_t resid);
// Sets offset and direction; the iovecs stay.
void uio_reset(uio_t u, off64_kel_t offset, int segment, int direction);
int uio_rw(uio_t u);
// Moves up to n bytes between buffer and the iovecs in the uio's direction.
// 0; 14 on a null argument.
int uiomove(void* buffer, int n, uio_t u);
int uiomove64(void* buffer, std::int64_t n, uio_t u);

// ---- memory ----
void* OSMalloc(std::uint32_t size, OSMallocTag tag);
void* OSMalloc_noblock(std::uint32_t size, OSMallocTag tag);
// A null pointer logs "Already freed memory area" at INFO.
void OSFree(void* pointer, std::uint32_t size, OSMallocTag tag);
OSMallocTag OSMalloc_Tagalloc(const char* name, std::uint32_t flags);  // dummy, non-null
void OSMalloc_Tagfree(OSMallocTag tag);

// ---- lock groups and spin locks (dummies; the engine locks with POSIX
// mutexes and condition variables directly) ----
lck_grp_attr_t* lck_grp_attr_alloc_init();
void lck_grp_attr_free(lck_grp_attr_t* attr);
lck_grp_t* lck_grp_alloc_init(const char* name, lck_grp_attr_t* attr);
void lck_grp_free(lck_grp_t* group);
lck_attr_t* lck_attr_alloc_init();
void lck_attr_free(lck_attr_t* attr);
lck_spin_t* lck_spin_alloc_init(lck_grp_t* group, lck_attr_t* attr);
void lck_spin_free(lck_spin_t* lock, lck_grp_t* group);
void lck_spin_lock(lck_spin_t* lock);    // logs "stub" at INFO
void lck_spin_unlock(lck_spin_t* lock);  // logs "stub" at INFO

// ---- clocks ----
void clock_get_system_microtime(clock_sec_t* seconds, clock_usec_t* microseconds);
void nanotime(struct timespec* ts);
void nanoseconds_to_absolutetime(std::uint64_t ns, std::uint64_t* result);
void absolutetime_to_nanoseconds(std::uint64_t abstime, std::uint64_t* result);
// deadline = monotonic nanoseconds now + interval.
void clock_absolutetime_interval_to_deadline(std::uint64_t interval, std::uint64_t* deadline);

// ---- copies and bounded strings ----
int copyin(const void* source, void* destination, std::size_t length);
int copyout(const void* source, void* destination, std::size_t length);
// Copies up to and including the terminator: 0; 63 with *copied = length
// when no terminator comes within length; 14 on a null pointer.
int copyoutstr(const void* source, void* destination, std::size_t length, std::size_t* copied);
extern "C" std::size_t strlcpy(char* destination, const char* source, std::size_t size);
extern "C" std::size_t strlcat(char* destination, const char* source, std::size_t size);

// ---- names ----
// Copies a UTF-8 name unchanged, dropping one trailing terminator from the
// count, and terminates it. 0; 63 when out_size is too small; 22 on null.
int utf8_normalizestr(const std::uint8_t* in, std::size_t length, std::uint8_t* out,
                      std::size_t* out_length, std::size_t out_size, int flags);
// UTF-16 -> UTF-8: 0; 22 null; 84 illegal input; 7 when the output fills
// out_size without a terminator. *out_length = bytes without terminator.
int utf8_encodestr(const std::uint16_t* in, std::size_t in_bytes, std::uint8_t* out,
                   std::size_t* out_length, std::size_t out_size, std::uint16_t alt_slash,
                   int flags);
// UTF-8 -> UTF-16: 0; 22 null; 84 illegal input. *out_length = units x 2.
int utf8_decodestr(const std::uint8_t* in, std::size_t in_bytes, std::uint16_t* out,
                   std::size_t* out_length, std::size_t out_size, std::uint16_t alt_slash,
                   int flags);

// ---- mount and context ----
kel_pid_t vfs_context_pid(vfs_context_t context);  // -1 on null
std::uint64_t vfs_flags(mount_t mp);               // 0 on null
void vfs_setflags(mount_t mp, std::uint64_t flags);
void* vfs_fsprivate(mount_t mp);
void vfs_setfsprivate(mount_t mp, void* data);
vfsstatfs* vfs_statfs(mount_t mp);
// The emulation's one mount record.
mount* kel_global_mount();

// ---- processes ----
void proc_name(int pid, char* buffer, int size);  // "Application" unless a test hook answers
// Test seam: a hook that names processes (nullptr: "Application").
using kel_proc_name_hook = const char* (*)(int pid);
void kel_set_proc_name_hook(kel_proc_name_hook hook);
void proc_selfname(char* buffer, int size);
int proc_selfpid();
proc_t proc_find(int pid);       // non-null
int proc_exiting(proc_t p);      // 0
int proc_rele(proc_t p);         // 0
int proc_issuser_stub(int pid);  // 1
int proc_ppid(int pid);          // 1: every process is a child of process 1
void proc_send_signal(int pid, int signal);
int mdcudfsr_ignore_parentid();  // 1

// ---- stubs with fixed results ----
int sysctlbyname(const char* name, void* oldp, std::size_t* oldlenp, void* newp, std::size_t newlen);
int sysctl_handle_int(void* oidp, void* arg1, int arg2, void* req);
int cdevsw_add(int index, void* devsw);
int cdevsw_remove(int index, void* devsw);
int devfs_make_node(std::uint32_t dev, int chrblk, std::uint32_t uid, std::uint32_t gid, int perms,
                    const char* fmt, ...);
void devfs_remove(void* handle);
void selrecord(void* selector, void* info, void* wql);
void selwakeup(void* info);
void kprintf(const char* format, ...);
void vnode_clearfsnode(vnode_t vp);
// Logs "stub" at EMGN and returns; the message is not printed.
void panic(const char* format, ...);
int vfs_isforce(mount_t mp);
std::uint32_t vnode_vid(vnode_t vp);
int vn_default_error(void* args);
int vnode_getwithvid(vnode_t vp, std::uint32_t vid);
int vnode_addfsref(vnode_t vp);
int ubc_msync(vnode_t vp, off64_kel_t start, off64_kel_t end, off64_kel_t* resid, int flags);
int ubc_setsize(vnode_t vp, off64_kel_t size);
int ubc_upl_abort_range(void* upl, std::uint32_t offset, std::uint32_t size, int flags);
int ubc_upl_map(void* upl, void** address);
int ubc_upl_unmap(void* upl);
int vflush(mount_t mp, vnode_t skip, int flags);
int vnode_isinuse(vnode_t vp, int refcnt);
int vnode_put(vnode_t vp);
int vnode_removefsref(vnode_t vp);
off64_kel_t ubc_getsize(vnode_t vp);
int cluster_pagein(vnode_t vp, void* upl, std::uint32_t upl_offset, off64_kel_t f_offset, int size,
                   off64_kel_t filesize, int flags);
int cluster_pageout(vnode_t vp, void* upl, std::uint32_t upl_offset, off64_kel_t f_offset, int size,
                    off64_kel_t filesize, int flags);
int vcount(vnode_t vp);  // 1
void cache_enter(vnode_t dvp, vnode_t vp, componentname* cnp);
void cache_purge(vnode_t vp);
void cache_purge_negatives(vnode_t vp);
int cache_lookup(vnode_t dvp, vnode_t* vpp, componentname* cnp);  // 0: a miss
int vnode_query_zero(vnode_t vp);
int vfs_context_query_zero(vfs_context_t context);
int vfs_query_zero(mount_t mp);
int vfs_typenum_zero(mount_t mp);
void vnode_nop(vnode_t vp);
void vfs_mount_nop(mount_t mp);
// File-system registration of module start and stop: accepted, nothing installed.
int vfs_fsadd(void* vfe, void** handle);
int vfs_fsremove(void* handle);

inline std::uint16_t OSSwapLittleToHostInt16(std::uint16_t v) { return v; }
inline std::uint32_t OSSwapLittleToHostInt32(std::uint32_t v) { return v; }
inline std::uint64_t OSSwapLittleToHostInt64(std::uint64_t v) { return v; }
inline std::uint16_t OSSwapHostToLittleInt16(std::uint16_t v) { return v; }
inline std::uint32_t OSSwapHostToLittleInt32(std::uint32_t v) { return v; }
inline std::uint64_t OSSwapHostToLittleInt64(std::uint64_t v) { return v; }

// ---- debugging allocator (guarded blocks, listed until freed) ----
constexpr std::size_t KEL_DEBUG_MALLOC_HEADER = 1112;
constexpr std::size_t KEL_DEBUG_MALLOC_TRAILER = 1024;
void* mdcudfsr_debug_malloc(std::uint32_t size, const char* tag);
void mdcudfsr_free_debug(void* pointer, std::uint32_t size);
int mdcudfsr_debug_malloc_init();
void mdcudfsr_debug_malloc_term();
// Switches the listing of unfreed blocks at mdcudfsr_debug_malloc_term.
void mdcudfsr_debug_malloc_set_trace(bool on);
