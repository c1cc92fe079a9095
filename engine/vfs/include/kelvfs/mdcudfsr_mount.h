// The mount-private record of a mounted volume (one per engine process).
//
// Every routine of the engine reaches the per-volume state through this
// record. The UDF structure code's members form its base
// (mdcudfsr_udf_fields); the members here are those of the channels, the
// metacache requests and the VFAM client. The volume code adds its own.
#pragma once

#include "udf/udf_mount.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct mount;
struct mdc_channel;
struct mdcudfsr_cache_node;
struct mdcudfsr_salvage_file_info;

// A file written through its proxy (the mount's proxy write list).
struct mdcudfsr_proxy_write_entry {
  mdcudfsr_proxy_write_entry* next;
  mdcudfsr_proxy_write_entry* prev;
  std::uint64_t unique_id;
  mdcudfsr_cache_node* node;
};

// Bits of mdcudfsr_mount::mount_flags.
constexpr std::uint32_t MDCUDFSR_MNT_AGENT_STOPPED = 0x2;

constexpr std::uint32_t MDCUDFSR_ATTR_RECORD_SIZE = 480;

struct mdcudfsr_mount : mdcudfsr_udf_fields {
  mount* mp = nullptr;                    // the emulated mount
  std::uint32_t mount_flags = 0;          // bit 0x2: agent stopped
  char volume_name[16] = {};              // log name; "UNKNOWN" while empty

  mdc_channel* metacachedev = nullptr;
  mdc_channel* vfamdev = nullptr;
  std::atomic<std::int32_t> cache_agent_opened{0};  // set by the agent's open of the channel
  char medium_serial[32] = {};            // trimmed cartridge serial (attribute 0401h)
  std::int32_t skip_attribute = 0;
  // Cartridge-memory attribute record holding the coherency counter.
  std::uint8_t attr_record[MDCUDFSR_ATTR_RECORD_SIZE] = {};

  // Read-cache bitmap of blocks taken from the fs management cache.
  std::int32_t read_cache = 0;
  std::uint8_t* read_cache_bitmap = nullptr;
  std::uint64_t read_cache_bitmap_blocks = 0;

  // VFAM side.
  std::uint32_t vfam_mounted = 0;
  std::mutex vfam_lock;
  std::condition_variable vfam_cv;
  std::uint32_t vfam_waiters = 0;
  std::uint64_t vfam_activity = 0;
  std::int64_t mounting_pid = 0;
  std::uint32_t vfam_wait_step_sec = 0;
  mdcudfsr_cache_node* root_node = nullptr;

  // Node cache.
  mdcudfsr_cache_node* shadow_node = nullptr;
  std::mutex cache_mutex;                 // guards every directory's name tree
  std::mutex udf_obj_creation_mutex;      // creation gate: bit 0 of the flags while held
  std::condition_variable udf_obj_creation_cond;
  std::uint32_t udf_obj_creation_flags = 0;
  volatile std::uint32_t nfiles = 0;      // file and directory nodes, changed atomically
  volatile std::uint32_t ndirs = 0;
  std::uint32_t reserved_files = 0;       // objects reserved for creations in progress
  std::uint32_t reserved_dirs = 0;
  std::uint32_t privileged_mode = 0;
  std::int32_t privileged_pid = 0;
  std::uint32_t proxy_count = 0;          // counter of proxy names and ids
  std::uint64_t stream_node_count = 0;    // counter of parity node ids
  std::uint64_t max_unique_id = 0;
  std::uint64_t max_file_unique_id = 0;
  std::uint64_t max_overlap_unique_id = 0;
  char parity_stream_suffix[48] = {};     // default parity identifier
  std::uint8_t* check_efe_bitmap = nullptr;                        // bitmap of the checkEFE salvage
  mdcudfsr_salvage_file_info* salvage_file_info_list = nullptr;    // owned by the mount
  mdcudfsr_proxy_write_entry* proxy_write_first = nullptr;         // files written through a proxy
  mdcudfsr_proxy_write_entry* proxy_write_last = nullptr;
  std::int32_t sync_value = 0;            // printed in lock time-out lines
  std::uint32_t virtual_refresh_mode = 0; // non-zero: refresh also for direct UDF readers
};
