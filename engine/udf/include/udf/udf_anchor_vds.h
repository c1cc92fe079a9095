// Anchor volume descriptor pointers and the volume descriptor sequence of
// write-once media: reading at mount, and the rebuild of a damaged copy.
#pragma once

#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

// Fixed places of the structures.
constexpr uint32_t UDF_AVDP1_SECTOR = 256;
// Offsets in the file-system management cache file.
constexpr uint64_t UDF_CACHE_AVDP1 = 0x10000;
constexpr uint64_t UDF_CACHE_AVDP2 = 0x20000;
constexpr uint64_t UDF_CACHE_MVDS = 0x30000;
constexpr uint64_t UDF_CACHE_RVDS = 0x38000;

// Descriptor presence bits built while a sequence copy is parsed.
constexpr uint32_t VDS_HAS_PVD = 0x01;
constexpr uint32_t VDS_HAS_IUVD = 0x02;
constexpr uint32_t VDS_HAS_PD = 0x04;
constexpr uint32_t VDS_HAS_LVD = 0x08;
constexpr uint32_t VDS_HAS_USD = 0x10;
constexpr uint32_t VDS_HAS_TD = 0x20;
constexpr uint32_t VDS_HAS_ALL = 0x1F;

// Reads both anchors (from the medium, or the cache file with from_cache),
// keeps the winning one in the mount and rewrites a damaged one.
int mdcudfsr_read_avdp(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, int from_cache, uint32_t* mirror);
// Reads both sequence copies, takes their descriptors into the mount and
// rebuilds a damaged copy from the good one.
int mdcudfsr_read_vds(mdcudfsr_mount* mnt, vfs_context_t ctx, int invalidate, int on_mount, int from_cache,
                      uint32_t* mirror);

// Rebuilds the tags of one sequence copy (in medium order, `len` bytes) for
// the location `loc`: every descriptor up to the terminating one keeps its own
// tag identifier and gets a fresh location, CRC and checksum.
void mdcudfsr_retag_vds_copy(const mdcudfsr_mount* mnt, uint8_t* copy, uint32_t len, uint32_t loc);
// Builds an anchor (512 bytes, medium order, CRC and checksum set) from the
// host-order anchor `from` for the sector `loc`.
void mdcudfsr_build_avdp(const mdcudfsr_mount* mnt, const anchor_vdp* from, uint32_t loc, anchor_vdp* out);
