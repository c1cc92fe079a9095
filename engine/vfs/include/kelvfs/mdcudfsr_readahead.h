// The read-ahead of the QMR-T300 and QMR-T400 drives: one thread per process
// that reads 512 KiB pieces of the served file into two buffers, one being
// filled while the other is consumed.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

constexpr std::uint32_t MDCUDFSR_READ_BUFF_BYTES = 0x80000;

// Starts the thread for the drive models and media that have it; 0 without
// one. 0, or the error of the thread's creation.
int mdcudfsr_cluster_read_buff_mount(mdcudfsr_mount* mnt, const char* product_id);
// Names the served vnode (or none) and empties both buffers.
void mdcudfsr_cluster_read_buff_reset(vnode_t vp);
// Stops and joins the thread: 0, or 138 when it did not end within 2000 ms on
// the process clock (it is then left running; a later call joins it).
int mdcudfsr_cluster_read_buff_umount();
// The unmount's hook: the stop when the read-ahead is set up, else 0.
int mdcudfsr_cluster_read_buff_umount_hook(mdcudfsr_mount* mnt);
// True while the read-ahead is set up; the vnode it serves.
bool mdcudfsr_cluster_read_buff_active();
vnode_t mdcudfsr_cluster_read_buff_vnode();

// Posts a read of the served file into buffer `selector` (1: A, 0: B). The
// piece starts at that buffer's next read position, or at `offset` when both
// buffers are empty (the first piece then ends on a 512 KiB boundary). With
// `wait` the call returns once the thread has taken the request. 0; 22
// without a served vnode or a mount.
int mdcudfsr_cluster_read_buff_start(std::int64_t offset, int ioflag, vfs_context_t ctx, int selector, int wait,
                                     std::int64_t file_size);
// Copies [uio offset, + residual) of the served file out of the buffers into
// `uio`, posting the following pieces as buffers are used up. 0 (also when
// the range could not be served: the caller then reads directly), or the
// error of a buffer's read.
int mdcudfsr_cluster_read_buff(uio_t uio, vnode_t vp, std::int64_t file_size, int ioflag, vfs_context_t ctx);
