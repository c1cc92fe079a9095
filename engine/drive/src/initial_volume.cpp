// Initial UDF volumes of write-once and rewritable media: one section of the
// volume at a time, built into the caller's write buffer.
#include "cm_data_internal.h"
#include "drive/scsi_service_re.h"
#include "drive/scsi_service_wo.h"

#include "udf/udf_regid.h"

#include <bit>
#include <cstdio>
#include <string>

using namespace drvlog;

static_assert(std::endian::native == std::endian::little,
              "the descriptors are filled in host order, which must be the medium's");

namespace {

constexpr std::uint32_t kSector = 2048;

// Everything a section needs besides its own position.
struct VolumeContext {
  bool rewritable = false;
  std::uint8_t slot = 0;
  std::uint16_t tag_serial = 0;
  char regctx[2] = {0, 0};
  timestamp rec{};
  std::uint8_t lvid[128] = {};     // logical volume identifier (dstring)
  std::uint8_t volset[128] = {};   // volume set identifier (dstring)
  std::uint32_t part_len = 0;
};

void set_tag(void* d, std::uint16_t id, std::uint32_t loc, std::uint16_t serial) {
  auto* t = static_cast<desc_tag*>(d);
  t->id = id;
  t->descriptor_ver = 3;
  t->serial_num = serial;
  t->tag_loc = loc;
}

void finish(void* d, std::uint16_t length) { scsi_service_cm::CalcDescriptorCRCAndChecksum(d, length); }

void osta_charspec(charspec* c) {
  c->type = 0;
  std::memset(c->inf, 0, sizeof(c->inf));
  std::memcpy(c->inf, "OSTA Compressed Unicode", 23);
}

// dstring of 8-bit characters: compression 8, text, used length in the last byte.
void dstring(std::uint8_t* field, std::size_t size, const char* text, std::size_t len) {
  std::memset(field, 0, size);
  if (len > size - 2) len = size - 2;
  field[0] = 8;
  std::memcpy(field + 1, text, len);
  field[size - 1] = static_cast<std::uint8_t>(len + 1);
}

void reg(const VolumeContext& v, regid* out, int kind, int key) { make_reg_id(v.regctx, out, kind, key); }

void vrs(std::uint8_t* b) {
  const char* ids[3] = {"BEA01", "NSR03", "TEA01"};
  for (int i = 0; i < 3; ++i) {
    std::uint8_t* p = b + 0x8000 + 0x800 * i;
    p[0] = 0;
    std::memcpy(p + 1, ids[i], 5);
    p[6] = 1;
  }
}

void avdp(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc, std::uint32_t main, std::uint32_t reserve) {
  auto* a = reinterpret_cast<anchor_vdp*>(p);
  set_tag(a, TAG_ID_AVDP, loc, v.tag_serial);
  a->main_vds_ex = {0x8000, main};
  a->reserve_vds_ex = {0x8000, reserve};
  finish(a, 512);
}

void pvd(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc) {
  auto* d = reinterpret_cast<pri_vol_desc*>(p);
  set_tag(d, TAG_ID_PVD, loc, v.tag_serial);
  d->seq_num = 0;
  d->pdv_num = 0;
  char name[16];
  const int n = std::snprintf(name, sizeof(name), "%s%02d", "KELFS VOL", v.slot + 1);
  dstring(d->vol_id, sizeof(d->vol_id), name, static_cast<std::size_t>(n));
  d->vds_num = static_cast<std::uint16_t>(v.slot + 1);
  d->max_vol_seq = 0;
  d->ichg_lvl = 3;
  d->max_ichg_lvl = 3;
  d->charset_list = 1;
  d->max_charset_list = 1;
  std::memcpy(d->volset_id, v.volset, sizeof(d->volset_id));
  osta_charspec(&d->desc_charset);
  osta_charspec(&d->explanatory_charset);
  reg(v, &d->app_id, REGKIND_PLAIN, 1);
  d->time = v.rec;
  reg(v, &d->imp_id, REGKIND_IMPLEMENTATION, 1);
  d->prev_vds_lov = 0;
  d->flags = 1;
  finish(d, 512);
}

void iuvd(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc) {
  auto* d = reinterpret_cast<imp_use_vol_desc*>(p);
  set_tag(d, TAG_ID_IUVD, loc, v.tag_serial);
  d->seq_num = 1;
  reg(v, &d->imp_id, REGKIND_UDF, 4);
  auto* info = reinterpret_cast<logvol_info*>(d->imp_use);
  osta_charspec(&info->lvi_charset);
  std::memcpy(info->logvol_id, v.lvid, 128);
  reg(v, &info->imp_id, REGKIND_IMPLEMENTATION, 4);
  finish(d, 512);
}

void pd(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc) {
  auto* d = reinterpret_cast<part_desc*>(p);
  set_tag(d, TAG_ID_PD, loc, v.tag_serial);
  d->seq_num = 2;
  d->flags = 1;
  d->part_num = 0;
  reg(v, &d->contents, REGKIND_PLAIN, 5);
  d->access_type = v.rewritable ? 4 : 0;
  d->start_loc = 4096;
  d->part_len = v.part_len;
  reg(v, &d->imp_id, REGKIND_IMPLEMENTATION, 5);
  finish(d, 512);
}

void lvd(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc, std::uint32_t meta, std::uint32_t mirror,
         std::uint32_t integrity) {
  auto* d = reinterpret_cast<logvol_desc*>(p);
  set_tag(d, TAG_ID_LVD, loc, v.tag_serial);
  d->seq_num = 3;
  osta_charspec(&d->desc_charset);
  std::memcpy(d->logvol_id, v.lvid, 128);
  d->lb_size = kSector;
  reg(v, &d->domain_id, REGKIND_DOMAIN, 6);
  d->fsd_loc.len = 4096;
  d->fsd_loc.loc = {0, 0};
  d->mt_l = 70u + 6u * v.slot;
  d->n_pm = v.slot + 2u;
  reg(v, &d->imp_id, REGKIND_IMPLEMENTATION, 6);
  d->integrity_seq_id = {0x10000, integrity};
  auto* m = reinterpret_cast<part_map_metadata*>(p + sizeof(logvol_desc));
  m->type = 2;
  m->len = 64;
  reg(v, &m->id, REGKIND_UDF, 6);
  m->vol_seq_num = static_cast<std::uint16_t>(v.slot + 1);
  m->part_num = 0;
  m->file_loc = meta;
  m->mirror_file_loc = mirror;
  // No metadata bitmap file on either medium class: recorded as FFFFFFFFh
  // (UDF 2.50 2.2.10); 0 would name a real block of the metadata partition.
  m->bitmap_file_loc = 0xFFFFFFFFu;
  m->alloc_unit_size = 1;
  m->align_unit_size = 1;
  m->flags = 0;
  auto* t1 = reinterpret_cast<part_map_type1*>(p + sizeof(logvol_desc) + sizeof(part_map_metadata));
  for (int i = 0; i <= v.slot; ++i) {
    t1[i].type = 1;
    t1[i].len = 6;
    t1[i].vol_seq_num = static_cast<std::uint16_t>(i + 1);
    t1[i].part_num = 0;
  }
  finish(d, static_cast<std::uint16_t>(510 + 6 * v.slot));
}

void usd(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc) {
  auto* d = reinterpret_cast<unalloc_space_desc*>(p);
  set_tag(d, TAG_ID_USD, loc, v.tag_serial);
  d->seq_num = 4;
  d->num_alloc_desc = 0;
  finish(d, 24);
}

void td(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc) {
  set_tag(p, TAG_ID_TD, loc, v.tag_serial);
  finish(p, 512);
}

// The six descriptors of one volume descriptor sequence, 2048 bytes apart.
void sequence(const VolumeContext& v, std::uint8_t* p, std::uint32_t first, std::uint32_t meta,
              std::uint32_t mirror, std::uint32_t integrity) {
  pvd(v, p, first);
  iuvd(v, p + 0x800, first + 1);
  pd(v, p + 0x1000, first + 2);
  lvd(v, p + 0x1800, first + 3, meta, mirror, integrity);
  usd(v, p + 0x2000, first + 4);
  td(v, p + 0x2800, first + 5);
}

void lvid(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc, bool open, std::uint32_t next_uid) {
  auto* d = reinterpret_cast<logvol_integrity_desc*>(p);
  const std::uint32_t n = v.slot + 2u;
  set_tag(d, TAG_ID_LVID, loc, v.tag_serial);
  d->recording_date_time = v.rec;
  d->integrity_type = open ? 0 : 1;
  d->next_integrity_ext = {0, 0};
  d->unique_id = next_uid ? next_uid : 28;
  d->num_partitions = n;
  d->length_imp_use = 46;
  auto* tables = reinterpret_cast<std::uint32_t*>(p + sizeof(logvol_integrity_desc));
  for (std::uint32_t i = 0; i < n; ++i) tables[i] = 0xFFFFFFFFu;
  tables[n] = 32;
  for (std::uint32_t i = 1; i < n; ++i) tables[n + i] = v.part_len;
  auto* iu = reinterpret_cast<imp_use_logvol_integrity_desc*>(p + sizeof(logvol_integrity_desc) + 8 * n);
  reg(v, &iu->imp_use_id, REGKIND_IMPLEMENTATION, 9);
  iu->num_files = 0;
  iu->num_dirs = 1;
  iu->min_udf_read_rev = 0x0250;
  iu->min_udf_write_rev = v.rewritable ? 0x0250 : 0x0260;
  iu->max_udf_write_rev = v.rewritable ? 0x0250 : 0x0260;
  finish(d, static_cast<std::uint16_t>(126 + 8 * n));
}

// File set descriptor, terminating descriptor and root directory at
// metadata blocks 0, 1 and 2.
void metadata_extent(const VolumeContext& v, std::uint8_t* b) {
  auto* f = reinterpret_cast<fileset_desc*>(b);
  set_tag(f, TAG_ID_FSD, 0, v.tag_serial);
  f->time = v.rec;
  f->ichg_lvl = 3;
  f->max_ichg_lvl = 3;
  f->charset_list = 1;
  f->max_charset_list = 1;
  osta_charspec(&f->logvol_id_charset);
  std::memcpy(f->logvol_id, v.lvid, 128);
  osta_charspec(&f->fileset_charset);
  dstring(f->fileset_id, sizeof(f->fileset_id), "KELFS", 5);
  f->rootdir_icb.len = kSector;
  f->rootdir_icb.loc = {2, 0};
  reg(v, &f->domain_id, REGKIND_DOMAIN, 256);
  finish(f, 512);

  td(v, b + 0x800, 1);

  std::uint8_t* r = b + 0x1000;
  auto* e = reinterpret_cast<extended_file_entry*>(r);
  set_tag(e, TAG_ID_EFE, 2, v.tag_serial);
  e->icbtag.strat_type = 4;
  e->icbtag.max_num_entries = 1;
  e->icbtag.file_type = 4;
  e->icbtag.flags = 3;
  e->uid = 0xFFFFFFFFu;
  e->gid = 0xFFFFFFFFu;
  e->perm = 0x7FFF;
  e->link_cnt = 1;
  e->inf_len = 40;
  e->object_size = 40;
  e->logblks_rec = 0;
  e->atime = e->mtime = e->ctime = e->attrtime = v.rec;
  e->ckpoint = 1;
  reg(v, &e->imp_id, REGKIND_IMPLEMENTATION, 266);
  e->unique_id = 0;
  e->l_ea = 0;
  e->l_ad = 40;
  auto* fid = reinterpret_cast<fileid_desc*>(r + sizeof(extended_file_entry));
  set_tag(fid, TAG_ID_FID, 2, v.tag_serial);
  fid->file_num = 1;
  fid->file_char = 0x0A;
  fid->l_fi = 0;
  fid->icb.len = kSector;
  fid->icb.loc = {2, 0};
  fid->l_iu = 0;
  finish(fid, 40);
  finish(e, 256);
}

// Metadata file entry (file type 250) or its mirror (251).
void metadata_fe(const VolumeContext& v, std::uint8_t* p, std::uint32_t loc, std::uint8_t type,
                 std::uint32_t extent_pos) {
  auto* e = reinterpret_cast<extended_file_entry*>(p);
  set_tag(e, TAG_ID_EFE, loc, v.tag_serial);
  e->icbtag.strat_type = 4;
  e->icbtag.max_num_entries = 1;
  e->icbtag.file_type = type;
  e->icbtag.flags = 0;
  e->uid = 0xFFFFFFFFu;
  e->gid = 0xFFFFFFFFu;
  e->perm = 0x7FFF;
  e->link_cnt = 0;
  e->inf_len = 65536;
  e->object_size = 65536;
  e->logblks_rec = 32;
  e->atime = e->mtime = e->ctime = e->attrtime = v.rec;
  e->ckpoint = 1;
  reg(v, &e->imp_id, REGKIND_IMPLEMENTATION, 266);
  e->l_ad = 8;
  auto* ad = reinterpret_cast<short_ad*>(p + sizeof(extended_file_entry));
  ad->len = 65536;
  ad->pos = extent_pos;
  finish(e, 224);
}

timestamp record_time(const setup_buffer_info_t& s) {
  timestamp t{};
  t.type_tz = s.type_and_timezone;
  t.year = static_cast<std::uint16_t>(s.year);
  t.month = s.month;
  t.day = s.day;
  t.hour = s.hour;
  t.minute = s.minute;
  t.second = s.second;
  t.centisec = s.centiseconds;
  t.hund_usec = s.hundreds_of_microseconds;
  t.usec = s.microseconds;
  return t;
}

std::uint32_t record_packed(const setup_buffer_info_t& s) {
  return media::packed_time(s.year, s.month, s.day, s.hour, s.minute, s.second);
}

// Trailing blanks and NULs removed; empty when the serial is empty.
std::string trimmed_serial(const char (&serial)[32]) {
  std::size_t n = 0;
  while (n < 32 && serial[n] != '\0') ++n;
  while (n > 0 && (serial[n - 1] == ' ' || serial[n - 1] == '\0')) --n;
  return std::string(serial, n);
}

void logical_volume_id(VolumeContext& v, const std::string& trimmed, std::uint32_t packed) {
  if (!trimmed.empty()) {
    dstring(v.lvid, sizeof(v.lvid), trimmed.data(), trimmed.size());
  } else {
    char text[16];
    const int n = std::snprintf(text, sizeof(text), "_%08lX", static_cast<unsigned long>(packed));
    dstring(v.lvid, sizeof(v.lvid), text, static_cast<std::size_t>(n));
  }
}

void volume_set_id(VolumeContext& v, bool stride, const char (&serial)[32], const char (&stamp)[8],
                   std::uint32_t volume_set_number, std::uint32_t packed) {
  char ser[33] = {};
  std::memcpy(ser, serial, 32);
  char st[9] = {};
  std::memcpy(st, stamp, 8);
  const bool present = serial[0] != '\0';
  char text[128] = {};
  int n;
  if (!stride) {
    n = present ? std::snprintf(text, sizeof(text), "%08lX%-8.8s%32s", static_cast<unsigned long>(packed), "KELFS   ", ser)
                : std::snprintf(text, sizeof(text), "%08lX%-8.8s", static_cast<unsigned long>(packed), "KELFS   ");
  } else if (present) {
    n = volume_set_number
            ? std::snprintf(text, sizeof(text), "%08lX%-8.8s%32s", static_cast<unsigned long>(volume_set_number),
                            "KELFS   ", ser)
            : std::snprintf(text, sizeof(text), "%-8.8s%-8.8s%32s", st, "KELFS   ", ser);
  } else {
    n = std::snprintf(text, sizeof(text), "%-8.8s%-8.8s", st, "KELFS   ");
  }
  dstring(v.volset, sizeof(v.volset), text, static_cast<std::size_t>(n));
}

// The metadata file's entry and its mirror's, in the two halves of the unit.
void metadata_fes(const VolumeContext& v, const setup_buffer_info_t& s) {
  metadata_fe(v, s.buffer, s.buffer_lsn - 4096, 0xFA, s.metadata_content_lsn - 4096);
  metadata_fe(v, s.buffer + 0x8000, s.buffer_lsn - 4080, 0xFB, s.metadata_content_lsn - 4096);
}

// The integrity sequence at `loc`: the descriptor and its terminator.
void integrity_sequence(const VolumeContext& v, std::uint8_t* b, std::uint32_t loc, Boolean openIntegrity,
                        UInt32 nextUniqueId) {
  lvid(v, b, loc, openIntegrity, nextUniqueId);
  td(v, b + 0x800, loc + 1);
}

// Whether the set-up record's buffer holds its write-once section: 64 KiB,
// more for the sequences and the last anchor of F2h media. A section that
// would not fit is never written past the caller's buffer.
bool write_once_buffer_holds(const setup_buffer_info_t& s, bool f2) {
  const std::uint32_t need = s.type == 6 ? (f2 ? 0x43000u : 0x10000u) : s.type == 9 ? (f2 ? 0x40000u : 0x10000u) : 0x10000u;
  if (s.buffer_size >= 65536 && s.buffer_size >= need) return true;
  DRV_LOG(ERR_, "fail BufferSize 0x%x\n", s.buffer_size);
  return false;
}

// One section of a write-once volume into the set-up record's buffer:
// 0 the recognition sequence, 2 the first anchor, 4 the metadata extent,
// 5 the metadata file entries, 6 both descriptor sequences, 7 the
// integrity sequence, 9 the last anchor.
void write_once_section(const VolumeContext& v, const setup_buffer_info_t& s, bool f2, UInt32 metadataLsn,
                        Boolean openIntegrity, UInt32 nextUniqueId) {
  const std::uint32_t main = f2 ? 384 : 288, reserve = f2 ? 512 : 304, integrity = f2 ? 640 : 320;
  std::uint8_t* b = s.buffer;
  switch (s.type) {
    case 0:
      vrs(b);
      break;
    case 2:
      avdp(v, b, 256, main, reserve);
      break;
    case 4:
      metadata_extent(v, b);
      break;
    case 5:
      metadata_fes(v, s);
      break;
    case 6: {
      const std::uint32_t m1 = metadataLsn ? metadataLsn - 4096 : 288;
      const std::uint32_t m2 = metadataLsn ? metadataLsn - 4080 : 304;
      const std::uint32_t r1 = metadataLsn ? m1 : (f2 ? 384 : 288);
      const std::uint32_t r2 = metadataLsn ? m2 : (f2 ? 512 : 304);
      sequence(v, b, main, m1, m2, integrity);
      sequence(v, b + (f2 ? 0x40000 : 0x8000), reserve, r1, r2, integrity);
      break;
    }
    case 7:
      integrity_sequence(v, b, integrity, openIntegrity, nextUniqueId);
      break;
    case 9:
      avdp(v, b + (f2 ? 0x3F800 : 0xF800), s.block_count - 1, main, reserve);
      break;
    default:
      break;
  }
}

// One section of a rewritable volume into the set-up record's buffer:
// 0 the metadata extent, 1 the metadata file entries, 2 the integrity
// sequence, 3 the reserve sequence with the last anchor, 4 the first anchor
// with the main sequence, 5 the recognition sequence.
void rewritable_section(const VolumeContext& v, const setup_buffer_info_t& s, UInt32 metadataLsn,
                        Boolean openIntegrity, UInt32 nextUniqueId) {
  const std::uint32_t L = s.block_count;
  const std::uint32_t m1 = metadataLsn ? metadataLsn - 4096 : 288;
  const std::uint32_t m2 = metadataLsn ? metadataLsn - 4080 : 304;
  std::uint8_t* b = s.buffer;
  switch (s.type) {
    case 0:
      metadata_extent(v, b);
      break;
    case 1:
      metadata_fes(v, s);
      break;
    case 2:
      integrity_sequence(v, b, 320, openIntegrity, nextUniqueId);
      break;
    case 3:
      sequence(v, b, L - 31, m1, m2, 320);
      avdp(v, b + 0xF800, L, 272, L - 31);
      break;
    case 4:
      avdp(v, b, 256, 272, L - 31);
      sequence(v, b + 0x8000, 272, m1, m2, 320);
      break;
    case 5:
      vrs(b);
      break;
    default:
      break;
  }
}

}  // namespace

Boolean scsi_service_wo::autoFormatSetUpWriteBuffer(void* setup, UInt32 metadataLsn, pxo_all_erase_info_t*,
                                                    UInt32 volumeSetNumber, UInt32 nextUniqueId,
                                                    Boolean openIntegrity) {
  DRV_TRACE_FN();
  if (setup == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. pparam=0x%p\n", setup);
    return 0;
  }
  auto* s = static_cast<setup_buffer_info_t*>(setup);
  if (m_storage_scsi == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. m_storage_scsi=0x%p\n", static_cast<void*>(m_storage_scsi));
    return 0;
  }
  std::uint8_t type = 0;
  if (errno_t e = m_storage_scsi->get_medium_type(reinterpret_cast<caddr_t>(&type))) {
    DRV_LOG(ERR_, "get_medium_type failed. err(%d)\n", e);
    return 0;
  }
  if (s->buffer == nullptr || s->buffer_size == 0) {
    DRV_LOG(ERR_, "fail Buffer , %p 0x%x\n", static_cast<void*>(s->buffer), s->buffer_size);
    return 0;
  }
  std::memset(s->buffer, 0, s->clear_64k_only ? std::min<std::uint32_t>(65536, s->buffer_size) : s->buffer_size);
  std::string trimmed;
  if ((s->type == 4 || s->type == 6) && m_medium_serial_number[0] != '\0') trimmed = trimmed_serial(m_medium_serial_number);
  if (m_medium_serial_number[0] == '\0') {
    if (errno_t e = m_storage_scsi->get_config_MediumUniqueID(reinterpret_cast<UInt8*>(m_medium_unique_id), 32)) {
      DRV_LOG(ERR_, "get_config_MediumUniqueID failed. err=%d\n", e);
      return 0;
    }
  }
  if (s->type > 9 || s->type == 1 || s->type == 3 || s->type == 8) return 1;
  const bool f2 = type == 0xF2;
  if (!write_once_buffer_holds(*s, f2)) return 0;

  VolumeContext v;
  v.rewritable = false;
  v.slot = m_slot_number;
  v.tag_serial = m_tag_serial_number;
  Boolean failed = false;
  v.regctx[0] = static_cast<char>(m_storage_scsi->get_volume_type_config(&failed));
  if (failed || static_cast<std::uint8_t>(v.regctx[0]) == 0xFF) v.regctx[0] = 0;
  v.regctx[1] = 1;
  v.rec = record_time(*s);
  const std::uint32_t packed = record_packed(*s);
  const std::uint32_t N = s->block_count;
  const std::uint32_t R = f2 ? 2560 : (type == 0xF1 || type == 0xE5) ? 1152 : 288;
  v.part_len = N > 4096 + R ? N - 4096 - R : 0;
  logical_volume_id(v, trimmed, packed);
  volume_set_id(v, m_stride_format != 0, m_medium_serial_number, m_format_timestamp, volumeSetNumber, packed);
  write_once_section(v, *s, f2, metadataLsn, openIntegrity, nextUniqueId);
  return 1;
}

Boolean scsi_service_re::autoFormatSetUpWriteBuffer(void* setup, UInt32 metadataLsn, UInt32, UInt32, UInt32,
                                                    UInt8* logicalVolumeIdentifier, pxo_all_erase_info_t*,
                                                    UInt32 volumeSetNumber, UInt32 nextUniqueId,
                                                    Boolean openIntegrity) {
  DRV_TRACE_FN();
  if (setup == nullptr) {
    DRV_LOG(ERR_, "Invalid parameter. pparam=0x%p\n", setup);
    return 0;
  }
  auto* s = static_cast<setup_buffer_info_t*>(setup);
  if (s->buffer == nullptr || s->buffer_size == 0) {
    DRV_LOG(ERR_, "fail Buffer , %p 0x%x\n", static_cast<void*>(s->buffer), s->buffer_size);
    DRV_LOG(ERR_, "invalid param");
    return 0;
  }
  std::memset(s->buffer, 0, s->clear_64k_only ? std::min<std::uint32_t>(65536, s->buffer_size) : s->buffer_size);
  std::string trimmed;
  if ((s->type == 0 || s->type == 3 || s->type == 4) && m_medium_serial_number[0] != '\0')
    trimmed = trimmed_serial(m_medium_serial_number);
  static const char* const names[6] = {"[%d]Metadata Extent", "[%d]Metadata FE/Metadata Mirror FE", "[%d]LVIS",
                                       "[%d]RVDS/AVDP2", "[%d]AVDP1/MVDS", "[%d]VRS"};
  if (s->type > 5) {
    DRV_LOG(INFO, "[%d]UNKNOWN", static_cast<int>(s->type));
    return 1;
  }
  DRV_LOG(INFO, names[s->type], static_cast<int>(s->type));
  if (s->buffer_size < 65536) {
    DRV_LOG(ERR_, "fail BufferSize 0x%x\n", s->buffer_size);
    return 0;
  }

  VolumeContext v;
  v.rewritable = true;
  v.slot = m_slot_number;
  v.tag_serial = m_tag_serial_number;
  if (m_storage_scsi != nullptr) {
    Boolean failed = false;
    v.regctx[0] = static_cast<char>(m_storage_scsi->get_volume_type_config(&failed));
    if (failed || static_cast<std::uint8_t>(v.regctx[0]) == 0xFF) v.regctx[0] = 0;
  }
  v.regctx[1] = 0;
  v.rec = record_time(*s);
  const std::uint32_t packed = record_packed(*s);
  const std::uint32_t L = s->block_count;
  v.part_len = L + 1 > 4384 ? L + 1 - 4384 : 0;
  if (logicalVolumeIdentifier != nullptr)
    std::memcpy(v.lvid, logicalVolumeIdentifier, sizeof(v.lvid));
  else
    logical_volume_id(v, trimmed, packed);
  volume_set_id(v, m_stride_format != 0, m_medium_serial_number, m_format_timestamp, volumeSetNumber, packed);
  rewritable_section(v, *s, metadataLsn, openIntegrity, nextUniqueId);
  return 1;
}
