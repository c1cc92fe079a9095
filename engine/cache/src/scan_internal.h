// The directory scan's shared pieces: reads of the local metadata copy,
// the mount-information settings it makes, and the checkEFE bitmap.
#pragma once

#include "kelcache/cache.h"

#include "kelagent/metacache.h"

#include <cstdint>
#include <functional>
#include <vector>

// The directory scan reads its entries and identifiers a few bytes at a
// time, each read an exchange with the cache agent. While a scan runs, the
// reads are served from a few runs of consecutive bytes of the metadata
// copy, each filled with one exchange: a run that the next read continues is
// followed by one twice as long (up to 1 MiB), any other read gets a short
// run of its own in place of the least recently used one. A run filled
// where the one before it ended asks the agent for the run after it at
// once, so that the agent reads it while the scan takes this one.
struct mdcudfsr_scan_runs {
  static constexpr uint32_t kShortest = 64 * 1024;
  static constexpr uint32_t kLongest = 1024 * 1024;
  static constexpr int kRuns = 4;

  // Serves the scan of `m` until it ends.
  explicit mdcudfsr_scan_runs(mdcudfsr_mount* m);
  ~mdcudfsr_scan_runs();
  mdcudfsr_scan_runs(const mdcudfsr_scan_runs&) = delete;
  mdcudfsr_scan_runs& operator=(const mdcudfsr_scan_runs&) = delete;

  // As kelcache::scan_read, for reads of at most kLongest bytes.
  int read(int alt, uint64_t at, uint32_t len, void* dst, uint32_t* cache_err);
  // Exchanges made so far (tests).
  uint64_t fills() const { return fills_; }

 private:
  struct Run {
    int alt = -1;          // -1: empty
    uint64_t start = 0;    // file offset of bytes[0]
    uint32_t valid = 0;    // bytes read there
    uint32_t asked = 0;    // bytes asked for
    uint64_t used = 0;     // last use, for the choice of a run to refill
    std::vector<uint8_t> bytes;
    mdc_pending_read ahead;  // the run after this one, asked for
  };
  Run* holding(int alt, uint64_t at, uint32_t len);
  Run* to_fill(int alt, uint64_t start, uint32_t* size, bool* continues);
  // One exchange's bytes into r->bytes: the answer asked for ahead when it
  // covers them, else a read now.
  int fill(Run* r, int alt, uint64_t start, uint32_t size, uint32_t* got, uint32_t* cache_err);

  mdcudfsr_mount* m_;
  Run runs_[kRuns];
  uint64_t clock_ = 0;
  uint64_t fills_ = 0;
};

namespace kelcache {

// Reads `len` bytes of the metadata image at `offset`: from the local
// metadata cache file (alt 0) or from the management cache file (alt 1).
// A read error, a cache error (in *cache_err) or a short read fails it.
// During a scan the read is served from the scan's runs.
int scan_read(mdcudfsr_mount* m, int alt, uint64_t offset, uint32_t len, void* dst, uint32_t* cache_err);

// Mount information (0, 0x80000500, 0x80000): an entry is damaged.
void set_damaged(mdcudfsr_mount* m, vfs_context_t ctx);
// Mount information (2, 0x80000100, 0x80000): the tree is not trustworthy.
void set_invalid(mdcudfsr_mount* m);
// Mount status written directly, write-protect reason 0x80000 added.
void set_status_direct(mdcudfsr_mount* m, uint32_t status);
// Write-protect reason 0x80000 added through the volume code.
void set_wrprot(mdcudfsr_mount* m, vfs_context_t ctx);

bool check_efe_mode(const mdcudfsr_mount* m);
// The zone fields of a file node from its extents (the directory scan's rule).
void scan_take_discs(mdcudfsr_mount* m, mdcudfsr_cache_node* n);
// Marks blocks of the metadata file as used by the tree.
void check_efe_clear(mdcudfsr_mount* m, uint32_t lbn, uint32_t blocks);
// Walks the attributes after the (already checked) 24-byte header of an
// extended attribute area of l_ea bytes, each bounded by its own length and
// by what remains: warn(text) for each flawed one (an inconsistent length
// ends the walk), take(kind, bytes, length) for each valid file hash.
void walk_hash_eas(const uint8_t* area, uint32_t l_ea, const std::function<void(const char*)>& warn,
                   const std::function<void(uint16_t, const uint8_t*, uint16_t)>& take);

}  // namespace kelcache
