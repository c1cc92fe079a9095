// File hash values, identities and node lists of the file-system controls.
#pragma once

#include "kelhost/kern_types.h"

#include <cstddef>
#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

#pragma pack(push, 1)
// MDCFSCTL_ADD_FILE_HASH_INFO, 16 bytes.
struct MDCFS_ADD_FILE_HASH_INFO {
  std::uint16_t HashType;
  std::uint16_t HashLength;
  std::uint32_t Reserved;
  std::uint64_t HashValue;  // address in the caller's memory
};
static_assert(sizeof(MDCFS_ADD_FILE_HASH_INFO) == 16, "add-hash record is 16 bytes");

// MDCFSCTL_GET_HASH_LIST and MDCFSCTL_GET_FILE_HASH_INFO, 296 bytes.
struct MDCFS_HASH_LIST {
  std::uint8_t SearchScope;  // 0 file, 1 directory and children, 2 whole subtree
  std::uint8_t Reserved0[3];
  std::uint32_t PathLength;  // bytes, terminator included
  std::uint64_t Path;
  std::uint8_t Reserved1[256];
  std::uint32_t FoundCount;
  std::uint32_t NeededBytes;
  std::uint32_t CopiedCount;
  std::uint32_t BufferSize;
  std::uint64_t Buffer;
};
static_assert(sizeof(MDCFS_HASH_LIST) == 296, "hash-list record is 296 bytes");
static_assert(offsetof(MDCFS_HASH_LIST, FoundCount) == 272);

// Entry of the hash list: the hash bytes follow, rounded up to 4 bytes.
struct MDCFS_HASH_ENTRY {
  std::uint64_t UniqueId;
  std::uint16_t HashType;
  std::uint16_t HashLength;
  std::uint32_t Reserved;
};
static_assert(sizeof(MDCFS_HASH_ENTRY) == 16, "hash entry head is 16 bytes");

// MDCFSCTL_GET_FILE_NODE_LIST (sent as 0xC1247056) and
// MDCFSCTL_GET_CHILD_NODE_LIST, 292 bytes.
struct MDCFS_NODE_LIST {
  std::uint32_t PathLength;  // bytes, terminator included
  std::uint64_t Path;
  std::uint8_t Reserved0[256];
  std::uint32_t NodeCount;      // file list: objects of the volume; child list: children + 1
  std::uint32_t WrittenCount;
  std::uint32_t BufferSize;     // 0: only NodeCount is wanted
  std::uint64_t Buffer;
  std::uint32_t Reserved1;
};
static_assert(sizeof(MDCFS_NODE_LIST) == 292, "node-list record is 292 bytes");
static_assert(offsetof(MDCFS_NODE_LIST, NodeCount) == 268);

constexpr std::uint32_t MDCFS_NODE_NAME_SIZE = 976;

// Entry of the file list, 1004 bytes.
struct MDCFS_NODE_ENTRY {
  std::uint64_t UniqueId;
  std::uint64_t ParentUniqueId;  // 0 when the parent has no entry
  std::uint64_t FileSize;        // 0 for a directory
  std::uint32_t Attributes;      // 0x10 directory, 0x01 read-only, 0x08 execute, 0x400 symbolic link
  char Name[MDCFS_NODE_NAME_SIZE];
};
static_assert(sizeof(MDCFS_NODE_ENTRY) == 1004, "short node entry is 1004 bytes");

// Entry of the child list, 1040 bytes.
struct MDCFS_NODE_ENTRY_LONG {
  std::uint64_t UniqueId;
  std::uint64_t ParentUniqueId;
  std::uint64_t FileSize;
  std::uint32_t Attributes;
  std::uint16_t ZoneMap;  // bit n: data on slot n
  std::uint16_t Reserved;
  std::uint64_t CreationSeconds;
  std::uint64_t CreationMicroseconds;
  std::uint64_t ModificationSeconds;
  std::uint64_t ModificationMicroseconds;
  char Name[MDCFS_NODE_NAME_SIZE];
};
static_assert(sizeof(MDCFS_NODE_ENTRY_LONG) == 1040, "long node entry is 1040 bytes");
static_assert(offsetof(MDCFS_NODE_ENTRY_LONG, Name) == 64);

// MDCFSCTL_GET_FILE_COUNT (sent as 0xC0087010).
struct MDCFS_FILE_COUNT {
  std::uint32_t NumberOfFiles;
  std::uint32_t NumberOfDirectories;
};
static_assert(sizeof(MDCFS_FILE_COUNT) == 8, "file count record is 8 bytes");
#pragma pack(pop)

// Attribute bits of the node entries.
enum : std::uint32_t {
  MDCFS_NODE_ATTR_READONLY = 0x01,
  MDCFS_NODE_ATTR_EXECUTE = 0x08,
  MDCFS_NODE_ATTR_DIRECTORY = 0x10,
  MDCFS_NODE_ATTR_SYMLINK = 0x400,
};
// Longest path a list record may name, terminator included.
constexpr std::uint32_t MDCFS_LIST_PATH_MAX = 4096;

int mdcudfsr_mdcfsctrl_add_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node,
                                          MDCFS_ADD_FILE_HASH_INFO* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_remove_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint16_t* index,
                                             vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_HASH_LIST* rec,
                                          vfs_context_t ctx);
// Volume code; runs with the request node released.
int mdcudfsr_mdcfsctrl_get_hash_list(mdcudfsr_mount* mnt, MDCFS_HASH_LIST* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_file_node_list(mdcudfsr_mount* mnt, MDCFS_NODE_LIST* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_child_node_list(mdcudfsr_mount* mnt, MDCFS_NODE_LIST* rec, vfs_context_t ctx);
// Mode 0 the file list, 1 the child list.
int mdcudfsr_get_file_node_list(mdcudfsr_mount* mnt, MDCFS_NODE_LIST* rec, int mode, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_file_count(mdcudfsr_mount* mnt, MDCFS_FILE_COUNT* rec, vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_unique_id(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint64_t* id,
                                     vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_master_file_index(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, std::uint64_t* id,
                                             vfs_context_t ctx);
int mdcudfsr_mdcfsctrl_get_last_file_index(mdcudfsr_mount* mnt, std::uint64_t* id, vfs_context_t ctx);

// Appends the node's hash entries to the record's buffer; *fits is cleared
// when one did not fit.
int mdcudfsr_get_file_hash_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_HASH_LIST* rec, int* fits);
// Fills one entry of either form (the other pointer null).
int mdcudfsr_get_file_node_info(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node, MDCFS_NODE_ENTRY* entry,
                                MDCFS_NODE_ENTRY_LONG* long_entry);
