// Volume recognition sequence: BEA01, NSR03, TEA01 in sectors 16-18.
#pragma once

#include "udf/udf_neighbour_calls.h"

#include <cstdint>

struct mdcudfsr_mount;

// 0 valid; 2 unreadable (repaired when possible); 22 invalid content; else an
// error of the slot change or the repair.
int mdcudfsr_check_vrs(mdcudfsr_mount* mnt, vfs_context_t ctx);
// Writes the recognition sequence image at sector 0: 0, 5 no buffer, or the
// error of the last failed step.
int mdcudfsr_repair_vrs(mdcudfsr_mount* mnt, vfs_context_t ctx);

// Lays the recognition sequence template (3 sectors of 2048 bytes) at `dst`.
void mdcudfsr_vrs_fill_template(uint8_t* dst);
// 1 when `src` (3 sectors) matches the template.
int mdcudfsr_vrs_matches_template(const uint8_t* src);
