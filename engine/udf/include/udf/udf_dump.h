// Dumps of every descriptor record and of the basic records inside them to
// the engine log at the debug level, one field per line. depth: indentation
// (callers pass 0); name: printed in the header line; convert: non-zero when
// the record is in on-disc order (a converted copy is printed).
#pragma once

#include "udf/udf_records.h"

#include <cstdint>

#define MDCUDFSR_DUMP_DECL(T) void __mdcudfsr_dump_##T(int32_t depth, const T* p, const char* name, int convert)
MDCUDFSR_DUMP_DECL(desc_tag);
MDCUDFSR_DUMP_DECL(lb_addr);
MDCUDFSR_DUMP_DECL(extent_ad);
MDCUDFSR_DUMP_DECL(short_ad);
MDCUDFSR_DUMP_DECL(long_ad);
MDCUDFSR_DUMP_DECL(charspec);
MDCUDFSR_DUMP_DECL(timestamp);
MDCUDFSR_DUMP_DECL(regid);
MDCUDFSR_DUMP_DECL(icb_tag);
MDCUDFSR_DUMP_DECL(anchor_vdp);
MDCUDFSR_DUMP_DECL(vol_desc_ptr);
MDCUDFSR_DUMP_DECL(pri_vol_desc);
MDCUDFSR_DUMP_DECL(logvol_desc);
MDCUDFSR_DUMP_DECL(space_bitmap_desc);
MDCUDFSR_DUMP_DECL(imp_use_logvol_integrity_desc);
MDCUDFSR_DUMP_DECL(logvol_integrity_desc);
MDCUDFSR_DUMP_DECL(part_map_metadata);
MDCUDFSR_DUMP_DECL(fileset_desc);
MDCUDFSR_DUMP_DECL(part_header_desc);
MDCUDFSR_DUMP_DECL(part_desc);
MDCUDFSR_DUMP_DECL(fileid_desc);
MDCUDFSR_DUMP_DECL(file_entry);
MDCUDFSR_DUMP_DECL(extended_file_entry);
#undef MDCUDFSR_DUMP_DECL
