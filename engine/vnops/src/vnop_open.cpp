// Open of vnodes by kind: plain files and folders, a master with its proxy
// for writing, proxies, VFAM-backed files.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "proxy_teardown.h"
#include "read_ahead_state.h"
#include "vnop_frame.h"

#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_session.h"
#include "udf/udf_lvid.h"

#include <cstring>

namespace {

// Process-wide: anti-virus processes are refused their opens. Starts
// cleared; nothing in the system sets it.
bool g_anti_virus_switch = false;

// Write-activity marks of a directory.
constexpr std::uint8_t kChildWriteOpened = 1, kChildNewId = 2;

bool is_dollar_in_root(const mdcudfsr_cache_node* n, const mdcudfsr_mount* mnt) {
  const char* name = mdcudfsr_node_name(n);
  const std::size_t len = std::strcspn(name, "/");
  const bool dollar = (len == 1 && name[0] == '$') || (len == 2 && name[0] == '$' && name[1] == '$');
  return dollar && mdcudfsr_parent(n) == mnt->root_node;
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
  if (err == 0 && mdcudfsr_user_layer_block(f.mnt, f.pid)) err = KEL_EINVAL;
  if (err == 0) err = mdcudfsr_wait_vfam_mounted(f.mnt, n, f.ctx);
  if (err == 0) err = mdcudfsr_cache_set_dirty(n);
  mdcudfsr_cache_node* parent = mdcudfsr_parent(n);
  const bool mark_parent = err == 0 && parent && parent->dir_dirty == 0;
  if (err == 0) err = mdcudfsr_update_session(f.mnt, f.ctx, 1);
  if (err) {
    vn_teardown::undo_master(n);
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
      if (mdcudfsr_user_layer_block(f.mnt, f.pid)) return KEL_EINVAL;
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
      return KEL_EINVAL;
    default:
      if (is_dollar_in_root(n, f.mnt)) {
        VN_LOG(KEL_LOG_ERR, "can't open $ (or $$) dir, status: ENOENT \n");
        return KEL_ENOENT;
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
    err = KEL_EINVAL;
  }
  VN_LOG(KEL_LOG_DEBG, "[vnop_open] [%s] type:%d mode:0x%x\n", mdcudfsr_node_name(f.cnp), f.cnp->kind, ap->a_mode);
  const bool kind1 = f.cnp->kind == MDCUDFSR_NODE_UDF;
  if (err == 0) err = open_by_kind(f, ap->a_mode);
  if (err == 0 && kind1) vn_read_ahead_open(f, ap->a_mode);
  // A refused open leaves the node in its folder; only VFAM attributes it
  // may have got go again.
  if (err && kind1 && f.cnp->kind == MDCUDFSR_NODE_UDF && f.cnp->vfam_data) mdcudfsr_cache_free_vfam_data(f.cnp);
  return vn_leave(f, err);
}

