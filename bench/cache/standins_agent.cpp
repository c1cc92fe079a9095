// The cache agent's requests, for the index benchmark, which links no agent.
#include "udf/udf_neighbour_calls.h"
#include "kelcache/cache_node.h"

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void unreached(const char* what) {
  std::fprintf(stderr, "kel_cache_bench: unexpected call of %s\n", what);
  std::abort();
}
}  // namespace

// Cache agent.
int mdcudfsr_metacache_file_read(mdcudfsr_mount*, int32_t, uint64_t, uint32_t, void*, uint32_t*, uint32_t*) {
  unreached("metacache_file_read");
}
int mdcudfsr_metacache_file_write(mdcudfsr_mount*, int32_t, uint64_t, uint32_t, const void*, uint32_t*, uint32_t*) {
  unreached("metacache_file_write");
}
int mdcudfsr_metacache_file_close(mdcudfsr_mount*, int32_t) { unreached("metacache_file_close"); }
int mdcudfsr_metacache_file_delete(mdcudfsr_mount*, const char*, uint32_t*) { unreached("metacache_file_delete"); }
int mdcudfsr_metacache_fsmanage_delete(mdcudfsr_mount*, mdcudfsr_cache_node*) { unreached("fsmanage_delete"); }
int mdcudfsr_metacache_update_coherent(mdcudfsr_mount*, mdcudfsr_cache_node*) { unreached("update_coherent"); }
int mdcudfsr_metacache_write_mediainfo(mdcudfsr_mount*, mdcudfsr_cache_node*) { unreached("write_mediainfo"); }
