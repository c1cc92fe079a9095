// Remove and rmdir: a name leaves its directory.
#include "kelagent/vfam_client.h"
#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"
#include "namespace_common.h"
#include "udf/udf_names.h"
#include "vnops_log.h"

using namespace vnops_ns;

namespace {

constexpr const char* kExclusive = "The volume is used exclusively. File:";

// One removal in progress.
struct Op {
  const char* op;
  mdcudfsr_mount* mnt = nullptr;
  mdcudfsr_cache_node* parent = nullptr;
  mdcudfsr_cache_node* node = nullptr;
  mdcudfsr_cache_node* parity = nullptr;  // locked while truncated
  vnode_t vp = nullptr;
  vfs_context_t ctx = nullptr;
  kel_pid_t pid = -1;
  bool own_event = false;  // a refusal wrote its own event line
};

void fail_step(int err) {
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
}

// Out of the parent's per-parent unique-id list and its unique-id index.
void drop_from_indexes(mdcudfsr_cache_node* parent, mdcudfsr_cache_node* node) {
  const int err = mdcudfsr_remove_list_by_unique_id(parent, node);
  if (err) VN_LOG(KEL_LOG_ERR, "failed remove Unique ID list err=%d\n", err);
  if (parent->uid_root) parent->uid_root = mdcudfsr_avl_delete(parent, parent->uid_root, node, node->uid_key);
  if (!parent->uid_root)
    VN_LOG(KEL_LOG_DEBG, "failed AVL list unique id=%lld\n", static_cast<long long>(node->uid_key));
}

void clear_recovery(Op& op, mdcudfsr_cache_node* file) {
  const std::uint64_t id = mdcudfsr_node_unique_id(file);
  mdcudfsr_mdcfsctrl_clear_recovery_required_file(op.mnt, &id, op.ctx);
}

// A parity file loses its place in its master's entry.
void detach_parity(Op& op) {
  mdcudfsr_cache_node* master = op.node->stream_owner;
  mdcudfsr_cache_set_parent_dirty(master);
  mdcudfsr_cache_inactivate_node(op.node, 0);
  if (mdcudfsr_udf_data* d = master->udf_data) {
    d->efe.stream_directory_icb = long_ad{};
    d->efe.link_cnt = 1;
    d->efe.object_size = d->efe.inf_len;
    d->std_loc = d->replace_std_loc = MDCUDFSR_INVALID_LBN;
  }
}

void take_out_file(Op& op) {
  mdcudfsr_cache_set_parent_dirty(op.node);
  if (mdcudfsr_cache_is_dollar_proxyfile(op.node)) {
    mdcudfsr_cache_inactivate_node(op.node, 0);
    return;
  }
  mdcudfsr_cache_inactivate_node(op.node, 1);
  if (op.node->kind == MDCUDFSR_NODE_UDF) drop_from_indexes(op.parent, op.node);
}

// The part every removed file of kind 1 or 2 shares.
int common_tail(Op& op) {
  mdcudfsr_cache_node* f = op.node;
  auto* parity = f->parity_node ? mdcudfsr_cnp(f->parity_node) : nullptr;
  mdcudfsr_cache_node* master = f->stream_owner;
  if (parity) mdcudfsr_cache_inactivate_node(parity, 0);
  if (master) master->parity_node = nullptr;
  if (f->kind == MDCUDFSR_NODE_UDF) {
    mdcudfsr_cache_set_file_size(f, 0);
    if (parity) {
      mdcudfsr_cache_lock_node(parity, MDCUDFSR_WAIT_FOREVER);
      op.parity = parity;
      mdcudfsr_cache_set_file_size(parity, 0);
    }
  }
  if (!mdcudfsr_cache_is_dollar_proxyfile(f)) {
    clear_recovery(op, f);
    touch_times(op.mnt, op.parent);
    mdcudfsr_update_vol_last_modification_time(op.mnt);
  }
  op.parent->dir_dirty = 2;
  mdcudfsr_privileged_open_list_remove(op.mnt, f);
  const int err = mdcudfsr_update_session(op.mnt, op.ctx, 1);
  if (err) return err;
  mdcudfsr_update_vol_last_partial_flush_time(op.mnt);
  cache_purge(op.vp);
  if (master) master->parity_node = nullptr;
  return 0;
}

int remove_virtual(Op& op) {
  if (!op.node->vfam_data) {
    VN_LOG(KEL_LOG_INFO, "[vnop_remove] no vfam_data\n");
    return 1;
  }
  const int err = mdcudfsr_vfam_remove(op.node);
  if (err) return err;
  mdcudfsr_cache_inactivate_node(op.node, 0);
  if (op.parent->uid_root)
    op.parent->uid_root = mdcudfsr_avl_delete(op.parent, op.parent->uid_root, op.node, op.node->uid_key);
  return 0;
}

int remove_master(Op& op) {
  if (!op.node->write_open) return 0;
  if (!op.node->vfam_data) {
    VN_LOG(KEL_LOG_INFO, "[vnop_remove] no vfam_data\n");
    return 1;
  }
  if (mdcudfsr_user_layer_block(op.mnt, op.pid)) return KEL_EINVAL;
  const int err = mdcudfsr_vfam_remove(op.node);
  if (err) return err;
  mdcudfsr_cache_inactivate_node(op.node, 0);
  mdcudfsr_cache_set_file_size(op.node, 0);
  drop_from_indexes(op.parent, op.node);
  const std::uint64_t id = mdcudfsr_node_unique_id(op.node);
  return mdcudfsr_mdcfsctrl_clear_recovery_required_file(op.mnt, &id, op.ctx);
}

int remove_by_kind(Op& op) {
  switch (op.node->kind) {
    case MDCUDFSR_NODE_UDF:
    case MDCUDFSR_NODE_PROXY:
      if (op.node->stream_owner) detach_parity(op);
      else take_out_file(op);
      return common_tail(op);
    case MDCUDFSR_NODE_VIRTUAL:
      return remove_virtual(op);
    case MDCUDFSR_NODE_MASTER:
      return remove_master(op);
    default:
      return 0;
  }
}

// Refusals and lookups of remove after the parent is held; 0 to go on.
// The node of the object to remove, active, and the limited-access pass;
// 0, 2 (no active node) or 16 (another process holds the volume).
int take_node(Op& op, vnode_t vp, const char* tag) {
  op.node = mdcudfsr_cache_get_node(vp, 1);
  if (!usable(op.node)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp && mdcudfsrcnp->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    return KEL_ENOENT;
  }
  if (!mdcudfsr_pass_limited_access_mode(op.mnt, op.pid)) {
    VN_LOG(KEL_LOG_INFO, "[%s] not operation for limited access mode\n", tag);
    mdcudfsr_vnop_print_errlog(op.parent, 16, name_of(op.node), kExclusive, op.ctx);
    op.own_event = true;
    return KEL_EBUSY;
  }
  VN_LOG(KEL_LOG_DEBG, "[%s] [%s] type:%d\n", tag, name_of(op.node), static_cast<int>(op.node->kind));
  return 0;
}

// Whether a handle still has the object open: opened for reading (files and
// folders count their readers), for writing, or through the VFAM channel.
bool still_open(const mdcudfsr_cache_node* n) { return n->open_count > 0 || n->write_open || n->open_mode != 0; }

// An object some handle still has open keeps its node, and so its vnode:
// 16 (busy).
int refuse_open(const Op& op) {
  if (!still_open(op.node)) return 0;
  VN_LOG(KEL_LOG_ERR, "[%s] %s is open (readers %u, write open %d)\n", op.op, name_of(op.node),
         static_cast<unsigned>(op.node->open_count), static_cast<int>(op.node->write_open));
  return KEL_EBUSY;
}

int remove_checks(Op& op, vnop_remove_args* a) {
  if (read_only(op.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_remove] read only mount mode\n");
    return mdcudfsr_readonly_error(op.mnt);
  }
  if (no_edit(op.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_remove] not operation for noedit mode\n");
    return 1;
  }
  int err = mdcudfsr_wait_vfam_mounted(op.mnt, op.parent, op.ctx);
  if (err) return err;
  if (const int err = take_node(op, a->a_vp, "vnop_remove")) return err;
  if ((a->a_flags & VNODE_REMOVE_NODELETEBUSY) && vnode_isinuse(a->a_vp, 0)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( flags & VNODE_REMOVE_NODELETEBUSY ) || !vnode_isinuse( vp, 0 )");
    return KEL_EBUSY;
  }
  if (const int err = refuse_open(op)) return err;
  return op.node->kind == MDCUDFSR_NODE_UDF ? open_session_before_change(op.mnt, op.ctx) : 0;
}

// After a failure the parent's reported times move by one second.
void unlock_nodes(Op& op, int err) {
  if (op.parity) mdcudfsr_cache_unlock_node(op.parity);
  if (op.node) mdcudfsr_cache_unlock_node(op.node);
  if (err) op.parent->time_adjust = op.parent->time_adjust ? 0 : 1;
  mdcudfsr_cache_unlock_node(op.parent);
}

int do_remove(vnop_remove_args* a) {
  if (!a->a_vp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "vp");
    return KEL_EINVAL;
  }
  if (vnode_isdir(a->a_vp)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!vnode_isdir( vp )");
    return KEL_EISDIR;
  }
  Op op{"vnop_remove"};
  op.vp = a->a_vp;
  op.ctx = a->a_context;
  op.pid = vfs_context_pid(op.ctx);
  op.parent = mdcudfsr_cache_get_real_parent(a->a_dvp);
  if (!op.parent) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent");
    return KEL_ENOENT;
  }
  op.mnt = op.parent->mdcudfsrmp;
  if (!op.mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    mdcudfsr_cache_unlock_node(op.parent);
    return KEL_EINVAL;
  }
  int err = remove_checks(op, a);
  const std::uint64_t size = op.node && !err ? mdcudfsr_cache_get_file_size(op.node) : 0;
  if (!err) err = remove_by_kind(op);
  fail_step(err);
  if (!err && op.node->kind == MDCUDFSR_NODE_UDF && !mdcudfsr_cache_is_dollar_proxyfile(op.node)) {
    std::uint32_t result = 0;
    mdcudfsr_vfam_cache_delete(op.node, mdcudfsr_node_unique_id(op.node), &result);
  }
  mdcudfsr_cache_node* node = op.node;
  unlock_nodes(op, err);
  if (!err && size) {
    VN_LOG(KEL_LOG_INFO, "##### mdcudfsr_vnop_remove force_sync true\n");
    op.mnt->flush_state = 1;
  }
  if (node && node->kind == MDCUDFSR_NODE_UDF && !op.own_event)
    mdcudfsr_log_delete(op.mnt, node, err ? static_cast<int>(KELUDFS_ERR_REMOVE) : 0, 1);
  return err;
}

// ---- rmdir

int rmdir_checks(Op& op, vnop_rmdir_args* a) {
  if (read_only(op.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_rmdir] read only mount mode\n");
    return mdcudfsr_readonly_error(op.mnt);
  }
  if (no_edit(op.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_rmdir] not operation for noedit mode\n");
    return 1;
  }
  if (const int err = take_node(op, a->a_vp, "vnop_rmdir")) return err;
  if (is_root(op.mnt, op.parent) && is_dollar_name(op.node->vfs_name)) {
    VN_LOG(KEL_LOG_ERR, "cant rmdir $ or $$\n");
    return KEL_ENOTSUP;
  }
  if (const int err = refuse_open(op)) return err;
  if (!mdcudfsr_cache_is_dir_empty(op.node)) {
    mdcudfsr_vnop_print_errlog(
        op.parent, 39, name_of(op.node),
        "Deleting the folder failed because the folder contains file/folder(s). File:", op.ctx);
    op.own_event = true;
    return KEL_ENOTEMPTY;
  }
  return 0;
}

int take_out_dir(Op& op) {
  int err = mdcudfsr_cache_inactivate_node(op.node, 1);
  if (err || op.node->kind != MDCUDFSR_NODE_UDF) return err;
  touch_times(op.mnt, op.parent);
  err = mdcudfsr_cache_set_parent_dirty(op.node);
  if (err) return err;
  drop_from_indexes(op.parent, op.node);
  mdcudfsr_update_vol_last_modification_time(op.mnt);
  op.parent->dir_dirty = 2;
  err = mdcudfsr_update_session(op.mnt, op.ctx, 1);
  if (!err) mdcudfsr_update_vol_last_partial_flush_time(op.mnt);
  return err;
}

int do_rmdir(vnop_rmdir_args* a) {
  if (!a->a_vp) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "vp");
    return KEL_EINVAL;
  }
  if (!vnode_isdir(a->a_vp)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "vnode_isdir( vp )");
    return KEL_ENOTDIR;
  }
  Op op{"vnop_rmdir"};
  op.vp = a->a_vp;
  op.ctx = a->a_context;
  op.pid = vfs_context_pid(op.ctx);
  op.parent = mdcudfsr_cache_get_real_parent(a->a_dvp);
  if (!usable(op.parent)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "parent && parent->status != MDCUDFSR_NODE_STATUS_INACTIVE");
    if (op.parent) mdcudfsr_cache_unlock_node(op.parent);
    return KEL_ENOENT;
  }
  op.mnt = op.parent->mdcudfsrmp;
  if (!op.mnt) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    mdcudfsr_cache_unlock_node(op.parent);
    return KEL_EINVAL;
  }
  int err = rmdir_checks(op, a);
  if (!err) err = take_out_dir(op);
  fail_step(err);
  if (!err) cache_purge(op.vp);
  mdcudfsr_cache_node* node = op.node;
  unlock_nodes(op, err);
  if (node && node->kind == MDCUDFSR_NODE_UDF && !op.own_event)
    mdcudfsr_log_delete(op.mnt, node, err ? static_cast<int>(KELUDFS_ERR_RMDIR) : 0, 0);
  return err;
}

template <typename Args, typename Fn>
int framed(const char* op, void* args, Fn fn) {
  auto* a = static_cast<Args*>(args);
  if (!a) return KEL_EINVAL;
  trace_enter(op, a->a_vp, a->a_context);
  const int err = fn(a);
  KEL_LOG_AS(op, KEL_LOG_INFO, KEL_MOD_FUSE, KEL_MARK_EXIT, "err=%d", err);
  return err;
}

}  // namespace

int mdcudfsr_vnop_remove(void* args) { return framed<vnop_remove_args>("mdcudfsr_vnop_remove", args, do_remove); }
int mdcudfsr_vnop_rmdir(void* args) { return framed<vnop_rmdir_args>("mdcudfsr_vnop_rmdir", args, do_rmdir); }
