// Metadata and descriptor flush of rewritable media: every metadata block is
// written at the next writable address past known defects, synchronised and
// verified, and retried 32 blocks further on after a failure.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_flush.h"

#include "drive/cm_data.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "kelvfs/mdcudfsr_session.h"
#include "kelvnops/mdcudfsr_defect_counter.h"
#include "kelvnops/mdcudfsr_media_resources.h"
#include "kelvnops/mdcudfsr_track_info.h"
#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "vfs_flush_internal.h"
#include "vfs_log.h"

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct RunRe : vfs_flush::Frame {
  // The option of the node-cache passes and the bitmap writers: 0 in the
  // full flush, the inverted keep_all in the variant.
  int option() const { return ex && !keep_all ? 1 : 0; }
  int flags = 0;
  int on_mount = 0;
  bool ex = false;
  int keep_all = 0;
  int skipped = 0;  // bitmap or its entry or the space bitmap not written
  int ro_on_failure = 0;  // new track: exhausted steps switch to read-only
  bool ro = false;
};

// The rewritable-media check of the start of each routine.
bool refuse_medium(mdcudfsr_mount* mnt) {
  if (mdcudfsr_is_rewritable_medium(mnt->medium_type)) return false;
  mdcudfsr_set_mntinfo_state(mnt, 2, 0x80000200u, 0x00080000u);
  return true;
}

// Moves the write position past known defects: 0, or the search's error
// (22, or the drive's answer when it has no defect map).
int find_position(RunRe& r, const char* moved_text) {
  uint32_t changed = 0;
  const int err =
      mdcudfsr_find_defect_and_change_NWA(r.mnt, r.ctx, r.mnt->next_writable_address, 32, &changed);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Failed to find defect or change NWA. \n");
    return err;
  }
  if (changed) VFS_LOG(KEL_LOG_WARN, moved_text, r.mnt->next_writable_address);
  return 0;
}

// After a failed durable write: the defect recorded, the address moved on
// by 32. False when no sectors remain.
bool step_past_defect(RunRe& r) {
  uint32_t counter = 0;
  mdcudfsr_mdcfsctrl_get_defect_report_counter(r.mnt, r.ctx, &counter, 1);
  r.mnt->next_writable_address += 32;
  return vfs_flush::remaining_sectors(r.mnt, r.ctx, r.on_mount) != 0;
}

// The durable write of a block staged by `stage` at the write position:
// written, synchronised, verified, and retried 32 blocks on after a defect.
// 0, or the last error (22 of the defect finder ends at once).
int durable_write(RunRe& r, const char* moved_text, const char* retry_text,
                  const std::function<int(uint32_t sector)>& stage) {
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    err = find_position(r, moved_text);
    if (err) return err;
    const uint32_t sector = r.mnt->next_writable_address;
    err = stage(sector);
    if (err == KEL_EINVAL || err == KEL_ENOMEM) return err;
    if (!err) err = mdcudfsr_flush_cluster_buffer(r.mnt, sector, 1, r.ctx);
    if (err) VFS_LOG(KEL_LOG_WARN, "failed to flush metadata FE with status %d. retry\n", err);
    if (!err) err = vfs_flush::sync_and_verify(r.mnt, r.ctx, r.on_mount, sector);
    if (!err) {
      r.mnt->next_writable_address = sector + 32;
      return 0;
    }
    if (!step_past_defect(r)) return err;
    VFS_LOG(KEL_LOG_WARN, retry_text, attempt);
  }
  return err;
}

// The extent lists rebuilt; a change on the first attempt writes the
// whole node cache again 32 blocks further on.
int rebuild_lists(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  uint32_t changed = 0;
  if (mnt->fsd_relocation) {
    mdcudfsr_rebuild_metadata_extent_list_for_fsd(mnt, &changed);
    mnt->fsd_relocation = 0;
  }
  if (!changed) {
    const int err = mdcudfsr_rebuild_metadata_extent_list_ex(mnt, mnt->udf_root, r.option(), &changed);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "failed rebuild metadata efe data.\n");
      return err;
    }
    if (!changed) mdcudfsr_cache_check_metadata_aed(mnt, 0, &changed, 1);
  }
  if (!changed) return 0;
  mnt->next_writable_address += 32;
  mnt->flushAllMetadata = 1;
  const int err = vfs_flush::node_cache_pass(mnt, r.ctx, nullptr, r.option(), 0, true, r.on_mount);
  if (err) VFS_LOG(KEL_LOG_ERR, "failed metadata extent flush. do read only mount.\n");
  return err;
}

// The main and mirror entries at the write position and + 16.
int record_entries(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  int err = find_position(r, "Hit defect and change NWA for Metadata EFE New NWA is 0x%x\n");
  if (err) return err;
  mdcudfsr_read_track_information_re(mnt, 1, nullptr, nullptr, nullptr);
  if (mnt->flush_policy == 1) {
    err = rebuild_lists(r);
    if (err) return err;
  }
  const uint32_t saved[2] = {mnt->metadata_file_loc, mnt->metadata_mirror_loc};
  uint32_t prev[2] = {saved[0], saved[1]};
  if (mnt->mount_ext_flags & 0x20) {
    prev[0] = prev[1] = MDCUDFSR_INVALID_LBN;
    mnt->part[0].efe.l_ea = mnt->part[1].efe.l_ea = 0;
  }
  err = durable_write(r, "Hit defect and change NWA for Metadata EFE New NWA is 0x%x\n",
                      r.ex ? "Metadata EFE flush failed. retry:%d\n" : "metadata flush failed. retry:%d\n",
                      [&](uint32_t sector) {
                        uint32_t loc[2] = {};
                        int e = vfs_flush::place_entries(mnt, sector, &loc[0], &loc[1]);
                        if (e) return e;
                        mnt->metadata_file_loc = loc[0];
                        mnt->metadata_mirror_loc = loc[1];
                        int which = 0;
                        e = vfs_flush::stage_entries(mnt, r.ctx, prev, &which);
                        if (e)
                          VFS_LOG(KEL_LOG_ERR,
                                  which ? "failed metadata mirror efe for cluster buffer data. err=%d\n"
                                        : "failed metadata main efe for cluster buffer data. err=%d\n",
                                  e);
                        return e;
                      });
  if (err) {
    VFS_LOG(KEL_LOG_ERR, r.ex ? "failed metadata main/mirror efe flush. \n"
                              : "failed metadata main/mirror efe flush. do read only mount.\n");
    return err;
  }
  vfs_flush::entries_recorded(mnt);
  return 0;
}

// The metadata bitmap, its entry and the unallocated-space bitmap.
int write_bitmaps(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  const int skip4 = r.option();
  uint32_t desc_len = 0, desc_first = 0;
  int err = vfs_flush::attempts(
      [&] { return mdcudfsr_update_metadata_bitmap(mnt, &desc_len, &desc_first, r.ctx, nullptr, skip4); },
      "failed to write metadata bitmap with status %d. \n");
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "failed metadata bitmap flush err=%d\n", err);
    return err;
  }
  extended_file_entry efe{};
  mdcudfsr_init_extended_file_entry(mnt, 511, &efe, 0);
  const uint32_t start = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  err = durable_write(r, "Hit defect and change NWA for Metadata Bitmap EFE New NWA is 0x%x\n",
                      "metadata bitmap efe flush failed. retry:%d\n", [&](uint32_t sector) {
                        if (sector < start) return KEL_EINVAL;
                        const int e = mdcudfsr_flush_metadata_EFE(mnt, sector - start, 0xFFFF, &efe, nullptr,
                                                                  short_ad{desc_len, desc_first}, r.ctx);
                        if (e) VFS_LOG(KEL_LOG_WARN, "failed to write metadata bitmap efe with status %d. \n", e);
                        else mnt->vds.pmap.type2_metadata.bitmap_file_loc = sector - start;
                        return e;
                      });
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "failed metadata bitmap efe flush err=%d\n", err);
    return err;
  }
  mnt->metadata_bitmap_efe = efe;
  const short_ad mbmp{desc_len, desc_first};
  err = vfs_flush::attempts([&] { return mdcudfsr_update_usb(mnt, mbmp, r.ctx, nullptr, skip4); },
                            "failed USB flush err=%d\n");
  return err;
}

int write_descriptors(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (!mdcudfsr_counters_below_limit(mnt)) return mdcudfsr_link_vds(mnt, r.ctx);
  uint32_t out = 0;
  return vfs_flush::attempts([&] { return mdcudfsr_flush_vds_re(mnt, &out, r.ctx, 0); },
                             "failed to write vds with status %d. \n");
}

// The nested flush after a move to the next track.
int flush_again(RunRe& r) {
  const uint8_t policy = r.mnt->flush_policy;
  r.mnt->flush_policy = 1;
  const int err = mdcudfsr_flush_metadata_and_descriptor_re(r.mnt, 3, 1, 0, r.ctx, 0, r.on_mount);
  r.mnt->flush_policy = policy;
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "set lvid integrity type failed, closing (Status:%d)\n", err);
    return KEL_EROFS;
  }
  return 0;
}

// Resources, session close, cartridge memory and cache-file copy; 0, or an
// error (read-only switch due).
int close_and_refresh(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  int sufficient = 1;
  int err = mdcudfsr_check_media_resources(mnt, r.on_mount, r.ctx, &sufficient);
  if (err) return err;
  if (!sufficient && !r.ex && vfs_flush::may_move_track(mnt)) {
    err = vfs_flush::move_track(mnt, r.ctx, false);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "mdcudfsr_mdcfsctrl_mount_next_track is failed err=%d\n", err);
      return err;
    }
    return flush_again(r);
  }
  if (!sufficient && mnt->current_disc + 1 >= mnt->num_discs) {
    VFS_LOG(KEL_LOG_WARN, "LastWrittenSlot is Over slot:[%d] \n", static_cast<int>(mnt->current_disc));
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_WORN_OUT, 1, r.ctx);
    mdcudfsr_send_mntinfo(mnt, r.ctx);
  }
  err = mdcudfsr_update_session(mnt, r.ctx, MDCUDFSR_SESSION_CLOSE);
  if (err) {
    VFS_LOG(KEL_LOG_WARN, "failed to write lvid with status %d. \n", err);
    return err;
  }
  mdcudfsr_check_media_resources(mnt, r.on_mount, r.ctx, nullptr);
  vfs_flush::log_elapsed(r);
  VNOP_FSYNC(mnt->devvp, r.flags & MDCUDFSR_FLUSHF_WAIT, r.ctx);
  int write_err = 0;
  err = vfs_flush::refresh_attributes(mnt, r.ctx, r.on_mount, &write_err);
  if (err) return err;
  if (mnt->fsmanage_handle >= 0) mdcudfsr_flush_descriptor_to_fscache_file_re(mnt, r.ctx);
  return 0;
}

// Everything after the node locks.
int body(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  if (!vfs_flush::open_flush(mnt, r.ctx)) return 0;
  int err = 0;
  int sufficient = 1;
  err = mdcudfsr_check_media_resources(mnt, r.on_mount, r.ctx, &sufficient);
  if (err) return err;
  // A full last disc goes on: the later check takes its last-slot branch.
  // The variant runs inside the track controls and never moves itself.
  if (!sufficient && !r.ex && vfs_flush::may_move_track(mnt)) {
    err = vfs_flush::move_track(mnt, r.ctx, true);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "mdcudfsr_mdcfsctrl_write_next_track is failed err=%d\n", err);
      return err;
    }
    return flush_again(r);
  }
  vfs_flush::choose_full_layout(mnt);
  err = vfs_flush::node_cache_pass(mnt, r.ctx, nullptr, r.option(), 0, false, r.on_mount);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "failed metadata extent flush. do read only mount.\n");
    return err;
  }
  err = record_entries(r);
  if (err) return err;
  err = write_bitmaps(r);
  if (err) {
    if (!r.ex) return err;
    r.skipped = 1;
  }
  err = write_descriptors(r);
  if (err) return err;
  return close_and_refresh(r);
}

int run_re(RunRe& r) {
  VFS_ENTER();
  mdcudfsr_mount* mnt = r.mnt;
  if (refuse_medium(mnt)) return KEL_EINVAL;
  vfs_flush::begin(r);
  if (!mnt->root_node) return vfs_flush::early_exit(r, KEL_EINVAL);
  if (mnt->flush_policy != 1 && mnt->flush_policy != 2) return vfs_flush::early_exit(r, 0);
  mnt->cluster_next_offset = 0;
  int err = mdcudfsr_cache_local_cache_open(mnt, 3, r.ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_cache_local_cache_open is failed err=%d\n", err);
    r.ro = true;
  } else {
    if (!(r.flags & MDCUDFSR_FLUSHF_NO_VNODE_VISIT)) {
      err = vfs_flush::visit_vnodes(r);
      if (err) return vfs_flush::early_exit(r, err);
    }
    err = vfs_flush::lock_nodes(r, r.flags);
    if (err) return vfs_flush::early_exit(r, err);
    if (mnt->root_node) mdcudfsr_cache_clean_up_inactive_node(mnt->root_node);
    if (mnt->shadow_node) mdcudfsr_cache_clean_up_inactive_node(mnt->shadow_node);
    if (r.readonly && !(r.ex && (mnt->mount_ext_flags & 0x10))) return vfs_flush::early_exit(r, 0);
    err = body(r);
    r.ro = err != 0;
  }
  if (r.ro && !(r.ex && r.on_mount)) vfs_flush::readonly_switch(mnt, err, r.ctx);
  // Every flush closes the session: the next one's open moves the
  // coherency counter on again, so that the cache file, which this flush's
  // successor changes before its own end, no longer matches the cartridge
  // memory until that end writes the new record.
  mnt->coherency_refreshed = 0;
  vfs_flush::finish(r, err);
  if (!err) mnt->metadata_changed = 0;
  VFS_LOGK(KEL_LOG_WARN, "Metadata and Descriptor Flush End result=%d\n", err);
  VFS_EXIT(err);
  return err;
}

// Writes one 64 KiB block of the cache file; false after a failure (the
// file is then closed and its management file deleted).
bool write_block(mdcudfsr_mount* mnt, uint64_t offset, const uint8_t* block) {
  uint32_t written = 0, cache_err = 0;
  int err = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, offset, MDCUDFSR_IMAGE_SIZE, block, &written,
                                          &cache_err);
  if (!err && (cache_err || written != MDCUDFSR_IMAGE_SIZE)) err = KEL_EIO;
  if (!err) return true;
  VFS_LOG(KEL_LOG_ERR, "mdcudfsr_metacache_file_write failed. err:%d \n", err);
  mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
  mnt->fsmanage_handle = -1;
  mdcudfsr_metacache_fsmanage_delete(mnt, nullptr);
  return false;
}

// ---- the new-track flush

// An exhausted step: its "do read only mount" form with the switch due, or
// its "do auto format retry" form.
int newtrack_failed(RunRe& r, int err, const char* what) {
  VFS_LOG(KEL_LOG_ERR, "failed %s flush. %s. err=%d\n", what,
          r.ro_on_failure ? "do read only mount" : "do auto format retry", err);
  if (r.ro_on_failure) r.ro = true;
  return err;
}

int newtrack_body(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  mdcudfsr_clear_all_clusters(mnt);
  mnt->flushAllMetadata = 1;
  // A file still being written (its writer moved the volume on when it met
  // the end of the disc's room) and the files waiting in a packed session
  // are left out, as on write-once media: their own flush records them once
  // their data is on the disc. Recorded here, a kill before that flush left
  // the name with none of its data.
  int err = vfs_flush::node_cache_pass(mnt, r.ctx, nullptr, 1, 1, false, r.on_mount);
  if (err) return newtrack_failed(r, err, "metadata extent");
  err = record_entries(r);
  if (err) return newtrack_failed(r, err, "metadata main/mirror efe");
  // The integrity descriptor open, with one partition per disc written so
  // far plus the metadata partition.
  auto old_lvid = std::make_unique<uint8_t[]>(sizeof mnt->lvid_block);
  std::memcpy(old_lvid.get(), mnt->lvid_block, sizeof mnt->lvid_block);
  mnt->lvid.num_partitions = mnt->current_disc + 2;
  err = mdcudfsr_set_lvid_integrity_type(mnt, 0, 1, r.ctx);
  if (err) {
    VFS_LOG(KEL_LOG_WARN, "failed to write LVID open with status %d. \n", err);
    std::memcpy(mnt->lvid_block, old_lvid.get(), sizeof mnt->lvid_block);
    return newtrack_failed(r, err, "LVID open");
  }
  auto old_vds = std::make_unique<mdcudfsr_vds_copies>(mnt->vds);
  vfs_flush::count_new_disc(mnt);
  uint32_t out = 0;
  err = vfs_flush::attempts([&] { return mdcudfsr_flush_vds_re(mnt, &out, r.ctx, 0); },
                            "failed to write vds with status %d. \n");
  if (err) {
    mnt->vds = *old_vds;
    return newtrack_failed(r, err, "MVDS/RVDS");
  }
  err = vfs_flush::attempts([&] { return mdcudfsr_flush_vrs_RE(mnt, r.ctx); },
                            "failed to write vrs with status %d. \n");
  if (err) return newtrack_failed(r, err, "VRS");
  int write_err = 0;
  err = vfs_flush::refresh_attributes(mnt, r.ctx, r.on_mount, &write_err);
  if (err) return err;
  if (write_err) return newtrack_failed(r, write_err, "WRITE ATTRIBUTE");
  err = mdcudfsr_make_defect_map(mnt, r.ctx, r.on_mount);
  if (err) VFS_LOG(KEL_LOG_ERR, "can't make defect map. err = %d\n", err);
  return err;
}

// ---- after an all-erase

// A check of the erased medium: 0 and 2 pass.
int erased_check(int err, const char* text) {
  if (err == 0 || err == KEL_ENOENT) return 0;
  VFS_LOG(KEL_LOG_ERR, text, err);
  return err;
}

// The volume structures read again from the erased medium and the node
// cache rebuilt from them.
int reread_volume(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  int err = erased_check(mdcudfsr_check_zerofillarea(mnt, ctx), "mdcudfsr_check_zerofillarea() returned: %d\n");
  if (!err) err = erased_check(mdcudfsr_check_vrs_RE(mnt, ctx), "mdcudfsr_check_vrs_RE() returned: %d\n");
  if (!err) err = mdcudfsr_read_avdp_RE(mnt, ctx, 0, 0, nullptr);
  if (err) return err;
  err = mdcudfsr_read_lvid(mnt, ctx, 0, 0, 0, 0);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "Failed to Read LVID.\n");
    return err;
  }
  err = mdcudfsr_check_lvid_structure(mnt, ctx);
  if (err && err != KEL_EROFS) {
    VFS_LOG(KEL_LOG_ERR, "Failed to Parse LVID.\n");
    return err;
  }
  if (!(mdcudfsr_get_lvid_integrity_type(mnt) & 1)) VFS_LOG(KEL_LOG_INFO, "type of LVID is Open Integrity Descripter.\n");
  for (auto& p : mnt->part) mdcudfsr_extent_list_remove_all(&p.list);
  err = mdcudfsr_init_partitions(mnt, ctx, 0, 0);
  if (!err) err = mdcudfsr_cache_init(mnt, ctx, 0, 0);
  return err;
}

int rewrite_after_erase(RunRe& r) {
  mdcudfsr_mount* mnt = r.mnt;
  int err = write_bitmaps(r);
  if (!err) err = write_descriptors(r);
  if (err) return err;
  int sufficient = 1;
  err = mdcudfsr_check_media_resources(mnt, 0, r.ctx, &sufficient);
  if (err) return err;
  if (!sufficient && vfs_flush::may_move_track(mnt)) {
    err = vfs_flush::move_track(mnt, r.ctx, false);
    return err ? err : flush_again(r);
  }
  std::lock_guard<mdcudfsr_owned_mutex> lk(mnt->lvid_mutex);
  return mdcudfsr_flush_lvid(mnt, 0, r.ctx, 1);
}

}  // namespace

int mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!mnt) return KEL_EINVAL;
  if (!mdcudfsr_is_rewritable_medium(mnt->medium_type)) {
    VFS_LOG(KEL_LOG_ERR, "Set RawMount\n");
    return KEL_EINVAL;
  }
  VFS_ENTER();
  mdcudfsr_cache_term(mnt);
  int err = reread_volume(mnt, ctx);
  if (!err) err = mdcudfsr_cache_local_cache_open(mnt, 3, ctx);
  if (!err) {
    RunRe r;
    r.mnt = mnt;
    r.ctx = ctx;
    r.flags = MDCUDFSR_FLUSHF_WAIT | MDCUDFSR_FLUSHF_NO_VNODE_VISIT;
    err = rewrite_after_erase(r);
    mdcudfsr_cache_local_fs_cache_del(mnt, 0);
  }
  VFS_EXIT(err);
  return err;
}

int mdcudfsr_flush_metadata_and_descriptor_re_for_newtrack(mdcudfsr_mount* mnt, int flags, vfs_context_t ctx,
                                                           int on_mount, int readonly_on_failure) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  if (refuse_medium(mnt)) return KEL_EINVAL;
  VFS_ENTER();
  RunRe r;
  r.mnt = mnt;
  r.ctx = ctx;
  r.flags = flags;
  r.on_mount = on_mount;
  r.ro_on_failure = readonly_on_failure;
  vfs_flush::begin(r);
  if (!mnt->root_node) return vfs_flush::early_exit(r, KEL_EINVAL);
  mnt->cluster_next_offset = 0;
  int err = mdcudfsr_cache_local_cache_open(mnt, 3, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_cache_local_cache_open is failed err=%d\n", err);
    r.ro = readonly_on_failure != 0;
  } else {
    err = mdcudfsr_cache_lock_all_nodes(mnt, (flags & MDCUDFSR_FLUSHF_WAIT) ? 0xFFFFFFFFu : 500u);
    if (err) {
      VFS_LOG(KEL_LOG_INFO, "mdcudfsr_cache_lock_all_nodes() seems to be timed out.err=%d\n", err);
      return vfs_flush::early_exit(r, err);
    }
    r.locked = true;
    if (r.readonly) return vfs_flush::early_exit(r, 0);
    err = newtrack_body(r);
  }
  if (r.ro) vfs_flush::readonly_switch(mnt, err, ctx);
  vfs_flush::finish(r, err);
  VFS_EXIT(err);
  return err;
}

int mdcudfsr_flush_metadata_and_descriptor_re(mdcudfsr_mount* mnt, int flags, int, int, vfs_context_t ctx, int,
                                              int on_mount) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  RunRe r;
  r.mnt = mnt;
  r.ctx = ctx;
  r.flags = flags;
  r.on_mount = on_mount;
  return run_re(r);
}

int mdcudfsr_flush_metadata_and_descriptor_ex_re(mdcudfsr_mount* mnt, int flags, int, vfs_context_t ctx, int,
                                                 int on_mount, int keep_all, int* result_out) {
  if (result_out) *result_out = 0;
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  RunRe r;
  r.mnt = mnt;
  r.ctx = ctx;
  r.flags = flags;
  r.on_mount = on_mount;
  r.ex = true;
  r.keep_all = keep_all;
  const int err = run_re(r);
  if (result_out) *result_out = r.skipped;
  return err;
}

int mdcudfsr_flush_descriptor_to_fscache_file_re(mdcudfsr_mount* mnt, vfs_context_t) {
  if (!mnt || mnt->fsmanage_handle < 0) return 0;
  struct Copy {
    uint8_t** image;
    uint64_t offset;
  } copies[] = {{&mnt->vds_cache_image[0], 0x10000},
                {&mnt->vds_cache_image[1], 0x20000},
                {&mnt->lvid_cache_image, 0x40000},
                {&mnt->metadata_efe_image, 0x50000}};
  for (const Copy& c : copies) {
    if (!*c.image) continue;
    const bool ok = write_block(mnt, c.offset, *c.image);
    std::free(*c.image);
    *c.image = nullptr;
    if (!ok) return 0;
  }
  std::vector<uint8_t> block;
  try {
    block.assign(MDCUDFSR_IMAGE_SIZE, 0);
  } catch (const std::bad_alloc&) {
    mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
    mnt->fsmanage_handle = -1;
    return 0;
  }
  std::memcpy(block.data(), mnt->attr_record + MDCUDFSR_CM_CACHE_OFFSET + cm_attr::k1500Value, 128);
  block[0x8000] = 2;
  write_block(mnt, 0, block.data());
  return 0;
}
