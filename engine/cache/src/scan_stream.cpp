// A file's stream directory read at mount: its parity stream becomes a
// hidden node linked with the file; and the parity-overlap check.
#include "cache_internal.h"
#include "cache_neighbours.h"
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_tag.h"

#include <cstring>

using namespace kelcache;

namespace {

constexpr uint32_t kParityNameMax = 1023;

struct Area {
  uint8_t* bytes = nullptr;
  uint32_t len = 0;
  uint32_t alloc = 0;
};

// The stream directory's entry block, checked; 0 or the error.
int read_stream_entry(mdcudfsr_mount* m, uint64_t size, uint32_t std_loc, int alt, extended_file_entry* efe,
                      uint8_t* block) {
  const uint32_t bs = m->logical_block_size;
  if (size < uint64_t(std_loc) * bs + m->logical_sector_size) {
    CACHE_LOGK(ERR, "FE location over metadata buff range. FE_LBN = %d, offset=%d, size=%d\n", std_loc,
               static_cast<int>(uint64_t(std_loc) * bs), static_cast<int>(size));
    return KEL_EINVAL;
  }
  uint32_t cache_err = 0;
  int err = scan_read(m, alt, uint64_t(std_loc) * bs, bs, block, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Read Stream Directory EFE data failed from Fs Local Cache. err = %d cache_err = %d\n", err,
              cache_err);
    return err ? err : KEL_EBADF;
  }
  check_efe_clear(m, std_loc, 1);
  err = mdcudfsr_read_extended_file_entry(m, block, bs, 0, efe, nullptr, nullptr, 0);
  if (err && err != KEL_EROFS) {
    CACHE_LOG(ERR, "mdcudfsr_read_extended_file_entry err. err:%d offset:%d\n", err, std_loc);
    return err;
  }
  if (efe->icbtag.file_type != UDF_FILE_TYPE_STREAMDIR) {
    CACHE_LOG(ERR, "Stream Directory Invalid FILE TYPE file_type:%d\n", efe->icbtag.file_type);
    set_damaged(m, nullptr);
    return -1;
  }
  return 0;
}

// The FID area when the FIDs lie inside the entry: the block becomes the area.
int area_in_entry(mdcudfsr_mount* m, const extended_file_entry& efe, uint8_t* block, Area* a) {
  const uint32_t bs = m->logical_block_size;
  const uint32_t start = sizeof(extended_file_entry) + efe.l_ea;
  if (start > bs || efe.l_ad > bs - start) {
    set_damaged(m, nullptr);
    return KEL_EINVAL;
  }
  std::memmove(block, block + start, efe.l_ad);
  a->bytes = block;
  a->alloc = bs;
  a->len = efe.l_ad;
  return 0;
}

// The FID area when the FIDs lie in the extent of the first descriptor, which must lie
// within the metadata image.
int area_in_extent(mdcudfsr_mount* m, uint64_t size, int alt, const extended_file_entry& efe, const uint8_t* block,
                   Area* a) {
  const uint32_t bs = m->logical_block_size;
  const uint8_t* ad = block + sizeof(extended_file_entry) + efe.l_ea;
  uint32_t len = 0, pos = 0;
  std::memcpy(&len, ad, 4);
  std::memcpy(&pos, ad + 4, 4);  // short and long descriptors alike: the block follows the length
  len = EXTENT_LENGTH(len);
  const uint64_t blocks = (uint64_t(len) + bs - 1) / bs;
  if (len == 0 || sizeof(extended_file_entry) + efe.l_ea + 8 > bs || size < (uint64_t(pos) + blocks) * bs) {
    CACHE_LOG(ERR, "Stream Directory extent out of range. lbn=%u len=%u\n", pos, len);
    set_damaged(m, nullptr);
    return KEL_EINVAL;
  }
  a->alloc = static_cast<uint32_t>(blocks * bs);
  if (!(a->bytes = static_cast<uint8_t*>(cache_alloc(a->alloc)))) {
    CACHE_LOG(ERR, "failed to allocate memory for Stream Directory FID buffer\n");
    return KEL_ENOMEM;
  }
  a->len = len;
  uint32_t cache_err = 0;
  const int err = scan_read(m, alt, uint64_t(pos) * bs, a->alloc, a->bytes, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Read Stream Directory FID data failed from Fs Local Cache. err = %d cache_err = %d\n", err,
              cache_err);
    return err ? err : KEL_EBADF;
  }
  check_efe_clear(m, pos, static_cast<uint32_t>(blocks));
  return 0;
}

// The stream directory's entry and its FID area. 0 or the error.
int read_area(mdcudfsr_mount* m, uint64_t size, uint32_t std_loc, int alt, extended_file_entry* efe, Area* a) {
  const uint32_t bs = m->logical_block_size;
  uint8_t* block = static_cast<uint8_t*>(cache_alloc(bs));
  if (!block) {
    CACHE_LOG(ERR, "failed to allocate memory for Stream Directory EFE buffer\n");
    return KEL_ENOMEM;
  }
  int err = read_stream_entry(m, size, std_loc, alt, efe, block);
  const uint16_t type = efe->icbtag.flags & 7;
  if (!err && type == UDF_AD_IN_ICB) {
    err = area_in_entry(m, *efe, block, a);
    if (!err) block = nullptr;  // the area owns it now
  } else if (!err && type <= UDF_AD_LONG) {
    err = area_in_extent(m, size, alt, *efe, block, a);
  } else if (!err) {
    CACHE_LOG(ERR, "Stream Directory Invalid FILE TYPE file_type:%d\n", 13);
    err = -1;
  }
  if (block) cache_free(block, bs);
  CACHE_LOG(INFO, "Stream Directory FID size :%d\n", a->len);
  return err;
}

// The stream node of one FID. 0 goes on, 1 ends the walk
// without error, else the error.
int take_stream(mdcudfsr_mount* m, uint64_t size, mdcudfsr_cache_node* dir, mdcudfsr_cache_node* file,
                const fileid_desc* f, vfs_context_t ctx, int alt, bool* ro) {
  char* sname = nullptr;
  uint8_t* raw = nullptr;
  uint64_t raw_len = 0;
  int err = mdcudfsr_cache_get_udf_filename_ex(f, &sname, &raw, &raw_len);
  if (err == KEL_EROFS) *ro = true;
  else if (err) return err;
  cache_free(raw, f->l_fi ? f->l_fi : 1);
  if (!sname || !sname[0]) {
    CACHE_LOG(WARN, "new_vfs_name is invalid. do Read Only.\n");
    set_wrprot(m, ctx);
    m->mntinfo.MountStatus = 0x80000100;
    cache_free(sname, MDCUDFSR_VFS_NAME_SIZE);
    return 0;
  }
  std::string full = std::string(name_of(file)) + "#" + sname;
  cache_free(sname, MDCUDFSR_VFS_NAME_SIZE);
  if (full.size() > kParityNameMax) full.resize(kParityNameMax);
  CACHE_LOG(INFO, "parity name:%s\n", full.c_str());
  mdcudfsr_cache_node* p = mdcudfsr_cache_alloc_node(m, dir, full.data(), 0, f->file_char, 0, MDCUDFSR_NODE_UDF);
  if (!p) return KEL_ENOMEM;
  p->stream_owner = file;
  file->parity_node = p;
  auto drop = [&] {
    file->parity_node = nullptr;
    mdcudfsr_cache_free_node(p);
  };
  p->udf_data->fid_imp_use.l_iu = f->l_iu;
  if (f->l_iu) {
    if (!(p->udf_data->fid_imp_use.imp_use = static_cast<uint8_t*>(cache_alloc(f->l_iu)))) {
      p->udf_data->fid_imp_use.l_iu = 0;
      drop();
      return KEL_ENOMEM;
    }
    std::memcpy(p->udf_data->fid_imp_use.imp_use, reinterpret_cast<const uint8_t*>(f) + sizeof(fileid_desc), f->l_iu);
  }
  int has_stream = 0;
  err = mdcudfsr_cache_init_node(m, size, p, f->icb.loc.lb_num, ctx, &has_stream, alt);
  if (err == KEL_EROFS) {
    *ro = true;
  } else if (err) {
    CACHE_LOG(ERR, "node cache init error\n");
    drop();
    return err;
  }
  if (!(p->udf_data->efe.icbtag.flags & UDF_ICB_FLAG_STREAM)) {
    CACHE_LOG(ERR, "Named Stream Invalid flags %d\n", p->udf_data->efe.icbtag.flags);
    set_damaged(m, ctx);
    drop();
    return 1;
  }
  if (mdcudfsr_is_dir(p) || mdcudfsr_node_file_type(p) == UDF_FILE_TYPE_DIRECTORY) {
    CACHE_LOG(ERR, "node cache init error\n");
    drop();
    return 1;
  }
  mdcudfsr_mdcfsctrl_set_file_visibility(p, 0);
  p->file_flags |= MDCUDFSR_FILE_FLAG_HIDDEN;
  err = mdcudfsr_cache_add_child(dir, p, 0, 1);
  if (err == KEL_EEXIST && *ro) {
    // The name is taken; outside the indexes the node would never be released.
    drop();
    return 0;
  }
  if (err) {
    drop();
    CACHE_LOG(ERR, "File name is duplicated in a direcotry.\n");
    mdcudfsr_set_mntinfo_state(m, 2, 0x80000030, 0x80000);
    return KEL_EINVAL;
  }
  CACHE_LOG(INFO, "parity cache node success:%s\n", name_of(p));
  return 0;
}

// One FID: its place in the area and its checks. The descriptor
// must lie wholly within the area and be sound before it is used.
bool fid_sound(const Area& a, uint32_t off, uint32_t* size) {
  if (a.len - off < sizeof(fileid_desc)) return false;
  fileid_desc f;
  std::memcpy(&f, a.bytes + off, sizeof f);
  *size = (sizeof(fileid_desc) + f.l_iu + f.l_fi + 3u) & ~3u;
  if (f.tag.id != 257 || *size > a.len - off) return false;
  return mdcudfsr_check_udf_tag_crc(a.bytes + off, *size) && mdcudfsr_check_udf_tag_checksum(a.bytes + off);
}

}  // namespace

int mdcudfsr_cache_analize_stream_directory(mdcudfsr_mount* m, uint64_t size, mdcudfsr_cache_node* dir,
                                            mdcudfsr_cache_node* file, uint32_t std_loc, vfs_context_t ctx, int alt) {
  extended_file_entry efe{};
  Area a;
  int err = read_area(m, size, std_loc, alt, &efe, &a);
  bool ro = false;
  uint8_t fid[MDCUDFSR_FID_BUF_SIZE];
  for (uint32_t off = 0, n = 0; !err && off < a.len; off += n) {
    if (!fid_sound(a, off, &n)) {
      CACHE_LOG(ERR, "Stream Directory FID is invalid. offset=%u\n", off);
      set_damaged(m, ctx);
      break;
    }
    std::memcpy(fid, a.bytes + off, n);
    auto* f = reinterpret_cast<fileid_desc*>(fid);
    mdcudfsr_swap_le2host_fileid_desc(f);
    if (f->file_char & 0x10) {
      CACHE_LOG(ERR, "[%s]fidp->file_char indicates Stream metadata, mount RO\n", name_of(file));
      set_invalid(m);
      err = KEL_EINVAL;
      break;
    }
    if (f->file_char & 0x0C) continue;
    const uint8_t cid = f->l_fi ? fid[sizeof(fileid_desc) + f->l_iu] : 0;
    if (cid != 8 && cid != 16) {
      set_invalid(m);
      err = KEL_EINVAL;
      break;
    }
    const int r = take_stream(m, size, dir, file, f, ctx, alt, &ro);
    if (r == 1) break;
    err = r;
  }
  if (a.bytes) cache_free(a.bytes, a.alloc);
  file->udf_data->std_loc = std_loc;
  CACHE_LOG(INFO, "[%s] efe_loc %d std_loc %d \n", name_of(file), file->udf_data->efe_loc, std_loc);
  return err ? err : ro ? KEL_EROFS : 0;
}

// ---------------------------------------------------------------- parity overlap

namespace {

uint32_t blocks32(const mdcudfsr_extent_entry* e, uint32_t bs) {
  const uint32_t b = (EXTENT_LENGTH(e->extent.len) + bs - 1) / bs;
  return (b + 31) / 32 * 32;
}

}  // namespace

void mdcudfsr_check_pxo4666(mdcudfsr_mount* m, mdcudfsr_cache_node* file) {
  auto* parity = mdcudfsr_cnp(file->parity_node);
  const uint32_t bs = m->logical_block_size;
  const uint32_t np = mdcudfsr_cache_count_extents(parity), nd = mdcudfsr_cache_count_extents(file);
  if (np <= 1 || nd < np) return;
  CACHE_LOG(INFO, "check PXO4666 %s\n", name_of(file));
  const mdcudfsr_extent_entry* lp = parity->udf_data->extents.last;
  const mdcudfsr_extent_entry* lop = lp->prev;
  const mdcudfsr_extent_entry* ld = file->udf_data->extents.last;
  for (auto [what, e] : {std::pair{"lastOneParity", lop}, {"lastParity", lp}, {"lastData", ld}})
    CACHE_LOG(INFO, "%s AD %d disc %d start %d len %d\n", what, EXTENT_FLAGS(e->extent.len), e->extent.loc.part_num,
              e->extent.loc.lb_num, blocks32(e, bs));
  const uint32_t r = blocks32(lop, bs);
  const uint64_t lop_start = lop->extent.loc.lb_num, ld_start = ld->extent.loc.lb_num;
  if (EXTENT_FLAGS(lop->extent.len) != 0 || r < 513 || r > 768 || EXTENT_FLAGS(ld->extent.len) != 0 ||
      ld->extent.loc.part_num != lop->extent.loc.part_num || blocks32(ld, bs) != 15872 || lop_start > ld_start ||
      r + lop_start >= ld_start + 15872)
    return;
  const uint64_t o = lop_start + r - ld_start;
  CACHE_LOG(INFO, "OLS_length %d\n", static_cast<int>(o));
  if (lp->extent.loc.part_num != ld->extent.loc.part_num || lp->extent.loc.lb_num != 15872 + ld_start + o ||
      blocks32(lp, bs) + o != 512)
    return;
  CACHE_LOG(ERR, "find PXO4666\n");
  const int64_t offset = mdcudfsr_cache_extent_offset(file, ld);
  CACHE_LOG(ERR, "%s: offset %lld overlap %d sector\n", name_of(file), static_cast<long long>(offset),
            static_cast<int>(o));
  const uint64_t uid = mdcudfsr_node_unique_id(file);
  if (uid > m->max_overlap_unique_id) m->max_overlap_unique_id = uid;
  file->recover_start_blk = offset < 0 ? 0 : static_cast<uint32_t>(offset / bs);
  file->recover_blk_count = static_cast<uint32_t>(o);
  CACHE_LOG(ERR, "%s: recoverStartBlk %lld recoverBlkCount %d\n", name_of(file),
            static_cast<long long>(file->recover_start_blk), file->recover_blk_count);
}
