// Logical volume integrity descriptor (see udf_lvid.h).
#include "udf/udf_lvid.h"
#include "kelcache/cache.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_flush.h"
#include "udf/udf_vrs.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cassert>
#include <cstring>
#include <string>

using namespace udf_io;

namespace {

constexpr uint32_t kVolumeStatusChecked = 0x80;
constexpr uint32_t kVolumeStatusOpen = 0x10;
constexpr uint32_t kMntExtRollbackRequested = 0x20;
constexpr uint32_t kMntExtNoFinalizedMark = 0x40;
constexpr uint32_t kMntExtRollbackMount = 0x80;
constexpr uint32_t kWrprotFinalized = 0x1000;
constexpr uint32_t kAttrUniqueIdOffset = 357;

uint32_t lvid_location(const mdcudfsr_mount* mnt) { return mnt->vds.lvd.integrity_seq_id.loc; }

void refuse(mdcudfsr_mount* mnt, uint32_t status) {
  mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, status, WRPROT_READONLY);
}

void drop_cache_file(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
  mnt->fsmanage_handle = -1;
  mdcudfsr_metacache_fsmanage_delete(mnt, mdcudfsr_context_node(ctx));
}

}  // namespace

imp_use_logvol_integrity_desc* mdcudfsr_lvid_imp_use(logvol_integrity_desc* lvid, uint32_t n) {
  return reinterpret_cast<imp_use_logvol_integrity_desc*>(reinterpret_cast<uint8_t*>(lvid) +
                                                          sizeof(logvol_integrity_desc) + 8u * n);
}

namespace {

// The unit read from the disc kept in the cache file: 0, or the error.
int save_lvid_unit(mdcudfsr_mount* mnt, const uint8_t* buf) {
  uint32_t done = 0, cache_err = 0;
  int err = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, MDCUDFSR_CACHE_LVID_OFFSET, kUnit, buf, &done,
                                          &cache_err);
  if (err) {
    UDF_LOG(ERR, "mdcudfsr_metacache_file_write failed. err:%d \n", err);
  } else if (cache_err) {
    UDF_LOG(ERR, "mdcudfsr_metacache_file_write success. but cache err:%d \n", cache_err);
    UDF_LOG(ERR, "mdcudfsr_metacache_file_write failed. err:%d \n", 22);
    err = KEL_EINVAL;
  }
  return err;
}

// The 64 KiB unit at the integrity sequence, from the cache file or the
// disc (then kept in the cache file when asked). 0 with *read_ok, or the
// error of that keeping.
int read_lvid_unit(mdcudfsr_mount* mnt, uint8_t* buf, int invalidate, int from_cache, int save_to_cache,
                   bool* read_ok) {
  if (from_cache) {
    uint32_t done = 0, cache_err = 0;
    const int err = mdcudfsr_metacache_file_read(mnt, mnt->fsmanage_handle, MDCUDFSR_CACHE_LVID_OFFSET, kUnit, buf,
                                                 &done, &cache_err);
    if (!err && cache_err) UDF_LOG(ERR, "mdcudfsr_metacache_file_read success. but cache err:%d \n", cache_err);
    *read_ok = !err && !cache_err && done != 0;
    return 0;
  }
  int err = 0;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    if (invalidate) buf_invalidateblks(mnt->devvp, 0, 0, 0);
    buf_t bp = nullptr;
    err = buf_meta_bread(mnt->devvp, lvid_location(mnt), kUnit, nullptr, &bp);
    if (!err) std::memcpy(buf, buf_bytes(bp), kUnit);
    if (bp) buf_brelse(bp);
  }
  *read_ok = !err;
  return *read_ok && save_to_cache ? save_lvid_unit(mnt, buf) : 0;
}

// The descriptor's tag and CRC, and its partition count: two and more,
// and (unless a rollback is asked for or mounted) the last written slot's
// plus two. 0, or 22 with the volume refused.
int check_lvid_block(mdcudfsr_mount* mnt, const uint8_t* buf) {
  const uint32_t ss = mnt->logical_sector_size;
  if (!mdcudfsr_check_udf_tag(buf, TAG_ID_LVID) || !mdcudfsr_check_udf_tag_crc(buf, ss)) {
    UDF_LOG(ERR, "Failed to check sum or crc.\n");
    refuse(mnt, MNTINFO_STRUCTURE_UNREADABLE);
    return KEL_EINVAL;
  }
  const uint32_t n = mdcudfsr_le32_to_host(reinterpret_cast<const logvol_integrity_desc*>(buf)->num_partitions);
  if (n < 2 || n > MDCUDFSR_MAX_PARTITIONS) {
    UDF_LOG(ERR, "LVID partition num(%d) is invalid.\n", n);
    refuse(mnt, MNTINFO_ANCHOR_INVALID);
    return KEL_EINVAL;
  }
  if (!(mnt->mount_ext_flags & (kMntExtRollbackRequested | kMntExtRollbackMount)) && n != mnt->current_disc + 2) {
    UDF_LOG(ERR, "LVID partition num(%d) is different from lastwrittenslot+2(%d). \n", n, mnt->current_disc + 2);
    refuse(mnt, MNTINFO_ANCHOR_INVALID);
    return KEL_EINVAL;
  }
  return 0;
}

// The descriptor taken into the mount: its free space table on rewritable
// media, our serial number, the next unique identifier; the sequence must
// end with a terminator right after it (else 22 with the volume refused).
int take_lvid(mdcudfsr_mount* mnt, const uint8_t* buf) {
  const uint32_t ss = mnt->logical_sector_size;
  std::memcpy(mnt->lvid_block, buf, sizeof mnt->lvid_block);
  mdcudfsr_swap_le2host_logvol_integrity_desc(&mnt->lvid);
  const uint32_t n = mnt->lvid.num_partitions;
  if (mnt->is_rewritable) {
    const uint32_t* free_table = reinterpret_cast<const uint32_t*>(mnt->lvid_block + sizeof(logvol_integrity_desc));
    for (uint32_t i = 0; i < n; ++i) mnt->free_space[i] = free_table[i];
  }
  mnt->lvid.tag.serial_num = mnt->avdp.tag.serial_num;
  mnt->next_unique_id = mnt->lvid.unique_id;
  uint16_t next_id;
  std::memcpy(&next_id, buf + ss, 2);
  next_id = mdcudfsr_le16_to_host(next_id);
  if (next_id == TAG_ID_TD) return 0;
  if (next_id == TAG_ID_LVID)
    UDF_LOG(ERR, "second lvid is found.\n");
  else
    UDF_LOG(ERR, "Second desc tag id(%d) is not TD.\n", next_id);
  refuse(mnt, MNTINFO_RULES_BROKEN);
  return KEL_EINVAL;
}

// Whether a block that reads holds no descriptor: its tag's checksum is
// wrong, or the tag is an integrity descriptor's whose CRC is wrong (a write
// lost or torn on its way). A sound tag of another descriptor is not such
// a block: the volume points at the wrong place.
bool torn_lvid_block(const mdcudfsr_mount* mnt, const uint8_t* buf) {
  if (!mdcudfsr_check_udf_tag_checksum(buf)) return true;
  uint16_t id;
  std::memcpy(&id, buf, 2);
  return mdcudfsr_le16_to_host(id) == TAG_ID_LVID && !mdcudfsr_check_udf_tag_crc(buf, mnt->logical_sector_size);
}

// Whether a mount may stand in for a block that reads but holds no
// descriptor: a mount from the medium that scans the whole tree (the next
// unique id is taken above every id it finds), neither a rollback mount nor
// one whose last written slot has no table entry.
bool may_rebuild_lvid(const mdcudfsr_mount* mnt, int mounting, int from_cache, const uint8_t* buf) {
  if (!mounting || from_cache || !torn_lvid_block(mnt, buf)) return false;
  if (mnt->mount_ext_flags & (kMntExtRollbackRequested | kMntExtRollbackMount | MDCUDFSR_MNT_EXT_NO_SCAN)) return false;
  return mnt->current_disc + 2 <= MDCUDFSR_MAX_PARTITIONS;
}

// The descriptor in memory made from what the volume itself records, in
// place of a block a lost or torn write left without one (ECMA-167 3/10.10):
// open, as a volume not closed cleanly; one partition per disc written plus
// the metadata partition; free space not specified (the next flush counts
// it from the tree); the implementation identifier of the logical volume
// descriptor, so that the volume's format and repair versions are checked
// as the descriptor's would be. The next unique id is left at 0 for the
// tree scan to raise above every id in use; the counts and sizes are
// filled by the next flush.
void rebuild_lvid(mdcudfsr_mount* mnt) {
  std::memset(mnt->lvid_block, 0, sizeof mnt->lvid_block);
  logvol_integrity_desc* lv = &mnt->lvid;
  lv->tag.id = TAG_ID_LVID;
  lv->tag.serial_num = mnt->avdp.tag.serial_num;
  lv->tag.tag_loc = lvid_location(mnt);
  lv->integrity_type = 0;
  const uint32_t n = mnt->current_disc + 2;
  lv->num_partitions = n;
  lv->length_imp_use = sizeof(imp_use_logvol_integrity_desc);
  uint32_t* free_table = reinterpret_cast<uint32_t*>(mnt->lvid_block + sizeof(logvol_integrity_desc));
  for (uint32_t i = 0; i < n; ++i) {
    free_table[i] = 0xFFFFFFFFu;
    if (mnt->is_rewritable) mnt->free_space[i] = 0xFFFFFFFFu;
  }
  imp_use_logvol_integrity_desc* iu = mdcudfsr_lvid_imp_use(lv, n);
  iu->imp_use_id = mnt->vds.lvd.imp_id;
  iu->min_udf_read_rev = 0x0250;
  iu->min_udf_write_rev = mnt->is_rewritable ? 0x0250 : 0x0260;
  iu->max_udf_write_rev = iu->min_udf_write_rev;
  mnt->next_unique_id = 0;
  UDF_LOG(WARN, "LVID block %u holds no descriptor. rebuilt from the volume as open.\n", lvid_location(mnt));
}

}  // namespace

int mdcudfsr_read_lvid(mdcudfsr_mount* mnt, vfs_context_t, int invalidate, int mounting, int from_cache,
                       int save_to_cache) {
  UDF_TRACE_ENTRY();
  uint8_t* buf = zalloc(kUnit);
  if (!buf) {
    UDF_LOG(ERR, "no memory for lvid buffer \n");
    return KEL_ENOMEM;
  }
  bool read_ok = false;
  int err = read_lvid_unit(mnt, buf, invalidate, from_cache, save_to_cache, &read_ok);
  if (!err && !read_ok) {
    // A block that cannot be read is not known to hold no descriptor.
    UDF_LOG(ERR, "Failed to read LVID.\n");
    mdcudfsr_set_mntinfo_state(mnt, 0, MNTINFO_STRUCTURE_UNREADABLE, WRPROT_READONLY);
    err = KEL_EINVAL;
  } else if (!err && may_rebuild_lvid(mnt, mounting, from_cache, buf)) {
    rebuild_lvid(mnt);
  } else if (!err) {
    err = check_lvid_block(mnt, buf);
    if (!err) err = take_lvid(mnt, buf);
  }
  zfree(buf);
  UDF_TRACE_EXIT_ERR(err);
  return err;
}

uint32_t mdcudfsr_get_lvid_integrity_type(mdcudfsr_mount* mnt) {
  std::lock_guard lk(mnt->lvid_mutex);
  return mnt->lvid.integrity_type;
}

namespace {

// Whether the descriptor's tag is its own and its integrity type known
// (logged when not).
bool lvid_tag_sound(const mdcudfsr_mount* mnt, uint32_t type) {
  if (mnt->lvid.tag.id != TAG_ID_LVID) {
    UDF_LOG(ERR, "Tag id(%d) is not LVID.\n", mnt->lvid.tag.id);
    return false;
  }
  if (mnt->lvid.tag.serial_num != mnt->avdp.tag.serial_num) {
    UDF_LOG(ERR, "Tag serial number(%d) is not equal AVDP's Number(%d).\n", mnt->lvid.tag.serial_num,
            mnt->avdp.tag.serial_num);
    return false;
  }
  if (type > 1) {
    UDF_LOG(ERR, "Invalid integrity type(%d).\n", type);
    return false;
  }
  return true;
}

// A broken rule that leaves the volume readable: read-only, 30.
int rules_read_only(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->mntinfo.MountStatus = MNTINFO_RULES_BROKEN;
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
  return KEL_EROFS;
}

// The finalization marks of a write-once volume (`state`: the low nibble 3
// finalized, 2 finalizing): 30 when they make the volume read-only, else 0.
int check_finalization(mdcudfsr_mount* mnt, uint8_t state, vfs_context_t ctx) {
  int result = 0;
  if ((state & 0x0F) == 3) {
    const uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags;
    if ((reasons & kWrprotFinalized) || (mnt->mount_ext_flags & kMntExtNoFinalizedMark)) {
      if (mnt->mntinfo.MountStatus == 0 && mnt->mntinfo.AccessMode == 0 && reasons == (kWrprotFinalized | WRPROT_READONLY))
        mnt->mntinfo.WriteProtectReasonFlags = kWrprotFinalized;
    } else {
      UDF_LOG(ERR, "CLOSE_TRACK_SESSION failed -> LVID FINALIZED, but !MDCFS_WRITE_PROTECT_FINALIZED_MEDIA \n");
      mnt->mntinfo.MountStatus = 0;
      mnt->mntinfo.AccessMode = 0;
      mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
      result = KEL_EROFS;
    }
  }
  if (state == 2) {
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
    UDF_LOG(WARN, "LVID operation status is finalizing. read only mount\n");
    result = KEL_EROFS;
  }
  return result;
}

// The format and repair versions of our own implementation identifier:
// 0, 30 when the volume is to be read-only, 22 when refused (raw mount).
int check_format_versions(mdcudfsr_mount* mnt, const imp_use_logvol_integrity_desc* iu, bool open,
                          vfs_context_t ctx) {
  const uint8_t fv = iu->imp_use_id.id_suffix[2], rv = iu->imp_use_id.id_suffix[3];
  UDF_LOG(WARN, "Driver: FormatVer:0x%02X, RepairVer:0x%02X/LVID: FormatVer:0x%02X, RepairVer:0x%02X\n",
          MDCUDFSR_FSFV, MDCUDFSR_FSRV, fv, rv);
  if (fv & 0x80) {
    UDF_LOG(ERR, open ? "LVID is opend, and Format Version MSB on do RAW mount.\n"
                      : "LVID is closed, and Format Version MSB on. do RAW mount.\n");
    refuse(mnt, MNTINFO_RULES_BROKEN);
    return KEL_EINVAL;
  }
  if (fv > MDCUDFSR_FSFV) {
    UDF_LOG(WARN, open ? "LVID is opend, and Format Version > FSFV. do Read Only mount.\n"
                       : "LVID is closed, and Format Version > FSFV. do Read Only mount.\n");
    return rules_read_only(mnt, ctx);
  }
  if (rv > MDCUDFSR_FSRV) {
    if (open) {
      UDF_LOG(WARN, "LVID is opend, and LVID Repair Version is over FSRV on do Read Only mount.\n");
      return rules_read_only(mnt, ctx);
    }
    UDF_LOG(WARN, "LVID is closed, and LVID Repair Version is over FSRV.\n");
  }
  return 0;
}

// The implementation use of the descriptor: another implementation's
// volume is read-only; of ours, the writing system and the UDF revisions
// must be ones we read, then the format versions are checked. 0, 30 when
// the volume is to be read-only, 22 when refused (raw mount).
int check_implementation(mdcudfsr_mount* mnt, const imp_use_logvol_integrity_desc* iu, bool open,
                         vfs_context_t ctx) {
  if (std::memcmp(iu->imp_use_id.id, "*Tarn KELFS", 12) != 0) {
    UDF_LOG(WARN, "FSD ImplementationID(%s) not valid.\n",
            std::string(reinterpret_cast<const char*>(iu->imp_use_id.id), 23).c_str());
    mnt->mntinfo.MountStatus = MNTINFO_RULES_BROKEN;
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
    return 0;
  }
  const uint8_t os_class = iu->imp_use_id.id_suffix[0], os_id = iu->imp_use_id.id_suffix[1];
  if (open && !((os_class == 6 && os_id == 0) || (os_class == 3 && os_id == 1) || (os_class == 4 && os_id == 5))) {
    UDF_LOG(ERR, "LVID ImplUse Suffix osClass(%d) and osId(%d) are not supo.\n", os_class, os_id);
    refuse(mnt, MNTINFO_RULES_BROKEN);
    return KEL_EINVAL;
  }
  if (iu->min_udf_read_rev > 0x0250) {
    UDF_LOG(ERR, "Min Read Version > 2.50. lvid_impl_use->min_udf_read_rev=%x. \n", iu->min_udf_read_rev);
    refuse(mnt, MNTINFO_RULES_BROKEN);
    return KEL_EINVAL;
  }
  int result = 0;
  const uint16_t write_limit = mnt->is_rewritable ? 0x0250 : 0x0260;
  if (iu->min_udf_write_rev > write_limit) {
    UDF_LOG(ERR, "Min Write Version > %x. lvid_impl_use->min_udf_write_rev=%x. \n", write_limit,
            iu->min_udf_write_rev);
    result = rules_read_only(mnt, ctx);
  }
  const int versions = check_format_versions(mnt, iu, open, ctx);
  return versions ? versions : result;
}

}  // namespace

int mdcudfsr_check_lvid_structure(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  const uint32_t type = mdcudfsr_get_lvid_integrity_type(mnt) & 0xFF;
  if (!lvid_tag_sound(mnt, type)) {
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE, WRPROT_READONLY);
    if (!(mnt->mount_ext_flags & MNT_EXT_PVD_READONLY)) mnt->mntinfo.VolumeStatus = 0;
    UDF_TRACE_EXIT_ERR(22);
    return KEL_EINVAL;
  }
  const bool open = type == 0;
  uint32_t n = mnt->lvid.num_partitions;
  if (n > MDCUDFSR_MAX_PARTITIONS) n = MDCUDFSR_MAX_PARTITIONS;
  const imp_use_logvol_integrity_desc* iu = mdcudfsr_lvid_imp_use(&mnt->lvid, n);
  const uint8_t s = iu->imp_use_id.id_suffix[4];
  int result = mnt->is_rewritable ? 0 : check_finalization(mnt, s, ctx);
  const int implementation = check_implementation(mnt, iu, open, ctx);
  if (implementation == 22) {
    UDF_TRACE_EXIT_ERR(22);
    return KEL_EINVAL;
  }
  if (implementation) result = implementation;
  if (!(mnt->mount_ext_flags & MNT_EXT_PVD_READONLY))
    mnt->mntinfo.VolumeStatus = static_cast<uint8_t>(s | (open ? kVolumeStatusOpen : 0) | kVolumeStatusChecked);
  UDF_TRACE_EXIT_ERR(result);
  return result;
}

uint64_t mdcudfsr_get_next_unique_id(mdcudfsr_mount* mnt) {
  std::lock_guard lk(mnt->lvid_mutex);
  uint64_t v = mnt->next_unique_id;
  // Ids whose low word is 0-15 are reserved: neither this one nor the next
  // one handed out may have such a low word.
  if (static_cast<uint32_t>(v) < 16) v = (v & ~uint64_t{0xFFFFFFFF}) | 16;
  uint64_t next = v + 1;
  if (static_cast<uint32_t>(next) < 16) next += 16 - static_cast<uint32_t>(next);
  mnt->next_unique_id = next;
  return v;
}

namespace {

// A rollback takes the next unique id from the rollback point's attribute.
int unique_id_of_rollback_point(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (!(mnt->mount_ext_flags & kMntExtRollbackRequested)) return 0;
  uint8_t attr[MDCUDFSR_ATTRIBUTE_RECORD_SIZE];
  const int err = mdcudfsr_read_attribute(mnt, attr, sizeof attr, 1, 0, ctx, 1);
  if (err) {
    UDF_LOG(ERR, "Failed to READ ATTRIBUTE for rollback point data and read only err =  %d. \n", err);
    return err;
  }
  uint32_t id;
  std::memcpy(&id, attr + kAttrUniqueIdOffset, 4);
  mnt->next_unique_id = uint64_t{id} + 1;
  return 0;
}

// The descriptor in memory: recorded now, one partition per disc written
// plus the metadata partition, the next unique id, and the free-space and
// size tables.
void fill_lvid(mdcudfsr_mount* mnt, uint32_t n) {
  const uint32_t ss = mnt->logical_sector_size, bs = mnt->logical_block_size;
  logvol_integrity_desc* lv = &mnt->lvid;
  timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(mnt, &now, &lv->recording_date_time);
  lv->length_imp_use = sizeof(imp_use_logvol_integrity_desc);
  if (lv->num_partitions != n && !(mnt->mount_ext_flags & (kMntExtRollbackRequested | kMntExtRollbackMount)))
    UDF_LOG(WARN, "LVID partition num(%d) is different from lastwrittenslot+2(%d). mount_ext_flags 0x%x \n",
            lv->num_partitions, n, mnt->mount_ext_flags);
  lv->num_partitions = n;
  lv->unique_id = mnt->next_unique_id;
  uint32_t* tables = reinterpret_cast<uint32_t*>(mnt->lvid_block + sizeof(logvol_integrity_desc));
  for (uint32_t i = 0; i < n; ++i) {
    tables[i] = mnt->is_rewritable ? mnt->free_space[i] : 0xFFFFFFFFu;
    tables[n + i] = i == 0 ? static_cast<uint32_t>(mnt->metadata_main_partition_length / ss)
                           : static_cast<uint32_t>(uint64_t{mnt->vds.pd.part_len} * bs / ss);
  }
}

// The implementation use after the tables: our identifier (with the rollback
// point's version bytes in a mode-2 rollback), the object counts and the
// revisions.
void fill_lvid_imp_use(mdcudfsr_mount* mnt, uint32_t n) {
  imp_use_logvol_integrity_desc* iu = mdcudfsr_lvid_imp_use(&mnt->lvid, n);
  std::memset(iu, 0, sizeof *iu);
  mdcudfsr_make_regid(mnt, &iu->imp_use_id, REGID_IMPLEMENTATION);
  if ((mnt->mount_ext_flags & kMntExtRollbackRequested) && mnt->rollback_mode == 2) {
    iu->imp_use_id.id_suffix[2] = mnt->rollback_version[0];
    iu->imp_use_id.id_suffix[3] = mnt->rollback_version[1];
  }
  uint32_t files = 0, dirs = 0;
  mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  iu->num_files = files;
  // The cache counts folders that have a parent; UDF 2.50 2.2.6.4 counts the
  // root directory too.
  iu->num_dirs = dirs + 1;
  iu->min_udf_read_rev = 0x0250;
  iu->min_udf_write_rev = mnt->is_rewritable ? 0x0250 : 0x0260;
  iu->max_udf_write_rev = iu->min_udf_write_rev;
}

// The write unit: the descriptor in medium order with its CRC, and a
// terminating descriptor in the next sector.
void encode_lvid_unit(mdcudfsr_mount* mnt, uint8_t* buf, uint32_t loc, uint32_t n) {
  const uint32_t ss = mnt->logical_sector_size;
  const uint32_t len = sizeof(logvol_integrity_desc) + 8 * n + sizeof(imp_use_logvol_integrity_desc);
  std::memcpy(buf, mnt->lvid_block, len);
  mdcudfsr_swap_host2le_logvol_integrity_desc(reinterpret_cast<logvol_integrity_desc*>(buf));
  mdcudfsr_set_udf_tag_crc_and_checksum(buf, len);
  desc_tag td{};
  mdcudfsr_init_udf_tag(mnt, &td, TAG_ID_TD, loc + 1);
  mdcudfsr_swap_host2le_desc_tag(&td);
  std::memcpy(buf + ss, &td, sizeof td);
  mdcudfsr_set_udf_tag_crc_and_checksum(buf + ss, 512);
}

// Whether the medium holds the unit already; a failed comparison writes.
bool already_written(mdcudfsr_mount* mnt, uint8_t* buf, uint32_t loc, uint32_t unit, vfs_context_t ctx) {
  uint32_t identical = 0;
  if (const int err = mdcudfsr_is_writing_descriptor_exist(mnt, buf, loc, unit / mnt->logical_block_size,
                                                           &identical, ctx)) {
    UDF_LOG(WARN, "failed to compare buffer with status %d. do write \n", err);
    return false;
  }
  return identical != 0;
}

// A management cache file keeps an image of the unit; without memory for
// it, the cache file is dropped.
void keep_cache_image(mdcudfsr_mount* mnt, const uint8_t* buf, vfs_context_t ctx) {
  if (mnt->fsmanage_handle == -1) return;
  if (!mnt->lvid_cache_image) mnt->lvid_cache_image = zalloc(MDCUDFSR_IMAGE_SIZE);
  if (mnt->lvid_cache_image)
    std::memcpy(mnt->lvid_cache_image, buf, MDCUDFSR_IMAGE_SIZE);
  else
    drop_cache_file(mnt, ctx);
}

// After a failed write the medium may already show the unit, read back
// from the drive's cache or left there by a loss of the drive's power: only
// a good SYNCHRONIZE CACHE (and the verify, where the write verifies)
// confirms it.
int confirm_lvid_unit(mdcudfsr_mount* mnt, int verify, vfs_context_t ctx) {
  int err = sync_last_written(mnt, ctx);
  if (!err && verify) err = verify_on_last_written(mnt, lvid_location(mnt), unit_size(mnt), ctx);
  return err;
}

int write_lvid_unit(mdcudfsr_mount* mnt, const uint8_t* buf, uint32_t loc, uint32_t unit, int verify,
                    vfs_context_t ctx) {
  keep_cache_image(mnt, buf, ctx);
  int err = write_on_last_written(mnt, buf, loc, unit, ctx, udf_log::FS, "buf_bwrite is failed.(%d)\n");
  if (!err) err = sync_last_written(mnt, ctx);
  if (!err && verify) err = verify_on_last_written(mnt, loc, unit, ctx);
  return err;
}

}  // namespace

// The caller holds lvid_mutex (the integrity type, the unique-id counter and
// the descriptor write are guarded by it; the slot mutex is taken inside).
// It is not taken here: every caller already holds it.
int mdcudfsr_flush_lvid(mdcudfsr_mount* mnt, int no_write, vfs_context_t ctx, int verify) {
  UDF_TRACE_ENTRY();
  assert(mnt->lvid_mutex.held_by_this_thread() && "mdcudfsr_flush_lvid needs lvid_mutex");
  if (mnt->current_disc + 2 > MDCUDFSR_MAX_PARTITIONS) {
    UDF_LOG(ERR, "last written slot %u has no free space entry.\n", mnt->current_disc);
    UDF_TRACE_EXIT_ERR(22);
    return KEL_EINVAL;
  }
  if (const int err = unique_id_of_rollback_point(mnt, ctx)) {
    UDF_TRACE_EXIT_ERR(err);
    return err;
  }
  const uint32_t unit = unit_size(mnt);
  uint8_t* buf = zalloc(unit);
  if (!buf) {
    UDF_LOG(ERR, "can't allocate buf.\n");
    UDF_TRACE_EXIT_ERR(12);
    return KEL_ENOMEM;
  }
  const uint32_t loc = lvid_location(mnt);
  const uint32_t n = mnt->current_disc + 2;
  fill_lvid(mnt, n);
  fill_lvid_imp_use(mnt, n);
  encode_lvid_unit(mnt, buf, loc, n);
  if (already_written(mnt, buf, loc, unit, ctx)) {
    UDF_LOG(INFO, "skip lvid flush\n");
    mnt->lvid_unconfirmed = 0;
    zfree(buf);
    UDF_TRACE_EXIT_ERR(0);
    return 0;
  }
  const int err = no_write ? 0 : write_lvid_unit(mnt, buf, loc, unit, verify, ctx);
  if (!no_write) mnt->lvid_unconfirmed = err ? 1 : 0;
  if (mnt->lvid.integrity_type == 1)
    mdcudfsr_volume_status(mnt).fetch_and(static_cast<uint8_t>(~kVolumeStatusOpen));
  else
    mdcudfsr_volume_status(mnt).fetch_or(static_cast<uint8_t>(kVolumeStatusOpen));
  zfree(buf);
  UDF_TRACE_EXIT_ERR(err);
  return err;
}

namespace {

// The descriptor written, in up to kMaxWriteRetry + 1 attempts, each one
// after the first confirmed by a good sync: 0, or the last error. A
// confirmed write clears lvid_unconfirmed.
int write_lvid_with_retries(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  int err = 0;
  for (uint32_t attempt = 0; attempt <= kMaxWriteRetry; ++attempt) {
    const int verify = mnt->is_rewritable ? 0 : 1;
    mnt->lvid_flush_in_progress = 1;
    err = mdcudfsr_flush_lvid(mnt, 0, ctx, verify);
    if (!err && attempt > 0) err = confirm_lvid_unit(mnt, verify, ctx);
    mnt->lvid_flush_in_progress = 0;
    if (!err) break;
    UDF_LOG(NOTI, "failed to update lvid \n");
  }
  if (!err) mnt->lvid_unconfirmed = 0;
  return err;
}

}  // namespace

int mdcudfsr_restore_lvid(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  std::lock_guard lk(mnt->lvid_mutex);
  if (!mnt->lvid_unconfirmed) return 0;
  const int err = write_lvid_with_retries(mnt, ctx);
  if (err)
    UDF_LOG(ERR, "integrity descriptor not restored. err %d\n", err);
  else
    UDF_LOG(NOTI, "integrity descriptor restored\n");
  return err;
}

int mdcudfsr_set_lvid_integrity_type(mdcudfsr_mount* mnt, uint32_t set, uint32_t clear, vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  std::lock_guard lk(mnt->lvid_mutex);
  const uint32_t type = ((mnt->lvid.integrity_type & ~clear) | set) & 0xFF;
  int result = 0;
  if (type == 0 && !mnt->coherency_refreshed) {
    const int e = mdcudfsr_metacache_update_coherent(mnt, mdcudfsr_context_node(ctx));
    if (e) {
      UDF_LOG(ERR, "mdcudfsr_metacache_update_coherent failed. err %d\n", e);
      mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
      mnt->fsmanage_handle = -1;
    }
    mnt->coherency_refreshed = 1;
  }
  if (type == mnt->lvid.integrity_type) {
    mnt->metadata_changed = 1;
    UDF_TRACE_EXIT_ERR(result);
    return result;
  }
  const uint32_t before = mnt->lvid.integrity_type;
  mnt->lvid.integrity_type = type;
  int err = write_lvid_with_retries(mnt, ctx);
  if (err) {
    // The medium keeps the former type, if it keeps the descriptor at all.
    mnt->lvid.integrity_type = before;
    mnt->lvid_unconfirmed = 1;
  }
  if (type == 1 && mnt->fsmanage_handle != -1) {
    // The media information follows the close; its own success never
    // turns a failed close into success.
    const int e = mdcudfsr_metacache_write_mediainfo(mnt, mdcudfsr_context_node(ctx));
    if (e) {
      UDF_LOG(ERR, "mdcudfsr_metacache_update_coherent failed. err %d\n", e);
      mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
      mnt->fsmanage_handle = -1;
    }
  }
  if (err) {
    if (!mnt->system_guard) {
      UDF_LOG(ERR, "failed to update lvid retry over \n");
      mdcudfsr_set_readonly_mount(mnt, 0x80000002u, 1, ctx);
      mdcudfsr_report_error(mnt, 0, ctx);
      UDF_TRACE_EXIT_ERR(err);
      return err;
    }
  }
  mnt->metadata_changed = 1;
  UDF_TRACE_EXIT_ERR(err);
  return err;
}

int mdcudfsr_check_zerofillarea(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  uint8_t* buf = zalloc(kUnit);
  if (!buf) return KEL_ENOMEM;
  int err;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    buf_t bp = nullptr;
    err = buf_meta_bread(mnt->devvp, 0, kUnit, nullptr, &bp);
    if (!err) std::memcpy(buf, buf_bytes(bp), kUnit);
    if (bp) buf_brelse(bp);
  }
  int result = 0;
  if (err) {
    UDF_LOG(ERR, "cannot read LSN 0-10. \n");
    const int r = mdcudfsr_repair_vrs(mnt, ctx);
    if (r) {
      UDF_LOG(WARN, "mdcudfsr_repair_vrs() returned: %d\n", r);
      result = r;
    } else {
      mnt->mntinfo.MountStatus = MNTINFO_STRUCTURE_UNREADABLE;
      mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
      result = KEL_ENOENT;
    }
  } else {
    const uint32_t n = 16 * mnt->logical_sector_size;
    for (uint32_t i = 0; i < n && i < kUnit; ++i)
      if (buf[i]) {
        UDF_LOG(ERR, "Invalid LSN 0-10. \n");
        refuse(mnt, MNTINFO_ANCHOR_INVALID);
        result = KEL_EINVAL;
        break;
      }
  }
  zfree(buf);
  UDF_TRACE_EXIT_ERR(result);
  return result;
}

bool mdcudfsr_counters_below_limit(const mdcudfsr_mount* mnt) {
  const uint32_t blocks = mnt->vds.pd.part_len;
  return mnt->vds.pmap.type2_metadata.file_loc < blocks || mnt->vds.pmap.type2_metadata.mirror_file_loc < blocks;
}
