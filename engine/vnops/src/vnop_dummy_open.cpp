// The node-level open and close of the file-allocation control requests:
// the open and close without a vnode operation's frame.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "proxy_teardown.h"
#include "vnop_frame.h"

#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_session.h"

namespace {

int dummy_open_file_for_write(mdcudfsr_cache_node* n, int mode, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  if (n->open_count != 0 || n->write_open) return 1;
  n->write_open = 1;
  n->kind = MDCUDFSR_NODE_MASTER;
  n->open_mode = mode & 3;
  int err = mdcudfsr_cache_alloc_vfam_data(mnt, n);
  if (err == 0) err = mdcudfsr_cache_create_proxy_node(mnt, n, 0, nullptr);
  if (err == 0 && mdcudfsr_user_layer_block(mnt, vfs_context_pid(ctx))) err = KEL_EINVAL;
  if (err == 0) err = mdcudfsr_cache_set_parent_dirty(n);
  if (err == 0) err = mdcudfsr_update_session(mnt, ctx, 1);
  if (err) {
    vn_teardown::undo_master(n);
    return err;
  }
  if (mode & FREAD) ++mnt->read_open_count;
  ++mnt->write_open_count;
  return 0;
}

int dummy_open_udf(mdcudfsr_cache_node* n, int mode, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  if (mdcudfsr_is_dir(n)) {
    if (mode & FWRITE) {
      int err = mdcudfsr_cache_set_parent_dirty(n);
      if (err == 0) err = mdcudfsr_update_session(mnt, ctx, 1);
      if (err) return err;
      ++mnt->write_open_count;
    }
    if (mode & FREAD) ++mnt->read_open_count;
    return 0;
  }
  if (mode & FWRITE) return dummy_open_file_for_write(n, mode, ctx);
  if (n->write_open) return 1;
  n->open_count = n->open_count + 1;
  ++mnt->read_open_count;
  return 0;
}

}  // namespace

int mdcudfsr_vnop_dummy_open(mdcudfsr_cache_node* n, int mode, vfs_context_t ctx) {
  if (n == nullptr || mdcudfsr_is_inactive(n)) return KEL_ENOENT;
  if (n->mdcudfsrmp == nullptr) return KEL_EINVAL;
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  int err = 0;
  switch (n->kind) {
    case MDCUDFSR_NODE_UDF:
      err = dummy_open_udf(n, mode, ctx);
      if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
      if (err && n->vfam_data) mdcudfsr_cache_free_vfam_data(n);
      break;
    case MDCUDFSR_NODE_MASTER:
      VN_LOG(KEL_LOG_ERR, " invalid node type:%d\n", n->kind);
      err = KEL_EINVAL;
      break;
    case MDCUDFSR_NODE_PROXY:
      VN_LOG(KEL_LOG_DEBG, "open type:[%d] name:[%s]\n", n->kind, mdcudfsr_node_name(n));
      break;
    default:
      VN_LOG(KEL_LOG_DEBG, "not open type:[%d] name:[%s]\n", n->kind, mdcudfsr_node_name(n));
      break;
  }
  mdcudfsr_cache_unlock_node(n);
  return err;
}

namespace {

// The master's proxy and the proxy's parity node among the shadow root's
// children are inactivated when no one uses their vnodes. Only these: the
// host layer keeps no use counts (vnode_isinuse answers 0), and the other
// children, such as the packed proxy file the writer still holds open,
// must stay active. The two are found through the master's links, as the
// write close finds them.
int dummy_release_shadow_children(mdcudfsr_mount* mnt, const mdcudfsr_cache_node* master) {
  mdcudfsr_cache_node* shadow = mnt->shadow_node;
  if (shadow == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "shadow_node");
    return KEL_ENOENT;
  }
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_node* ours[2];
  vn_teardown::proxy_children(shadow, master, ours);
  for (mdcudfsr_cache_node* c : ours) {
    vnode_t vp = c ? c->vp : nullptr;
    if (vp == nullptr) continue;
    if (int err = vnode_getwithvid(vp, vnode_vid(vp))) {
      VN_LOG(KEL_LOG_ERR, "vnode_getwithvid has failed (err=%d)\n", err);
      continue;
    }
    if (!vnode_isinuse(vp, 0)) {
      VN_LOG(KEL_LOG_DEBG, "proxy inactivate_node \n");
      if (int err = mdcudfsr_cache_inactivate_node(c, 0)) VN_LOG(KEL_LOG_ERR, "failed to inactivate_node err:%d\n", err);
    }
    vnode_put(vp);
  }
  mdcudfsr_cache_unlock_node(shadow);
  return 0;
}

}  // namespace

int mdcudfsr_vnop_dummy_close(mdcudfsr_cache_node* n, int fflag) {
  if (n == nullptr || mdcudfsr_is_inactive(n)) return KEL_ENOENT;
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  if (mnt == nullptr) return KEL_EINVAL;
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  int err = 0;
  if (n->kind == MDCUDFSR_NODE_MASTER && (fflag & FWRITE) && !mdcudfsr_is_dir(n)) {
    if (fflag & FREAD) --mnt->read_open_count;
    --mnt->write_open_count;
    n->open_mode = 0;
    err = mdcudfsr_vfam_return_handle(n, fflag);
    const int shadow = dummy_release_shadow_children(mnt, n);
    n->write_open = 0;
    n->kind = MDCUDFSR_NODE_UDF;
    if (n->parity_node) mdcudfsr_cnp(n->parity_node)->kind = MDCUDFSR_NODE_UDF;
    if (n->proxy) n->proxy->master = nullptr;
    n->proxy = nullptr;
    n->master = nullptr;
    if (err == 0) err = shadow;
  } else if (n->kind == MDCUDFSR_NODE_UDF || n->kind == MDCUDFSR_NODE_PROXY) {
    if (fflag & FREAD) --mnt->read_open_count;
    if (fflag & FWRITE) --mnt->write_open_count;
    if (n->kind == MDCUDFSR_NODE_UDF && n->open_count > 0) n->open_count = n->open_count - 1;
  }
  mdcudfsr_cache_unlock_node(n);
  return err;
}
