// Rebuild of the volume descriptor sequence in memory, its flush to the
// medium (write-once media) and the switch between linked and unlinked.
#pragma once

#include "udf/udf_neighbour_calls.h"

#include <cstdint>

struct mdcudfsr_mount;

// Fixed location of the main primary volume descriptor of a rebuilt sequence.
constexpr uint32_t UDF_REBUILD_VDS_LOC = 288;
constexpr uint32_t UDF_REBUILD_VDS_LOC_F2 = 384;

// 0 rebuilt; 12 no memory; 22 the attribute read failed. *serial_unreadable
// is set when attribute 0401H could not be read.
int mdcudfsr_repair_vds(mdcudfsr_mount* mnt, uint32_t* serial_unreadable, vfs_context_t ctx);
// 0, or the error of the failed step; *skipped when the medium already holds
// the same sequence (descriptor write check mode 2).
int mdcudfsr_flush_vds(mdcudfsr_mount* mnt, uint32_t* skipped, vfs_context_t ctx, int soft_write_protect);
int mdcudfsr_update_vds_link(mdcudfsr_mount* mnt, vfs_context_t ctx, int link);
int mdcudfsr_link_vds(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_unlink_vds(mdcudfsr_mount* mnt, vfs_context_t ctx);
void mdcudfsr_print_vds_link_status(mdcudfsr_mount* mnt);

// Builds the six descriptors of one sequence copy (medium order) from the
// mount's copies at `dst` (6 sectors), tagged from `loc`.
void mdcudfsr_build_vds_copy(mdcudfsr_mount* mnt, uint8_t* dst, uint32_t loc, int soft_write_protect,
                             int refresh_ids);

// Compares an image of `count` blocks with the medium from `first_block`: 0,
// with *identical set when every block matches apart from the fields expected
// to differ (tag checksum and CRC, recording and file times); 12, 22 or a read
// error.
int mdcudfsr_is_writing_descriptor_exist(mdcudfsr_mount* mnt, const uint8_t* image, uint32_t first_block,
                                         uint32_t count, uint32_t* identical, vfs_context_t ctx);
