// Close of vnodes by kind: the end of a master's write open with the
// teardown of its proxy, plain files, folders and proxies, VFAM-backed files.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_privileged_open_list.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "proxy_teardown.h"
#include "read_ahead_state.h"
#include "vnop_frame.h"

#include "drive/client_if.h"
#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"

namespace {

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
  if (f.mnt->shadow_node == nullptr) return KEL_ENOENT;
  const int status = vn_teardown::release_proxy_children(f);
  if (n->udf_data && n->udf_data->efe_loc == MDCUDFSR_INVALID_LBN) n->unwritten_release = 1;
  n->write_open = 0;
  n->kind = MDCUDFSR_NODE_UDF;
  if (n->parity_node) {
    mdcudfsr_cnp(n->parity_node)->kind = MDCUDFSR_NODE_UDF;
    if (f.mnt->medium_type == 0xF2 && !mdcudfsr_privileged_open_list_has(f.mnt, n)) {
      if (int err = vn_teardown::parity_to_info(f)) return err;
    }
  }
  vn_teardown::forget_proxy(n);
  if (vfam_err || status) {
    VN_LOG(KEL_LOG_WARN, "VFAM CLOSE or other failed vfam_err=%d Status=%d\n", vfam_err, status);
    const int e = vfam_err ? vfam_err : status;
    if (e != KEL_ENOSPC && e != KEL_EPERM) mdcudfsr_report_error(f.mnt, 1, f.ctx);
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
  vn_read_ahead_close(f.vp);
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

