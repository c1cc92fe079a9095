// One node from its extended file entry in the local metadata copy: the
// entry's checks, permissions, ids, the chain of allocation extent
// descriptors, the length check, hash attributes and link target.
#include "cache_internal.h"
#include "kelhost/kern_errno.h"
#include "scan_internal.h"

#include "udf/udf_efe.h"
#include "udf/udf_mount.h"
#include "udf/udf_path.h"
#include "udf/udf_tag.h"

#include <cstdlib>
#include <cstring>
#include <set>

namespace kelcache {
namespace {

constexpr uint32_t kEaHeader = 24;
constexpr uint32_t kEaMinLength = 12;
constexpr uint32_t kHashEaFixed = 56;  // through the hash header
constexpr char kHashIdent[] = "*Tarn KELFS Hash";

void reset_node(mdcudfsr_cache_node* n, uint32_t efe_loc) {
  n->kind = MDCUDFSR_NODE_UDF;
  n->status = MDCUDFSR_NODE_ACTIVE;
  n->cache_flags = 0;
  mdcudfsr_udf_data* d = n->udf_data;
  d->efe_loc = efe_loc;
  d->ad_writable = 1;
  d->nlink = 1;
  if (d->aed_info) mdcudfsr_free_aed_info(d->aed_info);
  d->aed_info = nullptr;
  d->std_loc = d->replace_std_loc = MDCUDFSR_INVALID_LBN;
  mdcudfsr_extent_list_remove_all(&d->extents);
}

bool block_beyond(const mdcudfsr_mount* m, uint64_t size, uint32_t lbn) {
  return size < uint64_t(lbn) * m->logical_block_size + m->logical_sector_size;
}

// File type, strategy, flags and descriptor length. 0, 9, 22
// or 30 (kept in *ro).
int check_icb(mdcudfsr_mount* m, mdcudfsr_cache_node* n, vfs_context_t ctx, bool* ro) {
  const extended_file_entry& e = n->udf_data->efe;
  const uint8_t type = e.icbtag.file_type;
  const bool known = (type >= 4 && type <= 13) || type == UDF_FILE_TYPE_249;
  if (!known || (type >= 6 && type <= 11)) {
    CACHE_LOG(ERR, "ICB Tag File Type(%d) is not Suported.\n", type);
    if (!known) {
      set_invalid(m);
      return KEL_EINVAL;
    }
    set_status_direct(m, 0x80000100);
    if (type == 6 || type == 7) return KEL_EBADF;
    if (type == 8) *ro = true;
  }
  if (e.icbtag.strat_type != 4) {
    CACHE_LOG(ERR, "ICB Tag Strategy Type(%d) is not valid.\n", e.icbtag.strat_type);
    set_invalid(m);
    return KEL_EINVAL;
  }
  CACHE_LOG(INFO, "file_char=%d, file_type=%d, flags=%d\n", n->file_char, type, e.icbtag.flags);
  const uint16_t flags = e.icbtag.flags;
  const uint16_t ad = flags & 7;
  const bool dir_or_link = type == UDF_FILE_TYPE_DIRECTORY || type == UDF_FILE_TYPE_SYMLINK;
  if ((!dir_or_link && ad == UDF_AD_IN_ICB) || (type == UDF_FILE_TYPE_SYMLINK && ad != UDF_AD_IN_ICB && ad != 2)) {
    CACHE_LOG(WARN, "[%s]icbtag->flags is unexpected value.%d\n", name_of(n), flags);
    set_wrprot(m, ctx);
    m->mntinfo.MountStatus = MNTINFO_ENTRY_DAMAGED;
    n->udf_data->ad_writable = 0;
    return KEL_EBADF;
  }
  if (ad == 2 || (flags & 0xC000)) {
    CACHE_LOG(ERR, "[%s]icbtag->flags is unexpected value.%d\n", name_of(n), flags);
    set_invalid(m);
    return KEL_EINVAL;
  }
  if (flags & 0x3D8) {
    CACHE_LOG(ERR, "[%s]icbtag->flags is unexpected value.%d\n", name_of(n), flags);
    set_status_direct(m, 0x80000100);
  }
  if (flags & 0x1800) {
    CACHE_LOG(ERR, "[%s]icbtag->flags is unexpected value.%d\n", name_of(n), flags);
    set_status_direct(m, 0x80000100);
    return KEL_EBADF;
  }
  if (e.l_ad > m->logical_block_size) {
    CACHE_LOG(ERR, "[%s]mdcudfsrcnp->udf_data->efe.l_ad is unexpected value.%d\n", name_of(n), e.l_ad);
    set_status_direct(m, MNTINFO_ENTRY_DAMAGED);
    return KEL_EBADF;
  }
  return 0;
}

// Permissions, flags, length and ids.
void take_ids(mdcudfsr_mount* m, mdcudfsr_cache_node* n) {
  extended_file_entry& e = n->udf_data->efe;
  const uint8_t type = e.icbtag.file_type;
  if ((e.perm & 0x6B5A) != 0x6B5A) n->file_flags |= 0x0002;
  if (type == UDF_FILE_TYPE_DIRECTORY || type == UDF_FILE_TYPE_STREAMDIR) e.perm |= 0x421;
  if ((type == UDF_FILE_TYPE_REGULAR || type == UDF_FILE_TYPE_249) && (e.perm & 0x421) != 0x421) {
    if (e.perm & 0x421) CACHE_LOG(INFO, "[%s]all execute permission is turned off \n", name_of(n));
    e.perm &= ~0x421u;
  }
  n->recorded_length = e.inf_len;
  if (n == m->root_node) n->objid = MDCUDFSR_OBJID_ROOT;
  else if (n->stream_owner) n->objid = MDCUDFSR_OBJID_STREAM_BASE + m->stream_node_count++;
  else n->objid = e.unique_id;
  if (e.unique_id > m->max_unique_id) m->max_unique_id = e.unique_id;
  if (type == UDF_FILE_TYPE_REGULAR && e.unique_id && e.unique_id > m->max_file_unique_id)
    m->max_file_unique_id = e.unique_id;
}

uint64_t round_up(uint64_t v, uint32_t bs) { return (v + bs - 1) / bs * bs; }

// The extents against the information length.
void check_lengths(mdcudfsr_mount* m, mdcudfsr_cache_node* n) {
  mdcudfsr_udf_data* d = n->udf_data;
  const uint32_t bs = m->logical_block_size;
  uint64_t total = 0;
  for (mdcudfsr_extent_entry* x = d->extents.first; x; x = x->next) total += EXTENT_LENGTH(x->extent.len);
  const uint64_t have = round_up(total, bs), want = round_up(d->efe.inf_len, bs);
  const char* name = name_of(n);
  if (have > want) {
    CACHE_LOG(ERR, "%s:Total ADs Size are Different, TotalADsSize=%lld, FE.InfLen=%lld. PXO-5539 workaround. \n", name,
              static_cast<long long>(have), static_cast<long long>(want));
    const int err = mdcudfsr_cache_trunc_extent(&d->extents, have - want);
    if (err) {
      CACHE_LOG(ERR, "AD truncate fail %d \n", err);
      set_damaged(m, nullptr);
    }
    uint64_t now = 0;
    for (mdcudfsr_extent_entry* x = d->extents.first; x; x = x->next) now += EXTENT_LENGTH(x->extent.len);
    CACHE_LOG(WARN, "[%s] AD truncate length=%lld \n", name, static_cast<long long>(now));
  } else if (have < want) {
    CACHE_LOG(ERR, "%s:Total ADs Size are Different, TotalADsSize=%lld, FE.InfLen=%lld. make READ_ONLY. \n", name,
              static_cast<long long>(have), static_cast<long long>(want));
    set_damaged(m, nullptr);
    mdcudfsr_cache_set_file_size(n, 0);
  }
}

}  // namespace

void walk_hash_eas(const uint8_t* area, uint32_t l_ea, const std::function<void(const char*)>& warn,
                   const std::function<void(uint16_t, const uint8_t*, uint16_t)>& take) {
  uint32_t off = kEaHeader;
  while (off < l_ea) {
    const uint32_t left = l_ea - off;
    const uint8_t* a = area + off;
    uint32_t type = 0, alen = 0;
    if (left >= kEaMinLength) {
      std::memcpy(&type, a, 4);
      std::memcpy(&alen, a + 8, 4);
    }
    const bool iu = left >= kEaMinLength && type == 2048 && a[4] == 1;
    if (left < kEaMinLength || alen < kEaMinLength || alen > left || (iu && alen < kHashEaFixed)) {
      warn("Extended attribute is invalid.\n");
      break;
    }
    if (!iu) {
      warn("KELFS Hash EA is invalid.\n");
    } else if (std::memcmp(a + 17, kHashIdent, sizeof kHashIdent - 1) != 0) {
      warn("Invalid EA is exist.\n");
    } else {
      uint32_t iu_len = 0;
      uint16_t kind = 0, l = 0;
      std::memcpy(&iu_len, a + 12, 4);
      std::memcpy(&kind, a + 50, 2);
      std::memcpy(&l, a + 52, 2);
      if (iu_len != uint32_t(l) + 8 || alen != ((uint32_t(l) + 59) & ~3u) || kHashEaFixed + uint32_t(l) > alen) {
        warn("Extended attribute is invalid.\n");
      } else {
        take(kind, a + 56, l);
      }
    }
    off += alen;
  }
}

namespace {

void hash_warn(mdcudfsr_mount* m, vfs_context_t ctx, const char* text) {
  CACHE_LOG(WARN, "%s", text);
  m->mntinfo.MountStatus = 0x80000100;
  set_wrprot(m, ctx);
}

// The hash attributes of a regular file. Each attribute is bounded
// by its header and by what remains of the area before it is read.
int read_hash_eas(mdcudfsr_mount* m, mdcudfsr_cache_node* n, const uint8_t* block, vfs_context_t ctx) {
  const extended_file_entry& e = n->udf_data->efe;
  const uint32_t bs = m->logical_block_size;
  const uint8_t* area = block + sizeof(extended_file_entry);
  if (e.l_ea > bs - sizeof(extended_file_entry)) {
    hash_warn(m, ctx, "Extended attribute is invalid.\n");
    return 0;
  }
  if (e.l_ea < kEaHeader || mdcudfsr_check_udf_tag_and_checksum(m, area, 262, e.l_ea) != 0) {
    hash_warn(m, ctx, "Extended attribute header is invalid.\n");
    return 0;
  }
  walk_hash_eas(
      area, e.l_ea, [&](const char* text) { hash_warn(m, ctx, text); },
      [&](uint16_t kind, const uint8_t* bytes, uint16_t l) {
        n->hash_ea_list.push_back(mdcudfsr_hash_entry{kind, std::vector<uint8_t>(bytes, bytes + l)});
      });
  if (n->hash_ea_list.size() > 1) hash_warn(m, ctx, "Multiple KELFS Hash EAs are included.\n");
  return 0;
}

// The link target, rebuilt by the UDF code (which allocates it with
// malloc), kept in the engine heap as every name of a node.
int take_link_target(mdcudfsr_cache_node* n, const uint8_t* block, uint32_t bs) {
  int err = mdcudfsr_reverse_lookup_path_component(n, block, bs);
  if (err || !n->symlink_target) return err;
  char* own = copy_name(n->symlink_target, std::strlen(n->symlink_target));
  std::free(n->symlink_target);
  n->symlink_target = own;
  return own ? 0 : KEL_ENOMEM;
}

}  // namespace
}  // namespace kelcache

using namespace kelcache;

int mdcudfsr_cache_read_all_allocation_extent_descriptors(mdcudfsr_mount* m, mdcudfsr_udf_data* d,
                                                          uint64_t metadata_size, vfs_context_t ctx, int alt) {
  (void)ctx;
  const uint32_t bs = m->logical_block_size;
  // The block buffer is taken when the first descriptor is read: most
  // entries have none.
  uint8_t* block = nullptr;
  mdcudfsr_extent_list* list = &d->extents;
  std::set<uint32_t> seen;
  bool ro = false;
  int err = 0;
  while (!err && list->last && EXTENT_FLAGS(list->last->extent.len) == EXTENT_FLAGS_NEXT_EXTENT) {
    const uint32_t lbn = list->last->extent.loc.lb_num;
    if (!seen.insert(lbn).second || seen.size() > MDCUDFSR_MAX_AED_CHAIN) {
      CACHE_LOGK(ERR, "AED chain loops or is too long. lbn=0x%x count=%u\n", lbn, static_cast<uint32_t>(seen.size()));
      mdcudfsr_extent_list_remove_entry(list, list->last);
      set_damaged(m, ctx);
      d->ad_writable = 0;
      ro = true;
      break;
    }
    if (block_beyond(m, metadata_size, lbn)) {
      CACHE_LOGK(ERR, "AED location over metadata buff range. AED_LBN = %d, offset=%d, size=%d\n", lbn,
                 static_cast<int>(uint64_t(lbn) * bs), static_cast<int>(metadata_size));
      err = KEL_EINVAL;
      break;
    }
    if (!d->aed_info && !(d->aed_info = mdcudfsr_aed_info_alloc())) {
      CACHE_LOGK(ERR, "%s\n", "mdcudfsrcnp->udf_data->aed_info");
      err = KEL_ENOMEM;
      break;
    }
    mdcudfsr_aed_info* grown = mdcudfsr_aed_info_add(d->aed_info, lbn);
    if (!grown) {
      CACHE_LOGK(ERR, "%s\n", "mdcudfsraip");
      err = KEL_ENOMEM;
      break;
    }
    d->aed_info = grown;
    if (!block && !(block = static_cast<uint8_t*>(cache_alloc(bs)))) {
      CACHE_LOGK(ERR, "failed to allocate memory for AED buffer\n");
      err = KEL_ENOMEM;
      break;
    }
    uint32_t cache_err = 0;
    const int rerr = scan_read(m, alt, uint64_t(lbn) * bs, bs, block, &cache_err);
    if (rerr || cache_err) {
      CACHE_LOG(ERR, "Read AED data failed from Fs Local Cache. err = %d cache_err = %d\n", rerr, cache_err);
      mdcudfsr_extent_list_remove_entry(list, list->last);  // the chain ends at the unreadable block
      ro = true;
      break;
    }
    check_efe_clear(m, lbn, 1);
    uint32_t not_alloc = 0;
    const int perr = mdcudfsr_read_allocation_extent_descriptor(m, block, bs, bs, 0, d->efe.icbtag.flags & 7, list,
                                                                &not_alloc);
    if (not_alloc) CACHE_LOG(INFO, "EFE contains type2 extent(s) - ignored for disk recovery\n");
    if (perr == KEL_EROFS) ro = true;
    else if (perr) {
      CACHE_LOGK(ERR, "err=%d\n", perr);
      err = perr;
    }
  }
  cache_free(block, bs);
  return err ? err : ro ? KEL_EROFS : 0;
}

int mdcudfsr_cache_init_node(mdcudfsr_mount* m, uint64_t metadata_size, mdcudfsr_cache_node* n, uint32_t efe_loc,
                             vfs_context_t ctx, int* has_stream, int alt) {
  reset_node(n, efe_loc);
  const uint32_t bs = m->logical_block_size;
  if (block_beyond(m, metadata_size, efe_loc)) {
    CACHE_LOGK(ERR, "FE location over metadata buff range. FE_LBN = %d, offset=%d, size=%d\n", efe_loc,
               static_cast<int>(uint64_t(efe_loc) * bs), static_cast<int>(metadata_size));
    return KEL_EINVAL;
  }
  uint8_t* block = static_cast<uint8_t*>(cache_alloc(bs));
  if (!block) {
    CACHE_LOG(ERR, "failed to allocate memory for EFE buffer\n");
    return KEL_ENOMEM;
  }
  uint32_t cache_err = 0;
  int err = scan_read(m, alt, uint64_t(efe_loc) * bs, bs, block, &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Read EFE data failed from Fs Local Cache. err = %d cache_err = %d\n", err, cache_err);
    cache_free(block, bs);
    return KEL_EBADF;
  }
  check_efe_clear(m, efe_loc, 1);
  bool ro = false;
  mdcudfsr_udf_data* d = n->udf_data;
  uint32_t not_alloc = 0;
  err = mdcudfsr_read_extended_file_entry(m, block, bs, 0, &d->efe, &d->extents, &not_alloc, 0);
  if (not_alloc) CACHE_LOG(INFO, "EFE contains type2 extent(s) - ignored for disk recovery\n");
  if (err == KEL_EROFS) {
    CACHE_LOG(INFO, "be read only with status=%d\n", err);
    ro = true;
    err = 0;
  }
  if (!err) err = check_icb(m, n, ctx, &ro);
  if (!err) {
    take_ids(m, n);
    const int aerr = mdcudfsr_cache_read_all_allocation_extent_descriptors(m, d, metadata_size, ctx, alt);
    if (aerr == KEL_EROFS) d->ad_writable = 0;
    else err = aerr;
  }
  if (!err) {
    if ((d->efe.icbtag.flags & 7) != UDF_AD_IN_ICB) check_lengths(m, n);
    if (EXTENT_LENGTH(d->efe.stream_directory_icb.len)) *has_stream = 1;
    const uint8_t type = d->efe.icbtag.file_type;
    if ((type == UDF_FILE_TYPE_REGULAR || type == UDF_FILE_TYPE_249) && d->efe.l_ea) err = read_hash_eas(m, n, block, ctx);
  }
  if (!err && d->efe.icbtag.file_type == UDF_FILE_TYPE_SYMLINK) err = take_link_target(n, block, bs);
  if (err) CACHE_LOGK(ERR, "err=%d\n", err);
  cache_free(block, bs);
  return err ? err : ro ? KEL_EROFS : 0;
}
