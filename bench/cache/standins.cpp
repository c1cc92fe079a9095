// What the node cache and the UDF code call outside the libraries linked
// here. Creation calls the time and permission conversions and the logger's
// sink (all log levels off); the rest is never reached by the benchmark and
// stops it when it is.
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"
#include "kelcache/cache_node.h"

#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void unreached(const char* what) {
  std::fprintf(stderr, "kel_cache_bench: unexpected call of %s\n", what);
  std::abort();
}
}  // namespace

extern "C" bool CheckLogLevel(int) { return false; }
extern "C" void SendDebugStringA(int, const char*) {}
extern "C" void SendDebugStringW(int, const char16_t*) {}

void mdcudfsr_timespec2udftime(mdcudfsr_mount*, const struct timespec*, timestamp* out, int) { *out = timestamp{}; }
void mdcudfsr_timespec2udftime_local(mdcudfsr_mount*, const struct timespec*, timestamp* out) { *out = timestamp{}; }
uint32_t mdcudfsr_perm_unix2udf(uint32_t mode) { return mode & 0777; }
bool mdcudfsr_is_privileged_process(mdcudfsr_mount*, kel_pid_t) { return false; }
int mdcudfsr_mdcfsctrl_set_file_visibility(mdcudfsr_cache_node* node, int visible) {
  node->attributes = visible ? node->attributes & ~0x20000u : node->attributes | 0x20000u;
  return 0;
}

// Drive layer.
int buf_meta_bread(vnode_t, daddr64_t, int, kauth_cred_t, buf_t*) { unreached("buf_meta_bread"); }
buf_t buf_getblk(vnode_t, daddr64_t, int, int, int, int) { unreached("buf_getblk"); }
uintptr_t buf_dataptr(buf_t) { unreached("buf_dataptr"); }
void buf_setflags(buf_t, int32_t) { unreached("buf_setflags"); }
int buf_bwrite(buf_t) { unreached("buf_bwrite"); }
void buf_brelse(buf_t) { unreached("buf_brelse"); }
int buf_invalidateblks(vnode_t, int, int, int) { unreached("buf_invalidateblks"); }
int VNOP_IOCTL(vnode_t, uint32_t, char*, int, vfs_context_t) { unreached("VNOP_IOCTL"); }

// Volume and vnode operations.
int mdcudfsr_disc_change(mdcudfsr_mount*, uint32_t, int, vfs_context_t, int) { unreached("disc_change"); }
void mdcudfsr_set_mntinfo_state(mdcudfsr_mount*, uint32_t, uint32_t, uint32_t) { unreached("set_mntinfo_state"); }
void mdcudfsr_set_mntinfo_wrprot_reason(mdcudfsr_mount*, uint32_t, int, vfs_context_t) {
  unreached("set_mntinfo_wrprot_reason");
}
int mdcudfsr_read_attribute(mdcudfsr_mount*, void*, uint32_t, int, int, vfs_context_t, int) {
  unreached("read_attribute");
}
void mdcudfsr_set_readonly_mount(mdcudfsr_mount*, uint32_t, int, vfs_context_t) { unreached("set_readonly_mount"); }
void mdcudfsr_report_error(mdcudfsr_mount*, int, vfs_context_t) { unreached("report_error"); }
int mdcudfsr_write_logical_blocks(mdcudfsr_mount*, uint16_t, uint32_t, const void*, uint32_t, vfs_context_t) {
  unreached("write_logical_blocks");
}
int mdcudfsr_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t, const void*, uint32_t) {
  unreached("write_cluster_buffer");
}
int mdcudfsr_zero_write_cluster_buffer(mdcudfsr_mount*, vfs_context_t, int, uint32_t, uint32_t) {
  unreached("zero_write_cluster_buffer");
}
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount*, const mdcudfsr_extent_list*, uint32_t, uint32_t*,
                                              int) {
  unreached("cache_check_metadata_aed_newlist");
}
int mdcudfsr_read_track_information(mdcudfsr_mount*, int, uint32_t*, uint32_t*, int32_t*, vfs_context_t, int) {
  unreached("read_track_information");
}
int mdcudfsr_read_track_information_re(mdcudfsr_mount*, int, uint32_t*, uint32_t*, int32_t*) {
  unreached("read_track_information_re");
}
int mdcudfsr_sync_drive_cache(mdcudfsr_mount*, vfs_context_t) { unreached("sync_drive_cache"); }
int mdcudfsr_verify_range(vnode_t, uint32_t, uint32_t, vfs_context_t, mdcudfsr_mount*) { unreached("verify_range"); }
