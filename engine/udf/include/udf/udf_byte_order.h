// The field-by-field work behind the whole-record conversions of
// udf_records.h, written once over an integer-order policy `O`:
//   O::s16(uint16_t&), O::s32(uint32_t&), O::s64(uint64_t&)  convert one field;
//   O::table_word(uint32_t host_value)                         called before each
//                                                               integrity table word
//                                                               is converted to
//                                                               little-endian.
// The engine instantiates it with the host's order (nothing changes on a
// little-endian host); a policy that always reverses shows on any host which
// bytes a conversion reaches.
#pragma once

#include "udf/udf_records.h"

namespace udf_order {

template <class O> inline void tag(desc_tag& t) {
  O::s16(t.id);
  O::s16(t.descriptor_ver);
  O::s16(t.serial_num);
  O::s16(t.desc_crc);
  O::s16(t.desc_crc_len);
  O::s32(t.tag_loc);
}
template <class O> inline void ext(extent_ad& e) {
  O::s32(e.len);
  O::s32(e.loc);
}
template <class O> inline void sad(short_ad& e) {
  O::s32(e.len);
  O::s32(e.pos);
}
template <class O> inline void lba(lb_addr& a) {
  O::s32(a.lb_num);
  O::s16(a.part_num);
}
template <class O> inline void lad(long_ad& e) {
  O::s32(e.len);
  lba<O>(e.loc);
  O::s16(e.ad_flags);
  O::s32(e.ad_id);
}
template <class O> inline void ts(timestamp& t) {
  O::s16(t.type_tz);
  O::s16(t.year);
}
template <class O> inline void icb(icb_tag& t) {
  O::s32(t.prev_num_dirs);
  O::s16(t.strat_type);
  O::s16(t.max_num_entries);
  lba<O>(t.parent_icb);
  O::s16(t.flags);
}

template <class O> void anchor(anchor_vdp& p) {
  tag<O>(p.tag);
  ext<O>(p.main_vds_ex);
  ext<O>(p.reserve_vds_ex);
}
template <class O> void vdp(vol_desc_ptr& p) {
  tag<O>(p.tag);
  O::s32(p.vds_number);
  ext<O>(p.next_vds_ex);
}
template <class O> void pvd(pri_vol_desc& p) {
  tag<O>(p.tag);
  O::s32(p.seq_num);
  O::s32(p.pdv_num);
  O::s16(p.vds_num);
  O::s16(p.max_vol_seq);
  O::s16(p.ichg_lvl);
  O::s16(p.max_ichg_lvl);
  O::s32(p.charset_list);
  O::s32(p.max_charset_list);
  ext<O>(p.vol_abstract);
  ext<O>(p.vol_copyright);
  ts<O>(p.time);
  O::s32(p.prev_vds_lov);
  O::s16(p.flags);
}
template <class O> void lvd(logvol_desc& p) {
  tag<O>(p.tag);
  O::s32(p.seq_num);
  O::s32(p.lb_size);
  lad<O>(p.fsd_loc);
  O::s32(p.mt_l);
  O::s32(p.n_pm);
  ext<O>(p.integrity_seq_id);
}
template <class O> void use(unalloc_space_entry& p) {
  tag<O>(p.tag);
  icb<O>(p.icbtag);
  O::s32(p.l_ad);
}
template <class O> void sbd(space_bitmap_desc& p) {
  tag<O>(p.tag);
  O::s32(p.num_of_bits);
  O::s32(p.num_of_bytes);
}
template <class O> void lvid_iu(imp_use_logvol_integrity_desc& p) {
  O::s32(p.num_files);
  O::s32(p.num_dirs);
  O::s16(p.min_udf_read_rev);
  O::s16(p.min_udf_write_rev);
  O::s16(p.max_udf_write_rev);
}
template <class O> void lvid_fixed(logvol_integrity_desc& p) {
  tag<O>(p.tag);
  ts<O>(p.recording_date_time);
  O::s32(p.integrity_type);
  ext<O>(p.next_integrity_ext);
  O::s64(p.unique_id);
  O::s32(p.num_partitions);
  O::s32(p.length_imp_use);
}
inline uint32_t* lvid_tables(logvol_integrity_desc& p) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<uint8_t*>(&p) + sizeof(logvol_integrity_desc));
}
inline imp_use_logvol_integrity_desc* lvid_imp_use(logvol_integrity_desc& p, uint32_t n) {
  return reinterpret_cast<imp_use_logvol_integrity_desc*>(reinterpret_cast<uint8_t*>(&p) +
                                                          sizeof(logvol_integrity_desc) + 8u * n);
}
// Little-endian to host: the counts are taken after their own conversion.
template <class O> void lvid_to_host(logvol_integrity_desc& p) {
  lvid_fixed<O>(p);
  const int32_t n = static_cast<int32_t>(p.num_partitions);
  if (n > 0) {
    uint32_t* w = lvid_tables(p);
    for (int32_t i = 0; i < 2 * n; ++i) O::s32(w[i]);
  }
  if (p.length_imp_use >= 46) lvid_iu<O>(*lvid_imp_use(p, n > 0 ? static_cast<uint32_t>(n) : 0));
}
// Host to little-endian: the counts are taken before anything is converted.
template <class O> void lvid_to_le(logvol_integrity_desc& p) {
  const int32_t n = static_cast<int32_t>(p.num_partitions);
  const uint32_t l = p.length_imp_use;
  lvid_fixed<O>(p);
  if (2 * static_cast<int64_t>(n) > 0) {
    uint32_t* w = lvid_tables(p);
    for (int32_t i = 0; i < 2 * n; ++i) {
      O::table_word(w[i]);
      O::s32(w[i]);
    }
  }
  if (l >= 46) lvid_iu<O>(*lvid_imp_use(p, n > 0 ? static_cast<uint32_t>(n) : 0));
}
template <class O> void iuvd(imp_use_vol_desc& p) {
  tag<O>(p.tag);
  O::s32(p.seq_num);
}
inline extent_ad* usd_extents(unalloc_space_desc& p) {
  return reinterpret_cast<extent_ad*>(reinterpret_cast<uint8_t*>(&p) + sizeof(unalloc_space_desc));
}
inline uint32_t usd_bounded(uint32_t n) { return n < UDF_USD_MAX_EXTENTS ? n : UDF_USD_MAX_EXTENTS; }
template <class O> void usd_to_host(unalloc_space_desc& p) {
  tag<O>(p.tag);
  O::s32(p.seq_num);
  O::s32(p.num_alloc_desc);
  const uint32_t n = usd_bounded(p.num_alloc_desc);
  extent_ad* e = usd_extents(p);
  for (uint32_t i = 0; i < n; ++i) ext<O>(e[i]);
}
template <class O> void usd_to_le(unalloc_space_desc& p) {
  const uint32_t n = usd_bounded(p.num_alloc_desc);
  tag<O>(p.tag);
  O::s32(p.seq_num);
  O::s32(p.num_alloc_desc);
  extent_ad* e = usd_extents(p);
  for (uint32_t i = 0; i < n; ++i) ext<O>(e[i]);
}
template <class O> void pm1(part_map_type1& p) {
  O::s16(p.vol_seq_num);
  O::s16(p.part_num);
}
template <class O> void pm2(part_map_metadata& p) {
  O::s16(p.vol_seq_num);
  O::s16(p.part_num);
  O::s32(p.file_loc);
  O::s32(p.mirror_file_loc);
  O::s32(p.bitmap_file_loc);
  O::s32(p.alloc_unit_size);
  O::s16(p.align_unit_size);
}
template <class O> void phd(part_header_desc& p) {
  sad<O>(p.unalloc_space_table);
  sad<O>(p.unalloc_space_bitmap);
  sad<O>(p.partition_integrity_table);
  sad<O>(p.freed_space_table);
  sad<O>(p.freed_space_bitmap);
}
template <class O> void pd(part_desc& p) {
  tag<O>(p.tag);
  O::s32(p.seq_num);
  O::s16(p.flags);
  O::s16(p.part_num);
  phd<O>(p.phd);
  O::s32(p.access_type);
  O::s32(p.start_loc);
  O::s32(p.part_len);
}
template <class O> void aed(alloc_ext_desc& p) {
  tag<O>(p.tag);
  O::s32(p.prev_alloc_ext_loc);
  O::s32(p.l_ad);
}
template <class O> void fsd(fileset_desc& p) {
  tag<O>(p.tag);
  ts<O>(p.time);
  O::s16(p.ichg_lvl);
  O::s16(p.max_ichg_lvl);
  O::s32(p.charset_list);
  O::s32(p.max_charset_list);
  O::s32(p.fileset_num);
  O::s32(p.fileset_desc_num);
  lad<O>(p.rootdir_icb);
  lad<O>(p.next_ex);
  lad<O>(p.streamdir_icb);
}
template <class O> void fid(fileid_desc& p) {
  tag<O>(p.tag);
  O::s16(p.file_num);
  lad<O>(p.icb);
  O::s16(p.l_iu);
}
template <class O> void fe(file_entry& p) {
  tag<O>(p.tag);
  icb<O>(p.icbtag);
  O::s32(p.uid);
  O::s32(p.gid);
  O::s32(p.perm);
  O::s16(p.link_cnt);
  O::s32(p.rec_len);
  O::s64(p.inf_len);
  O::s64(p.logblks_rec);
  ts<O>(p.atime);
  ts<O>(p.mtime);
  ts<O>(p.attrtime);
  O::s32(p.ckpoint);
  lad<O>(p.ex_attr_icb);
  O::s64(p.unique_id);
  O::s32(p.l_ea);
  O::s32(p.l_ad);
}
template <class O> void efe(extended_file_entry& p) {
  tag<O>(p.tag);
  icb<O>(p.icbtag);
  O::s32(p.uid);
  O::s32(p.gid);
  O::s32(p.perm);
  O::s16(p.link_cnt);
  O::s32(p.rec_len);
  O::s64(p.inf_len);
  O::s64(p.object_size);
  O::s64(p.logblks_rec);
  ts<O>(p.atime);
  ts<O>(p.mtime);
  ts<O>(p.ctime);
  ts<O>(p.attrtime);
  O::s32(p.ckpoint);
  lad<O>(p.ex_attr_icb);
  lad<O>(p.stream_directory_icb);
  O::s64(p.unique_id);
  O::s32(p.l_ea);
  O::s32(p.l_ad);
}

}  // namespace udf_order
