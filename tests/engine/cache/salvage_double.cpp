// A test double of the EFE cache file, which no agent request serves: while
// a test has set it up, the engine's open of the EFE cache file gets its
// handle and the reads of that handle its bytes; other handles go to the
// real agent. Link options in CMakeLists.txt route the calls here.
#include "salvage_double.h"

#include "support.h"

#include "kelagent/metacache.h"

#include <algorithm>
#include <cstring>
#include <string>

int real_efefile_open(mdcudfsr_mount*, const char*, std::uint32_t, std::int32_t*, std::uint32_t*) __asm__(
    "__real__Z31mdcudfsr_metacache_efefile_openP14mdcudfsr_mountPKcjPiPj");
int real_file_read(mdcudfsr_mount*, std::int32_t, std::uint64_t, std::uint32_t, void*, std::uint32_t*,
                   std::uint32_t*) __asm__("__real__Z28mdcudfsr_metacache_file_readP14mdcudfsr_mountimjPvPjS2_");
int real_file_close(mdcudfsr_mount*, std::int32_t) __asm__("__real__Z29mdcudfsr_metacache_file_closeP14mdcudfsr_mounti");
int wrap_efefile_open(mdcudfsr_mount*, const char*, std::uint32_t, std::int32_t*, std::uint32_t*) __asm__(
    "__wrap__Z31mdcudfsr_metacache_efefile_openP14mdcudfsr_mountPKcjPiPj");
int wrap_file_read(mdcudfsr_mount*, std::int32_t, std::uint64_t, std::uint32_t, void*, std::uint32_t*,
                   std::uint32_t*) __asm__("__wrap__Z28mdcudfsr_metacache_file_readP14mdcudfsr_mountimjPvPjS2_");
int wrap_file_close(mdcudfsr_mount*, std::int32_t) __asm__("__wrap__Z29mdcudfsr_metacache_file_closeP14mdcudfsr_mounti");

namespace cache_test {
EfeDouble& efe_double() {
  static EfeDouble d;
  return d;
}
}  // namespace cache_test

using cache_test::efe_double;

int wrap_efefile_open(mdcudfsr_mount* m, const char* name, std::uint32_t access, std::int32_t* handle,
                      std::uint32_t* cache_err) {
  auto& d = efe_double();
  if (!d.active) return real_efefile_open(m, name, access, handle, cache_err);
  cache_test::rec().calls.push_back(std::string("efefile_open ") + name + " " + std::to_string(access));
  *handle = cache_test::EfeDouble::kHandle;
  *cache_err = 0;
  ++d.opened;
  return 0;
}

int wrap_file_read(mdcudfsr_mount* m, std::int32_t handle, std::uint64_t offset, std::uint32_t length, void* dst,
                   std::uint32_t* read_len, std::uint32_t* cache_err) {
  auto& d = efe_double();
  if (!d.active || handle != cache_test::EfeDouble::kHandle)
    return real_file_read(m, handle, offset, length, dst, read_len, cache_err);
  *cache_err = 0;
  const std::uint64_t have = offset < d.bytes.size() ? d.bytes.size() - offset : 0;
  *read_len = static_cast<std::uint32_t>(std::min<std::uint64_t>(have, length));
  if (*read_len) std::memcpy(dst, d.bytes.data() + offset, *read_len);
  return 0;
}

int wrap_file_close(mdcudfsr_mount* m, std::int32_t handle) {
  auto& d = efe_double();
  if (!d.active || handle != cache_test::EfeDouble::kHandle) return real_file_close(m, handle);
  ++d.closed;
  return 0;
}
