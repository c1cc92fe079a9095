// The stages shared by the metadata and descriptor flushes of write-once media.
#include "vfs_flush_wo.h"

#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_names.h"
#include "udf/udf_vds_flush.h"
#include "vfs_log.h"

namespace vfs_flush {

namespace {

void clean_up_inactive(mdcudfsr_mount* mnt) {
  if (mnt->root_node) mdcudfsr_cache_clean_up_inactive_node(mnt->root_node);
  if (mnt->shadow_node) mdcudfsr_cache_clean_up_inactive_node(mnt->shadow_node);
}

// An opening that ended the run with `result`.
Opened ended(WriteOnceRun& r, int result, int* err) {
  *err = early_exit(r, result);
  return Opened::Ended;
}

}  // namespace

bool take_options(WriteOnceRun& r, mdcudfsr_mount* mnt, vfs_context_t ctx, int flags, int close_session, int node_opt,
                  int on_mount) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return false;
  }
  r.mnt = mnt;
  r.ctx = ctx;
  r.flags = flags;
  r.close_session = close_session;
  r.node_opt = node_opt;
  r.on_mount = on_mount;
  return true;
}

Opened open_run(WriteOnceRun& r, bool visit, int* err) {
  begin(r);
  mdcudfsr_mount* mnt = r.mnt;
  if (!mnt->root_node) return ended(r, 22, err);
  if (mnt->flush_policy != 1 && mnt->flush_policy != 2) return ended(r, 0, err);
  mnt->cluster_next_offset = 0;
  *err = mdcudfsr_cache_local_cache_open(mnt, 3, r.ctx);
  if (*err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_cache_local_cache_open is failed err=%d\n", *err);
    r.ro = true;
    return Opened::NoLocalCache;
  }
  if (visit) {
    if (const int e = visit_vnodes(r)) return ended(r, e, err);
  }
  if (const int e = lock_nodes(r, r.flags)) return ended(r, e, err);
  clean_up_inactive(mnt);
  if (r.readonly) return ended(r, 0, err);
  return Opened::Locked;
}

int rebuild_lists(WriteOnceRun& r, int rebuild_option, int pass_last, int attempt, bool* changed_seen) {
  mdcudfsr_mount* mnt = r.mnt;
  uint32_t changed = 0;
  if (mnt->fsd_relocation) {
    mdcudfsr_rebuild_metadata_extent_list_for_fsd(mnt, &changed);
    mnt->fsd_relocation = 0;
    if (changed) *changed_seen = true;
  }
  if (mnt->flush_policy == 1 && !changed) {
    int err = mdcudfsr_rebuild_metadata_extent_list_ex(mnt, mnt->udf_root, rebuild_option, &changed);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "failed rebuild metadata efe data.\n");
      return err;
    }
    if (!changed) mdcudfsr_cache_check_metadata_aed(mnt, 0, &changed, 1);
  }
  if (!changed || attempt != 0) return 0;
  *changed_seen = true;
  mnt->flushAllMetadata = 1;
  const int err = node_cache_pass(mnt, r.ctx, nullptr, r.node_opt, pass_last, true, r.on_mount);
  if (err) VFS_LOG(KEL_LOG_ERR, "failed metadata extent flush. do read only mount.\n");
  return err;
}

int write_entries(WriteOnceRun& r, const uint32_t saved[2], uint32_t nwa, EntryStep* failed) {
  mdcudfsr_mount* mnt = r.mnt;
  *failed = EntryStep::Stage;
  uint32_t loc[2] = {};
  int err = place_entries(mnt, nwa, &loc[0], &loc[1]);
  if (err) return err;
  uint32_t prev[2] = {saved[0], saved[1]};
  if (mnt->mount_ext_flags & 0x20) {
    prev[0] = prev[1] = MDCUDFSR_INVALID_LBN;
    mnt->part[0].efe.l_ea = mnt->part[1].efe.l_ea = 0;
  }
  mnt->metadata_file_loc = loc[0];
  mnt->metadata_mirror_loc = loc[1];
  int which = 0;
  err = stage_entries(mnt, r.ctx, prev, &which);
  if (err) {
    VFS_LOG(KEL_LOG_ERR,
            which ? "failed metadata mirror efe for cluster buffer data. err=%d\n"
                  : "failed metadata main efe for cluster buffer data. err=%d\n",
            err);
    return err;
  }
  *failed = EntryStep::Write;
  err = mdcudfsr_flush_cluster_buffer(mnt, mdcudfsr_lbn2lsn(mnt, 2, loc[0], nullptr), 1, r.ctx);
  if (err) return err;
  *failed = EntryStep::Verify;
  err = sync_and_verify(mnt, r.ctx, r.on_mount, nwa);
  if (err) return err;
  entries_recorded(mnt);
  return 0;
}

int write_vds(WriteOnceRun& r, int vds_option) {
  uint32_t out = 0;
  const int err = attempts([&] { return mdcudfsr_flush_vds(r.mnt, &out, r.ctx, vds_option); },
                           "failed to write vds with status %d. \n");
  r.mnt->descriptors_owed = err ? 1 : 0;
  if (err) VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

namespace {

// The integrity descriptor written, the session left open; ten attempts.
// Exhaustion makes the read-only switch due unless the disc-change guard
// has tripped.
int write_lvid(WriteOnceRun& r, int lvid_option, const char* exhausted) {
  const int err = attempts(
      [&] {
        std::lock_guard<mdcudfsr_owned_mutex> lk(r.mnt->lvid_mutex);
        return mdcudfsr_flush_lvid(r.mnt, lvid_option, r.ctx, 1);
      },
      "failed to write vds with status %d. \n");
  if (!err) return 0;
  if (!r.mnt->system_guard) {
    VFS_LOG(KEL_LOG_ERR, exhausted, kFlushAttempts - 1);
    r.ro = true;
  }
  VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// The session closed (after the descriptors are linked to the new entries
// when `link` is set and the counters are past their limit) and the drive
// told.
int close_session(WriteOnceRun& r, bool link) {
  int err = 0;
  if (link && !mdcudfsr_counters_below_limit(r.mnt)) {
    err = mdcudfsr_link_vds(r.mnt, r.ctx);
    if (err) {
      VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
  }
  err = mdcudfsr_update_session(r.mnt, r.ctx, MDCUDFSR_SESSION_CLOSE);
  if (err) {
    VFS_LOG(KEL_LOG_WARN, "failed to write lvid with status %d. \n", err);
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  err = mdcudfsr_start_stop_unit(r.mnt->devvp, 0, r.ctx);
  if (err) VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// Completion: resources, device synchronisation, cartridge memory and the
// cache-file copy of the descriptors.
int complete(WriteOnceRun& r) {
  int err = mdcudfsr_check_media_resources(r.mnt, 0, r.ctx, nullptr);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  log_elapsed(r);
  err = VNOP_FSYNC(r.mnt->devvp, r.flags & MDCUDFSR_FLUSHF_WAIT, r.ctx);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  int write_err = 0;
  err = refresh_attributes(r.mnt, r.ctx, r.on_mount, &write_err);
  if (err) return err;
  if (r.close_session && r.mnt->fsmanage_handle >= 0) mdcudfsr_flush_descriptor_to_fscache_file(r.mnt, r.ctx);
  return 0;
}

}  // namespace

int end_session_and_complete(WriteOnceRun& r, const SessionEnd& how) {
  const int err = r.close_session ? close_session(r, how.link) : write_lvid(r, how.lvid_option, how.lvid_exhausted);
  return err ? err : complete(r);
}

void settle(WriteOnceRun& r, int err) {
  if (r.ro) readonly_switch(r.mnt, err, r.ctx);
  if (r.close_session) r.mnt->coherency_refreshed = 0;
}

int end_run(WriteOnceRun& r, int err) {
  finish(r, err);
  if (!err) r.mnt->metadata_changed = 0;
  VFS_LOGK(KEL_LOG_WARN, "Metadata and Descriptor Flush End result=%d\n", err);
  VFS_EXIT(err);
  return err;
}

}  // namespace vfs_flush
