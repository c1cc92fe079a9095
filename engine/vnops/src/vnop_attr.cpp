// File and volume attributes: getattr, setattr, statfs and the attribute
// record of the VFAM user agent.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_vnops.h"
#include "vnop_frame.h"

#include "kelagent/vfam_client.h"
#include "kelvfs/mdcudfsr_event_log.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvfs/mdcudfsr_volume_attr.h"

#include <cstring>
#include <strings.h>

namespace {

constexpr std::uint64_t kRootFast = VATTR_UID | VATTR_GID | VATTR_MODE | VATTR_FLAGS;  // 0x780
constexpr std::uint32_t kImmutable = 0x2 | 0x20000;

bool asked(const vnode_attr* v, std::uint64_t bit) { return (v->va_active & bit) != 0; }
void give(vnode_attr* v, std::uint64_t bit) { v->va_supported |= bit; }

std::uint16_t type_bits(const mdcudfsr_cache_node* n) {
  return mdcudfsr_is_dir(n) ? 0x4000 : 0x8000;
}

// uid, gid, mode and flags from the entry; the privileged process sees the
// immutable marks cleared.
void owner_from_entry(const vn_frame& f, vnode_attr* v) {
  const extended_file_entry& e = f.cnp->udf_data->efe;
  v->va_uid = e.uid;
  v->va_gid = e.gid;
  v->va_mode = static_cast<std::uint16_t>(mdcudfsr_perm_udf2unix(e.perm) | type_bits(f.cnp));
  v->va_flags = f.cnp->file_flags;
  if (mdcudfsr_is_privileged_process(f.mnt, f.pid)) v->va_flags &= ~kImmutable;
  give(v, VATTR_UID | VATTR_GID | VATTR_MODE | VATTR_FLAGS);
}

void times_from_entry(const vn_frame& f, vnode_attr* v) {
  const extended_file_entry& e = f.cnp->udf_data->efe;
  mdcudfsr_udftime2timespec(&e.ctime, &v->va_create_time);
  mdcudfsr_udftime2timespec(&e.atime, &v->va_access_time);
  mdcudfsr_udftime2timespec(&e.mtime, &v->va_modify_time);
  mdcudfsr_udftime2timespec(&e.attrtime, &v->va_change_time);
  v->va_modify_time.tv_sec += f.cnp->time_adjust;
  v->va_change_time.tv_sec += f.cnp->time_adjust;
  give(v, VATTR_CREATE_TIME | VATTR_ACCESS_TIME | VATTR_MODIFY_TIME | VATTR_CHANGE_TIME);
}

std::uint64_t round_block(std::uint64_t bytes, std::uint32_t bs) { return (bytes + bs - 1) / bs * bs; }

void from_vfam(const vn_frame& f, vnode_attr* v) {
  const mdcudfsr_vfam_data* d = f.cnp->vfam_data;
  v->va_uid = d->uid;
  v->va_gid = d->gid;
  v->va_mode = static_cast<std::uint16_t>((d->perm & 07777) | type_bits(f.cnp));
  const struct timespec* t[4] = {&v->va_access_time, &v->va_create_time, &v->va_modify_time, &v->va_change_time};
  for (int i = 0; i < 4; ++i) {
    auto* ts = const_cast<struct timespec*>(t[i]);
    ts->tv_sec = static_cast<time_t>(d->times[2 * i]);
    ts->tv_nsec = static_cast<long>(d->times[2 * i + 1]);
  }
  give(v, VATTR_UID | VATTR_GID | VATTR_MODE | VATTR_CREATE_TIME | VATTR_ACCESS_TIME | VATTR_MODIFY_TIME |
              VATTR_CHANGE_TIME);
}

int getattr_kind(vn_frame& f, vnode_attr* v, bool locked) {
  mdcudfsr_cache_node* n = f.cnp;
  const std::uint32_t bs = f.mnt->logical_block_size;
  switch (n->kind) {
    case MDCUDFSR_NODE_UDF:
    case MDCUDFSR_NODE_PROXY: {
      const std::uint64_t alloc =
          n->udf_data ? round_block(mdcudfsr_extent_list_get_selected_length(&n->udf_data->extents, 0), bs) : 0;
      v->va_total_alloc = v->va_data_alloc = alloc;
      give(v, VATTR_TOTAL_ALLOC | VATTR_DATA_ALLOC);
      if (n->udf_data) {
        owner_from_entry(f, v);
        times_from_entry(f, v);
      }
      return 0;
    }
    case MDCUDFSR_NODE_VIRTUAL: {
      mdcudfsr_wait_vfam_mounted(f.mnt, n, f.ctx);
      if (n->vfam_data == nullptr) {
        VN_LOG(KEL_LOG_ERR, " vfam_data is not alloc \n");
        return KEL_EINVAL;
      }
      v->va_total_alloc = v->va_data_alloc = round_block(mdcudfsr_cache_get_file_size(n), bs);
      give(v, VATTR_TOTAL_ALLOC | VATTR_DATA_ALLOC);
      from_vfam(f, v);
      return 0;
    }
    case MDCUDFSR_NODE_MASTER: {
      const int wait = mdcudfsr_wait_vfam_mounted(f.mnt, n, f.ctx);
      if (mdcudfsr_user_layer_block(f.mnt, f.pid)) return KEL_EINVAL;
      int agent = 6;
      vfamstat st{};
      if (!n->close_mark && locked) {
        agent = mdcudfsr_vfam_get_file_attr(n, &st);
        if (agent) VN_LOG(KEL_LOG_ERR, "[%s]mdcudfsr_vfam_get_file_attr err:%d \n", mdcudfsr_node_name(n), agent);
        else mdcudfsr_vfamstat2vfamdata(&st, n);
      }
      v->va_total_alloc = v->va_data_alloc = round_block(mdcudfsr_cache_get_file_size(n), bs);
      v->va_total_size = v->va_data_size = agent == 0 ? st.size : 0;
      give(v, VATTR_TOTAL_ALLOC | VATTR_DATA_ALLOC);
      if (n->vfam_data && agent == 0) {
        from_vfam(f, v);
        v->va_total_size = v->va_data_size = mdcudfsr_cache_get_file_size(n);
      } else if (wait || agent) {
        if (n->udf_data) {
          owner_from_entry(f, v);
          times_from_entry(f, v);
        }
      } else {
        VN_LOG(KEL_LOG_DEBG, "not vfam_data alloc\n");
      }
      return 0;
    }
    case MDCUDFSR_NODE_SHADOW: {
      v->va_uid = 0x0BFFFFFF;
      v->va_gid = 4;
      v->va_total_alloc = v->va_data_alloc = 0;
      v->va_mode = mdcudfsr_is_dir(n) ? 0x41FF : 0x81FF;
      struct timespec now{};
      nanotime(&now);
      v->va_create_time = v->va_access_time = v->va_modify_time = v->va_change_time = now;
      give(v, VATTR_UID | VATTR_GID | VATTR_MODE | VATTR_TOTAL_ALLOC | VATTR_DATA_ALLOC | VATTR_CREATE_TIME |
                  VATTR_ACCESS_TIME | VATTR_MODIFY_TIME | VATTR_CHANGE_TIME);
      return 0;
    }
    default:
      return 0;
  }
}

void common_members(vn_frame& f, vnode_attr* v) {
  mdcudfsr_cache_node* n = f.cnp;
  v->va_fsid = static_cast<std::uint32_t>(f.mnt->mp ? f.mnt->mp->mnt_vfsstat.f_fsid[0] : 0);
  v->va_filerev = 0;
  v->va_gen = 0;
  if (asked(v, VATTR_PARENTID)) VN_LOG(KEL_LOG_ERR, "Ignoring va_parentid request\n");
  v->va_linkid = n->objid;
  v->va_dirlinkcount = 1;
  v->va_encoding = 126;
  v->va_nchildren = asked(v, VATTR_NCHILDREN) ? mdcudfsr_cache_nchildren(n) : 0;
  v->va_type = mdcudfsr_is_dir(n) ? VDIR : (n->symlink_target ? VLNK : VREG);
  v->va_rdev = 0;
  v->va_nlink = mdcudfsr_is_dir(n) ? 2 : 1;
  give(v, VATTR_FSID | VATTR_FILEREV | VATTR_GEN | VATTR_LINKID | VATTR_DIRLINKCOUNT | VATTR_ENCODING |
              VATTR_NCHILDREN | VATTR_TYPE | VATTR_RDEV | VATTR_NLINK);
  if (asked(v, VATTR_NAME) && !vnode_isvroot(f.vp)) {
    if (v->va_name == nullptr) {
      VN_LOG(KEL_LOG_ERR, "va_name is active but no buffer(%s)\n", mdcudfsr_node_name(n));
    } else if (n->vfs_name == nullptr || n->vfs_name[0] == '\0') {
      VN_LOG(KEL_LOG_ERR, "uninitialised vfs_name (node=%s)", mdcudfsr_node_name(n));
    } else {
      std::strncpy(v->va_name, n->vfs_name, VATTR_NAME_SIZE - 1);
      v->va_name[VATTR_NAME_SIZE - 1] = '\0';
      give(v, VATTR_NAME);
    }
  }
}

// The root's 0x780 without the node lock, under the attribute mutex.
bool root_fast_path(vnode_t vp, const vnode_attr* v, vfs_context_t ctx) {
  if (v->va_active != kRootFast || vp == nullptr || !vnode_isvroot(vp)) return false;
  char name[128] = {};
  proc_name(vfs_context_pid(ctx), name, sizeof name);
  VN_LOG(KEL_LOG_DEBG, "not lock, root node and attr=0x%x\n", static_cast<unsigned>(v->va_active));
  return true;
}

}  // namespace

int mdcudfsr_vnop_getattr(void* a) {
  auto* ap = static_cast<vnop_getattr_args*>(a);
  vnode_attr* v = ap->a_vap;
  vn_frame f{"vnop_getattr", ap->a_vp, ap->a_context};
  if (v == nullptr) return KEL_EINVAL;
  const bool fast = root_fast_path(ap->a_vp, v, ap->a_context);
  if (int err = vn_enter(f, !fast)) return vn_leave(f, err);
  VN_LOG(KEL_LOG_DEBG, "[vnop_getattr] [%s] objid=%lld type:%d\n", mdcudfsr_node_name(f.cnp),
         static_cast<long long>(f.cnp->objid), f.cnp->kind);
  char pname[128] = {};
  proc_name(f.pid, pname, sizeof pname);
  if (f.mnt->mds_refusal && std::strcmp(pname, "mds") == 0) {
    VN_LOG(KEL_LOG_ERR, "mdcudfsr_vnop_getattr is called by mds process. return EPERM[%d]\n", 1);
    return vn_leave(f, 1);
  }
  if (fast) {
    std::lock_guard<std::mutex> lk(f.mnt->attr_mutex);
    if (f.cnp->udf_data) owner_from_entry(f, v);
    return vn_leave(f, 0);
  }
  v->va_total_size = v->va_data_size = mdcudfsr_cache_get_file_size(f.cnp);
  v->va_iosize = 0x10000;
  v->va_flags = f.cnp->file_flags;
  v->va_fileid = f.cnp->objid;
  give(v, VATTR_TOTAL_SIZE | VATTR_DATA_SIZE | VATTR_IOSIZE | VATTR_FLAGS | VATTR_FILEID);
  int err = getattr_kind(f, v, f.locked);
  if (err == 0) common_members(f, v);
  const std::uint64_t missing = v->va_active & ~v->va_supported;
  if (missing) VN_LOG(KEL_LOG_DEBG, "not supported=0x%llx\n", static_cast<unsigned long long>(missing));
  return vn_leave(f, err);
}

namespace {

constexpr std::uint32_t kWriteChangeDelete = 0x6B5A;

int setattr_size(vn_frame& f, vnode_attr* v) {
  mdcudfsr_cache_node* n = f.cnp;
  if (n->symlink_target) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", "!( mdcudfsrcnp->symlink_target )");
    return 1;
  }
  n->udf_data->efe.mtime = n->udf_data->efe.attrtime;
  if (int err = mdcudfsr_cache_set_file_size(n, v->va_data_size)) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  give(v, VATTR_DATA_SIZE);
  if (n->kind == MDCUDFSR_NODE_UDF) mdcudfsr_cache_update_zoneid_map(n);
  return 0;
}

void set_immutable(mdcudfsr_cache_node* n, bool on) {
  for (mdcudfsr_cache_node* x : {n, n->kind == MDCUDFSR_NODE_PROXY ? n->master : nullptr}) {
    if (x == nullptr) continue;
    if (on) x->file_flags = (x->file_flags & ~0x20000u) | 0x2u;
    else x->file_flags &= ~kImmutable;
  }
}

int setattr_udf(vn_frame& f, vnode_attr* v) {
  mdcudfsr_cache_node* n = f.cnp;
  extended_file_entry& e = n->udf_data->efe;
  struct timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(f.mnt, &now, &e.attrtime);
  if (asked(v, VATTR_DATA_SIZE))
    if (int err = setattr_size(f, v)) return err;
  const struct {
    std::uint64_t bit;
    const struct timespec* ts;
    timestamp* to;
  } times[] = {{VATTR_CREATE_TIME, &v->va_create_time, &e.ctime},
               {VATTR_ACCESS_TIME, &v->va_access_time, &e.atime},
               {VATTR_MODIFY_TIME, &v->va_modify_time, &e.mtime}};
  for (const auto& t : times) {
    if (!asked(v, t.bit)) continue;
    mdcudfsr_timespec2udftime_local(f.mnt, t.ts, t.to);
    give(v, t.bit);
  }
  if (asked(v, VATTR_MODE)) {
    const std::uint32_t mode = v->va_mode | (mdcudfsr_is_dir(n) ? 0x140u : 0x100u);
    e.perm = mdcudfsr_perm_unix2udf(mode & 0x1C0);
    if ((e.perm & kWriteChangeDelete) != kWriteChangeDelete) set_immutable(n, true);
    give(v, VATTR_MODE);
  }
  if (asked(v, VATTR_FLAGS)) {
    set_immutable(n, (v->va_flags & kImmutable) != 0);
    give(v, VATTR_FLAGS);
  }
  if ((n->file_char & UDF_FILE_CHAR_HIDDEN) || v->va_active == VATTR_MODIFY_TIME) {
    mdcudfsr_update_vol_last_modification_time(f.mnt);
    return 0;
  }
  mdcudfsr_cache_set_dirty(n);
  mdcudfsr_update_vol_last_modification_time(f.mnt);
  if (int err = mdcudfsr_update_session(f.mnt, f.ctx, 1)) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  mdcudfsr_update_vol_last_partial_flush_time(f.mnt);
  return 0;
}

int setattr_vfam(vn_frame& f, vnode_attr* v) {
  mdcudfsr_cache_node* n = f.cnp;
  if (int err = mdcudfsr_wait_vfam_mounted(f.mnt, n, f.ctx)) return err;
  vfamstat st{};
  if (int err = mdcudfsr_vnodeattr2vfamstat(v, &st)) return err;
  if (n->kind == MDCUDFSR_NODE_VIRTUAL && mdcudfsr_user_layer_block(f.mnt, f.pid)) return KEL_EINVAL;
  if (int err = mdcudfsr_vfam_set_file_attr(n, &st)) {
    VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  mdcudfsr_vfamstat2vnodeattr(&st, v);
  if (n->kind == MDCUDFSR_NODE_MASTER && (st.valid & 0x400) && st.size != mdcudfsr_cache_get_file_size(n))
    mdcudfsr_cache_set_file_size(n, st.size);
  return 0;
}

int setattr_shadow(vn_frame& f, vnode_attr* v) {
  if (asked(v, VATTR_DATA_SIZE) && f.cnp->symlink_target) return 1;
  v->va_supported |= v->va_active & (VATTR_DATA_SIZE | VATTR_TOTAL_SIZE | VATTR_CREATE_TIME | VATTR_ACCESS_TIME |
                                     VATTR_MODIFY_TIME | VATTR_CHANGE_TIME | VATTR_MODE | VATTR_FLAGS);
  return 0;
}

}  // namespace

int mdcudfsr_vnop_setattr(void* a) {
  auto* ap = static_cast<vnop_setattr_args*>(a);
  vnode_attr* v = ap->a_vap;
  vn_frame f{"vnop_setattr", ap->a_vp, ap->a_context};
  if (v == nullptr) return KEL_EINVAL;
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  std::unique_lock<std::mutex> root_lock(f.mnt->attr_mutex, std::defer_lock);
  if (f.cnp == f.mnt->root_node) root_lock.lock();
  int err = vn_refuse_modify(f);
  const bool refused_limited = err == KEL_EBUSY;
  VN_LOG(KEL_LOG_DEBG, "[vnop_setattr] [%s] type:%d\n", mdcudfsr_node_name(f.cnp), f.cnp->kind);
  if (err == 0) {
    switch (f.cnp->kind) {
      case MDCUDFSR_NODE_UDF:
      case MDCUDFSR_NODE_PROXY:
        err = f.cnp->udf_data ? setattr_udf(f, v) : KEL_EINVAL;
        break;
      case MDCUDFSR_NODE_VIRTUAL:
      case MDCUDFSR_NODE_MASTER:
        err = setattr_vfam(f, v);
        break;
      case MDCUDFSR_NODE_SHADOW:
        err = setattr_shadow(f, v);
        break;
      default:
        break;
    }
  }
  if (root_lock.owns_lock()) root_lock.unlock();
  if (f.cnp->kind == MDCUDFSR_NODE_UDF && !refused_limited)
    mdcudfsr_log_set_attribute(f.mnt, f.cnp, err == 0 ? 0 : static_cast<int>(KELUDFS_ERR_SETATTR));
  return vn_leave(f, err);
}

int mdcudfsr_vnop_statfs(void* a) {
  auto* ap = static_cast<vnop_statfs_args*>(a);
  vn_frame f{"vnop_statfs", ap->a_vp, ap->a_context};
  if (ap->a_sbp == nullptr) return KEL_EINVAL;
  if (int err = vn_enter(f, true)) return vn_leave(f, err);
  mdcudfsr_mount* m = f.mnt;
  std::uint32_t total = m->total_blocks, free_blocks = m->free_blocks;
  int err = 0;
  if (m->size_unknown) err = mdcudfsr_get_volume_size_info(m, f.ctx, &total, &free_blocks, nullptr, nullptr, 0);
  std::uint32_t free_objects = 0;
  mdcudfsr_cache_get_free_object_count(m, 0, &free_objects);
  std::uint32_t limit = m->medium_type == 0xF2 ? 800000 : m->medium_type == 0xF1 ? 480000 : 60000;
  if (m->format_level >= 16) limit = 240000;
  const std::uint32_t reported = std::min(free_blocks, free_objects);
  kel_vnop_statfs& s = *ap->a_sbp;
  s = kel_vnop_statfs{m->logical_block_size, m->logical_block_size, total, free_blocks, free_blocks,
                      limit, reported, reported, 0, mdcudfsr_mntinfo_is_readonly(m) != 0 ? 1u : 0u, 975};
  return vn_leave(f, err);
}

int mdcudfsr_vnodeattr2vfamstat(const vnode_attr* v, vfamstat* st) {
  *st = vfamstat{};
  if (asked(v, VATTR_TOTAL_SIZE) && asked(v, VATTR_DATA_SIZE) && v->va_total_size != v->va_data_size) {
    VN_LOG(KEL_LOG_ERR, "va_total_size != va_data_size (total=%d, data=%d) and both VATTR_IS_ACTIVE",
           static_cast<int>(v->va_total_size), static_cast<int>(v->va_data_size));
    return KEL_EINVAL;
  }
  const auto set = [&](std::uint32_t bit) { st->valid |= bit; };
  if (asked(v, VATTR_TYPE)) { st->type = static_cast<std::uint8_t>(v->va_type); set(0x1); }
  if (asked(v, VATTR_UID)) { st->uid = v->va_uid; set(0x2); }
  if (asked(v, VATTR_GID)) { st->gid = v->va_gid; set(0x4); }
  if (asked(v, VATTR_MODE)) { st->mode = v->va_mode; set(0x8); }
  if (asked(v, VATTR_FLAGS)) { st->flags = v->va_flags; set(0x10); }
  if (asked(v, VATTR_FILEID)) { st->fileid = static_cast<std::uint32_t>(v->va_fileid); set(0x20); }
  if (asked(v, VATTR_ACCESS_TIME)) { st->atime_sec = v->va_access_time.tv_sec; st->atime_nsec = v->va_access_time.tv_nsec; set(0x40); }
  if (asked(v, VATTR_CREATE_TIME)) { st->crtime_sec = v->va_create_time.tv_sec; st->crtime_nsec = v->va_create_time.tv_nsec; set(0x80); }
  if (asked(v, VATTR_MODIFY_TIME)) { st->mtime_sec = v->va_modify_time.tv_sec; st->mtime_nsec = v->va_modify_time.tv_nsec; set(0x100); }
  if (asked(v, VATTR_CHANGE_TIME)) { st->ctime_sec = v->va_change_time.tv_sec; st->ctime_nsec = v->va_change_time.tv_nsec; set(0x200); }
  if (asked(v, VATTR_DATA_SIZE)) { st->size = v->va_data_size; set(0x400); }
  else if (asked(v, VATTR_TOTAL_SIZE)) { st->size = v->va_total_size; set(0x400); }
  return 0;
}

void mdcudfsr_vfamstat2vnodeattr(const vfamstat* st, vnode_attr* v) {
  const std::uint32_t m = st->valid;
  if (m & 0x1) { v->va_type = st->type; give(v, VATTR_TYPE); }
  if (m & 0x2) { v->va_uid = st->uid; give(v, VATTR_UID); }
  if (m & 0x4) { v->va_gid = st->gid; give(v, VATTR_GID); }
  if (m & 0x8) { v->va_mode = st->mode; give(v, VATTR_MODE); }
  if (m & 0x10) { v->va_flags = st->flags; give(v, VATTR_FLAGS); }
  if (m & 0x20) { v->va_fileid = st->fileid; give(v, VATTR_FILEID); }
  if (m & 0x40) { v->va_access_time = {static_cast<time_t>(st->atime_sec), static_cast<long>(st->atime_nsec)}; give(v, VATTR_ACCESS_TIME); }
  if (m & 0x80) { v->va_create_time = {static_cast<time_t>(st->crtime_sec), static_cast<long>(st->crtime_nsec)}; give(v, VATTR_CREATE_TIME); }
  if (m & 0x100) { v->va_modify_time = {static_cast<time_t>(st->mtime_sec), static_cast<long>(st->mtime_nsec)}; give(v, VATTR_MODIFY_TIME); }
  if (m & 0x200) { v->va_change_time = {static_cast<time_t>(st->ctime_sec), static_cast<long>(st->ctime_nsec)}; give(v, VATTR_CHANGE_TIME); }
  if (m & 0x400) { v->va_total_size = st->size; give(v, VATTR_TOTAL_SIZE); }
}

void mdcudfsr_vfamstat2vfamdata(const vfamstat* st, mdcudfsr_cache_node* n) {
  mdcudfsr_vfam_data* d = n->vfam_data;
  if (d == nullptr) return;
  d->perm = st->mode;
  d->uid = st->uid;
  d->gid = st->gid;
  d->file_size = static_cast<std::int64_t>(st->size);
  const std::int64_t t[8] = {st->atime_sec, st->atime_nsec, st->crtime_sec, st->crtime_nsec,
                             st->mtime_sec, st->mtime_nsec, st->ctime_sec, st->ctime_nsec};
  for (int i = 0; i < 8; ++i) d->times[i] = static_cast<std::uint64_t>(t[i]);
}
