// Marking the volume dirty with the flush policy that the end of the
// privileged session carries out, the all-erase flush of policy 3, and the
// flush of the volume buffers.
#pragma once

#include "kelhost/kern_types.h"
#include "kelvnops/mdcudfsr_modes.h"

#include <cstdint>

struct mdcudfsr_mount;

#pragma pack(push, 1)
// MDCFSCTL_MARK_VOLUME_DIRTY, 4 bytes.
struct mdcfs_mark_volume_dirty {
  std::uint8_t FsFlushPolicy;
  std::uint8_t VolumeType;  // policy 5 only: non-zero means type 1
  std::uint8_t Unused[2];
};
static_assert(sizeof(mdcfs_mark_volume_dirty) == 4, "mark-dirty record is 4 bytes");
#pragma pack(pop)


int mdcudfsr_mdcfsctrl_mark_volume_dirty(mdcudfsr_mount* mnt, const mdcfs_mark_volume_dirty* record,
                                         vfs_context_t ctx);
int mdcudfsr_flush_all_erase(mdcudfsr_mount* mnt, vfs_context_t ctx);
// A null record counts as flags 0. Every mount of this system is exempt
// (flag 0x2): 0 at once, nothing written.
int mdcudfsr_mdcfsctrl_flush_volume_buffers(mdcudfsr_mount* mnt, const std::uint32_t* flags, vfs_context_t ctx);
// The privileged exit's policy 3: all-erase, the rewritable rebuild, and the
// position word rewritten in the cartridge memory.
int mdcudfsr_privileged_exit_initialize(mdcudfsr_mount* mnt, vfs_context_t ctx);

// Rebuild of a rewritable volume after its all-erase (volume code).
int mdcudfsr_flush_bitmap_and_lvid_for_all_erase(mdcudfsr_mount* mnt, vfs_context_t ctx);
