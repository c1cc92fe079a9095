// The cartridge controls: the finalized disc's status byte in the cartridge
// memory, and the drive's performance report of a block.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_fsctl_volume.h"

#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "fsctl_common.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_names.h"

using namespace kelvnops;

int mdcudfsr_mdcfsctrl_get_cartridge_svg_status(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t) {
  if (!mnt || !rec) return KEL_EINVAL;
  *rec = mnt->svg_status ? 1 : 0;
  return 0;
}

namespace {

// The status byte of a finalized disc goes to the cartridge memory, written
// with the drive's forced-command switch on.
int write_svg_status_to_cm(mdcudfsr_mount* mnt, std::uint8_t value, vfs_context_t ctx) {
  pxo_attribute_data_t cm{};
  int err = mdcudfsr_read_attribute(mnt, &cm, sizeof cm, 1, 1, ctx, 0);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "Read Attribute is failed err:%d\n", err);
    return KEL_EIO;
  }
  reinterpret_cast<std::uint8_t*>(&cm)[cm_attr::k1500Value + MDCUDFSR_CM_SVG_STATUS_AT] = value;
  mnt->attr_update_mask |= 0x080;
  set_cartridge_svg_flg(true);
  err = mdcudfsr_write_attribute(mnt, &cm, sizeof cm, 1, ctx, 0);
  set_cartridge_svg_flg(false);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "Failed to WRITE ATTRIBUTE err =  %d. \n", err);
    return KEL_EIO;
  }
  return 0;
}

}  // namespace

int mdcudfsr_mdcfsctrl_set_cartridge_svg_status(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx) {
  if (!mnt || !rec) return KEL_EINVAL;
  mnt->svg_status = *rec ? 1 : 0;
  const std::uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags;
  if (reasons == MNTINFO_UNSET || !(reasons & WRPROT_FINALIZED) || mdcudfsr_is_rewritable_medium(mnt->medium_type))
    return 0;
  return write_svg_status_to_cm(mnt, mnt->svg_status, ctx);
}

int mdcudfsr_mdcfsctrl_get_performance(mdcudfsr_mount* mnt, std::uint32_t* rec, vfs_context_t ctx) {
  if (!mnt) return refuse("mdcudfsrmp");
  if (!rec) return refuse("defect_position");
  std::uint32_t sector = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, *rec, nullptr);
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOCGETPERFORMANCE, reinterpret_cast<char*>(&sector), 0, ctx);
  if (err) {
    VN_LOGK(KEL_LOG_ERR, "err=%d\n", err);
    return err;
  }
  const std::uint32_t start = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  *rec = (sector == 0xFFFFFFFFu || sector < start) ? 0xFFFFFFFFu : sector - start;
  return 0;
}
