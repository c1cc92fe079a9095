// Taking a file off the recovery-required list.
#include "drive/cm_data.h"
#include "kelcache/cache_node.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>

namespace {

// Index of the listed node whose unique id is `id`; -1 when none.
int listed_at(const mdcudfsr_mount* mnt, std::uint64_t id) {
  const std::uint32_t count = mnt->recovery_count < 14 ? mnt->recovery_count : 14;
  for (std::uint32_t k = 0; k < count; ++k)
    if (mnt->recovery_nodes[k] && mdcudfsr_node_unique_id(mnt->recovery_nodes[k]) == id) return static_cast<int>(k);
  return -1;
}

// Closes the gap at `at` in the mount's array and in the attribute list.
void drop_entry(mdcudfsr_mount* mnt, std::uint8_t* value, int at) {
  const int count = static_cast<int>(mnt->recovery_count);
  std::uint8_t* list = value + cm1500::kList;
  for (int k = at; k + 1 < count; ++k) {
    mnt->recovery_nodes[k] = mnt->recovery_nodes[k + 1];
    std::memmove(list + 4 * k, list + 4 * (k + 1), 4);
  }
  mnt->recovery_nodes[count - 1] = nullptr;
  std::memset(list + 4 * (count - 1), 0, 4);
  mnt->recovery_count = static_cast<std::uint32_t>(count - 1);
  value[cm1500::kListCount] = static_cast<std::uint8_t>(count - 1);
}

}  // namespace

int mdcudfsr_mdcfsctrl_clear_recovery_required_file(mdcudfsr_mount* mnt, const std::uint64_t* unique_id,
                                                    vfs_context_t ctx) {
  if (!mnt || !unique_id) {
    VN_LOGK(KEL_LOG_ERR, "%s\n", !mnt ? "mdcudfsrmp" : "target_unique_id");
    return KEL_EINVAL;
  }
  // The same lock as every other read-change-write of the list, so that
  // concurrent updates are not lost.
  std::lock_guard<std::mutex> lk(mnt->cm_mutex);
  std::uint8_t record[MDCUDFSR_CM_RECORD_SIZE];
  int err = mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 0, ctx, 0);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", err);
    return KEL_EIO;
  }
  const int at = listed_at(mnt, *unique_id);
  if (at < 0) {
    VN_LOG(KEL_LOG_INFO, "Not Fount TargetUiqueId[0x%llx]\n", static_cast<unsigned long long>(*unique_id));
    return KEL_EINVAL;
  }
  drop_entry(mnt, record + cm_attr::k1500Value, at);
  mnt->attr_update_mask |= 0x080;
  err = mdcudfsr_write_attribute(mnt, record, sizeof record, 1, ctx, 0);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "Failed to WRITE ATTRIBUTE for rollback data err =  %d. \n", 5);
    return KEL_EIO;
  }
  return 0;
}
