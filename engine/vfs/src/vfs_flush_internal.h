// Steps shared by the metadata and descriptor flushes of write-once and
// rewritable media and by the flush for a new track.
#pragma once

#include "kelhost/kern_types.h"
#include "kelvfs/mdcudfsr_flush.h"
#include "kelvfs/mdcudfsr_defect.h"
#include "vfs_log.h"

#include <cstdint>
#include <ctime>

struct mdcudfsr_mount;

// Ten attempts of every retried step (the engine's write retry count 9, plus one).
constexpr int kFlushAttempts = 10;

// The node-cache passes, the cache-file copy of the descriptors and the
// track controls of the neighbouring folders.
int mdcudfsr_cache_flush(mdcudfsr_mount* mnt, vfs_context_t ctx, int* wrote, uint32_t* out_blocks, int exclude,
                         int* defect_hit, int keep);
int mdcudfsr_cache_flush_full(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* out_blocks, int exclude,
                              int* defect_hit, int keep);
int mdcudfsr_cache_check_metadata_aed(mdcudfsr_mount* mnt, uint32_t extra, uint32_t* need_full, int force);
int mdcudfsr_flush_descriptor_to_fscache_file(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_write_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount* mnt, vfs_context_t ctx, int* changed);

namespace vfs_flush {

// Ten attempts of a descriptor or bitmap write, each failure logged with
// `text`; the last error.
template <class Write>
int attempts(Write write, const char* text) {
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    err = write();
    if (!err) return 0;
    VFS_LOG(KEL_LOG_WARN, text, err);
  }
  return err;
}

// The bookkeeping of one flush run: what it found and what it holds.
struct Frame {
  mdcudfsr_mount* mnt;
  vfs_context_t ctx;
  int found_state = 0;
  bool readonly = false;
  bool locked = false;
  timespec start{};
};

// Notes the start, the read-only flag and the state found; state 2.
void begin(Frame& f);
// An exit before anything was written: the local cache closed and deleted
// when open, the nodes unlocked when locked, the state found put back.
int early_exit(Frame& f, int err);
// The end of a run: the local cache closed and deleted, state 0 on success
// (else 1 while still 2), the partial flush time cleared, nodes unlocked.
void finish(Frame& f, int err);
void readonly_switch(mdcudfsr_mount* mnt, int err, vfs_context_t ctx);
// The vnode visit of a flush; its error.
int visit_vnodes(Frame& f);
// Locks all nodes (without limit for flags bit 0, else 500 ms).
int lock_nodes(Frame& f, int flags);
// The next writable address of the last written slot's track, loading the
// slot first when the drive layer's copy is stale.
int read_nwa(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, uint32_t* nwa);
// Remaining sectors of the track (loading as above); 0 when unreadable.
uint32_t remaining_sectors(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount);
// Whether the flush's node-cache passes write all metadata: under policy
// 2, and while a failed full pass is owed (set in the mount's flag).
void choose_full_layout(mdcudfsr_mount* mnt);
// The node-cache pass with the retries of the flushes; 0 or its error.
// `full` runs the full pass. A pass in the full layout that fails leaves
// the full rewrite owed; one that succeeds pays it.
int node_cache_pass(mdcudfsr_mount* mnt, vfs_context_t ctx, int* wrote, int option, int last, bool full,
                    int on_mount);
// Entry locations for a next writable address: 22 when either lies outside
// the partition (the stored values are 0xFFFFFFFF then, as given).
int place_entries(mdcudfsr_mount* mnt, uint32_t nwa, uint32_t* main_loc, uint32_t* mirror_loc);
// Sizes and times of both entries, then both written into the cluster
// buffer. prev: previous locations (0xFFFFFFFF none). 0 or the error, with
// *which 0 main, 1 mirror.
int stage_entries(mdcudfsr_mount* mnt, vfs_context_t ctx, const uint32_t prev[2], int* which);
// The slot-locked cache synchronisation and verify of 32 sectors at `lsn`.
int sync_and_verify(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, uint32_t lsn);
// The partition header's bitmap extent cleared, the allocation unit size
// back into the metadata partition map.
void entries_recorded(mdcudfsr_mount* mnt);
// The cartridge-memory refresh. *write_err receives the write's error; the
// result is 0, or 12/22 of the label conversion. A read failure answers 0.
int refresh_attributes(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, int* write_err);
void log_elapsed(const Frame& f);
// Whether a flush short of room may move to the next track: not on the
// last slot, and not inside a move (the flushes the move runs stay on
// their disc).
bool may_move_track(const mdcudfsr_mount* mnt);
// Writes on the next track (write_next true) or mounts it, with the move
// marked on the mount for its duration; the control's result.
int move_track(mdcudfsr_mount* mnt, vfs_context_t ctx, bool write_next);
// The opening of a metadata and descriptor flush: false when the integrity
// descriptor is already closed (nothing to write); else the session updated
// (a failure is only logged), the start logged and the staged clusters
// dropped.
bool open_flush(mdcudfsr_mount* mnt, vfs_context_t ctx);
// "%s%02d" of prefix and number as a 32-byte dstring (compression id 8).
void volume_identifier(uint8_t out[32], const char* prefix, uint32_t number);
// The descriptor copies changed to count the disc of the last written slot
// as a new member of the volume set.
void count_new_disc(mdcudfsr_mount* mnt);

}  // namespace vfs_flush
