// Extended file entries and allocation extent descriptors (see udf_efe.h).
#include "udf/udf_efe.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_dump.h"
#include "udf/udf_lvid.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cstring>
#include <new>
#include <set>

using namespace udf_io;

namespace {

constexpr uint32_t kEfeSize = sizeof(extended_file_entry);
constexpr uint32_t kAedSize = sizeof(alloc_ext_desc);

void mark_damaged(mdcudfsr_mount* mnt) { mdcudfsr_set_mntinfo_state(mnt, 0, MNTINFO_ENTRY_DAMAGED, WRPROT_READONLY); }

void mark_read_only(mdcudfsr_mount* mnt) {
  mnt->mntinfo.MountStatus = MNTINFO_RULES_BROKEN;
  mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, nullptr);
}

uint32_t cache_offset_ok(uint32_t err, uint32_t cache_err) { return err ? err : (cache_err ? KEL_EINVAL : 0); }

}  // namespace

int mdcudfsr_write_metadata_block(mdcudfsr_mount* mnt, uint16_t part, uint32_t loc, uint32_t phys,
                                  const uint8_t* block, vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  const uint64_t off = MDC_METADATA_OFFSET + static_cast<uint64_t>(loc) * b;
  uint32_t done = 0, cache_err = 0;
  if (mnt->fsd_relocation && mnt->fsmanage_handle != -1) {
    if (mnt->cache_mirroring_suspended) return 0;
    const int err = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, off, b, block, &done, &cache_err);
    if (err || cache_err) {
      if (err)
        UDF_LOG(ERR, "mdcudfsr_metacache_file_write failed. err:%d \n", err);
      else
        UDF_LOG(ERR, "mdcudfsr_metacache_file_write success. but cache err:%d \n", cache_err);
      mdcudfsr_drop_fsmanage_cache(mnt, ctx);
      return static_cast<int>(cache_offset_ok(err, cache_err));
    }
    return 0;
  }
  const int err = mdcudfsr_write_logical_blocks(mnt, part, phys, block, b, ctx);
  if (err) {
    UDF_LOG(ERR, "err=%d\n", err);
    return err;
  }
  if (mnt->fsmanage_handle != -1 && !mnt->cache_mirroring_suspended) {
    const int e = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, off, b, block, &done, &cache_err);
    if (e || cache_err) {
      UDF_LOG(ERR, " Failed to write fs manage cache. err = %d cache_err = %d\n", e, cache_err);
      mdcudfsr_drop_fsmanage_cache(mnt, ctx);
    }
  }
  return 0;
}

int mdcudfsr_read_extended_file_entry(mdcudfsr_mount* mnt, const uint8_t* raw, uint32_t size, uint16_t default_part,
                                      extended_file_entry* efe, mdcudfsr_extent_list* list, uint32_t* not_allocated,
                                      int no_check) {
  if (not_allocated) *not_allocated = 0;
  if (!raw || size < kEfeSize) {
    UDF_LOG(ERR, "buffer overflow\n");
    return KEL_EINVAL;
  }
  std::memcpy(efe, raw, kEfeSize);
  mdcudfsr_swap_le2host_desc_tag(&efe->tag);
  if (efe->tag.id != TAG_ID_EFE) {
    // A block of another descriptor (or of zeros, whose checksum and CRC
    // are valid) is no entry.
    UDF_LOG(WARN, "Tag id(%d) is not EFE.\n", efe->tag.id);
    mark_damaged(mnt);
    return KEL_EBADF;
  }
  const uint32_t avail = size < mnt->logical_sector_size ? size : mnt->logical_sector_size;
  if (!mdcudfsr_check_udf_tag_crc(raw, avail)) {
    UDF_LOG(ERR, "EFE CRC is invalid.\n");
    mark_damaged(mnt);
    return KEL_EBADF;
  }
  if (!mdcudfsr_check_udf_tag_checksum(raw)) {
    UDF_LOG(ERR, "EFE checksum is invalid.\n");
    mark_damaged(mnt);
    return KEL_EBADF;
  }
  std::memcpy(efe, raw, kEfeSize);
  mdcudfsr_swap_le2host_extended_file_entry(efe);
  const uint64_t l_ad_room = efe->l_ad > 16 ? efe->l_ad : 16;
  if (uint64_t{efe->l_ea} + l_ad_room + kEfeSize > size) {
    UDF_LOG(ERR, "buffer overflow\n");
    return KEL_EINVAL;
  }
  __mdcudfsr_dump_extended_file_entry(0, efe, "efep", 0);
  if (efe->stream_directory_icb.len)
    UDF_LOG(INFO, "stream_directory_icb.len is not zero. ex_attr_icb.len=%d\n", efe->stream_directory_icb.len);
  int result = 0;
  const uint8_t ft = efe->icbtag.file_type;
  if (!no_check && (ft == UDF_FILE_TYPE_DIRECTORY || ft == UDF_FILE_TYPE_REGULAR || ft == UDF_FILE_TYPE_249)) {
    if (efe->ex_attr_icb.len) {
      UDF_LOG(WARN, "ex_attr_icb.len is not zero. ex_attr_icb.len=%d\n", efe->ex_attr_icb.len);
      mark_read_only(mnt);
      result = KEL_EROFS;
    }
    if (ft == UDF_FILE_TYPE_DIRECTORY && efe->l_ea) {
      UDF_LOG(WARN, "l_ea is not zero. l_ea=%d\n", efe->l_ea);
      mark_read_only(mnt);
      result = KEL_EROFS;
    }
  }
  if (!list) return result;
  mdcudfsr_extent_list_remove_all(list);
  const uint32_t ad_type = efe->icbtag.flags & 7u;
  if (ad_type == UDF_AD_IN_ICB) return result;
  if (uint64_t{kEfeSize} + efe->l_ea + efe->l_ad > size) {
    UDF_LOG(ERR, "l_ad is invalid. size=%d l_ad=%d\n", size, efe->l_ad);
    return KEL_EINVAL;
  }
  const int err = mdcudfsr_read_ad_vector(raw + kEfeSize + efe->l_ea, efe->l_ad, default_part, ad_type, list,
                                          not_allocated);
  return err ? err : result;
}

int mdcudfsr_read_ad_vector(const uint8_t* ad, uint32_t length, uint16_t default_part, uint32_t ad_type,
                            mdcudfsr_extent_list* list, uint32_t* not_allocated) {
  UDF_LOG(DEBG, "ad=%p\n", static_cast<const void*>(ad));
  UDF_LOG(DEBG, "ad_end=%p\n", static_cast<const void*>(ad + length));
  if (not_allocated) *not_allocated = 0;
  if (ad_type != UDF_AD_SHORT && ad_type != UDF_AD_LONG) {
    UDF_LOG(ERR, "unkown ad type flags=%x\n", ad_type);
    return KEL_EINVAL;
  }
  const uint32_t size = ad_type == UDF_AD_LONG ? sizeof(long_ad) : sizeof(short_ad);
  for (uint32_t off = 0; off + size <= length; off += size) {
    mdcudfsr_extent_entry entry;
    if (ad_type == UDF_AD_SHORT) {
      short_ad s;
      std::memcpy(&s, ad + off, sizeof s);
      entry.extent.len = mdcudfsr_le32_to_host(s.len);
      entry.extent.loc.lb_num = mdcudfsr_le32_to_host(s.pos);
      entry.extent.loc.part_num = default_part;
    } else {
      long_ad l;
      std::memcpy(&l, ad + off, sizeof l);
      entry.extent.len = mdcudfsr_le32_to_host(l.len);
      entry.extent.loc.lb_num = mdcudfsr_le32_to_host(l.loc.lb_num);
      entry.extent.loc.part_num = mdcudfsr_le16_to_host(l.loc.part_num);
      entry.extent.ad_flags = mdcudfsr_le16_to_host(l.ad_flags);
      entry.extent.ad_id = mdcudfsr_le32_to_host(l.ad_id);
    }
    const uint32_t type = EXTENT_FLAGS(entry.extent.len);
    if (type == EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED) {
      UDF_LOG(WARN, "AD flags is EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED.\n");
      if (not_allocated) *not_allocated = 1;
    }
    if (EXTENT_LENGTH(entry.extent.len) == 0 && type != EXTENT_FLAGS_NEXT_EXTENT) {
      UDF_LOG(WARN, "len == 0 && exflags != EXTENT_FLAGS_NEXT_EXTENT \n");
      return 0;
    }
    const int err = mdcudfsr_extent_list_add(list, &entry, 0);
    if (err) {
      UDF_LOG(ERR, "err=%d\n", err);
      return err;
    }
    __mdcudfsr_dump_long_ad(0, &entry.extent, "&extent_entry.extent", 0);
    if (type == EXTENT_FLAGS_NEXT_EXTENT) return 0;
  }
  return 0;
}

int mdcudfsr_read_allocation_extent_descriptor(mdcudfsr_mount* mnt, const uint8_t* raw, uint32_t block_length,
                                               uint32_t buffer_size, uint16_t default_part, uint32_t ad_type,
                                               mdcudfsr_extent_list* list, uint32_t* not_allocated) {
  mdcudfsr_extent_entry* last = list->last;
  if (!last || EXTENT_FLAGS(last->extent.len) != EXTENT_FLAGS_NEXT_EXTENT) {
    UDF_LOG(ERR, "%s\n", "EXTENT_FLAGS( eep->extent.len ) == EXTENT_FLAGS_NEXT_EXTENT");
    return KEL_EINVAL;
  }
  bool bad = false;
  if (!raw) {
    UDF_LOG(ERR, "AED cant read.\n");
    bad = true;
  } else if (buffer_size < kAedSize || !mdcudfsr_check_udf_tag(raw, TAG_ID_AED)) {
    UDF_LOG(ERR, "AED tag err.\n");
    bad = true;
  } else {
    const uint32_t avail = buffer_size < mnt->logical_sector_size ? buffer_size : mnt->logical_sector_size;
    if (!mdcudfsr_check_udf_tag_crc(raw, avail) || !mdcudfsr_check_udf_tag_checksum(raw)) {
      UDF_LOG(ERR, "AED crc err.\n");
      bad = true;
    }
  }
  alloc_ext_desc aed{};
  if (!bad) {
    std::memcpy(&aed, raw, sizeof aed);
    mdcudfsr_swap_le2host_alloc_ext_desc(&aed);
    if (aed.l_ad > block_length || aed.l_ad > buffer_size - kAedSize) {
      UDF_LOG(ERR, "aed.length_alloc_descs is invalid. aed.length_alloc_descs=%d\n", aed.l_ad);
      bad = true;
    }
  }
  mdcudfsr_extent_list_remove_entry(list, last);
  if (bad) {
    mark_damaged(mnt);
    return KEL_EROFS;
  }
  return mdcudfsr_read_ad_vector(raw + kAedSize, aed.l_ad, default_part, ad_type, list, not_allocated);
}

int mdcudfsr_read_allocation_extent_chain(mdcudfsr_mount* mnt, vfs_context_t ctx, uint16_t default_part,
                                          uint32_t ad_type, mdcudfsr_extent_list* list, uint32_t* not_allocated,
                                          mdcudfsr_aed_info** aed_info) {
  const uint32_t b = mnt->logical_block_size;
  std::set<uint64_t> seen;
  while (list->last && EXTENT_FLAGS(list->last->extent.len) == EXTENT_FLAGS_NEXT_EXTENT) {
    const uint32_t lbn = list->last->extent.loc.lb_num;
    const uint16_t part = list->last->extent.loc.part_num == MDCUDFSR_PARTITION_METADATA
                              ? static_cast<uint16_t>(MDCUDFSR_PARTITION_METADATA)
                              : static_cast<uint16_t>(MDCUDFSR_PARTITION_PHYSICAL);
    // A chain that comes back to a block, or never ends, is damaged.
    if (!seen.insert((uint64_t{part} << 32) | lbn).second || seen.size() > MDCUDFSR_MAX_AED_CHAIN) {
      UDF_LOG(ERR, "AED chain loops or is too long. lbn=0x%x count=%u\n", lbn, static_cast<uint32_t>(seen.size()));
      mdcudfsr_extent_list_remove_entry(list, list->last);
      mark_damaged(mnt);
      return KEL_EROFS;
    }
    const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, part, lbn, nullptr);
    uint8_t* block = zalloc(b);
    if (!block) return KEL_ENOMEM;
    int err = 0;
    if (lsn != MDCUDFSR_INVALID_LSN) {
      std::lock_guard<std::mutex> lk(mnt->slot_mutex);
      buf_t bp = nullptr;
      err = buf_meta_bread(mnt->devvp, lsn, static_cast<int>(b), nullptr, &bp);
      if (!err) std::memcpy(block, buf_bytes(bp), b);
      if (bp) buf_brelse(bp);
    }
    (void)ctx;
    const bool readable = lsn != MDCUDFSR_INVALID_LSN && !err;
    err = mdcudfsr_read_allocation_extent_descriptor(mnt, readable ? block : nullptr, b, b, default_part, ad_type,
                                                     list, not_allocated);
    zfree(block);
    if (err) return err;
    if (aed_info) {
      if (!*aed_info && !(*aed_info = mdcudfsr_aed_info_alloc())) return KEL_ENOMEM;
      mdcudfsr_aed_info* grown = mdcudfsr_aed_info_add(*aed_info, lbn);
      if (!grown) return KEL_ENOMEM;
      *aed_info = grown;
    }
  }
  return 0;
}

uint32_t mdcudfsr_write_ad_vector(uint8_t* out, uint32_t length, uint32_t next_lbn, uint32_t next_len,
                                  uint32_t ad_type, const mdcudfsr_extent_entry* e) {
  const bool is_long = ad_type & 1;
  const uint32_t size = is_long ? sizeof(long_ad) : sizeof(short_ad);
  if (length < size || !e) return 0;
  uint32_t off = 0;
  for (; e && off + size <= length; e = e->next) {
    long_ad l{};
    if (e->next && length - off < 2 * size) {
      if (next_lbn == MDCUDFSR_INVALID_LBN) UDF_LOG(ERR, "next_lbn is INVALID LBN, although aed is full\n");
      l.len = EXTENT_MAKE(next_len, EXTENT_FLAGS_NEXT_EXTENT);
      l.loc.lb_num = next_lbn;
    } else if (e->extent.len & 0x80000000u) {
      l.len = EXTENT_MAKE(EXTENT_LENGTH(e->extent.len), EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED);
    } else {
      l = e->extent;
    }
    if (is_long) {
      UDF_LOG(DEBG, "lad lbn:0x%x size:0x%x part_num:%d \n", l.loc.lb_num, l.len, l.loc.part_num);
      long_ad le{mdcudfsr_le32_to_host(l.len),
                 lb_addr{mdcudfsr_le32_to_host(l.loc.lb_num), mdcudfsr_le16_to_host(l.loc.part_num)},
                 mdcudfsr_le16_to_host(l.ad_flags), mdcudfsr_le32_to_host(l.ad_id)};
      std::memcpy(out + off, &le, sizeof le);
      __mdcudfsr_dump_long_ad(0, &le, "l_ad", 1);
    } else {
      UDF_LOG(DEBG, "sad lbn:0x%x size:0x%x \n", l.loc.lb_num, l.len);
      short_ad s{mdcudfsr_le32_to_host(l.len), mdcudfsr_le32_to_host(l.loc.lb_num)};
      std::memcpy(out + off, &s, sizeof s);
    }
    off += size;
    if (EXTENT_FLAGS(l.len) == EXTENT_FLAGS_NEXT_EXTENT && e->next) break;
  }
  return off;
}

int mdcudfsr_init_extended_file_entry(mdcudfsr_mount* mnt, uint32_t mode, extended_file_entry* efe, int assign_uid) {
  std::memset(efe, 0, sizeof *efe);
  efe->tag.id = TAG_ID_EFE;
  efe->tag.tag_loc = 0xFFFFFFFFu;
  efe->uid = 0xFFFFFFFFu;
  efe->gid = 0xFFFFFFFFu;
  efe->perm = mdcudfsr_perm_unix2udf(mode);
  efe->link_cnt = 1;
  efe->ckpoint = 1;
  timespec now{};
  nanotime(&now);
  mdcudfsr_timespec2udftime_local(mnt, &now, &efe->atime);
  efe->mtime = efe->ctime = efe->attrtime = efe->atime;
  efe->icbtag.strat_type = 4;
  efe->icbtag.max_num_entries = 1;
  mdcudfsr_make_regid(mnt, &efe->imp_id, REGID_IMPLEMENTATION);
  if (assign_uid) efe->unique_id = mdcudfsr_get_next_unique_id(mnt);
  return 0;
}

namespace {

// Fills the block: fixed part (with tag, identifier and permissions), the
// extended attributes that follow the copy, then `tail` of `tail_len` bytes.
void seal_efe(mdcudfsr_mount* mnt, uint8_t* block, const extended_file_entry& fixed, const uint8_t* ea,
              const void* tail, uint32_t tail_len, uint32_t loc, uint32_t perm_word) {
  extended_file_entry e = fixed;
  mdcudfsr_init_udf_tag(mnt, &e.tag, TAG_ID_EFE, loc);
  e.perm = mdcudfsr_apply_perm_word(e.perm, perm_word);
  if (e.l_ea && ea) std::memcpy(block + kEfeSize, ea, e.l_ea);
  if (tail_len) std::memcpy(block + kEfeSize + e.l_ea, tail, tail_len);
  const uint32_t total = kEfeSize + e.l_ea + e.l_ad;
  mdcudfsr_swap_host2le_extended_file_entry(&e);
  std::memcpy(block, &e, kEfeSize);
  mdcudfsr_set_udf_tag_crc_and_checksum(block, total);
}

}  // namespace

int mdcudfsr_flush_extended_file_entry_in_icb(mdcudfsr_mount* mnt, uint16_t part, uint32_t efe_loc,
                                              uint32_t phys_block, uint32_t perm_word, const extended_file_entry* efe,
                                              const uint8_t* ea, const uint8_t* data, uint32_t data_len,
                                              vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  uint8_t* block = zalloc(b);
  if (!block) {
    UDF_LOG(ERR, "failed to allocate buf.\n");
    return KEL_ENOMEM;
  }
  extended_file_entry e = *efe;
  if (!ea) e.l_ea = 0;
  if (uint64_t{kEfeSize} + e.l_ea + data_len > b) {
    UDF_LOG(ERR, "l_ad is invalid. size=%d l_ad=%d\n", b, data_len);
    zfree(block);
    return KEL_EINVAL;
  }
  mdcudfsr_make_regid(mnt, &e.imp_id, REGID_IMPLEMENTATION);
  e.logblks_rec = 0;
  e.inf_len = e.object_size = data_len;
  e.l_ad = data_len;
  e.icbtag.flags = static_cast<uint16_t>((e.icbtag.flags & ~7u) | UDF_AD_IN_ICB);
  seal_efe(mnt, block, e, ea, data, data_len, efe_loc, perm_word);
  const int err = mdcudfsr_write_metadata_block(mnt, part, efe_loc, phys_block, block, ctx);
  zfree(block);
  return err;
}

int mdcudfsr_flush_metadata_EFE(mdcudfsr_mount* mnt, uint32_t block_no, uint32_t perm_word,
                                const extended_file_entry* efe, const uint8_t* ea, short_ad ad, vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  uint8_t* block = zalloc(b);
  if (!block) {
    UDF_LOG(ERR, "%s\n", "buf");
    return KEL_ENOMEM;
  }
  extended_file_entry e = *efe;
  if (!ea) e.l_ea = 0;
  if (uint64_t{kEfeSize} + e.l_ea + sizeof ad > b) {
    zfree(block);
    return KEL_EINVAL;
  }
  e.icbtag.flags = static_cast<uint16_t>((e.icbtag.flags & ~7u) | UDF_AD_SHORT);
  mdcudfsr_make_regid(mnt, &e.imp_id, REGID_IMPLEMENTATION);
  e.l_ad = sizeof ad;
  short_ad le{mdcudfsr_le32_to_host(ad.len), mdcudfsr_le32_to_host(ad.pos)};
  seal_efe(mnt, block, e, ea, &le, sizeof le, block_no, perm_word);
  const int err = mdcudfsr_write_logical_blocks(mnt, MDCUDFSR_PARTITION_PHYSICAL, block_no, block, b, ctx);
  if (err) UDF_LOG(ERR, "err=%d\n", err);
  zfree(block);
  return err;
}

namespace {

// Where the descriptor after the one at `loc` goes (on the physical
// partition the next block; else a new metadata block, or the next one
// when the file set is not relocated), noted in the caller's list. 0, 28
// without a block, 12 without memory.
int next_aed_location(mdcudfsr_mount* mnt, uint16_t part, uint32_t loc, mdcudfsr_aed_info** aed_info,
                      uint32_t* next) {
  if (part == MDCUDFSR_PARTITION_PHYSICAL) {
    ++mnt->metadata_efe_aed_count;
    *next = loc + 1;
  } else {
    const uint32_t nb = mdcudfsr_allocate_metadata_blocks(mnt, 1);
    if (nb == MDCUDFSR_INVALID_LBN) {
      UDF_LOG(ERR, "%s\n", "next_lbn != INVALID_LBN");
      return KEL_ENOSPC;
    }
    *next = mnt->fsd_relocation ? nb : loc + 1;
  }
  if (!aed_info) return 0;
  if (!*aed_info) *aed_info = mdcudfsr_aed_info_alloc();
  mdcudfsr_aed_info* grown = *aed_info ? mdcudfsr_aed_info_add(*aed_info, *next) : nullptr;
  if (!grown) {
    UDF_LOG(ERR, "%s\n", "aed_info");
    return KEL_ENOMEM;
  }
  *aed_info = grown;
  return 0;
}

// One allocation extent descriptor at `loc` in `block`: the extents from
// `entry` on that fit, then the one that continues at `next` (when valid).
void build_aed(mdcudfsr_mount* mnt, uint8_t* block, uint32_t loc, uint32_t next, uint32_t ad_type,
               const mdcudfsr_extent_entry* entry) {
  const uint32_t b = mnt->logical_block_size;
  std::memset(block, 0, b);
  const uint32_t bytes = mdcudfsr_write_ad_vector(block + kAedSize, b - kAedSize, next, b, ad_type, entry);
  alloc_ext_desc aed{};
  mdcudfsr_init_udf_tag(mnt, &aed.tag, TAG_ID_AED, loc);
  aed.prev_alloc_ext_loc = 0;
  aed.l_ad = bytes;
  mdcudfsr_swap_host2le_alloc_ext_desc(&aed);
  std::memcpy(block, &aed, sizeof aed);
  mdcudfsr_set_udf_tag_crc_and_checksum(block, kAedSize + bytes);
}

// The descriptor block kept in the metadata file entry's image for the
// cache file (block `nth`, or 16 + nth of the mirror); the cache file is
// dropped without an image, and with one too small (then 22).
int keep_in_efe_image(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t nth, int mirror, const uint8_t* block) {
  const uint32_t b = mnt->logical_block_size;
  if (mnt->fsmanage_handle == -1 || mnt->cache_mirroring_suspended) return 0;
  if (!mnt->metadata_efe_image) {
    mdcudfsr_drop_fsmanage_cache(mnt, ctx);
    return 0;
  }
  const uint32_t idx = mirror ? 16 + nth : nth;
  if (uint64_t{idx + 1} * b > MDCUDFSR_IMAGE_SIZE) {
    if (mirror)
      UDF_LOG(ERR, "Metadata Mirror EFE size invalid %d\n", idx);
    else
      UDF_LOG(ERR, "Metadata EFE size invalied %d \n", idx);
    zfree(mnt->metadata_efe_image);
    mnt->metadata_efe_image = nullptr;
    mdcudfsr_drop_fsmanage_cache(mnt, ctx);
    return KEL_EINVAL;
  }
  std::memcpy(mnt->metadata_efe_image + static_cast<size_t>(idx) * b, block, b);
  return 0;
}

// A descriptor block of the physical partition written (on rewritable media
// the `nth` block after `first_sector`) and kept for the cache file.
int write_physical_aed(mdcudfsr_mount* mnt, vfs_context_t ctx, uint32_t loc, uint32_t first_sector, uint32_t nth,
                       int mirror, const uint8_t* block) {
  const uint32_t lsn =
      mnt->is_rewritable ? first_sector + nth : mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, loc, nullptr);
  if (lsn == MDCUDFSR_INVALID_LSN) {
    UDF_LOG(ERR, "invalid lsn 0x%x lbn:0x%x \n", lsn, loc);
    return KEL_EINVAL;
  }
  if (const int result = mdcudfsr_write_cluster_buffer(mnt, ctx, 1, lsn, block, mnt->logical_block_size)) {
    UDF_LOG(ERR, "err=%d\n", result);
    return result;
  }
  return keep_in_efe_image(mnt, ctx, nth, mirror, block);
}

}  // namespace

int mdcudfsr_flush_allocation_extent_descriptor(mdcudfsr_mount* mnt, uint16_t part, uint32_t loc, uint32_t phys,
                                                const mdcudfsr_extent_entry* entry, vfs_context_t ctx,
                                                mdcudfsr_aed_info** aed_info, uint32_t first_sector, int mirror) {
  if (!entry) {
    UDF_LOG(ERR, "%s\n", "entry");
    return KEL_EINVAL;
  }
  const uint32_t b = mnt->logical_block_size;
  uint32_t e_count = 0;
  for (const mdcudfsr_extent_entry* e = entry; e; e = e->next) ++e_count;
  const uint32_t ad_type = part == entry->extent.loc.part_num ? UDF_AD_SHORT : UDF_AD_LONG;
  const uint32_t ad_size = ad_type == UDF_AD_SHORT ? sizeof(short_ad) : sizeof(long_ad);
  const uint32_t k = (b - kAedSize) / ad_size;
  uint8_t* block = zalloc(b);
  if (!block) {
    UDF_LOG(ERR, "%s\n", "buf");
    return KEL_ENOMEM;
  }
  int result = 0;
  for (uint32_t nth = 1;; ++nth) {
    uint32_t next = MDCUDFSR_INVALID_LBN;
    if (e_count > k && (result = next_aed_location(mnt, part, loc, aed_info, &next)) != 0) break;
    build_aed(mnt, block, loc, next, ad_type, entry);
    result = part == MDCUDFSR_PARTITION_PHYSICAL ? write_physical_aed(mnt, ctx, loc, first_sector, nth, mirror, block)
                                                 : mdcudfsr_write_metadata_block(mnt, part, loc, phys, block, ctx);
    if (result) break;
    if (next == MDCUDFSR_INVALID_LBN) {
      if (e_count > k) UDF_LOG(ERR, "%s\n", "!num_entries");
      break;
    }
    for (uint32_t i = 0; i < k - 1 && entry; ++i) entry = entry->next;
    e_count -= k - 1;
    ++phys;
    loc = next;
  }
  zfree(block);
  return result;
}

mdcudfsr_aed_info* mdcudfsr_aed_info_alloc() {
  auto* info = reinterpret_cast<mdcudfsr_aed_info*>(zalloc(MDCUDFSR_AED_INFO_STEP));
  if (!info) {
    UDF_LOG(ERR, "%s\n", "mdcudfsraip");
    return nullptr;
  }
  info->size = MDCUDFSR_AED_INFO_STEP;
  info->count = 0;
  return info;
}

mdcudfsr_aed_info* mdcudfsr_aed_info_add(mdcudfsr_aed_info* info, uint32_t value) {
  if (!info) return nullptr;
  const uint32_t need = 8 + 4 * (info->count + 1);
  if (need > info->size) {
    auto* grown = reinterpret_cast<mdcudfsr_aed_info*>(zalloc(info->size + MDCUDFSR_AED_INFO_STEP));
    if (!grown) {
      UDF_LOG(ERR, "%s\n", "buf");
      return nullptr;
    }
    std::memcpy(grown, info, info->size);
    grown->size = info->size + MDCUDFSR_AED_INFO_STEP;
    zfree(info);
    info = grown;
  }
  info->values[info->count++] = value;
  return info;
}

int mdcudfsr_free_aed_info(mdcudfsr_aed_info* info) {
  zfree(info);
  return 0;
}

void mdcudfsr_extended_file_entry_debug(const extended_file_entry* efe) {
  UDF_LOG(INFO, "EFE: rec_len=%d inf_len=%llu object_size=%llu logblks_rec=%llu\n", efe->rec_len,
          static_cast<unsigned long long>(efe->inf_len), static_cast<unsigned long long>(efe->object_size),
          static_cast<unsigned long long>(efe->logblks_rec));
}
