// The read-ahead's bookkeeping of opens and closes. Process-wide, as the
// read-ahead itself: this file alone holds that state.
#include "read_ahead_state.h"

#include "kelvfs/mdcudfsr_readahead.h"

#include <mutex>

namespace {

// The read-ahead's second opener: a file opened for reading while another
// one is served.
std::mutex g_second_mutex;
vnode_t g_second_opener = nullptr;

}  // namespace

// Done after the open succeeded, so that every served file gets its close.
void vn_read_ahead_open(vn_frame& f, int mode) {
  mdcudfsr_cache_node* n = f.cnp;
  if (!mdcudfsr_cluster_read_buff_active() || mode != FREAD || n->kind != MDCUDFSR_NODE_UDF || mdcudfsr_is_dir(n) ||
      mdcudfsr_cache_is_dollar_proxyfile(n))
    return;
  std::lock_guard<std::mutex> g(g_second_mutex);
  if (mdcudfsr_cluster_read_buff_vnode() == nullptr) {
    mdcudfsr_cluster_read_buff_reset(f.vp);
    g_second_opener = nullptr;
  } else if (g_second_opener == nullptr) {
    VN_LOG(KEL_LOG_WARN, "multiple open(second) on buffer read : %s \n", mdcudfsr_node_name(n));
    g_second_opener = f.vp;
  }
}

void vn_read_ahead_close(vnode_t vp) {
  if (mdcudfsr_cluster_read_buff_active() && vp && mdcudfsr_cluster_read_buff_vnode() == vp)
    mdcudfsr_cluster_read_buff_reset(nullptr);
}
