// The defect map and the defect-skipping next writable address of
// rewritable media, asked of the drive layer.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_defect.h"

#include "drive/device_control.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "udf/udf_mount.h"
#include "vfs_log.h"

#include <mutex>

namespace {

bool rewritable_type(uint32_t type) {
  switch (type) {
    case 0x53: case 0x57: case 0xC3: case 0xD3: case 0xE2: case 0xE4: case 0xE6: case 0xE8:
      return true;
    default:
      return false;
  }
}

// Marks the mount for a medium the defect routines do not serve.
bool refuse_write_once(mdcudfsr_mount* mnt) {
  if (rewritable_type(mnt->medium_type)) return false;
  mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_UNKNOWN_VOLUME, 0x80000u);
  return true;
}

// At least 32 sectors, rounded up to a multiple of 32.
uint32_t search_length(uint32_t length) {
  if (length <= 32) return 32;
  const uint64_t rounded = (static_cast<uint64_t>(length) + 31) & ~uint64_t{31};
  return rounded > 0xFFFFFFE0u ? 0xFFFFFFE0u : static_cast<uint32_t>(rounded);
}

// One past the last block the search may hand out: the end of the physical
// partition, or of the medium while no partition is known; 0 when neither is.
uint64_t writable_end(const mdcudfsr_mount* mnt) {
  const mdcudfsr_partition_entry& p = mnt->part[MDCUDFSR_PARTITION_PHYSICAL];
  if (p.length != 0 && mnt->logical_block_size != 0) return p.start_sector + p.length / mnt->logical_block_size;
  return mnt->num_sectors;
}

// Does a range of `blocks` blocks (at least one) from `address` leave the
// writable area?
bool past_the_end(const mdcudfsr_mount* mnt, uint64_t address, uint32_t blocks) {
  const uint64_t end = writable_end(mnt);
  if (address + (blocks ? blocks : 1) <= end) return false;
  VFS_LOG(KEL_LOG_ERR, "NWA 0x%llx for 0x%x blocks lies past the end 0x%llx\n",
          static_cast<unsigned long long>(address), blocks, static_cast<unsigned long long>(end));
  return true;
}

}  // namespace

int mdcudfsr_make_defect_map(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount) {
  if (mnt == nullptr) return KEL_EINVAL;
  if (refuse_write_once(mnt)) return KEL_EINVAL;
  std::lock_guard<std::mutex> slot(mnt->slot_mutex);
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
  if (mnt == nullptr) return KEL_EINVAL;
  if (refuse_write_once(mnt)) return KEL_EINVAL;
  if (past_the_end(mnt, nwa, num_blocks)) return KEL_EINVAL;
  pxo_search_nwa_t search{};
  search.start = nwa;
  search.count = search_length(num_blocks);
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOSEARCHNEXTNWA, reinterpret_cast<char*>(&search), 0, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "ioctl:PXOIOSEARCHNEXTNWA error. err = %d\n", err);
    return err;
  }
  // The defect map reaches further than the disc: a move past the end is
  // no address to write at.
  if (search.replaced && past_the_end(mnt, search.new_nwa, num_blocks)) return KEL_EINVAL;
  if (search.replaced) {
    VFS_LOG(KEL_LOG_WARN, "Update NWA Old:0x%x->New:0x%x\n", nwa, search.new_nwa);
    mnt->next_writable_address = search.new_nwa;
  }
  if (changed) *changed = search.replaced;
  return 0;
}
