// Parsing of one volume descriptor sequence copy into the mount (shared by
// the write-once and rewritable readers).
#pragma once

#include "udf/udf_mount.h"

namespace udf_vds {

enum class Mode { WriteOnce, Rewritable };

struct ParseResult {
  uint32_t exist = 0;        // presence bits
  bool terminated = false;   // a terminating descriptor was reached
  bool broken = false;       // a checksum or CRC failed
  int broken_index = -1;
  uint32_t parsed_bytes = 0;
};

// Parses `len` bytes (whole sectors) of a copy. 0 when parsed (see `out`);
// 22 after a tag serial number mismatch (write-once; 14 on rewritable media)
// or a partition map table that cannot be walked.
int parse_copy(mdcudfsr_mount* mnt, const uint8_t* buf, uint32_t len, int side, Mode mode,
               const anchor_vdp* anchor, vfs_context_t ctx, ParseResult* out);

// Writes an image of `size` bytes at `first` with up to ten attempts: buffer,
// reservation on medium 0xF2 (`reserve_count` sectors), write, optionally the
// disc-information control, drive cache sync. 0, 5 without a buffer, or the
// last failed step's error.
int write_with_attempts(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t first, const uint8_t* image, uint32_t size,
                        uint32_t reserve_count, bool forget_disc_info, const char* write_fail_fmt);

// The sequence writers place both copies at the locations of the system's
// layout (write-once 288 and 304, F2h 384 and 512, rewritable 272 and
// N - 32). 0 when the anchor names them; otherwise 22, logged, and the
// volume marked read-only, so nothing is written inside the partition.
int check_vds_layout(mdcudfsr_mount* mnt, vfs_context_t ctx);

// Whether the disc holds the image of `size` bytes at `loc` already
// (compared only when the mount asks for it; a failed compare, logged,
// counts as different).
bool vds_already_written(mdcudfsr_mount* mnt, const uint8_t* image, uint32_t loc, uint32_t size, vfs_context_t ctx);

// One copy of the descriptor sequences (or of a rewritable volume's unit
// holding it) and where it goes.
struct SequenceCopy {
  const uint8_t* data;
  uint32_t loc;
  uint32_t size;
};

// Writes the two copies one at a time, each confirmed by a good sync (and
// verified when asked) before the other is touched, starting with the copy
// whose last write was not confirmed, else with copy `first`: a failing
// sync never meets a copy while the other one is unconfirmed, so one copy
// on the medium is always whole. 0, or the first error.
int write_copies_in_turn(mdcudfsr_mount* mnt, const SequenceCopy (&copy)[2], int first, bool verify,
                         vfs_context_t ctx);

// Closes and deletes the file-system management cache file.
void drop_fsmanage_cache(mdcudfsr_mount* mnt, vfs_context_t ctx);

// Writes a piece to the management cache file. 0; the write's error; 22 when
// only the agent reported an error (logged as such).
int mirror_to_cache(mdcudfsr_mount* mnt, uint64_t offset, const void* data, uint32_t len);

// True when mount_ext_flags has a bit of flag_mask and the loaded slot is not
// the last written one.
bool rollback_on_other_slot(const mdcudfsr_mount* mnt, uint32_t flag_mask);

}  // namespace udf_vds
