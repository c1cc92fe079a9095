// Partition set-up at mount: the physical partition, the metadata file and
// the metadata mirror file.
#include "kelhost/kern_errno.h"
#include "kelvfs/mdcudfsr_partitions.h"

#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvnops/mdcudfsr_volume_info.h"
#include "udf/udf_bitmap.h"
#include "udf/udf_efe.h"
#include "udf/udf_names.h"
#include "vfs_log.h"

#include <cstring>
#include <vector>

namespace {

constexpr std::uint64_t kCacheWindow = 0x50000;
constexpr std::uint32_t kWindowBlocks = 32;
constexpr std::uint32_t kMaxAeds = 15;
constexpr std::uint32_t kContinuation = 3;
constexpr std::uint32_t kMntDiskRecovery = 0x20000;
constexpr std::uint8_t kMetadataFile = 250;
constexpr std::uint8_t kMirrorFile = 251;

struct SetUp {
  mdcudfsr_mount* mnt;
  vfs_context_t ctx;
  int from_cache;
  int write_cache;
  std::vector<std::uint8_t> block;
  std::uint32_t aeds = 0;   // followed for both files together
  bool read_only = false;
  int last_error = 0;
};

std::uint64_t window_offset(const mdcudfsr_mount* mnt, std::uint32_t lbn) {
  return kCacheWindow + static_cast<std::uint64_t>(lbn % kWindowBlocks) * mnt->logical_block_size;
}

// One block of the physical partition, from the cache window or the disc.
int read_block(SetUp& s, std::uint32_t lbn) {
  mdcudfsr_mount* mnt = s.mnt;
  const std::uint32_t bs = mnt->logical_block_size;
  s.block.assign(bs, 0);
  if (s.from_cache) {
    std::uint32_t got = 0, cache_err = 0;
    int err = mdcudfsr_metacache_file_read(mnt, mnt->fsmanage_handle, window_offset(mnt, lbn), bs, s.block.data(),
                                           &got, &cache_err);
    return err ? err : (cache_err ? KEL_EIO : 0);
  }
  std::uint8_t* cluster = nullptr;
  std::uint32_t offset = 0;
  const int err = mdcudfsr_read_cluster_with_lbn(mnt, s.ctx, &cluster, {lbn, MDCUDFSR_PARTITION_PHYSICAL}, 0,
                                                 nullptr, 0, &offset);
  if (err) return err;
  if (offset > 0x10000u - bs) return KEL_EINVAL;
  std::memcpy(s.block.data(), cluster + offset, bs);
  return 0;
}

// A failed copy into the cache drops the file-system management cache.
int copy_to_cache(SetUp& s, std::uint32_t lbn) {
  if (!s.write_cache) return 0;
  mdcudfsr_mount* mnt = s.mnt;
  std::uint32_t put = 0, cache_err = 0;
  int err = mdcudfsr_metacache_file_write(mnt, mnt->fsmanage_handle, window_offset(mnt, lbn),
                                          mnt->logical_block_size, s.block.data(), &put, &cache_err);
  if (!err && cache_err) {
    VFS_LOG(KEL_LOG_ERR, "mdcudfsr_metacache_file_write success but cache write err(%d)\n",
            static_cast<int>(cache_err));
    err = KEL_EINVAL;
  }
  if (!err) return 0;
  VFS_LOG(KEL_LOG_ERR, "fs management cache write failed err:%d cache_err:%d\n", err, static_cast<int>(cache_err));
  mdcudfsr_metacache_file_close(mnt, mnt->fsmanage_handle);
  mnt->fsmanage_handle = -1;
  mdcudfsr_metacache_fsmanage_delete(mnt, nullptr);
  return err;
}

// Type-2 extents and read-only parse answers.
void note_parse(SetUp& s, std::uint32_t type2) {
  if (!type2) return;
  if (s.mnt->mount_ext_flags & kMntDiskRecovery) {
    VFS_LOG(KEL_LOG_WARN, "EFE contains type2 extent(s) - ignored for disk recovery\n");
  } else {
    VFS_LOG(KEL_LOG_WARN, "EFE contains type2 extent(s) - mount read-only\n");
    s.read_only = true;
  }
}

bool last_is_continuation(const mdcudfsr_extent_list& list) {
  return list.last && (list.last->extent.len >> 30) == kContinuation;
}

// Follows the allocation extent descriptors at the end of the entry's list.
// false when the list had to be emptied.
bool follow_aeds(SetUp& s, mdcudfsr_partition_entry& e, int number, std::uint32_t ad_type) {
  while (last_is_continuation(e.list)) {
    if (++s.aeds > kMaxAeds) {
      VFS_LOG(KEL_LOG_ERR, "metadata AED is invalid. Num=%d \n", static_cast<int>(s.aeds));
      s.read_only = true;
      return true;
    }
    // The continuation stays the list's last entry: the reader checks it and
    // takes it off itself before it appends the descriptors of the block.
    const std::uint32_t lbn = e.list.last->extent.loc.lb_num;
    int err = read_block(s, lbn);
    if (err) {
      VFS_LOG(KEL_LOG_ERR, "failed to read metadata AED. Partition=%d Status=%d\n", number, err);
    } else if ((err = copy_to_cache(s, lbn)) == 0) {
      std::uint32_t type2 = 0;
      err = mdcudfsr_read_allocation_extent_descriptor(s.mnt, s.block.data(), s.mnt->logical_block_size,
                                                       s.mnt->logical_block_size, MDCUDFSR_PARTITION_PHYSICAL,
                                                       ad_type, &e.list, &type2);
      if (err == KEL_EROFS) s.read_only = true;
      if (err == KEL_EROFS) err = 0;
      if (err) VFS_LOG(KEL_LOG_ERR, "metadata AED is invalid. Partition=%d Status=%d\n", number, err);
      note_parse(s, type2);
    }
    if (err) {
      s.last_error = err;
      mdcudfsr_extent_list_remove_all(&e.list);
      return false;
    }
  }
  return true;
}

// Every recorded extent of a metadata file lies inside the physical
// partition and, on rewritable media, before the next writable address: a
// metadata block is written before the entries that name it, and the next
// writable address follows those entries. An extent beyond either would
// be read from blocks the volume never wrote (or from past the disc).
bool extents_in_bounds(const SetUp& s, const mdcudfsr_partition_entry& e, int number) {
  const mdcudfsr_mount* mnt = s.mnt;
  const std::uint64_t bs = mnt->logical_block_size, start = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].start_sector;
  std::uint64_t end = mnt->part[MDCUDFSR_PARTITION_PHYSICAL].length / bs;
  if (mnt->is_rewritable && mnt->next_writable_address > start && mnt->next_writable_address - start < end)
    end = mnt->next_writable_address - start;
  for (const mdcudfsr_extent_entry* x = e.list.first; x; x = x->next) {
    if ((x->extent.len >> 30) >= 2) continue;  // not recorded, or a continuation
    const std::uint64_t first = x->extent.loc.lb_num, blocks = ((x->extent.len & 0x3FFFFFFFu) + bs - 1) / bs;
    if (first <= end && blocks <= end - first) continue;
    VFS_LOG(KEL_LOG_ERR, "metadata extent out of range. Partition=%d lbn=%u blocks=%llu end=%llu\n", number,
            static_cast<unsigned>(first), static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(end));
    return false;
  }
  return true;
}

// Start and length from the extents; the information length must fill them.
void settle_entry(SetUp& s, mdcudfsr_partition_entry& e) {
  if (!e.list.first) {
    e.start_sector = 0;
    e.length = 0;
    return;
  }
  e.start_sector = e.list.first->extent.loc.lb_num;
  e.first_extent_loc = e.start_sector;
  e.length = e.efe.inf_len;
  const std::uint64_t bs = s.mnt->logical_block_size;
  const std::uint64_t ad_bytes = mdcudfsr_extent_list_get_selected_length(&e.list, 0);
  if ((e.efe.inf_len + bs - 1) / bs != (ad_bytes + bs - 1) / bs) {
    VFS_LOG(KEL_LOG_ERR, "AD length is invalid. inf_len=%lu length=%lu\n", static_cast<unsigned long>(e.efe.inf_len),
            static_cast<unsigned long>(ad_bytes));
    mdcudfsr_set_mntinfo_state(s.mnt, 0, MNTSTATUS_AD_LENGTH, 0x80000u);
  }
}

// One metadata file's entry read; true when it was.
bool set_up_file(SetUp& s, int index) {
  mdcudfsr_mount* mnt = s.mnt;
  auto& e = mnt->part[index];
  const int number = index + 1;
  int err = read_block(s, e.efe_block);
  if (err) {
    VFS_LOG(KEL_LOG_ERR, "failed to read metadata EFE. Partition=%d Status=%d\n", number, err);
    s.last_error = err;
    return false;
  }
  std::uint32_t type2 = 0;
  err = mdcudfsr_read_extended_file_entry(mnt, s.block.data(), mnt->logical_block_size,
                                          MDCUDFSR_PARTITION_PHYSICAL, &e.efe, &e.list, &type2, 0);
  if (!err || err == KEL_EROFS) {
    const int cache_err = copy_to_cache(s, e.efe_block);
    if (cache_err) {
      s.last_error = cache_err;
      return false;
    }
  }
  if (err == KEL_EROFS) s.read_only = true;
  if (err && err != KEL_EROFS) {
    VFS_LOG(KEL_LOG_ERR, "metadata efe is invalid. Partition=%d Status=%d\n", number, err);
    s.last_error = err;
    return false;
  }
  note_parse(s, type2);
  if (e.efe.l_ad == 0) {
    VFS_LOG(KEL_LOG_ERR, "matadata partiton ad is invalid. Partition=%d\n", number);
    s.last_error = 22;
    return false;
  }
  if (!follow_aeds(s, e, number, e.efe.icbtag.flags & 0x7u)) return false;
  if (!extents_in_bounds(s, e, number)) {
    s.last_error = 22;
    mdcudfsr_extent_list_remove_all(&e.list);
    return false;
  }
  settle_entry(s, e);
  if (e.efe.icbtag.file_type != (index == 0 ? kMetadataFile : kMirrorFile)) s.read_only = true;
  return true;
}

// Both files lost makes the volume raw. The lengths read are the
// mount's metadata file lengths, as a rollback mount keeps them: the free
// space's metadata reserve, the integrity descriptor's size table and the
// flushes read those.
int check_lengths(SetUp& s) {
  mdcudfsr_mount* mnt = s.mnt;
  const std::uint64_t main = mnt->part[MDCUDFSR_PARTITION_METADATA].length;
  const std::uint64_t mirror = mnt->part[MDCUDFSR_PARTITION_MIRROR].length;
  mnt->metadata_main_partition_length = main;
  mnt->metadata_mirr_partition_length = mirror;
  if (main) {
    if (mirror && mirror != main)
      VFS_LOG(KEL_LOG_WARN, "Metadata file size is not identical.Main=%lld Mirror=%lld\n",
              static_cast<long long>(main), static_cast<long long>(mirror));
    return 0;
  }
  if (mirror) return 0;
  VFS_LOG(KEL_LOG_ERR, "Failed to read main and mirror metadata.\n");
  MDCFS_MOUNT_INFORMATION drive{};
  mdcudfsr_mdcfsctrl_get_volume_mount_information(mnt, &drive, s.ctx);
  VFS_LOG(KEL_LOG_ERR, "Set RawMount.\n");
  mdcudfsr_set_mntinfo_state(mnt, 2, MNTSTATUS_UNREADABLE, drive.WriteProtectReasonFlags | 0x80000u);
  return KEL_EINVAL;
}

// The physical partition as its descriptor gives it, cut to the disc's
// blocks: a partition that reaches past the disc mounts read-only, and one
// that starts past it has no block to set up.
int set_up_physical(SetUp& s) {
  mdcudfsr_mount* mnt = s.mnt;
  auto& p = mnt->part[MDCUDFSR_PARTITION_PHYSICAL];
  const std::uint32_t start = mnt->vds.pd.start_loc;
  bool cut = false;
  const std::uint32_t blocks = mdcudfsr_partition_blocks_on_disc(mnt, &cut);
  if (cut) {
    VFS_LOG(KEL_LOG_ERR, "partition past the disc. start=%u length=%u disc blocks=%u. Read Only\n", start,
            mnt->vds.pd.part_len, mnt->num_sectors);
    s.read_only = true;
    mdcudfsr_set_mntinfo_wrprot_reason(mnt, WRPROT_READONLY, 1, s.ctx);
  }
  p.start_sector = start;
  p.length = static_cast<std::uint64_t>(mnt->logical_block_size) * blocks;
  mnt->partition_blocks = blocks;
  mnt->partition_length = p.length;
  mdcudfsr_extent_list_remove_all(&p.list);
  mnt->first_physical_lsn = mdcudfsr_lbn2lsn(mnt, MDCUDFSR_PARTITION_PHYSICAL, 0, nullptr);
  if (mnt->first_physical_lsn == MDCUDFSR_INVALID_LSN) {
    VFS_LOG(KEL_LOG_ERR, "%s\n", "mdcudfsrmp->first_physical_lsn != INVALID_LSN");
    return KEL_EINVAL;
  }
  return 0;
}

void prepare_files(mdcudfsr_mount* mnt) {
  const auto& map = mnt->vds.pmap.type2_metadata;
  const std::uint32_t locs[2] = {map.file_loc, map.mirror_file_loc};
  for (int i = 0; i < 2; ++i) {
    auto& e = mnt->part[i];
    e.efe_block = locs[i];
    e.alloc_unit_size = map.alloc_unit_size;
    e.align_unit_size = map.align_unit_size;
    e.length = 0;
    e.start_sector = 0;
    mdcudfsr_extent_list_remove_all(&e.list);
  }
  mnt->metadata_file_loc = map.file_loc;
  mnt->metadata_mirror_loc = map.mirror_file_loc;
}

}  // namespace

int mdcudfsr_init_partitions(mdcudfsr_mount* mnt, vfs_context_t ctx, int from_cache, int write_cache) {
  VFS_ENTER();
  if (!mnt || mnt->logical_block_size == 0 || mnt->logical_block_size > 0x10000) return KEL_EINVAL;
  SetUp s{mnt, ctx, from_cache, write_cache, {}};
  int err = set_up_physical(s);
  const bool disc_loaded = mnt->loaded_slot != 0xFF;
  if (!err && mnt->is_rewritable && disc_loaded) mdcudfsr_read_usb(mnt, ctx);
  if (!err) {
    prepare_files(mnt);
    const bool main_ok = set_up_file(s, MDCUDFSR_PARTITION_METADATA);
    s.last_error = 0;  // only the mirror's failure counts from here
    const bool mirror_ok = set_up_file(s, MDCUDFSR_PARTITION_MIRROR);
    if (s.last_error && main_ok && !mirror_ok) {
      VFS_LOG(KEL_LOG_WARN, "Metadata Main FE ok,Mirror FE error.\n");
      s.last_error = 0;
    }
    err = check_lengths(s);
    if (!err) err = s.last_error;
  }
  if (err != KEL_EINVAL && mnt->is_rewritable && disc_loaded) {
    mdcudfsr_read_metadata_bmp(mnt, ctx);
    err = s.read_only ? KEL_EROFS : 0;
  } else if (!err && s.read_only) {
    err = KEL_EROFS;
  }
  VFS_EXIT(err);
  return err;
}
