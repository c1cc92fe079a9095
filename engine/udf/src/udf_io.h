// Shared helpers of the volume-structure readers and writers.
#pragma once

#include "udf/udf_mount.h"
#include "udf_log.h"

#include <cstdint>
#include <cstdlib>

namespace udf_io {

constexpr uint32_t kMaxWriteRetry = 9;  // mdcudfsr_max_write_retry: at most 10 attempts
constexpr uint32_t kUnit = 0x10000;     // 64 KiB write unit
constexpr uint32_t kUnitF2 = 0x40000;   // 256 KiB write unit on medium type 0xF2
constexpr uint32_t kVdsImageF2 = 0x80000;

// Device controls of the drive layer.
constexpr uint32_t kIoctlReserveWriteRange = 0x8008556Eu;
constexpr uint32_t kIoctlForgetDiscInfo = 0x200055EBu;
constexpr uint32_t kIoctlReadAttr0401 = 0x400155FFu;
constexpr uint32_t kIoctlReadAttrBlock = 0x405855E6u;

constexpr uint32_t kBufOpMetadata = 16;  // buf_getblk reads the blocks
constexpr uint32_t kBufOpWrite = 0;       // buf_getblk gives a zeroed buffer for writing
constexpr int32_t kBufFlagWrite = 4;

inline bool is_f2(const mdcudfsr_mount* m) { return m->medium_type == 0xF2; }
inline uint32_t unit_size(const mdcudfsr_mount* m) { return is_f2(m) ? kUnitF2 : kUnit; }

// Range record of the reserve-write device control.
struct ReserveRange {
  uint32_t first;
  uint32_t count;
};
static_assert(sizeof(ReserveRange) == 8, "reserve range is two u32");

inline uint8_t* buf_bytes(buf_t bp) { return reinterpret_cast<uint8_t*>(buf_dataptr(bp)); }

inline uint8_t* zalloc(size_t n) { return static_cast<uint8_t*>(std::calloc(1, n)); }
inline void zfree(void* p) { std::free(p); }

// The last written disc loaded (the caller holds the slot lock); 0 or its
// error, logged.
int load_last_written(mdcudfsr_mount* mnt, vfs_context_t ctx);
// `size` bytes written at `loc` on the last written disc under the slot
// lock, the range reserved first on 0xF2 media; the drive's disc
// information is then stale. A failed write syncs the drive's cache and is
// logged as `write_fail_fmt` (one %d: the error) in `module`.
int write_on_last_written(mdcudfsr_mount* mnt, const uint8_t* data, uint32_t loc, uint32_t size, vfs_context_t ctx,
                          udf_log::Module module, const char* write_fail_fmt);
// The drive's cache synchronised on the last written disc.
int sync_last_written(mdcudfsr_mount* mnt, vfs_context_t ctx);
// `size` bytes at `loc` verified on the last written disc.
int verify_on_last_written(mdcudfsr_mount* mnt, uint32_t loc, uint32_t size, vfs_context_t ctx);

}  // namespace udf_io
