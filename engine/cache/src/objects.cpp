// Object counts of a volume: the limit of the medium, the counts of file and
// directory nodes, the free capacity and the capacity held back.
#include "cache_internal.h"
#include "kelhost/kern_errno.h"

using namespace kelcache;

namespace {

// The object limit of a medium type; 0 for a type outside the table.
uint32_t object_limit(const mdcudfsr_mount* m) {
  const uint32_t t = m->medium_type;
  const bool known = t == 0xF2 || t == 0xF1 || t == 0x53 || (t >= 0xE1 && t <= 0xE8);
  if (!known) return 0;
  if (m->format_level >> 4) return 240000;
  if (t == 0xF2) return 800000;
  if (t == 0xF1) return 480000;
  return 60000;
}

}  // namespace

int mdcudfsr_cache_get_object_count(mdcudfsr_mount* mnt, int kind, uint32_t* num_files, uint32_t* num_dirs) {
  *num_files = 0;
  *num_dirs = 0;
  if (mnt && (kind == 1 || kind == 2 || kind == 4)) {
    *num_files = mnt->nfiles;
    *num_dirs = mnt->ndirs;
  }
  return 0;
}

int mdcudfsr_cache_get_max_object_count(mdcudfsr_mount* mnt, uint32_t, uint32_t* max_files, uint32_t* max_dirs) {
  const uint32_t limit = object_limit(mnt);
  *max_files = limit;
  *max_dirs = limit;
  return limit ? 0 : KEL_EROFS;
}

int mdcudfsr_cache_get_free_object_count(mdcudfsr_mount* mnt, int include_reserved, uint32_t* num_free) {
  uint32_t files = 0, dirs = 0;
  const int err = mdcudfsr_cache_get_object_count(mnt, 1, &files, &dirs);
  if (err) {
    CACHE_LOGK(ERR, "err=%d\n", err);
    return err;
  }
  const char* vol = volume_name(mnt);
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d medium=%d num_files=%d num_dirs=%d\n", vol, tid32(), __func__, __LINE__,
              static_cast<int>(mnt->medium_type), static_cast<int>(files), static_cast<int>(dirs));
  const uint32_t limit = object_limit(mnt);
  int64_t free_count = limit ? static_cast<int64_t>(limit) - files - dirs : 0;
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d num free files/dirs=%d\n", vol, tid32(), __func__, __LINE__,
              static_cast<int>(free_count));
  if (include_reserved) free_count -= static_cast<int64_t>(mnt->reserved_files) + mnt->reserved_dirs;
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d num free files/dirs=%d (include_reserved_objects=%s)\n", vol, tid32(),
              __func__, __LINE__, static_cast<int>(free_count), include_reserved ? "TRUE" : "FALSE");
  *num_free = free_count > 0 ? static_cast<uint32_t>(free_count) : 0;
  CACHE_TRACE(3, 3, "[%s](tid=%08x) %s:%d num free files/dirs=%d (err=%d)\n", vol, tid32(), __func__, __LINE__,
              static_cast<int>(*num_free), 0);
  return 0;
}

int mdcudfsr_cache_set_reserved_object_count(mdcudfsr_mount* mnt, uint32_t files, uint32_t dirs) {
  mnt->reserved_files = files;
  mnt->reserved_dirs = dirs;
  return 0;
}
