// Recording stand-ins of the routines the vnode-operation vector brings in
// (through the namespace operations and the modes) that other folders have
// not built yet. The vector is linked here for its fsync pair; none of these
// is reached by this suite, which the recorded list lets a test confirm.
#include "vfs_support.h"

#include "kelcache/cache_flush.h"
#include "kelvnops/mdcudfsr_modes.h"

namespace {
int record(const char* name) {
  vfs_test::g_standin_calls.emplace_back(name);
  return 22;
}
}  // namespace

int mdcudfsr_cache_rename_node(mdcudfsr_cache_node*, mdcudfsr_cache_node*, const char*, int64_t, int) {
  return record("cache_rename_node");
}
int mdcudfsr_cache_move_node(mdcudfsr_cache_node*, mdcudfsr_cache_node*, mdcudfsr_cache_node*, const char*, int64_t) {
  return record("cache_move_node");
}
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node*, int) { return record("set_file_visibility"); }
