// The local metadata cache file and the EFE cache file: their names (from
// the medium identifier of cartridge-memory attribute 0401H), the open and
// delete of the local file through the cache agent, and the zone map of a
// node.
#include "cache_internal.h"

#include "kelagent/metacache.h"
#include "kelhost/kern_errno.h"
#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"

#include <cstdio>
#include <cstring>

using namespace kelcache;

namespace {

constexpr uint32_t kIoctlMediumSerial = 0x400155FF;

// The medium identifier, trimmed; empty when the attribute cannot be read.
void medium_identifier(mdcudfsr_mount* m, vfs_context_t ctx, char out[33]) {
  char serial[32] = {};
  if (VNOP_IOCTL(m->devvp, kIoctlMediumSerial, serial, 0, ctx) != 0) {
    CACHE_LOG(WARN, "failed to read attribute[ID:0401H].\n");
    std::memset(serial, 0, sizeof serial);
  }
  mdcudfsr_metacache_trim_serial(serial);
  std::memcpy(out, serial, 32);
  out[32] = '\0';
}

}  // namespace

int mdcudfsr_cache_create_local_fs_cache_name(mdcudfsr_mount* m, char* buffer, uint32_t length, vfs_context_t ctx) {
  char id[33];
  medium_identifier(m, ctx, id);
  timespec now{};
  nanotime(&now);
  timestamp t{};
  mdcudfsr_timespec2udftime(m, &now, &t, 1);
  char stamp[18];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d%03d", t.year % 10000, t.month % 100, t.day % 100,
                t.hour % 100, t.minute % 100, t.second % 100, t.centisec % 1000);
  strlcpy(buffer, id, length);
  strlcat(buffer, "_", length);
  strlcat(buffer, stamp, length);
  return 0;
}

int mdcudfsr_cache_local_cache_open(mdcudfsr_mount* m, uint32_t mode, vfs_context_t ctx) {
  char name[MDCUDFSR_LOCAL_CACHE_NAME_SIZE] = {};
  mdcudfsr_cache_create_local_fs_cache_name(m, name, sizeof name, ctx);
  int32_t handle = -1;
  uint32_t cache_err = 0;
  const int err = mdcudfsr_metacache_localfile_open(m, name, mode, &handle, &cache_err);
  if (err) {
    CACHE_LOG(ERR, "mdcudfsr_meta_cache_open error %d\n", err);
    return err;
  }
  if (cache_err) {
    CACHE_LOG(ERR, "mdcudfsr_meta_cache_open error %d\n", 0);
    return KEL_EIO;
  }
  std::memcpy(m->local_cache_name[0], name, sizeof name);
  m->local_cache_handles[0] = handle;
  return 0;
}

int mdcudfsr_cache_local_fs_cache_del(mdcudfsr_mount* m, int force) {
  if (m->local_cache_handles[0] == -1) return 0;
  int err = mdcudfsr_metacache_file_close(m, m->local_cache_handles[0]);
  if (err && !force) {
    CACHE_LOG(WARN, "Fs Local Cache Close failed. Status = %d\n", err);
    return err;
  }
  m->local_cache_handles[0] = -1;
  uint32_t cache_err = 0;
  err = mdcudfsr_metacache_file_delete(m, m->local_cache_name[0], &cache_err);
  if (err || cache_err) {
    CACHE_LOG(ERR, "Fs Local Cache Delete err. err = %d cache_err = %d\n", err, static_cast<int>(cache_err));
    if (force) std::memset(m->local_cache_name[0], 0, sizeof m->local_cache_name[0]);
    // A refusal of the agent is a failure even when the request went through.
    return err ? err : KEL_EIO;
  }
  std::memset(m->local_cache_name[0], 0, sizeof m->local_cache_name[0]);
  return 0;
}

int mdcudfsr_cache_create_EFE_cache_name(mdcudfsr_mount* m, char* buffer, uint32_t length, vfs_context_t ctx) {
  char id[33];
  medium_identifier(m, ctx, id);
  const uint32_t zone = (m->loaded_slot << 26) | (((m->metadata_file_loc + 4096) >> 5) & 0x3FFFFFF);
  char zone_text[9];
  std::snprintf(zone_text, sizeof zone_text, "%08x", zone);
  strlcat(buffer, "../EFECache/", length);
  strlcat(buffer, id, length);
  strlcat(buffer, "_#", length);
  strlcat(buffer, zone_text, length);
  return 0;
}

namespace {

// The zone of a recorded extent, 0 when it has none or lies outside the slots.
uint32_t zone_of(const mdcudfsr_extent_entry* e, uint32_t slots) {
  const uint32_t z = e->extent.loc.part_num;
  return (z == 0xFFFF || z == 0 || z > slots) ? 0 : z;
}
bool recorded(const mdcudfsr_extent_entry* e) { return EXTENT_FLAGS(e->extent.len) == EXTENT_FLAGS_RECORDED; }

uint16_t zone_map(mdcudfsr_cache_node* n) {
  if (mdcudfsr_is_dir(n) || !n->udf_data) return 0;
  const uint32_t slots = n->mdcudfsrmp ? n->mdcudfsrmp->num_discs : 0;
  const mdcudfsr_extent_entry* first = n->udf_data->extents.first;
  while (first && !recorded(first)) first = first->next;
  const mdcudfsr_extent_entry* last = n->udf_data->extents.last;
  while (last && !recorded(last)) last = last->prev;
  if (!first || !last) return 0;
  const uint32_t a = zone_of(first, slots), b = zone_of(last, slots);
  if (!a || !b || a > 16) return 0;
  uint32_t map = 0;
  for (uint32_t z = a; z <= b && z <= 16; ++z) map |= 1u << (z - 1);
  return static_cast<uint16_t>(map | (1u << (a - 1)));
}

}  // namespace

uint16_t mdcudfsr_cache_update_zoneid_map(mdcudfsr_cache_node* n) {
  if (!n) return 0;
  const uint16_t map = zone_map(n);
  n->disc_mask = map;
  CACHE_LOG(INFO, "update zoneid map [%s] type:%d map:0x%04x\n", name_of(n), static_cast<int>(n->kind), map);
  return map;
}
