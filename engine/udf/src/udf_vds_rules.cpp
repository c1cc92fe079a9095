// Rules of the volume descriptor sequence, and the check made at mount.
#include "udf/udf_vds_rules.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_flush.h"
#include "udf_log.h"

#include <cstring>

// Record offset of the position word (value offset 56 of attribute 1500h,
// whose value starts at record offset 297).
const uint32_t kAttributeVuviOffset = 297 + 56;

uint32_t mdcudfsr_vuvi_encode(uint32_t slot, uint32_t metadata_file_loc) {
  return ((slot & 0xF) << 26) | ((((metadata_file_loc * 2u) + 8192u) >> 6) & 0x3FFFFFFu);
}
uint32_t mdcudfsr_vuvi_slot(uint32_t vuvi) { return (vuvi >> 26) & 0xF; }
uint32_t mdcudfsr_vuvi_fe_location(uint32_t vuvi) { return (vuvi & 0x3FFFFFFu) * 32u; }

namespace {

int raw_rules(mdcudfsr_mount* mnt) {
  mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_RULES_BROKEN, WRPROT_READONLY);
  return KEL_EINVAL;
}

void mark_readonly(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  mnt->mntinfo.MountStatus = MNTINFO_RULES_BROKEN;
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, ctx);
}

struct ReadOnlyMarking {
  bool marked = false;
  uint32_t status = 0;
  uint32_t reasons = 0;
};

// Byte-wise comparison giving the difference of the first differing bytes.
int byte_compare(const uint8_t* a, const uint8_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return static_cast<int>(a[i]) - static_cast<int>(b[i]);
  return 0;
}

// What the structure check carries from rule to rule. A rule that only marks
// the volume read-only leaves 30 in `result` and the later rules still run.
struct StructureCheck {
  mdcudfsr_mount* mnt;
  vfs_context_t ctx;
  ReadOnlyMarking* marking;
  uint32_t slot;
  const mdcudfsr_vds_copies& v;
  int result = 0;

  // The mount information as it stands, copied to the caller's marking.
  void keep_marking() {
    if (marking) *marking = ReadOnlyMarking{true, mnt->mntinfo.MountStatus, mnt->mntinfo.WriteProtectReasonFlags};
  }
  void read_only() {
    mark_readonly(mnt, ctx);
    result = KEL_EROFS;
    keep_marking();
  }
};

// The interchange level and the implementation identifier: ours (two format
// levels), one that compares a little greater (read-only), or a stranger's.
int check_implementation(StructureCheck& c) {
  const auto& v = c.v;
  if (v.pvd.ichg_lvl != 3) {
    UDF_LOG(ERR, "PVD interchange level(%d) invalid\n", v.pvd.ichg_lvl);
    return raw_rules(c.mnt);
  }
  uint8_t form[2][24] = {};
  for (auto& f : form) std::memcpy(f + 1, "*Tarn KELFS", 11);
  form[1][20] = 1;
  const auto* id = reinterpret_cast<const uint8_t*>(&v.pvd.imp_id);
  const int c0 = byte_compare(id, form[0], 24);
  const int c1 = byte_compare(id, form[1], 24);
  if (c0 == 0) {
    c.mnt->format_level = 2;
  } else if (c1 == 0) {
    c.mnt->format_level = 0x12;
  } else if ((c0 > 0 && c0 <= 4) || (c1 > 0 && c1 <= 4)) {
    UDF_LOG(ERR, "PVD ImplementationID(%.23s) not valid, mounting readonly\n",
            reinterpret_cast<const char*>(v.pvd.imp_id.id));
    c.read_only();
    c.mnt->mount_ext_flags |= MNT_EXT_PVD_READONLY;
  } else {
    UDF_LOG(ERR, "PVD ImplementationID(%.23s) not valid, mounting readonly\n",
            reinterpret_cast<const char*>(v.pvd.imp_id.id));
    mdcudfsr_set_mntinfo_state(c.mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_ANCHOR_INVALID, WRPROT_IMPLEMENTATION);
    return KEL_EINVAL;
  }
  return 0;
}

// The primary volume descriptor's sequence number and flags, the partition
// descriptor's flags, number and access type (1 to 3: read-only, ends with 30).
int check_volume_and_partition(StructureCheck& c) {
  const auto& v = c.v;
  if (v.pvd.vds_num != c.slot + 1) {
    UDF_LOG(ERR, "PVD vds_num (%d) invalid (expect=%d)\n", v.pvd.vds_num, c.slot + 1);
    return raw_rules(c.mnt);
  }
  if (!(v.pvd.flags & 1)) {
    UDF_LOG(ERR, "PVD flags (%d) invalid \n", v.pvd.flags);
    return raw_rules(c.mnt);
  }
  if (v.pd.flags != 1) {
    UDF_LOG(ERR, "PD flags(%d) invalid\n", v.pd.flags);
    return raw_rules(c.mnt);
  }
  if (v.pd.part_num != 0) {
    UDF_LOG(ERR, "PD partition Number(%d) invalid\n", v.pd.part_num);
    return raw_rules(c.mnt);
  }
  if (v.pd.access_type >= 1 && v.pd.access_type <= 3) {
    UDF_LOG(ERR, "PD access type(%d) invalid\n", v.pd.access_type);
    mdcudfsr_set_mntinfo_state(c.mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_RULES_BROKEN, WRPROT_READONLY);
    c.keep_marking();
    return KEL_EROFS;
  }
  if (v.pd.access_type > 4) {
    UDF_LOG(ERR, "PD access type(%d) invalid.\n", v.pd.access_type);
    return raw_rules(c.mnt);
  }
  return 0;
}

// The domain identifier's write-protect flags: the hard one marks read-only,
// the soft one too on the last disc, elsewhere it is reported in *soft_protect.
void check_domain_flags(StructureCheck& c, uint32_t* soft_protect) {
  const uint8_t domain_flags = c.v.lvd.domain_id.id_suffix[2];
  if (domain_flags & 1) {
    UDF_LOG(ERR, "LVD domain ID suffix write protect flags (%d) not valid, mounting readonly\n", domain_flags);
    c.read_only();
  }
  if (domain_flags & 2) {
    if (c.mnt->num_discs == 0 || c.slot >= c.mnt->num_discs - 1) {
      c.read_only();
    } else if (soft_protect) {
      *soft_protect = 1;
    }
  }
}

// The logical volume descriptor: block size, domain flags, map count and the
// integrity sequence's length.
int check_logical_volume(StructureCheck& c, uint32_t* soft_protect) {
  const auto& v = c.v;
  if (v.lvd.lb_size != 2048) {
    UDF_LOG(ERR, "LVD logical block size(%d) is invalid\n", v.lvd.lb_size);
    return raw_rules(c.mnt);
  }
  check_domain_flags(c, soft_protect);
  if (v.lvd.n_pm < 2 || v.lvd.n_pm > 13 || v.lvd.n_pm != uint32_t{v.pvd.vds_num} + 1) {
    UDF_LOG(ERR, "LVD number of partition(%d) is invalid\n", v.lvd.n_pm);
    return raw_rules(c.mnt);
  }
  if (v.lvd.integrity_seq_id.len < 1 || v.lvd.integrity_seq_id.len > 0x10000) {
    UDF_LOG(ERR, "LVD integrity sequence length(%d) is invalid\n", v.lvd.integrity_seq_id.len);
    return raw_rules(c.mnt);
  }
  if (v.lvd.n_pm != c.slot + 2) {
    UDF_LOG(ERR, "LVD n_pm (%d) invalid (expect=%d)\n", v.lvd.n_pm, c.slot + 2);
    return raw_rules(c.mnt);
  }
  return 0;
}

// The partition header (no space tables or bitmaps, but the unallocated
// bitmap of a rewritable volume) and the metadata files inside the partition.
int check_partition_header(StructureCheck& c) {
  const auto& v = c.v;
  const auto& phd = v.pd.phd;
  if (phd.unalloc_space_table.len != 0) {
    UDF_LOG(ERR, "PHD UST non-zero length(%d) is invalid\n", phd.unalloc_space_table.len);
    return raw_rules(c.mnt);
  }
  if (phd.unalloc_space_bitmap.len != 0 && !c.mnt->is_rewritable) {
    UDF_LOG(ERR, "PHD USB non-zero length(%d) is invalid\n", phd.unalloc_space_bitmap.len);
    return raw_rules(c.mnt);
  }
  if (phd.freed_space_table.len != 0) {
    UDF_LOG(ERR, "PHD FST non-zero length(%d) is invalid\n", phd.freed_space_table.len);
    return raw_rules(c.mnt);
  }
  if (phd.freed_space_bitmap.len != 0) {
    UDF_LOG(ERR, "PHD FSB non-zero length(%d) is invalid\n", phd.freed_space_bitmap.len);
    return raw_rules(c.mnt);
  }
  const auto& md = v.pmap.type2_metadata;
  if (md.file_loc >= v.pd.part_len || md.mirror_file_loc >= v.pd.part_len) {
    UDF_LOG(ERR, "Metadata location is out of range. partition=0x%x:0x%x main=0x%x mirror=0x%x\n", v.pd.start_loc,
            v.pd.part_len, md.file_loc, md.mirror_file_loc);
    mdcudfsr_set_mntinfo_state(c.mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_ANCHOR_INVALID, WRPROT_READONLY);
    return KEL_EINVAL;
  }
  return 0;
}

// The first map: a metadata partition map (not virtual, not sparable) of this
// volume's sequence number, without the duplicate bit.
int check_metadata_map(StructureCheck& c) {
  const auto& md = c.v.pmap.type2_metadata;
  if (md.type != 2) {
    UDF_LOG(ERR, "LVD partition map do not begin from Metadata Partition Map.\n");
    return raw_rules(c.mnt);
  }
  if (std::memcmp(md.id.id, "*UDF Virtual Partition", 22) == 0) {
    UDF_LOG(ERR, "LVD virtual partition map is found.\n");
    return raw_rules(c.mnt);
  }
  if (std::memcmp(md.id.id, "*UDF Sparable Partition", 23) == 0) {
    UDF_LOG(ERR, "LVD sparable partition map is found.\n");
    return raw_rules(c.mnt);
  }
  if (md.vol_seq_num != c.v.pvd.vds_num) {
    UDF_LOG(ERR, "wrong VSN. vol_seq_num=%x, vds_num=%x\n", md.vol_seq_num, c.v.pvd.vds_num);
    return raw_rules(c.mnt);
  }
  if (md.flags & 1) {
    UDF_LOG(ERR, "Duplicate bit is set. flgs=%x\n", md.flags);
    return raw_rules(c.mnt);
  }
  return 0;
}

// The in-memory map table: the metadata map, then the type-1 maps numbered
// 1, 2, ... in order, as far as the descriptor's sector holds them.
int check_partition_maps(StructureCheck& c) {
  const uint32_t ss = c.mnt->logical_sector_size;
  uint32_t off = sizeof(logvol_desc);
  for (uint32_t i = 0; i < c.v.lvd.n_pm; ++i) {
    if (off + 2 >= ss) break;
    if (i == 0) {
      if (const int err = check_metadata_map(c)) return err;
      off += sizeof(part_map_metadata);
      continue;
    }
    const part_map_type1 zero{};
    const part_map_type1& m = i - 1 < MDCUDFSR_MAX_TYPE1_MAPS ? c.v.pmap.type1[i - 1] : zero;
    if (m.type != 1) {
      UDF_LOG(ERR, "LVD partition map have wrong partition map, type=%x.\n", m.type);
      return raw_rules(c.mnt);
    }
    if (m.vol_seq_num != i) {
      UDF_LOG(ERR, "non sequencial VSN. pm_counter=%x\n", i);
      return raw_rules(c.mnt);
    }
    off += sizeof(part_map_type1);
  }
  return 0;
}

// The structure check. A read-only marking (implementation identifier that
// compares greater, write-protect flags) is copied to *marking as the mount
// information stood right after it, even when a later rule fails.
int check_structure(mdcudfsr_mount* mnt, uint32_t* soft_protect, vfs_context_t ctx, ReadOnlyMarking* marking) {
  UDF_TRACE_ENTRY();
  StructureCheck c{mnt, ctx, marking, mdcudfsr_expected_slot(mnt), mnt->vds};
  int err = check_implementation(c);
  if (!err) err = check_volume_and_partition(c);
  if (!err) err = check_logical_volume(c, soft_protect);
  if (!err) err = check_partition_header(c);
  if (!err) err = check_partition_maps(c);
  const int r = err ? err : c.result;
  UDF_TRACE_EXIT_ERR(r);
  return r;
}

}  // namespace

int mdcudfsr_check_vds_structure(mdcudfsr_mount* mnt, uint32_t* soft_protect, vfs_context_t ctx) {
  return check_structure(mnt, soft_protect, ctx, nullptr);
}

namespace {

// Reads the VUVI value and puts the metadata file and mirror locations it
// names into the map and the working locations. False, logged, when the
// record cannot be read, names another slot or a location outside the
// partition.
bool relink_from_cartridge_memory(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  uint8_t record[MDCUDFSR_ATTRIBUTE_RECORD_SIZE] = {};
  const int aerr = mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 1, ctx, 1);
  if (aerr) {
    UDF_LOG(ERR, "Read Attribute is failed err:%d\n", aerr);
    return false;
  }
  uint32_t vuvi;
  std::memcpy(&vuvi, record + kAttributeVuviOffset, sizeof vuvi);
  const uint32_t slot = mdcudfsr_vuvi_slot(vuvi);
  if (slot != mnt->current_disc) {
    UDF_LOG(ERR, "Inconsistent Slot Number. lastwrittenslot=%d VUVI=%d\n", mnt->current_disc, slot);
    return false;
  }
  const uint32_t fe = mdcudfsr_vuvi_fe_location(vuvi);
  UDF_LOGM(WARN, KELC, "VDS unlinked. VUVI FE Location=0x%x\n", fe);
  // Both the file (fe - 4096) and the mirror (fe - 4080), fe being the VUVI's
  // entry location, must lie inside the partition.
  auto& md = mnt->vds.pmap.type2_metadata;
  const uint32_t part_len = mnt->vds.pd.part_len;
  if (fe < 4096 || uint64_t{fe} - 4080 >= part_len) {
    UDF_LOG(ERR, "VUVI FE Location is out of range. location=0x%x partition length=0x%x\n", fe, part_len);
    return false;
  }
  md.file_loc = fe - 4096;
  md.mirror_file_loc = fe - 4080;
  mnt->metadata_file_loc = md.file_loc;
  mnt->metadata_mirror_loc = md.mirror_file_loc;
  if (mnt->is_rewritable) {
    mnt->vds.pd.phd.unalloc_space_bitmap = short_ad{0, 0};
    md.bitmap_file_loc = 0;
    mdcudfsr_set_nwa_from_vds(mnt, ctx);
  }
  return true;
}

}  // namespace

// A sequence that only asks for a read-only mount (30) is never rebuilt: the
// rebuild would drop its protection. After a rebuild and relink the sequence
// is checked again, and a read-only marking of the first check survives both.
int mdcudfsr_check_vds_structure_for_mount(mdcudfsr_mount* mnt, uint32_t* soft_protect, uint32_t* relinked,
                                           vfs_context_t ctx) {
  const MDCFS_MOUNT_INFORMATION saved = mnt->mntinfo;
  ReadOnlyMarking marking;
  const int first = check_structure(mnt, soft_protect, ctx, &marking);
  if (first == 0 || first == 30) return first;
  bool repaired = false;
  uint32_t serial_unreadable = 0;
  if (!mnt->is_rewritable) {
    UDF_LOG(ERR, "Failed to parse VDS. Start Repairing VDS.\n");
    if (mdcudfsr_repair_vds(mnt, &serial_unreadable, ctx) == 0) {
      mnt->vds_repaired = 1;
      repaired = true;
    }
  }
  const auto& md = mnt->vds.pmap.type2_metadata;
  const uint32_t part_len = mnt->vds.pd.part_len;
  if (md.file_loc < part_len || md.mirror_file_loc < part_len) return first;

  if (!relink_from_cartridge_memory(mnt, ctx)) {
    const uint32_t reasons = mnt->mntinfo.WriteProtectReasonFlags | WRPROT_READONLY;
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE, reasons);
    return KEL_EINVAL;
  }
  if (relinked) *relinked = 1;
  if (repaired) {
    mnt->mntinfo.AccessMode = saved.AccessMode;
    mnt->mntinfo.MountStatus = saved.MountStatus;
    mnt->mntinfo.WriteProtectReasonFlags = saved.WriteProtectReasonFlags;
  } else {
    mdcudfsr_set_mntinfo_state(mnt, 0, 0, 0);
  }
  int result = check_structure(mnt, soft_protect, ctx, nullptr);
  if (result == KEL_EINVAL) {
    if (relinked) *relinked = 0;
    return KEL_EINVAL;
  }
  if (marking.marked) {
    mnt->mntinfo.MountStatus = marking.status;
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, marking.reasons, 1, ctx);
    result = KEL_EROFS;
  }
  if (repaired && serial_unreadable) {
    if (relinked) *relinked = 0;
    UDF_LOG(ERR, "Failed to get serialNumber, mounting readonly\n");
    mnt->mntinfo.MountStatus = MNTINFO_STRUCTURE_UNREADABLE;
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_SERIAL_UNREADABLE, 1, ctx);
    result = KEL_EROFS;
  }
  return result;
}
