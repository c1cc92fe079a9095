// Cartridge-memory attributes: the 472-byte attribute record (the drive
// layer's pxo_attribute_data_t), its cache in the mount (drive byte order,
// mdcudfsr_mount::attr_record from byte 4), writing only what changed, the
// set-up at mount and the recovery-required file list.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;
struct pxo_attribute_data_t;

constexpr std::uint32_t MDCUDFSR_CM_RECORD_SIZE = 472;
// Offset of the cache in mdcudfsr_mount::attr_record.
constexpr std::uint32_t MDCUDFSR_CM_CACHE_OFFSET = 4;

// Swaps the list length and every identifier and length; with
// convert_values also the numbers of the values. Its own inverse; 0.
int mdcudfsr_conv_endian_cm_data(void* record, int convert_values);
// from_drive 0: from the cache; else from the drive (0800h-0806h, then
// 1500h-1504h) into the cache. The record comes back in host order.
int mdcudfsr_read_attribute(mdcudfsr_mount* mnt, void* record, uint32_t length, int convert_values, int from_drive,
                            vfs_context_t ctx, int on_mount);
// Writes the attributes the update mask flags (and 0804h with them).
int mdcudfsr_write_attribute(mdcudfsr_mount* mnt, void* record, uint32_t length, int convert_values,
                             vfs_context_t ctx, int on_mount);
void mdcudfsr_update_cm_cache_data(mdcudfsr_mount* mnt, const void* record);
int mdcudfsr_init_cm_param(mdcudfsr_mount* mnt, void* record, vfs_context_t ctx, int fresh);
int mdcudfsr_read_write_attribute_for_mount(mdcudfsr_mount* mnt, int* readonly_out, vfs_context_t ctx);
int mdcudfsr_add_recovery_req_file(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, void* record);
int mdcudfsr_update_recovery_req_file(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, vfs_context_t ctx);
void mdcudfsr_set_volume_name(mdcudfsr_mount* mnt, vfs_context_t ctx);
uint32_t mdcudfsr_create_volume_update_time_info(mdcudfsr_mount* mnt);
// CRC-16 of value bytes 0-125 of a 1500h attribute (5-byte header first),
// its two bytes exchanged.
uint16_t mdcudfsr_cm_1500h_crc(const uint8_t* attribute);
