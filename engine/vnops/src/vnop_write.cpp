// File write: the size rule, zero fill and recording in the extent list, the
// transfer under the disc lock, and the times, dirty mark and session.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "drive/client_if.h"
#include "drive/device_control.h"
#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_names.h"

#include <algorithm>
#include <climits>
#include <vector>

mdcudfsr_zerofill mdcudfsr_calculate_zerofill(std::int64_t offset, std::int64_t end, std::uint32_t block_size,
                                              std::uint32_t extent_type) {
  mdcudfsr_zerofill z{0, 0, 0};
  if (extent_type != EXTENT_FLAGS_NOT_RECORDED) return z;
  const std::int64_t b = block_size;
  if (offset % b) {
    z.flags |= 0x80;
    z.head = offset / b * b;
  }
  if (end % b) {
    z.flags |= 0x40;
    z.tail = (end + b) / b * b;
    VN_LOG(KEL_LOG_DEBG, "zerooffsettail=%llu\n", static_cast<unsigned long long>(z.tail));
  }
  return z;
}

namespace {

// The type of one stretch of a file's blocks.
struct typed_range {
  std::uint64_t start, length;
  std::uint32_t type;
};

struct write_state {
  std::int64_t o = 0, r = 0, e = 0, s = 0, n = 0;
  std::int64_t done = 0;  // bytes of the request that were written
  mdcudfsr_zerofill z{0, 0, 0};
  int flags = 0;
  // The types the blocks of the range had before they were marked
  // recorded: what a failed transfer puts back.
  std::vector<typed_range> before;
  bool recorded_changed = false;
};

// Logical blocks recorded: the recorded extents' total in blocks. The list's
// lock is held by the caller.
void count_recorded(mdcudfsr_cache_node* cnp, std::uint32_t b) {
  const std::uint64_t recorded = mdcudfsr_extent_list_get_selected_length(&cnp->udf_data->extents, 2);
  cnp->udf_data->efe.logblks_rec = (recorded + b - 1) / b;
}

// The types of the blocks [first, end), stretch by stretch, rounded out to
// whole blocks. The list's lock is held by the caller.
void note_types(const mdcudfsr_extent_list* list, std::uint64_t first, std::uint64_t end, std::uint32_t b,
                std::vector<typed_range>* out) {
  std::uint64_t at = 0;
  for (const mdcudfsr_extent_entry* x = list->first; x && at < end; x = x->next) {
    const std::uint64_t len = EXTENT_LENGTH(x->extent.len);
    const std::uint64_t lo = std::max(at, first), hi = std::min(at + len, end);
    if (lo < hi) out->push_back({lo, (hi - lo + b - 1) / b * b, EXTENT_FLAGS(x->extent.len)});
    at += len;
  }
}

// After a failed transfer the blocks the write marked get their types back.
// Only those: the list is shared (a proxy's is its master's), and changes
// other threads made meanwhile stay.
void undo_recording(mdcudfsr_cache_node* cnp, std::uint32_t b, const write_state& w) {
  mdcudfsr_extent_list* list = &cnp->udf_data->extents;
  const auto held = mdcudfsr_extent_list_hold(list);
  for (const typed_range& t : w.before) {
    if (t.type == EXTENT_FLAGS_RECORDED) continue;
    const int r = mdcudfsr_extent_list_set_flags(list, nullptr, 0, t.start, t.length, b, t.type);
    if (r != 0 && r != -2) VN_LOG(KEL_LOG_ERR, "undo of the recorded mark failed err=%d\n", r);
  }
  count_recorded(cnp, b);
}

// Zero fill and the blocks of the range marked recorded, in one
// hold of the list's lock.
int record_range(vn_frame& f, write_state& w) {
  mdcudfsr_extent_list* list = &f.cnp->udf_data->extents;
  const auto held = mdcudfsr_extent_list_hold(list);
  std::uint64_t hint_start = 0, within = 0;
  mdcudfsr_extent_entry* x = mdcudfsr_offset_in_extent(list, w.o, nullptr, &hint_start, &within);
  if (x == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "extent");
    return KEL_EBADF;
  }
  const std::uint32_t b = f.mnt->logical_block_size;
  w.z = mdcudfsr_calculate_zerofill(w.o, w.e, b, EXTENT_FLAGS(x->extent.len));
  VN_LOG(KEL_LOG_DEBG, "zerooffsethead=%lld", static_cast<long long>(w.z.head));
  VN_LOG(KEL_LOG_DEBG, "zerooffsettail=%lld", static_cast<long long>(w.z.tail));
  VN_LOG(KEL_LOG_DEBG, "lflag=0x%08x", w.z.flags);
  const std::uint64_t first = w.o / b * b, end = (w.e + b - 1) / b * b;
  note_types(list, first, end, b, &w.before);
  const int r = mdcudfsr_extent_list_set_flags(list, x, hint_start, first, end - first, b, EXTENT_FLAGS_RECORDED);
  if (r == -2) return 0;
  if (r != 0) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", r);
    return r;
  }
  w.recorded_changed = true;
  count_recorded(f.cnp, b);
  return 0;
}

// The transfer through the drive layer under the disc lock.
int transfer(vn_frame& f, uio_t uio, write_state& w) {
  mdcudfsr_cache_unlock_node(f.cnp);
  mdcudfsr_vnop_disc_lock(f.mnt, f.ctx);
  int err = 0;
  if (f.cnp->kind != MDCUDFSR_NODE_VIRTUAL && mdcudfsr_disc_change(f.mnt, SLOT_LAST_WRITTEN, 0, f.ctx, 0) != 0) {
    VN_LOG(KEL_LOG_ERR, "Last written slot load error \n");
    mdcudfsr_vnop_disc_unlock(f.mnt, f.ctx);
    mdcudfsr_cache_lock_node(f.cnp, MDCUDFSR_WAIT_FOREVER);
    return KEL_EIO;
  }
  if (f.cnp->kind == MDCUDFSR_NODE_PROXY && f.cnp->master && f.cnp->master->vp) {
    const off64_kel_t msize = ubc_getsize(f.cnp->master->vp);
    ubc_msync(f.cnp->master->vp, 0, msize, nullptr, 4);
  }
  err = cluster_write(f.vp, uio, w.s, w.n, w.z.head, w.z.tail, w.flags);
  if (err) VN_LOG(KEL_LOG_ERR, "cluster_write non-zero return=%d", err);
  w.done = w.r - uio_resid(uio);
  if (err == 0 && w.done != w.r) {
    // Data left unwritten is a failure, never a shorter success.
    VN_LOG(KEL_LOG_ERR, "cluster_write left %lld of %lld bytes unwritten\n", static_cast<long long>(w.r - w.done),
           static_cast<long long>(w.r));
    err = KEL_EIO;
  }
  VNOP_IOCTL(f.mnt->devvp, PXOIOCACHECLEAR, nullptr, 0, f.ctx);
  mdcudfsr_vnop_disc_unlock(f.mnt, f.ctx);
  mdcudfsr_cache_lock_node(f.cnp, MDCUDFSR_WAIT_FOREVER);
  return err;
}

// The VFAM road of virtual nodes and masters.
int vfam_write(vn_frame& f, uio_t uio, write_state& w) {
  if (f.cnp->vfam_data == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp->vfam_data");
    return KEL_EINVAL;
  }
  const int mode = (f.cnp->open_mode & 3) == 3 ? 3 : 2;
  std::uint64_t handle = 0;
  const int idx = mdcudfsr_vfam_wait_for_existing_handle(f.cnp, mode, &handle);
  if (idx == INVALID_VFAM_HANDLE_IDX) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "handle_idx != INVALID_VFAM_HANDLE_IDX");
    return KEL_EBADF;
  }
  constexpr std::uint32_t kChunk = 0x80000;
  std::vector<std::uint8_t> buf(kChunk);
  std::int64_t counted = 0, off = w.o;
  int err = 0;
  while (uio_resid(uio) > 0) {
    const std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::int64_t>(uio_resid(uio), kChunk));
    uiomove(buf.data(), static_cast<int>(chunk), uio);
    std::uint32_t written = 0;
    err = mdcudfsr_vfam_write(f.cnp, handle, off, chunk, buf.data(), &written);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "mdcudfsr_vfam_write is failed.(%d)\n", err);
      if (err != KEL_ENOSPC && err != KEL_EPERM) mdcudfsr_report_error(f.mnt, 1, f.ctx);
      break;
    }
    if (written < chunk) break;
    counted += written;
    off += chunk;
  }
  w.done = counted;
  if (err == 0 && counted < w.r) {
    VN_LOG(KEL_LOG_DEBG, "set_file_size=%lld", static_cast<long long>(w.n - w.r + counted));
    mdcudfsr_cache_set_file_size(f.cnp, static_cast<std::uint64_t>(w.n - w.r + counted));
  }
  mdcudfsr_vfam_return_existing_handle(f.cnp, idx, mode);
  return err;
}

// The drive writes whole 64 KiB units from unit boundaries: a write of a
// file or proxy starts on a unit boundary of the file and of the medium and
// ends on one or at the end of file. Anything else would change bytes
// outside its range.
bool unit_aligned(const vn_frame& f, const write_state& w) {
  constexpr std::int64_t kUnit = 0x10000;
  if (w.o % kUnit != 0 || (w.e % kUnit != 0 && w.e != w.s)) return false;
  std::uint64_t within = 0;
  const mdcudfsr_extent_list* list = &f.cnp->udf_data->extents;
  auto held = mdcudfsr_extent_list_hold(list);
  const mdcudfsr_extent_entry* x = mdcudfsr_offset2extent(list, w.o, &within);
  if (x == nullptr) return true;  // refused with 9 by the recording step
  const std::uint32_t lbn = x->extent.loc.lb_num;
  held.unlock();
  const std::uint32_t ss = f.mnt->logical_sector_size;
  const std::uint32_t lsn = mdcudfsr_lbn2lsn(f.mnt, 2, lbn, nullptr);
  return lsn != MDCUDFSR_INVALID_LSN && (lsn + within / ss) % (kUnit / ss) == 0;
}

// Offsets and the size rule. 0 to go on, -1 for a write of 0 bytes.
int size_rule(vn_frame& f, vnop_write_args* ap, write_state& w) {
  uio_t uio = ap->a_uio;
  w.r = uio_resid(uio);
  w.o = uio_offset(uio);
  w.s = static_cast<std::int64_t>(f.cnp->kind == MDCUDFSR_NODE_VIRTUAL ? f.cnp->vfam_data->file_size
                                                                        : f.cnp->udf_data->efe.inf_len);
  if ((ap->a_ioflag & IO_APPEND) && w.o == 0) {
    w.o = w.s + static_cast<std::int64_t>(f.cnp->append_count);
    uio_setoffset(uio, w.o);
  }
  if (f.cnp->kind == MDCUDFSR_NODE_MASTER) f.cnp->append_count += w.r;
  if (w.r <= 0) {
    VN_LOG(KEL_LOG_NOTI, "0ByteWrite!! Write on File %s.%s\n", mdcudfsr_node_name(mdcudfsr_parent(f.cnp)),
           mdcudfsr_node_name(f.cnp));
    return -1;
  }
  if (w.o < 0) return KEL_EINVAL;
  if (w.r > INT64_MAX - w.o) {
    VN_LOG(KEL_LOG_ERR, "write end beyond the largest offset: offset %lld resid %lld\n", static_cast<long long>(w.o),
           static_cast<long long>(w.r));
    return KEL_EINVAL;
  }
  w.e = w.o + w.r;
  const bool udf = f.cnp->kind == MDCUDFSR_NODE_UDF || f.cnp->kind == MDCUDFSR_NODE_PROXY;
  if (w.s > 0 && w.e <= w.s) {
    w.n = w.s;
  } else if (udf) {
    VN_LOG(KEL_LOG_ERR, "Requiered to write over allocated file extent.[original size %lld][offset %lld: resid %lld]\n",
           static_cast<long long>(w.s), static_cast<long long>(w.o), static_cast<long long>(w.r));
    return KEL_ENOSPC;
  } else if (f.cnp->kind == MDCUDFSR_NODE_VIRTUAL) {
    if (int err = mdcudfsr_cache_set_file_size(f.cnp, static_cast<std::uint64_t>(w.e))) {
      VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
    w.n = w.e;
  } else {
    w.n = 0;
  }
  if (udf && !unit_aligned(f, w)) {
    VN_LOG(KEL_LOG_ERR, "unaligned write refused: offset %lld end %lld\n", static_cast<long long>(w.o),
           static_cast<long long>(w.e));
    return KEL_EINVAL;
  }
  VN_LOG(KEL_LOG_DEBG, "new filesize=%lld", static_cast<long long>(w.n));
  return 0;
}

// After a transfer that succeeded: the recorded length, the times, the dirty
// mark and the session.
int after_write(vn_frame& f, write_state& w) {
  const std::int64_t written_end = w.o + w.done;
  if (static_cast<std::uint64_t>(written_end) > f.cnp->recorded_length) f.cnp->recorded_length = written_end;
  VN_LOG(KEL_LOG_DEBG, "mdcudfsrcnp(%p)->recorded_length=%lld", static_cast<void*>(f.cnp),
         static_cast<long long>(f.cnp->recorded_length));
  if (f.cnp->kind != MDCUDFSR_NODE_UDF && f.cnp->kind != MDCUDFSR_NODE_PROXY) return 0;
  struct timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(f.mnt, &now, &f.cnp->udf_data->efe.mtime);
  f.cnp->udf_data->efe.attrtime = f.cnp->udf_data->efe.mtime;
  int err = mdcudfsr_cache_set_dirty(f.cnp);
  mdcudfsr_update_vol_last_modification_time(f.mnt);
  if (err == 0) err = mdcudfsr_update_session(f.mnt, f.ctx, 1);
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// File data reaches the medium only by the writer's road: a file or proxy
// is written by a caller allowed to write proxies (the privileged process
// in the privileged mode), never through another handle. The engine keeps
// one vnode per file for every opener, so a handle opened for reading names
// the same node as the writer's: the caller decides. 0, or 1 (not
// permitted).
int writer_road(vn_frame& f) {
  mdcudfsr_cache_node* n = f.cnp;
  if (n->kind != MDCUDFSR_NODE_UDF && n->kind != MDCUDFSR_NODE_PROXY) return 0;
  if (mdcudfsr_cache_is_authorized(n, FWRITE, f.ctx) == 0) return 0;
  VN_LOG(KEL_LOG_ERR, "[vnop_write] %s is written only by the privileged writer\n", mdcudfsr_node_name(n));
  return 1;
}

int write_body(vn_frame& f, vnop_write_args* ap) {
  if (f.cnp->symlink_target) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->symlink_target )");
    return 1;
  }
  if (vn_mount_readonly(f.mnt)) {
    VN_LOG(KEL_LOG_NOTI, "[vnop_write] read only mount mode\n");
    return mdcudfsr_readonly_error(f.mnt);
  }
  if (vn_mount_noedit(f.mnt)) {
    VN_LOG(KEL_LOG_INFO, "[vnop_write] not operation for noedit mode\n");
    return 1;
  }
  if (f.cnp->udf_data == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp->udf_data");
    return KEL_EINVAL;
  }
  if (mdcudfsr_is_dir(f.cnp)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->file_char & UDF_FILE_CHAR_DIR )");
    return KEL_EISDIR;
  }
  if (f.cnp->kind == MDCUDFSR_NODE_VIRTUAL && f.cnp->vfam_data == nullptr) return KEL_EINVAL;
  VN_LOG(KEL_LOG_DEBG, "[vnop_write] [%s] type:%d \n", mdcudfsr_node_name(f.cnp), f.cnp->kind);
  if (int err = writer_road(f)) return err;
  write_state w;
  if (int r = size_rule(f, ap, w)) return r < 0 ? 0 : r;
  const bool udf = f.cnp->kind == MDCUDFSR_NODE_UDF || f.cnp->kind == MDCUDFSR_NODE_PROXY;
  int err = 0;
  if (!udf && (f.mnt->mount_ext_flags & MDCUDFSR_MNT_VFAM)) {
    if (f.cnp->kind != MDCUDFSR_NODE_VIRTUAL && f.cnp->kind != MDCUDFSR_NODE_MASTER) return 0;
    err = vfam_write(f, ap->a_uio, w);
  } else {
    if (udf) err = record_range(f, w);
    w.flags = w.z.flags | (ap->a_ioflag & IO_SYNC);
    if (err == 0) err = transfer(f, ap->a_uio, w);
    if (err && w.recorded_changed) undo_recording(f.cnp, f.mnt->logical_block_size, w);
  }
  if (err) {
    // Files and proxies never change size in a write; a virtual node gets its size back.
    if (!udf) mdcudfsr_cache_set_file_size(f.cnp, static_cast<std::uint64_t>(w.s));
    VN_LOG(KEL_LOG_ERR, "cluster_write is failed.(%d)\n", err);
    return err;
  }
  return after_write(f, w);
}

}  // namespace

int mdcudfsr_vnop_write(void* a) {
  auto* ap = static_cast<vnop_write_args*>(a);
  vn_frame f{"vnop_write", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  const int err = write_body(f, ap);
  mdcudfsr_cache_node_debug(f.cnp);
  return vn_leave(f, err);
}
