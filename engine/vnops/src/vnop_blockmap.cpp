// Block mapping, offset and block conversions, strategy, paging and fsync.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "drive/client_if.h"
#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_extent.h"
#include "udf/udf_names.h"

#include <functional>

namespace {

constexpr std::uint64_t kCluster = 0x10000;

struct map_out {
  std::int32_t sector = 0;
  std::uint64_t run = 0;
  std::int32_t poff = 0;
};

// Loads the slot of disc number `disc` (slot disc - 1) when it is not the
// current one, only on the disc-lock owner's thread. 0, 22 or 5.
int load_disc_of_extent(mdcudfsr_mount* mnt, std::uint32_t disc, bool* loaded) {
  *loaded = false;
  if (disc == 0) return 0;
  const std::uint32_t slot = disc - 1;
  if (slot == mdcudfsr_expected_slot(mnt)) return 0;
  if (mnt->disc_lock_owner.load() != KEL_THREAD_ID()) {
    VN_LOG(KEL_LOG_ERR, "slot %u load outside the disc lock\n", slot);
    return KEL_EINVAL;
  }
  const int err = mdcudfsr_disc_change(mnt, slot, 0, nullptr, 0);
  if (err != 0) {
    VN_LOG(KEL_LOG_ERR, "disc change failed on blockmap err = %d\n", err);
    return KEL_EIO;
  }
  *loaded = true;
  return 0;
}

// The extent holding the offset, copied under the list's lock: the list may
// change as soon as the lock goes (a removal, a size change, the recording
// of a write through the master's proxy).
bool extent_at(const mdcudfsr_cache_node* cnp, std::int64_t offset, long_ad* out, std::uint64_t* within) {
  if (offset < 0 || cnp->udf_data == nullptr) return false;
  const mdcudfsr_extent_list* list = &cnp->udf_data->extents;
  const auto held = mdcudfsr_extent_list_hold(list);
  const mdcudfsr_extent_entry* e = mdcudfsr_offset2extent(list, static_cast<std::uint64_t>(offset), within);
  if (e != nullptr) *out = e->extent;
  return e != nullptr;
}

// Sector, run and in-sector offset of the data at `foffset`.
int map_offset(mdcudfsr_cache_node* cnp, const vnop_blockmap_args* ap, map_out* out) {
  mdcudfsr_mount* mnt = cnp->mdcudfsrmp;
  if (cnp->kind != MDCUDFSR_NODE_UDF && cnp->kind != MDCUDFSR_NODE_PROXY) {
    VN_LOG(KEL_LOG_WARN, "[vnop_blockmap] unsupport operation [%s] type:%d \n", mdcudfsr_node_name(cnp), cnp->kind);
    return 0;
  }
  std::uint64_t within = 0;
  long_ad ext{};
  if (!extent_at(cnp, ap->a_foffset, &ext, &within)) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "extent");
    return 0;
  }
  bool loaded = false;
  if (int err = load_disc_of_extent(mnt, ext.loc.part_num, &loaded)) return err;
  const std::uint32_t ss = mnt->logical_sector_size;
  const std::uint32_t type = EXTENT_FLAGS(ext.len);
  const std::uint64_t rest = EXTENT_LENGTH(ext.len) - within;
  out->poff = static_cast<std::int32_t>(within % ss);
  if (type == EXTENT_FLAGS_RECORDED || (type == EXTENT_FLAGS_NOT_RECORDED && (ap->a_flags & 0x2))) {
    const std::uint32_t lsn = mdcudfsr_lbn2lsn(mnt, 2, ext.loc.lb_num, nullptr);
    if (lsn == MDCUDFSR_INVALID_LSN) {
      VN_LOG(KEL_LOG_ERR, "lbn %u outside the partition\n", ext.loc.lb_num);
      return KEL_EINVAL;
    }
    out->sector = static_cast<std::int32_t>(lsn + within / ss);
  } else {
    out->sector = -1;
    out->poff = 0;
    if (!(ap->a_flags & VNODE_READ))
      VN_LOG(KEL_LOG_ERR, "no data on the medium: foffset=%lld size=%llu extent lbn=%u len=0x%x\n",
             static_cast<long long>(ap->a_foffset), static_cast<unsigned long long>(ap->a_size),
             ext.loc.lb_num, ext.len);
  }
  // The run counts bytes from the offset; with the in-sector offset it ends
  // on a sector boundary.
  out->run = (rest + out->poff + ss - 1) / ss * ss - out->poff;
  if ((ap->a_flags & 0x2) && out->sector >= 0) {
    const std::uint64_t pos = static_cast<std::uint64_t>(out->sector) * ss + out->poff;
    const std::uint64_t boundary = (pos / kCluster + 1) * kCluster;
    if (pos + out->run > boundary) {
      out->run = boundary - pos;
      VN_LOG(KEL_LOG_DEBG, "Contiguous length is shrank because of across Clusters.(%d)", static_cast<int>(out->run));
    }
  }
  if (out->run > ap->a_size) out->run = ap->a_size;
  if (loaded && (ap->a_flags & VNODE_WRITE))
    VN_LOG(KEL_LOG_INFO, "[%s] %p call client_if::cluster_write change slot %d a_flags=%d, a_size %llx\n",
           mdcudfsr_node_name(cnp), static_cast<void*>(cnp), static_cast<int>(ext.loc.part_num) - 1,
           ap->a_flags, static_cast<unsigned long long>(ap->a_size));
  return 0;
}

}  // namespace

int mdcudfsr_vnop_blockmap(void* a) {
  auto* ap = static_cast<vnop_blockmap_args*>(a);
  if (ap->a_vp == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "vp");
    return KEL_EINVAL;
  }
  if (ap->a_bpn == nullptr) return 0;
  mdcudfsr_cache_node* cnp = mdcudfsr_cache_get_node(ap->a_vp, 0);
  if (cnp == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp");
    return KEL_ENOENT;
  }
  if (cnp->mdcudfsrmp == nullptr) return KEL_EINVAL;
  VN_LOG(KEL_LOG_DEBG, "bpn=%p foffset=%lld flags=0x%08x", static_cast<void*>(ap->a_bpn),
         static_cast<long long>(ap->a_foffset), ap->a_flags);
  VN_LOG(KEL_LOG_DEBG, "[vnop_blockmap] [%s] type:%d\n", mdcudfsr_node_name(cnp), cnp->kind);
  map_out m;
  const int err = map_offset(cnp, ap, &m);
  if (err != 0) m = map_out{};
  *ap->a_bpn = m.sector;
  if (ap->a_run) *ap->a_run = m.run;
  if (ap->a_poff) *ap->a_poff = m.poff;
  VN_LOG(KEL_LOG_INFO, "err=%d ap updates (if non-null) bpn=%lld run=%d poff=%d", err,
         static_cast<long long>(m.sector), static_cast<int>(m.run), m.poff);
  return err;
}

int mdcudfsr_vnop_fsync(void* a) {
  auto* ap = static_cast<vnop_fsync_args*>(a);
  const int r = cluster_push(ap->a_vp, ap->a_waitfor ? 4 : 0);
  if (r != 0) VN_LOG(KEL_LOG_WARN, "cluster_push non-zero return=%d\n", r);
  buf_flushdirtyblks(ap->a_vp, ap->a_waitfor, 0, "mdcudfsr_vnop_fsync");
  return 0;
}

namespace {
// Sector-size conversion of offtoblk and blktooff.
int convert(const char* op, vnode_t vp, const std::function<void(std::uint32_t)>& apply) {
  vn_frame f{op, vp, nullptr};
  if (vp == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "vp");
    return KEL_EINVAL;
  }
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  VN_LOG(KEL_LOG_DEBG, "[%s] [%s] type:%d\n", op, mdcudfsr_node_name(f.cnp), f.cnp->kind);
  apply(f.mnt->logical_sector_size);
  return vn_leave(f, 0);
}
}  // namespace

int mdcudfsr_vnop_offtoblk(void* a) {
  auto* ap = static_cast<vnop_offtoblk_args*>(a);
  return convert("vnop_offtoblk", ap->a_vp, [ap](std::uint32_t ss) { *ap->a_lblkno = ap->a_offset / ss; });
}

int mdcudfsr_vnop_blktooff(void* a) {
  auto* ap = static_cast<vnop_blktooff_args*>(a);
  return convert("vnop_blktooff", ap->a_vp, [ap](std::uint32_t ss) { *ap->a_offset = ap->a_lblkno * ss; });
}

int mdcudfsr_vnop_strategy(void* a) {
  auto* ap = static_cast<vnop_strategy_args*>(a);
  vnode_t vp = ap->a_bp ? buf_vnode(ap->a_bp) : nullptr;
  if (vp == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "vp");
    return KEL_EINVAL;
  }
  mdcudfsr_cache_node* cnp = mdcudfsr_cache_get_node(vp, 0);
  if (cnp == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "mdcudfsrcnp");
    return KEL_ENOENT;
  }
  mdcudfsr_mount* mnt = cnp->mdcudfsrmp;
  if (mnt == nullptr) return KEL_EINVAL;
  if (cnp->kind == MDCUDFSR_NODE_UDF || cnp->kind == MDCUDFSR_NODE_PROXY) {
    const int r = buf_strategy(mnt->devvp, ap);
    if (!(buf_flags(ap->a_bp) & 0x1)) mdcudfsr_update_vol_last_modification_time(mnt);
    return r;
  }
  if (cnp->kind == MDCUDFSR_NODE_MASTER) {
    mdcudfsr_cache_lock_node(cnp, MDCUDFSR_WAIT_FOREVER);
    const int r = mnt->privileged_mode == 1 ? KEL_EINVAL : mdcudfsr_vfam_strategy(cnp, ap->a_bp);
    mdcudfsr_cache_unlock_node(cnp);
    return r;
  }
  VN_LOG(KEL_LOG_DEBG, "node type:[%d]\n", cnp->kind);
  return 0;
}

int mdcudfsr_vnop_pagein(void* a) {
  auto* ap = static_cast<vnop_pagein_args*>(a);
  vn_frame f{"vnop_pagein", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  const std::uint64_t size = mdcudfsr_cache_get_file_size(f.cnp);
  VN_LOG(KEL_LOG_DEBG, "cluster_pagein pl=0x%08x pl_offset=%d f_offset=%lld size=%d file_size=%lld flags=0x%08x",
         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(ap->a_pl)), ap->a_pl_offset,
         static_cast<long long>(ap->a_f_offset), static_cast<int>(ap->a_size), static_cast<long long>(size),
         ap->a_flags);
  vn_leave(f, 0);
  const int err = cluster_pagein(ap->a_vp, ap->a_pl, ap->a_pl_offset, ap->a_f_offset, static_cast<int>(ap->a_size),
                                 static_cast<off64_kel_t>(size), ap->a_flags);
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

namespace {

constexpr std::uint32_t kPage = 4096;

// One step of the page-out of a UDF file at `off`; *advance the bytes done.
int pageout_step(vn_frame& f, vnop_pageout_args* ap, std::uint32_t pl_off, std::int64_t off, std::uint64_t size,
                 std::uint64_t file_size, std::uint64_t* advance) {
  std::uint64_t within = 0;
  mdcudfsr_extent_entry* e = mdcudfsr_offset2extent(&f.cnp->udf_data->extents, off, &within);
  if (e == nullptr) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "extent");
    return KEL_EINVAL;
  }
  std::uint64_t chunk = std::min<std::uint64_t>(size, EXTENT_LENGTH(e->extent.len) - within);
  const std::uint32_t bs = f.mnt->logical_block_size;
  if (EXTENT_FLAGS(e->extent.len) == EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED) {
    ubc_upl_abort_range(ap->a_pl, pl_off, static_cast<std::uint32_t>(chunk), 8);
    *advance = chunk;
    return 0;
  }
  if (pl_off % kPage == 0) {
    const std::uint64_t rounded = (chunk + kPage - 1) / kPage * kPage;
    if (rounded != chunk) VN_LOG(KEL_LOG_DEBG, "rounding up io_size to PAGE_SIZE (file_size=%lld)\n",
                                 static_cast<long long>(file_size));
    mdcudfsr_cache_unlock_node(f.cnp);
    const int err = cluster_pageout(ap->a_vp, ap->a_pl, pl_off, off, static_cast<int>(rounded),
                                    static_cast<off64_kel_t>(file_size), ap->a_flags);
    mdcudfsr_cache_lock_node(f.cnp, MDCUDFSR_WAIT_FOREVER);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "Status=%d,Name=%s,upl=%d,uploffset=%d,fileoffset=%d,r_size=%d,f_size=%d\n", err,
             mdcudfsr_node_name(f.cnp), 0, pl_off, static_cast<int>(off), static_cast<int>(rounded),
             static_cast<int>(file_size));
      return err;
    }
    const std::uint64_t first = static_cast<std::uint64_t>(off) / bs * bs;
    const std::uint64_t end = (static_cast<std::uint64_t>(off) + chunk + bs - 1) / bs * bs;
    const int r = mdcudfsr_extent_list_set_flags(&f.cnp->udf_data->extents, nullptr, 0, first, end - first, bs,
                                                 EXTENT_FLAGS_RECORDED);
    if (r != 0 && r != -2) return r;
    *advance = rounded;
    return 0;
  }
  if (pl_off % bs != 0) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "upl_offset % mdcudfsrmp->logical_block_size");
    return KEL_EINVAL;
  }
  void* addr = nullptr;
  if (int kret = ubc_upl_map(ap->a_pl, &addr); kret != 0 || addr == nullptr) {
    VN_LOG(KEL_LOG_ERR, "ubc_upl_map() fails. kret=%d\n", kret);
    return KEL_EINVAL;
  }
  // The block that holds the file offset; the loop goes on after the bytes
  // written.
  const std::uint64_t bytes = std::min<std::uint64_t>(chunk, bs - within % bs);
  const std::uint32_t lbn = e->extent.loc.lb_num + static_cast<std::uint32_t>(within / bs);
  const int err = mdcudfsr_write_logical_blocks(f.mnt, 2, lbn, static_cast<std::uint8_t*>(addr) + pl_off,
                                                static_cast<std::uint32_t>(bytes), f.ctx);
  ubc_upl_unmap(ap->a_pl);
  ubc_upl_abort_range(ap->a_pl, pl_off, static_cast<std::uint32_t>(bytes), 8);
  *advance = bytes;
  return err;
}

}  // namespace

int mdcudfsr_vnop_pageout(void* a) {
  auto* ap = static_cast<vnop_pageout_args*>(a);
  vn_frame f{"vnop_pageout", ap->a_vp, ap->a_context};
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  const std::uint64_t s = mdcudfsr_cache_get_file_size(f.cnp);
  VN_LOG(KEL_LOG_DEBG, "cluster_pageout pl=0x%08x pl_offset=%d f_offset=%lld size=%d file_size=%lld flags=0x%08x",
         static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(ap->a_pl)), ap->a_pl_offset,
         static_cast<long long>(ap->a_f_offset), static_cast<int>(ap->a_size), static_cast<long long>(s), ap->a_flags);
  if (f.cnp->kind != MDCUDFSR_NODE_UDF) {
    mdcudfsr_cache_unlock_node(f.cnp);
    const int err = cluster_pageout(ap->a_vp, ap->a_pl, ap->a_pl_offset, ap->a_f_offset,
                                    static_cast<int>(ap->a_size), static_cast<off64_kel_t>(s), ap->a_flags);
    mdcudfsr_cache_lock_node(f.cnp, MDCUDFSR_WAIT_FOREVER);
    if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return vn_leave(f, err);
  }
  int err = 0;
  std::uint64_t size = ap->a_size;
  std::int64_t off = ap->a_f_offset;
  std::uint32_t pl_off = ap->a_pl_offset;
  while (size > 0 && err == 0) {
    VN_LOG(KEL_LOG_DEBG, "write loop: size=%d file_offset=%lld upl_offset=%d\n", static_cast<int>(size),
           static_cast<long long>(off), pl_off);
    if (off < 0 || static_cast<std::uint64_t>(off) >= s) {
      VN_LOG(KEL_LOG_ERR, "Unexpected file offset, ubc_upl_abort_range(upl_offset=%d size=%d)\n", pl_off,
             static_cast<int>(size));
      ubc_upl_abort_range(ap->a_pl, pl_off, static_cast<std::uint32_t>(size), 8);
      break;
    }
    std::uint64_t advance = 0;
    err = pageout_step(f, ap, pl_off, off, size, s, &advance);
    if (advance == 0 || advance > size) advance = size;
    size -= advance;
    off += static_cast<std::int64_t>(advance);
    pl_off += static_cast<std::uint32_t>(advance);
  }
  mdcudfsr_update_vol_last_modification_time(f.mnt);
  return vn_leave(f, err);
}
