// The recovery-required file list (mount and cartridge memory) and the
// salvage list found at mount, for clients.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

#pragma pack(push, 1)
// MDCFSCTL_GET_RECOVERY_REQUIRED_FILE_INFO and MDCFSCTL_GET_SALVAGE_FILENAME, 28 bytes.
struct mdcfs_file_name_query {
  std::uint32_t Index;       // in, from 0
  std::uint32_t Count;       // out: entries of the list
  std::uint64_t UniqueId;    // out
  std::uint32_t NameSize;    // in: the buffer's size (0: size only); out: the path's bytes, NUL included
  std::uint64_t NameBuffer;  // in: address of the caller's buffer
};
static_assert(sizeof(mdcfs_file_name_query) == 28, "name-query record is 28 bytes");

// MDCFSCTL_GET_SALVAGE_FILE_INFO_LIST, 16 bytes.
struct mdcfs_salvage_file_info_list {
  std::uint32_t Count;   // out
  std::uint32_t Size;    // in: the buffer's size with these 8 bytes (0: query); out: the list's size
  std::uint64_t Buffer;  // address of the caller's buffer for the record data
};
static_assert(sizeof(mdcfs_salvage_file_info_list) == 16, "salvage-list record is 16 bytes");
#pragma pack(pop)

int mdcudfsr_mdcfsctrl_get_recovery_required_file_info(mdcudfsr_mount* mnt, mdcfs_file_name_query* record);
int mdcudfsr_mdcfsctrl_register_recovery_required_file(mdcudfsr_mount* mnt, const std::uint64_t* unique_id,
                                                       vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_salvage_file_info_list(mdcudfsr_mount* mnt, mdcfs_salvage_file_info_list* record);
// Records are bounded by the list's total size: one that reaches past it is 22.
int mdcudfsr_mdcfsctrl_get_salvage_filename(mdcudfsr_mount* mnt, mdcfs_file_name_query* record);
