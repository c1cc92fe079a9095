// Whole-record byte-order conversions of the UDF descriptors.
#include "udf/udf_byte_order.h"
#include "udf/udf_records.h"
#include "udf_log.h"

namespace {

constexpr bool kHostIsLittle = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// Host order: a little-endian integer stays as it is on a little-endian host
// and is reversed on a big-endian one.
struct HostOrder {
  static void s16(uint16_t& v) {
    if (!kHostIsLittle) v = __builtin_bswap16(v);
  }
  static void s32(uint32_t& v) {
    if (!kHostIsLittle) v = __builtin_bswap32(v);
  }
  static void s64(uint64_t& v) {
    if (!kHostIsLittle) v = __builtin_bswap64(v);
  }
  static void table_word(uint32_t host_value) {
    LogPrint(udf_log::DEBG, udf_log::FS, udf_log::MSG, "mdcudfsr_swap_host2le_logvol_integrity_desc", __LINE__,
             udf_log::tid(), "*p=%u\n", host_value);
  }
};

}  // namespace

uint16_t mdcudfsr_le16_to_host(uint16_t v) {
  HostOrder::s16(v);
  return v;
}
uint32_t mdcudfsr_le32_to_host(uint32_t v) {
  HostOrder::s32(v);
  return v;
}
uint64_t mdcudfsr_le64_to_host(uint64_t v) {
  HostOrder::s64(v);
  return v;
}

#define UDF_SWAP_PAIR(name, type, fn)                                         \
  void mdcudfsr_swap_le2host_##name(type* p) { udf_order::fn<HostOrder>(*p); } \
  void mdcudfsr_swap_host2le_##name(type* p) { udf_order::fn<HostOrder>(*p); }

UDF_SWAP_PAIR(anchor_vdp, anchor_vdp, anchor)
UDF_SWAP_PAIR(vol_desc_ptr, vol_desc_ptr, vdp)
UDF_SWAP_PAIR(pri_vol_desc, pri_vol_desc, pvd)
UDF_SWAP_PAIR(logvol_desc, logvol_desc, lvd)
UDF_SWAP_PAIR(unalloc_space_entry, unalloc_space_entry, use)
UDF_SWAP_PAIR(space_bitmap_desc, space_bitmap_desc, sbd)
UDF_SWAP_PAIR(imp_use_logvol_integrity_desc, imp_use_logvol_integrity_desc, lvid_iu)
UDF_SWAP_PAIR(imp_use_vol_desc, imp_use_vol_desc, iuvd)
UDF_SWAP_PAIR(part_map_type1, part_map_type1, pm1)
UDF_SWAP_PAIR(part_map_metadata, part_map_metadata, pm2)
UDF_SWAP_PAIR(part_desc, part_desc, pd)
UDF_SWAP_PAIR(alloc_ext_desc, alloc_ext_desc, aed)
UDF_SWAP_PAIR(fileset_desc, fileset_desc, fsd)
UDF_SWAP_PAIR(part_header_desc, part_header_desc, phd)
UDF_SWAP_PAIR(fileid_desc, fileid_desc, fid)
UDF_SWAP_PAIR(file_entry, file_entry, fe)
UDF_SWAP_PAIR(extended_file_entry, extended_file_entry, efe)

void mdcudfsr_swap_le2host_logvol_integrity_desc(logvol_integrity_desc* p) {
  udf_order::lvid_to_host<HostOrder>(*p);
}
void mdcudfsr_swap_host2le_logvol_integrity_desc(logvol_integrity_desc* p) {
  udf_order::lvid_to_le<HostOrder>(*p);
}
void mdcudfsr_swap_le2host_unalloc_space_desc(unalloc_space_desc* p) { udf_order::usd_to_host<HostOrder>(*p); }
void mdcudfsr_swap_host2le_unalloc_space_desc(unalloc_space_desc* p) { udf_order::usd_to_le<HostOrder>(*p); }
void mdcudfsr_swap_le2host_desc_tag(desc_tag* p) { udf_order::tag<HostOrder>(*p); }
void mdcudfsr_swap_host2le_desc_tag(desc_tag* p) { udf_order::tag<HostOrder>(*p); }
