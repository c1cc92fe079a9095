// Write clusters: every metadata write is staged into the image of a 64 KiB
// cluster kept in the local cache file, and whole clusters reach the disc at
// a flush.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;
struct cluster_entry;

constexpr std::uint32_t MDCUDFSR_CLUSTER_BYTES = 0x10000;
constexpr std::uint32_t MDCUDFSR_CLUSTER_BATCH = 512;
constexpr std::uint32_t MDCUDFSR_VERIFY_PIECE = 0x4000;

// Three words of the caller's track information; `start_lsn` is where the
// first cluster of a run must be written.
struct mdcudfsr_cluster_track {
  std::uint32_t word0;
  std::uint32_t start_lsn;
  std::uint32_t word2;
};
static_assert(sizeof(mdcudfsr_cluster_track) == 12, "track record is three words");

cluster_entry* mdcudfsr_cluster_buffer_find(cluster_entry* head, std::int32_t cluster);
// 0, or 28 without memory.
int mdcudfsr_cluster_buffer_create(mdcudfsr_mount* mnt, std::uint32_t first_lsn, std::int32_t cluster, int sync,
                                   cluster_entry** out);
void mdcudfsr_cluster_entry_destroy(cluster_entry* e);
int mdcudfsr_compare_cluster_entry(const cluster_entry* a, const cluster_entry* b);

int mdcudfsr_write_logical_blocks(mdcudfsr_mount* mnt, uint16_t part_ref, uint32_t lbn, const void* buffer,
                                  uint32_t bytes, vfs_context_t ctx);
int mdcudfsr_write_cluster_buffer(mdcudfsr_mount* mnt, vfs_context_t ctx, int sync, uint32_t lsn, const void* buffer,
                                  uint32_t bytes);
int mdcudfsr_zero_write_cluster_buffer(mdcudfsr_mount* mnt, vfs_context_t ctx, int sync, uint32_t lsn,
                                       uint32_t count);

// Writes one entry to the disc; the entry is always freed.
int mdcudfsr_flush_cluster_entry(mdcudfsr_mount* mnt, cluster_entry* e, int buffer_flag, vfs_context_t ctx);
// Writes the cluster holding `lsn`; 22 when it was never staged, 14 when the
// drive's next writable address is elsewhere.
int mdcudfsr_flush_cluster_buffer(mdcudfsr_mount* mnt, uint32_t lsn, int buffer_flag, vfs_context_t ctx);
// Writes every staged cluster in ascending order in batches of 512, each
// reserved, synced and verified. A failed sync or verify sets *verify_failed
// (the drive found a defect); the blocks of the finished batches and of the
// one under way go to *blocks_written. Either output may be null.
int mdcudfsr_flush_all_clusters(mdcudfsr_mount* mnt, int buffer_flag, vfs_context_t ctx,
                                const mdcudfsr_cluster_track* track, int* verify_failed, uint32_t* blocks_written);
// Drops every entry unwritten.
int mdcudfsr_clear_all_clusters(mdcudfsr_mount* mnt);
