// The file-system control dispatcher.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_ioctl.h"

#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_process.h"
#include "vnops_log.h"

#include <mutex>

namespace {

constexpr unsigned kTraceCategory = 21;

const char* name_of(const mdcudfsr_cache_node* n) { return n && n->vfs_name ? n->vfs_name : "(null)"; }

void trace_entry(vnode_t vp, vfs_context_t ctx) {
  if (!mdcudfsr_debug_level_check(3, 1, kTraceCategory)) return;
  auto* n = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp));
  VN_LOG(KEL_LOG_WARN, "********Enter [%s vnode=%p mdcudfsr_cache_node=%p name=%s attr=0x%08x](pid=%d tid=%08x)********\n",
         "vnop_ioctl", static_cast<void*>(vp), static_cast<void*>(n), name_of(n), n ? n->attributes : 0u,
         vfs_context_pid(ctx), static_cast<unsigned>(KEL_THREAD_ID()));
}

// The rows the dispatcher serves.
struct Table {
  const mdcudfsr_fsctl_row* rows;
  std::size_t count;
};

// The row of a masked code for this kind of vnode; null when none.
const mdcudfsr_fsctl_row* find_row(const Table& table, std::uint32_t code, bool root) {
  const auto want = root ? mdcudfsr_fsctl_vnode::volume : mdcudfsr_fsctl_vnode::file;
  for (std::size_t i = 0; i < table.count; ++i) {
    const mdcudfsr_fsctl_row& r = table.rows[i];
    if (r.code == code && (r.vnode == want || r.vnode == mdcudfsr_fsctl_vnode::any)) return &r;
  }
  return nullptr;
}

// Codes whose direction carries a record need one; the buffer flush alone
// is also sent without (it then means flags 0).
bool record_missing(std::uint32_t code, const void* data) {
  return (code & 0xC0000000u) && !data && code != MDCFSCTL_FLUSH_VOLUME_BUFFERS;
}

// The row's pre-check; 0 or 1 (refused, logged with the failed check).
int pre_check(const mdcudfsr_fsctl_row& row, mdcudfsr_mount* mnt, kel_pid_t pid) {
  if (row.check == mdcudfsr_fsctl_check::privileged_access && !mdcudfsr_check_privileged_access(mnt, pid)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsr_check_privileged_access( mdcudfsrmp, pid )");
    return 1;
  }
  if (row.check == mdcudfsr_fsctl_check::privileged_process && !mdcudfsr_is_privileged_process(mnt, pid)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsr_is_privileged_process( mdcudfsrmp, pid )");
    return 1;
  }
  return 0;
}

// The handler under the row's lock. *released when the node was unlocked.
int run_row(const mdcudfsr_fsctl_row& row, const mdcudfsr_fsctl_call& call, bool* released) {
  switch (row.action) {
    case mdcudfsr_fsctl_action::slot_lock: {
      std::lock_guard<std::mutex> g(call.mnt->slot_mutex);
      return row.handler(call);
    }
    case mdcudfsr_fsctl_action::slot_lock_last: {
      std::lock_guard<std::mutex> g(call.mnt->slot_mutex);
      const int err = mdcudfsr_disc_change(call.mnt, 0x99, 0, call.ctx, 0);
      if (err) {
        VN_LOGK(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", 5);
        return KEL_EIO;
      }
      return row.handler(call);
    }
    case mdcudfsr_fsctl_action::node_released:
      mdcudfsr_cache_unlock_node(call.node);
      *released = true;
      return row.handler(call);
    default:
      return row.handler(call);
  }
}

// GET_STATFS_SIZEINFO: for any vnode, under the root node's lock.
int statfs_sizeinfo(const Table& table, vnode_t vp, void* data, vfs_context_t ctx) {
  auto* n = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp));
  if (!n || mdcudfsr_is_inactive(n)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "tmpnode && tmpnode->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    return KEL_ENOENT;
  }
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "tmpnode->mdcudfsrmp");
    return KEL_EINVAL;
  }
  const mdcudfsr_fsctl_row* row = find_row(table, MDCFSCTL_GET_STATFS_SIZEINFO, true);
  mdcudfsr_cache_node* root = mnt->root_node;
  if (!root) return KEL_EINVAL;
  mdcudfsr_cache_lock_node(root, 0xFFFFFFFFu);
  VN_LOG(KEL_LOG_DEBG, "[vnop_ioctl] [%s] Command=%08x type:%d\n", name_of(root), MDCFSCTL_GET_STATFS_SIZEINFO,
         static_cast<int>(root->kind));
  int err = KEL_EINVAL;
  if (row && !record_missing(MDCFSCTL_GET_STATFS_SIZEINFO, data))
    err = row->handler({mnt, root, MDCFSCTL_GET_STATFS_SIZEINFO, data, ctx, vfs_context_pid(ctx)});
  mdcudfsr_cache_unlock_node(root);
  return err;
}

// Every other code, under the vnode's node lock.
int dispatch(const Table& table, vnode_t vp, std::uint32_t code, void* data, vfs_context_t ctx) {
  mdcudfsr_cache_node* n = mdcudfsr_cache_get_node(vp, 1);
  if (!n) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp && mdcudfsrcnp->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    return KEL_ENOENT;
  }
  int err = 0;
  bool released = false;
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  const mdcudfsr_fsctl_row* row = nullptr;
  if (mdcudfsr_is_inactive(n)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp && mdcudfsrcnp->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    err = KEL_ENOENT;
  } else if (!mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    err = KEL_EINVAL;
  } else {
    VN_LOG(KEL_LOG_DEBG, "[vnop_ioctl] [%s] Command=%08x type:%d\n", name_of(n), code, static_cast<int>(n->kind));
    const kel_pid_t pid = vfs_context_pid(ctx);
    row = find_row(table, code, vnode_isvroot(vp) != 0);
    if (!row) err = KEL_EINVAL;
    else if (record_missing(code, data)) err = KEL_EINVAL;
    else if ((err = pre_check(*row, mnt, pid)) == 0)
      err = run_row(*row, {mnt, n, code, data, ctx, pid}, &released);
  }
  if (!released) mdcudfsr_cache_unlock_node(n);
  return err;
}

}  // namespace

int mdcudfsr_mdcfsctrl_debug_nop(mdcudfsr_mount* mnt, const void* data, kel_pid_t pid) {
  std::uint32_t magic = 0;
  if (data) magic = *static_cast<const std::uint32_t*>(data);
  VN_LOGK(KEL_LOG_INFO, "mp=0x%08x magic=0x%08x (pid=%d)",
          static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(mnt)), magic, pid);
  return 0;
}

int mdcudfsr_fsctl_dispatch(void* args, const mdcudfsr_fsctl_row* rows, std::size_t count) {
  auto* a = static_cast<vnop_ioctl_args*>(args);
  if (!a || !a->a_vp) return KEL_EINVAL;
  trace_entry(a->a_vp, a->a_context);
  const Table table{rows, count};
  const int err = a->a_command == MDCFSCTL_GET_STATFS_SIZEINFO
                      ? statfs_sizeinfo(table, a->a_vp, a->a_data, a->a_context)
                      : dispatch(table, a->a_vp, a->a_command, a->a_data, a->a_context);
  KEL_LOG_AS("mdcudfsr_vnop_ioctl", KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_EXIT, "err=%d", err);
  return err;
}

int mdcudfsr_vnop_ioctl(void* args) {
  return mdcudfsr_fsctl_dispatch(args, mdcudfsr_fsctl_rows(), mdcudfsr_fsctl_row_count());
}
