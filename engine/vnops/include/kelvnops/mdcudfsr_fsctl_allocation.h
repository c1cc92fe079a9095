// Manual allocation of a file by the user-data writer: the custom setting,
// reading, adding, replacing, moving and cutting a file's extents, and the
// rebuild of a file's allocation after a remount. File handlers run with the
// file's node locked by the control dispatcher.
#pragma once

#include "kel/mdcfs.h"
#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

#pragma pack(push, 1)
// MDCFSCTL_REPLACE_FILE_ALLOCATION, 16 bytes: the index of the extent in the
// file's list and its new place.
struct MDCFS_REPLACE_FILE_ALLOCATION {
  std::uint32_t ExtentIndex;
  MDCFS_SPACE_ENTRY NewSpace;
};
#pragma pack(pop)
static_assert(sizeof(MDCFS_REPLACE_FILE_ALLOCATION) == 16, "replace-extent record is 16 bytes");

// Largest piece of a space entry that one extent takes.
constexpr std::uint32_t MDCUDFSR_MANUAL_EXTENT_MAX = 0x3FFF0000u;

int mdcudfsr_mdcfsctrl_customize_file_setting(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                              MDCFS_CUSTOM_FILE_SETTING* setting, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_query_custom_file_setting(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                                 MDCFS_CUSTOM_FILE_SETTING* setting, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                           MDCFS_SPACE_ENTRIES_BUFFER* buffer, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_add_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                           MDCFS_SPACE_ENTRIES_BUFFER* buffer, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_replace_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                               MDCFS_REPLACE_FILE_ALLOCATION* record, vfs_context_t ctx);
// MDCFSCTL_REALLOCATE_FILE_RANGE.
int mdcudfsr_mdcfsctrl_replace_file_range(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                          MDCFS_REALLOCATE_FILE_RANGE* record, vfs_context_t ctx);
// The file keeps *blocks logical sectors.
int mdcudfsr_mdcfsctrl_delete_file_allocation(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                              std::uint32_t* blocks, vfs_context_t ctx);
// Volume code: the record's head and TotalSpaceCount entries inline.
int mdcudfsr_mdcfsctrl_rebuild_file_allocation(mdcudfsr_mount* mnt, MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER* record,
                                               vfs_context_t ctx);

// Bytes of an array of `count` records of `size` bytes, or 0 when such an
// array cannot be had in one engine allocation (then the caller answers 12).
std::uint32_t mdcudfsr_array_bytes(std::uint64_t count, std::uint64_t size);
