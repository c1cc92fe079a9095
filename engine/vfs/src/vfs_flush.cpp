// Metadata and descriptor flush of write-once media, and its variant run by
// the track controls.
#include "kelvfs/mdcudfsr_flush.h"

#include "drive/device_control.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_names.h"
#include "udf/udf_vds_flush.h"
#include "vfs_flush_internal.h"
#include "vfs_log.h"

namespace {



struct Run : vfs_flush::Frame {
  int flags = 0;
  int close_session = 0;
  int node_opt = 0;
  int on_mount = 0;
  bool ex = false;
  int vds_option = 0;
  int skip = 0;
  bool ro = false;  // the read-only switch is due
};

void clean_up_inactive(mdcudfsr_mount* mnt) {
  if (mnt->root_node) mdcudfsr_cache_clean_up_inactive_node(mnt->root_node);
  if (mnt->shadow_node) mdcudfsr_cache_clean_up_inactive_node(mnt->shadow_node);
}

int run(Run& r);

// A file written through its proxy that the new disc's flush left out (it
// leaves such files to the flush that follows).
bool master_left_out(mdcudfsr_mount* mnt) {
  mdcudfsr_cache_node* root = mnt->root_node;
  for (mdcudfsr_cache_node* n = root; n; n = mdcudfsr_cache_get_next_node(mnt, n, root, 1))
    if (n->kind == MDCUDFSR_NODE_MASTER && n->cache_dirty) return true;
  return false;
}

// The flush that follows a move to the next track at once when the move
// left a file's entry out: with the session closed, no later flush would
// find the volume changed, and the file would stay unrecorded.
int flush_left_out(const Run& r) {
  if (!master_left_out(r.mnt)) return 0;
  int err = mdcudfsr_update_session(r.mnt, r.ctx, MDCUDFSR_SESSION_OPEN);
  if (err) return err;
  Run again;
  again.mnt = r.mnt;
  again.ctx = r.ctx;
  again.flags = r.flags;
  again.close_session = r.close_session;
  again.node_opt = r.node_opt;
  return run(again);
}

// Closes the session after a move to the next track; ten attempts.
int close_after_next_track(Run& r) {
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    err = mdcudfsr_update_session(r.mnt, r.ctx, MDCUDFSR_SESSION_CLOSE);
    if (!err) {
      mdcudfsr_flush_descriptor_to_fscache_file(r.mnt, r.ctx);
      return 0;
    }
    VFS_LOG(KEL_LOG_WARN, "failed to write lvid with status %d. \n", err);
  }
  VFS_LOG(KEL_LOG_ERR, "failed to write lvid with status %d. do read only mount. \n", err);
  r.ro = true;
  return err;
}

// A metadata failure: read-only in the general flush; in the variant the
// entry locations go back and the flush goes on (0).
int metadata_failed(Run& r, int err, const uint32_t saved[2], const char* ex_text) {
  if (!r.ex) {
    r.ro = true;
    return err;
  }
  r.mnt->metadata_file_loc = saved[0];
  r.mnt->metadata_mirror_loc = saved[1];
  VFS_LOG(KEL_LOG_WARN, "%s", ex_text);
  r.skip = 1;
  return 0;
}

// The metadata extent lists rebuilt; a change on the first
// attempt runs the full node-cache pass. 0, or an error with r.ro set.
int rebuild_lists(Run& r, int attempt, bool* changed_seen) {
  mdcudfsr_mount* mnt = r.mnt;
  uint32_t changed = 0;
  if (mnt->fsd_relocation) {
    mdcudfsr_rebuild_metadata_extent_list_for_fsd(mnt, &changed);
    mnt->fsd_relocation = 0;
    if (changed) *changed_seen = true;
  }
  if (mnt->flush_policy == 1 && !changed) {
    int err = mdcudfsr_rebuild_metadata_extent_list_ex(mnt, mnt->udf_root, r.ex ? 1 : r.node_opt, &changed);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "failed rebuild metadata efe data.\n");
      return err;
    }
    if (!changed) mdcudfsr_cache_check_metadata_aed(mnt, 0, &changed, 1);
  }
  if (!changed || attempt != 0) return 0;
  *changed_seen = true;
  mnt->flushAllMetadata = 1;
  const int err = vfs_flush::node_cache_pass(mnt, r.ctx, nullptr, r.node_opt, r.ex ? 1 : 0, true, r.on_mount);
  if (err) VFS_LOG(KEL_LOG_ERR, "failed metadata extent flush. do read only mount.\n");
  return err;
}

// The entries recorded at the next writable address and verified.
int record_entries(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  const uint32_t saved[2] = {mnt->metadata_file_loc, mnt->metadata_mirror_loc};
  const char* kExhausted = "failed metadata main/mirror efe flush. \n";
  bool changed_seen = false;
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    uint32_t nwa = 0;
    err = vfs_flush::read_nwa(mnt, r.ctx, r.on_mount, &nwa);
    if (err) return r.ex ? metadata_failed(r, err, saved, kExhausted) : err;
    if (attempt == 0 || !r.ex) {
      err = rebuild_lists(r, attempt, &changed_seen);
      if (err) return metadata_failed(r, err, saved, "failed metadata extent flush. \n");
      if (changed_seen && attempt == 0) {
        err = vfs_flush::read_nwa(mnt, r.ctx, r.on_mount, &nwa);
        if (err) return r.ex ? metadata_failed(r, err, saved, kExhausted) : err;
      }
    }
    uint32_t loc[2] = {};
    err = vfs_flush::place_entries(mnt, nwa, &loc[0], &loc[1]);
    if (err) return metadata_failed(r, err, saved, kExhausted);
    uint32_t prev[2] = {saved[0], saved[1]};
    if (mnt->mount_ext_flags & 0x20) {
      prev[0] = prev[1] = MDCUDFSR_INVALID_LBN;
      mnt->part[0].efe.l_ea = mnt->part[1].efe.l_ea = 0;
    }
    mnt->metadata_file_loc = loc[0];
    mnt->metadata_mirror_loc = loc[1];
    int which = 0;
    err = vfs_flush::stage_entries(mnt, r.ctx, prev, &which);
    if (err) {
      VFS_LOG(KEL_LOG_ERR,
              which ? "failed metadata mirror efe for cluster buffer data. err=%d\n"
                    : "failed metadata main efe for cluster buffer data. err=%d\n",
              err);
      return metadata_failed(r, err, saved, kExhausted);
    }
    err = mdcudfsr_flush_cluster_buffer(mnt, mdcudfsr_lbn2lsn(mnt, 2, loc[0], nullptr), 1, r.ctx);
    if (err) {
      if (r.ex) {
        VFS_LOG(KEL_LOG_WARN, "failed metadata mirror efe for cluster buffer data. Status=%d\n", err);
        continue;
      }
      if (vfs_flush::remaining_sectors(mnt, r.ctx, r.on_mount) == 0) break;
      VFS_LOG(KEL_LOG_WARN, "failed to flush metadata FE with status %d. \n", err);
      continue;
    }
    err = vfs_flush::sync_and_verify(mnt, r.ctx, r.on_mount, nwa);
    if (err) continue;
    vfs_flush::entries_recorded(mnt);
    return 0;
  }
  if (r.ex) return metadata_failed(r, err, saved, kExhausted);
  VFS_LOG(KEL_LOG_ERR, "failed metadata main/mirror efe flush. do read only mount.\n");
  r.ro = true;
  return err ? err : 5;
}

int write_vds(Run& r) {
  uint32_t out = 0;
  const int err = vfs_flush::attempts([&] { return mdcudfsr_flush_vds(r.mnt, &out, r.ctx, r.vds_option); },
                                      "failed to write vds with status %d. \n");
  if (err) VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// The integrity descriptor written, the session left open.
int write_lvid(Run& r) {
  const int err = vfs_flush::attempts(
      [&] {
        std::lock_guard<mdcudfsr_owned_mutex> lk(r.mnt->lvid_mutex);
        return mdcudfsr_flush_lvid(r.mnt, r.ex ? 1 : 0, r.ctx, 1);
      },
      "failed to write vds with status %d. \n");
  if (!err) return 0;
  if (!r.mnt->system_guard) {
    VFS_LOG(KEL_LOG_ERR, r.ex ? "failed to flush lvid retry over %d. \n"
                              : "failed to flush lvid retry over %d. do read only mount. \n",
            kFlushAttempts - 1);
    r.ro = true;
  }
  VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

// The session closed and the drive told.
int close_session(Run& r, bool link) {
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

// Completion: resources, device synchronisation, cartridge memory, cache-file copy.
int complete(Run& r) {
  int err = mdcudfsr_check_media_resources(r.mnt, 0, r.ctx, nullptr);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  vfs_flush::log_elapsed(r);
  err = VNOP_FSYNC(r.mnt->devvp, r.flags & 1, r.ctx);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  int write_err = 0;
  err = vfs_flush::refresh_attributes(r.mnt, r.ctx, r.on_mount, &write_err);
  if (err) return err;
  if (r.close_session && r.mnt->fsmanage_handle >= 0) mdcudfsr_flush_descriptor_to_fscache_file(r.mnt, r.ctx);
  return 0;
}

// The resources after the descriptors: 0 to go on, 1 when the flush ended (result in *err).
int after_descriptors(Run& r, int* err) {
  int sufficient = 1;
  *err = mdcudfsr_check_media_resources(r.mnt, r.on_mount, r.ctx, &sufficient);
  if (*err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", *err);
    return 1;
  }
  if (sufficient) return 0;
  mdcudfsr_mount* mnt = r.mnt;
  if (mnt->current_disc + 1 < mnt->num_discs) {
    if (!vfs_flush::may_move_track(mnt)) return 0;
    *err = vfs_flush::move_track(mnt, r.ctx, false);
    if (!*err) *err = close_after_next_track(r);
    return 1;
  }
  VFS_LOG(KEL_LOG_WARN, "LastWrittenSlot is Over slot:[%d] \n", static_cast<int>(mnt->current_disc));
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, 0x800, 1, r.ctx);
  mdcudfsr_send_mntinfo(mnt, r.ctx);
  r.close_session = 1;
  return 0;
}

// Everything after the node locks; the result.
int body(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (!vfs_flush::open_flush(mnt, r.ctx)) return 0;
  int err = 0;
  if (!r.ex) {
    int sufficient = 1;
    err = mdcudfsr_check_media_resources(mnt, r.on_mount, r.ctx, &sufficient);
    if (err) {
      VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
      return err;
    }
    // A full last disc goes on: the later check takes its last-slot branch.
    if (!sufficient && vfs_flush::may_move_track(mnt)) {
      err = vfs_flush::move_track(mnt, r.ctx, true);
      if (!err) err = close_after_next_track(r);
      return err ? err : flush_left_out(r);
    }
  }
  vfs_flush::choose_full_layout(mnt);
  int wrote = 0;
  err = vfs_flush::node_cache_pass(mnt, r.ctx, &wrote, r.node_opt, r.ex ? 1 : 0, false, r.on_mount);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, r.ex ? "failed metadata extent flush. \n"
                              : "failed metadata extent flush. do read only mount.\n");
    if (!r.ex) {
      r.ro = true;
      return err;
    }
    r.skip = 1;
  } else if (wrote) {
    err = record_entries(r);
    if (err) return err;
  }
  if (!r.ex && !wrote) {
    // The entries keep their locations: the integrity descriptor follows.
  } else if (r.ex || mdcudfsr_counters_below_limit(mnt)) {
    err = write_vds(r);
    if (err) return err;
  }
  if (!r.ex && wrote && after_descriptors(r, &err)) return err;
  err = r.close_session ? close_session(r, !r.ex) : write_lvid(r);
  if (err) return err;
  return complete(r);
}

int run(Run& r) {
  VFS_ENTER();
  vfs_flush::begin(r);
  mdcudfsr_mount* mnt = r.mnt;
  if (!mnt->root_node) return vfs_flush::early_exit(r, 22);
  if (mnt->flush_policy != 1 && mnt->flush_policy != 2) return vfs_flush::early_exit(r, 0);
  mnt->cluster_next_offset = 0;
  int err = mdcudfsr_cache_local_cache_open(mnt, 3, r.ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_cache_local_cache_open is failed err=%d\n", err);
    r.ro = !(r.ex && r.on_mount);
  } else {
    if (!r.ex && !(r.flags & 2)) {
      err = vfs_flush::visit_vnodes(r);
      if (err) return vfs_flush::early_exit(r, err);
    }
    err = vfs_flush::lock_nodes(r, r.flags);
    if (err) return vfs_flush::early_exit(r, err);
    clean_up_inactive(mnt);
    if (r.readonly) return vfs_flush::early_exit(r, 0);
    err = body(r);
  }
  if (r.ro && !(r.ex && r.on_mount)) vfs_flush::readonly_switch(mnt, err, r.ctx);
  if (r.close_session) mnt->coherency_refreshed = 0;
  if (r.ex) {
    if (r.skip) VFS_LOG(KEL_LOG_WARN, "metadata part skipped\n");
  }
  vfs_flush::finish(r, err);
  if (!err) mnt->metadata_changed = 0;
  VFS_LOGK(KEL_LOG_WARN, "Metadata and Descriptor Flush End result=%d\n", err);
  VFS_EXIT(err);
  return err;
}

}  // namespace

int mdcudfsr_flush_metadata_and_descriptor(mdcudfsr_mount* mnt, int flags, int close_session, int node_flush_option,
                                           vfs_context_t ctx, int on_mount) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return 22;
  }
  Run r;
  r.mnt = mnt;
  r.ctx = ctx;
  r.flags = flags;
  r.close_session = close_session;
  r.node_opt = node_flush_option;
  r.on_mount = on_mount;
  return run(r);
}

int mdcudfsr_flush_metadata_and_descriptor_ex(mdcudfsr_mount* mnt, int flags, int close_session, vfs_context_t ctx,
                                              int vds_option, int on_mount, int clear_node_flush_option,
                                              int* skipped) {
  if (skipped) *skipped = 0;
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return 22;
  }
  Run r;
  r.mnt = mnt;
  r.ctx = ctx;
  r.flags = flags;
  r.close_session = close_session;
  r.node_opt = clear_node_flush_option ? 0 : 1;
  r.on_mount = on_mount;
  r.ex = true;
  r.vds_option = vds_option;
  const int err = run(r);
  if (skipped) *skipped = r.skip;
  return err;
}
