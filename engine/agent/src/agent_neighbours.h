// Engine routines of the volume and UDF code that the metacache requests
// call. They are defined with the volume operations and the UDF code.
#pragma once

#include <cstdint>

#include "udf/udf_neighbour_calls.h"

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// Marks a range read from the fs management cache in the read-cache bitmap.
int mdcudfsr_update_metadata_bitmap_for_read_cache(mdcudfsr_mount* mp, std::uint8_t* bitmap,
                                                   std::uint64_t offset, std::uint32_t length);


namespace kelagent {
// Device control on the mount's device vnode, with the node as context.
int host_device_ioctl(mdcudfsr_mount* mp, std::uint32_t code, void* data, mdcudfsr_cache_node* node);
}  // namespace kelagent
