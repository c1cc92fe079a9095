// The steps the four track operations share.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

namespace new_track {

enum class Kind { create, commit, write_next, mount_next };

// One run of a track operation: what it holds, so that every exit gives it back.
struct Run {
  mdcudfsr_mount* mnt;
  vfs_context_t ctx;
  Kind kind;
  bool locked = false;         // all nodes locked
  std::uint32_t taken = 0;     // lowered from the file-object count
  std::uint8_t saved_policy = 0;
  bool unlink_vds = false;     // the descriptor link predicate was false
  bool changed = false;        // went past the load of the next slot
  int status = 0;
};

const char* start_line(Kind k);
// Gives back the nodes and the object count; the status.
int release(Run& r, int status);
// The read-only outcome: mount status and reason, an error report, release.
int read_only(Run& r, int status, std::uint32_t mount_status, std::uint32_t reason);
// read_only with 0x80000002 and reason 0x1.
int fail(Run& r, int status);
// The volume was turned read-only (a drive failure, a failed flush).
bool is_read_only(const mdcudfsr_mount* mnt);
int first_checks(Run& r);
int clear_vuvi(Run& r);
int track_flush(Run& r, int full, int* skipped);
void write_protected_vds(Run& r);
// The next disc loaded, formatted and made the new track.
// Its exits are taken already (released, read-only where due).
int switch_disc(Run& r);
// The session updated (commit), the descriptors unlinked where due, the media
// resources checked, the flush policy restored and the nodes released.
int finish(Run& r);

}  // namespace new_track
