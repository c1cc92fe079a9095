// Extended file entries and allocation extent descriptors: reading and
// checking them into extent lists, converting allocation descriptors in both
// directions, new entries, entries with embedded data, the metadata file's
// own entry, chains of allocation extent descriptors, and the per-node list
// of their locations.
#pragma once

#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_node.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

constexpr uint32_t MNTINFO_ENTRY_DAMAGED = 0x80000500u;
// Allocation extent descriptors followed in one chain at most.
constexpr uint32_t MDCUDFSR_MAX_AED_CHAIN = 0x10000;

int mdcudfsr_read_extended_file_entry(mdcudfsr_mount* mnt, const uint8_t* raw, uint32_t size, uint16_t default_part,
                                      extended_file_entry* efe, mdcudfsr_extent_list* list, uint32_t* not_allocated,
                                      int no_check);
int mdcudfsr_read_ad_vector(const uint8_t* ad, uint32_t length, uint16_t default_part, uint32_t ad_type,
                            mdcudfsr_extent_list* list, uint32_t* not_allocated);
int mdcudfsr_read_allocation_extent_descriptor(mdcudfsr_mount* mnt, const uint8_t* raw, uint32_t block_length,
                                               uint32_t buffer_size, uint16_t default_part, uint32_t ad_type,
                                               mdcudfsr_extent_list* list, uint32_t* not_allocated);
// Follows the continuations at the end of `list`: reads each allocation
// extent descriptor block from the medium, records it in *aed_info (when
// given) and appends its descriptors. A block met twice, or a chain longer
// than MDCUDFSR_MAX_AED_CHAIN, marks the entry damaged (30). 0, 12, 30 or a
// read error.
int mdcudfsr_read_allocation_extent_chain(mdcudfsr_mount* mnt, vfs_context_t ctx, uint16_t default_part,
                                          uint32_t ad_type, mdcudfsr_extent_list* list, uint32_t* not_allocated,
                                          mdcudfsr_aed_info** aed_info);
// Bytes written.
uint32_t mdcudfsr_write_ad_vector(uint8_t* out, uint32_t length, uint32_t next_lbn, uint32_t next_len,
                                  uint32_t ad_type, const mdcudfsr_extent_entry* first);
int mdcudfsr_init_extended_file_entry(mdcudfsr_mount* mnt, uint32_t mode, extended_file_entry* efe, int assign_uid);
// ea: the copy's L_EA bytes of extended attributes (null: the entry is
// written without attributes).
int mdcudfsr_flush_extended_file_entry_in_icb(mdcudfsr_mount* mnt, uint16_t part, uint32_t efe_loc,
                                              uint32_t phys_block, uint32_t perm_word, const extended_file_entry* efe,
                                              const uint8_t* ea, const uint8_t* data, uint32_t data_len,
                                              vfs_context_t ctx);
int mdcudfsr_flush_metadata_EFE(mdcudfsr_mount* mnt, uint32_t block, uint32_t perm_word,
                                const extended_file_entry* efe, const uint8_t* ea, short_ad ad, vfs_context_t ctx);
int mdcudfsr_flush_allocation_extent_descriptor(mdcudfsr_mount* mnt, uint16_t part, uint32_t first_loc,
                                                uint32_t first_phys, const mdcudfsr_extent_entry* first,
                                                vfs_context_t ctx, mdcudfsr_aed_info** aed_info,
                                                uint32_t first_sector, int mirror);
mdcudfsr_aed_info* mdcudfsr_aed_info_alloc();
mdcudfsr_aed_info* mdcudfsr_aed_info_add(mdcudfsr_aed_info* info, uint32_t value);
int mdcudfsr_free_aed_info(mdcudfsr_aed_info* info);
void mdcudfsr_extended_file_entry_debug(const extended_file_entry* efe);

// Permissions after the adjustment word: (perm | high 16 bits) & low 16 bits.
inline uint32_t mdcudfsr_apply_perm_word(uint32_t perm, uint32_t word) { return (perm | (word >> 16)) & (word & 0xFFFF); }

// Writes one metadata block of a node: to the management cache file only
// (FSD relocation with an open cache file), else to the medium in the
// partition, mirrored into the cache file. Shared by the entry writers.
int mdcudfsr_write_metadata_block(mdcudfsr_mount* mnt, uint16_t part, uint32_t loc, uint32_t phys,
                                  const uint8_t* block, vfs_context_t ctx);
// Closes and deletes the management cache file.
void mdcudfsr_drop_fsmanage_cache(mdcudfsr_mount* mnt, vfs_context_t ctx);
