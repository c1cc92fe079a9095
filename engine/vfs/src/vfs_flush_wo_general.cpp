// The general metadata and descriptor flush of write-once media: sync,
// unmount, the mount's close of an open session and the controls that
// flush. Short of room it moves to the next track itself.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_flush.h"

#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "udf/udf_lvid.h"
#include "vfs_flush_wo.h"
#include "vfs_log.h"

namespace {

using vfs_flush::EntryStep;
using vfs_flush::WriteOnceRun;

int run(WriteOnceRun& r);

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
int flush_left_out(const WriteOnceRun& r) {
  if (!master_left_out(r.mnt)) return 0;
  int err = mdcudfsr_update_session(r.mnt, r.ctx, MDCUDFSR_SESSION_OPEN);
  if (err) return err;
  WriteOnceRun again;
  again.mnt = r.mnt;
  again.ctx = r.ctx;
  again.flags = r.flags;
  again.close_session = r.close_session;
  again.node_opt = r.node_opt;
  return run(again);
}

// Closes the session after a move to the next track; ten attempts.
int close_after_next_track(WriteOnceRun& r) {
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

// The track short of room before anything was written: the next track
// written, the session closed, and a file the move left out flushed there.
int flush_on_next_track(WriteOnceRun& r) {
  int err = vfs_flush::move_track(r.mnt, r.ctx, true);
  if (!err) err = close_after_next_track(r);
  return err ? err : flush_left_out(r);
}

// The next writable address for an attempt, read once the metadata extent
// lists are rebuilt. The rebuild comes first: the entries the node pass
// wrote are numbered as the rebuilt lists number them, so lists left
// unrebuilt by an unreadable address would give the next pass's entries
// numbers one block off from where they lie. An unreadable address ends
// the flush as it is; a failed rebuild makes the read-only switch due.
int address_for_attempt(WriteOnceRun& r, int attempt, bool* changed_seen, uint32_t* nwa) {
  const int err = vfs_flush::rebuild_lists(r, r.node_opt, 0, attempt, changed_seen);
  if (err) {
    r.ro = true;
    return err;
  }
  return vfs_flush::read_nwa(r.mnt, r.ctx, r.on_mount, nwa);
}

// The entries recorded at the next writable address and verified; ten
// attempts, fewer when the track has no room left.
int record_entries(WriteOnceRun& r) {
  const uint32_t saved[2] = {r.mnt->metadata_file_loc, r.mnt->metadata_mirror_loc};
  bool changed_seen = false;
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    uint32_t nwa = 0;
    err = address_for_attempt(r, attempt, &changed_seen, &nwa);
    if (err) return err;
    EntryStep failed = EntryStep::Stage;
    err = vfs_flush::write_entries(r, saved, nwa, &failed);
    if (!err) return 0;
    if (failed == EntryStep::Stage) {
      r.ro = true;
      return err;
    }
    if (failed == EntryStep::Write) {
      if (vfs_flush::remaining_sectors(r.mnt, r.ctx, r.on_mount) == 0) break;
      VFS_LOG(KEL_LOG_WARN, "failed to flush metadata FE with status %d. \n", err);
    }
  }
  VFS_LOG(KEL_LOG_ERR, "failed metadata main/mirror efe flush. do read only mount.\n");
  r.ro = true;
  return err ? err : KEL_EIO;
}

// The room left after the descriptors. Short of room with a disc after this
// one, *next_track says whether the flush moves there; short of room on the
// last disc, the volume is marked worn out and the session is closed.
int room_after_descriptors(WriteOnceRun& r, bool* next_track) {
  int sufficient = 1;
  const int err = mdcudfsr_check_media_resources(r.mnt, r.on_mount, r.ctx, &sufficient);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  if (sufficient) return 0;
  mdcudfsr_mount* mnt = r.mnt;
  if (mnt->current_disc + 1 < mnt->num_discs) {
    *next_track = vfs_flush::may_move_track(mnt);
    return 0;
  }
  VFS_LOG(KEL_LOG_WARN, "LastWrittenSlot is Over slot:[%d] \n", static_cast<int>(mnt->current_disc));
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_WORN_OUT, 1, r.ctx);
  mdcudfsr_send_mntinfo(mnt, r.ctx);
  r.close_session = 1;
  return 0;
}

// The written metadata recorded: the entries (when the pass wrote any), the
// descriptors when the entries are within the partition, then the room for
// what follows (*next_track as room_after_descriptors sets it).
int record_written(WriteOnceRun& r, bool entries, bool* next_track) {
  int err = entries ? record_entries(r) : 0;
  if (!err && mdcudfsr_counters_below_limit(r.mnt)) err = vfs_flush::write_vds(r, 0);
  return err ? err : room_after_descriptors(r, next_track);
}

// The move to the next track after the descriptors, its session closed.
int close_on_next_track(WriteOnceRun& r) {
  const int err = vfs_flush::move_track(r.mnt, r.ctx, false);
  return err ? err : close_after_next_track(r);
}

// Everything after the node locks; the result.
int body(WriteOnceRun& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (!vfs_flush::open_flush(mnt, r.ctx)) return 0;
  int sufficient = 1;
  int err = mdcudfsr_check_media_resources(mnt, r.on_mount, r.ctx, &sufficient);
  if (err) {
    VFS_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  // A full last disc goes on: the later check takes its last-slot branch.
  if (!sufficient && vfs_flush::may_move_track(mnt)) return flush_on_next_track(r);
  vfs_flush::choose_full_layout(mnt);
  int wrote = 0;
  err = vfs_flush::node_cache_pass(mnt, r.ctx, &wrote, r.node_opt, 0, false, r.on_mount);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "failed metadata extent flush. do read only mount.\n");
    r.ro = true;
    return err;
  }
  // Nothing written: the entries keep their locations and the integrity
  // descriptor follows, after the descriptors when an earlier flush failed
  // to write them (they still name the entries before that flush's).
  bool next_track = false;
  if (wrote || mnt->descriptors_owed) err = record_written(r, wrote != 0, &next_track);
  if (err) return err;
  if (next_track) return close_on_next_track(r);
  return vfs_flush::end_session_and_complete(r, {true, 0, "failed to flush lvid retry over %d. do read only mount. \n"});
}

int run(WriteOnceRun& r) {
  VFS_ENTER();
  int err = 0;
  const vfs_flush::Opened opened = vfs_flush::open_run(r, !(r.flags & MDCUDFSR_FLUSHF_NO_VNODE_VISIT), &err);
  if (opened == vfs_flush::Opened::Ended) return err;
  if (opened == vfs_flush::Opened::Locked) err = body(r);
  vfs_flush::settle(r, err);
  return vfs_flush::end_run(r, err);
}

}  // namespace

int mdcudfsr_flush_metadata_and_descriptor(mdcudfsr_mount* mnt, int flags, int close_session, int node_flush_option,
                                           vfs_context_t ctx, int on_mount) {
  WriteOnceRun r;
  if (!vfs_flush::take_options(r, mnt, ctx, flags, close_session, node_flush_option, on_mount)) return KEL_EINVAL;
  return run(r);
}
