// New track creation and track switching.
#include "kelhost/kern_errno.h"
#include "kelvnops/mdcudfsr_new_track.h"

#include "drive/device_control.h"
#include "drive/scsi_service.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvfs/mdcudfsr_sync.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_process.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "new_track_steps.h"
#include "platform/sync.h"
#include "udf/udf_lvid.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "vnops_log.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace new_track {

const char* start_line(Kind k) {
  return k == Kind::commit ? "Start Commit New Track\n" : "Start Create New Track\n";
}

int release(Run& r, int status) {
  if (r.taken) __atomic_add_fetch(&r.mnt->nfiles, r.taken, __ATOMIC_SEQ_CST);
  r.taken = 0;
  if (r.locked) mdcudfsr_cache_unlock_all_nodes(r.mnt);
  r.locked = false;
  return status;
}

int read_only(Run& r, int status, std::uint32_t mount_status, std::uint32_t reason) {
  static const char* const kLines[] = {"CREATE NEW TRACK failed. set readonly. status = %d \n",
                                       "CREATE NEW TRACK failed. set readonly. status = %d \n",
                                       "WRITE NEXT TRACK failed. set readonly. status = %d \n",
                                       "MOUNT NEXT TRACK failed. set readonly. status = %d \n"};
  VN_LOG(KEL_LOG_WARN, kLines[static_cast<int>(r.kind)], status);
  mdcudfsr_set_readonly_mount(r.mnt, mount_status, static_cast<int>(reason), r.ctx);
  mdcudfsr_report_error(r.mnt, 0, r.ctx);
  return release(r, status);
}

int fail(Run& r, int status) { return read_only(r, status, MNTSTATUS_DRIVE_ERROR, WRPROT_DRIVE_ERROR); }

bool is_read_only(const mdcudfsr_mount* mnt) { return (vfs_flags(mnt->mp) & MNT_RDONLY) != 0; }

// Raw access, the slot limit, a read-only volume.
int first_checks(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (mnt->mntinfo.AccessMode == 2) {
    VN_LOG(KEL_LOG_ERR, "err AccessMode is RAW \n");
    return KEL_EINVAL;
  }
  if (mnt->current_disc + 1 >= mnt->num_discs) {  // also a cartridge of no slots
    VN_LOG(KEL_LOG_ERR, "LastWrittenSlot is Over slot:[%d] \n", static_cast<int>(mnt->current_disc));
    return KEL_EINVAL;
  }
  if (!is_read_only(mnt)) return 0;
  static const char* const kLines[] = {"CREATE_NEW_TRACK is called but media is read only.\n",
                                       "CREATE_NEW_TRACK is called but media is read only.\n",
                                       "WRITE_NEXT_TRACK failed. The media is read only.\n",
                                       "MOUNT_NEXT_TRACK failed. The media is read only.\n"};
  VN_LOG(KEL_LOG_WARN, "%s", kLines[static_cast<int>(r.kind)]);
  return KEL_EROFS;
}

// The file-system cache file's VUVI block is cleared.
int clear_vuvi(Run& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (mnt->fsmanage_handle == -1) return 0;
  std::vector<std::uint8_t> zeros(0x10000, 0);
  std::uint32_t written = 0, cache_err = 0;
  const int err = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, 0, 0x10000, zeros.data(), &written,
                                                &cache_err);
  if (!err && !cache_err) return 0;
  VN_LOG(KEL_LOG_ERR, "mdcudfsr_metacache_file_write(VUVI) is failed. err = %d cache_err = %d\n", err,
         static_cast<int>(cache_err));
  return read_only(r, 22, MNTSTATUS_DRIVER_ERROR, WRPROT_READONLY);
}

// The partial (full 0) or full flush of the track controls.
int track_flush(Run& r, int full, int* skipped) {
  const int on_mount = r.kind == Kind::mount_next ? 1 : 0;
  const int clear = r.kind == Kind::write_next ? 1 : 0;
  *skipped = 0;
  if (r.mnt->is_rewritable)
    return mdcudfsr_flush_metadata_and_descriptor_ex_re(r.mnt, 1, full, r.ctx, 1, on_mount, clear, skipped);
  return mdcudfsr_flush_metadata_and_descriptor_ex(r.mnt, 1, full, r.ctx, 1, on_mount, clear, skipped);
}

// The descriptor sequences with the soft write-protect flag, ten attempts;
// the first success closes the session.
void write_protected_vds(Run& r) {
  for (int attempt = 0; attempt <= 9; ++attempt) {
    std::uint32_t skipped = 0;
    const int err = r.mnt->is_rewritable ? mdcudfsr_flush_vds_re(r.mnt, &skipped, r.ctx, 1)
                                         : mdcudfsr_flush_vds(r.mnt, &skipped, r.ctx, 1);
    if (!err) {
      mdcudfsr_update_session(r.mnt, r.ctx, MDCUDFSR_SESSION_CLOSE);
      return;
    }
    VN_LOG(KEL_LOG_WARN, "failed to write vds with status %d. \n", err);
  }
}

}  // namespace new_track

namespace {

#pragma pack(push, 1)
struct DflRequest {
  std::uint64_t reply;
  std::uint32_t side;
  std::uint32_t unused;
  std::uint32_t length;
  std::uint32_t one;
};
#pragma pack(pop)
static_assert(sizeof(DflRequest) == 24, "defect-list summary request is 24 bytes");

std::uint32_t count_at(const std::uint8_t* reply, int at) {
  std::uint32_t v;
  std::memcpy(&v, reply + at, 4);
  return v;
}

// One side's summary into `reply` (132 bytes); 0 or the request's error.
int dfl_summary(mdcudfsr_mount* mnt, vfs_context_t ctx, std::uint32_t side, std::uint8_t* reply) {
  std::memset(reply, 0, 132);
  reply[0] = static_cast<std::uint8_t>(mnt->medium_type);
  DflRequest rq{reinterpret_cast<std::uintptr_t>(reply), side, 0, 132, 1};
  const int err = VNOP_IOCTL(mnt->devvp, PXOIOCGETDFL, reinterpret_cast<char*>(&rq), 0, ctx);
  if (err) VN_LOG(KEL_LOG_ERR, "err=%d\n", err);
  return err;
}

const char* write_once_type(std::uint32_t medium) {
  return medium == 0xE1 ? "SL-R" : medium == 0xE3 ? "DL-R" : "QL-R";
}
const char* rewritable_type(std::uint32_t medium) {
  return medium == 0xE6 ? "TL-RE" : medium == 0xE4 ? "DL-RE" : "SL-RE";
}

}  // namespace

void mdcudfsr_print_defect_summary(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  char sn[33] = {};
  if (VNOP_IOCTL(mnt->devvp, PXOIOGETMEDIUMSERIALNUM, sn, 0, ctx) == 0 && sn[0])
    for (int i = 31; i >= 0 && (sn[i] == ' ' || sn[i] == 0); --i) sn[i] = 0;
  const int slot = static_cast<int>(mnt->loaded_slot);
  std::uint8_t a[132], b[132];
  if (dfl_summary(mnt, ctx, 0, a)) return;
  const std::uint32_t t = mnt->medium_type;
  if (mnt->is_rewritable) {
    VN_LOG(KEL_LOG_WARN, "DFL Summary: MediumSN=%s, SlotNo=%d, Type=%s, RAD=%d, NRD=%d, SPR=%d, PBA=%d\n", sn, slot,
           rewritable_type(t), count_at(a, 20), count_at(a, 24), count_at(a, 28), count_at(a, 32));
  } else if (t == 0xF1 || t == 0xF2) {
    if (dfl_summary(mnt, ctx, 0x80000000u, b)) return;
    VN_LOG(KEL_LOG_WARN,
           "DFL Summary: MediumSN=%s, SlotNo=%d, Type=%s, Side-A: Def/Rep=%d, Ext=%d / Side-B: Def/Rep=%d, Ext=%d", sn,
           slot, t == 0xF2 ? "AD2_TL-R" : "AD_TL-R", count_at(a, 20), count_at(a, 24), count_at(b, 20),
           count_at(b, 24));
  } else {
    VN_LOG(KEL_LOG_WARN, "DFL Summary: MediumSN=%s, SlotNo=%d, Type=%s, RAD/CRD=%d, NRD=%d\n", sn, slot,
           write_once_type(t), count_at(a, 20), count_at(a, 24));
  }
}
