// The rewritable medium's defect list: rebuilding the drive's defect map and
// moving the next writable address past defective sectors.
#include "drive/device_control.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_mount_calls.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_neighbour_calls.h"
#include "vfs_log.h"

#include <mutex>

namespace {

// Only rewritable media keep a defect list; any other marks the mount
// information and is refused.
bool refused_medium(mdcudfsr_mount* mnt) {
  if (mdcudfsr_is_rewritable_medium(mnt->medium_type)) return false;
  mdcudfsr_set_mntinfo_state(mnt, 2, 0x80000200u, 0x00080000u);
  return true;
}

}  // namespace

int mdcudfsr_make_defect_map(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount) {
  if (refused_medium(mnt)) return 22;
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  int err = mdcudfsr_disc_change(mnt, 0x99, 1, ctx, on_mount);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  err = VNOP_IOCTL(mnt->devvp, PXOIOREBUILDDFLMAP, nullptr, 0, ctx);
  if (err) VFS_LOG(KEL_LOG_ERR, "ioctl:PXOIOREBUILDDFLMAP failed. err=%d\n", err);
  return err;
}

int mdcudfsr_find_defect_and_change_NWA(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t nwa, uint32_t num_blocks,
                                        uint32_t* changed) {
  if (refused_medium(mnt)) return 22;
  pxo_search_nwa_t rec{};
  rec.start = nwa;
  // At least 32 sectors, in whole units of 32 (no wrap near the top).
  const uint64_t rounded = num_blocks < 32 ? 32 : (uint64_t{num_blocks} + 31) / 32 * 32;
  if (rounded > UINT32_MAX) return 22;
  rec.count = static_cast<uint32_t>(rounded);
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOSEARCHNEXTNWA, reinterpret_cast<char*>(&rec), 0, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "ioctl:PXOIOSEARCHNEXTNWA error. err = %d\n", err);
    return err;
  }
  if (rec.replaced) {
    VFS_LOG(KEL_LOG_WARN, "Update NWA Old:0x%x->New:0x%x\n", mnt->next_writable_address, rec.new_nwa);
    mnt->next_writable_address = rec.new_nwa;
  }
  if (changed) *changed = rec.replaced;
  return 0;
}
