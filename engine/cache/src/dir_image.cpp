// A directory's stream of file identifier descriptors (ECMA-167 4/14.4):
// its size, one descriptor, the whole image and the choice of how much of a
// grown directory is rewritten.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"

#include "kelhost/kern_errno.h"
#include "udf/udf_byte_order.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <cstring>
#include <vector>

using namespace kelcache;

namespace {

constexpr uint32_t kFidFixed = sizeof(fileid_desc);
constexpr uint64_t kUnit = 0x10000;

uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }
uint32_t round4(uint32_t v) { return (v + 3) & ~3u; }

// The CS0 identifier of a child's descriptor into `out` (kMaxIdentifier
// bytes); its length, or -1.
int child_identifier(mdcudfsr_cache_node* n, uint8_t* out) {
  mdcudfsr_udf_data* d = n->udf_data;
  if (!n->stream_owner && d && d->udf_name && d->udf_name_len) {
    if (d->udf_name_len > kMaxIdentifier) return -1;
    std::memcpy(out, d->udf_name, d->udf_name_len);
    return static_cast<int>(d->udf_name_len);
  }
  char* suffix = nullptr;
  if (n->stream_owner) {
    const int err = mdcudfsr_cache_get_parity_suffix_name(n, &suffix);
    if (err) {
      CACHE_LOGK(ERR, "err=%d\n", err);
      return -1;
    }
    CACHE_LOGK(DEBG, "Parity file name:%s\n", suffix);
  }
  const char* name = suffix ? suffix : n->vfs_name ? n->vfs_name : "";
  uint32_t len = 0;
  const int err = name_identifier(name, std::strlen(name), out, &len);
  if (suffix) cache_free(suffix, MDCUDFSR_PARITY_SUFFIX_SIZE);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return -1;
  }
  return static_cast<int>(len);
}

// The entry a descriptor of the node points at (a parity node's: its file's).
const mdcudfsr_udf_data* target_of(mdcudfsr_cache_node* n) {
  return n->stream_owner ? n->stream_owner->udf_data : n->udf_data;
}

}  // namespace

bool mdcudfsr_cache_dir_lists(const mdcudfsr_cache_node* c, int skip_masters) {
  if (c->kind != MDCUDFSR_NODE_UDF && c->kind != MDCUDFSR_NODE_MASTER) return false;
  if (c->kind == MDCUDFSR_NODE_MASTER && skip_masters) return false;
  return !mdcudfsr_is_inactive(c) && !c->write_list_entry && !c->stream_owner;
}

uint64_t mdcudfsr_cache_calc_dir_size(mdcudfsr_cache_node* dir, int skip_masters) {
  const mdcudfsr_cache_node* parent = mdcudfsr_parent(dir);
  uint64_t size = 40;
  if (parent && parent->udf_data && dir->mdcudfsrmp && dir != dir->mdcudfsrmp->root_node)
    size = round4(kFidFixed + parent->udf_data->fid_imp_use.l_iu);
  uint8_t ident[kMaxIdentifier];
  for (mdcudfsr_cache_node* c = uid_first(dir); c; c = uid_next(c)) {
    if (!mdcudfsr_cache_dir_lists(c, skip_masters)) continue;
    const int len = child_identifier(c, ident);
    if (len < 0) return ~uint64_t{0};
    const uint16_t l_iu = c->udf_data ? c->udf_data->fid_imp_use.l_iu : 0;
    size = round_up(size + kFidFixed + l_iu + static_cast<uint32_t>(len), 4);
  }
  return size;
}

int mdcudfsr_cache_write_fid(mdcudfsr_mount* mnt, uint8_t* buffer, mdcudfsr_udf_node_fields* node_fields,
                             uint32_t tag_loc, int parent) {
  mdcudfsr_cache_node* n = mdcudfsr_cnp(node_fields);
  const mdcudfsr_udf_data* t = target_of(n);
  CACHE_LOGK(DEBG, "node=%p name=%s lbn=%d efe_loc=%d", static_cast<void*>(n), name_of(n), tag_loc,
             t ? static_cast<int>(t->efe_loc) : -1);
  if (!t) return -1;
  fileid_desc f{};
  mdcudfsr_init_udf_tag(mnt, &f.tag, TAG_ID_FID, tag_loc);
  f.file_num = 1;
  const uint16_t l_iu = n->udf_data ? n->udf_data->fid_imp_use.l_iu : 0;
  f.l_iu = l_iu;
  f.file_char = n->file_char;
  f.icb.len = mnt->logical_block_size;
  f.icb.loc = lb_addr{t->efe_loc, 0};
  f.icb.ad_flags = 0;
  f.icb.ad_id = static_cast<uint32_t>(t->efe.unique_id);
  uint8_t ident[kMaxIdentifier];
  int ident_len = 0;
  if (parent) {
    f.file_char = static_cast<uint8_t>(n->file_char | 0x08);
  } else {
    ident_len = child_identifier(n, ident);
    if (ident_len < 0) return -1;
    if (n->file_flags & MDCUDFSR_FILE_FLAG_HIDDEN) f.file_char |= UDF_FILE_CHAR_HIDDEN;
  }
  f.l_fi = static_cast<uint8_t>(ident_len);
  const uint32_t len = round4(kFidFixed + l_iu + static_cast<uint32_t>(ident_len));
  mdcudfsr_swap_host2le_fileid_desc(&f);
  std::memset(buffer, 0, len);
  std::memcpy(buffer, &f, kFidFixed);
  if (l_iu) std::memcpy(buffer + kFidFixed, n->udf_data->fid_imp_use.imp_use, l_iu);
  if (ident_len) std::memcpy(buffer + kFidFixed + l_iu, ident, static_cast<size_t>(ident_len));
  mdcudfsr_set_udf_tag_crc_and_checksum(buffer, len);
  return static_cast<int>(len);
}

namespace {

// The largest descriptor a child can have.
constexpr uint32_t kFidMax = kFidFixed + 0xFFFF + kMaxIdentifier + 3;

// The most bytes the node's descriptor can take: its implementation use is
// known, its identifier is at most kMaxIdentifier bytes.
uint32_t fid_bound(const mdcudfsr_cache_node* n) {
  const uint32_t l_iu = n->udf_data ? n->udf_data->fid_imp_use.l_iu : 0;
  return round4(kFidFixed + l_iu + kMaxIdentifier);
}

// Places one descriptor at `p`; its length, or the error (22).
int put_fid(mdcudfsr_mount* mnt, uint8_t* buf, uint32_t size, uint32_t p, mdcudfsr_cache_node* n, uint32_t loc,
            int parent) {
  if (p >= size) {
    CACHE_LOGK(ERR, "expectde=%d p=%d\n", size, p);
    return -22;
  }
  // Near the end it is built aside first: a descriptor that would end past
  // the buffer is refused. The descriptor writer sets every byte it
  // returns, so the scratch space is sized once and never cleared.
  const bool direct = uint64_t{p} + fid_bound(n) <= size;
  static thread_local std::vector<uint8_t> scratch;
  if (!direct && scratch.size() < kFidMax) scratch.resize(kFidMax);
  uint8_t* at = direct ? buf + p : scratch.data();
  const int len = mdcudfsr_cache_write_fid(mnt, at, n, loc, parent);
  if (len < 0) {
    CACHE_LOGK(ERR, "%s\n", "fid_size >= 0");
    return -22;
  }
  if (uint64_t{p} + static_cast<uint32_t>(len) > size) {
    CACHE_LOGK(ERR, "expectde=%d p=%d\n", size, p + len);
    return -22;
  }
  if (!direct) std::memcpy(buf + p, scratch.data(), static_cast<size_t>(len));
  return len;
}

}  // namespace

int mdcudfsr_cache_write_directory(mdcudfsr_mount* mnt, uint8_t* buf, uint32_t size, mdcudfsr_cache_node* dir,
                                   uint32_t start, int skip_masters, uint32_t rewrite_offset) {
  if (size <= 37) {
    CACHE_LOGK(ERR, "insufficient memory.\n");
    return KEL_EINVAL;
  }
  std::memset(buf, 0, size);
  const uint32_t b = mnt->logical_block_size;
  mdcudfsr_cache_node* parent = dir == mnt->root_node || !mdcudfsr_parent(dir) ? dir : mdcudfsr_parent(dir);
  if (!parent->udf_data) parent = dir;
  int len = put_fid(mnt, buf, size, 0, parent, start, 1);
  if (len < 0) return -len;
  uint32_t p = static_cast<uint32_t>(len);
  const uint32_t prev = dir->udf_data ? dir->udf_data->dir_prev_start : MDCUDFSR_INVALID_LBN;
  for (mdcudfsr_cache_node* c = uid_first(dir); c; c = uid_next(c)) {
    if (!mdcudfsr_cache_dir_lists(c, skip_masters)) continue;
    uint32_t base = start;
    if (p % kUnit > kUnit - 16 && p < rewrite_offset && prev != MDCUDFSR_INVALID_LBN) base = prev;
    len = put_fid(mnt, buf, size, p, c, base + p / b, 0);
    if (len < 0) return -len;
    p += static_cast<uint32_t>(len);
  }
  return 0;
}

int mdcudfsr_cache_decide_fid_write_pattern(uint32_t block_size, uint32_t flush_all, mdcudfsr_udf_data* d,
                                            uint8_t dir_dirty, uint64_t size, uint32_t room, uint64_t* write_bytes) {
  const mdcudfsr_extent_list& l = d->extents;
  uint64_t o = 0;
  uint32_t n = 0;
  for (const mdcudfsr_extent_entry* e = l.first; e; e = e->next, ++n) o += EXTENT_LENGTH(e->extent.len);
  const mdcudfsr_extent_entry* last = l.last;
  const mdcudfsr_extent_entry* before = last ? last->prev : nullptr;
  const uint64_t ln = last ? EXTENT_LENGTH(last->extent.len) : 0;
  const uint64_t us = round_up(size, kUnit), uo = round_up(o, kUnit);
  const uint64_t from_boundary = size - (o / kUnit * kUnit);
  const bool room_for_one_more = room >= (uint64_t{n} + 1) * 8;
  d->dir_prev_start = MDCUDFSR_INVALID_LBN;
  int pattern;
  *write_bytes = size;
  if (dir_dirty != 1 || flush_all) pattern = 0;
  else if (round_up(size, block_size) <= kUnit) pattern = 1;
  else if (n == 0) pattern = 8;
  else if (us == uo) pattern = ln <= kUnit ? 6 : 2;
  else if (us > uo && o % kUnit) pattern = ln > kUnit ? 7 : (n == 1 ? 3 : 4);
  else if (us > uo) pattern = 5;
  else pattern = 0;
  if ((pattern == 2 || pattern == 5) && !room_for_one_more) pattern = 0;
  if (pattern == 2 || pattern == 4 || pattern == 6 || pattern == 7) *write_bytes = from_boundary;
  if (pattern == 5) *write_bytes = size - o;
  if ((pattern == 2 || pattern == 7) && last)
    d->dir_prev_start = last->extent.loc.lb_num - static_cast<uint32_t>((o - ln) / block_size);
  if ((pattern == 4 || pattern == 6) && before)
    d->dir_prev_start =
        before->extent.loc.lb_num - static_cast<uint32_t>((o - ln - EXTENT_LENGTH(before->extent.len)) / block_size);
  return pattern;
}
