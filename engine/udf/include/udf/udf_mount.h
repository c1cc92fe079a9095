// The mount-private record of a mounted volume, with the fields that the UDF
// structure code reads and writes.
//
// The UDF fields live in mdcudfsr_udf_fields; mdcudfsr_mount derives from it.
// The volume operations own the record and complete it with their own fields:
// their definition of mdcudfsr_mount takes mdcudfsr_udf_fields as its base
// and replaces the plain one below.
#pragma once

#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"
#include "kel/mdcfs.h"

#include <cstdint>
#include <mutex>


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
  uint32_t mntinfo_changed = 0;  // the mount information changed since it was last published
  // Attribute update mask of the cartridge-memory record: bit k marks
  // attribute k changed (0x080: attribute 1500h, which holds the VUVI value).
  uint32_t attr_update_mask = 0;
  uint32_t vds_repaired = 0;

  int32_t fsmanage_handle = -1;
  // Last flushed descriptor sequence images kept for the management cache
  // file: one 64 KiB image on write-once media, two units on rewritable media.
  uint8_t* vds_cache_image[2] = {nullptr, nullptr};

  mdcudfsr_udf_fields() = default;
  ~mdcudfsr_udf_fields();
  mdcudfsr_udf_fields(const mdcudfsr_udf_fields&) = delete;
  mdcudfsr_udf_fields& operator=(const mdcudfsr_udf_fields&) = delete;
};

// The whole record is the volume code's; it builds on the fields above.
#include "kelvfs/mdcudfsr_mount.h"

// The slot whose structures are expected: the loaded slot, or the last
// written slot while the loaded slot is 0xFF.
uint32_t mdcudfsr_expected_slot(const mdcudfsr_mount* mnt);
