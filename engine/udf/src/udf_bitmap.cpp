// Space bitmaps (see udf_bitmap.h).
#include "udf/udf_bitmap.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_dump.h"
#include "udf/udf_efe.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace udf_io;

namespace {

constexpr uint32_t kSbdHeader = sizeof(space_bitmap_desc);
constexpr uint32_t kVerifyStep = 0x4000;

bool unsupported(mdcudfsr_mount* mnt) {
  if (mdcudfsr_sbmp_medium_supported(mnt)) return false;
  mdcudfsr_set_mntinfo_state(mnt, MNTINFO_ACCESS_REFUSED, MNTINFO_ANCHOR_INVALID, WRPROT_READONLY);
  return true;
}

uint32_t ceil_div(uint64_t a, uint32_t b) { return static_cast<uint32_t>((a + b - 1) / b); }

// Blocks the descriptor is written as: whole 64 KiB units.
uint32_t write_blocks(const mdcudfsr_mount* mnt, uint32_t desc_len) {
  return (ceil_div(desc_len, mnt->logical_block_size) + 31) & ~31u;
}

void mark_blocks_of(mdcudfsr_bitmap* bm, uint32_t lbn, uint32_t bytes, uint32_t b) {
  mdcudfsr_bitmap_mark(bm, lbn, ceil_div(bytes, b));
}

}  // namespace

mdcudfsr_bitmap* mdcudfsr_bitmap_alloc(uint32_t bits) {
  const uint32_t n = (bits + 7) / 8;
  auto* bm = static_cast<mdcudfsr_bitmap*>(std::malloc(sizeof(mdcudfsr_bitmap) + n));
  if (!bm) return nullptr;
  bm->num_bits = bits;
  bm->free_count = bits;
  bm->num_bytes = n;
  std::memset(bm->bytes, 0xFF, n);
  return bm;
}

void mdcudfsr_bitmap_free(mdcudfsr_bitmap* bm) { std::free(bm); }

void mdcudfsr_bitmap_mark(mdcudfsr_bitmap* bm, uint32_t first, uint64_t count) {
  if (!bm || first == MDCUDFSR_INVALID_LBN) return;
  for (uint64_t b = first; b < uint64_t{first} + count && b < bm->num_bits; ++b) {
    uint8_t& byte = bm->bytes[b / 8];
    const uint8_t bit = static_cast<uint8_t>(1u << (b % 8));
    if (byte & bit) {
      byte &= static_cast<uint8_t>(~bit);
      --bm->free_count;
    }
  }
}

bool mdcudfsr_sbmp_medium_supported(const mdcudfsr_mount* mnt) {
  switch (mnt->medium_type) {
    case 0xC3: case 0xD3: case 0xE2: case 0xE4: case 0xE6: case 0xE8: case 0x53: case 0x57:
      return true;
    default:
      return false;
  }
}

int mdcudfsr_sbmp_read_sbd(mdcudfsr_mount* mnt, const mdcudfsr_extent_list* list, vfs_context_t, uint32_t* num_bits,
                           uint32_t* num_bytes) {
  if (unsupported(mnt)) return KEL_EINVAL;
  uint64_t avail = 0;
  const uint32_t lsn = mdcudfsr_offset2lsn(mnt, list, 0, &avail);
  if (lsn == MDCUDFSR_INVALID_LSN) {
    UDF_LOGM(ERR, KELC, "%s\n", "lsn != INVALID_LSN");
    return KEL_EINVAL;
  }
  if (mdcudfsr_debug_level_check(0, 1, 0))
    UDF_LOG(WARN, "(tid=%08x) %s:%d PMBLOX first lsn=%d (0x%08x)\n", static_cast<uint32_t>(udf_log::tid()),
            __func__, __LINE__, lsn, lsn);
  buf_t bp = nullptr;
  int err;
  {
    std::lock_guard<std::mutex> lk(mnt->slot_mutex);
    err = buf_meta_bread(mnt->devvp, lsn, static_cast<int>(kUnit), nullptr, &bp);
  }
  if (err) {
    UDF_LOGM(ERR, KELC, "err=%d\n", err);
    if (bp) buf_brelse(bp);
    return err;
  }
  const uint8_t* raw = buf_bytes(bp);
  space_bitmap_desc sbd;
  std::memcpy(&sbd, raw, sizeof sbd);
  mdcudfsr_swap_le2host_space_bitmap_desc(&sbd);
  int result = 0;
  if (!mdcudfsr_check_udf_tag(raw, TAG_ID_SBD)) {
    UDF_LOG(ERR, "SBD tag is invalid.\n");
    __mdcudfsr_dump_space_bitmap_desc(0, &sbd, "&sbd", 0);
    result = KEL_EINVAL;
  } else {
    const uint32_t a = static_cast<uint32_t>(avail < kUnit ? avail : kUnit);
    if (uint32_t{sbd.tag.desc_crc_len} + 16 >= a) {
      UDF_LOG(WARN, "SBD CRC length is too big.\n");
    } else if (!mdcudfsr_check_udf_tag_crc(raw, a)) {
      UDF_LOG(ERR, "SBD CRC is invalid.\n");
      __mdcudfsr_dump_space_bitmap_desc(0, &sbd, "&sbd", 0);
      result = KEL_EINVAL;
    }
  }
  if (!result) {
    *num_bits = sbd.num_of_bits;
    *num_bytes = sbd.num_of_bytes;
  }
  buf_brelse(bp);
  return result;
}

int mdcudfsr_read_usb(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (unsupported(mnt)) return KEL_EINVAL;
  const short_ad usb = mnt->vds.pd.phd.unalloc_space_bitmap;
  if (usb.pos == 0) return 0;
  mdcudfsr_extent_list list;
  mdcudfsr_extent_list_init(&list);
  mdcudfsr_extent_entry e;
  e.extent.len = usb.len;
  e.extent.loc = lb_addr{usb.pos, MDCUDFSR_PARTITION_PHYSICAL};
  if (mdcudfsr_extent_list_add(&list, &e, 0) == 0) {
    uint32_t bits = 0, bytes = 0;
    const uint32_t blocks = ceil_div(mnt->part[2].length, mnt->logical_block_size);
    if (mdcudfsr_sbmp_read_sbd(mnt, &list, ctx, &bits, &bytes) == 0 && bits != blocks)
      UDF_LOG(WARN, "USB BitSize not equal. PartitionBlocks = 0x%08x USB BitSize = 0x%08x\n", blocks, bits);
  }
  mdcudfsr_extent_list_free(&list);
  return 0;
}

int mdcudfsr_read_metadata_bmp(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  if (unsupported(mnt)) return KEL_EINVAL;
  const uint32_t loc = mnt->vds.pmap.type2_metadata.bitmap_file_loc;
  if (loc == 0 || loc == MDCUDFSR_INVALID_LBN) return 0;
  uint8_t* cluster = nullptr;
  uint32_t offset = 0;
  mdcudfsr_extent_list list;
  mdcudfsr_extent_list_init(&list);
  int err = mdcudfsr_read_cluster_with_lbn(mnt, ctx, &cluster, mdcudfsr_lbn_addr{loc, MDCUDFSR_PARTITION_PHYSICAL}, 0,
                                           nullptr, 0, &offset);
  extended_file_entry efe{};
  if (!err)
    err = mdcudfsr_read_extended_file_entry(mnt, cluster + offset, mnt->logical_block_size,
                                            MDCUDFSR_PARTITION_PHYSICAL, &efe, &list, nullptr, 1);
  if (err) {
    UDF_LOG(WARN, "Failed read Metadata Bitmap FE\n");
  } else {
    mnt->metadata_bitmap_efe = efe;
    uint32_t bits = 0, bytes = 0;
    const uint64_t len = mnt->part[0].length ? mnt->part[0].length : mnt->part[1].length;
    const uint32_t blocks = ceil_div(len, mnt->logical_block_size);
    if (mdcudfsr_sbmp_read_sbd(mnt, &list, ctx, &bits, &bytes) == 0 && bits != blocks)
      UDF_LOG(WARN, "Metadata Bitmap BitSize not equal. PartitionBlocks = 0x%08x USB BitSize = 0x%08x\n", blocks,
              bits);
  }
  mdcudfsr_extent_list_free(&list);
  return 0;
}

int mdcudfsr_create_bitmap_mark_efe(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* n, mdcudfsr_bitmap* bm) {
  if (unsupported(mnt)) return KEL_EINVAL;
  if (n->status == MDCUDFSR_NODE_INACTIVE) {
    UDF_LOG(WARN, "inactive node %s\n", mdcudfsr_node_name(n));
    return 0;
  }
  if (!bm || !n->udf_data) return 0;
  const mdcudfsr_udf_data* d = n->udf_data;
  mdcudfsr_bitmap_mark(bm, d->efe_loc, 1);
  if (d->aed_info)
    for (uint32_t i = 0; i < d->aed_info->count; ++i) mdcudfsr_bitmap_mark(bm, d->aed_info->values[i], 1);
  if (d->efe.stream_directory_icb.len) mdcudfsr_bitmap_mark(bm, d->std_loc, 1);
  if (d->efe.icbtag.file_type == UDF_FILE_TYPE_DIRECTORY) {
    const uint16_t ad = d->efe.icbtag.flags & 7u;
    if (ad == UDF_AD_SHORT || ad == UDF_AD_LONG) {
      for (const mdcudfsr_extent_entry* e = d->extents.first; e; e = e->next)
        mark_blocks_of(bm, e->extent.loc.lb_num, EXTENT_LENGTH(e->extent.len), mnt->logical_block_size);
    } else if (ad != UDF_AD_IN_ICB) {
      UDF_LOG(ERR, " Directory Invalid FILE TYPE file_type:%d\n", UDF_FILE_TYPE_DIRECTORY);
      return 255;
    }
  }
  return 0;
}

int mdcudfsr_make_bitmap_for_file(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* node, mdcudfsr_bitmap* bm,
                                  int skip_kind4) {
  if (unsupported(mnt)) return KEL_EINVAL;
  const uint16_t disc = static_cast<uint16_t>(mnt->current_disc + 1);
  std::vector<mdcudfsr_udf_node_fields*> stack{node};
  while (!stack.empty()) {
    mdcudfsr_udf_node_fields* n = stack.back();
    stack.pop_back();
    if (!n || n->status == MDCUDFSR_NODE_INACTIVE) continue;
    if (mdcudfsr_node_file_type(n) == UDF_FILE_TYPE_DIRECTORY) {
      for (mdcudfsr_udf_node_fields* c = n->uid_last; c; c = c->uid_prev) stack.push_back(c);
      continue;
    }
    if (!n->udf_data || (skip_kind4 && n->kind == MDCUDFSR_NODE_MASTER)) continue;
    for (const mdcudfsr_extent_entry* e = n->udf_data->extents.first; e; e = e->next) {
      const uint32_t type = EXTENT_FLAGS(e->extent.len);
      if ((type == EXTENT_FLAGS_RECORDED || type == EXTENT_FLAGS_NOT_RECORDED) && e->extent.loc.part_num == disc)
        mark_blocks_of(bm, e->extent.loc.lb_num, EXTENT_LENGTH(e->extent.len), mnt->logical_block_size);
    }
  }
  return 0;
}

int mdcudfsr_bitmap_flush(mdcudfsr_mount* mnt, const mdcudfsr_bitmap* bm, uint32_t first, uint32_t* desc_length,
                          uint32_t* desc_first, vfs_context_t ctx) {
  if (unsupported(mnt)) return KEL_EINVAL;
  const uint32_t b = mnt->logical_block_size;
  const uint32_t len = kSbdHeader + bm->num_bytes;
  if (desc_length) *desc_length = len;
  if (desc_first) *desc_first = first;
  space_bitmap_desc hdr{};
  mdcudfsr_init_udf_tag(mnt, &hdr.tag, TAG_ID_SBD, first);
  hdr.num_of_bits = bm->num_bits;
  hdr.num_of_bytes = bm->num_bytes;
  mdcudfsr_swap_host2le_space_bitmap_desc(&hdr);
  uint8_t hbytes[kSbdHeader];
  std::memcpy(hbytes, &hdr, sizeof hdr);
  mdcudfsr_set_udf_tag_crc_and_checksum(hbytes, kSbdHeader);

  const uint32_t w = write_blocks(mnt, len);
  const uint32_t per_chunk = kUnit / b;
  int err = 0;
  std::unique_lock<std::mutex> lk(mnt->slot_mutex);
  err = mdcudfsr_disc_change(mnt, SLOT_LAST_WRITTEN, 0, ctx, 0);
  if (err) {
    UDF_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
    return err;
  }
  const uint32_t first_lsn = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, first, nullptr);
  for (uint32_t c = 0; c * per_chunk < w && !err; ++c) {
    const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, first + c * per_chunk, nullptr);
    if (lsn == MDCUDFSR_INVALID_LSN) {
      err = KEL_EINVAL;
      break;
    }
    buf_t bp = buf_getblk(mnt->devvp, lsn, static_cast<int>(kUnit), 0, 0, kBufOpMetadata);
    if (!bp) {
      UDF_LOG(ERR, "buf_getblk not buffer\n");
      return KEL_EIO;
    }
    uint8_t* p = buf_bytes(bp);
    std::memset(p, 0, kUnit);
    // Bytes [c * 64 KiB, (c + 1) * 64 KiB) of header + bitmap.
    const uint64_t from = uint64_t{c} * kUnit;
    for (uint64_t i = 0; i < kUnit; ++i) {
      const uint64_t at = from + i;
      if (at >= len) break;
      p[i] = at < kSbdHeader ? hbytes[at] : bm->bytes[at - kSbdHeader];
    }
    err = buf_bwrite(bp);
    if (err) {
      UDF_LOG(ERR, "PBLOX buf_bwrite is failed.(%d)", err);
      mdcudfsr_sync_drive_cache(mnt, ctx);
    }
  }
  if (!err) {
    err = mdcudfsr_sync_drive_cache(mnt, ctx);
    if (err) UDF_LOG(ERR, "sync chace is failed.(%d)\n", err);
  }
  for (uint32_t done = 0; !err && done < w; done += kVerifyStep) {
    const uint32_t n = w - done < kVerifyStep ? w - done : kVerifyStep;
    err = mdcudfsr_verify_range(mnt->devvp, first_lsn + done, n, ctx, mnt);
    if (err) UDF_LOG(ERR, "verify range is failed.(%d)\n", err);
  }
  if (!err) {
    mnt->next_writable_address += w;
    return 0;
  }
  lk.unlock();
  uint32_t counter = 0;
  mdcudfsr_mdcfsctrl_get_defect_report_counter(mnt, ctx, &counter, 1);
  UDF_LOG(ERR, "err and update defect bitmap.\n");
  return err;
}

namespace {

// Checks the range at the next writable address and writes the bitmap there.
int place_and_flush(mdcudfsr_mount* mnt, mdcudfsr_bitmap* bm, vfs_context_t ctx, uint32_t* blocks_written,
                    uint32_t* desc_length, uint32_t* desc_first, const char* moved_message, bool mark_own) {
  const uint32_t b = mnt->logical_block_size;
  const uint32_t len = kSbdHeader + bm->num_bytes;
  const uint32_t w = write_blocks(mnt, len);
  uint32_t changed = 0;
  // Any failed search (22, or the drive's answer without a defect map)
  // leaves an address nobody checked: nothing is written there.
  if (const int err = mdcudfsr_find_defect_and_change_NWA(mnt, ctx, mnt->next_writable_address, w, &changed)) {
    UDF_LOG(ERR, "Failed to find defect or change NWA. \n");
    return err;
  }
  if (changed) UDF_LOG(WARN, moved_message, mnt->next_writable_address);
  const uint32_t start = mnt->part[2].start_sector;
  const uint32_t first =
      mnt->next_writable_address >= start ? mnt->next_writable_address - start : MDCUDFSR_INVALID_LBN;
  if (mark_own) mdcudfsr_bitmap_mark(bm, first, ceil_div(len, b));
  if (blocks_written) *blocks_written = w;
  const int err = mdcudfsr_bitmap_flush(mnt, bm, first, desc_length, desc_first, ctx);
  if (err) UDF_LOGM(ERR, KELC, "err=%d\n", err);
  return err;
}

}  // namespace

int mdcudfsr_update_usb(mdcudfsr_mount* mnt, short_ad mbmp, vfs_context_t ctx, uint32_t* blocks_written,
                        int skip_kind4) {
  if (unsupported(mnt)) return KEL_EINVAL;
  // The free space table has an entry per disc after the metadata partition.
  if (mnt->current_disc + 1 > MDCUDFSR_MAX_TYPE1_MAPS) {
    UDF_LOG(ERR, "last written slot %u has no free space entry.\n", mnt->current_disc);
    return KEL_EINVAL;
  }
  const uint32_t b = mnt->logical_block_size;
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(ceil_div(mnt->part[2].length, b));
  if (!bm) {
    UDF_LOG(ERR, "can't allocate memory\n");
    return KEL_ENOMEM;
  }
  mdcudfsr_bitmap_mark(bm, mnt->part[0].efe_block, 1 + uint64_t{mnt->max_metadata_ads});
  mdcudfsr_bitmap_mark(bm, mnt->part[1].efe_block, 1 + uint64_t{mnt->max_metadata_ads});
  for (const mdcudfsr_extent_entry* e = mnt->part[0].list.first; e; e = e->next)
    mdcudfsr_bitmap_mark(bm, e->extent.loc.lb_num, EXTENT_LENGTH(e->extent.len) / b);
  if (mnt->metadata_bitmap_efe.tag.id == TAG_ID_EFE) mdcudfsr_bitmap_mark(bm, mnt->metadata_bitmap_efe.tag.tag_loc, 1);
  mark_blocks_of(bm, mbmp.pos, mbmp.len, b);
  if (mnt->udf_root) {
    const int err = mdcudfsr_make_bitmap_for_file(mnt, mnt->udf_root, bm, skip_kind4);
    if (err) UDF_LOG(ERR, "mdcudfsr_make_bitmap_for_file failed:%d\n", err);
  }
  uint32_t desc_len = 0, desc_first = 0;
  const int err = place_and_flush(mnt, bm, ctx, blocks_written, &desc_len, &desc_first,
                                  "Hit defect and change NWA for USB New NWA is 0x%x\n", true);
  if (!err) {
    mnt->free_space[mnt->current_disc + 1] = bm->free_count;
    mnt->vds.pd.phd.unalloc_space_bitmap.len = ceil_div(desc_len, b) * b;
    mnt->vds.pd.phd.unalloc_space_bitmap.pos = desc_first;
  }
  mdcudfsr_bitmap_free(bm);
  return err;
}

int mdcudfsr_update_metadata_bitmap(mdcudfsr_mount* mnt, uint32_t* desc_length, uint32_t* desc_first,
                                    vfs_context_t ctx, uint32_t* blocks_written, int skip_kind4) {
  if (unsupported(mnt)) return KEL_EINVAL;
  const uint32_t b = mnt->logical_block_size;
  const uint64_t len = mnt->part[0].length ? mnt->part[0].length : mnt->part[1].length;
  mdcudfsr_bitmap* bm = mdcudfsr_bitmap_alloc(ceil_div(len, b));
  if (!bm) {
    UDF_LOG(ERR, "can't allocate memory\n");
    return KEL_ENOMEM;
  }
  mark_blocks_of(bm, mnt->vds.lvd.fsd_loc.loc.lb_num, mnt->vds.lvd.fsd_loc.len, b);
  int err = 0;
  if (mnt->udf_root) {
    std::vector<mdcudfsr_udf_node_fields*> stack;
    const uint32_t limit = mdcudfsr_dirstack_limit(mnt);
    err = mdcudfsr_create_bitmap_mark_efe(mnt, mnt->udf_root, bm);
    if (!err) stack.push_back(mnt->udf_root);
    while (!err && !stack.empty()) {
      mdcudfsr_udf_node_fields* dir = stack.back();
      stack.pop_back();
      for (mdcudfsr_udf_node_fields* c = dir->uid_first; c && !err; c = c->uid_next) {
        if (skip_kind4 && c->kind == MDCUDFSR_NODE_MASTER) continue;
        err = mdcudfsr_create_bitmap_mark_efe(mnt, c, bm);
        if (!err && mdcudfsr_node_file_type(c) == UDF_FILE_TYPE_DIRECTORY && c->status != MDCUDFSR_NODE_INACTIVE) {
          if (stack.size() + 1 > limit) {
            UDF_LOG(ERR, "dirstack insert error\n");
            err = KEL_EINVAL;
          } else {
            stack.push_back(c);
          }
        }
      }
    }
    if (err) UDF_LOG(ERR, "bitmap mark error\n");
  }
  if (!err)
    err = place_and_flush(mnt, bm, ctx, blocks_written, desc_length, desc_first,
                          "Hit defect and change NWA for metadata bitmap New NWA is 0x%x\n", false);
  if (!err) mnt->free_space[0] = bm->free_count;
  mdcudfsr_bitmap_free(bm);
  return err;
}

int mdcudfsr_update_metadata_bitmap_for_read_cache(mdcudfsr_mount* mnt, uint8_t* bitmap, uint64_t offset,
                                                   uint32_t length) {
  const uint32_t b = mnt->logical_block_size;
  if (!bitmap || b == 0) return 0;
  const uint64_t first = offset / b;
  const uint64_t count = length / b;
  const uint64_t limit = mnt->read_cache_bitmap_blocks;
  // The read cache bitmap covers `limit` blocks; 0: none.
  for (uint64_t i = first; i < first + count; ++i) {
    if (i >= limit) break;
    bitmap[i / 8] &= static_cast<uint8_t>(~(1u << (i % 8)));
  }
  return 0;
}
