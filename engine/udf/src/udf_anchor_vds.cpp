// Anchors and the volume descriptor sequence of write-once media.
#include "udf/udf_anchor_vds.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_dump.h"
#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"
#include "udf_io.h"
#include "udf_log.h"
#include "udf_vds_parse.h"

#include <algorithm>
#include <cstring>

using namespace udf_io;

namespace udf_vds {

bool rollback_on_other_slot(const mdcudfsr_mount* mnt, uint32_t flag_mask) {
  return (mnt->mount_ext_flags & flag_mask) != 0 && mnt->loaded_slot != SLOT_LAST_WRITTEN &&
         mnt->loaded_slot != mnt->current_disc;
}

void drop_fsmanage_cache(mdcudfsr_mount* mnt, vfs_context_t ctx) { mdcudfsr_drop_fsmanage_cache(mnt, ctx); }

int mirror_to_cache(mdcudfsr_mount* mnt, uint64_t offset, const void* data, uint32_t len) {
  uint32_t done = 0;
  uint32_t cerr = 0;
  const int err = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, offset, len, data, &done, &cerr);
  if (err) {
    UDF_LOG(ERR, "mdcudfsr_metacache_file_write failed. err:%d \n", err);
    return err;
  }
  if (cerr) {
    UDF_LOG(ERR, "mdcudfsr_metacache_file_write success. but cache err:%d \n", cerr);
    return KEL_EINVAL;
  }
  return 0;
}

int check_vds_layout(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  uint32_t main_loc = 288, reserve_loc = 304;
  if (mnt->is_rewritable) {
    main_loc = 256 + 16;
    reserve_loc = mnt->num_sectors - kUnit / mnt->logical_sector_size;
  } else if (is_f2(mnt)) {
    main_loc = 384;
    reserve_loc = 512;
  }
  const uint32_t h = mnt->avdp.main_vds_ex.loc, r = mnt->avdp.reserve_vds_ex.loc;
  if (h == main_loc && r == reserve_loc) return 0;
  UDF_LOG(ERR, "VDS location differs from the volume layout (main=%u reserve=%u, expected %u and %u), mounting readonly\n",
          h, r, main_loc, reserve_loc);
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
  return KEL_EINVAL;
}

int write_with_attempts(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t first, const uint8_t* image, uint32_t size,
                        uint32_t reserve_count, bool forget_disc_info, const char* write_fail_fmt) {
  int last = 0;
  for (uint32_t failed = 0;;) {
    buf_t bp = buf_getblk(mnt->devvp, first, static_cast<int>(size), 0, 0, kBufOpMetadata);
    if (!bp) return KEL_EIO;
    std::memcpy(buf_bytes(bp), image, size);
    if (is_f2(mnt)) {
      ReserveRange r{first, reserve_count};
      const int rerr = VNOP_IOCTL(mnt->devvp, kIoctlReserveWriteRange, reinterpret_cast<char*>(&r), 0, ctx);
      if (rerr) {
        UDF_LOG(ERR, "reserve write failed. status=%d\n", rerr);
        (void)mdcudfsr_sync_drive_cache(mnt, ctx);
        buf_brelse(bp);
        last = rerr;
        if (++failed <= kMaxWriteRetry) continue;
        return last;
      }
    }
    const int werr = buf_bwrite(bp);
    if (forget_disc_info) (void)VNOP_IOCTL(mnt->devvp, kIoctlForgetDiscInfo, nullptr, 0, ctx);
    if (werr) LogPrint(udf_log::ERR, udf_log::FS, udf_log::MSG, __func__, __LINE__, udf_log::tid(), write_fail_fmt, werr);
    const int serr = mdcudfsr_sync_drive_cache(mnt, ctx);
    if (serr) UDF_LOG(ERR, "Failed to sync drive cache with status %d. \n", serr);
    if (!werr && !serr) return 0;
    last = serr ? serr : werr;
    if (++failed <= kMaxWriteRetry) continue;
    return last;
  }
}

namespace {

void set_raw(mdcudfsr_mount* mnt, uint32_t status) {
  mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, status, WRPROT_READONLY);
}

bool higher_seq(uint32_t candidate, uint32_t kept) { return candidate > kept; }

// Walks the partition maps that follow the 440 bytes of a logical volume
// descriptor lying at `sector` (medium order). 0, or 22 when the table cannot
// be walked within the sector.
int walk_partition_maps(mdcudfsr_mount* mnt, const uint8_t* sector, uint32_t ss, uint32_t n_pm, bool* metadata_ok) {
  auto& pm = mnt->vds.pmap;
  pm.type1_count = 0;
  std::memset(&pm.type2_metadata, 0, sizeof pm.type2_metadata);
  std::memset(pm.type1, 0, sizeof pm.type1);
  uint32_t metadata_maps = 0;
  bool duplicate = false;
  uint32_t off = sizeof(logvol_desc);
  for (uint32_t i = 0; i < n_pm; ++i) {
    if (off + 2 > ss) {
      UDF_LOG(ERR, "partition map %u runs past the descriptor's sector.\n", i);
      return KEL_EINVAL;
    }
    const uint8_t type = sector[off];
    const uint8_t len = sector[off + 1];
    if (len < 2) {
      UDF_LOG(ERR, "partition map %u has an invalid length (%u).\n", i, len);
      return KEL_EINVAL;
    }
    const uint32_t need = type == 1 ? std::max<uint32_t>(len, sizeof(part_map_type1))
                          : type == 2 ? std::max<uint32_t>(len, sizeof(part_map_metadata))
                                      : len;
    if (off + need > ss) {
      UDF_LOG(ERR, "partition map %u runs past the descriptor's sector.\n", i);
      return KEL_EINVAL;
    }
    if (type == 1) {
      if (pm.type1_count >= MDCUDFSR_MAX_TYPE1_MAPS) {
        UDF_LOG(ERR, "too many type1 partition maps (more than %u).\n", MDCUDFSR_MAX_TYPE1_MAPS);
        return KEL_EINVAL;
      }
      part_map_type1 m;
      std::memcpy(&m, sector + off, sizeof m);
      mdcudfsr_swap_le2host_part_map_type1(&m);
      pm.type1[pm.type1_count++] = m;
      UDF_LOG(INFO, " P1 number of partition[%d]/\n", m.part_num);
    } else if (type == 2 && std::memcmp(sector + off + 5, "*UDF Metadata Partition", 23) == 0) {
      if (metadata_maps++ > 0) {
        UDF_LOG(ERR, "duplicated type2 metadata partition map is found/\n");
        duplicate = true;
      } else {
        part_map_metadata m;
        std::memcpy(&m, sector + off, sizeof m);
        mdcudfsr_swap_le2host_part_map_metadata(&m);
        pm.type2_metadata = m;
        UDF_LOG(INFO, " P0 number of partition[%d]/\n", m.part_num);
      }
    } else {
      UDF_LOG(ERR, "Unknown partition map is found.\n");
    }
    off += len;
  }
  *metadata_ok = pm.type1_count >= 1 && metadata_maps == 1 && !duplicate;
  return 0;
}

// The sequence's copies in the mount record, dumped when a walk ends.
void dump_vds_copies(const mdcudfsr_mount* mnt) {
  __mdcudfsr_dump_pri_vol_desc(0, &mnt->vds.pvd, "&mdcudfsrmp->vds.pvd", 0);
  __mdcudfsr_dump_part_desc(0, &mnt->vds.pd, "&mdcudfsrmp->vds.pd", 0);
  __mdcudfsr_dump_logvol_desc(0, &mnt->vds.lvd, "&mdcudfsrmp->vds.lvd", 0);
  __mdcudfsr_dump_part_map_metadata(0, &mnt->vds.pmap.type2_metadata, "&mdcudfsrmp->vds.pmap.type2_metadata", 0);
}

// A descriptor of which the copy with the highest sequence number is kept.
template <class Desc>
void take_highest(const uint8_t* sector, void (*swap)(Desc*), Desc& kept, uint32_t flag, const char* duplicate_line,
                  ParseResult* out) {
  Desc d;
  std::memcpy(&d, sector, sizeof d);
  swap(&d);
  if (out->exist & flag) {
    UDF_LOG(WARN, "%s", duplicate_line);
    if (higher_seq(d.seq_num, kept.seq_num)) kept = d;
  } else {
    kept = d;
  }
  out->exist |= flag;
}

// The last partition descriptor is kept; a second one on write-once media
// makes the volume read-only.
void take_pd(mdcudfsr_mount* mnt, const uint8_t* sector, Mode mode, vfs_context_t ctx, ParseResult* out) {
  part_desc d;
  std::memcpy(&d, sector, sizeof d);
  mdcudfsr_swap_le2host_part_desc(&d);
  if (out->exist & VDS_HAS_PD) {
    UDF_LOG(WARN, "duplicated PartitionDesc is found, do Read Only.\n");
    if (mode == Mode::WriteOnce) mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
  }
  mnt->vds.pd = d;
  out->exist |= VDS_HAS_PD;
}

// The logical volume descriptor with the highest sequence number, counted
// as present when its partition maps are sound. 0, or the error of a map
// table that cannot be walked.
int take_lvd(mdcudfsr_mount* mnt, const uint8_t* sector, uint32_t copy_len, ParseResult* out) {
  logvol_desc d;
  std::memcpy(&d, sector, sizeof d);
  mdcudfsr_swap_le2host_logvol_desc(&d);
  if (out->exist & VDS_HAS_LVD) {
    UDF_LOG(WARN, "duplicated LogicalVolumeDesc is found.\n");
    if (!higher_seq(d.seq_num, mnt->vds.lvd.seq_num)) return 0;
  }
  mnt->vds.lvd = d;
  bool maps_ok = false;
  if (const int werr = walk_partition_maps(mnt, sector, copy_len, d.n_pm, &maps_ok)) {
    set_raw(mnt, MNTINFO_STRUCTURE_UNREADABLE);
    return werr;
  }
  if (maps_ok)
    out->exist |= VDS_HAS_LVD;
  else
    out->exist &= ~VDS_HAS_LVD;
  return 0;
}

// The unallocated space descriptor with the highest sequence number, its
// extents cut to what the mount record holds.
void take_usd(mdcudfsr_mount* mnt, const uint8_t* sector, uint32_t copy_len, ParseResult* out) {
  uint8_t block[UDF_USD_BLOCK_SIZE] = {};
  std::memcpy(block, sector, std::min<uint32_t>(copy_len, sizeof block));
  auto* d = reinterpret_cast<unalloc_space_desc*>(block);
  mdcudfsr_swap_le2host_unalloc_space_desc(d);
  if (d->num_alloc_desc > UDF_USD_MAX_EXTENTS) {
    UDF_LOG(WARN, "UnallocatedSpaceDesc holds %u extents, kept %u.\n", d->num_alloc_desc, UDF_USD_MAX_EXTENTS);
    d->num_alloc_desc = UDF_USD_MAX_EXTENTS;
  }
  bool take = true;
  if (out->exist & VDS_HAS_USD) {
    UDF_LOG(WARN, "duplicated UnallocatedSpaceDesc is found.\n");
    take = higher_seq(d->seq_num, mnt->vds.usd.seq_num);
  }
  if (take) std::memcpy(mnt->vds.usd_block, block, sizeof block);
  out->exist |= VDS_HAS_USD;
}

// One descriptor of a copy other than the terminator taken into the mount
// record: 0, or the error that ends the walk.
int take_descriptor(mdcudfsr_mount* mnt, const uint8_t* sector, uint32_t copy_len, uint16_t id, Mode mode,
                    vfs_context_t ctx, ParseResult* out) {
  auto& v = mnt->vds;
  switch (id) {
    case TAG_ID_PVD:
      take_highest(sector, mdcudfsr_swap_le2host_pri_vol_desc, v.pvd, VDS_HAS_PVD,
                   "duplicated PrimaryVolumeDesc is found.\n", out);
      return 0;
    case TAG_ID_IUVD:
      take_highest(sector, mdcudfsr_swap_le2host_imp_use_vol_desc, v.iuvd, VDS_HAS_IUVD,
                   "duplicated ImplementationUseVolumeDesc is found.\n", out);
      return 0;
    case TAG_ID_PD:
      take_pd(mnt, sector, mode, ctx, out);
      return 0;
    case TAG_ID_LVD:
      return take_lvd(mnt, sector, copy_len, out);
    case TAG_ID_USD:
      take_usd(mnt, sector, copy_len, out);
      return 0;
    default:
      UDF_LOG(WARN, "Unknown Tag=%d\n", id);
      return 0;
  }
}

// A copy whose descriptor at `index` fails its tag checks: the walk ends there.
void mark_broken(int side, uint32_t index, ParseResult* out) {
  if (side == 0)
    UDF_LOG(ERR, "MVDS is broken. MVDS offset=%d\n", static_cast<int>(index));
  else
    UDF_LOG(ERR, "RVDS is broken. RVDS offset=%d\n", static_cast<int>(index));
  out->broken = true;
  out->broken_index = static_cast<int>(index);
  out->exist = 0;
}

}  // namespace

int parse_copy(mdcudfsr_mount* mnt, const uint8_t* buf, uint32_t len, int side, Mode mode,
               const anchor_vdp* anchor, vfs_context_t ctx, ParseResult* out) {
  const uint32_t ss = mnt->logical_sector_size;
  *out = ParseResult{};
  uint8_t sector[4096];
  const uint32_t copy_len = std::min<uint32_t>(ss, sizeof sector);
  for (uint32_t i = 0; (i + 1) * ss <= len; ++i) {
    const uint8_t* raw = buf + static_cast<size_t>(i) * ss;
    out->parsed_bytes = (i + 1) * ss;
    if (!mdcudfsr_check_udf_tag_checksum(raw) || !mdcudfsr_check_udf_tag_crc(raw, ss)) {
      mark_broken(side, i, out);
      return 0;
    }
    std::memset(sector, 0, sizeof sector);
    std::memcpy(sector, raw, copy_len);
    desc_tag tag;
    std::memcpy(&tag, sector, sizeof tag);
    mdcudfsr_swap_le2host_desc_tag(&tag);
    if (tag.serial_num != anchor->tag.serial_num) {
      UDF_LOG(ERR, "TSN is invalid VDS's=%08x, AVDP's=%08x\n", tag.serial_num,
              mode == Mode::Rewritable ? mnt->avdp.tag.serial_num : anchor->tag.serial_num);
      set_raw(mnt, MNTINFO_STRUCTURE_UNREADABLE);
      return mode == Mode::Rewritable ? KEL_EFAULT : KEL_EINVAL;
    }
    if (tag.id == TAG_ID_TD) {
      out->exist |= VDS_HAS_TD;
      out->terminated = true;
      break;
    }
    if (const int err = take_descriptor(mnt, sector, copy_len, tag.id, mode, ctx, out)) return err;
  }
  dump_vds_copies(mnt);
  return 0;
}

}  // namespace udf_vds

// ---------------------------------------------------------------- rebuild helpers

void mdcudfsr_build_avdp(const mdcudfsr_mount* mnt, const anchor_vdp* from, uint32_t loc, anchor_vdp* out) {
  std::memset(out, 0, sizeof *out);
  mdcudfsr_init_udf_tag(mnt, &out->tag, from->tag.id, loc);
  out->tag.descriptor_ver = from->tag.descriptor_ver;
  out->tag.serial_num = from->tag.serial_num;
  out->main_vds_ex = from->main_vds_ex;
  out->reserve_vds_ex = from->reserve_vds_ex;
  mdcudfsr_swap_host2le_anchor_vdp(out);
  mdcudfsr_set_udf_tag_crc_and_checksum(out, sizeof *out);
}

void mdcudfsr_retag_vds_copy(const mdcudfsr_mount* mnt, uint8_t* copy, uint32_t len, uint32_t loc) {
  const uint32_t ss = mnt->logical_sector_size;
  for (uint32_t i = 0; (i + 1) * ss <= len; ++i) {
    uint8_t* s = copy + static_cast<size_t>(i) * ss;
    desc_tag t;
    std::memcpy(&t, s, sizeof t);
    mdcudfsr_swap_le2host_desc_tag(&t);
    uint32_t crc_len;
    switch (t.id) {
      case TAG_ID_PVD:
      case TAG_ID_VDP:
      case TAG_ID_IUVD:
      case TAG_ID_PD:
      case TAG_ID_TD:
        crc_len = 512;
        break;
      case TAG_ID_LVD: {
        uint32_t mt_l;
        std::memcpy(&mt_l, s + offsetof(logvol_desc, mt_l), 4);
        mt_l = mdcudfsr_le32_to_host(mt_l);
        crc_len = static_cast<uint32_t>(std::min<uint64_t>(sizeof(logvol_desc) + uint64_t{mt_l}, ss));
        break;
      }
      case TAG_ID_USD: {
        uint32_t n;
        std::memcpy(&n, s + offsetof(unalloc_space_desc, num_alloc_desc), 4);
        n = std::min(mdcudfsr_le32_to_host(n), UDF_USD_MAX_EXTENTS);
        crc_len = static_cast<uint32_t>(sizeof(unalloc_space_desc) + 8 * n);
        break;
      }
      default:
        continue;  // not a volume descriptor: left as it is
    }
    desc_tag nt;
    mdcudfsr_init_udf_tag(mnt, &nt, t.id, loc + i);
    mdcudfsr_swap_host2le_desc_tag(&nt);
    std::memcpy(s, &nt, sizeof nt);
    mdcudfsr_set_udf_tag_crc_and_checksum(s, std::min(crc_len, ss));
    if (t.id == TAG_ID_TD) break;
  }
}

// ---------------------------------------------------------------- anchors

namespace {

// Reads one anchor sector; 0 valid (copied, host order, into `out`), 2
// unreadable, 22 invalid; other values end the read (slot change, cache write).
int read_one_avdp(mdcudfsr_mount* mnt, vfs_context_t ctx, int n, int on_mount, int from_cache, uint32_t* mirror,
                  anchor_vdp* out, bool* fatal) {
  const uint32_t ss = mnt->logical_sector_size;
  const uint64_t cache_off = n == 1 ? UDF_CACHE_AVDP1 : UDF_CACHE_AVDP2;
  const uint32_t sector = n == 1 ? UDF_AVDP1_SECTOR : mnt->num_sectors - 1;
  uint8_t* s = zalloc(ss);
  if (!s) return KEL_ENOENT;
  int status = 0;
  *fatal = false;
  if (from_cache) {
    uint32_t done = 0;
    uint32_t cerr = 0;
    const int err = mdcudfsr_metacache_file_read(mnt, mnt->fsmanage_handle, cache_off, ss, s, &done, &cerr);
    if (err || cerr || done == 0) status = KEL_ENOENT;
  } else {
    std::unique_lock<std::mutex> lk(mnt->slot_mutex);
    const int err = mdcudfsr_disc_change(mnt, SLOT_KEEP_LOADED, 0, ctx, on_mount);
    if (err) {
      UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
      zfree(s);
      *fatal = true;
      return err;
    }
    buf_t bp = nullptr;
    const int rerr = buf_meta_bread(mnt->devvp, sector, static_cast<int>(ss), nullptr, &bp);
    lk.unlock();
    if (rerr) {
      status = KEL_ENOENT;
    } else {
      std::memcpy(s, buf_bytes(bp), ss);
      if (mirror && *mirror) {
        const int merr = udf_vds::mirror_to_cache(mnt, cache_off, s, ss);
        if (merr) {
          buf_brelse(bp);
          zfree(s);
          *fatal = true;
          return merr;
        }
      }
    }
    if (bp) buf_brelse(bp);
  }
  if (status == 2) {
    UDF_LOG(ERR, "AVDP_%d can't be read.(%d)\n", n, status);
  } else if (!mdcudfsr_check_udf_tag(s, TAG_ID_AVDP)) {
    UDF_LOG(ERR, "AVDP_%d TagID is invalid\n", n);
    status = KEL_EINVAL;
  } else if (!mdcudfsr_check_udf_tag_crc(s, ss)) {
    UDF_LOG(ERR, "AVDP_%d CRC is invalid\n", n);
    status = KEL_EINVAL;
  } else {
    std::memcpy(out, s, sizeof *out);
    mdcudfsr_swap_le2host_anchor_vdp(out);
    UDF_LOG(INFO, "Find enable AVDP%d. status(%d)\n", n, status);
  }
  zfree(s);
  return status;
}

bool same_extents(const anchor_vdp& a, const anchor_vdp& b) {
  return a.main_vds_ex.len == b.main_vds_ex.len && a.main_vds_ex.loc == b.main_vds_ex.loc &&
         a.reserve_vds_ex.len == b.reserve_vds_ex.len && a.reserve_vds_ex.loc == b.reserve_vds_ex.loc;
}

// Rewrites anchor `n` (1 or 2) from the good one. 0 when the read may go on
// (written, given up, or skipped); 22 when reading from the cache; a slot
// change error.
int rebuild_avdp(mdcudfsr_mount* mnt, vfs_context_t ctx, int n, const anchor_vdp& good, int on_mount, int from_cache,
                 uint32_t* mirror) {
  const uint32_t ss = mnt->logical_sector_size;
  const uint32_t loc = n == 1 ? UDF_AVDP1_SECTOR : mnt->num_sectors - 1;
  anchor_vdp built;
  mdcudfsr_build_avdp(mnt, &good, loc, &built);
  if (from_cache) return KEL_EINVAL;
  udf_vds::drop_fsmanage_cache(mnt, ctx);
  if (mirror) *mirror = 0;
  if (udf_vds::rollback_on_other_slot(mnt, MNT_EXT_ROLLBACK_REQUESTED)) {
    mnt->avdp = good;
    return 0;
  }
  const uint32_t size = unit_size(mnt);
  const uint32_t first = n == 1 ? UDF_AVDP1_SECTOR : mnt->num_sectors - size / ss;
  uint8_t* image = zalloc(size);
  if (!image) {
    UDF_LOGM(ERR, KELC, "%s\n", "buf");
  } else {
    std::memcpy(image + (n == 1 ? 0 : size - ss), &built, sizeof built);
    std::unique_lock<std::mutex> lk(mnt->slot_mutex);
    const int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, on_mount);
    if (err) {
      UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
      zfree(image);
      return err;
    }
    (void)udf_vds::write_with_attempts(mnt, ctx, first, image, size, kUnitF2 / ss, true,
                                       "Failed to write failed. status=%d\n");
    lk.unlock();
    zfree(image);
  }
  mnt->avdp = good;
  return 0;
}

}  // namespace

int mdcudfsr_read_avdp(mdcudfsr_mount* mnt, vfs_context_t ctx, int on_mount, int from_cache, uint32_t* mirror) {
  anchor_vdp a[2] = {};
  int st[2] = {0, 0};
  for (int n = 1; n <= 2; ++n) {
    bool fatal = false;
    st[n - 1] = read_one_avdp(mnt, ctx, n, on_mount, from_cache, mirror, &a[n - 1], &fatal);
    if (fatal) {
      if (mirror) *mirror = 0;
      return st[n - 1];
    }
  }
  if (st[0] != 0 && st[1] != 0) {
    if (st[0] == 2 && st[1] == 2) {
      UDF_LOG(ERR, "cannot read All AVDP . \n");
      mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE, WRPROT_READONLY);
    } else {
      UDF_LOG(ERR, "All AVDP is invalid. \n");
      mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_ANCHOR_INVALID, WRPROT_READONLY);
    }
    if (mirror) *mirror = 0;
    return st[0];
  }
  if (st[0] != 0) {
    UDF_LOG(WARN, "Rebuild AVDP1\n");
    return rebuild_avdp(mnt, ctx, 1, a[1], on_mount, from_cache, mirror);
  }
  if (st[1] != 0 || !same_extents(a[0], a[1])) {
    UDF_LOG(WARN, "Rebuild AVDP2\n");
    return rebuild_avdp(mnt, ctx, 2, a[0], on_mount, from_cache, mirror);
  }
  mnt->avdp = a[0];
  return 0;
}

// ---------------------------------------------------------------- sequences

namespace {

struct CopyState {
  bool read_ok = false;
  bool parsed = false;
  bool broken = false;
};

// The two copies of the sequence being read: main (0) and reserve (1).
struct VdsRead {
  VdsRead(mdcudfsr_mount* m, vfs_context_t c, int on_mount_, int from_cache_, uint32_t* mirror_)
      : mnt(m), ctx(c), on_mount(on_mount_), from_cache(from_cache_), mirror(mirror_),
        ext{m->avdp.main_vds_ex, m->avdp.reserve_vds_ex} {}
  VdsRead(const VdsRead&) = delete;
  VdsRead& operator=(const VdsRead&) = delete;
  ~VdsRead() {
    zfree(buf[0]);
    zfree(buf[1]);
  }

  mdcudfsr_mount* mnt;
  vfs_context_t ctx;
  int on_mount;
  int from_cache;
  uint32_t* mirror;
  extent_ad ext[2];
  uint8_t* buf[2] = {nullptr, nullptr};
  CopyState cs[2];
  udf_vds::ParseResult pr[2];
};

// Copy i from the disc, under the slot lock; a copy read is mirrored into
// the management cache when the caller asks (the reserve copy only on 0xF2
// media, half of it).
int read_copy_from_disc(VdsRead& r, int i) {
  mdcudfsr_mount* mnt = r.mnt;
  std::unique_lock<std::mutex> lk(mnt->slot_mutex);
  const int err = mdcudfsr_disc_change(mnt, SLOT_KEEP_LOADED, 0, r.ctx, r.on_mount);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  buf_t bp = nullptr;
  const int rerr = buf_meta_bread(mnt->devvp, r.ext[i].loc, static_cast<int>(kUnit), nullptr, &bp);
  lk.unlock();
  if (!rerr) std::memcpy(r.buf[i], buf_bytes(bp), kUnit);
  if (bp) buf_brelse(bp);
  r.cs[i].read_ok = rerr == 0;
  if (!r.cs[i].read_ok || !r.mirror || !*r.mirror) return 0;
  if (i == 0) return udf_vds::mirror_to_cache(mnt, UDF_CACHE_MVDS, r.buf[0], kUnit);
  if (udf_io::is_f2(mnt)) return udf_vds::mirror_to_cache(mnt, UDF_CACHE_RVDS, r.buf[1], kUnit / 2);
  return 0;
}

// Both copies, from the management cache or the disc; a copy that cannot be
// read is logged and left unread.
int read_copies(VdsRead& r) {
  for (int i = 0; i < 2; ++i) {
    if (r.from_cache) {
      uint32_t done = 0;
      uint32_t cerr = 0;
      const int err = mdcudfsr_metacache_file_read(r.mnt, r.mnt->fsmanage_handle,
                                                   i == 0 ? UDF_CACHE_MVDS : UDF_CACHE_RVDS, kUnit, r.buf[i], &done,
                                                   &cerr);
      r.cs[i].read_ok = err == 0 && cerr == 0 && done != 0;
    } else if (const int err = read_copy_from_disc(r, i)) {
      return err;
    }
    if (!r.cs[i].read_ok) {
      if (i == 0)
        UDF_LOG(ERR, "MVDS is not read. MVDS offset=%d\n", r.ext[0].loc);
      else
        UDF_LOG(ERR, "RVDS is not read. RVDS offset=%d\n", r.ext[1].loc);
    }
  }
  return 0;
}

// The copies parsed (the reserve one only when the main one is not sound
// and terminated). A copy with a bad checksum is marked broken; an
// unterminated one must fill its unit, a terminated one hold every descriptor.
int parse_copies(VdsRead& r) {
  const extent_ad* ext = r.ext;
  for (int i = 0; i < 2; ++i) {
    if (i == 1 && r.cs[0].read_ok && !r.cs[0].broken && r.pr[0].terminated) break;
    if (!r.cs[i].read_ok) continue;
    const int perr =
        udf_vds::parse_copy(r.mnt, r.buf[i], kUnit, i, udf_vds::Mode::WriteOnce, &r.mnt->avdp, r.ctx, &r.pr[i]);
    if (perr) return perr;
    r.cs[i].parsed = true;
    if (r.pr[i].broken) {
      r.cs[i].broken = true;
      continue;
    }
    if (!r.pr[i].terminated) {
      if (ext[0].len != ext[1].len)
        UDF_LOG(WARN, "main and reserved VDS were read but they have different lengths (main=%d, reserve=%d bytes)\n",
                ext[0].len, ext[1].len);
      if (ext[i].len != kUnit) {
        UDF_LOG(ERR, "unexpected VDS byte length (%p) should be 0x%x\n",
                reinterpret_cast<void*>(static_cast<uintptr_t>(ext[i].len)), kUnit);
        return KEL_EINVAL;
      }
    } else if ((r.pr[i].exist & VDS_HAS_ALL) != VDS_HAS_ALL) {
      UDF_LOG(ERR, "VDS is invalid structure.exist_desc=%08x\n", r.pr[i].exist);
      mdcudfsr_set_mntinfo_state(r.mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE, WRPROT_READONLY);
      return KEL_EINVAL;
    }
  }
  return 0;
}

// Neither copy usable: the volume is refused (rules broken when both
// checksums failed).
int refuse_without_copy(VdsRead& r) {
  if (r.cs[0].broken && r.cs[1].broken) {
    r.mnt->mntinfo.MountStatus = MNTINFO_RULES_BROKEN;
    UDF_LOG(ERR, "MVDS & RVDS checksum invalid, RAW mount.\n");
  } else {
    UDF_LOG(ERR, "MVDS & RVDS invalid, RAW mount.\n");
  }
  mdcudfsr_set_mntinfo_state(r.mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE, WRPROT_READONLY);
  return KEL_EINVAL;
}

// The bad copy rebuilt from the good one, retagged at its place, and
// written on the last written disc: alone when it has a write unit of its
// own (a failed sync cannot lose the good copy then), else with the good one.
int rewrite_bad_copy(VdsRead& r, int badi) {
  mdcudfsr_mount* mnt = r.mnt;
  const uint32_t ss = mnt->logical_sector_size;
  const int goodi = 1 - badi;
  const uint32_t image_size = udf_io::is_f2(mnt) ? udf_io::kVdsImageF2 : kUnit;
  const uint32_t reserve_off = (udf_io::is_f2(mnt) ? 128u : 16u) * ss;
  // Each copy occupies its own extent length, clamped to the room it has in the
  // image and in the copy buffer.
  const uint32_t room[2] = {std::min(reserve_off, kUnit), std::min(image_size - reserve_off, kUnit)};
  const uint32_t len[2] = {std::min(r.ext[0].len, room[0]) / ss * ss, std::min(r.ext[1].len, room[1]) / ss * ss};
  uint8_t* image = zalloc(image_size);
  if (!image) return KEL_EIO;
  std::unique_lock<std::mutex> lk(mnt->slot_mutex);
  const int err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, r.ctx, r.on_mount);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    zfree(image);
    return err;
  }
  std::memset(r.buf[badi], 0, kUnit);
  std::memcpy(r.buf[badi], r.buf[goodi], std::min(len[badi], kUnit));
  mdcudfsr_retag_vds_copy(mnt, r.buf[badi], len[badi], r.ext[badi].loc);
  std::memcpy(image, r.buf[0], len[0]);
  std::memcpy(image + reserve_off, r.buf[1], len[1]);
  const bool alone = reserve_off % kUnit == 0;
  const uint32_t off = alone && badi == 1 ? reserve_off : 0;
  const uint32_t size = !alone ? image_size : badi == 0 ? reserve_off : image_size - reserve_off;
  const int result = udf_vds::write_with_attempts(mnt, r.ctx, r.ext[0].loc + off / ss, image + off, size, size / ss,
                                                  false, "Failed to write with status %d. \n");
  lk.unlock();
  zfree(image);
  return result;
}

// One copy bad: read from the cache this refuses (22); else the cache file
// goes and the copy is rewritten, unless a rollback on another slot or an
// anchor that names other places keeps the good copy in memory only.
int repair_one_copy(VdsRead& r, int badi) {
  UDF_LOG(ERR, badi == 0 ? "Rebuild MVDS\n" : "Rebuild RVDS\n");
  if (r.from_cache) return KEL_EINVAL;
  udf_vds::drop_fsmanage_cache(r.mnt, r.ctx);
  if (r.mirror) *r.mirror = 0;
  if (udf_vds::rollback_on_other_slot(r.mnt, MNT_EXT_ROLLBACK_REQUESTED)) return 0;
  // Anchors that name other places: the good copy is kept in memory only.
  if (udf_vds::check_vds_layout(r.mnt, r.ctx)) return 0;
  return rewrite_bad_copy(r, badi);
}

int read_and_check_vds(VdsRead& r, int invalidate) {
  if (r.ext[0].len < 0x8000 || r.ext[1].len < 0x8000)
    UDF_LOGM(ERR, KELC, "LVD size is too small (main:%d, reserve:%d). \n", r.ext[0].len, r.ext[1].len);
  for (int i = 0; i < 2; ++i) {
    r.buf[i] = zalloc(kUnit);
    if (!r.buf[i]) {
      UDF_LOG(ERR, i == 0 ? "can't allocate vds_buf[0].\n" : "can't allocate vds_buf[1].\n");
      return KEL_ENOMEM;
    }
  }
  if (invalidate) (void)buf_invalidateblks(r.mnt->devvp, 0, 0, 0);
  if (const int err = read_copies(r)) return err;
  if (const int err = parse_copies(r)) return err;
  const bool bad[2] = {!r.cs[0].read_ok || r.cs[0].broken, !r.cs[1].read_ok || r.cs[1].broken};
  if (bad[0] && bad[1]) return refuse_without_copy(r);
  if (!bad[0] && !bad[1]) return 0;
  return repair_one_copy(r, bad[0] ? 0 : 1);
}

}  // namespace

int mdcudfsr_read_vds(mdcudfsr_mount* mnt, vfs_context_t ctx, int invalidate, int on_mount, int from_cache,
                      uint32_t* mirror) {
  UDF_TRACE_ENTRY();
  VdsRead r(mnt, ctx, on_mount, from_cache, mirror);
  const int err = read_and_check_vds(r, invalidate);
  if (err != 0 && mirror) *mirror = 0;
  UDF_TRACE_EXIT_ERR(err);
  return err;
}

// Shared with the metadata writers (udf/udf_efe.h).
void mdcudfsr_drop_fsmanage_cache(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (mnt->fsmanage_handle >= 0) (void)mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
  mnt->fsmanage_handle = -1;
  (void)mdcudfsr_metacache_fsmanage_delete(mnt, mdcudfsr_context_node(ctx));
  // The mount goes on from the disc alone: nothing may be read from or
  // written to the file it no longer has.
  mnt->fs_cache_mode = 0;
  mnt->fs_cache_created = 0;
  mnt->disk_data_mode = 1;
}
