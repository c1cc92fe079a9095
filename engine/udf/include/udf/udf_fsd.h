// The file set descriptor: checked when the mount reads it, and written with
// its terminating descriptor to two new metadata blocks on every flush.
#pragma once

#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

// raw: the descriptor's block and the block after it. 0 or 22.
int mdcudfsr_read_file_set_desc(mdcudfsr_mount* mnt, const uint8_t* raw, fileset_desc* fsd, vfs_context_t ctx);
// 0, 12, 28 or the write error.
int mdcudfsr_flush_file_set_desc(mdcudfsr_mount* mnt, fileset_desc* fsd, vfs_context_t ctx);
