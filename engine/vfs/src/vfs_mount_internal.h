// Pieces the volume mount's files share: the mount's log line, the mount
// flags they test and the device control to the mount's drive.
#pragma once

#include "kelhost/log.h"
#include "kelvfs/mdcudfsr_mount.h"

#include <cstdint>

// A log line of the mount's file-system phase.
#define FS_LOG(level, ...) KEL_LOG_AS("mdcudfsr_do_mount_fs", (level), KEL_MOD_CORE, KEL_MARK_NOTE, __VA_ARGS__)

// Bits of the mount flags (mount_ext_flags): a rollback mount, a mount that
// does not edit the volume, a rollback to a named point.
inline constexpr std::uint32_t kRollback = 0x20, kNoEdit = 0x40, kRollbackPoint = 0x80;

// A device control to the drive of the mount; 0 or the drive's error.
inline int ioctl(mdcudfsr_mount* mnt, std::uint32_t code, void* data, vfs_context_t ctx) {
  return VNOP_IOCTL(mnt->devvp, code, static_cast<char*>(data), 0, ctx);
}
