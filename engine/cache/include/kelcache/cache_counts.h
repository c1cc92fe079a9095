// The object counts of the node cache, as the UDF code reads them.
#pragma once

#include <cstdint>

struct mdcudfsr_mount;

// Both outputs 0, then for kind 1, 2 or 4 the mount's counts of file and
// directory nodes; 0.
int mdcudfsr_cache_get_object_count(mdcudfsr_mount* mnt, int kind, uint32_t* num_files, uint32_t* num_dirs);
