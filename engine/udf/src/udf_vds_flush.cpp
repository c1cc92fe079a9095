// Volume descriptor sequence: in-memory rebuild, flush and link state.
#include "udf/udf_vds_flush.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_mount.h"
#include "udf/udf_regid.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_tag.h"
#include "udf/udf_vds_rules.h"
#include "udf_io.h"
#include "udf_log.h"
#include "udf_vds_parse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace udf_io;

namespace {

constexpr const char kOstaCharset[] = "OSTA Compressed Unicode";

void set_charspec(charspec* c) {
  std::memset(c, 0, sizeof *c);
  c->type = 0;
  std::memcpy(c->inf, kOstaCharset, sizeof kOstaCharset - 1);
}

// An 8-bit compressed d-string: compression id 8, the text, and the used
// length (compression byte included) in the last byte.
void set_dstring(uint8_t* field, size_t size, const char* text) {
  std::memset(field, 0, size);
  size_t n = std::strlen(text);
  if (n > size - 2) n = size - 2;
  field[0] = 8;
  std::memcpy(field + 1, text, n);
  field[size - 1] = static_cast<uint8_t>(n + 1);
}

uint32_t reserved_tail(uint32_t medium_type) {
  if (medium_type == 0xE5 || medium_type == 0xF1) return 1152;
  if (medium_type == 0xF2) return 2560;
  return 288;
}

bool is_unlinked_marker(const mdcudfsr_mount* mnt, uint32_t loc) { return loc == mnt->vds.pd.part_len; }

// Puts a host-order descriptor of `size` bytes at `dst`, tagged `id` at `loc`,
// converted to medium order with CRC over `crc_len` bytes.
template <class T, class Swap>
void emit(mdcudfsr_mount* mnt, uint8_t* dst, T desc, uint16_t id, uint32_t loc, uint32_t crc_len, Swap swap) {
  mdcudfsr_init_udf_tag(mnt, &desc.tag, id, loc);
  swap(&desc);
  std::memcpy(dst, &desc, sizeof desc);
  mdcudfsr_set_udf_tag_crc_and_checksum(dst, crc_len);
}

}  // namespace

// ---------------------------------------------------------------- in-memory rebuild

namespace {

// What names a rebuilt volume: the serial number the cartridge memory keeps
// (attribute 1500h) and its text serial (attribute 0401h) when it has one.
struct RepairIdentity {
  uint32_t serial = 0;
  char text[33] = {};
  bool have_text = false;
};

// The text serial, trailing blanks cut; an unreadable one is reported in
// *serial_unreadable and the rebuild goes on without it.
void read_text_serial(mdcudfsr_mount* mnt, uint32_t* serial_unreadable, vfs_context_t ctx, RepairIdentity& id) {
  uint8_t raw[32] = {};
  const int err = VNOP_IOCTL(mnt->devvp, kIoctlReadAttr0401, reinterpret_cast<char*>(raw), 0, ctx);
  if (err) {
    UDF_LOG(ERR, "failed to read attribute[ID:0401H].\n");
    if (serial_unreadable) *serial_unreadable = 1;
    return;
  }
  std::memcpy(id.text, raw, 32);
  for (int i = 31; i >= 0 && (id.text[i] == ' ' || id.text[i] == '\0'); --i) id.text[i] = '\0';
  id.have_text = id.text[0] != '\0';
}

// The serial number from the attribute block; an unreadable one refuses the
// mount (22).
int read_serial_number(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t* serial) {
  uint8_t* answer = zalloc(140);
  if (!answer) {
    UDF_LOG(ERR, "can't allocate memory\n");
    return KEL_ENOMEM;
  }
#pragma pack(push, 1)
  struct {
    uint16_t attribute;
    uint16_t length;
    uint8_t zero;
    uint64_t buffer;
  } param{0x1500, 140, 0, reinterpret_cast<uintptr_t>(answer)};
#pragma pack(pop)
  static_assert(sizeof(param) == 13, "read-attribute parameter block is 13 bytes");
  const int aerr = VNOP_IOCTL(mnt->devvp, kIoctlReadAttrBlock, reinterpret_cast<char*>(&param), 0, ctx);
  if (aerr) {
    UDF_LOG(ERR, "Read Attribute is failed err:%d\n", aerr);
    zfree(answer);
    mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_STRUCTURE_UNREADABLE,
                               mnt->mntinfo.WriteProtectReasonFlags | WRPROT_READONLY);
    return KEL_EINVAL;
  }
  *serial = (uint32_t{answer[61]} << 24) | (uint32_t{answer[62]} << 16) | (uint32_t{answer[63]} << 8) | answer[64];
  zfree(answer);
  return 0;
}

// The primary volume descriptor of disc n: "KELFS VOLnn", the volume set
// named by serial and text, recorded now.
void rebuild_pvd(mdcudfsr_mount* mnt, uint32_t n, const RepairIdentity& id) {
  timespec now{};
  nanotime(&now);
  timestamp rec_time{};
  mdcudfsr_timespec2udftime(mnt, &now, &rec_time, 1);
  char buf[160];
  auto& pvd = mnt->vds.pvd;
  std::memset(&pvd, 0, sizeof pvd);
  std::snprintf(buf, sizeof buf, "%s%02d", "KELFS VOL", static_cast<int>(n + 1));
  set_dstring(pvd.vol_id, sizeof pvd.vol_id, buf);
  pvd.vds_num = static_cast<uint16_t>(n + 1);
  pvd.ichg_lvl = 3;
  pvd.max_ichg_lvl = 3;
  pvd.charset_list = 1;
  pvd.max_charset_list = 1;
  if (id.have_text)
    std::snprintf(buf, sizeof buf, "%08lX%-8.8s%-32s", static_cast<unsigned long>(id.serial), "KELFS   ", id.text);
  else
    std::snprintf(buf, sizeof buf, "%08lX%-8.8s", static_cast<unsigned long>(id.serial), "KELFS   ");
  set_dstring(pvd.volset_id, sizeof pvd.volset_id, buf);
  set_charspec(&pvd.desc_charset);
  set_charspec(&pvd.explanatory_charset);
  pvd.time = rec_time;
  mdcudfsr_make_regid(mnt, &pvd.app_id, REGID_APPLICATION);
  mdcudfsr_make_regid(mnt, &pvd.imp_id, REGID_IMPLEMENTATION);
  pvd.flags = 1;
}

// The logical volume identifier: the text serial, else "_" and the serial number.
void logical_volume_id(const RepairIdentity& id, uint8_t (&lvid)[128]) {
  if (id.have_text) {
    set_dstring(lvid, sizeof lvid, id.text);
    return;
  }
  char buf[160];
  std::snprintf(buf, sizeof buf, "_%08lX", static_cast<unsigned long>(id.serial));
  set_dstring(lvid, sizeof lvid, buf);
}

void rebuild_iuvd(mdcudfsr_mount* mnt, const uint8_t (&lvid)[128]) {
  auto& iuvd = mnt->vds.iuvd;
  std::memset(&iuvd, 0, sizeof iuvd);
  iuvd.seq_num = 1;
  mdcudfsr_make_regid(mnt, &iuvd.imp_id, REGID_LV_INFO);
  logvol_info info{};
  set_charspec(&info.lvi_charset);
  std::memcpy(info.logvol_id, lvid, sizeof lvid);
  mdcudfsr_make_regid(mnt, &info.imp_id, REGID_IMPLEMENTATION);
  std::memcpy(iuvd.imp_use, &info, sizeof info);
}

// The partition from block 4096 up to the medium's reserved tail.
void rebuild_pd(mdcudfsr_mount* mnt) {
  auto& pd = mnt->vds.pd;
  std::memset(&pd, 0, sizeof pd);
  pd.seq_num = 2;
  pd.flags = 1;
  pd.part_num = 0;
  std::memcpy(pd.contents.id, "+NSR03", 6);
  pd.access_type = 0;
  pd.start_loc = 4096;
  pd.part_len = mnt->num_sectors - reserved_tail(mnt->medium_type) - 4096;
  mdcudfsr_make_regid(mnt, &pd.imp_id, REGID_IMPLEMENTATION);
}

// The metadata partition map (at the recorded metadata file when there is
// one) and one type-1 map per disc up to n.
void rebuild_maps(mdcudfsr_mount* mnt, uint32_t n) {
  auto& v = mnt->vds;
  auto& md = v.pmap.type2_metadata;
  std::memset(&md, 0, sizeof md);
  md.type = 2;
  md.len = 64;
  mdcudfsr_make_regid(mnt, &md.id, REGID_METADATA_PART);
  md.vol_seq_num = static_cast<uint16_t>(n + 1);
  md.part_num = 0;
  md.file_loc = mnt->recorded_vuvi_fe_loc ? mnt->recorded_vuvi_fe_loc - 4096 : 288;
  md.mirror_file_loc = mnt->recorded_vuvi_fe_loc ? mnt->recorded_vuvi_fe_loc - 4080 : 304;
  md.bitmap_file_loc = 0xFFFFFFFFu;
  md.alloc_unit_size = 1;
  md.align_unit_size = 1;
  std::memset(v.pmap.type1, 0, sizeof v.pmap.type1);
  for (uint32_t i = 0; i <= n; ++i) v.pmap.type1[i] = part_map_type1{1, 6, static_cast<uint16_t>(i + 1), 0};
  v.pmap.type1_count = n + 1;
}

void rebuild_lvd(mdcudfsr_mount* mnt, uint32_t n, const uint8_t (&lvid)[128]) {
  auto& lvd = mnt->vds.lvd;
  std::memset(&lvd, 0, sizeof lvd);
  lvd.seq_num = 3;
  set_charspec(&lvd.desc_charset);
  std::memcpy(lvd.logvol_id, lvid, sizeof lvid);
  lvd.lb_size = mnt->logical_sector_size;
  mdcudfsr_make_regid(mnt, &lvd.domain_id, REGID_DOMAIN);
  lvd.fsd_loc.len = 2 * mnt->logical_sector_size;
  lvd.n_pm = n + 2;
  lvd.mt_l = 6 * n + 70;
  mdcudfsr_make_regid(mnt, &lvd.imp_id, REGID_IMPLEMENTATION);
  lvd.integrity_seq_id.len = 0x10000;
  lvd.integrity_seq_id.loc = is_f2(mnt) ? 640 : 320;
  rebuild_maps(mnt, n);
}

// The five descriptors tagged at the rebuilt sequence's place, with their CRCs.
void tag_rebuilt_sequence(mdcudfsr_mount* mnt) {
  auto& v = mnt->vds;
  const uint32_t base = is_f2(mnt) ? UDF_REBUILD_VDS_LOC_F2 : UDF_REBUILD_VDS_LOC;
  mdcudfsr_init_udf_tag(mnt, &v.pvd.tag, TAG_ID_PVD, base);
  mdcudfsr_set_udf_tag_crc_and_checksum(&v.pvd, 512);
  mdcudfsr_init_udf_tag(mnt, &v.iuvd.tag, TAG_ID_IUVD, base + 1);
  mdcudfsr_set_udf_tag_crc_and_checksum(&v.iuvd, 512);
  mdcudfsr_init_udf_tag(mnt, &v.pd.tag, TAG_ID_PD, base + 2);
  mdcudfsr_set_udf_tag_crc_and_checksum(&v.pd, 512);
  mdcudfsr_init_udf_tag(mnt, &v.lvd.tag, TAG_ID_LVD, base + 3);
  mdcudfsr_set_udf_tag_crc_and_checksum(&v.lvd, 440);
  mdcudfsr_init_udf_tag(mnt, &v.usd.tag, TAG_ID_USD, base + 4);
  mdcudfsr_set_udf_tag_crc_and_checksum(v.usd_block, 512);
}

}  // namespace

int mdcudfsr_repair_vds(mdcudfsr_mount* mnt, uint32_t* serial_unreadable, vfs_context_t ctx) {
  const uint32_t n = mnt->current_disc;
  if (n + 1 > MDCUDFSR_MAX_TYPE1_MAPS) {
    UDF_LOG(ERR, "last written slot %u has no partition map room.\n", n);
    return KEL_EINVAL;
  }
  RepairIdentity id;
  read_text_serial(mnt, serial_unreadable, ctx, id);
  if (const int err = read_serial_number(mnt, ctx, &id.serial)) return err;
  rebuild_pvd(mnt, n, id);
  uint8_t lvid[128];
  logical_volume_id(id, lvid);
  rebuild_iuvd(mnt, lvid);
  rebuild_pd(mnt);
  rebuild_lvd(mnt, n, lvid);
  auto& v = mnt->vds;
  std::memset(v.usd_block, 0, sizeof v.usd_block);
  v.usd.seq_num = 4;
  tag_rebuilt_sequence(mnt);
  // The rebuilt sequence is unlinked from its metadata files.
  auto& md = v.pmap.type2_metadata;
  md.file_loc = v.pd.part_len;
  md.mirror_file_loc = v.pd.part_len;
  mnt->metadata_file_loc = v.pd.part_len;
  mnt->metadata_mirror_loc = v.pd.part_len;
  return 0;
}

// ---------------------------------------------------------------- building a copy

void mdcudfsr_build_vds_copy(mdcudfsr_mount* mnt, uint8_t* dst, uint32_t loc, int soft_write_protect,
                             int refresh_ids) {
  const uint32_t ss = mnt->logical_sector_size;
  auto& v = mnt->vds;
  // An empty label never overwrites the identifiers.
  const bool have_label = std::any_of(mnt->logvol_id, mnt->logvol_id + sizeof mnt->logvol_id,
                                      [](uint8_t b) { return b != 0; });
  if (refresh_ids && have_label) {
    std::memcpy(v.iuvd.imp_use + offsetof(logvol_info, logvol_id), mnt->logvol_id, sizeof mnt->logvol_id);
    std::memcpy(v.lvd.logvol_id, mnt->logvol_id, sizeof mnt->logvol_id);
  }
  pri_vol_desc pvd = v.pvd;
  pvd.vds_num = static_cast<uint16_t>(mnt->current_disc + 1);
  emit(mnt, dst, pvd, TAG_ID_PVD, loc, 512, mdcudfsr_swap_host2le_pri_vol_desc);
  emit(mnt, dst + ss, v.iuvd, TAG_ID_IUVD, loc + 1, 512, mdcudfsr_swap_host2le_imp_use_vol_desc);
  emit(mnt, dst + 2 * ss, v.pd, TAG_ID_PD, loc + 2, 512, mdcudfsr_swap_host2le_part_desc);

  // Logical volume descriptor with the metadata map and the type-1 maps.
  mdcudfsr_print_vds_link_status(mnt);
  v.pmap.type2_metadata.file_loc = mnt->metadata_file_loc;
  v.pmap.type2_metadata.mirror_file_loc = mnt->metadata_mirror_loc;
  const uint32_t n_pm = std::min<uint32_t>(mnt->current_disc + 2, MDCUDFSR_MAX_TYPE1_MAPS + 1);
  uint8_t* s = dst + 3 * ss;
  logvol_desc lvd = v.lvd;
  lvd.n_pm = n_pm;
  lvd.mt_l = static_cast<uint32_t>(sizeof(part_map_metadata) + sizeof(part_map_type1) * (n_pm - 1));
  lvd.integrity_seq_id.len = 4 * ss;
  lvd.domain_id.id_suffix[2] = soft_write_protect ? 2 : 0;
  mdcudfsr_init_udf_tag(mnt, &lvd.tag, TAG_ID_LVD, loc + 3);
  mdcudfsr_swap_host2le_logvol_desc(&lvd);
  std::memcpy(s, &lvd, sizeof lvd);
  part_map_metadata md = v.pmap.type2_metadata;
  mdcudfsr_swap_host2le_part_map_metadata(&md);
  std::memcpy(s + sizeof lvd, &md, sizeof md);
  for (uint32_t i = 0; i + 1 < n_pm; ++i) {
    // A slot beyond the kept table gets its own map.
    part_map_type1 m = i < v.pmap.type1_count ? v.pmap.type1[i]
                                               : part_map_type1{1, 6, static_cast<uint16_t>(i + 1), 0};
    mdcudfsr_swap_host2le_part_map_type1(&m);
    std::memcpy(s + sizeof lvd + sizeof md + i * sizeof m, &m, sizeof m);
  }
  mdcudfsr_set_udf_tag_crc_and_checksum(s, 498 + 6 * n_pm);

  // Unallocated space descriptor, its count bounded to the block.
  uint8_t* u = dst + 4 * ss;
  std::memcpy(u, v.usd_block, std::min<uint32_t>(ss, UDF_USD_BLOCK_SIZE));
  auto* usd = reinterpret_cast<unalloc_space_desc*>(u);
  usd->num_alloc_desc = std::min(usd->num_alloc_desc, UDF_USD_MAX_EXTENTS);
  const uint32_t usd_len = static_cast<uint32_t>(sizeof(unalloc_space_desc) + 8 * usd->num_alloc_desc);
  mdcudfsr_init_udf_tag(mnt, &usd->tag, TAG_ID_USD, loc + 4);
  mdcudfsr_swap_host2le_unalloc_space_desc(usd);
  mdcudfsr_set_udf_tag_crc_and_checksum(u, usd_len);

  // Terminating descriptor.
  desc_tag td;
  mdcudfsr_init_udf_tag(mnt, &td, TAG_ID_TD, loc + 5);
  mdcudfsr_swap_host2le_desc_tag(&td);
  std::memcpy(dst + 5 * ss, &td, sizeof td);
  mdcudfsr_set_udf_tag_crc_and_checksum(dst + 5 * ss, 512);
}

// ---------------------------------------------------------------- flush

bool udf_vds::vds_already_written(mdcudfsr_mount* mnt, const uint8_t* image, uint32_t loc, uint32_t size,
                                  vfs_context_t ctx) {
  if (mnt->desc_write_check_mode != 2) return false;
  uint32_t identical = 0;
  const int cerr = mdcudfsr_is_writing_descriptor_exist(mnt, image, loc, size / mnt->logical_block_size, &identical, ctx);
  if (cerr) {
    UDF_LOGM(WARN, KELC, "failed to compare buffer with status %d. do write", cerr);
    return false;
  }
  return identical != 0;
}

namespace {

// The two copies kept for the cache file: the first half of each; the
// cache file is dropped when there is no room for them.
void keep_vds_cache_image(mdcudfsr_mount* mnt, const uint8_t* image, uint32_t reserve_off, vfs_context_t ctx) {
  if (mnt->fsmanage_handle < 0) return;
  if (!mnt->vds_cache_image[0]) mnt->vds_cache_image[0] = zalloc(kUnit);
  if (mnt->vds_cache_image[0]) {
    std::memcpy(mnt->vds_cache_image[0], image, kUnit / 2);
    std::memcpy(mnt->vds_cache_image[0] + kUnit / 2, image + reserve_off, kUnit / 2);
  } else {
    udf_vds::drop_fsmanage_cache(mnt, ctx);
  }
}

}  // namespace

int udf_vds::write_copies_in_turn(mdcudfsr_mount* mnt, const SequenceCopy (&copy)[2], int first, bool verify,
                                  vfs_context_t ctx) {
  const int start = mnt->vds_copy_unconfirmed ? static_cast<int>(mnt->vds_copy_unconfirmed) - 1 : first;
  for (const int i : {start, 1 - start}) {
    const SequenceCopy& c = copy[i];
    mnt->vds_copy_unconfirmed = static_cast<uint32_t>(i + 1);
    int err = write_on_last_written(mnt, c.data, c.loc, c.size, ctx, udf_log::KELC, "err=%d\n");
    if (!err) err = sync_last_written(mnt, ctx);
    if (!err && verify) err = verify_on_last_written(mnt, c.loc, c.size, ctx);
    if (err) return err;
    mnt->vds_copy_unconfirmed = 0;
  }
  return 0;
}

int mdcudfsr_flush_vds(mdcudfsr_mount* mnt, uint32_t* skipped, vfs_context_t ctx, int soft_write_protect) {
  if (const int lerr = udf_vds::check_vds_layout(mnt, ctx)) return lerr;
  const uint32_t size = is_f2(mnt) ? kVdsImageF2 : kUnit;
  const uint32_t reserve_off = (is_f2(mnt) ? 128u : 16u) * mnt->logical_sector_size;
  std::unique_ptr<uint8_t, void (*)(void*)> image(zalloc(size), zfree);
  if (!image) {
    UDF_LOGM(ERR, KELC, "can't allocate buf.\n");
    return KEL_ENOMEM;
  }
  const uint32_t h = mnt->avdp.main_vds_ex.loc;
  const uint32_t r = mnt->avdp.reserve_vds_ex.loc;
  const int refresh = (mnt->mount_ext_flags & MNT_EXT_ROLLBACK_REQUESTED) || mnt->vds_repaired;
  mdcudfsr_build_vds_copy(mnt, image.get(), h, soft_write_protect, refresh);
  mdcudfsr_build_vds_copy(mnt, image.get() + reserve_off, r, soft_write_protect, refresh);
  if (udf_vds::vds_already_written(mnt, image.get(), h, size, ctx)) {
    UDF_LOG(WARN, "flush vds skip \n");
    if (skipped) *skipped = 1;
    return 0;
  }
  keep_vds_cache_image(mnt, image.get(), reserve_off, ctx);
  // A failed sync loses what the drive's cache holds: copies in write units
  // of their own are written in turn, so that one write cannot lose both.
  // Copies sharing a unit are written together (a torn pair is rebuilt at
  // mount).
  if (reserve_off % kUnit == 0)
    return udf_vds::write_copies_in_turn(
        mnt, {{image.get(), h, reserve_off}, {image.get() + reserve_off, r, size - reserve_off}}, 0, true, ctx);
  if (const int err = write_on_last_written(mnt, image.get(), h, size, ctx, udf_log::KELC, "err=%d\n")) return err;
  if (const int err = sync_last_written(mnt, ctx)) return err;
  return verify_on_last_written(mnt, h, size, ctx);
}

// ---------------------------------------------------------------- link state

void mdcudfsr_print_vds_link_status(mdcudfsr_mount* mnt) {
  const auto& md = mnt->vds.pmap.type2_metadata;
  const bool map_unlinked = is_unlinked_marker(mnt, md.file_loc) && is_unlinked_marker(mnt, md.mirror_file_loc);
  const bool work_unlinked =
      is_unlinked_marker(mnt, mnt->metadata_file_loc) && is_unlinked_marker(mnt, mnt->metadata_mirror_loc);
  if (map_unlinked && !work_unlinked)
    UDF_LOGM(WARN, KELC, "Link VDS Metadata File Location=0x%08x\n", mnt->metadata_file_loc);
  else if (!map_unlinked && work_unlinked)
    UDF_LOGM(WARN, KELC, "Unlink VDS\n");
}

int mdcudfsr_update_vds_link(mdcudfsr_mount* mnt, vfs_context_t ctx, int link) {
  const uint32_t saved_file = mnt->metadata_file_loc;
  const uint32_t saved_mirror = mnt->metadata_mirror_loc;
  auto& md = mnt->vds.pmap.type2_metadata;
  auto& usb = mnt->vds.pd.phd.unalloc_space_bitmap;
  const uint32_t saved_bitmap = md.bitmap_file_loc;
  const uint32_t saved_usb = usb.pos;

  uint8_t record[MDCUDFSR_ATTRIBUTE_RECORD_SIZE] = {};
  int err = mdcudfsr_read_attribute(mnt, record, sizeof record, 1, 0, ctx, 1);
  if (err) {
    UDF_LOGM(ERR, KELC, "Read Attribute is failed err:%d\n", err);
    return err;
  }
  const uint32_t vuvi = mdcudfsr_vuvi_encode(mnt->current_disc, saved_file);
  uint32_t stored;
  std::memcpy(&stored, record + kAttributeVuviOffset, sizeof stored);
  if (stored != vuvi) {
    std::memcpy(record + kAttributeVuviOffset, &vuvi, sizeof vuvi);
    mnt->attr_update_mask |= ATTRIBUTE_UPDATE_1500H;
  }
  err = mdcudfsr_write_attribute(mnt, record, sizeof record, 1, ctx, 1);
  if (err) {
    UDF_LOGM(ERR, KELC, "Write Attribute is failed err:%d\n", err);
    return err;
  }
  const uint32_t marker = mnt->vds.pd.part_len;
  if (!link) {
    mnt->metadata_file_loc = marker;
    mnt->metadata_mirror_loc = marker;
    if (mnt->is_rewritable) {
      md.bitmap_file_loc = marker;
      usb.pos = marker;
    }
  }
  // The soft write-protect state of the volume stays as it is.
  const int soft = (mnt->vds.lvd.domain_id.id_suffix[2] & 2) ? 1 : 0;
  for (uint32_t attempt = 0; attempt <= kMaxWriteRetry; ++attempt) {
    uint32_t skipped = 0;
    err = mnt->is_rewritable ? mdcudfsr_flush_vds_re(mnt, &skipped, ctx, soft) : mdcudfsr_flush_vds(mnt, &skipped, ctx, soft);
    if (!err) break;
    UDF_LOGM(WARN, KELC, "failed to flush vds.. %d \n", err);
  }
  if (!link) {
    mnt->metadata_file_loc = saved_file;
    mnt->metadata_mirror_loc = saved_mirror;
    if (mnt->is_rewritable) {
      md.bitmap_file_loc = saved_bitmap;
      usb.pos = saved_usb;
    }
  }
  if (err) {
    UDF_LOG(WARN, "failed to write vds with status %d. \n", err);
    return err;
  }
  return 0;
}

int mdcudfsr_link_vds(mdcudfsr_mount* mnt, vfs_context_t ctx) { return mdcudfsr_update_vds_link(mnt, ctx, 1); }
int mdcudfsr_unlink_vds(mdcudfsr_mount* mnt, vfs_context_t ctx) { return mdcudfsr_update_vds_link(mnt, ctx, 0); }
