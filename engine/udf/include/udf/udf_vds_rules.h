// Rules of this system's volume descriptor sequences and the check made at
// mount, which repairs and relinks a sequence when it can.
#pragma once

#include "udf/udf_neighbour_calls.h"

#include <cstdint>

struct mdcudfsr_mount;

// 0 valid; 30 valid but read-only; 22 invalid.
int mdcudfsr_check_vds_structure(mdcudfsr_mount* mnt, uint32_t* soft_protect, vfs_context_t ctx);
int mdcudfsr_check_vds_structure_for_mount(mdcudfsr_mount* mnt, uint32_t* soft_protect, uint32_t* relinked,
                                           vfs_context_t ctx);

// VUVI value of the cartridge memory: slot in bits 26-29, (metadata file
// location + 4096) / 32 in bits 0-25.
uint32_t mdcudfsr_vuvi_encode(uint32_t slot, uint32_t metadata_file_loc);
uint32_t mdcudfsr_vuvi_slot(uint32_t vuvi);
uint32_t mdcudfsr_vuvi_fe_location(uint32_t vuvi);

// Byte offset of the VUVI value (the position word of attribute 1500h) in the
// 472-byte cartridge-memory attribute record, kept in host order.
extern const uint32_t kAttributeVuviOffset;
// Bit of the mount's attribute update mask for attribute 1500h.
constexpr uint32_t ATTRIBUTE_UPDATE_1500H = 0x080;
