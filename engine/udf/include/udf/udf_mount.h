// The mount-private record of a mounted volume, with the fields that the UDF
// structure code reads and writes.
//
// The UDF fields live in mdcudfsr_udf_fields; mdcudfsr_mount derives from it.
// The volume operations own the record and complete it with their own fields:
// their definition of mdcudfsr_mount takes mdcudfsr_udf_fields as its base
// and replaces the plain one below.
#pragma once

#include "udf/udf_extent.h"
#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"
#include "kel/mdcfs.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>


// Mount status values and write-protect reasons used by the UDF code.
constexpr uint32_t MNTINFO_NOT_FORMATTED = 0x80000010u;
constexpr uint32_t MNTINFO_STRUCTURE_UNREADABLE = 0x80000030u;
constexpr uint32_t MNTINFO_RULES_BROKEN = 0x80000100u;
constexpr uint32_t MNTINFO_ANCHOR_INVALID = 0x80000200u;
constexpr uint32_t MNTINFO_ACCESS_REFUSED = 2;
constexpr uint32_t WRPROT_READONLY = 0x80000u;
constexpr uint32_t WRPROT_IMPLEMENTATION = 0x200u;
constexpr uint32_t WRPROT_SERIAL_UNREADABLE = 0x4000u;

// mount_ext_flags bits used here.
constexpr uint32_t MNT_EXT_ROLLBACK_REQUESTED = 0x20u;
constexpr uint32_t MNT_EXT_ROLLBACK_MOUNT = 0x80u;
constexpr uint32_t MNT_EXT_PVD_READONLY = 0x400u;

// Slot codes of mdcudfsr_disc_change.
constexpr uint32_t SLOT_KEEP_LOADED = 0x99u;
constexpr uint32_t SLOT_LAST_WRITTEN = 0xFFu;

// Size of the cartridge-memory attribute record.
constexpr uint32_t MDCUDFSR_ATTRIBUTE_RECORD_SIZE = 472;

// Type-1 partition maps the mount keeps (one per slot of a cartridge).
constexpr uint32_t MDCUDFSR_MAX_TYPE1_MAPS = 12;

// A mutex that knows its owner, so a routine whose caller must hold it can
// check that in debug builds. Usable with std::lock_guard and
// std::unique_lock.
class mdcudfsr_owned_mutex {
 public:
  void lock() {
    m_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  bool try_lock() {
    if (!m_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void unlock() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    m_.unlock();
  }
  bool held_by_this_thread() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

 private:
  std::mutex m_;
  std::atomic<std::thread::id> owner_{};
};

// The descriptor copies of the volume descriptor sequence, in host order.
struct mdcudfsr_vds_copies {
  pri_vol_desc pvd;
  imp_use_vol_desc iuvd;
  part_desc pd;
  logvol_desc lvd;  // first 440 bytes
  struct {
    part_map_metadata type2_metadata;
    part_map_type1 type1[MDCUDFSR_MAX_TYPE1_MAPS];
    uint32_t type1_count;
  } pmap;
  union {
    unalloc_space_desc usd;
    uint8_t usd_block[UDF_USD_BLOCK_SIZE];
  };
};

// A partition entry of the mount: 0 the metadata file, 1 its mirror, 2 the
// physical partition.
struct mdcudfsr_partition_entry {
  uint32_t start_sector = 0;
  uint64_t length = 0;  // bytes; 0: the entry is not valid
  mdcudfsr_extent_list list;
  // Metadata file and mirror only.
  extended_file_entry efe{};  // the file's entry, host order
  uint32_t efe_block = 0;
  uint32_t alloc_unit_size = 0;
  uint16_t align_unit_size = 0;
  uint32_t first_extent_loc = 0;
};

constexpr uint32_t MDCUDFSR_PARTITION_METADATA = 0;
constexpr uint32_t MDCUDFSR_PARTITION_MIRROR = 1;
constexpr uint32_t MDCUDFSR_PARTITION_PHYSICAL = 2;
// Entries of the free space table: 0 the metadata partition, slot + 1 a disc.
constexpr uint32_t MDCUDFSR_MAX_PARTITIONS = 13;
constexpr uint32_t MDCUDFSR_IMAGE_SIZE = 0x10000;

struct mdcudfsr_udf_fields {
  vnode_t devvp = nullptr;
  uint32_t mount_ext_flags = 0;
  uint32_t logical_sector_size = 2048;
  uint32_t logical_block_size = 2048;
  uint32_t num_sectors = 0;  // sectors of the loaded medium
  uint32_t medium_type = 0;
  uint32_t is_rewritable = 0;
  uint8_t format_level = 0;           // 2, or 0x12 for the extended volume type
  uint8_t desc_write_check_mode = 0;  // 2: compare images with the medium first
  // A SYNCHRONIZE CACHE failed and no good one came since: what the drive
  // shows may still be its cache, or the medium after a loss of power.
  std::atomic<uint32_t> sync_owed{0};

  alignas(8) anchor_vdp avdp{};
  alignas(8) mdcudfsr_vds_copies vds{};
  uint8_t logvol_id[128]{};  // current volume label

  // Working metadata file and mirror locations (blocks of the partition).
  uint32_t metadata_file_loc = 0;
  uint32_t metadata_mirror_loc = 0;

  uint32_t next_writable_address = 0;
  uint32_t num_discs = 0;
  uint32_t loaded_slot = 0;   // 0xFF: the last written slot
  uint32_t current_disc = 0;  // the last written slot
  std::mutex slot_mutex;
  uint32_t recorded_vuvi_fe_loc = 0;  // 0: none

  MDCFS_MOUNT_INFORMATION mntinfo{};
  // Attribute update mask of the cartridge-memory record: bit k marks
  // attribute k changed (0x080: attribute 1500h, which holds the VUVI value).
  uint32_t attr_update_mask = 0;
  uint32_t vds_repaired = 0;

  int32_t fsmanage_handle = -1;
  // Last flushed descriptor sequence images kept for the management cache
  // file: one 64 KiB image on write-once media, two units on rewritable media.
  uint8_t* vds_cache_image[2] = {nullptr, nullptr};

  // ---- integrity descriptor
  // Taken before slot_mutex. Volume flushes that write the integrity
  // descriptor take it first, then the slot mutex.
  mdcudfsr_owned_mutex lvid_mutex;
  union {
    logvol_integrity_desc lvid;  // host order
    uint8_t lvid_block[2048];
  };
  uint64_t next_unique_id = 0;
  uint8_t* lvid_cache_image = nullptr;  // 64 KiB image kept for the management cache file
  uint32_t system_guard = 0;            // non-zero: no disc changes
  uint32_t coherency_refreshed = 0;
  uint32_t lvid_flush_in_progress = 0;
  // A write of the descriptor that no good SYNCHRONIZE CACHE confirmed: the
  // drive may have lost its block (a medium error loses what its cache
  // held), so the medium may hold no descriptor at all until it is written
  // again. Set by a failed change of the integrity type, which keeps the
  // type the medium had; cleared once a write is confirmed.
  uint32_t lvid_unconfirmed = 0;
  // The copy of the descriptor sequences (1 main, 2 reserve; 0 none) whose
  // last write no good SYNCHRONIZE CACHE confirmed: the next flush writes
  // it first and touches the other copy only once it is confirmed.
  uint32_t vds_copy_unconfirmed = 0;
  // Metadata changed since the last flush: set by every change that goes
  // through the integrity-type setter (the first one writes the descriptor
  // open) and by a full flush asked for by the host; sync, unmount and the
  // flush control flush only while it is set, the volume information shows
  // it as the dirty bit, and a successful flush or a backtrack clears it.
  uint32_t metadata_changed = 0;
  uint32_t cache_mirroring_suspended = 0;
  uint32_t free_space[MDCUDFSR_MAX_PARTITIONS] = {};
  uint64_t partition_length = 0;        // physical partition, bytes
  uint32_t partition_blocks = 0;
  uint8_t rollback_mode = 0;
  uint8_t rollback_version[2] = {};     // format and repair version bytes of the rollback point
  uint8_t svg_status = 0;               // cartridge SVG status byte of the metadata file's entry
  uint32_t first_physical_lsn = 0;

  // ---- file set descriptor
  fileset_desc fsd{};
  uint32_t fsd_loc = 0;
  uint32_t fsd_relocation = 0;  // the metadata and descriptor flushes relocate the descriptor
  uint32_t fsd_new_loc = MDCUDFSR_INVALID_LBN;  // physical metadata block of the last written copy

  // ---- metadata partition
  mdcudfsr_partition_entry part[3];
  uint64_t metadata_main_partition_length = 0;
  uint64_t metadata_mirr_partition_length = 0;
  uint32_t metadata_block_count = 0;  // allocation cursor; 0xFFFFFFFF: no space
  uint32_t replace_blk_count = 0;
  uint32_t remap_count = 0;
  uint32_t remap_off = 0;
  uint32_t metadata_nwa = 0;
  uint32_t max_metadata_ads = 0;
  uint32_t metadata_efe_aed_count = 0;  // allocation extent descriptors of the metadata files
  uint32_t flushAllMetadata = 0;
  uint32_t metadata_allocating = 0;     // sizing pass: the writers write nothing
  extended_file_entry metadata_bitmap_efe{};
  uint8_t* metadata_efe_image = nullptr;  // 64 KiB: main entry at block 0, mirror at 16
  int32_t local_cache_handles[2] = {-1, -1};
  // The root node's UDF part (set by the node cache together with its root).
  struct mdcudfsr_udf_node_fields* udf_root = nullptr;
  char local_cache_name[2][52] = {};  // names of the local metadata cache files

  mdcudfsr_udf_fields();
  ~mdcudfsr_udf_fields();
  mdcudfsr_udf_fields(const mdcudfsr_udf_fields&) = delete;
  mdcudfsr_udf_fields& operator=(const mdcudfsr_udf_fields&) = delete;
};

// The whole record is the volume code's; it builds on the fields above.
#include "kelvfs/mdcudfsr_mount.h"

// The slot whose structures are expected: the loaded slot, or the last
// written slot while the loaded slot is 0xFF.
uint32_t mdcudfsr_expected_slot(const mdcudfsr_mount* mnt);

// The volume status byte of the mount information, for the session bit that
// the writer, request and timer threads change concurrently (each holding
// only its own node's lock): every change of that bit and every read that
// decides on it goes through this view, as one atomic operation. The byte
// keeps its place in the record.
inline std::atomic_ref<uint8_t> mdcudfsr_volume_status(mdcudfsr_udf_fields* mnt) {
  return std::atomic_ref<uint8_t>(mnt->mntinfo.VolumeStatus);
}
