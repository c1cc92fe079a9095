// Lenient readers of extended file entries, allocation extent descriptors
// and stream directories from the local copies of the metadata file, for
// the salvage of unreferenced files: a damaged structure that is still
// usable makes the volume read-only (30) instead of stopping the salvage.
#include "cache_internal.h"
#include "kelcache/cache_salvage.h"

#include <vector>
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "udf/udf_byte_order.h"
#include "udf/udf_efe.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <set>

using namespace kelcache;

namespace {

constexpr uint32_t kEfe = sizeof(extended_file_entry);

uint32_t le32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

}  // namespace

namespace {

// The hash attributes of a salvaged entry are checked, never taken: each
// flaw is a warning only. The area is bounded by the entry's block.
void check_hash_eas(mdcudfsr_mount* m, const uint8_t* block, uint32_t l_ea) {
  const uint8_t* area = block + kEfe;
  if (l_ea > m->logical_block_size - kEfe) {
    CACHE_LOG(WARN, "Extended attribute is invalid.\n");
    return;
  }
  if (l_ea < 24 || mdcudfsr_check_udf_tag_and_checksum(m, area, 262, l_ea) != 0) {
    CACHE_LOG(WARN, "Extended attribute header is invalid.\n");
    return;
  }
  walk_hash_eas(
      area, l_ea, [](const char* text) { CACHE_LOG(WARN, "%s", text); }, [](uint16_t, const uint8_t*, uint16_t) {});
}

}  // namespace

int mdcudfsr_read_extended_file_entry_for_salvage(const uint8_t* block, uint32_t size, uint16_t part,
                                                  extended_file_entry* efe, mdcudfsr_extent_list* list,
                                                  uint32_t* type2, int sd_mode) {
  if (type2) *type2 = 0;
  if (!block || size < kEfe) return KEL_EINVAL;
  std::memcpy(efe, block, kEfe);
  mdcudfsr_swap_le2host_extended_file_entry(efe);
  if (efe->tag.id != 266) {
    CACHE_LOG(WARN, "Tag id(%d) is not EFE.\n", efe->tag.id);
    return KEL_EBADF;
  }
  if (!mdcudfsr_check_udf_tag_crc(block, size)) {
    CACHE_LOG(WARN, "EFE CRC is invalid.\n");
    return KEL_EBADF;
  }
  if (mdcudfsr_udf_tag_checksum(block) != block[4]) {
    CACHE_LOG(WARN, "EFE checksum is invalid.\n");
    return KEL_EBADF;
  }
  const uint64_t need = uint64_t{kEfe} + efe->l_ea + (efe->l_ad > 16 ? efe->l_ad : 16);
  if (need > size) {
    CACHE_LOGK(ERR, "buffer overflow\n");
    return KEL_EINVAL;
  }
  if (efe->stream_directory_icb.len)
    CACHE_LOG(INFO, "stream_directory_icb.len is not zero. ex_attr_icb.len=%d\n", efe->stream_directory_icb.len);
  int result = 0;
  const uint8_t type = efe->icbtag.file_type;
  if (!sd_mode && (type == 4 || type == 5 || type == 249)) {
    if (efe->ex_attr_icb.len) {
      CACHE_LOG(WARN, "ex_attr_icb.len is not zero. ex_attr_icb.len=%d\n", efe->ex_attr_icb.len);
      result = KEL_EROFS;
    } else if (type == 4 && efe->l_ea) {
      CACHE_LOG(WARN, "l_ea is not zero. l_ea=%d\n", efe->l_ea);
      result = KEL_EROFS;
    }
  }
  if (!list) return result;
  mdcudfsr_extent_list_remove_all(list);
  if ((efe->icbtag.flags & 7) == UDF_AD_IN_ICB) return result;
  if (uint64_t{kEfe} + efe->l_ea + efe->l_ad > size) {
    CACHE_LOG(ERR, "l_ad is invalid. size=%d l_ad=%d\n", size, efe->l_ad);
    return KEL_EINVAL;
  }
  const int err = mdcudfsr_read_ad_vector(block + kEfe + efe->l_ea, efe->l_ad, part, efe->icbtag.flags & 7, list, type2);
  return err ? err : result;
}

int mdcudfsr_read_allocation_extent_descriptor_for_salvage(const uint8_t* block, uint32_t block_size,
                                                           uint32_t sector_size, uint16_t part, uint32_t ad_type,
                                                           mdcudfsr_extent_list* list, uint32_t* type2) {
  if (!list->last || EXTENT_FLAGS(list->last->extent.len) != EXTENT_FLAGS_NEXT_EXTENT) {
    CACHE_LOGK(ERR, "%s\n", "EXTENT_FLAGS( eep->extent.len ) == EXTENT_FLAGS_NEXT_EXTENT");
    return KEL_EINVAL;
  }
  const char* bad = nullptr;
  uint32_t l = 0;
  if (!block) bad = "AED cant read.\n";
  else if ((block[0] | block[1] << 8) != 258) bad = "AED tag err.\n";
  else if (!mdcudfsr_check_udf_tag_crc(block, block_size) || mdcudfsr_udf_tag_checksum(block) != block[4])
    bad = "AED crc err.\n";
  else if ((l = le32(block + 20)) + 24 > sector_size || l > block_size) bad = "";
  mdcudfsr_extent_list_remove_entry(list, list->last);
  if (bad) {
    if (*bad) CACHE_LOG(WARN, "%s", bad);
    else CACHE_LOG(WARN, "aed.length_alloc_descs is invalid. aed.length_alloc_descs=%d\n", l);
    return KEL_EROFS;
  }
  return mdcudfsr_read_ad_vector(block + 24, l, part, ad_type, list, type2);
}

int mdcudfsr_cache_read_all_allocation_extent_descriptors_for_salvage(mdcudfsr_mount* m, mdcudfsr_extent_list* list,
                                                                      const extended_file_entry* efe,
                                                                      uint64_t metadata_size, vfs_context_t,
                                                                      int source) {
  const uint32_t b = m->logical_block_size;
  std::vector<uint8_t> block(b);
  std::set<uint32_t> seen;
  int result = 0;
  while (list->last && EXTENT_FLAGS(list->last->extent.len) == EXTENT_FLAGS_NEXT_EXTENT) {
    const uint32_t lbn = list->last->extent.loc.lb_num;
    uint32_t cache_err = 0;
    const bool beyond = uint64_t{lbn} * b + m->logical_sector_size > metadata_size;
    if (!seen.insert(lbn).second || seen.size() > MDCUDFSR_MAX_AED_CHAIN || beyond ||
        scan_read(m, source, uint64_t{lbn} * b, b, block.data(), &cache_err)) {
      // A loop, an overlong chain or an unreadable block ends the chain there.
      mdcudfsr_extent_list_remove_entry(list, list->last);
      return KEL_EROFS;
    }
    uint32_t type2 = 0;
    const int err = mdcudfsr_read_allocation_extent_descriptor_for_salvage(
        block.data(), b, m->logical_sector_size, MDCUDFSR_PARTITION_METADATA, efe->icbtag.flags & 7, list, &type2);
    if (err == KEL_EROFS) result = KEL_EROFS;
    else if (err) return err;
  }
  return result;
}

namespace {

// The entry's checks: file type, strategy, flags and permissions.
int check_entry(mdcudfsr_mount* m, extended_file_entry* e) {
  const uint8_t type = e->icbtag.file_type;
  if (type == 6 || type == 7) {
    CACHE_LOG(WARN, "ICB Tag File Type(%d) is not Suported.\n", type);
    return KEL_EBADF;
  }
  if (type == 8) {
    CACHE_LOG(WARN, "ICB Tag File Type(%d) is not Suported.\n", type);
    return KEL_EROFS;
  }
  if (type >= 9 && type <= 11) CACHE_LOG(WARN, "ICB Tag File Type(%d) is not Suported.\n", type);
  if (!((type >= 4 && type <= 13) || type == 249)) {
    CACHE_LOG(ERR, "ICB Tag File Type(%d) is not Suported.\n", type);
    return KEL_EINVAL;
  }
  if (e->icbtag.strat_type != 4) {
    CACHE_LOG(ERR, "ICB Tag Strategy Type(%d) is not valid.\n", e->icbtag.strat_type);
    return KEL_EINVAL;
  }
  const uint16_t flags = e->icbtag.flags, at = flags & 7;
  int result = 0;
  if (type == 12 ? at != UDF_AD_IN_ICB : at == UDF_AD_IN_ICB) result = (type == 12 && at == 2) ? KEL_EINVAL : KEL_EBADF;
  if (type != 12 && at == 2) result = KEL_EINVAL;
  if (flags > 0x3FFF) result = KEL_EINVAL;
  else if (!result && (flags & 0x1800)) result = KEL_EBADF;
  if (result) CACHE_LOG(WARN, "icbtag->flags is unexpected value.%d\n", flags);
  if (!result && e->l_ad > m->logical_block_size) {
    CACHE_LOG(WARN, "efe.l_ad is unexpected value.%d\n", e->l_ad);
    result = KEL_EBADF;
  }
  if (type == 4 || type == 13) e->perm |= 0x421;
  else if ((type == 5 || type == 249) && (e->perm & 0x421) != 0x421) e->perm &= ~0x421u;
  return result;
}

}  // namespace

int mdcudfsr_cache_read_efe_and_aed_for_salvage(mdcudfsr_mount* m, uint64_t metadata_size, uint8_t* out,
                                                mdcudfsr_extent_list* list, uint32_t lbn, vfs_context_t ctx,
                                                int source) {
  const uint32_t b = m->logical_block_size;
  const uint64_t offset = uint64_t{lbn} * b;
  if (offset + m->logical_sector_size > metadata_size) {
    CACHE_LOG(ERR, "FE location over metadata buff range. FE_LBN = %d, offset=%lld, size=%lld\n", lbn,
              static_cast<long long>(offset), static_cast<long long>(metadata_size));
    return KEL_EINVAL;
  }
  uint32_t cache_err = 0;
  if (scan_read(m, source, offset, b, out, &cache_err)) {
    CACHE_LOG(ERR, "Read EFE data failed from Fs Local Cache. err = %d cache_err = %d\n", 5, cache_err);
    return KEL_EBADF;
  }
  extended_file_entry e{};
  uint32_t type2 = 0;
  int result = mdcudfsr_read_extended_file_entry_for_salvage(out, m->logical_sector_size, 0, &e, list, &type2, 0);
  if (type2) CACHE_LOG(INFO, "EFE contains type2 extent(s) - ignored for disk recovery\n");
  if (result == KEL_EROFS) CACHE_LOG(INFO, "be read only with status=%d\n", result);
  else if (result) return result;
  const int checked = check_entry(m, &e);
  if (checked && checked != KEL_EROFS) return checked;
  if (checked == KEL_EROFS) return KEL_EROFS;
  const int chain = mdcudfsr_cache_read_all_allocation_extent_descriptors_for_salvage(m, list, &e, metadata_size, ctx,
                                                                                      source);
  if (chain && chain != KEL_EROFS) return chain;
  if ((e.icbtag.flags & 7) != UDF_AD_IN_ICB) {
    const uint64_t ads = mdcudfsr_extent_list_get_selected_length(list, 0);
    const uint64_t inf = (e.inf_len + b - 1) / b * b, sum = (ads + b - 1) / b * b;
    if (sum > inf) {
      CACHE_LOG(WARN, "Total ADs Size are Different, TotalADsSize=%lld, FE.InfLen=%lld. PXO-5539 workaround. \n",
                static_cast<long long>(sum), static_cast<long long>(inf));
      CACHE_LOG(WARN, "AD truncate length=%lld \n", static_cast<long long>(sum));
    } else if (sum < inf) {
      CACHE_LOG(WARN, "Total ADs Size are Different, TotalADsSize=%lld, FE.InfLen=%lld. make READ_ONLY. \n",
                static_cast<long long>(sum), static_cast<long long>(inf));
    }
  }
  if ((e.icbtag.file_type == UDF_FILE_TYPE_REGULAR || e.icbtag.file_type == UDF_FILE_TYPE_249) && e.l_ea)
    check_hash_eas(m, out, e.l_ea);
  if (result) CACHE_LOG(ERR, "err=%d\n", result);
  return result;
}

int mdcudfsr_cache_analize_stream_directory_for_salvage(mdcudfsr_mount* m, uint64_t metadata_size, uint8_t* sd_out,
                                                        uint8_t* sf_out, mdcudfsr_extent_list* sf_list, uint32_t lbn,
                                                        vfs_context_t ctx, int source) {
  mdcudfsr_extent_list sd_list;
  int err = mdcudfsr_cache_read_efe_and_aed_for_salvage(m, metadata_size, sd_out, &sd_list, lbn, ctx, source);
  mdcudfsr_extent_list_free(&sd_list);
  if (err && err != KEL_EROFS) return err;
  extended_file_entry sd{};
  mdcudfsr_read_extended_file_entry_for_salvage(sd_out, m->logical_sector_size, 0, &sd, nullptr, nullptr, 1);
  if ((sd.icbtag.flags & 7) != UDF_AD_IN_ICB || sd.icbtag.file_type != UDF_FILE_TYPE_STREAMDIR) return KEL_EINVAL;
  const uint32_t b = m->logical_block_size;
  if (uint64_t{kEfe} + sd.l_ea + sd.l_ad > b) return KEL_EINVAL;
  const uint8_t* data = sd_out + kEfe + sd.l_ea;
  for (uint32_t p = 0; p + sizeof(fileid_desc) <= sd.l_ad;) {
    const uint8_t* f = data + p;
    const uint32_t len = (38u + (f[36] | f[37] << 8) + f[19] + 3) & ~3u;
    if (p + len > sd.l_ad || !mdcudfsr_check_udf_tag_crc(f, sd.l_ad - p)) return KEL_EINVAL;
    if (!(f[18] & 0x0C)) {
      err = mdcudfsr_cache_read_efe_and_aed_for_salvage(m, metadata_size, sf_out, sf_list, le32(f + 24), ctx, source);
      if (err && err != KEL_EROFS) return err;
      extended_file_entry sf{};
      mdcudfsr_read_extended_file_entry_for_salvage(sf_out, m->logical_sector_size, 0, &sf, nullptr, nullptr, 1);
      if (!(sf.icbtag.flags & UDF_ICB_FLAG_STREAM)) {
        CACHE_LOG(ERR, "Named Stream Invalid flags %d\n", sf.icbtag.flags);
        return -1;
      }
      return err;
    }
    p += len;
  }
  return KEL_EINVAL;
}
