// New track: the next disc loaded, formatted and made the volume's new track.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_new_track.h"

#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/scsi_service.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "new_track_steps.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>

namespace new_track {
namespace {

constexpr std::uint32_t kFirstNwa = 0x1100;
constexpr std::uint8_t kPolicyFull = 2;

int load_next(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  const std::uint32_t from = mnt->current_disc, to = (from + 1) & 0xFF;
  const int err = mdcudfsr_disc_change(mnt, to, 0, r.ctx, r.kind == Kind::mount_next ? 1 : 0);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  static const char* const kLines[] = {"Disc Change for CREATE_NEW_TRACK Slot(%d)=>(%d)\n",
                                       "Disc Change for CREATE_NEW_TRACK Slot(%d)=>(%d)\n",
                                       "Disc Change for WRITE_NEXT_TRACK Slot(%d)=>(%d)\n",
                                       "Disc Change for MOUNT_NEXT_TRACK Slot(%d)=>(%d)\n"};
  VN_LOG(r.kind == Kind::write_next ? KEL_LOG_NOTI : KEL_LOG_WARN, kLines[static_cast<int>(r.kind)],
         static_cast<int>(from), static_cast<int>(to));
  mnt->current_disc += 1;
  r.changed = true;
  return 0;
}

// The format that was found; the create forms put the slot back.
int not_formattable(Run& r, int err, int type, const char* line) {
  r.mnt->mntinfo.MediumType = static_cast<std::uint8_t>(r.mnt->medium_type);
  r.mnt->mntinfo.VolumeStatus = 0;
  if (line)
    VN_LOG(KEL_LOG_ERR, "%s", line);
  else
    VN_LOG(KEL_LOG_ERR, "format complete. Descriptor Type is %d err:%d\n", type, err);
  if (r.kind == Kind::create || r.kind == Kind::commit) r.mnt->current_disc -= 1;
  return KEL_EINVAL;
}

// The open-disc flag: 0 with it, or 22 (the caller takes the read-only outcome).
int open_disc_flag(Run& r, std::uint32_t* open) {
  mdcudfsr_mount* mnt = r.mnt;
  VNOP_IOCTL(mnt->devvp, PXOIOCACHECLEAR, nullptr, 0, r.ctx);
  std::uint8_t cap[12] = {};
  const int err = mdcudfsr_read_format_capacity(mnt, cap, r.ctx);
  const int type = cap[8] & 3;
  if (err || type == 0 || type == 3) return not_formattable(r, err, type, nullptr);
  *open = 0;
  if (type == 1) return 0;
  int status = 0;
  std::uint32_t formatted = 0;
  const int e = mnt->is_rewritable
                    ? VNOP_IOCTL(mnt->devvp, PXOIOISFORMATTED, reinterpret_cast<char*>(&formatted), 0, r.ctx)
                    : mdcudfsr_read_disc_information(mnt->devvp, &status, nullptr, nullptr, nullptr, r.ctx);
  if (e || formatted || status == 2) return not_formattable(r, e, type, "part2 formatted.\n");
  *open = 1;
  return 0;
}

int auto_format(Run& r, std::uint32_t open, std::uint32_t repeat) {
  mdcudfsr_mount* mnt = r.mnt;
  pxo_auto_format_request_t rq{};
  std::memcpy(&rq.request_time, mnt->vds.pvd.volset_id + 1, 8);
  rq.request_serial = mnt->avdp.tag.serial_num;
  rq.first_flag = static_cast<std::uint8_t>(open);
  rq.attribute_data = reinterpret_cast<std::uintptr_t>(mnt->attr_record + MDCUDFSR_CM_CACHE_OFFSET);
  rq.re_format = repeat;
  rq.volume_type = static_cast<std::uint8_t>(mnt->mntinfo.VolumeTypeAndInformationVersion >> 4);
  rq.drive_verify = mnt->verify_mode;
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOAUTOFORMATREQUEST, reinterpret_cast<char*>(&rq), 0, r.ctx);
  if (err) VN_LOG(KEL_LOG_ERR, "Auto format failed. err = %d\n", err);
  return err;
}

void send_slot_info(Run& r) {
  std::uint32_t info[4] = {r.mnt->loaded_slot, r.mnt->current_disc, 0, 0};
  VNOP_IOCTL(r.mnt->devvp, PXOIOCSETSLOTINFO, reinterpret_cast<char*>(info), 0, r.ctx);
}

// The next disc loaded and formatted under the slot lock.
int load_and_format(Run& r) {
  std::unique_lock<std::mutex> lk(r.mnt->slot_mutex);
  if (int err = load_next(r)) return release(r, err);
  if ((r.kind == Kind::create || r.kind == Kind::commit || r.kind == Kind::write_next) && r.mnt->system_guard)
    return release(r, KEL_EINVAL);
  std::uint32_t open = 0;
  if (open_disc_flag(r, &open) != 0) {
    lk.unlock();
    return fail(r, KEL_EINVAL);
  }
  if (int err = auto_format(r, open, 0)) {
    lk.unlock();
    return fail(r, err);
  }
  lk.unlock();
  send_slot_info(r);
  return 0;
}

int new_track_rewritable(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  std::memset(&mnt->vds.pd.phd.unalloc_space_bitmap, 0, sizeof mnt->vds.pd.phd.unalloc_space_bitmap);
  mnt->vds.pmap.type2_metadata.bitmap_file_loc = 0xFFFFFFFFu;
  // The metadata file grows at its own address, which belonged to the old
  // disc: on the new one both start at its first writable block.
  mnt->next_writable_address = kFirstNwa;
  mnt->metadata_nwa = kFirstNwa;
  mnt->flush_policy = kPolicyFull;
  if (mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mnt, 1, r.ctx, 0, 0) == 0) return 0;
  int formatted = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    formatted = auto_format(r, 0, 1);
  }
  if (formatted) return fail(r, formatted);
  const int err = mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mnt, 1, r.ctx, 0, 1);
  if (!err) return 0;
  VN_LOG(KEL_LOG_ERR, "mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack Failed. err = %d\n", err);
  return fail(r, err);
}

int first_track_nwa(Run& r, std::uint32_t* nwa) {
  std::uint8_t rec[60] = {};
  const std::uint32_t track = 1;
  std::memcpy(rec, &track, 4);
  const int err = VNOP_IOCTL(r.mnt->devvp, PXOIOCREADTRACKINFO, reinterpret_cast<char*>(rec), 0, r.ctx);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "Read TrackInfo Failed. err = %d\n", err);
    return err;
  }
  std::memcpy(nwa, rec + 16, 4);
  return 0;
}

// The load back to the last written slot and the reserve request, tried twice.
int reserve_track(Run& r) {
  int err = 0;
  bool reserved = false;
  {
    std::lock_guard<std::mutex> lk(r.mnt->slot_mutex);
    err = mdcudfsr_disc_change(r.mnt, SLOT_LAST_WRITTEN, 0, r.ctx, 1);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
      return release(r, err);
    }
    for (int attempt = 0; attempt < 2 && !reserved; ++attempt) {
      pxo_auto_format_last_info_t rq{r.mnt->avdp.tag.serial_num, 0, r.mnt->verify_mode};
      err = VNOP_IOCTL(r.mnt->devvp, PXOIORESERVETRACKWRITELASTAVDP, reinterpret_cast<char*>(&rq), 0, r.ctx);
      reserved = err == 0;
    }
  }
  if (reserved) return 0;
  VN_LOG(KEL_LOG_ERR, "ReserveTrack and AVDP2 flush failed. err = %d\n", err);
  return fail(r, err);
}

int new_track_write_once(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  std::uint32_t nwa = 0;
  if (int err = first_track_nwa(r, &nwa)) return fail(r, err);
  if (nwa < kFirstNwa) {
    VN_LOG(KEL_LOG_ERR, "NWA address error %d.\n", static_cast<int>(nwa));
    return fail(r, KEL_EINVAL);
  }
  mnt->flush_policy = kPolicyFull;
  int err = mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mnt, 1, 1, r.ctx, 0);
  if (err) err = mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mnt, 1, 1, r.ctx, 1);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "mdcudfsr_flush_metadata_and_descriptor_for_newtrack Failed. err = %d\n", err);
    return fail(r, err);
  }
  return reserve_track(r);
}

}  // namespace

int switch_disc(Run& r) {
  if ((r.kind == Kind::create || r.kind == Kind::commit) && r.mnt->loaded_slot != 255)
    mdcudfsr_print_defect_summary(r.mnt, r.ctx);
  if (int err = load_and_format(r)) return err;
  return r.mnt->is_rewritable ? new_track_rewritable(r) : new_track_write_once(r);
}

}  // namespace new_track
