// Recording stand-ins for two routines of the volume and vnode layers that
// the flush passes call and that are not built yet: the defect search that
// moves the metadata write address, and the defect counter with its bitmap
// refresh. Each records its call in rec().calls.
#include "support.h"
#include "standins_i26.h"

#include "udf/udf_neighbour_calls.h"

#include <string>

namespace cache_test {
DefectStandIns& defect_standins() {
  static DefectStandIns s;
  return s;
}
}  // namespace cache_test

using cache_test::defect_standins;
using cache_test::rec;

int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount* mnt, vfs_context_t, uint32_t nwa, uint32_t num_blocks,
                                        uint32_t* changed) {
  rec().calls.push_back("find_defect nwa=" + std::to_string(nwa) + " blocks=" + std::to_string(num_blocks));
  *changed = 0;
  auto& s = defect_standins();
  if (s.find_result) return s.find_result;
  if (s.move_by) {
    mnt->next_writable_address = nwa + s.move_by;
    *changed = 1;
  }
  return 0;
}

int mdcudfsr_mdcfsctrl_get_defect_report_counter(mdcudfsr_mount*, vfs_context_t, uint32_t* counter, int update) {
  rec().calls.push_back("defect_report_counter update=" + std::to_string(update));
  if (counter) *counter = 0;
  return 0;
}
