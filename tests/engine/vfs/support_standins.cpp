// Recording stand-ins for the routines of other folders that the UDF code
// reaches and that are not built yet (cartridge-memory attributes, write
// clusters, drive cache and verify, defect finder). Each
// records its call; none is reached by the paths these suites test, which
// the recorded list lets a test confirm.
#include "vfs_support.h"

#include "udf/udf_neighbour_calls.h"

namespace vfs_test {
std::vector<std::string> g_standin_calls;
}

namespace {
int record(const char* name) {
  vfs_test::g_standin_calls.emplace_back(name);
  return 5;
}
}  // namespace

int mdcudfsr_read_attribute(mdcudfsr_mount*, void*, uint32_t, int, int, vfs_context_t, int) {
  return record("read_attribute");
}
int mdcudfsr_write_attribute(mdcudfsr_mount*, void*, uint32_t, int, vfs_context_t, int) {
  return record("write_attribute");
}
int mdcudfsr_sync_drive_cache(mdcudfsr_mount*, vfs_context_t) { return record("sync_drive_cache"); }
int mdcudfsr_verify_range(vnode_t, uint32_t, uint32_t, vfs_context_t, mdcudfsr_mount*) {
  return record("verify_range");
}
int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount*, vfs_context_t, uint32_t*, int) {
  return record("get_defect_report_counter");
}
int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount*, vfs_context_t, uint32_t, uint32_t, uint32_t*) {
  return record("find_defect_and_change_NWA");
}
int mdcudfsr_write_logical_blocks(mdcudfsr_mount*, uint16_t, uint32_t, const void*, uint32_t, vfs_context_t) {
  return record("write_logical_blocks");
}
int mdcudfsr_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t, const void*, uint32_t) {
  return record("write_cluster_buffer");
}
int mdcudfsr_zero_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t, uint32_t) {
  return record("zero_write_cluster_buffer");
}
uint32_t mdcudfsr_perm_unix2udf(uint32_t) {
  record("perm_unix2udf");
  return 0;
}
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount*, const mdcudfsr_extent_list*, uint32_t, uint32_t*,
                                              int) {
  return record("cache_check_metadata_aed_newlist");
}
