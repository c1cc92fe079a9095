// Anchors and volume descriptor sequence of rewritable media.
#include "udf/udf_rewritable.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf_io.h"
#include "udf_log.h"
#include "udf_vds_parse.h"

#include <algorithm>
#include <cstring>

using namespace udf_io;

namespace {

constexpr uint32_t kMainUnitSector = 256;

bool accepted_medium(const mdcudfsr_mount* mnt) {
  switch (mnt->medium_type) {
    case 0xC3:
    case 0xD3:
    case 0xE2:
    case 0xE4:
    case 0xE6:
    case 0xE8:
    case 0x53:
    case 0x57:
      return true;
    default:
      return false;
  }
}

int refuse_medium(mdcudfsr_mount* mnt) {
  mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_ANCHOR_INVALID, WRPROT_READONLY);
  return KEL_EINVAL;
}

uint32_t reserve_unit_sector(const mdcudfsr_mount* mnt) { return mnt->num_sectors - kUnit / mnt->logical_sector_size; }

}  // namespace

int mdcudfsr_check_vds_RE(mdcudfsr_mount* mnt, const uint8_t* vds, const anchor_vdp* anchor, int side,
                          vfs_context_t ctx, uint32_t* broken) {
  UDF_TRACE_ENTRY();
  auto done = [&](int r) {
    UDF_TRACE_EXIT_ERR(r);
    return r;
  };
  if (!accepted_medium(mnt)) return done(refuse_medium(mnt));
  const uint32_t ss = mnt->logical_sector_size;
  if (anchor->main_vds_ex.len < 0x8000 || anchor->reserve_vds_ex.len < 0x8000)
    UDF_LOGM(ERR, KELC, "LVD size is too small (main:%d, reserve:%d). \n", anchor->main_vds_ex.len,
             anchor->reserve_vds_ex.len);
  const uint32_t len = side == 0 ? kUnit - 16 * ss : kUnit;
  udf_vds::ParseResult pr;
  const int perr = udf_vds::parse_copy(mnt, vds, len, side, udf_vds::Mode::Rewritable, anchor, ctx, &pr);
  if (perr) return done(perr);
  if (pr.broken) {
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_RULES_BROKEN, WRPROT_READONLY);
    if (broken) *broken = 1;
    return done(KEL_EINVAL);
  }
  if (!pr.terminated) {
    if (anchor->main_vds_ex.len != anchor->reserve_vds_ex.len)
      UDF_LOG(WARN, "main and reserved VDS were read but they have different lengths (main=%d, reserve=%d bytes)\n",
              anchor->main_vds_ex.len, anchor->reserve_vds_ex.len);
    const uint32_t expected = anchor->reserve_vds_ex.loc != 0 ? anchor->main_vds_ex.len : mnt->avdp.reserve_vds_ex.len;
    if (pr.parsed_bytes != expected) {
      UDF_LOG(ERR, "unexpected VDS byte length (%p) should be 0x%x\n",
              reinterpret_cast<void*>(static_cast<uintptr_t>(pr.parsed_bytes)), expected);
      return done(KEL_EINVAL);
    }
    return done(0);
  }
  if ((pr.exist & VDS_HAS_ALL) != VDS_HAS_ALL) {
    UDF_LOG(ERR, "VDS is invalid structure.exist_desc=%08x\n", pr.exist);
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE, WRPROT_READONLY);
    return done(KEL_EFAULT);
  }
  return done(0);
}

int mdcudfsr_restore_advp_vds_buffer(mdcudfsr_mount* mnt, const uint8_t* src, uint8_t* out, const anchor_vdp* anchor,
                                     int side, int write, vfs_context_t ctx, int on_mount) {
  const uint32_t ss = mnt->logical_sector_size;
  std::memset(out, 0, kUnit);
  anchor_vdp built;
  const uint32_t anchor_loc = side == 0 ? kMainUnitSector : mnt->num_sectors - 1;
  mdcudfsr_build_avdp(mnt, anchor, anchor_loc, &built);
  const uint32_t main_len = anchor->main_vds_ex.len;
  if (side == 0) {
    std::memcpy(out, &built, sizeof built);
    // The main copy has the unit's second half; the reserve copy it comes from
    // starts the other unit.
    const uint32_t len = std::min(main_len, kUnit - 16 * ss) / ss * ss;
    std::memcpy(out + 16 * ss, src, len);
    mdcudfsr_retag_vds_copy(mnt, out + 16 * ss, len, anchor->main_vds_ex.loc);
  } else {
    std::memcpy(out + 31 * ss, &built, sizeof built);
    // The reserve copy must leave the anchor's sector alone.
    const uint32_t len = std::min(main_len, std::min(31 * ss, kUnit - 16 * ss)) / ss * ss;
    std::memcpy(out, src + 16 * ss, len);
    mdcudfsr_retag_vds_copy(mnt, out, len, anchor->reserve_vds_ex.loc);
  }
  if (!write) return 0;
  const uint32_t first = side == 0 ? kMainUnitSector : reserve_unit_sector(mnt);
  buf_t bp = buf_getblk(mnt->devvp, first, static_cast<int>(kUnit), 0, 0, kBufOpMetadata);
  if (!bp) {
    UDF_LOGM(ERR, KELC, "%s\n", "wbp");
    return KEL_EIO;
  }
  std::memcpy(buf_bytes(bp), out, kUnit);
  std::lock_guard<std::mutex> lk(mnt->slot_mutex);
  const int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, on_mount);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    buf_brelse(bp);
    return err;
  }
  const int werr = buf_bwrite(bp);
  (void)mdcudfsr_sync_drive_cache(mnt, ctx);
  return werr;
}

// Every term is a block of the partition: the metadata file, its mirror, the
// metadata bitmap and the end of the space bitmap must lie inside it, and so
// must the address that comes out. Otherwise the address stays as it was;
// a sequence that is not unlinked is then mounted read-only.
void mdcudfsr_set_nwa_from_vds(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  const auto& pd = mnt->vds.pd;
  const auto& md = mnt->vds.pmap.type2_metadata;
  const uint64_t P = pd.start_loc, L = pd.part_len;
  const uint64_t M = md.file_loc, R = md.mirror_file_loc, B = md.bitmap_file_loc;
  if (M >= L || R >= L) {
    // Also the unlinked marker: the check for mount relinks and comes back.
    UDF_LOG(ERR, "Metadata location is out of range. main=0x%x mirror=0x%x\n", md.file_loc, md.mirror_file_loc);
    return;
  }
  const bool has_bitmap_file = B != 0 && B != 0xFFFFFFFFu;
  const uint64_t bitmap_sectors = (pd.phd.unalloc_space_bitmap.len & 0x3FFFFFFFu) / mnt->logical_sector_size;
  const uint64_t bitmap_end = uint64_t{pd.phd.unalloc_space_bitmap.pos} + (bitmap_sectors + 31) / 32 * 32;
  uint64_t c = P + bitmap_end;
  if (c < P + M) c = P + M + 32;
  if (c < P + R) c = P + R + 32;
  const uint64_t nwa = (has_bitmap_file && c < P + B) ? P + B + 32 : c;
  if ((has_bitmap_file && B >= L) || bitmap_end > L || nwa >= P + L) {
    UDF_LOG(ERR, "Metadata location is out of range. main=0x%x mirror=0x%x\n", md.file_loc, md.mirror_file_loc);
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
    return;
  }
  mnt->next_writable_address = static_cast<uint32_t>(nwa);
  UDF_LOG(INFO, "set NWA:0x%x\n", mnt->next_writable_address);
}

namespace {

// One side's 64 KiB unit (the main anchor with the main sequence, or the
// reserve sequence with the last anchor) read from the cache file or the
// disc. 0 (*read_ok: the unit was read), or the error of a disc that could
// not be loaded.
int read_anchor_unit(mdcudfsr_mount* mnt, int side, int from_cache, int on_mount, vfs_context_t ctx, uint8_t* unit,
                     bool* read_ok) {
  if (from_cache) {
    uint32_t done = 0;
    uint32_t cerr = 0;
    const int err = mdcudfsr_metacache_file_read(mnt, mnt->fsmanage_handle, side == 0 ? UDF_CACHE_AVDP1 : UDF_CACHE_AVDP2,
                                                 kUnit, unit, &done, &cerr);
    *read_ok = err == 0 && cerr == 0 && done != 0;
    return 0;
  }
  std::unique_lock<std::mutex> lk(mnt->slot_mutex);
  const int err = mdcudfsr_disc_change(mnt, SLOT_KEEP_LOADED, 0, ctx, on_mount);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  buf_t bp = nullptr;
  const uint32_t first = side == 0 ? kMainUnitSector : reserve_unit_sector(mnt);
  const int rerr = buf_meta_bread(mnt->devvp, first, static_cast<int>(kUnit), nullptr, &bp);
  lk.unlock();
  if (!rerr) std::memcpy(unit, buf_bytes(bp), kUnit);
  if (bp) buf_brelse(bp);
  *read_ok = rerr == 0;
  return 0;
}

// The anchor of a side that was read, checked and taken, then the sequence
// it names. 0 with *good when the side serves, 0 with *status set when the
// other side may serve instead, or the error that ends the mount (an
// unformatted disc, a sequence that is not merely broken).
int check_anchor_side(mdcudfsr_mount* mnt, int side, uint8_t* const unit[2], anchor_vdp* anchor, int* status,
                      vfs_context_t ctx, int on_mount, bool* good) {
  const uint32_t ss = mnt->logical_sector_size;
  const int n = side + 1;
  bool zero = true;
  for (int i = 0; i < 32; ++i) zero = zero && unit[side][i] == 0;
  if (zero) {
    UDF_LOG(ERR, "AVDP_%d is filled with 0\n", n);
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_NOT_FORMATTED, WRPROT_READONLY);
    return KEL_EINVAL;
  }
  const uint8_t* a = unit[side] + (side == 0 ? 0 : 31 * ss);
  if (!mdcudfsr_check_udf_tag(a, TAG_ID_AVDP)) {
    UDF_LOG(ERR, "AVDP_%d TagID is invalid\n", n);
    *status = KEL_EINVAL;
    return 0;
  }
  if (!mdcudfsr_check_udf_tag_crc(a, ss)) {
    UDF_LOG(ERR, "AVDP_%d CRC is invalid\n", n);
    *status = KEL_EINVAL;
    return 0;
  }
  std::memcpy(anchor, a, sizeof *anchor);
  mdcudfsr_swap_le2host_anchor_vdp(anchor);
  // Tags built from here on carry this anchor's serial number.
  mnt->avdp = *anchor;
  const int other = 1 - side;
  (void)mdcudfsr_restore_advp_vds_buffer(mnt, unit[side], unit[other], anchor, other, 0, ctx, on_mount);
  uint32_t broken = 0;
  const uint8_t* vds = unit[side] + (side == 0 ? 16 * ss : 0);
  const int cerr = mdcudfsr_check_vds_RE(mnt, vds, anchor, side, ctx, &broken);
  if (cerr == 0) {
    *status = 0;
    *good = true;
    return 0;
  }
  if (!broken) return cerr;
  *status = KEL_EINVAL;
  if (side == 0) mdcudfsr_set_mntinfo_state(mnt, 0, 0, mnt->mntinfo.WriteProtectReasonFlags & ~WRPROT_READONLY);
  return 0;
}

// The side that passed: its anchor is the mount's, its sequence sets the
// next writable address, both units go to the cache file when asked, and
// a good reserve side is written over the main one (not on a rollback;
// from the cache file that is refused). An anchor that names other places
// for the sequences than the volume's own units leaves the volume
// read-only and written nowhere: its flush would write where it points.
int take_anchor_side(mdcudfsr_mount* mnt, int good, uint8_t* const unit[2], const anchor_vdp anchors[2],
                     int from_cache, vfs_context_t ctx, int on_mount, uint32_t* mirror) {
  mnt->avdp = anchors[good];
  mdcudfsr_set_nwa_from_vds(mnt, ctx);
  const bool misplaced = udf_vds::check_vds_layout(mnt, ctx) != 0;
  if (mirror && *mirror) {
    for (int side = 0; side < 2; ++side) {
      const int merr = udf_vds::mirror_to_cache(mnt, side == 0 ? UDF_CACHE_AVDP1 : UDF_CACHE_AVDP2, unit[side], kUnit);
      if (merr) return merr;
    }
  }
  const bool rollback = (mnt->mount_ext_flags & (MNT_EXT_ROLLBACK_REQUESTED | MNT_EXT_ROLLBACK_MOUNT)) != 0;
  if (good == 0) {
    if (rollback) UDF_LOG(INFO, "skip restore RVDS/AVDP3\n");
    return 0;
  }
  if (rollback || misplaced) {
    UDF_LOG(INFO, "skip restore MVDS/AVDP\n");
    return 0;
  }
  if (from_cache) return KEL_EINVAL;
  (void)mdcudfsr_restore_advp_vds_buffer(mnt, unit[1], unit[0], &anchors[1], 0, 1, ctx, on_mount);
  udf_vds::drop_fsmanage_cache(mnt, ctx);
  if (mirror) *mirror = 0;
  return 0;
}

}  // namespace

int mdcudfsr_read_avdp_RE(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, int from_cache, uint32_t* mirror) {
  if (!accepted_medium(mnt)) return refuse_medium(mnt);
  uint8_t* unit[2] = {zalloc(kUnit), zalloc(kUnit)};
  auto finish = [&](int r) {
    zfree(unit[0]);
    zfree(unit[1]);
    if (r != 0 && mirror) *mirror = 0;
    return r;
  };
  if (!unit[0] || !unit[1]) {
    UDF_LOGM(ERR, KELC, "%s\n", !unit[0] ? "main_buf" : "resv_buf");
    return finish(KEL_ENOMEM);
  }
  anchor_vdp anchors[2] = {};
  int status[2] = {22, 22};
  int good = -1;
  for (int side = 0; side < 2 && good < 0; ++side) {
    bool read_ok = false;
    if (const int err = read_anchor_unit(mnt, side, from_cache, on_mount, ctx, unit[side], &read_ok))
      return finish(err);
    if (!read_ok) {
      status[side] = 14;
      UDF_LOG(ERR, "AVDP_%d can't be read.(%d)\n", side + 1, status[side]);
      continue;
    }
    bool ok = false;
    if (const int err = check_anchor_side(mnt, side, unit, &anchors[side], &status[side], ctx, on_mount, &ok))
      return finish(err);
    if (ok) good = side;
  }
  if (good < 0) {
    if (mnt->mntinfo.AccessMode != MNTINFO_ACCESS_REFUSED)
      mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED,
                                 status[0] == 14 && status[1] == 14 ? MNTINFO_STRUCTURE_UNREADABLE
                                                                    : MNTINFO_ANCHOR_INVALID,
                                 WRPROT_READONLY);
    return finish(KEL_EINVAL);
  }
  return finish(take_anchor_side(mnt, good, unit, anchors, from_cache, ctx, on_mount, mirror));
}

namespace {

// The two units of a rewritable volume's sequences: the main anchor with
// the main sequence after it, the reserve sequence with the last anchor in
// its last sector.
void build_rewritable_units(mdcudfsr_mount* mnt, uint8_t* const unit[2], int soft_write_protect) {
  const uint32_t ss = mnt->logical_sector_size;
  const int refresh = (mnt->mount_ext_flags & MNT_EXT_ROLLBACK_REQUESTED) != 0;
  anchor_vdp a1, a2;
  mdcudfsr_build_avdp(mnt, &mnt->avdp, kMainUnitSector, &a1);
  mdcudfsr_build_avdp(mnt, &mnt->avdp, mnt->num_sectors - 1, &a2);
  std::memcpy(unit[0], &a1, sizeof a1);
  mdcudfsr_build_vds_copy(mnt, unit[0] + 16 * ss, mnt->avdp.main_vds_ex.loc, soft_write_protect, refresh);
  mdcudfsr_build_vds_copy(mnt, unit[1], mnt->avdp.reserve_vds_ex.loc, soft_write_protect, refresh);
  std::memcpy(unit[1] + 31 * ss, &a2, sizeof a2);
}

// Both units kept for the cache file; the cache file is dropped when there
// is no room for them.
void keep_rewritable_cache_images(mdcudfsr_mount* mnt, uint8_t* const unit[2], vfs_context_t ctx) {
  if (mnt->fsmanage_handle < 0) return;
  for (int i = 0; i < 2; ++i)
    if (!mnt->vds_cache_image[i]) mnt->vds_cache_image[i] = zalloc(kUnit);
  if (mnt->vds_cache_image[0] && mnt->vds_cache_image[1]) {
    std::memcpy(mnt->vds_cache_image[0], unit[0], kUnit);
    std::memcpy(mnt->vds_cache_image[1], unit[1], kUnit);
  } else {
    udf_vds::drop_fsmanage_cache(mnt, ctx);
  }
}

}  // namespace

int mdcudfsr_flush_vds_re(mdcudfsr_mount* mnt, uint32_t* skipped, vfs_context_t ctx, int soft_write_protect) {
  if (const int lerr = udf_vds::check_vds_layout(mnt, ctx)) return lerr;
  uint8_t* unit[2] = {zalloc(kUnit), zalloc(kUnit)};
  auto finish = [&](int r) {
    zfree(unit[0]);
    zfree(unit[1]);
    return r;
  };
  if (!unit[0] || !unit[1]) return finish(KEL_ENOMEM);
  build_rewritable_units(mnt, unit, soft_write_protect);
  const uint32_t where[2] = {kMainUnitSector, mnt->avdp.reserve_vds_ex.loc};
  if (udf_vds::vds_already_written(mnt, unit[0], where[0], kUnit, ctx) &&
      udf_vds::vds_already_written(mnt, unit[1], where[1], kUnit, ctx)) {
    UDF_LOG(WARN, "flush vds skip \n");
    if (skipped) *skipped = 1;
    return finish(0);
  }
  keep_rewritable_cache_images(mnt, unit, ctx);
  // Reserve side first, so an interruption leaves a complete main side.
  return finish(udf_vds::write_copies_in_turn(mnt, {{unit[0], where[0], kUnit}, {unit[1], where[1], kUnit}}, 1,
                                              false, ctx));
}
