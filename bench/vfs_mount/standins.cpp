// Neighbours the linked volume code refers to that other sources build: the
// benchmark's mount reaches only the read-ahead start and stop (answered 0);
// any other call stops the run.
#include "kelvfs/mdcudfsr_mount_calls.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "udf/udf_neighbour_calls.h"

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void unreached(const char* what) {
  std::fprintf(stderr, "kel_vfs_mount_bench: unexpected call of %s\n", what);
  std::abort();
}
}  // namespace

struct mdcudfsr_cache_node;
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node*, int) { unreached("set_file_visibility"); }
vnop_handler_t* mdcudfsr_vnodeop_p = nullptr;

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
int mdcudfsr_flush_descriptor_to_fscache_file_re(mdcudfsr_mount*, vfs_context_t) { unreached("flush_descriptor_re"); }
int mdcudfsr_make_defect_map(mdcudfsr_mount*, vfs_context_t, int) { unreached("make_defect_map"); }
int mdcudfsr_cluster_read_buff_mount(mdcudfsr_mount*, const char*) { return 0; }
int mdcudfsr_cluster_read_buff_umount() { return 0; }
int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount*, vfs_context_t, int*) { unreached("mount_next_track"); }
