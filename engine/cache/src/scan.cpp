// The directory scan at mount: every directory's file identifier
// descriptors become child nodes, read from the local metadata copy with an
// explicit stack of directories; each file's stream directory is searched
// for its parity stream.
#include "cache_internal.h"
#include "cache_neighbours.h"
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_tag.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

using namespace kelcache;

namespace {

constexpr uint64_t kFirstListableId = 2;             // 0 and 1 are the cursors of "." and ".."
constexpr uint64_t kLastListableId = 0x7FFFFFFFFFFFFFFEull;  // the end cursor must fit a signed offset

uint32_t fid_size(const fileid_desc* f) { return (sizeof(fileid_desc) + f->l_iu + f->l_fi + 3u) & ~3u; }

// The scan's state for one mount.
struct Scan {
  mdcudfsr_mount* m;
  uint64_t size;
  vfs_context_t ctx;
  int alt;
  bool ro = false;
  mdcudfsr_dirstack stack;
  uint8_t* fid = nullptr;
};

bool empty_or_dots(const char* s) {
  return !s || !s[0] || (s[0] == '.' && (!s[1] || (s[1] == '.' && !s[2])));
}

// The named child of a FID, initialised from its entry. Returns 0 with
// *out set, 0 with *out null (entry skipped), or the error that stops.
int make_child(Scan& s, mdcudfsr_cache_node* dir, const fileid_desc* f, int* has_stream, mdcudfsr_cache_node** out) {
  *out = nullptr;
  char* name = nullptr;
  uint8_t* raw = nullptr;
  uint64_t raw_len = 0;
  int err = mdcudfsr_cache_get_udf_filename(f, &dir->name_root, &name, &raw, &raw_len);
  if (err == KEL_EROFS) s.ro = true;
  else if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  if (empty_or_dots(name)) {
    CACHE_LOG(WARN, "new_vfs_name is invalid. do Read Only.\n");
    set_wrprot(s.m, s.ctx);
    s.m->mntinfo.MountStatus = 0x80000100;
    cache_free(name, MDCUDFSR_VFS_NAME_SIZE);
    cache_free(raw, f->l_fi ? f->l_fi : 1);
    return 0;
  }
  mdcudfsr_cache_node* n = mdcudfsr_cache_alloc_node(s.m, dir, name, 0, f->file_char, 0, MDCUDFSR_NODE_UDF);
  cache_free(name, MDCUDFSR_VFS_NAME_SIZE);
  if (!n) {
    cache_free(raw, f->l_fi ? f->l_fi : 1);
    return KEL_ENOMEM;
  }
  mdcudfsr_udf_data* d = n->udf_data;
  d->udf_name = raw;
  d->udf_name_len = raw_len;
  d->fid_imp_use.l_iu = f->l_iu;
  if (f->l_iu) {
    d->fid_imp_use.imp_use = static_cast<uint8_t*>(cache_alloc(f->l_iu));
    if (!d->fid_imp_use.imp_use) {
      CACHE_LOGK(ERR, "failed to allocate fid_imp_use.imp_use.l_iu=%d\n", f->l_iu);
      d->fid_imp_use.l_iu = 0;
      mdcudfsr_cache_free_node(n);
      return KEL_ENOMEM;
    }
    std::memcpy(d->fid_imp_use.imp_use, reinterpret_cast<const uint8_t*>(f) + sizeof(fileid_desc), f->l_iu);
  }
  err = mdcudfsr_cache_init_node(s.m, s.size, n, f->icb.loc.lb_num, s.ctx, has_stream, s.alt);
  if (err == KEL_EBADF) {
    mdcudfsr_cache_free_node(n);
    return 0;
  }
  if (err == KEL_EROFS) {
    CACHE_LOG(INFO, "be read only with status=%d\n", err);
    s.ro = true;
  } else if (err) {
    CACHE_LOG(ERR, "node cache init error\n");
    mdcudfsr_cache_free_node(n);
    return err;
  }
  *out = n;
  return 0;
}

// Where a file's recorded data lies.
void take_discs(mdcudfsr_mount* m, mdcudfsr_cache_node* n) {
  const mdcudfsr_extent_entry* first = nullptr;
  const mdcudfsr_extent_entry* last = nullptr;
  const mdcudfsr_extent_entry* prev = nullptr;
  n->multi_disc = 0;
  for (const mdcudfsr_extent_entry* x = n->udf_data->extents.first; x; x = x->next) {
    if (EXTENT_FLAGS(x->extent.len) == EXTENT_FLAGS_NOT_ALLOCATED_NOT_ROCORDED) continue;
    if (prev && prev->extent.loc.part_num != x->extent.loc.part_num) n->multi_disc = 1;
    prev = x;
    n->last_disc = x->extent.loc.part_num;
    if (EXTENT_FLAGS(x->extent.len) == EXTENT_FLAGS_RECORDED) {
      if (!first) first = x;
      last = x;
    }
  }
  if (!prev) {
    n->disc_mask = 0;
    n->last_disc = m->current_disc + 1;
    return;
  }
  if (!first) return;
  const uint32_t a = first->extent.loc.part_num, b = last->extent.loc.part_num;
  if (a < 1 || b < 1 || a > m->num_discs || b > m->num_discs) return;
  uint16_t mask = 0;
  for (uint32_t p = std::min(a, b); p <= std::max(a, b) && p <= 16; ++p) mask |= static_cast<uint16_t>(1u << (p - 1));
  n->disc_mask = mask;
}

// The child into its directory's indexes. 0, or the stopping error.
int index_child(Scan& s, mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  const int err = mdcudfsr_cache_add_child(dir, n, 1, 1);
  if (err == KEL_EEXIST && s.ro) {
    // A duplicate kept under the read-only flag stays out of the indexes.
    mdcudfsr_cache_free_node(n);
    return 0;
  }
  if (err) {
    mdcudfsr_cache_free_node(n);
    CACHE_LOG(ERR, "File name is duplicated in a direcotry.\n");
    mdcudfsr_set_mntinfo_state(s.m, 2, 0x80000030, 0x80000);
    return KEL_EINVAL;
  }
  const int lerr = mdcudfsr_insert_list_by_unique_id(dir, n);
  if (lerr) CACHE_LOG(ERR, "filed insert unique id list err:%d\n", lerr);
  n->uid_key = mdcudfsr_node_unique_id(n);
  dir->uid_root = mdcudfsr_avl_insert(dir, dir->uid_root, n, n->uid_key, 1);
  return 0;
}

// The parity stream of a file and what follows from it.
int take_stream(Scan& s, mdcudfsr_cache_node* dir, mdcudfsr_cache_node* n) {
  mdcudfsr_cache_analize_stream_directory(s.m, s.size, dir, n, n->udf_data->efe.stream_directory_icb.loc.lb_num,
                                          s.ctx, s.alt);
  mdcudfsr_cache_node* parity = n->parity_node ? mdcudfsr_cnp(n->parity_node) : nullptr;
  if (!parity) return 0;
  const char* pname = name_of(parity);
  const size_t plen = std::strlen(pname), slen = std::strlen(MDCUDFSR_PXO4666_SUFFIX);
  if (plen >= slen && strcasecmp(pname + plen - slen, MDCUDFSR_PXO4666_SUFFIX) == 0) mdcudfsr_check_pxo4666(s.m, n);
  if (s.m->medium_type != 0xF2) return 0;
  char* suffix = nullptr;
  int err = mdcudfsr_cache_get_parity_suffix_name(parity, &suffix);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  const char* expected = mdcudfsr_cache_default_parity_suffix(s.m);
  const bool same = std::strncmp(suffix, expected, std::strlen(expected)) == 0;
  cache_free(suffix, MDCUDFSR_PARITY_SUFFIX_SIZE);
  if (!same) {
    CACHE_LOG(ERR, "Parity stream_name NG\n");
    mdcudfsr_set_mntinfo_state(s.m, 2, 0x80000020, 0x80000);
    return KEL_EINVAL;
  }
  mdcudfsr_cache_node* p = parity;
  err = mdcudfsr_cache_parity_info_creating_from_parity(s.m, dir, &p, &n->parity_info, 1);
  if (err) CACHE_LOGK(ERR, "err=%d\n", err);
  return err;
}

// One FID in the buffer: checked, its node read and linked. 0 goes on, else
// the error.
int take_fid(Scan& s, mdcudfsr_cache_node* dir, uint32_t* links) {
  const auto* f = reinterpret_cast<const fileid_desc*>(s.fid);
  if (f->file_char & 0x10) {
    CACHE_LOG(ERR, "[%s]fidp->file_char indicates Stream metadata, mount RO\n", name_of(dir));
    set_invalid(s.m);
    return KEL_EINVAL;
  }
  if (f->file_char & 0x0C) return 0;
  const uint8_t cid = f->l_fi ? s.fid[sizeof(fileid_desc) + f->l_iu] : 0;
  if (cid == 254 || cid == 255) {
    CACHE_LOG(WARN, "[%x]Wrong Compression ID. do Read Only.\n", static_cast<uint32_t>(static_cast<int8_t>(cid)));
    set_wrprot(s.m, s.ctx);
    s.m->mntinfo.MountStatus = 0x80000100;
    return 0;
  }
  if (cid != 8 && cid != 16) {
    set_invalid(s.m);
    return KEL_EINVAL;
  }
  int has_stream = 0;
  mdcudfsr_cache_node* n = nullptr;
  int err = make_child(s, dir, f, &has_stream, &n);
  if (err || !n) return err;
  if ((f->file_char & UDF_FILE_CHAR_DIR) && mdcudfsr_node_file_type(n) != UDF_FILE_TYPE_DIRECTORY) {
    CACHE_LOG(ERR, "ICB tag is invalid. dirname=%s\n", name_of(dir));
    set_damaged(s.m, s.ctx);
    mdcudfsr_cache_free_node(n);
    return 0;
  }
  const uint64_t uid = mdcudfsr_node_unique_id(n);
  if (uid < kFirstListableId || uid > kLastListableId) {
    // Its readdir cursor would collide with "." and ".." or not fit the offset.
    CACHE_LOG(ERR, "unique id 0x%llx of [%s] cannot be listed\n", static_cast<unsigned long long>(uid), name_of(n));
    set_damaged(s.m, s.ctx);
    mdcudfsr_cache_free_node(n);
    return 0;
  }
  if (mdcudfsr_is_dir(n)) {
    if (mdcudfsr_dirstack_push(&s.stack, n, s.m->format_level >> 4) > s.stack.count) {
      CACHE_LOG(ERR, "dirstack insert error\n");
      mdcudfsr_cache_free_node(n);
      return s.stack.error ? s.stack.error : 24;
    }
    ++*links;
  }
  if (f->file_char & UDF_FILE_CHAR_HIDDEN) n->file_flags |= MDCUDFSR_FILE_FLAG_HIDDEN;
  if (!mdcudfsr_is_dir(n)) take_discs(s.m, n);
  err = index_child(s, dir, n);
  if (err || !has_stream) return err;
  return take_stream(s, dir, n);
}

// One directory: its FIDs, then its link count.
int scan_dir(Scan& s, mdcudfsr_cache_node* dir) {
  const uint64_t inf_len = dir->udf_data->efe.inf_len;
  uint64_t off = 0;
  uint32_t links = 1;
  int err = 0;
  while (off < inf_len) {
    if (off > s.size) {
      CACHE_LOGK(ERR, "%s\n", "(dir_offset<=size)");
      err = KEL_EINVAL;
      break;
    }
    std::memset(s.fid, 0, MDCUDFSR_FID_BUF_SIZE);
    err = mdcudfsr_cache_get_fid(s.m, s.size, dir, off, s.fid, s.alt);
    const auto* f = reinterpret_cast<const fileid_desc*>(s.fid);
    if (err == KEL_EBADF) err = 0;
    else if (!err) err = take_fid(s, dir, &links);
    if (err) break;
    CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d dir_offset=0x%08x l_fi=0x%08x desc=0x%08x rdup=0x%08x\n",
                volume_name(s.m), tid32(), __func__, __LINE__, static_cast<uint32_t>(off), f->l_fi,
                static_cast<uint32_t>(sizeof(fileid_desc) + f->l_iu + f->l_fi), fid_size(f));
    off += fid_size(f);
  }
  if (err) return err;
  if (off != inf_len) {
    CACHE_LOG(ERR, "FID length is invalid. inf_len=%d len=%d\n", static_cast<int>(inf_len), static_cast<int>(off));
    set_damaged(s.m, s.ctx);
  }
  if (links >= 0x10000) dir->udf_data->efe.link_cnt = 0xFFFF;
  dir->udf_data->nlink = links;
  return 0;
}

}  // namespace

int mdcudfsr_cache_init_udf_node(mdcudfsr_mount* m, uint64_t metadata_size, mdcudfsr_cache_node* root,
                                 uint32_t efe_loc, vfs_context_t ctx, int alt) {
  CACHE_LOG(INFO, "name=%s efe_loc=%d", name_of(root), efe_loc);
  Scan s{m, metadata_size, ctx, alt, false, {}, nullptr};
  mdcudfsr_scan_runs runs(m);
  if (mdcudfsr_dirstack_init(&s.stack)) {
    CACHE_LOG(ERR, "drstack init error\n");
    return KEL_ENOMEM;
  }
  int has_stream = 0;
  int err = mdcudfsr_cache_init_node(m, metadata_size, root, efe_loc, ctx, &has_stream, alt);
  if (err == KEL_EROFS) {
    s.ro = true;
    err = 0;
  } else if (err) {
    CACHE_LOG(ERR, "node cache init error\n");
  }
  if (!err) {
    mdcudfsr_dirstack_push(&s.stack, root, m->format_level >> 4);
    s.fid = static_cast<uint8_t*>(cache_alloc(MDCUDFSR_FID_BUF_SIZE));
    if (!s.fid) {
      CACHE_LOGK(ERR, "%s\n", "fidp");
      err = KEL_ENOMEM;
    }
  }
  if (!err && !(m->mount_ext_flags & MDCUDFSR_MNT_EXT_NO_SCAN)) {
    while (mdcudfsr_cache_node* dir = mdcudfsr_dirstack_pop(&s.stack)) {
      if (!mdcudfsr_is_dir(dir)) {
        dir->udf_data->nlink = 1;
        continue;
      }
      if ((err = scan_dir(s, dir)) != 0) break;
    }
  }
  if (s.fid) cache_free(s.fid, MDCUDFSR_FID_BUF_SIZE);
  mdcudfsr_dirstack_free(&s.stack);
  CACHE_LOG(INFO, "err=%d read_only=%d (name=%s objid=%llu efe->unique-id=0x%llx)", err, s.ro ? 1 : 0, name_of(root),
            static_cast<unsigned long long>(root->objid),
            static_cast<unsigned long long>(mdcudfsr_node_unique_id(root)));
  return err ? err : s.ro ? KEL_EROFS : 0;
}

uint32_t mdcudfsr_cache_get_dir_depth(mdcudfsr_cache_node* node) {
  if (!mdcudfsr_is_dir(node)) return 1;
  uint32_t a = 0;
  for (mdcudfsr_cache_node* c = node->children.first; c; c = c->sibling.next) {
    const uint32_t d = mdcudfsr_is_dir(c) ? mdcudfsr_cache_get_dir_depth(c) : 1;
    a = std::max(a, d);
  }
  return a + 1;
}

namespace kelcache {
void scan_take_discs(mdcudfsr_mount* m, mdcudfsr_cache_node* n) { take_discs(m, n); }
}  // namespace kelcache
