// Partition set-up at mount and the cluster reader it uses.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

// A logical block of a partition entry, as the cluster reader takes it.
struct mdcudfsr_lbn_addr {
  uint32_t lbn;
  uint32_t part;
};
// The cluster holding a block; the buffer belongs to the cluster layer.
int mdcudfsr_read_cluster_with_lbn(mdcudfsr_mount* mnt, vfs_context_t ctx, uint8_t** buffer, mdcudfsr_lbn_addr addr,
                                   int zero, void* none, int zero2, uint32_t* byte_offset);

// Builds the physical partition, the metadata file and its mirror entries.
// from_cache: read the entries from the file-system cache; write_cache: copy
// what was read from the disc into it. 0, 30 (read-only), 12, 22 or a step's error.
int mdcudfsr_init_partitions(mdcudfsr_mount* mnt, vfs_context_t ctx, int from_cache, int write_cache);

// An empty cluster list; 22 when a cluster holds more than 32 sectors.
int mdcudfsr_init_clusters(mdcudfsr_mount* mnt);
