// The merge of salvaged files: the entries of the EFE cache file are
// checked, and the file each describes (with its parity stream) is linked
// back into the tree under the directory and name it had; the entries taken
// form the mount's salvage list.
#include "cache_internal.h"
#include "cache_neighbours.h"
#include "kelcache/cache_salvage.h"
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "kelagent/metacache.h"
#include "udf/udf_byte_order.h"
#include "udf/udf_efe.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <vector>

using namespace kelcache;

namespace {

constexpr uint32_t kHeader = sizeof(mdcudfsr_efe_cache_header);
constexpr uint32_t kInfo = sizeof(mdcudfsr_salvage_file_info);
constexpr uint64_t kFirstId = 2, kLastId = 0x7FFFFFFFFFFFFFFEull;

struct Merge {
  mdcudfsr_mount* m;
  vfs_context_t ctx;
  uint32_t b = 0;
  std::vector<uint8_t> data{};  // the entries
  uint8_t* list = nullptr;
  uint32_t list_size = 0;
  uint32_t count = 0, length = sizeof(mdcudfsr_salvage_list_header);
};

// One entry of the data part: its header and blocks.
struct Entry {
  mdcudfsr_salvage_file_info info{};
  const uint8_t* blocks = nullptr;
  uint32_t length = 0;
  const uint8_t* block(uint32_t i, uint32_t b) const { return blocks + uint64_t{i} * b; }
};

uint64_t entry_uid(const uint8_t* block) {
  extended_file_entry e{};
  std::memcpy(&e, block, sizeof e);
  mdcudfsr_swap_le2host_extended_file_entry(&e);
  return e.unique_id;
}

// The entry's checks: every block carries the tag it must, the file
// identifier lies wholly in block 1, and the file's id is one a node may have.
int check_entry(const Merge& g, const Entry& e) {
  const uint32_t b = g.b;
  const uint32_t off = e.info.fid_offset;
  if (off + sizeof(fileid_desc) > b) return KEL_EINVAL;
  const uint8_t* f = e.block(1, b) + off;
  const uint32_t fid_len = (38u + (f[36] | f[37] << 8) + f[19] + 3) & ~3u;
  if (off + fid_len > b) return KEL_EINVAL;
  int err = mdcudfsr_check_udf_tag_and_checksum(g.m, e.block(0, b), 266, b);
  if (!err) err = mdcudfsr_check_udf_tag_and_checksum(g.m, f, 257, b - off);
  if (!err) err = mdcudfsr_check_udf_tag_and_checksum(g.m, e.block(2, b), 266, b);
  for (uint32_t i = 0; !err && i < e.info.aed_count; ++i)
    err = mdcudfsr_check_udf_tag_and_checksum(g.m, e.block(3 + i, b), 258, b);
  if (!err && e.info.has_stream) {
    const uint32_t s = 3 + e.info.aed_count;
    err = mdcudfsr_check_udf_tag_and_checksum(g.m, e.block(s, b), 266, b);
    if (!err) err = mdcudfsr_check_udf_tag_and_checksum(g.m, e.block(s + 1, b), 266, b);
    for (uint32_t i = 0; !err && i < e.info.stream_aed_count; ++i)
      err = mdcudfsr_check_udf_tag_and_checksum(g.m, e.block(s + 2 + i, b), 258, b);
  }
  const uint64_t uid = entry_uid(e.block(2, b));
  if (!err && (uid < kFirstId || uid > kLastId)) err = KEL_EINVAL;
  return err;
}

mdcudfsr_cache_node* find_by_uid(mdcudfsr_mount* m, uint64_t uid) {
  mdcudfsr_cache_node* root = m->root_node;
  for (mdcudfsr_cache_node* n = root; n; n = mdcudfsr_cache_get_next_node(m, n, root, 1))
    if (n->udf_data && mdcudfsr_node_unique_id(n) == uid) return n;
  return nullptr;
}

// Reads the allocation extent descriptors of `count` blocks from `first`
// into the node's list, recording them.
int read_aeds(Merge& g, mdcudfsr_cache_node* n, const uint8_t* first, uint32_t count) {
  mdcudfsr_udf_data* d = n->udf_data;
  for (uint32_t i = 0; i < count && d->extents.last && EXTENT_FLAGS(d->extents.last->extent.len) == 3; ++i) {
    if (!d->aed_info && !(d->aed_info = mdcudfsr_aed_info_alloc())) {
      CACHE_LOG(ERR, "%s\n", "child_node->udf_data->aed_info");
      return KEL_ENOMEM;
    }
    mdcudfsr_aed_info* grown = mdcudfsr_aed_info_add(d->aed_info, d->extents.last->extent.loc.lb_num);
    if (!grown) {
      CACHE_LOG(ERR, "%s\n", "mdcudfsraip");
      return KEL_ENOMEM;
    }
    d->aed_info = grown;
    uint32_t type2 = 0;
    const int err = mdcudfsr_read_allocation_extent_descriptor_for_salvage(
        first + uint64_t{i} * g.b, g.b, g.m->logical_sector_size, 0, d->efe.icbtag.flags & 7, &d->extents, &type2);
    if (type2) CACHE_LOG(INFO, "EFE contains type2 extent(s) - ignored for disk recovery\n");
    if (err && err != KEL_EROFS) {
      CACHE_LOGK(ERR, "err=%d\n", err);
      return err;
    }
  }
  return 0;
}

// Copies the entry into the list behind the entries already there.
void take(Merge& g, const Entry& e, const uint8_t* header) {
  if (g.length + e.length > g.list_size) return;
  std::memcpy(g.list + g.length, header, kInfo);
  std::memcpy(g.list + g.length + kInfo, e.blocks, e.length - kInfo);
  ++g.count;
  g.length += e.length;
}

// The parity stream of a merged file. Only this parity node is
// dropped when its stream is unusable; the file stays merged.
int merge_stream(Merge& g, mdcudfsr_cache_node* parent, mdcudfsr_cache_node* file, const Entry& e) {
  const uint32_t b = g.b, s = 3 + e.info.aed_count;
  extended_file_entry sd{};
  mdcudfsr_read_extended_file_entry_for_salvage(e.block(s, b), b, 0, &sd, nullptr, nullptr, 1);
  if ((sd.icbtag.flags & 7) != UDF_AD_IN_ICB || uint64_t{216} + sd.l_ea + sd.l_ad > b) {
    CACHE_LOG(ERR, "streamDir not inner FID err:%d\n", 22);
    return KEL_EINVAL;
  }
  const uint8_t* data = e.block(s, b) + 216 + sd.l_ea;
  for (uint32_t p = 0; p + sizeof(fileid_desc) <= sd.l_ad;) {
    const uint8_t* f = data + p;
    const uint32_t len = (38u + (f[36] | f[37] << 8) + f[19] + 3) & ~3u;
    if (p + len > sd.l_ad) return KEL_EINVAL;
    p += len;
    if (f[18] & 0x0C) continue;
    fileid_desc host{};
    std::memcpy(&host, f, sizeof host);
    mdcudfsr_swap_le2host_fileid_desc(&host);
    std::vector<uint8_t> fid(f, f + len);
    std::memcpy(fid.data(), &host, sizeof host);
    char* stream = nullptr;
    uint8_t* raw = nullptr;
    uint64_t raw_len = 0;
    int err = mdcudfsr_cache_get_udf_filename_ex(reinterpret_cast<const fileid_desc*>(fid.data()), &stream, &raw,
                                                 &raw_len);
    if (err && err != KEL_EROFS) return err;
    cache_free(raw, f[19] ? f[19] : 1);
    char pname[1024];
    std::snprintf(pname, sizeof pname, "%s#%s", name_of(file), stream ? stream : "");
    cache_free(stream, MDCUDFSR_VFS_NAME_SIZE);
    CACHE_LOG(INFO, "parity name:%s\n", pname);
    mdcudfsr_cache_node* pn = mdcudfsr_cache_alloc_node(g.m, parent, pname, 0, 0, 0, MDCUDFSR_NODE_UDF);
    if (!pn) return KEL_ENOMEM;
    pn->stream_owner = file;
    file->parity_node = pn;
    const uint8_t* sf = e.block(s + 1, b);
    err = mdcudfsr_cache_init_node_for_salvage(g.m, pn, host.icb.loc.lb_num, g.ctx, sf);
    if (!err) err = read_aeds(g, pn, e.block(s + 2, b), e.info.stream_aed_count);
    const bool stream_bit = pn->udf_data->efe.icbtag.flags & UDF_ICB_FLAG_STREAM;
    if (!err && !stream_bit) CACHE_LOG(ERR, "Named Stream Invalid flags %d\n", pn->udf_data->efe.icbtag.flags);
    if (!err && mdcudfsr_node_file_type(pn) == UDF_FILE_TYPE_DIRECTORY) CACHE_LOG(ERR, "node cache init error\n");
    if (err || !stream_bit || mdcudfsr_node_file_type(pn) == UDF_FILE_TYPE_DIRECTORY) {
      file->parity_node = nullptr;
      pn->stream_owner = nullptr;
      mdcudfsr_cache_free_node(pn);
      return err == KEL_ENOMEM ? KEL_ENOMEM : 0;
    }
    mdcudfsr_mdcfsctrl_set_file_visibility(pn, 0);
    pn->file_flags |= MDCUDFSR_FILE_FLAG_HIDDEN;
    if ((err = mdcudfsr_cache_add_child(parent, pn, 0, 1)) != 0) {
      file->parity_node = nullptr;
      pn->stream_owner = nullptr;
      mdcudfsr_cache_free_node(pn);
      CACHE_LOG(ERR, "File name is duplicated in a direcotry.\n");
      return KEL_EINVAL;
    }
    CACHE_LOG(INFO, "parity cache node success:%s\n", pname);
    return 0;
  }
  return 0;
}

// The file's node (and its parity stream) under its parent. 0, or the error that ends the merge.
int link_file(Merge& g, mdcudfsr_cache_node* parent, const Entry& e, const fileid_desc& fid, char* name, uint8_t* raw,
              uint64_t raw_len) {
  mdcudfsr_cache_node* n = mdcudfsr_cache_alloc_node(g.m, parent, name, 0, fid.file_char, 0, MDCUDFSR_NODE_UDF);
  if (!n) {
    cache_free(raw, static_cast<uint32_t>(raw_len ? raw_len : 1));
    return 0;
  }
  n->udf_data->udf_name = raw;
  n->udf_data->udf_name_len = raw_len;
  if (fid.l_iu) {
    const uint8_t* iu = e.block(1, g.b) + e.info.fid_offset + sizeof(fileid_desc);
    if (!(n->udf_data->fid_imp_use.imp_use = static_cast<uint8_t*>(cache_alloc(fid.l_iu)))) {
      CACHE_LOGK(ERR, "failed to allocate fid_imp_use.imp_use.l_iu=%d\n", fid.l_iu);
      mdcudfsr_cache_free_node(n);
      return KEL_ENOMEM;
    }
    n->udf_data->fid_imp_use.l_iu = fid.l_iu;
    std::memcpy(n->udf_data->fid_imp_use.imp_use, iu, fid.l_iu);
  }
  int err = mdcudfsr_cache_init_node_for_salvage(g.m, n, fid.icb.loc.lb_num, g.ctx, e.block(2, g.b));
  if (err) CACHE_LOG(ERR, "node cache init error\n");
  if (!err) err = read_aeds(g, n, e.block(3, g.b), e.info.aed_count);
  if (err) {
    mdcudfsr_cache_free_node(n);
    return err;
  }
  if (!mdcudfsr_is_dir(n)) scan_take_discs(g.m, n);
  if (mdcudfsr_cache_add_child(parent, n, 1, 1) != 0) {
    mdcudfsr_cache_free_node(n);
    CACHE_LOG(ERR, "File name is duplicated in a direcotry.\n");
    return KEL_EINVAL;
  }
  if (const int lerr = mdcudfsr_insert_list_by_unique_id(parent, n)) CACHE_LOG(ERR, "filed insert unique id list err:%d\n", lerr);
  n->uid_key = mdcudfsr_node_unique_id(n);
  parent->uid_root = mdcudfsr_avl_insert(parent, parent->uid_root, n, n->uid_key, 1);
  return e.info.has_stream ? merge_stream(g, parent, n, e) : 0;
}

// Merges one entry of the data part; 0 also when the entry is skipped.
int merge_entry(Merge& g, uint32_t index, const Entry& e, uint8_t* header) {
  int err = check_entry(g, e);
  if (err) {
    CACHE_LOGK(WARN, "SalvageFileInfo[%d] is Invalid. err=%d\n", static_cast<int>(index), err);
    return 0;
  }
  mdcudfsr_cache_node* parent = find_by_uid(g.m, entry_uid(e.block(0, g.b)));
  if (!parent || !mdcudfsr_is_dir(parent)) {
    CACHE_LOG(WARN, "parentDir is not exist.\n");
    return 0;
  }
  const uint8_t* f = e.block(1, g.b) + e.info.fid_offset;
  const uint32_t fid_len = (38u + (f[36] | f[37] << 8) + f[19] + 3) & ~3u;
  std::vector<uint8_t> fid(f, f + fid_len);
  fileid_desc host{};
  std::memcpy(&host, f, sizeof host);
  mdcudfsr_swap_le2host_fileid_desc(&host);
  std::memcpy(fid.data(), &host, sizeof host);
  char* name = nullptr;
  uint8_t* raw = nullptr;
  uint64_t raw_len = 0;
  err = mdcudfsr_cache_get_udf_filename_ex(reinterpret_cast<const fileid_desc*>(fid.data()), &name, &raw, &raw_len);
  if (err && err != KEL_EROFS) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  const bool dots = !name || !name[0] || (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2])));
  int result = 0;
  if (dots) {
    CACHE_LOG(WARN, "new_vfs_name is invalid. do Read Only.\n");
    set_wrprot(g.m, g.ctx);
    g.m->mntinfo.MountStatus = 0x80000100;
    header[15] = 1;
    cache_free(raw, static_cast<uint32_t>(raw_len ? raw_len : 1));
  } else if (!mdcudfsr_cache_unique_filename(&parent->name_root, name)) {
    cache_free(raw, static_cast<uint32_t>(raw_len ? raw_len : 1));
    cache_free(name, MDCUDFSR_VFS_NAME_SIZE);
    return 0;
  } else if (find_by_uid(g.m, entry_uid(e.block(2, g.b)))) {
    CACHE_LOG(WARN, "taget uniqueID is already exist.\n");
    cache_free(raw, static_cast<uint32_t>(raw_len ? raw_len : 1));
    cache_free(name, MDCUDFSR_VFS_NAME_SIZE);
    return 0;
  } else if ((result = link_file(g, parent, e, host, name, raw, raw_len)) != 0) {
    cache_free(name, MDCUDFSR_VFS_NAME_SIZE);
    return result;
  }
  cache_free(name, MDCUDFSR_VFS_NAME_SIZE);
  take(g, e, header);
  return 0;
}

// Merges every entry of the data part, then writes the list's header.
int merge_all(Merge& g, uint32_t count) {
  uint64_t off = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (off + kInfo > g.data.size()) {
      CACHE_LOG(WARN, "EFECacheFile TotalLength may be an invalid value.\n");
      break;
    }
    uint8_t* header = g.data.data() + off;
    Entry e;
    std::memcpy(&e.info, header, kInfo);
    const uint64_t blocks = uint64_t{e.info.aed_count} + 3 + (e.info.has_stream ? 2u + e.info.stream_aed_count : 0u);
    const uint64_t len = kInfo + blocks * g.b;
    if (off + len > g.data.size()) {
      CACHE_LOG(WARN, "EFECacheFile TotalLength may be an invalid value.\n");
      break;
    }
    e.blocks = header + kInfo;
    e.length = static_cast<uint32_t>(len);
    if (const int err = merge_entry(g, i, e, header)) return err;
    off += len;
  }
  const mdcudfsr_salvage_list_header h{g.count, g.length};
  std::memcpy(g.list, &h, sizeof h);
  return 0;
}

// Opens and reads the file, its header and its data part; 0 with *handle -1
// when there is nothing to merge.
int open_and_read(Merge& g, int32_t* handle, mdcudfsr_efe_cache_header* h) {
  char name[MDCUDFSR_LOCAL_CACHE_NAME_SIZE] = {};
  mdcudfsr_cache_create_EFE_cache_name(g.m, name, sizeof name, g.ctx);
  uint32_t cache_err = 0, got = 0;
  *handle = -1;
  int err = mdcudfsr_metacache_efefile_open(g.m, name, 1, handle, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(WARN, "mdcudfsr_meta_cache_open error %d\n", err ? err : static_cast<int>(cache_err));
    if (*handle >= 0) mdcudfsr_metacache_file_close(g.m, *handle);
    *handle = -1;
    return 0;
  }
  err = mdcudfsr_metacache_file_read(g.m, *handle, 0, kHeader, h, &got, &cache_err);
  if (err || cache_err || got == 0) {
    if (got == 0 && !err && !cache_err) CACHE_LOG(WARN, "EFE Cache file is no data.\n");
    else CACHE_LOG(WARN, "Read EFE Cache. err = %d cache_err = %d\n", err, cache_err);
    mdcudfsr_metacache_file_close(g.m, *handle);
    *handle = -1;
    return 0;
  }
  if (got < kHeader || h->length < kHeader || h->length > 0x40000000u) return KEL_EINVAL;
  const uint32_t data_len = h->length - kHeader;
  g.data.assign(data_len, 0);
  g.list_size = data_len + static_cast<uint32_t>(sizeof(mdcudfsr_salvage_list_header));
  g.list = static_cast<uint8_t*>(cache_alloc(g.list_size));
  if (!g.list) {
    CACHE_LOG(ERR, "failed to allocate memory for salvage_file_info buffer\n");
    return KEL_ENOMEM;
  }
  std::memset(g.list, 0, g.list_size);
  if (data_len) {
    err = mdcudfsr_metacache_file_read(g.m, *handle, kHeader, data_len, g.data.data(), &got, &cache_err);
    if (err || cache_err || got != data_len) {
      CACHE_LOG(ERR, "Read EFE Cache. err = %d cache_err = %d\n", err, cache_err);
      return err ? err : KEL_EINVAL;
    }
  }
  if (mdcudfsr_crc32(g.data.data(), data_len) != h->crc) {
    CACHE_LOG(ERR, "crc32 is invalid\n");
    return KEL_EINVAL;
  }
  return 0;
}

}  // namespace

int mdcudfsr_cache_init_node_for_salvage(mdcudfsr_mount* m, mdcudfsr_cache_node* n, uint32_t icb_block,
                                         vfs_context_t, const uint8_t* entry) {
  mdcudfsr_udf_data* d = n->udf_data;
  n->kind = MDCUDFSR_NODE_UDF;
  n->status = MDCUDFSR_NODE_ACTIVE;
  n->cache_flags = 0;
  d->efe_loc = icb_block;
  d->ad_writable = 1;
  mdcudfsr_free_aed_info(d->aed_info);
  d->aed_info = nullptr;
  d->std_loc = d->replace_std_loc = MDCUDFSR_INVALID_LBN;
  mdcudfsr_extent_list_remove_all(&d->extents);
  uint32_t type2 = 0;
  const int err =
      mdcudfsr_read_extended_file_entry_for_salvage(entry, m->logical_sector_size, 0, &d->efe, &d->extents, &type2, 0);
  if (err && err != KEL_EROFS) {
    CACHE_LOG(ERR, "node cache init error\n");
    return err;
  }
  extended_file_entry& e = d->efe;
  if ((e.perm & 0x6B5A) != 0x6B5A) n->file_flags |= 0x0002;
  const uint8_t type = e.icbtag.file_type;
  if (type == 4 || type == 13) {
    e.perm |= 0x421;
  } else if ((type == 5 || type == 249) && (e.perm & 0x421) != 0x421) {
    e.perm &= ~0x421u;
    CACHE_LOG(INFO, "[%s]all execute permission is turned off \n", name_of(n));
  }
  n->recorded_length = e.inf_len;
  if (n == m->root_node) n->objid = MDCUDFSR_OBJID_ROOT;
  else if (n->stream_owner) n->objid = MDCUDFSR_OBJID_STREAM_BASE + m->stream_node_count++;
  else n->objid = e.unique_id;
  if (e.unique_id >= m->max_unique_id) m->max_unique_id = e.unique_id;
  return 0;
}

int mdcudfsr_unreferenced_file_determination(mdcudfsr_mount* m, vfs_context_t ctx) {
  if (!m || !m->root_node || !m->logical_block_size) return KEL_EINVAL;
  Merge g{.m = m, .ctx = ctx, .b = m->logical_block_size};
  int32_t handle = -1;
  mdcudfsr_efe_cache_header h{};
  int err = open_and_read(g, &handle, &h);
  if (!err && handle >= 0) err = merge_all(g, h.count);
  if (!err && handle >= 0) {
    // The list keeps exactly the entries taken.
    auto* list = static_cast<uint8_t*>(cache_alloc(g.length));
    if (!list) {
      CACHE_LOG(ERR, "failed to allocate memory for salvage_file_info buffer\n");
      err = KEL_ENOMEM;
    } else {
      std::memcpy(list, g.list, g.length);
      mdcudfsr_free_salvage_list(m);
      m->salvage_file_info_list = reinterpret_cast<mdcudfsr_salvage_file_info*>(list);
    }
  }
  if (g.list) cache_free(g.list, g.list_size);
  if (handle >= 0) mdcudfsr_metacache_file_close(m, handle);
  return err;
}
