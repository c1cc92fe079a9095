// Recognition sequence, anchors and volume descriptor sequence of rewritable
// media: each anchor shares one 64 KiB unit with one sequence copy (main side
// at sectors 256-287, reserve side in the last 32 sectors).
#pragma once

#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

// 0; 2 unreadable; 9 unformatted (all zero); 22 invalid; other errors.
int mdcudfsr_check_vrs_RE(mdcudfsr_mount* mnt, vfs_context_t ctx);
// Writes the recognition sequence once: 0, 5 no buffer, the write error or a
// slot change error.
int mdcudfsr_flush_vrs_RE(mdcudfsr_mount* mnt, vfs_context_t ctx);
// Reads the main side (and the reserve side when the main one fails), checks
// its sequence copy, sets the next writable address, and restores a damaged
// main side from the reserve one.
int mdcudfsr_read_avdp_RE(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, int from_cache, uint32_t* mirror);
// Parses the sequence copy at `vds` (the unit's copy: side 0 main, 1 reserve)
// into the mount. 0; 14; 22 (with *broken set after a checksum failure).
int mdcudfsr_check_vds_RE(mdcudfsr_mount* mnt, const uint8_t* vds, const anchor_vdp* anchor, int side,
                          vfs_context_t ctx, uint32_t* broken);
// Builds side `side`'s 64 KiB unit in `out` from the other side's unit `src`
// and writes it when `write` is set. 0; 5; 22; the write or slot change error.
int mdcudfsr_restore_advp_vds_buffer(mdcudfsr_mount* mnt, const uint8_t* src, uint8_t* out, const anchor_vdp* anchor,
                                     int side, int write, vfs_context_t ctx, int on_mount);
void mdcudfsr_set_nwa_from_vds(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_flush_vds_re(mdcudfsr_mount* mnt, uint32_t* skipped, vfs_context_t ctx, int soft_write_protect);
