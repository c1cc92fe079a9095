// The per-node table of open VFAM handles, block I/O of VFAM-backed buffers
// and the wait of a file-system call until the agent has mounted.
#include "kelagent/vfam_client.h"

#include "kelhost/kern_errno.h"
#include "vfam_internal.h"
#include "vfam_neighbours.h"

#include "drive/client_if.h"
#include "kelcache/cache.h"
#include "kelhost/gnrc.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "platform/sync.h"

using namespace kelagent;
using namespace kelagent::vfam;

namespace {

// Slot of a mode: 0 read, 1 write, 2 read and write; -1 without an access bit.
int slot_of(int mode) { return (mode & 3) - 1; }

bool vfam_kind(const mdcudfsr_cache_node* n) {
  return n->kind == MDCUDFSR_NODE_VIRTUAL || n->kind == MDCUDFSR_NODE_MASTER;
}

// Takes the table: waits while another thread holds it, with the node
// unlocked, and locks the node again once the table is ours (never while
// holding the table's mutex, so a node holder can always give the table back).
void take_table(mdcudfsr_cache_node* node) {
  mdcudfsr_vfam_data* d = node->vfam_data;
  mdcudfsr_cache_unlock_node(node);
  {
    std::unique_lock<std::mutex> lk(d->mutex);
    if (d->busy) KELC_LOG(kLogDebug, "handle table busy: waiting\n");
    d->cond.wait(lk, [&] { return d->busy == 0; });
    d->busy = 1;
  }
  mdcudfsr_cache_lock_node(node, MDCUDFSR_WAIT_FOREVER);
}

void give_table(mdcudfsr_vfam_data* d) {
  {
    std::lock_guard<std::mutex> g(d->mutex);
    d->busy = 0;
  }
  d->cond.notify_all();
}

// Drops one reference of a slot, closing the handle with the last one.
int release_slot(mdcudfsr_cache_node* node, int slot, int mode) {
  mdcudfsr_vfam_data* d = node->vfam_data;
  take_table(node);
  int err = 0;
  const std::uint32_t ref = d->handle_ref[slot];
  if (ref == 1) {
    if (agent_trace_on(kTraceVfam))
      KELC_LOG(kLogInfo, "[%s](tid=%08x) %s:%d call mdcudfsr_vfam_close with handle=0x%08x handle_ref=%d handle_idx=%d\n",
               volname(node->mdcudfsrmp), tid(), __func__, __LINE__, static_cast<unsigned>(d->handle[slot]),
               static_cast<int>(ref), slot);
    err = mdcudfsr_vfam_close(node, d->handle[slot], mode);
  }
  if (ref == 1 && err == KEL_EBADF) {
    KELC_LOG(kLogErr, "mdcudfsr_vfam_close is failed.(%d)\n", err);
  } else {
    if (ref > 0) d->handle_ref[slot] = ref - 1;
    if (ref <= 1) d->handle[slot] = 0;
  }
  give_table(d);
  return err;
}

}  // namespace

int mdcudfsr_vfam_get_handle(mdcudfsr_cache_node* node, int mode, std::uint64_t* handle, int* opened_now) {
  if (!node || !handle || !opened_now) return KEL_EINVAL;
  const int slot = slot_of(mode);
  if (agent_trace_on(kTraceVfam))
    KELC_LOG(kLogInfo, "[%s](tid=%08x) %s:%d node=%p mode=%d hidx=%d\n", volname(node->mdcudfsrmp), tid(), __func__,
             __LINE__, static_cast<void*>(node), mode, slot);
  if (!node->vfam_data) {
    KELC_LOG(kLogErr, " can't vfam_data buffer \n");
    return KEL_EINVAL;
  }
  if (slot < 0) return KEL_EINVAL;
  *opened_now = 0;
  mdcudfsr_vfam_data* d = node->vfam_data;
  take_table(node);
  int err = 0;
  if (d->handle_ref[slot]) {
    *handle = d->handle[slot];
    ++d->handle_ref[slot];
  } else {
    std::uint64_t h = 0;
    err = mdcudfsr_vfam_open(node, mode, &h);
    if (err) {
      KELC_LOG(kLogErr, "file:[%s] mdcudfsr_vfam_open is failed.(%d)\n", mdcudfsr_node_name(node), err);
    } else {
      if (h) d->handle[slot] = h;
      ++d->handle_ref[slot];
      *handle = d->handle[slot];
      *opened_now = 1;
    }
  }
  give_table(d);
  return err;
}

int mdcudfsr_vfam_return_handle(mdcudfsr_cache_node* node, int mode) {
  if (!node) return KEL_EINVAL;
  const int slot = slot_of(mode);
  if (slot < 0) {
    KELC_LOG(kLogInfo, "ignoring mode=%d\n", mode);
    return 0;
  }
  if (!vfam_kind(node)) {
    KELC_LOG(kLogErr, "vfam_open failed for unsupported type %d\n", static_cast<int>(node->kind));
    return KEL_ENOTSUP;
  }
  if (!node->vfam_data) return KEL_EINVAL;
  return release_slot(node, slot, mode);
}

int mdcudfsr_vfam_return_existing_handle(mdcudfsr_cache_node* node, int slot, int mode) {
  if (!node || !node->vfam_data) return KEL_EINVAL;
  if (slot < 0 || slot > 2) {
    KELC_LOG(kLogInfo, "ignoring mode=%d\n", mode);
    return 0;
  }
  return release_slot(node, slot, mode);
}

int mdcudfsr_vfam_wait_for_existing_handle(mdcudfsr_cache_node* node, int mode, std::uint64_t* handle) {
  if (!node || !handle) return KEL_EINVAL;
  if (!vfam_kind(node)) {
    KELC_LOG(kLogErr, "vfam_open failed for unsupported type %d\n", static_cast<int>(node->kind));
    return KEL_ENOTSUP;
  }
  mdcudfsr_vfam_data* d = node->vfam_data;
  const int slot = slot_of(mode);
  if (!d || slot < 0) return KEL_EINVAL;
  std::unique_lock<std::mutex> lk(d->mutex);
  while (d->busy) {
    // The table's holder may need the node to give the table back: wait
    // with the node unlocked.
    lk.unlock();
    mdcudfsr_cache_unlock_node(node);
    KELC_LOG(kLogDebug, "handle table busy: waiting\n");
    lk.lock();
    d->cond.wait(lk, [&] { return d->busy == 0; });
    lk.unlock();
    mdcudfsr_cache_lock_node(node, MDCUDFSR_WAIT_FOREVER);
    lk.lock();
  }
  int used = slot;
  if (!d->handle_ref[used] && slot != 2 && d->handle_ref[2]) used = 2;
  if (!d->handle_ref[used]) {
    KELC_LOG(kLogErr, "handle is invalid!\n");
    *handle = 0;
    return INVALID_VFAM_HANDLE_IDX;
  }
  ++d->handle_ref[used];
  *handle = d->handle[used];
  return used;
}

namespace {

// Reads the buffer whole: each read asks for what is still missing; a read
// of 0 bytes zero-fills the rest.
int strategy_read(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t offset, char* data,
                  std::uint32_t length) {
  std::uint32_t done = 0;
  while (done < length) {
    std::uint32_t got = 0;
    const int err = mdcudfsr_vfam_read(node, handle, offset + done, length - done, data + done, &got);
    if (err) return err;
    if (got == 0) {
      std::memset(data + done, 0, length - done);
      break;
    }
    done += got;
  }
  return 0;
}

// Writes the buffer, cut to the file's size; a short write fails with 5.
int strategy_write(mdcudfsr_cache_node* node, std::uint64_t handle, std::uint64_t offset, const char* data,
                   std::uint32_t length) {
  KELC_LOG(kLogInfo, "offset=%lld size=%d\n", static_cast<long long>(offset), static_cast<int>(length));
  const std::uint64_t file_size = mdcudfsr_cache_get_file_size(node);
  if (file_size < offset + length) {
    if (offset > file_size) {
      KELC_LOG(kLogErr, "%s\n", "offset <= file_size");
      return KEL_EINVAL;
    }
    length = static_cast<std::uint32_t>(file_size - offset);
    KELC_LOG(kLogInfo, "file_size=%lld offset=%lld size=%d\n", static_cast<long long>(file_size),
             static_cast<long long>(offset), static_cast<int>(length));
  }
  std::uint32_t written = 0;
  const int err = mdcudfsr_vfam_write(node, handle, offset, length, data, &written);
  if (err) return err;
  return written < length ? KEL_EIO : 0;
}

int finish_buffer(buf_t bp, int err) {
  buf_seterror(bp, err);
  buf_unmap(bp);
  buf_biodone(bp);
  return err;
}

}  // namespace

int mdcudfsr_vfam_strategy(mdcudfsr_cache_node* node, buf_t bp) {
  mdcudfsr_mount* mp = node ? node->mdcudfsrmp : nullptr;
  if (!mp) {
    KELC_LOG(kLogErr, "%s\n", "mdcudfsrmp");
    return finish_buffer(bp, KEL_EINVAL);
  }
  caddr_t data = nullptr;
  int err = buf_map(bp, &data);
  if (err) {
    KELC_LOG(kLogErr, "err=%d\n", err);
    buf_seterror(bp, err);
    buf_biodone(bp);
    return err;
  }
  if (!vfam_kind(node)) {
    KELC_LOG(kLogErr, "vfam_open failed for unsupported type %d", static_cast<int>(node->kind));
    return finish_buffer(bp, KEL_ENOTSUP);
  }
  const std::uint64_t offset = static_cast<std::uint64_t>(buf_blkno(bp)) * mp->logical_block_size;
  const std::uint32_t length = buf_count(bp);
  const bool reading = (buf_flags(bp) & 1) != 0;
  if (agent_trace_on(kTraceVfam))
    KELC_LOG(kLogInfo, "[%s](tid=%08x) %s:%d buf_flags=0x%08x\n", volname(mp), tid(), __func__, __LINE__,
             static_cast<unsigned>(buf_flags(bp)));
  const int mode = reading ? 1 : 2;
  std::uint64_t handle = 0;
  int opened = 0;
  err = mdcudfsr_vfam_get_handle(node, mode, &handle, &opened);
  if (!err)
    err = reading ? strategy_read(node, handle, offset, data, length) : strategy_write(node, handle, offset, data, length);
  if (opened) {
    // The handle's return decides the result only when the transfer succeeded.
    const int ret = mdcudfsr_vfam_return_handle(node, mode);
    if (!err) err = ret;
  }
  return finish_buffer(bp, err);
}

namespace {

bool agent_stopped(const mdcudfsr_mount* mp) { return (mp->mount_ext_flags & MDCUDFSR_MNT_AGENT_STOPPED) != 0; }

bool waitable(mdcudfsr_mount* mp, vfs_context_t ctx) {
  KELC_LOG(kLogDebug, "mdcudfsr_vfam_is_waitable");
  if (agent_stopped(mp)) return false;
  const kel_pid_t pid = vfs_context_pid(ctx);
  if (pid <= 0) return false;  // none, or no context
  if (pid == mp->mounting_pid || pid == mdcudfsr_vfamdev_get_agent_pid(mp->vfamdev)) return false;
  if (!mp->vfam_mounted && mdcudfsr_process_can_read_udf(mp, pid)) return false;
  return true;
}

// Lets go of a node this thread holds, whatever its recursion; the count.
int release_node_whole(mdcudfsr_cache_node* node) {
  if (!node) return 0;
  int count = 0;
  {
    std::lock_guard<std::mutex> g(node->lock_mutex);
    if (node->lock_owner != getThreadIdGnrc()) return 0;
    count = node->lock_count;
    node->lock_owner = 0;
    node->lock_count = 0;
  }
  node->lock_cond.notify_all();
  return count;
}

void restore_node(mdcudfsr_cache_node* node, int count) {
  if (!node || count == 0) return;
  mdcudfsr_cache_lock_node(node, MDCUDFSR_WAIT_FOREVER);
  std::lock_guard<std::mutex> g(node->lock_mutex);
  node->lock_count = count;
}

// Waits under the VFAM mutex; 6 when the channel is being freed, 0 once
// the agent mounted or stopped, 138 when it gave up.
int wait_rounds(mdcudfsr_mount* mp, std::unique_lock<std::mutex>& lk) {
  std::uint64_t seen = mp->vfam_activity;
  int timeouts = 0;
  while (!mp->vfam_mounted && !agent_stopped(mp)) {
    if (mp->vfamdev && mp->vfamdev->status == VFAMDEV_WILL_FREE) return KEL_ENXIO;
    KELC_LOG(kLogInfo, "Waiting for VFAM mount....\n");
    const std::uint64_t deadline = platform::clock().now_ms() + 1000;
    platform::clock().wait_until(lk, mp->vfam_cv, deadline);
    if (platform::clock().now_ms() < deadline) continue;
    if (++timeouts < 30) continue;
    if (mp->vfam_activity == seen) return KEL_ETIMEDOUT;
    seen = mp->vfam_activity;
    timeouts = 0;
  }
  return 0;
}

}  // namespace

int mdcudfsr_wait_vfam_mounted(mdcudfsr_mount* mp, mdcudfsr_cache_node* node, vfs_context_t ctx) {
  KELC_LOG(kLogDebug, "mdcudfsr_wait_vfam_mounted");
  if (!mp || !waitable(mp, ctx)) return 0;
  const int count = release_node_whole(node);
  int err;
  {
    std::unique_lock<std::mutex> lk(mp->vfam_lock);
    ++mp->vfam_waiters;
    err = wait_rounds(mp, lk);
    if (--mp->vfam_waiters == 0) mp->vfam_activity = 0;
    if (err == KEL_ETIMEDOUT) mp->mount_ext_flags |= MDCUDFSR_MNT_AGENT_STOPPED;
  }
  if (err == KEL_ETIMEDOUT) {
    KELC_LOG(kLogWarn, "msleep is time out.\n");
    KELC_LOG(kLogErr, "Can't get acknowledgement from UserAgent. This volume is mounted by read-only.\n");
    vfs_setflags(mp->mp, MNT_RDONLY);
    err = 0;
  }
  restore_node(node, count);
  return err;
}
