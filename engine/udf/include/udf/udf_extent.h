// Extent lists: the in-memory allocation of a file, of the metadata file and
// its mirror, and of the mount's partition entries. Entries stand in file
// order; a sparse index (one entry about every 20 extents) speeds up offset
// lookups in long lists.
#pragma once

#include "udf/udf_records.h"

#include <cstdint>
#include <mutex>

struct mdcudfsr_mount;

// Extent length word: the low 30 bits are the length in bytes, the top two
// bits the extent type.
constexpr uint32_t EXTENT_LENGTH_MASK = 0x3FFFFFFFu;
inline uint32_t EXTENT_LENGTH(uint32_t len) { return len & EXTENT_LENGTH_MASK; }
inline uint32_t EXTENT_FLAGS(uint32_t len) { return len >> 30; }
inline uint32_t EXTENT_MAKE(uint32_t length, uint32_t type) { return (length & EXTENT_LENGTH_MASK) | (type << 30); }
constexpr uint32_t EXTENT_FLAGS_RECORDED = 0;
constexpr uint32_t EXTENT_FLAGS_NOT_RECORDED = 1;
constexpr uint32_t EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED = 2;
constexpr uint32_t EXTENT_FLAGS_NEXT_EXTENT = 3;

constexpr uint32_t MDCUDFSR_INVALID_LBN = 0xFFFFFFFFu;
constexpr uint32_t MDCUDFSR_INVALID_LSN = 0xFFFFFFFFu;
// Extents between two index entries.
constexpr uint32_t MDCUDFSR_EXTENT_INDEX_STEP = 20;

struct mdcudfsr_extent_entry {
  mdcudfsr_extent_entry* next = nullptr;
  mdcudfsr_extent_entry* prev = nullptr;
  long_ad extent{};  // host order
};

struct mdcudfsr_extent_index {
  mdcudfsr_extent_index* next = nullptr;
  mdcudfsr_extent_index* prev = nullptr;
  uint64_t offset = 0;
  mdcudfsr_extent_entry* entry = nullptr;
};

// The lock of one extent list. Every routine below holds it while it walks
// or changes the list, whoever's node the list belongs to (a proxy shares
// its master's list, and the data path maps runs with no node lock held);
// a caller that walks the list itself, or needs several routines to see one
// state, holds it with mdcudfsr_extent_list_hold. It is recursive, so that
// the routines may be called while it is held, and it is held only for
// short stretches: never across I/O, nor while waiting for a node, the disc
// or anything else that may wait in turn.
// Copying a list copies its links, never its lock.
struct mdcudfsr_extent_lock {
  mutable std::recursive_mutex mutex;
  mdcudfsr_extent_lock() = default;
  mdcudfsr_extent_lock(const mdcudfsr_extent_lock&) {}
  mdcudfsr_extent_lock& operator=(const mdcudfsr_extent_lock&) { return *this; }
};

struct mdcudfsr_extent_list {
  mdcudfsr_extent_entry* first = nullptr;
  mdcudfsr_extent_entry* last = nullptr;
  mdcudfsr_extent_index* index_first = nullptr;
  mdcudfsr_extent_index* index_last = nullptr;
  mdcudfsr_extent_lock lock;
};

// The list's lock, held until the returned guard goes.
std::unique_lock<std::recursive_mutex> mdcudfsr_extent_list_hold(const mdcudfsr_extent_list* list);

// Largest extent length a merge produces for a block size.
uint32_t mdcudfsr_extent_max_length(uint32_t logical_block_size);

int mdcudfsr_extent_list_init(mdcudfsr_extent_list* list);
uint32_t mdcudfsr_extent_list_get_count(const mdcudfsr_extent_list* list);
// Selector 0: every type; 1: types 0, 1, 3; 2: type 0; 3: none.
uint64_t mdcudfsr_extent_list_get_selected_length(const mdcudfsr_extent_list* list, int selector);
int mdcudfsr_extent_list_remove_all(mdcudfsr_extent_list* list);
int mdcudfsr_extent_list_free(mdcudfsr_extent_list* list);
// Appends a copy of entry->extent, merging it into the last entry when the
// block size is not 0. 0, or 12.
int mdcudfsr_extent_list_add(mdcudfsr_extent_list* list, const mdcudfsr_extent_entry* entry,
                             uint32_t logical_block_size);
// 0 merged (fully or partly), -2 not merged.
int mdcudfsr_extent_list_merge_entries_if_possible(mdcudfsr_extent_entry* former, mdcudfsr_extent_entry* latter,
                                                   uint32_t logical_block_size, int allow_unaligned);
int mdcudfsr_extent_list_add_index(mdcudfsr_extent_list* list, uint64_t offset, mdcudfsr_extent_entry* entry);
int mdcudfsr_extent_list_rebuild_index(mdcudfsr_extent_list* list);
int mdcudfsr_extent_list_remove_entry(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* entry);
mdcudfsr_extent_entry* mdcudfsr_find_extent_using_index(const mdcudfsr_extent_list* list, uint64_t offset,
                                                        uint64_t* start_offset);
mdcudfsr_extent_entry* mdcudfsr_offset_in_extent(const mdcudfsr_extent_list* list, uint64_t offset,
                                                 mdcudfsr_extent_entry* hint, uint64_t* hint_start,
                                                 uint64_t* offset_within);
// 0 some type changed, -2 nothing changed, 12 no memory, 22 misaligned.
int mdcudfsr_extent_list_set_flags(mdcudfsr_extent_list* list, mdcudfsr_extent_entry* hint, uint64_t hint_start,
                                   uint64_t offset, uint64_t length, uint32_t logical_block_size,
                                   uint32_t new_type);
mdcudfsr_extent_entry* mdcudfsr_offset2extent(const mdcudfsr_extent_list* list, uint64_t offset,
                                              uint64_t* offset_within);
uint32_t mdcudfsr_offset2lbn(const mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, uint64_t offset,
                             uint64_t* bytes_left);
// Partition reference 0 of the list's first extent maps through the metadata
// file; every other reference (the disc number of a file extent, or 2) maps
// through the physical partition.
uint32_t mdcudfsr_offset2lsn(const mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, uint64_t offset,
                             uint64_t* bytes_available);
void mdcudfsr_extent_entry_debug(const mdcudfsr_extent_entry* entry);
void mdcudfsr_extent_list_debug(const mdcudfsr_extent_list* list);
