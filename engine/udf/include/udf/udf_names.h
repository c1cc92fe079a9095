// Names between OSTA compressed Unicode (CS0) and UTF-8, the translation of
// partition blocks to medium sectors, and small shared utilities.
#pragma once

#include "udf/udf_node.h"

#include <cstdint>

struct mdcudfsr_mount;

// Units written, or 0xFFFFFFFF for a compression identifier other than 8 and 16.
uint32_t mdcudfsr_cs0_to_unicode(uint32_t cs0_bytes, const uint8_t* cs0, uint16_t* out);
// Bytes written, or -1 for another identifier.
int32_t mdcudfsr_unicode_to_cs0(uint32_t units, uint8_t comp_id, const uint16_t* in, uint8_t* out);
// *length: in, the capacity (low 32 bits); out, the bytes produced.
int mdcudfsr_unicode_udf2utf8(const uint8_t* cs0, uint32_t cs0_len, uint8_t* out, uint64_t* length);
int mdcudfsr_unicode_utf82udf(const uint8_t* utf8, uint32_t utf8_len, uint8_t* out, uint32_t* length);
int mdcudfsr_unicode_utf162udf(const uint16_t* units, int32_t count, uint8_t* out, uint32_t* length);

// Logical block of partition reference 0 (metadata file), 1 (mirror) or 2
// (physical partition) to a medium sector; 0xFFFFFFFF when it cannot be mapped.
uint32_t mdcudfsr_lbn2lsn(const mdcudfsr_mount* mnt, uint16_t part_ref, uint32_t lbn, uint64_t* bytes_available);

// The blocks of the physical partition that lie on the loaded disc: its
// recorded length, or less when that reaches past the disc's end (then
// *cut is set), 0 when it starts past it. A disc of unknown size (0
// sectors) takes the recorded length.
uint32_t mdcudfsr_partition_blocks_on_disc(const mdcudfsr_mount* mnt, bool* cut);

void mdcudfsr_heap_sort(void* base, uint32_t count, uint32_t size, int (*compare)(const void*, const void*));
uint32_t mdcudfsr_timevalue_ascii2int(const char* text, uint32_t count);

int mdcudfsr_insert_list_by_unique_id(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child);
int mdcudfsr_reinsert_list_by_unique_id(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child);
int mdcudfsr_remove_list_by_unique_id(mdcudfsr_udf_node_fields* parent, mdcudfsr_udf_node_fields* child);
