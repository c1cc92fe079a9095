// The frame every vnode operation follows around its own work: entry trace,
// the node taken (locked), the mount check, the refusals of modifying
// requests, the unlock and the exit line.
#pragma once

#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "vnops_log.h"

struct vn_frame {
  const char* op;  // "vnop_open", ...
  vnode_t vp;
  vfs_context_t ctx;
  mdcudfsr_cache_node* cnp = nullptr;
  mdcudfsr_mount* mnt = nullptr;
  kel_pid_t pid = -1;
  bool locked = false;
};

// The node and its mount taken: 0 with the node taken (locked when `lock`), 2 without an
// active node, 22 without a mount (the node then released again).
int vn_enter(vn_frame& f, bool lock);
// Unlocks when locked and writes the exit line; returns err.
int vn_leave(vn_frame& f, int err);
// The refusals in order: read-only mount 30, limited-access mode 16,
// no-edit mode 1; 0 when none applies.
int vn_refuse_modify(vn_frame& f);
bool vn_mount_readonly(const mdcudfsr_mount* mnt);
bool vn_mount_noedit(const mdcudfsr_mount* mnt);
// The mount flag of a VFAM-backed mount.
constexpr std::uint32_t MDCUDFSR_MNT_VFAM = 0x8;
constexpr std::uint32_t MDCUDFSR_MNT_NOEDIT = 0x40;
