// Recording stand-ins for the services the UDF code calls in other engine
// folders, over an in-memory medium: every call is recorded in order, the
// medium keeps its sectors in memory, and failures can be scheduled.
#pragma once

#include "udf/udf_mount.h"
#include "udf/udf_records.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace udf_test {

constexpr uint32_t kSector = 2048;

struct LogLine {
  unsigned level;
  int module;
  int marker;
  std::string function;
  std::string text;
};

struct Env {
  // The medium.
  std::vector<uint8_t> medium;
  std::set<uint32_t> unreadable;  // reads touching these sectors fail
  int read_error = 12;  // the drive layer answers every failed metadata read with 12

  // Scheduled failures: each entry is the error of the next call of its kind
  // (0 lets the call succeed).
  std::vector<int> write_results;
  std::vector<int> reserve_results;
  std::vector<int> disc_change_results;
  int write_fail_all = 0;  // non-zero: every write fails with it

  // Cartridge memory.
  uint8_t attribute_record[MDCUDFSR_ATTRIBUTE_RECORD_SIZE] = {};
  int read_attribute_result = 0;
  std::string attr0401;  // 32 bytes, blank padded
  int attr0401_result = 0;
  uint32_t attr1500_serial = 0x12345678;
  int attr1500_result = 0;

  // File-system management cache file.
  std::vector<uint8_t> cache_file;
  int cache_read_result = 0;
  int cache_write_result = 0;
  int32_t cache_write_agent_error = 0;

  // Volume and vnode routines, for the faults the real ones cannot produce.
  std::vector<int> write_lb_results;       // mdcudfsr_write_logical_blocks
  int zero_write_result = 0;
  int coherent_result = 0;
  int mediainfo_result = 0;
  int defect_nwa_result = 0;
  uint32_t track_nwa = 0;
  // Calls of the metadata allocation-extent check before it reports that a
  // full rewrite is needed (-1: never).
  int aed_check_ok_calls = -1;

  // Non-zero: the cache-file stand-ins pass their calls on to the real cache
  // agent (tests that run the agent thread).
  int real_agent = 0;
  std::string cache_path;  // the agent's "Fs Cache File Path"

  // The logger's level check: debug lines (level 7) pass only while debug
  // tracing is on; every check is counted.
  bool debug_tracing = true;
  int level_checks = 0;

  // Recorded calls and log lines.
  std::vector<std::string> calls;
  std::vector<LogLine> logs;

  // Buffers handed out and not yet released or written.
  int live_buffers = 0;

  void reset(uint32_t sectors);
  uint8_t* sector(uint32_t lsn) { return medium.data() + static_cast<size_t>(lsn) * kSector; }
  // Calls whose text starts with `prefix`.
  std::vector<std::string> calls_starting(const std::string& prefix) const;
  size_t count_calls(const std::string& prefix) const { return calls_starting(prefix).size(); }
  // Index of the first call starting with prefix at or after `from`; -1 if none.
  int find_call(const std::string& prefix, size_t from = 0) const;
  bool logged(const std::string& text) const;
  size_t count_logged(const std::string& text) const;
};

Env& env();

// The device vnode of the mounts.
vnode_t device_vnode();

// Nodes of the real node cache, counted in the mount as the cache counts
// what it adds: the root directory at once, then each directory and file
// added below it. Released at the end of the scope.
class CacheNodes {
 public:
  explicit CacheNodes(mdcudfsr_mount* mnt);
  ~CacheNodes();
  CacheNodes(const CacheNodes&) = delete;
  CacheNodes& operator=(const CacheNodes&) = delete;
  void add(const char* name, bool dir);

 private:
  mdcudfsr_mount* mnt_;
  mdcudfsr_cache_node* top_ = nullptr;
  mdcudfsr_cache_node* root_ = nullptr;
};

// A mount over the fake medium with the usual sizes.
void init_mount(mdcudfsr_mount* mnt, uint32_t sectors, uint32_t medium_type, uint32_t slot);

std::string hex(uint32_t v);

// The integrity descriptor flush as its callers make it: under lvid_mutex.
int flush_lvid_locked(mdcudfsr_mount* mnt, int no_write, int verify);

}  // namespace udf_test
