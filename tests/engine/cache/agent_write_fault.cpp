// A positioned write through the cache agent that fails as on a full host
// disc, when a test asks for it (Recorder::fail_cache_write). The link
// routes the engine's calls here (CMakeLists.txt).
#include "support.h"

#include "kelagent/metacache.h"

#include <cstdint>
#include <functional>

using cache_test::rec;

int real_cache_write(mdcudfsr_mount*, std::int32_t, std::uint64_t, std::uint32_t, const void*, std::uint32_t*,
                     std::uint32_t*) __asm__("__real__Z29mdcudfsr_metacache_file_writeP14mdcudfsr_mountimjPKvPjS3_");
int wrap_cache_write(mdcudfsr_mount*, std::int32_t, std::uint64_t, std::uint32_t, const void*, std::uint32_t*,
                     std::uint32_t*) __asm__("__wrap__Z29mdcudfsr_metacache_file_writeP14mdcudfsr_mountimjPKvPjS3_");

int wrap_cache_write(mdcudfsr_mount* m, std::int32_t handle, std::uint64_t offset, std::uint32_t length,
                     const void* data, std::uint32_t* done, std::uint32_t* cache_err) {
  if (cache_test::take_cache_write_failure()) {
    *done = 0;
    *cache_err = 1;
    return 28;  // ENOSPC: the host's disc is full
  }
  return real_cache_write(m, handle, offset, length, data, done, cache_err);
}
