// Track, disc and OPC information.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_track_info.h"

#include "drive/device_control.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>

namespace {

constexpr std::uint32_t kNoMountInfoReasons = 0x80000u;

struct TrackRecord {
  std::uint8_t b[60];
};

std::uint32_t u32_at(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Free blocks of the ADR media lose the part the drive keeps for itself.
std::uint32_t usable_free(std::uint32_t medium_type, std::uint32_t free_blocks) {
  const std::uint32_t cut = medium_type == 0xF1 ? 1536u : medium_type == 0xF2 ? 2560u : 0u;
  return free_blocks > cut ? free_blocks - cut : 0u;
}

// The physical partition's end sector.
std::uint32_t partition_end(const mdcudfsr_mount* mnt) {
  const auto& p = mnt->part[MDCUDFSR_PARTITION_PHYSICAL];
  const std::uint32_t bs = mnt->logical_block_size ? mnt->logical_block_size : 2048;
  return p.start_sector + static_cast<std::uint32_t>(p.length / bs);
}

int refuse_not_rewritable(mdcudfsr_mount* mnt) {
  mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_UNKNOWN_VOLUME, kNoMountInfoReasons);
  return KEL_EINVAL;
}

constexpr int kTrackAsks = 3;

// The track record asked of the drive. A failed request is asked again:
// a drive that lost its power fails the command the loss came at and
// reports the reset on the next one, and only then reads the track again.
int ask_track(mdcudfsr_mount* mnt, std::uint32_t number, TrackRecord* r, vfs_context_t ctx) {
  int err = 0;
  for (int ask = 0; ask < kTrackAsks; ++ask) {
    *r = TrackRecord{};
    std::memcpy(r->b, &number, 4);
    err = VNOP_IOCTL(mnt->devvp, PXOIOCREADTRACKINFO, reinterpret_cast<char*>(r->b), 0, ctx);
    if (!err) return 0;
    VN_LOG(KEL_LOG_ERR, "PXOIOCREADTRACKINFO failed/%d\n", err);
  }
  return err;
}

}  // namespace

bool mdcudfsr_is_rewritable_medium(uint32_t t) {
  switch (t) {
    case 0x53: case 0x57: case 0xC3: case 0xD3: case 0xE2: case 0xE4: case 0xE6: case 0xE8: return true;
    default: return false;
  }
}

int mdcudfsr_ask_loaded(mdcudfsr_mount* mnt, uint8_t selector, vfs_context_t ctx, int on_mount,
                        const std::function<int()>& ask) {
  if (mnt->is_rewritable) return ask();
  std::uint8_t sel = selector;
  if (VNOP_IOCTL(mnt->devvp, PXOIOCACHECHECK, reinterpret_cast<char*>(&sel), 0, ctx) == 0) return ask();
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  const int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, on_mount);
  if (err) {
    VN_LOG(KEL_LOG_ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  return ask();
}

int mdcudfsr_read_track_information(mdcudfsr_mount* mnt, int track, uint32_t* nwa, uint32_t* free_blocks,
                                    int32_t* size, vfs_context_t ctx, int ro_on_failure) {
  if (!mnt) return KEL_EINVAL;
  TrackRecord r{};
  const int err = ask_track(mnt, static_cast<std::uint32_t>(track), &r, ctx);
  bool damaged = false;
  if (!err) {
    const std::uint32_t addr = u32_at(r.b + 16);
    const std::uint32_t fr = usable_free(mnt->medium_type, u32_at(r.b + 20));
    const std::uint32_t sz = u32_at(r.b + 28);
    if (nwa) *nwa = addr;
    if (free_blocks) *free_blocks = fr;
    if (size) *size = static_cast<std::int32_t>(sz);
    if (track == 1) {
      if (!(mnt->mntinfo.WriteProtectReasonFlags & WRPROT_FINALIZED) && !(r.b[11] & 0x01)) {
        VN_LOG(KEL_LOG_WARN, "Next Writable Area of UDF TRACK is not valid.\n");
        mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_CACHE_FAILED, 1, ctx);
        mnt->mntinfo.MountStatus = MNTSTATUS_UNREADABLE;
      }
      if (r.b[9] & 0x20) {
        damaged = true;
        VN_LOG(KEL_LOG_WARN, "damage bit is set on track information of UDF TRACK.\n");
      }
    }
    VN_LOG(KEL_LOG_DEBG, "Track No.%d NWA=%d, RemainSects=%d, TrackSects=%d\n", track, static_cast<int>(addr),
           static_cast<int>(fr), static_cast<int>(sz));
  }
  if (ro_on_failure && (err || damaged)) {
    VN_LOG(KEL_LOG_WARN, "do read only mount\n");
    mdcudfsr_set_readonly_mount(mnt, MNTSTATUS_UNREADABLE, 0x100, ctx);
    mdcudfsr_report_error(mnt, 0, ctx);
    return KEL_EROFS;
  }
  return err;
}

int mdcudfsr_read_disc_information(vnode_t devvp, int32_t* disc_status, int32_t* tracks,
                                   uint32_t* remaining_map_entries, uint32_t* remaining_updates, vfs_context_t ctx) {
  std::uint8_t r[40];
  int err = 0;
  if (disc_status || tracks) {
    std::memset(r, 0, sizeof r);
    err = VNOP_IOCTL(devvp, PXOIOCREADDISCINFO, reinterpret_cast<char*>(r), 0, ctx);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "PXOIOCREADDISCINFO failed/%d\n", err);
      return err;
    }
    const int status = r[6] & 0x3;
    const int all = r[15] * 256 + r[10];
    if (disc_status) *disc_status = status;
    if (tracks) *tracks = all;
    VN_LOG(KEL_LOG_DEBG, "Disc Info MediaStatus=%d, Number of All Tracks=%d\n", status, all);
  }
  if (remaining_map_entries || remaining_updates) {
    std::memset(r, 0, sizeof r);
    const std::uint32_t selector = 2;
    std::memcpy(r, &selector, 4);
    err = VNOP_IOCTL(devvp, PXOIOCREADDISCINFO, reinterpret_cast<char*>(r), 0, ctx);
    if (err) {
      VN_LOG(KEL_LOG_ERR, "PXOIOCREADDISCINFO failed/%d\n", err);
      return err;
    }
    if (remaining_map_entries) *remaining_map_entries = u32_at(r + 12);
    if (remaining_updates) *remaining_updates = u32_at(r + 16);
  }
  return 0;
}

int mdcudfsr_read_format_capacity(mdcudfsr_mount* mnt, uint8_t* reply12, vfs_context_t ctx) {
  if (!mnt || !reply12) return KEL_EINVAL;
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOREADFORMATCAPACITY, reinterpret_cast<char*>(reply12), 0, ctx);
  if (err) {
    mnt->mntinfo.MountStatus = MNTSTATUS_DRIVE_ERROR;
    VN_LOG(KEL_LOG_ERR, "Read Format Capacity failed. err = %d\n", err);
  }
  return err;
}

int mdcudfsr_get_opc_resource_count(vnode_t devvp, uint16_t* count, vfs_context_t ctx) {
  std::uint16_t c = 0;
  const int err = VNOP_IOCTL(devvp, PXOIOCGETOPCRESOURCEDATA, reinterpret_cast<char*>(&c), 0, ctx);
  if (err)
    VN_LOG(KEL_LOG_ERR, "PXOIOCGETOPCRESOURCEDATA failed/%lu\n", static_cast<unsigned long>(err));
  else if (count)
    *count = c;
  return err;
}

int mdcudfsr_start_stop_unit(vnode_t devvp, uint8_t operation, vfs_context_t ctx) {
  const int err = VNOP_IOCTL(devvp, PXOIOCSTARTSTOPUNIT, reinterpret_cast<char*>(&operation), 0, ctx);
  if (err) VN_LOG(KEL_LOG_ERR, "PXOIOCSTARTSTOPUNIT failed/%lu\n", static_cast<unsigned long>(err));
  return err;
}

int mdcudfsr_close_track_session(vnode_t devvp) {
  // No data goes with the request; the drive layer still wants a parameter.
  std::uint32_t unused = 0;
  const int err = VNOP_IOCTL(devvp, PXOIOCLOSETRACKSESSION, reinterpret_cast<char*>(&unused), 0, nullptr);
  if (err) VN_LOG(KEL_LOG_ERR, "PXOIOCREADDISCINFO failed/%lu\n", static_cast<unsigned long>(err));
  return err;
}

int mdcudfsr_read_track_information_re(mdcudfsr_mount* mnt, int, uint32_t* nwa, uint32_t* free_blocks,
                                       int32_t* size) {
  if (!mnt) return KEL_EINVAL;
  if (!mdcudfsr_is_rewritable_medium(mnt->medium_type)) return refuse_not_rewritable(mnt);
  const std::uint32_t end = partition_end(mnt);
  const std::uint32_t at = mnt->next_writable_address;
  const std::uint32_t bs = mnt->logical_block_size ? mnt->logical_block_size : 2048;
  if (nwa) *nwa = at;
  if (free_blocks) *free_blocks = at < end ? end - at : 0;
  if (size) *size = static_cast<std::int32_t>(mnt->part[MDCUDFSR_PARTITION_PHYSICAL].length / bs);
  return 0;
}

int mdcudfsr_read_disc_information_re(mdcudfsr_mount* mnt, vnode_t, int32_t* disc_status, int32_t* tracks,
                                      int32_t* remaining_map_entries, int32_t* remaining_updates) {
  if (!mnt) return KEL_EINVAL;
  if (!mdcudfsr_is_rewritable_medium(mnt->medium_type)) return refuse_not_rewritable(mnt);
  // A reservation can carry the address past the end: nothing is left then.
  const std::uint32_t end = partition_end(mnt), at = mnt->next_writable_address;
  const auto left = static_cast<std::int32_t>(at < end ? end - at : 0);
  if (disc_status) *disc_status = 1;
  if (tracks) *tracks = 1;
  if (remaining_map_entries) *remaining_map_entries = left;
  if (remaining_updates) *remaining_updates = left >> 5;
  return 0;
}

int mdcudfsr_get_opc_resource_count_re(mdcudfsr_mount* mnt, vnode_t, uint16_t* count, vfs_context_t) {
  if (!mnt) return KEL_EINVAL;
  if (!mdcudfsr_is_rewritable_medium(mnt->medium_type)) return refuse_not_rewritable(mnt);
  if (count) *count = 128;
  return 0;
}

int mdcudfsr_get_adtype_from_zoneid(mdcudfsr_mount* mnt, uint32_t zone_id, int32_t* type) {
  if (!type || !mnt) {
    VN_LOG(KEL_LOG_ERR, "pointer is null");
    return KEL_EINVAL;
  }
  if (zone_id == 0xFFFFFFFFu) {
    *type = 3;
    return 0;
  }
  if (zone_id < mnt->num_discs) {
    *type = 1;
    return 0;
  }
  VN_LOG(KEL_LOG_ERR, "Illegal Zone ID (%d)\n", static_cast<int>(zone_id));
  return KEL_EINVAL;
}
