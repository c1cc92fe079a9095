// Descriptor dumps (see udf_dump.h).
#include "udf/udf_dump.h"

#include "udf_log.h"

#include "kel/debug.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The debug level is asked once per dump: the outermost dump asks, the
// nested ones it calls take its answer. With tracing off a dump formats
// nothing.
thread_local int t_nesting = 0;
thread_local bool t_enabled = false;

class Dumper {
 public:
  Dumper(const char* fn, int32_t depth) : fn_(fn), d_(depth) {
    if (t_nesting++ == 0) t_enabled = CheckLogLevel(udf_log::DEBG);
  }
  ~Dumper() { --t_nesting; }
  Dumper(const Dumper&) = delete;
  Dumper& operator=(const Dumper&) = delete;
  bool on() const { return t_enabled; }

  void msg(int line, const char* text) const {
    LogPrint(udf_log::DEBG, udf_log::FS, udf_log::MSG, fn_, line, udf_log::tid(), "%s", text);
  }
  void bars(int32_t n) const {
    for (int32_t i = 0; i < n; ++i) msg(__LINE__, "|");
  }
  void header(const char* record, const char* name) const {
    if (d_ > 0) bars(d_);
    char b[256];
    std::snprintf(b, sizeof b, "+-------[%s:%s]-------\n", name ? name : "", record);
    msg(__LINE__, b);
  }
  void own_bars() const {
    if (d_ >= 0) bars(d_ + 1);
  }
  void u(const char* field, uint64_t v) const {
    own_bars();
    char b[256];
    std::snprintf(b, sizeof b, "p->%s=%u\n", field, static_cast<unsigned>(v));
    msg(__LINE__, b);
  }
  void llu(const char* field, uint64_t v) const {
    own_bars();
    char b[256];
    std::snprintf(b, sizeof b, "p->%s=%llu\n", field, static_cast<unsigned long long>(v));
    msg(__LINE__, b);
  }
  void text(const char* field, const void* t, int width) const {
    own_bars();
    char b[512];
    std::snprintf(b, sizeof b, "p->%s=%-.*s\n", field, width, static_cast<const char*>(t));
    msg(__LINE__, b);
  }
  void raw(const char* text) const {
    own_bars();
    msg(__LINE__, text);
  }
  int32_t inner() const { return d_ + 1; }

 private:
  const char* fn_;
  int32_t d_;
};

template <class T, class Conv>
const T* convert_copy(const T* p, int convert, T* copy, size_t copy_size, Conv conv) {
  if (!convert) return p;
  std::memcpy(copy, p, copy_size);
  conv(copy);
  return copy;
}

#define NEST(fn, field) fn(D.inner(), &q->field, "&( p->" #field " )", 0)

}  // namespace

void __mdcudfsr_dump_desc_tag(int32_t depth, const desc_tag* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("desc_tag", name);
  desc_tag c;
  const desc_tag* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_desc_tag);
  D.u("id", q->id);
  D.u("descriptor_ver", q->descriptor_ver);
  D.u("cksum", q->cksum);
  D.u("reserved", q->reserved);
  D.u("serial_num", q->serial_num);
  D.u("desc_crc", q->desc_crc);
  D.u("desc_crc_len", q->desc_crc_len);
  D.u("tag_loc", q->tag_loc);
}

void __mdcudfsr_dump_lb_addr(int32_t depth, const lb_addr* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("lb_addr", name);
  lb_addr c;
  const lb_addr* q = convert_copy(p, convert, &c, sizeof c, [](lb_addr* a) {
    a->lb_num = mdcudfsr_le32_to_host(a->lb_num);
    a->part_num = mdcudfsr_le16_to_host(a->part_num);
  });
  D.u("lb_num", q->lb_num);
  D.u("part_num", q->part_num);
}

void __mdcudfsr_dump_extent_ad(int32_t depth, const extent_ad* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("extent_ad", name);
  extent_ad c;
  const extent_ad* q = convert_copy(p, convert, &c, sizeof c, [](extent_ad* a) {
    a->len = mdcudfsr_le32_to_host(a->len);
    a->loc = mdcudfsr_le32_to_host(a->loc);
  });
  D.u("len", q->len);
  D.u("loc", q->loc);
}

void __mdcudfsr_dump_short_ad(int32_t depth, const short_ad* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("short_ad", name);
  short_ad c;
  const short_ad* q = convert_copy(p, convert, &c, sizeof c, [](short_ad* a) {
    a->len = mdcudfsr_le32_to_host(a->len);
    a->pos = mdcudfsr_le32_to_host(a->pos);
  });
  D.u("len", q->len);
  D.u("pos", q->pos);
}

void __mdcudfsr_dump_long_ad(int32_t depth, const long_ad* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("long_ad", name);
  long_ad c;
  const long_ad* q = convert_copy(p, convert, &c, sizeof c, [](long_ad* a) {
    a->len = mdcudfsr_le32_to_host(a->len);
    a->loc.lb_num = mdcudfsr_le32_to_host(a->loc.lb_num);
    a->loc.part_num = mdcudfsr_le16_to_host(a->loc.part_num);
    a->ad_flags = mdcudfsr_le16_to_host(a->ad_flags);
    a->ad_id = mdcudfsr_le32_to_host(a->ad_id);
  });
  D.u("len", q->len);
  NEST(__mdcudfsr_dump_lb_addr, loc);
  D.u("ad_flags", q->ad_flags);
  D.u("ad_id", q->ad_id);
}

void __mdcudfsr_dump_charspec(int32_t depth, const charspec* q, const char* name, int) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("charspec", name);
  D.u("type", q->type);
  D.text("inf", q->inf, 63);
}

void __mdcudfsr_dump_timestamp(int32_t depth, const timestamp* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("timestamp", name);
  timestamp c;
  const timestamp* q = convert_copy(p, convert, &c, sizeof c, [](timestamp* t) {
    t->type_tz = mdcudfsr_le16_to_host(t->type_tz);
    t->year = mdcudfsr_le16_to_host(t->year);
  });
  D.u("type_tz", q->type_tz);
  D.u("year", q->year);
  D.u("month", q->month);
  D.u("day", q->day);
  D.u("hour", q->hour);
  D.u("minute", q->minute);
  D.u("second", q->second);
  D.u("centisec", q->centisec);
  D.u("hund_usec", q->hund_usec);
  D.u("usec", q->usec);
}

void __mdcudfsr_dump_regid(int32_t depth, const regid* q, const char* name, int) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("regid", name);
  D.u("flags", q->flags);
  D.text("id", q->id, 23);
  D.text("id_suffix", q->id_suffix, 8);
}

void __mdcudfsr_dump_icb_tag(int32_t depth, const icb_tag* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("icb_tag", name);
  icb_tag c;
  const icb_tag* q = convert_copy(p, convert, &c, sizeof c, [](icb_tag* t) {
    t->prev_num_dirs = mdcudfsr_le32_to_host(t->prev_num_dirs);
    t->strat_type = mdcudfsr_le16_to_host(t->strat_type);
    t->max_num_entries = mdcudfsr_le16_to_host(t->max_num_entries);
    t->parent_icb.lb_num = mdcudfsr_le32_to_host(t->parent_icb.lb_num);
    t->parent_icb.part_num = mdcudfsr_le16_to_host(t->parent_icb.part_num);
    t->flags = mdcudfsr_le16_to_host(t->flags);
  });
  D.u("prev_num_dirs", q->prev_num_dirs);
  D.u("strat_type", q->strat_type);
  D.u("max_num_entries", q->max_num_entries);
  D.u("reserved", q->reserved);
  D.u("file_type", q->file_type);
  NEST(__mdcudfsr_dump_lb_addr, parent_icb);
  D.u("flags", q->flags);
}

void __mdcudfsr_dump_anchor_vdp(int32_t depth, const anchor_vdp* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("anchor_vdp", name);
  anchor_vdp c;
  const anchor_vdp* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_anchor_vdp);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  NEST(__mdcudfsr_dump_extent_ad, main_vds_ex);
  NEST(__mdcudfsr_dump_extent_ad, reserve_vds_ex);
}

void __mdcudfsr_dump_vol_desc_ptr(int32_t depth, const vol_desc_ptr* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("vol_desc_ptr", name);
  vol_desc_ptr c;
  const vol_desc_ptr* q = convert_copy(p, convert, &c, 28, mdcudfsr_swap_le2host_vol_desc_ptr);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  D.u("vds_number", q->vds_number);
  NEST(__mdcudfsr_dump_extent_ad, next_vds_ex);
}

void __mdcudfsr_dump_pri_vol_desc(int32_t depth, const pri_vol_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("pri_vol_desc", name);
  pri_vol_desc c;
  const pri_vol_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_pri_vol_desc);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  D.u("seq_num", q->seq_num);
  D.u("pdv_num", q->pdv_num);
  D.text("vol_id", q->vol_id, 32);
  D.u("vds_num", q->vds_num);
  D.u("max_vol_seq", q->max_vol_seq);
  D.u("ichg_lvl", q->ichg_lvl);
  D.u("max_ichg_lvl", q->max_ichg_lvl);
  D.u("charset_list", q->charset_list);
  D.u("max_charset_list", q->max_charset_list);
  D.text("volset_id", q->volset_id, 128);
  NEST(__mdcudfsr_dump_charspec, desc_charset);
  NEST(__mdcudfsr_dump_charspec, explanatory_charset);
  NEST(__mdcudfsr_dump_extent_ad, vol_abstract);
  NEST(__mdcudfsr_dump_extent_ad, vol_copyright);
  NEST(__mdcudfsr_dump_regid, app_id);
  NEST(__mdcudfsr_dump_timestamp, time);
  NEST(__mdcudfsr_dump_regid, imp_id);
  D.u("prev_vds_lov", q->prev_vds_lov);
  D.u("flags", q->flags);
}

void __mdcudfsr_dump_logvol_desc(int32_t depth, const logvol_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("logvol_desc", name);
  logvol_desc c;
  const logvol_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_logvol_desc);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  D.u("seq_num", q->seq_num);
  NEST(__mdcudfsr_dump_charspec, desc_charset);
  D.text("logvol_id", q->logvol_id, 128);
  D.u("lb_size", q->lb_size);
  NEST(__mdcudfsr_dump_regid, domain_id);
  __mdcudfsr_dump_long_ad(D.inner(), &q->fsd_loc, "&( p->_lvd_use.fsd_loc )", 0);
  D.u("mt_l", q->mt_l);
  D.u("n_pm", q->n_pm);
  NEST(__mdcudfsr_dump_regid, imp_id);
  NEST(__mdcudfsr_dump_extent_ad, integrity_seq_id);
}

void __mdcudfsr_dump_space_bitmap_desc(int32_t depth, const space_bitmap_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("space_bitmap_desc", name);
  space_bitmap_desc c;
  const space_bitmap_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_space_bitmap_desc);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  D.u("num_of_bits", q->num_of_bits);
  D.u("num_of_bytes", q->num_of_bytes);
}

void __mdcudfsr_dump_imp_use_logvol_integrity_desc(int32_t depth, const imp_use_logvol_integrity_desc* p,
                                                   const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("imp_use_logvol_integrity_desc", name);
  imp_use_logvol_integrity_desc c;
  const imp_use_logvol_integrity_desc* q =
      convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_imp_use_logvol_integrity_desc);
  NEST(__mdcudfsr_dump_regid, imp_use_id);
  D.u("num_files", q->num_files);
  D.u("num_dirs", q->num_dirs);
  D.u("min_udf_read_rev", q->min_udf_read_rev);
  D.u("min_udf_write_rev", q->min_udf_write_rev);
  D.u("max_udf_write_rev", q->max_udf_write_rev);
}

void __mdcudfsr_dump_logvol_integrity_desc(int32_t depth, const logvol_integrity_desc* p, const char* name,
                                           int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("logvol_integrity_desc", name);
  alignas(8) uint8_t copy[2048];
  const logvol_integrity_desc* q = p;
  if (convert) {
    std::memcpy(copy, p, sizeof copy);
    q = reinterpret_cast<const logvol_integrity_desc*>(copy);
    mdcudfsr_swap_le2host_logvol_integrity_desc(reinterpret_cast<logvol_integrity_desc*>(copy));
  }
  NEST(__mdcudfsr_dump_desc_tag, tag);
  NEST(__mdcudfsr_dump_timestamp, recording_date_time);
  D.u("integrity_type", q->integrity_type);
  NEST(__mdcudfsr_dump_extent_ad, next_integrity_ext);
  D.llu("_lvid_use.unique_id", q->unique_id);
  D.u("num_partitions", q->num_partitions);
  D.u("length_imp_use", q->length_imp_use);
  int32_t n = static_cast<int32_t>(q->num_partitions);
  // The tables and the implementation use stay inside the descriptor's block.
  constexpr int32_t kMaxTables = (2048 - 80 - 46) / 8;
  if (n > kMaxTables) n = kMaxTables;
  const auto* base = reinterpret_cast<const uint8_t*>(q);
  for (int32_t i = 0; n > 0 && i < 2 * n; ++i) {
    uint32_t w;
    std::memcpy(&w, base + 80 + 4 * i, 4);
    char b[64];
    std::snprintf(b, sizeof b, "*p2=%u\n", w);
    D.raw(b);
  }
  const auto* iu = reinterpret_cast<const imp_use_logvol_integrity_desc*>(base + 80 + 8 * (n > 0 ? n : 0));
  __mdcudfsr_dump_imp_use_logvol_integrity_desc(D.inner(), iu, "( struct imp_use_logvol_integrity_desc* )p2", 0);
}

void __mdcudfsr_dump_part_map_metadata(int32_t depth, const part_map_metadata* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("part_map_metadata", name);
  part_map_metadata c;
  const part_map_metadata* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_part_map_metadata);
  D.u("type", q->type);
  D.u("len", q->len);
  NEST(__mdcudfsr_dump_regid, id);
  D.u("vol_seq_num", q->vol_seq_num);
  D.u("part_num", q->part_num);
  D.u("file_loc", q->file_loc);
  D.u("mirror_file_loc", q->mirror_file_loc);
  D.u("bitmap_file_loc", q->bitmap_file_loc);
  D.u("alloc_unit_size", q->alloc_unit_size);
  D.u("align_unit_size", q->align_unit_size);
  D.u("flags", q->flags);
}

void __mdcudfsr_dump_fileset_desc(int32_t depth, const fileset_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("fileset_desc", name);
  fileset_desc c;
  const fileset_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_fileset_desc);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  NEST(__mdcudfsr_dump_timestamp, time);
  D.u("ichg_lvl", q->ichg_lvl);
  D.u("max_ichg_lvl", q->max_ichg_lvl);
  D.u("charset_list", q->charset_list);
  D.u("max_charset_list", q->max_charset_list);
  D.u("fileset_num", q->fileset_num);
  D.u("fileset_desc_num", q->fileset_desc_num);
  NEST(__mdcudfsr_dump_charspec, logvol_id_charset);
  D.text("logvol_id", q->logvol_id, 128);
  NEST(__mdcudfsr_dump_charspec, fileset_charset);
  D.text("fileset_id", q->fileset_id, 32);
  D.text("copyright_file_id", q->copyright_file_id, 32);
  D.text("abstract_file_id", q->abstract_file_id, 32);
  NEST(__mdcudfsr_dump_long_ad, rootdir_icb);
  NEST(__mdcudfsr_dump_regid, domain_id);
  NEST(__mdcudfsr_dump_long_ad, next_ex);
  NEST(__mdcudfsr_dump_long_ad, streamdir_icb);
}

void __mdcudfsr_dump_part_header_desc(int32_t depth, const part_header_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("part_header_desc", name);
  part_header_desc c;
  const part_header_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_part_header_desc);
  NEST(__mdcudfsr_dump_short_ad, unalloc_space_table);
  NEST(__mdcudfsr_dump_short_ad, unalloc_space_bitmap);
  NEST(__mdcudfsr_dump_short_ad, partition_integrity_table);
  NEST(__mdcudfsr_dump_short_ad, freed_space_table);
  NEST(__mdcudfsr_dump_short_ad, freed_space_bitmap);
}

void __mdcudfsr_dump_part_desc(int32_t depth, const part_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("part_desc", name);
  part_desc c;
  const part_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_part_desc);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  D.u("seq_num", q->seq_num);
  D.u("flags", q->flags);
  D.u("part_num", q->part_num);
  NEST(__mdcudfsr_dump_regid, contents);
  __mdcudfsr_dump_part_header_desc(D.inner(), &q->phd, "&( p->contents_use.phd )", 0);
  D.u("access_type", q->access_type);
  D.u("start_loc", q->start_loc);
  D.u("part_len", q->part_len);
  NEST(__mdcudfsr_dump_regid, imp_id);
}

void __mdcudfsr_dump_fileid_desc(int32_t depth, const fileid_desc* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("fileid_desc", name);
  fileid_desc c;
  const fileid_desc* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_fileid_desc);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  D.u("file_num", q->file_num);
  D.u("file_char", q->file_char);
  D.u("l_fi", q->l_fi);
  NEST(__mdcudfsr_dump_long_ad, icb);
  D.u("l_iu", q->l_iu);
}

void __mdcudfsr_dump_file_entry(int32_t depth, const file_entry* p, const char* name, int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("file_entry", name);
  file_entry c;
  const file_entry* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_file_entry);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  NEST(__mdcudfsr_dump_icb_tag, icbtag);
  D.u("uid", q->uid);
  D.u("gid", q->gid);
  D.u("perm", q->perm);
  D.u("link_cnt", q->link_cnt);
  D.u("rec_format", q->rec_format);
  D.u("rec_disp_attr", q->rec_disp_attr);
  D.u("rec_len", q->rec_len);
  D.llu("inf_len", q->inf_len);
  D.llu("logblks_rec", q->logblks_rec);
  NEST(__mdcudfsr_dump_timestamp, atime);
  NEST(__mdcudfsr_dump_timestamp, mtime);
  NEST(__mdcudfsr_dump_timestamp, attrtime);
  D.u("ckpoint", q->ckpoint);
  NEST(__mdcudfsr_dump_long_ad, ex_attr_icb);
  NEST(__mdcudfsr_dump_regid, imp_id);
  D.llu("unique_id", q->unique_id);
  D.u("l_ea", q->l_ea);
  D.u("l_ad", q->l_ad);
}

void __mdcudfsr_dump_extended_file_entry(int32_t depth, const extended_file_entry* p, const char* name,
                                         int convert) {
  Dumper D(__func__, depth);
  if (!D.on()) return;
  D.header("extended_file_entry", name);
  extended_file_entry c;
  const extended_file_entry* q = convert_copy(p, convert, &c, sizeof c, mdcudfsr_swap_le2host_extended_file_entry);
  NEST(__mdcudfsr_dump_desc_tag, tag);
  NEST(__mdcudfsr_dump_icb_tag, icbtag);
  D.u("uid", q->uid);
  D.u("gid", q->gid);
  D.u("perm", q->perm);
  D.u("link_cnt", q->link_cnt);
  D.u("rec_format", q->rec_format);
  D.u("rec_disp_attr", q->rec_disp_attr);
  D.u("rec_len", q->rec_len);
  D.llu("inf_len", q->inf_len);
  D.llu("object_size", q->object_size);
  D.llu("logblks_rec", q->logblks_rec);
  NEST(__mdcudfsr_dump_timestamp, atime);
  NEST(__mdcudfsr_dump_timestamp, mtime);
  NEST(__mdcudfsr_dump_timestamp, ctime);
  NEST(__mdcudfsr_dump_timestamp, attrtime);
  D.u("ckpoint", q->ckpoint);
  NEST(__mdcudfsr_dump_long_ad, ex_attr_icb);
  NEST(__mdcudfsr_dump_long_ad, stream_directory_icb);
  NEST(__mdcudfsr_dump_regid, imp_id);
  D.llu("unique_id", q->unique_id);
  D.u("l_ea", q->l_ea);
  D.u("l_ad", q->l_ad);
}
