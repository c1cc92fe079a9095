// Stand-ins for the volume and vnode services that the UDF code linked here
// names but that no node-cache path calls: each records its call and fails
// the running test.
#include "udf/udf_neighbour_calls.h"

#include <gtest/gtest.h>

namespace {
int unreached(const char* what) {
  ADD_FAILURE() << what << " is not expected from the node cache";
  return 22;
}
}  // namespace

int mdcudfsr_read_attribute(mdcudfsr_mount*, void*, uint32_t, int, int, vfs_context_t, int) {
  return unreached("read_attribute");
}
int mdcudfsr_write_attribute(mdcudfsr_mount*, void*, uint32_t, int, vfs_context_t, int) {
  return unreached("write_attribute");
}
int mdcudfsr_write_logical_blocks(mdcudfsr_mount*, uint16_t, uint32_t, const void*, uint32_t, vfs_context_t) {
  return unreached("write_logical_blocks");
}
int mdcudfsr_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t, const void*, uint32_t) {
  return unreached("write_cluster_buffer");
}
int mdcudfsr_zero_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t, uint32_t) {
  return unreached("zero_write_cluster_buffer");
}
int mdcudfsr_read_cluster_with_lbn(mdcudfsr_mount*, vfs_context_t, uint8_t**, mdcudfsr_lbn_addr, int, void*, int,
                                   uint32_t*) {
  return unreached("read_cluster_with_lbn");
}
int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount*, vfs_context_t, uint32_t, uint32_t, uint32_t*) {
  return unreached("find_defect_and_change_NWA");
}
int mdcudfsr_cache_write_fid(mdcudfsr_mount*, uint8_t*, mdcudfsr_udf_node_fields*, uint32_t, int) {
  return unreached("cache_write_fid");
}
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount*, const mdcudfsr_extent_list*, uint32_t, uint32_t*,
                                              int) {
  return unreached("cache_check_metadata_aed_newlist");
}
int mdcudfsr_read_track_information(mdcudfsr_mount*, int, uint32_t*, uint32_t*, int32_t*, vfs_context_t, int) {
  return unreached("read_track_information");
}
int mdcudfsr_read_track_information_re(mdcudfsr_mount*, int, uint32_t*, uint32_t*, int32_t*) {
  return unreached("read_track_information_re");
}
int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount*, vfs_context_t, uint32_t*, int) {
  return unreached("get_defect_report_counter");
}
int mdcudfsr_sync_drive_cache(mdcudfsr_mount*, vfs_context_t) { return unreached("sync_drive_cache"); }
int mdcudfsr_verify_range(vnode_t, uint32_t, uint32_t, vfs_context_t, mdcudfsr_mount*) {
  return unreached("verify_range");
}
