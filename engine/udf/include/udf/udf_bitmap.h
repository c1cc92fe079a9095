// Space bitmaps: the unallocated space bitmap of the physical partition and
// the metadata bitmap, read and checked at mount, rebuilt from the volume's
// structures and the node tree, and written afresh at the next writable
// address on every flush.
#pragma once

#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_node.h"

#include <cstdint>

struct mdcudfsr_mount;

// An in-memory bitmap: bit b of byte b / 8 (least significant first) stands
// for block b; 1 free, 0 allocated.
struct mdcudfsr_bitmap {
  uint32_t num_bits;
  uint32_t free_count;
  uint32_t num_bytes;
  uint8_t bytes[1];
};
// A bitmap of `bits` blocks, all free; null when memory is short.
mdcudfsr_bitmap* mdcudfsr_bitmap_alloc(uint32_t bits);
void mdcudfsr_bitmap_free(mdcudfsr_bitmap* bitmap);
// Marks `count` blocks from `first` allocated (blocks outside the bitmap and
// blocks already marked are left alone).
void mdcudfsr_bitmap_mark(mdcudfsr_bitmap* bitmap, uint32_t first, uint64_t count);

// Whether the operations run on the mount's medium.
bool mdcudfsr_sbmp_medium_supported(const mdcudfsr_mount* mnt);

int mdcudfsr_sbmp_read_sbd(mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, vfs_context_t ctx,
                           uint32_t* num_bits, uint32_t* num_bytes);
int mdcudfsr_read_usb(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_read_metadata_bmp(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_make_bitmap_for_file(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* node, mdcudfsr_bitmap* bitmap,
                                  int skip_kind4);
int mdcudfsr_create_bitmap_mark_efe(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* node, mdcudfsr_bitmap* bitmap);
int mdcudfsr_bitmap_flush(mdcudfsr_mount* mnt, const mdcudfsr_bitmap* bitmap, uint32_t first_block,
                          uint32_t* desc_length, uint32_t* desc_first, vfs_context_t ctx);
int mdcudfsr_update_usb(mdcudfsr_mount* mnt, short_ad metadata_bitmap, vfs_context_t ctx, uint32_t* blocks_written,
                        int skip_kind4);
int mdcudfsr_update_metadata_bitmap(mdcudfsr_mount* mnt, uint32_t* desc_length, uint32_t* desc_first,
                                    vfs_context_t ctx, uint32_t* blocks_written, int skip_kind4);
// Marks the blocks of a byte range read from the management cache in a
// bitmap, without any count.
int mdcudfsr_update_metadata_bitmap_for_read_cache(mdcudfsr_mount* mnt, uint8_t* bitmap, uint64_t offset,
                                                   uint32_t length);
