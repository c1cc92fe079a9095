// When the metadata flush must rewrite everything: the metadata file's
// extents against the descriptors its entry may hold, and its size.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"
#include "kelhost/kern_errno.h"

using namespace kelcache;

namespace {

uint64_t size_limit(const mdcudfsr_mount* m) {
  if (m->medium_type == 0xF2) return 0x1FFF00000ull;
  if (m->medium_type == 0xF1) return 0xFFF00000ull;
  return 0x80000000ull;
}

// Extended attribute length of the metadata file's own entry.
uint32_t metadata_l_ea(const mdcudfsr_mount* m) {
  if (!m->metadata_efe_image) return 0;
  const uint8_t* p = m->metadata_efe_image + 208;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

int check_list(mdcudfsr_mount* m, const mdcudfsr_extent_list* list, uint32_t extra, uint32_t* need_full, int force) {
  if (need_full) *need_full = 0;
  if (!m || !list || !need_full) return KEL_EINVAL;
  const uint32_t n = mdcudfsr_extent_list_get_count(list);
  if (n == 0) {
    CACHE_LOG(WARN, "metadta extent list count 0.\n");
    return KEL_EINVAL;
  }
  const bool large = m->format_level >= 16;
  if ((large || m->medium_type == 0xF1 || m->medium_type == 0xF2) && n > m->max_metadata_ads) {
    CACHE_LOG(WARN, "Metadata AD is over %d\n", m->max_metadata_ads);
    *need_full = 1;
    return 0;
  }
  if (!large && m->medium_type != 0xF1 && m->medium_type != 0xF2) {
    const uint64_t used = uint64_t{216} + metadata_l_ea(m);
    const uint64_t room = m->logical_block_size > used ? m->logical_block_size - used : 0;
    if (room < (uint64_t{extra} + n) * 8) {
      const uint32_t dirty = m->root_node ? mdcudfsr_cache_count_cache_dirty(m->root_node) : 0;
      if (dirty || force) {
        CACHE_LOG(WARN, "find Dirty Cache Count %d\n", dirty);
        *need_full = 1;
        return 0;
      }
    }
  }
  const uint64_t replaced = uint64_t{2048} * m->replace_blk_count;
  const uint64_t len = m->metadata_main_partition_length > replaced ? m->metadata_main_partition_length - replaced : 0;
  if (len > size_limit(m)) {
    CACHE_LOG(WARN, "Metadata extent size exceeded max size. [%lld byte]\n", static_cast<long long>(len));
    *need_full = 1;
  }
  return 0;
}

}  // namespace

int mdcudfsr_cache_check_metadata_aed(mdcudfsr_mount* m, uint32_t extra, uint32_t* need_full, int force) {
  return check_list(m, m ? &m->part[MDCUDFSR_PARTITION_METADATA].list : nullptr, extra, need_full, force);
}

int mdcudfsr_cache_check_metadata_aed_newlist(mdcudfsr_mount* m, const mdcudfsr_extent_list* list, uint32_t extra,
                                              uint32_t* need_full, int force) {
  return check_list(m, list, extra, need_full, force);
}

