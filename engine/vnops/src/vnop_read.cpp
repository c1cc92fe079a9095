// File read: checks, the agent's head cache, the medium read under the disc
// lock, the VFAM road, and the report of read errors.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "drive/client_if.h"
#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_mntinfo.h"

#include <climits>
#include <cstdlib>
#include <strings.h>
#include <vector>

namespace {

constexpr std::uint64_t kHead = 0x10000;
constexpr std::uint32_t kEfeFixed = 216;

// The medium read: node unlocked, disc lock held around cluster_read.
int medium_read(vn_frame& f, uio_t uio, std::int64_t limit, int ioflag) {
  mdcudfsr_cache_unlock_node(f.cnp);
  mdcudfsr_vnop_disc_lock(f.mnt, f.ctx);
  const int err = cluster_read(f.vp, uio, limit, ioflag);
  mdcudfsr_vnop_disc_unlock(f.mnt, f.ctx);
  mdcudfsr_cache_lock_node(f.cnp, MDCUDFSR_WAIT_FOREVER);
  if (err) {
    f.cnp->read_error = 1;
    VN_LOG(KEL_LOG_ERR, "cluster_read failed err:%d\n", err);
  }
  return err;
}

// 95 when the entry is not readable by blocks.
int check_block_readable(const vn_frame& f) {
  const extended_file_entry& e = f.cnp->udf_data->efe;
  if (!mdcudfsr_is_dir(f.cnp) && (e.icbtag.flags & 7) == UDF_AD_IN_ICB) return KEL_ENOTSUP;
  if (std::uint64_t(kEfeFixed) + e.l_ea + e.l_ad > f.mnt->logical_block_size) return KEL_ENOTSUP;
  return 0;
}

// The agent's copy of the file's head; 0 when it served the read.
int head_cache_read(vn_frame& f, uio_t uio, std::uint64_t size, bool* served, bool* cache_head) {
  *served = false;
  const std::uint32_t len = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, kHead));
  std::vector<std::uint8_t> buf(len + 1);
  std::uint32_t got = 0, status = 0;
  VN_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_cache_read offset:%d len:%d\n", 0, len);
  const int err = mdcudfsr_vfam_cache_read(f.cnp, mdcudfsr_node_unique_id(f.cnp), 0, len, buf.data(), &got, &status);
  if (err != 0) {
    VN_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_cache_read err(%d) but use cluster_read \n", err);
    return 0;
  }
  if (status == 2) {
    *cache_head = true;
    return 0;
  }
  if (status != 0) return 0;
  VN_LOG(KEL_LOG_DEBG, "mdcudfsr_vfam_cache_read success status:%d cache read len:%d\n", status, got);
  *served = true;
  const std::int64_t o = uio_offset(uio);
  const std::int64_t end = std::min<std::int64_t>(std::min<std::int64_t>(got, len), static_cast<std::int64_t>(size));
  if (o < end) {
    const int r = uiomove(buf.data() + o, static_cast<int>(std::min<std::int64_t>(end - o, uio_resid(uio))), uio);
    if (r) VN_LOG(KEL_LOG_ERR, "uiomove non-zero return=%d\n", r);
  }
  return 0;
}

// The ends of the file's extents, taken under the list's lock: the reads
// run without it.
std::vector<std::int64_t> extent_ends(const mdcudfsr_cache_node* cnp) {
  std::vector<std::int64_t> ends;
  const mdcudfsr_extent_list* list = &cnp->udf_data->extents;
  const auto held = mdcudfsr_extent_list_hold(list);
  std::int64_t end = 0;
  for (const mdcudfsr_extent_entry* e = list->first; e; e = e->next) ends.push_back(end += EXTENT_LENGTH(e->extent.len));
  return ends;
}

// Extent by extent: a cluster read up to the end of every extent that ends
// past the read's offset (uio_offset, which each read advances).
int per_extent_read(vn_frame& f, uio_t uio, int ioflag) {
  for (const std::int64_t end : extent_ends(f.cnp)) {
    if (uio_resid(uio) <= 0) break;
    if (uio_offset(uio) >= end) continue;
    const std::int64_t size = std::min<std::int64_t>(end, mdcudfsr_cache_get_file_size(f.cnp));
    if (int err = medium_read(f, uio, size, ioflag)) {
      VN_LOG(KEL_LOG_ERR, "cluster_read err:%d\n", err);
      return err;
    }
  }
  return 0;
}

// The VFAM road of virtual nodes and masters.
int vfam_read(vn_frame& f, uio_t uio) {
  if (f.cnp->vfam_data == nullptr) return KEL_EINVAL;
  const int mode = (f.cnp->open_mode & 3) == 3 ? 3 : 1;
  std::uint64_t handle = 0;
  const int idx = mdcudfsr_vfam_wait_for_existing_handle(f.cnp, mode, &handle);
  if (idx == INVALID_VFAM_HANDLE_IDX) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "handle_idx != INVALID_VFAM_HANDLE_IDX");
    return KEL_EBADF;
  }
  VN_LOG(KEL_LOG_DEBG, "handle=0x%08x (0x%08x/%d,0x%08x/%d,0x%08x/%d)\n", static_cast<unsigned>(handle),
         static_cast<unsigned>(f.cnp->vfam_data->handle[0]), f.cnp->vfam_data->handle_ref[0],
         static_cast<unsigned>(f.cnp->vfam_data->handle[1]), f.cnp->vfam_data->handle_ref[1],
         static_cast<unsigned>(f.cnp->vfam_data->handle[2]), f.cnp->vfam_data->handle_ref[2]);
  std::int64_t size = static_cast<std::int64_t>(mdcudfsr_cache_get_file_size(f.cnp));
  int err = 0;
  if (f.cnp->kind == MDCUDFSR_NODE_MASTER) {
    vfamstat st{};
    err = mdcudfsr_vfam_get_file_attr(f.cnp, &st);
    if (err) VN_LOG(KEL_LOG_ERR, "[%s]mdcudfsr_vfam_get_file_attr err:%d \n", mdcudfsr_node_name(f.cnp), err);
    size = static_cast<std::int64_t>(st.size);
  }
  const std::int64_t o = uio_offset(uio);
  std::int64_t want = std::min<std::int64_t>(uio_resid(uio), size - o);
  if (err == 0 && o < size && want > 0) {
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(want));
    std::int64_t done = 0;
    while (done < want) {
      std::uint32_t got = 0;
      err = mdcudfsr_vfam_read(f.cnp, handle, o + done, static_cast<std::uint32_t>(want - done), buf.data() + done,
                               &got);
      if (err || got == 0) break;
      done += got;
    }
    if (err) VN_LOG(KEL_LOG_ERR, "mdcudfsr_vfam_read returns Status=%d uiomove=%d\n", err, 0);
    if (done > 0) uiomove(buf.data(), static_cast<int>(done), uio);
  } else if (o >= size) {
    VN_LOG(KEL_LOG_DEBG, "offset beyond the end of the file (file_size=%lld offset=%lld resid=%lld)\n",
           static_cast<long long>(size), static_cast<long long>(o), static_cast<long long>(uio_resid(uio)));
  }
  mdcudfsr_vfam_return_existing_handle(f.cnp, idx, mode);
  return err;
}

// Whether a failure of the medium is excused (no error report).
bool excused(const vn_frame& f, int err, std::uint32_t slot_before, bool per_extent) {
  if (f.mnt->system_guard) return true;
  if (err != KEL_EFAULT) return false;
  if (slot_before != f.mnt->loaded_slot || per_extent) return true;
  char name[128] = {};
  proc_selfname(name, 128);
  if (strncasecmp(name, "quicklook", 9) == 0) {
    VN_LOG(KEL_LOG_WARN, "igrore EFAULT by quicklook process %s\n", name);
    return true;
  }
  VN_LOG(KEL_LOG_WARN, "## EFAULT by pname [%s] pid=%d\n", name, f.pid);
  return false;
}

// The read after the node is taken: refusals, the head cache, the cluster
// read; *medium set when the failure came from the medium.
int read_body(vn_frame& f, vnop_read_args* ap, bool* medium, bool* per_extent) {
  uio_t uio = ap->a_uio;
  if (mdcudfsr_is_dir(f.cnp)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR )");
    return KEL_EISDIR;
  }
  if (f.cnp->symlink_target) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->symlink_target )");
    return 1;
  }
  const std::int64_t o = uio_offset(uio), r = uio_resid(uio);
  if (o < 0) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "uio_offset( uio ) >= 0");
    return KEL_EINVAL;
  }
  if (r <= 0) return 0;
  // The end of the range, held at the largest offset: nothing lies beyond it.
  const std::int64_t end = r > INT64_MAX - o ? INT64_MAX : o + r;
  const std::uint64_t bs = f.mnt->logical_block_size;
  if (f.cnp->recover_blk_count != 0) {
    const std::int64_t lo = f.cnp->recover_start_blk * bs, hi = lo + f.cnp->recover_blk_count * bs;
    if (o < hi && end > lo) {
      VN_LOG(KEL_LOG_ERR, "%s: PXO-4666 uio_offset=%lld uio_resid=%lld recover %lld %lld\n",
             mdcudfsr_node_name(f.cnp), static_cast<long long>(o), static_cast<long long>(r),
             static_cast<long long>(lo), static_cast<long long>(f.cnp->recover_blk_count * bs));
      *medium = true;
      return KEL_EIO;
    }
  }
  if (f.cnp->kind == MDCUDFSR_NODE_UDF && (f.cnp->udf_data == nullptr || check_block_readable(f))) return KEL_ENOTSUP;
  const std::uint64_t size = mdcudfsr_cache_get_file_size(f.cnp);
  if (f.mnt->mount_ext_flags & MDCUDFSR_MNT_VFAM) {
    if (f.cnp->kind == MDCUDFSR_NODE_VIRTUAL || f.cnp->kind == MDCUDFSR_NODE_MASTER) return vfam_read(f, uio);
    if (f.cnp->kind != MDCUDFSR_NODE_UDF && f.cnp->kind != MDCUDFSR_NODE_PROXY) return 0;
  }
  if (f.mnt->delay_guard || f.mnt->system_guard) return KEL_EINVAL;
  const int flags = ap->a_ioflag | 0x1000;
  VN_LOG(KEL_LOG_DEBG, "cluster_read  file_size=%lld  uio_offset=%lld ioflag=0x%08x", static_cast<long long>(size),
         static_cast<long long>(o), flags);
  bool cache_head = false;
  if (f.cnp->kind == MDCUDFSR_NODE_UDF && end <= static_cast<std::int64_t>(kHead)) {
    bool served = false;
    head_cache_read(f, uio, size, &served, &cache_head);
    if (served) return 0;
  }
  *medium = true;
  if (f.cnp->multi_disc) {
    *per_extent = true;
    return per_extent_read(f, uio, flags);
  }
  // The head cache's fill (status 2) needs an agent; the medium read serves
  // the caller either way.
  const int err = medium_read(f, uio, static_cast<std::int64_t>(size), flags);
  if (err) VN_LOG(KEL_LOG_ERR, cache_head ? "cluster_read for cache 64kb write err:%d\n"
                                          : "cluster_read for not cache 64kb err:%d\n", err);
  return err;
}

}  // namespace

int mdcudfsr_vnop_read(void* a) {
  auto* ap = static_cast<vnop_read_args*>(a);
  vn_frame f{"vnop_read", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  if (!mdcudfsr_pass_limited_access_mode(f.mnt, f.pid)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_read] not operation for limited access mode\n");
    mdcudfsr_vnop_print_errlog(mdcudfsr_parent(f.cnp), 16, mdcudfsr_node_name(f.cnp),
                               "The volume is used exclusively. File:", f.ctx);
    return vn_leave(f, KEL_EBUSY);
  }
  VN_LOG(KEL_LOG_DEBG, "[vnop_read] [%s] type:%d \n", mdcudfsr_node_name(f.cnp), f.cnp->kind);
  const std::uint32_t slot_before = f.mnt->loaded_slot;
  bool medium = false, per_extent = false;
  const int err = read_body(f, ap, &medium, &per_extent);
  // Only failures of the medium raise the drive's alarm.
  if (err != 0 && medium && (f.cnp->kind == MDCUDFSR_NODE_UDF || f.cnp->kind == MDCUDFSR_NODE_PROXY)) {
    f.cnp->read_error = 1;
    if (excused(f, err, slot_before, per_extent)) f.cnp->read_error = 0;
    else mdcudfsr_report_error(f.mnt, 2, f.ctx);
  }
  mdcudfsr_cache_node_debug(f.cnp);
  return vn_leave(f, err);
}
