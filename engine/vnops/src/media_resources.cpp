// The consumable resources of the disc.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_media_resources.h"

#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "vnops_log.h"

namespace {

constexpr std::uint32_t kMinFreeBlocks = 0x40000;
constexpr std::uint32_t kMinMapEntries = 256;
constexpr std::uint32_t kMinUpdates = 100;
constexpr std::uint16_t kMinOpc = 8;

struct Resources {
  std::uint32_t free_blocks = 0;
  std::uint32_t map_entries = 0;
  std::uint32_t updates = 0;
  std::uint16_t opc = 0;
  bool short_of = false;
};

int read_free_blocks(mdcudfsr_mount* mnt, int on_mount, vfs_context_t ctx, bool ro_flag, Resources& r) {
  if (mnt->is_rewritable) return mdcudfsr_read_track_information_re(mnt, 1, nullptr, &r.free_blocks, nullptr);
  return mdcudfsr_ask_loaded(mnt, INFO_TRACK, ctx, on_mount, [&] {
    const int err = mdcudfsr_read_track_information(mnt, 1, nullptr, &r.free_blocks, nullptr, ctx, ro_flag ? 1 : 0);
    if (err) VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  });
}

// Map entries, updates and OPC areas of a write-once disc.
int read_write_once_resources(mdcudfsr_mount* mnt, int on_mount, vfs_context_t ctx, Resources& r) {
  int err = mdcudfsr_ask_loaded(mnt, INFO_DEFECT_RESOURCES, ctx, on_mount, [&] {
    return mdcudfsr_read_disc_information(mnt->devvp, nullptr, nullptr, &r.map_entries, &r.updates, ctx);
  });
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  if (r.map_entries <= kMinMapEntries || r.updates <= kMinUpdates) {
    VN_LOG(KEL_LOG_WARN, "Insufficent resource. pow map entry is %d and pow remain updates is %d \n",
           static_cast<int>(r.map_entries), static_cast<int>(r.updates));
    r.short_of = true;
  }
  err = mdcudfsr_ask_loaded(mnt, INFO_OPC, ctx, on_mount,
                            [&] { return mdcudfsr_get_opc_resource_count(mnt->devvp, &r.opc, ctx); });
  if (err) {
    if (!on_mount) {
      VN_LOG(KEL_LOG_WARN, "failed to get opc count with status %d \n", err);
      return err;
    }
    mnt->mntinfo.WriteProtectReasonFlags |= 0x80000u;
    VN_LOG(KEL_LOG_WARN, "Failed to get opc count with status %d, be Read Only\n", err);
    r.opc = 0;
  }
  if (r.opc <= kMinOpc) {
    VN_LOG(KEL_LOG_WARN, "Insufficent resource. opc count is %d\n", r.opc);
    r.short_of = true;
  }
  return 0;
}

}  // namespace

int mdcudfsr_check_media_resources(mdcudfsr_mount* mnt, int on_mount, vfs_context_t ctx, int32_t* sufficient) {
  if (!mnt) return KEL_EINVAL;
  Resources r;
  if (!(mnt->mntinfo.WriteProtectReasonFlags & WRPROT_FINALIZED)) {
    const int err = read_free_blocks(mnt, on_mount, ctx, sufficient != nullptr, r);
    if (err) {
      if (sufficient) *sufficient = 1;
      return err;
    }
    if (r.free_blocks <= kMinFreeBlocks) {
      VN_LOG(KEL_LOG_WARN, "Insufficent resource. remain sector size is %d\n", static_cast<int>(r.free_blocks));
      r.short_of = true;
    }
  }
  int err = 0;
  if (!mnt->is_rewritable) err = read_write_once_resources(mnt, on_mount, ctx, r);
  if (!err)
    VN_LOG(KEL_LOG_DEBG, "remain_sector_size=0x%08x pow_map_entry=0x%08x pow_remain_updates=0x%08x opc_count=0x%04x\n",
           r.free_blocks, r.map_entries, r.updates, r.opc);
  if (sufficient) {
    *sufficient = r.short_of ? 0 : 1;
  } else if (r.short_of && mnt->num_discs && mnt->loaded_slot >= mnt->num_discs - 1) {
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_WORN_OUT, 1, ctx);
    VN_LOG(KEL_LOG_WARN, "Insufficent resource. be Read Only Mount\n");
  }
  return err;
}
