// The flush that makes the disc of a new track a member of the volume set
// (write-once media): the metadata entries at its first writable address, a
// descriptor sequence that counts it, an open integrity descriptor and the
// cartridge memory.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_flush.h"

#include "kelcache/cache.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_lvid.h"
#include "udf/udf_names.h"
#include "udf/udf_regid.h"
#include "udf/udf_vds_flush.h"
#include "vfs_flush_internal.h"
#include "vfs_log.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vfs_flush {

void volume_identifier(uint8_t out[32], const char* prefix, uint32_t number) {
  char text[31] = {};
  std::snprintf(text, sizeof text, "%s%02u", prefix, static_cast<unsigned>(number % 100u));
  std::memset(out, 0, 32);
  out[0] = 8;
  const std::size_t len = std::strlen(text);
  std::memcpy(out + 1, text, len);
  out[31] = static_cast<uint8_t>(len + 1);
}

void count_new_disc(mdcudfsr_mount* mnt) {
  auto& v = mnt->vds;
  const uint32_t slot = mnt->current_disc;
  v.pvd.vds_num = static_cast<uint16_t>(v.pvd.vds_num + 1);
  volume_identifier(v.pvd.vol_id, "KELFS VOL", slot + 1);
  const uint32_t old_maps = v.lvd.n_pm;
  v.lvd.mt_l = 6 * slot + 70;
  v.lvd.n_pm = old_maps + 1;
  v.pmap.type2_metadata.vol_seq_num = static_cast<uint16_t>(v.pmap.type2_metadata.vol_seq_num + 1);
  mdcudfsr_make_regid(mnt, &v.pmap.type2_metadata.id, REGID_METADATA_PART);
  const uint32_t maps = std::min<uint32_t>(old_maps, MDCUDFSR_MAX_TYPE1_MAPS);
  for (uint32_t j = 1; j <= maps; ++j) v.pmap.type1[j - 1] = part_map_type1{1, 6, static_cast<uint16_t>(j), 0};
  v.pmap.type1_count = maps;
  timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(mnt, &now, &v.pvd.time);
  mdcudfsr_make_regid(mnt, &v.pvd.imp_id, REGID_IMPLEMENTATION);
  mdcudfsr_make_regid(mnt, &v.iuvd.imp_id, REGID_LV_INFO);
  regid lvi{};
  mdcudfsr_make_regid(mnt, &lvi, REGID_IMPLEMENTATION);
  std::memcpy(v.iuvd.imp_use + offsetof(logvol_info, imp_id), &lvi, sizeof lvi);
  mdcudfsr_make_regid(mnt, &v.pd.imp_id, REGID_IMPLEMENTATION);
  mdcudfsr_make_regid(mnt, &v.lvd.imp_id, REGID_IMPLEMENTATION);
  // The new disc's sequence is written without write-protect flags: the
  // soft one that a mount read from the old disc closed that disc only, and
  // kept here it would go onto the new disc with the next link or unlink
  // (on the cartridge's last slot a read-only volume at the next mount).
  v.lvd.domain_id.id_suffix[2] = 0;
}

}  // namespace vfs_flush

namespace {

struct NewTrack : vfs_flush::Frame {
  int final_attempt = 0;
  int node_opt = 0;
  bool ro = false;
};

// A failure: the read-only switch on the final attempt, else the error
// alone; the message in its two forms.
int failed(NewTrack& r, int err, const char* final_text, const char* retry_text) {
  VFS_LOG(KEL_LOG_ERR, r.final_attempt ? final_text : retry_text, err);
  if (r.final_attempt) r.ro = true;
  return err;
}

// The entries at the disc's first writable address.
int record_entries(NewTrack& r) {
  mdcudfsr_mount* mnt = r.mnt;
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    uint32_t nwa = 0;
    err = vfs_flush::read_nwa(mnt, r.ctx, 0, &nwa);
    if (err) return err;
    uint32_t loc[2] = {};
    err = vfs_flush::place_entries(mnt, nwa, &loc[0], &loc[1]);
    if (err)
      return failed(r, err, "failed metadata main/mirror efe flush. do read only mount. err = %d\n",
                    "failed metadata main/mirror efe flush. do auto format retry. err = %d\n");
    mnt->metadata_file_loc = loc[0];
    mnt->metadata_mirror_loc = loc[1];
    const uint32_t prev[2] = {0, 0};
    int which = 0;
    err = vfs_flush::stage_entries(mnt, r.ctx, prev, &which);
    if (err && which == 0)
      return failed(r, err, "failed metadata main efe for cluster buffer data. err=%d\n",
                    "failed metadata main efe for cluster buffer data. do auto format retry. err=%d\n");
    if (err)
      return failed(r, err, "failed metadata mirror efe for cluster buffer data. err=%d\n",
                    "failed metadata mirror efe for cluster buffer data. do auto format retry. err=%d\n");
    err = mdcudfsr_flush_cluster_buffer(mnt, mdcudfsr_lbn2lsn(mnt, 2, loc[0], nullptr), 1, r.ctx);
    if (err) {
      VFS_LOG(KEL_LOG_WARN, "failed to flush metadata FE with status %d. \n", err);
      continue;
    }
    err = vfs_flush::sync_and_verify(mnt, r.ctx, 0, nwa);
    if (err) continue;
    vfs_flush::entries_recorded(mnt);
    return 0;
  }
  return failed(r, err, "failed metadata main/mirror efe flush. do read only mount. err = %d\n",
                "failed metadata main/mirror efe flush. do auto format retry. err = %d\n");
}

// The descriptor sequence that counts the new disc; the saved
// copy comes back when it cannot be written.
int write_descriptors(NewTrack& r) {
  mdcudfsr_mount* mnt = r.mnt;
  auto saved = std::make_unique<mdcudfsr_vds_copies>(mnt->vds);
  vfs_flush::count_new_disc(mnt);
  int err = 0;
  for (int attempt = 0; attempt < kFlushAttempts; ++attempt) {
    uint32_t out = 0;
    err = mdcudfsr_flush_vds(mnt, &out, r.ctx, 0);
    if (!err) return 0;
    VFS_LOG(KEL_LOG_WARN, "failed to write vds with status %d. \n", err);
  }
  mnt->vds = *saved;
  return failed(r, err, "failed MVDS/RVDS flush. do read only mount. err=%d\n",
                "failed MVDS/RVDS flush. do auto format retry. Status=%d\n");
}

// The integrity descriptor written open with one more partition.
int open_integrity(NewTrack& r) {
  mdcudfsr_mount* mnt = r.mnt;
  auto saved = std::make_unique<uint8_t[]>(sizeof mnt->lvid_block);
  std::memcpy(saved.get(), mnt->lvid_block, sizeof mnt->lvid_block);
  mnt->lvid.num_partitions = mnt->current_disc + 2;
  const int err = mdcudfsr_set_lvid_integrity_type(mnt, 0, 1, r.ctx);
  if (!err) return 0;
  VFS_LOG(KEL_LOG_WARN, "failed to write vds with status %d. \n", err);
  std::memcpy(mnt->lvid_block, saved.get(), sizeof mnt->lvid_block);
  return failed(r, err, "failed LVID flush. do read only mount. err=%d\n",
                "failed LVID flush. do auto format retry. Status=%d\n");
}

int body(NewTrack& r) {
  mdcudfsr_mount* mnt = r.mnt;
  mdcudfsr_clear_all_clusters(mnt);
  mnt->flushAllMetadata = 1;
  int wrote = 0;
  int err = vfs_flush::node_cache_pass(mnt, r.ctx, &wrote, r.node_opt, 1, false, 0);
  if (err)
    return failed(r, err, "failed metadata extent flush. do read only mount. err = %d\n",
                  "failed metadata extent flush. do auto format retry. err = %d\n");
  err = record_entries(r);
  if (!err) err = write_descriptors(r);
  if (!err) err = open_integrity(r);
  if (err) return err;
  int write_err = 0;
  err = vfs_flush::refresh_attributes(mnt, r.ctx, 0, &write_err);
  if (err) return err;
  if (write_err)
    return failed(r, write_err, "WRITE ATTRIBUTE failed on metadata flush. err = %d\n",
                  "WRITE ATTRIBUTE failed on metadata flush. do auto format retry. err = %d\n");
  return 0;
}

}  // namespace

int mdcudfsr_flush_metadata_and_descriptor_for_newtrack(mdcudfsr_mount* mnt, int flags, int node_flush_option,
                                                        vfs_context_t ctx, int final_attempt) {
  if (!mnt) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp");
    return KEL_EINVAL;
  }
  VFS_ENTER();
  NewTrack r;
  r.mnt = mnt;
  r.ctx = ctx;
  r.final_attempt = final_attempt;
  r.node_opt = node_flush_option;
  vfs_flush::begin(r);
  if (!mnt->root_node) return vfs_flush::early_exit(r, KEL_EINVAL);
  mnt->cluster_next_offset = 0;
  int err = mdcudfsr_cache_local_cache_open(mnt, 3, ctx);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_cache_local_cache_open is failed err=%d\n", err);
    r.ro = true;
  } else {
    err = vfs_flush::lock_nodes(r, flags);
    if (err) return vfs_flush::early_exit(r, err);
    if (r.readonly) return vfs_flush::early_exit(r, 0);
    err = body(r);
  }
  if (r.ro) vfs_flush::readonly_switch(mnt, err, ctx);
  vfs_flush::finish(r, err);
  VFS_EXIT(err);
  return err;
}
