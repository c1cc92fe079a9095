// The stages that the two metadata and descriptor flushes of write-once
// media share: the general flush (vfs_flush_wo_general.cpp) and the flush
// run inside the track controls (vfs_flush_track.cpp).
#pragma once

#include "vfs_flush_internal.h"

#include <cstdint>

namespace vfs_flush {

// One write-once flush run: the caller's options and what the run decided.
struct WriteOnceRun : Frame {
  int flags = 0;          // the MDCUDFSR_FLUSHF_ bits
  int close_session = 0;  // 1: the integrity session is closed at the end
  int node_opt = 0;       // the option of the node-cache passes
  int on_mount = 0;
  bool ro = false;        // the read-only switch is due
};

// The caller's options taken into a run; false (logged) without a mount.
bool take_options(WriteOnceRun& r, mdcudfsr_mount* mnt, vfs_context_t ctx, int flags, int close_session, int node_opt,
                  int on_mount);

// How the opening of a run ended.
enum class Opened {
  Locked,        // every node locked: the flush goes on
  Ended,         // the run ended before writing (its result given)
  NoLocalCache,  // the local cache did not open (logged, read-only switch due): the end follows
};

// The start of a run up to the locked nodes: the checks that end it at
// once, the staging offset, the local cache, the vnode visit when `visit`
// is set, the node locks and the inactive nodes freed. *err receives the
// result of an ended run, or the local cache's error.
Opened open_run(WriteOnceRun& r, bool visit, int* err);

// The metadata extent lists rebuilt (the file set's first); a change found
// on the first attempt runs the full node-cache pass. `rebuild_option` goes
// to the rebuild from the root, `pass_last` to the pass. 0 or the error.
int rebuild_lists(WriteOnceRun& r, int rebuild_option, int pass_last, int attempt, bool* changed_seen);

// Where a recording of the metadata entries failed.
enum class EntryStep {
  Stage,   // placing or staging: the recording cannot go on
  Write,   // the cluster write
  Verify,  // the cache synchronisation or the verify
};

// One attempt at recording the metadata file's and the mirror's entries at
// `nwa`: placed, staged in the cluster buffer (with `saved`, the locations
// before the flush, as their previous copies), written and verified. 0, or
// the error with the failed step in *failed.
int write_entries(WriteOnceRun& r, const uint32_t saved[2], uint32_t nwa, EntryStep* failed);

// The volume descriptor sequences, ten attempts; 0 or the last error.
int write_vds(WriteOnceRun& r, int vds_option);

// How a routine ends the integrity session.
struct SessionEnd {
  bool link;                   // closing: link the descriptors to the new entries first where due
  int lvid_option;             // writing the descriptor: the writer's option
  const char* lvid_exhausted;  // and the text logged (with the retry count) when all attempts fail
};

// The session closed (close_session set) or its descriptor written, then
// the completion: resources, device synchronisation, cartridge memory and
// the cache-file copy of the descriptors.
int end_session_and_complete(WriteOnceRun& r, const SessionEnd& how);

// The read-only switch when due, and the coherence mark cleared by a run
// that closed the session.
void settle(WriteOnceRun& r, int err);

// The end of a run that opened: the frame finished, the metadata-changed
// mark cleared on success, the end logged. The result.
int end_run(WriteOnceRun& r, int err);

}  // namespace vfs_flush
