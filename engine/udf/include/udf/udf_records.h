// UDF descriptor records, laid out byte for byte as on the medium
// (ECMA-167 3rd edition with the OSTA UDF 2.50 / 2.60 rules), and the
// whole-record byte-order conversions.
//
// Every multi-byte integer on the medium is little-endian. A descriptor read
// from the medium is converted in place to host order before any field is
// used; a descriptor about to be written is converted in place back. On a
// little-endian host the conversions change nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// Descriptor tag (ECMA-167 3/7.2).
struct desc_tag {
  uint16_t id;
  uint16_t descriptor_ver;
  uint8_t cksum;
  uint8_t reserved;
  uint16_t serial_num;
  uint16_t desc_crc;
  uint16_t desc_crc_len;
  uint32_t tag_loc;
};
static_assert(sizeof(desc_tag) == 16, "desc_tag is 16 bytes");

// Extent descriptor (ECMA-167 3/7.1).
struct extent_ad {
  uint32_t len;
  uint32_t loc;
};
static_assert(sizeof(extent_ad) == 8, "extent_ad is 8 bytes");

// Recorded address (ECMA-167 4/7.1).
struct lb_addr {
  uint32_t lb_num;
  uint16_t part_num;
};
static_assert(sizeof(lb_addr) == 6, "lb_addr is 6 bytes");

// Short allocation descriptor (ECMA-167 4/14.14.1).
struct short_ad {
  uint32_t len;
  uint32_t pos;
};
static_assert(sizeof(short_ad) == 8, "short_ad is 8 bytes");

// Long allocation descriptor (ECMA-167 4/14.14.2, OSTA UDF 2.3.10.1).
struct long_ad {
  uint32_t len;
  lb_addr loc;
  uint16_t ad_flags;
  uint32_t ad_id;
};
static_assert(sizeof(long_ad) == 16, "long_ad is 16 bytes");

// Character set specification (ECMA-167 1/7.2.1).
struct charspec {
  uint8_t type;
  uint8_t inf[63];
};
static_assert(sizeof(charspec) == 64, "charspec is 64 bytes");

// Timestamp (ECMA-167 1/7.3).
struct timestamp {
  uint16_t type_tz;
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
  uint8_t centisec;
  uint8_t hund_usec;
  uint8_t usec;
};
static_assert(sizeof(timestamp) == 12, "timestamp is 12 bytes");

// Entity identifier (ECMA-167 1/7.4).
struct regid {
  uint8_t flags;
  uint8_t id[23];
  uint8_t id_suffix[8];
};
static_assert(sizeof(regid) == 32, "regid is 32 bytes");

// ICB tag (ECMA-167 4/14.6).
struct icb_tag {
  uint32_t prev_num_dirs;
  uint16_t strat_type;
  uint8_t strat_param[2];
  uint16_t max_num_entries;
  uint8_t reserved;
  uint8_t file_type;
  lb_addr parent_icb;
  uint16_t flags;
};
static_assert(sizeof(icb_tag) == 20, "icb_tag is 20 bytes");

// ---------------------------------------------------------------- volume structure

// Tag identifiers of the volume structure (ECMA-167 3/7.2.1).
enum : uint16_t {
  TAG_ID_PVD = 1,
  TAG_ID_AVDP = 2,
  TAG_ID_VDP = 3,
  TAG_ID_IUVD = 4,
  TAG_ID_PD = 5,
  TAG_ID_LVD = 6,
  TAG_ID_USD = 7,
  TAG_ID_TD = 8,
  TAG_ID_LVID = 9,
  TAG_ID_FSD = 256,
  TAG_ID_FID = 257,
  TAG_ID_AED = 258,
  TAG_ID_FE = 261,
  TAG_ID_USE = 263,
  TAG_ID_SBD = 264,
  TAG_ID_EFE = 266,
};

// Anchor volume descriptor pointer (ECMA-167 3/10.2), tag 2.
struct anchor_vdp {
  desc_tag tag;
  extent_ad main_vds_ex;
  extent_ad reserve_vds_ex;
  uint8_t reserved[480];
};
static_assert(sizeof(anchor_vdp) == 512, "anchor_vdp is 512 bytes");

// Volume descriptor pointer (ECMA-167 3/10.3), tag 3.
struct vol_desc_ptr {
  desc_tag tag;
  uint32_t vds_number;
  extent_ad next_vds_ex;
  uint8_t reserved[484];
};
static_assert(sizeof(vol_desc_ptr) == 512, "vol_desc_ptr is 512 bytes");

// Primary volume descriptor (ECMA-167 3/10.1), tag 1.
struct pri_vol_desc {
  desc_tag tag;
  uint32_t seq_num;
  uint32_t pdv_num;
  uint8_t vol_id[32];
  uint16_t vds_num;
  uint16_t max_vol_seq;
  uint16_t ichg_lvl;
  uint16_t max_ichg_lvl;
  uint32_t charset_list;
  uint32_t max_charset_list;
  uint8_t volset_id[128];
  charspec desc_charset;
  charspec explanatory_charset;
  extent_ad vol_abstract;
  extent_ad vol_copyright;
  regid app_id;
  timestamp time;
  regid imp_id;
  uint8_t imp_use[64];
  uint32_t prev_vds_lov;
  uint16_t flags;
  uint8_t reserved[22];
};
static_assert(sizeof(pri_vol_desc) == 512, "pri_vol_desc is 512 bytes");
static_assert(offsetof(pri_vol_desc, time) == 376 && offsetof(pri_vol_desc, flags) == 488,
              "pri_vol_desc layout");

// Implementation use volume descriptor (ECMA-167 3/10.4, OSTA UDF 2.2.7), tag 4.
struct imp_use_vol_desc {
  desc_tag tag;
  uint32_t seq_num;
  regid imp_id;
  uint8_t imp_use[460];
};
static_assert(sizeof(imp_use_vol_desc) == 512, "imp_use_vol_desc is 512 bytes");

// Logical volume information inside the implementation use volume descriptor
// (OSTA UDF 2.2.7.2): bytes only.
struct logvol_info {
  charspec lvi_charset;
  uint8_t logvol_id[128];
  uint8_t lv_info1[36];
  uint8_t lv_info2[36];
  uint8_t lv_info3[36];
  regid imp_id;
  uint8_t imp_use[128];
};
static_assert(sizeof(logvol_info) == 460, "logvol_info is 460 bytes");

// Partition header descriptor (ECMA-167 4/14.3).
struct part_header_desc {
  short_ad unalloc_space_table;
  short_ad unalloc_space_bitmap;
  short_ad partition_integrity_table;
  short_ad freed_space_table;
  short_ad freed_space_bitmap;
  uint8_t reserved[88];
};
static_assert(sizeof(part_header_desc) == 128, "part_header_desc is 128 bytes");

// Partition descriptor (ECMA-167 3/10.5), tag 5.
struct part_desc {
  desc_tag tag;
  uint32_t seq_num;
  uint16_t flags;
  uint16_t part_num;
  regid contents;
  part_header_desc phd;
  uint32_t access_type;
  uint32_t start_loc;
  uint32_t part_len;
  regid imp_id;
  uint8_t imp_use[128];
  uint8_t reserved[156];
};
static_assert(sizeof(part_desc) == 512, "part_desc is 512 bytes");
static_assert(offsetof(part_desc, access_type) == 184, "part_desc layout");

// Logical volume descriptor (ECMA-167 3/10.6), tag 6: the 440 bytes before the
// partition maps.
struct logvol_desc {
  desc_tag tag;
  uint32_t seq_num;
  charspec desc_charset;
  uint8_t logvol_id[128];
  uint32_t lb_size;
  regid domain_id;
  long_ad fsd_loc;  // logical volume contents use
  uint32_t mt_l;
  uint32_t n_pm;
  regid imp_id;
  uint8_t imp_use[128];
  extent_ad integrity_seq_id;
};
static_assert(sizeof(logvol_desc) == 440, "logvol_desc is 440 bytes before the maps");
static_assert(offsetof(logvol_desc, mt_l) == 264 && offsetof(logvol_desc, imp_id) == 272,
              "logvol_desc layout");

// Type 1 partition map (ECMA-167 3/10.7.2).
struct part_map_type1 {
  uint8_t type;
  uint8_t len;
  uint16_t vol_seq_num;
  uint16_t part_num;
};
static_assert(sizeof(part_map_type1) == 6, "part_map_type1 is 6 bytes");

// Metadata partition map (OSTA UDF 2.2.10).
struct part_map_metadata {
  uint8_t type;
  uint8_t len;
  uint8_t reserved1[2];
  regid id;
  uint16_t vol_seq_num;
  uint16_t part_num;
  uint32_t file_loc;
  uint32_t mirror_file_loc;
  uint32_t bitmap_file_loc;
  uint32_t alloc_unit_size;
  uint16_t align_unit_size;
  uint8_t flags;
  uint8_t reserved2[5];
};
static_assert(sizeof(part_map_metadata) == 64, "part_map_metadata is 64 bytes");

// Unallocated space descriptor (ECMA-167 3/10.8), tag 7: the fixed part; the
// extent_ad list follows. Kept in one 2048-byte block, which holds at most
// UDF_USD_MAX_EXTENTS extents.
struct unalloc_space_desc {
  desc_tag tag;
  uint32_t seq_num;
  uint32_t num_alloc_desc;
};
static_assert(sizeof(unalloc_space_desc) == 24, "unalloc_space_desc is 24 bytes before the extents");
constexpr uint32_t UDF_USD_BLOCK_SIZE = 2048;
constexpr uint32_t UDF_USD_MAX_EXTENTS = (UDF_USD_BLOCK_SIZE - sizeof(unalloc_space_desc)) / sizeof(extent_ad);
static_assert(UDF_USD_MAX_EXTENTS == 253, "a 2048-byte block holds 253 extents");

// Terminating descriptor (tag 8) has no record of its own: a tag and zeros.

// Logical volume integrity descriptor (ECMA-167 3/10.10), tag 9: the fixed
// part; the free space table, size table and implementation use follow.
struct logvol_integrity_desc {
  desc_tag tag;
  timestamp recording_date_time;
  uint32_t integrity_type;
  extent_ad next_integrity_ext;
  uint64_t unique_id;  // logical volume contents use: header descriptor
  uint8_t lvid_use_reserved[24];
  uint32_t num_partitions;
  uint32_t length_imp_use;
};
static_assert(sizeof(logvol_integrity_desc) == 80, "logvol_integrity_desc is 80 bytes before the tables");

// Implementation use of the integrity descriptor (OSTA UDF 2.2.6.4).
struct imp_use_logvol_integrity_desc {
  regid imp_use_id;
  uint32_t num_files;
  uint32_t num_dirs;
  uint16_t min_udf_read_rev;
  uint16_t min_udf_write_rev;
  uint16_t max_udf_write_rev;
};
static_assert(sizeof(imp_use_logvol_integrity_desc) == 46, "imp_use_logvol_integrity_desc is 46 bytes");

// ---------------------------------------------------------------- file structure

// File set descriptor (ECMA-167 4/14.1), tag 256.
struct fileset_desc {
  desc_tag tag;
  timestamp time;
  uint16_t ichg_lvl;
  uint16_t max_ichg_lvl;
  uint32_t charset_list;
  uint32_t max_charset_list;
  uint32_t fileset_num;
  uint32_t fileset_desc_num;
  charspec logvol_id_charset;
  uint8_t logvol_id[128];
  charspec fileset_charset;
  uint8_t fileset_id[32];
  uint8_t copyright_file_id[32];
  uint8_t abstract_file_id[32];
  long_ad rootdir_icb;
  regid domain_id;
  long_ad next_ex;
  long_ad streamdir_icb;
  uint8_t reserved[32];
};
static_assert(sizeof(fileset_desc) == 512, "fileset_desc is 512 bytes");
static_assert(offsetof(fileset_desc, rootdir_icb) == 400, "fileset_desc layout");

// File identifier descriptor (ECMA-167 4/14.4), tag 257: the fixed part.
struct fileid_desc {
  desc_tag tag;
  uint16_t file_num;
  uint8_t file_char;
  uint8_t l_fi;
  long_ad icb;
  uint16_t l_iu;
};
static_assert(sizeof(fileid_desc) == 38, "fileid_desc is 38 bytes before its variable parts");

// Allocation extent descriptor (ECMA-167 4/14.5), tag 258: the fixed part.
struct alloc_ext_desc {
  desc_tag tag;
  uint32_t prev_alloc_ext_loc;
  uint32_t l_ad;
};
static_assert(sizeof(alloc_ext_desc) == 24, "alloc_ext_desc is 24 bytes before its descriptors");

// File entry (ECMA-167 4/14.9), tag 261: the fixed part.
struct file_entry {
  desc_tag tag;
  icb_tag icbtag;
  uint32_t uid;
  uint32_t gid;
  uint32_t perm;
  uint16_t link_cnt;
  uint8_t rec_format;
  uint8_t rec_disp_attr;
  uint32_t rec_len;
  uint64_t inf_len;
  uint64_t logblks_rec;
  timestamp atime;
  timestamp mtime;
  timestamp attrtime;
  uint32_t ckpoint;
  long_ad ex_attr_icb;
  regid imp_id;
  uint64_t unique_id;
  uint32_t l_ea;
  uint32_t l_ad;
};
static_assert(sizeof(file_entry) == 176, "file_entry is 176 bytes before its variable parts");

// Extended file entry (ECMA-167 4/14.17), tag 266: the fixed part.
struct extended_file_entry {
  desc_tag tag;
  icb_tag icbtag;
  uint32_t uid;
  uint32_t gid;
  uint32_t perm;
  uint16_t link_cnt;
  uint8_t rec_format;
  uint8_t rec_disp_attr;
  uint32_t rec_len;
  uint64_t inf_len;
  uint64_t object_size;
  uint64_t logblks_rec;
  timestamp atime;
  timestamp mtime;
  timestamp ctime;
  timestamp attrtime;
  uint32_t ckpoint;
  uint32_t reserved;
  long_ad ex_attr_icb;
  long_ad stream_directory_icb;
  regid imp_id;
  uint64_t unique_id;
  uint32_t l_ea;
  uint32_t l_ad;
};
static_assert(sizeof(extended_file_entry) == 216, "extended_file_entry is 216 bytes before its variable parts");
static_assert(offsetof(extended_file_entry, imp_id) == 168, "extended_file_entry layout");

// Unallocated space entry (ECMA-167 4/14.11), tag 263: the fixed part.
struct unalloc_space_entry {
  desc_tag tag;
  icb_tag icbtag;
  uint32_t l_ad;
};
static_assert(sizeof(unalloc_space_entry) == 40, "unalloc_space_entry is 40 bytes before its descriptors");

// Space bitmap descriptor (ECMA-167 4/14.12), tag 264: the fixed part.
struct space_bitmap_desc {
  desc_tag tag;
  uint32_t num_of_bits;
  uint32_t num_of_bytes;
};
static_assert(sizeof(space_bitmap_desc) == 24, "space_bitmap_desc is 24 bytes before the bitmap");

#pragma pack(pop)

// ---------------------------------------------------------------- byte order

// Single integers (also offered by the host layer under these names).
uint16_t mdcudfsr_le16_to_host(uint16_t v);
uint32_t mdcudfsr_le32_to_host(uint32_t v);
uint64_t mdcudfsr_le64_to_host(uint64_t v);

// Whole-record conversions, in place. Both directions convert the same
// fields; the comments give how far each reaches.
void mdcudfsr_swap_le2host_anchor_vdp(anchor_vdp* p);
void mdcudfsr_swap_host2le_anchor_vdp(anchor_vdp* p);
void mdcudfsr_swap_le2host_vol_desc_ptr(vol_desc_ptr* p);
void mdcudfsr_swap_host2le_vol_desc_ptr(vol_desc_ptr* p);
void mdcudfsr_swap_le2host_pri_vol_desc(pri_vol_desc* p);
void mdcudfsr_swap_host2le_pri_vol_desc(pri_vol_desc* p);
// First 440 bytes; the maps are converted one by one.
void mdcudfsr_swap_le2host_logvol_desc(logvol_desc* p);
void mdcudfsr_swap_host2le_logvol_desc(logvol_desc* p);
// First 40 bytes.
void mdcudfsr_swap_le2host_unalloc_space_entry(unalloc_space_entry* p);
void mdcudfsr_swap_host2le_unalloc_space_entry(unalloc_space_entry* p);
// First 24 bytes.
void mdcudfsr_swap_le2host_space_bitmap_desc(space_bitmap_desc* p);
void mdcudfsr_swap_host2le_space_bitmap_desc(space_bitmap_desc* p);
// First 80 bytes, both tables and the implementation-use integers. The
// caller hands over the whole block.
void mdcudfsr_swap_le2host_logvol_integrity_desc(logvol_integrity_desc* p);
void mdcudfsr_swap_host2le_logvol_integrity_desc(logvol_integrity_desc* p);
void mdcudfsr_swap_le2host_imp_use_logvol_integrity_desc(imp_use_logvol_integrity_desc* p);
void mdcudfsr_swap_host2le_imp_use_logvol_integrity_desc(imp_use_logvol_integrity_desc* p);
// Tag and sequence number.
void mdcudfsr_swap_le2host_imp_use_vol_desc(imp_use_vol_desc* p);
void mdcudfsr_swap_host2le_imp_use_vol_desc(imp_use_vol_desc* p);
// First 24 bytes and the extents, at most UDF_USD_MAX_EXTENTS of them, so the
// conversion never leaves the descriptor's 2048-byte block whatever the count.
void mdcudfsr_swap_le2host_unalloc_space_desc(unalloc_space_desc* p);
void mdcudfsr_swap_host2le_unalloc_space_desc(unalloc_space_desc* p);
void mdcudfsr_swap_le2host_part_map_type1(part_map_type1* p);
void mdcudfsr_swap_host2le_part_map_type1(part_map_type1* p);
void mdcudfsr_swap_le2host_part_map_metadata(part_map_metadata* p);
void mdcudfsr_swap_host2le_part_map_metadata(part_map_metadata* p);
void mdcudfsr_swap_le2host_part_desc(part_desc* p);
void mdcudfsr_swap_host2le_part_desc(part_desc* p);
// First 24 bytes.
void mdcudfsr_swap_le2host_alloc_ext_desc(alloc_ext_desc* p);
void mdcudfsr_swap_host2le_alloc_ext_desc(alloc_ext_desc* p);
void mdcudfsr_swap_le2host_fileset_desc(fileset_desc* p);
void mdcudfsr_swap_host2le_fileset_desc(fileset_desc* p);
void mdcudfsr_swap_le2host_part_header_desc(part_header_desc* p);
void mdcudfsr_swap_host2le_part_header_desc(part_header_desc* p);
// First 38 bytes.
void mdcudfsr_swap_le2host_fileid_desc(fileid_desc* p);
void mdcudfsr_swap_host2le_fileid_desc(fileid_desc* p);
// First 176 bytes.
void mdcudfsr_swap_le2host_file_entry(file_entry* p);
void mdcudfsr_swap_host2le_file_entry(file_entry* p);
// First 216 bytes.
void mdcudfsr_swap_le2host_extended_file_entry(extended_file_entry* p);
void mdcudfsr_swap_host2le_extended_file_entry(extended_file_entry* p);

// The tag alone (used when a tag is rebuilt inside a descriptor that stays in
// medium order).
void mdcudfsr_swap_le2host_desc_tag(desc_tag* p);
void mdcudfsr_swap_host2le_desc_tag(desc_tag* p);
