// The search for the directory entry of an unreferenced file: a candidate
// entry of the metadata file, newer than every node of the tree, is looked
// for in the directories written on the disc between its data and the
// metadata file; a hit becomes the mount's one-entry salvage list.
#include "cache_internal.h"
#include "kelcache/cache_salvage.h"

#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "udf/udf_names.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_tag.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

using namespace kelcache;

namespace {

constexpr uint32_t kEfe = sizeof(extended_file_entry);
constexpr uint32_t kWindow = 0x10000;
constexpr uint32_t kKeepSlot = 0x99;

uint32_t le32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A descriptor at `f` with `room` bytes behind it: a valid file identifier
// descriptor lying wholly inside them; its length, or 0.
uint32_t fid_at(const mdcudfsr_mount* m, const uint8_t* f, uint32_t room) {
  if (room < sizeof(fileid_desc) || le16(f) != 257) return 0;
  const uint32_t len = (38u + le16(f + 36) + f[19] + 3) & ~3u;
  const uint32_t crc_len = le16(f + 10);
  if (len > room || 16u + crc_len > room) return 0;
  return mdcudfsr_check_udf_tag_and_checksum(m, f, 257, room) == 0 ? len : 0;
}

struct Hit {
  uint32_t block = 0;   // index in the window
  uint32_t offset = 0;  // of the descriptor in its block
  bool found = false;
};

// A search window's descriptors inside a directory's entry.
bool inner(const mdcudfsr_mount* m, const uint8_t* blk, uint32_t b, uint32_t uid, uint32_t i, Hit* hit) {
  const uint32_t l_ea = le32(blk + 208), l_ad = le32(blk + 212);
  if (uint64_t{kEfe} + l_ea + l_ad > b) return false;
  for (uint32_t p = kEfe + l_ea, end = kEfe + l_ea + l_ad; p < end;) {
    const uint32_t len = fid_at(m, blk + p, end - p);
    if (!len) return false;
    if (le32(blk + p + 32) == uid) {
      CACHE_LOG(INFO, "search inner FID is success. Fid:0x%x\n", uid);
      *hit = Hit{i, p, true};
      return true;
    }
    p += len;
  }
  return false;
}

// A search window's block following a directory's entry, at 4-byte steps.
bool outer(const mdcudfsr_mount* m, const uint8_t* blk, uint32_t b, uint32_t uid, uint32_t i, Hit* hit) {
  for (uint32_t p = 0; p + sizeof(fileid_desc) <= b;) {
    const uint32_t len = fid_at(m, blk + p, b - p);
    if (!len) {
      p += 4;
      continue;
    }
    if (le32(blk + p + 32) == uid) {
      CACHE_LOG(INFO, "search outer FID is success. Fid:0x%x\n", uid);
      *hit = Hit{i, p, true};
      return true;
    }
    p += len;
  }
  return false;
}

// One 64 KiB window: the blocks in order, with the directory mark.
bool scan_window(const mdcudfsr_mount* m, const uint8_t* w, uint32_t uid, uint8_t* dir_copy, Hit* hit) {
  const uint32_t b = m->logical_block_size;
  bool dir = false;
  for (uint32_t i = 0; i < kWindow / b; ++i) {
    const uint8_t* blk = w + uint64_t{i} * b;
    if (mdcudfsr_check_udf_tag_and_checksum(m, blk, 266, b) == 0) {
      const uint8_t type = blk[27];
      if (type == UDF_FILE_TYPE_DIRECTORY) {
        std::memcpy(dir_copy, blk, b);
        dir = true;
        if ((le16(blk + 34) & 7) == UDF_AD_IN_ICB && inner(m, blk, b, uid, i, hit)) return true;
        if ((le16(blk + 34) & 7) == UDF_AD_IN_ICB) dir = false;
      } else {
        dir = false;
      }
    } else if (dir && outer(m, blk, b, uid, i, hit)) {
      return true;
    }
  }
  return false;
}

// The sector after an extent's data.
uint32_t end_sector(const mdcudfsr_mount* m, const mdcudfsr_extent_entry* e) {
  if (!e) return 0;
  const uint32_t lsn = mdcudfsr_lbn2lsn(m, MDCUDFSR_PARTITION_PHYSICAL, e->extent.loc.lb_num, nullptr);
  if (lsn == MDCUDFSR_INVALID_LSN) return 0;
  const uint64_t b = m->logical_block_size;
  return lsn + static_cast<uint32_t>((EXTENT_LENGTH(e->extent.len) + b - 1) / b * b / m->logical_sector_size);
}

// A candidate without data: the search starts after the data of the node
// that follows, in tree order, the regular file with the highest unique id.
uint32_t start_without_data(mdcudfsr_mount* m) {
  mdcudfsr_cache_node* root = m->root_node;
  mdcudfsr_cache_node* best = nullptr;
  for (mdcudfsr_cache_node* n = root ? mdcudfsr_cache_get_next_node(m, root, root, 1) : nullptr; n;
       n = mdcudfsr_cache_get_next_node(m, n, root, 1)) {
    const uint8_t t = mdcudfsr_node_file_type(n);
    if ((t == UDF_FILE_TYPE_REGULAR || t == UDF_FILE_TYPE_249) &&
        (!best || mdcudfsr_node_unique_id(n) > mdcudfsr_node_unique_id(best)))
      best = n;
  }
  for (mdcudfsr_cache_node* n = best ? mdcudfsr_cache_get_next_node(m, best, root, 1) : nullptr; n;
       n = mdcudfsr_cache_get_next_node(m, n, root, 1))
    if (n->udf_data && n->udf_data->extents.last) return end_sector(m, n->udf_data->extents.last);
  return 0;
}

struct Candidate {
  std::vector<uint8_t> efe, sd, sf;
  extended_file_entry e{};
  mdcudfsr_extent_list list, sf_list;
  bool stream = false;
  ~Candidate() {
    mdcudfsr_extent_list_free(&list);
    mdcudfsr_extent_list_free(&sf_list);
  }
};

// The candidate must be an unreferenced file.
int take_candidate(mdcudfsr_mount* m, uint64_t size, uint32_t fe_block, vfs_context_t ctx, int source, Candidate& c) {
  const uint32_t b = m->logical_block_size;
  c.efe.assign(b, 0);
  int err = mdcudfsr_cache_read_efe_and_aed_for_salvage(m, size, c.efe.data(), &c.list, fe_block, ctx, source);
  if (err && err != KEL_EROFS) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  mdcudfsr_read_extended_file_entry_for_salvage(c.efe.data(), m->logical_sector_size, 0, &c.e, nullptr, nullptr, 0);
  if (c.e.icbtag.file_type != UDF_FILE_TYPE_249) {
    CACHE_LOG(WARN, "file type is not 249. type=%d\n", c.e.icbtag.file_type);
    return KEL_EBADF;
  }
  if (c.e.unique_id <= m->max_unique_id) return KEL_EBADF;
  const uint64_t ads = mdcudfsr_extent_list_get_selected_length(&c.list, 0);
  if (ads != c.e.inf_len) {
    CACHE_LOG(ERR, "ad_size NG. efe:%d ad:%d \n", static_cast<int>(c.e.inf_len), static_cast<int>(ads));
    return KEL_EBADF;
  }
  if (!c.e.stream_directory_icb.len) return 0;
  c.sd.assign(b, 0);
  c.sf.assign(b, 0);
  err = mdcudfsr_cache_analize_stream_directory_for_salvage(m, size, c.sd.data(), c.sf.data(), &c.sf_list,
                                                            c.e.stream_directory_icb.loc.lb_num, ctx, source);
  if (err && err != KEL_EROFS) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  extended_file_entry sd{};
  mdcudfsr_read_extended_file_entry_for_salvage(c.sd.data(), m->logical_sector_size, 0, &sd, nullptr, nullptr, 1);
  if (sd.unique_id != c.e.unique_id) {
    CACHE_LOG(ERR, "unique_id NG streamDir_uniqueID(%d), efe_uniqueID(%d) \n", static_cast<int>(sd.unique_id),
              static_cast<int>(c.e.unique_id));
    return KEL_EBADF;
  }
  c.stream = true;
  return 0;
}

// The search's lower bound, stored through *h: the 32-bit little-endian
// value at byte 292 of the metadata file's entry block, a sector number; the
// search starts no earlier than 32 sectors past it.
int read_h(mdcudfsr_mount* m, vfs_context_t ctx, uint32_t* h) {
  uint8_t* cluster = nullptr;
  uint32_t offset = 0;
  const int err = mdcudfsr_read_cluster_with_lbn(m, ctx, &cluster, {m->metadata_file_loc, MDCUDFSR_PARTITION_PHYSICAL},
                                                 0, nullptr, 0, &offset);
  if (err) {
    CACHE_LOG(ERR, "err=%d\n", err);
    return err;
  }
  const uint32_t b = m->logical_block_size;
  if (!cluster || offset > kWindow - b) {
    CACHE_LOG(WARN, "Failed to read EFE.\n");
    return KEL_EBADF;
  }
  const uint8_t* blk = cluster + offset;
  const int bad = mdcudfsr_check_udf_tag_and_checksum(m, blk, 266, b);
  if (bad) {
    CACHE_LOG(ERR, "err=%d\n", bad);
    return bad;
  }
  *h = le32(blk + 292);
  return 0;
}

// Searches the windows from sector *s (advanced as it goes) up to sector u,
// where the metadata file's last extent starts, for a descriptor naming the
// candidate.
int search(mdcudfsr_mount* m, vfs_context_t ctx, uint32_t uid, uint32_t* s, uint32_t u, std::vector<uint8_t>& dir_copy,
           std::vector<uint8_t>& hit_copy, Hit* hit) {
  const uint32_t b = m->logical_block_size, step = kWindow / m->logical_sector_size;
  for (; *s < u; *s += step) {
    buf_t bp = nullptr;
    int rerr = 0;
    {
      std::lock_guard<std::mutex> lk(m->slot_mutex);
      const int err = mdcudfsr_disc_change(m, kKeepSlot, 0, ctx, 0);
      if (err) {
        CACHE_LOG(ERR, "Failed to load last written slot with status %d. \n", err);
        return err;
      }
      rerr = buf_meta_bread(m->devvp, *s, kWindow, nullptr, &bp);
    }
    if (rerr || !bp) {
      if (bp) buf_brelse(bp);
      continue;
    }
    const auto* w = reinterpret_cast<const uint8_t*>(buf_dataptr(bp));
    const bool found = scan_window(m, w, uid, dir_copy.data(), hit);
    if (found) std::memcpy(hit_copy.data(), w + uint64_t{hit->block} * b, b);
    buf_brelse(bp);
    if (found) return 0;
  }
  CACHE_LOG(INFO, "Failed search FID\n");
  CACHE_LOG(ERR, "err=%d\n", 22);
  return KEL_EINVAL;
}

uint32_t zone_address(const mdcudfsr_mount* m) {
  return (m->loaded_slot << 26) | (((m->metadata_file_loc + 4096u) >> 5) & 0x3FFFFFFu);
}

// The one-entry list of the candidate found.
int build_list(mdcudfsr_mount* m, const Candidate& c, uint32_t fe_block, uint32_t s, uint32_t u, const Hit& hit,
               const std::vector<uint8_t>& dir_copy, const std::vector<uint8_t>& hit_copy) {
  const uint32_t b = m->logical_block_size;
  const uint32_t blocks = c.stream ? 5 : 3;
  const uint32_t length = sizeof(mdcudfsr_salvage_list_header) + sizeof(mdcudfsr_salvage_file_info) + blocks * b;
  auto* list = static_cast<uint8_t*>(cache_alloc(length));
  if (!list) {
    CACHE_LOG(ERR, "failed to allocate memory for salvage_file_info buffer\n");
    return KEL_ENOMEM;
  }
  std::memset(list, 0, length);
  const mdcudfsr_salvage_list_header h{1, length};
  std::memcpy(list, &h, sizeof h);
  mdcudfsr_salvage_file_info info{};
  info.zone_address = zone_address(m);
  info.window_sector = s;
  info.fid_sector = s + hit.block;
  info.fid_offset = static_cast<uint16_t>(hit.offset);
  info.has_stream = c.stream ? 1 : 0;
  info.fe_block = fe_block + u;
  uint8_t* p = list + sizeof h;
  std::memcpy(p, &info, sizeof info);
  p += sizeof info;
  for (const std::vector<uint8_t>* blk : {&dir_copy, &hit_copy, &c.efe, &c.sd, &c.sf}) {
    if (blk->size() != b) continue;
    std::memcpy(p, blk->data(), b);
    p += b;
  }
  mdcudfsr_free_salvage_list(m);
  m->salvage_file_info_list = reinterpret_cast<mdcudfsr_salvage_file_info*>(list);
  return 0;
}

}  // namespace

void mdcudfsr_free_salvage_list(mdcudfsr_mount* m) {
  if (!m || !m->salvage_file_info_list) return;
  auto* list = reinterpret_cast<uint8_t*>(m->salvage_file_info_list);
  mdcudfsr_salvage_list_header h{};
  std::memcpy(&h, list, sizeof h);
  cache_free(list, h.length);
  m->salvage_file_info_list = nullptr;
}

int mdcudfsr_unreferenced_file_search(mdcudfsr_mount* m, uint64_t metadata_size, uint32_t fe_block,
                                      vfs_context_t ctx, int source) {
  if (!m || !m->logical_block_size || m->logical_block_size > kWindow || !m->logical_sector_size) return KEL_EINVAL;
  Candidate c;
  int err = take_candidate(m, metadata_size, fe_block, ctx, source, c);
  if (err) return err;
  uint32_t e = end_sector(m, c.list.last);
  if (c.e.inf_len == 0 && (e = start_without_data(m)) == 0) {
    CACHE_LOG(WARN, "file is not exist.\n");
    return KEL_EINVAL;
  }
  // The first window: past the candidate's data (e), its stream's data (es)
  // and 32 sectors past the lower bound h; the last: below u.
  const uint32_t es = c.stream ? end_sector(m, c.sf_list.last) : 0;
  uint32_t h = 0;
  if ((err = read_h(m, ctx, &h)) != 0) return err;
  const mdcudfsr_extent_entry* last = m->part[MDCUDFSR_PARTITION_METADATA].list.last;
  const uint32_t u = last ? mdcudfsr_lbn2lsn(m, MDCUDFSR_PARTITION_PHYSICAL, last->extent.loc.lb_num, nullptr) : 0;
  uint32_t s = std::max({h > 0xFFFFFFFFu - 32 ? h : h + 32, e, es});
  const uint32_t b = m->logical_block_size;
  std::vector<uint8_t> dir_copy(b, 0), hit_copy(b, 0);
  Hit hit;
  if ((err = search(m, ctx, static_cast<uint32_t>(c.e.unique_id), &s, u, dir_copy, hit_copy, &hit)) != 0) return err;
  return build_list(m, c, fe_block, s, u, hit, dir_copy, hit_copy);
}
