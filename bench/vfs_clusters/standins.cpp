// Neighbours the linked volume code refers to but the benchmark never
// reaches; each stops the run when it is reached.
#include "kelvfs/mdcudfsr_sync.h"
#include "udf/udf_neighbour_calls.h"

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void unreached(const char* what) {
  std::fprintf(stderr, "kel_vfs_clusters_bench: unexpected call of %s\n", what);
  std::abort();
}
}  // namespace

int mdcudfsr_flush_metadata_and_descriptor(mdcudfsr_mount*, int, int, int, vfs_context_t, int) {
  unreached("flush_metadata_and_descriptor");
}
int mdcudfsr_flush_metadata_and_descriptor_re(mdcudfsr_mount*, int, int, int, vfs_context_t, int, int) {
  unreached("flush_metadata_and_descriptor_re");
}
int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount*, vfs_context_t, uint32_t*, int) {
  unreached("get_defect_report_counter");
}
int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount*, vfs_context_t, uint32_t, uint32_t, uint32_t*) {
  unreached("find_defect_and_change_NWA");
}
uint32_t mdcudfsr_perm_unix2udf(uint32_t) { unreached("perm_unix2udf"); }
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount*, const mdcudfsr_extent_list*, uint32_t, uint32_t*,
                                              int) {
  unreached("cache_check_metadata_aed_newlist");
}
