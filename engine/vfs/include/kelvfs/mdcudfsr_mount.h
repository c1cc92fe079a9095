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
#include <vector>

struct mount;
struct mdc_channel;
struct mdcudfsr_cache_node;
struct mdcudfsr_salvage_file_info;
struct mdcudfsr_scan_runs;

// One staged 64 KiB write cluster; its image lies in the local cache file.
struct cluster_entry {
  cluster_entry* next = nullptr;
  cluster_entry** prev = nullptr;         // the link that points here
  std::int32_t cluster = 0;               // first LSN / sectors per cluster
  std::uint32_t dirty = 0;                // bit i: sector i holds staged data
  std::int32_t sync = 0;                  // shown in the log only
  std::uint64_t staging_offset = 0;       // of the image in the local cache file
};

// A file written through its proxy (the mount's proxy write list).
struct mdcudfsr_proxy_write_entry {
  mdcudfsr_proxy_write_entry* next;
  mdcudfsr_proxy_write_entry* prev;
  std::uint64_t unique_id;
  mdcudfsr_cache_node* node;
};

// Bit of the mount flags (mount_ext_flags): the volume is not tied to the
// VFAM user agent and may be unmounted without force.
constexpr std::uint32_t MDCUDFSR_MNT_AGENT_STOPPED = 0x2;

constexpr std::uint32_t MDCUDFSR_ATTR_RECORD_SIZE = 480;

struct mdcudfsr_mount : mdcudfsr_udf_fields {
  mdcudfsr_mount() = default;
  // Staged clusters still listed are dropped unwritten.
  ~mdcudfsr_mount() {
    while (cluster_entry* e = cluster_head) {
      cluster_head = e->next;
      delete e;
    }
  }
  mount* mp = nullptr;                    // the emulated mount
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

  // ---- volume operations
  std::uint32_t mount_arg_word = 0;        // mount argument at offset 16, kept
  std::uint32_t metadata_check_value = 0;  // mount argument at offset 28
  std::uint32_t flush_interval = 0;        // seconds
  std::uint32_t dev_number = 0;
  std::int32_t disc_status = 0;            // 0 empty, 1 appendable, 2 finalized, 3 reserved
  std::uint32_t last_track = 0;
  std::uint32_t cm_last_written_slot = 0;
  std::uint32_t verify_mode = 0;           // 1: write verify on
  std::uint32_t defect_report_counter_seen = 0;  // the drive's write-fail counter at its last read
  std::int32_t unmounting = 0;
  vnode_t root_vnode = nullptr;            // the volume root's vnode once known; its path prefixes event lines

  // Mount information companions.
  MDCFS_MOUNT_INFORMATION mntinfo_prev{};  // last state written or logged
  std::int32_t mntinfo_overwrite = 0;      // 1: a later status may replace the current one
  std::int32_t pending_error_report = 0;
  std::int32_t mounting = 0;               // suppresses state event lines
  std::int32_t mount_completed = 0;
  std::int32_t filter_notified = 0;

  // Privileged mode and the integrity-written flag of the disc-change guard.
  std::uint32_t privileged_call_count = 0;
  std::int32_t integrity_written = 0;

  // Disc-change guard.
  std::uint32_t DiscChangeNumTotal = 0;
  std::uint32_t WtchSmpls = 0;
  std::uint32_t WtchSteps = 0;
  std::uint32_t DscChngWtchIvalSec = 0;
  std::int32_t delay_guard = 0;
  std::uint64_t* watch_ring = nullptr;     // WtchSteps time stamps (ns), owned
  std::uint8_t medium_unique_id[14] = {};

  // Volume clocks (microseconds since 1970) and the time-zone offset of
  // recorded timestamps (minutes east of UTC).
  // The clocks and lvid_open are set by the writer, request and timer
  // threads alike, each under its own node's lock only: atomic.
  std::int32_t time_zone_offset = 0;
  std::atomic<std::uint64_t> last_modification_time{0};
  std::atomic<std::uint64_t> last_partial_flush_time{0};
  std::atomic<std::int32_t> lvid_open{0};
  std::uint8_t flush_policy = 0;           // 1 during a sync's flush; 5 (all erase) lets a read-only mount update its session

  // Mount set-up.
  std::int32_t disk_data_mode = -1;        // 0 from the file-system cache, 1 from the disc
  std::int32_t fs_cache_mode = -1;         // 1: the file-system cache is used
  std::uint32_t rollback_present = 0;
  std::uint32_t rollback_slot = 0;
  std::uint32_t rollback_fe_lsn = 0;
  std::uint32_t rollback_fsd_lsn = 0;
  // Reserve flag of the node-cache flush: set when the rollback point read
  // through 0x400C55E8 (mount flag 0x80 without 0x20) named a point; 0 for
  // every other mount.
  std::uint32_t reserve_mode = 0;
  std::uint32_t reformatted = 0;
  std::uint32_t new_track = 0;            // the mount moved to the next track
  std::uint32_t fs_cache_created = 0;     // the management cache file was made by this mount
  std::int32_t delete_cache = 0;          // delete the file-system cache when the mount ends
  std::uint8_t historical_min_fsfv = 0;   // file-system version flag of written entries
  std::mutex root_mutex;                  // around the root vnode lookup
  char parity_id[48] = {};
  char product_id[17] = {};

  // Sync and flush marks.
  std::int32_t integrity_busy = 0;        // the integrity descriptor is being set
  std::int32_t packed_flush_busy = 0;     // the VFAM buffers are being flushed
  // Set while the privileged open list holds an entry; written under
  // privileged_open_mutex, read by the sync and the unmount of any thread.
  std::atomic<std::int32_t> vfam_mode{0};
  std::int32_t flush_state = 0;           // 2: a flush runs
  // Set while a flush moves the volume to the next track: the flushes that
  // the move itself runs must not move again.
  std::int32_t track_move_running = 0;
  // Set while a full pass of the node cache (all metadata written in the
  // full layout) has failed and none has succeeded since: the nodes may be
  // placed for that layout, so every pass writes the full layout until one
  // succeeds.
  std::int32_t full_rewrite_owed = 0;
  // Set while the descriptor sequence on the disc names metadata entries
  // older than those a flush recorded (its write failed after the entries
  // were written): the next flush writes it even when no entry changed.
  std::int32_t descriptors_owed = 0;
  void* backtrack_thread = nullptr;       // mdcudfsr_thread object, present while a rollback runs
  std::int32_t backtrack_running = 0;     // the backtrack thread has not ended yet
  std::mutex backtrack_mutex;             // guards backtrack_running
  std::condition_variable backtrack_cond; // signalled when backtrack_running clears

  // Volume attributes: the figures of the last size computation (valid
  // while size_unknown is 0) and the file-system attributes set at mount.
  // Every session opening sets size_unknown, from any thread: atomic.
  std::uint32_t total_blocks = 0;
  std::uint32_t free_blocks = 0;
  std::atomic<std::int32_t> size_unknown{1};
  // The clusters a move to a later slot takes there beyond the start its
  // capacity leaves to it, the largest the mount has counted: taken off
  // each later slot's capacity, it never shrinks while the volume is mounted.
  std::atomic<std::uint32_t> move_reserve{0};
  vfs_attr attr_cache{};

  // Cartridge memory: the files that need recovery, the lock of its
  // read-add-write, the last-update timestamp the metadata flush stamps.
  mdcudfsr_cache_node* recovery_nodes[14] = {};
  std::uint32_t recovery_count = 0;
  std::mutex cm_mutex;
  timestamp last_update_time{};

  // Write clusters.
  std::uint32_t cluster_sectors = 0;       // sectors per 64 KiB cluster
  cluster_entry* cluster_head = nullptr;   // in creation order
  cluster_entry** cluster_last = &cluster_head;
  std::uint32_t cluster_count = 0;
  std::uint64_t cluster_next_offset = 0;   // next image's offset; each flush run starts at 0
  // The image that mdcudfsr_read_cluster_with_lbn hands out; valid until its next call.
  std::vector<std::uint8_t> cluster_read_image;
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
  // The registered privileged process (0: none) and its mode; changed by
  // the request, writer and timer threads alike.
  std::atomic<std::uint32_t> privileged_mode{0};
  std::atomic<std::int64_t> privileged_pid{0};
  std::uint32_t proxy_count = 0;          // counter of proxy names and ids
  std::uint64_t stream_node_count = 0;    // counter of parity node ids
  std::uint64_t max_unique_id = 0;
  std::uint64_t max_file_unique_id = 0;
  std::uint64_t max_overlap_unique_id = 0;
  char parity_stream_suffix[48] = {};     // default parity identifier
  std::uint8_t* check_efe_bitmap = nullptr;                        // bitmap of the checkEFE salvage
  mdcudfsr_scan_runs* scan_runs = nullptr;  // the directory scan's runs of the metadata copy, while it reads
  mdcudfsr_salvage_file_info* salvage_file_info_list = nullptr;    // owned by the mount
  // The privileged open list (files written through a proxy, whose
  // allocation a rebuild may still set), the nodes' links to their entries
  // and vfam_mode: changed only under privileged_open_mutex, which the
  // list's own routines take (engine/vnops, privileged_open_list.cpp).
  mdcudfsr_proxy_write_entry* proxy_write_first = nullptr;
  mdcudfsr_proxy_write_entry* proxy_write_last = nullptr;
  std::mutex privileged_open_mutex;
  std::int32_t sync_value = 0;            // printed in lock time-out lines
  std::uint32_t virtual_refresh_mode = 0; // non-zero: refresh also for direct UDF readers

  // Settings of the file-system controls.
  std::mutex filter_mutex;                // guards filter_notified for its waiters
  std::condition_variable filter_cond;
  std::uint8_t fs_version = 0;            // set by clients; 0 after mount
  std::int64_t protecting_pid = 0;        // process that protected the volume from change
  std::int32_t quicklook_refusal = 0;     // attribute queries of "quicklookd" refused
  std::int32_t cachefile_state = 0;
  std::uint32_t logvol_id_len = 0;        // compressed length of the volume label

  // ---- vnode operations and the modes of a privileged client
  std::uint32_t is_temp_verify_mode = 0;  // write verify changed while privileged
  std::atomic<std::uint32_t> read_open_count{0};   // opens for reading
  std::atomic<std::uint32_t> write_open_count{0};  // opens for writing
  // Disc lock: the exclusive I/O mode and its process under disc_lock_mutex,
  // whose waiters sleep on disc_lock_cond; the thread holding slot_mutex
  // through the disc lock (0: none).
  std::mutex disc_lock_mutex;
  std::condition_variable disc_lock_cond;
  std::uint32_t exclusive_io_mode = 0;
  std::int64_t exclusive_io_pid = 0;
  std::atomic<std::uint64_t> disc_lock_owner{0};
  // Limited-access mode: its owner process (0: none) under limited_access_mutex.
  std::mutex limited_access_mutex;
  std::int64_t limited_access_owner = 0;
  proc_t limited_access_handle = nullptr;
  std::uint32_t mds_refusal = 0;  // the metadata indexer gets EPERM from getattr
  std::mutex attr_mutex;          // the root node's attributes (setattr, getattr without node lock)

  // ---- media-side controls: the drive's read/write unit.
  std::uint32_t rw_unit_bytes = 0;         // optimal read/write size in bytes
};
