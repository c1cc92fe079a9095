// The logical volume integrity descriptor of the mount: read, checked,
// opened and closed with the sessions, flushed, and the volume's unique ids;
// also the zero-area check of the first sectors and the metadata map check.
#pragma once

#include "udf/udf_neighbour_calls.h"
#include "udf/udf_records.h"

#include <cstdint>

struct mdcudfsr_mount;

// The engine's own format and repair versions.
constexpr uint8_t MDCUDFSR_FSFV = 0x0C;
constexpr uint8_t MDCUDFSR_FSRV = 0x02;
// Where the 64 KiB integrity image lies in the management cache file.
constexpr uint32_t MDCUDFSR_CACHE_LVID_OFFSET = 0x40000;

int mdcudfsr_read_lvid(mdcudfsr_mount* mnt, vfs_context_t ctx, int invalidate, int mounting, int from_cache,
                       int save_to_cache);
// 0 mountable, 30 read-only, 22 refused.
int mdcudfsr_check_lvid_structure(mdcudfsr_mount* mnt, vfs_context_t ctx);
uint32_t mdcudfsr_get_lvid_integrity_type(mdcudfsr_mount* mnt);
uint64_t mdcudfsr_get_next_unique_id(mdcudfsr_mount* mnt);
// Writes the integrity descriptor. The caller holds mnt->lvid_mutex (checked
// in debug builds); the slot mutex is taken inside. 22 when the last written
// slot has no entry in the free space table.
int mdcudfsr_flush_lvid(mdcudfsr_mount* mnt, int no_write, vfs_context_t ctx, int verify);
int mdcudfsr_set_lvid_integrity_type(mdcudfsr_mount* mnt, uint32_t set, uint32_t clear, vfs_context_t ctx);
// Writes the descriptor again when a failed change of its integrity type
// left it unconfirmed on the medium (the type it had before, whatever the
// volume's write protection): 0 when nothing is owed or the write is
// confirmed, else the error. Taken by Sync and unmount, so that the drive
// being well again restores the last completed state's descriptor.
int mdcudfsr_restore_lvid(mdcudfsr_mount* mnt, vfs_context_t ctx);
int mdcudfsr_check_zerofillarea(mdcudfsr_mount* mnt, vfs_context_t ctx);
bool mdcudfsr_counters_below_limit(const mdcudfsr_mount* mnt);

// The implementation-use record behind the two tables of an integrity
// descriptor of n partitions.
imp_use_logvol_integrity_desc* mdcudfsr_lvid_imp_use(logvol_integrity_desc* lvid, uint32_t n);
