// Engine routines of the volume and UDF code that the metacache requests
// call. They are defined with the volume operations and the UDF code.
#pragma once

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// Reads or writes the cartridge-memory attribute record.
int mdcudfsr_read_attribute(mdcudfsr_mount* mp, void* record, std::uint32_t length, int kind, int flags,
                            mdcudfsr_cache_node* node, int option);
int mdcudfsr_write_attribute(mdcudfsr_mount* mp, void* record, std::uint32_t length, int kind,
                             mdcudfsr_cache_node* node, int option);
// Marks a range read from the fs management cache in the read-cache bitmap.
int mdcudfsr_update_metadata_bitmap_for_read_cache(mdcudfsr_mount* mp, std::uint8_t* bitmap,
                                                   std::uint64_t offset, std::uint32_t length);

struct vnode;
struct vfs_context;
// The drive layer's device-control entry on the device vnode.
int VNOP_IOCTL(vnode* vp, std::uint32_t command, char* data, int flags, vfs_context* context);

namespace kelagent {
// Device control on the mount's device vnode, with the node as context.
int host_device_ioctl(mdcudfsr_mount* mp, std::uint32_t code, void* data, mdcudfsr_cache_node* node);
}  // namespace kelagent
