// The first phase of the volume mount: the mount arguments, the mount record
// and what the drive layer says about drive, cartridge and disc, up to the
// load of the disc that holds the volume.
#pragma once

#include "kelhost/kern_types.h"

#include <cstdint>

struct mdcudfsr_mount;

constexpr std::uint32_t MDCUDFSR_MOUNT_ARGS_MAGIC = 0x41554446u;

#pragma pack(push, 1)
struct mdcudfsr_mount_args {
  std::uint32_t magic;
  std::uint8_t reserved[12];
  std::uint32_t arg_word;
  std::int32_t debug_level;
  std::uint32_t flags;
  std::uint32_t metadata_check;
  std::uint32_t watch_samples;        // other drives
  std::uint32_t watch_samples_qmr;    // QMR-T300A/B, QMR-T400A/B
  std::uint32_t watch_steps;
  std::uint32_t watch_steps_qmr;
  std::uint32_t watch_interval_sec;
  std::uint32_t flush_interval_sec;
  std::uint32_t vfam_answer_wait;
  char vfam_device_name[1024];        // written by the mount
};
#pragma pack(pop)
static_assert(sizeof(mdcudfsr_mount_args) == 1084, "mount arguments are 1084 bytes");

// The first half of the mount: the mount record, the drive and the medium.
// The record is attached to the mount as soon as it exists (also on failure,
// for the caller's forced unmount); 0, 22 raw or invalid, 12, 95, or the
// drive's error.
int mdcudfsr_mount_setup(mount_t mp, vnode_t devvp, const void* args, vfs_context_t ctx);
// Frees what the set-up made: the guard's ring, both channels and the record.
void mdcudfsr_mount_record_free(mount_t mp);
