// Open, close and the release of vnodes (inactive, reclaim), and the
// node-level open and close of the file-allocation control requests.
#include "kelvnops/mdcudfsr_privileged_open_list.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "drive/client_if.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_readahead.h"
#include "kelvfs/mdcudfsr_session.h"
#include "udf/udf_lvid.h"

#include <cstring>
#include <strings.h>

#include <mutex>
#include <utility>

namespace {

// Process-wide: anti-virus processes are refused their opens. Starts
// cleared; nothing in the system sets it.
bool g_anti_virus_switch = false;

// The read-ahead's second opener: a file opened for reading while another
// one is served. Process-wide, as the read-ahead itself.
std::mutex g_second_mutex;
vnode_t g_second_opener = nullptr;

// A plain file opened for reading only becomes the read-ahead's served file
// when none is served; the next one is noted as its second opener. Done
// after the open succeeded, so that every served file gets its close.
void read_ahead_open(vn_frame& f, int mode) {
  mdcudfsr_cache_node* n = f.cnp;
  if (!mdcudfsr_cluster_read_buff_active() || mode != FREAD || n->kind != MDCUDFSR_NODE_UDF || mdcudfsr_is_dir(n) ||
      mdcudfsr_cache_is_dollar_proxyfile(n))
    return;
  std::lock_guard<std::mutex> g(g_second_mutex);
  if (mdcudfsr_cluster_read_buff_vnode() == nullptr) {
    mdcudfsr_cluster_read_buff_reset(f.vp);
    g_second_opener = nullptr;
  } else if (g_second_opener == nullptr) {
    VN_LOG(KEL_LOG_WARN, "multiple open(second) on buffer read : %s \n", mdcudfsr_node_name(n));
    g_second_opener = f.vp;
  }
}

// Closing the served file ends its read-ahead.
void read_ahead_close(vnode_t vp) {
  if (mdcudfsr_cluster_read_buff_active() && vp && mdcudfsr_cluster_read_buff_vnode() == vp)
    mdcudfsr_cluster_read_buff_reset(nullptr);
}

// Write-activity marks of a directory.
constexpr std::uint8_t kChildWriteOpened = 1, kChildNewId = 2;

bool is_dollar_in_root(const mdcudfsr_cache_node* n, const mdcudfsr_mount* mnt) {
  const char* name = mdcudfsr_node_name(n);
  const std::size_t len = std::strcspn(name, "/");
  const bool dollar = (len == 1 && name[0] == '$') || (len == 2 && name[0] == '$' && name[1] == '$');
  return dollar && mdcudfsr_parent(n) == mnt->root_node;
}

// A master's change back after a failed open: kind 1, not open for writing,
// its proxy and VFAM attributes gone.
void undo_master(mdcudfsr_cache_node* n) {
  if (n->proxy) {
    mdcudfsr_cache_node* proxy = n->proxy;
    n->proxy = nullptr;
    proxy->master = nullptr;
    mdcudfsr_cache_free_proxy_node(proxy);
  }
  n->kind = MDCUDFSR_NODE_UDF;
  n->write_open = 0;
  n->open_mode = 0;
}

// Kind 1 opened for writing: a master with its proxy, or a dollar proxy file.
int open_file_for_write(vn_frame& f, int mode) {
  mdcudfsr_cache_node* n = f.cnp;
  if (n->open_count != 0) {
    VN_LOG(KEL_LOG_ERR, " already read open \n");
    return 1;
  }
  if (n->write_open) {
    VN_LOG(KEL_LOG_ERR, " already write open \n");
    return 1;
  }
  if (mdcudfsr_cache_is_dollar_proxyfile(n)) {
    n->write_open = 1;
    n->kind = MDCUDFSR_NODE_PROXY;
    n->open_mode = mode & 3;
    if (mode & FREAD) ++f.mnt->read_open_count;
    return 0;
  }
  n->write_open = 1;
  n->kind = MDCUDFSR_NODE_MASTER;
  n->open_mode = mode & 3;
  int err = mdcudfsr_cache_alloc_vfam_data(f.mnt, n);
  if (err) VN_LOG(KEL_LOG_ERR, " not allocate vfam_data [%d]\n", err);
  if (err == 0 && (err = mdcudfsr_cache_create_proxy_node(f.mnt, n, 0, nullptr)) != 0)
    VN_LOG(KEL_LOG_ERR, " failed to proxy node err:%d\n", err);
  if (err == 0 && mdcudfsr_user_layer_block(f.mnt, f.pid)) err = 22;
  if (err == 0) err = mdcudfsr_wait_vfam_mounted(f.mnt, n, f.ctx);
  if (err == 0) err = mdcudfsr_cache_set_dirty(n);
  mdcudfsr_cache_node* parent = mdcudfsr_parent(n);
  const bool mark_parent = err == 0 && parent && parent->dir_dirty == 0;
  if (err == 0) err = mdcudfsr_update_session(f.mnt, f.ctx, 1);
  if (err) {
    undo_master(n);
    return err;
  }
  if (mark_parent) {
    parent->dir_dirty = kChildWriteOpened;
    n->parent_marked = 1;
  }
  if (mode & FREAD) ++f.mnt->read_open_count;
  ++f.mnt->write_open_count;
  if (n->udf_data->efe.inf_len != 0) {
    n->udf_data->efe.unique_id = mdcudfsr_get_next_unique_id(f.mnt);
    mdcudfsr_cache_set_parent_dirty(n);
    if (parent) parent->dir_dirty = kChildNewId;
  }
  return 0;
}

int open_udf(vn_frame& f, int mode) {
  mdcudfsr_cache_node* n = f.cnp;
  if (mdcudfsr_is_dir(n)) {
    if (mode & FWRITE) {
      int err = mdcudfsr_cache_set_dirty(n);
      if (err == 0) err = mdcudfsr_update_session(f.mnt, f.ctx, 1);
      if (err) return err;
      ++f.mnt->write_open_count;
    }
    if (mode & FREAD) ++f.mnt->read_open_count;
    // Every open of a folder counts until its close: an open folder is not
    // removed under its handle.
    n->open_count = n->open_count + 1;
    return 0;
  }
  if (mode & FWRITE) return open_file_for_write(f, mode);
  if (n->write_open) {
    VN_LOG(KEL_LOG_ERR, "Already write open\n");
    return 1;
  }
  n->open_count = n->open_count + 1;
  ++f.mnt->read_open_count;
  return 0;
}

// A proxy opened for writing enters the mount's privileged open list.
int open_proxy(vn_frame& f, int mode) {
  mdcudfsr_cache_node* n = f.cnp;
  if (mdcudfsr_cache_is_authorized(n, FWRITE, f.ctx) != 0) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!mdcudfsr_cache_is_authorized( mdcudfsrcnp, FWRITE, context )");
    return 1;
  }
  if (mode & FREAD) ++f.mnt->read_open_count;
  if (!(mode & FWRITE)) return 0;
  ++f.mnt->write_open_count;
  return mdcudfsr_privileged_open_list_add(f.mnt, n);
}

int open_by_kind(vn_frame& f, int mode) {
  mdcudfsr_cache_node* n = f.cnp;
  switch (n->kind) {
    case MDCUDFSR_NODE_UDF:
      return open_udf(f, mode);
    case MDCUDFSR_NODE_PROXY:
      return open_proxy(f, mode);
    case MDCUDFSR_NODE_VIRTUAL: {
      if (mdcudfsr_user_layer_block(f.mnt, f.pid)) return 22;
      std::uint64_t handle = 0;
      int opened = 0;
      if (int err = mdcudfsr_vfam_get_handle(n, mode, &handle, &opened)) {
        VN_LOG(KEL_LOG_ERR, " VFAM OPEN err [%s] err:%d \n", mdcudfsr_node_name(n), err);
        return err;
      }
      n->open_mode = mode & 3;
      return 0;
    }
    case MDCUDFSR_NODE_MASTER:
      if (n->write_open)
        mdcudfsr_vnop_print_errlog(mdcudfsr_parent(n), 22, mdcudfsr_node_name(n),
                                   "Opening the file failed because the file is already opened exclusively. File:",
                                   f.ctx);
      VN_LOG(KEL_LOG_ERR, "open master node invalid!!\n");
      return 22;
    default:
      if (is_dollar_in_root(n, f.mnt)) {
        VN_LOG(KEL_LOG_ERR, "can't open $ (or $$) dir, status: ENOENT \n");
        return 2;
      }
      return 0;
  }
}

}  // namespace

int mdcudfsr_vnop_open(void* a) {
  auto* ap = static_cast<vnop_open_args*>(a);
  vn_frame f{"vnop_open", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  VN_LOG(KEL_LOG_DEBG, "[%s](tid=%08x) %s:%d open mode=0x%08x\n", f.mnt->volume_name[0] ? f.mnt->volume_name : "UNKNOWN",
         static_cast<unsigned>(KEL_THREAD_ID()), __func__, __LINE__, ap->a_mode);
  int err = 0;
  if (ap->a_mode & FWRITE) err = vn_refuse_modify(f);
  if (err == 0 && g_anti_virus_switch && mdcudfsr_process_anti_virus_check(f.mnt, f.pid)) {
    VN_LOG(KEL_LOG_ERR, "Anti Virus Process is open\n");
    err = 22;
  }
  VN_LOG(KEL_LOG_DEBG, "[vnop_open] [%s] type:%d mode:0x%x\n", mdcudfsr_node_name(f.cnp), f.cnp->kind, ap->a_mode);
  const bool kind1 = f.cnp->kind == MDCUDFSR_NODE_UDF;
  if (err == 0) err = open_by_kind(f, ap->a_mode);
  if (err == 0 && kind1) read_ahead_open(f, ap->a_mode);
  // A refused open leaves the node in its folder; only VFAM attributes it
  // may have got go again.
  if (err && kind1 && f.cnp->kind == MDCUDFSR_NODE_UDF && f.cnp->vfam_data) mdcudfsr_cache_free_vfam_data(f.cnp);
  return vn_leave(f, err);
}

namespace {

// Whether a node stands among the shadow root's children (a node's sibling
// links belong to its parent's children list alone).
bool in_shadow(const mdcudfsr_cache_node* shadow, const mdcudfsr_cache_node* n) {
  return n && mdcudfsr_parent(n) == shadow && (n->sibling.prev || n->sibling.next || shadow->children.first == n);
}

// Whether a comes before b in the children list both stand in: searched
// from a both ways, so the cost is their distance, not the list's length.
bool comes_before(const mdcudfsr_cache_node* a, const mdcudfsr_cache_node* b) {
  for (const mdcudfsr_cache_node *ahead = a->sibling.next, *behind = a->sibling.prev; ahead || behind;) {
    if (ahead == b) return true;
    if (behind == b) return false;
    if (ahead) ahead = ahead->sibling.next;
    if (behind) behind = behind->sibling.prev;
  }
  return true;
}

// The proxy of a master and the proxy's parity node, those of the two that
// stand among the shadow root's children, in the order they stand there
// (the rest null). They are found through the master, never by walking the
// children: every closed file leaves its inactive proxy there until the
// unmount.
void proxy_children(const mdcudfsr_cache_node* shadow, const mdcudfsr_cache_node* master,
                    mdcudfsr_cache_node* ours[2]) {
  ours[0] = ours[1] = nullptr;
  mdcudfsr_cache_node* proxy = master->proxy;
  if (proxy == nullptr) return;
  mdcudfsr_cache_node* parity = proxy->parity_node ? mdcudfsr_cnp(proxy->parity_node) : nullptr;
  std::size_t n = 0;
  if (in_shadow(shadow, proxy)) ours[n++] = proxy;
  if (parity && parity != proxy && in_shadow(shadow, parity)) ours[n++] = parity;
  if (n == 2 && !comes_before(proxy, parity)) std::swap(ours[0], ours[1]);
}

// Inactivates the proxy of a master and the proxy's parity node among the
// shadow root's children, in the order they stand there; the last failure.
int release_proxy_children(vn_frame& f) {
  mdcudfsr_cache_node* shadow = f.mnt->shadow_node;
  if (shadow == nullptr) return 2;
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_node* ours[2];
  proxy_children(shadow, f.cnp, ours);
  int last = 0;
  for (mdcudfsr_cache_node* c : ours) {
    if (c == nullptr) continue;
    mdcudfsr_cache_lock_node(c, MDCUDFSR_WAIT_FOREVER);
    if (c->vp) {
      if (int err = mdcudfsr_cache_inactivate_node(c, 0)) {
        VN_LOG(KEL_LOG_ERR, "failed to inactivate_node err:%d\n", err);
        last = err;
      }
    } else {
      VN_LOG(KEL_LOG_DEBG, "vnode is NULL\n");
    }
    mdcudfsr_cache_unlock_node(c);
  }
  mdcudfsr_cache_unlock_node(shadow);
  return last;
}

// A proxy's vnode is released: the node inactive and its vnode recycled,
// the vnode detached from it, the node freed.
int release_proxy(vn_frame& f, mdcudfsr_cache_node* proxy) {
  int err = mdcudfsr_cache_inactivate_node(proxy, 0);
  if (err == 0 && proxy->vp) {
    vnop_inactive_args ia{&vnop_inactive_desc, proxy->vp, f.ctx};
    err = mdcudfsr_vnop_inactive(&ia);
  }
  if (err == 0 && proxy->vp) err = mdcudfsr_cache_reclaim_vnode(proxy->vp, f.ctx);
  if (err == 0) err = mdcudfsr_cache_clean_up_inactive_node(proxy);
  return err;
}

// Proxies the parity node had before (inactive, waiting in the shadow root
// for their vnodes' reclaim) share its entry data: they let go of it before
// the node is freed.
void detach_old_parity_proxies(vn_frame& f, mdcudfsr_cache_node* parity) {
  mdcudfsr_cache_node* shadow = f.mnt->shadow_node;
  if (shadow == nullptr) return;
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  for (mdcudfsr_cache_node* c = shadow->children.first; c; c = c->sibling.next) {
    if (c->master != parity) continue;
    c->master = nullptr;
    if (c->udf_data == parity->udf_data) c->udf_data = nullptr;
  }
  mdcudfsr_cache_unlock_node(shadow);
}

// On F2h media a closed master keeps its parity as parity information built
// from the parity file; the parity file's node and both proxies go.
int parity_to_info(vn_frame& f) {
  mdcudfsr_cache_node* n = f.cnp;
  mdcudfsr_cache_node* parity = mdcudfsr_cnp(n->parity_node);
  mdcudfsr_cache_node* tmp = parity;
  int err = mdcudfsr_cache_parity_info_creating_from_parity(f.mnt, mdcudfsr_parent(n), &tmp, &n->parity_info, 0);
  if (err == 0 && parity->proxy) {
    mdcudfsr_cache_node* pp = parity->proxy;
    parity->proxy = nullptr;
    if (n->proxy && n->proxy->parity_node == pp) n->proxy->parity_node = nullptr;
    err = release_proxy(f, pp);
  }
  if (err == 0 && n->proxy) {
    mdcudfsr_cache_node* proxy = n->proxy;
    n->proxy = nullptr;
    proxy->master = nullptr;
    err = release_proxy(f, proxy);
  }
  if (err == 0) err = mdcudfsr_cache_inactivate_node(parity, 0);
  if (err == 0) {
    detach_old_parity_proxies(f, parity);
    parity->stream_owner = nullptr;
    n->parity_node = nullptr;
    err = mdcudfsr_cache_clean_up_inactive_node(parity);
  }
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// The master forgets its proxy. The proxy and its parity proxy, made
// inactive by the close and waiting for their vnodes' reclaim, let go of
// the nodes they named, which may be freed before them.
void forget_proxy(mdcudfsr_cache_node* n) {
  mdcudfsr_cache_node* proxy = n->proxy;
  n->proxy = nullptr;
  n->master = nullptr;
  if (proxy == nullptr) return;
  if (proxy->parity_node) {
    mdcudfsr_cache_node* pp = mdcudfsr_cnp(proxy->parity_node);
    if (pp->master && pp->master->proxy == pp) pp->master->proxy = nullptr;
    pp->master = nullptr;
    pp->stream_owner = nullptr;
    proxy->parity_node = nullptr;
  }
  proxy->master = nullptr;
  proxy->stream_owner = nullptr;
}

int close_master(vn_frame& f, int fflag) {
  mdcudfsr_cache_node* n = f.cnp;
  if (mdcudfsr_is_dir(n)) {
    VN_LOG(KEL_LOG_WARN, "target is directory but master node\n");
    return 0;
  }
  if (fflag & FREAD) --f.mnt->read_open_count;
  if (fflag & FWRITE) --f.mnt->write_open_count;
  n->open_mode = 0;
  n->write_total = 0;
  n->close_mark = 1;
  const int vfam_err = mdcudfsr_vfam_return_handle(n, fflag);
  n->close_mark = 0;
  if (!(fflag & FWRITE)) return vfam_err;
  if (f.mnt->shadow_node == nullptr) return 2;
  const int status = release_proxy_children(f);
  if (n->udf_data && n->udf_data->efe_loc == MDCUDFSR_INVALID_LBN) n->unwritten_release = 1;
  n->write_open = 0;
  n->kind = MDCUDFSR_NODE_UDF;
  if (n->parity_node) {
    mdcudfsr_cnp(n->parity_node)->kind = MDCUDFSR_NODE_UDF;
    if (f.mnt->medium_type == 0xF2 && !mdcudfsr_privileged_open_list_has(f.mnt, n)) {
      if (int err = parity_to_info(f)) return err;
    }
  }
  forget_proxy(n);
  if (vfam_err || status) {
    VN_LOG(KEL_LOG_WARN, "VFAM CLOSE or other failed vfam_err=%d Status=%d\n", vfam_err, status);
    const int e = vfam_err ? vfam_err : status;
    if (e != 28 && e != 1) mdcudfsr_report_error(f.mnt, 1, f.ctx);
  }
  return vfam_err;
}

bool in_recovery_list(const mdcudfsr_mount* mnt, const mdcudfsr_cache_node* n) {
  for (std::uint32_t i = 0; i < mnt->recovery_count && i < 14; ++i)
    if (mnt->recovery_nodes[i] == n) return true;
  return false;
}

int close_udf_or_proxy(vn_frame& f, int fflag) {
  mdcudfsr_cache_node* n = f.cnp;
  mdcudfsr_cache_unlock_node(n);
  const int pushed = cluster_push(f.vp, 0x404);
  if (pushed) VN_LOG(KEL_LOG_WARN, "cluster_push non-zero return=%d\n", pushed);
  mdcudfsr_cache_lock_node(n, MDCUDFSR_WAIT_FOREVER);
  if (fflag & FREAD) --f.mnt->read_open_count;
  if (fflag & FWRITE) {
    --f.mnt->write_open_count;
    if ((n->attributes & MDCUDFSR_NODE_ATTR_MANUAL_ALLOCATION) && !mdcudfsr_is_inactive(n)) {
      if (int err = mdcudfsr_cache_set_file_size(n, n->recorded_length)) {
        VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
        return err;
      }
    }
    if (n->kind == MDCUDFSR_NODE_PROXY && mdcudfsr_cache_is_dollar_proxyfile(n)) {
      n->kind = MDCUDFSR_NODE_UDF;
      n->write_open = 0;
      n->open_mode = 0;
    } else if (n->kind == MDCUDFSR_NODE_PROXY && n->master) {
      mdcudfsr_cache_update_zoneid_map(n->master);
    }
  }
  if (n->kind == MDCUDFSR_NODE_UDF && n->open_count > 0) n->open_count = n->open_count - 1;
  if (in_recovery_list(f.mnt, n)) return mdcudfsr_update_recovery_req_file(f.mnt, n, f.ctx);
  return 0;
}

}  // namespace

int mdcudfsr_vnop_close(void* a) {
  auto* ap = static_cast<vnop_close_args*>(a);
  vn_frame f{"vnop_close", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  VN_LOG(KEL_LOG_DEBG, "[vnop_close] [%s] type:%d \n", mdcudfsr_node_name(f.cnp), f.cnp->kind);
  read_ahead_close(f.vp);
  int err = 0;
  switch (f.cnp->kind) {
    case MDCUDFSR_NODE_UDF:
    case MDCUDFSR_NODE_PROXY:
      err = close_udf_or_proxy(f, ap->a_fflag);
      break;
    case MDCUDFSR_NODE_MASTER:
      err = close_master(f, ap->a_fflag);
      break;
    case MDCUDFSR_NODE_VIRTUAL:
      f.cnp->open_mode = 0;
      err = mdcudfsr_vfam_return_handle(f.cnp, ap->a_fflag);
      if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
      break;
    default:
      break;
  }
  return vn_leave(f, err);
}

int mdcudfsr_vnop_inactive(void* a) {
  auto* ap = static_cast<vnop_inactive_args*>(a);
  VN_LOG(KEL_LOG_DEBG, "vnode=%p", static_cast<void*>(ap->a_vp));
  const kel_pid_t pid = vfs_context_pid(ap->a_context);
  char name[128] = {};
  proc_name(pid, name, sizeof name);
  int lock = 1;
  mdcudfsr_cache_node* probe = ap->a_vp ? static_cast<mdcudfsr_cache_node*>(vnode_fsnode(ap->a_vp)) : nullptr;
  if (std::strcmp(name, "umount") == 0) {
    lock = 0;
  } else if (std::strcmp(name, "KelFsCacheAgent") == 0 && probe && probe->mdcudfsrmp) {
    mdc_channel* ch = probe->mdcudfsrmp->metacachedev;
    if (ch && mdcudfsr_metacache_get_agent_pid(ch) == pid) lock = 0;
    else VN_LOG(KEL_LOG_DEBG, "other fscache %x %x", pid, ch ? static_cast<int>(mdcudfsr_metacache_get_agent_pid(ch)) : 0);
  }
  if (!lock) VN_LOG(KEL_LOG_DEBG, "unlock inactive %s", name);
  int locked = 0;
  mdcudfsr_cache_node* n = ap->a_vp ? mdcudfsr_cache_get_node_ex(ap->a_vp, lock, &locked, 60, 1000, 0xFFFFFFFFu)
                                    : nullptr;
  if (n == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp");
    return 2;
  }
  VN_LOG(KEL_LOG_DEBG, "[vnop_inactive] [%s] type:%d\n", mdcudfsr_node_name(n), n->kind);
  if (mdcudfsr_is_inactive(n)) vnode_recycle(ap->a_vp);
  if (locked) mdcudfsr_cache_unlock_node(n);
  return 0;
}

int mdcudfsr_vnop_reclaim(void* a) {
  auto* ap = static_cast<vnop_reclaim_args*>(a);
  VN_LOG(KEL_LOG_DEBG, "vnode=%p", static_cast<void*>(ap->a_vp));
  mdcudfsr_cache_reclaim_vnode(ap->a_vp, ap->a_context);
  return 0;
}

namespace {

int dummy_open_file_for_write(mdcudfsr_cache_node* n, int mode, vfs_context_t ctx) {
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  if (n->open_count != 0 || n->write_open) return 1;
  n->write_open = 1;
  n->kind = MDCUDFSR_NODE_MASTER;
  n->open_mode = mode & 3;
  int err = mdcudfsr_cache_alloc_vfam_data(mnt, n);
  if (err == 0) err = mdcudfsr_cache_create_proxy_node(mnt, n, 0, nullptr);
  if (err == 0 && mdcudfsr_user_layer_block(mnt, vfs_context_pid(ctx))) err = 22;
  if (err == 0) err = mdcudfsr_cache_set_parent_dirty(n);
  if (err == 0) err = mdcudfsr_update_session(mnt, ctx, 1);
  if (err) {
    undo_master(n);
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
  if (n == nullptr || mdcudfsr_is_inactive(n)) return 2;
  if (n->mdcudfsrmp == nullptr) return 22;
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
      err = 22;
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
    return 2;
  }
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  mdcudfsr_cache_node* ours[2];
  proxy_children(shadow, master, ours);
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
  if (n == nullptr || mdcudfsr_is_inactive(n)) return 2;
  mdcudfsr_mount* mnt = n->mdcudfsrmp;
  if (mnt == nullptr) return 22;
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
