// Descriptor tags, tag checksums and CRCs (ECMA-167 3/7.2), and the shared
// byte sum and CRC-32.
#pragma once

#include "kel/mdcfs.h"  // MDCFS_SPACE_ENTRY
#include "udf/udf_crc16.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;


// Fills a new tag: id, version 3, the mount anchor's serial number, location.
int mdcudfsr_init_udf_tag(const mdcudfsr_mount* mnt, desc_tag* tag, uint16_t id, uint32_t loc);
// Sets CRC length, CRC and checksum of a descriptor of `length` bytes (0 or >= 16).
void mdcudfsr_set_udf_tag_crc_and_checksum(void* desc, uint32_t length);
// 1 valid, 0 invalid; the checksum is not checked for tags 256, 257, 261, 266.
int mdcudfsr_check_udf_tag(const void* desc, uint16_t expected_id);
int mdcudfsr_check_udf_tag_checksum(const void* desc);
int mdcudfsr_check_udf_tag_crc(const void* desc, uint32_t available);
// 0 valid, 9 invalid (identifier, CRC, checksum in this order).
int mdcudfsr_check_udf_tag_and_checksum(const mdcudfsr_mount* mnt, const void* desc, uint16_t expected_id,
                                        uint32_t available);
uint8_t mdcudfsr_udf_tag_checksum(const void* desc);
uint32_t mdcudfsr_byte_sum(const void* buf, uint32_t len);
uint32_t mdcudfsr_crc32(const void* buf, uint64_t len);
void mdcudfsr_MDCFS_SPACE_ENTRY_debug(const MDCFS_SPACE_ENTRY* entry);
