// Volume-image builder in the system's layout.
#include "engine/udf/support_image.h"

#include "udf/udf_anchor_vds.h"
#include "udf/udf_extent.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"

#include <cstdio>
#include <cstring>
#include <ostream>

namespace udf_test {

namespace {

constexpr uint32_t kSector = 2048;

const timestamp kTime{0x1000, 2026, 12, 9, 21, 0, 0, 0, 0, 0};

void charset(charspec* c) {
  std::memset(c, 0, sizeof *c);
  std::memcpy(c->inf, "OSTA Compressed Unicode", 23);
}

void dstring(uint8_t* f, size_t size, const char* text) {
  std::memset(f, 0, size);
  const size_t n = std::strlen(text);
  f[0] = 8;
  std::memcpy(f + 1, text, n);
  f[size - 1] = static_cast<uint8_t>(n + 1);
}

void tag(desc_tag* t, uint16_t id, uint16_t serial, uint32_t loc) {
  std::memset(t, 0, sizeof *t);
  t->id = id;
  t->descriptor_ver = 3;
  t->serial_num = serial;
  t->tag_loc = loc;
}

regid reg(const ImageSpec& s, int kind, int key) {
  const char ctx[2] = {static_cast<char>(s.volume_type), static_cast<char>(s.cls != MediumClass::Rewritable)};
  regid r;
  make_reg_id(ctx, &r, kind, key);
  return r;
}

template <class T, class Swap>
void put(uint8_t* dst, T d, Swap swap, uint32_t length) {
  swap(&d);
  std::memcpy(dst, &d, sizeof d);
  mdcudfsr_set_udf_tag_crc_and_checksum(dst, length);
}

uint32_t reserved_tail(const ImageSpec& s) {
  if (s.cls == MediumClass::Rewritable) return 288;
  if (s.medium_type == 0xF2) return 2560;
  if (s.medium_type == 0xF1 || s.medium_type == 0xE5) return 1152;
  return 288;
}

}  // namespace

void PrintTo(MediumClass cls, std::ostream* os) {
  switch (cls) {
    case MediumClass::WriteOnce:
      *os << "WriteOnce";
      return;
    case MediumClass::Rewritable:
      *os << "Rewritable";
      return;
    case MediumClass::F2:
      *os << "F2";
      return;
  }
  *os << "MediumClass(" << static_cast<int>(cls) << ")";
}

ImageSpec spec_for(MediumClass cls, uint32_t slot) {
  ImageSpec s;
  s.cls = cls;
  s.slot = slot;
  switch (cls) {
    case MediumClass::WriteOnce:
      s.medium_type = 0xE1;
      s.sectors = 8192;
      break;
    case MediumClass::Rewritable:
      s.medium_type = 0xE2;
      s.sectors = 8192;
      break;
    case MediumClass::F2:
      s.medium_type = 0xF2;
      s.sectors = 16384;
      break;
  }
  return s;
}

ImageLayout layout_for(const ImageSpec& s) {
  ImageLayout l{};
  const bool f2 = s.medium_type == 0xF2;
  if (s.cls == MediumClass::Rewritable) {
    l.main_vds = 272;
    l.reserve_vds = s.sectors - 32;
  } else {
    l.main_vds = f2 ? 384 : 288;
    l.reserve_vds = f2 ? 512 : 304;
  }
  l.vds_len = 0x8000;
  l.avdp2 = s.sectors - 1;
  l.lvid = f2 ? 640 : 320;
  l.partition_start = 4096;
  l.partition_len = s.sectors - 4096 - reserved_tail(s);
  l.metadata_extent = s.metadata_lsn - 4096;
  l.metadata_file_loc = s.metadata_lsn + 32 - 4096;
  l.mirror_file_loc = s.metadata_lsn + 32 - 4080;
  return l;
}

std::vector<uint8_t> build_vds_copy(const ImageSpec& s, uint32_t loc) {
  const ImageLayout l = layout_for(s);
  std::vector<uint8_t> out(6 * kSector, 0);
  char text[64];
  uint8_t lvid[128];
  dstring(lvid, sizeof lvid, "SERIAL0001");

  pri_vol_desc pvd{};
  tag(&pvd.tag, TAG_ID_PVD, s.serial, loc);
  std::snprintf(text, sizeof text, "%s%02d", "KELFS VOL", static_cast<int>(s.slot + 1));
  dstring(pvd.vol_id, sizeof pvd.vol_id, text);
  pvd.vds_num = static_cast<uint16_t>(s.slot + 1);
  pvd.ichg_lvl = 3;
  pvd.max_ichg_lvl = 3;
  pvd.charset_list = 1;
  pvd.max_charset_list = 1;
  std::snprintf(text, sizeof text, "%08lX%-8.8s", 0x5A8B1234ul, "KELFS   ");
  dstring(pvd.volset_id, sizeof pvd.volset_id, text);
  charset(&pvd.desc_charset);
  charset(&pvd.explanatory_charset);
  pvd.app_id = reg(s, REGKIND_PLAIN, 1);
  pvd.time = kTime;
  pvd.imp_id = reg(s, REGKIND_IMPLEMENTATION, 1);
  pvd.flags = 1;
  put(&out[0], pvd, mdcudfsr_swap_host2le_pri_vol_desc, 512);

  imp_use_vol_desc iuvd{};
  tag(&iuvd.tag, TAG_ID_IUVD, s.serial, loc + 1);
  iuvd.seq_num = 1;
  iuvd.imp_id = reg(s, REGKIND_UDF, 4);
  logvol_info info{};
  charset(&info.lvi_charset);
  std::memcpy(info.logvol_id, lvid, sizeof lvid);
  info.imp_id = reg(s, REGKIND_IMPLEMENTATION, 4);
  std::memcpy(iuvd.imp_use, &info, sizeof info);
  put(&out[kSector], iuvd, mdcudfsr_swap_host2le_imp_use_vol_desc, 512);

  part_desc pd{};
  tag(&pd.tag, TAG_ID_PD, s.serial, loc + 2);
  pd.seq_num = 2;
  pd.flags = 1;
  pd.part_num = 0;
  pd.contents = reg(s, REGKIND_PLAIN, 5);
  pd.access_type = s.cls == MediumClass::Rewritable ? 4 : 0;
  pd.start_loc = l.partition_start;
  pd.part_len = l.partition_len;
  pd.imp_id = reg(s, REGKIND_IMPLEMENTATION, 5);
  put(&out[2 * kSector], pd, mdcudfsr_swap_host2le_part_desc, 512);

  uint8_t* lv = &out[3 * kSector];
  logvol_desc lvd{};
  tag(&lvd.tag, TAG_ID_LVD, s.serial, loc + 3);
  lvd.seq_num = 3;
  charset(&lvd.desc_charset);
  std::memcpy(lvd.logvol_id, lvid, sizeof lvid);
  lvd.lb_size = 2048;
  lvd.domain_id = reg(s, REGKIND_DOMAIN, 6);
  lvd.fsd_loc.len = 4096;
  lvd.mt_l = 70 + 6 * s.slot;
  lvd.n_pm = s.slot + 2;
  lvd.imp_id = reg(s, REGKIND_IMPLEMENTATION, 6);
  lvd.integrity_seq_id = extent_ad{0x10000, l.lvid};
  mdcudfsr_swap_host2le_logvol_desc(&lvd);
  std::memcpy(lv, &lvd, sizeof lvd);
  part_map_metadata md{};
  md.type = 2;
  md.len = 64;
  md.id = reg(s, REGKIND_UDF, 6);
  md.vol_seq_num = static_cast<uint16_t>(s.slot + 1);
  md.file_loc = l.metadata_file_loc;
  md.mirror_file_loc = l.mirror_file_loc;
  md.bitmap_file_loc = s.cls == MediumClass::Rewritable ? 0 : 0xFFFFFFFFu;
  md.alloc_unit_size = 1;
  md.align_unit_size = 1;
  mdcudfsr_swap_host2le_part_map_metadata(&md);
  std::memcpy(lv + 440, &md, sizeof md);
  for (uint32_t i = 0; i <= s.slot; ++i) {
    part_map_type1 m{1, 6, static_cast<uint16_t>(i + 1), 0};
    mdcudfsr_swap_host2le_part_map_type1(&m);
    std::memcpy(lv + 504 + 6 * i, &m, sizeof m);
  }
  mdcudfsr_set_udf_tag_crc_and_checksum(lv, 510 + 6 * s.slot);

  unalloc_space_desc usd{};
  tag(&usd.tag, TAG_ID_USD, s.serial, loc + 4);
  usd.seq_num = 4;
  put(&out[4 * kSector], usd, mdcudfsr_swap_host2le_unalloc_space_desc, 24);

  desc_tag td;
  tag(&td, TAG_ID_TD, s.serial, loc + 5);
  mdcudfsr_swap_host2le_desc_tag(&td);
  std::memcpy(&out[5 * kSector], &td, sizeof td);
  mdcudfsr_set_udf_tag_crc_and_checksum(&out[5 * kSector], 512);
  return out;
}

namespace {

void put_anchor(const ImageSpec& s, const ImageLayout& l, uint8_t* dst, uint32_t loc) {
  anchor_vdp a{};
  tag(&a.tag, TAG_ID_AVDP, s.serial, loc);
  a.main_vds_ex = extent_ad{l.vds_len, l.main_vds};
  a.reserve_vds_ex = extent_ad{l.vds_len, l.reserve_vds};
  put(dst, a, mdcudfsr_swap_host2le_anchor_vdp, 512);
}

void put_efe(const ImageSpec& s, uint8_t* dst, uint32_t loc, uint8_t file_type, uint16_t icb_flags, uint64_t inf_len,
             uint64_t blocks, const void* ad, uint32_t l_ad) {
  extended_file_entry e{};
  tag(&e.tag, TAG_ID_EFE, s.serial, loc);
  e.icbtag.strat_type = 4;
  e.icbtag.max_num_entries = 1;
  e.icbtag.file_type = file_type;
  e.icbtag.flags = icb_flags;
  e.uid = 0xFFFFFFFFu;
  e.gid = 0xFFFFFFFFu;
  e.perm = 0x7FFF;
  e.link_cnt = file_type == 4 ? 1 : 0;
  e.inf_len = inf_len;
  e.object_size = inf_len;
  e.logblks_rec = blocks;
  e.atime = e.mtime = e.ctime = e.attrtime = kTime;
  e.ckpoint = 1;
  e.imp_id = reg(s, REGKIND_IMPLEMENTATION, 266);
  e.l_ad = l_ad;
  mdcudfsr_swap_host2le_extended_file_entry(&e);
  std::memcpy(dst, &e, sizeof e);
  std::memcpy(dst + sizeof e, ad, l_ad);
  mdcudfsr_set_udf_tag_crc_and_checksum(dst, static_cast<uint32_t>(sizeof e + l_ad));
}

}  // namespace

ImageLayout build_volume(const ImageSpec& s, std::vector<uint8_t>& medium) {
  const ImageLayout l = layout_for(s);
  medium.assign(static_cast<size_t>(s.sectors) * kSector, 0);
  auto sec = [&](uint32_t lsn) { return medium.data() + static_cast<size_t>(lsn) * kSector; };

  // Volume recognition sequence (ECMA-167 2/9.1): BEA01, NSR03, TEA01 in
  // sectors 16-18, written here so that the builder needs none of the
  // engine's mount-level code.
  const char* const vrs[] = {"BEA01", "NSR03", "TEA01"};
  for (uint32_t i = 0; i < 3; ++i) {
    uint8_t* d = sec(16 + i);
    std::memcpy(d + 1, vrs[i], 5);
    d[6] = 1;
  }
  put_anchor(s, l, sec(256), 256);
  put_anchor(s, l, sec(l.avdp2), l.avdp2);
  auto main = build_vds_copy(s, l.main_vds);
  auto reserve = build_vds_copy(s, l.reserve_vds);
  std::memcpy(sec(l.main_vds), main.data(), main.size());
  std::memcpy(sec(l.reserve_vds), reserve.data(), reserve.size());

  // Integrity descriptor and its terminator.
  {
    uint8_t* p = sec(l.lvid);
    const uint32_t n = s.slot + 2;
    logvol_integrity_desc d{};
    tag(&d.tag, TAG_ID_LVID, s.serial, l.lvid);
    d.recording_date_time = kTime;
    d.integrity_type = 1;
    d.unique_id = 28;
    d.num_partitions = n;
    d.length_imp_use = 46;
    std::memcpy(p, &d, sizeof d);
    auto* words = reinterpret_cast<uint32_t*>(p + 80);
    for (uint32_t i = 0; i < n; ++i) words[i] = 0xFFFFFFFFu;
    words[n] = 32;
    for (uint32_t i = 1; i < n; ++i) words[n + i] = l.partition_len;
    imp_use_logvol_integrity_desc iu{};
    iu.imp_use_id = reg(s, REGKIND_IMPLEMENTATION, 9);
    iu.num_dirs = 1;
    const uint16_t w = s.cls == MediumClass::Rewritable ? 0x0250 : 0x0260;
    iu.min_udf_read_rev = 0x0250;
    iu.min_udf_write_rev = w;
    iu.max_udf_write_rev = w;
    std::memcpy(p + 80 + 8 * n, &iu, sizeof iu);
    mdcudfsr_swap_host2le_logvol_integrity_desc(reinterpret_cast<logvol_integrity_desc*>(p));
    mdcudfsr_set_udf_tag_crc_and_checksum(p, 126 + 8 * n);
    desc_tag td;
    tag(&td, TAG_ID_TD, s.serial, l.lvid + 1);
    mdcudfsr_swap_host2le_desc_tag(&td);
    std::memcpy(sec(l.lvid + 1), &td, sizeof td);
    mdcudfsr_set_udf_tag_crc_and_checksum(sec(l.lvid + 1), 512);
  }

  // Metadata content: file set descriptor (block 0), terminator (1), root (2).
  {
    const uint32_t m = s.metadata_lsn;
    fileset_desc f{};
    tag(&f.tag, TAG_ID_FSD, s.serial, 0);
    f.time = kTime;
    f.ichg_lvl = 3;
    f.max_ichg_lvl = 3;
    f.charset_list = 1;
    f.max_charset_list = 1;
    charset(&f.logvol_id_charset);
    dstring(f.logvol_id, sizeof f.logvol_id, "SERIAL0001");
    charset(&f.fileset_charset);
    dstring(f.fileset_id, sizeof f.fileset_id, "KELFS");
    f.rootdir_icb.len = 2048;
    f.rootdir_icb.loc = lb_addr{2, 0};
    f.domain_id = reg(s, REGKIND_DOMAIN, 256);
    put(sec(m), f, mdcudfsr_swap_host2le_fileset_desc, 512);
    desc_tag td;
    tag(&td, TAG_ID_TD, s.serial, 1);
    mdcudfsr_swap_host2le_desc_tag(&td);
    std::memcpy(sec(m + 1), &td, sizeof td);
    mdcudfsr_set_udf_tag_crc_and_checksum(sec(m + 1), 512);

    uint8_t fid_bytes[40] = {};
    fileid_desc fid{};
    tag(&fid.tag, TAG_ID_FID, s.serial, 2);
    fid.file_num = 1;
    fid.file_char = 0x0A;
    fid.icb.len = 2048;
    fid.icb.loc = lb_addr{2, 0};
    mdcudfsr_swap_host2le_fileid_desc(&fid);
    std::memcpy(fid_bytes, &fid, sizeof fid);
    mdcudfsr_set_udf_tag_crc_and_checksum(fid_bytes, 38);
    put_efe(s, sec(m + 2), 2, 4, 3, 40, 0, fid_bytes, sizeof fid_bytes);

    // Metadata file and mirror entries, one extent of 32 blocks.
    short_ad ad{65536, m - 4096};
    put_efe(s, sec(m + 32), l.metadata_file_loc, 250, 0, 65536, 32, &ad, sizeof ad);
    put_efe(s, sec(m + 48), l.mirror_file_loc, 251, 0, 65536, 32, &ad, sizeof ad);
  }
  return l;
}

void reseal(uint8_t* desc) {
  desc_tag t;
  std::memcpy(&t, desc, sizeof t);
  const uint32_t n = mdcudfsr_le16_to_host(t.desc_crc_len);
  mdcudfsr_set_udf_tag_crc_and_checksum(desc, n ? n + 16 : 0);
}

void relocate(uint8_t* desc, uint32_t loc) {
  desc_tag t;
  std::memcpy(&t, desc, sizeof t);
  t.tag_loc = mdcudfsr_le32_to_host(loc);
  std::memcpy(desc, &t, sizeof t);
  reseal(desc);
}

void setup_partitions(mdcudfsr_mount* mnt, const ImageLayout& l) {
  mnt->part[2].start_sector = l.partition_start;
  mnt->part[2].length = static_cast<uint64_t>(l.partition_len) * kSector;
  mnt->partition_length = mnt->part[2].length;
  mnt->partition_blocks = l.partition_len;
  for (uint32_t i = 0; i < 2; ++i) {
    mdcudfsr_extent_list_remove_all(&mnt->part[i].list);
    mdcudfsr_extent_entry e;
    e.extent.len = 65536;
    e.extent.loc = lb_addr{l.metadata_extent, 2};
    mdcudfsr_extent_list_add(&mnt->part[i].list, &e, kSector);
    mnt->part[i].length = 65536;
    mnt->part[i].start_sector = l.partition_start + l.metadata_extent;
  }
  mnt->part[0].efe_block = l.metadata_file_loc;
  mnt->part[1].efe_block = l.mirror_file_loc;
  mnt->metadata_main_partition_length = 65536;
  mnt->metadata_mirr_partition_length = 65536;
  mnt->metadata_block_count = 3;
  mnt->metadata_file_loc = l.metadata_file_loc;
  mnt->metadata_mirror_loc = l.mirror_file_loc;
  mnt->first_physical_lsn = l.partition_start;
}

uint32_t put_fid(mdcudfsr_mount* mnt, uint8_t* out, uint32_t tag_loc, uint8_t chars, const char* name, uint32_t icb,
                 uint64_t uid) {
  uint8_t cs0[256];
  uint32_t n = 0;
  if (name) {
    n = sizeof cs0;
    mdcudfsr_unicode_utf82udf(reinterpret_cast<const uint8_t*>(name), static_cast<uint32_t>(std::strlen(name)), cs0, &n);
  }
  fileid_desc f{};
  mdcudfsr_init_udf_tag(mnt, &f.tag, TAG_ID_FID, tag_loc);
  f.file_num = 1;
  f.file_char = chars;
  f.l_fi = static_cast<uint8_t>(n);
  f.icb = long_ad{kSector, lb_addr{icb, 0}, 0, static_cast<uint32_t>(uid)};
  const uint32_t len = (38 + n + 3) & ~3u;
  mdcudfsr_swap_host2le_fileid_desc(&f);
  std::memset(out, 0, len);
  std::memcpy(out, &f, sizeof f);
  std::memcpy(out + 38, cs0, n);
  mdcudfsr_set_udf_tag_crc_and_checksum(out, len);
  return len;
}

std::vector<DirEntry> read_dir_in_icb(const uint8_t* efe_block, uint32_t l_ea, uint32_t l_ad) {
  std::vector<DirEntry> out;
  const uint32_t base = sizeof(extended_file_entry) + l_ea;
  if (uint64_t{base} + l_ad > kSector) return {};
  for (uint32_t off = 0; off + 38 <= l_ad;) {
    const uint8_t* p = efe_block + base + off;
    fileid_desc f;
    std::memcpy(&f, p, sizeof f);
    mdcudfsr_swap_le2host_fileid_desc(&f);
    const uint32_t len = (38 + f.l_iu + f.l_fi + 3) & ~3u;
    if (!mdcudfsr_check_udf_tag(p, TAG_ID_FID) || !mdcudfsr_check_udf_tag_crc(p, len) || off + len > l_ad) return {};
    uint8_t utf8[512];
    uint64_t n = sizeof utf8;
    std::string name;
    if (f.l_fi) {
      if (mdcudfsr_unicode_udf2utf8(p + 38 + f.l_iu, f.l_fi, utf8, &n) != 0) return {};
      name.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(n));
    }
    out.push_back({name, f.file_char, f.icb.loc.lb_num, f.icb.ad_id});
    off += len;
  }
  return out;
}

MetadataContent::MetadataContent(const std::vector<uint8_t>& medium, uint32_t metadata_lsn)
    : bytes_(medium.begin() + size_t(metadata_lsn) * kSector, medium.begin() + size_t(metadata_lsn + 2) * kSector) {}

uint32_t MetadataContent::alloc(uint32_t n) {
  const auto at = static_cast<uint32_t>(bytes_.size() / kSector);
  bytes_.resize(bytes_.size() + size_t(n) * kSector, 0);
  return at;
}

void MetadataContent::add_fid(std::vector<uint8_t>& out, uint8_t chars, const std::string& name, uint32_t icb) {
  fileid_desc f{};
  f.tag.id = TAG_ID_FID;
  f.tag.descriptor_ver = 3;
  f.file_num = 1;
  f.file_char = chars;
  f.l_fi = static_cast<uint8_t>(name.empty() ? 0 : name.size() + 1);
  f.icb.len = kSector;
  f.icb.loc = lb_addr{icb, 0};
  const size_t at = out.size();
  out.resize(at + sizeof f);
  std::memcpy(&out[at], &f, sizeof f);
  if (!name.empty()) {
    out.push_back(8);
    out.insert(out.end(), name.begin(), name.end());
  }
  out.resize((out.size() + 3) & ~size_t{3}, 0);
  mdcudfsr_set_udf_tag_crc_and_checksum(&out[at], static_cast<uint32_t>(out.size() - at));
}

void MetadataContent::entry(uint32_t lbn, uint8_t type, uint64_t uid, uint64_t len, const void* ad, uint32_t l_ad,
                            uint16_t ad_type) {
  extended_file_entry e{};
  e.tag.id = TAG_ID_EFE;
  e.tag.descriptor_ver = 3;
  e.tag.tag_loc = lbn;
  e.icbtag.strat_type = 4;
  e.icbtag.max_num_entries = 1;
  e.icbtag.file_type = type;
  e.icbtag.flags = ad_type;
  e.uid = e.gid = 0xFFFFFFFFu;
  e.perm = 0x7FFF;
  e.link_cnt = 1;
  e.inf_len = e.object_size = len;
  e.unique_id = uid;
  e.l_ad = l_ad;
  uint8_t* b = &bytes_[size_t(lbn) * kSector];
  std::memcpy(b, &e, sizeof e);
  if (l_ad) std::memcpy(b + sizeof e, ad, l_ad);
  mdcudfsr_set_udf_tag_crc_and_checksum(b, static_cast<uint32_t>(sizeof e + l_ad));
}

void MetadataContent::directory(uint32_t lbn, uint64_t uid, const std::vector<uint8_t>& fids) {
  const auto blocks = static_cast<uint32_t>((fids.size() + kSector - 1) / kSector);
  const uint32_t at = alloc(blocks);
  std::memcpy(&bytes_[size_t(at) * kSector], fids.data(), fids.size());
  short_ad ad{static_cast<uint32_t>(fids.size()), at};
  entry(lbn, 4, uid, fids.size(), &ad, sizeof ad, 0);
}

void repoint_metadata_file(uint8_t* block, uint64_t bytes, uint32_t extent) {
  extended_file_entry e;
  std::memcpy(&e, block, sizeof e);
  e.inf_len = e.object_size = bytes;
  e.logblks_rec = bytes / kSector;
  short_ad ad{static_cast<uint32_t>(bytes), extent};
  std::memcpy(block, &e, sizeof e);
  std::memcpy(block + sizeof e + e.l_ea, &ad, sizeof ad);
  mdcudfsr_set_udf_tag_crc_and_checksum(block, static_cast<uint32_t>(sizeof e + e.l_ea + e.l_ad));
}

}  // namespace udf_test
