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
};

// 0, 30 (read-only), 22 raw, or the error of the step that ended the mount.
int mdcudfsr_mount_read_volume(mdcudfsr_mount* mnt, vfs_context_t ctx, mdcudfsr_mount_fs_state* state);
