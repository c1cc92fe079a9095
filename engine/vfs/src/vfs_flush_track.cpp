// The metadata and descriptor flush of write-once media run inside the
// track controls. A failure of its metadata part does not end it: the
// entries keep their old locations, the caller learns that the part was
// skipped, and the descriptors and the integrity descriptor are written
// all the same. It never moves to another track, and inside the mount a
// failure leaves the mount writable.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_flush.h"

#include "kelvfs/mdcudfsr_mount.h"
#include "vfs_flush_wo.h"
#include "vfs_log.h"

namespace {

using vfs_flush::EntryStep;

struct TrackRun : vfs_flush::WriteOnceRun {
  int vds_option = 0;
  bool skipped = false;  // the metadata part failed and was left out
};

constexpr const char* kExhausted = "failed metadata main/mirror efe flush. \n";

// The metadata part left out: the entry locations as before the flush.
void skip_metadata(TrackRun& r, const uint32_t saved[2], const char* text) {
  r.mnt->metadata_file_loc = saved[0];
  r.mnt->metadata_mirror_loc = saved[1];
  VFS_LOG(KEL_LOG_WARN, "%s", text);
  r.skipped = true;
}

// The next writable address for an attempt, read after the metadata
// extent lists are rebuilt on the first one (the entries the node pass
// wrote are numbered as the rebuilt lists number them: an unreadable
// address must not leave the lists unrebuilt). False when the metadata
// part was skipped.
bool address_for_attempt(TrackRun& r, const uint32_t saved[2], int attempt, bool* changed_seen, uint32_t* nwa) {
  if (attempt == 0 && vfs_flush::rebuild_lists(r, 1, 1, attempt, changed_seen)) {
    skip_metadata(r, saved, "failed metadata extent flush. \n");
    return false;
  }
  if (vfs_flush::read_nwa(r.mnt, r.ctx, r.on_mount, nwa)) {
    skip_metadata(r, saved, kExhausted);
    return false;
  }
  return true;
}

// The entries recorded at the next writable address and verified, ten
// attempts; any failure skips the metadata part.
void record_entries(TrackRun& r) {
  const uint32_t saved[2] = {r.mnt->metadata_file_loc, r.mnt->metadata_mirror_loc};
  bool changed_seen = false;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    uint32_t nwa = 0;
    if (!address_for_attempt(r, saved, attempt, &changed_seen, &nwa)) return;
    EntryStep failed = EntryStep::Stage;
    const int err = vfs_flush::write_entries(r, saved, nwa, &failed);
    if (!err) return;
    if (failed == EntryStep::Stage) break;
    if (failed == EntryStep::Write)
      VFS_LOG(KEL_LOG_WARN, "failed metadata mirror efe for cluster buffer data. Status=%d\n", err);
  }
  skip_metadata(r, saved, kExhausted);
}

// Everything after the node locks; the result.
int body(TrackRun& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (!vfs_flush::open_flush(mnt, r.ctx)) return 0;
  vfs_flush::choose_full_layout(mnt);
  int wrote = 0;
  if (vfs_flush::node_cache_pass(mnt, r.ctx, &wrote, r.node_opt, 1, false, r.on_mount)) {
    VFS_LOG(KEL_LOG_ERR, "failed metadata extent flush. \n");
    r.skipped = true;
  } else if (wrote) {
    record_entries(r);
  }
  if (const int err = vfs_flush::write_vds(r, r.vds_option)) return err;
  return vfs_flush::end_session_and_complete(r, {false, 1, "failed to flush lvid retry over %d. \n"});
}

int run(TrackRun& r) {
  VFS_ENTER();
  int err = 0;
  const vfs_flush::Opened opened = vfs_flush::open_run(r, false, &err);
  if (opened == vfs_flush::Opened::Ended) return err;
  if (opened == vfs_flush::Opened::Locked) err = body(r);
  if (r.on_mount) r.ro = false;  // inside the mount a failure leaves the mount writable
  vfs_flush::settle(r, err);
  if (r.skipped) VFS_LOG(KEL_LOG_WARN, "metadata part skipped\n");
  return vfs_flush::end_run(r, err);
}

}  // namespace

int mdcudfsr_flush_metadata_and_descriptor_ex(mdcudfsr_mount* mnt, int flags, int close_session, vfs_context_t ctx,
                                              int vds_option, int on_mount, int clear_node_flush_option,
                                              int* skipped) {
  if (skipped) *skipped = 0;
  TrackRun r;
  if (!vfs_flush::take_options(r, mnt, ctx, flags, close_session, clear_node_flush_option ? 0 : 1, on_mount)) return KEL_EINVAL;
  r.vds_option = vds_option;
  const int err = run(r);
  if (skipped) *skipped = r.skipped ? 1 : 0;
  return err;
}
