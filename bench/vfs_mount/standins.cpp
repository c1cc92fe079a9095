// Neighbours the linked volume code refers to that other sources build: the
// benchmark's mount reaches none of them: any call stops the run.
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

uint32_t mdcudfsr_perm_unix2udf(uint32_t) { unreached("perm_unix2udf"); }
int mdcudfsr_mdcfsctrl_mount_next_track(mdcudfsr_mount*, vfs_context_t, int*) { unreached("mount_next_track"); }
int mdcudfsr_mdcfsctrl_write_next_track(mdcudfsr_mount*, vfs_context_t) { unreached("write_next_track"); }
int mdcudfsr_vnop_disc_lock(mdcudfsr_mount*, vfs_context_t) { unreached("disc_lock"); }
int mdcudfsr_vnop_disc_unlock(mdcudfsr_mount*, vfs_context_t) { unreached("disc_unlock"); }
