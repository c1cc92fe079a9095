// A mount at a rollback point: the metadata file and its mirror placed where
// the rollback point's metadata file entry lies, read with their allocation
// extent descriptors, the file set descriptor found in them, and the volume
// marked write-protected. Also the copy of the staged descriptor images into
// the file-system management cache file.
#include "cache_internal.h"
#include "kelcache/cache_flush.h"

#include "drive/cm_data.h"
#include "kelagent/metacache.h"
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_disc_change.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvnops/mdcudfsr_volume_info.h"
#include "udf/udf_efe.h"
#include "udf/udf_names.h"
#include "udf/udf_neighbour_calls.h"

#include "kel/mdcfs.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace kelcache;

namespace {

constexpr uint32_t kMaxAeds = 15;
constexpr uint32_t kDiskRecovery = 0x20000;
constexpr uint32_t kRollbackRequested = 0x20;
constexpr uint8_t kMetadataFile = 250;
constexpr uint8_t kMirrorFile = 251;
constexpr uint32_t kNone = 0xFFFFFFFFu;

struct Rollback {
  mdcudfsr_mount* m;
  vfs_context_t ctx;
  std::vector<uint8_t> block;
  bool read_only = false;
  int status = 0;
  uint32_t aeds = 0;
  bool failed[2] = {true, true};
};

uint32_t below_or(uint32_t lsn, uint32_t p) { return lsn < p ? kNone : lsn - p; }

// A block of the physical partition through the cluster reader.
int read_block(Rollback& r, uint32_t lbn) {
  const uint32_t b = r.m->logical_block_size;
  r.block.assign(b, 0);
  uint8_t* cluster = nullptr;
  uint32_t offset = 0;
  const int err = mdcudfsr_read_cluster_with_lbn(r.m, r.ctx, &cluster, {lbn, MDCUDFSR_PARTITION_PHYSICAL}, 0,
                                                 nullptr, 0, &offset);
  if (err) return err;
  if (!cluster || offset > 0x10000u - b) return KEL_EINVAL;
  std::memcpy(r.block.data(), cluster + offset, b);
  return 0;
}

void note_type2(Rollback& r, uint32_t type2) {
  if (!type2) return;
  if (r.m->mount_ext_flags & kDiskRecovery) {
    CACHE_LOG(WARN, "EFE contains type2 extent(s) - ignored for disk recovery\n");
  } else {
    CACHE_LOG(WARN, "EFE contains type2 extent(s) - mount read-only\n");
    r.read_only = true;
  }
}

// The file set descriptor's block in the metadata partition. f is the
// rollback point's descriptor (rollback_fsd_lsn) as a block of the physical
// partition; the result is the blocks of the extents before the one holding
// f, plus f's place in that extent.
void find_fsd(Rollback& r, const mdcudfsr_extent_list& list) {
  const uint32_t f = below_or(r.m->rollback_fsd_lsn, r.m->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector);
  if (f == kNone) return;
  uint64_t before = 0;
  for (const mdcudfsr_extent_entry* e = list.first; e; e = e->next) {
    const uint64_t blocks = EXTENT_LENGTH(e->extent.len) / r.m->logical_block_size;
    const uint32_t loc = e->extent.loc.lb_num;
    if (EXTENT_FLAGS(e->extent.len) != EXTENT_FLAGS_NEXT_EXTENT && loc <= f && f < loc + blocks) {
      r.m->fsd_loc = static_cast<uint32_t>(before + (f - loc));
      return;
    }
    before += blocks;
  }
}

// The chain of allocation extent descriptors.
void follow_aeds(Rollback& r, mdcudfsr_partition_entry& e, int number) {
  const uint32_t ad_type = e.efe.icbtag.flags & 7u;
  while (e.list.last && EXTENT_FLAGS(e.list.last->extent.len) == EXTENT_FLAGS_NEXT_EXTENT) {
    if (r.aeds > kMaxAeds - 1) {
      CACHE_LOG(ERR, "metadata AED is invalid. Num=%d \n", static_cast<int>(r.aeds + 1));
      r.read_only = true;
      r.status = KEL_EROFS;
      return;
    }
    ++r.aeds;
    int err = read_block(r, e.list.last->extent.loc.lb_num);
    if (err) {
      CACHE_LOG(WARN, "failed to read metadata AED. Partition=%d Status=%d\n", number, err);
    } else {
      uint32_t type2 = 0;
      err = mdcudfsr_read_allocation_extent_descriptor(r.m, r.block.data(), r.m->logical_block_size,
                                                       r.m->logical_sector_size, MDCUDFSR_PARTITION_PHYSICAL, ad_type,
                                                       &e.list, &type2);
      note_type2(r, type2);
      if (err == KEL_EROFS) r.read_only = true, err = 0;
      if (err) CACHE_LOG(WARN, "metadata AED is invalid. Partition=%d Status=%d\n", number, err);
    }
    if (err) {
      mdcudfsr_extent_list_remove_all(&e.list);
      return;
    }
  }
}

// Start and size from the extents.
void settle(Rollback& r, mdcudfsr_partition_entry& e) {
  if (!e.list.first) {
    e.first_extent_loc = 0;
    e.length = 0;
    return;
  }
  e.first_extent_loc = e.list.first->extent.loc.lb_num;
  e.length = e.efe.inf_len;
  const uint64_t b = r.m->logical_block_size;
  const uint64_t ads = mdcudfsr_extent_list_get_selected_length(&e.list, 0);
  if ((e.efe.inf_len + b - 1) / b != (ads + b - 1) / b) {
    CACHE_LOG(ERR, "AD length is invalid. inf_len=%lu length=%lu\n", static_cast<unsigned long>(e.efe.inf_len),
              static_cast<unsigned long>(ads));
    mdcudfsr_set_mntinfo_state(r.m, 0, MNTSTATUS_AD_LENGTH, 0x80000u);
  }
}

// One metadata file's entry and extents; 22 when the main entry is the
// mirror's in mode 1.
int set_up_file(Rollback& r, int index, int mode) {
  mdcudfsr_partition_entry& e = r.m->part[index];
  const int number = index + 1;
  int err = e.efe_block == kNone ? KEL_EINVAL : read_block(r, e.efe_block);
  if (err) {
    CACHE_LOG(WARN, "failed to read metadata EFE. Partition=%d Status=%d\n", number, err);
    return 0;
  }
  uint32_t type2 = 0;
  err = mdcudfsr_read_extended_file_entry(r.m, r.block.data(), r.m->logical_sector_size, MDCUDFSR_PARTITION_PHYSICAL,
                                          &e.efe, &e.list, &type2, 0);
  if (!err || err == KEL_EROFS) find_fsd(r, e.list);
  note_type2(r, type2);
  if (err == KEL_EROFS) r.read_only = true;
  if (err && err != KEL_EROFS) {
    CACHE_LOG(WARN, "metadata efe is invalid. Partition=%d Status=%d\n", number, err);
    return 0;
  }
  if (!e.list.first) {
    CACHE_LOG(WARN, "matadata partiton ad is invalid. Partition=%d\n", number);
    return 0;
  }
  follow_aeds(r, e, number);
  // Descriptors the chain added may hold the descriptor too.
  find_fsd(r, e.list);
  settle(r, e);
  const uint8_t type = e.efe.icbtag.file_type;
  if (index == 0 && mode == 1 && type == kMirrorFile) return KEL_EINVAL;
  r.failed[index] = false;
  if (type != (index == 0 ? kMetadataFile : kMirrorFile)) r.read_only = true;
  if ((r.m->mount_ext_flags & kRollbackRequested) && (type == kMetadataFile || type == kMirrorFile)) {
    r.m->rollback_version[0] = e.efe.imp_id.id_suffix[2];
    r.m->rollback_version[1] = e.efe.imp_id.id_suffix[3];
  }
  return 0;
}

// The physical partition and the two files' places.
int place_files(Rollback& r, int mode) {
  mdcudfsr_mount* m = r.m;
  auto& phys = m->part[MDCUDFSR_PARTITION_PHYSICAL];
  phys.start_sector = m->vds.pd.start_loc;
  bool cut = false;
  const uint32_t blocks = mdcudfsr_partition_blocks_on_disc(m, &cut);
  if (cut) {
    CACHE_LOG(ERR, "partition past the disc. start=%u length=%u disc blocks=%u\n", phys.start_sector,
              m->vds.pd.part_len, m->num_sectors);
    if (!blocks) return KEL_EINVAL;
    r.read_only = true;
  }
  phys.length = uint64_t{m->logical_block_size} * blocks;
  mdcudfsr_extent_list_remove_all(&phys.list);
  m->first_physical_lsn = mdcudfsr_lbn2lsn(m, MDCUDFSR_PARTITION_PHYSICAL, 0, nullptr);
  if (m->first_physical_lsn == MDCUDFSR_INVALID_LSN) {
    CACHE_LOG(ERR, "%s\n", "mdcudfsrmp->first_physical_lsn != INVALID_LSN");
    return KEL_EINVAL;
  }
  const uint32_t p = m->first_physical_lsn, fe = m->rollback_fe_lsn;
  if (fe < p) {
    CACHE_LOG(ERR, "rollback Metadata FE NG, 0x%x < 0x%x \n", fe, p);
    return KEL_EINVAL;
  }
  if (m->rollback_fsd_lsn < p) {
    CACHE_LOG(ERR, "rollback FSD_LSN NG, 0x%x < 0x%x \n", m->rollback_fsd_lsn, p);
    return KEL_EINVAL;
  }
  const uint32_t start = phys.start_sector;
  const uint32_t main_loc = mode ? below_or(fe, start) : (fe < 16 ? kNone : below_or(fe - 16, start));
  const uint32_t mirror_loc = mode ? (fe > 0xFFFFFFFFu - 16 ? kNone : below_or(fe + 16, start)) : below_or(fe, start);
  auto& map = m->vds.pmap.type2_metadata;
  map.file_loc = main_loc;
  map.mirror_file_loc = mirror_loc;
  const uint32_t locs[2] = {main_loc, mirror_loc};
  for (int i = 0; i < 2; ++i) {
    auto& e = m->part[i];
    e.efe_block = locs[i];
    e.alloc_unit_size = map.alloc_unit_size;
    e.align_unit_size = map.align_unit_size;
    mdcudfsr_extent_list_remove_all(&e.list);
    e.length = 0;
  }
  m->metadata_file_loc = main_loc;
  m->metadata_mirror_loc = mirror_loc;
  return 0;
}

// The volume is write-protected; a newer writer makes it read-only.
void mark_write_protected(Rollback& r) {
  mdcudfsr_mount* m = r.m;
  if (m->mount_ext_flags & (0x02 | 0x40)) return;
  MDCFS_MOUNT_INFORMATION info{};
  mdcudfsr_mdcfsctrl_get_volume_mount_information(m, &info, r.ctx);
  mdcudfsr_set_mntinfo_wrprot_reason(m, info.WriteProtectReasonFlags | 0x80000u, 0, r.ctx);
  m->mntinfo.WriteProtectReasonFlags |= WRPROT_ROLLBACK;
  if (r.failed[0]) return;
  const uint8_t* iu = m->part[MDCUDFSR_PARTITION_METADATA].efe.imp_id.id_suffix + 2;
  if (iu[0] > 12 || (!(m->lvid.integrity_type & 1) && iu[1] > 2)) m->mntinfo.MountStatus |= 0x80000100u;
}

}  // namespace

int mdcudfsr_init_partitions_rollback(mdcudfsr_mount* m, vfs_context_t ctx, int mode) {
  if (!m || m->logical_block_size == 0 || m->logical_block_size > 0x10000) return KEL_EINVAL;
  Rollback r{m, ctx, {}};
  if ((m->rollback_slot & 0xFF) != m->loaded_slot) {
    std::lock_guard<std::mutex> lk(m->slot_mutex);
    const int err = mdcudfsr_disc_change(m, m->rollback_slot & 0xFF, 0, ctx, 1);
    if (err) {
      CACHE_LOG(ERR, "disc change fail %d \n", err);
      return err;
    }
  }
  int err = place_files(r, mode);
  if (err) return err;
  for (int i = 0; i < 2; ++i)
    if ((err = set_up_file(r, i, mode)) != 0) return err;
  if (r.status && !r.failed[0] && r.failed[1]) {
    CACHE_LOG(ERR, "Metadata Main FE ok,Mirror FE error.\n");
    r.status = 0;
  }
  const uint64_t main_len = m->part[0].length, mirr_len = m->part[1].length;
  if (!main_len && !mirr_len) {
    CACHE_LOG(ERR, "Failed to read main and mirror metadata.\n");
    m->mntinfo.WriteProtectReasonFlags |= 0x80000u;
    m->mntinfo.MountStatus = MNTSTATUS_UNREADABLE;
    return KEL_EINVAL;
  }
  if (main_len && mirr_len && main_len != mirr_len)
    CACHE_LOG(WARN, "Metadata file size is not identical.Main=%lld Mirror=%lld\n", static_cast<long long>(main_len),
              static_cast<long long>(mirr_len));
  m->metadata_main_partition_length = main_len;
  m->metadata_mirr_partition_length = mirr_len;
  mark_write_protected(r);
  return r.status ? r.status : (r.read_only ? KEL_EROFS : 0);
}

namespace {

constexpr uint32_t kImage = 0x10000;

// One 64 KiB area of the management cache file; a failure drops the file.
void put_area(mdcudfsr_mount* m, uint64_t offset, const uint8_t* data, vfs_context_t ctx) {
  if (m->fsmanage_handle == -1) return;
  uint32_t done = 0, cache_err = 0;
  const int err = mdcudfsr_metacache_file_write(m, m->fsmanage_handle, offset, kImage, data, &done, &cache_err);
  if (!err && !cache_err) return;
  CACHE_LOG(ERR, "mdcudfsr_metacache_file_write failed. err:%d \n", err ? err : static_cast<int>(cache_err));
  mdcudfsr_drop_fsmanage_cache(m, ctx);
}

}  // namespace

int mdcudfsr_flush_descriptor_to_fscache_file(mdcudfsr_mount* m, vfs_context_t ctx) {
  if (!m) return 0;
  uint8_t** images[3] = {&m->vds_cache_image[0], &m->lvid_cache_image, &m->metadata_efe_image};
  const uint64_t offsets[3] = {0x30000, 0x40000, 0x50000};
  for (int i = 0; i < 3; ++i) {
    if (!*images[i]) continue;
    put_area(m, offsets[i], *images[i], ctx);
    std::free(*images[i]);
    *images[i] = nullptr;
  }
  auto* id = static_cast<uint8_t*>(std::calloc(1, kImage));
  if (!id) {
    if (m->fsmanage_handle != -1) mdcudfsr_metacache_file_close(m, m->fsmanage_handle);
    m->fsmanage_handle = -1;
    return 0;
  }
  // The 1500h value of the cartridge-memory cache: the agent's coherence
  // check compares it with the cartridge at the next mount.
  std::memcpy(id, m->attr_record + MDCUDFSR_CM_CACHE_OFFSET + cm_attr::k1500Value, 128);
  id[0x8000] = 2;
  put_area(m, 0, id, ctx);
  std::free(id);
  return 0;
}
