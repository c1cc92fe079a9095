// Writing extended file entries (see udf_write_efe.h).
#include "kelcache/cache_flush.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_write_efe.h"
#include "udf/udf_efe.h"
#include "udf/udf_metadata.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_path.h"
#include "udf/udf_regid.h"
#include "udf/udf_tag.h"
#include "udf_io.h"
#include "udf_log.h"

#include <cstring>
#include <vector>

using namespace udf_io;

namespace {

constexpr uint32_t kEfeSize = sizeof(extended_file_entry);
constexpr uint32_t kEaHeader = 24;
constexpr uint32_t kIuEaFixed = 48;
constexpr uint32_t kMaxStreamName = 48;
constexpr uint32_t kMaxCs0Name = 975;

struct iu_ea_head {
  uint32_t type;
  uint8_t subtype;
  uint8_t reserved[3];
  uint32_t length;
  uint32_t iu_length;
  regid id;
};
static_assert(sizeof(iu_ea_head) == kIuEaFixed, "implementation use attribute header is 48 bytes");

uint32_t round4(uint32_t v) { return (v + 3) & ~3u; }

uint16_t header_checksum(const uint8_t* ea) {
  uint16_t sum = 0;
  for (uint32_t i = 0; i < kIuEaFixed; ++i) sum = static_cast<uint16_t>(sum + ea[i]);
  return sum;
}

void put16(uint8_t* p, uint16_t v) {
  v = mdcudfsr_le16_to_host(v);
  std::memcpy(p, &v, 2);
}
void put32(uint8_t* p, uint32_t v) {
  v = mdcudfsr_le32_to_host(v);
  std::memcpy(p, &v, 4);
}

uint32_t put_iu_head(mdcudfsr_mount* mnt, uint8_t* p, uint32_t length, uint32_t iu_length, int regid_index) {
  iu_ea_head h{};
  h.type = mdcudfsr_le32_to_host(2048);
  h.subtype = 1;
  h.length = mdcudfsr_le32_to_host(length);
  h.iu_length = mdcudfsr_le32_to_host(iu_length);
  mdcudfsr_make_regid(mnt, &h.id, regid_index);
  std::memcpy(p, &h, sizeof h);
  return header_checksum(p);
}

uint32_t hash_area_length(const mdcudfsr_udf_node_fields* n) {
  if (!n || n->hash_ea_list.empty()) return 0;
  uint32_t total = kEaHeader;
  for (const auto& h : n->hash_ea_list) total += round4(56 + static_cast<uint32_t>(h.hash.size()));
  return total;
}

uint8_t file_type_of(const mdcudfsr_efe_write* w) { return w->efe->icbtag.file_type; }

bool is_file(uint8_t ft) { return ft == UDF_FILE_TYPE_REGULAR || ft == UDF_FILE_TYPE_249; }

// Allocation descriptor type of the entry.
uint16_t choose_ad(const mdcudfsr_efe_write* w) {
  const uint8_t ft = file_type_of(w);
  if (ft == UDF_FILE_TYPE_SYMLINK) return UDF_AD_IN_ICB;
  const mdcudfsr_extent_entry* first = w->list ? w->list->first : nullptr;
  const bool same_part = first && first->extent.loc.part_num == w->part;
  if (ft == UDF_FILE_TYPE_DIRECTORY && (!first || same_part)) return UDF_AD_SHORT;
  if (!w->node && same_part) return UDF_AD_SHORT;
  return UDF_AD_LONG;
}

void drop_image_or_cache(mdcudfsr_mount* mnt, vfs_context_t ctx) {
  zfree(mnt->metadata_efe_image);
  mnt->metadata_efe_image = nullptr;
  mdcudfsr_drop_fsmanage_cache(mnt, ctx);
}

// Writes the block of an entry of the metadata file (partition 2) or any
// other entry.
int write_entry_block(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, const uint8_t* block, vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  if (w->part == MDCUDFSR_PARTITION_PHYSICAL) {
    const uint32_t lsn = mnt->is_rewritable ? w->first_sector
                                            : mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, w->efe_loc, nullptr);
    if (lsn == MDCUDFSR_INVALID_LSN) {
      UDF_LOG(ERR, "invalid lsn 0x%x lbn:0x%x \n", lsn, w->efe_loc);
      return KEL_EINVAL;
    }
    const int err = mdcudfsr_write_cluster_buffer(mnt, ctx, 1, lsn, block, b);
    if (err) {
      UDF_LOG(ERR, "err=%d\n", err);
      return err;
    }
    if (mnt->fsmanage_handle != -1 && !mnt->cache_mirroring_suspended) {
      if (!mnt->metadata_efe_image)
        mdcudfsr_drop_fsmanage_cache(mnt, ctx);
      else
        std::memcpy(mnt->metadata_efe_image + static_cast<size_t>(w->mirror ? 16 : 0) * b, block, b);
    }
    return 0;
  }
  return mdcudfsr_write_metadata_block(mnt, w->part, w->efe_loc, w->phys_block, block, ctx);
}

// The path components of a symbolic link's target in at most `room` bytes.
// 0; 36 when they do not fit; 22 when the target cannot be converted.
int symlink_components(const char* target, uint8_t* out, uint32_t room, uint32_t* written) {
  *written = 0;
  std::vector<char> normalised(std::strlen(target) + 1);
  uint32_t need = 0;
  const int err = mdcudfsr_inquiry_path_component(target, &need, normalised.data());
  if (err) {
    UDF_LOG(ERR, "err=%d\n", err);
    return KEL_EINVAL;
  }
  if (need > room) {
    UDF_LOG(ERR, "symbolic link target too long. size=%u room=%u\n", need, room);
    return KEL_ENAMELIMIT;
  }
  if (need == 0) return 0;
  *written = mdcudfsr_create_path_component(target, out, room);
  return *written == need ? 0 : KEL_EINVAL;
}

// The stream's name in compressed Unicode.
int stream_name_cs0(const mdcudfsr_udf_node_fields* parity, uint8_t* out, uint32_t* len) {
  if (!parity) {
    UDF_LOG(ERR, "%s\n", "parity_node");
    return KEL_EINVAL;
  }
  // A parity node is named after its file: "<file>#<stream name>"; the
  // stream's identifier is the part after "#" (the parity suffix).
  const char* name = mdcudfsr_node_name(parity);
  if (const char* hash = std::strstr(name, "#*")) name = hash + 1;
  uint8_t norm[kMaxStreamName + 1];
  size_t nlen = 0;
  int err = utf8_normalizestr(reinterpret_cast<const uint8_t*>(name), std::strlen(name), norm, &nlen, sizeof norm, 2);
  if (err) {
    UDF_LOG(ERR, "%s\n", "udf_identifier");
    return err;
  }
  *len = kMaxCs0Name;
  err = mdcudfsr_unicode_utf82udf(norm, static_cast<uint32_t>(nlen), out, len);
  if (err) UDF_LOG(ERR, "err=%d\n", err);
  return err;
}

// Tags the entry copy at `loc`, applies the permission word to it and puts
// it, sealed, at the start of the block.
void seal(mdcudfsr_mount* mnt, uint8_t* block, extended_file_entry& entry, uint32_t loc, uint32_t perm_word) {
  mdcudfsr_init_udf_tag(mnt, &entry.tag, TAG_ID_EFE, loc);
  entry.perm = mdcudfsr_apply_perm_word(entry.perm, perm_word);
  extended_file_entry e = entry;
  const uint32_t total = kEfeSize + e.l_ea + e.l_ad;
  mdcudfsr_swap_host2le_extended_file_entry(&e);
  std::memcpy(block, &e, kEfeSize);
  mdcudfsr_set_udf_tag_crc_and_checksum(block, total);
}

// The stream's own entry at logical `loc`, written to `phys`.
int flush_child_efe(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* owner, mdcudfsr_udf_node_fields* stream,
                    uint32_t loc, uint32_t phys, vfs_context_t ctx) {
  if (!stream->udf_data) {
    UDF_LOG(ERR, "udf_data is null.\n");
    return KEL_EINVAL;
  }
  const uint32_t b = mnt->logical_block_size;
  mdcudfsr_udf_data* sd = stream->udf_data;
  extended_file_entry e = sd->efe;
  const extended_file_entry& o = owner->udf_data->efe;
  e.icbtag.file_type = UDF_FILE_TYPE_REGULAR;
  e.icbtag.strat_type = 4;
  e.icbtag.max_num_entries = 1;
  e.icbtag.flags = static_cast<uint16_t>((e.icbtag.flags & ~7u) | UDF_AD_LONG | UDF_ICB_FLAG_STREAM);
  e.perm = 0x7FFF;
  e.unique_id = o.unique_id;
  e.atime = o.atime;
  e.mtime = o.mtime;
  e.ctime = o.ctime;
  e.attrtime = o.attrtime;
  e.l_ea = 0;
  mdcudfsr_make_regid(mnt, &e.imp_id, REGID_IMPLEMENTATION);
  const uint32_t k = (b - kEfeSize) / sizeof(long_ad);
  uint32_t count = mdcudfsr_extent_list_get_count(&sd->extents);
  uint32_t aed_lbn = MDCUDFSR_INVALID_LBN;
  if (count > k) {
    const uint32_t nb = mdcudfsr_allocate_metadata_blocks(mnt, 1);
    if (nb == MDCUDFSR_INVALID_LBN) {
      UDF_LOG(ERR, "%s\n", "aed_lbn != INVALID_LBN");
      return KEL_ENOSPC;
    }
    aed_lbn = mnt->fsd_relocation ? nb : nb - mnt->replace_blk_count;
    UDF_LOG(INFO, "[%s] 1 aed_lbn %d aed_write_lbn %d \n", mdcudfsr_node_name(stream), aed_lbn, nb);
    const mdcudfsr_extent_entry* first = sd->extents.first;
    for (uint32_t i = 0; i < k - 1 && first; ++i) first = first->next;
    mdcudfsr_free_aed_info(sd->aed_info);
    sd->aed_info = mdcudfsr_aed_info_alloc();
    if (!sd->aed_info || !(sd->aed_info = mdcudfsr_aed_info_add(sd->aed_info, aed_lbn))) {
      UDF_LOG(ERR, "%s\n", "aed_info");
      return KEL_ENOMEM;
    }
    const int err = mdcudfsr_flush_allocation_extent_descriptor(mnt, MDCUDFSR_PARTITION_METADATA, aed_lbn, nb, first,
                                                                ctx, &sd->aed_info, 0, 0);
    if (err) return err;
  }
  uint8_t* block = zalloc(b);
  if (!block) {
    UDF_LOG(ERR, "can't allocate dir memory.size=%d\n", b);
    return KEL_ENOMEM;
  }
  e.l_ad = mdcudfsr_write_ad_vector(block + kEfeSize, b - kEfeSize, aed_lbn, b, UDF_AD_LONG, sd->extents.first);
  seal(mnt, block, e, loc, 0xFFFF);
  sd->efe = e;
  sd->efe_loc = loc;
  const int err = mdcudfsr_write_metadata_block(mnt, MDCUDFSR_PARTITION_METADATA, loc, phys, block, ctx);
  if (err) UDF_LOG(ERR, "mdcudfsr_write_logical_blocks failed lbn:0x%x \n", phys);
  zfree(block);
  return err;
}

// The entry of a stream directory of `size` bytes: its owner's times and
// unique identifier, no owner or group, every permission.
extended_file_entry stream_directory_entry(mdcudfsr_mount* mnt, const extended_file_entry& o, uint32_t size) {
  extended_file_entry e{};
  e.icbtag.file_type = UDF_FILE_TYPE_STREAMDIR;
  e.icbtag.strat_type = 4;
  e.icbtag.max_num_entries = 1;
  e.uid = e.gid = 0xFFFFFFFFu;
  e.perm = 0x7FFF;
  e.link_cnt = 1;
  e.inf_len = e.object_size = size;
  e.atime = o.atime;
  e.mtime = o.mtime;
  e.ctime = o.ctime;
  e.attrtime = o.attrtime;
  e.ckpoint = 1;
  e.unique_id = o.unique_id;
  mdcudfsr_make_regid(mnt, &e.imp_id, REGID_IMPLEMENTATION);
  return e;
}

// The stream's identifier descriptor at `at` in the directory data that
// starts at block `d`; its entry is the block after `d`. 0, or 22 for a
// name that cannot be recorded.
int put_stream_fid(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* stream, const extended_file_entry& o, uint32_t d,
                   uint8_t* at, uint32_t offset) {
  const uint32_t b = mnt->logical_block_size;
  uint8_t name[kMaxCs0Name + 1];
  uint32_t name_len = 0;
  if (stream_name_cs0(stream, name, &name_len)) return KEL_EINVAL;
  fileid_desc fid{};
  mdcudfsr_init_udf_tag(mnt, &fid.tag, TAG_ID_FID, d + offset / b);
  fid.file_num = 1;
  fid.file_char = 0;
  fid.l_fi = static_cast<uint8_t>(name_len);
  fid.icb.len = b;
  fid.icb.loc = lb_addr{d + 1, MDCUDFSR_PARTITION_METADATA};
  fid.icb.ad_id = static_cast<uint32_t>(o.unique_id);
  fid.l_iu = 0;
  const uint32_t fid_len = round4(sizeof(fileid_desc) + name_len);
  mdcudfsr_swap_host2le_fileid_desc(&fid);
  std::memcpy(at, &fid, sizeof fid);
  std::memcpy(at + sizeof fid, name, name_len);
  mdcudfsr_set_udf_tag_crc_and_checksum(at, fid_len);
  return 0;
}

// Where the data of a stream directory goes: embedded in its entry, or in
// blocks of its own written first (`data_first`, `data_blocks`, recorded at
// `d`); then the entry at `std_loc`, written to `write_lbn`.
struct StreamDirPlace {
  bool embedded;
  uint32_t d, data_first, data_blocks, std_loc, write_lbn;
};

int write_stream_directory(mdcudfsr_mount* mnt, extended_file_entry& e, const std::vector<uint8_t>& data,
                           uint32_t size, const StreamDirPlace& at, vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  uint8_t* block = zalloc(b);
  if (!block) {
    UDF_LOG(ERR, "can't allocate dir memory.size=%d\n", b);
    return KEL_ENOMEM;
  }
  int err = 0;
  if (at.embedded) {
    e.icbtag.flags = UDF_AD_IN_ICB;
    e.l_ad = size;
    std::memcpy(block + kEfeSize, data.data(), size);
  } else {
    e.icbtag.flags = UDF_AD_SHORT;
    e.l_ad = sizeof(short_ad);
    short_ad ad{mdcudfsr_le32_to_host(size), mdcudfsr_le32_to_host(at.d)};
    std::memcpy(block + kEfeSize, &ad, sizeof ad);
    e.logblks_rec = at.data_blocks;
    for (uint32_t i = 0; i < at.data_blocks && !err; ++i)
      err = mdcudfsr_write_metadata_block(mnt, MDCUDFSR_PARTITION_METADATA, at.d + i, at.data_first + i,
                                          data.data() + static_cast<size_t>(i) * b, ctx);
  }
  if (!err) {
    seal(mnt, block, e, at.std_loc, 0xFFFF);
    err = mdcudfsr_write_metadata_block(mnt, MDCUDFSR_PARTITION_METADATA, at.std_loc, at.write_lbn, block, ctx);
  }
  zfree(block);
  return err;
}

int flush_stream_directory_efe(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* owner, uint32_t std_loc,
                               uint32_t sid_write_lbn, bool had_replacement, vfs_context_t ctx) {
  const uint32_t b = mnt->logical_block_size;
  const uint32_t size = mdcudfsr_calc_strdir_size(mnt, owner);
  if (!size) {
    UDF_LOG(ERR, "failed to calc_strdir_size \n");
    return KEL_EINVAL;
  }
  mdcudfsr_udf_node_fields* stream = owner->parity_node;
  const extended_file_entry& o = owner->udf_data->efe;
  extended_file_entry e = stream_directory_entry(mnt, o, size);
  StreamDirPlace at{kEfeSize + size <= b, std_loc, MDCUDFSR_INVALID_LBN, 0, std_loc, sid_write_lbn};
  if (!at.embedded) {
    at.data_blocks = (size + b - 1) / b;
    at.data_first = mdcudfsr_allocate_metadata_blocks(mnt, at.data_blocks);
    if (at.data_first == MDCUDFSR_INVALID_LBN) {
      UDF_LOG(ERR, "%s\n", "strdir_lbn != INVALID_LBN");
      return KEL_ENOSPC;
    }
    at.d = mnt->fsd_relocation ? at.data_first : at.data_first - mnt->replace_blk_count;
  }
  if (std_loc + 1 == 0) {
    UDF_LOG(ERR, "%s\n", "strdir_lbn != INVALID_LBN");
    return KEL_ENOSPC;
  }
  std::vector<uint8_t> data(round4(size) + b, 0);
  int parent_len = mdcudfsr_cache_write_fid(mnt, data.data(), owner, at.d, 1);
  if (parent_len < 0) return KEL_EINVAL;
  if (put_stream_fid(mnt, stream, o, at.d, data.data() + parent_len, static_cast<uint32_t>(parent_len))) return KEL_EINVAL;
  if (const int err = write_stream_directory(mnt, e, data, size, at, ctx)) return err;
  const uint32_t child_write_lbn = mdcudfsr_allocate_metadata_blocks(mnt, 1);
  if (child_write_lbn == MDCUDFSR_INVALID_LBN) {
    UDF_LOG(ERR, "%s\n", "child_write_lbn != INVALID_LBN");
    return KEL_ENOSPC;
  }
  if (!mnt->fsd_relocation && had_replacement) {
    ++mnt->replace_blk_count;
    UDF_LOG(INFO, "[7]replace blk count[%d]\n", mnt->replace_blk_count);
  }
  return flush_child_efe(mnt, owner, stream, at.d + 1, child_write_lbn, ctx);
}

}  // namespace

uint32_t mdcudfsr_calc_strdir_size(mdcudfsr_mount* mnt, mdcudfsr_udf_node_fields* owner) {
  std::vector<uint8_t> scratch(mnt->logical_block_size * 2, 0);
  const int parent = mdcudfsr_cache_write_fid(mnt, scratch.data(), owner, 0, 1);
  if (parent < 0) return 0;
  uint8_t name[kMaxCs0Name + 1];
  uint32_t len = 0;
  if (stream_name_cs0(owner->parity_node, name, &len)) return 0;
  return static_cast<uint32_t>(parent) + round4(sizeof(fileid_desc) + len);
}

uint32_t mdcudfsr_build_ea_area(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint8_t* out, uint32_t capacity) {
  uint32_t len = 0;
  if (w->prev_loc >= 0)
    len = UDF_EA_PREVLOC_LENGTH;
  else if (is_file(file_type_of(w)))
    len = hash_area_length(w->node);
  if (!len || len > capacity) return 0;
  std::memset(out, 0, len);
  desc_tag t{};
  mdcudfsr_init_udf_tag(mnt, &t, UDF_EA_HEADER_TAG, w->efe_loc);
  mdcudfsr_swap_host2le_desc_tag(&t);
  std::memcpy(out, &t, sizeof t);
  put32(out + 16, kEaHeader);
  put32(out + 20, 0xFFFFFFFFu);
  mdcudfsr_set_udf_tag_crc_and_checksum(out, kEaHeader);
  uint8_t* p = out + kEaHeader;
  if (w->prev_loc >= 0) {
    const uint16_t sum = static_cast<uint16_t>(put_iu_head(mnt, p, 56, 8, REGID_PREVLOC));
    put16(p + 48, sum);
    p[50] = mnt->svg_status;
    p[51] = 0;
    put32(p + 52, static_cast<uint32_t>(w->prev_loc));
    return len;
  }
  for (const auto& h : w->node->hash_ea_list) {
    const uint32_t hl = static_cast<uint32_t>(h.hash.size());
    const uint32_t alen = round4(56 + hl);
    const uint16_t sum = static_cast<uint16_t>(put_iu_head(mnt, p, alen, hl + 8, REGID_HASH));
    put16(p + 48, sum);
    put16(p + 50, h.kind);
    put16(p + 52, static_cast<uint16_t>(hl));
    put16(p + 54, 0);
    std::memcpy(p + 56, h.hash.data(), hl);
    p += alen;
  }
  return len;
}

namespace {

// A management cache file takes a fresh image of the metadata file's entry;
// without memory for it, the image (or the cache) is dropped.
void prepare_metadata_image(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, vfs_context_t ctx) {
  if (w->part != MDCUDFSR_PARTITION_PHYSICAL || mnt->fsmanage_handle == -1 || w->mirror) return;
  if (!mnt->metadata_efe_image) mnt->metadata_efe_image = zalloc(MDCUDFSR_IMAGE_SIZE);
  if (mnt->metadata_efe_image)
    std::memset(mnt->metadata_efe_image, 0, MDCUDFSR_IMAGE_SIZE);
  else
    drop_image_or_cache(mnt, ctx);
}

// Extended attributes after the entry: built for a previous location or
// hashes, else the ones that follow the copy. *l_ea their length; 28 when
// built ones leave no room for one descriptor, 22 when copied ones do not fit.
int place_extended_attributes(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint8_t* block, uint32_t* l_ea) {
  const uint32_t b = mnt->logical_block_size;
  const extended_file_entry* efe = w->efe;
  const bool built_ea =
      w->prev_loc >= 0 || (is_file(efe->icbtag.file_type) && w->node && !w->node->hash_ea_list.empty());
  *l_ea = mdcudfsr_build_ea_area(mnt, w, block + kEfeSize, b - kEfeSize - 16);
  if (built_ea && !*l_ea) {
    // The attributes would leave no room for one descriptor: nothing is
    // written rather than an entry without them.
    UDF_LOG(ERR, "extended attributes exceed the entry. size=%u\n",
            w->prev_loc >= 0 ? UDF_EA_PREVLOC_LENGTH : hash_area_length(w->node));
    return KEL_ENOSPC;
  }
  if (!built_ea) {
    *l_ea = w->ea ? efe->l_ea : 0;
    if (*l_ea && kEfeSize + *l_ea + 16 <= b) std::memcpy(block + kEfeSize, w->ea, *l_ea);
  }
  return kEfeSize + *l_ea + 16 > b ? KEL_EINVAL : 0;
}

// The block of the allocation extent descriptor: the one after the entry in
// the physical partition, else a new metadata block. *aed_lbn is its address
// as the entry records it, *aed_phys where it is written.
int place_aed(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint32_t* aed_lbn, uint32_t* aed_phys) {
  if (w->part == MDCUDFSR_PARTITION_PHYSICAL) {
    *aed_lbn = w->efe_loc + 1;
    *aed_phys = w->phys_block + 1;
    ++mnt->metadata_efe_aed_count;
    return 0;
  }
  *aed_phys = mdcudfsr_allocate_metadata_blocks(mnt, 1);
  if (*aed_phys == MDCUDFSR_INVALID_LBN) {
    UDF_LOG(ERR, "%s\n", "aed_lbn != INVALID_LBN");
    return KEL_ENOSPC;
  }
  *aed_lbn = mnt->fsd_relocation ? *aed_phys : *aed_phys - mnt->replace_blk_count;
  UDF_LOG(INFO, "AED [%s] aed_lbn %d aed_write_lbn %d \n", mdcudfsr_node_name(w->node), *aed_lbn, *aed_phys);
  return 0;
}

// The caller's descriptor record started anew with the one block at aed_lbn.
int restart_aed_info(const mdcudfsr_efe_write* w, uint32_t aed_lbn) {
  if (!w->aed_info) return 0;
  mdcudfsr_free_aed_info(*w->aed_info);
  *w->aed_info = mdcudfsr_aed_info_alloc();
  if (!*w->aed_info) {
    UDF_LOG(ERR, "%s\n", "*mdcudfsraipp");
    return KEL_ENOMEM;
  }
  mdcudfsr_aed_info* grown = mdcudfsr_aed_info_add(*w->aed_info, aed_lbn);
  if (!grown) {
    UDF_LOG(ERR, "%s\n", "aed_info");
    return KEL_ENOMEM;
  }
  *w->aed_info = grown;
  return 0;
}

// Extents beyond the k descriptors the entry holds go to an allocation
// extent descriptor, whose address is *aed_lbn (left invalid when the entry
// holds them all; the caller's descriptor record is then emptied).
int write_overflow_extents(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint16_t ad, uint32_t k,
                           vfs_context_t ctx, uint32_t* aed_lbn) {
  const uint32_t count = w->list ? mdcudfsr_extent_list_get_count(w->list) : 0;
  if (ad == UDF_AD_IN_ICB || count <= k) {
    if (w->aed_info && *w->aed_info) (*w->aed_info)->count = 0;
    return 0;
  }
  const mdcudfsr_extent_entry* aed_first = w->list->first;
  for (uint32_t i = 0; i < k - 1 && aed_first; ++i) aed_first = aed_first->next;
  if (!aed_first) {
    UDF_LOG(ERR, "aed_first_ad is null\n");
    return KEL_EINVAL;
  }
  uint32_t aed_phys;
  int err = place_aed(mnt, w, aed_lbn, &aed_phys);
  if (!err) err = restart_aed_info(w, *aed_lbn);
  if (err) return err;
  err = mdcudfsr_flush_allocation_extent_descriptor(mnt, w->part, *aed_lbn, aed_phys, aed_first, ctx, w->aed_info,
                                                    w->first_sector, w->mirror);
  if (err) UDF_LOG(ERR, "err=%d\n", err);
  return err;
}

// The allocation descriptors in the room after the attributes: a symbolic
// link's path components in the entry, else the extent vector. *l_ad their length.
int place_descriptors(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint16_t ad, uint8_t* area, uint32_t room,
                      uint32_t aed_lbn, uint32_t* l_ad) {
  if (ad != UDF_AD_IN_ICB) {
    *l_ad = w->list ? mdcudfsr_write_ad_vector(area, room, aed_lbn, mnt->logical_block_size, ad, w->list->first) : 0;
    return 0;
  }
  const char* target = w->node && w->node->symlink_target ? w->node->symlink_target : "";
  if (const int err = symlink_components(target, area, room, l_ad)) return err;
  w->efe->inf_len = w->efe->object_size = *l_ad;
  return 0;
}

// Our implementation identifier; the metadata files of a rollback in mode 2
// carry the rollback point's version bytes in its suffix.
void stamp_implementation(mdcudfsr_mount* mnt, extended_file_entry* efe) {
  mdcudfsr_make_regid(mnt, &efe->imp_id, REGID_IMPLEMENTATION);
  const uint8_t ft = efe->icbtag.file_type;
  if ((mnt->mount_ext_flags & MNT_EXT_ROLLBACK_REQUESTED) && mnt->rollback_mode == 2 &&
      (ft == UDF_FILE_TYPE_METADATA || ft == UDF_FILE_TYPE_METADATA_MIRROR)) {
    efe->imp_id.id_suffix[2] = mnt->rollback_version[0];
    efe->imp_id.id_suffix[3] = mnt->rollback_version[1];
  }
}

// The stream directory of a file that owns a stream: placed, written, and
// recorded in the entry with the second link and the stream's size.
int flush_owned_stream(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, vfs_context_t ctx) {
  mdcudfsr_udf_node_fields* node = w->node;
  if (!node || !node->parity_node || !node->udf_data) return 0;
  extended_file_entry* efe = w->efe;
  mdcudfsr_udf_data* d = node->udf_data;
  const uint32_t sid_write_lbn = mdcudfsr_allocate_metadata_blocks(mnt, 1);
  if (sid_write_lbn == MDCUDFSR_INVALID_LBN) {
    UDF_LOG(ERR, "%s\n", "sid_write_lbn != INVALID_LBN");
    return KEL_ENOSPC;
  }
  UDF_LOG(INFO, "1 std_loc %d replace_std_loc %d \n", d->std_loc, d->replace_std_loc);
  const bool had_replacement = d->replace_std_loc != MDCUDFSR_INVALID_LBN;
  if (mnt->fsd_relocation) {
    d->std_loc = d->replace_std_loc = sid_write_lbn;
  } else {
    if (had_replacement) {
      ++mnt->replace_blk_count;
      UDF_LOG(INFO, "[6]replace blk count[%d]\n", mnt->replace_blk_count);
    }
    if (d->std_loc == MDCUDFSR_INVALID_LBN)
      d->std_loc = sid_write_lbn - mnt->replace_blk_count;
    else if (mnt->cache_mirroring_suspended)
      d->replace_std_loc = sid_write_lbn;
  }
  UDF_LOG(INFO, "2 std_loc %d replace_std_loc %d \n", d->std_loc, d->replace_std_loc);
  const uint32_t b = mnt->logical_block_size;
  efe->stream_directory_icb = long_ad{b, lb_addr{d->std_loc, MDCUDFSR_PARTITION_METADATA}, 0, 0};
  UDF_LOG(INFO, "call flush_stream_directory_EFE [%s] sdi_lbn %d sid_write_lbn %d \n", mdcudfsr_node_name(node),
          d->std_loc, sid_write_lbn);
  d->efe = *efe;
  const int err = flush_stream_directory_efe(mnt, node, d->std_loc, sid_write_lbn, had_replacement, ctx);
  if (err) return err;
  efe->link_cnt = 2;
  const uint64_t stream_len = node->parity_node->udf_data ? node->parity_node->udf_data->efe.inf_len : 0;
  efe->object_size = efe->inf_len + stream_len;
  return 0;
}

// The entry built in `block` (attributes, descriptors, identifier, stream),
// sealed and written.
int build_and_write_entry(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, uint8_t* block, vfs_context_t ctx) {
  extended_file_entry* efe = w->efe;
  const uint16_t ad = choose_ad(w);
  const uint32_t ad_size = ad == UDF_AD_LONG ? sizeof(long_ad) : sizeof(short_ad);
  uint32_t l_ea = 0;
  if (const int err = place_extended_attributes(mnt, w, block, &l_ea)) return err;
  efe->l_ea = l_ea;
  const uint32_t room = mnt->logical_block_size - kEfeSize - l_ea;
  uint32_t aed_lbn = MDCUDFSR_INVALID_LBN;
  if (const int err = write_overflow_extents(mnt, w, ad, room / ad_size, ctx, &aed_lbn)) return err;
  uint32_t l_ad = 0;
  if (const int err = place_descriptors(mnt, w, ad, block + kEfeSize + l_ea, room, aed_lbn, &l_ad)) return err;
  efe->l_ad = l_ad;
  efe->icbtag.flags = static_cast<uint16_t>((efe->icbtag.flags & ~7u) | ad);
  stamp_implementation(mnt, efe);
  if (const int err = flush_owned_stream(mnt, w, ctx)) return err;
  seal(mnt, block, *efe, w->efe_loc, w->perm_word);
  return write_entry_block(mnt, w, block, ctx);
}

}  // namespace

int mdcudfsr_flush_extended_file_entry(mdcudfsr_mount* mnt, const mdcudfsr_efe_write* w, vfs_context_t ctx) {
  UDF_TRACE_ENTRY();
  prepare_metadata_image(mnt, w, ctx);
  uint8_t* block = zalloc(mnt->logical_block_size);
  if (!block) {
    UDF_LOG(ERR, "%s\n", "buf");
    return KEL_ENOMEM;
  }
  const int err = build_and_write_entry(mnt, w, block, ctx);
  zfree(block);
  UDF_TRACE_EXIT_ERR(err);
  return err;
}
