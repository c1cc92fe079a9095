// The directory scan's shared pieces: reads of the local metadata copy,
// the mount-information settings it makes, and the checkEFE bitmap.
#pragma once

#include "kelcache/cache.h"

#include <cstdint>
#include <functional>

namespace kelcache {

// Reads `len` bytes of the metadata image at `offset`: from the local
// metadata cache file (alt 0) or from the management cache file (alt 1).
// A read error, a cache error (in *cache_err) or a short read fails it.
int scan_read(mdcudfsr_mount* m, int alt, uint64_t offset, uint32_t len, void* dst, uint32_t* cache_err);

// Mount information (0, 0x80000500, 0x80000): an entry is damaged.
void set_damaged(mdcudfsr_mount* m, vfs_context_t ctx);
// Mount information (2, 0x80000100, 0x80000): the tree is not trustworthy.
void set_invalid(mdcudfsr_mount* m);
// Mount status written directly, write-protect reason 0x80000 added.
void set_status_direct(mdcudfsr_mount* m, uint32_t status);
// Write-protect reason 0x80000 added through the volume code.
void set_wrprot(mdcudfsr_mount* m, vfs_context_t ctx);

bool check_efe_mode(const mdcudfsr_mount* m);
// The zone fields of a file node from its extents (the directory scan's rule).
void scan_take_discs(mdcudfsr_mount* m, mdcudfsr_cache_node* n);
// Marks blocks of the metadata file as used by the tree.
void check_efe_clear(mdcudfsr_mount* m, uint32_t lbn, uint32_t blocks);
// Walks the attributes after the (already checked) 24-byte header of an
// extended attribute area of l_ea bytes, each bounded by its own length and
// by what remains: warn(text) for each flawed one (an inconsistent length
// ends the walk), take(kind, bytes, length) for each valid file hash.
void walk_hash_eas(const uint8_t* area, uint32_t l_ea, const std::function<void(const char*)>& warn,
                   const std::function<void(uint16_t, const uint8_t*, uint16_t)>& take);

}  // namespace kelcache
