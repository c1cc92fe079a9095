// The file-system phase of the volume mount, from the disc status to the
// integrity descriptor (the steps that read what the disc holds).
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

struct mdcudfsr_mount_fs_state {
  bool read_only = false;        // the mount ends read-only (30 inside the engine)
  bool rewrite_descriptors = false;
  bool next_track = false;
  bool cache_failed = false;     // the file-system cache gave data that failed
  bool cache_ready = false;      // the node cache is set up
};

// 0, 30 (read-only), 22 raw, or the error of the step that ended the mount.
int mdcudfsr_mount_read_volume(mdcudfsr_mount* mnt, vfs_context_t ctx, mdcudfsr_mount_fs_state* state);

// The file-system half of the mount: media facts from the file-system cache, the
// volume read, partitions, node cache, descriptor rewrite, media resources,
// object limit, cartridge memory, file-system attributes, defect map, next
// track and cache disposal. 0, 30 (read-only), 22 raw, or the step's error.
int mdcudfsr_do_mount_fs(mdcudfsr_mount* mnt, vfs_context_t ctx, mdcudfsr_mount_fs_state* state);
// The object limit by medium and volume type: 0 within the writable limit, 30 up to the mount limit,
// 22 above it or for a medium without a row.
int mdcudfsr_object_limit_check(uint32_t medium_type, uint32_t volume_type, uint64_t objects);
