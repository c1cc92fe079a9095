// Recording stand-ins for the routines of other folders that the UDF code
// reaches and that are not built yet (defect finder). Each records its call; none is reached by the paths these suites test, which
// the recorded list lets a test confirm.
#include "vfs_support.h"

#include "kelvfs/mdcudfsr_sync.h"
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

int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount*, vfs_context_t, uint32_t*, int) {
  return record("get_defect_report_counter");
}
uint32_t mdcudfsr_perm_unix2udf(uint32_t) {
  record("perm_unix2udf");
  return 0;
}
int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount*, const mdcudfsr_extent_list*, uint32_t, uint32_t*,
                                              int) {
  return record("cache_check_metadata_aed_newlist");
}

// The metadata flushes and the VFAM buffer flush that sync reaches: each
// records its arguments and the flush policy byte it saw.
namespace vfs_test {
std::vector<std::string> g_flush_calls;
int g_flush_result = 0;
}

namespace {
void record_flush(mdcudfsr_mount* mnt, const std::string& call) {
  vfs_test::g_flush_calls.push_back(call + " policy=" + std::to_string(mnt->flush_policy));
}
}  // namespace

int mdcudfsr_flush_metadata_and_descriptor(mdcudfsr_mount* mnt, int a, int b, int c, vfs_context_t ctx, int d) {
  record_flush(mnt, "flush " + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
                        std::to_string(ctx != nullptr) + "," + std::to_string(d));
  return vfs_test::g_flush_result;
}
int mdcudfsr_flush_metadata_and_descriptor_re(mdcudfsr_mount* mnt, int a, int b, int c, vfs_context_t ctx, int d,
                                              int e) {
  record_flush(mnt, "flush_re " + std::to_string(a) + "," + std::to_string(b) + "," + std::to_string(c) + "," +
                        std::to_string(ctx != nullptr) + "," + std::to_string(d) + "," + std::to_string(e));
  return vfs_test::g_flush_result;
}
int mdcudfsr_vfam_flush_buffers(mdcudfsr_mount* mnt, int flags, vfs_context_t) {
  record_flush(mnt, "vfam " + std::to_string(flags));
  return 6;  // as the unopened channel answers
}
